// System V message queues that carry work between the daemon's threads (the
// request queue, the event loop queue). Thin wrappers that log failures and
// record the machine's state when a receive fails. Safe from any thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// Key directory of every queue of the daemon (a board path).
#define ORVI_QUEUE_PATH "/tmp/queue"
// Text size of every message; senders send and receivers ask for this much.
#define ORVI_QUEUE_MSG_SIZE 128

// One message: a signed 64-bit type and 128 bytes of text. (The C library's
// <sys/msg.h> already declares a `struct msgbuf` of its own, hence the prefix.)
typedef struct orvi_msgbuf_s {
    int64_t mtype;
    char mtext[ORVI_QUEUE_MSG_SIZE];
} orvi_msgbuf_t;

// Removes the key directory left by the last run and raises the kernel's
// byte limit per queue to 163840 (when that fails the kernel default stays).
void orvi_queue_init(void);

// Creates the queue keyed by (`path`, `proj_id`). `path` is a board path; a
// missing directory is created with mode 0700. A queue an earlier run left
// under the same key is removed first, so a new queue never holds stale
// messages. The queue is open to this user only (mode 0600): its messages
// carry pointers into this process. Returns the queue id or -1.
int orvi_queue_create(const char *path, int proj_id);

// Sends `size` (at most 128) bytes of text; `flags` are msgsnd's (0 waits
// while the queue is full, IPC_NOWAIT fails at once). Returns 0 or -1.
int orvi_queue_send(int id, const orvi_msgbuf_t *msg, size_t size, int flags);

// Receives a message of any type with up to `size` (at most 128) bytes of
// text; `flags` are msgrcv's (0 blocks). A wait interrupted by a signal is
// resumed. Returns the text size received, or -1. An empty queue under
// IPC_NOWAIT returns -1 with errno ENOMSG and is not logged; any other
// failure is logged and the machine's state recorded (at most once a minute).
ssize_t orvi_queue_recv(int id, orvi_msgbuf_t *msg, size_t size, int flags);

// Removes the queue; 0 or -1.
int orvi_queue_delete(int id);

// Test entry: forgets when the failure diagnostics last ran, so the next
// receive failure records them again.
void orvi_queue_diag_rearm(void);
