// The wired-bus health monitor, one round at a time: registry and linking
// lists set up by hand, the "/host" events captured at the publishers' sink.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orvi_subdev_ctrl.h"
#include "subdev_ctrl_test_support.h"

using namespace publish_test;
using namespace ctrl_test;

namespace {

std::vector<unsigned> g_sleeps;
void record_sleep(unsigned ms) {
    g_sleeps.push_back(ms);
}

class LocalMonitorTest : public CtrlFixture {
  protected:
    void SetUp() override {
        CtrlFixture::SetUp();
        ASSERT_EQ(0, product_linkinglist_init());
        g_sleeps.clear();
        local_device_monitor_set_sleep(record_sleep);
    }
    void TearDown() override {
        local_device_monitor_set_sleep(nullptr);
        local_device_monitor_reset();
        CtrlFixture::TearDown();
    }
    static orvi_subdev_ptr line_dev(const char *mac, dev_type_t type, bool online) {
        orvi_subdev_ptr d = add(mac, type, "1");
        orvi_subdev_locked(d, [&](orvi_subdev_list_t &r) { r.online = online ? 1 : 0; });
        return d;
    }
    static void set_online(const orvi_subdev_ptr &d, bool online) {
        orvi_subdev_locked(d, [&](orvi_subdev_list_t &r) { r.online = online ? 1 : 0; });
    }
    // "cannet=fault" for every "/host" event published, then forgets them.
    static std::vector<std::string> events() {
        std::vector<std::string> out;
        for (const sent_t &s : PublishCapture::sent()) {
            if (s.topic != "/host") continue;
            json_ptr j(cJSON_Parse(open_pack(s, kRandomKey).c_str()), &cJSON_Delete);
            const cJSON *plain = cJSON_GetObjectItem(j.get(), "plaintext");
            const cJSON *c = cJSON_GetArrayItem(cJSON_GetObjectItem(plain, "cols"), 0);
            const cJSON *d = cJSON_GetArrayItem(cJSON_GetObjectItem(plain, "dat"), 0);
            out.push_back(std::string(cJSON_IsString(c) ? c->valuestring : "?") + "=" +
                          (cJSON_IsString(d) ? d->valuestring : "?"));
        }
        PublishCapture::clear();
        return out;
    }
};

TEST_F(LocalMonitorTest, AllCanOfflineIsAFaultOnlyOnTheSecondRound) {
    line_dev("0a0000000001", DEV_TYPE_CAN, false);
    line_dev("0a0000000002", DEV_TYPE_CAN, false);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, local_device_monitor_round());
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, log.find("can bus fault need to confirm again!")) << log;
    EXPECT_NE(std::string::npos, log.find("canCnt:2 ;  offcanCnt:2 ; status :3")) << log;
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(BUS_IDLE, local_device_monitor_can_status());

    EXPECT_EQ(1, local_device_monitor_round());
    EXPECT_EQ(std::vector<std::string>({"cannet=fault"}), events());
    EXPECT_EQ(BUS_FAULT, local_device_monitor_can_status());
    EXPECT_EQ(0, local_device_monitor_round());
    EXPECT_TRUE(events().empty());
}

TEST_F(LocalMonitorTest, AFaultSeenOnceThenGoneNeedsTwoRoundsAgain) {
    orvi_subdev_ptr a = line_dev("0a0000000001", DEV_TYPE_CAN, true);
    line_dev("0a0000000002", DEV_TYPE_CAN, false);
    local_device_monitor_round();
    EXPECT_EQ(std::vector<std::string>({"cannet=normal"}), events());
    set_online(a, false);
    local_device_monitor_round();  // first sight
    set_online(a, true);
    local_device_monitor_round();  // gone again
    set_online(a, false);
    local_device_monitor_round();  // first sight once more
    EXPECT_TRUE(events().empty());
    local_device_monitor_round();
    EXPECT_EQ(std::vector<std::string>({"cannet=fault"}), events());
    set_online(a, true);
    local_device_monitor_round();  // recovery is told at once
    EXPECT_EQ(std::vector<std::string>({"cannet=normal"}), events());
}

TEST_F(LocalMonitorTest, BusStatesFromCountsAndLinkingLists) {
    // RS-485: an MJ gateway counts with the RS-485 devices.
    line_dev("0b0000000001", DEV_TYPE_485, false);
    orvi_subdev_ptr gw = line_dev("0b0000000002", DEV_TYPE_MJGATEWAY, true);
    local_device_monitor_round();
    EXPECT_EQ(std::vector<std::string>({"485net=normal"}), events());
    set_online(gw, false);
    local_device_monitor_round();
    local_device_monitor_round();
    EXPECT_EQ(std::vector<std::string>({"485net=fault"}), events());
    EXPECT_EQ(BUS_FAULT, local_device_monitor_485_status());

    // A CAN appliance seen on the bus but not registered: "unpair", at once.
    ASSERT_EQ(0, product_linkinglist_candev_add("0c0000000009", "1"));
    local_device_monitor_round();
    EXPECT_EQ(std::vector<std::string>({"cannet=unpair"}), events());
    // Registered: with no CAN device counted... it is one now, online.
    line_dev("0c0000000009", DEV_TYPE_CAN, true);
    local_device_monitor_round();
    EXPECT_EQ(std::vector<std::string>({"cannet=normal"}), events());
}

TEST_F(LocalMonitorTest, ThreadBodyStartsIdleWaitsThreeSecondsThenEveryTen) {
    line_dev("0a0000000001", DEV_TYPE_CAN, true);
    EXPECT_EQ(2, local_device_monitor_run(2));
    EXPECT_EQ(std::vector<std::string>({"cannet=idle", "485net=idle", "cannet=normal"}), events());
    EXPECT_EQ(std::vector<unsigned>({3000, 10000, 10000}), g_sleeps);
    EXPECT_STREQ("idle", bus_status_name(BUS_IDLE));
    EXPECT_STREQ("normal", bus_status_name(BUS_NORMAL));
    EXPECT_STREQ("unpair", bus_status_name(BUS_UNPAIR));
    EXPECT_STREQ("fault", bus_status_name(BUS_FAULT));
}

}  // namespace
