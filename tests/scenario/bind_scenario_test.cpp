// Binding, heartbeats and the mini-app's lists on the virtual board: a
// simulated device (simdev) binds, keeps alive and falls silent; the app
// (orvictl app) binds, pushes its room and device lists page by page and
// answers the host's syncDev, one page lost on the way; malformed packets are
// refused while the daemon keeps serving. What the host tells the board's
// services is read with orvictl watch on the board's broker.
#include <cJSON.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "lan_scenario.h"

namespace {

using namespace lan_scenario;

using std::chrono::seconds;

const std::string kBoardBin = "/opt/vboard/bin/";
const char kHomeMac[] = "a0b1c2d3e4f5a6b7";
const char kHomeKey[] = "homeKey123456789";

// The plain texts of the messages `orvictl watch --json` printed for `topic`.
std::vector<std::string> watched(const std::string &out, const std::string &topic) {
    std::vector<std::string> plains;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        cJSON *j = cJSON_Parse(line.c_str());
        const cJSON *t = cJSON_GetObjectItem(j, "topic");
        const cJSON *p = cJSON_GetObjectItem(j, "plain");
        if (cJSON_IsString(t) && topic == t->valuestring)
            plains.push_back(cJSON_IsString(p) ? p->valuestring : "");
        cJSON_Delete(j);
    }
    return plains;
}

class BindScenario : public LanBoardTest {
  protected:
    // A provisioned board (home MAC and home key set, as after the app's
    // BLE provisioning) listening on its LAN ports.
    void boot(int speed = 1) { LanBoardTest::boot(speed, kHomeMac, kHomeKey); }
    // orvictl watch on the board's broker, in the background.
    void watch(const std::string &topic) {
        const std::string out = "/tmp/watch.out";
        ASSERT_EQ(0, board_
                         .exec({"sh", "-c", "setsid \"$@\" > " + out + " 2>&1 < /dev/null &", "sh",
                                kBoardBin + "orvictl", "watch", topic, "--json", "--timeout", "600"})
                         .status);
        ASSERT_TRUE(
            eventually([&] { return watch_out().find("subscribed to") != std::string::npos; }, seconds(30)))
            << watch_out();
    }
    std::string watch_out() const { return board_.read("/tmp/watch.out"); }
    std::string file(const std::string &name, const std::string &text) {
        std::string path = board_.dir() + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
};

// {"mac","name","roomId","mid","hid","key","ver","vender"} for `n` devices of
// the sample model, MACs from 02ccdd000000, room `room0` + i.
std::string device_list(int n, int room0) {
    std::string s = "[";
    char mac[24];
    for (int i = 0; i < n; ++i) {
        snprintf(mac, sizeof mac, "02ccdd%06d", i);
        s += std::string(i ? "," : "") + "{\"mac\":\"" + mac + "\",\"name\":\"lamp " + std::to_string(i) +
             "\",\"roomId\":" + std::to_string(room0 + i) +
             ",\"mid\":\"90001\",\"hid\":\"h1\",\"key\":\"simdevkey0000001\",\"ver\":\"1.0.0\",\"vender\":"
             "\"1\"}";
    }
    return s + "]";
}

TEST_F(BindScenario, DeviceGoesOfflineAfterNinetySilentSecondsAndBackWithOneHeartbeat) {
    boot(10);  // the 46 s heartbeat check and the 90 s silence in seconds
    watch("/onlineSub");
    Board::Result r = board_.lan({kSimdev, "--log", simdev_log(), "--once", "ubind,hb", "--wait", "1500"});
    ASSERT_EQ(0, r.status) << r.out;
    const std::string log = slurp(simdev_log());
    EXPECT_TRUE(std::regex_search(log, std::regex("02aabb000001 udp \\{\"t\":\"UBindok\",\"mac\":\"" +
                                                  std::string(kHomeMac) + "\".*\"udpVer\":1\\}")))
        << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("02aabb000001 udp \\{\"t\":\"hbok\"\\}"))) << log;
    // The bind went online: the online list names the device.
    auto names_device = [](const std::string &p) { return p.find("02aabb000001") != std::string::npos; };
    ASSERT_TRUE(eventually(
        [&] {
            auto v = watched(watch_out(), "/onlineSub");
            return std::any_of(v.begin(), v.end(), names_device);
        },
        seconds(30)))
        << watch_out();

    EXPECT_TRUE(board_.wait_for_log("dev '02aabb000001' is hb timeout, set off-line!", seconds(60)));
    ASSERT_TRUE(eventually(
        [&] {
            auto v = watched(watch_out(), "/onlineSub");
            return !v.empty() && !names_device(v.back());
        },
        seconds(30)))
        << watch_out();

    r = board_.lan({kSimdev, "--log", simdev_log(), "--once", "hb", "--wait", "1000"});
    ASSERT_EQ(0, r.status) << r.out;
    EXPECT_TRUE(eventually(
        [&] {
            auto v = watched(watch_out(), "/onlineSub");
            return !v.empty() && names_device(v.back());
        },
        seconds(30)))
        << watch_out();
}

TEST_F(BindScenario, AppPushesRoomsAndAPagedDeviceListWithRoomUpdates) {
    boot();
    watch("/updateRoomId");
    const std::string rooms =
        file("rooms.json", R"([{"id":5001,"sId":1,"name":"Kitchen"},{"id":5002,"sId":2,"name":"Hall"}])");
    const std::string devs = file("devs.json", device_list(23, 300));
    Board::Result r = app({"--push-roomlist", rooms, "--push-devlist", devs, "--page", "10", "--oper-type",
                           "1", "--lport", "40001", "--json", "--wait", "20000", "--i", "0", "--key", kHomeKey});
    ASSERT_EQ(0, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\"t\":\"syncRoomListDone\",\"sum\":2"));
    EXPECT_NE(std::string::npos, r.out.find(R"({"t":"devListPushRes","i":0,"num":10,"sum":23})"));
    EXPECT_NE(std::string::npos, r.out.find(R"({"t":"devListPushRes","i":10,"num":10,"sum":23})"));
    EXPECT_NE(std::string::npos,
              r.out.find(std::string(R"({"t":"syncDone","mac":")") + kHomeMac + R"(","sum":23})"));
    // One room-id update with all 23 devices after the last page.
    ASSERT_TRUE(eventually([&] { return !watched(watch_out(), "/updateRoomId").empty(); }, seconds(20)))
        << watch_out();
    const std::string upd = watched(watch_out(), "/updateRoomId").front();
    EXPECT_NE(std::string::npos, upd.find(R"({"mac":"02ccdd000000","roomId":300,"name":"lamp 0"})")) << upd;
    EXPECT_NE(std::string::npos, upd.find(R"({"mac":"02ccdd000022","roomId":322,"name":"lamp 22"})")) << upd;
    EXPECT_EQ(23, static_cast<int>(std::count(upd.begin(), upd.end(), '{')) - 1) << upd;
    // The host's sync-done series reaches the app.
    EXPECT_TRUE(board_.wait_for_log("send syncDone :", seconds(10)));
}

TEST_F(BindScenario, ALostPageIsAskedForAgain) {
    boot();
    const std::string devs = file("devs.json", device_list(25, 10));
    Board::Result r = app({"--push-devlist", devs, "--page", "10", "--drop-page", "1", "--lport", "40002",
                           "--json", "--wait", "20000", "--i", "0", "--key", kHomeKey});
    ASSERT_EQ(0, r.status) << r.out;
    // Page 1 never came: the host asked for index 10 again, and got it.
    EXPECT_NE(std::string::npos,
              r.out.find(R"({"t":"syncDev","cid":")" + std::string(kHomeMac) + R"(","i":10})"))
        << r.out;
    EXPECT_NE(std::string::npos, r.out.find(R"({"t":"devListPushRes","i":10,"num":10,"sum":25})")) << r.out;
    EXPECT_NE(std::string::npos,
              r.out.find(std::string(R"({"t":"syncDone","mac":")") + kHomeMac + R"(","sum":25})"));
    EXPECT_TRUE(board_.wait_for_log("send syncDev packet."));
}

TEST_F(BindScenario, MalformedAndOversizedFieldsAreRefusedAndTheDaemonServesOn) {
    boot();
    struct Case {
        std::string inner;
        std::string log;  // the daemon's refusal
    };
    const Case cases[] = {
        {R"({"t":"UBind","mid":"900019000190001X","devkey":"simdevkey0000001"})",
         "'mid' of 16 characters is longer than 15, refused"},
        {R"({"t":"UBind","mid":"90001","devkey":"short"})",
         "'devkey' of 5 characters is not a 16-character key"},
        {R"({"t":"connect","offlineSub":["0123456789abcdef0123"],"onlineSub":["ffffffffffff"]})",
         "offlineSub: MAC '0123456789abcdef0123...' of 17 or more characters, refused"},
        {R"({"t":"switchBindPush","type":"bind","requestId":"R","isWaitReq":0,"config":[{"type":"bind","subMac":"a/#"}]})",
         "switch bind entry of type 'bind' has no usable subMac or type, request refused"},
        {R"({"t":"upRoomInfo","roomList":[{"id":1,"sId":1,"name":"A"},{"id":2},{"id":3,"sId":3,"name":"C"}]})",
         "json_id or json_sid or json_name  is NULL"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.inner);
        Board::Result r = app({"--cid", "02eeee000001", "--json", "--wait", "500", c.inner});
        EXPECT_EQ(std::string::npos, r.out.find("UBindok")) << r.out;
        EXPECT_TRUE(board_.wait_for_log(c.log)) << c.log;
    }
    // Still serving: a well-formed device binds (answered with its own key,
    // and, as to every device, on its port 5001 rather than the source port).
    Board::Result r =
        app({"--cid", "02eeee000001", "--key", "simdevkey0000001", "--lport", "5001", "--json", "--wait",
             "3000", "--expect", "UBindok", R"({"t":"UBind","mid":"90001","devkey":"simdevkey0000001"})"});
    EXPECT_EQ(0, r.status) << r.out;
}

}  // namespace
