// Stand-in for the factory test until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int status_factory_mode(void) {
    return 0;  // normal operation
}

int orvi_FactoryTest_init(void) {
    ORVI_LOGD("orvi_FactoryTest_init: not built yet");
    return 0;
}
