// Temporary recording definitions of the codec and mini-app page entries the
// LAN transports call, until those modules land.
#include "pending/lan_tmp_pending.h"

#include "pending/pending_calls.h"

int hex_to_json(const char *mid, const char *in, char *, size_t) {
    pending_record("hex_to_json", {pending_arg(mid), pending_arg(in)});
    return -1;
}

void checkRes_send_retry_cansle(void) {
    pending_record("checkRes_send_retry_cansle", {});
}
