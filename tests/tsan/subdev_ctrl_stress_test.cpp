// Device control under threads: two callers command the same bus device and
// the same Wi-Fi device with commands of growing size while the retry
// thread's work writes the Wi-Fi device's buffer and its send function reads
// it. Every command published on the bus must be one that was sent, whole,
// exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "event_publish.h"
#include "orvi_aes.h"
#include "orvi_bincmd.h"
#include "orvi_field.h"
#include "orvi_handlers.h"
#include "orvi_log.h"
#include "orvi_product.h"
#include "orvi_subdev_ctrl.h"
#include "product_subdev.h"
#include "orvi_testing.h"

namespace {

const char kKey[] = "devicekey0000001";

std::mutex g_mu;
std::map<std::string, int> g_published;  // command text -> times published

int sink(const char *topic, const char *message, size_t length, int) {
    cJSON *pkg = cJSON_ParseWithLength(message, length);
    const cJSON *pack = cJSON_GetObjectItem(pkg, "pack");
    std::string text = cJSON_IsString(pack) ? pack->valuestring : "";
    cJSON_Delete(pkg);
    if (orvi_aes_decrypt(kKey, text) == 0) {
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        std::lock_guard<std::mutex> lk(g_mu);
        ++g_published[text];
    }
    return 0;
}

orvi_subdev_ptr add(const char *mac, dev_type_t type) {
    orvi_subdev_list_t d;
    orvi_field_set(d.mac, mac);
    orvi_field_set(d.key, kKey);
    d.dev_type = type;
    return product_add_subdev_to_host(&d);
}

TEST(SubdevCtrlStress, CommandsToOneDeviceNeverMixUp) {
    orvi_log_level_t level = orvi_log_level_get();
    orvi_log_level_set(ORVI_LOG_ERROR);
    product_registry_reset_for_test();
    bincmd_retry_reset();
    bincmd_retry_hooks_t hooks;
    hooks.post_bincmd = [](const orvi_subdev_ptr &dev) {
        request_data_t req;
        orvi_send_binCmd(&req, dev);
        return 0;
    };
    hooks.post_devinfo_delete = [](const std::string &) { return 0; };
    bincmd_retry_set_hooks(hooks);
    orvi_dev_info_t saved;
    {
        orvi::MutexLock lk(orvi_dev_info_mutex());
        saved = orvi_dev_info;
        orvi_field_set(orvi_dev_info.home_mac_str, "HOME000000000001");
        orvi_field_set(orvi_dev_info.home_key, "homekey123456789");
        orvi_field_set(orvi_dev_info.host_mac_str, "a0b1c2d3e4f5");
    }
    event_publish_set_sink(sink);
    orvi_subdev_ptr can = add("0a0000000001", DEV_TYPE_CAN);
    orvi_subdev_ptr wifi = add("0b0000000001", DEV_TYPE_WIFI);
    ASSERT_TRUE(can && wifi);

    constexpr int kPerThread = 300;
    std::atomic<bool> stop{false};
    std::vector<std::thread> callers;
    for (int t = 0; t < 2; ++t) {
        callers.emplace_back([&, t] {
            for (int n = 0; n < kPerThread; ++n) {
                const std::string cmd = "{\"t\":\"cmd\",\"n\":\"" + std::to_string(t) + "-" +
                                        std::to_string(n) + "\",\"pad\":\"" +
                                        std::string(static_cast<size_t>(n * 7), 'x') + "\"}";
                product_subdev_ctrl_handle(can, cmd.c_str(), cmd.size());
                product_subdev_ctrl_handle(wifi, cmd.c_str(), cmd.size());
            }
        });
    }
    std::thread retry([&] {
        while (!stop) {
            bincmd_retry_tick(2000);
            bincmd_retry_pass();
        }
    });
    for (auto &c : callers)
        c.join();
    stop = true;
    retry.join();

    event_publish_set_sink(nullptr);
    bincmd_retry_set_hooks({});
    bincmd_retry_reset();
    product_registry_reset_for_test();
    orvi_log_level_set(level);
    {
        orvi::MutexLock lk(orvi_dev_info_mutex());
        orvi_dev_info = saved;
    }

    std::lock_guard<std::mutex> lk(g_mu);
    int total = 0;
    for (const auto &[text, times] : g_published) {
        EXPECT_EQ(1, times) << text.substr(0, 60);
        EXPECT_EQ(0u, text.rfind("{\"t\":\"cmd\",\"n\":\"", 0)) << text.substr(0, 60);
        total += times;
    }
    EXPECT_EQ(2 * kPerThread, total);
}

}  // namespace
