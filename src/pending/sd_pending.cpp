// Stand-in for the SD card service until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int orvi_sd_service_init(void) {
    ORVI_LOGD("orvi_sd_service_init: not built yet");
    return 0;
}
