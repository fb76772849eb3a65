// A locked FIFO/LIFO list of owned byte buffers (`queue_msg_list`, also
// known as `event_list_t`): producers on any thread copy a message in, the
// one thread that drains the list copies it out. Every operation is safe
// from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "orvi_lock_order.h"

// One element: an owned copy of the bytes. Its `length` is data.size(), and
// the last byte is always a zero, so data.data() is also a C string.
typedef struct queue_msg_s {
    std::vector<char> data;
} queue_msg;

// The lock is a plain mutex: no operation holds two list locks and none
// leaves a list locked on return, so no thread ever releases another's lock.
// The list must be initialised (queueMsgListInit) before use and again after
// clearQueueMsgList; until then every operation refuses it.
typedef struct queue_msg_list_s {
    orvi::Mutex lock ORVI_LEAF_LOCK;
    bool ready GUARDED_BY(lock) = false;
    std::deque<queue_msg> msgs GUARDED_BY(lock);  // front: head, back: last
} queue_msg_list;
typedef queue_msg_list event_list_t;

// All return 0 on success and -1 on failure unless said otherwise. Failures
// print one plain line ("list is NULL", "data is NULL", "list is empty",
// "list or data or dlen is NULL", "target buffer is error!", "filter is
// NULL!", "the index [%d] is out of the range [%d]!", "list is not
// initialized").

// Empties the list (freeing what it held) and makes it usable.
int queueMsgListInit(queue_msg_list *list);
// Appends / prepends a copy of a zero-terminated text, terminator included.
int insertQueMsgNodeToList(queue_msg_list *list, const char *text);
int insertQueMsgNodeToListHead(queue_msg_list *list, const char *text);
// Appends / prepends a copy of `count` bytes followed by one zero byte
// (the element's length is count + 1).
int insertQueMsgLengToList(queue_msg_list *list, const void *bytes, int64_t count);
int insertQueMsgLengToListHead(queue_msg_list *list, const void *bytes, int64_t count);

// Whole copies: the element's bytes replace the contents of `dst`, which
// always fits them. Remove the head / the last element.
int getTheQueMsgInList(queue_msg_list *list, std::vector<char> &dst);
int getTheQueMsgInListTail(queue_msg_list *list, std::vector<char> &dst);
// Bounded copies: at most `capacity` bytes into `dst`; the element is
// removed even when it is longer (the rest is lost).
int getTheQueMsgLengInList(queue_msg_list *list, char *dst, int64_t capacity);
int getTheQueMsgLengInListTail(queue_msg_list *list, char *dst, int64_t capacity);
// Copies at most `capacity` bytes of element `index` (0: head), keeping it.
int readTheQueMsgLengInList(queue_msg_list *list, char *dst, int64_t capacity, int index);

// Removes the first element whose bytes contain `filter` and copies it out;
// -1 when none does.
int getMatchMsgInList(queue_msg_list *list, const char *filter, std::vector<char> &dst);
// Removes every element whose bytes contain `filter`; 0 also on an empty list.
int deleteMatchMsgInList(queue_msg_list *list, const char *filter);

// The element count; -1 for a null list.
int getTheQueMsgNodeNumInList(queue_msg_list *list);
// The head's length; 0 if empty, -1 for a null list.
int64_t getTheQueMsgNodeHeadDataLeng(queue_msg_list *list);

// Frees every element; the list must be initialised again before reuse.
int clearQueueMsgList(queue_msg_list *list);
