#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orvi_base64.h"

namespace {
std::string decode(const std::string &in) {
    std::vector<uint8_t> out;
    int n = Base64Decode(in.data(), out, in.size());
    EXPECT_EQ(static_cast<size_t>(n), out.size()) << in;
    return std::string(out.begin(), out.end());
}

std::string encode(const std::string &in) {
    std::string out;
    int n = Base64Encode(reinterpret_cast<const uint8_t *>(in.data()), out, in.size());
    EXPECT_EQ(static_cast<size_t>(n), out.size());
    return out;
}
}  // namespace

TEST(Base64, EncodesAndDecodesStandardVectors) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"\xfb\xff", "+/8="},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.second, encode(c.first)) << c.first;
        EXPECT_EQ(c.first, decode(c.second)) << c.second;
    }
}

// The decoded length comes from whole groups and the fill at the end of the
// last one, so short input, misplaced fill and foreign characters can never
// give a negative length or one larger than what was decoded.
TEST(Base64, DecodedLengthFollowsWholeGroupsOnly) {
    const std::pair<std::string, std::string> cases[] = {
        {"Q", ""},
        {"QQ", ""},
        {"=", ""},
        {"==", ""},
        {"QQ=", ""},
        {"Zm9vYg", "foo"},                           // trailing partial group ignored
        {"Zm9vYg=", "foo"},                          // fill inside the ignored part changes nothing
        {"====", std::string(1, '\0')},              // fill counts as zero bits
        {"Zm==Zm9v", std::string("f\x60\0foo", 6)},  // fill in the middle counts as zero, not as the end
        {"Zm9v*g==", "foo\x02"},                     // a foreign character counts as zero
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.second, decode(c.first)) << c.first;
}

TEST(Base64, ZeroByteInsideTheLengthOrNullDecodesToNothing) {
    std::vector<uint8_t> out{1, 2, 3};
    std::string forged("Zm9v\0Zm9v", 9);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, Base64Decode(forged.data(), out, forged.size()));
    EXPECT_NE(std::string::npos,
              testing::internal::GetCapturedStdout().find("OrgStringLen is equal to strlen(OrgString)"));
    EXPECT_TRUE(out.empty());
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, Base64Decode(nullptr, out, 4));
    std::string s;
    EXPECT_EQ(0, Base64Encode(nullptr, s, 3));
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, log.find("OrgString == NULL or Base64String == NULL")) << log;
}

TEST(Base64, RoundTripsEveryLengthUpTo100) {
    for (size_t n = 0; n <= 100; ++n) {
        std::vector<uint8_t> bytes(n);
        for (size_t i = 0; i < n; ++i)
            bytes[i] = static_cast<uint8_t>(i * 37 + n);  // zero bytes included
        std::string b64;
        ASSERT_EQ((n + 2) / 3 * 4, static_cast<size_t>(orvi_hex_base64_encode(bytes.data(), n, b64))) << n;
        EXPECT_EQ(std::string::npos, b64.find_first_of("\r\n")) << n;
        std::vector<uint8_t> back;
        ASSERT_EQ(static_cast<int>(n), orvi_hex_base64_decode(b64.data(), b64.size(), back)) << n;
        EXPECT_EQ(bytes, back) << n;
    }
}
