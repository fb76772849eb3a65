// Several threads add, merge, delete, look up and walk the registry at once,
// hold records across their deletion, and use the linking lists, the JSON
// pages and sub-subdevice events. Under ThreadSanitizer any data race or
// use of a freed record fails the run.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "orvi_field.h"
#include "orvi_log.h"
#include "orvi_main_registry.h"
#include "orvi_mid_config.h"
#include "pending_calls.h"
#include "product_subdev.h"
#include "scratch_root.h"
#include "orvi_testing.h"

namespace {
constexpr int kMacs = 48;
constexpr int kRounds = 20000;

// Every thread waits here so that all of them run at once.
std::atomic<bool> g_go{false};
void wait_for_start() {
    while (!g_go.load())
        std::this_thread::yield();
}

std::string mac_of(unsigned i) {
    char b[16];
    snprintf(b, sizeof b, "%012x", 0xa00000u + i);
    return b;
}

dev_type_t type_for(unsigned i) {
    static const dev_type_t kTypes[] = {DEV_TYPE_UDP,      DEV_TYPE_CAN,     DEV_TYPE_485,     DEV_TYPE_TOVRA,
                                        DEV_TYPE_CENTCTRL, DEV_TYPE_GATEWAY, DEV_TYPE_MINIPRO, DEV_TYPE_BLE};
    return kTypes[i % (sizeof kTypes / sizeof kTypes[0])];
}

class RegistryStress : public ::testing::Test {
  protected:
    void SetUp() override {
        orvi_log_level_set(ORVI_LOG_NONE);
        g_go.store(false);
        product_registry_reset_for_test();
        product_linkinglist_init();
        // The publishers hear the registry as start-up wires them, and a
        // listener reads the registry back from inside every report.
        orvi_registry_wire();
        static const bool listening = [] {
            product_subdev_listener_add([](const product_subdev_change_t &) {
                product_get_host_subdev_count();
                return 0;
            });
            return true;
        }();
        (void)listening;
        root.write("/data/domivault/data/mid_config.json",
                   R"({"m1":{"type_value":3},"m2":{"type_value":4}})");
        orvi_mid_config_init();
        pending_set_result(0);
    }
    void TearDown() override {
        product_registry_reset_for_test();
        pending_calls_clear();
        orvi_log_level_set(ORVI_LOG_INFO);
    }
    ScratchRoot root;
};

void adder(unsigned seed) {
    wait_for_start();
    std::mt19937 rng(seed);
    for (int r = 0; r < kRounds; ++r) {
        unsigned i = rng() % kMacs;
        orvi_subdev_list_t d;
        orvi_field_set(d.mac, mac_of(i));
        d.dev_type = type_for(i);
        d.roomId = rng() % 4;
        orvi_field_set(d.mid, (rng() & 1) ? "m1" : "m2");
        if (rng() & 1) orvi_field_set(d.name, "name-" + std::to_string(r));  // a full registration merges
        d.devExt = std::make_shared<const std::string>("ext");
        product_add_subdev_to_host(&d);
        if (rng() % 8 == 0) {
            orvi_subdev_ptr p = product_get_subdev_form_host(mac_of(i).c_str());
            if (p) product_add_subdev_to_host(p.get());  // merge with itself
        }
    }
}

void deleter(unsigned seed) {
    wait_for_start();
    std::mt19937 rng(seed);
    for (int r = 0; r < kRounds; ++r)
        product_delete_subdev_form_host(mac_of(rng() % kMacs).c_str());
}

// Holds records across deletions and writes their live state.
void user(unsigned seed) {
    wait_for_start();
    std::mt19937 rng(seed);
    std::vector<orvi_subdev_ptr> held;
    for (int r = 0; r < kRounds; ++r) {
        orvi_subdev_ptr p = product_get_subdev_form_host(mac_of(rng() % kMacs).substr(0, 12).c_str());
        if (!p) continue;
        orvi_subdev_locked(p, [&](orvi_subdev_list_t &d) {
            d.online = !d.online;
            d.hb_ticks = static_cast<unsigned long>(r);
            d.binCmd = std::make_shared<std::vector<char>>(16, 'c');
        });
        product_subdev_set_data(p, "{\"p\":[" + std::to_string(r) + "]}");
        orvi_subdev_fields_t s = orvi_subdev_snapshot(p);
        EXPECT_EQ(std::string(s.mac).size(), 12u);
        if (rng() % 4 == 0) assign_macId(p.get());
        if (rng() % 16 == 0) product_subdev_type_adapter(p.get());
        held.push_back(std::move(p));
        if (held.size() > 16) held.erase(held.begin());
    }
    for (const orvi_subdev_ptr &p : held)
        orvi_subdev_snapshot(p);
}

void walker(unsigned seed) {
    wait_for_start();
    std::mt19937 rng(seed);
    for (int r = 0; r < kRounds / 4; ++r) {
        int selector = static_cast<int>(rng() % 8);
        cJSON *page = product_devList_subdev_jsonArry_get(static_cast<int>(rng() % 4), 8, selector + 1);
        cJSON_Delete(page);
        cJSON_Delete(product_get_tovra_Id_List());
        cJSON_Delete(product_get_BLE_Id_List());
        cJSON_Delete(product_devList_info_jsonArry_get(product_get_linking_list(0), 0, 16, 0));
        const std::vector<orvi_subdev_ptr> table = product_subdev_list_snapshot();
        product_subDevList_devType_count(table.data(), static_cast<int>(table.size()), 52);
        product_get_host_counts();
        const dev_roomlist_t room{static_cast<uint32_t>(rng() % 4), static_cast<uint32_t>(rng() % 4), "room"};
        product_roomlist_append(&room, 1, (rng() % 8) == 0);
        roomId_to_sId(rng() % 4);
        unsigned at = 0;
        while (product_get_dev_by_type(&at, DEV_TYPE_UDP)) {
        }
        orvi_subdev_list_t out;
        product_get_roomIddev_form_host(0, rng() % 4, &out);
        product_get_tovra_max_Id();
        product_subdev_for_each([](const orvi_subdev_ptr &p) { orvi_subdev_snapshot(p); });
    }
}

void subsub(unsigned seed) {
    wait_for_start();
    std::mt19937 rng(seed);
    for (int r = 0; r < kRounds; ++r) {
        orvi_subdev_ptr parent = product_get_subdev_form_host(mac_of(rng() % kMacs).c_str());
        if (!parent) continue;
        orvi_subdev_list_t s;
        orvi_field_set(s.mac, "sub" + std::to_string(rng() % 4));
        orvi_subdev_ptr child = product_add_subsubdev_to_host(parent.get(), &s);
        if (child) product_subsubdev_event_insert(parent, child, "ev", rng() & 1);
        product_get_subsubdev_form_host(parent->mac, "sub1");
    }
}

void linker(unsigned seed) {
    wait_for_start();
    std::mt19937 rng(seed);
    for (int r = 0; r < kRounds; ++r) {
        std::string mac = mac_of(100 + rng() % 32);
        switch (rng() % 5) {
            case 0: {
                // Callers may hold a lock of their own while they call in.
                static std::mutex module_mu;
                std::unique_lock<std::mutex> lk(module_mu, std::defer_lock);
                if (rng() & 1) lk.lock();
                product_linkinglist_candev_add(mac.c_str(), "c1");
                break;
            }
            case 1:
                product_linkinglist_485dev_add(mac.c_str(), "d1");
                break;
            case 2:
                product_linkinglist_linedev_offline(mac.c_str(), 1 + static_cast<int>(rng() % 2));
                break;
            case 3:
                product_linkinglist_linedev_online(mac.c_str(), 1 + static_cast<int>(rng() % 2));
                break;
            default: {
                orvi_subdev_info_t got;
                product_linkinglist_dev_get(mac.c_str(), 0, 1, &got);
                break;
            }
        }
    }
}

// The table, its MAC index and its counters describe the same records.
void expect_consistent() {
    std::string why;
    EXPECT_TRUE(product_registry_check_for_test(&why)) << why;
    const std::vector<orvi_subdev_ptr> table = product_subdev_list_snapshot();
    uint32_t minipro_at = ORVI_SUBDEV_MAX;
    for (uint32_t i = 0; i < table.size(); ++i)
        if (orvi_subdev_snapshot(table[i]).dev_type == DEV_TYPE_MINIPRO) minipro_at = i;
    const product_host_counts_t c = product_get_host_counts();
    EXPECT_EQ(c.devCnt, table.size());
    if (c.minipro) {
        EXPECT_EQ(c.devCnt - 1, minipro_at);
    }
    EXPECT_EQ(product_get_linking_list(0)->subdev_count.load(),
              product_get_linking_list(DEV_TYPE_CAN)->subdev_count.load() +
                  product_get_linking_list(DEV_TYPE_485)->subdev_count.load());
}

TEST_F(RegistryStress, ConcurrentUseOfTableRecordsAndLists) {
    std::vector<std::thread> threads;
    threads.emplace_back(adder, 1);
    threads.emplace_back(adder, 2);
    threads.emplace_back(deleter, 3);
    threads.emplace_back(user, 4);
    threads.emplace_back(walker, 5);
    threads.emplace_back(subsub, 6);
    threads.emplace_back(linker, 7);
    threads.emplace_back(linker, 8);
    g_go.store(true);
    for (std::thread &t : threads)
        t.join();
    expect_consistent();
}
}  // namespace
