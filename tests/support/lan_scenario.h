// Shared pieces of the scenario tests that play the board's LAN: the build's
// LAN programs, polling helpers, and a fixture owning one board and the LAN
// programs a test started in the background (joined when the board stops).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board.h"

namespace lan_scenario {

inline const std::string kSimdev = ORVI_BINARY_DIR "/bin/simdev";
inline const std::string kOrvictl = ORVI_BINARY_DIR "/bin/orvictl";

inline std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Polls `pred` every 100 ms; false when it still fails after `timeout`.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds timeout) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

inline bool wait_for_file(const std::string &path, const std::regex &re, std::chrono::milliseconds timeout) {
    return eventually([&] { return std::regex_search(slurp(path), re); }, timeout);
}

// The key's pairing press, as the key service reports it on the board's
// broker. The daemon subscribes to the key's topic a moment after it serves
// the LAN: pressed again until the host says it is in pairing.
inline bool press_pairing_key(Board &b) {
    for (int i = 0; i < 20; ++i) {
        Board::Result r = b.exec({"/opt/vboard/bin/simsvc", "emit", "pairs", "/key", "key=matching"});
        if (r.status != 0) return false;
        if (b.wait_for_log(std::regex("host match status change to [23]"), std::chrono::seconds(3))) return true;
    }
    return false;
}

// `s` as a regular expression that matches it literally.
inline std::string esc(const std::string &s) {
    return std::regex_replace(s, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

class LanBoardTest : public ::testing::Test {
  protected:
    // Boots the board (at `speed`, provisioned with a home when `home_mac`
    // is given); returns once the daemon listens on UDP 5000 and TCP 1813.
    void boot(int speed = 1, const std::string &home_mac = "", const std::string &home_key = "") {
        board_.set_speed(speed);
        if (!home_mac.empty()) {
            ASSERT_TRUE(board_.provision(home_mac, home_key));
        }
        ASSERT_TRUE(board_.start());
    }
    void TearDown() override {
        board_.stop();  // ends whatever still runs in the LAN
        for (auto &t : background_)
            t.join();
    }
    // Runs argv in the LAN without waiting for it.
    void in_background(std::vector<std::string> argv) {
        background_.emplace_back([this, argv] { board_.lan(argv); });
    }
    // `orvictl app ARGS` in the LAN.
    Board::Result app(std::vector<std::string> args, const std::string &input = "") {
        args.insert(args.begin(), {kOrvictl, "app"});
        return board_.lan(args, input);
    }
    std::string simdev_log() const { return board_.dir() + "/simdev.log"; }

    Board board_;
    std::vector<std::thread> background_;
};

}  // namespace lan_scenario
