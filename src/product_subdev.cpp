// Placeholder registry pieces needed by the identity store until the
// registry lands.
#include "product_subdev.h"

#include <cstring>

#include "orvi_field.h"

orvi_host_info_t host_info;

std::recursive_mutex &host_info_mutex(void) {
    static std::recursive_mutex mu;
    return mu;
}

orvi_host_info_t *product_get_host_list(void) { return &host_info; }

uint32_t product_get_host_subdev_count(void) {
    std::lock_guard<std::recursive_mutex> lk(host_info_mutex());
    return host_info.devCnt;
}

int product_set_host_info_qnetkey(const char *key) {
    if (!key) return -1;
    std::lock_guard<std::recursive_mutex> lk(host_info_mutex());
    return orvi_field_set(host_info.Qnetkey, key) ? 0 : -1;
}

int product_subdev_info_list_init(orvi_subdev_info_list_t **list, int size) {
    if (!list || size <= 0) return -1;
    auto *l = new orvi_subdev_info_list_t;
    l->list_size = static_cast<uint32_t>(size);
    l->list.resize(static_cast<size_t>(size));
    *list = l;
    return 0;
}
