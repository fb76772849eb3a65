// Small helpers shared by the device-control sources (orvi_subdev_ctrl.cpp,
// orvi_host_cmd.cpp, orvi_local_monitor.cpp). Stateless.
#pragma once

#include <cJSON.h>

#include <memory>
#include <string>

#include "orvi_field.h"
#include "orvi_json.h"
#include "product_subdev.h"

namespace subdev_ctrl {

using orvi_json::json_ptr;
using orvi_json::print;

// A stored record's MAC never changes, so it is read without the lock.
inline std::string mac_of(const orvi_subdev_ptr &dev) {
    return dev ? std::string(orvi_field_view(dev->mac)) : std::string();
}

// The value paired with `name` in the parallel "opt" / "p" arrays, or null.
inline const cJSON *opt_value(const cJSON *opt, const cJSON *p, const char *name) {
    const int n = cJSON_GetArraySize(opt);
    for (int i = 0; i < n; ++i) {
        const cJSON *o = cJSON_GetArrayItem(opt, i);
        if (cJSON_IsString(o) && std::string(o->valuestring) == name) return cJSON_GetArrayItem(p, i);
    }
    return nullptr;
}

inline bool opt_has(const cJSON *opt, const char *name) {
    const int n = cJSON_GetArraySize(opt);
    for (int i = 0; i < n; ++i) {
        const cJSON *o = cJSON_GetArrayItem(opt, i);
        if (cJSON_IsString(o) && std::string(o->valuestring) == name) return true;
    }
    return false;
}

// An integer-valued JSON number within [lo, hi].
inline bool json_int_in(const cJSON *v, long lo, long hi, long *out) {
    if (!cJSON_IsNumber(v)) return false;
    const double d = v->valuedouble;
    if (!(d >= static_cast<double>(lo) && d <= static_cast<double>(hi))) return false;
    const long l = static_cast<long>(d);
    if (static_cast<double>(l) != d) return false;
    if (out) *out = l;
    return true;
}

}  // namespace subdev_ctrl
