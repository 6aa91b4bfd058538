// Both locks exclude each other's holders completely under contention, and try_lock never
// takes a held lock.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/UnfairLock.h"

namespace {

using platform::SpinLock;
using platform::UnfairLock;

/// Four threads each add 1 to a plain counter 50 000 times under `lock`; a lost update (or a
/// data race under ThreadSanitizer) shows that the lock let two holders in.
template <class Lock>
long contendedCount(Lock& lock) {
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50'000; ++i) {
                std::lock_guard guard(lock);
                counter = counter + 1;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    return lock.withLock([&] { return counter; });
}

/// try_lock from another thread fails while the lock is held and succeeds after release.
template <class Lock>
void checkTryLock(Lock& lock) {
    lock.lock();
    bool whileHeld = true;
    std::thread([&] { whileHeld = lock.try_lock(); }).join();
    EXPECT_FALSE(whileHeld);
    lock.unlock();
    bool afterRelease = false;
    std::thread([&] {
        afterRelease = lock.try_lock();
        if (afterRelease) {
            lock.unlock();
        }
    }).join();
    EXPECT_TRUE(afterRelease);
}

TEST(UnfairLock, ExcludesConcurrentHoldersAndTryLockRespectsTheHolder) {
    UnfairLock lock;
    EXPECT_EQ(contendedCount(lock), 200'000);
    checkTryLock(lock);
}

TEST(SpinLock, ExcludesConcurrentHoldersAndTryLockRespectsTheHolder) {
    SpinLock lock;
    EXPECT_EQ(contendedCount(lock), 200'000);
    checkTryLock(lock);
}

}  // namespace
