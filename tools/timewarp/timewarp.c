/* Time runs TIMEWARP_SPEED times faster for the process that preloads this
 * library: every clock read is stretched around the moment the library
 * loaded, and every wait (relative or absolute) is shrunk back to real time.
 * Used only by the virtual board's accelerated mode; the daemon itself is
 * unchanged and never reads the variable. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/time.h>
#include <sys/times.h>
#include <time.h>
#include <unistd.h>

static double g_speed = 1.0;
static int (*real_clock_gettime)(clockid_t, struct timespec *);
static int (*real_clock_nanosleep)(clockid_t, int, const struct timespec *, struct timespec *);
static int (*real_nanosleep)(const struct timespec *, struct timespec *);
static clock_t (*real_times)(struct tms *);
static int (*real_cond_timedwait)(pthread_cond_t *, pthread_mutex_t *, const struct timespec *);
static int (*real_cond_clockwait)(pthread_cond_t *, pthread_mutex_t *, clockid_t, const struct timespec *);
static int (*real_sem_timedwait)(sem_t *, const struct timespec *);
static int (*real_select)(int, fd_set *, fd_set *, fd_set *, struct timeval *);
static int (*real_poll)(struct pollfd *, nfds_t, int);
static int (*real_epoll_wait)(int, struct epoll_event *, int, int);

/* Real and warped origins, per clock family. */
static int64_t g_base_mono, g_base_real, g_base_boot;
static clock_t g_base_ticks;

static int64_t ts_ns(const struct timespec *t) {
    return (int64_t)t->tv_sec * 1000000000LL + t->tv_nsec;
}
static struct timespec ns_ts(int64_t ns) {
    struct timespec t;
    if (ns < 0) ns = 0;
    t.tv_sec = ns / 1000000000LL;
    t.tv_nsec = ns % 1000000000LL;
    return t;
}

static int64_t *base_of(clockid_t c) {
    switch (c) {
        case CLOCK_MONOTONIC:
        case CLOCK_MONOTONIC_RAW:
        case CLOCK_MONOTONIC_COARSE:
            return &g_base_mono;
        case CLOCK_REALTIME:
        case CLOCK_REALTIME_COARSE:
            return &g_base_real;
        case CLOCK_BOOTTIME:
            return &g_base_boot;
        default:
            return NULL;
    }
}

static int64_t warp(int64_t base, int64_t real_ns) {
    return base + (int64_t)((double)(real_ns - base) * g_speed);
}
static int64_t unwarp(int64_t base, int64_t fast_ns) {
    return base + (int64_t)((double)(fast_ns - base) / g_speed);
}

__attribute__((constructor)) static void timewarp_init(void) {
    real_clock_gettime = dlsym(RTLD_NEXT, "clock_gettime");
    real_clock_nanosleep = dlsym(RTLD_NEXT, "clock_nanosleep");
    real_nanosleep = dlsym(RTLD_NEXT, "nanosleep");
    real_times = dlsym(RTLD_NEXT, "times");
    real_cond_timedwait = dlvsym(RTLD_NEXT, "pthread_cond_timedwait", "GLIBC_2.3.2");
    if (!real_cond_timedwait) real_cond_timedwait = dlsym(RTLD_NEXT, "pthread_cond_timedwait");
    real_cond_clockwait = dlsym(RTLD_NEXT, "pthread_cond_clockwait");
    real_sem_timedwait = dlsym(RTLD_NEXT, "sem_timedwait");
    real_select = dlsym(RTLD_NEXT, "select");
    real_poll = dlsym(RTLD_NEXT, "poll");
    real_epoll_wait = dlsym(RTLD_NEXT, "epoll_wait");
    const char *s = getenv("TIMEWARP_SPEED");
    double v = s ? strtod(s, NULL) : 1.0;
    if (v >= 1.0 && v <= 1000.0) g_speed = v;
    struct timespec t;
    real_clock_gettime(CLOCK_MONOTONIC, &t);
    g_base_mono = ts_ns(&t);
    real_clock_gettime(CLOCK_REALTIME, &t);
    g_base_real = ts_ns(&t);
    real_clock_gettime(CLOCK_BOOTTIME, &t);
    g_base_boot = ts_ns(&t);
    struct tms tm;
    g_base_ticks = real_times(&tm);
}

int clock_gettime(clockid_t c, struct timespec *tp) {
    int rc = real_clock_gettime(c, tp);
    int64_t *b = base_of(c);
    if (rc == 0 && b) *tp = ns_ts(warp(*b, ts_ns(tp)));
    return rc;
}

int gettimeofday(struct timeval *restrict tv, void *restrict tz) {
    (void)tz;
    struct timespec t;
    int rc = clock_gettime(CLOCK_REALTIME, &t);
    if (rc == 0) {
        tv->tv_sec = t.tv_sec;
        tv->tv_usec = t.tv_nsec / 1000;
    }
    return rc;
}

time_t time(time_t *out) {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    if (out) *out = t.tv_sec;
    return t.tv_sec;
}

clock_t times(struct tms *buf) {
    clock_t r = real_times(buf);
    if (r == (clock_t)-1) return r;
    return g_base_ticks + (clock_t)((double)(r - g_base_ticks) * g_speed);
}

static struct timespec shrink(const struct timespec *req) {
    return ns_ts((int64_t)((double)ts_ns(req) / g_speed));
}

int nanosleep(const struct timespec *req, struct timespec *rem) {
    struct timespec r = shrink(req);
    int rc = real_nanosleep(&r, rem);
    if (rc != 0 && rem) *rem = ns_ts((int64_t)((double)ts_ns(rem) * g_speed));
    return rc;
}

int clock_nanosleep(clockid_t c, int flags, const struct timespec *req, struct timespec *rem) {
    int64_t *b = base_of(c);
    if ((flags & TIMER_ABSTIME) && b) {
        struct timespec r = ns_ts(unwarp(*b, ts_ns(req)));
        return real_clock_nanosleep(c, flags, &r, rem);
    }
    struct timespec r = shrink(req);
    return real_clock_nanosleep(c, flags, &r, rem);
}

int usleep(useconds_t us) {
    struct timespec t = ns_ts((int64_t)us * 1000);
    return nanosleep(&t, NULL);
}

unsigned int sleep(unsigned int s) {
    struct timespec t = ns_ts((int64_t)s * 1000000000LL);
    return nanosleep(&t, NULL) == 0 ? 0 : s;
}

int pthread_cond_timedwait(pthread_cond_t *c, pthread_mutex_t *m, const struct timespec *abst) {
    struct timespec r = ns_ts(unwarp(g_base_real, ts_ns(abst)));
    return real_cond_timedwait(c, m, &r);
}

int pthread_cond_clockwait(pthread_cond_t *c, pthread_mutex_t *m, clockid_t clk,
                           const struct timespec *abst) {
    int64_t *b = base_of(clk);
    struct timespec r = b ? ns_ts(unwarp(*b, ts_ns(abst))) : *abst;
    return real_cond_clockwait(c, m, clk, &r);
}

int sem_timedwait(sem_t *s, const struct timespec *abst) {
    struct timespec r = ns_ts(unwarp(g_base_real, ts_ns(abst)));
    return real_sem_timedwait(s, &r);
}

int select(int n, fd_set *r, fd_set *w, fd_set *e, struct timeval *tv) {
    if (!tv) return real_select(n, r, w, e, tv);
    int64_t us = (int64_t)((double)((int64_t)tv->tv_sec * 1000000 + tv->tv_usec) / g_speed);
    struct timeval t = {(time_t)(us / 1000000), (suseconds_t)(us % 1000000)};
    int rc = real_select(n, r, w, e, &t);
    *tv = t;
    return rc;
}

int poll(struct pollfd *fds, nfds_t n, int timeout) {
    if (timeout > 0) timeout = (int)((double)timeout / g_speed) + ((int)((double)timeout / g_speed) == 0);
    return real_poll(fds, n, timeout);
}

int epoll_wait(int fd, struct epoll_event *ev, int max, int timeout) {
    if (timeout > 0) timeout = (int)((double)timeout / g_speed) + ((int)((double)timeout / g_speed) == 0);
    return real_epoll_wait(fd, ev, max, timeout);
}
