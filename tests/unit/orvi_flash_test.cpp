#include "orvi_flash.h"

#include <cJSON.h>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <thread>

#include "identity_test_support.h"
#include "orvi_port.h"

using identity_test::IdentityBoard;
using identity_test::LogCapture;

namespace {
const char *const kBackups[] = {
    "/data/domivault/data/params_file_bk_0", "/data/domivault/data/params_file_bk_1",
    "/data/domivault/data/params_file_bk_2", "/data/domivault/data/params_file_bk_3",
    "/data/domivault/data/params_file_bk_4", "/data/domivault/data/params_file_bk_5",
    "/data/domivault/data/params_file_bk_6", "/data/domivault/data/params_file_bk_7",
    "/data/domivault/data/params_file_bk_8", "/data/domivault/data/params_file_bk_9",
    "/usr/local/etc/orvi_params_bk.json"};

int save_num(const char *key, int32_t v) {
    return orvi_info_save(key, &v, sizeof v, TYPE_NUMBER);
}
int save_str(const char *key, const std::string &v) {
    return orvi_info_save(key, v.c_str(), v.size() + 1, TYPE_STRING);
}

long long number_in(const std::string &text, const char *key) {
    cJSON *doc = cJSON_Parse(text.c_str());
    const cJSON *it = cJSON_GetObjectItemCaseSensitive(doc, key);
    long long v = cJSON_IsNumber(it) ? static_cast<long long>(it->valuedouble) : -999;
    cJSON_Delete(doc);
    return v;
}

class OrviFlash : public ::testing::Test {
  protected:
    IdentityBoard b;
    const ScratchRoot &root = b.root;

    std::string params() const { return root.read(ORVI_PARAMS_FILE); }
    void set_mtime(const char *board_path, time_t sec) const {
        struct timespec ts[2] = {{sec, 0}, {sec, 0}};
        utimensat(AT_FDCWD, root.path(board_path).c_str(), ts, 0);
    }
};
}  // namespace

TEST_F(OrviFlash, FirstSaveStartsTheFileAndEverySaveIsBackedUp) {
    ASSERT_EQ(0, save_num("homeId", 5));
    const std::string text = params();
    // The library's formatted print, "t" first, "ts" after the key.
    EXPECT_EQ(0u, text.find("{\n\t\"t\":\t\"params\",\n\t\"homeId\":\t5,\n\t\"ts\":\t")) << text;
    EXPECT_GT(number_in(text, "ts"), 1600000000);
    for (const char *bk : kBackups)
        EXPECT_EQ(text, root.read(bk)) << bk;

    ASSERT_EQ(0, save_str("homeKey", "0123456789abcdef"));
    EXPECT_EQ(params(), root.read(kBackups[0]));
    EXPECT_EQ(params(), root.read(kBackups[10]));
}

TEST_F(OrviFlash, EqualNumberStillRewritesTheStamp) {
    root.write(ORVI_PARAMS_FILE, "{\"t\":\"params\",\"homeId\":5,\"ts\":1}");
    ASSERT_EQ(0, save_num("homeId", 5));
    EXPECT_EQ(5, number_in(params(), "homeId"));
    EXPECT_GT(number_in(params(), "ts"), 1);
}

TEST_F(OrviFlash, LoadHonoursWidthAndType) {
    root.write(
        ORVI_PARAMS_FILE,
        R"({"t":"params","disport":1883,"big":70000,"homeKey":"0123456789abcdefXYZ","homeId":-7,"obj":{}})");
    struct {
        uint16_t disport;
        uint16_t nluport;
    } ports = {0, 0xBEEF};
    ASSERT_EQ(0, orvi_info_load("disport", &ports.disport, sizeof ports.disport, TYPE_NUMBER));
    EXPECT_EQ(1883, ports.disport);
    EXPECT_EQ(0xBEEF, ports.nluport) << "the neighbouring field is untouched";

    uint16_t port = 42;
    EXPECT_EQ(-1, orvi_info_load("big", &port, sizeof port, TYPE_NUMBER)) << "does not fit 16 bits";
    EXPECT_EQ(42, port);
    int32_t id = 0;
    ASSERT_EQ(0, orvi_info_load("homeId", &id, sizeof id, TYPE_NUMBER));
    EXPECT_EQ(-7, id);

    char key[17];
    ASSERT_EQ(0, orvi_info_load("homeKey", key, sizeof key, TYPE_STRING));
    EXPECT_STREQ("0123456789abcdef", key) << "cut to the width with its terminator";
    std::string whole;
    ASSERT_EQ(0, orvi_info_load_text("homeKey", whole));
    EXPECT_EQ("0123456789abcdefXYZ", whole);

    char untouched[4] = "abc";
    EXPECT_EQ(0, orvi_info_load("obj", untouched, sizeof untouched, TYPE_STRING));
    EXPECT_STREQ("abc", untouched);
    EXPECT_EQ(-1, orvi_info_load("absent", untouched, sizeof untouched, TYPE_STRING));
    EXPECT_EQ(-1, orvi_info_load(nullptr, untouched, sizeof untouched, TYPE_STRING));

    root.write(ORVI_PARAMS_FILE, "");
    EXPECT_EQ(-1, orvi_info_load("disport", &port, sizeof port, TYPE_NUMBER));
}

// A damaged file is replaced by the newest good backup (lowest index on a
// tie), at start-up and at the next save, never by an empty object.
TEST_F(OrviFlash, DamagedFileComesBackFromTheNewestGoodBackup) {
    struct Case {
        const char *name;
        std::vector<int> good;
        int newest;  // backup given a later time, -1 for none
        int want;
    } cases[] = {
        {"equal times: index 0", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, -1, 0},
        {"newest good one", {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 3, 3},
        {"damaged newest is skipped", {1, 2, 10}, 0, 1},
        {"only /usr/local/etc", {10}, -1, 10},
    };
    for (bool at_save : {false, true}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (at_save ? " (save)" : " (start-up)"));
            for (int i = 0; i <= 10; ++i) {
                bool good = std::find(c.good.begin(), c.good.end(), i) != c.good.end();
                root.write(kBackups[i],
                           good ? "{\"t\":\"params\",\"which\":" + std::to_string(i) + "}" : "{\"t\":");
                set_mtime(kBackups[i], i == c.newest ? 2000000000 : 1900000000);
            }
            root.write(ORVI_PARAMS_FILE, "\x01garbage not json");
            if (at_save)
                ASSERT_EQ(0, save_num("homeId", 9));
            else
                ASSERT_EQ(0, orvi_params_config_file_comfirm());
            EXPECT_EQ(c.want, number_in(params(), "which")) << params();
            if (at_save) {
                EXPECT_EQ(9, number_in(params(), "homeId"));
            }
            EXPECT_EQ("\x01garbage not json", root.read(ORVI_DATA_DIR "orvi_params.json.bad"));
        }
    }
}

TEST_F(OrviFlash, EmptyOrMissingFileAtStartUp) {
    // First start: no file, no backup -> an empty file.
    ASSERT_EQ(0, orvi_params_config_file_comfirm());
    EXPECT_TRUE(root.exists(ORVI_PARAMS_FILE));
    EXPECT_EQ("", params());
    // Empty file with a good backup -> the backup.
    root.write(kBackups[4], R"({"t":"params","randomkey":"k"})");
    ASSERT_EQ(0, orvi_params_config_file_comfirm());
    EXPECT_EQ(R"({"t":"params","randomkey":"k"})", params());
    // Missing file while a backup holds the identity -> the backup, not an empty file.
    unlink(root.path(ORVI_PARAMS_FILE).c_str());
    ASSERT_EQ(0, orvi_params_config_file_comfirm());
    EXPECT_EQ(R"({"t":"params","randomkey":"k"})", params());
    // Damaged file, no good backup: stays, reported.
    unlink(root.path(kBackups[4]).c_str());
    root.write(ORVI_PARAMS_FILE, "[1,2]");
    EXPECT_EQ(-1, orvi_params_config_file_comfirm());
}

TEST_F(OrviFlash, DamagedFileWithoutBackupStartsOverAtTheNextSave) {
    root.write(ORVI_PARAMS_FILE, "{\"t\":\"params\",\"home");
    ASSERT_EQ(0, save_str("homeMac", "0123456789abcdef"));
    EXPECT_EQ(0u, params().find("{\n\t\"t\":\t\"params\",\n\t\"homeMac\":"));
    EXPECT_EQ("{\"t\":\"params\",\"home", root.read(ORVI_DATA_DIR "orvi_params.json.bad"));
}

TEST_F(OrviFlash, OversizeSaveIsRefusedAndTheOldFileKept) {
    ASSERT_EQ(0, save_num("homeId", 1));
    const std::string before = params();
    LogCapture log;
    EXPECT_EQ(-1, save_str("huge", std::string(2100, 'x')));
    EXPECT_NE(std::string::npos, log.text().find("huge key save is refused"));
    EXPECT_EQ(before, params());
    EXPECT_EQ(before, root.read(kBackups[0]));
}

// The store's log lines show the file, never the secrets in it; a damaged
// file is named by its length.
TEST_F(OrviFlash, LogLinesMaskTheSecretsTheFileHolds) {
    LogCapture log;
    ASSERT_EQ(0, save_str("ssid", "home-net"));
    for (const char *key : {"homeKey", "randomkey", "Qnetkey", "mqttPsw", "redisPsw", "wifiPsw"})
        ASSERT_EQ(0, save_str(key, std::string("secret-of-") + key));
    root.write(ORVI_PARAMS_FILE, "{\"wifiPsw\":\"secret-of-damaged");
    save_str("city", "x");
    const std::string text = log.text();
    EXPECT_EQ(std::string::npos, text.find("secret-of-")) << text;
    EXPECT_NE(std::string::npos, text.find("\"wifiPsw\":\t\"******\"")) << text;
    EXPECT_NE(std::string::npos, text.find("\"ssid\":\t\"home-net\"")) << text;
    EXPECT_NE(std::string::npos, text.find("bytes that do not parse")) << text;
}

TEST_F(OrviFlash, EraseRemovesTheKeyFromFileAndBackups) {
    EXPECT_EQ(-1, orvi_info_erase("homeId")) << "no file yet";
    ASSERT_EQ(0, save_num("homeId", 1));
    ASSERT_EQ(0, save_str("homeKey", "k"));
    ASSERT_EQ(0, orvi_info_erase("homeKey"));
    EXPECT_EQ(std::string::npos, params().find("homeKey"));
    EXPECT_EQ(std::string::npos, root.read(kBackups[10]).find("homeKey"));
    EXPECT_EQ(1, number_in(params(), "homeId"));
    EXPECT_EQ(0, orvi_info_erase("homeKey")) << "an absent key is not an error";
    EXPECT_EQ(-1, orvi_info_erase(nullptr));
}

TEST_F(OrviFlash, BackupTakesOnlyAFileThatParses) {
    ASSERT_EQ(0, save_num("homeId", 1));
    const std::string good = root.read(kBackups[0]);
    root.write(ORVI_PARAMS_FILE, "{\"t\":");
    EXPECT_EQ(-1, orvi_info_backup());
    for (const char *bk : kBackups)
        EXPECT_EQ(good, root.read(bk)) << bk;
}

TEST_F(OrviFlash, ConcurrentSavesLoseNothing) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 8; ++i)
                save_num(("k" + std::to_string(t) + "_" + std::to_string(i)).c_str(), i);
        });
    }
    for (auto &th : threads)
        th.join();
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 8; ++i) {
            long long v = -1;
            EXPECT_EQ(0,
                      orvi_info_load_number(("k" + std::to_string(t) + "_" + std::to_string(i)).c_str(), v));
            EXPECT_EQ(i, v);
        }
}

// A kill -9 (or a power cut) at any moment of a save leaves a file that
// loads with every key, and start-up clears what the save left behind.
TEST_F(OrviFlash, KillDuringSaveLeavesEveryKey) {
    const std::vector<std::string> texts = {"randomkey", "mqttUser", "mqttPsw", "redisPsw",
                                            "Qnetkey",   "dishost",  "homeMac", "homeKey",
                                            "ssid",      "wifiPsw",  "domain"};
    const std::vector<std::string> numbers = {"QnetID", "disport", "homeId", "active", "nluport"};
    for (const auto &k : texts)
        ASSERT_EQ(0, save_str(k.c_str(), k + "-value"));
    for (const auto &k : numbers)
        ASSERT_EQ(0, save_num(k.c_str(), 7));

    std::mt19937 rng(std::random_device{}());
    for (int round = 0; round < 30; ++round) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int null_fd = open("/dev/null", O_WRONLY);
            dup2(null_fd, STDOUT_FILENO);
            for (int32_t i = 0; i < 100000; ++i) {
                save_num("homeId", i);
                save_str("ssid", "ssid-" + std::to_string(i));
            }
            _exit(0);
        }
        usleep(std::uniform_int_distribution<int>(0, 30000)(rng));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);

        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_EQ(0, configure_file_json_type_verify(ORVI_PARAMS_FILE)) << params();
        std::string s;
        long long n = 0;
        for (const auto &k : texts)
            EXPECT_EQ(0, orvi_info_load_text(k.c_str(), s)) << k;
        for (const auto &k : numbers)
            EXPECT_EQ(0, orvi_info_load_number(k.c_str(), n)) << k;
        for (const char *bk : kBackups)
            EXPECT_EQ(0, configure_file_json_type_verify(bk)) << bk;
    }

    ASSERT_EQ(0, orvi_params_config_file_comfirm());
    for (const char *dir : {"/data/domivault/data", "/usr/local/etc"}) {
        DIR *d = opendir(root.path(dir).c_str());
        ASSERT_NE(nullptr, d);
        while (const struct dirent *de = readdir(d))
            EXPECT_EQ(nullptr, strstr(de->d_name, ".tmp.")) << de->d_name;
        closedir(d);
    }
}

// A power cut during an older write can leave the identifier file empty or
// cut: it is restored (or regenerated), never a reason to reboot.
TEST_F(OrviFlash, DamagedIdentifierFileIsRepairedWithoutReboot) {
    const std::string copy = "020000aabb014321";
    struct Case {
        const char *name;
        std::optional<std::string> file, saved_copy;
        bool want_copy;
    } cases[] = {
        {"first start", std::nullopt, std::nullopt, false},
        {"empty, no copy", std::string(), std::nullopt, false},
        {"7 characters, no copy", std::string("020000a"), std::nullopt, false},
        {"garbage, no copy", std::string("\x01\x02zzzzzzzzzzzzzz", 16), std::nullopt, false},
        {"upper case, no copy", std::string("020000AABB011234"), std::nullopt, false},
        {"empty, copy", std::string(), copy, true},
        {"7 characters, copy", std::string("020000a"), copy, true},
        {"missing, copy", std::nullopt, copy, true},
        {"empty, copy of another board", std::string(), std::string("0a0000aabb011234"), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        unlink(root.path(ORVI_MAC_FILE).c_str());
        unlink(root.path(ORVI_MAC_FILE_BK).c_str());
        if (c.file) root.write(ORVI_MAC_FILE, *c.file);
        if (c.saved_copy) root.write(ORVI_MAC_FILE_BK, *c.saved_copy);
        root.clear_commands();
        LogCapture log;
        const int rc = orvi_flash_init();
        const std::string logs = log.text();
        ASSERT_EQ(0, rc) << logs;

        const std::string id = root.read(ORVI_MAC_FILE);
        EXPECT_TRUE(orvi_host_id_valid(id)) << id;
        EXPECT_EQ("020000aabb01", id.substr(0, 12));
        if (c.want_copy) {
            EXPECT_EQ(copy, id);
        }
        EXPECT_EQ(id, root.read(ORVI_MAC_FILE_BK)) << "the copy follows the file";
        EXPECT_FALSE(b.ran("reboot"));
        if (c.file && !c.want_copy) {
            EXPECT_NE(std::string::npos, logs.find("HOST IDENTITY CHANGED")) << logs;
        }
    }
    // A valid file is left exactly as it is.
    root.write(ORVI_MAC_FILE, "0123456789ab0042");
    ASSERT_EQ(0, orvi_mac_file_verify());
    EXPECT_EQ("0123456789ab0042", root.read(ORVI_MAC_FILE));
}

TEST_F(OrviFlash, IdentifierWithoutReadableMac) {
    b.state("eth0_mac", "");
    EXPECT_EQ(-1, orvi_mac_file_verify()) << "nothing to build an identifier from";
    EXPECT_FALSE(root.exists(ORVI_MAC_FILE));
    // The copy is still good when the MAC cannot be read to contradict it.
    root.write(ORVI_MAC_FILE_BK, "020000aabb014321");
    EXPECT_EQ(0, orvi_mac_file_verify());
    EXPECT_EQ("020000aabb014321", root.read(ORVI_MAC_FILE));
}

namespace {
int g_regenerated = 0;
int count_regeneration(void) {
    ++g_regenerated;
    return 0;
}
}  // namespace

// The factory reset clears the store, then runs the credential generator it
// was given (start-up gives it identity's); without one it says so and fails.
TEST_F(OrviFlash, FactoryResetRunsTheGeneratorItWasGiven) {
    ASSERT_EQ(0, save_str("homeKey", "0123456789abcdef"));
    g_regenerated = 0;
    orvi_info_set_credentials_reset(count_regeneration);
    EXPECT_EQ(0, orvi_info_clear());
    EXPECT_EQ(1, g_regenerated);
    EXPECT_FALSE(root.exists(ORVI_PARAMS_FILE));

    ASSERT_EQ(0, save_str("homeKey", "0123456789abcdef"));
    orvi_info_set_credentials_reset(nullptr);
    EXPECT_EQ(-1, orvi_info_clear());
    EXPECT_FALSE(root.exists(ORVI_PARAMS_FILE)) << "the store is cleared all the same";
    EXPECT_EQ(1, g_regenerated);
    orvi_info_set_credentials_reset(reset_host_randomkey_psw);  // as start-up wires it
}

TEST(OrviFlashFiles, SaveAndReadFile) {
    IdentityBoard b;
    EXPECT_EQ("", read_file("/tmp/none"));
    ASSERT_EQ(0, save_file("/tmp/t.json", "{\"a\":1}"));
    EXPECT_EQ("{\"a\":1}", read_file("/tmp/t.json"));
    EXPECT_EQ(-1, save_file("/no/such/dir/x", "y"));
}
