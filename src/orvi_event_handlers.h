// The handlers of the local event topics (orvi_event_topics.h routes to
// them) and what they share with the router: the peers' calls and the
// request injection. Used by orvi_event_topics*.cpp and the handlers' file
// only; every function runs on the event worker.
#pragma once

#include <cJSON.h>

#include "orvi_event_topics.h"
#include "orvi_types.h"
#include "product_subdev.h"

// The installed peers' calls, each falling back to "not built".
namespace evt_peer {
int ble_advertise(int on);
int backup_start(int kind);
int sd_restore_start(int kind, int touch);
int cloud_disconnect(void);
int firmware_check(std::string *result);
int scene_touch_status(const cJSON *body);
int scene_bind_rsp(const cJSON *payload);
int scene_unbind_rsp(const cJSON *payload);
int roomlist_reload(void);
int tovra_room_set(const char *mac, uint32_t room_id);
int tovra_device_delete(const char *mac);
int timers_clear(const char *mac);
int host_info_publish(void);
int set_host_net(int connected);
}  // namespace evt_peer

// Queues `body` printed as a request of `conn` whose target is named by
// `mac` (looked up when the request task takes it, so a record deleted or
// replaced in between is never used). 0 or -1.
int evt_request_inject(const cJSON *body, connect_type_t conn, const char *mac);

// The handlers of the table rows.
int evnt_handler_cb_envType0(const char *topic, cJSON *p);
int evnt_handler_cb_envType1(const char *topic, cJSON *p);
int evnt_handler_cb_envType4(const char *topic, cJSON *p);
int evnt_handler_cb_envType5(const char *topic, cJSON *p);
int evnt_handler_cb_envType7(const char *topic, cJSON *p);
int evnt_handler_cb_jsonStatus(const char *topic, cJSON *p);
int evnt_handler_cb_frames(const char *topic, cJSON *p);
int evnt_handler_cb_jsonReq(const char *topic, cJSON *p);
int evnt_handler_cb_binStatus(const char *topic, cJSON *p);
int evnt_handler_cb_jsonResp(const char *topic, cJSON *p);
int evnt_handler_cb_linkBroc(const char *topic, cJSON *p);
int evnt_handler_cb_envPersist(const char *topic, cJSON *p);
int evnt_handler_cb_timeInfo(const char *topic, cJSON *p);
int evnt_handler_cb_roomSet(const char *topic, cJSON *p);
int evnt_handler_cb_sceneSet(const char *topic, cJSON *p);
int evnt_handler_cb_soUpdate(const char *topic, cJSON *p);
int evnt_handler_cb_hb(const char *topic, cJSON *p);
int evnt_handler_cb_sceneBroc(const char *topic, cJSON *p);
int evnt_handler_cb_notive(const char *topic, cJSON *p);
int evnt_handler_cb_BindRsp(const char *topic, cJSON *p);
int evnt_handler_cb_appInfo(const char *topic, cJSON *p);
int evnt_handler_cb_mAppResore(const char *topic, cJSON *p);
int evnt_handler_cb_mAppRequest(const char *topic, cJSON *p);

// Room change of the subdevice "subMac" to "roomid" (P at the top level).
int env_device_room_set_handle(const char *topic, const cJSON *p);

// Match status moves of the "/key" and "/tovra/pair" handlers.
void evt_matching_open(void);
void evt_matching_success(void);
