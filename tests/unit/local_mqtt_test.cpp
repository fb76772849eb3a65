// The local MQTT transport: its outbound lists (routing, bounds, one message
// per topic in flight, the pause between equal lengths), topic matching, the
// configuration reader, the event package, the queueing entry points, and
// the clients against a private broker (subscriber reuse, second-kind maps,
// order through the pool, retained deletion, broker restarts).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "identity_test_support.h"
#include "local_mqtt.h"
#include "orvi_aes.h"
#include "orvi_field.h"
#include "orvi_flash.h"
#include "orvi_log.h"
#include "orvi_product.h"
#include "private_broker.h"
#include "scratch_root.h"

namespace {

local_pub_msg_t msg(const std::string &topic, const std::string &payload, int retain = 0) {
    local_pub_msg_t m;
    m.topic = topic;
    m.payload = payload;
    m.isretain = retain;
    return m;
}

// ---- Outbound lists.

TEST(LocalMqttList, TopicsContainingJsonStatusGoToTheStatusList) {
    const struct {
        const char *topic;
        int list;
    } cases[] = {
        {"/jsonStatus/0123456789abcdef/a1b2c3d4e5f6", LOCAL_PUB_LIST_STATUS},
        {"/fakeStatus/x/jsonStatus", LOCAL_PUB_LIST_STATUS},
        {"jsonStatus", LOCAL_PUB_LIST_STATUS},
        {"/notice/1", LOCAL_PUB_LIST_CONTROL},
        {"/notice", LOCAL_PUB_LIST_CONTROL},
        {"/jsonRequest/h/d", LOCAL_PUB_LIST_CONTROL},
        {"/JsonStatus/a", LOCAL_PUB_LIST_CONTROL},
        {"devInfoHttp/h/d", LOCAL_PUB_LIST_CONTROL},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.list, local_pub_list::list_of(c.topic)) << c.topic;
}

TEST(LocalMqttList, FullListDropsItsOwnOldestMessage) {
    local_pub_list l(2, 3, 50);
    EXPECT_FALSE(l.push(msg("ctl/a", "c1")).dropped);
    EXPECT_FALSE(l.push(msg("ctl/b", "c2")).dropped);
    for (const char *p : {"s1", "s2", "s3"})
        EXPECT_FALSE(l.push(msg("/jsonStatus/x", p)).dropped);

    // A status message pushes out the stalest status, never a control one.
    local_pub_drop_t d = l.push(msg("/jsonStatus/y", "s4"));
    ASSERT_TRUE(d.dropped);
    EXPECT_EQ(LOCAL_PUB_LIST_STATUS, d.list);
    EXPECT_EQ("s1", d.msg.payload);
    EXPECT_EQ(2u, l.size(LOCAL_PUB_LIST_CONTROL));

    // Control is dropped only when the control list itself is full.
    d = l.push(msg("ctl/c", "c3", 1));
    ASSERT_TRUE(d.dropped);
    EXPECT_EQ(LOCAL_PUB_LIST_CONTROL, d.list);
    EXPECT_EQ("c1", d.msg.payload);

    std::vector<std::string> ctl, st;
    for (const auto &m : l.snapshot(LOCAL_PUB_LIST_CONTROL))
        ctl.push_back(m.payload);
    for (const auto &m : l.snapshot(LOCAL_PUB_LIST_STATUS))
        st.push_back(m.payload);
    EXPECT_EQ((std::vector<std::string>{"c2", "c3"}), ctl);
    EXPECT_EQ((std::vector<std::string>{"s2", "s3", "s4"}), st);
}

TEST(LocalMqttList, ControlFirstAndOneMessagePerTopicInFlight) {
    local_pub_list l(10, 10, 50);
    l.push(msg("/jsonStatus/s", "s1"));
    l.push(msg("a", "a1"));
    l.push(msg("a", "a22"));
    l.push(msg("b", "b1"));
    local_pub_worker_t w[4];
    local_pub_msg_t out;
    uint64_t retry = 7;
    ASSERT_TRUE(l.take(w[0], 1000, out, &retry));
    EXPECT_EQ("a1", out.payload);
    ASSERT_TRUE(l.take(w[1], 1000, out, &retry));
    EXPECT_EQ("b1", out.payload) << "a's next message waits while a1 is in flight";
    ASSERT_TRUE(l.take(w[2], 1000, out, &retry));
    EXPECT_EQ("s1", out.payload);
    EXPECT_FALSE(l.take(w[3], 1000, out, &retry));
    EXPECT_EQ(0u, retry) << "only done() can free a topic";
    EXPECT_EQ(3u, l.in_flight());
    l.done("a");
    ASSERT_TRUE(l.take(w[3], 1000, out, &retry));
    EXPECT_EQ("a22", out.payload);
}

// Ten publishers taking and finishing in random interleavings: every topic's
// messages are finished in the order they were queued, and a retained
// value never lands after the deletion queued behind it.
TEST(LocalMqttList, RandomPoolKeepsEachTopicsOrder) {
    std::mt19937 rng(20240501);
    local_pub_list l(5000, 5000, 50);
    std::map<std::string, std::vector<std::string>> queued, finished;
    const char *topics[] = {"/jsonStatus/h/d1", "/jsonStatus/h/d2", "devInfoHttp/h/d1", "room/set", "ret/x"};
    int n = 0;
    for (int i = 0; i < 600; ++i) {
        std::string t = topics[rng() % 5];
        // Deletions (empty retained) mixed in on the retained topic.
        std::string p = t == "ret/x" && rng() % 3 == 0 ? "" : std::to_string(n++);
        l.push(msg(t, p, t == "ret/x"));
        queued[t].push_back(p);
    }
    struct busy_t {
        bool busy = false;
        local_pub_msg_t m;
    };
    busy_t pool[10];
    local_pub_worker_t w[10];
    uint64_t now = 0;
    while (l.size(0) + l.size(1) + l.in_flight() > 0) {
        now += rng() % 20;
        int k = static_cast<int>(rng() % 10);
        if (pool[k].busy) {
            finished[pool[k].m.topic].push_back(pool[k].m.payload);
            l.done(pool[k].m.topic);
            pool[k].busy = false;
        } else {
            uint64_t retry = 0;
            pool[k].busy = l.take(w[k], now, pool[k].m, &retry);
        }
    }
    EXPECT_EQ(queued, finished);
}

// Two messages of equal length on one publisher are 50 ms apart at least;
// another publisher, or a message of another length, goes meanwhile.
TEST(LocalMqttList, EqualLengthWaitsFiftyMillisecondsOnOnePublisher) {
    local_pub_list l(10, 10, 50);
    local_pub_worker_t w1, w2;
    local_pub_msg_t out;
    uint64_t retry = 0;
    l.push(msg("a", "12345"));
    l.push(msg("b", "abcde"));
    l.push(msg("c", "xyz"));
    ASSERT_TRUE(l.take(w1, 1000, out, &retry));
    l.done("a");
    ASSERT_TRUE(l.take(w1, 1020, out, &retry));
    EXPECT_EQ("xyz", out.payload) << "the equal-length message is skipped for now";
    l.done("c");
    l.push(msg("c", "zzz"));
    ASSERT_TRUE(l.take(w2, 1030, out, &retry));
    EXPECT_EQ("abcde", out.payload) << "another publisher need not wait";
    EXPECT_FALSE(l.take(w1, 1030, out, &retry)) << "\"zzz\" has the length w1 sent 10 ms ago";
    EXPECT_EQ(1070u, retry);
    ASSERT_TRUE(l.take(w1, 1070, out, &retry));
    EXPECT_EQ("zzz", out.payload);
}

TEST(LocalMqttList, TopicMatching) {
    const struct {
        const char *filter;
        const char *topic;
        bool match;
    } cases[] = {
        {"scene/set/#", "scene/set/abc", true},
        {"scene/set/#", "scene/set/a/b", true},
        {"scene/set/#", "scene/set/", true},
        {"scene/set/#", "scene/set", false},
        {"scene/set/#", "scene/sets/a", false},
        {"scene/set", "scene/set", true},
        {"scene/set", "scene/set/abc", false},
        {"scene/set", "scene/sets", false},
        {"#", "anything/at/all", true},
        {"a/+/c", "a/b/c", true},
        {"a/+/c", "a/b/d", false},
        {"a/+/c", "a/b/c/d", false},
        {"a/+/#", "a/b/c", true},
        {"+/x", "/x", true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.match, local_topic_match(c.filter, c.topic)) << c.filter << " ~ " << c.topic;
}

// ---- Configuration reader.

TEST(LocalMqttConfig, ReadsStringsAndNumbersAndRefusesTheRest) {
    ScratchRoot root;
    char buf[8];
    int num = 0;
    EXPECT_EQ(-1, get_data_from_config("mqttUser", buf, sizeof buf, TYPE_STRING)) << "no file";

    root.write(ORVI_PARAMS_FILE, R"({"mqttUser":"user1","port":1883,"long":"12345678","n":"7"})");
    ASSERT_EQ(0, get_data_from_config("mqttUser", buf, sizeof buf, TYPE_STRING));
    EXPECT_STREQ("user1", buf);
    ASSERT_EQ(0, get_data_from_config("port", &num, sizeof num, TYPE_NUMBER));
    EXPECT_EQ(1883, num);

    std::strcpy(buf, "keep");
    const struct {
        const char *key;
        int kind;
    } refused[] = {
        {"missing", TYPE_STRING}, {"long", TYPE_STRING}, {"port", TYPE_STRING}, {"n", TYPE_NUMBER}};
    for (const auto &c : refused) {
        void *dest = c.kind == TYPE_STRING ? static_cast<void *>(buf) : static_cast<void *>(&num);
        size_t size = c.kind == TYPE_STRING ? sizeof buf : sizeof num;
        EXPECT_EQ(-1, get_data_from_config(c.key, dest, size, c.kind)) << c.key;
    }
    EXPECT_STREQ("keep", buf) << "a refused value leaves the buffer alone";
    EXPECT_EQ(1883, num);

    root.write(ORVI_PARAMS_FILE, "not json");
    EXPECT_EQ(-1, get_data_from_config("mqttUser", buf, sizeof buf, TYPE_STRING));
    // Only the first 2,048 bytes are read: a longer file is cut and unreadable.
    root.write(ORVI_PARAMS_FILE, R"({"pad":")" + std::string(2100, 'p') + R"(","mqttUser":"u"})");
    EXPECT_EQ(-1, get_data_from_config("mqttUser", buf, sizeof buf, TYPE_STRING));
}

// ---- Event package.

class LocalMqttPack : public ::testing::Test {
  protected:
    void SetUp() override {
        orvi::MutexLock lk(orvi_dev_info_mutex());
        saved_ = orvi_dev_info;
        orvi_field_set(orvi_dev_info.default_key, kDefault);
        orvi_field_set(orvi_dev_info.random_key, kRandom);
        orvi_field_set(orvi_dev_info.home_key, kHome);
        orvi_field_set(orvi_dev_info.home_mac_str, kHomeMac);
    }
    void TearDown() override {
        orvi::MutexLock lk(orvi_dev_info_mutex());
        orvi_dev_info = saved_;
    }
    static std::string open(const cJSON *pack, const char *key) {
        std::string text = cJSON_GetObjectItem(pack, "pack")->valuestring;
        if (orvi_aes_decrypt(key, text) != 0) return "(undecryptable)";
        return text;
    }
    static constexpr const char *kDefault = "D123456789abcdef";
    static constexpr const char *kRandom = "R123456789abcdef";
    static constexpr const char *kHome = "H123456789abcdef";
    static constexpr const char *kHomeMac = "0123456789abcdef";
    orvi_dev_info_t saved_;
};

TEST_F(LocalMqttPack, KeyFollowsIAndTheSender) {
    const std::string body = R"({"mac":"m","plaintext":{"cols":["a"],"dat":[1]}})";
    const struct {
        const char *cid;
        int i;
        const char *key;  // null: the text as given
    } cases[] = {
        {kHomeMac, 0, kHome},    {"a1b2c3d4e5f6", 0, kRandom}, {"", 0, kRandom},
        {kHomeMac, 1, kDefault}, {"a1b2c3d4e5f6", 2, nullptr},
    };
    for (const auto &c : cases) {
        cJSON *p = event_msg_package_aseemble(c.cid, c.i, "t1", 0, body.c_str());
        ASSERT_NE(nullptr, p) << c.cid << " i " << c.i;
        char *printed = cJSON_PrintUnformatted(p);
        const std::string text = printed;
        cJSON_free(printed);
        std::string order;
        for (const cJSON *m = p->child; m; m = m->next)
            order += std::string(m->string) + ",";
        EXPECT_EQ("cid,tcid,uid,t,i,pack,", order);
        EXPECT_NE(std::string::npos, text.find("\"t\":\"pack\",\"i\":" + std::to_string(c.i)));
        if (c.key)
            EXPECT_EQ(body + "\n", open(p, c.key)) << c.cid << " i " << c.i;
        else
            EXPECT_EQ(body, cJSON_GetObjectItem(p, "pack")->valuestring);
        cJSON_Delete(p);
    }
    EXPECT_EQ(nullptr, event_msg_package_aseemble("x", 3, "", 0, body.c_str()));
    EXPECT_EQ(nullptr, event_msg_package_aseemble("x", -1, "", 0, body.c_str()));
}

// Before provisioning the home MAC is empty: an empty "cid" is not the home.
TEST_F(LocalMqttPack, EmptyCidOfAHostWithoutHomeUsesTheRandomKey) {
    {
        orvi::MutexLock lk(orvi_dev_info_mutex());
        orvi_field_set(orvi_dev_info.home_mac_str, "");
        orvi_field_set(orvi_dev_info.home_key, "");
    }
    cJSON *p = event_msg_package_aseemble("", 0, "", 0, "{}");
    ASSERT_NE(nullptr, p);
    EXPECT_EQ("{}\n", open(p, kRandom));
    cJSON_Delete(p);
}

TEST_F(LocalMqttPack, PackageThatCannotBeSealedIsNotBuilt) {
    {
        orvi::MutexLock lk(orvi_dev_info_mutex());
        orvi_field_set(orvi_dev_info.random_key, "short");
    }
    EXPECT_EQ(nullptr, event_msg_package_aseemble("a1b2c3d4e5f6", 0, "", 0, "{}"));
}

TEST_F(LocalMqttPack, OpensAReceivedPackage) {
    const char *body = R"({"mac":"m","sub":"","mid":"","plaintext":{"cols":["x"],"dat":[2]}})";
    cJSON *p = event_msg_package_aseemble("a1b2c3d4e5f6", 0, "", 0, body);
    char *text = cJSON_PrintUnformatted(p);
    cJSON_Delete(p);

    cJSON *whole = local_mqtt_get_pack_str(text, kRandom, 0);
    ASSERT_NE(nullptr, whole);
    EXPECT_STREQ("m", cJSON_GetObjectItem(whole, "mac")->valuestring);
    cJSON_Delete(whole);
    cJSON *plain = local_mqtt_get_pack_str(text, kRandom, 1);
    ASSERT_NE(nullptr, plain);
    EXPECT_EQ(2, cJSON_GetArrayItem(cJSON_GetObjectItem(plain, "dat"), 0)->valueint);
    cJSON_Delete(plain);

    EXPECT_EQ(nullptr, local_mqtt_get_pack_str(text, nullptr, 0));
    EXPECT_EQ(nullptr, local_mqtt_get_pack_str(text, kHome, 0)) << "wrong key";
    EXPECT_EQ(nullptr, local_mqtt_get_pack_str("not json", kRandom, 0));
    EXPECT_EQ(nullptr, local_mqtt_get_pack_str(R"({"t":"pack"})", kRandom, 0));
    cJSON_free(text);

    p = event_msg_package_aseemble("a1b2c3d4e5f6", 0, "", 0, R"({"mac":"m"})");
    text = cJSON_PrintUnformatted(p);
    cJSON_Delete(p);
    EXPECT_EQ(nullptr, local_mqtt_get_pack_str(text, kRandom, 1)) << "no plaintext member";
    cJSON_free(text);
}

// ---- Queueing entry points (the service is not running: messages stay).

class LocalMqttQueue : public ::testing::Test {
  protected:
    void SetUp() override { local_mqtt_pending_clear(); }
    void TearDown() override { local_mqtt_pending_clear(); }
};

TEST_F(LocalMqttQueue, PublishQueuesACopyOnTheTopicsList) {
    std::string text = R"({"a":1})";
    ASSERT_EQ(0, mqtt_event_publish("/jsonStatus/h/d", text.c_str(), text.size(), 0));
    ASSERT_EQ(0, mqtt_event_publish("/notice/1", text.c_str(), text.size(), 1));
    text[2] = 'X';  // the caller's buffer is its own again
    auto st = local_mqtt_pending(LOCAL_PUB_LIST_STATUS);
    auto ctl = local_mqtt_pending(LOCAL_PUB_LIST_CONTROL);
    ASSERT_EQ(1u, st.size());
    ASSERT_EQ(1u, ctl.size());
    EXPECT_EQ("/jsonStatus/h/d", st[0].topic);
    EXPECT_EQ(R"({"a":1})", st[0].payload);
    EXPECT_EQ(0, st[0].isretain);
    EXPECT_EQ("/notice/1", ctl[0].topic);
    EXPECT_EQ(1, ctl[0].isretain);
}

TEST_F(LocalMqttQueue, RefusesWhatCannotBePublished) {
    const std::string longest(LOCAL_MQTT_TOPIC_MAX, 't');
    EXPECT_EQ(-1, mqtt_event_publish("", "x", 1, 0));
    EXPECT_EQ(-1, mqtt_event_publish(nullptr, "x", 1, 0));
    EXPECT_EQ(-1, mqtt_event_publish("a", nullptr, 1, 0));
    EXPECT_EQ(-1, mqtt_event_publish((longest + "t").c_str(), "x", 1, 0)) << "never cut into another topic";
    EXPECT_EQ(-1, delete_mqtt_retain(""));
    EXPECT_TRUE(local_mqtt_pending(LOCAL_PUB_LIST_CONTROL).empty());
    EXPECT_EQ(0, mqtt_event_publish(longest.c_str(), "x", 1, 0));
    // A length beyond the text stops at its end.
    EXPECT_EQ(0, mqtt_event_publish("a", "abc", 100, 0));
    auto ctl = local_mqtt_pending(LOCAL_PUB_LIST_CONTROL);
    ASSERT_EQ(2u, ctl.size());
    EXPECT_EQ("abc", ctl[1].payload);
}

TEST_F(LocalMqttQueue, DeleteRetainQueuesAnEmptyRetainedPayloadBehindTheTopicsValue) {
    ASSERT_EQ(0, mqtt_event_publish("devInfoHttp/h/d", "{\"v\":1}", 7, 1));
    ASSERT_EQ(0, delete_mqtt_retain("devInfoHttp/h/d"));
    auto ctl = local_mqtt_pending(LOCAL_PUB_LIST_CONTROL);
    ASSERT_EQ(2u, ctl.size());
    EXPECT_EQ("devInfoHttp/h/d", ctl[1].topic);
    EXPECT_EQ("", ctl[1].payload);
    EXPECT_EQ(1, ctl[1].isretain);
}

TEST_F(LocalMqttQueue, FullListSaysWhatItDrops) {
    identity_test::LogCapture cap;
    for (int i = 0; i < LOCAL_PUB_STATUS_MAX + 5; ++i)
        mqtt_event_publish("/jsonStatus/h/d", std::to_string(i).c_str(), 8, 0);
    mqtt_event_publish("/host", "c", 1, 0);
    std::string log = cap.text();
    EXPECT_EQ(static_cast<size_t>(LOCAL_PUB_STATUS_MAX), local_mqtt_pending(LOCAL_PUB_LIST_STATUS).size());
    EXPECT_EQ("5", local_mqtt_pending(LOCAL_PUB_LIST_STATUS)[0].payload);
    EXPECT_NE(std::string::npos, log.find("status list full (2000): dropped the oldest status message"))
        << log;
    EXPECT_EQ(1u, local_mqtt_pending(LOCAL_PUB_LIST_CONTROL).size());
}

// ---- Clients against a private broker.

struct Received {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::pair<std::string, std::string>> got;

    void add(const char *topic, const char *payload) {
        std::lock_guard<std::mutex> lk(m);
        got.emplace_back(topic, payload);
        cv.notify_all();
    }
    // Waits until `pred` holds over what arrived (10 s at most).
    template <class Pred>
    bool wait(Pred pred, int ms = 10000) {
        std::unique_lock<std::mutex> lk(m);
        return cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return pred(got); });
    }
    bool has(const std::string &topic, const std::string &payload) {
        return wait([&](const auto &g) {
            return std::find(g.begin(), g.end(), std::make_pair(topic, payload)) != g.end();
        });
    }
    std::vector<std::pair<std::string, std::string>> copy() {
        std::lock_guard<std::mutex> lk(m);
        return got;
    }
    void clear() {
        std::lock_guard<std::mutex> lk(m);
        got.clear();
    }
};

Received g_first, g_second_wild, g_second_exact, g_probe;
void first_cb(const char *t, const char *p) {
    g_first.add(t, p);
}
void second_wild_cb(const char *t, const char *p) {
    g_second_wild.add(t, p);
}
void second_exact_cb(const char *t, const char *p) {
    g_second_exact.add(t, p);
}
void probe_cb(const char *t, const char *p) {
    g_probe.add(t, p);
}

class LocalMqttBroker : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        broker_ = new PrivateBroker;
        root_ = new ScratchRoot;
        root_->write(ORVI_PARAMS_FILE,
                     R"({"mqttUser":"unit","mqttPsw":"secret","randomkey":"R123456789abcdef"})");
        if (!broker_->available() || !broker_->start()) return;
        orvi_log_level_set(ORVI_LOG_WARN);
        local_mqtt_set_server_uri(broker_->uri().c_str());
        local_mqtt_set_pub_prefix("UnitPub");
        local_mqtt_pending_clear();
        local_mqtt_service();
    }
    static void TearDownTestSuite() {
        local_mqtt_shutdown();
        local_mqtt_set_server_uri(nullptr);
        local_mqtt_set_pub_prefix(nullptr);
        orvi_log_level_set(ORVI_LOG_INFO);
        delete broker_;
        delete root_;
    }
    void SetUp() override {
        if (!broker_->available()) GTEST_SKIP() << "no mosquitto on this machine";
        ASSERT_TRUE(broker_->running()) << broker_->log();
    }
    static int publish(const std::string &topic, const std::string &payload, int retain = 0) {
        return mqtt_event_publish(topic.c_str(), payload.c_str(), payload.size(), retain);
    }
    static PrivateBroker *broker_;
    static ScratchRoot *root_;
};
PrivateBroker *LocalMqttBroker::broker_ = nullptr;
ScratchRoot *LocalMqttBroker::root_ = nullptr;

size_t count_of(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

TEST_F(LocalMqttBroker, SecondSubscriptionOfANameReusesItsClient) {
    const char *first[] = {"mc/a"};
    const char *second[] = {"mc/b", "mc/c/#"};
    const int before = local_mqtt_subscriber_count();
    ASSERT_EQ(1, local_sub_topic_3("master_control", first, 1, first_cb));
    ASSERT_EQ(2, local_sub_topic_3("master_control", second, 2, first_cb));
    EXPECT_EQ(before + 1, local_mqtt_subscriber_count());
    EXPECT_EQ(1u, count_of(broker_->log(), " as master_control "));

    ASSERT_EQ(0, publish("mc/a", "1"));
    ASSERT_EQ(0, publish("mc/b", "2"));
    ASSERT_EQ(0, publish("mc/c/d", "3"));
    EXPECT_TRUE(g_first.has("mc/a", "1"));
    EXPECT_TRUE(g_first.has("mc/b", "2"));
    EXPECT_TRUE(g_first.has("mc/c/d", "3"));
}

TEST_F(LocalMqttBroker, SecondKindMapsWildcardAndExactTopics) {
    ASSERT_EQ(0, mqtt_local_event_subscribe("scene_client", "scene/set/#", second_wild_cb));
    ASSERT_EQ(0, mqtt_local_event_subscribe("scene_client", "scene/set", second_exact_cb));
    // The same mapping twice must not deliver twice.
    ASSERT_EQ(0, mqtt_local_event_subscribe("scene_client", "scene/set", second_exact_cb));
    ASSERT_EQ(0, publish("scene/set/0a1b", "w"));
    ASSERT_EQ(0, publish("scene/set", "e"));
    ASSERT_EQ(0, publish("scene/sets", "no"));
    ASSERT_EQ(0, publish("scene/set/end", "end"));
    ASSERT_TRUE(g_second_wild.has("scene/set/end", "end"));
    ASSERT_TRUE(g_second_exact.has("scene/set", "e"));
    ASSERT_TRUE(g_second_wild.has("scene/set/0a1b", "w"));
    local_mqtt_flush(5000);
    // Two topics: their messages may take different publishers, in any order.
    auto wild = g_second_wild.copy();
    std::sort(wild.begin(), wild.end());
    EXPECT_EQ(
        (std::vector<std::pair<std::string, std::string>>{{"scene/set/0a1b", "w"}, {"scene/set/end", "end"}}),
        wild);
    EXPECT_EQ((std::vector<std::pair<std::string, std::string>>{{"scene/set", "e"}}), g_second_exact.copy());
}

// Many messages on one topic, of equal and of varying lengths, through all
// ten publishers: they arrive in the order they were queued.
TEST_F(LocalMqttBroker, OneTopicArrivesInOrderThroughThePool) {
    const char *topics[] = {"order/#"};
    ASSERT_EQ(1, local_sub_topic_3("order_sub", topics, 1, probe_cb));
    g_probe.clear();
    const int n = 300;
    for (int i = 0; i < n; ++i)
        ASSERT_EQ(0, publish(i % 2 ? "order/a" : "order/b",
                             std::to_string(i) + std::string(i % 7 < 3 ? 0 : 5, ' ')));
    ASSERT_TRUE(g_probe.wait([&](const auto &g) { return g.size() >= static_cast<size_t>(n); }));
    int last_a = -1, last_b = -1;
    for (const auto &m : g_probe.copy()) {
        int v = std::stoi(m.second);
        int &last = m.first == "order/a" ? last_a : last_b;
        EXPECT_GT(v, last) << m.first;
        last = v;
    }
}

// A retained value, its deletion and a newer value, queued back to back on
// many topics: the broker keeps what was queued last.
TEST_F(LocalMqttBroker, RetainedDeletionIsNeverOvertaken) {
    for (int t = 0; t < 20; ++t) {
        std::string topic = "ret/" + std::to_string(t);
        publish(topic, "old", 1);
        delete_mqtt_retain(topic.c_str());
        if (t % 2) publish(topic, "new" + std::to_string(t), 1);
    }
    publish("retz/end", "end", 1);
    ASSERT_EQ(0, local_mqtt_flush(20000));
    g_probe.clear();
    const char *topics[] = {"ret/#", "retz/end"};
    ASSERT_EQ(2, local_sub_topic_3("retained_probe", topics, 2, probe_cb));
    ASSERT_TRUE(g_probe.has("retz/end", "end"));
    auto got = g_probe.copy();
    std::sort(got.begin(), got.end());
    std::vector<std::pair<std::string, std::string>> want;
    for (int t = 1; t < 20; t += 2)
        want.emplace_back("ret/" + std::to_string(t), "new" + std::to_string(t));
    want.emplace_back("retz/end", "end");
    std::sort(want.begin(), want.end());
    EXPECT_EQ(want, got);
}

// The broker crashes and comes back: both kinds of subscriber are subscribed
// again and receive, the publishers deliver what waited meanwhile, in order,
// and no client is left fighting another over its id.
TEST_F(LocalMqttBroker, EverySubscriberReceivesAgainAfterABrokerCrash) {
    const char *topics[] = {"crash/#"};
    ASSERT_EQ(1, local_sub_topic_3("crash_sub", topics, 1, first_cb));
    ASSERT_EQ(0, mqtt_local_event_subscribe("crash_client", "crash/#", second_wild_cb));
    ASSERT_EQ(0, publish("crash/x", "before"));
    ASSERT_TRUE(g_first.has("crash/x", "before"));
    ASSERT_TRUE(g_second_wild.has("crash/x", "before"));

    broker_->kill();
    for (int i = 0; i < 50; ++i)
        publish("crash/queued", std::to_string(i));
    ASSERT_TRUE(broker_->start());
    // Published again and again until the subscribers are back (they
    // reconnect on their own schedule).
    auto after = [](const auto &g) {
        return std::find(g.begin(), g.end(),
                         std::make_pair(std::string("crash/after"), std::string("after"))) != g.end();
    };
    bool back = false;
    for (int i = 0; i < 120 && !back; ++i) {
        publish("crash/after", "after");
        back = g_first.wait(after, 125) && g_second_wild.wait(after, 125);
    }
    ASSERT_TRUE(back) << broker_->log();
    int last = -1;
    for (const auto &m : g_first.copy()) {
        if (m.first != "crash/queued") continue;
        EXPECT_GT(std::stoi(m.second), last);
        last = std::stoi(m.second);
    }
    // One connection per id since the restart: nobody is knocked off.
    std::string log = broker_->log();
    EXPECT_EQ(std::string::npos, log.find("already connected, closing old connection")) << log;
}

}  // namespace
