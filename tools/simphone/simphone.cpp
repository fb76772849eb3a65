// simphone: the Bluetooth controller and the phone app in one program, on the
// UART the daemon's host stack drives. As the controller it answers the
// host's HCI commands, keeps the advertising it is given and, once
// advertising is on, reports a connection from the phone. As the phone it
// discovers the GATT database, negotiates an MTU, subscribes to
// notifications, reads FD06 and plays the provisioning exchange (bind,
// subBDev, homeBind, QnetDev, then waits for bleinfo), with options to
// misbehave. Every ATT PDU either way, every HCI command of the host, the
// link's coming and going and every reply opened go to the PDU log with a
// time stamp, so a test can order what the host did in time.
//
// Single-threaded: one poll loop over the UART.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <cJSON.h>

#include "split_list.h"
#include "uart_handover.h"
#include "orvi_aes.h"
#include "orvi_envelope.h"
#include "orvi_hci_wire.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_product.h"

using namespace orvi_hci;

namespace {

const char kUsage[] =
    "usage: simphone [options]\n"
    "  The Bluetooth controller and the phone app on the board's BLE UART:\n"
    "  answers the host's HCI commands, connects once advertising is on,\n"
    "  discovers the GATT database and provisions the host.\n"
    "  --uart PATH        the UART: a hand-over socket (default /vboard/uart/ttyS7.sock)\n"
    "                     or a pseudo-terminal master / serial device\n"
    "  --board DIR        the board in DIR (its DIR/vboard/uart/ttyS7.sock)\n"
    "  --log FILE         the ATT PDU log (default simphone.log)\n"
    "  --controller-only  answer HCI, never connect\n"
    "  --acl-len N --acl-buffers N   the LE buffers reported (default 27, 4)\n"
    "  --static-addr HEX  answer 0xFC09 with this static address (default: unknown command)\n"
    "  --mtu N            ask for this ATT MTU (default 185; 23: no exchange)\n"
    "  --home-id N --home-mac MAC --home-key KEY   the homeBind members (default: a first host)\n"
    "  --qnet-id N --qnet-key K --ssid S --psw P --host H   the QnetDev members\n"
    "  --steps LIST       comma list of bind,subBDev,homeBind,QnetDev,bleinfo (default all)\n"
    "  --timeout S        give up after S seconds (default 60)\n"
    "  --wait-adv-off S   after the last step, stay connected until the host switches\n"
    "                     advertising off; exit 3 when it has not within S seconds\n"
    " misbehaving:\n"
    "  --cp N             send requests as CP chunks of N characters\n"
    "  --shuffle          chunks out of order     --dup   every chunk twice\n"
    "  --new-tag          a chunk of another message first, abandoned\n"
    "  --huge-pins        a chunk announcing 1000000 pins first\n"
    "  --split N          write requests in pieces of N bytes\n"
    "  --prepare          long writes as prepare/execute with offsets\n"
    "  --flood N          N writes of \"{\" before each request\n"
    "  --disconnect-at STEP   drop the link half-way through writing STEP\n"
    "Prints one line per event; exit 0 when every step was answered (and, with\n"
    "--wait-adv-off, advertising went off), 2 after --disconnect-at, 3 when advertising\n"
    "stayed on, 1 otherwise.\n";

// ---- options ------------------------------------------------------------------

struct Options {
    std::string uart = "/vboard/uart/ttyS7.sock";
    std::string log = "simphone.log";
    bool controller_only = false;
    unsigned acl_len = 27, acl_buffers = 4;
    std::vector<uint8_t> static_addr;
    unsigned mtu = 185;
    long home_id = 1234;
    std::string home_mac, home_key;
    long qnet_id = 77;
    std::string qnet_key = "qk123456", ssid = "HomeNet", psw = "secret-pass", host = "192.0.2.1";
    std::vector<std::string> steps = {"bind", "subBDev", "homeBind", "QnetDev", "bleinfo"};
    int timeout_s = 60;
    int wait_adv_off_s = 0;
    size_t cp = 0;
    bool shuffle = false, dup = false, new_tag = false, huge_pins = false, prepare = false;
    size_t split = 0;
    int flood = 0;
    std::string disconnect_at;
};

bool parse_hex(const std::string &s, std::vector<uint8_t> &out) {
    std::string h;
    for (char c : s)
        if (isxdigit(static_cast<unsigned char>(c))) h += c;
    if (h.size() != 12) return false;
    out.clear();
    for (size_t i = 0; i < 12; i += 2) out.push_back(static_cast<uint8_t>(strtoul(h.substr(i, 2).c_str(), nullptr, 16)));
    return true;
}

// ---- output -------------------------------------------------------------------

FILE *g_pdu_log = nullptr;

std::string hex(const uint8_t *p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

std::string stamp() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    char b[40];
    snprintf(b, sizeof b, "%02d:%02d:%02d.%03ld", tm.tm_hour, tm.tm_min, tm.tm_sec, ts.tv_nsec / 1000000);
    return b;
}

void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    printf("simphone: ");
    vprintf(fmt, ap);
    printf("\n");
    fflush(stdout);
    va_end(ap);
}

// A line of what happened besides the PDUs ("HCI", "link", "reply").
void log_note(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log_note(const char *fmt, ...) {
    if (!g_pdu_log) return;
    va_list ap;
    va_start(ap, fmt);
    fprintf(g_pdu_log, "%s ", stamp().c_str());
    vfprintf(g_pdu_log, fmt, ap);
    fputc('\n', g_pdu_log);
    fflush(g_pdu_log);
    va_end(ap);
}

void log_pdu(const char *dir, const uint8_t *p, size_t n) {
    if (!g_pdu_log) return;
    std::string printable;
    for (size_t i = 0; i < n; ++i) printable += (p[i] >= 0x20 && p[i] < 0x7f) ? static_cast<char>(p[i]) : '.';
    fprintf(g_pdu_log, "%s %s ATT %zu: %s |%s|\n", stamp().c_str(), dir, n, hex(p, n).c_str(), printable.c_str());
    fflush(g_pdu_log);
}

uint64_t now_ms() { return orvi_port_monotonic_ms(); }

// ---- the UART -------------------------------------------------------------------

int open_uart(const std::string &path) { return uart_open_line(path, "simphone", 0); }

// ---- the phone's packets ----------------------------------------------------------

std::string seal(const std::string &inner, const std::string &key, aes_key_t fam) {
    std::string text = inner;
    if (orvi_aes_encrypt(key.c_str(), text) != 0) return "";
    std::string out;
    orvi_envelope_build(fam, SOCKET_CONNECT_TYPE_BLE, "", "", 0, text, -1, nullptr, out);
    return out;
}

std::string json_str(const cJSON *o, const char *k) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, k);
    if (cJSON_IsString(v)) return v->valuestring;
    if (cJSON_IsNumber(v)) {
        char b[32];
        snprintf(b, sizeof b, "%g", v->valuedouble);
        return b;
    }
    return "";
}

std::string random_tag(std::mt19937 &rng) {
    static const char a[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string t;
    for (int i = 0; i < 6; ++i) t += a[rng() % (sizeof a - 1)];
    return t;
}

std::string cp_packet(int pins, int pin, const std::string &tag, const std::string &chunk) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "t", "CP");
    cJSON_AddNumberToObject(o, "pins", pins);
    cJSON_AddNumberToObject(o, "pin", pin);
    cJSON_AddStringToObject(o, "tag", tag.c_str());
    cJSON_AddStringToObject(o, "CP", chunk.c_str());
    char *p = cJSON_PrintUnformatted(o);
    std::string s = p ? p : "";
    cJSON_free(p);
    cJSON_Delete(o);
    return s;
}

// ---- the program ------------------------------------------------------------------

class Sim {
  public:
    explicit Sim(const Options &o) : o_(o), rng_(std::random_device{}()), reader_(2048, true) {}
    int run();

  private:
    struct Value {  // one write the phone makes
        std::string bytes;
    };
    // controller
    void write_h4(const std::vector<uint8_t> &pkt);
    void on_packet(uint8_t type, const uint8_t *p, size_t n);
    void on_command(const Command &c);
    void complete(uint16_t op, std::vector<uint8_t> ret) {
        write_h4(h4_command_complete(1, op, ret.data(), ret.size()));
    }
    void on_acl(const uint8_t *p, size_t n);
    void connect();
    void disconnect(uint8_t reason);
    void save_state();
    void load_state();
    // phone
    void send_att(const std::vector<uint8_t> &pdu);
    void on_att(const uint8_t *p, size_t n);
    void next();
    void request(const std::string &what);
    void on_notification(const std::string &v);
    void on_message(const std::string &text);
    void queue_writes(const std::string &packet, bool drop_half);
    void pump_writes();
    void fail(const std::string &why) {
        say("FAILED: %s", why.c_str());
        done_ = true;
        rc_ = 1;
    }

    const Options &o_;
    std::mt19937 rng_;
    int fd_ = -1;
    H4Reader reader_;
    std::vector<uint8_t> out_;
    // controller state
    std::vector<uint8_t> adv_params_, adv_data_, scan_rsp_, random_addr_;
    bool adv_on_ = false;
    bool connected_ = false;
    uint16_t handle_ = 0x0040;
    std::vector<uint8_t> l2_rx_;
    size_t l2_total_ = 0;
    std::string state_path_;
    // phone state
    enum class Ph { IDLE, MTU, SERVICES, CHARS, DESCS, CCC, READ, PROV, WRITING, DONE } ph_ = Ph::IDLE;
    bool att_busy_ = false;  // a request is waiting for its response
    uint16_t mtu_ = ATT_DEFAULT_MTU;
    uint16_t disc_from_ = 1;
    std::map<std::string, uint16_t> value_handle_;  // UUID (hex, wire order) -> value handle
    uint16_t fd03_ = 0, fd04_ = 0, ccc_ = 0, fd06_ = 0;
    std::string hid_;
    std::string random_key_;
    size_t step_ = 0;
    std::string awaiting_;  // the reply "t" the current step waits for
    std::deque<std::vector<uint8_t>> writes_;  // ATT PDUs still to write for the current request
    bool drop_after_writes_ = false;
    // chunked notifications being joined
    std::string cp_tag_;
    std::map<int, std::string> cp_parts_;
    int cp_pins_ = 0;
    std::string msg_first_stamp_;  // when the first part of the message being joined came
    int msg_parts_ = 0;            // the notifications it came in
    uint64_t adv_off_due_ = 0;     // --wait-adv-off: the host has until then
    bool done_ = false;
    int rc_ = 1;
};

void Sim::write_h4(const std::vector<uint8_t> &pkt) {
    out_.insert(out_.end(), pkt.begin(), pkt.end());
    while (!out_.empty()) {
        ssize_t n = write(fd_, out_.data(), out_.size());
        if (n > 0) {
            out_.erase(out_.begin(), out_.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return;  // the rest when the line takes it
    }
}

void Sim::save_state() {
    // The controller outlives a phone: the next simphone on this UART finds
    // the advertising the host set up with this one.
    if (state_path_.empty()) return;
    FILE *f = fopen(state_path_.c_str(), "w");
    if (!f) return;
    fprintf(f, "%d %s %s\n", adv_on_ ? 1 : 0, adv_data_.empty() ? "-" : hex(adv_data_.data(), adv_data_.size()).c_str(),
            scan_rsp_.empty() ? "-" : hex(scan_rsp_.data(), scan_rsp_.size()).c_str());
    fclose(f);
}

void Sim::load_state() {
    if (state_path_.empty()) return;
    FILE *f = fopen(state_path_.c_str(), "r");
    if (!f) return;
    int on = 0;
    char a[80] = {0}, s[80] = {0};
    if (fscanf(f, "%d %79s %79s", &on, a, s) == 3) {
        adv_on_ = on == 1;
        auto unhex = [](const char *h, std::vector<uint8_t> &v) {
            v.clear();
            for (size_t i = 0; h[i] && h[i + 1] && h[0] != '-'; i += 2) {
                char b[3] = {h[i], h[i + 1], 0};
                v.push_back(static_cast<uint8_t>(strtoul(b, nullptr, 16)));
            }
        };
        unhex(a, adv_data_);
        unhex(s, scan_rsp_);
    }
    fclose(f);
}

void Sim::on_packet(uint8_t type, const uint8_t *p, size_t n) {
    if (type == H4_COMMAND) {
        Command c;
        if (parse_command(p, n, &c)) on_command(c);
    } else if (type == H4_ACL) {
        on_acl(p, n);
    }
}

void Sim::on_command(const Command &c) {
    const uint8_t ok = HCI_OK;
    log_note("< HCI 0x%04x: %s", c.opcode, hex(c.params, c.len).c_str());
    switch (c.opcode) {
    case OP_RESET:
        adv_on_ = false;
        if (connected_) {
            connected_ = false;
            say("controller reset: link gone");
        }
        complete(c.opcode, {ok});
        say("HCI reset");
        break;
    case OP_READ_LOCAL_VERSION: complete(c.opcode, {ok, 0x09, 0x01, 0x00, 0x09, 0xFF, 0xFF, 0x01, 0x00}); break;
    case OP_READ_LOCAL_NAME: {
        std::vector<uint8_t> r(249, 0);
        r[0] = ok;
        const char name[] = "simphone controller";
        memcpy(r.data() + 1, name, sizeof name - 1);
        complete(c.opcode, r);
        break;
    }
    case OP_READ_BD_ADDR: complete(c.opcode, {ok, 0, 0, 0, 0, 0, 0}); break;
    case OP_READ_BUFFER_SIZE: complete(c.opcode, {ok, 0, 0, 0, 0, 0, 0, 0}); break;
    case OP_LE_READ_BUFFER_SIZE:
        complete(c.opcode, {ok, static_cast<uint8_t>(o_.acl_len & 0xFF), static_cast<uint8_t>(o_.acl_len >> 8),
                            static_cast<uint8_t>(o_.acl_buffers)});
        break;
    case OP_VENDOR_READ_STATIC_ADDRESS:
        if (o_.static_addr.size() == 6) {
            std::vector<uint8_t> r = {ok};
            for (int i = 5; i >= 0; --i) r.push_back(o_.static_addr[static_cast<size_t>(i)]);
            r.resize(1 + 6 + 16, 0);  // address then its identity root, unused here
            complete(c.opcode, r);
        } else {
            complete(c.opcode, {HCI_UNKNOWN_COMMAND});
        }
        break;
    case OP_LE_SET_RANDOM_ADDRESS:
        random_addr_.assign(c.params, c.params + std::min<size_t>(c.len, 6));
        complete(c.opcode, {ok});
        break;
    case OP_LE_SET_ADV_PARAMS:
        adv_params_.assign(c.params, c.params + c.len);
        say("advertising parameters %s", hex(c.params, c.len).c_str());
        complete(c.opcode, {ok});
        break;
    case OP_LE_SET_ADV_DATA:
    case OP_LE_SET_SCAN_RESPONSE: {
        std::vector<uint8_t> &v = c.opcode == OP_LE_SET_ADV_DATA ? adv_data_ : scan_rsp_;
        size_t len = c.len ? std::min<size_t>(c.params[0], c.len - 1) : 0;
        v.assign(c.params + 1, c.params + 1 + len);
        say("%s %s", c.opcode == OP_LE_SET_ADV_DATA ? "advertising data" : "scan response", hex(v.data(), v.size()).c_str());
        complete(c.opcode, {ok});
        save_state();
        break;
    }
    case OP_LE_SET_ADV_ENABLE:
        adv_on_ = c.len >= 1 && c.params[0] == 1;
        complete(c.opcode, {ok});
        say("advertising %s", adv_on_ ? "on" : "off");
        save_state();
        if (!adv_on_ && adv_off_due_) {
            say("advertising off after the provisioning");
            done_ = true;
            rc_ = 0;
        }
        if (adv_on_) say("advertising seen: %s scan %s", hex(adv_data_.data(), adv_data_.size()).c_str(),
                         hex(scan_rsp_.data(), scan_rsp_.size()).c_str());
        break;
    case OP_DISCONNECT:
        write_h4(h4_command_status(ok, 1, c.opcode));
        if (connected_ && c.len >= 2 && (get16(c.params) & 0x0FFF) == handle_) disconnect(HCI_LOCAL_HOST_TERMINATED);
        break;
    case OP_SET_EVENT_MASK:
    case OP_LE_SET_EVENT_MASK: complete(c.opcode, {ok}); break;
    default:
        say("HCI command 0x%04x unknown", c.opcode);
        complete(c.opcode, {HCI_UNKNOWN_COMMAND});
        break;
    }
}

void Sim::connect() {
    static const uint8_t peer[6] = {0x5E, 0x11, 0x22, 0x33, 0x44, 0x55};
    adv_on_ = false;  // a connectable advertiser stops once connected
    save_state();
    connected_ = true;
    write_h4(h4_le_connection_complete(HCI_OK, handle_, peer));
    say("connected, handle 0x%04x", handle_);
    log_note("link up, handle 0x%04x", handle_);
    ph_ = Ph::MTU;
    next();
}

void Sim::disconnect(uint8_t reason) {
    if (!connected_) return;
    connected_ = false;
    write_h4(h4_disconnection_complete(HCI_OK, handle_, reason));
    say("disconnected, reason 0x%02x", reason);
    log_note("link down, reason 0x%02x", reason);
}

void Sim::on_acl(const uint8_t *p, size_t n) {
    AclHeader a;
    if (!parse_acl(p, n, &a)) return;
    // The controller sent it on: its buffer is free again.
    write_h4(h4_num_completed_packets(a.con_handle, 1));
    if (!connected_ || a.con_handle != handle_) return;
    if (a.pb != ACL_PB_CONTINUATION) {
        l2_rx_.assign(a.data, a.data + a.len);
        l2_total_ = a.len >= 4 ? 4 + get16(a.data) : 0;
    } else {
        l2_rx_.insert(l2_rx_.end(), a.data, a.data + a.len);
    }
    if (l2_total_ == 0 || l2_rx_.size() < l2_total_) return;
    const uint16_t cid = get16(l2_rx_.data() + 2);
    std::vector<uint8_t> frame(l2_rx_.begin() + 4, l2_rx_.begin() + static_cast<long>(l2_total_));
    l2_rx_.clear();
    l2_total_ = 0;
    if (cid == L2CAP_CID_ATT) on_att(frame.data(), frame.size());
}

void Sim::send_att(const std::vector<uint8_t> &pdu) {
    log_pdu(">", pdu.data(), pdu.size());
    std::vector<uint8_t> frame = l2cap_frame(L2CAP_CID_ATT, pdu.data(), pdu.size());
    for (auto &f : h4_acl_fragments(handle_, ACL_PB_FIRST_FLUSHABLE, frame.data(), frame.size(), 251)) write_h4(f);
    const uint8_t op = pdu.empty() ? 0 : pdu[0];
    att_busy_ = !(op & ATT_COMMAND_FLAG) && op != ATT_HANDLE_VALUE_CFM;
}

void Sim::next() {
    if (!connected_ || att_busy_ || done_) return;
    static const uint8_t kChar[2] = {0x03, 0x28};
    switch (ph_) {
    case Ph::MTU:
        if (o_.mtu > ATT_DEFAULT_MTU) {
            send_att(att_mtu_req(static_cast<uint16_t>(o_.mtu)));
            return;
        }
        ph_ = Ph::SERVICES;
        disc_from_ = 1;
        return next();
    case Ph::SERVICES: send_att(att_read_by_group_type_req(disc_from_, 0xFFFF, 0x2800)); return;
    case Ph::CHARS: send_att(att_read_by_type_req(disc_from_, 0xFFFF, kChar, 2)); return;
    case Ph::DESCS: send_att(att_find_info_req(disc_from_, 0xFFFF)); return;
    case Ph::CCC: {
        const uint8_t on[2] = {1, 0};
        send_att(att_write(ccc_, on, 2));
        return;
    }
    case Ph::READ:
        if (hid_.empty())
            send_att(att_read_req(fd06_));
        else
            send_att(att_read_blob_req(fd06_, static_cast<uint16_t>(hid_.size())));
        return;
    case Ph::WRITING: pump_writes(); return;
    case Ph::PROV:
        if (!awaiting_.empty()) return;
        if (step_ >= o_.steps.size()) {
            if (o_.wait_adv_off_s > 0) {
                if (!adv_off_due_) {
                    say("provisioning done; waiting for advertising off");
                    adv_off_due_ = now_ms() + static_cast<uint64_t>(o_.wait_adv_off_s) * 1000;
                    ph_ = Ph::DONE;
                }
                return;
            }
            say("provisioning done");
            done_ = true;
            rc_ = 0;
            return;
        }
        request(o_.steps[step_]);
        return;
    default: return;
    }
}

void Sim::request(const std::string &what) {
    std::string inner;
    aes_key_t fam = AES_KEY_TYPE_RANDOM;
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "t", what.c_str());
    if (what == "bind") {
        fam = AES_KEY_TYPE_DEFAULT;
        awaiting_ = "blekey";
    } else if (what == "subBDev") {
        cJSON_AddNumberToObject(o, "i", 0);
        awaiting_ = "subBList";
    } else if (what == "homeBind") {
        cJSON_AddNumberToObject(o, "homeId", static_cast<double>(o_.home_id));
        cJSON_AddStringToObject(o, "homeMac", o_.home_mac.c_str());
        cJSON_AddStringToObject(o, "homeKey", o_.home_key.c_str());
        awaiting_ = "homeBindOk";
    } else if (what == "QnetDev") {
        cJSON_AddNumberToObject(o, "QnetID", static_cast<double>(o_.qnet_id));
        cJSON_AddStringToObject(o, "QnetKey", o_.qnet_key.c_str());
        cJSON_AddNumberToObject(o, "BleinfoSend", 1);
        cJSON_AddStringToObject(o, "ssid", o_.ssid.c_str());
        cJSON_AddStringToObject(o, "psw", o_.psw.c_str());
        cJSON_AddStringToObject(o, "host", o_.host.c_str());
        awaiting_ = "QnetOK";
    } else if (what == "bleinfo") {
        cJSON_Delete(o);
        awaiting_ = "bleinfo";  // the host sends it by itself
        say("waiting for bleinfo");
        return;
    } else {
        cJSON_Delete(o);
        fail("unknown step " + what);
        return;
    }
    char *p = cJSON_PrintUnformatted(o);
    inner = p ? p : "";
    cJSON_free(p);
    cJSON_Delete(o);
    if (fam == AES_KEY_TYPE_RANDOM && random_key_.empty()) {
        fail(what + " needs the key bind hands out");
        return;
    }
    const std::string packet = seal(inner, fam == AES_KEY_TYPE_DEFAULT ? ORVI_DEFAULT_KEY : random_key_, fam);
    say("sending %s (%zu bytes)", what.c_str(), packet.size());
    log_note("request %s (%zu bytes)", what.c_str(), packet.size());
    queue_writes(packet, o_.disconnect_at == what);
}

void Sim::queue_writes(const std::string &packet, bool drop_half) {
    const size_t payload = mtu_ - 3u;
    std::vector<std::string> values;
    for (int i = 0; i < o_.flood; ++i) values.push_back("{");
    if (o_.cp) {
        const std::string tag = random_tag(rng_);
        const int pins = static_cast<int>((packet.size() + o_.cp - 1) / o_.cp);
        std::vector<std::string> chunks;
        for (int j = 0; j < pins; ++j)
            chunks.push_back(cp_packet(pins, j + 1, tag, packet.substr(static_cast<size_t>(j) * o_.cp, o_.cp)));
        if (o_.huge_pins) values.push_back(cp_packet(1000000, 1, tag, packet.substr(0, o_.cp)));
        if (o_.new_tag && pins > 1) values.push_back(cp_packet(pins, 1, random_tag(rng_), "{\"t\":\"pack\",\"i\":9"));
        if (o_.shuffle) std::reverse(chunks.begin(), chunks.end());
        for (auto &c : chunks) {
            values.push_back(c);
            if (o_.dup) values.push_back(c);
        }
    } else {
        values.push_back(packet);
    }
    writes_.clear();
    for (const std::string &v : values) {
        const size_t piece = o_.split ? o_.split : (o_.prepare ? v.size() : payload);
        if (o_.prepare && v.size() > payload) {
            // One long write: prepared in parts with their offsets, then executed.
            const size_t part = std::min(piece, payload - 2);
            for (size_t at = 0; at < v.size(); at += part)
                writes_.push_back(att_prepare_write_req(fd03_, static_cast<uint16_t>(at),
                                                         reinterpret_cast<const uint8_t *>(v.data()) + at,
                                                         std::min(part, v.size() - at)));
            writes_.push_back(att_execute_write_req(true));
            continue;
        }
        const size_t part = std::min(piece, payload);
        for (size_t at = 0; at < v.size(); at += part)
            writes_.push_back(att_write(fd03_, reinterpret_cast<const uint8_t *>(v.data()) + at,
                                        std::min(part, v.size() - at)));
    }
    drop_after_writes_ = false;
    if (drop_half) {
        writes_.resize(std::max<size_t>(1, writes_.size() / 2));
        drop_after_writes_ = true;
    }
    ph_ = Ph::WRITING;
    pump_writes();
}

void Sim::pump_writes() {
    if (att_busy_) return;
    if (writes_.empty()) {
        ph_ = Ph::PROV;
        if (drop_after_writes_) {
            say("dropping the link mid-exchange, as asked");
            disconnect(HCI_REMOTE_USER_TERMINATED);
            done_ = true;
            rc_ = 2;
        }
        return;
    }
    std::vector<uint8_t> w = std::move(writes_.front());
    writes_.pop_front();
    send_att(w);
}

void Sim::on_att(const uint8_t *p, size_t n) {
    log_pdu("<", p, n);
    if (n == 0) return;
    const uint8_t op = p[0];
    if (op == ATT_HANDLE_VALUE_NTF || op == ATT_HANDLE_VALUE_IND) {
        if (op == ATT_HANDLE_VALUE_IND) send_att({ATT_HANDLE_VALUE_CFM});
        if (n >= 3 && get16(p + 1) == fd04_) on_notification(std::string(reinterpret_cast<const char *>(p + 3), n - 3));
        return next();
    }
    if (op == ATT_MTU_REQ) {  // the host may ask too
        std::vector<uint8_t> r = {ATT_MTU_RSP};
        put16(r, static_cast<uint16_t>(o_.mtu));
        send_att(r);
        att_busy_ = false;
        return;
    }
    att_busy_ = false;
    const bool not_found = op == ATT_ERROR_RSP && n >= 5 && p[4] == ATT_ERR_ATTRIBUTE_NOT_FOUND;
    switch (ph_) {
    case Ph::MTU:
        if (op == ATT_MTU_RSP && n >= 3) {
            mtu_ = std::min<uint16_t>(static_cast<uint16_t>(o_.mtu), get16(p + 1));
            say("MTU %u", mtu_);
        }
        ph_ = Ph::SERVICES;
        disc_from_ = 1;
        break;
    case Ph::SERVICES:
        if (op == ATT_READ_BY_GROUP_TYPE_RSP && n >= 2 && p[1] >= 6) {
            uint16_t last = 0;
            for (size_t at = 2; at + p[1] <= n; at += p[1]) {
                last = get16(p + at + 2);
                say("service 0x%04x-0x%04x uuid %s", get16(p + at), last, hex(p + at + 4, p[1] - 4u).c_str());
            }
            if (last == 0xFFFF) ph_ = Ph::CHARS, disc_from_ = 1;
            else disc_from_ = static_cast<uint16_t>(last + 1);
        } else {
            if (!not_found) say("service discovery ended by 0x%02x", op);
            ph_ = Ph::CHARS;
            disc_from_ = 1;
        }
        break;
    case Ph::CHARS:
        if (op == ATT_READ_BY_TYPE_RSP && n >= 2 && p[1] >= 7) {
            uint16_t last = 0;
            for (size_t at = 2; at + p[1] <= n; at += p[1]) {
                last = get16(p + at);
                const uint16_t vh = get16(p + at + 3);
                const std::string uuid = hex(p + at + 5, p[1] - 5u);
                value_handle_[uuid] = vh;
                say("characteristic 0x%04x props 0x%02x value 0x%04x uuid %s", last, p[at + 2], vh, uuid.c_str());
            }
            disc_from_ = static_cast<uint16_t>(last + 1);
        } else {
            ph_ = Ph::DESCS;
            disc_from_ = 1;
            // The app's characteristics FD03..FD06: 16-bit UUIDs, or the same
            // on the Bluetooth base UUID (little endian on the wire).
            for (auto &kv : value_handle_) {
                const std::string &u = kv.first;
                std::string id;
                if (u.size() == 4) id = u.substr(2, 2) + u.substr(0, 2);
                if (u.size() == 32 && u.substr(0, 24) == "fb349b5f8000008000100000") id = u.substr(26, 2) + u.substr(24, 2);
                if (id == "fd03") fd03_ = kv.second;
                if (id == "fd04") fd04_ = kv.second;
                if (id == "fd06") fd06_ = kv.second;
            }
            if (!fd03_ || !fd04_ || !fd06_) return fail("the provisioning characteristics are missing");
        }
        break;
    case Ph::DESCS:
        if (op == ATT_FIND_INFO_RSP && n >= 2) {
            const size_t item = p[1] == 1 ? 4 : 18;
            uint16_t last = 0;
            for (size_t at = 2; at + item <= n; at += item) {
                last = get16(p + at);
                if (item == 4 && get16(p + at + 2) == 0x2902 && last > fd04_ && (!ccc_ || ccc_ < fd04_)) ccc_ = last;
            }
            disc_from_ = last == 0xFFFF ? last : static_cast<uint16_t>(last + 1);
            if (last == 0xFFFF || last == 0) ph_ = Ph::CCC;
        } else {
            ph_ = Ph::CCC;
        }
        if (ph_ == Ph::CCC) {
            if (!ccc_) return fail("no client characteristic configuration after FD04");
            say("discovered FD03 0x%04x FD04 0x%04x CCC 0x%04x FD06 0x%04x", fd03_, fd04_, ccc_, fd06_);
        }
        break;
    case Ph::CCC:
        if (op != ATT_WRITE_RSP) return fail("notifications refused");
        say("notifications on");
        ph_ = Ph::READ;
        break;
    case Ph::READ:
        if (op == ATT_READ_RSP || op == ATT_READ_BLOB_RSP) {
            hid_.append(reinterpret_cast<const char *>(p + 1), n - 1);
            if (n - 1 < mtu_ - 1u) {
                say("FD06 hid %s", hid_.c_str());
                ph_ = Ph::PROV;
            }
        } else {
            say("FD06 hid %s", hid_.c_str());
            ph_ = Ph::PROV;
        }
        break;
    case Ph::WRITING:
        if (op == ATT_ERROR_RSP) say("write refused: error 0x%02x", n >= 5 ? p[4] : 0);
        break;
    default: break;
    }
    next();
}

void Sim::on_notification(const std::string &v) {
    cJSON *j = cJSON_Parse(v.c_str());
    if (!j) {
        say("notification is no JSON: %s", v.c_str());
        return;
    }
    if (json_str(j, "t") == "CP") {
        const std::string tag = json_str(j, "tag");
        const int pins = atoi(json_str(j, "pins").c_str());
        const int pin = atoi(json_str(j, "pin").c_str());
        if (tag != cp_tag_ || pins != cp_pins_) {
            cp_tag_ = tag;
            cp_pins_ = pins;
            cp_parts_.clear();
            msg_first_stamp_ = stamp();
        }
        cp_parts_[pin] = json_str(j, "CP");
        cJSON_Delete(j);
        if (static_cast<int>(cp_parts_.size()) == cp_pins_) {
            std::string whole;
            for (auto &kv : cp_parts_) whole += kv.second;
            msg_parts_ = cp_pins_;
            cp_parts_.clear();
            cp_tag_.clear();
            on_message(whole);
        }
        return;
    }
    cJSON_Delete(j);
    msg_first_stamp_ = stamp();
    msg_parts_ = 1;
    on_message(v);
}

void Sim::on_message(const std::string &text) {
    cJSON *env = cJSON_Parse(text.c_str());
    if (!env || json_str(env, "t") != "pack") {
        say("reply is no envelope: %s", text.c_str());
        cJSON_Delete(env);
        return;
    }
    const int fam = atoi(json_str(env, "i").c_str());
    std::string inner = json_str(env, "pack");
    cJSON_Delete(env);
    const std::string key = fam == AES_KEY_TYPE_DEFAULT ? std::string(ORVI_DEFAULT_KEY) : random_key_;
    if (key.empty() || orvi_aes_decrypt(key.c_str(), inner) != 0) {
        say("reply under key family %d not opened", fam);
        return;
    }
    while (!inner.empty() && (inner.back() == '\n' || inner.back() == '\0')) inner.pop_back();
    cJSON *j = cJSON_Parse(inner.c_str());
    const std::string t = j ? json_str(j, "t") : "";
    say("reply %s", inner.c_str());
    log_note("reply %s (%zu bytes in %d notifications, the first at %s)", inner.c_str(), text.size(), msg_parts_,
             msg_first_stamp_.c_str());
    if (t == "blekey") random_key_ = json_str(j, "key");
    if (t == "bleinfo") say("bleinfo wificon %s", json_str(j, "wificon").c_str());
    cJSON_Delete(j);
    if (!awaiting_.empty() && t == awaiting_) {
        awaiting_.clear();
        ++step_;
    }
}

int Sim::run() {
    fd_ = open_uart(o_.uart);
    if (fd_ < 0) return 1;
    struct stat st;
    if (stat(o_.uart.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) state_path_ = o_.uart + ".state";
    load_state();
    say("on %s%s", o_.uart.c_str(), adv_on_ ? " (the host is advertising)" : "");
    const uint64_t deadline = now_ms() + static_cast<uint64_t>(o_.timeout_s) * 1000;
    while (!done_) {
        if (!connected_ && adv_on_ && !o_.controller_only && ph_ == Ph::IDLE) connect();
        const uint64_t now = now_ms();
        if (adv_off_due_ && now >= adv_off_due_) {
            say("FAILED: advertising still on %d s after the provisioning", o_.wait_adv_off_s);
            rc_ = 3;
            break;
        }
        if (now >= deadline) {
            if (o_.controller_only) {
                rc_ = 0;
                break;
            }
            fail(std::string("timed out") + (connected_ ? "" : " waiting for advertising") +
                 (awaiting_.empty() ? "" : ", waiting for " + awaiting_));
            break;
        }
        struct pollfd pf = {fd_, static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0};
        int rc = poll(&pf, 1, static_cast<int>(std::min<uint64_t>(deadline - now, 200)));
        if (rc < 0 && errno != EINTR) break;
        if (rc <= 0) continue;
        if (pf.revents & POLLOUT) write_h4({});
        if (pf.revents & POLLIN) {
            uint8_t buf[4096];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n > 0) {
                reader_.feed(buf, static_cast<size_t>(n),
                             [this](uint8_t t, const uint8_t *p, size_t l) { on_packet(t, p, l); });
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                fail("the UART is gone");
            }
        } else if (pf.revents & (POLLHUP | POLLERR)) {
            // No daemon holds the line's other end yet: wait for it.
            usleep(50000);
        }
    }
    // The phone leaves: the host sees the link go and advertises again.
    if (connected_) disconnect(HCI_REMOTE_USER_TERMINATED);
    // Whatever is still to go leaves before the line is let go.
    for (int i = 0; i < 20 && !out_.empty(); ++i) {
        write_h4({});
        usleep(10000);
    }
    close(fd_);
    return rc_;
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    orvi_log_level_set(ORVI_LOG_ERROR);
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto val = [&]() -> std::string {
            if (i + 1 >= argc) {
                fprintf(stderr, "simphone: %s needs a value\n%s", a.c_str(), kUsage);
                exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        } else if (a == "--uart") o.uart = val();
        else if (a == "--board") o.uart = val() + "/vboard/uart/ttyS7.sock";
        else if (a == "--log") o.log = val();
        else if (a == "--controller-only") o.controller_only = true;
        else if (a == "--acl-len") o.acl_len = static_cast<unsigned>(atoi(val().c_str()));
        else if (a == "--acl-buffers") o.acl_buffers = static_cast<unsigned>(atoi(val().c_str()));
        else if (a == "--static-addr") {
            if (!parse_hex(val(), o.static_addr)) {
                fprintf(stderr, "simphone: --static-addr takes 6 bytes in hex\n");
                return 2;
            }
        } else if (a == "--mtu") o.mtu = static_cast<unsigned>(atoi(val().c_str()));
        else if (a == "--home-id") o.home_id = atol(val().c_str());
        else if (a == "--home-mac") o.home_mac = val();
        else if (a == "--home-key") o.home_key = val();
        else if (a == "--qnet-id") o.qnet_id = atol(val().c_str());
        else if (a == "--qnet-key") o.qnet_key = val();
        else if (a == "--ssid") o.ssid = val();
        else if (a == "--psw") o.psw = val();
        else if (a == "--host") o.host = val();
        else if (a == "--steps") o.steps = split_list(val());
        else if (a == "--timeout") o.timeout_s = atoi(val().c_str());
        else if (a == "--wait-adv-off") o.wait_adv_off_s = atoi(val().c_str());
        else if (a == "--cp") o.cp = static_cast<size_t>(atoi(val().c_str()));
        else if (a == "--shuffle") o.shuffle = true;
        else if (a == "--dup") o.dup = true;
        else if (a == "--new-tag") o.new_tag = true;
        else if (a == "--huge-pins") o.huge_pins = true;
        else if (a == "--split") o.split = static_cast<size_t>(atoi(val().c_str()));
        else if (a == "--prepare") o.prepare = true;
        else if (a == "--flood") o.flood = atoi(val().c_str());
        else if (a == "--disconnect-at") o.disconnect_at = val();
        else {
            fprintf(stderr, "simphone: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    if (o.mtu < ATT_DEFAULT_MTU || o.mtu > 517 || o.acl_len < 27 || o.acl_len > 1021 || o.acl_buffers < 1 ||
        o.acl_buffers > 255 || o.timeout_s <= 0) {
        fprintf(stderr, "simphone: --mtu 23..517, --acl-len 27..1021, --acl-buffers 1..255, --timeout > 0\n");
        return 2;
    }
    g_pdu_log = fopen(o.log.c_str(), "a");
    if (!g_pdu_log) fprintf(stderr, "simphone: %s: %s (no PDU log)\n", o.log.c_str(), strerror(errno));
    Sim sim(o);
    const int rc = sim.run();
    if (g_pdu_log) fclose(g_pdu_log);
    return rc;
}
