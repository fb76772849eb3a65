#include "link_recorder.h"

#include <atomic>
#include <mutex>

#include "cloud_link.h"
#include "orvi_bt_link.h"

namespace {

std::mutex g_mu;
std::vector<std::string> g_calls;  // guarded by g_mu
std::atomic<int> g_result{0};

void record(std::string call) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_calls.push_back(std::move(call));
}

std::string text(const char *data, size_t size) {
    return data ? std::string(data, size) : std::string();
}

int response(const char *topic, const char *data, size_t size, int qos, int retain) {
    record("mqtt_response_api " + std::string(topic ? topic : "") + " " + text(data, size) + " " +
           std::to_string(qos) + " " + std::to_string(retain));
    return g_result.load();
}

int data_send(const char *data, size_t size) {
    record("orvi_bt_data_send " + text(data, size));
    return g_result.load();
}

const cloud_link_t kCloud = {response};
const orvi_bt_link_t kBle = {data_send};

}  // namespace

LinkRecorder::LinkRecorder(int result) {
    clear();
    set_result(result);
    cloud_link_set(&kCloud);
    orvi_bt_link_set(&kBle);
}

LinkRecorder::~LinkRecorder() {
    cloud_link_set(nullptr);
    orvi_bt_link_set(nullptr);
    clear();
}

std::vector<std::string> LinkRecorder::calls() const {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_calls;
}

void LinkRecorder::clear() const {
    std::lock_guard<std::mutex> lk(g_mu);
    g_calls.clear();
}

void LinkRecorder::set_result(int rc) const {
    g_result.store(rc);
}
