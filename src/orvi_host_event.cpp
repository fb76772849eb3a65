// Event contexts are owned by the event: each handler takes its context over
// on entry and frees it on every path, so no record or text is leaked or
// used after another thread freed it. A record in a context is a shared
// reference: a delete from the registry cannot free it under the handler.
#include "orvi_host_event.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "event_publish.h"
#include "local_mqtt.h"
#include "orvi_backup.h"
#include "orvi_event_topics.h"
#include "orvi_field.h"
#include "orvi_json.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_request.h"
#include "orvi_run_info.h"
#include "orvi_status_handlers.h"
#include "orvi_system.h"
#include "tovra_service.h"

orvi::Mutex orvi_host_event_upload_mu;  // the debounced connection upload

namespace {

constexpr long kScanPeriodMs = 50000;
constexpr long kConnectUploadDelayMs = 2000;
constexpr int kConnectUploadBurst = 20;
constexpr long kSyncDoneSends = 10;
constexpr unsigned kHostStatusFirstCheckMs = 10000;
constexpr unsigned kHostStatusCompareMs = 30000;

using Ctx = orvi_event_ctx_ptr;

using Json = orvi_json::json_ptr;

std::atomic<bool> g_first_host_status_sent{false};

// The debounced connection upload.
orvi_timer_t g_upload_timer GUARDED_BY(orvi_host_event_upload_mu) = -1;
int g_upload_count GUARDED_BY(orvi_host_event_upload_mu) = 0;

// Queues the send packet `name` with the event's context.
int send_named(const char *name, connect_type_t conn, const Ctx &c) {
    request_ctx_t rc;
    if (c) {
        rc.dev = c->dev;
        rc.has_text = !c->text.empty();
        rc.text = c->text;
        rc.value = c->value;
    }
    if (orvi_send_packet(name, conn, rc) != 0) {
        ORVI_LOGW("orvi_send_packet '%s' is fail!", name);
        return -1;
    }
    return 0;
}

// The context's text, or null (logged) when the event carries none.
const std::string *text_of(const Ctx &c, orvi_event_loop_t event) {
    if (c && !c->text.empty()) return &c->text;
    ORVI_LOGW("event %d carries no text, dropped", static_cast<int>(event));
    return nullptr;
}

// True while `dev` is the record the registry holds.
bool registry_holds(const orvi_subdev_ptr &dev) {
    for (const orvi_subdev_ptr &p : product_subdev_list_snapshot())
        if (p == dev) return true;
    return false;
}

// The sync-done series. Its count travels in the context, so two series
// (two device-list pushes close together) never share or reset each
// other's count, and a series whose repost failed leaves nothing behind.
int sync_done_step(Ctx c) {
    if (!c) c = orvi_event_ctx_new();
    if (c->dev && !registry_holds(c->dev)) {
        ORVI_LOGW("'%s' is no longer registered, syncDone series ended", c->dev->mac);
        return -1;
    }
    if (c->value <= 0) {
        c->value = 0;
        tovra_all_refresh_list();
        event_room_set_delay_publish(nullptr, 1);
        event_subDevList_publish("subDevList", "upgrade", -1);
    }
    c->value++;
    ORVI_LOGI("send syncDone packet.");
    int rc = send_named("syncDone", SOCKET_CONNECT_TYPE_UDP, c);
    if (c->value >= kSyncDoneSends) return rc;
    if (orvi_event_post_ctx(ORVI_EVENT_SYNCDONE, std::move(c), 0) != 0) {
        ORVI_LOGW("syncDone series cut short: the event loop refused the next step");
        return -1;
    }
    return rc;
}

int host_status_report(long state) {
    if (state == 0) {
        ORVI_LOGW("The mqtt server is disconnected!");
        return -1;
    }
    if (state == 2) {
        ORVI_LOGW("The mqtt server is connected.");
        orvi_event_loop_send(ORVI_EVENT_CONNECT_UPLOAD, nullptr);
        mqtt_upload_all_devices_status_thread();
    }
    set_host_run_info();
    int rc = update_host_mqtt_status(product_get_restore_download(), 0);
    if (update_homeHost_mqtt_status() != 0) rc = -1;
    g_first_host_status_sent.store(true);
    return rc;
}

// {"opt": [names], "p": [values]}, the two arrays in step.
class StatusDoc {
  public:
    StatusDoc() : root_(cJSON_CreateObject()) {
        if (!root_) ORVI_NO_MEM(sizeof(cJSON));
        opt_ = cJSON_AddArrayToObject(root_.get(), "opt");
        p_ = cJSON_AddArrayToObject(root_.get(), "p");
        if (!opt_ || !p_) ORVI_NO_MEM(sizeof(cJSON));
    }
    void add(const char *name, cJSON *value) {
        if (!value) ORVI_NO_MEM(sizeof(cJSON));
        cJSON_AddItemToArray(opt_, cJSON_CreateString(name));
        cJSON_AddItemToArray(p_, value);
    }
    void str(const char *name, const std::string &v) { add(name, cJSON_CreateString(v.c_str())); }
    void num(const char *name, double v) { add(name, cJSON_CreateNumber(v)); }
    // The pairs both documents start with.
    void common(const std::string &mid) {
        str("mac", product_get_mac_str());
        str("hid", product_get_hid());
        str("ver", product_get_protocol_ver());
        str("mid", mid);
        str("vender", product_get_version());
        num("active", product_get_active_status());
        num("scenelock", uds_scene_lock_get());
        num("BindResult", uds_bind_result_get());
        if (cJSON *tokens = uds_gateway_tokens_get()) add("opToken", tokens);
    }
    std::string text() const {
        char *s = cJSON_PrintUnformatted(root_.get());
        if (!s) ORVI_NO_MEM(1024);
        std::string out(s);
        cJSON_free(s);
        return out;
    }

  private:
    Json root_;
    cJSON *opt_ = nullptr;
    cJSON *p_ = nullptr;
};

std::string host_status_document(int restore_download, int add_restore_id) {
    StatusDoc d;
    d.common(product_get_mid_str());
    std::string ip = get_host_ip_info();
    while (!ip.empty() && (ip.back() == '\n' || ip.back() == '\r'))
        ip.pop_back();
    d.str("ipv4", ip);
    d.str("soVer", get_host_sover_info());
    d.num("can", get_host_can_info());
    d.num("unit", get_host_485_info());
    d.num("net", get_host_net_info());
    d.num("systemStatus", get_host_systemStatus_info());
    d.num("cloud_backup_sw", product_get_cloud_backup_sw());
    d.str("cloud_backup_time", product_get_cloud_backup_time());
    d.num("restart_timer_sw", product_get_restart_sw());
    char when[64];
    snprintf(when, sizeof when, "%d月%d日%d时%d分", product_get_restart_time_info("month"),
             product_get_restart_time_info("day"), product_get_restart_time_info("hour"),
             product_get_restart_time_info("minutes"));
    d.str("restart_timer_time", when);
    d.str("restart_interval", std::to_string(product_get_restart_interval()));
    d.num("restore_download", restore_download);
    if (add_restore_id) d.num("restore_id", static_cast<double>(get_restore_file_id()));
    return d.text();
}

std::string homeHost_status_document() {
    StatusDoc d;
    d.common(product_get_homeHost_mid_str());
    return d.text();
}

// Publishes a status document for `mac` with a temporary record.
int publish_status(const std::string &mac, const std::string &doc) {
    ORVI_LOGW("dev_info.data -> %s", doc.c_str());
    auto rec = std::make_shared<orvi_subdev_list_t>();
    rec->dev_type = DEV_TYPE_HOST;
    if (!orvi_field_set(rec->mac, mac) || !orvi_field_set(rec->key, product_get_home_key())) {
        ORVI_LOGW("'%s' host status not published: identity field too long", mac.c_str());
        return -1;
    }
    if (product_subdev_set_data(rec, doc) != 0) {
        ORVI_LOGW("'%s' host status not published: document of %zu bytes too long", mac.c_str(), doc.size());
        return -1;
    }
    if (even_dev_ctrl_publish(rec, UDS_TYPE_STATUS_MQTT) != 0) {
        ORVI_LOGW("'%s' even_dev_ctrl_publish is fail!", mac.c_str());
        return -1;
    }
    ORVI_LOGI("'%s' even_dev_ctrl_publish is ok.", mac.c_str());
    return 0;
}

void scan_timeout_cb(void *) {
    orvi_event_loop_send(ORVI_EVENT_SCAN, nullptr);
}

void connect_upload_cb(void *) {
    orvi_send_udpdev_connect(nullptr, nullptr);
}

bool hb_watched_type(dev_type_t t) {
    return t == DEV_TYPE_UDP || t == DEV_TYPE_PWRGATEWAY || t == DEV_TYPE_WIFI || t == DEV_TYPE_GATEWAY ||
           t == DEV_TYPE_CENTCTRL;
}

void *update_host_jsonstatus_timer(void *) {
    unsigned wait_ms = kHostStatusFirstCheckMs;
    for (;;) {
        orvi_port_sleep_ms(wait_ms);
        wait_ms = update_host_jsonstatus_timer_cycle();
    }
    return nullptr;
}

}  // namespace

// ---- The handler -------------------------------------------------------------

int orvi_event_loop_cb(orvi_event_loop_t event, void *ctx) {
    Ctx c(static_cast<orvi_event_ctx_t *>(ctx));
    ORVI_LOGI("event_loop_cb, event: %d", static_cast<int>(event));
    switch (event) {
        case ORVI_EVENT_SCAN:
            ORVI_LOGI("boardcast scan packet.");
            return send_named("scan", SOCKET_CONNECT_TYPE_BROADCAST, c);
        case ORVI_EVENT_SYNCDEV:
            ORVI_LOGI("send syncDev packet.");
            return send_named("syncDev", SOCKET_CONNECT_TYPE_UDP, c);
        case ORVI_EVENT_JSONSTATUS:
            ORVI_LOGI("send jsonStatus packet.");
            return send_named("jsonStatus", SOCKET_CONNECT_TYPE_MULTICAST, c);
        case ORVI_EVENT_BINCMD: {
            ORVI_LOGI("send binCmd packet.");
            const bool tcp =
                c && c->dev && orvi_subdev_snapshot(c->dev).dev_socket.type == SOCKET_CONNECT_TYPE_TCP;
            return send_named("binCmd", tcp ? SOCKET_CONNECT_TYPE_TCP : SOCKET_CONNECT_TYPE_UDP, c);
        }
        case ORVI_EVENT_DEVINFO:
            ORVI_LOGI("publish devinfo packet.");
            if (!c || !c->dev) {
                ORVI_LOGW("event %d carries no record, dropped", static_cast<int>(event));
                return -1;
            }
            if (event_sub_devinfo_publish(c->dev, 0) != 0) return -1;
            ORVI_LOGI("event_sub_devinfo_publish is ok.");
            return 0;
        case ORVI_EVENT_SYNCDONE:
            return sync_done_step(std::move(c));
        case ORVI_EVENT_HOST_STATUS:
            return host_status_report(c ? c->value : 0);
        case ORVI_EVENT_MINIAPP_RES:
            ORVI_LOGI("send miniApp response packet.");
            return send_named("miniAppRes", SOCKET_CONNECT_TYPE_UDP, c);
        case ORVI_EVENT_JSONSTATUS_MQTT:
            ORVI_LOGI("send jsonStatus_mqtt packet.");
            return send_named("jsonStatus_mqtt", SOCKET_CONNECT_TYPE_MQTT, c);
        case ORVI_EVENT_ROOMLIST: {
            ORVI_LOGI("publish roomlist packet.");
            const std::string *text = text_of(c, event);
            if (!text || event_roomListInfo_publish(text->c_str()) != 0) return -1;
            ORVI_LOGI("event_roomListInfo_publish is ok. ");
            return 0;
        }
        case ORVI_EVENT_TIMER_BROADCAST: {
            ORVI_LOGI("send timer broadcast");
            const std::string *text = text_of(c, event);
            return text && even_dev_ctrl_publish_text(text->c_str(), UDS_TYPE_TIMER_BROACSAST) == 0 ? 0 : -1;
        }
        case ORVI_EVENT_TIMER_INFO: {
            ORVI_LOGI("send timer timer info");
            const std::string *text = text_of(c, event);
            return text && even_dev_ctrl_publish_text(text->c_str(), UDS_TYPE_TIMERINFO) == 0 ? 0 : -1;
        }
        case ORVI_EVENT_CONNECT_UPLOAD:
            ORVI_LOGI("the device connect status upload.");
            return orvi_send_udpdev_connect(nullptr, nullptr);
        case ORVI_EVENT_MATCH_TIMEOUT:
            matching_timeout_handler();
            return 0;
        case ORVI_EVENT_STATUS_SYNC:
            return sub_dev_status_sync_again(c ? static_cast<int>(c->value) : 0);
        case ORVI_EVENT_ONLINE_SYNC:
            return sub_dev_online_sync_again(c ? static_cast<int>(c->value) : 0);
        case ORVI_EVENT_DEVINFO_DELETE: {
            ORVI_LOGI("publish http_Deldevinfo packet.");
            const std::string *mac = text_of(c, event);
            if (!mac) return -1;
            const std::string topic = "devInfoHttp/" + product_get_mac_str() + "/" + *mac;
            return delete_mqtt_retain(topic.c_str()) == 0 ? 0 : -1;
        }
        case ORVI_EVENT_ROOMINFO_HTTP: {
            ORVI_LOGI("publish http_room_info packet.");
            const std::string *text = text_of(c, event);
            if (!text || event_roomInfoHttp_publish(text->c_str()) != 0) return -1;
            ORVI_LOGI("event_roomInfoHttp_publish is ok. ");
            return 0;
        }
        default:
            return 0;
    }
}

// ---- Timers -------------------------------------------------------------------

int scan_period_timer_start(void) {
    if (orvi_timer_create("scan_timeout", scan_timeout_cb, kScanPeriodMs, nullptr, 1) < 0) {
        ORVI_LOGW("scan_timeout timer is fail!");
        return -1;
    }
    return 0;
}

int orvi_hb_timeout_check(void) {
    return orvi_hb_timeout_check(orvi_get_ticks());
}

int orvi_hb_timeout_check(orvi_ticktype_t now) {
    ORVI_LOGI("currticks -> %ld", static_cast<long>(now));
    int changed = 0;
    for (const orvi_subdev_ptr &dev : product_subdev_list_snapshot()) {
        if (!dev) continue;
        changed += orvi_subdev_locked(dev, [now](orvi_subdev_list_t &d) {
            if (!hb_watched_type(d.dev_type) || d.hb_ticks == ULONG_MAX) return 0;
            // A stamp ahead of the clock counts as just heard.
            const orvi_ticktype_t hb = d.hb_ticks;
            const bool fresh = hb >= now || now - hb < ORVI_HB_TIMEOUT_TICKS;
            if (fresh && !d.online) {
                d.online = 1;
                return 1;
            }
            if (!fresh && d.online) {
                ORVI_LOGW("dev '%s' is hb timeout, set off-line!", d.mac);
                d.online = 0;
                return 1;
            }
            return 0;
        });
    }
    if (changed) orvi_event_loop_send(ORVI_EVENT_CONNECT_UPLOAD, nullptr);
    return changed;
}

void orvi_hb_timeout_cb(void *) {
    orvi_hb_timeout_check();
}

void orvi_connect_upload_delay(void) {
    bool send_now = false;
    {
        orvi::MutexLock lk(orvi_host_event_upload_mu);
        if (g_upload_timer < 0) {
            g_upload_timer = orvi_timer_create("connect_upload_delay", connect_upload_cb,
                                               kConnectUploadDelayMs, nullptr, 0);
            if (g_upload_timer < 0) {
                ORVI_LOGW("connect_upload_delay timer is fail!");
                return;
            }
            g_upload_count = 1;
            return;
        }
        // Every change of one burst counts, its first included, so the
        // twentieth change of a burst uploads at once.
        if (orvi_timer_get_state(g_upload_timer) == TIMER_START) {
            if (++g_upload_count >= kConnectUploadBurst) {
                send_now = true;
                g_upload_count = 0;
            }
        } else {
            g_upload_count = 1;
        }
        orvi_timer_start(g_upload_timer);
    }
    if (send_now) orvi_send_udpdev_connect(nullptr, nullptr);
}

int orvi_send_udpdev_connect(const cJSON *online, const cJSON *offline) {
    Json root(cJSON_CreateObject());
    if (!root) ORVI_NO_MEM(sizeof(cJSON));
    cJSON_AddStringToObject(root.get(), "t", "connect");
    cJSON_AddItemToObject(root.get(), "onlineSub", online ? cJSON_Duplicate(online, 1) : cJSON_CreateArray());
    cJSON_AddItemToObject(root.get(), "offlineSub",
                          offline ? cJSON_Duplicate(offline, 1) : cJSON_CreateArray());
    char *text = cJSON_PrintUnformatted(root.get());
    if (!text) ORVI_NO_MEM(1024);
    request_type_t req;
    req.data_type = DATA_TYPE_NEED_PARSE;
    req.data = text;
    cJSON_free(text);
    req.sockinfo.fd = -1;
    req.sockinfo.type = SOCKET_CONNECT_TYPE_MQTT;
    if (orvi_request_queue_send(&req) != 0) {
        ORVI_LOGW("orvi_request_queue_send is fail!");
        return -1;
    }
    return 0;
}

// ---- Host status -----------------------------------------------------------------

void orvi_host_status_upload_mqtt(void) {
    orvi_event_post_value(ORVI_EVENT_HOST_STATUS, 1);
}

int update_host_mqtt_status(int restore_download, int add_restore_id) {
    return publish_status(product_get_host_mac_str(), host_status_document(restore_download, add_restore_id));
}

int update_homeHost_mqtt_status(void) {
    return publish_status(product_get_mac_str(), homeHost_status_document());
}

std::string orvi_host_status_document(int restore_download, int add_restore_id) {
    return host_status_document(restore_download, add_restore_id);
}

std::string orvi_homeHost_status_document(void) {
    return homeHost_status_document();
}

bool orvi_host_status_first_sent(void) {
    return g_first_host_status_sent.load();
}

unsigned update_host_jsonstatus_timer_cycle(void) {
    if (!g_first_host_status_sent.load()) return kHostStatusFirstCheckMs;
    if (compare_host_run_info()) {
        ORVI_LOGI("host mqtt jsonstatus will be pushed");
        update_host_mqtt_status(product_get_restore_download(), 0);
    }
    return kHostStatusCompareMs;
}

int update_host_jsonstatus_timer_pthread(void) {
    pthread_t tid;
    if (orvi_pthread_create_detach(&tid, nullptr, update_host_jsonstatus_timer, nullptr,
                                   "update_host_jsonstatus_timer") != 0) {
        ORVI_LOGW("update_host_jsonstatus_timer_pthread create fail!!!");
        return -1;
    }
    ORVI_LOGI("update_host_jsonstatus_timer_pthread create success!!!");
    return 0;
}

int is_socket_closed(int select_result, int read_result) {
    if (select_result > 0 && read_result <= 0) {
        ORVI_LOGW("Error: %s", strerror(errno));
        return 1;
    }
    return 0;
}

// ---- Test entries -------------------------------------------------------------------
// Declared in tests/support/orvi_testing.h; the daemon never calls them.

void orvi_host_event_reset_for_test(void) {
    orvi::MutexLock lk(orvi_host_event_upload_mu);
    g_upload_timer = -1;
    g_upload_count = 0;
    g_first_host_status_sent.store(false);
}
