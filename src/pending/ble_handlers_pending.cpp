// Stand-ins for the BLE provisioning handlers until they are built: each logs and
// records the call and refuses the packet (-1: no answer).
#include "orvi_handlers.h"

#include "pending/pending_calls.h"

ORVI_HANDLER(request_handle_bind) {
    pending_record("request_handle_bind", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_subBDev) {
    pending_record("request_handle_subBDev", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_QnetDev) {
    pending_record("request_handle_QnetDev", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_bleCheck) {
    pending_record("request_handle_bleCheck", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_homeBind) {
    pending_record("request_handle_homeBind", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_SENDER(orvi_send_bleinfo) {
    pending_record("orvi_send_bleinfo", {pending_arg(dev)});
    return -1;
}
