// Stand-in for the request intake and host event loop until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int device_handle_create(void) {
    ORVI_LOGD("device_handle_create: not built yet");
    return 0;
}

int net_monitor_server(void) {
    ORVI_LOGD("net_monitor_server: not built yet");
    return 0;
}

int scan_period_timer_start(void) {
    ORVI_LOGD("scan_period_timer_start: not built yet");
    return 0;
}
