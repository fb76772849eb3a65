// The host's identity record (orvi_dev_info), its credentials, the host
// settings the configuration file keeps (location, cloud domain, order id,
// Wi-Fi credentials, Qnet id), the restart and backup settings
// (orvi_ins_info) and system time setting. Shared by every thread: accessors
// lock the record, text getters return copies.
#pragma once

#include <cstdint>
#include <string>

#include "orvi_lock_order.h"

// Built-in defaults (orvi_dev_info_defaults puts them into a zeroed record).
inline constexpr char ORVI_FIRMWARE_ID[] = "OH7050200+HC01V1.0.3.img";
inline constexpr char ORVI_DEFAULT_KEY[] = "Ov3hK8qT1zR6wN2d";
inline constexpr char ORVI_PROTOCOL_VER[] = "V3.2.MF";
inline constexpr char ORVI_MID_STR[] = "70502";
inline constexpr char ORVI_HOME_HOST_MID_STR[] = "70502_01";
inline constexpr char ORVI_SOFTWARE_VERSION[] = "1";
// Public NTP service used by the automatic time synchronisation.
inline constexpr char ORVI_NTP_SERVER[] = "pool.ntp.org";

typedef struct orvi_dev_info_s {
    char hid[40];
    char tcphost[32];
    char dathost[32];
    char dishost[33];
    char nluhost[33];
    char reportclientID[32];
    char host_mac_str[17];
    char home_mac_str[17];
    char ble_mac_str[17];
    char bssid_str[17];
    char systime[20];
    char default_key[17];
    char random_key[17];
    char home_key[17];
    char Qnetkey[9];
    char protocol_ver[16];
    char product_name[16];
    char LwIP_ip[16];
    char mid_str[8];
    char homeHostMid_str[16];
    char hidver[8];
    char version[8];
    uint8_t host_mac[6];
    uint32_t mid;
    uint32_t MidType;
    int32_t lock;
    int32_t homeId;
    uint16_t tcpport;
    uint16_t datport;
    uint16_t disport;
    uint16_t nluport;
    uint8_t server_state;
    uint8_t ReportFreq;
    uint8_t server_time_enable;
    uint8_t time_calibration;  // 0 not calibrated, 1 calibrating, 2 calibrated
    uint8_t tovraCnt;
    uint8_t is_matched;
    int32_t is_actived;
    uint8_t is_connected;
    int32_t nluinfo_flag;
    char mqttUser[20];
    char mqttPsw[33];
    char redisPsw[33];
    bool hostRestoreStatus;
} orvi_dev_info_t;

// Restart and cloud backup settings, memory only.
typedef struct app_ins_info_s {
    int32_t cloud_backup_sw;
    int32_t restart_timer_sw;
    char cloud_backup_time[128];
    int32_t host_restart_interval;
    int32_t restart_month;
    int32_t restart_day;
    int32_t restart_hour;
    int32_t restart_minutes;
    int32_t restore_download;
} app_ins_info_t;

// The record. Read and written only under orvi_dev_info_mu; prefer the accessors.
extern orvi_dev_info_t orvi_dev_info GUARDED_BY(orvi_dev_info_mu);
orvi::Mutex &orvi_dev_info_mutex(void) RETURN_CAPABILITY(orvi_dev_info_mu);
// The settings, under orvi_ins_info_mu.
extern app_ins_info_t orvi_ins_info GUARDED_BY(orvi_ins_info_mu);
orvi::Mutex &orvi_ins_info_mutex(void) RETURN_CAPABILITY(orvi_ins_info_mu);

// Sets the whole record: zeros and the built-in defaults.
void orvi_dev_info_defaults(orvi_dev_info_t *info);
// Start-up merge of the defaults with the Ethernet address, the identifier
// file and the configuration file; generates missing credentials. 0, -2 for null.
int product_set_info(const orvi_dev_info_t *defaults);
// Copies the whole record. 0, -2 for null.
int product_get_info(orvi_dev_info_t *dest);

// ---- Ethernet address and IP.
// Stores eth0's MAC into host_mac and host_mac_str (12 digits). 0 or -1.
int product_set_mac(void);
// Reads the IPv4 address of eth0 (or wlan0) into LwIP_ip. 0 or -1.
int product_set_LwIP_ip(bool is_ethernet);

// ---- Credentials.
// Each loads its value from the configuration file, or generates and saves
// it. A new broker or Redis password is put in force (its service's files
// written whole, the service restarted) before it is saved; when its files
// cannot be written nothing is restarted or saved and the result is -1, so
// the next start tries again.
int product_set_random_key(void);
int product_set_mqttuser(void);
int product_set_mqttpsw(void);
int product_set_redispsw(void);
// Generates all four afresh (factory reset) and restarts the broker and Redis.
// Start-up hands it to the configuration store, whose factory reset runs it.
int reset_host_randomkey_psw(void);

// ---- Getters.
std::string product_get_hid(void);
std::string product_get_hidver(void);
std::string product_get_version(void);
std::string product_get_protocol_ver(void);
std::string product_get_default_key(void);
std::string product_get_random_key(void);
std::string product_get_Qnetkey(void);
std::string product_get_home_key(void);
std::string product_get_host_mac_str(void);  // host identifier (MACFile.config)
std::string product_get_mac_str(void);       // home MAC identifier
void product_get_host_mac(uint8_t mac[6]);
std::string product_get_LwIP_ip(void);
uint32_t product_get_mid(void);
std::string product_get_mid_str(void);
uint32_t product_get_MidType(void);
std::string product_get_homeHost_mid_str(void);
int32_t product_get_homeId(void);
std::string product_get_dis_host(void);
uint16_t product_get_dis_port(void);
std::string product_get_nlu_host(void);
uint16_t product_get_nlu_port(void);
int32_t product_get_nluinfo_flag(void);
std::string product_get_tcp_host(void);
uint16_t product_get_tcp_port(void);
std::string product_get_dat_host(void);
uint16_t product_get_dat_port(void);
uint8_t product_get_match_status(void);
int32_t product_get_active_status(void);
unsigned char product_get_net_status(void);
uint8_t product_get_time_calibration(void);
uint8_t product_get_server_state(void);
uint8_t product_get_server_time_enable(void);
uint8_t product_get_ReportFreq(void);
uint8_t product_get_tovraCnt(void);
std::string product_get_reportclientID(void);
std::string product_get_bssid_str(void);
std::string product_get_product_name(void);
std::string product_get_mqttuser(void);
std::string product_get_mqttpsw(void);
std::string product_get_redispsw(void);
bool product_get_resotre_status(void);
// Host settings kept in the configuration file (owned here, read by the
// registry and the handlers).
std::string product_get_province(void);
std::string product_get_city(void);
std::string product_get_APIDomain(void);
std::string product_get_lng(void);
std::string product_get_lat(void);
uint32_t product_get_QnetID(void);
std::string product_get_orderID(void);
std::string product_get_ssid(void);
std::string product_get_wifiPsw(void);

// ---- Setters that persist, only when the value changes. Texts longer than
// their field are refused (-1, with a log line), never cut.
int product_set_Qnetkey(const char *key);
int product_set_homeId(int32_t home_id);
int product_set_home_key(const char *key);  // null or empty: -1
int product_set_mac_str(const char *mac);   // the home MAC; null or empty: -1
int product_set_active_status(int32_t active);
int product_set_dis_server_info(const char *host, uint16_t port);  // null host / port 0: left as is
int product_set_nlu_server_info(const char *host, uint16_t port);
// Host settings: null or empty: -1.
int product_set_APIDomain(const char *text);
int product_set_province(const char *text);
int product_set_city(const char *text);
int product_set_lng(const char *text);
int product_set_lat(const char *text);
int product_set_orderID(const char *text);
int product_set_ssid(const char *text);
int product_set_wifiPsw(const char *text);
int product_set_QnetID(uint32_t id);

// ---- The binding window. While it is open, a peer that holds only the
// default key every product carries may bind as the mini-app (and so learn
// the home key) or take over the record of a registered device. It is open
// while the host is in pairing (match status 2 or 3), for
// ORVI_BIND_WINDOW_AFTER_MS after pairing ends (a BLE provisioning ends that
// way, as does the pairing time-out), and while the host has no home key yet.
// `why` (may be null) gets the reason, or why it is closed.
#define ORVI_BIND_WINDOW_AFTER_MS (10u * 60u * 1000u)
bool product_bind_window_open(const char **why);

// ---- Setters that change memory only.
void product_set_match_status(uint8_t status);
void product_set_net_status(uint8_t status);
void product_set_time_calibration(uint8_t state);
void product_set_server_state(uint8_t state);
void product_set_server_time_enable(uint8_t enable);
void product_set_tovraCnt(uint8_t count);
void product_set_mid(uint32_t mid);  // also mid_str as "%x"
int product_set_mid_str(const char *mid);
void product_set_MidType(uint32_t type);
void product_set_dev_protocol_ver(uint32_t ver);  // protocol_ver as "%x"
void product_set_bssid_str(const uint8_t bssid[6]);
int product_set_tcp_server_info(const char *host, uint16_t port);
int product_set_dat_server_info(const char *host, uint16_t port);
void product_set_resotre_status(bool restoring);

// ---- Restart and backup settings (keys "month", "day", "hour", "minutes").
int product_set_restart_time(const char *key, int value);
int product_get_restart_time_info(const char *key);  // -1 for a null or unknown key
void product_set_cloud_backup_sw(int sw);
int product_get_cloud_backup_sw(void);
void product_set_restart_sw(int sw);
int product_get_restart_sw(void);
void product_set_restart_interval(int interval);
int product_get_restart_interval(void);
void product_set_restore_download(int flag);
int product_get_restore_download(void);
int product_set_cloud_backup_timer(const char *text);  // -1 when null or longer than 127
std::string product_get_cloud_backup_time(void);

// ---- System time.
// `time_text` must be exactly "YYYY-MM-DD hh:mm:ss" (valid calendar values);
// it is shifted by `zone_offset_hours`, written back into `time_text` and
// set as the system time. 0, -1 on failure, -2 for an invalid text or offset.
int product_set_systime(std::string &time_text, int zone_offset_hours);
// The current system time as "YYYY-MM-DD hh:mm:ss" (also kept in systime).
std::string product_get_systime(void);
// kind 0: manual with `time_text`; 1: automatic (NTP). 0 or -1.
int product_systime_calibrate(int kind, const char *time_text);
// What runs once, on the calibrating thread, after the first successful
// calibration of the process (start-up registers the recomputation of the
// schedules' next executions). Null: nothing.
void product_set_time_calibrated_listener(void (*listener)(void));
int product_synctime_autoSync(void);

