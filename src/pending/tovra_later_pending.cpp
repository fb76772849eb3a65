// Stand-ins for the lighting service's entry points until it is built. Each
// records its call; the default-scene control also keeps the self-check
// phase, which the binding handlers' self-check needs to make progress.
#include "pending/tovra_later_pending.h"

#include <string>

#include "orvi_subdev_ctrl.h"
#include "pending/pending_calls.h"

void tovra_all_refresh_list(void) {
    pending_record("tovra_all_refresh_list", {});
}

int tovra_device_all_ctrl(int Room_ID, int Pow, int DevType, int Lum, int ColorTemp, int CurPercent) {
    pending_record("tovra_device_all_ctrl",
                   {std::to_string(Room_ID), std::to_string(Pow), std::to_string(DevType),
                    std::to_string(Lum), std::to_string(ColorTemp), std::to_string(CurPercent)});
    return 0;
}

void tovra_trivox_scene_status_set(uint32_t sceneId) {
    pending_record("tovra_trivox_scene_status_set", {std::to_string(sceneId)});
}

void tovra_trivox_scene_send(uint32_t sceneId) {
    pending_record("tovra_trivox_scene_send", {std::to_string(sceneId)});
}

void orvi_send_default_scene(uint32_t sceneId) {
    pending_record("orvi_send_default_scene", {std::to_string(sceneId)});
    if (sceneId == DEFAULT_SCENE_ON || sceneId == DEFAULT_SCENE_OFF)
        scene_id_default_set(static_cast<int>(sceneId));
}

std::string tovra_get_tovra_mac(void) {
    pending_record("tovra_get_tovra_mac", {});
    return "";
}

void new_online_device_list(const char *mac) {
    pending_record("new_online_device_list", {pending_arg(mac)});
}
