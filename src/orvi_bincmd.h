// The per-device binary command queue and its retry clock (thread
// "bincmd_retry_handler" plus the 100 ms timer "bincmd_retry_timer_reflesh"),
// the UDP maintenance commands (reset, scan, status check), what the host
// does with their outcome, and the multi-gang status filter. Commands are
// queued from the request task and the event-bus threads; the retry list has
// its own lock, never held across a call into another module.
#pragma once

#include <cJSON.h>

#include <deque>
#include <functional>
#include <list>
#include <string>

#include "orvi_lock_order.h"
#include "product_subdev.h"

#define BINCMD_RETRY_COUNT 3      // sends of one command
#define BINCMD_RETRY_PERIOD 2000  // ms between two steps of one device
#define BINCMD_QUEUE_DROP 10      // more queued than this drops the command in flight
#define BINCMD_TIMER_PERIOD 100   // ms, the refresh tick

typedef enum {
    FLAG_RES_IDLE = 0,
    FLAG_RES_SUCCESS = 1,
    FLAG_RES_FAILURE = 2,
    FLAG_RES_TIMEOUT = 3,
    FLAG_RES_IGNORE = 4,
} bincmd_res_t;

typedef struct bincmd_cmd_node_s {
    std::string cmd;
    bincmd_res_t flag_res = FLAG_RES_IDLE;
    // The send function built a packet of this command. Only then can an
    // answer belong to it: a late or repeated answer to an earlier command
    // never marks one that has not gone out yet.
    bool sent = false;
} bincmd_cmd_node_t;

typedef struct bincmd_cmd_list_s {
    std::deque<bincmd_cmd_node_t> cmds;  // front: the command in flight (send_index)
    int node_count() const { return static_cast<int>(cmds.size()); }
} bincmd_cmd_list_t;

typedef struct bincmd_retry_node_s {
    char mac[17] = {0};
    int timer = 0;  // ms before the node is looked at again
    int retry_count = BINCMD_RETRY_COUNT;
    bincmd_cmd_list_t cmd_list;
} bincmd_retry_node_t;

typedef struct bincmd_retry_list_s {
    // Shared by the queuing threads, the tick and the retry thread.
    orvi::Mutex mu ACQUIRED_AFTER(ORVI_LOCKS_HANDLERS);
    std::list<bincmd_retry_node_t> nodes GUARDED_BY(mu);
    int node_count() const REQUIRES(mu) { return static_cast<int>(nodes.size()); }
} bincmd_retry_list_t;

extern bincmd_retry_list_t binCmd_Retry_List;

// ---- Entry points ----------------------------------------------------------

// Registers the refresh timer and starts the retry thread. 0 or -1.
int bincmd_retry_thread(void);
// Registers "bincmd_retry_timer_reflesh" only (tests drive the thread's
// work with bincmd_retry_pass). Returns the timer id or -1.
int bincmd_retry_timer_start(void);
// Lowers every node's positive timer by `ms` (the timer callback's work).
void bincmd_retry_tick(int ms);
// One walk of the retry thread over every node that is due. Returns the
// number of nodes served.
int bincmd_retry_pass(void);

// Queues a copy of `text` for the record's device. 0 or -1.
int subdev_udp_bincmd_ctrl(const orvi_subdev_ptr &dev, const char *text);
// Marks every queued command of the device ignored. 0 or -1.
int subdev_udp_bincmd_clean(const orvi_subdev_ptr &dev);
// Records the outcome of the command in flight of `mac`. 0 when recorded, -1
// when there is no node, no command in flight, the command already has an
// outcome, or it has not been sent yet (the answer is then ignored).
int bincmd_res_handle(bincmd_retry_list_t *list, const char *mac, int isSuccess) EXCLUDES(list->mu);
// The send function built the "binCmd" packet `text` for `mac`.
void bincmd_retry_mark_sent(const char *mac, const char *text);

// ---- Node and command functions (caller holds list->mu) ---------------------
bincmd_retry_node_t *bincmd_retry_node_get(bincmd_retry_list_t *list, const char *mac) REQUIRES(list->mu);
bincmd_retry_node_t bincmd_retry_node_create(const char *mac);
bincmd_retry_node_t *bincmd_retry_node_insert(bincmd_retry_list_t *list, bincmd_retry_node_t &&node)
    REQUIRES(list->mu);
int bincmd_retry_node_delete(bincmd_retry_list_t *list, const bincmd_retry_node_t *node) REQUIRES(list->mu);
int bincmd_cmd_node_insert(bincmd_retry_node_t *node, const char *cmd);
// Drops the command in flight; the next becomes current with fresh retries.
int bincmd_cmd_node_delete(bincmd_retry_node_t *node);
// Marks every queued command ignored.
int bincmd_cmd_node_clean_safe(bincmd_retry_node_t *node);

// ---- Maintenance commands and outcomes ------------------------------------
int subdev_udp_reset_command_send(const orvi_subdev_ptr &dev);
int subdev_udp_scan_command_send(const orvi_subdev_ptr &dev);
int subdev_udp_statusCheck_send(const orvi_subdev_ptr &dev);
// Acts on the outcome of `command`: 1 when the device was removed, 0
// otherwise, -1 for bad arguments or an unparsable command.
int orvi_udp_respone_handle(const orvi_subdev_ptr &dev, const char *command, bincmd_res_t result);

// Keeps the one column of a gang of a multi-gang switch: the record's MAC
// characters 13-14 name the gang ("00" Sw1 .. "03" Sw4). On success *out_cols
// and *out_dat are new one-element arrays (the caller deletes them). 0 or -1.
int multi_switch_status_filter(const orvi_subdev_ptr &dev, const cJSON *cols, const cJSON *dat,
                               cJSON **out_cols, cJSON **out_dat);

// ---- Tests ----------------------------------------------------------------
// What the retry work posts to the event loop. Empty functions restore the
// real posting.
typedef struct bincmd_retry_hooks_s {
    std::function<int(const orvi_subdev_ptr &)> post_bincmd;      // event 4101
    std::function<int(const std::string &)> post_devinfo_delete;  // event 4122
} bincmd_retry_hooks_t;
void bincmd_retry_set_hooks(const bincmd_retry_hooks_t &hooks);
// Empties the retry list.
void bincmd_retry_reset(void);
