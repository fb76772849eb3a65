// The event package that wraps every event the host publishes on the local
// MQTT broker, and the opener of a received package. Pure functions over
// the identity's keys; any thread.
#pragma once

#include <cJSON.h>

// {"cid", "tcid", "uid", "t": "pack", "i", "pack"}. For "i" 0 the payload is
// encrypted with the home key when `cid` is the home MAC identifier, else
// with the host's random key; "i" 1 with the default key; "i" 2 carries the
// text as given. Null when "i" is not 0, 1 or 2, or when encryption fails
// (a package that could not be sealed is never published).
cJSON *event_msg_package_aseemble(const char *cid, int i, const char *tcid, int uid, const char *payload);
// Parses a received package, decrypts its "pack" with `key` and parses the
// result; with `plain_only` 1 returns a copy of its "plaintext" member only.
// The caller deletes the result. Null on any failure (logged).
cJSON *local_mqtt_get_pack_str(const char *package, const char *key, int plain_only);
