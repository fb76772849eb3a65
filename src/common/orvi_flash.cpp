// The configuration store. Every save reads the whole object, changes one
// key, stamps "ts" and replaces the file atomically; the backups are then
// replaced atomically from the file just written, and only when it parses.
// One lock around load, save, erase and backup keeps concurrent savers from
// losing each other's change.
#include "orvi_flash.h"

#include <cJSON.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <ctime>
#include <memory>

#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_system.h"
#include "orvi_utils.h"

// The file and its backups: one reader or writer at a time.
orvi::Mutex orvi_store_mu;

namespace {
struct JsonDelete {
    void operator()(cJSON *p) const { cJSON_Delete(p); }
};
using Json = std::unique_ptr<cJSON, JsonDelete>;

// The store is small; anything much larger than the limit is not ours.
constexpr size_t kReadLimit = 64 * 1024;
// Where the text of a damaged file is kept before it is replaced.
const char kDamagedCopy[] = ORVI_DATA_DIR ORVI_PARAMS_FILE_NAME ".bad";

// Identity's credential generation, run after a factory reset clears the store.
std::atomic<int (*)(void)> g_credentials_reset{nullptr};


// Backup `i` (0..9 in the data directory, 10 in /usr/local/etc).
std::string backup_board_path(int i) {
    if (i < ORVI_PARAMS_BK_COUNT)
        return std::string(ORVI_DATA_DIR ORVI_PARAMS_BK_PREFIX "_") + std::to_string(i);
    return ORVI_ETC_DIR ORVI_PARAMS_ETC_BK_NAME;
}

// A JSON object, or null. Other JSON values ("1", "[]") are not a store.
// The store's text as its log lines show it: the secrets it holds (home and
// network keys, broker, Redis and Wi-Fi passwords) masked, so a log handed
// to a field engineer carries none of them. Text that does not parse is
// named by its length only.
std::string text_for_log(const std::string &text) {
    static const char *const kSecrets[] = {"homeKey", "randomkey", "Qnetkey", "mqttPsw", "redisPsw", "wifiPsw"};
    cJSON *doc = cJSON_ParseWithLength(text.data(), text.size());
    if (!cJSON_IsObject(doc)) {
        cJSON_Delete(doc);
        return "(" + std::to_string(text.size()) + " bytes that do not parse)";
    }
    for (const char *key : kSecrets) {
        cJSON *v = cJSON_GetObjectItemCaseSensitive(doc, key);
        if (cJSON_IsString(v) && v->valuestring[0] != '\0')
            cJSON_ReplaceItemInObjectCaseSensitive(doc, key, cJSON_CreateString("******"));
    }
    char *printed = cJSON_Print(doc);
    cJSON_Delete(doc);
    std::string out = printed ? printed : "";
    cJSON_free(printed);
    return out;
}

Json parse_object(const std::string &text) {
    Json doc(cJSON_ParseWithLength(text.data(), text.size()));
    if (!cJSON_IsObject(doc.get())) doc.reset();
    return doc;
}

Json new_store(void) {
    Json doc(cJSON_CreateObject());
    if (!doc || !cJSON_AddStringToObject(doc.get(), "t", "params")) ORVI_NO_MEM(sizeof(cJSON));
    return doc;
}

bool mtime_of(const std::string &host_path, struct timespec &ts) {
    struct stat st {};
    if (::stat(host_path.c_str(), &st) != 0) return false;
    ts = st.st_mtim;
    return true;
}

// Keeps the text of a damaged file for a field engineer before it is replaced.
void keep_damaged_copy(const std::string &text) {
    if (!text.empty() && orvi_port_write_atomic(orvi_path(kDamagedCopy), text))
        ORVI_LOGW("damaged %s kept as %s", ORVI_PARAMS_FILE, kDamagedCopy);
}

// Replaces the file by the newest good backup. Caller holds the store lock.
bool restore_from_backup_locked(void) REQUIRES(orvi_store_mu) {
    std::string bk;
    if (get_backup_right_file_name(bk) != 0) return false;
    std::string text;
    if (!orvi_port_read(orvi_path(bk), text, ORVI_PARAMS_FILE_MAX) || !parse_object(text)) return false;
    std::string cmd = "cp  " + bk + " " + ORVI_PARAMS_FILE;
    ORVI_LOGI("%s", cmd.c_str());
    if (!orvi_port_write_atomic(orvi_path(ORVI_PARAMS_FILE), text)) {
        ORVI_LOGW("%s failed", cmd.c_str());
        return false;
    }
    return true;
}

// Copies the file to the eleven backups, each replaced atomically, but only
// when the file as it now stands on disk parses. Caller holds the store lock.
int backup_locked(void) REQUIRES(orvi_store_mu) {
    std::string text;
    if (!orvi_port_read(orvi_path(ORVI_PARAMS_FILE), text, ORVI_PARAMS_FILE_MAX + 1) ||
        text.size() > ORVI_PARAMS_FILE_MAX || !parse_object(text)) {
        ORVI_LOGW("%s does not read back as JSON, backups left as they are", ORVI_PARAMS_FILE);
        return -1;
    }
    int rc = 0;
    for (int i = 0; i <= ORVI_PARAMS_BK_COUNT; ++i) {
        std::string bk = backup_board_path(i);
        if (!orvi_port_write_atomic(orvi_path(bk), text)) {
            ORVI_LOGW("backup %s write fail!", bk.c_str());
            rc = -1;
        }
    }
    return rc;
}

// The store object a save starts from. A missing, empty or damaged file is
// first replaced by the newest good backup (once); with none, a new object
// holding "t" starts. Null only when the file exists but cannot be read.
Json current_store_locked(const char *key) REQUIRES(orvi_store_mu) {
    const std::string path = orvi_path(ORVI_PARAMS_FILE);
    bool restored = false;
    for (;;) {
        if (orvi_port_file_size(path) <= 0) {
            ORVI_LOGW("Non-legitimate file, possibly corrupted or first-time use");
            if (!restored && restore_from_backup_locked()) {
                restored = true;
                continue;
            }
            ORVI_LOGI("first-time use the parameter file");
            return new_store();
        }
        std::string text;
        if (!orvi_port_read(path, text, kReadLimit) || text.empty()) {
            ORVI_LOGW("%s key read is fail form %s", key, ORVI_PARAMS_FILE_NAME);
            return nullptr;
        }
        ORVI_LOGI("read file text:%s", text_for_log(text).c_str());
        Json doc = parse_object(text);
        if (doc) return doc;
        // Never start over while a good backup holds the identity.
        ORVI_LOGW("the orvi_config file haven't json data:%s", text_for_log(text).c_str());
        keep_damaged_copy(text);
        if (!restored && restore_from_backup_locked()) {
            restored = true;
            continue;
        }
        ORVI_LOGW("no good backup of %s, starting a new one", ORVI_PARAMS_FILE);
        return new_store();
    }
}

// Prints and writes the object, then backs it up. Caller holds the store lock.
int write_store_locked(const cJSON *doc, const char *key) REQUIRES(orvi_store_mu) {
    char *printed = cJSON_Print(doc);
    if (!printed) ORVI_NO_MEM(ORVI_PARAMS_FILE_MAX);
    std::string text(printed);
    cJSON_free(printed);
    // Readers take the file in one 2,048-byte piece; a longer file would
    // read as damaged and cost every key.
    if (text.size() > ORVI_PARAMS_FILE_MAX) {
        ORVI_LOGW("%s key save is refused: %s would be %zu bytes (limit %d)", key, ORVI_PARAMS_FILE_NAME,
                  text.size(), ORVI_PARAMS_FILE_MAX);
        return -1;
    }
    if (!orvi_port_write_atomic(orvi_path(ORVI_PARAMS_FILE), text)) {
        ORVI_LOGW("%s key save is fail!", key);
        return -1;
    }
    ORVI_LOGI("%s file write content:%s", ORVI_PARAMS_FILE, text_for_log(text).c_str());
    backup_locked();
    return 0;
}

// Parses the file and finds the key, logging why not. Caller holds the lock.
const cJSON *find_item_locked(const char *key, Json &doc) REQUIRES(orvi_store_mu) {
    std::string text;
    if (!orvi_port_read(orvi_path(ORVI_PARAMS_FILE), text, kReadLimit) || text.empty()) {
        ORVI_LOGW("%s key read is fail from %s", key, ORVI_PARAMS_FILE);
        return nullptr;
    }
    doc = parse_object(text);
    if (!doc) {
        ORVI_LOGW("the orvi_config file haven't json data:%s", text.c_str());
        return nullptr;
    }
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(doc.get(), key);
    if (!item) ORVI_LOGW("%s key is not exist in %s", key, ORVI_PARAMS_FILE);
    return item;
}

// A JSON number as a whole integer, when it is one that fits.
bool json_integer(const cJSON *item, long long &out) {
    double d = item->valuedouble;
    if (!std::isfinite(d) || d < -9.2e18 || d > 9.2e18) return false;
    out = static_cast<long long>(d);
    return true;
}

// Stores `v` into `width` bytes at `dest`; false when it does not fit.
bool store_integer(void *dest, size_t width, long long v) {
    switch (width) {
        case 1:
            if (v < INT8_MIN || v > UINT8_MAX) return false;
            *static_cast<uint8_t *>(dest) = static_cast<uint8_t>(v);
            return true;
        case 2:
            if (v < INT16_MIN || v > UINT16_MAX) return false;
            *static_cast<uint16_t *>(dest) = static_cast<uint16_t>(v);
            return true;
        case 4:
            if (v < INT32_MIN || v > static_cast<long long>(UINT32_MAX)) return false;
            *static_cast<uint32_t *>(dest) = static_cast<uint32_t>(v);
            return true;
        case 8:
            *static_cast<int64_t *>(dest) = static_cast<int64_t>(v);
            return true;
        default:
            return false;
    }
}

bool read_integer(const void *src, size_t width, long long &v) {
    switch (width) {
        case 1:
            v = *static_cast<const uint8_t *>(src);
            return true;
        case 2:
            v = *static_cast<const uint16_t *>(src);
            return true;
        case 4:
            v = *static_cast<const int32_t *>(src);
            return true;
        case 8:
            v = *static_cast<const int64_t *>(src);
            return true;
        default:
            return false;
    }
}

// Left behind by a save cut short (power cut, kill): "<name>.tmp.<pid>.<n>".
void remove_stale_temporaries(const char *board_dir) {
    static const char *const kOurs[] = {ORVI_PARAMS_FILE_NAME, ORVI_PARAMS_BK_PREFIX "_",
                                        ORVI_PARAMS_ETC_BK_NAME, ORVI_MAC_FILE_NAME};
    std::string dir = orvi_path(board_dir);
    DIR *d = ::opendir(dir.c_str());
    if (!d) return;
    while (const struct dirent *de = ::readdir(d)) {
        std::string_view name(de->d_name);
        if (name.find(".tmp.") == std::string_view::npos) continue;
        for (const char *ours : kOurs) {
            if (name.compare(0, strlen(ours), ours) == 0) {
                ::unlink((dir + de->d_name).c_str());
                ORVI_LOGI("removed leftover %s%s", board_dir, de->d_name);
                break;
            }
        }
    }
    ::closedir(d);
}

void run_logged(const std::string &cmd) {
    ORVI_LOGI("system(%s)", cmd.c_str());
    orvi_executeCommand_nonret(cmd);
}

std::string quoted(const char *board_path) {
    return orvi_shell_quote(orvi_path(board_path));
}

// Keeps the copy of a valid identifier current.
void keep_identifier_copy(const std::string &id) {
    std::string copy;
    if (orvi_port_read(orvi_path(ORVI_MAC_FILE_BK), copy, 64) && copy == id) return;
    if (!orvi_port_write_atomic(orvi_path(ORVI_MAC_FILE_BK), id))
        ORVI_LOGW("%s write fail!", ORVI_MAC_FILE_BK);
    else
        ORVI_LOGI("host identifier copy kept in %s", ORVI_MAC_FILE_BK);
}
}  // namespace

// ---- JSON check and backup choice.

int configure_file_json_type_verify(const char *path) {
    if (!path) return -1;
    const std::string p = orvi_path(path);
    long long size = orvi_port_file_size(p);
    if (size < 0) return -1;
    if (size == 0) {
        ORVI_LOGW("the file %s size is zero", path);
        return -1;
    }
    std::string text;
    if (!orvi_port_read(p, text, ORVI_PARAMS_FILE_MAX)) return -1;
    if (text.empty()) {
        ORVI_LOGW("the file %s haven't context!", path);
        return -1;
    }
    if (!parse_object(text)) {
        ORVI_LOGW("the file %s context is illegal:%s", path, text.c_str());
        return -1;
    }
    return 0;
}

int get_backup_right_file_name(std::string &board_path) {
    board_path.clear();
    int cnt = count_files_in_directory(ORVI_DATA_DIR, ORVI_PARAMS_BK_PREFIX);
    ORVI_LOGI("%s have %d files,pre %s", ORVI_DATA_DIR, cnt, ORVI_PARAMS_BK_PREFIX);
    if (cnt <= 0) ORVI_LOGW("bk_file_cnt is 0");
    // A save cut short leaves some backups newer than others; all good ones
    // are whole, the newest holds the latest state.
    int best = -1;
    struct timespec best_ts {};
    for (int i = 0; i <= ORVI_PARAMS_BK_COUNT; ++i) {
        std::string bk = backup_board_path(i);
        const bool etc = i == ORVI_PARAMS_BK_COUNT;
        struct timespec ts {};
        if (!mtime_of(orvi_path(bk), ts)) {
            if (etc) ORVI_LOGW("%s isn't exist", bk.c_str());
            continue;
        }
        if (configure_file_json_type_verify(bk.c_str()) != 0) {
            if (etc) ORVI_LOGW("%s isn't json type", bk.c_str());
            continue;
        }
        if (etc) ORVI_LOGI("get %s", bk.c_str());
        if (best < 0 || ts.tv_sec > best_ts.tv_sec ||
            (ts.tv_sec == best_ts.tv_sec && ts.tv_nsec > best_ts.tv_nsec)) {
            best = i;
            best_ts = ts;
        }
    }
    if (best < 0) {
        ORVI_LOGW("comfirm failed");
        return -1;
    }
    board_path = backup_board_path(best);
    ORVI_LOGI("the file %s is right!", board_path.c_str());
    return 0;
}

// ---- Load, save, erase, backup.

int orvi_info_load(const char *key, void *dest, size_t width, param_type_t type) {
    if (!key || !dest || width == 0) {
        ORVI_LOGW("key or value is NULL!");
        return -1;
    }
    orvi::MutexLock lk(orvi_store_mu);
    Json doc;
    const cJSON *item = find_item_locked(key, doc);
    if (!item) return -1;
    if (type == TYPE_STRING && cJSON_IsString(item) && item->valuestring) {
        const char *s = item->valuestring;
        size_t n = strnlen(s, width - 1);
        std::memcpy(dest, s, n);
        std::memset(static_cast<char *>(dest) + n, 0, width - n);
        return 0;
    }
    if (type == TYPE_NUMBER && cJSON_IsNumber(item)) {
        long long v = 0;
        if (!json_integer(item, v) || !store_integer(dest, width, v)) {
            ORVI_LOGW("%s value %g does not fit %zu bytes", key, item->valuedouble, width);
            return -1;
        }
        return 0;
    }
    return 0;  // another JSON type: destination unchanged
}

int orvi_info_load_text(const char *key, std::string &out) {
    if (!key) {
        ORVI_LOGW("key or value is NULL!");
        return -1;
    }
    orvi::MutexLock lk(orvi_store_mu);
    Json doc;
    const cJSON *item = find_item_locked(key, doc);
    if (!item) return -1;
    if (!cJSON_IsString(item) || !item->valuestring) {
        ORVI_LOGW("%s key is not a string in %s", key, ORVI_PARAMS_FILE);
        return -1;
    }
    out = item->valuestring;
    return 0;
}

int orvi_info_load_number(const char *key, long long &out) {
    if (!key) {
        ORVI_LOGW("key or value is NULL!");
        return -1;
    }
    orvi::MutexLock lk(orvi_store_mu);
    Json doc;
    const cJSON *item = find_item_locked(key, doc);
    if (!item) return -1;
    if (!cJSON_IsNumber(item) || !json_integer(item, out)) {
        ORVI_LOGW("%s key is not a number in %s", key, ORVI_PARAMS_FILE);
        return -1;
    }
    return 0;
}

int orvi_info_save(const char *key, const void *value, size_t width, param_type_t type) {
    if (!key || !value) {
        ORVI_LOGW("key or value is NULL!");
        return -1;
    }
    long long number = 0;
    std::string text;
    if (type == TYPE_NUMBER) {
        if (!read_integer(value, width, number)) {
            ORVI_LOGW("%s: a number of %zu bytes is not supported", key, width);
            return -1;
        }
    } else if (type == TYPE_STRING) {
        text.assign(static_cast<const char *>(value), strnlen(static_cast<const char *>(value), width));
    } else {
        ORVI_LOGW("%s: value type %d is not supported", key, static_cast<int>(type));
        return -1;
    }

    orvi::MutexLock lk(orvi_store_mu);
    Json doc = current_store_locked(key);
    if (!doc) return -1;
    cJSON *root = doc.get();
    cJSON *old = cJSON_GetObjectItemCaseSensitive(root, key);
    const bool same_number =
        type == TYPE_NUMBER && cJSON_IsNumber(old) && old->valuedouble == static_cast<double>(number);
    if (!same_number) {
        cJSON *item = type == TYPE_NUMBER ? cJSON_CreateNumber(static_cast<double>(number))
                                          : cJSON_CreateString(text.c_str());
        if (!item) ORVI_NO_MEM(text.size() + sizeof(cJSON));
        if (old)
            cJSON_ReplaceItemInObjectCaseSensitive(root, key, item);  // names the new item
        else
            cJSON_AddItemToObject(root, key, item);
    }
    cJSON *ts = cJSON_CreateNumber(static_cast<double>(time(nullptr)));
    if (!ts) ORVI_NO_MEM(sizeof(cJSON));
    if (cJSON_GetObjectItemCaseSensitive(root, "ts"))
        cJSON_ReplaceItemInObjectCaseSensitive(root, "ts", ts);
    else
        cJSON_AddItemToObject(root, "ts", ts);
    return write_store_locked(root, key);
}

int orvi_info_erase(const char *key) {
    if (!key) {
        ORVI_LOGW("key is NULL!");
        return -1;
    }
    orvi::MutexLock lk(orvi_store_mu);
    const std::string path = orvi_path(ORVI_PARAMS_FILE);
    if (!orvi_port_exists(path)) {
        ORVI_LOGW("%s is not exist!", ORVI_PARAMS_FILE);
        return -1;
    }
    std::string text;
    if (!orvi_port_read(path, text, kReadLimit) || text.empty()) {
        ORVI_LOGW("%s key read is fail form %s", key, ORVI_PARAMS_FILE_NAME);
        return -1;
    }
    Json doc = parse_object(text);
    if (!doc) {
        ORVI_LOGW("the orvi_config file haven't json data:%s", text.c_str());
        return -1;
    }
    cJSON *item = cJSON_DetachItemFromObjectCaseSensitive(doc.get(), key);
    if (!item) {
        ORVI_LOGW("%s key is not exist in %s", key, ORVI_PARAMS_FILE);
        return 0;
    }
    cJSON_Delete(item);
    // The backups follow, so a later restore cannot bring the key back.
    return write_store_locked(doc.get(), key);
}

int orvi_info_backup(void) {
    orvi::MutexLock lk(orvi_store_mu);
    return backup_locked();
}

int orvi_info_clear(void) {
    {
        orvi::MutexLock lk(orvi_store_mu);
        run_logged("rm -r " + quoted(ORVI_DATA_DIR ORVI_PARAMS_FILE_NAME));
        run_logged("rm -r " + quoted(ORVI_DATA_DIR ORVI_PARAMS_BK_PREFIX) + "*");
        // The kept text of a damaged file holds the old keys too.
        if (orvi_port_exists(orvi_path(kDamagedCopy))) run_logged("rm -r " + quoted(kDamagedCopy));
        run_logged("rm -r " + quoted(ORVI_ETC_DIR ORVI_PARAMS_ETC_BK_NAME));
        run_logged("rm -r " + quoted(ORVI_DATA_DIR "configStatus_") + "*");
        run_logged("rm -r " + quoted("/home/root/restore") + "/*");
        run_logged("rm -r " + quoted("/home/root/backup") + "/*");
        run_logged("rm -r " + quoted(ORVI_DATA_DIR "temp") + "/*");
        run_logged("systemctl stop mosquitto");
        run_logged("systemctl stop redis");
        run_logged("rm -r " + quoted(ORVI_DATA_DIR "host.rdb"));
        run_logged("rm -r " + quoted(ORVI_DATA_DIR "appendonlydir") + "/*");
        run_logged("rm -r " + quoted(ORVI_DATA_DIR "mosquitto.db"));
        run_logged("rm -r " + quoted("/data/domivault/configs") + "/*");
    }
    int (*regenerate)(void) = g_credentials_reset.load();
    if (!regenerate) {
        ORVI_LOGW("no credential generator is set, the cleared store gets no credentials");
        return -1;
    }
    return regenerate();
}

void orvi_info_set_credentials_reset(int (*regenerate)(void)) {
    g_credentials_reset.store(regenerate);
}

// ---- Start-up checks.

bool orvi_host_id_valid(const std::string &text) {
    if (text.size() != 16) return false;
    for (size_t i = 0; i < 16; ++i) {
        char c = text[i];
        bool ok = i < 12 ? ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) : (c >= '0' && c <= '9');
        if (!ok) return false;
    }
    return true;
}

int orvi_mac_file_verify(void) {
    if (!orvi_port_exists(orvi_path(ORVI_DATA_DIR))) {
        ORVI_LOGW("haven't %s file,create now!", ORVI_DATA_DIR);
        create_directories(ORVI_DATA_DIR);
    }
    const std::string path = orvi_path(ORVI_MAC_FILE);
    std::string current;
    const bool present = orvi_port_read(path, current, 64);
    if (present && orvi_host_id_valid(current)) {
        keep_identifier_copy(current);
        return 0;
    }
    // Present but empty or cut: a power cut during an older write. Never
    // reboot over it: restore the copy, or make a new identifier.
    if (present) ORVI_LOGW("%s is damaged (%zu bytes), repairing it", ORVI_MAC_FILE, current.size());

    std::string mac;
    uint8_t mac_bytes[6];
    const bool mac_ok = orvi_eth_mac_read(mac, mac_bytes) == 0;
    std::string copy;
    const bool copy_ok = orvi_port_read(orvi_path(ORVI_MAC_FILE_BK), copy, 64) && orvi_host_id_valid(copy);
    // The copy is only trusted for this board: a data partition moved to
    // another board must not clone the old board's identity.
    if (copy_ok && (!mac_ok || copy.compare(0, 12, mac) == 0)) {
        if (!orvi_port_write_atomic(path, copy)) {
            ORVI_LOGW("save mac file failed!!!!!!!!!!!!!!!!!!");
            return -1;
        }
        ORVI_LOGW("%s restored from %s, the host mac is %s", ORVI_MAC_FILE, ORVI_MAC_FILE_BK, copy.c_str());
        return 0;
    }
    if (copy_ok) ORVI_LOGW("%s holds %s of another board, not used", ORVI_MAC_FILE_BK, copy.c_str());
    if (!mac_ok) {
        ORVI_LOGW("get mac  failed!!!!!!!!!!!!!!!!!!");
        return -1;
    }
    uint32_t r = orvi_random_uniform(10000);
    ORVI_LOGI("random_key %d", static_cast<int>(r));
    char id[32];
    int len = snprintf(id, sizeof id, "%s%04" PRIu32, mac.c_str(), r);
    if (len != 16) {
        ORVI_LOGW("create host mac failed!!!the length is %d", len);
        return -1;
    }
    if (!orvi_port_write_atomic(path, std::string_view(id, 16))) {
        ORVI_LOGW("save mac file failed!!!!!!!!!!!!!!!!!!");
        return -1;
    }
    if (present)
        ORVI_LOGW("HOST IDENTITY CHANGED: %s could not be recovered, the new host mac is %s", ORVI_MAC_FILE,
                  id);
    ORVI_LOGI("create mac file successfully,the  host mac is %s", id);
    keep_identifier_copy(id);
    return 0;
}

int orvi_params_config_file_comfirm(void) {
    orvi::MutexLock lk(orvi_store_mu);
    remove_stale_temporaries(ORVI_DATA_DIR);
    remove_stale_temporaries(ORVI_ETC_DIR);
    const std::string path = orvi_path(ORVI_PARAMS_FILE);
    if (!orvi_port_exists(path)) {
        // Missing while a backup exists (deleted by hand, lost by the file
        // system): the backup holds the identity, so bring it back.
        if (restore_from_backup_locked()) return 0;
        if (!orvi_port_write_atomic(path, "")) {
            ORVI_LOGW("%s open fail!", ORVI_PARAMS_FILE);
            return -1;
        }
        return 0;
    }
    const char *reason = nullptr;
    if (orvi_port_file_size(path) == 0)
        reason = "fStat.st_size == 0";
    else if (::access(path.c_str(), R_OK | W_OK) != 0)
        reason = "(access(path, R_OK |W_OK) == ORVI_FAIL)";
    else if (configure_file_json_type_verify(ORVI_PARAMS_FILE) != 0)
        reason = "It's not json type";
    if (!reason) return 0;
    ORVI_LOGW("'%s' file is error ,cover it by backup file!", ORVI_PARAMS_FILE);
    ORVI_LOGW("%s", reason);
    std::string text;
    if (orvi_port_read(path, text, kReadLimit)) keep_damaged_copy(text);
    if (restore_from_backup_locked()) return 0;
    // Empty with no backup is a first start: the first save fills it.
    return text.empty() ? 0 : -1;
}

int orvi_flash_init(void) {
    int failures = 0;
    while (orvi_mac_file_verify() != 0) {
        ORVI_LOGW("orvi_mac_file_verify() failed,reboot");
        orvi_port_sleep_ms(3000);
        if (++failures % 5 == 0) orvi_executeCommand_nonret("reboot");
    }
    return orvi_params_config_file_comfirm();
}

// ---- Plain text files.

int save_file(const char *path, const std::string &text) {
    if (!path) return -1;
    if (!orvi_port_write_atomic(orvi_path(path), text)) {
        ORVI_LOGW("%s open fail!", path);
        return -1;
    }
    return 0;
}

std::string read_file(const char *path) {
    std::string text;
    if (!path || !orvi_port_read(orvi_path(path), text)) text.clear();
    return text;
}
