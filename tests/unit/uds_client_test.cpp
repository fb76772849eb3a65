// The event bus client against a broker played by the test: a Unix socket
// server at the broker's path inside the scratch root.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "orvi_log.h"
#include "orvi_port.h"
#include "scratch_root.h"
#include "uds_client.h"

namespace {

using namespace std::chrono_literals;

// ---- Fakes ----------------------------------------------------------------------

std::mutex g_sleep_mu;
std::vector<unsigned> g_sleeps;

// Retry waits cost a millisecond instead of seconds; the asked waits are kept.
void fake_sleep(unsigned ms) {
    {
        std::lock_guard<std::mutex> lk(g_sleep_mu);
        g_sleeps.push_back(ms);
    }
    std::this_thread::sleep_for(1ms);
}

std::vector<unsigned> sleeps() {
    std::lock_guard<std::mutex> lk(g_sleep_mu);
    return g_sleeps;
}

bool slept(unsigned ms) {
    auto s = sleeps();
    return std::find(s.begin(), s.end(), ms) != s.end();
}

std::mutex g_frames_mu;
std::condition_variable g_frames_cv;
std::vector<std::string> g_frames;

void collect(const char *frame) {
    std::lock_guard<std::mutex> lk(g_frames_mu);
    g_frames.emplace_back(frame);
    g_frames_cv.notify_all();
}

std::vector<std::string> wait_frames(size_t n) {
    std::unique_lock<std::mutex> lk(g_frames_mu);
    g_frames_cv.wait_for(lk, 5s, [n] { return g_frames.size() >= n; });
    return g_frames;
}

// ---- The broker played by the test ----------------------------------------------

class TestServer {
  public:
    explicit TestServer(const std::string &path) {
        lfd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        unlink(path.c_str());
        if (bind(lfd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(lfd_, 8) != 0) {
            ADD_FAILURE() << "cannot listen on " << path;
        }
    }
    ~TestServer() {
        for (int fd : conns_)
            close(fd);
        close(lfd_);
    }
    // The next client, or -1 after the time-out.
    int accept_one(int timeout_ms = 5000) {
        struct pollfd p = {lfd_, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) != 1) return -1;
        int fd = accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) conns_.push_back(fd);
        return fd;
    }
    void drop(int fd) {
        conns_.erase(std::remove(conns_.begin(), conns_.end(), fd), conns_.end());
        close(fd);
    }

  private:
    int lfd_ = -1;
    std::vector<int> conns_;
};

bool readable(int fd, int timeout_ms) {
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1;
}

// The next whole JSON object from `fd`; empty on time-out or close.
std::string read_frame(int fd, uds_frame_splitter_t &sp, std::vector<std::string> &pending,
                       int timeout_ms = 5000) {
    while (pending.empty()) {
        if (!readable(fd, timeout_ms)) return "";
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) return "";
        uds_frame_split(&sp, buf, static_cast<size_t>(n), pending);
    }
    std::string f = pending.front();
    pending.erase(pending.begin());
    return f;
}

std::string read_frame(int fd) {
    uds_frame_splitter_t sp;
    std::vector<std::string> pending;
    return read_frame(fd, sp, pending);
}

void write_str(int fd, const std::string &s) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (n <= 0) {
            ADD_FAILURE() << "test server write failed";
            return;
        }
        off += static_cast<size_t>(n);
    }
}

std::string peer_path(int fd) {
    sockaddr_un a = {};
    socklen_t len = sizeof a;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) return "";
    return std::string(a.sun_path, strnlen(a.sun_path, len - offsetof(sockaddr_un, sun_path)));
}

// A data frame as the broker sends it, padded with a "pad" member to exactly
// `size` bytes when asked.
std::string data_frame(const std::string &tag, size_t size = 0) {
    std::string head =
        "{\"r\":1,\"data\":{\"data\":[{\"topic\":\"" + tag + "\",\"payload\":\"e30=\"}],\"len\":1}";
    if (size == 0) return head + "}";
    std::string f = head + ",\"pad\":\"\"}";
    if (size > f.size()) f.insert(f.size() - 2, size - f.size(), 'x');
    return f;
}

long gettid_now() {
    return static_cast<long>(syscall(SYS_gettid));
}

class UdsClient : public ::testing::Test {
  protected:
    void SetUp() override {
        uds_client_timing t;
        t.sleep = fake_sleep;
        t.pass_wait_ms = 20;
        t.select_quiet_ms = 200;
        t.select_total_ms = 2000;
        uds_client_set_timing(&t);
        {
            std::lock_guard<std::mutex> lk(g_sleep_mu);
            g_sleeps.clear();
        }
        {
            std::lock_guard<std::mutex> lk(g_frames_mu);
            g_frames.clear();
        }
        broker = orvi_path(EVENT_BROKER_PATH);
        saved_level = orvi_log_level_get();
        saved_mask = log_level.load();
    }
    void TearDown() override {
        uds_client_set_timing(nullptr);
        orvi_log_level_set(saved_level);
        log_level.store(saved_mask);
    }
    ScratchRoot root;
    std::string broker;
    orvi_log_level_t saved_level = ORVI_LOG_INFO;
    int saved_mask = 0;
};

// A subscription run on its own thread, as its owner would.
struct Subscriber {
    std::atomic<int> flag{0};
    std::atomic<int> rc{-100};
    std::thread thread;
    void start(const char *topic) {
        thread = std::thread([this, topic] { rc.store(event_subscribe("status", topic, collect, &flag)); });
    }
    int stop() {
        flag.store(1);
        return join();
    }
    int join() {
        if (thread.joinable()) thread.join();
        return rc.load();
    }
    ~Subscriber() {
        flag.store(1);
        join();
    }
};

// ---- Stream splitting ------------------------------------------------------------

TEST(UdsFrameSplit, CutsTheStreamIntoWholeObjects) {
    struct Case {
        const char *name;
        std::vector<std::string> chunks;
        std::vector<std::string> frames;
    } cases[] = {
        {"split across reads", {"{\"r\":1,", "\"data\":{\"a\"", ":1}}"}, {"{\"r\":1,\"data\":{\"a\":1}}"}},
        {"two in one read", {"{\"a\":1}{\"b\":2}"}, {"{\"a\":1}", "{\"b\":2}"}},
        {"bytes between objects skipped", {" x\n{\"a\":1}\r\n ", "]{\"b\":2}"}, {"{\"a\":1}", "{\"b\":2}"}},
        {"braces inside strings", {"{\"t\":\"}{\"}{\"u\":\"{{\"}"}, {"{\"t\":\"}{\"}", "{\"u\":\"{{\"}"}},
        {"escaped quote keeps the string open", {"{\"t\":\"a\\\"}\"}"}, {"{\"t\":\"a\\\"}\"}"}},
        {"escaped backslash closes it", {"{\"t\":\"a\\\\\"}{\"b\":1}"}, {"{\"t\":\"a\\\\\"}", "{\"b\":1}"}},
        {"escape split across reads", {"{\"t\":\"a\\", "\"}\"}"}, {"{\"t\":\"a\\\"}\"}"}},
        {"nested objects and arrays",
         {"{\"r\":1,\"data\":{\"data\":[{\"x\":{}}],\"len\":1}}"},
         {"{\"r\":1,\"data\":{\"data\":[{\"x\":{}}],\"len\":1}}"}},
        {"unfinished object waits", {"{\"a\":{\"b\":1}"}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uds_frame_splitter_t sp;
        std::vector<std::string> out;
        for (const std::string &chunk : c.chunks)
            EXPECT_EQ(0, uds_frame_split(&sp, chunk.data(), chunk.size(), out));
        EXPECT_EQ(c.frames, out);
    }
}

TEST(UdsFrameSplit, DropsAnOverLongOrOverDeepObjectWholeAndResumesAfterIt) {
    struct Case {
        const char *name;
        std::vector<std::string> chunks;
    } cases[] = {
        {"ends in the same read", {"{\"a\":\"0123456789abcdef\"}{\"b\":1}"}},
        {"spans reads", {"{\"a\":\"0123456789", "abcdef\"}", "{\"b\":1}"}},
        {"limit crossed inside a string holding a quote", {"{\"a\":\"0123456789ab\\\"\"} {\"b\":1}"}},
        // Nothing inside the dropped object passes for a frame of its own,
        // however the reads cut it.
        {"object past the limit", {"{\"a\":[1,1,1,1,1,1,{\"r\":2,\"data\":1}", "]}{\"b\":1}"}},
        {"object quoted in a string past the limit", {"{\"a\":\"0123456789abcdef{}\",\"x\":1", "}{\"b\":1}"}},
        {"nested deeper than the limit holds", {std::string(20, '{'), std::string(8, '}') + "{\"b\":1}"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uds_frame_splitter_t sp;
        sp.limit = 16;
        std::vector<std::string> out;
        int dropped = 0;
        for (const std::string &chunk : c.chunks)
            dropped += uds_frame_split(&sp, chunk.data(), chunk.size(), out);
        EXPECT_EQ(1, dropped);
        EXPECT_EQ(std::vector<std::string>{"{\"b\":1}"}, out);
    }
}

// ---- Publishing order --------------------------------------------------------------

TEST(UdsPublish, NonStatusFirstAndEachClassInArrivalOrder) {
    ASSERT_EQ(0, event_publish_queue_init());
    const char *in[] = {
        "{\"topic\":\"can/status\",\"n\":\"s1\"}",
        "{\"topic\":\"scene/delete/scene\",\"n\":\"c1\"}",
        "{\"topic\":\"x\",\"payload\":{\"path\":\"a/status\"},\"n\":\"s2\"}",
        "{\"topic\":\"scene/create/scene\",\"n\":\"c2\"}",
        "{\"topic\":\"scene/delete/interactive\",\"n\":\"c3\"}",
    };
    for (const char *m : in)
        ASSERT_EQ(0, event_publish(m, strlen(m)));
    EXPECT_EQ(5, event_publish_pending());
    std::vector<std::string> out;
    std::string m;
    while (event_publish_next(m) == 0)
        out.push_back(m);
    EXPECT_EQ((std::vector<std::string>{in[1], in[3], in[4], in[0], in[2]}), out);
    EXPECT_EQ(0, event_publish_pending());
    EXPECT_EQ(-1, event_publish(nullptr, 0));
}

// ---- Connections ---------------------------------------------------------------------

TEST_F(UdsClient, EachThreadBindsItsOwnClientPath) {
    TestServer server(broker);
    std::set<std::string> expected;
    std::mutex mu;
    std::vector<int> fds;
    auto client = [&] {
        int fd = uds_client_build(broker.c_str());
        std::lock_guard<std::mutex> lk(mu);
        expected.insert(broker + "_" + std::to_string(gettid_now()));
        fds.push_back(fd);
    };
    std::thread a(client), b(client);
    a.join();
    b.join();
    std::set<std::string> seen;
    for (int i = 0; i < 2; ++i) {
        int c = server.accept_one();
        ASSERT_GE(c, 0);
        seen.insert(peer_path(c));
    }
    EXPECT_EQ(2u, expected.size());
    EXPECT_EQ(expected, seen);
    for (int fd : fds) {
        EXPECT_GE(fd, 0);
        close(fd);
    }
}

TEST_F(UdsClient, ConnectGivesUpAfterFiveAttempts) {
    EXPECT_EQ(-1, uds_client_build(broker.c_str()));
    EXPECT_EQ((std::vector<unsigned>{1000, 1000, 1000, 1000}), sleeps());
    EXPECT_FALSE(root.exists(std::string(EVENT_BROKER_PATH) + "_" + std::to_string(gettid_now())));
    // A path that cannot be a socket address is refused outright.
    std::string long_path = root.dir() + "/" + std::string(120, 'p');
    EXPECT_EQ(-1, uds_client_build(long_path.c_str()));
}

TEST(UdsIsClosed, OnlyAReadableSocketWithAnEmptyReadIsClosed) {
    struct Case {
        int select_ret, read_ret, closed;
    } cases[] = {{1, 0, 1}, {1, 5, 0}, {0, 0, 0}, {1, -1, 0}, {-1, 0, 0}};
    for (const Case &c : cases)
        EXPECT_EQ(c.closed, is_uds_closed(c.select_ret, c.read_ret)) << c.select_ret << "," << c.read_ret;
}

TEST_F(UdsClient, StartRemovesOnlyTheStaleClientFiles) {
    const std::string dir = "/data/domivault/";
    for (const char *f :
         {"select.sock_123", "select.sock_9", "select.sock_", "select.sock", "select.sockX", "other_1"})
        root.write(dir + f, "");
    log_level.store(BOARD_LOG_CLASS_8);
    testing::internal::CaptureStdout();
    int removed = event_brocker_remove_stale();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(3, removed);
    EXPECT_NE(std::string::npos, out.find("remove done!"));
    for (const char *gone : {"select.sock_123", "select.sock_9", "select.sock_"})
        EXPECT_FALSE(root.exists(dir + gone)) << gone;
    for (const char *kept : {"select.sock", "select.sockX", "other_1"})
        EXPECT_TRUE(root.exists(dir + kept)) << kept;
}

// ---- Subscriptions ------------------------------------------------------------------------

TEST_F(UdsClient, SubscriberHandsEveryWholeDataFrameToTheCallbackInOrder) {
    TestServer server(broker);
    Subscriber sub;
    sub.start("can/status");
    int c = server.accept_one();
    ASSERT_GE(c, 0);
    EXPECT_EQ("{\"type\":\"status\",\"topicFilter\":\"can/status\",\"cmd\":\"sub\"}", read_frame(c));

    std::string split = data_frame("split");
    std::string exact = data_frame("exact", UDS_READ_SIZE);
    std::string longer = data_frame("longer", 7000);
    std::string braces = "{\"r\":1,\"data\":{\"data\":[{\"topic\":\"}{\\\"}\",\"payload\":\"\"}],\"len\":1}}";
    ASSERT_EQ(static_cast<size_t>(UDS_READ_SIZE), exact.size());

    write_str(c, "{\"r\":1}");  // accepted: no data, not delivered
    for (size_t i = 0; i < split.size(); i += 9) {
        write_str(c, split.substr(i, 9));
        std::this_thread::sleep_for(2ms);
    }
    write_str(c, data_frame("joined1") + data_frame("joined2"));
    write_str(c, "{not json}");
    write_str(c, braces);
    write_str(c, exact);
    write_str(c, longer.substr(0, UDS_READ_SIZE));
    std::this_thread::sleep_for(30ms);
    write_str(c, longer.substr(UDS_READ_SIZE));
    write_str(c, data_frame("last"));

    std::vector<std::string> want = {split,  data_frame("joined1"), data_frame("joined2"), braces, exact,
                                     longer, data_frame("last")};
    EXPECT_EQ(want, wait_frames(want.size()));
    EXPECT_EQ(0, sub.stop());
}

TEST_F(UdsClient, OverLongFrameIsDroppedAndTheNextOneArrives) {
    TestServer server(broker);
    Subscriber sub;
    sub.start("t");
    int c = server.accept_one();
    ASSERT_GE(c, 0);
    ASSERT_FALSE(read_frame(c).empty());
    orvi_log_level_set(ORVI_LOG_WARN);
    testing::internal::CaptureStdout();
    write_str(c, data_frame("huge", UDS_FRAME_MAX + 5000) + data_frame("after"));
    std::vector<std::string> got = wait_frames(1);
    EXPECT_EQ(0, sub.stop());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::vector<std::string>{data_frame("after")}, got);
    EXPECT_NE(std::string::npos, out.find("dropped"));
}

TEST_F(UdsClient, RefusedSubscriptionEndsWithMinusOneAndIsNotRetried) {
    TestServer server(broker);
    Subscriber sub;
    sub.start("/tovra/pair");
    int c = server.accept_one();
    ASSERT_GE(c, 0);
    ASSERT_FALSE(read_frame(c).empty());
    write_str(c, "{\"r\":2,\"data\":{}}");
    EXPECT_EQ(-1, sub.join());
    EXPECT_EQ(-1, server.accept_one(200));
    EXPECT_TRUE(wait_frames(0).empty());
}

TEST_F(UdsClient, PeerCloseLeadsToANewConnectionAndTheRequestAgain) {
    TestServer server(broker);
    Subscriber sub;
    sub.start("485/status");
    int c1 = server.accept_one();
    ASSERT_GE(c1, 0);
    std::string request = read_frame(c1);
    ASSERT_FALSE(request.empty());
    server.drop(c1);
    int c2 = server.accept_one();
    ASSERT_GE(c2, 0);
    EXPECT_EQ(request, read_frame(c2));
    EXPECT_TRUE(slept(1000));  // the reconnect waited first
    write_str(c2, data_frame("again"));
    EXPECT_EQ(std::vector<std::string>{data_frame("again")}, wait_frames(1));
    EXPECT_EQ(0, sub.stop());
}

TEST_F(UdsClient, ReadErrorLeadsToANewConnection) {
    TestServer server(broker);
    orvi_log_level_set(ORVI_LOG_WARN);
    testing::internal::CaptureStdout();
    Subscriber sub;
    sub.start("t");
    int c1 = server.accept_one();
    ASSERT_GE(c1, 0);
    // Closing with the request still unread resets the client's side: its
    // next read fails instead of reporting an orderly close.
    ASSERT_TRUE(readable(c1, 5000));
    server.drop(c1);
    int c2 = server.accept_one();
    ASSERT_GE(c2, 0);
    EXPECT_FALSE(read_frame(c2).empty());
    write_str(c2, data_frame("after-reset"));
    std::vector<std::string> got = wait_frames(1);
    EXPECT_EQ(0, sub.stop());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::vector<std::string>{data_frame("after-reset")}, got);
    EXPECT_NE(std::string::npos, out.find("read failed"));
}

TEST_F(UdsClient, SubscriberWithBrokerDownReturnsZeroOnceTheFlagIsRaised) {
    Subscriber sub;
    sub.start("can/status");
    for (int i = 0; i < 500 && !slept(10000); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(slept(10000));
    EXPECT_EQ(0, sub.stop());
}

// ---- Queries -------------------------------------------------------------------------------

TEST_F(UdsClient, SelectReturnsTheWholeAnswerOnceTheBrokerCloses) {
    TestServer server(broker);
    std::string answer = data_frame("TimerInfo/abc", 9000);
    std::string request;
    std::thread broker_side([&] {
        int c = server.accept_one();
        if (c < 0) return;
        request = read_frame(c);
        write_str(c, answer.substr(0, 4000));
        std::this_thread::sleep_for(20ms);
        write_str(c, answer.substr(4000));
        server.drop(c);
    });
    std::string out;
    EXPECT_EQ(0, event_select("status", "TimerInfo/abc", out));
    broker_side.join();
    EXPECT_EQ("{\"type\":\"status\",\"topicFilter\":\"TimerInfo/abc\",\"cmd\":\"select\"}", request);
    EXPECT_EQ(answer, out);
}

TEST_F(UdsClient, SelectGivesUpOnABrokerThatNeverCloses) {
    // A quiet broker ends the query after the quiet spell; one that trickles
    // bytes for ever only at the total budget. Both return what they sent.
    for (bool trickle : {false, true}) {
        SCOPED_TRACE(trickle ? "trickles" : "goes quiet");
        uds_client_timing t;
        t.sleep = fake_sleep;
        t.select_quiet_ms = 100;
        t.select_total_ms = 400;
        uds_client_set_timing(&t);
        TestServer server(broker);
        std::atomic<bool> stop{false};
        std::thread broker_side([&] {
            int c = server.accept_one();
            if (c < 0) return;
            read_frame(c);
            write_str(c, "{\"r\":1,");
            while (!stop.load()) {
                if (trickle) write_str(c, " ");
                std::this_thread::sleep_for(20ms);
            }
        });
        std::string out;
        EXPECT_EQ(0, event_select("status", "t", out));
        stop.store(true);
        broker_side.join();
        EXPECT_EQ(0u, out.find("{\"r\":1,"));
        EXPECT_EQ(trickle, out.size() > 7);
    }
}

TEST_F(UdsClient, SelectWithoutBrokerReturnsMinusOne) {
    std::string out = "stale";
    EXPECT_EQ(-1, event_select("status", "t", out));
    EXPECT_TRUE(out.empty());
}

// ---- The sender ----------------------------------------------------------------------------

class UdsSender : public UdsClient {
  protected:
    void start() {
        event_publish_thread_stop(false);
        sender = std::thread([] { event_publish_thread(nullptr); });
    }
    void TearDown() override {
        event_publish_thread_stop(true);
        if (sender.joinable()) sender.join();
        event_publish_thread_stop(false);
        UdsClient::TearDown();
    }
    std::thread sender;
};

TEST_F(UdsSender, WritesLongMessagesWholeAndInOrderToASlowReader) {
    ASSERT_EQ(0, event_publish_queue_init());
    std::string big = "{\"topic\":\"big\",\"pad\":\"" + std::string(1 << 20, 'b') + "\"}";
    std::vector<std::string> in = {"{\"topic\":\"a/status\"}", big, "{\"topic\":\"scene/create/scene\"}"};
    for (const std::string &m : in)
        ASSERT_EQ(0, event_publish(m.c_str(), m.size()));
    TestServer server(broker);
    start();
    int c = server.accept_one();
    ASSERT_GE(c, 0);
    int small = 4096;
    setsockopt(c, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    uds_frame_splitter_t sp;
    sp.limit = 2u << 20;
    std::vector<std::string> pending, got;
    while (got.size() < 3) {
        std::this_thread::sleep_for(1ms);  // a slow reader: the writer sees partial writes
        std::string f = read_frame(c, sp, pending);
        if (f.empty()) break;
        got.push_back(f);
    }
    EXPECT_EQ((std::vector<std::string>{big, in[2], in[0]}), got);
}

TEST_F(UdsSender, MessageOfAFailedWriteIsSentOnTheNextConnection) {
    ASSERT_EQ(0, event_publish_queue_init());
    TestServer server(broker);
    start();
    int c1 = server.accept_one();
    ASSERT_GE(c1, 0);
    server.drop(c1);
    for (const char *m : {"{\"n\":\"m1\"}", "{\"n\":\"m2\"}", "{\"n\":\"m3\"}"})
        ASSERT_EQ(0, event_publish(m, strlen(m)));
    int c2 = server.accept_one();
    ASSERT_GE(c2, 0);
    uds_frame_splitter_t sp;
    std::vector<std::string> pending, got;
    for (int i = 0; i < 3; ++i)
        got.push_back(read_frame(c2, sp, pending));
    EXPECT_EQ((std::vector<std::string>{"{\"n\":\"m1\"}", "{\"n\":\"m2\"}", "{\"n\":\"m3\"}"}), got);
    // The sender counts the last message as written once its write returns.
    for (int i = 0; i < 500 && event_publish_pending() != 0; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(0, event_publish_pending());
}

// A publisher that waits for nothing pending and then ends (as buscheck
// does) must not end before its last message was written: the message is
// counted in flight from before it leaves its queue.
TEST_F(UdsSender, NothingPendingMeansTheLastMessageWasWritten) {
    ASSERT_EQ(0, event_publish_queue_init());
    TestServer server(broker);
    start();
    int c = server.accept_one();
    ASSERT_GE(c, 0);
    char buf[256];
    for (int round = 0; round < 150; ++round) {
        std::string m = "{\"n\":" + std::to_string(round) + "}";
        ASSERT_EQ(0, event_publish(m.c_str(), m.size()));
        auto until = std::chrono::steady_clock::now() + 10s;
        while (event_publish_pending() != 0 && std::chrono::steady_clock::now() < until) {
        }
        ASSERT_EQ(0, event_publish_pending());
        ssize_t n = recv(c, buf, sizeof buf, MSG_DONTWAIT);
        ASSERT_EQ(static_cast<ssize_t>(m.size()), n) << "round " << round << ": not written yet";
        EXPECT_EQ(m, std::string(buf, static_cast<size_t>(n)));
    }
}

TEST_F(UdsSender, EndsTheProcessAfterMoreThanTwentyFailedRounds) {
    // The child starts afresh: no thread of an earlier test runs in it.
    std::string style = GTEST_FLAG_GET(death_test_style);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            dup2(2, 1);
            event_publish_thread(nullptr);
        },
        ::testing::ExitedWithCode(1), "uds_client_build create failed more than 20 times, exit");
    GTEST_FLAG_SET(death_test_style, style);
}

}  // namespace
