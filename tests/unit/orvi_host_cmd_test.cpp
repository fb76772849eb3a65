// Commands addressed to the host: room group control, restart settings,
// cloud backup and restore. The lighting service answers through its
// recording implementation; publishes are captured at the publishers' sink.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orvi_backup.h"
#include "orvi_subdev_ctrl.h"
#include "recording_seams.h"
#include "subdev_ctrl_test_support.h"
#include "tovra_service.h"

using namespace publish_test;
using namespace ctrl_test;

namespace {

class HostCmdTest : public CtrlFixture {
  protected:
    void SetUp() override {
        CtrlFixture::SetUp();
        const dev_roomlist_t rooms[] = {
            {1001, 3, "Living"}, {1002, 7, "Kitchen"}, {1003, 0, "Attic"}};  // stored without a short id
        ASSERT_EQ(3, product_roomlist_append(rooms, 3, true));
    }
    static std::string host_cmd(const std::string &opt, const std::string &p,
                                const std::string &sub = kHomeMac) {
        return "{\"t\":\"cmd\",\"sub\":\"" + sub + "\",\"opt\":[" + opt + "],\"p\":[" + p + "]}";
    }
    static int run(const std::string &opt, const std::string &p) {
        return host_cloud_cmd_handle(host_cmd(opt, p).c_str());
    }
};

TEST_F(HostCmdTest, PowerOfARoomBroadcastsItsDefaultSceneAndSwitchesItsLights) {
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, run(R"("RoomID","DevType","Pow")", R"("1001",4,0)"));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, log.find("sceneid broadcast:0x30402")) << log;
    EXPECT_EQ(
        std::vector<std::string>({"tovra_trivox_scene_status_set 197634", "tovra_trivox_scene_send 197634",
                                  "tovra_device_all_ctrl 3 0 4 0 0 0"}),
        pending_calls());
    EXPECT_EQ(std::vector<std::string>({"/GroupCtrl"}), PublishCapture::topics());
}

// Without the lighting service a room command still reaches the other
// services, but is not answered as done; the self-check phase still follows
// a home-wide default the host broadcast.
TEST_F(HostCmdTest, RoomCommandTheLightingServiceCannotCarryIsNotDone) {
    recording_seams_back back;
    tovra_service_install(nullptr);
    EXPECT_EQ(-1, run(R"("RoomID","DevType","Pow")", R"("1001",8,1)"));
    EXPECT_EQ(-1, run(R"("RoomID","DevType","Lum")", R"("1001",8,40)"));
    EXPECT_EQ((std::vector<std::string>{"/GroupCtrl", "/GroupCtrl"}), PublishCapture::topics());
    ASSERT_EQ(0, orvi_tovra_scene_broadcast(DEFAULT_SCENE_OFF));
    EXPECT_EQ(DEFAULT_SCENE_OFF, scene_id_default_get());
    EXPECT_TRUE(pending_calls().empty());
}

TEST_F(HostCmdTest, DefaultSceneIdByRoomTypeAndAction) {
    struct Case {
        uint8_t sId;
        int type, pow;
        uint32_t id;
    } cases[] = {{3, 4, 0, 0x030402}, {3, 4, 1, 0x030401}, {3, 7, 1, 0x030764},
                 {3, 7, 0, 0x030700}, {7, 8, 1, 0x070801}, {255, 14, 0, 0xFF0E02}};
    for (const Case &c : cases)
        EXPECT_EQ(c.id, orvi_default_scene_id(c.sId, c.type, c.pow)) << c.type << " " << c.pow;
}

TEST_F(HostCmdTest, DevType8WithoutOpGatewayStillSwitchesTheRoom) {
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, run(R"("RoomID","DevType","Pow")", R"("1002",8,1)"));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, log.find("opGateway not found!")) << log;
    EXPECT_EQ(std::vector<std::string>({"tovra_trivox_scene_send 460801"}), calls("tovra_trivox_scene_send"));
    EXPECT_EQ(std::vector<std::string>({"tovra_device_all_ctrl 7 1 8 0 0 0"}),
              calls("tovra_device_all_ctrl"));
}

TEST_F(HostCmdTest, DevType8GoesToTheFirstOpGateway) {
    add("02dd00000001", DEV_TYPE_OPGATEWAY, "60001");
    add("02dd00000002", DEV_TYPE_OPGATEWAY, "60002");
    ASSERT_EQ(0, run(R"("RoomID","DevType","Lum")", R"("1001",8,40)"));
    std::vector<sent_t> sent = PublishCapture::sent();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ("/GroupCtrl", sent[0].topic);
    EXPECT_EQ(std::string("/jsonRequest/") + kHomeMac + "/02dd00000001", sent[1].topic);
    EXPECT_EQ(
        R"({"t":"cmd","opt":["RoomID","DevType","Lum"],"p":["1001",8,40],"sub":"02dd00000001","mid":"60001"})",
        open_pack(sent[1], kDevKey));
    EXPECT_EQ(std::vector<std::string>({"tovra_device_all_ctrl 3 2 8 40 0 0"}),
              calls("tovra_device_all_ctrl"));
}

TEST_F(HostCmdTest, CurtainLevelBrightnessAndColourTemperature) {
    ASSERT_EQ(0, run(R"("RoomID","DevType","CurPercent","Lum","ColorTemp")", R"("1001",7,55,20,3000)"));
    EXPECT_EQ(
        std::vector<std::string>({"tovra_device_all_ctrl 3 2 7 0 0 55", "tovra_device_all_ctrl 3 2 7 20 0 0",
                                  "tovra_device_all_ctrl 3 3 7 0 3000 0"}),
        pending_calls());
}

TEST_F(HostCmdTest, GroupCommandOutOfRangeIsRefusedNeverWidened) {
    struct Case {
        const char *what, *opt, *p;
    } cases[] = {
        {"room not a number", R"("RoomID","DevType","Pow")", R"("abc",4,1)"},
        {"empty room", R"("RoomID","DevType","Pow")", R"("",4,1)"},
        {"negative room", R"("RoomID","DevType","Pow")", R"("-1",4,1)"},
        {"trailing text", R"("RoomID","DevType","Pow")", R"("1001x",4,1)"},
        {"leading blank", R"("RoomID","DevType","Pow")", R"(" 1001",4,1)"},
        {"beyond 32 bits", R"("RoomID","DevType","Pow")", R"("4294968297",4,1)"},
        {"room not in the list", R"("RoomID","DevType","Pow")", R"("42",4,1)"},
        {"room zero", R"("RoomID","DevType","Pow")", R"("0",4,1)"},
        {"room without a short id", R"("RoomID","DevType","Pow")", R"("1003",4,1)"},
        {"room as a number", R"("RoomID","DevType","Pow")", R"(1001,4,1)"},
        {"type zero", R"("RoomID","DevType","Pow")", R"("1001",0,1)"},
        {"type 15", R"("RoomID","DevType","Pow")", R"("1001",15,1)"},
        {"type not an integer", R"("RoomID","DevType","Pow")", R"("1001",4.5,1)"},
        {"type as text", R"("RoomID","DevType","Pow")", R"("1001","4",1)"},
        {"no type", R"("RoomID","Pow")", R"("1001",1)"},
        {"no room", R"("DevType","Pow")", R"(4,1)"},
        {"power 2", R"("RoomID","DevType","Pow")", R"("1001",4,2)"},
        {"power as text", R"("RoomID","DevType","Pow")", R"("1001",4,"1")"},
        {"level over 100", R"("RoomID","DevType","CurPercent")", R"("1001",7,101)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        PublishCapture::clear();
        pending_calls_clear();
        EXPECT_EQ(-1, run(c.opt, c.p));
        EXPECT_TRUE(PublishCapture::sent().empty());
        EXPECT_TRUE(pending_calls().empty());
    }
    json_ptr cmd(cJSON_Parse(R"({"t":"cmd"})"), &cJSON_Delete);
    EXPECT_EQ(-1, cmd_group_ctrl_handle(cmd.get(), nullptr, nullptr));
}

TEST_F(HostCmdTest, MalformedHostCommandsAreRefused) {
    const std::string cases[] = {
        "not json",
        R"({"t":"cmd","opt":["cloud_backup_sw"],"p":[1]})",
        std::string(R"({"t":"cmd","sub":")") + kHomeMac + R"(","opt":"cloud_backup_sw","p":[1]})",
        host_cmd(R"("cloud_backup_sw","restore_id")", "1"),
        host_cmd("", ""),
        host_cmd(R"("cloud_backup_sw")", "1", "0123456789abcdef"),
        host_cmd(R"("cloud_backup_sw")", "1", ""),
        host_cmd(R"("nothing_known")", "1"),
    };
    for (const std::string &c : cases) {
        SCOPED_TRACE(c);
        EXPECT_EQ(-1, host_cloud_cmd_handle(c.c_str()));
    }
    EXPECT_EQ(-1, host_cloud_cmd_handle(nullptr));
    EXPECT_TRUE(PublishCapture::sent().empty());
    EXPECT_EQ(saved_ins_.cloud_backup_sw, product_get_cloud_backup_sw());
    // The host identifier names the host as well as the home MAC does.
    EXPECT_EQ(0, host_cloud_cmd_handle(host_cmd(R"("cloud_backup_sw")", "1", kHostMac).c_str()));
}

TEST_F(HostCmdTest, RestartScheduleIsStoredAndAnnounced) {
    ASSERT_EQ(
        0, run(R"("restart_timer_sw","restart_timer_time","restart_interval")", R"(1,"3月15日4时30分","7")"));
    EXPECT_EQ(1, product_get_restart_sw());
    EXPECT_EQ(7, product_get_restart_interval());
    EXPECT_EQ(3, product_get_restart_time_info("month"));
    EXPECT_EQ(15, product_get_restart_time_info("day"));
    EXPECT_EQ(4, product_get_restart_time_info("hour"));
    EXPECT_EQ(30, product_get_restart_time_info("minutes"));
    std::vector<sent_t> sent = PublishCapture::sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ("/appInsInfo", sent[0].topic);
    EXPECT_EQ(1, sent[0].retain);
    EXPECT_NE(
        std::string::npos,
        open_pack(sent[0], kRandomKey)
            .find(
                R"("restart_timer_info":{"restart_month":3,"restart_day":15,"restart_hour":4,"restart_min":30,"restart_interval":7})"));

    // Turning it off needs no time; the stored time stays.
    PublishCapture::clear();
    ASSERT_EQ(0, run(R"("restart_timer_sw","restart_timer_time","restart_interval")", R"(0,"","")"));
    EXPECT_EQ(0, product_get_restart_sw());
    EXPECT_EQ(3, product_get_restart_time_info("month"));
    EXPECT_EQ(std::vector<std::string>({"/appInsInfo"}), PublishCapture::topics());
}

TEST_F(HostCmdTest, ImpossibleRestartTimeIsRefusedAndNothingStored) {
    ASSERT_EQ(
        0, run(R"("restart_timer_sw","restart_timer_time","restart_interval")", R"(1,"3月15日4时30分","7")"));
    PublishCapture::clear();
    const char *times[] = {
        "13月15日4时30分", "0月15日4时30分", "3月32日4时30分", "3月0日4时30分", "3月15日24时30分",
        "3月15日4时60分",  "3月15日4时-1分", "3月15日",        "abc",           "99999999999月1日1时1分"};
    for (const char *t : times) {
        SCOPED_TRACE(t);
        EXPECT_EQ(-1, run(R"("restart_timer_sw","restart_timer_time","restart_interval")",
                          std::string("1,\"") + t + "\",\"9\""));
        EXPECT_EQ(-1, run(R"("restart_timer_time","restart_interval")", std::string("\"") + t + "\",\"9\""));
    }
    for (const char *interval : {R"("x")", R"("-1")", R"("")", "-3", "true"}) {
        SCOPED_TRACE(interval);
        EXPECT_EQ(-1, run(R"("restart_timer_time","restart_interval")",
                          std::string("\"1月2日3时4分\",") + interval));
    }
    EXPECT_EQ(-1, run(R"("restart_timer_sw")", R"("on")"));
    EXPECT_EQ(1, product_get_restart_sw());
    EXPECT_EQ(7, product_get_restart_interval());
    EXPECT_EQ(3, product_get_restart_time_info("month"));
    EXPECT_EQ(30, product_get_restart_time_info("minutes"));
    EXPECT_TRUE(PublishCapture::sent().empty());
}

TEST_F(HostCmdTest, CloudBackupSwitch) {
    ASSERT_EQ(0, run(R"("cloud_backup_sw")", "1"));
    EXPECT_EQ(1, product_get_cloud_backup_sw());
    EXPECT_EQ(std::vector<std::string>({"/appInsInfo"}), PublishCapture::topics());
    PublishCapture::clear();
    EXPECT_EQ(-1, run(R"("cloud_backup_sw")", R"("1")"));
    EXPECT_TRUE(PublishCapture::sent().empty());
}

TEST_F(HostCmdTest, CloudRestoreIsHandedToTheRestoreService) {
    set_restore_file_id(0);
    set_restore_touch_flag(0);
    ASSERT_EQ(0, run(R"("restore_id")", "77"));
    EXPECT_EQ(77, get_restore_file_id());
    EXPECT_EQ(2, get_restore_touch_flag());
    EXPECT_TRUE(pending_calls().empty());
    EXPECT_EQ(1, product_get_restore_download());
    // The restore job marks the host as restoring when it starts.
    EXPECT_FALSE(product_get_resotre_status());
    std::vector<sent_t> sent = PublishCapture::sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ("/key", sent[0].topic);
    EXPECT_NE(std::string::npos,
              open_pack(sent[0], kRandomKey).find(R"("plaintext":{"cols":["key"],"dat":["webRestore"]})"));

    // Not a file id, or a restore already running: refused.
    PublishCapture::clear();
    pending_calls_clear();
    for (const char *bad : {R"("77")", "0", "-4", "1.5"})
        EXPECT_EQ(-1, run(R"("restore_id")", bad)) << bad;
    product_set_resotre_status(true);
    EXPECT_EQ(-1, run(R"("restore_id")", "78"));
    EXPECT_TRUE(PublishCapture::sent().empty());
    EXPECT_TRUE(pending_calls().empty());
    EXPECT_EQ(77, get_restore_file_id());
}

TEST_F(HostCmdTest, SceneBroadcastSetsTheSelfCheckPhaseForHomeDefaults) {
    EXPECT_EQ(SCENE_ID_DEFAULT_IDLE, scene_id_default_get());
    ASSERT_EQ(0, orvi_tovra_scene_broadcast(DEFAULT_SCENE_OFF));
    EXPECT_EQ(DEFAULT_SCENE_OFF, scene_id_default_get());
    ASSERT_EQ(0, orvi_tovra_scene_broadcast(0x030401));
    EXPECT_EQ(DEFAULT_SCENE_OFF, scene_id_default_get());
    ASSERT_EQ(0, orvi_tovra_scene_broadcast(DEFAULT_SCENE_ON));
    EXPECT_EQ(DEFAULT_SCENE_ON, scene_id_default_get());
    pending_calls_clear();
    EXPECT_EQ(-1, orvi_tovra_scene_broadcast(0));
    EXPECT_EQ(-1, orvi_tovra_scene_broadcast(0x1000000));
    EXPECT_TRUE(pending_calls().empty());
}

}  // namespace
