// The log under a flood: a line keeps the beginning of a long text and says
// how long it was; one warning call site cannot fill the log, and what it
// held back is counted.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "orvi_log.h"

namespace {

std::vector<std::string> lines_of(const std::string &out) {
    std::vector<std::string> v;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        v.push_back(line);
    return v;
}

void warn_packet(const std::string &packet) {
    ORVI_LOGW("packet: %s", packet.c_str());
}

void info_packet(const std::string &packet) {
    ORVI_LOGI("Root receive, data: %s", packet.c_str());
}

TEST(OrviLog, LongTextKeepsItsBeginningAndSaysHowLongItWas) {
    const std::string head = "Root receive, data: ";
    // Sizes of the whole message text: short, exactly the limit, one over, a flood packet.
    for (size_t size : {size_t{40}, size_t{ORVI_LOG_TEXT_MAX}, size_t{ORVI_LOG_TEXT_MAX + 1}, size_t{64 * 1024}}) {
        std::string packet = "{\"t\":\"hb\"" + std::string(size - head.size() - 9, 'x');
        std::string text = head + packet;
        ASSERT_EQ(size, text.size());
        testing::internal::CaptureStdout();
        ORVI_LOGI("Root receive, data: %s", packet.c_str());
        std::string out = testing::internal::GetCapturedStdout();
        ASSERT_EQ(1u, lines_of(out).size()) << size;
        if (size <= ORVI_LOG_TEXT_MAX) {
            EXPECT_NE(std::string::npos, out.find("]: " + text + "\n")) << size;
            continue;
        }
        EXPECT_NE(std::string::npos, out.find("]: " + text.substr(0, ORVI_LOG_TEXT_MAX) + "... (" +
                                              std::to_string(size) + " bytes in all)\n"))
            << size;
        EXPECT_LT(out.size(), ORVI_LOG_TEXT_MAX + 200u);
    }
}

TEST(OrviLog, PlainLinesAreTheProgramsOwnAndNeverCut) {
    std::string banner(3 * ORVI_LOG_TEXT_MAX, '=');
    testing::internal::CaptureStdout();
    orvi_plain_write("%s\n", banner.c_str());
    EXPECT_EQ(banner + "\n", testing::internal::GetCapturedStdout());
}

TEST(OrviLog, ARepeatedWarningIsHeldBackAndCounted) {
    testing::internal::CaptureStdout();
    for (int i = 0; i < 5000; ++i)
        warn_packet("junk " + std::to_string(i));
    std::string flood = testing::internal::GetCapturedStdout();
    // A burst gets through, then the site is held to its steady rate.
    size_t printed = lines_of(flood).size();
    EXPECT_GE(printed, static_cast<size_t>(ORVI_LOG_BURST) - 1);
    EXPECT_LT(printed, 1000u);
    EXPECT_NE(std::string::npos, flood.find("[W][warn_packet]"));
    // Information lines (every received packet writes one) have a larger
    // budget, but a flood of them is held back too.
    testing::internal::CaptureStdout();
    for (int i = 0; i < 5000; ++i)
        info_packet("{} " + std::to_string(i));
    printed = lines_of(testing::internal::GetCapturedStdout()).size();
    EXPECT_GE(printed, static_cast<size_t>(ORVI_LOG_INFO_BURST) - 1);
    EXPECT_LT(printed, 2000u);
    // Other call sites are not held back by them.
    testing::internal::CaptureStdout();
    ORVI_LOGW("another warning");
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("another warning"));

    // The site's next line that gets through says how many were not logged,
    // on a line of its own, and keeps its own text whole.
    std::string out;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (out.find("[W][warn_packet]") == std::string::npos && std::chrono::steady_clock::now() < until) {
        testing::internal::CaptureStdout();
        warn_packet("late");
        out += testing::internal::GetCapturedStdout();
        if (out.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::vector<std::string> lines = lines_of(out);
    ASSERT_EQ(2u, lines.size()) << out;
    EXPECT_NE(std::string::npos, lines[0].find("more lines like the next were not logged")) << out;
    EXPECT_NE(std::string::npos, lines[1].find("]: packet: late")) << out;
}

}  // namespace
