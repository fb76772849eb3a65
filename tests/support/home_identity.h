// The home MAC identifier and home key a test needs, written into the
// identity record for as long as the object lives; the record's earlier
// content comes back when it goes. The registry, the publishers and the
// intake all read the home's identity from that record.
#pragma once

#include <mutex>

#include "orvi_field.h"
#include "orvi_product.h"

class home_identity {
  public:
    home_identity(const char *home_mac, const char *home_key) {
        std::lock_guard<std::mutex> lk(orvi_dev_info_mutex());
        saved_ = orvi_dev_info;
        orvi_field_set(orvi_dev_info.home_mac_str, home_mac);
        orvi_field_set(orvi_dev_info.home_key, home_key);
    }
    ~home_identity() {
        std::lock_guard<std::mutex> lk(orvi_dev_info_mutex());
        orvi_dev_info = saved_;
    }
    home_identity(const home_identity &) = delete;
    home_identity &operator=(const home_identity &) = delete;

  private:
    orvi_dev_info_t saved_;
};
