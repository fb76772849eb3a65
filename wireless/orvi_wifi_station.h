// The Wi-Fi station: the board's supplicant on "wlan0", driven through its
// control client `wpa_cli`, always run with an argument vector, so a network
// name or pass phrase is data from end to end and never meets a shell.
// Start-up installs `orvi_wifi_station_ops` behind the seam of orvi_wifi.h
// and wires the two callbacks below; everything here runs on the caller's
// thread, except the confirmation task, which runs on its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "orvi_wifi.h"

// The station's table for orvi_wifi_install.
extern const orvi_wifi_ops_t orvi_wifi_station_ops;

// Where the confirmation's result goes: start-up queues the "bleinfo" send
// request for the BLE connection. `state` is the state polled last (also
// what orvi_wifi_confirm_state answers by then). Null: the result is only
// logged.
typedef int (*orvi_wifi_result_sink_t)(WifiConnectionState state);
void orvi_wifi_set_result_sink(orvi_wifi_result_sink_t sink);
// Whether the Ethernet link is up (the network monitor's check): at the end
// of a confirmation the station is switched off again while it is. Null:
// the station stays on.
typedef bool (*orvi_wifi_link_check_t)(void);
void orvi_wifi_set_eth_link_check(orvi_wifi_link_check_t check);

// What the station believes of itself.
wifi_status_t orvi_wifi_status_get(void);

// ---- The control client ------------------------------------------------------

// Runs "wpa_cli -i wlan0" followed by `words`, each one argument. When
// `output` is given it receives at most `output_len` bytes of the answer.
// The exit status (0 success), or -1 when the client could not run. The
// client exits 0 also when the supplicant refused the command: its answer
// is then "FAIL".
int execute_wpa_cli_command(const std::vector<std::string> &words, std::string *output = nullptr,
                            size_t output_len = 64 * 1024);

// 0 when "pidof wpa_supplicant" names a process, else -1.
int wifi_check(void);
// 0 when the supplicant runs or was started, 1 when starting it failed.
int wifi_init(void);
// "disconnect": 1 on success, 0 on failure.
int wifi_disconnect(void);
// "scan": 1 once the scan ran (after a settling wait), 0 on failure.
int wifi_scan(void);
// "save_config": 1 on success, 0 on failure.
int wifi_save_config(void);

// One network seen by a scan, or the current one.
#define WIFI_FLAG_WPA 0x1
#define WIFI_FLAG_WPA2 0x2
#define WIFI_FLAG_WEP 0x4
typedef struct {
    char bssid[20];
    char ssid[33];
    int frequency;
    int signal_level;
    int flags;  // WIFI_FLAG_*, from the flags column only
    bool is_current;
} WifiNetworkInfo;

// "scan_results" into at most `max_count` records: the count, or -1 when the
// command fails.
int wifi_get_scan_results(WifiNetworkInfo *results, int max_count);
// "status" into `info`: 1, or 0 when the command fails.
int wifi_get_current_network(WifiNetworkInfo *info);
// Removes every configured network named `ssid`: 1 when all that were found
// are gone (also when none was), 0 on failure.
int wifi_remove_network(const char *ssid);
// The ids of the configured networks, at most `max_count`: the count, or -1.
int wifi_get_network_list(int *ids, int max_count);
// Removes every configured network and saves the configuration. 0 or -1.
int wifi_remove_all_networks(void);

// ---- The supplicant's texts (pure; no command runs) ----------------------------

// A network name as the supplicant prints it (quote, backslash and other
// bytes escaped) back to its bytes. false for a broken escape.
bool wifi_ssid_unescape(std::string_view printed, std::string *ssid);
// The value of the "key=" line of a "status" answer; false when there is none.
bool wifi_status_value(std::string_view status, std::string_view key, std::string *value);
// The connection state a "status" answer names (WIFI_UNKNOWN_STATE for none).
WifiConnectionState wifi_state_of_status(std::string_view status);
// The rows of "scan_results" (tab-separated: bssid, frequency, signal level,
// flags, SSID), at most `max_count`. The count.
int wifi_parse_scan_results(std::string_view text, WifiNetworkInfo *results, int max_count);
// The current network of a "status" answer.
void wifi_parse_current_network(std::string_view status, WifiNetworkInfo *info);
// One row of "list_networks" (tab-separated: id, SSID, bssid, flags).
typedef struct {
    int id;
    std::string ssid;  // unescaped
    std::string flags;
} wifi_listed_network_t;
std::vector<wifi_listed_network_t> wifi_parse_network_list(std::string_view text);

// Whether the supplicant takes `password` as it is: empty (an open network),
// 8 to 63 printable ASCII characters, or 64 hexadecimal digits.
bool wifi_passphrase_valid(const char *password);
// The commands that configure network `id` for `ssid` and `password`, each
// an argument vector for execute_wpa_cli_command: an open network for an
// empty password, else WPA2/WPA3 personal with management-frame protection;
// the name goes hex-encoded, a pass phrase quoted, a 64-digit key raw.
// 0, or -2 (nothing built) when the name or the pass phrase cannot be taken.
int wifi_network_commands(int id, const char *ssid, const char *password,
                          std::vector<std::vector<std::string>> *commands);
