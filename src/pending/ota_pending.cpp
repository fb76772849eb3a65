// Stand-in for the firmware upgrade service until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int ota_package_verify(void) {
    ORVI_LOGD("ota_package_verify: not built yet");
    return 0;
}
