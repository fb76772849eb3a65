#include "orvi_so_update.h"

#include "orvi_seam.h"

namespace {
int refresh_not_built(void) {
    ORVI_NOT_BUILT("orvi_so_refresh_server");
    return -1;
}
int load_not_built(void) {
    ORVI_NOT_BUILT("orvi_so_config_load");
    return -1;
}
}  // namespace

const orvi_so_update_ops_t orvi_so_update_not_built = {refresh_not_built, load_not_built};

namespace {
orvi_seam<orvi_so_update_ops_t> g_so(&orvi_so_update_not_built);
}

void orvi_so_update_install(const orvi_so_update_ops_t *ops) {
    g_so.install(ops);
}

int orvi_so_refresh_server(void) {
    return g_so.get(&orvi_so_update_ops_t::refresh_server)();
}

int orvi_so_config_load(void) {
    return g_so.get(&orvi_so_update_ops_t::config_load)();
}
