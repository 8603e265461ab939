// A vector whose first few elements live inside it, so that the many small
// containers of a recording (a frame's locals, a short list) are copied out
// without an allocation.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace sarn {

template <class T, size_t N>
class SmallVector {
public:
    SmallVector() noexcept = default;
    SmallVector(const SmallVector&) = delete;
    SmallVector& operator=(const SmallVector&) = delete;
    SmallVector(SmallVector&& other) noexcept {
        if (!other.on_heap()) {
            for (T& item : other) push_back(std::move(item));
            other.clear();
            return;
        }
        data_ = std::exchange(other.data_, other.inline_data());
        size_ = std::exchange(other.size_, 0);
        capacity_ = std::exchange(other.capacity_, N);
    }
    SmallVector& operator=(SmallVector&&) = delete;
    ~SmallVector() {
        clear();
        if (on_heap()) ::operator delete(data_);
    }

    void reserve(size_t wanted) {
        if (wanted > capacity_) grow(wanted);
    }
    template <class... Args>
    T& emplace_back(Args&&... args) {
        if (size_ == capacity_) grow(2 * capacity_);
        T* item = new (data_ + size_) T(std::forward<Args>(args)...);
        ++size_;
        return *item;
    }
    void push_back(T&& item) { emplace_back(std::move(item)); }
    void push_back(const T& item) { emplace_back(item); }
    void pop_back() noexcept { data_[--size_].~T(); }
    void clear() noexcept {
        if constexpr (std::is_trivially_destructible_v<T>) {
            size_ = 0;
        } else {
            while (size_ > 0) pop_back();
        }
    }

    [[nodiscard]] size_t size() const noexcept { return size_; }
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    T& operator[](size_t i) noexcept { return data_[i]; }
    const T& operator[](size_t i) const noexcept { return data_[i]; }
    T& back() noexcept { return data_[size_ - 1]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }

private:
    T* inline_data() noexcept { return std::launder(reinterpret_cast<T*>(inline_)); }
    [[nodiscard]] bool on_heap() const noexcept { return data_ != reinterpret_cast<const T*>(inline_); }
    void grow(size_t wanted) {
        T* bigger = static_cast<T*>(::operator new(wanted * sizeof(T)));
        for (size_t i = 0; i < size_; ++i) {
            new (bigger + i) T(std::move(data_[i]));
            data_[i].~T();
        }
        if (on_heap()) ::operator delete(data_);
        data_ = bigger;
        capacity_ = wanted;
    }

    alignas(T) unsigned char inline_[N * sizeof(T)];
    T* data_ = reinterpret_cast<T*>(inline_);
    size_t size_ = 0;
    size_t capacity_ = N;
};

}  // namespace sarn
