// The four paced command queues of the lighting module, their builders and
// the lighting timers. Repetition is the broadcast link's reliability: each
// command is written a fixed number of times with a pause after every write,
// and an acknowledgement only cuts the repetition short.
//
// Any thread may add; the handle thread alone sends (tovra_msg_queue_check);
// the receive thread changes in-flight commands through the calls below.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

#include "tovra_uart.h"

#define TOVRA_QUEUE_SIZE 1024

enum tovra_queue_id_e {
    TOVRA_QUEUE_MAIN = 0,
    TOVRA_QUEUE_SCENE_BIND,
    TOVRA_QUEUE_SCENE,
    TOVRA_QUEUE_RETRY,
    TOVRA_QUEUE_NUM,
};

// ---- timer words: bit 15 expired, bit 14 running, bits 0-13 ticks left ----
#define TOVRA_TM_EXPIRED 0x8000u
#define TOVRA_TM_RUN 0x4000u
typedef std::atomic<uint16_t> utimer16;

struct tovra_tm_100ms_t {
    utimer16 Msg_Send_Time{0};
    utimer16 Query_Wait_Time{0};
    utimer16 Fa_Scene_Send_Time{0};
    utimer16 Fa_Scene_Bind_Send_Time{0};
    utimer16 Fa_Retry_Send_Time{0};
    utimer16 Uart_Check_Time{0};
};
struct tovra_tm_1s_t {
    utimer16 Cycle_Query_Time{0};
    utimer16 Sublist_Refresh_Time{0x4005};
    utimer16 Sublist_Single_Refresh_Time{0x4005};
    utimer16 Sapp_New_Device_Time{0};
    utimer16 Scene_Query_Time{0};
    utimer16 Offline_Query_Time{0x403C};
    utimer16 Timing_Query_Time{0};
    utimer16 Ctrl_Query_Time{0};
    utimer16 Scene_Delete_Check_Time{0};
    utimer16 Scene_Status_Flag_Time{0};
    utimer16 LongTime_Send_Time{0};
};
extern tovra_tm_100ms_t tm_100ms;
extern tovra_tm_1s_t tm_1s;

// Scene-lock flags the sender and the handlers share.
extern std::atomic<int> tovra_scene_lock2_flag;
extern std::atomic<int> tovra_scene_lock3_flag;

// ---- adding: a copy is queued; 0, or -1 when the queue is full ----
int tovra_msg_queue_add(const tovra_msg_t *msg);
int tovra_scene_msg_queue_add(const tovra_msg_t *msg);
int tovra_scene_bind_msg_queue_add(const tovra_msg_t *msg);
int tovra_retry_msg_queue_add(const tovra_msg_t *msg);

int tovra_queue_count(int queue);
// A copy of the in-flight command of `queue`; false when it is empty.
bool tovra_queue_inflight(int queue, tovra_msg_t *out);
// A copy of the `index`-th command waiting in `queue`, 0 being the in-flight
// one; false past the last.
bool tovra_queue_peek(int queue, int index, tovra_msg_t *out);
// Empties every queue, stops every timer and puts the start values back.
void tovra_queue_reset(void);

// ---- what the receive handlers do to in-flight commands ----
// When the main queue's in-flight command is `atcmd`: its repeats end and,
// with `end_pause`, the main pause with them. 1 when it matched.
int tovra_queue_complete_main(const char *atcmd, bool end_pause);
// The first in-flight command, of the scene-bind, retry and main queues in
// that order, that is `atcmd`: its repeats end. 1 when one matched.
int tovra_queue_complete_any(const char *atcmd);
// A scene confirmation from `addr`: the in-flight command of the scene-bind
// queue, or else (unless `bind_only`) of the scene queue, when its address is
// `addr`, ends its repeats and is marked confirmed; its copy in `out`.
// 1 when one matched.
int tovra_queue_confirm_scene(uint16_t addr, bool bind_only, tovra_msg_t *out);

// ---- the sender and the timers ----
void tovra_msg_queue_check(void);
// The 100 ms tick at local time `local_now` (epoch seconds + 8 hours).
void tovra_timer_tick(time_t local_now);
// The tick as the timer service runs it: the clock, the sent-scene
// countdown, one status message.
void tovra_timer_cb(void);
// Registers tovra_timer_cb as the 100 ms timer "tovra_time"; 0, or -1.
int tovra_timer_create(void);
// Acts on every expired timer word (every 10 ms).
void tovra_event_timeout_handle(void);

// ---- builders: 0 when queued, -1 when dropped (logged) ----
int at_type_msg_add_queue(void);
int at_setinfo_msg_add_queue(void);
int at_pairstart_msg_add_queue(void);
int at_pairsave_msg_add_queue(void);
int at_pairstop_msg_add_queue(void);
int at_monitor_msg_add_queue(void);
int at_ctrl_msg_add_queue(uint16_t addr, const uint8_t *data, int data_len);
int at_backlight_ctrl_msg_add_queue(uint16_t addr, uint8_t brightness);
int at_three_parties_switch_group_ctrl_msg_add_queue(uint16_t addr, int pow);
int at_three_parties_curtain_group_ctrl_msg_add_queue(uint16_t addr, uint8_t curpercent, int flag);
int at_tovra_all_ctrl_msg_add_queue(uint16_t roomid, const uint8_t *data, int data_len);
int at_led_color_ctrl_msg_add_queue(uint16_t addr, int color, uint8_t jiffies);
int at_led_temp_ctrl_msg_add_queue(uint16_t addr, int color, uint8_t jiffies);
int at_ctrl_reset_msg_add_queue(uint16_t addr);
int at_roomset_msg_add_queue(uint8_t roomid, uint8_t keyid, uint16_t addr);
int at_other_roomset_msg_add_queue(uint8_t roomid, uint16_t addr);
int at_bypass_msg_add_queue(uint16_t addr);
int at_bypass_list_msg_add_queue(const uint16_t *addr_list, int addr_num);
int at_scene_msg_add_queue(uint32_t scene_id, uint16_t addr, const uint8_t *data, int data_len, const char *reqId);
int at_scene_msg_delete_queue(uint32_t scene_id, uint16_t addr);
int at_bigscene_msg_add_queue(uint32_t scene_id);
int at_scene_msg_bind_queue(uint32_t scene_id, uint8_t keyid, uint16_t addr, const char *reqId);
int at_blswitch_scene_msg_bind_queue(uint32_t scene_id, uint8_t keyid, uint16_t addr, const char *reqId);
int at_scene_msg_unbind_queue(uint32_t scene_id, uint8_t keyid, uint16_t addr, const char *reqId);
int at_cube_reset_msg_queue(uint32_t scene_id, uint8_t keyid, uint16_t addr);
int at_scene_switch_reset_msg_queue(uint32_t scene_id, uint8_t keyid, uint16_t addr);
int at_device_msg_bind_queue(uint8_t keyid, uint16_t addr, uint16_t deviceaddr, uint8_t kind);
int at_device_msg_unbind_queue(uint8_t keyid, uint16_t addr, uint16_t deviceaddr, uint8_t kind);
int at_scene_ctrl_msg_add_queue(uint32_t scene_id);
int at_scene_test_ctrl_msg_add_queue(uint32_t scene_id);

// The reset scene and key a removed device is bound to.
#define TOVRA_RESET_SCENE_ID 12345
#define TOVRA_RESET_KEY_ID 15
