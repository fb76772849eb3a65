// Binary command queue and retry, UDP maintenance commands, their outcomes,
// the LAN answer handlers ("res", "ret", "statusCheckRes") and the senders
// "scan", "binCmd" and "binStatus".
//
// The retry lock is only ever held for list work: the retry pass decides one
// step of a node under the lock, then posts events, writes the record's
// command buffer and acts on outcomes after releasing it (an outcome may
// queue a further command, which takes the lock again).
#include "orvi_bincmd.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "event_publish.h"
#include "orvi_aes.h"
#include "orvi_field.h"
#include "orvi_handlers.h"
#include "orvi_host_event.h"
#include "orvi_json.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_system.h"
#include "orvi_timer.h"
#include "orvi_codec.h"
#include "orvi_miniapp.h"
#include "utils/host_mqtt/local_mqtt.h"
#include "utils/host_mqtt/local_mqtt_pack.h"

bincmd_retry_list_t binCmd_Retry_List;

orvi::Mutex orvi_bincmd_hooks_mu;

namespace {
constexpr size_t kBinCmdDefaultSize = 1024;
constexpr size_t kBinCmdGrow = 256;
constexpr size_t kStatusDocMax = ORVI_SUBDEV_DATA_SIZE;

bincmd_retry_hooks_t g_hooks GUARDED_BY(orvi_bincmd_hooks_mu);
std::atomic<bool> g_first_scan{true};

using json_ptr = orvi_json::json_ptr;

std::string print(const cJSON *j) {
    char *p = cJSON_PrintUnformatted(j);
    std::string s = p ? p : "";
    cJSON_free(p);
    return s;
}

std::string mac_of(const orvi_subdev_ptr &dev) {
    return dev ? std::string(orvi_field_view(dev->mac)) : std::string();
}

int post_bincmd(const orvi_subdev_ptr &dev) {
    std::function<int(const orvi_subdev_ptr &)> fn;
    {
        orvi::MutexLock lk(orvi_bincmd_hooks_mu);
        fn = g_hooks.post_bincmd;
    }
    return fn ? fn(dev) : orvi_event_post_dev(ORVI_EVENT_BINCMD, dev);
}

int post_devinfo_delete(const std::string &mac) {
    std::function<int(const std::string &)> fn;
    {
        orvi::MutexLock lk(orvi_bincmd_hooks_mu);
        fn = g_hooks.post_devinfo_delete;
    }
    return fn ? fn(mac) : orvi_event_post_text(ORVI_EVENT_DEVINFO_DELETE, mac);
}

// Puts the command text into a fresh command buffer of the record. A buffer
// a reader still holds is never written: it is replaced.
void bincmd_buffer_set(const orvi_subdev_ptr &dev, const std::string &cmd) {
    orvi_subdev_locked(dev, [&cmd](orvi_subdev_list_t &d) {
        size_t size =
            d.binCmd ? d.binCmd->size() : (d.binParam.empty() ? kBinCmdDefaultSize : 4 * d.binParam.size());
        if (cmd.size() >= size) {
            size_t grown = cmd.size() + kBinCmdGrow;
            ORVI_LOGI("dev_list->binCmd_size %d less than cmd length %d ,expand to %d",
                      static_cast<int>(size), static_cast<int>(cmd.size()), static_cast<int>(grown));
            size = grown;
        }
        auto buf = std::make_shared<std::vector<char>>(size, '\0');
        std::memcpy(buf->data(), cmd.data(), cmd.size());
        d.binCmd = std::move(buf);
    });
}

void hb_ticks_refresh(const orvi_subdev_ptr &dev) {
    unsigned long now = static_cast<unsigned long>(orvi_get_ticks());
    orvi_subdev_locked(dev, [now](orvi_subdev_list_t &d) { d.hb_ticks = now; });
    ORVI_LOGI("update %s device hb_ticks to %ld", mac_of(dev).c_str(), static_cast<long>(now));
}

dev_type_t type_of(const orvi_subdev_ptr &dev) {
    return orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { return d.dev_type; });
}

// The binary status of a status-check answer becomes the device's status
// document through its model's codec, as a binary status report does.
void status_from_binary(const orvi_subdev_ptr &dev, const char *b64) {
    std::string param = orvi_codec_status_input(b64);
    std::string mid = orvi_subdev_locked(dev, [&](orvi_subdev_list_t &d) {
        d.binParam.assign(param.c_str(), param.c_str() + param.size() + 1);
        return std::string(orvi_field_view(d.mid));
    });
    std::vector<char> out(kStatusDocMax, '\0');
    int len = hex_to_json(mid.c_str(), param.c_str(), out.data(), out.size());
    if (len < 0 || static_cast<size_t>(len) >= out.size()) {
        ORVI_LOGW("hex_to_json is fail!");
        return;
    }
    // A zero result leaves the text at its terminator; an empty document
    // would wipe the last good status, so it is not taken.
    if (len == 0) len = static_cast<int>(strnlen(out.data(), out.size()));
    if (len == 0) {
        ORVI_LOGW("hex_to_json gave no status, last status kept");
        return;
    }
    if (product_subdev_set_data(dev, std::string_view(out.data(), static_cast<size_t>(len))) != 0) return;
    ORVI_LOGI("[%d]dev_list->data -> %.*s", len, len, out.data());
    orvi_event_post_dev(ORVI_EVENT_JSONSTATUS, dev);
}

// The text of a record's buffer, up to its first zero byte.
std::string buffer_text(const std::vector<char> &v) {
    return v.empty() ? std::string() : std::string(v.data(), strnlen(v.data(), v.size()));
}

bool drop_ignored(bincmd_retry_node_t *node) {
    auto &cmds = node->cmd_list.cmds;
    while (!cmds.empty() && cmds.front().flag_res == FLAG_RES_IGNORE) {
        ORVI_LOGI("this node is ignore.....");
        bincmd_cmd_node_delete(node);
    }
    return !cmds.empty();
}

// One step of the node of `mac`; see the header for the rules.
void serve_node(const std::string &mac) {
    for (;;) {
        orvi_subdev_ptr dev = product_get_subdev_form_host(mac.c_str());
        bool post = false;
        std::string cmd;
        bincmd_res_t outcome = FLAG_RES_IDLE;
        {
            orvi::MutexLock lk(binCmd_Retry_List.mu);
            bincmd_retry_node_t *node = bincmd_retry_node_get(&binCmd_Retry_List, mac.c_str());
            if (!node || node->timer > 0) return;
            if (!dev || mac_of(dev) != mac) {
                ORVI_LOGW("%s haven't this device,clear the retry list node:%p", mac.c_str(),
                          static_cast<void *>(node));
                bincmd_retry_node_delete(&binCmd_Retry_List, node);
                return;
            }
            if (node->cmd_list.cmds.empty()) return;
            if (!drop_ignored(node)) return;
            auto &cmds = node->cmd_list.cmds;
            if (cmds.front().flag_res != FLAG_RES_IDLE) {
                ORVI_LOGI("delete at response");
                cmd = cmds.front().cmd;
                outcome = cmds.front().flag_res;
                bincmd_cmd_node_delete(node);
                node->timer = BINCMD_RETRY_PERIOD;
            } else {
                if (node->cmd_list.node_count() > BINCMD_QUEUE_DROP) {
                    ORVI_LOGW("%s device send bincmd is %s", mac.c_str(), cmds.front().cmd.c_str());
                    bincmd_cmd_node_delete(node);
                    if (!drop_ignored(node)) return;
                }
                cmd = cmds.front().cmd;
                post = node->retry_count > 0;
                --node->retry_count;
                if (node->retry_count < 0) {
                    ORVI_LOGW("timeout ,delete at retry done");
                    outcome = FLAG_RES_TIMEOUT;
                    bincmd_cmd_node_delete(node);
                }
                node->timer = BINCMD_RETRY_PERIOD;
            }
        }
        if (post) {
            bincmd_buffer_set(dev, cmd);
            post_bincmd(dev);
        }
        if (outcome == FLAG_RES_IDLE) return;
        if (orvi_udp_respone_handle(dev, cmd.c_str(), outcome) != 1) return;
        // The device is gone: its node is freed at once, not in 2 s.
        orvi::MutexLock lk(binCmd_Retry_List.mu);
        if (bincmd_retry_node_t *node = bincmd_retry_node_get(&binCmd_Retry_List, mac.c_str()))
            node->timer = 0;
    }
}

void retry_timer_cb(void *) {
    bincmd_retry_tick(BINCMD_TIMER_PERIOD);
}

void *bincmd_retry_handler(void *) {
    for (;;) {
        bool empty;
        {
            orvi::MutexLock lk(binCmd_Retry_List.mu);
            empty = binCmd_Retry_List.nodes.empty();
        }
        if (empty) {
            orvi_port_sleep_ms(1000);
            continue;
        }
        bincmd_retry_pass();
        orvi_port_sleep_ms(10);
    }
    return nullptr;
}

int queue_json(const orvi_subdev_ptr &dev, const cJSON *j) {
    std::string text = print(j);
    if (text.empty()) return -1;
    return subdev_udp_bincmd_ctrl(dev, text.c_str());
}

// {"t":..., "r":200} check shared by "res" and "ret"; the packet name goes
// into the log lines.
bool result_ok(const cJSON *json, const char *name) {
    const cJSON *r = cJSON_GetObjectItemCaseSensitive(json, "r");
    if (!cJSON_IsNumber(r)) {
        ORVI_LOGW("%s packet have not 'r' key!", name);
        return false;
    }
    if (r->valueint != 200) {
        ORVI_LOGW("%s packet r is not 200, r-> %d", name, r->valueint);
        return false;
    }
    return true;
}
}  // namespace

// ---- Node and command functions ------------------------------------------------

bincmd_retry_node_t *bincmd_retry_node_get(bincmd_retry_list_t *list, const char *mac) {
    if (!list || !mac) return nullptr;
    for (auto &n : list->nodes)
        if (std::strncmp(n.mac, mac, sizeof n.mac) == 0) return &n;
    return nullptr;
}

bincmd_retry_node_t bincmd_retry_node_create(const char *mac) {
    bincmd_retry_node_t node;
    orvi_field_set(node.mac, mac ? mac : "");
    ORVI_LOGI("create %s bincmd retry node", node.mac);
    return node;
}

bincmd_retry_node_t *bincmd_retry_node_insert(bincmd_retry_list_t *list, bincmd_retry_node_t &&node) {
    list->nodes.push_back(std::move(node));
    return &list->nodes.back();
}

int bincmd_retry_node_delete(bincmd_retry_list_t *list, const bincmd_retry_node_t *node) {
    for (auto it = list->nodes.begin(); it != list->nodes.end(); ++it) {
        if (&*it == node) {
            list->nodes.erase(it);
            return 0;
        }
    }
    return -1;
}

int bincmd_cmd_node_insert(bincmd_retry_node_t *node, const char *cmd) {
    if (!node || !cmd) return -1;
    bincmd_cmd_node_t c;
    c.cmd = cmd;
    node->cmd_list.cmds.push_back(std::move(c));
    return 0;
}

int bincmd_cmd_node_delete(bincmd_retry_node_t *node) {
    if (!node || node->cmd_list.cmds.empty()) return -1;
    node->cmd_list.cmds.pop_front();
    node->retry_count = BINCMD_RETRY_COUNT;
    return 0;
}

int bincmd_cmd_node_clean_safe(bincmd_retry_node_t *node) {
    if (!node) return -1;
    for (auto &c : node->cmd_list.cmds)
        c.flag_res = FLAG_RES_IGNORE;
    return 0;
}

// ---- Queue and outcomes ----------------------------------------------------------

int subdev_udp_bincmd_ctrl(const orvi_subdev_ptr &dev, const char *text) {
    if (!dev || !text) {
        ORVI_LOGW("parameters error!");
        return -1;
    }
    std::string mac = mac_of(dev);
    if (mac.empty()) {
        ORVI_LOGW("parameters error!");
        return -1;
    }
    orvi::MutexLock lk(binCmd_Retry_List.mu);
    bincmd_retry_node_t *node = bincmd_retry_node_get(&binCmd_Retry_List, mac.c_str());
    if (!node) node = bincmd_retry_node_insert(&binCmd_Retry_List, bincmd_retry_node_create(mac.c_str()));
    if (node->cmd_list.cmds.empty()) {
        node->retry_count = BINCMD_RETRY_COUNT;
        node->timer = 0;
    }
    return bincmd_cmd_node_insert(node, text);
}

int subdev_udp_bincmd_clean(const orvi_subdev_ptr &dev) {
    if (!dev) return -1;
    std::string mac = mac_of(dev);
    orvi::MutexLock lk(binCmd_Retry_List.mu);
    return bincmd_cmd_node_clean_safe(bincmd_retry_node_get(&binCmd_Retry_List, mac.c_str()));
}

int bincmd_res_handle(bincmd_retry_list_t *list, const char *mac, int isSuccess) {
    if (!list || !mac) return -1;
    orvi::MutexLock lk(list->mu);
    bincmd_retry_node_t *node = bincmd_retry_node_get(list, mac);
    if (!node || node->cmd_list.cmds.empty()) {
        ORVI_LOGI("%s has no command in flight, answer ignored", mac);
        return -1;
    }
    bincmd_cmd_node_t &c = node->cmd_list.cmds.front();
    if (c.flag_res != FLAG_RES_IDLE) {
        ORVI_LOGI("%s command already has its outcome %d, answer ignored", mac, static_cast<int>(c.flag_res));
        return -1;
    }
    if (!c.sent) {
        ORVI_LOGI("%s command in flight was not sent yet, answer ignored", mac);
        return -1;
    }
    c.flag_res = isSuccess ? FLAG_RES_SUCCESS : FLAG_RES_FAILURE;
    return 0;
}

void bincmd_retry_mark_sent(const char *mac, const char *text) {
    if (!mac || !text) return;
    orvi::MutexLock lk(binCmd_Retry_List.mu);
    bincmd_retry_node_t *node = bincmd_retry_node_get(&binCmd_Retry_List, mac);
    if (!node || node->cmd_list.cmds.empty()) return;
    bincmd_cmd_node_t &c = node->cmd_list.cmds.front();
    if (c.flag_res == FLAG_RES_IDLE && c.cmd == text) c.sent = true;
}

void bincmd_retry_tick(int ms) {
    orvi::MutexLock lk(binCmd_Retry_List.mu);
    for (auto &n : binCmd_Retry_List.nodes)
        if (n.timer > 0) n.timer -= ms;
}

int bincmd_retry_pass(void) {
    std::vector<std::string> due;
    {
        orvi::MutexLock lk(binCmd_Retry_List.mu);
        for (const auto &n : binCmd_Retry_List.nodes)
            if (n.timer <= 0 && !n.cmd_list.cmds.empty()) due.emplace_back(n.mac);
    }
    for (const auto &mac : due)
        serve_node(mac);
    return static_cast<int>(due.size());
}

int bincmd_retry_timer_start(void) {
    return orvi_timer_create("bincmd_retry_timer_reflesh", retry_timer_cb, BINCMD_TIMER_PERIOD, nullptr, 1);
}

int bincmd_retry_thread(void) {
    if (bincmd_retry_timer_start() < 0) {
        ORVI_LOGW("bincmd_retry_timer_reflesh timer is fail!");
        return -1;
    }
    pthread_t tid;
    return orvi_pthread_create_detach(&tid, nullptr, bincmd_retry_handler, nullptr, "bincmd_retry_handler") ==
                   0
               ? 0
               : -1;
}

int orvi_udp_respone_handle(const orvi_subdev_ptr &dev, const char *command, bincmd_res_t result) {
    if (!dev || !command) {
        ORVI_LOGW("parameters error!");
        return -1;
    }
    json_ptr j(cJSON_Parse(command));
    if (!j) {
        ORVI_LOGW("j_cmd is NULL!");
        return -1;
    }
    if (cJSON_GetObjectItemCaseSensitive(j.get(), "reqId")) {
        // The scene answer reads its request id from the command buffer.
        bincmd_buffer_set(dev, command);
        event_scene_rsp_publish(dev, result == FLAG_RES_SUCCESS ? 0 : 1);
        return 0;
    }
    const cJSON *t = cJSON_GetObjectItemCaseSensitive(j.get(), "t");
    if (!cJSON_IsString(t)) return 0;
    if (std::strcmp(t->valuestring, "reset") == 0 && result == FLAG_RES_SUCCESS) {
        std::string mac = mac_of(dev);
        product_delete_subdev_form_host(mac.c_str());
        post_devinfo_delete(mac);
        return 1;
    }
    if (std::strcmp(t->valuestring, "statusCheck") == 0 && result == FLAG_RES_TIMEOUT) {
        subdev_udp_scan_command_send(dev);
    }
    return 0;
}

int subdev_udp_reset_command_send(const orvi_subdev_ptr &dev) {
    if (!dev) return -1;
    std::string mac = mac_of(dev);
    subdev_udp_bincmd_clean(dev);
    json_ptr j(cJSON_CreateObject());
    cJSON_AddStringToObject(j.get(), "t", "reset");
    cJSON_AddStringToObject(j.get(), "mac", mac.c_str());
    cJSON_AddNumberToObject(j.get(), "timestamp", static_cast<double>(time(nullptr)));
    std::string text = print(j.get());
    if (subdev_udp_bincmd_ctrl(dev, text.c_str()) != 0) return -1;

    // The same reset goes to the board's services, sealed with the device's key.
    std::string key =
        orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { return std::string(orvi_field_view(d.key)); });
    std::string cipher = text;
    if (orvi_aes_encrypt(key.c_str(), cipher) != 0) {
        ORVI_LOGW("binRequest create failed");
        return 0;
    }
    json_ptr pkg(
        event_msg_package_aseemble(product_get_host_mac_str().c_str(), 2, mac.c_str(), 0, cipher.c_str()));
    if (!pkg) {
        ORVI_LOGW("binRequest create failed");
        return 0;
    }
    std::string msg = print(pkg.get());
    const std::string home = product_get_mac_str();
    if (!event_topic_level_ok(home, "home MAC") || !event_topic_level_ok(mac, "device MAC")) return 0;
    std::string topic = "/binRequest/" + home + "/" + mac;
    ORVI_LOGI("binrequest is %s,topic  --> %s", text.c_str(), topic.c_str());
    if (mqtt_event_publish(topic.c_str(), msg.c_str(), msg.size(), 0) != 0)
        ORVI_LOGW("local_mqtt_event_publish is fail!");
    return 0;
}

int subdev_udp_scan_command_send(const orvi_subdev_ptr &dev) {
    if (!dev) return -1;
    json_ptr j(cJSON_CreateObject());
    cJSON_AddStringToObject(j.get(), "t", "scan");
    cJSON_AddNumberToObject(j.get(), "allRange", 1);
    return queue_json(dev, j.get());
}

int subdev_udp_statusCheck_send(const orvi_subdev_ptr &dev) {
    if (!dev) return -1;
    json_ptr j(cJSON_CreateObject());
    cJSON_AddStringToObject(j.get(), "t", "statusCheck");
    cJSON_AddStringToObject(j.get(), "timestamp",
                            std::to_string(static_cast<long long>(time(nullptr))).c_str());
    return queue_json(dev, j.get());
}

int multi_switch_status_filter(const orvi_subdev_ptr &dev, const cJSON *cols, const cJSON *dat,
                               cJSON **out_cols, cJSON **out_dat) {
    if (!dev || !cols || !dat || !out_cols || !out_dat) return -1;
    std::string mac = mac_of(dev);
    if (mac.size() < 14) return -1;
    static const char *const kGangs[][2] = {{"00", "Sw1"}, {"01", "Sw2"}, {"02", "Sw3"}, {"03", "Sw4"}};
    const char *name = nullptr;
    for (const auto &g : kGangs)
        if (mac.compare(12, 2, g[0]) == 0) name = g[1];
    if (!name) return -1;
    int nc = cJSON_IsArray(cols) ? cJSON_GetArraySize(cols) : 0;
    int nd = cJSON_IsArray(dat) ? cJSON_GetArraySize(dat) : 0;
    if (nc == 0 || nc != nd) {
        ORVI_LOGW("cols_size is %d,dat_size is %d", nc, nd);
        return -1;
    }
    for (int i = 0; i < nc; ++i) {
        const cJSON *c = cJSON_GetArrayItem(cols, i);
        const cJSON *v = cJSON_GetArrayItem(dat, i);
        if (!cJSON_IsString(c) || std::strcmp(c->valuestring, name) != 0 || !cJSON_IsNumber(v)) continue;
        *out_cols = cJSON_CreateArray();
        *out_dat = cJSON_CreateArray();
        cJSON_AddItemToArray(*out_cols, cJSON_CreateString(name));
        cJSON_AddItemToArray(*out_dat, cJSON_CreateNumber(v->valuedouble));
        return 0;
    }
    return -1;
}

// ---- Answers and senders ----------------------------------------------------------

ORVI_HANDLER(request_handle_res) {
    if (!result_ok(json, "res")) return -1;
    std::string mac = mac_of(dev);
    dev_type_t type = type_of(dev);
    if (type == DEV_TYPE_CENTCTRL || type == DEV_TYPE_WIFI) {
        bincmd_res_handle(&binCmd_Retry_List, mac.c_str(), 1);
    } else if (type == DEV_TYPE_UDP) {
        int ok = cJSON_GetObjectItemCaseSensitive(json, "code") ? 0 : 1;
        bincmd_res_handle(&binCmd_Retry_List, mac.c_str(), ok);
        hb_ticks_refresh(dev);
    }
    return 0;
}

ORVI_HANDLER(request_handle_ret) {
    if (!result_ok(json, "ret")) return -1;
    if (type_of(dev) == DEV_TYPE_MINIPRO || mac_of(dev) == "miniApp") checkRes_send_retry_cansle();
    return 0;
}

ORVI_HANDLER(request_handle_statusCheckRes) {
    std::string mac = mac_of(dev);
    bincmd_res_handle(&binCmd_Retry_List, mac.c_str(), 1);
    if (type_of(dev) == DEV_TYPE_UDP) hb_ticks_refresh(dev);
    const cJSON *bin = cJSON_GetObjectItemCaseSensitive(json, "binStatus");
    if (cJSON_IsString(bin) && bin->valuestring[0]) status_from_binary(dev, bin->valuestring);
    return 0;
}

ORVI_SENDER(orvi_send_scan) {
    json_ptr j(cJSON_CreateObject());
    cJSON_AddStringToObject(j.get(), "t", "scan");
    cJSON_AddNumberToObject(j.get(), "allRange", g_first_scan.exchange(false) ? 1 : 0);
    orvi_request_set_response(req, j.get(), AES_KEY_TYPE_DEFAULT);
    return 0;
}

ORVI_SENDER(orvi_send_binCmd) {
    if (!dev) return -1;
    std::string mac = mac_of(dev);
    std::shared_ptr<std::vector<char>> buf =
        orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { return d.binCmd; });
    std::string text = buf ? buffer_text(*buf) : std::string();
    if (text.empty()) {
        ORVI_LOGW("'%s' dev_list->binCmd is NULL!", mac.c_str());
        return -1;
    }
    orvi_request_set_response_text(
        req, text, text.find("scan") != std::string::npos ? AES_KEY_TYPE_DEFAULT : AES_KEY_TYPE_RANDOM);
    bincmd_retry_mark_sent(mac.c_str(), text.c_str());
    return 0;
}

ORVI_SENDER(orvi_send_binStatus) {
    if (!dev) return -1;
    std::string text = orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { return buffer_text(d.binParam); });
    if (text.empty()) {
        ORVI_LOGW("'%s' dev_list->binParam is NULL!", mac_of(dev).c_str());
        return -1;
    }
    orvi_request_set_response_text(req, text, AES_KEY_TYPE_RANDOM);
    return 0;
}

// ---- Tests --------------------------------------------------------------------------

void bincmd_retry_set_hooks(const bincmd_retry_hooks_t &hooks) {
    orvi::MutexLock lk(orvi_bincmd_hooks_mu);
    g_hooks = hooks;
}

void bincmd_retry_reset(void) {
    orvi::MutexLock lk(binCmd_Retry_List.mu);
    binCmd_Retry_List.nodes.clear();
}
