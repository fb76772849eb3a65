// The Wi-Fi station over the board's supplicant. Every command is an
// argument vector: the network name travels hex-encoded and the pass phrase
// as one quoted word, so neither is ever parsed by a shell, and what the
// supplicant would read differently from what the app sent (an over-long
// name, a pass phrase it would refuse or cut) is refused here with a log
// line instead.
#include "orvi_wifi_station.h"

#include <pthread.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_system.h"

orvi::Mutex orvi_wifi_config_mu;

namespace {

constexpr const char *kIface = "wlan0";
constexpr const char *kSupplicant = "wpa_supplicant";
constexpr const char *kSupplicantConf = "/etc/wpa_supplicant.conf";
constexpr size_t kSsidMax = 32;
// A control client that hangs must not hang its caller.
constexpr unsigned kCommandTimeoutMs = 10000;
// How long a stopped supplicant may take to go.
constexpr unsigned kStopWaitMs = 3000;

std::atomic<int> g_status{WIFI_DISABLE};
std::atomic<int> g_confirm_state{WIFI_UNKNOWN_STATE};
std::atomic<bool> g_confirm_running{false};
std::atomic<orvi_wifi_result_sink_t> g_sink{nullptr};
std::atomic<orvi_wifi_link_check_t> g_eth_up{nullptr};

// What the last successful connect configured. The network monitor asks
// again every cycle while the station is not associated: asking again for
// the same network must leave an association under way alone, not start it
// over with a new profile.
struct Configured {
    std::string ssid;
    std::string password;
    int id = -1;
};
Configured g_configured GUARDED_BY(orvi_wifi_config_mu);

// The board's pace: 60 polls one second apart, one second for a started
// supplicant to open its control socket, three for a scan. Tests shorten it.
struct Timing {
    std::atomic<unsigned> polls{60};
    std::atomic<unsigned> poll_ms{1000};
    std::atomic<unsigned> settle_ms{1000};
    std::atomic<unsigned> scan_ms{3000};
};
Timing g_timing;

void set_status(wifi_status_t s) {
    g_status.store(s, std::memory_order_relaxed);
}

std::string joined(const std::vector<std::string> &words) {
    std::string s;
    for (const std::string &w : words) {
        if (!s.empty()) s.push_back(' ');
        s.append(w);
    }
    return s;
}

// The command as the log may show it: a key never reaches the log.
std::string loggable(const std::vector<std::string> &words) {
    if (words.size() >= 4 && words[0] == "set_network" && words[2] == "psk")
        return joined({words[0], words[1], words[2], "******"});
    return joined(words);
}

std::string first_line(const std::string &out) {
    size_t e = out.find_first_of("\r\n");
    return out.substr(0, e);
}

// The supplicant took the command: the client ran, and its answer is not a
// refusal (the client exits 0 on "FAIL" as well).
bool wpa_ok(const std::vector<std::string> &words, std::string *answer = nullptr) {
    std::string out;
    int rc = execute_wpa_cli_command(words, &out);
    if (answer) *answer = out;
    return rc == 0 && first_line(out).rfind("FAIL", 0) != 0;
}

bool is_hex(std::string_view s) {
    for (char c : s)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

std::string hex_of(std::string_view bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string h;
    h.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        h.push_back(kDigits[c >> 4]);
        h.push_back(kDigits[c & 0xf]);
    }
    return h;
}

// Splits at `sep`, keeping empty fields.
std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    size_t b = 0;
    for (;;) {
        size_t e = s.find(sep, b);
        out.push_back(s.substr(b, e == std::string_view::npos ? std::string_view::npos : e - b));
        if (e == std::string_view::npos) break;
        b = e + 1;
    }
    return out;
}

std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> out;
    for (std::string_view l : split(text, '\n')) {
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        if (!l.empty()) out.push_back(l);
    }
    return out;
}

bool parse_int(std::string_view s, int *v) {
    if (s.empty() || s.size() > 10) return false;
    std::string t(s);
    char *end = nullptr;
    long n = std::strtol(t.c_str(), &end, 10);
    if (end == t.c_str() || *end != '\0') return false;
    *v = static_cast<int>(n);
    return true;
}

template <size_t N>
void copy_field(char (&dst)[N], std::string_view src) {
    size_t n = src.size() < N - 1 ? src.size() : N - 1;
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
}

// The pids "pidof" printed, digits only.
std::vector<std::string> supplicant_pids() {
    std::string out;
    orvi_run_opts opts;
    opts.out = &out;
    opts.out_limit = 4096;
    opts.timeout_ms = kCommandTimeoutMs;
    std::vector<std::string> pids;
    if (orvi_port_run_argv({"pidof", kSupplicant}, opts) != 0) return pids;
    std::string word;
    for (char c : out + " ") {
        if (std::isdigit(static_cast<unsigned char>(c))) {
            word.push_back(c);
        } else {
            if (!word.empty() && word.size() <= 10) pids.push_back(word);
            word.clear();
        }
    }
    return pids;
}

int on_locked(void) REQUIRES(orvi_wifi_config_mu) {
    if (g_status.load(std::memory_order_relaxed) != WIFI_DISABLE) {
        if (wifi_check() == 0) return 0;
        ORVI_LOGI("wifi restart!");
        set_status(WIFI_DISABLE);
    }
    wifi_init();
    // Whatever the start said, only a running supplicant counts.
    if (wifi_check() != 0) {
        ORVI_LOGI("wifi on failed!");
        return -1;
    }
    ORVI_LOGI("wifi on seccess!");
    set_status(WIFI_IDLE);
    return 0;
}

int station_on(void) {
    orvi::MutexLock lk(orvi_wifi_config_mu);
    return on_locked();
}

int off_locked(void) REQUIRES(orvi_wifi_config_mu) {
    std::vector<std::string> pids = supplicant_pids();
    if (!pids.empty()) {
        std::vector<std::string> argv = {"kill"};
        argv.insert(argv.end(), pids.begin(), pids.end());
        ORVI_LOGI("executing command : %s", joined(argv).c_str());
        orvi_run_opts opts;
        opts.timeout_ms = kCommandTimeoutMs;
        orvi_port_run_argv(argv, opts);
    }
    // The signal is asynchronous: give the process its moment to end.
    const uint64_t deadline = orvi_port_monotonic_ms() + kStopWaitMs;
    while (wifi_check() == 0) {
        if (orvi_port_monotonic_ms() >= deadline) {
            ORVI_LOGI("Failed to turn off the Wi-Fi.");
            return -1;
        }
        orvi_port_sleep_ms(50);
    }
    ORVI_LOGI("WiFi is turned off successfully");
    set_status(WIFI_DISABLE);
    return 0;
}

int station_off(void) {
    orvi::MutexLock lk(orvi_wifi_config_mu);
    return off_locked();
}

// The network of the last connect is still there, enabled, and alone under
// its name.
bool configured_already(const std::string &ssid, const std::string &password) REQUIRES(orvi_wifi_config_mu) {
    if (g_configured.id < 0 || g_configured.ssid != ssid || g_configured.password != password) return false;
    std::string out;
    if (execute_wpa_cli_command({"list_networks"}, &out) != 0) return false;
    bool found = false;
    for (const wifi_listed_network_t &n : wifi_parse_network_list(out)) {
        if (n.ssid != ssid) continue;
        if (n.id != g_configured.id || n.flags.find("[DISABLED]") != std::string::npos) return false;
        found = true;
    }
    return found;
}

// The name and pass phrase are checked before anything runs, so a refused
// connect leaves the supplicant as it was.
int station_connect(const char *ssid, const char *password) {
    std::vector<std::vector<std::string>> probe;
    if (wifi_network_commands(0, ssid, password, &probe) != 0) return -1;
    if (!password) password = "";

    orvi::MutexLock lk(orvi_wifi_config_mu);
    if (wifi_check() != 0) {
        ORVI_LOGW("wifi isn't running!");
        on_locked();
        if (wifi_check() != 0) {
            ORVI_LOGW("wifi run failed , give up connect!");
            return -1;
        }
    }
    if (configured_already(ssid, password)) {
        ORVI_LOGD("network %d is configured already", g_configured.id);
        return 0;
    }
    g_configured = Configured{};
    // One profile per name: an earlier one (another key, the open profile
    // of an older build) would otherwise stay enabled beside the new one.
    if (wifi_remove_network(ssid) != 1) {
        ORVI_LOGW("%s command  execution failed!", "remove_network");
        return -1;
    }
    std::string answer;
    int id = -1;
    if (!wpa_ok({"add_network"}, &answer) || !parse_int(first_line(answer), &id) || id < 0) {
        ORVI_LOGW("%s command  execution failed!", "add_network");
        return -1;
    }
    std::vector<std::vector<std::string>> commands;
    wifi_network_commands(id, ssid, password, &commands);
    for (const std::vector<std::string> &cmd : commands) {
        bool ok = wpa_ok(cmd, &answer);
        ORVI_LOGI("%s return:%s", loggable(cmd).c_str(), first_line(answer).c_str());
        if (!ok) {
            ORVI_LOGW("%s command  execution failed!", loggable(cmd).c_str());
            // No half-configured profile stays behind.
            wpa_ok({"remove_network", std::to_string(id)});
            return -1;
        }
    }
    g_configured = Configured{ssid, password, id};
    set_status(WIFI_CONNECTTING);
    return 0;
}

WifiConnectionState station_state(void) {
    std::string out;
    if (execute_wpa_cli_command({"status"}, &out) != 0) {
        ORVI_LOGW("wifi status  execution failed!");
        return WIFI_UNKNOWN_STATE;
    }
    WifiConnectionState s = wifi_state_of_status(out);
    switch (s) {
        case WIFI_CONNECTED:
            set_status(WIFI_SUCCESS);
            break;
        case WIFI_DISCONNECTED:
            set_status(WIFI_DISCONNET);
            break;
        case WIFI_CONNECTING:
            set_status(WIFI_CONNECTTING);
            break;
        default:
            break;
    }
    return s;
}

void report(WifiConnectionState s) {
    orvi_wifi_result_sink_t sink = g_sink.load();
    if (sink && sink(s) != 0) ORVI_LOGW("the Wi-Fi result could not be queued!");
}

void *confirm_task(void *) {
    const unsigned polls = g_timing.polls.load();
    const unsigned poll_ms = g_timing.poll_ms.load();
    bool decided = false;
    for (unsigned i = 0; i < polls && !decided; ++i) {
        if (i) orvi_port_sleep_ms(poll_ms);
        WifiConnectionState s = station_state();
        g_confirm_state.store(s);
        if (s == WIFI_CONNECTED) {
            ORVI_LOGI("wifi connected");
            report(s);
            decided = true;
        } else if (s == WIFI_CONNECTION_FAILED) {
            ORVI_LOGW("wifi connect  failed !");
            report(s);
            decided = true;
        }
    }
    if (!decided) {
        ORVI_LOGW("wifi connect  time-out!");
        report(static_cast<WifiConnectionState>(g_confirm_state.load()));
    }
    orvi_wifi_link_check_t eth_up = g_eth_up.load();
    if (eth_up && eth_up()) station_off();
    g_confirm_running.store(false);
    return nullptr;
}

int station_confirm(void) {
    if (g_confirm_running.exchange(true)) {
        ORVI_LOGW("wifi connect confirm now!");
        return -1;
    }
    pthread_t tid;
    if (orvi_pthread_create_detach(&tid, nullptr, confirm_task, nullptr, "orvi_wifi_connect_confirm_task") !=
        0) {
        g_confirm_running.store(false);
        return -1;
    }
    return 0;
}

WifiConnectionState station_confirm_state(void) {
    return static_cast<WifiConnectionState>(g_confirm_state.load());
}

}  // namespace

const orvi_wifi_ops_t orvi_wifi_station_ops = {station_on,    station_off,     station_connect,
                                               station_state, station_confirm, station_confirm_state};

void orvi_wifi_set_result_sink(orvi_wifi_result_sink_t sink) {
    g_sink.store(sink);
}
void orvi_wifi_set_eth_link_check(orvi_wifi_link_check_t check) {
    g_eth_up.store(check);
}
wifi_status_t orvi_wifi_status_get(void) {
    return static_cast<wifi_status_t>(g_status.load());
}

// ---- The control client ------------------------------------------------------

int execute_wpa_cli_command(const std::vector<std::string> &words, std::string *output, size_t output_len) {
    std::vector<std::string> argv = {"wpa_cli", "-i", kIface};
    argv.insert(argv.end(), words.begin(), words.end());
    orvi_run_opts opts;
    opts.out = output;
    opts.out_limit = output_len;
    opts.timeout_ms = kCommandTimeoutMs;
    return orvi_port_run_argv(argv, opts);
}

int wifi_check(void) {
    std::vector<std::string> pids = supplicant_pids();
    if (pids.empty()) return -1;
    ORVI_LOGI("wifi pid %s", joined(pids).c_str());
    return 0;
}

int wifi_init(void) {
    if (wifi_check() == 0) return 0;
    const std::vector<std::string> argv = {kSupplicant, "-i",      kIface, "-c", orvi_path(kSupplicantConf),
                                           "-D",        "nl80211", "-B"};
    orvi_run_opts opts;
    opts.timeout_ms = kCommandTimeoutMs;
    if (orvi_port_run_argv(argv, opts) != 0) {
        ORVI_LOGW("%s command execution failed!", joined(argv).c_str());
        return 1;
    }
    orvi_port_sleep_ms(g_timing.settle_ms.load());
    return 0;
}

int wifi_disconnect(void) {
    return wpa_ok({"disconnect"}) ? 1 : 0;
}

int wifi_scan(void) {
    if (!wpa_ok({"scan"})) {
        ORVI_LOGW("wifi scan execution failed!");
        return 0;
    }
    orvi_port_sleep_ms(g_timing.scan_ms.load());
    return 1;
}

int wifi_save_config(void) {
    return wpa_ok({"save_config"}) ? 1 : 0;
}

int wifi_get_scan_results(WifiNetworkInfo *results, int max_count) {
    std::string out;
    if (!results || max_count < 0 || execute_wpa_cli_command({"scan_results"}, &out) != 0) {
        ORVI_LOGW("wifi scan_results execution failed!");
        return -1;
    }
    return wifi_parse_scan_results(out, results, max_count);
}

int wifi_get_current_network(WifiNetworkInfo *info) {
    std::string out;
    if (!info || execute_wpa_cli_command({"status"}, &out) != 0) {
        ORVI_LOGW("wifi status  execution failed!");
        return 0;
    }
    wifi_parse_current_network(out, info);
    return 1;
}

int wifi_remove_network(const char *ssid) {
    std::string out;
    if (!ssid || execute_wpa_cli_command({"list_networks"}, &out) != 0) return 0;
    for (const wifi_listed_network_t &n : wifi_parse_network_list(out)) {
        if (n.ssid != ssid) continue;
        if (!wpa_ok({"remove_network", std::to_string(n.id)})) return 0;
    }
    return 1;
}

int wifi_get_network_list(int *ids, int max_count) {
    std::string out;
    if (!ids || max_count < 0 || execute_wpa_cli_command({"list_networks"}, &out) != 0) {
        orvi_plain_write("wpa_cli command execute failed!\n");
        return -1;
    }
    int n = 0;
    for (const wifi_listed_network_t &net : wifi_parse_network_list(out)) {
        if (n >= max_count) break;
        ids[n++] = net.id;
    }
    return n;
}

int wifi_remove_all_networks(void) {
    int ids[256];
    int n = wifi_get_network_list(ids, 256);
    if (n < 0) return -1;
    int rc = 0;
    for (int i = 0; i < n; ++i)
        if (!wpa_ok({"remove_network", std::to_string(ids[i])})) rc = -1;
    if (wifi_save_config() != 1) rc = -1;
    return rc;
}

// ---- The supplicant's texts ----------------------------------------------------

bool wifi_ssid_unescape(std::string_view p, std::string *ssid) {
    std::string out;
    for (size_t i = 0; i < p.size(); ++i) {
        char c = p[i];
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (++i >= p.size()) return false;
        switch (p[i]) {
            case '\\':
                out.push_back('\\');
                break;
            case '"':
                out.push_back('"');
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'e':
                out.push_back('\033');
                break;
            case 'x': {
                std::string_view h = p.substr(i + 1, 2);
                if (h.size() != 2 || !is_hex(h)) return false;
                out.push_back(static_cast<char>(std::stoi(std::string(h), nullptr, 16)));
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    if (ssid) *ssid = std::move(out);
    return true;
}

bool wifi_status_value(std::string_view status, std::string_view key, std::string *value) {
    for (std::string_view l : lines_of(status)) {
        if (l.size() > key.size() && l.substr(0, key.size()) == key && l[key.size()] == '=') {
            if (value) *value = std::string(l.substr(key.size() + 1));
            return true;
        }
    }
    return false;
}

WifiConnectionState wifi_state_of_status(std::string_view status) {
    std::string st;
    if (!wifi_status_value(status, "wpa_state", &st)) return WIFI_UNKNOWN_STATE;
    if (st == "COMPLETED") return WIFI_CONNECTED;
    if (st == "DISCONNECTED") return WIFI_DISCONNECTED;
    static const char *const kOnTheWay[] = {"SCANNING",   "AUTHENTICATING", "ASSOCIATING",
                                            "ASSOCIATED", "4WAY_HANDSHAKE", "GROUP_HANDSHAKE"};
    for (const char *s : kOnTheWay)
        if (st == s) return WIFI_CONNECTING;
    return WIFI_UNKNOWN_STATE;
}

int wifi_parse_scan_results(std::string_view text, WifiNetworkInfo *results, int max_count) {
    if (!results || max_count <= 0) return 0;
    int n = 0;
    for (std::string_view l : lines_of(text)) {
        if (n >= max_count) break;
        std::vector<std::string_view> f = split(l, '\t');
        // The header, and anything that is not a row of five columns.
        if (f.size() < 5) continue;
        WifiNetworkInfo info{};
        if (!parse_int(f[1], &info.frequency) || !parse_int(f[2], &info.signal_level)) continue;
        copy_field(info.bssid, f[0]);
        // A name may itself hold tabs only escaped: the rest of the line is it.
        std::string_view printed = l.substr(f[0].size() + f[1].size() + f[2].size() + f[3].size() + 4);
        std::string ssid;
        if (!wifi_ssid_unescape(printed, &ssid)) ssid.assign(printed);
        copy_field(info.ssid, ssid.substr(0, kSsidMax));
        std::string_view flags = f[3];
        if (flags.find("WPA") != std::string_view::npos) info.flags |= WIFI_FLAG_WPA;
        if (flags.find("WPA2") != std::string_view::npos || flags.find("RSN") != std::string_view::npos)
            info.flags |= WIFI_FLAG_WPA2;
        if (flags.find("WEP") != std::string_view::npos) info.flags |= WIFI_FLAG_WEP;
        results[n++] = info;
    }
    return n;
}

void wifi_parse_current_network(std::string_view status, WifiNetworkInfo *info) {
    if (!info) return;
    *info = WifiNetworkInfo{};
    std::string v;
    if (wifi_status_value(status, "bssid", &v)) copy_field(info->bssid, v);
    if (wifi_status_value(status, "ssid", &v)) {
        std::string ssid;
        if (!wifi_ssid_unescape(v, &ssid)) ssid = v;
        copy_field(info->ssid, ssid.substr(0, kSsidMax));
    }
    if (wifi_status_value(status, "freq", &v)) parse_int(v, &info->frequency);
    info->is_current = true;
}

std::vector<wifi_listed_network_t> wifi_parse_network_list(std::string_view text) {
    std::vector<wifi_listed_network_t> out;
    for (std::string_view l : lines_of(text)) {
        std::vector<std::string_view> f = split(l, '\t');
        wifi_listed_network_t n;
        // The header and anything else without a numeric id and its columns.
        if (f.size() < 4 || !parse_int(f[0], &n.id) || n.id < 0) continue;
        std::string_view flags = f.back();
        std::string_view printed = l.substr(f[0].size() + 1, l.size() - f[0].size() - 1);
        // id, SSID, bssid, flags: the name is what lies between the id and
        // the last two columns.
        printed = printed.substr(0, printed.size() - flags.size() - f[f.size() - 2].size() - 2);
        if (!wifi_ssid_unescape(printed, &n.ssid)) n.ssid.assign(printed);
        n.flags.assign(flags);
        out.push_back(std::move(n));
    }
    return out;
}

bool wifi_passphrase_valid(const char *password) {
    if (!password) return false;
    const size_t n = std::strlen(password);
    if (n == 0) return true;
    if (n == 64) return is_hex(password);
    if (n < 8 || n > 63) return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(password[i]);
        if (c < 0x20 || c > 0x7e) return false;
    }
    return true;
}

int wifi_network_commands(int id, const char *ssid, const char *password,
                          std::vector<std::vector<std::string>> *commands) {
    if (!commands) return -2;
    commands->clear();
    const size_t ssid_len = ssid ? std::strlen(ssid) : 0;
    if (ssid_len == 0 || ssid_len > kSsidMax) {
        ORVI_LOGW("wifi_connect: the SSID of %zu bytes is refused (1 to %zu)", ssid_len, kSsidMax);
        return -2;
    }
    if (!password) password = "";
    if (!wifi_passphrase_valid(password)) {
        // Its length only: the pass phrase itself never reaches the log.
        ORVI_LOGW(
            "wifi_connect: the password of %zu bytes is refused (8 to 63 printable characters, or 64 hex "
            "digits)",
            std::strlen(password));
        return -2;
    }
    const std::string n = std::to_string(id);
    commands->push_back({"set_network", n, "ssid", hex_of(ssid)});
    const size_t plen = std::strlen(password);
    if (plen == 0) {
        commands->push_back({"set_network", n, "key_mgmt", "NONE"});
    } else {
        // A 64-digit key is the key itself; a pass phrase is one quoted word,
        // which the supplicant reads up to its last quote, so quotes,
        // backslashes and blanks inside it stay as they are.
        commands->push_back({"set_network", n, "psk",
                             plen == 64 ? std::string(password) : "\"" + std::string(password) + "\""});
        commands->push_back({"set_network", n, "key_mgmt", "WPA-PSK SAE"});
        commands->push_back({"set_network", n, "ieee80211w", "1"});
    }
    commands->push_back({"enable_network", n});
    return 0;
}

// ---- Test entries (declared in tests/support/orvi_testing.h) --------------------

void orvi_wifi_timing_for_test(unsigned polls, unsigned poll_ms, unsigned settle_ms) {
    g_timing.polls.store(polls ? polls : 60);
    g_timing.poll_ms.store(polls ? poll_ms : 1000);
    g_timing.settle_ms.store(polls ? settle_ms : 1000);
    g_timing.scan_ms.store(polls ? settle_ms : 3000);
}

bool orvi_wifi_confirm_running_for_test(void) {
    return g_confirm_running.load();
}

void orvi_wifi_reset_for_test(void) {
    {
        orvi::MutexLock lk(orvi_wifi_config_mu);
        g_configured = Configured{};
    }
    set_status(WIFI_DISABLE);
    g_confirm_state.store(WIFI_UNKNOWN_STATE);
}
