// The request path wired the way a test or a benchmark wants it, through
// the same seams start-up uses: a dispatch of its own (the handlers' tables
// with the rows it names answering through its own handlers), installed with
// request_dispatch_set, and one writer on every channel, installed with
// orvi_transport_set_writer, that hands what the request task writes to the
// caller. request_wiring::restore() puts start-up's wiring back.
// Header only: the benchmarks use it too.
#pragma once

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "orvi_handlers.h"
#include "orvi_main.h"
#include "orvi_request.h"
#include "orvi_transport.h"

namespace request_wiring {

// A copy of a dispatch's tables whose rows can answer through other
// handlers. It must outlive its installation: put start-up's wiring back
// before it goes.
class dispatch {
  public:
    explicit dispatch(const request_dispatch_t *base = orvi_handlers_dispatch()) {
        if (base == nullptr) return;
        d_ = *base;
        for (const request_handle_row_t *r = base->handles; r && r->name; ++r)
            handles_.push_back(*r);
        for (const request_send_row_t *r = base->sends; r && r->name; ++r)
            sends_.push_back(*r);
        handles_.push_back({nullptr, 0, false, nullptr});
        sends_.push_back({nullptr, nullptr});
        d_.handles = handles_.data();
        d_.sends = sends_.data();
    }
    dispatch(const dispatch &) = delete;
    dispatch &operator=(const dispatch &) = delete;

    // The receive (send) row named exactly `name` answers through `fn`;
    // false when the tables have no such row.
    bool replace(const char *name, request_handle_fn fn) { return replace_in(handles_, name, fn); }
    bool replace_send(const char *name, request_send_fn fn) { return replace_in(sends_, name, fn); }
    // request_dispatch_set's answer.
    int install() const { return request_dispatch_set(&d_); }

  private:
    template <typename Row, typename Fn>
    static bool replace_in(std::vector<Row> &rows, const char *name, Fn fn) {
        for (Row &r : rows) {
            if (r.name && name && std::strcmp(r.name, name) == 0) {
                r.handle = fn;
                return true;
            }
        }
        return false;
    }

    std::vector<request_handle_row_t> handles_;
    std::vector<request_send_row_t> sends_;
    request_dispatch_t d_{};
};

// What the request task writes: the wrapped packet, where it goes (over
// MQTT the socket carries the topic) and the target record.
using write_fn = std::function<int(const std::string &data, const dev_socket_t &to, const orvi_subdev_ptr &dev)>;

namespace detail {
inline std::mutex &writer_mu() {
    static std::mutex mu;
    return mu;
}
inline write_fn &writer() {
    static write_fn fn;
    return fn;
}
inline int write_through(const char *data, size_t size, const dev_socket_t *to, const orvi_subdev_ptr &dev) {
    write_fn fn;
    {
        std::lock_guard<std::mutex> lk(writer_mu());
        fn = writer();
    }
    return fn ? fn(std::string(data, size), *to, dev) : -1;
}
}  // namespace detail

// Every channel, SOCKET_CONNECT_TYPE_NONE included, writes through `fn`.
inline void writers_set(write_fn fn) {
    {
        std::lock_guard<std::mutex> lk(detail::writer_mu());
        detail::writer() = std::move(fn);
    }
    for (int t = SOCKET_CONNECT_TYPE_NONE; t <= SOCKET_CONNECT_TYPE_BLE; ++t)
        orvi_transport_set_writer(static_cast<connect_type_t>(t), detail::write_through);
}

// Start-up's wiring again: its dispatch, and its writers on the channels it
// serves and none on the others.
inline void restore() {
    for (int t = SOCKET_CONNECT_TYPE_NONE; t <= SOCKET_CONNECT_TYPE_BLE; ++t)
        orvi_transport_set_writer(static_cast<connect_type_t>(t), nullptr);
    {
        std::lock_guard<std::mutex> lk(detail::writer_mu());
        detail::writer() = nullptr;
    }
    orvi_request_path_wire();
}

}  // namespace request_wiring
