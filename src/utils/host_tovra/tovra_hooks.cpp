#include "tovra_hooks.h"

namespace {

int device_lookup_nb(uint16_t, tovra_link_dev_t *) {
    ORVI_NOT_BUILT("tovra device_lookup");
    return -1;
}
void device_set_online_nb(uint16_t) {
    ORVI_NOT_BUILT("tovra device_set_online");
}
void device_set_rowid_nb(uint16_t, int) {
    ORVI_NOT_BUILT("tovra device_set_rowid");
}
int deleted_lookup_nb(uint16_t, char (*)[16], int) {
    ORVI_NOT_BUILT("tovra deleted_lookup");
    return 0;
}
void pair_send_nb(int) {
    ORVI_NOT_BUILT("tovra_pair_send");
}
void host_status_nb(const tovra_link_dev_t *, const uint8_t *, int, int) {
    ORVI_NOT_BUILT("tovra_host_status_event_send");
}
void scene_set_nb(const tovra_link_dev_t *, const char *, int) {
    ORVI_NOT_BUILT("tovra_scene_set_status_event_send");
}
void scene_bind_nb(const tovra_link_dev_t *, const char *, int) {
    ORVI_NOT_BUILT("tovra_scene_bind_status_event_send");
}
void scene_unbind_nb(const tovra_link_dev_t *, const char *, int) {
    ORVI_NOT_BUILT("tovra_scene_unbind_status_event_send");
}
void scene_lock_nb(int, int) {
    ORVI_NOT_BUILT("tovra_scene_lock_send");
}
void scene_lock3_nb(int) {
    ORVI_NOT_BUILT("tovra_scene_lock3_send");
}
void trivox_nb(uint32_t) {
    ORVI_NOT_BUILT("tovra_trivox_sceneid_send");
}
void trivox2_nb(uint32_t) {
    ORVI_NOT_BUILT("tovra_trivox2_sceneid_send");
}
void pending_clear_nb(uint16_t) {
    ORVI_NOT_BUILT("tovra pending_query_clear");
}
void online_raise_nb(void) {
    ORVI_NOT_BUILT("tovra online_change_raise");
}
void online_check_nb(void) {
    ORVI_NOT_BUILT("tovra_online_change_check_send");
}
int window_open_nb(void) {
    ORVI_NOT_BUILT("tovra new_device_window_open");
    return 0;
}
void window_close_nb(void) {
    ORVI_NOT_BUILT("tovra new_device_window_close");
}
void whole_query_nb(void) {
    ORVI_NOT_BUILT("tovra whole_device_query");
}
void offline_query_nb(void) {
    ORVI_NOT_BUILT("tovra offline_device_query");
}
void delayed_check_nb(void) {
    ORVI_NOT_BUILT("tovra delayed_check_step");
}
void longtime_nb(void) {
    ORVI_NOT_BUILT("tovra longtime_report");
}
void status_send_nb(void) {
    // Runs every 100 ms: a debug line only after the first.
    ORVI_NOT_BUILT("status_send_msg");
}
void default_scene_nb(uint32_t) {
    ORVI_NOT_BUILT("orvi_send_default_scene");
}
void factory_scene_nb(int) {
    ORVI_NOT_BUILT("test_send_default_scene");
}
void factory_cmd_nb(const char *) {
    ORVI_NOT_BUILT("MQTT_Send_Topic");
}

}  // namespace

const tovra_link_hooks_t tovra_link_hooks_not_built = {
    device_lookup_nb,  device_set_online_nb, device_set_rowid_nb, deleted_lookup_nb, pair_send_nb,
    host_status_nb,    scene_set_nb,         scene_bind_nb,       scene_unbind_nb,   scene_lock_nb,
    scene_lock3_nb,    trivox_nb,            trivox2_nb,          pending_clear_nb,  online_raise_nb,
    online_check_nb,   window_open_nb,       window_close_nb,     whole_query_nb,    offline_query_nb,
    delayed_check_nb,    longtime_nb,       status_send_nb,
    default_scene_nb,  factory_scene_nb,     factory_cmd_nb,
};

orvi_seam<tovra_link_hooks_t> tovra_link_hooks(&tovra_link_hooks_not_built);

void tovra_link_hooks_install(const tovra_link_hooks_t *hooks) {
    tovra_link_hooks.install(hooks);
}
