// Small pieces shared by the status and control handler files
// (orvi_status_*.cpp) only: owned cJSON, member readers, the status
// document's name and value arrays. Pure functions; any thread.
#pragma once

#include <cJSON.h>

#include <cstring>
#include <memory>
#include <string>

#include "orvi_field.h"
#include "orvi_json.h"
#include "orvi_log.h"
#include "product_subdev.h"

namespace orvi_status {

using orvi_json::json_ptr;
using orvi_json::print;
using orvi_json::status_body;
using orvi_json::status_pairs;
using orvi_json::str_of;

inline json_ptr make_object() {
    return orvi_json::new_object();
}

inline std::string mac_of(const orvi_subdev_fields_t &f) {
    return std::string(orvi_field_view(f.mac));
}

}  // namespace orvi_status
