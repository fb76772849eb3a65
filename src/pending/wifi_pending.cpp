// Stand-ins for Wi-Fi station control until it is built: each records its
// call and reports success.
#include "pending/wifi_pending.h"

#include <atomic>

#include "pending/pending_calls.h"

namespace {
std::atomic<int> g_state{WIFI_DISCONNECTED};
}

int orvi_wifi_on(void) {
    pending_record("orvi_wifi_on", {});
    return 0;
}

int orvi_wifi_off(void) {
    pending_record("orvi_wifi_off", {});
    return 0;
}

int wifi_connect(const char *ssid, const char *password) {
    pending_record("wifi_connect", {pending_arg(ssid), pending_arg(password)});
    return 0;
}

WifiConnectionState wifi_get_connection_state(void) {
    pending_record("wifi_get_connection_state", {});
    return static_cast<WifiConnectionState>(g_state.load());
}

int orvi_wifi_connect_confirm(void) {
    pending_record("orvi_wifi_connect_confirm", {});
    return 0;
}

void wifi_pending_set_connection_state(WifiConnectionState state) {
    g_state.store(state);
}
