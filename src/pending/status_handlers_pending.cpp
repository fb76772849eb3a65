// Stand-ins for the status and control handlers until they are built: each logs and
// records the call and refuses the packet (-1: no answer).
#include "orvi_handlers.h"

#include "pending/pending_calls.h"

ORVI_HANDLER(request_handle_status) {
    pending_record("request_handle_status", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_binStatus) {
    pending_record("request_handle_binStatus", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_dat) {
    pending_record("request_handle_dat", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_jsonStatus) {
    pending_record("request_handle_jsonStatus", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_jsonCmd) {
    pending_record("request_handle_jsonCmd", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_configStatus) {
    pending_record("request_handle_configStatus", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_time) {
    pending_record("request_handle_time", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_upgrade) {
    pending_record("request_handle_upgrade", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_binSubStatus) {
    pending_record("request_handle_binSubStatus", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_binSubEvent) {
    pending_record("request_handle_binSubEvent", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_485Configure) {
    pending_record("request_handle_485Configure", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_sceneSinglepush) {
    pending_record("request_handle_sceneSinglepush", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_checkSceneExe) {
    pending_record("request_handle_checkSceneExe", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_HANDLER(request_handle_updown) {
    pending_record("request_handle_updown", {pending_arg(json), pending_arg(dev)});
    return -1;
}

ORVI_SENDER(orvi_send_jsonStatus) {
    pending_record("orvi_send_jsonStatus", {pending_arg(dev)});
    return -1;
}

ORVI_SENDER(orvi_send_jsonStatus_mqtt) {
    pending_record("orvi_send_jsonStatus_mqtt", {pending_arg(dev)});
    return -1;
}

ORVI_SENDER(orvi_send_multicast_test) {
    pending_record("orvi_send_multicast_test", {pending_arg(dev)});
    return -1;
}

ORVI_SENDER(orvi_send_sceneSingleSetRes) {
    pending_record("orvi_send_sceneSingleSetRes", {pending_arg(dev)});
    return -1;
}

ORVI_SENDER(orvi_send_soLoadState) {
    pending_record("orvi_send_soLoadState", {pending_arg(dev)});
    return -1;
}

cJSON *orvi_sceneTag_extras_res(const char *response) {
    pending_record("orvi_sceneTag_extras_res", {pending_arg(response)});
    return nullptr;
}
