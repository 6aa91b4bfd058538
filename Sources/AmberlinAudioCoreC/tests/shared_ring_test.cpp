// Behaviour of the shared-memory ring: layout, open rules, full/empty/latest/trim, counters.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "amberlin/am_shared_ring.h"
#include "ring_test_support.h"

namespace {

using amberlin::test::RawMapping;
using amberlin::test::UniqueShmName;

constexpr uint32_t kFrame = 480;
using Frame = std::array<float, kFrame>;

Frame frame_of(float value) {
    Frame frame;
    frame.fill(value);
    return frame;
}

/// A fresh ring of 32 frames of 480 samples under a unique name, closed and unlinked afterwards.
class SharedRingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ring_ = am_shared_ring_open(name_.c_str(), true, 32, kFrame);
        ASSERT_NE(ring_, nullptr);
    }
    void TearDown() override { am_shared_ring_close(ring_); }

    void write_frames(int first, int count) {
        for (int i = first; i < first + count; ++i) {
            const Frame frame = frame_of(static_cast<float>(i));
            ASSERT_EQ(am_shared_ring_write_latest(ring_, frame.data(), kFrame), 1);
        }
    }

    UniqueShmName name_;
    am_shared_ring* ring_ = nullptr;
};

TEST_F(SharedRingTest, ObjectHasTheBindingHeaderLayout) {
    // The header is the cross-process format: check it byte by byte through a second mapping.
    write_frames(7, 1);
    am_shared_ring_set_producer_attached(ring_, 1);
    am_shared_ring_set_consumer_running_count(ring_, 2);
    RawMapping raw(name_.c_str());
    ASSERT_TRUE(raw.valid());
    EXPECT_EQ(raw.size(), 63408u);
    const std::array<unsigned char, 4> magic{0x48, 0x53, 0x4D, 0x41};
    EXPECT_EQ(std::memcmp(raw.bytes(), magic.data(), 4), 0);
    EXPECT_EQ(raw.u32(4).load(), 33u);
    EXPECT_EQ(raw.u32(8).load(), 480u);
    EXPECT_EQ(raw.u32(12).load(), 0u);
    EXPECT_EQ(raw.u32(16).load(), 1u);
    EXPECT_EQ(raw.u32(20).load(), 0u);
    EXPECT_EQ(raw.u64(24).load(), 0u);
    EXPECT_EQ(raw.u64(32).load(), 0u);
    EXPECT_EQ(raw.u32(40).load(), 1u);
    EXPECT_EQ(raw.u32(44).load(), 2u);
    float first_sample = 0.0f;
    std::memcpy(&first_sample, raw.bytes() + 48, sizeof(float));
    EXPECT_EQ(first_sample, 7.0f);
}

TEST(SharedRingOpen, RefusesInvalidArgumentsAndOverflowingGeometry) {
    UniqueShmName name;
    EXPECT_EQ(am_shared_ring_open(nullptr, true, 32, kFrame), nullptr);
    EXPECT_EQ(am_shared_ring_open(name.c_str(), true, 0, kFrame), nullptr);
    EXPECT_EQ(am_shared_ring_open(name.c_str(), true, 32, 0), nullptr);
    // A capacity whose slot count (capacity + 1) overflows 32 bits, and a size beyond 2^63.
    EXPECT_EQ(am_shared_ring_open(name.c_str(), true, 0xFFFFFFFFu, 1), nullptr);
    EXPECT_EQ(am_shared_ring_open(name.c_str(), true, 0xFFFFFFFEu, 0xFFFFFFFFu), nullptr);
    // Opening without creation fails for a missing object.
    EXPECT_EQ(am_shared_ring_open(name.c_str(), false, 32, kFrame), nullptr);
}

TEST(SharedRingOpen, WithoutCreationRefusesAnObjectSmallerThanTheRing) {
    // The smaller object must not be mapped past its end: the open fails instead.
    UniqueShmName name;
    am_shared_ring* small = am_shared_ring_open(name.c_str(), true, 4, kFrame);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(am_shared_ring_open(name.c_str(), false, 32, kFrame), nullptr);
    am_shared_ring* same = am_shared_ring_open(name.c_str(), false, 4, kFrame);
    EXPECT_NE(same, nullptr);
    am_shared_ring_close(same);
    am_shared_ring_close(small);
}

TEST_F(SharedRingTest, ReopeningJoinsSameGeometryAndResetsAnotherOne) {
    write_frames(0, 5);
    Frame out{};
    am_shared_ring_read(ring_, out.data(), kFrame);
    am_shared_ring_read(ring_, out.data(), kFrame);
    ASSERT_EQ(am_shared_ring_write(ring_, frame_of(1).data(), 100), 0);  // touches nothing
    {
        // Same geometry: buffered frames and counters survive.
        am_shared_ring* again = am_shared_ring_open(name_.c_str(), true, 32, kFrame);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(am_shared_ring_health(again).available_read_frames, 3u);
        ASSERT_EQ(am_shared_ring_read(again, out.data(), kFrame), 1);
        EXPECT_EQ(out[0], 2.0f);
        am_shared_ring_close(again);
    }
    // Another frame length re-initialises the header, counters included.
    am_shared_ring_read(ring_, out.data(), kFrame);
    am_shared_ring_read(ring_, out.data(), kFrame);
    am_shared_ring_read(ring_, out.data(), kFrame);  // empty: one underrun
    ASSERT_EQ(am_shared_ring_health(ring_).underrun_count, 1u);
    am_shared_ring* other = am_shared_ring_open(name_.c_str(), true, 32, 240);
    ASSERT_NE(other, nullptr);
    const am_shared_ring_health_info health = am_shared_ring_health(other);
    EXPECT_EQ(health.underrun_count, 0u);
    EXPECT_EQ(health.available_read_frames, 0u);
    EXPECT_EQ(health.available_write_frames, 32u);
    RawMapping raw(name_.c_str());
    EXPECT_EQ(raw.u32(8).load(), 240u);
    am_shared_ring_close(other);
}

TEST_F(SharedRingTest, StrictWriteDropsTheNewestFrameWhenFull) {
    write_frames(0, 32);
    EXPECT_EQ(am_shared_ring_health(ring_).available_write_frames, 0u);
    EXPECT_EQ(am_shared_ring_write(ring_, frame_of(99).data(), kFrame), 0);
    EXPECT_EQ(am_shared_ring_health(ring_).overrun_count, 1u);
    Frame out{};
    ASSERT_EQ(am_shared_ring_read(ring_, out.data(), kFrame), 1);
    EXPECT_EQ(out[0], 0.0f);
}

TEST_F(SharedRingTest, LatestWriteEvictsTheOldestFrameWhenFull) {
    write_frames(0, 33);
    const am_shared_ring_health_info health = am_shared_ring_health(ring_);
    EXPECT_EQ(health.available_read_frames, 32u);
    EXPECT_EQ(health.overrun_count, 1u);
    Frame out{};
    for (int expected = 1; expected <= 32; ++expected) {
        ASSERT_EQ(am_shared_ring_read(ring_, out.data(), kFrame), 1);
        ASSERT_EQ(out[0], static_cast<float>(expected));
    }
}

TEST_F(SharedRingTest, EmptyReadZeroFillsAndCountsAnUnderrun) {
    Frame out = frame_of(5);
    EXPECT_EQ(am_shared_ring_read(ring_, out.data(), kFrame), 0);
    EXPECT_EQ(out, frame_of(0));
    out = frame_of(5);
    EXPECT_EQ(am_shared_ring_read_latest(ring_, out.data(), kFrame, 3), 0);
    EXPECT_EQ(out, frame_of(0));
    EXPECT_EQ(am_shared_ring_health(ring_).underrun_count, 2u);
}

TEST_F(SharedRingTest, LatestReadTrimsToTheLatencyBound) {
    write_frames(1, 10);
    Frame out{};
    ASSERT_EQ(am_shared_ring_read_latest(ring_, out.data(), kFrame, 3), 1);
    EXPECT_EQ(out[0], 8.0f);  // the first 7 are skipped
    const am_shared_ring_health_info health = am_shared_ring_health(ring_);
    EXPECT_EQ(health.overrun_count, 7u);
    EXPECT_EQ(health.available_read_frames, 2u);
    // M = 0 disables the trimming.
    write_frames(11, 5);
    ASSERT_EQ(am_shared_ring_read_latest(ring_, out.data(), kFrame, 0), 1);
    EXPECT_EQ(out[0], 9.0f);
    EXPECT_EQ(am_shared_ring_health(ring_).overrun_count, 7u);
}

TEST_F(SharedRingTest, MismatchedLengthsTouchNothing) {
    write_frames(0, 2);
    const am_shared_ring_health_info before = am_shared_ring_health(ring_);
    Frame out = frame_of(42);
    EXPECT_EQ(am_shared_ring_write(ring_, frame_of(1).data(), 479), 0);
    EXPECT_EQ(am_shared_ring_write_latest(ring_, frame_of(1).data(), -480), 0);
    EXPECT_EQ(am_shared_ring_read(ring_, out.data(), 481), 0);
    EXPECT_EQ(am_shared_ring_read_latest(ring_, out.data(), 0, 3), 0);
    EXPECT_EQ(out, frame_of(42));
    const am_shared_ring_health_info after = am_shared_ring_health(ring_);
    EXPECT_EQ(after.available_read_frames, before.available_read_frames);
    EXPECT_EQ(after.underrun_count, before.underrun_count);
    EXPECT_EQ(after.overrun_count, before.overrun_count);
}

TEST_F(SharedRingTest, ClearEmptiesButKeepsCountersAndFlags) {
    write_frames(0, 33);
    am_shared_ring_set_producer_attached(ring_, 7);  // any non-zero value reads as attached
    am_shared_ring_clear(ring_);
    const am_shared_ring_health_info health = am_shared_ring_health(ring_);
    EXPECT_EQ(health.available_read_frames, 0u);
    EXPECT_EQ(health.available_write_frames, 32u);
    EXPECT_EQ(health.overrun_count, 1u);
    EXPECT_TRUE(health.producer_attached);
}

TEST(SharedRingNullHandle, EveryOperationIsANoOp) {
    Frame frame = frame_of(3);
    EXPECT_EQ(am_shared_ring_write(nullptr, frame.data(), kFrame), 0);
    EXPECT_EQ(am_shared_ring_write_latest(nullptr, frame.data(), kFrame), 0);
    EXPECT_EQ(am_shared_ring_read(nullptr, frame.data(), kFrame), 0);
    EXPECT_EQ(am_shared_ring_read_latest(nullptr, frame.data(), kFrame, 3), 0);
    EXPECT_EQ(frame, frame_of(3));
    am_shared_ring_clear(nullptr);
    am_shared_ring_set_producer_attached(nullptr, 1);
    am_shared_ring_set_consumer_running_count(nullptr, 1);
    am_shared_ring_close(nullptr);
    const am_shared_ring_health_info health = am_shared_ring_health(nullptr);
    EXPECT_EQ(health.available_read_frames, 0u);
    EXPECT_EQ(health.available_write_frames, 0u);
    EXPECT_EQ(health.underrun_count, 0u);
    EXPECT_EQ(health.overrun_count, 0u);
    EXPECT_FALSE(health.producer_attached);
    EXPECT_EQ(health.consumer_running_count, 0u);
    EXPECT_STREQ(am_shared_ring_default_name(), "/amvmic");
}

}  // namespace
