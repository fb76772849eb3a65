// simdev: simulated Wi-Fi subdevices on the virtual board's LAN. Each device
// has its own LAN address, MAC, model, key and firmware version, speaks the
// product's packet envelope (the same cipher and envelope code), receives
// unicast and broadcast on UDP 5001 and talks to the host's UDP 5000, or
// connects to the host's TCP 1813. It binds, sends heartbeats and status,
// and answers commands in a chosen way. Every packet it decrypts is logged,
// one line each: "<ms since epoch> <mac> <channel> <json>" (channel: udp,
// bcast or tcp; what it sends is logged as sent:udp / sent:tcp).
//
// Single-threaded: one poll loop over every socket plus a timer queue.
#include <arpa/inet.h>
#include <cJSON.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "orvi_aes.h"
#include "orvi_base64.h"
#include "orvi_envelope.h"
#include "orvi_log.h"
#include "orvi_product.h"
#include "sample_model.h"

namespace {

constexpr unsigned short kDevicePort = 5001;
constexpr unsigned short kHostUdpPort = 5000;
constexpr unsigned short kHostTcpPort = 1813;
constexpr size_t kMaxPacket = 65536;

const char kUsage[] =
    "usage: simdev [options]\n"
    "  --count N          devices (default 1); addresses, MACs and keys count up from the first\n"
    "  --ip A             first device's LAN address (default 192.0.2.101)\n"
    "  --mac M            first device's MAC, 12 hex characters (default 02aabb000001)\n"
    "  --mid MID          model id (default 90001)\n"
    "  --key K            device key, 16 characters (default simdevkey0000001, counting up)\n"
    "  --ver V            firmware version (default 1.0.0)\n"
    "  --hid H            firmware identifier (default simdev)\n"
    "  --host A           the host's address (default 192.0.2.10)\n"
    "  --tcp              talk to the host over TCP 1813 instead of UDP\n"
    "  --answer MODE      how commands are answered: now (default), never, late=MS, twice, fail=CODE\n"
    "  --log FILE         packet log (default standard output)\n"
    "  --hb S             heartbeat period in seconds (default 30, 0: none)\n"
    "  --i N              key family of UBind and heartbeats (default 1: the default key)\n"
    "  --no-bind          do not send UBind at start\n"
    "  --gangs N          each device is a switch of N (1..4) gangs \"<mac>00\"..\"<mac>0<N-1>\": it binds\n"
    "                     every gang and reports \"Sw1\"..\"SwN\" in \"dat\" from its first gang\n"
    "  --sw LIST          the gangs' states, comma-separated 0/1 (default all 0)\n"
    "  --once STEPS       run the comma-separated steps (ubind, hb, status, dat, json, raw, listen) for "
    "every\n"
    "                     device, listen --wait ms, then exit\n"
    "  --wait MS          listening time after --once steps (default 1000)\n"
    "  --raw JSON         inner packet of the raw step (sent with --i)\n";

enum class Answer { kNow, kNever, kLate, kTwice, kFail };

struct Options {
    int count = 1;
    std::string ip = "192.0.2.101";
    std::string mac = "02aabb000001";
    std::string mid = "90001";
    std::string key;
    std::string ver = "1.0.0";
    std::string hid = "simdev";
    std::string host = "192.0.2.10";
    bool tcp = false;
    Answer answer = Answer::kNow;
    int answer_arg = 0;
    std::string log;
    int hb_s = 30;
    int family = AES_KEY_TYPE_DEFAULT;
    bool bind = true;
    std::vector<std::string> once;
    int wait_ms = 1000;
    std::string raw;
    int gangs = 0;
    std::vector<uint8_t> sw;
};

struct Device {
    std::string mac;
    std::string key;
    std::string ip;
    struct sockaddr_in addr {};
    int udp_fd = -1;
    int tcp_fd = -1;
    std::string tcp_buf;
    sample_status_t state{0, 50, 0};  // model "90001": [0xA5, pow, lum, flags]
    uint8_t report_s = 0;             // report period a command asked for
    bool bound = false;               // the host spoke to it with its private key, or said UBindok
    uint32_t msg_id = 0;
    std::vector<uint8_t> sw;  // gang states of a multi-gang switch (--gangs)
};

volatile sig_atomic_t g_stop = 0;
void on_signal(int) {
    g_stop = 1;
}

FILE *g_log = stdout;
Options g_opt;
std::vector<Device> g_devs;
struct sockaddr_in g_host {};
int g_bcast_fd = -1;
std::multimap<uint64_t, std::function<void()>> g_timers;

uint64_t now_ms() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

void after(uint64_t ms, std::function<void()> fn) {
    g_timers.emplace(now_ms() + ms, std::move(fn));
}

std::string one_line(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    for (char &c : s)
        if (c == '\n' || c == '\r') c = ' ';
    return s;
}

void log_packet(const Device &d, const char *channel, const std::string &text) {
    fprintf(g_log, "%llu %s %s %s\n", static_cast<unsigned long long>(now_ms()), d.mac.c_str(), channel,
            one_line(text).c_str());
    fflush(g_log);
}

std::string print(const cJSON *j) {
    char *p = cJSON_PrintUnformatted(j);
    std::string s = p ? p : "";
    cJSON_free(p);
    return s;
}

// Seals the inner packet as the device (or as one gang `cid` of it): family
// 0 with its key, 1 with the default key, 2 plain.
bool seal(Device &d, const std::string &inner, int family, connect_type_t conn, std::string &out,
          const std::string &cid) {
    if (family == AES_KEY_TYPE_NONE) {
        out = inner;
        return true;
    }
    std::string cipher = inner;
    const std::string key = family == AES_KEY_TYPE_RANDOM ? d.key : std::string(ORVI_DEFAULT_KEY);
    if (orvi_aes_encrypt(key.c_str(), cipher) != 0) return false;
    return orvi_envelope_build(static_cast<aes_key_t>(family), conn, cid.empty() ? d.mac : cid, "",
                               ++d.msg_id, cipher, -1, nullptr, out) == 0;
}

void send_inner(Device &d, const std::string &inner, int family, const std::string &cid = "") {
    std::string pkt;
    connect_type_t conn = g_opt.tcp ? SOCKET_CONNECT_TYPE_TCP : SOCKET_CONNECT_TYPE_UDP;
    if (!seal(d, inner, family, conn, pkt, cid)) {
        fprintf(stderr, "simdev: %s: cannot seal %s\n", d.mac.c_str(), inner.c_str());
        return;
    }
    ssize_t n;
    if (g_opt.tcp) {
        if (d.tcp_fd < 0) return;
        n = ::send(d.tcp_fd, pkt.data(), pkt.size(), MSG_NOSIGNAL);
    } else {
        n = ::sendto(d.udp_fd, pkt.data(), pkt.size(), 0, reinterpret_cast<struct sockaddr *>(&g_host),
                     sizeof g_host);
    }
    if (n != static_cast<ssize_t>(pkt.size())) {
        fprintf(stderr, "simdev: %s: send failed: %s\n", d.mac.c_str(), strerror(errno));
        return;
    }
    log_packet(d, g_opt.tcp ? "sent:tcp" : "sent:udp", inner);
}

std::string status_b64(const Device &d) {
    uint8_t bytes[SAMPLE_STATUS_LEN];
    sample_status_encode(&d.state, bytes);
    std::string out;
    Base64Encode(bytes, out, sizeof bytes);
    return out;
}

int status_family(const Device &d) {
    return d.bound ? AES_KEY_TYPE_RANDOM : AES_KEY_TYPE_DEFAULT;
}

// ---- Multi-gang switch (--gangs) ----------------------------------------------

std::string gang_mac(const Device &d, int gang) {
    return d.mac + "0" + std::to_string(gang);
}

// One report of every gang, from the first gang: {"opt":["Sw1",..],"p":[..]}.
void send_gang_dat(Device &d) {
    cJSON *j = cJSON_CreateObject();
    cJSON_AddStringToObject(j, "t", "dat");
    cJSON_AddStringToObject(j, "mac", gang_mac(d, 0).c_str());
    cJSON *opt = cJSON_AddArrayToObject(j, "opt");
    cJSON *p = cJSON_AddArrayToObject(j, "p");
    for (int g = 0; g < g_opt.gangs; ++g) {
        cJSON_AddItemToArray(opt, cJSON_CreateString(("Sw" + std::to_string(g + 1)).c_str()));
        cJSON_AddItemToArray(p, cJSON_CreateNumber(d.sw[static_cast<size_t>(g)]));
    }
    send_inner(d, print(j), d.bound ? AES_KEY_TYPE_RANDOM : AES_KEY_TYPE_DEFAULT, gang_mac(d, 0));
    cJSON_Delete(j);
}

bool parse_sw(const std::string &v) {
    size_t b = 0;
    while (b <= v.size()) {
        size_t e = v.find(',', b);
        if (e == std::string::npos) e = v.size();
        std::string one = v.substr(b, e - b);
        if (one != "0" && one != "1") return false;
        g_opt.sw.push_back(one == "1" ? 1 : 0);
        b = e + 1;
    }
    return g_opt.sw.size() <= 4;
}

// ---- Packets ----------------------------------------------------------------------

void send_ubind(Device &d) {
    for (int g = 0; g < std::max(1, g_opt.gangs); ++g) {
        const std::string mac = g_opt.gangs > 0 ? gang_mac(d, g) : d.mac;
        cJSON *j = cJSON_CreateObject();
        cJSON_AddStringToObject(j, "t", "UBind");
        cJSON_AddStringToObject(j, "mac", mac.c_str());
        cJSON_AddStringToObject(j, "mid", g_opt.mid.c_str());
        cJSON_AddStringToObject(j, "ver", g_opt.ver.c_str());
        cJSON_AddStringToObject(j, "devkey", d.key.c_str());
        cJSON_AddStringToObject(j, "hid", g_opt.hid.c_str());
        send_inner(d, print(j), g_opt.family, mac);
        cJSON_Delete(j);
    }
}

void send_hb(Device &d) {
    cJSON *j = cJSON_CreateObject();
    cJSON_AddStringToObject(j, "t", "hb");
    cJSON_AddStringToObject(j, "cid", d.mac.c_str());
    cJSON_AddNumberToObject(j, "RSSI", -45);
    send_inner(d, print(j), g_opt.family);
    cJSON_Delete(j);
}

void send_status(Device &d) {
    if (g_opt.gangs > 0) {  // a switch reports its gangs in JSON
        send_gang_dat(d);
        return;
    }
    cJSON *j = cJSON_CreateObject();
    cJSON_AddStringToObject(j, "t", "binStatus");
    cJSON_AddStringToObject(j, "mac", d.mac.c_str());
    cJSON_AddStringToObject(j, "binStatus", status_b64(d).c_str());
    send_inner(d, print(j), status_family(d));
    cJSON_Delete(j);
}

// A JSON status report of the same state (the "dat" packet).
void send_dat(Device &d) {
    if (g_opt.gangs > 0) {
        send_gang_dat(d);
        return;
    }
    cJSON *j = cJSON_CreateObject();
    cJSON_AddStringToObject(j, "t", "dat");
    cJSON_AddStringToObject(j, "mac", d.mac.c_str());
    cJSON *opt = cJSON_AddArrayToObject(j, "opt");
    cJSON *p = cJSON_AddArrayToObject(j, "p");
    cJSON_AddItemToArray(opt, cJSON_CreateString("Pow"));
    cJSON_AddItemToArray(opt, cJSON_CreateString("Lum"));
    cJSON_AddItemToArray(p, cJSON_CreateNumber(d.state.pow));
    cJSON_AddItemToArray(p, cJSON_CreateNumber(d.state.lum));
    send_inner(d, print(j), status_family(d));
    cJSON_Delete(j);
}

// The full JSON status report of the same state (the "jsonStatus" packet).
void send_json_status(Device &d) {
    cJSON *j = cJSON_CreateObject();
    cJSON_AddStringToObject(j, "t", "jsonStatus");
    cJSON_AddStringToObject(j, "mac", d.mac.c_str());
    cJSON *st = cJSON_AddObjectToObject(j, "jsonStatus");
    cJSON *cols = cJSON_AddArrayToObject(st, "cols");
    cJSON *dat = cJSON_AddArrayToObject(st, "dat");
    cJSON_AddItemToArray(cols, cJSON_CreateString("Pow"));
    cJSON_AddItemToArray(cols, cJSON_CreateString("Lum"));
    cJSON_AddItemToArray(dat, cJSON_CreateNumber(d.state.pow));
    cJSON_AddItemToArray(dat, cJSON_CreateNumber(d.state.lum));
    send_inner(d, print(j), status_family(d));
    cJSON_Delete(j);
}

void send_res(Device &d, int code) {
    cJSON *j = cJSON_CreateObject();
    cJSON_AddStringToObject(j, "t", "res");
    cJSON_AddNumberToObject(j, "r", 200);
    cJSON_AddStringToObject(j, "mac", d.mac.c_str());
    if (code) cJSON_AddNumberToObject(j, "code", code);
    send_inner(d, print(j), AES_KEY_TYPE_RANDOM);
    cJSON_Delete(j);
}

void send_status_check_res(Device &d) {
    cJSON *j = cJSON_CreateObject();
    cJSON_AddStringToObject(j, "t", "statusCheckRes");
    cJSON_AddStringToObject(j, "mac", d.mac.c_str());
    cJSON_AddStringToObject(j, "binStatus", status_b64(d).c_str());
    send_inner(d, print(j), AES_KEY_TYPE_RANDOM);
    cJSON_Delete(j);
}

// Answers a command in the chosen way; `then_status` adds the new binStatus.
void answer(size_t idx, const std::function<void(Device &)> &reply, bool then_status) {
    auto act = [idx, reply, then_status] {
        Device &d = g_devs[idx];
        reply(d);
        if (then_status) send_status(d);
    };
    switch (g_opt.answer) {
        case Answer::kNever:
            return;
        case Answer::kLate:
            after(static_cast<uint64_t>(g_opt.answer_arg), act);
            return;
        case Answer::kTwice:
            act();
            reply(g_devs[idx]);
            return;
        case Answer::kFail:
            send_res(g_devs[idx], g_opt.answer_arg);
            return;
        case Answer::kNow:
            act();
            return;
    }
}

void handle_inner(size_t idx, const std::string &text, bool broadcast) {
    cJSON *j = cJSON_Parse(text.c_str());
    if (!j) return;
    const cJSON *t = cJSON_GetObjectItem(j, "t");
    std::string type = cJSON_IsString(t) ? t->valuestring : "";
    Device &d = g_devs[idx];
    if (type == "binCmd") {
        const cJSON *bin = cJSON_GetObjectItem(j, "bin");
        if (cJSON_IsString(bin) && g_opt.answer != Answer::kFail) {
            std::vector<uint8_t> cmd;
            Base64Decode(bin->valuestring, cmd, strlen(bin->valuestring));
            sample_cmd_t c;
            if (sample_cmd_decode(cmd.data(), cmd.size(), &c) == 0) {
                sample_cmd_apply(&c, &d.state, &d.report_s);
            } else {
                fprintf(stderr, "simdev: %s: not a command of model 90001: %s\n", d.mac.c_str(),
                        bin->valuestring);
            }
        }
        answer(
            idx, [](Device &dev) { send_res(dev, 0); }, true);
    } else if (type == "reset" || (type == "scan" && !broadcast)) {
        answer(
            idx, [](Device &dev) { send_res(dev, 0); }, false);
        if (type == "reset") d.bound = false;
    } else if (type == "statusCheck") {
        answer(
            idx, [](Device &dev) { send_status_check_res(dev); }, false);
    } else if (type == "scan" && !d.bound && g_opt.bind && g_opt.once.empty()) {
        // A device the host does not know yet answers a scan by binding.
        send_ubind(d);
    } else if (type == "UBindok") {
        d.bound = true;
    }
    cJSON_Delete(j);
}

// Opens one received packet (envelope or plain) for device idx and logs it.
void receive(size_t idx, const std::string &pkt, const char *channel) {
    Device &d = g_devs[idx];
    cJSON *env = cJSON_Parse(pkt.c_str());
    if (!env) {
        log_packet(d, channel, "! not JSON: " + pkt.substr(0, 200));
        return;
    }
    const cJSON *t = cJSON_GetObjectItem(env, "t");
    std::string inner;
    if (cJSON_IsString(t) && std::strcmp(t->valuestring, "pack") == 0) {
        const cJSON *i = cJSON_GetObjectItem(env, "i");
        const cJSON *p = cJSON_GetObjectItem(env, "pack");
        int fam = cJSON_IsNumber(i) ? i->valueint : -1;
        if (!cJSON_IsString(p) || (fam != 0 && fam != 1)) {
            log_packet(d, channel, "! bad envelope: " + pkt.substr(0, 200));
            cJSON_Delete(env);
            return;
        }
        inner = p->valuestring;
        std::string key = fam == 0 ? d.key : std::string(ORVI_DEFAULT_KEY);
        if (orvi_aes_decrypt(key.c_str(), inner) != 0) {
            log_packet(d, channel, "! cannot decrypt (i " + std::to_string(fam) + ")");
            cJSON_Delete(env);
            return;
        }
        if (fam == 0) d.bound = true;
    } else {
        inner = pkt;
    }
    cJSON_Delete(env);
    log_packet(d, channel, inner);
    handle_inner(idx, inner, std::strcmp(channel, "bcast") == 0);
}

bool parse_mac(const std::string &s, uint64_t &v) {
    if (s.size() != 12 || s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    v = std::strtoull(s.c_str(), nullptr, 16);
    return true;
}

bool parse_int(const std::string &s, int &v, int lo, int hi) {
    char *end = nullptr;
    long n = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end || n < lo || n > hi) return false;
    v = static_cast<int>(n);
    return true;
}

bool parse_answer(const std::string &s) {
    if (s == "now") {
        g_opt.answer = Answer::kNow;
    } else if (s == "never") {
        g_opt.answer = Answer::kNever;
    } else if (s == "twice") {
        g_opt.answer = Answer::kTwice;
    } else if (s.compare(0, 5, "late=") == 0 && parse_int(s.substr(5), g_opt.answer_arg, 0, 600000)) {
        g_opt.answer = Answer::kLate;
    } else if (s.compare(0, 5, "fail=") == 0 && parse_int(s.substr(5), g_opt.answer_arg, 1, 1000000)) {
        g_opt.answer = Answer::kFail;
    } else {
        return false;
    }
    return true;
}

bool parse_args(int argc, char **argv) {
    std::vector<std::string> a(argv + 1, argv + argc);
    for (size_t i = 0; i < a.size(); ++i) {
        const std::string &k = a[i];
        auto val = [&](std::string &out) {
            if (i + 1 >= a.size()) return false;
            out = a[++i];
            return true;
        };
        std::string v;
        if (k == "--tcp") {
            g_opt.tcp = true;
        } else if (k == "--no-bind") {
            g_opt.bind = false;
        } else if (k == "-h" || k == "--help") {
            fputs(kUsage, stdout);
            exit(0);
        } else if (!val(v)) {
            fprintf(stderr, "simdev: %s: unknown option or missing value\n%s", k.c_str(), kUsage);
            return false;
        } else if (k == "--count") {
            if (!parse_int(v, g_opt.count, 1, 250)) return fprintf(stderr, "simdev: --count 1..250\n"), false;
        } else if (k == "--ip") {
            g_opt.ip = v;
        } else if (k == "--mac") {
            g_opt.mac = v;
        } else if (k == "--mid") {
            g_opt.mid = v;
        } else if (k == "--key") {
            if (v.size() != 16) return fprintf(stderr, "simdev: --key must be 16 characters\n"), false;
            g_opt.key = v;
        } else if (k == "--ver") {
            g_opt.ver = v;
        } else if (k == "--hid") {
            g_opt.hid = v;
        } else if (k == "--host") {
            g_opt.host = v;
        } else if (k == "--answer") {
            if (!parse_answer(v)) return fprintf(stderr, "simdev: bad --answer %s\n", v.c_str()), false;
        } else if (k == "--log") {
            g_opt.log = v;
        } else if (k == "--hb") {
            if (!parse_int(v, g_opt.hb_s, 0, 86400)) return fprintf(stderr, "simdev: bad --hb\n"), false;
        } else if (k == "--i") {
            if (!parse_int(v, g_opt.family, 0, 2)) return fprintf(stderr, "simdev: --i 0, 1 or 2\n"), false;
        } else if (k == "--once") {
            size_t b = 0;
            while (b <= v.size()) {
                size_t e = v.find(',', b);
                if (e == std::string::npos) e = v.size();
                std::string step = v.substr(b, e - b);
                if (step != "ubind" && step != "hb" && step != "status" && step != "dat" && step != "json" &&
                    step != "raw" && step != "listen")
                    return fprintf(stderr, "simdev: unknown --once step '%s'\n", step.c_str()), false;
                g_opt.once.push_back(step);
                b = e + 1;
            }
        } else if (k == "--wait") {
            if (!parse_int(v, g_opt.wait_ms, 0, 3600000))
                return fprintf(stderr, "simdev: bad --wait\n"), false;
        } else if (k == "--raw") {
            g_opt.raw = v;
        } else if (k == "--gangs") {
            if (!parse_int(v, g_opt.gangs, 1, 4)) return fprintf(stderr, "simdev: --gangs 1..4\n"), false;
        } else if (k == "--sw") {
            if (!parse_sw(v)) return fprintf(stderr, "simdev: --sw takes up to four 0/1 values\n"), false;
        } else {
            fprintf(stderr, "simdev: unknown option %s\n%s", k.c_str(), kUsage);
            return false;
        }
    }
    return true;
}

int udp_socket(in_addr_t addr_n, bool pktinfo) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (pktinfo) setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = addr_n;
    a.sin_port = htons(kDevicePort);
    if (::bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0) {
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
        fprintf(stderr, "simdev: cannot bind %s:%d: %s\n", ip, kDevicePort, strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

bool tcp_connect(Device &d) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in local = d.addr;
    local.sin_port = 0;
    struct sockaddr_in host = g_host;
    host.sin_port = htons(kHostTcpPort);
    if (::bind(fd, reinterpret_cast<struct sockaddr *>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<struct sockaddr *>(&host), sizeof host) != 0) {
        fprintf(stderr, "simdev: %s: cannot connect to %s:%d: %s\n", d.mac.c_str(), g_opt.host.c_str(),
                kHostTcpPort, strerror(errno));
        ::close(fd);
        return false;
    }
    d.tcp_fd = fd;
    return true;
}

bool setup_devices() {
    uint64_t mac0;
    if (!parse_mac(g_opt.mac, mac0)) {
        fprintf(stderr, "simdev: --mac must be 12 hexadecimal characters\n");
        return false;
    }
    struct in_addr ip0;
    if (inet_pton(AF_INET, g_opt.ip.c_str(), &ip0) != 1 ||
        inet_pton(AF_INET, g_opt.host.c_str(), &g_host.sin_addr) != 1) {
        fprintf(stderr, "simdev: --ip and --host must be IPv4 addresses\n");
        return false;
    }
    g_host.sin_family = AF_INET;
    g_host.sin_port = htons(kHostUdpPort);
    g_devs.resize(static_cast<size_t>(g_opt.count));
    for (int i = 0; i < g_opt.count; ++i) {
        Device &d = g_devs[static_cast<size_t>(i)];
        char buf[32];
        snprintf(buf, sizeof buf, "%012llx", static_cast<unsigned long long>((mac0 + i) & 0xffffffffffffULL));
        d.mac = buf;
        if (g_opt.key.empty()) {
            snprintf(buf, sizeof buf, "simdevkey%07d", i + 1);
            d.key = buf;
        } else {
            d.key = g_opt.key;
        }
        d.addr.sin_family = AF_INET;
        d.addr.sin_addr.s_addr = htonl(ntohl(ip0.s_addr) + static_cast<uint32_t>(i));
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &d.addr.sin_addr, ip, sizeof ip);
        d.ip = ip;
        d.sw = g_opt.sw;
        d.sw.resize(4, 0);
        if (g_opt.tcp) {
            if (!tcp_connect(d)) return false;
        } else {
            d.udp_fd = udp_socket(d.addr.sin_addr.s_addr, false);
            if (d.udp_fd < 0) return false;
        }
    }
    if (!g_opt.tcp) {
        g_bcast_fd = udp_socket(htonl(INADDR_ANY), true);
        if (g_bcast_fd < 0) return false;
    }
    return true;
}

void read_udp(int fd, int dev_idx) {
    std::vector<char> buf(kMaxPacket);
    char cbuf[256];
    struct sockaddr_in from {};
    struct iovec iov = {buf.data(), buf.size() - 1};
    struct msghdr msg {};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = cbuf;
    msg.msg_controllen = sizeof cbuf;
    ssize_t n = ::recvmsg(fd, &msg, MSG_DONTWAIT);
    if (n <= 0) return;
    std::string pkt(buf.data(), static_cast<size_t>(n));
    if (dev_idx >= 0) {
        receive(static_cast<size_t>(dev_idx), pkt, "udp");
        return;
    }
    // The shared socket: a broadcast goes to every device; a unicast that
    // landed here goes to the device of that address.
    in_addr_t dst = 0;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
            dst = reinterpret_cast<struct in_pktinfo *>(CMSG_DATA(c))->ipi_addr.s_addr;
    }
    for (size_t i = 0; i < g_devs.size(); ++i) {
        if (g_devs[i].addr.sin_addr.s_addr == dst) {
            receive(i, pkt, "udp");
            return;
        }
    }
    for (size_t i = 0; i < g_devs.size(); ++i)
        receive(i, pkt, "bcast");
}

// The host ends each TCP packet with a line feed.
bool read_tcp(size_t idx) {
    Device &d = g_devs[idx];
    char buf[4096];
    ssize_t n = ::recv(d.tcp_fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (n <= 0) {
        fprintf(stderr, "simdev: %s: the host closed the connection\n", d.mac.c_str());
        ::close(d.tcp_fd);
        d.tcp_fd = -1;
        return false;
    }
    d.tcp_buf.append(buf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = d.tcp_buf.find('\n')) != std::string::npos) {
        std::string line = d.tcp_buf.substr(0, nl);
        d.tcp_buf.erase(0, nl + 1);
        if (!line.empty()) receive(idx, line, "tcp");
    }
    if (d.tcp_buf.size() > kMaxPacket) d.tcp_buf.clear();
    return true;
}

void run_step(const std::string &step) {
    for (Device &d : g_devs) {
        if (step == "ubind") send_ubind(d);
        if (step == "hb") send_hb(d);
        if (step == "status") send_status(d);
        if (step == "dat") send_dat(d);
        if (step == "json") send_json_status(d);
        if (step == "raw" && !g_opt.raw.empty()) send_inner(d, g_opt.raw, g_opt.family);
    }
}

void schedule_hb() {
    if (g_opt.hb_s <= 0) return;
    after(static_cast<uint64_t>(g_opt.hb_s) * 1000, [] {
        run_step("hb");
        schedule_hb();
    });
}

// Polls every socket until `until` (0: until a signal), running due timers.
void loop(uint64_t until) {
    while (!g_stop) {
        uint64_t now = now_ms();
        while (!g_timers.empty() && g_timers.begin()->first <= now) {
            auto fn = std::move(g_timers.begin()->second);
            g_timers.erase(g_timers.begin());
            fn();
        }
        if (until && now >= until) return;
        int timeout = 1000;
        if (!g_timers.empty())
            timeout = static_cast<int>(std::min<uint64_t>(1000, g_timers.begin()->first - now));
        if (until)
            timeout = static_cast<int>(std::min<uint64_t>(static_cast<uint64_t>(timeout), until - now));
        std::vector<struct pollfd> fds;
        std::vector<int> owner;
        if (g_bcast_fd >= 0) {
            fds.push_back({g_bcast_fd, POLLIN, 0});
            owner.push_back(-1);
        }
        for (size_t i = 0; i < g_devs.size(); ++i) {
            int fd = g_opt.tcp ? g_devs[i].tcp_fd : g_devs[i].udp_fd;
            if (fd < 0) continue;
            fds.push_back({fd, POLLIN, 0});
            owner.push_back(static_cast<int>(i));
        }
        int r = ::poll(fds.data(), fds.size(), timeout);
        if (r <= 0) continue;
        for (size_t k = 0; k < fds.size(); ++k) {
            if (!fds[k].revents) continue;
            if (g_opt.tcp) {
                read_tcp(static_cast<size_t>(owner[k]));
            } else {
                read_udp(fds[k].fd, owner[k]);
            }
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    orvi_log_level_set(ORVI_LOG_NONE);
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    if (!parse_args(argc, argv)) return 2;
    if (!g_opt.log.empty()) {
        g_log = fopen(g_opt.log.c_str(), "ae");
        if (!g_log) {
            fprintf(stderr, "simdev: cannot open %s: %s\n", g_opt.log.c_str(), strerror(errno));
            return 1;
        }
    }
    if (!setup_devices()) return 1;
    fprintf(stderr, "simdev: %d device(s) from %s (%s) model %s, %s to %s\n", g_opt.count,
            g_devs.front().mac.c_str(), g_devs.front().ip.c_str(), g_opt.mid.c_str(),
            g_opt.tcp ? "tcp" : "udp", g_opt.host.c_str());
    if (!g_opt.once.empty()) {
        for (const std::string &step : g_opt.once)
            run_step(step);
        loop(now_ms() + static_cast<uint64_t>(g_opt.wait_ms));
        return 0;
    }
    if (g_opt.bind) {
        run_step("ubind");
        run_step("status");
    }
    schedule_hb();
    loop(0);
    return 0;
}
