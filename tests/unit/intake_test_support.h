// Shared by the request intake and host event suites: a scratch board with a
// known identity, an empty registry, the request queue, and helpers to seal
// requests and to open the host's answers with orvictl.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orvi_aes.h"
#include "orvi_envelope.h"
#include "orvi_field.h"
#include "orvi_main.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_request.h"
#include "event_publish.h"
#include "local_mqtt.h"
#include "local_mqtt_pack.h"
#include "pending_calls.h"
#include "product_subdev.h"
#include "request_wiring.h"
#include "scratch_root.h"
#include "orvi_testing.h"

namespace intake_test {

inline const char kHomeMac[] = "HOME0000000000A1";
inline const char kHostMac[] = "HOST0000000000B2";
inline const char kRandomKey[] = "rand0123456789ab";
inline const char kHomeKey[] = "home0123456789ab";
inline const char kDevKey[] = "dev00123456789ab";

// The host's identity, written straight into the record (nothing persisted).
inline void set_identity() {
    orvi::MutexLock lk(orvi_dev_info_mutex());
    orvi_field_set(orvi_dev_info.home_mac_str, kHomeMac);
    orvi_field_set(orvi_dev_info.host_mac_str, kHostMac);
    orvi_field_set(orvi_dev_info.random_key, kRandomKey);
    orvi_field_set(orvi_dev_info.home_key, kHomeKey);
    orvi_field_set(orvi_dev_info.default_key, ORVI_DEFAULT_KEY);
    orvi_dev_info.is_connected = 0;
}

inline orvi_subdev_ptr add_dev(const std::string &mac, dev_type_t type = DEV_TYPE_UDP,
                               const char *key = kDevKey) {
    orvi_subdev_list_t d;
    orvi_field_set(d.mac, mac);
    orvi_field_set(d.key, key);
    d.dev_type = type;
    return product_add_subdev_to_host(&d);
}

inline dev_socket_t sock(connect_type_t type, int fd = -1, uint16_t port = 0) {
    dev_socket_t s;
    s.fd = fd;
    s.type = type;
    s.ip_addr.sin_family = AF_INET;
    s.ip_addr.sin_port = htons(port);
    return s;
}

// The envelope a peer sends: `inner` sealed with `key` (family 0 or 1).
inline std::string seal(const std::string &inner, const char *key, aes_key_t family, const std::string &cid,
                        const std::string &tcid = kHomeMac, uint32_t msgId = 7,
                        connect_type_t conn = SOCKET_CONNECT_TYPE_UDP) {
    std::string cipher = inner;
    EXPECT_EQ(0, orvi_aes_encrypt(key, cipher));
    std::string out;
    EXPECT_EQ(0, orvi_envelope_build(family, conn, cid, tcid, msgId, cipher, -1, nullptr, out));
    return out;
}

inline request_type_t received(const std::string &data, const dev_socket_t &s, request_ctx_t ctx = {}) {
    request_type_t r;
    r.data_type = DATA_TYPE_NEED_PARSE;
    r.data = data;
    r.sockinfo = s;
    r.ctx = std::move(ctx);
    return r;
}

struct Written {
    std::string data;
    dev_socket_t to;
    std::string mac;  // target record's MAC
};

// Opens an answer with orvictl; returns its output (the inner text and a
// line feed) or "" when it fails.
inline std::string orvictl_open(const std::string &envelope, const std::string &key) {
    std::string cmd = "printf %s " + orvi_shell_quote(envelope) + " | " +
                      orvi_shell_quote(ORVI_BINARY_DIR "/bin/orvictl") + " open --key " +
                      orvi_shell_quote(key);
    std::string out;
    orvi_run_opts o;
    o.out = &out;
    return orvi_port_run_shell(cmd, o) == 0 ? out : "";
}

// Member names of a JSON object, in order.
inline std::vector<std::string> members(const std::string &text) {
    std::vector<std::string> out;
    cJSON *j = cJSON_Parse(text.c_str());
    for (cJSON *c = j ? j->child : nullptr; c; c = c->next)
        out.emplace_back(c->string);
    cJSON_Delete(j);
    return out;
}

inline std::string member_str(const std::string &text, const char *name) {
    cJSON *j = cJSON_Parse(text.c_str());
    const cJSON *m = cJSON_GetObjectItem(j, name);
    std::string out = cJSON_IsString(m)   ? m->valuestring
                      : cJSON_IsNumber(m) ? std::to_string(m->valueint)
                                          : "";
    cJSON_Delete(j);
    return out;
}

// Records every message the publishers queue as "publish <topic> <body>",
// the body opened with the host's keys (the plaintext when it has one), so
// tests see what the board's services would receive.
inline int publish_recorder(const char *topic, const char *message, size_t, int) {
    std::string body;
    for (const char *key : {kRandomKey, kHomeKey, ORVI_DEFAULT_KEY}) {
        cJSON *p = local_mqtt_get_pack_str(message, key, 1);
        if (!p) p = local_mqtt_get_pack_str(message, key, 0);
        if (p) {
            char *t = cJSON_PrintUnformatted(p);
            body = t ? t : "";
            cJSON_free(t);
            cJSON_Delete(p);
            break;
        }
    }
    pending_record("publish", {topic ? topic : "", body});
    return pending_result();
}

inline bool pending_has(const std::string &prefix) {
    for (const std::string &c : pending_calls())
        if (c.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

inline int pending_count(const std::string &prefix) {
    int n = 0;
    for (const std::string &c : pending_calls())
        if (c.compare(0, prefix.size(), prefix) == 0) ++n;
    return n;
}

// Everything queued on the request queue so far.
inline std::vector<request_type_t> drain_requests() {
    std::vector<request_type_t> out;
    request_type_t r;
    while (orvi_request_queue_try_recv(&r) == 0)
        out.push_back(std::move(r));
    return out;
}

// A scratch board with the identity above, an empty registry, the request
// queue and the request path wired as start-up wires it.
class IntakeFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        orvi_request_path_wire();
        set_identity();
        product_registry_reset_for_test();
        pending_calls_clear();
        pending_set_result(0);
        event_publish_set_sink(publish_recorder);
        local_mqtt_pending_clear();
        ASSERT_EQ(0, orvi_request_queue_create());
    }
    void TearDown() override {
        // A test's own dispatch or writers give way to start-up's again.
        request_wiring::restore();
        orvi_request_queue_delete_for_test();
        product_registry_reset_for_test();
        event_publish_set_sink(nullptr);
        event_publish_reset_for_test();
        local_mqtt_pending_clear();
        pending_set_result(-1);
    }
    ScratchRoot root;
};

}  // namespace intake_test
