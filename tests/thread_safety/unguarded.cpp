// Must not build under clang -Wthread-safety -Werror: each function breaks
// one rule the daemon's shared state relies on (tests/CMakeLists.txt checks
// the diagnostics).
#include "orvi_thread_annotations.h"

namespace {

orvi::Mutex g_low;
orvi::Mutex g_high ACQUIRED_AFTER(g_low);
int g_count GUARDED_BY(g_low) = 0;

// A field read without its lock.
int read_without_lock() {
    return g_count;
}

// Two locks taken against their order.
void against_the_order() {
    orvi::MutexLock high(g_high);
    orvi::MutexLock low(g_low);
    ++g_count;
}

// A lock held across a return.
void leaks_the_lock() {
    g_low.lock();
}

}  // namespace

int main() {
    against_the_order();
    leaks_the_lock();
    return read_without_lock();
}
