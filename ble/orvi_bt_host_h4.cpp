// The host over an H4 UART: one thread owns everything (the UART, the
// command queue, the link, the ATT server, the timers); stop() only raises a
// flag and wakes the loop through an eventfd.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "orvi_att_server.h"
#include "orvi_bt_host.h"
#include "orvi_hci_wire.h"
#include "orvi_log.h"
#include "orvi_port.h"

using namespace orvi_hci;

namespace {

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

speed_t baud_constant(uint32_t baud) {
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 1500000: return B1500000;
    case 2000000: return B2000000;
    case 3000000: return B3000000;
    case 4000000: return B4000000;
    default: return B0;
    }
}

// An unanswered command is given up after this long, so a silent
// controller cannot stall the queue for ever.
constexpr uint64_t kCommandTimeoutMs = 2000;
// Powering off waits this long for the controller to confirm the link is gone.
constexpr uint64_t kHaltTimeoutMs = 3000;
constexpr size_t kCommandQueueMax = 64;
// ACL fragments waiting for controller buffers.
constexpr size_t kAclQueueMax = 256;
// The longest inbound L2CAP frame: an ATT PDU at the largest MTU.
constexpr size_t kL2capMax = 4 + OrviAttServer::kServerMtu;
// Inbound ACL fragments longer than this are garbage on the line.
constexpr size_t kAclInMax = 1024;

void reverse6(uint8_t out[6], const uint8_t *in) {
    for (int i = 0; i < 6; i++) out[i] = in[5 - i];
}

bool all_zero(const uint8_t a[6]) {
    for (int i = 0; i < 6; i++)
        if (a[i]) return false;
    return true;
}

class OrviBtHostH4 final : public OrviBtHost {
  public:
    OrviBtHostH4() : reader_(kAclInMax), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    int open(const orvi_bt_uart_config &uart, OrviBtHostListener *listener) override;
    int power(bool on) override;
    int set_random_address(const uint8_t addr[6]) override;
    void public_address(uint8_t out[6]) const override { memcpy(out, public_addr_, 6); }
    int set_adv_params(const orvi_bt_adv_params &params) override;
    int set_adv_data(const uint8_t *data, size_t len) override { return adv_bytes(OP_LE_SET_ADV_DATA, data, len); }
    int set_scan_response(const uint8_t *data, size_t len) override {
        return adv_bytes(OP_LE_SET_SCAN_RESPONSE, data, len);
    }
    int set_adv_enable(bool on) override;
    int notify(uint16_t con_handle, uint16_t att_handle, const uint8_t *data, size_t len) override;
    uint16_t mtu(uint16_t con_handle) const override {
        return link_.up && link_.handle == con_handle ? att_.mtu() : (uint16_t)ATT_DEFAULT_MTU;
    }
    void timer_start(orvi_bt_timer *timer, uint32_t ms) override;
    void timer_stop(orvi_bt_timer *timer) override;
    void run() override;
    void stop() override;

  private:
    enum class Phase { OFF, STARTING, WORKING, HALTING };
    struct Cmd {
        uint16_t opcode;
        std::vector<uint8_t> pkt;
        bool setup;
    };
    struct Link {
        bool up = false;
        uint16_t handle = 0;
        uint16_t in_flight = 0;   // fragments in the controller's buffers
        std::vector<uint8_t> rx;  // an L2CAP frame being reassembled
        size_t rx_total = 0;
    };

    bool ready_for_commands(const char *what) const;
    int queue_command(uint16_t opcode, const std::vector<uint8_t> &params, bool setup = false);
    int adv_bytes(uint16_t opcode, const uint8_t *data, size_t len);
    void pump();
    void uart_write(const std::vector<uint8_t> &bytes);
    void flush_out();
    void read_uart();
    void on_packet(uint8_t type, const uint8_t *pkt, size_t len);
    void on_event(const uint8_t *pkt, size_t len);
    void command_done(uint16_t opcode, const uint8_t *ret, size_t len);
    void on_le_meta(const uint8_t *p, size_t n);
    void link_up(uint16_t handle);
    void link_down(uint16_t handle, uint8_t reason);
    void on_acl(const uint8_t *pkt, size_t len);
    void on_l2cap(uint16_t cid, const uint8_t *p, size_t n);
    bool send_l2cap(uint16_t cid, const std::vector<uint8_t> &payload);
    void enter_working();
    void enter_off();
    void check_deadlines();
    void fire_timers();
    int poll_timeout() const;

    OrviBtHostListener *listener_ = nullptr;
    Phase phase_ = Phase::OFF;
    H4Reader reader_;
    Fd uart_;
    bool uart_dead_ = false;
    Fd wake_;
    std::atomic<bool> stop_{false};
    bool stopping_ = false;

    std::deque<Cmd> cmds_;
    bool in_flight_ = false;
    uint16_t in_flight_op_ = 0;
    bool in_flight_setup_ = false;
    uint64_t in_flight_due_ = 0;
    uint8_t credits_ = 1;
    int setup_left_ = 0;
    uint64_t halt_due_ = 0;

    std::vector<uint8_t> out_;

    uint16_t acl_len_ = 27;
    uint16_t acl_total_ = 1;
    uint16_t acl_free_ = 1;
    bool le_buffers_ = false;
    std::deque<std::vector<uint8_t>> acl_q_;
    Link link_;
    OrviAttServer att_;

    uint8_t public_addr_[6] = {0};
    uint8_t static_addr_[6] = {0};
    uint8_t random_addr_[6] = {0};
    bool have_static_ = false;
    bool have_random_ = false;
    Fd tlv_;

    std::vector<orvi_bt_timer *> timers_;
};

int OrviBtHostH4::open(const orvi_bt_uart_config &cfg, OrviBtHostListener *listener) {
    listener_ = listener;
    att_.set_listener(listener);
    if (!cfg.device) {
        ORVI_LOGE("no UART device");
        return -1;
    }
    int fd = ::open(cfg.device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ORVI_LOGE("open %s failed: %s", cfg.device, strerror(errno));
        return -1;
    }
    uart_.reset(fd);
    uart_dead_ = false;
    reader_.reset();
    out_.clear();
    struct termios tio;
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD | CS8;
        tio.c_cflag &= ~(PARENB | CSTOPB);
        if (cfg.flow_control)
            tio.c_cflag |= CRTSCTS;
        else
            tio.c_cflag &= ~CRTSCTS;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        speed_t sp = baud_constant(cfg.baudrate);
        if (sp != B0) {
            cfsetispeed(&tio, sp);
            cfsetospeed(&tio, sp);
        } else {
            ORVI_LOGW("baud rate %u not supported: line speed left as it is", cfg.baudrate);
        }
        if (tcsetattr(fd, TCSANOW, &tio) != 0) ORVI_LOGW("%s: serial settings refused: %s", cfg.device, strerror(errno));
        tcflush(fd, TCIOFLUSH);
    } else {
        ORVI_LOGW("%s is not a serial line: used as a byte stream", cfg.device);
    }
    ORVI_LOGI("H4 UART %s at %u baud, flow control %s", cfg.device, cfg.baudrate, cfg.flow_control ? "on" : "off");
    return 0;
}

bool OrviBtHostH4::ready_for_commands(const char *what) const {
    if (uart_.get() < 0 || phase_ == Phase::OFF || phase_ == Phase::HALTING) {
        ORVI_LOGW("%s refused: Bluetooth is not powered", what);
        return false;
    }
    return true;
}

int OrviBtHostH4::queue_command(uint16_t opcode, const std::vector<uint8_t> &params, bool setup) {
    if (cmds_.size() >= kCommandQueueMax) {
        ORVI_LOGW("HCI command 0x%04x refused: %zu commands waiting", opcode, cmds_.size());
        return -1;
    }
    cmds_.push_back({opcode, h4_command(opcode, params.data(), params.size()), setup});
    pump();
    return 0;
}

int OrviBtHostH4::power(bool on) {
    if (on) {
        if (uart_.get() < 0) {
            ORVI_LOGE("power on refused: the UART is not open");
            return -1;
        }
        if (phase_ == Phase::STARTING || phase_ == Phase::WORKING) return 0;
        phase_ = Phase::STARTING;
        cmds_.clear();
        in_flight_ = false;
        credits_ = 1;
        static const std::vector<uint8_t> none;
        // Everything a controller may have had enabled is forgotten with the reset.
        const std::vector<uint8_t> event_mask = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x1F, 0x00, 0x20};
        const std::vector<uint8_t> le_mask = {0x1F, 0x02, 0, 0, 0, 0, 0, 0};
        std::vector<std::pair<uint16_t, std::vector<uint8_t>>> setup = {
            {OP_RESET, none},
            {OP_READ_LOCAL_VERSION, none},
            {OP_READ_LOCAL_NAME, none},
            {OP_READ_BD_ADDR, none},
            {OP_READ_BUFFER_SIZE, none},
            {OP_LE_READ_BUFFER_SIZE, none},
            {OP_SET_EVENT_MASK, event_mask},
            {OP_LE_SET_EVENT_MASK, le_mask},
            {OP_VENDOR_READ_STATIC_ADDRESS, none},
        };
        if (have_random_) {
            std::vector<uint8_t> a(6);
            reverse6(a.data(), random_addr_);
            setup.push_back({OP_LE_SET_RANDOM_ADDRESS, a});
        }
        setup_left_ = (int)setup.size();
        for (auto &c : setup) cmds_.push_back({c.first, h4_command(c.first, c.second.data(), c.second.size()), true});
        pump();
        return 0;
    }
    if (phase_ == Phase::OFF || phase_ == Phase::HALTING) return 0;
    phase_ = Phase::HALTING;
    halt_due_ = orvi_port_monotonic_ms() + kHaltTimeoutMs;
    // What was waiting no longer matters; a command in flight still gets its answer.
    cmds_.clear();
    cmds_.push_back({OP_LE_SET_ADV_ENABLE, h4_command(OP_LE_SET_ADV_ENABLE, (const uint8_t *)"\0", 1), false});
    if (link_.up) {
        std::vector<uint8_t> p;
        put16(p, link_.handle);
        p.push_back(HCI_REMOTE_POWER_OFF);
        cmds_.push_back({OP_DISCONNECT, h4_command(OP_DISCONNECT, p.data(), p.size()), false});
    }
    if (listener_) listener_->on_state(ORVI_BT_HOST_HALTING);
    pump();
    check_deadlines();
    return 0;
}

int OrviBtHostH4::set_random_address(const uint8_t addr[6]) {
    memcpy(random_addr_, addr, 6);
    have_random_ = true;
    // Before power-on the address is kept for the set-up, which follows the reset.
    if (phase_ == Phase::OFF || phase_ == Phase::HALTING) return 0;
    std::vector<uint8_t> a(6);
    reverse6(a.data(), addr);
    return queue_command(OP_LE_SET_RANDOM_ADDRESS, a);
}

int OrviBtHostH4::set_adv_params(const orvi_bt_adv_params &ap) {
    if (!ready_for_commands("advertising parameters")) return -1;
    std::vector<uint8_t> p;
    put16(p, ap.interval_min);
    put16(p, ap.interval_max);
    p.push_back(ap.type);
    p.push_back(have_random_ ? 1 : 0);  // own address: the random one once set
    p.push_back(0);                     // peer address type
    p.insert(p.end(), 6, 0);            // peer address
    p.push_back(ap.channel_map);
    p.push_back(ap.filter_policy);
    return queue_command(OP_LE_SET_ADV_PARAMS, p);
}

int OrviBtHostH4::adv_bytes(uint16_t opcode, const uint8_t *data, size_t len) {
    if (len > 31 || (len && !data)) {
        ORVI_LOGW("advertising bytes of %zu refused: at most 31", len);
        return -1;
    }
    if (!ready_for_commands("advertising data")) return -1;
    std::vector<uint8_t> p(32, 0);
    p[0] = (uint8_t)len;
    if (len) memcpy(p.data() + 1, data, len);
    return queue_command(opcode, p);
}

int OrviBtHostH4::set_adv_enable(bool on) {
    if (!ready_for_commands("advertising enable")) return -1;
    return queue_command(OP_LE_SET_ADV_ENABLE, {(uint8_t)(on ? 1 : 0)});
}

int OrviBtHostH4::notify(uint16_t con_handle, uint16_t att_handle, const uint8_t *data, size_t len) {
    if (!link_.up || link_.handle != con_handle || phase_ != Phase::WORKING) return -1;
    std::vector<uint8_t> pdu = att_.notification(att_handle, data, len);
    if (pdu.empty()) {
        ORVI_LOGW("notification of %zu bytes does not fit MTU %u", len, att_.mtu());
        return -1;
    }
    return send_l2cap(L2CAP_CID_ATT, pdu) ? 0 : -1;
}

void OrviBtHostH4::timer_start(orvi_bt_timer *timer, uint32_t ms) {
    if (!timer) return;
    timer->due_ms = orvi_port_monotonic_ms() + ms;
    timer->armed = true;
    if (std::find(timers_.begin(), timers_.end(), timer) == timers_.end()) timers_.push_back(timer);
}

void OrviBtHostH4::timer_stop(orvi_bt_timer *timer) {
    if (!timer) return;
    timer->armed = false;
    timers_.erase(std::remove(timers_.begin(), timers_.end(), timer), timers_.end());
}

void OrviBtHostH4::stop() {
    stop_.store(true);
    uint64_t one = 1;
    if (wake_.get() >= 0) {
        ssize_t w = ::write(wake_.get(), &one, sizeof one);
        (void)w;
    }
}

void OrviBtHostH4::uart_write(const std::vector<uint8_t> &bytes) {
    if (uart_.get() < 0 || uart_dead_) return;
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    flush_out();
}

void OrviBtHostH4::flush_out() {
    while (!out_.empty() && uart_.get() >= 0 && !uart_dead_) {
        ssize_t n = ::write(uart_.get(), out_.data(), out_.size());
        if (n > 0) {
            out_.erase(out_.begin(), out_.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        ORVI_LOGE("UART write failed: %s", n < 0 ? strerror(errno) : "nothing written");
        uart_dead_ = true;
        out_.clear();
    }
}

void OrviBtHostH4::pump() {
    if (!in_flight_ && credits_ > 0 && !cmds_.empty()) {
        Cmd c = std::move(cmds_.front());
        cmds_.pop_front();
        in_flight_ = true;
        in_flight_op_ = c.opcode;
        in_flight_setup_ = c.setup;
        in_flight_due_ = orvi_port_monotonic_ms() + kCommandTimeoutMs;
        credits_--;
        uart_write(c.pkt);
    }
    while (link_.up && acl_free_ > 0 && !acl_q_.empty()) {
        uart_write(acl_q_.front());
        acl_q_.pop_front();
        acl_free_--;
        link_.in_flight++;
    }
}

void OrviBtHostH4::read_uart() {
    uint8_t buf[1024];
    for (;;) {
        ssize_t n = ::read(uart_.get(), buf, sizeof buf);
        if (n > 0) {
            uint64_t skipped = reader_.discarded();
            reader_.feed(buf, (size_t)n, [this](uint8_t t, const uint8_t *p, size_t l) { on_packet(t, p, l); });
            if (reader_.discarded() != skipped)
                ORVI_LOGW("%llu bytes that are no packet skipped on the UART",
                          (unsigned long long)(reader_.discarded() - skipped));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        ORVI_LOGE("UART closed: %s", n < 0 ? strerror(errno) : "end of file");
        uart_dead_ = true;
        return;
    }
}

void OrviBtHostH4::on_packet(uint8_t type, const uint8_t *pkt, size_t len) {
    if (type == H4_EVENT)
        on_event(pkt, len);
    else if (type == H4_ACL)
        on_acl(pkt, len);
    pump();
}

void OrviBtHostH4::on_event(const uint8_t *pkt, size_t len) {
    uint8_t code = pkt[0];
    const uint8_t *p = pkt + 2;
    size_t n = len - 2;
    switch (code) {
    case EVT_COMMAND_COMPLETE: {
        CommandComplete cc;
        if (!parse_command_complete(p, n, &cc)) break;
        credits_ = cc.credits;
        if (cc.opcode == OP_NOP) break;
        if (!in_flight_ || cc.opcode != in_flight_op_) {
            ORVI_LOGW("Command Complete of 0x%04x, which is not in flight: ignored", cc.opcode);
            break;
        }
        command_done(cc.opcode, cc.ret, cc.ret_len);
        break;
    }
    case EVT_COMMAND_STATUS: {
        CommandStatus cs;
        if (!parse_command_status(p, n, &cs)) break;
        credits_ = cs.credits;
        if (cs.opcode == OP_NOP) break;
        if (!in_flight_ || cs.opcode != in_flight_op_) {
            ORVI_LOGW("Command Status of 0x%04x, which is not in flight: ignored", cs.opcode);
            break;
        }
        command_done(cs.opcode, &cs.status, 1);
        break;
    }
    case EVT_DISCONNECTION_COMPLETE:
        if (n >= 4 && p[0] == HCI_OK) link_down(get16(p + 1) & 0x0FFF, p[3]);
        break;
    case EVT_NUM_COMPLETED_PACKETS: {
        if (n < 1) break;
        size_t count = p[0];
        for (size_t i = 0; i < count && 1 + 4 * (i + 1) <= n; i++) {
            uint16_t h = get16(p + 1 + 4 * i) & 0x0FFF;
            uint16_t done = get16(p + 3 + 4 * i);
            if (!link_.up || h != link_.handle) continue;
            uint16_t c = std::min(done, link_.in_flight);
            link_.in_flight = (uint16_t)(link_.in_flight - c);
            acl_free_ = (uint16_t)std::min<int>(acl_free_ + c, acl_total_);
        }
        break;
    }
    case EVT_LE_META: on_le_meta(p, n); break;
    case EVT_HARDWARE_ERROR: ORVI_LOGE("controller hardware error 0x%02x", n ? p[0] : 0); break;
    default: break;
    }
}

void OrviBtHostH4::command_done(uint16_t opcode, const uint8_t *ret, size_t len) {
    in_flight_ = false;
    uint8_t status = len ? ret[0] : 0xFF;
    if (status != HCI_OK) {
        if (opcode == OP_VENDOR_READ_STATIC_ADDRESS && status == HCI_UNKNOWN_COMMAND)
            ORVI_LOGI("controller has no static address command");
        else
            ORVI_LOGW("HCI command 0x%04x failed: status 0x%02x", opcode, status);
    }
    switch (opcode) {
    case OP_READ_BD_ADDR:
        if (status == HCI_OK && len >= 7) reverse6(public_addr_, ret + 1);
        break;
    case OP_VENDOR_READ_STATIC_ADDRESS:
        if (status == HCI_OK && len >= 7) {
            reverse6(static_addr_, ret + 1);
            have_static_ = true;
        }
        break;
    case OP_READ_BUFFER_SIZE:
        if (status == HCI_OK && len >= 8 && !le_buffers_) {
            uint16_t l = get16(ret + 1), c = get16(ret + 4);
            if (l && c) {
                acl_len_ = l;
                acl_total_ = acl_free_ = c;
            }
        }
        break;
    case OP_LE_READ_BUFFER_SIZE:
        // Zero means the LE link shares the buffers Read Buffer Size gave.
        if (status == HCI_OK && len >= 4 && get16(ret + 1) && ret[3]) {
            acl_len_ = get16(ret + 1);
            acl_total_ = acl_free_ = ret[3];
            le_buffers_ = true;
        }
        break;
    default: break;
    }
    if ((opcode == OP_VENDOR_READ_STATIC_ADDRESS || opcode == OP_READ_LOCAL_NAME ||
         opcode == OP_READ_LOCAL_VERSION) &&
        listener_ && len > 0)
        listener_->on_command_complete(opcode, ret, len);
    if (in_flight_setup_ && phase_ == Phase::STARTING && --setup_left_ == 0) enter_working();
    in_flight_setup_ = false;
}

void OrviBtHostH4::on_le_meta(const uint8_t *p, size_t n) {
    if (n < 1) return;
    size_t need = p[0] == LE_CONNECTION_COMPLETE ? 19 : p[0] == LE_ENHANCED_CONNECTION_COMPLETE ? 31 : 0;
    if (need == 0) return;
    if (n < need) {
        ORVI_LOGW("LE connection event of %zu bytes: too short", n);
        return;
    }
    if (p[1] != HCI_OK) {
        ORVI_LOGW("LE connection failed: status 0x%02x", p[1]);
        return;
    }
    link_up(get16(p + 2) & 0x0FFF);
}

void OrviBtHostH4::link_up(uint16_t handle) {
    if (link_.up) {
        // The provisioning service serves one app at a time.
        ORVI_LOGW("second connection 0x%04x refused: 0x%04x is connected", handle, link_.handle);
        std::vector<uint8_t> p;
        put16(p, handle);
        p.push_back(HCI_REMOTE_USER_TERMINATED);
        queue_command(OP_DISCONNECT, p);
        return;
    }
    link_ = Link();
    link_.up = true;
    link_.handle = handle;
    att_.reset(handle);
    if (listener_) listener_->on_connected(handle);
}

void OrviBtHostH4::link_down(uint16_t handle, uint8_t reason) {
    if (!link_.up || handle != link_.handle) return;
    // The controller frees a gone link's buffers without reporting them.
    acl_free_ = (uint16_t)std::min<int>(acl_free_ + link_.in_flight, acl_total_);
    acl_q_.clear();
    link_ = Link();
    att_.reset(0);
    if (listener_) listener_->on_disconnected(handle, reason);
}

void OrviBtHostH4::on_acl(const uint8_t *pkt, size_t len) {
    AclHeader acl;
    if (!parse_acl(pkt, len, &acl)) {
        ORVI_LOGW("ACL packet of %zu bytes with a wrong length: dropped", len);
        return;
    }
    if (!link_.up || acl.con_handle != link_.handle) {
        ORVI_LOGW("ACL data for unknown link 0x%04x: dropped", acl.con_handle);
        return;
    }
    Link &l = link_;
    if (acl.pb == ACL_PB_CONTINUATION) {
        if (l.rx_total == 0) {
            ORVI_LOGW("ACL continuation without a start: dropped");
            return;
        }
        if (l.rx.size() + acl.len > l.rx_total) {
            ORVI_LOGW("ACL continuation overruns its L2CAP frame: frame dropped");
            l.rx.clear();
            l.rx_total = 0;
            return;
        }
        l.rx.insert(l.rx.end(), acl.data, acl.data + acl.len);
    } else {
        if (l.rx_total != 0) ORVI_LOGW("unfinished L2CAP frame dropped: a new one starts");
        l.rx.clear();
        l.rx_total = 0;
        if (acl.len < 4) {
            ORVI_LOGW("ACL start of %zu bytes: no L2CAP header, dropped", acl.len);
            return;
        }
        size_t total = 4 + (size_t)get16(acl.data);
        if (total > kL2capMax || acl.len > total) {
            ORVI_LOGW("L2CAP frame of %zu bytes refused (at most %zu)", total, kL2capMax);
            return;
        }
        l.rx.assign(acl.data, acl.data + acl.len);
        l.rx_total = total;
    }
    if (l.rx.size() < l.rx_total) return;
    std::vector<uint8_t> frame;
    frame.swap(l.rx);
    l.rx_total = 0;
    on_l2cap(get16(frame.data() + 2), frame.data() + 4, frame.size() - 4);
}

void OrviBtHostH4::on_l2cap(uint16_t cid, const uint8_t *p, size_t n) {
    switch (cid) {
    case L2CAP_CID_ATT: {
        std::vector<uint8_t> rsp = att_.handle(p, n);
        if (!rsp.empty() && !send_l2cap(L2CAP_CID_ATT, rsp)) ORVI_LOGW("ATT response lost: link queue full");
        break;
    }
    case L2CAP_CID_SM:
        if (n >= 1 && p[0] == SM_PAIRING_REQUEST) {
            ORVI_LOGI("pairing request answered: pairing not supported");
            send_l2cap(L2CAP_CID_SM, {SM_PAIRING_FAILED, SM_REASON_PAIRING_NOT_SUPPORTED});
        } else {
            ORVI_LOGW("security manager code 0x%02x ignored: no pairing", n ? p[0] : 0);
        }
        break;
    case L2CAP_CID_LE_SIGNALING:
        // Nothing of signalling is used here; a reject is never answered, so
        // two hosts cannot bounce rejects for ever.
        if (n >= 4 && p[0] != L2CAP_COMMAND_REJECT) {
            ORVI_LOGW("L2CAP signalling code 0x%02x rejected", p[0]);
            send_l2cap(L2CAP_CID_LE_SIGNALING, {L2CAP_COMMAND_REJECT, p[1], 0x02, 0x00, 0x00, 0x00});
        }
        break;
    default: ORVI_LOGW("L2CAP channel 0x%04x not served: %zu bytes dropped", cid, n); break;
    }
}

bool OrviBtHostH4::send_l2cap(uint16_t cid, const std::vector<uint8_t> &payload) {
    if (!link_.up) return false;
    std::vector<uint8_t> frame = l2cap_frame(cid, payload.data(), payload.size());
    auto frags = h4_acl_fragments(link_.handle, ACL_PB_FIRST_NON_FLUSHABLE, frame.data(), frame.size(), acl_len_);
    if (acl_q_.size() + frags.size() > kAclQueueMax) return false;
    for (auto &f : frags) acl_q_.push_back(std::move(f));
    pump();
    return true;
}

void OrviBtHostH4::enter_working() {
    const uint8_t *addr = !all_zero(public_addr_) ? public_addr_ : have_static_ ? static_addr_ : random_addr_;
    char text[18];
    snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", addr[0], addr[1], addr[2], addr[3], addr[4],
             addr[5]);
    std::string path = std::string("/tmp/btstack_") + text + ".tlv";
    // Pairing is refused, so nothing is ever stored; the file is the key
    // store a host that pairs would keep.
    tlv_.reset(::open(orvi_path(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (tlv_.get() < 0) ORVI_LOGW("key store %s not opened: %s", path.c_str(), strerror(errno));
    ORVI_LOGI("TLV path: %s", path.c_str());
    phase_ = Phase::WORKING;
    if (listener_) listener_->on_state(ORVI_BT_HOST_WORKING);
}

void OrviBtHostH4::enter_off() {
    if (link_.up) link_down(link_.handle, HCI_LOCAL_HOST_TERMINATED);
    tlv_.reset();
    cmds_.clear();
    acl_q_.clear();
    in_flight_ = false;
    credits_ = 1;
    phase_ = Phase::OFF;
    if (listener_) listener_->on_state(ORVI_BT_HOST_OFF);
}

void OrviBtHostH4::check_deadlines() {
    uint64_t now = orvi_port_monotonic_ms();
    if (in_flight_ && now >= in_flight_due_) {
        ORVI_LOGW("HCI command 0x%04x unanswered: given up", in_flight_op_);
        credits_ = 1;
        command_done(in_flight_op_, nullptr, 0);
        pump();
    }
    if (phase_ == Phase::HALTING) {
        bool settled = !in_flight_ && cmds_.empty() && !link_.up;
        if (settled || now >= halt_due_) {
            if (!settled) ORVI_LOGW("controller did not confirm power-off in time");
            enter_off();
        }
    }
}

void OrviBtHostH4::fire_timers() {
    uint64_t now = orvi_port_monotonic_ms();
    std::vector<orvi_bt_timer *> due;
    for (auto *t : timers_)
        if (t->armed && t->due_ms <= now) due.push_back(t);
    for (auto *t : due) {
        // A callback may stop or re-arm any timer, its own included.
        if (!t->armed || t->due_ms > now ||
            std::find(timers_.begin(), timers_.end(), t) == timers_.end())
            continue;
        timer_stop(t);
        if (t->fn) t->fn(t);
    }
}

int OrviBtHostH4::poll_timeout() const {
    uint64_t now = orvi_port_monotonic_ms();
    uint64_t next = UINT64_MAX;
    for (auto *t : timers_)
        if (t->armed) next = std::min(next, t->due_ms);
    if (in_flight_) next = std::min(next, in_flight_due_);
    if (phase_ == Phase::HALTING) next = std::min(next, halt_due_);
    if (next == UINT64_MAX) return -1;
    return next <= now ? 0 : (int)std::min<uint64_t>(next - now, 60000);
}

void OrviBtHostH4::run() {
    for (;;) {
        if (stop_.load() && !stopping_) {
            stopping_ = true;
            power(false);
        }
        if (stopping_ && phase_ == Phase::OFF) break;
        struct pollfd fds[2];
        nfds_t nfds = 0;
        fds[nfds++] = {wake_.get(), POLLIN, 0};
        bool with_uart = uart_.get() >= 0 && !uart_dead_;
        if (with_uart) fds[nfds++] = {uart_.get(), (short)(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0};
        int rc = ::poll(fds, nfds, poll_timeout());
        if (rc < 0 && errno != EINTR) {
            ORVI_LOGE("poll failed: %s", strerror(errno));
            break;
        }
        if (rc > 0 && (fds[0].revents & POLLIN)) {
            uint64_t v;
            ssize_t r = ::read(wake_.get(), &v, sizeof v);
            (void)r;
        }
        if (rc > 0 && with_uart) {
            short re = fds[1].revents;
            if (re & POLLOUT) flush_out();
            if (re & POLLIN) read_uart();
            if ((re & (POLLHUP | POLLERR)) && !(re & POLLIN)) {
                ORVI_LOGE("UART hung up");
                uart_dead_ = true;
            }
        }
        check_deadlines();
        fire_timers();
        pump();
    }
    stopping_ = false;
    stop_.store(false);
}

}  // namespace

std::unique_ptr<OrviBtHost> orvi_bt_host_h4_create() { return std::make_unique<OrviBtHostH4>(); }
