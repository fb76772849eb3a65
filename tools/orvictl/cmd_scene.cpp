// "orvictl scene": plays the home's scene service on the board's broker, so a
// field engineer can set a lighting scene on a device, bind it to a panel
// key, run it and delete it without the service. Each verb publishes the
// event the scene service would ("scene/set/...", "scene/bind/...",
// "scene/unbind/...", "scene/broadcast"), sealed as the siblings seal; with
// --wait it prints the host's answer to its request id ("scene/resp",
// "scene/bind/resp" or "scene/unbind/resp"). Runs inside the board
// (it reads the broker credentials and keys from the daemon's files).
#include <cJSON.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "board_keys.h"
#include "split_list.h"
#include "orvi_log.h"
#include "orvictl.h"

namespace {

int run_scene(const std::vector<std::string> &args);

const orvictl_command kScene = {
    "scene",
    "scene VERB --id N [--mac MAC[,MAC...]] [--set NAME=VALUE,...] [--key K] [--req R] [--wait MS]\n"
    "  VERB: set (--mac DEVICE --set ...), delete (--mac DEVICE,...), bind|unbind (--mac PANEL --key K),\n"
    "        run (scene N on the lights)",
    "play the home's scene service: set, bind, run and delete a lighting scene (inside the board)",
    run_scene};
ORVICTL_COMMAND(kScene);

struct answer_wait {
    std::mutex m;
    std::condition_variable cv;
    std::string want_req;
    std::string got;  // the opened answer
};
answer_wait g_wait;
board_keys g_keys;

// The plain text of an answer when it carries the request id waited for.
void on_answer(const char *topic, const char *payload) {
    board_package p = board_open_package(g_keys, payload ? payload : "");
    if (!p.opened) return;
    std::lock_guard<std::mutex> lk(g_wait.m);
    if (p.plain.find("\"" + g_wait.want_req + "\"") == std::string::npos) return;
    g_wait.got = std::string(topic) + " " + p.plain;
    g_wait.cv.notify_all();
}

bool parse_long(const std::string &s, long lo, long hi, long &v) {
    char *end = nullptr;
    v = strtol(s.c_str(), &end, 10);
    return !s.empty() && end && *end == '\0' && v >= lo && v <= hi;
}

std::string printed(const cJSON *j) {
    char *t = cJSON_PrintUnformatted(j);
    std::string s = t ? t : "";
    cJSON_free(t);
    return s;
}

// {"t":"cmd","mac":MAC,"opt":[names],"p":[values]} from NAME=VALUE pairs;
// false on a pair without "=".
bool device_cmd(const std::string &mac, const std::string &pairs, std::string &out) {
    cJSON *j = cJSON_CreateObject();
    cJSON_AddStringToObject(j, "t", "cmd");
    cJSON_AddStringToObject(j, "mac", mac.c_str());
    cJSON *opt = cJSON_AddArrayToObject(j, "opt");
    cJSON *p = cJSON_AddArrayToObject(j, "p");
    for (const std::string &kv : split_list(pairs)) {
        const size_t eq = kv.find('=');
        if (eq == std::string::npos || eq == 0) {
            cJSON_Delete(j);
            return false;
        }
        long n = 0;
        cJSON_AddItemToArray(opt, cJSON_CreateString(kv.substr(0, eq).c_str()));
        cJSON_AddItemToArray(p, parse_long(kv.substr(eq + 1), -1000000, 1000000, n)
                                    ? cJSON_CreateNumber(static_cast<double>(n))
                                    : cJSON_CreateString(kv.substr(eq + 1).c_str()));
    }
    out = printed(j);
    cJSON_Delete(j);
    return true;
}

int run_scene(const std::vector<std::string> &args) {
    if (args.empty()) return orvictl_usage_error(kScene, "give a VERB");
    const std::string verb = args[0];
    if (verb == "--help" || verb == "-h") {
        orvictl_print_usage(kScene, stdout);
        return ORVICTL_OK;
    }
    orvictl_options opts(kScene, {"id", "mac", "set", "key", "req", "wait"});
    if (!opts.parse(std::vector<std::string>(args.begin() + 1, args.end()))) return ORVICTL_USAGE;
    long id = 0, key = 0, wait_ms = 0;
    if (!parse_long(opts.get("id"), 1, 65535, id))
        return orvictl_usage_error(kScene, "--id is a scene id, 1 to 65535");
    if (opts.has("wait") && !parse_long(opts.get("wait"), 0, 600000, wait_ms))
        return orvictl_usage_error(kScene, "--wait is a number of milliseconds");
    const std::vector<std::string> macs = split_list(opts.get("mac"));
    for (const std::string &m : macs)
        if (m.size() > 16) return orvictl_usage_error(kScene, "a MAC holds at most 16 characters");
    const std::string req = opts.get("req", "orvictl-" + std::to_string(getpid()));

    cJSON *body = cJSON_CreateObject();
    std::string topic;
    bool answered = false;  // the host answers the request id
    cJSON_AddNumberToObject(body, "subSceneID", static_cast<double>(id));
    if (verb == "set" || verb == "delete") {
        if (macs.empty()) {
            cJSON_Delete(body);
            return orvictl_usage_error(kScene, verb + " needs --mac");
        }
        topic = "scene/set/" + macs[0];
        answered = true;
        if (verb == "set") {
            std::string cmd;
            if (macs.size() != 1 || !device_cmd(macs[0], opts.get("set"), cmd)) {
                cJSON_Delete(body);
                return orvictl_usage_error(kScene, "set takes one --mac and --set NAME=VALUE,...");
            }
            cJSON_AddStringToObject(body, "cmd", cmd.c_str());
            cJSON_AddStringToObject(body, "reqId", req.c_str());
        } else {
            cJSON_AddStringToObject(body, "type", "delete");
            cJSON *list = cJSON_AddArrayToObject(body, "subMac");
            for (const std::string &m : macs)
                cJSON_AddItemToArray(list, cJSON_CreateString(m.c_str()));
        }
    } else if (verb == "bind" || verb == "unbind") {
        if (macs.size() != 1 || !parse_long(opts.get("key"), 1, 10, key)) {
            cJSON_Delete(body);
            return orvictl_usage_error(kScene, verb + " takes one --mac (the panel) and --key 1..10");
        }
        topic = "scene/" + verb + "/" + macs[0];
        answered = true;
        cJSON_AddStringToObject(body, "subMac", macs[0].c_str());
        cJSON_AddNumberToObject(body, "keyid", static_cast<double>(key));
        cJSON_AddStringToObject(body, "type", verb.c_str());
        cJSON_AddStringToObject(body, "reqId", req.c_str());
    } else if (verb == "run") {
        topic = "scene/broadcast";
    } else {
        cJSON_Delete(body);
        return orvictl_usage_error(kScene, "unknown VERB '" + verb + "'");
    }
    const std::string text = printed(body);
    cJSON_Delete(body);

    orvi_log_level_set(ORVI_LOG_NONE);
    g_keys = board_keys_load();
    board_keys_install(g_keys);
    if (!board_credentials_ready(g_keys) || g_keys.random_key.size() != 16)
        return orvictl_fail(kScene,
                            "no broker credentials or host keys on this board yet (is the daemon up?)");
    // The tool says what went wrong itself; the library's own lines (its
    // connections closing as the tool exits) would only bury the answer.
    local_mqtt_set_pool_size(1);
    // Closed before the tool exits, its threads stopped: left to the exit,
    // the transport holds the process for seconds after its last message.
    struct transport_closer {
        ~transport_closer() { local_mqtt_shutdown(); }
    } closer;
    const bool waiting = wait_ms > 0 && answered;
    if (waiting) {
        g_wait.want_req = req;
        local_mqtt_service();
        // Subscribed before sending: the answer can come at once. A key of
        // a multi-key switch answers its binding as a scene answer, the
        // scene switches and cubes as a binding answer: all three are heard.
        const std::string client = "orvictl_scene_" + std::to_string(getpid());
        for (const char *t : {"scene/resp", "scene/bind/resp", "scene/unbind/resp"})
            if (mqtt_local_event_subscribe(client.c_str(), t, on_answer) != 0)
                return orvictl_fail(kScene, std::string("cannot subscribe ") + t);
    }
    if (board_emit("orvictl scene", topic, text, g_keys.host_id, 0, "", 0) != 0) return ORVICTL_FAIL;
    printf("sent %s %s\n", topic.c_str(), text.c_str());
    if (!waiting) return ORVICTL_OK;
    std::unique_lock<std::mutex> lk(g_wait.m);
    if (!g_wait.cv.wait_for(lk, std::chrono::milliseconds(wait_ms), [] { return !g_wait.got.empty(); }))
        return orvictl_fail(kScene, "no answer for " + req);
    printf("answer %s\n", g_wait.got.c_str());
    fflush(stdout);
    return ORVICTL_OK;
}

}  // namespace
