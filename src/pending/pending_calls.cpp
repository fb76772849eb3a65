#include "pending/pending_calls.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "orvi_log.h"

namespace {
std::mutex g_mu;
std::vector<std::string> g_calls;
std::atomic<int> g_result{-1};
}  // namespace

void pending_record(const char *name, const std::vector<std::string> &args) {
    std::string line = name;
    for (const auto &a : args) {
        line.push_back(' ');
        line.append(a);
    }
    ORVI_LOGD("%s: not built yet", line.c_str());
    std::lock_guard<std::mutex> lk(g_mu);
    if (g_calls.size() >= 10000) g_calls.erase(g_calls.begin());
    g_calls.push_back(std::move(line));
}

std::vector<std::string> pending_calls(void) {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_calls;
}

void pending_calls_clear(void) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_calls.clear();
}

std::string pending_arg(const char *text) {
    return text ? text : "(null)";
}

std::string pending_arg(const cJSON *json) {
    if (!json) return "(null)";
    char *p = cJSON_PrintUnformatted(json);
    std::string s = p ? p : "";
    cJSON_free(p);
    return s;
}

std::string pending_arg(const orvi_subdev_ptr &dev) {
    if (!dev) return "(null)";
    std::lock_guard<std::mutex> lk(dev->mu);
    return std::string(dev->mac, strnlen(dev->mac, sizeof dev->mac));
}

void pending_set_result(int rc) {
    g_result.store(rc);
}
int pending_result(void) {
    return g_result.load();
}
