// Stand-in for the wired-bus monitor until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int local_device_monitor_thread(void) {
    ORVI_LOGD("local_device_monitor_thread: not built yet");
    return 0;
}
