// Small helpers shared by the binding handlers' sources: reading packet
// members and checking texts before they land in fixed fields. Stateless;
// any thread.
#pragma once

#include <cJSON.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "orvi_field.h"
#include "orvi_json.h"
#include "orvi_log.h"
#include "product_subdev.h"

namespace bindutil {

using orvi_json::json_ptr;
using orvi_json::new_array;
using orvi_json::new_object;
using orvi_json::print;

using orvi_json::num_of;
using orvi_json::str_of;

// A whole number within [lo, hi]: fractions, NaN and out-of-range values are
// refused rather than truncated into something else. 2^63 and beyond never
// fit a long long, whatever `hi` rounded to as a double.
inline bool int_in(const cJSON *n, double lo, double hi, long long *out) {
    if (!cJSON_IsNumber(n)) return false;
    const double d = n->valuedouble;
    if (!std::isfinite(d) || d < lo || d > hi || d != std::floor(d)) return false;
    if (d >= 9223372036854775808.0 || d < -9223372036854775808.0) return false;
    *out = static_cast<long long>(d);
    return true;
}

// True when `text` fits the field `dst` whole; otherwise logs the refusal
// (naming `what`) and leaves the decision to the caller: a packet's text is
// never cut into a different, valid-looking value.
template <size_t N>
inline bool fits(const char (&)[N], std::string_view text, const char *what) {
    if (text.size() < N) return true;
    ORVI_LOGW("'%s' of %zu characters is longer than %zu, refused", what, text.size(), N - 1);
    return false;
}

// A subdevice MAC taken from a packet: 1 to 16 characters.
inline bool mac_ok(const char *mac, const char *what) {
    if (!mac || !mac[0]) {
        ORVI_LOGW("%s: empty MAC, skipped", what);
        return false;
    }
    const size_t n = strnlen(mac, 17);
    if (n >= 17) {
        ORVI_LOGW("%s: MAC '%.20s...' of 17 or more characters, refused", what, mac);
        return false;
    }
    return true;
}

// The stored record whose MAC is exactly `mac` (no gang prefix match), or null.
inline orvi_subdev_ptr find_exact(std::string_view mac) {
    for (const orvi_subdev_ptr &d : product_subdev_list_snapshot())
        if (d && orvi_field_view(d->mac) == mac) return d;
    return nullptr;
}

// True while `dev` is a record the table holds (not a request's scratch record).
inline bool is_stored(const orvi_subdev_ptr &dev) {
    for (const orvi_subdev_ptr &d : product_subdev_list_snapshot())
        if (d == dev) return true;
    return false;
}

// A working copy of a record's fields.
inline orvi_subdev_list_t copy_of(const orvi_subdev_ptr &dev) {
    orvi_subdev_list_t w;
    static_cast<orvi_subdev_fields_t &>(w) = orvi_subdev_snapshot(dev);
    return w;
}

}  // namespace bindutil
