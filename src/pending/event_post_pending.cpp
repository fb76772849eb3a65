// Stand-in for posting a record event until the host event loop is built:
// records the call and reports success.
#include <string>

#include "orvi_host_event.h"
#include "pending/pending_calls.h"

int orvi_event_post_dev(orvi_event_loop_t event, const orvi_subdev_ptr &dev) {
    pending_record("orvi_event_post_dev", {std::to_string(event), pending_arg(dev)});
    return 0;
}
