// Stand-in for the Redis state service until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int redis_checking(void) {
    ORVI_LOGD("redis_checking: not built yet");
    return 0;
}

int false_status_push_thread(void) {
    ORVI_LOGD("false_status_push_thread: not built yet");
    return 0;
}
