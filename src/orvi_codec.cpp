// Codec plug-in bridge. See orvi_codec.h for why results go through a
// scratch buffer and why plug-ins are loaded locally.
#include "orvi_codec.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "orvi_base64.h"
#include "orvi_json.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_port.h"

// The loader serialises dlopen and dlclose with a lock of its own that the
// thread checker cannot see; taking ours around them costs nothing more and
// keeps the checker quiet. The plug-in itself runs outside it, so
// conversions on different threads still overlap.
orvi::Mutex orvi_codec_loader_mu;

namespace {
typedef int (*codec_entry_t)(const char *in, char *out);

struct dl_closer {
    void operator()(void *h) const {
        orvi::MutexLock lk(orvi_codec_loader_mu);
        dlclose(h);
    }
};
using dl_handle = std::unique_ptr<void, dl_closer>;

struct loaded_entry {
    dl_handle lib;
    void *sym = nullptr;
};

// Loads `path` and looks up `symbol`; logs the loader's error on failure.
loaded_entry load_entry(const std::string &path, const char *symbol) {
    loaded_entry e;
    orvi::MutexLock lk(orvi_codec_loader_mu);
    void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char *err = dlerror();
        ORVI_LOGW("%s", err ? err : "dlopen failed");
        return e;
    }
    e.lib.reset(h);
    dlerror();
    e.sym = dlsym(h, symbol);
    if (!e.sym) {
        const char *err = dlerror();
        ORVI_LOGW("%s", err ? err : "dlsym failed");
    }
    return e;
}

using json_ptr = orvi_json::json_ptr;

// A model id as it may be logged: cut, with anything unprintable replaced.
std::string loggable(const char *text) {
    std::string s(text, strnlen(text, 32));
    for (char &c : s)
        if (c < 0x20 || c > 0x7e) c = '?';
    return s;
}

std::string printf_string(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printf_string(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n) + 1);
        vsnprintf(out.data(), out.size(), fmt, ap2);
        out.resize(static_cast<size_t>(n));
    }
    va_end(ap2);
    return out;
}

// The text as it stands inside a JSON string: unchanged for Base64 and
// ordinary version texts, escaped for anything that could end the string.
std::string json_string_body(std::string_view text) {
    std::string s(text);
    json_ptr node(cJSON_CreateString(s.c_str()));
    if (!node) ORVI_NO_MEM(text.size());
    std::unique_ptr<char, decltype(&cJSON_free)> printed(cJSON_PrintUnformatted(node.get()), &cJSON_free);
    if (!printed) ORVI_NO_MEM(text.size());
    std::string quoted(printed.get());
    return quoted.size() >= 2 ? quoted.substr(1, quoted.size() - 2) : std::string();
}

int codec_call(const char *mid, const char *symbol, const char *in, char *out, size_t out_size) {
    if (!mid || !in || !out || out_size == 0) {
        ORVI_LOGW("mid or input or output of %s is illegal", symbol);
        return -1;
    }
    if (!orvi_codec_mid_valid(mid)) {
        ORVI_LOGW("model id '%s' cannot name a plug-in, %s refused", loggable(mid).c_str(), symbol);
        return -1;
    }
    std::string path = orvi_path(printf_string("%slib%s.so", ORVI_CODEC_LIB_DIR, mid));
    ORVI_LOGI("use %s", path.c_str());
    loaded_entry entry = load_entry(path, symbol);
    if (!entry.sym) return -1;  // `entry` unloads the library
    codec_entry_t fn = reinterpret_cast<codec_entry_t>(entry.sym);

    size_t capacity = std::min<size_t>(out_size, ORVI_CODEC_OUT_MAX);
    std::vector<char> scratch(capacity + ORVI_CODEC_SCRATCH_SLACK, 0);
    int n = fn(in, scratch.data());
    if (n < 0) return n;
    // A length result ends the text at n; a zero result (success of a
    // sub-subdevice conversion) leaves the text at its own terminator.
    size_t len = n > 0 ? static_cast<size_t>(n) : strnlen(scratch.data(), scratch.size());
    if (len >= capacity) {
        ORVI_LOGW("'%s' %s result %d (%zu characters) does not fit %zu bytes, refused", mid, symbol, n, len,
                  capacity);
        return -1;
    }
    std::memcpy(out, scratch.data(), len);
    out[len] = '\0';
    return n;
}

// What a command conversion needs from the record, read under its lock.
struct cmd_source {
    std::string mac;
    std::string mid;
    std::string ver;
    std::string binParam;  // text of the template, empty without one
    size_t binParam_size = 0;
    size_t binCmd_size = 0;  // 0 without a buffer
};

cmd_source read_source(const orvi_subdev_ptr &dev) {
    return orvi_subdev_locked(dev, [](orvi_subdev_list_t &r) {
        cmd_source s;
        s.mac = r.mac;
        s.mid.assign(r.mid, strnlen(r.mid, sizeof r.mid));
        s.ver.assign(r.ver, strnlen(r.ver, sizeof r.ver));
        if (!r.binParam.empty())
            s.binParam.assign(r.binParam.data(), strnlen(r.binParam.data(), r.binParam.size()));
        s.binParam_size = r.binParam.size();
        s.binCmd_size = r.binCmd ? r.binCmd->size() : 0;
        return s;
    });
}

// Builds the plug-in's command input; false (logged) when the record cannot
// be commanded through its codec.
bool build_cmd_input(const char *json_cmd, const cmd_source &src, std::string &cmdbuf) {
    std::string enCmd;
    size_t cmd_size = strlen(json_cmd);
    Base64Encode(reinterpret_cast<const uint8_t *>(json_cmd), enCmd, cmd_size);
    ORVI_LOGD("cmd_size -> %zu; enCmdLen -> %zu", cmd_size, enCmd.size());
    if (src.binParam.empty()) {
        ORVI_LOGW("'%s' binParam is NULL, Unable to control!", src.mac.c_str());
        return false;
    }
    json_ptr tmpl(cJSON_ParseWithLength(src.binParam.data(), src.binParam.size()));
    const cJSON *b64 = cJSON_GetObjectItemCaseSensitive(tmpl.get(), "base64Param");
    if (!cJSON_IsString(b64)) {
        ORVI_LOGW("'%s' binParam has no base64Param, Unable to control!", src.mac.c_str());
        return false;
    }
    cmdbuf = printf_string("{\"requestParam\":\"%s\",\"binParam\":\"%s\", \"ver\":\"%s\"}", enCmd.c_str(),
                           json_string_body(b64->valuestring).c_str(), json_string_body(src.ver).c_str());
    ORVI_LOGI("cmdbuf -> %s", cmdbuf.c_str());
    return true;
}

// The conversion shared by both command functions: 0 with the text in
// `buffer`, or -1 (logged).
int convert_cmd(const char *json_cmd, const cmd_source &src, char *buffer, size_t bufsize) {
    std::string cmdbuf;
    if (!build_cmd_input(json_cmd, src, cmdbuf)) return -1;
    int n = json_to_hex(src.mid.c_str(), cmdbuf.c_str(), buffer, bufsize);
    if (n < 0) {
        ORVI_LOGW("[%d]json_to_hex is fail!", n);
        return -1;
    }
    return 0;
}
}  // namespace

bool orvi_codec_mid_valid(const char *mid) {
    if (!mid) return false;
    size_t n = strnlen(mid, ORVI_CODEC_MID_MAX + 1);
    if (n == 0 || n > ORVI_CODEC_MID_MAX) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = mid[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '-';
        if (!ok) return false;
    }
    return true;
}

int hex_to_json(const char *mid, const char *in, char *out, size_t out_size) {
    return codec_call(mid, "hex_to_json", in, out, out_size);
}

int json_to_hex(const char *mid, const char *in, char *out, size_t out_size) {
    return codec_call(mid, "json_to_hex", in, out, out_size);
}

std::string orvi_codec_status_input(std::string_view base64) {
    return printf_string("{\"base64Param\":\"%s\",\"originLength\":%d}", json_string_body(base64).c_str(),
                         static_cast<int>(base64.size()));
}

int orvi_json_to_hex_to_buffer(const char *json_cmd, const orvi_subdev_ptr &dev, char *buffer, int bufsize) {
    if (!json_cmd || !dev || !buffer || bufsize <= 0) {
        ORVI_LOGW("json_cmd or dev_list or buffer or bufsize is illegal");
        return -1;
    }
    if (convert_cmd(json_cmd, read_source(dev), buffer, static_cast<size_t>(bufsize)) != 0) return -1;
    ORVI_LOGI("[%d]json_to_hex output -> %s", static_cast<int>(strlen(buffer)), buffer);
    return 0;
}

int orvi_json_to_hex_handle(const char *json_cmd, const orvi_subdev_ptr &dev) {
    if (!json_cmd || !dev) {
        ORVI_LOGW("json_cmd or dev_list is illegal");
        return -1;
    }
    cmd_source src = read_source(dev);
    // Made at 4 x the template's size on first use; grown, never shrunk.
    size_t size = std::max(4 * src.binParam_size, src.binCmd_size);
    // Converted into a buffer of our own, then swapped in: a sender still
    // holding the previous buffer keeps reading a whole, unchanged command.
    auto buf = std::make_shared<std::vector<char>>(std::max<size_t>(size, 1), 0);
    if (convert_cmd(json_cmd, src, buf->data(), buf->size()) != 0) return -1;
    orvi_subdev_locked(dev, [&](orvi_subdev_list_t &r) {
        if (!r.binCmd)
            ORVI_LOGI("'%s' applied for memory of binCmd for the first time,size:%d", r.mac,
                      static_cast<int>(buf->size()));
        r.binCmd = buf;
    });
    ORVI_LOGI("[%d]subdev_info->binCmd -> %s", static_cast<int>(strlen(buf->data())), buf->data());
    return 0;
}
