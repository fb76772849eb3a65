// The BLE provisioning service: the Bluetooth thread that drives the host
// stack (orvi_bt_host.h), advertising while the host is in pairing mode, the
// byte paths to and from the app (with chunking of long replies and
// reassembly of chunked requests), and the provisioning packets' handlers.
//
// Threads and ownership:
//  - The Bluetooth thread runs the host's loop: every host callback, both
//    timers and every call into the host happen there, and nowhere else.
//  - The receive thread owns the gathered bytes and the open chunked
//    message; it takes what the app wrote from `rx_list`.
//  - Any thread may reply (`orvi_bt_data_send` pushes onto `send_list`) or
//    request advertising on or off (`orvi_bt_status_set`); the timers act on
//    those requests on the Bluetooth thread.
//  - `comboIfo`'s words are atomics; the MAC fields are written once, before
//    `ready` is published, and read only after it. The Wi-Fi credentials are
//    the request task's alone.
// Both lists are first in, first out: pieces of a split write join in the
// order they were written, and replies leave in the order they were given.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "orvi_ble_cp.h"
#include "orvi_bt_host.h"
#include "orvi_ble_service.h"
#include "orvi_bt_link.h"
#include "orvi_handlers.h"
#include "orvi_request.h"
#include "orvi_wifi.h"
#include "queue_msg_list.h"

typedef enum {
    BT_DISABLE = 0,
    BT_TOIDLE = 1,  // advertising must stop
    BT_IDLE = 2,
    BT_TOADV = 3,  // advertising must start
    BT_ADV = 4,
    BT_CONNECTED = 5,
    BT_DISCONNECT = 6,
} bt_status_t;

typedef struct comboInfo_s {
    uint8_t bleMac[6] = {0};
    char bleMacStr[13] = {0};
    char ssid[33] = {0};
    char password[65] = {0};
    std::atomic<int> mtu{20};  // usable notification payload: the ATT MTU minus 3
    std::atomic<int> bt_status{BT_DISABLE};
    std::atomic<uint16_t> bt_connect_handle{0};
    std::atomic<bool> ready{false};  // the controller works and the MAC fields are set
    // Advertising was asked for (BT_TOADV) and not yet called off (BT_TOIDLE):
    // an app that drops the link mid-exchange finds the host advertising again.
    std::atomic<bool> adv_wanted{false};
} comboInfo_t;

extern comboInfo_t comboIfo;
extern queue_msg_list rx_list;    // bytes written by the app
extern queue_msg_list send_list;  // replies waiting to be notified to the app

// Messages a list holds at most; a push beyond it is refused with a log line.
inline constexpr int ORVI_BLE_LIST_MAX = 64;
// The company identifier of the manufacturer-specific advertising element:
// 0xFFFF, the value the Bluetooth SIG keeps for products without an
// assigned identifier (the app matches the bytes after it, not this value).
inline constexpr uint16_t ORVI_BLE_COMPANY_ID = 0xFFFF;
inline constexpr size_t ORVI_BLE_ADV_LEN = 22;
inline constexpr size_t ORVI_BLE_SCAN_RSP_LEN = 29;
// Periods of the run-loop timers.
inline constexpr uint32_t ORVI_BLE_SEND_PERIOD_MS = 500;
inline constexpr uint32_t ORVI_BLE_STATUS_PERIOD_MS = 1000;
// From a successful "bleinfo" to "matching" "success" and the end of advertising.
inline constexpr long ORVI_BLE_MATCH_DONE_DELAY_MS = 3000;

// ---- State and accessors (any thread) ----------------------------------------------

void orvi_bt_status_set(bt_status_t status);
bt_status_t orvi_bt_status_get(void);
const char *orvi_bt_status_name(int status);
void orvi_bt_conHandle_set(uint16_t handle);
uint16_t orvi_bt_conHandle_get(void);
void orvi_bt_mtu_set(int mtu);
int orvi_bt_mtu_get(void);
// `bleMacStr`, or "" before the controller is ready.
std::string orvi_bt_mac_get(void);
// The request task's copies of the credentials handed over (cut to the field).
void orvi_wifi_ssid_set(const char *ssid);
void orvi_wifi_psw_set(const char *psw);

// The advertising data and scan response for `mac` (the host MAC) and
// `mac_str` (its 12 hex digits).
std::vector<uint8_t> orvi_ble_adv_data(const uint8_t mac[6]);
std::vector<uint8_t> orvi_ble_scan_response(const char *mac_str);
// The static random address the host advertises with, from the host MAC
// (written most significant byte first): the MAC with the two top bits of
// its most significant byte set, as a static address requires; should the
// other 46 bits then be all ones or all zeros (addresses a static address
// may not have), the lowest bit of the least significant byte is flipped.
void orvi_ble_static_address(const uint8_t mac[6], uint8_t out[6]);

// ---- Byte paths ----------------------------------------------------------------------

// The BLE data channel's send (installed with orvi_bt_link_set, so
// orvi_bt_data_send reaches it): queues `text` for the send timer, which
// notifies it whole or, when it is longer than 120 bytes or does not fit
// one notification, as chunk packets. 0, or -1 (logged) when refused.
int orvi_ble_prov_data_send(const char *text, size_t length);
// Hands one complete request text to the request intake, as a BLE request
// of the host. 0, or -1 ("orvi_request_queue_send is fail!").
int orvi_ble_data_enqueue(const char *text, size_t length);

// The receive side: takes the app's writes from `rx_list`, gathers them into
// JSON texts and sorts them (whole packets to the intake, chunk packets to
// the reassembler). Owned by the receive thread.
class OrviBleRx {
  public:
    // Takes and handles one message of `rx_list`: false when it was empty.
    bool step();

  private:
    OrviBleRxGather gather_;
    OrviCpReassembler cp_;
    unsigned generation_ = 0;
};
// Sorts one gathered JSON text.
void ble_rx_data_sort(const std::string &text, OrviCpReassembler *cp);

// ---- The service on the Bluetooth thread ---------------------------------------

class OrviBleProv final : public OrviBtHostListener {
  public:
    explicit OrviBleProv(OrviBtHost *host);
    ~OrviBleProv() override;
    OrviBleProv(const OrviBleProv &) = delete;
    OrviBleProv &operator=(const OrviBleProv &) = delete;

    // The provisioning set-up once the host's UART is open: empties both
    // lists, arms the send and status timers, sets the random address and
    // powers the host on. 0 or -1.
    int setup();
    void advertise_on();
    void advertise_off();
    // The timers' work (each re-arms itself).
    void status_tick();
    void send_tick();

    void on_state(orvi_bt_host_state state) override;
    void on_command_complete(uint16_t opcode, const uint8_t *ret, size_t len) override;
    void on_connected(uint16_t con_handle) override;
    void on_disconnected(uint16_t con_handle, uint8_t reason) override;
    void on_mtu(uint16_t con_handle, uint16_t mtu) override;
    size_t on_read(uint16_t con_handle, uint16_t att_handle, uint16_t offset, uint8_t *out, size_t cap,
                   uint8_t *err) override;
    uint8_t on_write(uint16_t con_handle, uint16_t att_handle, orvi_att_write_mode mode, uint16_t offset,
                     const uint8_t *data, size_t len) override;

  private:
    void comboInfo_init();
    void notify(const std::string &packet);

    OrviBtHost *host_;
    orvi_bt_timer send_timer_;
    orvi_bt_timer status_timer_;
    bool notify_on_ = false;
    // Chunk packets of the reply being sent, one per tick.
    std::vector<std::string> pending_;
    size_t pending_next_ = 0;
    std::vector<uint8_t> notify_buf_;
    uint8_t static_addr_[6] = {0};  // the controller's own, when it reports one
    unsigned not_ready_ticks_ = 0;  // status ticks since the controller was last ready
};

// ---- Start-up and wiring ------------------------------------------------------------

// Makes the host stack the Bluetooth thread drives (start-up sets it; null:
// the thread says so and ends).
typedef std::unique_ptr<OrviBtHost> (*orvi_bt_host_factory_t)(void);
void orvi_ble_prov_set_host_factory(orvi_bt_host_factory_t factory);

// What the handlers ask of services built elsewhere; a member left null
// answers "not built".
typedef struct orvi_ble_prov_peers_s {
    // The lighting module takes the new home network key. 0 or -1.
    int (*tovra_key_set)(const char *qnetkey);
} orvi_ble_prov_peers_t;
void orvi_ble_prov_set_peers(const orvi_ble_prov_peers_t *peers);

// Pairing mode on (advertising starts at the next status tick) or off.
int orvi_ble_advertise(int on);

// The Bluetooth thread's body and its creation.
void *orvi_combo_thread(void *arg);
int orvi_combo_server_start(void);

// The provisioning packets' handlers and the "bleinfo" sender. Each takes
// its packet only over BLE, checks every member's type and length before it
// stores anything, and refuses (no answer, a log line) otherwise.
ORVI_HANDLER(orvi_ble_request_bind);
ORVI_HANDLER(orvi_ble_request_subBDev);
ORVI_HANDLER(orvi_ble_request_QnetDev);
ORVI_HANDLER(orvi_ble_request_bleCheck);
ORVI_HANDLER(orvi_ble_request_homeBind);
ORVI_SENDER(orvi_ble_send_bleinfo);
// The one-shot end of pairing after a successful "bleinfo".
void orvi_ble_match_done(void *ctx);

// The service as start-up installs it: the Bluetooth thread and the handler
// rows (orvi_ble_service_install), and the BLE data channel
// (orvi_bt_link_set).
extern const orvi_ble_service_ops_t orvi_ble_prov_ops;
extern const orvi_bt_link_t orvi_ble_prov_link;
