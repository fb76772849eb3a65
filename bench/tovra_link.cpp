// The lighting module link's sender, in process: the daemon's own queue,
// builders, frame writer and timer words, with a datagram socket pair in
// place of the UART so every write arrives as one frame with its time.
//   Paced        the daemon as it runs: a 100 ms tick thread, a check thread
//                and a handle thread passing every 10 ms, as start-up makes
//                them; control commands (two copies each) on the main queue.
//                frames/s against the main queue's pacing limit (one frame
//                per 200 ms pause: 5/s) and the UART's limit at 38,400 baud
//                (10 bits a byte) for the same frames.
//   Ceiling      the same frames with the pause removed (the pause word
//                cleared after every write): the software's own ceiling.
//                Reported beside the paced figure, never instead of it.
//   CommandToFirstFrame  a room group command handed to the lighting
//                service (the call the request task makes) until its first
//                frame is written, with the threads as above: p50 and p99.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "orvi_log.h"
#include "orvi_port.h"
#include "tovra_ctrl.h"
#include "tovra_queue.h"
#include "tovra_uart.h"

namespace {

using clk = std::chrono::steady_clock;
constexpr double kBaud = 38400;
const uint8_t kCtl[] = {0x60, 0x80, 0, 0, 0, 0xFF, 0xFF};

struct Line {
    int host = -1, module = -1;
    Line() {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, sv) == 0) {
            host = sv[0];
            module = sv[1];
            // Room for every frame of a run: the reader drains as it goes.
            int big = 4 << 20;
            setsockopt(host, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
            setsockopt(module, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
        }
        tovra_uart_fd = host;
    }
    ~Line() {
        tovra_uart_fd = -1;
        close(host);
        close(module);
    }
    // Frames waiting, their total bytes added to `bytes`.
    int drain(size_t *bytes = nullptr) const {
        char b[256];
        int n = 0;
        ssize_t r;
        while ((r = recv(module, b, sizeof b, 0)) > 0) {
            ++n;
            if (bytes) *bytes += static_cast<size_t>(r);
        }
        return n;
    }
};

// The daemon's three pacing threads for the link: the 100 ms tick, the
// 10 ms timeout check and the 10 ms sender pass.
class Threads {
  public:
    Threads() {
        run_ = true;
        tick_ = std::thread([this] {
            auto next = clk::now();
            while (run_) {
                next += std::chrono::milliseconds(100);
                std::this_thread::sleep_until(next);
                tovra_timer_cb();
            }
        });
        check_ = std::thread([this] {
            while (run_) {
                tovra_event_timeout_handle();
                orvi_port_sleep_ms(10);
            }
        });
        handle_ = std::thread([this] {
            while (run_) {
                tovra_msg_queue_check();
                orvi_port_sleep_ms(10);
            }
        });
    }
    ~Threads() {
        run_ = false;
        tick_.join();
        check_.join();
        handle_.join();
    }

  private:
    std::atomic<bool> run_{false};
    std::thread tick_, check_, handle_;
};

void quiet() {
    orvi_log_level_set(ORVI_LOG_ERROR);
    tovra_debug = TOVRA_DEBUG_ERROR;
    tovra_queue_reset();
}

void BM_Paced(benchmark::State &state) {
    quiet();
    const int commands = static_cast<int>(state.range(0));
    size_t bytes = 0;
    int frames = 0;
    double secs = 0;
    for (auto _ : state) {
        Line line;
        Threads threads;
        const auto t0 = clk::now();
        for (int i = 0; i < commands; ++i)
            at_ctrl_msg_add_queue(static_cast<uint16_t>(0x10 + i % 200), kCtl, sizeof kCtl);
        while (frames < 2 * commands) {
            frames += line.drain(&bytes);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        secs += std::chrono::duration<double>(clk::now() - t0).count();
    }
    const double per_frame = static_cast<double>(bytes) / frames;
    state.counters["frames/s"] = frames / secs;
    state.counters["pacing_limit_frames/s"] = 1000.0 / 200;
    state.counters["uart_limit_frames/s"] = kBaud / 10 / per_frame;
    state.counters["frame_bytes"] = per_frame;
}
BENCHMARK(BM_Paced)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_Ceiling(benchmark::State &state) {
    quiet();
    const int commands = static_cast<int>(state.range(0));
    size_t bytes = 0;
    long frames = 0;
    Line line;
    for (auto _ : state) {
        for (int i = 0; i < commands; ++i)
            at_ctrl_msg_add_queue(static_cast<uint16_t>(0x10 + i % 200), kCtl, sizeof kCtl);
        int got = 0;
        while (got < 2 * commands) {
            tovra_msg_queue_check();
            tm_100ms.Msg_Send_Time = 0;  // the pause removed
            got += line.drain(&bytes);
        }
        frames += got;
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["uart_limit_frames/s"] = kBaud / 10 / (static_cast<double>(bytes) / frames);
}
BENCHMARK(BM_Ceiling)->Arg(500)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CommandToFirstFrame(benchmark::State &state) {
    quiet();
    std::vector<double> ms;
    for (auto _ : state) {
        Line line;
        Threads threads;
        for (int i = 0; i < state.range(0); ++i) {
            // The scene queue's 1 s pause after a group command's last write
            // runs out before the next command: each one waits only for the
            // sender's next pass.
            while (tovra_queue_count(TOVRA_QUEUE_SCENE) != 0 || tm_100ms.Fa_Scene_Send_Time.load() != 0) {
                line.drain();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            line.drain();
            const auto t0 = clk::now();
            tovra_room_group_ctrl(1, 1, 8, 0, 0, 0);
            while (line.drain() == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            ms.push_back(std::chrono::duration<double, std::milli>(clk::now() - t0).count());
        }
    }
    std::sort(ms.begin(), ms.end());
    state.counters["p50_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
    state.counters["commands"] = static_cast<double>(ms.size());
}
BENCHMARK(BM_CommandToFirstFrame)->Arg(10)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
