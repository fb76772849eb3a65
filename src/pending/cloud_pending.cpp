// Stand-in for the cloud MQTT link until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int service_mqtt(void) {
    ORVI_LOGD("service_mqtt: not built yet");
    return 0;
}
