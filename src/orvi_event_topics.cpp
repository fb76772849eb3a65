#include "orvi_event_topics.h"

#include "orvi_seam.h"

namespace {
int init_not_built(void) {
    ORVI_NOT_BUILT("orvi_uds_init");
    return -1;
}
int sub_not_built(void) {
    ORVI_NOT_BUILT("orvi_local_mqtt_sub");
    return -1;
}
int sync_not_built(void) {
    ORVI_NOT_BUILT("evn_host_match_status_sync");
    return -1;
}
void timeout_not_built(void) {
    ORVI_NOT_BUILT("matching_timeout_handler");
}
int scene_lock_not_built(void) {
    ORVI_NOT_BUILT("uds_scene_lock_get");
    return 0;
}
int bind_result_not_built(void) {
    ORVI_NOT_BUILT("uds_bind_result_get");
    return 0;
}
cJSON *tokens_not_built(void) {
    ORVI_NOT_BUILT("uds_gateway_tokens_get");
    return nullptr;
}
}  // namespace

const orvi_event_topics_ops_t orvi_event_topics_not_built = {
    init_not_built,       sub_not_built,         sync_not_built,   timeout_not_built,
    scene_lock_not_built, bind_result_not_built, tokens_not_built,
};

namespace {
orvi_seam<orvi_event_topics_ops_t> g_topics(&orvi_event_topics_not_built);
}

void orvi_event_topics_install(const orvi_event_topics_ops_t *ops) {
    g_topics.install(ops);
}

int orvi_uds_init(void) {
    return g_topics.get(&orvi_event_topics_ops_t::uds_init)();
}

int orvi_local_mqtt_sub(void) {
    return g_topics.get(&orvi_event_topics_ops_t::local_mqtt_sub)();
}

int evn_host_match_status_sync(void) {
    return g_topics.get(&orvi_event_topics_ops_t::match_status_sync)();
}

void matching_timeout_handler(void) {
    g_topics.get (&orvi_event_topics_ops_t::matching_timeout)();
}

int uds_scene_lock_get(void) {
    return g_topics.get(&orvi_event_topics_ops_t::scene_lock_get)();
}

int uds_bind_result_get(void) {
    return g_topics.get(&orvi_event_topics_ops_t::bind_result_get)();
}

cJSON *uds_gateway_tokens_get(void) {
    return g_topics.get(&orvi_event_topics_ops_t::gateway_tokens_get)();
}
