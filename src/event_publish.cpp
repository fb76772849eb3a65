// The event publishers' core: sealing and queueing one message, checked
// topic levels, the three generic builders and the device-traffic publisher.
#include "event_publish.h"

#include <atomic>
#include <cstring>

#include "event_msg.h"
#include "event_publish_core.h"
#include "local_mqtt.h"
#include "local_mqtt_pack.h"
#include "orvi_aes.h"
#include "orvi_log.h"
#include "orvi_product.h"

namespace evpub {
namespace {

std::atomic<event_publish_sink_t> g_sink{nullptr};

// A topic handed to the transport: whole (a longer one would be cut into a
// different topic) and free of wildcards, which a publish may not carry.
bool topic_ok(const std::string &topic) {
    if (topic.empty() || topic.size() > EVENT_TOPIC_MAX || topic.find_first_of("+#") != std::string::npos) {
        ORVI_LOGW("topic '%.*s' refused: empty, longer than %d or holding a wildcard", 80, topic.c_str(),
                  EVENT_TOPIC_MAX);
        return false;
    }
    return true;
}

}  // namespace

int send_text(const envelope &env, const std::string &body) {
    if (!topic_ok(env.topic)) return -1;
    const std::string cid = env.cid.empty() ? product_get_host_mac_str() : env.cid;
    json_ptr pack(event_msg_package_aseemble(cid.c_str(), env.i, env.tcid.c_str(), 0, body.c_str()));
    if (!pack) {
        // Also the sealing failure: an unsealed package is never published.
        ORVI_LOGW("msg_json json is null\n");
        return -1;
    }
    const std::string text = print(pack.get());
    if (text.empty()) {
        ORVI_LOGW("msg_json json is null\n");
        return -1;
    }
    event_publish_sink_t sink = g_sink.load();
    int rc = (sink ? sink : mqtt_event_publish)(env.topic.c_str(), text.c_str(), text.size(), env.retain);
    if (rc == 0) {
        ORVI_LOGI("publish package:%d; %s -->%s\n", static_cast<int>(text.size()), text.c_str(),
                  env.topic.c_str());
    } else {
        ORVI_LOGW("mqtt_event_publish fail, topic is %s\n", env.topic.c_str());
    }
    return rc;
}

int send_body(const envelope &env, cJSON *body) {
    json_ptr owned(body);
    if (!body) {
        ORVI_LOGW("pload json is null\n");
        return -1;
    }
    const std::string text = print(body);
    if (text.empty()) {
        ORVI_LOGW("payload_json assemble fail !!!\n");
        return -1;
    }
    return send_text(env, text);
}

int send_payload(const envelope &env, const std::string &mac, const std::string &sub, const std::string &mid,
                 cJSON *plaintext) {
    if (!plaintext) {
        ORVI_LOGW("pload json is null\n");
        return -1;
    }
    cJSON *payload = event_msg_payload_aseemble(mac.c_str(), sub.c_str(), mid.c_str(), plaintext);
    if (!payload) {
        ORVI_LOGW("pload json is null\n");
        return -1;
    }
    return send_body(env, payload);
}

std::string topic2(const char *name, std::string_view level, const char *what) {
    if (!event_topic_level_ok(level, what)) return "";
    std::string t = name;
    t.push_back('/');
    t.append(level);
    return t;
}

std::string topic3(const char *name, std::string_view level1, std::string_view level2, const char *what) {
    if (!event_topic_level_ok(level1, "home MAC") || !event_topic_level_ok(level2, what)) return "";
    std::string t = name;
    t.push_back('/');
    t.append(level1);
    t.push_back('/');
    t.append(level2);
    return t;
}

json_ptr parse_status(const std::string &data, const cJSON **status) {
    json_ptr doc(cJSON_Parse(data.c_str()));
    *status = doc ? orvi_json::status_body(doc.get()) : nullptr;
    return doc;
}

}  // namespace evpub

using namespace evpub;

void event_publish_set_sink(event_publish_sink_t sink) {
    g_sink.store(sink);
}

bool event_topic_level_ok(std::string_view level, const char *what) {
    bool ok = !level.empty() && level.size() <= EVENT_TOPIC_LEVEL_MAX;
    for (char c : level) {
        if (c <= ' ' || c > '~' || c == '/' || c == '+' || c == '#') ok = false;
    }
    if (!ok) {
        ORVI_LOGW("%s '%.*s' refused as a topic level: 1 to %d printable characters without '/', '+', '#'",
                  what ? what : "text", static_cast<int>(level.size() > 40 ? 40 : level.size()), level.data(),
                  EVENT_TOPIC_LEVEL_MAX);
    }
    return ok;
}

// ---- Generic builders ---------------------------------------------------------

namespace {

std::string mac_of_record(const orvi_subdev_ptr &dev) {
    return orvi_subdev_locked(dev, [](orvi_subdev_list_t &r) { return std::string(orvi_field_view(r.mac)); });
}

// The positional device-information list read back by the registry handlers.
cJSON *devinfo_list(const orvi_subdev_fields_t &f) {
    cJSON *a = cJSON_CreateArray();
    if (!a) return nullptr;
    cJSON_AddItemToArray(a, cJSON_CreateString(mac_of(f).c_str()));
    cJSON_AddItemToArray(a, cJSON_CreateString(std::string(orvi_field_view(f.mid)).c_str()));
    cJSON_AddItemToArray(a, cJSON_CreateNumber(f.macId));
    cJSON_AddItemToArray(a, cJSON_CreateNumber(f.dev_type));
    cJSON_AddItemToArray(a, cJSON_CreateNumber(f.roomId));
    cJSON_AddItemToArray(a, cJSON_CreateString(std::string(orvi_field_view(f.hid)).c_str()));
    cJSON_AddItemToArray(a, cJSON_CreateString(std::string(orvi_field_view(f.ver)).c_str()));
    cJSON_AddItemToArray(a, cJSON_CreateString(std::string(orvi_field_view(f.vender)).c_str()));
    cJSON_AddItemToArray(a, cJSON_CreateString(std::string(orvi_field_view(f.key)).c_str()));
    cJSON_AddItemToArray(a, cJSON_CreateString(std::string(orvi_field_view(f.name)).c_str()));
    cJSON_AddItemToArray(a, cJSON_CreateString(f.devExt ? f.devExt->c_str() : ""));
    cJSON_AddItemToArray(a, cJSON_CreateString(std::string(orvi_field_view(f.noteName)).c_str()));
    cJSON_AddItemToArray(a, cJSON_CreateNumber(f.f_register));
    return a;
}

}  // namespace

namespace evpub {

int type0_send(const char *topic, const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev, cJSON *plain,
               int retain, bool cid_is_host) {
    json_ptr owned(plain);
    if (!topic || !plain) {
        ORVI_LOGW("topic or plaintext is NULL\n");
        return -1;
    }
    const orvi_subdev_ptr parent = dev, child = subdev;  // kept alive for the whole build
    const std::string mac = parent ? mac_of_record(parent) : product_get_host_mac_str();
    std::string sub, mid;
    if (child) {
        orvi_subdev_locked(child, [&](orvi_subdev_list_t &r) {
            sub = std::string(orvi_field_view(r.mac));
            mid = std::string(orvi_field_view(r.mid));
        });
    } else {
        mid = product_get_mid_str();
    }
    envelope env;
    env.topic = topic;
    env.cid = cid_is_host ? "" : mac;
    env.tcid = sub;
    env.i = env.topic == "soUpdateRes" ? 1 : 0;
    env.retain = retain ? 1 : 0;
    return send_payload(env, mac, sub, mid, owned.release());
}

}  // namespace evpub

int event_type_0_publish(const char *topic, const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev,
                         const char *plaintext, int retain) {
    if (!topic || !plaintext) {
        ORVI_LOGW("topic or plaintext is NULL\n");
        return -1;
    }
    cJSON *plain = cJSON_Parse(plaintext);
    if (!plain) {
        ORVI_LOGW("create json failed\n\n");
        return -1;
    }
    return type0_send(topic, dev, subdev, plain, retain, false);
}

int event_type_1_publish(const char *topic, const char *cols, const char *dat, int number,
                         const char *submac) {
    if (!topic || !cols) {
        ORVI_LOGW("topic or cols is NULL\n");
        return -1;
    }
    json_ptr jcols(cJSON_Parse(cols));
    json_ptr jdat(dat ? cJSON_Parse(dat) : nullptr);
    const bool cols_array = cJSON_IsArray(jcols.get()), dat_array = cJSON_IsArray(jdat.get());
    if (cols_array != dat_array) {
        ORVI_LOGW("parameter type illegal\n");
        return -1;
    }
    cJSON *c = nullptr, *d = nullptr;
    if (cols_array) {
        c = jcols.release();
        d = jdat.release();
    } else {
        c = cJSON_CreateArray();
        d = cJSON_CreateArray();
        if (c) cJSON_AddItemToArray(c, cJSON_CreateString(cols));
        if (d) cJSON_AddItemToArray(d, dat ? cJSON_CreateString(dat) : cJSON_CreateNumber(number));
    }
    cJSON *plain = event_msg_plaintext_aseemble(c, d);
    envelope env;
    env.topic = topic;
    env.tcid = submac ? submac : "";
    return send_payload(env, product_get_host_mac_str(), env.tcid, product_get_mid_str(), plain);
}

int event_type_7_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev, int newly,
                         const char *topic, int retain) {
    const orvi_subdev_ptr parent = dev, child = subdev;  // kept alive for the whole build
    if (!child) {
        ORVI_LOGW("subdev is NULL\n");
        return -1;
    }
    const orvi_subdev_fields_t f = fields_of(child);
    const std::string mac = parent ? mac_of_record(parent) : product_get_mac_str();
    envelope env;
    env.tcid = mac_of(f);
    env.retain = retain ? 1 : 0;
    if (topic && topic[0]) {
        env.topic = topic;
    } else {
        env.topic = topic3("devinfo", mac, env.tcid, "device MAC");
        if (env.topic.empty()) return -1;
        env.i = 1;
    }
    cJSON *plain = cJSON_CreateObject();
    if (!plain) ORVI_NO_MEM(sizeof(cJSON));
    cJSON_AddStringToObject(plain, "t", "devinfo");
    cJSON_AddNumberToObject(plain, "newly", newly ? 1 : 0);
    cJSON_AddItemToObject(plain, "infolist", devinfo_list(f));
    return send_payload(env, mac, env.tcid, std::string(orvi_field_view(f.mid)), plain);
}

// ---- Device traffic -------------------------------------------------------------

namespace {

// The six energy values a calculation status carries.
bool is_energy_name(const char *name) {
    static const char *const kNames[] = {"PVGenedPwt", "PSSGoCPwt",  "PVPwtGen",
                                         "PSSPwtGen",  "PSSPwtCons", "QuantityElectricity"};
    for (const char *n : kNames) {
        if (strcmp(n, name) == 0) return true;
    }
    return false;
}

// The status document of a record, parsed, with its name and value arrays.
struct status_view {
    json_ptr doc;
    const cJSON *names = nullptr;
    const cJSON *values = nullptr;
};

bool read_status(const orvi_subdev_fields_t &f, status_view &v) {
    const std::string mac = mac_of(f);
    if (f.data.empty()) {
        ORVI_LOGW("'%s' dev_info->data is NULL!\n", mac.c_str());
        return false;
    }
    const cJSON *status = nullptr;
    v.doc = parse_status(f.data, &status);
    if (!v.doc) {
        ORVI_LOGW("'%s' status is not a JSON document\n", mac.c_str());
        return false;
    }
    if (!status_pairs(status, &v.names, &v.values)) {
        ORVI_LOGW("'%s' haven't cols and opt!\n", mac.c_str());
        return false;
    }
    return true;
}

// "cid" of a status: the home MAC for the home host's own status (sealed
// with the home key), else the host MAC.
envelope status_envelope(const std::string &mac, const std::string &home) {
    envelope env;
    env.cid = mac == home ? home : "";
    env.tcid = mac;
    return env;
}

int status_publish(const orvi_subdev_fields_t &f, uds_type_t kind) {
    status_view v;
    if (!read_status(f, v)) return -1;
    const std::string mac = mac_of(f), home = product_get_mac_str();
    envelope env = status_envelope(mac, home);
    if (kind == UDS_TYPE_STATUS_MQTT && f.dev_type == DEV_TYPE_HOST && mac == home) {
        env.topic = topic2("/jsonStatus", home, "home MAC");
    } else {
        env.topic = topic3("/jsonStatus", home, mac, "device MAC");
    }
    if (env.topic.empty()) return -1;
    cJSON *plain = cJSON_CreateObject();
    if (!plain) ORVI_NO_MEM(sizeof(cJSON));
    if (kind == UDS_TYPE_STATUS_MQTT) cJSON_AddStringToObject(plain, "t", "dat");
    cJSON_AddItemToObject(plain, "cols", cJSON_Duplicate(v.names, 1));
    cJSON_AddItemToObject(plain, "dat", cJSON_Duplicate(v.values, 1));
    if (kind == UDS_TYPE_STATUS) {
        cJSON_AddNumberToObject(plain, "r", 200);
        cJSON_AddStringToObject(plain, "t", "dat");
        cJSON_AddStringToObject(plain, "mid", std::string(orvi_field_view(f.mid)).c_str());
        cJSON_AddStringToObject(plain, "mac", mac.c_str());
    }
    return send_body(env, plain);
}

int calculation_status_publish(const orvi_subdev_fields_t &f) {
    status_view v;
    if (!read_status(f, v)) return -1;
    const std::string mac = mac_of(f), home = product_get_mac_str();
    json_ptr cols(cJSON_CreateArray()), dat(cJSON_CreateArray());
    if (!cols || !dat) ORVI_NO_MEM(sizeof(cJSON));
    const int n = cJSON_GetArraySize(v.names);
    for (int i = 0; i < n; ++i) {
        const cJSON *name = cJSON_GetArrayItem(v.names, i);
        const cJSON *value = cJSON_GetArrayItem(v.values, i);
        if (!cJSON_IsString(name) || !is_energy_name(name->valuestring)) continue;
        if (!cJSON_IsString(value) && !cJSON_IsNumber(value)) continue;
        cJSON_AddItemToArray(cols.get(), cJSON_Duplicate(name, 1));
        cJSON_AddItemToArray(dat.get(), cJSON_Duplicate(value, 1));
    }
    if (cJSON_GetArraySize(cols.get()) == 0) {
        ORVI_LOGI("'%s' status carries no energy value, nothing to publish\n", mac.c_str());
        return -1;
    }
    envelope env = status_envelope(mac, home);
    env.topic = topic2("calculationstatus", mac, "device MAC");
    if (env.topic.empty()) return -1;
    cJSON *plain = cJSON_CreateObject();
    if (!plain) ORVI_NO_MEM(sizeof(cJSON));
    cJSON_AddStringToObject(plain, "t", "dat");
    cJSON_AddItemToObject(plain, "cols", cols.release());
    cJSON_AddItemToObject(plain, "dat", dat.release());
    const std::string payload_mac = env.cid.empty() ? product_get_host_mac_str() : env.cid;
    return send_payload(env, payload_mac, mac, std::string(orvi_field_view(f.mid)), plain);
}

int ctrl_publish(const orvi_subdev_fields_t &f) {
    const std::string mac = mac_of(f);
    const std::shared_ptr<std::vector<char>> cmd = f.binCmd;
    const size_t len = cmd && !cmd->empty() ? strnlen(cmd->data(), cmd->size()) : 0;
    if (len == 0) {
        ORVI_LOGW("dev_info->binCmd is NULL!\n");
        return -1;
    }
    json_ptr plain(cJSON_Parse(std::string(cmd->data(), len).c_str()));
    if (!plain) {
        ORVI_LOGW("'%s' command is not a JSON document\n", mac.c_str());
        return -1;
    }
    // The receiving service opens it with this device's key: a short key
    // would be refused there (and read past here).
    const std::string key(orvi_field_view(f.key));
    if (key.size() < 16) {
        ORVI_LOGW("'%s' device key is shorter than 16 characters, command not sent\n", mac.c_str());
        return -1;
    }
    envelope env;
    env.topic = topic3("/jsonRequest", product_get_mac_str(), mac, "device MAC");
    if (env.topic.empty()) return -1;
    env.tcid = mac;
    env.i = 2;
    std::string body = print(plain.get());
    if (body.empty() || orvi_aes_encrypt(key.c_str(), body) != 0) {
        ORVI_LOGW("'%s' command encrypt fail\n", mac.c_str());
        return -1;
    }
    return send_text(env, body);
}

}  // namespace

int even_dev_ctrl_publish(const orvi_subdev_ptr &dev, uds_type_t kind) {
    const orvi_subdev_ptr keep = dev;  // the record stays alive for the whole build
    if (!keep) {
        ORVI_LOGW("dev_info is NULL\n");
        return -1;
    }
    switch (kind) {
        case UDS_TYPE_STATUS:
        case UDS_TYPE_STATUS_MQTT:
            return status_publish(fields_of(keep), kind);
        case UDS_TYPE_CTRL:
            return ctrl_publish(fields_of(keep));
        case UDS_TYPE_CALCULATIONSTATUS:
            return calculation_status_publish(fields_of(keep));
        default:
            ORVI_LOGW("uds type %d is not a record publish\n", static_cast<int>(kind));
            return -1;
    }
}

int even_dev_ctrl_publish_text(const char *text, uds_type_t kind) {
    if (kind != UDS_TYPE_TIMER_BROACSAST && kind != UDS_TYPE_TIMERINFO) {
        ORVI_LOGW("uds type %d is not a text publish\n", static_cast<int>(kind));
        return -1;
    }
    cJSON *plain = text ? cJSON_Parse(text) : nullptr;
    if (!plain) {
        if (kind == UDS_TYPE_TIMER_BROACSAST) {
            ORVI_LOGW("the broadcast text cjson parse fail!!!!!!!!!!!!!\n");
        } else {
            ORVI_LOGW("the timer info text cjson parse fail!!!!!!!!!!!!!\n");
        }
        return -1;
    }
    envelope env;
    env.topic = topic2(kind == UDS_TYPE_TIMER_BROACSAST ? "TimerBroadcast" : "TimerInfo",
                       product_get_mac_str(), "home MAC");
    env.retain = kind == UDS_TYPE_TIMERINFO ? 1 : 0;
    if (env.topic.empty()) {
        cJSON_Delete(plain);
        return -1;
    }
    return send_payload(env, product_get_host_mac_str(), "", product_get_mid_str(), plain);
}
