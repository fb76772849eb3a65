// The handlers of the local event topics. Each takes the topic and the
// decrypted payload P, runs on the event worker and returns 0, or -1 with a
// log line saying what was wrong with the event.
#include "orvi_event_handlers.h"

#include <pthread.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "event_publish.h"
#include "orvi_bincmd.h"
#include "orvi_bind_handlers.h"
#include "orvi_event_post.h"
#include "orvi_field.h"
#include "orvi_flash.h"
#include "orvi_host_event.h"
#include "orvi_json.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_subdev_ctrl.h"
#include "orvi_system.h"
#include "orvi_timer.h"
#include "orvi_timer_app.h"
#include "orvi_transport.h"

using orvi_json::json_ptr;
using orvi_json::print;

namespace {

// A default scene id is room << 16 | n and travels as a signed 32-bit
// number: larger rooms cannot carry default scenes.
constexpr uint32_t kSceneRoomMax = 0x7FFF;
constexpr unsigned kSelfDeleteRebootDelayMs = 7000;
constexpr const char *kOperLog = "/data/domivault/data/system_oper.log";

bool starts_with(const char *text, const char *prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

const cJSON *member(const cJSON *obj, const char *name) {
    return cJSON_GetObjectItemCaseSensitive(obj, name);
}

std::string str_member(const cJSON *obj, const char *name) {
    const cJSON *v = member(obj, name);
    return cJSON_IsString(v) ? std::string(v->valuestring) : std::string();
}

// A number that is a whole value in [lo, hi].
bool int_member(const cJSON *obj, const char *name, double lo, double hi, long long *out) {
    const cJSON *v = member(obj, name);
    if (!cJSON_IsNumber(v) || v->valuedouble < lo || v->valuedouble > hi ||
        std::floor(v->valuedouble) != v->valuedouble)
        return false;
    *out = static_cast<long long>(v->valuedouble);
    return true;
}

const cJSON *plaintext_of(const cJSON *p) {
    const cJSON *plain = member(p, "plaintext");
    if (!plain) ORVI_LOGW("plaintext_json or sub_json is null");
    return plain;
}

// The level `n` (0 first) of a topic, empty when it has none.
std::string topic_level(const char *topic, int n) {
    const char *s = topic;
    for (int i = 0; i < n; ++i) {
        s = std::strchr(s, '/');
        if (!s) return "";
        ++s;
    }
    const char *e = std::strchr(s, '/');
    return e ? std::string(s, e) : std::string(s);
}

// A topic formed with the home MAC must name the current one: after the
// home changed, the old subscription still delivers the old home's events.
bool names_current_home(const char *topic, int level) {
    const std::string named = topic_level(topic, level);
    const std::string home = product_get_mac_str();
    if (named.empty() || named != home) {
        ORVI_LOGW("topic %s does not name the home MAC '%s', ignored", topic, home.c_str());
        return false;
    }
    return true;
}

// The record stored under exactly `mac` (a 12-character query does not
// stand for one of a switch's gangs here).
orvi_subdev_ptr exact_record(const std::string &mac) {
    if (mac.empty() || mac.size() > 16) return nullptr;
    orvi_subdev_ptr dev = product_get_subdev_form_host(mac.c_str());
    if (dev && std::string(orvi_field_view(dev->mac)) != mac) return nullptr;
    return dev;
}

dev_type_t type_of(const orvi_subdev_ptr &dev) {
    return orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { return d.dev_type; });
}

// ---- Positional device information ------------------------------------------------

template <size_t N>
bool put_text(char (&field)[N], const cJSON *v, const char *what) {
    if (!v) return true;
    if (!cJSON_IsString(v)) {
        ORVI_LOGW("infolist: %s is not a text", what);
        return false;
    }
    if (std::strlen(v->valuestring) >= N) {
        ORVI_LOGW("infolist: %s longer than %zu characters, record refused", what, N - 1);
        return false;
    }
    orvi_field_set(field, v->valuestring);
    return true;
}

bool put_number(const cJSON *v, double lo, double hi, long long *out, const char *what) {
    if (!v) return true;
    if (!cJSON_IsNumber(v) || v->valuedouble < lo || v->valuedouble > hi) {
        ORVI_LOGW("infolist: %s is not a number in [%.0f, %.0f], record refused", what, lo, hi);
        return false;
    }
    *out = static_cast<long long>(v->valuedouble);
    return true;
}

// Fills `rec` from an "infolist" array: 0 mac, 1 mid, 2 macId, 3 dev_type,
// 4 roomId, 5 hid, 6 ver, 7 vender, 8 key, 9 name, 10 extension (any JSON
// value, kept printed), 11 noteName, 12 f_register. Without `has_type` the
// list carries no dev_type and the later elements move up by one.
bool fill_from_infolist(const cJSON *list, bool has_type, orvi_subdev_list_t *rec) {
    if (!cJSON_IsArray(list)) {
        ORVI_LOGW("infolist is not an array");
        return false;
    }
    auto at = [&](int index) -> const cJSON * {
        if (!has_type && index == 3) return nullptr;
        return cJSON_GetArrayItem(list, has_type || index < 3 ? index : index - 1);
    };
    if (!cJSON_IsString(at(0)) || !at(0)->valuestring[0]) {
        ORVI_LOGW("infolist: no mac");
        return false;
    }
    long long n = 0;
    bool ok = put_text(rec->mac, at(0), "mac") && put_text(rec->mid, at(1), "mid");
    if (ok && at(2) && (ok = put_number(at(2), -1, INT32_MAX, &n, "macId"))) rec->macId = static_cast<int32_t>(n);
    if (ok && at(3) && (ok = put_number(at(3), 0, DEV_TYPE_MAX - 1, &n, "dev_type")))
        rec->dev_type = static_cast<dev_type_t>(n);
    if (ok && at(4) && (ok = put_number(at(4), 0, UINT32_MAX, &n, "roomId"))) rec->roomId = static_cast<uint32_t>(n);
    ok = ok && put_text(rec->hid, at(5), "hid") && put_text(rec->ver, at(6), "ver") &&
         put_text(rec->vender, at(7), "vender") && put_text(rec->key, at(8), "key") &&
         put_text(rec->name, at(9), "name") && put_text(rec->noteName, at(11), "noteName");
    if (ok && at(10)) {
        const std::string ext = cJSON_IsString(at(10)) ? std::string(at(10)->valuestring) : print(at(10));
        if (!ext.empty()) rec->devExt = std::make_shared<const std::string>(ext);
    }
    if (ok && at(12) && (ok = put_number(at(12), SERVER_UNREGISTER, SERVER_RELEASE, &n, "f_register")))
        rec->f_register = static_cast<register_flag_t>(n);
    return ok;
}

// Gives a UDP or central-control device back to the pool of unbound devices.
int release_device(const orvi_subdev_ptr &dev) {
    const dev_type_t type = type_of(dev);
    orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) {
        d.name[0] = '\0';
        d.f_register = SERVER_RELEASE;
    });
    if (type == DEV_TYPE_UDP) release_macId(dev);
    event_sub_devinfo_publish(dev, 0);
    if (type == DEV_TYPE_UDP) subdev_udp_reset_command_send(dev);
    return 0;
}

// Removes a device from the registry (and from the lighting service).
int delete_device(const orvi_subdev_ptr &dev, const std::string &mac, bool post_removed) {
    const dev_type_t type = type_of(dev);
    if (product_delete_subdev_form_host(mac.c_str()) != 0) {
        ORVI_LOGW("delete failure\n");
        return -1;
    }
    ORVI_LOGI("delete success\n");
    if (type == DEV_TYPE_TOVRA) evt_peer::tovra_device_delete(mac.c_str());
    if (post_removed) orvi_event_post_text(ORVI_EVENT_DEVINFO_DELETE, mac);
    return 0;
}

// ---- Slow work, off the worker ---------------------------------------------------------

void *firmware_check_thread(void *) {
    std::string result;
    const bool ok = evt_peer::firmware_check(&result) == 0 && !result.empty();
    event_type_1_publish("/checkRes", "updateHid", ok ? result.c_str() : "fail", -1, nullptr);
    return nullptr;
}

void *self_delete_thread(void *) {
    orvi_info_clear();
    orvi_record_log(kOperLog, "BeDelete", 8);
    orvi_port_sleep_ms(kSelfDeleteRebootDelayMs);
    event_host_publish("reset", "done", -1);
    orvi_reboot();
    return nullptr;
}

bool run_detached(void *(*fn)(void *), const char *name) {
    pthread_t tid;
    if (orvi_pthread_create_detach(&tid, nullptr, fn, nullptr, name) != 0) {
        ORVI_LOGW("%s thread failed", name);
        return false;
    }
    return true;
}

// ---- Type 1: host settings ------------------------------------------------------------------

void apply_setting(const char *name, const cJSON *value) {
    long long n = 0;
    const bool number = cJSON_IsNumber(value);
    if (number) n = static_cast<long long>(value->valuedouble);
    const std::string text = cJSON_IsString(value) ? value->valuestring : "";
    if (std::strcmp(name, "key") == 0) {
        if (text == "matching") {
            evt_matching_open();
        } else if (text == "reset") {
            product_set_active_status(0);
            orvi_event_post_value(ORVI_EVENT_HOST_STATUS, 2);
            evt_peer::cloud_disconnect();
        } else if (text == "backup") {
            evn_match_status_backup_enter();
            evt_peer::backup_start(2);
        } else if (text == "webRestore") {
            evt_peer::sd_restore_start(2, 1);
            evn_match_status_backup_enter();
        }
    } else if (std::strcmp(name, "active") == 0 && number) {
        const int32_t active = n == 1 ? 1 : 0;
        if (active != product_get_active_status()) product_set_active_status(active);
        orvi_host_status_upload_mqtt();
    } else if (std::strcmp(name, "connect") == 0 && number) {
        if (n == 1) {
            orvi_event_post_ctx(ORVI_EVENT_CONNECT_UPLOAD, nullptr, 0);
            evt_peer::set_host_net(1);
        } else if (n == 0) {
            evt_peer::set_host_net(0);
        }
    } else if (std::strcmp(name, "scenelock") == 0 && number) {
        if (orvi_get_standby_flag() >= 2) {
            uds_scene_lock_set(static_cast<int>(n));
            orvi_host_status_upload_mqtt();
        }
    } else if (std::strcmp(name, "standby") == 0 && number && n != 2) {
        const int flag = orvi_get_standby_flag();
        if (flag < 1 && n == 1) {
            orvi_set_standby_flag(1);
        } else if (flag > 0 && flag < n && n <= INT_MAX) {
            orvi_set_standby_flag(static_cast<int>(n));
        }
    } else if (std::strcmp(name, "type") == 0 && text == "updateHid") {
        // An HTTPS round trip: never on the worker.
        run_detached(firmware_check_thread, "evt_firmware_check");
    } else if (std::strcmp(name, "BindResult") == 0 && number) {
        uds_bind_result_set(static_cast<int>(n));
        orvi_host_status_upload_mqtt();
    } else if (std::strcmp(name, "opToken") == 0) {
        uds_gateway_tokens_set(value);
        orvi_host_status_upload_mqtt();
    }
}

// ---- Rooms -------------------------------------------------------------------------------------

int room_list_handle(const cJSON *plain) {
    const cJSON *list = member(plain, "roomList");
    if (!cJSON_IsArray(list)) {
        ORVI_LOGW("roomList is not an array");
        return -1;
    }
    std::vector<dev_roomlist_t> rooms;
    const cJSON *e;
    cJSON_ArrayForEach(e, list) {
        if (rooms.size() >= ORVI_ROOM_MAX) break;
        long long id = 0, sid = 0;
        const std::string name = str_member(e, "name");
        if (!int_member(e, "id", 0, UINT32_MAX, &id) || !int_member(e, "sId", 0, 255, &sid) ||
            !cJSON_IsString(member(e, "name"))) {
            ORVI_LOGW("jid or jsId or jname is NULL \n");
            continue;
        }
        dev_roomlist_t r{};
        r.id = static_cast<uint32_t>(id);
        r.sId = static_cast<uint32_t>(sid);
        if (!orvi_field_set(r.name, name)) {
            ORVI_LOGW("room %u: name longer than %zu characters, skipped", r.id, sizeof r.name - 1);
            continue;
        }
        rooms.push_back(r);
    }
    product_roomlist_append(rooms.data(), static_cast<int>(rooms.size()), true);
    return 0;
}

// Adds (operType 1) or deletes (2) the two default scenes of `room` on a UDP device.
void room_default_scenes(const orvi_subdev_ptr &dev, uint32_t room, int oper) {
    if (room == 0) return;
    if (room > kSceneRoomMax) {
        ORVI_LOGW("room %u is beyond %u: it cannot carry default scenes", room, kSceneRoomMax);
        return;
    }
    const int base = static_cast<int>(room) << 16;
    orvi_udpdev_set_scene(dev, 0, base + 1, oper, oper == 2 ? nullptr : "{\"t\":\"cmd\",\"opt\":[\"Pow\"],\"p\":[1]}",
                          nullptr);
    orvi_udpdev_set_scene(dev, 0, base + 2, oper, oper == 2 ? nullptr : "{\"t\":\"cmd\",\"opt\":[\"Pow\"],\"p\":[0]}",
                          nullptr);
}

int room_change(const char *topic, const orvi_subdev_ptr &dev, uint32_t room) {
    const std::string mac(orvi_field_view(dev->mac));
    uint32_t old = 0;
    dev_type_t type = DEV_TYPE_NONE;
    orvi_subdev_locked(dev, [&](orvi_subdev_list_t &d) {
        old = d.roomId;
        type = d.dev_type;
        d.roomId = room;
    });
    if (old != room && type == DEV_TYPE_UDP) {
        room_default_scenes(dev, old, 2);
        room_default_scenes(dev, room, 1);
    }
    if (old != room && type == DEV_TYPE_TOVRA) evt_peer::tovra_room_set(mac.c_str(), room);
    if (starts_with(topic, "room/set") || starts_with(topic, "/notice")) event_sub_devinfo_publish(dev, 0);
    return 0;
}

// ---- Type 7 ------------------------------------------------------------------------------------

int devinfo_http(const char *topic, const cJSON *p, const cJSON *plain) {
    const std::string topic_mac = topic_level(topic, 1);
    orvi_subdev_list_t rec;
    if (!fill_from_infolist(member(plain, "infolist"), true, &rec)) return -1;
    if (member(plain, "pairMode")) rec.f_register = SERVER_REGISTERED;  // a mini-app registration
    const std::string home = product_get_mac_str();
    // The host announces a sub-subdevice under the home MAC too, naming its
    // parent in the payload "mac": read back, it goes under that parent.
    std::string parent_mac = topic_mac;
    if (topic_mac == home && !home.empty()) {
        const std::string named = str_member(p, "mac");
        parent_mac = named != home && named != rec.mac && exact_record(named) ? named : "";
    }
    if (parent_mac.empty()) {
        if (product_add_subdev_to_host(&rec)) {
            ORVI_LOGI("%s registered from %s", rec.mac, topic);
            return 0;
        }
        ORVI_LOGW("%s: the registry refused the record", rec.mac);
        return -1;
    }
    orvi_subdev_ptr parent = exact_record(parent_mac);
    if (!parent) {
        ORVI_LOGW("This device does not belong to the devices under this home host.\n");
        return -1;
    }
    // The registry names the parent by the MAC of the record handed in.
    orvi_subdev_list_t parent_copy;
    static_cast<orvi_subdev_fields_t &>(parent_copy) = orvi_subdev_snapshot(parent);
    if (!product_add_subsubdev_to_host(&parent_copy, &rec)) return -1;
    ORVI_LOGI("%s registered under %s from %s", rec.mac, parent_mac.c_str(), topic);
    return 0;
}

int devinfo_delete(const char *topic, const cJSON *plain) {
    if (cJSON_IsObject(plain)) {
        ORVI_LOGI("host send delete data,ignore\n");
        return 0;
    }
    const std::string mac = topic_level(topic, 2);
    orvi_subdev_ptr dev = exact_record(mac);
    if (!dev) {
        ORVI_LOGW("%s: not registered", mac.c_str());
        return -1;
    }
    if (type_of(dev) == DEV_TYPE_UDP) return release_device(dev);
    return delete_device(dev, mac, false);
}

int op_devices_update(const cJSON *plain, bool gateway_info) {
    orvi_subdev_list_t rec;
    if (!fill_from_infolist(member(plain, "infolist"), !gateway_info, &rec)) return -1;
    if (gateway_info) {
        orvi_subdev_ptr tmp = std::make_shared<orvi_subdev_list_t>(rec);
        return event_syncAckHttp_devListPush_publish(tmp, 1);
    }
    if (rec.macId > 0) macId_set(rec.macId);
    product_subdev_type_adapter(&rec);
    rec.f_register = SERVER_REGISTERED;
    const bool gw = rec.dev_type == DEV_TYPE_OPGATEWAY || rec.dev_type == DEV_TYPE_OPDEV;
    if (gw) rec.online = 1;
    orvi_subdev_ptr stored = product_add_subdev_to_host(&rec);
    if (!stored) {
        ORVI_LOGW("%s: the registry refused the record", rec.mac);
        return -1;
    }
    event_sub_devinfo_publish(stored, 1);
    if (gw) event_opDevices_info_publish(nullptr, stored, rec.dev_type, 1);
    return 0;
}

// ---- "/notice" removal -----------------------------------------------------------------------

int notice_removal(int action, const cJSON *detail) {
    const std::string mac = str_member(detail, "mac");
    if (mac.empty() || mac.size() > 16) {
        ORVI_LOGW("notice: detail carries no usable \"mac\"");
        return -1;
    }
    if (mac == product_get_host_mac_str() || mac == product_get_mac_str()) {
        ORVI_LOGW("this host was removed from its home: factory reset and reboot");
        return run_detached(self_delete_thread, "evt_self_delete") ? 0 : -1;
    }
    evt_peer::timers_clear(mac.c_str());
    orvi_subdev_ptr dev = exact_record(mac);
    if (!dev) {
        ORVI_LOGW("%s: not registered", mac.c_str());
        return -1;
    }
    const dev_type_t type = type_of(dev);
    if (action == 1 && (type == DEV_TYPE_UDP || type == DEV_TYPE_CENTCTRL)) return release_device(dev);
    return delete_device(dev, mac, true);
}

int notice_room(const cJSON *detail) {
    const cJSON *inner = member(detail, "detail");
    const std::string mac = str_member(inner, "mac");
    long long room = 0;
    if (mac.empty() || !int_member(inner, "roomId", 0, UINT32_MAX, &room)) {
        ORVI_LOGW("notice: room change without \"mac\" or a valid \"roomId\"");
        return -1;
    }
    orvi_subdev_ptr dev = exact_record(mac);
    if (!dev) {
        ORVI_LOGW("%s: not registered", mac.c_str());
        return -1;
    }
    if (orvi_subdev_snapshot(dev).roomId == room) return 0;
    const int sid = roomId_to_sId(static_cast<uint32_t>(room));
    if (sid < 0) {
        ORVI_LOGW("room %lld is not in the room list", room);
        return -1;
    }
    room_change("/notice", dev, static_cast<uint32_t>(sid));
    if (type_of(dev) == DEV_TYPE_UDP) orvi_udpdev_set_roomId(dev, static_cast<unsigned>(sid));
    return 0;
}

}  // namespace

// ---- Request injection ---------------------------------------------------------------------

int evt_request_inject(const cJSON *body, connect_type_t conn, const char *mac) {
    const std::string text = print(body);
    if (text.empty()) return -1;
    ORVI_LOGI("%s", text.c_str());
    request_type_t req;
    req.data_type = DATA_TYPE_NEED_PARSE;
    req.data = text;
    req.sockinfo.fd = -1;
    req.sockinfo.type = conn;
    if (mac && mac[0] && std::strlen(mac) <= 16 && product_get_subdev_form_host(mac)) {
        req.ctx.has_text = true;
        req.ctx.text = mac;
    }
    if (orvi_transport_deliver(req) != 0) {
        ORVI_LOGW("orvi_request_queue_send is fail!\n");
        return -1;
    }
    return 0;
}

namespace {
connect_type_t inject_channel(const char *topic) {
    if (std::strcmp(topic, "/online") == 0 || std::strcmp(topic, "mqtt/ctrl") == 0) return SOCKET_CONNECT_TYPE_MQTT;
    if (starts_with(topic, "Timer/set")) return SOCKET_CONNECT_TYPE_UDS;
    return SOCKET_CONNECT_TYPE_NONE;
}

std::string sub_or_mac(const cJSON *p) {
    const std::string sub = str_member(p, "sub");
    return sub.empty() ? str_member(p, "mac") : sub;
}

int dev_status_handle(const char *topic, const cJSON *p) {
    return evt_request_inject(p, inject_channel(topic), sub_or_mac(p).c_str());
}
}  // namespace

// ---- Pairing -------------------------------------------------------------------------------------

void evt_matching_open(void) {
    const uint8_t s = product_get_match_status();
    product_set_match_status(s != 0 && s != 3 && s != 4 ? 2 : 3);
    evt_peer::ble_advertise(1);
    matching_timeout_timer_create();
}

void evt_matching_success(void) {
    const uint8_t s = product_get_match_status();
    if (s != 2 && s != 3) return;
    product_set_match_status(1);
    event_host_publish("matching", "success", -1);
    matching_timeout_timer_delete();
}

// ---- Handlers --------------------------------------------------------------------------------------

int evnt_handler_cb_envType1(const char *, cJSON *p) {
    const cJSON *plain = plaintext_of(p);
    if (!plain) return -1;
    const cJSON *cols = member(plain, "cols");
    const cJSON *dat = member(plain, "dat");
    if (!cJSON_IsArray(cols) || !cJSON_IsArray(dat)) {
        ORVI_LOGW("cols_json or dat_json is NULL!");
        return -1;
    }
    if (cJSON_GetArraySize(cols) != cJSON_GetArraySize(dat)) {
        ORVI_LOGW("cols_num and dat_num are not equal!");
        return -1;
    }
    for (int i = 0; i < cJSON_GetArraySize(cols); ++i) {
        const cJSON *name = cJSON_GetArrayItem(cols, i);
        if (cJSON_IsString(name)) apply_setting(name->valuestring, cJSON_GetArrayItem(dat, i));
    }
    return 0;
}

int evnt_handler_cb_envType0(const char *topic, cJSON *p) {
    const cJSON *plain = plaintext_of(p);
    if (!plain) return -1;
    if (starts_with(topic, "roomInfoHttp")) return room_list_handle(plain);
    if (starts_with(topic, "checkDevHttp")) return orvi_dev_checking_handle(plain, nullptr);
    if (starts_with(topic, "syncPersistentHttp")) return orvi_syncPersistent_handle(plain, nullptr);
    if (starts_with(topic, "restore/cloud/touch")) return orvi_cloudbackup_handle(plain, nullptr);
    if (starts_with(topic, "host/info/request")) return evt_peer::host_info_publish();
    return -1;
}

int evnt_handler_cb_envType4(const char *, cJSON *p) {
    const cJSON *plain = plaintext_of(p);
    if (!plain) return -1;
    const cJSON *offline = member(plain, "offlineSub");
    const cJSON *online = member(plain, "onlineSub");
    if (!cJSON_IsArray(offline) || !cJSON_IsArray(online)) {
        ORVI_LOGW("offlineSub or onlineSub is NULL");
        return -1;
    }
    auto type_of_mac = [](const char *mac, const orvi_subdev_ptr &dev) {
        if (dev) return static_cast<int>(type_of(dev));
        orvi_subdev_info_t info{};
        return product_linkinglist_dev_get(mac, 0, 1, &info) ? static_cast<int>(info.dev_type) : 0;
    };
    const cJSON *m;
    cJSON_ArrayForEach(m, offline) {
        if (!cJSON_IsString(m) || std::strlen(m->valuestring) > 16) continue;
        orvi_subdev_ptr dev = product_get_subdev_form_host(m->valuestring);
        const int type = type_of_mac(m->valuestring, dev);
        orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { d.online = 0; });
        if (product_linkinglist_linedev_offline(m->valuestring, type) == 0)
            ORVI_LOGI("delete success\n");
        else
            ORVI_LOGW("delete failure\n");
    }
    cJSON_ArrayForEach(m, online) {
        if (!cJSON_IsString(m) || std::strlen(m->valuestring) > 16) continue;
        orvi_subdev_ptr dev = product_get_subdev_form_host(m->valuestring);
        orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { d.online = 1; });
        product_linkinglist_linedev_online(m->valuestring, type_of_mac(m->valuestring, dev));
    }
    orvi_connect_upload_delay();
    return 0;
}

int evnt_handler_cb_envType5(const char *, cJSON *p) {
    const cJSON *plain = plaintext_of(p);
    if (!plain) return -1;
    const cJSON *opt = member(plain, "opt");
    const cJSON *val = member(plain, "p");
    if (!cJSON_IsArray(opt) || !cJSON_IsArray(val) || cJSON_GetArraySize(opt) != cJSON_GetArraySize(val)) {
        ORVI_LOGW("opt_json or p_json is NULL, or their sizes differ!");
        return -1;
    }
    for (int i = 0; i < cJSON_GetArraySize(opt); ++i) {
        const cJSON *name = cJSON_GetArrayItem(opt, i);
        const cJSON *v = cJSON_GetArrayItem(val, i);
        if (cJSON_IsString(name) && std::strcmp(name->valuestring, "pair") == 0 && cJSON_IsString(v) &&
            std::strcmp(v->valuestring, "success") == 0)
            evt_matching_success();
    }
    return 0;
}

int evnt_handler_cb_envType7(const char *topic, cJSON *p) {
    const cJSON *plain = plaintext_of(p);
    if (!plain) return -1;
    if (starts_with(topic, "opGateway/info")) return op_devices_update(plain, true);
    if (starts_with(topic, "opDevices/update")) return op_devices_update(plain, false);
    if (starts_with(topic, "devInfoHttp")) return devinfo_http(topic, p, plain);
    if (starts_with(topic, "delDevInfoHttp")) return devinfo_delete(topic, plain);
    return -1;
}

int evnt_handler_cb_jsonStatus(const char *topic, cJSON *p) {
    if (starts_with(topic, "/fakeStatus") && !names_current_home(topic, 2)) return -1;
    const std::string mac = str_member(p, "mac");
    const std::string mid = str_member(p, "mid");
    if (mac.empty() || mac.size() > 16) {
        ORVI_LOGW("status without a usable \"mac\"");
        return -1;
    }
    int type = product_get_subdev_type_by_config(mid.c_str());
    // A model the configuration does not know keeps the type it was registered with.
    if (type == DEV_TYPE_NONE) {
        if (orvi_subdev_ptr dev = exact_record(mac)) type = type_of(dev);
    }
    bool added = false;
    if (type == DEV_TYPE_CAN && !product_linkinglist_dev_get(mac.c_str(), DEV_TYPE_CAN, 0, nullptr)) {
        added = product_linkinglist_candev_add(mac.c_str(), mid.c_str()) == 0;
    } else if ((type == DEV_TYPE_485 || type == DEV_TYPE_MJGATEWAY) &&
               !product_linkinglist_dev_get(mac.c_str(), DEV_TYPE_485, 0, nullptr)) {
        added = product_linkinglist_485dev_add(mac.c_str(), mid.c_str()) == 0;
    }
    if (added) {
        const dev_type_t sync = product_get_sync_persistent_type();
        orvi_subdev_info_t info{};
        if ((sync == DEV_TYPE_NONE || static_cast<int>(sync) == type) &&
            product_linkinglist_dev_get(mac.c_str(), 0, 1, &info))
            event_syncAckHttp_subdev_info_publish(&info, 1);
        sub_dev_online_sync_delay(5000, type);
    }
    if (type == DEV_TYPE_UDP) return 0;
    return dev_status_handle(topic, p);
}

int evnt_handler_cb_frames(const char *topic, cJSON *p) {
    const cJSON *plain = plaintext_of(p);
    if (!plain) return -1;
    return evt_request_inject(plain, SOCKET_CONNECT_TYPE_UDS, sub_or_mac(p).c_str());
}

int evnt_handler_cb_jsonReq(const char *topic, cJSON *p) {
    orvi_subdev_ptr dev = product_get_subdev_form_host(sub_or_mac(p).c_str());
    if (!dev) {
        ORVI_LOGW("dev is NULL\n");
        return -1;
    }
    const dev_type_t type = type_of(dev);
    if (type != DEV_TYPE_UDP && type != DEV_TYPE_WIFI) return 0;
    return dev_status_handle(topic, p);
}

int evnt_handler_cb_binStatus(const char *topic, cJSON *p) {
    orvi_subdev_ptr dev = product_get_subdev_form_host(sub_or_mac(p).c_str());
    if (!dev) {
        ORVI_LOGW("dev is NULL\n");
        return -1;
    }
    if (type_of(dev) != DEV_TYPE_UDP) return 0;
    return dev_status_handle(topic, p);
}

int evnt_handler_cb_jsonResp(const char *topic, cJSON *p) {
    const char *last = std::strrchr(topic, '/');
    const std::string mac = last ? last + 1 : "";
    if (mac.size() < 12 || mac.size() > 16) {
        ORVI_LOGW("mac extra fail , length isn't between 12 and 16 , %s\n", topic);
        return -1;
    }
    orvi_subdev_ptr dev = product_get_subdev_form_host(mac.c_str());
    if (!dev || type_of(dev) != DEV_TYPE_UDP) return 0;
    long long r = 200;
    int_member(p, "r", INT_MIN, INT_MAX, &r);
    return bincmd_res_handle(&binCmd_Retry_List, mac.c_str(), r == 200 ? 1 : 0);
}

int evnt_handler_cb_linkBroc(const char *, cJSON *p) {
    const cJSON *plain = plaintext_of(p);
    if (!plain) return -1;
    return evt_peer::scene_touch_status(plain);
}

int evnt_handler_cb_sceneBroc(const char *, cJSON *p) {
    return evt_peer::scene_touch_status(p);
}

int evnt_handler_cb_envPersist(const char *, cJSON *p) {
    const cJSON *plain = member(p, "plaintext");
    const std::string parent_mac = str_member(p, "mac");
    const std::string sub = str_member(p, "sub");
    if (!cJSON_IsArray(plain) || sub.empty()) {
        ORVI_LOGW("plaintext_json or sub_json is null");
        return -1;
    }
    orvi_subdev_ptr parent = exact_record(parent_mac);
    orvi_subdev_ptr child = parent ? product_get_subsubdev_form_host(parent_mac.c_str(), sub.c_str()) : nullptr;
    if (!child) {
        ORVI_LOGW("%s under %s: no such sub-subdevice", sub.c_str(), parent_mac.c_str());
        return -1;
    }
    if (!orvi_subdev_snapshot(child).event_list.empty()) {
        ORVI_LOGI("ignore [store4massage] duplicate subscriptions\n");
        return 0;
    }
    const cJSON *e;
    cJSON_ArrayForEach(e, plain) {
        if (cJSON_IsString(e)) product_subsubdev_event_insert(parent, child, e->valuestring, 0);
    }
    return 0;
}

int evnt_handler_cb_timeInfo(const char *topic, cJSON *p) {
    if (!names_current_home(topic, 1)) return -1;
    json_ptr held(cJSON_Parse(timer_app_list_get_Timedat(&timer_app_list).c_str()));
    if (cJSON_GetArraySize(member(held.get(), "list")) > 0) {
        ORVI_LOGI("timer list is not empty, retained timers ignored");
        return 0;
    }
    const cJSON *plain = plaintext_of(p);
    const cJSON *list = plain ? member(plain, "list") : nullptr;
    if (!cJSON_IsArray(list)) {
        ORVI_LOGW("Timedat carries no list");
        return -1;
    }
    const cJSON *e;
    cJSON_ArrayForEach(e, list) {
        const std::string mac = str_member(e, "mac");
        const cJSON *action = member(e, "action");
        long long id = 0, mday = 0, hour = 0, min = 0, enable = 0;
        if (mac.empty() || !action || !int_member(e, "timeid", INT32_MIN, INT32_MAX, &id) ||
            !int_member(e, "mday", 0, 127, &mday) || !int_member(e, "hour", 0, 23, &hour) ||
            !int_member(e, "min", 0, 59, &min) || !int_member(e, "enable", 0, 1, &enable)) {
            ORVI_LOGW("timer entry incomplete, skipped");
            continue;
        }
        orvi_subdev_ptr dev = exact_record(mac);
        if (!dev) continue;
        const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
        const std::string cmd = cJSON_IsString(action) ? std::string(action->valuestring) : print(action);
        timer_node_ptr node = timer_node_create(static_cast<int32_t>(id), static_cast<int>(mday),
                                                static_cast<int>(hour), static_cast<int>(min),
                                                static_cast<int>(enable), cmd.c_str());
        if (!node) continue;
        timer_node_Add(&timer_app_list, std::move(node), mac.c_str(), f.dev_type == DEV_TYPE_CENTCTRL ? 1 : 0,
                       orvi_timer_max_quantity_get(std::string(orvi_field_view(f.mid)).c_str()));
    }
    return 0;
}

int env_device_room_set_handle(const char *topic, const cJSON *p) {
    const std::string mac = str_member(p, "subMac");
    long long room = 0;
    if (!int_member(p, "roomid", 0, UINT32_MAX, &room)) {
        ORVI_LOGW("room set: \"roomid\" is not a room id");
        return -1;
    }
    orvi_subdev_ptr dev = exact_record(mac);
    if (!dev) {
        ORVI_LOGW("%s: not registered", mac.c_str());
        return -1;
    }
    return room_change(topic, dev, static_cast<uint32_t>(room));
}

int evnt_handler_cb_roomSet(const char *topic, cJSON *p) {
    return env_device_room_set_handle(topic, p);
}

int evnt_handler_cb_sceneSet(const char *, cJSON *p) {
    const std::string home = product_get_mac_str();
    if (home.empty() || str_member(p, "mac") != home) {
        ORVI_LOGW("scene set: \"mac\" is not the home MAC");
        return -1;
    }
    orvi_subdev_ptr dev = exact_record(str_member(p, "subMac"));
    if (!dev || type_of(dev) != DEV_TYPE_UDP) return 0;
    long long type = 0, scene = 0;
    if (!int_member(p, "type", 0, INT_MAX, &type) || !int_member(p, "subSceneID", 0, INT_MAX, &scene)) {
        ORVI_LOGW("scene set: \"type\" or \"subSceneID\" missing");
        return -1;
    }
    const cJSON *cmd = member(p, "cmd");
    const std::string cmd_text = cJSON_IsString(cmd) ? std::string(cmd->valuestring) : (cmd ? print(cmd) : "");
    const cJSON *req = member(p, "reqId");
    const std::string req_text = cJSON_IsString(req) ? std::string(req->valuestring) : (req ? print(req) : "");
    const int rc = orvi_udpdev_set_scene(dev, 0, static_cast<int>(scene), static_cast<int>(type),
                                         cmd_text.empty() ? nullptr : cmd_text.c_str(),
                                         req_text.empty() ? nullptr : req_text.c_str());
    if (rc != 0 && req) {
        json_ptr stored(cJSON_CreateObject());
        if (!stored) ORVI_NO_MEM(sizeof(cJSON));
        cJSON_AddItemToObject(stored.get(), "reqId", cJSON_Duplicate(req, 1));
        std::string text = print(stored.get());
        if (text.size() < 1024) {
            auto buf = std::make_shared<std::vector<char>>(1024, '\0');
            std::memcpy(buf->data(), text.data(), text.size());
            orvi_subdev_locked(dev, [&](orvi_subdev_list_t &d) { d.binCmd = buf; });
            event_scene_rsp_publish(dev, 1);
        }
    }
    return rc;
}

int evnt_handler_cb_soUpdate(const char *, cJSON *) {
    return event_soUpdateRes_publish(200);
}

int evnt_handler_cb_hb(const char *topic, cJSON *p) {
    if (!names_current_home(topic, 2)) return -1;
    std::string mac = str_member(p, "mac");
    if (mac.empty()) mac = topic_level(topic, 3);
    orvi_subdev_ptr dev = exact_record(mac);
    if (!dev) {
        ORVI_LOGW("heartbeat of '%.16s', which is not registered", mac.c_str());
        return -1;
    }
    const dev_type_t type = type_of(dev);
    if (type != DEV_TYPE_UDP && type != DEV_TYPE_CENTCTRL) {
        ORVI_LOGW("heartbeat of '%s', which is neither a UDP nor a central-control device", mac.c_str());
        return -1;
    }
    long long rssi = 0;
    const bool has_rssi = int_member(p, "RSSI", INT_MIN, INT_MAX, &rssi) ||
                          int_member(member(p, "plaintext"), "RSSI", INT_MIN, INT_MAX, &rssi);
    const unsigned long now = static_cast<unsigned long>(orvi_get_ticks());
    orvi_subdev_locked(dev, [&](orvi_subdev_list_t &d) {
        d.hb_ticks = now;
        if (has_rssi) d.RSSI = static_cast<int>(rssi);
    });
    return event_hbok_publish(dev);
}

int evnt_handler_cb_notive(const char *, cJSON *p) {
    long long type = 0, action = 0;
    const cJSON *detail = member(p, "detail");
    if (!int_member(p, "type", INT_MIN, INT_MAX, &type) || !int_member(p, "action", INT_MIN, INT_MAX, &action) ||
        !detail) {
        ORVI_LOGW("type or action or detail is NULL");
        return -1;
    }
    if (type == 1) return evt_peer::roomlist_reload();
    if (type != 0) return 0;
    if (action == 1 || action == 2) return notice_removal(static_cast<int>(action), detail);
    if (action == 0) return notice_room(detail);
    return 0;
}

int evnt_handler_cb_BindRsp(const char *topic, cJSON *p) {
    if (starts_with(topic, "scene/unbind/resp")) return evt_peer::scene_unbind_rsp(p);
    return evt_peer::scene_bind_rsp(p);
}

int evnt_handler_cb_appInfo(const char *, cJSON *p) {
    const cJSON *plain = plaintext_of(p);
    if (!plain) return -1;
    long long n = 0;
    const cJSON *backup = member(plain, "cloudBackup");
    if (backup && int_member(backup, "cloud_backup_sw", 0, 1, &n)) product_set_cloud_backup_sw(static_cast<int>(n));
    const cJSON *restart = member(plain, "restart");
    if (!restart) return 0;
    if (int_member(restart, "restart_timer_sw", 0, 1, &n)) product_set_restart_sw(static_cast<int>(n));
    const cJSON *info = member(restart, "restart_timer_info");
    long long month = 0, day = 0, hour = 0, minute = 0, interval = 0;
    if (int_member(info, "restart_month", 0, 12, &month) && int_member(info, "restart_day", 0, 31, &day) &&
        int_member(info, "restart_hour", 0, 23, &hour) && int_member(info, "restart_min", 0, 59, &minute) &&
        int_member(info, "restart_interval", 0, INT_MAX, &interval)) {
        product_set_restart_time("month", static_cast<int>(month));
        product_set_restart_time("day", static_cast<int>(day));
        product_set_restart_time("hour", static_cast<int>(hour));
        product_set_restart_time("minutes", static_cast<int>(minute));
        product_set_restart_interval(static_cast<int>(interval));
    }
    return 0;
}

int evnt_handler_cb_mAppResore(const char *, cJSON *p) {
    const cJSON *plain = plaintext_of(p);
    if (!plain) return -1;
    return orvi_cloudbackup_handle(plain, nullptr);
}

int evnt_handler_cb_mAppRequest(const char *, cJSON *) {
    return evt_peer::host_info_publish();
}
