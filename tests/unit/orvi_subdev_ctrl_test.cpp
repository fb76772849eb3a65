// Device control: the command path by device type, the command buffer
// rules, the batches, the UDP scene / room / report-frequency commands and
// the binary request. Bus publishes are captured at the publishers' sink,
// binary requests in the local MQTT transport's queue, LAN commands in the
// retry list; the sample codec plug-ins are installed into a scratch root.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "event_publish_capture.h"
#include "orvi_base64.h"
#include "orvi_bincmd.h"
#include "orvi_codec.h"
#include "orvi_subdev_ctrl.h"
#include "pending_calls.h"
#include "product_subdev.h"
#include "sample_model.h"
#include "scratch_root.h"
#include "subdev_ctrl_test_support.h"
#include "utils/host_mqtt/local_mqtt.h"

using namespace publish_test;
using namespace ctrl_test;

namespace {

class SubdevCtrlTest : public CtrlFixture {};

TEST_F(SubdevCtrlTest, UdpCmdWithoutCodecTemplateIsRefusedBeforeAnythingIsQueued) {
    orvi_subdev_ptr dev = add("02aabb000001", DEV_TYPE_UDP, "90001");
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, product_subdev_ctrl_handle(dev, kPow1, strlen(kPow1)));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, log.find("subdev type is UDP,but binParam is NULL")) << log;
    EXPECT_TRUE(queued("02aabb000001").empty());
    EXPECT_TRUE(bin_requests().empty());
    EXPECT_FALSE(orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { return d.binCmd; }));
}

TEST_F(SubdevCtrlTest, UdpCmdIsConvertedQueuedAndAnnouncedAsBinaryRequest) {
    orvi_subdev_ptr dev = add("02aabb000001", DEV_TYPE_UDP, "90001", true);
    ASSERT_EQ(0, product_subdev_ctrl_handle(dev, kPow1, strlen(kPow1)));
    std::vector<std::string> q = queued("02aabb000001");
    ASSERT_EQ(1u, q.size());
    sample_cmd_t c{};
    ASSERT_TRUE(command_frame(q[0], &c)) << q[0];
    EXPECT_EQ(SAMPLE_MASK_POW, c.mask);
    EXPECT_EQ(1, c.pow);

    // The same text, sealed with the device's key, from the host to the device.
    std::vector<local_pub_msg_t> req = bin_requests();
    ASSERT_EQ(1u, req.size());
    EXPECT_EQ(std::string("/binRequest/") + kHomeMac + "/02aabb000001", req[0].topic);
    sent_t s{req[0].topic, req[0].payload, 0};
    EXPECT_EQ(head(kHostMac, "02aabb000001", 2), package_head(s));
    EXPECT_EQ(q[0], open_pack(s, kDevKey));

    // Anything but a "cmd" goes as it stands; text that is not JSON does not go.
    const char *raw = "{\"t\":\"binCmd\",\"roomId\":3}";
    EXPECT_EQ(0, product_subdev_ctrl_handle(dev, raw, strlen(raw)));
    EXPECT_EQ(-1, product_subdev_ctrl_handle(dev, "{not json", 9));
    q = queued("02aabb000001");
    ASSERT_EQ(2u, q.size());
    EXPECT_EQ(raw, q[1]);
}

TEST_F(SubdevCtrlTest, CodecFailuresSendNothing) {
    for (const char *mid : {"90002", "90003", "90004", "90009"}) {
        SCOPED_TRACE(mid);
        const std::string mac = std::string("02aabb0000") + (mid + 3);
        orvi_subdev_ptr dev = add(mac.c_str(), DEV_TYPE_UDP, mid, true);
        testing::internal::CaptureStdout();
        EXPECT_EQ(-1, product_subdev_ctrl_handle(dev, kPow1, strlen(kPow1)));
        const std::string log = testing::internal::GetCapturedStdout();
        EXPECT_NE(std::string::npos,
                  log.find(std::string("It's not binCmd,orvi_json_to_hex_handle failed:mid:") + mid));
        EXPECT_TRUE(queued(mac).empty());
    }
    EXPECT_TRUE(bin_requests().empty());
}

size_t bincmd_size(const orvi_subdev_ptr &dev) {
    auto b = orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { return d.binCmd; });
    return b ? b->size() : 0;
}

std::string bincmd_text(const orvi_subdev_ptr &dev) {
    auto b = orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { return d.binCmd; });
    return b ? std::string(b->data(), strnlen(b->data(), b->size())) : "";
}

// A JSON command of exactly n characters.
std::string command_of(size_t n) {
    std::string head = "{\"t\":\"cmd\",\"opt\":[\"Pow\"],\"p\":[1],\"pad\":\"";
    return head + std::string(n - head.size() - 2, 'x') + "\"}";
}

TEST_F(SubdevCtrlTest, CommandBufferIsSizedAndReplacedNeverRewritten) {
    struct Case {
        const char *what;
        dev_type_t type;
        bool tmpl;
        std::vector<size_t> commands;  // lengths sent one after another
        size_t size;                   // buffer size after the last one
    };
    const size_t tmpl = template_size();
    const Case cases[] = {
        {"first use without template", DEV_TYPE_CAN, false, {100}, 1024},
        {"first use with template", DEV_TYPE_UDP, true, {100}, 4 * tmpl},
        {"first command longer than the default", DEV_TYPE_CAN, false, {2000}, 2256},
        {"command as long as the buffer", DEV_TYPE_CAN, false, {100, 1024}, 1536},
        {"command longer than the buffer", DEV_TYPE_485, false, {100, 1500}, 2012},
        {"a big buffer stays", DEV_TYPE_TOVRA, false, {1500, 100}, 1756},
        {"Wi-Fi device", DEV_TYPE_WIFI, false, {100, 3000}, 3512},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        char mac[13];
        snprintf(mac, sizeof mac, "02ccdd0000%02d", ++n);
        orvi_subdev_ptr dev = add(mac, c.type, "90001", c.tmpl);
        std::shared_ptr<std::vector<char>> before;
        std::string before_text;
        for (size_t len : c.commands) {
            before = orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { return d.binCmd; });
            before_text = before ? std::string(before->data()) : "";
            const std::string cmd = command_of(len);
            ASSERT_EQ(len, cmd.size());
            EXPECT_EQ(0, product_subdev_ctrl_handle(dev, cmd.c_str(), cmd.size()));
        }
        EXPECT_EQ(c.size, bincmd_size(dev));
        // A reader's buffer is left as it was.
        if (before) {
            EXPECT_EQ(before_text, std::string(before->data()));
        }
    }
}

TEST_F(SubdevCtrlTest, GrowingTheBufferOfALanDeviceKeepsTheCommandInFlight) {
    orvi_subdev_ptr dev = add("02ccdd000001", DEV_TYPE_WIFI, "90001");
    const std::string first = "{\"t\":\"a\"}";
    ASSERT_EQ(0, product_subdev_ctrl_handle(dev, first.c_str(), first.size()));
    // The retry thread put the command in flight into the buffer.
    orvi_subdev_locked(
        dev, [&](orvi_subdev_list_t &d) { std::memcpy(d.binCmd->data(), first.c_str(), first.size() + 1); });
    const std::string big = command_of(2000);
    ASSERT_EQ(0, product_subdev_ctrl_handle(dev, big.c_str(), big.size()));
    EXPECT_EQ(2512u, bincmd_size(dev));
    EXPECT_EQ(first, bincmd_text(dev));
    EXPECT_EQ(std::vector<std::string>({first, big}), queued("02ccdd000001"));
}

TEST_F(SubdevCtrlTest, EachTypeTakesItsRoute) {
    enum Route { kBus, kQueue, kNothing, kRefused };
    struct Case {
        dev_type_t type;
        Route route;
    };
    const Case cases[] = {
        {DEV_TYPE_CAN, kBus},         {DEV_TYPE_485, kBus},       {DEV_TYPE_TOVRA, kBus},
        {DEV_TYPE_CENTCTRL, kBus},    {DEV_TYPE_OPGATEWAY, kBus}, {DEV_TYPE_OPDEV, kBus},
        {DEV_TYPE_MJGATEWAY, kBus},   {DEV_TYPE_WIFI, kQueue},    {DEV_TYPE_PWRGATEWAY, kNothing},
        {DEV_TYPE_GATEWAY, kNothing}, {DEV_TYPE_BLE, kNothing},   {DEV_TYPE_MINIPRO, kRefused},
        {DEV_TYPE_NONE, kRefused},
    };
    const std::string cmd = kPow1;
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.type));
        char mac[13];
        snprintf(mac, sizeof mac, "02eeff0000%02d", ++n);
        orvi_subdev_ptr dev = add(mac, c.type, "90001");
        PublishCapture::clear();
        EXPECT_EQ(c.route == kRefused ? -1 : 0, product_subdev_ctrl_handle(dev, cmd.c_str(), cmd.size()));
        std::vector<sent_t> sent = PublishCapture::sent();
        if (c.route == kBus) {
            ASSERT_EQ(1u, sent.size());
            EXPECT_EQ(std::string("/jsonRequest/") + kHomeMac + "/" + mac, sent[0].topic);
            EXPECT_EQ(cmd, open_pack(sent[0], kDevKey));
            EXPECT_EQ(cmd, bincmd_text(dev));
        } else {
            EXPECT_TRUE(sent.empty());
        }
        EXPECT_EQ(c.route == kQueue ? std::vector<std::string>{cmd} : std::vector<std::string>{},
                  queued(mac));
    }
    EXPECT_TRUE(bin_requests().empty());
    EXPECT_EQ(-1, product_subdev_ctrl_handle(nullptr, cmd.c_str(), cmd.size()));
    EXPECT_EQ(-1, product_subdev_ctrl_handle(add("02eeff0000ff", DEV_TYPE_CAN, "1"), nullptr, 4));
}

TEST_F(SubdevCtrlTest, HostTargetRunsTheHostInterpreter) {
    orvi_subdev_ptr host = add(kHomeMac, DEV_TYPE_HOST, "70502");
    if (!host) {
        // The registry keeps no record under the home MAC: a working record.
        host = std::make_shared<orvi_subdev_list_t>();
        orvi_field_set(host->mac, kHomeMac);
        host->dev_type = DEV_TYPE_HOST;
    }
    const std::string cmd =
        std::string("{\"t\":\"cmd\",\"sub\":\"") + kHomeMac + "\",\"opt\":[\"cloud_backup_sw\"],\"p\":[1]}";
    ASSERT_EQ(0, product_subdev_ctrl_handle(host, cmd.c_str(), cmd.size()));
    EXPECT_EQ(1, product_get_cloud_backup_sw());
    EXPECT_EQ(std::vector<std::string>({"/appInsInfo"}), PublishCapture::topics());
}

TEST_F(SubdevCtrlTest, BatchesAddressEveryMatchAndOneOpGateway) {
    add("02aa00000001", DEV_TYPE_CAN, "1", false, 5);
    add("02aa00000002", DEV_TYPE_CAN, "1", false, 5);
    add("02aa00000003", DEV_TYPE_CAN, "1", false, 6);
    add("02aa00000004", DEV_TYPE_485, "1", false, 5);
    add("02aa00000005", DEV_TYPE_OPGATEWAY, "1");
    add("02aa00000006", DEV_TYPE_OPGATEWAY, "1");
    auto macs = [] {
        std::vector<std::string> out;
        for (const std::string &t : PublishCapture::topics())
            out.push_back(t.substr(t.rfind('/') + 1));
        PublishCapture::clear();
        return out;
    };
    EXPECT_EQ(0, subdev_ctrl_batch_by_type(DEV_TYPE_CAN, kPow1));
    EXPECT_EQ(std::vector<std::string>({"02aa00000001", "02aa00000002", "02aa00000003"}), macs());
    EXPECT_EQ(0, subdev_ctrl_batch_by_roomid_devType(5, DEV_TYPE_CAN, kPow1));
    EXPECT_EQ(std::vector<std::string>({"02aa00000001", "02aa00000002"}), macs());
    EXPECT_EQ(0, subdev_ctrl_batch_by_type(DEV_TYPE_OPGATEWAY, kPow1));
    EXPECT_EQ(std::vector<std::string>({"02aa00000005"}), macs());

    EXPECT_EQ(-1, subdev_ctrl_batch_by_type(DEV_TYPE_UDP, kPow1));  // none registered
    for (int bad : {0, 15, -1, 51}) {
        EXPECT_EQ(-1, subdev_ctrl_batch_by_type(bad, kPow1));
        EXPECT_EQ(-1, subdev_ctrl_batch_by_roomid_devType(5, bad, kPow1));
    }
    EXPECT_EQ(-1, subdev_ctrl_batch_by_type(DEV_TYPE_CAN, nullptr));
    EXPECT_EQ(-1, subdev_ctrl_batch_by_roomid_devType(5, DEV_TYPE_CAN, nullptr));
    EXPECT_TRUE(macs().empty());
}

TEST_F(SubdevCtrlTest, RoomAndReportFrequencyCommandsOfUdpDevices) {
    orvi_subdev_ptr dev = add("02aabb000001", DEV_TYPE_UDP, "90001", true);
    ASSERT_EQ(0, orvi_udpdev_set_roomId(dev, 7));
    ASSERT_EQ(0, orvi_udpdev_set_reportFreq(dev));
    std::vector<std::string> q = queued("02aabb000001");
    ASSERT_EQ(2u, q.size());
    EXPECT_EQ("{\"t\":\"binCmd\",\"roomId\":7}", q[0]);
    sample_cmd_t c{};
    ASSERT_TRUE(command_frame(q[1], &c)) << q[1];
    EXPECT_EQ(SAMPLE_MASK_FREQ, c.mask);
    EXPECT_EQ(60, c.freq);
    EXPECT_EQ(2u, bin_requests().size());

    orvi_subdev_ptr bare = add("02aabb000002", DEV_TYPE_UDP, "90001");
    EXPECT_EQ(-1, orvi_udpdev_set_reportFreq(bare));
    orvi_subdev_ptr can = add("02aabb000003", DEV_TYPE_CAN, "1");
    EXPECT_EQ(-1, orvi_udpdev_set_roomId(can, 7));
    EXPECT_EQ(-1, orvi_udpdev_set_reportFreq(can));
    EXPECT_TRUE(queued("02aabb000002").empty());
    EXPECT_TRUE(queued("02aabb000003").empty());
}

// The queued scene command as JSON, with its codec frame decoded.
struct SceneCmd {
    json_ptr j{nullptr, &cJSON_Delete};
    sample_cmd_t frame{};
    bool has_frame = false;
    int num(const char *name) const {
        const cJSON *v = cJSON_GetObjectItem(j.get(), name);
        return cJSON_IsNumber(v) ? v->valueint : -999;
    }
    std::string str(const char *name) const {
        const cJSON *v = cJSON_GetObjectItem(j.get(), name);
        return cJSON_IsString(v) ? v->valuestring : "";
    }
};
SceneCmd scene_cmd(const std::string &text) {
    SceneCmd s;
    s.j.reset(cJSON_Parse(text.c_str()));
    s.has_frame = command_frame(text, &s.frame);
    return s;
}

TEST_F(SubdevCtrlTest, DefaultSceneOfUdpDeviceThenReportFrequencyAndTheFlagClears) {
    orvi_subdev_ptr dev = add("02aabb000001", DEV_TYPE_UDP, "90001", true, 9);
    orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { d.scene = 1; });
    ASSERT_EQ(0, orvi_udpdev_set_scene(dev, 1, 0, 0, nullptr, nullptr));
    std::vector<std::string> q = queued("02aabb000001");
    ASSERT_EQ(2u, q.size());
    SceneCmd s = scene_cmd(q[0]);
    ASSERT_TRUE(s.has_frame) << q[0];
    EXPECT_EQ(1, s.frame.pow);
    EXPECT_EQ(1, s.num("sceneId"));
    EXPECT_EQ(1, s.num("operType"));
    EXPECT_EQ(9, s.num("roomId"));
    SceneCmd f = scene_cmd(q[1]);
    ASSERT_TRUE(f.has_frame);
    EXPECT_EQ(SAMPLE_MASK_FREQ, f.frame.mask);
    EXPECT_EQ(0, orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { return d.scene; }));
    // Done once: the flag is down now.
    EXPECT_EQ(-1, orvi_udpdev_set_scene(dev, 1, 0, 0, nullptr, nullptr));
    EXPECT_EQ(2u, queued("02aabb000001").size());
}

TEST_F(SubdevCtrlTest, SceneCommandsByOperationAndDevice) {
    orvi_subdev_ptr udp = add("02aabb000001", DEV_TYPE_UDP, "90001", true, 4);
    orvi_subdev_ptr cc = add("02aabb000002", DEV_TYPE_CENTCTRL, "70001", false, 4);
    const char *lum = "{\"t\":\"cmd\",\"opt\":[\"Lum\"],\"p\":[30]}";

    ASSERT_EQ(0, orvi_udpdev_set_scene(udp, 0, 131073, 1, lum, "req-1"));
    ASSERT_EQ(0, orvi_udpdev_set_scene(udp, 0, 131073, 2, nullptr, nullptr));
    std::vector<std::string> q = queued("02aabb000001");
    ASSERT_EQ(2u, q.size());
    SceneCmd add_scene = scene_cmd(q[0]);
    ASSERT_TRUE(add_scene.has_frame);
    EXPECT_EQ(30, add_scene.frame.lum);
    EXPECT_EQ(131073, add_scene.num("sceneId"));
    EXPECT_EQ(1, add_scene.num("operType"));
    EXPECT_EQ("req-1", add_scene.str("reqId"));
    EXPECT_EQ("{\"t\":\"binCmd\",\"sceneId\":131073,\"operType\":2,\"roomId\":4}", q[1]);

    // A central controller gets the text itself, on the bus.
    ASSERT_EQ(0, orvi_udpdev_set_scene(cc, 0, 5, 1, lum, "req-2"));
    std::vector<sent_t> sent = PublishCapture::sent();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(
        "{\"t\":\"cmd\",\"opt\":[\"Lum\"],\"p\":[30],\"sceneId\":5,\"operType\":1,\"reqId\":\"req-2\","
        "\"roomId\":4}",
        open_pack(sent[0], kDevKey));

    // Refusals: nothing to send, the wrong device, no template (a status
    // check goes instead), a codec that fails.
    EXPECT_EQ(-1, orvi_udpdev_set_scene(udp, 0, 7, 1, nullptr, nullptr));
    EXPECT_EQ(-1, orvi_udpdev_set_scene(add("02aabb000003", DEV_TYPE_CAN, "1"), 0, 7, 2, nullptr, nullptr));
    orvi_subdev_ptr bare = add("02aabb000004", DEV_TYPE_UDP, "90001");
    EXPECT_EQ(-1, orvi_udpdev_set_scene(bare, 0, 7, 1, lum, nullptr));
    q = queued("02aabb000004");
    ASSERT_EQ(1u, q.size());
    EXPECT_NE(std::string::npos, q[0].find("\"t\":\"statusCheck\""));
    orvi_subdev_ptr broken = add("02aabb000005", DEV_TYPE_UDP, "90003", true);
    EXPECT_EQ(-1, orvi_udpdev_set_scene(broken, 0, 7, 1, lum, nullptr));
    EXPECT_TRUE(queued("02aabb000005").empty());
    EXPECT_EQ(2u, queued("02aabb000001").size());
}

TEST_F(SubdevCtrlTest, BinaryRequestTopicLevelsAreChecked) {
    orvi_subdev_ptr dev = add("02aabb000001", DEV_TYPE_UDP, "90001", true);
    // A MAC that cannot stand as one topic level never builds a topic.
    auto odd = std::make_shared<orvi_subdev_list_t>();
    orvi_field_set(odd->mac, "02aa/b#0001");
    orvi_field_set(odd->key, kDevKey);
    EXPECT_EQ(-1, pub_binReques_event(odd, "{}", 2));
    // A short key seals nothing.
    orvi_subdev_locked(dev, [](orvi_subdev_list_t &d) { orvi_field_set(d.key, "short"); });
    EXPECT_EQ(-1, pub_binReques_event(dev, "{}", 2));
    EXPECT_EQ(-1, pub_binReques_event(nullptr, "{}", 2));
    EXPECT_TRUE(bin_requests().empty());
}

}  // namespace
