// The cloud's publish queues. Status reports can arrive far faster than the
// cloud takes them: a subdevice's older status is worth nothing once a newer
// one waits, so the status queue keeps one message per topic, in the order
// of their latest arrival, and the index finds the one to replace at once.
#include <cstring>

#include "cloud_mqtt_parts.h"
#include "orvi_log.h"

bool cloud_pub_queues::is_status(const std::string &topic, const std::string &home_mac) {
    if (topic.find("jsonStatus") == std::string::npos) return false;
    const std::string own = "jsonStatus/" + home_mac;
    const bool prefix_of_own = topic.size() <= own.size() && own.compare(0, topic.size(), topic) == 0;
    return !prefix_of_own;
}

void cloud_pub_queues::push(mqtt_pub_msg_t m, const std::string &home_mac) {
    const bool status = is_status(m.topic, home_mac);
    orvi::MutexLock lk(mu_);
    if (!status) {
        control_.push_back(std::move(m));
        return;
    }
    auto same = by_topic_.find(m.topic);
    if (same != by_topic_.end()) {
        status_.erase(same->second);
        by_topic_.erase(same);
    } else if (status_.size() >= CLOUD_STATUS_QUEUE_MAX) {
        by_topic_.erase(status_.back().topic);
        status_.pop_back();
        ORVI_LOGW("status queue size more than 5000,last one is skipped");
    }
    status_.push_back(std::move(m));
    by_topic_[status_.back().topic] = std::prev(status_.end());
}

bool cloud_pub_queues::take(mqtt_pub_msg_t &out) {
    orvi::MutexLock lk(mu_);
    if (!control_.empty()) {
        out = std::move(control_.front());
        control_.pop_front();
        return true;
    }
    if (status_.empty()) return false;
    by_topic_.erase(status_.front().topic);
    out = std::move(status_.front());
    status_.pop_front();
    return true;
}

size_t cloud_pub_queues::size(int which) const {
    orvi::MutexLock lk(mu_);
    return which == CLOUD_PUB_CONTROL ? control_.size() : status_.size();
}

std::vector<mqtt_pub_msg_t> cloud_pub_queues::pending(int which) const {
    orvi::MutexLock lk(mu_);
    if (which == CLOUD_PUB_CONTROL) return {control_.begin(), control_.end()};
    return {status_.begin(), status_.end()};
}

void cloud_pub_queues::clear() {
    orvi::MutexLock lk(mu_);
    control_.clear();
    status_.clear();
    by_topic_.clear();
}

int cloud_pub_msg_make(const char *topic, int qos, int retain, const char *payload, size_t length,
                       mqtt_pub_msg_t *out) {
    if (!topic || !payload || length == 0 || !out) {
        ORVI_LOGW("mqtt_publish_api: topic or payload is missing");
        return -1;
    }
    const size_t tlen = strnlen(topic, CLOUD_TOPIC_MAX + 1);
    if (tlen == 0 || tlen > CLOUD_TOPIC_MAX) {
        ORVI_LOGW("mqtt_publish_api: topic empty or longer than %d characters, not published",
                  CLOUD_TOPIC_MAX);
        return -1;
    }
    out->topic.assign(topic, tlen);
    out->qos = qos > 2 ? 2 : (qos < 0 ? 0 : qos);
    out->retain_flag = retain == 1 ? 1 : 0;
    out->payload.assign(payload, strnlen(payload, length));
    return 0;
}
