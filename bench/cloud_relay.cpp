// Statuses per second relayed from the board's local broker to the cloud
// broker by the cloud link (local subscription, re-keying with the home key,
// the latest-per-topic status queue, the publisher's QoS 2 send with its
// completion wait), beside a bare Paho relay (a subscriber on the local
// broker whose callback publishes each message on to the cloud broker, QoS
// 2, pipelined) between the same two brokers in the same run. Each batch is
// one status for each of kDevices registered CAN devices, so the
// latest-per-topic rule drops nothing.
//
// And the way in: a cloud command to a CAN device, from its publication on
// the cloud broker to its arrival, sealed for the device, on the board's
// broker where the CAN service reads it (the link's receive side, the
// request queue and task, the command path, the local publisher), one at a
// time: p50 and p99 in microseconds. Beside it, the same command carried by
// a bare Paho relay from the cloud broker to the local broker.
#include <MQTTAsync.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_broker.h"
#include "bench_paho_client.h"
#include "bench_host.h"
#include "cloud_link.h"
#include "cloud_mqtt_parts.h"
#include "local_mqtt.h"
#include "orvi_aes.h"

namespace {

constexpr int kDevices = 200;
constexpr const char *kHome = "HOMEBENCH0000001";
constexpr const char *kHomeKey = "benchhomekey0001";
constexpr const char *kDevKey = "benchdevkey00001";

std::string dev_mac(int i) {
    char b[24];
    snprintf(b, sizeof b, "c0ffee%06d", i);
    return b;
}

struct rig {
    bench_broker local, cloud;
    bench_paho_client feeder, link_sink, bare_in, bare_out, bare_sink;
    std::unique_ptr<cloud_mqtt_link> link;
    std::vector<std::pair<std::string, std::string>> statuses;  // local topic, package
    std::mutex relay_m;
    std::condition_variable relay_cv;
    std::deque<std::pair<std::string, std::string>> relay_q;
    bench_paho_client cmd_out, dev_in, bare_cmd_in, bare_cmd_out;
    std::string command;  // a cloud command to device 0, sealed
    bool ready = false;
};

void relay_cb(const char *topic, const char *payload);
rig *g_rig = nullptr;

// Answers go back to the cloud through the link, as the daemon's do.
int link_response(const char *topic, const char *data, size_t size, int qos, int retain) {
    return g_rig->link->publish(topic, qos, retain, data, size);
}
const cloud_link_t kLinkIface = {link_response};

void relay_cb(const char *topic, const char *payload) {
    std::string t, p;
    if (cloud_status_rekey(topic, payload, t, p) == 0) g_rig->link->publish(t.c_str(), 2, 1, p.c_str(), p.size());
}

rig &the_rig() {
    static rig *r = [] {
        auto *x = new rig;
        g_rig = x;
        if (!x->local.start() || !x->cloud.start()) return x;
        bench_host::scratch_root({"/data/domivault/data"});
        bench_host::identity(kHome, kHomeKey);
        for (int i = 0; i < kDevices; ++i) {
            orvi_subdev_list_t d;
            orvi_field_set(d.mac, dev_mac(i));
            orvi_field_set(d.key, kDevKey);
            orvi_field_set(d.mid, "70101");
            d.dev_type = DEV_TYPE_CAN;
            product_add_subdev_to_host(&d);
            std::string body = "{\"opt\":[\"Pow\",\"Lum\"],\"p\":[1," + std::to_string(i % 100) + "],\"mid\":\"70101\"}";
            orvi_aes_encrypt(kDevKey, body);
            x->statuses.emplace_back(std::string("/jsonStatus/") + kHome + "/" + dev_mac(i),
                                     "{\"cid\":\"" + dev_mac(i) + "\",\"tcid\":\"\",\"uid\":0,\"t\":\"pack\",\"i\":0,"
                                     "\"pack\":\"" + body + "\"}");
        }
        local_mqtt_set_server_uri(x->local.uri().c_str());
        local_mqtt_set_pub_prefix("BenchCloudPub");
        local_mqtt_service();
        static const char *const topics[] = {"/jsonStatus/#"};
        if (local_sub_topic_3("bench_cloud_relay", topics, 1, relay_cb) < 0) return x;

        cloud_mqtt_hooks_t h;
        const int port = x->cloud.port;
        h.params = [port](MQTT_Info_t *info) {
            cloud_dis_info_t d;
            d.broker_port = port;
            d.username = "bench";
            return cloud_mqtt_info_fill("127.0.0.1", d, info);
        };
        h.home_mac = [] { return std::string(kHome); };
        h.host_mac = [] { return std::string("HOST0000000000B2"); };
        h.state = [](int) {};
        h.message = cloud_rx_handle;
        h.firmware = [](const std::string &, const std::string &) {};
        if (orvi_request_queue_create() < 0) return x;
        bench_host::start_request_task();
        x->link = std::make_unique<cloud_mqtt_link>(std::move(h));
        x->link->start();
        cloud_link_set(&kLinkIface);
        for (int i = 0; i < 200 && !x->link->up(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));

        // The bare relay reads "/bare/#" locally and republishes under "bare/" in the cloud.
        // The library runs every client's callbacks on one thread: the
        // callback only queues, a thread of the relay publishes.
        x->bare_in.forward = [x](const char *topic, MQTTAsync_message *m) {
            std::lock_guard<std::mutex> lk(x->relay_m);
            x->relay_q.emplace_back(std::string("bare") + topic,
                                    std::string(static_cast<const char *>(m->payload), static_cast<size_t>(m->payloadlen)));
            x->relay_cv.notify_one();
        };
        std::thread([x] {
            for (;;) {
                std::pair<std::string, std::string> msg;
                {
                    std::unique_lock<std::mutex> lk(x->relay_m);
                    x->relay_cv.wait(lk, [&] { return !x->relay_q.empty(); });
                    msg = std::move(x->relay_q.front());
                    x->relay_q.pop_front();
                }
                x->bare_out.send(msg.first, msg.second.data(), static_cast<int>(msg.second.size()), 2);
            }
        }).detach();
        x->ready = x->link->up() && x->feeder.open(x->local.uri(), "bench_feeder") &&
                   x->link_sink.open(x->cloud.uri(), "bench_link_sink") &&
                   x->link_sink.subscribe((std::string("jsonStatus/") + kHome + "/#").c_str()) &&
                   x->bare_out.open(x->cloud.uri(), "bench_bare_out") &&
                   x->bare_in.open(x->local.uri(), "bench_bare_in") && x->bare_in.subscribe("/bare/#") &&
                   x->bare_sink.open(x->cloud.uri(), "bench_bare_sink") && x->bare_sink.subscribe("bare/#");

        // The command, sealed with the home key as the cloud seals it.
        std::string inner = "{\"t\":\"jsonCmd\",\"mac\":\"" + dev_mac(0) + "\",\"opt\":[\"Pow\"],\"p\":[1]}";
        orvi_aes_encrypt(kHomeKey, inner);
        x->command = std::string("{\"t\":\"pack\",\"i\":0,\"uid\":0,\"cid\":\"cloud\",\"tcid\":\"") + kHome +
                     "\",\"pack\":\"" + inner + "\"}";
        // The bare relay of commands: "barecmd/#" in the cloud to "/barecmd/..." locally.
        x->bare_cmd_in.forward = [x](const char *topic, MQTTAsync_message *m) {
            x->bare_cmd_out.send(std::string("/") + topic, m->payload, m->payloadlen, 2);
        };
        x->ready = x->ready && x->cmd_out.open(x->cloud.uri(), "bench_cmd_out") &&
                   x->dev_in.open(x->local.uri(), "bench_dev_in") && x->dev_in.subscribe("/jsonRequest/#") &&
                   x->bare_cmd_out.open(x->local.uri(), "bench_bare_cmd_out") &&
                   x->bare_cmd_in.open(x->cloud.uri(), "bench_bare_cmd_in") && x->bare_cmd_in.subscribe("barecmd/#") &&
                   x->dev_in.subscribe("/barecmd/#");
        return x;
    }();
    return *r;
}

// Batches of kDevices statuses published locally under `prefix`, each
// batch timed until all of them reached `sink` in the cloud.
void relay_batches(benchmark::State &state, bench_paho_client &sink, const std::string &prefix) {
    rig &r = the_rig();
    if (!r.ready) {
        state.SkipWithError("brokers or link not up");
        return;
    }
    for (auto _ : state) {
        long base;
        {
            std::lock_guard<std::mutex> lk(sink.m);
            base = sink.received;
        }
        for (const auto &s : r.statuses)
            r.feeder.send(prefix + s.first, s.second.data(), static_cast<int>(s.second.size()), 1);
        if (!sink.wait_received(base + kDevices)) state.SkipWithError("statuses missing");
    }
    state.SetItemsProcessed(state.iterations() * kDevices);
}

void BM_CloudLinkRelay(benchmark::State &state) {
    relay_batches(state, the_rig().link_sink, "");
}
BENCHMARK(BM_CloudLinkRelay)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_BarePahoRelay(benchmark::State &state) {
    relay_batches(state, the_rig().bare_sink, "/bare");
}
BENCHMARK(BM_BarePahoRelay)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// One command at a time: published on `topic` in the cloud, timed until
// the next message reaches the device's side on the local broker.
void command_latency(benchmark::State &state, const std::string &topic) {
    rig &r = the_rig();
    if (!r.ready) {
        state.SkipWithError("brokers or link not up");
        return;
    }
    std::vector<double> us;
    for (auto _ : state) {
        long base;
        {
            std::lock_guard<std::mutex> lk(r.dev_in.m);
            base = r.dev_in.received;
        }
        const auto t0 = std::chrono::steady_clock::now();
        r.cmd_out.send(topic, r.command.data(), static_cast<int>(r.command.size()), 2);
        if (!r.dev_in.wait_received(base + 1)) {
            state.SkipWithError("command lost");
            return;
        }
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

void BM_CloudCommandToDevice(benchmark::State &state) {
    command_latency(state, std::string("request/") + kHome + "/" + dev_mac(0));
}
BENCHMARK(BM_CloudCommandToDevice)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(400);

void BM_BarePahoCommandRelay(benchmark::State &state) {
    command_latency(state, std::string("barecmd/") + kHome + "/" + dev_mac(0));
}
BENCHMARK(BM_BarePahoCommandRelay)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(400);

}  // namespace

BENCHMARK_MAIN();
