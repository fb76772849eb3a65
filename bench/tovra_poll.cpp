// Status polling of a full lighting network, against the daemon as it runs:
// this build's orvi_hc on a virtual board with simmodule playing the module
// and 200 lights on the board's "/dev/ttyS5". The 200 lights are in the
// home (pushed by the app) and the lighting table has them all offline, as
// after the module was swapped; one "tovra/check" for the whole network then
// asks each of them once, in lists of eight, until every light answered.
//   WholeCycle/200  from the first status query the host writes until every
//                   light is online again in the lighting table (manual
//                   time), with:
//                   queries       status-query frames the host wrote,
//                   reports       status frames the lights sent back,
//                   pacing_limit_s the pacing the host keeps by design: 25
//                                 lists of eight, each but the last followed
//                                 by its answer wait of 0.5 s + 255 x 15 /
//                                 100 ticks (4.3 s),
//                   host_cpu_pct  the daemon's CPU time over the cycle's
//                                 wall time, all its threads,
//                   host_rss_kb   the daemon's resident set, the most seen
//                                 during the cycle (sampled every 200 ms).
// One iteration: the whole-network query runs at most once per 300 s.
// Needs root and bubblewrap, as the scenario tests.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <dirent.h>
#include <unistd.h>

#include "board.h"

namespace {

using clk = std::chrono::steady_clock;
const std::string kBin = "/opt/vboard/bin/";
const std::string kOrvictl = ORVI_BINARY_DIR "/bin/orvictl";
const char kHome[] = "BENCHPOLL0000A01";
const char kKey[] = "benchpollkey0001";
constexpr int kLights = 200;

std::string trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}

template <class Pred>
bool eventually(Pred p, std::chrono::seconds limit) {
    const auto until = clk::now() + limit;
    while (clk::now() < until) {
        if (p()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return p();
}

std::string hex_of(const std::string &s) {
    std::string h;
    char b[3];
    for (unsigned char c : s) {
        snprintf(b, sizeof b, "%02x", c);
        h += b;
    }
    return h;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

long parent_of(long pid) {
    const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) return -1;
    std::istringstream in(stat.substr(paren + 2));
    std::string state;
    long ppid = -1;
    in >> state >> ppid;
    return ppid;
}

// The host-side pid of the board's daemon: the "orvi_hc" below the board's init.
std::string daemon_pid(pid_t init) {
    if (init <= 0) return "";
    DIR *d = opendir("/proc");
    if (!d) return "";
    std::string found;
    while (struct dirent *e = readdir(d)) {
        const long pid = strtol(e->d_name, nullptr, 10);
        if (pid <= 0 || trim(slurp("/proc/" + std::to_string(pid) + "/comm")) != "orvi_hc") continue;
        for (long p = parent_of(pid), hops = 0; p > 1 && hops < 16; p = parent_of(p), ++hops)
            if (p == init) found = std::to_string(pid);
    }
    closedir(d);
    return found;
}

class PollBoard {
  public:
    bool up(std::string &why) {
        if (!board_.provision(kHome, kKey, "5a5a0001")) return fail(why, "provision");
        std::ostringstream devices, app;
        app << "[";
        for (int a = 1; a <= kLights; ++a) {
            char mac[13];
            snprintf(mac, sizeof mac, "02c10000%04x", a);
            devices << a << " " << mac << " 70314 room=1 status=60800000000000\n";
            app << (a > 1 ? "," : "") << R"({"mac":")" << mac << R"(","macId":)" << a << R"(,"name":"l)" << a
                << R"(","roomId":5001,"mid":"70314","hid":"t","key":"tovradevkey00001","ver":"1","vender":"1"})";
        }
        app << "]";
        board_.write("/vboard/lights.devices", devices.str());
        if (!board_.start()) return fail(why, "board start");
        if (board_
                .exec({"sh", "-c", "setsid \"$@\" > /vboard/simmodule.out 2>&1 < /dev/null &", "sh",
                       kBin + "simmodule", "--devices", "/vboard/lights.devices", "--log",
                       "/vboard/simmodule.frames"})
                .status != 0)
            return fail(why, "simmodule");
        if (!eventually(
                [&] {
                    return board_.logs().find("[TOVRA]13 lighting topics subscribed") != std::string::npos;
                },
                std::chrono::seconds(60)))
            return fail(why, "the lighting service did not subscribe");
        const std::string rooms = board_.dir() + "/rooms.json", devs = board_.dir() + "/devs.json";
        std::ofstream(rooms) << R"([{"id":5001,"sId":1,"name":"Living"}])";
        std::ofstream(devs) << app.str();
        Board::Result r =
            board_.lan({kOrvictl, "app", "--push-roomlist", rooms, "--push-devlist", devs, "--page", "20",
                        "--json", "--wait", "60000", "--i", "0", "--key", kKey});
        if (r.status != 0) return fail(why, "device push: " + r.out);
        if (!eventually([&] { return sql("SELECT count(*) FROM fa_table;") == std::to_string(kLights); },
                        std::chrono::seconds(120)))
            return fail(why, "the lighting table did not fill");
        pid_ = daemon_pid(board_.init_pid());
        if (pid_.empty()) return fail(why, "no daemon pid");
        return true;
    }

    std::string sql(const std::string &q) const {
        // The daemon writes the table as the lights answer: wait for its lock.
        Board::Result r = board_.exec({"sqlite3", "-cmd", ".timeout 5000", "/data/domivault/data/tovra_info.db", q});
        return r.status == 0 ? trim(r.out) : "";
    }
    // The daemon's CPU ticks (user + system, all threads) and resident kB,
    // read from this side of the board's PID namespace.
    bool usage(long &ticks, long &rss_kb) const {
        const std::string stat = slurp("/proc/" + pid_ + "/stat");
        const size_t paren = stat.rfind(')');
        if (paren == std::string::npos) return false;
        std::istringstream in(stat.substr(paren + 2));
        std::string f;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && in >> f; ++i) {
            if (i == 14) utime = std::stol(f);
            if (i == 15) stime = std::stol(f);
        }
        ticks = utime + stime;
        const std::string status = slurp("/proc/" + pid_ + "/status");
        const size_t at = status.find("VmRSS:");
        rss_kb = at == std::string::npos ? 0 : std::stol(status.substr(at + 6));
        return true;
    }
    // Host frames (direction "in") whose bytes begin with `prefix`, and all
    // device frames ("out") beginning with `out_prefix`, from line `from` on.
    void frames(size_t from, const std::string &prefix, const std::string &out_prefix, long &in_n,
                long &out_n, double &first_t) const {
        std::istringstream in(board_.read("/vboard/simmodule.frames"));
        std::string line;
        in_n = out_n = 0;
        first_t = -1;
        for (size_t i = 0; std::getline(in, line); ++i) {
            if (i < from) continue;
            std::istringstream w(line);
            double t;
            std::string dir, len, hex;
            if (!(w >> t >> dir >> len >> hex)) continue;
            if (dir == "in" && hex.compare(0, prefix.size(), prefix) == 0) {
                if (first_t < 0) first_t = t;
                ++in_n;
            }
            if (dir == "out" && hex.compare(0, out_prefix.size(), out_prefix) == 0) ++out_n;
        }
    }
    size_t frame_lines() const {
        std::istringstream in(board_.read("/vboard/simmodule.frames"));
        size_t n = 0;
        for (std::string l; std::getline(in, l);)
            ++n;
        return n;
    }
    Board &board() { return board_; }

  private:
    static bool fail(std::string &why, const std::string &what) {
        why = what;
        return false;
    }
    Board board_;
    std::string pid_;
};

void BM_WholeCycle(benchmark::State &state) {
    PollBoard b;
    std::string why;
    if (!b.up(why)) return state.SkipWithError(("no board: " + why).c_str());
    for (auto _ : state) {
        if (b.sql("UPDATE fa_table SET ONLINE=0; SELECT count(*) FROM fa_table WHERE ONLINE=0;") !=
            std::to_string(kLights))
            return state.SkipWithError("the lighting table could not be marked offline");
        const size_t from = b.frame_lines();
        long t0 = 0, t1 = 0, rss = 0, rss_max = 0;
        b.usage(t0, rss);
        const auto start = clk::now();
        if (b.board().exec({kBin + "simsvc", "emit", "event", "tovra/check", R"({"sub":"0"})"}).status != 0)
            return state.SkipWithError("tovra/check not sent");
        const bool done = eventually(
            [&] {
                long ticks = 0, kb = 0;
                if (b.usage(ticks, kb) && kb > rss_max) rss_max = kb;
                return b.sql("SELECT count(*) FROM fa_table WHERE ONLINE=1;") == std::to_string(kLights);
            },
            std::chrono::seconds(400));
        const double wall = std::chrono::duration<double>(clk::now() - start).count();
        b.usage(t1, rss);
        if (!done) {
            const std::string keep = "/tmp/bench_tovra_poll.daemon.log";
            std::ofstream(keep) << b.board().logs();
            fprintf(stderr, "offline left: %s; the daemon's log: %s\n",
                    b.sql("SELECT group_concat(ADDR) FROM fa_table WHERE ONLINE=0;").c_str(), keep.c_str());
            return state.SkipWithError("the lights were not all online again within 400 s");
        }
        long queries = 0, reports = 0, list_queries = 0, dummy = 0;
        double first = 0, unused = 0;
        b.frames(from, hex_of("AT+BYPASS"), hex_of("AT+MDATA"), list_queries, reports, first);
        b.frames(from, hex_of("AT+IHG") + "0906", "-", queries, dummy, unused);  // single-device queries
        queries += list_queries;
        // From the emit: the host's first query comes within its 10 ms pass.
        state.SetIterationTime(wall);
        state.counters["queries"] = static_cast<double>(queries);
        state.counters["reports"] = static_cast<double>(reports);
        // 25 lists of eight, each but the last followed by its answer wait.
        state.counters["pacing_limit_s"] = (kLights / 8 - 1) * (5 + 255 * 15 / 100) / 10.0;
        state.counters["host_cpu_pct"] = 100.0 * static_cast<double>(t1 - t0) / sysconf(_SC_CLK_TCK) / wall;
        state.counters["host_rss_kb"] = static_cast<double>(rss_max);
    }
}
BENCHMARK(BM_WholeCycle)->Arg(kLights)->UseManualTime()->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
