// Copies in are made before the lock is taken and copies out after it is
// released: the lock only covers moving an element in or out of the list.
#include "queue_msg_list.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "orvi_log.h"

namespace {

enum class End { Head, Tail };

bool list_ok(const queue_msg_list *list) {
    if (!list) {
        orvi_plain_write("list is NULL\n");
        return false;
    }
    return true;
}

bool ready_locked(const queue_msg_list *list) REQUIRES(list->lock) {
    if (!list->ready) {
        orvi_plain_write("list is not initialized\n");
        return false;
    }
    return true;
}

bool target_ok(const char *dst, int64_t capacity) {
    if (!dst || capacity <= 0) {
        orvi_plain_write("target buffer is error!\n");
        return false;
    }
    return true;
}

bool contains(const queue_msg &m, std::string_view filter) {
    return std::string_view(m.data.data(), m.data.size()).find(filter) != std::string_view::npos;
}

int insert(queue_msg_list *list, queue_msg &&m, End end) {
    orvi::MutexLock lk(list->lock);
    if (!ready_locked(list)) return -1;
    if (end == End::Tail)
        list->msgs.push_back(std::move(m));
    else
        list->msgs.push_front(std::move(m));
    return 0;
}

int insert_text(queue_msg_list *list, const char *text, End end) {
    if (!list_ok(list)) return -1;
    if (!text) {
        orvi_plain_write("data is NULL\n");
        return -1;
    }
    queue_msg m;
    m.data.assign(text, text + std::strlen(text) + 1);
    return insert(list, std::move(m), end);
}

int insert_bytes(queue_msg_list *list, const void *bytes, int64_t count, End end) {
    if (!list || !bytes || count <= 0) {
        orvi_plain_write("list or data or dlen is NULL\n");
        return -1;
    }
    const char *p = static_cast<const char *>(bytes);
    queue_msg m;
    m.data.reserve(static_cast<size_t>(count) + 1);
    m.data.assign(p, p + count);
    m.data.push_back('\0');
    return insert(list, std::move(m), end);
}

// Unlinks the element at `end` into `out`; the caller copies and frees it
// after the lock is gone.
int take(queue_msg_list *list, End end, queue_msg &out) {
    orvi::MutexLock lk(list->lock);
    if (!ready_locked(list)) return -1;
    if (list->msgs.empty()) {
        orvi_plain_write("list is empty\n");
        return -1;
    }
    if (end == End::Head) {
        out = std::move(list->msgs.front());
        list->msgs.pop_front();
    } else {
        out = std::move(list->msgs.back());
        list->msgs.pop_back();
    }
    return 0;
}

int get_whole(queue_msg_list *list, std::vector<char> &dst, End end) {
    if (!list_ok(list)) return -1;
    queue_msg m;
    if (take(list, end, m) != 0) return -1;
    dst = std::move(m.data);
    return 0;
}

int get_bounded(queue_msg_list *list, char *dst, int64_t capacity, End end) {
    if (!list_ok(list) || !target_ok(dst, capacity)) return -1;
    queue_msg m;
    if (take(list, end, m) != 0) return -1;
    std::memcpy(dst, m.data.data(), std::min(m.data.size(), static_cast<size_t>(capacity)));
    return 0;
}

// Empties the list under its lock; the elements are freed by the caller.
std::deque<queue_msg> drain(queue_msg_list *list, bool ready_after) {
    std::deque<queue_msg> old;
    orvi::MutexLock lk(list->lock);
    old.swap(list->msgs);
    list->ready = ready_after;
    return old;
}

}  // namespace

int queueMsgListInit(queue_msg_list *list) {
    if (!list_ok(list)) return -1;
    drain(list, true);
    return 0;
}

int insertQueMsgNodeToList(queue_msg_list *list, const char *text) {
    return insert_text(list, text, End::Tail);
}
int insertQueMsgNodeToListHead(queue_msg_list *list, const char *text) {
    return insert_text(list, text, End::Head);
}
int insertQueMsgLengToList(queue_msg_list *list, const void *bytes, int64_t count) {
    return insert_bytes(list, bytes, count, End::Tail);
}
int insertQueMsgLengToListHead(queue_msg_list *list, const void *bytes, int64_t count) {
    return insert_bytes(list, bytes, count, End::Head);
}

int getTheQueMsgInList(queue_msg_list *list, std::vector<char> &dst) {
    return get_whole(list, dst, End::Head);
}
int getTheQueMsgInListTail(queue_msg_list *list, std::vector<char> &dst) {
    return get_whole(list, dst, End::Tail);
}
int getTheQueMsgLengInList(queue_msg_list *list, char *dst, int64_t capacity) {
    return get_bounded(list, dst, capacity, End::Head);
}
int getTheQueMsgLengInListTail(queue_msg_list *list, char *dst, int64_t capacity) {
    return get_bounded(list, dst, capacity, End::Tail);
}

int readTheQueMsgLengInList(queue_msg_list *list, char *dst, int64_t capacity, int index) {
    if (!list_ok(list) || !target_ok(dst, capacity)) return -1;
    // The element stays in the list, so it is copied while the lock holds it.
    orvi::MutexLock lk(list->lock);
    if (!ready_locked(list)) return -1;
    const int num = static_cast<int>(list->msgs.size());
    if (num == 0) {
        orvi_plain_write("list is empty\n");
        return -1;
    }
    if (index < 0 || index >= num) {
        orvi_plain_write("the index [%d] is out of the range [%d]!\n", index, num);
        return -1;
    }
    const std::vector<char> &data = list->msgs[static_cast<size_t>(index)].data;
    std::memcpy(dst, data.data(), std::min(data.size(), static_cast<size_t>(capacity)));
    return 0;
}

int getMatchMsgInList(queue_msg_list *list, const char *filter, std::vector<char> &dst) {
    if (!list_ok(list)) return -1;
    if (!filter) {
        orvi_plain_write("filter is NULL!\n");
        return -1;
    }
    queue_msg m;
    {
        orvi::MutexLock lk(list->lock);
        if (!ready_locked(list)) return -1;
        if (list->msgs.empty()) {
            orvi_plain_write("list is empty\n");
            return -1;
        }
        auto it = std::find_if(list->msgs.begin(), list->msgs.end(),
                               [filter](const queue_msg &e) { return contains(e, filter); });
        if (it == list->msgs.end()) return -1;
        m = std::move(*it);
        list->msgs.erase(it);
    }
    dst = std::move(m.data);
    return 0;
}

int deleteMatchMsgInList(queue_msg_list *list, const char *filter) {
    if (!list_ok(list)) return -1;
    if (!filter) {
        orvi_plain_write("filter is NULL!\n");
        return -1;
    }
    std::deque<queue_msg> removed;
    {
        orvi::MutexLock lk(list->lock);
        if (!ready_locked(list)) return -1;
        std::deque<queue_msg> kept;
        for (auto &e : list->msgs)
            (contains(e, filter) ? removed : kept).push_back(std::move(e));
        list->msgs.swap(kept);
    }
    return 0;
}

int getTheQueMsgNodeNumInList(queue_msg_list *list) {
    if (!list_ok(list)) return -1;
    orvi::MutexLock lk(list->lock);
    return static_cast<int>(list->msgs.size());
}

int64_t getTheQueMsgNodeHeadDataLeng(queue_msg_list *list) {
    if (!list_ok(list)) return -1;
    orvi::MutexLock lk(list->lock);
    return list->msgs.empty() ? 0 : static_cast<int64_t>(list->msgs.front().data.size());
}

int clearQueueMsgList(queue_msg_list *list) {
    if (!list_ok(list)) return -1;
    drain(list, false);
    return 0;
}
