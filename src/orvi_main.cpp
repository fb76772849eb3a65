#include "orvi_main.h"

#include "orvi_log.h"

int orvi_init(void) { return 0; }

int orvi_main(void) {
    ORVI_LOGI("starting");
    return 0;
}
