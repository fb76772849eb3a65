// Lighting topic dispatch and the pairing, host-status and scene-run handlers.
//
// Every request comes as one or more JSON items on a topic; the map below
// names, in order, the handler of each topic key, and an item goes to every
// handler whose key begins its topic (a "scene/set" item reaches the scene
// deletion and then the scene setting, each acting on its own items only).
// The map's deleted-device key was written as the subscription pattern
// "deletedev8app/#", which no published topic begins with: the key is the
// prefix "deletedev8app/" it was meant to match.
//
// Items other than control requests are event envelopes: a "pack" sealed
// with the host's random key, an item with a numeric "r" being an answer
// that is ignored; control requests are sealed for their device
// (tovra_ctrl.cpp). Scenes, panel keys, device deletion and binding and the
// scene locks are handled in tovra_scene.cpp, the device query in
// tovra_poll.cpp.
#include "tovra_dispatch.h"

#include <cJSON.h>

#include <cstring>
#include <deque>
#include <string>
#include <utility>

#include "orvi_aes.h"
#include "orvi_json.h"
#include "orvi_log.h"
#include "orvi_lock_order.h"
#include "orvi_thread_annotations.h"
#include "orvi_product.h"
#include "orvi_seam.h"
#include "orvi_utils.h"
#include "local_mqtt.h"
#include "tovra_ctrl.h"
#include "tovra_event.h"
#include "tovra_poll.h"
#include "tovra_queue.h"
#include "tovra_scene.h"
#include "tovra_sql.h"
#include "tovra_uart.h"

namespace {

using orvi_json::json_ptr;

// Longest "pack" text an item may carry.
const size_t kPackMax = 16383;
// Most messages waiting; a flood beyond it is dropped with a log line.
const size_t kListMax = 1024;

struct received_t {
    orvi::Mutex mu ORVI_LEAF_LOCK;
    std::deque<std::pair<std::string, std::string>> list GUARDED_BY(mu);
    orvi::CondVar arrived;  // signalled with each message appended
};
received_t &received() {
    static received_t *r = new received_t;
    return *r;
}

bool text_is(const cJSON *v, const char *text) {
    return cJSON_IsString(v) && strcmp(v->valuestring, text) == 0;
}

// "/key": the pairing key starts the module's pairing; a reset empties the
// lighting tables.
int tovra_key_handle(const char *, const char *item) {
    json_ptr plain = tovra_event_pack_get(__func__, item);
    if (!plain) return -1;
    tovra_for_each_pair(plain.get(), [](const cJSON *name, const cJSON *value) {
        if (!text_is(name, "key")) {
            TOVRA_LOG(TOVRA_DEBUG_LOG, "[%s]not a key event", "tovra_key_handle");
        } else if (text_is(value, "matching")) {
            at_pairstart_msg_add_queue();
            tovra_pair_send(0);
        } else if (text_is(value, "reset")) {
            orvi_rm_orvi_info_db();
        } else {
            TOVRA_LOG(TOVRA_DEBUG_LOG, "[%s]not a success value", "tovra_key_handle");
        }
    });
    return 0;
}

// "/host": the end of the host's pairing ends the module's.
int tovra_status_handle(const char *, const char *item) {
    json_ptr plain = tovra_event_pack_get(__func__, item);
    if (!plain) return -1;
    tovra_for_each_pair(plain.get(), [](const cJSON *name, const cJSON *value) {
        if (text_is(name, "matching") && (text_is(value, "success") || text_is(value, "fail")))
            at_pairstop_msg_add_queue();
    });
    return 0;
}

// "scene/broadcast": the host runs a scene on the lights.
int tovra_scene_ctrl_handle(const char *, const char *item) {
    json_ptr plain = tovra_event_pack_get(__func__, item);
    if (!plain) return -1;
    const cJSON *id = cJSON_GetObjectItemCaseSensitive(plain.get(), "subSceneID");
    if (!cJSON_IsNumber(id) || id->valuedouble < 1 || id->valuedouble > 65535 ||
        id->valuedouble != static_cast<double>(id->valueint)) {
        TOVRA_LOG(TOVRA_DEBUG_ERROR, "[%s]subSceneID missing or not 1 to 65535", __func__);
        return -1;
    }
    const uint32_t scene = static_cast<uint32_t>(id->valueint);
    if (tovra_trivox_scene_send_apply(scene) != 0) return -1;
    tovra_trivox_scene_status_apply(scene);
    tovra_trivox2_sceneid_send(scene);
    return 0;
}

const char *const kTopics[] = {
    "/jsonRequest/#",  "deletedev8app/#", "/key",       "/host",        "scene/set/#",
    "scene/deleteb/#", "scene/bind/#",    "scene/unbind/#", "scene/broadcast", "/parameter",
    "/scene/lock2",    "tovra/check",     "device/bind",
};

}  // namespace

json_ptr tovra_event_pack_get(const char *func, const char *item) {
    json_ptr root(cJSON_Parse(item ? item : ""));
    if (!root) {
        TOVRA_LOG(TOVRA_DEBUG_JSON, "[FA_CJSON][%s]cJSON_Parse error!", func);
        return nullptr;
    }
    if (cJSON_IsNumber(cJSON_GetObjectItemCaseSensitive(root.get(), "r"))) return nullptr;
    const cJSON *pack = cJSON_GetObjectItemCaseSensitive(root.get(), "pack");
    if (!cJSON_IsString(pack) || strlen(pack->valuestring) > kPackMax) {
        TOVRA_LOG(TOVRA_DEBUG_JSON, "[FA_CJSON][%s]get [pack] string error!", func);
        return nullptr;
    }
    std::string text = pack->valuestring;
    const std::string key = product_get_random_key();
    json_ptr plain(key.empty() || orvi_aes_decrypt(key.c_str(), text) != 0 ? nullptr : cJSON_Parse(text.c_str()));
    if (!plain) TOVRA_LOG(TOVRA_DEBUG_JSON, "[FA_CJSON][%s]cjson parse [pack] error!", func);
    return plain;
}

const tovra_event_handle_map_t tovra_event_handle_map[TOVRA_EVENT_HANDLE_MAP_SIZE] = {
    {"/jsonRequest", tovra_ctrl_handle},
    {"deletedev8app/", tovra_device_delete_handle},
    {"/key", tovra_key_handle},
    {"/host", tovra_status_handle},
    {"scene/set", tovra_scene_delete_handle},
    {"scene/set", tovra_scene_set_handle},
    {"scene/deleteb/", tovra_scene_deleteb_handle},
    {"scene/bind/", tovra_scene_bind_handle},
    {"scene/unbind/", tovra_scene_unbind_handle},
    {"scene/broadcast", tovra_scene_ctrl_handle},
    {"/parameter", tovra_scene_lock_handle},
    {"/scene/lock2", tovra_scene2_lock_handle},
    {"tovra/check", tovra_query_device_handle},
    {"device/bind", tovra_device_bind_handle},
};

int tovra_event_dispatch_handle(const char *topic, const char *item) {
    if (!topic) {
        ORVI_LOGW("[TOVRA]tovra topic is null!\n\r");
        return -1;
    }
    bool matched = false;
    for (const tovra_event_handle_map_t &e : tovra_event_handle_map) {
        if (strncmp(topic, e.key, strlen(e.key)) != 0) continue;
        matched = true;
        e.handler(topic, item ? item : "");
    }
    if (!matched) {
        ORVI_LOGW("[TOVRA]tovra topic can't paired\n\r");
        return -1;
    }
    return 0;
}

void tovra_env_receiver(const char *topic, const char *data) {
    if (!topic || !data) return;
    ORVI_LOGD("[TOVRA]tovra_env_receiver:%s --> [%s]\n\r", data, topic);
    received_t &r = received();
    orvi::MutexLock lk(r.mu);
    if (r.list.size() >= kListMax) {
        ORVI_LOGW("[TOVRA]%zu messages wait: '%s' dropped", r.list.size(), topic);
        return;
    }
    r.list.emplace_back(topic, data);
    r.arrived.signal();
}

int tovra_sub_func(void) {
    char clientid[32];
    snprintf(clientid, sizeof clientid, "%s_%s", "tovra", "123");
    return local_sub_topic_3(clientid, kTopics, static_cast<int>(sizeof kTopics / sizeof kTopics[0]),
                             tovra_env_receiver);
}

bool tovra_evnt_msg_handle_one(void) {
    std::pair<std::string, std::string> m;
    {
        received_t &r = received();
        orvi::MutexLock lk(r.mu);
        if (r.list.empty()) return false;
        m = std::move(r.list.front());
        r.list.pop_front();
    }
    const char *cursor = m.second.c_str();
    std::string item;
    while (get_json_item_iter_str(&cursor, item) == 0) tovra_event_dispatch_handle(m.first.c_str(), item.c_str());
    ORVI_LOGD("[TOVRA]tovra json package analytic done!\n\r");
    return true;
}

bool tovra_evnt_msg_wait(unsigned ms) {
    received_t &r = received();
    orvi::MutexLock lk(r.mu);
    return r.arrived.wait_ms(r.mu, ms, [&r]() REQUIRES(r.mu) { return !r.list.empty(); });
}

size_t tovra_evnt_msg_count(void) {
    received_t &r = received();
    orvi::MutexLock lk(r.mu);
    return r.list.size();
}
