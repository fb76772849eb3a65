// What the lighting module's link calls above or beside itself: the device
// tables, the lighting events, the status poller, the host's default-scene
// and factory-test paths. The link sits in the transports layer and may not
// name those modules, so it calls through this table, which start-up fills.
// Until then every hook is "not built": it logs that once and does nothing
// (a lookup finds nothing, a query answers 0).
#pragma once

#include <cstdint>

#include "orvi_seam.h"

// The part of a device-table record the link reads.
typedef struct tovra_link_dev_s {
    uint16_t addr;
    char mid[16];  // model id, e.g. "70314"
    char mac[16];
    int online;
} tovra_link_dev_t;

// Most deleted-table entries one lookup returns.
#define TOVRA_DELETED_MAX 8

typedef struct tovra_link_hooks_s {
    // ---- device table ----
    // 0 and the record when `addr` is in the device table, -1 when not.
    int (*device_lookup)(uint16_t addr, tovra_link_dev_t *out);
    // Marks the device online in the table.
    void (*device_set_online)(uint16_t addr);
    // Sets the device's long-time counter (its ROWID column).
    void (*device_set_rowid)(uint16_t addr, int rowid);
    // The model ids of the deleted-table entries of `addr` (at most `max`,
    // 16 bytes each); their number.
    int (*deleted_lookup)(uint16_t addr, char (*mids)[16], int max);

    // ---- lighting events ----
    void (*pair_send)(int state);
    void (*host_status_event_send)(const tovra_link_dev_t *dev, const uint8_t *record, int len, int kind);
    void (*scene_set_status_event_send)(const tovra_link_dev_t *dev, const char *reqId, int code);
    void (*scene_bind_status_event_send)(const tovra_link_dev_t *dev, const char *reqId, int code);
    void (*scene_unbind_status_event_send)(const tovra_link_dev_t *dev, const char *reqId, int code);
    void (*scene_lock_send)(int state, int lock_two);
    void (*scene_lock3_send)(int state);
    void (*trivox_sceneid_send)(uint32_t id);
    void (*trivox2_sceneid_send)(uint32_t id);

    // ---- status polling and the app's new-device window ----
    // Clears `addr` from the offline-query list, the status-cycle list and
    // the delayed-check table.
    void (*pending_query_clear)(uint16_t addr);
    void (*online_change_raise)(void);
    void (*online_change_check_send)(void);
    // 1 while the app's new-device window is open.
    int (*new_device_window_open)(void);
    void (*new_device_window_close)(void);
    void (*whole_device_query)(void);
    void (*offline_device_query)(void);
    void (*delayed_check_step)(void);
    void (*longtime_report)(void);
    // Publishes at most one queued device status message.
    void (*status_send_msg)(void);

    // ---- the host ----
    void (*send_default_scene)(uint32_t id);
    // The factory default-scene command to the CAN and RS-485 services.
    void (*factory_default_scene)(int pow);
    // {"t": onoff} on the factory-test command topics.
    void (*factory_cmd_publish)(const char *onoff);
} tovra_link_hooks_t;

extern const tovra_link_hooks_t tovra_link_hooks_not_built;
// Start-up installs the hooks; null puts "not built" back. A member left
// null stays "not built".
void tovra_link_hooks_install(const tovra_link_hooks_t *hooks);
extern orvi_seam<tovra_link_hooks_t> tovra_link_hooks;
// The installed hook `member` (never null).
#define TOVRA_HOOK(member) (tovra_link_hooks.get(&tovra_link_hooks_t::member))
