// The table is guarded by one mutex, never held while a callback runs:
// callbacks create, restart and delete timers (their own among them). The
// tick therefore examines one slot at a time: under the lock it counts the
// slot down and copies the callback if due, then calls it unlocked. A slot a
// callback deletes or stops is seen in its new state when the tick reaches it.
#include "orvi_timer.h"

#include <pthread.h>
#include <sys/times.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string_view>
#include <system_error>
#include <thread>

#include "orvi_field.h"
#include "orvi_lock_order.h"
#include "orvi_log.h"

// Serialises whole ticks, so callbacks of two ticks never overlap.
orvi::Mutex orvi_timer_tick_run_mu;
orvi::Mutex orvi_timer_list_mu;
orvi::Mutex orvi_timer_thread_mu;

namespace {

orvi_timer_list_t g_timer_list GUARDED_BY(orvi_timer_list_mu);
uint64_t g_tick_seq GUARDED_BY(orvi_timer_list_mu) = 0;  // ticks run so far; stamps `armed_tick`
int g_tick_count GUARDED_BY(orvi_timer_list_mu) = 0;     // drives the five-second line

std::thread g_tick_thread GUARDED_BY(orvi_timer_thread_mu);
std::atomic<bool> g_tick_stop{false};

bool slot_in_use(orvi_timer_t id) REQUIRES(orvi_timer_list_mu) {
    return id >= 0 && id < ORVI_TIMER_MAX && g_timer_list.list[id].state != TIMER_NULL;
}

// Logs the common refusal when `id` is not a timer.
orvi_timer_info_t *slot_or_log(orvi_timer_t id) REQUIRES(orvi_timer_list_mu) {
    if (!slot_in_use(id)) {
        ORVI_LOGW("id %d timer is not exist!", id);
        return nullptr;
    }
    return &g_timer_list.list[id];
}

bool period_ok(long period_ms) {
    if (period_ms < ORVI_TIMER_TICK_MS) {
        ORVI_LOGW("%ld msperiod is too small!", period_ms);
        return false;
    }
    return true;
}

void rearm(orvi_timer_info_t &t) REQUIRES(orvi_timer_list_mu) {
    t.fov = t.period;
    t.state = TIMER_START;
    t.armed_tick = g_tick_seq;
}

void add_ms(struct timespec &ts, long ms) {
    ts.tv_nsec += (ms % 1000) * 1000000L;
    ts.tv_sec += ms / 1000 + ts.tv_nsec / 1000000000L;
    ts.tv_nsec %= 1000000000L;
}

bool later_than(const struct timespec &a, const struct timespec &b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// Sleeps against absolute monotonic deadlines, so the time the callbacks take
// does not stretch the period. After a long stall (a callback stuck for
// seconds, a starved process) the missed ticks are dropped rather than run
// in a burst.
void tick_thread_main() {
    pthread_setname_np(pthread_self(), "orvi_tick");
    struct timespec next {};
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (!g_tick_stop.load()) {
        add_ms(next, ORVI_TIMER_TICK_MS);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
        if (g_tick_stop.load()) break;
        orvi_timer_tick_once();
        struct timespec now = {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        struct timespec stale = next;
        add_ms(stale, 10 * ORVI_TIMER_TICK_MS);
        if (later_than(now, stale)) next = now;
    }
}

void second_timer_cb(void *) {
    orvi_time_refresh();
}

// Scaled to 100 per second whatever the kernel's clock-tick rate.
orvi_ticktype_t raw_ticks() {
    struct tms t;
    clock_t c = times(&t);
    static const long hz = [] {
        long v = sysconf(_SC_CLK_TCK);
        return v > 0 ? v : 100;
    }();
    auto v = static_cast<orvi_ticktype_t>(static_cast<unsigned long>(c));
    return hz == 100 ? v : v * 100 / static_cast<orvi_ticktype_t>(hz);
}

const orvi_ticktype_t g_ticks_at_start = raw_ticks();

}  // namespace

orvi_timer_t orvi_timer_create(const char *name, orvi_timer_cb_t cb, long period_ms, void *ctx,
                               uint8_t flag) {
    ORVI_CHECK_ARG(name && name[0] && cb, -1);
    if (!period_ok(period_ms)) return -1;
    std::string_view nv(name);
    if (nv.size() >= ORVI_TIMER_NAME_LEN) {
        ORVI_LOGW("timer name %s is too long!", name);
        return -1;
    }
    orvi::MutexLock lk(orvi_timer_list_mu);
    int free_slot = -1;
    for (int i = 0; i < ORVI_TIMER_MAX; ++i) {
        orvi_timer_info_t &t = g_timer_list.list[i];
        if (t.state != TIMER_NULL && orvi_field_view(t.name) == nv) {
            ORVI_LOGW("timer %s is already exist!", name);
            return -1;
        }
        if (free_slot < 0 && t.state == TIMER_NULL) free_slot = i;
    }
    if (free_slot < 0) {
        ORVI_LOGW("timer list is full!");
        return -1;
    }
    orvi_timer_info_t &t = g_timer_list.list[free_slot];
    orvi_field_set(t.name, nv);
    t.period = static_cast<orvi_ticktype_t>(period_ms / ORVI_TIMER_TICK_MS);
    t.flag = flag;
    t.cb = cb;
    t.ctx = ctx;
    rearm(t);
    g_timer_list.num++;
    return free_slot;
}

int orvi_timer_start(orvi_timer_t id) {
    orvi::MutexLock lk(orvi_timer_list_mu);
    orvi_timer_info_t *t = slot_or_log(id);
    if (!t) return -1;
    rearm(*t);
    return 0;
}

int orvi_timer_stop(orvi_timer_t id) {
    orvi::MutexLock lk(orvi_timer_list_mu);
    orvi_timer_info_t *t = slot_or_log(id);
    if (!t) return -1;
    t->fov = t->period;
    t->state = TIMER_STOP;
    return 0;
}

int orvi_timer_change(orvi_timer_t id, long period_ms) {
    orvi::MutexLock lk(orvi_timer_list_mu);
    orvi_timer_info_t *t = slot_or_log(id);
    if (!t || !period_ok(period_ms)) return -1;
    t->period = static_cast<orvi_ticktype_t>(period_ms / ORVI_TIMER_TICK_MS);
    rearm(*t);
    return 0;
}

long orvi_timer_get_period(orvi_timer_t id) {
    orvi::MutexLock lk(orvi_timer_list_mu);
    orvi_timer_info_t *t = slot_or_log(id);
    return t ? static_cast<long>(t->period * ORVI_TIMER_TICK_MS) : -1;
}

int orvi_timer_get_state(orvi_timer_t id) {
    orvi::MutexLock lk(orvi_timer_list_mu);
    orvi_timer_info_t *t = slot_or_log(id);
    return t ? static_cast<int>(t->state) : -1;
}

int orvi_timer_delete(orvi_timer_t *id) {
    ORVI_CHECK_ARG(id, -1);
    orvi::MutexLock lk(orvi_timer_list_mu);
    orvi_timer_info_t *t = slot_or_log(*id);
    if (!t) return -1;
    *t = orvi_timer_info_t{};
    g_timer_list.num--;
    *id = -1;
    return 0;
}

void orvi_timer_tick_once(void) {
    orvi::MutexLock run(orvi_timer_tick_run_mu);
    uint64_t seq;
    bool tock = false;
    {
        orvi::MutexLock lk(orvi_timer_list_mu);
        seq = ++g_tick_seq;
        if (++g_tick_count > 50) {
            g_tick_count = 0;
            tock = true;
        }
    }
    if (tock) ORVI_LOGI("this's tick tock at 5 seconds");
    for (int i = 0; i < ORVI_TIMER_MAX; ++i) {
        orvi_timer_cb_t cb = nullptr;
        void *ctx = nullptr;
        {
            orvi::MutexLock lk(orvi_timer_list_mu);
            orvi_timer_info_t &t = g_timer_list.list[i];
            if (t.state != TIMER_START || t.armed_tick == seq) continue;
            if (t.fov > 0) t.fov--;
            if (t.fov > 0) continue;
            if (t.flag == 1) {
                t.fov = t.period;
            } else {
                t.state = TIMER_STOP;
                t.fov = t.period;
            }
            cb = t.cb;
            ctx = t.ctx;
        }
        if (cb) cb(ctx);
    }
}

int orvi_timer_service_start(void) {
    orvi::MutexLock lk(orvi_timer_thread_mu);
    if (g_tick_thread.joinable()) return 0;
    g_tick_stop.store(false);
    try {
        g_tick_thread = std::thread(tick_thread_main);
    } catch (const std::system_error &e) {
        ORVI_LOGW("create timer tick thread failed!!! %s", e.what());
        return -1;
    }
    return 0;
}

void orvi_timer_service_stop(void) {
    {
        orvi::MutexLock lk(orvi_timer_thread_mu);
        if (g_tick_thread.joinable()) {
            g_tick_stop.store(true);
            g_tick_thread.join();
        }
    }
    orvi::MutexLock run(orvi_timer_tick_run_mu);
    orvi::MutexLock lk(orvi_timer_list_mu);
    g_timer_list = orvi_timer_list_t{};
    g_tick_count = 0;
}

int orvi_timer_init(void) {
    int rc = orvi_timer_service_start();
    orvi_time_refresh();
    second_period_timer_start();
    return rc;
}

orvi_timer_t second_period_timer_start(void) {
    return orvi_timer_create("second_timer", second_timer_cb, 1000, nullptr, 1);
}

orvi_ticktype_t orvi_get_ticks(void) {
    return raw_ticks() - g_ticks_at_start;
}
