#include "cloud_mqtt_service.h"

#include "orvi_seam.h"

namespace {
int service_not_built(void) {
    ORVI_NOT_BUILT("service_mqtt");
    return -1;
}
}  // namespace

const cloud_mqtt_service_ops_t cloud_mqtt_service_not_built = {service_not_built};

namespace {
orvi_seam<cloud_mqtt_service_ops_t> g_cloud(&cloud_mqtt_service_not_built);
}

void cloud_mqtt_service_install(const cloud_mqtt_service_ops_t *ops) {
    g_cloud.install(ops);
}

int service_mqtt(void) {
    return g_cloud.get(&cloud_mqtt_service_ops_t::service)();
}
