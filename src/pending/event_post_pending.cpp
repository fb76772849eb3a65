// Stand-in for the host event post helper until the host event loop is
// built: records the call and reports what the stand-ins are told to.
#include "orvi_host_event.h"
#include "pending/pending_calls.h"

int orvi_event_post_value(orvi_event_loop_t event, long value) {
    pending_record("orvi_event_post_value", {std::to_string(event), std::to_string(value)});
    return pending_result();
}
