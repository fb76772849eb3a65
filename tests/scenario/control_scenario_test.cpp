// Commands to LAN devices on the virtual board, seen from outside: simulated
// devices (simdev) that never answer, answer late or whose model's codec
// fails, commanded by the app (orvictl app) through the unchanged daemon.
// The devices' packet log shows what reached them, the daemon's log what it
// made of it. The daemon's clocks run kSpeed times faster, so its 2 s retry
// pacing takes a fraction of that in real time; the devices run in real time,
// and every time the tests wait or measure is daemon time scaled by kSpeed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "lan_scenario.h"

namespace {

using namespace lan_scenario;

using namespace std::chrono_literals;

const char kTimeoutLine[] = "timeout ,delete at retry done";
constexpr int kSpeed = 4;

// `ms` of daemon time in real milliseconds.
constexpr uint64_t real_ms(uint64_t ms) {
    return ms / kSpeed;
}

// Frames of the sample model for {"opt":["Pow","Lum"]}: [0x5A, 3, pow, lum, 0].
const char kFramePow0Lum17[] = "WgMAEQA=";
const char kFramePow1Lum33[] = "WgMBIQA=";

// Time stamps (ms) of the simdev log lines matching `re` (the line without
// its time stamp).
std::vector<uint64_t> stamps(const std::string &path, const std::regex &re) {
    std::vector<uint64_t> out;
    std::istringstream in(slurp(path));
    std::string line;
    while (std::getline(in, line)) {
        size_t sp = line.find(' ');
        if (sp == std::string::npos) continue;
        if (std::regex_search(line.substr(sp + 1), re)) out.push_back(std::stoull(line.substr(0, sp)));
    }
    return out;
}

uint64_t now_ms() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

size_t count_of(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
        ++n;
    return n;
}

std::regex bin_cmd(const std::string &mac, const std::string &frame) {
    return std::regex("^" + mac + " udp \\{\"t\":\"binCmd\",\"bin\":\"" +
                      std::regex_replace(frame, std::regex("[+/=]"), "\\$&") + "\"");
}

class ControlScenario : public LanBoardTest {
  protected:
    void SetUp() override { boot(kSpeed); }
    std::string log_of(const std::string &mac) const { return board_.dir() + "/simdev-" + mac + ".log"; }
    // Starts one simulated device; true once the host answered its UBind.
    bool device(const std::string &mac, const std::string &ip, const std::string &mid,
                const std::string &answer) {
        std::vector<std::string> argv = {kSimdev,    "--mac", mac,    "--ip", ip,      "--mid",    mid,
                                         "--answer", answer,  "--hb", "0",    "--log", log_of(mac)};
        in_background(argv);
        const std::regex bound(mac + " udp \\{\"t\":\"UBindok\"");
        return eventually([&] { return !stamps(log_of(mac), bound).empty(); }, 10s);
    }
    // Waits until the host has sent the device nothing for 8 s (four retry
    // periods): every command queued at binding time is done with.
    bool quiet(const std::string &mac) const {
        const std::regex any("^" + mac + " udp ");
        return eventually(
            [&] {
                std::vector<uint64_t> s = stamps(log_of(mac), any);
                return s.empty() || now_ms() - s.back() > real_ms(8000);
            },
            30s);
    }
    Board::Result command(const std::string &mac, int pow, int lum) {
        const std::string cmd = "{\"t\":\"jsonCmd\",\"mac\":\"" + mac +
                                "\",\"opt\":[\"Pow\",\"Lum\"],\"p\":[" + std::to_string(pow) + "," +
                                std::to_string(lum) + "]}";
        return app({"--json", "--wait", "1000", cmd});
    }
    size_t timeouts() const { return count_of(board_.logs(), kTimeoutLine); }
    // True once a command to a device of the working model reached it.
    bool commands_reach(const std::string &mac, int pow, int lum, const char *frame) {
        command(mac, pow, lum);
        return eventually([&] { return !stamps(log_of(mac), bin_cmd(mac, frame)).empty(); }, 10s);
    }
};

TEST_F(ControlScenario, UnansweredCommandIsSentThreeTimesThenTimesOut) {
    const std::string mac = "02aabb000001";
    ASSERT_TRUE(device(mac, "192.0.2.101", "90001", "never")) << slurp(log_of(mac));
    ASSERT_TRUE(quiet(mac)) << slurp(log_of(mac));
    const size_t before = timeouts();
    ASSERT_TRUE(commands_reach(mac, 0, 17, kFramePow0Lum17)) << slurp(log_of(mac));
    const std::regex ours = bin_cmd(mac, kFramePow0Lum17);
    ASSERT_TRUE(eventually([&] { return stamps(log_of(mac), ours).size() >= 3; }, 20s)) << slurp(log_of(mac));
    EXPECT_TRUE(eventually([&] { return timeouts() > before; }, 10s)) << board_.logs();
    // A fourth send would have come 2 s after the time-out step.
    std::this_thread::sleep_for(std::chrono::milliseconds(real_ms(3000)));
    std::vector<uint64_t> sent = stamps(log_of(mac), ours);
    ASSERT_EQ(3u, sent.size()) << slurp(log_of(mac));
    for (size_t i = 1; i < sent.size(); ++i)
        EXPECT_GE(sent[i] - sent[i - 1], real_ms(1800)) << "retries come 2 s apart";
    EXPECT_EQ(before + 1, timeouts());
}

TEST_F(ControlScenario, LateAnswerAfterTheTimeOutChangesNothing) {
    const std::string mac = "02aabb000001";
    // Each answer comes 10 s after its send, the time-out 6 s after the first.
    const std::string late = "late=" + std::to_string(real_ms(10000));
    ASSERT_TRUE(device(mac, "192.0.2.101", "90001", late)) << slurp(log_of(mac));
    ASSERT_TRUE(quiet(mac)) << slurp(log_of(mac));
    const size_t before = timeouts();
    const uint64_t start = now_ms();
    ASSERT_TRUE(commands_reach(mac, 0, 17, kFramePow0Lum17)) << slurp(log_of(mac));
    const std::regex first = bin_cmd(mac, kFramePow0Lum17);
    ASSERT_TRUE(eventually([&] { return stamps(log_of(mac), first).size() >= 3; }, 20s))
        << slurp(log_of(mac));
    EXPECT_TRUE(eventually([&] { return timeouts() == before + 1; }, 10s)) << board_.logs();
    // The three answers come after the time-out.
    const std::regex res("^" + mac + " sent:udp \\{\"t\":\"res\",\"r\":200");
    ASSERT_TRUE(eventually(
        [&] {
            std::vector<uint64_t> r = stamps(log_of(mac), res);
            return std::count_if(r.begin(), r.end(), [&](uint64_t t) { return t >= start; }) >= 3;
        },
        20s))
        << slurp(log_of(mac));
    std::this_thread::sleep_for(std::chrono::milliseconds(real_ms(1000)));

    // The next command is sent and counted on its own: three sends, one time-out.
    command(mac, 1, 33);
    const std::regex second = bin_cmd(mac, kFramePow1Lum33);
    ASSERT_TRUE(eventually([&] { return stamps(log_of(mac), second).size() >= 3; }, 20s))
        << slurp(log_of(mac));
    EXPECT_TRUE(eventually([&] { return timeouts() == before + 2; }, 10s)) << board_.logs();
    std::this_thread::sleep_for(std::chrono::milliseconds(real_ms(3000)));
    EXPECT_EQ(3u, stamps(log_of(mac), first).size());
    EXPECT_EQ(3u, stamps(log_of(mac), second).size());
    EXPECT_EQ(before + 2, timeouts());
}

TEST_F(ControlScenario, ModelWhoseCodecFailsCannotBeCommandedAndTheHostKeepsServing) {
    const std::string good = "02aabb000001";
    ASSERT_TRUE(device(good, "192.0.2.101", "90001", "now")) << slurp(log_of(good));
    ASSERT_TRUE(commands_reach(good, 0, 17, kFramePow0Lum17)) << slurp(log_of(good));
    struct Bad {
        const char *mac, *ip, *mid;
    } bad[] = {{"02aabb000002", "192.0.2.102", "90002"},
               {"02aabb000003", "192.0.2.103", "90003"},
               {"02aabb000004", "192.0.2.104", "90004"}};
    for (const Bad &b : bad) {
        SCOPED_TRACE(b.mid);
        ASSERT_TRUE(device(b.mac, b.ip, b.mid, "now")) << slurp(log_of(b.mac));
        command(b.mac, 1, 33);
        const std::string refused =
            std::string("It's not binCmd,orvi_json_to_hex_handle failed:mid:") + b.mid;
        EXPECT_TRUE(board_.wait_for_log(refused, 10s) ||
                    board_.wait_for_log("subdev type is UDP,but binParam is NULL", 1s))
            << board_.logs();
    }
    // Still serving: the working model is commanded as before.
    command(good, 1, 33);
    EXPECT_TRUE(
        eventually([&] { return !stamps(log_of(good), bin_cmd(good, kFramePow1Lum33)).empty(); }, 10s))
        << slurp(log_of(good));
    for (const Bad &b : bad) {
        const std::regex any_cmd(std::string("^") + b.mac + " udp \\{\"t\":\"binCmd\",\"bin\":");
        EXPECT_TRUE(stamps(log_of(b.mac), any_cmd).empty()) << slurp(log_of(b.mac));
    }
    EXPECT_GT(board_.init_pid(), 0);
}

}  // namespace
