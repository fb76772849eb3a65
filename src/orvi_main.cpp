// Start-up. Every step logs its own failure and start-up goes on: a board
// that comes up with one service missing is still reachable and can be
// repaired, a board that stops at the first error is not.
#include "orvi_main.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cloud_link.h"
#include "cloud_mqtt_service.h"
#include "local_mqtt.h"
#include "orvi_bincmd.h"
#include "orvi_bt_link.h"
#include "orvi_event_loop.h"
#include "orvi_flash.h"
#include "orvi_handlers.h"
#include "orvi_host_event.h"
#include "orvi_log.h"
#include "orvi_main_registry.h"
#include "orvi_mid_config.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_queue.h"
#include "orvi_request.h"
#include "orvi_socket.h"
#include "orvi_subdev_ctrl.h"
#include "orvi_subdev_tcp.h"
#include "orvi_system.h"
#include "orvi_timer.h"
#include "orvi_transport.h"
#include "uds_client.h"

// The subsystems still to come, each behind its seam.
#include "key_led_service.h"
#include "orvi_backup.h"
#include "orvi_ble_prov.h"
#include "orvi_ble_service.h"
#include "orvi_event_topics.h"
#include "orvi_factory_test.h"
#include "orvi_ota.h"
#include "orvi_redis_state.h"
#include "orvi_run_info.h"
#include "orvi_scene_rsp.h"
#include "orvi_sd_service.h"
#include "orvi_so_update.h"
#include "orvi_timer_app.h"
#include "orvi_net_monitor.h"
#include "orvi_wifi.h"
#include "orvi_wifi_station.h"
#include "tovra_main.h"
#include "tovra_service.h"

namespace {
constexpr const char *kHeartbeatFile = "/data/domivault/SoftWDT/orvi_hc_main.hb";
constexpr const char *kLogLevelFile = "/data/domivault/loglevel.config";
constexpr const char *kNewImage = "/data/domivault/uImage";
constexpr const char *kBootImage = "/run/media/mmcblk1p1/uImage";
constexpr const char *kBootPartition = "/run/media/mmcblk1p1/";
constexpr const char *kDataDir = "/data/domivault/";
constexpr const char *kLibDir = "/data/domivault/data/lib/";
constexpr const char *kConfDir = "/data/domivault/data/";

pthread_t timertid;

const char *const kBanner[] = {
    "   #######    ########    ##     ##   ########  ", "  ##     ##   ##     ##   ##     ##      ##     ",
    "  ##     ##   ##     ##   ##     ##      ##     ", "  ##     ##   ########    ##     ##      ##     ",
    "  ##     ##   ##   ##      ##   ##       ##     ", "  ##     ##   ##    ##      ## ##        ##     ",
    "   #######    ##     ##      ###      ########  ", "                                                ",
};

// First whitespace-separated word of a command's output (an md5sum digest).
std::string first_word(const std::string &s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return "";
    size_t e = s.find_first_of(" \t\r\n", b);
    return s.substr(b, e == std::string::npos ? std::string::npos : e - b);
}

void *log_level_update(void *) {
    std::string path = orvi_path(kLogLevelFile);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        orvi_plain_write("%s open failed!\n", kLogLevelFile);
        return nullptr;
    }
    for (;;) {
        log_level_update_once(fd);
        orvi_port_sleep_ms(10000);
    }
    return nullptr;
}
}  // namespace

void orvi_banner_print(void) {
    std::string out = "\n\n";
    for (const char *line : kBanner) {
        out.append(line);
        out.push_back('\n');
    }
    out.append("----------------------");
    out.append(ORVI_FIRMWARE_ID);
    out.append("---------------------\n\n");
    orvi_plain_write("%s", out.c_str());
}

void uImage_Verify(void) {
    std::string img = orvi_path(kNewImage);
    if (!orvi_port_exists(img)) return;
    orvi_plain_write("Have uImage in /data/domivault,need to update it!!!!!!!!!!!!!!\n");
    std::string boot = orvi_path(kBootImage);
    std::string new_sum = first_word(orvi_executeCommand("md5sum " + orvi_shell_quote(img)));
    std::string old_sum = first_word(orvi_executeCommand("md5sum " + orvi_shell_quote(boot)));
    orvi_plain_write("%s md5sum is %s\n", kNewImage, new_sum.c_str());
    orvi_plain_write("%s md5sum is %s\n", kBootImage, old_sum.c_str());
    if (new_sum.empty() || old_sum.empty()) return;
    if (new_sum.compare(0, 32, old_sum, 0, 32) != 0) {
        orvi_plain_write("different uImage update it \n");
        orvi_executeCommand_nonret("mv " + orvi_shell_quote(img) + " " +
                                   orvi_shell_quote(orvi_path(kBootPartition)));
        orvi_executeCommand_nonret("sync");
        for (int left = 29; left >= 0; --left) {
            orvi_plain_write(" %d seconds  left on the sync done !\n", left);
            orvi_port_sleep_ms(1000);
        }
        orvi_executeCommand_nonret("reboot");
    } else {
        orvi_plain_write("uImage is same ,delete it!\n");
        orvi_executeCommand_nonret("rm -f " + orvi_shell_quote(img));
    }
}

void orvi_soft_wdt_feed(void *) {
    // Written directly rather than through a shell: the tick thread must
    // never wait on a fork, or a stalled fork would stop the heartbeat too.
    std::string path = orvi_path(kHeartbeatFile);
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t w = ::write(fd, "1\n", 2);
        (void)w;
        ::close(fd);
    }
    ORVI_LOGI("feed watchdog");
}

int wdt_timer_start(void) {
    // The external watchdog only reads the file; make sure its folder exists.
    std::string dir = orvi_path("/data/domivault/SoftWDT");
    if (!orvi_port_exists(dir)) orvi_port_run_argv({"mkdir", "-p", dir});
    return orvi_timer_create("wdt_timer", orvi_soft_wdt_feed, 10000, nullptr, 1) < 0 ? -1 : 0;
}

int orvi_subdev_config_upgrade_from_package(void) {
    std::string find_cmd = "find " + orvi_shell_quote(orvi_path(kDataDir)) +
                           " -maxdepth 1 -type f -name 'domivault_config_V*.tar.gz'";
    std::string found = orvi_executeCommand(find_cmd);
    size_t nl = found.find('\n');
    std::string package = found.substr(0, nl);
    if (package.empty()) {
        ORVI_LOGI("Haven't devices config files need to upgrade!!!");
        return 0;
    }
    // The package name comes from the file system: quote it for the shell.
    std::string q = orvi_shell_quote(package);
    std::string untar = "tar -xzvf " + q + " -C " + orvi_shell_quote(orvi_path(kLibDir)) + " && rm -rf " + q;
    std::string out = orvi_executeCommand(untar);
    ORVI_LOGI("executing command [%s],result:%s", untar.c_str(), out.c_str());
    if (out.empty()) {
        ORVI_LOGW("%s failed!!!", untar.c_str());
        return -1;
    }
    std::string mv =
        "mv " + orvi_shell_quote(orvi_path(kLibDir)) + "*.json " + orvi_shell_quote(orvi_path(kConfDir));
    out = orvi_executeCommand(mv);
    ORVI_LOGI("executing command [%s],result:%s", mv.c_str(), out.c_str());
    out = orvi_executeCommand("sync");
    ORVI_LOGI("executing command [%s],result:%s", "sync", out.c_str());
    return 0;
}

void log_level_update_once(int fd) {
    char buf[33] = {0};
    ssize_t n = ::pread(fd, buf, 32, 0);
    if (n > 0) {
        buf[n] = '\0';
        orvi_plain_write("get char done read_ret:%s\n", buf);
        int level = std::atoi(buf);
        orvi_plain_write("level :%d\n", level);
        if (level >= 0) {
            log_level.store(level);
            orvi_plain_write("log level: %d\n", level);
        }
    }
    if (::ftruncate(fd, 0) != 0) {
    }
    ::lseek(fd, 0, SEEK_SET);
}

int server_log_module(void) {
    pthread_t tid;
    return orvi_pthread_create_detach(&tid, nullptr, log_level_update, nullptr, "log_level_update");
}

void *orvi_basictimer_create(void *) {
    orvi_event_loop_delay_send(4098, nullptr, 2000);
    scan_period_timer_start();
    second_period_timer_start();
    wdt_timer_start();
    for (;;)
        orvi_port_sleep_ms(100 * 1000);
    return nullptr;
}

// ---- The request path: transports -> intake -> handlers ---------------------
// The transports know the intake only as the sink of what they receive, the
// intake knows the transports only as one writer per channel and the
// handlers only as the dispatch handed in here.

void orvi_request_path_wire(void) {
    orvi_request_sink_t sink;
    sink.send = [](const request_type_t &req) { return orvi_request_queue_send(&req); };
    sink.pending = orvi_request_queue_pending;
    orvi_transport_set_sink(std::move(sink));
    for (connect_type_t lan : {SOCKET_CONNECT_TYPE_TCP, SOCKET_CONNECT_TYPE_UDP,
                               SOCKET_CONNECT_TYPE_BROADCAST, SOCKET_CONNECT_TYPE_MULTICAST})
        orvi_transport_set_writer(lan, socket_connect_write);
    orvi_transport_set_writer(SOCKET_CONNECT_TYPE_MQTT, cloud_link_write);
    orvi_transport_set_writer(SOCKET_CONNECT_TYPE_UDS, local_mqtt_channel_write);
    orvi_transport_set_writer(SOCKET_CONNECT_TYPE_BLE, orvi_bt_link_write);
    orvi_transport_set_stop(socket_connect_stop);
    if (request_dispatch_set(orvi_handlers_dispatch()) != 0) ORVI_LOGE("the dispatch tables are refused!");
}

int orvi_wifi_result_to_ble(WifiConnectionState state) {
    request_ctx_t ctx;
    ctx.value = state;
    return orvi_send_packet("bleinfo", SOCKET_CONNECT_TYPE_BLE, ctx);
}

// ---- Subsystems still to come ----------------------------------------------
// Each subsystem the host calls but that is not built yet answers "not
// built" through its seam. A subsystem that lands installs its own table
// here instead; nothing else changes for its callers.
void orvi_subsystems_install(void) {
    // The station hands the confirmation's result to the intake as the
    // "bleinfo" send request for the BLE connection, and asks the network
    // monitor's link check whether to switch off again afterwards.
    orvi_wifi_set_result_sink(orvi_wifi_result_to_ble);
    orvi_wifi_set_eth_link_check(net_port_eth_carrier);
    orvi_wifi_install(&orvi_wifi_station_ops);
    // The Bluetooth thread drives the project's own host over the H4 UART;
    // replies of socket type BLE leave through the provisioning service.
    orvi_ble_prov_set_host_factory(orvi_bt_host_h4_create);
    orvi_ble_service_install(&orvi_ble_prov_ops);
    orvi_bt_link_set(&orvi_ble_prov_link);
    // The lighting service drives the module link; its hooks reach the
    // device tables and the lighting events. A new home network key from
    // provisioning goes to the module at once.
    tovra_link_wire();
    tovra_service_install(&tovra_service_ops);
    static const orvi_ble_prov_peers_t ble_peers = {tovra_key_set};
    orvi_ble_prov_set_peers(&ble_peers);
    cloud_link_set(&cloud_mqtt_link_iface);
    key_led_service_install(&key_led_service_not_built);
    orvi_sd_service_install(&orvi_sd_service_not_built);
    orvi_run_info_install(&orvi_run_info_not_built);
    orvi_timer_app_install(&orvi_timer_app_not_built);
    orvi_redis_state_install(&orvi_redis_state_not_built);
    orvi_so_update_install(&orvi_so_update_not_built);
    orvi_ota_install(&orvi_ota_not_built);
    orvi_backup_install(&orvi_backup_not_built);
    orvi_factory_test_install(&orvi_factory_test_not_built);
    orvi_scene_rsp_install(&orvi_scene_rsp_not_built);
    // The event handlers reach the services built so far; the rest of their
    // peers answer "not built".
    static const orvi_event_topics_peers_t event_peers = [] {
        orvi_event_topics_peers_t p{};
        p.ble_advertise = orvi_ble_advertise;
        p.cloud_disconnect = [] {
            cloud_mqtt_disconnect();
            return 0;
        };
        // A light moved to another room learns the room's short id.
        p.tovra_room_set = [](const char *mac, uint32_t room_id) {
            const orvi_subdev_ptr dev = product_get_subdev_form_host(mac);
            if (!dev) return -1;
            const orvi_subdev_fields_t f = orvi_subdev_snapshot(dev);
            const int sid = room_id == 0 ? 0 : roomId_to_sId(room_id);
            if (sid < 0) {
                ORVI_LOGW("room %u of %s has no short id", room_id, mac);
                return -1;
            }
            return tovra_room_set_handle(mac, f.mid, sid);
        };
        p.tovra_device_delete = tovra_device_applet_delete_handle;
        return p;
    }();
    orvi_event_topics_set_peers(&event_peers);
    // The first clock calibration recomputes every schedule's next execution.
    product_set_time_calibrated_listener([] { timer_execute_time_refresh_all(&timer_app_list); });
}
// ---- End of the subsystems still to come ------------------------------------

// ---- Service start ---------------------------------------------------------

int orvi_init(void) {
    local_mqtt_service();
    server_event_brocker();
    server_log_module();
    orvi_sd_service_init();
    server_timer_app();
    orvi_uds_init();
    server_key();
    server_leds();
    bincmd_retry_thread();
    if (orvi_socket_handle() == 0) ORVI_LOGI("orvi_socket_handle is success!");
    if (device_handle_create() == 0) ORVI_LOGI("device_handle_create is success!");
    service_mqtt();
    orvi_so_refresh_server();
    orvi_local_mqtt_sub();
    net_monitor_server();
    tovra_thread_main_init();
    local_device_monitor_thread();
    http_so_and_host_pthread();
    backup_service_func();
    app_info_server();
    // The periodic host status reports what the host itself knows: it runs
    // whether or not the app service that would start it is built.
    update_host_jsonstatus_timer_pthread();
    false_status_push_thread();
    ORVI_LOGI("combo server running....");
    return orvi_combo_server();
}

int orvi_main(void) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    // Lines logged before the timer service starts carry the real time too.
    orvi_time_refresh();
    // A peer that closes its end must cost us one failed write, not the process.
    signal(SIGPIPE, SIG_IGN);
    orvi_subsystems_install();
    orvi_banner_print();
    uImage_Verify();
    orvi_log_level_set(ORVI_LOG_INFO);
    orvi_flash_init();
    orvi_timer_init();
    orvi_queue_init();
    ota_package_verify();
    redis_checking();

    orvi_dev_info_t defaults{};
    orvi_dev_info_defaults(&defaults);
    product_set_info(&defaults);
    // ---- Registry and store wiring (orvi_main_registry.h) ----
    orvi_registry_wire();
    orvi_registry_start();
    // ---- end of registry and store wiring ----

    orvi_mid_config_init();
    orvi_so_config_load();
    orvi_request_path_wire();
    socket_connect_start(nullptr, 0);
    orvi_subdev_tcp_server_init();
    orvi_init();
    host_led_started_api();
    if (status_factory_mode() == 0) evn_host_match_status_sync();
    orvi_FactoryTest_init();

    if (pthread_create(&timertid, nullptr, orvi_basictimer_create, nullptr) == 0)
        ORVI_LOGI("create orvi_basictimer_create thread success!!!");
    else
        ORVI_LOGW("create orvi_basictimer_create thread failed!!!");
    ORVI_LOGI("randomkey -> %s", product_get_random_key().empty() ? "" : "******");  // set or not; never the key
    pthread_join(timertid, nullptr);
    return 0;
}
