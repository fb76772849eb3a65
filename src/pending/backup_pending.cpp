// Stand-in for the backup services until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int http_so_and_host_pthread(void) {
    ORVI_LOGD("http_so_and_host_pthread: not built yet");
    return 0;
}

int backup_service_func(void) {
    ORVI_LOGD("backup_service_func: not built yet");
    return 0;
}
