#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tovra_link_fakes.h"
#include "tovra_payload.h"
#include "tovra_queue.h"

using tovra_fake::Fixture;
using tovra_fake::S;
using strings = std::vector<std::string>;

namespace {

struct written {
    int ms;
    std::string frame;
};

// The sender's link is one end of a datagram socket pair, so each write is
// one frame at the other end. Time is simulated: a pass every 10 ms, the
// tick every 100 ms, both called by hand.
class Link : public Fixture {
  public:
    Link() {
        int sv[2];
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, sv));
        host_ = sv[0];
        module_ = sv[1];
        tovra_uart_fd = host_;
    }
    ~Link() {
        tovra_uart_fd = -1;
        close(host_);
        close(module_);
    }
    // Runs `ms` of simulated time; every frame written, stamped.
    void run(int ms) {
        for (int end = now_ + ms; now_ < end; now_ += 10) {
            if (now_ % 100 == 0)
                tovra_timer_tick(clock_ + now_ / 1000);
            tovra_event_timeout_handle();
            tovra_msg_queue_check();
            char b[128];
            ssize_t n;
            while ((n = recv(module_, b, sizeof b, 0)) > 0)
                frames.push_back({now_, std::string(b, (size_t)n)});
        }
    }
    int now() const { return now_; }
    std::vector<written> frames;
    time_t clock_ = 1000000 * 86400L + 12 * 3600;  // noon, away from the daily marks

  private:
    int host_ = -1, module_ = -1;
    int now_ = 0;
};

std::vector<int> times_of(const std::vector<written> &w) {
    std::vector<int> t;
    for (const auto &f : w)
        t.push_back(f.ms);
    return t;
}

}  // namespace

TEST(TovraQueue, AControlCommandGoesTwice200msApartAndLeaves200msLater) {
    Link l;
    const uint8_t ctl[] = {0x01, 0x64};
    ASSERT_EQ(0, at_ctrl_msg_add_queue(0x12, ctl, 2));
    l.run(1000);
    ASSERT_EQ(2u, l.frames.size());
    EXPECT_EQ(200, l.frames[1].ms - l.frames[0].ms);
    EXPECT_EQ(std::string("AT+IHG\x07\x01\x00\x12\x00\x02\x01\x64", 14), l.frames[0].frame);
    EXPECT_EQ(l.frames[0].frame, l.frames[1].frame);
    // Gone on the first pass after the pause of the second write.
    EXPECT_EQ(0, tovra_queue_count(TOVRA_QUEUE_MAIN));
}

TEST(TovraQueue, PausesRepeatsAndPriorities) {
    struct pacing_case {
        const char *name;
        void (*queue)();
        std::vector<int> times;  // ms of every write
        strings frames;          // keywords, in order
    } cases[] = {
        {"a scene command: three writes 1 s apart",
         [] { at_scene_msg_add_queue(5, 0x20, (const uint8_t *)"\x01", 1, "r"); },
         {0, 1000, 2000},
         {"AT+IHG", "AT+IHG", "AT+IHG"}},
        {"a room reset: two copies on the retry queue, 200 ms apart", [] { at_ctrl_reset_msg_add_queue(0x12); },
         {0, 200},
         {"AT+CTRL", "AT+CTRL"}},
        {"the main queue goes ahead of the others",
         [] {
             at_scene_msg_delete_queue(5, 0x20);
             at_ctrl_reset_msg_add_queue(0x12);
             at_type_msg_add_queue();
             at_monitor_msg_add_queue();
         },
         // A queue that empties ends its pass: the next queue goes 10 ms on.
         {0, 200, 410, 1410, 1600},
         {"AT+TYPE", "AT+MONITOR", "AT+IHG", "AT+CTRL", "AT+CTRL"}},
        {"a scene-bind command goes before a scene command",
         [] {
             at_scene_msg_delete_queue(5, 0x20);
             at_scene_msg_unbind_queue(5, 1, 0x21, "r");
         },
         {0, 1000, 2000, 3010},
         {"AT+IHG", "AT+IHG", "AT+IHG", "AT+IHG"}},
    };
    for (const auto &c : cases) {
        Link l;
        c.queue();
        l.run(5000);
        EXPECT_EQ(c.times, times_of(l.frames)) << c.name;
        strings kws;
        for (const auto &f : l.frames)
            kws.push_back(f.frame.substr(0, f.frame.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ+", 0)));
        EXPECT_EQ(c.frames, kws) << c.name;
        for (int q = 0; q < TOVRA_QUEUE_NUM; q++)
            EXPECT_EQ(0, tovra_queue_count(q)) << c.name << " queue " << q;
    }
}

TEST(TovraQueue, AnAcknowledgementEndsTheMainPauseAtOnce) {
    Link l;
    at_type_msg_add_queue();
    at_pairstart_msg_add_queue();
    l.run(10);
    ASSERT_EQ(1u, l.frames.size());
    at_acktype_msg_recv((const uint8_t *)"AT+ACKTYPE", 10);
    l.run(30);
    // Removed on the first pass, the next command written on the same pass.
    ASSERT_EQ(2u, l.frames.size());
    EXPECT_EQ(10, l.frames[1].ms);
    EXPECT_EQ("AT+PAIRSTART 7", l.frames[1].frame);
}

TEST(TovraQueue, UnconfirmedSceneCommandsReportTheirOutcome) {
    struct outcome_case {
        const char *name;
        const char *mid;
        int (*queue)(uint16_t addr);
        strings events;
    } cases[] = {
        {"a light outside the no-answer list: 500", "70999",
         [](uint16_t a) { return at_scene_msg_add_queue(9, a, (const uint8_t *)"\x01", 1, "req-9"); },
         {"scene_set 34 req-9 500"}},
        {"a light that never answers: 200", "70710",
         [](uint16_t a) { return at_scene_msg_add_queue(9, a, (const uint8_t *)"\x01", 1, "req-9"); },
         {"scene_set 34 req-9 200"}},
        {"the same model on the bind queue: 500", "70710",
         [](uint16_t a) { return at_scene_msg_bind_queue(9, 1, a, "req-9"); }, {"scene_set 34 req-9 500"}},
        {"a scene switch's unbind: 500", "80601",
         [](uint16_t a) { return at_scene_msg_unbind_queue(9, 1, a, "req-9"); }, {"unbind 34 req-9 500"}},
        {"a panel bind of the listed panels: 200", "70724",
         [](uint16_t a) { return at_scene_msg_bind_queue(9, 1, a, "req-9"); }, {"bind 34 req-9 200"}},
        {"a scene command of no scene request reports nothing", "70999",
         [](uint16_t a) { return at_scene_msg_delete_queue(9, a); }, {}},
    };
    for (const auto &c : cases) {
        Link l;
        S().devices[34] = tovra_fake::dev(34, c.mid);
        ASSERT_EQ(0, c.queue(34)) << c.name;
        l.run(5000);
        EXPECT_EQ(c.events, l.take()) << c.name;
    }
}

TEST(TovraQueue, ARetryQueueThatDrainsSendsOneSceneLockEvent) {
    Link l;
    tovra_scene_lock2_flag = 1;
    at_ctrl_reset_msg_add_queue(0x12);
    at_roomset_msg_add_queue(3, 1, 0x12);
    l.run(3000);
    EXPECT_EQ(3u, l.frames.size());
    EXPECT_EQ(strings{"lock 0 1"}, l.take());
}

TEST(TovraQueue, AFullQueueDropsTheNewCommand) {
    Fixture fx;
    tovra_msg_t m;
    memset(&m, 0, sizeof m);
    strcpy(m.atcmd, "AT+CTRL");
    for (int i = 0; i < TOVRA_QUEUE_SIZE; i++) {
        m.addr = (uint16_t)i;
        ASSERT_EQ(0, tovra_retry_msg_queue_add(&m));
    }
    m.addr = 5000;
    EXPECT_EQ(-1, tovra_retry_msg_queue_add(&m));
    EXPECT_EQ(TOVRA_QUEUE_SIZE, tovra_queue_count(TOVRA_QUEUE_RETRY));
    ASSERT_TRUE(tovra_queue_inflight(TOVRA_QUEUE_RETRY, &m));
    EXPECT_EQ(0, m.addr);
}

namespace {
struct built {
    int queue;
    int copies;
    const char *atcmd;
    int repeat;
    std::string data;
};
built only_command() {
    for (int q = 0; q < TOVRA_QUEUE_NUM; q++) {
        tovra_msg_t m;
        if (!tovra_queue_inflight(q, &m))
            continue;
        return {q, tovra_queue_count(q), "", m.repeat_times, std::string((const char *)m.atdata, m.atlen)};
    }
    return {-1, 0, "", 0, ""};
}
std::string first_atcmd() {
    for (int q = 0; q < TOVRA_QUEUE_NUM; q++) {
        tovra_msg_t m;
        if (tovra_queue_inflight(q, &m))
            return m.atcmd;
    }
    return "";
}
}  // namespace

TEST(TovraQueue, BuildersQueueTheirCommands) {
    const uint8_t ctl[] = {0x01, 0x32};
    struct builder_case {
        const char *name;
        int (*build)(const uint8_t *ctl);
        built want;
    } cases[] = {
        {"device control", [](const uint8_t *c) { return at_ctrl_msg_add_queue(0x1A5, c, 2); },
         {TOVRA_QUEUE_MAIN, 2, "AT+IHG", 1, std::string("\x01\x01\xA5\x01\x02\x01\x32", 7)}},
        {"backlight", [](const uint8_t *) { return at_backlight_ctrl_msg_add_queue(0x12, 40); },
         {TOVRA_QUEUE_MAIN, 2, "AT+IHG", 1, std::string("\x02\x00\x12\x00\x01\x28", 6)}},
        {"switch group on", [](const uint8_t *) { return at_three_parties_switch_group_ctrl_msg_add_queue(0x12, 1); },
         {TOVRA_QUEUE_MAIN, 2, "AT+CTRL", 1, std::string("\x04\x02\x12\x0F", 4)}},
        {"switch group above 255 carries the address whole",
         [](const uint8_t *) { return at_three_parties_switch_group_ctrl_msg_add_queue(0x134, 0); },
         {TOVRA_QUEUE_MAIN, 2, "AT+CTRL", 1, std::string("\x05\x82\x01\x34\x00", 5)}},
        {"curtain group", [](const uint8_t *) { return at_three_parties_curtain_group_ctrl_msg_add_queue(0x12, 60, 1); },
         {TOVRA_QUEUE_MAIN, 2, "AT+CTRL", 1, std::string("\x08\x02\x12\x00\x3C\x00\xFF\x00\x00", 9)}},
        {"room group control", [](const uint8_t *c) { return at_tovra_all_ctrl_msg_add_queue(4, c, 2); },
         {TOVRA_QUEUE_SCENE, 1, "AT+IHG", 3, std::string("\x03\x00\x04\x00\x04\xA8\x2A\x01\x32", 9)}},
        {"colour mode 9", [](const uint8_t *) { return at_led_color_ctrl_msg_add_queue(0x12, 9, 3); },
         {TOVRA_QUEUE_SCENE, 1, "AT+IHG", 1, std::string("\x04\x00\x12\x00\x03\x03\x86\x04", 8)}},
        {"temperature mode 1", [](const uint8_t *) { return at_led_temp_ctrl_msg_add_queue(0x12, 1, 0); },
         {TOVRA_QUEUE_SCENE, 1, "AT+IHG", 1, std::string("\x04\x00\x12\x00\x04\x00\x10\x08\x18", 9)}},
        {"a colour mode outside the table", [](const uint8_t *) { return at_led_color_ctrl_msg_add_queue(0x12, 17, 3); },
         {TOVRA_QUEUE_SCENE, 1, "AT+IHG", 1, std::string("\x04\x00\x12\x00\x01\x03", 6)}},
        {"control reset", [](const uint8_t *) { return at_ctrl_reset_msg_add_queue(0x12); },
         {TOVRA_QUEUE_RETRY, 2, "AT+CTRL", 1, std::string("\x04\x02\x12\x90", 4)}},
        {"room set above 255", [](const uint8_t *) { return at_roomset_msg_add_queue(6, 2, 0x100); },
         {TOVRA_QUEUE_RETRY, 1, "AT+CTRL", 1, std::string("\x06\x82\x01\x00\x80\x02\x06", 7)}},
        {"room set of another kind", [](const uint8_t *) { return at_other_roomset_msg_add_queue(6, 0x12); },
         {TOVRA_QUEUE_RETRY, 1, "AT+IHG", 1, std::string("\x05\x00\x12\x00\x01\x06", 6)}},
        {"single status query", [](const uint8_t *) { return at_bypass_msg_add_queue(0x145); },
         {TOVRA_QUEUE_MAIN, 1, "AT+IHG", 1, std::string("\x06\x00\x00\x00\x04\x4F\x01\x01\x45", 9)}},
        {"whole-network scene", [](const uint8_t *) { return at_bigscene_msg_add_queue(77); },
         {TOVRA_QUEUE_RETRY, 1, "AT+IHG", 1, std::string("\xFF", 1)}},
        {"cube reset", [](const uint8_t *) { return at_cube_reset_msg_queue(12345, 15, 0x12); },
         {TOVRA_QUEUE_MAIN, 2, "AT+IHG", 1, std::string("\x09\x00\x12\x00\x04\x00\x30\x39\x0F", 9)}},
        {"a device bound to a panel key, the device above 255",
         [](const uint8_t *) { return at_device_msg_bind_queue(3, 0x12, 0x1F0, 2); },
         {TOVRA_QUEUE_MAIN, 1, "AT+IHG", 1, std::string("\x09\x00\x12\x00\x04\x00\x01\xF0\x23", 9)}},
        {"scene control, three copies", [](const uint8_t *) { return at_scene_ctrl_msg_add_queue(0x20105); },
         {TOVRA_QUEUE_MAIN, 3, "AT+IHG", 1, std::string("\x0C\x00\x00\x00\x03\x02\x01\x05", 8)}},
        {"test scene", [](const uint8_t *) { return at_scene_test_ctrl_msg_add_queue(0x20105); },
         {TOVRA_QUEUE_MAIN, 1, "AT+CTRL", 1, std::string("\x04\x0B\x02\x01\x05", 5)}},
    };
    for (const auto &c : cases) {
        Fixture fx;
        ASSERT_EQ(0, c.build(ctl)) << c.name;
        built b = only_command();
        EXPECT_EQ(c.want.queue, b.queue) << c.name;
        EXPECT_EQ(c.want.copies, b.copies) << c.name;
        EXPECT_EQ(c.want.atcmd, first_atcmd()) << c.name;
        EXPECT_EQ(c.want.repeat, b.repeat) << c.name;
        EXPECT_EQ(c.want.data, b.data) << c.name;
    }
    Fixture fx;
    ASSERT_EQ(0, at_scene_ctrl_msg_add_queue(0x20105));
    EXPECT_TRUE(send_scene_id_recent(0x20105)) << "the host's own scene is remembered";
}

TEST(TovraQueue, APayloadTheLibraryRefusesDropsTheCommand) {
    Fixture fx;
    uint8_t big[64] = {};
    struct drop_case {
        const char *name;
        int rc;
    } cases[] = {
        {"control bytes that do not fit", at_ctrl_msg_add_queue(1, big, 46)},
        {"a scene id above 24 bits", at_scene_ctrl_msg_add_queue(0x1000000)},
        {"a scene bind of a 25-bit id", at_scene_msg_bind_queue(0x1000000, 1, 2, "r")},
        {"group control too long", at_tovra_all_ctrl_msg_add_queue(1, big, 44)},
    };
    for (const auto &c : cases)
        EXPECT_EQ(-1, c.rc) << c.name;
    for (int q = 0; q < TOVRA_QUEUE_NUM; q++)
        EXPECT_EQ(0, tovra_queue_count(q)) << "queue " << q;
}

TEST(TovraQueue, StatusListQueriesMarkEveryAddressInsideTheirFrame) {
    struct list_case {
        const char *name;
        std::vector<uint16_t> addrs;
        strings payloads;  // main queue, in order
    } cases[] = {
        {"three close addresses", {10, 3, 5}, {std::string("\x00\x40\x07\x00\x03\x85", 6)}},
        {"eight or more: mask 0xFF", {1, 2, 3, 4, 5, 6, 7, 8, 20},
         {std::string("\x00\x40\xFF\x00\x01\xFF\x00\x08", 8)}},
        {"addresses above 255 keep their high byte", {0x120, 0x121},
         {std::string("\x00\x40\x03\x01\x20\x03", 6)}},
        {"addresses too far apart for one bit map are split",
         {1, 400, 401},
         {std::string("\x06\x00\x00\x00\x04\x4F\x01\x00\x01", 9), std::string("\x00\x40\x03\x01\x90\x03", 6)}},
        {"the widest bit map still fits its frame", {0, 359},
         {std::string("\x00\x40\x03\x00\x00\x01", 6) + std::string(43, '\0') + "\x80"}},
    };
    for (const auto &c : cases) {
        Link l;
        ASSERT_EQ(0, at_bypass_list_msg_add_queue(c.addrs.data(), (int)c.addrs.size())) << c.name;
        l.run(3000);
        strings got;
        for (const auto &f : l.frames)
            got.push_back(f.frame.compare(0, 9, "AT+BYPASS") == 0 ? f.frame.substr(9) : f.frame.substr(7));
        EXPECT_EQ(c.payloads, got) << c.name;
    }
}

TEST(TovraTimers, WordsCountDownAndTheDailyQueriesFireWhenTheClockCrossesTheirTime) {
    Fixture fx;
    tm_100ms.Fa_Retry_Send_Time = 0x4002;
    tovra_timer_tick(0);
    EXPECT_EQ(0x4001, tm_100ms.Fa_Retry_Send_Time.load());
    tovra_timer_tick(0);
    EXPECT_EQ(0x8000, tm_100ms.Fa_Retry_Send_Time.load());
    tovra_event_timeout_handle();
    EXPECT_EQ(0, tm_100ms.Fa_Retry_Send_Time.load());

    struct clock_case {
        const char *name;
        long from, to;  // local seconds of the day, stepped 1 s at a time
        bool fires;
    } cases[] = {
        {"09:00:00 passed exactly", 9 * 3600 - 3, 9 * 3600 + 3, true},
        {"22:00:00 passed exactly", 22 * 3600 - 3, 22 * 3600 + 3, true},
        {"an hour with neither", 12 * 3600, 12 * 3600 + 5, false},
    };
    for (const auto &c : cases) {
        Fixture f2;
        const time_t day = 20000L * 86400;
        for (long s = c.from; s <= c.to; s++)
            for (int t = 0; t < 10; t++)
                tovra_timer_tick(day + s);
        for (int t = 0; t < 10; t++)
            tovra_timer_tick(day + c.to + 1);
        tovra_event_timeout_handle();
        strings calls = f2.take();
        bool fired = std::find(calls.begin(), calls.end(), "whole_query") != calls.end();
        EXPECT_EQ(c.fires, fired) << c.name;
    }
    // A clock that skips the exact second still crosses it.
    struct jump_case {
        const char *name;
        long before, after;
        bool fires;
    } jumps[] = {
        {"08:59:58 to 09:00:02", 9 * 3600 - 2, 9 * 3600 + 2, true},
        {"21:59:59 to 22:00:01", 22 * 3600 - 1, 22 * 3600 + 1, true},
        {"23:59:59 to 00:00:01", 86399, 86401, false},
        {"a clock set back over 09:00", 9 * 3600 + 60, 9 * 3600 - 60, false},
    };
    for (const auto &j : jumps) {
        Fixture f2;
        const time_t day = 20000L * 86400;
        for (int t = 0; t < 10; t++)
            tovra_timer_tick(day + j.before);
        for (int t = 0; t < 10; t++)
            tovra_timer_tick(day + j.after);
        for (int t = 0; t < 10; t++)
            tovra_timer_tick(day + j.after + 1);
        tovra_event_timeout_handle();
        strings calls = f2.take();
        bool fired = std::find(calls.begin(), calls.end(), "whole_query") != calls.end();
        EXPECT_EQ(j.fires, fired) << j.name;
    }
}

TEST(TovraTimers, ExpiredWordsRunTheirWork) {
    struct expiry_case {
        const char *name;
        utimer16 *word;
        uint16_t after;
        strings calls;
    } cases[] = {
        {"offline query, re-armed for 60 s", &tm_1s.Offline_Query_Time, 0x403C, {"offline_query"}},
        {"delayed status check, re-armed for 1 s", &tm_1s.Ctrl_Query_Time, 0x4001, {"delayed_check"}},
        {"new-device window closes", &tm_1s.Sapp_New_Device_Time, 0, {"window_close"}},
        {"body-sensor long-time report", &tm_1s.LongTime_Send_Time, 0, {"longtime"}},
        {"whole-device query", &tm_1s.Scene_Query_Time, 0, {"whole_query"}},
        {"a query wait ends", &tm_100ms.Query_Wait_Time, 0, {}},
    };
    for (const auto &c : cases) {
        Fixture fx;
        tm_1s.Offline_Query_Time = 0;
        *c.word = 0x8000;
        tovra_event_timeout_handle();
        EXPECT_EQ(c.after, c.word->load()) << c.name;
        EXPECT_EQ(c.calls, fx.take()) << c.name;
    }
}

TEST(TovraQueue, SeveralThreadsFillOneQueueWithoutLosingACommand) {
    Fixture fx;
    constexpr int kThreads = 4, kEach = TOVRA_QUEUE_SIZE / kThreads;
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; t++)
        producers.emplace_back([t] {
            tovra_msg_t m;
            memset(&m, 0, sizeof m);
            strcpy(m.atcmd, "AT+CTRL");
            for (int i = 0; i < kEach; i++) {
                m.addr = (uint16_t)(t * kEach + i);
                tovra_msg_queue_add(&m);
            }
        });
    for (auto &p : producers)
        p.join();
    ASSERT_EQ(TOVRA_QUEUE_SIZE, tovra_queue_count(TOVRA_QUEUE_MAIN));
    // Drain it by hand: every address comes out once.
    std::vector<int> seen(TOVRA_QUEUE_SIZE, 0);
    tovra_msg_t m;
    while (tovra_queue_inflight(TOVRA_QUEUE_MAIN, &m)) {
        seen[m.addr]++;
        tovra_queue_complete_main("AT+CTRL", true);
        tovra_msg_queue_check();
    }
    EXPECT_EQ(std::vector<int>(TOVRA_QUEUE_SIZE, 1), seen);
}
