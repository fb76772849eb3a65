#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "event_publish.h"
#include "event_publish_capture.h"
#include "orvi_field.h"
#include "orvi_host_event.h"
#include "orvi_log.h"
#include "orvi_product.h"
#include "home_identity.h"
#include "orvi_testing.h"
#include "orvi_timer.h"
#include "product_subdev.h"
#include "scratch_root.h"

using namespace publish_test;

namespace {

const char kDevKey[] = "devkey1234567890";

std::vector<std::pair<unsigned, long>> g_posts;
int capture_post(orvi_event_loop_t event, long value) {
    g_posts.emplace_back(event, value);
    return 0;
}

orvi_subdev_list_t record(const std::string &mac, dev_type_t type, const std::string &mid = "m1") {
    orvi_subdev_list_t d;
    orvi_field_set(d.mac, mac);
    orvi_field_set(d.mid, mid);
    orvi_field_set(d.key, kDevKey);
    orvi_field_set(d.name, "lamp");
    d.dev_type = type;
    return d;
}

// A record outside the registry (any MAC, even one the registry refuses).
orvi_subdev_ptr loose(const std::string &mac, dev_type_t type = DEV_TYPE_UDP, const std::string &data = "") {
    auto p = std::make_shared<orvi_subdev_list_t>();
    orvi_field_copy_cut(p->mac, mac);
    orvi_field_set(p->mid, "m1");
    orvi_field_set(p->key, kDevKey);
    p->dev_type = type;
    p->data = data;
    return p;
}

orvi_subdev_ptr add(const std::string &mac, dev_type_t type = DEV_TYPE_UDP, uint8_t online = 1) {
    orvi_subdev_list_t d = record(mac, type);
    orvi_subdev_ptr p = product_add_subdev_to_host(&d);
    if (p) orvi_subdev_locked(p, [&](orvi_subdev_list_t &r) { r.online = online; });
    return p;
}

void set_cmd(const orvi_subdev_ptr &dev, const std::string &text) {
    auto buf = std::make_shared<std::vector<char>>(text.begin(), text.end());
    buf->push_back('\0');
    orvi_subdev_locked(dev, [&](orvi_subdev_list_t &r) { r.binCmd = buf; });
}

std::string payload(const std::string &mac, const std::string &sub, const std::string &mid,
                    const std::string &plain) {
    return "{\"mac\":\"" + mac + "\",\"sub\":\"" + sub + "\",\"mid\":\"" + mid + "\",\"plaintext\":" + plain +
           "}";
}

class EventPublish : public ::testing::Test {
  protected:
    void SetUp() override {
        orvi_timer_service_stop();
        product_registry_reset_for_test();
        event_publish_reset_for_test();
        event_publish_set_post(&capture_post);
        g_posts.clear();
        PublishCapture::hook() = nullptr;
    }
    void TearDown() override {
        PublishCapture::hook() = nullptr;
        event_publish_set_post(nullptr);
        event_publish_reset_for_test();
        orvi_timer_service_stop();
        product_registry_reset_for_test();
    }
    // The only message captured so far.
    sent_t one() {
        auto s = PublishCapture::sent();
        EXPECT_EQ(1u, s.size());
        return s.empty() ? sent_t{} : s.front();
    }

    ScratchRoot root;
    PublishCapture cap;
    home_identity identity{kHomeMac, kHomeKey};
};

// ---- generic builders ----

TEST_F(EventPublish, PairBodiesOfTypeOne) {
    struct {
        const char *cols;
        const char *dat;
        int number;
        const char *submac;
        int rc;
        const char *plain;
    } cases[] = {
        {"matching", "fail", -1, nullptr, 0, R"({"cols":["matching"],"dat":["fail"]})"},
        {"standby", nullptr, 1, nullptr, 0, R"({"cols":["standby"],"dat":[1]})"},
        {"status", nullptr, 1, "0", 0, R"({"cols":["status"],"dat":[1]})"},
        {R"(["a","b"])", R"([1,"x"])", 0, nullptr, 0, R"({"cols":["a","b"],"dat":[1,"x"]})"},
        {R"(["a","b"])", "x", 0, nullptr, -1, nullptr},
        {R"(["a","b"])", nullptr, 0, nullptr, -1, nullptr},
        {"a", "[1]", 0, nullptr, -1, nullptr},
        {nullptr, "x", 0, nullptr, -1, nullptr},
    };
    for (const auto &c : cases) {
        PublishCapture::clear();
        EXPECT_EQ(c.rc, event_type_1_publish("/host", c.cols, c.dat, c.number, c.submac)) << c.cols;
        if (c.rc != 0) {
            EXPECT_TRUE(PublishCapture::sent().empty());
            continue;
        }
        sent_t s = one();
        EXPECT_EQ("/host", s.topic);
        EXPECT_EQ(0, s.retain);
        const std::string sub = c.submac ? c.submac : "";
        EXPECT_EQ(head(kHostMac, sub, 0), package_head(s));
        EXPECT_EQ(payload(kHostMac, sub, kMid, c.plain), open_pack(s, kRandomKey));
    }
}

TEST_F(EventPublish, PairWrappersAndCheckTopics) {
    EXPECT_EQ(0, event_host_publish("matching", "success", 0));
    EXPECT_EQ(0, event_parameter_publish("standby", nullptr, 1));
    EXPECT_EQ(0, event_subDevList_publish("reason", "upgrade", 0));
    EXPECT_EQ((std::vector<std::string>{"/host", "/parameter", "/subDevList"}), PublishCapture::topics());

    struct {
        int type;
        const char *topic;
    } checks[] = {{1, "can/check"},
                  {2, "485/check"},
                  {14, "485/check"},
                  {4, "tovra/check"},
                  {12, "opGateway/check"},
                  {13, "opDevices/check"},
                  {3, nullptr},
                  {0, nullptr},
                  {51, nullptr}};
    for (const auto &c : checks) {
        PublishCapture::clear();
        EXPECT_EQ(c.topic ? 0 : -1, uds_subdev_status_check_publish(c.type, "status", "c00000000009"))
            << c.type;
        if (!c.topic) {
            EXPECT_TRUE(PublishCapture::sent().empty()) << c.type;
            continue;
        }
        sent_t s = one();
        EXPECT_EQ(c.topic, s.topic);
        EXPECT_EQ(payload(kHostMac, "c00000000009", kMid, R"({"cols":["status"],"dat":[1]})"),
                  open_pack(s, kRandomKey));
    }
}

TEST_F(EventPublish, TypeZeroLabelsAndKeys) {
    orvi_subdev_ptr gw = add("gggggggggggg", DEV_TYPE_GATEWAY);
    orvi_subdev_ptr lock = loose("s00000000001");
    ASSERT_TRUE(gw);

    EXPECT_EQ(0, event_type_0_publish("any/topic", gw, lock, R"({"k":1})", 1));
    sent_t s = one();
    EXPECT_EQ(1, s.retain);
    EXPECT_EQ(head("gggggggggggg", "s00000000001", 0), package_head(s));
    EXPECT_EQ(payload("gggggggggggg", "s00000000001", "m1", R"({"k":1})"), open_pack(s, kRandomKey));

    PublishCapture::clear();
    EXPECT_EQ(0, event_type_0_publish("any/topic", nullptr, nullptr, "[1,2]", 0));
    s = one();
    EXPECT_EQ(0, s.retain);
    EXPECT_EQ(head(kHostMac, "", 0), package_head(s));
    EXPECT_EQ(payload(kHostMac, "", kMid, "[1,2]"), open_pack(s, kRandomKey));

    PublishCapture::clear();
    EXPECT_EQ(0, event_soUpdateRes_publish(200));
    s = one();
    EXPECT_EQ("soUpdateRes", s.topic);
    EXPECT_EQ(head(kHostMac, "", 1), package_head(s));
    EXPECT_EQ(payload(kHostMac, "", kMid, R"({"r":200})"), open_pack(s, kDefaultKey));

    PublishCapture::clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, event_type_0_publish("any/topic", nullptr, nullptr, "not json", 0));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("create json failed"));
    EXPECT_EQ(-1, event_type_0_publish("a/+/b", nullptr, nullptr, "{}", 0));  // wildcard in a publish
    EXPECT_EQ(-1, event_type_0_publish(std::string(65, 'x').c_str(), nullptr, nullptr, "{}", 0));
    EXPECT_TRUE(PublishCapture::sent().empty());
}

TEST_F(EventPublish, DeviceInformationRecords) {
    orvi_subdev_list_t in = record("aaaaaaaaaaaa", DEV_TYPE_CAN);
    in.macId = 7;
    in.roomId = 3;
    orvi_field_set(in.hid, "HID1");
    orvi_field_set(in.ver, "V1");
    orvi_field_set(in.vender, "1");
    orvi_field_set(in.noteName, "note");
    in.devExt = std::make_shared<const std::string>(R"({"x":1})");
    in.f_register = SERVER_REGISTERED;
    orvi_subdev_ptr dev = product_add_subdev_to_host(&in);
    ASSERT_TRUE(dev);
    const std::string info = R"(["aaaaaaaaaaaa","m1",7,1,3,"HID1","V1","1",")" + std::string(kDevKey) +
                             R"(","lamp","{\"x\":1}","note",1])";
    auto plain = [&](int newly) {
        return R"({"t":"devinfo","newly":)" + std::to_string(newly) + R"(,"infolist":)" + info + "}";
    };

    EXPECT_EQ(0, event_sub_devinfo_publish(dev, 0));
    sent_t s = one();
    EXPECT_EQ(std::string("devinfo/") + kHomeMac + "/aaaaaaaaaaaa", s.topic);
    EXPECT_EQ(1, s.retain);
    EXPECT_EQ(head(kHostMac, "aaaaaaaaaaaa", 1), package_head(s));
    EXPECT_EQ(payload(kHomeMac, "aaaaaaaaaaaa", "m1", plain(0)), open_pack(s, kDefaultKey));

    struct {
        std::function<int()> call;
        std::string topic;
        int retain, newly, i;
    } rows[] = {
        {[&] { return event_virtual_devinfo_publish(dev); },
         std::string("devinfo/") + kHomeMac + "/aaaaaaaaaaaa", 0, 1, 1},
        {[&] { return event_pub_http_devinfo_publish(dev, 1); },
         std::string("devInfoHttp/") + kHomeMac + "/aaaaaaaaaaaa", 1, 1, 0},
        {[&] { return event_syncAckHttp_devListPush_publish(dev, 0); }, "syncAckHttp/aaaaaaaaaaaa", 0, 0, 0},
        {[&] { return event_opDevices_info_publish(nullptr, dev, DEV_TYPE_OPGATEWAY, 1); },
         "opGateway/subInfo", 1, 1, 0},
        {[&] { return event_opDevices_info_publish(nullptr, dev, DEV_TYPE_OPDEV, 0); },
         "opDevices/subInfo/aaaaaaaaaaaa", 1, 0, 0},
    };
    for (const auto &r : rows) {
        PublishCapture::clear();
        EXPECT_EQ(0, r.call()) << r.topic;
        s = one();
        EXPECT_EQ(r.topic, s.topic);
        EXPECT_EQ(r.retain, s.retain) << r.topic;
        EXPECT_EQ(head(kHostMac, "aaaaaaaaaaaa", r.i), package_head(s)) << r.topic;
        EXPECT_EQ(payload(kHomeMac, "aaaaaaaaaaaa", "m1", plain(r.newly)),
                  open_pack(s, r.i ? kDefaultKey : kRandomKey))
            << r.topic;
    }
    PublishCapture::clear();
    EXPECT_EQ(-1, event_opDevices_info_publish(nullptr, dev, DEV_TYPE_UDP, 0));
    EXPECT_EQ(-1, event_sub_devinfo_publish(nullptr, 0));
    EXPECT_TRUE(PublishCapture::sent().empty());

    // A sub-subdevice: the parent's MAC in the payload and the default topic.
    orvi_subdev_ptr gw = add("gggggggggggg", DEV_TYPE_GATEWAY);
    orvi_subdev_ptr child = loose("s00000000001");
    EXPECT_EQ(0, event_subsub_devinfo_publish(gw, child));
    s = one();
    EXPECT_EQ(std::string("devInfoHttp/") + kHomeMac + "/s00000000001", s.topic);
    EXPECT_EQ(1, s.retain);
    EXPECT_NE(std::string::npos,
              open_pack(s, kRandomKey).find(R"({"mac":"gggggggggggg","sub":"s00000000001")"));
    PublishCapture::clear();
    EXPECT_EQ(0, event_type_7_publish(gw, child, 1, nullptr, 0));
    EXPECT_EQ("devinfo/gggggggggggg/s00000000001", one().topic);
}

TEST_F(EventPublish, LinkingEntriesAreAcknowledged) {
    orvi_subdev_info_list_t *list = nullptr;
    ASSERT_EQ(0, product_subdev_info_list_init(&list, 10));
    std::unique_ptr<orvi_subdev_info_list_t> owned(list);
    auto entry = [](const char *mac, dev_type_t type) {
        orvi_subdev_info_t e{};
        orvi_field_set(e.mac, mac);
        orvi_field_set(e.mid, "30001");
        orvi_field_set(e.key, kHomeKey);
        e.macId = 300;
        e.dev_type = type;
        return e;
    };
    for (auto e : {entry("c00000000001", DEV_TYPE_CAN), entry("d00000000001", DEV_TYPE_485),
                   entry("m00000000001", DEV_TYPE_MJGATEWAY)})
        ASSERT_GE(product_subdev_info_list_add(list, &e), 0);
    EXPECT_EQ(2, event_syncAckHttp_send(list, 0, 1));
    EXPECT_EQ((std::vector<std::string>{"syncAckHttp/c00000000001", "syncAckHttp/d00000000001"}),
              PublishCapture::topics());
    EXPECT_NE(std::string::npos, open_pack(PublishCapture::sent()[0], kRandomKey)
                                     .find(R"("infolist":["c00000000001","30001",300,1,0,"","","",")"));
    PublishCapture::clear();
    EXPECT_EQ(1, event_syncAckHttp_send(list, DEV_TYPE_MJGATEWAY, 0));
    EXPECT_EQ(-1, event_syncAckHttp_send(nullptr, 0, 0));
}

// ---- device traffic ----

TEST_F(EventPublish, StatusOfADevice) {
    struct {
        const char *data;
        const char *cols_dat;
    } docs[] = {
        {R"({"t":"status","opt":["Pow","Lum"],"p":[1,80]})", R"("cols":["Pow","Lum"],"dat":[1,80])"},
        {R"({"t":"jsonStatus","jsonStatus":{"cols":["Pow"],"dat":[0]}})", R"("cols":["Pow"],"dat":[0])"},
        {R"({"cols":["SW1"],"dat":["on"]})", R"("cols":["SW1"],"dat":["on"])"},
    };
    for (const auto &d : docs) {
        PublishCapture::clear();
        orvi_subdev_ptr dev = loose("u00000000001", DEV_TYPE_UDP, d.data);
        EXPECT_EQ(0, even_dev_ctrl_publish(dev, UDS_TYPE_STATUS)) << d.data;
        sent_t s = one();
        EXPECT_EQ(std::string("/jsonStatus/") + kHomeMac + "/u00000000001", s.topic);
        EXPECT_EQ(0, s.retain);
        EXPECT_EQ(head(kHostMac, "u00000000001", 0), package_head(s));
        EXPECT_EQ(std::string("{") + d.cols_dat + R"(,"r":200,"t":"dat","mid":"m1","mac":"u00000000001"})",
                  open_pack(s, kRandomKey));

        PublishCapture::clear();
        EXPECT_EQ(0, even_dev_ctrl_publish(dev, UDS_TYPE_STATUS_MQTT)) << d.data;
        s = one();
        EXPECT_EQ(std::string("/jsonStatus/") + kHomeMac + "/u00000000001", s.topic);
        EXPECT_EQ(std::string(R"({"t":"dat",)") + d.cols_dat + "}", open_pack(s, kRandomKey));
    }

    // The home host's own status: labelled with the home MAC, sealed with the home key.
    PublishCapture::clear();
    orvi_subdev_ptr host = loose(kHomeMac, DEV_TYPE_HOST, R"({"opt":["Pow"],"p":[1]})");
    EXPECT_EQ(0, even_dev_ctrl_publish(host, UDS_TYPE_STATUS_MQTT));
    sent_t s = one();
    EXPECT_EQ(std::string("/jsonStatus/") + kHomeMac, s.topic);
    EXPECT_EQ(head(kHomeMac, kHomeMac, 0), package_head(s));
    EXPECT_EQ(R"({"t":"dat","cols":["Pow"],"dat":[1]})", open_pack(s, kHomeKey));
    PublishCapture::clear();
    EXPECT_EQ(0, even_dev_ctrl_publish(host, UDS_TYPE_STATUS));
    EXPECT_EQ(std::string("/jsonStatus/") + kHomeMac + "/" + kHomeMac, one().topic);

    // No document, a broken one, one without pairs: nothing.
    PublishCapture::clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, even_dev_ctrl_publish(loose("u00000000002"), UDS_TYPE_STATUS));
    EXPECT_NE(std::string::npos,
              testing::internal::GetCapturedStdout().find("'u00000000002' dev_info->data is NULL!"));
    EXPECT_EQ(-1, even_dev_ctrl_publish(loose("u00000000002", DEV_TYPE_UDP, "{oops"), UDS_TYPE_STATUS));
    EXPECT_EQ(
        -1, even_dev_ctrl_publish(loose("u00000000002", DEV_TYPE_UDP, R"({"opt":["a"]})"), UDS_TYPE_STATUS));
    EXPECT_EQ(-1, even_dev_ctrl_publish(nullptr, UDS_TYPE_STATUS));
    EXPECT_EQ(-1, even_dev_ctrl_publish(loose("u00000000002"), UDS_TYPE_TIMERINFO));
    EXPECT_TRUE(PublishCapture::sent().empty());
}

TEST_F(EventPublish, CalculationStatusKeepsOnlyEnergyValues) {
    orvi_subdev_ptr gw =
        loose("p00000000001", DEV_TYPE_PWRGATEWAY,
              R"({"opt":["Pow","PVGenedPwt","PSSGoCPwt","PVPwtGen","PSSPwtGen","PSSPwtCons",)"
              R"("QuantityElectricity","PVGen"],"p":[1,12.5,"7",{"x":1},3,4,5,6]})");
    EXPECT_EQ(0, even_dev_ctrl_publish(gw, UDS_TYPE_CALCULATIONSTATUS));
    sent_t s = one();
    EXPECT_EQ("calculationstatus/p00000000001", s.topic);
    EXPECT_EQ(head(kHostMac, "p00000000001", 0), package_head(s));
    EXPECT_EQ(payload(kHostMac, "p00000000001", "m1",
                      R"({"t":"dat","cols":["PVGenedPwt","PSSGoCPwt","PSSPwtGen","PSSPwtCons",)"
                      R"("QuantityElectricity"],"dat":[12.5,"7",3,4,5]})"),
              open_pack(s, kRandomKey));

    // A full JSON status keeps its pairs in its "jsonStatus" member.
    PublishCapture::clear();
    orvi_subdev_ptr full = loose("p00000000002", DEV_TYPE_PWRGATEWAY,
                                 R"({"t":"jsonStatus","jsonStatus":{"cols":["PVPwtGen"],"dat":[9]}})");
    EXPECT_EQ(0, even_dev_ctrl_publish(full, UDS_TYPE_CALCULATIONSTATUS));
    EXPECT_NE(std::string::npos,
              open_pack(one(), kRandomKey).find(R"({"t":"dat","cols":["PVPwtGen"],"dat":[9]})"));

    PublishCapture::clear();
    orvi_subdev_ptr none =
        loose("p00000000003", DEV_TYPE_PWRGATEWAY, R"({"opt":["Pow","pvgenedpwt"],"p":[1,2]})");
    EXPECT_EQ(-1, even_dev_ctrl_publish(none, UDS_TYPE_CALCULATIONSTATUS));
    EXPECT_TRUE(PublishCapture::sent().empty());
}

TEST_F(EventPublish, CommandSealedWithTheDeviceKey) {
    orvi_subdev_ptr dev = add("u00000000001");
    set_cmd(dev, R"({"t":"cmd","opt":["Pow"],"p":[1]})");
    EXPECT_EQ(0, even_dev_ctrl_publish(dev, UDS_TYPE_CTRL));
    sent_t s = one();
    EXPECT_EQ(std::string("/jsonRequest/") + kHomeMac + "/u00000000001", s.topic);
    EXPECT_EQ(head(kHostMac, "u00000000001", 2), package_head(s));
    EXPECT_EQ(R"({"t":"cmd","opt":["Pow"],"p":[1]})", open_pack(s, kDevKey));
    EXPECT_EQ("", open_pack(s, kRandomKey));

    PublishCapture::clear();
    testing::internal::CaptureStdout();
    orvi_subdev_locked(dev, [](orvi_subdev_list_t &r) { orvi_field_set(r.key, "short"); });
    EXPECT_EQ(-1, even_dev_ctrl_publish(dev, UDS_TYPE_CTRL));
    orvi_subdev_ptr nocmd = add("u00000000002");
    EXPECT_EQ(-1, even_dev_ctrl_publish(nocmd, UDS_TYPE_CTRL));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, log.find("shorter than 16 characters"));
    EXPECT_NE(std::string::npos, log.find("dev_info->binCmd is NULL!"));
    set_cmd(nocmd, "not json");
    EXPECT_EQ(-1, even_dev_ctrl_publish(nocmd, UDS_TYPE_CTRL));
    EXPECT_TRUE(PublishCapture::sent().empty());
}

TEST_F(EventPublish, TimerTexts) {
    EXPECT_EQ(0, even_dev_ctrl_publish_text(R"({"t":"tb"})", UDS_TYPE_TIMER_BROACSAST));
    EXPECT_EQ(0, even_dev_ctrl_publish_text(R"({"t":"Timedat","list":[]})", UDS_TYPE_TIMERINFO));
    auto s = PublishCapture::sent();
    ASSERT_EQ(2u, s.size());
    EXPECT_EQ(std::string("TimerBroadcast/") + kHomeMac, s[0].topic);
    EXPECT_EQ(0, s[0].retain);
    EXPECT_EQ(head(kHostMac, "", 0), package_head(s[0]));
    EXPECT_EQ(payload(kHostMac, "", kMid, R"({"t":"tb"})"), open_pack(s[0], kRandomKey));
    EXPECT_EQ(std::string("TimerInfo/") + kHomeMac, s[1].topic);
    EXPECT_EQ(1, s[1].retain);

    PublishCapture::clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, even_dev_ctrl_publish_text("nope", UDS_TYPE_TIMER_BROACSAST));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find(
                                     "the broadcast text cjson parse fail!!!!!!!!!!!!!"));
    EXPECT_EQ(-1, even_dev_ctrl_publish_text(nullptr, UDS_TYPE_TIMERINFO));
    EXPECT_EQ(-1, even_dev_ctrl_publish_text("{}", UDS_TYPE_STATUS));
    EXPECT_TRUE(PublishCapture::sent().empty());
}

// ---- named publishers ----

TEST_F(EventPublish, OnlineSubdevicesJoinedByBar) {
    add("aaaaaaaaaaaa");
    add("bbbbbbbbbbbb", DEV_TYPE_CAN);
    add("cccccccccccc", DEV_TYPE_UDP, 0);  // offline
    add("dddddddddddd", DEV_TYPE_MINIPRO);
    add("eeeeeeeeeeee", DEV_TYPE_NONE);
    EXPECT_EQ(0, event_host_onlinesub_publish());
    sent_t s = one();
    EXPECT_EQ("/onlineSub", s.topic);
    EXPECT_EQ(payload(kHomeMac, "", kMid, R"("aaaaaaaaaaaa|bbbbbbbbbbbb")"), open_pack(s, kRandomKey));

    product_registry_reset_for_test();
    PublishCapture::clear();
    EXPECT_EQ(0, event_host_onlinesub_publish());
    EXPECT_EQ(payload(kHomeMac, "", kMid, R"("")"), open_pack(one(), kRandomKey));
}

TEST_F(EventPublish, RoomAnnouncements) {
    EXPECT_EQ(0, event_room_set_publish("m9", "aaaaaaaaaaaa", 5));
    sent_t s = one();
    EXPECT_EQ("room/set", s.topic);
    EXPECT_EQ(head(kHostMac, "aaaaaaaaaaaa", 0), package_head(s));
    EXPECT_EQ(std::string(R"({"mac":")") + kHomeMac + R"(","subMac":"aaaaaaaaaaaa","mid":"m9","roomid":5})",
              open_pack(s, kRandomKey));

    // The batch: registered devices only, each once, with the room they have when sent.
    PublishCapture::clear();
    orvi_subdev_ptr a = add("aaaaaaaaaaaa"), b = add("bbbbbbbbbbbb");
    add("cccccccccccc");
    EXPECT_EQ(0, event_room_set_delay_publish("aaaaaaaaaaaa", 0));
    EXPECT_EQ(0, event_room_set_delay_publish("bbbbbbbbbbbb", 0));
    EXPECT_EQ(0, event_room_set_delay_publish("aaaaaaaaaaaa", 0));
    EXPECT_EQ(-1, event_room_set_delay_publish("zzzzzzzzzzzz", 0));
    EXPECT_EQ(0, event_room_set_delay_publish("cccccccccccc", 0));
    ASSERT_EQ(0, product_delete_subdev_form_host("cccccccccccc"));  // gone before the batch leaves
    orvi_subdev_locked(b, [](orvi_subdev_list_t &r) { r.roomId = 9; });
    EXPECT_TRUE(PublishCapture::sent().empty());
    EXPECT_EQ(0, event_room_set_delay_publish(nullptr, 1));
    auto sent = PublishCapture::sent();
    ASSERT_EQ(2u, sent.size());
    EXPECT_NE(std::string::npos,
              open_pack(sent[0], kRandomKey).find(R"("subMac":"aaaaaaaaaaaa","mid":"m1","roomid":0)"));
    EXPECT_NE(std::string::npos,
              open_pack(sent[1], kRandomKey).find(R"("subMac":"bbbbbbbbbbbb","mid":"m1","roomid":9)"));

    PublishCapture::clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, event_room_set_delay_publish(nullptr, 1));  // emptied
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("nothing data to send!"));
    EXPECT_TRUE(PublishCapture::sent().empty());
    EXPECT_EQ(-1, event_room_set_publish("m", nullptr, 1));
}

TEST_F(EventPublish, RoomBatchSharedBetweenThreads) {
    std::vector<std::string> macs;
    for (int i = 0; i < 200; ++i) {
        char m[16];
        snprintf(m, sizeof m, "%012d", i);
        macs.push_back(m);
        ASSERT_TRUE(add(m));
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t; i < 200; i += 4)
                event_room_set_delay_publish(macs[i].c_str(), i % 10 == 0 ? 1 : 0);
        });
    }
    for (auto &th : threads)
        th.join();
    event_room_set_delay_publish(nullptr, 1);
    // Every collected device is announced exactly once.
    std::vector<std::string> subs;
    for (const sent_t &s : PublishCapture::sent()) {
        const std::string body = open_pack(s, kRandomKey);
        const size_t at = body.find("\"subMac\":\"") + 10;
        subs.push_back(body.substr(at, 12));
    }
    std::sort(subs.begin(), subs.end());
    EXPECT_EQ(macs, subs);
}

TEST_F(EventPublish, RoomLists) {
    EXPECT_EQ(0, event_roomListInfo_publish(R"([{"id":1,"sId":1,"name":"Hall"}])"));
    EXPECT_EQ(0, event_roomInfoHttp_publish("[]"));
    auto s = PublishCapture::sent();
    ASSERT_EQ(2u, s.size());
    EXPECT_EQ(std::string("roominfo/") + kHomeMac, s[0].topic);
    EXPECT_EQ(1, s[0].retain);
    EXPECT_EQ(head(kHostMac, "", 0), package_head(s[0]));
    EXPECT_EQ(payload(kHostMac, "", kMid, R"({"t":"roomList","roomList":[{"id":1,"sId":1,"name":"Hall"}]})"),
              open_pack(s[0], kRandomKey));
    EXPECT_EQ(std::string("roomInfoHttp/") + kHomeMac, s[1].topic);
    EXPECT_EQ(1, s[1].retain);
    PublishCapture::clear();
    EXPECT_EQ(-1, event_roomListInfo_publish("[{"));
    EXPECT_EQ(-1, event_roomInfoHttp_publish(nullptr));
    EXPECT_TRUE(PublishCapture::sent().empty());
}

TEST_F(EventPublish, SubSubdeviceEventsAndStatus) {
    orvi_subdev_ptr gw = add("gggggggggggg", DEV_TYPE_GATEWAY);
    orvi_subdev_ptr lock = loose("s00000000001", DEV_TYPE_NONE, R"({"opt":["lock"],"p":[1]})");
    orvi_subdev_locked(lock, [](orvi_subdev_list_t &r) {
        r.has_event_list = true;
        r.event_list = {"open", "alarm"};
    });

    EXPECT_EQ(0, event_event_persistent_publish(gw, lock));
    sent_t s = one();
    EXPECT_EQ("store4massage/event/s00000000001", s.topic);
    EXPECT_EQ(1, s.retain);
    // Labelled with the host MAC so that the host opens its own stored list.
    EXPECT_EQ(head(kHostMac, "s00000000001", 0), package_head(s));
    EXPECT_EQ(payload("gggggggggggg", "s00000000001", "m1", R"(["open","alarm"])"), open_pack(s, kRandomKey));

    PublishCapture::clear();
    cJSON *ev = cJSON_Parse(R"({"event":"open"})");
    EXPECT_EQ(0, event_device_event_publish(gw, lock, ev));
    cJSON_Delete(ev);
    s = one();
    EXPECT_EQ("device/event/s00000000001", s.topic);
    EXPECT_EQ(1, s.retain);
    EXPECT_EQ(head("gggggggggggg", "s00000000001", 0), package_head(s));
    EXPECT_EQ(payload("gggggggggggg", "s00000000001", "m1", R"({"event":"open"})"), open_pack(s, kRandomKey));

    PublishCapture::clear();
    EXPECT_EQ(0, event_sub_subdev_status_publish(gw, lock));
    s = one();
    EXPECT_EQ("lock/status", s.topic);
    EXPECT_EQ(0, s.retain);
    EXPECT_EQ(head("gggggggggggg", "", 0), package_head(s));
    EXPECT_EQ(payload("gggggggggggg", "s00000000001", "m1", R"({"opt":["lock"],"p":[1]})"),
              open_pack(s, kRandomKey));

    PublishCapture::clear();
    EXPECT_EQ(-1, event_sub_subdev_status_publish(gw, loose("s00000000002")));
    EXPECT_EQ(-1, event_event_persistent_publish(nullptr, lock));
    EXPECT_EQ(-1, event_device_event_publish(gw, lock, nullptr));
    EXPECT_TRUE(PublishCapture::sent().empty());
}

TEST_F(EventPublish, SceneResponseFromTheStoredRequest) {
    orvi_subdev_ptr dev = add("u00000000001");
    set_cmd(dev, R"({"reqId":"r-17"})");
    EXPECT_EQ(0, event_scene_rsp_publish(dev, 1));
    EXPECT_EQ(0, event_scene_rsp_publish(dev, 0));
    auto s = PublishCapture::sent();
    ASSERT_EQ(2u, s.size());
    EXPECT_EQ("scene/resp", s[0].topic);
    EXPECT_EQ(head(kHostMac, "u00000000001", 0), package_head(s[0]));
    EXPECT_EQ(payload(kHostMac, "u00000000001", "m1", R"({"reqId":"r-17","r":500})"),
              open_pack(s[0], kRandomKey));
    EXPECT_EQ(payload(kHostMac, "u00000000001", "m1", R"({"reqId":"r-17","r":200})"),
              open_pack(s[1], kRandomKey));

    PublishCapture::clear();
    EXPECT_EQ(-1, event_scene_rsp_publish(add("u00000000002"), 0));
    set_cmd(dev, R"({"other":1})");
    EXPECT_EQ(-1, event_scene_rsp_publish(dev, 0));
    EXPECT_TRUE(PublishCapture::sent().empty());
}

TEST_F(EventPublish, HostObjectsAndSettings) {
    cJSON *obj = cJSON_Parse(R"({"a":[1,2]})");
    EXPECT_EQ(0, event_switch_bind_publish(obj));
    EXPECT_EQ(0, event_update_roomId_publish(obj));
    EXPECT_EQ(0, publish_groupCtrl_event(obj));
    cJSON_Delete(obj);
    EXPECT_EQ(0, cloud_backup_result(200, 1234567));
    product_set_cloud_backup_sw(1);
    product_set_cloud_backup_timer("2024-01-02 03:04");
    product_set_restart_sw(1);
    product_set_restart_time("month", 2);
    product_set_restart_time("day", 3);
    product_set_restart_time("hour", 4);
    product_set_restart_time("minutes", 5);
    product_set_restart_interval(7);
    EXPECT_EQ(0, publish_cbackup_restart_event());
    EXPECT_EQ(-1, event_switch_bind_publish(nullptr));

    auto s = PublishCapture::sent();
    ASSERT_EQ(5u, s.size());
    const char *topics[] = {"switchBindRes", "/updateRoomId", "/GroupCtrl", "restore/cloud/result",
                            "/appInsInfo"};
    const char *plains[] = {
        R"({"a":[1,2]})",
        R"({"a":[1,2]})",
        R"({"a":[1,2]})",
        R"({"r":200,"fileId":1234567,"t":"cloudReplaceRes"})",
        R"({"t":"appInfo","cloudBackup":{"cloud_backup_sw":1,"cloud_backup_time":"2024-01-02 03:04"},)"
        R"("restart":{"restart_timer_sw":1,"restart_timer_info":{"restart_month":2,"restart_day":3,)"
        R"("restart_hour":4,"restart_min":5,"restart_interval":7}}})",
    };
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(topics[i], s[i].topic);
        EXPECT_EQ(i == 4 ? 1 : 0, s[i].retain) << topics[i];
        EXPECT_EQ(head(kHostMac, "", 0), package_head(s[i])) << topics[i];
        EXPECT_EQ(payload(kHostMac, "", kMid, plains[i]), open_pack(s[i], kRandomKey)) << topics[i];
    }
}

TEST_F(EventPublish, SelfCheckReports) {
    orvi_subdev_ptr on = add("aaaaaaaaaaaa"), off = add("bbbbbbbbbbbb", DEV_TYPE_CAN, 0);
    add("cccccccccccc", DEV_TYPE_CENTCTRL);  // not checked
    add("dddddddddddd", DEV_TYPE_TOVRA);     // no status: unknown power
    product_subdev_set_data(on, R"({"opt":["Lum","Pow"],"p":[3,1]})");
    product_subdev_set_data(off, R"({"jsonStatus":{"cols":["SW2"],"dat":[0]}})");

    EXPECT_EQ(0, event_failDevHttp_publish(0, "q1"));
    EXPECT_EQ(0, event_failDevHttp_publish(1, "q1"));
    cJSON *given = cJSON_Parse(R"(["zzzzzzzzzzzz"])");
    EXPECT_EQ(0, event_failDevHttp_publish(1, nullptr, given));
    cJSON_Delete(given);
    EXPECT_EQ(-1, event_failDevHttp_publish(2, "q1"));

    auto s = PublishCapture::sent();
    ASSERT_EQ(3u, s.size());
    EXPECT_EQ("checkDevAckHttp", s[0].topic);
    EXPECT_EQ(
        payload(kHostMac, "", kMid,
                R"({"t":"CheckRes","online":["aaaaaaaaaaaa","dddddddddddd"],"offline":["bbbbbbbbbbbb"],)"
                R"("requestId":"q1"})"),
        open_pack(s[0], kRandomKey));
    EXPECT_EQ(payload(kHostMac, "", kMid,
                      R"({"t":"CheckRes","failDev":["bbbbbbbbbbbb","dddddddddddd"],"requestId":"q1"})"),
              open_pack(s[1], kRandomKey));
    EXPECT_EQ(payload(kHostMac, "", kMid, R"({"t":"CheckRes","failDev":["zzzzzzzzzzzz"],"requestId":""})"),
              open_pack(s[2], kRandomKey));
}

TEST_F(EventPublish, HeartbeatAnswerAndCloudLink) {
    orvi_subdev_ptr dev = add("u00000000001");
    EXPECT_EQ(0, event_hbok_publish(dev));
    EXPECT_EQ(0, event_mqtt_connect_publish(1));
    EXPECT_EQ(0, event_mqtt_domain_publish("mqtt.example.net"));
    auto s = PublishCapture::sent();
    ASSERT_EQ(3u, s.size());
    EXPECT_EQ(std::string("/hbok/") + kHomeMac + "/u00000000001", s[0].topic);
    EXPECT_EQ(head(kHostMac, "u00000000001", 2), package_head(s[0]));
    EXPECT_EQ(R"({"t":"hbok"})", open_pack(s[0], kDevKey));
    EXPECT_EQ("mqtt/connect", s[1].topic);
    EXPECT_EQ(head(kHostMac, kHomeMac, 0), package_head(s[1]));
    EXPECT_EQ(payload(kHomeMac, "", kMid, R"({"cols":["connect"],"dat":[1]})"), open_pack(s[1], kRandomKey));
    EXPECT_EQ("/parameter", s[2].topic);
    EXPECT_EQ(head(kHostMac, "", 0), package_head(s[2]));
    EXPECT_EQ(payload(kHomeMac, "", kMid, R"({"cols":["domain-mqtt"],"dat":["mqtt.example.net"]})"),
              open_pack(s[2], kRandomKey));

    PublishCapture::clear();
    orvi_subdev_locked(dev, [](orvi_subdev_list_t &r) { r.key[0] = '\0'; });
    EXPECT_EQ(-1, event_hbok_publish(dev));
    EXPECT_EQ(-1, event_mqtt_domain_publish(nullptr));
    EXPECT_TRUE(PublishCapture::sent().empty());
}

// ---- sound behaviour ----

TEST_F(EventPublish, OutsideTextNeverForgesTopicLevels) {
    const char *bad[] = {"ab/cd",
                         "ab+cd",
                         "abc#",
                         "",
                         "a b",
                         "ab\x01"
                         "cd"};
    for (const char *mac : bad) {
        PublishCapture::clear();
        orvi_subdev_ptr dev = loose(mac, DEV_TYPE_UDP, R"({"opt":["Pow"],"p":[1]})");
        set_cmd(dev, R"({"reqId":"1"})");
        orvi_subdev_ptr gw = loose("gggggggggggg", DEV_TYPE_GATEWAY);
        cJSON *ev = cJSON_CreateObject();
        testing::internal::CaptureStdout();
        EXPECT_FALSE(event_topic_level_ok(mac, "MAC"));
        EXPECT_EQ(-1, even_dev_ctrl_publish(dev, UDS_TYPE_STATUS)) << mac;
        EXPECT_EQ(-1, even_dev_ctrl_publish(dev, UDS_TYPE_STATUS_MQTT)) << mac;
        EXPECT_EQ(-1, even_dev_ctrl_publish(dev, UDS_TYPE_CTRL)) << mac;
        EXPECT_EQ(-1, event_hbok_publish(dev)) << mac;
        EXPECT_EQ(-1, event_sub_devinfo_publish(dev, 0)) << mac;
        EXPECT_EQ(-1, event_pub_http_devinfo_publish(dev, 0)) << mac;
        EXPECT_EQ(-1, event_subsub_devinfo_publish(gw, dev)) << mac;
        EXPECT_EQ(-1, event_type_7_publish(dev, gw, 0, nullptr, 0)) << mac;  // parent MAC as a level
        EXPECT_EQ(-1, event_opDevices_info_publish(nullptr, dev, DEV_TYPE_OPDEV, 0)) << mac;
        EXPECT_EQ(-1, event_syncAckHttp_devListPush_publish(dev, 0)) << mac;
        EXPECT_EQ(-1, event_event_persistent_publish(gw, dev)) << mac;
        EXPECT_EQ(-1, event_device_event_publish(gw, dev, ev)) << mac;
        const std::string log = testing::internal::GetCapturedStdout();
        cJSON_Delete(ev);
        EXPECT_NE(std::string::npos, log.find("refused as a topic level")) << mac;
        EXPECT_TRUE(PublishCapture::sent().empty()) << mac;
    }
    EXPECT_FALSE(event_topic_level_ok("0123456789abcdefX", "MAC"));  // longer than any MAC
    EXPECT_TRUE(event_topic_level_ok("0123456789abcdef", "MAC"));
    EXPECT_TRUE(event_topic_level_ok("aabbccddeeff_1", "MAC"));
}

TEST_F(EventPublish, UnsealedPackageIsNeverPublished) {
    {
        orvi::MutexLock lk(orvi_dev_info_mutex());
        orvi_field_set(orvi_dev_info.random_key, "");
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, event_host_publish("matching", "fail", 0));
    EXPECT_EQ(-1, even_dev_ctrl_publish(loose("u00000000001", DEV_TYPE_UDP, R"({"opt":[],"p":[]})"),
                                        UDS_TYPE_STATUS));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("msg_json json is null"));
    EXPECT_TRUE(PublishCapture::sent().empty());
    // The home key still seals the home host's own status.
    EXPECT_EQ(0, even_dev_ctrl_publish(loose(kHomeMac, DEV_TYPE_HOST, R"({"opt":[],"p":[]})"),
                                       UDS_TYPE_STATUS_MQTT));
}

TEST_F(EventPublish, TransportRefusalIsReported) {
    PublishCapture::result() = -1;
    EXPECT_EQ(-1, event_host_publish("matching", "fail", 0));
    EXPECT_EQ(1u, PublishCapture::sent().size());
    PublishCapture::result() = 0;
}

// The caller's reference is dropped and the record deleted while its message
// is on its way: the publisher keeps its own reference to the end.
orvi_subdev_ptr *g_holder = nullptr;
void drop_record(const sent_t &) {
    if (!g_holder || !*g_holder) return;
    product_delete_subdev_form_host((*g_holder)->mac);
    g_holder->reset();
}

TEST_F(EventPublish, RecordDeletedDuringItsPublish) {
    orvi_subdev_ptr dev = add("u00000000001");
    set_cmd(dev, R"({"t":"cmd"})");
    orvi_subdev_ptr gw = add("gggggggggggg", DEV_TYPE_GATEWAY);
    PublishCapture::hook() = &drop_record;

    g_holder = &dev;
    EXPECT_EQ(0, even_dev_ctrl_publish(dev, UDS_TYPE_CTRL));
    EXPECT_FALSE(dev);
    g_holder = &gw;
    orvi_subdev_ptr child = loose("s00000000001");
    EXPECT_EQ(0, event_subsub_devinfo_publish(gw, child));
    EXPECT_FALSE(gw);
    g_holder = nullptr;
    EXPECT_EQ(0u, product_get_host_subdev_count());
    EXPECT_EQ(2u, PublishCapture::sent().size());
}

// ---- delayed syncs ----

TEST_F(EventPublish, OnlineSyncFiresOnceWithTheLatestType) {
    ASSERT_EQ(0, sub_dev_online_sync_delay(5000, 1));
    for (int i = 0; i < 20; ++i)
        orvi_timer_tick_once();
    ASSERT_EQ(0, sub_dev_online_sync_delay(5000, 2));  // replaces the type, restarts the count
    for (int i = 0; i < 49; ++i)
        orvi_timer_tick_once();
    EXPECT_TRUE(g_posts.empty());
    orvi_timer_tick_once();
    EXPECT_EQ((std::vector<std::pair<unsigned, long>>{{ORVI_EVENT_ONLINE_SYNC, 2}}), g_posts);
    for (int i = 0; i < 100; ++i)
        orvi_timer_tick_once();
    EXPECT_EQ(1u, g_posts.size());

    // Armed again after it fired.
    ASSERT_EQ(0, sub_dev_online_sync_delay(5000, 14));
    for (int i = 0; i < 50; ++i)
        orvi_timer_tick_once();
    EXPECT_EQ((std::pair<unsigned, long>{ORVI_EVENT_ONLINE_SYNC, 14}), g_posts.back());
    EXPECT_TRUE(PublishCapture::sent().empty());
}

TEST_F(EventPublish, SyncAgainAsksTheOwningServices) {
    EXPECT_EQ(0, sub_dev_online_sync_again(DEV_TYPE_GROUP_CAN_485));
    EXPECT_EQ((std::vector<std::string>{"can/check", "485/check"}), PublishCapture::topics());
    for (const sent_t &s : PublishCapture::sent())
        EXPECT_EQ(payload(kHostMac, "0", kMid, R"({"cols":["online"],"dat":[1]})"), open_pack(s, kRandomKey));
    // The status sync follows five seconds later.
    for (int i = 0; i < 50; ++i)
        orvi_timer_tick_once();
    ASSERT_EQ((std::vector<std::pair<unsigned, long>>{{ORVI_EVENT_STATUS_SYNC, 51}}), g_posts);

    PublishCapture::clear();
    EXPECT_EQ(0, sub_dev_status_sync_again(DEV_TYPE_GROUP_CAN_485));
    EXPECT_EQ((std::vector<std::string>{"can/check", "485/check"}), PublishCapture::topics());
    EXPECT_EQ(payload(kHostMac, "0", kMid, R"({"cols":["status"],"dat":[1]})"),
              open_pack(PublishCapture::sent()[0], kRandomKey));

    PublishCapture::clear();
    g_posts.clear();
    EXPECT_EQ(0, sub_dev_status_sync_again(DEV_TYPE_TOVRA));
    EXPECT_EQ((std::vector<std::string>{"tovra/check"}), PublishCapture::topics());
    PublishCapture::clear();
    EXPECT_EQ(-1, sub_dev_online_sync_again(20));
    EXPECT_EQ(-1, sub_dev_status_sync_again(52));
    for (int i = 0; i < 60; ++i)
        orvi_timer_tick_once();
    EXPECT_TRUE(PublishCapture::sent().empty());
    EXPECT_TRUE(g_posts.empty());
}

}  // namespace
