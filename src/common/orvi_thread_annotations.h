// Clang's thread-safety attributes, and a mutex that carries the capability
// they check. The attributes expand to nothing for other compilers; `make
// test` builds the library with clang -Wthread-safety -Werror, so a field
// read without its lock, or locks taken against the order in
// orvi_lock_order.h, fails the build. Used from every thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define ORVI_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ORVI_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ORVI_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ORVI_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ORVI_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ORVI_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) ORVI_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) ORVI_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) ORVI_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) ORVI_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ORVI_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) ORVI_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) ORVI_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) ORVI_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) ORVI_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS ORVI_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace orvi {

// A plain (never recursive) mutex the analysis knows as a capability.
class CAPABILITY("mutex") Mutex {
  public:
    Mutex() = default;
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;
    void lock() ACQUIRE() { mu_.lock(); }
    void unlock() RELEASE() { mu_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
    // For the analysis only: the caller holds it.
    void assert_held() const ASSERT_CAPABILITY(this) {}

  private:
    friend class CondVar;
    std::mutex mu_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex &mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
    ~MutexLock() RELEASE() { mu_.unlock(); }
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;

  private:
    Mutex &mu_;
};

// A condition variable waited on with a Mutex held (named at each wait, so
// the analysis sees which one).
class CondVar {
  public:
    CondVar() = default;
    CondVar(const CondVar &) = delete;
    CondVar &operator=(const CondVar &) = delete;
    void wait(Mutex &mu) REQUIRES(mu) {
        std::unique_lock<std::mutex> lk(mu.mu_, std::adopt_lock);
        cv_.wait(lk);
        lk.release();
    }
    // False when `ms` passed without a signal.
    bool wait_ms(Mutex &mu, unsigned ms) REQUIRES(mu) {
        std::unique_lock<std::mutex> lk(mu.mu_, std::adopt_lock);
        bool signalled = cv_.wait_for(lk, std::chrono::milliseconds(ms)) == std::cv_status::no_timeout;
        lk.release();
        return signalled;
    }
    // Waits until pred() holds, or `ms` passed; pred's last answer. pred runs
    // with `mu` held: a lambda reading guarded state says so with REQUIRES.
    // The analysis cannot tie the predicate's lock to `mu`, so it is not asked to.
    template <class Pred>
    bool wait_ms(Mutex &mu, unsigned ms, Pred pred) REQUIRES(mu) NO_THREAD_SAFETY_ANALYSIS {
        std::unique_lock<std::mutex> lk(mu.mu_, std::adopt_lock);
        bool ok = cv_.wait_for(lk, std::chrono::milliseconds(ms), pred);
        lk.release();
        return ok;
    }
    // Waits until pred() holds (same rule for pred).
    template <class Pred>
    void wait(Mutex &mu, Pred pred) REQUIRES(mu) NO_THREAD_SAFETY_ANALYSIS {
        std::unique_lock<std::mutex> lk(mu.mu_, std::adopt_lock);
        cv_.wait(lk, pred);
        lk.release();
    }
    void signal() { cv_.notify_one(); }
    void signal_all() { cv_.notify_all(); }

  private:
    std::condition_variable cv_;
};

}  // namespace orvi
