// The wired-bus health monitor: every 10 s it works out the CAN and RS-485
// bus states from the registry and the linking lists and tells the board
// ("cannet" / "485net" on "/host", which the LEDs show). Runs on its own
// detached thread; it only reads the registry and publishes.
#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "event_publish.h"
#include "orvi_field.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_subdev_ctrl.h"
#include "orvi_system.h"

orvi::Mutex orvi_local_monitor_mu;  // the two buses' states

namespace {

constexpr unsigned kStartDelayMs = 3000;
constexpr unsigned kRoundMs = 10000;

struct bus_t {
    const char *column;        // "cannet" / "485net"
    const char *confirm_line;  // logged when a fault waits for its confirmation
    bus_status_t published = BUS_IDLE;
    bool fault_seen = false;  // the previous round saw a fault not yet published
};

bus_t g_can GUARDED_BY(orvi_local_monitor_mu){"cannet", "can bus fault need to confirm again!"};
bus_t g_485 GUARDED_BY(orvi_local_monitor_mu){"485net", "485 bus fault need to confirm again!"};
std::atomic<void (*)(unsigned)> g_sleep{nullptr};

void monitor_sleep(unsigned ms) {
    void (*fn)(unsigned) = g_sleep.load();
    (fn ? fn : orvi_port_sleep_ms)(ms);
}

// True when an entry of the linking list is not registered.
bool linking_unpaired(orvi_subdev_info_list_t *list) {
    if (!list) return false;
    for (const orvi_subdev_info_t &e : product_subdev_info_list_snapshot(list)) {
        const std::string mac(orvi_field_view(e.mac));
        if (!mac.empty() && !product_get_subdev_form_host(mac.c_str())) return true;
    }
    return false;
}

bus_status_t state_of(bool unpair, uint32_t count, uint32_t offline) {
    if (unpair) return BUS_UNPAIR;
    if (count == 0) return BUS_IDLE;
    return offline < count ? BUS_NORMAL : BUS_FAULT;
}

// Publishes a changed state; a fault only when the round before saw it too.
// Returns 1 when published.
int bus_step(bus_t &bus, bus_status_t now) REQUIRES(orvi_local_monitor_mu) {
    if (now == bus.published) {
        bus.fault_seen = false;
        return 0;
    }
    if (now == BUS_FAULT && !bus.fault_seen) {
        bus.fault_seen = true;
        ORVI_LOGI("%s", bus.confirm_line);
        return 0;
    }
    if (event_host_publish(bus.column, bus_status_name(now), 0) != 0) {
        ORVI_LOGW("%s %s publish fail, retried next round", bus.column, bus_status_name(now));
        return 0;
    }
    bus.published = now;
    bus.fault_seen = false;
    return 1;
}

void *local_device_monitor(void *) {
    local_device_monitor_run(-1);
    return nullptr;
}

}  // namespace

const char *bus_status_name(bus_status_t status) {
    switch (status) {
        case BUS_NORMAL:
            return "normal";
        case BUS_UNPAIR:
            return "unpair";
        case BUS_FAULT:
            return "fault";
        default:
            return "idle";
    }
}

int local_device_monitor_round(void) {
    const product_host_counts_t counts = product_get_host_counts();
    const uint32_t canCnt = counts.canCnt, d485Cnt = counts.d485Cnt;
    orvi_subdev_info_list_t *can_list = product_get_linking_list(DEV_TYPE_CAN);
    orvi_subdev_info_list_t *d485_list = product_get_linking_list(DEV_TYPE_485);
    uint32_t offcan = 0, off485 = 0;
    if (canCnt || d485Cnt) {
        product_subdev_for_each([&](const orvi_subdev_ptr &dev) {
            orvi_subdev_locked(dev, [&](orvi_subdev_list_t &d) {
                if (d.online) return;
                if (d.dev_type == DEV_TYPE_CAN) ++offcan;
                if (d.dev_type == DEV_TYPE_485 || d.dev_type == DEV_TYPE_MJGATEWAY) ++off485;
            });
        });
    }
    const bus_status_t can = state_of(linking_unpaired(can_list), canCnt, offcan);
    const bus_status_t d485 = state_of(linking_unpaired(d485_list), d485Cnt, off485);
    ORVI_LOGI("canCnt:%d ;  offcanCnt:%d ; status :%d", static_cast<int>(canCnt), static_cast<int>(offcan),
              static_cast<int>(can));
    ORVI_LOGI("485Cnt:%d ;  off485Cnt:%d ;   status:%d;", static_cast<int>(d485Cnt), static_cast<int>(off485),
              static_cast<int>(d485));
    orvi::MutexLock lk(orvi_local_monitor_mu);
    return bus_step(g_can, can) + bus_step(g_485, d485);
}

int local_device_monitor_run(int rounds) {
    local_device_monitor_reset();
    event_host_publish("cannet", bus_status_name(BUS_IDLE), 0);
    event_host_publish("485net", bus_status_name(BUS_IDLE), 0);
    monitor_sleep(kStartDelayMs);
    int done = 0;
    while (rounds < 0 || done < rounds) {
        local_device_monitor_round();
        monitor_sleep(kRoundMs);
        if (rounds >= 0) ++done;
    }
    return done;
}

int local_device_monitor_thread(void) {
    pthread_t tid;
    if (orvi_pthread_create_detach(&tid, nullptr, local_device_monitor, nullptr, "local_device_monitor") !=
        0) {
        ORVI_LOGW("local_device_monitor thread create fail");
        return -1;
    }
    return 0;
}

bus_status_t local_device_monitor_can_status(void) {
    orvi::MutexLock lk(orvi_local_monitor_mu);
    return g_can.published;
}

bus_status_t local_device_monitor_485_status(void) {
    orvi::MutexLock lk(orvi_local_monitor_mu);
    return g_485.published;
}

void local_device_monitor_set_sleep(void (*sleep_ms)(unsigned ms)) {
    g_sleep.store(sleep_ms);
}

void local_device_monitor_reset(void) {
    orvi::MutexLock lk(orvi_local_monitor_mu);
    g_can.published = g_485.published = BUS_IDLE;
    g_can.fault_seen = g_485.fault_seen = false;
}
