// The network monitor, one cycle at a time on a scratch board: the carrier
// file, the ping stand-in ("fail" in its state file makes every probe fail)
// and the recording Wi-Fi station control stand for the board.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "orvi_log.h"
#include "orvi_net_monitor.h"
#include "orvi_product.h"
#include "intake_test_support.h"
#include "pending_calls.h"
#include "recording_seams.h"
#include "product_subdev.h"
#include "scratch_root.h"
#include "orvi_testing.h"

namespace {

void no_sleep(unsigned) {}

class NetMonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        st.sleep_ms = no_sleep;
        intake_test::set_identity();
        event_publish_set_sink(intake_test::publish_recorder);
        pending_set_result(0);
        product_set_net_status(0);
        product_set_time_calibration(2);
        pending_calls_clear();
        wifi_pending_set_connection_state(WIFI_DISCONNECTED);
        std::string cmd = "mkdir -p '" + root.path("/sys/class/net/eth0") + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
        carrier("1");
        net(true);
        set_credentials("", "");
    }
    void TearDown() override {
        event_publish_set_sink(nullptr);
        pending_set_result(-1);
        product_set_net_status(0);
        set_credentials("", "");
        wifi_pending_set_connection_state(WIFI_DISCONNECTED);
    }
    void carrier(const std::string &v) { root.write("/sys/class/net/eth0/carrier", v + "\n"); }
    void net(bool up) { root.write("/vboard/state/ping", up ? "ok\n" : "fail\n"); }
    // Empty texts clear both (the setters refuse an empty text).
    static void set_credentials(const char *ssid, const char *psw) {
        if (!ssid[0] && !psw[0]) {
            product_host_settings_reset_for_test();
            return;
        }
        ASSERT_EQ(0, product_set_ssid(ssid));
        ASSERT_EQ(0, product_set_wifiPsw(psw));
    }
    // Published "net" states, in order.
    static std::vector<std::string> published() {
        std::vector<std::string> out;
        for (const std::string &c : pending_calls())
            if (c.rfind("publish /host {\"cols\":[\"net\"],\"dat\":[\"", 0) == 0) {
                size_t b = c.find("\"dat\":[\"") + 8;
                out.push_back(c.substr(b, c.find('"', b) - b));
            }
        return out;
    }
    static std::vector<std::string> wifi_calls() {
        std::vector<std::string> out;
        for (const std::string &c : pending_calls())
            if (c.rfind("orvi_wifi", 0) == 0 || c.rfind("wifi_", 0) == 0) out.push_back(c);
        return out;
    }
    int count_commands(const std::string &prefix) const {
        int n = 0;
        for (const std::string &c : root.commands())
            if (c.rfind(prefix, 0) == 0) ++n;
        return n;
    }
    // The DHCP client starts in the background: wait for its line.
    bool wait_command(const std::string &prefix, int n) const {
        for (int i = 0; i < 250; ++i) {
            if (count_commands(prefix) >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    ScratchRoot root;
    net_monitor_state_t st;
};

TEST_F(NetMonitorTest, FirstGoodCycleBringsTheNetworkUpAndRestartsDhcp) {
    EXPECT_EQ(ORVI_NET_CYCLE_MS, net_monitor_cycle(&st));
    EXPECT_EQ(1, product_get_net_status());
    EXPECT_EQ(std::vector<std::string>{"connected"}, published());
    EXPECT_FALSE(st.first_cycle);
    EXPECT_FALSE(st.loss_reported);
    // The first target answered: no other was probed.
    EXPECT_EQ(1, count_commands("ping "));
    EXPECT_EQ(1, count_commands(std::string("ping -w 3 ") + ORVI_NET_PROBE_TARGETS[0]));
    EXPECT_EQ(1, count_commands("killall udhcpc"));
    EXPECT_TRUE(wait_command("udhcpc -i eth0 -x hostname:" ORVI_DHCP_HOSTNAME, 1));
    EXPECT_EQ(1, count_commands("ifconfig eth0"));

    // Up already: a good cycle publishes nothing and leaves DHCP alone.
    pending_calls_clear();
    root.clear_commands();
    net_monitor_cycle(&st);
    EXPECT_TRUE(published().empty());
    EXPECT_EQ(0, count_commands("killall"));
}

// One failed cycle after a good one changes nothing, two in a row do; a
// success in between starts the count again.
TEST_F(NetMonitorTest, TwoFailedCyclesInARowTakeTheNetworkDown) {
    net_monitor_cycle(&st);
    ASSERT_EQ(1, product_get_net_status());
    pending_calls_clear();
    root.clear_commands();

    net(false);
    net_monitor_cycle(&st);
    EXPECT_EQ(1, product_get_net_status());
    EXPECT_EQ(4, count_commands("ping "));  // every target tried
    net(true);
    net_monitor_cycle(&st);
    net(false);
    net_monitor_cycle(&st);
    EXPECT_EQ(1, product_get_net_status());
    EXPECT_TRUE(published().empty());

    net_monitor_cycle(&st);
    EXPECT_EQ(0, product_get_net_status());
    EXPECT_EQ(std::vector<std::string>{"unconnect"}, published());
    EXPECT_EQ(0, count_commands("killall"));

    // Down: every failed cycle restarts DHCP, "unconnect" is said once.
    net_monitor_cycle(&st);
    EXPECT_EQ(1, count_commands("killall udhcpc"));
    EXPECT_TRUE(wait_command("udhcpc -i eth0", 1));
    EXPECT_EQ(std::vector<std::string>{"unconnect"}, published());

    // Back: "connected" once more.
    net(true);
    net_monitor_cycle(&st);
    EXPECT_EQ(1, product_get_net_status());
    EXPECT_EQ((std::vector<std::string>{"unconnect", "connected"}), published());
}

TEST_F(NetMonitorTest, FirstCycleWithoutNetworkSaysSoOnce) {
    net(false);
    net_monitor_cycle(&st);
    net_monitor_cycle(&st);
    EXPECT_EQ(0, product_get_net_status());
    EXPECT_EQ(std::vector<std::string>{"unconnect"}, published());
    EXPECT_EQ(2, count_commands("killall udhcpc"));
}

TEST_F(NetMonitorTest, CableOutWithStoredCredentialsSwitchesToWifi) {
    carrier("0");
    net_monitor_cycle(&st);  // no credentials: stays on Ethernet
    EXPECT_EQ(NET_UPLINK_ETH, st.uplink);
    EXPECT_TRUE(wifi_calls().empty());

    set_credentials("home net", "p4ss'word");
    pending_calls_clear();
    net_monitor_cycle(&st);
    EXPECT_EQ(NET_UPLINK_WIFI, st.uplink);
    EXPECT_EQ((std::vector<std::string>{"orvi_wifi_on", "wifi_connect home net p4ss'word"}), wifi_calls());

    // On Wi-Fi and not associated: connect again; associated: leave it.
    pending_calls_clear();
    net_monitor_cycle(&st);
    EXPECT_EQ((std::vector<std::string>{"wifi_get_connection_state", "wifi_connect home net p4ss'word"}),
              wifi_calls());
    wifi_pending_set_connection_state(WIFI_CONNECTED);
    pending_calls_clear();
    net_monitor_cycle(&st);
    EXPECT_EQ(std::vector<std::string>{"wifi_get_connection_state"}, wifi_calls());

    // Cable back: Wi-Fi off, Ethernet again.
    carrier("1");
    pending_calls_clear();
    net_monitor_cycle(&st);
    EXPECT_EQ(NET_UPLINK_ETH, st.uplink);
    EXPECT_EQ(std::vector<std::string>{"orvi_wifi_off"}, wifi_calls());
}

// Without Wi-Fi station control (not built) the monitor still makes Wi-Fi
// the uplink when the cable is out and tries to join again every cycle; the
// pass phrase never reaches the log.
TEST_F(NetMonitorTest, CableOutWithoutStationControlRetriesEachCycle) {
    recording_seams_back back;
    orvi_wifi_install(nullptr);
    carrier("0");
    set_credentials("home net", "p4ss-phrase-77");
    orvi_log_level_set(ORVI_LOG_DEBUG);
    testing::internal::CaptureStdout();
    net_monitor_cycle(&st);
    net_monitor_cycle(&st);
    net_monitor_cycle(&st);
    orvi_log_level_set(ORVI_LOG_INFO);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(NET_UPLINK_WIFI, st.uplink);
    size_t retries = 0;
    for (size_t at = log.find("wifi unconnect!retry...."); at != std::string::npos;
         at = log.find("wifi unconnect!retry....", at + 1))
        ++retries;
    EXPECT_EQ(2u, retries) << log;
    EXPECT_NE(std::string::npos, log.find("wifi_connect: not built")) << log;
    EXPECT_EQ(std::string::npos, log.find("p4ss-phrase-77")) << log;
}

TEST_F(NetMonitorTest, CarrierFileReadsAsTheLink) {
    EXPECT_TRUE(net_port_eth_carrier());
    carrier("0");
    EXPECT_FALSE(net_port_eth_carrier());
    root.write("/sys/class/net/eth0/carrier", "");
    EXPECT_TRUE(net_port_eth_carrier());  // no answer counts as connected
}

TEST_F(NetMonitorTest, DailyClockSynchronisation) {
    net_monitor_cycle(&st);
    st.seconds = ORVI_NET_TIME_SYNC_SECONDS - 10;
    net_monitor_cycle(&st);
    EXPECT_EQ(2, product_get_time_calibration());
    net_monitor_cycle(&st);
    EXPECT_EQ(0, product_get_time_calibration());
    EXPECT_EQ(0u, st.seconds);
}

}  // namespace
