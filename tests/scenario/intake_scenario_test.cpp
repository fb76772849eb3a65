// The request intake and the host event loop on the virtual board: the
// daemon starts its request task, scans for subdevices, feeds the watchdog,
// checks heartbeats and watches the network, as seen in its log and in the
// commands its board tools recorded.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "board.h"

namespace {

using std::chrono::seconds;

TEST(IntakeScenario, DaemonRunsItsScanHeartbeatAndNetworkCycles) {
    Board b;
    // Ten times faster: the 46 s heartbeat check comes within seconds.
    b.set_speed(10);
    ASSERT_TRUE(b.start());
    EXPECT_TRUE(b.wait_for_log("request_handle is running", seconds(20)));
    EXPECT_TRUE(b.wait_for_log("hb_timeout timer is success", seconds(20)));

    // The first scan 2 s after start: the event, then the send request
    // through the intake to the send table.
    EXPECT_TRUE(b.wait_for_log("boardcast scan packet.", seconds(20)));
    EXPECT_TRUE(b.wait_for_log("Root receive, data_type: 0, conn_type: 3, size: 4, data: scan", seconds(20)));

    // The network monitor: the board's ping answers, so the network comes
    // up and the DHCP client is restarted under the board's host name.
    EXPECT_TRUE(b.wait_for_log("net is connected", seconds(30)));
    EXPECT_TRUE(b.wait_ran("killall udhcpc"));
    EXPECT_TRUE(b.wait_ran("udhcpc -i eth0 -x hostname:orvihc70502"));
    EXPECT_TRUE(b.wait_for_log("feed watchdog", seconds(30)));

    // Two failed probe cycles take the network down.
    b.set_state("ping", "fail");
    EXPECT_TRUE(b.wait_for_log("net is loss", seconds(30)));

    // The heartbeat check runs every 46 s.
    EXPECT_TRUE(b.wait_for_log("currticks -> ", seconds(30)));
}

}  // namespace
