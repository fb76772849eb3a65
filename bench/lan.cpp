// LAN request round trips on the loopback, in one process: a driver seals a
// status query as the registered mini-app and sends it to the host's UDP
// receive socket; the real receive task queues it on the real request
// queue, a request task opens it, dispatches it to a trivial "status"
// handler, seals the answer and writes it back through socket_connect_write;
// the driver opens the answer. Beside it, a bare UDP echo that opens and
// seals the same packets with the same cipher.
//
// Three figures for the host, each in the same run as the echo:
//   AsConfigured  the receive task paced as on the board (one packet into the
//                 request queue per 50 ms): what the app really gets;
//   Ceiling       the same path with the pause removed: what the transports
//                 and the intake cost over the bare minimum;
//   UnderFlood    as configured, while another peer sends 1,000 datagrams a
//                 second of junk and of request-shaped packets.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <cJSON.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_host.h"
#include "orvi_aes.h"
#include "orvi_envelope.h"
#include "orvi_field.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_request.h"
#include "orvi_socket.h"
#include "product_subdev.h"

namespace {

const char kHomeMac[] = "HOME0000000000A1";
const char kAppKey[] = "app0123456789abc";
const char kQuery[] = R"({"t":"status","mac":"HOME0000000000A1","cols":["ver"]})";
const char kAnswer[] = R"({"mac":"HOME0000000000A1","cols":["ver"],"dat":["V3.2.MF"],"t":"dat","r":200})";

double g_rate_lan = 0, g_rate_echo = 0, g_rate_paced = 0, g_rate_flood = 0;

int answer_status(cJSON *, request_data_t *req, const orvi_subdev_ptr &) {
    orvi_request_set_response_text(req, kAnswer, AES_KEY_TYPE_RANDOM);
    return 0;
}

std::string seal(const char *inner, const char *cid, uint32_t msgid) {
    std::string cipher = inner;
    orvi_aes_encrypt(kAppKey, cipher);
    std::string env;
    orvi_envelope_build(AES_KEY_TYPE_RANDOM, SOCKET_CONNECT_TYPE_UDP, cid, "", msgid, cipher, -1, nullptr,
                        env);
    return env;
}

// Opens an envelope sealed with the app's key; false when it is not one.
bool open(const std::string &pkt, std::string &inner) {
    cJSON *j = cJSON_ParseWithLength(pkt.data(), pkt.size());
    const cJSON *p = cJSON_GetObjectItem(j, "pack");
    bool ok = cJSON_IsString(p);
    if (ok) {
        inner = p->valuestring;
        ok = orvi_aes_decrypt(kAppKey, inner) == 0;
    }
    cJSON_Delete(j);
    return ok;
}

struct sockaddr_in loopback(unsigned short port) {
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

int udp_socket(const char *ip = "127.0.0.1") {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = loopback(0);
    inet_pton(AF_INET, ip, &a.sin_addr);
    bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a);
    return fd;
}

// The host: transports, request queue, one request task, the mini-app registered.
struct Host {
    unsigned short port = 0;
    // The handlers' tables with "status" answering at once. Never freed: the
    // request task that reads it runs until the process ends.
    request_wiring::dispatch &dispatch = *new request_wiring::dispatch;
    Host() {
        bench_host::scratch_root();
        bench_host::identity(kHomeMac, kAppKey);
        bench_host::register_app(kAppKey);

        orvi_socket_ports_t p;
        p.udp_in = 0;
        p.udp_out = 0;
        p.tcp_server = 0;
        p.broadcast = INADDR_LOOPBACK;
        orvi_socket_ports_set(p);
        if (socket_connect_start(nullptr, 0) != 0 || orvi_request_queue_create() < 0) return;
        port = orvi_socket_udp_in_port();
        dispatch.replace("status", answer_status);
        dispatch.install();
        orvi_socket_handle();
        bench_host::start_request_task();
    }
};

// The bare echo: open, seal, send back.
struct Echo {
    unsigned short port = 0;
    Echo() {
        int fd = udp_socket();
        port = orvi_socket_local_port(fd);
        std::thread([fd] {
            char buf[8192];
            for (;;) {
                struct sockaddr_in from {};
                socklen_t len = sizeof from;
                ssize_t n =
                    recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<struct sockaddr *>(&from), &len);
                std::string inner;
                if (n <= 0 || !open(std::string(buf, static_cast<size_t>(n)), inner)) continue;
                std::string out = seal(kAnswer, kHomeMac, 1);
                sendto(fd, out.data(), out.size(), 0, reinterpret_cast<struct sockaddr *>(&from), len);
            }
        }).detach();
    }
};

// Another peer on its own address: `per_s` datagrams a second, in turn junk
// bytes, a request-shaped packet no key opens, an empty object, binary.
struct Flood {
    std::atomic<bool> stop{false};
    std::thread t;
    Flood(unsigned short port, int per_s) {
        t = std::thread([this, port, per_s] {
            int fd = udp_socket("127.0.0.2");
            struct sockaddr_in to = loopback(port);
            const std::string kinds[] = {"junk junk junk junk", R"({"t":"hb","mac":"fl00d0000001"})", "{}",
                                         std::string("\x01\x02\x03\x04", 4)};
            auto next = std::chrono::steady_clock::now();
            for (size_t i = 0; !stop.load(); ++i) {
                const std::string &p = kinds[i % 4];
                sendto(fd, p.data(), p.size(), 0, reinterpret_cast<struct sockaddr *>(&to), sizeof to);
                next += std::chrono::microseconds(1000000 / per_s);
                std::this_thread::sleep_until(next);
            }
            close(fd);
        });
    }
    ~Flood() {
        stop.store(true);
        t.join();
    }
};

// One query and its answer per iteration; latency percentiles as counters.
// A query unanswered within kLostMs counts as lost, with that latency, so a
// host that drops queries shows it in its p99 instead of hanging the run.
constexpr int kLostMs = 3000;

void round_trips(benchmark::State &state, unsigned short port, double *rate) {
    if (port == 0) {
        state.SkipWithError("the host could not start");
        return;
    }
    int fd = udp_socket();
    struct sockaddr_in to = loopback(port);
    std::vector<double> us;
    int lost = 0;
    uint32_t msgid = 0;
    char buf[8192];
    for (auto _ : state) {
        // A late answer to a lost query must not pass for this one's.
        while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
        }
        auto t0 = std::chrono::steady_clock::now();
        std::string pkt = seal(kQuery, "miniApp", ++msgid);
        sendto(fd, pkt.data(), pkt.size(), 0, reinterpret_cast<struct sockaddr *>(&to), sizeof to);
        struct pollfd pf = {fd, POLLIN, 0};
        if (poll(&pf, 1, kLostMs) != 1) {
            ++lost;
            us.push_back(kLostMs * 1000.0);
            continue;
        }
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        std::string inner;
        if (n <= 0 || !open(std::string(buf, static_cast<size_t>(n)), inner) ||
            inner.find("\"r\":200") == std::string::npos) {
            state.SkipWithError("bad answer");
            break;
        }
        us.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    close(fd);
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    state.counters["p50_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    state.counters["lost"] = lost;
    state.counters["rt_per_s"] =
        benchmark::Counter(static_cast<double>(us.size()), benchmark::Counter::kIsRate);
    double total = 0;
    for (double v : us)
        total += v;
    *rate = 1e6 * static_cast<double>(us.size()) / total;
}

Host &host() {
    static Host h;
    return h;
}

void BM_LanStatusRoundTrip_AsConfigured(benchmark::State &state) {
    orvi_socket_set_read_pause_ms(50);
    round_trips(state, host().port, &g_rate_paced);
}
BENCHMARK(BM_LanStatusRoundTrip_AsConfigured)->UseRealTime()->Iterations(200);

void BM_LanStatusRoundTrip_Ceiling(benchmark::State &state) {
    orvi_socket_set_read_pause_ms(0);
    round_trips(state, host().port, &g_rate_lan);
    orvi_socket_set_read_pause_ms(50);
}
BENCHMARK(BM_LanStatusRoundTrip_Ceiling)->UseRealTime();

void BM_LanStatusRoundTrip_UnderFlood(benchmark::State &state) {
    orvi_socket_set_read_pause_ms(50);
    Flood flood(host().port, 1000);
    round_trips(state, host().port, &g_rate_flood);
}
BENCHMARK(BM_LanStatusRoundTrip_UnderFlood)->UseRealTime()->Iterations(200);

void BM_BareUdpEchoSameSeal(benchmark::State &state) {
    static Echo echo;
    round_trips(state, echo.port, &g_rate_echo);
}
BENCHMARK(BM_BareUdpEchoSameSeal)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    if (g_rate_echo > 0) {
        printf("bare echo: %.0f round trips per second\n", g_rate_echo);
        printf("host as configured: %.1f/s (%.4f of the echo); ceiling without the pause: %.0f/s (%.2f); "
               "as configured under a 1,000/s flood: %.1f/s\n",
               g_rate_paced, g_rate_paced / g_rate_echo, g_rate_lan, g_rate_lan / g_rate_echo, g_rate_flood);
    }
    benchmark::Shutdown();
    return 0;
}
