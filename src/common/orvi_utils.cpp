// Utilities. Shell commands go through the one command runner with every
// path quoted; file work that needs no tool is done in-process.
#include "orvi_utils.h"

#include <dirent.h>
#include <openssl/evp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_system.h"

namespace {
const char kKeyCharset[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
const char kStringCharset[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr size_t kCharsetSize = 62;

void fill_random(void *buf, size_t n) {
    if (orvi_port_random_bytes(buf, n)) return;
    // getrandom only fails on kernels without it; random_device still reads
    // the kernel's pool there.
    ORVI_LOGW("getrandom failed (%s), using random_device", strerror(errno));
    std::random_device rd;
    auto *p = static_cast<unsigned char *>(buf);
    for (size_t i = 0; i < n; ++i)
        p[i] = static_cast<unsigned char>(rd());
}

// `length` characters of `charset`, each byte accepted only below the
// largest multiple of 62 so every character is equally likely.
void random_chars(char *dest, size_t length, const char *charset) {
    constexpr unsigned kLimit = 256 - 256 % kCharsetSize;  // 248
    unsigned char pool[64];
    size_t used = sizeof pool, i = 0;
    while (i < length) {
        if (used == sizeof pool) {
            fill_random(pool, sizeof pool);
            used = 0;
        }
        unsigned char b = pool[used++];
        if (b < kLimit) dest[i++] = charset[b % kCharsetSize];
    }
}

std::string md5_hex(std::string_view text, const char *digits) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(text.data(), text.size(), md, &len, EVP_md5(), nullptr) != 1) return "";
    std::string out;
    out.reserve(len * 2);
    for (unsigned i = 0; i < len; ++i) {
        out.push_back(digits[md[i] >> 4]);
        out.push_back(digits[md[i] & 0x0f]);
    }
    return out;
}

bool is_regular(const std::string &dir, const struct dirent *de) {
    if (de->d_type == DT_REG) return true;
    if (de->d_type != DT_UNKNOWN) return false;
    struct stat st {};
    return ::stat((dir + "/" + de->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Names of the regular files of a host directory, sorted; false when it cannot be opened.
bool list_regular_files(const std::string &dir, std::vector<std::string> &names) {
    DIR *d = ::opendir(dir.c_str());
    if (!d) return false;
    while (const struct dirent *de = ::readdir(d)) {
        if (is_regular(dir, de)) names.emplace_back(de->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return true;
}

// The first complete top-level object of `s`: [begin, end). Braces inside
// string literals (with their escapes) are not counted, so a device name
// holding "}" does not cut a packet in two.
bool find_json_object(std::string_view s, size_t &begin, size_t &end) {
    size_t start = s.find('{');
    if (start == std::string_view::npos) return false;
    int depth = 0;
    bool in_str = false, esc = false;
    for (size_t i = start; i < s.size(); ++i) {
        char c = s[i];
        if (in_str) {
            if (esc)
                esc = false;
            else if (c == '\\')
                esc = true;
            else if (c == '"')
                in_str = false;
            continue;
        }
        if (c == '"') {
            in_str = true;
        } else if (c == '{') {
            ++depth;
        } else if (c == '}' && --depth == 0) {
            begin = start;
            end = i + 1;
            return true;
        }
    }
    return false;
}

// Sign and digits of a decimal integer text without leading zeros; false
// when the text is not one.
bool decimal_parts(const char *s, bool &negative, std::string_view &digits) {
    std::string_view v(s);
    negative = false;
    if (!v.empty() && (v[0] == '-' || v[0] == '+')) {
        negative = v[0] == '-';
        v.remove_prefix(1);
    }
    if (v.empty()) return false;
    for (char c : v) {
        if (c < '0' || c > '9') return false;
    }
    size_t nz = v.find_first_not_of('0');
    digits = nz == std::string_view::npos ? std::string_view() : v.substr(nz);
    if (digits.empty()) negative = false;  // "-0" is 0
    return true;
}
}  // namespace

uint32_t orvi_random_32(void) {
    uint32_t v = 0;
    fill_random(&v, sizeof v);
    return v;
}

uint32_t orvi_random_uniform(uint32_t bound) {
    if (bound == 0) return 0;
    // Values at or above the largest multiple of `bound` would favour the
    // small results; draw again instead.
    const uint32_t limit = UINT32_MAX - UINT32_MAX % bound;
    uint32_t v;
    do {
        v = orvi_random_32();
    } while (v >= limit);
    return v % bound;
}

int generate_random_string(char *dest, size_t length) {
    if (!dest) return -2;
    random_chars(dest, length, kStringCharset);
    dest[length] = '\0';
    return 0;
}

std::string generate_random_string(size_t length) {
    std::string s(length, '\0');
    random_chars(&s[0], length, kStringCharset);
    return s;
}

int random_key_create(char *dest, size_t length) {
    if (!dest) return -2;
    random_chars(dest, length, kKeyCharset);
    return 0;
}

int orvi_file_read(const char *path, std::string &out) {
    out.clear();
    if (!path) return -1;
    if (!orvi_port_read(orvi_path(path), out)) {
        ORVI_LOGW("%s open failed!", path);
        return -1;
    }
    return out.empty() ? 0 : 1;
}

int file_create(const char *path) {
    if (!path) return -1;
    std::string p = orvi_path(path);
    if (orvi_port_exists(p)) return 0;
    orvi_executeCommand_nonret("mkdir " + orvi_shell_quote(p));
    if (!orvi_port_exists(p)) {
        orvi_plain_write("[%s]%s create fail!\n", __func__, path);
        return -1;
    }
    return 0;
}

int create_directory(const char *path) {
    if (!path) return -1;
    std::string p = orvi_path(path);
    if (::mkdir(p.c_str(), 0755) == 0 || errno == EEXIST) return 0;
    ORVI_LOGW("mkdir %s failed: %s", path, strerror(errno));
    return -1;
}

int create_directories(const char *path) {
    if (!path || !*path) return -1;
    std::string p = orvi_path(path);
    for (size_t pos = p.find('/', 1);; pos = p.find('/', pos + 1)) {
        std::string part = p.substr(0, pos);
        if (!part.empty() && ::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            ORVI_LOGW("mkdir %s failed: %s", part.c_str(), strerror(errno));
            return -1;
        }
        if (pos == std::string::npos) break;
    }
    return 0;
}

int file_counters(const char *dir, const char *filter) {
    if (!dir || !filter) return 0;
    std::string cmd =
        "ls " + orvi_shell_quote(orvi_path(dir)) + " | grep -F -- " + orvi_shell_quote(filter) + " | wc -l";
    std::string out = orvi_executeCommand(cmd);
    int count = atoi(out.c_str());
    while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
        out.pop_back();
    ORVI_LOGI("cmd:%s,output:%s,count:%d", cmd.c_str(), out.c_str(), count);
    return count;
}

int count_files_in_directory(const char *dir, const char *filter) {
    if (!dir) return -1;
    std::vector<std::string> names;
    if (!list_regular_files(orvi_path(dir), names)) return -1;
    const char *f = filter ? filter : "";
    return static_cast<int>(
        std::count_if(names.begin(), names.end(), [f](const std::string &n) { return n.find(f) != n.npos; }));
}

int fileName_extract_in_direction(const char *dir, std::vector<std::string> &names, size_t capacity,
                                  const char *feature) {
    if (!dir || !feature) return -1;
    std::vector<std::string> files;
    if (!list_regular_files(orvi_path(dir), files)) {
        ORVI_LOGW("%s open failed!", dir);
        return -1;
    }
    std::string prefix(dir);
    if (prefix.empty() || prefix.back() != '/') prefix.push_back('/');
    int added = 0;
    for (const auto &name : files) {
        if (name.find(feature) == std::string::npos) {
            orvi_plain_write("%s file suffix is not .tar.gz\n", name.c_str());
            continue;
        }
        if (names.size() >= capacity) {
            ORVI_LOGW("fileBuffer space is too small !!! breaking out !!!");
            break;
        }
        names.push_back(prefix + name);
        ++added;
    }
    return added;
}

std::string md5_to_hex_string(std::string_view text) {
    return md5_hex(text, "0123456789ABCDEF");
}
std::string md5_to_hex_string_small(std::string_view text) {
    return md5_hex(text, "0123456789abcdef");
}

std::string md5_compute_file_string(const char *path) {
    std::string text;
    if (!path || !orvi_port_read(orvi_path(path), text)) return "";
    return md5_to_hex_string(std::string_view(text.c_str()));  // up to the first zero byte
}

int file_md5sum_get(const char *path, std::string &out) {
    out.clear();
    if (!path) return -1;
    std::string res =
        orvi_executeCommand("md5sum " + orvi_shell_quote(orvi_path(path)) + " | awk '{print $1}'");
    if (res.size() < 32 || std::any_of(res.begin(), res.begin() + 32, [](char c) { return !isxdigit(c); })) {
        ORVI_LOGW("md5sum of %s failed", path);
        return -1;
    }
    out = res.substr(0, 32);
    return 0;
}

int orvi_file_md5_verify(const char *checksum_file) {
    if (!checksum_file) return -1;
    std::string out = orvi_executeCommand("md5sum -c " + orvi_shell_quote(orvi_path(checksum_file)));
    // Every checked file must say OK: a bare search for "OK" would also pass
    // a failed file whose name happens to contain those letters.
    bool pass = false;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t nl = out.find('\n', pos);
        std::string_view line(out.data() + pos, (nl == std::string::npos ? out.size() : nl) - pos);
        pos = nl == std::string::npos ? out.size() : nl + 1;
        if (line.empty()) continue;
        if (line.size() < 4 || line.substr(line.size() - 4) != ": OK") {
            pass = false;
            break;
        }
        pass = true;
    }
    if (pass) {
        ORVI_LOGI("%s modify pass", checksum_file);
        return 0;
    }
    ORVI_LOGW("%s modify failed", checksum_file);
    return -1;
}

int version_extract_in_string(const char *text, std::string &out, const char *suffix) {
    out.clear();
    if (!text || !suffix) return -1;
    std::string_view s(text);
    size_t v = s.find('V');
    size_t end = v == std::string_view::npos ? v : s.find(suffix, v + 1);
    if (v == std::string_view::npos || end == std::string_view::npos) {
        ORVI_LOGW("Have not V or suffix,source:%s", text);
        return -1;
    }
    if (end == v + 1) {
        ORVI_LOGW("version extract fail ,source:%s", text);
        return -1;
    }
    out.assign(s.substr(v + 1, end - v - 1));
    ORVI_LOGI("version extract is %s", out.c_str());
    return 0;
}

int extract_time_info(const char *text, int *month, int *day, int *hour, int *minute) {
    if (!text || !month || !day || !hour || !minute) return -1;
    return sscanf(text, "%d月%d日%d时%d分", month, day, hour, minute) == 4 ? 0 : -1;
}

int compare_numeric_strings(const char *a, const char *b) {
    if (!a || !b) return -2;
    bool na = false, nb = false;
    std::string_view da, db;
    if (!decimal_parts(a, na, da) || !decimal_parts(b, nb, db)) {
        ORVI_LOGW("not a decimal number: '%s' / '%s'", a, b);
        return -2;
    }
    if (na != nb) return na ? -1 : 1;
    int mag = da.size() != db.size() ? (da.size() < db.size() ? -1 : 1) : (da < db ? -1 : (da > db ? 1 : 0));
    return na ? -mag : mag;
}

int path_extraction(const char *full_path, std::string &out) {
    out.clear();
    if (!full_path) return -1;
    std::string_view s(full_path);
    size_t slash = s.rfind('/');
    out = slash == std::string_view::npos ? std::string("./") : std::string(s.substr(0, slash + 1));
    return 0;
}

int array_contains_string(const cJSON *array, const char *text) {
    if (!cJSON_IsArray(array) || !text) return -1;
    int i = 0;
    for (const cJSON *it = array->child; it; it = it->next, ++i) {
        if (cJSON_IsString(it) && it->valuestring && strcmp(it->valuestring, text) == 0) return i;
    }
    return -1;
}

std::string string_char_filter(std::string_view src, char c) {
    std::string out;
    out.reserve(src.size());
    for (char ch : src) {
        if (ch != c) out.push_back(ch);
    }
    return out;
}

int get_json_item_iter_str(const char **cursor, std::string &out) {
    out.clear();
    if (!cursor || !*cursor) return -1;
    std::string_view s(*cursor);
    size_t begin = 0, end = 0;
    if (!find_json_object(s, begin, end)) return -1;
    out.assign(s.substr(begin, end - begin));
    *cursor += end;
    return 0;
}

const char *orvi_json_package_get(const char *src, char *dest, size_t capacity) {
    if (!src || !dest || capacity == 0) {
        orvi_plain_write("[%s]parameter illegal\n", __func__);
        return nullptr;
    }
    std::string_view s(src);
    if (s.size() < 2) {
        orvi_plain_write("[%s]source date length is deficincy\n", __func__);
        return nullptr;
    }
    size_t begin = 0, end = 0;
    if (!find_json_object(s, begin, end)) {
        orvi_plain_write("[%s]haven't total json package!\n", __func__);
        return nullptr;
    }
    size_t len = end - begin;
    if (len + 1 > capacity) {
        orvi_plain_write("[%s]dest buffer is deficincy\n", __func__);
        return nullptr;
    }
    std::memcpy(dest, src + begin, len);
    dest[len] = '\0';
    return src + end;
}

std::string orvi_local_time_text(void) {
    const time_t t = time(nullptr) + 28800;
    struct tm tmv {};
    localtime_r(&t, &tmv);
    char buf[32];
    strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tmv);
    return buf;
}
