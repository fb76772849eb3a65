// The LAN transports: UDP in on 5000 and out on 5001, the optional TCP
// client channel, the receive task (`socket_handle_task`) that hands every
// packet to the request sink (orvi_transport.h), paced and shared fairly
// between senders, and the write routine of the LAN channels (UDP, TCP,
// broadcast, multicast). Writes run on the request task.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "orvi_transport.h"
#include "orvi_types.h"
#include "product_subdev.h"

#define ORVI_UDP_SERVER_PORT 5000  // packets from subdevices and the mini-app
#define ORVI_UDP_SEND_PORT 5001    // unicast and broadcast to subdevices
#define ORVI_TCP_SERVER_PORT 1813  // TCP subdevices
#define ORVI_PACKET_MAX 5120       // one received packet
#define ORVI_TCP_CLIENT_LINE_MAX 1024

// ---- Socket makers and thin wrappers ---------------------------------------
// Every descriptor is opened close-on-exec. The makers return the descriptor
// or -1 (-2 for a null host).

int orvi_socket_tcp_server_create(unsigned short port, int backlog);
int orvi_socket_tcp_client_create(const char *host, unsigned short port);
int orvi_socket_udp_server_create(unsigned short port);
// The send socket: bound to the send port, broadcast allowed.
int orvi_socket_udp_broadcast_create(void);

// send/recv that never raise SIGPIPE and resume after EINTR; -2 for a null buffer.
ssize_t orvi_socket_send(int fd, const void *buf, size_t len, int flags);
ssize_t orvi_socket_recv(int fd, void *buf, size_t len, int flags);
int orvi_socket_close(int fd);
// Send and receive time-outs in milliseconds. 0 or -1.
int orvi_socket_timeout(int fd, int send_ms, int recv_ms);
// TCP keep-alive on with the given idle time, probe interval (s) and probe
// count. 0, -1, or -2 for descriptor -1.
int orvi_socket_keepalive(int fd, int idle_s, int interval_s, int count);
// 0 when data is pending on fd, -1 otherwise (does not wait).
int orvi_socket_isreadable(int fd);
// Reads and discards whatever is pending, one byte at a time.
int orvi_socket_fflush(int fd);
// The local port a socket is bound to (0 when unknown).
unsigned short orvi_socket_local_port(int fd);

// ---- Transport -------------------------------------------------------------

// (Re)creates the two UDP sockets and, with both a host and a port, the TCP
// client channel. 0 or -1.
int socket_connect_start(const char *host, unsigned short port);
// Closes the UDP receive and TCP client sockets.
int socket_connect_stop(void);
// Blocks until one packet has arrived and fills `out` (data, socket info). 0 or -1.
int socket_connect_read(request_type_t *out);
// The same, waiting at most `timeout_ms` (negative: for ever): 1 with a
// packet in `out`, 0 when none came in time, -1 on a failed read.
int socket_connect_read_wait(request_type_t *out, int timeout_ms);
// Sends one wrapped packet to `to` on a LAN channel (by its connection type:
// UDP, TCP, broadcast or multicast; any other is refused); `dev` is the
// target record (may be null for an unregistered peer). 0 or -1. The writer
// start-up installs for those four channels (orvi_transport_set_writer).
int socket_connect_write(const char *data, size_t size, const dev_socket_t *to, const orvi_subdev_ptr &dev);
// Starts the detached receive task `socket_handle_task`. 0 or -1.
int orvi_socket_handle(void);
void *socket_handle_task(void *arg);

// ---- The TCP client channel's line framer -------------------------------
// Newline-delimited packets in a 1024-byte buffer (plus terminator). A full
// buffer without a newline can never become a packet: it is dropped with a
// log line instead of being read again and again.
typedef struct orvi_line_framer_s {
    char buf[ORVI_TCP_CLIENT_LINE_MAX + 1] = {0};
    size_t len = 0;
    bool has_line = false;  // a complete line is already buffered
} orvi_line_framer_t;

// Room left for the next receive.
size_t orvi_line_framer_space(const orvi_line_framer_t *f);
// Accounts `n` bytes received at buf + len.
void orvi_line_framer_commit(orvi_line_framer_t *f, size_t n);
// Takes the first complete line (without its newline) into `out`: true, or
// false when none is buffered. A full buffer without a newline is dropped.
bool orvi_line_framer_next(orvi_line_framer_t *f, std::string &out);

// ---- Fair share of the paced intake ----------------------------------------
// The receive task lets one packet a pause into the request queue. Packets
// that cannot be requests are dropped on arrival, without costing a turn;
// the others wait in a small backlog per sender (its address) and leave
// round-robin, so a sender that floods gets one turn in N like everybody
// else, and loses what it sends beyond its backlog. When the backlogs hold
// ORVI_INTAKE_TOTAL packets in all, room is made at the longest one.
#define ORVI_INTAKE_PER_SOURCE 8  // packets one sender may have waiting
#define ORVI_INTAKE_TOTAL 256     // packets waiting in all (at most ~1.3 MB)

typedef struct orvi_fair_queue_s {
    struct source_s {
        std::string key;
        std::deque<request_type_t> q;
    };
    std::deque<source_s> ring;  // senders with packets waiting, in serving order
    size_t total = 0;
    size_t per_source = ORVI_INTAKE_PER_SOURCE;
    size_t max_total = ORVI_INTAKE_TOTAL;
} orvi_fair_queue_t;

// Queues `req` behind the sender `source`: 0, or -1 when it was dropped
// (the sender's backlog is full, or everything waiting is one per sender).
int orvi_fair_queue_push(orvi_fair_queue_t *q, const std::string &source, request_type_t &&req);
// Takes the next packet round-robin: true, or false when nothing waits.
bool orvi_fair_queue_pop(orvi_fair_queue_t *q, request_type_t &out);
bool orvi_fair_queue_empty(const orvi_fair_queue_t *q);
// True when `data` may be a request: a JSON object naming its type "t".
bool orvi_intake_could_be_request(const std::string &data);

// The receive task's state between passes.
typedef struct socket_intake_s {
    orvi_fair_queue_t waiting;
    uint64_t next_ms = 0;  // monotonic time the next packet may leave
} socket_intake_t;
// Where a packet whose turn has come goes (the request sink in the task).
typedef int (*socket_intake_sink_t)(const request_type_t *req);
// One pass of the receive task: hands one waiting packet to `sink` when its
// turn has come, or else reads one packet (waiting until the next turn, at
// most `max_wait_ms` when that is not negative) and sorts it in.
void socket_intake_pass(socket_intake_t *in, int max_wait_ms, socket_intake_sink_t sink);

// ---- Test and bench hooks --------------------------------------------------
// The ports and the broadcast address the transports use. Tests move them to
// free ports (0: any free port) and the broadcast to the loopback address so
// nothing leaves the machine.
typedef struct orvi_socket_ports_s {
    unsigned short udp_in = ORVI_UDP_SERVER_PORT;
    unsigned short udp_out = ORVI_UDP_SEND_PORT;
    unsigned short tcp_server = ORVI_TCP_SERVER_PORT;
    unsigned short device_port = ORVI_UDP_SEND_PORT;  // unicast and broadcast destination port
    in_addr_t broadcast = INADDR_BROADCAST;           // host byte order
} orvi_socket_ports_t;
void orvi_socket_ports_set(const orvi_socket_ports_t &ports);
orvi_socket_ports_t orvi_socket_ports(void);
// The UDP receive / send sockets' local ports (0 when closed).
unsigned short orvi_socket_udp_in_port(void);
unsigned short orvi_socket_udp_out_port(void);
// Pause of the receive task after each packet (50 ms).
void orvi_socket_set_read_pause_ms(unsigned ms);
