// Binding, pairing and heartbeat: the packet handlers (declared in
// orvi_handlers.h, run on the request task) and the host-initiated halves of
// the same exchanges: the device-list sync timer, the device self-check and
// its worker thread, the switch bind/unbind relay and its answer
// subscriptions (local MQTT threads), the cloud restore trigger.
#pragma once

#include <cJSON.h>

#include <cstdint>
#include <string>

#include "orvi_handlers.h"
#include "product_subdev.h"

#define ORVI_SYNCDEV_TIMER "t_syncdevlist_timeout"
#define ORVI_SYNCDEV_PERIOD_MS 1000
// syncDev repeats for one unmoved index before the sync is abandoned.
#define ORVI_SYNCDEV_REPEAT_MAX 5
#define ORVI_DEV_CHECK_TIMER "t_dev_checking"
#define ORVI_SUBDEV_PAGE 32            // wired devices per "subList" answer
#define ORVI_REQID_SIZE 64             // request ids kept by the switch bind and the self-check
#define ORVI_ROOM_DEFAULT_NAME "全屋"  // the whole-home room every room list holds
#define ORVI_BIND_RESP_CLIENT "demo_1"
#define ORVI_BIND_RESP_TOPIC "scene/bind/resp"
#define ORVI_UNBIND_RESP_TOPIC "scene/unbind/resp"

// ---- Device-list sync with the mini-app -------------------------------------

// Starts (or restarts) the 1 s sync timer: while the mini-app's page index is
// below its announced count, each expiry asks `dev` for the page again
// ("syncDev", event 4099); six expiries without progress abandon the sync.
// 0 or -1.
int syncDev_send_ack_check(const orvi_subdev_ptr &dev);
// One expiry of that timer (the timer callback's work). Returns 1 when a
// syncDev was posted, 0 when the sync ended (complete or abandoned).
int syncDev_timeout_step(void);

// The device-list text "upDevList" sends next (taken by the send).
void orvi_upDevList_set(const std::string &text);

// ---- Persistent sync (event-bus form) ---------------------------------------

// The "syncPersistent" choice without an answer. With a requesting record
// the list is pushed to it page by page; without one (null) it is published
// on the bus ("syncAckHttp"). 0 or -1.
int orvi_syncPersistent_handle(const cJSON *json, const orvi_subdev_ptr &dev);

// ---- Device self-check ("DevCheck") ----------------------------------------

// Starts ("oper" non-zero) or ends ("oper" 0) the self-check. 0 or -1.
int orvi_dev_checking_handle(const cJSON *json, const orvi_subdev_ptr &dev);
// Timer period of a check over `devCnt` records: devCnt x 600 ms clamped to
// 20000..60000, halved.
long dev_checking_delay_ms(uint32_t devCnt);
// One step of the check worker when the timer has fired since the last step
// (all-off phase -> all-on phase -> result). 1 when a step ran, else 0.
int dev_checking_step(void);
// Appends to `array` the MACs of the records failing the phase `scene` (2:
// power on or unknown; 1: also power off or unknown). 0, or -1 for another
// scene or a null array.
int dev_checking_status(int scene, cJSON *array);

// ---- Cloud restore, short ids ------------------------------------------------

// "fileId", "hostMac", "env": fills the restore request and publishes the
// key event "webRestore". 0 or -1.
int orvi_cloudbackup_handle(const cJSON *json, const orvi_subdev_ptr &dev);
// Gives up the record's short id (macId -1). 0, or -1 for a null record.
int release_macId(const orvi_subdev_ptr &dev);

// ---- Switch bind relay ----------------------------------------------------------

// Starts the subscriptions to the devices' bind and unbind answers (client
// "demo_1", one detached thread each). Once per process; 0 or -1.
int magic_bind_scene_thread(void);
// One answer arriving on "scene/bind/resp" or "scene/unbind/resp" (the
// subscriptions' callback). 0 when collected, -1 when dropped (logged).
int magic_bind_resp_handle(const char *topic, const char *payload);
