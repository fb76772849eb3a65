// Temporary recording definitions of the request intake, host event and
// codec entries the LAN transports call, until those modules land.
#include "pending/lan_tmp_pending.h"

#include "orvi_host_event.h"
#include "orvi_request.h"
#include "pending/pending_calls.h"

void orvi_request_set_response(request_data_t *req, const cJSON *json, aes_key_t key) {
    char *p = cJSON_PrintUnformatted(json);
    orvi_request_set_response_text(req, p ? p : "", key);
    cJSON_free(p);
}

void orvi_request_set_response_text(request_data_t *req, const std::string &text, aes_key_t key) {
    req->rsp_data = text;
    req->rsp_size = text.size();
    req->rsp_key = key;
}

int orvi_request_queue_send(const request_type_t *req) {
    pending_record("orvi_request_queue_send",
                   {req ? req->data : "(null)", std::to_string(req ? req->sockinfo.type : -1)});
    return pending_result();
}

int orvi_event_post_dev(orvi_event_loop_t event, const orvi_subdev_ptr &dev) {
    pending_record("orvi_event_post_dev", {std::to_string(event), pending_arg(dev)});
    return pending_result();
}

int orvi_event_post_text(orvi_event_loop_t event, const std::string &text) {
    pending_record("orvi_event_post_text", {std::to_string(event), text});
    return pending_result();
}

// orvi_event_post_value: event_post_pending.cpp

int hex_to_json(const char *mid, const char *in, char *, size_t) {
    pending_record("hex_to_json", {pending_arg(mid), pending_arg(in)});
    return -1;
}

void checkRes_send_retry_cansle(void) {
    pending_record("checkRes_send_retry_cansle", {});
}
