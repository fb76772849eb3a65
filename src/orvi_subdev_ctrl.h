// Device control: the one routine through which every command reaches a
// subdevice (by its type: event bus, LAN command queue or the host's own
// interpreter), its batch forms, the host-directed commands (room group
// control, scheduled restart, backup settings), the UDP scene, room and
// report-frequency commands, and the wired-bus health monitor thread.
// Called from the request task, the event loop and the schedule service; the
// monitor runs on its own detached thread.
//
// Command buffers: a record's `binCmd` is only ever replaced, under the
// record's `mu`, never resized or rewritten in place: the retry thread, the
// send function and the bus publisher each read the buffer they took a
// reference to. No registry lock is held while calling out.
#pragma once

#include <cJSON.h>

#include <cstddef>
#include <cstdint>

#include "product_subdev.h"

// Size of a new command buffer without a codec template, and the growth of
// a buffer at its creation / when a command does not fit it.
#define ORVI_BINCMD_DEFAULT_SIZE 1024
#define ORVI_BINCMD_FIRST_GROW 256
#define ORVI_BINCMD_EXPAND_GROW 512
// Codec output for a command to a UDP device / for a scene or report command.
#define ORVI_CTRL_CODEC_OUT_SIZE 5120
#define ORVI_SCENE_CODEC_OUT_SIZE 1024

// 0, or -1 on a bad target or a failed step. The command is the text up to
// `length` bytes or its first zero byte.
int product_subdev_ctrl_handle(const orvi_subdev_ptr &dev, const char *command, size_t length);
// Every registered device of `type` (1..14); for OP gateways only the first.
// The last result, -1 for bad arguments or when no device matched.
int subdev_ctrl_batch_by_type(int type, const char *command);
// Every registered device of `type` (1..14) in room `roomId`; as above.
int subdev_ctrl_batch_by_roomid_devType(unsigned roomId, int type, const char *command);

// UDP and central-controller scene command; `command` and `reqId` may be
// null. 0 or -1.
int orvi_udpdev_set_scene(const orvi_subdev_ptr &dev, int if_default, int sceneId, int operType,
                          const char *command, const char *reqId);
// {"t":"cmd","opt":["ReportFreq"],"p":[60]} through the model's codec. 0 or -1.
int orvi_udpdev_set_reportFreq(const orvi_subdev_ptr &dev);
// {"t":"binCmd","roomId":n} queued to a UDP device. 0 or -1.
int orvi_udpdev_set_roomId(const orvi_subdev_ptr &dev, unsigned roomId);

// Commands addressed to the host itself ("sub" the home MAC identifier or the
// host identifier). 0 when every part that ran succeeded, else -1.
int host_cloud_cmd_handle(const char *command);
// Room group control. "RoomID" must be the decimal id of a room of the room
// list and "DevType" an integer 1..14: anything else is refused (-1) before
// anything is published, never widened to the whole home. A command the
// lighting service could not carry goes to the others and answers -1.
int cmd_group_ctrl_handle(const cJSON *command, const cJSON *opt, const cJSON *p);
// Scheduled restart settings; the time text "%d月%d日%d时%d分" must hold a
// month 1-12, day 1-31, hour 0-23 and minute 0-59. Nothing is stored on a
// refusal (-1).
int cmd_restart_handle(const cJSON *opt, const cJSON *p);
// Cloud backup switch and cloud restore trigger. 0 or -1.
int cmd_web_backup_restore_handle(const cJSON *opt, const cJSON *p);

// The 24-bit default-scene id of a room group command: short room id << 16 |
// device type << 8 | action (device type 7: 100 on, 0 off; others: 1 on,
// 2 off). Scene ids 1 (all on) and 2 (all off) are the home-wide defaults.
uint32_t orvi_default_scene_id(uint8_t sId, int devType, int pow);
// Hands a scene id (1..0xFFFFFF) to the lighting service's scene panels and
// to the default-scene control; the home-wide defaults 1 and 2 also set the
// self-check phase. 0, or -1 for an id out of range.
int orvi_tovra_scene_broadcast(uint32_t sceneId);
// The host's default-scene control, for a default scene the host broadcast
// or a panel ran on the lighting network: while a self-check runs, a
// home-wide default (1 or 2) moves its phase, so the check follows the home
// rather than undoing it. 0, or -1 for an id out of range.
int orvi_send_default_scene(uint32_t sceneId);
// Publishes a command to a UDP device on "/binRequest/<home MAC>/<device MAC>",
// sealed with the device's key. 0 or -1.
int pub_binReques_event(const orvi_subdev_ptr &dev, const char *text, size_t length);

// ---- Self-check phase ------------------------------------------------------
// `scene_id_default`: -1 idle, 2 all-off phase, 1 all-on phase. Written when
// a home-wide default scene is broadcast (orvi_tovra_scene_broadcast), read
// and reset by the device self-check of the binding handlers. Atomic: any
// thread.
#define SCENE_ID_DEFAULT_IDLE (-1)
#define DEFAULT_SCENE_ON 1
#define DEFAULT_SCENE_OFF 2
int scene_id_default_get(void);
void scene_id_default_set(int phase);

// ---- Wired-bus health monitor ----------------------------------------------

typedef enum {
    BUS_IDLE = 0,
    BUS_NORMAL = 1,
    BUS_UNPAIR = 2,
    BUS_FAULT = 3,
} bus_status_t;

// "idle", "normal", "unpair", "fault".
const char *bus_status_name(bus_status_t status);

// Starts the detached thread `local_device_monitor`. 0 or -1.
int local_device_monitor_thread(void);
// The thread's body: publishes both buses "idle", waits 3 s, then runs a
// round every 10 s; `rounds` < 0 runs forever (the thread), else that many
// rounds (tests). Returns the rounds run.
int local_device_monitor_run(int rounds);
// One 10-second round: computes both bus states from the registry and the
// linking lists and publishes the changes on "/host" ("cannet", "485net").
// A "fault" is published only when two rounds in a row see it. Returns the
// number of states published.
int local_device_monitor_round(void);
// The states last published (for tests and diagnostics).
bus_status_t local_device_monitor_can_status(void);
bus_status_t local_device_monitor_485_status(void);
// How the monitor waits (orvi_port_sleep_ms by default; null restores it).
void local_device_monitor_set_sleep(void (*sleep_ms)(unsigned ms));
// Forgets the published states and pending fault confirmations.
void local_device_monitor_reset(void);
