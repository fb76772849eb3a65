// Wi-Fi station control entry points the network monitor and provisioning
// call. Recording stand-ins (wifi_pending.cpp) until the Wi-Fi module lands
// in wireless/ and replaces this header. Any thread may call them.
#pragma once

typedef enum {
    WIFI_DISCONNECTED = 0,
    WIFI_CONNECTING = 1,
    WIFI_CONNECTED = 2,
    WIFI_CONNECTION_FAILED = 3,
    WIFI_UNKNOWN_STATE = 4,
} WifiConnectionState;

int orvi_wifi_on(void);
int orvi_wifi_off(void);
int wifi_connect(const char *ssid, const char *password);
WifiConnectionState wifi_get_connection_state(void);
// Confirms the outcome of a provisioning request to the app.
int orvi_wifi_connect_confirm(void);

// Tests: the state wifi_get_connection_state reports (WIFI_DISCONNECTED at first).
void wifi_pending_set_connection_state(WifiConnectionState state);
