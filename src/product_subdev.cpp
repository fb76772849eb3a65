// The subdevice registry. See product_subdev.h for the locking rules; in
// short: the table lock for the table, its index, counters and rooms, the
// record's mu for its fields, the list's lock for a linking list; no call
// out of the registry (listeners included) while any of them is held, and no
// registry function calls another one that takes the table lock while it
// holds it.
#include "product_subdev.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <unordered_map>
#include <utility>

#include "orvi_field.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_mid_config.h"
#include "orvi_product.h"

const char *const ORVI_LINE_CTRL_HID = "LINE-CTRL-FW";

// The table lock, guarding the table, its MAC index, the counters and the rooms.
orvi::Mutex host_info_mu;
// Serialises the two-step updates of a type list and subLinkingList so the
// union never disagrees with its parts.
orvi::Mutex registry_linking_mu;
// Serialises the creation of a list behind a caller's pointer.
orvi::Mutex registry_list_init_mu;
orvi::Mutex registry_listeners_mu;

namespace {
constexpr int kLinkIdFirst = 300;
constexpr const char *kCurtainerMid = "80501";

// The registry container. The home's location, cloud domain, order id,
// Wi-Fi credentials and Qnet id, which the configuration file keeps, belong
// to identity (product_get_province and the rest).
typedef struct orvi_host_info_s {
    char Qnetkey[9];
    uint8_t minipro;
    uint32_t devCnt;
    uint32_t tovraCnt;
    uint32_t localCnt;
    uint32_t canCnt;
    uint32_t d485Cnt;
    uint32_t centctrlCnt;
    uint32_t miniproCnt;
    uint32_t miniprocurCnt;
    dev_roomlist_t roomlist[ORVI_ROOM_MAX];
    orvi_subdev_ptr subList[ORVI_SUBDEV_MAX];
    dev_type_t t_syncPersistent;
} orvi_host_info_t;

// Everything below is guarded by host_info_mu, the table lock.
orvi_host_info_t host_info GUARDED_BY(host_info_mu);
// The table's index: every stored MAC to its slot, and each 12-character
// switch MAC to the 14-character MACs of its gangs. Kept in step with every
// placement and move in the table, so a lookup is a hash probe.
std::unordered_map<std::string, uint32_t> g_slot_of GUARDED_BY(host_info_mu);
std::unordered_map<std::string, std::vector<std::string>> g_gangs_of GUARDED_BY(host_info_mu);

// The linking lists, created once by product_linkinglist_init and kept for
// the life of the process.
std::atomic<orvi_subdev_info_list_t *> g_list_can{nullptr};
std::atomic<orvi_subdev_info_list_t *> g_list_485{nullptr};
std::atomic<orvi_subdev_info_list_t *> g_list_all{nullptr};

// Replaced whole on registration, so a report reads them without holding a
// lock while the listeners run.
std::shared_ptr<const std::vector<product_subdev_listener_t>> g_listeners GUARDED_BY(registry_listeners_mu);

std::atomic<int> g_link_id{kLinkIdFirst};
std::string home_mac(void) {
    return product_get_mac_str();
}

std::string home_key(void) {
    return product_get_home_key();
}

using host_lock = orvi::MutexLock;
using rec_lock = orvi::MutexLock;

// Reports a change to every listener; never called with a registry lock
// held. The first non-zero answer is the result.
int report(const product_subdev_change_t &change) {
    std::shared_ptr<const std::vector<product_subdev_listener_t>> listeners;
    {
        orvi::MutexLock lk(registry_listeners_mu);
        listeners = g_listeners;
    }
    int rc = 0;
    if (!listeners) return rc;
    for (const product_subdev_listener_t &l : *listeners) {
        const int r = l(change);
        if (r != 0 && rc == 0) rc = r;
    }
    return rc;
}

int report(product_subdev_change_kind_t kind, const orvi_subdev_ptr &dev,
           const orvi_subdev_ptr &sub = nullptr) {
    return report(product_subdev_change_t{kind, dev, sub, nullptr, 0});
}

template <size_t N>
bool terminated(const char (&f)[N]) {
    return strnlen(f, N) < N;
}

template <size_t N>
void copy_field(char (&dst)[N], const char (&src)[N]) {
    std::memcpy(dst, src, N);
}

// Name of the first text field with no terminator inside its width, or
// null. Such a field came from a caller that overran it; cutting it would
// turn it into a different identity, so the record is refused instead.
const char *overlong_field(const orvi_subdev_fields_t &f) {
    if (!terminated(f.mac)) return "mac";
    if (!terminated(f.mid)) return "mid";
    if (!terminated(f.hid)) return "hid";
    if (!terminated(f.ver)) return "ver";
    if (!terminated(f.vender)) return "vender";
    if (!terminated(f.key)) return "key";
    if (!terminated(f.name)) return "name";
    if (!terminated(f.noteName)) return "noteName";
    if (!terminated(f.dev_socket.topic)) return "topic";
    return nullptr;
}

// Refuses a record that cannot be stored; logs why.
bool storable(const orvi_subdev_fields_t &f) {
    if (const char *bad = overlong_field(f)) {
        ORVI_LOGW("'%.*s' field %s is too long, refused", static_cast<int>(orvi_field_len(f.mac)), f.mac,
                  bad);
        return false;
    }
    if (!f.mac[0]) {
        ORVI_LOGW("mac is NULL!");
        return false;
    }
    return true;
}

dev_type_t type_of(const orvi_subdev_list_t &r) {
    rec_lock lk(r.mu);
    return r.dev_type;
}

bool is_wired_local(dev_type_t t) {
    return t == DEV_TYPE_CAN || t == DEV_TYPE_485 || t == DEV_TYPE_MJGATEWAY;
}

// ---- table helpers, host_info_mu held ----

int find_exact_locked(std::string_view mac) REQUIRES(host_info_mu) {
    auto it = g_slot_of.find(std::string(mac));
    return it == g_slot_of.end() ? -1 : static_cast<int>(it->second);
}

// The lookup rule: the exact MAC, or for a 12-character query a 14-character
// gang MAC that begins with it; the first of them in table order.
int find_query_locked(const std::string &q) REQUIRES(host_info_mu) {
    int best = find_exact_locked(q);
    if (q.size() != 12) return best;
    auto g = g_gangs_of.find(q);
    if (g == g_gangs_of.end()) return best;
    for (const std::string &gang : g->second) {
        const int at = find_exact_locked(gang);
        if (at >= 0 && (best < 0 || at < best)) best = at;
    }
    return best;
}

// The slot of `p` when `p` is the stored record of that MAC, else -1.
int find_stored_locked(const orvi_subdev_list_t *p, std::string_view mac) REQUIRES(host_info_mu) {
    const int at = find_exact_locked(mac);
    return at >= 0 && host_info.subList[at].get() == p ? at : -1;
}

bool is_gang(std::string_view mac) {
    return mac.size() == 14;
}

// subList[slot] has just received its record (new or moved): the index
// follows. A stored record's MAC never changes, so it is read unlocked.
void index_put_locked(uint32_t slot) REQUIRES(host_info_mu) {
    g_slot_of[std::string(orvi_field_view(host_info.subList[slot]->mac))] = slot;
}

void index_add_locked(uint32_t slot) REQUIRES(host_info_mu) {
    index_put_locked(slot);
    const std::string_view mac = orvi_field_view(host_info.subList[slot]->mac);
    if (is_gang(mac)) g_gangs_of[std::string(mac.substr(0, 12))].emplace_back(mac);
}

void index_erase_locked(std::string_view mac) REQUIRES(host_info_mu) {
    g_slot_of.erase(std::string(mac));
    if (!is_gang(mac)) return;
    auto g = g_gangs_of.find(std::string(mac.substr(0, 12)));
    if (g == g_gangs_of.end()) return;
    std::vector<std::string> &gangs = g->second;
    for (size_t i = 0; i < gangs.size(); ++i) {
        if (gangs[i] == mac) {
            gangs[i] = std::move(gangs.back());
            gangs.pop_back();
            break;
        }
    }
    if (gangs.empty()) g_gangs_of.erase(g);
}

// The per-type counters always describe what the table holds now, whatever
// changed a record's type since it was added.
struct type_counts {
    uint32_t can = 0, d485 = 0, tovra = 0, centctrl = 0;
};

type_counts count_types_locked(void) REQUIRES(host_info_mu) {
    type_counts c;
    for (uint32_t i = 0; i < host_info.devCnt; ++i) {
        switch (type_of(*host_info.subList[i])) {
            case DEV_TYPE_CAN:
                ++c.can;
                break;
            case DEV_TYPE_485:
            case DEV_TYPE_MJGATEWAY:
                ++c.d485;
                break;
            case DEV_TYPE_TOVRA:
                ++c.tovra;
                break;
            case DEV_TYPE_CENTCTRL:
                ++c.centctrl;
                break;
            default:
                break;
        }
    }
    return c;
}

void recount_locked(void) REQUIRES(host_info_mu) {
    const type_counts c = count_types_locked();
    host_info.canCnt = c.can;
    host_info.d485Cnt = c.d485;
    host_info.tovraCnt = c.tovra;
    host_info.centctrlCnt = c.centctrl;
}

// With the mini-app rule on, a MINIPRO record is the table's last entry.
// Called after a removal: puts a remaining MINIPRO record back at the end,
// or turns the rule off when none is left.
void keep_minipro_last_locked(void) REQUIRES(host_info_mu) {
    if (host_info.devCnt == 0) {
        host_info.minipro = 0;
        return;
    }
    uint32_t last = host_info.devCnt - 1;
    if (type_of(*host_info.subList[last]) == DEV_TYPE_MINIPRO) return;
    for (uint32_t i = last; i-- > 0;) {
        if (type_of(*host_info.subList[i]) == DEV_TYPE_MINIPRO) {
            std::swap(host_info.subList[i], host_info.subList[last]);
            index_put_locked(i);
            index_put_locked(last);
            return;
        }
    }
    host_info.minipro = 0;
}

// Record fields merged from a re-registration; the record's lock is taken.
void merge_into(orvi_subdev_list_t &dst, const orvi_subdev_fields_t &in) {
    rec_lock lk(dst.mu);
    if (in.name[0]) {
        ORVI_LOGI("miniApp register.");
        copy_field(dst.mid, in.mid);
        dst.macId = in.macId;
        dst.MidType = in.MidType;
        dst.roomId = in.roomId;
        dst.lock = in.lock;
        dst.scene = in.scene;
        dst.msgId = in.msgId;
        copy_field(dst.hid, in.hid);
        copy_field(dst.ver, in.ver);
        copy_field(dst.vender, in.vender);
        copy_field(dst.key, in.key);
        copy_field(dst.name, in.name);
        copy_field(dst.noteName, in.noteName);
        dst.f_register = in.f_register;
        if (in.hb_ticks) dst.hb_ticks = in.hb_ticks;
        if (in.devExt && in.devExt != dst.devExt) dst.devExt = in.devExt;
    } else if (in.dev_type != DEV_TYPE_CAN && in.dev_type != DEV_TYPE_485) {
        copy_field(dst.hid, in.hid);
        dst.scene = in.scene;
    } else if (orvi_field_view(dst.hid) != ORVI_LINE_CTRL_HID) {
        orvi_field_set(dst.hid, ORVI_LINE_CTRL_HID);
    }
}

// A fresh record holding the incoming fields; buffers and events start
// empty, so nothing but the immutable extension text is shared with the
// caller's record.
orvi_subdev_ptr new_record(orvi_subdev_fields_t &&in, bool with_events) {
    orvi_subdev_ptr rec;
    try {
        rec = std::make_shared<orvi_subdev_list_t>();
    } catch (const std::bad_alloc &) {
        ORVI_NO_MEM(sizeof(orvi_subdev_list_t));
    }
    static_cast<orvi_subdev_fields_t &>(*rec) = std::move(in);
    rec->data.clear();
    rec->binCmd.reset();
    rec->event_list.clear();
    rec->has_event_list = with_events;
    return rec;
}

int max_id_of(dev_type_t type) {
    host_lock lk(host_info_mu);
    int m = 0;
    for (uint32_t i = 0; i < host_info.devCnt; ++i) {
        const orvi_subdev_list_t &r = *host_info.subList[i];
        rec_lock rl(r.mu);
        if (r.dev_type == type && r.macId > m) m = r.macId;
    }
    return m;
}

// ---- types ----

// Looks a model up in the model configuration: 1 with *type set, 0 when the
// model is absent, -1 when there is no configuration or its entry is bad.
int config_type_lookup(const char *mid, int *type) {
    std::shared_ptr<const cJSON> doc = get_mid_config_json();
    if (!doc) {
        ORVI_LOGW("mid config is not loaded");
        return -1;
    }
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(doc.get(), mid);
    if (!item) {
        ORVI_LOGW("mid %s isn't existed in mid config", mid);
        return 0;
    }
    const cJSON *tv = cJSON_GetObjectItemCaseSensitive(item, "type_value");
    if (!tv) {
        ORVI_LOGW("mid %s haven't type value", mid);
        return -1;
    }
    if (!cJSON_IsNumber(tv)) {
        ORVI_LOGW("Is't number type");
        return -1;
    }
    double d = tv->valuedouble;
    if (!(d >= DEV_TYPE_NONE && d <= DEV_TYPE_MJGATEWAY) || d != static_cast<int>(d)) {
        ORVI_LOGW("type value is illegal:%d", tv->valueint);
        return -1;
    }
    *type = static_cast<int>(d);
    return 1;
}

// Whether a device of type src (model mid) falls under the selector pair;
// both at most DEV_TYPE_CURTAINER.
bool pair_match(unsigned src, unsigned pair, const char *mid) {
    switch (pair) {
        case 0:
            return src == DEV_TYPE_CAN || src == DEV_TYPE_485;
        case DEV_TYPE_GROUP_UDP_CENTCTRL:
            return src == DEV_TYPE_UDP || src == DEV_TYPE_CENTCTRL;
        case DEV_TYPE_GROUP_UDP_CENTCTRL_GW:
            return src == DEV_TYPE_UDP || src == DEV_TYPE_CENTCTRL || src == DEV_TYPE_GATEWAY;
        case DEV_TYPE_CURTAINER:
            return src == DEV_TYPE_TOVRA && mid && std::strcmp(mid, kCurtainerMid) == 0;
        default:
            return pair >= DEV_TYPE_CAN && pair <= DEV_TYPE_MJGATEWAY && src == pair;
    }
}

// The counting selectors: as the type selectors, except that 0 counts nothing.
bool count_match(const orvi_subdev_list_t &r, int selector) {
    return selector > 0 && selector <= DEV_TYPE_CURTAINER &&
           pair_match(r.dev_type, static_cast<unsigned>(selector), r.mid);
}

// Counts the records of `list` (up to its first empty slot) under the
// counting selector.
int count_in(const orvi_subdev_ptr *list, int size, int selector) {
    if (selector == 0) {
        ORVI_LOGW("type error!");
        return 0;
    }
    int n = 0;
    for (int i = 0; i < size && list[i]; ++i) {
        rec_lock rl(list[i]->mu);
        if (count_match(*list[i], selector)) ++n;
    }
    return n;
}

// ---- rooms, host_info_mu held ----

// Number of rooms held: the first entry with an empty name ends the list.
int rooms_held_locked(void) REQUIRES(host_info_mu) {
    int n = 0;
    while (n < ORVI_ROOM_MAX && host_info.roomlist[n].name[0])
        ++n;
    return n;
}

void rooms_clear_locked(void) REQUIRES(host_info_mu) {
    for (dev_roomlist_t &r : host_info.roomlist)
        r = dev_roomlist_t{};
}

// Appends after the rooms held, up to the list's end; a room without a name
// is skipped, never left as a hole that would end the list for its readers.
int rooms_append_locked(const dev_roomlist_t *rooms, int n) REQUIRES(host_info_mu) {
    int at = rooms_held_locked(), stored = 0;
    for (int k = 0; rooms && k < n; ++k) {
        const dev_roomlist_t &room = rooms[k];
        if (!room.name[0] || !terminated(room.name)) {
            ORVI_LOGW("room %u has no name, skipped", room.id);
            continue;
        }
        if (at >= ORVI_ROOM_MAX) {
            ORVI_LOGW("room list is full (%d rooms), room %u '%s' dropped", ORVI_ROOM_MAX, room.id,
                      room.name);
            continue;
        }
        host_info.roomlist[at++] = room;
        ++stored;
    }
    return stored;
}

// ---- JSON ----

cJSON *new_array(void) {
    cJSON *a = cJSON_CreateArray();
    if (!a) ORVI_NO_MEM(sizeof(cJSON));
    return a;
}

template <class R>
void add_info_object(cJSON *arr, const R &r) {
    cJSON *o = cJSON_CreateObject();
    if (!o) ORVI_NO_MEM(sizeof(cJSON));
    cJSON_AddStringToObject(o, "mac", std::string(orvi_field_view(r.mac)).c_str());
    cJSON_AddNumberToObject(o, "macId", r.macId);
    cJSON_AddStringToObject(o, "name", std::string(orvi_field_view(r.name)).c_str());
    cJSON_AddNumberToObject(o, "roomId", r.roomId);
    cJSON_AddStringToObject(o, "mid", std::string(orvi_field_view(r.mid)).c_str());
    cJSON_AddStringToObject(o, "hid", std::string(orvi_field_view(r.hid)).c_str());
    cJSON_AddStringToObject(o, "key", std::string(orvi_field_view(r.key)).c_str());
    cJSON_AddStringToObject(o, "ver", std::string(orvi_field_view(r.ver)).c_str());
    cJSON_AddStringToObject(o, "vender", std::string(orvi_field_view(r.vender)).c_str());
    cJSON_AddItemToArray(arr, o);
}

// ---- linking lists ----

enum linking_which { LINKING_CAN, LINKING_485, LINKING_ALL };

orvi_subdev_info_list_t *linking_list(linking_which w) {
    switch (w) {
        case LINKING_CAN:
            return g_list_can.load();
        case LINKING_485:
            return g_list_485.load();
        default:
            return g_list_all.load();
    }
}

// The list a wired type is kept in; null for the other types.
orvi_subdev_info_list_t *linking_list_of_type(int type) {
    if (type == DEV_TYPE_CAN) return linking_list(LINKING_CAN);
    if (type == DEV_TYPE_485 || type == DEV_TYPE_MJGATEWAY) return linking_list(LINKING_485);
    return nullptr;
}

// A type's list and the union.
struct linking_pair {
    orvi_subdev_info_list_t *type;
    orvi_subdev_info_list_t *all;
};
linking_pair linking_lists_of_type(int type) {
    return {linking_list_of_type(type), linking_list(LINKING_ALL)};
}

// Index of the MAC in the list.
int linking_find_locked(const orvi_subdev_info_list_t &l, std::string_view mac) REQUIRES(l.lock) {
    for (size_t i = 0; i < l.list.size(); ++i) {
        if (orvi_field_view(l.list[i].mac) == mac) return static_cast<int>(i);
    }
    return -1;
}

bool linking_contains(orvi_subdev_info_list_t *l, std::string_view mac) {
    if (!l) return false;
    orvi::MutexLock lk(l->lock);
    return linking_find_locked(*l, mac) >= 0;
}

// 1 when the entry was removed, 0 when the list did not hold it, -1 on
// null arguments. The last entry moves into the freed slot.
int linking_remove(orvi_subdev_info_list_t *list, const char *mac) {
    if (!list || !mac) {
        ORVI_LOGW("list or mac is NULL!");
        return -1;
    }
    orvi::MutexLock lk(list->lock);
    if (list->list.empty()) {
        ORVI_LOGW("list is empty!");
        return 0;
    }
    int i = linking_find_locked(*list, mac);
    if (i < 0) {
        ORVI_LOGW("target isn't exist!");
        return 0;
    }
    list->list[static_cast<size_t>(i)] = list->list.back();
    list->list.pop_back();
    list->subdev_count.store(static_cast<uint32_t>(list->list.size()));
    return 1;
}

// Adds to the type's list, then to the union.
int linking_add_locked(const orvi_subdev_info_t &info, const linking_pair &lists) REQUIRES(registry_linking_mu) {
    if (!lists.type) {
        ORVI_LOGW("list_p is NULL!");
        return -1;
    }
    // A MAC lives on one bus only: the union must stay the sum of its parts.
    if (linking_contains(lists.all, orvi_field_view(info.mac))) {
        ORVI_LOGW("%s device is existing", info.mac);
        return -1;
    }
    int rc = product_subdev_info_list_add(lists.type, &info);
    if (rc >= 0) product_subdev_info_list_add(lists.all, &info);
    return rc;
}

int line_dev_add(const char *mac, const char *mid, bool is_can) {
    if (!mac || !mid) {
        ORVI_LOGW("mac or mid is NULL!");
        return -1;
    }
    orvi_subdev_info_t info{};
    if (!mac[0] || !orvi_field_set(info.mac, mac) || !orvi_field_set(info.mid, mid)) {
        ORVI_LOGW("mac '%s' or mid '%s' does not fit, refused", mac, mid);
        return -1;
    }
    if (!orvi_field_set(info.key, home_key())) {
        ORVI_LOGW("home key does not fit, refused");
        return -1;
    }
    orvi_field_set(info.hid, ORVI_LINE_CTRL_HID);
    orvi_field_set(info.ver, "V3.2.MF");
    orvi_field_set(info.vender, "1");
    info.online = 1;
    if (is_can) {
        info.dev_type = DEV_TYPE_CAN;
    } else {
        int t = product_get_subdev_type_by_config(mid);
        info.dev_type = t ? static_cast<dev_type_t>(t) : DEV_TYPE_485;
    }
    const linking_pair lists = linking_lists_of_type(info.dev_type);
    orvi::MutexLock lk(registry_linking_mu);
    // A bus service reports its devices again and again: a listed device
    // must not use up a linking id each time.
    if (linking_contains(lists.type, mac) || linking_contains(lists.all, mac)) {
        ORVI_LOGW("%s device is existing", mac);
        return -1;
    }
    info.macId = macId_allocate();
    return linking_add_locked(info, lists);
}
}  // namespace

void product_subdev_listener_add(product_subdev_listener_t listener) {
    if (!listener) return;
    orvi::MutexLock lk(registry_listeners_mu);
    auto next = g_listeners ? std::make_shared<std::vector<product_subdev_listener_t>>(*g_listeners)
                            : std::make_shared<std::vector<product_subdev_listener_t>>();
    next->push_back(std::move(listener));
    g_listeners = std::move(next);
}

// ---- record access ----

orvi_subdev_fields_t orvi_subdev_snapshot(const orvi_subdev_list_t &dev) {
    rec_lock lk(dev.mu);
    return static_cast<const orvi_subdev_fields_t &>(dev);
}

orvi_subdev_fields_t orvi_subdev_snapshot(const orvi_subdev_ptr &dev) {
    return dev ? orvi_subdev_snapshot(*dev) : orvi_subdev_fields_t{};
}

int product_subdev_set_data(const orvi_subdev_ptr &dev, std::string_view text) {
    if (!dev) {
        ORVI_LOGW("subdev is NULL!");
        return -1;
    }
    if (text.size() >= ORVI_SUBDEV_DATA_SIZE) {
        ORVI_LOGW("'%s' status of %zu bytes does not fit, refused", dev->mac, text.size());
        return -1;
    }
    rec_lock lk(dev->mu);
    dev->data.assign(text.data(), text.size());
    return 0;
}

int get_dev_pow_status(const char *data) {
    if (!data || !data[0]) return -1;
    std::unique_ptr<cJSON, decltype(&cJSON_Delete)> doc(cJSON_Parse(data), &cJSON_Delete);
    if (!doc) return -1;
    const cJSON *status = doc.get();
    const cJSON *inner = cJSON_GetObjectItemCaseSensitive(status, "jsonStatus");
    if (cJSON_IsObject(inner)) status = inner;
    const cJSON *names = cJSON_GetObjectItemCaseSensitive(status, "cols");
    const cJSON *values = cJSON_GetObjectItemCaseSensitive(status, "dat");
    if (!cJSON_IsArray(names) || !cJSON_IsArray(values)) {
        names = cJSON_GetObjectItemCaseSensitive(status, "opt");
        values = cJSON_GetObjectItemCaseSensitive(status, "p");
    }
    if (!cJSON_IsArray(names) || !cJSON_IsArray(values)) return -1;
    const int n = cJSON_GetArraySize(names);
    for (int i = 0; i < n; ++i) {
        const cJSON *name = cJSON_GetArrayItem(names, i);
        if (!cJSON_IsString(name)) continue;
        if (strcmp(name->valuestring, "Pow") != 0 && strncmp(name->valuestring, "SW", 2) != 0) continue;
        const cJSON *v = cJSON_GetArrayItem(values, i);
        if (cJSON_IsNumber(v)) return v->valueint;
    }
    return -1;
}

std::vector<orvi_subdev_ptr> product_subdev_list_snapshot(void) {
    host_lock lk(host_info_mu);
    return std::vector<orvi_subdev_ptr>(host_info.subList, host_info.subList + host_info.devCnt);
}

void product_subdev_for_each(const std::function<void(const orvi_subdev_ptr &)> &fn) {
    if (!fn) return;
    for (const orvi_subdev_ptr &p : product_subdev_list_snapshot())
        fn(p);
}

// ---- main table ----

uint32_t product_get_host_subdev_count(void) {
    host_lock lk(host_info_mu);
    return host_info.devCnt;
}

product_host_counts_t product_get_host_counts(void) {
    host_lock lk(host_info_mu);
    return product_host_counts_t{host_info.devCnt, host_info.tovraCnt, host_info.localCnt,
                                 host_info.canCnt, host_info.d485Cnt,  host_info.centctrlCnt,
                                 host_info.minipro};
}

orvi_subdev_ptr product_add_subdev_to_host(const orvi_subdev_list_t *subdev) {
    if (!subdev) {
        ORVI_LOGW("subdev is NULL!");
        return nullptr;
    }
    // Read before the table lock: the identity store takes its own lock.
    const std::string home = home_mac();

    orvi_subdev_ptr rec;
    bool merged = false;
    {
        host_lock lk(host_info_mu);
        orvi_subdev_fields_t in = orvi_subdev_snapshot(*subdev);
        const std::string_view mac = orvi_field_view(in.mac);
        const int idx = find_exact_locked(mac);
        // Merging a record with itself changes nothing.
        if (idx >= 0 && host_info.subList[idx].get() == subdev) return host_info.subList[idx];

        if (!storable(in)) return nullptr;
        if (!home.empty() && mac == home) {
            ORVI_LOGW("'%s' is host,so it doesn't need to add to subdev!", in.mac);
            return nullptr;
        }
        if (idx >= 0) {
            ORVI_LOGW("'%s' dev is already exists in subList!", in.mac);
            merge_into(*host_info.subList[idx], in);
            rec = host_info.subList[idx];
            merged = true;
        } else {
            if (host_info.devCnt >= ORVI_SUBDEV_MAX - 1) {
                ORVI_LOGW("the devices number is %d,the devices list is full,add failed", ORVI_SUBDEV_MAX);
                return nullptr;
            }
            ORVI_LOGI("add host_info.devCnt -> %d; %s", host_info.devCnt, in.mac);
            const dev_type_t type = in.dev_type;
            rec = new_record(std::move(in), false);
            uint32_t at = host_info.devCnt;
            if (host_info.minipro && at > 0 && type_of(*host_info.subList[at - 1]) == DEV_TYPE_MINIPRO) {
                host_info.subList[at] = host_info.subList[at - 1];
                index_put_locked(at);
                --at;
                ORVI_LOGI("the last device mac is %s in the subdev list", host_info.subList[at + 1]->mac);
            }
            host_info.subList[at] = rec;
            index_add_locked(at);
            if (is_wired_local(type)) ++host_info.localCnt;
            if (type == DEV_TYPE_MINIPRO) host_info.minipro = 1;
            ++host_info.devCnt;
            recount_locked();
        }
    }
    report(merged ? PRODUCT_SUBDEV_MERGED : PRODUCT_SUBDEV_ADDED, rec);
    return rec;
}

orvi_subdev_ptr product_get_subdev_form_host(const char *mac) {
    if (!mac) {
        ORVI_LOGW("mac is NULL!");
        return nullptr;
    }
    const std::string q(mac);
    {
        host_lock lk(host_info_mu);
        const int at = find_query_locked(q);
        if (at >= 0) return host_info.subList[at];
    }
    ORVI_LOGW("'%s' does not exist in the list!", mac);
    return nullptr;
}

int product_delete_subdev_form_host(const char *mac) {
    if (!mac) {
        ORVI_LOGW("mac is NULL!");
        return -1;
    }
    orvi_subdev_ptr gone;  // released after the table lock, by its last holder
    {
        host_lock lk(host_info_mu);
        const int idx = find_exact_locked(mac);
        if (idx < 0) {
            ORVI_LOGW("'%s' does not exist in the list!", mac);
            return -1;
        }
        gone = std::move(host_info.subList[idx]);
        index_erase_locked(orvi_field_view(gone->mac));
        const uint32_t last = --host_info.devCnt;
        if (static_cast<uint32_t>(idx) != last) {
            host_info.subList[idx] = std::move(host_info.subList[last]);
            index_put_locked(static_cast<uint32_t>(idx));
        }
        host_info.subList[last].reset();
        recount_locked();
        if (host_info.minipro) keep_minipro_last_locked();
        ORVI_LOGI("delete host_info.devCnt -> %d; %s", host_info.devCnt, mac);
    }
    report(PRODUCT_SUBDEV_REMOVED, gone);
    return 0;
}

int product_get_roomIddev_form_host(int start_index, unsigned roomId, orvi_subdev_list_t *output) {
    if (start_index < 0) {
        ORVI_LOGW("start index %d is invalid", start_index);
        return -1;
    }
    host_lock lk(host_info_mu);
    for (uint32_t i = static_cast<uint32_t>(start_index); i < host_info.devCnt; ++i) {
        const orvi_subdev_list_t &r = *host_info.subList[i];
        rec_lock rl(r.mu);
        if (r.roomId != roomId) continue;
        if (output && output != &r) *output = r;
        return static_cast<int>(i);
    }
    return -1;
}

orvi_subdev_ptr product_get_dev_by_type(unsigned *p_start, dev_type_t type) {
    if (!p_start) {
        ORVI_LOGW("p_start is NULL!");
        return nullptr;
    }
    host_lock lk(host_info_mu);
    for (uint32_t i = *p_start; i < host_info.devCnt; ++i) {
        if (type_of(*host_info.subList[i]) == type) {
            *p_start = i + 1;
            return host_info.subList[i];
        }
    }
    *p_start = host_info.devCnt;
    return nullptr;
}

int product_set_host_info_qnetkey(const char *key) {
    if (!key) {
        ORVI_LOGW("key is NULL!");
        return -1;
    }
    host_lock lk(host_info_mu);
    if (!orvi_field_set(host_info.Qnetkey, key)) {
        ORVI_LOGW("setting qnetkey is too biggrt");
        return -1;
    }
    return 0;
}

std::string product_get_host_info_qnetkey(void) {
    host_lock lk(host_info_mu);
    return std::string(orvi_field_view(host_info.Qnetkey));
}

void product_minipro_sync_start(uint32_t total) {
    host_lock lk(host_info_mu);
    host_info.miniproCnt = total;
    host_info.miniprocurCnt = 0;
}

void product_minipro_sync_advance(uint32_t taken) {
    host_lock lk(host_info_mu);
    host_info.miniprocurCnt += taken;
}

void product_minipro_sync_get(uint32_t *taken, uint32_t *total) {
    host_lock lk(host_info_mu);
    if (taken) *taken = host_info.miniprocurCnt;
    if (total) *total = host_info.miniproCnt;
}

dev_type_t product_get_sync_persistent_type(void) {
    host_lock lk(host_info_mu);
    return host_info.t_syncPersistent;
}

void product_set_sync_persistent_type(dev_type_t type) {
    host_lock lk(host_info_mu);
    host_info.t_syncPersistent = type;
}

// ---- rooms ----

int product_roomlist_append(const dev_roomlist_t *rooms, int n, bool replace) {
    host_lock lk(host_info_mu);
    if (replace) rooms_clear_locked();
    return rooms_append_locked(rooms, n);
}

int product_roomlist_set(const dev_roomlist_t *rooms, int n, const char *default_name) {
    host_lock lk(host_info_mu);
    rooms_clear_locked();
    const int stored = rooms_append_locked(rooms, n);
    bool has_default = false;
    for (int k = 0; k < stored; ++k)
        has_default |= host_info.roomlist[k].id == 0 && host_info.roomlist[k].sId == 0;
    if (!has_default && stored < ORVI_ROOM_MAX && default_name && default_name[0]) {
        dev_roomlist_t &r = host_info.roomlist[stored];
        r.id = 0;
        r.sId = 0;
        if (!orvi_field_set(r.name, default_name)) r = dev_roomlist_t{};
    }
    return stored;
}

std::vector<dev_roomlist_t> product_roomlist_get(void) {
    host_lock lk(host_info_mu);
    return std::vector<dev_roomlist_t>(host_info.roomlist, host_info.roomlist + rooms_held_locked());
}

uint32_t product_get_roomId_form_rooomlist(uint8_t sId) {
    {
        host_lock lk(host_info_mu);
        for (const dev_roomlist_t &room : host_info.roomlist) {
            if (!room.name[0]) break;
            if (static_cast<uint8_t>(room.sId) == sId) return room.id;
        }
    }
    ORVI_LOGW("'%d' sId is vaild!", sId);
    return ORVI_ROOM_ID_NONE;
}

int roomId_to_sId(uint32_t room_id) {
    host_lock lk(host_info_mu);
    for (const dev_roomlist_t &room : host_info.roomlist) {
        if (room.name[0] == '\0') break;
        if (room.id == room_id) return static_cast<int>(room.sId);
    }
    return -1;
}

const char *product_get_subdev_type_str(int type) {
    static const char *const kNames[] = {"NONE",     "CAN",  "485",        "UDP",     "TOVRA", "MINIPRO",
                                         "CENTCTRL", "HOST", "PWRGATEWAY", "GATEWAY", "BLE",   "WIFI"};
    if (type < 0 || type >= static_cast<int>(sizeof kNames / sizeof kNames[0])) return "NONE";
    return kNames[type];
}

int product_get_tovra_max_Id(void) {
    return max_id_of(DEV_TYPE_TOVRA);
}
int product_get_udpDev_max_Id(void) {
    return max_id_of(DEV_TYPE_UDP);
}

// ---- short ids ----

int assign_macId(orvi_subdev_list_t *dev) {
    if (!dev) {
        ORVI_LOGW("subdev is NULL!");
        return 0;
    }
    bool used[256] = {};
    used[0] = used[1] = true;
    host_lock lk(host_info_mu);
    // `dev` may be the stored record or the caller's copy of it: either way
    // its own id stays available to it.
    std::string mac;
    {
        rec_lock rl(dev->mu);
        mac = std::string(orvi_field_view(dev->mac));
    }
    for (uint32_t i = 0; i < host_info.devCnt; ++i) {
        const orvi_subdev_list_t &r = *host_info.subList[i];
        if (&r == dev || orvi_field_view(r.mac) == mac) continue;
        rec_lock rl(r.mu);
        if (r.macId >= 2 && r.macId <= 255) used[r.macId] = true;
    }
    rec_lock rl(dev->mu);
    static const int kBle[][2] = {{100, 144}};
    static const int kOther[][2] = {{2, 99}, {145, 255}};
    const bool ble = dev->dev_type == DEV_TYPE_BLE;
    const auto *ranges = ble ? kBle : kOther;
    const int nranges = ble ? 1 : 2;
    for (int r = 0; r < nranges; ++r) {
        for (int id = ranges[r][0]; id <= ranges[r][1]; ++id) {
            if (!used[id]) {
                dev->macId = id;
                return 1;
            }
        }
    }
    ORVI_LOGW("'%s' no free macId", dev->mac);
    return 0;
}

int macId_allocate(void) {
    return g_link_id.fetch_add(1);
}

int macId_set(int v) {
    if (v == INT_MAX) {
        ORVI_LOGW("macId %d is out of range", v);
        return g_link_id.load();
    }
    int cur = g_link_id.load();
    while (v >= cur && !g_link_id.compare_exchange_weak(cur, v + 1)) {
    }
    return g_link_id.load();
}

int macId_get(void) {
    return g_link_id.load();
}

// ---- types ----

int product_subdev_type_adapter(orvi_subdev_list_t *subdev) {
    if (!subdev) {
        ORVI_LOGW("subdev is NULL!");
        return -1;
    }
    std::string mac, mid;
    {
        rec_lock rl(subdev->mu);
        mac = std::string(orvi_field_view(subdev->mac));
        mid = std::string(orvi_field_view(subdev->mid));
    }
    if (mid.empty()) {
        ORVI_LOGW("%s device mid is null", mac.c_str());
        return -1;
    }
    int type = DEV_TYPE_NONE;
    int rc = config_type_lookup(mid.c_str(), &type);
    if (rc < 0) return -1;
    if (rc == 1) {
        ORVI_LOGI("mid %s is adpted to type %d", mid.c_str(), type);
    } else {
        orvi_subdev_info_t info;
        if (!product_linkinglist_dev_get(mac.c_str(), 0, 1, &info)) return -1;
        if (info.dev_type == DEV_TYPE_NONE) {
            ORVI_LOGW("type error!");
            return -1;
        }
        type = info.dev_type;
    }
    host_lock lk(host_info_mu);
    {
        rec_lock rl(subdev->mu);
        subdev->dev_type = static_cast<dev_type_t>(type);
    }
    if (find_stored_locked(subdev, mac) >= 0) {
        recount_locked();
        if (host_info.minipro) keep_minipro_last_locked();
    }
    return 0;
}

int product_get_subdev_type_by_config(const char *mid) {
    if (!mid || !mid[0]) {
        ORVI_LOGW("mid is NULL!");
        return 0;
    }
    int type = DEV_TYPE_NONE;
    return config_type_lookup(mid, &type) == 1 ? type : 0;
}

int get_dev_class_type_by_mid(const char *mid) {
    if (!mid) {
        ORVI_LOGW("mid invalid");
        return 0;
    }
    std::shared_ptr<const cJSON> doc = get_mid_config_json();
    if (!doc) {
        ORVI_LOGW("mid config is not loaded");
        return 0;
    }
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(doc.get(), mid);
    if (!item) {
        ORVI_LOGW("mid unpair!");
        return 0;
    }
    const cJSON *cv = cJSON_GetObjectItemCaseSensitive(item, "class_value");
    if (!cJSON_IsNumber(cv)) {
        ORVI_LOGW("get class_value failed!");
        return 0;
    }
    return cv->valueint;
}

int product_dev_type_isPaired(unsigned src_devType, unsigned pair_devType, const char *mid) {
    ORVI_LOGD("src %d ;pair %d", src_devType, pair_devType);
    if (src_devType > DEV_TYPE_CURTAINER || pair_devType > DEV_TYPE_CURTAINER) {
        ORVI_LOGW("parameters illegal: %d %d", src_devType, pair_devType);
        return -1;
    }
    return pair_match(src_devType, pair_devType, mid) ? 0 : -1;
}

// ---- sub-subdevices ----

orvi_subdev_ptr product_add_subsubdev_to_host(const orvi_subdev_list_t *subdev,
                                              const orvi_subdev_list_t *subsubdev) {
    if (!subdev || !subsubdev) {
        ORVI_LOGW("subdev is NULL!");
        return nullptr;
    }
    orvi_subdev_fields_t in = orvi_subdev_snapshot(*subsubdev);
    if (!storable(in)) return nullptr;
    // The parent is named by its MAC: the stored record or a copy of it.
    std::string parent_mac;
    {
        rec_lock rl(subdev->mu);
        parent_mac = std::string(orvi_field_view(subdev->mac));
    }
    orvi_subdev_ptr parent;
    {
        host_lock lk(host_info_mu);
        int idx = find_exact_locked(parent_mac);
        if (idx >= 0) parent = host_info.subList[idx];
    }
    if (!parent) {
        ORVI_LOGW("the host subdev list haven't this subdev");
        return nullptr;
    }
    orvi_subdev_ptr child;
    {
        rec_lock rl(parent->mu);
        int free_slot = -1;
        for (int i = 0; i < ORVI_SUBSUBDEV_MAX; ++i) {
            const orvi_subdev_ptr &s = parent->sub_subdev_list[i];
            if (!s) {
                if (free_slot < 0) free_slot = i;
            } else if (orvi_field_view(s->mac) == orvi_field_view(in.mac)) {
                ORVI_LOGI("the sub_sub device is exitst");
                return s;
            }
        }
        if (free_slot < 0) {
            ORVI_LOGW("The sub_sub device nodes have reached the maximum of %d.", ORVI_SUBSUBDEV_MAX);
            return nullptr;
        }
        child = new_record(std::move(in), true);
        parent->sub_subdev_list[free_slot] = child;
    }
    report(PRODUCT_SUBDEV_ADDED, parent, child);
    return child;
}

orvi_subdev_ptr product_get_subsubdev_form_host(const char *mac, const char *submac) {
    if (!mac || !submac) {
        ORVI_LOGW("mac or submac is NULL!");
        return nullptr;
    }
    orvi_subdev_ptr parent = product_get_subdev_form_host(mac);
    if (!parent) return nullptr;
    {
        rec_lock rl(parent->mu);
        for (const orvi_subdev_ptr &s : parent->sub_subdev_list) {
            if (s && orvi_field_view(s->mac) == submac) return s;
        }
    }
    ORVI_LOGW("'%s' subdev haven't %s sub-sub device!", mac, submac);
    return nullptr;
}

int product_subsubdev_event_insert(const orvi_subdev_ptr &subdev, const orvi_subdev_ptr &subsubdev,
                                   const char *event, unsigned toPublish) {
    if (!subdev || !subsubdev) {
        ORVI_LOGW("subdev is NULL!");
        return -1;
    }
    if (!event) {
        ORVI_LOGW("event is NULL!");
        return -1;
    }
    {
        rec_lock rl(subsubdev->mu);
        if (!subsubdev->has_event_list) {
            ORVI_LOGW("%s device isn't sub-sub device", subsubdev->mac);
            return -1;
        }
        if (subsubdev->event_list.size() >= ORVI_SUBSUBDEV_EVENT_MAX) subsubdev->event_list.pop_front();
        subsubdev->event_list.emplace_back(event);
    }
    if (toPublish) report(PRODUCT_SUBDEV_STATUS, subdev, subsubdev);
    return 0;
}

// ---- linking lists ----

int product_subdev_info_list_init(orvi_subdev_info_list_t **list, int size) {
    if (!list || size <= 0) {
        ORVI_LOGW("list is NULL!");
        return -1;
    }
    orvi::MutexLock lk(registry_list_init_mu);
    if (*list) return 0;  // other threads may hold it: never replaced
    auto *l = new (std::nothrow) orvi_subdev_info_list_t;
    if (!l) ORVI_NO_MEM(sizeof(orvi_subdev_info_list_t));
    l->list_size = static_cast<uint32_t>(size);
    {
        orvi::MutexLock ll(l->lock);  // not shared yet; taken so the rule has no exception
        l->list.reserve(static_cast<size_t>(size));
    }
    *list = l;
    return 0;
}

namespace {
// Creates one of the registry's lists unless it exists; logs `what` on failure.
int linking_create(std::atomic<orvi_subdev_info_list_t *> &slot, int size, const char *what) {
    orvi_subdev_info_list_t *l = slot.load();
    if (l) return 0;
    if (product_subdev_info_list_init(&l, size) != 0) {
        ORVI_LOGI("%s  init fail", what);
        return -1;
    }
    orvi_subdev_info_list_t *none = nullptr;
    if (!slot.compare_exchange_strong(none, l)) delete l;  // created meanwhile: that one stays
    return 0;
}
}  // namespace

int product_linkinglist_init(void) {
    int rc = 0;
    rc |= linking_create(g_list_can, ORVI_LINKING_CAN_SIZE, "host_list->list_can_linking");
    rc |= linking_create(g_list_485, ORVI_LINKING_485_SIZE, "host_list->list_485_linking");
    rc |= linking_create(g_list_all, ORVI_LINKING_ALL_SIZE, "host_list->subLinkingList");
    return rc == 0 ? 0 : -1;
}

orvi_subdev_info_list_t *product_get_linking_list(int type) {
    if (type == 0) return linking_list(LINKING_ALL);
    return linking_list_of_type(type);
}

std::vector<orvi_subdev_info_t> product_subdev_info_list_snapshot(orvi_subdev_info_list_t *list) {
    if (!list) return {};
    orvi::MutexLock lk(list->lock);
    return list->list;
}

bool product_subdev_info_list_get(orvi_subdev_info_list_t *list, const char *mac, orvi_subdev_info_t *out) {
    if (!list || !mac) {
        ORVI_LOGW("list or mac is NULL!");
        return false;
    }
    orvi::MutexLock lk(list->lock);
    if (list->list.empty()) {
        ORVI_LOGW("list is empty!");
        return false;
    }
    int i = linking_find_locked(*list, mac);
    if (i < 0) return false;
    if (out) *out = list->list[static_cast<size_t>(i)];
    return true;
}

int product_subdev_info_list_add(orvi_subdev_info_list_t *list, const orvi_subdev_info_t *devinfo) {
    if (!list || !devinfo) {
        ORVI_LOGW("list or devinfo is NULL!");
        return -1;
    }
    if (!terminated(devinfo->mac) || !devinfo->mac[0] || !terminated(devinfo->name) ||
        !terminated(devinfo->mid) || !terminated(devinfo->hid) || !terminated(devinfo->key) ||
        !terminated(devinfo->ver) || !terminated(devinfo->vender)) {
        ORVI_LOGW("'%.*s' device info is malformed, refused", static_cast<int>(orvi_field_len(devinfo->mac)),
                  devinfo->mac);
        return -1;
    }
    orvi::MutexLock lk(list->lock);
    if (list->list.size() >= list->list_size) {
        ORVI_LOGW("list is full!");
        return -1;
    }
    if (linking_find_locked(*list, orvi_field_view(devinfo->mac)) >= 0) {
        ORVI_LOGW("%s device is existing", devinfo->mac);
        return -1;
    }
    list->list.push_back(*devinfo);
    list->subdev_count.store(static_cast<uint32_t>(list->list.size()));
    return static_cast<int>(list->list.size() - 1);
}

int product_subdev_info_list_remove(orvi_subdev_info_list_t *list, const char *mac) {
    return linking_remove(list, mac) < 0 ? -1 : 0;
}

int orvi_linkinglist_dev_add(const orvi_subdev_info_t *devinfo) {
    if (!devinfo) {
        ORVI_LOGW("list or devinfo is NULL!");
        return -1;
    }
    const linking_pair lists = linking_lists_of_type(devinfo->dev_type);
    orvi::MutexLock lk(registry_linking_mu);
    return linking_add_locked(*devinfo, lists);
}

int orvi_linkinglist_dev_remove(const char *mac, int type) {
    if (!mac) {
        ORVI_LOGW("mac is NULL!");
        return -1;
    }
    const linking_pair lists = linking_lists_of_type(type);
    if (!lists.type) {
        ORVI_LOGW("list_p is NULL!");
        return -1;
    }
    orvi::MutexLock lk(registry_linking_mu);
    // The union loses the device only when this bus really held it: an
    // offline report on the wrong bus must not hide a device still listed.
    int rc = linking_remove(lists.type, mac);
    if (rc > 0) linking_remove(lists.all, mac);
    return rc < 0 ? -1 : 0;
}

bool product_linkinglist_dev_get(const char *mac, int type, unsigned isSumList, orvi_subdev_info_t *out) {
    if (!mac) {
        ORVI_LOGW("mac is NULL!");
        return false;
    }
    orvi_subdev_info_list_t *l = nullptr;
    if (isSumList) {
        l = linking_list(LINKING_ALL);
    } else if (type == DEV_TYPE_485) {
        l = linking_list(LINKING_485);
    } else if (type == DEV_TYPE_CAN) {
        l = linking_list(LINKING_CAN);
    }
    if (!l) {
        ORVI_LOGW("%s list_p is NULL!", mac);
        return false;
    }
    return product_subdev_info_list_get(l, mac, out);
}

int product_linkinglist_candev_add(const char *mac, const char *mid) {
    return line_dev_add(mac, mid, true);
}
int product_linkinglist_485dev_add(const char *mac, const char *mid) {
    return line_dev_add(mac, mid, false);
}

int product_linkinglist_linedev_online(const char *mac, int type) {
    if (!mac) {
        ORVI_LOGW("mac is NULL!");
        return -1;
    }
    if (type != DEV_TYPE_CAN && type != DEV_TYPE_485 && type != DEV_TYPE_MJGATEWAY) return 0;
    // An MJ gateway has no list of its own here: its bus service is always asked.
    bool listed = type != DEV_TYPE_MJGATEWAY && linking_contains(linking_list_of_type(type), mac);
    if (listed) return 0;
    return report(product_subdev_change_t{PRODUCT_SUBDEV_ONLINE, nullptr, nullptr, mac, type});
}

int product_linkinglist_linedev_offline(const char *mac, int type) {
    if (type != DEV_TYPE_CAN && type != DEV_TYPE_485 && type != DEV_TYPE_MJGATEWAY) return 0;
    return orvi_linkinglist_dev_remove(mac, type);
}

// ---- JSON views ----

int product_subDevList_devType_count(const orvi_subdev_ptr *list, int size, int selector) {
    if (!list || size <= 0) {
        ORVI_LOGW("list is NULL!");
        return 0;
    }
    return count_in(list, size, selector);
}

cJSON *product_devList_subdev_jsonArry_get(int start, int max, int selector) {
    if (start < 0 || max <= 0) {
        ORVI_LOGW("page start %d, max %d is invalid", start, max);
        return nullptr;
    }
    host_lock lk(host_info_mu);
    const int count = count_in(host_info.subList, static_cast<int>(host_info.devCnt), selector);
    if (start >= count) {
        ORVI_LOGI("get done!");
        return nullptr;
    }
    cJSON *arr = new_array();
    int seen = 0, taken = 0;
    for (uint32_t i = 0; i < host_info.devCnt && taken < max; ++i) {
        const orvi_subdev_list_t &r = *host_info.subList[i];
        rec_lock rl(r.mu);
        if (!count_match(r, selector) || seen++ < start) continue;
        add_info_object(arr, r);
        ++taken;
    }
    return arr;
}

cJSON *product_devList_info_jsonArry_get(orvi_subdev_info_list_t *list, int start, int max, int selector) {
    if (!list) {
        ORVI_LOGW("list is NULL!");
        return nullptr;
    }
    if (start < 0 || max <= 0) {
        ORVI_LOGW("page start %d, max %d is invalid", start, max);
        return nullptr;
    }
    orvi::MutexLock lk(list->lock);
    if (static_cast<size_t>(start) >= list->list.size()) {
        ORVI_LOGI("get done!");
        return nullptr;
    }
    cJSON *arr = new_array();
    int taken = 0;
    for (size_t i = static_cast<size_t>(start); i < list->list.size() && taken < max; ++i) {
        const orvi_subdev_info_t &e = list->list[i];
        bool match = selector == 0 ? (e.dev_type == DEV_TYPE_CAN || e.dev_type == DEV_TYPE_485)
                                   : e.dev_type == selector;
        if (!match) continue;
        add_info_object(arr, e);
        ++taken;
    }
    return arr;
}

cJSON *product_get_tovra_Id_List(void) {
    cJSON *arr = new_array();
    // Read before the table lock: the identity store takes its own lock.
    cJSON_AddItemToArray(arr, cJSON_CreateNumber(product_get_QnetID()));
    host_lock lk(host_info_mu);
    for (uint32_t i = 0; i < host_info.devCnt; ++i) {
        const orvi_subdev_list_t &r = *host_info.subList[i];
        rec_lock rl(r.mu);
        if (r.dev_type == DEV_TYPE_TOVRA || r.dev_type == DEV_TYPE_CENTCTRL) {
            cJSON_AddItemToArray(arr, cJSON_CreateNumber(r.macId));
        }
    }
    return arr;
}

cJSON *product_get_BLE_Id_List(void) {
    cJSON *arr = new_array();
    host_lock lk(host_info_mu);
    for (uint32_t i = 0; i < host_info.devCnt; ++i) {
        const orvi_subdev_list_t &r = *host_info.subList[i];
        rec_lock rl(r.mu);
        if (r.dev_type == DEV_TYPE_UDP && r.macId != 0)
            cJSON_AddItemToArray(arr, cJSON_CreateNumber(r.macId));
    }
    return arr;
}

// ---- tests only ----
// Declared in tests/support/orvi_testing.h; the daemon never calls them.

void product_registry_reset_for_test(void) {
    {
        host_lock lk(host_info_mu);
        host_info = orvi_host_info_t{};
        g_slot_of.clear();
        g_gangs_of.clear();
    }
    for (orvi_subdev_info_list_t *l : {g_list_can.load(), g_list_485.load(), g_list_all.load()}) {
        if (!l) continue;
        orvi::MutexLock ll(l->lock);
        l->list.clear();
        l->subdev_count.store(0);
        l->synced_index.store(0);
    }
    g_link_id.store(kLinkIdFirst);
}

bool product_registry_check_for_test(std::string *why) {
    std::string none;
    std::string &w = why ? *why : none;
    host_lock lk(host_info_mu);
    const uint32_t n = host_info.devCnt;
    size_t gangs = 0;
    for (uint32_t i = 0; i < ORVI_SUBDEV_MAX; ++i) {
        const orvi_subdev_ptr &r = host_info.subList[i];
        if ((i < n) != static_cast<bool>(r)) {
            w = "slot " + std::to_string(i) + (r ? " is filled beyond " : " is empty below ") +
                std::to_string(n);
            return false;
        }
        if (!r) continue;
        const std::string mac(orvi_field_view(r->mac));
        if (find_exact_locked(mac) != static_cast<int>(i)) {
            w = "index does not find " + mac + " at slot " + std::to_string(i);
            return false;
        }
        if (!is_gang(mac)) continue;
        ++gangs;
        auto g = g_gangs_of.find(mac.substr(0, 12));
        if (g == g_gangs_of.end() || std::find(g->second.begin(), g->second.end(), mac) == g->second.end()) {
            w = "gang index lacks " + mac;
            return false;
        }
    }
    if (g_slot_of.size() != n) {
        w = "index holds " + std::to_string(g_slot_of.size()) + " MACs for " + std::to_string(n) + " records";
        return false;
    }
    size_t indexed_gangs = 0;
    for (const auto &g : g_gangs_of)
        indexed_gangs += g.second.size();
    if (indexed_gangs != gangs) {
        w = "gang index holds " + std::to_string(indexed_gangs) + " MACs for " + std::to_string(gangs) +
            " gangs";
        return false;
    }
    const type_counts c = count_types_locked();
    if (c.can != host_info.canCnt || c.d485 != host_info.d485Cnt || c.tovra != host_info.tovraCnt ||
        c.centctrl != host_info.centctrlCnt) {
        w = "per-type counters do not match the records";
        return false;
    }
    return true;
}
