// Device control: the one routine through which every command reaches a
// subdevice (by its type: event bus, LAN command queue or the host's own
// interpreter), its batch forms, the host-directed commands (room group
// control, scheduled restart, backup settings), the UDP scene, room and
// report-frequency commands, and the wired-bus health monitor thread.
// Called from the request task, the event loop and the schedule service.
#pragma once

#include <cJSON.h>

#include <cstddef>
#include <cstdint>

#include "product_subdev.h"

// 0, or -1 on a bad target or a failed step.
int product_subdev_ctrl_handle(const orvi_subdev_ptr &dev, const char *command, size_t length);
int subdev_ctrl_batch_by_type(int type, const char *command);
int subdev_ctrl_batch_by_roomid_devType(unsigned roomId, int type, const char *command);

int orvi_udpdev_set_scene(const orvi_subdev_ptr &dev, int if_default, int sceneId, int operType,
                          const char *command, const char *reqId);
int orvi_udpdev_set_reportFreq(const orvi_subdev_ptr &dev);
int orvi_udpdev_set_roomId(const orvi_subdev_ptr &dev, unsigned roomId);

int host_cloud_cmd_handle(const char *command);
int cmd_group_ctrl_handle(const cJSON *command, const cJSON *opt, const cJSON *p);
int cmd_restart_handle(const cJSON *opt, const cJSON *p);
int cmd_web_backup_restore_handle(const cJSON *opt, const cJSON *p);

int orvi_tovra_scene_broadcast(uint32_t sceneId);
int pub_binReques_event(const orvi_subdev_ptr &dev, const char *text, size_t length);

// Starts the wired-bus health monitor (`local_device_monitor`).
int local_device_monitor_thread(void);
