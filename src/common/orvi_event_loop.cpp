// Events travel as {event, ctx} pairs inside the 128-byte text of a System V
// message, so posting an event allocates nothing. The consumer pauses 50 ms
// after every receive, which bounds the rate at 20 events a second.
#include "orvi_event_loop.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "orvi_lock_order.h"
#include "orvi_log.h"
#include "orvi_port.h"
#include "orvi_queue.h"
#include "orvi_system.h"
#include "orvi_timer.h"

orvi::Mutex orvi_event_loop_init_mu;  // serialises init and deinit
orvi::Mutex orvi_event_loop_consumer_mu;
orvi::Mutex orvi_event_loop_delay_mu;

namespace {

constexpr int kEventLoopProjId = 11;
constexpr int64_t kEventMsgType = 1;
// Posted only by the deinit, to wake a consumer blocked on an empty queue.
constexpr int64_t kStopMsgType = 2;
constexpr unsigned kPauseMs = 50;

static_assert(sizeof(orvi_event_loop_data_t) <= ORVI_QUEUE_MSG_SIZE, "an event must fit one message");

std::atomic<int> g_event_queue_handle{-1};
std::atomic<orvi_event_loop_cb_t> g_event_handler_cb{nullptr};
pthread_t g_event_loop_tid;

// Bumped (release) by every post before its message goes, read (acquire) by
// the consumer after a message came: what a poster wrote into an event's
// context is then ordered before the handler reads it. The message queue is
// a system call, which the C++ memory model (and ThreadSanitizer) does not
// count as a handover.
std::atomic<uint64_t> g_posted{0};

// Lets the deinit wait for the detached consumer.
orvi::CondVar g_consumer_cv;
bool g_consumer_running GUARDED_BY(orvi_event_loop_consumer_mu) = false;
std::atomic<bool> g_consumer_stop{false};

// The pending delayed event. The timer's context is the generation number,
// not the record: a callback that fires while the deinit cancels the event
// finds a newer generation (or none) and does nothing.
orvi_timer_t event_loop_delay_timer GUARDED_BY(orvi_event_loop_delay_mu) = -1;
orvi_event_loop_data_t *g_delay_data GUARDED_BY(orvi_event_loop_delay_mu) = nullptr;
uintptr_t g_delay_gen GUARDED_BY(orvi_event_loop_delay_mu) = 0;

void handle_message(const orvi_msgbuf_t &msg) {
    g_posted.load(std::memory_order_acquire);
    orvi_event_loop_data_t event_data;
    std::memcpy(&event_data, msg.mtext, sizeof event_data);
    ORVI_LOGD("event_data.event ->%d", static_cast<int>(event_data.event));
    orvi_event_loop_cb_t cb = g_event_handler_cb.load();
    if (!cb) {
        ORVI_LOGW("Event handler is empty");
        return;
    }
    if (cb(event_data.event, event_data.ctx) != 0) ORVI_LOGW("Event handling failed");
}

void *orvi_event_loop_task(void *arg) {
    const int queue = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    orvi_msgbuf_t msg;
    while (!g_consumer_stop.load()) {
        ssize_t n = orvi_queue_recv(queue, &msg, ORVI_QUEUE_MSG_SIZE, 0);
        if (g_consumer_stop.load()) break;
        if (n < 0)
            ORVI_LOGW("g_event_queue_handle recv is fail!");
        else if (msg.mtype == kEventMsgType)
            handle_message(msg);
        orvi_port_sleep_ms(kPauseMs);
    }
    // Notified under the lock, so the deinit cannot return while this thread
    // still uses the condition variable.
    orvi::MutexLock lk(orvi_event_loop_consumer_mu);
    g_consumer_running = false;
    g_consumer_cv.signal_all();
    return nullptr;
}

void event_loop_delay_cb(void *arg) {
    orvi::MutexLock lk(orvi_event_loop_delay_mu);
    if (!g_delay_data || reinterpret_cast<uintptr_t>(arg) != g_delay_gen) return;
    std::unique_ptr<orvi_event_loop_data_t> event_data(g_delay_data);
    g_delay_data = nullptr;
    ORVI_LOGD("event_data->event -> %d", static_cast<int>(event_data->event));
    orvi_event_loop_send(event_data->event, event_data->ctx);
    orvi_timer_delete(&event_loop_delay_timer);
}

void cancel_delayed_locked() REQUIRES(orvi_event_loop_delay_mu) {
    if (event_loop_delay_timer != -1) orvi_timer_delete(&event_loop_delay_timer);
    delete g_delay_data;
    g_delay_data = nullptr;
    g_delay_gen++;
}

bool consumer_running() {
    orvi::MutexLock lk(orvi_event_loop_consumer_mu);
    return g_consumer_running;
}

}  // namespace

int orvi_event_loop_init(orvi_event_loop_cb_t cb) {
    ORVI_CHECK_ARG(cb, -2);
    orvi::MutexLock lk(orvi_event_loop_init_mu);
    if (consumer_running()) {
        ORVI_LOGW("<%d> The event loop has been initialized", -1);
        return -1;
    }
    if (g_event_queue_handle.load() == -1) {
        int q = orvi_queue_create(ORVI_QUEUE_PATH, kEventLoopProjId);
        if (q < 0) return -1;
        g_event_queue_handle.store(q);
    }
    g_event_handler_cb.store(cb);
    g_consumer_stop.store(false);
    {
        orvi::MutexLock clk(orvi_event_loop_consumer_mu);
        g_consumer_running = true;
    }
    void *arg = reinterpret_cast<void *>(static_cast<intptr_t>(g_event_queue_handle.load()));
    int rc = orvi_pthread_create_detach(&g_event_loop_tid, nullptr, orvi_event_loop_task, arg,
                                        "orvi_event_loop_task");
    if (rc != 0) {
        orvi::MutexLock clk(orvi_event_loop_consumer_mu);
        g_consumer_running = false;
        g_event_handler_cb.store(nullptr);
    }
    return rc;
}

int orvi_event_loop_send(orvi_event_loop_t event, void *ctx) {
    int q = g_event_queue_handle.load();
    if (q == -1) {
        ORVI_LOGW("<%d> The event loop isn't initialized", -1);
        return -1;
    }
    orvi_msgbuf_t msg{};
    msg.mtype = kEventMsgType;
    orvi_event_loop_data_t event_data{event, ctx};
    std::memcpy(msg.mtext, &event_data, sizeof event_data);
    g_posted.fetch_add(1, std::memory_order_release);
    if (orvi_queue_send(q, &msg, ORVI_QUEUE_MSG_SIZE, IPC_NOWAIT) != 0) {
        ORVI_LOGW("<%d> g_event_queue_handle send is failed!", -1);
        return -1;
    }
    return 0;
}

int orvi_event_loop_delay_send(orvi_event_loop_t event, void *ctx, uint32_t delay_ms) {
    if (delay_ms == 0) return orvi_event_loop_send(event, ctx);
    std::unique_ptr<orvi_event_loop_data_t> event_data(new (std::nothrow) orvi_event_loop_data_t{event, ctx});
    if (!event_data) ORVI_NO_MEM(sizeof(orvi_event_loop_data_t));
    orvi::MutexLock lk(orvi_event_loop_delay_mu);
    uintptr_t gen = g_delay_gen + 1;
    orvi_timer_t id = orvi_timer_create("event_loop_delay", event_loop_delay_cb, static_cast<long>(delay_ms),
                                        reinterpret_cast<void *>(gen), 0);
    if (id < 0) {
        ORVI_LOGW("event_loop_delay timer is fail!");
        return -1;
    }
    // A record still here means its timer vanished without firing (the
    // table was emptied); it can never be delivered now.
    delete g_delay_data;
    g_delay_gen = gen;
    g_delay_data = event_data.release();
    event_loop_delay_timer = id;
    ORVI_LOGI("event_loop_delay timer is success, id : %d", id);
    return 0;
}

int orvi_event_loop_set(orvi_event_loop_cb_t cb) {
    g_event_handler_cb.store(cb);
    return 0;
}

int orvi_event_loop_deinit(void) {
    orvi::MutexLock lk(orvi_event_loop_init_mu);
    if (!consumer_running()) return -1;
    {
        orvi::MutexLock dlk(orvi_event_loop_delay_mu);
        cancel_delayed_locked();
    }
    const int q = g_event_queue_handle.load();
    g_consumer_stop.store(true);
    // On a full queue the wake-up cannot be posted, but then the consumer is
    // not blocked either: its next receive returns at once and sees the flag.
    orvi_msgbuf_t wake{};
    wake.mtype = kStopMsgType;
    orvi_queue_send(q, &wake, ORVI_QUEUE_MSG_SIZE, IPC_NOWAIT);
    {
        orvi::MutexLock clk(orvi_event_loop_consumer_mu);
        g_consumer_cv.wait(orvi_event_loop_consumer_mu,
                           []() REQUIRES(orvi_event_loop_consumer_mu) { return !g_consumer_running; });
    }
    orvi_queue_delete(q);
    g_event_queue_handle.store(-1);
    g_event_handler_cb.store(nullptr);
    return 0;
}

int orvi_event_loop(orvi_event_loop_t event, void *ctx) {
    orvi_event_loop_cb_t cb = g_event_handler_cb.load();
    if (!cb) {
        ORVI_LOGW("Event handler is empty");
        return -1;
    }
    return cb(event, ctx);
}
