// Stand-ins for the event publishers until they are built: each logs and
// records its call (tests read the record) and reports that nothing was queued.
#include "event_publish.h"

#include "orvi_log.h"
#include "pending/pending_calls.h"

int event_type_0_publish(const char *topic, const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev,
                         const char *plaintext, int retain) {
    pending_record("event_type_0_publish", {pending_arg(topic), pending_arg(dev), pending_arg(subdev),
                                            pending_arg(plaintext), std::to_string(retain)});
    return pending_result();
}

int event_type_1_publish(const char *topic, const char *cols, const char *dat, int number,
                         const char *submac) {
    pending_record("event_type_1_publish", {pending_arg(topic), pending_arg(cols), pending_arg(dat),
                                            std::to_string(number), pending_arg(submac)});
    return pending_result();
}

int event_type_7_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev, int newly,
                         const char *topic, int retain) {
    pending_record("event_type_7_publish", {pending_arg(dev), pending_arg(subdev), std::to_string(newly),
                                            pending_arg(topic), std::to_string(retain)});
    return pending_result();
}

int even_dev_ctrl_publish(const orvi_subdev_ptr &dev, uds_type_t kind) {
    pending_record("even_dev_ctrl_publish", {pending_arg(dev), std::to_string(kind)});
    return pending_result();
}

int even_dev_ctrl_publish_text(const char *text, uds_type_t kind) {
    pending_record("even_dev_ctrl_publish_text", {pending_arg(text), std::to_string(kind)});
    return pending_result();
}

int event_host_publish(const char *cols, const char *dat, int number) {
    pending_record("event_host_publish", {pending_arg(cols), pending_arg(dat), std::to_string(number)});
    return pending_result();
}

int event_parameter_publish(const char *cols, const char *dat, int number) {
    pending_record("event_parameter_publish", {pending_arg(cols), pending_arg(dat), std::to_string(number)});
    return pending_result();
}

int event_subDevList_publish(const char *cols, const char *dat, int number) {
    pending_record("event_subDevList_publish", {pending_arg(cols), pending_arg(dat), std::to_string(number)});
    return pending_result();
}

int uds_subdev_status_check_publish(int devtype, const char *cols, const char *submac) {
    pending_record("uds_subdev_status_check_publish",
                   {std::to_string(devtype), pending_arg(cols), pending_arg(submac)});
    return pending_result();
}

int event_host_onlinesub_publish(void) {
    pending_record("event_host_onlinesub_publish", {});
    return pending_result();
}

int event_room_set_publish(const char *submid, const char *submac, unsigned roomId) {
    pending_record("event_room_set_publish",
                   {pending_arg(submid), pending_arg(submac), std::to_string(roomId)});
    return pending_result();
}

int event_room_set_delay_publish(const char *submac, int send_now) {
    pending_record("event_room_set_delay_publish", {pending_arg(submac), std::to_string(send_now)});
    return pending_result();
}

int event_roomListInfo_publish(const char *roomlist) {
    pending_record("event_roomListInfo_publish", {pending_arg(roomlist)});
    return pending_result();
}

int event_roomInfoHttp_publish(const char *roomlist) {
    pending_record("event_roomInfoHttp_publish", {pending_arg(roomlist)});
    return pending_result();
}

int event_switch_bind_publish(const cJSON *plain) {
    pending_record("event_switch_bind_publish", {pending_arg(plain)});
    return pending_result();
}

int event_event_persistent_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev) {
    pending_record("event_event_persistent_publish", {pending_arg(dev), pending_arg(subdev)});
    return pending_result();
}

int event_device_event_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev,
                               const cJSON *event) {
    pending_record("event_device_event_publish", {pending_arg(dev), pending_arg(subdev), pending_arg(event)});
    return pending_result();
}

int event_sub_devinfo_publish(const orvi_subdev_ptr &subdev, int newly) {
    pending_record("event_sub_devinfo_publish", {pending_arg(subdev), std::to_string(newly)});
    return pending_result();
}

int event_virtual_devinfo_publish(const orvi_subdev_ptr &subdev) {
    pending_record("event_virtual_devinfo_publish", {pending_arg(subdev)});
    return pending_result();
}

int event_pub_http_devinfo_publish(const orvi_subdev_ptr &subdev, int newly) {
    pending_record("event_pub_http_devinfo_publish", {pending_arg(subdev), std::to_string(newly)});
    return pending_result();
}

int event_subsub_devinfo_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev) {
    pending_record("event_subsub_devinfo_publish", {pending_arg(dev), pending_arg(subdev)});
    return pending_result();
}

int event_opDevices_info_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev, int devType,
                                 int newly) {
    pending_record("event_opDevices_info_publish",
                   {pending_arg(dev), pending_arg(subdev), std::to_string(devType), std::to_string(newly)});
    return pending_result();
}

int event_syncAckHttp_devListPush_publish(const orvi_subdev_ptr &subdev, int newly) {
    pending_record("event_syncAckHttp_devListPush_publish", {pending_arg(subdev), std::to_string(newly)});
    return pending_result();
}

int event_sub_subdev_status_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev) {
    pending_record("event_sub_subdev_status_publish", {pending_arg(dev), pending_arg(subdev)});
    return pending_result();
}

int event_scene_rsp_publish(const orvi_subdev_ptr &subdev, int failed) {
    pending_record("event_scene_rsp_publish", {pending_arg(subdev), std::to_string(failed)});
    return pending_result();
}

int event_update_roomId_publish(const cJSON *json) {
    pending_record("event_update_roomId_publish", {pending_arg(json)});
    return pending_result();
}

int event_failDevHttp_publish(int kind, const char *requestId) {
    pending_record("event_failDevHttp_publish", {std::to_string(kind), pending_arg(requestId)});
    return pending_result();
}

int event_soUpdateRes_publish(int res) {
    pending_record("event_soUpdateRes_publish", {std::to_string(res)});
    return pending_result();
}

int publish_cbackup_restart_event(void) {
    pending_record("publish_cbackup_restart_event", {});
    return pending_result();
}

int publish_groupCtrl_event(const cJSON *cmd) {
    pending_record("publish_groupCtrl_event", {pending_arg(cmd)});
    return pending_result();
}

int cloud_backup_result(int r, long fileId) {
    pending_record("cloud_backup_result", {std::to_string(r), std::to_string(fileId)});
    return pending_result();
}

int sub_dev_online_sync_delay(unsigned ms, int type) {
    pending_record("sub_dev_online_sync_delay", {std::to_string(ms), std::to_string(type)});
    return pending_result();
}

int sub_dev_status_sync_delay(unsigned ms, int type) {
    pending_record("sub_dev_status_sync_delay", {std::to_string(ms), std::to_string(type)});
    return pending_result();
}

int sub_dev_online_sync_again(int type) {
    pending_record("sub_dev_online_sync_again", {std::to_string(type)});
    return pending_result();
}

int sub_dev_status_sync_again(int type) {
    pending_record("sub_dev_status_sync_again", {std::to_string(type)});
    return pending_result();
}
