#include "orvi_wifi.h"

#include "orvi_seam.h"

namespace {

// The credentials never reach the log: only the call is named.
int on_not_built(void) {
    ORVI_NOT_BUILT("orvi_wifi_on");
    return -1;
}
int off_not_built(void) {
    ORVI_NOT_BUILT("orvi_wifi_off");
    return -1;
}
int connect_not_built(const char *, const char *) {
    ORVI_NOT_BUILT("wifi_connect");
    return -1;
}
WifiConnectionState state_not_built(void) {
    ORVI_NOT_BUILT("wifi_get_connection_state");
    return WIFI_UNKNOWN_STATE;
}
int confirm_not_built(void) {
    ORVI_NOT_BUILT("orvi_wifi_connect_confirm");
    return -1;
}
WifiConnectionState confirm_state_not_built(void) {
    ORVI_NOT_BUILT("orvi_wifi_confirm_state");
    return WIFI_UNKNOWN_STATE;
}

}  // namespace

const orvi_wifi_ops_t orvi_wifi_not_built = {on_not_built,    off_not_built,     connect_not_built,
                                             state_not_built, confirm_not_built, confirm_state_not_built};

namespace {
orvi_seam<orvi_wifi_ops_t> g_wifi(&orvi_wifi_not_built);
}

void orvi_wifi_install(const orvi_wifi_ops_t *ops) {
    g_wifi.install(ops);
}

int orvi_wifi_on(void) {
    return g_wifi.get(&orvi_wifi_ops_t::wifi_on)();
}

int orvi_wifi_off(void) {
    return g_wifi.get(&orvi_wifi_ops_t::wifi_off)();
}

int wifi_connect(const char *ssid, const char *password) {
    return g_wifi.get(&orvi_wifi_ops_t::connect)(ssid, password);
}

WifiConnectionState wifi_get_connection_state(void) {
    return g_wifi.get(&orvi_wifi_ops_t::connection_state)();
}

int orvi_wifi_connect_confirm(void) {
    return g_wifi.get(&orvi_wifi_ops_t::connect_confirm)();
}

WifiConnectionState orvi_wifi_confirm_state(void) {
    return g_wifi.get(&orvi_wifi_ops_t::confirm_state)();
}
