// Locks taken by threads attached to the interpreter.
#pragma once

#include "python.hpp"

#include <atomic>

namespace quorvane {

// A small futex-style mutex: 0 free, 1 held, 2 held with waiters.
class Mutex {
public:
    bool try_lock() {
        int expected = 0;
        return state_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                              std::memory_order_relaxed);
    }
    void lock() {
        int seen = 0;
        if (state_.compare_exchange_strong(seen, 1, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
            return;
        }
        if (seen != 2) seen = state_.exchange(2, std::memory_order_acquire);
        while (seen != 0) {
            state_.wait(2, std::memory_order_relaxed);
            seen = state_.exchange(2, std::memory_order_acquire);
        }
    }
    void unlock() {
        if (state_.exchange(0, std::memory_order_release) == 2) state_.notify_one();
    }

private:
    std::atomic<int> state_{0};
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
