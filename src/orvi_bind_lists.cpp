// The mini-app's lists: its device-list pages into the registry
// (devListPush), its room lists (roomListPush, upRoomInfo), and the
// acknowledgements of the host's own paged pushes (devListPushRes,
// DevOnlineRes/Done, CheckResRes/Done, syncPersistent). All run on the
// request task; the room push counter and the room-id update array are
// still kept under a lock of their own, so no other thread can ever see
// them half written. The rooms themselves are the registry's. Lock order:
// orvi_bind_room_mu -> the registry's table lock.
#include <climits>
#include <cstring>
#include <vector>

#include "event_publish.h"
#include "orvi_bind_handlers.h"
#include "orvi_bind_util.h"
#include "orvi_host_event.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_miniapp.h"
#include "orvi_product.h"
#include "orvi_subdev_ctrl.h"
#include "orvi_timer.h"
#include "orvi_utils.h"
#include "tovra_service.h"

using namespace bindutil;

// Rooms received so far in a paged room push.
orvi::Mutex orvi_bind_room_mu;
// The room-id updates gathered across the pages of one device-list push.
orvi::Mutex orvi_bind_roomid_mu;

namespace {

// Rooms received so far in a paged room push.
uint32_t g_room_push_cnt GUARDED_BY(orvi_bind_room_mu) = 0;

// {"mac", "roomId", "name"} objects gathered across the pages of one
// device-list push.
json_ptr g_roomid_updates GUARDED_BY(orvi_bind_roomid_mu);

bool refuse_not_app(const orvi_subdev_ptr &dev) {
    const dev_type_t t = orvi_subdev_snapshot(dev).dev_type;
    if (t == DEV_TYPE_MINIPRO) return false;
    ORVI_LOGW("dev_type is err, -> %d", t);
    return true;
}

// ---- Room list --------------------------------------------------------------------------

// One room element: {"id", "sId", "name"}, the name 1 to 127 characters.
bool room_of(const cJSON *e, dev_roomlist_t *out) {
    long long id = 0, sid = 0;
    const char *name = str_of(e, "name");
    if (!int_in(num_of(e, "id"), 0, UINT32_MAX, &id) || !int_in(num_of(e, "sId"), 0, UINT32_MAX, &sid) ||
        !name) {
        ORVI_LOGW("json_id or json_sid or json_name  is NULL");
        return false;
    }
    if (!name[0]) {
        ORVI_LOGW("room %lld has an empty name, skipped", id);
        return false;
    }
    if (!fits(out->name, name, "room name")) return false;
    out->id = static_cast<uint32_t>(id);
    out->sId = static_cast<uint32_t>(sid);
    orvi_field_set(out->name, name);
    return true;
}

// The valid rooms of `list`; an invalid element is skipped.
std::vector<dev_roomlist_t> rooms_of(const cJSON *list) {
    std::vector<dev_roomlist_t> rooms;
    const cJSON *e;
    cJSON_ArrayForEach(e, list) {
        dev_roomlist_t room{};
        if (room_of(e, &room)) rooms.push_back(room);
    }
    return rooms;
}

std::string rooms_text() {
    json_ptr arr = new_array();
    for (const dev_roomlist_t &r : product_roomlist_get()) {
        cJSON *o = cJSON_CreateObject();
        if (!o) ORVI_NO_MEM(sizeof(cJSON));
        cJSON_AddNumberToObject(o, "id", r.id);
        cJSON_AddNumberToObject(o, "sId", r.sId);
        cJSON_AddStringToObject(o, "name", r.name);
        cJSON_AddItemToArray(arr.get(), o);
    }
    return print(arr.get());
}

// ---- Device-list push -----------------------------------------------------------------

// What one devListPush page asks for.
struct page_mode {
    bool pairing = false;      // "pairMod" 1: a user pairing, rooms go to the devices
    bool change = false;       // "operType" 1
    bool room_update = false;  // a change of more than one device
};

// The texts of one device element, checked against their fields.
struct dev_texts {
    const char *mac, *name, *mid, *hid, *key, *ver, *vender;
    long long roomId;
};

bool dev_texts_of(const cJSON *e, const orvi_subdev_list_t &w, dev_texts *t) {
    t->mac = str_of(e, "mac");
    t->name = str_of(e, "name");
    t->mid = str_of(e, "mid");
    t->hid = str_of(e, "hid");
    t->key = str_of(e, "key");
    t->ver = str_of(e, "ver");
    t->vender = str_of(e, "vender");
    if (!t->mac || !t->name || !num_of(e, "roomId") || !t->mid || !t->hid || !t->key || !t->ver ||
        !t->vender) {
        ORVI_LOGW("jmac jname jname jroomId jmid jhid key jver jvender is NULL");
        return false;
    }
    if (!t->name[0] || !mac_ok(t->mac, "devListPush")) {
        ORVI_LOGW("device mac or name is empty, skipped");
        return false;
    }
    if (!int_in(num_of(e, "roomId"), 0, UINT32_MAX, &t->roomId)) {
        ORVI_LOGW("'%s' roomId is not a room id, skipped", t->mac);
        return false;
    }
    return fits(w.name, t->name, "name") && fits(w.mid, t->mid, "mid") && fits(w.hid, t->hid, "hid") &&
           fits(w.key, t->key, "key") && fits(w.ver, t->ver, "ver") && fits(w.vender, t->vender, "vender");
}

// Optional members: "macId", "devNoteName", "devExt". False when one is
// present but cannot be taken (the element is skipped).
bool dev_optionals(const cJSON *e, orvi_subdev_list_t *w) {
    if (const cJSON *id = num_of(e, "macId")) {
        long long v = 0;
        if (!int_in(id, INT32_MIN, INT32_MAX, &v)) {
            ORVI_LOGW("'%s' macId is not a short id, skipped", w->mac);
            return false;
        }
        w->macId = static_cast<int32_t>(v);
    }
    if (const char *note = str_of(e, "devNoteName")) {
        if (!fits(w->noteName, note, "devNoteName")) return false;
        orvi_field_set(w->noteName, note);
    }
    const cJSON *ext = cJSON_GetObjectItemCaseSensitive(e, "devExt");
    if (ext && !cJSON_IsNull(ext)) {
        std::string text = cJSON_IsString(ext) ? ext->valuestring : print(ext);
        ORVI_LOGI("devExt is %s", text.c_str());
        w->devExt = std::make_shared<const std::string>(string_char_filter(text, '\\'));
    }
    return true;
}

bool stays_offline_type(dev_type_t t) {
    return t == DEV_TYPE_CAN || t == DEV_TYPE_485 || t == DEV_TYPE_PWRGATEWAY || t == DEV_TYPE_CENTCTRL ||
           t == DEV_TYPE_MJGATEWAY;
}

void roomid_update_add(const orvi_subdev_list_t &w) {
    cJSON *o = cJSON_CreateObject();
    if (!o) ORVI_NO_MEM(sizeof(cJSON));
    cJSON_AddStringToObject(o, "mac", w.mac);
    cJSON_AddNumberToObject(o, "roomId", w.roomId);
    cJSON_AddStringToObject(o, "name", w.name);
    orvi::MutexLock lk(orvi_bind_roomid_mu);
    if (!g_roomid_updates) g_roomid_updates = new_array();
    cJSON_AddItemToArray(g_roomid_updates.get(), o);
}

// One device of a page into the registry.
void devlist_element(const cJSON *e, const page_mode &mode, long long sum) {
    if (!cJSON_IsObject(e)) {
        ORVI_LOGW("devList element is not an object, skipped");
        return;
    }
    orvi_subdev_list_t w;
    dev_texts t{};
    if (!dev_texts_of(e, w, &t)) return;
    const bool is_virtual = strchr(t.mid, '_') != nullptr;
    const orvi_subdev_ptr known = is_virtual ? nullptr : find_exact(t.mac);
    if (known) w = copy_of(known);
    const orvi_subdev_fields_t before = known ? orvi_subdev_snapshot(known) : orvi_subdev_fields_t{};

    uint32_t room = static_cast<uint32_t>(t.roomId);
    if (mode.pairing) {
        const int sid = roomId_to_sId(room);
        if (sid >= 0) {
            room = static_cast<uint32_t>(sid);
        } else {
            ORVI_LOGW("room %u of '%s' has no short id in the room list, kept as it is", room, t.mac);
        }
    }
    orvi_field_set(w.mac, t.mac);
    orvi_field_set(w.name, t.name);
    orvi_field_set(w.mid, t.mid);
    orvi_field_set(w.hid, t.hid);
    orvi_field_set(w.key, t.key);
    orvi_field_set(w.ver, t.ver);
    orvi_field_set(w.vender, t.vender);
    w.roomId = room;
    if (!dev_optionals(e, &w)) return;

    if (is_virtual) {
        w.online = 1;
        w.hb_ticks = static_cast<unsigned long>(orvi_get_ticks());
        event_virtual_devinfo_publish(std::make_shared<orvi_subdev_list_t>(w));
        return;
    }
    if (product_subdev_type_adapter(&w) != 0 || w.dev_type == DEV_TYPE_NONE) {
        ORVI_LOGW("device type adapter failed,mac :%s ,type:%d", w.mac, w.dev_type);
        return;
    }
    if (!stays_offline_type(w.dev_type)) w.online = 1;
    w.hb_ticks = w.dev_type == DEV_TYPE_CENTCTRL ? ULONG_MAX : static_cast<unsigned long>(orvi_get_ticks());
    w.f_register = SERVER_REGISTERED;
    if (w.dev_type == DEV_TYPE_OPGATEWAY || w.dev_type == DEV_TYPE_OPDEV)
        event_opDevices_info_publish(nullptr, std::make_shared<orvi_subdev_list_t>(w), w.dev_type, 1);
    if (mode.room_update) roomid_update_add(w);

    const orvi_subdev_ptr rec = product_add_subdev_to_host(&w);
    if (!rec) {
        ORVI_LOGW("'%s' cannot be stored, skipped", w.mac);
        return;
    }
    // The merge keeps a known record's live state: what this push decides
    // about it is set here.
    orvi_subdev_locked(rec, [&](orvi_subdev_list_t &d) {
        d.online = w.online;
        d.hb_ticks = w.hb_ticks;
        d.f_register = SERVER_REGISTERED;
    });
    const dev_type_t type = orvi_subdev_snapshot(rec).dev_type;
    if (known && type == DEV_TYPE_UDP && before.roomId != room) {
        event_room_set_publish(w.mid, w.mac, room);
        orvi_udpdev_set_roomId(rec, room);
    }
    if (mode.change && sum > 1) {
        orvi_event_post_dev(ORVI_EVENT_DEVINFO, rec);
    } else {
        event_sub_devinfo_publish(rec, 1);
    }
    if (mode.pairing && type == DEV_TYPE_TOVRA) new_online_device_list(w.mac);
    if (mode.pairing && (type == DEV_TYPE_UDP || type == DEV_TYPE_TOVRA)) {
        event_room_set_delay_publish(w.mac, 0);
        if (type == DEV_TYPE_UDP) orvi_udpdev_set_roomId(rec, room);
    }
}

// ---- Linking lists of the persistent sync -----------------------------------------------

// The linking list a sync type walks: 0 all wired, 1 CAN, 2 and 14 RS-485;
// null for the types served from the main table.
orvi_subdev_info_list_t *linking_of(int type) {
    return product_get_linking_list(type);
}

int sync_type_get() {
    return static_cast<int>(product_get_sync_persistent_type());
}

void sync_type_set(int type) {
    product_set_sync_persistent_type(static_cast<dev_type_t>(type));
}

// The "syncPersistent" choice shared by the packet and the bus forms.
// Returns the "sum" of the answer, or -1 when the request is refused.
long persistent_choose(const cJSON *json, const orvi_subdev_ptr &dev, bool from_bus) {
    const cJSON *t = cJSON_GetObjectItemCaseSensitive(json, "t");
    const cJSON *oper = cJSON_GetObjectItemCaseSensitive(json, "oper");
    if (!t || !oper) {
        ORVI_LOGW("t_json or oper_json is NULL!");
        return -1;
    }
    if (!cJSON_IsNumber(oper)) {
        ORVI_LOGW("oper_json isn't oper_json!");
        return -1;
    }
    if (oper->valuedouble == 0) {
        sync_type_set(DEV_TYPE_MAX);
        checkRes_send_retry_cansle();
        return -2;
    }
    if (oper->valuedouble != 1) {
        ORVI_LOGW("value error!");
        return -1;
    }
    long long type = 0;
    if (!int_in(num_of(json, "type"), 0, DEV_TYPE_ALL_MAX, &type)) {
        ORVI_LOGW("type value error!");
        return -1;
    }
    sync_type_set(static_cast<int>(type));
    if (from_bus) {
        if (type == 0 || type == DEV_TYPE_CAN) uds_subdev_status_check_publish(DEV_TYPE_CAN, "status", "0");
        if (type == 0 || type == DEV_TYPE_485) uds_subdev_status_check_publish(DEV_TYPE_485, "status", "0");
    }
    if (type == DEV_TYPE_OPGATEWAY) {
        uds_subdev_status_check_publish(DEV_TYPE_OPGATEWAY, "status", "0");
        return 0;
    }
    const bool linking = type <= DEV_TYPE_485 || (from_bus && type == DEV_TYPE_MJGATEWAY);
    if (linking) {
        orvi_subdev_info_list_t *list = linking_of(static_cast<int>(type));
        if (!list) {
            ORVI_LOGW("linking list of type %lld is not created", type);
            return -1;
        }
        const int selector = type == DEV_TYPE_MJGATEWAY ? DEV_TYPE_485 : static_cast<int>(type);
        list->synced_index.store(type == DEV_TYPE_MJGATEWAY ? 0u : static_cast<uint32_t>(-1));
        if (from_bus && !dev) {
            event_syncAckHttp_send(list, selector, 0);
        } else {
            orvi_miniApp_devListPush_send(dev, 0, 0, list, selector);
        }
        return static_cast<long>(list->subdev_count.load());
    }
    const std::vector<orvi_subdev_ptr> table = product_subdev_list_snapshot();
    const long sum = product_subDevList_devType_count(table.data(), static_cast<int>(table.size()),
                                                      static_cast<int>(type));
    if (from_bus && !dev) {
        for (const orvi_subdev_ptr &d : product_subdev_list_snapshot()) {
            const orvi_subdev_fields_t f = orvi_subdev_snapshot(d);
            if (product_dev_type_isPaired(f.dev_type, static_cast<unsigned>(type), f.mid) == 0)
                event_syncAckHttp_devListPush_publish(d, 0);
        }
    } else {
        orvi_miniApp_devListPush_send(dev, 1, 0, nullptr, static_cast<int>(type));
    }
    return sum;
}

// "t", "i" and "num" of an acknowledgement of a paged push named `name`.
bool page_ack_of(const cJSON *json, const char *name, long long *i, long long *num) {
    const char *t = str_of(json, "t");
    const cJSON *ji = num_of(json, "i"), *jn = num_of(json, "num");
    if (!t || !ji || !jn) {
        ORVI_LOGW("t_json or i_json or num_json t is NULL!");
        return false;
    }
    if (strcmp(t, name) != 0) {
        ORVI_LOGW("it's no %s package!", name);
        return false;
    }
    if (!int_in(ji, 0, INT_MAX, i) || !int_in(jn, 0, INT_MAX, num) || *i + *num > INT_MAX) {
        ORVI_LOGW("%s index %g and count %g are not a page", name, ji->valuedouble, jn->valuedouble);
        return false;
    }
    return true;
}

}  // namespace

// ---- devListPush --------------------------------------------------------------------------

ORVI_HANDLER(request_handle_devListPush) {
    if (!json || !req || !dev) return -1;
    if (refuse_not_app(dev)) return -1;
    const cJSON *list = cJSON_GetObjectItemCaseSensitive(json, "devList");
    long long i = 0;
    if (!cJSON_IsArray(list) || !int_in(num_of(json, "i"), 0, UINT32_MAX, &i)) {
        ORVI_LOGW("jdevList or ji is NULL!");
        return -1;
    }
    page_mode mode;
    const cJSON *pair = num_of(json, "pairMod"), *oper = num_of(json, "operType"),
                *jsum = num_of(json, "sum");
    mode.pairing = pair && pair->valuedouble == 1;
    mode.change = oper && oper->valuedouble == 1;
    const long long sum = jsum ? static_cast<long long>(jsum->valueint) : 0;
    mode.room_update = mode.change && sum > 1;
    const int size = cJSON_GetArraySize(list);

    uint32_t cur, total;
    product_minipro_sync_get(&cur, nullptr);
    if (static_cast<uint32_t>(i) != cur) {
        ORVI_LOGW("i value[%lld] is unequal to host_info->miniprocurCnt[%u] !", i, cur);
    } else {
        if (mode.room_update && i == 0) {
            orvi::MutexLock lk(orvi_bind_roomid_mu);
            g_roomid_updates.reset();
        }
        const cJSON *e;
        cJSON_ArrayForEach(e, list) devlist_element(e, mode, sum);
        product_minipro_sync_advance(static_cast<uint32_t>(size));
    }
    product_minipro_sync_get(&cur, &total);
    json_ptr a = new_object();
    if (cur < total) {
        cJSON_AddStringToObject(a.get(), "t", "devListPushRes");
        cJSON_AddNumberToObject(a.get(), "i", static_cast<double>(i));
        cJSON_AddNumberToObject(a.get(), "num", size);
        cJSON_AddNumberToObject(a.get(), "sum", total);
        orvi_request_set_response(req, a.get(), AES_KEY_TYPE_RANDOM);
        return 0;
    }
    orvi_event_post_dev(ORVI_EVENT_SYNCDONE, dev);
    cJSON_AddStringToObject(a.get(), "t", "syncDone");
    cJSON_AddStringToObject(a.get(), "mac", product_get_mac_str().c_str());
    cJSON_AddNumberToObject(a.get(), "sum", cur);
    orvi_request_set_response(req, a.get(), AES_KEY_TYPE_RANDOM);
    json_ptr updates;
    {
        orvi::MutexLock lk(orvi_bind_roomid_mu);
        updates = std::move(g_roomid_updates);
    }
    if (updates && cJSON_GetArraySize(updates.get()) > 0) event_update_roomId_publish(updates.get());
    return 0;
}

// ---- Acknowledgements of the host's pushes ------------------------------------------------

ORVI_HANDLER(request_handle_devListPushRes) {
    if (!json || !dev) return -1;
    const cJSON *ji = cJSON_GetObjectItemCaseSensitive(json, "i");
    const cJSON *jn = cJSON_GetObjectItemCaseSensitive(json, "num");
    const cJSON *js = cJSON_GetObjectItemCaseSensitive(json, "sum");
    if (!ji || !jn || !js) {
        ORVI_LOGW("t_json or i_json or num_json or sum_json is NULL!");
        return -1;
    }
    long long i = 0, num = 0, sum = 0;
    if (!int_in(ji, 0, INT_MAX, &i) || !int_in(jn, 0, INT_MAX, &num) || !int_in(js, 0, INT_MAX, &sum) ||
        i + num > INT_MAX) {
        ORVI_LOGW("type isn't oper_json!");
        return -1;
    }
    const int type = sync_type_get();
    orvi_subdev_info_list_t *list = linking_of(type == DEV_TYPE_MJGATEWAY ? -1 : type);
    long long next = i + num;
    if (next >= sum) {
        ORVI_LOGI("sync done!");
        checkRes_send_retry_cansle();
        // A linking list that grew during the push still has pages to give.
        if (!list || list->subdev_count.load() <= sum) return 0;
    }
    if (list) {
        const long long count = list->subdev_count.load();
        if (next > count) next = count;
        list->synced_index.store(static_cast<uint32_t>(next));
        return orvi_miniApp_devListPush_send(dev, 0, static_cast<int>(next), list, type) == 0 ? 0 : -1;
    }
    return orvi_miniApp_devListPush_send(dev, 1, static_cast<int>(next), nullptr, type) == 0 ? 0 : -1;
}

ORVI_HANDLER(request_handle_devOnlineRes) {
    if (!json) return -1;
    long long i = 0, num = 0;
    if (!page_ack_of(json, "DevOnlineRes", &i, &num)) return -1;
    if (checkRes_devOnlinePush_send(dev, static_cast<int>(i + num), false) != 0) {
        ORVI_LOGW("checkRes_devOnlinePush_send failed!");
        return -1;
    }
    return 0;
}

ORVI_HANDLER(request_handle_checkResRes) {
    if (!json) return -1;
    long long i = 0, num = 0;
    if (!page_ack_of(json, "CheckResRes", &i, &num)) return -1;
    if (checkRes_checkResPush_send(dev, static_cast<int>(i + num), false) != 0) {
        ORVI_LOGW("checkRes_devOnlinePush_send failed!");
        return -1;
    }
    return 0;
}

ORVI_HANDLER(request_handle_devOnlineDone) {
    if (!json) return -1;
    const cJSON *sum = num_of(json, "sum");
    if (!str_of(json, "t") || !sum) {
        ORVI_LOGW("t_json or sum_json is NULL!");
        return -1;
    }
    const uint32_t cnt = product_get_host_subdev_count();
    if (sum->valuedouble != cnt)
        ORVI_LOGW("devOnline push number failed!dev count is %u ,push number is %d", cnt, sum->valueint);
    checkRes_send_retry_cansle();
    return 0;
}

ORVI_HANDLER(request_handle_checkResDone) {
    if (!json) return -1;
    if (!str_of(json, "t") || !num_of(json, "sum")) {
        ORVI_LOGW("t_json or sum_json is NULL!");
        return -1;
    }
    checkRes_send_retry_cansle();
    return 0;
}

// ---- syncPersistent -----------------------------------------------------------------------

ORVI_HANDLER(request_handle_syncPersistent) {
    if (!json || !req) return -1;
    const long sum = persistent_choose(json, dev, false);
    if (sum == -2) return 0;  // the push was ended; nothing to answer
    if (sum < 0) return -1;
    json_ptr a = new_object();
    cJSON_AddStringToObject(a.get(), "t", "syncPersistentAck");
    cJSON_AddStringToObject(a.get(), "mac", product_get_mac_str().c_str());
    cJSON_AddNumberToObject(a.get(), "sum", sum);
    orvi_request_set_response(req, a.get(), AES_KEY_TYPE_RANDOM);
    return 0;
}

int orvi_syncPersistent_handle(const cJSON *json, const orvi_subdev_ptr &dev) {
    if (!json) {
        ORVI_LOGW("t_json or oper_json is NULL!");
        return -1;
    }
    return persistent_choose(json, dev, true) == -1 ? -1 : 0;
}

// ---- Rooms -----------------------------------------------------------------------------------

ORVI_HANDLER(request_handle_roomListPush) {
    if (!json || !req || !dev) return -1;
    if (refuse_not_app(dev)) return -1;
    const cJSON *t = cJSON_GetObjectItemCaseSensitive(json, "t");
    const cJSON *ji = cJSON_GetObjectItemCaseSensitive(json, "i");
    const cJSON *js = cJSON_GetObjectItemCaseSensitive(json, "sum");
    const cJSON *list = cJSON_GetObjectItemCaseSensitive(json, "roomList");
    if (!t || !ji || !js || !list) {
        ORVI_LOGW("data error!");
        return -1;
    }
    if (!cJSON_IsString(t) || strcmp(t->valuestring, "roomListPush") != 0) {
        ORVI_LOGW("this package isn't roomListPush!");
        return -1;
    }
    long long i = 0, sum = 0;
    if (!cJSON_IsArray(list) || !int_in(ji, 0, INT_MAX, &i) || !int_in(js, 0, INT_MAX, &sum)) {
        ORVI_LOGW("type illegal!");
        return -1;
    }
    if (i >= sum) {
        ORVI_LOGW("i:%lld bigger than sum:%lld!", i, sum);
        return -1;
    }
    const int size = cJSON_GetArraySize(list);
    long long num;
    bool done = false;
    std::string rooms;
    {
        orvi::MutexLock lk(orvi_bind_room_mu);
        if (i == 0) g_room_push_cnt = 0;
        if (i == g_room_push_cnt) {
            // The whole page counts as taken, stored or dropped: the app moves
            // on by "num", so a malformed room or a full list must not make it
            // send the same page again and again.
            const std::vector<dev_roomlist_t> page = rooms_of(list);
            const int stored = product_roomlist_append(page.data(), static_cast<int>(page.size()), i == 0);
            if (stored < size) ORVI_LOGW("room page at %lld: %d of %d rooms stored", i, stored, size);
            num = size;
            g_room_push_cnt += static_cast<uint32_t>(size);
        } else {
            num = static_cast<long long>(g_room_push_cnt) - i;
        }
        if (g_room_push_cnt >= sum) {
            done = true;
            rooms = rooms_text();
            g_room_push_cnt = 0;
        }
    }
    json_ptr a = new_object();
    if (!done) {
        cJSON_AddStringToObject(a.get(), "t", "roomListPushRes");
        cJSON_AddNumberToObject(a.get(), "i", static_cast<double>(i));
        cJSON_AddNumberToObject(a.get(), "num", static_cast<double>(num));
        cJSON_AddNumberToObject(a.get(), "sum", static_cast<double>(sum));
    } else {
        cJSON_AddStringToObject(a.get(), "t", "syncRoomListDone");
        cJSON_AddNumberToObject(a.get(), "sum", static_cast<double>(sum));
        cJSON_AddStringToObject(a.get(), "mac", product_get_mac_str().c_str());
        orvi_event_post_text(ORVI_EVENT_ROOMLIST, rooms);
    }
    orvi_request_set_response(req, a.get(), AES_KEY_TYPE_RANDOM);
    return 0;
}

ORVI_HANDLER(request_handle_upRoomInfo) {
    if (!json || !req) return -1;
    const cJSON *list = cJSON_GetObjectItemCaseSensitive(json, "roomList");
    if (!cJSON_IsArray(list)) {
        ORVI_LOGW("json_roomlist is null");
        return -1;
    }
    if (cJSON_GetArraySize(list) <= 0) {
        ORVI_LOGW("roomlist_size less than 0");
        return -1;
    }
    const std::vector<dev_roomlist_t> rooms = rooms_of(list);
    product_roomlist_set(rooms.data(), static_cast<int>(rooms.size()), ORVI_ROOM_DEFAULT_NAME);
    ORVI_LOGI("upRoomInfo:%s", req->req_data.c_str());
    orvi_event_post_text(ORVI_EVENT_ROOMINFO_HTTP, req->req_data);
    return 0;
}

// Test entry, declared in tests/support/orvi_testing.h; the daemon never calls it.
void orvi_bind_lists_reset_for_test(void) {
    {
        orvi::MutexLock lk(orvi_bind_room_mu);
        g_room_push_cnt = 0;
    }
    orvi::MutexLock lk(orvi_bind_roomid_mu);
    g_roomid_updates.reset();
}
