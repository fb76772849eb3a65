// The host over H4, driven through a pseudo-terminal by a small scripted
// controller: the set-up, a connection, an MTU exchange, writes whole and
// fragmented, notifications, flow control with a single controller buffer,
// the channels it refuses, and garbage on the line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orvi_bt_host.h"
#include "orvi_hci_wire.h"
#include "scratch_root.h"

using namespace orvi_hci;

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(10);

const uint8_t kPublic[6] = {0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13};
const uint8_t kRandom[6] = {0xC0, 0x11, 0x22, 0x33, 0x44, 0x55};
const uint8_t kPhone[6] = {0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
constexpr uint16_t kCon = 0x0040;

Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }

// What the host told its listener, in order, as short lines.
class Listener : public OrviBtHostListener {
  public:
    OrviBtHost *host = nullptr;

    void on_state(orvi_bt_host_state s) override {
        add("state " + std::to_string(s));
        if (s == ORVI_BT_HOST_WORKING) {
            orvi_bt_adv_params p{48, 48, 0, 7, 0};
            host->set_adv_params(p);
            const uint8_t adv[] = {0x02, 0x01, 0x06};
            host->set_adv_data(adv, sizeof adv);
            host->set_adv_enable(true);
        }
    }
    void on_command_complete(uint16_t op, const uint8_t *ret, size_t len) override {
        char b[64];
        snprintf(b, sizeof b, "complete %04x status %02x", op, len ? ret[0] : 0xFF);
        add(b);
    }
    void on_connected(uint16_t h) override { add("connected " + std::to_string(h)); }
    void on_disconnected(uint16_t h, uint8_t reason) override {
        int rc = host->notify(h, ORVI_ATT_FD04_VALUE, (const uint8_t *)"x", 1);
        add("disconnected " + std::to_string(h) + " reason " + std::to_string(reason) + " notify " +
            std::to_string(rc) + " mtu " + std::to_string(host->mtu(h)));
    }
    void on_mtu(uint16_t h, uint16_t mtu) override {
        add("mtu " + std::to_string(mtu) + " host " + std::to_string(host->mtu(h)));
    }
    size_t on_read(uint16_t, uint16_t, uint16_t, uint8_t *, size_t, uint8_t *) override { return 0; }
    // FD03 is echoed back as a notification; a CCC write switches
    // advertising off, which puts an HCI command on the line.
    uint8_t on_write(uint16_t h, uint16_t att, orvi_att_write_mode mode, uint16_t, const uint8_t *d,
                     size_t len) override {
        add("write " + std::to_string(att) + " mode " + std::to_string(mode) + " " +
            std::string((const char *)d, len));
        if (att == ORVI_ATT_FD03_VALUE) host->notify(h, ORVI_ATT_FD04_VALUE, d, len);
        if (att == ORVI_ATT_FD04_CCC) host->set_adv_enable(false);
        return ORVI_ATT_OK;
    }

    void add(const std::string &line) {
        std::lock_guard<std::mutex> g(mu_);
        lines_.push_back(line);
        cv_.notify_all();
    }
    // Waits until `line` has been told; false at the deadline.
    bool wait_for(const std::string &line) {
        std::unique_lock<std::mutex> g(mu_);
        return cv_.wait_for(g, kDeadline, [&] {
            for (const auto &l : lines_)
                if (l == line) return true;
            return false;
        });
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> g(mu_);
        return lines_;
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

struct Packet {
    uint8_t type = 0;
    Bytes body;  // without the indicator
};

// The controller end of the line: answers every command as a controller
// with the given buffers would, and hands everything else to the test.
class Controller {
  public:
    uint16_t acl_len = 251;
    uint8_t acl_num = 8;
    Bytes before_each;  // bytes put on the line ahead of every answer
    uint8_t reset_credits = 1;        // Num_HCI_Command_Packets of the reset's answer
    std::vector<uint16_t> silent_on;  // commands left unanswered
    std::vector<uint16_t> commands;
    std::vector<Bytes> command_params;

    Controller() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master_, 0);
        grantpt(master_);
        unlockpt(master_);
        slave_path_ = ptsname(master_);
        // Held open and raw from the start, so nothing the host reads or
        // writes passes through a line discipline before it opens.
        slave_ = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY);
        struct termios t;
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
        fcntl(master_, F_SETFL, O_NONBLOCK);
    }
    ~Controller() {
        ::close(master_);
        ::close(slave_);
    }
    const std::string &device() const { return slave_path_; }

    void send(const Bytes &b) {
        Bytes all = cat(before_each, b);
        size_t off = 0;
        auto until = Clock::now() + kDeadline;
        while (off < all.size() && Clock::now() < until) {
            ssize_t n = ::write(master_, all.data() + off, all.size() - off);
            if (n > 0)
                off += (size_t)n;
            else {
                struct pollfd p = {master_, POLLOUT, 0};
                poll(&p, 1, 100);
            }
        }
        ASSERT_EQ(off, all.size());
    }
    void send_att(const Bytes &pdu) { send_l2cap(L2CAP_CID_ATT, pdu); }
    void send_l2cap(uint16_t cid, const Bytes &payload) {
        Bytes f = l2cap_frame(cid, payload.data(), payload.size());
        send(h4_acl(kCon, ACL_PB_FIRST_FLUSHABLE, f.data(), f.size()));
    }

    // The next packet that is not a command (commands are answered on the
    // way), or the next command when `stop_at_command`. False at the deadline.
    bool next(Packet *out, bool stop_at_command = false) {
        auto until = Clock::now() + kDeadline;
        while (Clock::now() < until) {
            while (!pending_.empty()) {
                Packet p = std::move(pending_.front());
                pending_.erase(pending_.begin());
                if (p.type == H4_COMMAND) {
                    answer(p.body);
                    if (!stop_at_command) continue;
                }
                *out = std::move(p);
                return true;
            }
            struct pollfd pfd = {master_, POLLIN, 0};
            poll(&pfd, 1, 50);
            uint8_t buf[512];
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0)
                reader_.feed(buf, (size_t)n, [this](uint8_t t, const uint8_t *p, size_t l) {
                    pending_.push_back({t, Bytes(p, p + l)});
                });
        }
        return false;
    }
    // Answers commands until `done` holds.
    bool serve_until(const std::function<bool()> &done) {
        auto until = Clock::now() + kDeadline;
        while (!done()) {
            if (Clock::now() >= until) return false;
            struct pollfd pfd = {master_, POLLIN, 0};
            poll(&pfd, 1, 20);
            uint8_t buf[512];
            ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0)
                reader_.feed(buf, (size_t)n, [this](uint8_t t, const uint8_t *pk, size_t l) {
                    if (t == H4_COMMAND)
                        answer(Bytes(pk, pk + l));
                    else
                        pending_.push_back({t, Bytes(pk, pk + l)});
                });
        }
        return true;
    }
    // The next ATT PDU from the host, reassembled from its ACL fragments.
    bool next_att(Bytes *pdu, uint16_t *cid = nullptr) {
        Bytes frame;
        size_t total = 0;
        Packet p;
        while (next(&p)) {
            AclHeader a;
            if (p.type != H4_ACL || !parse_acl(p.body.data(), p.body.size(), &a)) continue;
            frame.insert(frame.end(), a.data, a.data + a.len);
            if (total == 0 && frame.size() >= 4) total = 4 + get16(frame.data());
            if (total && frame.size() >= total) {
                if (cid) *cid = get16(frame.data() + 2);
                pdu->assign(frame.begin() + 4, frame.end());
                return true;
            }
        }
        return false;
    }

  private:
    void answer(const Bytes &body) {
        Command c;
        if (!parse_command(body.data(), body.size(), &c)) return;
        commands.push_back(c.opcode);
        command_params.emplace_back(c.params, c.params + c.len);
        if (std::find(silent_on.begin(), silent_on.end(), c.opcode) != silent_on.end()) return;
        Bytes ret{HCI_OK};
        switch (c.opcode) {
        case OP_RESET: send(h4_command_complete(reset_credits, c.opcode, ret.data(), ret.size())); return;
        case OP_READ_BD_ADDR:
            for (int i = 5; i >= 0; i--) ret.push_back(kPublic[i]);
            break;
        case OP_READ_LOCAL_VERSION: ret = {HCI_OK, 0x0C, 0x34, 0x12, 0x0C, 0x0F, 0x00, 0x78, 0x56}; break;
        case OP_READ_LOCAL_NAME:
            ret.resize(249, 0);
            memcpy(ret.data() + 1, "ctrl", 4);
            break;
        case OP_READ_BUFFER_SIZE: ret = {HCI_OK, 0x00, 0x04, 0x00, 0x02, 0x00, 0x00, 0x00}; break;
        case OP_LE_READ_BUFFER_SIZE: ret = {HCI_OK, (uint8_t)acl_len, (uint8_t)(acl_len >> 8), acl_num}; break;
        case OP_VENDOR_READ_STATIC_ADDRESS: ret = {HCI_UNKNOWN_COMMAND}; break;
        case OP_DISCONNECT:
            send(h4_command_status(HCI_OK, 1, c.opcode));
            send(h4_disconnection_complete(HCI_OK, get16(c.params), HCI_LOCAL_HOST_TERMINATED));
            return;
        default: break;
        }
        send(h4_command_complete(1, c.opcode, ret.data(), ret.size()));
    }

    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
    H4Reader reader_{4096, true};
    std::vector<Packet> pending_;
};

// The host on its own thread, as the provisioning service runs it.
class HostFixture : public ::testing::Test {
  protected:
    void start() {
        host_ = orvi_bt_host_h4_create();
        listener_.host = host_.get();
        thread_ = std::thread([this] {
            orvi_bt_uart_config cfg{ctl_.device().c_str(), 1500000, true};
            ASSERT_EQ(host_->open(cfg, &listener_), 0);
            host_->set_random_address(kRandom);
            ASSERT_EQ(host_->power(true), 0);
            host_->run();
            std::lock_guard<std::mutex> g(done_mu_);
            done_ = true;
        });
    }
    void TearDown() override {
        if (thread_.joinable()) {
            host_->stop();
            ctl_.serve_until([this] {
                std::lock_guard<std::mutex> g(done_mu_);
                return done_;
            });
            thread_.join();
        }
    }
    // Set-up answered, advertising on, a phone connected.
    void up_and_connected() {
        start();
        ASSERT_TRUE(ctl_.serve_until([this] {
            auto &c = ctl_.commands;
            return std::find(c.begin(), c.end(), OP_LE_SET_ADV_ENABLE) != c.end();
        }));
        ASSERT_TRUE(listener_.wait_for("state 1"));
        ctl_.send(h4_le_connection_complete(HCI_OK, kCon, kPhone));
        ASSERT_TRUE(listener_.wait_for("connected 64"));
    }
    bool done() {
        std::lock_guard<std::mutex> g(done_mu_);
        return done_;
    }

    ScratchRoot root_;
    Controller ctl_;
    Listener listener_;
    std::unique_ptr<OrviBtHost> host_;
    std::thread thread_;
    std::mutex done_mu_;
    bool done_ = false;
};

// Reset first; the set-up the service relies on; the informational answers
// passed on (the vendor command tolerated when unknown); the random address
// on the wire reversed; the key store opened under the public address;
// advertising from the random address; stop() ends the loop, powered off.
TEST_F(HostFixture, SetsUpTheControllerAndStopsCleanly) {
    start();
    ASSERT_TRUE(ctl_.serve_until([this] { return ctl_.commands.size() >= 13; }));
    ASSERT_TRUE(listener_.wait_for("state 1"));
    const std::vector<uint16_t> want = {
        OP_RESET,          OP_READ_LOCAL_VERSION, OP_READ_LOCAL_NAME, OP_READ_BD_ADDR,
        OP_READ_BUFFER_SIZE, OP_LE_READ_BUFFER_SIZE, OP_SET_EVENT_MASK, OP_LE_SET_EVENT_MASK,
        OP_VENDOR_READ_STATIC_ADDRESS, OP_LE_SET_RANDOM_ADDRESS, OP_LE_SET_ADV_PARAMS, OP_LE_SET_ADV_DATA,
        OP_LE_SET_ADV_ENABLE};
    EXPECT_EQ(std::vector<uint16_t>(ctl_.commands.begin(), ctl_.commands.begin() + 13), want);
    EXPECT_EQ(ctl_.command_params[9], Bytes({0x55, 0x44, 0x33, 0x22, 0x11, 0xC0}));
    EXPECT_EQ(ctl_.command_params[10],
              Bytes({0x30, 0x00, 0x30, 0x00, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0x07, 0x00}));
    Bytes adv(32, 0);
    adv[0] = 3;
    adv[1] = 0x02, adv[2] = 0x01, adv[3] = 0x06;
    EXPECT_EQ(ctl_.command_params[11], adv);
    EXPECT_EQ(ctl_.command_params[12], Bytes({0x01}));

    auto lines = listener_.lines();
    for (const char *l : {"complete 1001 status 00", "complete 0c14 status 00", "complete fc09 status 01"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), l), lines.end()) << l;
    uint8_t pub[6];
    host_->public_address(pub);
    EXPECT_EQ(Bytes(pub, pub + 6), Bytes(kPublic, kPublic + 6));
    EXPECT_TRUE(root_.exists("/tmp/btstack_00-1A-7D-DA-71-13.tlv"));

    host_->stop();
    ASSERT_TRUE(ctl_.serve_until([this] { return done(); }));
    thread_.join();
    EXPECT_TRUE(listener_.wait_for("state 2"));
    EXPECT_TRUE(listener_.wait_for("state 0"));
}

// One phone's session: MTU, a write echoed as a notification, a write split
// over two ACL fragments, pairing refused, signalling rejected, then the
// link gone: notify answers -1 and the MTU is back to 23.
TEST_F(HostFixture, ServesAPhoneSession) {
    up_and_connected();
    Bytes pdu;
    uint16_t cid = 0;
    ctl_.send_att({ATT_MTU_REQ, 0xB9, 0x00});
    ASSERT_TRUE(ctl_.next_att(&pdu));
    EXPECT_EQ(pdu, Bytes({ATT_MTU_RSP, 0x05, 0x02}));
    EXPECT_TRUE(listener_.wait_for("mtu 185 host 185"));

    ctl_.send_att(cat({ATT_WRITE_REQ, 0x09, 0x00}, text("hello")));
    ASSERT_TRUE(ctl_.next_att(&pdu));
    EXPECT_EQ(pdu, cat({ATT_HANDLE_VALUE_NTF, 0x0B, 0x00}, text("hello")));
    ASSERT_TRUE(ctl_.next_att(&pdu));
    EXPECT_EQ(pdu, Bytes({ATT_WRITE_RSP}));

    const std::string long_text = "{\"t\":\"bind\",\"pack\":\"0123456789abcdefghij\"}";
    Bytes req = cat({ATT_WRITE_REQ, 0x09, 0x00}, text(long_text));
    Bytes frame = l2cap_frame(L2CAP_CID_ATT, req.data(), req.size());
    ctl_.send(h4_acl(kCon, ACL_PB_FIRST_FLUSHABLE, frame.data(), 10));
    ctl_.send(h4_acl(kCon, ACL_PB_CONTINUATION, frame.data() + 10, frame.size() - 10));
    EXPECT_TRUE(listener_.wait_for("write 9 mode 0 " + long_text));
    ASSERT_TRUE(ctl_.next_att(&pdu));
    EXPECT_EQ(pdu, cat({ATT_HANDLE_VALUE_NTF, 0x0B, 0x00}, text(long_text)));
    ASSERT_TRUE(ctl_.next_att(&pdu));
    EXPECT_EQ(pdu, Bytes({ATT_WRITE_RSP}));

    ctl_.send_l2cap(L2CAP_CID_SM, {SM_PAIRING_REQUEST, 0x03, 0x00, 0x01, 0x10, 0x07, 0x07});
    ASSERT_TRUE(ctl_.next_att(&pdu, &cid));
    EXPECT_EQ(cid, L2CAP_CID_SM);
    EXPECT_EQ(pdu, Bytes({SM_PAIRING_FAILED, SM_REASON_PAIRING_NOT_SUPPORTED}));

    ctl_.send_l2cap(L2CAP_CID_LE_SIGNALING, {0x14, 0x07, 0x0A, 0x00, 0x41, 0x00, 0x40, 0x00, 0x17, 0x00, 0x17,
                                             0x00, 0x01, 0x00});
    ASSERT_TRUE(ctl_.next_att(&pdu, &cid));
    EXPECT_EQ(cid, L2CAP_CID_LE_SIGNALING);
    EXPECT_EQ(pdu, Bytes({L2CAP_COMMAND_REJECT, 0x07, 0x02, 0x00, 0x00, 0x00}));

    ctl_.send(h4_disconnection_complete(HCI_OK, kCon, HCI_REMOTE_USER_TERMINATED));
    EXPECT_TRUE(listener_.wait_for("disconnected 64 reason 19 notify -1 mtu 23"));
}

// A single controller buffer of 27 bytes: a 47-byte notification frame
// leaves in two fragments, and nothing more is sent until the controller
// reports a buffer free. The proof of "nothing more": an HCI command the
// host emits later arrives before the held-back fragments.
TEST_F(HostFixture, HoldsAclDataUntilTheControllerHasABuffer) {
    ctl_.acl_len = 27;
    ctl_.acl_num = 1;
    up_and_connected();
    Packet p;
    AclHeader a;
    ctl_.send_att({ATT_MTU_REQ, 0xB9, 0x00});
    ASSERT_TRUE(ctl_.next(&p));
    ctl_.send(h4_num_completed_packets(kCon, 1));

    const Bytes value = text("0123456789012345678901234567890123456789");  // 40 bytes
    ctl_.send_att(cat({ATT_WRITE_REQ, 0x09, 0x00}, value));
    ASSERT_TRUE(ctl_.next(&p));
    ASSERT_EQ(p.type, H4_ACL);
    ASSERT_TRUE(parse_acl(p.body.data(), p.body.size(), &a));
    EXPECT_EQ(a.pb, ACL_PB_FIRST_NON_FLUSHABLE);
    ASSERT_EQ(a.len, 27u);
    Bytes notified(a.data, a.data + a.len);

    ctl_.send_att({ATT_WRITE_REQ, 0x0C, 0x00, 0x01, 0x00});
    ASSERT_TRUE(ctl_.next(&p, true));
    ASSERT_EQ(p.type, H4_COMMAND);
    EXPECT_EQ(get16(p.body.data()), OP_LE_SET_ADV_ENABLE);

    ctl_.send(h4_num_completed_packets(kCon, 1));
    ASSERT_TRUE(ctl_.next(&p));
    ASSERT_TRUE(parse_acl(p.body.data(), p.body.size(), &a));
    EXPECT_EQ(a.pb, ACL_PB_CONTINUATION);
    notified.insert(notified.end(), a.data, a.data + a.len);
    EXPECT_EQ(notified, cat({43, 0, 4, 0, ATT_HANDLE_VALUE_NTF, 0x0B, 0x00}, value));

    for (int i = 0; i < 2; i++) {  // the two write responses, one buffer each
        ctl_.send(h4_num_completed_packets(kCon, 1));
        ASSERT_TRUE(ctl_.next(&p));
        ASSERT_TRUE(parse_acl(p.body.data(), p.body.size(), &a));
        EXPECT_EQ(Bytes(a.data, a.data + a.len), Bytes({1, 0, 4, 0, ATT_WRITE_RSP}));
    }
}

// A controller that grants no command credit with its answer to the reset
// gets nothing more until it grants one (a No-Op Command Complete); the
// link it reports meanwhile is served. The proof of "nothing more": the
// ATT response the host writes later arrives before the next command.
TEST_F(HostFixture, WaitsForTheControllersCommandCredit) {
    ctl_.reset_credits = 0;
    start();
    ASSERT_TRUE(ctl_.serve_until([this] { return !ctl_.commands.empty(); }));
    ctl_.send(h4_le_connection_complete(HCI_OK, kCon, kPhone));
    ctl_.send_att({ATT_MTU_REQ, 0x30, 0x00});
    Packet p;
    ASSERT_TRUE(ctl_.next(&p, true));
    EXPECT_EQ(p.type, H4_ACL);
    EXPECT_EQ(ctl_.commands, std::vector<uint16_t>({OP_RESET}));
    ctl_.send(h4_command_complete(1, OP_NOP, nullptr, 0));
    ASSERT_TRUE(ctl_.serve_until([this] { return ctl_.commands.size() >= 13; }));
    EXPECT_TRUE(listener_.wait_for("state 1"));
}

// A command the controller never answers is given up after a while, so the
// set-up still completes; nothing of it reaches the listener.
TEST_F(HostFixture, GivesUpOnAnUnansweredCommand) {
    ctl_.silent_on = {OP_VENDOR_READ_STATIC_ADDRESS};
    start();
    ASSERT_TRUE(ctl_.serve_until([this] { return ctl_.commands.size() >= 13; }));
    ASSERT_TRUE(listener_.wait_for("state 1"));
    auto lines = listener_.lines();
    for (const auto &l : lines) EXPECT_EQ(l.find("complete fc09"), std::string::npos) << l;
}

// A second central while one is connected is disconnected at once; the
// first keeps its link. The enhanced form of the event is taken too.
TEST_F(HostFixture, ServesOneLinkAtATime) {
    start();
    ASSERT_TRUE(ctl_.serve_until([this] { return ctl_.commands.size() >= 13; }));
    ASSERT_TRUE(listener_.wait_for("state 1"));
    Bytes enh = {LE_ENHANCED_CONNECTION_COMPLETE, HCI_OK, 0x40, 0x00, 0x01, 0x00};
    enh.resize(31, 0);
    ctl_.send(h4_event(EVT_LE_META, enh.data(), enh.size()));
    ASSERT_TRUE(listener_.wait_for("connected 64"));
    ctl_.send(h4_le_connection_complete(HCI_OK, 0x0041, kPhone));
    ASSERT_TRUE(ctl_.serve_until([this] {
        return !ctl_.command_params.empty() && ctl_.commands.back() == OP_DISCONNECT;
    }));
    EXPECT_EQ(ctl_.command_params.back(), Bytes({0x41, 0x00, HCI_REMOTE_USER_TERMINATED}));
    ctl_.send_att({ATT_MTU_REQ, 0x30, 0x00});
    Bytes pdu;
    ASSERT_TRUE(ctl_.next_att(&pdu));
    EXPECT_EQ(pdu, Bytes({ATT_MTU_RSP, 0x05, 0x02}));
    auto lines = listener_.lines();
    EXPECT_EQ(std::find(lines.begin(), lines.end(), "connected 65"), lines.end());
}

// Garbage and impossible lengths on the line cost what they hide and
// nothing else: after each, the host still answers an MTU request.
TEST_F(HostFixture, SurvivesGarbageOnTheLine) {
    up_and_connected();
    struct {
        const char *name;
        Bytes bytes;
    } cases[] = {
        {"noise without indicators", {0x00, 0xFF, 0x7E, 0x55, 0x99}},
        {"ACL longer than any buffer", {H4_ACL, 0x40, 0x00, 0xFF, 0xFF, 0x00}},
        {"L2CAP frame longer than the MTU",
         cat(h4_acl(kCon, ACL_PB_FIRST_FLUSHABLE, Bytes({0xFF, 0xFF, 0x04, 0x00, 0x12}).data(), 5), {})},
        {"continuation without a start", h4_acl(kCon, ACL_PB_CONTINUATION, Bytes({1, 2, 3}).data(), 3)},
        {"start shorter than an L2CAP header", h4_acl(kCon, ACL_PB_FIRST_FLUSHABLE, Bytes({1, 0}).data(), 2)},
        {"data for a link that does not exist", h4_acl(0x0123, ACL_PB_FIRST_FLUSHABLE, Bytes({1, 0, 4, 0, 2}).data(), 5)},
        {"truncated LE connection event", h4_event(EVT_LE_META, Bytes({LE_CONNECTION_COMPLETE, 0x00}).data(), 2)},
        {"completed packets claiming more handles than it holds",
         h4_event(EVT_NUM_COMPLETED_PACKETS, Bytes({0xFF, 0x40, 0x00}).data(), 3)},
        {"command complete for nothing in flight", h4_command_complete(1, 0x2006, Bytes({0}).data(), 1)},
        {"unserved L2CAP channel", h4_acl(kCon, ACL_PB_FIRST_FLUSHABLE, Bytes({1, 0, 0x40, 0, 9}).data(), 5)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ctl_.send(c.bytes);
        ctl_.send_att({ATT_MTU_REQ, 0x30, 0x00});
        Bytes pdu;
        ASSERT_TRUE(ctl_.next_att(&pdu));
        EXPECT_EQ(pdu, Bytes({ATT_MTU_RSP, 0x05, 0x02}));
        ctl_.send(h4_num_completed_packets(kCon, 1));
    }
}

// Random bytes on the line, rounds of them from fixed seeds: whatever they
// happen to form, the host stays up, and once the line is quiet (a run of
// zero bytes ends any packet they began) it answers an MTU request.
TEST_F(HostFixture, SurvivesRandomBytesOnTheLine) {
    up_and_connected();
    uint32_t seed = 2024;
    auto rnd = [&] {
        seed = seed * 1103515245u + 12345u;
        return (uint8_t)(seed >> 16);
    };
    for (int round = 0; round < 50; round++) {
        SCOPED_TRACE(round);
        Bytes noise(310);
        for (auto &b : noise) b = rnd();
        // Indicators often enough that the noise forms packets too, and ACL
        // headers for the live link with short lengths, so fragments and
        // L2CAP frames of noise reach the channels.
        for (size_t i = 0; i + 10 < noise.size(); i += 1 + rnd() % 16) {
            noise[i] = rnd() % 2 ? H4_EVENT : H4_ACL;
            if (noise[i] == H4_ACL && rnd() % 2) {
                noise[i + 1] = (uint8_t)kCon, noise[i + 2] = (uint8_t)(rnd() & 0x30);
                noise[i + 3] = rnd() % 24, noise[i + 4] = 0;
                if (rnd() % 2) noise[i + 5] = rnd() % 20, noise[i + 6] = 0, noise[i + 7] = 0, noise[i + 8] = 4 + rnd() % 3, noise[i + 9] = 0;
            }
        }
        ctl_.send(noise);
        ctl_.send(Bytes(1100, 0));
        ctl_.send(h4_num_completed_packets(kCon, 0xFF));
        ctl_.send_att({ATT_MTU_REQ, 0x30, 0x00});
        Bytes pdu;
        bool answered = false;
        while (!answered && ctl_.next_att(&pdu)) answered = pdu == Bytes({ATT_MTU_RSP, 0x05, 0x02});
        ASSERT_TRUE(answered);
    }
}

// The stream reader on its own: packets cut anywhere still come out whole,
// and bytes that cannot start a packet are skipped.
TEST(OrviH4Reader, CutsAStreamIntoPackets) {
    Bytes ev = h4_command_complete(1, OP_RESET, Bytes({0}).data(), 1);
    Bytes acl = h4_acl(kCon, ACL_PB_FIRST_FLUSHABLE, Bytes({1, 0, 4, 0, 2}).data(), 5);
    Bytes sco = {H4_SCO, 0x01, 0x00, 0x02, 0xAA, 0xBB};
    struct {
        const char *name;
        Bytes stream;
        std::vector<Bytes> want;
    } cases[] = {
        {"two packets back to back", cat(ev, acl), {ev, acl}},
        {"noise before and between", cat(cat({0x00, 0x77}, ev), cat({0xFE}, acl)), {ev, acl}},
        {"an over-long ACL header skipped", cat({H4_ACL, 0x40, 0x00, 0x01, 0x10}, ev), {ev}},
        {"voice data skipped", cat(sco, acl), {acl}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (size_t cut = 1; cut <= c.stream.size(); cut++) {
            H4Reader r(1024);
            std::vector<Bytes> got;
            auto sink = [&](uint8_t t, const uint8_t *p, size_t l) { got.push_back(cat({t}, Bytes(p, p + l))); };
            for (size_t off = 0; off < c.stream.size(); off += cut)
                r.feed(c.stream.data() + off, std::min(cut, c.stream.size() - off), sink);
            ASSERT_EQ(got, c.want) << "fed " << cut << " bytes at a time";
        }
    }
}

}  // namespace
