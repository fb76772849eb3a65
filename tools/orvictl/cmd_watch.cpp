// "orvictl watch": follows the board's local MQTT broker and prints every
// message: topic, retained flag, the raw payload and, for event packages,
// the decrypted text opened with the key the daemon would pick. Reconnects
// and subscribes again by itself when the broker restarts.
#include <MQTTAsync.h>
#include <cJSON.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>

#include "board_keys.h"
#include "local_mqtt.h"
#include "orvi_utils.h"
#include "orvictl.h"

namespace {
int run_watch(const std::vector<std::string> &args);

const orvictl_command kWatch = {
    "watch",
    "watch [TOPIC] [--count N] [--timeout S] [--json] [--key KEY] [--broker URI] [--user U --password P]",
    "print the messages of the board's local broker (TOPIC defaults to \"#\"), with event packages "
    "decrypted; --json prints one {\"topic\",\"retain\",\"payload\",\"plain\"} object per line",
    run_watch};
ORVICTL_COMMAND(kWatch);

struct arrived {
    std::string topic;
    std::string payload;
    bool retained;
    std::string stamp;
};

// State shared with the client library's thread.
struct watch_state {
    std::mutex m;
    std::condition_variable cv;
    std::deque<arrived> q;
    std::string topic;
    MQTTAsync client = nullptr;
    bool connected = false;
    bool subscribed = false;
    bool ever_subscribed = false;
    bool failed = false;  // the last connect attempt failed
    int fail_code = 0;
    std::string fail_text;
};
watch_state g_w;

// Wall-clock time as the daemon's log lines show it (UTC+8).
std::string stamp_now() {
    auto now = std::chrono::system_clock::now();
    long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    time_t secs = static_cast<time_t>(ms / 1000) + 8 * 3600;
    struct tm tm;
    gmtime_r(&secs, &tm);
    char buf[32];
    snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
             static_cast<int>(ms % 1000));
    return buf;
}

void say(const std::string &msg) {
    fprintf(stderr, "orvictl watch: %s\n", msg.c_str());
}

int on_message(void *, char *topic, int topic_len, MQTTAsync_message *m) {
    arrived a;
    a.topic = topic_len > 0 ? std::string(topic, static_cast<size_t>(topic_len)) : std::string(topic);
    a.payload.assign(static_cast<const char *>(m->payload), static_cast<size_t>(m->payloadlen));
    a.retained = m->retained != 0;
    a.stamp = stamp_now();
    MQTTAsync_freeMessage(&m);
    MQTTAsync_free(topic);
    std::lock_guard<std::mutex> lk(g_w.m);
    g_w.q.push_back(std::move(a));
    g_w.cv.notify_all();
    return 1;
}

void on_lost(void *, char *) {
    std::lock_guard<std::mutex> lk(g_w.m);
    g_w.connected = false;
    g_w.subscribed = false;
    say("connection lost; reconnecting");
}

void on_subscribed(void *, MQTTAsync_successData *r) {
    std::lock_guard<std::mutex> lk(g_w.m);
    if (r && r->alt.qos == 0x80) {
        say("the broker refused the subscription to '" + g_w.topic + "'");
        return;
    }
    say(std::string(g_w.ever_subscribed ? "subscribed again to '" : "subscribed to '") + g_w.topic + "'");
    g_w.subscribed = g_w.ever_subscribed = true;
    g_w.cv.notify_all();
}

void on_subscribe_failed(void *, MQTTAsync_failureData *r) {
    say("subscribe failed (" + std::to_string(r ? r->code : -1) + ")");
}

// After every (re)connection: a clean session has no subscription yet.
void on_connected(void *, char *) {
    std::lock_guard<std::mutex> lk(g_w.m);
    g_w.connected = true;
    g_w.failed = false;
    MQTTAsync_responseOptions o = MQTTAsync_responseOptions_initializer;
    o.onSuccess = on_subscribed;
    o.onFailure = on_subscribe_failed;
    if (MQTTAsync_subscribe(g_w.client, g_w.topic.c_str(), 2, &o) != MQTTASYNC_SUCCESS)
        say("cannot subscribe");
}

void on_connect_failed(void *, MQTTAsync_failureData *r) {
    std::lock_guard<std::mutex> lk(g_w.m);
    g_w.failed = true;
    int code = r ? r->code : -1;
    std::string text = r && r->message ? r->message : "";
    if (code != g_w.fail_code || text != g_w.fail_text) {
        std::string why = code == 4 || code == 5 ? " (user or password refused)" : "";
        say("cannot connect (" + std::to_string(code) + (text.empty() ? "" : ": " + text) + ")" + why +
            "; trying again every second");
    }
    g_w.fail_code = code;
    g_w.fail_text = text;
    g_w.cv.notify_all();
}

struct connect_args {
    std::string uri, user, psw, id;
};

bool start_client(const connect_args &a) {
    if (g_w.client) MQTTAsync_destroy(&g_w.client);
    if (MQTTAsync_create(&g_w.client, a.uri.c_str(), a.id.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr) !=
        MQTTASYNC_SUCCESS) {
        g_w.client = nullptr;
        return false;
    }
    MQTTAsync_setCallbacks(g_w.client, nullptr, on_lost, on_message, nullptr);
    MQTTAsync_setConnected(g_w.client, nullptr, on_connected);
    MQTTAsync_connectOptions o = MQTTAsync_connectOptions_initializer;
    o.keepAliveInterval = 30;
    o.cleansession = 1;
    o.username = a.user.c_str();
    o.password = a.psw.c_str();
    o.automaticReconnect = 1;
    o.minRetryInterval = 1;
    o.maxRetryInterval = 2;
    o.connectTimeout = 5;
    o.onFailure = on_connect_failed;
    {
        std::lock_guard<std::mutex> lk(g_w.m);
        g_w.failed = false;
    }
    return MQTTAsync_connect(g_w.client, &o) == MQTTASYNC_SUCCESS;
}

// Non-printable bytes of a payload as \xNN, so a binary payload cannot
// garble the terminal.
std::string printable(const std::string &s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c != 0x7f) {
            out.push_back(static_cast<char>(c));
        } else {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        }
    }
    return out;
}

std::vector<std::string> json_objects(const std::string &payload) {
    std::vector<std::string> out;
    const char *cursor = payload.c_str();
    std::string obj;
    while (get_json_item_iter_str(&cursor, obj) == 0)
        out.push_back(obj);
    return out;
}

void print_json(const arrived &a, const std::vector<board_package> &packs) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "topic", a.topic.c_str());
    cJSON_AddBoolToObject(o, "retain", a.retained);
    cJSON_AddStringToObject(o, "payload", a.payload.c_str());
    std::vector<const board_package *> opened;
    for (const auto &p : packs)
        if (p.is_package) opened.push_back(&p);
    auto plain_of = [](const board_package &p) {
        return p.opened ? cJSON_CreateString(p.plain.c_str()) : cJSON_CreateNull();
    };
    if (opened.empty()) {
        cJSON_AddNullToObject(o, "plain");
    } else if (opened.size() == 1) {
        cJSON_AddItemToObject(o, "plain", plain_of(*opened[0]));
        if (!opened[0]->opened) cJSON_AddStringToObject(o, "note", opened[0]->note.c_str());
    } else {
        cJSON *arr = cJSON_AddArrayToObject(o, "plain");
        for (const auto *p : opened)
            cJSON_AddItemToArray(arr, plain_of(*p));
    }
    char *text = cJSON_PrintUnformatted(o);
    printf("%s\n", text);
    cJSON_free(text);
    cJSON_Delete(o);
}

void print_human(const arrived &a, const std::vector<board_package> &packs) {
    printf("[%s] %s%s (%zu bytes)\n", a.stamp.c_str(), a.topic.c_str(), a.retained ? "  RETAINED" : "",
           a.payload.size());
    if (a.payload.empty()) {
        printf("  (empty payload%s)\n", a.retained ? ": removes the retained message" : "");
        return;
    }
    printf("  raw:   %s\n", printable(a.payload).c_str());
    for (const auto &p : packs) {
        if (!p.is_package) continue;
        printf("  pack:  i=%d (%s) cid=%s tcid=%s\n", p.i, p.which.c_str(), p.cid.c_str(), p.tcid.c_str());
        if (p.opened)
            printf("  plain: %s\n", printable(p.plain).c_str());
        else
            printf("  plain: %s\n", p.note.c_str());
    }
}

bool parse_positive(const std::string &s, long &out) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    out = std::strtol(s.c_str(), nullptr, 10);
    return out > 0;
}

int run_watch(const std::vector<std::string> &args) {
    // The topic is a bare word and --json a flag; the rest are "--name value".
    std::vector<std::string> rest;
    std::string topic;
    bool json = false;
    const std::vector<std::string> valued = {"--count",  "--timeout", "--key",
                                             "--broker", "--user",    "--password"};
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json") {
            json = true;
        } else if (args[i].compare(0, 2, "--") == 0 || args[i] == "-h") {
            rest.push_back(args[i]);
            if (args[i].find('=') == std::string::npos && i + 1 < args.size() &&
                std::find(valued.begin(), valued.end(), args[i]) != valued.end())
                rest.push_back(args[++i]);
        } else if (topic.empty()) {
            topic = args[i];
        } else {
            return orvictl_usage_error(kWatch, "one TOPIC only (use a wildcard for more)");
        }
    }
    orvictl_options opts(kWatch, {"count", "timeout", "key", "broker", "user", "password"});
    if (!opts.parse(rest)) return ORVICTL_USAGE;
    if (opts.help()) {
        orvictl_print_usage(kWatch, stdout);
        return ORVICTL_OK;
    }
    long count = 0, timeout = 0;
    if (opts.has("count") && !parse_positive(opts.get("count"), count))
        return orvictl_usage_error(kWatch, "--count must be a positive number");
    if (opts.has("timeout") && !parse_positive(opts.get("timeout"), timeout))
        return orvictl_usage_error(kWatch, "--timeout must be a positive number of seconds");
    std::string device_key = opts.get("key");
    if (opts.has("key") && !orvictl_key_ok(kWatch, device_key)) return ORVICTL_USAGE;

    board_keys keys = board_keys_load();
    connect_args ca;
    ca.uri = opts.get("broker", LOCAL_MQTT_SERVER_URI);
    ca.user = opts.get("user", keys.user);
    ca.psw = opts.get("password", keys.psw);
    ca.id = "orvictl_watch_" + std::to_string(getpid());
    if (ca.user.empty() || ca.psw.empty()) {
        say(std::string("no broker credentials in ") + ORVI_PARAMS_FILE +
            " (the daemon writes them at its first start); trying the built-in ones");
        if (ca.user.empty()) ca.user = LOCAL_MQTT_DEFAULT_USER;
        if (ca.psw.empty()) ca.psw = LOCAL_MQTT_DEFAULT_PSW;
    }
    g_w.topic = topic.empty() ? "#" : topic;
    setvbuf(stdout, nullptr, _IOLBF, 0);

    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(timeout);
    auto timed_out = [&] { return timeout > 0 && std::chrono::steady_clock::now() >= deadline; };
    if (!start_client(ca)) return orvictl_fail(kWatch, "cannot start a client for " + ca.uri);
    say("connecting to " + ca.uri + " as " + ca.user + ", topic '" + g_w.topic + "'");

    long seen = 0;
    int rc = ORVICTL_OK;
    for (;;) {
        arrived a;
        bool retry_connect = false;
        {
            std::unique_lock<std::mutex> lk(g_w.m);
            g_w.cv.wait_for(lk, std::chrono::milliseconds(200), [] { return !g_w.q.empty() || g_w.failed; });
            if (!g_w.q.empty()) {
                a = std::move(g_w.q.front());
                g_w.q.pop_front();
            } else {
                retry_connect = g_w.failed;
            }
        }
        if (retry_connect) {
            // A first connect that failed is not retried by the library.
            sleep(1);
            if (timed_out()) break;
            start_client(ca);
            continue;
        }
        if (a.topic.empty()) {
            if (timed_out()) break;
            continue;
        }
        std::vector<board_package> packs;
        for (const std::string &obj : json_objects(a.payload))
            packs.push_back(board_open_package(keys, obj, device_key));
        if (json)
            print_json(a, packs);
        else
            print_human(a, packs);
        if (count > 0 && ++seen >= count) break;
    }
    if (count > 0 && seen < count) {
        say("timed out after " + std::to_string(timeout) + " s with " + std::to_string(seen) + " of " +
            std::to_string(count) + " messages");
        rc = ORVICTL_FAIL;
    }
    if (g_w.client) {
        MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer;
        d.timeout = 500;
        MQTTAsync_disconnect(g_w.client, &d);
        MQTTAsync_destroy(&g_w.client);
    }
    return rc;
}
}  // namespace
