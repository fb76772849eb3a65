// The command retry list under threads: queuing threads, the refresh tick,
// the retry pass, answers arriving and the send function reading the
// command buffer all at once, while devices come and go.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "orvi_bincmd.h"
#include "orvi_field.h"
#include "orvi_handlers.h"
#include "orvi_log.h"
#include "product_subdev.h"
#include "orvi_testing.h"

namespace {

std::string mac_of(int i) {
    char b[24];
    snprintf(b, sizeof b, "aabbcc%06d", i);
    return b;
}

orvi_subdev_ptr add(int i) {
    orvi_subdev_list_t d;
    orvi_field_set(d.mac, mac_of(i));
    orvi_field_set(d.key, "devicekey0000001");
    d.dev_type = DEV_TYPE_UDP;
    return product_add_subdev_to_host(&d);
}

TEST(BincmdStress, QueueTickPassAnswersAndSendsRaceFree) {
    orvi_log_level_t level = orvi_log_level_get();
    orvi_log_level_set(ORVI_LOG_ERROR);  // thousands of steps: keep their lines out
    product_registry_reset_for_test();
    bincmd_retry_reset();
    std::atomic<int> sends{0};
    bincmd_retry_hooks_t hooks;
    hooks.post_bincmd = [&](const orvi_subdev_ptr &dev) {
        request_data_t req;
        if (orvi_send_binCmd(&req, dev) == 0) sends.fetch_add(1);
        return 0;
    };
    hooks.post_devinfo_delete = [](const std::string &) { return 0; };
    bincmd_retry_set_hooks(hooks);
    constexpr int kDevices = 8;
    for (int i = 0; i < kDevices; ++i)
        add(i);

    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int q = 0; q < 2; ++q) {
        threads.emplace_back([&, q] {
            for (int n = 0; !stop; ++n) {
                orvi_subdev_ptr dev = product_get_subdev_form_host(mac_of(n % kDevices).c_str());
                std::string cmd = "{\"t\":\"binCmd\",\"bin\":\"" +
                                  std::string(static_cast<size_t>(n % 600), 'x') + std::to_string(q) + "\"}";
                if (dev) subdev_udp_bincmd_ctrl(dev, cmd.c_str());
                if (dev && n % 97 == 0) subdev_udp_reset_command_send(dev);
                std::this_thread::yield();
            }
        });
    }
    threads.emplace_back([&] {
        while (!stop) {
            bincmd_retry_tick(1000);
            std::this_thread::yield();
        }
    });
    threads.emplace_back([&] {
        while (!stop)
            bincmd_retry_pass();
    });
    threads.emplace_back([&] {
        for (int n = 0; !stop; ++n)
            bincmd_res_handle(&binCmd_Retry_List, mac_of(n % kDevices).c_str(), n % 3 != 0);
    });
    threads.emplace_back([&] {
        for (int n = 0; !stop; ++n) {
            int i = n % kDevices;
            if (!product_get_subdev_form_host(mac_of(i).c_str())) add(i);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    // The threads race for a while; on a busy machine they run on until the
    // first command has gone out, within a deadline.
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(800) ||
           (sends.load() == 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(30)))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    for (auto &t : threads)
        t.join();
    EXPECT_GT(sends.load(), 0);
    bincmd_retry_set_hooks({});
    bincmd_retry_reset();
    product_registry_reset_for_test();
    orvi_log_level_set(level);
}

}  // namespace
