#include "recording_seams.h"

#include <atomic>
#include <mutex>
#include <string>

#include "orvi_ble_service.h"
#include "orvi_event_topics.h"
#include "orvi_handlers.h"
#include "orvi_ota.h"
#include "orvi_run_info.h"
#include "orvi_scene_rsp.h"
#include "orvi_timer_app.h"
#include "tovra_service.h"

namespace {

std::string num(long v) {
    return std::to_string(v);
}

// ---- Wi-Fi --------------------------------------------------------------------
std::atomic<int> g_wifi_state{WIFI_DISCONNECTED};

const orvi_wifi_ops_t kWifi = {
    [] {
        pending_record("orvi_wifi_on", {});
        return 0;
    },
    [] {
        pending_record("orvi_wifi_off", {});
        return 0;
    },
    [](const char *ssid, const char *password) {
        pending_record("wifi_connect", {pending_arg(ssid), pending_arg(password)});
        return 0;
    },
    [] {
        pending_record("wifi_get_connection_state", {});
        return static_cast<WifiConnectionState>(g_wifi_state.load());
    },
    [] {
        pending_record("orvi_wifi_connect_confirm", {});
        return 0;
    },
    // A read: answers the state set for the test, unrecorded.
    [] { return static_cast<WifiConnectionState>(g_wifi_state.load()); },
};

// ---- BLE provisioning packets: recorded and refused (no answer) -------------------
template <const char *Name>
int ble_packet(cJSON *json, request_data_t *, const orvi_subdev_ptr &dev) {
    pending_record(Name, {pending_arg(json), pending_arg(dev)});
    return -1;
}
constexpr char kBind[] = "request_handle_bind";
constexpr char kSubBDev[] = "request_handle_subBDev";
constexpr char kQnetDev[] = "request_handle_QnetDev";
constexpr char kBleCheck[] = "request_handle_bleCheck";
constexpr char kHomeBind[] = "request_handle_homeBind";

const orvi_ble_service_ops_t kBle = {
    nullptr,
    ble_packet<kBind>,
    ble_packet<kSubBDev>,
    ble_packet<kQnetDev>,
    ble_packet<kBleCheck>,
    ble_packet<kHomeBind>,
    [](request_data_t *, const orvi_subdev_ptr &dev) {
        pending_record("orvi_send_bleinfo", {pending_arg(dev)});
        return -1;
    },
};

// ---- Lighting -------------------------------------------------------------------
const tovra_service_ops_t kTovra = {
    nullptr,
    [] { pending_record("tovra_all_refresh_list", {}); },
    [](int room, int pow, int type, int lum, int ct, int cur) {
        pending_record("tovra_device_all_ctrl",
                       {num(room), num(pow), num(type), num(lum), num(ct), num(cur)});
        return 0;
    },
    [](uint32_t id) { pending_record("tovra_trivox_scene_status_set", {num(id)}); },
    [](uint32_t id) { pending_record("tovra_trivox_scene_send", {num(id)}); },
    [] {
        pending_record("tovra_get_tovra_mac", {});
        return std::string();
    },
    [](const char *mac) { pending_record("new_online_device_list", {pending_arg(mac)}); },
    [](const char *mac, const char *mid, int room) {
        pending_record("tovra_room_set_handle", {pending_arg(mac), pending_arg(mid), num(room)});
        return 0;
    },
    [](const char *mac) {
        pending_record("tovra_device_applet_delete_handle", {pending_arg(mac)});
        return 0;
    },
};

// ---- Run information: the refreshes are recorded, the getters are the
// host's own answers ------------------------------------------------------------
std::atomic<int> g_run_info_changed{0};

const orvi_run_info_ops_t kRunInfo = {
    [] { pending_record("set_host_run_info", {}); },
    [] {
        pending_record("compare_host_run_info", {});
        return g_run_info_changed.load();
    },
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// ---- Schedules: the capacity is 5, the list document an empty list ---------------
const orvi_timer_app_ops_t kTimerApp = {
    nullptr,
    nullptr,
    [](int32_t id, int pday, int hour, int min, int enable, const char *cmd) -> timer_node_ptr {
        pending_record("timer_node_create",
                       {num(id), num(pday), num(hour), num(min), num(enable), pending_arg(cmd)});
        if (!cmd || pday < 0 || pday >= 128) return nullptr;
        timer_node_ptr n(new timer_node_t);
        n->timer_id = id;
        n->date_config.pday = pday;
        n->date_config.hour = hour;
        n->date_config.min = min;
        n->enable = enable;
        n->cmd = cmd;
        return n;
    },
    [](timer_app_list_t *, timer_node_ptr node, const char *mac, int multi, int max) {
        pending_record("timer_node_Add", {pending_arg(mac), node ? num(node->timer_id) : "(null)", num(multi),
                                          num(max), node ? node->cmd : "(null)"});
        return pending_result();
    },
    [](timer_app_list_t *, const char *mac, int32_t id, int pday, int hour, int min, int enable,
       const char *cmd, int multi) {
        pending_record("timer_node_Modify", {pending_arg(mac), num(id), num(pday), num(hour), num(min),
                                             num(enable), pending_arg(cmd), num(multi)});
        return pending_result();
    },
    [](timer_app_list_t *, const char *mac, int32_t id, int multi) {
        pending_record("timer_app_delete", {pending_arg(mac), num(id), num(multi)});
        return pending_result();
    },
    [](const char *mid) {
        pending_record("orvi_timer_max_quantity_get", {pending_arg(mid)});
        return 5;
    },
    [](timer_app_list_t *) {
        pending_record("timer_app_list_get_Timedat", {});
        return std::string(R"({"t":"Timedat","list":[]})");
    },
    nullptr,
};

// ---- Firmware download ----------------------------------------------------------
const orvi_ota_ops_t kOta = {
    nullptr,
    [](const char *url) {
        pending_record("orvi_ota_thread", {pending_arg(url)});
        return pending_result();
    },
};

// ---- Scene answer subscriptions ----------------------------------------------------
const orvi_scene_rsp_ops_t kSceneRsp = {
    [] {
        pending_record("start_subscribe_scene_create_resp_service", {});
        return 0;
    },
    [] {
        pending_record("start_subscribe_scene_delete_resp_service", {});
        return 0;
    },
    [] {
        pending_record("start_subscribe_scene_check_rsp", {});
        return 0;
    },
};

}  // namespace

void recording_seams_install(void) {
    orvi_wifi_install(&kWifi);
    orvi_ble_service_install(&kBle);
    tovra_service_install(&kTovra);
    orvi_run_info_install(&kRunInfo);
    orvi_timer_app_install(&kTimerApp);
    orvi_ota_install(&kOta);
    orvi_scene_rsp_install(&kSceneRsp);
}

void recording_seams_uninstall(void) {
    orvi_wifi_install(nullptr);
    orvi_ble_service_install(nullptr);
    tovra_service_install(nullptr);
    orvi_run_info_install(nullptr);
    orvi_timer_app_install(nullptr);
    orvi_ota_install(nullptr);
    orvi_scene_rsp_install(nullptr);
}

void wifi_pending_set_connection_state(WifiConnectionState state) {
    g_wifi_state.store(state);
}

void runinfo_pending_set_changed(int changed) {
    g_run_info_changed.store(changed);
}

void uds_later_pending_set(int scene_lock, int bind_result, const cJSON *tokens) {
    uds_scene_lock_set(scene_lock);
    uds_bind_result_set(bind_result);
    uds_gateway_tokens_set(tokens);
}
