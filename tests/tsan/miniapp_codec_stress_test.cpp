// Pages are pushed, resent from the timer tick, sent, cancelled and their
// target deleted and re-added, all at once; commands are converted into a
// record's binCmd while senders read the buffer they hold. Under
// ThreadSanitizer any data race or use of a freed record fails the run.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "orvi_codec.h"
#include "orvi_field.h"
#include "orvi_handlers.h"
#include "orvi_miniapp.h"
#include "orvi_testing.h"
#include "orvi_timer.h"
#include "posted_events.h"
#include "product_subdev.h"
#include "scratch_root.h"

namespace {
constexpr int kRounds = 2000;

orvi_subdev_ptr add(const std::string &mac, dev_type_t type) {
    orvi_subdev_list_t d;
    orvi_field_set(d.mac, mac);
    d.dev_type = type;
    d.online = 0;
    return product_add_subdev_to_host(&d);
}

TEST(MiniAppStress, PushesResendsSendsAndDeletesRunTogether) {
    ScratchRoot root;
    product_registry_reset_for_test();
    orvi_timer_service_stop();
    orvi_miniapp_reset_for_test();
    ASSERT_EQ(0, posted_events_start());
    for (int i = 0; i < 20; ++i)
        add("00000000000" + std::to_string(i % 10) + std::to_string(i / 10), DEV_TYPE_UDP);
    add(ORVI_MINIAPP_MAC, DEV_TYPE_MINIPRO);

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {  // the request task's builders
        for (int i = 0; i < kRounds; ++i) {
            checkRes_devOnlinePush_send(nullptr, 0, i % 3 == 0);
            checkRes_checkResPush_send(nullptr, i % 5, i % 4 == 0);
            if (i % 7 == 0) checkRes_send_retry_cansle();
        }
        stop = true;
    });
    threads.emplace_back([&] {  // the timer tick
        while (!stop)
            orvi_timer_tick_once();
    });
    threads.emplace_back([&] {  // the sends of the posted events
        while (!stop) {
            for (const posted_event_t &e : posted_events_take()) {
                request_data_t req;
                orvi_send_miniAppRsp(&req, e.dev);
            }
        }
    });
    threads.emplace_back([&] {  // the mini-app leaves and comes back; its status is written
        while (!stop) {
            product_delete_subdev_form_host(ORVI_MINIAPP_MAC);
            orvi_subdev_ptr m = add(ORVI_MINIAPP_MAC, DEV_TYPE_MINIPRO);
            product_subdev_set_data(m, "{\"t\":\"other\"}");
        }
    });
    for (std::thread &t : threads)
        t.join();
    posted_events_stop();
    orvi_miniapp_reset_for_test();
    orvi_timer_service_stop();
    product_registry_reset_for_test();
}

TEST(CodecStress, BinCmdIsReplacedWhileSendersReadIt) {
    ScratchRoot root;
    product_registry_reset_for_test();
    {
        std::ifstream in(std::string(ORVI_BINARY_DIR) + "/lib/lib90001.so", std::ios::binary);
        ASSERT_TRUE(in.good());
        std::ofstream out(root.path("/data/domivault/data/lib/lib90001.so"), std::ios::binary);
        out << in.rdbuf();
    }
    orvi_subdev_ptr dev = add("A1B2C3D4E5F6", DEV_TYPE_UDP);
    std::string tmpl = orvi_codec_status_input("pQEyAA==");
    orvi_subdev_locked(dev, [&](orvi_subdev_list_t &r) {
        orvi_field_set(r.mid, "90001");
        r.binParam.assign(tmpl.begin(), tmpl.end());
    });

    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i)
                if (orvi_json_to_hex_handle("{\"t\":\"cmd\",\"opt\":[\"Pow\"],\"p\":[1]}", dev) != 0)
                    ++failures;
        });
    }
    std::thread reader([&] {
        while (!stop) {
            auto buf = orvi_subdev_locked(dev, [](orvi_subdev_list_t &r) { return r.binCmd; });
            if (buf && strncmp(buf->data(), "{\"t\":\"binCmd\"", 13) != 0) ++failures;
        }
    });
    for (std::thread &t : threads)
        t.join();
    stop = true;
    reader.join();
    EXPECT_EQ(failures.load(), 0);
    product_registry_reset_for_test();
}
}  // namespace
