// Stand-in for the BLE provisioning service until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int orvi_combo_server(void) {
    ORVI_LOGD("orvi_combo_server: not built yet");
    return 0;
}
