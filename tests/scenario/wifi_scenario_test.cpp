// Wi-Fi station control on the virtual board, driven the way the daemon
// drives it by itself: with home Wi-Fi credentials on the flash, pulling the
// Ethernet cable makes the network monitor switch the station on and join
// the network, and plugging it back switches the station off. The simulated
// supplicant (a process pidof finds and kill stops) takes the network only
// for the right name and key, so reaching COMPLETED shows that the
// credentials arrived byte for byte.
//
// The confirmation task after a BLE provisioning is not reachable from
// outside until the provisioning service is built; the unit tests run it
// against the same stand-ins.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "board.h"

namespace {

using namespace std::chrono_literals;

// Awkward on purpose: quotes, a semicolon, a backslash, a command
// substitution that would leave a file behind if a shell ever read it.
const std::string kSsid = "home \"net\"; x\\";
const std::string kPsk = "p'a\"s;s $(touch /tmp/pwned) \\";

std::string json_text(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

class WifiScenario : public ::testing::Test {
  protected:
    // The monitor's 10 s cycle in one second.
    void SetUp() override { board_.set_speed(10); }

    void store_credentials(const std::string &ssid, const std::string &psk) {
        board_.write(
            "/data/domivault/data/orvi_params.json",
            "{\n\t\"ssid\":\t\"" + json_text(ssid) + "\",\n\t\"wifiPsw\":\t\"" + json_text(psk) + "\"\n}\n");
    }
    Board::Result cli(const std::string &cmd) const { return board_.exec({"wpa_cli", "-i", "wlan0", cmd}); }
    // Waits until `pred` holds, at most `timeout`.
    template <typename Pred>
    bool wait_for(Pred pred, std::chrono::milliseconds timeout = 30s) const {
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (pred()) return true;
            if (std::chrono::steady_clock::now() >= until) return false;
            std::this_thread::sleep_for(100ms);
        }
    }
    bool supplicant_runs() const { return board_.exec({"pidof", "wpa_supplicant"}).status == 0; }
    // The configured networks (list_networks rows without the header).
    std::vector<std::string> networks() const {
        std::vector<std::string> rows;
        const std::string out = cli("list_networks").out;
        size_t b = out.find('\n');
        if (b == std::string::npos) return rows;
        for (size_t e; (e = out.find('\n', ++b)) != std::string::npos; b = e)
            rows.push_back(out.substr(b, e - b));
        return rows;
    }

    Board board_;
};

TEST_F(WifiScenario, CableOutJoinsTheHomeNetworkWithCredentialsIntactAndCableInStopsWifi) {
    store_credentials(kSsid, kPsk);
    board_.set_state("wifi_networks", kSsid + "\t" + kPsk);
    ASSERT_TRUE(board_.start());
    board_.write("/sys/class/net/eth0/carrier", "0\n");

    ASSERT_TRUE(board_.wait_ran("wpa_supplicant -i wlan0 -c /etc/wpa_supplicant.conf -D nl80211 -B", 60s))
        << board_.logs();
    ASSERT_TRUE(board_.wait_ran("wpa_cli -i wlan0 enable_network 0", 30s)) << board_.logs();
    // The simulated supplicant moves one step per status query: the test's
    // queries drive it as well as the monitor's.
    ASSERT_TRUE(wait_for([&] {
        return cli("status").out.find("wpa_state=COMPLETED\n") != std::string::npos;
    })) << board_.logs();
    ASSERT_EQ(1u, networks().size());
    // The name as the supplicant prints it, escapes and all.
    EXPECT_EQ("0\thome \\\"net\\\"; x\\\\\tany\t[CURRENT]", networks()[0]);
    EXPECT_TRUE(board_.ran("wpa_cli -i wlan0 set_network 0 psk \"" + kPsk + "\""));
    EXPECT_TRUE(board_.ran("wpa_cli -i wlan0 set_network 0 key_mgmt WPA-PSK SAE"));
    EXPECT_NE(0, board_.exec({"test", "-e", "/tmp/pwned"}).status);
    // The station's lines never show the pass phrase.
    const std::string log = board_.logs();
    EXPECT_NE(std::string::npos, log.find("set_network 0 psk ****** return:OK")) << log;
    for (size_t at = log.find("set_network"); at != std::string::npos; at = log.find("set_network", at + 1))
        EXPECT_EQ(std::string::npos, log.substr(at, log.find('\n', at) - at).find("pwned"));

    board_.write("/sys/class/net/eth0/carrier", "1\n");
    EXPECT_TRUE(wait_for([&] { return !supplicant_runs(); })) << board_.logs();
    EXPECT_TRUE(board_.wait_for_log("WiFi is turned off successfully", 10s)) << board_.logs();
}

// A wrong key never completes; the monitor tries again every cycle, and its
// tries leave the one profile as it is rather than adding another.
TEST_F(WifiScenario, WrongKeyStaysDisconnectedWithOneProfile) {
    store_credentials("home", "not-the-key");
    board_.set_state("wifi_networks", "home\tthe-right-key");
    ASSERT_TRUE(board_.start());
    board_.write("/sys/class/net/eth0/carrier", "0\n");

    ASSERT_TRUE(board_.wait_ran("wpa_cli -i wlan0 enable_network 0", 60s)) << board_.logs();
    ASSERT_TRUE(wait_for([&] {
        return cli("status").out.find("wpa_state=DISCONNECTED\n") != std::string::npos;
    })) << board_.logs();
    // The monitor sees the station unassociated and asks again.
    ASSERT_TRUE(board_.wait_for_log("wifi unconnect!retry....", 60s)) << board_.logs();
    // A try may be under way while the list is read: wait for a settled one.
    std::vector<std::string> rows;
    ASSERT_TRUE(wait_for([&] {
        rows = networks();
        return rows.size() == 1 && rows[0].find("\tany\t") != std::string::npos;
    })) << rows.size();
    EXPECT_EQ(std::string::npos, rows[0].find("[CURRENT]")) << rows[0];
    EXPECT_NE(std::string::npos, cli("status").out.find("wpa_state=DISCONNECTED\n"));
    EXPECT_FALSE(board_.ran("wpa_cli -i wlan0 enable_network 1"));
    EXPECT_TRUE(supplicant_runs());
}

}  // namespace
