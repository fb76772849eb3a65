// The local event topics on the virtual board: the simulated sibling
// services (simsvc emit) publish an event on each row of the host's topic
// table, and each row is checked by what the host publishes in answer
// (orvictl watch, packages opened) or, where the answer belongs to a service
// not built yet, by the host asking that service.
#include <cJSON.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board.h"

namespace {

const std::string kBin = "/opt/vboard/bin/";
const std::string kHome = "HOMEVB00000000A1";
const std::string kHomeKey = "homevbkey0000001";
const std::string kDev = "02aabb0000e1";
const std::string kSub = "02aabb0000e1s1";

bool wait_for(const std::function<bool()> &pred, std::chrono::seconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

size_t count_of(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// Messages of `topic` whose opened text holds `plain_has`, in what
// `orvictl watch --json` printed.
size_t watched(const std::string &out, const std::string &topic, const std::string &plain_has) {
    size_t n = 0;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        cJSON *j = cJSON_Parse(line.c_str());
        const cJSON *t = j ? cJSON_GetObjectItem(j, "topic") : nullptr;
        const cJSON *p = j ? cJSON_GetObjectItem(j, "plain") : nullptr;
        const std::string plain = cJSON_IsString(p) ? p->valuestring : "";
        if (cJSON_IsString(t) && topic == t->valuestring && plain.find(plain_has) != std::string::npos) ++n;
        cJSON_Delete(j);
    }
    return n;
}

std::string devinfo_payload(const std::string &parent, const std::string &mac, const std::string &mid,
                            const std::string &infolist) {
    return "{\"mac\":\"" + parent + "\",\"sub\":\"" + mac + "\",\"mid\":\"" + mid +
           "\",\"plaintext\":{\"t\":\"devinfo\",\"infolist\":" + infolist + "}}";
}

std::string host_payload(const std::string &plaintext) {
    return "{\"mac\":\"" + kHome + "\",\"sub\":\"\",\"mid\":\"70502\",\"plaintext\":" + plaintext + "}";
}

// How the request task logs a request that came from the local event topics.
std::string uds_request(const std::string &body) {
    return "conn_type: 7, size: " + std::to_string(body.size()) + ", data: " + body;
}
const std::string kTimerBody = "{\"t\":\"AddTiming\",\"n\":31}";
const std::string kBindBody = "{\"t\":\"switchBindPush\",\"n\":32}";

class EventTopicsScenario : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(b.provision(kHome, kHomeKey));
        ASSERT_TRUE(b.start());
        // The fixed list and then the home's own topics are confirmed.
        ASSERT_TRUE(b.wait_for_log("[host/info/request]", std::chrono::seconds(60))) << b.logs();
        ASSERT_TRUE(b.wait_for_log("[/fakeStatus/" + kHome + "/#]", std::chrono::seconds(30))) << b.logs();
        ASSERT_EQ(0, b.exec({"sh", "-c",
                             "setsid " + kBin +
                                 "orvictl watch '#' --json --timeout 600 > /tmp/watch.out 2>&1 < /dev/null &"})
                         .status);
        ASSERT_TRUE(wait_for([&] { return b.read("/tmp/watch.out").find("subscribed") != std::string::npos; },
                             std::chrono::seconds(30)));
    }
    Board b;
};

TEST_F(EventTopicsScenario, EveryTopicRowReachesItsHandler) {
    struct Row {
        const char *row;                // the table row driven
        std::vector<std::string> emit;  // simsvc emit arguments
        std::string topic;              // an answer on this topic, opened text holding `has`
        std::string has;
        std::string log;  // or a daemon log line (when `topic` is empty); both empty: no check
    };
    const std::string infolist = "[\"" + kDev + "\",\"90001\",5,3,0,\"simdev\",\"1.0.0\",\"1\",\"devkey00000000e1\","
                                 "\"lamp\",\"\",\"\",1]";
    const std::string sub_infolist = "[\"" + kSub + "\",\"70301\",0,1,0,\"\",\"\",\"\",\"\",\"door\",\"\",\"\",1]";
    const Row rows[] = {
        {"devInfoHttp", {"event", "devInfoHttp/" + kHome + "/" + kDev, devinfo_payload(kHome, kDev, "90001", infolist)},
         "", "", kDev + " registered from devInfoHttp/"},
        {"room/set",
         {"event", "room/set", "{\"mac\":\"" + kHome + "\",\"subMac\":\"" + kDev + "\",\"mid\":\"90001\",\"roomid\":3}"},
         "devinfo/" + kHome + "/" + kDev, "\"lamp\"", ""},
        {"/hb", {"--cid", kDev, "--i", "1", "event", "/hb/" + kHome + "/" + kDev, "{\"mac\":\"" + kDev + "\",\"RSSI\":-50}"},
         "/hbok/" + kHome + "/" + kDev, "", ""},
        {"scene/set/",
         {"event", "scene/set/" + kDev,
          "{\"mac\":\"" + kHome + "\",\"subMac\":\"" + kDev +
              "\",\"type\":1,\"cmd\":{\"t\":\"cmd\",\"opt\":[\"Pow\"],\"p\":[1]},\"reqId\":\"r77\",\"subSceneID\":9}"},
         "scene/resp", "r77", ""},
        {"/jsonRequest", {"event", "/jsonRequest/" + kHome + "/" + kDev,
                          "{\"mac\":\"" + kDev + "\",\"t\":\"cmd\",\"opt\":[\"Pow\"],\"p\":[7]}"},
         "", "", "\"opt\":[\"Pow\"],\"p\":[7]}"},
        {"/binStatus", {"event", "/binStatus/" + kHome + "/" + kDev,
                        "{\"mac\":\"" + kDev + "\",\"t\":\"binStatus\",\"bin\":\"pQ==\"}"},
         "", "", "\"bin\":\"pQ==\"}"},
        {"Timer/set", {"event", "Timer/set/" + kDev, host_payload(kTimerBody)}, "", "", uds_request(kTimerBody)},
        {"switchBindPush", {"event", "switchBindPush", host_payload(kBindBody)}, "", "", uds_request(kBindBody)},
        {"devInfoHttp (under a parent)", {"event", "devInfoHttp/" + kDev + "/" + kSub, devinfo_payload(kDev, kSub, "70301", sub_infolist)},
         "", "", kSub + " registered under " + kDev},
        {"store4massage/event/", {"persist", kDev, kSub, "doorOpen"}, "", "", ""},
        {"store4massage/event/ (again)", {"persist", kDev, kSub, "doorOpen"}, "", "",
         "ignore [store4massage] duplicate subscriptions"},
        {"/online", {"online", "--off", kDev}, "", "", "data: {\"t\":\"connect\""},
        {"/jsonStatus", {"status", "a1b2c3d4e5f7", "70101", "Pow=1"}, "can/check", "online", ""},
        {"/fakeStatus", {"event", "/fakeStatus/" + kHome + "/a1b2c3d4e5f7",
                         "{\"t\":\"dat\",\"mac\":\"a1b2c3d4e5f7\",\"mid\":\"70101\",\"cols\":[\"Pow\"],\"dat\":[0],"
                         "\"fakeStatus\":1}"},
         "", "", "\"dat\":[0],\"fakeStatus\":1}"},
        {"/key", {"pairs", "/key", "key=matching"}, "", "", "bluetooth change to BT_TOADV"},
        {"/tovra/pair", {"pair", "success"}, "/host", "success", ""},
        {"mqtt/connect", {"pairs", "mqtt/connect", "connect=1"}, "", "", "set_host_net: not built"},
        {"/parameter", {"pairs", "/parameter", "active=1"}, "", "", "event_loop_cb, event: 4105"},
        {"/host", {"pairs", "/host", "type=updateHid"}, "/checkRes", "fail", ""},
        // "/check" has a row but is not in the subscription list the siblings rely on.
        {"/key (reset)", {"pairs", "/key", "key=reset"}, "", "", "MQTTAsync_disconnect call normal"},
        {"opGateway/tokens", {"pairs", "opGateway/tokens", "opToken={\"tk\":1}"}, "", "", "event_loop_cb, event: 4105"},
        {"opGateway/info",
         {"event", "opGateway/info",
          devinfo_payload(kHome, "0c0000000001", "99001",
                          "[\"0c0000000001\",\"99001\",7,0,\"\",\"\",\"\",\"\",\"gw\",\"\",\"\"]")},
         "syncAckHttp/0c0000000001", "0c0000000001", ""},
        {"opDevices/update",
         {"event", "opDevices/update/x",
          devinfo_payload(kHome, "0d0000000001", "99002",
                          "[\"0d0000000001\",\"99002\",8,12,0,\"\",\"\",\"\",\"\",\"gw\",\"\",\"\",1]")},
         "devinfo/" + kHome + "/0d0000000001", "\"newly\":1", ""},
        {"/trivox2/scenebroadcast", {"event", "/trivox2/scenebroadcast", host_payload("{\"sceneId\":5}")}, "", "",
         "scene_touch_status: not built"},
        {"checkDevHttp", {"event", "checkDevHttp", host_payload("{\"t\":\"DevCheck\",\"oper\":1,\"requestId\":\"c1\"}")},
         "checkDevAckHttp", "c1", ""},
        {"soUpdate", {"event", "soUpdate", host_payload("{}")}, "soUpdateRes", "200", ""},
        {"scene/bind/resp", {"event", "scene/bind/resp", host_payload("{}")}, "", "", "scene_bind_rsp: not built"},
        {"scene/unbind/resp", {"event", "scene/unbind/resp", host_payload("{}")}, "", "",
         "scene_unbind_rsp: not built"},
        {"restore/cloud/touch",
         {"event", "restore/cloud/touch", host_payload("{\"fileId\":42,\"hostMac\":\"" + kHome + "\",\"env\":\"test\"}")},
         "/key", "webRestore", ""},
        {"host/info/request", {"event", "host/info/request", host_payload("{}")}, "", "",
         "hostInfo_response_publish: not built"},
        {"delDevInfoHttp", {"event", "delDevInfoHttp/" + kHome + "/" + kDev, host_payload("\"release\"")},
         "devinfo/" + kHome + "/" + kDev, ",2]", ""},
        {"/notice", {"event", "/notice", "{\"type\":0,\"action\":2,\"detail\":{\"mac\":\"0d0000000001\"}}"},
         "devInfoHttp/" + kHome + "/0d0000000001", "", ""},
        {"/notice (rooms)", {"event", "/notice", "{\"type\":1,\"action\":0,\"detail\":{}}"}, "", "",
         "roomlist_reload: not built"},
    };
    for (const Row &r : rows) {
        const size_t seen_watch = watched(b.read("/tmp/watch.out"), r.topic, r.has);
        const size_t seen_log = r.log.empty() ? 0 : count_of(b.logs(), r.log);
        std::vector<std::string> argv = {kBin + "simsvc", "emit"};
        argv.insert(argv.end(), r.emit.begin(), r.emit.end());
        Board::Result res = b.exec(argv);
        ASSERT_EQ(0, res.status) << r.row << ": " << res.out;
        if (!r.topic.empty()) {
            EXPECT_TRUE(wait_for([&] { return watched(b.read("/tmp/watch.out"), r.topic, r.has) > seen_watch; },
                                 std::chrono::seconds(30)))
                << r.row << ": nothing on " << r.topic << " holding " << r.has;
        } else if (!r.log.empty()) {
            EXPECT_TRUE(wait_for([&] { return count_of(b.logs(), r.log) > seen_log; }, std::chrono::seconds(30)))
                << r.row << ": no \"" << r.log << "\"";
        }
    }
}

}  // namespace
