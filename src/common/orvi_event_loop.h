// The host event loop: numbered events posted from any thread (at once, or
// after a delay through the timer service) are handed one at a time, in the
// order posted, to one handler on the event loop's own consumer thread.
#pragma once

#include <cstdint>

typedef uint32_t orvi_event_loop_t;

// What one event carries. The context pointer travels by value: the loop
// never reads, copies or frees what it points to. Whether the handler takes
// it over is a matter between the poster and the handler, event by event; an
// event that is refused or dropped leaves the context with its poster.
typedef struct orvi_event_loop_data_s {
    orvi_event_loop_t event;
    void *ctx;
} orvi_event_loop_data_t;

// Returns 0 when the event was handled.
typedef int (*orvi_event_loop_cb_t)(orvi_event_loop_t event, void *ctx);

// Creates the event loop queue (project id 11 on "/tmp/queue"), starts the
// consumer thread and registers `cb`. Returns 0; -1 if already initialised
// or the queue cannot be created; -2 if `cb` is null; a thread creation
// error as is.
int orvi_event_loop_init(orvi_event_loop_cb_t cb);

// Posts an event without waiting: a full queue fails at once. 0 or -1.
int orvi_event_loop_send(orvi_event_loop_t event, void *ctx);

// Posts an event after `delay_ms` (kept in whole 100 ms ticks; 0 posts at
// once, 1 to 99 is refused). Only one delayed event can be pending: a second
// one is refused with -1 while the first still fires. 0 or -1.
int orvi_event_loop_delay_send(orvi_event_loop_t event, void *ctx, uint32_t delay_ms);

// Replaces the handler (null: events are dropped with a log line). Returns 0.
int orvi_event_loop_set(orvi_event_loop_cb_t cb);
// Stops the consumer (events still queued are dropped), removes the queue,
// cancels a pending delayed event and clears the handler. Returns 0, or -1
// when the loop was not running.
int orvi_event_loop_deinit(void);
// Calls the handler on the caller's thread; its result, or -1 without one.
int orvi_event_loop(orvi_event_loop_t event, void *ctx);
