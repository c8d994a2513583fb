// Locks taken by threads attached to the interpreter.
#pragma once

#include "python.hpp"

#include <sched.h>

#include <atomic>

namespace quorvane {

inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// A spin lock for critical sections of a few dozen instructions: taking it
// is one atomic exchange, giving it back a plain store. A waiter spins
// briefly, then yields its core to whichever thread holds the lock.
class Mutex {
public:
    bool try_lock() {
        return !held_.load(std::memory_order_relaxed) &&
               !held_.exchange(true, std::memory_order_acquire);
    }
    void lock() {
        for (unsigned spins = 0; !try_lock(); ++spins) {
            if (spins < 64) {
                spin_pause();
            } else {
                sched_yield();
            }
        }
    }
    void unlock() { held_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> held_{false};
};

// Holds a mutex without ever blocking while attached to the interpreter: a
// thread that has to wait detaches first, so it cannot hold up the holder
// (under the GIL) or a stop-the-world pause (free-threaded).
class AttachedLock {
public:
    explicit AttachedLock(Mutex& mutex) : mutex_(mutex) {
        if (mutex_.try_lock()) return;
        PyThreadState* state = PyEval_SaveThread();
        mutex_.lock();
        PyEval_RestoreThread(state);
    }
    ~AttachedLock() { mutex_.unlock(); }
    AttachedLock(const AttachedLock&) = delete;
    AttachedLock& operator=(const AttachedLock&) = delete;

private:
    Mutex& mutex_;
};

}  // namespace quorvane
