// Stand-ins for the local event topic handlers' hooks until they are built.
#include "pending/uds_later_pending.h"

#include <atomic>
#include <mutex>

#include "pending/pending_calls.h"

namespace {
std::atomic<int> g_scene_lock{0};
std::atomic<int> g_bind_result{0};
std::mutex g_mu;
cJSON *g_tokens = nullptr;  // guarded by g_mu
}  // namespace

void matching_timeout_handler(void) {
    pending_record("matching_timeout_handler", {});
}

int uds_scene_lock_get(void) {
    return g_scene_lock.load();
}

int uds_bind_result_get(void) {
    return g_bind_result.load();
}

cJSON *uds_gateway_tokens_get(void) {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_tokens ? cJSON_Duplicate(g_tokens, 1) : nullptr;
}

void uds_later_pending_set(int scene_lock, int bind_result, const cJSON *tokens) {
    g_scene_lock.store(scene_lock);
    g_bind_result.store(bind_result);
    std::lock_guard<std::mutex> lk(g_mu);
    cJSON_Delete(g_tokens);
    g_tokens = tokens ? cJSON_Duplicate(tokens, 1) : nullptr;
}
