// What requests to the lighting devices become on the module's queues: the
// translation of a model codec's output into a queued command, the control
// requests of the app and the cloud ("/jsonRequest"), and room group control.
// Runs on the caller's thread (the service's dispatch thread, the request
// task); it only queues.
#pragma once

#include <cJSON.h>

#include "orvi_json.h"
#include "tovra_sql.h"

// One device's command as its model codec put it, queued for `dev`: "bin"
// (a length byte L, then L - 1 command bytes) with "atcmd" "AT+CTRL" or
// "AT+SCENE" (with "reqId" and "fasceneid"), or a room, key, scene or device
// binding. 0 when queued, -1 when the form is not understood or out of range.
int tovra_cmd_to_at(const cJSON *ecb, const host_tovra_devcie_info_t &dev);

// `request` for one device through its model's codec (`mid`): the codec's
// output object, or null (logged) when the model makes no command of it.
orvi_json::json_ptr tovra_codec_cmd(const char *mid, const cJSON *request);

// "/jsonRequest/...": a control request sealed for a lighting device, turned
// into its model's command. 0 when queued.
int tovra_ctrl_handle(const char *topic, const char *item);

// `tovra_device_all_ctrl` as built: room `Room_ID` (short id; 0 the whole home), device class `DevType` (8
// lights, 7 curtains). 0 when queued, -1 when nothing could be queued.
int tovra_room_group_ctrl(int Room_ID, int Pow, int DevType, int Lum, int ColorTemp, int CurPercent);
// The scene id the curtains of a room answer with their open per cent.
#define TOVRA_CURTAIN_SCENE_BASE 1792
