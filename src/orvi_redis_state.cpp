#include "orvi_redis_state.h"

#include "orvi_seam.h"

namespace {
int checking_not_built(void) {
    ORVI_NOT_BUILT("redis_checking");
    return -1;
}
int push_not_built(void) {
    ORVI_NOT_BUILT("false_status_push_thread");
    return -1;
}
}  // namespace

const orvi_redis_state_ops_t orvi_redis_state_not_built = {checking_not_built, push_not_built};

namespace {
orvi_seam<orvi_redis_state_ops_t> g_redis(&orvi_redis_state_not_built);
}

void orvi_redis_state_install(const orvi_redis_state_ops_t *ops) {
    g_redis.install(ops);
}

int redis_checking(void) {
    return g_redis.get(&orvi_redis_state_ops_t::checking)();
}

int false_status_push_thread(void) {
    return g_redis.get(&orvi_redis_state_ops_t::false_status_push)();
}
