// The ATT server of one LE link over the provisioning database: takes one
// request PDU and answers the response PDU (or nothing, for commands),
// asking the listener for the dynamic attributes. Runs on the host's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "orvi_bt_host.h"

class OrviAttServer {
  public:
    // The largest ATT MTU this server takes.
    static constexpr uint16_t kServerMtu = 517;
    // Prepared writes held at once, and their bytes in all, before
    // "Prepare Queue Full": enough for the longest attribute value twice
    // over in the smallest pieces a client may send.
    static constexpr size_t kPrepareEntries = 64;
    static constexpr size_t kPrepareBytes = 1024;

    explicit OrviAttServer(OrviBtHostListener *listener = nullptr) : listener_(listener) {}
    void set_listener(OrviBtHostListener *listener) { listener_ = listener; }

    // A new link: MTU back to 23, the prepare queue emptied.
    void reset(uint16_t con_handle);
    // One PDU from the client; the response to send, empty when none is due.
    std::vector<uint8_t> handle(const uint8_t *pdu, size_t len);
    // A Handle Value Notification of `att_handle`, or empty when the value
    // does not fit the MTU.
    std::vector<uint8_t> notification(uint16_t att_handle, const uint8_t *data, size_t len) const;

    uint16_t mtu() const { return mtu_; }
    uint16_t con_handle() const { return con_; }

  private:
    struct Prepared {
        uint16_t handle;
        uint16_t offset;
        std::vector<uint8_t> data;
    };

    std::vector<uint8_t> exchange_mtu(const uint8_t *p, size_t n);
    std::vector<uint8_t> find_information(const uint8_t *p, size_t n);
    std::vector<uint8_t> find_by_type_value(const uint8_t *p, size_t n);
    std::vector<uint8_t> read_by_type(const uint8_t *p, size_t n);
    std::vector<uint8_t> read_by_group_type(const uint8_t *p, size_t n);
    std::vector<uint8_t> read(uint8_t op, const uint8_t *p, size_t n);
    std::vector<uint8_t> write(uint8_t op, const uint8_t *p, size_t n);
    std::vector<uint8_t> prepare_write(const uint8_t *p, size_t n);
    std::vector<uint8_t> execute_write(const uint8_t *p, size_t n);

    // The value of `handle` from `offset`, at most `cap` bytes; an ATT error
    // code in *err on failure.
    std::vector<uint8_t> value_of(uint16_t handle, uint16_t offset, size_t cap, uint8_t *err);
    // 0 when `handle` may be written with `len` bytes, else the error code.
    uint8_t check_write(uint16_t handle, size_t len, bool whole) const;
    // The last handle of the group that `handle` opens.
    uint16_t group_end(uint16_t handle) const;

    OrviBtHostListener *listener_;
    uint16_t con_ = 0;
    uint16_t mtu_ = 23;
    std::vector<Prepared> queue_;
    size_t queue_bytes_ = 0;
};
