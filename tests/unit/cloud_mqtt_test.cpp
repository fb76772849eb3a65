// The cloud MQTT link: its publish queues, the dispatch exchange (reply
// parsing, field bounds, a live exchange against a scripted server), the
// receive side (requests, time, relays), the status re-keying, and the
// client against a private broker (session rules, subscriptions that survive
// a broker that lost them, link state on loss, oversized payloads).
#include <MQTTClient.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cJSON.h"
#include "cloud_mqtt_parts.h"
#include "local_mqtt.h"
#include "orvi_aes.h"
#include "orvi_field.h"
#include "orvi_log.h"
#include "orvi_product.h"
#include "orvi_testing.h"
#include "orvi_transport.h"
#include "private_broker.h"
#include "product_subdev.h"
#include "scratch_root.h"

namespace {

constexpr const char *kHomeMac = "HOMEVB00000000A1";
constexpr const char *kHostMac = "020000aabb015221";
constexpr const char *kHomeKey = "homevbkey0000001";
constexpr const char *kRandomKey = "R123456789abcdef";
constexpr const char *kDefaultKey = "Ov3hK8qT1zR6wN2d";

bool eventually(const std::function<bool()> &pred, int ms = 10000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
}

std::string seal(const char *key, std::string text) {
    EXPECT_EQ(0, orvi_aes_encrypt(key, text));
    return text;
}

std::string open_with(const char *key, std::string text) {
    if (orvi_aes_decrypt(key, text) != 0) return "(undecryptable)";
    while (!text.empty() && (text.back() == '\n' || text.back() == '\0')) text.pop_back();
    return text;
}

std::string member(const std::string &json, const char *name) {
    cJSON *j = cJSON_Parse(json.c_str());
    const cJSON *m = cJSON_GetObjectItemCaseSensitive(j, name);
    std::string out = cJSON_IsString(m) ? m->valuestring : (m ? std::to_string(m->valueint) : "(none)");
    cJSON_Delete(j);
    return out;
}

// ---- Publish queues.

mqtt_pub_msg_t pub(const std::string &topic, const std::string &payload) {
    mqtt_pub_msg_t m;
    m.topic = topic;
    m.payload = payload;
    return m;
}

TEST(CloudPubQueues, SubdeviceStatusesAreTheStatusQueueTheHostsOwnIsControl) {
    const struct {
        const char *topic;
        bool status;
    } cases[] = {
        {"jsonStatus/HOMEVB00000000A1/a1b2c3d4e5f6", true},
        {"jsonStatus/HOMEVB00000000A1/020000aabb015221", true},
        {"jsonStatus/HOMEVB00000000A1", false},
        {"jsonStatus/HOMEVB", false},
        {"response/HOMEVB00000000A1", false},
        {"jsonStatus/OTHERHOME0000000/a1", true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.status, cloud_pub_queues::is_status(c.topic, kHomeMac)) << c.topic;
}

TEST(CloudPubQueues, LatestStatusPerTopicWaitsAndControlGoesFirst) {
    cloud_pub_queues q;
    q.push(pub("jsonStatus/HOMEVB00000000A1/aaaaaaaaaaaa", "a1"), kHomeMac);
    q.push(pub("jsonStatus/HOMEVB00000000A1/bbbbbbbbbbbb", "b1"), kHomeMac);
    q.push(pub("jsonStatus/HOMEVB00000000A1/aaaaaaaaaaaa", "a2"), kHomeMac);
    q.push(pub("response/HOMEVB00000000A1", "r1"), kHomeMac);
    q.push(pub("jsonStatus/HOMEVB00000000A1", "own"), kHomeMac);
    std::vector<std::string> order;
    for (mqtt_pub_msg_t m; q.take(m);) order.push_back(m.payload);
    EXPECT_EQ((std::vector<std::string>{"r1", "own", "b1", "a2"}), order);
}

TEST(CloudPubQueues, FullStatusQueueDropsItsNewestForANewTopic) {
    cloud_pub_queues q;
    for (int k = 0; k < CLOUD_STATUS_QUEUE_MAX; ++k)
        q.push(pub("jsonStatus/HOMEVB00000000A1/" + std::to_string(k), "s" + std::to_string(k)), kHomeMac);
    q.push(pub("jsonStatus/HOMEVB00000000A1/new", "new"), kHomeMac);
    ASSERT_EQ(static_cast<size_t>(CLOUD_STATUS_QUEUE_MAX), q.size(CLOUD_PUB_STATUS));
    auto st = q.pending(CLOUD_PUB_STATUS);
    EXPECT_EQ("s0", st.front().payload);
    EXPECT_EQ("new", st.back().payload);
    EXPECT_EQ("s" + std::to_string(CLOUD_STATUS_QUEUE_MAX - 2), st[st.size() - 2].payload);
    // A newer status of a waiting topic replaces it even when the queue is full.
    q.push(pub("jsonStatus/HOMEVB00000000A1/0", "s0b"), kHomeMac);
    EXPECT_EQ(static_cast<size_t>(CLOUD_STATUS_QUEUE_MAX), q.size(CLOUD_PUB_STATUS));
    EXPECT_EQ("s1", q.pending(CLOUD_PUB_STATUS).front().payload);
}

TEST(CloudPubQueues, RecordClampsQosRetainAndRefusesWhatCannotGo) {
    const std::string long_topic(CLOUD_TOPIC_MAX + 1, 't');
    const struct {
        const char *topic;
        int qos, retain;
        const char *payload;
        size_t length;
        int rc, want_qos, want_retain;
        const char *want_payload;
    } cases[] = {
        {"response/x", 5, 2, "abc", 3, 0, 2, 0, "abc"},
        {"response/x", -1, 1, "abc", 3, 0, 0, 1, "abc"},
        {"response/x", 1, 0, "ab\0cd", 5, 0, 1, 0, "ab"},
        {"response/x", 1, 0, "abcdef", 3, 0, 1, 0, "abc"},
        {"response/x", 1, 0, "abc", 0, -1, 0, 0, ""},
        {"response/x", 1, 0, nullptr, 3, -1, 0, 0, ""},
        {nullptr, 1, 0, "abc", 3, -1, 0, 0, ""},
        {"", 1, 0, "abc", 3, -1, 0, 0, ""},
        {long_topic.c_str(), 1, 0, "abc", 3, -1, 0, 0, ""},
    };
    for (const auto &c : cases) {
        mqtt_pub_msg_t m;
        ASSERT_EQ(c.rc, cloud_pub_msg_make(c.topic, c.qos, c.retain, c.payload, c.length, &m))
            << (c.topic ? c.topic : "(null)") << " " << c.length;
        if (c.rc != 0) continue;
        EXPECT_EQ(c.want_qos, m.qos);
        EXPECT_EQ(c.want_retain, m.retain_flag);
        EXPECT_EQ(c.want_payload, m.payload);
    }
}

// ---- Dispatch.

std::string dis_reply(const std::string &inner) {
    return "{\"pack\":\"" + seal(kDefaultKey, inner) + "\"}";
}

TEST(CloudDispatch, RequestLineIsOneJsonLine) {
    EXPECT_EQ("{\"t\":\"dis\",\"mac\":\"HOMEVB00000000A1\",\"needMqtt\":1,\"nlu\":1}\n",
              cloud_dis_request(kHomeMac, 1, 1));
}

TEST(CloudDispatch, ReplyIsOpenedOrRefusedWhole) {
    const std::string good =
        R"({"mqttInfo":{"host":"192.0.2.1","port":1884,"username":"cloud","password":"pw"},"nluInfo":{"nluHost":"nlu.example","nluPort":9000}})";
    cloud_dis_info_t d;
    ASSERT_EQ(0, cloud_dis_reply_parse(dis_reply(good), kDefaultKey, &d));
    EXPECT_EQ("192.0.2.1", d.broker_host);
    EXPECT_EQ(1884, d.broker_port);
    EXPECT_EQ("cloud", d.username);
    EXPECT_EQ("pw", d.password);
    EXPECT_EQ("nlu.example", d.nlu_host);
    EXPECT_EQ(9000, d.nlu_port);

    const std::string bad[] = {
        "",
        "garbage",
        R"({"pack":12})",
        R"({"pack":"not base64 at all"})",
        "{\"pack\":\"" + seal("otherkey00000000", good) + "\"}",
        dis_reply("not json"),
        dis_reply(R"({"mqttInfo":{"host":"h","port":0,"username":"u","password":"p"}})"),
        dis_reply(R"({"mqttInfo":{"host":"h","port":65536,"username":"u","password":"p"}})"),
        dis_reply(R"({"mqttInfo":{"host":"h","port":1.5,"username":"u","password":"p"}})"),
        dis_reply(R"({"mqttInfo":{"host":"h","port":"1883","username":"u","password":"p"}})"),
        dis_reply(R"({"mqttInfo":{"host":"","port":1883,"username":"u","password":"p"}})"),
        dis_reply(R"({"mqttInfo":{"host":"h","port":1883,"password":"p"}})"),
        dis_reply(R"({"nluInfo":{}})"),
    };
    for (const auto &r : bad)
        EXPECT_EQ(-1, cloud_dis_reply_parse(r, kDefaultKey, &d)) << r;
}

TEST(CloudDispatch, BrokerFieldsFitOrAreRefused) {
    cloud_dis_info_t d;
    d.broker_port = 65535;
    d.username = std::string(30, 'u');
    d.password = std::string(30, 'p');
    MQTT_Info_t info{};
    ASSERT_EQ(0, cloud_mqtt_info_fill("255.255.255.255", d, &info));
    EXPECT_STREQ("tcp://255.255.255.255:65535", info.host);
    EXPECT_STREQ("65535", info.port);
    EXPECT_EQ(d.username, info.username);

    MQTT_Info_t kept = info;
    for (auto spoil : std::vector<std::function<void(cloud_dis_info_t &)>>{
             [](cloud_dis_info_t &x) { x.username.push_back('u'); },
             [](cloud_dis_info_t &x) { x.password.push_back('p'); },
             [](cloud_dis_info_t &x) { x.broker_port = 0; },
             [](cloud_dis_info_t &x) { x.broker_port = 70000; },
         }) {
        cloud_dis_info_t bad = d;
        spoil(bad);
        EXPECT_EQ(-1, cloud_mqtt_info_fill("255.255.255.255", bad, &info));
        EXPECT_EQ(0, memcmp(&kept, &info, sizeof info)) << "a refused fill leaves the fields alone";
    }
}

// A one-connection dispatch server on the loopback: reads the request line,
// then plays `answer` on the accepted socket.
class DisServer {
  public:
    explicit DisServer(std::function<void(int fd)> answer) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        listen(fd_, 4);
        t_ = std::thread([this, answer] {
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            char buf[512];
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n > 0) request_.assign(buf, static_cast<size_t>(n));
            answer(c);
            close(c);
        });
    }
    ~DisServer() {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        if (t_.joinable()) t_.join();
    }
    uint16_t port() const { return port_; }
    std::string request_;

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
    std::thread t_;
};

TEST(CloudDispatch, ReplyIsReadUntilCompleteAndBounded) {
    const std::string reply = dis_reply(R"({"mqttInfo":{"host":"192.0.2.1","port":1884,"username":"u","password":"p"}})");
    const struct {
        const char *name;
        std::function<void(int)> answer;
        std::string want;
    } cases[] = {
        {"whole", [&](int c) { send(c, reply.data(), reply.size(), 0); }, reply},
        {"split across two sends",
         [&](int c) {
             send(c, reply.data(), 10, 0);
             std::this_thread::sleep_for(std::chrono::milliseconds(200));
             send(c, reply.data() + 10, reply.size() - 10, 0);
         },
         reply},
        {"closed without a word", [](int) {}, ""},
        {"longer than the limit",
         [](int c) {
             std::string big = "{\"pack\":\"" + std::string(3000, 'A');
             send(c, big.data(), big.size(), MSG_NOSIGNAL);
         },
         "{\"pack\":\"" + std::string(CLOUD_DIS_REPLY_MAX - 9, 'A')},
        {"a zero byte ends it", [](int c) { send(c, "{\"pack\0\":1}", 11, 0); }, "{\"pack"},
    };
    for (const auto &c : cases) {
        DisServer srv(c.answer);
        std::string got = "stale";
        ASSERT_EQ(0, Connet_disServes("127.0.0.1", srv.port(), kHomeMac, 1, 1, got)) << c.name;
        EXPECT_EQ(c.want, got) << c.name;
        EXPECT_EQ(cloud_dis_request(kHomeMac, 1, 1), srv.request_) << c.name;
    }
}

TEST(CloudDispatch, RefusedConnectionFailsAfterThreeAttempts) {
    uint16_t port;
    {
        DisServer gone([](int) {});
        port = gone.port();
    }
    std::string got;
    EXPECT_EQ(-1, Connet_disServes("127.0.0.1", port, kHomeMac, 1, 1, got));
    EXPECT_EQ(-1, Connet_disServes("not an address", 1, kHomeMac, 1, 1, got));
}

// ---- Receive side and status relay: identity, registry, sink and local
// lists under the test's control.

class CloudRx : public ::testing::Test {
  protected:
    void SetUp() override {
        {
            orvi::MutexLock lk(orvi_dev_info_mutex());
            saved_ = orvi_dev_info;
            orvi_field_set(orvi_dev_info.default_key, kDefaultKey);
            orvi_field_set(orvi_dev_info.random_key, kRandomKey);
            orvi_field_set(orvi_dev_info.home_key, kHomeKey);
            orvi_field_set(orvi_dev_info.home_mac_str, kHomeMac);
            orvi_field_set(orvi_dev_info.host_mac_str, kHostMac);
            orvi_dev_info.time_calibration = 0;
        }
        product_registry_reset_for_test();
        local_mqtt_pending_clear();
        orvi_request_sink_t sink;
        sink.send = [this](const request_type_t &r) {
            std::lock_guard<std::mutex> lk(mu_);
            requests_.push_back(r);
            return 0;
        };
        orvi_transport_set_sink(std::move(sink));
    }
    void TearDown() override {
        orvi_transport_set_sink(orvi_request_sink_t{});
        local_mqtt_pending_clear();
        product_registry_reset_for_test();
        orvi::MutexLock lk(orvi_dev_info_mutex());
        orvi_dev_info = saved_;
    }
    static orvi_subdev_ptr add(const char *mac, dev_type_t type, const char *key) {
        orvi_subdev_list_t d;
        orvi_field_set(d.mac, mac);
        orvi_field_set(d.mid, "90001");
        orvi_field_set(d.key, key);
        d.dev_type = type;
        return product_add_subdev_to_host(&d);
    }
    static std::vector<local_pub_msg_t> local() { return local_mqtt_pending(LOCAL_PUB_LIST_CONTROL); }

    ScratchRoot root_;
    orvi_dev_info_t saved_;
    std::mutex mu_;
    std::vector<request_type_t> requests_;
};

TEST_F(CloudRx, RequestsReachTheQueueAndAHomeLevelOneAlsoTheSiblings) {
    const std::string home(kHomeMac);
    const std::string body = R"({"t":"pack","i":1,"cid":"app","tcid":"x","pack":"abc"})";
    const struct {
        std::string topic;
        bool queued;
        const char *target;  // null: none
        bool local_copy;
    } cases[] = {
        {"request/" + home + "/a1b2c3d4e5f6", true, "a1b2c3d4e5f6", false},
        {"request/" + home, true, nullptr, true},
        {"request/" + home + "/" + home, true, kHomeMac, true},
        {"request/" + home + "/a1b2c3d4e5f6a1b2c", false, nullptr, false},
        {"request/" + home + "/a1/b2", false, nullptr, false},
    };
    for (const auto &c : cases) {
        requests_.clear();
        local_mqtt_pending_clear();
        cloud_rx_handle(c.topic, body);
        ASSERT_EQ(c.queued ? 1u : 0u, requests_.size()) << c.topic;
        if (c.queued) {
            const request_type_t &r = requests_[0];
            EXPECT_EQ(body, r.data);
            EXPECT_EQ(SOCKET_CONNECT_TYPE_MQTT, r.sockinfo.type);
            EXPECT_EQ(-1, r.sockinfo.fd);
            EXPECT_EQ(DATA_TYPE_NEED_PARSE, r.data_type);
            EXPECT_EQ(c.target != nullptr, r.ctx.has_text) << c.topic;
            if (c.target) {
                EXPECT_EQ(c.target, r.ctx.text);
            }
        }
        auto l = local();
        ASSERT_EQ(c.local_copy ? 1u : 0u, l.size()) << c.topic;
        if (c.local_copy) {
            EXPECT_EQ("/jsonRequest/" + home, l[0].topic);
            EXPECT_EQ(home, member(l[0].payload, "cid"));
            EXPECT_EQ("abc", member(l[0].payload, "pack"));
        }
    }
    // Not JSON, or no "pack": nothing queued.
    requests_.clear();
    cloud_rx_handle("request/" + home + "/a1b2c3d4e5f6", "{not json");
    cloud_rx_handle("request/" + home + "/a1b2c3d4e5f6", R"({"t":"pack","cid":"x"})");
    EXPECT_TRUE(requests_.empty());
}

TEST_F(CloudRx, OnlyAWellFormedTimeReachesTheClock) {
    const struct {
        const char *text;
        bool ok;
    } cases[] = {
        {"2026-12-10 10:20:30", true},   {"2026-02-29 23:59:59", true},  {"2026-13-10 10:20:30", false},
        {"2026-12-10 24:00:00", false},  {"2026-12-10 10:20:30x", false}, {"2026-12-10T10:20:30", false},
        {"2026-12-10 10:20", false},     {"", false},                     {"20a6-12-10 10:20:30", false},
        {"2026-12-10 10:20:3\n", false}, {nullptr, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.ok, cloud_time_text_ok(c.text)) << (c.text ? c.text : "(null)");

    root_.clear_commands();
    cloud_rx_handle("time", R"({"time":"2026-12-10 10:20:30x; reboot"})");
    cloud_rx_handle("time", R"({"time":12})");
    cloud_rx_handle("time", "not json");
    EXPECT_TRUE(root_.commands().empty());
    cloud_rx_handle("time", R"({"time":"2026-12-10 10:20:30"})");
    bool set = false;
    for (const std::string &c : root_.commands())
        set = set || c.find("timedatectl set-time 2026-12-10 10:20:30") == 0;
    EXPECT_TRUE(set);
}

TEST_F(CloudRx, AirAndRoomMapMessagesAreRelayedSealedByTheHost) {
    cloud_rx_handle(std::string("airManageDevice/") + kHomeMac, R"({"air":1})");
    const std::string map = R"({"rooms":[1,2]})";
    cloud_rx_handle(std::string("thirdRoomMap/") + kHomeMac + "/partner",
                    "{\"pack\":\"" + seal(kHomeKey, map) + "\"}");
    cloud_rx_handle(std::string("thirdRoomMap/") + kHomeMac + "/partner", R"({"pack":"junk"})");
    cloud_rx_handle("somewhere/else", "{}");
    auto l = local();
    ASSERT_EQ(2u, l.size());
    EXPECT_EQ("/AirEvent", l[0].topic);
    EXPECT_EQ(kHostMac, member(l[0].payload, "cid"));
    EXPECT_EQ(R"({"air":1})", open_with(kRandomKey, member(l[0].payload, "pack")));
    EXPECT_EQ("roomMap/partner", l[1].topic);
    const std::string inner = open_with(kRandomKey, member(l[1].payload, "pack"));
    EXPECT_EQ(std::string("{\"mac\":\"") + kHomeMac + "\",\"sub\":\"\",\"mid\":\"" + product_get_mid_str() +
                  "\",\"plaintext\":" + map + "}",
              inner);

    cloud_rx_firmware("firmware/70502", "{\"v\":2}");
    l = local();
    ASSERT_EQ(3u, l.size());
    EXPECT_EQ("firmware/70502", l[2].topic);
    EXPECT_EQ("{\"v\":2}", l[2].payload);
}

std::string package(const std::string &cid, int i, const char *key, const std::string &body) {
    return "{\"cid\":\"" + cid + "\",\"tcid\":\"t\",\"uid\":0,\"t\":\"pack\",\"i\":" + std::to_string(i) +
           ",\"pack\":\"" + seal(key, body) + "\"}";
}

TEST_F(CloudRx, StatusesAreReKeyedWithTheHomeKey) {
    add("a1b2c3d4e5f6", DEV_TYPE_CAN, "devkey0000000001");
    add("02aabb000001", DEV_TYPE_UDP, "devkey0000000002");
    const std::string home(kHomeMac), host(kHostMac);
    const std::string body = R"({"opt":["Pow"],"mid":"90001","p":[1],"mac":"m"})";
    const std::string rekeyed = R"({"mac":"m","cols":["Pow"],"dat":[1]})";
    const struct {
        std::string topic, package;
        const char *cloud_topic;  // null: not relayed
    } cases[] = {
        {"/jsonStatus/" + home + "/a1b2c3d4e5f6", package("a1b2c3d4e5f6", 0, "devkey0000000001", body),
         "jsonStatus/HOMEVB00000000A1/a1b2c3d4e5f6"},
        {"/jsonStatus/" + home + "/a1b2c3d4e5f6", package("x", 1, kDefaultKey, body),
         "jsonStatus/HOMEVB00000000A1/a1b2c3d4e5f6"},
        {"/jsonStatus/" + home, package(home, 0, kHomeKey, body), "jsonStatus/HOMEVB00000000A1"},
        {"/fakeStatus/" + host + "/" + host, package(host, 0, kRandomKey, body),
         "jsonStatus/HOMEVB00000000A1/020000aabb015221"},
        {"/jsonStatus/" + home, package("stranger", 0, kHomeKey, body), nullptr},
        {"/jsonStatus/" + home + "/02aabb000001", package(home, 0, kHomeKey, body), nullptr},
        {"/jsonStatus/" + home + "/ffffffffffff", package(home, 0, kHomeKey, body), nullptr},
        {"/jsonStatus/" + home + "/a1b2c3d4e5f6", package("a1b2c3d4e5f6", 0, "wrongkey00000000", body), nullptr},
        {"/jsonStatus/" + home + "/a1b2c3d4e5f6", R"({"cid":"a","pack":"x"})", nullptr},
        {"/jsonStatus/" + home + "/a1b2c3d4e5f6", "not json", nullptr},
        {"/jsonStatus/" + home + "/", package(home, 0, kHomeKey, body), nullptr},
    };
    for (const auto &c : cases) {
        std::string topic, pkg;
        const int rc = cloud_status_rekey(c.topic.c_str(), c.package.c_str(), topic, pkg);
        ASSERT_EQ(c.cloud_topic ? 0 : -1, rc) << c.topic << " " << c.package;
        if (!c.cloud_topic) continue;
        EXPECT_EQ(c.cloud_topic, topic);
        EXPECT_EQ(home, member(pkg, "cid"));
        EXPECT_EQ("0", member(pkg, "i"));
        EXPECT_EQ("t", member(pkg, "tcid"));
        EXPECT_EQ(rekeyed, open_with(kHomeKey, member(pkg, "pack"))) << c.topic;
        // "pack", "cid", "i" end the package, in that order.
        EXPECT_LT(pkg.find("\"pack\""), pkg.find("\"cid\""));
        EXPECT_LT(pkg.find("\"cid\""), pkg.find("\"i\""));
    }
}

// ---- The client against a private broker.

// The cloud's side: a synchronous client on the private broker.
class CloudPeer {
  public:
    explicit CloudPeer(const std::string &uri) {
        MQTTClient_create(&c_, uri.c_str(), "unit-cloud-peer", MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    }
    ~CloudPeer() {
        if (MQTTClient_isConnected(c_)) MQTTClient_disconnect(c_, 100);
        MQTTClient_destroy(&c_);
    }
    bool connect() {
        MQTTClient_connectOptions o = MQTTClient_connectOptions_initializer;
        o.cleansession = 1;
        return MQTTClient_connect(c_, &o) == MQTTCLIENT_SUCCESS;
    }
    bool subscribe(const char *topic) { return MQTTClient_subscribe(c_, topic, 1) == MQTTCLIENT_SUCCESS; }
    bool publish(const std::string &topic, const std::string &payload) {
        MQTTClient_deliveryToken tok;
        if (MQTTClient_publish(c_, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, 0, &tok) !=
            MQTTCLIENT_SUCCESS)
            return false;
        return MQTTClient_waitForCompletion(c_, tok, 5000) == MQTTCLIENT_SUCCESS;
    }
    // The next message within `ms`: topic and payload, or empty.
    std::pair<std::string, std::string> receive(unsigned long ms) {
        char *topic = nullptr;
        int len = 0;
        MQTTClient_message *m = nullptr;
        std::pair<std::string, std::string> out;
        if (MQTTClient_receive(c_, &topic, &len, &m, ms) == MQTTCLIENT_SUCCESS && topic && m) {
            out.first = topic;
            out.second.assign(static_cast<const char *>(m->payload), static_cast<size_t>(m->payloadlen));
        }
        if (m) MQTTClient_freeMessage(&m);
        if (topic) MQTTClient_free(topic);
        return out;
    }

  private:
    MQTTClient c_ = nullptr;
};

class CloudLink : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!broker_.available()) GTEST_SKIP() << "no mosquitto on this machine";
        ASSERT_TRUE(broker_.start()) << broker_.log();
        cloud_mqtt_hooks_t h;
        h.params = [this](MQTT_Info_t *info) {
            // The dispatch server answers only while the broker runs.
            if (!broker_ready_.load()) return -1;
            cloud_dis_info_t d;
            d.broker_port = broker_.port();
            d.username = "cloud";
            d.password = "pw";
            params_asked_++;
            return cloud_mqtt_info_fill("127.0.0.1", d, info);
        };
        h.home_mac = [this] {
            std::lock_guard<std::mutex> lk(mu_);
            return home_;
        };
        h.host_mac = [] { return std::string(kHostMac); };
        h.state = [this](int up) {
            std::lock_guard<std::mutex> lk(mu_);
            states_.push_back(up);
        };
        h.message = [this](const std::string &t, const std::string &p) {
            std::lock_guard<std::mutex> lk(mu_);
            messages_.emplace_back(t, p);
        };
        h.firmware = [this](const std::string &t, const std::string &p) {
            std::lock_guard<std::mutex> lk(mu_);
            firmware_.emplace_back(t, p);
        };
        link_ = std::make_unique<cloud_mqtt_link>(std::move(h));
    }
    void TearDown() override { link_.reset(); }
    template <typename T>
    size_t count(const std::vector<T> &v) {
        std::lock_guard<std::mutex> lk(mu_);
        return v.size();
    }
    bool got_message(const std::vector<std::pair<std::string, std::string>> &v, const std::string &topic,
                     const std::string &payload) {
        return eventually([&] {
            std::lock_guard<std::mutex> lk(mu_);
            for (const auto &m : v)
                if (m.first == topic && m.second == payload) return true;
            return false;
        });
    }
    int last_state() {
        std::lock_guard<std::mutex> lk(mu_);
        return states_.empty() ? -1 : states_.back();
    }
    size_t broker_log_count(const std::string &needle) {
        const std::string log = broker_.log();
        size_t n = 0;
        for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
        return n;
    }

    PrivateBroker broker_;
    std::atomic<bool> broker_ready_{true};
    std::atomic<int> params_asked_{0};
    std::mutex mu_;
    std::string home_ = kHomeMac;
    std::vector<int> states_;
    std::vector<std::pair<std::string, std::string>> messages_, firmware_;
    std::unique_ptr<cloud_mqtt_link> link_;
};

TEST_F(CloudLink, FirstConnectionIsCleanLaterOnesKeepTheSessionAndEverySubscriptionIsMadeAgain) {
    const std::string id = std::string(kHomeMac) + "-015221";
    const char *fw[] = {"firmware/70502"};
    ASSERT_EQ(0, link_->subscribe(fw, 1));  // asked before the link is up
    ASSERT_EQ(0, link_->start());
    ASSERT_TRUE(eventually([&] { return link_->up(); })) << broker_.log();
    EXPECT_EQ(1, last_state());
    EXPECT_EQ(1u, broker_log_count("as " + id + " (p2, c1, k60, u'cloud')")) << broker_.log();

    CloudPeer peer(broker_.uri());
    ASSERT_TRUE(peer.connect());
    ASSERT_TRUE(eventually([&] { return broker_log_count(id + " 1 firmware/70502") == 1; })) << broker_.log();
    ASSERT_TRUE(peer.publish("firmware/70502", "v1"));
    EXPECT_TRUE(got_message(firmware_, "firmware/70502", "v1"));

    // The broker dies and comes back without its sessions.
    broker_ready_.store(false);
    broker_.kill();
    ASSERT_TRUE(eventually([&] { return last_state() == 0; })) << "the loss lowers the link state";
    EXPECT_FALSE(link_->up());
    ASSERT_TRUE(broker_.start());
    broker_ready_.store(true);
    ASSERT_TRUE(eventually([&] { return link_->up(); }, 20000)) << broker_.log();
    EXPECT_EQ(1, last_state());
    EXPECT_EQ(1u, broker_log_count("as " + id + " (p2, c0, k60, u'cloud')")) << broker_.log();

    // Subscriptions asked while up and earlier ones are all served again.
    const char *more[] = {"firmware/90001"};
    ASSERT_EQ(0, link_->subscribe(more, 1));
    CloudPeer again(broker_.uri());
    ASSERT_TRUE(again.connect());
    ASSERT_TRUE(eventually([&] { return broker_log_count(id + " 1 firmware/90001") >= 1; })) << broker_.log();
    ASSERT_TRUE(again.publish("firmware/70502", "v2"));
    ASSERT_TRUE(again.publish("firmware/90001", "v3"));
    EXPECT_TRUE(got_message(firmware_, "firmware/70502", "v2"));
    EXPECT_TRUE(got_message(firmware_, "firmware/90001", "v3"));
}

TEST_F(CloudLink, CloudMessagesArriveBoundedAndRepliesGoOut) {
    ASSERT_EQ(0, link_->start());
    ASSERT_TRUE(eventually([&] { return link_->up(); })) << broker_.log();
    CloudPeer peer(broker_.uri());
    ASSERT_TRUE(peer.connect());
    ASSERT_TRUE(peer.subscribe("response/#"));

    const std::string req = std::string("request/") + kHomeMac + "/a1b2c3d4e5f6";
    ASSERT_TRUE(peer.publish(req, std::string(CLOUD_RX_PAYLOAD_MAX + 1, 'x')));
    ASSERT_TRUE(peer.publish(req, std::string(CLOUD_RX_PAYLOAD_MAX, 'y')));
    ASSERT_TRUE(peer.publish("time", "{\"time\":\"2026-12-10 10:20:30\"}"));
    EXPECT_TRUE(got_message(messages_, req, std::string(CLOUD_RX_PAYLOAD_MAX, 'y')));
    EXPECT_TRUE(got_message(messages_, "time", "{\"time\":\"2026-12-10 10:20:30\"}"));
    EXPECT_EQ(2u, count(messages_)) << "the oversized payload is dropped";

    ASSERT_EQ(0, link_->publish((std::string("response/") + kHomeMac).c_str(), 1, 0, "answer", 6));
    auto got = peer.receive(10000);
    EXPECT_EQ(std::string("response/") + kHomeMac, got.first);
    EXPECT_EQ("answer", got.second);
}

TEST_F(CloudLink, LinkFollowsTheHomeMacAndADisconnectRebuildsIt) {
    ASSERT_EQ(0, link_->start());
    ASSERT_TRUE(eventually([&] { return link_->up(); })) << broker_.log();
    {
        std::lock_guard<std::mutex> lk(mu_);
        home_ = "HOMEVB00000000B2";
    }
    ASSERT_TRUE(eventually([&] { return broker_log_count("HOMEVB00000000B2-015221 2 request/HOMEVB00000000B2/#") == 1; }))
        << broker_.log();
    ASSERT_TRUE(eventually([&] { return link_->up(); }));
    const int asked = params_asked_.load();
    link_->disconnect();
    ASSERT_TRUE(eventually([&] { return params_asked_.load() > asked && link_->up(); })) << broker_.log();
    EXPECT_EQ(2u, broker_log_count("HOMEVB00000000B2-015221 2 request/HOMEVB00000000B2/#")) << broker_.log();
}

}  // namespace
