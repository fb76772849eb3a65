// Status polling of the lights against the real device tables (SQLite files
// under a scratch root), the real queue builders and the sample model codecs:
// what each poller pass queues, who goes offline, and what the provisional
// statuses decode to. Time is driven by calling the steps by hand.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cJSON.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "event_publish_capture.h"
#include "orvi_aes.h"
#include "orvi_field.h"
#include "orvi_testing.h"
#include "product_subdev.h"
#include "scratch_root.h"
#include "tovra_ctrl.h"
#include "tovra_dispatch.h"
#include "tovra_event.h"
#include "tovra_hooks.h"
#include "tovra_main.h"
#include "tovra_poll.h"
#include "tovra_queue.h"
#include "tovra_sql.h"
#include "tovra_uart.h"

using namespace publish_test;

namespace {

// ---- the sample codecs, loaded from the build, every decoding kept ----------------

struct decoded_t {
    std::string mac;
    std::string mid;
    std::string out;  // {"opt":[...],"p":[...]}
};
std::vector<decoded_t> g_decoded;

int sample_codec(const char *mid, const char *in, char *out, size_t out_size) {
    static std::map<std::string, void *> libs;
    void *&h = libs[mid];
    if (!h) h = dlopen((std::string(ORVI_BINARY_DIR) + "/lib/lib" + mid + ".so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) return -1;
    auto fn = reinterpret_cast<int (*)(const char *, char *)>(dlsym(h, "hex_to_json"));
    char buf[512] = {0};
    const int n = fn ? fn(in, buf) : -1;
    if (n < 1 || static_cast<size_t>(n) >= out_size) return -1;
    memcpy(out, buf, static_cast<size_t>(n) + 1);
    const cJSON *j = cJSON_Parse(in);
    const cJSON *mac = cJSON_GetObjectItemCaseSensitive(j, "mac");
    g_decoded.push_back({cJSON_IsString(mac) ? mac->valuestring : "", mid, buf});
    cJSON_Delete(const_cast<cJSON *>(j));
    return n;
}

std::string mac_of(uint16_t addr) {
    char m[13];
    snprintf(m, sizeof m, "a1b2c300%04x", addr);
    return m;
}

// The addresses each queued status query asks, in queue order.
std::vector<uint16_t> queued_queries() {
    std::vector<uint16_t> out;
    tovra_msg_t m;
    while (tovra_queue_inflight(TOVRA_QUEUE_MAIN, &m)) {
        if (strcmp(m.atcmd, "AT+BYPASS") == 0) {
            const uint16_t low = static_cast<uint16_t>(m.atdata[3] << 8 | m.atdata[4]);
            for (int byte = 5; byte < m.atlen; ++byte)
                for (int bit = 0; bit < 8; ++bit)
                    if (m.atdata[byte] & (1 << bit)) out.push_back(static_cast<uint16_t>(low + (byte - 5) * 8 + bit));
        } else if (strcmp(m.atcmd, "AT+IHG") == 0 && m.atlen >= 6 && m.atdata[5] == 0x4F) {
            out.push_back(m.addr);
        }
        // Gone from the queue as if sent and answered; the wait after a
        // query is what the passes below stand in for.
        tovra_queue_complete_main(m.atcmd, true);
        tovra_msg_queue_check();
    }
    tm_100ms.Query_Wait_Time = 0;
    return out;
}

class TovraPoll : public ::testing::Test {
  protected:
    void SetUp() override {
        product_registry_reset_for_test();
        orvi_rm_orvi_info_db();  // empty tables, created afresh
        tovra_queue_reset();
        tm_1s.Sublist_Refresh_Time = 0;  // no refresh pending
        tovra_poll_reset();
        tovra_link_wire();
        tovra_event_set_codec(sample_codec);
        g_decoded.clear();
        PublishCapture::clear();
    }
    void TearDown() override {
        tovra_event_set_codec(nullptr);
        tovra_event_set_hooks(nullptr);
        tovra_sql_set_hooks(nullptr);
        tovra_link_hooks_install(nullptr);
        tovra_poll_reset();
        tovra_queue_reset();
        product_registry_reset_for_test();
    }

    // A device in the table and in the registry (room `room` by short id).
    static void add(uint16_t addr, const char *mid, int online = 1, int rows = 1) {
        for (int k = 0; k < rows; ++k) {
            host_tovra_devcie_info_t r{};
            r.addr = addr;
            orvi_field_set(r.mac, mac_of(addr));
            orvi_field_set(r.mid, mid);
            r.online = static_cast<uint8_t>(online);
            orvi_field_set(r.status, "0");
            r.rowid = -1;
            ASSERT_EQ(1, tovra_info_sql_table_insert(TOVRA_INFO_DB, TOVRA_INFO_TABLE, &r));
            orvi_subdev_list_t d;
            orvi_field_set(d.mac, rows > 1 ? mac_of(addr) + "0" + std::to_string(k) : mac_of(addr));
            orvi_field_set(d.mid, mid);
            d.dev_type = DEV_TYPE_TOVRA;
            d.macId = addr;
            ASSERT_TRUE(product_add_subdev_to_host(&d));
        }
    }
    static int online(uint16_t addr) {
        std::vector<host_tovra_devcie_info_t> rows;
        tovra_info_sql_table_select(TOVRA_INFO_DB, TOVRA_INFO_TABLE, "ADDR", tovra_sql_num(addr), rows);
        return rows.empty() ? -1 : rows.front().online;
    }
    // One poller pass; what it queued.
    static std::vector<uint16_t> pass() {
        tovra_status_query_cycle_check();
        return queued_queries();
    }
    // A raw status report from the device, as the module hands it over.
    static void report(uint16_t addr, std::vector<uint8_t> status) {
        std::vector<uint8_t> f = {'A', 'T', '+', 'M', 'D', 'A', 'T', 'A', 0x00,
                                  static_cast<uint8_t>(addr > 255 ? 0xC1 : 0x00), 0, 0, 0,
                                  static_cast<uint8_t>(addr & 0xFF), 0};
        f.insert(f.end(), status.begin(), status.end());
        at_mdata_msg_recv(f.data(), static_cast<int>(f.size()));
    }
    // The decoded statuses of `mac`.
    static std::vector<std::string> decoded(const std::string &mac) {
        std::vector<std::string> out;
        for (const decoded_t &d : g_decoded)
            if (d.mac == mac) out.push_back(d.out);
        return out;
    }
    static bool published_offline(const std::string &mac) {
        for (const sent_t &s : PublishCapture::sent()) {
            if (s.topic != "/online") continue;
            const std::string body = open_pack(s, kRandomKey);
            const size_t at = body.find("\"offlineSub\"");
            if (at != std::string::npos && body.find(mac, at) != std::string::npos) return true;
        }
        return false;
    }

    ScratchRoot root_;
    PublishCapture capture_;
};

// A controlled light is asked alone 6 s later, then once per cycle until its
// budget of 10 is spent, then shown offline and kept on the offline list,
// which asks it again; a report at any point ends all of it.
TEST_F(TovraPoll, AControlledDeviceIsAskedUntilItAnswersOrItsBudgetIsSpent) {
    struct Case {
        const char *name;
        uint16_t addr;
        int report_after;  // queries before the device reports; -1 never
    } cases[] = {
        {"silent light", 0x12, -1},
        {"silent light above 255", 0x1F0, -1},
        {"light answering the third query", 0x12, 3},
        {"light above 255 answering the first", 0x1F0, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        add(c.addr, "70314");
        add(0x30, "70314");  // a bystander never asked
        std::vector<host_tovra_devcie_info_t> rows;
        tovra_info_sql_table_select(TOVRA_INFO_DB, TOVRA_INFO_TABLE, "ADDR", tovra_sql_num(c.addr), rows);
        ASSERT_EQ(1u, rows.size());
        cJSON *cmd = cJSON_Parse(R"({"bin":"086080000000ffff","atcmd":"AT+CTRL"})");
        ASSERT_EQ(0, tovra_cmd_to_at(cmd, rows.front()));
        cJSON_Delete(cmd);
        EXPECT_EQ(std::vector<uint16_t>{}, queued_queries()) << "the control itself, no query";
        EXPECT_NE(0, tm_1s.Ctrl_Query_Time.load() & TOVRA_TM_EXPIRED) << "the 1 s step made due";

        for (int s = 1; s <= 5; ++s) {
            timer_1s_handle();
            EXPECT_EQ(std::vector<uint16_t>{}, pass()) << "second " << s;
        }
        timer_1s_handle();
        EXPECT_EQ(10, tovra_poll_view(c.addr).repeat);

        int asked = 0;
        for (; asked < 10; ++asked) {
            if (asked == c.report_after) report(c.addr, {0x60, 0x80, 0, 0, 0, 0xFF, 0});
            const std::vector<uint16_t> q = pass();
            if (q.empty()) break;
            EXPECT_EQ(std::vector<uint16_t>{c.addr}, q);
        }
        const std::vector<uint16_t> last = pass();
        EXPECT_EQ(std::vector<uint16_t>{}, last);
        EXPECT_EQ(0u, tovra_poll_view(c.addr).counts) << "the cycle is over";
        if (c.report_after >= 0) {
            EXPECT_EQ(c.report_after, asked);
            EXPECT_EQ(1, online(c.addr));
            EXPECT_FALSE(tovra_poll_view(c.addr).offline);
            EXPECT_FALSE(published_offline(mac_of(c.addr)));
            continue;
        }
        EXPECT_EQ(10, asked);
        EXPECT_EQ(0, online(c.addr));
        EXPECT_EQ(1, online(0x30));
        EXPECT_TRUE(tovra_poll_view(c.addr).offline);
        EXPECT_TRUE(published_offline(mac_of(c.addr)));
        // The minute's offline query asks it once more; its report takes it
        // off the list and back online.
        tovra_offline_device_query();
        EXPECT_EQ(std::vector<uint16_t>{c.addr}, pass());
        report(c.addr, {0x60, 0x80, 0, 0, 0, 0xFF, 0});
        EXPECT_FALSE(tovra_poll_view(c.addr).offline);
        EXPECT_EQ(1, online(c.addr));
    }
}

// Whole queries: batches of up to eight in address order, the models that
// never answer left out, nothing while the table is being rebuilt, and a
// window spanning every address is not taken for an idle list.
TEST_F(TovraPoll, WholeQueryAsksInBatchesOfEight) {
    const std::vector<std::pair<uint16_t, const char *>> nine = {
        {1, "70314"}, {2, "70314"}, {3, "70315"}, {4, "70361"}, {5, "70362"},
        {6, "70314"}, {7, "70314"}, {8, "70314"}, {9, "70314"}};
    struct Case {
        const char *name;
        std::vector<std::pair<uint16_t, const char *>> devices;
        int online;
        bool whole;  // else the whole-offline query
        bool refresh_pending;
        uint32_t counts;
        std::vector<std::vector<uint16_t>> passes;
    } cases[] = {
        {"nine offline lights asked once", nine, 0, false, false, 9, {{1, 2, 3, 4, 5, 6, 7, 8}, {9}, {}}},
        // Each pass goes on where the last one stopped, round the window
        // (a batch goes out in address order).
        {"nine lights asked six times", nine, 1, true, false, 9,
         {{1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 3, 4, 5, 6, 7, 9}, {1, 2, 3, 4, 5, 6, 8, 9}}},
        {"panels, shutters, cubes and sensors are not asked",
         {{1, "70718"}, {2, "70314"}, {3, "70710"}, {4, "80205"}, {5, "70727"}, {6, "80501"}},
         1, true, false, 5, {{2, 6}, {2, 6}}},
        {"the first and the last address", {{0, "70314"}, {0xFFFF, "70314"}}, 1, true, false, 65536, {{0, 0xFFFF}}},
        {"a refresh is pending", nine, 1, true, true, 0, {{}}},
        {"a refresh is pending, offline", nine, 0, false, true, 0, {{}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        for (const auto &d : c.devices) add(d.first, d.second, c.online);
        if (c.refresh_pending) tm_1s.Sublist_Refresh_Time = 0x4002;
        if (c.whole)
            tovra_whole_device_query(1);
        else
            tovra_whole_offline_device_query();
        EXPECT_EQ(c.counts, tovra_poll_view(0).counts);
        for (const std::vector<uint16_t> &want : c.passes) EXPECT_EQ(want, pass());
    }
}

// "tovra/check": "0" runs the whole-offline query at most once per 300 s; a
// MAC asks that device.
TEST_F(TovraPoll, CheckTopicRunsTheWholeOfflineQueryOncePer300s) {
    add(0x21, "70314", 0);
    add(0x22, "70314", 1);
    auto item = [](const std::string &sub) {
        std::string pack = "{\"sub\":\"" + sub + "\"}";
        EXPECT_EQ(0, orvi_aes_encrypt(kRandomKey, pack));
        return "{\"pack\":\"" + pack + "\"}";
    };
    struct Step {
        const char *what;
        std::string sub;
        int seconds_before;
        std::vector<uint16_t> asked;
    } steps[] = {
        {"first whole-offline query", "0", 0, {0x21}},
        {"again at once: nothing", "0", 0, {}},
        {"again 299 s later: nothing", "0", 299, {}},
        {"a device by its MAC", mac_of(0x22), 0, {0x22}},
        {"past 300 s: runs", "0", 2, {0x21}},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.what);
        for (int t = 0; t < s.seconds_before * 10; ++t) {
            tovra_timer_tick(1000000 * 86400L + 12 * 3600);
            tovra_event_timeout_handle();
        }
        tovra_poll_reset();
        tovra_event_dispatch_handle("tovra/check", item(s.sub).c_str());
        EXPECT_EQ(s.asked, pass());
    }
}

// Room group control: every light or curtain of the room gets a provisional
// status that its model's codec reads back as the commanded values; an
// address above 255 is reported for its own device.
TEST_F(TovraPoll, RoomGroupControlPublishesTheCommandedState) {
    const char *kLight = R"({"opt":["Pow","Lum","ColorTemp"],"p":[%s]})";
    auto light = [kLight](const char *p) {
        char b[128];
        snprintf(b, sizeof b, kLight, p);
        return std::vector<std::string>{b};
    };
    struct Case {
        const char *name;
        int pow, dev_type, lum, color_temp, percent;
        std::map<uint16_t, std::vector<std::string>> want;  // decoded statuses by device
    } cases[] = {
        {"off", 0, 8, 0, 0, 0, {{0x12, light("0,0,0")}, {0x1F0, light("0,0,0")}}},
        {"on", 1, 8, 0, 0, 0, {{0x12, light("1,100,0")}, {0x1F0, light("1,100,0")}}},
        {"brightness 37 per cent", 2, 8, 37, 0, 0, {{0x12, light("1,37,0")}, {0x1F0, light("1,37,0")}}},
        {"brightness 1 per cent", 2, 8, 1, 0, 0, {{0x12, light("1,1,0")}, {0x1F0, light("1,1,0")}}},
        {"brightness 0 is no command", 2, 8, 0, 0, 0, {}},
        {"colour temperature 3850 K", 3, 8, 0, 3850, 0, {{0x12, light("1,100,127")}, {0x1F0, light("1,100,127")}}},
        {"colour temperature below range", 3, 8, 0, 2000, 0, {{0x12, light("1,100,0")}, {0x1F0, light("1,100,0")}}},
        {"curtains to 40 per cent",
         0,
         7,
         0,
         0,
         40,
         {{0x40, {R"({"opt":["CurPercent"],"p":[40]})"}},
          {0x41, {R"({"opt":["CurPercent","UpLimit","LowLimit"],"p":[40,1,1]})"}},
          {0x1F1, {R"({"opt":["CurPercent"],"p":[40]})"}}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        add(0x12, "70314");
        add(0x1F0, "70362");
        add(0x40, "80501");
        add(0x41, "70710");  // limits set: reported
        add(0x42, "70710");  // no limits: not
        add(0x1F1, "70713");
        const host_limit_set_info_t lim = {0x41, 1, 1};
        ASSERT_EQ(1, tovra_limit_set_sql_table_insert(TOVRA_LIMIT_SET_INFO_DB, TOVRA_LIMIT_SET_TABLE, &lim));
        tovra_room_group_ctrl(0, c.pow, c.dev_type, c.lum, c.color_temp, c.percent);
        for (uint16_t addr : {0x12, 0x1F0, 0x40, 0x41, 0x42, 0x1F1}) {
            SCOPED_TRACE(addr);
            const auto it = c.want.find(addr);
            EXPECT_EQ(it == c.want.end() ? std::vector<std::string>{} : it->second, decoded(mac_of(addr)));
        }
    }
}

// The home-wide and per-class default scenes: a multi-key switch's keys are
// published one per tick, each inside its own sealed package, with the
// scene's state; lights at once.
TEST_F(TovraPoll, DefaultScenesPublishEveryKeyInsideItsPackage) {
    struct Case {
        const char *name;
        uint32_t scene;
        int key_state;
    } cases[] = {
        {"all on", 1, 1},
        {"all off", 2, 0},
        {"switches of every room on", 0x000301, 1},
        {"switches of every room off", 0x000302, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        add(0x150, "80401", 1, 3);
        add(0x12, "70314");
        tovra_trivox2_sceneid_send(c.scene);
        EXPECT_EQ((std::vector<std::string>{c.key_state ? R"({"opt":["Pow","Lum","ColorTemp"],"p":[1,100,0]})"
                                                         : R"({"opt":["Pow","Lum","ColorTemp"],"p":[0,0,0]})"}),
                  decoded(mac_of(0x12)));
        EXPECT_EQ(1u, tovra_poll_view(0).queued_status) << "the switch waits for its tick";
        PublishCapture::clear();
        status_send_msg();
        status_send_msg();  // nothing more queued
        const std::vector<sent_t> sent = PublishCapture::sent();
        ASSERT_EQ(3u, sent.size());
        for (int key = 0; key < 3; ++key) {
            const std::string mac = mac_of(0x150) + "0" + std::to_string(key);
            EXPECT_EQ(std::string("/jsonStatus/") + kHomeMac + "/" + mac, sent[key].topic);
            const std::string v = std::to_string(c.key_state);
            EXPECT_EQ("{\"t\":\"dat\",\"cols\":[\"Sw1\",\"Sw2\",\"Sw3\",\"num\",\"currentIndex\"],\"dat\":[" + v + "," +
                          v + "," + v + ",3," + std::to_string(key + 1) + "],\"mid\":\"80401\",\"mac\":\"" + mac +
                          "\",\"r\":200}",
                      open_pack(sent[key], kHomeKey));
        }
    }
}

// A body sensor that reported 0 is reported once 30 minutes on, unless it
// reported 1 meanwhile.
TEST_F(TovraPoll, BodySensorSilentFor30MinutesIsReportedOnce) {
    struct Case {
        const char *name;
        uint16_t addr;
        int state_one_at;     // minute of a "1" report, -1 none
        int reported_at;      // minute of the provisional report, -1 none
    } cases[] = {
        {"silent after 0", 0x25, -1, 30},
        {"a 1 at minute 10 cancels", 0x25, 10, -1},
        {"address above 255", 0x125, -1, 30},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        add(c.addr, "70727");
        add(c.addr + 1, "70727");  // never reported: never counted
        if (c.addr > 255)
            tovra_info_sql_table_update(TOVRA_INFO_DB, TOVRA_INFO_TABLE, c.addr, "ROWID", tovra_sql_num(30));
        else
            report(c.addr, {0x21, 0x00});
        g_decoded.clear();
        std::vector<int> at;
        for (int minute = 1; minute <= 45; ++minute) {
            if (minute == c.state_one_at) {
                report(c.addr, {0x21, 0x01});
                g_decoded.clear();
            }
            body_sensor_long_time_send();
            if (!g_decoded.empty()) {
                at.push_back(minute);
                EXPECT_EQ(mac_of(c.addr), g_decoded.front().mac);
                EXPECT_EQ(R"({"opt":["State"],"p":[0]})", g_decoded.front().out);
                g_decoded.clear();
            }
        }
        EXPECT_EQ(c.reported_at < 0 ? std::vector<int>{} : std::vector<int>{c.reported_at}, at);
    }
}

}  // namespace
