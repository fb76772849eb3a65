// BLE provisioning as a phone sees it, against the daemon as it runs: this
// build's orvi_hc on a virtual board, with its own timers and pacing, and
// simphone as the Bluetooth controller and the phone on the board's
// "/dev/ttyS7" pseudo-terminal. The figures come from simphone's log, whose
// lines carry millisecond time stamps:
//   BindToBlekey   from the phone's first ATT write of "bind" to the last
//                  notification of the "blekey" reply;
//   LongReply/185  the longest reply of the exchange ("homeBindOk", cut into
//                  CP chunks): its envelope bytes (B/s) and the notification
//                  bytes that carried it (wire_B/s) over the time from the
//                  request's last write to the reply's last notification;
//   LongReply/23   the same at the smallest MTU. A notification then holds
//                  20 bytes, which no chunk packet fits, and every reply of
//                  the exchange needs chunks: the host drops the reply to
//                  "bind" (with its log line) and nothing arrives. Reported
//                  as 0 B/s with the drop counted, not as a rate.
// Beside each rate, the ceilings: the host sends one notification per 500 ms
// send tick, of at most MTU-3 bytes (tick_ceiling_B/s) and, for a reply cut
// into chunks, carrying 50 characters of it (chunk_ceiling_B/s); the UART at
// the controller's 1,500,000 baud carries a byte per 10 bits
// (link_ceiling_B/s). At MTU 23 the time is only how long the phone waited. The pseudo-terminal that stands for the
// UART does not pace to its baud rate, so what is measured is the host's own
// pacing over a link at least as fast as the real one.
//
// Needs root and bubblewrap, as the scenario tests; one board for the run.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "orvi_ble_cp.h"
#include "orvi_ble_prov.h"
#include "orvi_port.h"

namespace {

const std::string kVboard = ORVI_BINARY_DIR "/bin/vboard";
const std::string kBin = "/opt/vboard/bin/";
const std::string kPhoneLog = "/vboard/bench_phone.log";  // inside the board
constexpr double kBaud = 1500000;
const std::vector<std::string> kJoin = {"--home-id", "4321", "--home-mac", "HOMEBLE000000001",
                                        "--home-key", "blehomekey000001"};

struct Run {
    int status = -1;
    std::string out;
};

Run run(const std::vector<std::string> &argv) {
    Run r;
    orvi_run_opts o;
    o.out = &r.out;
    o.timeout_ms = 180000;
    r.status = orvi_port_run_argv(argv, o);
    return r;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// One line of simphone's log: its time stamp (ms of the day) and the rest.
struct Line {
    long ms;
    std::string text;
};

std::vector<Line> lines_of(const std::string &log) {
    std::vector<Line> out;
    std::istringstream in(log);
    for (std::string l; std::getline(in, l);) {
        int h, m, s, ms3, n = 0;
        if (sscanf(l.c_str(), "%2d:%2d:%2d.%3d %n", &h, &m, &s, &ms3, &n) != 4 || n != 13) continue;
        long ms = ((h * 60L + m) * 60 + s) * 1000 + ms3;
        // A run that crosses midnight keeps counting.
        if (!out.empty() && ms < out.back().ms - 12 * 3600 * 1000L) ms += 24 * 3600 * 1000L;
        out.push_back({ms, l.substr(13)});
    }
    return out;
}

bool starts(const std::string &s, const char *p) {
    return s.compare(0, std::char_traits<char>::length(p), p) == 0;
}

// The daemon on a board of its own, in pairing: each phone that leaves
// makes it advertise again for the next.
class BleBoard {
  public:
    ~BleBoard() {
        if (dir_.empty()) return;
        run({kVboard, "stop", dir_});
        run({"rm", "-rf", dir_});
    }

    bool start() {
        char tmpl[] = "/tmp/orvi-bench-ble-XXXXXX";
        if (!mkdtemp(tmpl)) return false;
        dir_ = tmpl;
        if (run({kVboard, "start", dir_}).status != 0) return false;
        // The daemon takes the key's pairing press once it has subscribed to
        // the key's topic: pressed again until it asks for advertising.
        for (int i = 0; i < 20; ++i) {
            run({kVboard, "exec", dir_, "--", kBin + "simsvc", "emit", "pairs", "/key", "key=matching"});
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            while (std::chrono::steady_clock::now() < until) {
                if (daemon_log().find("bluetooth change to BT_TOADV") != std::string::npos) {
                    // The controller's set-up runs with the first phone; it
                    // is no part of any figure.
                    return phone({"--steps", "bind"}).status == 0;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        return false;
    }

    // One phone; its log (alone) is then in phone_log().
    Run phone(std::vector<std::string> args) {
        std::ofstream(dir_ + kPhoneLog, std::ios::trunc);
        std::vector<std::string> argv = {kVboard, "exec", dir_, "--", "timeout", "-s", "KILL", "150", kBin + "simphone",
                                         "--log", kPhoneLog, "--timeout", "120"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv);
    }

    std::string phone_log() const { return slurp(dir_ + kPhoneLog); }
    std::string daemon_log() const { return slurp(dir_ + "/vboard/daemon.log"); }

  private:
    std::string dir_;
};

BleBoard *the_board() {
    static std::unique_ptr<BleBoard> b = [] {
        auto p = std::make_unique<BleBoard>();
        if (!p->start()) {
            fprintf(stderr, "ble_provisioning: no board in pairing (root and bubblewrap needed)\n");
            return std::unique_ptr<BleBoard>();
        }
        return p;
    }();
    return b.get();
}

// Index of the first line at or after `from` that starts with `prefix`, or -1.
long find_line(const std::vector<Line> &ls, size_t from, const char *prefix) {
    for (size_t i = from; i < ls.size(); ++i)
        if (starts(ls[i].text, prefix)) return static_cast<long>(i);
    return -1;
}

void BM_BindToBlekey(benchmark::State &state) {
    BleBoard *b = the_board();
    if (!b) return state.SkipWithError("no board");
    for (auto _ : state) {
        Run r = b->phone({"--steps", "bind"});
        const std::vector<Line> ls = lines_of(b->phone_log());
        const long req = find_line(ls, 0, "request bind (");
        const long write = req < 0 ? -1 : find_line(ls, static_cast<size_t>(req), "> ATT");
        const long reply = write < 0 ? -1 : find_line(ls, static_cast<size_t>(write), "reply {\"t\":\"blekey\"");
        if (r.status != 0 || reply < 0) {
            state.SkipWithError(("the phone got no blekey:\n" + r.out).c_str());
            break;
        }
        state.SetIterationTime((ls[static_cast<size_t>(reply)].ms - ls[static_cast<size_t>(write)].ms) / 1000.0);
    }
}
BENCHMARK(BM_BindToBlekey)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_LongReply(benchmark::State &state) {
    BleBoard *b = the_board();
    if (!b) return state.SkipWithError("no board");
    const int mtu = static_cast<int>(state.range(0));
    const double per_notification = mtu - 3;
    double bytes = 0, wire = 0, secs = 0, notifications = 0, dropped = 0;
    for (auto _ : state) {
        std::vector<std::string> args = {"--mtu", std::to_string(mtu), "--steps", "bind,homeBind"};
        args.insert(args.end(), kJoin.begin(), kJoin.end());
        if (mtu <= 23) {
            // Nothing can come back: the phone gives up after a while, and the
            // host's log says what became of the reply.
            args.insert(args.end(), {"--timeout", "8"});
            const auto drops = [&] {
                const std::string log = b->daemon_log();
                size_t n = 0;
                for (size_t at = 0; (at = log.find("cannot be cut for a payload of 20 bytes", at)) != std::string::npos;
                     ++at)
                    ++n;
                return n;
            };
            const size_t before = drops();
            const auto t0 = std::chrono::steady_clock::now();
            Run r = b->phone(args);
            const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            if (r.status == 0 || drops() <= before) {
                state.SkipWithError(("expected the reply dropped:\n" + r.out).c_str());
                break;
            }
            dropped += 1;
            state.SetIterationTime(waited);
            continue;
        }
        Run r = b->phone(args);
        const std::vector<Line> ls = lines_of(b->phone_log());
        const long req = find_line(ls, 0, "request homeBind (");
        const long reply = req < 0 ? -1 : find_line(ls, static_cast<size_t>(req), "reply {\"t\":\"homeBindOk\"");
        long last_write = -1;
        double carried = 0;  // notification values after it
        for (long i = req; i >= 0 && i < reply; ++i) {
            const std::string &t = ls[static_cast<size_t>(i)].text;
            unsigned len = 0;
            char op[3] = {0};
            if (starts(t, "> ATT")) last_write = i, carried = 0;
            else if (sscanf(t.c_str(), "< ATT %u: %2s", &len, op) == 2 && std::string(op) == "1b" && len >= 3)
                carried += len - 3;  // a notification's value
        }
        unsigned reply_bytes = 0, reply_parts = 0;
        const std::string &rt = reply < 0 ? std::string() : ls[static_cast<size_t>(reply)].text;
        const size_t sz = rt.rfind(" (");
        if (r.status != 0 || reply < 0 || last_write < 0 || sz == std::string::npos ||
            sscanf(rt.c_str() + sz, " (%u bytes in %u notifications", &reply_bytes, &reply_parts) != 2) {
            state.SkipWithError(("the phone got no homeBindOk:\n" + r.out).c_str());
            break;
        }
        const double s = (ls[static_cast<size_t>(reply)].ms - ls[static_cast<size_t>(last_write)].ms) / 1000.0;
        bytes += reply_bytes;
        wire += carried;
        notifications += reply_parts;
        secs += s;
        state.SetIterationTime(s);
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["reply_B"] = bytes / n;
    state.counters["notifications"] = notifications / n;
    state.counters["B/s"] = secs > 0 ? bytes / secs : 0;
    state.counters["wire_B/s"] = secs > 0 ? wire / secs : 0;
    state.counters["dropped"] = dropped / n;
    state.counters["tick_ceiling_B/s"] = per_notification * 1000.0 / ORVI_BLE_SEND_PERIOD_MS;
    state.counters["chunk_ceiling_B/s"] = static_cast<double>(ORVI_BLE_CP_CHUNK) * 1000.0 / ORVI_BLE_SEND_PERIOD_MS;
    state.counters["link_ceiling_B/s"] = kBaud / 10;
}
BENCHMARK(BM_LongReply)->Arg(185)->Arg(23)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
