#include "local_mqtt_list.h"

#include <algorithm>
#include <chrono>

local_pub_list::local_pub_list(size_t control_max, size_t status_max, unsigned equal_len_gap_ms)
    : max_{control_max ? control_max : 1, status_max ? status_max : 1}, gap_ms_(equal_len_gap_ms) {}

int local_pub_list::list_of(const std::string &topic) {
    return topic.find("jsonStatus") != std::string::npos ? LOCAL_PUB_LIST_STATUS : LOCAL_PUB_LIST_CONTROL;
}

void local_pub_list::unlink(topic_q &t) {
    if (!t.linked) return;
    heads_[t.list].erase({t.linked_seq, &t});
    ready_[t.list].erase({t.linked_seq, &t});
    t.linked = false;
}

void local_pub_list::link(topic_q &t) {
    if (t.q.empty()) return;
    t.linked_seq = t.q.front().first;
    t.linked = true;
    heads_[t.list].insert({t.linked_seq, &t});
    if (!t.busy) ready_[t.list].insert({t.linked_seq, &t});
}

void local_pub_list::settle(topic_q &t) {
    unlink(t);
    if (t.q.empty() && !t.busy) {
        std::string name = std::move(t.name);
        topics_.erase(name);
        return;
    }
    link(t);
}

void local_pub_list::changed() {
    ++version_;
    cv_.signal_all();
}

local_pub_drop_t local_pub_list::push(local_pub_msg_t msg) {
    local_pub_drop_t drop;
    const int list = list_of(msg.topic);
    orvi::MutexLock lk(m_);
    if (count_[list] >= max_[list] && !heads_[list].empty()) {
        topic_q &old = *heads_[list].begin()->second;
        unlink(old);
        drop.dropped = true;
        drop.list = list;
        drop.msg = std::move(old.q.front().second);
        old.q.pop_front();
        --count_[list];
        settle(old);
    }
    auto it = topics_.find(msg.topic);
    if (it == topics_.end()) {
        it = topics_.emplace(msg.topic, topic_q()).first;
        it->second.name = msg.topic;
        it->second.list = list;
    }
    topic_q &t = it->second;
    t.q.emplace_back(++seq_, std::move(msg));
    ++count_[list];
    if (t.q.size() == 1) settle(t);
    changed();
    return drop;
}

bool local_pub_list::take(local_pub_worker_t &w, uint64_t now_ms, local_pub_msg_t &out, uint64_t *retry_ms) {
    uint64_t retry = 0;
    orvi::MutexLock lk(m_);
    for (int list : {LOCAL_PUB_LIST_CONTROL, LOCAL_PUB_LIST_STATUS}) {
        for (const auto &entry : ready_[list]) {
            topic_q &t = *entry.second;
            const local_pub_msg_t &head = t.q.front().second;
            if (head.payload.size() == w.last_len && now_ms < w.last_ms + gap_ms_) {
                uint64_t at = w.last_ms + gap_ms_;
                if (retry == 0 || at < retry) retry = at;
                continue;
            }
            unlink(t);
            out = std::move(t.q.front().second);
            t.q.pop_front();
            --count_[list];
            t.busy = true;
            ++busy_;
            link(t);
            w.last_len = out.payload.size();
            w.last_ms = now_ms;
            changed();
            if (retry_ms) *retry_ms = 0;
            return true;
        }
    }
    if (retry_ms) *retry_ms = retry;
    return false;
}

void local_pub_list::done(const std::string &topic) {
    orvi::MutexLock lk(m_);
    auto it = topics_.find(topic);
    if (it == topics_.end() || !it->second.busy) return;
    it->second.busy = false;
    --busy_;
    settle(it->second);
    changed();
}

uint64_t local_pub_list::version() const {
    orvi::MutexLock lk(m_);
    return version_;
}

void local_pub_list::wait_change(uint64_t seen, unsigned timeout_ms) {
    orvi::MutexLock lk(m_);
    cv_.wait_ms(m_, timeout_ms, [&]() REQUIRES(m_) { return version_ != seen; });
}

bool local_pub_list::wait_idle(unsigned timeout_ms) {
    orvi::MutexLock lk(m_);
    return cv_.wait_ms(m_, timeout_ms, [&]() REQUIRES(m_) { return count_[0] == 0 && count_[1] == 0 && busy_ == 0; });
}

void local_pub_list::wake_all() {
    orvi::MutexLock lk(m_);
    changed();
}

size_t local_pub_list::size(int list) const {
    orvi::MutexLock lk(m_);
    return list == LOCAL_PUB_LIST_STATUS ? count_[1] : count_[0];
}

size_t local_pub_list::in_flight() const {
    orvi::MutexLock lk(m_);
    return busy_;
}

std::vector<local_pub_msg_t> local_pub_list::snapshot(int list) const {
    orvi::MutexLock lk(m_);
    std::vector<std::pair<uint64_t, const local_pub_msg_t *>> all;
    for (const auto &kv : topics_) {
        if (kv.second.list != list) continue;
        for (const auto &e : kv.second.q)
            all.emplace_back(e.first, &e.second);
    }
    std::sort(all.begin(), all.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<local_pub_msg_t> out;
    out.reserve(all.size());
    for (const auto &e : all)
        out.push_back(*e.second);
    return out;
}

void local_pub_list::clear() {
    orvi::MutexLock lk(m_);
    for (auto it = topics_.begin(); it != topics_.end();) {
        topic_q &t = it->second;
        unlink(t);
        t.q.clear();
        if (t.busy) {
            ++it;
        } else {
            it = topics_.erase(it);
        }
    }
    count_[0] = count_[1] = 0;
    changed();
}

bool local_topic_match(const std::string &filter, const std::string &topic) {
    const size_t hash = filter.find('#');
    const std::string pat = hash == std::string::npos ? filter : filter.substr(0, hash);
    size_t t = 0;
    for (size_t f = 0; f < pat.size(); ++f) {
        if (pat[f] == '+' && (f == 0 || pat[f - 1] == '/')) {
            while (t < topic.size() && topic[t] != '/')
                ++t;
            continue;
        }
        if (t >= topic.size() || topic[t] != pat[f]) return false;
        ++t;
    }
    return hash != std::string::npos || t == topic.size();
}
