// The local event topics: the "master_control" subscription to what the
// board's sibling services publish on the local broker, the inbound queue
// and its single worker, the package decoding with its key choice, the
// prefix table that routes each event to its handler, the pairing window
// (match status and event 4117), and the host state those handlers keep
// (scene lock, last binding result, gateway tokens).
//
// Threads: the MQTT client thread only queues (local_env_receiver); every
// handler runs on the one worker, in arrival order. Work that may take long
// (an HTTPS check, a wait before a reboot) leaves the worker on a thread of
// its own. The getters and the match-status entries are safe from any
// thread.
#pragma once

#include <cJSON.h>

#include <cstdint>
#include <string>
#include <vector>

// ---- Start-up -----------------------------------------------------------------

// Starts the worker that handles received local events. 0 or -1.
int orvi_uds_init(void);
// Starts the "master_control" subscription and waits (bounded) until the
// broker confirmed the fixed topic list; the topics holding the home MAC
// follow the home MAC from then on. 0, or -1 when the thread could not start.
int orvi_local_mqtt_sub(void);

// The topics subscribed, in order: the fixed list, then, when `home_mac` is
// not empty, the three formed with it.
std::vector<std::string> master_control_topics(const std::string &home_mac);

// ---- Inbound path ----------------------------------------------------------------

// The subscription callback: queues a copy and returns.
void local_env_receiver(const char *topic, const char *payload);
// One received payload: split into top-level objects, each decoded and
// dispatched in order. Returns the number of objects found.
int envt_payload_handle(const char *topic, const char *payload);
// Decodes one package and dispatches it. The handler's result, or -1.
int envt_subscribe_data_handle(const char *topic, const char *package);
// Routes a decrypted payload by topic prefix. The handler's result, or -1.
int event_dispatch_handle(const char *topic, cJSON *payload);

// The key that opens a package of `topic` from `cid` to `tcid` with key
// selector `i`, as the siblings seal it; `*which` names it for the log.
std::string envt_package_key(const char *topic, const char *cid, const char *tcid, int i,
                             std::string *which);

// ---- Pairing window and match status ---------------------------------------------

// Match status: 0 unmatched, 1 matched, 2 matching from matched, 3 matching
// from unmatched, 4 (3 suspended) and 5 (2 suspended) by a backup or restore.
// The window: "matching_timeout", 30 minutes, created on first use and
// restarted after; its expiry posts event 4117.
int matching_timeout_timer_create(void);
int matching_timeout_timer_delete(void);
// The pairing window expired (event 4117): each state goes back to the one
// it came from, 0 or 1.
void matching_timeout_handler(void);
// A backup or restore starts / ends: a window in progress is suspended
// ("matching" = "fail" on "/host") / resumed ("key" = "matching" on "/key").
void evn_match_status_backup_enter(void);
void evn_match_status_backup_leave(void);
// Publishes the host's pairing state on "/host". 0 or -1.
int evn_host_match_status_sync(void);

// ---- Host state kept by the handlers ---------------------------------------------

int uds_scene_lock_get(void);
int uds_bind_result_get(void);
// A copy of the gateway tokens object (the caller deletes it), or null.
cJSON *uds_gateway_tokens_get(void);
void uds_scene_lock_set(int lock);
void uds_bind_result_set(int result);
// Keeps a copy (null forgets the tokens).
void uds_gateway_tokens_set(const cJSON *tokens);

// ---- What the handlers ask of services built elsewhere ----------------------------
// Start-up wires the ones that exist; a member left null answers "not built"
// (-1, logged once). Calls run on the event worker unless said otherwise.
typedef struct orvi_event_topics_peers_s {
    // BLE advertising on (pairing window open) or idle.
    int (*ble_advertise)(int on);
    // A backup of `kind`, started without waiting for it.
    int (*backup_start)(int kind);
    // An SD restore of `kind` with the restore-touch flag, started without waiting.
    int (*sd_restore_start)(int kind, int touch);
    // Drops the cloud link (it comes back by itself).
    int (*cloud_disconnect)(void);
    // Firmware version check: 0 with the result text, or -1. Slow (HTTPS):
    // runs on a thread of its own, never on the worker.
    int (*firmware_check)(std::string *result);
    // Scene-touch status handler (scene broadcasts).
    int (*scene_touch_status)(const cJSON *body);
    // Scene-panel bind / unbind answers.
    int (*scene_bind_rsp)(const cJSON *payload);
    int (*scene_unbind_rsp)(const cJSON *payload);
    // Reloads the room list from the state store.
    int (*roomlist_reload)(void);
    // The lighting service's room change and device removal.
    int (*tovra_room_set)(const char *mac, uint32_t room_id);
    int (*tovra_device_delete)(const char *mac);
    // Empties the schedules of a device.
    int (*timers_clear)(const char *mac);
    // Publishes the host information answer.
    int (*host_info_publish)(void);
    // The cloud link state of the run information.
    int (*set_host_net)(int connected);
} orvi_event_topics_peers_t;

// Start-up wires the peers (null: every one "not built"). The table must
// outlive the process.
void orvi_event_topics_set_peers(const orvi_event_topics_peers_t *peers);

// ---- Shared with the handlers' file ------------------------------------------------

// One row of `event_handle_map`.
typedef int (*event_handle_fn)(const char *topic, cJSON *payload);
typedef struct event_handle_map_s {
    char topic[32];
    event_handle_fn handler;
} event_handle_map_t;
// The table, in order, and its row count.
const event_handle_map_t *event_handle_map_rows(size_t *count);
