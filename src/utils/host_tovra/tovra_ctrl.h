// Room group control of the lighting devices: what the host's group command
// (a room's lights or curtains switched together) becomes on the module's
// queues. Runs on the caller's thread (the request task); it only queues.
#pragma once

// `tovra_device_all_ctrl` as built: room `Room_ID` (short id; 0 the whole home), device class `DevType` (8
// lights, 7 curtains). 0 when queued, -1 when nothing could be queued.
int tovra_room_group_ctrl(int Room_ID, int Pow, int DevType, int Lum, int ColorTemp, int CurPercent);
// The scene id the curtains of a room answer with their open per cent.
#define TOVRA_CURTAIN_SCENE_BASE 1792
