// The app's round trip over a TCP link while another link floods the host
// with "{}" as fast as the loopback carries it, beside the same round trip
// on a quiet host. In one process: the real TCP server and receive thread,
// the real request queue and one request task with a trivial "status"
// handler. The app seals a status query, waits for the answer line and opens
// it; a query left unanswered for 500 ms is sent again (at most four times),
// and its round trip runs from the first send to the answer.
//
// Counters: p50_us / p99_us of the round trips, resent (queries that needed
// another send) and unanswered (queries given up after four sends).
//
// The host writes an answer and its closing "\n" in two sends; a peer that
// delays its acknowledgements sees the "\n" only after its delayed-ACK timer
// (about 40 ms). The app here acknowledges at once, so the figures are the
// host's own latency, not that timer.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <cJSON.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_host.h"
#include "orvi_aes.h"
#include "orvi_envelope.h"
#include "orvi_field.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_request.h"
#include "orvi_socket.h"
#include "orvi_subdev_tcp.h"
#include "product_subdev.h"

namespace {

const char kHomeMac[] = "HOME0000000000A1";
const char kAppKey[] = "app0123456789abc";
const char kQuery[] = R"({"t":"status","mac":"HOME0000000000A1","cols":["ver"]})";
const char kAnswer[] = R"({"mac":"HOME0000000000A1","cols":["ver"],"dat":["V3.2.MF"],"t":"dat","r":200})";
constexpr int kAnswerWaitMs = 500;
constexpr int kSends = 4;

int answer_status(cJSON *, request_data_t *req, const orvi_subdev_ptr &) {
    orvi_request_set_response_text(req, kAnswer, AES_KEY_TYPE_RANDOM);
    return 0;
}

std::string seal(const char *inner, uint32_t msgid) {
    std::string cipher = inner;
    orvi_aes_encrypt(kAppKey, cipher);
    std::string env;
    orvi_envelope_build(AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_TCP, "miniApp", "", msgid, cipher, -1,
                        nullptr, env);
    return env;
}

// The message id of an answer sealed with the app's key carrying "r" 200; 0 otherwise.
uint32_t answered_id(const std::string &line) {
    cJSON *j = cJSON_ParseWithLength(line.data(), line.size());
    const cJSON *p = cJSON_GetObjectItem(j, "pack");
    const cJSON *id = cJSON_GetObjectItem(j, "msgId");
    uint32_t out = 0;
    if (cJSON_IsString(p) && cJSON_IsNumber(id)) {
        std::string inner = p->valuestring;
        if (orvi_aes_decrypt(kAppKey, inner) == 0 && inner.find("\"r\":200") != std::string::npos)
            out = static_cast<uint32_t>(id->valuedouble);
    }
    cJSON_Delete(j);
    return out;
}

unsigned short free_tcp_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

int connect_to(unsigned short port) {
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    for (int i = 0; i < 100; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) == 0) return fd;
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

// The host: TCP server and receive thread, request queue, one request task,
// the mini-app registered. The app's link is connected once and kept.
struct Host {
    unsigned short port = 0;
    // The handlers' tables with "status" answering at once. Never freed: the
    // request task that reads it runs until the process ends.
    request_wiring::dispatch &dispatch = *new request_wiring::dispatch;
    int app = -1;
    std::string pending;  // bytes of the app's link after the last answer line
    Host() {
        bench_host::scratch_root();
        orvi_log_level_set(ORVI_LOG_NONE);  // every flooded "{}" would otherwise log
        bench_host::identity(kHomeMac, kAppKey);
        bench_host::register_app(kAppKey);

        orvi_socket_ports_t p;
        p.udp_in = 0;
        p.udp_out = 0;
        p.tcp_server = free_tcp_port();
        p.broadcast = INADDR_LOOPBACK;
        orvi_socket_ports_set(p);
        if (orvi_request_queue_create() < 0 || orvi_subdev_tcp_server_init() != 0) return;
        dispatch.replace("status", answer_status);
        dispatch.install();
        bench_host::start_request_task();
        port = p.tcp_server;
        app = connect_to(port);
        int one = 1;
        setsockopt(app, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }

    // Waits up to `ms` for the answer to `msgid`; answers to earlier sends are skipped.
    bool await(uint32_t msgid, int ms) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (answered_id(line) == msgid) return true;
            }
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            until - std::chrono::steady_clock::now())
                                            .count());
            int one = 1;
            setsockopt(app, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
            struct pollfd pf = {app, POLLIN, 0};
            if (left <= 0 || poll(&pf, 1, left) != 1) return false;
            char buf[4096];
            ssize_t n = recv(app, buf, sizeof buf, 0);
            if (n <= 0) return false;
            pending.append(buf, static_cast<size_t>(n));
        }
    }
};

Host &host() {
    static Host h;
    return h;
}

// A link that writes "{}" without pause until stopped.
struct Flood {
    std::atomic<bool> stop{false};
    std::thread thread;
    explicit Flood(unsigned short port) {
        int fd = connect_to(port);
        struct timeval tv = {0, 100 * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        thread = std::thread([this, fd] {
            std::string chunk;
            for (int i = 0; i < 32768; ++i)
                chunk += "{}";
            while (!stop.load())
                if (send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0 && errno != EAGAIN &&
                    errno != EWOULDBLOCK)
                    break;
            close(fd);
        });
    }
    ~Flood() {
        stop.store(true);
        thread.join();
    }
};

void round_trips(benchmark::State &state, bool flood) {
    Host &h = host();
    if (h.app < 0) {
        state.SkipWithError("the host could not start");
        return;
    }
    std::unique_ptr<Flood> f;
    if (flood) {
        f = std::make_unique<Flood>(h.port);
        // The flood link is accepted (one accept per second) and running before the first query.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    }
    static uint32_t msgid = 0;
    std::vector<double> us;
    double resent = 0, unanswered = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        bool ok = false;
        for (int send = 0; send < kSends && !ok; ++send) {
            if (send > 0) ++resent;
            std::string pkt = seal(kQuery, ++msgid);
            if (::send(h.app, pkt.data(), pkt.size(), MSG_NOSIGNAL) < 0) break;
            ok = h.await(msgid, kAnswerWaitMs);
        }
        if (!ok) {
            ++unanswered;
            continue;
        }
        us.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    f.reset();
    state.counters["resent"] = resent;
    state.counters["unanswered"] = unanswered;
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

void BM_TcpAppRoundTripQuiet(benchmark::State &state) {
    round_trips(state, false);
}
BENCHMARK(BM_TcpAppRoundTripQuiet)->Iterations(2000)->UseRealTime();

void BM_TcpAppRoundTripWhileALinkFloods(benchmark::State &state) {
    round_trips(state, true);
}
BENCHMARK(BM_TcpAppRoundTripWhileALinkFloods)->Iterations(200)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
