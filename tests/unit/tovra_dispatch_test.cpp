// The lighting service's dispatch: which handlers an item reaches by its
// topic, and a received message of several items handled item by item.
// Publishes are captured at the publishers' sink; the queues are the real ones.
#include <cJSON.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "event_publish_capture.h"
#include "local_mqtt_pack.h"
#include "tovra_dispatch.h"
#include "tovra_queue.h"

using namespace publish_test;

namespace {

// A sibling's event item: {"mac","sub","mid","plaintext":{cols,dat}} sealed
// with the host's random key, as the key service sends "/key".
std::string key_item(const char *value) {
    const std::string body = std::string("{\"mac\":\"") + kHostMac +
                             "\",\"sub\":\"\",\"mid\":\"\",\"plaintext\":{\"cols\":[\"key\"],\"dat\":[\"" + value +
                             "\"]}}";
    return sibling_item(body);
}

class TovraDispatch : public ::testing::Test {
  protected:
    void SetUp() override { tovra_queue_reset(); }
    void TearDown() override { tovra_queue_reset(); }
    PublishCapture capture_;
};

// Every key that begins the topic gets the item; a topic no key begins, or
// none at all, is refused. The deleted-device key matches the app's topics.
TEST_F(TovraDispatch, ItemsReachTheHandlersWhoseKeyBeginsTheTopic) {
    struct Case {
        const char *topic;
        int rc;
    } cases[] = {
        {"/jsonRequest/HOME000000000001/02b100000011", 0},
        {"deletedev8app/02b100000011", 0},
        {"scene/set/7", 0},
        {"scene/broadcast", 0},
        {"tovra/check", 0},
        {"device/bind", 0},
        {"/online", -1},
        {"jsonRequest/x", -1},
        {"", -1},
        {nullptr, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.topic ? c.topic : "(null)");
        EXPECT_EQ(c.rc, tovra_event_dispatch_handle(c.topic, "{}"));
    }
}

// One message of three items and an answer: each item is handled in turn
// (the pairing key queues the module's pairing each time), the answer is not.
TEST_F(TovraDispatch, AMessageOfSeveralItemsIsHandledItemByItem) {
    const std::string message = key_item("matching") + key_item("matching") + R"({"r":200,"pack":"x"})" +
                                key_item("matching");
    ASSERT_EQ(0u, tovra_evnt_msg_count());
    tovra_env_receiver("/key", message.c_str());
    ASSERT_EQ(1u, tovra_evnt_msg_count());
    EXPECT_TRUE(tovra_evnt_msg_handle_one());
    EXPECT_FALSE(tovra_evnt_msg_handle_one());
    EXPECT_EQ(3, tovra_queue_count(TOVRA_QUEUE_MAIN));
    // Each start of pairing is reported on "/tovra/pair".
    int pair_events = 0;
    for (const std::string &t : PublishCapture::topics()) pair_events += t == "/tovra/pair";
    EXPECT_EQ(3, pair_events);
}

// The idle service thread waits for a message rather than sleeping: a
// message received wakes it, and with nothing received the wait ends empty.
TEST_F(TovraDispatch, AWaitingServiceWakesWhenAMessageArrives) {
    EXPECT_FALSE(tovra_evnt_msg_wait(1));
    std::future<bool> woke = std::async(std::launch::async, [] { return tovra_evnt_msg_wait(600000); });
    tovra_env_receiver("tovra/check", R"({"r":200})");
    ASSERT_EQ(std::future_status::ready, woke.wait_for(std::chrono::seconds(30)));
    EXPECT_TRUE(woke.get());
    EXPECT_TRUE(tovra_evnt_msg_wait(600000));  // one waits: no wait at all
    EXPECT_TRUE(tovra_evnt_msg_handle_one());
    EXPECT_FALSE(tovra_evnt_msg_wait(1));
}

// Items that are not the key service's: another key, another value, a pack
// sealed with another key, no pack. None queues anything.
TEST_F(TovraDispatch, KeyItemsThatAreNotAPairingPressQueueNothing) {
    std::string sealed_elsewhere = key_item("matching");
    const size_t at = sealed_elsewhere.find("\"pack\":\"") + 8;
    sealed_elsewhere[at] = sealed_elsewhere[at] == 'A' ? 'B' : 'A';
    for (const std::string &item : {key_item("press"), sealed_elsewhere, std::string(R"({"i":0})"),
                                    std::string("not json")}) {
        SCOPED_TRACE(item);
        tovra_event_dispatch_handle("/key", item.c_str());
        EXPECT_EQ(0, tovra_queue_count(TOVRA_QUEUE_MAIN));
    }
}

}  // namespace
