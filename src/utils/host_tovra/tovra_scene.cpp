// Lighting scenes, panel keys, device deletion and binding, scene locks and
// the room of a device.
//
// Every request is built as JSON, translated by the device model's codec and
// queued by `tovra_cmd_to_at`; what reaches the module is the codec's form.
//
// Panel-key rows. A key's row number is the panel address x 10 + the key
// index. The table keeps that number whole (32 bits): the 16-bit field the
// rows once had wrapped above address 6553, so a far panel's key and a near
// one's landed on the same row. Every address keeps the same stored number.
// "keyid" is the app's key number, 1 to 10; the key index is one less. A
// number outside would run into the neighbouring address's rows: refused.
//
// Pending scene deletions. Multi-key switches and panels (80401, 70721,
// 70726) take a scene removal only from the whole-network broadcast, so
// their removals wait in a list of 20 scenes until the next whole-network
// scene (255 or 250) is set, and are sent then. A second deletion of the same
// scene adds its MACs to the scene's list; a MAC set to the scene again in
// the meantime leaves it. With the list full, a new scene's deletion is
// dropped with a log line. The topic handlers use the list from the dispatch
// thread only; it is still locked, so a test or a later caller on another
// thread cannot tear it.
#include "tovra_scene.h"

#include <cJSON.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "orvi_codec.h"
#include "orvi_field.h"
#include "orvi_json.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_subdev_ctrl.h"
#include "orvi_thread_annotations.h"
#include "product_subdev.h"
#include "tovra_ctrl.h"
#include "tovra_dispatch.h"
#include "tovra_event.h"
#include "tovra_queue.h"
#include "tovra_sql.h"
#include "tovra_uart.h"

using orvi_json::json_ptr;

std::atomic<int> tovra_scene_lock1_flag{0};

namespace {

// Longest scene command text, request id and request type taken.
const size_t kCmdMax = 1024;
const size_t kReqIdMax = TOVRA_REQID_MAX - 1;
const size_t kTypeMax = 16;
// Scene ids travel in 24 bits.
const long kSceneMax = 0xFFFFFF;
// Key numbers of a panel, as the app counts them.
const long kKeyMin = 1, kKeyMax = 10;
// The scene the keys of some panels fall back to when unbound.
const uint32_t kPanelIdleScene = 100;
// Reset repeats of a removed device, by kind.
const int kCubeResets = 6, kSceneSwitchResets = 6, kOtherResets = 5;

bool is_model(const char *mid, std::initializer_list<const char *> models) {
    for (const char *m : models)
        if (strcmp(mid, m) == 0) return true;
    return false;
}

// A string member of at most `max` characters, or null.
const char *text_member(const cJSON *j, const char *name, size_t max) {
    const char *s = orvi_json::str_of(j, name);
    return s && strlen(s) <= max ? s : nullptr;
}

// An integral number member within [lo, hi].
bool int_member(const cJSON *j, const char *name, long lo, long hi, long *out) {
    const cJSON *v = orvi_json::num_of(j, name);
    if (!v || v->valuedouble < lo || v->valuedouble > hi ||
        v->valuedouble != static_cast<double>(static_cast<long>(v->valuedouble)))
        return false;
    *out = static_cast<long>(v->valuedouble);
    return true;
}

// The first 12 characters of a MAC: the device table's key.
std::string mac12(const char *mac) {
    return std::string(mac ? mac : "").substr(0, 12);
}

// The device-table rows of a MAC; logs under `func` when there is none.
bool device_of(const char *func, const std::string &mac, host_tovra_devcie_info_t *out) {
    std::vector<host_tovra_devcie_info_t> rows;
    if (mac.empty() ||
        tovra_info_sql_table_select(TOVRA_INFO_DB, TOVRA_INFO_TABLE, "MAC", tovra_sql_text(mac.c_str()), rows) < 1) {
        ORVI_LOGW("[%s]sublist do not have this mac!\n\r", func);
        return false;
    }
    *out = rows.front();
    return true;
}

void set_text(cJSON *j, const char *name, const char *value) {
    cJSON_DeleteItemFromObjectCaseSensitive(j, name);
    cJSON_AddStringToObject(j, name, value);
}
void set_num(cJSON *j, const char *name, double value) {
    cJSON_DeleteItemFromObjectCaseSensitive(j, name);
    cJSON_AddNumberToObject(j, name, value);
}

// `request` through the codec of model `mid`; null (logged) when the model
// has no form for it.

// The scene removal {"fasceneid","mac","type":"delete"} of one device.
int scene_remove_send(uint32_t scene, const host_tovra_devcie_info_t &dev) {
    json_ptr req = orvi_json::new_object();
    cJSON_AddNumberToObject(req.get(), "fasceneid", scene);
    cJSON_AddStringToObject(req.get(), "mac", dev.mac);
    cJSON_AddStringToObject(req.get(), "type", "delete");
    cJSON_AddStringToObject(req.get(), "atcmd", "AT_SCENE");
    json_ptr ecb = tovra_codec_cmd(dev.mid, req.get());
    return ecb ? tovra_cmd_to_at(ecb.get(), dev) : -1;
}

// ---- pending scene deletions --------------------------------------------------------

typedef struct scene_delete_item_s {
    uint8_t enable;
    char mac[15];
} scene_delete_item_t;

// Every field starts zeroed: an entry left to the heap's garbage reads as
// taken, and the list as full.
typedef struct scene_delete_list_s {
    uint8_t enable = 0;
    uint32_t faSceneid = 0;
    uint16_t count = 0;  // items stored
    uint16_t num = 0;    // items still pending
    char type[20] = {0};
    std::vector<scene_delete_item_t> list;
} scene_delete_list_t;

struct pending_t {
    orvi::Mutex mu ORVI_LEAF_LOCK;
    scene_delete_list_t scene_delete_list[TOVRA_SCENE_DELETE_LIST_SIZE] GUARDED_BY(mu);
};
pending_t &pending() {
    static pending_t *p = new pending_t;
    return *p;
}

void entry_clear(scene_delete_list_t &e) {
    e.enable = 0;
    e.faSceneid = 0;
    e.count = e.num = 0;
    e.type[0] = '\0';
    e.list.clear();
}

// Holds the removal of `scene` from `mac` for the next whole-network scene.
void pending_add(uint32_t scene, const std::string &mac) {
    pending_t &p = pending();
    orvi::MutexLock lk(p.mu);
    scene_delete_list_t *entry = nullptr;
    for (scene_delete_list_t &e : p.scene_delete_list)
        if (e.enable && e.faSceneid == scene) entry = &e;
    if (!entry) {
        for (scene_delete_list_t &e : p.scene_delete_list)
            if (!e.enable) {
                entry = &e;
                break;
            }
        if (!entry) {
            ORVI_LOGW("[TOVRA]scene deletion list full: %s of scene %u dropped\n\r", mac.c_str(), scene);
            return;
        }
        entry_clear(*entry);
        entry->enable = 1;
        entry->faSceneid = scene;
        orvi_field_copy_cut(entry->type, "delete");
    }
    for (scene_delete_item_t &it : entry->list)
        if (it.enable && mac == it.mac) return;  // already waiting
    if (entry->list.size() >= TOVRA_SCENE_DELETE_MAC_MAX) {
        ORVI_LOGW("[TOVRA]scene %u holds %zu deletions: %s dropped\n\r", scene, entry->list.size(), mac.c_str());
        return;
    }
    scene_delete_item_t it{};
    it.enable = 1;
    orvi_field_copy_cut(it.mac, mac);
    entry->list.push_back(it);
    entry->count++;
    entry->num++;
    ORVI_LOGI("[TOVRA]add delete_scene_mac:%s,count[%d]\n\r", it.mac, entry->count);
}

// A MAC set to `scene` again no longer waits for its removal.
void pending_remove(uint32_t scene, const std::string &mac) {
    pending_t &p = pending();
    orvi::MutexLock lk(p.mu);
    for (scene_delete_list_t &e : p.scene_delete_list) {
        if (!e.enable || e.faSceneid != scene) continue;
        for (scene_delete_item_t &it : e.list) {
            if (!it.enable || mac != it.mac) continue;
            it.enable = 0;
            e.num--;
            ORVI_LOGI("[TOVRA]delete delete_scene_mac:%s,num[%d]\n\r", it.mac, e.num);
        }
        if (e.num == 0) entry_clear(e);
    }
}

// Every pending (scene, MAC), the list emptied.
std::vector<std::pair<uint32_t, std::string>> pending_take_all() {
    std::vector<std::pair<uint32_t, std::string>> out;
    pending_t &p = pending();
    orvi::MutexLock lk(p.mu);
    for (scene_delete_list_t &e : p.scene_delete_list) {
        if (e.enable)
            for (const scene_delete_item_t &it : e.list)
                if (it.enable) out.emplace_back(e.faSceneid, it.mac);
        entry_clear(e);
    }
    return out;
}

// The whole-network scene: the broadcast, then every removal held for it.
void whole_network_scene(uint32_t scene) {
    at_bigscene_msg_add_queue(scene);
    for (const auto &d : pending_take_all()) {
        host_tovra_devcie_info_t dev;
        if (!device_of("tovra_scene_set_handle", d.second, &dev)) continue;
        scene_remove_send(d.first, dev);
    }
}

// The MACs of "subMac": an array of texts, or one text.
std::vector<std::string> macs_of(const cJSON *plain) {
    std::vector<std::string> out;
    const cJSON *sub = cJSON_GetObjectItemCaseSensitive(plain, "subMac");
    if (cJSON_IsString(sub)) out.emplace_back(sub->valuestring);
    const cJSON *m = nullptr;
    if (cJSON_IsArray(sub))
        cJSON_ArrayForEach(m, sub) if (cJSON_IsString(m)) out.emplace_back(m->valuestring);
    return out;
}

// The fields of a panel-key request ("scene/bind/", "scene/unbind/").
struct key_request {
    uint32_t scene;
    std::string mac;
    uint8_t key_index;
    std::string type;
    std::string reqId;
};

bool key_request_of(const char *func, const cJSON *plain, size_t type_max, key_request *out) {
    long scene = 0, keyid = 0;
    const char *mac = text_member(plain, "subMac", 14);
    const char *type = text_member(plain, "type", type_max);
    const char *reqId = text_member(plain, "reqId", kReqIdMax);
    if (!int_member(plain, "subSceneID", 1, kSceneMax, &scene) || !mac || !type ||
        !orvi_json::num_of(plain, "keyid")) {
        ORVI_LOGW("[%s]subSceneID or subMac or keyid error!\n\r", func);
        return false;
    }
    if (!int_member(plain, "keyid", kKeyMin, kKeyMax, &keyid)) {
        ORVI_LOGW("[%s]keyid %g is not a key 1 to 10: refused\n\r", func, orvi_json::num_of(plain, "keyid")->valuedouble);
        return false;
    }
    out->scene = static_cast<uint32_t>(scene);
    out->mac = mac;
    out->key_index = static_cast<uint8_t>(keyid - 1);
    out->type = type;
    out->reqId = reqId ? reqId : "";
    return true;
}

// A panel-key request through the panel's codec, with its request id.
int key_request_send(const host_tovra_devcie_info_t &panel, uint32_t scene, const key_request &r, const char *type) {
    json_ptr req = orvi_json::new_object();
    cJSON_AddNumberToObject(req.get(), "fasceneid", scene);
    cJSON_AddStringToObject(req.get(), "mac", r.mac.c_str());
    cJSON_AddNumberToObject(req.get(), "keyid", r.key_index);
    cJSON_AddStringToObject(req.get(), "atcmd", "AT_SCENE");
    cJSON_AddStringToObject(req.get(), "type", type);
    json_ptr ecb = tovra_codec_cmd(panel.mid, req.get());
    if (!ecb) return -1;
    set_text(ecb.get(), "reqId", r.reqId.c_str());
    return tovra_cmd_to_at(ecb.get(), panel);
}

bool addr_ok(const char *func, const host_tovra_devcie_info_t &dev) {
    if (dev.addr >= 0 && dev.addr <= 0xFFFF) return true;
    ORVI_LOGW("[%s]device %s has no 16-bit address (%d)\n\r", func, dev.mac, dev.addr);
    return false;
}

}  // namespace

uint32_t tovra_scene_addrkeynum(uint16_t addr, uint8_t key_index) {
    return static_cast<uint32_t>(addr) * 10u + key_index;
}

// ---- device deletion ----------------------------------------------------------------

int tovra_device_delete_apply(const char *mac_in) {
    const std::string mac = mac12(mac_in);
    std::vector<host_tovra_devcie_info_t> rows;
    if (mac.empty() ||
        tovra_info_sql_table_select(TOVRA_INFO_DB, TOVRA_INFO_TABLE, "MAC", tovra_sql_text(mac.c_str()), rows) < 1) {
        ORVI_LOGW("[%s]sublist do not have this mac!\n\r", "tovra_device_delete_handle");
        return -1;
    }
    for (const host_tovra_devcie_info_t &row : rows) {
        if (!addr_ok(__func__, row)) continue;
        const uint16_t addr = static_cast<uint16_t>(row.addr);
        // The device is reset whenever it is heard again: the table says what
        // it was.
        host_delete_info_t gone{};
        gone.addr = addr;
        orvi_field_copy_cut(gone.mac, orvi_field_view(row.mac));
        orvi_field_copy_cut(gone.mid, orvi_field_view(row.mid));
        tovra_delete_sql_table_delete(TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE, "DELETEADDR", tovra_sql_num(addr));
        tovra_delete_sql_table_insert(TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE, &gone);
        ORVI_LOGI("[TOVRA]refresh delete device addr     = %d\n\r", gone.addr);
        ORVI_LOGI("[TOVRA]refresh delete device mac      = %s\n\r", gone.mac);
        ORVI_LOGI("[TOVRA]refresh delete device mid      = %s\n\r", gone.mid);
        if (strcmp(row.mid, "80205") == 0) {
            ORVI_LOGI("[TOVRA]delete device is cube\n\r");
            for (int k = 0; k < kCubeResets; ++k)
                at_cube_reset_msg_queue(TOVRA_RESET_SCENE_ID, TOVRA_RESET_KEY_ID, addr);
        } else if (strcmp(row.mid, "80601") == 0) {
            ORVI_LOGI("[TOVRA]delete device is scene switch\n\r");
            for (int k = 0; k < kSceneSwitchResets; ++k)
                at_scene_switch_reset_msg_queue(TOVRA_RESET_SCENE_ID, TOVRA_RESET_KEY_ID, addr);
        } else {
            ORVI_LOGI("[TOVRA]delete device is not scene switch\n\r");
            for (int k = 0; k < kOtherResets; ++k) at_ctrl_reset_msg_add_queue(addr);
        }
    }
    tovra_info_sql_table_delete(TOVRA_INFO_DB, TOVRA_INFO_TABLE, "MAC", tovra_sql_text(mac.c_str()));
    return 0;
}

int tovra_device_delete_handle(const char *, const char *item) {
    json_ptr plain = tovra_event_pack_get(__func__, item);
    if (!plain) return -1;
    const char *mac = orvi_json::str_of(plain.get(), "mac");
    if (!mac) {
        ORVI_LOGW("[%s]no mac to delete\n\r", __func__);
        return -1;
    }
    return tovra_device_delete_apply(mac);
}

// ---- scene deletion and setting ------------------------------------------------------

int tovra_scene_delete_handle(const char *, const char *item) {
    json_ptr plain = tovra_event_pack_get(__func__, item);
    if (!plain) return -1;
    const char *type = orvi_json::str_of(plain.get(), "type");
    if (!type || strcmp(type, "delete") != 0) return 0;  // a scene setting
    long scene = 0;
    const std::vector<std::string> macs = macs_of(plain.get());
    if (!int_member(plain.get(), "subSceneID", 1, kSceneMax, &scene) || macs.empty()) {
        ORVI_LOGW("[%s]subSceneID or subMac error!\n\r", __func__);
        return -1;
    }
    const uint32_t id = static_cast<uint32_t>(scene);
    for (const std::string &mac : macs) {
        host_tovra_devcie_info_t dev;
        if (!device_of(__func__, mac12(mac.c_str()), &dev)) continue;
        if (is_model(dev.mid, {"80401", "70721", "70726"}))
            pending_add(id, mac12(mac.c_str()));
        else
            scene_remove_send(id, dev);
    }
    // The registry's own scene state of each device; a MAC the registry does
    // not hold has none.
    for (const std::string &mac : macs)
        if (orvi_subdev_ptr sub = product_get_subdev_form_host(mac.c_str()))
            orvi_udpdev_set_scene(sub, 0, static_cast<int>(id), 2, nullptr, nullptr);
    return 0;
}

int tovra_scene_set_handle(const char *, const char *item) {
    json_ptr plain = tovra_event_pack_get(__func__, item);
    if (!plain) return -1;
    const char *type = orvi_json::str_of(plain.get(), "type");
    if (type && strcmp(type, "delete") == 0) return 0;  // a scene deletion
    long scene = 0;
    const char *cmd_text = text_member(plain.get(), "cmd", kCmdMax);
    json_ptr cmd(cmd_text ? cJSON_Parse(cmd_text) : nullptr);
    if (!int_member(plain.get(), "subSceneID", 1, kSceneMax, &scene) || !cJSON_IsObject(cmd.get())) {
        ORVI_LOGW("[%s]subSceneID or cmd error!\n\r", __func__);
        return -1;
    }
    const uint32_t id = static_cast<uint32_t>(scene);
    const char *reqId = text_member(plain.get(), "reqId", kReqIdMax);
    const char *mac = text_member(cmd.get(), "sub", 14);
    if (!mac) mac = text_member(cmd.get(), "mac", 14);
    const bool whole = id == 255 || id == 250;
    if (!mac && id != 255) {
        ORVI_LOGW("[%s]sublist do not have this mac!\n\r", __func__);
        return -1;
    }
    host_tovra_devcie_info_t dev;
    std::vector<host_tovra_devcie_info_t> rows;
    bool found = false;
    if (mac) {
        pending_remove(id, mac12(mac));
        found = tovra_info_sql_table_select(TOVRA_INFO_DB, TOVRA_INFO_TABLE, "MAC", tovra_sql_text(mac12(mac).c_str()),
                                            rows) > 0;
        if (found) dev = rows.front();
    }
    if (found) {
        set_num(cmd.get(), "fasceneid", id);
        json_ptr ecb = tovra_codec_cmd(dev.mid, cmd.get());
        if (!ecb) return -1;
        if (reqId) set_text(ecb.get(), "reqId", reqId);
        return tovra_cmd_to_at(ecb.get(), dev);
    }
    if (!whole) {
        ORVI_LOGW("[%s]sublist do not have this mac!\n\r", __func__);
        return -1;
    }
    whole_network_scene(id);
    return 0;
}

// ---- panel keys -----------------------------------------------------------------------

int tovra_scene_cmd_to_at(const cJSON *ecb, const host_tovra_scene_devcie_info_t &row) {
    long scene = 0;
    const char *type = text_member(ecb, "type", kTypeMax);
    const char *reqId = text_member(ecb, "reqId", kReqIdMax);
    if (!type || !reqId || !int_member(ecb, "fasceneid", 1, kSceneMax, &scene)) {
        ORVI_LOGW("[TOVRA]panel key %u of %u: codec output lacks type, fasceneid or reqId\n\r", row.keynum, row.addr);
        return -1;
    }
    if (is_model(row.mid, {"70718", "70724", "70725"}))
        return at_scene_msg_bind_queue(kPanelIdleScene, row.keynum, row.addr, reqId);
    if (strcmp(type, "deleteb") == 0)
        return at_scene_msg_unbind_queue(static_cast<uint32_t>(scene), row.keynum, row.addr, reqId);
    ORVI_LOGW("[TOVRA]panel key %u of %u: type %s names no command\n\r", row.keynum, row.addr, type);
    return -1;
}

int tovra_scene_deleteb_handle(const char *, const char *item) {
    json_ptr plain = tovra_event_pack_get(__func__, item);
    if (!plain) return -1;
    long scene = 0;
    const char *type = text_member(plain.get(), "type", kTypeMax);
    const char *reqId = text_member(plain.get(), "reqId", kReqIdMax);
    if (!int_member(plain.get(), "subSceneID", 1, kSceneMax, &scene) || !type || !text_member(plain.get(), "mac", 16)) {
        ORVI_LOGW("[%s]subSceneID or type or subMac error!\n\r", __func__);
        return -1;
    }
    const uint32_t id = static_cast<uint32_t>(scene);
    std::vector<host_tovra_scene_devcie_info_t> keys;
    if (tovra_scene_info_sql_table_select(TOVRA_SCENE_INFO_DB, TOVRA_SCENE_INFO_TABLE, "SCENEID", tovra_sql_num(id),
                                          keys) < 1) {
        ORVI_LOGW("[%s]sublist do not have this mac!\n\r", __func__);
    }
    for (const host_tovra_scene_devcie_info_t &row : keys) {
        json_ptr req = orvi_json::new_object();
        cJSON_AddNumberToObject(req.get(), "fasceneid", id);
        cJSON_AddStringToObject(req.get(), "type", type);
        json_ptr ecb = tovra_codec_cmd(row.mid, req.get());
        if (!ecb) continue;
        set_text(ecb.get(), "reqId", reqId ? reqId : "");
        tovra_scene_cmd_to_at(ecb.get(), row);
    }
    for (int k = 0; k < 3; ++k) at_scene_msg_delete_queue(id, 0);
    return 0;
}

int tovra_scene_bind_handle(const char *, const char *item) {
    json_ptr plain = tovra_event_pack_get(__func__, item);
    if (!plain) return -1;
    key_request r;
    if (!key_request_of(__func__, plain.get(), kTypeMax, &r)) return -1;
    host_tovra_devcie_info_t panel;
    if (!device_of(__func__, mac12(r.mac.c_str()), &panel) || !addr_ok(__func__, panel)) return -1;
    const uint16_t addr = static_cast<uint16_t>(panel.addr);
    const uint32_t n = tovra_scene_addrkeynum(addr, r.key_index);
    std::vector<host_tovra_scene_devcie_info_t> rows;
    if (tovra_scene_info_sql_table_select(TOVRA_SCENE_INFO_DB, TOVRA_SCENE_INFO_TABLE, "ADDRKEYNUM", tovra_sql_num(n),
                                          rows) < 1) {
        host_tovra_scene_devcie_info_t key{};
        key.addrkeynum = n;
        key.addr = addr;
        key.sceneid = r.scene;
        key.keynum = r.key_index;
        orvi_field_copy_cut(key.mid, orvi_field_view(panel.mid));
        tovra_scene_info_sql_table_insert(TOVRA_SCENE_INFO_DB, TOVRA_SCENE_INFO_TABLE, &key);
    } else {
        // The row number names the panel and the key: the row is this key's.
        tovra_scene_info_sql_table_update(TOVRA_SCENE_INFO_DB, TOVRA_SCENE_INFO_TABLE, static_cast<int>(n), "SCENEID",
                                          tovra_sql_num(r.scene));
        if (strcmp(rows.front().mid, panel.mid) != 0)
            tovra_scene_info_sql_table_update(TOVRA_SCENE_INFO_DB, TOVRA_SCENE_INFO_TABLE, static_cast<int>(n),
                                              "SCENEMID", tovra_sql_text(panel.mid));
    }
    return key_request_send(panel, r.scene, r, r.type.c_str());
}

int tovra_scene_unbind_handle(const char *, const char *item) {
    json_ptr plain = tovra_event_pack_get(__func__, item);
    if (!plain) return -1;
    key_request r;
    if (!key_request_of(__func__, plain.get(), 6, &r)) return -1;
    host_tovra_devcie_info_t panel;
    if (!device_of(__func__, mac12(r.mac.c_str()), &panel) || !addr_ok(__func__, panel)) return -1;
    // These panels have no unbound key: theirs go back to the idle scene.
    if (is_model(panel.mid, {"70718", "70724", "70725"})) return key_request_send(panel, kPanelIdleScene, r, "bind");
    return key_request_send(panel, r.scene, r, r.type.c_str());
}

// ---- device-to-key binding --------------------------------------------------------------

int tovra_device_bind_handle(const char *, const char *item) {
    json_ptr plain = tovra_event_pack_get(__func__, item);
    if (!plain) return -1;
    long addr = 0, keyid = 0;
    const char *mac = text_member(plain.get(), "subMac", 12);
    const char *type = text_member(plain.get(), "type", kTypeMax);
    if (!int_member(plain.get(), "addr", 0, 0xFFFF, &addr) || !mac || !type ||
        !int_member(plain.get(), "keyid", kKeyMin, kKeyMax, &keyid)) {
        ORVI_LOGW("[%s]addr, subMac, keyid (1 to 10) or type error!\n\r", __func__);
        return -1;
    }
    host_tovra_devcie_info_t panel;
    if (!device_of(__func__, mac12(mac), &panel) || !addr_ok(__func__, panel)) return -1;
    // The kind of the device the key switches, from its model.
    int devicetype = 0;
    std::vector<host_tovra_devcie_info_t> target;
    if (tovra_info_sql_table_select(TOVRA_INFO_DB, TOVRA_INFO_TABLE, "ADDR", tovra_sql_num(addr), target) > 0) {
        if (is_model(target.front().mid, {"70314", "70315"})) devicetype = 1;
        if (is_model(target.front().mid, {"80501"})) devicetype = 2;
    } else {
        ORVI_LOGW("[%s]device %ld is not in the table: bound as kind 0\n\r", __func__, addr);
    }
    json_ptr req = orvi_json::new_object();
    cJSON_AddNumberToObject(req.get(), "devicetype", devicetype);
    cJSON_AddNumberToObject(req.get(), "addr", addr);
    cJSON_AddStringToObject(req.get(), "mac", mac);
    cJSON_AddNumberToObject(req.get(), "keyid", keyid);
    cJSON_AddStringToObject(req.get(), "atcmd", "AT_SCENE");
    cJSON_AddStringToObject(req.get(), "type", type);
    json_ptr ecb = tovra_codec_cmd(panel.mid, req.get());
    if (!ecb) return -1;
    int rc = 0;
    for (int k = 0; k < 3; ++k)
        if (tovra_cmd_to_at(ecb.get(), panel) != 0) rc = -1;
    return rc;
}

// ---- scene locks ------------------------------------------------------------------------

int tovra_scene_lock_handle(const char *, const char *item) {
    json_ptr plain = tovra_event_pack_get(__func__, item);
    if (!plain) return -1;
    tovra_for_each_pair(plain.get(), [](const cJSON *name, const cJSON *value) {
        if (!cJSON_IsString(name) || strcmp(name->valuestring, "scenelock") != 0 || !cJSON_IsNumber(value)) return;
        tovra_scene_lock1_flag.store(value->valueint);
        if (value->valueint == 1) tovra_scene_lock_send(1, tovra_scene_lock2_flag.load());
    });
    return 0;
}

int tovra_scene2_lock_handle(const char *, const char *item) {
    json_ptr plain = tovra_event_pack_get(__func__, item);
    if (!plain) return -1;
    if (!cJSON_IsNumber(plain.get())) {
        ORVI_LOGW("[%s]scene lock two is not a number\n\r", __func__);
        return -1;
    }
    tovra_scene_lock2_flag.store(plain->valueint);
    if (plain->valueint == 0) tovra_scene_lock_send(tovra_scene_lock1_flag.load(), 0);
    return 0;
}

// ---- the room of a device -----------------------------------------------------------------

int tovra_room_set_apply(const char *mac, const char *mid, int roomid) {
    if (!mac || !mid || strchr(mid, '_')) {
        ORVI_LOGW("[TOVRA]%s mid illegal\n\r", mid ? mid : "(null)");
        return -1;
    }
    if (roomid < 0 || roomid > 0xFF) {
        ORVI_LOGW("[TOVRA]room %d of %s is not a short room id\n\r", roomid, mac);
        return -1;
    }
    const size_t len = strnlen(mac, 15);
    json_ptr req = orvi_json::new_object();
    cJSON_AddNumberToObject(req.get(), "roomid", roomid);
    cJSON_AddStringToObject(req.get(), "mac", mac12(mac).c_str());
    if (strcmp(mid, "80401") == 0) {
        // The key of a multi-key switch is the MAC's 13th and 14th characters.
        if (len < 14 || mac[12] < '0' || mac[12] > '9' || mac[13] < '0' || mac[13] > '9') {
            ORVI_LOGW("[TOVRA]%s names no key of its switch\n\r", mac);
            return -1;
        }
        cJSON_AddNumberToObject(req.get(), "keyid", (mac[12] - '0') * 10 + (mac[13] - '0'));
    }
    cJSON_AddStringToObject(req.get(), "atcmd", "AT_CTRL");
    host_tovra_devcie_info_t dev;
    if (!device_of("tovra_room_set_handle", mac12(mac), &dev) || !addr_ok(__func__, dev)) return -1;
    json_ptr ecb = tovra_codec_cmd(dev.mid, req.get());
    if (!ecb) return -1;
    int rc = 0;
    for (int k = 0; k < 3; ++k)
        if (tovra_cmd_to_at(ecb.get(), dev) != 0) rc = -1;
    return rc;
}

// ---- for tests --------------------------------------------------------------------------

std::vector<std::string> tovra_scene_pending_macs(uint32_t scene) {
    std::vector<std::string> out;
    pending_t &p = pending();
    orvi::MutexLock lk(p.mu);
    for (const scene_delete_list_t &e : p.scene_delete_list)
        if (e.enable && e.faSceneid == scene)
            for (const scene_delete_item_t &it : e.list)
                if (it.enable) out.emplace_back(it.mac);
    return out;
}

size_t tovra_scene_pending_scenes(void) {
    size_t n = 0;
    pending_t &p = pending();
    orvi::MutexLock lk(p.mu);
    for (const scene_delete_list_t &e : p.scene_delete_list) n += e.enable ? 1 : 0;
    return n;
}

void tovra_scene_reset_for_test(void) {
    pending_take_all();
    tovra_scene_lock1_flag.store(0);
}

// ---- the host's scene broadcast ----

void tovra_trivox_scene_status_apply(uint32_t id) {
    tovra_trivox_scene_id_set(id);
    tm_1s.Scene_Status_Flag_Time.store(0x4001);
}

int tovra_trivox_scene_send_apply(uint32_t id) {
    if (id == 0 || id > 0xFFFFFFu) {
        TOVRA_LOG(TOVRA_DEBUG_ERROR, "[%s]scene id 0x%x is not 1 to 0xFFFFFF", __func__, id);
        return -1;
    }
    return at_scene_ctrl_msg_add_queue(id);
}
