// Stand-in for the lighting service's list refresh until it is built.
#include "pending/tovra_later_pending.h"

#include "pending/pending_calls.h"

void tovra_all_refresh_list(void) {
    pending_record("tovra_all_refresh_list", {});
}

std::string tovra_get_tovra_mac(void) {
    pending_record("tovra_get_tovra_mac", {});
    return "";
}

void new_online_device_list(const char *mac) {
    pending_record("new_online_device_list", {pending_arg(mac)});
}
