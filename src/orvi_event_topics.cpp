// The local event topics: subscription, inbound queue and worker, package
// decoding, key choice, prefix routing, the pairing window and the host
// state the handlers keep. The handlers themselves: orvi_event_handlers.cpp.
#include "orvi_event_topics.h"

#include <pthread.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <utility>

#include "event_publish.h"
#include "local_mqtt.h"
#include "orvi_aes.h"
#include "orvi_event_handlers.h"
#include "orvi_event_post.h"
#include "orvi_field.h"
#include "orvi_json.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_seam.h"
#include "orvi_system.h"
#include "orvi_lock_order.h"
#include "orvi_thread_annotations.h"
#include "orvi_timer.h"
#include "orvi_utils.h"
#include "product_subdev.h"

using orvi_json::json_ptr;

namespace {

constexpr const char *kClientName = "master_control";
constexpr long kMatchingWindowMs = 1800000;
// How long start-up waits for the broker to confirm the subscription before
// it goes on (the subscription thread keeps trying).
constexpr unsigned kSubscribeWaitMs = 10000;
// How often the subscription thread looks whether the home MAC changed.
constexpr unsigned kHomeMacPollMs = 1000;

const char *const kFixedTopics[] = {
    "devInfoHttp/#",  "roomInfoHttp/#",   "store4massage/event/#",
    "/jsonStatus/#",  "/online",          "/key",
    "mqtt/connect",   "/parameter",       "/jsonRequest/#",
    "/notice/#",      "room/set/#",       "Timer/set/#",
    "scene/set/#",    "/host",            "/tovra/pair",
    "opGateway/info", "opGateway/tokens", "opDevices/update/#",
    "/binStatus/#",   "/jsonResponse/#",  "scene/broadcast",
    "/trivox2/scenebroadcast", "soUpdate", "delDevInfoHttp/#",
    "checkDevHttp",   "syncPersistentHttp", "switchBindPush",
    "/notice",        "/jsonResponse/#",  "scene/bind/resp",
    "scene/unbind/resp", "/appInsInfo",   "restore/cloud/touch",
    "host/info/request",
};

bool starts_with(const char *text, const char *prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// ---- Inbound queue --------------------------------------------------------------

struct inbound_t {
    orvi::Mutex mu ORVI_LEAF_LOCK;
    orvi::CondVar cv;
    std::deque<std::pair<std::string, std::string>> list GUARDED_BY(mu);
    bool started GUARDED_BY(mu) = false;
};

inbound_t &inbound() {
    static inbound_t *q = new inbound_t;  // lives for the process; the worker never ends
    return *q;
}

void *envt_rx_data_handler(void *) {
    inbound_t &q = inbound();
    for (;;) {
        std::pair<std::string, std::string> m;
        {
            orvi::MutexLock lk(q.mu);
            if (q.list.empty()) q.cv.wait_ms(q.mu, 100);
            if (q.list.empty()) continue;
            m = std::move(q.list.front());
            q.list.pop_front();
        }
        envt_payload_handle(m.first.c_str(), m.second.c_str());
        ORVI_LOGI("json package analytic done!");
        orvi_port_sleep_ms(1);
    }
    return nullptr;
}

// ---- Subscription ------------------------------------------------------------------

struct subscription_t {
    orvi::Mutex mu ORVI_LEAF_LOCK;
    orvi::CondVar cv;
    bool fixed_done GUARDED_BY(mu) = false;
};

subscription_t &subscription() {
    static subscription_t *s = new subscription_t;
    return *s;
}

int subscribe(const std::vector<std::string> &topics) {
    std::vector<const char *> raw;
    for (const std::string &t : topics)
        raw.push_back(t.c_str());
    return local_sub_topic_3(kClientName, raw.data(), static_cast<int>(raw.size()), local_env_receiver);
}

// The topics holding the home MAC, formed once it is known, and again each
// time it changes: a host provisioned after start, or moved to another home,
// hears its own timers, heartbeats and provisional statuses.
std::vector<std::string> home_topics(const std::string &home) {
    return {"TimerInfo/" + home, "/hb/" + home + "/#", "/fakeStatus/" + home + "/#"};
}

bool home_mac_usable(const std::string &home) {
    return event_topic_level_ok(home, "home MAC");
}

void *master_control_sub_service(void *) {
    const std::vector<std::string> fixed = master_control_topics("");
    subscribe(fixed);
    {
        subscription_t &s = subscription();
        orvi::MutexLock lk(s.mu);
        s.fixed_done = true;
        s.cv.signal_all();
    }
    std::string subscribed_home;
    for (;;) {
        const std::string home = product_get_mac_str();
        if (!home.empty() && home != subscribed_home && home_mac_usable(home)) {
            ORVI_LOGI("home MAC '%s': subscribing its topics", home.c_str());
            if (subscribe(home_topics(home)) == 3) subscribed_home = home;
        }
        orvi_port_sleep_ms(kHomeMacPollMs);
    }
    return nullptr;
}

// ---- Host state -------------------------------------------------------------------

struct host_state_t {
    orvi::Mutex mu ORVI_LEAF_LOCK;
    json_ptr tokens GUARDED_BY(mu);
};
host_state_t &host_state() {
    static host_state_t *s = new host_state_t;
    return *s;
}
std::atomic<int> g_scene_lock{0};
std::atomic<int> g_bind_result{0};

// ---- Pairing window -----------------------------------------------------------------

}  // namespace

orvi::Mutex orvi_event_topics_match_mu;

namespace {

orvi_timer_t g_matching_timer GUARDED_BY(orvi_event_topics_match_mu) = -1;

void matching_timeout_cb(void *) {
    orvi_event_post_ctx(ORVI_EVENT_MATCH_TIMEOUT, nullptr, 0);
}

// ---- Peers ----------------------------------------------------------------------------

const orvi_event_topics_peers_t kPeersNotBuilt = {
    [](int) {
        ORVI_NOT_BUILT("ble_advertise");
        return -1;
    },
    [](int) {
        ORVI_NOT_BUILT("backup_start");
        return -1;
    },
    [](int, int) {
        ORVI_NOT_BUILT("sd_restore_start");
        return -1;
    },
    [] {
        ORVI_NOT_BUILT("cloud_mqtt_disconnect");
        return -1;
    },
    [](std::string *) {
        ORVI_NOT_BUILT("firmware_check");
        return -1;
    },
    [](const cJSON *) {
        ORVI_NOT_BUILT("scene_touch_status");
        return -1;
    },
    [](const cJSON *) {
        ORVI_NOT_BUILT("scene_bind_rsp");
        return -1;
    },
    [](const cJSON *) {
        ORVI_NOT_BUILT("scene_unbind_rsp");
        return -1;
    },
    [] {
        ORVI_NOT_BUILT("roomlist_reload");
        return -1;
    },
    [](const char *, uint32_t) {
        ORVI_NOT_BUILT("tovra_room_set");
        return -1;
    },
    [](const char *) {
        ORVI_NOT_BUILT("tovra_device_delete");
        return -1;
    },
    [](const char *) {
        ORVI_NOT_BUILT("timers_clear");
        return -1;
    },
    [] {
        ORVI_NOT_BUILT("hostInfo_response_publish");
        return -1;
    },
    [](int) {
        ORVI_NOT_BUILT("set_host_net");
        return -1;
    },
};

orvi_seam<orvi_event_topics_peers_t> g_peers(&kPeersNotBuilt);

// ---- Decoding -----------------------------------------------------------------------

std::string record_key(const orvi_subdev_ptr &dev) {
    return std::string(orvi_field_view(orvi_subdev_snapshot(dev).key));
}

// Keys tried after the first one fails, where two sealing rules of the board
// meet on one topic: provisional scene statuses labelled with the host MAC
// but sealed with the home key, and lighting statuses sealed with the home
// key under "i" 2. The first key stays the one the siblings expect.
std::vector<std::string> fallback_keys(const char *topic, const char *cid, int i) {
    std::vector<std::string> keys;
    if (starts_with(topic, "/jsonRequest")) return keys;
    if (i == 0 && product_get_host_mac_str() == cid) keys.push_back(product_get_home_key());
    if (i == AES_KEY_TYPE_NONE) {
        if (orvi_subdev_ptr dev = product_get_subdev_form_host(cid)) keys.push_back(record_key(dev));
        keys.push_back(product_get_home_key());
    }
    return keys;
}

// Decrypts `pack` with the first key that yields a JSON document.
json_ptr open_pack(const std::string &pack, const std::string &first, const std::vector<std::string> &more) {
    std::vector<std::string> keys{first};
    keys.insert(keys.end(), more.begin(), more.end());
    for (size_t k = 0; k < keys.size(); ++k) {
        if (keys[k].size() < 16) continue;
        bool tried = false;
        for (size_t j = 0; j < k; ++j)
            tried |= keys[j] == keys[k];
        if (tried) continue;
        std::string text = pack;
        if (orvi_aes_decrypt(keys[k].c_str(), text) != 0) continue;
        json_ptr doc(cJSON_Parse(text.c_str()));
        if (doc) {
            if (k > 0) ORVI_LOGI("package opened with its fallback key %zu", k);
            return doc;
        }
    }
    return nullptr;
}

}  // namespace

// ---- Start-up --------------------------------------------------------------------------

std::vector<std::string> master_control_topics(const std::string &home_mac) {
    std::vector<std::string> out(std::begin(kFixedTopics), std::end(kFixedTopics));
    if (!home_mac.empty()) {
        for (std::string &t : home_topics(home_mac))
            out.push_back(std::move(t));
    }
    return out;
}

int orvi_uds_init(void) {
    inbound_t &q = inbound();
    {
        orvi::MutexLock lk(q.mu);
        if (q.started) return 0;
        q.started = true;
    }
    pthread_t tid;
    if (orvi_pthread_create_detach(&tid, nullptr, envt_rx_data_handler, nullptr, "envt_rx_data_handler") != 0) {
        ORVI_LOGW("envt_rx_data_handler thread failed");
        orvi::MutexLock lk(q.mu);
        q.started = false;
        return -1;
    }
    return 0;
}

int orvi_local_mqtt_sub(void) {
    pthread_t tid;
    if (orvi_pthread_create_detach(&tid, nullptr, master_control_sub_service, nullptr,
                                   "master_control_sub_service") != 0) {
        ORVI_LOGW("orvi_local_mqtt_sub thread failed");
        return -1;
    }
    subscription_t &s = subscription();
    const uint64_t deadline = orvi_port_monotonic_ms() + kSubscribeWaitMs;
    orvi::MutexLock lk(s.mu);
    while (!s.fixed_done) {
        const uint64_t now = orvi_port_monotonic_ms();
        if (now >= deadline) {
            ORVI_LOGW("master_control: not subscribed yet, start-up goes on");
            break;
        }
        s.cv.wait_ms(s.mu, static_cast<unsigned>(deadline - now));
    }
    return 0;
}

// ---- Inbound path -----------------------------------------------------------------------

void local_env_receiver(const char *topic, const char *payload) {
    if (!topic || !payload) return;
    inbound_t &q = inbound();
    orvi::MutexLock lk(q.mu);
    q.list.emplace_back(topic, payload);
    q.cv.signal();
}

int envt_payload_handle(const char *topic, const char *payload) {
    if (!topic || !payload) return 0;
    const char *cursor = payload;
    std::string object;
    int n = 0;
    while (get_json_item_iter_str(&cursor, object) == 0) {
        ++n;
        envt_subscribe_data_handle(topic, object.c_str());
    }
    if (n == 0) envt_subscribe_data_handle(topic, payload);
    return n;
}

std::string envt_package_key(const char *topic, const char *cid, const char *tcid, int i, std::string *which) {
    auto named = [which](const char *name, std::string key) {
        if (which) *which = name;
        return key;
    };
    if (starts_with(topic, "/jsonRequest")) {
        if (orvi_subdev_ptr dev = product_get_subdev_form_host(tcid))
            return named("target's own key", record_key(dev));
        return i != 0 ? named("default key", product_get_default_key())
                      : named("host random key", product_get_random_key());
    }
    if (i != 0) return named("default key", product_get_default_key());
    if (product_get_host_mac_str() == cid) return named("host random key", product_get_random_key());
    const std::string home = product_get_mac_str();
    if (!home.empty() && home == cid) return named("home key", product_get_home_key());
    if (orvi_subdev_ptr dev = product_get_subdev_form_host(cid)) return named("sender's own key", record_key(dev));
    if (std::strstr(topic, "jsonStatus")) {
        const std::string home_key = product_get_home_key();
        if (!home_key.empty()) return named("home key", home_key);
    }
    return named("host random key", product_get_random_key());
}

int envt_subscribe_data_handle(const char *topic, const char *package) {
    if (!topic) {
        ORVI_LOGW("topic  is null!");
        return -1;
    }
    if (!package || !package[0]) {
        ORVI_LOGW("evt_data  is null!");
        return -1;
    }
    json_ptr root(cJSON_Parse(package));
    if (!root) {
        ORVI_LOGW("message sub push json is null!");
        return -1;
    }
    const cJSON *cid = cJSON_GetObjectItemCaseSensitive(root.get(), "cid");
    const cJSON *tcid = cJSON_GetObjectItemCaseSensitive(root.get(), "tcid");
    const cJSON *pack = cJSON_GetObjectItemCaseSensitive(root.get(), "pack");
    const cJSON *i = cJSON_GetObjectItemCaseSensitive(root.get(), "i");
    if (!cid || !tcid || !pack || !i) {
        ORVI_LOGW("cid_json or tcid_json or pack_json or i_json is null!");
        return -1;
    }
    if (!cJSON_IsNumber(i)) {
        ORVI_LOGW(" i type is error!");
        return -1;
    }
    if (!cJSON_IsString(cid) || !cJSON_IsString(tcid) || !cJSON_IsString(pack)) {
        ORVI_LOGW("cid, tcid or pack is not a string!");
        return -1;
    }
    std::string which;
    const std::string key = envt_package_key(topic, cid->valuestring, tcid->valuestring, i->valueint, &which);
    json_ptr payload = open_pack(pack->valuestring, key, fallback_keys(topic, cid->valuestring, i->valueint));
    if (!payload) {
        ORVI_LOGW(" aes decrypt error!");
        ORVI_LOGW("payload_json is null! (topic %s, cid %.16s, i %d, %s)", topic, cid->valuestring,
                  i->valueint, which.c_str());
        return -1;
    }
    const int rc = event_dispatch_handle(topic, payload.get());
    if (rc == -1) ORVI_LOGW("topic :%s ,handle result is failed", topic);
    return rc;
}

// ---- Dispatch ----------------------------------------------------------------------------

namespace {
const event_handle_map_t kEventHandleMap[] = {
    {"/online", evnt_handler_cb_envType4},
    {"/key", evnt_handler_cb_envType1},
    {"/parameter", evnt_handler_cb_envType1},
    {"mqtt/connect", evnt_handler_cb_envType1},
    {"/jsonStatus", evnt_handler_cb_jsonStatus},
    {"/fakeStatus", evnt_handler_cb_jsonStatus},
    {"Timer/set", evnt_handler_cb_frames},
    {"/jsonRequest", evnt_handler_cb_jsonReq},
    {"/host", evnt_handler_cb_envType1},
    {"/tovra/pair", evnt_handler_cb_envType5},
    {"/check", evnt_handler_cb_envType1},
    {"opGateway/info", evnt_handler_cb_envType7},
    {"opGateway/tokens", evnt_handler_cb_envType1},
    {"opDevices/update", evnt_handler_cb_envType7},
    {"/binStatus", evnt_handler_cb_binStatus},
    {"/jsonResponse", evnt_handler_cb_jsonResp},
    {"/trivox2/scenebroadcast", evnt_handler_cb_linkBroc},
    {"store4massage/event/", evnt_handler_cb_envPersist},
    {"TimerInfo", evnt_handler_cb_timeInfo},
    {"devInfoHttp", evnt_handler_cb_envType7},
    {"roomInfoHttp", evnt_handler_cb_envType0},
    {"delDevInfoHttp", evnt_handler_cb_envType7},
    {"checkDevHttp", evnt_handler_cb_envType0},
    {"syncPersistentHttp", evnt_handler_cb_envType0},
    {"switchBindPush", evnt_handler_cb_frames},
    {"room/set", evnt_handler_cb_roomSet},
    {"scene/set/", evnt_handler_cb_sceneSet},
    {"soUpdate", evnt_handler_cb_soUpdate},
    {"/hb", evnt_handler_cb_hb},
    {"scene/broadcast", evnt_handler_cb_sceneBroc},
    {"/notice", evnt_handler_cb_notive},
    {"scene/bind/resp", evnt_handler_cb_BindRsp},
    {"scene/unbind/resp", evnt_handler_cb_BindRsp},
    {"/appInsInfo", evnt_handler_cb_appInfo},
    {"restore/cloud/touch", evnt_handler_cb_mAppResore},
    {"host/info/request", evnt_handler_cb_mAppRequest},
};
}  // namespace

const event_handle_map_t *event_handle_map_rows(size_t *count) {
    if (count) *count = sizeof kEventHandleMap / sizeof kEventHandleMap[0];
    return kEventHandleMap;
}

int event_dispatch_handle(const char *topic, cJSON *payload) {
    if (!topic) {
        ORVI_LOGW("topic  is null!");
        return -1;
    }
    for (const event_handle_map_t &row : kEventHandleMap) {
        if (starts_with(topic, row.topic)) return row.handler(topic, payload);
    }
    ORVI_LOGW("topic can't paired");
    return -1;
}

// ---- Pairing window -----------------------------------------------------------------------

int matching_timeout_timer_create(void) {
    orvi::MutexLock lk(orvi_event_topics_match_mu);
    if (g_matching_timer >= 0) return orvi_timer_start(g_matching_timer);
    g_matching_timer = orvi_timer_create("matching_timeout", matching_timeout_cb, kMatchingWindowMs, nullptr, 0);
    if (g_matching_timer < 0) {
        ORVI_LOGW("matching_timeout timer is fail!");
        return -1;
    }
    return 0;
}

int matching_timeout_timer_delete(void) {
    orvi::MutexLock lk(orvi_event_topics_match_mu);
    if (g_matching_timer < 0) return 0;
    return orvi_timer_delete(&g_matching_timer);
}

void matching_timeout_handler(void) {
    // Each matching state goes back to where it came from: from unmatched (3,
    // and 4 when a backup suspended it) to 0, from matched (2, 5) to 1.
    const uint8_t was = product_get_match_status();
    const uint8_t now = (was == 0 || was == 3 || was == 4) ? 0 : 1;
    product_set_match_status(now);
    evt_peer::ble_advertise(0);
    event_host_publish("matching", "fail", -1);
    event_host_publish("matching", now ? "matched" : "unmatch", -1);
    matching_timeout_timer_delete();
}

void evn_match_status_backup_enter(void) {
    const uint8_t was = product_get_match_status();
    if (was == 3) product_set_match_status(4);
    if (was == 2) product_set_match_status(5);
    if (was == 2 || was == 3) event_host_publish("matching", "fail", -1);
}

void evn_match_status_backup_leave(void) {
    const uint8_t was = product_get_match_status();
    if (was != 4 && was != 5) return;
    product_set_match_status(was == 4 ? 0 : 1);
    event_type_1_publish("/key", "key", "matching", -1, nullptr);
}

int evn_host_match_status_sync(void) {
    return event_host_publish("matching", product_get_match_status() ? "matched" : "unmatch", -1);
}

// ---- Host state ------------------------------------------------------------------------------

int uds_scene_lock_get(void) {
    return g_scene_lock.load();
}
int uds_bind_result_get(void) {
    return g_bind_result.load();
}
cJSON *uds_gateway_tokens_get(void) {
    host_state_t &s = host_state();
    orvi::MutexLock lk(s.mu);
    return s.tokens ? cJSON_Duplicate(s.tokens.get(), 1) : nullptr;
}
void uds_scene_lock_set(int lock) {
    g_scene_lock.store(lock);
}
void uds_bind_result_set(int result) {
    g_bind_result.store(result);
}
void uds_gateway_tokens_set(const cJSON *tokens) {
    json_ptr copy(tokens ? cJSON_Duplicate(tokens, 1) : nullptr);
    if (tokens && !copy) ORVI_NO_MEM(sizeof(cJSON));
    host_state_t &s = host_state();
    orvi::MutexLock lk(s.mu);
    s.tokens = std::move(copy);
}

// ---- Peers -------------------------------------------------------------------------------------

void orvi_event_topics_set_peers(const orvi_event_topics_peers_t *peers) {
    g_peers.install(peers);
}

namespace evt_peer {
#define PEER_CALL(member, ...) g_peers.get(&orvi_event_topics_peers_t::member)(__VA_ARGS__)
int ble_advertise(int on) {
    return PEER_CALL(ble_advertise, on);
}
int backup_start(int kind) {
    return PEER_CALL(backup_start, kind);
}
int sd_restore_start(int kind, int touch) {
    return PEER_CALL(sd_restore_start, kind, touch);
}
int cloud_disconnect(void) {
    return PEER_CALL(cloud_disconnect);
}
int firmware_check(std::string *result) {
    return PEER_CALL(firmware_check, result);
}
int scene_touch_status(const cJSON *body) {
    return PEER_CALL(scene_touch_status, body);
}
int scene_bind_rsp(const cJSON *payload) {
    return PEER_CALL(scene_bind_rsp, payload);
}
int scene_unbind_rsp(const cJSON *payload) {
    return PEER_CALL(scene_unbind_rsp, payload);
}
int roomlist_reload(void) {
    return PEER_CALL(roomlist_reload);
}
int tovra_room_set(const char *mac, uint32_t room_id) {
    return PEER_CALL(tovra_room_set, mac, room_id);
}
int tovra_device_delete(const char *mac) {
    return PEER_CALL(tovra_device_delete, mac);
}
int timers_clear(const char *mac) {
    return PEER_CALL(timers_clear, mac);
}
int host_info_publish(void) {
    return PEER_CALL(host_info_publish);
}
int set_host_net(int connected) {
    return PEER_CALL(set_host_net, connected);
}
#undef PEER_CALL
}  // namespace evt_peer
