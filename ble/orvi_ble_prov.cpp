#include "orvi_ble_prov.h"

#include <pthread.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "event_publish.h"
#include "orvi_field.h"
#include "orvi_json.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_product.h"
#include "orvi_seam.h"
#include "orvi_system.h"
#include "orvi_timer.h"
#include "orvi_transport.h"
#include "orvi_utils.h"
#include "product_subdev.h"

comboInfo_t comboIfo;
queue_msg_list rx_list;
queue_msg_list send_list;

namespace {

// The UART of the Bluetooth controller and its settings.
constexpr char kBtUart[] = "/dev/ttyS7";
constexpr uint32_t kBtBaudrate = 1500000;
// The name the app looks for; characters 20 to 23 become the MAC's last four hex digits.
constexpr char kScanName[] = "ZQ-HCenter_70502_10_8c37_FC";
constexpr size_t kScanNameMacAt = 20;
// Status ticks between two reminders that the controller is not ready.
constexpr unsigned kNotReadyReminderTicks = 60;
// The dispatch server's port handed over with "host".
constexpr uint16_t kDispatchPort = 1812;

// Bumped by the Bluetooth thread when the app's link drops: the receive
// thread then forgets what it gathered from that link.
std::atomic<unsigned> g_rx_generation{0};

std::atomic<orvi_bt_host_factory_t> g_factory{nullptr};

// ---- Peers -----------------------------------------------------------------------

int tovra_key_not_built(const char *) {
    ORVI_NOT_BUILT("tovra_key_set");
    return -1;
}
const orvi_ble_prov_peers_t kPeersNotBuilt = {tovra_key_not_built};
orvi_seam<orvi_ble_prov_peers_t> g_peers(&kPeersNotBuilt);

int list_push(queue_msg_list *list, const char *what, const void *data, size_t len) {
    if (getTheQueMsgNodeNumInList(list) >= ORVI_BLE_LIST_MAX) {
        ORVI_LOGW("%s holds %d messages: %zu bytes refused", what, ORVI_BLE_LIST_MAX, len);
        return -1;
    }
    return insertQueMsgLengToList(list, data, static_cast<int64_t>(len)) == 0 ? 0 : -1;
}

// A list element is its bytes and a terminator.
std::string list_text(const std::vector<char> &msg) {
    return msg.empty() ? std::string() : std::string(msg.data(), msg.size() - 1);
}

}  // namespace

// ---- State and accessors ----------------------------------------------------------------

const char *orvi_bt_status_name(int status) {
    static const char *const names[] = {"BT_DISABLE", "BT_TOIDLE", "BT_IDLE",      "BT_TOADV",
                                        "BT_ADV",     "BT_CONNECTED", "BT_DISCONNECT"};
    return status >= 0 && status <= BT_DISCONNECT ? names[status] : "BT_UNKNOWN";
}

void orvi_bt_status_set(bt_status_t status) {
    if (status == BT_TOADV) comboIfo.adv_wanted.store(true);
    if (status == BT_TOIDLE) comboIfo.adv_wanted.store(false);
    if (status != BT_CONNECTED) comboIfo.bt_connect_handle.store(0);
    comboIfo.bt_status.store(status);
    ORVI_LOGI("----------------bluetooth change to %s", orvi_bt_status_name(status));
}

bt_status_t orvi_bt_status_get(void) {
    return static_cast<bt_status_t>(comboIfo.bt_status.load());
}

void orvi_bt_conHandle_set(uint16_t handle) {
    comboIfo.bt_connect_handle.store(handle);
}
uint16_t orvi_bt_conHandle_get(void) {
    return comboIfo.bt_connect_handle.load();
}
void orvi_bt_mtu_set(int mtu) {
    comboIfo.mtu.store(mtu);
}
int orvi_bt_mtu_get(void) {
    return comboIfo.mtu.load();
}

std::string orvi_bt_mac_get(void) {
    if (!comboIfo.ready.load(std::memory_order_acquire)) return "";
    return comboIfo.bleMacStr;
}

void orvi_wifi_ssid_set(const char *ssid) {
    orvi_field_copy_cut(comboIfo.ssid, ssid ? ssid : "");
}
void orvi_wifi_psw_set(const char *psw) {
    orvi_field_copy_cut(comboIfo.password, psw ? psw : "");
}

void orvi_ble_prov_set_host_factory(orvi_bt_host_factory_t factory) {
    g_factory.store(factory);
}

void orvi_ble_prov_set_peers(const orvi_ble_prov_peers_t *peers) {
    g_peers.install(peers);
}

int orvi_ble_advertise(int on) {
    orvi_bt_status_set(on ? BT_TOADV : BT_TOIDLE);
    return 0;
}

// ---- Advertising bytes ------------------------------------------------------------------

std::vector<uint8_t> orvi_ble_adv_data(const uint8_t mac[6]) {
    // Laid out whole in a fixed array: the app reads it by offset.
    uint8_t d[22] = {0x02, 0x01, 0x06,  // flags: LE general discoverable, no BR/EDR
                     0x12, 0xFF,        // manufacturer-specific, 18 bytes
                     static_cast<uint8_t>(ORVI_BLE_COMPANY_ID & 0xFF),
                     static_cast<uint8_t>(ORVI_BLE_COMPANY_ID >> 8),
                     0x00, 0x00, 0x01,
                     0, 0, 0, 0, 0, 0,  // the MAC
                     0x10, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::memcpy(d + 10, mac, 6);
    return std::vector<uint8_t>(d, d + sizeof d);
}

std::vector<uint8_t> orvi_ble_scan_response(const char *mac_str) {
    std::string name = kScanName;
    if (mac_str && std::strlen(mac_str) >= 12) name.replace(kScanNameMacAt, 4, mac_str + 8, 4);
    std::vector<uint8_t> d(2 + name.size());
    d[0] = static_cast<uint8_t>(name.size() + 1);
    d[1] = 0x09;  // complete local name
    std::memcpy(d.data() + 2, name.data(), name.size());
    return d;
}

void orvi_ble_static_address(const uint8_t mac[6], uint8_t out[6]) {
    std::memcpy(out, mac, 6);
    out[0] |= 0xC0;
    bool zeros = (out[0] & 0x3F) == 0;
    bool ones = (out[0] & 0x3F) == 0x3F;
    for (int i = 1; i < 6; ++i) {
        zeros = zeros && out[i] == 0x00;
        ones = ones && out[i] == 0xFF;
    }
    if (zeros || ones) out[5] ^= 0x01;
}

// ---- Byte paths -------------------------------------------------------------------------

int orvi_ble_prov_data_send(const char *text, size_t length) {
    if (!text || length == 0) {
        ORVI_LOGW("nothing to send");
        return -1;
    }
    return list_push(&send_list, "send_list", text, length);
}

int orvi_ble_data_enqueue(const char *text, size_t length) {
    if (!text || length == 0) return -1;
    request_type_t req;
    req.key_type = AES_KEY_TYPE_NONE;
    req.data_type = DATA_TYPE_NEED_PARSE;
    req.data.assign(text, length);
    req.sockinfo.fd = -1;
    req.sockinfo.type = SOCKET_CONNECT_TYPE_BLE;
    req.ctx.has_text = true;
    req.ctx.text = product_get_host_mac_str();
    if (orvi_transport_deliver(req) != 0) {
        ORVI_LOGW("orvi_request_queue_send is fail!");
        return -1;
    }
    return 0;
}

void ble_rx_data_sort(const std::string &text, OrviCpReassembler *cp) {
    orvi_json::json_ptr j(cJSON_ParseWithLength(text.data(), text.size()));
    if (!j) {
        ORVI_LOGW("j_data invalid!");
        return;
    }
    if (cJSON_HasObjectItem(j.get(), "pack")) {
        orvi_ble_data_enqueue(text.data(), text.size());
    } else if (cJSON_HasObjectItem(j.get(), "CP")) {
        std::string whole;
        if (cp->take(j.get(), &whole) == OrviCpReassembler::CP_COMPLETE)
            orvi_ble_data_enqueue(whole.data(), whole.size());
    } else {
        ORVI_LOGW("neither \"pack\" nor \"CP\": %zu bytes dropped", text.size());
    }
}

bool OrviBleRx::step() {
    std::vector<char> msg;
    if (getTheQueMsgNodeNumInList(&rx_list) <= 0 || getTheQueMsgInList(&rx_list, msg) != 0) return false;
    const unsigned gen = g_rx_generation.load();
    if (gen != generation_) {
        // The link this was gathered from is gone.
        gather_.clear();
        cp_.clear();
        generation_ = gen;
    }
    const std::string piece = list_text(msg);
    std::string text;
    if (gather_.add(piece.data(), piece.size(), &text) != OrviBleRxGather::COMPLETE) return true;
    ORVI_LOGI("%s", text.c_str());
    ble_rx_data_sort(text, &cp_);
    return true;
}

namespace {
void *ble_rx_data_handle(void *) {
    OrviBleRx rx;
    for (;;) {
        if (!rx.step()) orvi_port_sleep_ms(50);
    }
    return nullptr;
}
}  // namespace

// ---- The service on the Bluetooth thread -----------------------------------------------------

OrviBleProv::OrviBleProv(OrviBtHost *host) : host_(host) {
    send_timer_.fn = [](orvi_bt_timer *t) { static_cast<OrviBleProv *>(t->ctx)->send_tick(); };
    send_timer_.ctx = this;
    status_timer_.fn = [](orvi_bt_timer *t) { static_cast<OrviBleProv *>(t->ctx)->status_tick(); };
    status_timer_.ctx = this;
}

OrviBleProv::~OrviBleProv() {
    if (host_) {
        host_->timer_stop(&send_timer_);
        host_->timer_stop(&status_timer_);
    }
}

int OrviBleProv::setup() {
    queueMsgListInit(&rx_list);
    queueMsgListInit(&send_list);
    comboIfo.ready.store(false);
    comboIfo.adv_wanted.store(false);
    comboIfo.bt_status.store(BT_DISABLE);
    comboIfo.bt_connect_handle.store(0);
    comboIfo.mtu.store(20);
    host_->timer_start(&send_timer_, ORVI_BLE_SEND_PERIOD_MS);
    host_->timer_start(&status_timer_, ORVI_BLE_STATUS_PERIOD_MS);
    uint8_t mac[6];
    uint8_t addr[6];
    product_get_host_mac(mac);
    orvi_ble_static_address(mac, addr);
    if (host_->set_random_address(addr) != 0) ORVI_LOGW("the random address was refused");
    orvi_plain_write("change to %02X:%02X:%02X:%02X:%02X:%02X\n", addr[0], addr[1], addr[2], addr[3], addr[4],
                     addr[5]);
    return host_->power(true);
}

void OrviBleProv::comboInfo_init() {
    uint8_t pub[6];
    host_->public_address(pub);
    ORVI_LOGI("bt  mac hex:'%02x %02x %02x %02x %02x %02x'", pub[0], pub[1], pub[2], pub[3], pub[4], pub[5]);
    if (!comboIfo.ready.load()) {
        product_get_host_mac(comboIfo.bleMac);
        std::snprintf(comboIfo.bleMacStr, sizeof comboIfo.bleMacStr, "%02x%02x%02x%02x%02x%02x",
                      comboIfo.bleMac[0], comboIfo.bleMac[1], comboIfo.bleMac[2], comboIfo.bleMac[3],
                      comboIfo.bleMac[4], comboIfo.bleMac[5]);
        comboIfo.ready.store(true, std::memory_order_release);
    }
    ORVI_LOGI("blutooth mac is %s", comboIfo.bleMacStr);
}

void OrviBleProv::advertise_on() {
    if (!comboIfo.ready.load(std::memory_order_acquire)) return;
    orvi_bt_adv_params p{48, 48, 0, 7, 0};
    const std::vector<uint8_t> adv = orvi_ble_adv_data(comboIfo.bleMac);
    const std::vector<uint8_t> rsp = orvi_ble_scan_response(comboIfo.bleMacStr);
    if (host_->set_adv_params(p) != 0 || host_->set_adv_data(adv.data(), adv.size()) != 0 ||
        host_->set_scan_response(rsp.data(), rsp.size()) != 0 || host_->set_adv_enable(true) != 0) {
        ORVI_LOGW("advertising could not start; tried again at the next tick");
        return;
    }
    orvi_bt_status_set(BT_ADV);
}

void OrviBleProv::advertise_off() {
    if (host_->set_adv_enable(false) != 0) ORVI_LOGW("advertising could not be stopped");
    orvi_bt_status_set(BT_IDLE);
}

void OrviBleProv::status_tick() {
    if (!comboIfo.ready.load(std::memory_order_acquire)) {
        // A controller that never answers would otherwise write this once a
        // second for ever: once when the wait starts, then once a minute.
        if (not_ready_ticks_++ % kNotReadyReminderTicks == 0) orvi_plain_write("bluetooth isn't ready!!!!!!\n");
    } else {
        not_ready_ticks_ = 0;
        const int st = comboIfo.bt_status.load();
        if (st == BT_TOADV || (st == BT_DISCONNECT && comboIfo.adv_wanted.load()))
            advertise_on();
        else if (st == BT_TOIDLE)
            advertise_off();
    }
    host_->timer_start(&status_timer_, ORVI_BLE_STATUS_PERIOD_MS);
}

void OrviBleProv::notify(const std::string &packet) {
    // Cleared and grown, never shrunk: one buffer serves every notification.
    if (notify_buf_.capacity() < packet.size()) notify_buf_.reserve(packet.size() + 128);
    notify_buf_.assign(packet.begin(), packet.end());
    ORVI_LOGI("will send data : %s", packet.c_str());
    const uint16_t handle = comboIfo.bt_connect_handle.load();
    if (comboIfo.bt_status.load() != BT_CONNECTED || handle == 0 || !notify_on_) {
        ORVI_LOGW("bluetooth is disconnect now!");
        return;
    }
    if (host_->notify(handle, ORVI_ATT_FD04_VALUE, notify_buf_.data(), notify_buf_.size()) != 0)
        ORVI_LOGW("notification of %zu bytes failed", notify_buf_.size());
}

void OrviBleProv::send_tick() {
    if (pending_next_ >= pending_.size()) {
        pending_.clear();
        pending_next_ = 0;
        std::vector<char> msg;
        if (getTheQueMsgNodeNumInList(&send_list) > 0 && getTheQueMsgInList(&send_list, msg) == 0) {
            const std::string text = list_text(msg);
            const size_t payload = static_cast<size_t>(std::max(0, comboIfo.mtu.load()));
            if (text.size() <= ORVI_BLE_WHOLE_MAX && text.size() <= payload) {
                pending_.push_back(text);
            } else {
                const std::string tag = generate_random_string(ORVI_BLE_CP_TAG_LEN);
                pending_ = orvi_ble_cp_split(text, payload, tag);
                if (pending_.empty())
                    ORVI_LOGW("a reply of %zu bytes cannot be cut for a payload of %zu bytes: dropped",
                              text.size(), payload);
                else
                    ORVI_LOGI("pins:%zu", pending_.size());
            }
        }
    }
    if (pending_next_ < pending_.size()) notify(pending_[pending_next_++]);
    host_->timer_start(&send_timer_, ORVI_BLE_SEND_PERIOD_MS);
}

void OrviBleProv::on_state(orvi_bt_host_state state) {
    if (state == ORVI_BT_HOST_WORKING) {
        comboInfo_init();
    } else if (state == ORVI_BT_HOST_OFF) {
        comboIfo.ready.store(false);
        ORVI_LOGI("bluetooth host is off");
    }
}

void OrviBleProv::on_command_complete(uint16_t opcode, const uint8_t *ret, size_t len) {
    if (!ret) return;
    if (opcode == 0xFC09) {
        if (len >= 7 && ret[0] == 0) {
            for (int i = 0; i < 6; ++i)
                static_addr_[i] = ret[6 - i];
            ORVI_LOGI("controller static address %02X:%02X:%02X:%02X:%02X:%02X", static_addr_[0],
                      static_addr_[1], static_addr_[2], static_addr_[3], static_addr_[4], static_addr_[5]);
        }
    } else if (opcode == 0x0C14) {
        if (len >= 1 && ret[0] == 0) {
            std::string name(reinterpret_cast<const char *>(ret + 1), len - 1);
            name.resize(std::strlen(name.c_str()));
            orvi_plain_write("Local name: %s\n", name.c_str());
        }
    } else if (opcode == 0x1001) {
        if (len >= 9 && ret[0] == 0) {
            auto u16 = [&](size_t at) { return static_cast<unsigned>(ret[at] | (ret[at + 1] << 8)); };
            orvi_plain_write("Local version information:\n");
            orvi_plain_write("- HCI Version    0x%04x\n", static_cast<unsigned>(ret[1]));
            orvi_plain_write("- HCI Revision   0x%04x\n", u16(2));
            orvi_plain_write("- LMP Version    0x%04x\n", static_cast<unsigned>(ret[4]));
            orvi_plain_write("- LMP Subversion 0x%04x\n", u16(7));
            orvi_plain_write("- Manufacturer 0x%04x\n", u16(5));
        }
    }
}

void OrviBleProv::on_connected(uint16_t con_handle) {
    orvi_bt_status_set(BT_CONNECTED);
    comboIfo.bt_connect_handle.store(con_handle);
    comboIfo.mtu.store(static_cast<int>(host_->mtu(con_handle)) - 3);
    orvi_plain_write("hci connect by %d handler\n", con_handle);
    orvi_plain_write("Getting mtu is %d\n", comboIfo.mtu.load());
}

void OrviBleProv::on_disconnected(uint16_t, uint8_t reason) {
    notify_on_ = false;
    // What the gone app left half-written or unsent is of no use to the next one.
    queueMsgListInit(&rx_list);
    queueMsgListInit(&send_list);
    pending_.clear();
    pending_next_ = 0;
    g_rx_generation.fetch_add(1);
    comboIfo.mtu.store(20);
    ORVI_LOGI("disconnected, reason 0x%02x", reason);
    orvi_bt_status_set(BT_DISCONNECT);
}

void OrviBleProv::on_mtu(uint16_t, uint16_t mtu) {
    comboIfo.mtu.store(static_cast<int>(mtu) - 3);
    orvi_plain_write("ATT_EVENT_MTU_EXCHANGE_COMPLETE :%d\n", static_cast<int>(mtu));
}

size_t OrviBleProv::on_read(uint16_t, uint16_t att_handle, uint16_t offset, uint8_t *out, size_t cap,
                            uint8_t *err) {
    if (att_handle != ORVI_ATT_FD06_VALUE) return 0;
    const std::string hid = product_get_hid();
    orvi_plain_write("===========read 0xFD06==========\n");
    orvi_plain_write("hid : %s\n", hid.c_str());
    if (offset > hid.size()) {
        if (err) *err = ORVI_ATT_ERR_INVALID_OFFSET;
        return 0;
    }
    const size_t n = std::min(cap, hid.size() - offset);
    if (out && n) std::memcpy(out, hid.data() + offset, n);
    return n;
}

uint8_t OrviBleProv::on_write(uint16_t con_handle, uint16_t att_handle, orvi_att_write_mode mode, uint16_t offset,
                              const uint8_t *data, size_t len) {
    if (att_handle == ORVI_ATT_FD03_VALUE) {
        // A long write arrives whole; a piece at an offset would be a part of
        // a value joined nowhere, so it is refused rather than taken as a start.
        if (offset != 0) {
            ORVI_LOGW("write at offset %u refused: only whole values are taken", offset);
            return ORVI_ATT_ERR_INVALID_OFFSET;
        }
        orvi_plain_write("\nWrite: transaction mode %u, offset %u, data (%zu bytes): %.*s\n",
                         static_cast<unsigned>(mode), offset, len, static_cast<int>(len),
                         reinterpret_cast<const char *>(data));
        if (len && data && list_push(&rx_list, "rx_list", data, len) != 0) return ORVI_ATT_ERR_UNLIKELY;
        comboIfo.mtu.store(static_cast<int>(host_->mtu(con_handle)) - 3);
        return ORVI_ATT_OK;
    }
    if (att_handle == ORVI_ATT_FD04_CCC) {
        if (len < 2 || !data) return ORVI_ATT_ERR_INVALID_LENGTH;
        notify_on_ = (data[0] | (data[1] << 8)) == 1;
        orvi_bt_status_set(BT_CONNECTED);
        comboIfo.bt_connect_handle.store(con_handle);
        comboIfo.mtu.store(static_cast<int>(host_->mtu(con_handle)) - 3);
        orvi_plain_write("con_handle is %d\n", con_handle);
        orvi_plain_write("Getting mtu is %d\n", comboIfo.mtu.load());
        return ORVI_ATT_OK;
    }
    return ORVI_ATT_OK;
}

// ---- The Bluetooth thread ---------------------------------------------------------------------

void *orvi_combo_thread(void *) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    orvi_bt_host_factory_t factory = g_factory.load();
    std::unique_ptr<OrviBtHost> host = factory ? factory() : nullptr;
    if (!host) {
        ORVI_LOGW("no BLE host stack: Bluetooth stays off");
        return nullptr;
    }
    const std::string device = orvi_path(kBtUart);
    const orvi_bt_uart_config uart{device.c_str(), kBtBaudrate, true};
    OrviBleProv prov(host.get());
    if (host->open(uart, &prov) != 0) return nullptr;
    orvi_plain_write("H4 device: %s\n", device.c_str());
    pthread_t tid;
    if (orvi_pthread_create_detach(&tid, nullptr, ble_rx_data_handle, nullptr, "ble_rx_data_handle") != 0)
        return nullptr;
    if (prov.setup() != 0) ORVI_LOGW("the Bluetooth host did not power on");
    host->run();
    return nullptr;
}

int orvi_combo_server_start(void) {
    pthread_t tid;
    if (orvi_pthread_create_detach(&tid, nullptr, orvi_combo_thread, nullptr, "orvi_combo_thread") != 0) {
        orvi_plain_write("create orvi_combo_thread thread failed!!!\n");
        return -1;
    }
    orvi_plain_write("create orvi_combo_thread thread success,pid is [%ld]\n", static_cast<long>(tid));
    return 0;
}

// ---- Request handlers -------------------------------------------------------------------

namespace {

bool over_ble(const request_data_t *req, const char *name) {
    if (req->conn == SOCKET_CONNECT_TYPE_BLE) return true;
    ORVI_LOGW("'%s' is taken over BLE only: refused", name);
    return false;
}

// A JSON number that is a whole value within [lo, hi].
bool whole_in(const cJSON *n, double lo, double hi) {
    return n && std::isfinite(n->valuedouble) && n->valuedouble == std::floor(n->valuedouble) &&
           n->valuedouble >= lo && n->valuedouble <= hi;
}

std::atomic<orvi_timer_t> g_match_timer{-1};

}  // namespace

ORVI_HANDLER(orvi_ble_request_bind) {
    (void)json;
    (void)dev;
    if (!over_ble(req, "bind")) return -1;
    orvi_subdev_info_list_t *linking = product_get_linking_list(0);
    orvi_json::json_ptr r = orvi_json::new_object();
    cJSON_AddStringToObject(r.get(), "t", "blekey");
    cJSON_AddStringToObject(r.get(), "key", product_get_random_key().c_str());
    cJSON_AddStringToObject(r.get(), "mac", product_get_host_mac_str().c_str());
    cJSON_AddNumberToObject(r.get(), "IsCP", 1);
    cJSON_AddNumberToObject(r.get(), "subCnt", linking ? linking->subdev_count.load() : 0);
    cJSON_AddNumberToObject(r.get(), "Qnet", 2);
    orvi_request_set_response(req, r.get(), AES_KEY_TYPE_DEFAULT);
    return 0;
}

ORVI_HANDLER(orvi_ble_request_subBDev) {
    (void)dev;
    if (!over_ble(req, "subBDev")) return -1;
    std::vector<orvi_subdev_info_t> all = product_subdev_info_list_snapshot(product_get_linking_list(0));
    if (all.size() > 200) all.resize(200);
    const cJSON *i = orvi_json::num_of(json, "i");
    if (!whole_in(i, 0, static_cast<double>(all.size()))) {
        if (i)
            ORVI_LOGW("subBDev: index %g outside 0 .. %zu: refused", i->valuedouble, all.size());
        else
            ORVI_LOGW("subBDev: no numeric index \"i\": refused");
        return -1;
    }
    std::string list;
    for (size_t k = static_cast<size_t>(i->valuedouble); k < all.size(); ++k) {
        if (!list.empty()) list += '#';
        list += std::string(orvi_field_view(all[k].mac)).substr(0, 16);
        list += '|';
        list += std::string(orvi_field_view(all[k].mid)).substr(0, 15);
    }
    orvi_json::json_ptr r = orvi_json::new_object();
    cJSON_AddStringToObject(r.get(), "t", "subBList");
    cJSON_AddNumberToObject(r.get(), "i", 0);
    cJSON_AddStringToObject(r.get(), "list", list.c_str());
    orvi_request_set_response(req, r.get(), AES_KEY_TYPE_RANDOM);
    return 0;
}

ORVI_HANDLER(orvi_ble_request_homeBind) {
    (void)dev;
    if (!over_ble(req, "homeBind")) return -1;
    const char *t = orvi_json::str_of(json, "t");
    const cJSON *home_id = orvi_json::num_of(json, "homeId");
    const char *home_mac = orvi_json::str_of(json, "homeMac");
    const char *home_key = orvi_json::str_of(json, "homeKey");
    const cJSON *domain = cJSON_GetObjectItemCaseSensitive(json, "domain");
    // Every member is checked before anything is stored: a refused packet
    // leaves the identity as it was.
    const bool joins = home_mac && home_key && *home_mac && *home_key;
    const bool ok = t && std::strcmp(t, "homeBind") == 0 && whole_in(home_id, 0, 99999999) && home_mac &&
                    home_key && std::strlen(home_mac) <= 16 && (!*home_key || std::strlen(home_key) == 16) &&
                    (!cJSON_IsString(domain) || std::strlen(domain->valuestring) < 64);
    if (!ok) {
        ORVI_LOGW("data illegal!");
        return -1;
    }
    const int32_t id = static_cast<int32_t>(home_id->valuedouble);
    if (joins) {
        product_set_mac_str(home_mac);
        product_set_home_key(home_key);
        product_set_homeId(id);
    } else {
        ORVI_LOGI("first host register");
        product_set_home_key(product_get_random_key().c_str());
        product_set_homeId(id);
        char mac[17];
        std::snprintf(mac, sizeof mac, "001AB604%08d", static_cast<int>(id));
        product_set_mac_str(mac);
    }
    if (cJSON_IsString(domain)) {
        product_set_APIDomain(domain->valuestring);
        event_parameter_publish("domain", domain->valuestring, -1);
    }
    if (const cJSON *active = orvi_json::num_of(json, "isActive"))
        product_set_active_status(static_cast<int32_t>(active->valuedouble));
    orvi_json::json_ptr r = orvi_json::new_object();
    cJSON_AddStringToObject(r.get(), "t", "homeBindOk");
    cJSON_AddStringToObject(r.get(), "homeMac", product_get_mac_str().c_str());
    cJSON_AddStringToObject(r.get(), "homeKey", product_get_home_key().c_str());
    cJSON_AddStringToObject(r.get(), "homeMid", product_get_homeHost_mid_str().c_str());
    orvi_request_set_response(req, r.get(), AES_KEY_TYPE_RANDOM);
    return 0;
}

ORVI_HANDLER(orvi_ble_request_QnetDev) {
    (void)dev;
    if (!over_ble(req, "QnetDev")) return -1;
    const cJSON *qnet_id = orvi_json::num_of(json, "QnetID");
    const char *qnet_key = orvi_json::str_of(json, "QnetKey");
    const cJSON *bleinfo_send = orvi_json::num_of(json, "BleinfoSend");
    const char *ssid = orvi_json::str_of(json, "ssid");
    const char *psw = orvi_json::str_of(json, "psw");
    const char *host = orvi_json::str_of(json, "host");
    // The fields the values go to: the network key 8, the SSID 32, the
    // password 64 and the dispatch host 32 characters.
    const bool ok = whole_in(qnet_id, 0, UINT32_MAX) && qnet_key && bleinfo_send && ssid && psw && host &&
                    std::strlen(qnet_key) <= 8 && *ssid && std::strlen(ssid) <= 32 && std::strlen(psw) <= 64 &&
                    std::strlen(host) <= 32;
    if (!ok) {
        ORVI_LOGW("package is invalid!");
        return -1;
    }
    const uint32_t id = static_cast<uint32_t>(qnet_id->valuedouble);
    product_set_Qnetkey(qnet_key);
    ORVI_LOGI("init tovra key....");
    g_peers.get(&orvi_ble_prov_peers_t::tovra_key_set)(qnet_key);
    product_set_QnetID(id);
    product_set_ssid(ssid);
    product_set_wifiPsw(psw);
    orvi_wifi_ssid_set(ssid);
    orvi_wifi_psw_set(psw);
    product_set_dis_server_info(host, kDispatchPort);
    if (orvi_wifi_on() != 0) ORVI_LOGW("wifi could not be switched on");
    if (wifi_connect(comboIfo.ssid, comboIfo.password) != 0) ORVI_LOGW("wifi connect failed");
    if (orvi_wifi_connect_confirm() != 0) ORVI_LOGW("wifi connect confirm could not start");
    orvi_json::json_ptr r = orvi_json::new_object();
    cJSON_AddStringToObject(r.get(), "t", "QnetOK");
    cJSON_AddNumberToObject(r.get(), "QNetID", id);
    cJSON_AddStringToObject(r.get(), "mac", product_get_host_mac_str().c_str());
    cJSON_AddStringToObject(r.get(), "mid", product_get_mid_str().c_str());
    cJSON_AddStringToObject(r.get(), "ver", product_get_protocol_ver().c_str());
    orvi_request_set_response(req, r.get(), AES_KEY_TYPE_RANDOM);
    return 0;
}

ORVI_HANDLER(orvi_ble_request_bleCheck) {
    (void)json;
    (void)dev;
    ORVI_LOGI("bleCheck over %d: nothing to answer", static_cast<int>(req->conn));
    return 0;
}

void orvi_ble_match_done(void *) {
    const uint8_t was = product_get_match_status();
    if (was != 2 && was != 3) return;
    product_set_match_status(1);
    event_host_publish("matching", "success", -1);
    orvi_bt_status_set(BT_TOIDLE);
}

ORVI_SENDER(orvi_ble_send_bleinfo) {
    (void)dev;
    // The confirmation's last polled state, whichever confirmation queued us.
    const WifiConnectionState state = orvi_wifi_confirm_state();
    const int wificon = state == WIFI_CONNECTED ? 1 : -1;
    orvi_json::json_ptr r = orvi_json::new_object();
    cJSON_AddStringToObject(r.get(), "t", "bleinfo");
    cJSON_AddStringToObject(r.get(), "mac", product_get_host_mac_str().c_str());
    cJSON_AddStringToObject(r.get(), "mid", product_get_mid_str().c_str());
    cJSON_AddStringToObject(r.get(), "ver", product_get_protocol_ver().c_str());
    cJSON_AddNumberToObject(r.get(), "wificon", wificon);
    orvi_request_set_response(req, r.get(), AES_KEY_TYPE_RANDOM);
    ORVI_LOGI("sendind bleinfo data , pair status : %d", wificon);
    if (wificon == 1) {
        // Created once, restarted after: the slot keeps its name between uses.
        orvi_timer_t id = g_match_timer.load();
        if (id < 0 || orvi_timer_start(id) != 0) {
            id = orvi_timer_create("event_trig_delay_timer", orvi_ble_match_done, ORVI_BLE_MATCH_DONE_DELAY_MS,
                                   nullptr, 0);
            if (id < 0) ORVI_LOGW("event_trig_delay_timer is fail!");
            g_match_timer.store(id);
        }
    }
    return 0;
}

// ---- Installation ----------------------------------------------------------------------------

const orvi_ble_service_ops_t orvi_ble_prov_ops = {
    orvi_combo_server_start,    orvi_ble_request_bind,     orvi_ble_request_subBDev, orvi_ble_request_QnetDev,
    orvi_ble_request_bleCheck, orvi_ble_request_homeBind, orvi_ble_send_bleinfo,
};

const orvi_bt_link_t orvi_ble_prov_link = {orvi_ble_prov_data_send};

// ---- tests only ----
// Declared in tests/support/orvi_testing.h; the daemon never calls it.

void orvi_ble_prov_reset_for_test(void) {
    g_match_timer.store(-1);
}
