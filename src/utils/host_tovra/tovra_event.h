// What the lighting service tells the rest of the home: device online lists,
// device statuses (per model, and per key of the multi-key switches), the
// pairing result, scene locks, scene ids heard on the network and the
// answers to scene set, bind and unbind requests. Each is published on the
// local event transport through the event publishers, and each function
// returns the publish result (0 queued, -1 not; nothing to send is -1 too).
// Any thread may call; none holds a lock while it publishes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tovra_sql.h"

// The host identifier and the home MAC the events carry (logged once each
// at service start).
std::string tovra_get_host_mac(void);
std::string tovra_get_home_mac(void);

// "/online": the registry's tovra subdevices of each row (by the row's MAC)
// in "onlineSub" or "offlineSub" after the row's online state.
int tovra_online_event_send(const std::vector<host_tovra_devcie_info_t> &rows);

// "/jsonStatus/<home MAC>/<device MAC>": the device's normalised status
// record turned into JSON by its model's codec, stored as the registry
// device's status and published sealed with the home key; a multi-key switch
// publishes one status per key, as the sub-devices "<MAC>00" to "<MAC>03".
// `kind` (0 real report, 2 provisional) does not change what is published.
int tovra_host_status_event_send(const host_tovra_devcie_info_t *info, const uint8_t *record, size_t length,
                                 int kind);

// "/tovra/pair": 1 success, 0 fail, anything else an empty report.
int tovra_pair_send(int state);
// "/parameter" scenelock 0: only on the change from locked to unlocked
// with lock two also 0.
int tovra_scene_lock_send(int lock_one, int lock_two);
// "/scene/lock3" scenelock3 1 when `flag` is 1; the flag is cleared.
int tovra_scene_lock3_send(std::atomic<int> &flag);
// "/trivox/scenebroadcast" and "/trivox2/scenebroadcast": {"linksceneid"}.
// The second then asks for the provisional status of the devices the scene
// reaches.
int tovra_trivox_sceneid_send(uint32_t id);
int tovra_trivox2_sceneid_send(uint32_t id);
// "scene/resp", "scene/bind/resp", "scene/unbind/resp": {"reqId", "r"} of the
// device `info`; a bind answer 300 (a key event no request asked for) is
// {"r": 300} alone. A null reqId is sent as "".
int tovra_scene_set_status_event_send(const host_tovra_devcie_info_t *info, const char *reqId, int r);
int tovra_scene_bind_status_event_send(const host_tovra_devcie_info_t *info, const char *reqId, int r);
int tovra_scene_unbind_status_event_send(const host_tovra_devcie_info_t *info, const char *reqId, int r);

// ---- Seams ----------------------------------------------------------------------

// The provisional statuses a scene id asks for (of the status poller); each
// member may be null, the defaults log "not built".
typedef struct tovra_event_hooks_s {
    void (*false_whole_device_query)(int on);
    void (*false_kind_device_query)(uint32_t id, int room, int dev_class);
} tovra_event_hooks_t;
void tovra_event_set_hooks(const tovra_event_hooks_t *hooks);

// The model codec the statuses go through (hex_to_json by default; null
// restores it). For tests.
typedef int (*tovra_event_codec_t)(const char *mid, const char *in, char *out, size_t out_size);
void tovra_event_set_codec(tovra_event_codec_t codec);
// Forgets the remembered scene-lock value, as at start. For tests.
void tovra_event_reset_for_test(void);
