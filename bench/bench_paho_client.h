// A bare Paho asynchronous client for the benchmarks: connect, subscribe,
// publish within a window of messages in flight, count arrivals (optionally
// handing each to `forward`, on the library's callback thread). Used from
// the benchmark's threads; its counters are guarded by `m`.
#pragma once

#include <MQTTAsync.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

struct bench_paho_client {
    MQTTAsync h = nullptr;
    std::mutex m;
    std::condition_variable cv;
    bool ok = false;
    long received = 0;
    std::function<void(const char *topic, MQTTAsync_message *msg)> forward;

    static int arrived(void *ctx, char *topic, int, MQTTAsync_message *msg) {
        auto *c = static_cast<bench_paho_client *>(ctx);
        if (c->forward) c->forward(topic, msg);
        MQTTAsync_freeMessage(&msg);
        MQTTAsync_free(topic);
        std::lock_guard<std::mutex> lk(c->m);
        ++c->received;
        c->cv.notify_all();
        return 1;
    }
    static void done(void *ctx, MQTTAsync_successData *) {
        auto *c = static_cast<bench_paho_client *>(ctx);
        std::lock_guard<std::mutex> lk(c->m);
        c->ok = true;
        c->cv.notify_all();
    }
    bool wait_ok() {
        std::unique_lock<std::mutex> lk(m);
        bool r = cv.wait_for(lk, std::chrono::seconds(10), [&] { return ok; });
        ok = false;
        return r;
    }
    bool open(const std::string &uri, const std::string &id) {
        if (MQTTAsync_create(&h, uri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr) != MQTTASYNC_SUCCESS)
            return false;
        MQTTAsync_setCallbacks(h, this, nullptr, arrived, nullptr);
        MQTTAsync_connectOptions o = MQTTAsync_connectOptions_initializer;
        o.cleansession = 1;
        o.maxInflight = 65535;
        o.onSuccess = done;
        o.context = this;
        return MQTTAsync_connect(h, &o) == MQTTASYNC_SUCCESS && wait_ok();
    }
    bool subscribe(const char *topic) {
        MQTTAsync_responseOptions o = MQTTAsync_responseOptions_initializer;
        o.onSuccess = done;
        o.context = this;
        return MQTTAsync_subscribe(h, topic, 2, &o) == MQTTASYNC_SUCCESS && wait_ok();
    }
    // Publishes, keeping at most kWindow in flight (a burst without a
    // bound makes this library version drop the connection).
    static constexpr int kWindow = 20;
    int outstanding = 0;
    static void sent(void *ctx, MQTTAsync_successData *) { release(ctx); }
    static void unsent(void *ctx, MQTTAsync_failureData *) { release(ctx); }
    static void release(void *ctx) {
        auto *c = static_cast<bench_paho_client *>(ctx);
        std::lock_guard<std::mutex> lk(c->m);
        --c->outstanding;
        c->cv.notify_all();
    }
    void send(const std::string &topic, const void *data, int len, int qos) {
        {
            std::unique_lock<std::mutex> lk(m);
            cv.wait(lk, [&] { return outstanding < kWindow; });
            ++outstanding;
        }
        MQTTAsync_message msg = MQTTAsync_message_initializer;
        msg.payload = const_cast<void *>(data);
        msg.payloadlen = len;
        msg.qos = qos;
        MQTTAsync_responseOptions o = MQTTAsync_responseOptions_initializer;
        o.onSuccess = sent;
        o.onFailure = unsent;
        o.context = this;
        if (MQTTAsync_sendMessage(h, topic.c_str(), &msg, &o) != MQTTASYNC_SUCCESS) release(this);
    }
    bool wait_received(long n) {
        std::unique_lock<std::mutex> lk(m);
        return cv.wait_for(lk, std::chrono::seconds(120), [&] { return received >= n; });
    }
    ~bench_paho_client() {
        if (h) MQTTAsync_destroy(&h);
    }
};
