// A one-time cell: the first stored value wins and is kept for the life of
// the process; later stores return the value already there.
#pragma once

#include <atomic>

namespace quorvane {

template <class T>
class OnceCell {
public:
    T* load() const { return value_.load(std::memory_order_acquire); }
    T* store(T* value) {
        T* expected = nullptr;
        if (value_.compare_exchange_strong(expected, value, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
            return value;
        }
        return expected;
    }

private:
    std::atomic<T*> value_{nullptr};
};

}  // namespace quorvane
