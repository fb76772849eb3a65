#include "pending/registry_pending.h"

#include <atomic>
#include <mutex>

#include "orvi_field.h"
#include "orvi_log.h"

namespace {
std::mutex g_mu;
std::vector<std::string> g_calls;
std::atomic<int> g_result{-1};

std::string mac_of(const orvi_subdev_ptr &p) {
    return p ? std::string(orvi_field_view(p->mac)) : "(null)";
}

int record(std::string call) {
    ORVI_LOGW("not delivered, no event bus yet: %s", call.c_str());
    std::lock_guard<std::mutex> lk(g_mu);
    g_calls.push_back(std::move(call));
    return g_result.load();
}
}  // namespace

int event_subsub_devinfo_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev) {
    return record("event_subsub_devinfo_publish " + mac_of(dev) + " " + mac_of(subdev));
}

int event_event_persistent_publish(const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev) {
    return record("event_event_persistent_publish " + mac_of(dev) + " " + mac_of(subdev));
}

int uds_subdev_status_check_publish(int type, const char *oper, const char *mac) {
    return record("uds_subdev_status_check_publish " + std::to_string(type) + " " + (oper ? oper : "(null)") +
                  " " + (mac ? mac : "(null)"));
}

std::vector<std::string> registry_pending_calls(void) {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_calls;
}

void registry_pending_clear(void) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_calls.clear();
}

void registry_pending_set_result(int rc) {
    g_result.store(rc);
}
