// The event bus on the virtual board: the daemon's publisher against the
// board's broker (simbus), and the host's client driven by buscheck while the
// broker splits, joins and drops its connections.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board.h"

namespace {

using namespace std::chrono_literals;

const std::string kBuscheck = "/opt/vboard/bin/buscheck";

size_t count_of(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// Waits until the broker's log holds `needle` at least `times` times.
bool wait_bus_log(const Board &b, const std::string &needle, size_t times = 1,
                  std::chrono::milliseconds timeout = 20s) {
    auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (count_of(b.read("/vboard/simbus.log"), needle) >= times) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(50ms);
    }
}

// The "dat" value of every "msg" line buscheck printed, in order.
std::vector<std::string> seqs(const std::string &out) {
    std::vector<std::string> v;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 4, "msg ") != 0) continue;
        size_t at = line.find("\"dat\":[\"");
        if (at == std::string::npos) continue;
        at += 8;
        v.push_back(line.substr(at, line.find('"', at) - at));
    }
    return v;
}

std::vector<std::string> expected_seqs(int first, int count) {
    std::vector<std::string> v;
    for (int i = first; i < first + count; ++i)
        v.push_back("m" + std::to_string(i));
    return v;
}

TEST(EventBusScenario, DaemonPublisherConnectsAndMessagesReachTheBroker) {
    Board b;
    ASSERT_TRUE(b.start());
    // The daemon's sender thread connects from its own client path.
    ASSERT_TRUE(wait_bus_log(b, "connected from /data/domivault/select.sock_"));

    Board::Result pub = b.exec({kBuscheck, "pub", "scene/delete/scene", "1", "7"});
    EXPECT_EQ(0, pub.status) << pub.out;
    ASSERT_TRUE(wait_bus_log(b, "\"topic\":\"scene/delete/scene\""));
    std::string log = b.read("/vboard/simbus.log");
    EXPECT_NE(std::string::npos, log.find("\"source\":\"host\",\"cmd\":\"data\",\"retain\":false"));

    // The broker keeps the last message of a topic for queries.
    Board::Result sel = b.exec({kBuscheck, "select", "scene/#"});
    EXPECT_EQ(0, sel.status) << sel.out;
    EXPECT_EQ(std::vector<std::string>{"m7"}, seqs(sel.out)) << sel.out;

    // The daemon is still running.
    EXPECT_TRUE(b.read("/vboard/daemon.exit").empty());

    // Client socket files left by an earlier run are gone after the next start.
    b.write("/data/domivault/select.sock_99999", "");
    ASSERT_TRUE(b.restart());
    ASSERT_TRUE(wait_bus_log(b, "listening on", 2));
    auto since_boot = [&] {
        std::string log = b.read("/vboard/simbus.log");
        return log.substr(log.rfind("listening on"));
    };
    for (int i = 0; i < 400 && since_boot().find("connected from") == std::string::npos; ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_NE(std::string::npos, since_boot().find("connected from /data/domivault/select.sock_"));
    EXPECT_NE(0, b.exec({"test", "-e", "/data/domivault/select.sock_99999"}).status);
    EXPECT_EQ(0, b.exec({"test", "-S", "/data/domivault/select.sock"}).status);
}

TEST(EventBusScenario, SubscriberGetsEveryMessageOnceInOrderWhileTheBrokerMisbehaves) {
    Board b;
    ASSERT_TRUE(b.start());
    Board::Result sub;
    std::thread subscriber([&] { sub = b.exec({kBuscheck, "sub", "bus/test/#", "40", "90000"}); });
    ASSERT_TRUE(wait_bus_log(b, "sub bus/test/# -> r=1"));

    auto publish = [&](int first, int count) {
        Board::Result r =
            b.exec({kBuscheck, "pub", "bus/test/a", std::to_string(count), std::to_string(first)});
        EXPECT_EQ(0, r.status) << r.out;
    };
    // Each write of the control file is one "control:" line in the broker's log.
    auto control = [&](const std::string &words) {
        std::string needle = "control: " + words + "\\n";
        size_t before = count_of(b.read("/vboard/simbus.log"), needle);
        b.set_state("simbus", words);
        EXPECT_TRUE(wait_bus_log(b, needle, before + 1));
    };

    control("split");
    publish(0, 10);
    control("join");
    publish(10, 10);
    control("join split stall=300");
    publish(20, 10);
    // Every connection dropped at once: the subscriber notices, subscribes
    // again, and what is published afterwards reaches it. The publisher has
    // written m29 when it ends, but a broker busy cutting frames may not have
    // read it yet, and a close throws away what it has not read: the close
    // comes once the broker has taken the last message in.
    ASSERT_TRUE(wait_bus_log(b, "\"dat\":[\"m29\"]"));
    control("close");
    ASSERT_TRUE(wait_bus_log(b, "sub bus/test/# -> r=1", 2));
    control("join");
    publish(30, 10);

    subscriber.join();
    EXPECT_EQ(0, sub.status) << sub.out;
    EXPECT_EQ(expected_seqs(0, 40), seqs(sub.out)) << sub.out;
    // The broker really did cut and glue its frames.
    std::string log = b.read("/vboard/simbus.log");
    EXPECT_NE(std::string::npos, log.find("wrote piece 3/3 of 1 frame(s)"));
    EXPECT_NE(std::string::npos, log.find("wrote 2 frames in one write"));
    EXPECT_NE(std::string::npos, log.find("wrote piece 2/3 of 2 frame(s)"));
    EXPECT_NE(std::string::npos, log.find("closed (control close)"));
}

TEST(EventBusScenario, RefusedSubscriptionEndsTheSubscriber) {
    Board b;
    ASSERT_TRUE(b.start());
    b.set_state("simbus", "refuse=can/status");
    ASSERT_TRUE(wait_bus_log(b, "control: refuse=can/status"));
    Board::Result r = b.exec({kBuscheck, "sub", "can/status", "1", "20000"});
    EXPECT_EQ(3, r.status);
    EXPECT_NE(std::string::npos, r.out.find("refused"));
    EXPECT_TRUE(wait_bus_log(b, "sub can/status -> r=2"));
}

}  // namespace
