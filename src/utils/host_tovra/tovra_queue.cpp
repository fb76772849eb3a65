#include "tovra_queue.h"

#include <algorithm>
#include <cstring>

#include "orvi_lock_order.h"
#include "orvi_timer.h"
#include "tovra_hooks.h"
#include "tovra_payload.h"

tovra_tm_100ms_t tm_100ms;
tovra_tm_1s_t tm_1s;
std::atomic<int> tovra_scene_lock2_flag{0};
std::atomic<int> tovra_scene_lock3_flag{0};

orvi::Mutex tovra_queue_mu;

namespace {

struct tovra_msg_queue {
    uint16_t save_count;
    uint16_t save_index;
    uint16_t send_index;
    tovra_msg_t msg[TOVRA_QUEUE_SIZE];
};

// Tenths of a second into the current second, and seconds since the last
// minute mark, counted by the tick itself.
std::atomic<int> g_tenths{0};
std::atomic<int> g_seconds{0};
// The local second of the day at the last 1 s step, -1 before the first.
std::atomic<long> g_last_sod{-1};

// The queues hold four times 1024 records: static, never allocated.
tovra_msg_queue g_queues[TOVRA_QUEUE_NUM] GUARDED_BY(tovra_queue_mu);

const char *const kQueueName[TOVRA_QUEUE_NUM] = {"fa_queue", "fa_scene_bind_queue", "fa_scene_queue",
                                                 "fa_retry_queue"};

// The pause word each queue starts after a write, and its length.
utimer16 &pause_word(int q) {
    switch (q) {
    case TOVRA_QUEUE_SCENE_BIND:
        return tm_100ms.Fa_Scene_Bind_Send_Time;
    case TOVRA_QUEUE_SCENE:
        return tm_100ms.Fa_Scene_Send_Time;
    case TOVRA_QUEUE_RETRY:
        return tm_100ms.Fa_Retry_Send_Time;
    default:
        return tm_100ms.Msg_Send_Time;
    }
}
uint16_t pause_start(int q) {
    return (q == TOVRA_QUEUE_SCENE_BIND || q == TOVRA_QUEUE_SCENE) ? 0x400A : 0x4002;
}

uint16_t next_slot(uint16_t i) {
    return (uint16_t)((i + 1) % TOVRA_QUEUE_SIZE);
}

int queue_add(int q, const tovra_msg_t *msg) {
    if (msg == nullptr)
        return -1;
    orvi::MutexLock l(tovra_queue_mu);
    tovra_msg_queue &Q = g_queues[q];
    TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]%s.save_count num is %d", kQueueName[q], Q.save_count);
    if (Q.save_count >= TOVRA_QUEUE_SIZE) {
        TOVRA_LOG(TOVRA_DEBUG_ERROR, "[%s]%s is full", __func__, kQueueName[q]);
        return -1;
    }
    Q.msg[Q.save_index] = *msg;
    Q.msg[Q.save_index].atcmd[TOVRA_ATCMD_MAX - 1] = '\0';
    Q.msg[Q.save_index].scene_reqId[TOVRA_REQID_MAX - 1] = '\0';
    if (Q.msg[Q.save_index].atlen > TOVRA_ATDATA_MAX)
        Q.msg[Q.save_index].atlen = TOVRA_ATDATA_MAX;
    Q.save_index = next_slot(Q.save_index);
    Q.save_count++;
    return 0;
}

bool model_in(const char *mid, std::initializer_list<const char *> list) {
    for (const char *m : list)
        if (strcmp(mid, m) == 0)
            return true;
    return false;
}

// A scene command that ran out of repeats without the device confirming it.
// Only a command that belongs to a scene request has someone to tell.
void report_unconfirmed(int q, const tovra_msg_t &m) {
    if (m.scene_reqId[0] == '\0')
        return;
    tovra_link_dev_t dev;
    memset(&dev, 0, sizeof dev);
    if (TOVRA_HOOK(device_lookup)(m.addr, &dev) != 0) {
        TOVRA_LOG(TOVRA_DEBUG_ERROR, "[TOVRA]scene command for %u: device not in the table", m.addr);
        return;
    }
    dev.mid[sizeof dev.mid - 1] = '\0';
    int code;
    bool bind_status;
    if (model_in(dev.mid, {"80601", "80205"})) {
        bind_status = true;
        code = 500;
    } else if (model_in(dev.mid, {"70718", "70724", "70725", "70726"})) {
        bind_status = true;
        code = 200;
    } else {
        bind_status = false;
        bool no_answer = model_in(dev.mid, {"70314", "70315", "70361", "70362"}) ||
                         (q == TOVRA_QUEUE_SCENE &&
                          model_in(dev.mid, {"70710", "70720", "70721", "70722", "70711", "70713", "70726"}));
        code = no_answer ? 200 : 500;
    }
    if (!bind_status)
        TOVRA_HOOK(scene_set_status_event_send)(&dev, m.scene_reqId, code);
    else if (m.scene_bind)
        TOVRA_HOOK(scene_bind_status_event_send)(&dev, m.scene_reqId, code);
    else
        TOVRA_HOOK(scene_unbind_status_event_send)(&dev, m.scene_reqId, code);
}

}  // namespace

int tovra_msg_queue_add(const tovra_msg_t *msg) {
    return queue_add(TOVRA_QUEUE_MAIN, msg);
}
int tovra_scene_msg_queue_add(const tovra_msg_t *msg) {
    return queue_add(TOVRA_QUEUE_SCENE, msg);
}
int tovra_scene_bind_msg_queue_add(const tovra_msg_t *msg) {
    return queue_add(TOVRA_QUEUE_SCENE_BIND, msg);
}
int tovra_retry_msg_queue_add(const tovra_msg_t *msg) {
    return queue_add(TOVRA_QUEUE_RETRY, msg);
}

int tovra_queue_count(int q) {
    if (q < 0 || q >= TOVRA_QUEUE_NUM)
        return -1;
    orvi::MutexLock l(tovra_queue_mu);
    return g_queues[q].save_count;
}

bool tovra_queue_inflight(int q, tovra_msg_t *out) {
    if (q < 0 || q >= TOVRA_QUEUE_NUM || out == nullptr)
        return false;
    orvi::MutexLock l(tovra_queue_mu);
    const tovra_msg_queue &Q = g_queues[q];
    if (Q.save_count == 0)
        return false;
    *out = Q.msg[Q.send_index];
    return true;
}

bool tovra_queue_peek(int q, int index, tovra_msg_t *out) {
    if (q < 0 || q >= TOVRA_QUEUE_NUM || index < 0 || out == nullptr)
        return false;
    orvi::MutexLock l(tovra_queue_mu);
    const tovra_msg_queue &Q = g_queues[q];
    if (index >= Q.save_count)
        return false;
    *out = Q.msg[(Q.send_index + index) % TOVRA_QUEUE_SIZE];
    return true;
}

void tovra_queue_reset(void) {
    {
        orvi::MutexLock l(tovra_queue_mu);
        for (auto &Q : g_queues) {
            Q.save_count = Q.save_index = Q.send_index = 0;
            memset(Q.msg, 0, sizeof Q.msg);
        }
    }
    utimer16 *w100[] = {&tm_100ms.Msg_Send_Time,      &tm_100ms.Query_Wait_Time,    &tm_100ms.Fa_Scene_Send_Time,
                        &tm_100ms.Fa_Scene_Bind_Send_Time, &tm_100ms.Fa_Retry_Send_Time, &tm_100ms.Uart_Check_Time};
    for (auto *w : w100)
        w->store(0);
    tm_1s.Cycle_Query_Time = 0;
    tm_1s.Sublist_Refresh_Time = 0x4005;
    tm_1s.Sublist_Single_Refresh_Time = 0x4005;
    tm_1s.Sapp_New_Device_Time = 0;
    tm_1s.Scene_Query_Time = 0;
    tm_1s.Offline_Query_Time = 0x403C;
    tm_1s.Timing_Query_Time = 0;
    tm_1s.Ctrl_Query_Time = 0;
    tm_1s.Scene_Delete_Check_Time = 0;
    tm_1s.Scene_Status_Flag_Time = 0;
    tm_1s.LongTime_Send_Time = 0;
    tovra_scene_lock2_flag = 0;
    tovra_scene_lock3_flag = 0;
    g_tenths = 0;
    g_seconds = 0;
    g_last_sod = -1;
}

int tovra_queue_complete_main(const char *atcmd, bool end_pause) {
    orvi::MutexLock l(tovra_queue_mu);
    tovra_msg_t &m = g_queues[TOVRA_QUEUE_MAIN].msg[g_queues[TOVRA_QUEUE_MAIN].send_index];
    if (g_queues[TOVRA_QUEUE_MAIN].save_count == 0 || strncmp(m.atcmd, atcmd, TOVRA_ATCMD_MAX) != 0)
        return 0;
    m.repeat_times = 0;
    if (end_pause)
        tm_100ms.Msg_Send_Time.store(0);
    return 1;
}

int tovra_queue_complete_any(const char *atcmd) {
    const int order[] = {TOVRA_QUEUE_SCENE_BIND, TOVRA_QUEUE_RETRY, TOVRA_QUEUE_MAIN};
    orvi::MutexLock l(tovra_queue_mu);
    for (int q : order) {
        tovra_msg_queue &Q = g_queues[q];
        if (Q.save_count == 0 || strncmp(Q.msg[Q.send_index].atcmd, atcmd, TOVRA_ATCMD_MAX) != 0)
            continue;
        Q.msg[Q.send_index].repeat_times = 0;
        return 1;
    }
    return 0;
}

int tovra_queue_confirm_scene(uint16_t addr, bool bind_only, tovra_msg_t *out) {
    orvi::MutexLock l(tovra_queue_mu);
    for (int q : {TOVRA_QUEUE_SCENE_BIND, TOVRA_QUEUE_SCENE}) {
        if (q == TOVRA_QUEUE_SCENE && bind_only)
            break;
        tovra_msg_queue &Q = g_queues[q];
        if (Q.save_count == 0 || Q.msg[Q.send_index].addr != addr)
            continue;
        Q.msg[Q.send_index].repeat_times = 0;
        Q.msg[Q.send_index].scene_set_flag = 1;
        if (out)
            *out = Q.msg[Q.send_index];
        return 1;
    }
    return 0;
}

// ---------------------------------------------------------------- sender

void tovra_msg_queue_check(void) {
    if (tm_100ms.Msg_Send_Time.load() != 0)
        return;
    tovra_msg_t finished, inflight;
    bool report = false, drained_retry = false, write = false;
    int q = -1;
    uint16_t slot = 0;
    {
        orvi::MutexLock l(tovra_queue_mu);
        for (int c : {TOVRA_QUEUE_MAIN, TOVRA_QUEUE_SCENE_BIND, TOVRA_QUEUE_SCENE, TOVRA_QUEUE_RETRY}) {
            if (g_queues[c].save_count > 0) {
                q = c;
                break;
            }
        }
        if (q < 0)
            return;
        // The chosen queue's own pause holds every lower queue too.
        if (q != TOVRA_QUEUE_MAIN && pause_word(q).load() != 0)
            return;
        tovra_msg_queue &Q = g_queues[q];
        if (Q.msg[Q.send_index].repeat_times == 0) {
            finished = Q.msg[Q.send_index];
            report = (q == TOVRA_QUEUE_SCENE_BIND || q == TOVRA_QUEUE_SCENE) && finished.scene_set_flag == 0;
            memset(&Q.msg[Q.send_index], 0, sizeof Q.msg[0]);
            Q.save_count--;
            TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]%s.save_count-- is %d", kQueueName[q], Q.save_count);
            Q.send_index = next_slot(Q.send_index);
            drained_retry = q == TOVRA_QUEUE_RETRY && Q.save_count == 0;
        }
        if (Q.save_count > 0) {
            pause_word(q).store(pause_start(q));
            slot = Q.send_index;
            inflight = Q.msg[slot];
            write = true;
        }
    }
    if (report)
        report_unconfirmed(q, finished);
    if (drained_retry)
        TOVRA_HOOK(scene_lock_send)(0, tovra_scene_lock2_flag.load());
    if (!write)
        return;

    TOVRA_LOG(TOVRA_DEBUG_LOG, "[TOVRA]send %s from %s slot %u", inflight.atcmd, kQueueName[q], slot);
    tovra_send_fn send = tovra_send_lookup(inflight.atcmd);
    if (send != nullptr)
        send(&inflight);
    else
        TOVRA_LOG(TOVRA_DEBUG_ERROR, "[TOVRA]no send function for \"%s\": consumed", inflight.atcmd);

    orvi::MutexLock l(tovra_queue_mu);
    tovra_msg_queue &Q = g_queues[q];
    // An acknowledgement may have ended the repeats while the frame was out.
    if (Q.save_count > 0 && Q.send_index == slot && Q.msg[slot].repeat_times > 0)
        Q.msg[slot].repeat_times--;
}

// ---------------------------------------------------------------- timers

namespace {

// One tick of a running word; a start value written meanwhile by another
// thread wins.
void tick_word(utimer16 &w) {
    uint16_t v = w.load();
    while (v & TOVRA_TM_RUN) {
        uint16_t nv = (uint16_t)(v - 1);
        if (nv == TOVRA_TM_RUN)
            nv = TOVRA_TM_EXPIRED;
        if (w.compare_exchange_weak(v, nv))
            break;
    }
}

// Did the clock pass `mark` (a second of the day) going from `prev` to `now`?
// A clock set back is no crossing; a clock that ran past midnight is.
bool crossed(long prev, long now, long mark) {
    if (prev < 0)
        return now == mark;
    if (prev <= now)
        return prev < mark && mark <= now;
    if (prev - now < 12 * 3600)
        return false;
    return mark > prev || mark <= now;
}

}  // namespace

void tovra_timer_tick(time_t local_now) {
    utimer16 *w100[] = {&tm_100ms.Msg_Send_Time,      &tm_100ms.Query_Wait_Time,    &tm_100ms.Fa_Scene_Send_Time,
                        &tm_100ms.Fa_Scene_Bind_Send_Time, &tm_100ms.Fa_Retry_Send_Time, &tm_100ms.Uart_Check_Time};
    for (auto *w : w100)
        tick_word(*w);
    if (g_tenths.fetch_add(1) + 1 < 10)
        return;
    g_tenths.store(0);
    utimer16 *w1s[] = {&tm_1s.Cycle_Query_Time,     &tm_1s.Sublist_Refresh_Time, &tm_1s.Sublist_Single_Refresh_Time,
                       &tm_1s.Sapp_New_Device_Time, &tm_1s.Scene_Query_Time,     &tm_1s.Offline_Query_Time,
                       &tm_1s.Timing_Query_Time,    &tm_1s.Ctrl_Query_Time,      &tm_1s.Scene_Status_Flag_Time,
                       &tm_1s.LongTime_Send_Time};
    for (auto *w : w1s)
        tick_word(*w);
    long sod = (long)(((local_now % 86400) + 86400) % 86400);
    long prev = g_last_sod.exchange(sod);
    if (crossed(prev, sod, 9 * 3600) || crossed(prev, sod, 22 * 3600))
        tm_1s.Timing_Query_Time.store(0x4001);
    if (g_seconds.fetch_add(1) + 1 >= 60) {
        g_seconds.store(0);
        tm_1s.LongTime_Send_Time.store(0x4001);
    }
}

void tovra_timer_cb(void) {
    tovra_timer_tick(time(nullptr) + 28800);
    timer_100ms_handle();
    TOVRA_HOOK(status_send_msg)();
}

static void tovra_time_cb(void *) {
    tovra_timer_cb();
}

int tovra_timer_create(void) {
    return orvi_timer_create("tovra_time", tovra_time_cb, 100, nullptr, 1) < 0 ? -1 : 0;
}

static bool expired(utimer16 &w) {
    return (w.load() & TOVRA_TM_EXPIRED) != 0;
}

void tovra_event_timeout_handle(void) {
    if (expired(tm_100ms.Msg_Send_Time))
        tm_100ms.Msg_Send_Time = 0;
    if (expired(tm_100ms.Fa_Retry_Send_Time))
        tm_100ms.Fa_Retry_Send_Time = 0;
    if (expired(tm_1s.Cycle_Query_Time))
        tm_1s.Cycle_Query_Time = 0;
    if (expired(tm_1s.Scene_Query_Time)) {
        tm_1s.Scene_Query_Time = 0;
        TOVRA_HOOK(whole_device_query)();
    }
    if (expired(tm_100ms.Query_Wait_Time))
        tm_100ms.Query_Wait_Time = 0;
    if (expired(tm_100ms.Fa_Scene_Send_Time))
        tm_100ms.Fa_Scene_Send_Time = 0;
    if (expired(tm_100ms.Fa_Scene_Bind_Send_Time))
        tm_100ms.Fa_Scene_Bind_Send_Time = 0;
    if (expired(tm_1s.Offline_Query_Time)) {
        tm_1s.Offline_Query_Time = 0x403C;
        TOVRA_HOOK(offline_device_query)();
    }
    if (expired(tm_1s.Timing_Query_Time)) {
        tm_1s.Timing_Query_Time = 0;
        TOVRA_HOOK(whole_device_query)();
    }
    if (expired(tm_1s.Sapp_New_Device_Time)) {
        tm_1s.Sapp_New_Device_Time = 0;
        TOVRA_HOOK(new_device_window_close)();
    }
    if (expired(tm_1s.Ctrl_Query_Time)) {
        tm_1s.Ctrl_Query_Time = 0x4001;
        TOVRA_HOOK(delayed_check_step)();
    }
    if (expired(tm_1s.Scene_Status_Flag_Time)) {
        // The word stays expired, as it was left; the id is forgotten once.
        if (tovra_trivox_scene_id() != 0)
            tovra_trivox_scene_id_clear();
    }
    if (expired(tm_1s.LongTime_Send_Time)) {
        tm_1s.LongTime_Send_Time = 0;
        TOVRA_HOOK(longtime_report)();
    }
}
