// simbus: the board's event bus broker as the virtual board runs it. One
// thread, one poll loop: accepts clients on the broker's Unix socket, cuts
// each client's unframed stream into JSON objects and answers them:
//
//   {"cmd":"sub","topicFilter":F,...}    -> {"r":1} (or {"r":2} when F is refused),
//                                           then every later message on a topic F matches
//   {"cmd":"select","topicFilter":F,...} -> one frame of the kept messages F matches, then close
//   {"cmd":"data","topic":T,"payload":P,...} -> relayed to every subscriber whose filter matches T,
//                                           and kept (last message per topic) for selects
//
// A delivered frame is {"r":1,"data":{"data":[{"topic":T,"payload":B}],"len":N}} with B the
// standard Base64 of P printed unformatted (of P itself when P is a string) and N the number
// of entries. Filters match topics MQTT-style: levels split at "/", "+" matches one level,
// a trailing "#" matches any number of levels (also none); the message class ("type") is not
// looked at.
//
// Every received frame, connection, answer and close is one time-stamped line in the log
// (default /vboard/simbus.log). The broker misbehaves on request: it re-reads the control
// file (default /vboard/state/simbus) whenever it changes; its words, separated by blanks or
// lines:
//   split        write every outgoing frame in three pieces, 20 ms apart
//   join         hold each outgoing frame until the next one for that client and write both
//                in one write (a frame left alone is written after 150 ms)
//   refuse=F     answer {"r":2} to a subscription of exactly F (may repeat)
//   close        once per write of the file: close every client at once
//   stall=N      once per write of the file: read nothing from any client for N ms
// split, join and refuse hold while they are in the file; an empty or absent file restores
// normal service.
//
// usage: simbus [--socket PATH] [--log FILE] [--control FILE]
#include <cJSON.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "orvi_base64.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "uds_client.h"

namespace {

constexpr unsigned kSplitPauseMs = 20;
constexpr unsigned kJoinHoldMs = 150;
constexpr int kWriteWaitMs = 2000;
constexpr size_t kKeptTopics = 1024;

int g_log_fd = 1;

// One line: "[YYYY-MM-DD hh:mm:ss.mmm] text"; line breaks inside the text are
// escaped so that every record stays on its line.
void record(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void record(const char *fmt, ...) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tmv;
    localtime_r(&ts.tv_sec, &tmv);
    char stamp[64];
    snprintf(stamp, sizeof stamp, "[%04d-%02d-%02d %02d:%02d:%02d.%03ld] ", tmv.tm_year + 1900,
             tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, ts.tv_nsec / 1000000);
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) vsnprintf(&text[0], text.size() + 1, fmt, ap2);
    va_end(ap2);
    std::string line = stamp;
    for (char c : text) {
        if (c == '\n')
            line += "\\n";
        else if (c == '\r')
            line += "\\r";
        else
            line.push_back(c);
    }
    line.push_back('\n');
    const char *p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t w = ::write(g_log_fd, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        p += w;
        left -= static_cast<size_t>(w);
    }
}

std::vector<std::string> levels(const std::string &s) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t slash = s.find('/', start);
        out.push_back(s.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) return out;
        start = slash + 1;
    }
}

bool topic_matches(const std::string &filter, const std::string &topic) {
    std::vector<std::string> f = levels(filter);
    std::vector<std::string> t = levels(topic);
    for (size_t i = 0; i < f.size(); ++i) {
        if (f[i] == "#" && i + 1 == f.size()) return true;
        if (i >= t.size()) return false;
        if (f[i] != "+" && f[i] != t[i]) return false;
    }
    return f.size() == t.size();
}

struct Client {
    int id = 0;
    int fd = -1;
    uds_frame_splitter_t splitter;
    std::vector<std::string> filters;
    std::string held;  // join: a frame waiting for its partner
    uint64_t held_since = 0;
    bool dead = false;
};

struct Kept {
    std::string topic;
    std::string payload;  // Base64
};

struct Control {
    bool split = false;
    bool join = false;
    std::set<std::string> refuse;
};

Control g_ctl;
std::map<std::string, Kept> g_kept;
std::vector<std::unique_ptr<Client>> g_clients;
uint64_t g_stall_until = 0;

bool write_all(int fd, const char *data, size_t len) {
    size_t off = 0;
    while (off < len) {
        ssize_t n = ::send(fd, data + off, len - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            off += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        struct pollfd p = {fd, POLLOUT, 0};
        if (::poll(&p, 1, kWriteWaitMs) <= 0) return false;
    }
    return true;
}

// `frames`: how many frames `bytes` holds (2 when joined), for the record.
void write_out(Client &c, const std::string &bytes, int frames = 1) {
    if (c.dead) return;
    bool ok = true;
    if (g_ctl.split && bytes.size() >= 3) {
        size_t third = bytes.size() / 3;
        size_t cuts[] = {0, third, 2 * third, bytes.size()};
        for (int i = 0; i < 3 && ok; ++i) {
            if (i > 0) orvi_port_sleep_ms(kSplitPauseMs);
            ok = write_all(c.fd, bytes.data() + cuts[i], cuts[i + 1] - cuts[i]);
            record("c%d wrote piece %d/3 of %d frame(s), %zu bytes", c.id, i + 1, frames,
                   cuts[i + 1] - cuts[i]);
        }
    } else {
        ok = write_all(c.fd, bytes.data(), bytes.size());
        if (frames > 1) record("c%d wrote %d frames in one write, %zu bytes", c.id, frames, bytes.size());
    }
    if (!ok) {
        record("c%d write failed (%s), dropping the client", c.id, strerror(errno));
        c.dead = true;
    }
}

void send_frame(Client &c, const std::string &frame) {
    if (c.dead) return;
    record("c%d send %s", c.id, frame.c_str());
    if (!g_ctl.join) {
        write_out(c, frame);
        return;
    }
    if (c.held.empty()) {
        c.held = frame;
        c.held_since = orvi_port_monotonic_ms();
        return;
    }
    std::string both = c.held + frame;
    c.held.clear();
    write_out(c, both, 2);
}

void flush_held(Client &c, bool force) {
    if (c.held.empty()) return;
    if (!force && orvi_port_monotonic_ms() - c.held_since < kJoinHoldMs) return;
    std::string one = std::move(c.held);
    c.held.clear();
    write_out(c, one);
}

void close_client(Client &c, const char *why) {
    if (c.fd >= 0) {
        record("c%d closed (%s)", c.id, why);
        ::close(c.fd);
    }
    c.fd = -1;
    c.dead = true;
}

std::string print_json(const cJSON *j) {
    char *t = cJSON_PrintUnformatted(j);
    std::string s = t ? t : "";
    cJSON_free(t);
    return s;
}

std::string result_frame(int r) {
    return "{\"r\":" + std::to_string(r) + "}";
}

std::string data_frame(const std::vector<const Kept *> &msgs) {
    cJSON *root = cJSON_CreateObject();
    cJSON_AddNumberToObject(root, "r", 1);
    cJSON *data = cJSON_AddObjectToObject(root, "data");
    cJSON *arr = cJSON_AddArrayToObject(data, "data");
    for (const Kept *k : msgs) {
        cJSON *m = cJSON_CreateObject();
        cJSON_AddStringToObject(m, "topic", k->topic.c_str());
        cJSON_AddStringToObject(m, "payload", k->payload.c_str());
        cJSON_AddItemToArray(arr, m);
    }
    cJSON_AddNumberToObject(data, "len", static_cast<double>(msgs.size()));
    std::string s = print_json(root);
    cJSON_Delete(root);
    return s;
}

void publish(const std::string &topic, const cJSON *payload) {
    std::string text = cJSON_IsString(payload) ? payload->valuestring : print_json(payload);
    Kept k;
    k.topic = topic;
    Base64Encode(reinterpret_cast<const uint8_t *>(text.data()), k.payload, text.size());
    if (g_kept.size() >= kKeptTopics && !g_kept.count(topic)) g_kept.erase(g_kept.begin());
    g_kept[topic] = k;
    std::string frame = data_frame({&k});
    for (auto &c : g_clients) {
        if (c->dead) continue;
        for (const std::string &f : c->filters) {
            if (topic_matches(f, topic)) {
                send_frame(*c, frame);
                break;
            }
        }
    }
}

void handle_frame(Client &c, const std::string &frame) {
    record("c%d recv %s", c.id, frame.c_str());
    std::unique_ptr<cJSON, void (*)(cJSON *)> j(cJSON_Parse(frame.c_str()), cJSON_Delete);
    if (!j) {
        record("c%d not json, ignored", c.id);
        return;
    }
    const cJSON *cmd = cJSON_GetObjectItemCaseSensitive(j.get(), "cmd");
    const cJSON *filter = cJSON_GetObjectItemCaseSensitive(j.get(), "topicFilter");
    std::string cmd_s = cJSON_IsString(cmd) ? cmd->valuestring : "";
    std::string filter_s = cJSON_IsString(filter) ? filter->valuestring : "";
    if (cmd_s == "sub") {
        bool refused = !cJSON_IsString(filter) || g_ctl.refuse.count(filter_s) > 0;
        record("c%d sub %s -> r=%d", c.id, filter_s.c_str(), refused ? 2 : 1);
        if (!refused) c.filters.push_back(filter_s);
        send_frame(c, result_frame(refused ? 2 : 1));
    } else if (cmd_s == "select") {
        std::vector<const Kept *> found;
        for (const auto &kv : g_kept) {
            if (topic_matches(filter_s, kv.first)) found.push_back(&kv.second);
        }
        record("c%d select %s -> %zu", c.id, filter_s.c_str(), found.size());
        send_frame(c, data_frame(found));
        flush_held(c, true);
        close_client(c, "select answered");
    } else if (cmd_s == "data") {
        const cJSON *topic = cJSON_GetObjectItemCaseSensitive(j.get(), "topic");
        const cJSON *payload = cJSON_GetObjectItemCaseSensitive(j.get(), "payload");
        if (!cJSON_IsString(topic) || !payload) {
            record("c%d data without topic or payload, ignored", c.id);
            return;
        }
        publish(topic->valuestring, payload);
    } else {
        record("c%d unknown cmd \"%s\", ignored", c.id, cmd_s.c_str());
    }
}

// The control file's identity, to notice every new write of it.
std::string g_control_key = "absent";

void check_control(const std::string &path) {
    struct stat st;
    std::string key = "absent";
    if (::stat(path.c_str(), &st) == 0) {
        key = std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
              std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    }
    if (key == g_control_key) return;
    g_control_key = key;
    std::string text;
    if (key != "absent") orvi_port_read(path, text, 4096);
    record("control: %s", text.c_str());
    g_ctl = Control();
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        if (word == "split") {
            g_ctl.split = true;
        } else if (word == "join") {
            g_ctl.join = true;
        } else if (word.compare(0, 7, "refuse=") == 0) {
            g_ctl.refuse.insert(word.substr(7));
        } else if (word == "close") {
            for (auto &c : g_clients)
                close_client(*c, "control close");
        } else if (word.compare(0, 6, "stall=") == 0) {
            g_stall_until = orvi_port_monotonic_ms() + strtoul(word.c_str() + 6, nullptr, 10);
        } else {
            record("control: unknown word \"%s\"", word.c_str());
        }
    }
    // A frame held for joining must not outlive the mode.
    if (!g_ctl.join) {
        for (auto &c : g_clients)
            flush_held(*c, true);
    }
}

int listen_on(const std::string &path) {
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) {
        record("socket path too long: %s", path.c_str());
        return -1;
    }
    memcpy(a.sun_path, path.c_str(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    ::unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, 64) != 0) {
        record("cannot listen on %s: %s", path.c_str(), strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

void accept_clients(int lfd, int &next_id) {
    for (;;) {
        sockaddr_un peer = {};
        socklen_t len = sizeof peer;
        int fd = ::accept4(lfd, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        auto c = std::make_unique<Client>();
        c->id = next_id++;
        c->fd = fd;
        size_t plen = len > offsetof(sockaddr_un, sun_path) ? len - offsetof(sockaddr_un, sun_path) : 0;
        std::string from(peer.sun_path, strnlen(peer.sun_path, plen));
        record("c%d connected from %s", c->id, from.empty() ? "(unbound)" : from.c_str());
        g_clients.push_back(std::move(c));
    }
}

void read_client(Client &c) {
    char buf[65536];
    ssize_t n = ::read(c.fd, buf, sizeof buf);
    if (n == 0) {
        close_client(c, "closed by peer");
        return;
    }
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) close_client(c, strerror(errno));
        return;
    }
    std::vector<std::string> frames;
    if (uds_frame_split(&c.splitter, buf, static_cast<size_t>(n), frames) > 0)
        record("c%d over-long frame dropped", c.id);
    for (const std::string &f : frames) {
        if (c.dead) break;
        handle_frame(c, f);
    }
}

}  // namespace

int main(int argc, char **argv) {
    orvi_log_level_set(ORVI_LOG_NONE);
    signal(SIGPIPE, SIG_IGN);
    std::string sock = orvi_path(EVENT_BROKER_PATH);
    std::string log = "/vboard/simbus.log";
    std::string control = "/vboard/state/simbus";
    const char *usage =
        "usage: simbus [--socket PATH] [--log FILE] [--control FILE]\n"
        "The board's event bus broker, as the virtual board runs it (defaults: the broker's socket under\n"
        "/data/domivault, log /vboard/simbus.log, control file /vboard/state/simbus; see simbus.cpp\n"
        "for the control words that make it misbehave on purpose).\n";
    for (int i = 1; i < argc; i += 2) {
        std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            fputs(usage, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "simbus: %s needs a value\n%s", opt.c_str(), usage);
            return 2;
        }
        if (opt == "--socket")
            sock = argv[i + 1];
        else if (opt == "--log")
            log = argv[i + 1];
        else if (opt == "--control")
            control = argv[i + 1];
        else {
            fprintf(stderr, "simbus: unknown option %s\n%s", opt.c_str(), usage);
            return 2;
        }
    }
    int lfd_log = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (lfd_log >= 0) g_log_fd = lfd_log;

    int lfd = listen_on(sock);
    if (lfd < 0) return 1;
    fcntl(lfd, F_SETFL, fcntl(lfd, F_GETFL) | O_NONBLOCK);
    record("listening on %s", sock.c_str());
    int next_id = 1;
    for (;;) {
        check_control(control);
        for (auto &c : g_clients)
            flush_held(*c, false);
        bool stalled = orvi_port_monotonic_ms() < g_stall_until;

        std::vector<struct pollfd> pfds;
        pfds.push_back({lfd, POLLIN, 0});
        std::vector<Client *> polled;
        for (auto &c : g_clients) {
            if (c->dead || stalled) continue;
            pfds.push_back({c->fd, POLLIN, 0});
            polled.push_back(c.get());
        }
        int rc = ::poll(pfds.data(), pfds.size(), 50);
        if (rc < 0 && errno != EINTR) {
            record("poll failed: %s", strerror(errno));
            return 1;
        }
        if (rc > 0) {
            if (pfds[0].revents & POLLIN) accept_clients(lfd, next_id);
            for (size_t i = 0; i < polled.size(); ++i) {
                if (pfds[i + 1].revents & (POLLIN | POLLHUP | POLLERR)) read_client(*polled[i]);
            }
        }
        for (auto it = g_clients.begin(); it != g_clients.end();) {
            if ((*it)->dead) {
                close_client(**it, "dropped");
                it = g_clients.erase(it);
            } else {
                ++it;
            }
        }
    }
}
