// Stand-in for the local MQTT transport until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int local_mqtt_service(void) {
    ORVI_LOGD("local_mqtt_service: not built yet");
    return 0;
}
