// Process-wide logging: the core line format, its global level, the board
// modules' class mask, and the out-of-memory / invalid-argument forms.
// Any thread may log; each line leaves in a single write so lines never mix.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>

typedef enum {
    ORVI_LOG_NONE = 0,
    ORVI_LOG_ERROR = 1,
    ORVI_LOG_WARN = 2,
    ORVI_LOG_INFO = 3,
    ORVI_LOG_DEBUG = 4,
    ORVI_LOG_VERBOSE = 5,
} orvi_log_level_t;

// The global level every core log line tests before printing anything.
extern std::atomic<int> orvi_set_log;
// The board modules' mask of four line classes (bits 4, 8, 16, 32).
extern std::atomic<int> log_level;

// Longest message text one line carries; a longer one keeps its beginning
// and says how long it was ("... (N bytes in all)").
#define ORVI_LOG_TEXT_MAX 1024
// Lines of one call site: a burst, then a steady rate a second (warnings and
// errors: ORVI_LOG_BURST and ORVI_LOG_RATE; information and debug lines,
// which every received packet writes, twice as many and five times as fast);
// the held-back lines are counted on the site's next printed line.
#define ORVI_LOG_BURST 100
#define ORVI_LOG_RATE 10
#define ORVI_LOG_INFO_BURST (2 * ORVI_LOG_BURST)
#define ORVI_LOG_INFO_RATE (5 * ORVI_LOG_RATE)

enum { BOARD_LOG_CLASS_4 = 4, BOARD_LOG_CLASS_8 = 8, BOARD_LOG_CLASS_16 = 16, BOARD_LOG_CLASS_32 = 32 };

void orvi_log_level_set(orvi_log_level_t level);
orvi_log_level_t orvi_log_level_get(void);
void set_LOGLEVEL(int mask);

// Refresh the cached time stamp (epoch seconds + 8 hours, broken down).
void orvi_time_refresh(void);
// Print the time stamp of a log line; the argument is ignored.
void orvi_time_display(int unused);
// Format the cached time stamp "[%4d-%2d-%2d %2d:%2d:%2d]" into buf (>= 32 bytes).
int orvi_time_stamp(char *buf, unsigned size);

// One core log line: stamp, "[L][func][line]: ", message, line feed.
void orvi_log_write(char letter, const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
void orvi_log_vwrite(char letter, const char *func, int line, const char *fmt, va_list ap);
// One board-module line: stamp, "[func line]__func__[func]:", line break, message.
void orvi_board_log_write(int cls, const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
// A plain line with neither stamp nor level test (list failures, counters).
void orvi_plain_write(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Logs the out-of-memory line and ends the process with "malloc failed!!!".
[[noreturn]] void orvi_no_mem(const char *func, int line, long size);

#define ORVI_LOGE(fmt, ...)                                                 \
    do {                                                                    \
        if (orvi_set_log.load(std::memory_order_relaxed) >= ORVI_LOG_ERROR) \
            orvi_log_write('E', __func__, __LINE__, fmt, ##__VA_ARGS__);    \
    } while (0)
#define ORVI_LOGW(fmt, ...)                                                \
    do {                                                                   \
        if (orvi_set_log.load(std::memory_order_relaxed) >= ORVI_LOG_WARN) \
            orvi_log_write('W', __func__, __LINE__, fmt, ##__VA_ARGS__);   \
    } while (0)
#define ORVI_LOGI(fmt, ...)                                                \
    do {                                                                   \
        if (orvi_set_log.load(std::memory_order_relaxed) >= ORVI_LOG_INFO) \
            orvi_log_write('I', __func__, __LINE__, fmt, ##__VA_ARGS__);   \
    } while (0)
#define ORVI_LOGD(fmt, ...)                                                 \
    do {                                                                    \
        if (orvi_set_log.load(std::memory_order_relaxed) >= ORVI_LOG_DEBUG) \
            orvi_log_write('D', __func__, __LINE__, fmt, ##__VA_ARGS__);    \
    } while (0)
// Board-module line of class `cls` (4, 8, 16 or 32), printed when its bit is set.
#define BOARD_LOG(cls, fmt, ...)                                               \
    do {                                                                       \
        if (log_level.load(std::memory_order_relaxed) & (cls))                 \
            orvi_board_log_write(cls, __func__, __LINE__, fmt, ##__VA_ARGS__); \
    } while (0)

// "[E][%s][%d]: <ORVI_ERR_INVALID_ARG> !(%s)" and return `ret` when `cond` fails.
#define ORVI_CHECK_ARG(cond, ret)                             \
    do {                                                      \
        if (!(cond)) {                                        \
            ORVI_LOGE("<ORVI_ERR_INVALID_ARG> !(%s)", #cond); \
            return ret;                                       \
        }                                                     \
    } while (0)

#define ORVI_NO_MEM(size) orvi_no_mem(__func__, __LINE__, (long)(size))
