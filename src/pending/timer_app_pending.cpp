// Stand-in for the timer schedule service until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_host_event.h"
#include "orvi_log.h"

int server_timer_app(void) {
    ORVI_LOGD("server_timer_app: not built yet");
    return 0;
}

// The app information service is not built yet; the one thing of it the
// host already relies on is the periodic host status it starts.
int app_info_server(void) {
    ORVI_LOGD("app_info_server: not built yet");
    return update_host_jsonstatus_timer_pthread();
}
