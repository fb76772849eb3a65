// The lighting events: bodies built here, envelopes and the transport those
// of the event publishers.
#include "tovra_event.h"

#include <cJSON.h>

#include <cstring>
#include <string>
#include <vector>

#include "event_publish.h"
#include "event_publish_core.h"
#include "orvi_aes.h"
#include "orvi_codec.h"
#include "orvi_field.h"
#include "orvi_json.h"
#include "orvi_log.h"
#include "orvi_product.h"
#include "orvi_seam.h"
#include "product_subdev.h"

namespace {

using evpub::envelope;
using orvi_json::json_ptr;

// Room for a codec's status text (a record's status document).
constexpr size_t kCodecOutMax = ORVI_SUBDEV_DATA_SIZE;

std::atomic<tovra_event_codec_t> g_codec{nullptr};
// The scene-lock value last sent (or held back).
std::atomic<int> g_scene_lock{0};

void nb_false_whole(int) {
    ORVI_NOT_BUILT("tovra_false_whole_device_query");
}
void nb_false_kind(uint32_t, int, int) {
    ORVI_NOT_BUILT("tovra_false_kind_device_query");
}
const tovra_event_hooks_t kHooksNotBuilt = {nb_false_whole, nb_false_kind};
orvi_seam<tovra_event_hooks_t> g_hooks(&kHooksNotBuilt);

cJSON *new_object() {
    cJSON *o = cJSON_CreateObject();
    if (!o) ORVI_NO_MEM(sizeof(cJSON));
    return o;
}

// Logs the text a function publishes under its name.
void log_sent(const char *func, const cJSON *body) {
    if (orvi_set_log.load(std::memory_order_relaxed) < ORVI_LOG_DEBUG) return;
    ORVI_LOGD("[TOVRA][%s]%s\n\r", func, orvi_json::print(body).c_str());
}

// Payload (host MAC, sub, mid) around `plain`, package (host MAC, 0).
int send_host_event(const char *func, const char *topic, cJSON *plain, const std::string &sub = "",
                    const std::string &mid = "") {
    log_sent(func, plain);
    envelope env;
    env.topic = topic;
    return evpub::send_payload(env, product_get_host_mac_str(), sub, mid, plain);
}

std::string lower_hex(const uint8_t *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s.push_back(digits[p[i] >> 4]);
        s.push_back(digits[p[i] & 0x0F]);
    }
    return s;
}

// The body sealed with the home key, in a package of `mac` (i 2), on
// "/jsonStatus/<home MAC>/<mac>".
int send_status(const std::string &mac, cJSON *body_owned) {
    json_ptr body(body_owned);
    envelope env;
    env.topic = evpub::topic3("/jsonStatus", product_get_mac_str(), mac, "device MAC");
    if (env.topic.empty()) return -1;
    env.cid = mac;
    env.i = 2;
    std::string text = orvi_json::print(body.get());
    ORVI_LOGD("[TOVRA][tovra_host_status_event_send]%s\n\r", text.c_str());
    if (text.empty() || orvi_aes_encrypt(product_get_home_key().c_str(), text) != 0) {
        ORVI_LOGW("[TOVRA]tovra_status is error!\n\r");
        return -1;
    }
    return evpub::send_text(env, text);
}

// The key number (1 to 4) of a multi-key switch column name, 0 for others.
int key_of(const cJSON *name) {
    static const char *const kKeys[] = {"Sw1", "Sw2", "Sw3", "Sw4"};
    if (!cJSON_IsString(name)) return 0;
    for (int k = 0; k < 4; ++k)
        if (strcmp(name->valuestring, kKeys[k]) == 0) return k + 1;
    return 0;
}

bool is_multi_key(const char *mid) {
    return strcmp(mid, "80401") == 0 || strcmp(mid, "70721") == 0 || strcmp(mid, "70726") == 0;
}

// Sets `name` to `item` (taken), replacing what the codec may have put there.
void put(cJSON *obj, const char *name, cJSON *item) {
    if (!item) ORVI_NO_MEM(sizeof(cJSON));
    cJSON_DeleteItemFromObjectCaseSensitive(obj, name);
    cJSON_AddItemToObject(obj, name, item);
}

cJSON *copy_array(const cJSON *a) {
    cJSON *c = cJSON_IsArray(a) ? cJSON_Duplicate(a, 1) : cJSON_CreateArray();
    if (!c) ORVI_NO_MEM(sizeof(cJSON));
    return c;
}

int send_scene_answer(const char *func, const char *topic, const host_tovra_devcie_info_t *info, const char *reqId,
                      int r, bool bare_300) {
    if (!info) {
        ORVI_LOGW("[TOVRA][%s]no device\n\r", func);
        return -1;
    }
    cJSON *plain = new_object();
    if (!(bare_300 && r == 300)) cJSON_AddStringToObject(plain, "reqId", reqId ? reqId : "");
    cJSON_AddNumberToObject(plain, "r", r);
    return send_host_event(func, topic, plain, std::string(orvi_field_view(info->mac)),
                           std::string(orvi_field_view(info->mid)));
}

}  // namespace

std::string tovra_get_host_mac(void) {
    const std::string mac = product_get_host_mac_str();
    ORVI_LOGI("[TOVRA]get host mac : %s\n\r", mac.c_str());
    return mac;
}

std::string tovra_get_home_mac(void) {
    const std::string mac = product_get_mac_str();
    ORVI_LOGI("[TOVRA]get home mac : %s\n\r", mac.c_str());
    return mac;
}

int tovra_online_event_send(const std::vector<host_tovra_devcie_info_t> &rows) {
    if (rows.empty()) return -1;
    json_ptr online(cJSON_CreateArray()), offline(cJSON_CreateArray());
    if (!online || !offline) ORVI_NO_MEM(sizeof(cJSON));
    const std::vector<orvi_subdev_ptr> all = product_subdev_list_snapshot();
    for (const host_tovra_devcie_info_t &row : rows) {
        const std::string_view prefix = orvi_field_view(row.mac);
        // A row without its whole MAC would claim every device.
        if (prefix.size() != sizeof(row.mac) - 1) continue;
        for (const orvi_subdev_ptr &dev : all) {
            const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
            const std::string_view mac = orvi_field_view(f.mac);
            if (f.dev_type != DEV_TYPE_TOVRA || mac.substr(0, prefix.size()) != prefix) continue;
            cJSON_AddItemToArray(row.online == 1 ? online.get() : offline.get(),
                                 cJSON_CreateString(std::string(mac).c_str()));
        }
    }
    cJSON *plain = new_object();
    cJSON_AddStringToObject(plain, "t", "connect");
    cJSON_AddItemToObject(plain, "onlineSub", online.release());
    cJSON_AddItemToObject(plain, "offlineSub", offline.release());
    return send_host_event(__func__, "/online", plain);
}

int tovra_host_status_event_send(const host_tovra_devcie_info_t *info, const uint8_t *record, size_t length,
                                 int kind) {
    if (!info || !record || length == 0) {
        ORVI_LOGW("[TOVRA][%s]no device or no record\n\r", __func__);
        return -1;
    }
    const std::string mac(orvi_field_view(info->mac));
    const std::string mid(orvi_field_view(info->mid));
    json_ptr input(new_object());
    cJSON_AddStringToObject(input.get(), "t", "bin");
    cJSON_AddStringToObject(input.get(), "mac", mac.c_str());
    cJSON_AddStringToObject(input.get(), "atcmd", "AT+MDATA");
    cJSON_AddStringToObject(input.get(), "bin", lower_hex(record, length).c_str());
    const std::string in = orvi_json::print(input.get());

    std::vector<char> out(kCodecOutMax, '\0');
    tovra_event_codec_t codec = g_codec.load();
    const int n = (codec ? codec : hex_to_json)(mid.c_str(), in.c_str(), out.data(), out.size());
    json_ptr status(n >= 1 ? cJSON_Parse(out.data()) : nullptr);
    if (!cJSON_IsObject(status.get())) {
        ORVI_LOGW("[TOVRA]%s status of model %s not decoded (%d)\n\r", mac.c_str(), mid.c_str(), n);
        return -1;
    }
    cJSON_DeleteItemFromObjectCaseSensitive(status.get(), "t");
    cJSON_AddStringToObject(status.get(), "t", "dat");
    const std::string data = orvi_json::print(status.get());
    ORVI_LOGD("[TOVRA]device %s status (kind %d): %s\n\r", mac.c_str(), kind, data.c_str());
    const orvi_subdev_ptr dev = product_get_subdev_form_host(mac.c_str());
    if (!dev || product_subdev_set_data(dev, data) != 0)
        ORVI_LOGW("[TOVRA]%s status not stored in the registry\n\r", mac.c_str());

    const cJSON *opt = cJSON_GetObjectItemCaseSensitive(status.get(), "opt");
    const cJSON *p = cJSON_GetObjectItemCaseSensitive(status.get(), "p");
    if (!is_multi_key(mid.c_str())) {
        cJSON *body = cJSON_Duplicate(status.get(), 1);
        if (!body) ORVI_NO_MEM(sizeof(cJSON));
        put(body, "cols", copy_array(opt));
        put(body, "dat", copy_array(p));
        put(body, "mid", cJSON_CreateString(mid.c_str()));
        put(body, "mac", cJSON_CreateString(mac.c_str()));
        put(body, "r", cJSON_CreateNumber(200));
        return send_status(mac, body);
    }

    int keys = 0;
    const cJSON *name = nullptr;
    cJSON_ArrayForEach(name, opt) {
        if (key_of(name)) ++keys;
    }
    int rc = -1;
    cJSON_ArrayForEach(name, opt) {
        const int key = key_of(name);
        if (!key) break;
        char key_mac[sizeof(info->mac) + 2];
        snprintf(key_mac, sizeof key_mac, "%s%02d", mac.c_str(), key - 1);
        cJSON *body = new_object();
        cJSON_AddStringToObject(body, "t", "dat");
        cJSON *cols = copy_array(opt);
        cJSON_AddItemToArray(cols, cJSON_CreateString("num"));
        cJSON_AddItemToArray(cols, cJSON_CreateString("currentIndex"));
        cJSON_AddItemToObject(body, "cols", cols);
        cJSON *dat = copy_array(p);
        cJSON_AddItemToArray(dat, cJSON_CreateNumber(keys));
        cJSON_AddItemToArray(dat, cJSON_CreateNumber(key));
        cJSON_AddItemToObject(body, "dat", dat);
        cJSON_AddStringToObject(body, "mid", mid.c_str());
        cJSON_AddStringToObject(body, "mac", key_mac);
        cJSON_AddNumberToObject(body, "r", 200);
        rc = send_status(key_mac, body);
        if (rc != 0) break;
    }
    return rc;
}

int tovra_pair_send(int state) {
    json_ptr opt(cJSON_CreateArray()), p(cJSON_CreateArray());
    if (!opt || !p) ORVI_NO_MEM(sizeof(cJSON));
    if (state == 0 || state == 1) {
        cJSON_AddItemToArray(opt.get(), cJSON_CreateString("pair"));
        cJSON_AddItemToArray(p.get(), cJSON_CreateString(state == 1 ? "success" : "fail"));
    } else {
        ORVI_LOGW("[TOVRA]Pair number is error!");
    }
    cJSON *plain = new_object();
    cJSON_AddItemToObject(plain, "opt", opt.release());
    cJSON_AddItemToObject(plain, "p", p.release());
    return send_host_event(__func__, "/tovra/pair", plain);
}

int tovra_scene_lock_send(int lock_one, int lock_two) {
    const int last = g_scene_lock.exchange(lock_one);
    if (lock_one == last || lock_one != 0 || lock_two != 0) {
        ORVI_LOGD("[TOVRA]SCENE_LOCK is lock!");
        return -1;
    }
    cJSON *plain = new_object();
    cJSON *cols = cJSON_AddArrayToObject(plain, "cols");
    cJSON *dat = cJSON_AddArrayToObject(plain, "dat");
    cJSON_AddItemToArray(cols, cJSON_CreateString("scenelock"));
    cJSON_AddItemToArray(dat, cJSON_CreateNumber(0));
    return send_host_event(__func__, "/parameter", plain);
}

int tovra_scene_lock3_send(std::atomic<int> &flag) {
    int expected = 1;
    if (!flag.compare_exchange_strong(expected, 0)) {
        ORVI_LOGD("[TOVRA]SCENE_LOCK is lock!");
        return -1;
    }
    cJSON *plain = new_object();
    cJSON *cols = cJSON_AddArrayToObject(plain, "cols");
    cJSON *dat = cJSON_AddArrayToObject(plain, "dat");
    cJSON_AddItemToArray(cols, cJSON_CreateString("scenelock3"));
    cJSON_AddItemToArray(dat, cJSON_CreateNumber(1));
    return send_host_event(__func__, "/scene/lock3", plain);
}

int tovra_trivox_sceneid_send(uint32_t id) {
    cJSON *plain = new_object();
    cJSON_AddNumberToObject(plain, "linksceneid", id);
    return send_host_event(__func__, "/trivox/scenebroadcast", plain);
}

int tovra_trivox2_sceneid_send(uint32_t id) {
    cJSON *plain = new_object();
    cJSON_AddNumberToObject(plain, "linksceneid", id);
    const int rc = send_host_event(__func__, "/trivox2/scenebroadcast", plain);
    // The scene's devices changed without reporting yet: their expected
    // status goes out now. Bytes of the 24-bit id from the low one: byte 1
    // the device class, byte 2 the room.
    const uint32_t scene = id & 0xFFFFFF;
    const int dev_class = static_cast<int>((scene >> 8) & 0xFF);
    const int room = static_cast<int>((scene >> 16) & 0xFF);
    if (scene == 1) {
        g_hooks.get(&tovra_event_hooks_t::false_whole_device_query)(1);
    } else if (scene == 2) {
        g_hooks.get(&tovra_event_hooks_t::false_whole_device_query)(0);
    } else if (dev_class == 3 || dev_class == 7) {
        g_hooks.get(&tovra_event_hooks_t::false_kind_device_query)(id, room, dev_class);
    }
    return rc;
}

int tovra_scene_set_status_event_send(const host_tovra_devcie_info_t *info, const char *reqId, int r) {
    return send_scene_answer(__func__, "scene/resp", info, reqId, r, false);
}

int tovra_scene_bind_status_event_send(const host_tovra_devcie_info_t *info, const char *reqId, int r) {
    return send_scene_answer(__func__, "scene/bind/resp", info, reqId, r, true);
}

int tovra_scene_unbind_status_event_send(const host_tovra_devcie_info_t *info, const char *reqId, int r) {
    return send_scene_answer(__func__, "scene/unbind/resp", info, reqId, r, false);
}

void tovra_event_set_hooks(const tovra_event_hooks_t *hooks) {
    g_hooks.install(hooks);
}

void tovra_event_set_codec(tovra_event_codec_t codec) {
    g_codec.store(codec);
}

void tovra_event_reset_for_test(void) {
    g_scene_lock.store(0);
}
