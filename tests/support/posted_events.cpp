// The loop keeps the order of posting, so a marker posted last arrives
// last: once it has, everything posted before it has been recorded.
#include "posted_events.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "orvi_event_post.h"
#include "orvi_field.h"

namespace {

constexpr orvi_event_loop_t kMarker = 9999;

std::mutex g_mu;
std::condition_variable g_cv;
std::vector<posted_event_t> g_events;  // guarded by g_mu
unsigned g_markers = 0;                // guarded by g_mu

int record(orvi_event_loop_t event, void *ctx) {
    std::unique_ptr<orvi_event_ctx_t> c(static_cast<orvi_event_ctx_t *>(ctx));
    posted_event_t e;
    e.event = event;
    if (c) {
        e.dev = c->dev;
        if (c->dev) e.mac = orvi_field_view(orvi_subdev_snapshot(c->dev).mac);
        e.text = c->text;
        e.value = c->value;
    }
    std::lock_guard<std::mutex> lk(g_mu);
    if (event == kMarker)
        ++g_markers;
    else
        g_events.push_back(std::move(e));
    g_cv.notify_all();
    return 0;
}

void settle() {
    std::unique_lock<std::mutex> lk(g_mu);
    const unsigned seen = g_markers;
    lk.unlock();
    if (orvi_event_loop_send(kMarker, nullptr) != 0) return;
    lk.lock();
    g_cv.wait_for(lk, std::chrono::seconds(10), [seen] { return g_markers > seen; });
}

std::vector<posted_event_t> select(posted_event_filter_t which, bool take) {
    settle();
    std::lock_guard<std::mutex> lk(g_mu);
    std::vector<posted_event_t> out, kept;
    for (posted_event_t &e : g_events) {
        if (!which || which(e.event))
            out.push_back(take ? std::move(e) : e);
        else if (take)
            kept.push_back(std::move(e));
    }
    if (take) g_events.swap(kept);
    return out;
}

}  // namespace

int posted_events_start(void) {
    orvi_event_loop_deinit();
    {
        std::lock_guard<std::mutex> lk(g_mu);
        g_events.clear();
    }
    return orvi_event_loop_init(record);
}

std::vector<posted_event_t> posted_events_take(posted_event_filter_t which) {
    return select(which, true);
}

std::vector<posted_event_t> posted_events_peek(posted_event_filter_t which) {
    return select(which, false);
}

void posted_events_stop(void) {
    settle();
    orvi_event_loop_deinit();
    std::lock_guard<std::mutex> lk(g_mu);
    g_events.clear();
}
