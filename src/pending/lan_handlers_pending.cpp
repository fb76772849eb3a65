// Stand-ins for the LAN command answers and senders until they are built: each logs and
// records the call and refuses the packet (-1: no answer).
#include "orvi_handlers.h"

#include "pending/pending_calls.h"

ORVI_HANDLER(request_handle_ret) {
    pending_record("request_handle_ret", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_res) {
    pending_record("request_handle_res", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_statusCheckRes) {
    pending_record("request_handle_statusCheckRes", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_SENDER(orvi_send_scan) {
    pending_record("orvi_send_scan", {pending_arg(dev)});
    return -1;
}

ORVI_SENDER(orvi_send_binCmd) {
    pending_record("orvi_send_binCmd", {pending_arg(dev)});
    return -1;
}

ORVI_SENDER(orvi_send_binStatus) {
    pending_record("orvi_send_binStatus", {pending_arg(dev)});
    return -1;
}
