// Stand-ins for the binding, pairing and heartbeat handlers until they are built: each logs and
// records the call and refuses the packet (-1: no answer).
#include "orvi_handlers.h"

#include "pending/pending_calls.h"

ORVI_HANDLER(request_handle_UBind) {
    pending_record("request_handle_UBind", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_hb) {
    pending_record("request_handle_hb", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_Utm) {
    pending_record("request_handle_Utm", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_connect) {
    pending_record("request_handle_connect", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_subDev) {
    pending_record("request_handle_subDev", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_checksub) {
    pending_record("request_handle_checksub", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_devListPush) {
    pending_record("request_handle_devListPush", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_devListPushRes) {
    pending_record("request_handle_devListPushRes", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_roomListPush) {
    pending_record("request_handle_roomListPush", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_upRoomInfo) {
    pending_record("request_handle_upRoomInfo", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_devOnlineRes) {
    pending_record("request_handle_devOnlineRes", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_devOnlineDone) {
    pending_record("request_handle_devOnlineDone", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_checkResRes) {
    pending_record("request_handle_checkResRes", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_checkResDone) {
    pending_record("request_handle_checkResDone", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_syncPersistent) {
    pending_record("request_handle_syncPersistent", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_switchBindPush) {
    pending_record("request_handle_switchBindPush", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_getLoginInfo) {
    pending_record("request_handle_getLoginInfo", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_SENDER(orvi_send_syncDev) {
    pending_record("orvi_send_syncDev", {pending_arg(dev)});
    return -1;
}

ORVI_SENDER(orvi_send_syncDone) {
    pending_record("orvi_send_syncDone", {pending_arg(dev)});
    return -1;
}

ORVI_SENDER(orvi_send_upDevList) {
    pending_record("orvi_send_upDevList", {pending_arg(dev)});
    return -1;
}
