// Stand-ins for device control until it is built: each logs and records its
// call (tests read the record) and reports failure, except the monitor's start.
#include "orvi_subdev_ctrl.h"
#include "pending/main_pending.h"
#include "pending/pending_calls.h"

int local_device_monitor_thread(void) {
    pending_record("local_device_monitor_thread", {});
    return 0;
}

int product_subdev_ctrl_handle(const orvi_subdev_ptr &dev, const char *command, size_t length) {
    pending_record("product_subdev_ctrl_handle",
                   {pending_arg(dev), std::string(command ? command : "", command ? length : 0)});
    return pending_result();
}

int subdev_ctrl_batch_by_type(int type, const char *command) {
    pending_record("subdev_ctrl_batch_by_type", {std::to_string(type), pending_arg(command)});
    return pending_result();
}

int subdev_ctrl_batch_by_roomid_devType(unsigned roomId, int type, const char *command) {
    pending_record("subdev_ctrl_batch_by_roomid_devType",
                   {std::to_string(roomId), std::to_string(type), pending_arg(command)});
    return pending_result();
}

int orvi_udpdev_set_scene(const orvi_subdev_ptr &dev, int if_default, int sceneId, int operType,
                          const char *command, const char *reqId) {
    pending_record("orvi_udpdev_set_scene",
                   {pending_arg(dev), std::to_string(if_default), std::to_string(sceneId),
                    std::to_string(operType), pending_arg(command), pending_arg(reqId)});
    return pending_result();
}

int orvi_udpdev_set_reportFreq(const orvi_subdev_ptr &dev) {
    pending_record("orvi_udpdev_set_reportFreq", {pending_arg(dev)});
    return pending_result();
}

int orvi_udpdev_set_roomId(const orvi_subdev_ptr &dev, unsigned roomId) {
    pending_record("orvi_udpdev_set_roomId", {pending_arg(dev), std::to_string(roomId)});
    return pending_result();
}

int host_cloud_cmd_handle(const char *command) {
    pending_record("host_cloud_cmd_handle", {pending_arg(command)});
    return pending_result();
}

int cmd_group_ctrl_handle(const cJSON *command, const cJSON *opt, const cJSON *p) {
    pending_record("cmd_group_ctrl_handle", {pending_arg(command), pending_arg(opt), pending_arg(p)});
    return pending_result();
}

int cmd_restart_handle(const cJSON *opt, const cJSON *p) {
    pending_record("cmd_restart_handle", {pending_arg(opt), pending_arg(p)});
    return pending_result();
}

int cmd_web_backup_restore_handle(const cJSON *opt, const cJSON *p) {
    pending_record("cmd_web_backup_restore_handle", {pending_arg(opt), pending_arg(p)});
    return pending_result();
}

int orvi_tovra_scene_broadcast(uint32_t sceneId) {
    pending_record("orvi_tovra_scene_broadcast", {std::to_string(sceneId)});
    return pending_result();
}

int pub_binReques_event(const orvi_subdev_ptr &dev, const char *text, size_t length) {
    pending_record("pub_binReques_event",
                   {pending_arg(dev), std::string(text ? text : "", text ? length : 0)});
    return pending_result();
}
