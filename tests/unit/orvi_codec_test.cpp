#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "orvi_base64.h"
#include "orvi_codec.h"
#include "orvi_field.h"
#include "product_subdev.h"
#include "sample_model.h"
#include "scratch_root.h"
#include "orvi_testing.h"

namespace {
const char *kLibDir = "/data/domivault/data/lib/";
constexpr size_t kStatusSize = ORVI_SUBDEV_DATA_SIZE;

using json_ptr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;
json_ptr parse(const std::string &s) {
    return json_ptr(cJSON_Parse(s.c_str()), &cJSON_Delete);
}

std::string b64(const uint8_t *p, size_t n) {
    std::string out;
    Base64Encode(p, out, n);
    return out;
}

std::string status_b64(uint8_t pow, uint8_t lum) {
    uint8_t f[SAMPLE_STATUS_LEN];
    sample_status_t s{pow, lum, 0};
    sample_status_encode(&s, f);
    return b64(f, sizeof f);
}

void copy_file(const std::string &from, const std::string &to) {
    std::ifstream in(from, std::ios::binary);
    ASSERT_TRUE(in.good()) << from;
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
}

class CodecTest : public ::testing::Test {
  protected:
    void SetUp() override {
        product_registry_reset_for_test();
        for (const char *mid : {"90001", "90002", "90003", "90004", "90005"})
            install(mid);
    }
    void TearDown() override { product_registry_reset_for_test(); }

    // Copies the built plug-in lib<mid>.so to a board path (the library
    // directory by default).
    void install(const std::string &mid, const std::string &board_path = "") {
        std::string dest = board_path.empty() ? std::string(kLibDir) + "lib" + mid + ".so" : board_path;
        copy_file(std::string(ORVI_BINARY_DIR) + "/lib/lib" + mid + ".so", root.path(dest));
    }

    // A registered device of model `mid`; with a template when `status` is given.
    orvi_subdev_ptr device(const std::string &mac, const std::string &mid, const std::string &status = "") {
        orvi_subdev_list_t d;
        orvi_field_set(d.mac, mac);
        orvi_field_set(d.mid, mid);
        orvi_field_set(d.ver, "1.0.2");
        d.dev_type = DEV_TYPE_UDP;
        orvi_subdev_ptr rec = product_add_subdev_to_host(&d);
        if (rec && !status.empty()) {
            std::string tmpl = orvi_codec_status_input(status);
            orvi_subdev_locked(rec,
                               [&](orvi_subdev_list_t &r) { r.binParam.assign(tmpl.begin(), tmpl.end()); });
        }
        return rec;
    }

    ScratchRoot root;
};

// The command frame inside a plug-in's {"t":"binCmd","bin":"..."} output.
bool command_frame(const char *text, sample_cmd_t *cmd) {
    json_ptr j = parse(text);
    const cJSON *t = cJSON_GetObjectItem(j.get(), "t");
    const cJSON *bin = cJSON_GetObjectItem(j.get(), "bin");
    if (!cJSON_IsString(t) || std::string(t->valuestring) != "binCmd" || !cJSON_IsString(bin)) return false;
    std::vector<uint8_t> frame;
    orvi_hex_base64_decode(bin->valuestring, strlen(bin->valuestring), frame);
    return sample_cmd_decode(frame.data(), frame.size(), cmd) == 0;
}

TEST_F(CodecTest, StatusDecodesToColumnsAndReturnsItsLength) {
    char out[kStatusSize];
    std::string in = orvi_codec_status_input(status_b64(1, 42));
    int n = hex_to_json("90001", in.c_str(), out, sizeof out);
    EXPECT_STREQ(out, "{\"cols\":[\"Pow\",\"Lum\"],\"dat\":[1,42]}");
    EXPECT_EQ(n, static_cast<int>(strlen(out)));

    // A frame the model does not know is a failure.
    uint8_t bad[SAMPLE_STATUS_LEN] = {SAMPLE_STATUS_MAGIC, 2, 0, 0};
    in = orvi_codec_status_input(b64(bad, sizeof bad));
    EXPECT_LT(hex_to_json("90001", in.c_str(), out, sizeof out), 0);
}

TEST_F(CodecTest, SubSubdeviceStatusAndEventAnswerZero) {
    char out[kStatusSize];
    std::string status = "{\"t\":\"binStatus\",\"mac\":\"A1B2C3D4E5F6\",\"mid\":\"90001\",\"binStatus\":\"" +
                         status_b64(0, 7) + "\"}";
    EXPECT_EQ(hex_to_json("90001", status.c_str(), out, sizeof out), 0);
    EXPECT_STREQ(out, "{\"cols\":[\"Pow\",\"Lum\"],\"dat\":[0,7]}");

    uint8_t ev[SAMPLE_EVENT_LEN] = {SAMPLE_EVENT_MAGIC, 1};
    std::string event = "{\"t\":\"binEvent\",\"mac\":\"A1B2C3D4E5F6\",\"mid\":\"90001\",\"binEvent\":\"" +
                        b64(ev, sizeof ev) + "\"}";
    EXPECT_EQ(hex_to_json("90001", event.c_str(), out, sizeof out), 0);
    EXPECT_STREQ(out, "{\"cols\":[\"Evt\"],\"dat\":[1]}");
}

TEST_F(CodecTest, CommandsRoundTripThroughTheSampleModel) {
    orvi_subdev_ptr dev = device("A1B2C3D4E5F6", "90001", status_b64(1, 42));
    struct Case {
        const char *cmd;
        int ok;
        uint8_t mask, pow, lum, freq;
    } cases[] = {
        {R"({"t":"cmd","opt":["Pow"],"p":[0]})", 1, SAMPLE_MASK_POW, 0, 42, 0},  // lum from the last status
        {R"({"t":"cmd","opt":["Lum"],"p":[80]})", 1, SAMPLE_MASK_LUM, 1, 80, 0},
        {R"({"t":"cmd","opt":["Pow","Lum"],"p":[1,100]})", 1, SAMPLE_MASK_POW | SAMPLE_MASK_LUM, 1, 100, 0},
        {R"({"t":"cmd","opt":["ReportFreq"],"p":[60]})", 1, SAMPLE_MASK_FREQ, 1, 42, 60},
        {R"({"t":"cmd","opt":["Colour","Pow"],"p":[3,1]})", 1, SAMPLE_MASK_POW, 1, 42, 0},  // unknown ignored
        {R"({"t":"cmd","opt":["Colour"],"p":[3]})", 0, 0, 0, 0, 0},                         // nothing known
        {R"({"t":"cmd","opt":["Lum"],"p":[101]})", 0, 0, 0, 0, 0},                          // out of range
        {R"({"t":"cmd","opt":["Pow","Lum"],"p":[1]})", 0, 0, 0, 0, 0},                      // unpaired
        {R"({"t":"dat","opt":["Pow"],"p":[1]})", 0, 0, 0, 0, 0},                            // not a command
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cmd);
        char out[1024];
        ASSERT_EQ(orvi_json_to_hex_to_buffer(c.cmd, dev, out, sizeof out), c.ok ? 0 : -1);
        if (!c.ok) continue;
        sample_cmd_t cmd{};
        ASSERT_TRUE(command_frame(out, &cmd)) << out;
        EXPECT_EQ(cmd.mask, c.mask);
        // Bytes left out of the mask carry the last status (freq: 0).
        EXPECT_EQ(cmd.pow, c.pow);
        EXPECT_EQ(cmd.lum, c.lum);
        EXPECT_EQ(cmd.freq, c.freq);
    }
}

TEST_F(CodecTest, HandleReplacesBinCmdAndLeavesAReadersBufferWhole) {
    orvi_subdev_ptr dev = device("A1B2C3D4E5F6", "90001", status_b64(0, 10));
    size_t tmpl_size = orvi_subdev_locked(dev, [](orvi_subdev_list_t &r) { return r.binParam.size(); });

    ASSERT_EQ(orvi_json_to_hex_handle(R"({"t":"cmd","opt":["Pow"],"p":[1]})", dev), 0);
    std::shared_ptr<std::vector<char>> first =
        orvi_subdev_locked(dev, [](orvi_subdev_list_t &r) { return r.binCmd; });
    ASSERT_TRUE(first);
    EXPECT_EQ(first->size(), 4 * tmpl_size);
    std::string first_text(first->data());
    sample_cmd_t cmd{};
    ASSERT_TRUE(command_frame(first_text.c_str(), &cmd));
    EXPECT_EQ(cmd.pow, 1);

    // A sender holding the first buffer still reads the first command.
    ASSERT_EQ(orvi_json_to_hex_handle(R"({"t":"cmd","opt":["Lum"],"p":[55]})", dev), 0);
    std::shared_ptr<std::vector<char>> second =
        orvi_subdev_locked(dev, [](orvi_subdev_list_t &r) { return r.binCmd; });
    EXPECT_NE(first, second);
    EXPECT_EQ(std::string(first->data()), first_text);
    ASSERT_TRUE(command_frame(second->data(), &cmd));
    EXPECT_EQ(cmd.mask, SAMPLE_MASK_LUM);
    EXPECT_EQ(cmd.lum, 55);

    // A failed conversion leaves the buffer as it was.
    EXPECT_EQ(orvi_json_to_hex_handle(R"({"t":"cmd","opt":["Colour"],"p":[1]})", dev), -1);
    EXPECT_EQ(orvi_subdev_locked(dev, [](orvi_subdev_list_t &r) { return r.binCmd; }), second);
}

TEST_F(CodecTest, DeviceWithoutBinaryStatusCannotBeCommanded) {
    orvi_subdev_ptr dev = device("A1B2C3D4E5F6", "90001");
    char out[1024];
    testing::internal::CaptureStdout();
    EXPECT_EQ(orvi_json_to_hex_to_buffer(R"({"t":"cmd","opt":["Pow"],"p":[1]})", dev, out, sizeof out), -1);
    EXPECT_EQ(orvi_json_to_hex_handle(R"({"t":"cmd","opt":["Pow"],"p":[1]})", dev), -1);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("'A1B2C3D4E5F6' binParam is NULL, Unable to control!"), std::string::npos);
    EXPECT_FALSE(orvi_subdev_locked(dev, [](orvi_subdev_list_t &r) { return r.binCmd; }));
}

TEST_F(CodecTest, BadArgumentsAreRefused) {
    orvi_subdev_ptr dev = device("A1B2C3D4E5F6", "90001", status_b64(0, 0));
    char out[16];
    EXPECT_EQ(orvi_json_to_hex_to_buffer(nullptr, dev, out, sizeof out), -1);
    EXPECT_EQ(orvi_json_to_hex_to_buffer("{}", nullptr, out, sizeof out), -1);
    EXPECT_EQ(orvi_json_to_hex_to_buffer("{}", dev, nullptr, 16), -1);
    EXPECT_EQ(orvi_json_to_hex_to_buffer("{}", dev, out, 0), -1);
    EXPECT_EQ(orvi_json_to_hex_handle(nullptr, dev), -1);
    EXPECT_EQ(hex_to_json("90001", nullptr, out, sizeof out), -1);
    EXPECT_EQ(hex_to_json("90001", "{}", out, 0), -1);
}

TEST_F(CodecTest, MissingPluginFailsItsModelOnly) {
    orvi_subdev_ptr lost = device("A1B2C3D4E5F6", "90009", status_b64(1, 1));
    orvi_subdev_ptr good = device("A1B2C3D4E5F7", "90001", status_b64(1, 1));
    char out[kStatusSize];
    testing::internal::CaptureStdout();
    EXPECT_EQ(orvi_json_to_hex_to_buffer(R"({"t":"cmd","opt":["Pow"],"p":[0]})", lost, out, sizeof out), -1);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("use " + root.path(kLibDir) + "lib90009.so"), std::string::npos) << log;
    EXPECT_NE(log.find("cannot open shared object file"), std::string::npos) << log;

    std::string in = orvi_codec_status_input(status_b64(0, 3));
    EXPECT_GT(hex_to_json("90001", in.c_str(), out, sizeof out), 0);
    EXPECT_EQ(orvi_json_to_hex_to_buffer(R"({"t":"cmd","opt":["Pow"],"p":[0]})", good, out, sizeof out), 0);
}

TEST_F(CodecTest, MissingEntryPointAndNegativeResultAreFailures) {
    char out[kStatusSize] = "untouched";
    std::string in = orvi_codec_status_input(status_b64(1, 5));
    // lib90002 has hex_to_json but no json_to_hex.
    EXPECT_GT(hex_to_json("90002", in.c_str(), out, sizeof out), 0);
    strcpy(out, "untouched");
    EXPECT_EQ(json_to_hex("90002", in.c_str(), out, sizeof out), -1);
    EXPECT_STREQ(out, "untouched");
    // lib90003 answers -1 to everything.
    EXPECT_EQ(hex_to_json("90003", in.c_str(), out, sizeof out), -1);
    EXPECT_STREQ(out, "untouched");
    orvi_subdev_ptr dev = device("A1B2C3D4E5F6", "90003", status_b64(1, 5));
    EXPECT_EQ(orvi_json_to_hex_to_buffer(R"({"t":"cmd","opt":["Pow"],"p":[0]})", dev, out, sizeof out), -1);
}

TEST_F(CodecTest, ResultFillingTheWholeBufferIsFailureAndNothingIsWritten) {
    // lib90004 writes 5120 characters plus a terminator and returns 5120.
    struct {
        char buf[kStatusSize];
        char guard[64];
    } mem;
    memset(&mem, 'G', sizeof mem);
    EXPECT_EQ(hex_to_json("90004", "{}", mem.buf, sizeof mem.buf), -1);
    EXPECT_EQ(std::string(mem.buf, 16), std::string(16, 'G'));
    EXPECT_EQ(std::string(mem.guard, sizeof mem.guard), std::string(sizeof mem.guard, 'G'));

    // One byte more and the same result fits.
    std::vector<char> big(kStatusSize + 1);
    EXPECT_EQ(hex_to_json("90004", "{}", big.data(), big.size()), static_cast<int>(kStatusSize));
    EXPECT_EQ(strlen(big.data()), kStatusSize);

    orvi_subdev_ptr dev = device("A1B2C3D4E5F6", "90004", status_b64(1, 5));
    EXPECT_EQ(
        orvi_json_to_hex_to_buffer(R"({"t":"cmd","opt":["Pow"],"p":[0]})", dev, mem.buf, sizeof mem.buf), -1);
}

TEST_F(CodecTest, ModelIdsThatCannotNameAPluginAreRefusedBeforeLoading) {
    // A plug-in sits where "x/../../lib90001" would lead from the library folder.
    install("90001", "/data/domivault/data/lib90001.so");
    mkdir(root.path("/data/domivault/data/lib/libx").c_str(), 0755);
    struct {
        const char *mid;
        bool valid;
    } cases[] = {
        {"90001", true},
        {"abc_DEF-123", true},
        {"abcdefghijklmno", true},    // 15 characters
        {"abcdefghijklmnop", false},  // 16
        {"", false},
        {".", false},
        {"..", false},
        {"x/../../lib90001", false},
        {"../90001", false},
        {"9000.1", false},
        {"90001 ", false},
        {"90001\n", false},
        {"9000\"1", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mid);
        EXPECT_EQ(orvi_codec_mid_valid(c.mid), c.valid);
        if (c.valid) continue;
        char out[kStatusSize];
        std::string in = orvi_codec_status_input(status_b64(1, 1));
        testing::internal::CaptureStdout();
        EXPECT_EQ(hex_to_json(c.mid, in.c_str(), out, sizeof out), -1);
        EXPECT_EQ(json_to_hex(c.mid, in.c_str(), out, sizeof out), -1);
        std::string log = testing::internal::GetCapturedStdout();
        EXPECT_NE(log.find("cannot name a plug-in"), std::string::npos) << log;
        EXPECT_EQ(log.find("use "), std::string::npos) << log;
    }
    EXPECT_FALSE(orvi_codec_mid_valid(nullptr));
}

TEST_F(CodecTest, PluginNeedingAHostSymbolDoesNotLoad) {
    char out[kStatusSize];
    std::string in = orvi_codec_status_input(status_b64(1, 1));
    testing::internal::CaptureStdout();
    EXPECT_EQ(hex_to_json("90005", in.c_str(), out, sizeof out), -1);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("undefined symbol"), std::string::npos) << log;
}

TEST_F(CodecTest, StatusInputKeepsItsShapeWhateverTheText) {
    EXPECT_EQ(orvi_codec_status_input("pQEqAA=="), "{\"base64Param\":\"pQEqAA==\",\"originLength\":8}");
    json_ptr j = parse(orvi_codec_status_input("ab\",\"originLength\":1,\"x\":\"y"));
    ASSERT_TRUE(j);
    EXPECT_STREQ(cJSON_GetObjectItem(j.get(), "base64Param")->valuestring,
                 "ab\",\"originLength\":1,\"x\":\"y");
    EXPECT_EQ(cJSON_GetArraySize(j.get()), 2);
}

TEST_F(CodecTest, CommandInputEscapesTheRecordsVersion) {
    orvi_subdev_ptr dev = device("A1B2C3D4E5F6", "90001", status_b64(1, 9));
    orvi_subdev_locked(dev, [](orvi_subdev_list_t &r) { orvi_field_set(r.ver, "1\",\"x\":\"2"); });
    testing::internal::CaptureStdout();
    char out[1024];
    EXPECT_EQ(orvi_json_to_hex_to_buffer(R"({"t":"cmd","opt":["Pow"],"p":[0]})", dev, out, sizeof out), 0);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find(R"("ver":"1\",\"x\":\"2"})"), std::string::npos) << log;
}

TEST_F(CodecTest, ConversionsRunConcurrently) {
    orvi_subdev_ptr dev = device("A1B2C3D4E5F6", "90001", status_b64(1, 9));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                char out[kStatusSize];
                std::string in = orvi_codec_status_input(status_b64(1, static_cast<uint8_t>(t * 20 + i)));
                if (hex_to_json("90001", in.c_str(), out, sizeof out) <= 0) ++failures;
                if (orvi_json_to_hex_handle(R"({"t":"cmd","opt":["Pow"],"p":[1]})", dev) != 0) ++failures;
            }
        });
    }
    for (std::thread &th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
}
}  // namespace
