// The binary command queue and its retry clock, driven by hand: the 100 ms
// refresh is the timer service's tick run on the test's thread, and the
// retry thread's work is one pass after every tick.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "orvi_bincmd.h"
#include "orvi_field.h"
#include "orvi_handlers.h"
#include "orvi_testing.h"
#include "orvi_timer.h"
#include "product_subdev.h"
#include "scratch_root.h"

namespace {

const char *kMac = "aabbccddee01";

struct Sent {
    int at_ms;
    std::string text;
    aes_key_t key;
};

class BincmdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        product_registry_reset_for_test();
        bincmd_retry_reset();
        orvi_timer_service_stop();
        ASSERT_GE(bincmd_retry_timer_start(), 0);
        bincmd_retry_hooks_t hooks;
        // The event loop and the request task, in one step: the "binCmd"
        // send function builds the packet as the request task would.
        hooks.post_bincmd = [this](const orvi_subdev_ptr &dev) {
            request_data_t req;
            EXPECT_EQ(0, orvi_send_binCmd(&req, dev));
            sent_.push_back({now_, req.rsp_data, req.rsp_key});
            return 0;
        };
        hooks.post_devinfo_delete = [this](const std::string &mac) {
            deleted_.push_back(mac);
            return 0;
        };
        bincmd_retry_set_hooks(hooks);
        dev_ = add(kMac, DEV_TYPE_UDP);
        ASSERT_TRUE(dev_);
        bincmd_retry_pass();
    }
    void TearDown() override {
        bincmd_retry_set_hooks({});
        bincmd_retry_reset();
        orvi_timer_service_stop();
        product_registry_reset_for_test();
    }

    static orvi_subdev_ptr add(const char *mac, dev_type_t type) {
        orvi_subdev_list_t d;
        orvi_field_set(d.mac, mac);
        orvi_field_set(d.key, "devicekey0000001");
        d.dev_type = type;
        return product_add_subdev_to_host(&d);
    }
    // Lets `ms` of time pass in 100 ms ticks, the retry thread looking after each.
    void advance(int ms) {
        for (int t = 0; t < ms; t += 100) {
            orvi_timer_tick_once();
            now_ += 100;
            bincmd_retry_pass();
        }
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto &s : sent_)
            out.push_back(s.text);
        return out;
    }
    static int node_count() {
        orvi::MutexLock lk(binCmd_Retry_List.mu);
        return binCmd_Retry_List.node_count();
    }
    static bincmd_res_t front_flag() {
        orvi::MutexLock lk(binCmd_Retry_List.mu);
        bincmd_retry_node_t *n = bincmd_retry_node_get(&binCmd_Retry_List, kMac);
        return n && !n->cmd_list.cmds.empty() ? n->cmd_list.cmds.front().flag_res : FLAG_RES_IGNORE;
    }

    orvi_subdev_ptr dev_;
    int now_ = 0;
    std::vector<Sent> sent_;
    std::vector<std::string> deleted_;
};

TEST_F(BincmdTest, UnansweredCommandIsSentThreeTimesTwoSecondsApartThenTheNextFollows) {
    ASSERT_EQ(0, subdev_udp_bincmd_ctrl(dev_, "{\"t\":\"binCmd\",\"bin\":\"A\"}"));
    ASSERT_EQ(0, subdev_udp_bincmd_ctrl(dev_, "{\"t\":\"binCmd\",\"bin\":\"B\"}"));
    bincmd_retry_pass();
    advance(9000);
    ASSERT_EQ(4u, sent_.size());
    const int expect_at[] = {0, 2000, 4000, 8000};  // time-out at 6000, the next 2 s later
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(expect_at[i], sent_[i].at_ms) << i;
    EXPECT_EQ(
        std::vector<std::string>({"{\"t\":\"binCmd\",\"bin\":\"A\"}", "{\"t\":\"binCmd\",\"bin\":\"A\"}",
                                  "{\"t\":\"binCmd\",\"bin\":\"A\"}", "{\"t\":\"binCmd\",\"bin\":\"B\"}"}),
        texts());
    EXPECT_EQ(AES_KEY_TYPE_RANDOM, sent_[0].key);
}

TEST_F(BincmdTest, AnswerCountsOnlyForTheCommandSentAndInFlight) {
    ASSERT_EQ(0, subdev_udp_bincmd_ctrl(dev_, "{\"t\":\"binCmd\",\"bin\":\"A\"}"));
    ASSERT_EQ(0, subdev_udp_bincmd_ctrl(dev_, "{\"t\":\"binCmd\",\"bin\":\"B\"}"));
    // Not sent yet: an answer now belongs to nothing.
    EXPECT_EQ(-1, bincmd_res_handle(&binCmd_Retry_List, kMac, 1));
    bincmd_retry_pass();
    ASSERT_EQ(1u, sent_.size());
    EXPECT_EQ(0, bincmd_res_handle(&binCmd_Retry_List, kMac, 1));
    // A repeated answer changes nothing.
    EXPECT_EQ(-1, bincmd_res_handle(&binCmd_Retry_List, kMac, 0));
    EXPECT_EQ(FLAG_RES_SUCCESS, front_flag());
    advance(2000);  // the outcome step: A leaves, B is not sent yet
    ASSERT_EQ(1u, sent_.size());
    EXPECT_EQ(-1, bincmd_res_handle(&binCmd_Retry_List, kMac, 1));  // late duplicate of A's answer
    EXPECT_EQ(FLAG_RES_IDLE, front_flag());
    advance(2000);
    ASSERT_EQ(2u, sent_.size());
    EXPECT_EQ("{\"t\":\"binCmd\",\"bin\":\"B\"}", sent_[1].text);
    EXPECT_EQ(4000, sent_[1].at_ms);
}

TEST_F(BincmdTest, LateAnswerAfterTimeoutDoesNotCompleteTheNextCommand) {
    ASSERT_EQ(0, subdev_udp_bincmd_ctrl(dev_, "{\"t\":\"binCmd\",\"bin\":\"A\"}"));
    ASSERT_EQ(0, subdev_udp_bincmd_ctrl(dev_, "{\"t\":\"binCmd\",\"bin\":\"B\"}"));
    bincmd_retry_pass();
    advance(6000);  // A timed out; B is in flight, unsent
    ASSERT_EQ(3u, sent_.size());
    EXPECT_EQ(-1, bincmd_res_handle(&binCmd_Retry_List, kMac, 1));
    advance(14000);
    // B went out three times and timed out on its own.
    ASSERT_EQ(6u, sent_.size());
    for (size_t i = 3; i < 6; ++i)
        EXPECT_EQ("{\"t\":\"binCmd\",\"bin\":\"B\"}", sent_[i].text);
    EXPECT_EQ(1, node_count());  // the node stays while the device is registered
}

TEST_F(BincmdTest, ResetMarksEarlierCommandsIgnoredAndItsSuccessRemovesTheDevice) {
    ASSERT_EQ(0, subdev_udp_bincmd_ctrl(dev_, "{\"t\":\"binCmd\",\"bin\":\"A\"}"));
    ASSERT_EQ(0, subdev_udp_bincmd_ctrl(dev_, "{\"t\":\"binCmd\",\"bin\":\"B\"}"));
    ASSERT_EQ(0, subdev_udp_reset_command_send(dev_));
    bincmd_retry_pass();
    ASSERT_EQ(1u, sent_.size());
    EXPECT_NE(std::string::npos, sent_[0].text.find("\"t\":\"reset\""));
    EXPECT_NE(std::string::npos, sent_[0].text.find(kMac));
    ASSERT_EQ(0, bincmd_res_handle(&binCmd_Retry_List, kMac, 1));
    advance(2000);
    EXPECT_FALSE(product_get_subdev_form_host(kMac));
    EXPECT_EQ(std::vector<std::string>({kMac}), deleted_);
    EXPECT_EQ(0, node_count());
    EXPECT_EQ(1u, sent_.size());
}

TEST_F(BincmdTest, TwelveQueuedDropTheCommandInFlightUnsent) {
    for (int i = 1; i <= 12; ++i) {
        std::string c = "{\"t\":\"binCmd\",\"bin\":\"C" + std::to_string(i) + "\"}";
        ASSERT_EQ(0, subdev_udp_bincmd_ctrl(dev_, c.c_str()));
    }
    bincmd_retry_pass();
    ASSERT_EQ(1u, sent_.size());
    EXPECT_EQ("{\"t\":\"binCmd\",\"bin\":\"C2\"}", sent_[0].text);
}

TEST_F(BincmdTest, DeviceLeavingTheRegistryFreesItsNode) {
    ASSERT_EQ(0, subdev_udp_bincmd_ctrl(dev_, "{\"t\":\"binCmd\",\"bin\":\"A\"}"));
    ASSERT_EQ(0, product_delete_subdev_form_host(kMac));
    bincmd_retry_pass();
    EXPECT_TRUE(sent_.empty());
    EXPECT_EQ(0, node_count());
}

TEST_F(BincmdTest, StatusCheckTimeoutIsFollowedByAScan) {
    ASSERT_EQ(0, subdev_udp_statusCheck_send(dev_));
    bincmd_retry_pass();
    advance(6100);
    ASSERT_EQ(4u, sent_.size());
    EXPECT_NE(std::string::npos, sent_[0].text.find("\"t\":\"statusCheck\""));
    EXPECT_EQ(4000, sent_[2].at_ms);
    // The check timed out at 6000; the scan lands on a device with nothing
    // queued and goes out at the next pass.
    EXPECT_EQ("{\"t\":\"scan\",\"allRange\":1}", sent_[3].text);
    EXPECT_EQ(6100, sent_[3].at_ms);
    // A command that asks for a scan goes out with the default key.
    EXPECT_EQ(AES_KEY_TYPE_DEFAULT, sent_[3].key);
}

TEST_F(BincmdTest, CommandBufferIsReplacedNotRewrittenUnderAReader) {
    ASSERT_EQ(0, subdev_udp_bincmd_ctrl(dev_, "{\"t\":\"binCmd\",\"bin\":\"A\"}"));
    bincmd_retry_pass();
    std::shared_ptr<std::vector<char>> held =
        orvi_subdev_locked(dev_, [](orvi_subdev_list_t &d) { return d.binCmd; });
    ASSERT_TRUE(held);
    std::string long_cmd = "{\"t\":\"binCmd\",\"bin\":\"" + std::string(3000, 'x') + "\"}";
    ASSERT_EQ(0, bincmd_res_handle(&binCmd_Retry_List, kMac, 1));
    ASSERT_EQ(0, subdev_udp_bincmd_ctrl(dev_, long_cmd.c_str()));
    advance(4000);
    ASSERT_EQ(2u, sent_.size());
    EXPECT_EQ(long_cmd, sent_[1].text);
    EXPECT_STREQ("{\"t\":\"binCmd\",\"bin\":\"A\"}", held->data());
}

// ---- Answers from devices ----------------------------------------------------

struct ResCase {
    const char *name;
    dev_type_t type;
    const char *packet;
    int rc;
    bincmd_res_t flag;
};

class ResHandlerTest : public BincmdTest, public ::testing::WithParamInterface<ResCase> {};

TEST_P(ResHandlerTest, RecordsTheOutcomeOfTheCommandInFlight) {
    const ResCase &c = GetParam();
    orvi_subdev_locked(dev_, [&](orvi_subdev_list_t &d) {
        d.dev_type = c.type;
        d.hb_ticks = 0;
    });
    ASSERT_EQ(0, subdev_udp_bincmd_ctrl(dev_, "{\"t\":\"binCmd\",\"bin\":\"A\"}"));
    bincmd_retry_pass();
    cJSON *j = cJSON_Parse(c.packet);
    request_data_t req;
    EXPECT_EQ(c.rc, request_handle_res(j, &req, dev_));
    cJSON_Delete(j);
    EXPECT_EQ(0u, req.rsp_size);
    EXPECT_EQ(c.flag, front_flag());
}

INSTANTIATE_TEST_SUITE_P(
    Res, ResHandlerTest,
    ::testing::Values(
        ResCase{"udp_ok", DEV_TYPE_UDP, "{\"t\":\"res\",\"r\":200}", 0, FLAG_RES_SUCCESS},
        ResCase{"udp_code", DEV_TYPE_UDP, "{\"t\":\"res\",\"r\":200,\"code\":3}", 0, FLAG_RES_FAILURE},
        ResCase{"wifi_ok", DEV_TYPE_WIFI, "{\"t\":\"res\",\"r\":200,\"code\":3}", 0, FLAG_RES_SUCCESS},
        ResCase{"no_r", DEV_TYPE_UDP, "{\"t\":\"res\"}", -1, FLAG_RES_IDLE},
        ResCase{"r_500", DEV_TYPE_UDP, "{\"t\":\"res\",\"r\":500}", -1, FLAG_RES_IDLE},
        ResCase{"other_type", DEV_TYPE_CAN, "{\"t\":\"res\",\"r\":200}", 0, FLAG_RES_IDLE}),
    [](const ::testing::TestParamInfo<ResCase> &i) { return std::string(i.param.name); });

TEST_F(BincmdTest, ResFromAUdpDeviceRefreshesItsHeartbeat) {
    // A stale value the tick counter cannot hold yet, so the refresh shows
    // whether or not the tick thread has started in this process.
    orvi_subdev_locked(dev_, [](orvi_subdev_list_t &d) { d.hb_ticks = 0x7fffffff; });
    cJSON *j = cJSON_Parse("{\"t\":\"res\",\"r\":200}");
    request_data_t req;
    const unsigned long before = static_cast<unsigned long>(orvi_get_ticks());
    EXPECT_EQ(0, request_handle_res(j, &req, dev_));
    const unsigned long after = static_cast<unsigned long>(orvi_get_ticks());
    cJSON_Delete(j);
    const unsigned long hb = orvi_subdev_snapshot(dev_).hb_ticks;
    EXPECT_GE(hb, before);
    EXPECT_LE(hb, after);
}

TEST_F(BincmdTest, StatusCheckAnswerCompletesTheCheck) {
    ASSERT_EQ(0, subdev_udp_statusCheck_send(dev_));
    bincmd_retry_pass();
    cJSON *j = cJSON_Parse("{\"t\":\"statusCheckRes\"}");
    request_data_t req;
    EXPECT_EQ(0, request_handle_statusCheckRes(j, &req, dev_));
    cJSON_Delete(j);
    EXPECT_EQ(FLAG_RES_SUCCESS, front_flag());
    advance(8000);
    EXPECT_EQ(1u, sent_.size());  // no scan follows
}

TEST_F(BincmdTest, StatusCheckAnswerWithABinaryStatusBecomesTheStatusDocument) {
    ScratchRoot root;
    {
        std::ifstream in(std::string(ORVI_BINARY_DIR) + "/lib/lib90001.so", std::ios::binary);
        std::ofstream out(root.path("/data/domivault/data/lib/lib90001.so"), std::ios::binary);
        out << in.rdbuf();
    }
    orvi_subdev_locked(dev_, [](orvi_subdev_list_t &d) { orvi_field_set(d.mid, "90001"); });
    // [0xA5, pow 1, lum 80, 0]
    cJSON *j = cJSON_Parse("{\"t\":\"statusCheckRes\",\"binStatus\":\"pQFQAA==\"}");
    request_data_t req;
    EXPECT_EQ(0, request_handle_statusCheckRes(j, &req, dev_));
    cJSON_Delete(j);
    orvi_subdev_fields_t f = orvi_subdev_snapshot(dev_);
    EXPECT_EQ("{\"cols\":[\"Pow\",\"Lum\"],\"dat\":[1,80]}", f.data);
    EXPECT_NE(std::string::npos, std::string(f.binParam.data()).find("\"base64Param\":\"pQFQAA==\""));
}

TEST_F(BincmdTest, ScanSendUsesTheDefaultKeyAndAllRangeOnlyOnce) {
    request_data_t a, b;
    ASSERT_EQ(0, orvi_send_scan(&a, nullptr));
    ASSERT_EQ(0, orvi_send_scan(&b, nullptr));
    EXPECT_EQ(AES_KEY_TYPE_DEFAULT, a.rsp_key);
    EXPECT_EQ("{\"t\":\"scan\",\"allRange\":0}", b.rsp_data);
}

TEST_F(BincmdTest, BinCmdSendWithoutABufferSendsNothing) {
    request_data_t req;
    EXPECT_EQ(-1, orvi_send_binCmd(&req, dev_));
    EXPECT_EQ(0u, req.rsp_size);
}

// ---- Multi-gang filter ----------------------------------------------------------

struct GangCase {
    const char *mac;
    const char *cols;
    const char *dat;
    int rc;
    const char *out_cols;
    const char *out_dat;
};

class GangFilterTest : public ::testing::TestWithParam<GangCase> {};

TEST_P(GangFilterTest, KeepsTheColumnOfTheGang) {
    const GangCase &c = GetParam();
    auto dev = std::make_shared<orvi_subdev_list_t>();
    orvi_field_set(dev->mac, c.mac);
    cJSON *cols = cJSON_Parse(c.cols);
    cJSON *dat = cJSON_Parse(c.dat);
    cJSON *oc = nullptr, *od = nullptr;
    EXPECT_EQ(c.rc, multi_switch_status_filter(dev, cols, dat, &oc, &od));
    if (c.rc == 0) {
        char *pc = cJSON_PrintUnformatted(oc);
        char *pd = cJSON_PrintUnformatted(od);
        EXPECT_STREQ(c.out_cols, pc);
        EXPECT_STREQ(c.out_dat, pd);
        cJSON_free(pc);
        cJSON_free(pd);
    }
    cJSON_Delete(oc);
    cJSON_Delete(od);
    cJSON_Delete(cols);
    cJSON_Delete(dat);
}

INSTANTIATE_TEST_SUITE_P(
    Gangs, GangFilterTest,
    ::testing::Values(GangCase{"aabbccddee0101", "[\"Sw1\",\"Sw2\"]", "[1,0]", 0, "[\"Sw2\"]", "[0]"},
                      GangCase{"aabbccddee0103", "[\"Sw4\",\"Sw4\"]", "[1,0]", 0, "[\"Sw4\"]", "[1]"},
                      GangCase{"aabbccddee0104", "[\"Sw1\"]", "[1]", -1, "", ""},
                      GangCase{"aabbccddee01", "[\"Sw1\"]", "[1]", -1, "", ""},
                      GangCase{"aabbccddee0100", "[\"Sw1\",\"Sw2\"]", "[1]", -1, "", ""},
                      GangCase{"aabbccddee0100", "[\"Sw1\"]", "[\"on\"]", -1, "", ""},
                      GangCase{"aabbccddee0100", "[]", "[]", -1, "", ""}));

}  // namespace
