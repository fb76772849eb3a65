// Stand-in for the timer schedule service until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int server_timer_app(void) {
    ORVI_LOGD("server_timer_app: not built yet");
    return 0;
}

int app_info_server(void) {
    ORVI_LOGD("app_info_server: not built yet");
    return 0;
}
