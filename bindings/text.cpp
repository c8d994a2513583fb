#include "text.hpp"

#include "memory.hpp"

#include <cstdlib>
#include <cstring>
#include <utility>

namespace quorvane {

Text::Text(Text&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

Text& Text::operator=(Text&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

Text::~Text() { std::free(data_); }

void Text::reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    std::size_t grown = capacity_ < 32 ? 32 : capacity_ * 2;
    if (grown < capacity) grown = capacity;
    data_ = static_cast<char*>(reallocate_or_abort(data_, grown));
    capacity_ = grown;
}

Text& Text::append(std::string_view text) {
    reserve(size_ + text.size() + 1);
    if (!text.empty()) std::memcpy(data_ + size_, text.data(), text.size());
    size_ += text.size();
    data_[size_] = '\0';
    return *this;
}

Text& Text::append_unsigned(std::uint64_t value) {
    char digits[20];
    std::size_t count = 0;
    do {
        digits[sizeof digits - ++count] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return append({digits + sizeof digits - count, count});
}

Text& Text::append_signed(std::int64_t value) {
    if (value >= 0) return append_unsigned(static_cast<std::uint64_t>(value));
    append("-");
    return append_unsigned(0 - static_cast<std::uint64_t>(value));
}

}  // namespace quorvane
