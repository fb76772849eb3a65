// Entry points of services that start-up calls but that are not built yet.
// Each section lists one service; its stand-in (src/pending/<service>_pending.cpp)
// logs the call and reports success. A service that lands removes its
// section and its stand-in file, and start-up includes its real header.
#pragma once

// the SD card service (sd_pending.cpp)
int orvi_sd_service_init(void);

// the timer schedule service (timer_app_pending.cpp)
int server_timer_app(void);
int app_info_server(void);

// the local event topic handlers (uds_pending.cpp)
int orvi_uds_init(void);
int orvi_local_mqtt_sub(void);
int evn_host_match_status_sync(void);

// the key and LED services (board_pending.cpp)
int server_key(void);
int server_leds(void);
int host_led_started_api(void);

// the cloud MQTT link (cloud_pending.cpp)
int service_mqtt(void);

// the plug-in package service (so_pending.cpp)
int orvi_so_refresh_server(void);
int orvi_so_config_load(void);

// the lighting service (tovra_pending.cpp)
int tovra_thread_main_init(void);

// the backup services (backup_pending.cpp)
int http_so_and_host_pthread(void);
int backup_service_func(void);

// the Redis state service (redis_pending.cpp)
int redis_checking(void);
int false_status_push_thread(void);

// the BLE provisioning service (ble_pending.cpp)
int orvi_combo_server(void);

// the firmware upgrade service (ota_pending.cpp)
int ota_package_verify(void);

// the factory test (factory_pending.cpp)
int status_factory_mode(void);
int orvi_FactoryTest_init(void);
