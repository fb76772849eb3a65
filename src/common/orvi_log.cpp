// Log lines are formatted whole into one buffer and leave in a single write
// to standard output, so lines from different threads never interleave.
// The time stamp is a cached epoch second refreshed by the one-second timer;
// it is broken down at print time so readers never see a torn struct.
#include "orvi_log.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "orvi_system.h"

std::atomic<int> orvi_set_log{ORVI_LOG_INFO};
std::atomic<int> log_level{48};

namespace {
// Epoch seconds of the last refresh, already shifted to UTC+8.
std::atomic<long long> g_real_time{0};

void write_all(const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(STDOUT_FILENO, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

// Appends printf output to `out`, falling back to the heap for long lines
// (received packets are logged whole and may be many kilobytes).
void append_v(std::string &out, const char *fmt, va_list ap) {
    char small[1024];
    va_list cp;
    va_copy(cp, ap);
    int n = vsnprintf(small, sizeof small, fmt, cp);
    va_end(cp);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        out.append(small, static_cast<size_t>(n));
        return;
    }
    size_t at = out.size();
    out.resize(at + static_cast<size_t>(n) + 1);
    vsnprintf(&out[at], static_cast<size_t>(n) + 1, fmt, ap);
    out.resize(at + static_cast<size_t>(n));
}
}  // namespace

void orvi_log_level_set(orvi_log_level_t level) {
    orvi_set_log.store(level);
}
orvi_log_level_t orvi_log_level_get(void) {
    return static_cast<orvi_log_level_t>(orvi_set_log.load());
}

void set_LOGLEVEL(int mask) {
    log_level.store(mask);
    orvi_plain_write("log_level is %d\n", mask);
}

void orvi_time_refresh(void) {
    g_real_time.store(static_cast<long long>(time(nullptr)) + 28800);
}

int orvi_time_stamp(char *buf, unsigned size) {
    time_t t = static_cast<time_t>(g_real_time.load(std::memory_order_relaxed));
    struct tm tmv {};
    localtime_r(&t, &tmv);
    return snprintf(buf, size, "[%4d-%2d-%2d %2d:%2d:%2d]", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday,
                    tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
}

void orvi_time_display(int) {
    char stamp[64];
    int n = orvi_time_stamp(stamp, sizeof stamp);
    if (n > 0) write_all(stamp, static_cast<size_t>(n));
}

void orvi_log_vwrite(char letter, const char *func, int line, const char *fmt, va_list ap) {
    std::string out;
    out.reserve(256);
    char head[160];
    int n = orvi_time_stamp(head, sizeof head);
    if (n > 0) out.append(head, static_cast<size_t>(n));
    n = snprintf(head, sizeof head, "[%c][%s][%d]: ", letter, func, line);
    if (n > 0) out.append(head, std::min(static_cast<size_t>(n), sizeof head - 1));
    append_v(out, fmt, ap);
    out.push_back('\n');
    write_all(out.data(), out.size());
}

void orvi_log_write(char letter, const char *func, int line, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    orvi_log_vwrite(letter, func, line, fmt, ap);
    va_end(ap);
}

void orvi_board_log_write(int, const char *func, int line, const char *fmt, ...) {
    std::string out;
    char head[192];
    int n = orvi_time_stamp(head, sizeof head);
    if (n > 0) out.append(head, static_cast<size_t>(n));
    n = snprintf(head, sizeof head, "[%s %d]__func__[%s]:\n", func, line, func);
    if (n > 0) out.append(head, std::min(static_cast<size_t>(n), sizeof head - 1));
    va_list ap;
    va_start(ap, fmt);
    append_v(out, fmt, ap);
    va_end(ap);
    if (out.empty() || out.back() != '\n') out.push_back('\n');
    write_all(out.data(), out.size());
}

void orvi_plain_write(const char *fmt, ...) {
    std::string out;
    va_list ap;
    va_start(ap, fmt);
    append_v(out, fmt, ap);
    va_end(ap);
    write_all(out.data(), out.size());
}

void orvi_no_mem(const char *func, int line, long size) {
    orvi_plain_write("\n\r [W][%s][%d]:<ORVI_ERR_NO_MEM> Malloc size: %ld, ptr: %p", func, line, size,
                     static_cast<void *>(nullptr));
    orvi_progress_exit("malloc failed!!!");
}
