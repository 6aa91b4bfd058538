// Fixed-capacity FIFO of trivially copyable values, sized once at construction.
#ifndef AMBERLIN_CORE_FIXED_RING_H
#define AMBERLIN_CORE_FIXED_RING_H

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <span>
#include <vector>

namespace amberlin::core {

/// Double-ended-queue stand-in for real-time code: appends at the back, removes from the front,
/// indexes from the front, and never allocates after construction. Callers keep within capacity
/// (checked in debug builds); `push_back` of a span larger than the room left is a caller error.
template <typename T>
class FixedRing {
  public:
    /// Allocates room for `capacity` values (at least 1).
    explicit FixedRing(std::size_t capacity) : storage_(std::max<std::size_t>(capacity, 1)) {}

    /// Number of values held.
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    /// Maximum number of values.
    [[nodiscard]] std::size_t capacity() const noexcept { return storage_.size(); }
    /// True when no value is held.
    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }
    /// True when `size() == capacity()`.
    [[nodiscard]] bool full() const noexcept { return size_ == storage_.size(); }

    /// The value `i` places behind the front (i < size()).
    [[nodiscard]] const T& operator[](std::size_t i) const noexcept {
        assert(i < size_);
        return storage_[wrap(head_ + i)];
    }

    /// Removes every value.
    void clear() noexcept {
        head_ = 0;
        size_ = 0;
    }

    /// Appends one value; the ring must not be full.
    void push_back(T value) noexcept {
        assert(!full());
        storage_[wrap(head_ + size_)] = value;
        ++size_;
    }

    /// Appends every value of `values`; they must fit.
    void push_back(std::span<const T> values) noexcept {
        assert(values.size() <= capacity() - size_);
        std::size_t tail = wrap(head_ + size_);
        const std::size_t first = std::min(values.size(), capacity() - tail);
        std::copy_n(values.begin(), first, storage_.begin() + static_cast<std::ptrdiff_t>(tail));
        std::copy(values.begin() + static_cast<std::ptrdiff_t>(first), values.end(),
                  storage_.begin());
        size_ += values.size();
    }

    /// Removes and returns the front value; the ring must not be empty.
    T pop_front() noexcept {
        assert(!empty());
        const T value = storage_[head_];
        drop_front(1);
        return value;
    }

    /// Moves the `out.size()` front values into `out`; the ring must hold that many.
    void pop_front(std::span<T> out) noexcept {
        assert(out.size() <= size_);
        const std::size_t first = std::min(out.size(), capacity() - head_);
        std::copy_n(storage_.begin() + static_cast<std::ptrdiff_t>(head_), first, out.begin());
        std::copy_n(storage_.begin(), out.size() - first,
                    out.begin() + static_cast<std::ptrdiff_t>(first));
        drop_front(out.size());
    }

    /// Removes the `count` front values (at most `size()`).
    void drop_front(std::size_t count) noexcept {
        assert(count <= size_);
        head_ = wrap(head_ + count);
        size_ -= count;
    }

  private:
    [[nodiscard]] std::size_t wrap(std::size_t position) const noexcept {
        return position >= storage_.size() ? position - storage_.size() : position;
    }

    std::vector<T> storage_;
    std::size_t head_ = 0;  // index of the front value in storage_
    std::size_t size_ = 0;
};

}  // namespace amberlin::core

#endif
