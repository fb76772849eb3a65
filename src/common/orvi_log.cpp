// Log lines are formatted whole into one buffer and leave in a single write
// to standard output, so lines from different threads never interleave.
// The time stamp is a cached epoch second refreshed by the one-second timer;
// it is broken down at print time so readers never see a torn struct.
//
// The log must survive a flood from outside: a line keeps at most
// ORVI_LOG_TEXT_MAX bytes of its message (received packets are logged as
// they came), and each warning or error call site may print a burst and then
// a steady trickle; what it could not print is counted and reported by its
// next line that gets through.
#include "orvi_log.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "orvi_lock_order.h"
#include "orvi_system.h"

std::atomic<int> orvi_set_log{ORVI_LOG_INFO};
std::atomic<int> log_level{48};

orvi::Mutex orvi_log_sites_mu;

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

// Appends printf output to `out`. A text longer than `cap` keeps its
// beginning and says how long it was.
void append_v(std::string &out, const char *fmt, va_list ap, size_t cap = ORVI_LOG_TEXT_MAX) {
    char small[ORVI_LOG_TEXT_MAX + 1];
    va_list cp;
    va_copy(cp, ap);
    int n = vsnprintf(small, sizeof small, fmt, cp);
    va_end(cp);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n);
    if (len < sizeof small) {
        out.append(small, std::min(len, cap));
    } else if (cap < sizeof small) {
        out.append(small, cap);
    } else {
        size_t at = out.size();
        out.resize(at + len + 1);
        vsnprintf(&out[at], len + 1, fmt, ap);
        out.resize(at + std::min(len, cap));
    }
    if (len > cap) {
        char tail[64];
        int t = snprintf(tail, sizeof tail, "... (%zu bytes in all)", len);
        if (t > 0) out.append(tail, std::min(static_cast<size_t>(t), sizeof tail - 1));
    }
}

// Per call site budget of lines: a token bucket holding a burst of lines,
// refilled at a steady rate (orvi_log.h gives both by level).
struct Site {
    const char *func = nullptr;
    int line = 0;
    double tokens = 0;
    uint64_t last_ms = 0;
    unsigned long suppressed = 0;
};
constexpr size_t kSites = 512;  // a power of two
Site g_sites[kSites] GUARDED_BY(orvi_log_sites_mu);

uint64_t now_ms() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// True when the line may print; `suppressed` receives how many lines of the
// site were held back since its last printed one.
bool site_admits(const char *func, int line, double burst, double rate, unsigned long &suppressed) {
    suppressed = 0;
    size_t h = (reinterpret_cast<uintptr_t>(func) >> 3) * 31u + static_cast<size_t>(line);
    uint64_t now = now_ms();
    orvi::MutexLock lk(orvi_log_sites_mu);
    Site *s = nullptr;
    for (size_t i = 0; i < kSites; ++i) {
        Site &c = g_sites[(h + i) & (kSites - 1)];
        if (c.func == func && c.line == line) {
            s = &c;
            break;
        }
        if (!c.func) {
            c.func = func;
            c.line = line;
            c.tokens = burst;
            c.last_ms = now;
            s = &c;
            break;
        }
    }
    if (!s) return true;  // more sites than slots: never hide a line for lack of room
    s->tokens = std::min(burst, s->tokens + static_cast<double>(now - s->last_ms) * rate / 1000.0);
    s->last_ms = now;
    if (s->tokens < 1) {
        ++s->suppressed;
        return false;
    }
    s->tokens -= 1;
    suppressed = s->suppressed;
    s->suppressed = 0;
    return true;
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
    unsigned long suppressed = 0;
    const bool alarm = letter == 'W' || letter == 'E';
    if (!site_admits(func, line, alarm ? ORVI_LOG_BURST : ORVI_LOG_INFO_BURST,
                     alarm ? ORVI_LOG_RATE : ORVI_LOG_INFO_RATE, suppressed))
        return;
    std::string out;
    out.reserve(256);
    char head[160];
    int n = orvi_time_stamp(head, sizeof head);
    if (n > 0) out.append(head, static_cast<size_t>(n));
    n = snprintf(head, sizeof head, "[%c][%s][%d]: ", letter, func, line);
    if (n > 0) out.append(head, std::min(static_cast<size_t>(n), sizeof head - 1));
    if (suppressed) {
        // Said on a line of its own, so the line that follows keeps its text.
        std::string note = out;
        char text[96];
        int t = snprintf(text, sizeof text, "%lu more lines like the next were not logged\n", suppressed);
        if (t > 0) note.append(text, std::min(static_cast<size_t>(t), sizeof text - 1));
        out.insert(0, note);
    }
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
    // The program's own texts (the banner among them), never packet data.
    append_v(out, fmt, ap, SIZE_MAX);
    va_end(ap);
    write_all(out.data(), out.size());
}

void orvi_no_mem(const char *func, int line, long size) {
    orvi_plain_write("\n\r [W][%s][%d]:<ORVI_ERR_NO_MEM> Malloc size: %ld, ptr: %p", func, line, size,
                     static_cast<void *>(nullptr));
    orvi_progress_exit("malloc failed!!!");
}
