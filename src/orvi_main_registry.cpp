// Start-up's wiring of the registry and the configuration store.
#include "orvi_main_registry.h"

#include <mutex>
#include <string>

#include "event_publish.h"
#include "orvi_flash.h"
#include "orvi_log.h"
#include "orvi_product.h"
#include "product_subdev.h"

namespace {
// The bus events the registry's changes have always caused.
int publish_registry_change(const product_subdev_change_t &c) {
    switch (c.kind) {
        case PRODUCT_SUBDEV_ADDED:
            if (!c.sub) return 0;
            if (event_subsub_devinfo_publish(c.dev, c.sub) != 0) {
                ORVI_LOGW("event_subsub_devinfo_publish failed!");
                return -1;
            }
            return 0;
        case PRODUCT_SUBDEV_STATUS:
            if (event_event_persistent_publish(c.dev, c.sub) != 0) {
                ORVI_LOGW("event_event_persistent_publish failed!");
                return -1;
            }
            return 0;
        case PRODUCT_SUBDEV_ONLINE:
            return uds_subdev_status_check_publish(c.type, "status", c.mac);
        default:
            return 0;
    }
}
}  // namespace

void orvi_registry_wire(void) {
    static std::once_flag once;
    std::call_once(once, [] {
        product_subdev_listener_add(publish_registry_change);
        orvi_info_set_credentials_reset(reset_host_randomkey_psw);
    });
}

int orvi_registry_start(void) {
    int rc = product_set_host_info_qnetkey(product_get_Qnetkey().c_str());
    if (product_linkinglist_init() != 0) rc = -1;
    return rc;
}
