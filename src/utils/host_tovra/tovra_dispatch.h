// The lighting service's requests: its 13 topics on the local broker, the
// list of received messages and the dispatch of each JSON item to the
// handlers whose topic key begins the message's topic. The transport's
// receiving thread fills the list; the service thread ("tovra_main") empties
// it and runs the handlers.
#pragma once

#include <cJSON.h>

#include <cstddef>

#include "orvi_json.h"

// A handler of one JSON item (text) received on `topic`; 0 when handled.
typedef int (*tovra_event_handler_t)(const char *topic, const char *item);
typedef struct tovra_event_handle_map_s {
    char key[32];
    tovra_event_handler_t handler;
} tovra_event_handle_map_t;

#define TOVRA_EVENT_HANDLE_MAP_SIZE 14
extern const tovra_event_handle_map_t tovra_event_handle_map[TOVRA_EVENT_HANDLE_MAP_SIZE];

// Every map entry whose key begins `topic` gets the item, in map order. 0,
// or -1 for a missing topic or one no key begins.
int tovra_event_dispatch_handle(const char *topic, const char *item);

// Opens an event envelope: the plain JSON its "pack" holds, sealed with the
// host's random key; null for an answer (a numeric "r") and for an item that
// does not open (logged with the JSON bit under `func`).
orvi_json::json_ptr tovra_event_pack_get(const char *func, const char *item);

// Calls fn(name, value) for each pair of the plain text's "cols"/"dat".
template <typename Fn>
void tovra_for_each_pair(const cJSON *plain, Fn fn) {
    const cJSON *pt = cJSON_GetObjectItemCaseSensitive(plain, "plaintext");
    const cJSON *cols = cJSON_GetObjectItemCaseSensitive(pt, "cols");
    const cJSON *dat = cJSON_GetObjectItemCaseSensitive(pt, "dat");
    if (!cJSON_IsArray(cols) || !cJSON_IsArray(dat)) return;
    const int n = cJSON_GetArraySize(cols);
    for (int k = 0; k < n && k < cJSON_GetArraySize(dat); ++k) fn(cJSON_GetArrayItem(cols, k), cJSON_GetArrayItem(dat, k));
}

// The transport's callback: copies (topic, data) onto the received list.
void tovra_env_receiver(const char *topic, const char *data);
// Subscribes the 13 topics ("tovra_123"); blocks until the broker
// confirmed. The count subscribed, or -1.
int tovra_sub_func(void);
// Takes the oldest received message and hands each JSON item of it to the
// dispatch, in order. False when the list was empty.
bool tovra_evnt_msg_handle_one(void);
// Waits up to `ms` for a message to arrive; true when one waits. The idle
// service thread waits here rather than sleeping its 100 ms out, so a request
// is dispatched as it arrives.
bool tovra_evnt_msg_wait(unsigned ms);
// Messages waiting (for tests).
size_t tovra_evnt_msg_count(void);
