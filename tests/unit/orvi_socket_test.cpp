// The LAN transports: the TCP link framer, the TCP client channel's line
// framer, the link life cycle, and the write and read routines on local
// sockets (free ports on the loopback; the broadcast goes to the loopback).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cloud_link.h"
#include "link_recorder.h"
#include "local_mqtt.h"
#include "orvi_bt_link.h"
#include "orvi_field.h"
#include "orvi_main.h"
#include "orvi_port.h"
#include "orvi_socket.h"
#include "orvi_subdev_tcp.h"
#include "orvi_testing.h"
#include "orvi_transport.h"
#include "product_subdev.h"
#include "scratch_root.h"

namespace {

// ---- TCP link framer ------------------------------------------------------------

std::vector<std::string> feed(orvi_tcp_framer_t &f, const std::string &chunk) {
    std::vector<std::string> out;
    orvi_tcp_framer_feed(&f, chunk.data(), chunk.size(),
                         [&](std::string &&o) { out.push_back(std::move(o)); });
    return out;
}

using Strings = std::vector<std::string>;

struct FramerCase {
    const char *name;
    std::vector<std::string> chunks;
    std::vector<Strings> objects;  // emitted after each chunk
};

class TcpFramerTest : public ::testing::TestWithParam<FramerCase> {};

TEST_P(TcpFramerTest, CutsObjectsOffTheStream) {
    const FramerCase &c = GetParam();
    orvi_tcp_framer_t f;
    ASSERT_EQ(c.chunks.size(), c.objects.size());
    for (size_t i = 0; i < c.chunks.size(); ++i)
        EXPECT_EQ(c.objects[i], feed(f, c.chunks[i])) << "after chunk " << i;
}

const std::string kA = "{\"t\":\"hb\",\"cid\":\"a\"}";
const std::string kB = "{\"t\":\"res\",\"r\":200}";

INSTANTIATE_TEST_SUITE_P(
    Streams, TcpFramerTest,
    ::testing::Values(
        // Two characters of noise, one object and the start of a second.
        FramerCase{"noise_object_partial", {"xy" + kA + "{\"t\":\"re", "s\",\"r\":200}"}, {{kA}, {kB}}},
        FramerCase{"text_without_brace_discarded", {"garbage", kA}, {{}, {kA}}},
        FramerCase{"concatenated", {kA + kB + "\n"}, {{kA, kB}}},
        FramerCase{"split_in_three", {"{\"t\":", "\"hb\",\"cid\"", ":\"a\"}"}, {{}, {}, {kA}}},
        FramerCase{"braces_in_strings", {"{\"n\":\"}{\\\"}\",\"m\":1}"}, {{"{\"n\":\"}{\\\"}\",\"m\":1}"}}},
        FramerCase{"nested", {"{\"a\":{\"b\":{}}}"}, {{"{\"a\":{\"b\":{}}}"}}}),
    [](const ::testing::TestParamInfo<FramerCase> &i) { return std::string(i.param.name); });

// An object of `size` bytes: {"a":"xxx...x"}
std::string object_of(size_t size) {
    return "{\"a\":\"" + std::string(size - 8, 'x') + "\"}";
}

TEST(TcpFramerLimits, ObjectOfTheBufferSizeIsDeliveredOneMoreIsDropped) {
    orvi_tcp_framer_t f;
    std::string fits = object_of(ORVI_TCP_LINK_BUF_SIZE);
    EXPECT_EQ(Strings({fits}), feed(f, fits));
    std::string over = object_of(ORVI_TCP_LINK_BUF_SIZE + 1);
    EXPECT_EQ(Strings(), feed(f, over));
    EXPECT_EQ(Strings({kA}), feed(f, kA));
}

TEST(TcpFramerLimits, FiveThousandBufferedPlusTwoHundredClearsWithoutFragments) {
    orvi_tcp_framer_t f;
    // 5000 bytes of an object whose tail holds a complete inner object.
    std::string head = "{\"a\":\"" + std::string(4994, 'x');
    ASSERT_EQ(5000u, head.size());
    EXPECT_EQ(Strings(), feed(f, head));
    EXPECT_EQ(Strings(), feed(f, std::string(200, 'y')));
    EXPECT_TRUE(f.buf.empty());
    // The rest of the dropped object, with an inner object, then a good one.
    EXPECT_EQ(Strings({kB}), feed(f, "\",\"c\":{\"t\":\"inner\"}}" + kB));
}

TEST(TcpFramerLimits, HugeObjectInOneChunkThenServiceGoesOn) {
    orvi_tcp_framer_t f;
    EXPECT_EQ(Strings({kA}), feed(f, object_of(20000) + kA));
}

TEST(TcpFramerLimits, NestingDeeperThanTheBufferHoldsIsDroppedAndFramingResumes) {
    const std::string open(ORVI_TCP_DEPTH_MAX, '{'), close(ORVI_TCP_DEPTH_MAX, '}');
    orvi_tcp_framer_t f;
    // The deepest object that fits is delivered.
    EXPECT_EQ(Strings({open + close}), feed(f, open + close));
    // A runaway of opening braces, read after read, is not counted past the
    // bound: once that many levels close, the next object gets through.
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(Strings(), feed(f, std::string(ORVI_TCP_READ_SIZE, '{')));
    EXPECT_LE(f.depth, ORVI_TCP_DEPTH_MAX);
    EXPECT_EQ(Strings({kA}), feed(f, close + kA));
}

TEST(TcpFramerLimits, FeedingSomeStopsAfterTheObjectsAskedFor) {
    orvi_tcp_framer_t f;
    const std::string in = "x" + kA + kB + kA;
    std::vector<std::string> out;
    auto keep = [&](std::string &&o) { out.push_back(std::move(o)); };
    size_t used = orvi_tcp_framer_feed_some(&f, in.data(), in.size(), 2, keep);
    EXPECT_EQ(1 + kA.size() + kB.size(), used);
    EXPECT_EQ(Strings({kA, kB}), out);
    used += orvi_tcp_framer_feed_some(&f, in.data() + used, in.size() - used, 2, keep);
    EXPECT_EQ(in.size(), used);
    EXPECT_EQ(Strings({kA, kB, kA}), out);
}

// ---- TCP client channel line framer -----------------------------------------------

void put(orvi_line_framer_t &f, const std::string &s) {
    ASSERT_LE(s.size(), orvi_line_framer_space(&f));
    std::memcpy(f.buf + f.len, s.data(), s.size());
    orvi_line_framer_commit(&f, s.size());
}

TEST(LineFramer, TwoLinesInOneReadAreTwoPackets) {
    orvi_line_framer_t f;
    put(f, kA + "\n" + kB + "\n{\"t\"");
    std::string line;
    ASSERT_TRUE(orvi_line_framer_next(&f, line));
    EXPECT_EQ(kA, line);
    EXPECT_TRUE(f.has_line);  // the second is there without another read
    ASSERT_TRUE(orvi_line_framer_next(&f, line));
    EXPECT_EQ(kB, line);
    EXPECT_FALSE(f.has_line);
    EXPECT_FALSE(orvi_line_framer_next(&f, line));
    put(f, ":1}\n");
    ASSERT_TRUE(orvi_line_framer_next(&f, line));
    EXPECT_EQ("{\"t\":1}", line);
}

TEST(LineFramer, FullBufferWithoutNewlineIsDropped) {
    orvi_line_framer_t f;
    put(f, std::string(ORVI_TCP_CLIENT_LINE_MAX, 'z'));
    EXPECT_EQ(0u, orvi_line_framer_space(&f));
    std::string line;
    EXPECT_FALSE(orvi_line_framer_next(&f, line));
    EXPECT_EQ(0u, f.len);
    EXPECT_EQ(static_cast<size_t>(ORVI_TCP_CLIENT_LINE_MAX), orvi_line_framer_space(&f));
    put(f, kA + "\n");
    ASSERT_TRUE(orvi_line_framer_next(&f, line));
    EXPECT_EQ(kA, line);
}

// ---- Links ----------------------------------------------------------------------

orvi_subdev_ptr add_record(const char *mac, int fd, dev_type_t type = DEV_TYPE_WIFI) {
    orvi_subdev_list_t d;
    orvi_field_set(d.mac, mac);
    d.dev_type = type;
    d.online = 1;
    d.dev_socket.fd = fd;
    d.dev_socket.type = SOCKET_CONNECT_TYPE_TCP;
    return product_add_subdev_to_host(&d);
}

// Links over socket pairs (the test writes the peers' side) and a request
// queue played by the test: it records what is queued, counts as pending
// what the test has not taken yet, and can refuse or play a full queue.
class TcpLinkTest : public ::testing::Test {
  protected:
    struct Link {
        int fd;       // the host's end
        int peer_fd;  // the peer's end
        subdev_tcp_link_ptr link;
    };
    void SetUp() override {
        product_registry_reset_for_test();
        ASSERT_EQ(0, orvi_subdev_tcp_link_list_init(&list_));
        orvi_request_sink_t sink;
        sink.send = [this](const request_type_t &r) {
            if (refuse_next_) {
                refuse_next_ = false;
                return -1;
            }
            queued_.push_back(r);
            return 0;
        };
        sink.pending = [this] { return full_ ? size_t{ORVI_TCP_QUEUE_SHARE} : queued_.size() - taken_; };
        orvi_transport_set_sink(std::move(sink));
        add_link();
        sv_[0] = links_[0].fd;
        sv_[1] = links_[0].peer_fd;
        link_ = links_[0].link;
    }
    void TearDown() override {
        orvi_transport_set_sink({});
        link_.reset();
        for (Link &l : links_) {
            l.link.reset();
            if (l.peer_fd >= 0) close(l.peer_fd);
        }
        links_.clear();
        orvi_subdev_tcp_link_list_free(list_);
        product_registry_reset_for_test();
    }
    size_t add_link() {
        int sv[2];
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
        subdev_tcp_link_ptr l = orvi_subdev_tcp_link_create(list_, sv[0], nullptr);
        EXPECT_EQ(0, orvi_subdev_tcp_link_insert(list_, l));
        links_.push_back({sv[0], sv[1], l});
        return links_.size() - 1;
    }
    void peer_send(size_t i, const std::string &s) {
        ASSERT_EQ(static_cast<ssize_t>(s.size()), write(links_[i].peer_fd, s.data(), s.size()));
    }
    void peer_send(const std::string &s) { peer_send(0, s); }
    void peer_close(size_t i) {
        close(links_[i].peer_fd);
        links_[i].peer_fd = -1;
    }
    // One pass of the receive thread: every link read once, then queued.
    void round() {
        for (const Link &l : links_)
            orvi_subdev_tcp_link_read(list_, l.fd);
        orvi_subdev_tcp_links_pump(list_);
    }
    // The request task takes everything queued so far.
    void take_all() { taken_ = queued_.size(); }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const request_type_t &r : queued_)
            out.push_back(r.data);
        return out;
    }
    bool readable(size_t i) {
        std::vector<struct pollfd> fds;
        orvi_subdev_tcp_fd_readset_all(list_, fds);
        for (const auto &p : fds)
            if (p.fd == links_[i].fd) return true;
        return false;
    }

    subdev_tcp_link_list_t *list_ = nullptr;
    std::vector<Link> links_;
    subdev_tcp_link_ptr link_;  // the first link
    int sv_[2] = {-1, -1};      // its two ends
    std::vector<request_type_t> queued_;
    size_t taken_ = 0;
    bool refuse_next_ = false;
    bool full_ = false;
};

TEST_F(TcpLinkTest, EachObjectBecomesATcpRequestOfTheLink) {
    peer_send("..{\"t\":\"hb\"}{\"t\":\"res\"");
    EXPECT_EQ(0, orvi_subdev_tcp_link_read(list_, sv_[0]));
    EXPECT_EQ(1, orvi_subdev_tcp_links_pump(list_));
    peer_send(",\"r\":200}");
    EXPECT_EQ(0, orvi_subdev_tcp_link_read(list_, sv_[0]));
    EXPECT_EQ(1, orvi_subdev_tcp_links_pump(list_));
    ASSERT_EQ(2u, queued_.size());
    EXPECT_EQ("{\"t\":\"hb\"}", queued_[0].data);
    EXPECT_EQ("{\"t\":\"res\",\"r\":200}", queued_[1].data);
    EXPECT_EQ(sv_[0], queued_[1].sockinfo.fd);
    EXPECT_EQ(SOCKET_CONNECT_TYPE_TCP, queued_[1].sockinfo.type);
    EXPECT_EQ(DATA_TYPE_NEED_PARSE, queued_[1].data_type);
}

TEST_F(TcpLinkTest, NothingPendingIsNotADisconnect) {
    EXPECT_EQ(0, orvi_subdev_tcp_link_read(list_, sv_[0]));
    EXPECT_TRUE(orvi_subdev_tcp_link_get(list_, sv_[0]));
}

TEST_F(TcpLinkTest, PeerCloseFreesTheLinkAndEveryRecordForgetsTheDescriptor) {
    int fd = sv_[0];
    orvi_subdev_ptr bound = add_record("aabbccddee01", fd);
    orvi_subdev_ptr other = add_record("aabbccddee02", fd);
    orvi_subdev_ptr elsewhere = add_record("aabbccddee03", fd + 100);
    ASSERT_EQ(0, orvi_subdev_tcp_link_dev_bind(list_, link_, bound));
    std::weak_ptr<subdev_tcp_link_t> weak = link_;
    link_.reset();
    links_[0].link.reset();
    peer_close(0);
    EXPECT_EQ(1, orvi_subdev_tcp_link_read(list_, fd));  // one device went offline
    EXPECT_FALSE(orvi_subdev_tcp_link_get(list_, fd));
    EXPECT_TRUE(weak.expired());  // the descriptor is closed
    EXPECT_EQ(-1, list_->max_fd);
    EXPECT_EQ(-1, orvi_subdev_snapshot(bound).dev_socket.fd);
    EXPECT_EQ(0, orvi_subdev_snapshot(bound).online);
    EXPECT_EQ(-1, orvi_subdev_snapshot(other).dev_socket.fd);
    EXPECT_EQ(1, orvi_subdev_snapshot(other).online);
    EXPECT_EQ(fd + 100, orvi_subdev_snapshot(elsewhere).dev_socket.fd);
}

std::string numbered(const char *who, int i) {
    return std::string("{\"") + who + "\":" + std::to_string(i) + "}";
}

TEST_F(TcpLinkTest, AFloodingLinkTakesTurnsWithAnotherAndNeitherLosesAnything) {
    const size_t flood = 0, good = add_link();
    const int kFlood = 2000;
    std::string burst;
    for (int i = 0; i < kFlood; ++i)
        burst += numbered("f", i);
    peer_send(flood, burst);
    peer_send(good, numbered("g", 0) + numbered("g", 1) + numbered("g", 2));
    round();
    // The links share the queue object by object, up to the links' share of it.
    std::vector<std::string> first = texts();
    ASSERT_EQ(static_cast<size_t>(ORVI_TCP_QUEUE_SHARE), first.size());
    EXPECT_EQ(std::vector<std::string>({numbered("f", 0), numbered("g", 0), numbered("f", 1), numbered("g", 1),
                                        numbered("f", 2), numbered("g", 2), numbered("f", 3)}),
              std::vector<std::string>(first.begin(), first.begin() + 7));
    // As the request task takes them, the rest follows, every object once, in order.
    for (int pass = 0; pass < 10 * kFlood && queued_.size() < kFlood + 3u; ++pass) {
        take_all();
        round();
    }
    std::vector<std::string> want_f, got_f, got_g;
    for (int i = 0; i < kFlood; ++i)
        want_f.push_back(numbered("f", i));
    for (const std::string &t : texts())
        (t[2] == 'f' ? got_f : got_g).push_back(t);
    EXPECT_EQ(want_f, got_f);
    EXPECT_EQ(std::vector<std::string>({numbered("g", 0), numbered("g", 1), numbered("g", 2)}), got_g);
}

TEST_F(TcpLinkTest, ALinkIsNotReadWhileItsBacklogIsFull) {
    full_ = true;  // the queue has no room for the links
    const int kSent = 1000;  // more than one read takes
    std::string burst;
    for (int i = 0; i < kSent; ++i)
        burst += numbered("f", i);
    peer_send(burst);
    round();
    round();
    EXPECT_TRUE(queued_.empty());
    EXPECT_FALSE(readable(0));
    int unread = 0;
    ASSERT_EQ(0, ioctl(sv_[0], FIONREAD, &unread));
    EXPECT_GT(unread, 0);  // left with the sender's connection: flow control holds it back
    full_ = false;
    for (int pass = 0; pass < 10 * kSent && queued_.size() < kSent; ++pass) {
        take_all();
        round();
    }
    ASSERT_EQ(static_cast<size_t>(kSent), queued_.size());
    EXPECT_EQ(numbered("f", kSent - 1), queued_.back().data);
    EXPECT_TRUE(readable(0));
}

TEST_F(TcpLinkTest, AnObjectTheQueueRefusesStaysFirstOnItsLink) {
    peer_send(kA + kB);
    refuse_next_ = true;
    round();
    EXPECT_TRUE(queued_.empty());
    round();
    EXPECT_EQ(Strings({kA, kB}), texts());
}

// Before start-up wired the request queue there is nowhere to put a request:
// the links hold what they framed, and hand it on, in order, once it is wired.
TEST_F(TcpLinkTest, WithoutASinkObjectsWaitOnTheirLinkUntilOneIsWired) {
    orvi_transport_set_sink({});
    peer_send(kA + kB);
    round();
    round();
    EXPECT_TRUE(queued_.empty());
    EXPECT_TRUE(orvi_subdev_tcp_links_waiting(list_));
    orvi_request_sink_t sink;
    sink.send = [this](const request_type_t &r) {
        queued_.push_back(r);
        return 0;
    };
    orvi_transport_set_sink(std::move(sink));
    round();
    EXPECT_EQ(Strings({kA, kB}), texts());
}

TEST_F(TcpLinkTest, AnIdleLinkIsClosedAsIfItsPeerHadClosed) {
    const size_t quiet = 0, talking = add_link();
    int fd = links_[quiet].fd;
    orvi_subdev_ptr bound = add_record("aabbccddee01", fd);
    orvi_subdev_ptr other = add_record("aabbccddee02", fd);
    ASSERT_EQ(0, orvi_subdev_tcp_link_dev_bind(list_, link_, bound));
    const uint64_t born = links_[quiet].link->last_object_ms.load();
    EXPECT_EQ(0, orvi_subdev_tcp_link_idle_close(list_, born + ORVI_TCP_IDLE_CLOSE_MS - 1));
    EXPECT_EQ(2, list_->list_size());
    // Both have been quiet for the whole time; one of them speaks now.
    const uint64_t now = orvi_port_monotonic_ms();
    for (Link &l : links_)
        l.link->last_object_ms.store(now - ORVI_TCP_IDLE_CLOSE_MS);
    peer_send(talking, kA);
    round();
    EXPECT_EQ(1, orvi_subdev_tcp_link_idle_close(list_, orvi_port_monotonic_ms()));  // one device went offline
    EXPECT_FALSE(orvi_subdev_tcp_link_get(list_, fd));
    EXPECT_TRUE(orvi_subdev_tcp_link_get(list_, links_[talking].fd));
    EXPECT_EQ(-1, orvi_subdev_snapshot(bound).dev_socket.fd);
    EXPECT_EQ(0, orvi_subdev_snapshot(bound).online);
    EXPECT_EQ(-1, orvi_subdev_snapshot(other).dev_socket.fd);
    char c;
    EXPECT_EQ(0, recv(links_[quiet].peer_fd, &c, 1, MSG_DONTWAIT));  // the peer sees the end
}

TEST(TcpLinkList, AFullListMakesRoomByClosingTheLongestIdleLink) {
    product_registry_reset_for_test();
    subdev_tcp_link_list_t *list = nullptr;
    ASSERT_EQ(0, orvi_subdev_tcp_link_list_init(&list));
    const uint64_t now = orvi_port_monotonic_ms();
    std::vector<subdev_tcp_link_ptr> links;
    for (int i = 0; i < ORVI_TCP_LINK_MAX; ++i) {
        links.push_back(orvi_subdev_tcp_link_create(list, eventfd(0, EFD_CLOEXEC), nullptr));
        links.back()->last_object_ms.store(now - 1000 * static_cast<uint64_t>(i % 7));
        ASSERT_EQ(0, orvi_subdev_tcp_link_insert(list, links.back()));
    }
    links[20]->last_object_ms.store(now - 60000);
    links[40]->last_object_ms.store(now - 50000);
    orvi_subdev_ptr dev = add_record("aabbccddee01", links[20]->fd);
    ASSERT_EQ(0, orvi_subdev_tcp_link_dev_bind(list, links[20], dev));
    const int gone_fd = links[20]->fd;

    subdev_tcp_link_ptr extra = orvi_subdev_tcp_link_create(list, eventfd(0, EFD_CLOEXEC), nullptr);
    EXPECT_EQ(1, orvi_subdev_tcp_link_insert(list, extra));  // its device went offline
    EXPECT_EQ(ORVI_TCP_LINK_MAX, list->list_size());
    EXPECT_FALSE(orvi_subdev_tcp_link_get(list, gone_fd));
    EXPECT_EQ(extra, orvi_subdev_tcp_link_get(list, extra->fd));
    EXPECT_EQ(links[40], orvi_subdev_tcp_link_get(list, links[40]->fd));
    EXPECT_EQ(-1, orvi_subdev_snapshot(dev).dev_socket.fd);
    EXPECT_EQ(0, orvi_subdev_snapshot(dev).online);
    std::vector<struct pollfd> fds;
    EXPECT_EQ(ORVI_TCP_LINK_MAX, orvi_subdev_tcp_fd_readset_all(list, fds));
    links.clear();
    extra.reset();
    orvi_subdev_tcp_link_list_free(list);
    product_registry_reset_for_test();
}

// ---- Write and read routines on local sockets ------------------------------------------

struct sockaddr_in loopback(unsigned short port) {
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

// A UDP socket on the loopback that plays the device or the app.
struct Peer {
    int fd = -1;
    unsigned short port = 0;
    Peer() {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a = loopback(0);
        bind(fd, reinterpret_cast<struct sockaddr *>(&a), sizeof a);
        port = orvi_socket_local_port(fd);
    }
    ~Peer() { close(fd); }
    // The next datagram and the port it came from; empty after 2 s.
    std::string recv(unsigned short *from_port = nullptr) {
        struct pollfd pf = {fd, POLLIN, 0};
        if (poll(&pf, 1, 2000) != 1) return "";
        char buf[8192];
        struct sockaddr_in from {};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<struct sockaddr *>(&from), &len);
        if (from_port) *from_port = ntohs(from.sin_port);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
    }
    void send_to(unsigned short port, const std::string &s) {
        struct sockaddr_in a = loopback(port);
        sendto(fd, s.data(), s.size(), 0, reinterpret_cast<struct sockaddr *>(&a), sizeof a);
    }
};

class TransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        product_registry_reset_for_test();
        local_mqtt_pending_clear();
        orvi_request_path_wire();
        orvi_socket_ports_t p;
        p.udp_in = 0;
        p.udp_out = 0;
        p.tcp_server = 0;
        p.device_port = peer_.port;
        p.broadcast = INADDR_LOOPBACK;
        orvi_socket_ports_set(p);
        ASSERT_EQ(0, socket_connect_start(nullptr, 0));
    }
    void TearDown() override {
        socket_connect_stop();
        orvi_socket_ports_set(orvi_socket_ports_t{});
        local_mqtt_pending_clear();
        product_registry_reset_for_test();
    }
    static orvi_subdev_ptr record(dev_type_t type, const char *mac = "aabbccddee01") {
        auto d = std::make_shared<orvi_subdev_list_t>();
        orvi_field_set(d->mac, mac);
        d->dev_type = type;
        return d;
    }
    static dev_socket_t sock(connect_type_t type, unsigned short port = 9, const char *topic = "") {
        dev_socket_t s;
        s.type = type;
        s.ip_addr = loopback(port);
        orvi_field_set(s.topic, topic);
        return s;
    }
    int write(const std::string &data, const dev_socket_t &to, const orvi_subdev_ptr &dev) {
        return socket_connect_write(data.data(), data.size(), &to, dev);
    }
    ScratchRoot root_;
    Peer peer_;
};

TEST_F(TransportTest, UdpToADeviceLeavesFromTheSendPortToItsPort) {
    dev_socket_t to = sock(SOCKET_CONNECT_TYPE_UDP, 9);  // the port a request came from does not matter
    ASSERT_EQ(0, write("to-device", to, record(DEV_TYPE_UDP)));
    unsigned short from = 0;
    EXPECT_EQ("to-device", peer_.recv(&from));
    EXPECT_EQ(orvi_socket_udp_out_port(), from);
}

TEST_F(TransportTest, UdpToTheMiniAppGoesBackWhereTheRequestCameFrom) {
    Peer app;
    ASSERT_EQ(0,
              write("to-app", sock(SOCKET_CONNECT_TYPE_UDP, app.port), record(DEV_TYPE_MINIPRO, "miniApp")));
    unsigned short from = 0;
    EXPECT_EQ("to-app", app.recv(&from));
    EXPECT_EQ(orvi_socket_udp_in_port(), from);
}

TEST_F(TransportTest, BroadcastAndMulticastLeaveFromTheSendPort) {
    for (connect_type_t t : {SOCKET_CONNECT_TYPE_BROADCAST, SOCKET_CONNECT_TYPE_MULTICAST}) {
        ASSERT_EQ(0, write("scan", sock(t), nullptr));
        unsigned short from = 0;
        EXPECT_EQ("scan", peer_.recv(&from));
        EXPECT_EQ(orvi_socket_udp_out_port(), from);
    }
}

TEST_F(TransportTest, UdpWithoutAnAddressIsRefused) {
    dev_socket_t to;
    to.type = SOCKET_CONNECT_TYPE_UDP;
    EXPECT_EQ(-1, write("x", to, record(DEV_TYPE_UDP)));
}

TEST_F(TransportTest, TcpWritesThePacketAndANewlineOnTheRecordsLink) {
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
    subdev_tcp_link_list_t *list = orvi_subdev_tcp_link_list();
    ASSERT_EQ(0, orvi_subdev_tcp_link_insert(list, orvi_subdev_tcp_link_create(list, sv[0], nullptr)));
    orvi_subdev_ptr dev = record(DEV_TYPE_WIFI);
    dev->dev_socket.fd = sv[0];
    dev->dev_socket.type = SOCKET_CONNECT_TYPE_TCP;
    ASSERT_EQ(0, write("{\"t\":\"hbok\"}", sock(SOCKET_CONNECT_TYPE_TCP), dev));
    char buf[64] = {0};
    ASSERT_EQ(13, read(sv[1], buf, sizeof buf));
    EXPECT_STREQ("{\"t\":\"hbok\"}\n", buf);
    EXPECT_EQ(dev, orvi_subdev_tcp_link_get(list, sv[0])->subdev_ptr);  // the link now knows its device

    // A peer gone from the list: the record forgets the descriptor.
    ASSERT_EQ(0, orvi_subdev_tcp_link_delete(list, sv[0]));
    close(sv[1]);
    EXPECT_EQ(-1, write("x", sock(SOCKET_CONNECT_TYPE_TCP), dev));
    EXPECT_EQ(-1, dev->dev_socket.fd);
}

TEST_F(TransportTest, TcpRefusesADescriptorThatNowBelongsToAnotherPeer) {
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
    struct sockaddr_in new_peer = loopback(4000);
    subdev_tcp_link_list_t *list = orvi_subdev_tcp_link_list();
    ASSERT_EQ(0, orvi_subdev_tcp_link_insert(list, orvi_subdev_tcp_link_create(list, sv[0], &new_peer)));
    orvi_subdev_ptr dev = record(DEV_TYPE_WIFI);
    dev->dev_socket.fd = sv[0];
    dev->dev_socket.type = SOCKET_CONNECT_TYPE_TCP;
    dev->dev_socket.ip_addr = loopback(3999);  // the peer it spoke on before
    EXPECT_EQ(-1, write("x", sock(SOCKET_CONNECT_TYPE_TCP), dev));
    EXPECT_EQ(-1, dev->dev_socket.fd);
    EXPECT_EQ(-1, orvi_socket_isreadable(sv[1]));  // nothing was written
    orvi_subdev_tcp_link_delete(list, sv[0]);
    close(sv[1]);
}

TEST_F(TransportTest, TcpNeedsARecordWithADescriptor) {
    EXPECT_EQ(-1, write("x", sock(SOCKET_CONNECT_TYPE_TCP), nullptr));
    EXPECT_EQ(-1, write("x", sock(SOCKET_CONNECT_TYPE_TCP), record(DEV_TYPE_WIFI)));
}

TEST_F(TransportTest, TcpPeerThatClosedCostsOneFailedWriteNotTheProcess) {
    int sv[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv));
    subdev_tcp_link_list_t *list = orvi_subdev_tcp_link_list();
    ASSERT_EQ(0, orvi_subdev_tcp_link_insert(list, orvi_subdev_tcp_link_create(list, sv[0], nullptr)));
    close(sv[1]);
    orvi_subdev_ptr dev = record(DEV_TYPE_WIFI);
    dev->dev_socket.fd = sv[0];
    dev->dev_socket.type = SOCKET_CONNECT_TYPE_TCP;
    EXPECT_EQ(-1, write("x", sock(SOCKET_CONNECT_TYPE_TCP), dev));  // EPIPE, no SIGPIPE
    orvi_subdev_tcp_link_delete(list, sv[0]);
}

// ---- The channels as start-up wires them --------------------------------------

// What the request task writes goes by the target's channel: the LAN ones to
// these sockets, the cloud and BLE to their links, the event channel to the
// local broker; a channel nobody serves is refused.
int wired_write(const std::string &data, const dev_socket_t &to, const orvi_subdev_ptr &dev = nullptr) {
    return orvi_transport_write(data.data(), data.size(), &to, dev);
}

TEST_F(TransportTest, WiredLanChannelsLeaveThroughTheseSockets) {
    ASSERT_EQ(0, wired_write("to-device", sock(SOCKET_CONNECT_TYPE_UDP), record(DEV_TYPE_UDP)));
    EXPECT_EQ("to-device", peer_.recv());
    ASSERT_EQ(0, wired_write("scan", sock(SOCKET_CONNECT_TYPE_BROADCAST)));
    EXPECT_EQ("scan", peer_.recv());
}

TEST_F(TransportTest, MqttPublishesWithQos1RetainedOnlyForConnectTopics) {
    LinkRecorder links;
    ASSERT_EQ(0, wired_write("P1", sock(SOCKET_CONNECT_TYPE_MQTT, 0, "connect/HOME")));
    ASSERT_EQ(0, wired_write("P2", sock(SOCKET_CONNECT_TYPE_MQTT, 0, "response/HOME/dev")));
    EXPECT_EQ(std::vector<std::string>(
                  {"mqtt_response_api connect/HOME P1 1 1", "mqtt_response_api response/HOME/dev P2 1 0"}),
              links.calls());
    links.set_result(-1);
    EXPECT_EQ(-1, wired_write("P3", sock(SOCKET_CONNECT_TYPE_MQTT, 0, "response/HOME")));
}

TEST_F(TransportTest, BleGoesToTheBleChannel) {
    LinkRecorder links;
    ASSERT_EQ(0, wired_write("B", sock(SOCKET_CONNECT_TYPE_BLE)));
    EXPECT_EQ(std::vector<std::string>({"orvi_bt_data_send B"}), links.calls());
}

TEST_F(TransportTest, EventChannelPublishesOnItsTopicOrTheHostTopic) {
    ASSERT_EQ(0, wired_write("E1", sock(SOCKET_CONNECT_TYPE_UDS, 0, "Timer/set/ok")));
    ASSERT_EQ(0, wired_write("E2", sock(SOCKET_CONNECT_TYPE_UDS)));
    std::vector<local_pub_msg_t> q = local_mqtt_pending(LOCAL_PUB_LIST_CONTROL);
    ASSERT_EQ(2u, q.size());
    EXPECT_EQ("Timer/set/ok", q[0].topic);
    EXPECT_EQ("E1", q[0].payload);
    EXPECT_EQ("/host", q[1].topic);
    EXPECT_EQ("E2", q[1].payload);
}

// The cloud link and the BLE channel are not built: without an
// implementation their answers are failures, never a false success.
TEST_F(TransportTest, LinksNotBuiltAnswerFailure) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, mqtt_response_api("response/HOME", "x", 1, 1, 0));
    EXPECT_EQ(-1, orvi_bt_data_send("x", 1));
    EXPECT_EQ(-1, wired_write("P", sock(SOCKET_CONNECT_TYPE_MQTT, 0, "response/HOME")));
    EXPECT_EQ(-1, wired_write("B", sock(SOCKET_CONNECT_TYPE_BLE)));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("mqtt_response_api: the cloud link is not built")) << out;
    EXPECT_NE(std::string::npos, out.find("orvi_bt_data_send: the BLE data channel is not built")) << out;
}

TEST_F(TransportTest, ChannelsWithoutATransportAreRefused) {
    for (connect_type_t t : {SOCKET_CONNECT_TYPE_HTTP, SOCKET_CONNECT_TYPE_NONE}) {
        EXPECT_EQ(-1, wired_write("x", sock(t))) << t;
    }
    // One past the last channel.
    dev_socket_t beyond = sock(static_cast<connect_type_t>(SOCKET_CONNECT_TYPE_BLE + 1));
    EXPECT_EQ(-1, wired_write("x", beyond));
    EXPECT_EQ(-2, orvi_transport_set_writer(beyond.type, socket_connect_write));
    EXPECT_EQ(-1, orvi_transport_write(nullptr, 1, &beyond, nullptr));
    // The LAN write routine serves the LAN channels only.
    for (connect_type_t t : {SOCKET_CONNECT_TYPE_MQTT, SOCKET_CONNECT_TYPE_UDS, SOCKET_CONNECT_TYPE_BLE,
                             SOCKET_CONNECT_TYPE_HTTP, SOCKET_CONNECT_TYPE_NONE}) {
        EXPECT_EQ(-1, write("x", sock(t), nullptr)) << t;
    }
    EXPECT_EQ(-1, socket_connect_write("x", 1, nullptr, nullptr));
}

TEST_F(TransportTest, ReadTakesOneDatagramWithItsSenderAndRefusesOversizedOnes) {
    unsigned short in = orvi_socket_udp_in_port();
    ASSERT_NE(0, in);
    peer_.send_to(in, std::string(ORVI_PACKET_MAX + 1, 'x'));
    peer_.send_to(in, std::string(ORVI_PACKET_MAX, 'y'));
    request_type_t req;
    EXPECT_EQ(-1, socket_connect_read(&req));
    ASSERT_EQ(0, socket_connect_read(&req));
    EXPECT_EQ(std::string(ORVI_PACKET_MAX, 'y'), req.data);
    EXPECT_EQ(SOCKET_CONNECT_TYPE_UDP, req.sockinfo.type);
    EXPECT_EQ(peer_.port, ntohs(req.sockinfo.ip_addr.sin_port));
    EXPECT_EQ(DATA_TYPE_NEED_PARSE, req.data_type);
}

TEST_F(TransportTest, TcpClientChannelDeliversTwoLinesOfOneReadOneByOne) {
    int srv = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = loopback(0);
    ASSERT_EQ(0, bind(srv, reinterpret_cast<struct sockaddr *>(&a), sizeof a));
    ASSERT_EQ(0, listen(srv, 1));
    unsigned short port = orvi_socket_local_port(srv);
    ASSERT_EQ(0, socket_connect_start("127.0.0.1", port));
    int c = accept(srv, nullptr, nullptr);
    ASSERT_GE(c, 0);
    std::string two = kA + "\n" + kB + "\n";
    ASSERT_EQ(static_cast<ssize_t>(two.size()), ::write(c, two.data(), two.size()));
    request_type_t r1, r2;
    ASSERT_EQ(0, socket_connect_read(&r1));
    close(c);  // nothing more arrives: the second line must already be there
    ASSERT_EQ(0, socket_connect_read(&r2));
    EXPECT_EQ(kA, r1.data);
    EXPECT_EQ(kB, r2.data);
    EXPECT_EQ(SOCKET_CONNECT_TYPE_TCP, r2.sockinfo.type);
    // The peer's close is reported once and the channel given up.
    request_type_t r3;
    EXPECT_EQ(-1, socket_connect_read(&r3));
    close(srv);
}

}  // namespace
