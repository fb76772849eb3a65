// The seam of a subsystem that lands later: callers use the subsystem's own
// function names, which run whatever table of functions start-up installed.
// Until the subsystem is built its table is the "not built" one, whose every
// call fails (-1 or that call's failing value) and says so in the log. Any
// thread may call; install happens at start-up (and in tests).
#pragma once

#include <atomic>

#include "orvi_log.h"

// Logs that `call` reached a subsystem that is not built: a warning the
// first time this call site runs, a debug line after that, so a periodic
// call leaves one visible line rather than one per period.
#define ORVI_NOT_BUILT(call)                                                 \
    do {                                                                     \
        static std::atomic<bool> orvi_not_built_said_{false};                \
        if (!orvi_not_built_said_.exchange(true, std::memory_order_relaxed)) \
            ORVI_LOGW("%s: not built", call);                                \
        else                                                                 \
            ORVI_LOGD("%s: not built", call);                                \
    } while (0)

// The installed table of a seam. A null install, or a member the installed
// table leaves null, falls back to the "not built" table.
template <typename Ops>
class orvi_seam {
  public:
    explicit constexpr orvi_seam(const Ops *not_built) : not_built_(not_built), ops_(not_built) {}
    void install(const Ops *ops) { ops_.store(ops ? ops : not_built_, std::memory_order_release); }
    template <typename Fn>
    Fn get(Fn Ops::*member) const {
        Fn fn = ops_.load(std::memory_order_acquire)->*member;
        return fn ? fn : not_built_->*member;
    }

  private:
    const Ops *const not_built_;
    std::atomic<const Ops *> ops_;
};
