// The host's client of the board's event bus broker (a Unix stream socket):
// client connections, subscriptions (each on its owner's thread), one-shot
// queries, and the publish queues drained by the one sender thread
// `event_publish_thread`. `event_publish` may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

// The broker's socket (a board path: pass it through orvi_path).
#define EVENT_BROKER_PATH "/data/domivault/select.sock"

// Bytes taken by one read of the receive side.
#define UDS_READ_SIZE 5120
// Longest frame the receive side accepts; a longer one is dropped.
#define UDS_FRAME_MAX (64 * 1024)
// Longest answer a query keeps.
#define UDS_SELECT_MAX (1024 * 1024)

// The subscriber's callback: one whole received frame (a JSON object text
// holding "r" and "data"), called on the subscriber's thread.
typedef void (*event_subscribe_cb_t)(const char *frame);

// ---- Connections -----------------------------------------------------------

// Connected stream socket to the broker at `path` (a host path), bound first
// to "<path>_<thread id>"; -1 when every attempt failed.
int uds_client_build(const char *path);
// 1 when the socket was reported readable (`select_ret` 1) and the read
// returned 0 bytes, i.e. the peer closed; 0 otherwise.
int is_uds_closed(int select_ret, int read_ret);
// Writes the whole message (partial writes continued, EINTR/EAGAIN retried,
// at most 10 s without progress); returns `length`, or -1 on an error.
int uds_send(int fd, const char *data, size_t length);
// One read of at most `size` bytes (EINTR retried); the read's result.
int uds_read(int fd, char *buffer, size_t size);

// ---- Stream splitting ------------------------------------------------------

// Cuts an unframed byte stream into whole JSON objects. Braces inside string
// literals do not count and escapes are honoured. Bytes between objects are
// skipped. An object longer than `limit`, or nested deeper than `limit` / 2
// levels (more than it could hold), is dropped whole (logged): its strings
// and braces are followed to its end without keeping it, the depth held at
// that bound, so nothing inside it is ever taken for a frame.
typedef struct uds_frame_splitter_s {
    std::string frame;  // the object being gathered
    int depth = 0;      // 0: between objects
    bool in_string = false;
    bool escaped = false;
    bool discarding = false;  // inside an object being dropped
    size_t limit = UDS_FRAME_MAX;
} uds_frame_splitter_t;

void uds_frame_splitter_reset(uds_frame_splitter_t *s);
// Feeds `n` bytes; each object completed by them is appended to `frames`.
// Returns how many over-long objects were dropped.
int uds_frame_split(uds_frame_splitter_t *s, const char *data, size_t n, std::vector<std::string> &frames);

// ---- Publishing ------------------------------------------------------------

// Start-up of the publishing side: removes the stale client socket files of
// earlier runs, initialises the publish queues and starts the sender thread.
// 0 on success, -1 when the thread could not start. Runs once.
int event_brocker_init(void *arg);
int server_event_brocker(void);
// Removes every file named "<broker path>_*" (the client sockets of earlier
// runs); logs "remove done!". Returns how many were removed.
int event_brocker_remove_stale(void);
// Initialises (empties) the two publish queues.
int event_publish_queue_init(void);

// Queues a copy of the zero-terminated `text` for the sender thread; 0, or -1
// when it cannot be queued. `length` is not used. A text containing "/status"
// is a status message; all other messages are sent before any queued status
// message. Within each class messages leave in the order they were queued.
int event_publish(const char *text, size_t length);
// Takes the next message in sending order; 0, or -1 when both queues are empty.
int event_publish_next(std::string &out);
// Messages queued or being written.
int event_publish_pending(void);
// The sender: connects, drains the queues one message per 35 ms, reconnects
// after a failed write and sends that message first on the new connection (a
// message whose write fails on three connections is dropped with a log line),
// and ends the process after more than 20 consecutive failed connection rounds.
void *event_publish_thread(void *arg);
// Tests only: makes a running sender return at its next pass (true) or lets
// the next one run (false).
void event_publish_thread_stop(bool stop);

// ---- Subscriptions and queries ---------------------------------------------

// Runs a subscription on the calling thread: sends {"type","topicFilter",
// "cmd":"sub"} on every new connection and hands each frame holding "data" to
// `callback`. Returns -1 when the broker refuses ("r" 2) or the request
// cannot be built, 0 when `exit_flag` is raised (set to 1 by its owner; the
// call clears it first). A null `exit_flag` subscribes for the life of the
// process.
int event_subscribe(const char *type, const char *topic, event_subscribe_cb_t callback,
                    std::atomic<int> *exit_flag);
// One-shot query {"type","topicFilter","cmd":"select"}: reads until the broker
// closes, goes quiet for 3 s or 10 s have passed. 0 with the answer in `out`
// (empty when the broker sent nothing), -1 when no connection could be made,
// the request could not be built or sent, or the answer is over-long.
int event_select(const char *type, const char *topic, std::string &out);

// ---- Tests only ------------------------------------------------------------

// Waits of the connection retries, the resubscription and the reconnect
// (`sleep`, null: the real sleep), the subscriber's wait per pass and the
// query's quiet and total budgets. Null restores the defaults. Set before
// any client runs.
struct uds_client_timing {
    void (*sleep)(unsigned ms) = nullptr;
    unsigned pass_wait_ms = 3000;
    unsigned select_quiet_ms = 3000;
    unsigned select_total_ms = 10000;
};
void uds_client_set_timing(const uds_client_timing *t);
