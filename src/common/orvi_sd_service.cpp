#include "orvi_sd_service.h"

#include "orvi_seam.h"

namespace {
int init_not_built(void) {
    ORVI_NOT_BUILT("orvi_sd_service_init");
    return -1;
}
}  // namespace

const orvi_sd_service_ops_t orvi_sd_service_not_built = {init_not_built};

namespace {
orvi_seam<orvi_sd_service_ops_t> g_sd(&orvi_sd_service_not_built);
}

void orvi_sd_service_install(const orvi_sd_service_ops_t *ops) {
    g_sd.install(ops);
}

int orvi_sd_service_init(void) {
    return g_sd.get(&orvi_sd_service_ops_t::init)();
}
