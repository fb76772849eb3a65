// Status polling and online tracking of the lighting devices, and the
// provisional statuses published right after a command.
//
// Three tables keyed by device address: the status-cycle list (devices to be
// asked for their status, each with a budget of queries), the offline list
// (devices that stopped answering, retried once a minute) and the
// delayed-check table (devices just controlled, asked a few seconds later).
// They are std::maps holding only the addresses in use, not three
// 65,536-entry arrays: a home has tens to a few hundred lights, so lookups
// stay logarithmic in that while the board keeps some 3 MB of RSS it would
// otherwise spend on empty slots. Every address 0 to 65535 can be held, and
// the window size is counted in 32 bits, so a window of all 65,536 addresses
// is not mistaken for an idle list.
//
// One lock (tovra_poll_mu, a leaf) guards the tables, the new-device list
// and the queued status records. Nothing is called under it: a caller copies
// what it needs, lets go, and only then queues commands, touches the device
// table, publishes or calls a hook.
//
// Provisional records have the normalised form of a real report ("AT+MDATA",
// the address's low byte, then status bytes from byte 10) and carry the
// address's high byte at byte 9, which a normalised report leaves 0 (and
// which is 0 again before the record reaches a codec), so a device above 255
// is reported as itself.
//
// Any thread may call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tovra_service.h"
#include "tovra_sql.h"

// ---- query fillers ----------------------------------------------------------
// The devices of `rows`, each asked alone up to 10 times and shown offline
// when none of them is answered; scene panels get their provisional status
// instead, and devices that never answer a query are left out.
void tovra_part_device_query(const std::vector<host_tovra_devcie_info_t> &rows);
// The same for devices just added: the left-out models get a provisional
// status instead.
void tovra_new_part_device_query(const std::vector<host_tovra_devcie_info_t> &rows);
// Every queryable device of the table, up to 6 times, in batches; replaces
// the running cycle. `check_online` 1 marks the silent ones offline. Nothing
// while a device-table refresh is pending.
void tovra_whole_device_query(int check_online);
// Every device the table shows offline, once. Nothing while a refresh is
// pending.
void tovra_whole_offline_device_query(void);
// The offline list's devices, once each, while the cycle is idle.
void tovra_offline_device_query(void);

// ---- the poller and online tracking ------------------------------------------
// One pass (the handle thread, every 10 ms): at most one query queued.
void tovra_status_query_cycle_check(void);
// Sends the online event of every device when an online state changed.
void tovra_online_change_check_send(void);
void tovra_online_change_raise(void);
// A report from `addr`: its cycle, offline and delayed-check entries go.
void tovra_pending_query_clear(uint16_t addr);

// ---- delayed check -------------------------------------------------------------
// `addr` (model `mid`) is asked for its status `delay_s` seconds from now.
void tovra_delay_check_arm(const char *mid, uint16_t addr, int delay_s);
// The 1 s step of the delayed checks.
void timer_1s_handle(void);

// ---- new devices -------------------------------------------------------------------
// A device was added: its room is queued and its MAC kept until the next
// device-table refresh, whose follow-up asks for its status. The host calls
// it as `new_online_device_list` (tovra_service.h), which reaches this one
// once start-up installed the service.
void tovra_new_online_device_list(const char *mac);
void new_online_device_room_set_list(const char *mac);
void new_online_device_status_list(void);
// Opens the app's new-device window for 62 s; 1 while it is open; closes it.
void sapp_new_device_list(void);
int sapp_new_device_window_open(void);
void sapp_new_device_window_close(void);

// ---- provisional statuses ------------------------------------------------------------
// Reports a provisional record (10 to 29 bytes) for the device at its
// address. 0 when reported, -1 when refused (logged).
int at_mdata_default_status_msg_recv(const uint8_t *record, size_t length);
// The 19-byte record of the roller shutter at `addr` after a limit change:
// its stored limits at bytes 17 and 18 (zeros when it has no limit row).
void tovra_limit_provisional_send(uint16_t addr);
// The same record stating the open per cent `percent`, sent only when the
// device has both limits set (a curtain without them does not know where it
// is): 0 when reported, -1 when not (the caller logs why).
int tovra_curpercent_provisional_send(uint16_t addr, int percent);
// Room group control: the room's curtains (class 7, at `curpercent`) or
// lights (power `pow` 0 off, 1 on, 2 brightness `lum` per cent, 3 colour
// temperature `colortemp` K). Room 0 is the whole home.
void tovra_led_false_kind_device_query(int curpercent, int room, int dev_class, int pow, int lum, int colortemp);
// The home-wide default scenes: `state` 1 all on, 0 all off.
void tovra_false_whole_device_query(int state);
// A default scene of one class in one room: the id's low byte is the action
// (curtains: the open per cent; the others: 1 on, 2 off).
void tovra_false_kind_device_query(uint32_t id, int room, int dev_class);
// Reports one queued provisional record (every 100 ms tick).
void status_send_msg(void);

// ---- body sensors ----------------------------------------------------------------------
// Every minute: a body sensor silent for 30 minutes after reporting 0 is
// reported once.
void body_sensor_long_time_send(void);

// ---- "tovra/check" ------------------------------------------------------------------------
// "sub" "0": the whole-offline query, at most once per 300 s; a MAC: the
// status query of that device.
int tovra_query_device_handle(const char *topic, const char *item);

// ---- for tests -------------------------------------------------------------------------------
typedef struct tovra_poll_view_s {
    uint32_t counts;       // window size, 0 idle
    size_t cycle_entries;  // enabled entries
    int repeat;            // of the asked address, -1 when it has no entry
    bool offline;          // the asked address is on the offline list
    bool delayed;          // the asked address has a delayed check pending
    size_t new_devices;
    size_t queued_status;
} tovra_poll_view_t;
tovra_poll_view_t tovra_poll_view(uint16_t addr);
// Empties every table and list, lowers the change flag, closes the window.
void tovra_poll_reset(void);
