// Events per second through the local MQTT transport (mqtt_event_publish,
// the pool of ten publishers, QoS 2) to a subscriber, beside a bare Paho
// publisher (one client, QoS 2, pipelined) on the same broker in the same
// run. The broker is a private mosquitto on a free loopback port, anonymous,
// configured in a temporary folder; the transport is pointed at it with the
// test-and-bench hook local_mqtt_set_server_uri.
#include <MQTTAsync.h>
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "bench_broker.h"
#include "bench_paho_client.h"
#include "local_mqtt.h"
#include "orvi_log.h"

namespace {

constexpr int kBatch = 1000;

// ---- A private broker for the run.

bench_broker &broker() {
    static bench_broker b;
    static bool started = b.start();
    (void)started;
    return b;
}

bench_paho_client &subscriber() {
    static bench_paho_client *s = [] {
        auto *c = new bench_paho_client;
        if (!c->open(broker().uri(), "bench_sub") || !c->subscribe("bench/#"))
            fprintf(stderr, "bench subscriber failed\n");
        return c;
    }();
    return *s;
}

// Event-sized payloads whose lengths vary as real ones do.
std::vector<std::string> payloads() {
    std::vector<std::string> p;
    for (int i = 0; i < kBatch; ++i)
        p.push_back(
            "{\"cid\":\"0123456789abcdef\",\"tcid\":\"\",\"uid\":0,\"t\":\"pack\",\"i\":0,\"pack\":\"" +
            std::string(120 + static_cast<size_t>(i % 13) * 8, 'A') + "\"}");
    return p;
}

std::string topic_of(int i, int topics) {
    return "bench/jsonStatus/h/d" + std::to_string(i % topics);
}

void transport_start() {
    static bool started = [] {
        orvi_log_level_set(ORVI_LOG_ERROR);
        local_mqtt_set_server_uri(broker().uri().c_str());
        local_mqtt_set_pub_prefix("BenchPub");
        local_mqtt_service();
        // The ten publishers are connected once a first batch went through.
        mqtt_event_publish("bench/warmup", "x", 1, 0);
        local_mqtt_flush(30000);
        return true;
    }();
    (void)started;
}

// state.range(0): number of distinct topics (1: one ordered stream).
void BM_TransportPublish(benchmark::State &state) {
    if (broker().port == 0 || broker().pid <= 0) {
        state.SkipWithError("no mosquitto");
        return;
    }
    bench_paho_client &sub = subscriber();
    transport_start();
    const int topics = static_cast<int>(state.range(0));
    const std::vector<std::string> p = payloads();
    std::vector<std::string> t;
    for (int i = 0; i < kBatch; ++i)
        t.push_back(topic_of(i, topics));
    for (auto _ : state) {
        long base;
        {
            std::lock_guard<std::mutex> lk(sub.m);
            base = sub.received;
        }
        for (int i = 0; i < kBatch; ++i)
            mqtt_event_publish(t[i].c_str(), p[i].c_str(), p[i].size(), 0);
        if (!sub.wait_received(base + kBatch)) state.SkipWithError("messages missing");
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_TransportPublish)->Arg(16)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_BarePahoPublish(benchmark::State &state) {
    if (broker().port == 0 || broker().pid <= 0) {
        state.SkipWithError("no mosquitto");
        return;
    }
    bench_paho_client &sub = subscriber();
    static bench_paho_client *pub = [] {
        auto *c = new bench_paho_client;
        if (!c->open(broker().uri(), "bench_bare_pub")) fprintf(stderr, "bench publisher failed\n");
        return c;
    }();
    const int topics = static_cast<int>(state.range(0));
    const std::vector<std::string> p = payloads();
    for (auto _ : state) {
        long base;
        {
            std::lock_guard<std::mutex> lk(sub.m);
            base = sub.received;
        }
        for (int i = 0; i < kBatch; ++i)
            pub->send(topic_of(i, topics), p[i].data(), static_cast<int>(p[i].size()), 2);
        if (!sub.wait_received(base + kBatch)) state.SkipWithError("messages missing");
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_BarePahoPublish)->Arg(16)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    local_mqtt_shutdown();
    return 0;
}
