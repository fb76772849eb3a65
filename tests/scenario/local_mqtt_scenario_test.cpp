// The local MQTT transport on the virtual board with its real broker: the
// daemon's publishers connect with the credentials it generated; a second
// process on the board (mqttcheck) drives the product's own transport
// while orvictl watch looks on; the broker crashes, restarts and stays down;
// the simulated CAN and RS-485 services answer the host's requests.
#include <cJSON.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board.h"

namespace {

const std::string kBin = "/opt/vboard/bin/";

// Starts a board program in the background; its output (both streams)
// goes to `out` inside the board.
void background(const Board &b, const std::string &out, std::vector<std::string> argv) {
    std::vector<std::string> cmd = {"sh", "-c", "setsid \"$@\" > " + out + " 2>&1 < /dev/null &", "sh"};
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    ASSERT_EQ(0, b.exec(cmd).status);
}

bool wait_for(const std::function<bool()> &pred, std::chrono::seconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

bool file_has(const Board &b, const std::string &path, const std::string &needle,
              std::chrono::seconds timeout = std::chrono::seconds(30)) {
    return wait_for([&] { return b.read(path).find(needle) != std::string::npos; }, timeout);
}

std::vector<std::string> lines_of(const std::string &text, const std::string &prefix = "") {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
    return out;
}

// The numbers in the third column of "WORD TOPIC N ..." lines for `topic`.
std::vector<long> seqs(const std::string &text, const std::string &word, const std::string &topic) {
    std::vector<long> out;
    for (const std::string &l : lines_of(text, word + " " + topic + " "))
        out.push_back(std::stol(l.substr(word.size() + topic.size() + 2)));
    return out;
}

bool increasing(const std::vector<long> &v) {
    for (size_t i = 1; i < v.size(); ++i)
        if (v[i] <= v[i - 1]) return false;
    return true;
}

struct watched {
    std::string topic;
    bool retain = false;
    std::string payload;
    std::string plain;  // empty when null
};

// The lines of `orvictl watch --json`.
std::vector<watched> watch_lines(const std::string &text) {
    std::vector<watched> out;
    for (const std::string &l : lines_of(text, "{")) {
        cJSON *j = cJSON_Parse(l.c_str());
        if (!j) continue;
        watched w;
        w.topic = cJSON_GetObjectItem(j, "topic")->valuestring;
        w.retain = cJSON_IsTrue(cJSON_GetObjectItem(j, "retain"));
        w.payload = cJSON_GetObjectItem(j, "payload")->valuestring;
        const cJSON *p = cJSON_GetObjectItem(j, "plain");
        if (cJSON_IsString(p)) w.plain = p->valuestring;
        out.push_back(w);
        cJSON_Delete(j);
    }
    return out;
}

long seq_in(const std::string &plain) {
    cJSON *j = cJSON_Parse(plain.c_str());
    const cJSON *s = j ? cJSON_GetObjectItem(j, "seq") : nullptr;
    long v = cJSON_IsNumber(s) ? s->valueint : -1;
    cJSON_Delete(j);
    return v;
}

std::string config_value(const Board &b, const char *key) {
    cJSON *j = cJSON_Parse(b.read("/data/domivault/data/orvi_params.json").c_str());
    const cJSON *v = j ? cJSON_GetObjectItem(j, key) : nullptr;
    std::string s = cJSON_IsString(v) ? v->valuestring : "";
    cJSON_Delete(j);
    return s;
}

class LocalMqttScenario : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(b.start());
        for (int n = 1; n <= 10; ++n)
            ASSERT_TRUE(
                b.wait_for_log("[LOCAL]:LocalPub_" + std::to_string(n) + " connected to tcp://127.0.0.1:1883",
                               std::chrono::seconds(30)))
                << b.logs();
    }
    // The broker's log since its last start.
    std::string broker_log_since_start() const {
        std::string log = b.read("/vboard/mosquitto.log");
        size_t at = log.rfind(" starting");
        return at == std::string::npos ? log : log.substr(at);
    }
    // The daemon's ten publishers are connected to the broker running now.
    bool daemon_publishers_back() const {
        return wait_for(
            [&] {
                std::string log = broker_log_since_start();
                for (int n = 1; n <= 10; ++n)
                    if (log.find(" as LocalPub_" + std::to_string(n) + " ") == std::string::npos)
                        return false;
                return true;
            },
            std::chrono::seconds(30));
    }
    // The host publishes and subscribes (both kinds) while the broker goes
    // away and comes back: every subscription is restored, nothing arrives out
    // of order, and nobody fights over a client id.
    void broker_disruption(const std::vector<std::string> &disrupt) {
        background(b, "/tmp/watch.out", {kBin + "orvictl", "watch", "chk/#", "--json", "--timeout", "120"});
        background(
            b, "/tmp/pubsub.out",
            {kBin + "mqttcheck", "pubsub", "--topic", "chk/q", "--count", "400", "--interval-ms", "20"});
        ASSERT_TRUE(file_has(b, "/tmp/pubsub.out", "recv2 chk/q"));
        for (const std::string &cmd : disrupt) {
            ASSERT_EQ(0, b.sh(cmd).status) << cmd;
        }
        ASSERT_TRUE(file_has(b, "/tmp/pubsub.out", "summary", std::chrono::seconds(90)));
        const std::string out = b.read("/tmp/pubsub.out");
        std::vector<long> published = seqs(out, "published", "chk/q");
        EXPECT_EQ(400u, published.size());
        EXPECT_TRUE(increasing(published));
        for (const char *kind : {"recv1", "recv2"}) {
            std::vector<long> got = seqs(out, kind, "chk/q");
            ASSERT_FALSE(got.empty()) << kind;
            EXPECT_TRUE(increasing(got)) << kind;
            EXPECT_EQ(399, got.back()) << kind << ": subscribed again after the restart\n" << out;
        }
        std::vector<long> watched_seqs;
        for (const watched &w : watch_lines(b.read("/tmp/watch.out")))
            watched_seqs.push_back(seq_in(w.plain));
        EXPECT_TRUE(increasing(watched_seqs));
        EXPECT_EQ(std::string::npos,
                  b.read("/vboard/mosquitto.log").find("already connected, closing old connection"));
        EXPECT_TRUE(daemon_publishers_back()) << b.read("/vboard/mosquitto.log");
    }
    Board b;
};

TEST_F(LocalMqttScenario, DaemonConnectsWithTheCredentialsItGenerated) {
    const std::string user = config_value(b, "mqttUser");
    ASSERT_FALSE(user.empty());
    std::string log = b.read("/vboard/mosquitto.log");
    for (int n = 1; n <= 10; ++n)
        EXPECT_NE(std::string::npos,
                  log.find(" as LocalPub_" + std::to_string(n) + " (p2, c1, k60, u'" + user + "')"))
            << n;
    EXPECT_EQ(std::string::npos, log.find("already connected, closing old connection")) << log;
    // The simulated line services found the same credentials.
    EXPECT_TRUE(file_has(b, "/vboard/simsvc.log", "subscribed to can/check"));
}

// 1,000 statuses of one topic queued at once reach a subscriber in order,
// each a package the watcher opens with the host random key.
TEST_F(LocalMqttScenario, ThousandStatusesOfOneTopicArriveInOrder) {
    const std::string topic = "/jsonStatus/0123456789abcdef/a1b2c3d4e5f6";
    background(b, "/tmp/watch.out",
               {kBin + "orvictl", "watch", topic, "--json", "--count", "1000", "--timeout", "120"});
    ASSERT_TRUE(file_has(b, "/tmp/watch.out", "subscribed to"));
    Board::Result r = b.exec({kBin + "mqttcheck", "publish", topic + "=1000"});
    ASSERT_EQ(0, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\"published\":1000,\"failed\":0")) << r.out;

    ASSERT_TRUE(wait_for([&] { return watch_lines(b.read("/tmp/watch.out")).size() >= 1000; },
                         std::chrono::seconds(60)));
    std::vector<watched> got = watch_lines(b.read("/tmp/watch.out"));
    ASSERT_EQ(1000u, got.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(topic, got[i].topic);
        EXPECT_FALSE(got[i].retain);
        ASSERT_EQ(static_cast<long>(i), seq_in(got[i].plain)) << got[i].payload;
    }
}

TEST_F(LocalMqttScenario, BrokerCrashRestoresSubscriptionsAndOrder) {
    broker_disruption({"kill -9 $(cat /run/vboard/mosquitto.pid)", "sleep 1", "systemctl start mosquitto"});
}

TEST_F(LocalMqttScenario, SystemctlRestartRestoresSubscriptionsAndOrder) {
    broker_disruption({"systemctl restart mosquitto"});
}

// While the broker stays down the lists keep their newest 2,000 messages
// each, say what they drop, and publish the rest in order once it is back.
TEST_F(LocalMqttScenario, BoundedListsWhileTheBrokerStaysDown) {
    ASSERT_EQ(0, b.exec({"systemctl", "stop", "mosquitto"}).status);
    background(b, "/tmp/drop.out",
               {kBin + "mqttcheck", "publish", "--observe", "--flush-ms", "120000", "/jsonStatus/h/d=2100",
                "ctl/x=2050"});
    ASSERT_TRUE(file_has(b, "/tmp/drop.out", "queued 4150"));
    std::string out = b.read("/tmp/drop.out");
    EXPECT_NE(std::string::npos,
              out.find("status list full (2000): dropped the oldest status message (/jsonStatus/h/d"))
        << out;
    EXPECT_NE(std::string::npos,
              out.find("control list full (2000): dropped the oldest control message (ctl/x"));
    EXPECT_EQ(std::string::npos, out.find("published ")) << "nothing goes out while the broker is down";

    ASSERT_EQ(0, b.exec({"systemctl", "start", "mosquitto"}).status);
    ASSERT_TRUE(file_has(b, "/tmp/drop.out", "summary", std::chrono::seconds(90)));
    out = b.read("/tmp/drop.out");
    EXPECT_NE(std::string::npos, out.find("\"dropped_control\":50,\"dropped_status\":100,\"flushed\":true"))
        << out;
    const struct {
        const char *topic;
        long first;
        long last;
    } lists[] = {{"/jsonStatus/h/d", 100, 2099}, {"ctl/x", 50, 2049}};
    for (const auto &l : lists) {
        std::vector<long> p = seqs(out, "published", l.topic);
        ASSERT_EQ(2000u, p.size()) << l.topic;
        EXPECT_EQ(l.first, p.front()) << l.topic << ": the oldest went first";
        EXPECT_EQ(l.last, p.back());
        EXPECT_TRUE(increasing(p)) << l.topic;
    }
}

// A retained value, its deletion and on odd topics a newer value, queued
// back to back: the broker keeps exactly what was queued last.
TEST_F(LocalMqttScenario, RetainedDeletionIsNeverOvertaken) {
    Board::Result r = b.exec({kBin + "mqttcheck", "retain-cycle", "--topics", "40"});
    ASSERT_EQ(0, r.status) << r.out;
    r = b.exec({kBin + "orvictl", "watch", "ret/#", "--json", "--count", "21", "--timeout", "30"});
    ASSERT_EQ(0, r.status) << r.out;
    std::set<std::pair<std::string, std::string>> got, want;
    for (const watched &w : watch_lines(r.out)) {
        EXPECT_TRUE(w.retain) << w.topic;
        got.emplace(w.topic, w.payload);
    }
    for (int t = 1; t < 40; t += 2)
        want.emplace("ret/" + std::to_string(t), "new" + std::to_string(t));
    want.emplace("ret/zz_end", "end");
    EXPECT_EQ(want, got);
}

// The simulated line services: a device from the state file announces its
// status; the host's check requests and a device command are answered.
TEST_F(LocalMqttScenario, SimulatedLineServicesAnswerTheHost) {
    ASSERT_TRUE(file_has(b, "/vboard/simsvc.log", "subscribed to can/check"));
    background(b, "/tmp/watch.out", {kBin + "orvictl", "watch", "#", "--json", "--timeout", "120"});
    ASSERT_TRUE(file_has(b, "/tmp/watch.out", "subscribed to"));
    b.set_state("simsvc.json", R"({"devices":[{"mac":"a1b2c3d4e5f6","mid":"70101","bus":"can",)"
                               R"("key":"K123456789abcdef","cols":["Pow","Temp"],"dat":[0,21]},)"
                               R"({"mac":"b1b2c3d4e5f6","mid":"70201","bus":"485"}]})");
    const std::string status_a =
        R"({"t":"dat","mac":"a1b2c3d4e5f6","mid":"70101","cols":["Pow","Temp"],"dat":[0,21],)"
        R"("r":200})";
    ASSERT_TRUE(file_has(b, "/tmp/watch.out",
                         "\"plain\":\"" + std::string(R"({\"t\":\"dat\",\"mac\":\"b1b2c3d4e5f6)")));

    Board::Result r =
        b.exec({kBin + "mqttcheck", "send", "--topic", "can/check",
                R"({"mac":"h","sub":"0","mid":"70502","plaintext":{"cols":["online"],"dat":[1]}})"});
    ASSERT_EQ(0, r.status) << r.out;
    ASSERT_TRUE(file_has(b, "/tmp/watch.out", "\"topic\":\"/online\""));
    r = b.exec({kBin + "mqttcheck", "send", "--topic", "/jsonRequest/h/a1b2c3d4e5f6", "--i", "2", "--key",
                "K123456789abcdef", "--tcid", "a1b2c3d4e5f6", R"({"t":"cmd","opt":["Pow"],"p":[1]})"});
    ASSERT_EQ(0, r.status) << r.out;
    ASSERT_TRUE(file_has(b, "/tmp/watch.out", R"(\"dat\":[1,21])"));

    std::map<std::string, std::vector<std::string>> plain_by_topic;
    for (const watched &w : watch_lines(b.read("/tmp/watch.out")))
        plain_by_topic[w.topic].push_back(w.plain);
    const std::string home = config_value(b, "mqttUser");  // no home yet: the host identifier stands in
    const auto &a = plain_by_topic["/jsonStatus/" + home + "/a1b2c3d4e5f6"];
    ASSERT_EQ(2u, a.size());
    EXPECT_EQ(status_a, a[0]);
    EXPECT_EQ(R"({"t":"dat","mac":"a1b2c3d4e5f6","mid":"70101","cols":["Pow","Temp"],"dat":[1,21],"r":200})",
              a[1]);
    ASSERT_EQ(1u, plain_by_topic["/online"].size());
    EXPECT_NE(std::string::npos,
              plain_by_topic["/online"][0].find(R"("offlineSub":[],"onlineSub":["a1b2c3d4e5f6"])"));
    // The command arrived sealed with the device key: the watcher cannot open it.
    ASSERT_EQ(1u, plain_by_topic["/jsonRequest/h/a1b2c3d4e5f6"].size());
    EXPECT_EQ("", plain_by_topic["/jsonRequest/h/a1b2c3d4e5f6"][0]);
    // The service logs what it received, opened.
    EXPECT_NE(std::string::npos, b.read("/vboard/simsvc.log")
                                     .find(R"(recv /jsonRequest/h/a1b2c3d4e5f6 i=2 cid=)" + home +
                                           R"( tcid=a1b2c3d4e5f6: {"t":"cmd","opt":["Pow"],"p":[1]})"));
}

}  // namespace
