// Transport threads deliver and write while start-up (or a test) installs the
// sink and the writers: a swap must never leave a thread calling a sink that
// is being replaced, and every packet reaches exactly one sink or is refused.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "orvi_transport.h"

namespace {

std::atomic<int> g_written{0};

int count_write(const char *, size_t, const dev_socket_t *, const orvi_subdev_ptr &) {
    g_written.fetch_add(1);
    return 0;
}

}  // namespace

TEST(TransportSinkThreads, DeliveriesAndWritesWhileTheSinkAndWritersAreSwapped) {
    constexpr int kThreads = 4, kEach = 2000;
    std::atomic<int> taken_a{0}, taken_b{0}, refused{0}, failed_writes{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            request_type_t req;
            req.data = "{\"t\":\"hb\"}";
            dev_socket_t to;
            to.type = SOCKET_CONNECT_TYPE_UDP;
            for (int i = 0; i < kEach; ++i) {
                if (orvi_transport_deliver(req) != 0) refused.fetch_add(1);
                (void)orvi_transport_pending();
                if (orvi_transport_write("x", 1, &to, nullptr) != 0) failed_writes.fetch_add(1);
            }
        });
    }
    std::thread swapper([&] {
        for (int i = 0; !done.load(); ++i) {
            orvi_request_sink_t s;
            std::atomic<int> *taken = i % 2 ? &taken_a : &taken_b;
            s.send = [taken](const request_type_t &) {
                taken->fetch_add(1);
                return 0;
            };
            s.pending = [] { return size_t{0}; };
            if (i % 3 == 0) s = {};
            orvi_transport_set_sink(std::move(s));
            orvi_transport_set_writer(SOCKET_CONNECT_TYPE_UDP, i % 3 == 1 ? nullptr : count_write);
            std::this_thread::yield();
        }
    });
    for (auto &th : threads)
        th.join();
    done.store(true);
    swapper.join();
    orvi_transport_set_sink({});
    orvi_transport_set_writer(SOCKET_CONNECT_TYPE_UDP, nullptr);
    EXPECT_EQ(kThreads * kEach, taken_a.load() + taken_b.load() + refused.load());
    EXPECT_EQ(kThreads * kEach, g_written.load() + failed_writes.load());
}
