#include "orvi_ble_service.h"

#include "orvi_handlers.h"
#include "orvi_seam.h"

namespace {

int combo_not_built(void) {
    ORVI_NOT_BUILT("orvi_combo_server");
    return -1;
}
// A provisioning packet carries the home's keys and Wi-Fi credentials: only
// its type is named.
ORVI_HANDLER(bind_not_built) {
    ORVI_NOT_BUILT("request_handle_bind");
    return -1;
}
ORVI_HANDLER(subBDev_not_built) {
    ORVI_NOT_BUILT("request_handle_subBDev");
    return -1;
}
ORVI_HANDLER(QnetDev_not_built) {
    ORVI_NOT_BUILT("request_handle_QnetDev");
    return -1;
}
ORVI_HANDLER(bleCheck_not_built) {
    ORVI_NOT_BUILT("request_handle_bleCheck");
    return -1;
}
ORVI_HANDLER(homeBind_not_built) {
    ORVI_NOT_BUILT("request_handle_homeBind");
    return -1;
}
ORVI_SENDER(bleinfo_not_built) {
    ORVI_NOT_BUILT("orvi_send_bleinfo");
    return -1;
}

}  // namespace

const orvi_ble_service_ops_t orvi_ble_service_not_built = {
    combo_not_built,    bind_not_built,     subBDev_not_built, QnetDev_not_built,
    bleCheck_not_built, homeBind_not_built, bleinfo_not_built,
};

namespace {
orvi_seam<orvi_ble_service_ops_t> g_ble(&orvi_ble_service_not_built);
}

void orvi_ble_service_install(const orvi_ble_service_ops_t *ops) {
    g_ble.install(ops);
}

int orvi_combo_server(void) {
    return g_ble.get(&orvi_ble_service_ops_t::combo_server)();
}

ORVI_HANDLER(request_handle_bind) {
    return g_ble.get(&orvi_ble_service_ops_t::bind)(json, req, dev);
}

ORVI_HANDLER(request_handle_subBDev) {
    return g_ble.get(&orvi_ble_service_ops_t::subBDev)(json, req, dev);
}

ORVI_HANDLER(request_handle_QnetDev) {
    return g_ble.get(&orvi_ble_service_ops_t::QnetDev)(json, req, dev);
}

ORVI_HANDLER(request_handle_bleCheck) {
    return g_ble.get(&orvi_ble_service_ops_t::bleCheck)(json, req, dev);
}

ORVI_HANDLER(request_handle_homeBind) {
    return g_ble.get(&orvi_ble_service_ops_t::homeBind)(json, req, dev);
}

ORVI_SENDER(orvi_send_bleinfo) {
    return g_ble.get(&orvi_ble_service_ops_t::send_bleinfo)(req, dev);
}
