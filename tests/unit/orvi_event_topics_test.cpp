// The local event topics: the subscription list, package decoding and key
// choice, prefix routing, the handlers' effects on the registry, the host
// state and the request queue, the pairing window, and the host reading back
// what it published itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "event_publish_capture.h"
#include "orvi_aes.h"
#include "orvi_event_topics.h"
#include "orvi_field.h"
#include "orvi_log.h"
#include "orvi_product.h"
#include "orvi_system.h"
#include "orvi_testing.h"
#include "orvi_timer.h"
#include "orvi_transport.h"
#include "pending_calls.h"
#include "product_subdev.h"

namespace {

using namespace publish_test;

constexpr char kDevMac[] = "02aabb000001";
constexpr char kDevKey[] = "devkey0123456789";

std::mutex g_mu;
std::vector<request_type_t> g_requests;  // guarded by g_mu
std::vector<std::string> g_peer_calls;   // guarded by g_mu
std::atomic<bool> g_check_may_finish{true};

void peer(const std::string &call) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_peer_calls.push_back(call);
}

std::vector<std::string> peer_calls() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_peer_calls;
}

std::vector<request_type_t> requests() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_requests;
}

const orvi_event_topics_peers_t kPeers = {
    [](int on) {
        peer("ble_advertise " + std::to_string(on));
        return 0;
    },
    [](int kind) {
        peer("backup_start " + std::to_string(kind));
        return 0;
    },
    [](int kind, int touch) {
        peer("sd_restore_start " + std::to_string(kind) + " " + std::to_string(touch));
        return 0;
    },
    [] {
        peer("cloud_disconnect");
        return 0;
    },
    [](std::string *result) {
        peer("firmware_check");
        // Holds the check open as a slow HTTPS server would.
        for (int i = 0; i < 1000 && !g_check_may_finish.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        *result = "OH7050200+HC01V1.0.4.img";
        return 0;
    },
    [](const cJSON *) {
        peer("scene_touch_status");
        return 0;
    },
    [](const cJSON *) {
        peer("scene_bind_rsp");
        return 0;
    },
    [](const cJSON *) {
        peer("scene_unbind_rsp");
        return 0;
    },
    [] {
        peer("roomlist_reload");
        return 0;
    },
    [](const char *mac, uint32_t room) {
        peer(std::string("tovra_room_set ") + mac + " " + std::to_string(room));
        return 0;
    },
    [](const char *mac) {
        peer(std::string("tovra_device_delete ") + mac);
        return 0;
    },
    [](const char *mac) {
        peer(std::string("timers_clear ") + mac);
        return 0;
    },
    [] {
        peer("host_info_publish");
        return 0;
    },
    [](int c) {
        peer("set_host_net " + std::to_string(c));
        return 0;
    },
};

// A package as a sibling sends it: `body` sealed with `key`.
std::string package(const std::string &cid, const std::string &tcid, int i, const std::string &key,
                    const std::string &body) {
    std::string cipher = body;
    EXPECT_EQ(0, orvi_aes_encrypt(key.c_str(), cipher));
    cJSON *p = cJSON_CreateObject();
    cJSON_AddStringToObject(p, "cid", cid.c_str());
    cJSON_AddStringToObject(p, "tcid", tcid.c_str());
    cJSON_AddNumberToObject(p, "uid", 0);
    cJSON_AddStringToObject(p, "t", "pack");
    cJSON_AddNumberToObject(p, "i", i);
    cJSON_AddStringToObject(p, "pack", cipher.c_str());
    char *t = cJSON_PrintUnformatted(p);
    std::string out = t;
    cJSON_free(t);
    cJSON_Delete(p);
    return out;
}

// The bus payload {"mac","sub","mid","plaintext"} around `plaintext` (JSON text).
std::string payload(const std::string &plaintext, const std::string &sub = "") {
    return std::string("{\"mac\":\"") + kHostMac + "\",\"sub\":\"" + sub + "\",\"mid\":\"70101\",\"plaintext\":" +
           plaintext + "}";
}

// A host-level event from the host itself ("i" 0, host random key).
std::string host_event(const std::string &plaintext) {
    return package(kHostMac, "", 0, kRandomKey, payload(plaintext));
}

std::string pairs(const std::string &cols, const std::string &dat) {
    return "{\"cols\":" + cols + ",\"dat\":" + dat + "}";
}

template <class Pred>
bool wait_until(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool published(const std::string &topic, const std::string &plain_has) {
    for (const sent_t &s : PublishCapture::sent()) {
        if (s.topic != topic) continue;
        for (const char *key : {kRandomKey, kHomeKey, kDefaultKey, kDevKey})
            if (open_pack(s, key).find(plain_has) != std::string::npos) return true;
    }
    return false;
}

class EventTopicsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        product_registry_reset_for_test();
        orvi_timer_service_stop();
        orvi_event_topics_set_peers(&kPeers);
        {
            std::lock_guard<std::mutex> lk(g_mu);
            g_requests.clear();
            g_peer_calls.clear();
        }
        orvi_request_sink_t sink;
        sink.send = [](const request_type_t &r) {
            std::lock_guard<std::mutex> lk(g_mu);
            g_requests.push_back(r);
            return 0;
        };
        orvi_transport_set_sink(std::move(sink));
        product_set_match_status(0);
        orvi_set_standby_flag(0);
        uds_scene_lock_set(0);
        uds_bind_result_set(0);
        uds_gateway_tokens_set(nullptr);
        pending_calls_clear();
    }
    void TearDown() override {
        matching_timeout_timer_delete();
        orvi_timer_service_stop();
        orvi_transport_set_sink({});
        orvi_event_topics_set_peers(nullptr);
        product_set_match_status(0);
        orvi_set_standby_flag(0);
        uds_gateway_tokens_set(nullptr);
        product_registry_reset_for_test();
    }
    orvi_subdev_ptr add(const char *mac, dev_type_t type, const char *key = kDevKey, uint32_t room = 0) {
        orvi_subdev_list_t d;
        orvi_field_set(d.mac, mac);
        orvi_field_set(d.key, key);
        orvi_field_set(d.mid, "90001");
        d.dev_type = type;
        d.roomId = room;
        d.f_register = SERVER_REGISTERED;
        return product_add_subdev_to_host(&d);
    }
    PublishCapture capture_;
};

// ---- Subscription ------------------------------------------------------------------------

TEST_F(EventTopicsTest, SubscriptionListKeepsItsOrderAndFollowsTheHomeMac) {
    const std::vector<std::string> fixed = master_control_topics("");
    ASSERT_EQ(34u, fixed.size());
    EXPECT_EQ("devInfoHttp/#", fixed.front());
    EXPECT_EQ("store4massage/event/#", fixed[2]);
    EXPECT_EQ("/jsonResponse/#", fixed[19]);
    EXPECT_EQ("/jsonResponse/#", fixed[28]);  // listed twice, as the siblings expect
    EXPECT_EQ("host/info/request", fixed.back());
    const std::vector<std::string> all = master_control_topics(kHomeMac);
    ASSERT_EQ(37u, all.size());
    EXPECT_EQ(std::string("TimerInfo/") + kHomeMac, all[34]);
    EXPECT_EQ(std::string("/hb/") + kHomeMac + "/#", all[35]);
    EXPECT_EQ(std::string("/fakeStatus/") + kHomeMac + "/#", all[36]);
}

// ---- Routing --------------------------------------------------------------------------------

TEST_F(EventTopicsTest, RoutesByPrefixInTableOrder) {
    size_t n = 0;
    const event_handle_map_t *rows = event_handle_map_rows(&n);
    const char *const order[] = {
        "/online", "/key", "/parameter", "mqtt/connect", "/jsonStatus", "/fakeStatus", "Timer/set",
        "/jsonRequest", "/host", "/tovra/pair", "/check", "opGateway/info", "opGateway/tokens",
        "opDevices/update", "/binStatus", "/jsonResponse", "/trivox2/scenebroadcast", "store4massage/event/",
        "TimerInfo", "devInfoHttp", "roomInfoHttp", "delDevInfoHttp", "checkDevHttp", "syncPersistentHttp",
        "switchBindPush", "room/set", "scene/set/", "soUpdate", "/hb", "scene/broadcast", "/notice",
        "scene/bind/resp", "scene/unbind/resp", "/appInsInfo", "restore/cloud/touch", "host/info/request"};
    ASSERT_EQ(sizeof order / sizeof order[0], n);
    for (size_t i = 0; i < n; ++i)
        EXPECT_STREQ(order[i], rows[i].topic) << i;

    // A topic that merely begins with a row's prefix goes to that row.
    const std::string setting = host_event(pairs("[\"BindResult\"]", "[4]"));
    EXPECT_EQ(0, envt_subscribe_data_handle("/hostile", setting.c_str()));
    EXPECT_EQ(4, uds_bind_result_get());
    // Without the trailing "/" no row takes it.
    EXPECT_EQ(-1, envt_subscribe_data_handle("scene/set", host_event("{}").c_str()));
    EXPECT_EQ(-1, event_dispatch_handle(nullptr, nullptr));
}

// ---- Decoding --------------------------------------------------------------------------------

TEST_F(EventTopicsTest, KeyFollowsSelectorSenderAndTarget) {
    add(kDevMac, DEV_TYPE_CAN);
    struct Case {
        const char *topic, *cid, *tcid;
        int i;
        std::string key;
    } cases[] = {
        {"/key", kHostMac, "", 0, kRandomKey},
        {"/key", kHomeMac, "", 0, kHomeKey},
        {"/key", kDevMac, "", 0, kDevKey},
        {"/key", "0a0b0c0d0e0f", "", 0, kRandomKey},
        {"/jsonStatus/x/y", "0a0b0c0d0e0f", "", 0, kHomeKey},
        {"/key", kHomeMac, "", 1, kDefaultKey},
        {"/key", kDevMac, "", 2, kDefaultKey},
        {"/jsonRequest/h/d", kHostMac, kDevMac, 1, kDevKey},
        {"/jsonRequest/h/d", kHostMac, "0a0b0c0d0e0f", 1, kDefaultKey},
        {"/jsonRequest/h/d", kHomeMac, "0a0b0c0d0e0f", 0, kRandomKey},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.key, envt_package_key(c.topic, c.cid, c.tcid, c.i, nullptr)) << c.topic << " " << c.cid;
    // Without a home key an unknown status sender falls back to the host's key.
    {
        orvi::MutexLock lk(orvi_dev_info_mutex());
        orvi_dev_info.home_key[0] = '\0';
    }
    EXPECT_EQ(kRandomKey, envt_package_key("/jsonStatus/x/y", "0a0b0c0d0e0f", "", 0, nullptr));
}

TEST_F(EventTopicsTest, MalformedPackagesAreDroppedWithoutEffect) {
    const std::string good_body = payload(pairs("[\"BindResult\"]", "[9]"));
    std::string cipher = good_body;
    ASSERT_EQ(0, orvi_aes_encrypt(kRandomKey, cipher));
    const char *const bad[] = {
        "",
        "not json",
        "{\"cid\":\"a0b1c2d3e4f5\",\"tcid\":\"\",\"i\":0}",  // no "pack"
        "{\"cid\":\"a0b1c2d3e4f5\",\"tcid\":\"\",\"i\":\"0\",\"pack\":\"x\"}",  // "i" a text
        "{\"cid\":\"a0b1c2d3e4f5\",\"tcid\":\"\",\"i\":0,\"pack\":\"bm90IGNpcGhlcg==\"}",  // undecryptable
    };
    for (const char *p : bad)
        EXPECT_EQ(-1, envt_subscribe_data_handle("/key", p)) << p;
    // Sealed with another key than the one its labels select.
    EXPECT_EQ(-1, envt_subscribe_data_handle("/key", package(kHostMac, "", 0, kDevKey, good_body).c_str()));
    EXPECT_EQ(0, uds_bind_result_get());
    // Two packages back to back are two events, handled in order.
    const std::string two = host_event(pairs("[\"BindResult\"]", "[5]")) + "\n" +
                            host_event(pairs("[\"BindResult\"]", "[7]"));
    EXPECT_EQ(2, envt_payload_handle("/key", two.c_str()));
    EXPECT_EQ(7, uds_bind_result_get());
}

// ---- Host settings ("cols"/"dat") -------------------------------------------------------------

TEST_F(EventTopicsTest, HostSettingsApplyPairByPairAndRefuseUnevenLists) {
    EXPECT_EQ(-1, envt_subscribe_data_handle("/parameter",
                                             host_event(pairs("[\"BindResult\",\"a\",\"b\"]", "[3,4]")).c_str()));
    EXPECT_EQ(0, uds_bind_result_get());

    // The scene lock is taken only once standby reached 2; standby only rises.
    const std::string settings =
        host_event(pairs("[\"scenelock\",\"standby\",\"standby\",\"scenelock\",\"opToken\",\"standby\"]",
                         "[1,1,3,1,{\"a\":\"t\"},2]"));
    EXPECT_EQ(0, envt_subscribe_data_handle("/parameter", settings.c_str()));
    EXPECT_EQ(3, orvi_get_standby_flag());
    EXPECT_EQ(1, uds_scene_lock_get());
    cJSON *tokens = uds_gateway_tokens_get();
    ASSERT_NE(nullptr, tokens);
    EXPECT_STREQ("t", cJSON_GetObjectItem(tokens, "a")->valuestring);
    cJSON_Delete(tokens);

    // "reset" drops the cloud link; "connect" reaches the run information.
    EXPECT_EQ(0, envt_subscribe_data_handle(
                     "/key", host_event(pairs("[\"key\",\"connect\"]", "[\"reset\",0]")).c_str()));
    EXPECT_EQ((std::vector<std::string>{"cloud_disconnect", "set_host_net 0"}), peer_calls());

    // The firmware check is an HTTPS round trip: it answers from a thread of
    // its own, after the worker has moved on.
    g_check_may_finish = false;
    EXPECT_EQ(0, envt_subscribe_data_handle("/host", host_event(pairs("[\"type\"]", "[\"updateHid\"]")).c_str()));
    EXPECT_FALSE(published("/checkRes", "updateHid"));
    g_check_may_finish = true;
    EXPECT_TRUE(wait_until([] { return published("/checkRes", "OH7050200+HC01V1.0.4.img"); }));
}

// ---- Pairing window ----------------------------------------------------------------------------

TEST_F(EventTopicsTest, PairingWindowReturnsEachStateToWhereItCameFrom) {
    struct Case {
        uint8_t before, matching, suspended, expired;
    } cases[] = {
        // unmatched: 0 -> 3, a backup makes it 4, the window's end 0
        {0, 3, 4, 0},
        // matched: 1 -> 2, a backup makes it 5, the window's end 1
        {1, 2, 5, 1},
    };
    const std::string open = host_event(pairs("[\"key\"]", "[\"matching\"]"));
    for (const Case &c : cases) {
        product_set_match_status(c.before);
        ASSERT_EQ(0, envt_subscribe_data_handle("/key", open.c_str()));
        EXPECT_EQ(c.matching, product_get_match_status());
        // Expiry straight from matching.
        matching_timeout_handler();
        EXPECT_EQ(c.expired, product_get_match_status());
        // Expiry of a window a backup suspended.
        product_set_match_status(c.before);
        ASSERT_EQ(0, envt_subscribe_data_handle("/key", open.c_str()));
        evn_match_status_backup_enter();
        EXPECT_EQ(c.suspended, product_get_match_status());
        matching_timeout_handler();
        EXPECT_EQ(c.expired, product_get_match_status()) << "suspended state " << int(c.suspended);
        // A backup that ends gives the suspended window back.
        product_set_match_status(c.suspended);
        evn_match_status_backup_leave();
        EXPECT_EQ(c.expired, product_get_match_status());
    }
    EXPECT_TRUE(published("/host", "\"unmatch\""));
    EXPECT_TRUE(published("/host", "\"matched\""));
    EXPECT_TRUE(published("/key", "\"matching\""));

    // A pair success closes the window as matched.
    product_set_match_status(0);
    ASSERT_EQ(0, envt_subscribe_data_handle("/key", open.c_str()));
    ASSERT_EQ(0, envt_subscribe_data_handle(
                     "/tovra/pair",
                     host_event("{\"opt\":[\"x\",\"pair\"],\"p\":[1,\"success\"]}").c_str()));
    EXPECT_EQ(1, product_get_match_status());
    EXPECT_TRUE(published("/host", "\"success\""));
}

// ---- Devices, rooms and the request queue --------------------------------------------------------

TEST_F(EventTopicsTest, EventsReachTheRequestQueueNamedByMacOnTheirChannel) {
    add(kDevMac, DEV_TYPE_UDP);
    add("02aabb000002", DEV_TYPE_CAN);
    const std::string status = "{\"t\":\"dat\",\"mac\":\"02aabb000002\",\"mid\":\"\",\"cols\":[\"Pow\"],\"dat\":[1]}";
    const std::string udp_status = "{\"t\":\"dat\",\"mac\":\"02aabb000001\",\"mid\":\"\"}";
    struct Case {
        const char *topic;
        std::string body;
        connect_type_t conn;  // SOCKET_CONNECT_TYPE_HTTP: nothing queued
        const char *mac;
        std::string data_has;
    } cases[] = {
        {"/jsonStatus/h/02aabb000002", status, SOCKET_CONNECT_TYPE_NONE, "02aabb000002", "\"Pow\""},
        {"Timer/set/x", payload("{\"t\":\"AddTiming\"}", kDevMac), SOCKET_CONNECT_TYPE_UDS, kDevMac, "AddTiming"},
        {"switchBindPush", payload("{\"t\":\"switchBindPush\"}"), SOCKET_CONNECT_TYPE_UDS, "", "switchBindPush"},
        {"/jsonRequest/h/02aabb000001", payload("{\"t\":\"cmd\"}", kDevMac), SOCKET_CONNECT_TYPE_NONE, kDevMac,
         "\"cmd\""},
        {"/jsonRequest/h/02aabb000002", payload("{\"t\":\"cmd\"}", "02aabb000002"), SOCKET_CONNECT_TYPE_HTTP, "",
         ""},
        {"/binStatus/h/02aabb000001", payload("{\"t\":\"binStatus\"}", kDevMac), SOCKET_CONNECT_TYPE_NONE, kDevMac,
         "binStatus"},
        {"/binStatus/h/02aabb000002", payload("{\"t\":\"binStatus\"}", "02aabb000002"), SOCKET_CONNECT_TYPE_HTTP,
         "", ""},
    };
    for (const Case &c : cases) {
        {
            std::lock_guard<std::mutex> lk(g_mu);
            g_requests.clear();
        }
        envt_subscribe_data_handle(c.topic, package(kHostMac, "", 0, kRandomKey, c.body).c_str());
        const std::vector<request_type_t> got = requests();
        if (c.conn == SOCKET_CONNECT_TYPE_HTTP) {
            EXPECT_TRUE(got.empty()) << c.topic;
            continue;
        }
        ASSERT_EQ(1u, got.size()) << c.topic;
        EXPECT_EQ(c.conn, got[0].sockinfo.type) << c.topic;
        EXPECT_EQ(-1, got[0].sockinfo.fd);
        EXPECT_EQ(DATA_TYPE_NEED_PARSE, got[0].data_type);
        EXPECT_EQ(c.mac, got[0].ctx.text) << c.topic;
        EXPECT_EQ(nullptr, got[0].ctx.dev) << c.topic;
        EXPECT_NE(std::string::npos, got[0].data.find(c.data_has)) << c.topic << " " << got[0].data;
    }
    // A UDP device's status takes its own road.
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_requests.clear();
    }
    cJSON *p = cJSON_Parse(udp_status.c_str());
    EXPECT_EQ(0, event_dispatch_handle("/jsonStatus/h/02aabb000001", p));
    cJSON_Delete(p);
    EXPECT_TRUE(requests().empty());
}

TEST_F(EventTopicsTest, OnlineListsAndHeartbeats) {
    auto udp = add(kDevMac, DEV_TYPE_UDP);
    auto other = add("02aabb000002", DEV_TYPE_UDP);
    orvi_subdev_locked(other, [](orvi_subdev_list_t &d) { d.online = 1; });
    ASSERT_EQ(0, envt_subscribe_data_handle(
                     "/online",
                     host_event("{\"offlineSub\":[\"02aabb000002\"],\"onlineSub\":[\"02aabb000001\"]}").c_str()));
    EXPECT_EQ(1, orvi_subdev_snapshot(udp).online);
    EXPECT_EQ(0, orvi_subdev_snapshot(other).online);
    EXPECT_EQ(-1, envt_subscribe_data_handle("/online", host_event("{\"onlineSub\":[]}").c_str()));

    // A heartbeat on the current home's topic is stamped and answered with
    // the device's own key; one on another home's topic is not.
    const std::string hb = package(kDevMac, kHomeMac, 1, kDefaultKey,
                                   std::string("{\"mac\":\"") + kDevMac + "\",\"RSSI\":-40}");
    EXPECT_EQ(-1, envt_subscribe_data_handle("/hb/HOMEOLD000000001/02aabb000001", hb.c_str()));
    EXPECT_EQ(0, orvi_subdev_snapshot(udp).RSSI);
    EXPECT_EQ(0, envt_subscribe_data_handle((std::string("/hb/") + kHomeMac + "/02aabb000001").c_str(), hb.c_str()));
    EXPECT_EQ(-40, orvi_subdev_snapshot(udp).RSSI);
    EXPECT_TRUE(published(std::string("/hbok/") + kHomeMac + "/" + kDevMac, "hbok"));

    // A response topic must end with a MAC of 12 to 16 characters.
    EXPECT_EQ(-1, event_dispatch_handle("/jsonResponse/h/02aabb00000", nullptr));
}

TEST_F(EventTopicsTest, RoomListKeepsTwoHundredAndSkipsIncompleteRooms) {
    std::string rooms = "[{\"id\":1,\"sId\":1},";  // no name: skipped
    for (int i = 1; i <= 250; ++i)
        rooms += "{\"id\":" + std::to_string(1000 + i) + ",\"sId\":" + std::to_string(i % 256) +
                 ",\"name\":\"r" + std::to_string(i) + "\"}" + (i < 250 ? "," : "]");
    ASSERT_EQ(0, envt_subscribe_data_handle(
                     "roomInfoHttp/x", host_event("{\"t\":\"roomList\",\"roomList\":" + rooms + "}").c_str()));
    const std::vector<dev_roomlist_t> held = product_roomlist_get();
    ASSERT_EQ(200u, held.size());
    EXPECT_EQ(1001u, held.front().id);
    EXPECT_EQ(1200u, held.back().id);
}

TEST_F(EventTopicsTest, RoomChangeChecksRoomsBeforeFormingSceneIds) {
    auto udp = add(kDevMac, DEV_TYPE_UDP);
    auto tovra = add("02aabb000002", DEV_TYPE_TOVRA);
    struct Case {
        const char *mac;
        double room;
        int rc;
        uint32_t stored;
    } cases[] = {
        {kDevMac, 5, 0, 5},
        // Too large to carry default scenes: the room is kept, no scene id formed.
        {kDevMac, 70000, 0, 70000},
        {kDevMac, 4294967296.0, -1, 70000},
        {kDevMac, -1, -1, 70000},
        {"02aabb000009", 3, -1, 0},
        {"02aabb000002", 9, 0, 9},
    };
    for (const Case &c : cases) {
        cJSON *p = cJSON_CreateObject();
        cJSON_AddStringToObject(p, "subMac", c.mac);
        cJSON_AddNumberToObject(p, "roomid", c.room);
        EXPECT_EQ(c.rc, event_dispatch_handle("room/set", p)) << c.mac << " " << c.room;
        cJSON_Delete(p);
        if (orvi_subdev_ptr d = product_get_subdev_form_host(c.mac)) {
            EXPECT_EQ(c.stored, orvi_subdev_snapshot(d).roomId) << c.room;
        }
    }
    const std::vector<std::string> calls = peer_calls();
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "tovra_room_set 02aabb000002 9"));
    EXPECT_TRUE(published(std::string("devinfo/") + kHomeMac + "/" + kDevMac, "\"infolist\""));
}

TEST_F(EventTopicsTest, NoticeRemovesReleasesAndReloads) {
    auto udp = add(kDevMac, DEV_TYPE_UDP);
    add("02aabb000002", DEV_TYPE_TOVRA);
    struct Case {
        std::string p;
        int rc;
    } cases[] = {
        {"{\"type\":1,\"action\":0,\"detail\":{}}", 0},
        {std::string("{\"type\":0,\"action\":1,\"detail\":{\"mac\":\"") + kDevMac + "\"}}", 0},
        {"{\"type\":0,\"action\":2,\"detail\":{\"mac\":\"02aabb000002\"}}", 0},
        {"{\"type\":0,\"action\":2}", -1},
    };
    for (const Case &c : cases) {
        cJSON *p = cJSON_Parse(c.p.c_str());
        EXPECT_EQ(c.rc, event_dispatch_handle("/notice", p)) << c.p;
        cJSON_Delete(p);
    }
    EXPECT_EQ(SERVER_RELEASE, orvi_subdev_snapshot(udp).f_register);
    EXPECT_EQ(-1, orvi_subdev_snapshot(udp).macId);
    EXPECT_EQ(nullptr, product_get_subdev_form_host("02aabb000002"));
    const std::vector<std::string> calls = peer_calls();
    EXPECT_EQ((std::vector<std::string>{"roomlist_reload", std::string("timers_clear ") + kDevMac,
                                        "timers_clear 02aabb000002", "tovra_device_delete 02aabb000002"}),
              calls);
}

// ---- The host reads back what it published ------------------------------------------------------

TEST_F(EventTopicsTest, RetainedMessagesOfTheHostOpenAndRestore) {
    // Device information: published, the registry emptied, read back.
    auto dev = add(kDevMac, DEV_TYPE_UDP, kDevKey, 7);
    orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { orvi_field_set(d.name, "lamp"); });
    ASSERT_EQ(0, event_pub_http_devinfo_publish(dev, 0));
    // A sub-subdevice and its persistent events.
    orvi_subdev_list_t parent_copy;
    static_cast<orvi_subdev_fields_t &>(parent_copy) = orvi_subdev_snapshot(dev);
    orvi_subdev_list_t child;
    orvi_field_set(child.mac, "02aabb000001s1");
    orvi_field_set(child.mid, "70101");
    orvi_subdev_ptr sub = product_add_subsubdev_to_host(&parent_copy, &child);
    ASSERT_NE(nullptr, sub);
    ASSERT_EQ(0, product_subsubdev_event_insert(dev, sub, "doorOpen", 0));
    ASSERT_EQ(0, product_subsubdev_event_insert(dev, sub, "lowBattery", 0));
    ASSERT_EQ(0, event_event_persistent_publish(dev, sub));
    ASSERT_EQ(0, event_roomInfoHttp_publish("[{\"id\":11,\"sId\":3,\"name\":\"hall\"}]"));
    // The retained messages in the order the subscription delivers them.
    std::vector<sent_t> sent;
    for (const std::string &topic :
         {std::string("devInfoHttp/") + kHomeMac + "/" + kDevMac, std::string("devInfoHttp/") + kHomeMac + "/02aabb000001s1",
          std::string("store4massage/event/02aabb000001s1"), std::string("roomInfoHttp/") + kHomeMac})
        for (const sent_t &s : PublishCapture::sent())
            if (s.topic == topic && s.retain) sent.push_back(s);
    ASSERT_EQ(4u, sent.size());

    product_registry_reset_for_test();
    for (const sent_t &s : sent)
        EXPECT_EQ(0, envt_subscribe_data_handle(s.topic.c_str(), s.text.c_str())) << s.topic;
    orvi_subdev_ptr back = product_get_subdev_form_host(kDevMac);
    ASSERT_NE(nullptr, back);
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(back);
    EXPECT_STREQ("lamp", f.name);
    EXPECT_STREQ(kDevKey, f.key);
    EXPECT_EQ(7u, f.roomId);
    EXPECT_EQ(DEV_TYPE_UDP, f.dev_type);
    orvi_subdev_ptr sub_back = product_get_subsubdev_form_host(kDevMac, "02aabb000001s1");
    ASSERT_NE(nullptr, sub_back);
    EXPECT_EQ((std::deque<std::string>{"doorOpen", "lowBattery"}), orvi_subdev_snapshot(sub_back).event_list);
    const std::vector<dev_roomlist_t> rooms = product_roomlist_get();
    ASSERT_EQ(1u, rooms.size());
    EXPECT_STREQ("hall", rooms[0].name);

    // Provisional scene statuses (host MAC, home key) and lighting statuses
    // ("i" 2, home key) open too.
    const std::string scene_status = std::string("{\"cols\":[\"Pow\"],\"dat\":[1],\"mac\":\"") + kDevMac +
                                     "\",\"mid\":\"90002\",\"r\":200,\"t\":\"dat\",\"fakeStatus\":1}";
    EXPECT_EQ(0, envt_subscribe_data_handle((std::string("/fakeStatus/") + kHomeMac + "/" + kDevMac).c_str(),
                                            package(kHostMac, "0", 0, kHomeKey, scene_status).c_str()));
    const std::string light_status = "{\"t\":\"dat\",\"mac\":\"02aabb000003\",\"mid\":\"80101\"}";
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_requests.clear();
    }
    EXPECT_EQ(0, envt_subscribe_data_handle((std::string("/jsonStatus/") + kHomeMac + "/02aabb000003").c_str(),
                                            package("02aabb000003", "", 2, kHomeKey, light_status).c_str()));
    ASSERT_EQ(1u, requests().size());
    EXPECT_NE(std::string::npos, requests()[0].data.find("80101"));
}

}  // namespace
