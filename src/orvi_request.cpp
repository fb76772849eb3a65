// The request queue carries only addresses of heap copies, so one 128-byte
// message suffices for a packet of any size. Every request is processed
// against fresh state: the identifiers of one request can never leak into
// the next, and a record a handler kept from one request is never reused as
// the scratch record of another.
#include "orvi_request.h"

#include <strings.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>

#include "orvi_aes.h"
#include "orvi_envelope.h"
#include "orvi_event_loop.h"
#include "orvi_field.h"
#include "orvi_json.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_queue.h"
#include "orvi_system.h"
#include "orvi_timer.h"
#include "orvi_transport.h"

orvi::Mutex orvi_request_dispatch_mu;
orvi::Mutex orvi_request_write_mu;
orvi::Mutex orvi_request_queue_mu;  // the queue id and the copies in flight

namespace {

// ---- Dispatch ---------------------------------------------------------------

// The installed dispatch and its tables' row counts, counted once.
struct dispatch_view {
    const request_dispatch_t *d = nullptr;
    size_t handles = 0;
    size_t sends = 0;
};
dispatch_view g_dispatch GUARDED_BY(orvi_request_dispatch_mu);

dispatch_view dispatch() {
    orvi::MutexLock lk(orvi_request_dispatch_mu);
    return g_dispatch;
}

// Rows before the closing empty row, or SIZE_MAX when the table is longer
// than ORVI_REQUEST_ROWS_MAX or a named row has no handler.
template <typename Row>
size_t table_rows(const Row *rows) {
    size_t n = 0;
    for (; rows[n].name != nullptr; ++n) {
        if (n == ORVI_REQUEST_ROWS_MAX || rows[n].handle == nullptr) return SIZE_MAX;
    }
    return n;
}

// Test and benchmark replacements of single rows of the installed tables
// (null: the table's handler).
std::array<std::atomic<request_handle_fn>, ORVI_REQUEST_ROWS_MAX> g_handle_override{};
std::array<std::atomic<request_send_fn>, ORVI_REQUEST_ROWS_MAX> g_send_override{};

void overrides_clear() {
    for (auto &o : g_handle_override)
        o.store(nullptr);
    for (auto &o : g_send_override)
        o.store(nullptr);
}

request_write_fn g_write_for_test GUARDED_BY(orvi_request_write_mu);

using Json = orvi_json::json_ptr;

// Channels a plain identity, key, Wi-Fi or firmware packet may come from:
// the BLE link of the app standing next to the host, and the board's own
// event bus. Never the LAN or the cloud, where anybody can write plain JSON.
bool channel_is_local(connect_type_t conn) {
    return conn == SOCKET_CONNECT_TYPE_BLE || conn == SOCKET_CONNECT_TYPE_UDS;
}

const char *connect_type_str(connect_type_t t) {
    static const char *const names[] = {"NONE", "TCP",  "UDP", "BROADCAST", "MULTICAST",
                                        "MQTT", "HTTP", "UDS", "BLE"};
    unsigned i = static_cast<unsigned>(t);
    return i < sizeof names / sizeof names[0] ? names[i] : "NONE";
}

// ---- The queue -------------------------------------------------------------

constexpr int64_t kRequestMsgType = 1;
constexpr uint32_t kRequestMsgMagic = 0x52455131;  // "REQ1"

// What a message's text holds.
struct request_msg_t {
    uint32_t magic;
    request_type_t *ptr;
};
static_assert(sizeof(request_msg_t) <= ORVI_QUEUE_MSG_SIZE, "a request message must fit one message");

int g_queue_id GUARDED_BY(orvi_request_queue_mu) = -1;
// Copies handed to the queue and not yet taken; a message pointing anywhere
// else (stale, foreign or corrupt) is refused rather than followed.
std::unordered_set<const request_type_t *> g_in_flight GUARDED_BY(orvi_request_queue_mu);

int queue_id() {
    orvi::MutexLock lk(orvi_request_queue_mu);
    return g_queue_id;
}

bool request_size_ok(size_t size) {
    if (size <= ORVI_REQUEST_MAX_LEN) return true;
    ORVI_LOGW("request of %zu bytes is longer than the request buffer (%d bytes), dropped", size,
              ORVI_REQUEST_BUF_SIZE);
    return false;
}

int queue_recv(request_type_t *req, int flags) {
    ORVI_CHECK_ARG(req != nullptr, -2);
    const int q = queue_id();
    if (q < 0) {
        ORVI_LOGW("request_read_queue receive is failed! ret = %d", -1);
        return -1;
    }
    orvi_msgbuf_t msg{};
    ssize_t n = orvi_queue_recv(q, &msg, ORVI_QUEUE_MSG_SIZE, flags);
    if (n < 0) {
        if (!(flags & IPC_NOWAIT) || errno != ENOMSG)
            ORVI_LOGW("request_read_queue receive is failed! ret = %d", static_cast<int>(n));
        return -1;
    }
    request_msg_t m{};
    std::memcpy(&m, msg.mtext, sizeof m);
    std::unique_ptr<request_type_t> copy;
    {
        orvi::MutexLock lk(orvi_request_queue_mu);
        if (msg.mtype != kRequestMsgType || m.magic != kRequestMsgMagic || g_in_flight.erase(m.ptr) == 0) {
            ORVI_LOGW("request_read_queue receive is failed! ret = %d (not a request of this process)", -1);
            return -1;
        }
        copy.reset(m.ptr);
    }
    *req = std::move(*copy);
    return 0;
}

// Fills the host's own record afresh: the random key may be regenerated by
// a factory reset while the process runs.
void host_record_refresh(const orvi_subdev_ptr &host) {
    const std::string mac = product_get_host_mac_str();
    const std::string key = product_get_random_key();
    orvi_subdev_locked(host, [&](orvi_subdev_list_t &d) {
        d.dev_type = DEV_TYPE_HOST;
        d.online = 1;
        orvi_field_set(d.mac, mac);
        orvi_field_set(d.key, key);
    });
}

int write_response(const std::string &data, const dev_socket_t &to, const orvi_subdev_ptr &dev) {
    {
        orvi::MutexLock lk(orvi_request_write_mu);
        if (g_write_for_test) return g_write_for_test(data, to, dev);
    }
    return orvi_transport_write(data.data(), data.size(), &to, dev);
}

// Over MQTT: the topic of the response and the "tcid" it carries.
void mqtt_response_topic(const std::string &req_text, const orvi_subdev_fields_t &target, dev_socket_t *sock,
                         std::string *rsp_tcid) {
    const std::string home = product_get_mac_str();
    std::string id = orvi_field_len(target.mac) ? std::string(orvi_field_view(target.mac)) : "";
    std::string topic;
    Json j(cJSON_ParseWithLength(req_text.data(), req_text.size()));
    const cJSON *t = j ? cJSON_GetObjectItem(j.get(), "t") : nullptr;
    if (j && t) {
        if (cJSON_IsString(t) && std::strcmp(t->valuestring, "connect") == 0) {
            topic = "connect/" + home;
            *rsp_tcid = "0";
        } else {
            if (target.dev_type == DEV_TYPE_TOVRA && id.size() == 14) id.resize(12);
            topic = id.empty() ? "response/" + home : "response/" + home + "/" + id;
        }
    } else if (req_text == "jsonStatus_mqtt") {
        *rsp_tcid = "0";
        topic = id.empty() ? "jsonStatus/" + home : "jsonStatus/" + home + "/" + id;
    } else {
        topic = id.empty() ? "response/" + home : "response/" + home + "/" + id;
    }
    if (!orvi_field_set(sock->topic, topic)) {
        ORVI_LOGW("response topic '%s' is too long, topic cleared", topic.c_str());
        sock->topic[0] = '\0';
    }
}

// Step 7: wraps the handler's answer and writes it back.
int respond(request_task_t *task, request_type_t *req, const orvi_subdev_ptr &target) {
    request_data_t &work = task->work;
    const connect_type_t conn = req->sockinfo.type;
    const orvi_subdev_fields_t tgt = orvi_subdev_snapshot(target);
    std::string rsp(work.rsp_data, 0,
                    work.rsp_size < work.rsp_data.size() ? work.rsp_size : work.rsp_data.size());
    std::string rsp_tcid(orvi_field_view(req->cid));
    Json extras;
    if (conn == SOCKET_CONNECT_TYPE_MQTT) {
        mqtt_response_topic(work.req_data, tgt, &req->sockinfo, &rsp_tcid);
        const request_dispatch_t *d = dispatch().d;
        if (d && d->response_extras) extras.reset(d->response_extras(rsp.c_str()));
    }
    if (conn == SOCKET_CONNECT_TYPE_BROADCAST || conn == SOCKET_CONNECT_TYPE_MULTICAST) rsp_tcid.clear();
    ORVI_LOGI("response, size: %zu, type: %d, data: %.*s", rsp.size(), static_cast<int>(work.rsp_key),
              static_cast<int>(rsp.size()), rsp.data());

    std::string out;
    if (work.rsp_key != AES_KEY_TYPE_NONE) {
        const std::string default_key = product_get_default_key();
        const std::string random_key = product_get_random_key();
        const char *key = orvi_envelope_tx_key(work.rsp_key, conn, tgt.dev_type, default_key.c_str(),
                                               random_key.c_str(), tgt.key);
        if (key == nullptr) {
            ORVI_LOGW("orvi_aes_encrypt is fail!");
            return -1;
        }
        const size_t wanted = rsp.size() * 14 / 10;
        if (work.rsp_bufSize <= wanted) request_buffer_expand(&work, wanted);
        std::string cipher = rsp;
        if (orvi_aes_encrypt(key, cipher) != 0) {
            ORVI_LOGW("orvi_aes_encrypt is fail!");
            return -1;
        }
        const int enNet = (conn == SOCKET_CONNECT_TYPE_UDP && tgt.dev_type == DEV_TYPE_UDP)
                              ? (product_get_net_status() ? 1 : 0)
                              : -1;
        if (orvi_envelope_build(work.rsp_key, conn, product_get_mac_str(), rsp_tcid, req->msgId, cipher,
                                enNet, extras.get(), out) != 0)
            return -1;
        if (out.size() >= work.rsp_bufSize) request_buffer_expand(&work, out.size());
        ORVI_LOGD("strlen(pack_data) -> %zu; .connect_type -> %s", out.size(), connect_type_str(conn));
    } else {
        out = std::move(rsp);
    }

    int rc = write_response(out, req->sockinfo, target);
    work.rsp_data.clear();
    work.rsp_size = 0;
    if (rc != 0) {
        ORVI_LOGW("<%d> request_httpd_write", rc);
        return -1;
    }
    return 0;
}

// Step 4 for a received packet: unwraps it and finds its target. Returns the
// target record, or null when the packet is dropped. `family` receives the
// key family.
orvi_subdev_ptr open_received(request_task_t *task, request_type_t *req, const orvi_subdev_ptr &scratch,
                              aes_key_t *family) {
    const connect_type_t conn = req->sockinfo.type;
    const std::string home_mac = product_get_mac_str();
    orvi_envelope_t env;
    if (orvi_envelope_check(req->data.data(), req->data.size(), conn, home_mac, &env) != 0) return nullptr;
    *family = AES_KEY_TYPE_NONE;
    if (env.is_pack) {
        std::memcpy(req->cid, env.cid, sizeof req->cid);
        std::memcpy(req->tcid, env.tcid, sizeof req->tcid);
        if (env.has_msgId) req->msgId = env.msgId;
        *family = env.key_type;
        req->data = std::move(env.pack);
    }
    req->key_type = static_cast<uint8_t>(*family);

    if (*family == AES_KEY_TYPE_NONE) {
        if (req->ctx.dev) {
            ORVI_LOGI("request_type.tcid -> %s", req->tcid);
            return req->ctx.dev;
        }
        // A local event names its device by MAC: the record is the one
        // registered now, not one deleted or replaced since it was queued.
        if (req->ctx.has_text && conn != SOCKET_CONNECT_TYPE_BLE) {
            if (orvi_subdev_ptr named = product_get_subdev_form_host(req->ctx.text.c_str())) return named;
            ORVI_LOGW("'%s' named by the request is not registered", req->ctx.text.c_str());
        }
        ORVI_LOGI("request_type.ctx is NULL!");
        return scratch;
    }

    const std::string home_key = product_get_home_key();
    orvi_subdev_ptr target;
    if (conn == SOCKET_CONNECT_TYPE_MQTT) {
        if (req->ctx.has_text) {
            const std::string id = std::move(req->ctx.text);
            req->ctx.text.clear();
            req->ctx.has_text = false;
            ORVI_LOGI("MQTT request , target is devices mac:%s", id.c_str());
            if (id != home_mac && id != product_get_host_mac_str()) {
                target = product_get_subdev_form_host(id.c_str());
            } else {
                ORVI_LOGI("MQTT request , target is host : %s", id.c_str());
                scratch->dev_type = DEV_TYPE_HOST;
                scratch->online = 1;
                orvi_field_set(scratch->mac, id);
                orvi_field_set(scratch->key, home_key);
                target = scratch;
            }
        } else {
            ORVI_LOGI("MQTT request , target is home host");
            scratch->dev_type = DEV_TYPE_NONE;
            orvi_field_set(scratch->key, home_key);
            target = scratch;
        }
    } else if (conn == SOCKET_CONNECT_TYPE_BLE) {
        host_record_refresh(task->host_dev);
        target = task->host_dev;
    } else if (req->cid[0] != '\0') {
        target = product_get_subdev_form_host(req->cid);
    }

    if (!target) {
        ORVI_LOGW("'%s' device may not be bound. It needs to be bound.", req->cid);
        if (*family == AES_KEY_TYPE_RANDOM) {
            ORVI_LOGW("Unbound device cannot be decrypted with private key!");
            return nullptr;
        }
        if (conn == SOCKET_CONNECT_TYPE_MQTT) {
            ORVI_LOGW("Unbound device cannot be controlled through mqtt!");
            return nullptr;
        }
        orvi_field_set(scratch->mac, req->cid);
        target = scratch;
    }
    const std::string sender_key(orvi_field_view(orvi_subdev_snapshot(target).key));
    if (target != scratch) ORVI_LOGD("subdev_info.key -> %s", sender_key.c_str());

    const std::string default_key = product_get_default_key();
    const char *key =
        orvi_envelope_rx_key(*family, conn, default_key.c_str(), home_key.c_str(), sender_key.c_str());
    if (key == nullptr || orvi_aes_decrypt(key, req->data) != 0) {
        ORVI_LOGW("orvi_aes_decrypt");
        return nullptr;
    }

    // Answers and later host-initiated packets follow the socket stored
    // here, so only a sender that proved it holds the record's own key may
    // move it: the packet opened with that key into JSON. A registered
    // record opened with the shared default key keeps its socket and
    // message id.
    const bool registered = target != scratch && target != task->host_dev;
    if (conn != SOCKET_CONNECT_TYPE_MQTT && (!registered || *family == AES_KEY_TYPE_RANDOM)) {
        if (!Json(cJSON_ParseWithLength(req->data.data(), req->data.size()))) {
            ORVI_LOGW("packet is err!");
            return nullptr;
        }
        orvi_subdev_locked(target, [&](orvi_subdev_list_t &d) {
            d.msgId = req->msgId;
            d.dev_socket = req->sockinfo;
        });
    }
    ORVI_LOGI("request, size: %zu, type: %d, data: %.*s", req->data.size(), static_cast<int>(*family),
              static_cast<int>(req->data.size()), req->data.data());
    return target;
}

// Step 5 for a host-initiated packet: finds its target.
orvi_subdev_ptr target_of_send(request_task_t *task, request_type_t *req, const orvi_subdev_ptr &scratch) {
    const connect_type_t conn = req->sockinfo.type;
    if (conn == SOCKET_CONNECT_TYPE_BLE) {
        host_record_refresh(task->host_dev);
        task->work.ctx = &req->ctx;
        return task->host_dev;
    }
    if (!req->ctx.dev) {
        ORVI_LOGI("request_type.ctx is NULL!");
        return scratch;
    }
    const orvi_subdev_fields_t rec = orvi_subdev_snapshot(req->ctx.dev);
    ORVI_LOGI("subdev_info->dev_socket.type -> %d; %d", static_cast<int>(rec.dev_socket.type),
              static_cast<int>(conn));
    if (conn == SOCKET_CONNECT_TYPE_BROADCAST || conn == SOCKET_CONNECT_TYPE_MULTICAST) {
        req->cid[0] = '\0';
    } else if (conn != SOCKET_CONNECT_TYPE_MQTT) {
        orvi_field_copy_cut(req->tcid, orvi_field_view(rec.mac));
        orvi_field_copy_cut(req->cid, orvi_field_view(rec.mac));
        req->sockinfo = rec.dev_socket;
        // The running message id of the exchanges with this device.
        req->msgId = rec.msgId;
        ORVI_LOGI("request_type.tcid -> %s", req->tcid);
    }
    return req->ctx.dev;
}

}  // namespace

// ---- Tables and dispatch ----------------------------------------------------

int request_dispatch_set(const request_dispatch_t *d) {
    dispatch_view v;
    if (d) {
        v.d = d;
        v.handles = d->handles ? table_rows(d->handles) : SIZE_MAX;
        v.sends = d->sends ? table_rows(d->sends) : SIZE_MAX;
        if (v.handles == SIZE_MAX || v.sends == SIZE_MAX) {
            ORVI_LOGW("dispatch refused: a table missing, a row without handler or more than %d rows",
                      ORVI_REQUEST_ROWS_MAX);
            return -1;
        }
    }
    orvi::MutexLock lk(orvi_request_dispatch_mu);
    g_dispatch = v;
    // Replacements name rows of the tables they were made for.
    overrides_clear();
    return 0;
}

const request_handle_row_t *request_handle_rows(size_t *count) {
    dispatch_view v = dispatch();
    if (count) *count = v.handles;
    return v.d ? v.d->handles : nullptr;
}

const request_send_row_t *request_send_rows(size_t *count) {
    dispatch_view v = dispatch();
    if (count) *count = v.sends;
    return v.d ? v.d->sends : nullptr;
}

int request_handle(request_data_t *req, aes_key_t key, const orvi_subdev_ptr &dev) {
    ORVI_CHECK_ARG(req != nullptr, -2);
    const dispatch_view v = dispatch();
    if (!v.d) {
        ORVI_LOGW("no dispatch tables are wired, '%.64s' refused", req->req_data.c_str());
        return -1;
    }
    // Handlers are promised a record; a caller without one gets an empty one.
    const orvi_subdev_ptr target = dev ? dev : std::make_shared<orvi_subdev_list_t>();
    if (req->data_type == DATA_TYPE_ONLY_SEND) {
        req->rsp_size = 0;
        for (size_t i = 0; i < v.sends; ++i) {
            const request_send_row_t &row = v.d->sends[i];
            if (strcasecmp(row.name, req->req_data.c_str()) != 0) continue;
            request_send_fn fn = g_send_override[i].load();
            return (fn ? fn : row.handle)(req, target);
        }
        ORVI_LOGW("'%s' is not a packet the host sends", req->req_data.c_str());
        return -1;
    }
    if (req->data_type != DATA_TYPE_NEED_PARSE) {
        ORVI_LOGW("request_data.data_type is error! type -> %d", static_cast<int>(req->data_type));
        return -1;
    }
    Json json(cJSON_ParseWithLength(req->req_data.data(), req->req_data.size()));
    if (!json) {
        ORVI_LOGW("packet is err!");
        return -1;
    }
    const cJSON *t = cJSON_GetObjectItem(json.get(), "t");
    if (!cJSON_IsString(t)) {
        ORVI_LOGW("packet have not 't' key! string -> %s", req->req_data.c_str());
        return -1;
    }
    req->rsp_size = 0;
    for (size_t i = 0; i < v.handles; ++i) {
        const request_handle_row_t &row = v.d->handles[i];
        if (strcasecmp(row.name, t->valuestring) != 0) continue;
        if (static_cast<int>(row.flag) < static_cast<int>(key)) {
            ORVI_LOGW("'%s' packet refused: key family %d, the type needs %d or stronger", row.name,
                      static_cast<int>(key), row.flag);
            return -1;
        }
        if (key == AES_KEY_TYPE_NONE && row.plain_only_local && !channel_is_local(req->conn)) {
            ORVI_LOGW("'%s' packet refused: plain form over %s, only BLE or the event bus may send it plain",
                      row.name, connect_type_str(req->conn));
            return -1;
        }
        request_handle_fn fn = g_handle_override[i].load();
        return (fn ? fn : row.handle)(json.get(), req, target);
    }
    ORVI_LOGW("'%s' packet has no handler", t->valuestring);
    return -1;
}

int request_buffer_expand(request_data_t *req, size_t needed) {
    ORVI_CHECK_ARG(req != nullptr, -2);
    if (needed < req->rsp_bufSize) return 0;
    ORVI_LOGW("connect packet is too big, lenth -> %zu", needed);
    const size_t size = needed + 1024;
    ORVI_LOGI("expand buffer  size to %zu", size);
    try {
        req->rsp_data.reserve(size);
    } catch (const std::bad_alloc &) {
        ORVI_NO_MEM(size);
    }
    req->rsp_bufSize = size;
    ORVI_LOGI("expand successful!");
    return 0;
}

void orvi_request_set_response_text(request_data_t *req, const std::string &text, aes_key_t key) {
    if (req == nullptr) return;
    if (text.size() >= req->rsp_bufSize) request_buffer_expand(req, text.size());
    req->rsp_data = text;
    req->rsp_size = text.size();
    req->rsp_key = key;
}

void orvi_request_set_response(request_data_t *req, const cJSON *json, aes_key_t key) {
    if (req == nullptr) return;
    char *printed = json ? cJSON_PrintUnformatted(json) : nullptr;
    if (printed == nullptr) {
        ORVI_LOGW("response cannot be printed, no answer");
        req->rsp_data.clear();
        req->rsp_size = 0;
        return;
    }
    orvi_request_set_response_text(req, printed, key);
    cJSON_free(printed);
}

// ---- Queue ------------------------------------------------------------------

int orvi_request_queue_create(void) {
    orvi::MutexLock lk(orvi_request_queue_mu);
    if (g_queue_id >= 0) return 0;
    int q = orvi_queue_create(ORVI_QUEUE_PATH, ORVI_REQUEST_QUEUE_PROJ_ID);
    if (q < 0) return -1;
    g_queue_id = q;
    return 0;
}

int orvi_request_queue_send(const request_type_t *req) {
    ORVI_CHECK_ARG(req != nullptr, -2);
    if (!request_size_ok(req->data.size())) return -1;
    std::unique_ptr<request_type_t> copy(new (std::nothrow) request_type_t);
    if (!copy) ORVI_NO_MEM(sizeof(request_type_t));
    copy->data_type = req->data_type;
    copy->data = req->data;
    copy->sockinfo = req->sockinfo;
    copy->ctx = req->ctx;

    orvi_msgbuf_t msg{};
    msg.mtype = kRequestMsgType;
    request_msg_t m{kRequestMsgMagic, copy.get()};
    std::memcpy(msg.mtext, &m, sizeof m);
    orvi::MutexLock lk(orvi_request_queue_mu);
    int rc = -1;
    if (g_queue_id >= 0) {
        // Recorded before the send: the receiver may take the message at once.
        g_in_flight.insert(copy.get());
        rc = orvi_queue_send(g_queue_id, &msg, ORVI_QUEUE_MSG_SIZE, IPC_NOWAIT);
        if (rc == 0)
            copy.release();  // the receiver owns it now
        else
            g_in_flight.erase(copy.get());
    }
    if (rc != 0) ORVI_LOGW("request_read_queue send is failed! ret = %d", rc);
    return rc == 0 ? 0 : -1;
}

int orvi_request_queue_recv(request_type_t *req) {
    return queue_recv(req, 0);
}

int orvi_request_queue_try_recv(request_type_t *req) {
    return queue_recv(req, IPC_NOWAIT);
}

size_t orvi_request_queue_pending(void) {
    orvi::MutexLock lk(orvi_request_queue_mu);
    return g_in_flight.size();
}

int orvi_send_packet(const char *name, connect_type_t conn, const request_ctx_t &ctx) {
    ORVI_CHECK_ARG(name != nullptr, -2);
    request_type_t req;
    req.data_type = DATA_TYPE_ONLY_SEND;
    req.data = name;
    req.sockinfo.fd = -1;
    req.sockinfo.type = conn;
    req.ctx = ctx;
    if (orvi_request_queue_send(&req) != 0) {
        ORVI_LOGW("orvi_send_packet queue send is fail!");
        return -1;
    }
    return 0;
}

int orvi_send_packet(const char *name, connect_type_t conn, const orvi_subdev_ptr &dev) {
    request_ctx_t ctx;
    ctx.dev = dev;
    return orvi_send_packet(name, conn, ctx);
}

// ---- The task ---------------------------------------------------------------

void request_task_init(request_task_t *task) {
    if (task == nullptr) return;
    task->work = request_data_t{};
    try {
        task->work.req_data.reserve(ORVI_REQUEST_BUF_SIZE);
        task->work.rsp_data.reserve(ORVI_REQUEST_BUF_SIZE);
    } catch (const std::bad_alloc &) {
        ORVI_NO_MEM(ORVI_REQUEST_BUF_SIZE);
    }
    task->host_dev = std::make_shared<orvi_subdev_list_t>();
    host_record_refresh(task->host_dev);
}

int request_task_process(request_task_t *task, request_type_t *req) {
    ORVI_CHECK_ARG(task != nullptr && req != nullptr && task->host_dev, -2);
    // 1. Nothing of the last request survives into this one: the queue does
    // not carry these fields, and a fresh scratch record means a record a
    // handler kept from the last request is never rewritten.
    req->key_type = AES_KEY_TYPE_NONE;
    req->msgId = 0;
    req->cid[0] = '\0';
    req->tcid[0] = '\0';
    request_data_t &work = task->work;
    work.req_data.clear();
    work.rsp_data.clear();
    work.rsp_size = 0;
    work.rsp_key = AES_KEY_TYPE_NONE;
    work.ctx = nullptr;
    work.sock = nullptr;
    const orvi_subdev_ptr scratch = std::make_shared<orvi_subdev_list_t>();

    if (!request_size_ok(req->data.size())) return -1;
    // 2.
    ORVI_LOGI("Root receive, data_type: %d, conn_type: %d, size: %zu, data: %.*s",
              static_cast<int>(req->data_type), static_cast<int>(req->sockinfo.type), req->data.size(),
              static_cast<int>(req->data.size()), req->data.data());
    // 3.
    aes_key_t family = AES_KEY_TYPE_NONE;
    orvi_subdev_ptr target;
    if (req->data_type == DATA_TYPE_NEED_PARSE) {
        // 4.
        target = open_received(task, req, scratch, &family);
        if (req->sockinfo.type == SOCKET_CONNECT_TYPE_BLE) work.ctx = &req->ctx;
    } else if (req->data_type == DATA_TYPE_ONLY_SEND) {
        // 5.
        target = target_of_send(task, req, scratch);
    } else {
        ORVI_LOGW("request_data.data_type is error! type -> %d", static_cast<int>(req->data_type));
        return -1;
    }
    if (!target) return -1;

    // 6.
    work.req_data = req->data;
    work.data_type = req->data_type;
    work.conn = req->sockinfo.type;
    work.sock = req->data_type == DATA_TYPE_NEED_PARSE ? &req->sockinfo : nullptr;
    int rc = request_handle(&work, family, target);
    if (rc != 0) {
        ORVI_LOGW("<%d> request_handle", rc);
        return -1;
    }
    if (work.rsp_size == 0) {
        ORVI_LOGW("unnecessary response!");
        return -1;
    }
    // 7.
    return respond(task, req, target);
}

void *request_handle_task(void *) {
    auto task = std::make_unique<request_task_t>();
    request_task_init(task.get());
    ORVI_LOGI("request_handle is running");
    while (!product_get_resotre_status()) {
        request_type_t req;
        if (orvi_request_queue_recv(&req) != 0) {
            ORVI_LOGW("orvi_request_queue_recv is failed!");
            // A queue that is gone fails at once: do not spin.
            orvi_port_sleep_ms(100);
            continue;
        }
        request_task_process(task.get(), &req);
    }
    ORVI_LOGW("gateway_read_task is exit");
    task.reset();
    orvi_transport_stop();
    return nullptr;
}

int device_handle_create(void) {
    const request_dispatch_t *d = dispatch().d;
    if (!d) {
        ORVI_LOGW("no dispatch is wired, the request task is not started!");
        return -1;
    }
    if (orvi_request_queue_create() != 0) return -1;
    pthread_t tid;
    if (orvi_pthread_create_detach(&tid, nullptr, request_handle_task, nullptr, "request_handle_task") != 0)
        return -1;
    if (orvi_event_loop_init(d->event_handler) != 0)
        ORVI_LOGW("event loop is not running, host events are lost!");
    orvi_timer_t id = orvi_timer_create("hb_timeout", d->hb_timeout, ORVI_HB_TIMEOUT_PERIOD_MS, nullptr, 1);
    if (id < 0) {
        ORVI_LOGW("hb_timeout timer is fail!");
        return -1;
    }
    ORVI_LOGI("hb_timeout timer is success, id : %d", id);
    return 0;
}

// ---- Test entries -------------------------------------------------------------

int request_handle_override_for_test(const char *name, request_handle_fn fn) {
    const dispatch_view v = dispatch();
    for (size_t i = 0; name && i < v.handles; ++i) {
        if (std::strcmp(v.d->handles[i].name, name) == 0) {
            g_handle_override[i].store(fn);
            return 0;
        }
    }
    return -1;
}

int request_send_override_for_test(const char *name, request_send_fn fn) {
    const dispatch_view v = dispatch();
    for (size_t i = 0; name && i < v.sends; ++i) {
        if (std::strcmp(v.d->sends[i].name, name) == 0) {
            g_send_override[i].store(fn);
            return 0;
        }
    }
    return -1;
}

void request_overrides_clear_for_test(void) {
    overrides_clear();
}

void request_set_write_for_test(request_write_fn fn) {
    orvi::MutexLock lk(orvi_request_write_mu);
    g_write_for_test = std::move(fn);
}

void orvi_request_queue_delete_for_test(void) {
    request_type_t req;
    while (queue_id() >= 0 && orvi_request_queue_try_recv(&req) == 0) {
    }
    orvi::MutexLock lk(orvi_request_queue_mu);
    if (g_queue_id >= 0) orvi_queue_delete(g_queue_id);
    g_queue_id = -1;
    for (const request_type_t *p : g_in_flight)
        delete p;
    g_in_flight.clear();
}
