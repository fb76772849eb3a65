#include "orvi_product.h"

#include <cJSON.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "identity_test_support.h"
#include "orvi_main_registry.h"
#include "orvi_field.h"
#include "orvi_flash.h"
#include "orvi_testing.h"
#include "orvi_utils.h"

using identity_test::IdentityBoard;
using identity_test::LogCapture;

namespace {
std::string string_in(const std::string &text, const char *key) {
    cJSON *doc = cJSON_Parse(text.c_str());
    const cJSON *it = cJSON_GetObjectItemCaseSensitive(doc, key);
    std::string v = cJSON_IsString(it) ? it->valuestring : "<absent>";
    cJSON_Delete(doc);
    return v;
}

long long number_in(const std::string &text, const char *key) {
    cJSON *doc = cJSON_Parse(text.c_str());
    const cJSON *it = cJSON_GetObjectItemCaseSensitive(doc, key);
    long long v = cJSON_IsNumber(it) ? static_cast<long long>(it->valuedouble) : -999;
    cJSON_Delete(doc);
    return v;
}

bool all_of(const std::string &s, int (*pred)(int)) {
    for (char c : s)
        if (!pred(static_cast<unsigned char>(c))) return false;
    return true;
}
int is_upper_hex(int c) {
    return isdigit(c) || (c >= 'A' && c <= 'F');
}

const char kConfigs[] = "/data/domivault/configs";
const char kPasswd[] = "/data/domivault/configs/mqtt_passwd";
const char kRedisConf[] = "/data/domivault/configs/redis.conf";

// Names in a host folder, sorted.
std::vector<std::string> names_in(const std::string &dir) {
    std::vector<std::string> out;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") out.push_back(n);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// A small tmpfs over a host folder while it lives, holding the folder's
// former files; fill() takes every free byte, free_space() gives them back.
class SmallTmpfs {
  public:
    explicit SmallTmpfs(const std::string &dir) : dir_(dir) {
        std::map<std::string, std::string> files;
        for (const auto &n : names_in(dir)) {
            std::ifstream f(dir + "/" + n, std::ios::binary);
            std::stringstream ss;
            ss << f.rdbuf();
            files[n] = ss.str();
        }
        if (mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0) {
            why_ = std::string("mount tmpfs: ") + strerror(errno);
            return;
        }
        mounted_ = true;
        for (const auto &f : files)
            std::ofstream(dir + "/" + f.first, std::ios::binary) << f.second;
    }
    ~SmallTmpfs() {
        if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
    }
    SmallTmpfs(const SmallTmpfs &) = delete;
    SmallTmpfs &operator=(const SmallTmpfs &) = delete;

    bool mounted() const { return mounted_; }
    const std::string &why() const { return why_; }
    // True once a write has met "no space left".
    bool fill() const {
        int fd = open((dir_ + "/filler").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        const std::string block(4096, 'f');
        for (;;) {
            ssize_t w = write(fd, block.data(), block.size());
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) break;
        }
        const bool full = errno == ENOSPC;
        close(fd);
        return full;
    }
    void free_space() const { unlink((dir_ + "/filler").c_str()); }

  private:
    std::string dir_;
    std::string why_;
    bool mounted_ = false;
};

class OrviProduct : public ::testing::Test {
  protected:
    IdentityBoard b;
    const ScratchRoot &root = b.root;

    OrviProduct() {
        identity_test::reset_registry_fields();
        // The image's broker and Redis configurations.
        root.write("/etc/mosquitto.conf",
                   "listener 1883\npassword_file /data/domivault/configs/mqtt_passwd\n");
        root.write("/etc/redis.conf", "bind 127.0.0.1\n");
    }

    // main's steps 5 and 10 (with start-up's hand-over to the registry).
    int start() {
        if (orvi_flash_init() != 0) return -1;
        orvi_dev_info_t info{};
        orvi_dev_info_defaults(&info);
        if (product_set_info(&info) != 0) return -1;
        return orvi_registry_start();
    }
    std::string params() const { return root.read(ORVI_PARAMS_FILE); }
    // Marks the stored file so a test can see whether it was rewritten.
    void stamp_file() const {
        cJSON *doc = cJSON_Parse(params().c_str());
        cJSON_ReplaceItemInObjectCaseSensitive(doc, "ts", cJSON_CreateNumber(1));
        char *text = cJSON_Print(doc);
        root.write(ORVI_PARAMS_FILE, text);
        cJSON_free(text);
        cJSON_Delete(doc);
    }
};
}  // namespace

TEST_F(OrviProduct, FirstStartCreatesTheIdentifierAndTheCredentials) {
    ASSERT_EQ(0, orvi_flash_init());
    const std::string id = root.read(ORVI_MAC_FILE);
    EXPECT_TRUE(orvi_host_id_valid(id)) << id;
    EXPECT_EQ("020000aabb01", id.substr(0, 12));
    EXPECT_TRUE(root.exists(ORVI_PARAMS_FILE));
    EXPECT_EQ("", params()) << "an empty configuration file until the first save";

    root.write("/etc/mosquitto.conf", "listener 1883\n");
    root.write("/etc/redis.conf", "bind 127.0.0.1");
    orvi_dev_info_t info{};
    orvi_dev_info_defaults(&info);
    ASSERT_EQ(0, product_set_info(&info));

    const std::string text = params();
    EXPECT_EQ("params", string_in(text, "t"));
    EXPECT_GT(number_in(text, "ts"), 1600000000);
    const std::string key = string_in(text, "randomkey");
    EXPECT_EQ(16u, key.size());
    EXPECT_TRUE(all_of(key, isalnum)) << key;
    EXPECT_EQ(id, string_in(text, "mqttUser"));
    const std::string psw = string_in(text, "mqttPsw");
    EXPECT_EQ(32u, psw.size());
    EXPECT_TRUE(all_of(psw, is_upper_hex)) << psw;
    EXPECT_EQ(psw, string_in(text, "redisPsw"));

    EXPECT_EQ(key, product_get_random_key());
    EXPECT_EQ(id, product_get_host_mac_str());
    EXPECT_EQ(id, product_get_mqttuser());
    EXPECT_EQ(psw, product_get_mqttpsw());
    EXPECT_EQ(psw, product_get_redispsw());
    EXPECT_EQ("1.0.3", product_get_hidver());
    EXPECT_EQ(ORVI_FIRMWARE_ID, product_get_hid());
    EXPECT_EQ(ORVI_DEFAULT_KEY, product_get_default_key());
    EXPECT_EQ("V3.2.MF", product_get_protocol_ver());
    EXPECT_EQ("70502", product_get_mid_str());
    EXPECT_EQ("70502_01", product_get_homeHost_mid_str());
    EXPECT_EQ("1", product_get_version());
    EXPECT_EQ("192.168.1.10", product_get_LwIP_ip());
    uint8_t mac[6];
    product_get_host_mac(mac);
    const uint8_t want_mac[6] = {0x02, 0x00, 0x00, 0xaa, 0xbb, 0x01};
    EXPECT_EQ(0, memcmp(want_mac, mac, 6));
    EXPECT_EQ(0, product_get_match_status()) << "no Qnetkey: not paired";

    // Broker and Redis configurations. The password tool works on a copy
    // of the password file, which then replaces the real one.
    const std::string passwd = root.path(kPasswd);
    EXPECT_TRUE(b.ran("mosquitto_passwd -b " + passwd + ".tmp."));
    EXPECT_EQ(id + ":$7$101$stand-in-" + psw + "\n", root.read(kPasswd));
    EXPECT_TRUE(b.ran("systemctl restart mosquitto"));
    EXPECT_TRUE(b.ran("systemctl restart redis"));
    EXPECT_EQ("listener 1883\n", root.read("/data/domivault/configs/mosquitto.conf"));
    EXPECT_EQ("bind 127.0.0.1\nrequirepass " + psw + "\n", root.read(kRedisConf));
    EXPECT_EQ((std::vector<std::string>{"mosquitto.conf", "mqtt_passwd", "redis.conf"}),
              names_in(root.path(kConfigs)))
        << "no temporary file is left behind";
    EXPECT_FALSE(b.ran("reboot"));
}

TEST_F(OrviProduct, SecondStartGeneratesNothing) {
    ASSERT_EQ(0, start());
    const std::string first = params();
    root.clear_commands();

    LogCapture log;
    const int rc = start();
    const std::string logs = log.text();
    ASSERT_EQ(0, rc);
    EXPECT_EQ(first, params());
    EXPECT_NE(std::string::npos, logs.find("mqttUser is already exists! -> " + string_in(first, "mqttUser")));
    // The keys and passwords are named, never shown: not here, not in the
    // store's own lines.
    for (const std::string key : {"randomkey", "mqttPsw", "redisPsw"}) {
        EXPECT_NE(std::string::npos, logs.find(key + " is already exists! -> ******")) << key;
        EXPECT_EQ(std::string::npos, logs.find(string_in(first, key.c_str()))) << key;
    }
    EXPECT_FALSE(b.ran("mosquitto_passwd"));
    EXPECT_FALSE(b.ran("systemctl"));
    EXPECT_EQ(string_in(first, "randomkey"), product_get_random_key());
}

TEST_F(OrviProduct, StartLoadsTheStoredSettings) {
    root.write(ORVI_MAC_FILE, "020000aabb010042");
    root.write(ORVI_PARAMS_FILE,
               R"({"t":"params","randomkey":"AAAABBBBCCCCDDDD","mqttUser":"020000aabb010042",
        "mqttPsw":"P","redisPsw":"P","Qnetkey":"1a2b3c4d","QnetID":305419896,"dishost":"dis.example.net",
        "disport":1883,"nluhost":"nlu.example.net","nluport":8883,"nluinfo_flag":1,"homeId":77,
        "homeMac":"0a0b0c0d0e0f0001","homeKey":"homekey123456789","active":1,"domain":"api.example.net",
        "province":"P1","city":"C1","lng":"120.1","lat":"30.2","orderID":"O-1","ssid":"home wifi; reboot",
        "wifiPsw":"pa'ss","ts":1})");
    ASSERT_EQ(0, start());
    EXPECT_EQ("1a2b3c4d", product_get_Qnetkey());
    EXPECT_EQ(1, product_get_match_status());
    EXPECT_EQ("1a2b3c4d", product_get_host_info_qnetkey());
    EXPECT_NE(nullptr, product_get_linking_list(DEV_TYPE_CAN));
    EXPECT_NE(nullptr, product_get_linking_list(DEV_TYPE_485));
    EXPECT_NE(nullptr, product_get_linking_list(0));
    EXPECT_EQ(305419896u, product_get_QnetID());
    EXPECT_EQ("dis.example.net", product_get_dis_host());
    EXPECT_EQ(1883, product_get_dis_port());
    EXPECT_EQ("nlu.example.net", product_get_nlu_host());
    EXPECT_EQ(8883, product_get_nlu_port());
    EXPECT_EQ(1, product_get_nluinfo_flag());
    EXPECT_EQ(77, product_get_homeId());
    EXPECT_EQ("0a0b0c0d0e0f0001", product_get_mac_str());
    EXPECT_EQ("homekey123456789", product_get_home_key());
    EXPECT_EQ(1, product_get_active_status());
    EXPECT_EQ("api.example.net", product_get_APIDomain());
    EXPECT_EQ("P1", product_get_province());
    EXPECT_EQ("C1", product_get_city());
    EXPECT_EQ("120.1", product_get_lng());
    EXPECT_EQ("30.2", product_get_lat());
    EXPECT_EQ("O-1", product_get_orderID());
    EXPECT_EQ("home wifi; reboot", product_get_ssid());
    EXPECT_EQ("pa'ss", product_get_wifiPsw());
    EXPECT_FALSE(b.ran("mosquitto_passwd"));
}

// After provisioning the file holds little more than the credentials. Each
// field the merge may leave as it was, and each field nothing loads, must
// come out defined however the caller's record started.
TEST_F(OrviProduct, DefaultsDefineEveryFieldTheFileLacks) {
    root.write(ORVI_MAC_FILE, "020000aabb010042");
    root.write(ORVI_PARAMS_FILE,
               R"({"t":"params","randomkey":"AAAABBBBCCCCDDDD","mqttUser":"020000aabb010042",
        "mqttPsw":"P","redisPsw":"P","ts":1})");
    orvi_dev_info_t info;
    memset(&info, 0xA5, sizeof info);  // what an uninitialised record may hold
    orvi_dev_info_defaults(&info);
    ASSERT_EQ(0, orvi_flash_init());
    ASSERT_EQ(0, product_set_info(&info));

    orvi_dev_info_t got{};
    ASSERT_EQ(0, product_get_info(&got));
    const struct {
        const char *field;
        std::string value;
    } texts[] = {
        {"Qnetkey", product_get_Qnetkey()},
        {"dishost", product_get_dis_host()},
        {"nluhost", product_get_nlu_host()},
        {"homeMac", product_get_mac_str()},
        {"homeKey", product_get_home_key()},
        {"province", product_get_province()},
        {"city", product_get_city()},
        {"domain", product_get_APIDomain()},
        {"lng", product_get_lng()},
        {"lat", product_get_lat()},
        {"orderID", product_get_orderID()},
        {"ssid", product_get_ssid()},
        {"wifiPsw", product_get_wifiPsw()},
        {"tcphost", product_get_tcp_host()},
        {"dathost", product_get_dat_host()},
        {"reportclientID", product_get_reportclientID()},
        {"bssid_str", product_get_bssid_str()},
        {"product_name", product_get_product_name()},
        {"ble_mac_str", std::string(orvi_field_view(got.ble_mac_str))},
        {"systime", std::string(orvi_field_view(got.systime))},
    };
    for (const auto &t : texts)
        EXPECT_EQ("", t.value) << t.field;
    const struct {
        const char *field;
        long long value;
    } numbers[] = {
        {"active", product_get_active_status()},
        {"homeId", product_get_homeId()},
        {"disport", product_get_dis_port()},
        {"nluport", product_get_nlu_port()},
        {"nluinfo_flag", product_get_nluinfo_flag()},
        {"QnetID", product_get_QnetID()},
        {"is_matched", product_get_match_status()},
        {"mid", product_get_mid()},
        {"MidType", product_get_MidType()},
        {"tcpport", product_get_tcp_port()},
        {"datport", product_get_dat_port()},
        {"server_state", product_get_server_state()},
        {"ReportFreq", product_get_ReportFreq()},
        {"server_time_enable", product_get_server_time_enable()},
        {"time_calibration", product_get_time_calibration()},
        {"tovraCnt", product_get_tovraCnt()},
        {"is_connected", product_get_net_status()},
        {"lock", got.lock},
        {"hostRestoreStatus", got.hostRestoreStatus ? 1 : 0},
    };
    for (const auto &n : numbers)
        EXPECT_EQ(0, n.value) << n.field;
    // The built-in defaults are still there.
    EXPECT_EQ(ORVI_FIRMWARE_ID, product_get_hid());
    EXPECT_EQ(ORVI_DEFAULT_KEY, product_get_default_key());
    EXPECT_EQ("V3.2.MF", product_get_protocol_ver());
    EXPECT_EQ("70502", product_get_mid_str());
    EXPECT_EQ("70502_01", product_get_homeHost_mid_str());
    EXPECT_EQ("1", product_get_version());
}

TEST_F(OrviProduct, PersistingSettersSaveOnlyChangesAndRefuseBadText) {
    ASSERT_EQ(0, start());
    struct Case {
        const char *key;
        int (*set)(const char *);
        std::string (*get)(void);
        size_t width;
        bool empty_allowed;
    } cases[] = {
        {"homeKey", product_set_home_key, product_get_home_key, 17, false},
        {"homeMac", product_set_mac_str, product_get_mac_str, 17, false},
        {"Qnetkey", product_set_Qnetkey, product_get_Qnetkey, 9, true},
        {"domain", product_set_APIDomain, product_get_APIDomain, 64, false},
        {"province", product_set_province, product_get_province, 64, false},
        {"city", product_set_city, product_get_city, 64, false},
        {"lng", product_set_lng, product_get_lng, 64, false},
        {"lat", product_set_lat, product_get_lat, 64, false},
        {"orderID", product_set_orderID, product_get_orderID, 64, false},
        {"ssid", product_set_ssid, product_get_ssid, 128, false},
        {"wifiPsw", product_set_wifiPsw, product_get_wifiPsw, 128, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.key);
        const std::string full(c.width - 1, 'k');  // fills the field exactly
        ASSERT_EQ(0, c.set(full.c_str()));
        EXPECT_EQ(full, c.get());
        EXPECT_EQ(full, string_in(params(), c.key));

        stamp_file();
        EXPECT_EQ(0, c.set(full.c_str()));
        EXPECT_EQ(1, number_in(params(), "ts")) << "an unchanged value is not saved";

        // One character too many: refused whole, never cut into another value.
        EXPECT_EQ(-1, c.set((full + "X").c_str()));
        EXPECT_EQ(full, c.get());
        EXPECT_EQ(1, number_in(params(), "ts"));
        if (!c.empty_allowed) {
            EXPECT_EQ(-1, c.set(""));
            EXPECT_EQ(-1, c.set(nullptr));
            EXPECT_EQ(full, c.get());
            EXPECT_EQ(1, number_in(params(), "ts")) << "an empty text saves nothing";
        }
    }
}

// Racing setters of one key: whatever order they finish in, the file ends
// with the value memory holds.
TEST_F(OrviProduct, RacingSettersLeaveFileEqualToMemory) {
    ASSERT_EQ(0, start());
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 6; ++i) {
                const std::string v = "net-" + std::to_string(t) + "-" + std::to_string(i);
                product_set_ssid(v.c_str());
                product_set_homeId(t * 100 + i);
            }
        });
    }
    for (auto &th : threads)
        th.join();
    EXPECT_EQ(product_get_ssid(), string_in(params(), "ssid"));
    EXPECT_EQ(product_get_homeId(), number_in(params(), "homeId"));
}

TEST_F(OrviProduct, NumberSettersAndServerInfo) {
    ASSERT_EQ(0, start());
    ASSERT_EQ(0, product_set_homeId(12));
    ASSERT_EQ(0, product_set_active_status(1));
    ASSERT_EQ(0, product_set_QnetID(0xFFFFFFF0u));
    ASSERT_EQ(0, product_set_dis_server_info("dis.example.net", 1883));
    EXPECT_EQ(12, number_in(params(), "homeId"));
    EXPECT_EQ(1, number_in(params(), "active"));
    EXPECT_EQ("dis.example.net", string_in(params(), "dishost"));
    EXPECT_EQ(1883, number_in(params(), "disport"));

    // The 32-bit QnetID survives the round trip through the file.
    orvi_dev_info_t info{};
    orvi_dev_info_defaults(&info);
    identity_test::reset_registry_fields();
    ASSERT_EQ(0, product_set_info(&info));
    EXPECT_EQ(0xFFFFFFF0u, product_get_QnetID());
    EXPECT_EQ(12, product_get_homeId());
}

TEST_F(OrviProduct, NluServerRule) {
    ASSERT_EQ(0, start());
    ASSERT_EQ(0, product_set_nlu_server_info("nlu.example.net", 0));
    EXPECT_EQ("nlu.example.net", string_in(params(), "nluhost"));
    EXPECT_EQ(0, product_get_nluinfo_flag()) << "no port: not from the distribution server";

    ASSERT_EQ(0, product_set_nlu_server_info("nlu2.example.net", 8883));
    EXPECT_EQ(1, product_get_nluinfo_flag());
    EXPECT_EQ(1, number_in(params(), "nluinfo_flag"));
    EXPECT_EQ(8883, number_in(params(), "nluport"));

    LogCapture log;
    const int rc = product_set_nlu_server_info(nullptr, 9999);
    const std::string logs = log.text();
    EXPECT_EQ(0, rc);
    EXPECT_NE(std::string::npos, logs.find("nluinfo has been gotten from dis server"));
    EXPECT_EQ(8883, product_get_nlu_port());
    EXPECT_EQ("nlu2.example.net", product_get_nlu_host());
}

TEST_F(OrviProduct, MemorySetters) {
    ASSERT_EQ(0, start());
    const std::string before = params();
    product_set_mid(0x70502);
    EXPECT_EQ(0x70502u, product_get_mid());
    EXPECT_EQ("70502", product_get_mid_str());
    product_set_dev_protocol_ver(0x32);
    EXPECT_EQ("32", product_get_protocol_ver());
    const uint8_t bssid[6] = {0xAA, 0x01, 0x02, 0x03, 0x04, 0xFF};
    product_set_bssid_str(bssid);
    EXPECT_EQ("aa01020304ff", product_get_bssid_str());
    EXPECT_EQ(-1, product_set_mid_str("123456789"));
    EXPECT_EQ("70502", product_get_mid_str());
    EXPECT_EQ(0, product_set_tcp_server_info("tcp.example.net", 7000));
    EXPECT_EQ("tcp.example.net", product_get_tcp_host());
    EXPECT_EQ(7000, product_get_tcp_port());
    product_set_net_status(1);
    EXPECT_EQ(1, product_get_net_status());
    product_set_resotre_status(true);
    EXPECT_TRUE(product_get_resotre_status());
    product_set_match_status(3);
    EXPECT_EQ(3, product_get_match_status());
    EXPECT_EQ(before, params()) << "memory-only setters never write the file";
}

TEST_F(OrviProduct, AddressesFromIfconfig) {
    ASSERT_EQ(0, product_set_LwIP_ip(true));
    EXPECT_EQ("192.168.1.10", product_get_LwIP_ip());
    b.state("eth0_ip", "");
    EXPECT_EQ(-1, product_set_LwIP_ip(true));
    EXPECT_EQ("", product_get_LwIP_ip()) << "a lost address is not kept";
    EXPECT_EQ(-1, product_set_LwIP_ip(false)) << "no wlan0";

    b.state("eth0_mac", "02:00:00:AA:BB:0");  // cut short
    EXPECT_EQ(-1, product_set_mac());
    b.state("eth0_mac", "0A:1B:2C:3D:4E:5F");
    ASSERT_EQ(0, product_set_mac());
    EXPECT_EQ("0a1b2c3d4e5f", product_get_host_mac_str());
}

TEST_F(OrviProduct, ResetMakesNewCredentials) {
    ASSERT_EQ(0, start());
    const std::string old_key = product_get_random_key(), old_psw = product_get_mqttpsw();
    root.clear_commands();
    ASSERT_EQ(0, reset_host_randomkey_psw());
    EXPECT_NE(old_key, product_get_random_key());
    EXPECT_NE(old_psw, product_get_mqttpsw());
    EXPECT_EQ(product_get_random_key(), string_in(params(), "randomkey"));
    EXPECT_EQ(product_get_mqttpsw(), string_in(params(), "redisPsw"));
    EXPECT_TRUE(b.ran("mosquitto_passwd -b"));
    EXPECT_TRUE(b.ran("systemctl restart redis"));
}

TEST_F(OrviProduct, FactoryResetClearsStateAndMakesNewCredentials) {
    ASSERT_EQ(0, start());
    const std::string old_key = product_get_random_key();
    create_directories("/home/root/restore");
    create_directories("/home/root/backup");
    const char *const state[] = {"/data/domivault/data/configStatus_1",
                                 "/home/root/restore/r",
                                 "/home/root/backup/b",
                                 "/data/domivault/data/host.rdb",
                                 "/data/domivault/data/mosquitto.db",
                                 "/data/domivault/data/orvi_params.json.bad"};
    for (const char *f : state)
        root.write(f, "x");
    root.clear_commands();
    ASSERT_EQ(0, orvi_info_clear());
    for (const char *f : state)
        EXPECT_FALSE(root.exists(f)) << f;
    EXPECT_TRUE(b.ran("systemctl stop mosquitto"));
    EXPECT_TRUE(b.ran("systemctl stop redis"));
    // The next save started a new file holding only the fresh credentials.
    const std::string text = params();
    EXPECT_EQ("params", string_in(text, "t"));
    EXPECT_NE(old_key, string_in(text, "randomkey"));
    EXPECT_EQ("<absent>", string_in(text, "homeKey"));
    EXPECT_EQ(text, root.read("/data/domivault/data/params_file_bk_3"))
        << "the backups hold the new file only";
    EXPECT_EQ(product_get_host_mac_str(), root.read(ORVI_MAC_FILE)) << "the identifier survives";
}

// A step that cannot put its password in place restarts nothing, leaves
// the files in force as they were and saves nothing, so the next start makes
// the credential again. The password tool's exit status is not taken on
// trust: its file must hold the user's entry.
TEST_F(OrviProduct, BrokenCredentialStepLeavesItsServiceAsItWas) {
    ASSERT_EQ(0, start());
    const std::string image_mosquitto = root.read("/etc/mosquitto.conf");
    const std::string image_redis = root.read("/etc/redis.conf");
    const std::vector<std::string> files = names_in(root.path(kConfigs));
    const struct {
        const char *what;
        const char *tool_state;  // of the password tool
        const char *image_gone;  // an image file missing, or null
        bool broker_done;
    } cases[] = {
        {"password tool fails", "fail", nullptr, false},
        {"password tool loses the entry", "lose", nullptr, false},
        {"no broker configuration in the image", "ok", "/etc/mosquitto.conf", false},
        {"no Redis configuration in the image", "ok", "/etc/redis.conf", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        root.write("/etc/mosquitto.conf", image_mosquitto);
        root.write("/etc/redis.conf", image_redis);
        const std::string passwd_before = root.read(kPasswd);
        const std::string redis_before = root.read(kRedisConf);
        ASSERT_EQ(0, orvi_info_erase("mqttPsw"));
        ASSERT_EQ(0, orvi_info_erase("redisPsw"));
        b.state("mosquitto_passwd", c.tool_state);
        if (c.image_gone) unlink(root.path(c.image_gone).c_str());
        root.clear_commands();

        ASSERT_EQ(0, start());
        EXPECT_EQ(c.broker_done, b.ran("systemctl restart mosquitto"));
        EXPECT_FALSE(b.ran("systemctl restart redis"));
        if (!c.broker_done) {
            EXPECT_EQ(passwd_before, root.read(kPasswd));
            EXPECT_EQ("<absent>", string_in(params(), "mqttPsw"));
        }
        EXPECT_EQ(redis_before, root.read(kRedisConf));
        EXPECT_EQ("<absent>", string_in(params(), "redisPsw"));
        EXPECT_EQ(files, names_in(root.path(kConfigs))) << "no temporary file is left behind";
    }

    // All is well again; a copy left by a step cut short (power cut) goes.
    root.write("/etc/mosquitto.conf", image_mosquitto);
    root.write("/etc/redis.conf", image_redis);
    ASSERT_EQ(0, orvi_info_erase("mqttPsw"));
    root.write(std::string(kPasswd) + ".tmp.1.0", "");
    root.clear_commands();
    ASSERT_EQ(0, start());
    const std::string psw = string_in(params(), "mqttPsw");
    ASSERT_EQ(32u, psw.size());
    EXPECT_EQ(product_get_host_mac_str() + ":$7$101$stand-in-" + psw + "\n", root.read(kPasswd));
    EXPECT_EQ(image_redis + "requirepass " + psw + "\n", root.read(kRedisConf));
    EXPECT_EQ(psw, string_in(params(), "redisPsw"));
    EXPECT_TRUE(b.ran("systemctl restart mosquitto"));
    EXPECT_TRUE(b.ran("systemctl restart redis"));
    EXPECT_EQ(files, names_in(root.path(kConfigs)));
}

// A full configs folder: nothing is restarted, the configurations in force
// stay whole, and the credential is not saved, so that once space is freed
// the next start completes the step.
TEST_F(OrviProduct, FullConfigsFolderRestartsNothingUntilSpaceIsFreed) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs over the configs folder needs root";
    ASSERT_EQ(0, start());
    SmallTmpfs folder(root.path(kConfigs));
    if (!folder.mounted()) GTEST_SKIP() << folder.why();
    const std::vector<std::string> files = names_in(root.path(kConfigs));

    // The credentials a start must make again, and the services that takes.
    const struct {
        std::vector<const char *> lost;
        std::vector<const char *> restarted;
    } cases[] = {
        {{"mqttPsw", "redisPsw"}, {"mosquitto", "redis"}},
        {{"redisPsw"}, {"redis"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.lost.front());
        std::map<std::string, std::string> before;
        for (const auto &f : files)
            before[f] = root.read(std::string(kConfigs) + "/" + f);
        for (const char *key : c.lost)
            ASSERT_EQ(0, orvi_info_erase(key));

        ASSERT_TRUE(folder.fill());
        root.clear_commands();
        ASSERT_EQ(0, start());
        EXPECT_FALSE(b.ran("systemctl")) << "nothing restarted";
        for (const auto &f : before)
            EXPECT_EQ(f.second, root.read(std::string(kConfigs) + "/" + f.first)) << f.first;
        for (const char *key : c.lost)
            EXPECT_EQ("<absent>", string_in(params(), key)) << key;
        std::vector<std::string> with_filler = files;
        with_filler.push_back("filler");
        std::sort(with_filler.begin(), with_filler.end());
        EXPECT_EQ(with_filler, names_in(root.path(kConfigs))) << "no temporary file is left behind";

        folder.free_space();
        root.clear_commands();
        ASSERT_EQ(0, start());
        for (const char *unit : c.restarted)
            EXPECT_TRUE(b.ran(std::string("systemctl restart ") + unit)) << unit;
        const std::string psw = string_in(params(), "mqttPsw");
        ASSERT_EQ(32u, psw.size());
        EXPECT_EQ(psw, string_in(params(), "redisPsw"));
        EXPECT_EQ(product_get_host_mac_str() + ":$7$101$stand-in-" + psw + "\n", root.read(kPasswd));
        const std::string redis_conf = root.read(kRedisConf);
        const std::string tail = "requirepass " + psw + "\n";
        EXPECT_TRUE(redis_conf.size() >= tail.size() &&
                    redis_conf.compare(redis_conf.size() - tail.size(), tail.size(), tail) == 0)
            << redis_conf;
        EXPECT_EQ(files, names_in(root.path(kConfigs)));
    }
}

TEST_F(OrviProduct, SystemTimeIsCheckedQuotedAndVerified) {
    std::string t = "2024-02-28 20:30:00";
    ASSERT_EQ(0, product_set_systime(t, 8));
    EXPECT_EQ("2024-02-29 04:30:00", t) << "shifted by the zone offset, written back";
    EXPECT_EQ("2024-02-29 04:30:00", root.read("/vboard/state/clock")) << "one argument, whole";
    const auto cmds = root.commands();
    ASSERT_EQ(4u, cmds.size());
    EXPECT_EQ("timedatectl set-ntp false", cmds[0]);
    EXPECT_EQ("timedatectl set-time 2024-02-29 04:30:00", cmds[1]);
    EXPECT_EQ("timedatectl status", cmds[2]);
    EXPECT_EQ("timedatectl set-ntp true", cmds[3]);

    // The clock did not take the time: failure, and NTP is switched back on.
    b.state("timedatectl_status", "      Local time: Thu 2020-01-01 00:00:00 UTC\n");
    root.clear_commands();
    t = "2024-03-01 10:00:00";
    EXPECT_EQ(-1, product_set_systime(t, 0));
    EXPECT_TRUE(b.ran("timedatectl set-ntp true"));
}

TEST_F(OrviProduct, BadTimeTextRunsNothing) {
    const char *bad[] = {
        "2024-13-01 00:00:00",    "2023-02-29 00:00:00",
        "2024-04-31 00:00:00",    "2024-01-01 24:00:00",
        "2024-01-01 00:60:00",    "2024-01-01T00:00:00",
        "2024-1-01 00:00:00",     "2024-01-01 00:00:00; reboot",
        "2024-01-01 '$(reboot)'", "",
        "1969-12-31 23:59:59",    "+024-01-01 00:00:00",
    };
    for (const char *text : bad) {
        std::string t = text;
        EXPECT_EQ(-2, product_set_systime(t, 0)) << text;
        EXPECT_EQ(text, t) << "the caller's text is left alone";
    }
    std::string t = "2024-01-01 00:00:00";
    EXPECT_EQ(-2, product_set_systime(t, 15)) << "no such zone";
    EXPECT_TRUE(root.commands().empty());
}

TEST_F(OrviProduct, SystemTimeReadBack) {
    const std::string now = product_get_systime();
    ASSERT_EQ(19u, now.size()) << now;
    for (size_t i = 0; i < now.size(); ++i) {
        const char want = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : '0';
        if (want == '0')
            EXPECT_TRUE(isdigit(static_cast<unsigned char>(now[i]))) << now;
        else
            EXPECT_EQ(want, now[i]) << now;
    }
}

namespace {
std::atomic<int> g_calibrated_calls{0};
}  // namespace

TEST_F(OrviProduct, CalibrationStates) {
    // The listener start-up registers (the schedules' recomputation) runs
    // once, after the first calibration that succeeds.
    g_calibrated_calls.store(0);
    product_time_calibrated_reset_for_test();
    product_set_time_calibrated_listener([] { g_calibrated_calls.fetch_add(1); });
    product_set_time_calibration(1);
    EXPECT_EQ(-1, product_systime_calibrate(0, "2024-01-01 00:00:00")) << "one is running";
    EXPECT_EQ(1, product_get_time_calibration());
    EXPECT_TRUE(root.commands().empty());

    product_set_time_calibration(0);
    EXPECT_EQ(-1, product_systime_calibrate(0, nullptr));
    EXPECT_EQ(0, product_get_time_calibration()) << "a failure allows the next try";
    EXPECT_EQ(-1, product_systime_calibrate(0, "not a time"));
    EXPECT_EQ(-1, product_systime_calibrate(7, nullptr));
    EXPECT_EQ(0, product_get_time_calibration());

    ASSERT_EQ(0, product_systime_calibrate(0, "2024-01-01 00:00:00"));
    EXPECT_EQ(2, product_get_time_calibration());
    root.clear_commands();
    EXPECT_EQ(0, product_systime_calibrate(0, "2025-01-01 00:00:00")) << "already calibrated";
    EXPECT_TRUE(root.commands().empty());

    product_set_time_calibration(0);  // the network came back
    EXPECT_EQ(-1, product_systime_calibrate(1, nullptr)) << "ntpdate printed nothing";
    b.state("ntpdate_out", " 1 Jan 00:00:00 ntpdate[1]: adjust time server 1.2.3.4 offset 0.001 sec\n");
    EXPECT_EQ(0, product_systime_calibrate(1, nullptr));
    EXPECT_TRUE(b.ran(std::string("ntpdate ") + ORVI_NTP_SERVER));
    EXPECT_EQ(1, g_calibrated_calls.load()) << "only the first success";
    EXPECT_EQ(2, product_get_time_calibration());
    product_set_time_calibrated_listener(nullptr);
}

TEST_F(OrviProduct, RestartAndBackupSettings) {
    for (const char *key : {"month", "day", "hour", "minutes"}) {
        ASSERT_EQ(0, product_set_restart_time(key, static_cast<int>(strlen(key))));
        EXPECT_EQ(static_cast<int>(strlen(key)), product_get_restart_time_info(key));
    }
    EXPECT_EQ(-1, product_set_restart_time("week", 1));
    EXPECT_EQ(-1, product_set_restart_time(nullptr, 1));
    EXPECT_EQ(-1, product_get_restart_time_info("week"));
    EXPECT_EQ(-1, product_get_restart_time_info(nullptr));

    product_set_restart_sw(1);
    product_set_cloud_backup_sw(1);
    product_set_restart_interval(7);
    product_set_restore_download(1);
    EXPECT_EQ(1, product_get_restart_sw());
    EXPECT_EQ(1, product_get_cloud_backup_sw());
    EXPECT_EQ(7, product_get_restart_interval());
    EXPECT_EQ(1, product_get_restore_download());
    ASSERT_EQ(0, product_set_cloud_backup_timer("3月15日4时30分"));
    EXPECT_EQ("3月15日4时30分", product_get_cloud_backup_time());
    EXPECT_EQ(-1, product_set_cloud_backup_timer(std::string(128, 'x').c_str()));
    EXPECT_EQ("3月15日4时30分", product_get_cloud_backup_time());
}
