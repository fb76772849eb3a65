// Assemblers of the JSON event message every publisher of the host uses, on
// the event bus and on the local MQTT transport. Pure functions, any thread.
#pragma once

#include <cJSON.h>

// {"cols": cols, "dat": dat}; takes both arrays (freed on failure too).
cJSON *event_msg_plaintext_aseemble(cJSON *cols, cJSON *dat);
// {"mac", "sub", "mid", "plaintext"}; takes `plaintext` (freed on failure too).
// A "mac" or "sub" longer than 16 characters is refused.
cJSON *event_msg_payload_aseemble(const char *mac, const char *sub, const char *mid, cJSON *plaintext);
// {"type", "topic", "payload", "source", "cmd", "retain"}; takes `payload`.
cJSON *event_msg_send_aseemble(int type, const char *topic, cJSON *payload, const char *source,
                               const char *cmd, unsigned char retain);
