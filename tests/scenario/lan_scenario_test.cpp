// The LAN transports on the virtual board, seen from the board's LAN: the
// simulated devices (simdev) and the app (orvictl app) talk to the unchanged
// daemon over the board's eth0, and the tests read the daemon's log, the
// devices' packet log and the board's sockets.
#include <gtest/gtest.h>

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "lan_scenario.h"

namespace {

using namespace lan_scenario;

// The request task's line for a request received on connection type `conn`
// (1 TCP, 2 UDP) whose text starts with `start`.
std::regex received(int conn, const std::string &start) {
    std::string esc = std::regex_replace(start, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
    return std::regex("Root receive, data_type: 1, conn_type: " + std::to_string(conn) +
                      ", size: \\d+, data: " + esc);
}

class LanScenario : public LanBoardTest {
  protected:
    void SetUp() override { boot(); }
    int established_on_1813() const {
        Board::Result r = board_.exec({"ss", "-Htn", "state", "established", "( sport = :1813 )"});
        int n = 0;
        for (char c : r.out)
            n += c == '\n';
        return n;
    }
};

TEST_F(LanScenario, StopEndsEverythingInTheLan) {
    in_background({"sleep", "987654"});
    // Any process whose command line is exactly "sleep 987654".
    auto running = [] {
        DIR *d = opendir("/proc");
        bool found = false;
        while (struct dirent *e = d ? readdir(d) : nullptr) {
            if (slurp(std::string("/proc/") + e->d_name + "/cmdline") == std::string("sleep\0987654\0", 13))
                found = true;
        }
        if (d) closedir(d);
        return found;
    };
    for (int i = 0; i < 50 && !running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(running());
    ASSERT_TRUE(board_.stop());
    EXPECT_FALSE(running());
    EXPECT_EQ(125, board_.lan({"true"}).status);  // no LAN any more
}

TEST_F(LanScenario, BroadcastScanReachesEverySimulatedDevice) {
    in_background({kSimdev, "--count", "3", "--log", simdev_log(), "--once", "listen", "--wait", "60000"});
    // The first scan goes out 2 s after start, then one every 50 s.
    for (const char *mac : {"02aabb000001", "02aabb000002", "02aabb000003"}) {
        EXPECT_TRUE(wait_for_file(simdev_log(),
                                  std::regex(std::string(mac) + R"( bcast \{"t":"scan","allRange":\d\})"),
                                  std::chrono::seconds(60)))
            << mac << "\n"
            << slurp(simdev_log());
    }
    EXPECT_TRUE(board_.wait_for_log("boardcast scan packet."));
    board_.stop();  // ends the devices with the LAN
}

TEST_F(LanScenario, TcpObjectsSplitConcatenatedOrOversized) {
    // Noise, then an object written five bytes at a time.
    ASSERT_EQ(
        0, app({"--tcp", "--raw", "--chunk", "5", "--gap", "30", "--wait", "300", "..{\"t\":\"tcpsplit\"}"})
               .status);
    EXPECT_TRUE(board_.wait_for_log(received(1, "{\"t\":\"tcpsplit\"}")));
    // Two objects in one write.
    ASSERT_EQ(0, app({"--tcp", "--raw", "--wait", "300", "{\"t\":\"tcpcat1\"}{\"t\":\"tcpcat2\"}"}).status);
    EXPECT_TRUE(board_.wait_for_log(received(1, "{\"t\":\"tcpcat1\"}")));
    EXPECT_TRUE(board_.wait_for_log(received(1, "{\"t\":\"tcpcat2\"}")));
    // An object over 5,120 bytes is dropped whole (its inner object too);
    // the one after it on the same connection still gets through.
    std::string big = "{\"t\":\"big\",\"a\":\"" + std::string(6000, 'x') +
                      "\",\"in\":{\"t\":\"inner\"}}{\"t\":\"afterbig\"}";
    ASSERT_EQ(0, app({"--tcp", "--raw", "--chunk", "1024", "--gap", "20", "--wait", "300"}, big).status);
    EXPECT_TRUE(board_.wait_for_log("that sum is more than 5120,clear it."));
    EXPECT_TRUE(board_.wait_for_log(received(1, "{\"t\":\"afterbig\"}")));
    EXPECT_FALSE(std::regex_search(board_.logs(), received(1, "{\"t\":\"inner\"}")));
    // Still serving.
    ASSERT_EQ(0, app({"--tcp", "--raw", "--wait", "300", "{\"t\":\"stillthere\"}"}).status);
    EXPECT_TRUE(board_.wait_for_log(received(1, "{\"t\":\"stillthere\"}")));
}

TEST_F(LanScenario, DeviceThatVanishesFreesItsLink) {
    ASSERT_EQ(0,
              board_.lan({kSimdev, "--tcp", "--log", simdev_log(), "--once", "hb", "--wait", "500"}).status);
    EXPECT_TRUE(board_.wait_for_log(received(1, "{\"t\":\"pack\"")));
    EXPECT_TRUE(board_.wait_for_log("tcp disconnect............."));
    EXPECT_EQ(0, established_on_1813());
    // A new connection after it is served as usual.
    ASSERT_EQ(0, app({"--tcp", "--raw", "--wait", "300", "{\"t\":\"after\"}"}).status);
    EXPECT_TRUE(board_.wait_for_log(received(1, "{\"t\":\"after\"}")));
}

// A link that writes `text` over and over to the host's TCP port, as fast as
// the host takes it, for at most `seconds`.
std::vector<std::string> tcp_flood(const std::string &text, int seconds) {
    return {"timeout", std::to_string(seconds), "bash", "-c",
            "yes '" + text + "' | tr -d '\\n' > /dev/tcp/192.0.2.10/1813"};
}

// One link floods the host with "{}" and another with objects that are no
// packets; the app on other links, over TCP and over UDP, and a device on a
// link of its own are answered meanwhile, and no request is refused.
TEST_F(LanScenario, FloodingLinksDoNotCrowdOutTheOthers) {
    in_background(tcp_flood("{}", 120));
    in_background(tcp_flood("{oops}{\"t\":\"nosuch\",\"x\":[{\"y\":\"}{\"}]}", 120));
    ASSERT_TRUE(board_.wait_for_log(received(1, "{}"), std::chrono::seconds(20)));
    ASSERT_TRUE(board_.wait_for_log(received(1, "{\"t\":\"nosuch\""), std::chrono::seconds(20)));

    const std::string ubind = "{\"t\":\"UBind\",\"mac\":\"miniApp\",\"devCnt\":1}";
    for (int i = 0; i < 3; ++i) {
        Board::Result tcp = app({"--tcp", "--json", "--wait", "20000", "--expect", "UBindok", ubind});
        EXPECT_EQ(0, tcp.status) << "round " << i << ": " << tcp.out;
    }
    Board::Result udp = app({"--json", "--wait", "20000", "--expect", "UBindok", ubind});
    EXPECT_EQ(0, udp.status) << udp.out;
    ASSERT_EQ(0, board_.lan({kSimdev, "--tcp", "--log", simdev_log(), "--once", "ubind", "--wait", "20000"})
                     .status);
    EXPECT_TRUE(wait_for_file(simdev_log(), std::regex("02aabb000001 tcp \\{\"t\":\"UBindok\""),
                              std::chrono::seconds(1)))
        << slurp(simdev_log());
    // The floods are still going: they were slowed down, not shut out or lost.
    EXPECT_TRUE(board_.wait_for_log(received(1, "{}")));
    const std::string logs = board_.logs();
    EXPECT_EQ(std::string::npos, logs.find("request_read_queue send is failed!"));
    EXPECT_EQ(std::string::npos, logs.find("orvi_request_queue_send is fail!"));
    board_.stop();  // ends the floods with the LAN
}

TEST_F(LanScenario, AppRoundTripOverUdpAndTcp) {
    const std::string ubind = "{\"t\":\"UBind\",\"mac\":\"miniApp\",\"devCnt\":1}";
    Board::Result udp = app({"--json", "--wait", "3000", "--expect", "UBindok", ubind});
    // The request reached the request task and was opened with the default key.
    EXPECT_TRUE(board_.wait_for_log(received(2, "{\"t\":\"pack\",\"i\":1,\"cid\":\"miniApp\"")));
    EXPECT_TRUE(board_.wait_for_log("request, size: " + std::to_string(ubind.size() + 1) +
                                    ", type: 1, data: " + ubind));
    Board::Result tcp = app({"--tcp", "--json", "--wait", "3000", "--expect", "UBindok", ubind});
    EXPECT_TRUE(board_.wait_for_log(received(1, "{\"t\":\"pack\",\"i\":1,\"cid\":\"miniApp\"")));
    EXPECT_EQ(0, udp.status) << udp.out;
    EXPECT_EQ(0, tcp.status) << tcp.out;
    EXPECT_NE(std::string::npos, udp.out.find("\"t\":\"UBindok\""));
}

// The command is relayed in the device's name, so this board needs no home
// identity: an app unknown to the host would get no answer (its answer is
// sealed with the sender's own key). The host answers a device's address at
// the device port, where the app listens, with the device's key.
TEST_F(LanScenario, CommandReachesTheDeviceAndItsStatusComesBack) {
    in_background({kSimdev, "--log", simdev_log(), "--hb", "0"});
    ASSERT_TRUE(wait_for_file(simdev_log(), std::regex("02aabb000001 udp \\{\"t\":\"UBindok\""),
                              std::chrono::seconds(8)))
        << slurp(simdev_log());
    std::string cmd = "{\"t\":\"jsonCmd\",\"mac\":\"02aabb000001\",\"opt\":[\"Pow\",\"Lum\"],\"p\":[1,80]}";
    Board::Result r = app({"--cid", "02aabb000001", "--key", "simdevkey0000001", "--bind", "192.0.2.1",
                           "--lport", "5001", "--json", "--wait", "3000", "--expect", "res", cmd});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("{\"t\":\"res\",\"r\":200,\"mac\":\"02aabb000001\"}")) << r.out;
    EXPECT_TRUE(wait_for_file(simdev_log(), std::regex("02aabb000001 udp \\{\"t\":\"binCmd\",\"bin\":"),
                              std::chrono::seconds(10)));
    EXPECT_TRUE(wait_for_file(simdev_log(), std::regex("02aabb000001 sent:udp \\{\"t\":\"res\",\"r\":200"),
                              std::chrono::seconds(10)));
    // [0xA5, pow 1, lum 80, 0]
    EXPECT_TRUE(wait_for_file(
        simdev_log(),
        std::regex("sent:udp \\{\"t\":\"binStatus\",\"mac\":\"02aabb000001\",\"binStatus\":\"pQFQAA==\"\\}"),
        std::chrono::seconds(10)));
    board_.stop();
}

const std::string kHomeKey = "homeKey123456789";

// A provisioned board, at `speed`, with one simulated device bound and the
// app bound as the mini-app (it learnt the home key).
void provision_and_bind(Board &board, int speed,
                        const std::function<Board::Result(std::vector<std::string>)> &app,
                        const std::string &simdev_log) {
    board.set_speed(speed);
    ASSERT_TRUE(board.provision("a0b1c2d3e4f5a6b7", kHomeKey));
    ASSERT_TRUE(board.start());
    ASSERT_EQ(
        0,
        board.lan({kSimdev, "--log", simdev_log, "--once", "ubind", "--hb", "0", "--wait", "1000"}).status);
    ASSERT_TRUE(wait_for_file(simdev_log, std::regex("02aabb000001 udp \\{\"t\":\"UBindok\""),
                              std::chrono::seconds(5)))
        << slurp(simdev_log);
    // The app provisioned the home, so it holds the home key and binds with it.
    Board::Result bind = app({"--json", "--i", "0", "--key", kHomeKey, "--wait", "3000", "--expect", "UBindok",
                              "{\"t\":\"UBind\",\"mac\":\"miniApp\",\"devCnt\":1}"});
    ASSERT_EQ(0, bind.status) << bind.out;
    ASSERT_NE(std::string::npos, bind.out.find("\"key\":\"" + kHomeKey + "\"")) << bind.out;
}

const std::regex kDevicePage(R"(\{"t":"devListPush","i":0,"sum":1,"devList":\[\{[^\n]*"02aabb000001")");

// The app asks for the host's list of UDP devices (type 3) and gets it
// page by page, on a provisioned board where one simulated device is bound.
TEST_F(LanScenario, DeviceListPagesAreAcknowledgedByTheApp) {
    provision_and_bind(
        board_, 1, [this](std::vector<std::string> a) { return app(std::move(a)); }, simdev_log());
    if (HasFatalFailure()) return;
    Board::Result r = app({"--json", "--i", "0", "--key", kHomeKey, "--wait", "5000", "--expect",
                           "devListPush", "{\"t\":\"syncPersistent\",\"oper\":1,\"type\":3}"});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_NE(std::string::npos,
              r.out.find("{\"t\":\"syncPersistentAck\",\"mac\":\"a0b1c2d3e4f5a6b7\",\"sum\":1}"))
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, kDevicePage)) << r.out;
}

// On a host that has a home, a peer that holds only the default key every
// product carries learns the home key only while the owner has the host in
// pairing; the app that holds the home key binds at any time.
TEST_F(LanScenario, DefaultKeyAppBindsOnlyWhileTheHostPairs) {
    board_.set_speed(1);
    ASSERT_TRUE(board_.provision("a0b1c2d3e4f5a6b7", kHomeKey));
    ASSERT_TRUE(board_.start());
    const std::string ubind = "{\"t\":\"UBind\",\"mac\":\"miniApp\",\"devCnt\":1}";
    Board::Result stranger = app({"--json", "--wait", "2000", "--expect", "UBindok", ubind});
    EXPECT_NE(0, stranger.status) << stranger.out;
    EXPECT_EQ(std::string::npos, stranger.out.find(kHomeKey)) << stranger.out;
    EXPECT_TRUE(board_.wait_for_log("'miniApp' UBind sealed with the default key refused"));

    Board::Result owner =
        app({"--json", "--i", "0", "--key", kHomeKey, "--wait", "3000", "--expect", "UBindok", ubind});
    EXPECT_EQ(0, owner.status) << owner.out;

    ASSERT_TRUE(press_pairing_key(board_)) << board_.logs();
    Board::Result paired = app({"--json", "--wait", "3000", "--expect", "UBindok", ubind});
    EXPECT_EQ(0, paired.status) << paired.out;
    EXPECT_NE(std::string::npos, paired.out.find("\"key\":\"" + kHomeKey + "\"")) << paired.out;
}

// An app that never acknowledges gets the page once and ten resends a
// second apart, then nothing more (the board's clocks run five times faster).
TEST_F(LanScenario, UnacknowledgedPageIsSentElevenTimesAndNoMore) {
    provision_and_bind(
        board_, 5, [this](std::vector<std::string> a) { return app(std::move(a)); }, simdev_log());
    if (HasFatalFailure()) return;
    // 11 sends take 10 s of daemon time (2 s here); listen for three times that.
    Board::Result r = app({"--json", "--no-ack", "--i", "0", "--key", kHomeKey, "--wait", "6000",
                           "{\"t\":\"syncPersistent\",\"oper\":1,\"type\":3}"});
    auto pages =
        std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), kDevicePage), std::sregex_iterator());
    EXPECT_EQ(11, pages) << r.out;
}

// Connections that never say anything, on a board whose clocks run ten
// times faster: the links' 180 s of allowed silence pass in 18 s.
class LanLinkSlots : public LanBoardTest {};

TEST_F(LanLinkSlots, SilentConnectionsCannotLockOutNewDevices) {
    boot(10);
    // Every link slot taken by a connection that stays silent, opened at
    // about the pace the host accepts them (one per warped second).
    in_background({"timeout", "120", "bash", "-c",
                   "for i in $(seq 64); do exec {fd}<>/dev/tcp/192.0.2.10/1813; sleep 0.1; done; sleep 120"});
    const std::regex accepted("tcp client 192\\.0\\.2\\.1:\\d+ connected");
    ASSERT_TRUE(eventually(
        [&] {
            const std::string logs = board_.logs();
            return std::distance(std::sregex_iterator(logs.begin(), logs.end(), accepted),
                                 std::sregex_iterator()) >= 64;
        },
        std::chrono::seconds(30)));
    // A device that comes now takes the place of the longest silent one.
    ASSERT_EQ(0, app({"--tcp", "--raw", "--wait", "300", "{\"t\":\"newcomer\"}"}).status);
    EXPECT_TRUE(board_.wait_for_log(received(1, "{\"t\":\"newcomer\"}")));
    EXPECT_TRUE(board_.wait_for_log(std::regex("tcp link list is full \\(64 links\\): link 192\\.0\\.2\\.1:\\d+")));
    // The silent ones are closed once their allowed silence has passed.
    EXPECT_TRUE(board_.wait_for_log(std::regex("sent no complete object for \\d+ s, closed"),
                                    std::chrono::seconds(40)));
    Board::Result ss;
    EXPECT_TRUE(eventually(
        [&] {
            ss = board_.exec({"ss", "-Htn", "state", "established", "( sport = :1813 )"});
            return ss.status == 0 && ss.out.empty();
        },
        std::chrono::seconds(40)))
        << ss.out;
    board_.stop();
}

}  // namespace
