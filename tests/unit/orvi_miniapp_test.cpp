#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "home_identity.h"
#include "orvi_event_post.h"
#include "orvi_field.h"
#include "orvi_handlers.h"
#include "orvi_miniapp.h"
#include "orvi_product.h"
#include "orvi_testing.h"
#include "orvi_timer.h"
#include "posted_events.h"
#include "product_subdev.h"
#include "scratch_root.h"

namespace {
const char *kHomeMac = "HOMEMAC000000001";

using json_ptr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;
json_ptr parse(const std::string &s) {
    return json_ptr(cJSON_Parse(s.c_str()), &cJSON_Delete);
}

std::string mac12(unsigned n) {
    char b[16];
    snprintf(b, sizeof b, "%012x", n);
    return b;
}

std::vector<std::string> strings(const cJSON *arr) {
    std::vector<std::string> out;
    const cJSON *e;
    cJSON_ArrayForEach(e, arr) out.emplace_back(e->valuestring);
    return out;
}

class MiniAppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        product_registry_reset_for_test();
        orvi_timer_service_stop();
        orvi_miniapp_reset_for_test();
        ASSERT_EQ(0, posted_events_start());
    }
    void TearDown() override {
        posted_events_stop();
        orvi_miniapp_reset_for_test();
        orvi_timer_service_stop();
        product_registry_reset_for_test();
    }

    orvi_subdev_ptr add(const std::string &mac, dev_type_t type, uint8_t online = 1) {
        orvi_subdev_list_t d;
        orvi_field_set(d.mac, mac);
        d.dev_type = type;
        d.online = online;
        return product_add_subdev_to_host(&d);
    }
    orvi_subdev_ptr add_miniapp() { return add(ORVI_MINIAPP_MAC, DEV_TYPE_MINIPRO); }

    // The targets of the sends posted so far (event 4106), in order.
    static std::vector<orvi_subdev_ptr> posts() {
        std::vector<orvi_subdev_ptr> out;
        for (const posted_event_t &e : posted_events_peek(is_send))
            out.push_back(e.dev);
        return out;
    }
    static bool is_send(orvi_event_loop_t event) { return event == ORVI_EVENT_MINIAPP_RES; }
    size_t post_count() { return posts().size(); }
    orvi_subdev_ptr last_post() {
        const std::vector<orvi_subdev_ptr> p = posts();
        return p.empty() ? nullptr : p.back();
    }
    // What the "miniAppRes" send of the last post puts on the wire.
    std::string last_sent() {
        request_data_t req;
        if (orvi_send_miniAppRsp(&req, last_post()) != 0) return "";
        EXPECT_EQ(req.rsp_key, AES_KEY_TYPE_RANDOM);
        EXPECT_EQ(req.rsp_size, req.rsp_data.size());
        return req.rsp_data;
    }
    static void ticks(int n) {
        for (int i = 0; i < n; ++i)
            orvi_timer_tick_once();
    }
    static int timer_state() {
        // The resend timer is the only timer of these tests: slot 0.
        return orvi_timer_get_state(0);
    }

    ScratchRoot root;
    home_identity identity{kHomeMac, ""};
};

TEST_F(MiniAppTest, UnacknowledgedPageIsSentOnceAndResentTenTimesASecondApart) {
    orvi_subdev_ptr mini = add_miniapp();
    ASSERT_EQ(miniApp_retry_response_send(mini, "{\"t\":\"page\"}"), 0);
    EXPECT_EQ(post_count(), 1u);
    for (size_t k = 1; k <= ORVI_MINIAPP_RESEND_MAX; ++k) {
        ticks(9);
        EXPECT_EQ(post_count(), k) << "resend " << k << " came early";
        ticks(1);
        EXPECT_EQ(post_count(), k + 1);
    }
    ticks(50);
    EXPECT_EQ(post_count(), 11u);
    EXPECT_EQ(timer_state(), TIMER_STOP);
    EXPECT_EQ(miniApp_resend_repeat(), 0);
    for (const orvi_subdev_ptr &p : posts())
        EXPECT_EQ(p, mini);
    EXPECT_EQ(last_sent(), "{\"t\":\"page\"}");
}

TEST_F(MiniAppTest, CancelAfterFirstSendStopsAtTheNextTick) {
    orvi_subdev_ptr mini = add_miniapp();
    ASSERT_EQ(miniApp_retry_response_send(mini, "{\"t\":\"page\"}"), 0);
    checkRes_send_retry_cansle();
    EXPECT_EQ(miniApp_resend_repeat(), 10);
    ticks(10);
    EXPECT_EQ(timer_state(), TIMER_STOP);
    ticks(100);
    EXPECT_EQ(post_count(), 1u);

    // The next page starts its own resends.
    ASSERT_EQ(miniApp_retry_response_send(mini, "{\"t\":\"next\"}"), 0);
    ticks(10);
    EXPECT_EQ(post_count(), 3u);
}

TEST_F(MiniAppTest, PageBoundIsEnforced) {
    orvi_subdev_ptr mini = add_miniapp();
    std::string fits(ORVI_SUBDEV_DATA_SIZE - 1, 'a');
    std::string too_long(ORVI_SUBDEV_DATA_SIZE, 'a');
    testing::internal::CaptureStdout();
    EXPECT_EQ(miniApp_retry_response_send(mini, too_long.c_str()), -1);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("too long"), std::string::npos) << log;
    EXPECT_EQ(post_count(), 0u);
    EXPECT_EQ(miniApp_retry_response_send(mini, fits.c_str()), 0);
    EXPECT_EQ(last_sent(), fits);
    EXPECT_EQ(orvi_subdev_snapshot(mini).data, fits);
    EXPECT_EQ(miniApp_retry_response_send(nullptr, "x"), -1);
    EXPECT_EQ(miniApp_retry_response_send(mini, nullptr), -1);
}

TEST_F(MiniAppTest, DeviceOnlinePageMembersInOrder) {
    add(mac12(1), DEV_TYPE_UDP, 1);
    add(mac12(2), DEV_TYPE_CAN, 0);
    add(mac12(3), DEV_TYPE_NONE, 1);
    add_miniapp();
    ASSERT_EQ(checkRes_devOnlinePush_send(nullptr, 0, true), 0);
    EXPECT_EQ(last_sent(), "{\"t\":\"DevOnlinePush\",\"online\":[\"" + mac12(1) + "\"],\"offline\":[\"" +
                               mac12(2) + "\"],\"sum\":3,\"i\":0}");
}

TEST_F(MiniAppTest, DeviceOnlinePagesCoverOneHundredSlotsEach) {
    // 150 devices, slot 5 of a type that is never listed, then the mini-app.
    for (unsigned i = 0; i < 150; ++i)
        add(mac12(i), i == 5 ? DEV_TYPE_NONE : DEV_TYPE_UDP, i % 2);
    orvi_subdev_ptr mini = add_miniapp();

    ASSERT_EQ(checkRes_devOnlinePush_send(mini, 0, true), 0);
    json_ptr p0 = parse(last_sent());
    std::vector<std::string> on = strings(cJSON_GetObjectItem(p0.get(), "online"));
    std::vector<std::string> off = strings(cJSON_GetObjectItem(p0.get(), "offline"));
    EXPECT_EQ(on.size() + off.size(), 99u);  // slots 0..99, slot 5 skipped
    EXPECT_EQ(off.front(), mac12(0));
    EXPECT_EQ(on.back(), mac12(99));
    EXPECT_EQ(cJSON_GetObjectItem(p0.get(), "sum")->valueint, 150);
    EXPECT_EQ(cJSON_GetObjectItem(p0.get(), "i")->valueint, 0);

    // The acknowledgement names index 100: slots 100..150, the mini-app skipped.
    ASSERT_EQ(checkRes_devOnlinePush_send(mini, 100, false), 0);
    json_ptr p1 = parse(last_sent());
    on = strings(cJSON_GetObjectItem(p1.get(), "online"));
    off = strings(cJSON_GetObjectItem(p1.get(), "offline"));
    EXPECT_EQ(on.size() + off.size(), 50u);
    EXPECT_EQ(off.front(), mac12(100));
    EXPECT_EQ(cJSON_GetObjectItem(p1.get(), "i")->valueint, 100);
    size_t sent = post_count();

    // A stale acknowledgement for index 0 is ignored.
    EXPECT_EQ(checkRes_devOnlinePush_send(mini, 0, false), 0);
    EXPECT_EQ(post_count(), sent);
    EXPECT_EQ(cJSON_GetObjectItem(parse(last_sent()).get(), "i")->valueint, 100);

    // Past the end: nothing more.
    EXPECT_EQ(checkRes_devOnlinePush_send(mini, 150, false), 0);
    EXPECT_EQ(post_count(), sent);
}

TEST_F(MiniAppTest, CheckWithNoOfflineDeviceSendsOneEmptyPage) {
    add(mac12(1), DEV_TYPE_UDP, 1);
    add_miniapp();
    ASSERT_EQ(checkRes_checkResPush_send(nullptr, 0, true), 0);
    EXPECT_EQ(post_count(), 1u);
    EXPECT_EQ(last_sent(), "{\"t\":\"CheckResPush\",\"failDev\":[],\"i\":0,\"sum\":0,\"checkId\":1}");
}

TEST_F(MiniAppTest, CheckResultPagesOfTheDevicesOfflineAtTheStart) {
    for (unsigned i = 0; i < 130; ++i)
        add(mac12(i), DEV_TYPE_UDP, i < 10 ? 1 : 0);
    orvi_subdev_ptr mini = add_miniapp();
    ASSERT_EQ(checkRes_checkResPush_send(mini, 0, true), 0);
    ASSERT_EQ(checkRes_checkResPush_send(mini, 0, true), 0);  // a second check
    json_ptr p0 = parse(last_sent());
    EXPECT_EQ(strings(cJSON_GetObjectItem(p0.get(), "failDev")).size(), 100u);
    EXPECT_EQ(cJSON_GetObjectItem(p0.get(), "sum")->valueint, 120);
    EXPECT_EQ(cJSON_GetObjectItem(p0.get(), "checkId")->valueint, 2);

    // Devices coming online later do not change the list of this check.
    orvi_subdev_locked(product_get_subdev_form_host(mac12(129).c_str()),
                       [](orvi_subdev_list_t &r) { r.online = 1; });
    ASSERT_EQ(checkRes_checkResPush_send(mini, 100, false), 0);
    std::vector<std::string> rest = strings(cJSON_GetObjectItem(parse(last_sent()).get(), "failDev"));
    ASSERT_EQ(rest.size(), 20u);
    EXPECT_EQ(rest.front(), mac12(110));
    EXPECT_EQ(rest.back(), mac12(129));

    size_t sent = post_count();
    EXPECT_EQ(checkRes_checkResPush_send(mini, 50, false), 0);   // stale
    EXPECT_EQ(checkRes_checkResPush_send(mini, 120, false), 0);  // past the end
    EXPECT_EQ(post_count(), sent);
}

TEST_F(MiniAppTest, DeviceListPagesFromTheRegistryAndFromALinkingList) {
    for (unsigned i = 0; i < 15; ++i)
        add(mac12(i), DEV_TYPE_UDP);
    add(mac12(99), DEV_TYPE_CAN);
    EXPECT_EQ(orvi_miniApp_devListPush_send(nullptr, 1, 0, nullptr, DEV_TYPE_UDP), -1);  // no mini-app yet
    add_miniapp();

    ASSERT_EQ(orvi_miniApp_devListPush_send(nullptr, 1, 0, nullptr, DEV_TYPE_UDP), 0);
    json_ptr p0 = parse(last_sent());
    ASSERT_TRUE(p0);
    EXPECT_STREQ(p0->child->string, "t");
    EXPECT_STREQ(p0->child->next->string, "i");
    EXPECT_STREQ(p0->child->next->next->string, "sum");
    EXPECT_STREQ(p0->child->next->next->next->string, "devList");
    EXPECT_EQ(cJSON_GetObjectItem(p0.get(), "sum")->valueint, 15);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(p0.get(), "devList")), 10);

    ASSERT_EQ(orvi_miniApp_devListPush_send(nullptr, 1, 10, nullptr, DEV_TYPE_UDP), 0);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(parse(last_sent()).get(), "devList")), 5);
    size_t sent = post_count();
    EXPECT_EQ(orvi_miniApp_devListPush_send(nullptr, 1, 15, nullptr, DEV_TYPE_UDP), 0);  // nothing left
    EXPECT_EQ(post_count(), sent);

    EXPECT_EQ(orvi_miniApp_devListPush_send(nullptr, 0, 0, nullptr, 0), -1);
    orvi_subdev_info_list_t *list = nullptr;
    ASSERT_EQ(product_subdev_info_list_init(&list, 10), 0);
    std::unique_ptr<orvi_subdev_info_list_t> own_list(list);
    for (unsigned i = 0; i < 3; ++i) {
        orvi_subdev_info_t info{};
        orvi_field_set(info.mac, mac12(200 + i));
        info.dev_type = DEV_TYPE_CAN;
        ASSERT_GE(product_subdev_info_list_add(list, &info), 0);
    }
    ASSERT_EQ(orvi_miniApp_devListPush_send(nullptr, 0, 0, list, 0), 0);
    json_ptr pl = parse(last_sent());
    EXPECT_EQ(cJSON_GetObjectItem(pl.get(), "sum")->valueint, 3);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(pl.get(), "devList")), 3);
}

TEST_F(MiniAppTest, ResendKeepsItsPageWhenTheRecordsDataChanges) {
    orvi_subdev_ptr mini = add_miniapp();
    ASSERT_EQ(miniApp_retry_response_send(mini, "{\"t\":\"P1\"}"), 0);
    product_subdev_set_data(mini, "{\"t\":\"other\"}");
    ticks(10);
    EXPECT_EQ(post_count(), 2u);
    EXPECT_EQ(last_sent(), "{\"t\":\"P1\"}");

    // A new page replaces the one in resend and restarts the count.
    ASSERT_EQ(miniApp_retry_response_send(mini, "{\"t\":\"P2\"}"), 0);
    EXPECT_EQ(miniApp_resend_repeat(), 0);
    ticks(200);
    EXPECT_EQ(post_count(), 2u + 11u);
    EXPECT_EQ(last_sent(), "{\"t\":\"P2\"}");
}

TEST_F(MiniAppTest, ResendOfADeletedRecordStops) {
    orvi_subdev_ptr mini = add_miniapp();
    ASSERT_EQ(miniApp_retry_response_send(mini, "{\"t\":\"P1\"}"), 0);
    ticks(10);
    EXPECT_EQ(post_count(), 2u);

    // The record goes and a new one takes its identifier: the resend
    // belongs to the old record and ends instead of reaching the new one.
    ASSERT_EQ(product_delete_subdev_form_host(ORVI_MINIAPP_MAC), 0);
    orvi_subdev_ptr fresh = add_miniapp();
    ASSERT_NE(fresh, mini);
    ticks(10);
    EXPECT_EQ(timer_state(), TIMER_STOP);
    ticks(100);
    EXPECT_EQ(post_count(), 2u);
    EXPECT_EQ(last_post(), mini);
    EXPECT_EQ(std::string(mini->mac), ORVI_MINIAPP_MAC);  // still a whole record
}

TEST_F(MiniAppTest, MiniAppResGoesToTheMiniAppOnly) {
    orvi_subdev_ptr mini = add_miniapp();
    orvi_subdev_ptr other = add(mac12(7), DEV_TYPE_UDP);
    product_subdev_set_data(other, "{\"t\":\"x\"}");
    request_data_t req;
    EXPECT_EQ(orvi_send_miniAppRsp(&req, other), -1);
    EXPECT_EQ(req.rsp_size, 0u);
    // Without a page in resend the prepared text of the record goes out.
    product_subdev_set_data(mini, "{\"t\":\"prepared\"}");
    EXPECT_EQ(orvi_send_miniAppRsp(&req, mini), 0);
    EXPECT_EQ(req.rsp_data, "{\"t\":\"prepared\"}");
    EXPECT_EQ(req.rsp_key, AES_KEY_TYPE_RANDOM);
}
}  // namespace
