// The software timer service: one process-wide table of 50 named timers
// driven by a 100 ms tick, and the process tick counter. The tick runs on its
// own thread; callbacks of one tick run there one after another in slot order.
#pragma once

#include <cstdint>

#include "orvi_lock_order.h"

#define ORVI_TIMER_MAX 50
#define ORVI_TIMER_NAME_LEN 32
// Length of one tick in milliseconds; periods are kept in whole ticks.
#define ORVI_TIMER_TICK_MS 100

typedef uint64_t orvi_ticktype_t;
// A timer is its slot index, 0 to 49; -1 means none.
typedef int orvi_timer_t;
typedef void (*orvi_timer_cb_t)(void *ctx);

typedef enum {
    TIMER_NULL = 0,   // free slot
    TIMER_START = 1,  // counting
    TIMER_STOP = 2,   // stopped; keeps its slot until deleted
} orvi_timer_state_t;

typedef struct orvi_timer_info_s {
    char name[ORVI_TIMER_NAME_LEN];  // unique; all zero in a free slot
    orvi_ticktype_t fov;             // ticks left until the timer fires
    orvi_ticktype_t period;          // reload value in ticks
    uint8_t flag;                    // 1: periodic; anything else: one-shot
    orvi_timer_state_t state;
    orvi_timer_cb_t cb;
    void *ctx;
    // Tick during which the countdown was last (re)armed; that tick leaves it
    // alone so a timer armed by a callback cannot fire in the same tick.
    uint64_t armed_tick;
} orvi_timer_info_t;

typedef struct orvi_timer_list_s {
    uint8_t num;  // slots in use
    orvi_timer_info_t list[ORVI_TIMER_MAX];
} orvi_timer_list_t;

// Production entry: starts the tick thread, refreshes the log time stamp and
// registers "second_timer". Returns 0, or -1 when the tick thread cannot start.
int orvi_timer_init(void);

// Registers a timer counting from now. `period_ms` is kept in ticks of 100 ms
// (rounded down) and must be at least 100. Returns the slot index or -1
// (period too small, name empty, too long or already used, table full).
// Any thread, including a timer callback, may call the timer functions.
orvi_timer_t orvi_timer_create(const char *name, orvi_timer_cb_t cb, long period_ms, void *ctx, uint8_t flag) EXCLUDES(orvi_timer_list_mu);
// Restarts the countdown from the full period in state TIMER_START; 0 or -1.
int orvi_timer_start(orvi_timer_t id) EXCLUDES(orvi_timer_list_mu);
// State TIMER_STOP, countdown reset to the full period; 0 or -1.
int orvi_timer_stop(orvi_timer_t id) EXCLUDES(orvi_timer_list_mu);
// New period (at least 100 ms), countdown restarted, state TIMER_START; 0 or -1.
int orvi_timer_change(orvi_timer_t id, long period_ms) EXCLUDES(orvi_timer_list_mu);
// Period in milliseconds (ticks times 100), or -1.
long orvi_timer_get_period(orvi_timer_t id) EXCLUDES(orvi_timer_list_mu);
// TIMER_START or TIMER_STOP, or -1 for a free slot or a bad id.
int orvi_timer_get_state(orvi_timer_t id) EXCLUDES(orvi_timer_list_mu);
// Frees the slot and sets `*id` to -1; 0 or -1.
int orvi_timer_delete(orvi_timer_t *id) EXCLUDES(orvi_timer_list_mu);

// Registers "second_timer": periodic, 1,000 ms, refreshes the log time stamp.
// Returns the slot or -1 (a second registration is refused by name).
orvi_timer_t second_period_timer_start(void);

// Elapsed real time in ticks of 10 ms (100 per second, from the `times`
// system call), counted from process start. Monotonic: setting the wall clock
// does not move it. Heartbeat stamps compare differences of this value.
orvi_ticktype_t orvi_get_ticks(void);

// ---- Test entries -------------------------------------------------------
// Starts the tick thread alone, without the time stamp or "second_timer";
// a second call while it runs does nothing. Returns 0 or -1.
int orvi_timer_service_start(void) EXCLUDES(orvi_timer_thread_mu);
// Stops the tick thread (if running) and empties the table.
void orvi_timer_service_stop(void) EXCLUDES(orvi_timer_thread_mu, orvi_timer_tick_run_mu, orvi_timer_list_mu);
// Runs exactly one tick on the caller's thread, callbacks included. Meant for
// a table whose tick thread is not running.
void orvi_timer_tick_once(void) EXCLUDES(orvi_timer_tick_run_mu, orvi_timer_list_mu);
