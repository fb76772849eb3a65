// The lighting link's hooks as a recorder for its tests: a device table and a
// deleted-device table the test fills, and every call the link makes upward
// as one line of text, in order.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tovra_hooks.h"
#include "tovra_queue.h"
#include "tovra_uart.h"

namespace tovra_fake {

struct state {
    std::map<uint16_t, tovra_link_dev_t> devices;
    std::map<uint16_t, std::vector<std::string>> deleted;
    std::vector<std::string> calls;
    int window_open = 0;
};
inline state &S() {
    static state s;
    return s;
}

inline std::string hex(const uint8_t *p, int n) {
    std::string s;
    char b[4];
    for (int i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}
inline void note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
inline void note(const char *fmt, ...) {
    char b[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(b, sizeof b, fmt, ap);
    va_end(ap);
    S().calls.push_back(b);
}

inline const tovra_link_hooks_t &hooks() {
    static const tovra_link_hooks_t h = [] {
        tovra_link_hooks_t t = {};
        t.device_lookup = [](uint16_t a, tovra_link_dev_t *out) {
            auto it = S().devices.find(a);
            if (it == S().devices.end())
                return -1;
            *out = it->second;
            return 0;
        };
        t.device_set_online = [](uint16_t a) {
            S().devices[a].online = 1;
            note("online %u", a);
        };
        t.device_set_rowid = [](uint16_t a, int r) { note("rowid %u %d", a, r); };
        t.deleted_lookup = [](uint16_t a, char (*mids)[16], int max) {
            int n = 0;
            for (const auto &m : S().deleted[a])
                if (n < max)
                    snprintf(mids[n++], 16, "%s", m.c_str());
            return n;
        };
        t.pair_send = [](int s) { note("pair %d", s); };
        t.host_status_event_send = [](const tovra_link_dev_t *d, const uint8_t *r, int len, int kind) {
            note("status %u %s %d", d->addr, hex(r, len).c_str(), kind);
        };
        t.scene_set_status_event_send = [](const tovra_link_dev_t *d, const char *id, int c) {
            note("scene_set %u %s %d", d->addr, id, c);
        };
        t.scene_bind_status_event_send = [](const tovra_link_dev_t *d, const char *id, int c) {
            note("bind %u %s %d", d->addr, id, c);
        };
        t.scene_unbind_status_event_send = [](const tovra_link_dev_t *d, const char *id, int c) {
            note("unbind %u %s %d", d->addr, id, c);
        };
        t.scene_lock_send = [](int s, int l2) { note("lock %d %d", s, l2); };
        t.scene_lock3_send = [](int s) { note("lock3 %d", s); };
        t.trivox_sceneid_send = [](uint32_t id) { note("trivox %u", id); };
        t.trivox2_sceneid_send = [](uint32_t id) { note("trivox2 %u", id); };
        t.pending_query_clear = [](uint16_t a) { note("clear %u", a); };
        t.online_change_raise = [] { note("online_change"); };
        t.online_change_check_send = [] { note("online_check"); };
        t.new_device_window_open = [] { return S().window_open; };
        t.new_device_window_close = [] { note("window_close"); };
        t.whole_device_query = [] { note("whole_query"); };
        t.offline_device_query = [] { note("offline_query"); };
        t.delayed_check_step = [] { note("delayed_check"); };
        t.longtime_report = [] { note("longtime"); };
        t.status_send_msg = [] {};
        t.send_default_scene = [](uint32_t id) { note("default_scene %u", id); };
        t.factory_default_scene = [](int p) { note("factory_scene %d", p); };
        t.factory_cmd_publish = [](const char *t) { note("factory_cmd %s", t); };
        return t;
    }();
    return h;
}

inline tovra_link_dev_t dev(uint16_t addr, const char *mid, int online = 1) {
    tovra_link_dev_t d;
    memset(&d, 0, sizeof d);
    d.addr = addr;
    snprintf(d.mid, sizeof d.mid, "%s", mid);
    snprintf(d.mac, sizeof d.mac, "00aa%04x", addr);
    d.online = online;
    return d;
}

// Installs the recorder over an empty link: queues, timers, tables.
class Fixture {
  public:
    Fixture() {
        S() = state{};
        tovra_queue_reset();
        send_scene_ids_clear();
        tovra_trivox_scene_id_clear();
        tovra_link_hooks_install(&hooks());
    }
    ~Fixture() {
        tovra_link_hooks_install(nullptr);
        tovra_queue_reset();
        send_scene_ids_clear();
    }
    std::vector<std::string> take() {
        std::vector<std::string> c;
        c.swap(S().calls);
        return c;
    }
};

}  // namespace tovra_fake
