// simsvc: the board's CAN and RS-485 line services, simulated for the
// virtual board (started by the board before the daemon; its output is
// /vboard/simsvc.log). What it supports:
//
// - Devices: read from /vboard/state/simsvc.json, re-read when the file
//   changes; none without it:
//     {"devices":[{"mac":"a1b2c3d4e5f6","mid":"70101","bus":"can",
//                  "key":"0123456789abcdef","cols":["Pow"],"dat":[0]}]}
//   "bus" is "can" or "485"; "key" (16 characters) opens the host's commands
//   to the device; "cols"/"dat" are its initial status (default Pow = 0).
// - Status: each device's status is published when it first appears, on
//   "/jsonStatus/<home MAC>/<device MAC>": a package with "cid" the device
//   MAC, "i" 1 (default key) around {"t":"dat","mac","mid","cols","dat","r":200}.
// - "can/check" and "485/check" from the host (package opened with the key
//   its "i" and "cid" select): "status" publishes the status of every device
//   of that bus (or of the device named by "sub"); "online" publishes
//   "/online" with {"offlineSub":[],"onlineSub":[the bus's MACs]}.
// - "/jsonRequest/<home>/<device>" from the host ("i" 2, sealed with the
//   device key): the command's "opt"/"p" (or "cols"/"dat") pairs are applied
//   to the device's status, which is then published.
// - Every message received is logged, decrypted where a key is known.
// - "simsvc emit KIND ..." (run beside the daemon, once) publishes one of the
//   events the siblings send the host, sealed as they seal it: online
//   lists, "cols"/"dat" settings (key events, parameters, link state...),
//   the lighting pair result, a line device's status, persistence records,
//   or any payload on any topic. See kUsage.
//
// It talks through the product's own local MQTT transport, with client ids
// of its own ("simsvc", "simsvc_1", "simsvc_2").
#include <cJSON.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "board_keys.h"
#include "split_list.h"
#include "event_msg.h"
#include "local_mqtt.h"
#include "orvi_log.h"
#include "orvi_utils.h"

namespace {

const char *const kDeviceFile = "/vboard/state/simsvc.json";

void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char *fmt, ...) {
    static std::mutex m;
    std::lock_guard<std::mutex> lk(m);
    orvi_time_refresh();
    char stamp[40];
    orvi_time_stamp(stamp, sizeof stamp);
    printf("%s[simsvc] ", stamp);
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fputc('\n', stdout);
    fflush(stdout);
}

struct device {
    std::string mac, mid, bus, key;
    std::vector<std::pair<std::string, std::string>> status;  // name, value as JSON text
};

board_keys g_keys;
std::vector<device> g_devices;

std::string home() {
    if (!g_keys.home_mac.empty()) return g_keys.home_mac;
    return g_keys.host_id.empty() ? "0" : g_keys.host_id;
}

std::string printed(const cJSON *j) {
    char *t = cJSON_PrintUnformatted(j);
    std::string s = t ? t : "";
    cJSON_free(t);
    return s;
}

void set_value(device &d, const std::string &name, const std::string &value) {
    for (auto &kv : d.status) {
        if (kv.first == name) {
            kv.second = value;
            return;
        }
    }
    d.status.emplace_back(name, value);
}

// Applies parallel name and value arrays; false when they do not pair up.
bool apply_pairs(device &d, const cJSON *names, const cJSON *values) {
    if (!cJSON_IsArray(names) || !cJSON_IsArray(values) ||
        cJSON_GetArraySize(names) != cJSON_GetArraySize(values))
        return false;
    for (int i = 0; i < cJSON_GetArraySize(names); ++i) {
        const cJSON *n = cJSON_GetArrayItem(names, i);
        if (cJSON_IsString(n)) set_value(d, n->valuestring, printed(cJSON_GetArrayItem(values, i)));
    }
    return true;
}

int publish_package(const std::string &topic, const std::string &cid, const std::string &tcid,
                    const std::string &body) {
    cJSON *p = event_msg_package_aseemble(cid.c_str(), 1, tcid.c_str(), 0, body.c_str());
    if (!p) return -1;
    std::string text = printed(p);
    cJSON_Delete(p);
    return mqtt_event_publish(topic.c_str(), text.c_str(), text.size(), 0);
}

// {"t":"dat","mac","mid","cols","dat","r":200} of a device, printed.
std::string status_body(const device &d) {
    cJSON *b = cJSON_CreateObject();
    cJSON_AddStringToObject(b, "t", "dat");
    cJSON_AddStringToObject(b, "mac", d.mac.c_str());
    cJSON_AddStringToObject(b, "mid", d.mid.c_str());
    cJSON *cols = cJSON_AddArrayToObject(b, "cols");
    cJSON *dat = cJSON_AddArrayToObject(b, "dat");
    for (const auto &kv : d.status) {
        cJSON_AddItemToArray(cols, cJSON_CreateString(kv.first.c_str()));
        cJSON *v = cJSON_Parse(kv.second.c_str());
        cJSON_AddItemToArray(dat, v ? v : cJSON_CreateNull());
    }
    cJSON_AddNumberToObject(b, "r", 200);
    std::string body = printed(b);
    cJSON_Delete(b);
    return body;
}

void publish_status(const device &d) {
    const std::string body = status_body(d);
    const std::string topic = "/jsonStatus/" + home() + "/" + d.mac;
    if (publish_package(topic, d.mac, home(), body) == 0)
        say("status %s -> %s", topic.c_str(), body.c_str());
    else
        say("cannot publish the status of %s", d.mac.c_str());
}

void publish_online(const std::string &bus) {
    cJSON *plain = cJSON_CreateObject();
    cJSON_AddArrayToObject(plain, "offlineSub");
    cJSON *on = cJSON_AddArrayToObject(plain, "onlineSub");
    for (const device &d : g_devices)
        if (d.bus == bus) cJSON_AddItemToArray(on, cJSON_CreateString(d.mac.c_str()));
    cJSON *payload = event_msg_payload_aseemble(home().c_str(), "", "", plain);
    if (!payload) return;
    std::string body = printed(payload);
    cJSON_Delete(payload);
    if (publish_package("/online", home(), "", body) == 0)
        say("online (%s) -> %s", bus.c_str(), body.c_str());
}

// ---- Devices file.

std::vector<device> load_devices(const std::string &text) {
    std::vector<device> out;
    cJSON *root = cJSON_Parse(text.c_str());
    const cJSON *list = root ? cJSON_GetObjectItemCaseSensitive(root, "devices") : nullptr;
    if (!cJSON_IsArray(list)) {
        say("%s: expected {\"devices\":[...]}, no devices", kDeviceFile);
        cJSON_Delete(root);
        return out;
    }
    const cJSON *e;
    cJSON_ArrayForEach(e, list) {
        auto str = [&](const char *k) {
            const cJSON *v = cJSON_GetObjectItemCaseSensitive(e, k);
            return cJSON_IsString(v) ? std::string(v->valuestring) : std::string();
        };
        device d;
        d.mac = str("mac");
        d.mid = str("mid");
        d.bus = str("bus");
        d.key = str("key");
        if (d.mac.size() < 12 || d.mac.size() > 16 || (d.bus != "can" && d.bus != "485")) {
            say("skipped a device: \"mac\" needs 12 to 16 characters and \"bus\" \"can\" or \"485\" (%s)",
                printed(e).c_str());
            continue;
        }
        if (!d.key.empty() && d.key.size() != 16) {
            say("%s: \"key\" must hold 16 characters; its commands cannot be opened", d.mac.c_str());
            d.key.clear();
        }
        const cJSON *cols = cJSON_GetObjectItemCaseSensitive(e, "cols");
        const cJSON *dat = cJSON_GetObjectItemCaseSensitive(e, "dat");
        if (!apply_pairs(d, cols, dat)) d.status = {{"Pow", "0"}};
        out.push_back(std::move(d));
    }
    cJSON_Delete(root);
    return out;
}

// Re-reads the devices file when it changed; new or changed devices
// announce their status.
void refresh_devices() {
    static long long seen = -2;
    struct stat st;
    long long stamp = stat(kDeviceFile, &st) == 0 ? static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL +
                                                        st.st_mtim.tv_nsec + st.st_size
                                                  : -1;
    if (stamp == seen) return;
    seen = stamp;
    std::string text;
    std::vector<device> fresh =
        stamp >= 0 && orvi_port_read(kDeviceFile, text) ? load_devices(text) : std::vector<device>();
    std::vector<device> announce;
    for (const device &d : fresh) {
        bool known = false;
        for (const device &o : g_devices)
            known |= o.mac == d.mac && o.mid == d.mid && o.bus == d.bus && o.status == d.status;
        if (!known) announce.push_back(d);
    }
    g_devices = std::move(fresh);
    say("%zu device(s) from %s", g_devices.size(), kDeviceFile);
    for (const device &d : announce)
        publish_status(d);
}

device *find_device(const std::string &mac) {
    for (device &d : g_devices)
        if (d.mac == mac) return &d;
    return nullptr;
}

// ---- Received messages.

std::mutex g_in_m;
std::condition_variable g_in_cv;
std::deque<std::pair<std::string, std::string>> g_in;

void on_message(const char *topic, const char *payload) {
    std::lock_guard<std::mutex> lk(g_in_m);
    g_in.emplace_back(topic, payload);
    g_in_cv.notify_one();
}

void handle_check(const std::string &bus, const cJSON *payload) {
    const cJSON *plain = cJSON_GetObjectItemCaseSensitive(payload, "plaintext");
    const cJSON *cols = plain ? cJSON_GetObjectItemCaseSensitive(plain, "cols") : nullptr;
    const cJSON *sub = cJSON_GetObjectItemCaseSensitive(payload, "sub");
    const std::string only =
        cJSON_IsString(sub) && strcmp(sub->valuestring, "0") != 0 ? sub->valuestring : "";
    const cJSON *c;
    cJSON_ArrayForEach(c, cols) {
        if (!cJSON_IsString(c)) continue;
        if (strcmp(c->valuestring, "status") == 0) {
            for (const device &d : g_devices)
                if (d.bus == bus && (only.empty() || only == d.mac)) publish_status(d);
        } else if (strcmp(c->valuestring, "online") == 0) {
            publish_online(bus);
        } else {
            say("%s/check: \"%s\" is not supported", bus.c_str(), c->valuestring);
        }
    }
}

void handle_request(const std::string &topic, device &d, const cJSON *cmd) {
    const cJSON *names = cJSON_GetObjectItemCaseSensitive(cmd, "opt");
    const cJSON *values = cJSON_GetObjectItemCaseSensitive(cmd, "p");
    if (!names) {
        names = cJSON_GetObjectItemCaseSensitive(cmd, "cols");
        values = cJSON_GetObjectItemCaseSensitive(cmd, "dat");
    }
    if (!apply_pairs(d, names, values)) {
        say("%s: command without matching \"opt\"/\"p\" or \"cols\"/\"dat\" arrays, ignored", topic.c_str());
        return;
    }
    publish_status(d);
}

void handle(const std::string &topic, const std::string &payload) {
    const char *cursor = payload.c_str();
    std::string obj;
    bool any = false;
    while (get_json_item_iter_str(&cursor, obj) == 0) {
        any = true;
        std::string dev_mac;
        if (topic.compare(0, 13, "/jsonRequest/") == 0) dev_mac = topic.substr(topic.rfind('/') + 1);
        board_package p = board_open_package(g_keys, obj);
        device *d = nullptr;
        if (p.is_package && !dev_mac.empty()) {
            d = find_device(p.tcid.empty() ? dev_mac : p.tcid);
            if (!d) d = find_device(dev_mac);
            if (d && p.i == 2) p = board_open_package(g_keys, obj, d->key);
        }
        if (!p.is_package) {
            say("recv %s (not a package): %s", topic.c_str(), obj.c_str());
            continue;
        }
        say("recv %s i=%d cid=%s tcid=%s: %s", topic.c_str(), p.i, p.cid.c_str(), p.tcid.c_str(),
            p.opened ? p.plain.c_str() : p.note.c_str());
        if (!p.opened) continue;
        cJSON *body = cJSON_Parse(p.plain.c_str());
        if (!body) {
            say("%s: the opened text is not JSON", topic.c_str());
            continue;
        }
        if (topic == "can/check")
            handle_check("can", body);
        else if (topic == "485/check")
            handle_check("485", body);
        else if (d)
            handle_request(topic, *d, body);
        else if (!dev_mac.empty())
            say("%s: no simulated device %s", topic.c_str(), dev_mac.c_str());
        cJSON_Delete(body);
    }
    if (!any) say("recv %s (no JSON object): %s", topic.c_str(), payload.c_str());
}

const char kUsage[] =
    "usage: simsvc\n"
    "The board's CAN and RS-485 services, simulated: the virtual board starts it at boot (log\n"
    "/vboard/simsvc.log). Its devices come from /vboard/state/simsvc.json, for example\n"
    "  {\"devices\":[{\"mac\":\"a1b2c3d4e5f6\",\"mid\":\"70101\",\"bus\":\"can\",\"key\":\"0123456789abcdef\",\n"
    "               \"cols\":[\"Pow\"],\"dat\":[0]}]}\n"
    "It answers \"can/check\" and \"485/check\" and applies \"/jsonRequest/<home>/<device>\" commands on\n"
    "the board's broker, once the daemon wrote the broker credentials and its keys.\n"
    "\n"
    "       simsvc emit [--cid C] [--tcid T] [--i 0|1] [--retain] [--stamp] KIND ARGS...\n"
    "publishes one sibling event and exits (0 once the broker took it; with --stamp it prints\n"
    "\"published at S\", the monotonic clock in seconds just before the publish):\n"
    "  online [--on MAC,..] [--off MAC,..]   \"/online\" with the two lists\n"
    "  pairs TOPIC NAME=VALUE...             {\"cols\",\"dat\"} on TOPIC (\"/key\", \"/parameter\",\n"
    "                                        \"mqtt/connect\", \"/host\", \"/check\", \"opGateway/tokens\")\n"
    "  pair RESULT                           \"/tovra/pair\" {\"opt\":[\"pair\"],\"p\":[RESULT]}\n"
    "  status MAC MID NAME=VALUE...          a line device's status on \"/jsonStatus/<home>/MAC\"\n"
    "  persist PARENT SUB EVENT...           \"store4massage/event/SUB\" (retained)\n"
    "  event TOPIC PAYLOAD...                each PAYLOAD (a JSON value: an object, or the bare\n"
    "                                        number \"/scene/lock2\" carries) as the body of its own\n"
    "                                        package, the packages back to back in one message\n"
    "A VALUE that parses as JSON is sent as such, else as a text. The package's \"cid\" is the host\n"
    "identifier (a status: the device MAC), \"i\" 0 (sealed with the host random key; with --cid the\n"
    "home MAC, the home key), a status \"i\" 1.\n";

// ---- One event, sent once ("simsvc emit").

cJSON *value_of(const std::string &text) {
    cJSON *v = cJSON_Parse(text.c_str());
    return v ? v : cJSON_CreateString(text.c_str());
}

// {"cols":[names],"dat":[values]} from NAME=VALUE words; null on a word without "=".
cJSON *pairs_of(const std::vector<std::string> &words, size_t from) {
    cJSON *plain = cJSON_CreateObject();
    cJSON *cols = cJSON_AddArrayToObject(plain, "cols");
    cJSON *dat = cJSON_AddArrayToObject(plain, "dat");
    for (size_t k = from; k < words.size(); ++k) {
        const size_t eq = words[k].find('=');
        if (eq == std::string::npos || eq == 0) {
            fprintf(stderr, "simsvc emit: '%s' is not NAME=VALUE\n", words[k].c_str());
            cJSON_Delete(plain);
            return nullptr;
        }
        cJSON_AddItemToArray(cols, cJSON_CreateString(words[k].substr(0, eq).c_str()));
        cJSON_AddItemToArray(dat, value_of(words[k].substr(eq + 1)));
    }
    return plain;
}

int emit(int argc, char **argv) {
    std::string cid, tcid, on, off;
    int i = 0, retain = 0;
    bool cid_given = false, stamp = false;
    std::vector<std::string> words;
    for (int k = 2; k < argc; ++k) {
        const std::string a = argv[k];
        const bool has_value = k + 1 < argc;
        if (a == "--cid" && has_value) {
            cid = argv[++k];
            cid_given = true;
        } else if (a == "--tcid" && has_value) {
            tcid = argv[++k];
        } else if (a == "--i" && has_value) {
            i = atoi(argv[++k]);
        } else if (a == "--on" && has_value) {
            on = argv[++k];
        } else if (a == "--off" && has_value) {
            off = argv[++k];
        } else if (a == "--retain") {
            retain = 1;
        } else if (a == "--stamp") {
            stamp = true;
        } else {
            words.push_back(a);
        }
    }
    if (words.empty() || (i != 0 && i != 1)) {
        fputs(kUsage, stderr);
        return 2;
    }
    orvi_log_level_set(ORVI_LOG_NONE);
    g_keys = board_keys_load();
    board_keys_install(g_keys);
    if (!board_credentials_ready(g_keys) || g_keys.random_key.size() != 16) {
        fprintf(stderr, "simsvc emit: no broker credentials or host keys in %s yet (is the daemon up?)\n",
                ORVI_PARAMS_FILE);
        return 1;
    }
    const std::string kind = words[0];
    std::string topic, body;
    std::vector<std::string> bodies;  // "event": one package each, in one message
    auto host_payload = [&](cJSON *plain) {
        cJSON *payload = event_msg_payload_aseemble(g_keys.host_id.c_str(), "", "", plain);
        body = payload ? printed(payload) : "";
        cJSON_Delete(payload);
    };
    if (!cid_given) cid = g_keys.host_id;
    if (kind == "online" && words.size() == 1) {
        cJSON *plain = cJSON_CreateObject();
        cJSON *offs = cJSON_AddArrayToObject(plain, "offlineSub");
        cJSON *ons = cJSON_AddArrayToObject(plain, "onlineSub");
        for (const std::string &m : split_list(off))
            cJSON_AddItemToArray(offs, cJSON_CreateString(m.c_str()));
        for (const std::string &m : split_list(on))
            cJSON_AddItemToArray(ons, cJSON_CreateString(m.c_str()));
        topic = "/online";
        host_payload(plain);
    } else if (kind == "pairs" && words.size() >= 3) {
        cJSON *plain = pairs_of(words, 2);
        if (!plain) return 2;
        topic = words[1];
        host_payload(plain);
    } else if (kind == "pair" && words.size() == 2) {
        cJSON *plain = cJSON_CreateObject();
        cJSON_AddItemToArray(cJSON_AddArrayToObject(plain, "opt"), cJSON_CreateString("pair"));
        cJSON_AddItemToArray(cJSON_AddArrayToObject(plain, "p"), value_of(words[1]));
        topic = "/tovra/pair";
        host_payload(plain);
    } else if (kind == "status" && words.size() >= 3) {
        device d;
        d.mac = words[1];
        d.mid = words[2];
        cJSON *plain = pairs_of(words, 3);
        if (!plain) return 2;
        apply_pairs(d, cJSON_GetObjectItem(plain, "cols"), cJSON_GetObjectItem(plain, "dat"));
        cJSON_Delete(plain);
        if (!cid_given) cid = d.mac;
        if (i == 0 && !cid_given) i = 1;
        tcid = home();
        topic = "/jsonStatus/" + home() + "/" + d.mac;
        body = status_body(d);
    } else if (kind == "persist" && words.size() >= 3) {
        cJSON *names = cJSON_CreateArray();
        for (size_t k = 3; k < words.size(); ++k)
            cJSON_AddItemToArray(names, cJSON_CreateString(words[k].c_str()));
        cJSON *payload = event_msg_payload_aseemble(words[1].c_str(), words[2].c_str(), "", names);
        body = payload ? printed(payload) : "";
        cJSON_Delete(payload);
        topic = "store4massage/event/" + words[2];
        tcid = words[2];
        retain = 1;
    } else if (kind == "event" && words.size() >= 3) {
        for (size_t k = 2; k < words.size(); ++k) {
            cJSON *payload = cJSON_Parse(words[k].c_str());
            if (!payload) {
                fprintf(stderr, "simsvc emit: payload %zu is not JSON\n", k - 1);
                return 2;
            }
            bodies.push_back(printed(payload));
            cJSON_Delete(payload);
        }
        topic = words[1];
        body = bodies.front();
    } else {
        fputs(kUsage, stderr);
        return 2;
    }
    if (body.empty() || topic.empty()) {
        fprintf(stderr, "simsvc emit: nothing to send\n");
        return 1;
    }
    orvi_log_level_set(ORVI_LOG_WARN);
    if (bodies.empty()) bodies.push_back(body);
    double at = 0;
    const int rc = board_emit("simsvc emit", topic, bodies, cid, i, tcid, retain, stamp ? &at : nullptr);
    // Closed here, its threads stopped: left to the exit, the transport
    // holds the process for seconds after the broker took the message.
    local_mqtt_shutdown();
    if (rc != 0) return 1;
    for (const std::string &b : bodies) printf("emitted %s %s\n", topic.c_str(), b.c_str());
    if (stamp) printf("published at %.6f\n", at);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h"))) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (argc > 1 && !strcmp(argv[1], "emit")) return emit(argc, argv);
    if (argc > 1) {
        fprintf(stderr, "simsvc: takes no arguments, not '%s'\n%s", argv[1], kUsage);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    say("simulated CAN and RS-485 services starting");
    orvi_log_level_set(ORVI_LOG_NONE);
    for (bool told = false;; told = true) {
        g_keys = board_keys_load();
        if (board_credentials_ready(g_keys) && g_keys.random_key.size() == 16) break;
        if (!told) say("waiting for the broker credentials and the host keys in %s", ORVI_PARAMS_FILE);
        sleep(1);
    }
    board_keys_install(g_keys);
    orvi_log_level_set(ORVI_LOG_WARN);
    local_mqtt_set_pub_prefix("simsvc");
    local_mqtt_set_pool_size(2);
    local_mqtt_service();
    const char *topics[] = {"can/check", "485/check", "/jsonRequest/#"};
    if (local_sub_topic_3("simsvc", topics, 3, on_message) != 3) {
        say("cannot subscribe; giving up");
        return 1;
    }
    say("subscribed to can/check, 485/check, /jsonRequest/#");
    refresh_devices();
    for (;;) {
        std::pair<std::string, std::string> m;
        {
            std::unique_lock<std::mutex> lk(g_in_m);
            g_in_cv.wait_for(lk, std::chrono::seconds(1), [] { return !g_in.empty(); });
            if (!g_in.empty()) {
                m = std::move(g_in.front());
                g_in.pop_front();
            }
        }
        if (!m.first.empty()) {
            handle(m.first, m.second);
            continue;
        }
        // Quiet second: the home identity or the device list may have changed.
        orvi_time_refresh();
        orvi_log_level_set(ORVI_LOG_NONE);
        g_keys = board_keys_load();
        board_keys_install(g_keys);
        orvi_log_level_set(ORVI_LOG_WARN);
        refresh_devices();
    }
}
