// The host event loop run with a recorder in place of the host event
// handler, so tests see what was posted to it: every event is kept with
// what its context carried (the recorder takes the context over and frees
// it), in the order the loop hands them over.
#pragma once

#include <string>
#include <vector>

#include "orvi_event_loop.h"
#include "product_subdev.h"

struct posted_event_t {
    orvi_event_loop_t event = 0;
    orvi_subdev_ptr dev;  // the context's record (null without one)
    std::string mac;      // that record's MAC when the event was handed over
    std::string text;
    long value = 0;
};

// Which events a call takes or reads: all when null.
using posted_event_filter_t = bool (*)(orvi_event_loop_t event);

// Stops a loop that runs, forgets what was recorded and starts the loop with
// the recorder. 0, or the event loop's error.
int posted_events_start(void);
// Waits (10 s at most) until everything posted so far came through, then
// takes the events `which` accepts out of the record.
std::vector<posted_event_t> posted_events_take(posted_event_filter_t which = nullptr);
// The same, leaving them recorded.
std::vector<posted_event_t> posted_events_peek(posted_event_filter_t which = nullptr);
// Lets what is still queued come through (the loop would drop it unfreed),
// stops the loop and forgets the record.
void posted_events_stop(void);
