// Stand-in for the key and LED services until it is built: logs the call and reports success.
#include "pending/main_pending.h"

#include "orvi_log.h"

int server_key(void) {
    ORVI_LOGD("server_key: not built yet");
    return 0;
}

int server_leds(void) {
    ORVI_LOGD("server_leds: not built yet");
    return 0;
}

int host_led_started_api(void) {
    ORVI_LOGD("host_led_started_api: not built yet");
    return 0;
}
