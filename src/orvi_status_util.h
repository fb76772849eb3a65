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
using orvi_json::str_of;

inline json_ptr make_object() {
    return orvi_json::new_object();
}

// The name and value arrays of a parsed status: "opt"/"p" when it has
// "opt", else "cols"/"dat". False when either is missing or not an array.
inline bool status_pairs(const cJSON *status, const cJSON **names, const cJSON **values) {
    const bool opt = cJSON_HasObjectItem(status, "opt");
    *names = cJSON_GetObjectItemCaseSensitive(status, opt ? "opt" : "cols");
    *values = cJSON_GetObjectItemCaseSensitive(status, opt ? "p" : "dat");
    return cJSON_IsArray(*names) && cJSON_IsArray(*values);
}

// The part of a status document that holds the pairs: its "jsonStatus"
// member (a full JSON status report) when it has one, else itself.
inline const cJSON *status_body(const cJSON *doc) {
    const cJSON *inner = cJSON_GetObjectItemCaseSensitive(doc, "jsonStatus");
    return cJSON_IsObject(inner) ? inner : doc;
}

inline std::string mac_of(const orvi_subdev_fields_t &f) {
    return std::string(orvi_field_view(f.mac));
}

}  // namespace orvi_status
