// What the cloud sends the host, taken apart: requests go to the request
// queue (and a home-level one also to the siblings on "/jsonRequest"), the
// server time to the clock, the air and room-map messages to the local bus.
// And the other way: a local status package re-keyed for the cloud.
// Everything from outside is bounded before it is used: topic levels become
// topics and request targets only when they fit, the time text only when it
// is one.
#include <cJSON.h>

#include <cstring>
#include <memory>

#include "cloud_mqtt_parts.h"
#include "event_msg.h"
#include "local_mqtt.h"
#include "local_mqtt_pack.h"
#include "orvi_aes.h"
#include "orvi_field.h"
#include "orvi_log.h"
#include "orvi_product.h"
#include "orvi_transport.h"
#include "product_subdev.h"

namespace {

using json_ptr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

json_ptr parse(const std::string &text) {
    return json_ptr(cJSON_ParseWithLength(text.data(), text.size()), cJSON_Delete);
}

std::string print(const cJSON *j) {
    char *s = cJSON_PrintUnformatted(j);
    if (!s) ORVI_NO_MEM(64);
    std::string out(s);
    cJSON_free(s);
    return out;
}

// A MAC-like topic level: 1 to 16 characters, none of them a separator,
// wildcard or blank.
bool level_ok(const std::string &level) {
    if (level.empty() || level.size() > 16) return false;
    for (unsigned char ch : level)
        if (ch <= ' ' || ch >= 0x7f || ch == '/' || ch == '+' || ch == '#') return false;
    return true;
}

int publish_local(const std::string &topic, const std::string &text) {
    if (mqtt_event_publish(topic.c_str(), text.c_str(), text.size(), 0) != 0) {
        ORVI_LOGW("local publish on '%s' failed", topic.c_str());
        return -1;
    }
    return 0;
}

// Seals `text` in a package from the host (cid host MAC, "i" 0, no tcid).
int publish_host_package(const std::string &topic, const std::string &text) {
    const std::string host = product_get_host_mac_str();
    json_ptr pkg(event_msg_package_aseemble(host.c_str(), 0, "", 0, text.c_str()), cJSON_Delete);
    if (!pkg) return -1;
    return publish_local(topic, print(pkg.get()));
}

void handle_request(const std::string &topic, const std::string &payload) {
    json_ptr msg = parse(payload);
    if (!msg) {
        ORVI_LOGW("cjson_msg is NULL");
        return;
    }
    const std::string home = product_get_mac_str();
    if (topic == "request/" + home || topic == "request/" + home + "/" + home) {
        cJSON *cid = cJSON_GetObjectItemCaseSensitive(msg.get(), "cid");
        if (cid && cJSON_ReplaceItemInObjectCaseSensitive(msg.get(), "cid", cJSON_CreateString(home.c_str())))
            publish_local("/jsonRequest/" + home, print(msg.get()));
        else
            ORVI_LOGW("cjson replace failed");
    }
    if (!cJSON_GetObjectItemCaseSensitive(msg.get(), "pack")) {
        ORVI_LOGW("pack is null");
        return;
    }
    request_type_t req;
    req.data_type = DATA_TYPE_NEED_PARSE;
    req.data = payload;
    req.sockinfo.fd = -1;
    req.sockinfo.type = SOCKET_CONNECT_TYPE_MQTT;
    // "request/<home>/<target>": the target is everything after the second "/".
    const size_t first = topic.find('/');
    const size_t second = first == std::string::npos ? first : topic.find('/', first + 1);
    if (second == std::string::npos) {
        ORVI_LOGI("the target isn't sub machine,sub mac is empty");
    } else {
        std::string target = topic.substr(second + 1);
        if (!level_ok(target)) {
            ORVI_LOGW("request target '%.32s' is not a device MAC, dropped", target.c_str());
            return;
        }
        req.ctx.has_text = true;
        req.ctx.text = std::move(target);
    }
    ORVI_LOGI("mqtt ctrl: %s --> %s,topic is %s", payload.c_str(), req.ctx.has_text ? req.ctx.text.c_str() : "",
              topic.c_str());
    if (orvi_transport_deliver(req) != 0) ORVI_LOGW("mqtt request not queued, topic is %s", topic.c_str());
}

void handle_time(const std::string &payload) {
    json_ptr msg = parse(payload);
    const cJSON *t = msg ? cJSON_GetObjectItemCaseSensitive(msg.get(), "time") : nullptr;
    if (!cJSON_IsString(t) || !cloud_time_text_ok(t->valuestring)) {
        ORVI_LOGW("cloud time '%.40s' is not a time text, clock left alone",
                  cJSON_IsString(t) ? t->valuestring : payload.c_str());
        return;
    }
    product_systime_calibrate(0, t->valuestring);
}

void handle_room_map(const std::string &payload) {
    json_ptr msg = parse(payload);
    const cJSON *pack = msg ? cJSON_GetObjectItemCaseSensitive(msg.get(), "pack") : nullptr;
    if (!cJSON_IsString(pack)) {
        ORVI_LOGW("thirdRoomMap without pack, dropped");
        return;
    }
    std::string plain = pack->valuestring;
    if (orvi_aes_decrypt(product_get_home_key().c_str(), plain) != 0) {
        ORVI_LOGW("thirdRoomMap does not open with the home key, dropped");
        return;
    }
    cJSON *inner = cJSON_Parse(plain.c_str());
    if (!inner) {
        ORVI_LOGW("thirdRoomMap pack is not JSON, dropped");
        return;
    }
    const std::string home = product_get_mac_str();
    json_ptr body(event_msg_payload_aseemble(home.c_str(), "", product_get_mid_str().c_str(), inner), cJSON_Delete);
    if (!body) return;
    publish_host_package("roomMap/partner", print(body.get()));
}

bool in_range(const char *s, int n, int lo, int hi) {
    int v = 0;
    for (int k = 0; k < n; ++k) {
        if (s[k] < '0' || s[k] > '9') return false;
        v = v * 10 + (s[k] - '0');
    }
    return v >= lo && v <= hi;
}

}  // namespace

bool cloud_time_text_ok(const char *text) {
    // "YYYY-MM-DD hh:mm:ss"
    if (!text || strnlen(text, 20) != 19) return false;
    if (text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != ':' || text[16] != ':') return false;
    return in_range(text, 4, 1970, 2099) && in_range(text + 5, 2, 1, 12) && in_range(text + 8, 2, 1, 31) &&
           in_range(text + 11, 2, 0, 23) && in_range(text + 14, 2, 0, 59) && in_range(text + 17, 2, 0, 59);
}

void cloud_rx_handle(const std::string &topic, const std::string &payload) {
    if (topic.find("request") != std::string::npos) {
        handle_request(topic, payload);
    } else if (topic.find("time") != std::string::npos) {
        handle_time(payload);
    } else if (topic.find("airManageDevice") != std::string::npos) {
        publish_host_package("/AirEvent", payload);
    } else if (topic.find("thirdRoomMap") != std::string::npos) {
        handle_room_map(payload);
    } else {
        ORVI_LOGW("no subscript topic is %s", topic.c_str());
    }
}

void cloud_rx_firmware(const std::string &topic, const std::string &payload) {
    publish_local(topic, payload);
}

int cloud_status_rekey(const char *topic, const char *payload, std::string &cloud_topic, std::string &package) {
    json_ptr pkg(payload ? cJSON_Parse(payload) : nullptr, cJSON_Delete);
    if (!pkg) {
        ORVI_LOGW("jdata is NULL");
        return -1;
    }
    const cJSON *cid = cJSON_GetObjectItemCaseSensitive(pkg.get(), "cid");
    const cJSON *pack = cJSON_GetObjectItemCaseSensitive(pkg.get(), "pack");
    const cJSON *i = cJSON_GetObjectItemCaseSensitive(pkg.get(), "i");
    if (!cJSON_IsString(cid)) {
        ORVI_LOGW("jcid is NULL");
        return -1;
    }
    if (!cJSON_IsString(pack) || !cJSON_IsNumber(i)) {
        ORVI_LOGW("status package without pack or i, dropped");
        return -1;
    }
    const std::string t = topic ? topic : "";
    const std::string mac = t.substr(t.rfind('/') + 1);
    if (!level_ok(mac)) {
        ORVI_LOGW("status topic '%.64s' does not end with a MAC, dropped", t.c_str());
        return -1;
    }
    const std::string home = product_get_mac_str(), host = product_get_host_mac_str();
    if (home.empty()) {
        ORVI_LOGW("no home MAC yet, status of %s not relayed", mac.c_str());
        return -1;
    }
    std::string dev_key;
    if (mac != home && mac != host) {
        orvi_subdev_ptr dev = product_get_subdev_form_host(mac.c_str());
        orvi_subdev_fields_t f{};
        if (dev) f = orvi_subdev_snapshot(dev);
        if (!dev || f.dev_type == DEV_TYPE_UDP) {
            ORVI_LOGI("%s dev is not exist or dev_type is udp\n", mac.c_str());
            return -1;
        }
        dev_key = std::string(orvi_field_view(f.key));
    }
    std::string key;
    if (i->valuedouble != 0)
        key = product_get_default_key();
    else if (home == cid->valuestring)
        key = product_get_home_key();
    else if (host == cid->valuestring)
        key = product_get_random_key();
    else if (mac != home && mac != host)
        key = dev_key;
    if (key.empty()) {
        // A foreign sender on the host's own topic: no key of ours fits it.
        ORVI_LOGW("status of %s from '%.16s' has no key here, dropped", mac.c_str(), cid->valuestring);
        return -1;
    }
    std::string plain = pack->valuestring;
    if (orvi_aes_decrypt(key.c_str(), plain) != 0) {
        ORVI_LOGW("mqtt aes decrypt fail\n");
        return -1;
    }
    json_ptr body(cJSON_Parse(plain.c_str()), cJSON_Delete);
    if (!cJSON_IsObject(body.get())) {
        ORVI_LOGW("mqtt aes decrypt fail\n");
        return -1;
    }
    cJSON_DeleteItemFromObjectCaseSensitive(body.get(), "mid");
    for (const auto &rename : {std::make_pair("opt", "cols"), std::make_pair("p", "dat")}) {
        if (cJSON *v = cJSON_DetachItemFromObjectCaseSensitive(body.get(), rename.first))
            cJSON_AddItemToObject(body.get(), rename.second, v);
    }
    std::string sealed = print(body.get());
    ORVI_LOGI("status to the cloud: %s", sealed.c_str());
    if (orvi_aes_encrypt(product_get_home_key().c_str(), sealed) != 0) {
        ORVI_LOGW("mqtt aes encrypt fail\n");
        return -1;
    }
    cJSON_DeleteItemFromObjectCaseSensitive(pkg.get(), "pack");
    cJSON_DeleteItemFromObjectCaseSensitive(pkg.get(), "cid");
    cJSON_DeleteItemFromObjectCaseSensitive(pkg.get(), "i");
    cJSON_AddStringToObject(pkg.get(), "pack", sealed.c_str());
    cJSON_AddStringToObject(pkg.get(), "cid", home.c_str());
    cJSON_AddNumberToObject(pkg.get(), "i", 0);
    cloud_topic = mac == home ? "jsonStatus/" + home : "jsonStatus/" + home + "/" + mac;
    package = print(pkg.get());
    return 0;
}
