// Start-up's wiring of the registry and the configuration store.
#include "orvi_main_registry.h"

#include <mutex>

#include "orvi_flash.h"
#include "orvi_product.h"

void orvi_registry_wire(void) {
    static std::once_flag once;
    std::call_once(once, [] { orvi_info_set_credentials_reset(reset_host_randomkey_psw); });
}
