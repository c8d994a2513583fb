// Owned UTF-8 text on the C heap. Allocation failure ends the process with
// the allocation report; nothing here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvane {

class Text {
public:
    Text() = default;
    explicit Text(std::string_view text) { append(text); }
    Text(Text&& other) noexcept;
    Text& operator=(Text&& other) noexcept;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text();

    Text& append(std::string_view text);
    Text& append_unsigned(std::uint64_t value);
    Text& append_signed(std::int64_t value);

    std::string_view view() const { return {data_ ? data_ : "", size_}; }
    // NUL-terminated.
    const char* c_str() const { return data_ ? data_ : ""; }
    std::size_t size() const { return size_; }

private:
    void reserve(std::size_t capacity);
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace quorvane
