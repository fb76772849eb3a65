// The host's event handler and the periodic work that feeds it: subdevice
// scan, heartbeat time-out, debounced connection upload, the sync-done
// series, the host status report and the network monitor. The handler runs
// only on the event loop thread; the timer callbacks on the tick thread;
// the periodic host status on its own thread.
#pragma once

#include <cJSON.h>

#include <string>

#include "orvi_event_loop.h"
#include "orvi_event_post.h"
#include "orvi_timer.h"
#include "product_subdev.h"

// The event loop's handler. Takes over `ctx` (an orvi_event_ctx_t or null).
int orvi_event_loop_cb(orvi_event_loop_t event, void *ctx);

// Registers "scan_timeout" (periodic, 50 s, posts 4098). 0 or -1.
int scan_period_timer_start(void);

// Heartbeat time-out: a subdevice heard within the last 9,000 ticks (90 s)
// is online, an older one offline. `hb_ticks` all ones means never heard.
#define ORVI_HB_TIMEOUT_TICKS 9001
// One check over the registry at `now` (orvi_get_ticks by default); posts
// 4116 when a record changed. Returns the number of records changed.
int orvi_hb_timeout_check(orvi_ticktype_t now);
int orvi_hb_timeout_check(void);
// The "hb_timeout" timer callback (runs orvi_hb_timeout_check); start-up
// hands it to the intake, which registers the timer (ORVI_HB_TIMEOUT_PERIOD_MS).
void orvi_hb_timeout_cb(void *ctx);

// Debounced connection status upload after a subdevice's connection changed.
void orvi_connect_upload_delay(void);
// Queues the connection status packet; either list may be null.
int orvi_send_udpdev_connect(const cJSON *online, const cJSON *offline);
// Asks for a host status report to the cloud (event 4105 with value 1).
void orvi_host_status_upload_mqtt(void);

// The host status documents, published as UDS_TYPE_STATUS_MQTT. 0 or -1.
// `restore_download` is the "restore_download" value; `add_restore_id` adds
// the restore file id.
int update_host_mqtt_status(int restore_download, int add_restore_id);
int update_homeHost_mqtt_status(void);
// The two documents' texts, as published.
std::string orvi_host_status_document(int restore_download, int add_restore_id);
std::string orvi_homeHost_status_document(void);
// True once a host status report went out.
bool orvi_host_status_first_sent(void);

// Starts the periodic host status thread. 0 or -1.
int update_host_jsonstatus_timer_pthread(void);
// One pass of that thread; returns the milliseconds to wait before the next.
unsigned update_host_jsonstatus_timer_cycle(void);

// Starts the network monitor thread (orvi_net_monitor.h). 0 or -1.
int net_monitor_server(void);
// 1 when select reported the socket readable but the read returned 0 or less.
int is_socket_closed(int select_result, int read_result);

