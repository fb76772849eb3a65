// The Bluetooth LE peripheral host as the provisioning service sees it: one
// narrow interface (power, address, advertising, notifications, MTU, timers
// and the UART as run-loop sources; callbacks for state, connection,
// disconnection, MTU, reads and writes), so a board build can put another
// host stack behind it. Everything here runs on the one thread that calls
// `run()`; only `stop()` may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Attribute handles of the provisioning GATT database; the app relies on
// them, so they never move.
enum : uint16_t {
    ORVI_ATT_GAP_SERVICE = 0x0001,
    ORVI_ATT_DEVICE_NAME = 0x0003,
    ORVI_ATT_GATT_SERVICE = 0x0004,
    ORVI_ATT_DATABASE_HASH = 0x0006,
    ORVI_ATT_PROV_SERVICE = 0x0007,
    ORVI_ATT_FD03_VALUE = 0x0009,  // app to host (write)
    ORVI_ATT_FD04_VALUE = 0x000B,  // host to app (notify)
    ORVI_ATT_FD04_CCC = 0x000C,    // notifications on/off
    ORVI_ATT_FD05_VALUE = 0x000E,  // read, empty
    ORVI_ATT_FD06_VALUE = 0x0010,  // read, the host's firmware identifier
    ORVI_ATT_LAST = 0x0010,
};

// ATT error codes a read or write callback may answer with.
enum : uint8_t {
    ORVI_ATT_OK = 0x00,
    ORVI_ATT_ERR_INVALID_OFFSET = 0x07,
    ORVI_ATT_ERR_INVALID_LENGTH = 0x0D,
    ORVI_ATT_ERR_UNLIKELY = 0x0E,
};

// How a write reached the host.
enum orvi_att_write_mode : uint8_t {
    ORVI_ATT_WRITE_REQUEST = 0,  // Write Request (answered)
    ORVI_ATT_WRITE_COMMAND = 1,  // Write Command (no answer)
    ORVI_ATT_WRITE_LONG = 2,     // Prepare Write series, executed: the whole value at offset 0
};

enum orvi_bt_host_state : uint8_t {
    ORVI_BT_HOST_OFF = 0,      // powered off, or not started
    ORVI_BT_HOST_WORKING = 1,  // controller reset and set up: advertising may start
    ORVI_BT_HOST_HALTING = 2,  // powering off
};

struct orvi_bt_uart_config {
    const char *device;     // "/dev/ttyS7" on the board
    uint32_t baudrate;      // 1,500,000
    bool flow_control;      // RTS/CTS
};

struct orvi_bt_adv_params {
    uint16_t interval_min;  // units of 0.625 ms
    uint16_t interval_max;
    uint8_t type;           // 0: connectable undirected
    uint8_t channel_map;    // 7: all three
    uint8_t filter_policy;  // 0: none
};

// What the service hears from the host. Every callback runs on the host's
// thread; none may block.
class OrviBtHostListener {
  public:
    virtual ~OrviBtHostListener() = default;
    virtual void on_state(orvi_bt_host_state state) = 0;
    // Command Complete of the vendor or informational commands the service
    // reads (0xFC09 read static address, 0x0C14 local name, 0x1001 local
    // version): the return parameters, status byte first.
    virtual void on_command_complete(uint16_t opcode, const uint8_t *ret, size_t len) = 0;
    virtual void on_connected(uint16_t con_handle) = 0;
    virtual void on_disconnected(uint16_t con_handle, uint8_t reason) = 0;
    // An MTU exchange completed: the ATT MTU agreed (payload = mtu - 3).
    virtual void on_mtu(uint16_t con_handle, uint16_t mtu) = 0;
    // A read of a dynamic attribute: copy at most `cap` bytes of its value,
    // from `offset`, into `out`; answer the number copied, or set `*err` to
    // an ATT error code.
    virtual size_t on_read(uint16_t con_handle, uint16_t att_handle, uint16_t offset, uint8_t *out, size_t cap,
                           uint8_t *err) = 0;
    // A write to a dynamic attribute (a long write arrives whole, once
    // executed). Answers an ATT error code, ORVI_ATT_OK on success.
    virtual uint8_t on_write(uint16_t con_handle, uint16_t att_handle, orvi_att_write_mode mode, uint16_t offset,
                             const uint8_t *data, size_t len) = 0;
};

// A run-loop timer. Owned by its user; must outlive its arming.
struct orvi_bt_timer {
    void (*fn)(orvi_bt_timer *timer) = nullptr;
    void *ctx = nullptr;
    uint64_t due_ms = 0;  // the host's bookkeeping
    bool armed = false;
};

class OrviBtHost {
  public:
    virtual ~OrviBtHost() = default;
    // Opens the UART; 0, or -1 with a log line.
    virtual int open(const orvi_bt_uart_config &uart, OrviBtHostListener *listener) = 0;
    // Power on: HCI reset and set-up, then on_state(WORKING). Power off:
    // disconnects, then on_state(OFF).
    virtual int power(bool on) = 0;
    virtual int set_random_address(const uint8_t addr[6]) = 0;
    // The controller's public address (all zero when it has none).
    virtual void public_address(uint8_t out[6]) const = 0;
    virtual int set_adv_params(const orvi_bt_adv_params &params) = 0;
    virtual int set_adv_data(const uint8_t *data, size_t len) = 0;       // at most 31 bytes
    virtual int set_scan_response(const uint8_t *data, size_t len) = 0;  // at most 31 bytes
    virtual int set_adv_enable(bool on) = 0;
    // One notification of `att_handle`'s value; -1 when the link is gone or
    // the value does not fit the MTU. Whether the app asked for
    // notifications (its CCC write) is the service's to track.
    virtual int notify(uint16_t con_handle, uint16_t att_handle, const uint8_t *data, size_t len) = 0;
    // The ATT MTU of the connection (23 until exchanged).
    virtual uint16_t mtu(uint16_t con_handle) const = 0;
    // Re-arms `timer` `ms` from now.
    virtual void timer_start(orvi_bt_timer *timer, uint32_t ms) = 0;
    virtual void timer_stop(orvi_bt_timer *timer) = 0;
    // Runs the loop (UART and timers) on the calling thread until stop().
    virtual void run() = 0;
    // From any thread (never from a signal handler): powers off and ends run().
    virtual void stop() = 0;
};

// The project's own host over an H4 UART.
std::unique_ptr<OrviBtHost> orvi_bt_host_h4_create();
