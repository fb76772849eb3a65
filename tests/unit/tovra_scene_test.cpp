// Lighting scenes, panel keys, device deletion and binding, scene locks and
// room set, driven through their topics (or entry points) with items sealed
// as the host's siblings seal them. The tables are real SQLite files under a
// scratch board root, the requests go through the built lighting codecs, and
// what was queued is read back from the queues and decoded.
#include <cJSON.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "event_publish_capture.h"
#include "local_mqtt_pack.h"
#include "orvi_field.h"
#include "orvi_testing.h"
#include "product_subdev.h"
#include "scratch_root.h"
#include "tovra_dispatch.h"
#include "local_mqtt.h"
#include "orvi_factory_test.h"
#include "orvi_subdev_ctrl.h"
#include "tovra_event.h"
#include "tovra_hooks.h"
#include "tovra_main.h"
#include "tovra_payload.h"
#include "tovra_queue.h"
#include "tovra_scene.h"
#include "tovra_sql.h"
#include "tovra_uart.h"

using namespace publish_test;
using strings = std::vector<std::string>;

namespace {

const char *const kModels[] = {"70314", "70710", "80501", "80401", "70721", "70726",
                               "70718", "70725", "80205", "80601"};

// One queued command in words: what it does, to which address, with which
// scene and key.
std::string describe(const tovra_msg_t &m) {
    char b[160];
    const uint8_t *a = m.atdata;
    if (strcmp(m.atcmd, "AT+IHG") == 0) {
        if (m.atlen == 1 && a[0] == 0xFF) return "bigscene";
        const unsigned addr = (a[1] << 8) | a[2];
        const uint8_t *d = a + TOVRA_PAYLOAD_HEAD;
        const unsigned id = (d[0] << 16) | (d[1] << 8) | d[2];
        const std::string req = m.scene_reqId[0] ? std::string(" req=") + m.scene_reqId : "";
        switch (a[0]) {
        case TOVRA_OP_SCENE_BIND_DEVICE: snprintf(b, sizeof b, "scene_bind a=%u s=%u", addr, id); break;
        case TOVRA_OP_SCENE_REMOVE_DEVICE: snprintf(b, sizeof b, "scene_remove a=%u s=%u", addr, id); break;
        case TOVRA_OP_SCENE_BIND_PANEL: snprintf(b, sizeof b, "panel_bind a=%u s=%u k=%u", addr, id, d[3]); break;
        case TOVRA_OP_SCENE_BIND_SUPER_PANEL: snprintf(b, sizeof b, "super_bind a=%u s=%u k=%u", addr, id, d[3]); break;
        case TOVRA_OP_SCENE_UNBIND_PANEL: snprintf(b, sizeof b, "panel_unbind a=%u s=%u k=%u", addr, id, d[3]); break;
        case TOVRA_OP_MODIFY_ROOM: snprintf(b, sizeof b, "room a=%u r=%u", addr, d[0]); break;
        case TOVRA_OP_SCENE_CONTROL: snprintf(b, sizeof b, "scene_ctrl a=%u s=%u", addr, id); break;
        default: snprintf(b, sizeof b, "op %u a=%u", a[0], addr); break;
        }
        return b + req;
    }
    if (strcmp(m.atcmd, "AT+CTRL") == 0) {
        const bool wide = a[1] & 0x80;
        const unsigned addr = wide ? (a[2] << 8) | a[3] : a[2];
        const uint8_t *r = a + (wide ? 4 : 3);
        if (r[0] == 0x90) snprintf(b, sizeof b, "ctrl_reset a=%u", addr);
        else if (r[0] == 0x80) snprintf(b, sizeof b, "roomset a=%u k=%u r=%u", addr, r[1], r[2]);
        else snprintf(b, sizeof b, "ctrl a=%u", addr);
        return b;
    }
    return m.atcmd;
}

// Everything waiting, queue by queue, runs of one command as "... xN".
strings queued() {
    const char *names[] = {"main", "bind", "scene", "retry"};
    const int order[] = {TOVRA_QUEUE_MAIN, TOVRA_QUEUE_SCENE_BIND, TOVRA_QUEUE_SCENE, TOVRA_QUEUE_RETRY};
    strings out;
    for (int q = 0; q < 4; ++q) {
        std::string last;
        int run = 0;
        auto flush = [&] {
            if (run) out.push_back(std::string(names[q]) + ": " + last + (run > 1 ? " x" + std::to_string(run) : ""));
        };
        tovra_msg_t m;
        for (int i = 0; tovra_queue_peek(order[q], i, &m); ++i) {
            const std::string d = describe(m);
            if (d != last) {
                flush();
                last = d;
                run = 0;
            }
            ++run;
        }
        flush();
    }
    return out;
}

void copy_file(const std::string &from, const std::string &to) {
    std::ifstream in(from, std::ios::binary);
    ASSERT_TRUE(in.good()) << from;
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    out << in.rdbuf();
}

class TovraScene : public ::testing::Test {
  protected:
    void SetUp() override {
        product_registry_reset_for_test();
        tovra_queue_reset();
        tovra_scene_reset_for_test();
        tovra_event_reset_for_test();
        for (const char *mid : kModels)
            copy_file(std::string(ORVI_BINARY_DIR) + "/lib/lib" + mid + ".so",
                      root_.path(std::string("/data/domivault/data/lib/lib") + mid + ".so"));
        ASSERT_EQ(4, tovra_sql_tables_create());
    }
    void TearDown() override {
        tovra_queue_reset();
        tovra_scene_reset_for_test();
        product_registry_reset_for_test();
    }

    static void device(int addr, const char *mac, const char *mid) {
        host_tovra_devcie_info_t r{};
        r.addr = addr;
        orvi_field_copy_cut(r.mac, mac);
        orvi_field_copy_cut(r.mid, mid);
        r.online = 1;
        orvi_field_copy_cut(r.status, "0");
        r.rowid = -1;
        ASSERT_EQ(1, tovra_info_sql_table_insert(TOVRA_INFO_DB, TOVRA_INFO_TABLE, &r));
    }
    static int rows_of(const char *mac) {
        std::vector<host_tovra_devcie_info_t> rows;
        return tovra_info_sql_table_select(TOVRA_INFO_DB, TOVRA_INFO_TABLE, "MAC", tovra_sql_text(mac), rows);
    }
    // The panel-key rows, "addrkeynum addr scene key mid", in row order.
    static strings keys() {
        std::vector<host_tovra_scene_devcie_info_t> rows;
        tovra_scene_info_sql_table_select(TOVRA_SCENE_INFO_DB, TOVRA_SCENE_INFO_TABLE, nullptr, tovra_sql_num(0), rows);
        strings out;
        for (const auto &r : rows)
            out.push_back(std::to_string(r.addrkeynum) + " " + std::to_string(r.addr) + " " + std::to_string(r.sceneid) +
                          " " + std::to_string(r.keynum) + " " + r.mid);
        return out;
    }
    static void send(const char *topic, const std::string &body) {
        tovra_event_dispatch_handle(topic, sibling_item(body).c_str());
    }

    ScratchRoot root_;
    PublishCapture capture_;
};

// ---- device deletion ------------------------------------------------------------------

// The reset depends on the model: a cube and a scene switch take their key 15
// to scene 12345 six times (two copies each), on the main and the retry
// queue; anything else the control reset five times. The deleted-table row
// of the address is replaced by the device, and the device leaves the table.
TEST_F(TovraScene, ADeletedDeviceIsResetByItsModelRecordedAndForgotten) {
    struct Case {
        const char *mid;
        int addr;
        strings queued;
    } cases[] = {
        {"80205", 0x21, {"main: panel_bind a=33 s=12345 k=15 x12"}},
        {"80601", 0x22, {"retry: panel_bind a=34 s=12345 k=15 x12"}},
        {"70314", 0x123, {"retry: ctrl_reset a=291 x10"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mid);
        tovra_queue_reset();
        device(c.addr, "0a0b0c0d0e0f", c.mid);
        device(c.addr + 1, "0a0b0c0d0e10", "70314");
        // An older device once had the address.
        host_delete_info_t old{static_cast<uint16_t>(c.addr), "ffffffffffff", "70710"};
        tovra_delete_sql_table_insert(TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE, &old);

        send("deletedev8app/0a0b0c0d0e0f", "{\"mac\":\"0a0b0c0d0e0f\"}");

        EXPECT_EQ(c.queued, queued());
        std::vector<host_delete_info_t> gone;
        ASSERT_EQ(1, tovra_delete_sql_table_select(TOVRA_DELETE_INFO_DB, TOVRA_DELETE_TABLE, "DELETEADDR",
                                                   tovra_sql_num(c.addr), gone));
        EXPECT_STREQ("0a0b0c0d0e0f", gone[0].mac);
        EXPECT_STREQ(c.mid, gone[0].mid);
        EXPECT_EQ(0, rows_of("0a0b0c0d0e0f"));
        EXPECT_EQ(1, rows_of("0a0b0c0d0e10"));
        tovra_info_sql_table_delete(TOVRA_INFO_DB, TOVRA_INFO_TABLE, nullptr, tovra_sql_num(0));
    }
    // The app's deletion by MAC (a gang's 14 characters) acts the same; an
    // unknown MAC changes nothing.
    tovra_queue_reset();
    device(0x30, "0a0b0c0d0e11", "80205");
    EXPECT_EQ(-1, tovra_device_delete_apply("0a0b0c0d0e99"));
    EXPECT_TRUE(queued().empty());
    EXPECT_EQ(0, tovra_device_delete_apply("0a0b0c0d0e1101"));
    EXPECT_EQ(strings{"main: panel_bind a=48 s=12345 k=15 x12"}, queued());
    EXPECT_EQ(0, rows_of("0a0b0c0d0e11"));
}

// ---- scene deletion and setting ---------------------------------------------------------

// A light's scene removal goes at once; a multi-key switch's (80401) waits.
// A second deletion of the scene adds to the waiting MACs, a MAC set to the
// scene again leaves them, and the next whole-network scene for a device
// the table does not know sends the broadcast and then every removal held.
TEST_F(TovraScene, SwitchSceneDeletionsWaitForTheWholeNetworkScene) {
    device(6, "11aa00000006", "70314");
    device(5, "11aa00000005", "80401");
    device(9, "11aa00000009", "70726");
    device(10, "11aa0000000a", "80401");

    send("scene/set/7", R"({"type":"delete","subSceneID":7,"subMac":["11aa0000000501","11aa00000006"]})");
    EXPECT_EQ(strings{"scene: scene_remove a=6 s=7"}, queued());
    EXPECT_EQ(strings{"11aa00000005"}, tovra_scene_pending_macs(7));

    send("scene/set/7", R"({"type":"delete","subSceneID":7,"subMac":["11aa00000009","11aa0000000a"]})");
    EXPECT_EQ((strings{"11aa00000005", "11aa00000009", "11aa0000000a"}), tovra_scene_pending_macs(7));

    // Set to scene 7 again: no longer to be removed.
    tovra_queue_reset();
    send("scene/set/7",
         R"({"subSceneID":7,"reqId":"q1","cmd":"{\"t\":\"cmd\",\"sub\":\"11aa0000000a\",\"opt\":[\"Sw1\"],\"p\":[1]}"})");
    EXPECT_EQ(strings{"scene: scene_bind a=10 s=7 req=q1"}, queued());
    EXPECT_EQ((strings{"11aa00000005", "11aa00000009"}), tovra_scene_pending_macs(7));

    tovra_queue_reset();
    send("scene/set/255",
         R"({"subSceneID":255,"reqId":"q2","cmd":"{\"t\":\"cmd\",\"sub\":\"99ee00000001\",\"opt\":[\"Pow\"],\"p\":[1]}"})");
    EXPECT_EQ((strings{"scene: scene_remove a=5 s=7", "scene: scene_remove a=9 s=7", "retry: bigscene"}), queued());
    EXPECT_EQ(0u, tovra_scene_pending_scenes());
}

// Twenty scenes may wait; the deletion of a 21st is dropped with a log line
// and the twenty stay. Another scene id for an unknown MAC is only logged.
TEST_F(TovraScene, AFullPendingListDropsTheNextSceneWithALogLine) {
    device(5, "11aa00000005", "80401");
    for (int id = 1; id <= TOVRA_SCENE_DELETE_LIST_SIZE; ++id)
        send("scene/set", R"({"type":"delete","subSceneID":)" + std::to_string(id) + R"(,"subMac":["11aa00000005"]})");
    ASSERT_EQ(static_cast<size_t>(TOVRA_SCENE_DELETE_LIST_SIZE), tovra_scene_pending_scenes());

    testing::internal::CaptureStdout();
    send("scene/set", R"({"type":"delete","subSceneID":21,"subMac":["11aa00000005"]})");
    send("scene/set",
         R"({"subSceneID":30,"reqId":"q","cmd":"{\"t\":\"cmd\",\"sub\":\"99ee00000001\",\"opt\":[\"Pow\"],\"p\":[1]}"})");
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, log.find("scene deletion list full: 11aa00000005 of scene 21 dropped")) << log;
    EXPECT_NE(std::string::npos, log.find("sublist do not have this mac!")) << log;
    EXPECT_TRUE(tovra_scene_pending_macs(21).empty());
    EXPECT_EQ(strings{"11aa00000005"}, tovra_scene_pending_macs(20));
    EXPECT_TRUE(queued().empty());
}

// ---- panel keys -----------------------------------------------------------------------------

// A key's row is address x 10 + key index, kept whole: a panel at 7000 and
// one at 446 (whose numbers agree in 16 bits) keep their own rows. Binding a
// key again changes its scene only. Key numbers outside 1 to 10 and missing
// fields are refused before anything is written or queued.
TEST_F(TovraScene, PanelKeysAreBoundOnTheirOwnRows) {
    device(446, "22bb000001be", "70718");
    device(7000, "22bb00001b58", "70726");
    struct Case {
        const char *body;
        strings queued;
        strings rows;
    } cases[] = {
        {R"({"subSceneID":40,"subMac":"22bb000001be","keyid":7,"type":"bind","reqId":"b1"})",
         {"bind: panel_bind a=446 s=40 k=6 req=b1"},
         {"4466 446 40 6 70718"}},
        {R"({"subSceneID":300,"subMac":"22bb00001b58","keyid":3,"type":"bind","reqId":"b2"})",
         {"bind: super_bind a=7000 s=300 k=2 req=b2"},
         {"4466 446 40 6 70718", "70002 7000 300 2 70726"}},
        {R"({"subSceneID":301,"subMac":"22bb00001b58","keyid":3,"type":"bind","reqId":"b3"})",
         {"bind: super_bind a=7000 s=301 k=2 req=b3"},
         {"4466 446 40 6 70718", "70002 7000 301 2 70726"}},
        {R"({"subSceneID":41,"subMac":"22bb000001be","keyid":0,"type":"bind","reqId":"b4"})", {}, {}},
        {R"({"subSceneID":41,"subMac":"22bb000001be","keyid":11,"type":"bind","reqId":"b5"})", {}, {}},
        {R"({"subSceneID":41,"subMac":"22bb000001be","type":"bind","reqId":"b6"})", {}, {}},
        {R"({"subSceneID":41,"subMac":"33cc00000001","keyid":1,"type":"bind","reqId":"b7"})", {}, {}},
    };
    strings rows;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body);
        tovra_queue_reset();
        send("scene/bind/x", c.body);
        EXPECT_EQ(c.queued, queued());
        if (!c.rows.empty()) rows = c.rows;
        EXPECT_EQ(rows, keys());
    }
}

// Unbinding: the panels that have no free key (70718, 70724, 70725) are bound
// to scene 100 instead; the others are unbound from the scene.
TEST_F(TovraScene, UnbindingAKeyRebindsIdlePanelsToScene100) {
    device(20, "22bb00000014", "70718");
    device(21, "22bb00000015", "70726");
    struct Case {
        const char *body;
        strings queued;
    } cases[] = {
        {R"({"subSceneID":9,"subMac":"22bb00000014","keyid":2,"type":"unbind","reqId":"u1"})",
         {"bind: panel_bind a=20 s=100 k=1 req=u1"}},
        {R"({"subSceneID":9,"subMac":"22bb00000015","keyid":4,"type":"unbind","reqId":"u2"})",
         {"bind: panel_unbind a=21 s=9 k=3 req=u2"}},
        {R"({"subSceneID":9,"subMac":"22bb00000015","keyid":0,"type":"unbind","reqId":"u3"})", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body);
        tovra_queue_reset();
        send("scene/unbind/x", c.body);
        EXPECT_EQ(c.queued, queued());
    }
}

// Deleting a scene from the panels: every key bound to that scene (and no
// key of another scene, even one equal in its low byte) is unbound, or
// rebound to 100, then the scene is removed from the network three times.
TEST_F(TovraScene, DeletingASceneFromPanelsUnbindsEveryBoundKey) {
    device(20, "22bb00000014", "70718");
    device(7000, "22bb00001b58", "70726");
    device(30, "22bb0000001e", "70726");
    send("scene/bind/x", R"({"subSceneID":300,"subMac":"22bb00000014","keyid":1,"type":"bind","reqId":"b"})");
    send("scene/bind/x", R"({"subSceneID":300,"subMac":"22bb00001b58","keyid":3,"type":"bind","reqId":"b"})");
    send("scene/bind/x", R"({"subSceneID":44,"subMac":"22bb0000001e","keyid":2,"type":"bind","reqId":"b"})");
    tovra_queue_reset();

    send("scene/deleteb/x", R"({"subSceneID":300,"mac":"HOME000000000001","type":"deleteb","reqId":"d1"})");
    EXPECT_EQ((strings{"bind: panel_bind a=20 s=100 k=0 req=d1", "bind: panel_unbind a=7000 s=300 k=2 req=d1",
                       "scene: scene_remove a=0 s=300 x3"}),
              queued());

    tovra_queue_reset();
    send("scene/deleteb/x", R"({"subSceneID":300,"type":"deleteb","reqId":"d2"})");
    EXPECT_TRUE(queued().empty());
}

// ---- device-to-key binding ------------------------------------------------------------------

// The device kind travels with the key: 1 for the lights 70314/70315, 2 for
// the curtain 80501, 0 for anything else; the bind goes three times.
TEST_F(TovraScene, DeviceBindCarriesTheKindOfTheSwitchedDevice) {
    device(20, "22bb00000014", "70718");
    device(40, "44dd00000028", "70314");
    device(41, "44dd00000029", "80501");
    device(42, "44dd0000002a", "70710");
    struct Case {
        int addr;
        int keyid;
        strings queued;
    } cases[] = {
        {40, 2, {"main: panel_bind a=20 s=40 k=18 x3"}},
        {41, 3, {"main: panel_bind a=20 s=41 k=35 x3"}},
        {42, 1, {"main: panel_bind a=20 s=42 k=1 x3"}},
        {42, 11, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.addr);
        tovra_queue_reset();
        send("device/bind", R"({"addr":)" + std::to_string(c.addr) + R"(,"subMac":"22bb00000014","keyid":)" +
                                std::to_string(c.keyid) + R"(,"type":"bind"})");
        EXPECT_EQ(c.queued, queued());
    }
}

// ---- scene locks ---------------------------------------------------------------------------

// Lock one comes from "/parameter" "scenelock", lock two from "/scene/lock2";
// the unlock event ("/parameter" scenelock 0) goes only on the change from
// locked to unlocked with both locks open.
TEST_F(TovraScene, SceneLockEventsFollowBothLocks) {
    auto parameter = [](int v) {
        return R"({"mac":"a0b1c2d3e4f5","sub":"","mid":"","plaintext":{"cols":["scenelock"],"dat":[)" +
               std::to_string(v) + "]}}";
    };
    struct Step {
        const char *topic;
        std::string body;
        int lock2;
        bool unlock_sent;
    } steps[] = {
        {"/parameter", parameter(1), 0, false},
        {"/scene/lock2", "1", 1, false},
        {"/scene/lock2", "0", 0, false},  // lock one still held
        {"/parameter", parameter(0), 0, false},
        {"/scene/lock2", "0", 0, true},
        {"/scene/lock2", "0", 0, false},  // no change
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.topic + (" " + s.body));
        PublishCapture::clear();
        send(s.topic, s.body);
        EXPECT_EQ(s.lock2, tovra_scene_lock2_flag.load());
        const strings t = PublishCapture::topics();
        EXPECT_EQ(s.unlock_sent, std::find(t.begin(), t.end(), "/parameter") != t.end());
    }
}

// ---- room set ------------------------------------------------------------------------------

// A multi-key switch's key is the two characters after its MAC's first 12;
// other models take the room alone; each goes three times. A model with "_",
// a switch MAC without a key and an unknown device are refused.
TEST_F(TovraScene, RoomSetNamesTheSwitchKeyFromTheMac) {
    device(5, "11aa00000005", "80401");
    device(6, "11aa00000006", "70314");
    struct Case {
        const char *mac;
        const char *mid;
        int rc;
        strings queued;
    } cases[] = {
        {"11aa0000000502", "80401", 0, {"retry: roomset a=5 k=2 r=3 x3"}},
        {"11aa00000006", "70314", 0, {"retry: room a=6 r=3 x3"}},
        {"11aa00000006", "703_14", -1, {}},
        {"11aa00000005", "80401", -1, {}},
        {"11aa0000000503", "80401", 0, {"retry: roomset a=5 k=3 r=3 x3"}},
        {"11aa00000099", "70314", -1, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.mac) + " " + c.mid);
        tovra_queue_reset();
        EXPECT_EQ(c.rc, tovra_room_set_apply(c.mac, c.mid, 3));
        EXPECT_EQ(c.queued, queued());
    }
}

}  // namespace

// ---- the host's own scene broadcast -------------------------------------------------

namespace {

// The module reports a scene it heard on the air as "AT+SCENE", the kind,
// then the id's three bytes.
void heard(uint8_t kind, uint32_t id) {
    const uint8_t f[] = {'A', 'T', '+', 'S', 'C', 'E', 'N', 'E', kind,
                         static_cast<uint8_t>(id >> 16), static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id)};
    at_scene_msg_recv(f, sizeof f);
}

// The lighting service and its link wired as start-up wires them, for one
// test.
struct Wired {
    Wired() {
        tovra_link_wire();
        tovra_service_install(&tovra_service_ops);
        send_scene_ids_clear();
        tovra_trivox_scene_id_clear();
        local_mqtt_pending_clear();
        scene_id_default_set(SCENE_ID_DEFAULT_IDLE);
    }
    ~Wired() {
        tovra_service_install(nullptr);
        tovra_link_hooks_install(nullptr);
        send_scene_ids_clear();
        tovra_trivox_scene_id_clear();
        local_mqtt_pending_clear();
        scene_id_default_set(SCENE_ID_DEFAULT_IDLE);
    }
};

}  // namespace

// A scene the host broadcasts (a room's default scene, the self-check's
// home-wide ones) is the scene control of its whole 24-bit id, written three
// times; an id that is no scene is refused and nothing is queued.
TEST_F(TovraScene, TheHostsBroadcastIsTheSceneControlOfItsWholeId) {
    Wired wired;
    struct Case {
        uint32_t id;
        strings queued;
    } cases[] = {
        {0x030402, {"main: scene_ctrl a=0 s=197634 x3"}},
        {2, {"main: scene_ctrl a=0 s=2 x3"}},
        {0xFFFFFF, {"main: scene_ctrl a=0 s=16777215 x3"}},
        {0, {}},
        {0x1000000, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.id);
        tovra_queue_reset();
        send_scene_ids_clear();
        tovra_trivox_scene_send(c.id);
        EXPECT_EQ(c.queued, queued());
        EXPECT_EQ(!c.queued.empty(), send_scene_id_recent(c.id));
    }
}

// The module hears the host's broadcast on the air and reports it like a
// panel's key press. For the second the id is the panels' status that echo
// is no new scene for the cloud; a panel's own scene is. The host's
// default-scene control hears both, and a home-wide default moves the phase
// of a running self-check only.
TEST_F(TovraScene, TheEchoOfTheHostsBroadcastIsNoNewKeyPress) {
    Wired wired;
    tovra_trivox_scene_status_set(0x030402);
    tovra_trivox_scene_send(0x030402);
    capture_.clear();
    heard(2, 0x030402);
    EXPECT_TRUE(capture_.topics().empty()) << capture_.topics().front();

    heard(2, 0x030401);
    EXPECT_EQ(strings({"/trivox2/scenebroadcast", "/trivox/scenebroadcast"}), capture_.topics());

    // All on from a panel: idle stays idle; a check in its all-off phase
    // moves on to all on.
    tovra_trivox_scene_id_clear();
    heard(2, DEFAULT_SCENE_ON);
    EXPECT_EQ(SCENE_ID_DEFAULT_IDLE, scene_id_default_get());
    tovra_trivox_scene_id_clear();
    scene_id_default_set(DEFAULT_SCENE_OFF);
    heard(2, DEFAULT_SCENE_ON);
    EXPECT_EQ(DEFAULT_SCENE_ON, scene_id_default_get());
}

// The module's factory-test keys 3 and 4 tell the factory rig's CAN and
// RS-485 testers "on" and "off", in that order, and have the factory test
// send its default-scene command with the key's power.
TEST_F(TovraScene, TheModulesFactoryKeysReachTheFactoryRig) {
    Wired wired;
    static strings commands;
    commands.clear();
    orvi_factory_test_ops_t factory = orvi_factory_test_not_built;
    factory.send_default_scene = [](int scene, int ctrl) {
        commands.push_back(std::to_string(scene) + " " + std::to_string(ctrl));
        return 0;
    };
    orvi_factory_test_install(&factory);
    heard(2, 0x000103);
    heard(2, 0x000104);
    orvi_factory_test_install(nullptr);
    strings got;
    for (const local_pub_msg_t &m : local_mqtt_pending(LOCAL_PUB_LIST_CONTROL))
        if (m.topic.compare(0, 8, "Factory/") == 0) got.push_back(m.topic + " " + m.payload);
    EXPECT_EQ(strings({"Factory/cmd/can {\"t\":\"on\"}", "Factory/cmd/485 {\"t\":\"on\"}",
                       "Factory/cmd/can {\"t\":\"off\"}", "Factory/cmd/485 {\"t\":\"off\"}"}),
              got);
    // Scene 2 with "Pow" 1 (ctrl 1) for key 3, 0 (ctrl 2) for key 4.
    EXPECT_EQ(strings({"2 1", "2 2"}), commands);
}
