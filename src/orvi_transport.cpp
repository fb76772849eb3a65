// The sink is held by shared ownership and taken by copy under its lock, so
// a transport thread never calls into a sink that start-up or a test is
// replacing at that moment, and never holds the lock while it calls.
#include "orvi_transport.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "orvi_lock_order.h"
#include "orvi_log.h"

orvi::Mutex orvi_transport_sink_mu;

namespace {

std::shared_ptr<const orvi_request_sink_t> g_sink GUARDED_BY(orvi_transport_sink_mu);

constexpr size_t kChannels = static_cast<size_t>(SOCKET_CONNECT_TYPE_BLE) + 1;
std::array<std::atomic<orvi_transport_write_fn>, kChannels> g_writers{};

std::atomic<int (*)(void)> g_stop{nullptr};

std::shared_ptr<const orvi_request_sink_t> sink() {
    orvi::MutexLock lk(orvi_transport_sink_mu);
    return g_sink;
}

}  // namespace

void orvi_transport_set_sink(orvi_request_sink_t s) {
    std::shared_ptr<const orvi_request_sink_t> next;
    if (s.send) next = std::make_shared<const orvi_request_sink_t>(std::move(s));
    orvi::MutexLock lk(orvi_transport_sink_mu);
    g_sink = std::move(next);
}

int orvi_transport_deliver(const request_type_t &req) {
    std::shared_ptr<const orvi_request_sink_t> s = sink();
    if (!s) {
        ORVI_LOGW("no request sink is wired, packet of %zu bytes dropped", req.data.size());
        return -1;
    }
    return s->send(req);
}

size_t orvi_transport_pending(void) {
    std::shared_ptr<const orvi_request_sink_t> s = sink();
    if (!s) return SIZE_MAX;
    return s->pending ? s->pending() : 0;
}

int orvi_transport_set_writer(connect_type_t type, orvi_transport_write_fn fn) {
    const size_t i = static_cast<size_t>(type);
    if (i >= kChannels) return -2;
    g_writers[i].store(fn);
    return 0;
}

int orvi_transport_write(const char *data, size_t size, const dev_socket_t *to, const orvi_subdev_ptr &dev) {
    if (!data || !to) {
        ORVI_LOGW("parameters error!");
        return -1;
    }
    const size_t i = static_cast<size_t>(to->type);
    orvi_transport_write_fn fn = i < kChannels ? g_writers[i].load() : nullptr;
    if (!fn) {
        ORVI_LOGW("connect type %d has no transport!", static_cast<int>(to->type));
        return -1;
    }
    return fn(data, size, to, dev);
}

void orvi_transport_set_stop(int (*stop)(void)) {
    g_stop.store(stop);
}

void orvi_transport_stop(void) {
    int (*stop)(void) = g_stop.load();
    if (stop) stop();
}
