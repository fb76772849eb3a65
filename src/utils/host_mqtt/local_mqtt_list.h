// The outbound lists of the local MQTT transport (control and status
// messages waiting for a publisher of the pool) and the topic matching of the
// second kind of subscription. Any thread pushes; the publisher threads take.
// Internally locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "orvi_lock_order.h"

enum { LOCAL_PUB_LIST_CONTROL = 0, LOCAL_PUB_LIST_STATUS = 1 };

// One outbound message (`local_pub_msg_t`): the topic whole, the payload as
// queued, the retain flag of its publish.
struct local_pub_msg_t {
    std::string topic;
    std::string payload;
    int isretain = 0;
};

// What a push dropped to stay within its list's bound.
struct local_pub_drop_t {
    bool dropped = false;
    int list = LOCAL_PUB_LIST_CONTROL;
    local_pub_msg_t msg;
};

// A publisher thread's memory of its previous message, for the pause before
// a message of the same length.
struct local_pub_worker_t {
    size_t last_len = SIZE_MAX;
    uint64_t last_ms = 0;
};

// Two bounded FIFO lists, control ahead of status. A topic has at most one
// message in flight: its next message waits until done() is called for it,
// so messages of one topic reach the broker in the order they were queued
// whichever publisher takes them (a retained value and its later deletion
// included). A push into a full list drops that list's oldest message, so a
// status message never pushes out a control message.
class local_pub_list {
  public:
    local_pub_list(size_t control_max, size_t status_max, unsigned equal_len_gap_ms);
    local_pub_list(const local_pub_list &) = delete;
    local_pub_list &operator=(const local_pub_list &) = delete;

    // The list a topic belongs to: status when it contains "jsonStatus".
    static int list_of(const std::string &topic);

    local_pub_drop_t push(local_pub_msg_t msg);
    // The oldest message `w` may publish at `now_ms`: control first; topics
    // with a message in flight are skipped, and so is a message whose length
    // equals w's previous one until `equal_len_gap_ms` after it. Marks the
    // topic busy and updates `w`. False when there is none; `*retry_ms` then
    // holds when a skipped message becomes eligible for `w` (0: only a push
    // or done() can help).
    bool take(local_pub_worker_t &w, uint64_t now_ms, local_pub_msg_t &out, uint64_t *retry_ms);
    // The message of `topic` taken last is finished (published or dropped).
    void done(const std::string &topic);

    // Changes (push, take, done, clear) bump the version; wait_change
    // returns once it differs from `seen` or after `timeout_ms`.
    uint64_t version() const;
    void wait_change(uint64_t seen, unsigned timeout_ms);
    // Waits until nothing is queued or in flight. False on time-out.
    bool wait_idle(unsigned timeout_ms);
    void wake_all();

    size_t size(int list) const;
    size_t in_flight() const;
    std::vector<local_pub_msg_t> snapshot(int list) const;
    // Drops every queued message (messages in flight stay busy until done()).
    void clear();

  private:
    struct topic_q {
        std::string name;
        int list = LOCAL_PUB_LIST_CONTROL;
        bool busy = false;
        bool linked = false;
        uint64_t linked_seq = 0;
        std::deque<std::pair<uint64_t, local_pub_msg_t>> q;
    };
    using head_set = std::set<std::pair<uint64_t, topic_q *>>;

    void unlink(topic_q &t) REQUIRES(m_);
    void link(topic_q &t) REQUIRES(m_);
    void settle(topic_q &t) REQUIRES(m_);  // relink, and forget an idle empty topic
    void changed() REQUIRES(m_);

    const size_t max_[2];
    const unsigned gap_ms_;
    // Taken last: producers and publisher threads hold no other lock of
    // the transport's while they use the list.
    mutable orvi::Mutex m_ ORVI_LEAF_LOCK;
    orvi::CondVar cv_;
    std::unordered_map<std::string, topic_q> topics_ GUARDED_BY(m_);
    head_set heads_[2] GUARDED_BY(m_);  // the oldest queued message of every topic
    head_set ready_[2] GUARDED_BY(m_);  // the same for topics with nothing in flight
    size_t count_[2] GUARDED_BY(m_) = {0, 0};
    size_t busy_ GUARDED_BY(m_) = 0;
    uint64_t seq_ GUARDED_BY(m_) = 0;
    uint64_t version_ GUARDED_BY(m_) = 0;
};

// Topic matching of the second kind of subscription: a filter holding "#"
// matches every topic that begins with the text before the "#"; a "+" level
// matches one whole level; any other filter must equal the topic.
bool local_topic_match(const std::string &filter, const std::string &topic);
