// The local MQTT event transport onto the board's broker (127.0.0.1:1883):
// the pool of ten publisher threads draining the control and status lists,
// the two kinds of subscription and the configuration reader. Any thread may
// publish or subscribe; the pool, one delivery thread, one thread per
// second-kind client and the client library's threads do the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "local_mqtt_list.h"
#include "local_mqtt_pack.h"
#include "orvi_types.h"
#include "product_subdev.h"

#define LOCAL_MQTT_SERVER_URI "tcp://127.0.0.1:1883"
// Credentials used when the configuration file lacks "mqttUser" / "mqttPsw".
#define LOCAL_MQTT_DEFAULT_USER "test"
#define LOCAL_MQTT_DEFAULT_PSW "dv6789"
// Longest topic published; a longer one is refused, never cut (a cut topic
// is another topic).
#define LOCAL_MQTT_TOPIC_MAX 64
#define LOCAL_PUB_POOL_SIZE 10
// Bounds of the outbound lists while the broker cannot be reached.
#define LOCAL_PUB_CONTROL_MAX 2000
#define LOCAL_PUB_STATUS_MAX 2000
// Pause between two messages of equal length on one publisher.
#define LOCAL_PUB_EQUAL_LEN_GAP_MS 50

// Callback of both kinds of subscription: topic and payload as
// zero-terminated texts, valid during the call only. First kind: runs on the
// client library's thread, which all local clients share; second kind: runs
// on its client's delivery thread. Either way: copy, queue the work, return.
typedef void (*local_mqtt_cb_t)(const char *topic, const char *payload);

// Reads `key` from the first 2,048 bytes of the configuration file
// "/data/domivault/data/orvi_params.json". kind TYPE_STRING (0): the text,
// refused (-1) when it does not fit `size` bytes with its terminator;
// TYPE_NUMBER (1): an int (`size` >= sizeof(int)). -1 when the file is
// missing or not JSON, the key is missing or of the other type.
int get_data_from_config(const char *key, void *value, size_t size, int kind);

// Start-up of the transport: loads the host random key and the credentials,
// starts the delivery thread and the publisher pool. Once per process.
int local_mqtt_service(void);
// Queues a copy of `message` (at most `length` bytes, up to its first zero
// byte) for `topic`. 0, or -1 when the topic is missing, empty or longer
// than LOCAL_MQTT_TOPIC_MAX, or the message is missing. A full list drops
// its oldest message (logged) to take the new one.
int mqtt_event_publish(const char *topic, const char *message, size_t length, int retain);
// Removes the retained message of `topic`: an empty retained publish, queued
// behind every earlier message of that topic.
int delete_mqtt_retain(const char *topic);
// The writer of the local event channel (SOCKET_CONNECT_TYPE_UDS,
// orvi_transport.h): publishes on to->topic, the host's topic "/host" when it
// names none. 0, or -1 ("local_mqtt_event_publish is fail!").
int local_mqtt_channel_write(const char *data, size_t size, const dev_socket_t *to,
                             const orvi_subdev_ptr &dev);

// First kind: subscribes `topics` (QoS 2) for the subscriber `clientid`,
// created and connected on first use and reused by later calls with the same
// name (a later call's callback is ignored). Blocks until the broker
// confirmed the subscription; returns `count`. -1 for a missing name,
// callback or topic list, or before local_mqtt_service. After every reconnection the subscriber subscribes
// all its topics again by itself.
int local_sub_topic_3(const char *clientid, const char *const *topics, int count, local_mqtt_cb_t callback);
// Second kind: maps `topic` to `callback` on the client `clientid`
// (created on first use with its own delivery thread) and subscribes it
// (QoS 2) unless already mapped. A message is offered to the maps of the
// client that received it only. 0, or -1 for missing arguments or before
// local_mqtt_service.
int mqtt_local_event_subscribe(const char *clientid, const char *topic, local_mqtt_cb_t callback);

// The host random key ("randomkey") as loaded at start; empty until present.
std::string local_mqtt_host_randomkey(void);

// ---- Hooks for tests, the board tools and the benchmark. The daemon never
// calls these.

// Before local_mqtt_service: another broker (a private one of a bench or a
// test), another client-id prefix for the pool ("LocalPub"; a tool on the
// board must not take the daemon's ids), another pool size (1..10).
void local_mqtt_set_server_uri(const char *uri);
void local_mqtt_set_pub_prefix(const char *prefix);
void local_mqtt_set_pool_size(int n);
// Queued messages of LOCAL_PUB_LIST_CONTROL or LOCAL_PUB_LIST_STATUS, oldest
// first (what a unit test checks a publisher queued); clearing drops them.
std::vector<local_pub_msg_t> local_mqtt_pending(int list);
void local_mqtt_pending_clear(void);
// Waits until nothing is queued or in flight. 0, or -1 on time-out.
int local_mqtt_flush(unsigned timeout_ms);
// Called on a publisher thread after each publish: rc 0 when the broker
// completed it, else the failure (the message was dropped).
typedef void (*local_mqtt_observer_t)(const local_pub_msg_t &msg, int rc);
void local_mqtt_set_publish_observer(local_mqtt_observer_t observer);
struct local_mqtt_stats_t {
    uint64_t published = 0;
    uint64_t failed = 0;
    uint64_t dropped[2] = {0, 0};  // by list, to stay within the bounds
};
local_mqtt_stats_t local_mqtt_stats(void);
// Number of first-kind subscribers and second-kind clients created so far.
int local_mqtt_subscriber_count(void);
int local_mqtt_client_count(void);
// Stops every thread, destroys every client and empties every list, so that
// local_mqtt_service may run again (tests, benchmark).
void local_mqtt_shutdown(void);
