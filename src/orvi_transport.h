// What every transport shares with the request path, and nothing more: the
// request a transport hands in, the sink it hands it to, and the writer of
// each channel that answers and host-initiated packets leave through.
// Start-up wires the sink (the request queue) and the writers; any thread
// may deliver or write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "orvi_types.h"
#include "product_subdev.h"

// What a request carries beside its packet, by source. Owned by the request:
// a record travels as shared ownership, never as a pointer a delete can free.
typedef struct request_ctx_s {
    bool has_text = false;
    std::string text;     // cloud: target identifier from the topic; BLE: the BLE layer's text
    orvi_subdev_ptr dev;  // event bus / host-initiated send: the record concerned
    long value = 0;       // host-initiated send over BLE: value for the send handler
} request_ctx_t;

// One request. `key_type`, `msgId`, `tcid` and `cid` are not carried by the
// request queue: the request task fills them from the envelope of each one.
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

// ---- Inbound: the sink -----------------------------------------------------

// Where received packets go. `send` takes a copy of the request (0, or -1
// when it was refused); `pending` tells how many requests wait there, so a
// transport that can hold its senders back (TCP) leaves room for the others.
typedef struct orvi_request_sink_s {
    std::function<int(const request_type_t &req)> send;
    std::function<size_t()> pending;
} orvi_request_sink_t;

// Installs the sink (a sink without `send` removes it).
void orvi_transport_set_sink(orvi_request_sink_t sink);
// Hands one received packet to the sink: its answer, or -1 (logged) when no
// sink is installed.
int orvi_transport_deliver(const request_type_t &req);
// Requests waiting in the sink: 0 for a sink that cannot tell, SIZE_MAX
// without a sink (there is no room anywhere, so nothing is taken in).
size_t orvi_transport_pending(void);

// ---- Outbound: one writer per channel ----------------------------------------

// Sends one wrapped packet to `to`; `dev` is the target record (may be null
// for an unregistered peer). 0 or -1.
typedef int (*orvi_transport_write_fn)(const char *data, size_t size, const dev_socket_t *to,
                                       const orvi_subdev_ptr &dev);

// Installs the writer of the channel `type` (null: the channel has none).
// 0, or -2 for a type that is not a channel.
int orvi_transport_set_writer(connect_type_t type, orvi_transport_write_fn fn);
// Writes through the writer of to->type: its result, or -1 (logged) for a
// channel without one or a null buffer or target.
int orvi_transport_write(const char *data, size_t size, const dev_socket_t *to, const orvi_subdev_ptr &dev);

// What closes the transports' receiving side when the request task ends (a
// restore from backup has begun): null closes nothing.
void orvi_transport_set_stop(int (*stop)(void));
void orvi_transport_stop(void);
