// The cloud link on the virtual board: simcloud in the board's LAN plays the
// maker's dispatch server and cloud broker (a real mosquitto reachable over
// the LAN only), `orvictl cloud` the cloud's side. Seen from outside: the
// cloud broker's log (who connected how, what was subscribed), what the
// cloud receives, what reached the simulated device, the daemon's log.
#include <cJSON.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "board.h"
#include "lan_scenario.h"

namespace {

using namespace lan_scenario;
using namespace std::chrono_literals;

const std::string kSimcloud = ORVI_BINARY_DIR "/bin/simcloud";
const std::string kHome = "HOMEVB00000000A1";
const std::string kHomeKey = "homevbkey0000001";
const std::string kDisPort = "7000";

size_t count_of(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// True when one line of `out` holds both texts.
bool line_with(const std::string &out, const std::string &a, const std::string &b) {
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (line.find(a) != std::string::npos && line.find(b) != std::string::npos) return true;
    return false;
}

class CloudScenario : public LanBoardTest {
  protected:
    // A provisioned board whose dispatch server is simcloud's, simcloud
    // started with `simcloud_args`.
    void up(std::vector<std::string> simcloud_args = {}) {
        ASSERT_TRUE(board_.provision(kHome, kHomeKey));
        const std::string path = "/data/domivault/data/orvi_params.json";
        cJSON *cfg = cJSON_Parse(board_.read(path).c_str());
        ASSERT_TRUE(cfg);
        cJSON_AddStringToObject(cfg, "dishost", "192.0.2.1");
        cJSON_AddNumberToObject(cfg, "disport", std::stoi(kDisPort));
        char *text = cJSON_Print(cfg);
        board_.write(path, text);
        cJSON_free(text);
        cJSON_Delete(cfg);
        ASSERT_TRUE(board_.start());
        std::vector<std::string> argv = {kSimcloud, "--dir", cloud_dir(), "--dis-port", kDisPort};
        argv.insert(argv.end(), simcloud_args.begin(), simcloud_args.end());
        std::vector<std::string> sh = {"sh", "-c", "exec \"$@\" > " + cloud_dir() + ".out 2>&1", "sh"};
        sh.insert(sh.end(), argv.begin(), argv.end());
        in_background(sh);
    }
    std::string cloud_dir() const { return board_.dir() + "/cloud"; }
    std::string broker_log(int port = 1884) const { return slurp(cloud_dir() + "/broker-" + std::to_string(port) + ".log"); }
    std::string client_id() const {
        const std::string host = board_.read("/data/domivault/data/MACFile.config");
        return kHome + "-" + host.substr(10, 6);
    }
    bool connected(const std::string &how, int port = 1884, std::chrono::milliseconds t = 60s) const {
        return eventually([&] { return broker_log(port).find("as " + client_id() + " (p2, " + how) != std::string::npos; }, t);
    }
    bool subscribed(int port = 1884, size_t times = 1, std::chrono::milliseconds t = 60s) const {
        const std::string line = client_id() + " 2 request/" + kHome + "/#";
        return eventually([&] { return count_of(broker_log(port), line) >= times; }, t);
    }
    // `orvictl cloud` in the LAN.
    Board::Result cloud(std::vector<std::string> args) {
        args.insert(args.begin(), {kOrvictl, "cloud", "--home", kHome, "--key", kHomeKey});
        return board_.lan(args);
    }
    void signal_simcloud(const char *sig) {
        ASSERT_EQ(0, board_.lan({"sh", "-c", std::string("pkill -") + sig + " -x simcloud"}).status);
    }
    std::string broker_pid(int port = 1884) const {
        std::string p = slurp(cloud_dir() + "/broker-" + std::to_string(port) + ".pid");
        return p.substr(0, p.find('\n'));
    }
};

TEST_F(CloudScenario, FirstConnectionIsCleanAndAReconnectionKeepsTheSession) {
    up();
    ASSERT_TRUE(connected("c1")) << broker_log() << board_.logs();
    ASSERT_TRUE(subscribed()) << broker_log();
    EXPECT_NE(std::string::npos, broker_log().find(client_id() + " 0 time"));
    EXPECT_NE(std::string::npos, broker_log().find(client_id() + " 2 airManageDevice/" + kHome));
    EXPECT_NE(std::string::npos, broker_log().find(client_id() + " 2 thirdRoomMap/" + kHome + "/partner"));
    EXPECT_TRUE(board_.wait_for_log("[Inital]:MQTT firstly connect successfully!"));

    // The cloud broker crashes and comes back: the host reconnects by itself,
    // keeping its session, and subscribes again.
    signal_simcloud("USR1");
    ASSERT_TRUE(connected("c0", 1884, 90s)) << broker_log() << board_.logs();
    ASSERT_TRUE(subscribed(1884, 2)) << broker_log();
    EXPECT_TRUE(board_.wait_for_log("[C_Reconnect]:Connection lost"));
}

TEST_F(CloudScenario, RequestsReachTheHostOversizedOnesAreDropped) {
    up();
    ASSERT_TRUE(subscribed()) << broker_log() << board_.logs();

    // A home-level request: queued for the host and copied to the siblings
    // on "/jsonRequest/<home>" with the home MAC as "cid".
    ASSERT_EQ(0, board_.sh("setsid /opt/vboard/bin/orvictl watch '/jsonRequest/#' --count 1 --timeout 60 --json "
                           "> /tmp/jsonrequest.out 2>&1 < /dev/null &")
                     .status);
    ASSERT_TRUE(eventually([&] { return board_.read("/tmp/jsonrequest.out").find("subscribed to") != std::string::npos; },
                           20s));
    cloud({"--send", R"({"t":"qryHostInfo"})", "--count", "0", "--wait", "0"});
    EXPECT_TRUE(board_.wait_for_log(std::regex("mqtt ctrl: .* --> ,topic is request/" + kHome)))
        << board_.logs();
    EXPECT_TRUE(eventually(
        [&] {
            const std::string got = board_.read("/tmp/jsonrequest.out");
            return got.find("\"topic\":\"/jsonRequest/" + kHome + "\"") != std::string::npos &&
                   got.find(R"(\"cid\":\")" + kHome) != std::string::npos;
        },
        20s))
        << board_.read("/tmp/jsonrequest.out");

    // A payload over 1983 bytes is dropped as it arrives.
    const std::string big = R"({"t":"x","pad":")" + std::string(2100, 'a') + R"("})";
    cloud({"--send", big, "--count", "0", "--wait", "0"});
    EXPECT_TRUE(board_.wait_for_log("[Subscribe]:message->payloadlen > sizeof(rx_msg.payload)")) << board_.logs();
}

TEST_F(CloudScenario, CloudCommandSwitchesADeviceAndItsAnswerComesBack) {
    up();
    const std::string mac = "02aabb000001";
    const std::string log = board_.dir() + "/simdev-cloud.log";
    in_background({kSimdev, "--mac", mac, "--hb", "0", "--log", log});
    ASSERT_TRUE(wait_for_file(log, std::regex(mac + " udp \\{\"t\":\"UBindok\""), 20s));
    ASSERT_TRUE(subscribed()) << broker_log() << board_.logs();

    Board::Result r = cloud({"--send", R"({"t":"jsonCmd","mac":")" + mac + R"(","opt":["Pow","Lum"],"p":[1,66]})",
                             "--device", mac, "--device-key", "simdevkey0000001", "--topics",
                             "response/" + kHome + "/" + mac, "--until", R"(\"r\":200)", "--wait", "20000"});
    EXPECT_EQ(0, r.status) << r.out << board_.logs();
    EXPECT_TRUE(wait_for_file(log, std::regex(mac + " udp \\{\"t\":\"binCmd\""), 10s));
    // The device's answer comes back on "response/<home>/<device>".
    EXPECT_TRUE(line_with(r.out, "\"topic\":\"response/" + kHome + "/" + mac + "\"", R"(\"r\":200)")) << r.out;
}

// A CAN device of the line services: the cloud's command goes out to the
// service on "/jsonRequest", the service applies it and reports the new
// status on "/jsonStatus", and the host relays that status to the cloud.
TEST_F(CloudScenario, CloudCommandSwitchesALineDeviceAndItsStatusReachesTheCloud) {
    const std::string mac = "a1b2c3d4e5f6";
    const std::string key = "K123456789abcdef";
    board_.set_state("simsvc.json", R"({"devices":[{"mac":")" + mac + R"(","mid":"70101","bus":"can","key":")" +
                                        key + R"(","cols":["Pow"],"dat":[0]}]})");
    up();
    ASSERT_TRUE(subscribed()) << broker_log() << board_.logs();
    const std::string list = board_.dir() + "/line-devs.json";
    std::ofstream(list) << R"([{"mac":")" << mac << R"(","name":"heater","roomId":5001,"mid":"70101","hid":"line",)"
                        << R"("key":")" << key << R"(","ver":"1.0.0","vender":"1"}])";
    Board::Result r = app({"--wait", "10000", "--i", "0", "--key", kHomeKey, "--push-devlist", list});
    ASSERT_EQ(0, r.status) << r.out;

    r = cloud({"--send", R"({"t":"jsonCmd","mac":")" + mac + R"(","opt":["Pow"],"p":[1]})", "--device", mac,
               "--device-key", key, "--topics", "jsonStatus/" + kHome + "/" + mac, "--until",
               R"(\"dat\":[1])", "--wait", "30000"});
    EXPECT_EQ(0, r.status) << r.out << board_.read("/vboard/simsvc.log") << board_.logs();
    // The service got the command sealed with the device key and applied it.
    EXPECT_NE(std::string::npos, board_.read("/vboard/simsvc.log").find("/jsonRequest/" + kHome + "/" + mac))
        << board_.read("/vboard/simsvc.log");
    // The new status on the cloud, re-keyed with the home key.
    EXPECT_TRUE(line_with(r.out, "\"topic\":\"jsonStatus/" + kHome + "/" + mac + "\"", R"(\"cols\":[\"Pow\"],\"dat\":[1])"))
        << r.out;
}

TEST_F(CloudScenario, StatusesAreReKeyedAndOnlyTheLatestPerTopicWaitsOutAPausedBroker) {
    up();
    ASSERT_TRUE(subscribed()) << broker_log() << board_.logs();
    const std::string host = board_.read("/data/domivault/data/MACFile.config");
    const std::string topic = "jsonStatus/" + kHome + "/" + host;
    const std::string out = board_.dir() + "/cloud-statuses.out";
    background_.emplace_back([this, topic, out] {
        Board::Result r = cloud({"--topics", topic, "--count", "0", "--wait", "40000"});
        std::ofstream(out) << r.out;
    });
    ASSERT_TRUE(eventually([&] { return broker_log().find("orvictl-cloud-") != std::string::npos &&
                                        broker_log().find(" 1 " + topic) != std::string::npos; },
                           10s));

    ASSERT_EQ(0, board_.lan({"kill", "-STOP", broker_pid()}).status);
    std::string script;
    for (int n = 1; n <= 5; ++n)
        script += "/opt/vboard/bin/mqttcheck send --topic /jsonStatus/" + kHome + "/" + host +
                  " --i 0 '{\"opt\":[\"n\"],\"p\":[" + std::to_string(n) + "],\"mid\":\"70502\"}'; ";
    ASSERT_EQ(0, board_.sh(script).status);
    ASSERT_TRUE(board_.wait_for_log(R"(status to the cloud: {"cols":["n"],"dat":[5]})", 20s)) << board_.logs();
    ASSERT_EQ(0, board_.lan({"kill", "-CONT", broker_pid()}).status);

    ASSERT_TRUE(eventually([&] { return slurp(out).find(R"(\"dat\":[5])") != std::string::npos; }, 60s))
        << slurp(out) << board_.logs();
    const std::string got = slurp(out);
    for (int n = 2; n <= 4; ++n)
        EXPECT_EQ(std::string::npos, got.find(R"(\"dat\":[)" + std::to_string(n) + "]")) << got;
    // Re-keyed: opened with the home key, "opt"/"p" renamed, "mid" gone.
    EXPECT_TRUE(line_with(got, R"(\"cols\":[\"n\"],\"dat\":[5])", "\"topic\":\"" + topic + "\"")) << got;
    EXPECT_FALSE(line_with(got, R"(\"dat\":[5])", R"(\"mid\")")) << got;
}

TEST_F(CloudScenario, DispatchFailuresAreOutlastedAndEachRebuildAsksAgain) {
    up({"--modes", "silent,empty,garbage,refused,split,ok", "--broker-ports", "1884,1885"});
    ASSERT_TRUE(subscribed(1884, 1, 120s)) << slurp(cloud_dir() + "/dispatch.log") << board_.logs();
    const std::string dis = slurp(cloud_dir() + "/dispatch.log");
    for (const char *mode : {": silent", ": empty", ": garbage", ": refused", ": split -> 192.0.2.1:1884"})
        EXPECT_NE(std::string::npos, dis.find(mode)) << mode << "\n" << dis;
    EXPECT_NE(std::string::npos, dis.find(R"({"t":"dis","mac":")" + kHome + R"(","needMqtt":1,"nlu":1})"));

    // The broker crashes without its persistence; the rebuilt link asks the
    // dispatch server again, is sent to the other broker and subscribes
    // afresh wherever it ends up (the other broker may still be starting:
    // the link then waits and asks again).
    signal_simcloud("USR2");
    ASSERT_TRUE(eventually([&] { return slurp(cloud_dir() + "/dispatch.log").find(": ok -> 192.0.2.1:1885") != std::string::npos; },
                           60s))
        << slurp(cloud_dir() + "/dispatch.log") << board_.logs();
    ASSERT_TRUE(eventually([&] { return subscribed(1885, 1, 0s) || subscribed(1884, 2, 0s); }, 120s))
        << slurp(cloud_dir() + "/dispatch.log") << board_.logs();
}

}  // namespace
