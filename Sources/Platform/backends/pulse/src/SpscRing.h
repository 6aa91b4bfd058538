// A bounded single-producer single-consumer queue of trivially copyable items, lock-free and
// allocation-free after construction: the hand-off from the sound server's thread to a real-time
// IO thread.
//
// Pushes and pops move whole runs of items or nothing. Positions are free-running counters; the
// producer publishes its position with release ordering after copying, the consumer its own after
// reading, and each loads the other's with acquire ordering.
//
// Threads: one producer thread calls push/writable, one consumer thread pop/readable.
#ifndef CORVESSA_PLATFORM_SPSC_RING_H
#define CORVESSA_PLATFORM_SPSC_RING_H

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <memory>
#include <type_traits>

namespace platform {

template <class T>
class SpscRing {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    /// Room for at least `capacity` items (rounded up to a power of two).
    explicit SpscRing(std::size_t capacity)
        : mask_(std::bit_ceil(std::max<std::size_t>(capacity, 2)) - 1),
          items_(std::make_unique<T[]>(mask_ + 1)) {}

    /// Items the producer may push now.
    std::size_t writable() const noexcept {
        return mask_ + 1 -
               (head_.load(std::memory_order_relaxed) - tail_.load(std::memory_order_acquire));
    }
    /// Items the consumer may pop now.
    std::size_t readable() const noexcept {
        return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_relaxed);
    }

    /// Appends `count` items (value-initialised ones when `items` is null); false, with nothing
    /// appended, when they do not all fit.
    bool push(const T* items, std::size_t count) noexcept {
        if (count > writable()) {
            return false;
        }
        const std::size_t head = head_.load(std::memory_order_relaxed);
        for (std::size_t i = 0; i < count; ++i) {
            items_[(head + i) & mask_] = items != nullptr ? items[i] : T{};
        }
        head_.store(head + count, std::memory_order_release);
        return true;
    }

    /// Removes the `count` oldest items into `out`; false, with nothing removed, when fewer are
    /// queued.
    bool pop(T* out, std::size_t count) noexcept {
        if (count > readable()) {
            return false;
        }
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        for (std::size_t i = 0; i < count; ++i) {
            out[i] = items_[(tail + i) & mask_];
        }
        tail_.store(tail + count, std::memory_order_release);
        return true;
    }

  private:
    const std::size_t mask_;
    const std::unique_ptr<T[]> items_;
    alignas(64) std::atomic<std::size_t> head_{0};  // written by the producer
    alignas(64) std::atomic<std::size_t> tail_{0};  // written by the consumer
};

}  // namespace platform

#endif
