// BLE provisioning on the virtual board: simphone plays the Bluetooth
// controller and the phone app on the board's "/dev/ttyS7". Pairing entered
// from the key event makes the host advertise with its bytes, a provisioning
// stores the home identity, and a phone that misbehaves leaves the host
// serving the next clean one. With the simulated supplicant's access point
// set, the Wi-Fi result ("bleinfo") reaches the phone: joined, after which the
// pairing ends and advertising stops, or not joined once the confirmation
// window has run out.
#include <cJSON.h>
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "board.h"

namespace {

const std::string kBin = "/opt/vboard/bin/";
const std::vector<std::string> kTwoSteps = {"--steps", "bind,subBDev"};

// One provisioning case. Each runs on a board of its own: a provisioning
// leaves a Wi-Fi confirmation running whose end closes the pairing window.
struct ProvisionCase {
    const char *name;
    std::vector<std::string> home;
    std::string home_mac;  // empty: the first host's, from the home id
    std::string home_key;  // empty: the host's random key
};

// Milliseconds of the day of a simphone log time stamp ("HH:MM:SS.mmm").
long stamp_ms(const std::string &s) {
    return ((std::stol(s.substr(0, 2)) * 60 + std::stol(s.substr(3, 2))) * 60 + std::stol(s.substr(6, 2))) * 1000 +
           std::stol(s.substr(9, 3));
}

class BleScenario : public ::testing::Test {
  protected:
    // Boots the board with its clocks `speed` times faster and enters pairing.
    void start_in_pairing(int speed = 1) {
        b.set_speed(speed);
        ASSERT_TRUE(b.start());
        // The key's pairing press opens the window. The daemon subscribes to
        // the key's topic a moment after it serves the LAN: pressed again
        // until the host asks for advertising.
        bool pairing = false;
        for (int i = 0; i < 20 && !pairing; ++i) {
            Board::Result r = b.exec({kBin + "simsvc", "emit", "pairs", "/key", "key=matching"});
            ASSERT_EQ(0, r.status) << r.out;
            pairing = b.wait_for_log("bluetooth change to BT_TOADV", std::chrono::seconds(3));
        }
        ASSERT_TRUE(pairing) << b.logs();
    }

    // Runs simphone in the board; its PDU log goes to /vboard/simphone.log.
    Board::Result phone(std::vector<std::string> args) const {
        std::vector<std::string> argv = {"timeout", "-s", "KILL", "120", kBin + "simphone", "--log",
                                         "/vboard/simphone.log", "--timeout", "90"};
        argv.insert(argv.end(), args.begin(), args.end());
        return b.exec(argv);
    }

    std::string config() const { return b.read("/data/domivault/data/orvi_params.json"); }

    static std::string member(const std::string &json, const char *name) {
        cJSON *j = cJSON_Parse(json.c_str());
        const cJSON *v = j ? cJSON_GetObjectItemCaseSensitive(j, name) : nullptr;
        std::string out = cJSON_IsString(v) ? v->valuestring : cJSON_IsNumber(v) ? std::to_string(v->valueint) : "";
        cJSON_Delete(j);
        return out;
    }

    Board b;

    // A provisioning with the identity `c` names, read back from the
    // configuration file.
    void provision_and_check(const ProvisionCase &c) {
        ASSERT_NO_FATAL_FAILURE(start_in_pairing());
        std::vector<std::string> args = {"--steps", "bind,subBDev,homeBind,QnetDev", "--qnet-id", "77",
                                         "--qnet-key", "qk123456", "--ssid", "HomeNet", "--psw", "secret-pass"};
        args.insert(args.end(), c.home.begin(), c.home.end());
        Board::Result r = phone(args);
        ASSERT_EQ(0, r.status) << c.name << "\n" << r.out;
        EXPECT_NE(std::string::npos, r.out.find("\"t\":\"QnetOK\"")) << c.name << "\n" << r.out;
        const std::string cfg = config();
        EXPECT_EQ(c.home_mac, member(cfg, "homeMac")) << c.name << "\n" << cfg;
        EXPECT_EQ(c.home_key.empty() ? member(cfg, "randomkey") : c.home_key, member(cfg, "homeKey"))
            << c.name << "\n" << cfg;
        EXPECT_EQ(c.home[1], member(cfg, "homeId")) << c.name;
        EXPECT_EQ("qk123456", member(cfg, "Qnetkey")) << c.name;
        EXPECT_EQ("77", member(cfg, "QnetID")) << c.name;
    }
};

TEST_F(BleScenario, PairingFromTheKeyAdvertisesTheHostBytes) {
    ASSERT_NO_FATAL_FAILURE(start_in_pairing());
    Board::Result r = phone({"--steps", "bind"});
    ASSERT_EQ(0, r.status) << r.out;
    std::smatch m;
    const std::string log = b.logs();
    ASSERT_TRUE(std::regex_search(log, m, std::regex("blutooth mac is ([0-9a-f]{12})"))) << log;
    const std::string mac = m[1];
    // Flags; the manufacturer element: company 0xFFFF, 00 00 01, the MAC, 10 00 00 00 00 00.
    EXPECT_NE(std::string::npos, r.out.find("advertising data 02010612ffffff000001" + mac + "100000000000"))
        << r.out;
    // The complete local name with the MAC's last four hex digits in place.
    const std::string name = "ZQ-HCenter_70502_10_" + mac.substr(8, 4) + "_FC";
    EXPECT_NE(std::string::npos, r.out.find("scan response 1c09" + hex_of(name))) << r.out;
    // 30 ms both ways, connectable undirected, own address random, all channels, no filter.
    EXPECT_NE(std::string::npos, r.out.find("advertising parameters 300030000001000000000000000700")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\"t\":\"blekey\"")) << r.out;
}

TEST_F(BleScenario, ProvisioningIntoAHomeStoresItsIdentity) {
    provision_and_check({"joining a home",
                                {"--home-id", "4321", "--home-mac", "HOMEBLE000000001", "--home-key", "blehomekey000001"},
                                "HOMEBLE000000001",
                                "blehomekey000001"});
}

TEST_F(BleScenario, ProvisioningTheHomesFirstHostMakesItsIdentity) {
    provision_and_check({"the home's first host", {"--home-id", "42", "--home-mac", "", "--home-key", ""},
                                "001AB60400000042", ""});
}

TEST_F(BleScenario, MisbehavingPhonesLeaveTheHostServing) {
    ASSERT_NO_FATAL_FAILURE(start_in_pairing());
    struct Case {
        const char *name;
        std::vector<std::string> args;
        int status;  // of the misbehaving run: 0 when the host still understood it
    } cases[] = {
        {"chunks out of order", {"--cp", "20", "--shuffle"}, 0},
        {"chunks duplicated", {"--cp", "20", "--dup"}, 0},
        {"a new tag mid-message", {"--cp", "20", "--new-tag"}, 0},
        {"huge pins", {"--cp", "20", "--huge-pins"}, 0},
        {"writes split", {"--split", "7"}, 0},
        {"prepare and execute with offsets", {"--prepare", "--split", "9"}, 0},
        {"a flood of {", {"--flood", "40"}, 0},
        // Not even one chunk packet fits a notification of 20 bytes: the
        // host drops the reply with a log line and serves the next phone.
        {"small MTU", {"--mtu", "23", "--timeout", "15"}, 1},
        {"disconnect mid-exchange", {"--disconnect-at", "subBDev"}, 2},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = kTwoSteps;
        args.insert(args.end(), c.args.begin(), c.args.end());
        Board::Result bad = phone(args);
        EXPECT_EQ(c.status, bad.status) << c.name << "\n" << bad.out;
        Board::Result clean = phone(kTwoSteps);
        ASSERT_EQ(0, clean.status) << "after " << c.name << "\n" << clean.out;
        EXPECT_NE(std::string::npos, clean.out.find("\"t\":\"subBList\"")) << "after " << c.name;
    }
    EXPECT_NE(std::string::npos, b.logs().find("cannot be cut for a payload of 20 bytes"));
    EXPECT_NE("", b.read("/vboard/simphone.log"));
}

// With the access point's name and key on the board, the whole exchange ends
// with the network joined ("bleinfo" wificon 1) and, some 3 s later, the
// pairing over: the controller is told to stop advertising. The delay starts
// when the host builds "bleinfo", at most one 500 ms send tick before its
// first part leaves, and advertising stops at the 1 s status tick after it:
// from that first part at least 2 s pass (without the delay, at most ~1 s).
TEST_F(BleScenario, ProvisioningThatJoinsTheNetworkStopsAdvertisingAfterTheResult) {
    b.set_state("wifi_networks", "HomeNet\tsecret-pass");
    ASSERT_NO_FATAL_FAILURE(start_in_pairing());
    Board::Result r = phone({"--steps", "bind,subBDev,homeBind,QnetDev,bleinfo", "--home-id", "4321", "--ssid",
                             "HomeNet", "--psw", "secret-pass", "--wait-adv-off", "30"});
    ASSERT_EQ(0, r.status) << r.out << b.logs();
    EXPECT_NE(std::string::npos, r.out.find("bleinfo wificon 1")) << r.out;
    // The supplicant was given the phone's network (the name in hex).
    EXPECT_TRUE(b.ran("wpa_cli -i wlan0 set_network 0 ssid " + hex_of("HomeNet")));
    EXPECT_TRUE(b.ran("wpa_cli -i wlan0 set_network 0 psk \"secret-pass\""));
    EXPECT_TRUE(b.ran("wpa_cli -i wlan0 enable_network 0"));
    EXPECT_EQ("4321", member(config(), "homeId"));

    // On simphone's log: the first advertising-enable 0 the host sends once
    // the phone is connected comes after "bleinfo", at least 2 s after it.
    const std::string log = b.read("/vboard/simphone.log");
    const std::regex info(R"(reply \{"t":"bleinfo".*the first at (\d\d:\d\d:\d\d\.\d{3})\)$)");
    const std::regex off(R"(^(\d\d:\d\d:\d\d\.\d{3}) < HCI 0x200a: 00$)");
    bool linked = false;
    long info_ms = -1, off_ms = -1;
    size_t at = 0;
    for (size_t e; off_ms < 0 && (e = log.find('\n', at)) != std::string::npos; at = e + 1) {
        const std::string line = log.substr(at, e - at);
        std::smatch m;
        if (line.find(" link up") != std::string::npos) linked = true;
        else if (linked && std::regex_search(line, m, info)) info_ms = stamp_ms(m[1]);
        else if (linked && std::regex_search(line, m, off)) off_ms = stamp_ms(m[1]);
    }
    ASSERT_LE(0, off_ms) << log;
    ASSERT_LE(0, info_ms) << "advertising went off before bleinfo\n" << log;
    long gap = off_ms - info_ms;
    if (gap < -12 * 3600 * 1000L) gap += 24 * 3600 * 1000L;  // across midnight
    EXPECT_GE(gap, 2000) << log;
}

// A key the access point refuses leaves the station DISCONNECTED, so the
// result comes only when the confirmation window (60 polls a second apart)
// has run out: "bleinfo" wificon -1. The board's clocks run 10 times faster
// for it, through the preloaded library the daemon knows nothing of: the
// window, the BLE send and status timers and the HCI command time-out all
// shrink alike, and a phone that answers at once keeps up with them, while
// simphone's own deadlines stay in real time and only get more generous.
// (The unit tests' timing hook would need a knob in the daemon binary.)
TEST_F(BleScenario, ProvisioningWithAWrongKeyReportsNoNetworkWhenTheWindowEnds) {
    b.set_state("wifi_networks", "HomeNet\tthe-right-key");
    ASSERT_NO_FATAL_FAILURE(start_in_pairing(10));
    Board::Result r = phone({"--steps", "bind,subBDev,homeBind,QnetDev,bleinfo", "--home-id", "4321", "--ssid",
                             "HomeNet", "--psw", "not-the-key"});
    ASSERT_EQ(0, r.status) << r.out << b.logs();
    EXPECT_NE(std::string::npos, r.out.find("bleinfo wificon -1")) << r.out;
    EXPECT_TRUE(b.ran("wpa_cli -i wlan0 set_network 0 psk \"not-the-key\""));
    // The window ran out rather than a failure being decided early.
    EXPECT_TRUE(b.wait_for_log("wifi connect  time-out!")) << b.logs();
}

}  // namespace
