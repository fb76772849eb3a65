// Chunking of long replies into "CP" packets sized to the negotiated MTU,
// and the joining of chunk packets back into the message they carry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ble_cp_packets.h"
#include "intake_test_support.h"
#include "orvi_ble_cp.h"
#include "orvi_json.h"

using intake_test::members;

namespace {

using ble_cp_packets::cp;
using ble_cp_packets::cp_field;
using ble_cp_packets::parse;
using ble_cp_packets::reply_of;

// ---- CP chunking ---------------------------------------------------------------------------

TEST(BleCpSplit, ChunksFitThePayloadAndJoinBack) {
    struct Case {
        const char *name;
        size_t len;
        size_t payload;
        std::vector<size_t> chunk_sizes;  // empty: only checks fit and rejoin
        bool none;                        // nothing can be sent
    } cases[] = {
        {"121 bytes, large MTU: 50/50/21", 121, 244, {50, 50, 21}, false},
        {"300 bytes, large MTU", 300, 512, {50, 50, 50, 50, 50, 50}, false},
        {"small MTU cuts chunks below 50", 121, 80, {}, false},
        {"MTU 23 carries no chunk", 121, 20, {}, true},
    };
    for (const Case &c : cases) {
        const std::string text = reply_of(c.len);
        const std::vector<std::string> packets = orvi_ble_cp_split(text, c.payload, "Ab3dE9");
        if (c.none) {
            EXPECT_TRUE(packets.empty()) << c.name;
            continue;
        }
        ASSERT_FALSE(packets.empty()) << c.name;
        std::string joined;
        std::vector<size_t> sizes;
        for (size_t j = 0; j < packets.size(); ++j) {
            const std::string &p = packets[j];
            EXPECT_LE(p.size(), c.payload) << c.name << " packet " << j;
            EXPECT_EQ((std::vector<std::string>{"t", "pins", "pin", "tag", "CP"}), members(p)) << c.name;
            EXPECT_EQ("CP", cp_field(p, "t"));
            EXPECT_EQ(std::to_string(packets.size()), cp_field(p, "pins")) << c.name;
            EXPECT_EQ(std::to_string(j + 1), cp_field(p, "pin")) << c.name;
            EXPECT_EQ("Ab3dE9", cp_field(p, "tag")) << c.name;
            const std::string chunk = cp_field(p, "CP");
            EXPECT_LE(chunk.size(), ORVI_BLE_CP_CHUNK) << c.name;
            sizes.push_back(chunk.size());
            joined += chunk;
        }
        EXPECT_EQ(text, joined) << c.name;
        if (!c.chunk_sizes.empty()) {
            EXPECT_EQ(c.chunk_sizes, sizes) << c.name;
        }
    }
}

// ---- Reassembly ------------------------------------------------------------------------------


TEST(BleCpReassembler, JoinsOnlyWholeMessages) {
    const std::string a = "{\"t\":\"pack\",", b = "\"pack\":\"x}{\"", c = "}tail";
    const std::string whole = "{\"t\":\"pack\",\"pack\":\"x}{\"}";
    struct Case {
        const char *name;
        std::vector<std::string> packets;
        std::vector<std::string> completed;  // messages completed, in order
    } cases[] = {
        {"in order", {cp(3, 1, "tagAAA", a), cp(3, 2, "tagAAA", b), cp(3, 3, "tagAAA", c)}, {whole}},
        {"out of order", {cp(3, 3, "tagAAA", c), cp(3, 1, "tagAAA", a), cp(3, 2, "tagAAA", b)}, {whole}},
        {"duplicate cannot fill a gap",
         {cp(3, 1, "tagAAA", a), cp(3, 1, "tagAAA", a), cp(3, 1, "tagAAA", a), cp(3, 3, "tagAAA", c)},
         {}},
        {"duplicate then the missing chunk",
         {cp(3, 1, "tagAAA", a), cp(3, 1, "tagAAA", a), cp(3, 3, "tagAAA", c), cp(3, 2, "tagAAA", b)},
         {whole}},
        {"new tag mid-message abandons the old one",
         {cp(3, 1, "tagAAA", a), cp(3, 2, "tagAAA", "JUNK"), cp(3, 1, "tagBBB", a), cp(3, 2, "tagBBB", b),
          cp(3, 3, "tagBBB", c), cp(3, 3, "tagAAA", c)},
         {whole}},
        {"a longer tag is the same six characters",
         {cp(2, 1, "tagAAAxyz", "{\"a\":"), cp(2, 2, "tagAAA", "1}")},
         {"{\"a\":1}"}},
        {"huge pins refused, the open message kept",
         {cp(2, 1, "tagAAA", "{\"a\":"), cp(1000000000, 1, "tagAAA", "{}"), cp(2, 2, "tagAAA", "1}")},
         {"{\"a\":1}"}},
        {"pin out of range dropped", {cp(2, 3, "tagAAA", "{}"), cp(2, 0, "tagAAA", "{}")}, {}},
        {"missing fields", {R"({"t":"CP","pins":1,"pin":1,"CP":"{}"})", R"({"t":"CP","pins":1,"tag":"x","CP":"{}"})",
                            R"({"t":"CP","pins":"1","pin":1,"tag":"x","CP":"{}"})"}, {}},
        {"no object in the joined text", {cp(1, 1, "tagAAA", "{\"a\":1")}, {}},
        {"chunks past the bound", {cp(2, 1, "tagAAA", std::string(1000, 'x')), cp(2, 2, "tagAAA", "{" + std::string(100, 'y') + "}")}, {}},
    };
    for (const Case &c : cases) {
        OrviCpReassembler r;
        std::vector<std::string> done;
        for (const std::string &p : c.packets) {
            orvi_json::json_ptr j = parse(p);
            std::string out;
            if (r.take(j.get(), &out) == OrviCpReassembler::CP_COMPLETE) done.push_back(out);
        }
        EXPECT_EQ(c.completed, done) << c.name;
    }
}

// ---- Gathering the app's writes ----------------------------------------------------------

TEST(BleRxGather, GathersWithinOneBound) {
    const std::string pkt = R"({"t":"pack","i":1,"pack":"QUJD"})";
    struct Case {
        const char *name;
        std::vector<std::string> pieces;
        std::vector<std::string> complete;
    } cases[] = {
        {"whole", {pkt}, {pkt}},
        {"split in three", {pkt.substr(0, 5), pkt.substr(5, 9), pkt.substr(14)}, {pkt}},
        {"not an object start, then whole", {"abc", pkt}, {pkt}},
        {"trailing junk is not a text", {pkt + "x"}, {}},
        {"junk that never completes, then a whole packet", {"{\"t\":", "{", pkt}, {pkt}},
        {"flood of {", std::vector<std::string>(100, std::string(40, '{')), {}},
        {"one piece over the bound", {"{" + std::string(ORVI_BLE_RX_MAX, ' ') + "}"}, {}},
    };
    for (const Case &c : cases) {
        OrviBleRxGather g;
        std::vector<std::string> done;
        for (const std::string &p : c.pieces) {
            std::string out;
            if (g.add(p.data(), p.size(), &out) == OrviBleRxGather::COMPLETE) done.push_back(out);
            EXPECT_LE(g.size(), ORVI_BLE_RX_MAX) << c.name;
        }
        EXPECT_EQ(c.complete, done) << c.name;
    }
}

}  // namespace
