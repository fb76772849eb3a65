// Wi-Fi station control: switching the station on and off, joining the home
// network and reading its state, and the confirmation to the app after a
// provisioning request. Callers reach it through this seam: until start-up
// installs the station (orvi_wifi_station.h), every call fails and says
// "not built". The calls run on the caller's thread (the network monitor,
// the request task).
#pragma once

typedef enum {
    WIFI_DISCONNECTED = 0,
    WIFI_CONNECTING = 1,
    WIFI_CONNECTED = 2,
    WIFI_CONNECTION_FAILED = 3,
    WIFI_UNKNOWN_STATE = 4,
} WifiConnectionState;

// What the station believes of itself (shared with the BLE service).
typedef enum {
    WIFI_DISABLE = 0,  // supplicant not running or stopped
    WIFI_IDLE = 1,     // supplicant started
    WIFI_CONNECTTING = 2,
    WIFI_DISCONNET = 3,
    WIFI_RECONNET = 4,
    WIFI_SUCCESS = 5,
    WIFI_FAILED = 6,
} wifi_status_t;

// 0, or -1 when the station could not be switched on.
int orvi_wifi_on(void);
// 0 when the station is off afterwards, else -1.
int orvi_wifi_off(void);
// 0 when the network `ssid` is configured and enabled, else -1 (also for a
// name or pass phrase the supplicant could not take as it is).
int wifi_connect(const char *ssid, const char *password);
// WIFI_UNKNOWN_STATE when the state cannot be read.
WifiConnectionState wifi_get_connection_state(void);
// Starts the confirmation of a provisioning request to the app. 0, or -1
// when one runs already or it cannot start.
int orvi_wifi_connect_confirm(void);
// The state the confirmation polled last (what "bleinfo" reports);
// WIFI_UNKNOWN_STATE before any.
WifiConnectionState orvi_wifi_confirm_state(void);

typedef struct orvi_wifi_ops_s {
    int (*wifi_on)(void);
    int (*wifi_off)(void);
    int (*connect)(const char *ssid, const char *password);
    WifiConnectionState (*connection_state)(void);
    int (*connect_confirm)(void);
    WifiConnectionState (*confirm_state)(void);
} orvi_wifi_ops_t;

// Every call -1, the states WIFI_UNKNOWN_STATE.
extern const orvi_wifi_ops_t orvi_wifi_not_built;
// Start-up installs the station control; null puts "not built" back.
void orvi_wifi_install(const orvi_wifi_ops_t *ops);
