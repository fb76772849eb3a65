// Internal pieces shared by the event publishers: the envelope of one
// message, the three ways of sealing and queueing it, topic building with
// checked levels and the record readers. Used only by event_publish*.cpp
// and the lighting events (tovra_event.cpp); any thread.
#pragma once

#include <cJSON.h>

#include <memory>
#include <string>
#include <string_view>

#include "orvi_field.h"
#include "orvi_json.h"
#include "product_subdev.h"

namespace evpub {

using orvi_json::json_ptr;
using orvi_json::print;

// Where a message goes and how its package is labelled and sealed.
struct envelope {
    std::string topic;
    std::string cid;   // empty: the host MAC
    std::string tcid;  // empty: no target
    int i = 0;         // key selector of the package
    int retain = 0;
};

// Payload layer {"mac","sub","mid","plaintext"} around `plaintext` (taken),
// then the package. 0 when queued, -1 otherwise (logged by step).
int send_payload(const envelope &env, const std::string &mac, const std::string &sub, const std::string &mid,
                 cJSON *plaintext);
// The object itself (taken) as the package body, no payload layer.
int send_body(const envelope &env, cJSON *body);
// A ready body text (for "i" 2 the caller's cipher text) as the package body.
int send_text(const envelope &env, const std::string &body);

// The type-0 message: payload "mac" the parent's MAC (host MAC without a
// parent), "sub"/"tcid" the subdevice's MAC, "mid" its model (host model
// without one); "cid" the payload "mac", or the host MAC with `cid_is_host`.
// Takes `plain`.
int type0_send(const char *topic, const orvi_subdev_ptr &dev, const orvi_subdev_ptr &subdev, cJSON *plain,
               int retain, bool cid_is_host);

// "%s/%s" and "%s/%s/%s" forms: `name` is the host's own topic name, every
// other level comes from outside and is checked. Empty (logged) on refusal.
std::string topic2(const char *name, std::string_view level, const char *what);
std::string topic3(const char *name, std::string_view level1, std::string_view level2, const char *what);

// The record's fields under its lock (null: default fields).
inline orvi_subdev_fields_t fields_of(const orvi_subdev_ptr &dev) {
    return orvi_subdev_snapshot(dev);
}
inline std::string mac_of(const orvi_subdev_fields_t &f) {
    return std::string(orvi_field_view(f.mac));
}

// A status document parsed, with its "jsonStatus" member taken instead of
// the whole when present (the whole object is returned; `*status` points in).
json_ptr parse_status(const std::string &data, const cJSON **status);
using orvi_json::status_pairs;

}  // namespace evpub
