// Delivery needs the consumer thread, so these tests wait for events (with a
// generous bound that only guards against a hang). Delays are driven by the
// manual tick, never by the clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "orvi_event_loop.h"
#include "orvi_timer.h"
#include "scratch_root.h"

namespace {

struct Received {
    orvi_event_loop_t event;
    void *ctx;
    std::thread::id thread;
};

std::mutex g_mu;
std::condition_variable g_cv;
std::vector<Received> g_received;
bool g_block_first = false;  // the handler holds the first event until released
bool g_released = false;

int record_handler(orvi_event_loop_t event, void *ctx) {
    std::unique_lock<std::mutex> lk(g_mu);
    g_received.push_back({event, ctx, std::this_thread::get_id()});
    g_cv.notify_all();
    if (g_block_first && g_received.size() == 1) g_cv.wait(lk, [] { return g_released; });
    return event == 13 ? -1 : 0;
}

class EventLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        orvi_timer_service_stop();
        std::lock_guard<std::mutex> lk(g_mu);
        g_received.clear();
        g_block_first = false;
        g_released = false;
    }
    void TearDown() override {
        release();
        orvi_event_loop_deinit();
        orvi_timer_service_stop();
    }
    static void release() {
        std::lock_guard<std::mutex> lk(g_mu);
        g_released = true;
        g_cv.notify_all();
    }
    // Waits until `event` has been handled; the bound only guards a hang.
    static bool wait_for(orvi_event_loop_t event) {
        std::unique_lock<std::mutex> lk(g_mu);
        return g_cv.wait_for(lk, std::chrono::seconds(10), [event] {
            for (const auto &r : g_received)
                if (r.event == event) return true;
            return false;
        });
    }
    static std::vector<orvi_event_loop_t> events() {
        std::lock_guard<std::mutex> lk(g_mu);
        std::vector<orvi_event_loop_t> out;
        for (const auto &r : g_received)
            out.push_back(r.event);
        return out;
    }
    ScratchRoot root;
};

TEST_F(EventLoop, InitChecksItsArgumentAndRunsOnce) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, orvi_event_loop_send(1, nullptr));
    EXPECT_EQ(-2, orvi_event_loop_init(nullptr));
    ASSERT_EQ(0, orvi_event_loop_init(record_handler));
    EXPECT_EQ(-1, orvi_event_loop_init(record_handler));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("<-1> The event loop isn't initialized"));
    EXPECT_NE(std::string::npos, out.find("<ORVI_ERR_INVALID_ARG> !(cb)"));
    EXPECT_NE(std::string::npos, out.find("<-1> The event loop has been initialized"));
}

TEST_F(EventLoop, EventsArriveInOrderOnTheLoopThreadWithTheirContext) {
    ASSERT_EQ(0, orvi_event_loop_init(record_handler));
    int a = 0, b = 0;
    ASSERT_EQ(0, orvi_event_loop_send(4098, &a));
    ASSERT_EQ(0, orvi_event_loop_send(4116, &b));
    ASSERT_EQ(0, orvi_event_loop_send(4105, nullptr));
    ASSERT_TRUE(wait_for(4105));
    std::lock_guard<std::mutex> lk(g_mu);
    ASSERT_EQ(3u, g_received.size());
    EXPECT_EQ(4098u, g_received[0].event);
    EXPECT_EQ(&a, g_received[0].ctx);
    EXPECT_EQ(4116u, g_received[1].event);
    EXPECT_EQ(&b, g_received[1].ctx);
    EXPECT_EQ(nullptr, g_received[2].ctx);
    EXPECT_NE(std::this_thread::get_id(), g_received[0].thread);
    EXPECT_EQ(g_received[0].thread, g_received[2].thread);
}

TEST_F(EventLoop, FailedOrUnhandledEventsAreLogged) {
    ASSERT_EQ(0, orvi_event_loop_init(record_handler));
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, orvi_event_loop_send(13, nullptr));  // the handler fails this one
    ASSERT_EQ(0, orvi_event_loop_send(14, nullptr));
    ASSERT_TRUE(wait_for(14));  // handled one at a time: 13's log line is out
    ASSERT_EQ(0, orvi_event_loop_set(nullptr));
    ASSERT_EQ(0, orvi_event_loop_send(15, nullptr));
    ASSERT_EQ(0, orvi_event_loop_set(record_handler));
    ASSERT_EQ(0, orvi_event_loop_send(16, nullptr));
    ASSERT_TRUE(wait_for(16));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("Event handling failed"));
    // 15 may have met either handler, depending on when the consumer took it.
    std::vector<orvi_event_loop_t> got = events();
    if (std::find(got.begin(), got.end(), 15u) == got.end()) {
        EXPECT_NE(std::string::npos, out.find("Event handler is empty"));
    }
}

TEST_F(EventLoop, DirectCallRunsTheHandlerOnTheCaller) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, orvi_event_loop(1, nullptr));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("Event handler is empty"));
    ASSERT_EQ(0, orvi_event_loop_set(record_handler));
    EXPECT_EQ(0, orvi_event_loop(2, nullptr));
    EXPECT_EQ(-1, orvi_event_loop(13, nullptr));
    std::lock_guard<std::mutex> lk(g_mu);
    ASSERT_EQ(2u, g_received.size());
    EXPECT_EQ(std::this_thread::get_id(), g_received[0].thread);
    orvi_event_loop_set(nullptr);
}

TEST_F(EventLoop, DelayedEventArrivesAfterTwentyTicksAndASecondIsRefused) {
    ASSERT_EQ(0, orvi_event_loop_init(record_handler));
    int ctx = 0;
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, orvi_event_loop_delay_send(4098, &ctx, 2000));
    EXPECT_EQ(-1, orvi_event_loop_delay_send(4099, nullptr, 2000));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("event_loop_delay timer is success, id : "));
    EXPECT_NE(std::string::npos, out.find("event_loop_delay timer is fail!"));

    for (int i = 0; i < 19; ++i)
        orvi_timer_tick_once();
    // Events are handled in the order posted: if 4098 had been posted it
    // would come before this marker.
    ASSERT_EQ(0, orvi_event_loop_send(1, nullptr));
    ASSERT_TRUE(wait_for(1));
    EXPECT_EQ(std::vector<orvi_event_loop_t>{1}, events());

    orvi_timer_tick_once();
    ASSERT_TRUE(wait_for(4098));
    {
        std::lock_guard<std::mutex> lk(g_mu);
        EXPECT_EQ(&ctx, g_received.back().ctx);
    }
    // The one-shot timer went with its event: the name is free again.
    ASSERT_EQ(0, orvi_event_loop_delay_send(4100, nullptr, 100));
    orvi_timer_tick_once();
    ASSERT_TRUE(wait_for(4100));
    EXPECT_EQ((std::vector<orvi_event_loop_t>{1, 4098, 4100}), events());
}

TEST_F(EventLoop, DelayZeroPostsAtOnceAndBelowOneTickIsRefused) {
    ASSERT_EQ(0, orvi_event_loop_init(record_handler));
    EXPECT_EQ(-1, orvi_event_loop_delay_send(7, nullptr, 99));
    ASSERT_EQ(0, orvi_event_loop_delay_send(8, nullptr, 0));
    ASSERT_TRUE(wait_for(8));
    // The refused one left no pending timer behind.
    ASSERT_EQ(0, orvi_event_loop_delay_send(9, nullptr, 100));
}

TEST_F(EventLoop, FullQueueRefusesAtOnce) {
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_block_first = true;
    }
    ASSERT_EQ(0, orvi_event_loop_init(record_handler));
    ASSERT_EQ(0, orvi_event_loop_send(100, nullptr));
    ASSERT_TRUE(wait_for(100));  // the consumer is now held inside the handler
    int sent = 0;
    testing::internal::CaptureStdout();
    while (sent < 100000 && orvi_event_loop_send(101, nullptr) == 0)
        ++sent;
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, 100000);
    EXPECT_NE(std::string::npos, out.find("<-1> g_event_queue_handle send is failed!"));
    // Taking the loop down with a full queue does not wait for the backlog.
    release();
    EXPECT_EQ(0, orvi_event_loop_deinit());
    EXPECT_EQ(-1, orvi_event_loop_send(1, nullptr));
}

TEST_F(EventLoop, DeinitCancelsThePendingDelayedEvent) {
    ASSERT_EQ(0, orvi_event_loop_init(record_handler));
    ASSERT_EQ(0, orvi_event_loop_delay_send(50, nullptr, 200));
    ASSERT_EQ(0, orvi_event_loop_deinit());
    EXPECT_EQ(-1, orvi_event_loop_deinit());
    ASSERT_EQ(0, orvi_event_loop_init(record_handler));
    for (int i = 0; i < 3; ++i)
        orvi_timer_tick_once();
    ASSERT_EQ(0, orvi_event_loop_send(51, nullptr));
    ASSERT_TRUE(wait_for(51));
    EXPECT_EQ(std::vector<orvi_event_loop_t>{51}, events());
    EXPECT_EQ(0, orvi_event_loop_delay_send(52, nullptr, 100));
}

TEST_F(EventLoop, DelayedEventFiresFromTheTickThread) {
    ASSERT_EQ(0, orvi_event_loop_init(record_handler));
    ASSERT_EQ(0, orvi_timer_service_start());
    ASSERT_EQ(0, orvi_event_loop_delay_send(60, nullptr, 300));
    EXPECT_TRUE(wait_for(60));
}

}  // namespace
