// The pieces the cloud MQTT link is made of, each usable on its own: the
// two prioritised publish queues, the dispatch exchange, the receive-side
// handling of cloud messages, the status re-keying for the cloud, and the
// client that keeps the connection. The service (cloud_mqtt_service.cpp)
// assembles one of each for the daemon; tests and the benchmark assemble
// their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "orvi_thread_annotations.h"

// Longest topic the link carries (the record's 64-character field).
#define CLOUD_TOPIC_MAX 63
// Longest cloud payload taken in (the receive record's 1984-character field).
#define CLOUD_RX_PAYLOAD_MAX 1983
// Bound of the subdevice status queue.
#define CLOUD_STATUS_QUEUE_MAX 5000
// Bound of the receive queue: the receive thread is 10 ms a message, a
// flooding cloud must not grow the host without end.
#define CLOUD_RX_QUEUE_MAX 1000
// Longest dispatch reply read.
#define CLOUD_DIS_REPLY_MAX 1024

// ---- Publish queues -------------------------------------------------------------

typedef struct mqtt_pub_msg_s {
    std::string topic;
    int qos = 0;
    int retain_flag = 0;
    std::string payload;
} mqtt_pub_msg_t;

enum { CLOUD_PUB_CONTROL = 0, CLOUD_PUB_STATUS = 1 };

// The control queue (replies, the host's own status) and the status queue
// (subdevice statuses: only the latest per topic waits, at most
// CLOUD_STATUS_QUEUE_MAX). Any thread.
class cloud_pub_queues {
  public:
    // True for a subdevice status topic of the home `home_mac`: it contains
    // "jsonStatus" and is not a prefix of the host's own "jsonStatus/<home>".
    static bool is_status(const std::string &topic, const std::string &home_mac);
    // Queues `m` by the rules above; logs what a full status queue drops.
    void push(mqtt_pub_msg_t m, const std::string &home_mac) EXCLUDES(mu_);
    // The next message to send, control first. False when both are empty.
    bool take(mqtt_pub_msg_t &out) EXCLUDES(mu_);
    size_t size(int which) const EXCLUDES(mu_);
    std::vector<mqtt_pub_msg_t> pending(int which) const EXCLUDES(mu_);
    void clear() EXCLUDES(mu_);

  private:
    mutable orvi::Mutex mu_;
    std::deque<mqtt_pub_msg_t> control_ GUARDED_BY(mu_);
    std::list<mqtt_pub_msg_t> status_ GUARDED_BY(mu_);
    std::unordered_map<std::string, std::list<mqtt_pub_msg_t>::iterator> by_topic_ GUARDED_BY(mu_);
};

// Builds the queued record: topic and payload copied (the payload up to its
// first zero byte within `length`), QoS clamped into 0..2, retained only for
// retain 1. -1 when topic or payload is missing, the length is 0, or the
// topic is empty or longer than CLOUD_TOPIC_MAX.
int cloud_pub_msg_make(const char *topic, int qos, int retain, const char *payload, size_t length,
                       mqtt_pub_msg_t *out);

// ---- Dispatch exchange ------------------------------------------------------------

// The broker parameters. Every field is filled whole or refused, never cut.
typedef struct MQTT_Info_s {
    char host[31];      // "tcp://<IPv4>:<port>"
    char port[6];       // decimal text, 1..65535
    char username[31];
    char password[31];
} MQTT_Info_t;

// What the dispatch reply says.
typedef struct cloud_dis_info_s {
    std::string broker_host;
    int broker_port = 0;
    std::string username;
    std::string password;
    std::string nlu_host;
    int nlu_port = 0;
} cloud_dis_info_t;

// The request line: {"t":"dis","mac":...,"needMqtt":1,"nlu":1} and "\n".
std::string cloud_dis_request(const std::string &mac, int need_mqtt, int need_nlu);
// Queries the dispatch server at `address` (IPv4 dotted) and `port`: three
// connection attempts 1 s apart, then the request line, then the reply read
// until it is one complete JSON text, the server closes, CLOUD_DIS_REPLY_MAX
// bytes arrived or 5 s pass without data. 0 with the reply (possibly empty:
// a silent server) in `reply`, -1 when no connection could be made.
int Connet_disServes(const char *address, uint16_t port, const char *mac, int need_mqtt, int need_nlu,
                     std::string &reply);
// Opens the reply: "pack" decrypted with `default_key`, "mqttInfo" read.
// 0, or -1 (logged) for anything missing, of the wrong type or out of range.
int cloud_dis_reply_parse(const std::string &reply, const std::string &default_key, cloud_dis_info_t *out);
// Fills `info` from the broker's IPv4 address and the reply. 0, or -1
// (logged) when a value does not fit its field.
int cloud_mqtt_info_fill(const std::string &ipv4, const cloud_dis_info_t &dis, MQTT_Info_t *info);
// First IPv4 address of `name` (a dotted address stands for itself), after
// reloading the resolver configuration. Empty when it does not resolve.
std::string cloud_resolve_ipv4(const std::string &name);

// ---- Receiving --------------------------------------------------------------------

// True for a time text the clock setter takes: "YYYY-MM-DD hh:mm:ss", every
// field in its range, nothing before or after.
bool cloud_time_text_ok(const char *text);
// Handles one cloud message from the receive queue (requests, "time",
// "airManageDevice", "thirdRoomMap"); logs and drops what it cannot use.
void cloud_rx_handle(const std::string &topic, const std::string &payload);
// The relay of a "firmware" message to the local bus, unchanged.
void cloud_rx_firmware(const std::string &topic, const std::string &payload);

// ---- Status relay -------------------------------------------------------------------

// Turns a local status package received on `topic` ("/jsonStatus/..." or
// "/fakeStatus/...") into the cloud's: its topic and the package re-keyed
// with the home key. 0, or -1 (logged) when it is not to be relayed.
int cloud_status_rekey(const char *topic, const char *payload, std::string &cloud_topic,
                       std::string &package);

// ---- The client -----------------------------------------------------------------------

// What the client asks of its owner. Every member is set.
typedef struct cloud_mqtt_hooks_s {
    // Fetches the broker parameters; may block for as long as it takes
    // (the dispatch server is retried for ever). 0, or -1 to be asked again.
    std::function<int(MQTT_Info_t *info)> params;
    // The home MAC the link serves now (16 characters once provisioned).
    std::function<std::string()> home_mac;
    // The host identifier (its characters 11 to 16 end the client id).
    std::function<std::string()> host_mac;
    // The link came up (1) or went down (0); once per change.
    std::function<void(int connected)> state;
    // A cloud message, on the receive thread (firmware: on the client
    // library's thread, at once). Topic and payload are owned copies.
    std::function<void(const std::string &topic, const std::string &payload)> message;
    std::function<void(const std::string &topic, const std::string &payload)> firmware;
} cloud_mqtt_hooks_t;

class cloud_mqtt_client;

// One cloud connection with its monitor, publisher and receive threads.
// start() once; the destructor stops every thread and destroys the client.
// Any thread may publish, subscribe or ask for a disconnect.
class cloud_mqtt_link {
  public:
    explicit cloud_mqtt_link(cloud_mqtt_hooks_t hooks);
    ~cloud_mqtt_link();
    cloud_mqtt_link(const cloud_mqtt_link &) = delete;
    cloud_mqtt_link &operator=(const cloud_mqtt_link &) = delete;

    int start();
    // mqtt_publish_api: queues one message for the cloud.
    int publish(const char *topic, int qos, int retain, const char *payload, size_t length);
    // cloud_sub_topic: the topics are kept and subscribed (QoS 1) on this
    // connection and on every later one. 0, or -1 for a bad list.
    int subscribe(const char *const *topics, int count);
    // cloud_mqtt_disconnect: the link is taken down by its monitor and
    // built again (fresh parameters, the current home MAC).
    void disconnect();
    // True while the four topics are subscribed on a live connection.
    bool up() const;
    cloud_pub_queues &queues();

  private:
    std::unique_ptr<cloud_mqtt_client> c_;
};

// The client id: the home MAC, "-", the host MAC's six characters from its
// eleventh on; at most 63 characters.
std::string get_mqtt_client_id(const std::string &home_mac, const std::string &host_mac);
