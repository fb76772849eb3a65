#include "key_led_service.h"

#include "orvi_seam.h"

namespace {
int key_not_built(void) {
    ORVI_NOT_BUILT("server_key");
    return -1;
}
int leds_not_built(void) {
    ORVI_NOT_BUILT("server_leds");
    return -1;
}
int started_not_built(void) {
    ORVI_NOT_BUILT("host_led_started_api");
    return -1;
}
}  // namespace

const key_led_service_ops_t key_led_service_not_built = {key_not_built, leds_not_built, started_not_built};

namespace {
orvi_seam<key_led_service_ops_t> g_board(&key_led_service_not_built);
}

void key_led_service_install(const key_led_service_ops_t *ops) {
    g_board.install(ops);
}

int server_key(void) {
    return g_board.get(&key_led_service_ops_t::server_key)();
}

int server_leds(void) {
    return g_board.get(&key_led_service_ops_t::server_leds)();
}

int host_led_started_api(void) {
    return g_board.get(&key_led_service_ops_t::led_started)();
}
