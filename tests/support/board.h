// Scenario tests drive the unchanged daemon on a virtual board (the vboard
// tool) and look at it from outside: its log, the commands its board tools
// recorded, the files under the board's folders, commands run inside.
// One Board per test; not thread-safe.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

class Board {
  public:
    struct Result {
        int status = -1;  // exit status, 128+signal when killed, -1 when it could not run
        std::string out;  // standard output
    };

    // A fresh board directory under /tmp. `daemon` replaces orvi_hc by another
    // program (tests of the board itself); empty runs the daemon of this build.
    explicit Board(std::string daemon = "");
    // Stops the board; removes its directory unless the test failed.
    ~Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    // From the next start on, the daemon's clocks and timers run `n` times
    // faster (1: real time). Tests use it to see minutes of timers in seconds.
    void set_speed(int n) { speed_ = n; }
    // Boots the board; true once the daemon runs and wrote its first line
    // and, for the build's daemon, once it serves its LAN ports (UDP 5000,
    // TCP 1813). A stand-in daemon serves nothing; its first line is enough.
    bool start();
    bool stop();
    // Stop and start again on the same flash (the board's folders stay).
    bool restart();
    // Stores a home MAC and key on the flash of a board that is down, as the
    // app's provisioning leaves them (`vboard provision`).
    bool provision(const std::string &home_mac, const std::string &home_key, const std::string &qnet_key = "");

    // Runs argv inside the board (board PATH, cwd /), optionally feeding stdin.
    Result exec(const std::vector<std::string> &argv, const std::string &input = "") const;
    Result sh(const std::string &script) const { return exec({"sh", "-c", script}); }
    // Runs argv in the board's LAN (simulated devices, the app): the host's
    // files and the test's working folder, the LAN's network.
    Result lan(const std::vector<std::string> &argv, const std::string &input = "") const;

    // The daemon's output of this boot so far.
    std::string logs() const;
    bool wait_for_log(const std::string &needle,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool wait_for_log(const std::regex &re,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // Command lines the board-tool stand-ins recorded, one per run.
    std::vector<std::string> commands() const;
    void clear_commands() const;
    // True when a recorded line equals `line` or starts with it and a blank.
    bool ran(const std::string &line) const;
    // The same, waiting for it: a stand-in records its line only once it runs,
    // which may be after the daemon logged what it was about to do.
    bool wait_ran(const std::string &line, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // Host path of a board path ("/data/domivault/x", "/tmp/y", "/sys/...").
    std::string host_path(const std::string &board_path) const;
    std::string read(const std::string &board_path) const;
    void write(const std::string &board_path, const std::string &text) const;
    // Scripts a stand-in (state files such as "ping" = "fail").
    void set_state(const std::string &name, const std::string &text) const;

    const std::string &dir() const { return dir_; }
    // Host pid of the board's init, -1 when the board is down.
    pid_t init_pid() const;

  private:
    Result vboard(const std::vector<std::string> &args, const std::string &input = "") const;
    std::string dir_;
    std::string daemon_;
    int speed_ = 1;
};

// Bytes as lower-case hex, the way the board's simulated peers log frames
// (simmodule's frame log, simphone's packets).
inline std::string hex_of(const std::string &s) {
    static const char d[] = "0123456789abcdef";
    std::string h;
    for (unsigned char c : s) {
        h += d[c >> 4];
        h += d[c & 15];
    }
    return h;
}
