// The local MQTT transport's shared state under many threads: producers
// pushing while ten publishers take and finish, and the whole transport
// publishing and delivering through a private broker.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "local_mqtt.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "private_broker.h"

TEST(LocalMqttThreads, PublishersKeepEachTopicsOrderWhileProducersPush) {
    local_pub_list l(100000, 100000, 1);
    const int kProducers = 4, kPerProducer = 2000;
    std::mutex m;
    std::map<std::string, std::vector<long>> finished;
    std::atomic<int> producing{kProducers};
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (long i = 0; i < kPerProducer; ++i) {
                local_pub_msg_t msg;
                msg.topic = "t/" + std::to_string(p) + "/" + std::to_string(i % 3);
                msg.payload = std::to_string(i);
                l.push(msg);
            }
            --producing;
        });
    }
    for (int w = 0; w < 10; ++w) {
        threads.emplace_back([&] {
            local_pub_worker_t worker;
            for (;;) {
                uint64_t seen = l.version();
                local_pub_msg_t msg;
                uint64_t retry = 0;
                if (l.take(worker, orvi_port_monotonic_ms(), msg, &retry)) {
                    {
                        std::lock_guard<std::mutex> lk(m);
                        finished[msg.topic].push_back(std::stol(msg.payload));
                    }
                    l.done(msg.topic);
                    continue;
                }
                if (producing == 0 && l.size(0) + l.size(1) + l.in_flight() == 0) break;
                l.wait_change(seen, 5);
            }
        });
    }
    for (auto &t : threads)
        t.join();
    size_t total = 0;
    for (const auto &kv : finished) {
        total += kv.second.size();
        for (size_t i = 1; i < kv.second.size(); ++i)
            ASSERT_LT(kv.second[i - 1], kv.second[i]) << kv.first;
    }
    EXPECT_EQ(static_cast<size_t>(kProducers * kPerProducer), total);
}

namespace {
std::atomic<long> g_first{0}, g_second{0};
void first_cb(const char *, const char *) {
    ++g_first;
}
void second_cb(const char *, const char *) {
    ++g_second;
}
}  // namespace

TEST(LocalMqttThreads, TransportPublishesAndDeliversFromManyThreads) {
    PrivateBroker broker;
    if (!broker.available()) GTEST_SKIP() << "no mosquitto on this machine";
    ASSERT_TRUE(broker.start());
    orvi_log_level_set(ORVI_LOG_ERROR);
    local_mqtt_set_server_uri(broker.uri().c_str());
    local_mqtt_set_pub_prefix("TsanPub");
    ASSERT_EQ(0, local_mqtt_service());
    const char *topics[] = {"tsan/#"};
    ASSERT_EQ(1, local_sub_topic_3("tsan_sub", topics, 1, first_cb));
    ASSERT_EQ(0, mqtt_local_event_subscribe("tsan_client", "tsan/#", second_cb));
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p) {
        producers.emplace_back([p] {
            for (int i = 0; i < 100; ++i) {
                std::string topic = "tsan/" + std::to_string(p) + (i % 2 ? "/jsonStatus" : "/ctl");
                std::string text = std::to_string(i) + std::string(static_cast<size_t>(i % 5), ' ');
                mqtt_event_publish(topic.c_str(), text.c_str(), text.size(), 0);
            }
        });
    }
    for (auto &t : producers)
        t.join();
    ASSERT_EQ(0, local_mqtt_flush(60000));
    for (int i = 0; i < 200 && (g_first < 400 || g_second < 400); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(400, g_first.load());
    EXPECT_EQ(400, g_second.load());
    local_mqtt_shutdown();
    local_mqtt_set_server_uri(nullptr);
    local_mqtt_set_pub_prefix(nullptr);
}

// A producer on a thread of its own (a handler, a lighting thread) may still
// be filing drops of a full list while the transport shuts down: the
// shutdown's reset of the drop episodes must not race with it. No broker
// answers, so the status list stays full and every push drops.
TEST(LocalMqttThreads, ShutdownWhileAProducerDrops) {
    orvi_log_level_set(ORVI_LOG_ERROR);
    local_mqtt_set_server_uri("tcp://127.0.0.1:1");
    local_mqtt_set_pool_size(1);
    ASSERT_EQ(0, local_mqtt_service());
    std::atomic<bool> stop{false};
    std::thread producer([&stop] {
        const char text[] = "{\"on\":1}";
        while (!stop.load())
            mqtt_event_publish("tsan/full/jsonStatus", text, sizeof text - 1, 0);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (local_mqtt_stats().dropped[LOCAL_PUB_LIST_STATUS] == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GT(local_mqtt_stats().dropped[LOCAL_PUB_LIST_STATUS], 0u);
    local_mqtt_shutdown();
    stop.store(true);
    producer.join();
    local_mqtt_pending_clear();
    local_mqtt_set_server_uri(nullptr);
    local_mqtt_set_pool_size(LOCAL_PUB_POOL_SIZE);
}
