// The lighting module's link on the virtual board: simmodule plays the
// module and its lights, curtains, switches and sensors on the board's
// /dev/ttyS5; the daemon runs unchanged. What the host writes is read from
// simmodule's time-stamped frame log, what it reports from the board's broker
// (orvictl watch), what it refused from its log.
#include <cJSON.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "board.h"
#include "lan_scenario.h"

namespace {

using namespace lan_scenario;
using std::chrono::seconds;

const std::string kBoardBin = "/opt/vboard/bin/";
const std::string kSimcloud = ORVI_BINARY_DIR "/bin/simcloud";
const char kHomeMac[] = "a0b1c2d3e4f5a6c8";
const char kHomeKey[] = "homeKey123456789";
const char kQnetKey[] = "5a5a0001";

// simmodule's devices: ADDR MAC MODEL [room=N] [status=HEX].
const char kDevices[] =
    "17 02b100000011 70314 room=1 status=60800000000000\n"    // light, on
    "18 02b100000012 70314 room=1 status=60000000000000\n"    // light, off
    "19 02b100000013 70713 room=1 status=7000320000000021\n"  // curtain, 50 %
    "20 02b100000014 80401 room=1 status=4001001701\n"        // 3-key switch, key 1 on
    "21 02b100000015 70727 room=2 status=2101\n"              // body sensor
    "300 02b10000012c 70314 room=1 status=60000000000000\n"   // light above address 255
    "301 02b10000012d 70713 room=1 status=7000320000000021\n";  // curtain above address 255
// The same devices in the app's list (room 5001 has short id 1, 5002 id 2).
const char kAppDevices[] =
    R"([{"mac":"02b100000011","macId":17,"name":"l1","roomId":5001,"mid":"70314","hid":"t","key":"tovradevkey00001","ver":"1","vender":"1"},)"
    R"({"mac":"02b100000012","macId":18,"name":"l2","roomId":5001,"mid":"70314","hid":"t","key":"tovradevkey00001","ver":"1","vender":"1"},)"
    R"({"mac":"02b100000013","macId":19,"name":"c1","roomId":5001,"mid":"70713","hid":"t","key":"tovradevkey00001","ver":"1","vender":"1"},)"
    R"({"mac":"02b100000014","macId":20,"name":"s1","roomId":5001,"mid":"80401","hid":"t","key":"tovradevkey00001","ver":"1","vender":"1"},)"
    R"({"mac":"02b100000015","macId":21,"name":"b1","roomId":5002,"mid":"70727","hid":"t","key":"tovradevkey00001","ver":"1","vender":"1"},)"
    R"({"mac":"02b10000012c","macId":300,"name":"l3","roomId":5001,"mid":"70314","hid":"t","key":"tovradevkey00001","ver":"1","vender":"1"},)"
    R"({"mac":"02b10000012d","macId":301,"name":"c2","roomId":5001,"mid":"70713","hid":"t","key":"tovradevkey00001","ver":"1","vender":"1"}])";
const char kAppRooms[] = R"([{"id":5001,"sId":1,"name":"Living"},{"id":5002,"sId":2,"name":"Hall"}])";

// One line of simmodule's frame log.
struct Frame {
    double t;         // monotonic seconds
    std::string dir;  // "in" (from the host), "out", "noise"
    std::string hex;
};

class LightingScenario : public LanBoardTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(board_.provision(kHomeMac, kHomeKey, kQnetKey));
        // The cloud's dispatch server, for the tests that start simcloud.
        const std::string path = "/data/domivault/data/orvi_params.json";
        cJSON *cfg = cJSON_Parse(board_.read(path).c_str());
        ASSERT_TRUE(cfg);
        cJSON_AddStringToObject(cfg, "dishost", "192.0.2.1");
        cJSON_AddNumberToObject(cfg, "disport", 7000);
        char *text = cJSON_Print(cfg);
        board_.write(path, text);
        cJSON_free(text);
        cJSON_Delete(cfg);
        board_.write("/vboard/lights.devices", kDevices);
        ASSERT_TRUE(board_.start());
        ASSERT_EQ(0, board_
                         .exec({"sh", "-c", "setsid \"$@\" > /vboard/simmodule.out 2>&1 < /dev/null &", "sh",
                                kBoardBin + "simmodule", "--devices", "/vboard/lights.devices", "--log",
                                "/vboard/simmodule.frames"})
                         .status);
        // The service hears its topics; the module has answered the type
        // query once its MAC went out.
        ASSERT_TRUE(board_.wait_for_log("[TOVRA]13 lighting topics subscribed", seconds(30))) << board_.logs();
        ASSERT_TRUE(eventually([&] { return sent_by_module(hex_of("AT+RSPC")); }, seconds(30)))
            << board_.read("/vboard/simmodule.out") << board_.logs();
    }

    std::vector<Frame> frames() const {
        std::vector<Frame> v;
        std::istringstream in(board_.read("/vboard/simmodule.frames"));
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream w(line);
            Frame f;
            std::string len;
            if (w >> f.t >> f.dir >> len >> f.hex) v.push_back(f);
        }
        return v;
    }
    // The host's frames whose bytes begin with `prefix_hex`.
    std::vector<Frame> from_host(const std::string &prefix_hex) const {
        std::vector<Frame> v;
        for (const Frame &f : frames())
            if (f.dir == "in" && f.hex.compare(0, prefix_hex.size(), prefix_hex) == 0) v.push_back(f);
        return v;
    }
    // Distinct "AT+IHG" payloads of operation `op` (hex) for address
    // `addr` (4 hex digits) whose data begin with scene id `id` (6 hex
    // digits): the payload is op, address, group flag, data count, data.
    size_t scene_ops(const std::string &op, const std::string &addr, const std::string &id) const {
        std::vector<std::string> seen;
        for (const Frame &f : from_host(hex_of("AT+IHG")))
            if (f.hex.size() >= 30 && f.hex.compare(14, 6, op + addr) == 0 && f.hex.compare(24, 6, id) == 0 &&
                std::find(seen.begin(), seen.end(), f.hex) == seen.end())
                seen.push_back(f.hex);
        return seen.size();
    }
    // simmodule said `text` (it acts on a control line after the line was written).
    bool said(const std::string &text) const {
        return eventually([&] { return board_.read("/vboard/simmodule.out").find(text) != std::string::npos; },
                          seconds(10));
    }
    bool sent_by_module(const std::string &prefix_hex) const {
        for (const Frame &f : frames())
            if (f.dir == "out" && f.hex.compare(0, prefix_hex.size(), prefix_hex) == 0) return true;
        return false;
    }

    // A line to simmodule's control FIFO.
    void control(const std::string &cmd) {
        ASSERT_EQ(0, board_.exec({"timeout", "10", "sh", "-c", "printf '%s\\n' \"$1\" > /vboard/state/simmodule.ctl",
                                  "sh", cmd})
                         .status)
            << cmd;
    }

    // The app binds with the home key and pushes the rooms and the devices;
    // the lighting table follows the registry a refresh later.
    void push_devices() {
        const std::string rooms = board_.dir() + "/rooms.json", devs = board_.dir() + "/devs.json";
        std::ofstream(rooms) << kAppRooms;
        std::ofstream(devs) << kAppDevices;
        Board::Result r = app({"--push-roomlist", rooms, "--push-devlist", devs, "--json", "--wait", "20000", "--i",
                               "0", "--key", kHomeKey});
        ASSERT_EQ(0, r.status) << r.out;
        ASSERT_TRUE(eventually([&] { return table_rows() == "7"; }, seconds(30))) << table_rows() << board_.logs();
    }

    // The cloud in the LAN (simcloud); returns once the host subscribed
    // its requests there.
    void cloud_up() {
        const std::string dir = board_.dir() + "/cloud";
        in_background({"sh", "-c", "exec \"$@\" > " + dir + ".out 2>&1", "sh", kSimcloud, "--dir", dir});
        const std::string line = std::string(" 2 request/") + kHomeMac + "/#";
        ASSERT_TRUE(eventually([&] { return slurp(dir + "/broker-1884.log").find(line) != std::string::npos; },
                               seconds(90)))
            << slurp(dir + ".out") << board_.logs();
    }
    // A group command from the cloud to the host (the host is the target
    // device of its own home).
    Board::Result host_cmd(const std::string &opt, const std::string &p) {
        return board_.lan({kOrvictl, "cloud", "--home", kHomeMac, "--key", kHomeKey, "--device", kHomeMac, "--count",
                           "0", "--wait", "0", "--send",
                           std::string(R"({"t":"cmd","sub":")") + kHomeMac + R"(","opt":[)" + opt + R"(],"p":[)" +
                               p + "]}"});
    }

    // What `query` answers on the lighting database `db`, read with sqlite3
    // ("" when it fails).
    std::string sql(const std::string &db, const std::string &query) const {
        Board::Result r = board_.exec({"sqlite3", "/data/domivault/data/" + db, query});
        std::string n = r.out;
        while (!n.empty() && (n.back() == '\n' || n.back() == '\r')) n.pop_back();
        return r.status == 0 ? n : "";
    }
    // The number of rows of the lighting device table.
    std::string table_rows() const { return sql("tovra_info.db", "SELECT count(*) FROM fa_table;"); }

    void watch(const std::string &topic) {
        ASSERT_EQ(0, board_
                         .exec({"sh", "-c", "setsid \"$@\" > /tmp/watch.out 2>&1 < /dev/null &", "sh",
                                kBoardBin + "orvictl", "watch", topic, "--json", "--timeout", "600"})
                         .status);
        ASSERT_TRUE(eventually([&] { return watch_out().find("subscribed to") != std::string::npos; }, seconds(30)))
            << watch_out();
    }
    std::string watch_out() const { return board_.read("/tmp/watch.out"); }

    // The plain status the host published for `mac` last, "" when none.
    std::string status_of(const std::string &mac) const {
        std::string last;
        std::istringstream in(watch_out());
        std::string line;
        while (std::getline(in, line)) {
            cJSON *j = cJSON_Parse(line.c_str());
            const cJSON *t = cJSON_GetObjectItem(j, "topic");
            const cJSON *p = cJSON_GetObjectItem(j, "plain");
            if (cJSON_IsString(t) && cJSON_IsString(p) &&
                std::string(t->valuestring) == std::string("/jsonStatus/") + kHomeMac + "/" + mac)
                last = p->valuestring;
            cJSON_Delete(j);
        }
        return last;
    }
    // Asks device `addr` for its status until the host published one for
    // `mac` that holds `want`.
    bool reported(int addr, const std::string &mac, const std::string &want) {
        return eventually(
            [&] {
                if (status_of(mac).find(want) != std::string::npos) return true;
                control("status " + std::to_string(addr));
                return eventually([&] { return status_of(mac).find(want) != std::string::npos; }, seconds(2));
            },
            seconds(40));
    }
};

TEST_F(LightingScenario, StartUpQueriesTheModuleThenSendsItsMonitorAndTheNetworkKey) {
    ASSERT_TRUE(eventually([&] { return !from_host(hex_of("AT+MONITOR")).empty(); }, seconds(20)));
    const std::vector<Frame> type = from_host(hex_of("AT+TYPE"));
    const std::vector<Frame> key = from_host(hex_of("AT+SETINFO"));
    ASSERT_EQ(1u, type.size());
    ASSERT_EQ(1u, key.size());
    // "AT+SETINFO", 0x06, the 4 key bytes, 0x01, 0x00.
    EXPECT_EQ(hex_of("AT+SETINFO") + "06" + kQnetKey + "0100", key[0].hex);
    // The type query goes first; its acknowledgement asks for the monitor.
    // Frames read in one go share a time stamp: the log's order tells.
    const std::vector<Frame> all = frames();
    auto first = [&](const std::string &prefix) {
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].dir == "in" && all[i].hex.compare(0, prefix.size(), prefix) == 0) return i;
        return all.size();
    };
    EXPECT_LT(first(hex_of("AT+TYPE")), first(hex_of("AT+MONITOR")));
    EXPECT_LT(first(hex_of("AT+TYPE")), first(hex_of("AT+SETINFO")));
    // The module's MAC reaches the app's bind answer.
    Board::Result r = app({"--i", "0", "--key", kHomeKey, "--expect", "UBindok", "--json",
                           R"({"t":"UBind","mac":"miniApp","devCnt":0})"});
    ASSERT_EQ(0, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\"tovraMac\":\"025a00000001\"")) << r.out;
    // The network key's own log line does not show it.
    const std::string log = board_.logs();
    EXPECT_NE(std::string::npos, log.find("[TOVRA][fa_key]********")) << log;
    EXPECT_EQ(std::string::npos, log.find(std::string("[fa_key]") + kQnetKey));
}

// Each model's status frame becomes its lighting status on the board's
// broker, sealed with the home key; a 3-key switch reports each key.
TEST_F(LightingScenario, StatusFramesOfEveryModelBecomeLightingEvents) {
    ASSERT_NO_FATAL_FAILURE(push_devices());
    ASSERT_NO_FATAL_FAILURE(watch("/jsonStatus/#"));
    struct Case {
        int addr;
        const char *mac;
        const char *want;
    } cases[] = {
        {17, "02b100000011", R"("cols":["Pow","Lum","ColorTemp"],"dat":[1,100,0],"mid":"70314")"},
        {19, "02b100000013", R"("cols":["CurPercent"],"dat":[50],"mid":"70713")"},
        {20, "02b10000001400", R"("cols":["Sw1","Sw2","Sw3","num","currentIndex"],"dat":[1,0,0,3,1])"},
        {21, "02b100000015", R"("cols":["State"],"dat":[1],"mid":"70727")"},
        {300, "02b10000012c", R"("cols":["Pow","Lum","ColorTemp"],"dat":[0,0,0],"mid":"70314")"},
    };
    for (const Case &c : cases)
        EXPECT_TRUE(reported(c.addr, c.mac, c.want)) << c.mac << "\n" << watch_out() << board_.logs();
    // The other keys of the switch, each under its own MAC.
    EXPECT_NE(std::string::npos, status_of("02b10000001401").find(R"("dat":[1,0,0,3,2])"));
    EXPECT_NE(std::string::npos, status_of("02b10000001402").find(R"("dat":[1,0,0,3,3])"));
}

// Noise before a frame, two frames in one write, a frame split across two
// writes: each still reaches the host whole. A frame longer than the host's
// frame buffer is dropped with a log line, and the next one is read.
TEST_F(LightingScenario, NoiseJoinedSplitAndOverlongFramesLeaveTheLinkWorking) {
    ASSERT_NO_FATAL_FAILURE(push_devices());
    ASSERT_NO_FATAL_FAILURE(watch("/jsonStatus/#"));
    struct Case {
        const char *name;
        const char *on, *off;
        int lum;  // the light's brightness byte while the misbehaviour lasts (of 127)
    } cases[] = {
        {"noise", "set noise 9", "set noise 0", 11},
        {"join", "set join 1", "set join 0", 12},
        {"split", "set split 7", "set split 0", 13},
    };
    for (const Case &c : cases) {
        control(c.on);
        char state[64];
        snprintf(state, sizeof state, "state 17 60%02x0000000000", c.lum);
        control(state);
        if (std::string(c.name) == "join") control("status 18");  // a second frame to share the write
        char want[64];
        snprintf(want, sizeof want, "\"dat\":[1,%d,0]", c.lum * 100 / 127);
        EXPECT_TRUE(reported(17, "02b100000011", want)) << c.name << "\n" << watch_out() << board_.logs();
        control(c.off);
    }
    control("set long 120");
    control("state 17 60140000000000");
    EXPECT_TRUE(board_.wait_for_log(std::regex("frame of 1[0-9]{2} bytes is longer than 100: dropped"),
                                    seconds(20)))
        << board_.logs();
    control("set long 0");
    EXPECT_TRUE(reported(17, "02b100000011", "\"dat\":[1,15,0]")) << watch_out();  // 20 of 127
}

// A room's lights switched together from the cloud: one group command on the scene queue,
// written three times a 1 s pause apart; the room's lights follow.
TEST_F(LightingScenario, RoomGroupControlIsWrittenThreeTimesAPauseApart) {
    ASSERT_NO_FATAL_FAILURE(cloud_up());
    ASSERT_NO_FATAL_FAILURE(push_devices());
    ASSERT_NO_FATAL_FAILURE(watch("/jsonStatus/#"));
    // "AT+IHG", the payload's length, then its operation: 03 group control.
    const std::string group = hex_of("AT+IHG") + "0803";
    Board::Result r = host_cmd(R"("RoomID","DevType","Pow")", R"("5001",8,1)");
    ASSERT_TRUE(board_.wait_for_log("tovra_device_all_ctrl: Room_ID 1,  Pow 1, DevType 8", seconds(20)))
        << r.out << board_.logs();
    std::vector<Frame> ihg;
    ASSERT_TRUE(eventually(
        [&] {
            ihg = from_host(group);
            return ihg.size() >= 3;
        },
        seconds(20)))
        << board_.read("/vboard/simmodule.frames");
    EXPECT_EQ(ihg[0].hex, ihg[1].hex);
    EXPECT_EQ(ihg[1].hex, ihg[2].hex);
    // The pause is ten ticks of the 100 ms timer, the first of which may
    // come at once after the write: 0.9 to 1 s (less the module's read
    // jitter); a lost pause would put them 10 ms apart.
    EXPECT_GE(ihg[1].t - ihg[0].t, 0.8);
    EXPECT_GE(ihg[2].t - ihg[1].t, 0.8);
    // The room's default scene (room 1, class 8, on: 0x010801) went to the
    // network first, as the scene control (op 0c), for the panels.
    const std::vector<Frame> ctrl = from_host(hex_of("AT+IHG") + "080c00000003010801");
    EXPECT_EQ(3u, ctrl.size()) << board_.read("/vboard/simmodule.frames");
    if (!ctrl.empty()) {
        EXPECT_LT(ctrl.back().t, ihg[0].t);
    }
    // The light that was off is on now, and says so.
    EXPECT_TRUE(reported(18, "02b100000012", "\"dat\":[1,100,0]")) << watch_out();
    // Only three: the command is done after its repeats.
    EXPECT_FALSE(eventually([&] { return from_host(group).size() > 3; }, seconds(3)));
}

// A room's curtains: the curtain scene of the per cent, then each curtain's
// own command on the main queue, its two copies a 200 ms pause apart, each
// answered by the module's acknowledgement; the curtain above address 255
// gets the wide form and moves like the other.
TEST_F(LightingScenario, CurtainGroupControlPacesItsCopiesOnTheMainQueue) {
    ASSERT_NO_FATAL_FAILURE(cloud_up());
    ASSERT_NO_FATAL_FAILURE(push_devices());
    ASSERT_NO_FATAL_FAILURE(watch("/jsonStatus/#"));
    Board::Result r = host_cmd(R"("RoomID","DevType","CurPercent")", R"("5001",7,30)");
    ASSERT_TRUE(board_.wait_for_log("tovra_device_all_ctrl: Room_ID 1,  Pow 2, DevType 7", seconds(20)))
        << r.out << board_.logs();
    // Length, kind, address, 00, per cent, 00, flag (0xFF for this model), 00 00.
    const std::string narrow = hex_of("AT+CTRL") + "080213001e00ff0000";
    const std::string wide = hex_of("AT+CTRL") + "0982012d001e00ff0000";
    std::vector<Frame> a, b;
    ASSERT_TRUE(eventually(
        [&] {
            a = from_host(narrow);
            b = from_host(wide);
            return a.size() >= 2 && b.size() >= 2;
        },
        seconds(20)))
        << board_.read("/vboard/simmodule.frames");
    EXPECT_EQ(2u, a.size());
    EXPECT_EQ(2u, b.size());
    // Two ticks of the 100 ms timer: 100 to 200 ms (less the module's read
    // jitter); a lost pause would put them 10 ms apart.
    EXPECT_GE(a[1].t - a[0].t, 0.05);
    EXPECT_GE(b[1].t - b[0].t, 0.05);
    EXPECT_TRUE(sent_by_module(hex_of("AT+ACKCTRL")));
    for (const char *mac : {"02b100000013", "02b10000012d"})
        EXPECT_TRUE(eventually([&] { return status_of(mac).find(R"("dat":[30])") != std::string::npos; },
                               seconds(20)))
            << mac << "\n" << watch_out();
}

}  // namespace

namespace {

// The pairing key starts the module's pairing; a device that joins is
// reported on "/tovra/pair" and saved, and the module's pairing stops.
TEST_F(LightingScenario, ThePairingKeyPairsANewLightThroughTheModule) {
    ASSERT_NO_FATAL_FAILURE(watch("/tovra/pair"));
    ASSERT_EQ(0, board_.exec({kBoardBin + "simsvc", "emit", "pairs", "/key", "key=matching"}).status);
    ASSERT_TRUE(eventually([&] { return !from_host(hex_of("AT+PAIRSTART")).empty(); }, seconds(20)))
        << board_.read("/vboard/simmodule.frames") << board_.logs();
    control("pair 22 02b100000016 70314");
    ASSERT_TRUE(eventually([&] { return !from_host(hex_of("AT+PAIRSTOP")).empty(); }, seconds(20)))
        << board_.read("/vboard/simmodule.frames");
    const double start = from_host(hex_of("AT+PAIRSTART"))[0].t;
    const double save = from_host(hex_of("AT+PAIRSAVE"))[0].t;
    const double stop = from_host(hex_of("AT+PAIRSTOP"))[0].t;
    EXPECT_LT(start, save);
    EXPECT_LT(save, stop);
    EXPECT_TRUE(eventually([&] { return watch_out().find(R"(\"p\":[\"success\"])") != std::string::npos; },
                           seconds(20)))
        << watch_out();
}

// A scene the host runs ("scene/broadcast") goes to the lights as the
// scene control, written three times; an id out of range is refused.
TEST_F(LightingScenario, ASceneBroadcastRunsTheSceneOnTheLights) {
    ASSERT_EQ(0, board_.exec({kBoardBin + "simsvc", "emit", "event", "scene/broadcast", R"({"subSceneID":70000})"})
                     .status);
    ASSERT_TRUE(board_.wait_for_log("subSceneID missing or not 1 to 65535", seconds(20))) << board_.logs();
    ASSERT_EQ(0, board_.exec({kBoardBin + "simsvc", "emit", "event", "scene/broadcast", R"({"subSceneID":2305})"})
                     .status);
    std::vector<Frame> ihg;
    ASSERT_TRUE(eventually(
        [&] {
            ihg = from_host(hex_of("AT+IHG"));
            return ihg.size() >= 3;
        },
        seconds(20)))
        << board_.read("/vboard/simmodule.frames") << board_.logs();
    EXPECT_EQ(3u, ihg.size());
    EXPECT_EQ(ihg[0].hex, ihg[2].hex);
    // Scene control of 2305 (0x000901) to the whole network.
    EXPECT_NE(std::string::npos, ihg[0].hex.find("000901")) << ihg[0].hex;
}

// A light switched off from the app and on again from the cloud: the host
// hands each command to the lighting service sealed for the light, the
// light's model codec turns it into the device control written to the
// module, and the light reports its new state.
TEST_F(LightingScenario, ALightIsSwitchedFromTheAppAndFromTheCloud) {
    ASSERT_NO_FATAL_FAILURE(cloud_up());
    ASSERT_NO_FATAL_FAILURE(push_devices());
    ASSERT_NO_FATAL_FAILURE(watch("/jsonStatus/#"));
    Board::Result r = app({"--i", "0", "--key", kHomeKey, "--wait", "3000", "--jsoncmd", "02b100000011", "--set", "Pow=0"});
    EXPECT_TRUE(eventually([&] { return status_of("02b100000011").find("\"dat\":[0,0,0]") != std::string::npos; },
                           seconds(20)))
        << r.out << watch_out() << board_.logs();
    // Device control (op 01) of address 17, the light's seven status bytes.
    EXPECT_EQ(2u, from_host(hex_of("AT+IHG") + "0c010011000760000000000000").size())
        << board_.read("/vboard/simmodule.frames");

    r = board_.lan({kOrvictl, "cloud", "--home", kHomeMac, "--key", kHomeKey, "--device", "02b100000011", "--count",
                    "0", "--wait", "0", "--send", R"({"t":"cmd","opt":["Lum"],"p":[100]})"});
    EXPECT_TRUE(eventually([&] { return status_of("02b100000011").find("\"dat\":[1,100,0]") != std::string::npos; },
                           seconds(20)))
        << r.out << watch_out() << board_.logs();
}

}  // namespace

namespace {

// `orvictl scene` inside the board, as the home's scene service; waits for
// the host's answer when the verb has one.
Board::Result scene(const Board &b, std::vector<std::string> args) {
    args.insert(args.begin(), {"timeout", "60", kBoardBin + "orvictl", "scene"});
    return b.exec(args);
}

// A scene set on two lights, bound to a key of the 3-key switch, run by a
// press of that key and deleted: each request is answered as the module
// confirms it, the press makes the lights take the scene and report it, and
// the deletion removes the scene from each light while the switch's is held
// until the next whole-network scene.
TEST_F(LightingScenario, ASceneIsSetBoundToAKeyRunByItsPressAndDeleted) {
    ASSERT_NO_FATAL_FAILURE(push_devices());
    ASSERT_NO_FATAL_FAILURE(watch("/jsonStatus/#"));
    for (const char *mac : {"02b100000011", "02b100000012"}) {
        Board::Result r = scene(board_, {"set", "--id", "300", "--mac", mac, "--set", "Pow=1,Lum=100", "--req",
                                         std::string("set-") + mac, "--wait", "30000"});
        ASSERT_EQ(0, r.status) << r.out << board_.read("/vboard/simmodule.frames") << board_.logs();
        EXPECT_NE(std::string::npos, r.out.find("\"r\":200")) << r.out;
    }
    // Scene bind (op 07) of scene 300 to lights 17 and 18.
    EXPECT_EQ(1u, scene_ops("07", "0011", "00012c")) << board_.read("/vboard/simmodule.frames");
    EXPECT_EQ(1u, scene_ops("07", "0012", "00012c"));

    Board::Result r = scene(board_, {"bind", "--id", "300", "--mac", "02b100000014", "--key", "2", "--req", "bind-2",
                                     "--wait", "30000"});
    ASSERT_EQ(0, r.status) << r.out << board_.read("/vboard/simmodule.frames") << board_.logs();
    EXPECT_NE(std::string::npos, r.out.find("\"r\":200")) << r.out;

    // Both lights off, then the key: the lights run the scene and say so.
    control("state 17 60000000000000");
    control("state 18 60000000000000");
    ASSERT_TRUE(eventually([&] { return status_of("02b100000012").find("\"dat\":[0,0,0]") != std::string::npos; },
                           seconds(20)));
    control("press 20 1");
    for (const char *mac : {"02b100000011", "02b100000012"})
        EXPECT_TRUE(eventually([&] { return status_of(mac).find("\"dat\":[1,100,0]") != std::string::npos; },
                               seconds(20)))
            << mac << "\n" << watch_out() << board_.read("/vboard/simmodule.out");

    // Deleted from the lights and the switch: the lights' removals (op 08)
    // go out at once; the switch's waits for the next whole-network scene.
    r = scene(board_, {"delete", "--id", "300", "--mac", "02b100000011,02b100000012,02b100000014"});
    ASSERT_EQ(0, r.status) << r.out;
    auto removals = [&](const std::string &addr) { return scene_ops("08", addr, "00012c"); };
    EXPECT_TRUE(eventually([&] { return removals("0011") > 0 && removals("0012") > 0; }, seconds(20)))
        << board_.read("/vboard/simmodule.frames");
    EXPECT_EQ(0u, removals("0014"));
    r = scene(board_, {"set", "--id", "255", "--mac", "02b1000000ff", "--set", "Pow=0"});
    ASSERT_EQ(0, r.status) << r.out;
    EXPECT_TRUE(eventually([&] { return removals("0014") > 0; }, seconds(20)))
        << board_.read("/vboard/simmodule.frames") << board_.logs();
}

// A light moved to another room: the module is told the light's new room
// (three times), and a group command to that room switches it, and only the
// lights of that room.
TEST_F(LightingScenario, ALightMovedToAnotherRoomIsSwitchedWithThatRoom) {
    ASSERT_NO_FATAL_FAILURE(cloud_up());
    ASSERT_NO_FATAL_FAILURE(push_devices());
    ASSERT_NO_FATAL_FAILURE(watch("/jsonStatus/#"));
    ASSERT_EQ(0, board_
                     .exec({kBoardBin + "simsvc", "emit", "event", "room/set/02b100000012",
                            R"({"subMac":"02b100000012","roomid":5002})"})
                     .status);
    // Modify room (op 05) of address 18: room 2.
    const std::string room_set = hex_of("AT+IHG") + "06050012000102";
    ASSERT_TRUE(eventually([&] { return from_host(room_set).size() >= 3; }, seconds(20)))
        << board_.read("/vboard/simmodule.frames") << board_.logs();
    Board::Result r = host_cmd(R"("RoomID","DevType","Pow")", R"("5002",8,1)");
    ASSERT_TRUE(board_.wait_for_log("tovra_device_all_ctrl: Room_ID 2,  Pow 1, DevType 8", seconds(20)))
        << r.out << board_.logs();
    // The moved light follows (it was off); light 300, still in room 1 and off, does not.
    EXPECT_TRUE(reported(18, "02b100000012", "\"dat\":[1,100,0]")) << watch_out();
    control("status 300");
    EXPECT_TRUE(eventually([&] { return status_of("02b10000012c").find("\"dat\":[0,0,0]") != std::string::npos; },
                           seconds(20)))
        << watch_out();
}

// Status polling and provisional statuses: a room switched on as a group is
// reported on at once, before any light answers, and a light that did not
// follow is corrected by its own report; a light that stops answering after
// a command is asked again until its budget is spent, reported offline, and
// online again with its next frame.
TEST_F(LightingScenario, ProvisionalStatusIsCorrectedAndASilentLightGoesOfflineAndBack) {
    ASSERT_NO_FATAL_FAILURE(cloud_up());
    ASSERT_NO_FATAL_FAILURE(push_devices());
    ASSERT_NO_FATAL_FAILURE(watch("#"));
    // Light 300 stops answering.
    control("silent 300 1");
    ASSERT_TRUE(said("device 300 silent"));
    Board::Result r = host_cmd(R"("RoomID","DevType","Pow")", R"("5001",8,1)");
    ASSERT_TRUE(board_.wait_for_log("tovra_device_all_ctrl: Room_ID 1,  Pow 1, DevType 8", seconds(20)))
        << r.out << board_.logs();
    // On at once, for every light of the room, the silent one too.
    EXPECT_TRUE(eventually([&] { return status_of("02b10000012c").find("\"dat\":[1,100,0]") != std::string::npos; },
                           seconds(20)))
        << watch_out();
    // Once the command's three copies are out, the light turns out not to
    // have followed: its own report says off.
    ASSERT_TRUE(eventually([&] { return from_host(hex_of("AT+IHG") + "080300010003a82a80").size() >= 3; },
                           seconds(20)))
        << board_.read("/vboard/simmodule.frames");
    control("state 300 60000000000000");
    control("silent 300 0");
    control("status 300");
    EXPECT_TRUE(eventually([&] { return status_of("02b10000012c").find("\"dat\":[0,0,0]") != std::string::npos; },
                           seconds(20)))
        << watch_out();

    // Light 18 switched from the app while it no longer answers.
    control("silent 18 1");
    ASSERT_TRUE(said("device 18 silent"));
    r = app({"--i", "0", "--key", kHomeKey, "--wait", "3000", "--jsoncmd", "02b100000012", "--set", "Pow=0"});
    auto offline_sent = [&](const char *list) {
        std::istringstream in(watch_out());
        for (std::string line; std::getline(in, line);)
            if (line.find("\"topic\":\"/online\"") != std::string::npos &&
                std::regex_search(line, std::regex(std::string(list) + R"(\\":\[[^\]]*02b100000012)")))
                return true;
        return false;
    };
    // Asked again and again (alone), then reported offline.
    ASSERT_TRUE(eventually([&] { return offline_sent("offlineSub"); }, seconds(120)))
        << watch_out() << board_.logs();
    // Its budget: ten status queries of address 18 alone, then no more.
    const std::string single = hex_of("AT+IHG") + "090600000004" + "4f010012";
    EXPECT_EQ(10u, from_host(single).size()) << board_.read("/vboard/simmodule.frames");
    EXPECT_EQ("0", sql("tovra_info.db", "SELECT ONLINE FROM fa_table WHERE ADDR=18;").substr(0, 1));
    // Its next frame brings it back.
    control("silent 18 0");
    control("status 18");
    EXPECT_TRUE(eventually([&] { return offline_sent("onlineSub"); }, seconds(30))) << watch_out();
}

}  // namespace

namespace {

// Every row of the lighting service's topic map, each driven by one request
// on its own topic, in turn on one board, each shown by what only its own
// handler does: the frame it has the module write, the table row it keeps,
// the event it publishes. The order keeps the cases apart: the scene-lock
// event is also what the retry queue sends when it drains, so the locks go
// before anything reaches that queue (the deletion's resets, last); each case
// uses its own scene id, and the deleted device is one no other case uses.
TEST_F(LightingScenario, EveryTopicRowReachesItsHandler) {
    ASSERT_NO_FATAL_FAILURE(push_devices());
    ASSERT_NO_FATAL_FAILURE(watch("/parameter"));
    const std::string home = kHomeMac;
    auto count = [&](const std::string &prefix_hex) { return from_host(prefix_hex).size(); };
    // A scene-lock value on "/parameter" as the scene service sends it,
    // under the home's MAC (the host's own event carries the host's).
    auto lock_item = [&](int v) {
        return R"({"mac":")" + home + R"(","sub":"","mid":"","plaintext":{"cols":["scenelock"],"dat":[)" +
               std::to_string(v) + "]}}";
    };
    // The host's own event on `topic` whose plain text holds `want`.
    auto host_published = [&](const std::string &topic, const std::string &want) {
        std::istringstream in(watch_out());
        for (std::string line; std::getline(in, line);) {
            cJSON *j = cJSON_Parse(line.c_str());
            const cJSON *t = cJSON_GetObjectItem(j, "topic");
            const cJSON *p = cJSON_GetObjectItem(j, "plain");
            const bool hit = cJSON_IsString(t) && cJSON_IsString(p) && topic == t->valuestring &&
                             std::string(p->valuestring).find(want) != std::string::npos &&
                             std::string(p->valuestring).find(home) == std::string::npos;
            cJSON_Delete(j);
            if (hit) return true;
        }
        return false;
    };
    const std::string ihg = hex_of("AT+IHG");
    // A status query of light 300 alone; the control reset of the body sensor (21).
    const std::string query_300 = ihg + "090600000004" + "4f01012c";
    const std::string reset_21 = hex_of("AT+CTRL") + "04021590";
    size_t stops = 0, queries = 0;

    struct Case {
        const char *row;
        std::vector<std::vector<std::string>> emits;  // simsvc emit's arguments, one run each
        std::function<bool()> done;
        std::function<void()> before = nullptr;  // takes the count the effect is measured from
    };
    const std::vector<Case> cases = {
        // The first item raises lock one (and the event state), the second
        // lowers it again: lock two's 0 then lets the host say the scenes
        // are unlocked. Without the first item's raise there is no event.
        {"rows 11+12 \"/parameter\" then \"/scene/lock2\"",
         {{"event", "/parameter", lock_item(1), lock_item(0)}, {"event", "/scene/lock2", "0"}},
         [&] { return host_published("/parameter", R"("cols":["scenelock"],"dat":[0])"); }},
        // Device control (op 01) of light 17, its seven status bytes: off.
        {"row 1 \"/jsonRequest\"",
         {{"--cid", home, "--tcid", "02b100000011", "event", "/jsonRequest/" + home + "/02b100000011",
           R"({"t":"cmd","sub":"02b100000011","opt":["Pow"],"p":[0]})"}},
         [&] { return count(ihg + "0c010011000760000000000000") > 0; }},
        {"row 3 \"/key\"", {{"pairs", "/key", "key=matching"}}, [&] { return count(hex_of("AT+PAIRSTART")) > 0; }},
        {"row 4 \"/host\"",
         {{"pairs", "/host", "matching=success"}},
         [&] { return count(hex_of("AT+PAIRSTOP")) > stops; },
         [&] { stops = count(hex_of("AT+PAIRSTOP")); }},
        // One message, a scene set (300 on light 18) and a scene deletion
        // (301 from light 17): each reaches both rows, each is acted on by
        // its own: a bind (op 07) and a removal (op 08).
        {"rows 5+6 \"scene/set\"",
         {{"event", "scene/set/02b100000012",
           R"({"subSceneID":300,"cmd":"{\"t\":\"cmd\",\"mac\":\"02b100000012\",\"opt\":[\"Pow\",\"Lum\"],\"p\":[1,100]}","reqId":"rows-set"})",
           R"({"subSceneID":301,"type":"delete","subMac":["02b100000011"]})"}},
         [&] { return scene_ops("07", "0012", "00012c") > 0 && scene_ops("08", "0011", "00012d") > 0; }},
        // No key holds scene 304: only its removal from the whole network.
        {"row 7 \"scene/deleteb/\"",
         {{"event", "scene/deleteb/02b100000014",
           R"({"subSceneID":304,"type":"deleteb","mac":"02b100000014","reqId":"rows-deleteb"})"}},
         [&] { return scene_ops("08", "0000", "000130") > 0; }},
        // Key 2 (index 1) of the switch at 20: row 201 of the key table, and
        // the panel bind (op 09).
        {"row 8 \"scene/bind/\"",
         {{"event", "scene/bind/02b100000014",
           R"({"subSceneID":303,"subMac":"02b100000014","keyid":2,"type":"bind","reqId":"rows-bind"})"}},
         [&] {
             return scene_ops("09", "0014", "00012f") > 0 &&
                    sql("tovra_scene_info.db", "SELECT SCENEID FROM fa_scene_table WHERE ADDRKEYNUM=201;") == "303";
         }},
        {"row 9 \"scene/unbind/\"",
         {{"event", "scene/unbind/02b100000014",
           R"({"subSceneID":303,"subMac":"02b100000014","keyid":2,"type":"unbind","reqId":"rows-unbind"})"}},
         [&] { return scene_ops("0b", "0014", "00012f") > 0; }},
        // Scene control (op 0c) of 2305 to the whole network.
        {"row 10 \"scene/broadcast\"",
         {{"event", "scene/broadcast", R"({"subSceneID":2305})"}},
         [&] { return scene_ops("0c", "0000", "000901") > 0; }},
        {"row 13 \"tovra/check\"",
         {{"event", "tovra/check", R"({"sub":"02b10000012c"})"}},
         [&] { return count(query_300) > queries; },
         [&] { queries = count(query_300); }},
        // Key 3 of the switch switches light 17: the light's address in the
        // scene field, kind 1 (a light) and the key in the key byte.
        {"row 14 \"device/bind\"",
         {{"event", "device/bind", R"({"addr":17,"subMac":"02b100000014","keyid":3,"type":"bind"})"}},
         [&] { return count(ihg + "090900140004000011" + "13") > 0; }},
        // The body sensor leaves the device table and is reset.
        {"row 2 \"deletedev8app/\"",
         {{"event", "deletedev8app/02b100000015", R"({"mac":"02b100000015"})"}},
         [&] {
             return count(reset_21) > 0 &&
                    sql("tovra_info.db", "SELECT count(*) FROM fa_table WHERE MAC='02b100000015';") == "0";
         }},
    };
    for (const Case &c : cases) {
        if (c.before) c.before();
        for (std::vector<std::string> args : c.emits) {
            args.insert(args.begin(), {kBoardBin + "simsvc", "emit"});
            Board::Result r = board_.exec(args);
            ASSERT_EQ(0, r.status) << c.row << ": " << r.out;
        }
        EXPECT_TRUE(eventually(c.done, seconds(20)))
            << c.row << " showed no effect\n"
            << watch_out() << board_.read("/vboard/simmodule.frames") << board_.logs();
    }
}

}  // namespace
