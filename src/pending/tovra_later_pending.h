// Hooks into the lighting service that the host event loop and device
// control call. Recording stand-ins (tovra_later_pending.cpp) until the
// lighting service lands in src/utils/host_tovra/ and replaces this header.
#pragma once

#include <cstdint>
#include <string>

// Asks the lighting service for a full refresh of its device list.
void tovra_all_refresh_list(void);

// Room group control of the tovra devices of room `Room_ID` (a short room
// id; 0 is the whole home) and class `DevType`. Returns 0 when queued.
int tovra_device_all_ctrl(int Room_ID, int Pow, int DevType, int Lum, int ColorTemp, int CurPercent);

// Scene broadcast by the host: remembers the id as the status of the trivox
// scene panels / sends the panels their flag list and the scene id over tovra.
void tovra_trivox_scene_status_set(uint32_t sceneId);
void tovra_trivox_scene_send(uint32_t sceneId);
// The host's default-scene control: broadcasts the scene to the lights and
// sets the self-check phase (scene_id_default_set, orvi_subdev_ctrl.h) for
// the home-wide defaults 1 (all on) and 2 (all off).
void orvi_send_default_scene(uint32_t sceneId);
// The lighting module's own MAC (12 lower-case hex digits), empty until the
// module reported it.
std::string tovra_get_tovra_mac(void);
// A tovra device was added by the app: its room is queued and its status is
// asked for after the next device-table refresh.
void new_online_device_list(const char *mac);
