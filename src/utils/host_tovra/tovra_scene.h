// Scenes, panel keys, device deletion and binding, scene locks and the room
// of a device: the lighting requests that change what the devices remember
// rather than what they show. Each request goes through the device model's
// codec and is queued by the command translator (tovra_ctrl.h); the panel
// keys' scenes are kept in the panel-key scene table, removed devices in the
// deleted-device table (tovra_sql.h).
//
// The topic handlers run on the service's dispatch thread; the room set and
// the device deletion by MAC run on the caller's thread too (the host's event
// handlers). All of them only queue and write the tables.
#pragma once

#include <cJSON.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tovra_sql.h"

// ---- topic handlers: (topic, one JSON item); 0 when acted on ----
// "deletedev8app/...": {"mac"}: the device is reset and forgotten.
int tovra_device_delete_handle(const char *topic, const char *item);
// "scene/set...": items with "type" "delete", "subSceneID" and "subMac".
int tovra_scene_delete_handle(const char *topic, const char *item);
// "scene/set...": items with "subSceneID", "cmd" and "reqId".
int tovra_scene_set_handle(const char *topic, const char *item);
// "scene/deleteb/...": the scene leaves every panel key bound to it.
int tovra_scene_deleteb_handle(const char *topic, const char *item);
// "scene/bind/...", "scene/unbind/...": a panel key and a scene.
int tovra_scene_bind_handle(const char *topic, const char *item);
int tovra_scene_unbind_handle(const char *topic, const char *item);
// "/parameter" ("scenelock"), "/scene/lock2" (a number).
int tovra_scene_lock_handle(const char *topic, const char *item);
int tovra_scene2_lock_handle(const char *topic, const char *item);
// "device/bind": a panel key switches a device.
int tovra_device_bind_handle(const char *topic, const char *item);

// A panel-key table row's request as its model codec put it: panels of
// models 70718, 70724 and 70725 get the key bound to scene 100, the others
// with "type" "deleteb" get the key unbound from the scene. Needs "type",
// "fasceneid" and "reqId". 0 when queued.
int tovra_scene_cmd_to_at(const cJSON *ecb, const host_tovra_scene_devcie_info_t &row);

// `tovra_device_applet_delete_handle` as built: the device deletion for one
// MAC (its first 12 characters). 0, or -1 when it is not in the device table.
int tovra_device_delete_apply(const char *mac);
// `tovra_room_set_handle` as built: moves the device to room `roomid` (short
// id 0 to 255). A model id with "_" is refused; a multi-key switch (80401)
// takes its key from the two characters after the first 12 of the MAC.
// 0 when queued.
int tovra_room_set_apply(const char *mac, const char *mid, int roomid);

// A scene run on the whole network, by the host (24-bit id): the id is
// remembered as the trivox panels' status for a second (so the module's
// echo of it is no new key press), and the scene control is written three
// times. The status set is `tovra_trivox_scene_status_set`, the write
// `tovra_trivox_scene_send` (0, or -1 for an id out of range or a full
// queue).
void tovra_trivox_scene_status_apply(uint32_t id);
int tovra_trivox_scene_send_apply(uint32_t id);

// The panel-key table's row number of key index `key_index` (0 to 9) of the
// panel at `addr`: addr x 10 + key index, unique for every 16-bit address.
uint32_t tovra_scene_addrkeynum(uint16_t addr, uint8_t key_index);

// Scene lock one (the host's "scenelock"); two and three are the queue's.
extern std::atomic<int> tovra_scene_lock1_flag;

// ---- pending scene deletions ----
// Multi-key switches and panels hear a scene removal only while the whole
// network listens: theirs wait here until the next whole-network scene.
#define TOVRA_SCENE_DELETE_LIST_SIZE 20
// Most MACs one scene holds pending.
#define TOVRA_SCENE_DELETE_MAC_MAX 256
// The MACs (first 12 characters) pending for `scene`, in the order added.
std::vector<std::string> tovra_scene_pending_macs(uint32_t scene);
// Scenes with deletions pending.
size_t tovra_scene_pending_scenes(void);
// Forgets every pending deletion and the scene-lock flag one. For tests.
void tovra_scene_reset_for_test(void);
