// The cloud connection. One monitor thread owns the client handle: it alone
// creates, connects, disconnects and destroys it, so the handle never dies
// under a callback that is still using it. The client library's callbacks
// only raise flags and wake the monitor; the publisher sends under the
// handle's lock, so a teardown waits for a send in flight (at most its
// 3 s completion wait) and never pulls the handle from under it.
//
// Every connection subscribes the four topics of the home MAC it was built
// for and, right after, every topic ever asked through cloud_sub_topic: a
// broker that lost its sessions (restarted without persistence, or another
// broker from the dispatch server) serves them all the same.
#include <MQTTAsync.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <thread>

#include "cloud_mqtt_parts.h"
#include "orvi_log.h"
#include "orvi_port.h"

namespace {
// How long the monitor waits for a connection to end up subscribed.
constexpr unsigned kSubscribeWaitMs = 30000;
constexpr int kSendLossMax = 10;
constexpr int kSendFailMax = 10;
constexpr int kTimeoutMax = 9;
}  // namespace

std::string get_mqtt_client_id(const std::string &home_mac, const std::string &host_mac) {
    std::string id = home_mac + "-" + (host_mac.size() > 10 ? host_mac.substr(10, 6) : std::string());
    if (id.size() > 63) id.resize(63);
    return id;
}

class cloud_mqtt_client {
  public:
    explicit cloud_mqtt_client(cloud_mqtt_hooks_t h) : hooks_(std::move(h)) {}
    ~cloud_mqtt_client() { stop(); }

    int start() {
        if (started_.exchange(true)) return -1;
        monitor_ = std::thread([this] { monitor_main(); });
        publisher_ = std::thread([this] { publisher_main(); });
        receiver_ = std::thread([this] { receiver_main(); });
        return 0;
    }

    void stop() {
        stopping_.store(true);
        wake();
        {
            orvi::MutexLock lk(rx_mu_);
            rx_cv_.signal_all();
        }
        for (std::thread *t : {&monitor_, &publisher_, &receiver_})
            if (t->joinable()) t->join();
        orvi::MutexLock lk(client_mu_);
        destroy_locked();
    }

    int publish(const char *topic, int qos, int retain, const char *payload, size_t length) {
        mqtt_pub_msg_t m;
        if (cloud_pub_msg_make(topic, qos, retain, payload, length, &m) != 0) return -1;
        queues_.push(std::move(m), hooks_.home_mac());
        return 0;
    }

    int subscribe(const char *const *topics, int count) {
        if (!topics || count <= 0) return -1;
        std::vector<std::string> fresh;
        for (int k = 0; k < count; ++k) {
            const size_t n = topics[k] ? strnlen(topics[k], CLOUD_TOPIC_MAX + 1) : 0;
            if (n == 0 || n > CLOUD_TOPIC_MAX) {
                ORVI_LOGW("[Subscribe]:API topic %d empty or too long, refused", k);
                return -1;
            }
            fresh.emplace_back(topics[k], n);
        }
        {
            orvi::MutexLock lk(api_mu_);
            for (std::string &t : fresh)
                if (api_topics_.insert(t).second) api_pending_.push_back(std::move(t));
        }
        wake();
        return 0;
    }

    void disconnect() {
        // The monitor takes the link down and builds it again: a client is
        // only ever destroyed on its thread, never in a callback.
        flag_disc_.store(1);
        ORVI_LOGI("MQTTAsync_disconnect call normal");
        wake();
    }

    bool up() const { return subscribed_.load() == 1 && flag_connect_fail_.load() == 1 && flag_conlost_.load() != -1; }
    cloud_pub_queues &queues() { return queues_; }

  private:
    // ---- Callbacks: the client library's threads. Flags only.
    static void on_connect(void *ctx, MQTTAsync_successData *) {
        auto *self = static_cast<cloud_mqtt_client *>(ctx);
        self->flag_connect_fail_.store(1);
        self->want_subscribe_.store(true);
        self->wake();
    }
    static void on_connect_failure(void *ctx, MQTTAsync_failureData *r) {
        auto *self = static_cast<cloud_mqtt_client *>(ctx);
        ORVI_LOGW("[Connect]:connect failed, return code %d", r ? r->code : 0);
        self->flag_connect_fail_.store(-1);
        self->wake();
    }
    static void on_subscribe(void *ctx, MQTTAsync_successData *) {
        auto *self = static_cast<cloud_mqtt_client *>(ctx);
        ORVI_LOGI("[Subscribe]:Subscribe succeeded");
        self->subscribed_.store(1);
        self->report(1);
        self->wake();
    }
    static void on_subscribe_failure(void *ctx, MQTTAsync_failureData *r) {
        auto *self = static_cast<cloud_mqtt_client *>(ctx);
        ORVI_LOGW("[Subscribe]:Subscribe failed, return code %d", r ? r->code : 0);
        self->subscribed_.store(-1);
        self->report(0);
        self->wake();
    }
    static void on_api_subscribe(void *, MQTTAsync_successData *) {
        ORVI_LOGI("[Subscribe]:API CALL Subscribe succeeded");
    }
    static void on_api_subscribe_failure(void *ctx, MQTTAsync_failureData *) {
        auto *self = static_cast<cloud_mqtt_client *>(ctx);
        ORVI_LOGW("[Subscribe]:API CALL Subscribe failed");
        // Asked again on the next connection; this one is rebuilt.
        self->flag_disc_.store(1);
        self->wake();
    }
    static void on_send(void *ctx, MQTTAsync_successData *r) {
        auto *self = static_cast<cloud_mqtt_client *>(ctx);
        self->flag_sendloss_.store(0);
        self->flag_timeout_.store(0);
        self->flag_sendfail_.store(0);
        self->send_completed(r ? r->token : 0);
    }
    static void on_send_failure(void *ctx, MQTTAsync_failureData *r) {
        auto *self = static_cast<cloud_mqtt_client *>(ctx);
        self->send_completed(r ? r->token : 0);
        if (self->flag_sendfail_.fetch_add(1) + 1 > kSendFailMax) {
            ORVI_LOGW("[Publish]:MQTT send failure size is more than 10");
            self->flag_disc_.store(1);
            self->wake();
        }
    }
    static void on_connlost(void *ctx, char *cause) {
        auto *self = static_cast<cloud_mqtt_client *>(ctx);
        if (self->flag_disc_.load()) {
            ORVI_LOGW("[C_Reconnect]:flag_disc is %d\n", self->flag_disc_.load());
        } else {
            self->flag_conlost_.store(-1);
            ORVI_LOGW("[C_Reconnect]:Connection lost\n\n");
            ORVI_LOGW("[C_Reconnect]:cause: %s", cause ? cause : "unknown");
            ORVI_LOGW("[C_Reconnect]:Reconnecting\n\n");
        }
        self->report(0);
        self->wake();
    }
    static int on_message(void *ctx, char *topic, int topic_len, MQTTAsync_message *m) {
        auto *self = static_cast<cloud_mqtt_client *>(ctx);
        // Neither the topic nor the payload is terminated by the library.
        const size_t tlen = topic ? (topic_len > 0 ? static_cast<size_t>(topic_len) : strlen(topic)) : 0;
        const size_t plen = m && m->payload && m->payloadlen > 0 ? static_cast<size_t>(m->payloadlen) : 0;
        if (tlen == 0 || plen == 0) {
            ORVI_LOGW("[Subscribe]:empty cloud message dropped");
        } else if (tlen > CLOUD_TOPIC_MAX) {
            ORVI_LOGW("[Subscribe]:topic longer than %d characters dropped", CLOUD_TOPIC_MAX);
        } else {
            std::string t(topic, tlen);
            std::string p(static_cast<const char *>(m->payload), plen);
            if (t.find("firmware") != std::string::npos) {
                self->hooks_.firmware(t, p);
            } else if (plen > CLOUD_RX_PAYLOAD_MAX) {
                ORVI_LOGW("[Subscribe]:message->payloadlen > sizeof(rx_msg.payload):%d", m->payloadlen);
            } else {
                self->rx_push(std::move(t), std::move(p));
            }
        }
        MQTTAsync_freeMessage(&m);
        MQTTAsync_free(topic);
        return 1;
    }

    // ---- Send completion. The library's own completion wait polls in
    // 100 ms steps, which would cap the link at ten messages a second: the
    // send callbacks report completions here instead.
    void send_completed(MQTTAsync_token token) {
        orvi::MutexLock lk(done_mu_);
        // A completion nobody waits for any more (its wait timed out) is
        // forgotten once a few have piled up.
        if (done_tokens_.size() > 64) done_tokens_.clear();
        done_tokens_.insert(token);
        done_cv_.signal_all();
    }
    bool wait_send(MQTTAsync_token token, unsigned ms) {
        const uint64_t until = orvi_port_monotonic_ms() + ms;
        orvi::MutexLock lk(done_mu_);
        for (;;) {
            if (done_tokens_.erase(token)) return true;
            const uint64_t now = orvi_port_monotonic_ms();
            if (now >= until || stopping_.load()) return false;
            done_cv_.wait_ms(done_mu_, static_cast<unsigned>(until - now));
        }
    }

    // ---- Shared helpers.
    void wake() {
        orvi::MutexLock lk(wake_mu_);
        wake_seq_++;
        wake_cv_.signal_all();
    }
    // Sleeps up to `ms` or until woken; false once stopping.
    bool nap(unsigned ms) {
        orvi::MutexLock lk(wake_mu_);
        const uint64_t seen = wake_seq_;
        const uint64_t until = orvi_port_monotonic_ms() + ms;
        while (!stopping_.load() && wake_seq_ == seen) {
            const uint64_t now = orvi_port_monotonic_ms();
            if (now >= until) break;
            wake_cv_.wait_ms(wake_mu_, static_cast<unsigned>(until - now));
        }
        return !stopping_.load();
    }
    void report(int connected) {
        if (reported_up_.exchange(connected == 1) != (connected == 1)) hooks_.state(connected);
    }
    void rx_push(std::string t, std::string p) {
        orvi::MutexLock lk(rx_mu_);
        if (rx_.size() >= CLOUD_RX_QUEUE_MAX) {
            ORVI_LOGW("[Subscribe]:receive queue full, message on %s dropped", t.c_str());
            return;
        }
        rx_.emplace_back(std::move(t), std::move(p));
        rx_cv_.signal();
    }

    // ---- The client handle: the monitor's, and the publisher's under the lock.
    void destroy_locked() REQUIRES(client_mu_) {
        if (client_) MQTTAsync_destroy(&client_);
        client_ = nullptr;
    }

    // mqttAsyn_connect: 0, -1 create failed, -2 callbacks refused, -3 connect not started.
    int connect_once(const MQTT_Info_t &info, const std::string &client_id) {
        orvi::MutexLock lk(client_mu_);
        if (!client_) {
            int rc = MQTTAsync_create(&client_, info.host, client_id.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr);
            if (rc != MQTTASYNC_SUCCESS) {
                ORVI_LOGW("[Connect]:Failed to create async_client, return code %d", rc);
                client_ = nullptr;
                return -1;
            }
        }
        if (MQTTAsync_setCallbacks(client_, this, on_connlost, on_message, nullptr) != MQTTASYNC_SUCCESS) {
            destroy_locked();
            return -2;
        }
        MQTTAsync_connectOptions o = MQTTAsync_connectOptions_initializer;
        o.keepAliveInterval = 60;
        if (!first_connect_.load()) {
            ORVI_LOGI("[Connect]:program first start, cleansession set true");
            o.cleansession = 1;
        } else {
            o.cleansession = 0;
        }
        o.maxInflight = 65535;
        o.connectTimeout = 30;
        o.automaticReconnect = 0;
        o.username = info.username;
        o.password = info.password;
        o.onSuccess = on_connect;
        o.onFailure = on_connect_failure;
        o.context = this;
        int rc = MQTTAsync_connect(client_, &o);
        if (rc != MQTTASYNC_SUCCESS) {
            ORVI_LOGW("[Connect]:Failed to start connect, return code %d", rc);
            destroy_locked();
            return -3;
        }
        return 0;
    }

    void subscribe_home(const std::string &home) {
        const std::string t0 = "request/" + home + "/#", t2 = "airManageDevice/" + home,
                          t3 = "thirdRoomMap/" + home + "/partner";
        char *topics[] = {const_cast<char *>(t0.c_str()), const_cast<char *>("time"),
                          const_cast<char *>(t2.c_str()), const_cast<char *>(t3.c_str())};
        int qos[] = {2, 0, 2, 2};
        MQTTAsync_responseOptions o = MQTTAsync_responseOptions_initializer;
        o.onSuccess = on_subscribe;
        o.onFailure = on_subscribe_failure;
        o.context = this;
        orvi::MutexLock lk(client_mu_);
        int rc = client_ ? MQTTAsync_subscribeMany(client_, 4, topics, qos, &o) : MQTTASYNC_FAILURE;
        if (rc != MQTTASYNC_SUCCESS) {
            ORVI_LOGW("[Subscribe]:Failed to start subscribe, return code %d", rc);
            subscribed_.store(-1);
        }
    }

    // Subscribes `topics` (QoS 1) on the live connection. False when the
    // request could not be made (they stay asked for).
    bool subscribe_api(const std::vector<std::string> &topics) {
        if (topics.empty()) return true;
        std::vector<char *> names;
        for (const std::string &t : topics)
            names.push_back(const_cast<char *>(t.c_str()));
        std::vector<int> qos(topics.size(), 1);
        MQTTAsync_responseOptions o = MQTTAsync_responseOptions_initializer;
        o.onSuccess = on_api_subscribe;
        o.onFailure = on_api_subscribe_failure;
        o.context = this;
        orvi::MutexLock lk(client_mu_);
        int rc = client_ ? MQTTAsync_subscribeMany(client_, static_cast<int>(names.size()), names.data(),
                                                   qos.data(), &o)
                         : MQTTASYNC_FAILURE;
        if (rc != MQTTASYNC_SUCCESS) ORVI_LOGW("[Subscribe]:API CALL Subscribe failed, return code %d", rc);
        return rc == MQTTASYNC_SUCCESS;
    }

    // Takes the link down: disconnect when connected, destroy, clear the flags.
    void teardown(const char *why) {
        {
            orvi::MutexLock lk(client_mu_);
            if (client_ && MQTTAsync_isConnected(client_)) {
                ORVI_LOGI("[Monitor]:MQTT actively disconnects (%s)\n", why);
                MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer;
                d.timeout = 3000;
                MQTTAsync_disconnect(client_, &d);
            } else {
                ORVI_LOGW("[Monitor]:MQTT loses connection and can't reconnect (%s)", why);
            }
            destroy_locked();
        }
        report(0);
        subscribed_.store(0);
        flag_connect_fail_.store(0);
        flag_conlost_.store(0);
        flag_disc_.store(0);
        want_subscribe_.store(false);
    }

    bool wait_home_mac(std::string &home) {
        bool said = false;
        for (;;) {
            home = hooks_.home_mac();
            if (home.size() == 16) return true;
            if (!said) ORVI_LOGI("waiting homeMac");
            said = true;
            if (!nap(1000)) return false;
        }
    }

    // Connect and wait for the four subscriptions. True once subscribed.
    bool bring_up(const MQTT_Info_t &info, const std::string &home) {
        const std::string id = get_mqtt_client_id(home, hooks_.host_mac());
        ORVI_LOGI("[Inital]: MQTT Client start to connect");
        if (connect_once(info, id) != 0) return false;
        const uint64_t until = orvi_port_monotonic_ms() + kSubscribeWaitMs;
        while (!stopping_.load()) {
            if (want_subscribe_.exchange(false)) subscribe_home(home);
            if (subscribed_.load() == 1) return true;
            if (subscribed_.load() == -1 || flag_connect_fail_.load() == -1 || flag_conlost_.load() == -1) {
                teardown("connection or subscription failed");
                // The rest of the wait passes before the next connect, so a
                // broker that refuses is not hammered.
                for (uint64_t now; (now = orvi_port_monotonic_ms()) < until;)
                    if (!nap(static_cast<unsigned>(until - now))) break;
                return false;
            }
            const uint64_t now = orvi_port_monotonic_ms();
            if (now >= until) {
                teardown("no subscription within 30 s");
                return false;
            }
            nap(static_cast<unsigned>(std::min<uint64_t>(1000, until - now)));
        }
        return false;
    }

    void monitor_main() {
        MQTT_Info_t info{};
        bool have_params = false;
        while (!stopping_.load()) {
            std::string home;
            if (!wait_home_mac(home)) return;
            if (!have_params) {
                if (hooks_.params(&info) != 0) {
                    nap(1000);
                    continue;
                }
                have_params = true;
                if (first_connect_.load()) ORVI_LOGI("[Monitor]:get the parameters successfully\n");
            }
            if (!bring_up(info, home)) {
                // Fresh parameters for the next attempt: the broker may have moved.
                have_params = false;
                nap(1000);
                continue;
            }
            if (!first_connect_.exchange(true)) ORVI_LOGI("[Inital]:MQTT firstly connect successfully!");
            {
                orvi::MutexLock lk(api_mu_);
                api_pending_.assign(api_topics_.begin(), api_topics_.end());
            }
            // Supervise the live link.
            while (nap(1000)) {
                std::vector<std::string> todo;
                {
                    orvi::MutexLock lk(api_mu_);
                    todo.swap(api_pending_);
                }
                if (!subscribe_api(todo)) flag_disc_.store(1);
                if (flag_disc_.load() == 1 || flag_conlost_.load() == -1) break;
                if (hooks_.home_mac() != home) {
                    ORVI_LOGI("[Monitor]:home MAC changed, the link follows it");
                    break;
                }
            }
            if (stopping_.load()) return;
            teardown(flag_conlost_.load() == -1 ? "connection lost" : "rebuild asked");
            have_params = false;
        }
    }

    // ---- Publisher.
    void send(const mqtt_pub_msg_t &m) {
        orvi::MutexLock send_lk(sem_mqtt_);
        orvi::MutexLock lk(client_mu_);
        if (!client_ || flag_connect_fail_.load() != 1 || flag_conlost_.load() == -1 || flag_disc_.load() != 0) {
            ORVI_LOGW("[Publish]:link down, message on %s dropped", m.topic.c_str());
            return;
        }
        MQTTAsync_responseOptions o = MQTTAsync_responseOptions_initializer;
        o.onSuccess = on_send;
        o.onFailure = on_send_failure;
        o.context = this;
        MQTTAsync_message msg = MQTTAsync_message_initializer;
        msg.payload = const_cast<char *>(m.payload.data());
        msg.payloadlen = static_cast<int>(m.payload.size());
        msg.qos = m.qos;
        msg.retained = m.retain_flag;
        int rc = MQTTAsync_sendMessage(client_, m.topic.c_str(), &msg, &o);
        if (rc != MQTTASYNC_SUCCESS) {
            if (flag_sendloss_.fetch_add(1) + 1 > kSendLossMax) {
                ORVI_LOGW("[Publish]:size of MQTTAsync_sendMessage function is called failed is more than 10\n");
                flag_disc_.store(1);
                wake();
            }
            return;
        }
        if (!wait_send(o.token, 3000)) {
            const int n = flag_timeout_.fetch_add(1) + 1;
            ORVI_LOGW("[Publish]:MQTTAsync_waitForCompletion  Time's Out,%d\n\n", n);
            if (n > kTimeoutMax) {
                flag_disc_.store(1);
                wake();
            }
        }
    }

    void publisher_main() {
        while (!stopping_.load()) {
            if (!up()) {
                nap(1000);
                continue;
            }
            mqtt_pub_msg_t m;
            if (!queues_.take(m)) {
                orvi_port_sleep_ms(500);
                continue;
            }
            send(m);
            orvi_port_sleep_ms(1);
        }
    }

    // ---- Receiver.
    void receiver_main() {
        for (;;) {
            std::pair<std::string, std::string> m;
            {
                orvi::MutexLock lk(rx_mu_);
                while (rx_.empty() && !stopping_.load())
                    rx_cv_.wait_ms(rx_mu_, 1000);
                if (stopping_.load()) return;
                m = std::move(rx_.front());
                rx_.pop_front();
            }
            hooks_.message(m.first, m.second);
            orvi_port_sleep_ms(10);
        }
    }

    const cloud_mqtt_hooks_t hooks_;
    cloud_pub_queues queues_;

    std::atomic<bool> started_{false}, stopping_{false};
    std::thread monitor_, publisher_, receiver_;

    // Link flags: written by callbacks, the monitor and the publisher, read afresh on every check.
    std::atomic<bool> first_connect_{false};
    std::atomic<int> subscribed_{0}, flag_connect_fail_{0}, flag_conlost_{0}, flag_disc_{0};
    std::atomic<int> flag_sendloss_{0}, flag_timeout_{0}, flag_sendfail_{0};
    std::atomic<bool> want_subscribe_{false}, reported_up_{false};

    orvi::Mutex sem_mqtt_ ACQUIRED_BEFORE(client_mu_);
    orvi::Mutex client_mu_;
    MQTTAsync client_ GUARDED_BY(client_mu_) = nullptr;

    orvi::Mutex api_mu_;
    std::set<std::string> api_topics_ GUARDED_BY(api_mu_);
    std::vector<std::string> api_pending_ GUARDED_BY(api_mu_);

    orvi::Mutex done_mu_;
    orvi::CondVar done_cv_;
    std::set<MQTTAsync_token> done_tokens_ GUARDED_BY(done_mu_);

    orvi::Mutex wake_mu_;
    orvi::CondVar wake_cv_;
    uint64_t wake_seq_ GUARDED_BY(wake_mu_) = 0;

    orvi::Mutex rx_mu_;
    orvi::CondVar rx_cv_;
    std::deque<std::pair<std::string, std::string>> rx_ GUARDED_BY(rx_mu_);
};

cloud_mqtt_link::cloud_mqtt_link(cloud_mqtt_hooks_t hooks) : c_(std::make_unique<cloud_mqtt_client>(std::move(hooks))) {}
cloud_mqtt_link::~cloud_mqtt_link() = default;
int cloud_mqtt_link::start() {
    return c_->start();
}
int cloud_mqtt_link::publish(const char *topic, int qos, int retain, const char *payload, size_t length) {
    return c_->publish(topic, qos, retain, payload, length);
}
int cloud_mqtt_link::subscribe(const char *const *topics, int count) {
    return c_->subscribe(topics, count);
}
void cloud_mqtt_link::disconnect() {
    c_->disconnect();
}
bool cloud_mqtt_link::up() const {
    return c_->up();
}
cloud_pub_queues &cloud_mqtt_link::queues() {
    return c_->queues();
}
