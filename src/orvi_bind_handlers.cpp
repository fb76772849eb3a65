// Binding and keep-alive: UBind, hb, Utm, connect, subDev, checksub,
// getLoginInfo, the device-list sync senders and the sync timer.
//
// A handler works on a copy of the sender's record and writes what it read
// back in one step under the record's lock, so a half-read packet never
// leaves a record half changed, and no registry lock is held while it calls
// out to the publishers.
#include <climits>
#include <cstring>
#include <ctime>

#include "event_publish.h"
#include "orvi_bincmd.h"
#include "orvi_bind_handlers.h"
#include "orvi_bind_util.h"
#include "orvi_host_event.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_utils.h"
#include "orvi_miniapp.h"
#include "orvi_product.h"
#include "orvi_timer.h"
#include "tovra_service.h"

using namespace bindutil;

orvi::Mutex orvi_bind_sync_mu;  // the device-list sync state
orvi::Mutex orvi_bind_updevlist_mu;

namespace {

// ---- Device-list sync state ----------------------------------------------------

struct sync_state_t {
    orvi_timer_t timer GUARDED_BY(orvi_bind_sync_mu) = -1;
    int repeat GUARDED_BY(orvi_bind_sync_mu) = 0;
    long last_index GUARDED_BY(orvi_bind_sync_mu) = -1;
    orvi_subdev_ptr target GUARDED_BY(orvi_bind_sync_mu);  // the mini-app record the pages are asked from
};
sync_state_t g_sync;

std::string g_updevlist GUARDED_BY(orvi_bind_updevlist_mu);

void sync_counters(uint32_t *cur, uint32_t *total) {
    product_minipro_sync_get(cur, total);
}

void syncdev_timeout_cb(void *) {
    syncDev_timeout_step();
}

// ---- Small readers ---------------------------------------------------------------

uint32_t host_dev_count() {
    return product_get_host_subdev_count();
}

bool is_hb_upload_type(dev_type_t t) {
    return t == DEV_TYPE_UDP || t == DEV_TYPE_PWRGATEWAY || t == DEV_TYPE_WIFI;
}

// The UBind texts, checked before anything is read into the record.
struct ubind_texts {
    const char *mid = nullptr, *ver = nullptr, *devkey = nullptr, *hid = nullptr;
};

bool ubind_texts_ok(const cJSON *json, const orvi_subdev_list_t &w, ubind_texts *t) {
    t->mid = str_of(json, "mid");
    t->ver = str_of(json, "ver");
    t->devkey = str_of(json, "devkey");
    t->hid = str_of(json, "hid");
    if (t->mid && !fits(w.mid, t->mid, "mid")) return false;
    if (t->ver && !fits(w.ver, t->ver, "ver")) return false;
    if (t->hid && !fits(w.hid, t->hid, "hid")) return false;
    if (t->devkey && strlen(t->devkey) != 16) {
        ORVI_LOGW("'devkey' of %zu characters is not a 16-character key, refused", strlen(t->devkey));
        return false;
    }
    return true;
}

void missing(const char *key) {
    ORVI_LOGD("'%s' key is not exist", key);
}

// Sets `dst` from the member `key`'s text (already checked to fit); a change
// marks the record updated.
template <size_t N>
void read_text(char (&dst)[N], const char *text, const char *key, bool *updated) {
    if (!text) {
        missing(key);
    } else if (orvi_field_view(dst) != text) {
        orvi_field_set(dst, text);
        *updated = true;
    }
}

// Writes what UBind read back into the sender's record.
void ubind_commit(const orvi_subdev_ptr &dev, const orvi_subdev_list_t &w) {
    orvi_subdev_locked(dev, [&](orvi_subdev_list_t &d) {
        orvi_field_set(d.mid, orvi_field_view(w.mid));
        orvi_field_set(d.ver, orvi_field_view(w.ver));
        orvi_field_set(d.key, orvi_field_view(w.key));
        orvi_field_set(d.hid, orvi_field_view(w.hid));
        d.lock = w.lock;
        d.scene = w.scene;
        d.macId = w.macId;
        d.online = w.online;
        d.hb_ticks = w.hb_ticks;
        d.f_register = w.f_register;
    });
}

void add_text(cJSON *o, const char *name, const std::string &v) {
    cJSON_AddStringToObject(o, name, v.c_str());
}

int clamp_count(long long v) {
    return v < 0 ? 0 : static_cast<int>(v);
}

// The central controller's part of the UBind answer.
void ubind_centctrl_answer(cJSON *a, const std::string &home_key) {
    add_text(a, "key", home_key);
    const std::string qnetkey = product_get_host_info_qnetkey();
    if (qnetkey.empty()) {
        ORVI_LOGW("Qnetkey not found!");
    } else {
        add_text(a, "Qnetkey", qnetkey);
    }
    const product_host_counts_t counts = product_get_host_counts();
    const long long cnt = static_cast<long long>(counts.devCnt) - counts.minipro - 1;
    cJSON_AddNumberToObject(a, "devCnt", clamp_count(cnt));
    const std::string nlu = product_get_nlu_host();
    if (nlu.empty()) {
        ORVI_LOGW("nlu not found!");
    } else {
        cJSON *n = cJSON_AddObjectToObject(a, "nluInfo");
        add_text(n, "nluHost", nlu);
        cJSON_AddNumberToObject(n, "nluPort", product_get_nlu_port());
    }
    const std::string province = product_get_province(), city = product_get_city();
    if (province.empty()) {
        ORVI_LOGW("province not found!");
    } else {
        add_text(a, "province", province);
    }
    if (city.empty()) {
        ORVI_LOGW("city not found!");
    } else {
        add_text(a, "city", city);
    }
    cJSON_AddNumberToObject(a, "homeId", product_get_homeId());
    cJSON_AddNumberToObject(a, "udpVer", 1);
}

// Only CAN, RS-485 and the tovra service answer a check of all their devices.
void ask_service(int type, const char *cols, const char *mac) {
    if (uds_subdev_status_check_publish(type, cols, mac) != 0)
        ORVI_LOGW("'%s' check of type %d for '%s' not published", cols, type, mac);
}

}  // namespace

// ---- UBind ----------------------------------------------------------------------------

ORVI_HANDLER(request_handle_UBind) {
    if (!json || !req || !dev) return -1;
    const bool stored = is_stored(dev);
    orvi_subdev_list_t w = copy_of(dev);
    const std::string mac(orvi_field_view(w.mac));
    const bool is_app = mac == ORVI_MINIAPP_MAC;
    if (is_app) w.dev_type = DEV_TYPE_MINIPRO;

    ubind_texts t;
    if (!ubind_texts_ok(json, w, &t)) {
        ORVI_LOGW("'%s' UBind refused", mac.c_str());
        return -1;
    }
    // The short id the device claims: only its low 16 bits are kept.
    long long qnet = 0;
    const cJSON *qnetid = num_of(json, "QnetID");
    if (qnetid && !int_in(qnetid, 0, UINT32_MAX, &qnet)) {
        ORVI_LOGW("QnetID %g is not a short id, ignored", qnetid->valuedouble);
        qnetid = nullptr;
    }
    const int32_t qnet_id = static_cast<int32_t>(qnet & 0xFFFF);

    // A device the owner released binds again: with its old key it is told to
    // reset; with another key its record no longer counts as bound.
    const bool released = stored && !is_app && (w.dev_type == DEV_TYPE_UDP || w.dev_type == DEV_TYPE_CENTCTRL) &&
                          w.f_register == SERVER_RELEASE && t.devkey;
    if (released) {
        const bool same_key = orvi_field_view(w.key) == t.devkey;
        if (w.dev_type == DEV_TYPE_UDP && same_key) {
            ORVI_LOGW("key paired,old devices,reset it.");
            subdev_udp_reset_command_send(dev);
            return 0;
        }
        if (w.dev_type == DEV_TYPE_CENTCTRL && same_key && qnetid && w.macId == qnet_id) {
            ORVI_LOGW("key and short id paired,old devices,reset it.");
            subdev_udp_reset_command_send(dev);
            return 0;
        }
    }
    // The default key is in every product: with it alone, a peer may learn
    // the home key (as the mini-app) or take over a registered device's
    // record (its channel, and with a new devkey the device itself) only
    // while the owner has the host in pairing. A peer that sealed the packet
    // with its own key has proved it is bound and is always answered.
    if (req->rx_key == AES_KEY_TYPE_DEFAULT && (is_app || stored)) {
        const char *why = nullptr;
        if (!product_bind_window_open(&why)) {
            ORVI_LOGW("'%s' UBind sealed with the default key refused: %s (pair the host first)", mac.c_str(),
                      why);
            return -1;
        }
        ORVI_LOGI("'%s' UBind sealed with the default key taken: %s", mac.c_str(), why);
    }
    if (released) {
        ORVI_LOGW("key unpaired,%s devices change to unregister!", mac.c_str());
        w.f_register = SERVER_UNREGISTER;
        w.macId = -1;
        orvi_event_post_text(ORVI_EVENT_DEVINFO_DELETE, mac);
    }

    // The optional members, in the packet's order of meaning.
    bool updated = false;
    read_text(w.mid, t.mid, "mid", &updated);
    read_text(w.ver, t.ver, "ver", &updated);
    read_text(w.key, t.devkey, "devkey", &updated);
    long long n = 0;
    if (const cJSON *lock = num_of(json, "lock")) {
        w.lock = static_cast<uint8_t>(lock->valueint);
    } else {
        missing("lock");
    }
    read_text(w.hid, t.hid, "hid", &updated);
    bool sync_start = false;
    if (const cJSON *cnt = num_of(json, "devCnt")) {
        // The device-list sync is the mini-app's: another sender's count would
        // cut the app's sync short.
        if (!is_app) {
            ORVI_LOGW("'%s' is not the mini-app, its devCnt is ignored", mac.c_str());
        } else if (!int_in(cnt, 0, UINT32_MAX, &n)) {
            ORVI_LOGW("devCnt %g is not a device count, ignored", cnt->valuedouble);
        } else {
            product_minipro_sync_start(static_cast<uint32_t>(n));
            sync_start = true;
        }
    } else {
        missing("devCnt");
    }
    if (const cJSON *scene = num_of(json, "scene")) {
        const uint8_t s = static_cast<uint8_t>(scene->valueint);
        updated |= s != w.scene;
        w.scene = s;
    } else {
        missing("scene");
    }
    if (qnetid) {
        w.macId = qnet_id;
    } else {
        missing("QnetID");
    }
    bool id_sync = false;
    if (const cJSON *ids = num_of(json, "idSync")) {
        id_sync = ids->valueint == 1;
    } else {
        missing("idSync");
    }

    const std::string home_key = product_get_home_key();
    if (is_app) {
        if (home_key.empty()) ORVI_LOGW("home key is not set: the mini-app gets an empty key");
        orvi_field_set(w.key, home_key);
    } else {
        product_subdev_type_adapter(&w);
    }
    const bool upload = is_hb_upload_type(w.dev_type) && !w.online;
    if (w.dev_type != DEV_TYPE_CENTCTRL) w.online = 1;
    const orvi_ticktype_t now = orvi_get_ticks();
    if (!stored) {
        w.hb_ticks = w.dev_type == DEV_TYPE_CENTCTRL ? ULONG_MAX : static_cast<unsigned long>(now);
    } else if (w.dev_type != DEV_TYPE_CENTCTRL) {
        w.hb_ticks = static_cast<unsigned long>(now);
    }

    if (!stored || updated) {
        ORVI_LOGI("new device or device info update");
        if (w.dev_type == DEV_TYPE_NONE) {
            ORVI_LOGW("device type is none,ignore");
            return -1;
        }
    }
    const dev_type_t old_type = orvi_subdev_snapshot(dev).dev_type;
    ubind_commit(dev, w);
    orvi_subdev_ptr rec = dev;
    if (!stored) {
        orvi_subdev_locked(dev, [&](orvi_subdev_list_t &d) { d.dev_type = w.dev_type; });
        rec = product_add_subdev_to_host(dev.get());
        if (!rec) {
            ORVI_LOGW("'%s' cannot be added to the registry, no answer", mac.c_str());
            return -1;
        }
    } else {
        if (w.dev_type != old_type) {
            // Through the adapter, so the registry's type counters follow.
            if (is_app || product_subdev_type_adapter(dev.get()) != 0)
                orvi_subdev_locked(dev, [&](orvi_subdev_list_t &d) { d.dev_type = w.dev_type; });
        }
        // A peer that binds again (the app opening a new session, a device
        // with a new address) is answered, and reached later, on the channel
        // it binds on. The handshake may rewrite the record's key anyway, so
        // following its socket gives a sender nothing more.
        if (req->sock && (req->conn == SOCKET_CONNECT_TYPE_UDP || req->conn == SOCKET_CONNECT_TYPE_TCP))
            orvi_subdev_locked(dev, [&](orvi_subdev_list_t &d) { d.dev_socket = *req->sock; });
    }

    json_ptr a = new_object();
    add_text(a.get(), "t", "UBindok");
    add_text(a.get(), "mac", product_get_mac_str());
    add_text(a.get(), "mid", product_get_homeHost_mid_str());
    add_text(a.get(), "ver", product_get_protocol_ver());
    add_text(a.get(), "hid", product_get_hid());
    if (is_app) {
        add_text(a.get(), "tovraMac", tovra_get_tovra_mac());
        add_text(a.get(), "key", home_key);
        cJSON_AddNumberToObject(a.get(), "devCnt", clamp_count(static_cast<long long>(host_dev_count()) - 1));
        add_text(a.get(), "Qnetkey", product_get_host_info_qnetkey());
        if (id_sync) {
            cJSON_AddItemToObject(a.get(), "fIdList", product_get_tovra_Id_List());
            cJSON_AddItemToObject(a.get(), "bIdList", product_get_BLE_Id_List());
        }
        cJSON_AddNumberToObject(a.get(), "mappVer", 2);
    } else {
        cJSON_AddNumberToObject(a.get(), "roomId", orvi_subdev_snapshot(rec).roomId);
        if (w.dev_type == DEV_TYPE_CENTCTRL) {
            ubind_centctrl_answer(a.get(), home_key);
        } else if (w.dev_type == DEV_TYPE_UDP) {
            cJSON_AddNumberToObject(a.get(), "udpVer", 1);
        }
    }
    orvi_request_set_response(req, a.get(), is_app ? AES_KEY_TYPE_DEFAULT : AES_KEY_TYPE_RANDOM);
    // Both go out after the answer: the event loop queues behind this request.
    if (upload) orvi_event_loop_send(ORVI_EVENT_CONNECT_UPLOAD, nullptr);
    if (sync_start) syncDev_send_ack_check(rec);
    return 0;
}

// ---- hb, Utm -------------------------------------------------------------------------

ORVI_HANDLER(request_handle_hb) {
    if (!json || !req || !dev) return -1;
    const char *cid = str_of(json, "cid");
    if (!cid) {
        ORVI_LOGW("pack packet have not 't' key!");
        return -1;
    }
    const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
    if (!f.mid[0]) {
        ORVI_LOGW("'%s' device may not be bound. It Rebinding required.", f.mac);
        return -1;
    }
    if (orvi_field_view(f.mac) != cid) {
        ORVI_LOGW("hb packet cid is err!");
        return -1;
    }
    if (f.dev_type == DEV_TYPE_UDP && f.f_register == SERVER_RELEASE) {
        ORVI_LOGW("this device is waitting release,send the reset command and do not responese the hbok!");
        subdev_udp_reset_command_send(dev);
        return 0;
    }
    const cJSON *rssi = num_of(json, "RSSI");
    const orvi_ticktype_t now = orvi_get_ticks();
    orvi_subdev_locked(dev, [&](orvi_subdev_list_t &d) {
        if (rssi) d.RSSI = rssi->valueint;
        d.hb_ticks = static_cast<unsigned long>(now);
    });
    json_ptr a = new_object();
    add_text(a.get(), "t", "hbok");
    orvi_request_set_response(req, a.get(), AES_KEY_TYPE_DEFAULT);
    if (f.dev_type == DEV_TYPE_UDP && f.binParam.empty()) subdev_udp_statusCheck_send(dev);
    return 0;
}

ORVI_HANDLER(request_handle_Utm) {
    if (!req) return -1;
    json_ptr a = new_object();
    add_text(a.get(), "t", "resUtm");
    add_text(a.get(), "time", orvi_local_time_text());
    orvi_request_set_response(req, a.get(), AES_KEY_TYPE_RANDOM);
    return 0;
}

// ---- connect ---------------------------------------------------------------------------

ORVI_HANDLER(request_handle_connect) {
    if (!json || !req) return -1;
    const cJSON *offline = cJSON_GetObjectItemCaseSensitive(json, "offlineSub");
    if (!cJSON_IsArray(offline)) {
        ORVI_LOGW("connect packet have not 'joffline' key, or cjson type is err!");
        return -1;
    }
    const cJSON *online = cJSON_GetObjectItemCaseSensitive(json, "onlineSub");
    if (!cJSON_IsArray(online)) {
        ORVI_LOGW("connect packet have not 'jonline' key, or cjson type is err!");
        return -1;
    }
    const cJSON *item;
    cJSON_ArrayForEach(item, offline) {
        const char *mac = cJSON_IsString(item) ? item->valuestring : nullptr;
        if (!mac_ok(mac, "offlineSub")) continue;
        ORVI_LOGI("'%s' is offline!", mac);
        if (orvi_subdev_ptr d = find_exact(mac)) {
            orvi_subdev_locked(d, [](orvi_subdev_list_t &r) { r.online = 0; });
        } else {
            ORVI_LOGW("'%s' is not registered, no record to mark offline", mac);
        }
        // A wired device that left its bus leaves the list of devices seen
        // there, whether it is registered or not.
        orvi_subdev_info_t info;
        if (product_linkinglist_dev_get(mac, 0, 1, &info)) {
            orvi_linkinglist_dev_remove(mac, info.dev_type);
            if (product_linkinglist_dev_get(mac, 0, 1, nullptr)) {
                ORVI_LOGW("delete failure");
            } else {
                ORVI_LOGI("delete success");
            }
        }
    }
    cJSON_ArrayForEach(item, online) {
        const char *mac = cJSON_IsString(item) ? item->valuestring : nullptr;
        if (!mac_ok(mac, "onlineSub")) continue;
        orvi_subdev_ptr d = find_exact(mac);
        if (!d) {
            ORVI_LOGW("'%s' is not registered, skipped", mac);
            continue;
        }
        ORVI_LOGI("'%s' is online!", mac);
        const dev_type_t type = orvi_subdev_locked(d, [](orvi_subdev_list_t &r) {
            r.online = 1;
            return r.dev_type;
        });
        product_linkinglist_linedev_online(mac, type);
    }

    const std::string home = product_get_mac_str();
    const std::string host = product_get_host_mac_str();
    json_ptr a = new_object();
    add_text(a.get(), "t", "connect");
    cJSON_AddNumberToObject(a.get(), "online", 1);
    add_text(a.get(), "mac", home);
    cJSON *on = cJSON_AddArrayToObject(a.get(), "onlineSub");
    cJSON *off = cJSON_AddArrayToObject(a.get(), "offlineSub");
    if (!on || !off) ORVI_NO_MEM(sizeof(cJSON));
    const std::vector<orvi_subdev_ptr> table = product_subdev_list_snapshot();
    for (size_t i = 0; i < table.size(); ++i) {
        if (!table[i]) {
            ORVI_LOGW("host_info->subList is NULL!");
            continue;
        }
        const orvi_subdev_fields_t f = orvi_subdev_snapshot(table[i]);
        switch (f.dev_type) {
            case DEV_TYPE_MINIPRO:
            case DEV_TYPE_NONE:
            case DEV_TYPE_UDP:
            case DEV_TYPE_WIFI:
            case DEV_TYPE_GATEWAY:
                continue;
            default:
                break;
        }
        const std::string_view m = orvi_field_view(f.mac);
        if (m == host || m == home) {
            ORVI_LOGW("index %zu,type:%d;why the subList have host info %s??????", i, f.dev_type, f.mac);
            continue;
        }
        cJSON_AddItemToArray(f.online == 1 ? on : off, cJSON_CreateString(std::string(m).c_str()));
    }
    cJSON_AddItemToArray(on, cJSON_CreateString(host.c_str()));
    orvi_request_set_response(req, a.get(), AES_KEY_TYPE_DEFAULT);
    event_host_onlinesub_publish();
    return 0;
}

// ---- subDev, checksub ------------------------------------------------------------

ORVI_HANDLER(request_handle_subDev) {
    if (!json || !req) return -1;
    long long start = 0;
    if (!str_of(json, "mac") || !cJSON_GetObjectItemCaseSensitive(json, "cid") || !str_of(json, "t") ||
        !int_in(num_of(json, "i"), 0, INT_MAX, &start)) {
        ORVI_LOGW("parameters invalid!");
        return -1;
    }
    const std::vector<orvi_subdev_info_t> seen =
        product_subdev_info_list_snapshot(product_get_linking_list(0));
    json_ptr list = new_array();
    int total = 0, taken = 0;
    long long next = start;
    for (const orvi_subdev_info_t &e : seen) {
        const std::string mac(orvi_field_view(e.mac));
        if (find_exact(mac)) continue;
        if (total++ < start || taken >= ORVI_SUBDEV_PAGE) continue;
        cJSON *o = cJSON_CreateObject();
        if (!o) ORVI_NO_MEM(sizeof(cJSON));
        add_text(o, "mac", mac);
        cJSON_AddNumberToObject(o, "on", e.online ? 1 : 0);
        add_text(o, "mid", std::string(orvi_field_view(e.mid)));
        cJSON_AddItemToArray(list.get(), o);
        next = total;
        if (++taken == ORVI_SUBDEV_PAGE) ORVI_LOGI("devices insert %d devices!", ORVI_SUBDEV_PAGE);
    }
    ORVI_LOGI("All of the devices ,have %d ,commit %d now at index %lld", total, taken, next);
    json_ptr a = new_object();
    add_text(a.get(), "t", "subList");
    cJSON_AddNumberToObject(a.get(), "i", static_cast<double>(next));
    cJSON_AddNumberToObject(a.get(), "c", total);
    cJSON_AddNumberToObject(a.get(), "r", 200);
    add_text(a.get(), "tcid", "0");
    add_text(a.get(), "mac", product_get_mac_str());
    cJSON_AddItemToObject(a.get(), "list", list.release());
    orvi_request_set_response(req, a.get(), AES_KEY_TYPE_RANDOM);
    return 0;
}

ORVI_HANDLER(request_handle_checksub) {
    if (!json) return -1;
    if (cJSON_GetObjectItemCaseSensitive(json, "mac")) {
        orvi_host_status_upload_mqtt();
        ask_service(DEV_TYPE_TOVRA, "status", "0");
        ask_service(DEV_TYPE_TOVRA, "online", "0");
        const product_host_counts_t counts = product_get_host_counts();
        const uint32_t can = counts.canCnt, d485 = counts.d485Cnt;
        if (can) {
            ask_service(DEV_TYPE_CAN, "online", "0");
            ask_service(DEV_TYPE_CAN, "status", "0");
        }
        if (d485) {
            ask_service(DEV_TYPE_485, "online", "0");
            ask_service(DEV_TYPE_485, "status", "0");
        }
        return 0;
    }
    const char *sub = str_of(json, "sub");
    if (!sub) {
        ORVI_LOGW("checksub packet has neither 'mac' nor 'sub'");
        return -1;
    }
    if (!mac_ok(sub, "checksub")) return -1;
    orvi_subdev_ptr d = find_exact(sub);
    if (!d) {
        ORVI_LOGW("'%s' is not registered, nothing to check", sub);
        return -1;
    }
    const dev_type_t type = orvi_subdev_snapshot(d).dev_type;
    ask_service(type, "status", sub);
    ask_service(type, "online", sub);
    return 0;
}

// ---- getLoginInfo -----------------------------------------------------------------

ORVI_HANDLER(request_handle_getLoginInfo) {
    if (!json || !req || !dev) return -1;
    int r = 200;
    if (orvi_subdev_snapshot(dev).f_register != SERVER_REGISTERED) {
        ORVI_LOGW("dev_list is not register ");
        r = 404;
    }
    const cJSON *names = cJSON_GetObjectItemCaseSensitive(json, "loginInfo");
    if (!names) {
        ORVI_LOGW("json_login is NULL");
        return -1;
    }
    if (!cJSON_IsArray(names)) {
        ORVI_LOGW("getLoginInfo type isn't cjson_array");
        return -1;
    }
    json_ptr info = new_object();
    const cJSON *name;
    cJSON_ArrayForEach(name, names) {
        if (r != 200) break;
        const char *n = cJSON_IsString(name) ? name->valuestring : "";
        if (strcmp(n, "mqttUser") == 0) {
            add_text(info.get(), n, product_get_mqttuser());
        } else if (strcmp(n, "mqttPsw") == 0) {
            add_text(info.get(), n, product_get_mqttpsw());
        } else if (strcmp(n, "redisPsw") == 0) {
            add_text(info.get(), n, product_get_redispsw());
        } else if (strcmp(n, "mqttPort") == 0) {
            cJSON_AddNumberToObject(info.get(), n, 1883);
        } else if (strcmp(n, "QnetID") == 0) {
            if (orvi_subdev_snapshot(dev).macId < 1) assign_macId(dev.get());
            cJSON_AddNumberToObject(info.get(), n, orvi_subdev_snapshot(dev).macId);
        } else {
            ORVI_LOGW("option invalid");
            r = 406;
        }
    }
    json_ptr a = new_object();
    add_text(a.get(), "t", "loginInfoRes");
    cJSON_AddNumberToObject(a.get(), "r", r);
    cJSON_AddItemToObject(a.get(), "loginInfo", info.release());
    orvi_request_set_response(req, a.get(), AES_KEY_TYPE_RANDOM);
    return 0;
}

// ---- Senders -------------------------------------------------------------------------

ORVI_SENDER(orvi_send_syncDev) {
    if (!req) return -1;
    uint32_t cur, total;
    sync_counters(&cur, &total);
    json_ptr a = new_object();
    add_text(a.get(), "t", "syncDev");
    add_text(a.get(), "cid", product_get_mac_str());
    cJSON_AddNumberToObject(a.get(), "i", cur);
    orvi_request_set_response(req, a.get(), AES_KEY_TYPE_RANDOM);
    return 0;
}

ORVI_SENDER(orvi_send_syncDone) {
    if (!req) return -1;
    uint32_t cur, total;
    sync_counters(&cur, &total);
    if (cur < total) {
        ORVI_LOGW("device list sync at %u of %u, no syncDone yet", cur, total);
        return -1;
    }
    json_ptr a = new_object();
    add_text(a.get(), "t", "syncDone");
    add_text(a.get(), "mac", product_get_mac_str());
    cJSON_AddNumberToObject(a.get(), "sum", cur);
    const std::string text = print(a.get());
    ORVI_LOGI("send syncDone :%s", text.c_str());
    orvi_request_set_response_text(req, text, AES_KEY_TYPE_RANDOM);
    return 0;
}

ORVI_SENDER(orvi_send_upDevList) {
    if (!req) return -1;
    std::string text;
    {
        orvi::MutexLock lk(orvi_bind_updevlist_mu);
        text.swap(g_updevlist);
    }
    if (text.empty()) {
        ORVI_LOGW("no device list prepared, upDevList not sent");
        return -1;
    }
    orvi_request_set_response_text(req, text, AES_KEY_TYPE_RANDOM);
    return 0;
}

void orvi_upDevList_set(const std::string &text) {
    orvi::MutexLock lk(orvi_bind_updevlist_mu);
    g_updevlist = text;
}

// ---- Sync timer -----------------------------------------------------------------------

int syncDev_send_ack_check(const orvi_subdev_ptr &dev) {
    orvi::MutexLock lk(orvi_bind_sync_mu);
    g_sync.target = dev;
    g_sync.repeat = 0;
    g_sync.last_index = -1;
    if (g_sync.timer < 0) {
        g_sync.timer =
            orvi_timer_create(ORVI_SYNCDEV_TIMER, syncdev_timeout_cb, ORVI_SYNCDEV_PERIOD_MS, nullptr, 0);
        if (g_sync.timer < 0) {
            ORVI_LOGW("%s timer is fail!", ORVI_SYNCDEV_TIMER);
            return -1;
        }
        return 0;
    }
    return orvi_timer_start(g_sync.timer);
}

int syncDev_timeout_step(void) {
    uint32_t cur, total;
    sync_counters(&cur, &total);
    orvi_subdev_ptr target;
    {
        orvi::MutexLock lk(orvi_bind_sync_mu);
        if (!g_sync.target) return 0;  // no sync under way (ended or never started)
        bool end = cur >= total;
        if (!end) {
            if (static_cast<long>(cur) != g_sync.last_index) {
                g_sync.last_index = cur;
                g_sync.repeat = 0;
            } else if (g_sync.repeat >= ORVI_SYNCDEV_REPEAT_MAX) {
                ORVI_LOGW("device list sync stays at %u of %u, abandoned", cur, total);
                end = true;
            } else {
                ++g_sync.repeat;
            }
        }
        if (end) {
            if (g_sync.timer >= 0) orvi_timer_stop(g_sync.timer);
            g_sync.repeat = 0;
            g_sync.last_index = -1;
            g_sync.target.reset();
            return 0;
        }
        target = g_sync.target;
        if (g_sync.timer >= 0) orvi_timer_start(g_sync.timer);
    }
    if (orvi_event_post_dev(ORVI_EVENT_SYNCDEV, target) != 0) ORVI_LOGW("syncDev not posted");
    return 1;
}

// ---- Short ids, test reset -------------------------------------------------------------

int release_macId(const orvi_subdev_ptr &dev) {
    if (!dev) {
        ORVI_LOGW("subdev is NULL!");
        return -1;
    }
    orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { d.macId = -1; });
    return 0;
}

// Test entry, declared in tests/support/orvi_testing.h; the daemon never calls it.
void orvi_bind_sync_reset_for_test(void) {
    {
        orvi::MutexLock lk(orvi_bind_sync_mu);
        g_sync.timer = -1;
        g_sync.repeat = 0;
        g_sync.last_index = -1;
        g_sync.target.reset();
    }
    orvi::MutexLock lk(orvi_bind_updevlist_mu);
    g_updevlist.clear();
}
