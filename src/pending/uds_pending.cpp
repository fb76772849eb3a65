// Stand-in for the local event topic handlers until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int orvi_uds_init(void) {
    ORVI_LOGD("orvi_uds_init: not built yet");
    return 0;
}

int orvi_local_mqtt_sub(void) {
    ORVI_LOGD("orvi_local_mqtt_sub: not built yet");
    return 0;
}

int evn_host_match_status_sync(void) {
    ORVI_LOGD("evn_host_match_status_sync: not built yet");
    return 0;
}
