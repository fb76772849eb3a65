// The publishers of every event the host tells the board's other services:
// the generic builders, the device-traffic publisher and the named wrappers.
// Each builds its message and queues it on the local MQTT transport; any
// thread may call them (never while holding a registry lock). They return 0
// when queued, -1 otherwise. Records are read through snapshots and kept
// alive by the caller's shared reference for the whole build.
#pragma once

#include <cJSON.h>

#include <cstddef>
#include <string_view>

#include "orvi_event_loop.h"
#include "product_subdev.h"

// Longest topic the transport carries whole.
#define EVENT_TOPIC_MAX 64
// Longest text accepted as one topic level taken from outside (a MAC).
#define EVENT_TOPIC_LEVEL_MAX 16

typedef enum {
    UDS_TYPE_NONE = 0,
    UDS_TYPE_STATUS = 1,
    UDS_TYPE_CTRL = 2,
    UDS_TYPE_DELETEDEVINFO = 3,
    UDS_TYPE_CALCULATIONSTATUS = 4,
    UDS_TYPE_STATUS_MQTT = 5,
    UDS_TYPE_TIMER_BROACSAST = 6,
    UDS_TYPE_TIMERINFO = 7,
} uds_type_t;

// Generic builders.
int event_type_0_publish(const char *topic, const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev,
                         const char *plaintext, int retain);
int event_type_1_publish(const char *topic, const char *cols, const char *dat, int number,
                         const char *submac);
int event_type_7_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev, int newly,
                         const char *topic, int retain);

// Device traffic. Kinds 6 and 7 take a text; the others a record.
int even_dev_ctrl_publish(const orvi_subdev_ptr &dev, uds_type_t kind);
int even_dev_ctrl_publish_text(const char *text, uds_type_t kind);

// Named publishers.
int event_host_publish(const char *cols, const char *dat, int number);
int event_parameter_publish(const char *cols, const char *dat, int number);
int event_subDevList_publish(const char *cols, const char *dat, int number);
int uds_subdev_status_check_publish(int devtype, const char *cols, const char *submac);
int event_host_onlinesub_publish(void);
int event_room_set_publish(const char *submid, const char *submac, unsigned roomId);
int event_room_set_delay_publish(const char *submac, int send_now);
int event_roomListInfo_publish(const char *roomlist);
int event_roomInfoHttp_publish(const char *roomlist);
int event_switch_bind_publish(const cJSON *plain);
int event_event_persistent_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev);
int event_device_event_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev, const cJSON *event);
int event_sub_devinfo_publish(const orvi_subdev_ptr &subdev, int newly);
int event_virtual_devinfo_publish(const orvi_subdev_ptr &subdev);
int event_pub_http_devinfo_publish(const orvi_subdev_ptr &subdev, int newly);
int event_subsub_devinfo_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev);
int event_opDevices_info_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev, int devType,
                                 int newly);
int event_syncAckHttp_devListPush_publish(const orvi_subdev_ptr &subdev, int newly);
int event_sub_subdev_status_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev);
int event_scene_rsp_publish(const orvi_subdev_ptr &subdev, int failed);
int event_update_roomId_publish(const cJSON *json);
int event_soUpdateRes_publish(int res);
int publish_cbackup_restart_event(void);
int publish_groupCtrl_event(const cJSON *cmd);
int cloud_backup_result(int r, long fileId);
// Self-check report on "checkDevAckHttp". Kind 0 (start): the "online" and
// "offline" lists of the registry; kind 1 (result): "failDev", the given list
// when there is one, else every checked device whose power is not on.
int event_failDevHttp_publish(int kind, const char *requestId, const cJSON *failDev = nullptr);

// Device-list acknowledgement of a linking-list entry (a line device), and of
// every entry of a linking list matching `selector` (0: CAN and RS-485, else
// that type). The list form returns how many were queued, -1 for no list.
int event_syncAckHttp_subdev_info_publish(const orvi_subdev_info_t *info, int newly);
int event_syncAckHttp_send(orvi_subdev_info_list_t *list, int selector, int newly);

// Heartbeat answer {"t":"hbok"} to a subdevice, sealed with its own key.
int event_hbok_publish(const orvi_subdev_ptr &subdev);
// Cloud link state on "mqtt/connect": pair "connect" / 0 or 1.
int event_mqtt_connect_publish(int connected);
// Cloud broker host name on "/parameter": pair "domain-mqtt" / host.
int event_mqtt_domain_publish(const char *domain);

// Delayed online and status syncs of a device type after a line device appears.
int sub_dev_online_sync_delay(unsigned ms, int type);
int sub_dev_status_sync_delay(unsigned ms, int type);
int sub_dev_online_sync_again(int type);
int sub_dev_status_sync_again(int type);

// ---- Topic levels -----------------------------------------------------------

// True when `level` may stand as one level of a published topic: 1 to 16
// printable characters without "/", "+", "#" or blanks. A refusal is logged
// naming `what` (a MAC text, a sub-subdevice MAC...).
bool event_topic_level_ok(std::string_view level, const char *what);

// ---- Seams ------------------------------------------------------------------

// Where every finished message goes (mqtt_event_publish by default) and how
// the delayed syncs post their event-loop message (orvi_event_post_value by
// default). Null restores the default. For tests and the virtual board.
typedef int (*event_publish_sink_t)(const char *topic, const char *message, size_t length, int retain);
typedef int (*event_publish_post_t)(orvi_event_loop_t event, long value);
void event_publish_set_sink(event_publish_sink_t sink);
void event_publish_set_post(event_publish_post_t post);
