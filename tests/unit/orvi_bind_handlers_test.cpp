// The binding, pairing and heartbeat handlers. Peers' packets go through the
// real request task (envelope, target lookup, dispatch, answer) where the
// channel matters; the list and relay handlers are called directly. The
// event loop runs with a recorder in place of the host handler, the timers
// are driven by the manual tick, and the publishers' messages are recorded
// opened ("publish <topic> <plaintext>").
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "intake_test_support.h"
#include "local_mqtt.h"
#include "local_mqtt_pack.h"
#include "orvi_bincmd.h"
#include "orvi_bind_handlers.h"
#include "orvi_event_loop.h"
#include "orvi_host_event.h"
#include "orvi_mid_config.h"
#include "orvi_miniapp.h"
#include "orvi_testing.h"
#include "orvi_timer.h"
#include "orvi_subdev_ctrl.h"
#include "orvi_backup.h"
#include "posted_events.h"

using namespace intake_test;

namespace {

// ---- What the handlers post to the event loop ---------------------------------------

struct Posted {
    orvi_event_loop_t event;
    std::string text;
    std::string mac;
};
bool is_page(orvi_event_loop_t event) {
    return event == ORVI_EVENT_MINIAPP_RES;
}
bool is_not_page(orvi_event_loop_t event) {
    return !is_page(event);
}

// Everything but the mini-app pages (event 4106) posted so far.
std::vector<Posted> posted() {
    std::vector<Posted> out;
    for (const posted_event_t &e : posted_events_take(is_not_page))
        out.push_back({e.event, e.text, e.mac});
    return out;
}

// The targets of the mini-app pages posted so far.
std::vector<std::string> miniapp_pages() {
    std::vector<std::string> out;
    for (const posted_event_t &e : posted_events_peek(is_page))
        out.push_back(e.mac);
    return out;
}

void miniapp_pages_clear() {
    posted_events_take(is_page);
}

std::vector<orvi_event_loop_t> events(const std::vector<Posted> &v) {
    std::vector<orvi_event_loop_t> out;
    for (const Posted &p : v)
        out.push_back(p.event);
    return out;
}

// ---- Packets ---------------------------------------------------------------------------

using bindutil_json = std::unique_ptr<cJSON, void (*)(cJSON *)>;
bindutil_json parse(const std::string &text) {
    return bindutil_json(cJSON_Parse(text.c_str()), cJSON_Delete);
}

// The inner text of an answer envelope, opened with `key` ("" when it does not open).
std::string open_answer(const std::string &env, const std::string &key, int *family = nullptr) {
    auto j = parse(env);
    const cJSON *i = cJSON_GetObjectItem(j.get(), "i");
    const cJSON *p = cJSON_GetObjectItem(j.get(), "pack");
    if (!cJSON_IsString(p)) return "";
    if (family) *family = cJSON_IsNumber(i) ? i->valueint : -1;
    std::string text = p->valuestring;
    if (orvi_aes_decrypt(key.c_str(), text) != 0) return "";
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

int array_size(const std::string &text, const char *name) {
    auto j = parse(text);
    const cJSON *a = cJSON_GetObjectItem(j.get(), name);
    return cJSON_IsArray(a) ? cJSON_GetArraySize(a) : -1;
}

std::string member_json(const std::string &text, const char *name) {
    auto j = parse(text);
    char *p = cJSON_PrintUnformatted(cJSON_GetObjectItem(j.get(), name));
    std::string s = p ? p : "";
    cJSON_free(p);
    return s;
}

const char kMidConfig[] = R"({"90001":{"type_value":3},"80001":{"type_value":4},"60001":{"type_value":6},
    "10001":{"type_value":1},"70001":{"type_value":12},"99999":{"type_value":0}})";
const char kKey2[] = "dev10123456789ab";

class BindTest : public IntakeFixture {
  protected:
    void SetUp() override {
        IntakeFixture::SetUp();
        orvi_timer_service_stop();
        orvi_bind_reset_for_test();
        orvi_bind_check_worker_for_test(false);
        orvi_miniapp_reset_for_test();
        bincmd_retry_reset();
        root.write("/data/domivault/data/mid_config.json", kMidConfig);
        ASSERT_EQ(0, orvi_mid_config_init());
        {
            orvi::MutexLock lk(orvi_dev_info_mutex());
            orvi_field_set(orvi_dev_info.homeHostMid_str, ORVI_HOME_HOST_MID_STR);
            orvi_field_set(orvi_dev_info.protocol_ver, ORVI_PROTOCOL_VER);
            orvi_field_set(orvi_dev_info.hid, ORVI_FIRMWARE_ID);
        }
        ASSERT_EQ(0, product_linkinglist_init());
        product_host_settings_reset_for_test();
        // The binding itself is under test here: the host is in pairing, so
        // peers that hold only the default key are answered.
        product_bind_window_reset_for_test(0);
        product_set_match_status(3);
        ASSERT_EQ(0, posted_events_start());
        request_task_init(&task_);
        request_wiring::writers_set(
            [this](const std::string &data, const dev_socket_t &, const orvi_subdev_ptr &) {
                written_.push_back(data);
                return 0;
            });
    }
    void TearDown() override {
        posted_events_stop();
        orvi_timer_service_stop();
        orvi_bind_reset_for_test();
        orvi_miniapp_reset_for_test();
        bincmd_retry_reset();
        product_host_settings_reset_for_test();
        product_set_match_status(0);
        product_bind_window_reset_for_test(0);
        IntakeFixture::TearDown();
    }

    // A peer's packet through the request task; the answer envelope or "".
    std::string send(const std::string &inner, const std::string &cid, aes_key_t family, const char *key,
                     connect_type_t conn = SOCKET_CONNECT_TYPE_UDP, int fd = -1) {
        written_.clear();
        request_type_t r = received(seal(inner, key, family, cid, kHomeMac, 7, conn), sock(conn, fd, 5001));
        request_task_process(&task_, &r);
        return written_.empty() ? "" : written_.back();
    }
    // The mini-app binds; returns its record.
    orvi_subdev_ptr bind_app(int devCnt = 0) {
        std::string ubind = R"({"t":"UBind","mac":"miniApp","devCnt":)" + std::to_string(devCnt) + "}";
        EXPECT_NE("", send(ubind, ORVI_MINIAPP_MAC, AES_KEY_TYPE_DEFAULT, ORVI_DEFAULT_KEY));
        return product_get_subdev_form_host(ORVI_MINIAPP_MAC);
    }
    orvi_subdev_ptr add(const std::string &mac, dev_type_t type, int macId = 0, const char *mid = "90001") {
        orvi_subdev_list_t d;
        orvi_field_set(d.mac, mac);
        orvi_field_set(d.key, kDevKey);
        orvi_field_set(d.mid, mid);
        d.dev_type = type;
        d.macId = macId;
        return product_add_subdev_to_host(&d);
    }
    // Calls a handler directly with `inner` from `dev`; the answer's text or "".
    std::string call(request_handle_fn fn, const std::string &inner, const orvi_subdev_ptr &dev,
                     int *rc = nullptr, aes_key_t *key = nullptr) {
        auto j = parse(inner);
        request_data_t req;
        req.req_data = inner;
        const int r = fn(j.get(), &req, dev);
        if (rc) *rc = r;
        if (key) *key = req.rsp_key;
        return req.rsp_size ? req.rsp_data.substr(0, req.rsp_size) : "";
    }
    std::vector<std::string> queued_commands(const std::string &mac) {
        std::vector<std::string> out;
        orvi::MutexLock lk(binCmd_Retry_List.mu);
        if (bincmd_retry_node_t *n = bincmd_retry_node_get(&binCmd_Retry_List, mac.c_str()))
            for (const bincmd_cmd_node_t &c : n->cmd_list.cmds)
                if (c.flag_res != FLAG_RES_IGNORE) out.push_back(member_str(c.cmd, "t"));
        return out;
    }
    std::vector<std::string> published(const std::string &topic) {
        std::vector<std::string> out;
        const std::string prefix = "publish " + topic + " ";
        for (const std::string &c : pending_calls())
            if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c.substr(prefix.size()));
        return out;
    }
    // The binary commands queued for `mac` on the board's broker, opened with
    // the device's key.
    std::vector<std::string> room_commands(const std::string &mac) {
        std::vector<std::string> out;
        orvi_subdev_ptr d = product_get_subdev_form_host(mac.c_str());
        if (!d) return out;
        const std::string key(orvi_field_view(orvi_subdev_snapshot(d).key));
        const std::string topic = std::string("/binRequest/") + kHomeMac + "/" + mac;
        for (int list = 0; list < 2; ++list)
            for (const local_pub_msg_t &m : local_mqtt_pending(list)) {
                if (m.topic != topic) continue;
                cJSON *p = local_mqtt_get_pack_str(m.payload.c_str(), key.c_str(), 0);
                char *t = p ? cJSON_PrintUnformatted(p) : nullptr;
                out.push_back(t ? t : "?");
                cJSON_free(t);
                cJSON_Delete(p);
            }
        return out;
    }
    void set_counters(uint32_t cur, uint32_t total) {
        product_minipro_sync_start(total);
        product_minipro_sync_advance(cur);
    }
    std::pair<uint32_t, uint32_t> counters() {
        uint32_t cur = 0, total = 0;
        product_minipro_sync_get(&cur, &total);
        return {cur, total};
    }
    int rooms_held() { return static_cast<int>(product_roomlist_get().size()); }
    std::string room_name(int i) { return product_roomlist_get().at(static_cast<size_t>(i)).name; }

    request_task_t task_;
    std::vector<std::string> written_;
};

std::string ubind_of(const std::string &mac, const std::string &mid, const std::string &key,
                     const std::string &extra = "") {
    return R"({"t":"UBind","mac":")" + mac + R"(","mid":")" + mid + R"(","ver":"1.0.0","devkey":")" + key +
           R"(","hid":"fw1")" + extra + "}";
}

// ---- UBind -----------------------------------------------------------------------------

TEST_F(BindTest, NewUdpDeviceBindsAndIsAnsweredWithItsOwnKey) {
    const std::string env = send(ubind_of("02aabb000001", "90001", kKey2), "02aabb000001",
                                 AES_KEY_TYPE_DEFAULT, ORVI_DEFAULT_KEY);
    int family = -1;
    const std::string ans = open_answer(env, kKey2, &family);
    EXPECT_EQ(AES_KEY_TYPE_RANDOM, family);
    EXPECT_EQ((std::vector<std::string>{"t", "mac", "mid", "ver", "hid", "roomId", "udpVer"}), members(ans));
    EXPECT_EQ("UBindok", member_str(ans, "t"));
    EXPECT_EQ(kHomeMac, member_str(ans, "mac"));
    EXPECT_EQ(ORVI_HOME_HOST_MID_STR, member_str(ans, "mid"));
    const orvi_subdev_ptr d = product_get_subdev_form_host("02aabb000001");
    ASSERT_TRUE(d);
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(d);
    EXPECT_EQ(DEV_TYPE_UDP, f.dev_type);
    EXPECT_STREQ(kKey2, f.key);
    EXPECT_STREQ("90001", f.mid);
    EXPECT_EQ(1, f.online);
    EXPECT_NE(0u, f.hb_ticks);
    EXPECT_NE(ULONG_MAX, f.hb_ticks);
    // A UDP device that was not online asks for a connection upload.
    EXPECT_EQ((std::vector<orvi_event_loop_t>{ORVI_EVENT_CONNECT_UPLOAD}), events(posted()));
}

TEST_F(BindTest, MiniAppBindGetsTheHomeKeyAndTheIdLists) {
    add("t00000000001", DEV_TYPE_TOVRA, 5, "80001");
    add("c00000000001", DEV_TYPE_CENTCTRL, 7, "60001");
    add("u00000000001", DEV_TYPE_UDP, 0);
    add("u00000000002", DEV_TYPE_UDP, 9);
    ASSERT_EQ(0, product_set_QnetID(3));
    ASSERT_EQ(0, product_set_host_info_qnetkey("a1b2c3d4"));
    const std::string env = send(R"({"t":"UBind","mac":"miniApp","devCnt":25,"idSync":1})", ORVI_MINIAPP_MAC,
                                 AES_KEY_TYPE_DEFAULT, ORVI_DEFAULT_KEY);
    int family = -1;
    const std::string ans = open_answer(env, ORVI_DEFAULT_KEY, &family);
    EXPECT_EQ(AES_KEY_TYPE_DEFAULT, family);
    EXPECT_EQ((std::vector<std::string>{"t", "mac", "mid", "ver", "hid", "tovraMac", "key", "devCnt",
                                        "Qnetkey", "fIdList", "bIdList", "mappVer"}),
              members(ans));
    EXPECT_EQ(kHomeKey, member_str(ans, "key"));
    EXPECT_EQ("4", member_str(ans, "devCnt"));  // the registry less the app itself
    EXPECT_EQ("a1b2c3d4", member_str(ans, "Qnetkey"));
    EXPECT_EQ("[3,5,7]", member_json(ans, "fIdList"));
    EXPECT_EQ("[9]", member_json(ans, "bIdList"));
    const orvi_subdev_fields_t app = orvi_subdev_snapshot(product_get_subdev_form_host(ORVI_MINIAPP_MAC));
    EXPECT_EQ(DEV_TYPE_MINIPRO, app.dev_type);
    EXPECT_STREQ(kHomeKey, app.key);
    EXPECT_EQ(std::make_pair(0u, 25u), counters());
    EXPECT_EQ(1, product_get_host_counts().minipro);
}

TEST_F(BindTest, MiniAppBindWithoutIdSyncHasNoIdLists) {
    const std::string ans = open_answer(
        send(R"({"t":"UBind","mac":"miniApp"})", ORVI_MINIAPP_MAC, AES_KEY_TYPE_DEFAULT, ORVI_DEFAULT_KEY),
        ORVI_DEFAULT_KEY);
    EXPECT_EQ((std::vector<std::string>{"t", "mac", "mid", "ver", "hid", "tovraMac", "key", "devCnt",
                                        "Qnetkey", "mappVer"}),
              members(ans));
    EXPECT_EQ("0", member_str(ans, "devCnt"));
}

TEST_F(BindTest, APeerBindingAgainIsReachedOnTheChannelItBindsOn) {
    orvi_subdev_ptr app = bind_app();
    ASSERT_EQ(SOCKET_CONNECT_TYPE_UDP, orvi_subdev_snapshot(app).dev_socket.type);
    // The app opens a new session over TCP: still sealed with the default key.
    EXPECT_NE("", send(R"({"t":"UBind","mac":"miniApp"})", ORVI_MINIAPP_MAC, AES_KEY_TYPE_DEFAULT,
                       ORVI_DEFAULT_KEY, SOCKET_CONNECT_TYPE_TCP, 9));
    const dev_socket_t s = orvi_subdev_snapshot(app).dev_socket;
    EXPECT_EQ(SOCKET_CONNECT_TYPE_TCP, s.type);
    EXPECT_EQ(9, s.fd);
    // A packet that is not a binding does not move it.
    orvi_subdev_ptr d = add("0b0000000001", DEV_TYPE_UDP);
    send(R"({"t":"hb","cid":"0b0000000001"})", "0b0000000001", AES_KEY_TYPE_DEFAULT, ORVI_DEFAULT_KEY,
         SOCKET_CONNECT_TYPE_TCP, 11);
    EXPECT_EQ(SOCKET_CONNECT_TYPE_NONE, orvi_subdev_snapshot(d).dev_socket.type);
}

TEST_F(BindTest, ReleasedDeviceBindingAgain) {
    struct Case {
        const char *name;
        dev_type_t type;
        const char *devkey;
        const char *extra;  // more members of the UBind
        bool reset_only;
    };
    const Case cases[] = {
        {"udp_same_key", DEV_TYPE_UDP, kDevKey, "", true},
        {"udp_other_key", DEV_TYPE_UDP, kKey2, "", false},
        {"centctrl_same_key_same_id", DEV_TYPE_CENTCTRL, kDevKey, R"(,"QnetID":65543)",
         true},  // low 16 bits: 7
        {"centctrl_same_key_other_id", DEV_TYPE_CENTCTRL, kDevKey, R"(,"QnetID":8)", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        product_registry_reset_for_test();
        bincmd_retry_reset();
        posted();
        const char *mid = c.type == DEV_TYPE_UDP ? "90001" : "60001";
        orvi_subdev_ptr d = add("0a0b0c0d0e0f", c.type, 7, mid);
        orvi_subdev_locked(d, [](orvi_subdev_list_t &r) { r.f_register = SERVER_RELEASE; });
        // The registered device binds with the default key (its own key may be gone).
        const std::string env = send(ubind_of("0a0b0c0d0e0f", mid, c.devkey, c.extra), "0a0b0c0d0e0f",
                                     AES_KEY_TYPE_DEFAULT, ORVI_DEFAULT_KEY);
        const orvi_subdev_fields_t f = orvi_subdev_snapshot(d);
        if (c.reset_only) {
            EXPECT_EQ("", env);
            EXPECT_EQ((std::vector<std::string>{"reset"}), queued_commands("0a0b0c0d0e0f"));
            EXPECT_EQ(SERVER_RELEASE, f.f_register);
            EXPECT_TRUE(events(posted()).empty());
        } else {
            EXPECT_EQ("UBindok", member_str(open_answer(env, c.devkey), "t"));
            EXPECT_EQ(SERVER_UNREGISTER, f.f_register);
            EXPECT_STREQ(c.devkey, f.key);
            const std::vector<Posted> p = posted();
            ASSERT_FALSE(p.empty());
            EXPECT_EQ(ORVI_EVENT_DEVINFO_DELETE, p[0].event);
            EXPECT_EQ("0a0b0c0d0e0f", p[0].text);
            if (c.type == DEV_TYPE_CENTCTRL) {
                EXPECT_EQ(8, f.macId);  // the QnetID it claims
            } else {
                EXPECT_EQ(-1, f.macId);
            }
        }
    }
}

// With the default key alone, the app learns the home key and a registered
// device's record is taken over only in the binding window; a new device
// binds at any time, and a peer that seals with its own key always binds.
TEST_F(BindTest, DefaultKeyBindsTheAppAndRegisteredDevicesOnlyInTheBindingWindow) {
    struct State {
        const char *name;
        uint8_t match_status;
        uint64_t pairing_ended_ago_ms;  // 0: not since start
        bool home_key;
        bool open;
    };
    const State states[] = {
        {"pairing_from_the_key", 3, 0, true, true},
        {"pairing_a_matched_host", 2, 0, true, true},
        {"pairing_ended_a_minute_ago", 1, 60'000, true, true},
        {"pairing_ended_long_ago", 1, ORVI_BIND_WINDOW_AFTER_MS + 60'000, true, false},
        {"never_paired_since_start", 1, 0, true, false},
        {"suspended_by_a_backup", 5, 0, true, false},
        {"no_home_yet", 0, 0, false, true},
    };
    struct Peer {
        const char *name;
        bool app, registered, own_key;
        bool answered_when_closed;
    };
    const Peer peers[] = {
        {"app_default_key", true, false, false, false},
        {"app_again_default_key", true, true, false, false},
        {"app_own_key", true, true, true, true},
        {"app_unknown_to_the_host_with_the_home_key", true, false, true, true},
        {"registered_device_default_key", false, true, false, false},
        {"registered_device_own_key", false, true, true, true},
        {"new_device_default_key", false, false, false, true},
    };
    for (const State &st : states) {
        for (const Peer &p : peers) {
            SCOPED_TRACE(std::string(st.name) + " / " + p.name);
            product_registry_reset_for_test();
            {
                orvi::MutexLock lk(orvi_dev_info_mutex());
                orvi_field_set(orvi_dev_info.home_key, p.own_key || st.home_key ? kHomeKey : "");
            }
            const std::string mac = p.app ? ORVI_MINIAPP_MAC : "0a0b0c0d0e0f";
            orvi_subdev_ptr d;
            if (p.registered && p.app) {
                d = bind_app();  // in pairing, as the fixture leaves it
                ASSERT_TRUE(d);
            } else if (p.registered) {
                d = add(mac, DEV_TYPE_UDP, 7);
                orvi_subdev_locked(d, [](orvi_subdev_list_t &r) { r.dev_socket.type = SOCKET_CONNECT_TYPE_UDP; });
            }
            product_set_match_status(st.match_status);
            product_bind_window_reset_for_test(st.pairing_ended_ago_ms);

            const std::string inner =
                p.app ? R"({"t":"UBind","mac":"miniApp"})" : ubind_of(mac, "90001", p.own_key ? kDevKey : kKey2);
            const char *seal_key = !p.own_key ? ORVI_DEFAULT_KEY : p.app ? kHomeKey : kDevKey;
            const std::string env = send(inner, mac, p.own_key ? AES_KEY_TYPE_RANDOM : AES_KEY_TYPE_DEFAULT,
                                         seal_key, SOCKET_CONNECT_TYPE_TCP, 9);
            const bool answered = !env.empty();
            EXPECT_EQ(st.open || p.answered_when_closed, answered);
            if (p.registered && !answered) {
                // Refused: the record keeps its channel and key.
                const orvi_subdev_fields_t f = orvi_subdev_snapshot(d);
                EXPECT_NE(SOCKET_CONNECT_TYPE_TCP, f.dev_socket.type);
                EXPECT_STREQ(p.app ? kHomeKey : kDevKey, f.key);
            }
            if (p.app && !p.registered && !answered) {
                EXPECT_FALSE(product_get_subdev_form_host(ORVI_MINIAPP_MAC));
            }
            product_set_match_status(3);
            product_bind_window_reset_for_test(0);
        }
    }
}

TEST_F(BindTest, UBindRefusals) {
    struct Case {
        const char *name;
        std::string inner;
    };
    const Case cases[] = {
        {"type_none", ubind_of("0a0000000001", "55555", kKey2)},
        {"type_zero_in_config", ubind_of("0a0000000001", "99999", kKey2)},
        {"no_mid", R"({"t":"UBind","devkey":")" + std::string(kKey2) + R"("})"},
        {"mid_16", ubind_of("0a0000000001", "9000190001900019", kKey2)},
        {"ver_16", R"({"t":"UBind","mid":"90001","devkey":")" + std::string(kKey2) + R"(","ver":")" +
                       std::string(16, 'v') + R"("})"},
        {"hid_40", R"({"t":"UBind","mid":"90001","devkey":")" + std::string(kKey2) + R"(","hid":")" +
                       std::string(40, 'h') + R"("})"},
        {"devkey_15", ubind_of("0a0000000001", "90001", "dev0012345678ab")},
        {"devkey_17", ubind_of("0a0000000001", "90001", "dev00123456789abc")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ("", send(c.inner, "0a0000000001", AES_KEY_TYPE_DEFAULT, ORVI_DEFAULT_KEY));
        EXPECT_FALSE(product_get_subdev_form_host("0a0000000001"));
    }
    // Still serving.
    EXPECT_NE("", send(ubind_of("0a0000000001", "90001", kKey2), "0a0000000001", AES_KEY_TYPE_DEFAULT,
                       ORVI_DEFAULT_KEY));
}

TEST_F(BindTest, OnlyTheMiniAppStartsADeviceListSync) {
    set_counters(4, 9);
    send(ubind_of("0a0000000001", "90001", kKey2, R"(,"devCnt":1)"), "0a0000000001", AES_KEY_TYPE_DEFAULT,
         ORVI_DEFAULT_KEY);
    EXPECT_EQ(std::make_pair(4u, 9u), counters());
}

TEST_F(BindTest, CentralControllerAnswer) {
    {
        orvi::MutexLock lk(orvi_dev_info_mutex());
        orvi_dev_info.homeId = 4711;
    }
    ASSERT_EQ(0, product_set_province("Zhejiang"));
    bind_app();
    const std::string ans = open_answer(send(ubind_of("0c0000000001", "60001", kKey2, R"(,"QnetID":12)"),
                                             "0c0000000001", AES_KEY_TYPE_DEFAULT, ORVI_DEFAULT_KEY),
                                        kKey2);
    // No Qnet key, no NLU server, no city: their members are left out.
    EXPECT_EQ((std::vector<std::string>{"t", "mac", "mid", "ver", "hid", "roomId", "key", "devCnt",
                                        "province", "homeId", "udpVer"}),
              members(ans));
    EXPECT_EQ(kHomeKey, member_str(ans, "key"));
    EXPECT_EQ("0", member_str(ans, "devCnt"));  // the app and the controller itself are not counted
    EXPECT_EQ("4711", member_str(ans, "homeId"));
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(product_get_subdev_form_host("0c0000000001"));
    EXPECT_EQ(ULONG_MAX, f.hb_ticks);  // never times out
    EXPECT_EQ(0, f.online);            // a controller reports its own state
    EXPECT_EQ(12, f.macId);
}

// ---- hb, Utm -------------------------------------------------------------------------

TEST_F(BindTest, Heartbeats) {
    struct Case {
        const char *name;
        const char *mid;
        register_flag_t reg;
        std::string inner;
        bool answered;
        std::vector<std::string> queued;
    };
    const Case cases[] = {
        {"bound",
         "90001",
         SERVER_REGISTERED,
         R"({"t":"hb","cid":"0b0000000001","RSSI":-61})",
         true,
         {"statusCheck"}},
        {"empty_mid", "", SERVER_REGISTERED, R"({"t":"hb","cid":"0b0000000001"})", false, {}},
        {"cid_of_another", "90001", SERVER_REGISTERED, R"({"t":"hb","cid":"0b0000000002"})", false, {}},
        {"no_cid", "90001", SERVER_REGISTERED, R"({"t":"hb"})", false, {}},
        {"released", "90001", SERVER_RELEASE, R"({"t":"hb","cid":"0b0000000001"})", false, {"reset"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        product_registry_reset_for_test();
        bincmd_retry_reset();
        orvi_subdev_ptr d = add("0b0000000001", DEV_TYPE_UDP, 0, c.mid);
        orvi_subdev_locked(d, [&](orvi_subdev_list_t &r) {
            r.f_register = c.reg;
            r.hb_ticks = 1;
        });
        const std::string env = send(c.inner, "0b0000000001", AES_KEY_TYPE_DEFAULT, ORVI_DEFAULT_KEY);
        const orvi_subdev_fields_t f = orvi_subdev_snapshot(d);
        if (c.answered) {
            int family = -1;
            EXPECT_EQ(R"({"t":"hbok"})", open_answer(env, ORVI_DEFAULT_KEY, &family));
            EXPECT_EQ(AES_KEY_TYPE_DEFAULT, family);
            EXPECT_EQ(-61, f.RSSI);
            EXPECT_NE(1u, f.hb_ticks);
        } else {
            EXPECT_EQ("", env);
            EXPECT_EQ(1u, f.hb_ticks);
        }
        EXPECT_EQ(c.queued, queued_commands("0b0000000001"));
    }
}

TEST_F(BindTest, TimeAnswer) {
    orvi_subdev_ptr d = add("0b0000000001", DEV_TYPE_UDP);
    aes_key_t key = AES_KEY_TYPE_NONE;
    const std::string ans = call(request_handle_Utm, R"({"t":"Utm"})", d, nullptr, &key);
    EXPECT_EQ(AES_KEY_TYPE_RANDOM, key);
    EXPECT_EQ((std::vector<std::string>{"t", "time"}), members(ans));
    EXPECT_EQ("resUtm", member_str(ans, "t"));
    EXPECT_TRUE(
        std::regex_match(member_str(ans, "time"), std::regex(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})")));
}

// ---- connect ----------------------------------------------------------------------------

TEST_F(BindTest, ConnectSkipsUnknownAndOverlongMacsAndListsTheWiredDevices) {
    orvi_subdev_ptr can1 = add("0d0000000001", DEV_TYPE_CAN, 0, "10001");
    orvi_subdev_ptr can2 = add("0d0000000002", DEV_TYPE_CAN, 0, "10001");
    add("0d0000000003", DEV_TYPE_UDP);
    bind_app();
    orvi_subdev_locked(can1, [](orvi_subdev_list_t &r) { r.online = 1; });
    ASSERT_GE(product_linkinglist_candev_add("0d0000000001", "10001"), 0);
    ASSERT_GE(product_linkinglist_candev_add("0e0000000009", "10001"), 0);  // seen on the bus, not registered
    const std::string inner = R"({"t":"connect","offlineSub":["0d0000000001","0e0000000009","ffffffffffff",)"
                              R"("0123456789abcdefX",7],"onlineSub":["0d0000000002","eeeeeeeeeeee",null]})";
    aes_key_t key = AES_KEY_TYPE_NONE;
    int rc = -1;
    const std::string ans =
        call(request_handle_connect, inner, std::make_shared<orvi_subdev_list_t>(), &rc, &key);
    ASSERT_EQ(0, rc);
    EXPECT_EQ(AES_KEY_TYPE_DEFAULT, key);
    EXPECT_EQ((std::vector<std::string>{"t", "online", "mac", "onlineSub", "offlineSub"}), members(ans));
    EXPECT_EQ(R"(["0d0000000002",")" + std::string(kHostMac) + R"("])", member_json(ans, "onlineSub"));
    EXPECT_EQ(R"(["0d0000000001"])", member_json(ans, "offlineSub"));
    EXPECT_FALSE(product_linkinglist_dev_get("0d0000000001", 0, 1, nullptr));
    EXPECT_FALSE(product_linkinglist_dev_get("0e0000000009", 0, 1, nullptr));
    EXPECT_EQ(1u, published("/onlineSub").size());
    // A list that is missing is refused.
    EXPECT_EQ("", call(request_handle_connect, R"({"t":"connect","onlineSub":[]})", can1, &rc));
    EXPECT_EQ(-1, rc);
}

// ---- subDev, checksub ---------------------------------------------------------------

TEST_F(BindTest, SubDevPagesTheUnregisteredWiredDevicesBy32) {
    char mac[17];
    for (int i = 0; i < 42; ++i) {
        snprintf(mac, sizeof mac, "0f00000000%02d", i);
        ASSERT_GE(product_linkinglist_485dev_add(mac, "20001"), 0);
    }
    add("0f0000000005", DEV_TYPE_485);
    add("0f0000000030", DEV_TYPE_485);
    orvi_subdev_ptr app = bind_app();
    struct Case {
        int i;
        int items, next;
        std::string first;
    };
    for (const Case &c :
         {Case{0, 32, 32, "0f0000000000"}, Case{32, 8, 40, "0f0000000034"}, Case{40, 0, 40, ""}}) {
        SCOPED_TRACE(c.i);
        aes_key_t key = AES_KEY_TYPE_NONE;
        const std::string ans =
            call(request_handle_subDev,
                 R"({"t":"subDev","mac":"x","cid":"miniApp","i":)" + std::to_string(c.i) + "}", app, nullptr,
                 &key);
        EXPECT_EQ(AES_KEY_TYPE_RANDOM, key);
        EXPECT_EQ((std::vector<std::string>{"t", "i", "c", "r", "tcid", "mac", "list"}), members(ans));
        EXPECT_EQ(c.items, array_size(ans, "list"));
        EXPECT_EQ(std::to_string(c.next), member_str(ans, "i"));
        EXPECT_EQ("40", member_str(ans, "c"));
        if (!c.first.empty()) {
            auto list = parse(member_json(ans, "list"));
            EXPECT_STREQ(c.first.c_str(),
                         cJSON_GetObjectItem(cJSON_GetArrayItem(list.get(), 0), "mac")->valuestring);
        }
    }
    int rc = 0;
    EXPECT_EQ("", call(request_handle_subDev, R"({"t":"subDev","mac":"x","cid":"miniApp"})", app, &rc));
    EXPECT_EQ(-1, rc);
    EXPECT_EQ("",
              call(request_handle_subDev, R"({"t":"subDev","mac":"x","cid":"miniApp","i":-1})", app, &rc));
    EXPECT_EQ(-1, rc);
}

TEST_F(BindTest, ChecksubAsksTheServices) {
    orvi_subdev_ptr d = add("0d0000000001", DEV_TYPE_CAN, 0, "10001");
    int rc = -1;
    EXPECT_EQ("", call(request_handle_checksub, R"({"t":"checksub","mac":"x"})", d, &rc));
    EXPECT_EQ(0, rc);
    EXPECT_EQ(2u, published("tovra/check").size());
    EXPECT_EQ(2u, published("can/check").size());
    EXPECT_EQ(0u, published("485/check").size());
    pending_calls_clear();
    EXPECT_EQ("", call(request_handle_checksub, R"({"t":"checksub","sub":"0d0000000001"})", d, &rc));
    EXPECT_EQ(0, rc);
    EXPECT_EQ(2u, published("can/check").size());
    for (const char *bad : {R"({"t":"checksub"})", R"({"t":"checksub","sub":"0123456789abcdefX"})",
                            R"({"t":"checksub","sub":"777777777777"})"}) {
        call(request_handle_checksub, bad, d, &rc);
        EXPECT_EQ(-1, rc) << bad;
    }
}

// ---- devListPush ---------------------------------------------------------------------

std::string dev_elem(const std::string &mac, const std::string &mid, unsigned room,
                     const std::string &extra = "") {
    return R"({"mac":")" + mac + R"(","name":"dev )" + mac + R"(","roomId":)" + std::to_string(room) +
           R"(,"mid":")" + mid + R"(","hid":"h1","key":")" + std::string(kKey2) +
           R"(","ver":"1.0","vender":"1")" + extra + "}";
}

std::string page(int i, const std::vector<std::string> &elems, const std::string &extra = "") {
    std::string list;
    for (const std::string &e : elems)
        list += (list.empty() ? "" : ",") + e;
    return R"({"t":"devListPush","i":)" + std::to_string(i) + R"(,"devList":[)" + list + "]" + extra + "}";
}

TEST_F(BindTest, DevListPushOnlyFromTheMiniApp) {
    orvi_subdev_ptr d = add("0b0000000001", DEV_TYPE_UDP);
    int rc = 0;
    EXPECT_EQ("", call(request_handle_devListPush, page(0, {dev_elem("0b0000000002", "90001", 1)}), d, &rc));
    EXPECT_EQ(-1, rc);
    EXPECT_FALSE(product_get_subdev_form_host("0b0000000002"));
}

TEST_F(BindTest, DevListPageOutOfTurnStoresNothing) {
    orvi_subdev_ptr app = bind_app();
    // No sync announced: the counters say it is done.
    std::string ans = call(request_handle_devListPush, page(3, {dev_elem("0b0000000002", "90001", 1)}), app);
    EXPECT_EQ(R"({"t":"syncDone","mac":")" + std::string(kHomeMac) + R"(","sum":0})", ans);
    EXPECT_FALSE(product_get_subdev_form_host("0b0000000002"));
    // A sync of 10 under way at page 0.
    set_counters(0, 10);
    ans = call(request_handle_devListPush, page(3, {dev_elem("0b0000000002", "90001", 1)}), app);
    EXPECT_EQ(R"({"t":"devListPushRes","i":3,"num":1,"sum":10})", ans);
    EXPECT_FALSE(product_get_subdev_form_host("0b0000000002"));
}

TEST_F(BindTest, DevListSyncOverTwoPagesWithRoomUpdates) {
    orvi_subdev_ptr app = bind_app(12);
    posted();
    std::vector<std::string> first, second;
    char mac[17];
    for (int i = 0; i < 12; ++i) {
        snprintf(mac, sizeof mac, "0b00000000%02d", i);
        (i < 10 ? first : second).push_back(dev_elem(mac, "90001", 100 + i));
    }
    const std::string change = R"(,"operType":1,"sum":12)";
    aes_key_t key = AES_KEY_TYPE_NONE;
    std::string ans = call(request_handle_devListPush, page(0, first, change), app, nullptr, &key);
    EXPECT_EQ(AES_KEY_TYPE_RANDOM, key);
    EXPECT_EQ(R"({"t":"devListPushRes","i":0,"num":10,"sum":12})", ans);
    EXPECT_TRUE(published("/updateRoomId").empty());
    ans = call(request_handle_devListPush, page(10, second, change), app);
    EXPECT_EQ(R"({"t":"syncDone","mac":")" + std::string(kHomeMac) + R"(","sum":12})", ans);
    for (int i = 0; i < 12; ++i) {
        snprintf(mac, sizeof mac, "0b00000000%02d", i);
        const orvi_subdev_fields_t f = orvi_subdev_snapshot(product_get_subdev_form_host(mac));
        EXPECT_EQ(SERVER_REGISTERED, f.f_register) << mac;
        EXPECT_EQ(100u + i, f.roomId) << mac;
        EXPECT_EQ(1, f.online) << mac;
        EXPECT_EQ(DEV_TYPE_UDP, f.dev_type) << mac;
    }
    // One room-id update of all twelve, after the last page.
    const std::vector<std::string> upd = published("/updateRoomId");
    ASSERT_EQ(1u, upd.size());
    auto arr = parse(upd[0]);
    ASSERT_EQ(12, cJSON_GetArraySize(arr.get()));
    char *last = cJSON_PrintUnformatted(cJSON_GetArrayItem(arr.get(), 11));
    EXPECT_STREQ(R"({"mac":"0b0000000011","roomId":111,"name":"dev 0b0000000011"})", last);
    cJSON_free(last);
    // The devices of a multi-device change are announced through the event
    // loop; the sync-done series starts for the app.
    const std::vector<Posted> p = posted();
    int devinfo = 0, done = 0;
    for (const Posted &e : p) {
        devinfo += e.event == ORVI_EVENT_DEVINFO;
        if (e.event == ORVI_EVENT_SYNCDONE) {
            ++done;
            EXPECT_EQ(ORVI_MINIAPP_MAC, e.mac);
        }
    }
    EXPECT_EQ(12, devinfo);
    EXPECT_EQ(1, done);
}

TEST_F(BindTest, DevListElementsThatCannotBeTakenAreSkipped) {
    orvi_subdev_ptr app = bind_app(20);
    const std::vector<std::string> elems = {
        dev_elem("0b0000000001", "90001", 1),
        R"({"mac":"0b0000000002","name":"no key","roomId":1,"mid":"90001","hid":"h","ver":"1","vender":"1"})",
        dev_elem("0123456789abcdefX", "90001", 1),  // MAC of 17 characters
        dev_elem("0b0000000003", "90001", 1, R"(,"devNoteName":")" + std::string(128, 'n') + "\""),
        dev_elem("0b0000000004", "90001_2", 1),  // virtual: announced only
        dev_elem("0b0000000005", "55555", 1),    // no type
        dev_elem("0b0000000006", "90001", 1, R"(,"devExt":"{\\\"a\\\":1}","macId":44)"),
        R"("not an object")",
        dev_elem("", "90001", 1),
    };
    const std::string ans = call(request_handle_devListPush, page(0, elems), app);
    EXPECT_EQ(R"({"t":"devListPushRes","i":0,"num":9,"sum":20})", ans);  // the whole page counts
    for (const char *mac : {"0b0000000002", "0b0000000003", "0b0000000004", "0b0000000005"})
        EXPECT_FALSE(product_get_subdev_form_host(mac)) << mac;
    EXPECT_TRUE(product_get_subdev_form_host("0b0000000001"));
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(product_get_subdev_form_host("0b0000000006"));
    ASSERT_TRUE(f.devExt);
    EXPECT_EQ(R"({"a":1})", *f.devExt);
    EXPECT_EQ(44, f.macId);
    EXPECT_EQ(1u, published("devinfo/" + std::string(kHomeMac) + "/0b0000000004").size());
}

TEST_F(BindTest, DevListPairingSetsShortRoomsOnTheDevices) {
    const dev_roomlist_t kitchen{5001, 7, "Kitchen"};
    ASSERT_EQ(1, product_roomlist_append(&kitchen, 1, true));
    orvi_subdev_ptr known = add("0b0000000001", DEV_TYPE_UDP);
    orvi_subdev_locked(known, [](orvi_subdev_list_t &r) { r.roomId = 3; });
    orvi_subdev_ptr app = bind_app(3);
    call(request_handle_devListPush,
         page(0,
              {dev_elem("0b0000000001", "90001", 5001), dev_elem("0b0000000002", "80001", 5001),
               dev_elem("0b0000000003", "90001", 4242)},
              R"(,"pairMod":1)"),
         app);
    EXPECT_EQ(7u, orvi_subdev_snapshot(product_get_subdev_form_host("0b0000000001")).roomId);
    EXPECT_EQ(7u, orvi_subdev_snapshot(product_get_subdev_form_host("0b0000000002")).roomId);
    // A room without a short id stays as the app gave it.
    EXPECT_EQ(4242u, orvi_subdev_snapshot(product_get_subdev_form_host("0b0000000003")).roomId);
    // The known UDP device changed rooms: told on the bus and by its command,
    // and once more as part of the pairing.
    EXPECT_EQ((std::vector<std::string>{R"({"t":"binCmd","roomId":7})", R"({"t":"binCmd","roomId":7})"}),
              room_commands("0b0000000001"));
    EXPECT_EQ((std::vector<std::string>{R"({"t":"binCmd","roomId":4242})"}), room_commands("0b0000000003"));
    EXPECT_EQ(1, pending_count("new_online_device_list 0b0000000002"));
    EXPECT_TRUE(room_commands("0b0000000002").empty());
}

// ---- Rooms --------------------------------------------------------------------------------

std::string rooms(int first_id, int n, const std::string &bad = "") {
    std::string s;
    for (int k = 0; k < n; ++k) {
        const int id = first_id + k;
        s += (s.empty() ? "" : ",") +
             (k == 1 && !bad.empty()
                  ? bad
                  : R"({"id":)" + std::to_string(id) + R"(,"sId":)" + std::to_string(id % 250 + 1) +
                        R"(,"name":"r)" + std::to_string(id) + "\"}");
    }
    return "[" + s + "]";
}

std::string room_push(int i, int sum, const std::string &list) {
    return R"({"t":"roomListPush","i":)" + std::to_string(i) + R"(,"sum":)" + std::to_string(sum) +
           R"(,"roomList":)" + list + "}";
}

TEST_F(BindTest, RoomListPushPagesAndTheCutAt200) {
    orvi_subdev_ptr app = bind_app();
    std::string ans = call(request_handle_roomListPush, room_push(0, 210, rooms(1, 100)), app);
    EXPECT_EQ(R"({"t":"roomListPushRes","i":0,"num":100,"sum":210})", ans);
    // Out of turn: nothing stored, "num" takes the app back to where the host is.
    ans = call(request_handle_roomListPush, room_push(150, 210, rooms(151, 10)), app);
    EXPECT_EQ(R"({"t":"roomListPushRes","i":150,"num":-50,"sum":210})", ans);
    EXPECT_EQ(100, rooms_held());
    ans = call(request_handle_roomListPush, room_push(100, 210, rooms(101, 110)), app);
    EXPECT_EQ(R"({"t":"syncRoomListDone","sum":210,"mac":")" + std::string(kHomeMac) + "\"}", ans);
    EXPECT_EQ(200, rooms_held());
    EXPECT_EQ("r200", room_name(199));
    const std::vector<Posted> p = posted();
    ASSERT_EQ(1u, p.size());
    EXPECT_EQ(ORVI_EVENT_ROOMLIST, p[0].event);
    auto list = parse(p[0].text);
    EXPECT_EQ(200, cJSON_GetArraySize(list.get()));
}

TEST_F(BindTest, RoomListPushSkipsABadRoomWithoutEndingTheList) {
    orvi_subdev_ptr app = bind_app();
    for (const std::string &bad : {std::string(R"({"id":2,"name":"no sId"})"),
                                   R"({"id":2,"sId":2,"name":")" + std::string(128, 'x') + "\"}",
                                   std::string(R"({"id":2,"sId":2,"name":""})"), std::string("17")}) {
        SCOPED_TRACE(bad);
        const std::string ans = call(request_handle_roomListPush, room_push(0, 3, rooms(1, 3, bad)), app);
        EXPECT_EQ("syncRoomListDone", member_str(ans, "t"));
        EXPECT_EQ(2, rooms_held());
        EXPECT_EQ("r3", room_name(1));
        posted();
    }
}

TEST_F(BindTest, RoomListPushRefusals) {
    orvi_subdev_ptr app = bind_app();
    orvi_subdev_ptr dev = add("0b0000000001", DEV_TYPE_UDP);
    struct Case {
        const char *name;
        std::string inner;
        bool from_app;
    };
    const Case cases[] = {
        {"not_the_app", room_push(0, 1, rooms(1, 1)), false},
        {"i_not_below_sum", room_push(3, 3, rooms(1, 1)), true},
        {"no_list", R"({"t":"roomListPush","i":0,"sum":1})", true},
        {"list_not_array", R"({"t":"roomListPush","i":0,"sum":1,"roomList":{}})", true},
        {"i_not_number", R"({"t":"roomListPush","i":"0","sum":1,"roomList":[]})", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int rc = 0;
        EXPECT_EQ("", call(request_handle_roomListPush, c.inner, c.from_app ? app : dev, &rc));
        EXPECT_EQ(-1, rc);
    }
    EXPECT_EQ(0, rooms_held());
}

std::string up_rooms(const std::string &list) {
    return R"({"t":"upRoomInfo","roomList":)" + list + "}";
}

TEST_F(BindTest, UpRoomInfoReplacesTheRoomsAndKeepsTheWholeHomeRoom) {
    orvi_subdev_ptr d = std::make_shared<orvi_subdev_list_t>();
    struct Case {
        const char *name;
        std::string list;
        int held;
        std::string last;
    };
    const Case cases[] = {
        {"default_added", rooms(1, 3), 4, ORVI_ROOM_DEFAULT_NAME},
        {"has_default", R"([{"id":0,"sId":0,"name":"Home"},{"id":5,"sId":5,"name":"r5"}])", 2, "r5"},
        {"full_no_default", rooms(1, 200), 200, "r200"},
        {"over_full", rooms(1, 230), 200, "r200"},
        {"bad_room_skipped", rooms(1, 3, R"({"id":9,"name":"x"})"), 3, ORVI_ROOM_DEFAULT_NAME},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int rc = -1;
        const std::string inner = up_rooms(c.list);
        EXPECT_EQ("", call(request_handle_upRoomInfo, inner, d, &rc));
        EXPECT_EQ(0, rc);
        EXPECT_EQ(c.held, rooms_held());
        EXPECT_EQ(c.last, room_name(c.held - 1));
        const std::vector<Posted> p = posted();
        ASSERT_EQ(1u, p.size());
        EXPECT_EQ(ORVI_EVENT_ROOMINFO_HTTP, p[0].event);
        EXPECT_EQ(inner, p[0].text);
    }
    int rc = 0;
    call(request_handle_upRoomInfo, up_rooms("[]"), d, &rc);
    EXPECT_EQ(-1, rc);
    call(request_handle_upRoomInfo, R"({"t":"upRoomInfo"})", d, &rc);
    EXPECT_EQ(-1, rc);
    EXPECT_EQ(3, rooms_held());  // a refused update leaves the rooms alone
}

// ---- The host's side of the sync ----------------------------------------------------

TEST_F(BindTest, SyncDevAndSyncDoneSenders) {
    orvi_subdev_ptr app = bind_app(20);
    set_counters(10, 20);
    request_data_t req;
    req.data_type = DATA_TYPE_ONLY_SEND;
    ASSERT_EQ(0, orvi_send_syncDev(&req, app));
    EXPECT_EQ(R"({"t":"syncDev","cid":")" + std::string(kHomeMac) + R"(","i":10})", req.rsp_data);
    EXPECT_EQ(AES_KEY_TYPE_RANDOM, req.rsp_key);
    req = request_data_t{};
    EXPECT_EQ(-1, orvi_send_syncDone(&req, app));
    EXPECT_EQ(0u, req.rsp_size);
    set_counters(20, 20);
    ASSERT_EQ(0, orvi_send_syncDone(&req, app));
    EXPECT_EQ(R"({"t":"syncDone","mac":")" + std::string(kHomeMac) + R"(","sum":20})", req.rsp_data);
    // upDevList sends a prepared text once.
    req = request_data_t{};
    EXPECT_EQ(-1, orvi_send_upDevList(&req, app));
    orvi_upDevList_set(R"({"t":"upDevList","devList":[]})");
    ASSERT_EQ(0, orvi_send_upDevList(&req, app));
    EXPECT_EQ(R"({"t":"upDevList","devList":[]})", req.rsp_data);
    req = request_data_t{};
    EXPECT_EQ(-1, orvi_send_upDevList(&req, app));
}

TEST_F(BindTest, SyncDevRetryIsAbandonedAfterFiveRepeats) {
    orvi_subdev_ptr app = bind_app(20);  // starts the timer
    posted();
    // Each expiry asks again; progress starts the count afresh.
    int asked = 0;
    for (int k = 0; k < 3; ++k)
        asked += syncDev_timeout_step();
    set_counters(10, 20);
    for (int k = 0; k < 10; ++k)
        asked += syncDev_timeout_step();
    EXPECT_EQ(3 + 6, asked);  // 1 + 5 repeats at index 10, then abandoned
    const std::vector<Posted> p = posted();
    ASSERT_EQ(9u, p.size());
    for (const Posted &e : p) {
        EXPECT_EQ(ORVI_EVENT_SYNCDEV, e.event);
        EXPECT_EQ(ORVI_MINIAPP_MAC, e.mac);
    }
    // A completed sync stops at once.
    ASSERT_EQ(0, syncDev_send_ack_check(app));
    set_counters(20, 20);
    EXPECT_EQ(0, syncDev_timeout_step());
}

TEST_F(BindTest, SyncDevTimerRunsOnTheTick) {
    bind_app(5);
    posted();
    for (int k = 0; k < 9; ++k)
        orvi_timer_tick_once();
    EXPECT_TRUE(posted().empty());
    orvi_timer_tick_once();
    EXPECT_EQ((std::vector<orvi_event_loop_t>{ORVI_EVENT_SYNCDEV}), events(posted()));
    for (int k = 0; k < 10; ++k)
        orvi_timer_tick_once();
    EXPECT_EQ((std::vector<orvi_event_loop_t>{ORVI_EVENT_SYNCDEV}), events(posted()));
}

// ---- Acknowledgements of the host's pushes ----------------------------------------------

TEST_F(BindTest, PersistentSyncPushesPagesUntilTheAppHasThemAll) {
    char mac[17];
    for (int i = 0; i < 12; ++i) {
        snprintf(mac, sizeof mac, "0b00000000%02d", i);
        add(mac, DEV_TYPE_UDP);
    }
    orvi_subdev_ptr app = bind_app();
    aes_key_t key = AES_KEY_TYPE_NONE;
    std::string ans = call(request_handle_syncPersistent, R"({"t":"syncPersistent","oper":1,"type":3})", app,
                           nullptr, &key);
    EXPECT_EQ(R"({"t":"syncPersistentAck","mac":")" + std::string(kHomeMac) + R"(","sum":12})", ans);
    EXPECT_EQ(AES_KEY_TYPE_RANDOM, key);
    ASSERT_EQ(1u, miniapp_pages().size());
    int rc = -1;
    EXPECT_EQ("", call(request_handle_devListPushRes, R"({"t":"devListPushRes","i":0,"num":10,"sum":12})",
                       app, &rc));
    EXPECT_EQ(0, rc);
    EXPECT_EQ(2u, miniapp_pages().size());
    call(request_handle_devListPushRes, R"({"t":"devListPushRes","i":10,"num":2,"sum":12})", app, &rc);
    EXPECT_EQ(0, rc);
    EXPECT_EQ(2u, miniapp_pages().size());  // done: nothing more
    // Malformed acknowledgements.
    for (const char *bad :
         {R"({"t":"devListPushRes","i":0,"num":10})", R"({"t":"devListPushRes","i":"0","num":1,"sum":2})"}) {
        call(request_handle_devListPushRes, bad, app, &rc);
        EXPECT_EQ(-1, rc) << bad;
    }
    // oper 0 ends it without an answer; other values are refused.
    EXPECT_EQ("", call(request_handle_syncPersistent, R"({"t":"syncPersistent","oper":0})", app, &rc));
    EXPECT_EQ(0, rc);
    EXPECT_EQ(DEV_TYPE_MAX, product_get_sync_persistent_type());
    for (const char *bad :
         {R"({"t":"syncPersistent","oper":2,"type":3})", R"({"t":"syncPersistent","oper":1})",
          R"({"t":"syncPersistent","oper":"1","type":3})", R"({"t":"syncPersistent","oper":1,"type":-4})"}) {
        EXPECT_EQ("", call(request_handle_syncPersistent, bad, app, &rc));
        EXPECT_EQ(-1, rc) << bad;
    }
}

TEST_F(BindTest, PersistentSyncOfALinkingList) {
    ASSERT_GE(product_linkinglist_candev_add("0d0000000001", "10001"), 0);
    ASSERT_GE(product_linkinglist_candev_add("0d0000000002", "10001"), 0);
    orvi_subdev_ptr app = bind_app();
    const std::string ans =
        call(request_handle_syncPersistent, R"({"t":"syncPersistent","oper":1,"type":1})", app);
    EXPECT_EQ("2", member_str(ans, "sum"));
    EXPECT_EQ(UINT32_MAX, product_get_linking_list(DEV_TYPE_CAN)->synced_index.load());
    EXPECT_EQ(1u, miniapp_pages().size());
    // The bus form without a requester publishes the list instead.
    miniapp_pages_clear();
    auto j = parse(R"({"t":"syncPersistent","oper":1,"type":1})");
    EXPECT_EQ(0, orvi_syncPersistent_handle(j.get(), nullptr));
    EXPECT_TRUE(miniapp_pages().empty());
    EXPECT_EQ(1u, published("can/check").size());
    EXPECT_EQ(1u, published("syncAckHttp/0d0000000001").size());
}

TEST_F(BindTest, PageAcknowledgementsAreChecked) {
    orvi_subdev_ptr app = bind_app();
    int rc = 0;
    call(request_handle_devOnlineRes, R"({"t":"DevOnlineRes","i":0})", app, &rc);
    EXPECT_EQ(-1, rc);
    call(request_handle_checkResRes, R"({"t":"CheckResRes","i":0,"num":"1"})", app, &rc);
    EXPECT_EQ(-1, rc);
    call(request_handle_devOnlineDone, R"({"t":"DevOnlineDone"})", app, &rc);
    EXPECT_EQ(-1, rc);
    EXPECT_EQ("", call(request_handle_checkResDone, R"({"t":"CheckResDone","sum":0})", app, &rc));
    EXPECT_EQ(0, rc);
    EXPECT_EQ(0, checkRes_devOnlinePush_send(app, 0, true));
    EXPECT_EQ("", call(request_handle_devOnlineRes, R"({"t":"DevOnlineRes","i":0,"num":100})", app, &rc));
    EXPECT_EQ(0, rc);
}

// ---- getLoginInfo ------------------------------------------------------------------------

TEST_F(BindTest, LoginInfoOnlyForRegisteredDevices) {
    {
        orvi::MutexLock lk(orvi_dev_info_mutex());
        orvi_field_set(orvi_dev_info.mqttUser, "u1");
        orvi_field_set(orvi_dev_info.mqttPsw, "p1");
        orvi_field_set(orvi_dev_info.redisPsw, "r1");
    }
    orvi_subdev_ptr d = add("0b0000000001", DEV_TYPE_UDP, 0);
    add("0b0000000002", DEV_TYPE_UDP, 2);
    const std::string ask =
        R"({"t":"getLoginInfo","loginInfo":["mqttUser","mqttPsw","redisPsw","mqttPort","QnetID"]})";
    EXPECT_EQ(R"({"t":"loginInfoRes","r":404,"loginInfo":{}})", call(request_handle_getLoginInfo, ask, d));
    orvi_subdev_locked(d, [](orvi_subdev_list_t &r) { r.f_register = SERVER_REGISTERED; });
    EXPECT_EQ(R"({"t":"loginInfoRes","r":200,"loginInfo":{"mqttUser":"u1","mqttPsw":"p1","redisPsw":"r1",)"
              R"("mqttPort":1883,"QnetID":3}})",
              call(request_handle_getLoginInfo, ask, d));
    EXPECT_EQ(R"({"t":"loginInfoRes","r":406,"loginInfo":{"mqttPort":1883}})",
              call(request_handle_getLoginInfo,
                   R"({"t":"getLoginInfo","loginInfo":["mqttPort","root","mqttUser"]})", d));
    int rc = 0;
    call(request_handle_getLoginInfo, R"({"t":"getLoginInfo","loginInfo":"mqttUser"})", d, &rc);
    EXPECT_EQ(-1, rc);
}

// ---- Switch bind relay --------------------------------------------------------------------

std::vector<local_pub_msg_t> queued_bus() {
    std::vector<local_pub_msg_t> out = local_mqtt_pending(LOCAL_PUB_LIST_CONTROL);
    for (local_pub_msg_t &m : local_mqtt_pending(LOCAL_PUB_LIST_STATUS))
        out.push_back(std::move(m));
    return out;
}

// A device's answer on "scene/bind/resp" as the lighting service sends it.
std::string bind_answer(const std::string &reqId, int r) {
    cJSON *plain = cJSON_CreateObject();
    cJSON_AddStringToObject(plain, "reqId", reqId.c_str());
    cJSON_AddNumberToObject(plain, "r", r);
    cJSON *payload = cJSON_CreateObject();
    cJSON_AddStringToObject(payload, "mac", kHostMac);
    cJSON_AddStringToObject(payload, "sub", "0b0000000001");
    cJSON_AddStringToObject(payload, "mid", "70718");
    cJSON_AddItemToObject(payload, "plaintext", plain);
    char *p = cJSON_PrintUnformatted(payload);
    cJSON *pkg = event_msg_package_aseemble(kHostMac, 0, "", 0, p);
    char *out = cJSON_PrintUnformatted(pkg);
    std::string s = out;
    cJSON_free(p);
    cJSON_free(out);
    cJSON_Delete(payload);
    cJSON_Delete(pkg);
    return s;
}

TEST_F(BindTest, SwitchBindWithoutWaitingAnswersAtOnce) {
    const std::string inner =
        R"({"t":"switchBindPush","type":"bind","requestId":"R1","isWaitReq":0,"config":[)"
        R"({"type":"bind","subMac":"0b0000000001","keyid":1,"reqId":"a"},)"
        R"({"type":"unbind","subMac":"0b0000000002","keyid":2}]})";
    int rc = -1;
    EXPECT_EQ("", call(request_handle_switchBindPush, inner, std::make_shared<orvi_subdev_list_t>(), &rc));
    EXPECT_EQ(0, rc);
    const std::vector<local_pub_msg_t> q = queued_bus();
    ASSERT_EQ(2u, q.size());
    EXPECT_EQ("scene/bind/0b0000000001", q[0].topic);
    EXPECT_EQ("scene/unbind/0b0000000002", q[1].topic);
    cJSON *opened = local_mqtt_get_pack_str(q[0].payload.c_str(), kRandomKey, 0);
    ASSERT_TRUE(opened);
    EXPECT_STREQ("a", cJSON_GetObjectItem(opened, "reqId")->valuestring);
    cJSON_Delete(opened);
    const std::vector<std::string> res = published("switchBindRes");
    ASSERT_EQ(1u, res.size());
    EXPECT_EQ(R"({"t":"switchBindRes","requestId":"R1","bindRes":[{"reqId":"a","r":200}]})", res[0]);
}

TEST_F(BindTest, SwitchBindTopicsFromTheAppAreChecked) {
    for (const char *entry :
         {R"({"type":"bind","subMac":"0b/0000000001","reqId":"a"})",
          R"({"type":"bind","subMac":"+","reqId":"a"})", R"({"type":"bind","subMac":"#","reqId":"a"})",
          R"({"type":"bind/x","subMac":"0b0000000001","reqId":"a"})",
          R"({"type":"bind","subMac":"0123456789abcdefX","reqId":"a"})",
          R"({"type":"","subMac":"0b0000000001","reqId":"a"})", R"({"type":"bind","reqId":"a"})",
          R"({"subMac":"0b0000000001","reqId":"a"})"}) {
        SCOPED_TRACE(entry);
        const std::string inner = std::string(R"({"type":"bind","requestId":"R2","isWaitReq":0,"config":[)") +
                                  R"({"type":"bind","subMac":"0b0000000009","reqId":"ok"},)" + entry + "]}";
        int rc = 0;
        call(request_handle_switchBindPush, inner, std::make_shared<orvi_subdev_list_t>(), &rc);
        EXPECT_EQ(-1, rc);
        EXPECT_TRUE(queued_bus().empty());  // refused whole: not even the good entry
        EXPECT_TRUE(published("switchBindRes").empty());
    }
}

TEST_F(BindTest, SwitchBindWaitsForTheDevicesAnswers) {
    const std::string inner =
        R"({"type":"bind","requestId":"R3","isWaitReq":1,"config":[)"
        R"({"type":"bind","subMac":"0b0000000001","reqId":"a"},{"type":"unbind","subMac":"0b0000000001","reqId":"b"}]})";
    int rc = -1;
    call(request_handle_switchBindPush, inner, std::make_shared<orvi_subdev_list_t>(), &rc);
    EXPECT_EQ(0, rc);
    EXPECT_TRUE(published("switchBindRes").empty());
    // The same request again while waiting is a repeat.
    call(request_handle_switchBindPush, inner, std::make_shared<orvi_subdev_list_t>(), &rc);
    EXPECT_EQ(-1, rc);
    // Malformed answers are dropped.
    EXPECT_EQ(-1, magic_bind_resp_handle(ORVI_BIND_RESP_TOPIC, "not json"));
    EXPECT_EQ(-1, magic_bind_resp_handle(ORVI_BIND_RESP_TOPIC, R"({"i":0})"));
    EXPECT_EQ(-1, magic_bind_resp_handle(ORVI_BIND_RESP_TOPIC, R"({"pack":"xx"})"));
    EXPECT_EQ(-1, magic_bind_resp_handle(ORVI_BIND_RESP_TOPIC, R"({"pack":"xx","i":0})"));
    EXPECT_EQ(0, magic_bind_resp_handle(ORVI_BIND_RESP_TOPIC, bind_answer("a", 200).c_str()));
    EXPECT_TRUE(published("switchBindRes").empty());
    EXPECT_EQ(0, magic_bind_resp_handle(ORVI_UNBIND_RESP_TOPIC, bind_answer("b", 500).c_str()));
    const std::vector<std::string> res = published("switchBindRes");
    ASSERT_EQ(1u, res.size());
    EXPECT_EQ(
        R"({"t":"switchBindRes","requestId":"R3","bindRes":[{"reqId":"a","r":200},{"reqId":"b","r":500}]})",
        res[0]);
    // A late answer finds nothing waiting.
    EXPECT_EQ(-1, magic_bind_resp_handle(ORVI_BIND_RESP_TOPIC, bind_answer("b", 200).c_str()));
    EXPECT_EQ(1u, published("switchBindRes").size());
}

// ---- Self-check -----------------------------------------------------------------------------

TEST_F(BindTest, SelfCheckTimerFollowsTheDeviceCount) {
    struct Case {
        uint32_t devs;
        long ms;
    };
    for (const Case &c :
         {Case{0, 10000}, Case{10, 10000}, Case{50, 15000}, Case{100, 30000}, Case{150, 30000}})
        EXPECT_EQ(c.ms, dev_checking_delay_ms(c.devs)) << c.devs;
}

TEST_F(BindTest, SelfCheckRunsThroughBothPhases) {
    char mac[17];
    for (int i = 0; i < 10; ++i) {
        snprintf(mac, sizeof mac, "0b00000000%02d", i);
        orvi_subdev_ptr d = add(mac, DEV_TYPE_UDP);
        if (i < 3) product_subdev_set_data(d, R"({"t":"dat","opt":["Pow"],"p":[1]})");
    }
    auto start = parse(R"({"t":"DevCheck","oper":1,"requestId":"chk-1"})");
    ASSERT_EQ(0, orvi_dev_checking_handle(start.get(), nullptr));
    EXPECT_EQ(DEFAULT_SCENE_OFF, scene_id_default_get());
    EXPECT_EQ(1, pending_count("tovra_trivox_scene_send 2"));
    ASSERT_EQ(1u, published("checkDevAckHttp").size());
    EXPECT_EQ("chk-1", member_str(published("checkDevAckHttp")[0], "requestId"));
    // A second start while it runs is ignored.
    ASSERT_EQ(0, orvi_dev_checking_handle(start.get(), nullptr));
    EXPECT_EQ(1, pending_count("tovra_trivox_scene_send 2"));
    // 10 devices: 10 s, half of the 20 s floor.
    for (int k = 0; k < 99; ++k)
        orvi_timer_tick_once();
    EXPECT_EQ(0, dev_checking_step());
    orvi_timer_tick_once();
    EXPECT_EQ(1, dev_checking_step());
    EXPECT_EQ(DEFAULT_SCENE_ON, scene_id_default_get());
    EXPECT_EQ(1, pending_count("tovra_trivox_scene_send 1"));
    for (int k = 0; k < 100; ++k)
        orvi_timer_tick_once();
    posted();
    EXPECT_EQ(1, dev_checking_step());
    EXPECT_EQ(SCENE_ID_DEFAULT_IDLE, scene_id_default_get());
    const std::vector<std::string> reports = published("checkDevAckHttp");
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ(7, array_size(reports[1], "failDev"));  // the seven that did not report power on
    const std::vector<orvi_event_loop_t> ev = events(posted());
    EXPECT_NE(ev.end(),
              std::find(ev.begin(), ev.end(), static_cast<orvi_event_loop_t>(ORVI_EVENT_CONNECT_UPLOAD)));
}

TEST_F(BindTest, SelfCheckEndsOnRequestAndRefusesAnOverlongId) {
    auto start = parse(R"({"t":"DevCheck","oper":1,"requestId":"x"})");
    ASSERT_EQ(0, orvi_dev_checking_handle(start.get(), nullptr));
    auto stop = parse(R"({"t":"DevCheck","oper":0})");
    ASSERT_EQ(0, orvi_dev_checking_handle(stop.get(), nullptr));
    EXPECT_EQ(SCENE_ID_DEFAULT_IDLE, scene_id_default_get());
    for (int k = 0; k < 200; ++k)
        orvi_timer_tick_once();
    EXPECT_EQ(0, dev_checking_step());  // the timer was stopped
    auto longid = parse(R"({"t":"DevCheck","oper":1,"requestId":")" + std::string(64, 'q') + "\"}");
    EXPECT_EQ(-1, orvi_dev_checking_handle(longid.get(), nullptr));
    EXPECT_EQ(SCENE_ID_DEFAULT_IDLE, scene_id_default_get());
    auto wrong = parse(R"({"t":"Check","oper":1})");
    EXPECT_EQ(-1, orvi_dev_checking_handle(wrong.get(), nullptr));
}

TEST_F(BindTest, FailureListsOfBothPhases) {
    orvi_subdev_ptr on = add("0b0000000001", DEV_TYPE_UDP);
    orvi_subdev_ptr off = add("0b0000000002", DEV_TYPE_UDP);
    add("0b0000000003", DEV_TYPE_UDP);  // no status: unknown
    add("0c0000000001", DEV_TYPE_CENTCTRL, 0, "60001");
    product_subdev_set_data(on, R"({"cols":["Lum","SW1"],"dat":[5,1]})");
    product_subdev_set_data(off, R"({"t":"dat","opt":["Pow"],"p":[0]})");
    auto arr = parse("[]");
    ASSERT_EQ(0, dev_checking_status(DEFAULT_SCENE_OFF, arr.get()));
    auto text = [&arr] {
        char *p = cJSON_PrintUnformatted(arr.get());
        std::string s = p;
        cJSON_free(p);
        return s;
    };
    EXPECT_EQ(R"(["0b0000000001","0b0000000003"])", text());
    ASSERT_EQ(0, dev_checking_status(DEFAULT_SCENE_ON, arr.get()));
    EXPECT_EQ(R"(["0b0000000001","0b0000000003","0b0000000002"])", text());
    EXPECT_EQ(-1, dev_checking_status(3, arr.get()));
    EXPECT_EQ(1, get_dev_pow_status(R"({"jsonStatus":{"cols":["Pow"],"dat":[1]}})"));
    EXPECT_EQ(-1, get_dev_pow_status(R"({"cols":["Pow"],"dat":["on"]})"));
    EXPECT_EQ(-1, get_dev_pow_status("not json"));
}

// ---- Cloud restore, short ids ----------------------------------------------------------------

TEST_F(BindTest, CloudRestoreTrigger) {
    auto ok = parse(R"({"fileId":88,"hostMac":"a0b1c2d3e4f5","env":"test"})");
    ASSERT_EQ(0, orvi_cloudbackup_handle(ok.get(), nullptr));
    // The restore request the restore job reads.
    auto request_is = [](long id, const char *mac, const char *env, int touch) {
        EXPECT_EQ(id, get_restore_file_id());
        EXPECT_EQ(mac, get_restore_file_mac());
        EXPECT_EQ(env, get_restore_file_download_flag());
        EXPECT_EQ(touch, get_restore_touch_flag());
    };
    request_is(88, "a0b1c2d3e4f5", "test", 1);
    EXPECT_EQ((std::vector<std::string>{R"({"cols":["key"],"dat":["webRestore"]})"}), published("/key"));
    for (const char *bad :
         {R"({"hostMac":"a","env":"test"})", R"({"fileId":"88","hostMac":"a","env":"test"})",
          R"({"fileId":88,"hostMac":5,"env":"test"})",
          R"({"fileId":88,"hostMac":"0123456789abcdefX","env":"test"})",
          R"({"fileId":88,"hostMac":"a","env":"production"})",
          R"({"fileId":9223372036854775808,"hostMac":"a","env":"test"})",
          R"({"fileId":-1,"hostMac":"a","env":"test"})", R"({"fileId":8.5,"hostMac":"a","env":"test"})"}) {
        auto j = parse(bad);
        EXPECT_EQ(-1, orvi_cloudbackup_handle(j.get(), nullptr)) << bad;
    }
    EXPECT_EQ(1u, published("/key").size());
    request_is(88, "a0b1c2d3e4f5", "test", 1);  // a refused request changes nothing
}

TEST_F(BindTest, ReleaseMacId) {
    orvi_subdev_ptr d = add("0b0000000001", DEV_TYPE_UDP, 9);
    EXPECT_EQ(0, release_macId(d));
    EXPECT_EQ(-1, orvi_subdev_snapshot(d).macId);
    EXPECT_EQ(-1, release_macId(nullptr));
}

}  // namespace
