// The broker speaks an unframed stream of JSON objects in both directions,
// so the receive side cuts the stream itself (uds_frame_split) instead of
// trusting read boundaries, and the send side always writes a whole message.
#include "uds_client.h"

#include <cJSON.h>
#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "orvi_field.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_system.h"
#include "queue_msg_list.h"

namespace {

// Status messages wait in `publish_msg`; every other message (commands,
// replies, scene requests) waits in `publish_ctrl_msg`, which is served first.
// Both are FIFO, so each class keeps its order.
queue_msg_list publish_msg;
queue_msg_list publish_ctrl_msg;
std::atomic<int> g_in_flight{0};
std::atomic<bool> g_publish_stop{false};
std::atomic<bool> g_brocker_started{false};

constexpr int kCheckTimes = 10;           // close budget: more than this many empty reads
constexpr int kPublishFailLimit = 20;     // connection rounds before the sender gives up
constexpr int kPublishWriteTries = 3;     // connections one message may fail on
constexpr unsigned kPublishGapMs = 35;    // between two messages
constexpr unsigned kPublishIdleMs = 100;  // queue empty
constexpr unsigned kResubscribeWaitMs = 10000;
constexpr unsigned kReconnectWaitMs = 1000;  // after a close or a read error
constexpr unsigned kSendStallMs = 10000;     // a write making no progress for this long fails

std::atomic<void (*)(unsigned)> g_sleep{nullptr};
std::atomic<unsigned> g_pass_wait_ms{3000};
std::atomic<unsigned> g_select_quiet_ms{3000};
std::atomic<unsigned> g_select_total_ms{10000};

// Messages waiting in the two publish queues.
int queued_count(void) {
    int n = 0;
    for (queue_msg_list *list : {&publish_ctrl_msg, &publish_msg}) {
        int c = getTheQueMsgNodeNumInList(list);
        if (c > 0) n += c;
    }
    return n;
}

// Waits between attempts; tests replace them so retries cost no time.
void retry_sleep(unsigned ms) {
    void (*fn)(unsigned) = g_sleep.load();
    if (fn)
        fn(ms);
    else
        orvi_port_sleep_ms(ms);
}

bool exit_raised(const std::atomic<int> *flag) {
    return flag && flag->load() == 1;
}

std::string broker_path() {
    return orvi_path(EVENT_BROKER_PATH);
}

long current_tid() {
    return static_cast<long>(::syscall(SYS_gettid));
}

// The address length the broker expects: the family field plus the path
// without its terminating zero.
socklen_t uds_addr_len(const sockaddr_un &a) {
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strnlen(a.sun_path, sizeof a.sun_path));
}

// {"type", "topicFilter", "cmd"} printed unformatted; empty on failure.
std::string build_request(const char *type, const char *topic, const char *cmd) {
    std::unique_ptr<cJSON, void (*)(cJSON *)> req(cJSON_CreateObject(), cJSON_Delete);
    if (!req) return "";
    cJSON_AddStringToObject(req.get(), "type", type ? type : "");
    cJSON_AddStringToObject(req.get(), "topicFilter", topic ? topic : "");
    cJSON_AddStringToObject(req.get(), "cmd", cmd);
    char *text = cJSON_PrintUnformatted(req.get());
    if (!text) return "";
    std::string out(text);
    cJSON_free(text);
    return out;
}

// What one received frame means for its subscription.
enum class FrameResult { Delivered, Ignored, Refused };

FrameResult handle_frame(const char *topic, const std::string &frame, event_subscribe_cb_t callback) {
    BOARD_LOG(BOARD_LOG_CLASS_8, "receive all data length is %d,data :%s!!!!!\n\n",
              static_cast<int>(frame.size()), frame.c_str());
    cJSON *json = cJSON_Parse(frame.c_str());
    if (!json) {
        BOARD_LOG(BOARD_LOG_CLASS_8, "topic[%s]:the receive data isn't a josn package\n\n", topic);
        return FrameResult::Ignored;
    }
    const cJSON *r = cJSON_GetObjectItemCaseSensitive(json, "r");
    bool refused = cJSON_IsNumber(r) && r->valueint == 2;
    bool has_data = cJSON_GetObjectItemCaseSensitive(json, "data") != nullptr;
    cJSON_Delete(json);
    if (refused) {
        BOARD_LOG(BOARD_LOG_CLASS_8, "the topic [%s] subscribe faild\n\n", topic);
        return FrameResult::Refused;
    }
    if (!has_data) return FrameResult::Ignored;
    if (callback) callback(frame.c_str());
    return FrameResult::Delivered;
}

// Waits up to `ms` for `fd` to become readable: 1 readable (or closed), 0
// time-out, -1 error.
int wait_readable(int fd, unsigned ms) {
    struct pollfd p = {fd, POLLIN, 0};
    int rc = ::poll(&p, 1, static_cast<int>(ms));
    if (rc < 0) return errno == EINTR ? 0 : -1;
    return rc > 0 ? 1 : 0;
}

}  // namespace

// ---- Connections -------------------------------------------------------------

int uds_client_build(const char *path) {
    if (!path || !*path) return -1;
    long tid = current_tid();
    BOARD_LOG(BOARD_LOG_CLASS_8, "get tid return %d !!!\n\n", static_cast<int>(tid));
    std::string client_path = std::string(path) + "_" + std::to_string(tid);

    sockaddr_un client = {};
    sockaddr_un server = {};
    client.sun_family = AF_UNIX;
    server.sun_family = AF_UNIX;
    if (!orvi_field_set(client.sun_path, client_path) || !orvi_field_set(server.sun_path, path)) {
        ORVI_LOGW("unix domain socket path [%s] is too long", client_path.c_str());
        return -1;
    }

    int fd = -1;
    for (int attempt = 1; attempt <= 5; ++attempt) {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0) break;
        BOARD_LOG(BOARD_LOG_CLASS_8,
                  "unix domain socket create failed,will try again after 5 seconds !!!\n\n");
        if (attempt < 5) retry_sleep(5000);
    }
    if (fd < 0) return -1;

    bool bound = false;
    for (int attempt = 1; attempt <= 5; ++attempt) {
        ::unlink(client.sun_path);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&client), uds_addr_len(client)) == 0) {
            bound = true;
            break;
        }
        BOARD_LOG(BOARD_LOG_CLASS_8, "unix domain socket bind failed,will try again after 5 seconds !!!\n\n");
        if (attempt < 5) retry_sleep(5000);
    }
    if (!bound) {
        ::close(fd);
        return -1;
    }

    for (int attempt = 1; attempt <= 5; ++attempt) {
        if (::connect(fd, reinterpret_cast<sockaddr *>(&server), uds_addr_len(server)) == 0) return fd;
        BOARD_LOG(BOARD_LOG_CLASS_8,
                  "unix domain socket connect to [%s]failed:%d,will try again after 1 seconds !!!\n\n", path,
                  errno);
        if (attempt < 5) retry_sleep(1000);
    }
    ::close(fd);
    ::unlink(client.sun_path);
    return -1;
}

int is_uds_closed(int select_ret, int read_ret) {
    if (select_ret == 1 && read_ret == 0) {
        BOARD_LOG(BOARD_LOG_CLASS_8, "errno is %d\n\n", errno);
        return 1;
    }
    return 0;
}

int uds_send(int fd, const char *data, size_t length) {
    if (fd < 0 || (!data && length)) return -1;
    size_t off = 0;
    uint64_t last_progress = orvi_port_monotonic_ms();
    while (off < length) {
        // Never blocks, so a broker that stops reading costs a bounded wait
        // and a reconnect, not the sender thread.
        ssize_t n = ::send(fd, data + off, length - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            off += static_cast<size_t>(n);
            last_progress = orvi_port_monotonic_ms();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        uint64_t waited = orvi_port_monotonic_ms() - last_progress;
        if (waited >= kSendStallMs) {
            errno = ETIMEDOUT;
            return -1;
        }
        struct pollfd p = {fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(kSendStallMs - waited)) < 0 && errno != EINTR) return -1;
    }
    return static_cast<int>(length);
}

int uds_read(int fd, char *buffer, size_t size) {
    ssize_t n;
    do {
        n = ::read(fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    return static_cast<int>(n);
}

// ---- Stream splitting --------------------------------------------------------

void uds_frame_splitter_reset(uds_frame_splitter_t *s) {
    if (!s) return;
    s->frame.clear();
    s->depth = 0;
    s->in_string = false;
    s->escaped = false;
    s->discarding = false;
}

int uds_frame_split(uds_frame_splitter_t *s, const char *data, size_t n, std::vector<std::string> &frames) {
    if (!s || !data) return 0;
    // Every level costs at least its two braces.
    const int depth_max = static_cast<int>(std::min<size_t>(std::max<size_t>(s->limit / 2, 1), INT_MAX));
    int dropped = 0;
    size_t i = 0;
    while (i < n) {
        if (s->depth == 0) {
            // Between objects: whatever precedes the next "{" is not a frame.
            const void *brace = std::memchr(data + i, '{', n - i);
            if (!brace) break;
            i = static_cast<size_t>(static_cast<const char *>(brace) - data);
            uds_frame_splitter_reset(s);
        }
        size_t start = i;
        bool done = false;
        for (; i < n && !done; ++i) {
            char c = data[i];
            if (s->in_string) {
                if (s->escaped)
                    s->escaped = false;
                else if (c == '\\')
                    s->escaped = true;
                else if (c == '"')
                    s->in_string = false;
            } else if (c == '"') {
                s->in_string = true;
            } else if (c == '{') {
                if (s->depth < depth_max) {
                    ++s->depth;
                } else if (!s->discarding) {
                    ORVI_LOGW("frame nested deeper than %d levels dropped", depth_max);
                    ++dropped;
                    s->discarding = true;
                    s->frame.clear();
                }
            } else if (c == '}') {
                done = --s->depth == 0;
            }
        }
        if (!s->discarding) {
            size_t take = i - start;
            if (s->frame.size() + take > s->limit) {
                // Followed to its end, not kept: a frame quoted inside it
                // must not pass for a real one.
                ORVI_LOGW("frame longer than %zu bytes dropped", s->limit);
                ++dropped;
                s->discarding = true;
                s->frame.clear();
                s->frame.shrink_to_fit();
            } else {
                s->frame.append(data + start, take);
            }
        }
        if (done) {
            if (!s->discarding) frames.push_back(std::move(s->frame));
            uds_frame_splitter_reset(s);
        }
    }
    return dropped;
}

// ---- Publishing --------------------------------------------------------------

int event_brocker_remove_stale(void) {
    // A directory scan rather than "rm <path>_*": nothing of the path ever
    // reaches a shell, and only the client sockets' names match.
    std::string path = broker_path();
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    std::string prefix = (slash == std::string::npos ? path : path.substr(slash + 1)) + "_";
    int removed = 0;
    if (DIR *d = ::opendir(dir.c_str())) {
        while (struct dirent *e = ::readdir(d)) {
            if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) != 0) continue;
            std::string file = dir + "/" + e->d_name;
            if (::unlink(file.c_str()) == 0) ++removed;
        }
        ::closedir(d);
    }
    BOARD_LOG(BOARD_LOG_CLASS_8, "remove done!\n\n");
    return removed;
}

int event_publish_queue_init(void) {
    return queueMsgListInit(&publish_msg) == 0 && queueMsgListInit(&publish_ctrl_msg) == 0 ? 0 : -1;
}

int event_brocker_init(void *) {
    if (g_brocker_started.exchange(true)) {
        ORVI_LOGW("the event publisher is already running");
        return 0;
    }
    event_brocker_remove_stale();
    event_publish_queue_init();
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_t tid;
    static char arg[] = "publish_thread";
    int rc = orvi_pthread_create_detach(&tid, &attr, event_publish_thread, arg, "publish_thread");
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        BOARD_LOG(BOARD_LOG_CLASS_8, "publish thread is fail!\n\n");
        g_brocker_started.store(false);
        return -1;
    }
    BOARD_LOG(BOARD_LOG_CLASS_8, "publish thread is success!\n\n");
    return 0;
}

int server_event_brocker(void) {
    return event_brocker_init(nullptr);
}

int event_publish(const char *text, size_t) {
    if (!text) return -1;
    if (std::strstr(text, "/status")) {
        if (insertQueMsgNodeToList(&publish_msg, text) != 0) {
            BOARD_LOG(BOARD_LOG_CLASS_8,
                      "insert message to publish message list fail,list node numbers is %d!!!\n\n",
                      getTheQueMsgNodeNumInList(&publish_msg));
            return -1;
        }
        return 0;
    }
    if (insertQueMsgNodeToList(&publish_ctrl_msg, text) != 0) {
        BOARD_LOG(BOARD_LOG_CLASS_8,
                  "insert message to publish message head list fail,list node numbers is %d!!!\n\n",
                  getTheQueMsgNodeNumInList(&publish_ctrl_msg));
        return -1;
    }
    return 0;
}

int event_publish_next(std::string &out) {
    std::vector<char> buf;
    for (queue_msg_list *list : {&publish_ctrl_msg, &publish_msg}) {
        // Counted first so an empty queue prints nothing; only the sender pops.
        if (getTheQueMsgNodeNumInList(list) <= 0) continue;
        if (getTheQueMsgInList(list, buf) != 0) continue;
        out.assign(buf.data());
        return 0;
    }
    return -1;
}

int event_publish_pending(void) {
    // The queues first: the sender marks a message in flight before taking
    // it, so one that is gone from the queues is seen in flight here.
    int queued = queued_count();
    return queued + g_in_flight.load();
}

void event_publish_thread_stop(bool stop) {
    g_publish_stop.store(stop);
}

void *event_publish_thread(void *) {
    std::string path = broker_path();
    int failures = 0;
    // The message being written stays here until a write of it succeeds, so
    // a broken connection delays it instead of losing it.
    std::string msg;
    int msg_tries = 0;
    while (!g_publish_stop.load()) {
        int fd = uds_client_build(path.c_str());
        if (fd < 0) {
            BOARD_LOG(BOARD_LOG_CLASS_8, "event publish thread create fail !!!\n\n");
            if (++failures > kPublishFailLimit) {
                orvi_plain_write("[%s %d][%s] uds_client_build create failed more than 20 times, exit\n",
                                 __func__, __LINE__, __func__);
                std::_Exit(1);
            }
            retry_sleep(1000);
            continue;
        }
        failures = 0;
        while (!g_publish_stop.load()) {
            if (msg.empty()) {
                if (queued_count() == 0) {
                    orvi_port_sleep_ms(kPublishIdleMs);
                    continue;
                }
                // Counted in flight before it leaves its queue: a caller
                // waiting for event_publish_pending() to reach 0 must never
                // see a message that is neither queued nor in flight. Only
                // this thread takes messages, so one is there to take.
                g_in_flight.store(1);
                if (event_publish_next(msg) != 0) {
                    g_in_flight.store(0);
                    continue;
                }
            }
            int w = uds_send(fd, msg.c_str(), msg.size());
            BOARD_LOG(BOARD_LOG_CLASS_8, "publish message : %s\nwrite:%d\n\n", msg.c_str(), w);
            if (w < 0) {
                BOARD_LOG(BOARD_LOG_CLASS_8,
                          "write failed,maybe the socke link was close.release and build again\n\n");
                if (++msg_tries >= kPublishWriteTries) {
                    ORVI_LOGW("publish message dropped after %d failed writes: %s", msg_tries, msg.c_str());
                    msg.clear();
                    msg_tries = 0;
                    g_in_flight.store(0);
                }
                break;
            }
            msg.clear();
            msg_tries = 0;
            g_in_flight.store(0);
            orvi_port_sleep_ms(kPublishGapMs);
        }
        ::close(fd);
    }
    return nullptr;
}

// ---- Subscriptions and queries -------------------------------------------------

int event_subscribe(const char *type, const char *topic, event_subscribe_cb_t callback,
                    std::atomic<int> *exit_flag) {
    if (!topic) topic = "";
    std::string request = build_request(type, topic, "sub");
    if (request.empty()) return -1;
    BOARD_LOG(BOARD_LOG_CLASS_8, "subcribe message :%s\n\n", request.c_str());
    if (exit_flag) exit_flag->store(0);
    std::string path = broker_path();
    std::vector<char> buf(UDS_READ_SIZE + 1);
    std::vector<std::string> frames;
    uds_frame_splitter_t splitter;

    for (;;) {
        if (exit_raised(exit_flag)) return 0;
        int fd = uds_client_build(path.c_str());
        if (fd < 0) {
            BOARD_LOG(BOARD_LOG_CLASS_8, "socket create fail,which topic is %s !!!\n\n", topic);
            BOARD_LOG(BOARD_LOG_CLASS_8, "if the scripter isn't exit,will try again after 10 seconds!\n\n");
            if (exit_raised(exit_flag)) return 0;
            retry_sleep(kResubscribeWaitMs);
            continue;
        }
        BOARD_LOG(BOARD_LOG_CLASS_8, "the topic [%s] socket is create successfully!!!\n\n", topic);
        if (uds_send(fd, request.data(), request.size()) < 0) {
            BOARD_LOG(BOARD_LOG_CLASS_8, "topic[%s]:send subscribe request failed:%d\n\n", topic, errno);
            ::close(fd);
            retry_sleep(kReconnectWaitMs);
            continue;
        }
        // Each connection starts at a frame boundary.
        uds_frame_splitter_reset(&splitter);
        int closes = 0;
        bool reconnect = false;
        while (!reconnect) {
            if (exit_raised(exit_flag)) {
                ::close(fd);
                return 0;
            }
            int ready = wait_readable(fd, g_pass_wait_ms.load());
            if (ready < 0) {
                BOARD_LOG(BOARD_LOG_CLASS_8, "topic[%s]:wait failed:%d,reconnect\n\n", topic, errno);
                reconnect = true;
                break;
            }
            if (ready == 0) continue;
            int n = uds_read(fd, buf.data(), UDS_READ_SIZE);
            buf[n > 0 ? static_cast<size_t>(n) : 0] = '\0';
            BOARD_LOG(BOARD_LOG_CLASS_8, "topic[%s]:receive %d bytes data:%s\n\n", topic, n, buf.data());
            if (is_uds_closed(ready, n)) {
                if (++closes > kCheckTimes) {
                    BOARD_LOG(BOARD_LOG_CLASS_8,
                              "detecting the remote socket is closed,will restart [%s] now!!!!!\n\n", topic);
                    reconnect = true;
                }
                continue;
            }
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
                // An error does not go away by reading again: start over.
                ORVI_LOGW("topic[%s]: read failed (errno %d), reconnecting", topic, errno);
                reconnect = true;
                break;
            }
            closes = 0;
            frames.clear();
            uds_frame_split(&splitter, buf.data(), static_cast<size_t>(n), frames);
            for (const std::string &frame : frames) {
                if (handle_frame(topic, frame, callback) == FrameResult::Refused) {
                    ::close(fd);
                    return -1;
                }
            }
        }
        ::close(fd);
        if (exit_raised(exit_flag)) return 0;
        retry_sleep(kReconnectWaitMs);
    }
}

int event_select(const char *type, const char *topic, std::string &out) {
    out.clear();
    if (!topic) topic = "";
    BOARD_LOG(BOARD_LOG_CLASS_8, "select topic:%s\n\n", topic);
    std::string request = build_request(type, topic, "select");
    if (request.empty()) return -1;
    std::string path = broker_path();
    int fd = uds_client_build(path.c_str());
    if (fd < 0) {
        BOARD_LOG(BOARD_LOG_CLASS_8, "socket create fail,which topic is %s !!!\n\n", topic);
        return -1;
    }
    if (uds_send(fd, request.data(), request.size()) < 0) {
        ORVI_LOGW("select [%s]: request not sent (errno %d)", topic, errno);
        ::close(fd);
        return -1;
    }
    // The broker closes after its answer; one that does not is given up on
    // after a quiet spell or the total budget, with what arrived so far.
    const uint64_t deadline = orvi_port_monotonic_ms() + g_select_total_ms.load();
    std::vector<char> buf(UDS_READ_SIZE + 1);
    int chunks = 0;
    int closes = 0;
    bool too_long = false;
    for (;;) {
        uint64_t now = orvi_port_monotonic_ms();
        if (now >= deadline) {
            BOARD_LOG(BOARD_LOG_CLASS_8, "select timeout!!!!\n\n");
            break;
        }
        unsigned wait = g_select_quiet_ms.load();
        if (deadline - now < wait) wait = static_cast<unsigned>(deadline - now);
        int ready = wait_readable(fd, wait);
        if (ready == 0) {
            BOARD_LOG(BOARD_LOG_CLASS_8, "select timeout!!!!\n\n");
            break;
        }
        if (ready < 0) break;
        int n = uds_read(fd, buf.data(), UDS_READ_SIZE);
        if (is_uds_closed(ready, n)) {
            BOARD_LOG(BOARD_LOG_CLASS_8, "server socket is closed!!!!\n\n");
            if (++closes > kCheckTimes) break;
            continue;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
            ORVI_LOGW("select [%s]: read failed (errno %d)", topic, errno);
            break;
        }
        closes = 0;
        ++chunks;
        if (out.size() + static_cast<size_t>(n) > UDS_SELECT_MAX) {
            too_long = true;
            break;
        }
        out.append(buf.data(), static_cast<size_t>(n));
    }
    ::close(fd);
    if (too_long) {
        ORVI_LOGW("select [%s]: answer longer than %d bytes dropped", topic, UDS_SELECT_MAX);
        out.clear();
        return -1;
    }
    BOARD_LOG(BOARD_LOG_CLASS_8, "reveice msg list node is %d\n\n", chunks);
    BOARD_LOG(BOARD_LOG_CLASS_8, "reveice message count is %d bytes!\n\n", static_cast<int>(out.size()));
    BOARD_LOG(BOARD_LOG_CLASS_8, "reveice message is %s bytes!\n\n", out.c_str());
    return 0;
}

// ---- Tests only --------------------------------------------------------------

void uds_client_set_timing(const uds_client_timing *t) {
    uds_client_timing defaults;
    if (!t) t = &defaults;
    g_sleep.store(t->sleep);
    g_pass_wait_ms.store(t->pass_wait_ms);
    g_select_quiet_ms.store(t->select_quiet_ms);
    g_select_total_ms.store(t->select_total_ms);
}
