// The timer schedule service as the rest of the host calls it: its start-up
// entries (the schedule thread and the app service), the schedule store's
// operations the schedule packets use, and the recomputation of every next
// execution after the clock is first calibrated. Not built yet: until
// start-up installs it, nothing starts, no schedule is created or stored,
// and each call says "not built". Any thread may call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// A schedule's configured weekdays (mask, 0 once, 127 every day), hour and minute.
typedef struct orvi_date_s {
    int pday = 0;
    int32_t hour = 0;
    int32_t min = 0;
} orvi_date_t;

// One schedule; the store owns it once added.
typedef struct timer_node_s {
    int32_t timer_id = 0;
    orvi_date_t date_config;
    int32_t enable = 0;
    std::string cmd;  // the action: a JSON text with "opt" and "p"
} timer_node_t;
using timer_node_ptr = std::unique_ptr<timer_node_t>;

// The store of every subdevice's schedules (one global instance); its
// contents belong to the schedule service.
typedef struct timer_app_list_s timer_app_list_t;
extern timer_app_list_t timer_app_list;

// Starts the schedule thread. 0 or -1.
int server_timer_app(void);
// Starts the app service (scheduled restart, run-time record, home-host
// status). The periodic host status is not its business: start-up starts
// it beside this call. 0 or -1.
int app_info_server(void);
// A new schedule holding a copy of `cmd`; null for a null command, a weekday
// mask of 128 or more, or no store to hold it.
timer_node_ptr timer_node_create(int32_t timer_id, int pday, int hour, int min, int enable, const char *cmd);
// 0 added; -1 bad arguments or no store; -2 the id exists; -3 the device (or
// switch) is full. The store takes the schedule either way.
int timer_node_Add(timer_app_list_t *list, timer_node_ptr node, const char *mac, int isMultiSwitch,
                   int timers_max);
// 0, or -1 when the schedule does not exist.
int timer_node_Modify(timer_app_list_t *list, const char *mac, int32_t timer_id, int pday, int hour, int min,
                      int enable, const char *cmd, int isMultiSwitch);
// Removes one schedule. 0, or -1 when there is no store.
int timer_app_delete(timer_app_list_t *list, const char *mac, int32_t timer_id, int isMultiSwitch);
// The model's schedule capacity ("timers_max" of its configuration, 5
// without it), -1 (no schedules allowed) when the model is not configured.
int orvi_timer_max_quantity_get(const char *mid);
// The schedule list document {"t":"Timedat","list":[...]}; empty when the
// store has no device.
std::string timer_app_list_get_Timedat(timer_app_list_t *list);
// Recomputes every schedule's next execution (after the first clock calibration).
void timer_execute_time_refresh_all(timer_app_list_t *list);

typedef struct orvi_timer_app_ops_s {
    int (*server_timer_app)(void);
    int (*app_info_server)(void);
    timer_node_ptr (*node_create)(int32_t timer_id, int pday, int hour, int min, int enable, const char *cmd);
    int (*node_add)(timer_app_list_t *list, timer_node_ptr node, const char *mac, int isMultiSwitch,
                    int timers_max);
    int (*node_modify)(timer_app_list_t *list, const char *mac, int32_t timer_id, int pday, int hour, int min,
                       int enable, const char *cmd, int isMultiSwitch);
    int (*app_delete)(timer_app_list_t *list, const char *mac, int32_t timer_id, int isMultiSwitch);
    int (*max_quantity_get)(const char *mid);
    std::string (*get_Timedat)(timer_app_list_t *list);
    void (*refresh_all)(timer_app_list_t *list);
} orvi_timer_app_ops_t;

extern const orvi_timer_app_ops_t orvi_timer_app_not_built;
// Start-up installs the schedule service; null puts "not built" back.
void orvi_timer_app_install(const orvi_timer_app_ops_t *ops);
