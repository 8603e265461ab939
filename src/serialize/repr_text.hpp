// A text buffer for the short reprs of containers, made without Python.
#pragma once

#include <Python.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <string_view>

namespace sarn::serialize {

// The text of a short repr as it is made, in UTF-8: its many short pieces
// are appended inline, into room that its maker keeps from one repr to the
// next (the commonest fit in the first, which needs no allocation).
class ReprText {
public:
    ReprText() = default;
    ReprText(const ReprText&) = delete;
    ReprText& operator=(const ReprText&) = delete;

    void clear() noexcept {
        used_ = 0;
        ascii_ = true;
    }
    // Said by whoever appends text that may not be ASCII.
    void note_non_ascii() noexcept { ascii_ = false; }
    [[gnu::always_inline]] ReprText& append(const char* data, size_t size) {
        std::memcpy(claim(size), data, size);
        return *this;
    }
    ReprText& append(std::string_view text) { return append(text.data(), text.size()); }
    [[gnu::always_inline]] void push_back(char c) { *claim(1) = c; }
    [[gnu::always_inline]] void append_int(long long number) {
        if (number >= 0 && number < 10) return push_back(static_cast<char>('0' + number));
        append_digits(number);
    }
    size_t size() const noexcept { return used_; }
    std::string_view view() const noexcept { return {data_, used_}; }
    // Its characters when they are known without counting (all ASCII), -1
    // otherwise.
    Py_ssize_t characters() const noexcept { return ascii_ ? static_cast<Py_ssize_t>(used_) : -1; }

private:
    [[gnu::noinline]] void append_digits(long long number) {
        constexpr size_t most = 20;  // digits and sign of any long long
        char* at = claim(most);
        used_ -= static_cast<size_t>(at + most - std::to_chars(at, at + most, number).ptr);
    }
    [[gnu::always_inline]] char* claim(size_t size) {
        if (capacity_ - used_ < size) [[unlikely]] grow(size);
        char* at = data_ + used_;
        used_ += size;
        return at;
    }
    [[gnu::noinline]] void grow(size_t size) {
        const size_t wanted = std::max(2 * capacity_, used_ + size);
        auto bigger = std::make_unique<char[]>(wanted);
        std::memcpy(bigger.get(), data_, used_);
        heap_ = std::move(bigger);
        data_ = heap_.get();
        capacity_ = wanted;
    }

    char inline_[512];
    std::unique_ptr<char[]> heap_;
    char* data_ = inline_;
    size_t capacity_ = sizeof inline_;
    size_t used_ = 0;
    bool ascii_ = true;
};

}  // namespace sarn::serialize
