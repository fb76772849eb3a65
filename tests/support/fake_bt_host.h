// A BLE host that only records: what the provisioning service asked of it
// (address, advertising, scan response, enable, notifications) and the
// timers it armed, which a test fires by hand. The test plays the app's side
// by calling the service's listener entries itself. Single-threaded: the
// test thread stands for the Bluetooth thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "orvi_bt_host.h"

class FakeBtHost final : public OrviBtHost {
  public:
    struct Notification {
        uint16_t con_handle;
        uint16_t att_handle;
        std::string value;
    };

    int open(const orvi_bt_uart_config &, OrviBtHostListener *) override { return 0; }
    int power(bool on) override {
        powered = on;
        return 0;
    }
    int set_random_address(const uint8_t addr[6]) override {
        random_address.assign(addr, addr + 6);
        return 0;
    }
    void public_address(uint8_t out[6]) const override {
        for (int i = 0; i < 6; ++i)
            out[i] = 0;
    }
    int set_adv_params(const orvi_bt_adv_params &p) override {
        adv_params = p;
        return 0;
    }
    int set_adv_data(const uint8_t *data, size_t len) override {
        adv_data.assign(data, data + len);
        return 0;
    }
    int set_scan_response(const uint8_t *data, size_t len) override {
        scan_response.assign(data, data + len);
        return 0;
    }
    int set_adv_enable(bool on) override {
        advertising = on;
        return 0;
    }
    int notify(uint16_t con_handle, uint16_t att_handle, const uint8_t *data, size_t len) override {
        if (len + 3 > mtu_) return -1;
        notifications.push_back({con_handle, att_handle, std::string(reinterpret_cast<const char *>(data), len)});
        return 0;
    }
    uint16_t mtu(uint16_t) const override { return mtu_; }
    void timer_start(orvi_bt_timer *timer, uint32_t ms) override {
        timer->armed = true;
        timer->due_ms = ms;
        for (orvi_bt_timer *t : timers_)
            if (t == timer) return;
        timers_.push_back(timer);
    }
    void timer_stop(orvi_bt_timer *timer) override { timer->armed = false; }
    void run() override {}
    void stop() override {}

    // Fires every armed timer of period `ms` once (each re-arms itself).
    void fire(uint32_t ms) {
        std::vector<orvi_bt_timer *> due;
        for (orvi_bt_timer *t : timers_)
            if (t->armed && t->due_ms == ms) due.push_back(t);
        for (orvi_bt_timer *t : due) {
            t->armed = false;
            t->fn(t);
        }
    }
    bool armed(uint32_t ms) const {
        for (const orvi_bt_timer *t : timers_)
            if (t->armed && t->due_ms == ms) return true;
        return false;
    }
    void set_mtu(uint16_t m) { mtu_ = m; }

    bool powered = false;
    bool advertising = false;
    std::vector<uint8_t> random_address;
    orvi_bt_adv_params adv_params{};
    std::vector<uint8_t> adv_data;
    std::vector<uint8_t> scan_response;
    std::vector<Notification> notifications;

  private:
    std::vector<orvi_bt_timer *> timers_;
    uint16_t mtu_ = 23;
};
