// A header rewritten by another process (corrupt or hostile) never moves a copy outside the
// mapping; out-of-range indices read as an empty ring that both sides recover from.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <random>
#include <thread>

#include "amberlin/am_shared_ring.h"
#include "ring_test_support.h"

namespace {

using amberlin::test::RawMapping;
using amberlin::test::UniqueShmName;

constexpr uint32_t kFrame = 480;
constexpr size_t kReadIndex = 12;
constexpr size_t kWriteIndex = 16;
using Frame = std::array<float, kFrame>;

Frame frame_of(float value) {
    Frame frame;
    frame.fill(value);
    return frame;
}

/// A producer handle, a consumer handle and a raw "other process" view of one object.
class HostileHeaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        producer_ = am_shared_ring_open(name_.c_str(), true, 32, kFrame);
        consumer_ = am_shared_ring_open(name_.c_str(), true, 32, kFrame);
        ASSERT_NE(producer_, nullptr);
        ASSERT_NE(consumer_, nullptr);
        raw_ = std::make_unique<RawMapping>(name_.c_str());
        ASSERT_TRUE(raw_->valid());
    }
    void TearDown() override {
        am_shared_ring_close(producer_);
        am_shared_ring_close(consumer_);
    }

    /// After any corruption, the ring must work normally again within one write and one read.
    void expect_recovers() {
        Frame out{};
        am_shared_ring_read_latest(consumer_, out.data(), kFrame, 3);
        ASSERT_EQ(am_shared_ring_write_latest(producer_, frame_of(77).data(), kFrame), 1);
        ASSERT_EQ(am_shared_ring_read_latest(consumer_, out.data(), kFrame, 3), 1);
        EXPECT_EQ(out, frame_of(77));
        EXPECT_LT(raw_->u32(kReadIndex).load(), 33u);
        EXPECT_LT(raw_->u32(kWriteIndex).load(), 33u);
    }

    UniqueShmName name_;
    am_shared_ring* producer_ = nullptr;
    am_shared_ring* consumer_ = nullptr;
    std::unique_ptr<RawMapping> raw_;
};

TEST_F(HostileHeaderTest, OutOfRangeIndicesReadAsEmptyAndAreRepaired) {
    const std::array<std::pair<uint32_t, uint32_t>, 4> cases{
        {{0xFFFFFFFFu, 3}, {3, 0xFFFFFFFFu}, {33, 33}, {0x80000000u, 1000}}};
    for (const auto& [read, write] : cases) {
        SCOPED_TRACE(testing::Message() << "read " << read << " write " << write);
        raw_->u32(kReadIndex).store(read);
        raw_->u32(kWriteIndex).store(write);
        const am_shared_ring_health_info health = am_shared_ring_health(consumer_);
        EXPECT_EQ(health.available_read_frames, 0u);
        EXPECT_EQ(health.available_write_frames, 32u);
        Frame out = frame_of(1);
        EXPECT_EQ(am_shared_ring_read_latest(consumer_, out.data(), kFrame, 3), 0);
        EXPECT_EQ(out, frame_of(0));
        expect_recovers();
    }
}

TEST_F(HostileHeaderTest, ChangedGeometryFieldsDoNotChangeTheHandlesGeometry) {
    // Slot count and frame length rewritten after open: addressing keeps the validated values.
    raw_->u32(4).store(0xFFFFFFFFu);
    raw_->u32(8).store(1u << 30);
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(
            am_shared_ring_write_latest(producer_, frame_of(static_cast<float>(i)).data(), kFrame),
            1);
    }
    Frame out{};
    ASSERT_EQ(am_shared_ring_read_latest(consumer_, out.data(), kFrame, 3), 1);
    EXPECT_EQ(out, frame_of(97));
    EXPECT_EQ(am_shared_ring_write(producer_, frame_of(0).data(), 1 << 30), 0);
}

TEST_F(HostileHeaderTest, GarbageCountersStayCountersOnly) {
    raw_->u64(24).store(~0ull);
    raw_->u64(32).store(~0ull - 3);
    Frame out{};
    EXPECT_EQ(am_shared_ring_read(consumer_, out.data(), kFrame), 0);  // counter wraps, no harm
    expect_recovers();
}

TEST_F(HostileHeaderTest, HeaderScribbledWhileBothSidesRun) {
    // Another process rewrites the whole header with random words while a producer and a
    // consumer run; neither may fault, and the ring works once the scribbling stops.
    std::atomic<bool> stop{false};
    std::thread scribbler([&] {
        std::mt19937 random(1234);
        while (!stop.load()) {
            const size_t word = random() % 12;
            raw_->u32(word * 4).store(static_cast<uint32_t>(random()));
        }
    });
    std::thread producer([&] {
        const Frame frame = frame_of(5);
        for (int i = 0; i < 20000; ++i) {
            am_shared_ring_write_latest(producer_, frame.data(), kFrame);
        }
    });
    Frame out{};
    for (int i = 0; i < 20000; ++i) {
        // A lying header may hand out any slot; the samples still come from inside the ring.
        am_shared_ring_read_latest(consumer_, out.data(), kFrame, 3);
        for (const float sample : out) {
            ASSERT_TRUE(sample == 0.0f || sample == 5.0f);
        }
    }
    producer.join();
    stop = true;
    scribbler.join();
    raw_->u32(kReadIndex).store(0);
    raw_->u32(kWriteIndex).store(0);
    expect_recovers();
}

}  // namespace
