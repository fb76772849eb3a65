// Stand-ins for the host run information until it is built: the two
// refreshes record their calls; the getters answer with what the host has at
// hand (its IP address, the default plug-in version, buses idle, system up).
#include "pending/runinfo_pending.h"

#include <atomic>

#include "orvi_product.h"
#include "pending/pending_calls.h"

namespace {
std::atomic<int> g_changed{0};
}

void set_host_run_info(void) {
    pending_record("set_host_run_info", {});
}

int compare_host_run_info(void) {
    pending_record("compare_host_run_info", {});
    return g_changed.load();
}

std::string get_host_ip_info(void) {
    return product_get_LwIP_ip();
}
std::string get_host_sover_info(void) {
    return "V1.00.16";
}
int get_host_can_info(void) {
    return 0;
}
int get_host_485_info(void) {
    return 0;
}
int get_host_net_info(void) {
    return 0;
}
int get_host_systemStatus_info(void) {
    return 1;
}

void runinfo_pending_set_changed(int changed) {
    g_changed.store(changed);
}
