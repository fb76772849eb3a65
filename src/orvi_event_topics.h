// The local event topics and their handlers as the rest of the host calls
// them: their start-up entries, the pairing state published at start, the
// pairing window's expiry, and the host state those handlers keep (scene
// lock, last binding result, gateway tokens). Not built yet: until start-up
// installs them, nothing starts, the state reads as never set (0, 0, no
// tokens), and each call says "not built". Any thread may call.
#pragma once

#include <cJSON.h>

// Starts the worker that handles received local events. 0 or -1.
int orvi_uds_init(void);
// Starts the "master_control" subscription. 0 or -1.
int orvi_local_mqtt_sub(void);
// Publishes the host's pairing state on "/host". 0 or -1.
int evn_host_match_status_sync(void);
// The pairing window expired (event 4117).
void matching_timeout_handler(void);
// The scene lock flag.
int uds_scene_lock_get(void);
// The last binding result.
int uds_bind_result_get(void);
// A copy of the gateway tokens object (the caller deletes it), or null when
// none is held.
cJSON *uds_gateway_tokens_get(void);

typedef struct orvi_event_topics_ops_s {
    int (*uds_init)(void);
    int (*local_mqtt_sub)(void);
    int (*match_status_sync)(void);
    void (*matching_timeout)(void);
    int (*scene_lock_get)(void);
    int (*bind_result_get)(void);
    cJSON *(*gateway_tokens_get)(void);
} orvi_event_topics_ops_t;

extern const orvi_event_topics_ops_t orvi_event_topics_not_built;
// Start-up installs the event topic handlers; null puts "not built" back.
void orvi_event_topics_install(const orvi_event_topics_ops_t *ops);
