// The BLE host's one cross-thread entry: stop() from another thread while
// the loop runs its timers, before the loop starts and after it ended.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "orvi_bt_host.h"

namespace {

struct Ticker {
    orvi_bt_timer timer;
    OrviBtHost *host = nullptr;
    std::atomic<bool> *ticked = nullptr;
};

void tick(orvi_bt_timer *t) {
    auto *k = static_cast<Ticker *>(t->ctx);
    k->ticked->store(true);
    k->host->timer_start(t, 0);  // as busy as a loop gets
}

class NullListener : public OrviBtHostListener {
  public:
    void on_state(orvi_bt_host_state) override {}
    void on_command_complete(uint16_t, const uint8_t *, size_t) override {}
    void on_connected(uint16_t) override {}
    void on_disconnected(uint16_t, uint8_t) override {}
    void on_mtu(uint16_t, uint16_t) override {}
    size_t on_read(uint16_t, uint16_t, uint16_t, uint8_t *, size_t, uint8_t *) override { return 0; }
    uint8_t on_write(uint16_t, uint16_t, orvi_att_write_mode, uint16_t, const uint8_t *, size_t) override {
        return 0;
    }
};

TEST(BtHostStop, EndsTheLoopFromAnotherThread) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    grantpt(master);
    unlockpt(master);
    std::string dev = ptsname(master);
    NullListener listener;
    for (int round = 0; round < 20; round++) {
        SCOPED_TRACE(round);
        auto host = orvi_bt_host_h4_create();
        std::atomic<bool> ticked{false};
        Ticker k;
        k.host = host.get();
        k.ticked = &ticked;
        k.timer.fn = tick;
        k.timer.ctx = &k;
        std::promise<void> ended;
        auto done = ended.get_future();
        std::thread loop([&] {
            orvi_bt_uart_config cfg{dev.c_str(), 1500000, true};
            if (host->open(cfg, &listener) == 0) {
                host->timer_start(&k.timer, 0);
                host->run();
            }
            ended.set_value();
        });
        // Half the rounds stop a loop that is turning, half one that may not have started.
        if (round % 2) {
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!ticked.load() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
            EXPECT_TRUE(ticked.load());
        }
        std::thread stopper([&] { host->stop(); });
        stopper.join();
        EXPECT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        loop.join();
    }
    ::close(master);
}

}  // namespace
