#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "orvi_timer.h"

namespace {

// Every timer in these tests records its firing here, by a label.
struct FireLog {
    std::vector<std::string> fired;
    void clear() { fired.clear(); }
    int count(const std::string &label) const {
        int n = 0;
        for (const auto &f : fired)
            n += f == label;
        return n;
    }
};
FireLog g_log;

void record_cb(void *ctx) {
    g_log.fired.push_back(static_cast<const char *>(ctx));
}

class TimerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        orvi_timer_service_stop();
        g_log.clear();
    }
    void TearDown() override { orvi_timer_service_stop(); }
    static void ticks(int n) {
        for (int i = 0; i < n; ++i)
            orvi_timer_tick_once();
    }
};

TEST_F(TimerTest, PeriodIsKeptInWholeTicks) {
    struct Case {
        long period_ms;
        int expect_id_ok;  // 0: refused
        int fires_in_6;    // firings over six ticks
        long stored_ms;
    } cases[] = {
        {99, 0, 0, -1},   {0, 0, 0, -1},    {-100, 0, 0, -1}, {100, 1, 6, 100},
        {150, 1, 6, 100}, {250, 1, 3, 200}, {300, 1, 2, 300},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.period_ms);
        orvi_timer_service_stop();
        g_log.clear();
        orvi_timer_t id = orvi_timer_create("t", record_cb, c.period_ms, const_cast<char *>("t"), 1);
        if (!c.expect_id_ok) {
            EXPECT_EQ(-1, id);
            continue;
        }
        ASSERT_GE(id, 0);
        EXPECT_EQ(c.stored_ms, orvi_timer_get_period(id));
        ticks(6);
        EXPECT_EQ(c.fires_in_6, g_log.count("t"));
    }
}

TEST_F(TimerTest, NamesAreUniqueUntilDeleted) {
    orvi_timer_t a = orvi_timer_create("dup", record_cb, 100, const_cast<char *>("a"), 1);
    ASSERT_GE(a, 0);
    ASSERT_EQ(0, orvi_timer_stop(a));
    EXPECT_EQ(-1, orvi_timer_create("dup", record_cb, 100, const_cast<char *>("b"), 1));
    ASSERT_EQ(0, orvi_timer_delete(&a));
    EXPECT_EQ(-1, a);
    EXPECT_GE(orvi_timer_create("dup", record_cb, 100, const_cast<char *>("b"), 1), 0);
}

TEST_F(TimerTest, RefusesBadNamesAndCallbacks) {
    std::string long_name(ORVI_TIMER_NAME_LEN, 'x');
    EXPECT_EQ(-1, orvi_timer_create(long_name.c_str(), record_cb, 100, nullptr, 1));
    EXPECT_GE(orvi_timer_create(long_name.substr(1).c_str(), record_cb, 100, nullptr, 1), 0);
    EXPECT_EQ(-1, orvi_timer_create("", record_cb, 100, nullptr, 1));
    EXPECT_EQ(-1, orvi_timer_create(nullptr, record_cb, 100, nullptr, 1));
    EXPECT_EQ(-1, orvi_timer_create("nocb", nullptr, 100, nullptr, 1));
}

TEST_F(TimerTest, FiftyFirstTimerFindsTheTableFull) {
    std::vector<orvi_timer_t> ids;
    for (int i = 0; i < ORVI_TIMER_MAX; ++i) {
        orvi_timer_t id = orvi_timer_create(("t" + std::to_string(i)).c_str(), record_cb, 1000, nullptr, 1);
        ASSERT_EQ(i, id);
        ids.push_back(id);
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, orvi_timer_create("one_more", record_cb, 1000, nullptr, 1));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("timer list is full!"));
    // A freed slot is the one reused.
    ASSERT_EQ(0, orvi_timer_delete(&ids[17]));
    EXPECT_EQ(17, orvi_timer_create("one_more", record_cb, 1000, nullptr, 1));
}

TEST_F(TimerTest, OneShotFiresOnceAndAgainAfterStart) {
    orvi_timer_t id = orvi_timer_create("once", record_cb, 200, const_cast<char *>("once"), 0);
    ASSERT_GE(id, 0);
    ticks(5);
    EXPECT_EQ(1, g_log.count("once"));
    EXPECT_EQ(TIMER_STOP, orvi_timer_get_state(id));
    ASSERT_EQ(0, orvi_timer_start(id));
    EXPECT_EQ(TIMER_START, orvi_timer_get_state(id));
    ticks(1);
    EXPECT_EQ(1, g_log.count("once"));
    ticks(1);
    EXPECT_EQ(2, g_log.count("once"));
}

TEST_F(TimerTest, StopThenStartCountsAFullPeriod) {
    orvi_timer_t id = orvi_timer_create("p", record_cb, 500, const_cast<char *>("p"), 1);
    ASSERT_GE(id, 0);
    ticks(4);
    ASSERT_EQ(0, orvi_timer_stop(id));
    ticks(10);
    EXPECT_EQ(0, g_log.count("p"));
    ASSERT_EQ(0, orvi_timer_start(id));
    ticks(4);
    EXPECT_EQ(0, g_log.count("p"));
    ticks(1);
    EXPECT_EQ(1, g_log.count("p"));
}

TEST_F(TimerTest, ChangeRestartsWithTheNewPeriod) {
    orvi_timer_t id = orvi_timer_create("c", record_cb, 1000, const_cast<char *>("c"), 1);
    ASSERT_GE(id, 0);
    ASSERT_EQ(0, orvi_timer_stop(id));
    EXPECT_EQ(-1, orvi_timer_change(id, 99));
    EXPECT_EQ(TIMER_STOP, orvi_timer_get_state(id));
    ASSERT_EQ(0, orvi_timer_change(id, 200));
    EXPECT_EQ(TIMER_START, orvi_timer_get_state(id));
    EXPECT_EQ(200, orvi_timer_get_period(id));
    ticks(4);
    EXPECT_EQ(2, g_log.count("c"));
}

TEST_F(TimerTest, EveryOperationRejectsFreeAndOutOfRangeIds) {
    orvi_timer_t live = orvi_timer_create("live", record_cb, 100, nullptr, 1);
    ASSERT_EQ(0, live);
    for (orvi_timer_t id : {-1, 1, ORVI_TIMER_MAX - 1, ORVI_TIMER_MAX, 1000}) {
        SCOPED_TRACE(id);
        testing::internal::CaptureStdout();
        EXPECT_EQ(-1, orvi_timer_start(id));
        EXPECT_EQ(-1, orvi_timer_stop(id));
        EXPECT_EQ(-1, orvi_timer_change(id, 1000));
        EXPECT_EQ(-1, orvi_timer_get_period(id));
        EXPECT_EQ(-1, orvi_timer_get_state(id));
        orvi_timer_t copy = id;
        EXPECT_EQ(-1, orvi_timer_delete(&copy));
        EXPECT_EQ(id, copy);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos, out.find("id " + std::to_string(id) + " timer is not exist!"));
    }
    EXPECT_EQ(-1, orvi_timer_delete(nullptr));
    EXPECT_EQ(TIMER_START, orvi_timer_get_state(live));
}

TEST_F(TimerTest, CallbacksRunInSlotOrder) {
    for (const char *n : {"s0", "s1", "s2", "s3"})
        ASSERT_GE(orvi_timer_create(n, record_cb, 100, const_cast<char *>(n), 1), 0);
    ticks(1);
    EXPECT_EQ((std::vector<std::string>{"s0", "s1", "s2", "s3"}), g_log.fired);
}

// Callbacks that change the table while the tick runs through it.
orvi_timer_t g_self = -1, g_victim = -1;
void delete_self_cb(void *) {
    g_log.fired.push_back("self");
    orvi_timer_delete(&g_self);
}
void delete_victim_cb(void *) {
    g_log.fired.push_back("killer");
    orvi_timer_delete(&g_victim);
}
void spawn_child_cb(void *) {
    g_log.fired.push_back("spawner");
    // Slot 0 is still held by this timer, so the child lands in a later slot
    // of the tick in progress.
    orvi_timer_create("child", record_cb, 100, const_cast<char *>("child"), 1);
}

TEST_F(TimerTest, CallbackMayDeleteItsOwnSlot) {
    g_self = orvi_timer_create("self", delete_self_cb, 100, nullptr, 1);
    ASSERT_GE(g_self, 0);
    ticks(3);
    EXPECT_EQ(1, g_log.count("self"));
    EXPECT_EQ(-1, g_self);
    EXPECT_GE(orvi_timer_create("self", record_cb, 100, nullptr, 1), 0);
}

TEST_F(TimerTest, SlotDeletedByAnEarlierCallbackDoesNotFire) {
    ASSERT_EQ(0, orvi_timer_create("killer", delete_victim_cb, 100, nullptr, 0));
    g_victim = orvi_timer_create("victim", record_cb, 100, const_cast<char *>("victim"), 1);
    ASSERT_EQ(1, g_victim);
    ticks(2);
    EXPECT_EQ(1, g_log.count("killer"));
    EXPECT_EQ(0, g_log.count("victim"));
}

TEST_F(TimerTest, TimerArmedByACallbackWaitsForTheNextTick) {
    ASSERT_EQ(0, orvi_timer_create("spawner", spawn_child_cb, 100, nullptr, 0));
    ticks(1);
    EXPECT_EQ(1, g_log.count("spawner"));
    EXPECT_EQ(0, g_log.count("child"));
    ticks(1);
    EXPECT_EQ(1, g_log.count("child"));
}

TEST_F(TimerTest, FiveSecondLineEveryFiftyOneTicks) {
    const std::string line = "this's tick tock at 5 seconds";
    testing::internal::CaptureStdout();
    ticks(50);
    EXPECT_EQ(std::string::npos, testing::internal::GetCapturedStdout().find(line));
    testing::internal::CaptureStdout();
    ticks(1);
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find(line));
    testing::internal::CaptureStdout();
    ticks(50);
    EXPECT_EQ(std::string::npos, testing::internal::GetCapturedStdout().find(line));
}

TEST_F(TimerTest, TickThreadFiresTimersAndInitRegistersSecondTimer) {
    static std::mutex mu;
    static std::condition_variable cv;
    static int fired = 0;
    fired = 0;
    ASSERT_EQ(0, orvi_timer_init());
    EXPECT_EQ(-1, second_period_timer_start());
    orvi_timer_t id = orvi_timer_create(
        "threaded",
        [](void *) {
            std::lock_guard<std::mutex> lk(mu);
            ++fired;
            cv.notify_all();
        },
        100, nullptr, 1);
    ASSERT_GE(id, 0);
    std::unique_lock<std::mutex> lk(mu);
    EXPECT_TRUE(cv.wait_for(lk, std::chrono::seconds(10), [] { return fired >= 3; }));
    lk.unlock();
    orvi_timer_service_stop();
    EXPECT_EQ(-1, orvi_timer_get_state(id));
}

TEST(Ticks, CountFromProcessStartAndNeverGoBack) {
    orvi_ticktype_t a = orvi_get_ticks();
    orvi_ticktype_t b = orvi_get_ticks();
    EXPECT_LE(a, b);
    // Under a day since this process started.
    EXPECT_LT(b, static_cast<orvi_ticktype_t>(100) * 86400);
}

}  // namespace
