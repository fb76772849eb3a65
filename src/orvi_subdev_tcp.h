// The TCP server for Wi-Fi subdevices on port 1813: the accept thread
// (`orvi_subdev_tcp_server_thread`), the receive thread
// (`orvi_subdev_tcp_recv_thread`), the list of live links and each link's
// JSON object framer. The write routine (request task) reaches links by
// descriptor through this list.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "orvi_lock_order.h"
#include "orvi_transport.h"
#include "product_subdev.h"

#define ORVI_TCP_LINK_BUF_SIZE 5120  // one link's unframed bytes, and one packet
#define ORVI_TCP_READ_SIZE 1024      // one receive
#define ORVI_TCP_LINK_MAX 64         // live links; a further one replaces the longest-idle link
#define ORVI_TCP_BACKLOG 20
// Deepest nesting an object that fits the link buffer can have: every level
// costs at least its two braces.
#define ORVI_TCP_DEPTH_MAX (ORVI_TCP_LINK_BUF_SIZE / 2)
// Framed objects a link holds before they are queued. A link whose backlog
// is full is not read until it drains: TCP flow control then holds back that
// sender alone and nothing it sent is lost.
#define ORVI_TCP_LINK_QUEUE 8
// Links feed the request queue, one object per link in turn, only while it
// holds fewer requests than this: however many links send at once, the rest
// of the queue stays free for UDP, the cloud and the host's own sends.
#define ORVI_TCP_QUEUE_SHARE 32
// A link that delivered no complete object for this long is closed. A
// device must send a heartbeat at least every 90 s to stay online, and the
// 46 s heartbeat check sets a silent one offline at the latest 136 s after
// its last heartbeat. 180 s is past both: the link of a device that keeps
// the heartbeat rules is never closed by this, and a connection that says
// nothing holds a link slot no longer than its device would stay online.
#define ORVI_TCP_IDLE_CLOSE_MS (180 * 1000)

// Cuts top-level JSON objects out of a byte stream: the outermost
// brace-balanced text from a "{", braces inside string literals not counted.
// Bytes outside any object are noise and skipped. An object that outgrows
// the buffer, or nests deeper than ORVI_TCP_DEPTH_MAX, is dropped whole: the
// framer keeps following its strings and braces (the depth held at the
// bound) and resumes after its closing brace, so no fragment of it is ever
// delivered.
typedef struct orvi_tcp_framer_s {
    std::string buf;  // the object being collected, at most ORVI_TCP_LINK_BUF_SIZE bytes
    int depth = 0;    // 0..ORVI_TCP_DEPTH_MAX
    bool in_str = false;
    bool esc = false;
    bool discarding = false;  // inside an over-long or over-deep object that is being dropped
} orvi_tcp_framer_t;

// Feeds `len` bytes; `emit` receives each complete object in order.
// Returns the number of objects emitted.
int orvi_tcp_framer_feed(orvi_tcp_framer_t *f, const char *data, size_t len,
                         const std::function<void(std::string &&)> &emit);
// The same, stopping right after the `max_objects`-th object: returns how
// many of the `len` bytes were taken; the rest is for a later call.
size_t orvi_tcp_framer_feed_some(orvi_tcp_framer_t *f, const char *data, size_t len, size_t max_objects,
                                 const std::function<void(std::string &&)> &emit);

typedef struct subdev_tcp_link_s {
    int fd = -1;  // closed when the last reference goes
    struct sockaddr_in ip_addr {};
    // Receive thread only: the framer, the bytes of the last read it has not
    // taken yet, and the objects framed but not yet queued (oldest first).
    orvi_tcp_framer_t framer;
    char unread[ORVI_TCP_READ_SIZE];
    size_t unread_off = 0;
    size_t unread_len = 0;
    std::deque<std::string> backlog;
    // Monotonic ms of the accept, then of each complete object.
    std::atomic<uint64_t> last_object_ms{0};
    std::atomic<bool> retired{false};  // out of the list: nothing more of it is queued
    orvi_subdev_ptr subdev_ptr;        // the record bound to the link; guarded by the list's lock
    orvi::Mutex write_mu ORVI_LEAF_LOCK;  // one writer at a time: a packet and its "\n" stay together
    subdev_tcp_link_s() = default;
    subdev_tcp_link_s(const subdev_tcp_link_s &) = delete;
    subdev_tcp_link_s &operator=(const subdev_tcp_link_s &) = delete;
    ~subdev_tcp_link_s();
} subdev_tcp_link_t;
using subdev_tcp_link_ptr = std::shared_ptr<subdev_tcp_link_t>;

typedef struct subdev_tcp_link_list_s {
    orvi::Mutex sem ORVI_LEAF_LOCK;  // guards the two below and each link's subdev_ptr
    std::vector<subdev_tcp_link_ptr> links GUARDED_BY(sem);
    int max_fd GUARDED_BY(sem) = -1;
    int wake_fd = -1;   // eventfd: wakes the receive thread when a link is added
    size_t turn = 0;    // receive thread only: where the next round of queuing starts
    int list_size() const REQUIRES(sem) { return static_cast<int>(links.size()); }
} subdev_tcp_link_list_t;

// The process-wide list (created by orvi_subdev_tcp_server_init), or null.
subdev_tcp_link_list_t *orvi_subdev_tcp_link_list(void);

// Creates a list. 0 or -1.
int orvi_subdev_tcp_link_list_init(subdev_tcp_link_list_t **list);
void orvi_subdev_tcp_link_list_free(subdev_tcp_link_list_t *list);
// A new link owning `fd`; its idle time counts from now.
subdev_tcp_link_ptr orvi_subdev_tcp_link_create(subdev_tcp_link_list_t *list, int fd,
                                                const struct sockaddr_in *addr);
// Appends the link. A full list first closes its longest-idle link (as if
// that peer had closed). 0, 1 when that made a device go offline, -1 for a
// null list or link.
int orvi_subdev_tcp_link_insert(subdev_tcp_link_list_t *list, const subdev_tcp_link_ptr &link);
// Removes the link of `fd` (its descriptor closes once no writer holds it). 0 or -1.
int orvi_subdev_tcp_link_delete(subdev_tcp_link_list_t *list, int fd);
// Recomputes max_fd; caller holds list->sem.
void orvi_subdev_tcp_link_maxfd_update(subdev_tcp_link_list_t *list) REQUIRES(list->sem);
subdev_tcp_link_ptr orvi_subdev_tcp_link_get(subdev_tcp_link_list_t *list, int fd);
// Refreshes the link's peer address from its socket. 0 or -1.
int orvi_subdev_tcp_link_ipaddr_update(const subdev_tcp_link_ptr &link);
// Binds the record to the link (the record whose packets arrive on it).
int orvi_subdev_tcp_link_dev_bind(subdev_tcp_link_list_t *list, const subdev_tcp_link_ptr &link,
                                  const orvi_subdev_ptr &dev);
// Fills `fds` (POLLIN) with the descriptor of every link that can take more
// input: all it read is framed and its backlog has room. Returns the number
// of links in the list.
int orvi_subdev_tcp_fd_readset_all(subdev_tcp_link_list_t *list, std::vector<struct pollfd> &fds);

// Reads one ready link into its backlog (as far as it has room); on the
// peer's close frees the link, sets the bound record offline and makes it
// (and any record still holding the descriptor) forget the descriptor.
// Returns 1 when a device went offline, 0 otherwise, -1 for an unknown fd.
int orvi_subdev_tcp_link_read(subdev_tcp_link_list_t *list, int fd);
// Moves backlogged objects to the request sink (orvi_transport.h; the
// request queue as start-up wires it) as TCP requests, one per link in turn,
// while the sink holds fewer than ORVI_TCP_QUEUE_SHARE requests. A refused object stays first in its backlog. Returns how many
// were queued; 0 when nothing was waiting or there was no room.
int orvi_subdev_tcp_links_pump(subdev_tcp_link_list_t *list);
// True while some link holds objects the queue had no room for.
bool orvi_subdev_tcp_links_waiting(subdev_tcp_link_list_t *list);
// Closes every link that delivered no complete object since `now_ms` -
// ORVI_TCP_IDLE_CLOSE_MS (as if its peer had closed). Returns how many
// devices went offline.
int orvi_subdev_tcp_link_idle_close(subdev_tcp_link_list_t *list, uint64_t now_ms);

// Creates the list and starts the accept and receive threads. 0 or -1.
int orvi_subdev_tcp_server_init(void);
void *orvi_subdev_tcp_server_thread(void *arg);
void *orvi_subdev_tcp_recv_thread(void *arg);
