// The device self-check ("DevCheck") with its timer and worker thread, the
// switch bind/unbind relay with its answer subscriptions, and the cloud
// restore trigger. The self-check phase lives with device control (written
// when a default scene is broadcast); the request id, the timer and the
// switch-bind state are kept here under their own locks, shared between the
// request task, the timer tick, the worker and the local MQTT threads.
#include <pthread.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "event_publish.h"
#include "local_mqtt.h"
#include "local_mqtt_pack.h"
#include "orvi_bind_handlers.h"
#include "orvi_bind_util.h"
#include "orvi_host_event.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_subdev_ctrl.h"
#include "orvi_system.h"
#include "orvi_timer.h"
#include "orvi_subdev_ctrl.h"
#include "orvi_backup.h"

using namespace bindutil;

orvi::Mutex orvi_bind_check_mu;   // the self-check state
orvi::Mutex orvi_bind_switch_mu;  // the switch-bind state

namespace {

constexpr long kCheckMinMs = 20000;
constexpr long kCheckMaxMs = 60000;
constexpr long kCheckMsPerDev = 600;
constexpr unsigned kWorkerPollMs = 1000;
constexpr unsigned kWorkerRestMs = 5000;

// ---- Self-check state ------------------------------------------------------------

struct check_state_t {
    std::string reqid GUARDED_BY(orvi_bind_check_mu);  // `check_reqid`
    orvi_timer_t timer GUARDED_BY(orvi_bind_check_mu) = -1;
    bool worker_started GUARDED_BY(orvi_bind_check_mu) = false;
    bool worker_enabled GUARDED_BY(orvi_bind_check_mu) = true;
};
check_state_t g_check;
std::atomic<bool> g_check_fired{false};  // set by the timer, taken by the worker

void dev_checking_timer_cb(void *) {
    g_check_fired.store(true);
}

void *dev_checking_oper_thread(void *) {
    for (;;) {
        orvi_port_sleep_ms(kWorkerPollMs);
        if (dev_checking_step()) orvi_port_sleep_ms(kWorkerRestMs);
    }
    return nullptr;
}

// Creates the timer with `delay_ms` or re-arms it with that period.
int check_timer_arm(long delay_ms) {
    orvi::MutexLock lk(orvi_bind_check_mu);
    if (g_check.timer < 0) {
        g_check.timer = orvi_timer_create(ORVI_DEV_CHECK_TIMER, dev_checking_timer_cb, delay_ms, nullptr, 0);
        if (g_check.timer < 0) {
            ORVI_LOGW("%s timer is fail!", ORVI_DEV_CHECK_TIMER);
            return -1;
        }
        return 0;
    }
    return orvi_timer_change(g_check.timer, delay_ms);
}

void check_timer_stop() {
    orvi::MutexLock lk(orvi_bind_check_mu);
    if (g_check.timer >= 0) orvi_timer_stop(g_check.timer);
    g_check_fired.store(false);
}

int check_worker_start() {
    orvi::MutexLock lk(orvi_bind_check_mu);
    if (g_check.worker_started || !g_check.worker_enabled) return 0;
    pthread_t tid;
    if (orvi_pthread_create_detach(&tid, nullptr, dev_checking_oper_thread, nullptr,
                                   "dev_checking_oper_thread") != 0) {
        ORVI_LOGW("dev_checking_oper_thread create fail!");
        return -1;
    }
    g_check.worker_started = true;
    return 0;
}

void ask_online(int type) {
    if (uds_subdev_status_check_publish(type, "online", "0") != 0)
        ORVI_LOGW("online check of type %d not published", type);
}

// ---- Switch-bind state ------------------------------------------------------------

struct bind_state_t {
    std::string bind_reqid GUARDED_BY(orvi_bind_switch_mu);       // the last request id
    std::string bind_end_reqid GUARDED_BY(orvi_bind_switch_mu);   // the request id of the last configuration entry
    int scene_bind_res_flag GUARDED_BY(orvi_bind_switch_mu) = 0;  // the last "isWaitReq"
    int sent GUARDED_BY(orvi_bind_switch_mu) = 0;                 // entries published by the last request
    bool collecting GUARDED_BY(orvi_bind_switch_mu) = false;      // waiting for the devices' answers
    json_ptr bind_reply_json GUARDED_BY(orvi_bind_switch_mu);     // the answers collected
};
bind_state_t g_bind;
std::atomic<bool> g_bind_threads{false};

// {"t": "switchBindRes", "requestId", "bindRes"}; takes `replies`.
json_ptr bind_result(const std::string &reqid, json_ptr replies) {
    json_ptr res = new_object();
    cJSON_AddStringToObject(res.get(), "t", "switchBindRes");
    cJSON_AddStringToObject(res.get(), "requestId", reqid.c_str());
    cJSON_AddItemToObject(res.get(), "bindRes", replies ? replies.release() : cJSON_CreateArray());
    return res;
}

// One configuration entry, checked before anything is published.
struct bind_entry {
    const cJSON *item;
    std::string type, subMac, reqId;
    bool has_reqId;
};

void bind_resp_cb(const char *topic, const char *payload) {
    magic_bind_resp_handle(topic, payload);
}

void *bind_sub_thread(void *arg) {
    const char *topic = static_cast<const char *>(arg);
    if (mqtt_local_event_subscribe(ORVI_BIND_RESP_CLIENT, topic, bind_resp_cb) != 0)
        ORVI_LOGW("'%s' subscription failed", topic);
    return nullptr;
}

}  // namespace

// ---- Self-check ------------------------------------------------------------------------

long dev_checking_delay_ms(uint32_t devCnt) {
    long ms = static_cast<long>(devCnt) * kCheckMsPerDev;
    if (ms < kCheckMinMs) ms = kCheckMinMs;
    if (ms > kCheckMaxMs) ms = kCheckMaxMs;
    return ms / 2;
}

int orvi_dev_checking_handle(const cJSON *json, const orvi_subdev_ptr &dev) {
    if (!json) {
        ORVI_LOGW("devChk_json is null!");
        return -1;
    }
    const char *t = str_of(json, "t");
    if (!t || strcmp(t, "DevCheck") != 0) {
        ORVI_LOGW("t value isn't DevCheck");
        return -1;
    }
    const cJSON *oper = num_of(json, "oper");
    if (!oper) return 0;
    if (oper->valuedouble == 0) {
        ORVI_LOGW("exit the self checking !!!");
        scene_id_default_set(SCENE_ID_DEFAULT_IDLE);
        check_timer_stop();
        return 0;
    }
    if (scene_id_default_get() != SCENE_ID_DEFAULT_IDLE) {
        ORVI_LOGW("Device checking now.Repeate enter  ,ignore!!!");
        return 0;
    }
    std::string id = "error";
    if (const char *r = str_of(json, "requestId")) {
        if (strlen(r) >= ORVI_REQID_SIZE) {
            ORVI_LOGW("'requestId' of %zu characters is longer than %d, self-check refused", strlen(r),
                      ORVI_REQID_SIZE - 1);
            return -1;
        }
        id = r;
    } else {
        ORVI_LOGW("jreqid is null or type error");
    }
    {
        orvi::MutexLock lk(orvi_bind_check_mu);
        g_check.reqid = id;
    }
    event_failDevHttp_publish(0, id.c_str());
    orvi_tovra_scene_broadcast(DEFAULT_SCENE_OFF);
    // The phase moves with the broadcast even when no lighting module answers.
    scene_id_default_set(DEFAULT_SCENE_OFF);
    const product_host_counts_t counts = product_get_host_counts();
    const uint32_t can = counts.canCnt, d485 = counts.d485Cnt, tovra = counts.tovraCnt, cnt = counts.devCnt;
    if (can) ask_online(DEV_TYPE_CAN);
    if (d485) ask_online(DEV_TYPE_485);
    if (tovra) ask_online(DEV_TYPE_TOVRA);
    check_worker_start();
    const long delay = dev_checking_delay_ms(cnt);
    ORVI_LOGI("t_dev_checking_cb delay [%ld] ms times", delay);
    g_check_fired.store(false);
    return check_timer_arm(delay);
}

int dev_checking_step(void) {
    if (!g_check_fired.exchange(false)) return 0;
    orvi_host_status_upload_mqtt();
    const int phase = scene_id_default_get();
    if (phase == DEFAULT_SCENE_OFF) {
        ORVI_LOGI("scene  is DEFAULT_SCENE_OFF");
        orvi_tovra_scene_broadcast(DEFAULT_SCENE_ON);
        scene_id_default_set(DEFAULT_SCENE_ON);
        orvi::MutexLock lk(orvi_bind_check_mu);
        if (g_check.timer >= 0) orvi_timer_start(g_check.timer);
    } else if (phase == DEFAULT_SCENE_ON) {
        std::string id;
        {
            orvi::MutexLock lk(orvi_bind_check_mu);
            id = g_check.reqid;
        }
        event_failDevHttp_publish(1, id.c_str());
        scene_id_default_set(SCENE_ID_DEFAULT_IDLE);
        orvi_event_loop_send(ORVI_EVENT_CONNECT_UPLOAD, nullptr);
    }
    return 1;
}

int dev_checking_status(int scene, cJSON *array) {
    if (!array || (scene != DEFAULT_SCENE_OFF && scene != DEFAULT_SCENE_ON)) return -1;
    for (const orvi_subdev_ptr &d : product_subdev_list_snapshot()) {
        const orvi_subdev_fields_t f = orvi_subdev_snapshot(d);
        if (f.dev_type == DEV_TYPE_MINIPRO || f.dev_type == DEV_TYPE_NONE ||
            f.dev_type == DEV_TYPE_CENTCTRL || f.dev_type == DEV_TYPE_HOST)
            continue;
        const int pow = get_dev_pow_status(f.data.c_str());
        const std::string mac(orvi_field_view(f.mac));
        const bool failed = scene == DEFAULT_SCENE_OFF ? (pow == 1 || pow == -1) : (pow == 0 || pow == -1);
        if (!failed) continue;
        bool listed = false;
        const cJSON *m;
        cJSON_ArrayForEach(m, array) listed |= cJSON_IsString(m) && mac == m->valuestring;
        if (!listed) cJSON_AddItemToArray(array, cJSON_CreateString(mac.c_str()));
    }
    return 0;
}

// ---- Cloud restore ---------------------------------------------------------------------------

int orvi_cloudbackup_handle(const cJSON *json, const orvi_subdev_ptr &dev) {
    const cJSON *id = cJSON_GetObjectItemCaseSensitive(json, "fileId");
    const cJSON *mac = cJSON_GetObjectItemCaseSensitive(json, "hostMac");
    const cJSON *env = cJSON_GetObjectItemCaseSensitive(json, "env");
    if (!json || !id || !mac || !env) {
        ORVI_LOGW("json_id or json_mac or json_env is null");
        return -1;
    }
    long long file_id = 0;
    if (!int_in(id, 0, static_cast<double>(LONG_MAX), &file_id)) {
        ORVI_LOGW("id type is error");
        return -1;
    }
    if (!cJSON_IsString(mac)) {
        ORVI_LOGW("hostMac type is error");
        return -1;
    }
    if (!cJSON_IsString(env)) {
        ORVI_LOGW("env type is error");
        return -1;
    }
    // The restore request keeps the MAC in 16 and the environment in 9 characters.
    if (strlen(mac->valuestring) > 16 || strlen(env->valuestring) > 9) {
        ORVI_LOGW("hostMac '%.20s' or env '%.12s' is too long, restore refused", mac->valuestring,
                  env->valuestring);
        return -1;
    }
    if (set_restore_file_mac(mac->valuestring) != 0 || set_restore_file_download_flag(env->valuestring) != 0)
        return -1;
    set_restore_file_id(static_cast<long>(file_id));
    set_restore_touch_flag(1);
    return event_type_1_publish("/key", "key", "webRestore", 0, nullptr);
}

// ---- Switch bind relay -------------------------------------------------------------------

ORVI_HANDLER(request_handle_switchBindPush) {
    if (!json) return -1;
    const cJSON *type = cJSON_GetObjectItemCaseSensitive(json, "type");
    const cJSON *config = cJSON_GetObjectItemCaseSensitive(json, "config");
    const char *reqid = str_of(json, "requestId");
    const cJSON *wait = num_of(json, "isWaitReq");
    if (!type || !cJSON_IsArray(config) || !reqid || !wait) {
        ORVI_LOGW("type  or config or json_reqId or  json_reqflag of switchbindpush is null");
        return -1;
    }
    const int waiting = wait->valuedouble != 0 ? 1 : 0;
    if (strlen(reqid) >= ORVI_REQID_SIZE) {
        ORVI_LOGW("'requestId' of %zu characters is longer than %d, refused", strlen(reqid),
                  ORVI_REQID_SIZE - 1);
        return -1;
    }
    // Every entry is checked before any is published: a request is relayed
    // whole or not at all.
    std::vector<bind_entry> entries;
    const cJSON *item;
    cJSON_ArrayForEach(item, config) {
        bind_entry e{item, "", "", "", false};
        const char *et = str_of(item, "type");
        if (!et) {
            ORVI_LOGW("type valuestring of switchbindpush is failed format");
            return -1;
        }
        const char *sub = str_of(item, "subMac");
        if (!sub || !event_topic_level_ok(et, "switch bind type") ||
            !event_topic_level_ok(sub, "switch subMac")) {
            ORVI_LOGW("switch bind entry of type '%.20s' has no usable subMac or type, request refused", et);
            return -1;
        }
        const char *r = str_of(item, "reqId");
        if (r && strlen(r) >= ORVI_REQID_SIZE) {
            ORVI_LOGW("entry 'reqId' of %zu characters is longer than %d, refused", strlen(r),
                      ORVI_REQID_SIZE - 1);
            return -1;
        }
        e.type = et;
        e.subMac = sub;
        e.has_reqId = r != nullptr;
        e.reqId = r ? r : "";
        entries.push_back(std::move(e));
    }

    json_ptr result;
    {
        orvi::MutexLock lk(orvi_bind_switch_mu);
        g_bind.scene_bind_res_flag = waiting;
        if (waiting == 1 && g_bind.bind_reqid == reqid) {
            ORVI_LOGW("json_reqId is same");
            return -1;
        }
        g_bind.bind_reply_json.reset();
        g_bind.collecting = false;
        g_bind.bind_reqid = reqid;
        if (entries.empty()) {
            ORVI_LOGW("json_config format is error");
            return -1;
        }
        g_bind.bind_end_reqid = entries.back().reqId;
        ORVI_LOGI("bind_end_reqid is %s", g_bind.bind_end_reqid.c_str());
        json_ptr replies = new_array();
        for (const bind_entry &e : entries) {
            if (!waiting && e.has_reqId) {
                cJSON *o = cJSON_CreateObject();
                if (!o) ORVI_NO_MEM(sizeof(cJSON));
                cJSON_AddStringToObject(o, "reqId", e.reqId.c_str());
                cJSON_AddNumberToObject(o, "r", 200);
                cJSON_AddItemToArray(replies.get(), o);
            } else {
                ORVI_LOGI("json_config_reqid is null or isWaitReq is not 0");
            }
        }
        g_bind.sent = static_cast<int>(entries.size());
        if (waiting) {
            g_bind.bind_reply_json = std::move(replies);
            g_bind.collecting = true;
        } else {
            result = bind_result(g_bind.bind_reqid, std::move(replies));
        }
    }

    const std::string host = product_get_host_mac_str(), home = product_get_mac_str();
    for (const bind_entry &e : entries) {
        const std::string topic = "scene/" + e.type + "/" + e.subMac;
        const std::string text = print(e.item);
        json_ptr pkg(event_msg_package_aseemble(host.c_str(), 0, home.c_str(), 0, text.c_str()));
        const std::string out = print(pkg.get());
        if (out.empty() || mqtt_event_publish(topic.c_str(), out.c_str(), out.size(), 0) != 0) {
            ORVI_LOGW("switch bind event for '%s' not published", e.subMac.c_str());
            continue;
        }
        ORVI_LOGI("@@@switch bind event pulish %s ---> %s", text.c_str(), topic.c_str());
    }
    if (result) {
        event_switch_bind_publish(result.get());
    } else {
        magic_bind_scene_thread();
    }
    return 0;
}

int magic_bind_resp_handle(const char *topic, const char *payload) {
    const bool bind = topic && strcmp(topic, ORVI_BIND_RESP_TOPIC) == 0;
    json_ptr evt(payload ? cJSON_Parse(payload) : nullptr);
    if (!evt) {
        ORVI_LOGW(bind ? "evt_json is null" : "event_json is null");
        return -1;
    }
    if (!str_of(evt.get(), "pack")) {
        ORVI_LOGW("pack_json is null");
        return -1;
    }
    const cJSON *i = num_of(evt.get(), "i");
    if (!i) {
        ORVI_LOGW("i_json is null");
        return -1;
    }
    const std::string key = i->valuedouble != 0 ? product_get_default_key() : product_get_random_key();
    json_ptr payload_json(local_mqtt_get_pack_str(payload, key.c_str(), 0));
    if (!payload_json) {
        ORVI_LOGW("payload_json is null");
        return -1;
    }
    const cJSON *plain = cJSON_GetObjectItemCaseSensitive(payload_json.get(), "plaintext");
    if (!cJSON_IsObject(plain)) {
        ORVI_LOGW("plaintext_json is null");
        return -1;
    }
    const char *reqid = str_of(plain, "reqId");
    if (!reqid) {
        ORVI_LOGW(bind ? "magic bind  reqid_json is NULL" : "magic unbind reqid_json is NULL");
        return -1;
    }
    json_ptr result;
    {
        orvi::MutexLock lk(orvi_bind_switch_mu);
        // Bind and unbind answers alike complete only a request that asked to
        // wait; with "isWaitReq" 0 its result has already gone out.
        if (!g_bind.collecting) {
            ORVI_LOGW("answer '%s' arrived while no switch bind waits, dropped", reqid);
            return -1;
        }
        cJSON *copy = cJSON_Duplicate(plain, 1);
        if (!copy) ORVI_NO_MEM(sizeof(cJSON));
        if (!g_bind.bind_reply_json) g_bind.bind_reply_json = new_array();
        cJSON_AddItemToArray(g_bind.bind_reply_json.get(), copy);
        if (g_bind.bind_end_reqid == reqid) {
            result = bind_result(g_bind.bind_reqid, std::move(g_bind.bind_reply_json));
            g_bind.collecting = false;
        }
    }
    if (result) event_switch_bind_publish(result.get());
    return 0;
}

int magic_bind_scene_thread(void) {
    if (g_bind_threads.exchange(true)) return 0;
    static const char *const topics[] = {ORVI_BIND_RESP_TOPIC, ORVI_UNBIND_RESP_TOPIC};
    int rc = 0;
    for (const char *topic : topics) {
        pthread_t tid;
        if (orvi_pthread_create_detach(&tid, nullptr, bind_sub_thread, const_cast<char *>(topic),
                                       "magic_bind_scene_thread") != 0) {
            ORVI_LOGW("'%s' subscription thread create fail!", topic);
            rc = -1;
        }
    }
    return rc;
}

// ---- Test entries -----------------------------------------------------------------------
// Declared in tests/support/orvi_testing.h; the daemon never calls them.

void orvi_bind_check_reset_for_test(void) {
    {
        orvi::MutexLock lk(orvi_bind_check_mu);
        g_check.timer = -1;
        g_check.reqid.clear();
    }
    g_check_fired.store(false);
    scene_id_default_set(SCENE_ID_DEFAULT_IDLE);
    orvi::MutexLock lk(orvi_bind_switch_mu);
    g_bind.bind_reqid.clear();
    g_bind.bind_end_reqid.clear();
    g_bind.scene_bind_res_flag = 0;
    g_bind.sent = 0;
    g_bind.collecting = false;
    g_bind.bind_reply_json.reset();
}

void orvi_bind_check_worker_for_test(bool start) {
    orvi::MutexLock lk(orvi_bind_check_mu);
    g_check.worker_enabled = start;
}
