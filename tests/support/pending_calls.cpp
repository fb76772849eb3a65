#include "pending_calls.h"

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>

namespace {
// A flood test that reaches a recording implementation must not grow the
// record without bound: it keeps the newest lines within a byte budget, and
// one line keeps at most the beginning of its arguments.
constexpr size_t kRecordBytes = 256 * 1024;
constexpr size_t kLineBytes = 4096;
std::mutex g_mu;
std::deque<std::string> g_calls;
size_t g_bytes = 0;
std::atomic<int> g_result{-1};
}  // namespace

void pending_record(const char *name, const std::vector<std::string> &args) {
    std::string line = name;
    for (const auto &a : args) {
        line.push_back(' ');
        line.append(a);
    }
    if (line.size() > kLineBytes) line.resize(kLineBytes);
    std::lock_guard<std::mutex> lk(g_mu);
    g_bytes += line.size();
    g_calls.push_back(std::move(line));
    while (g_bytes > kRecordBytes && g_calls.size() > 1) {
        g_bytes -= g_calls.front().size();
        g_calls.pop_front();
    }
}

std::vector<std::string> pending_calls(void) {
    std::lock_guard<std::mutex> lk(g_mu);
    return std::vector<std::string>(g_calls.begin(), g_calls.end());
}

void pending_calls_clear(void) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_calls.clear();
    g_bytes = 0;
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
    orvi::MutexLock lk(dev->mu);
    return std::string(dev->mac, strnlen(dev->mac, sizeof dev->mac));
}

void pending_set_result(int rc) {
    g_result.store(rc);
}
int pending_result(void) {
    return g_result.load();
}
