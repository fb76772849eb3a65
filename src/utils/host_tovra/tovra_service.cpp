#include "tovra_service.h"

#include "orvi_seam.h"

namespace {

int init_not_built(void) {
    ORVI_NOT_BUILT("tovra_thread_main_init");
    return 0;
}
void refresh_not_built(void) {
    ORVI_NOT_BUILT("tovra_all_refresh_list");
}
int all_ctrl_not_built(int, int, int, int, int, int) {
    ORVI_NOT_BUILT("tovra_device_all_ctrl");
    return -1;
}
void status_set_not_built(uint32_t) {
    ORVI_NOT_BUILT("tovra_trivox_scene_status_set");
}
void scene_send_not_built(uint32_t) {
    ORVI_NOT_BUILT("tovra_trivox_scene_send");
}
std::string mac_not_built(void) {
    ORVI_NOT_BUILT("tovra_get_tovra_mac");
    return "";
}
void new_device_not_built(const char *) {
    ORVI_NOT_BUILT("new_online_device_list");
}
int room_set_not_built(const char *, const char *, int) {
    ORVI_NOT_BUILT("tovra_room_set_handle");
    return -1;
}
int delete_not_built(const char *) {
    ORVI_NOT_BUILT("tovra_device_applet_delete_handle");
    return -1;
}

}  // namespace

const tovra_service_ops_t tovra_service_not_built = {
    init_not_built,       refresh_not_built, all_ctrl_not_built,   status_set_not_built, scene_send_not_built,
    mac_not_built,        new_device_not_built, room_set_not_built, delete_not_built,
};

namespace {
orvi_seam<tovra_service_ops_t> g_tovra(&tovra_service_not_built);
}

void tovra_service_install(const tovra_service_ops_t *ops) {
    g_tovra.install(ops);
}

int tovra_thread_main_init(void) {
    return g_tovra.get(&tovra_service_ops_t::thread_main_init)();
}

void tovra_all_refresh_list(void) {
    g_tovra.get (&tovra_service_ops_t::all_refresh_list)();
}

int tovra_device_all_ctrl(int Room_ID, int Pow, int DevType, int Lum, int ColorTemp, int CurPercent) {
    return g_tovra.get(&tovra_service_ops_t::device_all_ctrl)(Room_ID, Pow, DevType, Lum, ColorTemp,
                                                              CurPercent);
}

void tovra_trivox_scene_status_set(uint32_t sceneId) {
    g_tovra.get (&tovra_service_ops_t::trivox_scene_status_set)(sceneId);
}

void tovra_trivox_scene_send(uint32_t sceneId) {
    g_tovra.get (&tovra_service_ops_t::trivox_scene_send)(sceneId);
}


std::string tovra_get_tovra_mac(void) {
    return g_tovra.get(&tovra_service_ops_t::get_tovra_mac)();
}

void new_online_device_list(const char *mac) {
    g_tovra.get (&tovra_service_ops_t::new_online_device_list)(mac);
}

int tovra_room_set_handle(const char *mac, const char *mid, int roomid) {
    return g_tovra.get(&tovra_service_ops_t::room_set_handle)(mac, mid, roomid);
}

int tovra_device_applet_delete_handle(const char *mac) {
    return g_tovra.get(&tovra_service_ops_t::device_applet_delete_handle)(mac);
}
