#include "orvi_run_info.h"

#include "orvi_product.h"
#include "orvi_seam.h"

namespace {

// The plug-in version reported when the host's model has none recorded.
constexpr const char *kDefaultSoVer = "V1.00.16";

void set_not_built(void) {
    ORVI_NOT_BUILT("set_host_run_info");
}
int compare_not_built(void) {
    ORVI_NOT_BUILT("compare_host_run_info");
    return 0;
}
std::string ip_known(void) {
    return product_get_LwIP_ip();
}
std::string sover_known(void) {
    return kDefaultSoVer;
}
int state_unknown(void) {
    return 0;
}
int system_up(void) {
    return 1;
}

}  // namespace

const orvi_run_info_ops_t orvi_run_info_not_built = {
    set_not_built, compare_not_built, ip_known,      sover_known,
    state_unknown, state_unknown,     state_unknown, system_up,
};

namespace {
orvi_seam<orvi_run_info_ops_t> g_run_info(&orvi_run_info_not_built);
}

void orvi_run_info_install(const orvi_run_info_ops_t *ops) {
    g_run_info.install(ops);
}

void set_host_run_info(void) {
    g_run_info.get (&orvi_run_info_ops_t::set)();
}

int compare_host_run_info(void) {
    return g_run_info.get(&orvi_run_info_ops_t::compare)();
}

std::string get_host_ip_info(void) {
    return g_run_info.get(&orvi_run_info_ops_t::ip)();
}

std::string get_host_sover_info(void) {
    return g_run_info.get(&orvi_run_info_ops_t::sover)();
}

int get_host_can_info(void) {
    return g_run_info.get(&orvi_run_info_ops_t::can)();
}

int get_host_485_info(void) {
    return g_run_info.get(&orvi_run_info_ops_t::rs485)();
}

int get_host_net_info(void) {
    return g_run_info.get(&orvi_run_info_ops_t::net)();
}

int get_host_systemStatus_info(void) {
    return g_run_info.get(&orvi_run_info_ops_t::system_status)();
}
