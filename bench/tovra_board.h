// The lighting benchmarks' board: this build's orvi_hc on a virtual board
// with simmodule playing the module and `n` lights (addresses 1..n, MAC
// 02c10000 and the address in four hex digits, model 70314, off) on the
// board's "/dev/ttyS5", pushed into the home by the app, and the readers of
// its frame log, lighting table and the daemon's CPU and memory. Needs root
// and bubblewrap, as the scenario tests.
#pragma once

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <dirent.h>
#include <unistd.h>

#include "board.h"

namespace tovra_bench {


using clk = std::chrono::steady_clock;
const std::string kBin = "/opt/vboard/bin/";
const std::string kOrvictl = ORVI_BINARY_DIR "/bin/orvictl";
const char kHome[] = "BENCHPOLL0000A01";
const char kKey[] = "benchpollkey0001";

inline std::string trim(std::string s) {
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

inline std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline long parent_of(long pid) {
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
inline std::string daemon_pid(pid_t init) {
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

class LightBoard {
  public:
    explicit LightBoard(int n) : n_(n) {}
    bool up(std::string &why) {
        if (!board_.provision(kHome, kKey, "5a5a0001")) return fail(why, "provision");
        std::ostringstream devices, app;
        app << "[";
        for (int a = 1; a <= n_; ++a) {
            char mac[24];
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
        if (!eventually([&] { return sql("SELECT count(*) FROM fa_table;") == std::to_string(n_); },
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
    struct frame {
        double t;
        std::string dir, hex;
    };
    // The frame log from line `from` on.
    std::vector<frame> frames_from(size_t from) const {
        std::vector<frame> v;
        std::istringstream in(board_.read("/vboard/simmodule.frames"));
        std::string line;
        for (size_t i = 0; std::getline(in, line); ++i) {
            if (i < from) continue;
            std::istringstream w(line);
            frame f;
            std::string len;
            if (w >> f.t >> f.dir >> len >> f.hex) v.push_back(f);
        }
        return v;
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
    int n_;
    Board board_;
    std::string pid_;
};

}  // namespace tovra_bench
