// The in-process ring buffer: capacity, full/empty behaviour, wrap-around and a two-thread race.
#include <gtest/gtest.h>

#include <array>
#include <thread>

#include "amberlin/am_ring_buffer.h"

namespace {

constexpr uint32_t kFrame = 480;
using Frame = std::array<float, kFrame>;

Frame frame_of(float value) {
    Frame frame;
    frame.fill(value);
    return frame;
}

TEST(RingBuffer, CreationRulesAndCapacity) {
    EXPECT_EQ(am_ring_buffer_create(0, kFrame), nullptr);
    EXPECT_EQ(am_ring_buffer_create(16, 0), nullptr);
    EXPECT_EQ(am_ring_buffer_create(0xFFFFFFFFu, 1), nullptr);
    am_ring_buffer* buffer = am_ring_buffer_create(16, kFrame);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(am_ring_buffer_capacity(buffer), 16u);
    EXPECT_EQ(am_ring_buffer_available_write(buffer), 16u);
    am_ring_buffer_destroy(buffer);
    am_ring_buffer_destroy(nullptr);
}

TEST(RingBuffer, FullEmptyAndMismatchedLengths) {
    am_ring_buffer* buffer = am_ring_buffer_create(16, kFrame);
    ASSERT_NE(buffer, nullptr);
    for (int i = 0; i < 16; ++i) {
        ASSERT_EQ(am_ring_buffer_write(buffer, frame_of(static_cast<float>(i)).data(), kFrame), 1);
    }
    EXPECT_EQ(am_ring_buffer_write(buffer, frame_of(99).data(), kFrame), 0);
    EXPECT_EQ(am_ring_buffer_available_write(buffer), 0u);
    EXPECT_EQ(am_ring_buffer_available_read(buffer), 16u);

    Frame out = frame_of(-1);
    EXPECT_EQ(am_ring_buffer_read(buffer, out.data(), kFrame - 1), 0);
    EXPECT_EQ(out, frame_of(-1));
    EXPECT_EQ(am_ring_buffer_write(buffer, frame_of(1).data(), -1), 0);
    EXPECT_EQ(am_ring_buffer_write(buffer, nullptr, kFrame), 0);

    am_ring_buffer_clear(buffer);
    EXPECT_EQ(am_ring_buffer_available_read(buffer), 0u);
    EXPECT_EQ(am_ring_buffer_read(buffer, out.data(), kFrame), 0);
    EXPECT_EQ(out, frame_of(0));
    am_ring_buffer_destroy(buffer);
}

TEST(RingBuffer, IndicesWrapAndPreserveOrder) {
    am_ring_buffer* buffer = am_ring_buffer_create(2, kFrame);
    ASSERT_NE(buffer, nullptr);
    Frame out{};
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(am_ring_buffer_write(buffer, frame_of(static_cast<float>(i)).data(), kFrame), 1);
        ASSERT_EQ(am_ring_buffer_read(buffer, out.data(), kFrame), 1);
        ASSERT_EQ(out, frame_of(static_cast<float>(i)));
    }
    am_ring_buffer_destroy(buffer);
}

TEST(RingBuffer, NullHandleIsNeutral) {
    Frame out = frame_of(2);
    EXPECT_EQ(am_ring_buffer_read(nullptr, out.data(), kFrame), 0);
    EXPECT_EQ(out, frame_of(2));
    EXPECT_EQ(am_ring_buffer_available_read(nullptr), 0u);
    EXPECT_EQ(am_ring_buffer_available_write(nullptr), 0u);
    EXPECT_EQ(am_ring_buffer_capacity(nullptr), 0u);
    am_ring_buffer_clear(nullptr);
}

TEST(RingBuffer, TwoThreadsPassEveryFrameInOrder) {
    // Without eviction nothing may be lost: the reader sees 1..N exactly once, each whole.
    constexpr int kCount = 50000;
    am_ring_buffer* buffer = am_ring_buffer_create(8, kFrame);
    ASSERT_NE(buffer, nullptr);
    std::thread writer([&] {
        for (int i = 1; i <= kCount;) {
            i += am_ring_buffer_write(buffer, frame_of(static_cast<float>(i)).data(), kFrame);
        }
    });
    Frame out{};
    int expected = 1;
    while (expected <= kCount) {
        if (am_ring_buffer_read(buffer, out.data(), kFrame) == 1) {
            ASSERT_EQ(out, frame_of(static_cast<float>(expected)));
            ++expected;
        }
    }
    writer.join();
    am_ring_buffer_destroy(buffer);
}

}  // namespace
