// The paced UDP intake: what may enter it, the fair share between senders,
// and the receive task's passes on real sockets while one peer floods.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "orvi_socket.h"
#include "product_subdev.h"
#include "scratch_root.h"

namespace {

using namespace std::chrono_literals;

struct RequestCase {
    const char *data;
    bool could_be;
};

// Names each case by its text, not by the bytes of the pointer to it.
void PrintTo(const RequestCase &c, std::ostream *os) {
    *os << ::testing::PrintToString(std::string(c.data)) << (c.could_be ? " may be a request" : " is not");
}

class IntakeFilterTest : public ::testing::TestWithParam<RequestCase> {};

TEST_P(IntakeFilterTest, OnlyAnObjectNamingItsTypeMayBeARequest) {
    EXPECT_EQ(GetParam().could_be, orvi_intake_could_be_request(GetParam().data)) << GetParam().data;
}

INSTANTIATE_TEST_SUITE_P(Packets, IntakeFilterTest,
                         ::testing::Values(RequestCase{R"({"t":"hb","mac":"aabbccddee01"})", true},
                                           RequestCase{" \r\n{\"t\":\"pack\",\"i\":0}\n", true},
                                           RequestCase{"{}", false}, RequestCase{R"({"t":1})", false},
                                           RequestCase{R"({"type":"hb"})", false},
                                           RequestCase{R"([{"t":"hb"}])", false},
                                           RequestCase{R"({"t":"hb")", false},
                                           RequestCase{R"("t")", false}, RequestCase{"", false},
                                           RequestCase{"\xff\xfe junk", false}));

request_type_t req(const std::string &data) {
    request_type_t r;
    r.data = data;
    return r;
}

std::vector<std::string> drain(orvi_fair_queue_t &q) {
    std::vector<std::string> out;
    request_type_t r;
    while (orvi_fair_queue_pop(&q, r))
        out.push_back(r.data);
    return out;
}

TEST(FairQueue, SendersTakeTurnsEachInItsOwnOrder) {
    orvi_fair_queue_t q;
    for (const char *d : {"a1", "a2", "a3"})
        ASSERT_EQ(0, orvi_fair_queue_push(&q, "A", req(d)));
    ASSERT_EQ(0, orvi_fair_queue_push(&q, "B", req("b1")));
    ASSERT_EQ(0, orvi_fair_queue_push(&q, "C", req("c1")));
    ASSERT_EQ(0, orvi_fair_queue_push(&q, "B", req("b2")));
    EXPECT_EQ(std::vector<std::string>({"a1", "b1", "c1", "a2", "b2", "a3"}), drain(q));
    EXPECT_TRUE(orvi_fair_queue_empty(&q));
}

TEST(FairQueue, ASenderLosesOnlyWhatItSendsBeyondItsBacklog) {
    orvi_fair_queue_t q;
    q.per_source = 2;
    EXPECT_EQ(0, orvi_fair_queue_push(&q, "flood", req("f1")));
    EXPECT_EQ(0, orvi_fair_queue_push(&q, "flood", req("f2")));
    EXPECT_EQ(-1, orvi_fair_queue_push(&q, "flood", req("f3")));
    EXPECT_EQ(0, orvi_fair_queue_push(&q, "app", req("x1")));
    EXPECT_EQ(std::vector<std::string>({"f1", "x1", "f2"}), drain(q));
}

TEST(FairQueue, WhenFullRoomIsMadeAtTheLongestBacklog) {
    orvi_fair_queue_t q;
    q.per_source = 4;
    q.max_total = 4;
    for (const char *d : {"f1", "f2", "f3"})
        ASSERT_EQ(0, orvi_fair_queue_push(&q, "flood", req(d)));
    ASSERT_EQ(0, orvi_fair_queue_push(&q, "dev1", req("d1")));
    // Full: a newcomer pushes out the flooder's newest packet...
    EXPECT_EQ(0, orvi_fair_queue_push(&q, "dev2", req("e1")));
    // ...until every sender is down to one packet: then the newcomer loses.
    EXPECT_EQ(0, orvi_fair_queue_push(&q, "dev3", req("g1")));
    EXPECT_EQ(-1, orvi_fair_queue_push(&q, "dev4", req("h1")));
    EXPECT_EQ(-1, orvi_fair_queue_push(&q, "dev1", req("d2")));
    EXPECT_EQ(std::vector<std::string>({"f1", "d1", "e1", "g1"}), drain(q));
}

// ---- The receive task on real sockets ---------------------------------------------

struct sockaddr_in loopback(const char *ip, unsigned short port) {
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &a.sin_addr);
    a.sin_port = htons(port);
    return a;
}

int udp_socket_on(const char *ip) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = loopback(ip, 0);
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::vector<std::string> g_sunk;
int record_sink(const request_type_t *r) {
    g_sunk.push_back(r->data);
    return 0;
}

class IntakeFloodTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_sunk.clear();
        orvi_socket_ports_t p;
        p.udp_in = 0;
        p.udp_out = 0;
        p.tcp_server = 0;
        p.broadcast = INADDR_LOOPBACK;
        orvi_socket_ports_set(p);
        ASSERT_EQ(0, socket_connect_start(nullptr, 0));
        port_ = orvi_socket_udp_in_port();
    }
    void TearDown() override {
        stop_.store(true);
        if (flooder_.joinable()) flooder_.join();
        socket_connect_stop();
        orvi_socket_ports_set(orvi_socket_ports_t{});
        orvi_socket_set_read_pause_ms(50);
    }
    // Another peer (its own loopback address) sends `packets` in turn, about
    // two thousand a second, until the test ends.
    void flood(std::vector<std::string> packets) {
        int fd = udp_socket_on("127.0.0.2");
        ASSERT_GE(fd, 0);
        flooder_ = std::thread([this, fd, packets] {
            struct sockaddr_in to = loopback("127.0.0.1", port_);
            for (size_t i = 0; !stop_.load(); ++i) {
                const std::string &p = packets[i % packets.size()];
                sendto(fd, p.data(), p.size(), 0, reinterpret_cast<const struct sockaddr *>(&to), sizeof to);
                if (i % 2 == 1) std::this_thread::sleep_for(1ms);
            }
            close(fd);
        });
    }
    bool sunk(const std::string &data) const {
        for (const auto &s : g_sunk)
            if (s == data) return true;
        return false;
    }

    ScratchRoot root_;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread flooder_;
};

// The app asks one thing at a time and waits for it to be let in; at the
// real pace (one packet per 50 ms for everybody) each of its requests must
// be let in within seconds, whatever the flooder sends.
TEST_F(IntakeFloodTest, AppIsServedWhileAnotherPeerFloodsJunkAndRequests) {
    flood({"junk junk junk", R"({"t":"hb","mac":"fl00d0000001"})", "{}", "\x01\x02\x03"});
    int app = udp_socket_on("127.0.0.1");
    ASSERT_GE(app, 0);
    socket_intake_t intake;
    struct sockaddr_in to = loopback("127.0.0.1", port_);
    for (int i = 0; i < 10; ++i) {
        std::string ask = R"({"t":"status","mac":"miniApp","n":)" + std::to_string(i) + "}";
        sendto(app, ask.data(), ask.size(), 0, reinterpret_cast<struct sockaddr *>(&to), sizeof to);
        auto until = std::chrono::steady_clock::now() + 5s;
        while (!sunk(ask) && std::chrono::steady_clock::now() < until)
            socket_intake_pass(&intake, 100, record_sink);
        ASSERT_TRUE(sunk(ask)) << "request " << i << " not let in within 5 s";
    }
    close(app);
    // Junk never took a turn.
    for (const auto &s : g_sunk)
        EXPECT_TRUE(orvi_intake_could_be_request(s)) << s;
}

}  // namespace
