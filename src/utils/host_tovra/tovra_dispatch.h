// The lighting service's requests: its 13 topics on the local broker, the
// list of received messages and the dispatch of each JSON item to the
// handlers whose topic key begins the message's topic. The transport's
// receiving thread fills the list; the service thread ("tovra_main") empties
// it and runs the handlers.
#pragma once

#include <cstddef>

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

// The transport's callback: copies (topic, data) onto the received list.
void tovra_env_receiver(const char *topic, const char *data);
// Subscribes the 13 topics ("tovra_123"); blocks until the broker
// confirmed. The count subscribed, or -1.
int tovra_sub_func(void);
// Takes the oldest received message and hands each JSON item of it to the
// dispatch, in order. False when the list was empty.
bool tovra_evnt_msg_handle_one(void);
// Messages waiting (for tests).
size_t tovra_evnt_msg_count(void);
