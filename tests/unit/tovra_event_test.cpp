// The lighting events as they leave for the local broker: topic, package and
// the body inside it, captured at the publishers' sink.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "event_publish_capture.h"
#include "orvi_field.h"
#include "orvi_testing.h"
#include "product_subdev.h"
#include "scratch_root.h"
#include "tovra_event.h"

using namespace publish_test;

namespace {

host_tovra_devcie_info_t device(const char *mac, const char *mid) {
    host_tovra_devcie_info_t d{};
    orvi_field_set(d.mac, mac);
    orvi_field_set(d.mid, mid);
    d.online = 1;
    return d;
}

// The codec stand-in: answers with the output set for the test and keeps the
// input it was given.
std::string g_codec_out;
std::string g_codec_in;
std::string g_codec_mid;
int fake_codec(const char *mid, const char *in, char *out, size_t out_size) {
    g_codec_mid = mid;
    g_codec_in = in;
    if (g_codec_out.empty() || g_codec_out.size() >= out_size) return -1;
    memcpy(out, g_codec_out.c_str(), g_codec_out.size() + 1);
    return static_cast<int>(g_codec_out.size());
}

struct query_calls {
    std::vector<int> whole;
    std::vector<std::vector<long>> kind;
};
query_calls g_queries;
const tovra_event_hooks_t kQueryHooks = {
    [](int on) { g_queries.whole.push_back(on); },
    [](uint32_t id, int room, int dev_class) { g_queries.kind.push_back({static_cast<long>(id), room, dev_class}); },
};

class TovraEventTest : public ::testing::Test {
  protected:
    void SetUp() override {
        product_registry_reset_for_test();
        tovra_event_reset_for_test();
        tovra_event_set_codec(fake_codec);
        tovra_event_set_hooks(&kQueryHooks);
        g_codec_out.clear();
        g_codec_in.clear();
        g_queries = query_calls{};
        PublishCapture::clear();
    }
    void TearDown() override {
        tovra_event_set_codec(nullptr);
        tovra_event_set_hooks(nullptr);
        product_registry_reset_for_test();
    }
    // The host events' body: the package opened with the host's random key
    // (cid is the host MAC), its payload's plaintext.
    static std::string host_payload(const sent_t &s) { return open_pack(s, kRandomKey); }
    static orvi_subdev_ptr add(const char *mac, dev_type_t type = DEV_TYPE_TOVRA) {
        orvi_subdev_list_t d;
        orvi_field_set(d.mac, mac);
        orvi_field_set(d.mid, "70701");
        d.dev_type = type;
        return product_add_subdev_to_host(&d);
    }

    ScratchRoot root_;
    PublishCapture capture_;
};

std::string host_wrap(const std::string &plain, const std::string &sub = "", const std::string &mid = "") {
    return "{\"mac\":\"" + std::string(kHostMac) + "\",\"sub\":\"" + sub + "\",\"mid\":\"" + mid +
           "\",\"plaintext\":" + plain + "}";
}

TEST_F(TovraEventTest, HostEventsCarryTheirTopicAndBody) {
    const host_tovra_devcie_info_t cube = device("aabbccddeeff", "80205");
    struct {
        const char *what;
        std::function<int()> send;
        const char *topic;  // null: nothing published
        std::string payload;
    } cases[] = {
        {"pair success", [] { return tovra_pair_send(1); }, "/tovra/pair",
         host_wrap("{\"opt\":[\"pair\"],\"p\":[\"success\"]}")},
        {"pair fail", [] { return tovra_pair_send(0); }, "/tovra/pair",
         host_wrap("{\"opt\":[\"pair\"],\"p\":[\"fail\"]}")},
        {"pair of an unknown state", [] { return tovra_pair_send(7); }, "/tovra/pair",
         host_wrap("{\"opt\":[],\"p\":[]}")},
        {"trivox scene id", [] { return tovra_trivox_sceneid_send(0x123456); }, "/trivox/scenebroadcast",
         host_wrap("{\"linksceneid\":1193046}")},
        {"scene set answer", [&] { return tovra_scene_set_status_event_send(&cube, "req-1", 200); }, "scene/resp",
         host_wrap("{\"reqId\":\"req-1\",\"r\":200}", "aabbccddeeff", "80205")},
        {"scene bind answer", [&] { return tovra_scene_bind_status_event_send(&cube, "req-2", 500); },
         "scene/bind/resp", host_wrap("{\"reqId\":\"req-2\",\"r\":500}", "aabbccddeeff", "80205")},
        {"a cube's key event: no request id", [&] { return tovra_scene_bind_status_event_send(&cube, nullptr, 300); },
         "scene/bind/resp", host_wrap("{\"r\":300}", "aabbccddeeff", "80205")},
        {"scene unbind answer", [&] { return tovra_scene_unbind_status_event_send(&cube, "r\"3", 200); },
         "scene/unbind/resp", host_wrap("{\"reqId\":\"r\\\"3\",\"r\":200}", "aabbccddeeff", "80205")},
        {"scene answer without a device", [] { return tovra_scene_set_status_event_send(nullptr, "x", 200); },
         nullptr, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        PublishCapture::clear();
        const int rc = c.send();
        const std::vector<sent_t> sent = PublishCapture::sent();
        if (!c.topic) {
            EXPECT_EQ(rc, -1);
            EXPECT_TRUE(sent.empty());
            continue;
        }
        EXPECT_EQ(rc, 0);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].topic, c.topic);
        EXPECT_EQ(package_head(sent[0]), head(kHostMac, "", 0));
        EXPECT_EQ(host_payload(sent[0]), c.payload);
    }
}

TEST_F(TovraEventTest, SceneLocksGoOutOnlyWhenTheyOpen) {
    std::atomic<int> lock3{0};
    struct {
        const char *what;
        std::function<int()> send;
        std::vector<std::string> topics;
    } steps[] = {
        {"first unlock after start", [] { return tovra_scene_lock_send(0, 0); }, {}},
        {"locked", [] { return tovra_scene_lock_send(1, 0); }, {}},
        {"unlocked while lock two holds", [] { return tovra_scene_lock_send(0, 1); }, {}},
        {"locked again", [] { return tovra_scene_lock_send(1, 0); }, {}},
        {"unlocked", [] { return tovra_scene_lock_send(0, 0); }, {"/parameter"}},
        {"unlocked again", [] { return tovra_scene_lock_send(0, 0); }, {}},
        {"lock three without the flag", [&] { return tovra_scene_lock3_send(lock3); }, {}},
        {"lock three with the flag", [&] {
             lock3 = 1;
             return tovra_scene_lock3_send(lock3);
         }, {"/scene/lock3"}},
        {"lock three flag cleared", [&] { return tovra_scene_lock3_send(lock3); }, {}},
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(s.what);
        PublishCapture::clear();
        EXPECT_EQ(s.send(), s.topics.empty() ? -1 : 0);
        EXPECT_EQ(PublishCapture::topics(), s.topics);
    }
    // The bodies of the two that went out.
    PublishCapture::clear();
    tovra_scene_lock_send(1, 0);
    tovra_scene_lock_send(0, 0);
    lock3 = 1;
    tovra_scene_lock3_send(lock3);
    const std::vector<sent_t> sent = PublishCapture::sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(host_payload(sent[0]), host_wrap("{\"cols\":[\"scenelock\"],\"dat\":[0]}"));
    EXPECT_EQ(host_payload(sent[1]), host_wrap("{\"cols\":[\"scenelock3\"],\"dat\":[1]}"));
}

TEST_F(TovraEventTest, TrivoxTwoSceneIdAsksForTheProvisionalStatusItReaches) {
    struct {
        uint32_t id;
        std::vector<int> whole;
        std::vector<std::vector<long>> kind;
    } cases[] = {
        {1, {1}, {}},
        {2, {0}, {}},
        {0x050300, {}, {{0x050300, 5, 3}}},
        {0x090700, {}, {{0x090700, 9, 7}}},
        {0x050400, {}, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id);
        g_queries = query_calls{};
        PublishCapture::clear();
        EXPECT_EQ(tovra_trivox2_sceneid_send(c.id), 0);
        const std::vector<sent_t> sent = PublishCapture::sent();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].topic, "/trivox2/scenebroadcast");
        EXPECT_EQ(host_payload(sent[0]), host_wrap("{\"linksceneid\":" + std::to_string(c.id) + "}"));
        EXPECT_EQ(g_queries.whole, c.whole);
        EXPECT_EQ(g_queries.kind, c.kind);
    }
}

TEST_F(TovraEventTest, OnlineListNamesTheRegistryDevicesOfEachRow) {
    ASSERT_TRUE(add("aabbccddeeff"));
    ASSERT_TRUE(add("11223344556600"));
    ASSERT_TRUE(add("11223344556601"));
    ASSERT_TRUE(add("665544332211", DEV_TYPE_UDP));
    std::vector<host_tovra_devcie_info_t> rows = {device("aabbccddeeff", "70701"), device("112233445566", "80401"),
                                                  device("665544332211", "70701"), device("0000000000ff", "70701")};
    rows[1].online = 0;
    EXPECT_EQ(tovra_online_event_send({}), -1);
    EXPECT_TRUE(PublishCapture::sent().empty());
    EXPECT_EQ(tovra_online_event_send(rows), 0);
    const std::vector<sent_t> sent = PublishCapture::sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].topic, "/online");
    EXPECT_EQ(host_payload(sent[0]),
              host_wrap("{\"t\":\"connect\",\"onlineSub\":[\"aabbccddeeff\"],\"offlineSub\":[\"11223344556600\","
                        "\"11223344556601\"]}"));
}

TEST_F(TovraEventTest, DeviceStatusIsDecodedStoredAndPublishedSealedWithTheHomeKey) {
    const orvi_subdev_ptr dev = add("aabbccddeeff");
    ASSERT_TRUE(dev);
    const host_tovra_devcie_info_t light = device("aabbccddeeff", "70701");
    const uint8_t record[] = {'A', 'T', 0x00, 0xAB, 0x0F};
    g_codec_out = "{\"t\":\"bin\",\"opt\":[\"Pow\",\"Lum\"],\"p\":[1,80],\"mac\":\"codec\"}";

    EXPECT_EQ(tovra_host_status_event_send(&light, record, sizeof record, 0), 0);
    EXPECT_EQ(g_codec_mid, "70701");
    EXPECT_EQ(g_codec_in, "{\"t\":\"bin\",\"mac\":\"aabbccddeeff\",\"atcmd\":\"AT+MDATA\",\"bin\":\"415400ab0f\"}");
    const std::vector<sent_t> sent = PublishCapture::sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].topic, std::string("/jsonStatus/") + kHomeMac + "/aabbccddeeff");
    EXPECT_EQ(package_head(sent[0]), head("aabbccddeeff", "", 2));
    EXPECT_EQ(open_pack(sent[0], kHomeKey),
              "{\"opt\":[\"Pow\",\"Lum\"],\"p\":[1,80],\"t\":\"dat\",\"cols\":[\"Pow\",\"Lum\"],\"dat\":[1,80],"
              "\"mid\":\"70701\",\"mac\":\"aabbccddeeff\",\"r\":200}");
    EXPECT_EQ(orvi_subdev_snapshot(dev).data,
              "{\"opt\":[\"Pow\",\"Lum\"],\"p\":[1,80],\"mac\":\"codec\",\"t\":\"dat\"}");

    // A codec that fails or answers something other than JSON: nothing goes out.
    for (const char *out : {"", "not json"}) {
        SCOPED_TRACE(out);
        PublishCapture::clear();
        g_codec_out = out;
        EXPECT_EQ(tovra_host_status_event_send(&light, record, sizeof record, 2), -1);
        EXPECT_TRUE(PublishCapture::sent().empty());
    }
}

TEST_F(TovraEventTest, MultiKeySwitchPublishesOneStatusPerKey) {
    const host_tovra_devcie_info_t sw = device("aabbccddeeff", "70721");
    const uint8_t record[] = {1, 0};
    g_codec_out = "{\"opt\":[\"Sw1\",\"Sw2\",\"Brightness\",\"Sw3\"],\"p\":[1,0,50,1]}";
    EXPECT_EQ(tovra_host_status_event_send(&sw, record, sizeof record, 0), 0);
    const std::vector<sent_t> sent = PublishCapture::sent();
    ASSERT_EQ(sent.size(), 2u) << "the keys end at the first other column";
    for (int key = 1; key <= 2; ++key) {
        SCOPED_TRACE(key);
        const std::string mac = "aabbccddeeff0" + std::to_string(key - 1);
        EXPECT_EQ(sent[key - 1].topic, std::string("/jsonStatus/") + kHomeMac + "/" + mac);
        EXPECT_EQ(package_head(sent[key - 1]), head(mac, "", 2));
        EXPECT_EQ(open_pack(sent[key - 1], kHomeKey),
                  "{\"t\":\"dat\",\"cols\":[\"Sw1\",\"Sw2\",\"Brightness\",\"Sw3\",\"num\",\"currentIndex\"],"
                  "\"dat\":[1,0,50,1,3," +
                      std::to_string(key) + "],\"mid\":\"70721\",\"mac\":\"" + mac + "\",\"r\":200}");
    }
}

}  // namespace
