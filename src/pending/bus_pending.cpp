// Stand-in for the event bus client until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int server_event_brocker(void) {
    ORVI_LOGD("server_event_brocker: not built yet");
    return 0;
}
