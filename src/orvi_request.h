// The request intake: the request queue every transport feeds, the one task
// (`request_handle_task`) that opens envelopes, finds the target record and
// runs every packet handler, and the dispatch tables. Handlers run only on
// that task, one packet at a time; any thread may queue a request.
#pragma once

#include <cJSON.h>

#include <cstdint>
#include <string>

#include "orvi_types.h"
#include "product_subdev.h"

#define ORVI_REQUEST_BUF_SIZE 20480
#define ORVI_REQUEST_QUEUE_PROJ_ID 10

// What a request carries beside its packet, by source. Owned by the request:
// a record travels as shared ownership, never as a pointer a delete can free.
typedef struct request_ctx_s {
    bool has_text = false;
    std::string text;     // cloud: target identifier from the topic; BLE: the BLE layer's text
    orvi_subdev_ptr dev;  // event bus / host-initiated send: the record concerned
    long value = 0;       // host-initiated send over BLE: value for the send handler
} request_ctx_t;

// One queued request.
typedef struct request_type_s {
    uint8_t key_type = AES_KEY_TYPE_NONE;
    data_type_t data_type = DATA_TYPE_NEED_PARSE;
    uint32_t msgId = 0;
    char tcid[17] = {0};
    char cid[17] = {0};
    std::string data;  // the received packet, or the name of the packet to send
    dev_socket_t sockinfo;
    request_ctx_t ctx;
} request_type_t;

// The work record handed to every handler.
typedef struct request_data_s {
    std::string req_data;  // the (decrypted) request text
    std::string rsp_data;  // the handler's answer; rsp_size 0 means no answer
    size_t rsp_size = 0;
    size_t rsp_bufSize = ORVI_REQUEST_BUF_SIZE;
    aes_key_t rsp_key = AES_KEY_TYPE_NONE;
    data_type_t data_type = DATA_TYPE_NEED_PARSE;
    request_ctx_t *ctx = nullptr;  // over BLE: the request's context
} request_data_t;

// Handler of a received packet: the parsed inner packet (released after the
// call), the work record and the target record (never null). 0 on success.
typedef int (*request_handle_fn)(cJSON *json, request_data_t *req, const orvi_subdev_ptr &dev);
// Handler of a host-initiated packet: builds it into the work record. 0 on success.
typedef int (*request_send_fn)(request_data_t *req, const orvi_subdev_ptr &dev);

// Sets the handler's answer: prints `json` unformatted into rsp_data.
void orvi_request_set_response(request_data_t *req, const cJSON *json, aes_key_t key);
void orvi_request_set_response_text(request_data_t *req, const std::string &text, aes_key_t key);

// Queues a request (a copy is made). 0, or -1 when the queue is full or missing.
int orvi_request_queue_send(const request_type_t *req);
// Takes one request (blocking). 0 or -1.
int orvi_request_queue_recv(request_type_t *req);

// Queues the host-initiated packet `name` of the send table on `conn`.
int orvi_send_packet(const char *name, connect_type_t conn, const request_ctx_t &ctx);
int orvi_send_packet(const char *name, connect_type_t conn, const orvi_subdev_ptr &dev);

// Creates the request queue, starts the request task and the event loop,
// registers "hb_timeout". 0 or -1.
int device_handle_create(void);
int request_handle(request_data_t *req, aes_key_t key, const orvi_subdev_ptr &dev);
int request_buffer_expand(request_data_t *req, size_t needed);
