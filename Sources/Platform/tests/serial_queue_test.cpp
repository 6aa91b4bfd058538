// The serial queue runs tasks one at a time in submission order, honours delays, and survives
// being released from inside its own task.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/SerialQueue.h"

namespace {

using namespace std::chrono_literals;
using platform::SerialQueue;

TEST(SerialQueue, RunsTasksInOrderOneAtATime) {
    SerialQueue queue("com.halvern.corvessa.test");
    EXPECT_EQ(queue.label(), "com.halvern.corvessa.test");
    std::vector<int> order;  // touched only on the queue: no lock needed if tasks never overlap
    std::atomic<int> running{0};
    std::atomic<int> overlaps{0};
    for (int i = 0; i < 200; ++i) {
        queue.async([&, i] {
            overlaps += running.fetch_add(1) != 0 ? 1 : 0;
            order.push_back(i);
            running.fetch_sub(1);
        });
    }
    queue.sync([] {});
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(order[static_cast<size_t>(i)], i);
    }
    EXPECT_EQ(overlaps.load(), 0);
}

TEST(SerialQueue, SyncWaitsAndRunsInlineOnItsOwnThread) {
    SerialQueue queue("sync");
    bool ran_inside = false;
    bool current_inside = false;
    queue.sync([&] {
        current_inside = queue.isCurrent();
        queue.sync([&] { ran_inside = true; });  // would deadlock if not run inline
    });
    EXPECT_TRUE(ran_inside);
    EXPECT_TRUE(current_inside);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, DelayedTasksRunAfterTheirDelayInDeadlineOrder) {
    SerialQueue queue("delayed");
    std::vector<int> order;
    const auto start = SerialQueue::Clock::now();
    SerialQueue::Clock::time_point late_ran{};
    queue.asyncAfter(60ms, [&] {
        order.push_back(2);
        late_ran = SerialQueue::Clock::now();
    });
    queue.asyncAfter(20ms, [&] { order.push_back(1); });
    queue.async([&] { order.push_back(0); });
    std::this_thread::sleep_for(150ms);
    queue.sync([] {});
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    EXPECT_GE(late_ran - start, 60ms);
}

TEST(SerialQueue, DestructionRunsDueTasksAndDropsPendingDelays) {
    std::atomic<int> ran{0};
    {
        SerialQueue queue("drain");
        for (int i = 0; i < 10; ++i) {
            queue.async([&] { ran.fetch_add(1); });
        }
        queue.asyncAfter(10s, [&] { ran.fetch_add(100); });
    }
    EXPECT_EQ(ran.load(), 10);
}

TEST(SerialQueue, MayBeReleasedFromItsOwnTask) {
    auto queue = std::make_shared<SerialQueue>("self-release");
    std::atomic<bool> released{false};
    SerialQueue* raw = queue.get();
    raw->async([&released, owner = std::move(queue)]() mutable {
        owner.reset();  // the last reference: the queue is destroyed on its own worker
        released = true;
    });
    for (int i = 0; i < 200 && !released; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(released.load());
}

}  // namespace
