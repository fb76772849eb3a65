// The Wi-Fi station: the supplicant's texts, the argument vectors that
// configure a network, and the station against the simulated supplicant's
// stand-ins run outside a board (their state under a scratch root), which
// keep its networks, apply the real tool's pass phrase rules and move
// through the connection states one status query at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "intake_test_support.h"
#include "orvi_log.h"
#include "orvi_testing.h"
#include "orvi_wifi_station.h"
#include "scratch_root.h"

namespace {

using Argv = std::vector<std::string>;

// ---- The supplicant's texts ------------------------------------------------------

TEST(WifiTexts, StatusNamesTheStateByItsOwnLine) {
    struct Case {
        const char *status;
        WifiConnectionState want;
    } cases[] = {
        {"bssid=02:00:00:cc:dd:01\nssid=home\nwpa_state=COMPLETED\naddress=02:00:00:aa:bb:02\n",
         WIFI_CONNECTED},
        {"wpa_state=DISCONNECTED\n", WIFI_DISCONNECTED},
        {"wpa_state=SCANNING\r\n", WIFI_CONNECTING},
        {"wpa_state=ASSOCIATING\n", WIFI_CONNECTING},
        {"wpa_state=ASSOCIATED\n", WIFI_CONNECTING},
        {"wpa_state=4WAY_HANDSHAKE\n", WIFI_CONNECTING},
        {"wpa_state=GROUP_HANDSHAKE\n", WIFI_CONNECTING},
        {"wpa_state=INACTIVE\n", WIFI_UNKNOWN_STATE},
        {"wpa_state=INTERFACE_DISABLED\n", WIFI_UNKNOWN_STATE},
        {"", WIFI_UNKNOWN_STATE},
        // A network named like a state line is not the state.
        {"ssid=wpa_state=COMPLETED\nwpa_state=SCANNING\n", WIFI_CONNECTING},
        {"ssid=x\nwpa_state=COMPLETEDX\n", WIFI_UNKNOWN_STATE},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.want, wifi_state_of_status(c.status)) << c.status;
}

TEST(WifiTexts, NamesAreUnescapedAsTheSupplicantPrintsThem) {
    struct Case {
        const char *printed;
        bool ok;
        std::string want;
    } cases[] = {
        {"home net", true, "home net"},
        {R"(say \"hi\"; \\o/)", true, R"(say "hi"; \o/)"},
        {R"(tab\there\nnl)", true, "tab\there\nnl"},
        {R"(caf\xc3\xa9)", true, "caf\xc3\xa9"},
        {R"(\x0)", false, ""},
        {R"(\xzz)", false, ""},
        {R"(end\)", false, ""},
        {R"(\q)", false, ""},
    };
    for (const Case &c : cases) {
        std::string got;
        EXPECT_EQ(c.ok, wifi_ssid_unescape(c.printed, &got)) << c.printed;
        if (c.ok) {
            EXPECT_EQ(c.want, got) << c.printed;
        }
    }
}

TEST(WifiTexts, ScanResultsFollowTheColumns) {
    const char *text =
        "bssid / frequency / signal level / flags / ssid\n"
        "02:00:00:00:00:01\t2437\t-40\t[WPA2-PSK-CCMP][ESS]\thome net\n"
        "02:00:00:00:00:02\t5180\t-71\t[ESS]\tWPA2 free cafe\n"
        "02:00:00:00:00:03\t2412\t-60\t[WPA-PSK-TKIP][WEP][ESS]\t\n"
        "02:00:00:00:00:04\t2462\t-55\t[RSN-SAE-CCMP][ESS]\tsay \\\"hi\\\"\\tthere\n"
        "garbage line\n"
        "02:00:00:00:00:05\tfast\t-1\t[ESS]\tbad frequency\n"
        "02:00:00:00:00:06\t2412\t-80\t[ESS]\tone more\n";
    WifiNetworkInfo r[8];
    ASSERT_EQ(5, wifi_parse_scan_results(text, r, 8));
    EXPECT_STREQ("02:00:00:00:00:01", r[0].bssid);
    EXPECT_EQ(2437, r[0].frequency);
    EXPECT_EQ(-40, r[0].signal_level);
    EXPECT_STREQ("home net", r[0].ssid);
    EXPECT_EQ(WIFI_FLAG_WPA | WIFI_FLAG_WPA2, r[0].flags);
    // The name says WPA2; the network is open.
    EXPECT_STREQ("WPA2 free cafe", r[1].ssid);
    EXPECT_EQ(0, r[1].flags);
    EXPECT_STREQ("", r[2].ssid);  // a hidden network
    EXPECT_EQ(WIFI_FLAG_WPA | WIFI_FLAG_WEP, r[2].flags);
    EXPECT_STREQ("say \"hi\"\tthere", r[3].ssid);
    EXPECT_EQ(WIFI_FLAG_WPA2, r[3].flags);
    EXPECT_STREQ("one more", r[4].ssid);

    // Bounded by the caller's room.
    EXPECT_EQ(2, wifi_parse_scan_results(text, r, 2));
    EXPECT_EQ(0, wifi_parse_scan_results(text, r, 0));
}

TEST(WifiTexts, NetworkListFollowsTheColumns) {
    const char *text =
        "network id / ssid / bssid / flags\n"
        "0\thome net\tany\t[CURRENT]\n"
        "1\t\tany\t[DISABLED]\n"
        "12\ta\\tb \\\"c\\\"; d\tany\t\n"
        "x\tnot a row\tany\t\n";
    std::vector<wifi_listed_network_t> got = wifi_parse_network_list(text);
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(0, got[0].id);
    EXPECT_EQ("home net", got[0].ssid);
    EXPECT_EQ("[CURRENT]", got[0].flags);
    EXPECT_EQ(1, got[1].id);
    EXPECT_EQ("", got[1].ssid);
    EXPECT_EQ(12, got[2].id);
    EXPECT_EQ("a\tb \"c\"; d", got[2].ssid);
    EXPECT_EQ("", got[2].flags);
}

// ---- Configuring a network ---------------------------------------------------------

TEST(WifiCommands, CredentialsBecomeArgumentVectorsOrAreRefused) {
    const std::string hex64(64, 'a');
    std::string x32hex;
    for (int i = 0; i < 32; ++i)
        x32hex += "78";
    struct Case {
        std::string ssid;
        std::string password;
        std::vector<Argv> want;  // empty: refused
    } cases[] = {
        {"home",
         "",
         {{"set_network", "3", "ssid", "686f6d65"},
          {"set_network", "3", "key_mgmt", "NONE"},
          {"enable_network", "3"}}},
        {"home",
         "p4ss-phrase",
         {{"set_network", "3", "ssid", "686f6d65"},
          {"set_network", "3", "psk", "\"p4ss-phrase\""},
          {"set_network", "3", "key_mgmt", "WPA-PSK SAE"},
          {"set_network", "3", "ieee80211w", "1"},
          {"enable_network", "3"}}},
        // Quotes, a semicolon, a backslash and blanks: one word each, as sent.
        {"it's \"my\"; net\\",
         "a'b\"c; rm -rf \\ $(x)",
         {{"set_network", "3", "ssid", "6974277320226d79223b206e65745c"},
          {"set_network", "3", "psk", "\"a'b\"c; rm -rf \\ $(x)\""},
          {"set_network", "3", "key_mgmt", "WPA-PSK SAE"},
          {"set_network", "3", "ieee80211w", "1"},
          {"enable_network", "3"}}},
        {"home",
         hex64,
         {{"set_network", "3", "ssid", "686f6d65"},
          {"set_network", "3", "psk", hex64},
          {"set_network", "3", "key_mgmt", "WPA-PSK SAE"},
          {"set_network", "3", "ieee80211w", "1"},
          {"enable_network", "3"}}},
        {std::string(32, 'x'),
         "12345678",
         {{"set_network", "3", "ssid", x32hex},
          {"set_network", "3", "psk", "\"12345678\""},
          {"set_network", "3", "key_mgmt", "WPA-PSK SAE"},
          {"set_network", "3", "ieee80211w", "1"},
          {"enable_network", "3"}}},
        {"", "12345678", {}},
        {std::string(33, 'x'), "12345678", {}},
        {"home", "1234567", {}},
        {"home", std::string(64, 'g'), {}},
        {"home", std::string(65, 'a'), {}},
        {"home", "line\nbreak!", {}},
        {"home", "caf\xc3\xa9-pass", {}},
    };
    for (const Case &c : cases) {
        std::vector<Argv> got;
        int rc = wifi_network_commands(3, c.ssid.c_str(), c.password.c_str(), &got);
        EXPECT_EQ(c.want.empty() ? -2 : 0, rc) << c.ssid << " / " << c.password;
        EXPECT_EQ(c.want, got) << c.ssid << " / " << c.password;
    }
    std::vector<Argv> got;
    EXPECT_EQ(-2, wifi_network_commands(3, nullptr, "12345678", &got));
    EXPECT_TRUE(got.empty());
}

// ---- The station against the simulated supplicant -----------------------------------

std::mutex g_results_mu;
std::vector<WifiConnectionState> g_results;

int record_result(WifiConnectionState s) {
    std::lock_guard<std::mutex> lk(g_results_mu);
    g_results.push_back(s);
    return 0;
}

std::vector<WifiConnectionState> results() {
    std::lock_guard<std::mutex> lk(g_results_mu);
    return g_results;
}

bool g_eth_up = false;
bool eth_up() {
    return g_eth_up;
}

class WifiStationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        orvi_wifi_timing_for_test(8, 20, 0);
        orvi_wifi_reset_for_test();
        {
            std::lock_guard<std::mutex> lk(g_results_mu);
            g_results.clear();
        }
        g_eth_up = false;
        orvi_wifi_set_result_sink(record_result);
        orvi_wifi_set_eth_link_check(eth_up);
    }
    void TearDown() override {
        EXPECT_TRUE(confirm_ended());
        orvi_wifi_set_result_sink(nullptr);
        orvi_wifi_set_eth_link_check(nullptr);
        orvi_wifi_timing_for_test(0, 0, 0);
        orvi_wifi_reset_for_test();
    }
    static bool confirm_ended() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (orvi_wifi_confirm_running_for_test()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    // The access points in range: name, tab, pass phrase (empty: open).
    void in_range(const std::string &lines) const { root.write("/vboard/state/wifi_networks", lines); }
    // The configured networks as the simulated supplicant keeps them.
    std::vector<std::string> networks() const {
        std::vector<std::string> out;
        std::string all = root.read("/vboard/state/wpa_networks");
        size_t b = 0;
        for (size_t e; (e = all.find('\n', b)) != std::string::npos; b = e + 1)
            out.push_back(all.substr(b, e - b));
        return out;
    }
    std::vector<std::string> wpa_commands() const {
        std::vector<std::string> out;
        for (const std::string &c : root.commands())
            if (c.rfind("wpa_", 0) == 0 || c.rfind("pidof", 0) == 0 || c.rfind("kill", 0) == 0)
                out.push_back(c);
        return out;
    }
    bool supplicant_runs() const { return !root.read("/vboard/state/pidof_wpa_supplicant").empty(); }
    static WifiConnectionState poll_until_settled() {
        WifiConnectionState s = WIFI_UNKNOWN_STATE;
        for (int i = 0; i < 8; ++i) {
            s = orvi_wifi_station_ops.connection_state();
            if (s == WIFI_CONNECTED) break;
        }
        return s;
    }

    ScratchRoot root;
    const orvi_wifi_ops_t &st = orvi_wifi_station_ops;
};

// A connect starts a stopped supplicant before it adds anything, takes the
// name and pass phrase as data whatever they hold, leaves one WPA2/WPA3
// profile (no open twin), and replaces the profile of an earlier connect.
TEST_F(WifiStationTest, ConnectStartsTheSupplicantThenConfiguresOneProfile) {
    const std::string ssid = "it's \"my\"; net\\";
    const std::string psk = "a'b\"c; touch /tmp/x \\ $(id)";
    in_range(ssid + "\t" + psk + "\n");
    ASSERT_EQ(0, st.connect(ssid.c_str(), psk.c_str()));
    EXPECT_EQ(WIFI_CONNECTTING, orvi_wifi_status_get());
    // The supplicant was started before the first word reached it.
    std::vector<std::string> cmds = wpa_commands();
    auto starts = [](const char *prefix) {
        return [prefix](const std::string &c) { return c.rfind(prefix, 0) == 0; };
    };
    auto start = std::find_if(cmds.begin(), cmds.end(), starts("wpa_supplicant -i wlan0 -c "));
    auto first_cli = std::find_if(cmds.begin(), cmds.end(), starts("wpa_cli "));
    ASSERT_NE(cmds.end(), start);
    EXPECT_NE(std::string::npos, start->find("/etc/wpa_supplicant.conf -D nl80211 -B")) << *start;
    EXPECT_LT(start - cmds.begin(), first_cli - cmds.begin());
    EXPECT_TRUE(supplicant_runs());

    const std::string hex = "6974277320226d79223b206e65745c";
    ASSERT_EQ(1u, networks().size());
    EXPECT_EQ(0u, networks()[0].find("0\t" + hex + "\tenabled\tp:")) << networks()[0];
    EXPECT_NE(std::string::npos, networks()[0].find("\tWPA-PSK SAE\t1")) << networks()[0];
    EXPECT_EQ(WIFI_CONNECTED, poll_until_settled());
    EXPECT_EQ(WIFI_SUCCESS, orvi_wifi_status_get());
    WifiNetworkInfo cur;
    ASSERT_EQ(1, wifi_get_current_network(&cur));
    EXPECT_EQ(ssid, cur.ssid);

    // Again, now as an open network: the earlier profile goes first.
    root.clear_commands();
    in_range(ssid + "\t\n");
    ASSERT_EQ(0, st.connect(ssid.c_str(), ""));
    ASSERT_EQ(1u, networks().size());
    EXPECT_EQ(0u, networks()[0].find("0\t" + hex + "\tenabled\t\tNONE\t")) << networks()[0];
    std::vector<std::string> again = wpa_commands();
    EXPECT_NE(again.end(), std::find(again.begin(), again.end(), "wpa_cli -i wlan0 remove_network 0"));
    EXPECT_EQ(WIFI_CONNECTED, poll_until_settled());
}

// The network monitor asks again every cycle while the station is not yet
// associated: the same request leaves the association under way alone,
// while a supplicant that lost its networks (restarted) is configured anew.
TEST_F(WifiStationTest, AskingAgainLeavesAnAssociationUnderWay) {
    in_range("home\tright-pass\n");
    ASSERT_EQ(0, st.connect("home", "right-pass"));
    EXPECT_EQ(WIFI_CONNECTING, st.connection_state());
    root.clear_commands();
    ASSERT_EQ(0, st.connect("home", "right-pass"));
    for (const std::string &c : root.commands()) {
        EXPECT_EQ(std::string::npos, c.find("add_network")) << c;
        EXPECT_EQ(std::string::npos, c.find("remove_network")) << c;
    }
    EXPECT_EQ(WIFI_CONNECTED, poll_until_settled());

    ASSERT_EQ(0, st.wifi_off());
    ASSERT_EQ(0, st.connect("home", "right-pass"));
    EXPECT_EQ(1u, networks().size());
    EXPECT_EQ(WIFI_CONNECTED, poll_until_settled());
}

// A protected network is never joined through an open access point of the
// same name, and a wrong key stays disconnected.
TEST_F(WifiStationTest, OnlyTheRightKindAndKeyConnect) {
    struct Case {
        const char *in_range;
        const char *password;
        WifiConnectionState want;
    } cases[] = {
        {"home\tright-pass\n", "right-pass", WIFI_CONNECTED},
        {"home\tright-pass\n", "wrong-pass", WIFI_DISCONNECTED},
        {"home\t\n", "right-pass", WIFI_DISCONNECTED},  // an open impostor
        {"home\t\n", "", WIFI_CONNECTED},
        {"elsewhere\tright-pass\n", "right-pass", WIFI_DISCONNECTED},
    };
    for (const Case &c : cases) {
        in_range(c.in_range);
        ASSERT_EQ(0, st.connect("home", c.password)) << c.in_range << c.password;
        EXPECT_EQ(c.want, poll_until_settled()) << c.in_range << c.password;
    }
}

// Refused credentials run nothing at all; a supplicant that cannot start is
// a failure of switching on and of the connect, with nothing added.
TEST_F(WifiStationTest, RefusalsAndFailuresLeaveTheSupplicantAlone) {
    orvi_log_level_set(ORVI_LOG_INFO);
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, st.connect("home", "short"));
    EXPECT_EQ(-1, st.connect(std::string(33, 'n').c_str(), "long enough"));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(root.commands().empty());
    EXPECT_NE(std::string::npos, log.find("the password of 5 bytes is refused")) << log;
    EXPECT_NE(std::string::npos, log.find("the SSID of 33 bytes is refused")) << log;
    EXPECT_EQ(std::string::npos, log.find("short\"")) << log;

    root.write("/vboard/state/wpa_supplicant", "fail\n");
    EXPECT_EQ(-1, st.wifi_on());
    EXPECT_EQ(WIFI_DISABLE, orvi_wifi_status_get());
    EXPECT_EQ(-1, st.connect("home", "long enough"));
    for (const std::string &c : root.commands())
        EXPECT_EQ(std::string::npos, c.find("wpa_cli")) << c;
    EXPECT_TRUE(networks().empty());

    // Started: on is on, off stops the process and says so.
    root.write("/vboard/state/wpa_supplicant", "ok\n");
    EXPECT_EQ(0, st.wifi_on());
    EXPECT_EQ(WIFI_IDLE, orvi_wifi_status_get());
    EXPECT_TRUE(supplicant_runs());
    EXPECT_EQ(0, st.wifi_off());
    EXPECT_FALSE(supplicant_runs());
    EXPECT_EQ(WIFI_DISABLE, orvi_wifi_status_get());
}

// The state comes from the whole answer, however long its lines before it.
TEST_F(WifiStationTest, StateIsReadFromTheWholeAnswer) {
    ASSERT_EQ(0, st.wifi_on());
    root.write("/vboard/state/wpa_bssid", std::string(400, 'b') + "\n");
    root.write("/vboard/state/wpa_state", "COMPLETED\n");
    EXPECT_EQ(WIFI_CONNECTED, st.connection_state());
    root.write("/vboard/state/wpa_state", "TOTALLY_NEW\n");
    orvi_wifi_reset_for_test();
    EXPECT_EQ(WIFI_UNKNOWN_STATE, st.connection_state());
    EXPECT_EQ(WIFI_DISABLE, orvi_wifi_status_get());  // unchanged
}

// The confirmation polls until the network completes, or until its window
// passes, and hands one result on; with the cable in, Wi-Fi goes off after.
TEST_F(WifiStationTest, ConfirmationReportsTheOutcomeOnce) {
    struct Case {
        const char *password;
        bool eth;
        WifiConnectionState want;
    } cases[] = {
        {"right-pass", false, WIFI_CONNECTED},
        {"wrong-pass", false, WIFI_DISCONNECTED},  // the window passes
        {"right-pass", true, WIFI_CONNECTED},
    };
    in_range("home\tright-pass\n");
    for (const Case &c : cases) {
        {
            std::lock_guard<std::mutex> lk(g_results_mu);
            g_results.clear();
        }
        g_eth_up = c.eth;
        ASSERT_EQ(0, st.connect("home", c.password));
        ASSERT_EQ(0, st.connect_confirm());
        EXPECT_EQ(-1, st.connect_confirm());  // one at a time
        ASSERT_TRUE(confirm_ended());
        EXPECT_EQ(std::vector<WifiConnectionState>{c.want}, results()) << c.password;
        EXPECT_EQ(c.want, st.confirm_state());
        EXPECT_EQ(!c.eth, supplicant_runs()) << c.password;
    }
}

// ---- Start-up's wiring ------------------------------------------------------------

// The result reaches the intake as the "bleinfo" send request for the BLE
// connection, the state as its context.
class WifiResultWiring : public intake_test::IntakeFixture {};

TEST_F(WifiResultWiring, ResultIsQueuedAsBleinfoForTheBleConnection) {
    for (WifiConnectionState s : {WIFI_CONNECTED, WIFI_DISCONNECTED, WIFI_UNKNOWN_STATE}) {
        ASSERT_EQ(0, orvi_wifi_result_to_ble(s));
        std::vector<request_type_t> queued = intake_test::drain_requests();
        ASSERT_EQ(1u, queued.size()) << s;
        EXPECT_EQ("bleinfo", queued[0].data);
        EXPECT_EQ(DATA_TYPE_ONLY_SEND, queued[0].data_type);
        EXPECT_EQ(SOCKET_CONNECT_TYPE_BLE, queued[0].sockinfo.type);
        EXPECT_EQ(static_cast<long>(s), queued[0].ctx.value);
    }
}

}  // namespace
