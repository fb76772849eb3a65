#include "local_mqtt.h"

#include <MQTTAsync.h>
#include <cJSON.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <new>
#include <unordered_map>

#include "orvi_field.h"
#include "orvi_flash.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_system.h"

orvi::Mutex local_mqtt_settings_mu;
orvi::Mutex local_mqtt_life_mu;  // the count of the transport's threads, and their wake-ups
orvi::Mutex local_mqtt_drop_log_mu;
// Creation and first connection of the first kind of subscriber.
orvi::Mutex local_mqtt_sub_create_mu;
orvi::Mutex local_mqtt_sub3_list_mu;
// Creation and first connection of the second kind of subscriber's clients.
orvi::Mutex local_mqtt_client_create_mu;
orvi::Mutex local_mqtt_clients_mu;
orvi::Mutex local_mqtt_inbound_mu;
orvi::Mutex local_mqtt_randomkey_mu;

namespace {

constexpr unsigned kPublishWaitMs = 3000;
constexpr unsigned kSubscribeWaitMs = 5000;
constexpr int kConnectAttempts = 19;
// Received messages of second-kind clients waiting for delivery, per list
// and per client, while a callback is slow.
constexpr size_t kInboundMax = 2000;
// Drops of one list are summarised every this many, or this often.
constexpr uint64_t kDropLogEvery = 100;
constexpr uint64_t kDropLogMs = 10000;

// ---- Settings (the hooks may change them before the service starts).

struct settings_t {
    std::string uri = LOCAL_MQTT_SERVER_URI;
    std::string pub_prefix = "LocalPub";
    int pool = LOCAL_PUB_POOL_SIZE;
};
settings_t &settings_ref() REQUIRES(local_mqtt_settings_mu) {
    static settings_t *s = new settings_t;
    return *s;
}
settings_t settings() {
    orvi::MutexLock lk(local_mqtt_settings_mu);
    return settings_ref();
}

// ---- Life of the transport's threads.

std::atomic<bool> g_running{false};
std::atomic<bool> g_started{false};
orvi::CondVar g_life_cv;
int g_threads GUARDED_BY(local_mqtt_life_mu) = 0;

// Sleeps `ms`, cut short when the transport stops; false when it stops.
bool svc_sleep(unsigned ms) {
    orvi::MutexLock lk(local_mqtt_life_mu);
    g_life_cv.wait_ms(local_mqtt_life_mu, ms, [] { return !g_running.load(); });
    return g_running.load();
}

// Wakes whoever waits for a connection (see conn_wait_up).
void notify_life() {
    orvi::MutexLock lk(local_mqtt_life_mu);
    g_life_cv.signal_all();
}

struct thread_exit_guard {
    ~thread_exit_guard() {
        orvi::MutexLock lk(local_mqtt_life_mu);
        --g_threads;
        g_life_cv.signal_all();
    }
};

bool start_thread(void *(*fn)(void *), void *arg, const char *name) {
    {
        orvi::MutexLock lk(local_mqtt_life_mu);
        ++g_threads;
    }
    pthread_t tid;
    if (orvi_pthread_create_detach(&tid, nullptr, fn, arg, name) == 0) return true;
    orvi::MutexLock lk(local_mqtt_life_mu);
    --g_threads;
    g_life_cv.signal_all();
    return false;
}

uint64_t now_ms() {
    return orvi_port_monotonic_ms();
}

// ---- The outbound lists and what happened to their messages.

local_pub_list &pub_list() {
    // Never destroyed: detached threads use it until the process ends.
    static local_pub_list *l =
        new local_pub_list(LOCAL_PUB_CONTROL_MAX, LOCAL_PUB_STATUS_MAX, LOCAL_PUB_EQUAL_LEN_GAP_MS);
    return *l;
}

std::atomic<uint64_t> g_published{0};
std::atomic<uint64_t> g_failed{0};
std::atomic<uint64_t> g_dropped[2];
std::atomic<local_mqtt_observer_t> g_observer{nullptr};

const char *list_name(int list) {
    return list == LOCAL_PUB_LIST_STATUS ? "status" : "control";
}

// A full list drops its oldest message on every push. The first drop of an
// outage says what goes first, later ones are summarised, and the first push
// that finds room again closes the episode.
struct drop_log_t {
    std::atomic<bool> in_episode[2];
    uint64_t unlogged[2] GUARDED_BY(local_mqtt_drop_log_mu) = {0, 0};
    uint64_t last_ms[2] GUARDED_BY(local_mqtt_drop_log_mu) = {0, 0};
};

drop_log_t &drop_log() {
    static drop_log_t *d = new drop_log_t();
    return *d;
}

void note_push(int list, const local_pub_drop_t &d) {
    drop_log_t &L = drop_log();
    if (!d.dropped && !L.in_episode[list].load()) return;
    if (d.dropped) ++g_dropped[list];
    orvi::MutexLock lk(local_mqtt_drop_log_mu);
    const uint64_t now = now_ms();
    const unsigned long long total = g_dropped[list].load();
    if (!d.dropped) {
        if (!L.in_episode[list]) return;
        ORVI_LOGI("[LOCAL]:%s list has room again (%llu of its messages dropped in all)", list_name(list),
                  total);
        L.in_episode[list] = false;
        L.unlogged[list] = 0;
        return;
    }
    if (!L.in_episode[list]) {
        if (list == LOCAL_PUB_LIST_STATUS) {
            ORVI_LOGW(
                "[LOCAL]:status list full (%d): dropped the oldest status message (%s, %zu bytes); "
                "stale status goes first, control messages are kept",
                LOCAL_PUB_STATUS_MAX, d.msg.topic.c_str(), d.msg.payload.size());
        } else {
            ORVI_LOGW(
                "[LOCAL]:control list full (%d): dropped the oldest control message (%s, %zu bytes, "
                "retain %d)",
                LOCAL_PUB_CONTROL_MAX, d.msg.topic.c_str(), d.msg.payload.size(), d.msg.isretain);
        }
        L.in_episode[list] = true;
        L.unlogged[list] = 0;
        L.last_ms[list] = now;
        return;
    }
    if (++L.unlogged[list] >= kDropLogEvery || now - L.last_ms[list] >= kDropLogMs) {
        ORVI_LOGW(
            "[LOCAL]:%s list still full: %llu more of its oldest messages dropped (%llu in all), the last "
            "on %s",
            list_name(list), static_cast<unsigned long long>(L.unlogged[list]), total, d.msg.topic.c_str());
        L.unlogged[list] = 0;
        L.last_ms[list] = now;
    }
}

// ---- Requests waiting for the client library's answer.

class request_table {
  public:
    static constexpr int kPending = INT_MIN;
    uint64_t open(int aux = 0) {
        orvi::MutexLock lk(m_);
        uint64_t id = ++next_;
        req_[id] = {kPending, aux};
        return id;
    }
    int aux(uint64_t id) {
        orvi::MutexLock lk(m_);
        auto it = req_.find(id);
        return it == req_.end() ? 0 : it->second.aux;
    }
    // An answer to a forgotten request (one that timed out) is ignored.
    void finish(uint64_t id, int rc) {
        orvi::MutexLock lk(m_);
        auto it = req_.find(id);
        if (it == req_.end()) return;
        it->second.rc = rc;
        cv_.signal_all();
    }
    void forget(uint64_t id) {
        orvi::MutexLock lk(m_);
        req_.erase(id);
    }
    // The answer, or `timeout_rc` when none came within `ms`.
    int wait(uint64_t id, unsigned ms, int timeout_rc) {
        orvi::MutexLock lk(m_);
        cv_.wait_ms(m_, ms, [&]() REQUIRES(m_) {
            auto it = req_.find(id);
            return it == req_.end() || it->second.rc != kPending || !g_running.load();
        });
        auto it = req_.find(id);
        int rc = it == req_.end() || it->second.rc == kPending ? timeout_rc : it->second.rc;
        req_.erase(id);
        return rc;
    }
    void wake_all() {
        orvi::MutexLock lk(m_);
        cv_.signal_all();
    }

  private:
    struct req_t {
        int rc;
        int aux;
    };
    // Taken last: no other lock is taken under it.
    orvi::Mutex m_ ORVI_LEAF_LOCK;
    orvi::CondVar cv_;
    std::unordered_map<uint64_t, req_t> req_ GUARDED_BY(m_);
    uint64_t next_ GUARDED_BY(m_) = 0;
};

request_table &requests() {
    static request_table *t = new request_table;
    return *t;
}

void *id_ctx(uint64_t id) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(id));
}
uint64_t ctx_id(void *ctx) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(ctx));
}

constexpr int kRequestTimeout = -1000;

void on_request_success(void *ctx, MQTTAsync_successData *) {
    requests().finish(ctx_id(ctx), 0);
}

void on_request_failure(void *ctx, MQTTAsync_failureData *r) {
    requests().finish(ctx_id(ctx), r && r->code != 0 ? r->code : MQTTASYNC_FAILURE);
}

// A SUBACK may refuse a topic (granted QoS 0x80): the request failed.
void on_subscribe_success(void *ctx, MQTTAsync_successData *r) {
    uint64_t id = ctx_id(ctx);
    int count = requests().aux(id);
    int rc = 0;
    if (r && count == 1 && r->alt.qos == 0x80) rc = 0x80;
    if (r && count > 1 && r->alt.qosList) {
        for (int i = 0; i < count; ++i)
            if (r->alt.qosList[i] == 0x80) rc = 0x80;
    }
    requests().finish(id, rc);
}

// ---- One client connection of the transport.

struct local_conn {
    std::string clientid;
    int connect_timeout_s = 30;
    std::atomic<MQTTAsync> handle{nullptr};
    std::atomic<int> flag_local_conlost{0};
    std::atomic<int> flag_connect_local_fail{1};
    std::atomic<int> flag_subscribe_fail{0};
    std::atomic<int> connected{0};
    std::atomic<int> attempt_failed{0};
    std::atomic<int> last_fail_code{0};
    std::atomic<unsigned> generation{0};  // successful connections so far
    MQTTAsync_messageArrived *on_message = nullptr;
    // Runs on the library's thread after every successful connection.
    void (*on_connected)(local_conn *) = nullptr;
    void *owner = nullptr;
};

void conn_lost_cb(void *ctx, char *cause) {
    auto *c = static_cast<local_conn *>(ctx);
    c->connected = 0;
    c->flag_local_conlost = 1;
    ORVI_LOGW("Local mqtt connection lost......[%s]%s%s", c->clientid.c_str(), cause ? " " : "",
              cause ? cause : "");
}

// Runs after every successful connection, the first one included. The
// client counts as connected only once its subscriptions are on their way
// again, so a caller that waited for the connection never races them.
void connected_cb(void *ctx, char *) {
    auto *c = static_cast<local_conn *>(ctx);
    ++c->generation;
    if (c->on_connected) c->on_connected(c);
    c->flag_connect_local_fail = 0;
    c->flag_local_conlost = 0;
    c->last_fail_code = 0;
    c->connected = 1;
    notify_life();
}

void connect_success_cb(void *ctx, MQTTAsync_successData *) {
    auto *c = static_cast<local_conn *>(ctx);
    c->flag_connect_local_fail = 0;
}

void connect_failure_cb(void *ctx, MQTTAsync_failureData *r) {
    auto *c = static_cast<local_conn *>(ctx);
    c->flag_connect_local_fail = 1;
    int code = r && r->code != 0 ? r->code : MQTTASYNC_FAILURE;
    // One line per cause, not one per retry.
    if (c->last_fail_code.exchange(code) != code) {
        ORVI_LOGW("[LOCAL]:%s cannot connect to the local broker (%d%s%s)%s", c->clientid.c_str(), code,
                  r && r->message ? ": " : "", r && r->message ? r->message : "",
                  code == 5 || code == 4 ? ", user or password refused" : "");
    }
    c->attempt_failed = 1;
    notify_life();
}

int discard_message(void *, char *topic, int, MQTTAsync_message *m) {
    MQTTAsync_freeMessage(&m);
    MQTTAsync_free(topic);
    return 1;
}

struct credentials_t {
    std::string user;
    std::string psw;
};

credentials_t local_mqtt_credentials() {
    credentials_t c;
    char user[20] = {0};
    char psw[64] = {0};
    c.user = get_data_from_config("mqttUser", user, sizeof user, TYPE_STRING) == 0 && user[0]
                 ? user
                 : LOCAL_MQTT_DEFAULT_USER;
    c.psw = get_data_from_config("mqttPsw", psw, sizeof psw, TYPE_STRING) == 0 && psw[0]
                ? psw
                : LOCAL_MQTT_DEFAULT_PSW;
    return c;
}

void conn_destroy(local_conn &c) {
    MQTTAsync h = c.handle.exchange(nullptr);
    if (h) MQTTAsync_destroy(&h);
    c.connected = 0;
}

// Creates the client and starts connecting. Any earlier client of this
// record is destroyed first: two live clients with one id would knock each
// other off the broker for ever. 0, or -1 when the connect could not start.
int conn_start(local_conn &c) {
    conn_destroy(c);
    const settings_t s = settings();
    MQTTAsync h = nullptr;
    int rc = MQTTAsync_create(&h, s.uri.c_str(), c.clientid.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    if (rc != MQTTASYNC_SUCCESS) {
        ORVI_LOGW("[LOCAL]:cannot create the client %s for %s (%d)", c.clientid.c_str(), s.uri.c_str(), rc);
        return -1;
    }
    MQTTAsync_setCallbacks(h, &c, conn_lost_cb, c.on_message ? c.on_message : discard_message, nullptr);
    MQTTAsync_setConnected(h, &c, connected_cb);
    c.handle = h;

    const credentials_t cred = local_mqtt_credentials();
    MQTTAsync_connectOptions o = MQTTAsync_connectOptions_initializer;
    o.keepAliveInterval = 60;
    o.cleansession = 1;
    o.username = cred.user.c_str();
    o.password = cred.psw.c_str();
    o.automaticReconnect = 1;
    o.minRetryInterval = 3;
    o.maxRetryInterval = 60;
    o.connectTimeout = c.connect_timeout_s;
    o.onSuccess = connect_success_cb;
    o.onFailure = connect_failure_cb;
    o.context = &c;
    c.attempt_failed = 0;
    c.flag_connect_local_fail = 1;
    rc = MQTTAsync_connect(h, &o);
    if (rc != MQTTASYNC_SUCCESS) {
        ORVI_LOGW("[LOCAL]:MQTT Connecting --> %s", c.clientid.c_str());
        return -1;
    }
    return 0;
}

// Starts a connection; when it cannot even start, tries again after
// 3 x (attempt + 1) seconds, up to 19 attempts, then gives up with no
// client. 0 or -1.
int local_mqtt_connect(local_conn &c) {
    for (int attempt = 1; attempt <= kConnectAttempts; ++attempt) {
        if (conn_start(c) == 0) return 0;
        if (!svc_sleep(3000u * (attempt + 1))) break;
    }
    conn_destroy(c);
    return -1;
}

int local_mqtt_connect_sub(local_conn &c) {
    c.connect_timeout_s = 30;
    return local_mqtt_connect(c);
}

int local_mqtt_connect_3(local_conn &c) {
    c.connect_timeout_s = 5;
    return local_mqtt_connect(c);
}

// Waits, `step_ms` at a time, until `c` is connected. A step that finds the
// attempt failed, or `silent_steps` steps without any answer, start a new
// client (the old one destroyed). False only when the transport stops.
bool conn_wait_up(local_conn &c, int (*connect)(local_conn &), unsigned step_ms, int silent_steps) {
    int silent = 0;
    for (;;) {
        {
            orvi::MutexLock lk(local_mqtt_life_mu);
            g_life_cv.wait_ms(local_mqtt_life_mu, step_ms,
                              [&] { return !g_running.load() || c.connected.load() != 0; });
        }
        if (!g_running) return false;
        if (c.connected) return true;
        if (c.handle.load() == nullptr || c.attempt_failed || ++silent >= silent_steps) {
            silent = 0;
            while (connect(c) != 0) {
                if (!svc_sleep(3000)) return false;
            }
        }
    }
}

// Starts a subscribe request for `topics` with QoS 2. The request id, or 0
// when it could not start.
uint64_t subscribe_start(local_conn &c, const std::vector<std::string> &topics) {
    MQTTAsync h = c.handle.load();
    if (!h || topics.empty()) return 0;
    std::vector<char *> names;
    std::vector<int> qos(topics.size(), 2);
    for (const std::string &t : topics)
        names.push_back(const_cast<char *>(t.c_str()));
    uint64_t id = requests().open(static_cast<int>(topics.size()));
    MQTTAsync_responseOptions o = MQTTAsync_responseOptions_initializer;
    o.onSuccess = on_subscribe_success;
    o.onFailure = on_request_failure;
    o.context = id_ctx(id);
    int rc = MQTTAsync_subscribeMany(h, static_cast<int>(topics.size()), names.data(), qos.data(), &o);
    if (rc != MQTTASYNC_SUCCESS) {
        requests().forget(id);
        return 0;
    }
    return id;
}

void add_unique(std::vector<std::string> &list, const std::string &topic) {
    for (const std::string &t : list)
        if (t == topic) return;
    list.push_back(topic);
}

// Subscribes until the broker confirms: a request that cannot start is
// retried every 500 ms, one without an answer within 5 s is sent again.
// 0, or -1 when the transport stops.
int subscribe_confirmed(local_conn &c, const std::vector<std::string> &topics) {
    c.flag_subscribe_fail = 1;
    for (;;) {
        if (!g_running) return -1;
        uint64_t id = subscribe_start(c, topics);
        if (id == 0) {
            if (!svc_sleep(500)) return -1;
            continue;
        }
        int rc = requests().wait(id, kSubscribeWaitMs, kRequestTimeout);
        if (rc == 0) break;
        ORVI_LOGW("[LOCAL]:%s subscribe %s (%d), again", c.clientid.c_str(),
                  rc == kRequestTimeout ? "not confirmed in time" : "refused", rc);
        if (!svc_sleep(500)) return -1;
    }
    c.flag_subscribe_fail = 0;
    return 0;
}

// A clean session forgets its subscriptions with the connection: after an
// automatic reconnection the client subscribes everything again. Runs on the
// library's thread, so it only starts the request.
void resubscribe(local_conn *c, const std::vector<std::string> &topics) {
    if (topics.empty()) return;
    uint64_t id = subscribe_start(*c, topics);
    if (id == 0) {
        ORVI_LOGW("[LOCAL]:%s cannot subscribe its %zu topics again", c->clientid.c_str(), topics.size());
        return;
    }
    // Nobody waits for this one: forget it, its answer is ignored.
    requests().forget(id);
    ORVI_LOGI("[LOCAL]:%s subscribes its %zu topics again", c->clientid.c_str(), topics.size());
}

// Subscribes `topics`, then has `keep` file them with the topics subscribed
// again after each reconnection (under the lock that guards those). Filed
// only once confirmed: filed earlier, a connection just being made would
// subscribe them twice (and a retained message would arrive twice). A
// reconnection between the two steps may have missed them: then the
// subscription is made again.
template <class Keep>
int subscribe_and_keep(local_conn &c, const std::vector<std::string> &topics, Keep keep) {
    for (;;) {
        const unsigned gen = c.generation;
        if (subscribe_confirmed(c, topics) != 0) return -1;
        keep(topics);
        if (c.generation == gen) return 0;
    }
}

// ---- Publisher pool.

struct publisher_t {
    local_conn conn;
    local_pub_worker_t worker;
};

publisher_t *publishers() {
    static publisher_t *p = new publisher_t[LOCAL_PUB_POOL_SIZE];
    return p;
}

// Publishes one message with QoS 2 and waits up to 3 s for its completion.
int publish_sync(local_conn &c, const local_pub_msg_t &m) {
    MQTTAsync h = c.handle.load();
    if (!h) return MQTTASYNC_DISCONNECTED;
    uint64_t id = requests().open();
    MQTTAsync_responseOptions o = MQTTAsync_responseOptions_initializer;
    o.onSuccess = on_request_success;
    o.onFailure = on_request_failure;
    o.context = id_ctx(id);
    MQTTAsync_message msg = MQTTAsync_message_initializer;
    msg.payload = const_cast<char *>(m.payload.data());
    msg.payloadlen = static_cast<int>(m.payload.size());
    msg.qos = 2;
    msg.retained = m.isretain ? 1 : 0;
    int rc = MQTTAsync_sendMessage(h, m.topic.c_str(), &msg, &o);
    if (rc != MQTTASYNC_SUCCESS) {
        requests().forget(id);
        return rc;
    }
    return requests().wait(id, kPublishWaitMs, kRequestTimeout);
}

void *mqtt_publish_thread(void *arg) {
    thread_exit_guard guard;
    publisher_t &p = *static_cast<publisher_t *>(arg);
    local_pub_list &list = pub_list();
    bool warned = false;
    while (g_running) {
        // 1. Connect; wait in 1-second steps.
        if (local_mqtt_connect_sub(p.conn) != 0) {
            if (!svc_sleep(1000)) break;
            continue;
        }
        if (!conn_wait_up(p.conn, local_mqtt_connect_sub, 1000, 35)) break;
        ORVI_LOGI("[LOCAL]:%s connected to %s", p.conn.clientid.c_str(), settings().uri.c_str());
        warned = false;
        // 2. Drain the lists.
        while (g_running) {
            const uint64_t seen = list.version();
            const size_t control = list.size(LOCAL_PUB_LIST_CONTROL);
            if (control + list.size(LOCAL_PUB_LIST_STATUS) == 0) {
                list.wait_change(seen, 1000);
                continue;
            }
            if (!p.conn.connected) {
                if (!warned) {
                    if (control)
                        ORVI_LOGW("[LOCAL]:mqttPub client is not connected -->%s\n", p.conn.clientid.c_str());
                    else
                        ORVI_LOGW("[LOCAL]:mqtt client is not connected-->%s\n", p.conn.clientid.c_str());
                }
                warned = true;
                break;
            }
            local_pub_msg_t msg;
            uint64_t retry = 0;
            const uint64_t now = now_ms();
            if (!list.take(p.worker, now, msg, &retry)) {
                list.wait_change(seen, retry > now ? static_cast<unsigned>(retry - now) : 1000);
                continue;
            }
            int rc = publish_sync(p.conn, msg);
            if (rc == 0) {
                ++g_published;
            } else {
                ++g_failed;
                ORVI_LOGW("[LOCAL]:%s publish %s (%d): message dropped (%s, %zu bytes)",
                          p.conn.clientid.c_str(),
                          rc == kRequestTimeout ? "not completed within 3000 ms" : "failed", rc,
                          msg.topic.c_str(), msg.payload.size());
                if (p.conn.connected)
                    ORVI_LOGW("[LOCAL]:mqtt client is connected-->%s\n", p.conn.clientid.c_str());
                // Gone before the topic is free again: a late resend of the
                // failed message can never overtake the next one.
                conn_destroy(p.conn);
            }
            local_mqtt_observer_t obs = g_observer.load();
            if (obs) obs(msg, rc);
            list.done(msg.topic);
            if (rc != 0) break;
        }
    }
    conn_destroy(p.conn);
    return nullptr;
}

int localPub_thread_pool(void) {
    const settings_t s = settings();
    int started = 0;
    for (int n = 1; n <= s.pool; ++n) {
        publisher_t &p = publishers()[n - 1];
        char id[64];
        snprintf(id, sizeof id, "%s_%d", s.pub_prefix.c_str(), n);
        p.conn.clientid = id;
        p.worker = local_pub_worker_t();
        if (start_thread(mqtt_publish_thread, &p, id)) ++started;
    }
    return started == s.pool ? 0 : -1;
}

// ---- First kind of subscription: one client per subscriber name.

struct local_event_handle_t {
    local_conn conn;
    local_mqtt_cb_t callback = nullptr;
    orvi::Mutex topics_mutex ORVI_LEAF_LOCK;
    std::vector<std::string> topics GUARDED_BY(topics_mutex);  // subscribed again after each reconnection
};

std::list<std::unique_ptr<local_event_handle_t>> &local_event_sub_list_3() REQUIRES(local_mqtt_sub3_list_mu) {
    static auto *l = new std::list<std::unique_ptr<local_event_handle_t>>;
    return *l;
}

int sub3_message_cb(void *ctx, char *topic, int topic_len, MQTTAsync_message *m) {
    auto *rec = static_cast<local_event_handle_t *>(static_cast<local_conn *>(ctx)->owner);
    try {
        std::string t =
            topic_len > 0 ? std::string(topic, static_cast<size_t>(topic_len)) : std::string(topic);
        std::string p(static_cast<const char *>(m->payload), static_cast<size_t>(m->payloadlen));
        MQTTAsync_freeMessage(&m);
        MQTTAsync_free(topic);
        if (rec->callback) rec->callback(t.c_str(), p.c_str());
    } catch (const std::bad_alloc &) {
        ORVI_NO_MEM(m ? m->payloadlen : 0);
    }
    return 1;
}

void sub3_connected(local_conn *c) {
    auto *rec = static_cast<local_event_handle_t *>(c->owner);
    std::vector<std::string> topics;
    {
        orvi::MutexLock lk(rec->topics_mutex);
        topics = rec->topics;
    }
    resubscribe(c, topics);
}

local_event_handle_t *sub3_find(const std::string &name) {
    orvi::MutexLock lk(local_mqtt_sub3_list_mu);
    for (auto &r : local_event_sub_list_3())
        if (r->conn.clientid == name) return r.get();
    return nullptr;
}

// ---- Second kind of subscription: per-client topic maps and delivery.

struct topic_map_t {
    std::string topic;
    local_mqtt_cb_t cb;
};

struct id_info_t {
    local_mqtt_cb_t cb;
    std::string payload;
    std::string topic;
};

struct mqtt_client_t {
    local_conn conn;
    orvi::Mutex m ACQUIRED_AFTER(local_mqtt_clients_mu);
    orvi::CondVar cv;
    std::vector<topic_map_t> map_table GUARDED_BY(m);
    std::vector<std::string> topics GUARDED_BY(m);  // subscribed filters
    std::deque<id_info_t> sub_data_list GUARDED_BY(m);
    uint64_t dropped GUARDED_BY(m) = 0;
};

// A received message on its way to its client's maps.
struct local_sub_msg_t {
    std::string payload;
    std::string topic;
    mqtt_client_t *client;
};

std::list<std::unique_ptr<mqtt_client_t>> &local_client_list() REQUIRES(local_mqtt_clients_mu) {
    static auto *l = new std::list<std::unique_ptr<mqtt_client_t>>;
    return *l;
}

// local_event_mqtt_sub_list: control first, then status, each in arrival
// order (a topic's messages keep their order).
orvi::CondVar g_inbound_cv;
std::deque<local_sub_msg_t> &inbound(int list) REQUIRES(local_mqtt_inbound_mu) {
    static auto *l = new std::deque<local_sub_msg_t>[2];
    return l[list];
}

int sub_message_cb(void *ctx, char *topic, int topic_len, MQTTAsync_message *m) {
    auto *client = static_cast<mqtt_client_t *>(static_cast<local_conn *>(ctx)->owner);
    try {
        local_sub_msg_t msg;
        msg.topic = topic_len > 0 ? std::string(topic, static_cast<size_t>(topic_len)) : std::string(topic);
        msg.payload.assign(static_cast<const char *>(m->payload), static_cast<size_t>(m->payloadlen));
        msg.client = client;
        MQTTAsync_freeMessage(&m);
        MQTTAsync_free(topic);
        int list = local_pub_list::list_of(msg.topic);
        orvi::MutexLock lk(local_mqtt_inbound_mu);
        std::deque<local_sub_msg_t> &q = inbound(list);
        if (q.size() >= kInboundMax) {
            ORVI_LOGW("[LOCAL]:received %s list full (%zu): dropped the oldest (%s)", list_name(list),
                      q.size(), q.front().topic.c_str());
            q.pop_front();
        }
        q.push_back(std::move(msg));
        g_inbound_cv.signal();
    } catch (const std::bad_alloc &) {
        ORVI_NO_MEM(m ? m->payloadlen : 0);
    }
    return 1;
}

void sub_connected(local_conn *c) {
    auto *client = static_cast<mqtt_client_t *>(c->owner);
    std::vector<std::string> topics;
    {
        orvi::MutexLock lk(client->m);
        topics = client->topics;
    }
    resubscribe(c, topics);
}

// Offers one received message to the maps of the client that received it.
void sub_route(local_sub_msg_t &msg) {
    mqtt_client_t &c = *msg.client;
    orvi::MutexLock lk(c.m);
    bool any = false;
    for (const topic_map_t &e : c.map_table) {
        if (!local_topic_match(e.topic, msg.topic)) continue;
        if (c.sub_data_list.size() >= kInboundMax) {
            if (c.dropped++ % kDropLogEvery == 0)
                ORVI_LOGW("[LOCAL]:%s delivery list full (%zu): dropped the oldest (%s)",
                          c.conn.clientid.c_str(), c.sub_data_list.size(),
                          c.sub_data_list.front().topic.c_str());
            c.sub_data_list.pop_front();
        }
        c.sub_data_list.push_back({e.cb, msg.payload, msg.topic});
        any = true;
    }
    if (any) c.cv.signal();
}

void *sub_event_handle(void *) {
    thread_exit_guard guard;
    while (g_running) {
        local_sub_msg_t msg;
        {
            orvi::MutexLock lk(local_mqtt_inbound_mu);
            g_inbound_cv.wait_ms(local_mqtt_inbound_mu, 1000, []() REQUIRES(local_mqtt_inbound_mu) {
                return !g_running || !inbound(0).empty() || !inbound(1).empty();
            });
            if (!g_running) break;
            int list =
                !inbound(LOCAL_PUB_LIST_CONTROL).empty() ? LOCAL_PUB_LIST_CONTROL : LOCAL_PUB_LIST_STATUS;
            if (inbound(list).empty()) continue;
            msg = std::move(inbound(list).front());
            inbound(list).pop_front();
        }
        sub_route(msg);
    }
    return nullptr;
}

void *sub_handle_service(void *arg) {
    thread_exit_guard guard;
    mqtt_client_t &c = *static_cast<mqtt_client_t *>(arg);
    while (g_running) {
        id_info_t e;
        {
            orvi::MutexLock lk(c.m);
            c.cv.wait_ms(c.m, 1000, [&]() REQUIRES(c.m) { return !g_running || !c.sub_data_list.empty(); });
            if (!g_running) break;
            if (c.sub_data_list.empty()) continue;
            e = std::move(c.sub_data_list.front());
            c.sub_data_list.pop_front();
        }
        if (e.cb) e.cb(e.topic.c_str(), e.payload.c_str());
    }
    return nullptr;
}

mqtt_client_t *client_find(const std::string &id) {
    orvi::MutexLock lk(local_mqtt_clients_mu);
    for (auto &c : local_client_list())
        if (c->conn.clientid == id) return c.get();
    return nullptr;
}

int mqtt_local_event_subscribe_service(const std::string &clientid, const std::string &topic,
                                       local_mqtt_cb_t callback) {
    mqtt_client_t *client = nullptr;
    {
        orvi::MutexLock create(local_mqtt_client_create_mu);
        client = client_find(clientid);
        if (!client) {
            auto fresh = std::make_unique<mqtt_client_t>();
            fresh->conn.clientid = clientid;
            fresh->conn.on_message = sub_message_cb;
            fresh->conn.on_connected = sub_connected;
            fresh->conn.owner = fresh.get();
            client = fresh.get();
            {
                orvi::MutexLock lk(local_mqtt_clients_mu);
                local_client_list().push_back(std::move(fresh));
            }
            start_thread(sub_handle_service, client, "sub_handle_service");
            while (local_mqtt_connect_sub(client->conn) != 0) {
                if (!svc_sleep(1000)) return -1;
            }
        }
        if (!conn_wait_up(client->conn, local_mqtt_connect_sub, 1000, 35)) return -1;
    }
    {
        orvi::MutexLock lk(client->m);
        bool mapped = false;
        for (const topic_map_t &e : client->map_table) {
            if (e.topic != topic) continue;
            if (e.cb == callback) {
                ORVI_LOGI("%s already maps [%s] to this callback", clientid.c_str(), topic.c_str());
                return 0;
            }
            mapped = true;
        }
        client->map_table.push_back({topic, callback});
        if (mapped) {
            ORVI_LOGI("%s resubscribe!!!, only insert client sub handle list -->[%s]", clientid.c_str(),
                      topic.c_str());
            return 0;
        }
    }
    auto keep = [client](const std::vector<std::string> &topics) {
        orvi::MutexLock lk(client->m);
        for (const std::string &t : topics)
            add_unique(client->topics, t);
    };
    if (subscribe_and_keep(client->conn, {topic}, keep) != 0) return -1;
    ORVI_LOGI("%s subscribe [%s] success", clientid.c_str(), topic.c_str());
    return 0;
}

// ---- The host random key.

std::string g_host_randomkey GUARDED_BY(local_mqtt_randomkey_mu);

bool load_host_randomkey() {
    char key[17] = {0};
    if (get_data_from_config("randomkey", key, sizeof key, TYPE_STRING) != 0 || strlen(key) != 16)
        return false;
    orvi::MutexLock lk(local_mqtt_randomkey_mu);
    g_host_randomkey = key;
    return true;
}

// Waits for the key on its own thread: start-up must not hang on a file
// that lost it.
void *randomkey_wait_thread(void *) {
    thread_exit_guard guard;
    while (svc_sleep(1000)) {
        if (load_host_randomkey()) {
            ORVI_LOGI("[LOCAL]:host random key loaded");
            break;
        }
    }
    return nullptr;
}

}  // namespace

// ---- Configuration reading.

int get_data_from_config(const char *key, void *value, size_t size, int kind) {
    if (!key || !value || size == 0) return -1;
    const std::string path = orvi_path(ORVI_PARAMS_FILE);
    std::string text;
    if (!orvi_port_exists(path) || !orvi_port_read(path, text, ORVI_PARAMS_FILE_MAX)) {
        ORVI_LOGW("%s is not exist!\n", ORVI_PARAMS_FILE);
        return -1;
    }
    std::unique_ptr<cJSON, void (*)(cJSON *)> root(cJSON_ParseWithLength(text.data(), text.size()),
                                                   cJSON_Delete);
    if (!root || !cJSON_IsObject(root.get())) {
        ORVI_LOGW("%s is not a JSON object\n", ORVI_PARAMS_FILE);
        return -1;
    }
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(root.get(), key);
    if (!item) {
        ORVI_LOGW("%s key is not exist in %s\n", key, ORVI_PARAMS_FILE);
        return -1;
    }
    if (kind == TYPE_STRING) {
        if (!cJSON_IsString(item)) {
            ORVI_LOGW("%s in %s is not a string\n", key, ORVI_PARAMS_FILE);
            return -1;
        }
        size_t len = strlen(item->valuestring);
        if (len >= size) {
            ORVI_LOGW("%s in %s is too long (%zu, room for %zu)\n", key, ORVI_PARAMS_FILE, len, size - 1);
            return -1;
        }
        memcpy(value, item->valuestring, len + 1);
        return 0;
    }
    if (kind == TYPE_NUMBER) {
        if (!cJSON_IsNumber(item) || size < sizeof(int)) {
            ORVI_LOGW("%s in %s is not a number\n", key, ORVI_PARAMS_FILE);
            return -1;
        }
        int v = item->valueint;
        memcpy(value, &v, sizeof v);
        return 0;
    }
    ORVI_LOGW("%s: unknown kind %d\n", key, kind);
    return -1;
}

// ---- Service.

int local_mqtt_service(void) {
    if (g_started.exchange(true)) {
        ORVI_LOGW("[LOCAL]:local mqtt service already running");
        return 0;
    }
    g_running = true;
    if (!load_host_randomkey()) {
        ORVI_LOGW("[LOCAL]:no host random key in %s yet, waiting for it", ORVI_PARAMS_FILE);
        start_thread(randomkey_wait_thread, nullptr, "randomkey_wait");
    }
    const credentials_t cred = local_mqtt_credentials();
    ORVI_LOGI("[LOCAL]:local broker %s, user %s", settings().uri.c_str(), cred.user.c_str());
    start_thread(sub_event_handle, nullptr, "sub_event_handle");
    return localPub_thread_pool();
}

int mqtt_event_publish(const char *topic, const char *message, size_t length, int retain) {
    if (!topic || topic[0] == '\0') {
        ORVI_LOGW("topic is null or topic len is too small,sendmessage is %s\n", message ? message : "");
        return -1;
    }
    if (!message) {
        ORVI_LOGW("sendmessage is null\n");
        return -1;
    }
    const size_t topic_len = strnlen(topic, LOCAL_MQTT_TOPIC_MAX + 1);
    if (topic_len > LOCAL_MQTT_TOPIC_MAX) {
        ORVI_LOGW("topic %.*s... is longer than %d characters, message not published", LOCAL_MQTT_TOPIC_MAX,
                  topic, LOCAL_MQTT_TOPIC_MAX);
        return -1;
    }
    local_pub_msg_t msg;
    try {
        msg.topic.assign(topic, topic_len);
        msg.payload.assign(message, strnlen(message, length));
    } catch (const std::bad_alloc &) {
        ORVI_NO_MEM(length + 1);
    }
    msg.isretain = retain ? 1 : 0;
    const int list = local_pub_list::list_of(msg.topic);
    note_push(list, pub_list().push(std::move(msg)));
    return 0;
}

int delete_mqtt_retain(const char *topic) {
    return mqtt_event_publish(topic, "", 0, 1);
}

int local_mqtt_channel_write(const char *data, size_t size, const dev_socket_t *to, const orvi_subdev_ptr &) {
    if (!data || !to) {
        ORVI_LOGW("parameters error!");
        return -1;
    }
    std::string topic(orvi_field_view(to->topic));
    if (topic.empty()) topic = "/host";
    if (mqtt_event_publish(topic.c_str(), data, size, 0) != 0) {
        ORVI_LOGW("local_mqtt_event_publish is fail!");
        return -1;
    }
    return 0;
}

int local_sub_topic_3(const char *clientid, const char *const *topics, int count, local_mqtt_cb_t callback) {
    if (!clientid || !clientid[0] || !callback) {
        ORVI_LOGW("clientid or callback is null\n");
        return -1;
    }
    if (!topics || count <= 0) {
        ORVI_LOGW("%s: no topics to subscribe\n", clientid);
        return -1;
    }
    if (!g_running) {
        ORVI_LOGW("%s: the local mqtt service is not running\n", clientid);
        return -1;
    }
    std::vector<std::string> list;
    for (int i = 0; i < count; ++i) {
        if (!topics[i] || !topics[i][0]) {
            ORVI_LOGW("%s: topic %d is empty, skipped\n", clientid, i);
            continue;
        }
        add_unique(list, topics[i]);
    }
    if (list.empty()) return -1;

    local_event_handle_t *rec = nullptr;
    {
        orvi::MutexLock lk(local_mqtt_sub_create_mu);
        rec = sub3_find(clientid);
        if (!rec) {
            auto fresh = std::make_unique<local_event_handle_t>();
            fresh->conn.clientid = clientid;
            fresh->callback = callback;
            fresh->conn.on_message = sub3_message_cb;
            fresh->conn.on_connected = sub3_connected;
            fresh->conn.owner = fresh.get();
            fresh->conn.flag_connect_local_fail = 1;
            rec = fresh.get();
            {
                orvi::MutexLock l2(local_mqtt_sub3_list_mu);
                local_event_sub_list_3().push_back(std::move(fresh));
            }
            while (local_mqtt_connect_3(rec->conn) != 0) {
                if (!svc_sleep(3000)) return -1;
            }
            if (!conn_wait_up(rec->conn, local_mqtt_connect_3, 500, 10)) return -1;
            ORVI_LOGI("[LOCAL]:subscriber %s connected", clientid);
        } else if (rec->callback != callback) {
            ORVI_LOGW("%s already subscribes with another callback; the new topics go to the first one",
                      clientid);
        }
    }
    auto keep = [rec](const std::vector<std::string> &topics) {
        orvi::MutexLock lk(rec->topics_mutex);
        for (const std::string &t : topics)
            add_unique(rec->topics, t);
    };
    if (subscribe_and_keep(rec->conn, list, keep) != 0) return -1;
    for (const std::string &t : list)
        orvi_plain_write("      [%s]\r\n", t.c_str());
    return count;
}

int mqtt_local_event_subscribe(const char *clientid, const char *topic, local_mqtt_cb_t callback) {
    if (!clientid || !clientid[0] || !topic || !topic[0]) {
        ORVI_LOGW("clientid or topic is null");
        return -1;
    }
    if (!callback) {
        ORVI_LOGW("%s: callback is null", clientid);
        return -1;
    }
    if (!g_running) {
        ORVI_LOGW("%s: the local mqtt service is not running", clientid);
        return -1;
    }
    return mqtt_local_event_subscribe_service(clientid, topic, callback);
}

std::string local_mqtt_host_randomkey(void) {
    orvi::MutexLock lk(local_mqtt_randomkey_mu);
    return g_host_randomkey;
}

// ---- Hooks.

void local_mqtt_set_server_uri(const char *uri) {
    orvi::MutexLock lk(local_mqtt_settings_mu);
    settings_ref().uri = uri && uri[0] ? uri : LOCAL_MQTT_SERVER_URI;
}

void local_mqtt_set_pub_prefix(const char *prefix) {
    orvi::MutexLock lk(local_mqtt_settings_mu);
    settings_ref().pub_prefix = prefix && prefix[0] ? prefix : "LocalPub";
}

void local_mqtt_set_pool_size(int n) {
    orvi::MutexLock lk(local_mqtt_settings_mu);
    settings_ref().pool = n < 1 ? 1 : n > LOCAL_PUB_POOL_SIZE ? LOCAL_PUB_POOL_SIZE : n;
}

std::vector<local_pub_msg_t> local_mqtt_pending(int list) {
    return pub_list().snapshot(list);
}

void local_mqtt_pending_clear(void) {
    pub_list().clear();
}

int local_mqtt_flush(unsigned timeout_ms) {
    return pub_list().wait_idle(timeout_ms) ? 0 : -1;
}

void local_mqtt_set_publish_observer(local_mqtt_observer_t observer) {
    g_observer = observer;
}

local_mqtt_stats_t local_mqtt_stats(void) {
    local_mqtt_stats_t s;
    s.published = g_published;
    s.failed = g_failed;
    s.dropped[0] = g_dropped[0];
    s.dropped[1] = g_dropped[1];
    return s;
}

int local_mqtt_subscriber_count(void) {
    orvi::MutexLock lk(local_mqtt_sub3_list_mu);
    return static_cast<int>(local_event_sub_list_3().size());
}

int local_mqtt_client_count(void) {
    orvi::MutexLock lk(local_mqtt_clients_mu);
    return static_cast<int>(local_client_list().size());
}

void local_mqtt_shutdown(void) {
    if (!g_started) return;
    {
        orvi::MutexLock lk(local_mqtt_life_mu);
        g_running = false;
        g_life_cv.signal_all();
    }
    pub_list().wake_all();
    requests().wake_all();
    {
        orvi::MutexLock lk(local_mqtt_inbound_mu);
        g_inbound_cv.signal_all();
    }
    {
        orvi::MutexLock lk(local_mqtt_clients_mu);
        for (auto &c : local_client_list()) {
            orvi::MutexLock l2(c->m);
            c->cv.signal_all();
        }
    }
    {
        orvi::MutexLock lk(local_mqtt_life_mu);
        g_life_cv.wait(local_mqtt_life_mu, []() REQUIRES(local_mqtt_life_mu) { return g_threads == 0; });
    }
    // Every thread is gone: the clients can go, and with them their callbacks.
    orvi::MutexLock create(local_mqtt_sub_create_mu);
    orvi::MutexLock create2(local_mqtt_client_create_mu);
    {
        orvi::MutexLock lk(local_mqtt_sub3_list_mu);
        for (auto &r : local_event_sub_list_3())
            conn_destroy(r->conn);
        local_event_sub_list_3().clear();
    }
    {
        orvi::MutexLock lk(local_mqtt_clients_mu);
        for (auto &c : local_client_list())
            conn_destroy(c->conn);
        local_client_list().clear();
    }
    {
        orvi::MutexLock lk(local_mqtt_inbound_mu);
        inbound(0).clear();
        inbound(1).clear();
    }
    pub_list().clear();
    g_published = 0;
    g_failed = 0;
    g_dropped[0] = 0;
    g_dropped[1] = 0;
    {
        // A producer on another thread may still be filing a drop.
        orvi::MutexLock lk(local_mqtt_drop_log_mu);
        for (int list : {0, 1}) {
            drop_log().in_episode[list] = false;
            drop_log().unlogged[list] = 0;
        }
    }
    g_started = false;
}
