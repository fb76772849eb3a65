// The request intake: the request queue every transport feeds (through the
// sink start-up wires), the one task (`request_handle_task`) that opens
// envelopes, finds the target record, runs every packet handler and writes
// the answer through the writer of its channel, and the dispatch by name
// over the tables start-up hands in. Handlers run only on that task, one
// packet at a time; any thread may queue a request.
#pragma once

#include <cJSON.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "orvi_event_loop.h"
#include "orvi_timer.h"
#include "orvi_transport.h"
#include "orvi_types.h"
#include "product_subdev.h"

#define ORVI_REQUEST_BUF_SIZE 20480
#define ORVI_REQUEST_QUEUE_PROJ_ID 10
// Longest request text the task takes: the request buffer holds the text and
// its terminator. A longer request is refused (by the sender) or dropped.
#define ORVI_REQUEST_MAX_LEN (ORVI_REQUEST_BUF_SIZE - 1)

// The work record handed to every handler.
typedef struct request_data_s {
    std::string req_data;  // the (decrypted) request text
    std::string rsp_data;  // the handler's answer; rsp_size 0 means no answer
    size_t rsp_size = 0;
    size_t rsp_bufSize = ORVI_REQUEST_BUF_SIZE;
    aes_key_t rsp_key = AES_KEY_TYPE_NONE;
    // The key family a received packet was opened with (set by request_handle).
    aes_key_t rx_key = AES_KEY_TYPE_NONE;
    data_type_t data_type = DATA_TYPE_NEED_PARSE;
    request_ctx_t *ctx = nullptr;  // over BLE: the request's context
    // The channel the request came on (its socket's type). Plain packets that
    // change the host's identity are taken only from local channels.
    connect_type_t conn = SOCKET_CONNECT_TYPE_NONE;
    // The socket a received packet came on (null for host-initiated packets).
    // The binding handshake makes it the channel of the record it binds.
    const dev_socket_t *sock = nullptr;
} request_data_t;

// Handler of a received packet: the parsed inner packet (released after the
// call), the work record and the target record (never null). 0 on success.
typedef int (*request_handle_fn)(cJSON *json, request_data_t *req, const orvi_subdev_ptr &dev);
// Handler of a host-initiated packet: builds it into the work record. 0 on success.
typedef int (*request_send_fn)(request_data_t *req, const orvi_subdev_ptr &dev);

// A row of the receive table `s_handles_list`.
typedef struct request_handle_row_s {
    const char *name;  // packet type "t", compared ignoring case
    // Weakest key family the type accepts: 0 private key only, 1 private or
    // default key, 2 also plain.
    uint8_t flag;
    // Plain form (family 2) is taken only over BLE and the local event bus
    // (SOCKET_CONNECT_TYPE_UDS): the packet changes the host's identity,
    // keys, Wi-Fi or firmware.
    bool plain_only_local;
    request_handle_fn handle;
} request_handle_row_t;

// A row of the send table `s_send_handles_list`.
typedef struct request_send_row_s {
    const char *name;
    request_send_fn handle;
} request_send_row_t;

// What start-up hands the intake from the handlers' level. The tables end
// with an empty row and, like everything they name, live for the process.
typedef struct request_dispatch_s {
    const request_handle_row_t *handles;  // `s_handles_list`
    const request_send_row_t *sends;      // `s_send_handles_list`
    // Extras of a cloud response (the caller deletes them), or null for none.
    cJSON *(*response_extras)(const char *response);
    // The host event loop's handler and the "hb_timeout" timer callback that
    // device_handle_create starts.
    orvi_event_loop_cb_t event_handler;
    orvi_timer_cb_t hb_timeout;
} request_dispatch_t;

// Rows a table may have.
#define ORVI_REQUEST_ROWS_MAX 64

// Installs the dispatch. 0, or
// -1 (logged) for a missing table or one of more than ORVI_REQUEST_ROWS_MAX
// rows; a null `d` removes it. Without a dispatch every request is refused.
int request_dispatch_set(const request_dispatch_t *d);
// The installed tables (without their closing empty rows) and their row
// counts; null and 0 without a dispatch.
const request_handle_row_t *request_handle_rows(size_t *count);
const request_send_row_t *request_send_rows(size_t *count);

// Sets the handler's answer: prints `json` unformatted into rsp_data.
void orvi_request_set_response(request_data_t *req, const cJSON *json, aes_key_t key);
void orvi_request_set_response_text(request_data_t *req, const std::string &text, aes_key_t key);

// The request queue. A message carries only the address of a heap copy of
// the request: the sender makes the copy (data, data type, socket, context)
// and hands it over; the receiver takes it over and frees it; a send that
// fails frees it at once. A message whose address this process did not hand
// out is refused.
//
// Creates the queue if it does not exist yet (project id 10 on "/tmp/queue").
int orvi_request_queue_create(void);
// Queues a copy of `req`. 0, or -1 when the queue is missing or full, or the
// text is longer than ORVI_REQUEST_MAX_LEN.
int orvi_request_queue_send(const request_type_t *req);
// Takes one request (blocking) into `req`. 0 or -1.
int orvi_request_queue_recv(request_type_t *req);
// The same without waiting: -1 at once when the queue is empty.
int orvi_request_queue_try_recv(request_type_t *req);
// Requests queued and not yet taken by the request task.
size_t orvi_request_queue_pending(void);

// Queues the host-initiated packet `name` of the send table on `conn`.
int orvi_send_packet(const char *name, connect_type_t conn, const request_ctx_t &ctx);
int orvi_send_packet(const char *name, connect_type_t conn, const orvi_subdev_ptr &dev);

// Period of the heartbeat time-out check.
#define ORVI_HB_TIMEOUT_PERIOD_MS 46000
// Creates the request queue, starts the request task and the event loop with
// the dispatch's event handler, registers "hb_timeout" with its callback.
// 0, or -1 (also without a dispatch).
int device_handle_create(void);
// The table dispatch. The handler's result, -1 when no row applies, -2 for a
// null work record. A null `dev` is replaced by an empty record.
int request_handle(request_data_t *req, aes_key_t key, const orvi_subdev_ptr &dev);
// Grows the response buffer to needed + 1,024 bytes when `needed` is at
// least its size, keeping its text. 0, or -2 for a null work record.
int request_buffer_expand(request_data_t *req, size_t needed);

// ---- The request task ------------------------------------------------------

// What the task keeps between requests.
typedef struct request_task_s {
    request_data_t work;
    // Stands for the host itself: DEV_TYPE_HOST, online, mac = the host
    // identifier, key = the host's random key. BLE packets run against it.
    orvi_subdev_ptr host_dev;
} request_task_t;

void request_task_init(request_task_t *task);
// Runs one received request through the envelope, the target lookup, the
// dispatch and the response. 0 when a response was written, -1 otherwise
// (dropped, refused, failed or nothing to answer).
int request_task_process(request_task_t *task, request_type_t *req);
// The task: takes requests until a restore from backup starts, then stops
// the transports' receiving side (orvi_transport_stop).
void *request_handle_task(void *arg);
