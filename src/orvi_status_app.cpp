// The mini-app's requests that go on to the board's services: the RS-485
// line configuration, single scene pushes and scene checks (on the event
// bus), switch up/down settings (on the local MQTT bus), and the small
// prepared answers to the mini-app. Handlers run on the request task; the
// scene answers read the reply id and the mini-app's record from other
// threads, so both are kept under a lock.
#include <atomic>
#include <cstring>
#include <string>

#include "event_msg.h"
#include "event_publish.h"
#include "local_mqtt.h"
#include "local_mqtt_pack.h"
#include "orvi_aes.h"
#include "orvi_handlers.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_miniapp.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_scene_rsp.h"
#include "orvi_status_handlers.h"
#include "orvi_status_util.h"
#include "uds_client.h"

using namespace orvi_status;

orvi::Mutex orvi_status_app_mu;

namespace {

constexpr const char *k485ConfigPath = "/data/domivault/data/485Com.config";

struct scene_state {
    std::string reply_id GUARDED_BY(orvi_status_app_mu);      // the last scene push's "requestId"
    orvi_subdev_ptr miniapp GUARDED_BY(orvi_status_app_mu);   // who gets the scene answers
    std::string updown_reqid GUARDED_BY(orvi_status_app_mu);  // the last up/down request's "requestId"
} g_app;

std::atomic<bool> g_create_sub_started{false};
std::atomic<bool> g_delete_sub_started{false};
std::atomic<bool> g_check_sub_started{false};
std::atomic<int> g_multicast_count{0};

bool is_miniapp(const orvi_subdev_ptr &dev, const char *what) {
    if (orvi_subdev_snapshot(dev).dev_type == DEV_TYPE_MINIPRO) return true;
    ORVI_LOGW("'%s' isn't the mini-app, %s refused", dev ? dev->mac : "", what);
    return false;
}

// Starts a scene answer subscription the first time it is needed; one that
// could not be started is tried again by the next request that needs it.
void start_once(std::atomic<bool> &started, int (*start)(void)) {
    if (!started.exchange(true) && start() != 0) started.store(false);
}

// Publishes `plaintext` (taken) on the event bus as the host's event `topic`.
int scene_bus_publish(const char *topic, cJSON *plaintext) {
    cJSON *payload = event_msg_payload_aseemble(product_get_mac_str().c_str(), "",
                                                product_get_mid_str().c_str(), plaintext);
    if (!payload) return -1;
    json_ptr msg(event_msg_send_aseemble(0, topic, payload, "host", "data", 0));
    const std::string text = print(msg.get());
    if (text.empty() || event_publish(text.c_str(), text.size()) != 0) {
        ORVI_LOGW("'%s' request not published on the event bus", topic);
        return -1;
    }
    return 0;
}

// One up/down setting to its device on "/jsonRequest/<home>/<device>",
// sealed with the device's key. The answer code of the element.
int updown_publish(const cJSON *element, const char *sub) {
    if (!event_topic_level_ok(sub, "up/down sub")) return 404;
    const orvi_subdev_ptr dev = product_get_subdev_form_host(sub);
    if (!dev) {
        ORVI_LOGW("'%s' is not registered, up/down setting not sent", sub);
        return 404;
    }
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
    const std::string mac = mac_of(f), key(orvi_field_view(f.key));
    const std::string home = product_get_mac_str();
    if (key.size() != 16 || !event_topic_level_ok(home, "home MAC")) {
        ORVI_LOGW("'%s' has no 16-character key or the home has no MAC, up/down setting not sent",
                  mac.c_str());
        return 500;
    }
    std::string body = print(element);
    if (body.empty() || orvi_aes_encrypt(key.c_str(), body) != 0) return 500;
    json_ptr pack(event_msg_package_aseemble(product_get_host_mac_str().c_str(), AES_KEY_TYPE_NONE,
                                             mac.c_str(), 0, body.c_str()));
    const std::string text = print(pack.get());
    const std::string topic = "/jsonRequest/" + home + "/" + mac;
    if (text.empty() || mqtt_event_publish(topic.c_str(), text.c_str(), text.size(), 0) != 0) {
        ORVI_LOGW("up/down setting to '%s' not published", mac.c_str());
        return 500;
    }
    return 200;
}

// The prepared text in the mini-app's record, sent as it stands.
int send_prepared(request_data_t *req, const orvi_subdev_ptr &dev, const char *name) {
    if (!req || !dev || !is_miniapp(dev, name)) return -1;
    const std::string text = orvi_subdev_snapshot(dev).data;
    if (text.empty()) {
        ORVI_LOGW("'%s' has no prepared %s text", dev->mac, name);
        return -1;
    }
    orvi_request_set_response_text(req, text, AES_KEY_TYPE_RANDOM);
    return 0;
}

}  // namespace

// ---- RS-485 line configuration -------------------------------------------------

ORVI_HANDLER(request_handle_485Configure) {
    const cJSON *t = cJSON_GetObjectItemCaseSensitive(json, "t");
    const cJSON *cfg = cJSON_GetObjectItemCaseSensitive(json, "configure");
    if (!t || !cJSON_IsObject(cfg)) {
        ORVI_LOGW("t_json or cfg_json is NULL!");
        return -1;
    }
    const std::string text = print(cfg);
    int r = 200;
    if (text.empty() || text.size() > ORVI_CONFIG_TEXT_MAX) {
        ORVI_LOGW("RS-485 configuration of %zu bytes refused, at most %d", text.size(), ORVI_CONFIG_TEXT_MAX);
        r = 500;
    } else if (!orvi_port_write_atomic(orvi_path(k485ConfigPath), text)) {
        ORVI_LOGW("open [%s] fail!", k485ConfigPath);
        r = 500;
    } else {
        event_host_publish("485Config", "upgrade", 0);
    }
    json_ptr out = make_object();
    cJSON_AddStringToObject(out.get(), "t", "485ConfigureAck");
    cJSON_AddNumberToObject(out.get(), "r", r);
    miniApp_retry_response_send(dev, print(out.get()).c_str());
    return 0;
}

// ---- Scenes ------------------------------------------------------------------------

ORVI_HANDLER(request_handle_sceneSinglepush) {
    const cJSON *scene = cJSON_GetObjectItemCaseSensitive(json, "scene");
    const cJSON *oper = cJSON_GetObjectItemCaseSensitive(json, "oper");
    const cJSON *type = cJSON_GetObjectItemCaseSensitive(json, "type");
    const cJSON *reqid = cJSON_GetObjectItemCaseSensitive(json, "requestId");
    if (!scene || !oper || !type || !reqid) {
        ORVI_LOGW("json_scene or json_oper or json_type or json_reqid is NULL");
        return -1;
    }
    if (!cJSON_IsNumber(oper) || !cJSON_IsNumber(type) || !cJSON_IsString(reqid)) {
        ORVI_LOGW("oper and type must be numbers, requestId a string");
        return -1;
    }
    if (!is_miniapp(dev, "scene push")) return -1;
    if (std::strlen(reqid->valuestring) > ORVI_SCENE_REQID_MAX) {
        ORVI_LOGW("requestId of %zu characters refused, at most %d", std::strlen(reqid->valuestring),
                  ORVI_SCENE_REQID_MAX);
        return -1;
    }
    const int t = type->valueint;
    json_ptr plain = make_object();
    cJSON_AddStringToObject(plain.get(), "reqId", reqid->valuestring);
    const char *topic = nullptr;
    if (oper->valueint == 0) {
        topic = t == 0 ? "scene/create/interactive" : t == 1 ? "scene/create/scene" : nullptr;
        cJSON_AddItemToObject(plain.get(), "data", cJSON_Duplicate(scene, 1));
    } else if (oper->valueint == 1) {
        topic = t == 0 ? "scene/delete/interactive" : t == 1 ? "scene/delete/scene" : nullptr;
        const cJSON *sceneid = cJSON_GetObjectItemCaseSensitive(json, "sceneid");
        if (!sceneid) {
            ORVI_LOGW("sceneid is NULL");
            return -1;
        }
        cJSON_AddItemToObject(plain.get(), "sceneId", cJSON_Duplicate(sceneid, 1));
    } else {
        ORVI_LOGW("oper value is error");
        return -1;
    }
    if (!topic) {
        ORVI_LOGW("scene_type is error");
        return -1;
    }
    // Only a request that is passed on becomes the one the scene answers
    // are matched with.
    {
        orvi::MutexLock lk(orvi_status_app_mu);
        g_app.reply_id = reqid->valuestring;
        g_app.miniapp = dev;
    }
    if (oper->valueint == 0) {
        start_once(g_create_sub_started, start_subscribe_scene_create_resp_service);
    } else {
        start_once(g_delete_sub_started, start_subscribe_scene_delete_resp_service);
    }
    // The app is told at once that its request was taken; the scene
    // service's outcome follows as its own answer.
    scene_bus_publish(topic, plain.release());
    json_ptr out = make_object();
    cJSON_AddStringToObject(out.get(), "t", "sceneSinglepushRes");
    cJSON_AddNumberToObject(out.get(), "res", 200);
    orvi_request_set_response(req, out.get(), AES_KEY_TYPE_RANDOM);
    return 0;
}

ORVI_HANDLER(request_handle_checkSceneExe) {
    start_once(g_check_sub_started, start_subscribe_scene_check_rsp);
    if (!is_miniapp(dev, "scene check")) return -1;
    const cJSON *reqid = cJSON_GetObjectItemCaseSensitive(json, "reqId");
    const cJSON *sceneid = cJSON_GetObjectItemCaseSensitive(json, "sceneId");
    if (!reqid || !sceneid) {
        ORVI_LOGW("json_reqid or json_sceneid is null");
        return -1;
    }
    json_ptr plain = make_object();
    cJSON_AddItemToObject(plain.get(), "reqId", cJSON_Duplicate(reqid, 1));
    cJSON_AddItemToObject(plain.get(), "sceneId", cJSON_Duplicate(sceneid, 1));
    scene_bus_publish("scene/checkExe", plain.release());
    return 0;
}

// ---- Switch up/down settings -------------------------------------------------------

ORVI_HANDLER(request_handle_updown) {
    const char *reqid = str_of(json, "requestId");
    if (!reqid) {
        ORVI_LOGW("updown flag reqid is NULL");
        return -1;
    }
    if (std::strlen(reqid) > ORVI_UPDOWN_REQID_MAX) {
        ORVI_LOGW("updown reqid of %zu characters refused, at most %d", std::strlen(reqid),
                  ORVI_UPDOWN_REQID_MAX);
        return -1;
    }
    if (!is_miniapp(dev, "up/down setting")) return -1;
    {
        orvi::MutexLock lk(orvi_status_app_mu);
        if (g_app.updown_reqid == reqid) {
            ORVI_LOGW("updown info  reqid is same");
            return -1;
        }
    }
    const cJSON *config = cJSON_GetObjectItemCaseSensitive(json, "config");
    if (!cJSON_IsArray(config) || cJSON_GetArraySize(config) == 0) {
        ORVI_LOGW("config parameter is null or empty");
        return -1;
    }
    {
        orvi::MutexLock lk(orvi_status_app_mu);
        g_app.updown_reqid = reqid;
    }
    json_ptr out = make_object();
    cJSON_AddStringToObject(out.get(), "t", "updownFlagRes");
    cJSON *results = cJSON_AddArrayToObject(out.get(), "r");
    const cJSON *element;
    cJSON_ArrayForEach(element, config) {
        const char *sub = str_of(element, "sub");
        if (!sub) {
            ORVI_LOGW("updown sub is null");
            continue;
        }
        const int r = updown_publish(element, sub);
        const cJSON *element_reqid = cJSON_GetObjectItemCaseSensitive(element, "reqId");
        cJSON *res = cJSON_CreateObject();
        if (!res) ORVI_NO_MEM(sizeof(cJSON));
        cJSON_AddStringToObject(res, "mac", sub);
        cJSON_AddNumberToObject(res, "r", r);
        cJSON_AddItemToObject(res, "reqId",
                              element_reqid ? cJSON_Duplicate(element_reqid, 1) : cJSON_CreateString(reqid));
        cJSON_AddItemToArray(results, res);
    }
    miniApp_retry_response_send(dev, print(out.get()).c_str());
    return 0;
}

// ---- Small send functions --------------------------------------------------------------

ORVI_SENDER(orvi_send_multicast_test) {
    if (!req) return -1;
    json_ptr out = make_object();
    cJSON_AddStringToObject(out.get(), "t", "mulcastTst");
    cJSON_AddNumberToObject(out.get(), "i", g_multicast_count.fetch_add(1));
    orvi_request_set_response(req, out.get(), AES_KEY_TYPE_NONE);
    return 0;
}

ORVI_SENDER(orvi_send_sceneSingleSetRes) {
    return send_prepared(req, dev, "sceneSingleSetRes");
}

ORVI_SENDER(orvi_send_soLoadState) {
    return send_prepared(req, dev, "soLoadState");
}

// ---- Scene state ---------------------------------------------------------------------

std::string orvi_scene_reply_id(void) {
    orvi::MutexLock lk(orvi_status_app_mu);
    return g_app.reply_id;
}

orvi_subdev_ptr orvi_scene_miniapp_record(void) {
    orvi::MutexLock lk(orvi_status_app_mu);
    return g_app.miniapp;
}

// Test entry, declared in tests/support/orvi_testing.h; the daemon never calls it.
void orvi_status_handlers_reset_for_test(void) {
    {
        orvi::MutexLock lk(orvi_status_app_mu);
        g_app.reply_id.clear();
        g_app.miniapp.reset();
        g_app.updown_reqid.clear();
    }
    g_create_sub_started.store(false);
    g_delete_sub_started.store(false);
    g_check_sub_started.store(false);
    g_multicast_count.store(0);
}
