// One LAN peer misbehaving at full speed while the app and the devices go
// on: the daemon on the virtual board must keep answering everybody else.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "board.h"
#include "lan_scenario.h"

namespace {

using namespace lan_scenario;
using namespace std::chrono_literals;

class FloodScenario : public LanBoardTest {
  protected:
    void SetUp() override { boot(); }
};

TEST_F(FloodScenario, AppIsAnsweredWhileAPeerFloodsTheUdpPort) {
    const std::string ubind = R"({"t":"UBind","mac":"miniApp","devCnt":1})";
    ASSERT_EQ(0, app({"--wait", "3000", "--expect", "UBindok", ubind}).status) << "no answer before the flood";

    // 1,000 datagrams a second from one address: junk and request-shaped packets.
    in_background({kOrvictl, "flood", "--from", "192.0.2.150", "--rate", "1000", "--seconds", "600"});
    ASSERT_TRUE(board_.wait_for_log("192.0.2.150", 20s)) << "the flood never reached the daemon";

    // Answered at all, within a wait a busy test machine can keep: how fast
    // is the benchmark's business (bench/lan.cpp, UnderFlood).
    for (int i = 0; i < 18; ++i) {
        Board::Result r = app({"--wait", "10000", "--expect", "UBindok", ubind});
        EXPECT_EQ(0, r.status) << "request " << i << " went unanswered during the flood\n" << r.out;
    }
    // The flood cost log lines, not the log: held-back warnings are counted.
    EXPECT_TRUE(board_.wait_for_log("more lines like the next were not logged", 20s));
}

}  // namespace
