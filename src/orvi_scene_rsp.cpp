#include "orvi_scene_rsp.h"

#include "orvi_seam.h"

namespace {
int create_not_built(void) {
    ORVI_NOT_BUILT("start_subscribe_scene_create_resp_service");
    return -1;
}
int delete_not_built(void) {
    ORVI_NOT_BUILT("start_subscribe_scene_delete_resp_service");
    return -1;
}
int check_not_built(void) {
    ORVI_NOT_BUILT("start_subscribe_scene_check_rsp");
    return -1;
}
}  // namespace

const orvi_scene_rsp_ops_t orvi_scene_rsp_not_built = {create_not_built, delete_not_built, check_not_built};

namespace {
orvi_seam<orvi_scene_rsp_ops_t> g_scene_rsp(&orvi_scene_rsp_not_built);
}

void orvi_scene_rsp_install(const orvi_scene_rsp_ops_t *ops) {
    g_scene_rsp.install(ops);
}

int start_subscribe_scene_create_resp_service(void) {
    return g_scene_rsp.get(&orvi_scene_rsp_ops_t::create_sub)();
}

int start_subscribe_scene_delete_resp_service(void) {
    return g_scene_rsp.get(&orvi_scene_rsp_ops_t::delete_sub)();
}

int start_subscribe_scene_check_rsp(void) {
    return g_scene_rsp.get(&orvi_scene_rsp_ops_t::check_sub)();
}
