// Stand-in for the plug-in package service until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int orvi_so_refresh_server(void) {
    ORVI_LOGD("orvi_so_refresh_server: not built yet");
    return 0;
}

int orvi_so_config_load(void) {
    ORVI_LOGD("orvi_so_config_load: not built yet");
    return 0;
}
