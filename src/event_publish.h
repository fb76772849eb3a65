// The publishers of every event the host tells the board's other services:
// the generic builders, the device-traffic publisher and the named wrappers.
// Each builds its message and queues it on the local MQTT transport; any
// thread may call them. They return 0 when queued, -1 otherwise.
#pragma once

#include <cJSON.h>

#include "product_subdev.h"

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
int event_failDevHttp_publish(int kind, const char *requestId);
int event_soUpdateRes_publish(int res);
int publish_cbackup_restart_event(void);
int publish_groupCtrl_event(const cJSON *cmd);
int cloud_backup_result(int r, long fileId);

// Delayed online and status syncs of a device type after a line device appears.
int sub_dev_online_sync_delay(unsigned ms, int type);
int sub_dev_status_sync_delay(unsigned ms, int type);
int sub_dev_online_sync_again(int type);
int sub_dev_status_sync_again(int type);
