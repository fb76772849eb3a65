// The BLE provisioning service against a recording host (fake_bt_host.h):
// the advertising bytes, the status and send timers driven by firing the
// host's timers, the chunking of long replies and the reassembly of chunked
// requests, the receive path from the app's writes to the request queue, and
// the provisioning handlers' checks.
#include <gtest/gtest.h>

#include <algorithm>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "ble_cp_packets.h"
#include "fake_bt_host.h"
#include "intake_test_support.h"
#include "orvi_ble_cp.h"
#include "orvi_ble_prov.h"
#include "orvi_json.h"
#include "orvi_timer.h"
#include "pending_calls.h"

using namespace intake_test;

namespace {

const uint8_t kMac[6] = {0x8c, 0x1f, 0x64, 0xa0, 0x3c, 0x7e};

std::vector<uint8_t> bytes(std::initializer_list<int> v) {
    std::vector<uint8_t> out;
    for (int b : v)
        out.push_back(static_cast<uint8_t>(b));
    return out;
}

using ble_cp_packets::cp;
using ble_cp_packets::cp_field;
using ble_cp_packets::parse;
using ble_cp_packets::reply_of;

// ---- Advertising bytes and the random address -------------------------------------------

TEST(BleAdvertising, AdvertisingAndScanResponseBytes) {
    const std::vector<uint8_t> adv = orvi_ble_adv_data(kMac);
    EXPECT_EQ(bytes({0x02, 0x01, 0x06, 0x12, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x8c, 0x1f, 0x64, 0xa0, 0x3c,
                     0x7e, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00}),
              adv);
    ASSERT_EQ(ORVI_BLE_ADV_LEN, adv.size());

    const std::vector<uint8_t> rsp = orvi_ble_scan_response("8c1f64a03c7e");
    ASSERT_EQ(ORVI_BLE_SCAN_RSP_LEN, rsp.size());
    EXPECT_EQ(0x1C, rsp[0]);
    EXPECT_EQ(0x09, rsp[1]);
    // The name with the MAC's last four hex digits in place of "8c37".
    EXPECT_EQ("ZQ-HCenter_70502_10_3c7e_FC", std::string(rsp.begin() + 2, rsp.end()));
}

TEST(BleAdvertising, StaticRandomAddressFromMac) {
    struct Case {
        const char *name;
        std::vector<uint8_t> mac;
        std::vector<uint8_t> want;
    } cases[] = {
        {"top bits set, rest kept", bytes({0x0c, 0x1f, 0x64, 0xa0, 0x3c, 0x7e}),
         bytes({0xcc, 0x1f, 0x64, 0xa0, 0x3c, 0x7e})},
        {"already static", bytes({0xd2, 0x00, 0x00, 0x00, 0x00, 0x10}), bytes({0xd2, 0x00, 0x00, 0x00, 0x00, 0x10})},
        {"all zero random part", bytes({0x00, 0x00, 0x00, 0x00, 0x00, 0x00}),
         bytes({0xc0, 0x00, 0x00, 0x00, 0x00, 0x01})},
        {"all one random part", bytes({0x3f, 0xff, 0xff, 0xff, 0xff, 0xff}),
         bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xfe})},
    };
    for (const Case &c : cases) {
        uint8_t out[6];
        orvi_ble_static_address(c.mac.data(), out);
        EXPECT_EQ(c.want, std::vector<uint8_t>(out, out + 6)) << c.name;
        EXPECT_EQ(0xC0, out[0] & 0xC0) << c.name;
    }
}

// What the service asked of Wi-Fi and the lighting module, recorded.
WifiConnectionState g_wifi_state = WIFI_UNKNOWN_STATE;
const orvi_wifi_ops_t kWifiRecorder = {
    [] {
        pending_record("wifi_on", {});
        return 0;
    },
    [] { return 0; },
    [](const char *ssid, const char *psw) {
        pending_record("wifi_connect", {ssid, psw});
        return 0;
    },
    [] { return g_wifi_state; },
    [] {
        pending_record("wifi_confirm", {});
        return 0;
    },
    [] { return g_wifi_state; },
};
const orvi_ble_prov_peers_t kPeersRecorder = {
    [](const char *key) {
        pending_record("tovra_key", {key});
        return 0;
    },
};


// ---- The service with a recording host ------------------------------------------------------

class BleProvTest : public IntakeFixture {
  protected:
    void SetUp() override {
        IntakeFixture::SetUp();
        {
            orvi::MutexLock lk(orvi_dev_info_mutex());
            std::memcpy(orvi_dev_info.host_mac, kMac, 6);
            orvi_field_set(orvi_dev_info.hid, "OH7050200+HC01V1.0.3.img");
        }
        orvi_timer_service_stop();
        orvi_ble_prov_reset_for_test();
        orvi_bt_link_set(&orvi_ble_prov_link);
        orvi_wifi_install(&kWifiRecorder);
        orvi_ble_prov_set_peers(&kPeersRecorder);
        g_wifi_state = WIFI_UNKNOWN_STATE;
        ASSERT_EQ(0, prov.setup());
    }
    void TearDown() override {
        orvi_ble_service_install(nullptr);
        orvi_ble_prov_set_peers(nullptr);
        orvi_wifi_install(nullptr);
        orvi_bt_link_set(nullptr);
        orvi_timer_service_stop();
        orvi_ble_prov_reset_for_test();
        orvi_bt_status_set(BT_DISABLE);
        IntakeFixture::TearDown();
    }
    void ready() { prov.on_state(ORVI_BT_HOST_WORKING); }
    // The app connects, agrees an MTU and subscribes to notifications.
    void connect(uint16_t mtu = 185) {
        host.set_mtu(mtu);
        prov.on_connected(0x40);
        prov.on_mtu(0x40, mtu);
        const uint8_t on[2] = {1, 0};
        ASSERT_EQ(ORVI_ATT_OK, prov.on_write(0x40, ORVI_ATT_FD04_CCC, ORVI_ATT_WRITE_REQUEST, 0, on, 2));
    }
    uint8_t write(const std::string &piece, uint16_t offset = 0) {
        return prov.on_write(0x40, ORVI_ATT_FD03_VALUE, ORVI_ATT_WRITE_COMMAND, offset,
                             reinterpret_cast<const uint8_t *>(piece.data()), piece.size());
    }
    // The receive thread's work for everything written so far.
    void receive() {
        while (rx.step()) {
        }
    }
    std::vector<std::string> queued() {
        std::vector<std::string> out;
        for (const request_type_t &r : drain_requests()) {
            EXPECT_EQ(SOCKET_CONNECT_TYPE_BLE, r.sockinfo.type);
            EXPECT_EQ(kHostMac, r.ctx.text);
            out.push_back(r.data);
        }
        return out;
    }
    std::vector<std::string> notified() {
        std::vector<std::string> out;
        for (const FakeBtHost::Notification &n : host.notifications) {
            EXPECT_EQ(ORVI_ATT_FD04_VALUE, n.att_handle);
            out.push_back(n.value);
        }
        return out;
    }

    FakeBtHost host;
    OrviBleProv prov{&host};
    OrviBleRx rx;
};

TEST_F(BleProvTest, SetupArmsTimersSetsAddressAndPowersOn) {
    EXPECT_TRUE(host.powered);
    EXPECT_TRUE(host.armed(ORVI_BLE_SEND_PERIOD_MS));
    EXPECT_TRUE(host.armed(ORVI_BLE_STATUS_PERIOD_MS));
    EXPECT_EQ(bytes({0xcc, 0x1f, 0x64, 0xa0, 0x3c, 0x7e}), host.random_address);
}

TEST_F(BleProvTest, StatusTimerCarriesOutRequests) {
    struct Step {
        const char *what;
        std::function<void()> act;
        bt_status_t want;
        bool advertising;
    };
    const std::vector<Step> steps = {
        {"advertising asked before the controller is ready", [] { orvi_ble_advertise(1); }, BT_TOADV, false},
        {"the controller comes up", [&] { ready(); }, BT_ADV, true},
        {"the app connects", [&] { connect(); }, BT_CONNECTED, true},
        {"the app drops the link while pairing", [&] { prov.on_disconnected(0x40, 0x13); }, BT_ADV, true},
        {"pairing ends", [] { orvi_ble_advertise(0); }, BT_IDLE, false},
        {"a late disconnection does not restart advertising",
         [&] {
             prov.on_connected(0x41);
             prov.on_disconnected(0x41, 0x13);
         },
         BT_DISCONNECT, false},
        {"pairing again", [] { orvi_ble_advertise(1); }, BT_ADV, true},
    };
    for (const Step &s : steps) {
        s.act();
        host.fire(ORVI_BLE_STATUS_PERIOD_MS);
        EXPECT_EQ(s.want, orvi_bt_status_get()) << s.what;
        EXPECT_EQ(s.advertising, host.advertising) << s.what;
        EXPECT_TRUE(host.armed(ORVI_BLE_STATUS_PERIOD_MS)) << s.what;
    }
    EXPECT_EQ(orvi_ble_adv_data(kMac), host.adv_data);
    EXPECT_EQ(orvi_ble_scan_response("8c1f64a03c7e"), host.scan_response);
    EXPECT_EQ(48, host.adv_params.interval_min);
    EXPECT_EQ(48, host.adv_params.interval_max);
    EXPECT_EQ(7, host.adv_params.channel_map);
    EXPECT_EQ(0, host.adv_params.type);
}

// A controller that never answers must not write its complaint once a
// second for ever: once when the wait starts, then once a minute; a
// controller that comes and goes starts the wait afresh.
TEST_F(BleProvTest, NotReadyIsSaidWhenTheWaitStartsThenOnceAMinute) {
    auto tick_says = [&] {
        testing::internal::CaptureStdout();
        host.fire(ORVI_BLE_STATUS_PERIOD_MS);
        return testing::internal::GetCapturedStdout().find("bluetooth isn't ready!!!!!!") != std::string::npos;
    };
    struct Stretch {
        const char *what;
        int ticks;
        std::vector<int> says_at;  // ticks of the stretch (from 1) that write the line
    } stretches[] = {
        {"no controller for two minutes", 121, {1, 61, 121}},
        {"the controller came and went", 3, {1}},
    };
    for (const Stretch &st : stretches) {
        for (int t = 1; t <= st.ticks; ++t) {
            const bool want = std::find(st.says_at.begin(), st.says_at.end(), t) != st.says_at.end();
            EXPECT_EQ(want, tick_says()) << st.what << ", tick " << t;
        }
        ready();
        host.fire(ORVI_BLE_STATUS_PERIOD_MS);
        prov.on_state(ORVI_BT_HOST_OFF);
    }
}

TEST_F(BleProvTest, SendTimerNotifiesOnePacketPerTickInOrder) {
    ready();
    connect(185);
    const std::string long_reply = reply_of(121);
    const std::string short_reply = reply_of(120);
    ASSERT_EQ(0, orvi_bt_data_send(long_reply.data(), long_reply.size())) << "not installed as the channel";
    ASSERT_EQ(0, orvi_bt_data_send(short_reply.data(), short_reply.size()));
    std::vector<size_t> per_tick;
    for (int tick = 0; tick < 6; ++tick) {
        const size_t before = host.notifications.size();
        host.fire(ORVI_BLE_SEND_PERIOD_MS);
        per_tick.push_back(host.notifications.size() - before);
        EXPECT_TRUE(host.armed(ORVI_BLE_SEND_PERIOD_MS));
    }
    EXPECT_EQ((std::vector<size_t>{1, 1, 1, 1, 0, 0}), per_tick);
    const std::vector<std::string> sent = notified();
    ASSERT_EQ(4u, sent.size());
    // The long reply's three chunks first, with one tag, then the short one whole.
    std::string joined;
    for (int j = 0; j < 3; ++j) {
        EXPECT_EQ(cp_field(sent[0], "tag"), cp_field(sent[j], "tag"));
        joined += cp_field(sent[j], "CP");
    }
    EXPECT_EQ(long_reply, joined);
    EXPECT_EQ(short_reply, sent[3]);
}

TEST_F(BleProvTest, RepliesThatCannotLeaveAreDropped) {
    struct Case {
        const char *name;
        uint16_t mtu;
        bool subscribed;
        size_t len;
    } cases[] = {
        {"short reply wider than the MTU's payload", 23, true, 60},
        {"long reply at MTU 23", 23, true, 121},
        {"no subscription to notifications", 185, false, 60},
    };
    for (const Case &c : cases) {
        host.notifications.clear();
        ready();
        host.set_mtu(c.mtu);
        prov.on_connected(0x40);
        if (c.subscribed) {
            const uint8_t on[2] = {1, 0};
            prov.on_write(0x40, ORVI_ATT_FD04_CCC, ORVI_ATT_WRITE_REQUEST, 0, on, 2);
        }
        const std::string text = reply_of(c.len);
        ASSERT_EQ(0, orvi_ble_prov_data_send(text.data(), text.size()));
        for (int tick = 0; tick < 4; ++tick)
            host.fire(ORVI_BLE_SEND_PERIOD_MS);
        std::vector<std::string> sent = notified();
        // At MTU 23 a short reply goes out as chunks only if one fits: none does.
        EXPECT_TRUE(sent.empty()) << c.name;
        prov.on_disconnected(0x40, 0x13);
    }
}

TEST_F(BleProvTest, ReceivePathJoinsWritesInOrderAndDropsJunk) {
    ready();
    connect();
    const std::string pkt = R"({"t":"pack","i":1,"pack":"QUJDREVGR0g="})";
    struct Case {
        const char *name;
        std::vector<std::string> writes;
        std::vector<std::string> queued;
    } cases[] = {
        {"whole packet", {pkt}, {pkt}},
        {"split write joined in order", {pkt.substr(0, 10), pkt.substr(10, 15), pkt.substr(25)}, {pkt}},
        {"\"abc\" discarded, the next write taken", {"abc", pkt}, {pkt}},
        {"neither pack nor CP dropped", {R"({"t":"hb"})", pkt}, {pkt}},
        {"a flood of { is bounded and the next packet still taken",
         std::vector<std::string>(ORVI_BLE_LIST_MAX - 1, std::string(40, '{')), {}},
        {"chunked request", {cp(2, 2, "tagAAA", pkt.substr(20)), cp(2, 1, "tagAAA", pkt.substr(0, 20))}, {pkt}},
    };
    for (const Case &c : cases) {
        for (const std::string &w : c.writes)
            ASSERT_EQ(ORVI_ATT_OK, write(w)) << c.name;
        receive();
        EXPECT_EQ(c.queued, queued()) << c.name;
    }
    // After the flood: what is left gathered stays within the bound, and a
    // whole packet once the junk is dropped goes through.
    ASSERT_EQ(ORVI_ATT_OK, write(std::string(ORVI_BLE_RX_MAX - 10, '{')));
    ASSERT_EQ(ORVI_ATT_OK, write(pkt));
    receive();
    EXPECT_EQ(std::vector<std::string>{pkt}, queued());
}

TEST_F(BleProvTest, WritesAtAnOffsetAndPastTheListBoundAreRefused) {
    ready();
    connect();
    EXPECT_EQ(ORVI_ATT_ERR_INVALID_OFFSET, write("{\"a\":1}", 5));
    for (int i = 0; i < ORVI_BLE_LIST_MAX; ++i)
        ASSERT_EQ(ORVI_ATT_OK, write("x"));
    EXPECT_NE(ORVI_ATT_OK, write("x"));
    receive();
    EXPECT_TRUE(queued().empty());
}

TEST_F(BleProvTest, ADisconnectionForgetsWhatWasHalfWritten) {
    ready();
    connect();
    const std::string pkt = R"({"t":"pack","i":1,"pack":"QUJDREVGR0g="})";
    ASSERT_EQ(ORVI_ATT_OK, write(pkt.substr(0, 12)));
    receive();
    prov.on_disconnected(0x40, 0x13);
    connect();
    ASSERT_EQ(ORVI_ATT_OK, write(pkt));
    receive();
    EXPECT_EQ(std::vector<std::string>{pkt}, queued());
}

TEST_F(BleProvTest, ReadsServeTheHidFromAnOffset) {
    struct Case {
        uint16_t handle;
        uint16_t offset;
        size_t cap;
        std::string want;
        uint8_t err;
    } cases[] = {
        {ORVI_ATT_FD06_VALUE, 0, 64, "OH7050200+HC01V1.0.3.img", 0},
        {ORVI_ATT_FD06_VALUE, 0, 10, "OH7050200+", 0},
        {ORVI_ATT_FD06_VALUE, 10, 64, "HC01V1.0.3.img", 0},
        {ORVI_ATT_FD06_VALUE, 200, 64, "", ORVI_ATT_ERR_INVALID_OFFSET},
        {ORVI_ATT_FD05_VALUE, 0, 64, "", 0},
    };
    for (const Case &c : cases) {
        uint8_t out[64] = {0};
        uint8_t err = 0;
        const size_t n = prov.on_read(0x40, c.handle, c.offset, out, c.cap, &err);
        EXPECT_EQ(c.want, std::string(reinterpret_cast<char *>(out), n)) << c.handle << "@" << c.offset;
        EXPECT_EQ(c.err, err) << c.handle << "@" << c.offset;
    }
}

// ---- Handlers -----------------------------------------------------------------------------

struct HandlerResult {
    int rc;
    std::string rsp;
    aes_key_t key;
};

HandlerResult run_handler(request_handle_fn fn, const std::string &packet,
                          connect_type_t conn = SOCKET_CONNECT_TYPE_BLE) {
    request_data_t req;
    req.conn = conn;
    orvi_json::json_ptr j = parse(packet);
    EXPECT_TRUE(j) << packet;
    const int rc = fn(j.get(), &req, std::make_shared<orvi_subdev_list_t>());
    return {rc, req.rsp_size ? req.rsp_data.substr(0, req.rsp_size) : "", req.rsp_key};
}

TEST_F(BleProvTest, HomeBindChecksEveryLengthBeforeStoring) {
    const std::string key16 = "K123456789abcdef";
    struct Case {
        const char *name;
        std::string packet;
        bool taken;
        std::string home_mac;
        std::string home_key;
    } cases[] = {
        {"joins a home", R"({"t":"homeBind","homeId":12,"homeMac":"001AB60400000077","homeKey":")" + key16 + "\"}",
         true, "001AB60400000077", key16},
        {"first host", R"({"t":"homeBind","homeId":4321,"homeMac":"","homeKey":""})", true, "001AB60400004321",
         kRandomKey},
        {"homeKey of 15", R"({"t":"homeBind","homeId":1,"homeMac":"001AB60400000077","homeKey":"K123456789abcde"})",
         false, kHomeMac, kHomeKey},
        {"homeKey of 17", R"({"t":"homeBind","homeId":1,"homeMac":"001AB60400000077","homeKey":"K123456789abcdefg"})",
         false, kHomeMac, kHomeKey},
        {"homeId of 9 digits", R"({"t":"homeBind","homeId":123456789,"homeMac":"","homeKey":""})", false,
         kHomeMac, kHomeKey},
        {"negative homeId", R"({"t":"homeBind","homeId":-1,"homeMac":"","homeKey":""})", false, kHomeMac,
         kHomeKey},
        {"homeMac of 17", R"({"t":"homeBind","homeId":1,"homeMac":"001AB604000000771","homeKey":")" + key16 + "\"}",
         false, kHomeMac, kHomeKey},
        {"homeId missing", R"({"t":"homeBind","homeMac":"","homeKey":""})", false, kHomeMac, kHomeKey},
        {"domain of 64", R"({"t":"homeBind","homeId":1,"homeMac":"","homeKey":"","domain":")" +
                             std::string(64, 'd') + "\"}",
         false, kHomeMac, kHomeKey},
    };
    for (const Case &c : cases) {
        set_identity();
        const HandlerResult r = run_handler(orvi_ble_request_homeBind, c.packet);
        EXPECT_EQ(c.taken ? 0 : -1, r.rc) << c.name;
        EXPECT_EQ(c.home_mac, product_get_mac_str()) << c.name;
        EXPECT_EQ(c.home_key, product_get_home_key()) << c.name;
        if (c.taken) {
            EXPECT_EQ(AES_KEY_TYPE_RANDOM, r.key) << c.name;
            EXPECT_EQ((std::vector<std::string>{"t", "homeMac", "homeKey", "homeMid"}), members(r.rsp)) << c.name;
            EXPECT_EQ(c.home_mac, member_str(r.rsp, "homeMac")) << c.name;
        } else {
            EXPECT_TRUE(r.rsp.empty()) << c.name;
        }
    }
}

TEST_F(BleProvTest, QnetDevChecksEveryLengthBeforeStoring) {
    auto packet = [](const std::string &key, const std::string &ssid, const std::string &psw,
                     const std::string &host) {
        return R"({"t":"QnetDev","QnetID":77,"QnetKey":")" + key + R"(","BleinfoSend":1,"ssid":")" + ssid +
               R"(","psw":")" + psw + R"(","host":")" + host + "\"}";
    };
    struct Case {
        const char *name;
        std::string packet;
        bool taken;
    } cases[] = {
        {"valid", packet("12345678", std::string(32, 's'), "secret-pass", "dis.example.org"), true},
        {"open network", packet("12345678", "home", "", "dis.example.org"), true},
        {"QnetKey of 9", packet("123456789", "home", "secret-pass", "dis.example.org"), false},
        {"SSID of 33", packet("12345678", std::string(33, 's'), "secret-pass", "dis.example.org"), false},
        {"empty SSID", packet("12345678", "", "secret-pass", "dis.example.org"), false},
        {"password of 65", packet("12345678", "home", std::string(65, 'p'), "dis.example.org"), false},
        {"host of 33", packet("12345678", "home", "secret-pass", std::string(33, 'h')), false},
        {"psw missing", R"({"t":"QnetDev","QnetID":77,"QnetKey":"1","BleinfoSend":1,"ssid":"a","host":"h"})", false},
        {"psw not a string", R"({"t":"QnetDev","QnetID":77,"QnetKey":"1","BleinfoSend":1,"ssid":"a","psw":5,"host":"h"})",
         false},
        {"QnetID not whole", R"({"t":"QnetDev","QnetID":7.5,"QnetKey":"1","BleinfoSend":1,"ssid":"a","psw":"","host":"h"})",
         false},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(0, product_set_Qnetkey("oldkey01"));
        ASSERT_EQ(0, product_set_ssid("old-ssid"));
        pending_calls_clear();
        const HandlerResult r = run_handler(orvi_ble_request_QnetDev, c.packet);
        EXPECT_EQ(c.taken ? 0 : -1, r.rc) << c.name;
        if (c.taken) {
            orvi_json::json_ptr p = parse(c.packet);
            EXPECT_EQ(orvi_json::str_of(p.get(), "QnetKey"), product_get_Qnetkey()) << c.name;
            EXPECT_EQ(orvi_json::str_of(p.get(), "ssid"), product_get_ssid()) << c.name;
            EXPECT_EQ(orvi_json::str_of(p.get(), "host"), product_get_dis_host()) << c.name;
            EXPECT_EQ(1812, product_get_dis_port()) << c.name;
            EXPECT_EQ((std::vector<std::string>{"t", "QNetID", "mac", "mid", "ver"}), members(r.rsp)) << c.name;
            EXPECT_EQ("77", member_str(r.rsp, "QNetID")) << c.name;
            // The module takes the key, then Wi-Fi is switched on, joined and confirmed.
            EXPECT_EQ((std::vector<std::string>{"tovra_key " + std::string(orvi_json::str_of(p.get(), "QnetKey")),
                                                "wifi_on",
                                                "wifi_connect " + std::string(orvi_json::str_of(p.get(), "ssid")) +
                                                    " " + orvi_json::str_of(p.get(), "psw"),
                                                "wifi_confirm"}),
                      pending_calls())
                << c.name;
        } else {
            EXPECT_TRUE(pending_calls().empty()) << c.name;
            EXPECT_EQ("oldkey01", product_get_Qnetkey()) << c.name;
            EXPECT_EQ("old-ssid", product_get_ssid()) << c.name;
            EXPECT_TRUE(r.rsp.empty()) << c.name;
        }
    }
}

TEST_F(BleProvTest, SubBDevChecksItsIndex) {
    ASSERT_EQ(0, product_linkinglist_init());
    for (const char *mac : {"a1a1a1a1a1a1", "b2b2b2b2b2b2", "c3c3c3c3c3c3"})
        ASSERT_GE(product_linkinglist_candev_add(mac, "6001"), 0);
    struct Case {
        const char *name;
        std::string packet;
        int rc;
        std::string list;
    } cases[] = {
        {"from 0", R"({"t":"subBDev","i":0})", 0, "a1a1a1a1a1a1|6001#b2b2b2b2b2b2|6001#c3c3c3c3c3c3|6001"},
        {"from 2", R"({"t":"subBDev","i":2})", 0, "c3c3c3c3c3c3|6001"},
        {"at the end", R"({"t":"subBDev","i":3})", 0, ""},
        {"past the end", R"({"t":"subBDev","i":4})", -1, ""},
        {"negative", R"({"t":"subBDev","i":-1})", -1, ""},
        {"missing", R"({"t":"subBDev"})", -1, ""},
        {"not a number", R"({"t":"subBDev","i":"1"})", -1, ""},
    };
    for (const Case &c : cases) {
        const HandlerResult r = run_handler(orvi_ble_request_subBDev, c.packet);
        EXPECT_EQ(c.rc, r.rc) << c.name;
        if (c.rc == 0) {
            EXPECT_EQ("0", member_str(r.rsp, "i")) << c.name;
            EXPECT_EQ(c.list, member_str(r.rsp, "list")) << c.name;
            EXPECT_EQ(AES_KEY_TYPE_RANDOM, r.key) << c.name;
        }
    }
}

TEST_F(BleProvTest, ProvisioningPacketsAreTakenOverBleOnly) {
    struct Case {
        const char *name;
        request_handle_fn fn;
        std::string packet;
    } cases[] = {
        {"bind", orvi_ble_request_bind, R"({"t":"bind"})"},
        {"subBDev", orvi_ble_request_subBDev, R"({"t":"subBDev","i":0})"},
        {"homeBind", orvi_ble_request_homeBind, R"({"t":"homeBind","homeId":1,"homeMac":"","homeKey":""})"},
        {"QnetDev", orvi_ble_request_QnetDev,
         R"({"t":"QnetDev","QnetID":1,"QnetKey":"1","BleinfoSend":1,"ssid":"a","psw":"","host":"h"})"},
    };
    ASSERT_EQ(0, product_linkinglist_init());
    for (const Case &c : cases) {
        for (connect_type_t conn : {SOCKET_CONNECT_TYPE_UDP, SOCKET_CONNECT_TYPE_TCP, SOCKET_CONNECT_TYPE_MQTT}) {
            const HandlerResult r = run_handler(c.fn, c.packet, conn);
            EXPECT_EQ(-1, r.rc) << c.name << " over " << conn;
            EXPECT_TRUE(r.rsp.empty()) << c.name << " over " << conn;
        }
        EXPECT_EQ(kHomeMac, product_get_mac_str()) << c.name << ": stored though refused";
        EXPECT_EQ(0, run_handler(c.fn, c.packet).rc) << c.name << " over BLE";
        set_identity();
    }
}

TEST_F(BleProvTest, BindAnswersWithTheRandomKeyUnderTheDefaultKey) {
    ASSERT_EQ(0, product_linkinglist_init());
    const HandlerResult r = run_handler(orvi_ble_request_bind, R"({"t":"bind"})");
    ASSERT_EQ(0, r.rc);
    EXPECT_EQ(AES_KEY_TYPE_DEFAULT, r.key);
    EXPECT_EQ((std::vector<std::string>{"t", "key", "mac", "IsCP", "subCnt", "Qnet"}), members(r.rsp));
    EXPECT_EQ(kRandomKey, member_str(r.rsp, "key"));
    EXPECT_EQ(kHostMac, member_str(r.rsp, "mac"));
    EXPECT_EQ("1", member_str(r.rsp, "IsCP"));
    EXPECT_EQ("2", member_str(r.rsp, "Qnet"));
}

// The app's "bind" from its write to the notifications that carry the
// answer: gathered, queued on the request queue, opened and dispatched by the
// request task, answered through the BLE channel, cut into chunks and sent
// one per tick.
TEST_F(BleProvTest, BindFromWriteToNotificationsThroughTheIntake) {
    orvi_ble_service_install(&orvi_ble_prov_ops);
    ASSERT_EQ(0, product_linkinglist_init());
    ready();
    connect(185);
    const std::string packet = seal(R"({"t":"bind"})", ORVI_DEFAULT_KEY, AES_KEY_TYPE_DEFAULT, "", kHomeMac, 0,
                                    SOCKET_CONNECT_TYPE_BLE);
    // Written in two pieces, as an app at a small MTU would.
    ASSERT_EQ(ORVI_ATT_OK, write(packet.substr(0, 30)));
    ASSERT_EQ(ORVI_ATT_OK, write(packet.substr(30)));
    receive();
    std::vector<request_type_t> reqs = drain_requests();
    ASSERT_EQ(1u, reqs.size());
    request_task_t task;
    request_task_init(&task);
    ASSERT_EQ(0, request_task_process(&task, &reqs[0]));

    // The answer leaves in chunks, one per tick, until the message is whole.
    std::string joined;
    int pins = -1;
    for (int tick = 0; tick < 40 && (pins < 0 || static_cast<int>(host.notifications.size()) < pins); ++tick) {
        host.fire(ORVI_BLE_SEND_PERIOD_MS);
        if (pins < 0 && !host.notifications.empty()) pins = std::stoi(cp_field(host.notifications[0].value, "pins"));
    }
    ASSERT_GT(pins, 0);
    for (const std::string &n : notified()) {
        EXPECT_LE(n.size(), 182u);
        joined += cp_field(n, "CP");
    }
    const std::string inner = orvictl_open(joined, ORVI_DEFAULT_KEY);
    EXPECT_EQ("blekey", member_str(inner, "t")) << joined;
    EXPECT_EQ(kRandomKey, member_str(inner, "key"));
    EXPECT_EQ(kHostMac, member_str(inner, "mac"));
}

TEST_F(BleProvTest, BleinfoReportsTheWifiOutcomeAndEndsPairingThreeSecondsAfterSuccess) {
    struct Case {
        const char *name;
        WifiConnectionState state;
        uint8_t match_before;
        int wificon;
        bool pairing_ends;
    } cases[] = {
        {"connected while pairing from unmatched", WIFI_CONNECTED, 3, 1, true},
        {"connected while pairing from matched", WIFI_CONNECTED, 2, 1, true},
        {"connected outside pairing", WIFI_CONNECTED, 0, 1, false},
        {"failed", WIFI_CONNECTION_FAILED, 3, -1, false},
        {"state unknown", WIFI_UNKNOWN_STATE, 3, -1, false},
    };
    for (const Case &c : cases) {
        pending_calls_clear();
        product_set_match_status(c.match_before);
        orvi_ble_advertise(1);
        g_wifi_state = c.state;
        request_data_t req;
        req.conn = SOCKET_CONNECT_TYPE_BLE;
        ASSERT_EQ(0, orvi_ble_send_bleinfo(&req, std::make_shared<orvi_subdev_list_t>())) << c.name;
        const std::string rsp = req.rsp_data.substr(0, req.rsp_size);
        EXPECT_EQ((std::vector<std::string>{"t", "mac", "mid", "ver", "wificon"}), members(rsp)) << c.name;
        EXPECT_EQ(std::to_string(c.wificon), member_str(rsp, "wificon")) << c.name;
        EXPECT_EQ(AES_KEY_TYPE_RANDOM, req.rsp_key) << c.name;
        // Nothing changes before the three seconds are up.
        for (long ms = 0; ms < ORVI_BLE_MATCH_DONE_DELAY_MS - ORVI_TIMER_TICK_MS; ms += ORVI_TIMER_TICK_MS)
            orvi_timer_tick_once();
        EXPECT_EQ(c.match_before, product_get_match_status()) << c.name;
        EXPECT_EQ(BT_TOADV, orvi_bt_status_get()) << c.name;
        for (int i = 0; i < 5; ++i)
            orvi_timer_tick_once();
        EXPECT_EQ(c.pairing_ends ? 1 : c.match_before, product_get_match_status()) << c.name;
        EXPECT_EQ(c.pairing_ends ? BT_TOIDLE : BT_TOADV, orvi_bt_status_get()) << c.name;
        bool success_published = false;
        for (const std::string &call : pending_calls())
            if (call.find("publish /host") == 0 && call.find("success") != std::string::npos) success_published = true;
        EXPECT_EQ(c.pairing_ends, success_published) << c.name;
    }
}

}  // namespace
