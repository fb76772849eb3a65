// The home MAC identifier and home key a test needs, written into the
// identity record for as long as the object lives; the record's earlier
// content comes back when it goes. The registry, the publishers and the
// intake all read the home's identity from that record.
#pragma once

#include <mutex>
#include <type_traits>

#include "orvi_field.h"
#include "orvi_product.h"

class home_identity {
    // Whatever lock type the identity record's mutex has.
    using lock_t = std::lock_guard<std::remove_reference_t<decltype(orvi_dev_info_mutex())>>;

  public:
    home_identity(const char *home_mac, const char *home_key) {
        lock_t lk(orvi_dev_info_mutex());
        saved_ = orvi_dev_info;
        orvi_field_set(orvi_dev_info.home_mac_str, home_mac);
        orvi_field_set(orvi_dev_info.home_key, home_key);
    }
    ~home_identity() {
        lock_t lk(orvi_dev_info_mutex());
        orvi_dev_info = saved_;
    }
    home_identity(const home_identity &) = delete;
    home_identity &operator=(const home_identity &) = delete;

  private:
    orvi_dev_info_t saved_;
};
