// The named event publishers: thin wrappers that fix a topic and a body,
// the room batch, the self-check report and the delayed online and status
// syncs of line devices.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "event_msg.h"
#include "event_publish.h"
#include "event_publish_core.h"
#include "orvi_aes.h"
#include "orvi_event_post.h"
#include "orvi_field.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_product.h"
#include "orvi_timer.h"
#include "product_subdev.h"

using namespace evpub;

namespace {

std::string field(std::string_view v) {
    return std::string(v);
}

// A copy of `json` as the plaintext of a host message on `topic`.
int host_object_publish(const char *topic, const cJSON *json, int retain) {
    if (!json) {
        ORVI_LOGW("%s: input json is NULL\n", topic);
        return -1;
    }
    cJSON *copy = cJSON_Duplicate(json, 1);
    if (!copy) ORVI_NO_MEM(sizeof(cJSON));
    envelope env;
    env.topic = topic;
    env.retain = retain;
    return send_payload(env, product_get_host_mac_str(), "", product_get_mid_str(), copy);
}

}  // namespace

// ---- Pairs on host topics -------------------------------------------------------

int event_host_publish(const char *cols, const char *dat, int number) {
    return event_type_1_publish("/host", cols, dat, number, nullptr);
}

int event_parameter_publish(const char *cols, const char *dat, int number) {
    return event_type_1_publish("/parameter", cols, dat, number, nullptr);
}

int event_subDevList_publish(const char *cols, const char *dat, int number) {
    return event_type_1_publish("/subDevList", cols, dat, number, nullptr);
}

namespace {

// The service that owns the devices of a type, by its check topic.
const char *check_topic_of(int devtype) {
    switch (devtype) {
        case DEV_TYPE_CAN:
            return "can/check";
        case DEV_TYPE_485:
        case DEV_TYPE_MJGATEWAY:
            return "485/check";
        case DEV_TYPE_TOVRA:
            return "tovra/check";
        case DEV_TYPE_OPGATEWAY:
            return "opGateway/check";
        case DEV_TYPE_OPDEV:
            return "opDevices/check";
        default:
            return nullptr;
    }
}

}  // namespace

int uds_subdev_status_check_publish(int devtype, const char *cols, const char *submac) {
    const char *topic = check_topic_of(devtype);
    if (!topic) {
        ORVI_LOGD("device type %d has no check topic, nothing published\n", devtype);
        return -1;
    }
    return event_type_1_publish(topic, cols, nullptr, 1, submac);
}

int event_host_onlinesub_publish(void) {
    const std::string home = product_get_mac_str();
    std::string joined;
    product_subdev_for_each([&](const orvi_subdev_ptr &dev) {
        struct row {
            std::string mac;
            dev_type_t type;
            uint8_t online;
        };
        const row r = orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) {
            return row{field(orvi_field_view(d.mac)), d.dev_type, d.online};
        });
        if (!r.online || r.mac == home || r.type == DEV_TYPE_NONE || r.type == DEV_TYPE_MINIPRO) return;
        if (!joined.empty()) joined.push_back('|');
        joined += r.mac;
    });
    cJSON *plain = cJSON_CreateString(joined.c_str());
    envelope env;
    env.topic = "/onlineSub";
    return send_payload(env, home, "", product_get_mid_str(), plain);
}

// ---- Rooms ---------------------------------------------------------------------------

int event_room_set_publish(const char *submid, const char *submac, unsigned roomId) {
    if (!submac || !submac[0] || strlen(submac) > EVENT_TOPIC_LEVEL_MAX) {
        ORVI_LOGW("submac is NULL or longer than %d\n", EVENT_TOPIC_LEVEL_MAX);
        return -1;
    }
    cJSON *payload = cJSON_CreateObject();
    if (!payload) ORVI_NO_MEM(sizeof(cJSON));
    cJSON_AddStringToObject(payload, "mac", product_get_mac_str().c_str());
    cJSON_AddStringToObject(payload, "subMac", submac);
    cJSON_AddStringToObject(payload, "mid", submid ? submid : "");
    cJSON_AddNumberToObject(payload, "roomid", roomId);
    envelope env;
    env.topic = "room/set";
    env.tcid = submac;
    return send_body(env, payload);
}

// The room batch below.
orvi::Mutex event_publish_room_batch_mu;

namespace {

// MACs of registered subdevices waiting for their room announcement. Filled
// by the binding handlers, sent by the sync-done series: two threads.
std::vector<std::string> g_room_batch GUARDED_BY(event_publish_room_batch_mu);  // macArray_json

}  // namespace

int event_room_set_delay_publish(const char *submac, int send_now) {
    int rc = 0;
    if (submac && submac[0]) {
        const orvi_subdev_ptr dev = product_get_subdev_form_host(submac);
        if (!dev) {
            ORVI_LOGW("'%.*s' is not a registered subdevice, no room announcement\n", 32, submac);
            rc = -1;
        } else {
            std::string mac(orvi_field_view(dev->mac));  // a stored record's MAC never changes
            orvi::MutexLock lk(event_publish_room_batch_mu);
            if (std::find(g_room_batch.begin(), g_room_batch.end(), mac) == g_room_batch.end()) {
                if (g_room_batch.size() < ORVI_SUBDEV_MAX) {
                    g_room_batch.push_back(std::move(mac));
                } else {
                    ORVI_LOGW("room batch is full, '%s' not added\n", mac.c_str());
                    rc = -1;
                }
            }
        }
    }
    if (send_now != 1) return rc;
    std::vector<std::string> batch;
    {
        orvi::MutexLock lk(event_publish_room_batch_mu);
        batch.swap(g_room_batch);
    }
    if (batch.empty()) {
        ORVI_LOGI("nothing data to send!\n");
        return rc;
    }
    for (const std::string &mac : batch) {
        const orvi_subdev_ptr dev = product_get_subdev_form_host(mac.c_str());
        if (!dev) continue;  // removed since it was collected
        std::string mid;
        unsigned room = 0;
        orvi_subdev_locked(dev, [&](orvi_subdev_list_t &d) {
            mid = field(orvi_field_view(d.mid));
            room = d.roomId;
        });
        if (event_room_set_publish(mid.c_str(), mac.c_str(), room) != 0) rc = -1;
    }
    return rc;
}

namespace {

int room_list_publish(const char *name, const char *roomlist) {
    json_ptr list(roomlist ? cJSON_Parse(roomlist) : nullptr);
    if (!list) {
        ORVI_LOGW("room list is not a JSON document\n");
        return -1;
    }
    const std::string topic = topic2(name, product_get_mac_str(), "home MAC");
    if (topic.empty()) return -1;
    cJSON *plain = cJSON_CreateObject();
    if (!plain) ORVI_NO_MEM(sizeof(cJSON));
    cJSON_AddStringToObject(plain, "t", "roomList");
    cJSON_AddItemToObject(plain, "roomList", list.release());
    return type0_send(topic.c_str(), nullptr, nullptr, plain, 1, false);
}

}  // namespace

int event_roomListInfo_publish(const char *roomlist) {
    return room_list_publish("roominfo", roomlist);
}

int event_roomInfoHttp_publish(const char *roomlist) {
    return room_list_publish("roomInfoHttp", roomlist);
}

int event_update_roomId_publish(const cJSON *json) {
    return host_object_publish("/updateRoomId", json, 0);
}

// ---- Devices and their events -------------------------------------------------------

int event_switch_bind_publish(const cJSON *plain) {
    return host_object_publish("switchBindRes", plain, 0);
}

int event_event_persistent_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev) {
    const orvi_subdev_ptr parent = dev, child = subdev;
    if (!parent || !child) {
        ORVI_LOGW("dev or subdev is NULL\n");
        return -1;
    }
    std::string mac;
    std::deque<std::string> events;
    orvi_subdev_locked(child, [&](orvi_subdev_list_t &d) {
        mac = field(orvi_field_view(d.mac));
        events = d.event_list;
    });
    if (!event_topic_level_ok(mac, "sub-subdevice MAC")) return -1;
    cJSON *names = cJSON_CreateArray();
    if (!names) ORVI_NO_MEM(sizeof(cJSON));
    for (const std::string &e : events)
        cJSON_AddItemToArray(names, cJSON_CreateString(e.c_str()));
    // The host reads these retained lists back at start-up and opens a
    // package by its "cid": labelled with the host MAC, the list is sealed
    // and opened with the same key (the parent's MAC would select the
    // parent's own key there and every stored event would be lost).
    const std::string topic = "store4massage/event/" + mac;
    return type0_send(topic.c_str(), parent, child, names, 1, true);
}

int event_device_event_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev,
                               const cJSON *event) {
    const orvi_subdev_ptr parent = dev, child = subdev;
    if (!child || !event) {
        ORVI_LOGW("subdev or event is NULL\n");
        return -1;
    }
    const std::string topic = topic2("device/event", mac_of(fields_of(child)), "subdevice MAC");
    if (topic.empty()) return -1;
    cJSON *copy = cJSON_Duplicate(event, 1);
    if (!copy) ORVI_NO_MEM(sizeof(cJSON));
    return type0_send(topic.c_str(), parent, child, copy, 1, false);
}

int event_sub_subdev_status_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev) {
    const orvi_subdev_ptr parent = dev, child = subdev;
    if (!parent || !child) {
        ORVI_LOGW("dev or subdev is NULL\n");
        return -1;
    }
    const std::string parent_mac = mac_of(fields_of(parent));
    const orvi_subdev_fields_t f = fields_of(child);
    if (f.data.empty()) {
        ORVI_LOGW("'%s' dev_info->data is NULL!\n", mac_of(f).c_str());
        return -1;
    }
    cJSON *status = cJSON_Parse(f.data.c_str());
    if (!status) {
        ORVI_LOGW("'%s' status is not a JSON document\n", mac_of(f).c_str());
        return -1;
    }
    envelope env;
    env.topic = "lock/status";
    env.cid = parent_mac;
    return send_payload(env, parent_mac, mac_of(f), field(orvi_field_view(f.mid)), status);
}

int event_scene_rsp_publish(const orvi_subdev_ptr &subdev, int failed) {
    const orvi_subdev_ptr keep = subdev;
    if (!keep) {
        ORVI_LOGW("subdev is NULL\n");
        return -1;
    }
    const orvi_subdev_fields_t f = fields_of(keep);
    const size_t len = f.binCmd && !f.binCmd->empty() ? strnlen(f.binCmd->data(), f.binCmd->size()) : 0;
    json_ptr stored(len ? cJSON_Parse(std::string(f.binCmd->data(), len).c_str()) : nullptr);
    const cJSON *reqid = cJSON_GetObjectItemCaseSensitive(stored.get(), "reqId");
    if (!reqid) {
        ORVI_LOGW("'%s' has no stored scene reqId\n", mac_of(f).c_str());
        return -1;
    }
    cJSON *plain = cJSON_CreateObject();
    if (!plain) ORVI_NO_MEM(sizeof(cJSON));
    cJSON_AddItemToObject(plain, "reqId", cJSON_Duplicate(reqid, 1));
    cJSON_AddNumberToObject(plain, "r", failed ? 500 : 200);
    return type0_send("scene/resp", nullptr, keep, plain, 0, false);
}

// ---- Device information ------------------------------------------------------------------

int event_sub_devinfo_publish(const orvi_subdev_ptr &subdev, int newly) {
    return event_type_7_publish(nullptr, subdev, newly, nullptr, 1);
}

int event_virtual_devinfo_publish(const orvi_subdev_ptr &subdev) {
    return event_type_7_publish(nullptr, subdev, 1, nullptr, 0);
}

int event_pub_http_devinfo_publish(const orvi_subdev_ptr &subdev, int newly) {
    const orvi_subdev_ptr keep = subdev;
    if (!keep) {
        ORVI_LOGW("subdev is NULL\n");
        return -1;
    }
    const std::string topic =
        topic3("devInfoHttp", product_get_mac_str(), mac_of(fields_of(keep)), "device MAC");
    if (topic.empty()) return -1;
    return event_type_7_publish(nullptr, keep, newly, topic.c_str(), 1);
}

int event_subsub_devinfo_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev) {
    const orvi_subdev_ptr parent = dev, child = subdev;
    if (!parent || !child) {
        ORVI_LOGW("dev or subdev is NULL\n");
        return -1;
    }
    const std::string topic =
        topic3("devInfoHttp", product_get_mac_str(), mac_of(fields_of(child)), "sub-subdevice MAC");
    if (topic.empty()) return -1;
    return event_type_7_publish(parent, child, 1, topic.c_str(), 1);
}

int event_opDevices_info_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev, int devType,
                                 int newly) {
    const orvi_subdev_ptr parent = dev, child = subdev;
    if (!child) {
        ORVI_LOGW("subdev is NULL\n");
        return -1;
    }
    std::string topic;
    if (devType == DEV_TYPE_OPGATEWAY) {
        topic = "opGateway/subInfo";
    } else if (devType == DEV_TYPE_OPDEV) {
        topic = topic2("opDevices/subInfo", mac_of(fields_of(child)), "device MAC");
        if (topic.empty()) return -1;
    } else {
        ORVI_LOGW("device type %d is not an OP gateway or OP device\n", devType);
        return -1;
    }
    return event_type_7_publish(parent, child, newly, topic.c_str(), 1);
}

int event_syncAckHttp_devListPush_publish(const orvi_subdev_ptr &subdev, int newly) {
    const orvi_subdev_ptr keep = subdev;
    if (!keep) {
        ORVI_LOGW("subdev is NULL\n");
        return -1;
    }
    const std::string topic = topic2("syncAckHttp", mac_of(fields_of(keep)), "device MAC");
    if (topic.empty()) return -1;
    return event_type_7_publish(nullptr, keep, newly, topic.c_str(), 0);
}

int event_syncAckHttp_subdev_info_publish(const orvi_subdev_info_t *info, int newly) {
    if (!info) {
        ORVI_LOGW("devinfo is NULL\n");
        return -1;
    }
    // A short record copied out of a linking list: its texts may fill their
    // fields, so every copy is bounded and an unfitting one refused.
    auto rec = std::make_shared<orvi_subdev_list_t>();
    bool ok = orvi_field_set(rec->mac, orvi_field_view(info->mac)) &&
              orvi_field_set(rec->mid, orvi_field_view(info->mid)) &&
              orvi_field_set(rec->name, orvi_field_view(info->name)) &&
              orvi_field_set(rec->hid, orvi_field_view(info->hid)) &&
              orvi_field_set(rec->key, orvi_field_view(info->key)) &&
              orvi_field_set(rec->ver, orvi_field_view(info->ver)) &&
              orvi_field_set(rec->vender, orvi_field_view(info->vender));
    if (!ok) {
        ORVI_LOGW("linking record does not fit a device record\n");
        return -1;
    }
    rec->macId = info->macId;
    rec->roomId = info->roomId;
    rec->dev_type = info->dev_type;
    rec->online = info->online;
    return event_syncAckHttp_devListPush_publish(rec, newly);
}

int event_syncAckHttp_send(orvi_subdev_info_list_t *list, int selector, int newly) {
    if (!list) {
        ORVI_LOGW("list is NULL\n");
        return -1;
    }
    std::vector<orvi_subdev_info_t> entries;
    {
        orvi::MutexLock lk(list->lock);
        entries = list->list;
    }
    int sent = 0;
    for (const orvi_subdev_info_t &e : entries) {
        const bool match = selector == 0 ? (e.dev_type == DEV_TYPE_CAN || e.dev_type == DEV_TYPE_485)
                                         : e.dev_type == selector;
        if (match && event_syncAckHttp_subdev_info_publish(&e, newly) == 0) ++sent;
    }
    return sent;
}

// ---- Host services -------------------------------------------------------------------------

int event_soUpdateRes_publish(int res) {
    cJSON *plain = cJSON_CreateObject();
    if (!plain) ORVI_NO_MEM(sizeof(cJSON));
    cJSON_AddNumberToObject(plain, "r", res);
    return type0_send("soUpdateRes", nullptr, nullptr, plain, 0, false);
}

int publish_cbackup_restart_event(void) {
    cJSON *plain = cJSON_CreateObject();
    cJSON *backup = cJSON_CreateObject();
    cJSON *restart = cJSON_CreateObject();
    cJSON *info = cJSON_CreateObject();
    if (!plain || !backup || !restart || !info) ORVI_NO_MEM(sizeof(cJSON));
    cJSON_AddStringToObject(plain, "t", "appInfo");
    cJSON_AddNumberToObject(backup, "cloud_backup_sw", product_get_cloud_backup_sw());
    cJSON_AddStringToObject(backup, "cloud_backup_time", product_get_cloud_backup_time().c_str());
    cJSON_AddItemToObject(plain, "cloudBackup", backup);
    cJSON_AddNumberToObject(restart, "restart_timer_sw", product_get_restart_sw());
    cJSON_AddNumberToObject(info, "restart_month", product_get_restart_time_info("month"));
    cJSON_AddNumberToObject(info, "restart_day", product_get_restart_time_info("day"));
    cJSON_AddNumberToObject(info, "restart_hour", product_get_restart_time_info("hour"));
    cJSON_AddNumberToObject(info, "restart_min", product_get_restart_time_info("minutes"));
    cJSON_AddNumberToObject(info, "restart_interval", product_get_restart_interval());
    cJSON_AddItemToObject(restart, "restart_timer_info", info);
    cJSON_AddItemToObject(plain, "restart", restart);
    envelope env;
    env.topic = "/appInsInfo";
    env.retain = 1;
    return send_payload(env, product_get_host_mac_str(), "", product_get_mid_str(), plain);
}

int publish_groupCtrl_event(const cJSON *cmd) {
    return host_object_publish("/GroupCtrl", cmd, 0);
}

int cloud_backup_result(int r, long fileId) {
    cJSON *plain = cJSON_CreateObject();
    if (!plain) ORVI_NO_MEM(sizeof(cJSON));
    cJSON_AddNumberToObject(plain, "r", r);
    cJSON_AddNumberToObject(plain, "fileId", static_cast<double>(fileId));
    cJSON_AddStringToObject(plain, "t", "cloudReplaceRes");
    envelope env;
    env.topic = "restore/cloud/result";
    return send_payload(env, product_get_host_mac_str(), "", product_get_mid_str(), plain);
}

int event_hbok_publish(const orvi_subdev_ptr &subdev) {
    const orvi_subdev_ptr keep = subdev;
    if (!keep) {
        ORVI_LOGW("subdev is NULL\n");
        return -1;
    }
    const orvi_subdev_fields_t f = fields_of(keep);
    const std::string mac = mac_of(f), key(orvi_field_view(f.key));
    if (key.size() < 16) {
        ORVI_LOGW("'%s' device key is shorter than 16 characters, no hbok\n", mac.c_str());
        return -1;
    }
    envelope env;
    env.topic = topic3("/hbok", product_get_mac_str(), mac, "device MAC");
    if (env.topic.empty()) return -1;
    env.tcid = mac;
    env.i = 2;
    std::string body = "{\"t\":\"hbok\"}";
    if (orvi_aes_encrypt(key.c_str(), body) != 0) {
        ORVI_LOGW("'%s' hbok encrypt fail\n", mac.c_str());
        return -1;
    }
    return send_text(env, body);
}

int event_mqtt_connect_publish(int connected) {
    cJSON *cols = cJSON_CreateArray(), *dat = cJSON_CreateArray();
    if (cols) cJSON_AddItemToArray(cols, cJSON_CreateString("connect"));
    if (dat) cJSON_AddItemToArray(dat, cJSON_CreateNumber(connected ? 1 : 0));
    const std::string home = product_get_mac_str();
    envelope env;
    env.topic = "mqtt/connect";
    env.tcid = home;
    return send_payload(env, home, "", product_get_mid_str(), event_msg_plaintext_aseemble(cols, dat));
}

int event_mqtt_domain_publish(const char *domain) {
    if (!domain || !domain[0]) {
        ORVI_LOGW("mqtt domain is NULL\n");
        return -1;
    }
    cJSON *cols = cJSON_CreateArray(), *dat = cJSON_CreateArray();
    if (cols) cJSON_AddItemToArray(cols, cJSON_CreateString("domain-mqtt"));
    if (dat) cJSON_AddItemToArray(dat, cJSON_CreateString(domain));
    envelope env;
    env.topic = "/parameter";
    return send_payload(env, product_get_mac_str(), "", product_get_mid_str(),
                        event_msg_plaintext_aseemble(cols, dat));
}

// ---- Self-check report ---------------------------------------------------------------------

namespace {

bool is_checked_type(dev_type_t t) {
    return t != DEV_TYPE_MINIPRO && t != DEV_TYPE_NONE && t != DEV_TYPE_CENTCTRL && t != DEV_TYPE_HOST;
}

}  // namespace

int event_failDevHttp_publish(int kind, const char *requestId, const cJSON *failDev) {
    if (kind != 0 && kind != 1) {
        ORVI_LOGW("check report kind %d is unknown\n", kind);
        return -1;
    }
    json_ptr online(cJSON_CreateArray()), offline(cJSON_CreateArray()), failed(cJSON_CreateArray());
    if (!online || !offline || !failed) ORVI_NO_MEM(sizeof(cJSON));
    if (kind == 1 && failDev) {
        failed.reset(cJSON_Duplicate(failDev, 1));
    } else {
        product_subdev_for_each([&](const orvi_subdev_ptr &dev) {
            const orvi_subdev_fields_t f = fields_of(dev);
            if (!is_checked_type(f.dev_type)) return;
            cJSON *mac = cJSON_CreateString(mac_of(f).c_str());
            if (kind == 0) {
                cJSON_AddItemToArray(f.online ? online.get() : offline.get(), mac);
            } else if (get_dev_pow_status(f.data.c_str()) != 1) {
                cJSON_AddItemToArray(failed.get(), mac);
            } else {
                cJSON_Delete(mac);
            }
        });
    }
    cJSON *plain = cJSON_CreateObject();
    if (!plain) ORVI_NO_MEM(sizeof(cJSON));
    cJSON_AddStringToObject(plain, "t", "CheckRes");
    if (kind == 0) {
        cJSON_AddItemToObject(plain, "online", online.release());
        cJSON_AddItemToObject(plain, "offline", offline.release());
    } else {
        cJSON_AddItemToObject(plain, "failDev", failed.release());
    }
    cJSON_AddStringToObject(plain, "requestId", requestId ? requestId : "");
    envelope env;
    env.topic = "checkDevAckHttp";
    return send_payload(env, product_get_host_mac_str(), "", product_get_mid_str(), plain);
}

// ---- Delayed syncs of line devices ------------------------------------------------------------

namespace {

std::atomic<event_publish_post_t> g_post{nullptr};

// One delay: a single shared type slot and one timer, created on first use
// and restarted afterwards; a later call replaces the type.
struct sync_delay_t {
    sync_delay_t(const char *n, orvi_event_loop_t e) : name(n), event(e) {}
    const char *const name;
    const orvi_event_loop_t event;
    std::atomic<int> type{0};
    orvi::Mutex mu ACQUIRED_AFTER(ORVI_LOCKS_HANDLERS);  // held while it drives its timer
    orvi_timer_t id GUARDED_BY(mu) = -1;
};
sync_delay_t g_online_sync{"t_dev_online_check", ORVI_EVENT_ONLINE_SYNC};
sync_delay_t g_status_sync{"t_dev_status_check", ORVI_EVENT_STATUS_SYNC};

// Runs on the timer tick: only posts, the publishing runs on the event loop.
void sync_delay_expired(void *ctx) {
    auto *s = static_cast<sync_delay_t *>(ctx);
    event_publish_post_t post = g_post.load();
    const int type = s->type.load();
    if ((post ? post : orvi_event_post_value)(s->event, type) != 0) {
        ORVI_LOGW("%s: post event %u fail\n", s->name, static_cast<unsigned>(s->event));
    }
}

int sync_delay_arm(sync_delay_t &s, unsigned ms, int type) {
    orvi::MutexLock lk(s.mu);
    s.type.store(type);
    if (s.id >= 0 && orvi_timer_get_state(s.id) >= 0) {
        const long period = orvi_timer_get_period(s.id);
        return period == static_cast<long>(ms) ? orvi_timer_start(s.id) : orvi_timer_change(s.id, ms);
    }
    s.id = orvi_timer_create(s.name, sync_delay_expired, static_cast<long>(ms), &s, 0);
    if (s.id < 0) {
        ORVI_LOGW("%s timer create fail\n", s.name);
        return -1;
    }
    return 0;
}

void sync_delay_forget(sync_delay_t &s) {
    orvi::MutexLock lk(s.mu);
    s.id = -1;
    s.type.store(0);
}

// Asks the owning services of `type` (type 51: CAN, then RS-485) for
// `cols` of all their devices. -1 when nothing was published.
int sync_check_publish(int type, const char *cols) {
    if (type == DEV_TYPE_GROUP_CAN_485) {
        const int can = uds_subdev_status_check_publish(DEV_TYPE_CAN, cols, "0");
        const int d485 = uds_subdev_status_check_publish(DEV_TYPE_485, cols, "0");
        return can == 0 && d485 == 0 ? 0 : -1;
    }
    if (type < 0 || type >= DEV_TYPE_MAX) {
        ORVI_LOGD("device type %d has no sync, nothing published\n", type);
        return -1;
    }
    return uds_subdev_status_check_publish(type, cols, "0");
}

}  // namespace

int sub_dev_online_sync_delay(unsigned ms, int type) {
    return sync_delay_arm(g_online_sync, ms, type);
}

int sub_dev_status_sync_delay(unsigned ms, int type) {
    return sync_delay_arm(g_status_sync, ms, type);
}

int sub_dev_online_sync_again(int type) {
    const int rc = sync_check_publish(type, "online");
    if (type == DEV_TYPE_GROUP_CAN_485 || (type >= 0 && type < DEV_TYPE_MAX)) {
        if (sub_dev_status_sync_delay(5000, type) != 0) ORVI_LOGW("status sync of type %d not armed\n", type);
    }
    return rc;
}

int sub_dev_status_sync_again(int type) {
    return sync_check_publish(type, "status");
}

void event_publish_set_post(event_publish_post_t post) {
    g_post.store(post);
}

// Test entry, declared in tests/support/orvi_testing.h; the daemon never calls it.
void event_publish_reset_for_test(void) {
    sync_delay_forget(g_online_sync);
    sync_delay_forget(g_status_sync);
    orvi::MutexLock lk(event_publish_room_batch_mu);
    g_room_batch.clear();
}
