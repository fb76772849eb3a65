// The daemon's start-up sequence, its service start order, the basic timer
// thread, the watchdog heartbeat, the boot-time kernel image check, the
// subdevice configuration package and the board-module log-level watcher.
// `orvi_main` runs on the main thread, which then waits on the basic timer
// thread for the life of the process.
#pragma once

#include "orvi_wifi.h"

int orvi_main(void);
int orvi_init(void);
// Chooses what answers for each subsystem that is still to come.
void orvi_subsystems_install(void);
// Where start-up sends the Wi-Fi confirmation's result: the "bleinfo" send
// request for the BLE connection, with the state as its context. 0 or -1.
int orvi_wifi_result_to_ble(WifiConnectionState state);

// Wires the request path: the request queue as the transports' sink, each
// channel's writer, the stop of the LAN transports and the handlers'
// dispatch. Before any transport or the request task starts.
void orvi_request_path_wire(void);

// Body of the basic timer thread; never returns.
void *orvi_basictimer_create(void *arg);

void uImage_Verify(void);
int wdt_timer_start(void);
void orvi_soft_wdt_feed(void *ctx);
int orvi_subdev_config_upgrade_from_package(void);
int server_log_module(void);
// One pass of the log-level watcher over the file (exposed for tests).
void log_level_update_once(int fd);

// Prints the banner (two blank lines, the block letters, the firmware line).
void orvi_banner_print(void);
