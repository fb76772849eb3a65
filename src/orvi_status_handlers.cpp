// Status reports and queries: the binary, JSON and full JSON status reports
// of the subdevices, the app's and the cloud's status queries, the status
// fan-out with the gang sync of multi-gang switches, the cloud status upload
// and the scene tag extras of cloud answers.
//
// A status document only ever replaces the last one whole and only when it
// fits the record's buffer; a report that cannot be decoded or stored
// leaves the last good status in place.
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "event_publish.h"
#include "orvi_bincmd.h"
#include "orvi_codec.h"
#include "orvi_handlers.h"
#include "orvi_host_event.h"
#include "orvi_log.h"
#include "orvi_utils.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_status_handlers.h"
#include "orvi_status_util.h"
#include "orvi_subdev_ctrl.h"
#include "orvi_system.h"
#include "orvi_timer.h"

using namespace orvi_status;

namespace {

std::atomic<bool> g_upload_running{false};
// The running worker's pause, set by whoever started it.
std::atomic<unsigned> g_upload_pause_ms{ORVI_UPLOAD_PAUSE_MS};

bool type_in_range(dev_type_t t) {
    return t >= DEV_TYPE_CAN && t <= DEV_TYPE_MJGATEWAY;
}

// Stores `text` as the record's status document; false (logged, last status
// kept) when it does not fit the record's buffer.
bool store_status(const orvi_subdev_ptr &dev, std::string_view text) {
    if (product_subdev_set_data(dev, text) == 0) return true;
    ORVI_LOGW("'%s' status of %zu bytes does not fit the %d-byte status buffer, last status kept", dev->mac,
              text.size(), ORVI_SUBDEV_DATA_SIZE);
    return false;
}

// Decodes a Base64 binary status into the record's status document through
// its model's codec. True when a new document was stored.
bool binstatus_decode(const orvi_subdev_ptr &dev, const char *b64) {
    const std::string param = orvi_codec_status_input(b64);
    const std::string mid = orvi_subdev_locked(dev, [&](orvi_subdev_list_t &d) {
        if (d.binParam.empty()) ORVI_LOGI("'%s' applied for memory of binParam for the first time", d.mac);
        d.binParam.assign(param.c_str(), param.c_str() + param.size() + 1);
        return std::string(orvi_field_view(d.mid));
    });
    std::vector<char> out(ORVI_SUBDEV_DATA_SIZE, '\0');
    const int n = hex_to_json(mid.c_str(), param.c_str(), out.data(), out.size());
    // The codec only reports a result that fits `out` with its terminator; a
    // result 0 is a text that ends at its own terminator.
    const size_t len = n > 0 ? static_cast<size_t>(n) : strnlen(out.data(), out.size());
    if (n < 0 || len == 0) {
        ORVI_LOGW("hex_to_json is fail!");
        return false;
    }
    const std::string_view doc(out.data(), len);
    if (!store_status(dev, doc)) return false;
    ORVI_LOGI("[%d]dev_list->data -> %.*s", static_cast<int>(len), static_cast<int>(len), out.data());
    return true;
}

// The default scene step after a decoded binary status: only a UDP or
// central-controller device whose scene flag is set is sent its default
// scene (the control step clears the flag).
void default_scene_step(const orvi_subdev_ptr &dev) {
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
    if ((f.dev_type == DEV_TYPE_UDP || f.dev_type == DEV_TYPE_CENTCTRL) && f.scene == 1)
        orvi_udpdev_set_scene(dev, 1, 1, 1, nullptr, nullptr);
}

// ---- Status query -----------------------------------------------------------

int status_single(const cJSON *json, const char *mac, request_data_t *req, const orvi_subdev_ptr &dev) {
    if (strnlen(mac, sizeof(orvi_subdev_fields_t::mac)) >= sizeof(orvi_subdev_fields_t::mac)) {
        ORVI_LOGW("status query for a mac of 17 or more characters refused: '%.20s...'", mac);
        return -1;
    }
    const cJSON *cols = cJSON_GetObjectItemCaseSensitive(json, "cols");
    if (!cJSON_IsArray(cols)) {
        ORVI_LOGW("status packet have not 'cols' array!");
        return -1;
    }
    const std::string home = product_get_mac_str();
    const bool is_host = home == mac || product_get_host_mac_str() == mac;
    orvi_subdev_ptr rec = is_host ? nullptr : product_get_subdev_form_host(mac);
    if (!is_host && !rec) rec = dev;
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(rec);
    const orvi_subdev_fields_t sender = orvi_subdev_snapshot(dev);

    json_ptr out = make_object();
    std::string answer_mac = is_host ? home : mac_of(sender);
    if (answer_mac.empty()) answer_mac = mac;
    cJSON_AddStringToObject(out.get(), "mac", answer_mac.c_str());
    cJSON *ocols = cJSON_AddArrayToObject(out.get(), "cols");
    cJSON *odat = cJSON_AddArrayToObject(out.get(), "dat");
    const cJSON *c;
    cJSON_ArrayForEach(c, cols) {
        if (!cJSON_IsString(c)) continue;
        const std::string name = c->valuestring;
        cJSON *value = nullptr;
        if (name == "host") {
            value = cJSON_CreateString(product_get_dis_host().c_str());
        } else if (name == "ver") {
            value = cJSON_CreateString(is_host ? product_get_protocol_ver().c_str()
                                               : std::string(orvi_field_view(f.ver)).c_str());
        } else if (name == "hid") {
            const std::string hid = is_host ? product_get_hid() : std::string(orvi_field_view(f.hid));
            ORVI_LOGI("the %s hid is %s!", mac, hid.c_str());
            value = cJSON_CreateString(hid.c_str());
        } else if (name == "mid") {
            value = cJSON_CreateString(is_host ? product_get_mid_str().c_str()
                                               : std::string(orvi_field_view(f.mid)).c_str());
        } else if (name == "rssi") {
            if (is_host || f.dev_type != DEV_TYPE_UDP) {
                ORVI_LOGW("'%s' keeps no rssi, only UDP devices report one", mac);
                continue;
            }
            value = cJSON_CreateNumber(f.RSSI);
        } else if (name == "time") {
            value = cJSON_CreateString(orvi_local_time_text().c_str());
        } else if (name == "active") {
            value = cJSON_CreateNumber(product_get_active_status());
        } else {
            ORVI_LOGW("'%s' is illegal!", name.c_str());
            continue;
        }
        if (!value) ORVI_NO_MEM(sizeof(cJSON));
        cJSON_AddItemToArray(ocols, cJSON_CreateString(name.c_str()));
        cJSON_AddItemToArray(odat, value);
    }
    cJSON_AddStringToObject(out.get(), "t", "dat");
    cJSON_AddNumberToObject(out.get(), "r", 200);
    orvi_request_set_response(req, out.get(), AES_KEY_TYPE_RANDOM);
    return 0;
}

// One entry of a list query, or null (logged) when the device has none.
cJSON *status_list_entry(const cJSON *item) {
    if (!cJSON_IsObject(item)) {
        ORVI_LOGW("jlist_temp is not object type!");
        return nullptr;
    }
    const char *mac = str_of(item, "mac");
    const cJSON *cols = cJSON_GetObjectItemCaseSensitive(item, "cols");
    if (!mac || (cols && !cJSON_IsArray(cols))) {
        ORVI_LOGW("jlist_mac or jlist_cols is NULL!");
        return nullptr;
    }
    if (strnlen(mac, sizeof(orvi_subdev_fields_t::mac)) >= sizeof(orvi_subdev_fields_t::mac)) {
        ORVI_LOGW("a mac of 17 or more characters is no device: '%.20s...' skipped", mac);
        return nullptr;
    }
    const orvi_subdev_ptr rec = product_get_subdev_form_host(mac);
    if (!rec) {
        ORVI_LOGW("'%s' is not Unbind!", mac);
        return nullptr;
    }
    const std::string data = orvi_subdev_snapshot(rec).data;
    if (data.empty()) {
        ORVI_LOGW("'%s' json data is NULL, Unable to query status!", mac);
        return nullptr;
    }
    json_ptr doc(cJSON_Parse(data.c_str()));
    if (!doc) {
        ORVI_LOGW("jdata json is NULL!");
        return nullptr;
    }
    const cJSON *body = status_body(doc.get());
    json_ptr entry = make_object();
    cJSON_AddStringToObject(entry.get(), "mac", mac);
    if (cols) {
        json_ptr pairs = make_object();
        orvi_cjson_array_to_keypair(body, pairs.get());
        cJSON *ocols = cJSON_AddArrayToObject(entry.get(), "cols");
        cJSON *odat = cJSON_AddArrayToObject(entry.get(), "dat");
        const cJSON *c;
        cJSON_ArrayForEach(c, cols) {
            const cJSON *v =
                cJSON_IsString(c) ? cJSON_GetObjectItemCaseSensitive(pairs.get(), c->valuestring) : nullptr;
            if (!v) continue;  // a name the device does not report
            cJSON_AddItemToArray(ocols, cJSON_CreateString(c->valuestring));
            cJSON_AddItemToArray(odat, cJSON_Duplicate(v, 1));
        }
    } else {
        const cJSON *names = nullptr, *values = nullptr;
        if (!status_pairs(body, &names, &values)) {
            ORVI_LOGW("'%s' haven't cols and opt!", mac);
            return nullptr;
        }
        cJSON_AddItemToObject(entry.get(), "cols", cJSON_Duplicate(names, 1));
        cJSON_AddItemToObject(entry.get(), "dat", cJSON_Duplicate(values, 1));
    }
    return entry.release();
}

int status_list(const cJSON *list, request_data_t *req) {
    json_ptr out = make_object();
    cJSON_AddStringToObject(out.get(), "mac", product_get_mac_str().c_str());
    cJSON *entries = cJSON_AddArrayToObject(out.get(), "list");
    const cJSON *item;
    cJSON_ArrayForEach(item, list) {
        if (cJSON *e = status_list_entry(item)) cJSON_AddItemToArray(entries, e);
    }
    cJSON_AddStringToObject(out.get(), "t", "dat");
    cJSON_AddNumberToObject(out.get(), "r", cJSON_GetArraySize(entries) > 0 ? 200 : 500);
    orvi_request_set_response(req, out.get(), AES_KEY_TYPE_RANDOM);
    return 0;
}

// ---- Upload of every status ---------------------------------------------------

void *upload_all_worker(void *) {
    const std::string home = product_get_mac_str();
    for (const orvi_subdev_ptr &dev : product_subdev_list_snapshot()) {
        if (!dev) continue;
        const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
        if (f.online != 1 || f.dev_type == DEV_TYPE_MINIPRO || f.dev_type == DEV_TYPE_NONE ||
            mac_of(f) == home)
            continue;
        orvi_event_post_dev(ORVI_EVENT_JSONSTATUS_MQTT, dev);
        const unsigned pause = g_upload_pause_ms.load();
        if (pause) orvi_port_sleep_ms(pause);
    }
    ORVI_LOGI("executing done!");
    g_upload_running.store(false);
    return nullptr;
}

}  // namespace

// ---- Helpers ----------------------------------------------------------------

int orvi_cjson_array_to_keypair(const cJSON *status, cJSON *object) {
    if (!status || !cJSON_IsObject(object)) return -1;
    const cJSON *names = nullptr, *values = nullptr;
    if (!status_pairs(status_body(status), &names, &values)) return -1;
    int walked = 0;
    const cJSON *name;
    cJSON_ArrayForEach(name, names) {
        const cJSON *value = cJSON_GetArrayItem(values, walked++);
        if (!cJSON_IsString(name) || !value) continue;
        // The first value of a name counts, as a reader of the arrays sees it.
        if (cJSON_HasObjectItem(object, name->valuestring)) continue;
        cJSON_AddItemToObject(object, name->valuestring, cJSON_Duplicate(value, 1));
    }
    return walked;
}

int update_hid_from_dat(const orvi_subdev_ptr &dev) {
    if (!dev) return -1;
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
    const std::string mac = mac_of(f);
    if (f.data.empty()) {
        ORVI_LOGW("'%s' dev_list->data is NULL!", mac.c_str());
        return -1;
    }
    json_ptr doc(cJSON_Parse(f.data.c_str()));
    if (!doc) {
        ORVI_LOGW("json_raw_data is not a JSON!");
        return -1;
    }
    const cJSON *body = status_body(doc.get());
    if (body != doc.get()) ORVI_LOGI("it's jsonStatus package!");
    const cJSON *names = cJSON_GetObjectItemCaseSensitive(body, "opt");
    const cJSON *values = cJSON_GetObjectItemCaseSensitive(body, "p");
    if (!names) {
        names = cJSON_GetObjectItemCaseSensitive(body, "cols");
        values = cJSON_GetObjectItemCaseSensitive(body, "dat");
    }
    if (!cJSON_IsArray(names)) {
        ORVI_LOGW("opt_json and cols_json is NULL!");
        ORVI_LOGW("data is %s!", f.data.c_str());
        return -1;
    }
    if (!cJSON_IsArray(values)) {
        ORVI_LOGW("json_value is NULL");
        return -1;
    }
    if (cJSON_GetArraySize(names) <= 0) {
        ORVI_LOGW("size is less than 0");
        return -1;
    }
    int i = 0;
    const cJSON *name;
    cJSON_ArrayForEach(name, names) {
        const cJSON *value = cJSON_GetArrayItem(values, i++);
        if (!cJSON_IsString(name) || std::strcmp(name->valuestring, "hid") != 0) continue;
        if (!cJSON_IsString(value)) return 0;
        const char *hid = value->valuestring;
        if (orvi_field_view(f.hid) == hid) return 0;
        const bool stored =
            orvi_subdev_locked(dev, [hid](orvi_subdev_list_t &d) { return orvi_field_set(d.hid, hid); });
        if (!stored) {
            ORVI_LOGW("'%s' reports a hid of %zu characters, longer than the record holds, hid kept",
                      mac.c_str(), std::strlen(hid));
            return -1;
        }
        ORVI_LOGI("'%s' hid changes to %s", mac.c_str(), hid);
        event_pub_http_devinfo_publish(dev, 0);
        return 0;
    }
    return 0;
}

int tovra_switch_status_sync(const orvi_subdev_ptr &dev) {
    if (!dev) return -1;
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
    const std::string mac = mac_of(f);
    json_ptr doc(cJSON_Parse(f.data.c_str()));
    if (!doc) {
        ORVI_LOGW("dev_list -> data isn't json type");
        return -1;
    }
    const cJSON *opt = cJSON_GetObjectItemCaseSensitive(doc.get(), "opt");
    if (!cJSON_IsArray(opt)) {
        ORVI_LOGW("opt_josn is null");
        return -1;
    }
    if (cJSON_GetArraySize(opt) == 0) {
        ORVI_LOGW("opt size is 0");
        return -1;
    }
    if (mac.size() < 12) return -1;
    int synced = 0;
    const cJSON *o;
    cJSON_ArrayForEach(o, opt) {
        if (!cJSON_IsString(o)) continue;
        const char *n = o->valuestring;
        if (std::strncmp(n, "Sw", 2) != 0 || n[2] < '1' || n[2] > '4' || n[3] != '\0') continue;
        char sibling[32];
        snprintf(sibling, sizeof sibling, "%s0%d", mac.substr(0, 12).c_str(), n[2] - '1');
        const orvi_subdev_ptr rec = product_get_subdev_form_host(sibling);
        if (!rec || std::strcmp(rec->mac, sibling) != 0) {
            ORVI_LOGW("have no this device,mac is %s", sibling);
            continue;
        }
        if (rec != dev) {
            if (orvi_subdev_snapshot(rec).data.empty())
                ORVI_LOGI("'%s' applied for memory of data for the first time", sibling);
            if (!store_status(rec, f.data)) continue;
        }
        update_hid_from_dat(rec);
        ++synced;
    }
    return synced;
}

int orvi_jsonStatus_handle(const orvi_subdev_ptr &dev) {
    if (!dev) return -1;
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
    const dev_type_t t = f.dev_type;
    if (t == DEV_TYPE_PWRGATEWAY || t == DEV_TYPE_TOVRA)
        even_dev_ctrl_publish(dev, UDS_TYPE_CALCULATIONSTATUS);
    if (t == DEV_TYPE_TOVRA && orvi_field_len(f.mac) == 14) tovra_switch_status_sync(dev);
    if (t == DEV_TYPE_UDP || t == DEV_TYPE_PWRGATEWAY) even_dev_ctrl_publish(dev, UDS_TYPE_STATUS);
    if (t == DEV_TYPE_TOVRA || t == DEV_TYPE_CENTCTRL) update_hid_from_dat(dev);
    return 0;
}

int mqtt_upload_all_devices_status_thread(unsigned pause_ms) {
    bool idle = false;
    if (!g_upload_running.compare_exchange_strong(idle, true)) {
        ORVI_LOGW("the tid is exiting!!!return");
        return -1;
    }
    g_upload_pause_ms.store(pause_ms);
    pthread_t tid;
    if (orvi_pthread_create_detach(&tid, nullptr, upload_all_worker, nullptr, "mqtt_upload_all_status") !=
        0) {
        g_upload_running.store(false);
        return -1;
    }
    return 0;
}

cJSON *orvi_sceneTag_extras_res(const char *response) {
    json_ptr src(response ? cJSON_Parse(response) : nullptr);
    if (!cJSON_IsObject(src.get())) {
        ORVI_LOGW("src isn't cJSON_Object!");
        return nullptr;
    }
    const cJSON *opt = cJSON_GetObjectItemCaseSensitive(src.get(), "opt");
    const cJSON *p = cJSON_GetObjectItemCaseSensitive(src.get(), "p");
    if (!opt || !p) {
        ORVI_LOGW("json_opt or json_p is NULL!");
        return nullptr;
    }
    if (!cJSON_IsArray(opt) || !cJSON_IsArray(p)) {
        ORVI_LOGW("json_opt or json_p isn't ARRAY!");
        return nullptr;
    }
    if (cJSON_GetArraySize(opt) <= 0) {
        ORVI_LOGW("array error!");
        return nullptr;
    }
    bool scene_tag = false;
    const cJSON *o;
    cJSON_ArrayForEach(o, opt) {
        if (cJSON_IsString(o) && std::strcmp(o->valuestring, "SceneTag") == 0) scene_tag = true;
    }
    if (!scene_tag) return nullptr;
    const std::string home = product_get_mac_str();
    json_ptr extras = make_object();
    cJSON_AddNumberToObject(extras.get(), "dev", 1);
    cJSON *offline = cJSON_AddArrayToObject(extras.get(), "offline");
    for (const orvi_subdev_ptr &dev : product_subdev_list_snapshot()) {
        if (!dev) continue;
        const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
        const dev_type_t t = f.dev_type;
        if (t == DEV_TYPE_MINIPRO || t == DEV_TYPE_NONE || t == DEV_TYPE_HOST || f.online == 1) continue;
        const std::string mac = mac_of(f);
        // Wi-Fi appliances are known to the cloud by their own MAC; every
        // other device by its MAC within this home.
        const bool own =
            t == DEV_TYPE_UDP || t == DEV_TYPE_PWRGATEWAY || t == DEV_TYPE_GATEWAY || t == DEV_TYPE_WIFI;
        const std::string id = own ? mac : mac + "@" + home;
        cJSON_AddItemToArray(offline, cJSON_CreateString(id.c_str()));
    }
    return extras.release();
}

// ---- Handlers -------------------------------------------------------------------

ORVI_HANDLER(request_handle_status) {
    const char *mac = str_of(json, "mac");
    if (!mac) mac = str_of(json, "sub");
    if (mac) return status_single(json, mac, req, dev);
    const cJSON *list = cJSON_GetObjectItemCaseSensitive(json, "list");
    if (!list) {
        ORVI_LOGW("pack packet have not 't' key!");
        return -1;
    }
    if (!cJSON_IsArray(list)) {
        ORVI_LOGW("status packet 'list' isn't an array!");
        return -1;
    }
    return status_list(list, req);
}

ORVI_HANDLER(request_handle_binStatus) {
    const char *mac = str_of(json, "mac");
    if (!mac) {
        ORVI_LOGW("lack mac key!");
        return -1;
    }
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
    if (orvi_field_view(f.mac) != mac) {
        ORVI_LOGW("status packet mac is err!");
        return -1;
    }
    if (f.dev_type == DEV_TYPE_UDP) {
        const unsigned long now = static_cast<unsigned long>(orvi_get_ticks());
        orvi_subdev_locked(dev, [now](orvi_subdev_list_t &d) { d.hb_ticks = now; });
    }
    const char *b64 = str_of(json, "binStatus");
    if (b64 && binstatus_decode(dev, b64)) {
        orvi_event_post_dev(ORVI_EVENT_JSONSTATUS, dev);
        default_scene_step(dev);
    }
    // The device only learns that its report arrived; it is answered so
    // whatever became of the report.
    json_ptr out = make_object();
    cJSON_AddStringToObject(out.get(), "t", "ret");
    cJSON_AddNumberToObject(out.get(), "r", 200);
    cJSON_AddStringToObject(out.get(), "mac", product_get_mac_str().c_str());
    orvi_request_set_response(req, out.get(), AES_KEY_TYPE_RANDOM);
    return 0;
}

ORVI_HANDLER(request_handle_dat) {
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
    if (!type_in_range(f.dev_type)) {
        ORVI_LOGW("illegal deveice type :%d ", static_cast<int>(f.dev_type));
        return -1;
    }
    if (orvi_field_len(f.mac) == 0) {
        ORVI_LOGW("dev_list->mac length is 0 ");
        return -1;
    }
    const cJSON *opt = cJSON_GetObjectItemCaseSensitive(json, "opt");
    const cJSON *p = cJSON_GetObjectItemCaseSensitive(json, "p");
    if (!opt || !p) {
        opt = cJSON_GetObjectItemCaseSensitive(json, "cols");
        p = cJSON_GetObjectItemCaseSensitive(json, "dat");
    }
    if (!cJSON_IsArray(opt) || !cJSON_IsArray(p)) {
        ORVI_LOGW("'%s' dat packet carries neither opt/p nor cols/dat arrays", dev->mac);
        return -1;
    }
    json_ptr doc = make_object();
    cJSON_AddItemToObject(doc.get(), "opt", cJSON_Duplicate(opt, 1));
    cJSON_AddItemToObject(doc.get(), "p", cJSON_Duplicate(p, 1));
    cJSON_AddStringToObject(doc.get(), "t", "dat");
    if (!store_status(dev, print(doc.get()))) return -1;
    orvi_jsonStatus_handle(dev);
    return 0;
}

ORVI_HANDLER(request_handle_jsonStatus) {
    std::string_view text = req->req_data;
    while (!text.empty() && std::strchr(" \t\r\n", text.back()))
        text.remove_suffix(1);
    while (!text.empty() && std::strchr(" \t\r\n", text.front()))
        text.remove_prefix(1);
    const bool stored = store_status(dev, text);
    const dev_type_t t = orvi_subdev_snapshot(dev).dev_type;
    if (stored && (t == DEV_TYPE_PWRGATEWAY || t == DEV_TYPE_CENTCTRL)) {
        orvi_event_post_dev(ORVI_EVENT_JSONSTATUS_MQTT, dev);
        orvi_event_post_dev(ORVI_EVENT_JSONSTATUS, dev);
    }
    json_ptr out = make_object();
    cJSON_AddStringToObject(out.get(), "t", "ret");
    cJSON_AddNumberToObject(out.get(), "r", stored ? 200 : 500);
    orvi_request_set_response(req, out.get(), AES_KEY_TYPE_RANDOM);
    return 0;
}

// ---- Send functions ---------------------------------------------------------------

ORVI_SENDER(orvi_send_jsonStatus) {
    // The fan-out publishes on the bus itself; there is no packet to send.
    return orvi_jsonStatus_handle(dev);
}

ORVI_SENDER(orvi_send_jsonStatus_mqtt) {
    if (!dev) return -1;
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
    const std::string mac = mac_of(f);
    if (f.data.empty()) {
        ORVI_LOGW("'%s' dev_list->data is NULL!", mac.c_str());
        return -1;
    }
    json_ptr doc(cJSON_Parse(f.data.c_str()));
    const cJSON *body = status_body(doc.get());
    const cJSON *names = cJSON_GetObjectItemCaseSensitive(body, "cols");
    const cJSON *values = cJSON_GetObjectItemCaseSensitive(body, "dat");
    if (!(cJSON_IsArray(names) && cJSON_IsArray(values)) && body == doc.get()) {
        names = cJSON_GetObjectItemCaseSensitive(body, "opt");
        values = cJSON_GetObjectItemCaseSensitive(body, "p");
    }
    if (!cJSON_IsArray(names) || !cJSON_IsArray(values)) {
        ORVI_LOGW("'%s' haven't cols and opt!", mac.c_str());
        return -1;
    }
    json_ptr out = make_object();
    if (f.dev_type == DEV_TYPE_TOVRA && mac.size() == 14) {
        cJSON *gang_cols = nullptr, *gang_dat = nullptr;
        if (multi_switch_status_filter(dev, names, values, &gang_cols, &gang_dat) != 0) {
            ORVI_LOGW("multi_switch_status_filter filted failed!");
            return -1;
        }
        cJSON_AddItemToObject(out.get(), "cols", gang_cols);
        cJSON_AddItemToObject(out.get(), "dat", gang_dat);
    } else {
        cJSON_AddItemToObject(out.get(), "cols", cJSON_Duplicate(names, 1));
        cJSON_AddItemToObject(out.get(), "dat", cJSON_Duplicate(values, 1));
    }
    cJSON_AddStringToObject(out.get(), "t", "dat");
    cJSON_AddStringToObject(out.get(), "mac", mac.c_str());
    orvi_request_set_response(req, out.get(), AES_KEY_TYPE_RANDOM);
    return 0;
}

bool mqtt_upload_running(void) {
    return g_upload_running.load();
}
