// The status and control handlers, each driven the way the host meets it:
// one sealed request through the request task on the test's thread, its
// answer opened with the key it was sealed with. The event loop runs with
// a recorder, so a test sees which host events a handler posted; the bus
// and local MQTT publishes are read back from their queues; the subsystems
// not built yet answer through recording implementations (pending_calls.h).
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "identity_test_support.h"
#include "intake_test_support.h"
#include "local_mqtt.h"
#include "orvi_base64.h"
#include "orvi_bincmd.h"
#include "orvi_codec.h"
#include "orvi_event_loop.h"
#include "orvi_handlers.h"
#include "orvi_host_event.h"
#include "orvi_miniapp.h"
#include "orvi_scene_rsp.h"
#include "orvi_status_handlers.h"
#include "orvi_testing.h"
#include "orvi_timer.h"
#include "posted_events.h"
#include "recording_seams.h"
#include "sample_model.h"
#include "tovra_service.h"
#include "uds_client.h"

using namespace intake_test;
using identity_test::LogCapture;

namespace {

const char kDev[] = "a1b2c3d4e5f6";
const char kDevKey2[] = "dev10123456789ab";

// ---- Host events posted ------------------------------------------------------

struct Ev {
    orvi_event_loop_t event;
    std::string mac;  // the record in the context
    std::string text;
};
bool is_miniapp_post(orvi_event_loop_t event) {
    return event == ORVI_EVENT_MINIAPP_RES;
}
bool is_not_miniapp_post(orvi_event_loop_t event) {
    return !is_miniapp_post(event);
}

// Every event but the mini-app's retried answers (event 4106) posted so far.
std::vector<Ev> take_events() {
    std::vector<Ev> out;
    for (const posted_event_t &e : posted_events_take(is_not_miniapp_post))
        out.push_back({e.event, e.mac, e.text});
    return out;
}

// The records the mini-app's retried answers were posted for.
std::vector<orvi_subdev_ptr> miniapp_posts() {
    std::vector<orvi_subdev_ptr> out;
    for (const posted_event_t &e : posted_events_peek(is_miniapp_post))
        out.push_back(e.dev);
    return out;
}

void miniapp_posts_clear() {
    posted_events_take(is_miniapp_post);
}

std::vector<std::string> event_names(const std::vector<Ev> &evs) {
    std::vector<std::string> out;
    for (const Ev &e : evs)
        out.push_back(std::to_string(e.event) + " " + e.mac);
    return out;
}

std::string b64_status(uint8_t pow, uint8_t lum) {
    uint8_t f[SAMPLE_STATUS_LEN];
    sample_status_t s{pow, lum, 0};
    sample_status_encode(&s, f);
    std::string out;
    Base64Encode(f, out, sizeof f);
    return out;
}

class StatusTest : public IntakeFixture {
  protected:
    void SetUp() override {
        IntakeFixture::SetUp();
        orvi_timer_service_stop();
        orvi_status_handlers_reset_for_test();
        orvi_miniapp_reset_for_test();
        ASSERT_EQ(0, event_publish_queue_init());
        ASSERT_EQ(0, posted_events_start());
        for (const char *mid : {"90001", "90003", "90004"})
            install(mid);
        request_task_init(&task);
        request_wiring::writers_set(
            [this](const std::string &data, const dev_socket_t &to, const orvi_subdev_ptr &d) {
                written.push_back({data, to, d ? d->mac : ""});
                return 0;
            });
    }
    void TearDown() override {
        while (mqtt_upload_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        posted_events_stop();
        orvi_miniapp_reset_for_test();
        orvi_timer_service_stop();
        orvi_status_handlers_reset_for_test();
        event_publish_queue_init();
        IntakeFixture::TearDown();
    }

    void install(const std::string &mid) {
        std::ifstream in(std::string(ORVI_BINARY_DIR) + "/lib/lib" + mid + ".so", std::ios::binary);
        std::ofstream out(root.path("/data/domivault/data/lib/lib" + mid + ".so"), std::ios::binary);
        out << in.rdbuf();
    }

    // A registered device with a model, online state and status document.
    orvi_subdev_ptr device(const std::string &mac, dev_type_t type, const std::string &mid = "90001",
                           uint8_t online = 1, const std::string &data = "", const char *key = kDevKey) {
        orvi_subdev_ptr d = add_dev(mac, type, key);
        orvi_subdev_locked(d, [&](orvi_subdev_list_t &r) {
            orvi_field_set(r.mid, mid);
            r.online = online;
        });
        if (!data.empty()) {
            EXPECT_EQ(0, product_subdev_set_data(d, data));
        }
        return d;
    }
    // Gives the device the status template its codec builds commands on.
    static void with_template(const orvi_subdev_ptr &d) {
        const std::string t = orvi_codec_status_input(b64_status(0, 5).c_str());
        orvi_subdev_locked(
            d, [&](orvi_subdev_list_t &r) { r.binParam.assign(t.c_str(), t.c_str() + t.size() + 1); });
    }
    // Binary commands queued for `mac` as the board's services see them.
    static int bin_requests(const std::string &mac) {
        const std::string topic = std::string("/binRequest/") + kHomeMac + "/" + mac;
        int n = 0;
        for (int list = 0; list < 2; ++list)
            for (const local_pub_msg_t &m : local_mqtt_pending(list))
                n += m.topic == topic;
        return n;
    }
    orvi_subdev_ptr miniapp() { return device(ORVI_MINIAPP_MAC, DEV_TYPE_MINIPRO, "", 1, "", kHomeKey); }

    // `inner` sealed by `cid` with `key` (family 0) over UDP, through the task.
    int send(const std::string &inner, const std::string &cid = kDev, const char *key = kDevKey,
             aes_key_t family = AES_KEY_TYPE_RANDOM) {
        request_type_t r = received(seal(inner, key, family, cid), sock(SOCKET_CONNECT_TYPE_UDP, 5));
        return request_task_process(&task, &r);
    }
    // A cloud request for `target` (family 0, home key).
    int send_cloud(const std::string &inner, const std::string &target) {
        request_ctx_t ctx;
        ctx.has_text = true;
        ctx.text = target;
        request_type_t r = received(seal(inner, kHomeKey, AES_KEY_TYPE_RANDOM, "CLOUD0000000000C", kHomeMac,
                                         7, SOCKET_CONNECT_TYPE_MQTT),
                                    sock(SOCKET_CONNECT_TYPE_MQTT), ctx);
        return request_task_process(&task, &r);
    }
    // A host-initiated send of `name` for `dev` over `conn`.
    int send_named(const char *name, const orvi_subdev_ptr &dev, connect_type_t conn) {
        request_type_t r;
        r.data_type = DATA_TYPE_ONLY_SEND;
        r.data = name;
        r.sockinfo.type = conn;
        r.ctx.dev = dev;
        return request_task_process(&task, &r);
    }

    // The last answer, opened with `key` ("" when there is none).
    std::string answer(const char *key = kDevKey) {
        if (written.empty()) return "";
        const std::string env = written.back().data;
        written.clear();
        std::string pack = member_str(env, "pack");
        if (pack.empty()) return env;  // sent plain
        if (orvi_aes_decrypt(key, pack) != 0) return "(cannot open)";
        while (!pack.empty() && pack.back() == '\n')
            pack.pop_back();
        return pack;
    }

    std::string data_of(const orvi_subdev_ptr &d) { return orvi_subdev_snapshot(d).data; }

    // Everything queued on the local MQTT transport (both lists).
    std::vector<local_pub_msg_t> mqtt_queued() {
        std::vector<local_pub_msg_t> out = local_mqtt_pending(LOCAL_PUB_LIST_CONTROL);
        for (auto &m : local_mqtt_pending(LOCAL_PUB_LIST_STATUS))
            out.push_back(m);
        local_mqtt_pending_clear();
        return out;
    }
    // Everything queued for the event bus.
    std::vector<std::string> bus_queued() {
        std::vector<std::string> out;
        std::string m;
        while (event_publish_next(m) == 0)
            out.push_back(m);
        return out;
    }
    // The page the mini-app's retried answer channel was given last.
    std::string miniapp_page() {
        const std::vector<orvi_subdev_ptr> posts = miniapp_posts();
        if (posts.empty()) return "";
        request_data_t w;
        if (orvi_send_miniAppRsp(&w, posts.back()) != 0) return "";
        return w.rsp_data;
    }

    request_task_t task;
    std::vector<Written> written;
};

// ---- Status query --------------------------------------------------------------------

TEST_F(StatusTest, QueryOfTheHostAnswersKnownColumnsAndLogsTheRest) {
    device(kDev, DEV_TYPE_UDP);
    LogCapture log;
    ASSERT_EQ(
        0, send(std::string(R"({"t":"status","mac":")") + kHostMac + R"(","cols":["mid","bogus","time"]})"));
    const std::string text = log.text();
    const std::string a = answer();
    EXPECT_EQ((std::vector<std::string>{"mac", "cols", "dat", "t", "r"}), members(a));
    EXPECT_EQ(kHomeMac, member_str(a, "mac"));
    EXPECT_TRUE(std::regex_search(
        a, std::regex(R"("cols":\["mid","time"\],"dat":\["[^"]*","\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"\])")))
        << a;
    EXPECT_EQ("200", member_str(a, "r"));
    EXPECT_NE(std::string::npos, text.find("'bogus' is illegal!"));
}

TEST_F(StatusTest, QueryOfADeviceAnswersItsRecordUnderTheSendersMac) {
    orvi_subdev_ptr d = device("0a0b0c0d0e0f", DEV_TYPE_UDP, "90001");
    orvi_subdev_locked(d, [](orvi_subdev_list_t &r) {
        orvi_field_set(r.ver, "1.2.3");
        orvi_field_set(r.hid, "hid-9");
        r.RSSI = -51;
    });
    device(kDev, DEV_TYPE_CAN);
    ASSERT_EQ(0, send(R"({"t":"status","sub":"0a0b0c0d0e0f","cols":["ver","hid","mid","rssi","active"]})"));
    const std::string a = answer();
    EXPECT_EQ(kDev, member_str(a, "mac"));
    EXPECT_NE(std::string::npos,
              a.find(R"("cols":["ver","hid","mid","rssi","active"],"dat":["1.2.3","hid-9","90001",-51,)"))
        << a;
    // A CAN device keeps no signal strength: the column is left out.
    ASSERT_EQ(0, send(std::string(R"({"t":"status","mac":")") + kDev + R"(","cols":["rssi","mid"]})"));
    EXPECT_NE(std::string::npos, answer().find(R"("cols":["mid"],"dat":["90001"])"));
}

TEST_F(StatusTest, ListQuerySkipsDevicesWithoutStatusAndAnswers500WhenNoneHasOne) {
    device(kDev, DEV_TYPE_UDP);
    device("0a0000000001", DEV_TYPE_UDP, "90001", 1, R"({"t":"dat","opt":["Pow","Lum"],"p":[1,40]})");
    device("0a0000000002", DEV_TYPE_UDP, "90001", 1, R"({"cols":["Pow","Lum"],"dat":[0,70]})");
    device("0a0000000003", DEV_TYPE_UDP);  // no status yet
    LogCapture log;
    ASSERT_EQ(
        0,
        send(
            R"({"t":"status","list":[{"mac":"0a0000000001"},{"mac":"0a0000000002","cols":["Lum","Gone","Pow"]},)"
            R"({"mac":"0a0000000003"},{"mac":"ffffffffffff"},{"mac":"0a00000000030000000"},"junk"]})"));
    const std::string text = log.text();
    const std::string a = answer();
    EXPECT_EQ(std::string(R"({"mac":")") + kHomeMac +
                  R"(","list":[{"mac":"0a0000000001","cols":["Pow","Lum"],"dat":[1,40]},)"
                  R"({"mac":"0a0000000002","cols":["Lum","Pow"],"dat":[70,0]}],"t":"dat","r":200})",
              a);
    for (const char *line :
         {"'0a0000000003' json data is NULL, Unable to query status!", "'ffffffffffff' is not Unbind!",
          "a mac of 17 or more characters is no device", "jlist_temp is not object type!"})
        EXPECT_NE(std::string::npos, text.find(line)) << line;

    ASSERT_EQ(0, send(R"({"t":"status","list":[{"mac":"0a0000000003"}]})"));
    EXPECT_EQ(std::string(R"({"mac":")") + kHomeMac + R"(","list":[],"t":"dat","r":500})", answer());
    // Neither a target nor a list: no answer.
    EXPECT_EQ(-1, send(R"({"t":"status","cols":["mid"]})"));
}

TEST_F(StatusTest, KeypairTakesEitherPairAndTheInnerJsonStatus) {
    struct Case {
        const char *status;
        int walked;
        const char *pairs;
    } cases[] = {
        {R"({"opt":["a","b"],"p":[1,"x"]})", 2, R"({"a":1,"b":"x"})"},
        {R"({"cols":["a","a",3],"dat":[1,2,3]})", 3, R"({"a":1})"},
        {R"({"t":"jsonStatus","jsonStatus":{"cols":["c"],"dat":[true]}})", 1, R"({"c":true})"},
        {R"({"opt":["a","b"],"p":[1]})", 2, R"({"a":1})"},
        {R"({"opt":"a","p":[1]})", -1, "{}"},
    };
    for (const Case &c : cases) {
        cJSON *s = cJSON_Parse(c.status);
        cJSON *o = cJSON_CreateObject();
        EXPECT_EQ(c.walked, orvi_cjson_array_to_keypair(s, o)) << c.status;
        char *p = cJSON_PrintUnformatted(o);
        EXPECT_STREQ(c.pairs, p) << c.status;
        cJSON_free(p);
        cJSON_Delete(o);
        cJSON_Delete(s);
    }
    EXPECT_EQ(-1, orvi_cjson_array_to_keypair(nullptr, nullptr));
}

// ---- Status reports ------------------------------------------------------------------

TEST_F(StatusTest, BinaryStatusIsDecodedStoredAndFannedOut) {
    orvi_subdev_ptr d = device(kDev, DEV_TYPE_UDP, "90001");
    ASSERT_EQ(0, send(std::string(R"({"t":"binStatus","mac":")") + kDev + R"(","binStatus":")" +
                      b64_status(1, 80) + "\"}"));
    EXPECT_EQ(std::string(R"({"t":"ret","r":200,"mac":")") + kHomeMac + "\"}", answer());
    EXPECT_EQ(R"({"cols":["Pow","Lum"],"dat":[1,80]})", data_of(d));
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(d);
    EXPECT_NE(0u, f.hb_ticks);
    EXPECT_EQ("{\"base64Param\":\"" + b64_status(1, 80) + "\",\"originLength\":8}",
              std::string(f.binParam.data()));
    EXPECT_EQ((std::vector<std::string>{"4100 " + std::string(kDev)}), event_names(take_events()));
    EXPECT_FALSE(pending_has("orvi_udpdev_set_scene"));

    // The event's send runs the fan-out: a UDP device's status on the bus.
    pending_calls_clear();
    send_named("jsonStatus", d, SOCKET_CONNECT_TYPE_MULTICAST);
    EXPECT_TRUE(pending_has(std::string("publish /jsonStatus/") + kHomeMac + "/" + kDev +
                            R"( {"cols":["Pow","Lum"],"dat":[1,80],"r":200,"t":"dat","mid":"90001","mac":")" +
                            kDev))
        << ::testing::PrintToString(pending_calls());
    EXPECT_TRUE(written.empty());  // the fan-out sends no packet itself
}

TEST_F(StatusTest, BinaryStatusThatCannotBeDecodedKeepsTheLastStatusAndIsStillAcknowledged) {
    struct Case {
        const char *mid;
        const char *log;
    } cases[] = {
        {"90003", "hex_to_json is fail!"},  // the plug-in fails
        {"90004", "hex_to_json is fail!"},  // its status fills the whole status buffer
        {"77777", "hex_to_json is fail!"},  // no plug-in
    };
    for (const Case &c : cases) {
        product_registry_reset_for_test();
        const std::string good = R"({"cols":["Pow"],"dat":[0]})";
        orvi_subdev_ptr d = device(kDev, DEV_TYPE_UDP, c.mid, 1, good);
        LogCapture log;
        ASSERT_EQ(0, send(std::string(R"({"t":"binStatus","mac":")") + kDev + R"(","binStatus":")" +
                          b64_status(1, 10) + "\"}"));
        EXPECT_NE(std::string::npos, log.text().find(c.log)) << c.mid;
        EXPECT_EQ(std::string(R"({"t":"ret","r":200,"mac":")") + kHomeMac + "\"}", answer()) << c.mid;
        EXPECT_EQ(good, data_of(d)) << c.mid;
        EXPECT_TRUE(take_events().empty()) << c.mid;
    }
    // A report naming another device is not taken, nor answered.
    EXPECT_EQ(-1, send(R"({"t":"binStatus","mac":"000000000000","binStatus":"pQFQAA=="})"));
    EXPECT_EQ(-1, send(R"({"t":"binStatus","binStatus":"pQFQAA=="})"));
}

TEST_F(StatusTest, BinaryStatusOfADeviceWaitingForItsDefaultSceneSendsIt) {
    orvi_subdev_ptr d = device(kDev, DEV_TYPE_UDP, "90001");
    orvi_subdev_locked(d, [](orvi_subdev_list_t &r) { r.scene = 1; });
    ASSERT_EQ(0, send(std::string(R"({"t":"binStatus","mac":")") + kDev + R"(","binStatus":")" +
                      b64_status(0, 5) + "\"}"));
    // Its default scene goes out as a binary command (its report frequency
    // may follow).
    EXPECT_LE(1, bin_requests(kDev));
}

TEST_F(StatusTest, DatReportBecomesTheStatusDocumentAndIsFannedOut) {
    orvi_subdev_ptr d = device(kDev, DEV_TYPE_UDP);
    EXPECT_EQ(-1, send(R"({"t":"dat","opt":["Pow"],"p":[1]})"));  // no answer
    EXPECT_EQ(R"({"opt":["Pow"],"p":[1],"t":"dat"})", data_of(d));
    EXPECT_TRUE(pending_has(std::string("publish /jsonStatus/") + kHomeMac + "/" + kDev));
    // "cols"/"dat" when the pair is incomplete.
    send(R"({"t":"dat","opt":["Pow"],"cols":["Lum"],"dat":[9]})");
    EXPECT_EQ(R"({"opt":["Lum"],"p":[9],"t":"dat"})", data_of(d));
    // Too big for the status buffer: refused, the last status stays.
    send(R"({"t":"dat","opt":["Big"],"p":[")" + std::string(5200, 'x') + "\"]}");
    EXPECT_EQ(R"({"opt":["Lum"],"p":[9],"t":"dat"})", data_of(d));
    // An unregistered sender has no device type.
    LogCapture log;
    send(R"({"t":"dat","opt":["Pow"],"p":[1]})", "0f0f0f0f0f0f", ORVI_DEFAULT_KEY, AES_KEY_TYPE_DEFAULT);
    EXPECT_NE(std::string::npos, log.text().find("illegal deveice type :0"));
}

TEST_F(StatusTest, JsonStatusIsStoredAsItCameAndUploadedForPowerGateways) {
    orvi_subdev_ptr gw = device(kDev, DEV_TYPE_PWRGATEWAY);
    orvi_subdev_ptr udp = device("0a0000000001", DEV_TYPE_UDP, "90001", 1, "", kDevKey2);
    const std::string inner = R"({"t":"jsonStatus","jsonStatus":{"cols":["PVPwtGen"],"dat":[12]}})";
    ASSERT_EQ(0, send(inner));
    EXPECT_EQ(R"({"t":"ret","r":200})", answer());
    EXPECT_EQ(inner, data_of(gw));
    EXPECT_EQ((std::vector<std::string>{"4107 " + std::string(kDev), "4100 " + std::string(kDev)}),
              event_names(take_events()));
    ASSERT_EQ(0, send(inner, "0a0000000001", kDevKey2));
    EXPECT_EQ(R"({"t":"ret","r":200})", answer(kDevKey2));
    EXPECT_EQ(inner, data_of(udp));
    EXPECT_TRUE(take_events().empty());
    // A document too big for the status buffer is not taken, and not
    // acknowledged as taken.
    const std::string big =
        R"({"t":"jsonStatus","jsonStatus":{"cols":["x"],"dat":[")" + std::string(5200, 'y') + "\"]}}";
    ASSERT_EQ(0, send(big));
    EXPECT_EQ(R"({"t":"ret","r":500})", answer());
    EXPECT_EQ(inner, data_of(gw));
    EXPECT_TRUE(take_events().empty());
}

// ---- Fan-out ---------------------------------------------------------------------------

TEST_F(StatusTest, GangsOfAMultiGangSwitchFollowTheGangThatReported) {
    const std::string base = "0c0d0e0f1011";
    orvi_subdev_ptr g0 = device(base + "00", DEV_TYPE_TOVRA, "90010");
    orvi_subdev_ptr g1 = device(base + "01", DEV_TYPE_TOVRA, "90010");
    orvi_subdev_ptr g2 = device(base + "02", DEV_TYPE_TOVRA, "90010", 1, R"({"opt":["Sw3"],"p":[0]})");
    const std::string doc = R"({"opt":["Sw1","Sw2","Sw3","Sw4","hid"],"p":[1,0,1,0,"hv2"]})";
    ASSERT_EQ(0, product_subdev_set_data(g1, doc));
    LogCapture log;
    EXPECT_EQ(3, tovra_switch_status_sync(g1));
    EXPECT_NE(std::string::npos, log.text().find("have no this device,mac is " + base + "03"));
    for (const auto &g : {g0, g1, g2}) {
        EXPECT_EQ(doc, data_of(g)) << g->mac;
        EXPECT_EQ("hv2", std::string(orvi_subdev_snapshot(g).hid)) << g->mac;
    }
    // The device information goes to the cloud again for each changed hid.
    EXPECT_EQ(3, pending_count(std::string("publish devInfoHttp/") + kHomeMac + "/" + base));

    // Through the fan-out of a gang's own report.
    pending_calls_clear();
    const std::string doc2 = R"({"opt":["Sw1","Sw3"],"p":[0,0]})";
    ASSERT_EQ(0, product_subdev_set_data(g0, doc2));
    EXPECT_EQ(0, orvi_jsonStatus_handle(g0));
    EXPECT_EQ(doc2, data_of(g2));
    EXPECT_EQ(doc, data_of(g1));  // not named by the report
    EXPECT_EQ(-1, tovra_switch_status_sync(device("0c0d0e0f101203", DEV_TYPE_TOVRA)));
}

TEST_F(StatusTest, FirmwareIdentifierFollowsTheStatus) {
    struct Case {
        const char *doc;
        int rc;
        const char *hid;
    } cases[] = {
        {R"({"t":"jsonStatus","jsonStatus":{"cols":["hid"],"dat":["j1"]}})", 0, "j1"},
        {R"({"cols":["Pow","hid"],"dat":[1,"c1"]})", 0, "c1"},
        {R"({"opt":["hid"],"p":["old"]})", 0, "old"},
        {R"({"opt":["Pow"],"p":[1]})", 0, "old"},
        {R"({"opt":["hid"]})", -1, "old"},
        {R"({"opt":[],"p":[]})", -1, "old"},
        {R"({"x":1})", -1, "old"},
        {"not json", -1, "old"},
        {R"({"opt":["hid"],"p":["0123456789012345678901234567890123456789"]})", -1, "old"},
    };
    for (const Case &c : cases) {
        orvi_subdev_ptr d = device(kDev, DEV_TYPE_CENTCTRL);
        orvi_subdev_locked(d, [&](orvi_subdev_list_t &r) {
            orvi_field_set(r.hid, "old");
            r.data = c.doc;
        });
        pending_calls_clear();
        EXPECT_EQ(c.rc, update_hid_from_dat(d)) << c.doc;
        EXPECT_EQ(c.hid, std::string(orvi_subdev_snapshot(d).hid)) << c.doc;
        EXPECT_EQ(std::string(c.hid) != "old", pending_has("publish devInfoHttp/")) << c.doc;
    }
}

TEST_F(StatusTest, CloudUploadSendsTheColumnsOfTheStatusOrOfItsGang) {
    struct Case {
        const char *mac;
        dev_type_t type;
        const char *doc;
        const char *sent;  // null: nothing sent
    } cases[] = {
        {"0a0000000001", DEV_TYPE_UDP, R"({"opt":["Pow"],"p":[1],"cols":["Lum"],"dat":[3]})",
         R"({"cols":["Lum"],"dat":[3],"t":"dat","mac":"0a0000000001"})"},
        {"0a0000000002", DEV_TYPE_UDP, R"({"opt":["Pow"],"p":[1]})",
         R"({"cols":["Pow"],"dat":[1],"t":"dat","mac":"0a0000000002"})"},
        {"0a0000000003", DEV_TYPE_CENTCTRL, R"({"t":"jsonStatus","jsonStatus":{"cols":["A"],"dat":[2]}})",
         R"({"cols":["A"],"dat":[2],"t":"dat","mac":"0a0000000003"})"},
        {"0a000000000401", DEV_TYPE_TOVRA, R"({"opt":["Sw1","Sw2"],"p":[1,0]})",
         R"({"cols":["Sw2"],"dat":[0],"t":"dat","mac":"0a000000000401"})"},
        {"0a000000000402", DEV_TYPE_TOVRA, R"({"opt":["Sw1","Sw2"],"p":[1,0]})", nullptr},  // no Sw3
        {"0a0000000005", DEV_TYPE_UDP, R"({"x":1})", nullptr},
        {"0a0000000006", DEV_TYPE_UDP, "", nullptr},
    };
    for (const Case &c : cases) {
        orvi_subdev_ptr d = device(c.mac, c.type, "90001", 1, c.doc);
        written.clear();
        send_named("jsonStatus_mqtt", d, SOCKET_CONNECT_TYPE_MQTT);
        if (!c.sent) {
            EXPECT_TRUE(written.empty()) << c.mac;
            continue;
        }
        ASSERT_EQ(1u, written.size()) << c.mac;
        EXPECT_EQ(std::string("jsonStatus/") + kHomeMac + "/" + c.mac, written[0].to.topic) << c.mac;
        EXPECT_EQ("0", member_str(written[0].data, "tcid"));
        EXPECT_EQ(c.sent, answer(c.type == DEV_TYPE_CENTCTRL ? kRandomKey : kDevKey)) << c.mac;
    }
}

TEST_F(StatusTest, UploadOfEveryStatusAsksForOnlineDevicesOnlyAndRunsOnce) {
    device("0a0000000001", DEV_TYPE_UDP, "90001", 1);
    device("0a0000000002", DEV_TYPE_UDP, "90001", 0);  // offline
    device("0a0000000003", DEV_TYPE_CAN, "70101", 1);
    device(ORVI_MINIAPP_MAC, DEV_TYPE_MINIPRO, "", 1);
    ASSERT_EQ(0, mqtt_upload_all_devices_status_thread(300));
    EXPECT_EQ(-1, mqtt_upload_all_devices_status_thread());  // one worker at a time
    while (mqtt_upload_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ((std::vector<std::string>{"4107 0a0000000001", "4107 0a0000000003"}),
              event_names(take_events()));
    EXPECT_EQ(0, mqtt_upload_all_devices_status_thread());  // free again
}

// ---- Scene tag extras ---------------------------------------------------------------

TEST_F(StatusTest, SceneTagAnswersListTheOfflineDevices) {
    device("0a0000000001", DEV_TYPE_UDP, "90001", 0);
    device("0a0000000002", DEV_TYPE_CAN, "70101", 0);
    device("0a0000000003", DEV_TYPE_WIFI, "x", 0);
    device("0a0000000004", DEV_TYPE_TOVRA, "x", 1);  // online
    device("0a0000000005", DEV_TYPE_NONE, "x", 0);
    device(ORVI_MINIAPP_MAC, DEV_TYPE_MINIPRO, "", 0);
    cJSON *e = orvi_sceneTag_extras_res(R"({"t":"res","opt":["Pow","SceneTag"],"p":[1,3]})");
    ASSERT_NE(nullptr, e);
    char *p = cJSON_PrintUnformatted(e);
    EXPECT_EQ(std::string(R"({"dev":1,"offline":["0a0000000001","0a0000000002@)") + kHomeMac +
                  R"(","0a0000000003"]})",
              p);
    cJSON_free(p);
    cJSON_Delete(e);
    for (const char *none : {R"({"opt":["Pow"],"p":[1]})", R"({"opt":[],"p":[]})",
                             R"({"opt":"SceneTag","p":[]})", R"({"t":"res"})", "[1]", "x"})
        EXPECT_EQ(nullptr, orvi_sceneTag_extras_res(none)) << none;
    EXPECT_EQ(nullptr, orvi_sceneTag_extras_res(nullptr));
}

// ---- Commands ----------------------------------------------------------------------------

TEST_F(StatusTest, CommandsGoToTheirTargetAndAnswerWhatBecameOfThem) {
    struct Case {
        const char *what;
        const char *inner;
        uint8_t online;
        bool has_template;  // the device reported a status the codec can build on
        bool reaches;       // a binary command for the device is queued
        const char *answer;
    } cases[] = {
        {"cmd, online", R"({"t":"cmd","opt":["Pow"],"p":[1]})", 1, true, true,
         R"({"t":"res","r":200,"mac":"a1b2c3d4e5f6","opt":["Pow"],"p":[1]})"},
        {"cmd naming mac", R"({"t":"cmd","mac":"a1b2c3d4e5f6","mid":"90001","opt":["Pow"],"p":[0]})", 1, true,
         true, R"({"t":"res","r":200,"mac":"a1b2c3d4e5f6","opt":["Pow"],"p":[0]})"},
        {"cmd naming sub", R"({"t":"cmd","sub":"a1b2c3d4e5f6","opt":["Pow"],"p":[1]})", 1, true, true,
         R"({"t":"res","r":200,"sub":"a1b2c3d4e5f6","opt":["Pow"],"p":[1]})"},
        {"cmd, offline", R"({"t":"cmd","opt":["Pow"],"p":[1]})", 0, true, true,
         R"({"t":"res","r":405,"mac":"a1b2c3d4e5f6","opt":["Pow"],"p":[1]})"},
        {"cmd, not routed", R"({"t":"cmd","opt":["Pow"],"p":[1]})", 1, false, false,
         R"({"t":"res","r":500,"mac":"a1b2c3d4e5f6","opt":["Pow"],"p":[1]})"},
        {"cmd without p", R"({"t":"cmd","opt":["Pow"]})", 1, true, false, ""},
        {"cmd, mac too long", R"({"t":"cmd","mac":"a1b2c3d4e5f6a1b2c","opt":["Pow"],"p":[1]})", 1, true,
         false, ""},
    };
    for (const Case &c : cases) {
        product_registry_reset_for_test();
        orvi_subdev_ptr d = device(kDev, DEV_TYPE_UDP, "90001", c.online);
        if (c.has_template) with_template(d);
        local_mqtt_pending_clear();
        send(c.inner);
        EXPECT_EQ(c.reaches ? 1 : 0, bin_requests(kDev)) << c.what;
        EXPECT_EQ(c.answer, answer()) << c.what;
        subdev_udp_bincmd_clean(d);
    }
}

TEST_F(StatusTest, JsonCommandsOfTheAppNameTheirDevice) {
    miniapp();
    orvi_subdev_ptr d = device(kDev, DEV_TYPE_UDP, "90001", 0);
    struct Case {
        const char *inner;
        bool has_template;
        const char *answer;
    } cases[] = {
        {R"({"t":"jsonCmd","mac":"a1b2c3d4e5f6","opt":["Pow","Lum"],"p":[1,80]})", true,
         R"({"t":"res","r":200,"mac":"a1b2c3d4e5f6"})"},
        // Nothing to build a binary command on: not passed on, not done.
        {R"({"t":"jsonCmd","mac":"a1b2c3d4e5f6","opt":["Pow"],"p":[1]})", false,
         R"({"t":"res","r":500,"mac":"a1b2c3d4e5f6"})"},
        {R"({"t":"jsonCmd","mac":"0f0f0f0f0f0f","opt":["Pow"],"p":[1]})", true, ""},  // not bound
        {R"({"t":"jsonCmd","opt":["Pow"],"p":[1]})", true, ""},                       // no mac
    };
    for (const Case &c : cases) {
        orvi_subdev_locked(d, [](orvi_subdev_list_t &r) { r.binParam.clear(); });
        if (c.has_template) with_template(d);
        send(c.inner, ORVI_MINIAPP_MAC, kHomeKey);
        EXPECT_EQ(c.answer, answer(kHomeKey)) << c.inner;
        subdev_udp_bincmd_clean(d);
    }
    // The app's own record is no device to command: "cmd" from it is refused
    // by device control and not reported done.
    send(R"({"t":"cmd","opt":["Pow"],"p":[1]})", ORVI_MINIAPP_MAC, kHomeKey);
    EXPECT_EQ(R"({"t":"res","r":500,"mac":"miniApp","opt":["Pow"],"p":[1]})", answer(kHomeKey));
}

TEST_F(StatusTest, CloudCommandToTheHostGoesToTheHostsInterpreter) {
    struct Case {
        const char *opt_p;  // the command's "opt" and "p" members
        int code;
        bool reaches_lights;
    } cases[] = {
        {R"("opt":["RoomID","DevType","Pow"],"p":["5001",4,1])", 200, true},
        // No device type: refused, never widened into a whole-home command.
        {R"("opt":["RoomID"],"p":["1"])", 500, false},
        // A room the host does not know.
        {R"("opt":["RoomID","DevType","Pow"],"p":["77",4,1])", 500, false},
    };
    const dev_roomlist_t kitchen{5001, 7, "Kitchen"};
    ASSERT_EQ(1, product_roomlist_append(&kitchen, 1, true));
    for (const Case &c : cases) {
        pending_calls_clear();
        ASSERT_EQ(
            0, send_cloud(std::string(R"({"t":"cmd","sub":")") + kHomeMac + "\"," + c.opt_p + "}", kHomeMac));
        EXPECT_EQ(std::string(R"({"t":"res","r":)") + std::to_string(c.code) + R"(,"sub":")" + kHomeMac +
                      "\"," + c.opt_p + "}",
                  answer(kHomeKey));
        EXPECT_EQ(c.reaches_lights, pending_has("tovra_device_all_ctrl 7 1 4")) << c.opt_p;
    }
    // A room command the lighting service cannot carry is not answered as done.
    {
        recording_seams_back back;
        tovra_service_install(nullptr);
        ASSERT_EQ(0,
                  send_cloud(std::string(R"({"t":"cmd","sub":")") + kHomeMac + "\"," + cases[0].opt_p + "}",
                             kHomeMac));
        EXPECT_EQ(std::string(R"({"t":"res","r":500,"sub":")") + kHomeMac + "\"," + cases[0].opt_p + "}",
                  answer(kHomeKey));
    }

    // A scene tag command of the cloud is answered with the offline devices.
    device(kDev, DEV_TYPE_UDP, "90001", 1);
    device("0a0000000002", DEV_TYPE_CAN, "70101", 0);
    ASSERT_EQ(0, send_cloud(R"({"t":"cmd","opt":["SceneTag"],"p":[2]})", kDev));
    ASSERT_EQ(1u, written.size());
    EXPECT_EQ(std::string("response/") + kHomeMac + "/" + kDev, written[0].to.topic);
    cJSON *env = cJSON_Parse(written[0].data.c_str());
    char *extras = cJSON_PrintUnformatted(cJSON_GetObjectItem(env, "extras"));
    EXPECT_EQ(std::string(R"({"dev":1,"offline":["0a0000000002@)") + kHomeMac + "\"]}", extras ? extras : "");
    cJSON_free(extras);
    cJSON_Delete(env);
}

// ---- Configuration buffer ------------------------------------------------------------------

TEST_F(StatusTest, ConfigurationBufferIsWrittenWholeAndReadBack) {
    miniapp();
    auto cfg = [&](const std::string &inner) {
        send(inner, ORVI_MINIAPP_MAC, kHomeKey);
        return answer(kHomeKey);
    };
    EXPECT_EQ(R"({"t":"configStatusAck","data":""})", cfg(R"({"t":"configStatus","oper":"r"})"));
    EXPECT_EQ(R"({"t":"configStatusAck"})", cfg(R"({"t":"configStatus","oper":"w","data":"{\"a\":1}"})"));
    EXPECT_EQ(R"({"a":1})", root.read("/data/domivault/data/config_buffer"));
    EXPECT_EQ(R"({"t":"configStatusAck","data":"{\"a\":1}"})", cfg(R"({"t":"configStatus","oper":"r"})"));
    // Refused: too big, bad oper, no data; the stored buffer stays.
    EXPECT_EQ("", cfg(R"({"t":"configStatus","oper":"w","data":")" +
                      std::string(ORVI_CONFIG_TEXT_MAX + 1, 'z') + "\"}"));
    EXPECT_EQ("", cfg(R"({"t":"configStatus","oper":"x"})"));
    EXPECT_EQ("", cfg(R"({"t":"configStatus","oper":1})"));
    EXPECT_EQ("", cfg(R"({"t":"configStatus","oper":"w"})"));
    EXPECT_EQ(R"({"a":1})", root.read("/data/domivault/data/config_buffer"));
}

// ---- Schedules ------------------------------------------------------------------------------

TEST_F(StatusTest, SchedulesAnswerWhatTheStoreReportsOnTheTimerTopic) {
    device(kDev, DEV_TYPE_UDP, "90001");
    const std::string full =
        std::string(R"({"t":"AddTiming","mac":")") + kDev +
        R"(","timeid":3,"mday":2,"hour":7,"min":30,"action":{"opt":["Pow"],"p":[1]},"enable":1})";
    struct Case {
        const char *what;
        std::string inner;
        int store_rc;
        int r;
    } cases[] = {
        {"add", full, 0, 200},
        {"add, store failure", full, -1, 500},
        {"add, id exists", full, -2, 501},
        {"add, device full", full, -3, 503},
        {"add, no action",
         std::string(R"({"t":"AddTiming","mac":")") + kDev +
             R"(","timeid":3,"mday":2,"hour":7,"min":30,"enable":1})",
         0, 500},
        {"add, hour 24",
         std::string(R"({"t":"AddTiming","mac":")") + kDev +
             R"(","timeid":3,"mday":2,"hour":24,"min":0,"action":{},"enable":1})",
         0, 500},
        {"add, unknown device",
         R"({"t":"AddTiming","mac":"0f0f0f0f0f0f","timeid":3,"mday":2,"hour":7,"min":30,"action":{},"enable":1})",
         0, 500},
        {"update",
         std::string(R"({"t":"UpdateTiming","mac":")") + kDev +
             R"(","timeid":3,"mday":0,"hour":1,"min":2,"action":{"opt":["Pow"],"p":[0]},"enable":0})",
         0, 200},
        {"update, missing",
         std::string(R"({"t":"UpdateTiming","mac":")") + kDev +
             R"(","timeid":3,"mday":0,"hour":1,"min":2,"action":{},"enable":0})",
         -1, 500},
        {"delete", std::string(R"({"t":"DeleteTiming","mac":")") + kDev + R"(","timeid":3})", 0, 200},
        {"delete, no timeid", std::string(R"({"t":"DeleteTiming","mac":")") + kDev + R"("})", 0, 500},
    };
    for (const Case &c : cases) {
        mqtt_queued();
        pending_calls_clear();
        pending_set_result(c.store_rc);
        EXPECT_EQ(-1, send(c.inner)) << c.what;  // answered on the bus, not on the LAN
        pending_set_result(0);
        EXPECT_TRUE(written.empty()) << c.what;
        std::vector<local_pub_msg_t> q = mqtt_queued();
        ASSERT_EQ(1u, q.size()) << c.what;
        EXPECT_EQ(std::string("TimerRsp/") + kHomeMac + "/" + kDev, q[0].topic) << c.what;
        // Unsealed ("i" 2): the package carries the payload text itself.
        EXPECT_EQ("2", member_str(q[0].payload, "i"));
        const std::string payload = member_str(q[0].payload, "pack");
        EXPECT_EQ(kHomeMac, member_str(payload, "mac"));
        cJSON *pl = cJSON_Parse(payload.c_str());
        const cJSON *plain = cJSON_GetObjectItem(pl, "plaintext");
        ASSERT_NE(nullptr, plain) << c.what << ": " << q[0].payload;
        EXPECT_EQ(c.r, cJSON_GetObjectItem(plain, "r")->valueint) << c.what;
        EXPECT_STREQ("tres", cJSON_GetObjectItem(plain, "t")->valuestring);
        cJSON_Delete(pl);
        if (std::string(c.what) == "add") {
            EXPECT_TRUE(
                pending_has(std::string("timer_node_Add ") + kDev + R"( 3 0 5 {"opt":["Pow"],"p":[1]})"));
        }
        std::vector<Ev> evs = take_events();
        if (c.r == 200) {
            ASSERT_EQ(2u, evs.size()) << c.what;
            EXPECT_EQ(ORVI_EVENT_TIMER_BROADCAST, evs[0].event);
            EXPECT_EQ(member_str(c.inner, "t"), member_str(evs[0].text, "t"));
            EXPECT_EQ(ORVI_EVENT_TIMER_INFO, evs[1].event);
            EXPECT_EQ("Timedat", member_str(evs[1].text, "t"));
        } else {
            EXPECT_TRUE(evs.empty()) << c.what;
        }
    }
}

TEST_F(StatusTest, ScheduleAnswerTopicIsNeverBuiltFromUnsafeText) {
    // A sender identifier holding a topic separator cannot name the topic.
    device("a1/b2#c3", DEV_TYPE_UDP, "90001");
    LogCapture log;
    send(R"({"t":"DeleteTiming","mac":"a1/b2#c3","timeid":1})", "a1/b2#c3");
    EXPECT_NE(std::string::npos, log.text().find("timer answer not published"));
    EXPECT_TRUE(mqtt_queued().empty());
}

// ---- Firmware upgrade -------------------------------------------------------------------------

TEST_F(StatusTest, UpgradeOrderStartsTheDownloadForThisHostOnly) {
    const std::string ok =
        std::string(R"({"t":"upgrade","mac":")") + kHomeMac + R"(","url":"http://x/fw/1234"})";
    ASSERT_EQ(0, send_cloud(ok, kHomeMac));
    EXPECT_EQ(ok, answer(kHomeKey));
    EXPECT_TRUE(pending_has("orvi_ota_thread http://x/fw/1234"));
    pending_calls_clear();
    const std::string short_url =
        std::string(R"({"t":"upgrade","mac":")") + kHomeMac + R"(","url":"http://"})";
    ASSERT_EQ(0, send_cloud(short_url, kHomeMac));
    EXPECT_EQ(short_url, answer(kHomeKey));
    EXPECT_EQ(-1,
              send_cloud(R"({"t":"upgrade","mac":"OTHERHOST0000000","url":"http://x/fw/1234"})", kHomeMac));
    EXPECT_EQ(-1, send_cloud(std::string(R"({"t":"upgrade","mac":")") + kHomeMac + "\"}", kHomeMac));
    EXPECT_FALSE(pending_has("orvi_ota_thread"));
}

// ---- Sub-subdevices ------------------------------------------------------------------------------

TEST_F(StatusTest, GatewayReportsOfSubSubdevicesAreDecodedAndPublished) {
    orvi_subdev_ptr gw = device(kDev, DEV_TYPE_GATEWAY, "90001");
    const std::string st =
        std::string(R"({"t":"binSubStatus","mac":")") + kDev +
        R"(","binSubStatus":{"t":"binStatus","mac":"0e0e0e0e0e0e","mid":"90001","binStatus":")" +
        b64_status(1, 20) + "\"}}";
    EXPECT_EQ(-1, send(st));  // no answer
    orvi_subdev_ptr sub = product_get_subsubdev_form_host(kDev, "0e0e0e0e0e0e");
    ASSERT_NE(nullptr, sub);
    EXPECT_EQ(R"({"cols":["Pow","Lum"],"dat":[1,20]})", data_of(sub));
    EXPECT_TRUE(pending_has(R"(publish lock/status {"cols":["Pow","Lum"],"dat":[1,20]})"))
        << ::testing::PrintToString(pending_calls());

    uint8_t ev[SAMPLE_EVENT_LEN] = {SAMPLE_EVENT_MAGIC, 1};
    std::string evb64;
    Base64Encode(ev, evb64, sizeof ev);
    send(std::string(R"({"t":"binSubEvent","mac":")") + kDev +
         R"(","binSubEvent":{"t":"binEvent","mac":"0e0e0e0e0e0e","mid":"90001","binEvent":")" + evb64 +
         "\"}}");
    EXPECT_TRUE(pending_has("publish device/event/0e0e0e0e0e0e"));
    EXPECT_EQ(1u, orvi_subdev_snapshot(sub).event_list.size());

    // Refused: a sub-subdevice MAC of 17 characters, an unknown gateway,
    // an event of a sub-subdevice never seen, an inner packet of the wrong type.
    LogCapture log;
    send(
        std::string(R"({"t":"binSubStatus","mac":")") + kDev +
        R"(","binSubStatus":{"t":"binStatus","mac":"0e0e0e0e0e0e0e0e0","mid":"90001","binStatus":"pQEUAA=="}})");
    send(
        R"({"t":"binSubStatus","mac":"0f0f0f0f0f0f","binSubStatus":{"t":"binStatus","mac":"0e","mid":"90001","binStatus":"pQEUAA=="}})");
    send(std::string(R"({"t":"binSubEvent","mac":")") + kDev +
         R"(","binSubEvent":{"t":"binEvent","mac":"0d0d0d0d0d0d","mid":"90001","binEvent":"5QE="}})");
    send(std::string(R"({"t":"binSubStatus","mac":")") + kDev +
         R"(","binSubStatus":{"t":"binEvent","mac":"0e0e0e0e0e0e","mid":"90001","binStatus":"pQEUAA=="}})");
    const std::string text = log.text();
    for (const char *line : {"json_mac valuestring length bigger than 15!",
                             "type isn't binSubStatus package or haven't 0f0f0f0f0f0f sub device!",
                             "the sub-subdevice dose not exist!", "type isn't binStatus package!"})
        EXPECT_NE(std::string::npos, text.find(line)) << line;
    EXPECT_EQ(nullptr, product_get_subsubdev_form_host(kDev, "0e0e0e0e0e0e0e0e0"));
}

// ---- The mini-app's requests ------------------------------------------------------------------------

TEST_F(StatusTest, Rs485ConfigurationIsStoredAnnouncedAndAcknowledgedThroughTheRetriedChannel) {
    orvi_subdev_ptr app = miniapp();
    EXPECT_EQ(-1, send(R"({"t":"485Configure","configure":{"baud":9600}})", ORVI_MINIAPP_MAC, kHomeKey));
    EXPECT_EQ(R"({"baud":9600})", root.read("/data/domivault/data/485Com.config"));
    EXPECT_TRUE(pending_has(R"(publish /host {"cols":["485Config"],"dat":["upgrade"]})"));
    ASSERT_EQ(1u, miniapp_posts().size());
    EXPECT_EQ(app, miniapp_posts()[0]);
    EXPECT_EQ(R"({"t":"485ConfigureAck","r":200})", miniapp_page());
    EXPECT_EQ(-1, send(R"({"t":"485Configure"})", ORVI_MINIAPP_MAC, kHomeKey));
    EXPECT_EQ(1u, miniapp_posts().size());
}

TEST_F(StatusTest, ScenePushGoesOnTheEventBusAndIsAcknowledgedAtOnce) {
    orvi_subdev_ptr app = miniapp();
    ASSERT_EQ(0, send(R"({"t":"sceneSinglepush","oper":0,"type":1,"requestId":"r-1","scene":{"name":"eve"}})",
                      ORVI_MINIAPP_MAC, kHomeKey));
    EXPECT_EQ(R"({"t":"sceneSinglepushRes","res":200})", answer(kHomeKey));
    std::vector<std::string> bus = bus_queued();
    ASSERT_EQ(1u, bus.size());
    EXPECT_EQ(
        std::string(R"({"type":0,"topic":"scene/create/scene","payload":{"mac":")") + kHomeMac +
            R"(","sub":"","mid":")" + product_get_mid_str() +
            R"(","plaintext":{"reqId":"r-1","data":{"name":"eve"}}},"source":"host","cmd":"data","retain":false})",
        bus[0]);
    EXPECT_EQ("r-1", orvi_scene_reply_id());
    EXPECT_EQ(app, orvi_scene_miniapp_record());

    ASSERT_EQ(0, send(R"({"t":"sceneSinglepush","oper":1,"type":0,"requestId":"r-2","scene":{},"sceneid":7})",
                      ORVI_MINIAPP_MAC, kHomeKey));
    bus = bus_queued();
    ASSERT_EQ(1u, bus.size());
    EXPECT_NE(std::string::npos, bus[0].find(R"("topic":"scene/delete/interactive")"));
    EXPECT_NE(std::string::npos, bus[0].find(R"("plaintext":{"reqId":"r-2","sceneId":7})"));
    ASSERT_EQ(0, send(R"({"t":"sceneSinglepush","oper":0,"type":0,"requestId":"r-3","scene":{}})",
                      ORVI_MINIAPP_MAC, kHomeKey));
    // Each answer subscription starts once, on its first request.
    EXPECT_EQ(1, pending_count("start_subscribe_scene_create_resp_service"));
    EXPECT_EQ(1, pending_count("start_subscribe_scene_delete_resp_service"));
    bus_queued();

    // Refused: a request id longer than 30, another oper or type, another sender.
    for (
        const char *bad :
        {R"({"t":"sceneSinglepush","oper":0,"type":1,"requestId":"0123456789012345678901234567890","scene":{}})",
         R"({"t":"sceneSinglepush","oper":2,"type":1,"requestId":"r","scene":{}})",
         R"({"t":"sceneSinglepush","oper":0,"type":2,"requestId":"r","scene":{}})",
         R"({"t":"sceneSinglepush","oper":0,"type":1,"scene":{}})"}) {
        EXPECT_EQ(-1, send(bad, ORVI_MINIAPP_MAC, kHomeKey)) << bad;
    }
    EXPECT_EQ("r-3", orvi_scene_reply_id());
    device(kDev, DEV_TYPE_UDP);
    EXPECT_EQ(-1, send(R"({"t":"sceneSinglepush","oper":0,"type":1,"requestId":"r-9","scene":{}})"));
    EXPECT_TRUE(bus_queued().empty());
}

// A scene answer subscription that could not be started (the scene answers
// are not built, or its thread did not start) is tried again by the next
// request that needs it, and only until it started.
std::atomic<int> g_create_sub_tries{0};

TEST_F(StatusTest, SceneAnswerSubscriptionThatDidNotStartIsTriedAgain) {
    recording_seams_back back;
    static const orvi_scene_rsp_ops_t kFailsOnce = {
        [] { return g_create_sub_tries.fetch_add(1) == 0 ? -1 : 0; }, nullptr, nullptr};
    g_create_sub_tries.store(0);
    orvi_scene_rsp_install(&kFailsOnce);
    miniapp();
    for (const char *id : {"r-1", "r-2", "r-3"}) {
        const std::string push = std::string(R"({"t":"sceneSinglepush","oper":0,"type":0,"requestId":")") +
                                 id + R"(","scene":{}})";
        ASSERT_EQ(0, send(push, ORVI_MINIAPP_MAC, kHomeKey)) << id;
    }
    EXPECT_EQ(2, g_create_sub_tries.load());
    EXPECT_EQ(3u, bus_queued().size());  // every request still went to the scene service
}

TEST_F(StatusTest, SceneCheckIsPublishedOnTheEventBus) {
    miniapp();
    EXPECT_EQ(-1, send(R"({"t":"CheckSceneExe","reqId":"q1"})", ORVI_MINIAPP_MAC, kHomeKey));
    EXPECT_TRUE(bus_queued().empty());
    EXPECT_EQ(1, pending_count("start_subscribe_scene_check_rsp"));  // started by the first packet
    send(R"({"t":"CheckSceneExe","reqId":"q2","sceneId":12})", ORVI_MINIAPP_MAC, kHomeKey);
    std::vector<std::string> bus = bus_queued();
    ASSERT_EQ(1u, bus.size());
    EXPECT_NE(std::string::npos, bus[0].find(R"("topic":"scene/checkExe")"));
    EXPECT_NE(std::string::npos, bus[0].find(R"("plaintext":{"reqId":"q2","sceneId":12})"));
    EXPECT_EQ(1, pending_count("start_subscribe_scene_check_rsp"));
}

TEST_F(StatusTest, UpDownSettingsGoToEachDeviceAndARepeatIsIgnored) {
    miniapp();
    device(kDev, DEV_TYPE_TOVRA, "x", 1, "", kDevKey);
    const std::string req =
        R"({"t":"updownFlag","requestId":"u1","config":[{"sub":"a1b2c3d4e5f6","reqId":"e1","flag":1},)"
        R"({"sub":"0f0f0f0f0f0f","flag":0},{"flag":2},{"sub":"a/b","flag":0}]})";
    EXPECT_EQ(-1, send(req, ORVI_MINIAPP_MAC, kHomeKey));  // answered through the retried channel
    EXPECT_EQ(
        R"({"t":"updownFlagRes","r":[{"mac":"a1b2c3d4e5f6","r":200,"reqId":"e1"},{"mac":"0f0f0f0f0f0f","r":404,"reqId":"u1"},)"
        R"({"mac":"a/b","r":404,"reqId":"u1"}]})",
        miniapp_page());
    std::vector<local_pub_msg_t> q = mqtt_queued();
    ASSERT_EQ(1u, q.size());
    EXPECT_EQ(std::string("/jsonRequest/") + kHomeMac + "/" + kDev, q[0].topic);
    EXPECT_EQ(kDev, member_str(q[0].payload, "tcid"));
    EXPECT_EQ(kHostMac, member_str(q[0].payload, "cid"));
    std::string body = member_str(q[0].payload, "pack");
    ASSERT_EQ(0, orvi_aes_decrypt(kDevKey, body));
    EXPECT_EQ(R"({"sub":"a1b2c3d4e5f6","reqId":"e1","flag":1})"
              "\n",
              body);

    // The same request id again: ignored. A new one is served.
    miniapp_posts_clear();
    EXPECT_EQ(-1, send(req, ORVI_MINIAPP_MAC, kHomeKey));
    EXPECT_TRUE(miniapp_posts().empty());
    EXPECT_TRUE(mqtt_queued().empty());
    send(R"({"t":"updownFlag","requestId":"u2","config":[{"sub":"a1b2c3d4e5f6"}]})", ORVI_MINIAPP_MAC,
         kHomeKey);
    EXPECT_EQ(1u, miniapp_posts().size());
    // Refused: no config, a request id over 50 characters.
    miniapp_posts_clear();
    send(R"({"t":"updownFlag","requestId":"u3","config":[]})", ORVI_MINIAPP_MAC, kHomeKey);
    send(R"({"t":"updownFlag","requestId":")" + std::string(51, 'r') +
             R"(","config":[{"sub":"a1b2c3d4e5f6"}]})",
         ORVI_MINIAPP_MAC, kHomeKey);
    EXPECT_TRUE(miniapp_posts().empty());
    // A request id refused for its config can come again with one.
    send(R"({"t":"updownFlag","requestId":"u3","config":[{"sub":"a1b2c3d4e5f6"}]})", ORVI_MINIAPP_MAC,
         kHomeKey);
    EXPECT_EQ(1u, miniapp_posts().size());
}

// ---- Small send functions ----------------------------------------------------------------------------

TEST_F(StatusTest, SmallSendsCountOrSendThePreparedText) {
    orvi_subdev_ptr app = miniapp();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(0, send_named("mulcastTst", nullptr, SOCKET_CONNECT_TYPE_MULTICAST));
        EXPECT_EQ(R"({"t":"mulcastTst","i":)" + std::to_string(i) + "}", answer());
    }
    ASSERT_EQ(0, product_subdev_set_data(app, R"({"t":"sceneSingleSetRes","res":200})"));
    for (const char *name : {"sceneSingleSetRes", "soLoadState"}) {
        ASSERT_EQ(0, send_named(name, app, SOCKET_CONNECT_TYPE_UDP)) << name;
        EXPECT_EQ(R"({"t":"sceneSingleSetRes","res":200})", answer(kHomeKey)) << name;
        EXPECT_EQ(-1,
                  send_named(name, device(kDev, DEV_TYPE_UDP, "90001", 1, "{}"), SOCKET_CONNECT_TYPE_UDP));
    }
}

}  // namespace
