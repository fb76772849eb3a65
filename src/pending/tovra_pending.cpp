// Stand-in for the lighting service until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int tovra_thread_main_init(void) {
    ORVI_LOGD("tovra_thread_main_init: not built yet");
    return 0;
}
