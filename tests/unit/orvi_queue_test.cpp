#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "orvi_port.h"
#include "orvi_queue.h"
#include "scratch_root.h"

namespace {

// Queues are kernel objects: every one a test creates is removed again.
struct QueueGuard {
    int id;
    explicit QueueGuard(int i) : id(i) {}
    ~QueueGuard() {
        if (id >= 0) orvi_queue_delete(id);
    }
};

orvi_msgbuf_t message(int64_t type, const std::string &text) {
    orvi_msgbuf_t m{};
    m.mtype = type;
    std::memcpy(m.mtext, text.data(), std::min(text.size(), sizeof m.mtext));
    return m;
}

TEST(Queue, InitRemovesKeyDirectoryAndRaisesTheLimit) {
    ScratchRoot root;
    ASSERT_EQ(
        0, system(("mkdir -p " + root.path("/tmp/queue/old") + " " + root.path("/proc/sys/kernel")).c_str()));
    testing::internal::CaptureStdout();
    orvi_queue_init();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(root.exists("/tmp/queue"));
    EXPECT_EQ("163840\n", root.read("/proc/sys/kernel/msgmnb"));
    EXPECT_NE(std::string::npos, out.find("echo 163840 > "));
}

TEST(Queue, InitWithoutPrivilegeLogsAndGoesOn) {
    ScratchRoot root;  // no /proc/sys/kernel under the scratch root: the write fails
    testing::internal::CaptureStdout();
    orvi_queue_init();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("kernel default"));
}

TEST(Queue, CreateMakesMissingDirectoryAndCarriesMessages) {
    ScratchRoot root;
    testing::internal::CaptureStdout();
    QueueGuard q(orvi_queue_create("/tmp/queue", 21));
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_GE(q.id, 0);
    EXPECT_NE(std::string::npos, out.find("'/tmp/queue' is not exist!"));
    EXPECT_NE(std::string::npos, out.find("/tmp/queue queue is success! queue_id : " + std::to_string(q.id)));
    struct stat st {};
    ASSERT_EQ(0, stat(root.path("/tmp/queue").c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777);

    // Two projects on one directory are two queues.
    QueueGuard other(orvi_queue_create("/tmp/queue", 22));
    ASSERT_GE(other.id, 0);
    EXPECT_NE(q.id, other.id);

    orvi_msgbuf_t in = message(7, "hello"), out_msg{};
    ASSERT_EQ(0, orvi_queue_send(q.id, &in, ORVI_QUEUE_MSG_SIZE, 0));
    ASSERT_EQ(ORVI_QUEUE_MSG_SIZE, orvi_queue_recv(q.id, &out_msg, ORVI_QUEUE_MSG_SIZE, 0));
    EXPECT_EQ(7, out_msg.mtype);
    EXPECT_STREQ("hello", out_msg.mtext);
    EXPECT_EQ(-1, orvi_queue_recv(other.id, &out_msg, ORVI_QUEUE_MSG_SIZE, IPC_NOWAIT));
}

TEST(Queue, RestartNeverReadsMessagesOfAnEarlierRun) {
    ScratchRoot root;
    int first = orvi_queue_create("/tmp/queue", 23);
    ASSERT_GE(first, 0);
    orvi_msgbuf_t stale = message(1, "stale");
    ASSERT_EQ(0, orvi_queue_send(first, &stale, ORVI_QUEUE_MSG_SIZE, 0));

    QueueGuard second(orvi_queue_create("/tmp/queue", 23));
    ASSERT_GE(second.id, 0);
    orvi_msgbuf_t got{};
    EXPECT_EQ(-1, orvi_queue_recv(second.id, &got, ORVI_QUEUE_MSG_SIZE, IPC_NOWAIT));
    EXPECT_EQ(ENOMSG, errno);
    // The earlier queue is gone, not merely hidden.
    struct msqid_ds ds {};
    EXPECT_NE(0, msgctl(first, IPC_STAT, &ds));
    EXPECT_FALSE(root.exists("/data/domivault/logs/top.log"));  // an empty queue is no failure
}

TEST(Queue, CreateRefusesUnusableDirectories) {
    ScratchRoot root;
    // The parent of the key directory is missing, so it cannot be created.
    EXPECT_EQ(-1, orvi_queue_create("/no/such/parent/queue", 1));
    if (geteuid() != 0) {
        ASSERT_EQ(0, mkdir(root.path("/tmp/locked").c_str(), 0));
        testing::internal::CaptureStdout();
        EXPECT_EQ(-1, orvi_queue_create("/tmp/locked", 1));
        EXPECT_NE(std::string::npos,
                  testing::internal::GetCapturedStdout().find("'/tmp/locked' has insufficient permissions!"));
    }
    EXPECT_EQ(-1, orvi_queue_create(nullptr, 1));
}

TEST(Queue, OversizedTextIsRefusedBeforeTheSystemCall) {
    ScratchRoot root;
    QueueGuard q(orvi_queue_create("/tmp/queue", 24));
    ASSERT_GE(q.id, 0);
    orvi_msgbuf_t m = message(1, "x");
    EXPECT_EQ(-1, orvi_queue_send(q.id, &m, ORVI_QUEUE_MSG_SIZE + 1, 0));
    EXPECT_EQ(-1, orvi_queue_recv(q.id, &m, ORVI_QUEUE_MSG_SIZE + 1, IPC_NOWAIT));
    EXPECT_EQ(-1, orvi_queue_send(q.id, nullptr, 1, 0));
}

TEST(Queue, FullQueueFailsAtOnceWithoutWait) {
    ScratchRoot root;
    QueueGuard q(orvi_queue_create("/tmp/queue", 25));
    ASSERT_GE(q.id, 0);
    orvi_msgbuf_t m = message(1, "fill");
    int sent = 0;
    testing::internal::CaptureStdout();
    while (sent < 100000 && orvi_queue_send(q.id, &m, ORVI_QUEUE_MSG_SIZE, IPC_NOWAIT) == 0)
        ++sent;
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, 100000);
    EXPECT_NE(std::string::npos,
              out.find("queue send is fail! The possible cause is that the queue is full"));
}

TEST(Queue, ReceiveOnUnsetIdSaysInitialisationIsIncomplete) {
    ScratchRoot root;
    orvi_msgbuf_t m{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, orvi_queue_recv(-1, &m, ORVI_QUEUE_MSG_SIZE, 0));
    EXPECT_NE(std::string::npos,
              testing::internal::GetCapturedStdout().find(
                  "orvi master control queue id is -1,maybe initialization is not complete"));
    EXPECT_FALSE(root.exists("/data/domivault/logs/top.log"));
}

TEST(Queue, ReceiveFailureRecordsTheMachineStateOnceAMinute) {
    ScratchRoot root;
    orvi_queue_diag_rearm();
    int gone = orvi_queue_create("/tmp/queue", 26);
    ASSERT_GE(gone, 0);
    ASSERT_EQ(0, orvi_queue_delete(gone));

    orvi_msgbuf_t m{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, orvi_queue_recv(gone, &m, ORVI_QUEUE_MSG_SIZE, 0));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("id " + std::to_string(gone) + " queue recv is fail!"));
    EXPECT_NE(std::string::npos, out.find("Error type: "));
    EXPECT_NE(std::string::npos, out.find("orvi_queue_recv failed,maybe the queue is error."));
    for (const char *f : {"/data/domivault/logs/top.log", "/data/domivault/logs/ipcs.log",
                          "/data/domivault/data/error.log", "/home/root/pid_status"}) {
        EXPECT_TRUE(root.exists(f)) << f;
    }
    EXPECT_NE(std::string::npos, root.read("/data/domivault/data/error.log").find("Error type: "));

    // A queue failing in a loop must not keep writing flash.
    const std::string top = root.read("/data/domivault/logs/top.log");
    const std::string err = root.read("/data/domivault/data/error.log");
    testing::internal::CaptureStdout();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(-1, orvi_queue_recv(gone, &m, ORVI_QUEUE_MSG_SIZE, IPC_NOWAIT));
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(top, root.read("/data/domivault/logs/top.log"));
    EXPECT_EQ(err, root.read("/data/domivault/data/error.log"));
    // A receive that does not wait does not claim the queue is broken.
    EXPECT_EQ(std::string::npos, out.find("maybe the queue is error"));
    orvi_queue_diag_rearm();
}

void on_signal(int) {}

TEST(Queue, InterruptedWaitIsResumed) {
    ScratchRoot root;
    orvi_queue_diag_rearm();
    QueueGuard q(orvi_queue_create("/tmp/queue", 27));
    ASSERT_GE(q.id, 0);
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_signal;  // no SA_RESTART: msgrcv returns EINTR
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(0, sigaction(SIGUSR1, &sa, &old));

    std::atomic<ssize_t> got{-2};
    orvi_msgbuf_t in{};
    std::thread rx([&] { got = orvi_queue_recv(q.id, &in, ORVI_QUEUE_MSG_SIZE, 0); });
    // Interrupt the wait a few times before anything arrives.
    for (int i = 0; i < 5; ++i) {
        orvi_port_sleep_ms(20);
        pthread_kill(rx.native_handle(), SIGUSR1);
    }
    EXPECT_EQ(-2, got.load());
    orvi_msgbuf_t m = message(3, "late");
    ASSERT_EQ(0, orvi_queue_send(q.id, &m, ORVI_QUEUE_MSG_SIZE, 0));
    rx.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(ORVI_QUEUE_MSG_SIZE, got.load());
    EXPECT_STREQ("late", in.mtext);
    EXPECT_FALSE(root.exists("/data/domivault/logs/top.log"));
}

}  // namespace
