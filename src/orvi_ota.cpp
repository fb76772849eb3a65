#include "orvi_ota.h"

#include "orvi_seam.h"

namespace {
int verify_not_built(void) {
    ORVI_NOT_BUILT("ota_package_verify");
    return -1;
}
int download_not_built(const char *) {
    ORVI_NOT_BUILT("orvi_ota_thread");
    return -1;
}
}  // namespace

const orvi_ota_ops_t orvi_ota_not_built = {verify_not_built, download_not_built};

namespace {
orvi_seam<orvi_ota_ops_t> g_ota(&orvi_ota_not_built);
}

void orvi_ota_install(const orvi_ota_ops_t *ops) {
    g_ota.install(ops);
}

int ota_package_verify(void) {
    return g_ota.get(&orvi_ota_ops_t::package_verify)();
}

int orvi_ota_thread(const char *url) {
    return g_ota.get(&orvi_ota_ops_t::download)(url);
}
