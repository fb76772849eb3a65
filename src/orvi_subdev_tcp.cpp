// TCP server for Wi-Fi subdevices, its link list and the per-link framer.
//
// Links are shared: a link leaves the list when its peer closes, when it
// stays idle too long or when it makes room for a new one, but the
// descriptor only closes when the last holder (a writer on the request task)
// lets go, so a descriptor number is never reused while anybody may still
// write to it. Records that held the descriptor forget it before the link
// goes.
//
// No link can crowd out the others: what a link sends waits in its own small
// backlog, and the backlogs feed the shared request queue in turn, only
// while the queue has room to spare. A link that sends faster than the
// request task serves it simply stops being read.
#include "orvi_subdev_tcp.h"

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "orvi_field.h"
#include "orvi_event_post.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_socket.h"
#include "orvi_system.h"

// Creation of the process-wide link list.
orvi::Mutex orvi_subdev_tcp_list_mu;

namespace {
constexpr int kServerRetries = 60;
constexpr unsigned kAcceptPauseMs = 1000;
constexpr int kPollTimeoutMs = 5000;
constexpr int kIdleWaitMs = 1000;
// While objects wait for room in the request queue: how soon to look again.
constexpr int kQueueRetryMs = 10;

subdev_tcp_link_list_t *g_list GUARDED_BY(orvi_subdev_tcp_list_mu) = nullptr;

std::string peer_text(const struct sockaddr_in &a) {
    char ip[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

uint64_t idle_ms(const subdev_tcp_link_t &l, uint64_t now_ms) {
    uint64_t last = l.last_object_ms.load();
    return now_ms > last ? now_ms - last : 0;
}

void wake(subdev_tcp_link_list_t *list) {
    if (list->wake_fd < 0) return;
    uint64_t one = 1;
    if (::write(list->wake_fd, &one, sizeof one) < 0) {
    }
}

// The record forgets the descriptor when it still holds it; true when the
// record went offline because the link was its channel.
bool release_record(const orvi_subdev_ptr &dev, int fd, bool set_offline) {
    return orvi_subdev_locked(dev, [fd, set_offline](orvi_subdev_list_t &d) {
        if (d.dev_socket.type != SOCKET_CONNECT_TYPE_TCP || d.dev_socket.fd != fd) return false;
        d.dev_socket.fd = -1;
        if (!set_offline || !d.online) return false;
        d.online = 0;
        return true;
    });
}

// Takes the link out of the list; caller holds list->sem. False when it is
// not listed (any more).
bool unlist_locked(subdev_tcp_link_list_t *list, const subdev_tcp_link_ptr &link) REQUIRES(list->sem) {
    auto it = std::find(list->links.begin(), list->links.end(), link);
    if (it == list->links.end()) return false;
    list->links.erase(it);
    link->retired.store(true);
    orvi_subdev_tcp_link_maxfd_update(list);
    return true;
}

// What follows a link's end, whatever ended it: every record that still
// holds its descriptor forgets it before the descriptor can be reused, and
// the bound device goes offline. True when it went offline.
bool link_gone(const subdev_tcp_link_ptr &link, const orvi_subdev_ptr &dev) {
    const int fd = link->fd;
    ORVI_LOGW("device %s tcp disconnect.............",
              dev ? std::string(orvi_field_view(dev->mac)).c_str() : "NULL");
    bool offline = release_record(dev, fd, true);
    product_subdev_for_each([&](const orvi_subdev_ptr &rec) {
        if (rec != dev) release_record(rec, fd, false);
    });
    return offline;
}

// Ends a link the host gives up on (idle, or making room): the peer sees the
// connection end now, even while someone still holds the link.
int link_close(subdev_tcp_link_list_t *list, const subdev_tcp_link_ptr &link) {
    orvi_subdev_ptr dev;
    {
        orvi::MutexLock lk(list->sem);
        if (!unlist_locked(list, link)) return 0;
        dev = link->subdev_ptr;
    }
    ::shutdown(link->fd, SHUT_RDWR);
    return link_gone(link, dev) ? 1 : 0;
}

// Frames the link's unread bytes into its backlog as far as it has room.
void link_frame(subdev_tcp_link_t &l) {
    while (l.unread_off < l.unread_len && l.backlog.size() < ORVI_TCP_LINK_QUEUE) {
        l.unread_off += orvi_tcp_framer_feed_some(&l.framer, l.unread + l.unread_off, l.unread_len - l.unread_off,
                                                  ORVI_TCP_LINK_QUEUE - l.backlog.size(), [&l](std::string &&obj) {
                                                      l.backlog.push_back(std::move(obj));
                                                      l.last_object_ms.store(orvi_port_monotonic_ms());
                                                  });
    }
    if (l.unread_off >= l.unread_len) l.unread_off = l.unread_len = 0;
}

bool link_can_read(const subdev_tcp_link_t &l) {
    return l.unread_len == 0 && l.backlog.size() < ORVI_TCP_LINK_QUEUE;
}
}  // namespace

subdev_tcp_link_s::~subdev_tcp_link_s() {
    if (fd >= 0) ::close(fd);
}

// ---- Framer -------------------------------------------------------------------

size_t orvi_tcp_framer_feed_some(orvi_tcp_framer_t *f, const char *data, size_t len, size_t max_objects,
                                 const std::function<void(std::string &&)> &emit) {
    if (!f || !data || max_objects == 0) return 0;
    size_t emitted = 0;
    size_t i = 0;
    while (i < len) {
        if (f->depth == 0) {
            // Between objects everything but an opening brace is noise.
            const void *brace = std::memchr(data + i, '{', len - i);
            if (!brace) {
                i = len;
                break;
            }
            i = static_cast<size_t>(static_cast<const char *>(brace) - data) + 1;
            f->depth = 1;
            f->in_str = f->esc = f->discarding = false;
            f->buf.assign(1, '{');
            continue;
        }
        char c = data[i++];
        if (!f->discarding) {
            if (f->buf.size() >= ORVI_TCP_LINK_BUF_SIZE) {
                ORVI_LOGW("buffer data length is %d ,input data is %d,that sum is more than %d,clear it.",
                          static_cast<int>(f->buf.size()), static_cast<int>(len), ORVI_TCP_LINK_BUF_SIZE);
                f->buf.clear();
                f->buf.shrink_to_fit();
                f->discarding = true;
            } else {
                f->buf.push_back(c);
            }
        }
        if (f->in_str) {
            if (f->esc)
                f->esc = false;
            else if (c == '\\')
                f->esc = true;
            else if (c == '"')
                f->in_str = false;
            continue;
        }
        if (c == '"') {
            f->in_str = true;
        } else if (c == '{') {
            if (f->depth < ORVI_TCP_DEPTH_MAX) {
                ++f->depth;
            } else if (!f->discarding) {
                // Deeper levels are not counted: the object is dropped and
                // framing resumes once this many levels have closed.
                ORVI_LOGW("object nested deeper than %d levels can never fit %d bytes, dropped",
                          ORVI_TCP_DEPTH_MAX, ORVI_TCP_LINK_BUF_SIZE);
                f->buf.clear();
                f->buf.shrink_to_fit();
                f->discarding = true;
            }
        } else if (c == '}' && --f->depth == 0) {
            const bool whole = !f->discarding;
            if (whole)
                emit(std::move(f->buf));
            else
                ORVI_LOGW("input data is more than %d bytes", ORVI_TCP_LINK_BUF_SIZE);
            f->buf.clear();
            f->discarding = false;
            if (whole && ++emitted == max_objects) break;
        }
    }
    if (i == len && f->depth > 0 && !f->discarding) ORVI_LOGD("haven't json package");
    return i;
}

int orvi_tcp_framer_feed(orvi_tcp_framer_t *f, const char *data, size_t len,
                         const std::function<void(std::string &&)> &emit) {
    int emitted = 0;
    orvi_tcp_framer_feed_some(f, data, len, static_cast<size_t>(-1), [&](std::string &&obj) {
        ++emitted;
        emit(std::move(obj));
    });
    return emitted;
}

// ---- Link list ----------------------------------------------------------------

subdev_tcp_link_list_t *orvi_subdev_tcp_link_list(void) {
    orvi::MutexLock lk(orvi_subdev_tcp_list_mu);
    if (!g_list) orvi_subdev_tcp_link_list_init(&g_list);
    return g_list;
}

int orvi_subdev_tcp_link_list_init(subdev_tcp_link_list_t **list) {
    if (!list) return -1;
    auto *l = new subdev_tcp_link_list_t;
    l->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    *list = l;
    return 0;
}

void orvi_subdev_tcp_link_list_free(subdev_tcp_link_list_t *list) {
    if (!list) return;
    if (list->wake_fd >= 0) ::close(list->wake_fd);
    delete list;
}

subdev_tcp_link_ptr orvi_subdev_tcp_link_create(subdev_tcp_link_list_t *, int fd,
                                                const struct sockaddr_in *addr) {
    auto link = std::make_shared<subdev_tcp_link_t>();
    link->fd = fd;
    if (addr) link->ip_addr = *addr;
    link->last_object_ms.store(orvi_port_monotonic_ms());
    return link;
}

int orvi_subdev_tcp_link_insert(subdev_tcp_link_list_t *list, const subdev_tcp_link_ptr &link) {
    if (!list || !link) return -1;
    subdev_tcp_link_ptr victim;
    orvi_subdev_ptr victim_dev;
    const uint64_t now = orvi_port_monotonic_ms();
    {
        orvi::MutexLock lk(list->sem);
        if (list->list_size() >= ORVI_TCP_LINK_MAX) {
            // The link that has gone longest without a complete object makes
            // room: a full list must not lock new devices out.
            for (const auto &l : list->links)
                if (!victim || idle_ms(*l, now) > idle_ms(*victim, now)) victim = l;
            unlist_locked(list, victim);
            victim_dev = victim->subdev_ptr;
        }
        list->links.push_back(link);
        list->max_fd = std::max(list->max_fd, link->fd);
    }
    wake(list);
    if (!victim) return 0;
    ORVI_LOGW("tcp link list is full (%d links): link %s (fd %d, idle %llu s) closed for new link %s (fd %d)",
              ORVI_TCP_LINK_MAX, peer_text(victim->ip_addr).c_str(), victim->fd,
              static_cast<unsigned long long>(idle_ms(*victim, now) / 1000), peer_text(link->ip_addr).c_str(),
              link->fd);
    ::shutdown(victim->fd, SHUT_RDWR);
    return link_gone(victim, victim_dev) ? 1 : 0;
}

int orvi_subdev_tcp_link_delete(subdev_tcp_link_list_t *list, int fd) {
    if (!list) return -1;
    subdev_tcp_link_ptr gone;  // released after the lock
    orvi::MutexLock lk(list->sem);
    auto it = std::find_if(list->links.begin(), list->links.end(),
                           [fd](const subdev_tcp_link_ptr &l) { return l->fd == fd; });
    if (it == list->links.end()) return -1;
    gone = *it;
    list->links.erase(it);
    gone->retired.store(true);
    orvi_subdev_tcp_link_maxfd_update(list);
    return 0;
}

void orvi_subdev_tcp_link_maxfd_update(subdev_tcp_link_list_t *list) {
    list->max_fd = -1;
    for (const auto &l : list->links)
        list->max_fd = std::max(list->max_fd, l->fd);
}

subdev_tcp_link_ptr orvi_subdev_tcp_link_get(subdev_tcp_link_list_t *list, int fd) {
    if (!list) return nullptr;
    orvi::MutexLock lk(list->sem);
    for (const auto &l : list->links)
        if (l->fd == fd) return l;
    return nullptr;
}

int orvi_subdev_tcp_link_ipaddr_update(const subdev_tcp_link_ptr &link) {
    if (!link) return -1;
    struct sockaddr_in a {};
    socklen_t len = sizeof a;
    if (::getpeername(link->fd, reinterpret_cast<struct sockaddr *>(&a), &len) != 0) return -1;
    link->ip_addr = a;
    return 0;
}

int orvi_subdev_tcp_link_dev_bind(subdev_tcp_link_list_t *list, const subdev_tcp_link_ptr &link,
                                  const orvi_subdev_ptr &dev) {
    if (!list || !link) return -1;
    orvi::MutexLock lk(list->sem);
    link->subdev_ptr = dev;
    return 0;
}

int orvi_subdev_tcp_fd_readset_all(subdev_tcp_link_list_t *list, std::vector<struct pollfd> &fds) {
    orvi::MutexLock lk(list->sem);
    for (const auto &l : list->links)
        if (link_can_read(*l)) fds.push_back({l->fd, POLLIN, 0});
    return list->list_size();
}

int orvi_subdev_tcp_link_read(subdev_tcp_link_list_t *list, int fd) {
    subdev_tcp_link_ptr link = orvi_subdev_tcp_link_get(list, fd);
    if (!link) return -1;
    // What was read before is framed first; nothing more is read until the
    // backlog has room again.
    link_frame(*link);
    if (!link_can_read(*link)) return 0;
    ssize_t n = ::recv(fd, link->unread, ORVI_TCP_READ_SIZE, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    if (n > 0) {
        link->unread_off = 0;
        link->unread_len = static_cast<size_t>(n);
        link_frame(*link);
        return 0;
    }

    // The peer closed (or the connection broke).
    orvi_subdev_ptr dev;
    {
        orvi::MutexLock lk(list->sem);
        if (!unlist_locked(list, link)) return 0;  // closed by the host meanwhile
        dev = link->subdev_ptr;
    }
    return link_gone(link, dev) ? 1 : 0;
}

int orvi_subdev_tcp_links_pump(subdev_tcp_link_list_t *list) {
    if (!list) return 0;
    std::vector<subdev_tcp_link_ptr> links;
    {
        orvi::MutexLock lk(list->sem);
        links = list->links;
    }
    const size_t n = links.size();
    int queued = 0;
    // One object per link in turn; the round ends after a full pass that
    // found nothing waiting.
    for (size_t empty = 0; empty < n;) {
        if (orvi_transport_pending() >= ORVI_TCP_QUEUE_SHARE) break;
        const size_t at = list->turn % n;
        subdev_tcp_link_t &l = *links[at];
        if (l.retired.load() || l.backlog.empty()) {
            list->turn = at + 1;
            ++empty;
            continue;
        }
        request_type_t req;
        req.data_type = DATA_TYPE_NEED_PARSE;
        req.data = std::move(l.backlog.front());
        req.sockinfo.fd = l.fd;
        req.sockinfo.ip_addr = l.ip_addr;
        req.sockinfo.type = SOCKET_CONNECT_TYPE_TCP;
        if (orvi_transport_deliver(req) != 0) {
            // Kept, in order, for the next round; this link goes first then.
            l.backlog.front() = std::move(req.data);
            ORVI_LOGW("orvi_request_queue_send is fail!");
            break;
        }
        l.backlog.pop_front();
        link_frame(l);
        ++queued;
        empty = 0;
        list->turn = at + 1;
    }
    return queued;
}

bool orvi_subdev_tcp_links_waiting(subdev_tcp_link_list_t *list) {
    if (!list) return false;
    orvi::MutexLock lk(list->sem);
    for (const auto &l : list->links)
        if (!l->backlog.empty()) return true;
    return false;
}

int orvi_subdev_tcp_link_idle_close(subdev_tcp_link_list_t *list, uint64_t now_ms) {
    if (!list) return 0;
    std::vector<subdev_tcp_link_ptr> idle;
    {
        orvi::MutexLock lk(list->sem);
        for (const auto &l : list->links)
            if (idle_ms(*l, now_ms) >= ORVI_TCP_IDLE_CLOSE_MS) idle.push_back(l);
    }
    int offline = 0;
    for (const auto &l : idle) {
        ORVI_LOGW("tcp link %s (fd %d) sent no complete object for %llu s, closed", peer_text(l->ip_addr).c_str(),
                  l->fd, static_cast<unsigned long long>(idle_ms(*l, now_ms) / 1000));
        offline += link_close(list, l);
    }
    return offline;
}

// ---- Threads ------------------------------------------------------------------

void *orvi_subdev_tcp_server_thread(void *) {
    subdev_tcp_link_list_t *list = orvi_subdev_tcp_link_list();
    unsigned short port = orvi_socket_ports().tcp_server;
    int listen_fd;
    int fails = 0;
    while ((listen_fd = orvi_socket_tcp_server_create(port, ORVI_TCP_BACKLOG)) < 0) {
        ORVI_LOGW("orvi_socket_tcp_server_create return fail!!!");
        if (++fails > kServerRetries) {
            ORVI_LOGE("orvi_socket_tcp_server_create fail and retry more than 60 times!!!");
            orvi_reboot();
            fails = 0;
        }
        orvi_port_sleep_ms(1000);
    }
    for (;;) {
        struct sockaddr_in peer {};
        socklen_t len = sizeof peer;
        int fd = ::accept4(listen_fd, reinterpret_cast<struct sockaddr *>(&peer), &len,
                           SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR) continue;
            ORVI_LOGW("client_fd accept fail!!!");
            orvi_port_sleep_ms(kAcceptPauseMs);
            continue;
        }
        if (orvi_socket_keepalive(fd, 10, 2, 2) != 0) {
            ORVI_LOGW("client_fd [%d] set keepalive failed", fd);
            ::close(fd);
            continue;
        }
        // The link owns the descriptor: a refused link closes the connection.
        subdev_tcp_link_ptr link = orvi_subdev_tcp_link_create(list, fd, &peer);
        int rc = orvi_subdev_tcp_link_insert(list, link);
        if (rc >= 0) ORVI_LOGI("tcp client %s connected, fd %d", peer_text(peer).c_str(), fd);
        if (rc > 0) orvi_event_post_value(ORVI_EVENT_CONNECT_UPLOAD, 0);
        link.reset();
        orvi_port_sleep_ms(kAcceptPauseMs);
    }
    return nullptr;
}

void *orvi_subdev_tcp_recv_thread(void *) {
    subdev_tcp_link_list_t *list = orvi_subdev_tcp_link_list();
    std::vector<struct pollfd> fds;
    for (;;) {
        int offline = orvi_subdev_tcp_link_idle_close(list, orvi_port_monotonic_ms());
        orvi_subdev_tcp_links_pump(list);
        fds.clear();
        bool empty = orvi_subdev_tcp_fd_readset_all(list, fds) == 0;
        // Objects waiting for room are looked at again soon; the request task
        // frees room without telling anybody.
        int timeout = orvi_subdev_tcp_links_waiting(list) ? kQueueRetryMs : empty ? kIdleWaitMs : kPollTimeoutMs;
        fds.push_back({list->wake_fd, POLLIN, 0});
        int r = ::poll(fds.data(), fds.size(), timeout);
        if (r < 0) {
            if (errno == EINTR) continue;
            ORVI_LOGW("select return failed %d", errno);
            orvi_port_sleep_ms(1000);
            continue;
        }
        for (size_t i = 0; i + 1 < fds.size(); ++i) {
            if (fds[i].revents && orvi_subdev_tcp_link_read(list, fds[i].fd) > 0) ++offline;
        }
        if (fds.back().revents) {
            uint64_t v;
            if (::read(list->wake_fd, &v, sizeof v) < 0) {
            }
        }
        orvi_subdev_tcp_links_pump(list);
        if (offline) orvi_event_post_value(ORVI_EVENT_CONNECT_UPLOAD, 0);
        orvi_port_sleep_ms(1);
    }
    return nullptr;
}

int orvi_subdev_tcp_server_init(void) {
    if (!orvi_subdev_tcp_link_list()) return -1;
    pthread_t tid;
    if (orvi_pthread_create_detach(&tid, nullptr, orvi_subdev_tcp_server_thread, nullptr,
                                   "orvi_subdev_tcp_server_thread") != 0)
        return -1;
    if (orvi_pthread_create_detach(&tid, nullptr, orvi_subdev_tcp_recv_thread, nullptr,
                                   "orvi_subdev_tcp_recv_thread") != 0)
        return -1;
    return 0;
}
