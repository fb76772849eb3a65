// The host event handler, its timers and the host status documents. Events
// are handed to the handler directly where one event is enough; the real
// event loop runs only where an event posts its follow-ups. Timers are
// driven by the manual tick.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "intake_test_support.h"
#include "orvi_host_event.h"
#include "orvi_status_handlers.h"
#include "orvi_testing.h"
#include "orvi_timer.h"
#include "recording_seams.h"

using namespace intake_test;

namespace {

std::mutex g_mu;
std::condition_variable g_cv;
std::vector<orvi_event_loop_t> g_events;

// Stands in for the host handler where a test only watches what is posted.
int watch_events(orvi_event_loop_t event, void *ctx) {
    delete static_cast<orvi_event_ctx_t *>(ctx);
    std::lock_guard<std::mutex> lk(g_mu);
    g_events.push_back(event);
    g_cv.notify_all();
    return 0;
}

bool wait_event(orvi_event_loop_t event) {
    std::unique_lock<std::mutex> lk(g_mu);
    return g_cv.wait_for(lk, std::chrono::seconds(10), [event] {
        for (orvi_event_loop_t e : g_events)
            if (e == event) return true;
        return false;
    });
}

class HostEventTest : public IntakeFixture {
  protected:
    void SetUp() override {
        IntakeFixture::SetUp();
        orvi_timer_service_stop();
        orvi_host_event_reset_for_test();
        uds_later_pending_set(0, 0, nullptr);
        runinfo_pending_set_changed(0);
        std::lock_guard<std::mutex> lk(g_mu);
        g_events.clear();
    }
    void TearDown() override {
        orvi_event_loop_deinit();
        orvi_timer_service_stop();
        orvi_host_event_reset_for_test();
        uds_later_pending_set(0, 0, nullptr);
        IntakeFixture::TearDown();
    }
    static orvi_event_ctx_t *ctx_dev(const orvi_subdev_ptr &d) {
        auto *c = new orvi_event_ctx_t;
        c->dev = d;
        return c;
    }
    static orvi_event_ctx_t *ctx_text(const std::string &t) {
        auto *c = new orvi_event_ctx_t;
        c->text = t;
        return c;
    }
    static orvi_event_ctx_t *ctx_value(long v) {
        auto *c = new orvi_event_ctx_t;
        c->value = v;
        return c;
    }
    // Requests queued for "connect" uploads.
    static int connect_uploads() {
        int n = 0;
        for (const request_type_t &r : drain_requests())
            if (r.data_type == DATA_TYPE_NEED_PARSE && r.sockinfo.type == SOCKET_CONNECT_TYPE_MQTT &&
                r.data == R"({"t":"connect","onlineSub":[],"offlineSub":[]})")
                ++n;
        return n;
    }
};

// ---- The event table ---------------------------------------------------------

TEST_F(HostEventTest, EventsQueueTheirSendPackets) {
    auto udp = add_dev("a1b2c3d4e5f6", DEV_TYPE_UDP);
    auto tcp = add_dev("a1b2c3d4e5f7", DEV_TYPE_UDP);
    orvi_subdev_locked(tcp, [](orvi_subdev_list_t &d) { d.dev_socket = sock(SOCKET_CONNECT_TYPE_TCP, 5); });
    struct Case {
        orvi_event_loop_t event;
        orvi_subdev_ptr dev;
        const char *name;
        connect_type_t conn;
    } cases[] = {
        {ORVI_EVENT_SCAN, nullptr, "scan", SOCKET_CONNECT_TYPE_BROADCAST},
        {ORVI_EVENT_SYNCDEV, udp, "syncDev", SOCKET_CONNECT_TYPE_UDP},
        {ORVI_EVENT_JSONSTATUS, udp, "jsonStatus", SOCKET_CONNECT_TYPE_MULTICAST},
        {ORVI_EVENT_BINCMD, udp, "binCmd", SOCKET_CONNECT_TYPE_UDP},
        {ORVI_EVENT_BINCMD, tcp, "binCmd", SOCKET_CONNECT_TYPE_TCP},
        {ORVI_EVENT_MINIAPP_RES, udp, "miniAppRes", SOCKET_CONNECT_TYPE_UDP},
        {ORVI_EVENT_JSONSTATUS_MQTT, udp, "jsonStatus_mqtt", SOCKET_CONNECT_TYPE_MQTT},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(0, orvi_event_loop_cb(c.event, c.dev ? ctx_dev(c.dev) : nullptr)) << c.event;
        std::vector<request_type_t> q = drain_requests();
        ASSERT_EQ(1u, q.size()) << c.event;
        EXPECT_EQ(DATA_TYPE_ONLY_SEND, q[0].data_type);
        EXPECT_EQ(c.name, q[0].data);
        EXPECT_EQ(c.conn, q[0].sockinfo.type) << c.event;
        EXPECT_EQ(-1, q[0].sockinfo.fd);
        EXPECT_EQ(c.dev, q[0].ctx.dev) << c.event;
    }

    // 4116: the connection status packet, as a cloud request for the home host.
    EXPECT_EQ(0, orvi_event_loop_cb(ORVI_EVENT_CONNECT_UPLOAD, nullptr));
    EXPECT_EQ(1, connect_uploads());

    // A full or missing queue fails the event.
    orvi_request_queue_delete_for_test();
    EXPECT_EQ(-1, orvi_event_loop_cb(ORVI_EVENT_SCAN, nullptr));
}

TEST_F(HostEventTest, EventsCallTheirPublishers) {
    auto dev = add_dev("a1b2c3d4e5f6", DEV_TYPE_UDP);
    struct Case {
        orvi_event_loop_t event;
        orvi_event_ctx_t *ctx;
        std::string call;
        int rc;
    } cases[] = {
        {ORVI_EVENT_DEVINFO, ctx_dev(dev), std::string("publish devinfo/") + kHomeMac + "/a1b2c3d4e5f6 ", 0},
        {ORVI_EVENT_ROOMLIST, ctx_text("[{\"id\":1}]"),
         std::string("publish roominfo/") + kHomeMac + " {\"t\":\"roomList\",\"roomList\":[{\"id\":1}]}", 0},
        {ORVI_EVENT_TIMER_BROADCAST, ctx_text("{\"t\":\"DeleteTiming\"}"),
         std::string("publish TimerBroadcast/") + kHomeMac + " {\"t\":\"DeleteTiming\"}", 0},
        {ORVI_EVENT_TIMER_INFO, ctx_text("{\"t\":\"TimerInfo\"}"),
         std::string("publish TimerInfo/") + kHomeMac + " {\"t\":\"TimerInfo\"}", 0},
        {ORVI_EVENT_STATUS_SYNC, ctx_value(2), "publish 485/check {\"cols\":[\"status\"],\"dat\":[1]}", 0},
        {ORVI_EVENT_ONLINE_SYNC, ctx_value(1), "publish can/check {\"cols\":[\"online\"],\"dat\":[1]}", 0},
        {ORVI_EVENT_ROOMINFO_HTTP, ctx_text("[]"),
         std::string("publish roomInfoHttp/") + kHomeMac + " {\"t\":\"roomList\",\"roomList\":[]}", 0},
        // Events without what they need are dropped, their context freed.
        {ORVI_EVENT_ROOMLIST, ctx_value(3), "", -1},
        {ORVI_EVENT_DEVINFO_DELETE, nullptr, "", -1},
        {ORVI_EVENT_DEVINFO, ctx_text("x"), "", -1},
        // An unknown event is handled: nothing happens.
        {4200, ctx_text("ignored"), "", 0},
    };
    for (const Case &c : cases) {
        pending_calls_clear();
        EXPECT_EQ(c.rc, orvi_event_loop_cb(c.event, c.ctx)) << c.event;
        std::vector<std::string> calls = pending_calls();
        if (c.call.empty()) {
            EXPECT_TRUE(calls.empty()) << c.event;
        } else {
            ASSERT_EQ(1u, calls.size()) << c.event;
            EXPECT_EQ(c.call, calls[0].substr(0, c.call.size()));
        }
    }
    // 4122 drops the retained device information: an empty retained message
    // queued on the transport.
    local_mqtt_pending_clear();
    EXPECT_EQ(0, orvi_event_loop_cb(ORVI_EVENT_DEVINFO_DELETE, ctx_text("a1b2c3d4e5f6")));
    std::vector<local_pub_msg_t> q = local_mqtt_pending(LOCAL_PUB_LIST_CONTROL);
    ASSERT_EQ(1u, q.size());
    EXPECT_EQ(std::string("devInfoHttp/") + kHomeMac + "/a1b2c3d4e5f6", q[0].topic);
    EXPECT_EQ("", q[0].payload);
    EXPECT_EQ(1, q[0].isretain);
    // A publisher that refuses makes the event fail.
    pending_set_result(-1);
    EXPECT_EQ(-1, orvi_event_loop_cb(ORVI_EVENT_ROOMINFO_HTTP, ctx_text("[]")));
    EXPECT_TRUE(drain_requests().empty());
}

// ---- The sync-done series --------------------------------------------------------

TEST_F(HostEventTest, SyncDoneSeriesSendsTenTimesAndRefreshesOnce) {
    // What the pairing window's expiry (4117) publishes first.
    static const char kWindowClosed[] = "publish /host {\"cols\":[\"matching\"],\"dat\":[\"fail\"]}";
    auto dev = add_dev("a1b2c3d4e5f6", DEV_TYPE_UDP);
    ASSERT_EQ(0, orvi_event_loop_init(orvi_event_loop_cb));
    ASSERT_EQ(0, orvi_event_post_dev(ORVI_EVENT_SYNCDONE, dev));
    int sent = 0;
    for (int i = 0; i < 500 && sent < 10; ++i) {
        for (const request_type_t &r : drain_requests()) {
            EXPECT_EQ("syncDone", r.data);
            EXPECT_EQ(SOCKET_CONNECT_TYPE_UDP, r.sockinfo.type);
            EXPECT_EQ(dev, r.ctx.dev);
            ++sent;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(10, sent);
    // Events are handled in order: once this one is, the series has ended.
    orvi_event_loop_send(ORVI_EVENT_MATCH_TIMEOUT, nullptr);
    for (int i = 0; i < 500 && !pending_has(kWindowClosed); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(drain_requests().empty());
    EXPECT_EQ(1, pending_count("tovra_all_refresh_list"));
    EXPECT_EQ(1, pending_count("publish /subDevList {\"cols\":[\"subDevList\"],\"dat\":[\"upgrade\"]}"));
}

TEST_F(HostEventTest, SyncDoneSeriesStopsForARecordNoLongerRegistered) {
    auto gone = std::make_shared<orvi_subdev_list_t>();
    std::strcpy(gone->mac, "deadbeef0001");
    EXPECT_EQ(-1, orvi_event_loop_cb(ORVI_EVENT_SYNCDONE, ctx_dev(gone)));
    EXPECT_TRUE(drain_requests().empty());
    EXPECT_FALSE(pending_has("tovra_all_refresh_list"));

    // Without a loop to take the next step, the series sends once and its
    // context is freed (the sanitizer would see a leak).
    auto dev = add_dev("a1b2c3d4e5f6", DEV_TYPE_UDP);
    EXPECT_EQ(-1, orvi_event_loop_cb(ORVI_EVENT_SYNCDONE, ctx_dev(dev)));
    EXPECT_EQ(1u, drain_requests().size());
}

// ---- Host status -------------------------------------------------------------------

TEST_F(HostEventTest, HostStatusReportByCloudLinkState) {
    EXPECT_EQ(-1, orvi_event_loop_cb(ORVI_EVENT_HOST_STATUS, ctx_value(0)));
    EXPECT_EQ(-1, orvi_event_loop_cb(ORVI_EVENT_HOST_STATUS, nullptr));
    EXPECT_TRUE(pending_calls().empty());
    EXPECT_FALSE(orvi_host_status_first_sent());

    EXPECT_EQ(0, orvi_event_loop_cb(ORVI_EVENT_HOST_STATUS, ctx_value(1)));
    std::vector<std::string> calls = pending_calls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ("set_host_run_info", calls[0]);
    // The host's document under its own identifier, the home host's alone.
    const std::string host_doc = std::string("publish /jsonStatus/") + kHomeMac + "/" + kHostMac +
                                 " {\"t\":\"dat\",\"cols\":[\"mac\",";
    const std::string home_doc =
        std::string("publish /jsonStatus/") + kHomeMac + " {\"t\":\"dat\",\"cols\":[\"mac\",";
    EXPECT_EQ(host_doc, calls[1].substr(0, host_doc.size()));
    EXPECT_EQ(home_doc, calls[2].substr(0, home_doc.size()));
    EXPECT_TRUE(orvi_host_status_first_sent());

    pending_calls_clear();
    EXPECT_EQ(0, orvi_event_loop_cb(ORVI_EVENT_HOST_STATUS, ctx_value(2)));
    // The upload of every device's status started (its worker is tested with
    // the status handlers); let it end before the registry goes.
    while (mqtt_upload_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(2, pending_count("publish /jsonStatus/"));
}

TEST_F(HostEventTest, HostStatusDocumentsKeepTheirPairOrder) {
    product_set_restart_time("month", 3);
    product_set_restart_time("day", 4);
    product_set_restart_time("hour", 5);
    product_set_restart_time("minutes", 6);
    product_set_restart_interval(7);
    auto names = [](const std::string &doc, const char *arr) {
        std::vector<std::string> out;
        cJSON *j = cJSON_Parse(doc.c_str());
        const cJSON *a = cJSON_GetObjectItem(j, arr);
        for (const cJSON *c = a ? a->child : nullptr; c; c = c->next) {
            if (cJSON_IsString(c)) {
                out.push_back(c->valuestring);
                continue;
            }
            char *s = cJSON_PrintUnformatted(c);
            out.push_back(s);
            cJSON_free(s);
        }
        cJSON_Delete(j);
        return out;
    };
    const std::vector<std::string> host = {"mac",
                                           "hid",
                                           "ver",
                                           "mid",
                                           "vender",
                                           "active",
                                           "scenelock",
                                           "BindResult",
                                           "ipv4",
                                           "soVer",
                                           "can",
                                           "unit",
                                           "net",
                                           "systemStatus",
                                           "cloud_backup_sw",
                                           "cloud_backup_time",
                                           "restart_timer_sw",
                                           "restart_timer_time",
                                           "restart_interval",
                                           "restore_download"};
    std::string doc = orvi_host_status_document(1, 0);
    EXPECT_EQ(host, names(doc, "opt"));
    std::vector<std::string> p = names(doc, "p");
    ASSERT_EQ(host.size(), p.size());
    EXPECT_EQ(kHomeMac, p[0]);
    EXPECT_EQ("3月4日5时6分", p[17]);
    EXPECT_EQ("7", p[18]);
    EXPECT_EQ("1", p[19]);

    std::vector<std::string> with_id = host;
    with_id.push_back("restore_id");
    EXPECT_EQ(with_id, names(orvi_host_status_document(0, 1), "opt"));

    // The gateway tokens, when held, follow "BindResult" in both documents.
    cJSON *tokens = cJSON_Parse(R"({"tk":"abc"})");
    uds_later_pending_set(1, 3, tokens);
    cJSON_Delete(tokens);
    std::vector<std::string> home = {"mac",    "hid",       "ver",        "mid",    "vender",
                                     "active", "scenelock", "BindResult", "opToken"};
    std::string hdoc = orvi_homeHost_status_document();
    EXPECT_EQ(home, names(hdoc, "opt"));
    std::vector<std::string> hp = names(hdoc, "p");
    EXPECT_EQ(ORVI_HOME_HOST_MID_STR, hp[3]);
    EXPECT_EQ("1", hp[6]);
    EXPECT_EQ("3", hp[7]);
    EXPECT_EQ(R"({"tk":"abc"})", hp[8]);
    std::vector<std::string> opt = names(orvi_host_status_document(0, 0), "opt");
    ASSERT_GT(opt.size(), 9u);
    EXPECT_EQ("opToken", opt[8]);
    EXPECT_EQ("ipv4", opt[9]);
    for (const char *k : {"month", "day", "hour", "minutes"})
        product_set_restart_time(k, 0);
    product_set_restart_interval(0);
}

TEST_F(HostEventTest, PeriodicHostStatusWaitsForTheFirstThenPushesChanges) {
    EXPECT_EQ(10000u, update_host_jsonstatus_timer_cycle());
    EXPECT_FALSE(pending_has("compare_host_run_info"));

    orvi_event_loop_cb(ORVI_EVENT_HOST_STATUS, ctx_value(1));
    pending_calls_clear();
    EXPECT_EQ(30000u, update_host_jsonstatus_timer_cycle());
    EXPECT_EQ(std::vector<std::string>{"compare_host_run_info"}, pending_calls());

    runinfo_pending_set_changed(1);
    pending_calls_clear();
    EXPECT_EQ(30000u, update_host_jsonstatus_timer_cycle());
    EXPECT_EQ(1, pending_count(std::string("publish /jsonStatus/") + kHomeMac + "/" + kHostMac));
    runinfo_pending_set_changed(0);
}

// ---- Timers ---------------------------------------------------------------------------

// A subdevice not heard for 90 s goes offline at the next check and the
// connection upload is asked for; one heartbeat later it is back online.
TEST_F(HostEventTest, HeartbeatTimeOut) {
    ASSERT_EQ(0, orvi_event_loop_init(watch_events));
    orvi_ticktype_t now = 100000;
    struct Rec {
        const char *mac;
        dev_type_t type;
        unsigned long hb;
        uint8_t online;
        uint8_t after;
    } recs[] = {
        {"a00000000001", DEV_TYPE_UDP, 100000 - 9001, 1, 0},        // timed out
        {"a00000000002", DEV_TYPE_WIFI, 100000 - 9000, 0, 1},       // heard in time
        {"a00000000003", DEV_TYPE_CENTCTRL, 100000 - 20000, 1, 0},  // timed out
        {"a00000000004", DEV_TYPE_CAN, 0, 1, 1},                    // not watched
        {"a00000000005", DEV_TYPE_PWRGATEWAY, ULONG_MAX, 1, 1},     // never heard
        {"a00000000006", DEV_TYPE_GATEWAY, 100000, 1, 1},           // unchanged
    };
    std::vector<orvi_subdev_ptr> devs;
    for (const Rec &r : recs) {
        devs.push_back(add_dev(r.mac, r.type));
        orvi_subdev_locked(devs.back(), [&](orvi_subdev_list_t &d) {
            d.hb_ticks = r.hb;
            d.online = r.online;
        });
    }
    EXPECT_EQ(3, orvi_hb_timeout_check(now));
    for (size_t i = 0; i < devs.size(); ++i)
        EXPECT_EQ(recs[i].after, orvi_subdev_snapshot(devs[i]).online) << recs[i].mac;
    EXPECT_TRUE(wait_event(ORVI_EVENT_CONNECT_UPLOAD));

    // Nothing changed: nothing posted.
    EXPECT_EQ(0, orvi_hb_timeout_check(now));

    // A heartbeat arrives; the next check brings the device back.
    now += 4600;
    for (int i : {0, 1})
        orvi_subdev_locked(devs[i], [now](orvi_subdev_list_t &d) { d.hb_ticks = now; });
    EXPECT_EQ(1, orvi_hb_timeout_check(now));
    EXPECT_EQ(1, orvi_subdev_snapshot(devs[0]).online);
}

TEST_F(HostEventTest, ScanTimerPostsTheScanEveryFiftySeconds) {
    ASSERT_EQ(0, orvi_event_loop_init(watch_events));
    ASSERT_EQ(0, scan_period_timer_start());
    EXPECT_EQ(-1, scan_period_timer_start());  // one "scan_timeout" only
    for (int i = 0; i < 499; ++i)
        orvi_timer_tick_once();
    {
        std::lock_guard<std::mutex> lk(g_mu);
        EXPECT_TRUE(g_events.empty());
    }
    orvi_timer_tick_once();
    EXPECT_TRUE(wait_event(ORVI_EVENT_SCAN));
}

// Twenty-five changes within 2 s: one upload at the twentieth change, one
// 2 s after the last.
TEST_F(HostEventTest, ConnectionUploadIsDebounced) {
    for (int change = 1; change <= 25; ++change) {
        orvi_connect_upload_delay();
        orvi_timer_tick_once();
        EXPECT_EQ(change == 20 ? 1 : 0, connect_uploads()) << "change " << change;
    }
    for (int i = 0; i < 18; ++i)
        orvi_timer_tick_once();
    EXPECT_EQ(0, connect_uploads());
    orvi_timer_tick_once();
    EXPECT_EQ(1, connect_uploads());

    // Quiet afterwards; a new change starts a new burst.
    for (int i = 0; i < 40; ++i)
        orvi_timer_tick_once();
    EXPECT_EQ(0, connect_uploads());
    orvi_connect_upload_delay();
    for (int i = 0; i < 20; ++i)
        orvi_timer_tick_once();
    EXPECT_EQ(1, connect_uploads());
}

TEST_F(HostEventTest, SocketClosedWhenReadableButEmpty) {
    EXPECT_EQ(1, is_socket_closed(1, 0));
    EXPECT_EQ(1, is_socket_closed(1, -1));
    EXPECT_EQ(0, is_socket_closed(1, 12));
    EXPECT_EQ(0, is_socket_closed(0, 0));
}

}  // namespace
