// Builds under clang -Wthread-safety -Werror: the same shared state used the
// way the rules allow, so the diagnostics of unguarded.cpp are about the
// rules, not about the annotations header.
#include "orvi_thread_annotations.h"

namespace {

orvi::Mutex g_low;
orvi::Mutex g_high ACQUIRED_AFTER(g_low);
int g_count GUARDED_BY(g_low) = 0;
orvi::CondVar g_changed;

int read_with_lock() {
    orvi::MutexLock lk(g_low);
    return g_count;
}

void in_order() {
    orvi::MutexLock low(g_low);
    orvi::MutexLock high(g_high);
    ++g_count;
    g_changed.signal_all();
}

void wait_for_change() REQUIRES(g_low) {
    while (g_count == 0)
        g_changed.wait_ms(g_low, 10);
}

}  // namespace

int main() {
    in_order();
    {
        orvi::MutexLock lk(g_low);
        wait_for_change();
    }
    return read_with_lock() == 1 ? 0 : 1;
}
