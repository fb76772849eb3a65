// "orvictl cloud": the cloud's side of the host's cloud link, on the cloud
// broker that simcloud runs in the board's LAN. It subscribes the host's
// answer and status topics, optionally publishes one command on the host's
// request topic sealed with the home key (as the cloud does), and prints
// every message it gets as one JSON line, the package opened.
#include <MQTTClient.h>
#include <cJSON.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "orvi_aes.h"
#include "orvi_product.h"
#include "orvictl.h"

namespace {
int run_cloud(const std::vector<std::string> &args);

const orvictl_command kCloud = {
    "cloud",
    "cloud --home MAC --key HOMEKEY [--send INNER_JSON] [--device MAC [--device-key KEY]] [--topics T[,T...]] [--count N] "
    "[--until TEXT] [--wait MS] [--broker URI] [--user U] [--password P]",
    "talk to the host as the cloud does: subscribe \"response/<home>/#\" and \"jsonStatus/<home>/#\" "
    "(or --topics), publish --send sealed with the home key on \"request/<home>[/<device>]\", print each "
    "message as {\"topic\",\"retain\",\"payload\",\"plain\"} (the package opened with the home key, or --device-key); exit 0 after --count "
    "messages (default 1 with --send) or once a printed line holds --until TEXT, 1 when --wait ms (default 10000) pass first. Broker defaults to "
    "simcloud's: tcp://192.0.2.1:1884, user \"cloud\", password \"cloudpw00000001\"",
    run_cloud};
ORVICTL_COMMAND(kCloud);

// The package's text opened: "i" other than 0 with the default key, else
// with the home key or, failing that, the device key (answers and statuses
// of a device may be sealed with its own key).
std::string open_pack(const std::string &payload, const std::string &home_key, const std::string &device_key) {
    cJSON *j = cJSON_ParseWithLength(payload.data(), payload.size());
    const cJSON *pack = cJSON_GetObjectItemCaseSensitive(j, "pack");
    const cJSON *i = cJSON_GetObjectItemCaseSensitive(j, "i");
    std::string plain;
    if (cJSON_IsString(pack)) {
        std::vector<std::string> keys = {home_key, device_key};
        if (cJSON_IsNumber(i) && i->valueint != 0) keys = {ORVI_DEFAULT_KEY};
        for (const std::string &key : keys) {
            plain = pack->valuestring;
            if (!key.empty() && orvi_aes_decrypt(key.c_str(), plain) == 0) break;
            plain.clear();
        }
        while (!plain.empty() && (plain.back() == '\n' || plain.back() == '\0')) plain.pop_back();
    }
    cJSON_Delete(j);
    return plain;
}

bool parse_count(const std::string &s, long &v) {
    char *end = nullptr;
    v = std::strtol(s.c_str(), &end, 10);
    return !s.empty() && end && *end == '\0' && v >= 0;
}

int run_cloud(const std::vector<std::string> &args) {
    orvictl_options opts(kCloud,
                         {"home", "key", "send", "device", "device-key", "topics", "count", "until", "wait", "broker", "user", "password"});
    if (!opts.parse(args)) return ORVICTL_USAGE;
    if (opts.help()) {
        orvictl_print_usage(kCloud, stdout);
        return ORVICTL_OK;
    }
    const std::string home = opts.get("home"), key = opts.get("key"), device = opts.get("device");
    if (home.size() != 16) return orvictl_usage_error(kCloud, "--home is the 16-character home MAC");
    if (!orvictl_key_ok(kCloud, key)) return ORVICTL_USAGE;
    const std::string device_key = opts.get("device-key");
    if (opts.has("device-key") && !orvictl_key_ok(kCloud, device_key)) return ORVICTL_USAGE;
    if (device.size() > 16) return orvictl_usage_error(kCloud, "--device holds at most 16 characters");
    long count = opts.has("send") ? 1 : 0, wait_ms = 10000;
    if (opts.has("count") && !parse_count(opts.get("count"), count))
        return orvictl_usage_error(kCloud, "--count is a number");
    if (opts.has("wait") && !parse_count(opts.get("wait"), wait_ms))
        return orvictl_usage_error(kCloud, "--wait is a number of milliseconds");
    std::vector<std::string> topics;
    {
        std::string list = opts.get("topics", "response/" + home + "/#,jsonStatus/" + home + "/#,jsonStatus/" + home);
        size_t at = 0;
        while (at <= list.size()) {
            size_t comma = list.find(',', at);
            std::string t = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
            if (!t.empty()) topics.push_back(t);
            if (comma == std::string::npos) break;
            at = comma + 1;
        }
    }

    MQTTClient c = nullptr;
    const std::string uri = opts.get("broker", "tcp://192.0.2.1:1884");
    const std::string id = "orvictl-cloud-" + std::to_string(getpid());
    if (MQTTClient_create(&c, uri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr) != MQTTCLIENT_SUCCESS)
        return orvictl_fail(kCloud, "cannot create a client for " + uri);
    MQTTClient_connectOptions o = MQTTClient_connectOptions_initializer;
    o.cleansession = 1;
    const std::string user = opts.get("user", "cloud"), psw = opts.get("password", "cloudpw00000001");
    o.username = user.c_str();
    o.password = psw.c_str();
    o.connectTimeout = 5;
    int rc = MQTTClient_connect(c, &o);
    if (rc != MQTTCLIENT_SUCCESS) {
        MQTTClient_destroy(&c);
        return orvictl_fail(kCloud, "cannot connect to " + uri + " (" + std::to_string(rc) + ")");
    }
    for (const std::string &t : topics)
        if (MQTTClient_subscribe(c, t.c_str(), 1) != MQTTCLIENT_SUCCESS)
            fprintf(stderr, "orvictl cloud: cannot subscribe '%s'\n", t.c_str());

    if (opts.has("send")) {
        std::string inner = opts.get("send");
        cJSON *parsed = cJSON_Parse(inner.c_str());
        cJSON_Delete(parsed);
        if (!parsed) {
            MQTTClient_disconnect(c, 100);
            MQTTClient_destroy(&c);
            return orvictl_usage_error(kCloud, "--send is not a JSON text");
        }
        if (orvi_aes_encrypt(key.c_str(), inner) != 0) return orvictl_fail(kCloud, "encryption failed");
        cJSON *env = cJSON_CreateObject();
        cJSON_AddStringToObject(env, "t", "pack");
        cJSON_AddNumberToObject(env, "i", 0);
        cJSON_AddNumberToObject(env, "uid", 0);
        cJSON_AddStringToObject(env, "cid", "cloud");
        cJSON_AddStringToObject(env, "tcid", home.c_str());
        cJSON_AddStringToObject(env, "pack", inner.c_str());
        char *text = cJSON_PrintUnformatted(env);
        cJSON_Delete(env);
        const std::string topic = "request/" + home + (device.empty() ? "" : "/" + device);
        MQTTClient_deliveryToken tok = 0;
        rc = MQTTClient_publish(c, topic.c_str(), static_cast<int>(strlen(text)), text, 1, 0, &tok);
        cJSON_free(text);
        if (rc != MQTTCLIENT_SUCCESS || MQTTClient_waitForCompletion(c, tok, 5000) != MQTTCLIENT_SUCCESS) {
            MQTTClient_disconnect(c, 100);
            MQTTClient_destroy(&c);
            return orvictl_fail(kCloud, "cannot publish on " + topic);
        }
        fprintf(stderr, "orvictl cloud: sent on %s\n", topic.c_str());
    }

    const std::string until_text = opts.get("until");
    if (opts.has("until") && !opts.has("count")) count = 0;
    bool seen = false;
    long got = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (!seen && (count == 0 || got < count) && std::chrono::steady_clock::now() < until) {
        char *topic = nullptr;
        int tlen = 0;
        MQTTClient_message *m = nullptr;
        if (MQTTClient_receive(c, &topic, &tlen, &m, 200) != MQTTCLIENT_SUCCESS || !topic || !m) {
            if (m) MQTTClient_freeMessage(&m);
            if (topic) MQTTClient_free(topic);
            continue;
        }
        const std::string payload(static_cast<const char *>(m->payload), static_cast<size_t>(m->payloadlen));
        cJSON *line = cJSON_CreateObject();
        cJSON_AddStringToObject(line, "topic", topic);
        cJSON_AddBoolToObject(line, "retain", m->retained != 0);
        cJSON_AddStringToObject(line, "payload", payload.c_str());
        cJSON_AddStringToObject(line, "plain", open_pack(payload, key, device_key).c_str());
        char *text = cJSON_PrintUnformatted(line);
        printf("%s\n", text);
        if (!until_text.empty() && strstr(text, until_text.c_str())) seen = true;
        fflush(stdout);
        cJSON_free(text);
        cJSON_Delete(line);
        MQTTClient_freeMessage(&m);
        MQTTClient_free(topic);
        ++got;
    }
    MQTTClient_disconnect(c, 100);
    MQTTClient_destroy(&c);
    if (!until_text.empty() && !seen) {
        fprintf(stderr, "orvictl cloud: no message with '%s' within %ld ms\n", until_text.c_str(), wait_ms);
        return ORVICTL_FAIL;
    }
    if (until_text.empty() && count > 0 && got < count) {
        fprintf(stderr, "orvictl cloud: %ld of %ld message(s) within %ld ms\n", got, count, wait_ms);
        return ORVICTL_FAIL;
    }
    return ORVICTL_OK;
}
}  // namespace
