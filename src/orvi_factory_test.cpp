#include "orvi_factory_test.h"

#include "orvi_seam.h"

namespace {
int mode_not_built(void) {
    ORVI_NOT_BUILT("status_factory_mode");
    return 0;  // normal operation
}
int init_not_built(void) {
    ORVI_NOT_BUILT("orvi_FactoryTest_init");
    return -1;
}
int default_scene_not_built(int, int) {
    ORVI_NOT_BUILT("test_send_default_scene");
    return -1;
}
}  // namespace

const orvi_factory_test_ops_t orvi_factory_test_not_built = {mode_not_built, init_not_built, default_scene_not_built};

namespace {
orvi_seam<orvi_factory_test_ops_t> g_factory(&orvi_factory_test_not_built);
}

void orvi_factory_test_install(const orvi_factory_test_ops_t *ops) {
    g_factory.install(ops);
}

int status_factory_mode(void) {
    return g_factory.get(&orvi_factory_test_ops_t::status_factory_mode)();
}

int orvi_FactoryTest_init(void) {
    return g_factory.get(&orvi_factory_test_ops_t::init)();
}

int test_send_default_scene(int sceneId, int ctrlId) {
    return g_factory.get(&orvi_factory_test_ops_t::send_default_scene)(sceneId, ctrlId);
}
