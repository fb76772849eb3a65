// The tovra lighting service as the rest of the host calls it: its start-up,
// the device-table refresh, room group control, the trivox scene panels, the
// lighting module's MAC, the rooms of new devices, room changes and device
// deletion. Until start-up installs it, every call fails (or does nothing)
// and says "not built". The calls run on the caller's thread
// (the request task, the event loop).
#pragma once

#include <cstdint>
#include <string>

// Starts the service thread and its subscriptions. 1, or 0 when the service
// thread could not be started.
int tovra_thread_main_init(void);
// Asks for a full refresh of the device table.
void tovra_all_refresh_list(void);
// Room group control of the tovra devices of class `DevType` in the room with
// short id `Room_ID` (0: the whole home). 0 when queued, -1 when the lighting
// service cannot carry it.
int tovra_device_all_ctrl(int Room_ID, int Pow, int DevType, int Lum, int ColorTemp, int CurPercent);
// A scene broadcast by the host (24-bit id). The status set remembers the
// id as the trivox scene panels' status for a second, so the module's echo
// of it is not reported again as a key press. The send writes the scene
// control to the network: the panels light the key bound to it and the
// devices holding the scene run it.
void tovra_trivox_scene_status_set(uint32_t sceneId);
void tovra_trivox_scene_send(uint32_t sceneId);
// The lighting module's own MAC (12 lower-case hex digits), empty until the
// module reported it.
std::string tovra_get_tovra_mac(void);
// A tovra device was added: its room is queued and its status asked for
// after the next device-table refresh.
void new_online_device_list(const char *mac);
// The app moved the device `mac` (model `mid`) to the room with short id
// `roomid`: the device learns its new room. 0 when queued.
int tovra_room_set_handle(const char *mac, const char *mid, int roomid);
// The app deleted the device `mac`: it is reset and leaves the lighting
// tables. 0, or -1 when the lighting service does not know it.
int tovra_device_applet_delete_handle(const char *mac);

typedef struct tovra_service_ops_s {
    int (*thread_main_init)(void);
    void (*all_refresh_list)(void);
    int (*device_all_ctrl)(int Room_ID, int Pow, int DevType, int Lum, int ColorTemp, int CurPercent);
    void (*trivox_scene_status_set)(uint32_t sceneId);
    void (*trivox_scene_send)(uint32_t sceneId);
    std::string (*get_tovra_mac)(void);
    void (*new_online_device_list)(const char *mac);
    int (*room_set_handle)(const char *mac, const char *mid, int roomid);
    int (*device_applet_delete_handle)(const char *mac);
} tovra_service_ops_t;

// Start-up 0, group control, room set and deletion -1, no module MAC, the
// rest does nothing.
extern const tovra_service_ops_t tovra_service_not_built;
// Start-up installs the lighting service; null puts "not built" back.
void tovra_service_install(const tovra_service_ops_t *ops);
