// The timer schedule store's operations the schedule packets use. Recording
// stand-ins (schedule_later_pending.cpp) until the schedule store lands and
// replaces this header. Any thread may call them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// One schedule; the store owns it once added.
typedef struct timer_node_s timer_node_t;
struct timer_node_deleter {
    void operator()(timer_node_t *node) const;
};
using timer_node_ptr = std::unique_ptr<timer_node_t, timer_node_deleter>;

// The store of every subdevice's schedules (one global instance).
typedef struct timer_app_list_s timer_app_list_t;
extern timer_app_list_t timer_app_list;

// A new schedule holding a copy of `cmd`; null for a null command or a
// weekday mask of 128 or more.
timer_node_ptr timer_node_create(int32_t timer_id, int pday, int hour, int min, int enable, const char *cmd);
// 0 added; -1 bad arguments; -2 the id exists; -3 the device (or switch)
// is full. The store takes the schedule either way.
int timer_node_Add(timer_app_list_t *list, timer_node_ptr node, const char *mac, int isMultiSwitch,
                   int timers_max);
// 0, or -1 when the schedule does not exist.
int timer_node_Modify(timer_app_list_t *list, const char *mac, int32_t timer_id, int pday, int hour, int min,
                      int enable, const char *cmd, int isMultiSwitch);
// Removes one schedule. 0.
int timer_app_delete(timer_app_list_t *list, const char *mac, int32_t timer_id, int isMultiSwitch);
// The model's schedule capacity ("timers_max" of its configuration, 5
// without it), -1 when the model is not configured.
int orvi_timer_max_quantity_get(const char *mid);
// The schedule list document {"t":"Timedat","list":[...]}; empty when the
// store has no device.
std::string timer_app_list_get_Timedat(timer_app_list_t *list);
