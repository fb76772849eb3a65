// Device status and commands on the virtual board, seen from its LAN and
// its bus: the app (orvictl app) commands a simulated device (simdev) and
// queries its status, the bus (orvictl watch) sees the status go out, a
// simulated multi-gang switch keeps its gangs in step, and malformed fields
// are refused while the daemon keeps serving. The board is given a home
// identity first (as provisioning would), so the app can bind and seal with
// the home key.
#include <gtest/gtest.h>

#include <cJSON.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "lan_scenario.h"

namespace {

using namespace lan_scenario;

using namespace std::chrono_literals;

const std::string kHome = "HOMEVB00000000A1";
const std::string kHomeKey = "homevbkey0000001";
const std::string kDev = "02aabb000001";
const std::string kDevKey = "simdevkey0000001";
const std::string kAppIp = "192.0.2.1";  // the app's (and the test's) address on the board's LAN

// True when one line of `orvictl watch --json` output is a message on
// `topic` whose opened inner packet ("plain", a JSON text) matches `want`.
bool bus_status_has(const std::string &watched, const std::string &topic, const std::regex &want) {
    std::istringstream in(watched);
    std::string line;
    while (std::getline(in, line)) {
        cJSON *j = cJSON_Parse(line.c_str());
        if (!j) continue;
        const cJSON *t = cJSON_GetObjectItemCaseSensitive(j, "topic");
        const cJSON *plain = cJSON_GetObjectItemCaseSensitive(j, "plain");
        const bool hit = cJSON_IsString(t) && topic == t->valuestring && cJSON_IsString(plain) &&
                         std::regex_search(std::string(plain->valuestring), want);
        cJSON_Delete(j);
        if (hit) return true;
    }
    return false;
}

class StatusScenario : public LanBoardTest {
  protected:
    // A provisioned board (home MAC and home key stored, as the BLE binding
    // leaves them) that listens on its LAN ports.
    void SetUp() override { boot(1, kHome, kHomeKey); }
    // The app as the bound mini-app: its packets sealed with the home key.
    Board::Result app_home(std::vector<std::string> args) {
        args.insert(args.begin(), {"--i", "0", "--key", kHomeKey, "--json"});
        return app(args);
    }

    // The device's UBind answered within 10 s.
    bool device_bound(const std::string &mac) {
        return wait_for_file(simdev_log(), std::regex(mac + " (udp|tcp) \\{\"t\":\"UBindok\""), 10s);
    }
    // The app's UBind answered with the home key.
    bool app_bound() {
        Board::Result r = app_home({"--wait", "3000", "--expect", "UBindok", R"({"t":"UBind","mac":"miniApp","devCnt":1})"});
        return r.status == 0 && r.out.find("\"key\":\"" + kHomeKey + "\"") != std::string::npos;
    }
    // Asks for the status of `macs` until `want` matches the answer (the
    // device's report may still be on its way); the last answer.
    std::string status_until(const std::string &macs, const std::regex &want) {
        std::string out;
        for (int i = 0; i < 20; ++i) {
            out = app_home({"--wait", "2000", "--expect", "dat", "--status", macs}).out;
            if (std::regex_search(out, want)) break;
            std::this_thread::sleep_for(300ms);
        }
        return out;
    }
};

TEST_F(StatusScenario, CommandFromTheAppReachesTheDeviceAndItsNewStatusComesBack) {
    // The bus watcher runs on the board until it stops; what it saw is read
    // from its output file, so no message count has to be guessed.
    const std::string topic = "/jsonStatus/" + kHome + "/" + kDev;
    ASSERT_EQ(0, board_
                     .exec({"sh", "-c", "setsid \"$@\" > /tmp/watch.out 2>&1 < /dev/null &", "sh",
                            "/opt/vboard/bin/orvictl", "watch", topic, "--json", "--timeout", "120"})
                     .status);
    auto watched = [&] { return board_.read("/tmp/watch.out"); };
    ASSERT_TRUE(eventually([&] { return watched().find("subscribed to") != std::string::npos; }, 10s))
        << watched();
    in_background({kSimdev, "--log", simdev_log(), "--hb", "0"});
    ASSERT_TRUE(device_bound(kDev) && app_bound()) << "UBind is not answered: nothing to command\n"
                                                   << slurp(simdev_log());
    // "cmd" names its device as the sender, as a command relayed for the
    // device does; the host answers a device on its LAN address at the
    // device port, sealed with the device's key, so the app listens there.
    Board::Result r = app({"--cid", kDev, "--key", kDevKey, "--bind", kAppIp, "--lport", "5001", "--json",
                           "--wait", "5000", "--expect", "res", "--cmd", kDev, "--set", "Pow=1"});
    EXPECT_EQ(0, r.status) << r.out;
    EXPECT_NE(std::string::npos,
              r.out.find(R"({"t":"res","r":200,"mac":")" + kDev + R"(","opt":["Pow"],"p":[1]})"))
        << r.out;
    // The model's command frame [0x5A, mask Pow, pow 1, lum 50 (kept), 0].
    EXPECT_TRUE(
        wait_for_file(simdev_log(), std::regex(kDev + R"( udp \{"t":"binCmd","bin":"WgEBMgA=")"), 10s))
        << slurp(simdev_log());
    // Its new status [0xA5, pow 1, lum 50, 0] back to the host...
    EXPECT_TRUE(wait_for_file(
        simdev_log(),
        std::regex(kDev + R"( sent:udp \{"t":"binStatus","mac":")" + kDev + R"(","binStatus":"pQEyAA=="\})"),
        10s));
    // ...to the app...
    const std::string st = status_until(kDev, std::regex(R"("dat":\[1,50\])"));
    EXPECT_NE(std::string::npos, st.find(R"({"mac":")" + kHome + R"(","list":[{"mac":")" + kDev +
                                         R"(","cols":["Pow","Lum"],"dat":[1,50]}],"t":"dat","r":200})"))
        << st;
    // ...and out on the bus.
    EXPECT_TRUE(
        eventually([&] { return bus_status_has(watched(), topic, std::regex(R"("dat":\[1,50\])")); }, 10s))
        << watched();
}

TEST_F(StatusScenario, GangsOfAMultiGangSwitchStayInStep) {
    ASSERT_TRUE(app_bound()) << "the app's UBind is not answered with the home key";
    const std::string sw = "02ccdd000001";
    const std::string gangs = sw + "00," + sw + "01," + sw + "02," + sw + "03";
    auto all_gangs = [&](const std::string &dat) {
        std::string re;
        for (int g = 0; g < 4; ++g)
            re += esc(R"({"mac":")" + sw + "0" + std::to_string(g) +
                      R"(","cols":["Sw1","Sw2","Sw3","Sw4"],"dat":[)" + dat + "]}") +
                  (g < 3 ? "," : "");
        return std::regex(re);
    };
    // The switch binds its four gangs and reports them from its first gang.
    ASSERT_EQ(0, board_
                     .lan({kSimdev, "--mac", sw, "--ip", "192.0.2.120", "--mid", "90010", "--gangs", "4",
                           "--sw", "1,0,1,0", "--log", simdev_log(), "--once", "ubind,dat", "--wait", "1500"})
                     .status);
    // The device logs what any of its gangs receives under its own MAC.
    ASSERT_TRUE(device_bound(sw)) << slurp(simdev_log());
    std::string st = status_until(gangs, all_gangs("1,0,1,0"));
    EXPECT_TRUE(std::regex_search(st, all_gangs("1,0,1,0"))) << st;
    // A key pressed: one report, every gang follows.
    ASSERT_EQ(0,
              board_
                  .lan({kSimdev, "--mac", sw, "--ip", "192.0.2.120", "--mid", "90010", "--gangs", "4", "--sw",
                        "0,1,1,1", "--log", simdev_log(), "--no-bind", "--once", "dat", "--wait", "300"})
                  .status);
    st = status_until(gangs, all_gangs("0,1,1,1"));
    EXPECT_TRUE(std::regex_search(st, all_gangs("0,1,1,1"))) << st;
}

TEST_F(StatusScenario, MalformedAndOversizedFieldsAreRefusedWhileTheDaemonServes) {
    in_background({kSimdev, "--log", simdev_log(), "--hb", "0"});
    ASSERT_TRUE(device_bound(kDev) && app_bound()) << slurp(simdev_log());
    const std::string long_mac(17, 'a');
    struct Case {
        std::string inner;
        std::string log;
    } cases[] = {
        {R"({"t":"jsonCmd","mac":")" + long_mac + R"(","opt":["Pow"],"p":[1]})",
         "command mac of 17 or more characters refused"},
        {R"({"t":"status","mac":")" + long_mac + R"(","cols":["mid"]})",
         "status query for a mac of 17 or more"},
        {R"({"t":"updownFlag","requestId":")" + std::string(51, 'r') + R"(","config":[{"sub":")" + kDev +
             "\"}]}",
         "updown reqid of 51 characters refused"},
        {R"({"t":"sceneSinglepush","oper":0,"type":1,"scene":{},"requestId":")" + std::string(31, 's') +
             "\"}",
         "requestId of 31 characters refused"},
        {R"({"t":"configStatus","oper":"x"})", "oper_json value is error,x"},
        {R"({"t":"binSubStatus","mac":")" + kDev + R"(","binSubStatus":{"t":"binStatus","mac":")" + long_mac +
             R"(","mid":"90001","binStatus":"pQEyAA=="}})",
         "json_mac valuestring length bigger than 15!"},
    };
    for (const Case &c : cases) {
        Board::Result r = app_home({"--wait", "300", c.inner});
        EXPECT_TRUE(board_.wait_for_log(c.log, 5s)) << c.inner;
        EXPECT_EQ(std::string::npos, r.out.find("\"r\":200")) << c.inner << "\n" << r.out;
    }
    // A list query skips what is not a registered device and answers the rest.
    const std::string st = status_until(long_mac + ",ffffffffffff," + kDev, std::regex(R"("r":200)"));
    EXPECT_TRUE(
        std::regex_search(st, std::regex(esc(R"("list":[{"mac":")" + kDev + R"(","cols":["Pow","Lum"])"))))
        << st;
    EXPECT_TRUE(board_.wait_for_log("'ffffffffffff' is not Unbind!"));
    Board::Result still = board_.exec({"pidof", "orvi_hc"});
    EXPECT_EQ(0, still.status);
}

}  // namespace
