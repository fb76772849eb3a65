// The tests' call record: a flood test that reaches a recording
// implementation must not grow it without bound.
#include <gtest/gtest.h>

#include <string>

#include "pending_calls.h"

namespace {

TEST(PendingCalls, RecordKeepsTheNewestCallsWithinItsByteBudget) {
    pending_calls_clear();
    const std::string bind_packet(3000, 'b');
    for (int i = 0; i < 4000; ++i)
        pending_record("orvi_bt_data_send", {std::to_string(i), bind_packet});
    std::vector<std::string> calls = pending_calls();
    size_t bytes = 0;
    for (const auto &c : calls)
        bytes += c.size();
    EXPECT_LE(bytes, 256u * 1024u);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(0u, calls.back().find("orvi_bt_data_send 3999 "));

    // One huge call keeps its beginning and is still recorded.
    pending_record("mqtt_response_api", {std::string(1 << 20, 'x')});
    calls = pending_calls();
    EXPECT_EQ(0u, calls.back().find("mqtt_response_api xxx"));
    EXPECT_LE(calls.back().size(), 4096u);
    pending_calls_clear();
    EXPECT_TRUE(pending_calls().empty());
}

}  // namespace
