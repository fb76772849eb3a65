// The identity record, the host settings and their accessors. The record
// lock is held only for a copy, never while another lock is taken or the
// file is written; a persisting setter saves the value memory holds
// after its change, again if a racing setter changed it meanwhile, so the
// file always ends with the value memory holds.
#include "orvi_product.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <type_traits>

#include "orvi_field.h"
#include "orvi_flash.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_system.h"
#include "orvi_utils.h"

namespace {
orvi_dev_info_t defaults_record(void) {
    orvi_dev_info_t info{};
    orvi_dev_info_defaults(&info);
    return info;
}
}  // namespace

// Holds the built-in defaults from the start, so the default key and the
// firmware identifier read right even before the start-up merge.
orvi_dev_info_t orvi_dev_info GUARDED_BY(orvi_dev_info_mu) = defaults_record();
app_ins_info_t orvi_ins_info GUARDED_BY(orvi_ins_info_mu);

namespace {
// The host's settings the configuration file keeps beside the identity: the
// home's location and cloud domain, the installation's order id, the Wi-Fi
// credentials and the Qnet id. Identity owns them because it owns the file
// and its product_get_* accessors; the registry and the handlers read them
// here. Guarded by orvi_dev_info_mu.
struct host_settings_t {
    char province[64];
    char city[64];
    char APIDomain[64];
    char lng[64];
    char lat[64];
    uint32_t QnetID;
    char orderID[64];
    char ssid[128];
    char wifiPsw[128];
};
host_settings_t g_settings GUARDED_BY(orvi_dev_info_mu){};
}  // namespace

orvi::Mutex orvi_dev_info_mu;
orvi::Mutex orvi_ins_info_mu;

orvi::Mutex &orvi_dev_info_mutex(void) {
    return orvi_dev_info_mu;
}

orvi::Mutex &orvi_ins_info_mutex(void) {
    return orvi_ins_info_mu;
}

namespace {
using Lock = orvi::MutexLock;

const char kConfigsDir[] = "/data/domivault/configs";
const char kMqttPasswdFile[] = "/data/domivault/configs/mqtt_passwd";
const char kMosquittoConfImage[] = "/etc/mosquitto.conf";
const char kMosquittoConfCopy[] = "/data/domivault/configs/mosquitto.conf";
const char kRedisConfImage[] = "/etc/redis.conf";
const char kRedisConfCopy[] = "/data/domivault/configs/redis.conf";

// ---- Record access.

template <size_t N>
std::string text_of(char (orvi_dev_info_t::*f)[N]) {
    Lock lk(orvi_dev_info_mutex());
    return std::string(orvi_field_view(orvi_dev_info.*f));
}

template <class T>
T value_of(T orvi_dev_info_t::*f) {
    Lock lk(orvi_dev_info_mutex());
    return orvi_dev_info.*f;
}

// `v` is converted to the field's type (not deduced from it).
template <class T>
void set_value(T orvi_dev_info_t::*f, typename std::common_type<T>::type v) {
    Lock lk(orvi_dev_info_mutex());
    orvi_dev_info.*f = v;
}

template <size_t N>
std::string settings_text(char (host_settings_t::*f)[N]) {
    Lock lk(orvi_dev_info_mutex());
    return std::string(orvi_field_view(g_settings.*f));
}

// A caller's text for a field of N bytes: null, empty (unless allowed) and
// over-long texts are refused with a log line. Over-long text is never cut:
// a cut key or MAC is a different, valid-looking identity.
bool text_fits(const char *what, const char *value, size_t n, bool allow_empty) {
    if (!value || (!allow_empty && !*value)) {
        ORVI_LOGW("%s is null or empty, ignored", what);
        return false;
    }
    size_t len = strnlen(value, n);
    if (len >= n) {
        ORVI_LOGW("%s is too long (more than %zu characters), refused", what, n - 1);
        return false;
    }
    return true;
}

template <size_t N>
int set_text(const char *what, char (orvi_dev_info_t::*f)[N], const char *value, bool allow_empty) {
    if (!text_fits(what, value, N, allow_empty)) return -1;
    Lock lk(orvi_dev_info_mutex());
    orvi_field_set(orvi_dev_info.*f, value);
    return 0;
}

// ---- Persisting setters: compare and set under the lock; save only a change.

int save_value(const char *key, const std::string &v) {
    return orvi_info_save(key, v.c_str(), v.size() + 1, TYPE_STRING);
}
template <class T>
int save_value(const char *key, T v) {
    return orvi_info_save(key, &v, sizeof v, TYPE_NUMBER);
}

// Saves what memory holds now. A setter racing this one may change memory
// between the copy and the save; whoever saved a stale copy saves again.
template <class Get>
int save_current(const char *key, Get current) {
    for (int round = 0; round < 8; ++round) {
        auto v = current();
        if (save_value(key, v) != 0) return -1;
        if (current() == v) return 0;
    }
    return 0;  // still changing: the latest setter saves its own value
}

template <size_t N>
int persist_text(const char *key, char (orvi_dev_info_t::*f)[N], const char *value, bool allow_empty) {
    if (!text_fits(key, value, N, allow_empty)) return -1;
    {
        Lock lk(orvi_dev_info_mutex());
        if (orvi_field_view(orvi_dev_info.*f) == value) return 0;
        orvi_field_set(orvi_dev_info.*f, value);
    }
    return save_current(key, [f] { return text_of(f); });
}

template <class T>
int persist_number(const char *key, T orvi_dev_info_t::*f, typename std::common_type<T>::type v) {
    {
        Lock lk(orvi_dev_info_mutex());
        if (orvi_dev_info.*f == v) return 0;
        orvi_dev_info.*f = v;
    }
    return save_current(key, [f] { return value_of(f); });
}

template <size_t N>
int persist_settings_text(const char *key, char (host_settings_t::*f)[N], const char *value) {
    if (!text_fits(key, value, N, false)) return -1;
    {
        Lock lk(orvi_dev_info_mutex());
        if (orvi_field_view(g_settings.*f) == value) return 0;
        orvi_field_set(g_settings.*f, value);
    }
    return save_current(key, [f] { return settings_text(f); });
}

// ---- Start-up loads: a missing key leaves the field as it was.

template <size_t N>
void load_text_into(const char *key, char (orvi_dev_info_t::*f)[N]) {
    std::string v;
    if (orvi_info_load_text(key, v) != 0) return;
    Lock lk(orvi_dev_info_mutex());
    if (!orvi_field_set(orvi_dev_info.*f, v))
        ORVI_LOGW("%s in %s is too long, ignored", key, ORVI_PARAMS_FILE);
}

template <class T>
void load_number_into(const char *key, T orvi_dev_info_t::*f) {
    T v = value_of(f);
    if (orvi_info_load(key, &v, sizeof v, TYPE_NUMBER) == 0) set_value(f, v);
}

template <size_t N>
void load_settings_text(const char *key, char (host_settings_t::*f)[N]) {
    std::string v;
    if (orvi_info_load_text(key, v) != 0) return;
    Lock lk(orvi_dev_info_mutex());
    if (!orvi_field_set(g_settings.*f, v)) ORVI_LOGW("%s in %s is too long, ignored", key, ORVI_PARAMS_FILE);
}

void load_stored_settings(void) {
    load_text_into("Qnetkey", &orvi_dev_info_t::Qnetkey);
    load_text_into("dishost", &orvi_dev_info_t::dishost);
    load_number_into("disport", &orvi_dev_info_t::disport);
    load_number_into("homeId", &orvi_dev_info_t::homeId);
    load_number_into("active", &orvi_dev_info_t::is_actived);
    load_number_into("nluport", &orvi_dev_info_t::nluport);
    load_text_into("nluhost", &orvi_dev_info_t::nluhost);
    load_settings_text("province", &host_settings_t::province);
    load_settings_text("city", &host_settings_t::city);
    load_settings_text("domain", &host_settings_t::APIDomain);
    load_settings_text("lng", &host_settings_t::lng);
    load_settings_text("lat", &host_settings_t::lat);
    uint32_t qnet_id = product_get_QnetID();
    if (orvi_info_load("QnetID", &qnet_id, sizeof qnet_id, TYPE_NUMBER) == 0) {
        Lock lk(orvi_dev_info_mutex());
        g_settings.QnetID = qnet_id;
    }
    load_settings_text("orderID", &host_settings_t::orderID);
    load_number_into("nluinfo_flag", &orvi_dev_info_t::nluinfo_flag);
    load_text_into("homeMac", &orvi_dev_info_t::home_mac_str);
    load_text_into("homeKey", &orvi_dev_info_t::home_key);
    load_settings_text("ssid", &host_settings_t::ssid);
    load_settings_text("wifiPsw", &host_settings_t::wifiPsw);
}

// Shows damaged identifier text safely in a log line.
std::string printable(const std::string &s) {
    std::string out;
    for (char c : s.substr(0, 32))
        out.push_back(isprint(static_cast<unsigned char>(c)) ? c : '?');
    return out;
}

int load_host_identifier(void) {
    std::string id;
    orvi_port_read(orvi_path(ORVI_MAC_FILE), id, 64);
    if (!orvi_host_id_valid(id)) {
        ORVI_LOGW("read host mac error: %s", printable(id).c_str());
        return -1;
    }
    ORVI_LOGI("read host mac success: %s", id.c_str());
    Lock lk(orvi_dev_info_mutex());
    orvi_field_set(orvi_dev_info.host_mac_str, id);
    return 0;
}

// ---- Credentials.

// A credential already in the file goes into the field; false when there is
// none (or it does not fit), so a new one must be made.
template <size_t N>
bool load_credential(const char *key, char (orvi_dev_info_t::*f)[N]) {
    std::string v;
    if (orvi_info_load_text(key, v) != 0 || v.empty()) return false;
    {
        Lock lk(orvi_dev_info_mutex());
        if (!orvi_field_set(orvi_dev_info.*f, v)) {
            ORVI_LOGW("%s in %s is too long, making a new one", key, ORVI_PARAMS_FILE);
            return false;
        }
    }
    // The user name may show; keys and passwords never reach the log.
    ORVI_LOGI("%s is already exists! -> %s", key, std::strcmp(key, "mqttUser") == 0 ? v.c_str() : "******");
    return true;
}

void restart_service(const char *name) {
    std::string cmd = std::string("systemctl restart ") + name;
    ORVI_LOGI("cmd is %s", cmd.c_str());
    orvi_executeCommand_nonret(cmd);
}

int make_random_key(bool fresh) {
    if (!fresh && load_credential("randomkey", &orvi_dev_info_t::random_key)) return 0;
    char key[17] = {0};
    random_key_create(key, 16);
    {
        Lock lk(orvi_dev_info_mutex());
        orvi_field_set(orvi_dev_info.random_key, key);
    }
    ORVI_LOGI("randomkey is created");
    return orvi_info_save("randomkey", key, sizeof key, TYPE_STRING);
}

int make_mqttuser(bool fresh) {
    if (!fresh && load_credential("mqttUser", &orvi_dev_info_t::mqttUser)) return 0;
    std::string user = product_get_host_mac_str();
    if (user.empty() || set_text("mqttUser", &orvi_dev_info_t::mqttUser, user.c_str(), false) != 0) {
        ORVI_LOGW("mqttUser: no host identifier yet");
        return -1;
    }
    return orvi_info_save("mqttUser", user.c_str(), user.size() + 1, TYPE_STRING);
}

// The generated configurations. A service is restarted only once every file
// it reads holds the new password, each written whole through a temporary
// file and a rename; when one cannot be written (a full disk), the files in
// force stay as they were, nothing is restarted and the credential is not
// saved, so the next start makes it again.

// Temporaries of ours a power cut may have left in the configs folder.
void remove_leftover_temporaries(void) {
    static const char *const kOurs[] = {"mqtt_passwd.tmp.", "mosquitto.conf.tmp.", "redis.conf.tmp."};
    const std::string dir = orvi_path(kConfigsDir);
    DIR *d = ::opendir(dir.c_str());
    if (!d) return;
    while (const struct dirent *de = ::readdir(d)) {
        for (const char *ours : kOurs) {
            if (strncmp(de->d_name, ours, strlen(ours)) == 0) {
                ::unlink((dir + "/" + de->d_name).c_str());
                ORVI_LOGI("removed leftover %s/%s", kConfigsDir, de->d_name);
                break;
            }
        }
    }
    ::closedir(d);
}

// The image's configuration of a service; false (logged) when it cannot be read.
bool read_image_conf(const char *image, std::string &text) {
    if (!orvi_port_read(orvi_path(image), text) || text.empty()) {
        ORVI_LOGW("%s read fail!", image);
        return false;
    }
    return true;
}

bool write_whole(const char *board_path, const std::string &text, unsigned mode) {
    if (orvi_port_write_atomic(orvi_path(board_path), text, mode)) return true;
    ORVI_LOGW("%s write fail!", board_path);
    return false;
}

// A copy of the password file for the password tool, removed with its
// object together with anything the tool left beside it.
class PasswdScratch {
  public:
    PasswdScratch() {
        static std::atomic<unsigned> seq{0};
        path_ = orvi_path(kMqttPasswdFile) + ".tmp." + std::to_string(::getpid()) + "." +
                std::to_string(seq.fetch_add(1));
    }
    ~PasswdScratch() {
        ::unlink(path_.c_str());
        ::unlink((path_ + ".tmp").c_str());
    }
    PasswdScratch(const PasswdScratch &) = delete;
    PasswdScratch &operator=(const PasswdScratch &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// True when the password file text is whole and holds an entry for `user`.
bool passwd_has_entry(const std::string &text, const std::string &user) {
    if (text.empty() || text.back() != '\n') return false;
    const std::string head = user + ":$";
    for (size_t at = 0; at < text.size();) {
        size_t eol = text.find('\n', at);
        if (text.compare(at, head.size(), head) == 0 && eol > at + head.size()) return true;
        at = eol + 1;
    }
    return false;
}

// The password file as the password tool leaves it with `user`'s new
// password, made on a copy: the tool may exit 0 after a write cut short.
bool broker_passwd_text(const std::string &user, const std::string &psw, std::string &text) {
    std::string current;
    orvi_port_read(orvi_path(kMqttPasswdFile), current);  // missing: a first entry
    PasswdScratch scratch;
    if (!orvi_port_write_atomic(scratch.path(), current, 0600)) {
        ORVI_LOGW("%s create fail", kMqttPasswdFile);
        return false;
    }
    orvi_run_opts o;
    o.timeout_ms = 30000;
    const int st = orvi_port_run_argv({"mosquitto_passwd", "-b", scratch.path(), user, psw}, o);
    if (st != 0) {
        ORVI_LOGW("mosquitto_passwd failed (status %d), %s left as it was", st, kMqttPasswdFile);
        return false;
    }
    if (!orvi_port_read(scratch.path(), text) || !passwd_has_entry(text, user)) {
        ORVI_LOGW("mosquitto_passwd left no whole entry for %s (%zu bytes), %s left as it was", user.c_str(),
                  text.size(), kMqttPasswdFile);
        return false;
    }
    return true;
}

int make_mqttpsw(bool fresh) {
    if (!fresh && load_credential("mqttPsw", &orvi_dev_info_t::mqttPsw)) return 0;
    std::string psw = md5_to_hex_string(product_get_random_key() + generate_random_string(6));
    ORVI_LOGI("mqttPsw is %s", "******");  // a secret: never in the log
    const std::string user = product_get_mqttuser();
    if (user.empty()) {
        ORVI_LOGW("mqttPsw: no mqttUser to set it for");
        return -1;
    }
    remove_leftover_temporaries();
    std::string conf, passwd;
    if (!read_image_conf(kMosquittoConfImage, conf) || !broker_passwd_text(user, psw, passwd) ||
        !write_whole(kMosquittoConfCopy, conf, 0644) || !write_whole(kMqttPasswdFile, passwd, 0600)) {
        ORVI_LOGW("mosquitto not restarted, mqttPsw not saved");
        return -1;
    }
    set_text("mqttPsw", &orvi_dev_info_t::mqttPsw, psw.c_str(), false);
    restart_service("mosquitto");
    return orvi_info_save("mqttPsw", psw.c_str(), psw.size() + 1, TYPE_STRING);
}

int make_redispsw(bool fresh) {
    if (!fresh && load_credential("redisPsw", &orvi_dev_info_t::redisPsw)) return 0;
    std::string psw = product_get_mqttpsw();
    if (psw.empty()) {
        ORVI_LOGW("redisPsw: no mqttPsw to derive it from");
        return -1;
    }
    remove_leftover_temporaries();
    std::string conf;
    if (read_image_conf(kRedisConfImage, conf)) {
        if (conf.back() != '\n') conf.push_back('\n');
        conf += "requirepass " + psw + "\n";
    }
    if (conf.empty() || !write_whole(kRedisConfCopy, conf, 0644)) {
        ORVI_LOGW("redis not restarted, redisPsw not saved");
        return -1;
    }
    set_text("redisPsw", &orvi_dev_info_t::redisPsw, psw.c_str(), false);
    restart_service("redis");
    return orvi_info_save("redisPsw", psw.c_str(), psw.size() + 1, TYPE_STRING);
}

// ---- Time.

bool all_digits(const std::string &s, size_t at, size_t n) {
    for (size_t i = at; i < at + n; ++i) {
        if (!isdigit(static_cast<unsigned char>(s[i]))) return false;
    }
    return true;
}

// Strictly "YYYY-MM-DD hh:mm:ss" with calendar values in range.
bool parse_time_text(const std::string &s, struct tm &tmv) {
    if (s.size() != 19 || s[4] != '-' || s[7] != '-' || s[10] != ' ' || s[13] != ':' || s[16] != ':')
        return false;
    if (!all_digits(s, 0, 4) || !all_digits(s, 5, 2) || !all_digits(s, 8, 2) || !all_digits(s, 11, 2) ||
        !all_digits(s, 14, 2) || !all_digits(s, 17, 2))
        return false;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, se = 0;
    if (sscanf(s.c_str(), "%04d-%02d-%02d %02d:%02d:%02d", &y, &mo, &d, &h, &mi, &se) != 6) return false;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1970 || y > 2099 || mo < 1 || mo > 12 || h > 23 || mi > 59 || se > 59) return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d < 1 || d > kDays[mo - 1] + (mo == 2 && leap ? 1 : 0)) return false;
    tmv = {};
    tmv.tm_year = y - 1900;
    tmv.tm_mon = mo - 1;
    tmv.tm_mday = d;
    tmv.tm_hour = h;
    tmv.tm_min = mi;
    tmv.tm_sec = se;
    tmv.tm_isdst = -1;
    return true;
}

// "YYYY-MM-DD hh:mm:ss" of the "Local time" line of "timedatectl status".
std::string status_local_time(const std::string &status) {
    size_t at = status.find("Local time");
    if (at == std::string::npos) return "";
    size_t colon = status.find(':', at);
    size_t eol = status.find('\n', at);
    if (colon == std::string::npos || (eol != std::string::npos && colon > eol)) return "";
    std::string line =
        status.substr(colon + 1, eol == std::string::npos ? std::string::npos : eol - colon - 1);
    char w1[32] = {0}, w2[32] = {0}, w3[32] = {0};
    int n = sscanf(line.c_str(), "%31s %31s %31s", w1, w2, w3);
    // "Tue 2024-01-02 03:04:05 UTC": the weekday may be missing.
    if (n >= 3 && strlen(w2) == 10 && w2[4] == '-') return std::string(w2) + " " + w3;
    if (n >= 2 && strlen(w1) == 10 && w1[4] == '-') return std::string(w1) + " " + w2;
    return "";
}

// Runs once, after the first successful calibration (start-up registers the
// schedules' recomputation).
std::atomic<bool> g_calibration_reported{false};
std::atomic<void (*)(void)> g_calibrated_listener{nullptr};
}  // namespace

// ---- Defaults and start-up merge.

void orvi_dev_info_defaults(orvi_dev_info_t *info) {
    if (!info) return;
    // The whole record, not only the texts: the start-up merge leaves every
    // field the configuration file lacks as it finds it here.
    *info = orvi_dev_info_t{};
    orvi_field_set(info->hid, ORVI_FIRMWARE_ID);
    orvi_field_set(info->default_key, ORVI_DEFAULT_KEY);
    orvi_field_set(info->protocol_ver, ORVI_PROTOCOL_VER);
    orvi_field_set(info->mid_str, ORVI_MID_STR);
    orvi_field_set(info->homeHostMid_str, ORVI_HOME_HOST_MID_STR);
    orvi_field_set(info->version, ORVI_SOFTWARE_VERSION);
}

int product_set_info(const orvi_dev_info_t *defaults) {
    if (!defaults) return -2;
    {
        Lock lk(orvi_dev_info_mutex());
        orvi_dev_info = *defaults;
    }
    std::string ver;
    if (version_extract_in_string(product_get_hid().c_str(), ver, ".img") == 0 &&
        set_text("hidver", &orvi_dev_info_t::hidver, ver.c_str(), false) != 0)
        ORVI_LOGW("hidver %s does not fit", ver.c_str());
    if (product_set_LwIP_ip(true) != 0) ORVI_LOGW("host ip set fail!");
    product_set_mac();
    if (load_host_identifier() != 0) {
        ORVI_LOGW("host mac set fail!");
        orvi_port_sleep_ms(2000);
        orvi_mac_file_verify();  // repairs a file damaged since start-up
        if (load_host_identifier() != 0) {
            ORVI_LOGW("host mac set fail on second times,it will reboot now!");
            orvi_reboot();
            return -1;
        }
    }
    product_set_random_key();
    product_set_mqttuser();
    product_set_mqttpsw();
    product_set_redispsw();
    load_stored_settings();

    // Start-up hands the Qnet key to the registry and creates its linking
    // lists right after this merge.
    set_value(&orvi_dev_info_t::is_matched, static_cast<uint8_t>(product_get_Qnetkey().empty() ? 0 : 1));
    return 0;
}

int product_get_info(orvi_dev_info_t *dest) {
    if (!dest) return -2;
    Lock lk(orvi_dev_info_mutex());
    *dest = orvi_dev_info;
    return 0;
}

// ---- Ethernet address and IP.

int product_set_mac(void) {
    std::string mac12;
    uint8_t mac[6];
    if (orvi_eth_mac_read(mac12, mac) != 0) return -1;
    Lock lk(orvi_dev_info_mutex());
    std::memcpy(orvi_dev_info.host_mac, mac, sizeof mac);
    orvi_field_set(orvi_dev_info.host_mac_str, mac12);
    return 0;
}

int product_set_LwIP_ip(bool is_ethernet) {
    const char *ifname = is_ethernet ? "eth0" : "wlan0";
    std::string out = orvi_executeCommand(std::string("ifconfig ") + ifname +
                                          " | grep 'inet addr' | awk '{ print $2}' | awk -F: '{print $2}'");
    std::string ip = out.substr(0, out.find_first_of("\r\n"));
    struct in_addr addr {};
    // An interface without an address clears the stale one.
    const bool ok =
        !ip.empty() && ip.size() < sizeof orvi_dev_info.LwIP_ip && inet_pton(AF_INET, ip.c_str(), &addr) == 1;
    {
        Lock lk(orvi_dev_info_mutex());
        orvi_field_set(orvi_dev_info.LwIP_ip, ok ? std::string_view(ip) : std::string_view(""));
    }
    if (!ok) {
        ORVI_LOGW("f_ifconfig file popen is fail!");
        return -1;
    }
    ORVI_LOGI("LwIP_ip ->%s", ip.c_str());
    return 0;
}

// ---- Credentials.

int product_set_random_key(void) {
    return make_random_key(false);
}
int product_set_mqttuser(void) {
    return make_mqttuser(false);
}
int product_set_mqttpsw(void) {
    return make_mqttpsw(false);
}
int product_set_redispsw(void) {
    return make_redispsw(false);
}

int reset_host_randomkey_psw(void) {
    {
        Lock lk(orvi_dev_info_mutex());
        orvi_field_set(orvi_dev_info.random_key, "");
        orvi_field_set(orvi_dev_info.mqttUser, "");
        orvi_field_set(orvi_dev_info.mqttPsw, "");
        orvi_field_set(orvi_dev_info.redisPsw, "");
    }
    int rc = make_random_key(true);
    rc |= make_mqttuser(true);
    rc |= make_mqttpsw(true);
    rc |= make_redispsw(true);
    return rc == 0 ? 0 : -1;
}

// ---- Getters.

std::string product_get_hid(void) {
    return text_of(&orvi_dev_info_t::hid);
}
std::string product_get_hidver(void) {
    return text_of(&orvi_dev_info_t::hidver);
}
std::string product_get_version(void) {
    return text_of(&orvi_dev_info_t::version);
}
std::string product_get_protocol_ver(void) {
    return text_of(&orvi_dev_info_t::protocol_ver);
}
std::string product_get_default_key(void) {
    return text_of(&orvi_dev_info_t::default_key);
}
std::string product_get_random_key(void) {
    return text_of(&orvi_dev_info_t::random_key);
}
std::string product_get_Qnetkey(void) {
    return text_of(&orvi_dev_info_t::Qnetkey);
}
std::string product_get_home_key(void) {
    return text_of(&orvi_dev_info_t::home_key);
}
std::string product_get_host_mac_str(void) {
    return text_of(&orvi_dev_info_t::host_mac_str);
}
std::string product_get_mac_str(void) {
    return text_of(&orvi_dev_info_t::home_mac_str);
}
void product_get_host_mac(uint8_t mac[6]) {
    if (!mac) return;
    Lock lk(orvi_dev_info_mutex());
    std::memcpy(mac, orvi_dev_info.host_mac, sizeof orvi_dev_info.host_mac);
}
std::string product_get_LwIP_ip(void) {
    return text_of(&orvi_dev_info_t::LwIP_ip);
}
uint32_t product_get_mid(void) {
    return value_of(&orvi_dev_info_t::mid);
}
std::string product_get_mid_str(void) {
    return text_of(&orvi_dev_info_t::mid_str);
}
uint32_t product_get_MidType(void) {
    return value_of(&orvi_dev_info_t::MidType);
}
std::string product_get_homeHost_mid_str(void) {
    return text_of(&orvi_dev_info_t::homeHostMid_str);
}
int32_t product_get_homeId(void) {
    return value_of(&orvi_dev_info_t::homeId);
}
std::string product_get_dis_host(void) {
    return text_of(&orvi_dev_info_t::dishost);
}
uint16_t product_get_dis_port(void) {
    return value_of(&orvi_dev_info_t::disport);
}
std::string product_get_nlu_host(void) {
    return text_of(&orvi_dev_info_t::nluhost);
}
uint16_t product_get_nlu_port(void) {
    return value_of(&orvi_dev_info_t::nluport);
}
int32_t product_get_nluinfo_flag(void) {
    return value_of(&orvi_dev_info_t::nluinfo_flag);
}
std::string product_get_tcp_host(void) {
    return text_of(&orvi_dev_info_t::tcphost);
}
uint16_t product_get_tcp_port(void) {
    return value_of(&orvi_dev_info_t::tcpport);
}
std::string product_get_dat_host(void) {
    return text_of(&orvi_dev_info_t::dathost);
}
uint16_t product_get_dat_port(void) {
    return value_of(&orvi_dev_info_t::datport);
}
uint8_t product_get_match_status(void) {
    return value_of(&orvi_dev_info_t::is_matched);
}
int32_t product_get_active_status(void) {
    return value_of(&orvi_dev_info_t::is_actived);
}
unsigned char product_get_net_status(void) {
    return value_of(&orvi_dev_info_t::is_connected);
}
uint8_t product_get_time_calibration(void) {
    return value_of(&orvi_dev_info_t::time_calibration);
}
uint8_t product_get_server_state(void) {
    return value_of(&orvi_dev_info_t::server_state);
}
uint8_t product_get_server_time_enable(void) {
    return value_of(&orvi_dev_info_t::server_time_enable);
}
uint8_t product_get_ReportFreq(void) {
    return value_of(&orvi_dev_info_t::ReportFreq);
}
uint8_t product_get_tovraCnt(void) {
    return value_of(&orvi_dev_info_t::tovraCnt);
}
std::string product_get_reportclientID(void) {
    return text_of(&orvi_dev_info_t::reportclientID);
}
std::string product_get_bssid_str(void) {
    return text_of(&orvi_dev_info_t::bssid_str);
}
std::string product_get_product_name(void) {
    return text_of(&orvi_dev_info_t::product_name);
}
std::string product_get_mqttuser(void) {
    return text_of(&orvi_dev_info_t::mqttUser);
}
std::string product_get_mqttpsw(void) {
    return text_of(&orvi_dev_info_t::mqttPsw);
}
std::string product_get_redispsw(void) {
    return text_of(&orvi_dev_info_t::redisPsw);
}
bool product_get_resotre_status(void) {
    return value_of(&orvi_dev_info_t::hostRestoreStatus);
}

std::string product_get_province(void) {
    return settings_text(&host_settings_t::province);
}
std::string product_get_city(void) {
    return settings_text(&host_settings_t::city);
}
std::string product_get_APIDomain(void) {
    return settings_text(&host_settings_t::APIDomain);
}
std::string product_get_lng(void) {
    return settings_text(&host_settings_t::lng);
}
std::string product_get_lat(void) {
    return settings_text(&host_settings_t::lat);
}
uint32_t product_get_QnetID(void) {
    Lock lk(orvi_dev_info_mutex());
    return g_settings.QnetID;
}
std::string product_get_orderID(void) {
    return settings_text(&host_settings_t::orderID);
}
std::string product_get_ssid(void) {
    return settings_text(&host_settings_t::ssid);
}
std::string product_get_wifiPsw(void) {
    return settings_text(&host_settings_t::wifiPsw);
}

// ---- Persisting setters.

int product_set_Qnetkey(const char *key) {
    return persist_text("Qnetkey", &orvi_dev_info_t::Qnetkey, key, true);
}
int product_set_homeId(int32_t home_id) {
    return persist_number("homeId", &orvi_dev_info_t::homeId, home_id);
}
int product_set_home_key(const char *key) {
    return persist_text("homeKey", &orvi_dev_info_t::home_key, key, false);
}
int product_set_mac_str(const char *mac) {
    return persist_text("homeMac", &orvi_dev_info_t::home_mac_str, mac, false);
}
int product_set_active_status(int32_t active) {
    return persist_number("active", &orvi_dev_info_t::is_actived, active);
}

int product_set_dis_server_info(const char *host, uint16_t port) {
    int rc = 0;
    if (host && *host) rc |= persist_text("dishost", &orvi_dev_info_t::dishost, host, false);
    if (port != 0) rc |= persist_number("disport", &orvi_dev_info_t::disport, port);
    return rc == 0 ? 0 : -1;
}

int product_set_nlu_server_info(const char *host, uint16_t port) {
    const bool has_host = host && *host;
    if (product_get_nluinfo_flag() == 1 && (!has_host || port == 0)) {
        ORVI_LOGI("nluinfo has been gotten from dis server");
        return 0;
    }
    int rc = 0;
    if (has_host && port != 0) rc |= persist_number("nluinfo_flag", &orvi_dev_info_t::nluinfo_flag, 1);
    if (has_host) rc |= persist_text("nluhost", &orvi_dev_info_t::nluhost, host, false);
    if (port != 0) rc |= persist_number("nluport", &orvi_dev_info_t::nluport, port);
    return rc == 0 ? 0 : -1;
}

int product_set_APIDomain(const char *text) {
    return persist_settings_text("domain", &host_settings_t::APIDomain, text);
}
int product_set_province(const char *text) {
    return persist_settings_text("province", &host_settings_t::province, text);
}
int product_set_city(const char *text) {
    return persist_settings_text("city", &host_settings_t::city, text);
}
int product_set_lng(const char *text) {
    return persist_settings_text("lng", &host_settings_t::lng, text);
}
int product_set_lat(const char *text) {
    return persist_settings_text("lat", &host_settings_t::lat, text);
}
int product_set_orderID(const char *text) {
    return persist_settings_text("orderID", &host_settings_t::orderID, text);
}
int product_set_ssid(const char *text) {
    return persist_settings_text("ssid", &host_settings_t::ssid, text);
}
int product_set_wifiPsw(const char *text) {
    return persist_settings_text("wifiPsw", &host_settings_t::wifiPsw, text);
}

int product_set_QnetID(uint32_t id) {
    {
        Lock lk(orvi_dev_info_mutex());
        if (g_settings.QnetID == id) return 0;
        g_settings.QnetID = id;
    }
    return save_current("QnetID", product_get_QnetID);
}

// ---- Memory-only setters.

namespace {
bool in_pairing(uint8_t match_status) {
    return match_status == 2 || match_status == 3;
}
// When the host last left pairing (monotonic ms); 0: not since start.
std::atomic<uint64_t> g_pairing_left_ms{0};
}  // namespace

void product_set_match_status(uint8_t status) {
    const uint8_t was = product_get_match_status();
    set_value(&orvi_dev_info_t::is_matched, status);
    if (in_pairing(was) && !in_pairing(status)) g_pairing_left_ms.store(orvi_port_monotonic_ms());
    ORVI_LOGI("host match status change to %d", status);
}

bool product_bind_window_open(const char **why) {
    const char *reason = nullptr;
    bool open = true;
    const uint64_t left = g_pairing_left_ms.load();
    if (in_pairing(product_get_match_status())) {
        reason = "the host is in pairing";
    } else if (product_get_home_key().empty()) {
        reason = "the host has no home yet";
    } else if (left != 0 && orvi_port_monotonic_ms() - left < ORVI_BIND_WINDOW_AFTER_MS) {
        reason = "pairing ended a moment ago";
    } else {
        reason = "the host is not in pairing";
        open = false;
    }
    if (why) *why = reason;
    return open;
}
void product_set_net_status(uint8_t status) {
    set_value(&orvi_dev_info_t::is_connected, status);
}
void product_set_time_calibration(uint8_t state) {
    set_value(&orvi_dev_info_t::time_calibration, state);
}
void product_set_server_state(uint8_t state) {
    set_value(&orvi_dev_info_t::server_state, state);
}
void product_set_server_time_enable(uint8_t enable) {
    set_value(&orvi_dev_info_t::server_time_enable, enable);
}
void product_set_tovraCnt(uint8_t count) {
    set_value(&orvi_dev_info_t::tovraCnt, count);
}

void product_set_mid(uint32_t mid) {
    char text[16];
    snprintf(text, sizeof text, "%x", mid);
    Lock lk(orvi_dev_info_mutex());
    orvi_dev_info.mid = mid;
    orvi_field_set(orvi_dev_info.mid_str, text);  // at most 8 digits: fits
}

int product_set_mid_str(const char *mid) {
    return set_text("mid_str", &orvi_dev_info_t::mid_str, mid, true);
}
void product_set_MidType(uint32_t type) {
    set_value(&orvi_dev_info_t::MidType, type);
}

void product_set_dev_protocol_ver(uint32_t ver) {
    char text[16];
    snprintf(text, sizeof text, "%x", ver);
    Lock lk(orvi_dev_info_mutex());
    orvi_field_set(orvi_dev_info.protocol_ver, text);
}

void product_set_bssid_str(const uint8_t bssid[6]) {
    if (!bssid) return;
    char text[17];
    snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", bssid[0], bssid[1], bssid[2], bssid[3], bssid[4],
             bssid[5]);
    Lock lk(orvi_dev_info_mutex());
    orvi_field_set(orvi_dev_info.bssid_str, text);
}

int product_set_tcp_server_info(const char *host, uint16_t port) {
    if (set_text("tcphost", &orvi_dev_info_t::tcphost, host, true) != 0) return -1;
    set_value(&orvi_dev_info_t::tcpport, port);
    return 0;
}

int product_set_dat_server_info(const char *host, uint16_t port) {
    if (set_text("dathost", &orvi_dev_info_t::dathost, host, true) != 0) return -1;
    set_value(&orvi_dev_info_t::datport, port);
    return 0;
}

void product_set_resotre_status(bool restoring) {
    set_value(&orvi_dev_info_t::hostRestoreStatus, restoring);
}

// ---- Restart and backup settings.

namespace {
int32_t *restart_field(const char *key) {
    if (strcmp(key, "month") == 0) return &orvi_ins_info.restart_month;
    if (strcmp(key, "day") == 0) return &orvi_ins_info.restart_day;
    if (strcmp(key, "hour") == 0) return &orvi_ins_info.restart_hour;
    if (strcmp(key, "minutes") == 0) return &orvi_ins_info.restart_minutes;
    return nullptr;
}

int ins_get(int32_t app_ins_info_t::*f) {
    Lock lk(orvi_ins_info_mutex());
    return orvi_ins_info.*f;
}

void ins_set(int32_t app_ins_info_t::*f, int v) {
    Lock lk(orvi_ins_info_mutex());
    orvi_ins_info.*f = v;
}
}  // namespace

int product_set_restart_time(const char *key, int value) {
    if (!key) {
        ORVI_LOGW("key_string is null ");
        return -1;
    }
    Lock lk(orvi_ins_info_mutex());
    int32_t *f = restart_field(key);
    if (!f) {
        ORVI_LOGW("key_string is error type -->%s", key);
        return -1;
    }
    *f = value;
    return 0;
}

int product_get_restart_time_info(const char *key) {
    if (!key) {
        ORVI_LOGW("key_string is null");
        return -1;
    }
    Lock lk(orvi_ins_info_mutex());
    int32_t *f = restart_field(key);
    if (!f) {
        ORVI_LOGW("key_string is error type -->%s", key);
        return -1;
    }
    return *f;
}

void product_set_cloud_backup_sw(int sw) {
    ins_set(&app_ins_info_t::cloud_backup_sw, sw);
}
int product_get_cloud_backup_sw(void) {
    return ins_get(&app_ins_info_t::cloud_backup_sw);
}
void product_set_restart_sw(int sw) {
    ins_set(&app_ins_info_t::restart_timer_sw, sw);
}
int product_get_restart_sw(void) {
    return ins_get(&app_ins_info_t::restart_timer_sw);
}
void product_set_restart_interval(int interval) {
    ins_set(&app_ins_info_t::host_restart_interval, interval);
}
int product_get_restart_interval(void) {
    return ins_get(&app_ins_info_t::host_restart_interval);
}
void product_set_restore_download(int flag) {
    ins_set(&app_ins_info_t::restore_download, flag);
}
int product_get_restore_download(void) {
    return ins_get(&app_ins_info_t::restore_download);
}

int product_set_cloud_backup_timer(const char *text) {
    if (!text_fits("cloud_backup_time", text, sizeof orvi_ins_info.cloud_backup_time, true)) return -1;
    Lock lk(orvi_ins_info_mutex());
    orvi_field_set(orvi_ins_info.cloud_backup_time, text);
    return 0;
}

std::string product_get_cloud_backup_time(void) {
    Lock lk(orvi_ins_info_mutex());
    return std::string(orvi_field_view(orvi_ins_info.cloud_backup_time));
}

// ---- System time.

int product_set_systime(std::string &time_text, int zone_offset_hours) {
    struct tm tmv {};
    // Checked whole before anything runs: the text reaches a command line.
    if (!parse_time_text(time_text, tmv) || zone_offset_hours < -12 || zone_offset_hours > 14) {
        ORVI_LOGW("invalid time '%s' (zone %d), not set", printable(time_text).c_str(), zone_offset_hours);
        return -2;
    }
    time_t t = mktime(&tmv);
    if (t == static_cast<time_t>(-1)) {
        ORVI_LOGW("invalid time '%s', not set", time_text.c_str());
        return -2;
    }
    t += static_cast<time_t>(zone_offset_hours) * 3600;
    struct tm out {};
    localtime_r(&t, &out);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &out);
    time_text = text;
    ORVI_LOGW("systime -> %s", text);

    orvi_executeCommand_nonret("timedatectl set-ntp false");
    orvi_executeCommand_nonret("timedatectl set-time " + orvi_shell_quote(time_text));
    int rc = -1;
    const std::string status = orvi_executeCommand("timedatectl status");
    const std::string local = status_local_time(status);  // compared to the minute
    if (status.empty()) {
        ORVI_LOGW("f_timestatus file popen is fail!");
    } else if (local.size() >= 16 && local.compare(0, 16, time_text, 0, 16) == 0) {
        ORVI_LOGI("RTC time set success!");
        rc = 0;
    } else {
        ORVI_LOGW("RTC time set fail! time:%s", time_text.c_str());
    }
    orvi_executeCommand_nonret("timedatectl set-ntp true");
    return rc;
}

std::string product_get_systime(void) {
    std::string out = orvi_executeCommand("date \"+%Y-%m-%d %H:%M:%S\"");
    out = out.substr(0, out.find_first_of("\r\n"));
    if (out.size() > 19) out.resize(19);
    Lock lk(orvi_dev_info_mutex());
    orvi_field_set(orvi_dev_info.systime, out);
    return out;
}

int product_synctime_autoSync(void) {
    std::string out;
    orvi_run_opts o;
    o.out = &out;
    o.out_limit = 1024;
    o.timeout_ms = 60000;  // an unreachable server must not hold the caller
    int st = orvi_port_run_shell(std::string("ntpdate ") + ORVI_NTP_SERVER, o);
    if (st < 0) {
        ORVI_LOGW("popen failed!");
    } else if (out.empty()) {
        ORVI_LOGW("read failed!");
    } else if (out.find("offset") != std::string::npos) {
        ORVI_LOGI("the ntpdate success!");
        return 0;
    }
    ORVI_LOGW("the ntpdate failed!");
    return -1;
}

int product_systime_calibrate(int kind, const char *time_text) {
    {
        Lock lk(orvi_dev_info_mutex());
        if (orvi_dev_info.time_calibration == 2) {
            ORVI_LOGI("the system time is calibrated!");
            return 0;
        }
        if (orvi_dev_info.time_calibration == 1) {
            ORVI_LOGI("the system time is calibrating!");
            return -1;
        }
        orvi_dev_info.time_calibration = 1;
    }
    int rc = -1;
    if (kind == 0) {
        ORVI_LOGI("calibrate the system time by manual,time:%s", time_text ? time_text : "(null)");
        if (time_text && strnlen(time_text, 64) < 64) {
            std::string text(time_text);
            rc = product_set_systime(text, 0) == 0 ? 0 : -1;
        }
    } else if (kind == 1) {
        ORVI_LOGI("calibrate the system time by automatic");
        rc = product_synctime_autoSync();
    } else {
        ORVI_LOGW("unknown calibration kind %d", kind);
    }
    set_value(&orvi_dev_info_t::time_calibration, static_cast<uint8_t>(rc == 0 ? 2 : 0));
    if (rc == 0 && !g_calibration_reported.exchange(true)) {
        void (*listener)(void) = g_calibrated_listener.load();
        if (listener) listener();
    }
    return rc;
}

void product_set_time_calibrated_listener(void (*listener)(void)) {
    g_calibrated_listener.store(listener);
}

// ---- Tests only.
// Declared in tests/support/orvi_testing.h; the daemon never calls them.

void product_time_calibrated_reset_for_test(void) {
    g_calibration_reported.store(false);
}

void product_bind_window_reset_for_test(uint64_t ago_ms) {
    g_pairing_left_ms.store(ago_ms > 0 ? orvi_port_monotonic_ms() - ago_ms : 0);
}

void product_host_settings_reset_for_test(void) {
    Lock lk(orvi_dev_info_mutex());
    g_settings = host_settings_t{};
}
