// Every packet handler and host-initiated send function the dispatch tables
// name, and the tables themselves (orvi_handlers.cpp), which start-up hands
// to the intake. All run on the request task (see orvi_request.h for the
// contract).
#pragma once

#include "orvi_request.h"

// The dispatch tables `s_handles_list` and `s_send_handles_list`, the scene
// tag extras of a cloud response, the host event handler and the heartbeat
// check: what the intake runs, as start-up installs it (request_dispatch_set).
const request_dispatch_t *orvi_handlers_dispatch(void);

#define ORVI_HANDLER(name) int name(cJSON *json, request_data_t *req, const orvi_subdev_ptr &dev)
#define ORVI_SENDER(name) int name(request_data_t *req, const orvi_subdev_ptr &dev)

// Binding, pairing and heartbeat (orvi_bind_handlers.cpp).
ORVI_HANDLER(request_handle_UBind);
ORVI_HANDLER(request_handle_hb);
ORVI_HANDLER(request_handle_Utm);
ORVI_HANDLER(request_handle_connect);
ORVI_HANDLER(request_handle_subDev);
ORVI_HANDLER(request_handle_checksub);
ORVI_HANDLER(request_handle_devListPush);
ORVI_HANDLER(request_handle_devListPushRes);
ORVI_HANDLER(request_handle_roomListPush);
ORVI_HANDLER(request_handle_upRoomInfo);
ORVI_HANDLER(request_handle_devOnlineRes);
ORVI_HANDLER(request_handle_devOnlineDone);
ORVI_HANDLER(request_handle_checkResRes);
ORVI_HANDLER(request_handle_checkResDone);
ORVI_HANDLER(request_handle_syncPersistent);
ORVI_HANDLER(request_handle_switchBindPush);
ORVI_HANDLER(request_handle_getLoginInfo);
ORVI_SENDER(orvi_send_syncDev);
ORVI_SENDER(orvi_send_syncDone);
ORVI_SENDER(orvi_send_upDevList);

// Status and control (orvi_status_handlers.cpp).
ORVI_HANDLER(request_handle_status);
ORVI_HANDLER(request_handle_binStatus);
ORVI_HANDLER(request_handle_dat);
ORVI_HANDLER(request_handle_jsonStatus);
ORVI_HANDLER(request_handle_jsonCmd);
ORVI_HANDLER(request_handle_configStatus);
ORVI_HANDLER(request_handle_time);
ORVI_HANDLER(request_handle_upgrade);
ORVI_HANDLER(request_handle_binSubStatus);
ORVI_HANDLER(request_handle_binSubEvent);
ORVI_HANDLER(request_handle_485Configure);
ORVI_HANDLER(request_handle_sceneSinglepush);
ORVI_HANDLER(request_handle_checkSceneExe);
ORVI_HANDLER(request_handle_updown);
ORVI_SENDER(orvi_send_jsonStatus);
ORVI_SENDER(orvi_send_jsonStatus_mqtt);
ORVI_SENDER(orvi_send_multicast_test);
ORVI_SENDER(orvi_send_miniAppRsp);
ORVI_SENDER(orvi_send_sceneSingleSetRes);
ORVI_SENDER(orvi_send_soLoadState);
// Scene tag extras of a cloud response, or null (the caller deletes it).
cJSON *orvi_sceneTag_extras_res(const char *response);

// Answers to host commands on the LAN (orvi_bincmd.cpp / orvi_socket.cpp).
ORVI_HANDLER(request_handle_ret);
ORVI_HANDLER(request_handle_res);
ORVI_HANDLER(request_handle_statusCheckRes);
ORVI_SENDER(orvi_send_scan);
ORVI_SENDER(orvi_send_binCmd);
ORVI_SENDER(orvi_send_binStatus);

// BLE provisioning (ble/).
ORVI_HANDLER(request_handle_bind);
ORVI_HANDLER(request_handle_subBDev);
ORVI_HANDLER(request_handle_QnetDev);
ORVI_HANDLER(request_handle_bleCheck);
ORVI_HANDLER(request_handle_homeBind);
ORVI_SENDER(orvi_send_bleinfo);
