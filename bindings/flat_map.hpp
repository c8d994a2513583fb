// A small open-addressing hash map for the borrow registry: linear probing
// over a power-of-two table, backward-shift deletion, storage from the
// registry's block pool. Keys are trivially copyable and compared with ==.
#pragma once

#include "pool.hpp"

#include <cstddef>
#include <utility>

namespace quorvane {

template <class Key, class Value, class Hash>
class FlatMap {
public:
    explicit FlatMap(BlockPool& pool) : pool_(&pool) {}
    FlatMap(const FlatMap&) = delete;
    FlatMap& operator=(const FlatMap&) = delete;
    ~FlatMap() {
        if (slots_ != nullptr) pool_->deallocate(slots_, capacity_ * sizeof(Entry));
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    struct Entry {
        Key key;
        Value value;
        bool used;
    };

    Entry* find(const Key& key) {
        if (size_ == 0) return nullptr;
        for (std::size_t i = home(key);; i = next(i)) {
            Entry& entry = slots_[i];
            if (!entry.used) return nullptr;
            if (entry.key == key) return &entry;
        }
    }

    // The key must not be present.
    Value& insert(const Key& key, Value value) {
        if (2 * (size_ + 1) > capacity_) grow();
        std::size_t i = home(key);
        while (slots_[i].used) i = next(i);
        slots_[i] = Entry{key, std::move(value), true};
        ++size_;
        return slots_[i].value;
    }

    // Removes an entry that find returned.
    void erase(Entry* found) {
        std::size_t hole = static_cast<std::size_t>(found - slots_);
        // Move later entries of the same probe run back into the hole.
        for (std::size_t i = next(hole); slots_[i].used; i = next(i)) {
            const std::size_t want = home(slots_[i].key);
            const bool reachable = hole <= i ? (want <= hole || want > i) : (want <= hole && want > i);
            if (reachable) {
                slots_[hole] = slots_[i];
                hole = i;
            }
        }
        slots_[hole].used = false;
        --size_;
    }

    template <class Visit>
    bool any_of(Visit visit) const {
        for (std::size_t i = 0; i < capacity_; ++i) {
            if (slots_[i].used && visit(slots_[i].key, slots_[i].value)) return true;
        }
        return false;
    }

    // Drops every entry and, if the table has grown large, its storage too.
    void clear_and_trim(std::size_t keep_capacity) {
        if (capacity_ > keep_capacity) {
            pool_->deallocate(slots_, capacity_ * sizeof(Entry));
            slots_ = nullptr;
            capacity_ = 0;
        } else {
            for (std::size_t i = 0; i < capacity_; ++i) slots_[i].used = false;
        }
        size_ = 0;
    }

private:
    std::size_t home(const Key& key) const { return Hash{}(key) & (capacity_ - 1); }
    std::size_t next(std::size_t i) const { return (i + 1) & (capacity_ - 1); }

    void grow() {
        Entry* old = slots_;
        const std::size_t old_capacity = capacity_;
        capacity_ = old_capacity == 0 ? 4 : old_capacity * 2;
        slots_ = static_cast<Entry*>(pool_->allocate(capacity_ * sizeof(Entry)));
        for (std::size_t i = 0; i < capacity_; ++i) slots_[i].used = false;
        size_ = 0;
        for (std::size_t i = 0; i < old_capacity; ++i) {
            if (old[i].used) insert(old[i].key, std::move(old[i].value));
        }
        if (old != nullptr) pool_->deallocate(old, old_capacity * sizeof(Entry));
    }

    BlockPool* pool_;
    Entry* slots_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};

}  // namespace quorvane
