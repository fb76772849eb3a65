#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "event_publish_capture.h"
#include "orvi_field.h"
#include "orvi_log.h"
#include "orvi_mid_config.h"
#include "orvi_product.h"
#include "pending_calls.h"
#include "product_subdev.h"
#include "scratch_root.h"
#include "home_identity.h"
#include "orvi_testing.h"

namespace {
const char *kHomeMac = "HOMEMAC000000001";
const char *kHomeKey = "homekey123456789";

using json_ptr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;
json_ptr own(cJSON *j) {
    return json_ptr(j, &cJSON_Delete);
}

orvi_subdev_list_t dev(const std::string &mac, dev_type_t type = DEV_TYPE_UDP, const std::string &name = "",
                       const std::string &mid = "") {
    orvi_subdev_list_t d;
    orvi_field_set(d.mac, mac);
    orvi_field_set(d.name, name);
    orvi_field_set(d.mid, mid);
    d.dev_type = type;
    return d;
}

orvi_subdev_ptr add(const std::string &mac, dev_type_t type = DEV_TYPE_UDP, const std::string &name = "",
                    const std::string &mid = "") {
    orvi_subdev_list_t d = dev(mac, type, name, mid);
    return product_add_subdev_to_host(&d);
}

std::string mac12(unsigned n) {
    char b[16];
    snprintf(b, sizeof b, "%012x", n);
    return b;
}

std::vector<std::string> table_macs() {
    std::vector<std::string> out;
    for (const orvi_subdev_ptr &p : product_subdev_list_snapshot())
        out.emplace_back(p->mac);
    return out;
}

orvi_subdev_info_t info(const std::string &mac, dev_type_t type) {
    orvi_subdev_info_t i{};
    orvi_field_set(i.mac, mac);
    i.dev_type = type;
    return i;
}

// The registry keeps its listeners for the life of the process: one
// forwarder is registered once and hands each report to the running test's
// function, if any.
std::mutex g_heard_mu;
std::function<int(const product_subdev_change_t &)> g_heard;
void listen(std::function<int(const product_subdev_change_t &)> fn) {
    static const bool registered = [] {
        product_subdev_listener_add([](const product_subdev_change_t &c) {
            std::function<int(const product_subdev_change_t &)> f;
            {
                std::lock_guard<std::mutex> lk(g_heard_mu);
                f = g_heard;
            }
            return f ? f(c) : 0;
        });
        return true;
    }();
    (void)registered;
    std::lock_guard<std::mutex> lk(g_heard_mu);
    g_heard = std::move(fn);
}

class Registry : public ::testing::Test {
  protected:
    void SetUp() override {
        product_registry_reset_for_test();
        ASSERT_EQ(0, product_linkinglist_init());
        pending_calls_clear();
        pending_set_result(-1);
    }
    void TearDown() override {
        listen(nullptr);
        product_registry_reset_for_test();
        product_host_settings_reset_for_test();
        orvi_log_level_set(ORVI_LOG_INFO);
    }
    void load_mid_config(const std::string &text) {
        root.write("/data/domivault/data/mid_config.json", text);
        orvi_mid_config_init();
    }
    ScratchRoot root;
    home_identity identity{kHomeMac, kHomeKey};
};

// ---- add, lookup, delete ----

TEST_F(Registry, HomeMacIsRefused) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(nullptr, add(kHomeMac));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("'HOMEMAC000000001' is host,so it doesn't need to add to subdev!"));
    EXPECT_EQ(0u, product_get_host_subdev_count());
}

TEST_F(Registry, FullTableRefusesNewMacButMergesKnownOne) {
    orvi_log_level_set(ORVI_LOG_WARN);
    for (unsigned i = 0; i < ORVI_SUBDEV_MAX - 1; ++i)
        ASSERT_NE(nullptr, add(mac12(i)));
    ASSERT_EQ(999u, product_get_host_subdev_count());

    testing::internal::CaptureStdout();
    EXPECT_EQ(nullptr, add(mac12(5000)));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("the devices number is 1000,the devices list is full,add failed"));

    orvi_subdev_ptr merged = add(mac12(998), DEV_TYPE_UDP, "kitchen");
    ASSERT_NE(nullptr, merged);
    EXPECT_STREQ("kitchen", orvi_subdev_snapshot(merged).name);
    EXPECT_EQ(999u, product_get_host_subdev_count());
    std::string why;
    EXPECT_TRUE(product_registry_check_for_test(&why)) << why;  // the last slot stays empty
}

TEST_F(Registry, LookupRulesForGangMacs) {
    orvi_subdev_ptr gang = add("a1b2c3d4e5f601");
    orvi_subdev_ptr plain = add("a1b2c3d4e5f6");
    orvi_subdev_ptr odd = add("a1b2c3d4e5f6x");
    struct {
        const char *query;
        orvi_subdev_ptr expect;
    } cases[] = {
        {"a1b2c3d4e5f601", gang},  // exact 14
        {"a1b2c3d4e5f6", gang},    // 12 finds the first 14 with that prefix in table order
        {"a1b2c3d4e5f6x", odd},    // 13 matches only itself
        {"a1b2c3d4e5f60", nullptr}, {"a1b2c3d4e5f", nullptr}, {"a1b2c3d4e5f6010", nullptr},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expect, product_get_subdev_form_host(c.query)) << c.query;
    EXPECT_EQ(nullptr, product_get_subdev_form_host(nullptr));
    // Delete takes only the exact MAC.
    EXPECT_EQ(-1, product_delete_subdev_form_host("a1b2c3d4e5f6x1"));
    EXPECT_EQ(0, product_delete_subdev_form_host("a1b2c3d4e5f6"));
    EXPECT_EQ(gang, product_get_subdev_form_host("a1b2c3d4e5f6"));
    EXPECT_EQ(-1, product_delete_subdev_form_host(nullptr));
}

TEST_F(Registry, DeleteFromMiddleMovesLastIntoHole) {
    for (const char *m : {"aaaaaaaaaaaa", "bbbbbbbbbbbb", "cccccccccccc", "dddddddddddd", "eeeeeeeeeeee"})
        add(m);
    ASSERT_EQ(0, product_delete_subdev_form_host("bbbbbbbbbbbb"));
    EXPECT_EQ((std::vector<std::string>{"aaaaaaaaaaaa", "eeeeeeeeeeee", "cccccccccccc", "dddddddddddd"}),
              table_macs());
    std::string why;
    EXPECT_TRUE(product_registry_check_for_test(&why)) << why;  // the old last slot is empty
}

TEST_F(Registry, MiniAppRecordStaysLastThroughAddsAndDeletes) {
    add("aaaaaaaaaaaa");
    add("mmmmmmmmmmmm", DEV_TYPE_MINIPRO);
    add("bbbbbbbbbbbb");
    add("cccccccccccc");
    EXPECT_EQ(1, product_get_host_counts().minipro);
    EXPECT_EQ((std::vector<std::string>{"aaaaaaaaaaaa", "bbbbbbbbbbbb", "cccccccccccc", "mmmmmmmmmmmm"}),
              table_macs());

    // A delete in front of it must not pull it into the hole.
    ASSERT_EQ(0, product_delete_subdev_form_host("aaaaaaaaaaaa"));
    EXPECT_EQ((std::vector<std::string>{"cccccccccccc", "bbbbbbbbbbbb", "mmmmmmmmmmmm"}), table_macs());
    ASSERT_EQ(0, product_delete_subdev_form_host("bbbbbbbbbbbb"));
    add("bbbbbbbbbbbb");
    EXPECT_EQ((std::vector<std::string>{"cccccccccccc", "bbbbbbbbbbbb", "mmmmmmmmmmmm"}), table_macs());

    // Deleting the mini-app record ends the rule.
    ASSERT_EQ(0, product_delete_subdev_form_host("mmmmmmmmmmmm"));
    EXPECT_EQ(0, product_get_host_counts().minipro);
    add("dddddddddddd");
    EXPECT_EQ((std::vector<std::string>{"cccccccccccc", "bbbbbbbbbbbb", "dddddddddddd"}), table_macs());
}

TEST_F(Registry, CountersFollowAddsAndDeletes) {
    add("c00000000001", DEV_TYPE_CAN);
    add("c00000000002", DEV_TYPE_CAN);
    add("d00000000001", DEV_TYPE_485);
    add("d00000000002", DEV_TYPE_MJGATEWAY);
    add("t00000000001", DEV_TYPE_TOVRA);
    add("e00000000001", DEV_TYPE_CENTCTRL);
    add("u00000000001", DEV_TYPE_UDP);
    product_host_counts_t c = product_get_host_counts();
    EXPECT_EQ(7u, c.devCnt);
    EXPECT_EQ(2u, c.canCnt);
    EXPECT_EQ(2u, c.d485Cnt);
    EXPECT_EQ(1u, c.tovraCnt);
    EXPECT_EQ(1u, c.centctrlCnt);
    EXPECT_EQ(4u, c.localCnt);
    for (const char *m : {"c00000000001", "d00000000002", "t00000000001", "e00000000001"}) {
        ASSERT_EQ(0, product_delete_subdev_form_host(m));
    }
    c = product_get_host_counts();
    EXPECT_EQ(1u, c.canCnt);
    EXPECT_EQ(1u, c.d485Cnt);
    EXPECT_EQ(0u, c.tovraCnt);
    EXPECT_EQ(0u, c.centctrlCnt);
    EXPECT_EQ(4u, c.localCnt);  // counts additions since start
}

TEST_F(Registry, MergeRules) {
    orvi_subdev_list_t first = dev("aaaaaaaaaaaa", DEV_TYPE_UDP, "lamp", "10001");
    first.hb_ticks = 100;
    first.devExt = std::make_shared<const std::string>("ext-1");
    orvi_subdev_ptr rec = product_add_subdev_to_host(&first);
    ASSERT_NE(nullptr, rec);
    orvi_subdev_locked(rec, [](orvi_subdev_list_t &r) {
        r.online = 1;
        r.data = "{\"p\":[1]}";
    });

    // Full registration: identity fields copied, live state and type kept.
    orvi_subdev_list_t reg = dev("aaaaaaaaaaaa", DEV_TYPE_CAN, "desk lamp", "10002");
    orvi_field_set(reg.key, "0123456789abcdef");
    orvi_field_set(reg.hid, "hid-2");
    reg.roomId = 7;
    reg.macId = 42;
    reg.f_register = SERVER_REGISTERED;
    reg.hb_ticks = 0;
    auto ext2 = std::make_shared<const std::string>("ext-2");
    reg.devExt = ext2;
    EXPECT_EQ(rec, product_add_subdev_to_host(&reg));
    orvi_subdev_fields_t s = orvi_subdev_snapshot(rec);
    EXPECT_STREQ("desk lamp", s.name);
    EXPECT_STREQ("10002", s.mid);
    EXPECT_STREQ("0123456789abcdef", s.key);
    EXPECT_STREQ("hid-2", s.hid);
    EXPECT_EQ(7u, s.roomId);
    EXPECT_EQ(42, s.macId);
    EXPECT_EQ(SERVER_REGISTERED, s.f_register);
    EXPECT_EQ(100u, s.hb_ticks);
    EXPECT_EQ(ext2, s.devExt);
    EXPECT_EQ(DEV_TYPE_UDP, s.dev_type);
    EXPECT_EQ(1, s.online);
    EXPECT_EQ("{\"p\":[1]}", s.data);

    // Empty name, not wired: only hid and scene.
    orvi_subdev_list_t hb = dev("aaaaaaaaaaaa", DEV_TYPE_UDP);
    orvi_field_set(hb.hid, "hid-3");
    orvi_field_set(hb.key, "ffffffffffffffff");
    hb.scene = 1;
    product_add_subdev_to_host(&hb);
    s = orvi_subdev_snapshot(rec);
    EXPECT_STREQ("hid-3", s.hid);
    EXPECT_EQ(1, s.scene);
    EXPECT_STREQ("0123456789abcdef", s.key);

    // Empty name, wired: the line-controller firmware identifier.
    orvi_subdev_list_t line = dev("aaaaaaaaaaaa", DEV_TYPE_485);
    orvi_field_set(line.hid, "ignored");
    product_add_subdev_to_host(&line);
    EXPECT_STREQ(ORVI_LINE_CTRL_HID, orvi_subdev_snapshot(rec).hid);
}

TEST_F(Registry, MergingAStoredRecordWithItselfChangesNothing) {
    orvi_subdev_ptr rec = add("aaaaaaaaaaaa", DEV_TYPE_UDP, "lamp");
    orvi_subdev_locked(rec, [](orvi_subdev_list_t &r) { r.online = 1; });
    EXPECT_EQ(rec, product_add_subdev_to_host(rec.get()));
    EXPECT_EQ(1u, product_get_host_subdev_count());
    EXPECT_STREQ("lamp", orvi_subdev_snapshot(rec).name);
}

TEST_F(Registry, StoredRecordSharesNothingMutableWithTheCaller) {
    orvi_subdev_list_t in = dev("aaaaaaaaaaaa", DEV_TYPE_UDP, "lamp");
    in.data = "caller status";
    in.binCmd = std::make_shared<std::vector<char>>(8, 'x');
    in.devExt = std::make_shared<const std::string>("ext");
    orvi_subdev_ptr rec = product_add_subdev_to_host(&in);
    ASSERT_NE(nullptr, rec);
    orvi_field_set(in.name, "changed");
    in.binCmd->assign(8, 'y');
    orvi_subdev_fields_t s = orvi_subdev_snapshot(rec);
    EXPECT_STREQ("lamp", s.name);
    EXPECT_TRUE(s.data.empty());
    EXPECT_EQ(nullptr, s.binCmd);
    EXPECT_EQ(in.devExt, s.devExt);  // immutable text, safe to share
}

TEST_F(Registry, RecordOutlivesItsDeletionWhileHeld) {
    orvi_subdev_ptr held = add("aaaaaaaaaaaa", DEV_TYPE_UDP, "lamp");
    ASSERT_EQ(0, product_delete_subdev_form_host("aaaaaaaaaaaa"));
    EXPECT_EQ(nullptr, product_get_subdev_form_host("aaaaaaaaaaaa"));
    EXPECT_EQ(0, product_subdev_set_data(held, "{}"));
    EXPECT_STREQ("lamp", orvi_subdev_snapshot(held).name);
}

TEST_F(Registry, OverlongTextFieldsAreRefusedNotCut) {
    auto fill = [](auto &field) { std::memset(field, 'z', sizeof field); };
    std::vector<std::function<void(orvi_subdev_list_t &)>> overruns = {
        [&](orvi_subdev_list_t &d) { fill(d.mac); },
        [&](orvi_subdev_list_t &d) { fill(d.key); },
        [&](orvi_subdev_list_t &d) { fill(d.mid); },
        [&](orvi_subdev_list_t &d) { fill(d.name); },
        [&](orvi_subdev_list_t &d) { fill(d.hid); },
        [&](orvi_subdev_list_t &d) { fill(d.ver); },
        [&](orvi_subdev_list_t &d) { fill(d.vender); },
        [&](orvi_subdev_list_t &d) { fill(d.noteName); },
        [&](orvi_subdev_list_t &d) { fill(d.dev_socket.topic); },
    };
    orvi_subdev_ptr parent = add("pppppppppppp", DEV_TYPE_GATEWAY, "gw");
    orvi_subdev_ptr known = add("aaaaaaaaaaaa", DEV_TYPE_UDP, "lamp");
    for (size_t i = 0; i < overruns.size(); ++i) {
        orvi_subdev_list_t d = dev("aaaaaaaaaaaa", DEV_TYPE_UDP, "new name");
        overruns[i](d);
        EXPECT_EQ(nullptr, product_add_subdev_to_host(&d)) << i;
        EXPECT_EQ(nullptr, product_add_subsubdev_to_host(parent.get(), &d)) << i;
    }
    EXPECT_EQ(nullptr, add(""));
    EXPECT_EQ(2u, product_get_host_subdev_count());
    EXPECT_STREQ("lamp", orvi_subdev_snapshot(known).name);
    // Every length that fits is kept as given.
    for (const char *m : {"a", "0123456789ab", "0123456789abcd", "0123456789abcdef"}) {
        EXPECT_NE(nullptr, add(m)) << m;
    }
}

// ---- table walks ----

TEST_F(Registry, RoomAndTypeWalks) {
    orvi_subdev_list_t a = dev("aaaaaaaaaaaa", DEV_TYPE_TOVRA, "a");
    a.roomId = 3;
    orvi_subdev_list_t b = dev("bbbbbbbbbbbb", DEV_TYPE_UDP, "b");
    b.roomId = 4;
    orvi_subdev_list_t c = dev("cccccccccccc", DEV_TYPE_TOVRA, "c");
    c.roomId = 3;
    for (auto *d : {&a, &b, &c})
        product_add_subdev_to_host(d);

    orvi_subdev_list_t out;
    std::vector<std::string> in_room;
    for (int i = product_get_roomIddev_form_host(0, 3, &out); i >= 0;
         i = product_get_roomIddev_form_host(i + 1, 3, &out)) {
        in_room.emplace_back(out.mac);
    }
    EXPECT_EQ((std::vector<std::string>{"aaaaaaaaaaaa", "cccccccccccc"}), in_room);
    EXPECT_EQ(-1, product_get_roomIddev_form_host(0, 9, nullptr));
    EXPECT_EQ(-1, product_get_roomIddev_form_host(-1, 3, nullptr));

    unsigned at = 0;
    std::vector<std::string> tovra;
    while (orvi_subdev_ptr p = product_get_dev_by_type(&at, DEV_TYPE_TOVRA))
        tovra.emplace_back(p->mac);
    EXPECT_EQ((std::vector<std::string>{"aaaaaaaaaaaa", "cccccccccccc"}), tovra);
    EXPECT_EQ(3u, at);
}

TEST_F(Registry, RoomIdByShortIdAndBack) {
    // A room without a name is skipped, never stored as a hole that would end
    // the list for its readers.
    const dev_roomlist_t rooms[] = {
        {1001, 7, "hall"}, {1002, 0x105, "bed"}, {1003, 8, ""}, {1004, 9, "study"}};
    ASSERT_EQ(3, product_roomlist_append(rooms, 4, true));
    EXPECT_EQ(1001u, product_get_roomId_form_rooomlist(7));
    EXPECT_EQ(1002u, product_get_roomId_form_rooomlist(5));  // compared as 8 bits
    EXPECT_EQ(1004u, product_get_roomId_form_rooomlist(9));
    EXPECT_EQ(ORVI_ROOM_ID_NONE, product_get_roomId_form_rooomlist(8));
    EXPECT_EQ(7, roomId_to_sId(1001));
    EXPECT_EQ(0x105, roomId_to_sId(1002));
    EXPECT_EQ(9, roomId_to_sId(1004));
    EXPECT_EQ(-1, roomId_to_sId(1003));
    EXPECT_EQ(-1, roomId_to_sId(9));
}

TEST_F(Registry, RoomListPagesReplacementAndTheDefaultRoom) {
    const dev_roomlist_t a[] = {{1, 1, "a"}, {2, 2, "b"}};
    const dev_roomlist_t b[] = {{3, 3, "c"}};
    ASSERT_EQ(2, product_roomlist_append(a, 2, true));
    ASSERT_EQ(1, product_roomlist_append(b, 1, false));  // a next page goes after the rooms held
    std::vector<uint32_t> ids;
    for (const dev_roomlist_t &r : product_roomlist_get())
        ids.push_back(r.id);
    EXPECT_EQ((std::vector<uint32_t>{1, 2, 3}), ids);
    ASSERT_EQ(1, product_roomlist_append(b, 1, true));  // a first page replaces them
    EXPECT_EQ(1u, product_roomlist_get().size());

    // The whole list: the default room is added unless it is there.
    ASSERT_EQ(2, product_roomlist_set(a, 2, "home"));
    std::vector<dev_roomlist_t> held = product_roomlist_get();
    ASSERT_EQ(3u, held.size());
    EXPECT_EQ(0u, held[2].id);
    EXPECT_EQ(0u, held[2].sId);
    EXPECT_STREQ("home", held[2].name);
    const dev_roomlist_t with_default[] = {{0, 0, "all"}, {5, 5, "e"}};
    ASSERT_EQ(2, product_roomlist_set(with_default, 2, "home"));
    EXPECT_EQ(2u, product_roomlist_get().size());

    // A full list drops what does not fit, whole pages or the default room.
    std::vector<dev_roomlist_t> many(ORVI_ROOM_MAX + 3);
    for (size_t i = 0; i < many.size(); ++i) {
        many[i].id = static_cast<uint32_t>(100 + i);
        orvi_field_set(many[i].name, "r" + std::to_string(i));
    }
    EXPECT_EQ(ORVI_ROOM_MAX, product_roomlist_set(many.data(), static_cast<int>(many.size()), "home"));
    EXPECT_EQ(static_cast<size_t>(ORVI_ROOM_MAX), product_roomlist_get().size());
    EXPECT_EQ(0, product_roomlist_append(b, 1, false));
    EXPECT_EQ(-1, roomId_to_sId(0));
}

TEST_F(Registry, QnetKeyTypeNamesAndMaxIds) {
    EXPECT_EQ(0, product_set_host_info_qnetkey("12345678"));
    EXPECT_EQ(-1, product_set_host_info_qnetkey("123456789"));
    EXPECT_EQ(-1, product_set_host_info_qnetkey(nullptr));
    EXPECT_EQ("12345678", product_get_host_info_qnetkey());

    const char *names[] = {"NONE", "CAN",        "485",     "UDP", "TOVRA", "MINIPRO", "CENTCTRL",
                           "HOST", "PWRGATEWAY", "GATEWAY", "BLE", "WIFI",  "NONE",    "NONE"};
    for (int t = 0; t < 14; ++t)
        EXPECT_STREQ(names[t], product_get_subdev_type_str(t)) << t;
    EXPECT_STREQ("NONE", product_get_subdev_type_str(-1));
    EXPECT_STREQ("NONE", product_get_subdev_type_str(70));

    EXPECT_EQ(0, product_get_tovra_max_Id());
    struct {
        const char *mac;
        dev_type_t type;
        int id;
    } devs[] = {{"t00000000001", DEV_TYPE_TOVRA, 12},
                {"t00000000002", DEV_TYPE_TOVRA, 30},
                {"u00000000001", DEV_TYPE_UDP, 50},
                {"u00000000002", DEV_TYPE_UDP, 7}};
    for (const auto &d : devs) {
        orvi_subdev_list_t r = dev(d.mac, d.type);
        r.macId = d.id;
        product_add_subdev_to_host(&r);
    }
    EXPECT_EQ(30, product_get_tovra_max_Id());
    EXPECT_EQ(50, product_get_udpDev_max_Id());
}

// ---- short ids ----

TEST_F(Registry, ShortIdPool) {
    orvi_subdev_list_t udp = dev("u00000000001", DEV_TYPE_UDP);
    orvi_subdev_list_t ble = dev("b00000000001", DEV_TYPE_BLE);
    ASSERT_EQ(1, assign_macId(&udp));
    EXPECT_EQ(2, udp.macId);
    ASSERT_EQ(1, assign_macId(&ble));
    EXPECT_EQ(100, ble.macId);

    orvi_log_level_set(ORVI_LOG_WARN);
    for (int id = 2; id <= 99; ++id) {
        orvi_subdev_list_t r = dev(mac12(static_cast<unsigned>(id)), DEV_TYPE_UDP);
        r.macId = id;
        ASSERT_NE(nullptr, product_add_subdev_to_host(&r));
    }
    orvi_subdev_list_t next = dev("u00000000002", DEV_TYPE_UDP);
    ASSERT_EQ(1, assign_macId(&next));
    EXPECT_EQ(145, next.macId);

    // A stored record keeps its own id available to itself.
    orvi_subdev_ptr stored = product_get_subdev_form_host(mac12(2).c_str());
    ASSERT_EQ(1, assign_macId(stored.get()));
    EXPECT_EQ(2, orvi_subdev_snapshot(stored).macId);

    for (int id = 100; id <= 144; ++id) {
        orvi_subdev_list_t r = dev(mac12(static_cast<unsigned>(1000 + id)), DEV_TYPE_BLE);
        r.macId = id;
        ASSERT_NE(nullptr, product_add_subdev_to_host(&r));
    }
    orvi_subdev_list_t full = dev("b00000000002", DEV_TYPE_BLE);
    full.macId = -1;
    EXPECT_EQ(0, assign_macId(&full));
    EXPECT_EQ(-1, full.macId);
    EXPECT_EQ(0, assign_macId(nullptr));
}

TEST_F(Registry, LinkingIdsNeverRepeatAKnownId) {
    EXPECT_EQ(300, macId_get());
    EXPECT_EQ(300, macId_allocate());
    EXPECT_EQ(301, macId_get());
    EXPECT_EQ(306, macId_set(305));  // 305 is in use: the next one handed out is 306
    EXPECT_EQ(306, macId_allocate());
    EXPECT_EQ(307, macId_set(10));
    EXPECT_EQ(307, macId_get());
}

// ---- types ----

TEST_F(Registry, TypeAdapterAndConfigLookups) {
    load_mid_config(R"({"10001":{"type_value":3,"class_value":8},
                        "10002":{"type_value":"3"},
                        "10003":{"type_value":15},
                        "10004":{"class_value":"8"},
                        "10005":{"type_value":-1}})");
    orvi_subdev_info_t listed = info("l00000000001", DEV_TYPE_485);
    ASSERT_GE(product_subdev_info_list_add(product_get_linking_list(0), &listed), 0);
    orvi_subdev_info_t untyped = info("l00000000002", DEV_TYPE_NONE);
    ASSERT_GE(product_subdev_info_list_add(product_get_linking_list(0), &untyped), 0);

    struct {
        const char *mac;
        const char *mid;
        int rc;
        dev_type_t type;
    } cases[] = {
        {"x00000000001", "", -1, DEV_TYPE_WIFI},      {"x00000000001", "10001", 0, DEV_TYPE_UDP},
        {"x00000000001", "10002", -1, DEV_TYPE_WIFI}, {"x00000000001", "10003", -1, DEV_TYPE_WIFI},
        {"x00000000001", "10004", -1, DEV_TYPE_WIFI}, {"x00000000001", "10005", -1, DEV_TYPE_WIFI},
        {"x00000000001", "99999", -1, DEV_TYPE_WIFI}, {"l00000000001", "99999", 0, DEV_TYPE_485},
        {"l00000000002", "99999", -1, DEV_TYPE_WIFI},
    };
    for (const auto &c : cases) {
        orvi_subdev_list_t d = dev(c.mac, DEV_TYPE_WIFI, "", c.mid);
        EXPECT_EQ(c.rc, product_subdev_type_adapter(&d)) << c.mac << " " << c.mid;
        EXPECT_EQ(c.type, d.dev_type) << c.mac << " " << c.mid;
    }
    EXPECT_EQ(3, product_get_subdev_type_by_config("10001"));
    for (const char *mid : {"10002", "10003", "10004", "99999", ""}) {
        EXPECT_EQ(0, product_get_subdev_type_by_config(mid)) << mid;
    }
    EXPECT_EQ(0, product_get_subdev_type_by_config(nullptr));
    EXPECT_EQ(8, get_dev_class_type_by_mid("10001"));
    EXPECT_EQ(0, get_dev_class_type_by_mid("10004"));
    EXPECT_EQ(0, get_dev_class_type_by_mid("99999"));
    EXPECT_EQ(0, get_dev_class_type_by_mid(nullptr));

    // Adapting a stored record keeps the per-type counters true.
    orvi_subdev_ptr stored = add("s00000000001", DEV_TYPE_CAN, "", "10001");
    EXPECT_EQ(1u, product_get_host_counts().canCnt);
    EXPECT_EQ(0, product_subdev_type_adapter(stored.get()));
    EXPECT_EQ(DEV_TYPE_UDP, orvi_subdev_snapshot(stored).dev_type);
    EXPECT_EQ(0u, product_get_host_counts().canCnt);

    load_mid_config("not json");
    orvi_subdev_list_t d = dev("x00000000001", DEV_TYPE_WIFI, "", "10001");
    EXPECT_EQ(-1, product_subdev_type_adapter(&d));
}

TEST(RegistrySelectors, PairTable) {
    struct {
        unsigned src, pair;
        const char *mid;
        int rc;
    } cases[] = {
        {1, 0, nullptr, 0},   {2, 0, nullptr, 0},    {14, 0, nullptr, -1},  {3, 0, nullptr, -1},
        {3, 3, nullptr, 0},   {14, 14, nullptr, 0},  {4, 3, nullptr, -1},   {3, 50, nullptr, 0},
        {6, 50, nullptr, 0},  {9, 50, nullptr, -1},  {9, 52, nullptr, 0},   {6, 52, nullptr, 0},
        {3, 52, nullptr, 0},  {4, 52, nullptr, -1},  {4, 70, "80501", 0},   {4, 70, "80502", -1},
        {4, 70, nullptr, -1}, {3, 70, "80501", -1},  {15, 15, nullptr, -1}, {1, 51, nullptr, -1},
        {2, 51, nullptr, -1}, {69, 69, nullptr, -1}, {3, 71, nullptr, -1},  {71, 3, nullptr, -1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.rc, product_dev_type_isPaired(c.src, c.pair, c.mid)) << c.src << " " << c.pair;
    }
}

// ---- sub-subdevices ----

TEST_F(Registry, SubSubdevicesAndTheirEvents) {
    publish_test::PublishCapture cap;
    const std::string info_topic = std::string("devInfoHttp/") + publish_test::kHomeMac + "/";
    orvi_subdev_ptr gw = add("gggggggggggg", DEV_TYPE_GATEWAY, "gw");
    std::vector<orvi_subdev_ptr> subs;
    for (const char *m : {"s1", "s2", "s3"}) {
        orvi_subdev_list_t s = dev(m, DEV_TYPE_NONE, "", "m1");
        subs.push_back(product_add_subsubdev_to_host(gw.get(), &s));
        ASSERT_NE(nullptr, subs.back()) << m;
    }
    orvi_subdev_list_t again = dev("s2");
    EXPECT_EQ(subs[1], product_add_subsubdev_to_host(gw.get(), &again));
    testing::internal::CaptureStdout();
    orvi_subdev_list_t fourth = dev("s4");
    EXPECT_EQ(nullptr, product_add_subsubdev_to_host(gw.get(), &fourth));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find(
                                     "The sub_sub device nodes have reached the maximum of 3."));

    // The parent may be named by a copy; an unknown parent is refused.
    orvi_subdev_list_t gw_copy = dev("gggggggggggg");
    EXPECT_EQ(subs[1], product_add_subsubdev_to_host(&gw_copy, &again));
    orvi_subdev_list_t stranger = dev("xxxxxxxxxxxx");
    EXPECT_EQ(nullptr, product_add_subsubdev_to_host(&stranger, &again));

    EXPECT_EQ((std::vector<std::string>{info_topic + "s1", info_topic + "s2", info_topic + "s3"}),
              cap.topics());

    EXPECT_EQ(subs[2], product_get_subsubdev_form_host("gggggggggggg", "s3"));
    EXPECT_EQ(nullptr, product_get_subsubdev_form_host("gggggggggggg", "s9"));
    EXPECT_EQ(nullptr, product_get_subsubdev_form_host(nullptr, "s1"));

    for (int i = 1; i <= 21; ++i) {
        ASSERT_EQ(0, product_subsubdev_event_insert(gw, subs[0], ("ev" + std::to_string(i)).c_str(), 0));
    }
    orvi_subdev_fields_t s = orvi_subdev_snapshot(subs[0]);
    ASSERT_EQ(20u, s.event_list.size());
    EXPECT_EQ("ev2", s.event_list.front());
    EXPECT_EQ("ev21", s.event_list.back());

    cap.clear();
    EXPECT_EQ(0, product_subsubdev_event_insert(gw, subs[0], "ev22", 1));
    EXPECT_EQ((std::vector<std::string>{"store4massage/event/s1"}), cap.topics());
    EXPECT_EQ(-1, product_subsubdev_event_insert(gw, gw, "ev", 0));  // not a sub-subdevice
    EXPECT_EQ(-1, product_subsubdev_event_insert(gw, subs[0], nullptr, 0));
}

// ---- linking lists ----

TEST_F(Registry, LinkingListRules) {
    orvi_subdev_info_list_t *l = nullptr;
    ASSERT_EQ(0, product_subdev_info_list_init(&l, 2));
    orvi_subdev_info_list_t *keep = l;
    EXPECT_EQ(0, product_subdev_info_list_init(&l, 5));  // an existing list is kept
    EXPECT_EQ(keep, l);
    EXPECT_EQ(-1, product_subdev_info_list_init(nullptr, 2));

    EXPECT_FALSE(product_subdev_info_list_get(l, "a", nullptr));  // empty
    orvi_subdev_info_t a = info("aaaaaaaaaaaa", DEV_TYPE_CAN), b = info("bbbbbbbbbbbb", DEV_TYPE_CAN),
                       c = info("cccccccccccc", DEV_TYPE_CAN);
    orvi_field_set(a.name, "first");
    EXPECT_EQ(0, product_subdev_info_list_add(l, &a));
    EXPECT_EQ(-1, product_subdev_info_list_add(l, &a));  // already listed
    EXPECT_EQ(1, product_subdev_info_list_add(l, &b));
    EXPECT_EQ(-1, product_subdev_info_list_add(l, &c));  // full
    EXPECT_EQ(2u, l->subdev_count.load());

    orvi_subdev_info_t got{};
    ASSERT_TRUE(product_subdev_info_list_get(l, "aaaaaaaaaaaa", &got));
    EXPECT_STREQ("first", got.name);
    EXPECT_EQ(0, product_subdev_info_list_remove(l, "aaaaaaaaaaaa"));
    EXPECT_EQ(0, product_subdev_info_list_remove(l, "zzzzzzzzzzzz"));  // unknown still 0
    EXPECT_EQ(1u, l->subdev_count.load());
    EXPECT_STREQ("bbbbbbbbbbbb", l->list[0].mac);
    EXPECT_EQ(-1, product_subdev_info_list_remove(l, nullptr));
    EXPECT_EQ(-1, product_subdev_info_list_add(l, nullptr));
    orvi_subdev_info_t bad = info("", DEV_TYPE_CAN);
    std::memset(bad.name, 'n', sizeof bad.name);
    EXPECT_EQ(-1, product_subdev_info_list_add(l, &bad));
    delete l;
}

TEST_F(Registry, LinkingListsByType) {
    orvi_subdev_info_t can = info("c00000000001", DEV_TYPE_CAN),
                       mj = info("m00000000001", DEV_TYPE_MJGATEWAY),
                       udp = info("u00000000001", DEV_TYPE_UDP);
    EXPECT_EQ(0, orvi_linkinglist_dev_add(&can));
    EXPECT_EQ(0, orvi_linkinglist_dev_add(&mj));
    EXPECT_EQ(-1, orvi_linkinglist_dev_add(&udp));
    orvi_subdev_info_t twice = info("c00000000001", DEV_TYPE_485);  // already on the CAN bus
    EXPECT_EQ(-1, orvi_linkinglist_dev_add(&twice));
    EXPECT_EQ(1u, product_get_linking_list(DEV_TYPE_CAN)->subdev_count.load());
    EXPECT_EQ(1u, product_get_linking_list(DEV_TYPE_485)->subdev_count.load());
    EXPECT_EQ(2u, product_get_linking_list(0)->subdev_count.load());
    EXPECT_EQ(product_get_linking_list(DEV_TYPE_485), product_get_linking_list(DEV_TYPE_MJGATEWAY));
    EXPECT_EQ(nullptr, product_get_linking_list(DEV_TYPE_UDP));

    EXPECT_TRUE(product_linkinglist_dev_get("c00000000001", DEV_TYPE_CAN, 0, nullptr));
    EXPECT_TRUE(product_linkinglist_dev_get("m00000000001", DEV_TYPE_485, 0, nullptr));
    EXPECT_TRUE(product_linkinglist_dev_get("m00000000001", DEV_TYPE_UDP, 1, nullptr));
    EXPECT_FALSE(product_linkinglist_dev_get("m00000000001", DEV_TYPE_MJGATEWAY, 0, nullptr));

    EXPECT_EQ(0, orvi_linkinglist_dev_remove("c00000000001", DEV_TYPE_485));  // wrong bus: stays listed
    EXPECT_TRUE(product_linkinglist_dev_get("c00000000001", 0, 1, nullptr));
    EXPECT_EQ(0, orvi_linkinglist_dev_remove("m00000000001", DEV_TYPE_MJGATEWAY));
    EXPECT_EQ(0u, product_get_linking_list(DEV_TYPE_485)->subdev_count.load());
    EXPECT_EQ(1u, product_get_linking_list(0)->subdev_count.load());
    EXPECT_EQ(0, product_linkinglist_linedev_offline("c00000000001", DEV_TYPE_CAN));
    EXPECT_EQ(0u, product_get_linking_list(0)->subdev_count.load());
    EXPECT_EQ(0, product_linkinglist_linedev_offline("u00000000001", DEV_TYPE_UDP));
}

TEST_F(Registry, LineDevicesBuiltForTheBus) {
    load_mid_config(R"({"48501":{"type_value":14}})");
    EXPECT_EQ(0, product_linkinglist_candev_add("c00000000001", "30001"));
    EXPECT_EQ(-1, product_linkinglist_candev_add("c00000000001", "30001"));      // no second linking id
    EXPECT_EQ(0, product_linkinglist_485dev_add("d00000000001", "40001"));       // unknown model: RS-485
    EXPECT_EQ(1, product_linkinglist_485dev_add("m00000000001", "48501"));       // configured MJ gateway
    EXPECT_EQ(-1, product_linkinglist_485dev_add("d00000000002", "123456789"));  // model does not fit
    EXPECT_EQ(-1, product_linkinglist_candev_add(nullptr, "1"));

    orvi_subdev_info_t got{};
    ASSERT_TRUE(product_linkinglist_dev_get("c00000000001", DEV_TYPE_CAN, 0, &got));
    EXPECT_EQ(300, got.macId);
    EXPECT_STREQ(ORVI_LINE_CTRL_HID, got.hid);
    EXPECT_STREQ("V3.2.MF", got.ver);
    EXPECT_STREQ("1", got.vender);
    EXPECT_STREQ(kHomeKey, got.key);
    EXPECT_EQ(1, got.online);
    EXPECT_EQ(DEV_TYPE_CAN, got.dev_type);
    ASSERT_TRUE(product_linkinglist_dev_get("d00000000001", DEV_TYPE_485, 0, &got));
    EXPECT_EQ(DEV_TYPE_485, got.dev_type);
    EXPECT_EQ(301, got.macId);
    ASSERT_TRUE(product_linkinglist_dev_get("m00000000001", 0, 1, &got));
    EXPECT_EQ(DEV_TYPE_MJGATEWAY, got.dev_type);
    EXPECT_EQ(3u, product_get_linking_list(0)->subdev_count.load());

    // Online: a listed device needs nothing; others are asked on the bus.
    publish_test::PublishCapture cap;
    EXPECT_EQ(0, product_linkinglist_linedev_online("c00000000001", DEV_TYPE_CAN));
    EXPECT_EQ(0, product_linkinglist_linedev_online("c00000000009", DEV_TYPE_CAN));
    EXPECT_EQ(0, product_linkinglist_linedev_online("m00000000001", DEV_TYPE_MJGATEWAY));
    EXPECT_EQ(0, product_linkinglist_linedev_online("u00000000001", DEV_TYPE_UDP));
    EXPECT_EQ((std::vector<std::string>{"can/check", "485/check"}), cap.topics());
}

// ---- JSON views ----

TEST_F(Registry, CountsAndPagesOverTheTable) {
    struct {
        const char *mac;
        dev_type_t type;
        const char *mid;
    } devs[] = {{"u00000000001", DEV_TYPE_UDP, "1"},      {"t00000000001", DEV_TYPE_TOVRA, "80501"},
                {"e00000000001", DEV_TYPE_CENTCTRL, "2"}, {"g00000000001", DEV_TYPE_GATEWAY, "3"},
                {"u00000000002", DEV_TYPE_UDP, "4"},      {"t00000000002", DEV_TYPE_TOVRA, "80000"},
                {"c00000000001", DEV_TYPE_CAN, "5"}};
    int id = 10;
    for (const auto &d : devs) {
        orvi_subdev_list_t r = dev(d.mac, d.type, std::string("n-") + d.mac, d.mid);
        r.macId = id++;
        r.roomId = 5;
        orvi_field_set(r.key, "kkkkkkkkkkkkkkkk");
        product_add_subdev_to_host(&r);
    }
    struct {
        int selector, count;
    } counts[] = {{3, 2}, {4, 2}, {50, 3}, {52, 4}, {70, 1}, {0, 0}, {1, 1}, {2, 0}, {51, 0}, {99, 0}};
    const std::vector<orvi_subdev_ptr> table = product_subdev_list_snapshot();
    for (const auto &c : counts) {
        EXPECT_EQ(c.count,
                  product_subDevList_devType_count(table.data(), static_cast<int>(table.size()), c.selector))
            << c.selector;
    }

    json_ptr page = own(product_devList_subdev_jsonArry_get(1, 2, 52));
    ASSERT_NE(nullptr, page);
    ASSERT_EQ(2, cJSON_GetArraySize(page.get()));
    const cJSON *o = cJSON_GetArrayItem(page.get(), 0);
    EXPECT_STREQ("e00000000001", cJSON_GetObjectItem(o, "mac")->valuestring);
    EXPECT_EQ(12, cJSON_GetObjectItem(o, "macId")->valueint);
    EXPECT_TRUE(cJSON_IsNumber(cJSON_GetObjectItem(o, "roomId")));
    EXPECT_STREQ("n-e00000000001", cJSON_GetObjectItem(o, "name")->valuestring);
    for (const char *k : {"mid", "hid", "key", "ver", "vender"}) {
        EXPECT_TRUE(cJSON_IsString(cJSON_GetObjectItem(o, k))) << k;
    }
    EXPECT_STREQ("g00000000001", cJSON_GetObjectItem(cJSON_GetArrayItem(page.get(), 1), "mac")->valuestring);

    json_ptr last = own(product_devList_subdev_jsonArry_get(3, 10, 52));
    ASSERT_NE(nullptr, last);
    EXPECT_EQ(1, cJSON_GetArraySize(last.get()));
    EXPECT_EQ(nullptr, product_devList_subdev_jsonArry_get(4, 10, 52));  // start == count
    EXPECT_EQ(nullptr, product_devList_subdev_jsonArry_get(0, 10, 0));
    EXPECT_EQ(nullptr, product_devList_subdev_jsonArry_get(-1, 10, 3));

    ASSERT_EQ(0, product_set_QnetID(77));  // the first id of the tovra list is identity's
    json_ptr tovra = own(product_get_tovra_Id_List());
    json_ptr ble = own(product_get_BLE_Id_List());
    auto ids = [](const cJSON *a) {
        std::vector<int> v;
        const cJSON *e;
        cJSON_ArrayForEach(e, a) v.push_back(e->valueint);
        return v;
    };
    EXPECT_EQ((std::vector<int>{77, 11, 12, 15}), ids(tovra.get()));
    EXPECT_EQ((std::vector<int>{10, 14}), ids(ble.get()));
}

TEST_F(Registry, PagesOverALinkingList) {
    orvi_subdev_info_t devs[] = {info("c1", DEV_TYPE_CAN), info("d1", DEV_TYPE_485),
                                 info("m1", DEV_TYPE_MJGATEWAY), info("c2", DEV_TYPE_CAN)};
    for (auto &d : devs)
        ASSERT_GE(product_subdev_info_list_add(product_get_linking_list(0), &d), 0);
    auto macs = [](const cJSON *a) {
        std::vector<std::string> v;
        const cJSON *e;
        cJSON_ArrayForEach(e, a) v.emplace_back(cJSON_GetObjectItem(e, "mac")->valuestring);
        return v;
    };
    json_ptr wired = own(product_devList_info_jsonArry_get(product_get_linking_list(0), 1, 10, 0));
    EXPECT_EQ((std::vector<std::string>{"d1", "c2"}), macs(wired.get()));
    json_ptr can = own(product_devList_info_jsonArry_get(product_get_linking_list(0), 0, 1, DEV_TYPE_CAN));
    EXPECT_EQ((std::vector<std::string>{"c1"}), macs(can.get()));
    json_ptr mj =
        own(product_devList_info_jsonArry_get(product_get_linking_list(0), 0, 5, DEV_TYPE_MJGATEWAY));
    EXPECT_EQ((std::vector<std::string>{"m1"}), macs(mj.get()));
    EXPECT_EQ(nullptr, product_devList_info_jsonArry_get(product_get_linking_list(0), 4, 10, 0));
    EXPECT_EQ(nullptr, product_devList_info_jsonArry_get(nullptr, 0, 10, 0));
}

// ---- helpers ----

TEST_F(Registry, ForEachWalksASnapshotThatMayChangeTheTable) {
    for (const char *m : {"aaaaaaaaaaaa", "bbbbbbbbbbbb", "cccccccccccc"})
        add(m);
    std::vector<std::string> seen;
    product_subdev_for_each([&](const orvi_subdev_ptr &p) {
        seen.emplace_back(p->mac);
        product_delete_subdev_form_host(p->mac);  // no self-deadlock, no dangling record
        orvi_subdev_locked(p, [](orvi_subdev_list_t &r) { r.online = 1; });
    });
    EXPECT_EQ((std::vector<std::string>{"aaaaaaaaaaaa", "bbbbbbbbbbbb", "cccccccccccc"}), seen);
    EXPECT_EQ(0u, product_get_host_subdev_count());
    EXPECT_EQ(-1, product_subdev_set_data(nullptr, "{}"));
    orvi_subdev_ptr p = add("dddddddddddd");
    EXPECT_EQ(-1, product_subdev_set_data(p, std::string(ORVI_SUBDEV_DATA_SIZE, 'x')));
    EXPECT_EQ(0, product_subdev_set_data(p, std::string(ORVI_SUBDEV_DATA_SIZE - 1, 'x')));
}
// ---- the MAC index ----

// The lookup rule taken literally: the first record in table order whose MAC
// equals the query, or whose 14-character MAC begins with a 12-character query.
orvi_subdev_ptr linear_lookup(const std::string &q) {
    for (const orvi_subdev_ptr &p : product_subdev_list_snapshot()) {
        const std::string m = p->mac;
        if (m == q || (q.size() == 12 && m.size() == 14 && m.compare(0, 12, q) == 0)) return p;
    }
    return nullptr;
}

// Adds, merges, deletes (which move the last record into the hole), the
// mini-app record kept last (which swaps records) and type changes of stored
// records, over a small MAC space where switches and their gangs keep
// meeting: after every step the index agrees with the table and every
// lookup finds what a walk of the table finds.
TEST_F(Registry, IndexAgreesWithTheTableThroughEveryMove) {
    load_mid_config(R"({"m3":{"type_value":3},"m4":{"type_value":4},"m5":{"type_value":5}})");
    orvi_log_level_set(ORVI_LOG_NONE);
    std::vector<std::string> macs{"miniApp"};
    for (unsigned sw = 0; sw < 5; ++sw) {
        const std::string base = mac12(0xabc000 + sw);
        macs.push_back(base);
        for (const char *gang : {"01", "02", "03"})
            macs.push_back(base + gang);
    }
    std::vector<std::string> queries = macs;
    for (unsigned sw = 0; sw < 5; ++sw)
        queries.push_back(mac12(0xabc000 + sw) + "0");
    queries.push_back("ffffffffffff");
    const dev_type_t kTypes[] = {DEV_TYPE_UDP, DEV_TYPE_TOVRA, DEV_TYPE_CAN, DEV_TYPE_MINIPRO};
    const char *const kMids[] = {"m3", "m4", "m5"};

    std::mt19937 rng(20240611);
    for (int step = 0; step < 4000; ++step) {
        const std::string &m = macs[rng() % macs.size()];
        switch (rng() % 5) {
            case 0:
            case 1:
                add(m, m == "miniApp" ? DEV_TYPE_MINIPRO : kTypes[rng() % 4], (rng() & 1) ? "n" : "",
                    kMids[rng() % 3]);
                break;
            case 2:
            case 3:
                product_delete_subdev_form_host(m.c_str());
                break;
            default:
                if (orvi_subdev_ptr r = product_get_subdev_form_host(m.c_str())) {
                    orvi_subdev_locked(
                        r, [&](orvi_subdev_list_t &d) { orvi_field_set(d.mid, kMids[rng() % 3]); });
                    product_subdev_type_adapter(r.get());
                }
                break;
        }
        std::string why;
        ASSERT_TRUE(product_registry_check_for_test(&why)) << "step " << step << ": " << why;
        for (const std::string &q : queries)
            ASSERT_EQ(linear_lookup(q), product_get_subdev_form_host(q.c_str()))
                << "step " << step << ", " << q;
    }
}

// ---- listeners ----

// Each change is reported once, after the registry let go of its locks: the
// listener here reads the registry from inside the report, which would hang
// on a held table lock. The operations run on their own thread so that such
// a hang ends the run at its deadline.
TEST_F(Registry, ListenersHearEachChangeWithNoLockHeld) {
    auto name = [](const product_subdev_change_t &c) {
        static const char *const kKinds[] = {"added", "merged", "removed", "online", "status"};
        std::string s = kKinds[c.kind];
        if (c.dev) s += std::string(" ") + c.dev->mac;
        if (c.sub) s += std::string("/") + c.sub->mac;
        if (c.mac) s += std::string(" ") + c.mac + " type " + std::to_string(c.type);
        return s;
    };
    std::vector<std::string> heard;
    listen([&](const product_subdev_change_t &c) {
        const bool stored = c.dev && product_get_subdev_form_host(c.dev->mac) == c.dev;
        heard.push_back(name(c) + " (" + std::to_string(product_get_host_subdev_count()) +
                        (stored ? ", stored)" : ")"));
        return c.kind == PRODUCT_SUBDEV_ONLINE ? 7 : 0;
    });
    publish_test::PublishCapture cap;  // start-up's listener publishes, and succeeds
    int online_rc = 0;
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread ops([&] {
        orvi_subdev_ptr lamp = add("aaaaaaaaaaaa", DEV_TYPE_UDP);
        add("aaaaaaaaaaaa", DEV_TYPE_UDP, "lamp");
        product_add_subdev_to_host(lamp.get());  // merging a record with itself changes nothing
        orvi_subdev_ptr gw = add("gggggggggggg", DEV_TYPE_GATEWAY, "gw");
        orvi_subdev_list_t s1 = dev("s1");
        orvi_subdev_ptr sub = product_add_subsubdev_to_host(gw.get(), &s1);
        product_add_subsubdev_to_host(gw.get(), &s1);  // already there
        product_subsubdev_event_insert(gw, sub, "ev1", 0);
        product_subsubdev_event_insert(gw, sub, "ev2", 1);
        product_delete_subdev_form_host("aaaaaaaaaaaa");
        product_delete_subdev_form_host("aaaaaaaaaaaa");  // unknown now
        product_linkinglist_candev_add("c00000000001", "30001");
        product_linkinglist_linedev_online("c00000000001", DEV_TYPE_CAN);  // listed: nothing to ask
        online_rc = product_linkinglist_linedev_online("c00000000009", DEV_TYPE_CAN);
        done.set_value();
    });
    if (finished.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        // The registry stays locked for good: no later test could run.
        std::fprintf(stderr, "a listener ran while the registry held a lock; ending the run\n");
        std::fflush(nullptr);
        std::_Exit(1);
    }
    ops.join();
    EXPECT_EQ((std::vector<std::string>{
                  "added aaaaaaaaaaaa (1, stored)",
                  "merged aaaaaaaaaaaa (1, stored)",
                  "added gggggggggggg (2, stored)",
                  "added gggggggggggg/s1 (2, stored)",
                  "status gggggggggggg/s1 (2, stored)",
                  "removed aaaaaaaaaaaa (1)",
                  "online c00000000009 type 1 (1)",
              }),
              heard);
    EXPECT_EQ(7, online_rc) << "the listeners' answer is the caller's result";
    EXPECT_EQ((std::vector<std::string>{std::string("devInfoHttp/") + publish_test::kHomeMac + "/s1",
                                        "store4massage/event/s1", "can/check"}),
              cap.topics())
        << "start-up's listener heard the same changes";
}
}  // namespace
