// What the board tools (orvictl watch, simsvc, mqttcheck) read from the
// daemon's configuration file: the local broker's credentials and the keys
// that open the local event packages. Header-only; called from one thread.
#pragma once

#include <cJSON.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "event_msg.h"
#include "local_mqtt.h"
#include "orvi_aes.h"
#include "orvi_field.h"
#include "orvi_flash.h"
#include "orvi_port.h"
#include "orvi_product.h"

struct board_keys {
    std::string user;        // "mqttUser"
    std::string psw;         // "mqttPsw"
    std::string random_key;  // "randomkey": packages with "i" 0 from anyone but the home host
    std::string home_key;    // "homeKey": packages with "i" 0 whose "cid" is the home MAC
    std::string home_mac;    // "homeMac"
    std::string host_id;     // the host identifier ("MACFile.config")
    std::string default_key;
};

inline std::string board_config_text(const char *key, size_t size) {
    std::string buf(size, '\0');
    if (get_data_from_config(key, &buf[0], size, TYPE_STRING) != 0) return "";
    buf.resize(strlen(buf.c_str()));
    return buf;
}

// Reads everything; missing values stay empty. The product's log lines about
// missing keys are the caller's to silence (orvi_log_level_set).
inline board_keys board_keys_load() {
    board_keys k;
    k.user = board_config_text("mqttUser", 20);
    k.psw = board_config_text("mqttPsw", 64);
    k.random_key = board_config_text("randomkey", 17);
    k.home_key = board_config_text("homeKey", 17);
    k.home_mac = board_config_text("homeMac", 17);
    std::string id;
    if (orvi_port_read(orvi_path(ORVI_MAC_FILE), id, 64)) {
        size_t end = id.find_first_of("\r\n \t");
        k.host_id = id.substr(0, end);
    }
    orvi_dev_info_t d = {};
    orvi_dev_info_defaults(&d);
    k.default_key = d.default_key;
    return k;
}

// True once the daemon has written the broker's credentials.
inline bool board_credentials_ready(const board_keys &k) {
    return !k.user.empty() && !k.psw.empty();
}

// Puts the keys into this process's identity record, so that the product's
// own package functions seal and open as the daemon does.
inline void board_keys_install(const board_keys &k) {
    orvi::MutexLock lk(orvi_dev_info_mutex());
    orvi_field_set(orvi_dev_info.default_key, k.default_key);
    orvi_field_set(orvi_dev_info.random_key, k.random_key);
    orvi_field_set(orvi_dev_info.home_key, k.home_key);
    orvi_field_set(orvi_dev_info.home_mac_str, k.home_mac);
    orvi_field_set(orvi_dev_info.host_mac_str, k.host_id);
}

// The key that opens a package of "i" `i` sent by `cid`, as the daemon picks
// it: "i" 0 the home key when `cid` is the home MAC, else the host random
// key; "i" 1 the default key; "i" 2 `device_key` (empty: unknown). `which`
// names the choice for a reader.
inline std::string board_package_key(const board_keys &k, const std::string &cid, int i,
                                     const std::string &device_key, std::string *which) {
    std::string key, name;
    if (i == 0 && !k.home_mac.empty() && cid == k.home_mac) {
        key = k.home_key, name = "home key";
    } else if (i == 0) {
        key = k.random_key, name = "host random key";
    } else if (i == 1) {
        key = k.default_key, name = "default key";
    } else if (i == 2) {
        key = device_key, name = "device key";
    } else {
        name = "unknown key family";
    }
    if (which) *which = name;
    return key;
}

// One opened package of a payload.
struct board_package {
    bool is_package = false;  // {"t":"pack", "i", "pack", ...}
    std::string cid, tcid;
    int i = -1;
    std::string which;    // the key used, in words
    bool opened = false;  // `plain` holds the decrypted text
    std::string plain;    // without the sender's trailing line feed
    std::string note;     // why it could not be opened
};

// Replaces `text` by its plain text when `key` opens it into JSON; a wrong
// key can pass the padding check, the JSON test catches that.
inline bool board_opens_json(const std::string &key, std::string &text) {
    std::string t = text;
    if (key.size() < 16 || orvi_aes_decrypt(key.c_str(), t) != 0) return false;
    cJSON *j = cJSON_Parse(t.c_str());
    if (!j) return false;
    cJSON_Delete(j);
    text = t;
    return true;
}

// Opens one top-level JSON object of a payload with the key its "i" and
// "cid" select.
inline board_package board_open_package(const board_keys &k, const std::string &object,
                                        const std::string &device_key = "") {
    board_package p;
    cJSON *root = cJSON_ParseWithLength(object.data(), object.size());
    if (!root) return p;
    const cJSON *t = cJSON_GetObjectItemCaseSensitive(root, "t");
    const cJSON *i = cJSON_GetObjectItemCaseSensitive(root, "i");
    const cJSON *pack = cJSON_GetObjectItemCaseSensitive(root, "pack");
    if (cJSON_IsString(t) && strcmp(t->valuestring, "pack") == 0 && cJSON_IsNumber(i) &&
        cJSON_IsString(pack)) {
        p.is_package = true;
        const cJSON *cid = cJSON_GetObjectItemCaseSensitive(root, "cid");
        const cJSON *tcid = cJSON_GetObjectItemCaseSensitive(root, "tcid");
        p.cid = cJSON_IsString(cid) ? cid->valuestring : "";
        p.tcid = cJSON_IsString(tcid) ? tcid->valuestring : "";
        p.i = i->valueint;
        std::string key = board_package_key(k, p.cid, p.i, device_key, &p.which);
        std::string text = pack->valuestring;
        bool ok = false;
        if (p.i == 2) {
            // The device's own key first; the lighting service seals its
            // devices' statuses with the home key under "i" 2.
            if (board_opens_json(key, text)) {
                ok = true;
            } else if (board_opens_json(k.home_key, text)) {
                ok = true;
                p.which = "home key";
            } else {
                p.note = key.empty() ? "(i=2: sealed with the device key)"
                                     : "(cannot decrypt with the device key or the home key)";
            }
        } else if (key.size() < 16) {
            p.note = "(no " + p.which + " on this board)";
        } else if (orvi_aes_decrypt(key.c_str(), text) != 0) {
            p.note = "(cannot decrypt with the " + p.which + ")";
        } else {
            ok = true;
        }
        if (ok) {
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
                text.pop_back();
            p.plain = text;
            p.opened = true;
        }
    }
    cJSON_Delete(root);
    return p;
}

// Publishes `bodies` (JSON texts) as one message on the board's broker, each
// the body of its own event package, the packages back to back, the way the
// daemon's sibling services batch their items: sealed by the product's own
// package function for sender `cid`, "i" `i`, target `tcid`. Call
// board_keys_install first. 0 once the broker took it; otherwise a line on
// standard error beginning with `who` and 1. With `published_at`, the
// connection is shown up first (an empty message on "board_emit/ready"),
// and the CLOCK_MONOTONIC time in seconds just before the publish is stored
// there: a latency measured from it leaves out the connect.
inline int board_emit(const char *who, const std::string &topic, const std::vector<std::string> &bodies,
                      const std::string &cid, int i, const std::string &tcid, int retain,
                      double *published_at = nullptr) {
    local_mqtt_set_pub_prefix("board_emit");
    local_mqtt_set_pool_size(1);
    local_mqtt_service();
    std::string text;
    for (const std::string &body : bodies) {
        cJSON *p = event_msg_package_aseemble(cid.c_str(), i, tcid.c_str(), 0, body.c_str());
        if (!p) {
            fprintf(stderr, "%s: the package could not be sealed\n", who);
            return 1;
        }
        char *printed = cJSON_PrintUnformatted(p);
        cJSON_Delete(p);
        if (!printed) {
            fprintf(stderr, "%s: the package could not be printed\n", who);
            return 1;
        }
        text += printed;
        cJSON_free(printed);
    }
    if (published_at &&
        (mqtt_event_publish("board_emit/ready", "{}", 2, 0) != 0 || local_mqtt_flush(30000) != 0)) {
        fprintf(stderr, "%s: the board's broker did not take a message\n", who);
        return 1;
    }
    struct timespec at;
    clock_gettime(CLOCK_MONOTONIC, &at);
    if (text.empty() || mqtt_event_publish(topic.c_str(), text.c_str(), text.size(), retain) != 0 ||
        local_mqtt_flush(30000) != 0) {
        fprintf(stderr, "%s: %s not published\n", who, topic.c_str());
        return 1;
    }
    if (published_at) *published_at = static_cast<double>(at.tv_sec) + at.tv_nsec / 1e9;
    return 0;
}
// One package.
inline int board_emit(const char *who, const std::string &topic, const std::string &body, const std::string &cid,
                      int i, const std::string &tcid, int retain, double *published_at = nullptr) {
    return board_emit(who, topic, std::vector<std::string>{body}, cid, i, tcid, retain, published_at);
}
