// UDP and TCP-client transport, the receive task and the write routine.
//
// The receive task polls without holding the socket lock and takes it again
// before reading; a generation counter bumped by every start and stop tells
// it that the descriptors it polled are gone, so it never reads a descriptor
// number that a restart has handed to another socket.
#include "orvi_socket.h"

#include <arpa/inet.h>
#include <cJSON.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "orvi_field.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_subdev_tcp.h"
#include "orvi_system.h"

// The descriptors below, the generation and the line framer.
orvi::Mutex orvi_socket_mu;
orvi::Mutex orvi_socket_ports_mu;

namespace {
constexpr const char *kErrorLog = "/data/domivault/data/error.log";
constexpr int kPollSliceMs = 1000;  // the receive task re-checks its sockets this often
constexpr int kSendStallMs = 2000;  // a TCP peer that accepts nothing this long is given up
constexpr int kResolveTries = 10;
constexpr unsigned kResolvePauseMs = 500;

int g_udp_fd GUARDED_BY(orvi_socket_mu) = -1;     // receive, port 5000
int g_send_fd GUARDED_BY(orvi_socket_mu) = -1;    // send, port 5001
int g_client_fd GUARDED_BY(orvi_socket_mu) = -1;  // optional TCP client channel
uint64_t g_gen GUARDED_BY(orvi_socket_mu) = 0;
orvi_line_framer_t g_line GUARDED_BY(orvi_socket_mu);

orvi_socket_ports_t g_ports GUARDED_BY(orvi_socket_ports_mu);

std::atomic<unsigned> g_read_pause_ms{50};

void close_fd(int &fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

std::string addr_text(const struct sockaddr_in &a) {
    char ip[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return ip;
}

// Sends the whole buffer on a stream socket: EINTR resumes, a full send
// buffer is waited on for a while; never raises SIGPIPE.
bool send_all(int fd, const char *p, size_t len) {
    while (len > 0) {
        ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            p += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd pf = {fd, POLLOUT, 0};
            int r = ::poll(&pf, 1, kSendStallMs);
            if (r > 0 || (r < 0 && errno == EINTR)) continue;
            ORVI_LOGW("<%d> send stalled for %d ms, given up", fd, kSendStallMs);
            return false;
        }
        ORVI_LOGW("<%d> send, err_str: %d", fd, n < 0 ? errno : 0);
        return false;
    }
    return true;
}

// A packet and its "\n" in one send: sent apart, the lone newline waits for
// the peer's delayed acknowledgement of the packet (some 40 ms) before it
// may leave, and the peer cannot act on the packet until it has it.
bool send_line(int fd, const char *data, size_t size) {
    std::string line;
    line.reserve(size + 1);
    line.append(data, size);
    line.push_back('\n');
    return send_all(fd, line.data(), line.size());
}

bool set_opt(int fd, int level, int name, int value) {
    return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

void fill_request(request_type_t *out, std::string &&data, int fd, const struct sockaddr_in *addr,
                  connect_type_t type) {
    out->key_type = AES_KEY_TYPE_NONE;
    out->data_type = DATA_TYPE_NEED_PARSE;
    out->data = std::move(data);
    out->sockinfo = dev_socket_t{};
    out->sockinfo.fd = fd;
    if (addr) out->sockinfo.ip_addr = *addr;
    out->sockinfo.type = type;
}

// One datagram on `fd` (held under orvi_socket_mu by the caller); 0, or -1 logged.
int send_datagram(int fd, const char *data, size_t size, const struct sockaddr_in &addr) REQUIRES(orvi_socket_mu) {
    if (fd < 0) {
        ORVI_LOGW("the udp socket is closed!");
        return -1;
    }
    ssize_t n;
    do {
        n = ::sendto(fd, data, size, MSG_NOSIGNAL, reinterpret_cast<const struct sockaddr *>(&addr),
                     sizeof addr);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        ORVI_LOGW("<%d> send, err_str: %d", fd, n < 0 ? errno : 0);
        return -1;
    }
    return 0;
}

int write_udp(const char *data, size_t size, const dev_socket_t *to, const orvi_subdev_ptr &dev) {
    dev_type_t type = orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { return d.dev_type; });
    struct sockaddr_in addr = to->ip_addr;
    if (addr.sin_addr.s_addr == 0) {
        ORVI_LOGW("the udp target has no address!");
        return -1;
    }
    addr.sin_family = AF_INET;
    orvi::MutexLock lk(orvi_socket_mu);
    int fd;
    if (type == DEV_TYPE_MINIPRO) {
        // The mini-app listens on the port its request came from.
        fd = g_udp_fd;
        ORVI_LOGI("udp ip_addr -> %s; port -> %d", addr_text(addr).c_str(), ntohs(addr.sin_port));
    } else {
        fd = g_send_fd;
        addr.sin_port = htons(orvi_socket_ports().device_port);
    }
    return send_datagram(fd, data, size, addr);
}

int write_broadcast(const char *data, size_t size) {
    orvi_socket_ports_t ports = orvi_socket_ports();
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(ports.broadcast);
    addr.sin_port = htons(ports.device_port);
    orvi::MutexLock lk(orvi_socket_mu);
    return send_datagram(g_send_fd, data, size, addr);
}

// Forgets a descriptor the record still holds when it is no longer the
// record's link, so no later write can reach whoever gets that number next.
void forget_fd(const orvi_subdev_ptr &dev, int fd) {
    orvi_subdev_locked(dev, [fd](orvi_subdev_list_t &d) {
        if (d.dev_socket.fd == fd) d.dev_socket.fd = -1;
    });
}

int write_tcp(const char *data, size_t size, const orvi_subdev_ptr &dev) {
    if (!dev) {
        ORVI_LOGW("the device %s is not exist!", "NULL");
        return -1;
    }
    dev_socket_t sock = orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { return d.dev_socket; });
    std::string mac(orvi_field_view(dev->mac));
    int fd = sock.fd;
    if (fd <= 0) {
        ORVI_LOGW("the device %s fd is wrong:%d!", mac.c_str(), fd);
        return -1;
    }
    {
        // The TCP client channel carries its own packets.
        orvi::MutexLock lk(orvi_socket_mu);
        if (fd == g_client_fd) return send_line(fd, data, size) ? 0 : -1;
    }
    subdev_tcp_link_list_t *list = orvi_subdev_tcp_link_list();
    subdev_tcp_link_ptr link = orvi_subdev_tcp_link_get(list, fd);
    if (!link) {
        ORVI_LOGW("the device %s fd %d has no tcp link any more!", mac.c_str(), fd);
        forget_fd(dev, fd);
        return -1;
    }
    // A record that knows its peer must find the same peer on the link: a
    // descriptor number reused by another connection is refused.
    if (sock.ip_addr.sin_port != 0 && (sock.ip_addr.sin_addr.s_addr != link->ip_addr.sin_addr.s_addr ||
                                       sock.ip_addr.sin_port != link->ip_addr.sin_port)) {
        ORVI_LOGW("the device %s fd %d belongs to another peer %s:%d now!", mac.c_str(), fd,
                  addr_text(link->ip_addr).c_str(), ntohs(link->ip_addr.sin_port));
        forget_fd(dev, fd);
        return -1;
    }
    orvi_subdev_tcp_link_dev_bind(list, link, dev);
    orvi::MutexLock wl(link->write_mu);
    // Peers read one packet per line.
    return send_line(fd, data, size) ? 0 : -1;
}

}  // namespace

// ---- Makers and wrappers ----------------------------------------------------

int orvi_socket_tcp_server_create(unsigned short port, int backlog) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ORVI_LOGE("socket create");
        return -1;
    }
    if (!set_opt(fd, SOL_SOCKET, SO_REUSEADDR, 1)) {
        ORVI_LOGE("setsockopt SO_REUSEADDR, sockfd: %d", fd);
        ::close(fd);
        return -1;
    }
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        ORVI_LOGE("socket bind, sockfd: %d,port :%x,error:%s", fd, port, strerror(errno));
        ::close(fd);
        return -1;
    }
    if (::listen(fd, backlog) != 0) {
        ORVI_LOGE("socket listen, sockfd: %d", fd);
        ::close(fd);
        return -1;
    }
    return fd;
}

int orvi_socket_tcp_client_create(const char *host, unsigned short port) {
    if (!host) return -2;
    struct addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    int rc = -1;
    for (int i = 0; i < kResolveTries; ++i) {
        rc = ::getaddrinfo(host, nullptr, &hints, &res);
        if (rc == 0 && res) break;
        res = nullptr;
        orvi_port_sleep_ms(kResolvePauseMs);
    }
    if (!res) {
        ORVI_LOGE("cannot resolve %s: %s", host, gai_strerror(rc));
        return -1;
    }
    struct sockaddr_in addr = *reinterpret_cast<struct sockaddr_in *>(res->ai_addr);
    ::freeaddrinfo(res);
    addr.sin_port = htons(port);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ORVI_LOGE("socket create");
        return -1;
    }
    int ret = ::connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr);
    if (ret != 0) {
        ORVI_LOGE("socket connect, ret: %d, ip: %s, port: %d", ret, addr_text(addr).c_str(), port);
        ::close(fd);
        return -1;
    }
    if (!set_opt(fd, IPPROTO_TCP, TCP_NODELAY, 1)) ORVI_LOGE("<%d> setsockopt TCP_NODELAY, ret: %d", fd, -1);
    orvi_socket_keepalive(fd, 30, 6, 3);
    return fd;
}

int orvi_socket_udp_server_create(unsigned short port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ORVI_LOGE("socket create:%d", fd);
        return -1;
    }
    if (!set_opt(fd, SOL_SOCKET, SO_REUSEADDR, 1) || !set_opt(fd, SOL_SOCKET, SO_BROADCAST, 1)) {
        ORVI_LOGE("socket setsockopt: %d", fd);
        ::close(fd);
        return -1;
    }
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        ORVI_LOGE("socket bind:%d", fd);
        ::close(fd);
        return -1;
    }
    return fd;
}

int orvi_socket_udp_broadcast_create(void) {
    return orvi_socket_udp_server_create(orvi_socket_ports().udp_out);
}

ssize_t orvi_socket_send(int fd, const void *buf, size_t len, int flags) {
    if (!buf) return -2;
    ssize_t n;
    do {
        n = ::send(fd, buf, len, flags | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t orvi_socket_recv(int fd, void *buf, size_t len, int flags) {
    if (!buf) return -2;
    ssize_t n;
    do {
        n = ::recv(fd, buf, len, flags);
    } while (n < 0 && errno == EINTR);
    return n;
}

int orvi_socket_close(int fd) {
    return fd >= 0 ? ::close(fd) : -1;
}

int orvi_socket_timeout(int fd, int send_ms, int recv_ms) {
    struct timeval s = {send_ms / 1000, (send_ms % 1000) * 1000};
    struct timeval r = {recv_ms / 1000, (recv_ms % 1000) * 1000};
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &s, sizeof s) != 0) return -1;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &r, sizeof r) != 0) return -1;
    return 0;
}

int orvi_socket_keepalive(int fd, int idle_s, int interval_s, int count) {
    if (fd == -1) return -2;
    if (!set_opt(fd, SOL_SOCKET, SO_KEEPALIVE, 1)) {
        ORVI_LOGE("<%d> setsockopt SO_KEEPALIVE, ret: %d", fd, -1);
        return -1;
    }
    if (!set_opt(fd, IPPROTO_TCP, TCP_KEEPIDLE, idle_s)) {
        ORVI_LOGE("<%d> setsockopt TCP_KEEPIDLE, ret: %d", fd, -1);
        return -1;
    }
    if (!set_opt(fd, IPPROTO_TCP, TCP_KEEPINTVL, interval_s)) {
        ORVI_LOGE("<%d> setsockopt TCP_KEEPINTVL, ret: %d", fd, -1);
        return -1;
    }
    if (!set_opt(fd, IPPROTO_TCP, TCP_KEEPCNT, count)) {
        ORVI_LOGE("<%d> setsockopt TCP_KEEPCNT, ret: %d", fd, -1);
        return -1;
    }
    return 0;
}

int orvi_socket_isreadable(int fd) {
    struct pollfd pf = {fd, POLLIN, 0};
    return ::poll(&pf, 1, 0) > 0 && (pf.revents & POLLIN) ? 0 : -1;
}

int orvi_socket_fflush(int fd) {
    char c;
    while (orvi_socket_isreadable(fd) == 0) {
        if (::recv(fd, &c, 1, MSG_DONTWAIT) <= 0) break;
    }
    return 0;
}

unsigned short orvi_socket_local_port(int fd) {
    struct sockaddr_in a {};
    socklen_t len = sizeof a;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<struct sockaddr *>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

// ---- Line framer ------------------------------------------------------------

size_t orvi_line_framer_space(const orvi_line_framer_t *f) {
    return ORVI_TCP_CLIENT_LINE_MAX - f->len;
}

void orvi_line_framer_commit(orvi_line_framer_t *f, size_t n) {
    if (n > orvi_line_framer_space(f)) n = orvi_line_framer_space(f);
    f->len += n;
    f->buf[f->len] = '\0';
    f->has_line = std::memchr(f->buf, '\n', f->len) != nullptr;
}

bool orvi_line_framer_next(orvi_line_framer_t *f, std::string &out) {
    char *nl = static_cast<char *>(std::memchr(f->buf, '\n', f->len));
    if (!nl) {
        f->has_line = false;
        if (f->len >= ORVI_TCP_CLIENT_LINE_MAX) {
            ORVI_LOGW("tcp client line of more than %d bytes without a newline, dropped",
                      ORVI_TCP_CLIENT_LINE_MAX);
            f->len = 0;
            f->buf[0] = '\0';
        }
        return false;
    }
    size_t n = static_cast<size_t>(nl - f->buf);
    out.assign(f->buf, n);
    size_t rest = f->len - n - 1;
    std::memmove(f->buf, nl + 1, rest);
    f->len = rest;
    f->buf[f->len] = '\0';
    f->has_line = std::memchr(f->buf, '\n', f->len) != nullptr;
    return true;
}

// ---- Transport ----------------------------------------------------------------

int socket_connect_start(const char *host, unsigned short port) {
    orvi_socket_ports_t ports = orvi_socket_ports();
    orvi::MutexLock lk(orvi_socket_mu);
    close_fd(g_udp_fd);
    close_fd(g_send_fd);
    close_fd(g_client_fd);
    g_line = orvi_line_framer_t{};
    ++g_gen;
    g_udp_fd = orvi_socket_udp_server_create(ports.udp_in);
    if (g_udp_fd < 0) {
        ORVI_LOGE("<%d> orvi_socket_udp_server_create is fail!!!", ports.udp_in);
        return -1;
    }
    g_send_fd = orvi_socket_udp_broadcast_create();
    if (g_send_fd < 0) {
        ORVI_LOGE("<%d> orvi_socket_udp_server_create send port is fail!!!", ports.udp_out);
        close_fd(g_udp_fd);
        return -1;
    }
    if (host && port) {
        g_client_fd = orvi_socket_tcp_client_create(host, port);
        if (g_client_fd < 0) return -1;
    }
    return 0;
}

int socket_connect_stop(void) {
    orvi::MutexLock lk(orvi_socket_mu);
    close_fd(g_udp_fd);
    close_fd(g_client_fd);
    g_line = orvi_line_framer_t{};
    ++g_gen;
    return 0;
}

int socket_connect_read(request_type_t *out) {
    int r;
    do {
        r = socket_connect_read_wait(out, -1);
    } while (r == 0);
    return r == 1 ? 0 : -1;
}

int socket_connect_read_wait(request_type_t *out, int timeout_ms) {
    if (!out) return -1;
    const uint64_t deadline = timeout_ms < 0 ? UINT64_MAX : orvi_port_monotonic_ms() + timeout_ms;
    for (;;) {
        int udp, client;
        uint64_t gen;
        {
            orvi::MutexLock lk(orvi_socket_mu);
            std::string line;
            // A further complete line is already buffered: no waiting.
            while (g_line.has_line && orvi_line_framer_next(&g_line, line)) {
                if (line.empty()) continue;
                fill_request(out, std::move(line), g_client_fd, nullptr, SOCKET_CONNECT_TYPE_TCP);
                return 1;
            }
            udp = g_udp_fd;
            client = g_client_fd;
            gen = g_gen;
        }
        uint64_t now = orvi_port_monotonic_ms();
        if (now >= deadline && timeout_ms != 0) return 0;
        int slice = kPollSliceMs;
        if (deadline != UINT64_MAX) slice = static_cast<int>(std::min<uint64_t>(slice, deadline - now));
        if (udp < 0 && client < 0) {
            orvi_port_sleep_ms(static_cast<unsigned>(slice));
            if (timeout_ms == 0) return 0;
            continue;
        }
        struct pollfd fds[2];
        nfds_t n = 0;
        if (udp >= 0) fds[n++] = {udp, POLLIN, 0};
        if (client >= 0) fds[n++] = {client, POLLIN, 0};
        int r = ::poll(fds, n, slice);
        if (r < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            char line[160];
            snprintf(line, sizeof line, "Error type: %s , code:%d", strerror(err), err);
            ORVI_LOGE("%s", line);
            orvi_record_log(kErrorLog, line, sizeof line);
            orvi_system_env_save();
            return -1;
        }
        if (r == 0) {
            if (timeout_ms == 0) return 0;
            continue;
        }

        orvi::MutexLock lk(orvi_socket_mu);
        if (gen != g_gen) continue;  // restarted or stopped meanwhile
        for (nfds_t i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == g_client_fd) {
                size_t space = orvi_line_framer_space(&g_line);
                ssize_t got = ::recv(g_client_fd, g_line.buf + g_line.len, space, MSG_DONTWAIT);
                if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
                if (got <= 0) {
                    // Closed or broken: the channel is given up rather than
                    // reported readable again at every wait.
                    ORVI_LOGW("<%d> recv faill, ret: %zd", g_client_fd, got);
                    close_fd(g_client_fd);
                    g_line = orvi_line_framer_t{};
                    ++g_gen;
                    return -1;
                }
                orvi_line_framer_commit(&g_line, static_cast<size_t>(got));
                std::string line;
                while (orvi_line_framer_next(&g_line, line)) {
                    if (line.empty()) continue;
                    fill_request(out, std::move(line), g_client_fd, nullptr, SOCKET_CONNECT_TYPE_TCP);
                    return 1;
                }
                continue;
            }
            if (fds[i].fd == g_udp_fd) {
                char buf[ORVI_PACKET_MAX + 1];
                struct sockaddr_in from {};
                struct iovec iov = {buf, ORVI_PACKET_MAX};
                struct msghdr msg {};
                msg.msg_name = &from;
                msg.msg_namelen = sizeof from;
                msg.msg_iov = &iov;
                msg.msg_iovlen = 1;
                ssize_t got = ::recvmsg(g_udp_fd, &msg, MSG_DONTWAIT | MSG_TRUNC);
                if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
                if (got <= 0) {
                    ORVI_LOGW("<%d> recv faill, str_err: %ld", g_udp_fd,
                              static_cast<long>(got < 0 ? errno : 0));
                    return -1;
                }
                if (got > ORVI_PACKET_MAX || (msg.msg_flags & MSG_TRUNC)) {
                    // A cut packet would be handed on as a different one.
                    ORVI_LOGW("udp packet of %zd bytes from %s is more than %d bytes, dropped", got,
                              addr_text(from).c_str(), ORVI_PACKET_MAX);
                    return -1;
                }
                buf[got] = '\0';
                fill_request(out, std::string(buf, static_cast<size_t>(got)), g_udp_fd, &from,
                             SOCKET_CONNECT_TYPE_UDP);
                return 1;
            }
        }
    }
}

int socket_connect_write(const char *data, size_t size, const dev_socket_t *to, const orvi_subdev_ptr &dev) {
    if (!data || !to) {
        ORVI_LOGW("parameters error!");
        return -1;
    }
    switch (to->type) {
        case SOCKET_CONNECT_TYPE_UDP:
            return write_udp(data, size, to, dev);
        case SOCKET_CONNECT_TYPE_TCP:
            return write_tcp(data, size, dev);
        case SOCKET_CONNECT_TYPE_BROADCAST:
        case SOCKET_CONNECT_TYPE_MULTICAST:
            return write_broadcast(data, size);
        default:
            ORVI_LOGW("connect type %d has no transport!", static_cast<int>(to->type));
            return -1;
    }
}

// Who a packet is from, for its share of the intake: a UDP sender by its
// address alone (any port of one peer is still that peer), the TCP client
// channel as one sender.
static std::string intake_source(const dev_socket_t &sock) {
    if (sock.type != SOCKET_CONNECT_TYPE_UDP) return "tcp client";
    return addr_text(sock.ip_addr);
}

void socket_intake_pass(socket_intake_t *in, int max_wait_ms, socket_intake_sink_t sink) {
    uint64_t now = orvi_port_monotonic_ms();
    request_type_t req;
    if (now >= in->next_ms && orvi_fair_queue_pop(&in->waiting, req)) {
        if (sink(&req) != 0) ORVI_LOGW("orvi_request_queue_send is fail!");
        in->next_ms = now + g_read_pause_ms.load();
        return;
    }
    // Reading goes on while a packet waits for its turn, so junk and floods
    // are sorted out as they come instead of piling up unread.
    int wait = orvi_fair_queue_empty(&in->waiting) ? -1 : static_cast<int>(in->next_ms - now);
    if (max_wait_ms >= 0 && (wait < 0 || wait > max_wait_ms)) wait = max_wait_ms;
    int r = socket_connect_read_wait(&req, wait);
    if (r == 0) return;
    if (r < 0) {
        ORVI_LOGW("socket_connect_read is failed!");
        return;
    }
    std::string source = intake_source(req.sockinfo);
    if (!orvi_intake_could_be_request(req.data)) {
        ORVI_LOGW("packet of %zu bytes from %s is not a request, dropped", req.data.size(), source.c_str());
        return;
    }
    if (orvi_fair_queue_push(&in->waiting, source, std::move(req)) != 0)
        ORVI_LOGW("%s sends more than its share of the intake, packet dropped", source.c_str());
}

static int deliver(const request_type_t *req) {
    return orvi_transport_deliver(*req);
}

void *socket_handle_task(void *) {
    socket_intake_t intake;
    for (;;)
        socket_intake_pass(&intake, -1, deliver);
    return nullptr;
}

int orvi_socket_handle(void) {
    pthread_t tid;
    return orvi_pthread_create_detach(&tid, nullptr, socket_handle_task, nullptr, "socket_handle_task") == 0
               ? 0
               : -1;
}

// ---- Fair share of the intake ---------------------------------------------------

int orvi_fair_queue_push(orvi_fair_queue_t *q, const std::string &source, request_type_t &&req) {
    if (!q || q->per_source == 0) return -1;
    orvi_fair_queue_t::source_s *mine = nullptr;
    orvi_fair_queue_t::source_s *longest = nullptr;
    for (auto &s : q->ring) {
        if (s.key == source) mine = &s;
        if (!longest || s.q.size() > longest->q.size()) longest = &s;
    }
    if (mine && mine->q.size() >= q->per_source) return -1;
    if (q->total >= q->max_total) {
        // Room is made at the longest backlog, never at a sender's only packet.
        size_t own = mine ? mine->q.size() + 1 : 1;
        if (!longest || longest->q.size() <= own) return -1;
        ORVI_LOGW("%s sends more than its share of the intake, packet dropped", longest->key.c_str());
        longest->q.pop_back();
        --q->total;
    }
    if (!mine) {
        q->ring.push_back({source, {}});
        mine = &q->ring.back();
    }
    mine->q.push_back(std::move(req));
    ++q->total;
    return 0;
}

bool orvi_fair_queue_pop(orvi_fair_queue_t *q, request_type_t &out) {
    if (!q || q->ring.empty()) return false;
    orvi_fair_queue_t::source_s s = std::move(q->ring.front());
    q->ring.pop_front();
    out = std::move(s.q.front());
    s.q.pop_front();
    --q->total;
    // A sender with more waiting goes to the back of the line.
    if (!s.q.empty()) q->ring.push_back(std::move(s));
    return true;
}

bool orvi_fair_queue_empty(const orvi_fair_queue_t *q) {
    return !q || q->ring.empty();
}

bool orvi_intake_could_be_request(const std::string &data) {
    // Cheap refusals first: a flood of junk costs a byte compare, not a parse.
    size_t first = data.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || data[first] != '{') return false;
    cJSON *json = cJSON_ParseWithLength(data.data(), data.size());
    bool ok = cJSON_IsObject(json) && cJSON_IsString(cJSON_GetObjectItemCaseSensitive(json, "t"));
    cJSON_Delete(json);
    return ok;
}

// ---- Hooks ----------------------------------------------------------------------

void orvi_socket_ports_set(const orvi_socket_ports_t &ports) {
    orvi::MutexLock lk(orvi_socket_ports_mu);
    g_ports = ports;
}

orvi_socket_ports_t orvi_socket_ports(void) {
    orvi::MutexLock lk(orvi_socket_ports_mu);
    return g_ports;
}

unsigned short orvi_socket_udp_in_port(void) {
    orvi::MutexLock lk(orvi_socket_mu);
    return orvi_socket_local_port(g_udp_fd);
}

unsigned short orvi_socket_udp_out_port(void) {
    orvi::MutexLock lk(orvi_socket_mu);
    return orvi_socket_local_port(g_send_fd);
}

void orvi_socket_set_read_pause_ms(unsigned ms) {
    g_read_pause_ms.store(ms);
}
