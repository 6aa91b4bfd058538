// Small locks for short critical sections.
//
// UnfairLock: a mutex with no fairness guarantee; a waiter sleeps in the kernel. For any thread
// except a real-time one.
// SpinLock: never sleeps and makes no system call: a waiter spins (with a CPU pause hint) until
// the holder releases. Safe to take on a real-time thread when every holder keeps it for a few
// hundred nanoseconds and never blocks while holding it.
// Both satisfy Lockable, so std::lock_guard / std::unique_lock / std::scoped_lock work with them.
#ifndef CORVESSA_PLATFORM_UNFAIR_LOCK_H
#define CORVESSA_PLATFORM_UNFAIR_LOCK_H

#include <atomic>
#include <mutex>
#include <utility>

namespace platform {

/// Mutex-backed lock for short sections on ordinary threads.
class UnfairLock {
  public:
    /// Blocks until the lock is held.
    void lock();
    /// Takes the lock if it is free; never blocks.
    bool try_lock() noexcept;
    /// Releases the lock; only its holder may call it.
    void unlock() noexcept;
    /// Runs `body` with the lock held and returns its result.
    template <class F>
    decltype(auto) withLock(F&& body) {
        std::lock_guard guard(*this);
        return std::forward<F>(body)();
    }

  private:
    std::mutex mutex_;
};

/// Spinning lock safe for brief sections on a real-time thread.
class SpinLock {
  public:
    /// Spins until the lock is held.
    void lock() noexcept {
        while (held_.exchange(true, std::memory_order_acquire)) {
            while (held_.load(std::memory_order_relaxed)) {
                pause();
            }
        }
    }
    /// Takes the lock if it is free; never spins.
    bool try_lock() noexcept {
        return !held_.load(std::memory_order_relaxed) &&
               !held_.exchange(true, std::memory_order_acquire);
    }
    /// Releases the lock; only its holder may call it.
    void unlock() noexcept { held_.store(false, std::memory_order_release); }
    /// Runs `body` with the lock held and returns its result.
    template <class F>
    decltype(auto) withLock(F&& body) {
        std::lock_guard guard(*this);
        return std::forward<F>(body)();
    }

  private:
    // Tells the CPU this is a spin-wait: saves power and lets a sibling hyper-thread run.
    static void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }

    std::atomic<bool> held_{false};
};

}  // namespace platform

#endif
