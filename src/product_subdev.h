// The subdevice registry: the home's rooms, every registered subdevice with
// its live state, their sub-subdevices and the linking lists of wired
// appliances seen on their buses. It owns all of it: no other file reaches
// its table, counters or room list but through the functions below. Called
// from the request task, the event-bus threads, the timer callbacks and the
// lighting threads; every call is thread-safe. It reports what changes to
// the listeners start-up registers, and calls nothing above itself.
//
// Ownership: the table holds std::shared_ptr records and every lookup hands
// out a shared_ptr, so a delete only drops the table's reference and never
// frees a record that a thread, a queued event or a request still holds.
//
// Locking rules for other modules:
//  - The table lock (host_info_mu, a plain mutex declared with the others in
//    orvi_lock_order.h) guards the table, its MAC index,
//    the counters, the room list and the host-level fields. It is held only
//    inside this file's functions, never across a call out of the registry
//    and never while a listener runs. A caller may hold its own module lock
//    when it calls in; no registry function takes a module lock.
//  - Each record's `mu` guards that record's mutable fields (everything but
//    `mac`) and its `sub_subdev_list`. A stored record's `mac` never changes,
//    so it may be read without a lock. Use `orvi_subdev_snapshot` to read and
//    `orvi_subdev_locked` to change a record.
//  - Each linking list's `lock` guards its entries; use the linking-list
//    functions, which return copies.
//  - Order: [a module's lock] -> table lock -> record mu (parent before
//    sub-subdevice); [a module's lock] -> the linking lock -> a list's lock.
//    Never call a registry function while holding a record's mu or a list's
//    lock, never hold two records' locks except parent then child.
#pragma once

#include <cJSON.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "orvi_lock_order.h"
#include "orvi_types.h"

#define ORVI_SUBDEV_MAX 1000  // slots; the last is never filled
#define ORVI_ROOM_MAX 200
#define ORVI_SUBDEV_DATA_SIZE 5120  // capacity of a record's status document
#define ORVI_SUBSUBDEV_MAX 3
#define ORVI_SUBSUBDEV_EVENT_MAX 20
#define ORVI_LINKING_CAN_SIZE 100
#define ORVI_LINKING_485_SIZE 200
#define ORVI_LINKING_ALL_SIZE 300
#define ORVI_ROOM_ID_NONE 0xFFFFFFFFu

// Firmware identifier given to every CAN and RS-485 line controller.
extern const char *const ORVI_LINE_CTRL_HID;

typedef struct dev_roomlist_s {
    uint32_t id;
    uint32_t sId;
    char name[128];
} dev_roomlist_t;

// The plain, copyable fields of a subdevice record.
typedef struct orvi_subdev_fields_s {
    char mac[17] = {0};
    char mid[16] = {0};
    int32_t macId = 0;
    dev_type_t dev_type = DEV_TYPE_NONE;
    dev_socket_t dev_socket;
    file_socket_t file_socket;
    uint32_t MidType = 0;
    uint32_t roomId = 0;
    uint8_t lock = 0;
    uint8_t scene = 0;
    uint32_t msgId = 0;
    char hid[40] = {0};
    char ver[16] = {0};
    char vender[16] = {0};
    char key[17] = {0};
    char name[128] = {0};
    char noteName[128] = {0};
    std::string data;                           // last status document (JSON text), < ORVI_SUBDEV_DATA_SIZE
    std::vector<char> binParam;                 // codec's binary parameter template
    std::shared_ptr<std::vector<char>> binCmd;  // command buffer; readers keep their own reference
    int RSSI = 0;
    unsigned long hb_ticks = 0;
    uint8_t online = 0;
    bool has_event_list = false;  // sub-subdevices only
    std::deque<std::string> event_list;
    // Type-specific extension: the device's extension text as received.
    // Immutable once created, so a record and its source may share it.
    std::shared_ptr<const std::string> devExt;
    register_flag_t f_register = SERVER_UNREGISTER;
} orvi_subdev_fields_t;

typedef struct orvi_subdev_list_s : orvi_subdev_fields_t {
    mutable orvi::Mutex mu ACQUIRED_AFTER(host_info_mu);
    std::shared_ptr<struct orvi_subdev_list_s> sub_subdev_list[ORVI_SUBSUBDEV_MAX] GUARDED_BY(mu);

    orvi_subdev_list_s() = default;
    // Copies the fields (not the lock, not the sub-subdevices). Copying a
    // stored record must go through orvi_subdev_snapshot.
    orvi_subdev_list_s(const orvi_subdev_list_s &o) : orvi_subdev_fields_t(o) {}
    orvi_subdev_list_s &operator=(const orvi_subdev_list_s &o) {
        if (this != &o) static_cast<orvi_subdev_fields_t &>(*this) = o;
        return *this;
    }
} orvi_subdev_list_t;

using orvi_subdev_ptr = std::shared_ptr<orvi_subdev_list_t>;

// Short record of a wired appliance, copied by value into the linking lists.
typedef struct orvi_subdev_info_s {
    char mac[17];
    int32_t macId;
    char name[128];
    uint32_t roomId;
    char mid[9];
    char hid[40];
    char key[17];
    char ver[16];
    char vender[16];
    uint8_t online;
    dev_type_t dev_type;
} orvi_subdev_info_t;

// A linking list. `list` is dense from 0 to subdev_count - 1 and guarded by
// `lock`; the two counters may be read without it.
typedef struct orvi_subdev_info_list_s {
    std::atomic<uint32_t> subdev_count{0};
    uint32_t list_size = 0;  // fixed at creation
    mutable orvi::Mutex lock ACQUIRED_AFTER(registry_linking_mu);
    std::atomic<uint32_t> synced_index{0};  // cursor of a paged synchronisation
    std::vector<orvi_subdev_info_t> list GUARDED_BY(lock);
} orvi_subdev_info_list_t;

typedef struct devices_s {
    char mac[17];
    char mid[16];
    uint8_t online;
} devices_t;

// What the table holds now, by family (`localCnt` counts the wired records
// added since start and is never lowered; `minipro` is 1 once a mini-app
// record was added, while one is held).
typedef struct product_host_counts_s {
    uint32_t devCnt;
    uint32_t tovraCnt;
    uint32_t localCnt;
    uint32_t canCnt;
    uint32_t d485Cnt;
    uint32_t centctrlCnt;
    uint8_t minipro;
} product_host_counts_t;

// ---- Listeners ----------------------------------------------------------------

typedef enum {
    PRODUCT_SUBDEV_ADDED = 0,  // `dev` entered the table; with `sub`: `sub` was stored under `dev`
    PRODUCT_SUBDEV_MERGED,     // a registration was merged into the stored record `dev`
    PRODUCT_SUBDEV_REMOVED,    // `dev` left the table
    PRODUCT_SUBDEV_ONLINE,     // the wired appliance `mac` of bus `type` reported online while its
                               // linking list does not hold it: its bus service is to be asked
    PRODUCT_SUBDEV_STATUS,     // the sub-subdevice `sub` of `dev` has events to be announced
} product_subdev_change_kind_t;

typedef struct product_subdev_change_s {
    product_subdev_change_kind_t kind;
    orvi_subdev_ptr dev;
    orvi_subdev_ptr sub;
    const char *mac;  // PRODUCT_SUBDEV_ONLINE only
    int type;         // PRODUCT_SUBDEV_ONLINE only
} product_subdev_change_t;

// A listener answers 0, or non-zero when what the change asked for failed.
// It runs on the thread that made the change, after the registry has let go
// of its locks, so it may call any registry function.
using product_subdev_listener_t = std::function<int(const product_subdev_change_t &)>;
// Registers a listener for the life of the process (start-up does, before
// the services start).
void product_subdev_listener_add(product_subdev_listener_t listener);

// ---- Record access --------------------------------------------------------

// A copy of the record's fields taken under its lock (default fields for null).
orvi_subdev_fields_t orvi_subdev_snapshot(const orvi_subdev_list_t &dev) EXCLUDES(dev.mu);
orvi_subdev_fields_t orvi_subdev_snapshot(const orvi_subdev_ptr &dev) EXCLUDES(dev->mu);

// Runs fn(record) under the record's lock and returns its result (a
// default value for a null record). fn must not call into the registry.
template <class Fn>
auto orvi_subdev_locked(const orvi_subdev_ptr &dev, Fn &&fn)
    -> std::invoke_result_t<Fn, orvi_subdev_list_t &> {
    using R = std::invoke_result_t<Fn, orvi_subdev_list_t &>;
    if (!dev) {
        if constexpr (std::is_void_v<R>) {
            return;
        } else {
            return R{};
        }
    }
    orvi::MutexLock lk(dev->mu);
    return fn(*dev);
}

// Stores a status document; -1 (record unchanged) when it does not fit the
// record's ORVI_SUBDEV_DATA_SIZE buffer.
int product_subdev_set_data(const orvi_subdev_ptr &dev, std::string_view text) EXCLUDES(dev->mu);
// The power value of a status document: the first number of a column named
// "Pow" or beginning "SW" ("cols"/"dat" or "opt"/"p", also inside a
// "jsonStatus" object); -1 when there is none.
int get_dev_pow_status(const char *data);

// The table's records in table order, taken under the table lock.
std::vector<orvi_subdev_ptr> product_subdev_list_snapshot(void) EXCLUDES(host_info_mu);
// Calls fn for every record of a snapshot of the table; fn runs without the
// table lock, so it may call any registry function.
void product_subdev_for_each(const std::function<void(const orvi_subdev_ptr &)> &fn);

// ---- Main table -----------------------------------------------------------

uint32_t product_get_host_subdev_count(void) EXCLUDES(host_info_mu);
product_host_counts_t product_get_host_counts(void) EXCLUDES(host_info_mu);

// Copies the incoming record's fields into a new record, or merges them into
// the stored record of the same MAC; the caller keeps its record. Returns
// the stored record, or null (home MAC, full table, over-long text field).
orvi_subdev_ptr product_add_subdev_to_host(const orvi_subdev_list_t *subdev) EXCLUDES(host_info_mu);
// Exact MAC, or a 12-character query matching a 14-character (gang) MAC:
// the first such record in table order. A hash probe, whatever the table holds.
orvi_subdev_ptr product_get_subdev_form_host(const char *mac) EXCLUDES(host_info_mu);
// 0, or -1 when the MAC is null or unknown.
int product_delete_subdev_form_host(const char *mac) EXCLUDES(host_info_mu);
// Index of the first record at or after start_index in room roomId, its
// fields copied into `output` (the caller's own record) when given; -1 if none.
int product_get_roomIddev_form_host(int start_index, unsigned roomId, orvi_subdev_list_t *output) EXCLUDES(host_info_mu);
// First record at or after *p_start of `type`; *p_start becomes one past it
// (or the device count when there is none).
orvi_subdev_ptr product_get_dev_by_type(unsigned *p_start, dev_type_t type) EXCLUDES(host_info_mu);

int product_set_host_info_qnetkey(const char *key) EXCLUDES(host_info_mu);
std::string product_get_host_info_qnetkey(void) EXCLUDES(host_info_mu);
const char *product_get_subdev_type_str(int type);
int product_get_tovra_max_Id(void);
int product_get_udpDev_max_Id(void);

// The mini-app's device-list push (devListPush): the devices it announced
// (`miniproCnt`) and those taken so far (`miniprocurCnt`).
void product_minipro_sync_start(uint32_t total) EXCLUDES(host_info_mu);  // announced = total, taken = 0
void product_minipro_sync_advance(uint32_t taken) EXCLUDES(host_info_mu);
void product_minipro_sync_get(uint32_t *taken, uint32_t *total) EXCLUDES(host_info_mu);

// The device type whose persistent synchronisation is under way (0: all
// wired types; DEV_TYPE_MAX: none).
dev_type_t product_get_sync_persistent_type(void) EXCLUDES(host_info_mu);
void product_set_sync_persistent_type(dev_type_t type) EXCLUDES(host_info_mu);

// ---- Rooms ------------------------------------------------------------------
// The list holds at most ORVI_ROOM_MAX rooms, dense from the first; a room
// always has a name.

// Appends the rooms after those held (replace: empties the list first), in
// one step; a room without a name is skipped, rooms past the list's end are
// dropped with a log line. Returns the number stored.
int product_roomlist_append(const dev_roomlist_t *rooms, int n, bool replace) EXCLUDES(host_info_mu);
// Replaces the list with `rooms`, then adds the default room (id 0, short id
// 0, `default_name`) when none of them is it and there is room left. Returns
// the number of `rooms` stored.
int product_roomlist_set(const dev_roomlist_t *rooms, int n, const char *default_name) EXCLUDES(host_info_mu);
// The rooms held, in order.
std::vector<dev_roomlist_t> product_roomlist_get(void) EXCLUDES(host_info_mu);
// The room id whose 8-bit short id is sId, or ORVI_ROOM_ID_NONE.
uint32_t product_get_roomId_form_rooomlist(uint8_t sId) EXCLUDES(host_info_mu);
// The short id of the room `room_id`, or -1.
int roomId_to_sId(uint32_t room_id) EXCLUDES(host_info_mu);

// ---- Short ids --------------------------------------------------------------

// Picks a free 8-bit short id into dev->macId: 1, or 0 when none is free.
int assign_macId(orvi_subdev_list_t *dev) EXCLUDES(host_info_mu);
// Linking-record ids: handed out from 300 upwards.
int macId_allocate(void);
// Marks `v` as known: the counter moves past it so it is never handed out.
int macId_set(int v);
int macId_get(void);

// ---- Types ------------------------------------------------------------------

int product_subdev_type_adapter(orvi_subdev_list_t *subdev) EXCLUDES(host_info_mu);
int product_get_subdev_type_by_config(const char *mid);
int get_dev_class_type_by_mid(const char *mid);
// 0 when src_devType (of model mid) falls under the selector pair_devType.
int product_dev_type_isPaired(unsigned src_devType, unsigned pair_devType, const char *mid);

// ---- Sub-subdevices -------------------------------------------------------

// `subdev` names the parent by its MAC; the incoming record is copied. A new
// sub-subdevice is reported (PRODUCT_SUBDEV_ADDED with `sub`).
orvi_subdev_ptr product_add_subsubdev_to_host(const orvi_subdev_list_t *subdev,
                                              const orvi_subdev_list_t *subsubdev) EXCLUDES(host_info_mu);
orvi_subdev_ptr product_get_subsubdev_form_host(const char *mac, const char *submac);
// With toPublish, the pending events are reported (PRODUCT_SUBDEV_STATUS).
int product_subsubdev_event_insert(const orvi_subdev_ptr &subdev, const orvi_subdev_ptr &subsubdev,
                                   const char *event, unsigned toPublish);

// ---- Linking lists ----------------------------------------------------------

// Creates the registry's three linking lists (CAN 100, RS-485 200, all 300)
// once; start-up calls it. 0, or -1 when one could not be created.
int product_linkinglist_init(void);
// The linking list a type is kept in: 0 the union of all wired appliances,
// DEV_TYPE_CAN the CAN list, DEV_TYPE_485 and DEV_TYPE_MJGATEWAY the RS-485
// list; null for other types or before product_linkinglist_init. A list
// lives for the life of the process.
orvi_subdev_info_list_t *product_get_linking_list(int type);
// Creates the list once; a list that already exists is kept (0).
int product_subdev_info_list_init(orvi_subdev_info_list_t **list, int size);
// A copy of the list's entries, in order (empty for null).
std::vector<orvi_subdev_info_t> product_subdev_info_list_snapshot(orvi_subdev_info_list_t *list);
// true with a copy of the entry in *out (when given) if the MAC is listed.
bool product_subdev_info_list_get(orvi_subdev_info_list_t *list, const char *mac, orvi_subdev_info_t *out);
int product_subdev_info_list_add(orvi_subdev_info_list_t *list, const orvi_subdev_info_t *devinfo);
int product_subdev_info_list_remove(orvi_subdev_info_list_t *list, const char *mac);
int orvi_linkinglist_dev_add(const orvi_subdev_info_t *devinfo);
int orvi_linkinglist_dev_remove(const char *mac, int type);
bool product_linkinglist_dev_get(const char *mac, int type, unsigned isSumList, orvi_subdev_info_t *out);
int product_linkinglist_candev_add(const char *mac, const char *mid);
int product_linkinglist_485dev_add(const char *mac, const char *mid);
// A listed appliance needs nothing (0); an unlisted one is reported
// (PRODUCT_SUBDEV_ONLINE) and the listeners' answer returned.
int product_linkinglist_linedev_online(const char *mac, int type);
int product_linkinglist_linedev_offline(const char *mac, int type);

// ---- JSON views -------------------------------------------------------------
// Every cJSON* returned is owned by the caller, who frees it with cJSON_Delete.

// `list` is a table such as product_subdev_list_snapshot() gives, with at
// least `size` slots; the walk stops at the first empty slot.
int product_subDevList_devType_count(const orvi_subdev_ptr *list, int size, int selector);
// A page of the main table: the matching records from the `start`-th on.
cJSON *product_devList_subdev_jsonArry_get(int start, int max, int selector) EXCLUDES(host_info_mu);
cJSON *product_devList_info_jsonArry_get(orvi_subdev_info_list_t *list, int start, int max, int selector);
cJSON *product_get_tovra_Id_List(void) EXCLUDES(host_info_mu);
cJSON *product_get_BLE_Id_List(void) EXCLUDES(host_info_mu);
