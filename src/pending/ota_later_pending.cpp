// Stand-in for the firmware download until it is built: records
// "orvi_ota_thread <url>" and reports pending_result().
#include "pending/ota_later_pending.h"

#include "pending/pending_calls.h"

int orvi_ota_thread(const char *url) {
    pending_record("orvi_ota_thread", {pending_arg(url)});
    return pending_result();
}
