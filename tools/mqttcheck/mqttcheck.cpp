// mqttcheck: drives the product's own local MQTT transport from a process of
// its own on the board, for the transport's scenario tests and for checking
// a board by hand. It publishes numbered event packages through
// mqtt_event_publish, can subscribe with both kinds of subscription, and
// reports what was published, dropped and received. Its clients carry their
// own ids ("mqttcheck_N", "mqttcheck_sub_PID", ...) so the daemon's clients
// are never disturbed. Output, one line each:
//   published TOPIC SEQ RC     (--observe: a publish completed, RC 0, or failed)
//   recv1 TOPIC SEQ / recv2 TOPIC SEQ   (pubsub: first / second kind received)
//   summary {...}              (last line)
// plus the transport's own warnings (full lists, failed publishes).
#include <cJSON.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board_keys.h"
#include "local_mqtt.h"
#include "orvi_aes.h"
#include "orvi_log.h"

namespace {

std::mutex g_out;
board_keys g_keys;

void out(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void out(const char *fmt, ...) {
    std::lock_guard<std::mutex> lk(g_out);
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
}

int usage(FILE *to = stderr) {
    fprintf(to,
            "usage: mqttcheck publish [--interval-ms X] [--retain] [--observe] [--flush-ms W] [--plain] "
            "TOPIC=COUNT...\n"
            "       mqttcheck pubsub --topic T --count N [--interval-ms X] [--tail-ms W]\n"
            "       mqttcheck retain-cycle --topics N\n"
            "       mqttcheck send --topic T [--i 0|1|2] [--key K] [--cid C] [--tcid T] [--retain] BODY\n"
            "  publish: queues COUNT numbered packages per TOPIC (round robin over the topics), waits until\n"
            "           they are published (at most --flush-ms, default 60000) and prints a summary.\n"
            "  pubsub:  subscribes T with both kinds of subscription and publishes N packages on it.\n"
            "  retain-cycle: on ret/0 .. ret/N-1 publishes a retained \"old\", deletes it and, on odd\n"
            "           topics, publishes a retained \"new<n>\"; then ret/zz_end \"end\".\n"
            "  send:    publishes one package around BODY as the daemon seals it (--i 0: home key when\n"
            "           --cid is the home MAC, else the host random key; 1: default key; 2: BODY is first\n"
            "           encrypted with --key, a device key). --cid defaults to the host identifier.\n");
    return to == stdout ? 0 : 2;
}

// "--name value" options and bare words.
struct args_t {
    std::vector<std::string> words;
    std::vector<std::pair<std::string, std::string>> opts;
    bool flag(const char *name) const {
        for (const auto &o : opts)
            if (o.first == name) return true;
        return false;
    }
    long num(const char *name, long fallback) const {
        for (const auto &o : opts)
            if (o.first == name) return std::strtol(o.second.c_str(), nullptr, 10);
        return fallback;
    }
    std::string text(const char *name) const {
        for (const auto &o : opts)
            if (o.first == name) return o.second;
        return "";
    }
};

args_t parse(int argc, char **argv, const std::vector<std::string> &flags) {
    args_t a;
    for (int i = 2; i < argc; ++i) {
        std::string w = argv[i];
        if (w.compare(0, 2, "--") != 0) {
            a.words.push_back(w);
            continue;
        }
        w = w.substr(2);
        bool is_flag = false;
        for (const auto &f : flags)
            is_flag |= f == w;
        a.opts.emplace_back(w, !is_flag && i + 1 < argc ? argv[++i] : "");
    }
    return a;
}

// Lengths vary from one message to the next, as real events do (equal
// lengths on one publisher are paced 50 ms apart).
std::string body_of(long seq, const std::string &topic) {
    return "{\"seq\":" + std::to_string(seq) + ",\"topic\":\"" + topic + "\",\"pad\":\"" +
           std::string(static_cast<size_t>(seq % 10), 'x') + "\"}";
}

// The package the daemon would publish: "i" 0, sealed with the host random key.
std::string package_of(const std::string &body) {
    cJSON *p = event_msg_package_aseemble(g_keys.host_id.c_str(), 0, "", 0, body.c_str());
    if (!p) return "";
    char *text = cJSON_PrintUnformatted(p);
    std::string s = text;
    cJSON_free(text);
    cJSON_Delete(p);
    return s;
}

// The "seq" of a payload: a package opened with the host random key, or a
// bare {"seq"} text. -1 when there is none.
long seq_of(const std::string &payload) {
    cJSON *body = local_mqtt_get_pack_str(payload.c_str(), g_keys.random_key.c_str(), 0);
    if (!body) body = cJSON_Parse(payload.c_str());
    long seq = -1;
    const cJSON *s = body ? cJSON_GetObjectItemCaseSensitive(body, "seq") : nullptr;
    if (cJSON_IsNumber(s)) seq = s->valueint;
    cJSON_Delete(body);
    return seq;
}

void observe(const local_pub_msg_t &m, int rc) {
    out("published %s %ld %d\n", m.topic.c_str(), seq_of(m.payload), rc);
}

void summary(long queued, bool flushed) {
    local_mqtt_stats_t s = local_mqtt_stats();
    out("summary {\"queued\":%ld,\"published\":%llu,\"failed\":%llu,\"dropped_control\":%llu,"
        "\"dropped_status\":%llu,\"flushed\":%s}\n",
        queued, static_cast<unsigned long long>(s.published), static_cast<unsigned long long>(s.failed),
        static_cast<unsigned long long>(s.dropped[LOCAL_PUB_LIST_CONTROL]),
        static_cast<unsigned long long>(s.dropped[LOCAL_PUB_LIST_STATUS]), flushed ? "true" : "false");
}

int publish_text(const std::string &topic, const std::string &text, int retain) {
    return mqtt_event_publish(topic.c_str(), text.c_str(), text.size(), retain);
}

int run_publish(const args_t &a) {
    struct plan_t {
        std::string topic;
        long count;
    };
    std::vector<plan_t> plan;
    for (const std::string &w : a.words) {
        size_t eq = w.rfind('=');
        long n = eq == std::string::npos ? 0 : std::strtol(w.c_str() + eq + 1, nullptr, 10);
        if (eq == 0 || n <= 0) return usage();
        plan.push_back({w.substr(0, eq), n});
    }
    if (plan.empty()) return usage();
    if (a.flag("observe")) local_mqtt_set_publish_observer(observe);
    const long interval = a.num("interval-ms", 0);
    const int retain = a.flag("retain") ? 1 : 0;
    long queued = 0;
    for (long i = 0;; ++i) {
        bool any = false;
        for (const plan_t &p : plan) {
            if (i >= p.count) continue;
            any = true;
            std::string body = body_of(i, p.topic);
            if (publish_text(p.topic, a.flag("plain") ? body : package_of(body), retain) == 0) ++queued;
            if (interval > 0) std::this_thread::sleep_for(std::chrono::milliseconds(interval));
        }
        if (!any) break;
    }
    out("queued %ld\n", queued);
    bool flushed = local_mqtt_flush(static_cast<unsigned>(a.num("flush-ms", 60000))) == 0;
    summary(queued, flushed);
    return flushed ? 0 : 1;
}

std::mutex g_last_mutex;
long g_last[3] = {-1, -1, -1};

void record(int kind, const char *topic, const char *payload) {
    long seq = seq_of(payload);
    {
        std::lock_guard<std::mutex> lk(g_last_mutex);
        if (seq > g_last[kind]) g_last[kind] = seq;
    }
    out("recv%d %s %ld\n", kind, topic, seq);
}
void recv1(const char *topic, const char *payload) {
    record(1, topic, payload);
}
void recv2(const char *topic, const char *payload) {
    record(2, topic, payload);
}

int run_pubsub(const args_t &a) {
    const std::string topic = a.text("topic");
    const long count = a.num("count", 0);
    if (topic.empty() || count <= 0) return usage();
    const std::string pid = std::to_string(getpid());
    const std::string sub1 = "mqttcheck_sub_" + pid, sub2 = "mqttcheck_cli_" + pid;
    const char *topics[] = {topic.c_str()};
    if (local_sub_topic_3(sub1.c_str(), topics, 1, recv1) != 1) return 1;
    if (mqtt_local_event_subscribe(sub2.c_str(), topic.c_str(), recv2) != 0) return 1;
    out("subscribed %s\n", topic.c_str());
    local_mqtt_set_publish_observer(observe);
    const long interval = a.num("interval-ms", 20);
    for (long i = 0; i < count; ++i) {
        publish_text(topic, package_of(body_of(i, topic)), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(interval));
    }
    bool flushed = local_mqtt_flush(60000) == 0;
    // The last message on both kinds of subscription, or the tail time.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(a.num("tail-ms", 10000));
    while (std::chrono::steady_clock::now() < until) {
        {
            std::lock_guard<std::mutex> lk(g_last_mutex);
            if (g_last[1] == count - 1 && g_last[2] == count - 1) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    summary(count, flushed);
    return 0;
}

int run_retain_cycle(const args_t &a) {
    const long n = a.num("topics", 0);
    if (n <= 0) return usage();
    for (long t = 0; t < n; ++t) {
        std::string topic = "ret/" + std::to_string(t);
        publish_text(topic, "old", 1);
        delete_mqtt_retain(topic.c_str());
        if (t % 2) publish_text(topic, "new" + std::to_string(t), 1);
    }
    publish_text("ret/zz_end", "end", 1);
    bool flushed = local_mqtt_flush(60000) == 0;
    summary(n, flushed);
    return flushed ? 0 : 1;
}

int run_send(const args_t &a) {
    const std::string topic = a.text("topic");
    const long i = a.num("i", 0);
    if (topic.empty() || a.words.size() != 1 || i < 0 || i > 2) return usage();
    std::string body = a.words[0];
    if (i == 2) {
        const std::string key = a.text("key");
        if (key.size() != 16 || orvi_aes_encrypt(key.c_str(), body) != 0) {
            fprintf(stderr, "mqttcheck: --i 2 needs --key with the 16-character device key\n");
            return 2;
        }
    }
    const std::string cid = a.flag("cid") ? a.text("cid") : g_keys.host_id;
    cJSON *p =
        event_msg_package_aseemble(cid.c_str(), static_cast<int>(i), a.text("tcid").c_str(), 0, body.c_str());
    if (!p) {
        fprintf(stderr, "mqttcheck: the package could not be sealed\n");
        return 1;
    }
    char *text = cJSON_PrintUnformatted(p);
    cJSON_Delete(p);
    int rc = publish_text(topic, text, a.flag("retain") ? 1 : 0);
    cJSON_free(text);
    bool flushed = rc == 0 && local_mqtt_flush(30000) == 0;
    summary(rc == 0 ? 1 : 0, flushed);
    return flushed ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return usage();
    const std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h") return usage(stdout);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    orvi_time_refresh();
    // The transport's warnings (full lists, failed publishes) are part of the report.
    orvi_log_level_set(ORVI_LOG_NONE);
    g_keys = board_keys_load();
    board_keys_install(g_keys);
    orvi_log_level_set(ORVI_LOG_WARN);
    local_mqtt_set_pub_prefix("mqttcheck");
    if (g_keys.random_key.size() != 16 && cmd != "retain-cycle") {
        fprintf(stderr, "mqttcheck: no host random key in %s yet (is the daemon up?)\n", ORVI_PARAMS_FILE);
        return 1;
    }
    if (const char *uri = getenv("MQTTCHECK_BROKER")) local_mqtt_set_server_uri(uri);

    int rc;
    if (cmd == "publish") {
        args_t a = parse(argc, argv, {"retain", "observe", "plain"});
        local_mqtt_service();
        rc = run_publish(a);
    } else if (cmd == "pubsub") {
        local_mqtt_service();
        rc = run_pubsub(parse(argc, argv, {}));
    } else if (cmd == "retain-cycle") {
        local_mqtt_service();
        rc = run_retain_cycle(parse(argc, argv, {}));
    } else if (cmd == "send") {
        local_mqtt_service();
        rc = run_send(parse(argc, argv, {"retain"}));
    } else {
        return usage();
    }
    local_mqtt_set_publish_observer(nullptr);
    local_mqtt_shutdown();
    return rc;
}
