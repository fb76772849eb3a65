#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "orvi_aes.h"
#include "orvi_base64.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "scratch_root.h"

namespace {
const char kKey[] = "0123456789abcdef";
const char kOtherKey[] = "fedcba9876543210";

size_t cipher_len(const std::string &b64) {
    std::vector<uint8_t> c;
    return static_cast<size_t>(Base64Decode(b64.data(), c, b64.size()));
}

std::string text_of_len(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += static_cast<char>('!' + (i * 7) % 90);
    return s;
}

// Restores the log level a test changed.
struct LogLevel {
    explicit LogLevel(orvi_log_level_t l) : saved(orvi_log_level_get()) { orvi_log_level_set(l); }
    ~LogLevel() { orvi_log_level_set(saved); }
    orvi_log_level_t saved;
};
}  // namespace

// The text gains a line feed, then padding to the next whole block.
TEST(OrviAes, CipherTextSizes) {
    struct Case {
        std::string text;
        size_t cipher;
        size_t b64;
    } cases[] = {
        {R"({"t":"status"})", 16, 24},   // 14 + 1 = 15 plain bytes
        {R"({"t":"status1"})", 32, 44},  // 15 + 1 = 16: a whole padding block
    };
    for (const auto &c : cases) {
        std::string s = c.text;
        ASSERT_EQ(0, orvi_aes_encrypt(kKey, s));
        EXPECT_EQ(c.b64, s.size()) << c.text;
        EXPECT_EQ(c.cipher, cipher_len(s)) << c.text;
        ASSERT_EQ(0, orvi_aes_decrypt(kKey, s));
        EXPECT_EQ(c.text + "\n", s);
    }
    std::string s = R"({"t":"status"})";
    ASSERT_EQ(0, orvi_aes_encrypt(kKey, s));
    EXPECT_EQ("==", s.substr(s.size() - 2));
}

TEST(OrviAes, RoundTripsEveryLengthUpTo100) {
    for (size_t n = 0; n <= 100; ++n) {
        std::string text = text_of_len(n), s = text;
        ASSERT_EQ(0, orvi_aes_encrypt(kKey, s)) << n;
        EXPECT_EQ(((n + 1) / 16 + 1) * 16, cipher_len(s)) << n;
        ASSERT_EQ(0, orvi_aes_decrypt(kKey, s)) << n;
        EXPECT_EQ(text + "\n", s) << n;
    }
}

TEST(OrviAes, UsesTheFirst16BytesOfTheKeyAndNeverMore) {
    std::string a = "abc", b = "abc";
    ASSERT_EQ(0, orvi_aes_encrypt(kKey, a));
    ASSERT_EQ(0, orvi_aes_encrypt("0123456789abcdefTAIL", b));
    EXPECT_EQ(a, b);
    // A key in an unterminated 16-byte buffer: nothing past it is read.
    std::unique_ptr<char[]> raw(new char[16]);
    std::memcpy(raw.get(), kKey, 16);
    std::string c = "abc";
    ASSERT_EQ(0, orvi_aes_encrypt(raw.get(), c));
    EXPECT_EQ(a, c);
}

TEST(OrviAes, ShortOrMissingKeyIsRefused) {
    const char *keys[] = {nullptr, "", "short", "0123456789abcde"};
    std::string sealed = "abc";
    ASSERT_EQ(0, orvi_aes_encrypt(kKey, sealed));
    for (const char *k : keys) {
        std::string s = "abc";
        testing::internal::CaptureStdout();
        EXPECT_EQ(-1, orvi_aes_encrypt(k, s));
        std::string log = testing::internal::GetCapturedStdout();
        EXPECT_EQ("abc", s);
        EXPECT_NE(std::string::npos, log.find("aes key is shorter than 16 characters!")) << log;
        EXPECT_NE(std::string::npos, log.find("[E][orvi_aes_encrypt]")) << log;
        EXPECT_NE(std::string::npos, log.find("encrypt is fail!")) << log;
        s = sealed;
        testing::internal::CaptureStdout();
        EXPECT_EQ(-1, orvi_aes_decrypt(k, s));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(sealed, s);
        std::vector<uint8_t> out;
        testing::internal::CaptureStdout();
        EXPECT_EQ(-1, evp_aes_128_ecb_pck7_encrypt(k, reinterpret_cast<const uint8_t *>("x"), 1, out));
        testing::internal::GetCapturedStdout();
    }
}

// Whatever makes decryption fail, the caller's text stays as it was.
TEST(OrviAes, FailedDecryptionKeepsTheText) {
    std::string sealed = R"({"t":"status"})";
    ASSERT_EQ(0, orvi_aes_encrypt(kKey, sealed));
    std::vector<uint8_t> empty_plain;
    ASSERT_EQ(16, evp_aes_128_ecb_pck7_encrypt(kKey, nullptr, 0, empty_plain));
    std::string empty_b64;
    Base64Encode(empty_plain.data(), empty_b64, empty_plain.size());
    std::string long_sealed = text_of_len(40);
    ASSERT_EQ(0, orvi_aes_encrypt(kKey, long_sealed));

    struct Case {
        const char *name;
        std::string text;
        const char *key;
        const char *line;
    } cases[] = {
        {"embedded zero byte", sealed.substr(0, 10) + std::string(1, '\0') + sealed.substr(11), kKey,
         "OrgStringLen is equal to strlen(OrgString)"},
        {"shorter than 24 characters", sealed.substr(0, 20), kKey, "shorter than one block"},
        {"empty text", "", kKey, "shorter than one block"},
        {"not whole blocks", long_sealed.substr(0, 28), kKey, "EVP_DecryptFinal_ex error"},
        {"wrong key", sealed, kOtherKey, "EVP_DecryptFinal_ex error"},
        {"empty plain text", empty_b64, kKey, "decrypt is fail!"},
    };
    for (const auto &c : cases) {
        std::string s = c.text;
        testing::internal::CaptureStdout();
        EXPECT_EQ(-1, orvi_aes_decrypt(c.key, s)) << c.name;
        std::string log = testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.text, s) << c.name;
        EXPECT_NE(std::string::npos, log.find(c.line)) << c.name << ": " << log;
        EXPECT_NE(std::string::npos, log.find("decrypt is fail!")) << c.name << ": " << log;
    }
}

TEST(OrviAes, LogLinesFollowTheLevel) {
    LogLevel info(ORVI_LOG_INFO);
    std::vector<uint8_t> out;
    testing::internal::CaptureStdout();
    EXPECT_EQ(16, aes_ecb_paks7_encrypt(reinterpret_cast<const uint8_t *>("abc"), 3, kKey, out));
    std::string s = "abc";
    ASSERT_EQ(0, orvi_aes_encrypt(kKey, s));
    EXPECT_EQ("outLen is 16\n", testing::internal::GetCapturedStdout());

    std::vector<uint8_t> plain;
    EXPECT_EQ(3, aes_ecb_paks7_decrypt(out.data(), out.size(), kKey, plain));
    EXPECT_EQ("abc", std::string(plain.begin(), plain.end()));
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, aes_ecb_paks7_decrypt(out.data(), 8, kKey, plain));
    EXPECT_NE(std::string::npos,
              testing::internal::GetCapturedStdout().find("in ssl aes decrypt fail code: -1"));

    orvi_log_level_set(ORVI_LOG_DEBUG);
    s = R"({"t":"status"})";
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, orvi_aes_encrypt(kKey, s));
    ASSERT_EQ(0, orvi_aes_decrypt(kKey, s));
    std::string log = testing::internal::GetCapturedStdout();
    for (const char *line :
         {"[D][orvi_aes_encrypt]", "strlen(orvi_json)->14", "Lenth->>15", "Base64Encode success!",
          "encrypt_data lenth-->24, ", "OrStringLen->16", "lenth_decrypt->16;"})
        EXPECT_NE(std::string::npos, log.find(line)) << line << "\n" << log;
}

// The command-line cipher of the same library family must read what we write
// and write what we read.
TEST(OrviAes, AgreesWithTheOpensslCommandLine) {
    const std::string openssl = "/usr/bin/openssl";
    if (access(openssl.c_str(), X_OK) != 0) GTEST_SKIP() << "no " << openssl;
    ScratchRoot root;
    const std::string hexkey = "30313233343536373839616263646566";  // kKey
    const std::string file = root.path("/tmp/cross");
    auto run = [&](bool decrypt, const std::string &content) {
        EXPECT_TRUE(orvi_port_write_atomic(file, content));
        std::vector<std::string> argv = {openssl,   "enc",     "-aes-128-ecb", "-K",  hexkey,
                                         "-nosalt", "-base64", "-A",           "-in", file};
        if (decrypt) argv.insert(argv.begin() + 2, "-d");
        std::string out;
        orvi_run_opts o;
        o.out = &out;
        EXPECT_EQ(0, orvi_port_run_argv(argv, o));
        return out;
    };
    for (size_t n : {0, 1, 14, 15, 16, 17, 47, 100}) {
        std::string text = text_of_len(n);
        // Theirs decrypted by us.
        std::string theirs = run(false, text + "\n");
        std::string opened = theirs;
        ASSERT_EQ(0, orvi_aes_decrypt(kKey, opened)) << n;
        EXPECT_EQ(text + "\n", opened) << n;
        // Ours decrypted by them, and byte for byte the same cipher text.
        std::string ours = text;
        ASSERT_EQ(0, orvi_aes_encrypt(kKey, ours));
        EXPECT_EQ(text + "\n", run(true, ours)) << n;
        EXPECT_EQ(theirs, ours) << n;
    }
}
