// "orvictl app": talks to the host as the phone mini-app does on the LAN.
// Sends one packet (sealed with the product's own envelope code) over UDP
// to port 5000 or over TCP to port 1813, then prints every answer and page
// the host sends back for a while, acknowledging pages the way the app does.
#include <arpa/inet.h>
#include <cJSON.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "split_list.h"
#include "orvi_aes.h"
#include "orvi_envelope.h"
#include "orvi_product.h"
#include "orvictl.h"

namespace {
int run_app(const std::vector<std::string> &args);

const orvictl_command kApp = {
    "app",
    "app [--host ADDR] [--tcp] [--port P] [--bind ADDR] [--lport P] [--key KEY] [--i 0|1|2] [--cid CID]\n"
    "      [--tcid TCID] [--msgid N] [--wait MS] [--expect TYPE] [--no-ack] [--json]\n"
    "      [--raw] [--chunk N] [--gap MS] [--status MAC[,MAC..] [--cols NAME[,NAME..]]]\n"
    "      [--cmd MAC | --jsoncmd MAC] [--set NAME=VALUE[,NAME=VALUE..]] [INNER_JSON | < inner.json]\n"
    "  app --push-devlist FILE [--push-roomlist FILE] [--page N] [--drop-page K] [--oper-type N]\n"
    "      [--pair-mod N] [--host ADDR] [--tcp] [--lport P] [--wait MS] [--json]",
    "send one packet to the host like the mini-app (UDP to --host:5000, or TCP :1813 with --tcp), print what "
    "comes back for --wait ms (default 2000), acknowledging pages unless --no-ack. Defaults: --host "
    "192.0.2.10, "
    "--i 1 (default key), --cid miniApp. --key is the private key for --i 0 and for answers sealed with it. "
    "--json: one decrypted packet per line. --expect T: exit 0 once a packet of type T arrives, 1 if none. "
    "Without --expect it exits 0 once anything answered, 1 when nothing did (with --wait 0 or --raw no "
    "answer is waited for). "
    "--raw: send the input bytes as they are (no envelope); --chunk/--gap: write them over TCP in pieces. "
    "Instead of INNER_JSON: --status builds a status query of the devices (their --cols, or all); --cmd and "
    "--jsoncmd build a \"cmd\" / \"jsonCmd\" command of the --set options (numbers stay numbers). "
    "--push-devlist / --push-roomlist: a whole app session instead: bind as the mini-app (UBind with "
    "\"devCnt\", sealed with --key under --i 0, else with the default key), push the room list (FILE: a JSON array of {id,sId,name}) and the device list (FILE: a JSON "
    "array of device objects) in pages of --page (default 10) as the host acknowledges them and answer its "
    "\"syncDev\" with the page asked for; --drop-page K loses device page K (0-based) the first time; "
    "--oper-type / --pair-mod add \"operType\" (with \"sum\") and \"pairMod\" to the pages. Exits 0 once "
    "the host reported both lists done within --wait ms",
    run_app};
ORVICTL_COMMAND(kApp);

struct JsonFree {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};
using json_ptr = std::unique_ptr<cJSON, JsonFree>;

struct Config {
    std::string host = "192.0.2.10";
    bool tcp = false;
    unsigned short port = 0;
    std::string bind_addr;
    unsigned short lport = 0;
    std::string key = ORVI_DEFAULT_KEY;
    int family = AES_KEY_TYPE_DEFAULT;
    std::string cid = "miniApp";
    std::string tcid;
    uint32_t msgid = 1;
    int wait_ms = 2000;
    std::string expect;
    bool ack = true;
    bool json = false;
    bool raw = false;
    size_t chunk = 0;
    int gap_ms = 0;
    // App session (run_session).
    std::string devlist_file;
    std::string roomlist_file;
    int page = 10;
    int drop_page = -1;
    int oper_type = -1;
    int pair_mod = -1;
};

struct Channel {
    int fd = -1;
    bool tcp = false;
    struct sockaddr_in host {};
    std::string pending;  // TCP bytes after the last line feed
};

bool parse_num(const std::string &s, long long lo, long long hi, long long &v) {
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 12) return false;
    v = std::strtoll(s.c_str(), nullptr, 10);
    return v >= lo && v <= hi;
}

uint64_t now_ms() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

std::string print(const cJSON *j) {
    char *p = cJSON_PrintUnformatted(j);
    std::string s = p ? p : "";
    cJSON_free(p);
    return s;
}

bool send_bytes(Channel &ch, const std::string &bytes, size_t chunk, int gap_ms) {
    if (!ch.tcp) {
        return ::sendto(ch.fd, bytes.data(), bytes.size(), 0, reinterpret_cast<struct sockaddr *>(&ch.host),
                        sizeof ch.host) == static_cast<ssize_t>(bytes.size());
    }
    size_t off = 0;
    while (off < bytes.size()) {
        size_t n = chunk ? std::min(chunk, bytes.size() - off) : bytes.size() - off;
        ssize_t w = ::send(ch.fd, bytes.data() + off, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        off += static_cast<size_t>(w);
        if (chunk && gap_ms > 0 && off < bytes.size())
            std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
    }
    return true;
}

// Seals an inner packet as the app; family 2 travels plain.
bool seal(const Config &c, const std::string &inner, int family, const std::string &key, uint32_t msgid,
          std::string &out) {
    if (family == AES_KEY_TYPE_NONE) {
        out = inner;
        return true;
    }
    std::string cipher = inner;
    if (orvi_aes_encrypt(key.c_str(), cipher) != 0) return false;
    return orvi_envelope_build(static_cast<aes_key_t>(family),
                               c.tcp ? SOCKET_CONNECT_TYPE_TCP : SOCKET_CONNECT_TYPE_UDP, c.cid, c.tcid,
                               msgid, cipher, -1, nullptr, out) == 0;
}

// The app's acknowledgement of a page, or null for anything else.
cJSON *ack_for(const cJSON *pkt) {
    const cJSON *t = cJSON_GetObjectItem(pkt, "t");
    if (!cJSON_IsString(t)) return nullptr;
    std::string type = t->valuestring;
    int i = cJSON_GetObjectItem(pkt, "i") ? cJSON_GetObjectItem(pkt, "i")->valueint : 0;
    int sum = cJSON_GetObjectItem(pkt, "sum") ? cJSON_GetObjectItem(pkt, "sum")->valueint : 0;
    auto size_of = [pkt](const char *name) {
        const cJSON *a = cJSON_GetObjectItem(pkt, name);
        return cJSON_IsArray(a) ? cJSON_GetArraySize(a) : 0;
    };
    cJSON *a = cJSON_CreateObject();
    auto page_ack = [&](const char *res, const char *done, int num) {
        if (i + num >= sum) {
            cJSON_AddStringToObject(a, "t", done);
            cJSON_AddNumberToObject(a, "sum", sum);
        } else {
            cJSON_AddStringToObject(a, "t", res);
            cJSON_AddNumberToObject(a, "i", i);
            cJSON_AddNumberToObject(a, "num", num);
        }
    };
    if (type == "DevOnlinePush") {
        page_ack("DevOnlineRes", "DevOnlineDone", size_of("online") + size_of("offline"));
    } else if (type == "CheckResPush") {
        page_ack("CheckResRes", "CheckResDone", size_of("failDev"));
    } else if (type == "devListPush") {
        cJSON_AddStringToObject(a, "t", "devListPushRes");
        cJSON_AddNumberToObject(a, "i", i);
        cJSON_AddNumberToObject(a, "num", size_of("devList"));
        cJSON_AddNumberToObject(a, "sum", sum);
    } else {
        cJSON_Delete(a);
        return nullptr;
    }
    return a;
}

// Opens and shows one received packet; acknowledges a page. True when its
// type is the one expected.
bool on_packet(const Config &c, Channel &ch, const std::string &pkt, const struct sockaddr_in &from,
               uint32_t &msgid) {
    char ip[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
    std::string where =
        std::string(ch.tcp ? "tcp " : "udp ") + ip + ":" + std::to_string(ntohs(from.sin_port));
    json_ptr env(cJSON_Parse(pkt.c_str()));
    if (!env) {
        fprintf(stderr, "orvictl app: [%s] not JSON: %.200s\n", where.c_str(), pkt.c_str());
        return false;
    }
    std::string inner = pkt;
    int family = AES_KEY_TYPE_NONE;
    std::string key;
    const cJSON *t = cJSON_GetObjectItem(env.get(), "t");
    if (cJSON_IsString(t) && std::strcmp(t->valuestring, "pack") == 0) {
        const cJSON *i = cJSON_GetObjectItem(env.get(), "i");
        const cJSON *p = cJSON_GetObjectItem(env.get(), "pack");
        family = cJSON_IsNumber(i) ? i->valueint : -1;
        if (!cJSON_IsString(p) || (family != 0 && family != 1)) {
            fprintf(stderr, "orvictl app: [%s] bad envelope: %.200s\n", where.c_str(), pkt.c_str());
            return false;
        }
        key = family == AES_KEY_TYPE_DEFAULT ? std::string(ORVI_DEFAULT_KEY) : c.key;
        inner = p->valuestring;
        if (orvi_aes_decrypt(key.c_str(), inner) != 0) {
            fprintf(stderr, "orvictl app: [%s] cannot decrypt (\"i\" %d%s)\n", where.c_str(), family,
                    family == 0 ? ": give the private key with --key" : "");
            return false;
        }
    }
    json_ptr j(cJSON_Parse(inner.c_str()));
    if (!j) {
        fprintf(stderr, "orvictl app: [%s] inner packet is not JSON: %.200s\n", where.c_str(), inner.c_str());
        return false;
    }
    if (c.json) {
        printf("%s\n", print(j.get()).c_str());
    } else {
        printf("[%s i=%d] %s\n", where.c_str(), family, print(j.get()).c_str());
    }
    fflush(stdout);
    if (c.ack) {
        json_ptr a(ack_for(j.get()));
        if (a) {
            std::string out;
            std::string text = print(a.get());
            if (seal(c, text, family, key, ++msgid, out) && send_bytes(ch, out, 0, 0)) {
                if (!c.json) printf("  ack -> %s\n", text.c_str());
            } else {
                fprintf(stderr, "orvictl app: cannot acknowledge %s\n", text.c_str());
            }
        }
    }
    const cJSON *type = cJSON_GetObjectItem(j.get(), "t");
    return !c.expect.empty() && cJSON_IsString(type) && c.expect == type->valuestring;
}

// The inner packet of the shortcut options --status, --cmd and --jsoncmd:
// true with `inner` set, or false with `rc` set (a usage error); true and
// nothing set when none of them is given.
bool shortcut_inner(const orvictl_options &opts, std::string &inner, bool &have_inner, int &rc) {
    const bool status = opts.has("status"), cmd = opts.has("cmd"), jsoncmd = opts.has("jsoncmd");
    if (!status && !cmd && !jsoncmd) return true;
    if (have_inner || status + cmd + jsoncmd > 1) {
        rc = orvictl_usage_error(kApp, "give one of INNER_JSON, --status, --cmd and --jsoncmd");
        return false;
    }
    json_ptr j(cJSON_CreateObject());
    if (status) {
        cJSON_AddStringToObject(j.get(), "t", "status");
        cJSON *list = cJSON_AddArrayToObject(j.get(), "list");
        for (const std::string &mac : split_list(opts.get("status"))) {
            cJSON *e = cJSON_CreateObject();
            cJSON_AddStringToObject(e, "mac", mac.c_str());
            if (opts.has("cols")) {
                cJSON *cols = cJSON_AddArrayToObject(e, "cols");
                for (const std::string &n : split_list(opts.get("cols")))
                    cJSON_AddItemToArray(cols, cJSON_CreateString(n.c_str()));
            }
            cJSON_AddItemToArray(list, e);
        }
    } else {
        cJSON_AddStringToObject(j.get(), "t", cmd ? "cmd" : "jsonCmd");
        cJSON_AddStringToObject(j.get(), "mac", opts.get(cmd ? "cmd" : "jsoncmd").c_str());
        cJSON *opt = cJSON_AddArrayToObject(j.get(), "opt");
        cJSON *p = cJSON_AddArrayToObject(j.get(), "p");
        for (const std::string &kv : split_list(opts.get("set"))) {
            size_t eq = kv.find('=');
            if (eq == std::string::npos || eq == 0) {
                rc = orvictl_usage_error(kApp, "--set takes NAME=VALUE pairs");
                return false;
            }
            const std::string v = kv.substr(eq + 1);
            long long n = 0;
            const bool neg = !v.empty() && v[0] == '-';
            cJSON_AddItemToArray(opt, cJSON_CreateString(kv.substr(0, eq).c_str()));
            cJSON_AddItemToArray(p, parse_num(neg ? v.substr(1) : v, 0, INT32_MAX, n)
                                        ? cJSON_CreateNumber(static_cast<double>(neg ? -n : n))
                                        : cJSON_CreateString(v.c_str()));
        }
    }
    inner = print(j.get());
    have_inner = true;
    return true;
}

// The app session's options (see run_session).
bool parse_session_args(const orvictl_options &opts, Config &c, int &rc) {
    c.devlist_file = opts.get("push-devlist");
    c.roomlist_file = opts.get("push-roomlist");
    long long v = 0;
    struct numopt {
        const char *name;
        long long lo, hi;
        int *dst;
    };
    for (const numopt &o :
         {numopt{"page", 1, 100, &c.page}, numopt{"drop-page", 0, 100000, &c.drop_page},
          numopt{"oper-type", 0, 255, &c.oper_type}, numopt{"pair-mod", 0, 255, &c.pair_mod}}) {
        if (!opts.has(o.name)) continue;
        if (!parse_num(opts.get(o.name), o.lo, o.hi, v)) {
            rc = orvictl_usage_error(kApp, std::string("--") + o.name + " must be " + std::to_string(o.lo) +
                                               ".." + std::to_string(o.hi));
            return false;
        }
        *o.dst = static_cast<int>(v);
    }
    return true;
}

bool parse_args(const std::vector<std::string> &args, Config &c, std::string &inner, bool &have_inner,
                int &rc) {
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &a = args[i];
        if (a == "--tcp") {
            c.tcp = true;
        } else if (a == "--no-ack") {
            c.ack = false;
        } else if (a == "--json") {
            c.json = true;
        } else if (a == "--raw") {
            c.raw = true;
        } else if (a.compare(0, 2, "--") == 0 || a == "-h") {
            rest.push_back(a);
            if (a.find('=') == std::string::npos && a != "--help" && a != "-h" && i + 1 < args.size())
                rest.push_back(args[++i]);
        } else if (!have_inner) {
            inner = a;
            have_inner = true;
        } else {
            rc = orvictl_usage_error(kApp, "more than one inner packet given");
            return false;
        }
    }
    orvictl_options opts(
        kApp,
        {"host",    "port", "bind",         "lport",         "key",  "i",         "cid",       "tcid",
         "msgid",   "wait", "expect",       "chunk",         "gap",  "status",    "cols",      "cmd",
         "jsoncmd", "set",  "push-devlist", "push-roomlist", "page", "drop-page", "oper-type", "pair-mod"});
    if (!opts.parse(rest)) {
        rc = ORVICTL_USAGE;
        return false;
    }
    if (opts.help()) {
        orvictl_print_usage(kApp, stdout);
        rc = ORVICTL_OK;
        return false;
    }
    long long v = 0;
    auto num = [&](const char *name, long long lo, long long hi, const char *msg) {
        if (!opts.has(name)) return true;
        if (parse_num(opts.get(name), lo, hi, v)) return true;
        rc = orvictl_usage_error(kApp, msg);
        return false;
    };
    c.host = opts.get("host", c.host);
    c.bind_addr = opts.get("bind");
    if (!num("port", 1, 65535, "--port must be 1..65535")) return false;
    c.port = opts.has("port") ? static_cast<unsigned short>(v) : (c.tcp ? 1813 : 5000);
    if (!num("lport", 0, 65535, "--lport must be 0..65535")) return false;
    if (opts.has("lport")) c.lport = static_cast<unsigned short>(v);
    if (opts.has("key")) {
        c.key = opts.get("key");
        if (!orvictl_key_ok(kApp, c.key)) {
            rc = ORVICTL_USAGE;
            return false;
        }
    }
    if (!num("i", 0, 2, "--i must be 0, 1 or 2")) return false;
    if (opts.has("i")) c.family = static_cast<int>(v);
    if (c.family == AES_KEY_TYPE_RANDOM && !opts.has("key")) {
        rc = orvictl_usage_error(kApp, "--i 0 needs the private key (--key)");
        return false;
    }
    c.cid = opts.get("cid", c.cid);
    c.tcid = opts.get("tcid");
    if (c.cid.size() > 16 || c.tcid.size() > 16) {
        rc = orvictl_usage_error(kApp, "--cid and --tcid hold at most 16 characters");
        return false;
    }
    if (!num("msgid", 0, UINT32_MAX, "--msgid must be 0..4294967295")) return false;
    if (opts.has("msgid")) c.msgid = static_cast<uint32_t>(v);
    if (!num("wait", 0, 3600000, "--wait must be 0..3600000 ms")) return false;
    if (opts.has("wait")) c.wait_ms = static_cast<int>(v);
    c.expect = opts.get("expect");
    if (!num("chunk", 1, 1 << 20, "--chunk must be 1..1048576")) return false;
    if (opts.has("chunk")) c.chunk = static_cast<size_t>(v);
    if (!num("gap", 0, 60000, "--gap must be 0..60000 ms")) return false;
    if (opts.has("gap")) c.gap_ms = static_cast<int>(v);
    if ((c.chunk || c.gap_ms) && !c.tcp) {
        rc = orvictl_usage_error(kApp, "--chunk and --gap are for --tcp");
        return false;
    }
    return parse_session_args(opts, c, rc) && shortcut_inner(opts, inner, have_inner, rc);
}

bool open_channel(const Config &c, Channel &ch) {
    ch.tcp = c.tcp;
    ch.host.sin_family = AF_INET;
    ch.host.sin_port = htons(c.port);
    if (inet_pton(AF_INET, c.host.c_str(), &ch.host.sin_addr) != 1) {
        orvictl_usage_error(kApp, "--host must be an IPv4 address");
        return false;
    }
    ch.fd = ::socket(AF_INET, (c.tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    if (ch.fd < 0) {
        orvictl_fail(kApp, std::string("socket: ") + strerror(errno));
        return false;
    }
    int on = 1;
    if (!c.tcp) {
        setsockopt(ch.fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);  // a LAN-wide probe is allowed
        // A refused port is then reported to us: nothing listens there.
        setsockopt(ch.fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    }
    if (!c.bind_addr.empty() || c.lport) {
        setsockopt(ch.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        struct sockaddr_in local {};
        local.sin_family = AF_INET;
        local.sin_port = htons(c.lport);
        if (!c.bind_addr.empty() && inet_pton(AF_INET, c.bind_addr.c_str(), &local.sin_addr) != 1) {
            orvictl_usage_error(kApp, "--bind must be an IPv4 address");
            return false;
        }
        if (::bind(ch.fd, reinterpret_cast<struct sockaddr *>(&local), sizeof local) != 0) {
            orvictl_fail(kApp, std::string("cannot bind: ") + strerror(errno));
            return false;
        }
    }
    if (c.tcp && ::connect(ch.fd, reinterpret_cast<struct sockaddr *>(&ch.host), sizeof ch.host) != 0) {
        orvictl_fail(kApp,
                     "cannot connect to " + c.host + ":" + std::to_string(c.port) + ": " + strerror(errno));
        return false;
    }
    return true;
}

// ---- App session: bind, push the room and device lists, answer syncDev ----

// A JSON array read from `path`; null (with a message) when it is not one.
json_ptr read_array(const std::string &path) {
    FILE *f = fopen(path.c_str(), "re");
    if (!f) {
        orvictl_fail(kApp, "cannot open " + path + ": " + strerror(errno));
        return nullptr;
    }
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    json_ptr j(cJSON_Parse(text.c_str()));
    if (!cJSON_IsArray(j.get())) {
        orvictl_fail(kApp, path + " is not a JSON array");
        return nullptr;
    }
    return j;
}

struct Session {
    const Config &c;
    Channel ch;
    std::string key;  // the home key the host gave in its UBindok
    uint32_t msgid;
    json_ptr devs, rooms;
    std::vector<int> dev_sent;  // start indexes of the device pages sent
    bool dropped = false;
    bool rooms_done = false, devs_done = false;
    explicit Session(const Config &cfg) : c(cfg), msgid(cfg.msgid) {}
};

int size_of(const json_ptr &a) {
    return a ? cJSON_GetArraySize(a.get()) : 0;
}

bool session_send(Session &s, const cJSON *inner, int family) {
    const std::string text = print(inner);
    std::string pkt;
    const std::string key = family == AES_KEY_TYPE_RANDOM ? s.key : std::string(ORVI_DEFAULT_KEY);
    if (!seal(s.c, text, family, key, ++s.msgid, pkt) || !send_bytes(s.ch, pkt, 0, 0)) {
        fprintf(stderr, "orvictl app: cannot send %s\n", text.c_str());
        return false;
    }
    if (!s.c.json) printf("  sent -> %s\n", text.c_str());
    return true;
}

// Elements [i, i + n) of `list`, copied.
cJSON *slice(const cJSON *list, int i, int n) {
    cJSON *out = cJSON_CreateArray();
    for (int k = i; k < i + n && k < cJSON_GetArraySize(list); ++k)
        cJSON_AddItemToArray(out, cJSON_Duplicate(cJSON_GetArrayItem(list, k), 1));
    return out;
}

// The device page starting at `i`; the page numbered --drop-page is lost
// the first time it is due.
void send_dev_page(Session &s, int i) {
    const int total = size_of(s.devs);
    if (i < 0 || i >= total) return;
    if (i / s.c.page == s.c.drop_page && !s.dropped) {
        s.dropped = true;
        fprintf(stderr, "orvictl app: device page %d (from %d) lost on purpose\n", s.c.drop_page, i);
        s.dev_sent.push_back(i);
        return;
    }
    json_ptr p(cJSON_CreateObject());
    cJSON_AddStringToObject(p.get(), "t", "devListPush");
    cJSON_AddNumberToObject(p.get(), "i", i);
    if (s.c.pair_mod >= 0) cJSON_AddNumberToObject(p.get(), "pairMod", s.c.pair_mod);
    if (s.c.oper_type >= 0) {
        cJSON_AddNumberToObject(p.get(), "operType", s.c.oper_type);
        cJSON_AddNumberToObject(p.get(), "sum", total);
    }
    cJSON_AddItemToObject(p.get(), "devList", slice(s.devs.get(), i, s.c.page));
    if (session_send(s, p.get(), AES_KEY_TYPE_RANDOM)) s.dev_sent.push_back(i);
}

void send_room_page(Session &s, int i) {
    const int total = size_of(s.rooms);
    if (i < 0 || i >= total) return;
    json_ptr p(cJSON_CreateObject());
    cJSON_AddStringToObject(p.get(), "t", "roomListPush");
    cJSON_AddNumberToObject(p.get(), "i", i);
    cJSON_AddNumberToObject(p.get(), "sum", total);
    cJSON_AddItemToObject(p.get(), "roomList", slice(s.rooms.get(), i, s.c.page));
    session_send(s, p.get(), AES_KEY_TYPE_RANDOM);
}

// One packet from the host, opened and shown; null at the deadline.
json_ptr session_recv(Session &s, uint64_t until) {
    for (;;) {
        size_t nl = s.ch.tcp ? s.ch.pending.find('\n') : std::string::npos;
        std::string pkt;
        if (nl != std::string::npos) {
            pkt = s.ch.pending.substr(0, nl);
            s.ch.pending.erase(0, nl + 1);
        } else {
            uint64_t now = now_ms();
            if (now >= until) return nullptr;
            struct pollfd pf = {s.ch.fd, POLLIN, 0};
            int r = ::poll(&pf, 1, static_cast<int>(until - now));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return nullptr;
            char buf[65536];
            ssize_t n = ::recv(s.ch.fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return nullptr;
            if (s.ch.tcp) {
                s.ch.pending.append(buf, static_cast<size_t>(n));
                continue;
            }
            pkt.assign(buf, static_cast<size_t>(n));
        }
        json_ptr env(cJSON_Parse(pkt.c_str()));
        const cJSON *i = cJSON_GetObjectItem(env.get(), "i");
        const cJSON *p = cJSON_GetObjectItem(env.get(), "pack");
        if (!cJSON_IsNumber(i) || !cJSON_IsString(p)) continue;
        std::string inner = p->valuestring;
        const std::string key = i->valueint == AES_KEY_TYPE_DEFAULT ? std::string(ORVI_DEFAULT_KEY) : s.key;
        if (key.empty() || orvi_aes_decrypt(key.c_str(), inner) != 0) {
            fprintf(stderr, "orvictl app: cannot open a packet with \"i\" %d\n", i->valueint);
            continue;
        }
        json_ptr j(cJSON_Parse(inner.c_str()));
        if (!j) continue;
        if (s.c.json) {
            printf("%s\n", print(j.get()).c_str());
        } else {
            printf("[i=%d] %s\n", i->valueint, print(j.get()).c_str());
        }
        fflush(stdout);
        return j;
    }
}

// Binds as the mini-app and pushes its lists the way the app does: each
// acknowledged page is followed by the next, and every "syncDev" is answered
// with the page it asks for.
int run_session(const Config &c) {
    Session s(c);
    if (!c.devlist_file.empty() && !(s.devs = read_array(c.devlist_file))) return ORVICTL_FAIL;
    if (!c.roomlist_file.empty() && !(s.rooms = read_array(c.roomlist_file))) return ORVICTL_FAIL;
    s.rooms_done = !s.rooms;
    s.devs_done = !s.devs;
    signal(SIGPIPE, SIG_IGN);
    if (!open_channel(c, s.ch)) return ORVICTL_FAIL;
    json_ptr ubind(cJSON_CreateObject());
    cJSON_AddStringToObject(ubind.get(), "t", "UBind");
    cJSON_AddStringToObject(ubind.get(), "mac", c.cid.c_str());
    cJSON_AddNumberToObject(ubind.get(), "devCnt", size_of(s.devs));
    // An app that holds the home key binds with it (--i 0 --key); the
    // default key alone binds only while the host is in pairing.
    s.key = c.key;
    if (!session_send(s, ubind.get(), c.family == AES_KEY_TYPE_RANDOM ? AES_KEY_TYPE_RANDOM : AES_KEY_TYPE_DEFAULT))
        return ORVICTL_FAIL;
    const uint64_t until = now_ms() + static_cast<uint64_t>(c.wait_ms);
    bool bound = false;
    auto started = [&s](int i) {
        return std::find(s.dev_sent.begin(), s.dev_sent.end(), i) != s.dev_sent.end();
    };
    while (!(bound && s.rooms_done && s.devs_done)) {
        json_ptr j = session_recv(s, until);
        if (!j) break;
        const cJSON *t = cJSON_GetObjectItem(j.get(), "t");
        const std::string type = cJSON_IsString(t) ? t->valuestring : "";
        auto num = [&j](const char *name) {
            const cJSON *n = cJSON_GetObjectItem(j.get(), name);
            return cJSON_IsNumber(n) ? n->valueint : -1;
        };
        if (type == "UBindok" && !bound) {
            const cJSON *k = cJSON_GetObjectItem(j.get(), "key");
            s.key = cJSON_IsString(k) ? k->valuestring : "";
            if (s.key.size() != 16) {
                ::close(s.ch.fd);
                return orvictl_fail(kApp,
                                    "the host's UBindok carries no home key (is the board provisioned?)");
            }
            bound = true;
            if (s.rooms) send_room_page(s, 0);
            if (s.devs && s.rooms_done) send_dev_page(s, 0);
        } else if (type == "roomListPushRes") {
            send_room_page(s, num("i") + num("num"));
        } else if (type == "syncRoomListDone") {
            s.rooms_done = true;
            if (s.devs && !started(0)) send_dev_page(s, 0);
        } else if (type == "devListPushRes" && s.rooms_done) {
            const int next = num("i") + num("num");
            if (!started(next)) send_dev_page(s, next);
        } else if (type == "syncDev" && bound && s.rooms_done) {
            send_dev_page(s, num("i"));  // asked again: sent again
        } else if (type == "syncDone") {
            s.devs_done = true;
        }
    }
    ::close(s.ch.fd);
    if (!(bound && s.rooms_done && s.devs_done)) {
        fprintf(stderr,
                "orvictl app: the session did not complete within %d ms (bound %d, rooms %d, devices %d)\n",
                c.wait_ms, bound, s.rooms_done, s.devs_done);
        return ORVICTL_FAIL;
    }
    return ORVICTL_OK;
}

// The "t" of an inner packet, "?" when it has none.
std::string packet_type(const std::string &inner) {
    json_ptr j(cJSON_Parse(inner.c_str()));
    const cJSON *t = cJSON_GetObjectItem(j.get(), "t");
    return cJSON_IsString(t) ? t->valuestring : "?";
}

// Why the host may have said nothing at all, as far as the packet shows.
void explain_silence(const Config &c) {
    if (c.family == AES_KEY_TYPE_RANDOM) {
        fprintf(stderr,
                "orvictl app: the host drops an \"i\" 0 packet from a sender it does not know (--cid %s), "
                "and it forgets the app's binding when it restarts (a reboot). Bind the app again with UBind "
                "sealed with the home key:\n"
                "  orvictl app --i 0 --key HOMEKEY --expect UBindok '{\"t\":\"UBind\",\"mac\":\"%s\",\"devCnt\":0}'\n"
                "(with the default key alone the host answers UBind only while it is in pairing)\n",
                c.cid.c_str(), c.cid.c_str());
    } else {
        fprintf(stderr,
                "orvictl app: is the board up and its daemon running (vboard status DIR)? A packet the host "
                "cannot use (an unknown MAC, an unbound device, a type it does not answer) gets no answer "
                "either: the daemon's log says why (vboard logs DIR)\n");
    }
}

int run_app(const std::vector<std::string> &args) {
    Config c;
    std::string inner;
    bool have_inner = false;
    int rc = ORVICTL_OK;
    if (!parse_args(args, c, inner, have_inner, rc)) return rc;
    if (!c.devlist_file.empty() || !c.roomlist_file.empty()) return run_session(c);
    if (!have_inner && !orvictl_read_stdin(kApp, inner)) return ORVICTL_FAIL;
    if (!c.raw) {
        inner = orvictl_trim(inner);
        json_ptr parsed(cJSON_ParseWithLength(inner.data(), inner.size()));
        if (!parsed || !cJSON_IsObject(parsed.get()))
            return orvictl_fail(kApp, "the inner packet is not a JSON object");
    } else if (inner.empty()) {
        return orvictl_fail(kApp, "nothing to send");
    }
    signal(SIGPIPE, SIG_IGN);
    Channel ch;
    if (!open_channel(c, ch)) return ORVICTL_FAIL;
    std::string pkt;
    uint32_t msgid = c.msgid;
    if (c.raw) {
        pkt = inner;
    } else if (!seal(c, inner, c.family, c.family == AES_KEY_TYPE_RANDOM ? c.key : ORVI_DEFAULT_KEY, msgid,
                     pkt)) {
        return orvictl_fail(kApp, "cannot seal the packet");
    }
    if (!send_bytes(ch, pkt, c.chunk, c.gap_ms))
        return orvictl_fail(kApp, std::string("send: ") + strerror(errno));

    bool seen = false;
    int answers = 0;
    uint64_t until = now_ms() + static_cast<uint64_t>(c.wait_ms);
    while (!seen) {
        uint64_t now = now_ms();
        if (now >= until) break;
        struct pollfd pf = {ch.fd, POLLIN, 0};
        int r = ::poll(&pf, 1, static_cast<int>(until - now));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buf[65536];
        struct sockaddr_in from = ch.host;
        socklen_t len = sizeof from;
        ssize_t n =
            ch.tcp ? ::recv(ch.fd, buf, sizeof buf, 0)
                   : ::recvfrom(ch.fd, buf, sizeof buf, 0, reinterpret_cast<struct sockaddr *>(&from), &len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == ECONNREFUSED && !ch.tcp) {
            ::close(ch.fd);
            return orvictl_fail(kApp, "nothing listens on " + c.host + ":" + std::to_string(c.port) +
                                          " (udp): is the board up and its daemon running (vboard status DIR)?");
        }
        if (n <= 0) {
            if (ch.tcp) fprintf(stderr, "orvictl app: the host closed the connection\n");
            break;
        }
        ++answers;
        if (!ch.tcp) {
            seen = on_packet(c, ch, std::string(buf, static_cast<size_t>(n)), from, msgid);
            continue;
        }
        // The host ends every TCP packet with a line feed.
        ch.pending.append(buf, static_cast<size_t>(n));
        size_t nl;
        while (!seen && (nl = ch.pending.find('\n')) != std::string::npos) {
            std::string line = ch.pending.substr(0, nl);
            ch.pending.erase(0, nl + 1);
            if (!line.empty()) seen = on_packet(c, ch, line, from, msgid);
        }
    }
    ::close(ch.fd);
    if (!c.expect.empty() && !seen) {
        fprintf(stderr, "orvictl app: no \"%s\" from %s:%u within %d ms%s\n", c.expect.c_str(),
                c.host.c_str(), c.port, c.wait_ms, answers ? " (other packets came, above)" : ", nothing came");
    } else if (c.expect.empty() && answers == 0 && c.wait_ms > 0 && !c.raw) {
        fprintf(stderr, "orvictl app: no answer to \"%s\" from %s:%u (%s) within %d ms\n",
                packet_type(inner).c_str(), c.host.c_str(), c.port, c.tcp ? "tcp" : "udp", c.wait_ms);
    } else {
        return ORVICTL_OK;
    }
    if (answers == 0) explain_silence(c);
    return ORVICTL_FAIL;
}
}  // namespace
