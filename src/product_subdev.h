// The subdevice registry: the home's rooms, every registered subdevice with
// its live state, their sub-subdevices and the linking lists of wired
// appliances seen on their buses. Shared by the request task, the event-bus
// threads, the timer tick and the lighting threads.
//
// Ownership: the table holds std::shared_ptr records; every lookup hands out
// a shared_ptr, so a delete never frees a record another thread still uses.
// `host_info_mutex()` guards the table, its counters and the room list;
// each record's `mu` guards that record's mutable fields.
#pragma once

#include <cJSON.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orvi_types.h"

#define ORVI_SUBDEV_MAX 1000       // slots; the last is never filled
#define ORVI_ROOM_MAX 200
#define ORVI_SUBDEV_DATA_SIZE 5120 // capacity of a record's status document
#define ORVI_SUBSUBDEV_MAX 3
#define ORVI_SUBSUBDEV_EVENT_MAX 20

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
    std::string data;                         // last status document (JSON text), at most ORVI_SUBDEV_DATA_SIZE - 1
    std::vector<char> binParam;               // codec's binary parameter template
    std::shared_ptr<std::vector<char>> binCmd;  // command buffer; readers keep their own reference
    int RSSI = 0;
    unsigned long hb_ticks = 0;
    uint8_t online = 0;
    bool has_event_list = false;               // sub-subdevices only
    std::deque<std::string> event_list;
    std::shared_ptr<void> devExt;              // type-specific extension
    register_flag_t f_register = SERVER_UNREGISTER;
} orvi_subdev_fields_t;

typedef struct orvi_subdev_list_s : orvi_subdev_fields_t {
    std::shared_ptr<struct orvi_subdev_list_s> sub_subdev_list[ORVI_SUBSUBDEV_MAX];
    mutable std::mutex mu;

    orvi_subdev_list_s() = default;
    // Copies the fields (not the lock, not the sub-subdevices).
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

typedef struct orvi_subdev_info_list_s {
    uint32_t subdev_count = 0;
    uint32_t list_size = 0;
    mutable std::mutex lock;
    uint32_t synced_index = 0;
    std::vector<std::unique_ptr<orvi_subdev_info_t>> list;  // list_size slots, dense
} orvi_subdev_info_list_t;

typedef struct devices_s {
    char mac[17];
    char mid[16];
    uint8_t online;
} devices_t;

typedef struct orvi_host_info_s {
    char mac[17];
    char mid[9];
    char ip[16];
    char hid[40];
    char Qnetkey[9];
    uint8_t minipro;
    uint32_t homeId;
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
    orvi_subdev_info_list_t *list_can_linking;
    orvi_subdev_info_list_t *list_485_linking;
    orvi_subdev_info_list_t *subLinkingList;
    char province[64];
    char city[64];
    char APIDomain[64];
    char lng[64];
    char lat[64];
    uint32_t QnetID;
    dev_type_t t_syncPersistent;
    char orderID[64];
    char ssid[128];
    char wifiPsw[128];
} orvi_host_info_t;

extern orvi_host_info_t host_info;
// Guards host_info's table, counters, room list and the location strings.
std::recursive_mutex &host_info_mutex(void);

orvi_host_info_t *product_get_host_list(void);
uint32_t product_get_host_subdev_count(void);
int product_set_host_info_qnetkey(const char *key);
int product_subdev_info_list_init(orvi_subdev_info_list_t **list, int size);
