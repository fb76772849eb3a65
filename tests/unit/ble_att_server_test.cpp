// The ATT server over the provisioning database, driven with the PDUs a
// phone sends (request bytes in, response bytes out), and the database's
// hash recomputed here from the rule, attribute by attribute.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "orvi_att_server.h"
#include "orvi_gatt_db.h"
#include "orvi_hci_wire.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes cat(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }

const std::string kHid = "HID:0123456789abcdefghij";  // 24 bytes: longer than one read at MTU 23
const Bytes kProvUuid = {0xa2, 0x12, 0x2e, 0x4d, 0x14, 0xfe, 0x8e, 0x48,
                         0xd2, 0x93, 0x3c, 0x17, 0x06, 0xfd, 0x00, 0x00};

struct Write {
    uint16_t handle;
    orvi_att_write_mode mode;
    Bytes data;
    bool operator==(const Write &o) const { return handle == o.handle && mode == o.mode && data == o.data; }
};

// Serves FD06 like the provisioning service (the hid from an offset) and
// refuses a write that begins with 0xEE, to show its error reaches the app.
class Listener : public OrviBtHostListener {
  public:
    void on_state(orvi_bt_host_state) override {}
    void on_command_complete(uint16_t, const uint8_t *, size_t) override {}
    void on_connected(uint16_t) override {}
    void on_disconnected(uint16_t, uint8_t) override {}
    void on_mtu(uint16_t, uint16_t m) override { mtu = m; }
    size_t on_read(uint16_t, uint16_t h, uint16_t offset, uint8_t *out, size_t cap, uint8_t *err) override {
        if (h != ORVI_ATT_FD06_VALUE) return 0;
        if (offset > kHid.size()) {
            *err = ORVI_ATT_ERR_INVALID_OFFSET;
            return 0;
        }
        size_t n = std::min(cap, kHid.size() - offset);
        memcpy(out, kHid.data() + offset, n);
        return n;
    }
    uint8_t on_write(uint16_t, uint16_t h, orvi_att_write_mode mode, uint16_t offset, const uint8_t *d,
                     size_t len) override {
        if (len && d[0] == 0xEE) return ORVI_ATT_ERR_INVALID_LENGTH;
        writes.push_back({h, mode, Bytes(d, d + len)});
        return ORVI_ATT_OK;
    }
    std::vector<Write> writes;
    uint16_t mtu = 0;
};

struct Step {
    Bytes req;
    Bytes rsp;  // empty: no response is due
};
struct Exchange {
    const char *name;
    std::vector<Step> steps;
    std::vector<Write> writes;  // what reached the listener, in order
    uint16_t mtu_reported = 0;  // 0: no MTU exchange
    Exchange(const char *n, std::vector<Step> s, std::vector<Write> w = {}, uint16_t m = 0)
        : name(n), steps(std::move(s)), writes(std::move(w)), mtu_reported(m) {}
};

Bytes err(uint8_t op, uint16_t h, uint8_t code) { return orvi_hci::att_error(op, h, code); }

// A long value written in pieces of `piece` bytes, each Prepare Write
// answered with its own echo, then executed.
std::vector<Step> long_write(uint16_t handle, const Bytes &value, size_t piece) {
    std::vector<Step> s;
    for (size_t off = 0; off < value.size(); off += piece) {
        Bytes req = {0x16, (uint8_t)handle, (uint8_t)(handle >> 8), (uint8_t)off, (uint8_t)(off >> 8)};
        req.insert(req.end(), value.begin() + off, value.begin() + std::min(value.size(), off + piece));
        Bytes rsp = req;
        rsp[0] = 0x17;
        s.push_back({req, rsp});
    }
    s.push_back({{0x18, 0x01}, {0x19}});
    return s;
}

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = (uint8_t)('A' + i % 26);
    return b;
}

std::vector<Exchange> exchanges() {
    const Bytes hid = text(kHid);
    const Bytes v100 = pattern(100);
    std::vector<Exchange> x = {
        {"primary services, 16-bit then 128-bit, then the end",
         {{{0x10, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x28},
           {0x11, 0x06, 0x01, 0x00, 0x03, 0x00, 0x00, 0x18, 0x04, 0x00, 0x06, 0x00, 0x01, 0x18}},
          {{0x10, 0x07, 0x00, 0xFF, 0xFF, 0x00, 0x28}, cat({0x11, 0x14, 0x07, 0x00, 0x10, 0x00}, kProvUuid)},
          {{0x10, 0x11, 0x00, 0xFF, 0xFF, 0x00, 0x28}, err(0x10, 0x0011, 0x0A)},
          {{0x10, 0x01, 0x00, 0xFF, 0xFF, 0x03, 0x28}, err(0x10, 0x0001, 0x10)},
          {{0x10, 0x05, 0x00, 0x01, 0x00, 0x00, 0x28}, err(0x10, 0x0005, 0x01)}}},
        {"service by UUID, 128-bit and 16-bit",
         {{cat({0x06, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x28}, kProvUuid), {0x07, 0x07, 0x00, 0x10, 0x00}},
          {{0x06, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x28, 0x01, 0x18}, {0x07, 0x04, 0x00, 0x06, 0x00}},
          {{0x06, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x28, 0x0F, 0x18}, err(0x06, 0x0001, 0x0A)}}},
        {"characteristics, page by page",
         {{{0x08, 0x01, 0x00, 0xFF, 0xFF, 0x03, 0x28},
           {0x09, 0x07, 0x02, 0x00, 0x02, 0x03, 0x00, 0x00, 0x2A, 0x05, 0x00, 0x02, 0x06, 0x00, 0x2A, 0x2B, 0x08,
            0x00, 0x08, 0x09, 0x00, 0x03, 0xFD}},
          {{0x08, 0x09, 0x00, 0xFF, 0xFF, 0x03, 0x28},
           {0x09, 0x07, 0x0A, 0x00, 0x10, 0x0B, 0x00, 0x04, 0xFD, 0x0D, 0x00, 0x02, 0x0E, 0x00, 0x05, 0xFD, 0x0F,
            0x00, 0x02, 0x10, 0x00, 0x06, 0xFD}},
          {{0x08, 0x11, 0x00, 0xFF, 0xFF, 0x03, 0x28}, err(0x08, 0x0011, 0x0A)},
          {{0x08, 0x00, 0x00, 0xFF, 0xFF, 0x03, 0x28}, err(0x08, 0x0000, 0x01)},
          {{0x08, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x2A}, {0x09, 0x06, 0x03, 0x00, 'O', 'r', 'v', 'i'}},
          {{0x08, 0x01, 0x00, 0xFF, 0xFF, 0x04, 0xFD}, err(0x08, 0x000B, 0x02)},
          {{0x08, 0x01, 0x00, 0xFF, 0xFF, 0x03}, err(0x08, 0x0000, 0x04)}}},
        {"descriptors",
         {{{0x04, 0x08, 0x00, 0x10, 0x00},
           {0x05, 0x01, 0x08, 0x00, 0x03, 0x28, 0x09, 0x00, 0x03, 0xFD, 0x0A, 0x00, 0x03, 0x28, 0x0B, 0x00, 0x04,
            0xFD, 0x0C, 0x00, 0x02, 0x29}},
          {{0x04, 0x07, 0x00, 0x07, 0x00}, {0x05, 0x01, 0x07, 0x00, 0x00, 0x28}},
          {{0x04, 0x11, 0x00, 0xFF, 0xFF}, err(0x04, 0x0011, 0x0A)},
          {{0x04, 0x05, 0x00, 0x04, 0x00}, err(0x04, 0x0005, 0x01)}}},
        {"reads and their refusals",
         {{{0x0A, 0x03, 0x00}, {0x0B, 'O', 'r', 'v', 'i'}},
          {{0x0A, 0x0E, 0x00}, {0x0B}},
          {{0x0A, 0x10, 0x00}, cat({0x0B}, Bytes(hid.begin(), hid.begin() + 22))},
          {{0x0C, 0x10, 0x00, 0x16, 0x00}, cat({0x0D}, Bytes(hid.begin() + 22, hid.end()))},
          {{0x0C, 0x10, 0x00, 0x19, 0x00}, err(0x0C, 0x0010, 0x07)},
          {{0x0C, 0x03, 0x00, 0x04, 0x00}, {0x0D}},
          {{0x0C, 0x03, 0x00, 0x05, 0x00}, err(0x0C, 0x0003, 0x07)},
          {{0x0A, 0x0B, 0x00}, err(0x0A, 0x000B, 0x02)},
          {{0x0A, 0x09, 0x00}, err(0x0A, 0x0009, 0x02)},
          {{0x0A, 0x11, 0x00}, err(0x0A, 0x0011, 0x01)},
          {{0x0A, 0x00, 0x00}, err(0x0A, 0x0000, 0x01)},
          {{0x0A, 0x03}, err(0x0A, 0x0000, 0x04)}}},
        {"writes, answered and not (the last longer than the MTU)",
         {{{0x12, 0x09, 0x00, '{', '"', '}'}, {0x13}},
          {{0x52, 0x09, 0x00, 'A', 'B'}, {}},
          {{0x12, 0x0C, 0x00, 0x01, 0x00}, {0x13}},
          {{0x12, 0x0C, 0x00, 0x01}, err(0x12, 0x000C, 0x0D)},
          {{0x12, 0x09, 0x00, 0xEE}, err(0x12, 0x0009, 0x0D)},
          {{0x12, 0x03, 0x00, 0x41}, err(0x12, 0x0003, 0x03)},
          {{0x12, 0x0B, 0x00, 0x41}, err(0x12, 0x000B, 0x03)},
          {{0x12, 0x11, 0x00, 0x41}, err(0x12, 0x0011, 0x01)},
          {{0x52, 0x03, 0x00, 0x41}, {}},
          {{0x12, 0x09}, err(0x12, 0x0000, 0x04)},
          {cat({0x12, 0x09, 0x00}, pattern(21)), err(0x12, 0x0000, 0x04)}},
         {{0x0009, ORVI_ATT_WRITE_REQUEST, text("{\"}")},
          {0x0009, ORVI_ATT_WRITE_COMMAND, text("AB")},
          {0x000C, ORVI_ATT_WRITE_REQUEST, {0x01, 0x00}}}},
        {"MTU: agreed within 23..517, and used by reads; a value past 512 bytes",
         {{{0x02, 0xF7, 0x00}, {0x03, 0x05, 0x02}},
          {{0x0A, 0x10, 0x00}, cat({0x0B}, hid)},
          {{0x02, 0x10, 0x00}, {0x03, 0x05, 0x02}},
          {{0x0A, 0x10, 0x00}, cat({0x0B}, Bytes(hid.begin(), hid.begin() + 22))},
          {{0x02, 0xFF, 0xFF}, {0x03, 0x05, 0x02}},
          {cat({0x12, 0x09, 0x00}, pattern(513)), err(0x12, 0x0009, 0x0D)},
          {{0x02, 0xFF}, err(0x02, 0x0000, 0x04)}},
         {},
         517},
        {"requests not served",
         {{{0x0E, 0x03, 0x00, 0x10, 0x00}, err(0x0E, 0x0000, 0x06)},
          {{0x20, 0x01}, err(0x20, 0x0000, 0x06)},
          {{0xD2, 0x09, 0x00, 0x41}, {}},
          {{0x7F}, {}},
          {{0x1E}, {}}}},
        {"long write: the pieces delivered once, whole", long_write(ORVI_ATT_FD03_VALUE, v100, 18),
         {{0x0009, ORVI_ATT_WRITE_LONG, v100}}},
        {"long write: a piece rewritten, then cancelled, then an empty execute",
         {{{0x16, 0x09, 0x00, 0x00, 0x00, 'a', 'b', 'c'}, {0x17, 0x09, 0x00, 0x00, 0x00, 'a', 'b', 'c'}},
          {{0x16, 0x09, 0x00, 0x01, 0x00, 'X'}, {0x17, 0x09, 0x00, 0x01, 0x00, 'X'}},
          {{0x18, 0x01}, {0x19}},
          {{0x16, 0x09, 0x00, 0x00, 0x00, 'z'}, {0x17, 0x09, 0x00, 0x00, 0x00, 'z'}},
          {{0x18, 0x00}, {0x19}},
          {{0x18, 0x01}, {0x19}}},
         {{0x0009, ORVI_ATT_WRITE_LONG, text("aXc")}}},
        {"long write refusals: a gap, a read-only target, a bad flag, a refused value",
         {{{0x16, 0x09, 0x00, 0x05, 0x00, 'x'}, {0x17, 0x09, 0x00, 0x05, 0x00, 'x'}},
          {{0x18, 0x01}, err(0x18, 0x0009, 0x07)},
          {{0x16, 0x10, 0x00, 0x00, 0x00, 'x'}, err(0x16, 0x0010, 0x03)},
          {{0x16, 0x12, 0x00, 0x00, 0x00, 'x'}, err(0x16, 0x0012, 0x01)},
          {{0x18, 0x02}, err(0x18, 0x0000, 0x04)},
          {{0x16, 0x0C, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}, {0x17, 0x0C, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}},
          {{0x18, 0x01}, err(0x18, 0x000C, 0x0D)},
          {{0x16, 0x09, 0x00, 0x00, 0x00, 0xEE}, {0x17, 0x09, 0x00, 0x00, 0x00, 0xEE}},
          {{0x18, 0x01}, err(0x18, 0x0009, 0x0D)}}},
    };
    return x;
}

TEST(OrviAttServer, AnswersEachRequestAsRecorded) {
    for (const auto &x : exchanges()) {
        SCOPED_TRACE(x.name);
        Listener l;
        OrviAttServer s(&l);
        s.reset(0x0040);
        for (size_t i = 0; i < x.steps.size(); i++) {
            SCOPED_TRACE("step " + std::to_string(i));
            const Step &st = x.steps[i];
            EXPECT_EQ(s.handle(st.req.data(), st.req.size()), st.rsp);
        }
        EXPECT_EQ(l.writes, x.writes);
        EXPECT_EQ(l.mtu, x.mtu_reported);
    }
}

// The queue holds two full-size values' worth; past that the client hears
// "Prepare Queue Full", and a value assembled past 512 bytes is refused
// without reaching the listener.
TEST(OrviAttServer, PrepareQueueIsBounded) {
    Listener l;
    OrviAttServer s(&l);
    s.reset(0x0040);
    Bytes mtu = {0x02, 0x05, 0x02};
    ASSERT_EQ(s.handle(mtu.data(), mtu.size()), Bytes({0x03, 0x05, 0x02}));
    for (uint16_t off : {0, 512}) {
        Bytes req = cat({0x16, 0x09, 0x00, (uint8_t)off, (uint8_t)(off >> 8)}, pattern(512));
        Bytes rsp = s.handle(req.data(), req.size());
        ASSERT_EQ(rsp.size(), req.size());
        EXPECT_EQ(rsp[0], 0x17);
    }
    Bytes one = {0x16, 0x09, 0x00, 0x00, 0x04, 'x'};
    EXPECT_EQ(s.handle(one.data(), one.size()), err(0x16, 0x0009, 0x09));
    Bytes exec = {0x18, 0x01};
    EXPECT_EQ(s.handle(exec.data(), exec.size()), err(0x18, 0x0009, 0x0D));
    EXPECT_TRUE(l.writes.empty());
    // The refused execute emptied the queue: a fresh long write goes through.
    for (const auto &st : long_write(ORVI_ATT_FD03_VALUE, pattern(40), 18))
        EXPECT_EQ(s.handle(st.req.data(), st.req.size()), st.rsp);
    ASSERT_EQ(l.writes.size(), 1u);
    EXPECT_EQ(l.writes[0].data, pattern(40));
}

// Whatever a client sends, at the smallest and a larger MTU, the server
// answers within the MTU (or not at all) and reads nothing past the PDU
// (the sanitizers watch that): every opcode, every length up to 40,
// contents from a fixed-seed generator, with every handle of the database
// named where a request starts with one.
TEST(OrviAttServer, AnswersAnyPduWithinTheMtu) {
    Listener l;
    uint32_t seed = 12345;
    auto rnd = [&] {
        seed = seed * 1103515245u + 12345u;
        return (uint8_t)(seed >> 16);
    };
    for (uint16_t mtu : {23, 64}) {
        OrviAttServer s(&l);
        s.reset(0x0040);
        Bytes m = {0x02, (uint8_t)mtu, 0x00};
        s.handle(m.data(), m.size());
        for (int op = 0; op < 256; op++) {
            if (op == 0x02) continue;  // keeps the MTU under test
            for (size_t len = 1; len <= 40; len++) {
                Bytes pdu(len);
                pdu[0] = (uint8_t)op;
                for (size_t i = 1; i < len; i++) pdu[i] = rnd();
                if (len >= 5 && (op & 1) == 0) {
                    pdu[1] = (uint8_t)(1 + len % 0x10), pdu[2] = 0;
                    pdu[3] = 0xFF, pdu[4] = 0xFF;
                }
                Bytes rsp = s.handle(pdu.data(), pdu.size());
                ASSERT_LE(rsp.size(), mtu) << "opcode " << op << " length " << len;
            }
        }
    }
}

// A notification must fit the agreed MTU: 3 bytes of header, the rest value.
TEST(OrviAttServer, NotificationFitsTheMtu) {
    OrviAttServer s;
    s.reset(0x0040);
    EXPECT_EQ(s.notification(ORVI_ATT_FD04_VALUE, pattern(20).data(), 20), cat({0x1B, 0x0B, 0x00}, pattern(20)));
    EXPECT_TRUE(s.notification(ORVI_ATT_FD04_VALUE, pattern(21).data(), 21).empty());
    Bytes mtu = {0x02, 0xB9, 0x00};  // 185
    s.handle(mtu.data(), mtu.size());
    EXPECT_EQ(s.notification(ORVI_ATT_FD04_VALUE, pattern(182).data(), 182).size(), 185u);
    EXPECT_TRUE(s.notification(ORVI_ATT_FD04_VALUE, pattern(183).data(), 183).empty());
    s.reset(0x0041);  // a new link starts again at 23
    EXPECT_EQ(s.mtu(), 23);
}

// The request builders a tool uses give the bytes a phone sends.
TEST(OrviAttServer, RequestBuildersGiveTheWireBytes) {
    using namespace orvi_hci;
    const Bytes ab = text("AB");
    const uint8_t u2800[] = {0x00, 0x28};
    struct {
        const char *name;
        Bytes built, wire;
    } cases[] = {
        {"mtu", att_mtu_req(185), {0x02, 0xB9, 0x00}},
        {"find information", att_find_info_req(8, 16), {0x04, 0x08, 0x00, 0x10, 0x00}},
        {"find by type value", att_find_by_type_value_req(1, 0xFFFF, 0x2800, kProvUuid.data(), 16),
         cat({0x06, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x28}, kProvUuid)},
        {"read by type", att_read_by_type_req(1, 0xFFFF, u2800, 2), {0x08, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x28}},
        {"read by group type", att_read_by_group_type_req(7, 0xFFFF, 0x2800),
         {0x10, 0x07, 0x00, 0xFF, 0xFF, 0x00, 0x28}},
        {"read", att_read_req(0x10), {0x0A, 0x10, 0x00}},
        {"read blob", att_read_blob_req(0x10, 22), {0x0C, 0x10, 0x00, 0x16, 0x00}},
        {"write request", att_write(9, ab.data(), 2), {0x12, 0x09, 0x00, 'A', 'B'}},
        {"write command", att_write(9, ab.data(), 2, true), {0x52, 0x09, 0x00, 'A', 'B'}},
        {"prepare write", att_prepare_write_req(9, 3, ab.data(), 2), {0x16, 0x09, 0x00, 0x03, 0x00, 'A', 'B'}},
        {"execute", att_execute_write_req(true), {0x18, 0x01}},
        {"cancel", att_execute_write_req(false), {0x18, 0x00}},
    };
    for (const auto &c : cases) EXPECT_EQ(c.built, c.wire) << c.name;
}

Bytes hex(const char *h) {
    Bytes b;
    for (; h[0] && h[1]; h += 2) b.push_back((uint8_t)std::stoi(std::string(h, 2), nullptr, 16));
    return b;
}

// RFC 4493's own examples.
TEST(OrviGattDb, AesCmacMatchesTheRfcExamples) {
    const Bytes key = hex("2b7e151628aed2a6abf7158809cf4f3c");
    struct {
        const char *msg, *mac;
    } cases[] = {
        {"", "bb1d6929e95937287fa37d129b756746"},
        {"6bc1bee22e409f96e93d7e117393172a", "070a16b46b4d4144f79bdd9dd04a287c"},
        {"6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e5130c81c46a35ce411",
         "dfa66747de9ae63030ca32611497c827"},
    };
    for (const auto &c : cases) {
        Bytes m = hex(c.msg);
        uint8_t out[16];
        ASSERT_EQ(orvi_aes_cmac(key.data(), m.data(), m.size(), out), 0);
        EXPECT_EQ(Bytes(out, out + 16), hex(c.mac)) << c.msg;
    }
}

// The hash, recomputed from the rule: handle, type and value of the
// declarations, handle and type of the configuration descriptor, nothing of
// the characteristic values; read back through ATT.
TEST(OrviGattDb, DatabaseHashFollowsTheDeclarations) {
    Bytes m;
    auto add = [&](Bytes b) { m.insert(m.end(), b.begin(), b.end()); };
    add({0x01, 0x00, 0x00, 0x28, 0x00, 0x18});
    add({0x02, 0x00, 0x03, 0x28, 0x02, 0x03, 0x00, 0x00, 0x2A});
    add({0x04, 0x00, 0x00, 0x28, 0x01, 0x18});
    add({0x05, 0x00, 0x03, 0x28, 0x02, 0x06, 0x00, 0x2A, 0x2B});
    add(cat({0x07, 0x00, 0x00, 0x28}, kProvUuid));
    add({0x08, 0x00, 0x03, 0x28, 0x08, 0x09, 0x00, 0x03, 0xFD});
    add({0x0A, 0x00, 0x03, 0x28, 0x10, 0x0B, 0x00, 0x04, 0xFD});
    add({0x0C, 0x00, 0x02, 0x29});
    add({0x0D, 0x00, 0x03, 0x28, 0x02, 0x0E, 0x00, 0x05, 0xFD});
    add({0x0F, 0x00, 0x03, 0x28, 0x02, 0x10, 0x00, 0x06, 0xFD});
    const uint8_t zero[16] = {0};
    uint8_t mac[16];
    ASSERT_EQ(orvi_aes_cmac(zero, m.data(), m.size(), mac), 0);
    Bytes expect(mac, mac + 16);
    std::reverse(expect.begin(), expect.end());  // a 128-bit ATT value goes little endian

    OrviAttServer s;
    s.reset(0x0040);
    Bytes req = {0x0A, 0x06, 0x00};
    EXPECT_EQ(s.handle(req.data(), req.size()), cat({0x0B}, expect));

    // Any change to a declaration changes the hash; a value does not.
    std::vector<OrviGattAttr> db = orvi_gatt_db();
    uint8_t base[16], changed[16];
    ASSERT_EQ(orvi_gatt_db_hash(db, base), 0);
    EXPECT_EQ(Bytes(base, base + 16), expect);
    db[ORVI_ATT_DEVICE_NAME - 1].value = text("Other");
    ASSERT_EQ(orvi_gatt_db_hash(db, changed), 0);
    EXPECT_EQ(Bytes(changed, changed + 16), expect);
    db[0x0008 - 1].value[0] |= 0x04;  // FD03 also written without response
    ASSERT_EQ(orvi_gatt_db_hash(db, changed), 0);
    EXPECT_NE(Bytes(changed, changed + 16), expect);
}

}  // namespace
