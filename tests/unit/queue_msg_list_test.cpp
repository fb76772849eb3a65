#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "queue_msg_list.h"

namespace {

std::string text_of(const std::vector<char> &v) {
    return std::string(v.data(), v.size());
}

class MsgList : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(0, queueMsgListInit(&list)); }
    void TearDown() override { clearQueueMsgList(&list); }
    // Pops every element from the head, as the text each holds.
    std::vector<std::string> drain() {
        std::vector<std::string> out;
        std::vector<char> v;
        testing::internal::CaptureStdout();
        while (getTheQueMsgInList(&list, v) == 0)
            out.emplace_back(v.data());
        testing::internal::GetCapturedStdout();
        return out;
    }
    queue_msg_list list;
};

TEST_F(MsgList, InsertsAtBothEndsAndKeepsOrder) {
    ASSERT_EQ(0, insertQueMsgNodeToList(&list, "b"));
    ASSERT_EQ(0, insertQueMsgNodeToListHead(&list, "a"));
    ASSERT_EQ(0, insertQueMsgLengToList(&list, "cXX", 1));
    ASSERT_EQ(0, insertQueMsgLengToListHead(&list, "0", 1));
    EXPECT_EQ(4, getTheQueMsgNodeNumInList(&list));
    EXPECT_EQ((std::vector<std::string>{"0", "a", "b", "c"}), drain());
}

TEST_F(MsgList, LengthCountsTheTerminatorOrTheAddedZero) {
    struct Case {
        std::function<int()> insert;
        int64_t length;
        std::string bytes;
    } cases[] = {
        {[this] { return insertQueMsgNodeToList(&list, "abc"); }, 4, std::string("abc\0", 4)},
        {[this] { return insertQueMsgNodeToList(&list, ""); }, 1, std::string("\0", 1)},
        {[this] { return insertQueMsgLengToList(&list, "ab\0cd", 5); }, 6, std::string("ab\0cd\0", 6)},
        {[this] { return insertQueMsgLengToListHead(&list, "xyz", 2); }, 3, std::string("xy\0", 3)},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.bytes);
        ASSERT_EQ(0, c.insert());
        EXPECT_EQ(c.length, getTheQueMsgNodeHeadDataLeng(&list));
        std::vector<char> v;
        ASSERT_EQ(0, getTheQueMsgInList(&list, v));
        EXPECT_EQ(c.bytes, text_of(v));
    }
}

TEST_F(MsgList, RemovingTheTailOfOneElementEmptiesTheList) {
    ASSERT_EQ(0, insertQueMsgNodeToList(&list, "only"));
    std::vector<char> v;
    ASSERT_EQ(0, getTheQueMsgInListTail(&list, v));
    EXPECT_STREQ("only", v.data());
    EXPECT_EQ(0, getTheQueMsgNodeNumInList(&list));
    EXPECT_EQ(0, getTheQueMsgNodeHeadDataLeng(&list));
    // Both ends are really gone: the list works from scratch again.
    ASSERT_EQ(0, insertQueMsgNodeToList(&list, "x"));
    ASSERT_EQ(0, insertQueMsgNodeToList(&list, "y"));
    ASSERT_EQ(0, getTheQueMsgInListTail(&list, v));
    EXPECT_STREQ("y", v.data());
    EXPECT_EQ((std::vector<std::string>{"x"}), drain());
}

TEST_F(MsgList, BoundedCopiesStopAtCapacityAndStillRemove) {
    ASSERT_EQ(0, insertQueMsgNodeToList(&list, "0123456789"));
    ASSERT_EQ(0, insertQueMsgNodeToList(&list, "tail-long-text"));
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    ASSERT_EQ(0, getTheQueMsgLengInList(&list, buf, 4));
    EXPECT_EQ("0123####", std::string(buf, sizeof buf));
    EXPECT_EQ(1, getTheQueMsgNodeNumInList(&list));

    std::memset(buf, '#', sizeof buf);
    ASSERT_EQ(0, getTheQueMsgLengInListTail(&list, buf, 5));
    EXPECT_EQ("tail-###", std::string(buf, sizeof buf));
    EXPECT_EQ(0, getTheQueMsgNodeNumInList(&list));

    // A short element copies only its own bytes.
    ASSERT_EQ(0, insertQueMsgNodeToList(&list, "ab"));
    std::memset(buf, '#', sizeof buf);
    ASSERT_EQ(0, getTheQueMsgLengInList(&list, buf, sizeof buf));
    EXPECT_EQ(std::string("ab\0#####", 8), std::string(buf, sizeof buf));
}

TEST_F(MsgList, ReadByIndexKeepsTheElement) {
    for (const char *t : {"zero", "one", "two"})
        ASSERT_EQ(0, insertQueMsgNodeToList(&list, t));
    char buf[16] = {0};
    ASSERT_EQ(0, readTheQueMsgLengInList(&list, buf, sizeof buf, 1));
    EXPECT_STREQ("one", buf);
    ASSERT_EQ(0, readTheQueMsgLengInList(&list, buf, sizeof buf, 2));
    EXPECT_STREQ("two", buf);
    EXPECT_EQ(3, getTheQueMsgNodeNumInList(&list));
    for (int index : {3, -1}) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(-1, readTheQueMsgLengInList(&list, buf, sizeof buf, index));
        EXPECT_EQ("the index [" + std::to_string(index) + "] is out of the range [3]!\n",
                  testing::internal::GetCapturedStdout());
    }
}

TEST_F(MsgList, MatchOperationsUseSubstringsAndKeepBothEnds) {
    for (const char *t : {"topic/a 1", "topic/b 2", "other 3", "topic/a 4"})
        ASSERT_EQ(0, insertQueMsgNodeToList(&list, t));
    std::vector<char> v;
    ASSERT_EQ(0, getMatchMsgInList(&list, "topic/a", v));
    EXPECT_STREQ("topic/a 1", v.data());
    EXPECT_EQ(-1, getMatchMsgInList(&list, "absent", v));

    // Removing the last element by match must leave the tail usable.
    ASSERT_EQ(0, deleteMatchMsgInList(&list, "topic/a"));
    ASSERT_EQ(0, insertQueMsgNodeToList(&list, "new tail"));
    EXPECT_EQ((std::vector<std::string>{"topic/b 2", "other 3", "new tail"}), drain());

    // Bytes after an embedded zero are searched too.
    ASSERT_EQ(0, insertQueMsgLengToList(&list, "bin\0key", 7));
    ASSERT_EQ(0, deleteMatchMsgInList(&list, "key"));
    EXPECT_EQ(0, getTheQueMsgNodeNumInList(&list));
}

TEST_F(MsgList, EmptyListAnswers) {
    std::vector<char> v;
    char buf[4];
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, deleteMatchMsgInList(&list, "x"));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    struct Case {
        const char *what;
        std::function<int()> op;
    } cases[] = {
        {"match", [&] { return getMatchMsgInList(&list, "x", v); }},
        {"head", [&] { return getTheQueMsgInList(&list, v); }},
        {"tail", [&] { return getTheQueMsgInListTail(&list, v); }},
        {"head bounded", [&] { return getTheQueMsgLengInList(&list, buf, sizeof buf); }},
        {"tail bounded", [&] { return getTheQueMsgLengInListTail(&list, buf, sizeof buf); }},
        {"read", [&] { return readTheQueMsgLengInList(&list, buf, sizeof buf, 0); }},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        testing::internal::CaptureStdout();
        EXPECT_EQ(-1, c.op());
        EXPECT_EQ("list is empty\n", testing::internal::GetCapturedStdout());
    }
    EXPECT_EQ(0, getTheQueMsgNodeHeadDataLeng(&list));
}

TEST_F(MsgList, BadArgumentsPrintTheirLine) {
    std::vector<char> v;
    char buf[4];
    ASSERT_EQ(0, insertQueMsgNodeToList(&list, "keep"));
    struct Case {
        const char *line;
        std::function<int()> op;
    } cases[] = {
        {"list is NULL\n", [&] { return insertQueMsgNodeToList(nullptr, "x"); }},
        {"list is NULL\n", [&] { return getTheQueMsgInList(nullptr, v); }},
        {"list is NULL\n", [&] { return getTheQueMsgNodeNumInList(nullptr); }},
        {"list is NULL\n", [&] { return static_cast<int>(getTheQueMsgNodeHeadDataLeng(nullptr)); }},
        {"list is NULL\n", [&] { return clearQueueMsgList(nullptr); }},
        {"list is NULL\n", [&] { return queueMsgListInit(nullptr); }},
        {"data is NULL\n", [&] { return insertQueMsgNodeToListHead(&list, nullptr); }},
        {"list or data or dlen is NULL\n", [&] { return insertQueMsgLengToList(nullptr, "x", 1); }},
        {"list or data or dlen is NULL\n", [&] { return insertQueMsgLengToList(&list, nullptr, 1); }},
        {"list or data or dlen is NULL\n", [&] { return insertQueMsgLengToListHead(&list, "x", 0); }},
        {"list or data or dlen is NULL\n", [&] { return insertQueMsgLengToListHead(&list, "x", -5); }},
        {"target buffer is error!\n", [&] { return getTheQueMsgLengInList(&list, nullptr, 4); }},
        {"target buffer is error!\n", [&] { return getTheQueMsgLengInListTail(&list, buf, 0); }},
        {"target buffer is error!\n", [&] { return readTheQueMsgLengInList(&list, buf, -1, 0); }},
        {"filter is NULL!\n", [&] { return getMatchMsgInList(&list, nullptr, v); }},
        {"filter is NULL!\n", [&] { return deleteMatchMsgInList(&list, nullptr); }},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.line);
        testing::internal::CaptureStdout();
        EXPECT_EQ(-1, c.op());
        EXPECT_EQ(c.line, testing::internal::GetCapturedStdout());
    }
    // None of the refusals touched the element.
    EXPECT_EQ((std::vector<std::string>{"keep"}), drain());
}

TEST_F(MsgList, ClearedListIsRefusedUntilInitialisedAgain) {
    ASSERT_EQ(0, insertQueMsgNodeToList(&list, "gone"));
    ASSERT_EQ(0, clearQueueMsgList(&list));
    EXPECT_EQ(0, getTheQueMsgNodeNumInList(&list));
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, insertQueMsgNodeToList(&list, "x"));
    EXPECT_EQ("list is not initialized\n", testing::internal::GetCapturedStdout());
    ASSERT_EQ(0, queueMsgListInit(&list));
    ASSERT_EQ(0, insertQueMsgNodeToList(&list, "x"));
    EXPECT_EQ((std::vector<std::string>{"x"}), drain());
}

TEST_F(MsgList, ProducersAndOneConsumerLoseNothing) {
    constexpr int kProducers = 4, kEach = 500;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([this, p] {
            for (int i = 0; i < kEach; ++i) {
                std::string t = std::to_string(p) + ":" + std::to_string(i);
                ASSERT_EQ(0, insertQueMsgNodeToList(&list, t.c_str()));
            }
        });
    int got = 0;
    std::vector<int> next(kProducers, 0);
    char buf[32];
    testing::internal::CaptureStdout();
    while (got < kProducers * kEach) {
        if (getTheQueMsgLengInList(&list, buf, sizeof buf) != 0) {
            std::this_thread::yield();
            continue;
        }
        int p = 0, i = 0;
        ASSERT_EQ(2, sscanf(buf, "%d:%d", &p, &i));
        EXPECT_EQ(next[p]++, i);  // each producer's order holds
        ++got;
    }
    testing::internal::GetCapturedStdout();
    for (auto &t : producers)
        t.join();
    EXPECT_EQ(0, getTheQueMsgNodeNumInList(&list));
}

}  // namespace
