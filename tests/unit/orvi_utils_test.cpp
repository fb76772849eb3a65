#include "orvi_utils.h"

#include <gtest/gtest.h>

#include <cstring>

#include "identity_test_support.h"
#include "orvi_port.h"

using identity_test::IdentityBoard;

namespace {
bool all_of_set(const std::string &s, const char *set) {
    return s.find_first_not_of(set) == std::string::npos;
}
const char kAlnum[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
}  // namespace

TEST(OrviUtils, RandomTextsKeepTheirAlphabetLengthAndTerminator) {
    char buf[8];
    memset(buf, 'X', sizeof buf);
    ASSERT_EQ(0, generate_random_string(buf, 6));
    EXPECT_EQ('\0', buf[6]);
    EXPECT_TRUE(all_of_set(buf, kAlnum)) << buf;

    char key[17];
    memset(key, '#', sizeof key);
    ASSERT_EQ(0, random_key_create(key, 16));
    EXPECT_EQ('#', key[16]) << "no terminator is written";
    EXPECT_TRUE(all_of_set(std::string(key, 16), kAlnum));

    // Drawn from the kernel's source: two keys made in the same second differ.
    char other[16];
    random_key_create(other, 16);
    EXPECT_NE(0, memcmp(key, other, 16));
    EXPECT_NE(generate_random_string(16), generate_random_string(16));
    EXPECT_EQ(-2, generate_random_string(nullptr, 4));
}

TEST(OrviUtils, RandomUniformStaysBelowItsBound) {
    EXPECT_EQ(0u, orvi_random_uniform(0));
    EXPECT_EQ(0u, orvi_random_uniform(1));
    for (int i = 0; i < 200; ++i)
        EXPECT_LT(orvi_random_uniform(10000), 10000u);
}

TEST(OrviUtils, CompareNumericStrings) {
    struct Case {
        const char *a, *b;
        int want;
    } cases[] = {
        {"10", "9", 1},
        {"9", "10", -1},
        {"007", "7", 0},
        {"-5", "3", -1},
        {"-10", "-9", -1},
        {"-0", "0", 0},
        {"123456789012345678901234567890", "123456789012345678901234567891", -1},
        {nullptr, "1", -2},
        {"1", nullptr, -2},
        {"1a", "1", -2},
        {"", "1", -2},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.want, compare_numeric_strings(c.a, c.b))
            << (c.a ? c.a : "null") << " vs " << (c.b ? c.b : "null");
}

TEST(OrviUtils, PathExtraction) {
    struct Case {
        const char *in, *want;
    } cases[] = {
        {"name.json", "./"},
        {"/data/domivault/data/x.json", "/data/domivault/data/"},
        {"dir/sub/", "dir/sub/"},
        {"/x", "/"},
    };
    std::string out;
    for (const auto &c : cases) {
        ASSERT_EQ(0, path_extraction(c.in, out));
        EXPECT_EQ(c.want, out) << c.in;
    }
    EXPECT_EQ(-1, path_extraction(nullptr, out));
}

TEST(OrviUtils, VersionExtraction) {
    std::string out;
    EXPECT_EQ(0, version_extract_in_string("OH7050200+HC01V1.0.3.img", out, ".img"));
    EXPECT_EQ("1.0.3", out);
    EXPECT_EQ(-1, version_extract_in_string("OH7050200+HC01.img", out, ".img"));  // no V
    EXPECT_EQ(-1, version_extract_in_string("HC01V1.0.3", out, ".img"));          // no suffix
    EXPECT_EQ(-1, version_extract_in_string("HC01V.img", out, ".img"));           // nothing between
}

TEST(OrviUtils, JsonObjectsAreCutByBalancedBracesOutsideStrings) {
    const char *stream = R"(noise{"a":1}{"b":{"c":"}{"},"d":"q\"}"} tail{"open":)";
    const char *cursor = stream;
    std::string item;
    ASSERT_EQ(0, get_json_item_iter_str(&cursor, item));
    EXPECT_EQ(R"({"a":1})", item);
    ASSERT_EQ(0, get_json_item_iter_str(&cursor, item));
    EXPECT_EQ(R"({"b":{"c":"}{"},"d":"q\"}"})", item);
    EXPECT_EQ(-1, get_json_item_iter_str(&cursor, item)) << "an unfinished object stays in the stream";
    EXPECT_STREQ(R"( tail{"open":)", cursor);

    char dest[16];
    const char *src = R"(x{"k":"v"}rest)";
    const char *after = orvi_json_package_get(src, dest, sizeof dest);
    ASSERT_NE(nullptr, after);
    EXPECT_STREQ(R"({"k":"v"})", dest);
    EXPECT_STREQ("rest", after);
    char small[5];
    EXPECT_EQ(nullptr, orvi_json_package_get(src, small, sizeof small));
    EXPECT_EQ(nullptr, orvi_json_package_get(R"({"k":)", dest, sizeof dest));
    EXPECT_EQ(nullptr, orvi_json_package_get(nullptr, dest, sizeof dest));
    EXPECT_EQ(nullptr, orvi_json_package_get("{", dest, sizeof dest));
}

TEST(OrviUtils, Md5Helpers) {
    IdentityBoard b;
    EXPECT_EQ("900150983CD24FB0D6963F7D28E17F72", md5_to_hex_string("abc"));
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", md5_to_hex_string_small("abc"));

    // The file's content is taken as text: up to its first zero byte.
    b.root.write("/tmp/zero.bin", std::string("abc\0def", 7));
    EXPECT_EQ("900150983CD24FB0D6963F7D28E17F72", md5_compute_file_string("/tmp/zero.bin"));
    EXPECT_EQ("", md5_compute_file_string("/tmp/missing"));

    // A name with a quote reaches md5sum as one word.
    b.root.write("/tmp/it's.bin", "abc");
    std::string sum;
    ASSERT_EQ(0, file_md5sum_get("/tmp/it's.bin", sum));
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", sum);
    EXPECT_EQ(-1, file_md5sum_get("/tmp/missing", sum));
}

TEST(OrviUtils, Md5VerifyNeedsEveryFileOk) {
    IdentityBoard b;
    // A failing file whose name holds "OK" must not pass.
    b.root.write("/tmp/OK.tar.gz", "abc");
    b.root.write("/tmp/pkg.md5", "900150983cd24fb0d6963f7d28e17f72  " + b.root.path("/tmp/OK.tar.gz") + "\n");
    EXPECT_EQ(0, orvi_file_md5_verify("/tmp/pkg.md5"));
    b.root.write("/tmp/OK.tar.gz", "abd");
    EXPECT_EQ(-1, orvi_file_md5_verify("/tmp/pkg.md5"));
    EXPECT_EQ(-1, orvi_file_md5_verify("/tmp/none.md5"));
}

TEST(OrviUtils, FilesAndDirectories) {
    IdentityBoard b;
    std::string text;
    EXPECT_EQ(-1, orvi_file_read("/tmp/missing", text));
    b.root.write("/tmp/empty", "");
    EXPECT_EQ(0, orvi_file_read("/tmp/empty", text));
    b.root.write("/tmp/full", "hello");
    EXPECT_EQ(1, orvi_file_read("/tmp/full", text));
    EXPECT_EQ("hello", text);

    ASSERT_EQ(0, create_directories("/tmp/a/b/c"));
    EXPECT_TRUE(b.root.exists("/tmp/a/b/c"));
    EXPECT_EQ(0, create_directory("/tmp/a/b/c")) << "an existing directory is fine";
    ASSERT_EQ(0, file_create("/tmp/made by mkdir"));
    EXPECT_TRUE(b.root.exists("/tmp/made by mkdir"));

    for (const char *n : {"pkg_b.tar.gz", "pkg_a.tar.gz", "notes.txt", "pkg_c.tar.gz"})
        b.root.write(std::string("/tmp/a/") + n, "x");
    EXPECT_EQ(3, count_files_in_directory("/tmp/a", ".tar.gz")) << "the directory b is not counted";
    EXPECT_EQ(3, file_counters("/tmp/a", ".tar.gz"));
    EXPECT_EQ(-1, count_files_in_directory("/tmp/none", ""));

    std::vector<std::string> names;
    EXPECT_EQ(2, fileName_extract_in_direction("/tmp/a", names, 2, ".tar.gz")) << "stops when full";
    EXPECT_EQ((std::vector<std::string>{"/tmp/a/pkg_a.tar.gz", "/tmp/a/pkg_b.tar.gz"}), names);
    EXPECT_EQ(-1, fileName_extract_in_direction("/tmp/none", names, 8, ".tar.gz"));
}

TEST(OrviUtils, SmallTextHelpers) {
    cJSON *arr = cJSON_Parse(R"(["a", 3, "b", "a"])");
    EXPECT_EQ(2, array_contains_string(arr, "b"));
    EXPECT_EQ(0, array_contains_string(arr, "a"));
    EXPECT_EQ(-1, array_contains_string(arr, "c"));
    EXPECT_EQ(-1, array_contains_string(nullptr, "a"));
    cJSON_Delete(arr);

    EXPECT_EQ("0200aa", string_char_filter("0:2::00aa", ':'));
    EXPECT_EQ("abc", string_char_filter("a b c", ' '));

    int mo = 0, d = 0, h = 0, mi = 0;
    ASSERT_EQ(0, extract_time_info("3月15日4时30分", &mo, &d, &h, &mi));
    EXPECT_EQ(3, mo);
    EXPECT_EQ(15, d);
    EXPECT_EQ(4, h);
    EXPECT_EQ(30, mi);
    EXPECT_EQ(-1, extract_time_info("3-15 4:30", &mo, &d, &h, &mi));
}
