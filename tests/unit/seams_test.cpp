// The seams of the subsystems still to come, as the daemon has them today:
// every call fails (or answers that call's failing value) and names the
// call in the log, never its data; a table start-up installs answers
// instead, member by member.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "key_led_service.h"
#include "orvi_backup.h"
#include "orvi_ble_service.h"
#include "orvi_factory_test.h"
#include "orvi_handlers.h"
#include "orvi_log.h"
#include "orvi_ota.h"
#include "orvi_redis_state.h"
#include "orvi_run_info.h"
#include "orvi_scene_rsp.h"
#include "orvi_sd_service.h"
#include "orvi_so_update.h"
#include "orvi_timer_app.h"
#include "orvi_wifi.h"
#include "recording_seams.h"
#include "tovra_service.h"

namespace {

class NotBuilt : public ::testing::Test {
  protected:
    void SetUp() override {
        recording_seams_uninstall();
        orvi_log_level_set(ORVI_LOG_DEBUG);
        testing::internal::CaptureStdout();
    }
    void TearDown() override {
        log_ = testing::internal::GetCapturedStdout();
        orvi_log_level_set(ORVI_LOG_INFO);
    }
    // Stops capturing and returns what was logged.
    std::string log() {
        log_ = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        return log_;
    }
    recording_seams_back back_;
    std::string log_;
};

TEST_F(NotBuilt, EveryCallFailsAndSaysSo) {
    cJSON *packet = cJSON_Parse(R"({"t":"QnetDev","psw":"secret"})");
    request_data_t req;
    auto dev = std::make_shared<orvi_subdev_list_t>();
    struct Case {
        const char *call;
        std::function<long()> run;
        long answer;
    } cases[] = {
        {"orvi_wifi_on", orvi_wifi_on, -1},
        {"orvi_wifi_off", orvi_wifi_off, -1},
        {"wifi_connect", [] { return wifi_connect("home", "x"); }, -1},
        {"wifi_get_connection_state", [] { return static_cast<long>(wifi_get_connection_state()); },
         WIFI_UNKNOWN_STATE},
        {"orvi_wifi_connect_confirm", orvi_wifi_connect_confirm, -1},
        {"orvi_wifi_confirm_state", [] { return static_cast<long>(orvi_wifi_confirm_state()); },
         WIFI_UNKNOWN_STATE},
        {"orvi_combo_server", orvi_combo_server, -1},
        {"request_handle_bind", [&] { return request_handle_bind(packet, &req, dev); }, -1},
        {"request_handle_subBDev", [&] { return request_handle_subBDev(packet, &req, dev); }, -1},
        {"request_handle_QnetDev", [&] { return request_handle_QnetDev(packet, &req, dev); }, -1},
        {"request_handle_bleCheck", [&] { return request_handle_bleCheck(packet, &req, dev); }, -1},
        {"request_handle_homeBind", [&] { return request_handle_homeBind(packet, &req, dev); }, -1},
        {"orvi_send_bleinfo", [&] { return orvi_send_bleinfo(&req, dev); }, -1},
        {"tovra_thread_main_init", tovra_thread_main_init, 0},
        {"tovra_device_all_ctrl", [] { return tovra_device_all_ctrl(0, 1, 8, 0, 0, 0); }, -1},
        {"tovra_get_tovra_mac", [] { return static_cast<long>(tovra_get_tovra_mac().size()); }, 0},
        {"server_key", server_key, -1},
        {"server_leds", server_leds, -1},
        {"host_led_started_api", host_led_started_api, -1},
        {"orvi_sd_service_init", orvi_sd_service_init, -1},
        {"compare_host_run_info", compare_host_run_info, 0},
        {"server_timer_app", server_timer_app, -1},
        {"app_info_server", app_info_server, -1},
        {"timer_node_create", [] { return timer_node_create(1, 127, 8, 0, 1, "{}") ? 1L : 0L; }, 0},
        {"timer_node_Add",
         [] {
             return timer_node_Add(&timer_app_list, timer_node_ptr(new timer_node_t), "a1b2c3d4e5f6", 0, 5);
         },
         -1},
        {"timer_node_Modify", [] { return timer_node_Modify(&timer_app_list, "a1", 1, 1, 1, 1, 1, "{}", 0); },
         -1},
        {"timer_app_delete", [] { return timer_app_delete(&timer_app_list, "a1", 1, 0); }, -1},
        {"orvi_timer_max_quantity_get", [] { return orvi_timer_max_quantity_get("90001"); }, -1},
        {"timer_app_list_get_Timedat",
         [] { return static_cast<long>(timer_app_list_get_Timedat(&timer_app_list).size()); }, 0},
        {"redis_checking", redis_checking, -1},
        {"false_status_push_thread", false_status_push_thread, -1},
        {"orvi_so_refresh_server", orvi_so_refresh_server, -1},
        {"orvi_so_config_load", orvi_so_config_load, -1},
        {"ota_package_verify", ota_package_verify, -1},
        {"orvi_ota_thread", [] { return orvi_ota_thread("http://x/fw"); }, -1},
        {"http_so_and_host_pthread", http_so_and_host_pthread, -1},
        {"backup_service_func", backup_service_func, -1},
        {"status_factory_mode", status_factory_mode, 0},  // normal operation
        {"orvi_FactoryTest_init", orvi_FactoryTest_init, -1},
        {"test_send_default_scene", [] { return test_send_default_scene(2, 1); }, -1},
        {"start_subscribe_scene_create_resp_service", start_subscribe_scene_create_resp_service, -1},
        {"start_subscribe_scene_delete_resp_service", start_subscribe_scene_delete_resp_service, -1},
        {"start_subscribe_scene_check_rsp", start_subscribe_scene_check_rsp, -1},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.answer, c.run()) << c.call;
        const std::string text = log();
        EXPECT_NE(std::string::npos, text.find(std::string("]: ") + c.call + ": not built"))
            << c.call << text;
    }
    // The calls that answer nothing say so too.
    const std::pair<const char *, std::function<void()>> quiet[] = {
        {"tovra_all_refresh_list", tovra_all_refresh_list},
        {"tovra_trivox_scene_status_set", [] { tovra_trivox_scene_status_set(1); }},
        {"tovra_trivox_scene_send", [] { tovra_trivox_scene_send(1); }},
        {"new_online_device_list", [] { new_online_device_list("a1b2c3d4e5f6"); }},
        {"set_host_run_info", set_host_run_info},
        {"timer_execute_time_refresh_all", [] { timer_execute_time_refresh_all(&timer_app_list); }},
    };
    for (const auto &q : quiet) {
        q.second();
        EXPECT_NE(std::string::npos, log().find(std::string("]: ") + q.first + ": not built")) << q.first;
    }
    cJSON_Delete(packet);
}

// Credentials and provisioning packets never reach the log.
TEST_F(NotBuilt, NamesTheCallNeverItsData) {
    EXPECT_EQ(-1, wifi_connect("home net", "p4ss-phrase-77"));
    cJSON *packet = cJSON_Parse(R"({"t":"QnetDev","QnetKey":"qnet-key-9931","psw":"p4ss-phrase-77"})");
    request_data_t req;
    EXPECT_EQ(-1, request_handle_QnetDev(packet, &req, std::make_shared<orvi_subdev_list_t>()));
    cJSON_Delete(packet);
    const std::string text = log();
    EXPECT_NE(std::string::npos, text.find("wifi_connect: not built")) << text;
    EXPECT_EQ(std::string::npos, text.find("p4ss-phrase-77")) << text;
    EXPECT_EQ(std::string::npos, text.find("qnet-key-9931")) << text;
}

// A periodic call leaves at most one visible line: the first is a warning,
// the ones after it are debug lines.
TEST_F(NotBuilt, WarnsOncePerCall) {
    orvi_log_level_set(ORVI_LOG_INFO);
    log();
    for (int i = 0; i < 3; ++i)
        redis_checking();
    const std::string text = log();
    EXPECT_EQ(text.find("redis_checking: not built"), text.rfind("redis_checking: not built")) << text;
    orvi_log_level_set(ORVI_LOG_DEBUG);
    redis_checking();
    EXPECT_NE(std::string::npos, log().find("[D][checking_not_built]"));
}

// The run information the host knows without its service.
TEST_F(NotBuilt, RunInformationAnswersWhatTheHostKnows) {
    EXPECT_EQ("V1.00.16", get_host_sover_info());
    EXPECT_EQ(0, get_host_can_info());
    EXPECT_EQ(0, get_host_485_info());
    EXPECT_EQ(0, get_host_net_info());
    EXPECT_EQ(1, get_host_systemStatus_info());
}

// A table answers member by member; what it leaves out, and a null install,
// is "not built" again.
TEST_F(NotBuilt, InstalledTableAnswersAndFallsBack) {
    static const orvi_wifi_ops_t kOnOnly = {[] { return 0; }, nullptr, nullptr, nullptr, nullptr, nullptr};
    orvi_wifi_install(&kOnOnly);
    EXPECT_EQ(0, orvi_wifi_on());
    EXPECT_EQ(-1, orvi_wifi_off());
    EXPECT_EQ(WIFI_UNKNOWN_STATE, wifi_get_connection_state());
    orvi_wifi_install(nullptr);
    EXPECT_EQ(-1, orvi_wifi_on());
}

// The restore request keeps whole texts only: a too long one is refused and
// leaves the request as it was.
TEST(RestoreRequest, KeepsWholeTextsOnly) {
    ASSERT_EQ(0, set_restore_file_mac("0123456789abcdef"));
    ASSERT_EQ(0, set_restore_file_download_flag("123456789"));
    EXPECT_EQ(-1, set_restore_file_mac("0123456789abcdefX"));
    EXPECT_EQ(-1, set_restore_file_download_flag("1234567890"));
    EXPECT_EQ(-1, set_restore_file_mac(nullptr));
    EXPECT_EQ("0123456789abcdef", get_restore_file_mac());
    EXPECT_EQ("123456789", get_restore_file_download_flag());
}

}  // namespace
