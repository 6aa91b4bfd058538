// The device's input IO cycle against the shared ring: silence and underruns without a producer,
// frame carry-over across cycles of any size, sample-exact order and the latency bound of three
// buffered frames, and the running-client count the device publishes.
#include <gtest/gtest.h>

#include <algorithm>

#include "InitializedPlugin.h"

namespace {

using corvessa::testing::InitializedPlugin;
using corvessa::testing::kFrame;

using DeviceIO = InitializedPlugin;

TEST_F(DeviceIO, WithoutAProducerCyclesAreSilentAndEachRefillCountsAnUnderrun) {
    const uint64_t before = health().underrun_count;
    const std::vector<float> first = readCycle(512);
    EXPECT_EQ(std::count(first.begin(), first.end(), 0.0f), 512);
    EXPECT_EQ(health().underrun_count - before, 2u) << "refills at samples 0 and 480";
    // 32 samples of the last frame were used; the next refill falls at sample 448.
    readCycle(448);
    EXPECT_EQ(health().underrun_count - before, 2u);
    readCycle(1);
    EXPECT_EQ(health().underrun_count - before, 3u);
}

TEST_F(DeviceIO, CyclesOf512CarryPartialFramesOverSampleExactly) {
    // The producer stays just ahead of the consumer, so no frame is skipped: the output must be
    // the stamped sample sequence 1, 2, 3, ... with nothing dropped or repeated.
    int written = 0;
    float expected = 1.0f;
    for (int cycle = 0; cycle < 60; ++cycle) {
        while (written * kFrame < (cycle + 1) * 512) {
            writeStampedFrame(1.0f + static_cast<float>(written * kFrame));
            ++written;
        }
        for (float sample : readCycle(512)) {
            ASSERT_EQ(sample, expected) << "cycle " << cycle;
            expected += 1.0f;
        }
    }
    EXPECT_EQ(health().available_read_frames, 0u);
}

TEST_F(DeviceIO, CyclesOfAnySizeDeliverTheSameSequence) {
    for (int frame = 0; frame < 3; ++frame) {
        writeStampedFrame(1.0f + static_cast<float>(frame * kFrame));
    }
    float expected = 1.0f;
    for (size_t size : {1u, 479u, 3u, 700u, 257u}) {
        for (float sample : readCycle(size)) {
            ASSERT_EQ(sample, expected);
            expected += 1.0f;
        }
    }
}

TEST_F(DeviceIO, ABacklogIsTrimmedToTheLatestThreeFrames) {
    const uint64_t overrunsBefore = health().overrun_count;
    for (int frame = 0; frame < 10; ++frame) {
        writeStampedFrame(static_cast<float>(frame * 1000));
    }
    const std::vector<float> samples = readCycle(kFrame);
    EXPECT_EQ(samples.front(), 7000.0f) << "the eighth-oldest frame is handed out";
    EXPECT_EQ(samples.back(), 7000.0f + kFrame - 1);
    EXPECT_EQ(health().overrun_count - overrunsBefore, 7u);
    EXPECT_EQ(health().available_read_frames, 2u);
}

TEST_F(DeviceIO, AFastProducerNeverGetsMoreThanThreeFramesAhead) {
    int written = 0;
    for (int cycle = 0; cycle < 40; ++cycle) {
        writeStampedFrame(static_cast<float>(written++ * kFrame));
        writeStampedFrame(static_cast<float>(written++ * kFrame));
        const std::vector<float> samples = readCycle(kFrame);
        const int frameIndex = static_cast<int>(samples.front()) / kFrame;
        EXPECT_GE(frameIndex, written - 3) << "cycle " << cycle;
        EXPECT_LE(health().available_read_frames, 2u);
    }
}

TEST_F(DeviceIO, InitializeOpensTheRingSoInputFlowsBeforeStartIO) {
    writeStampedFrame(5.0f);
    const std::vector<float> samples = readCycle(10);
    EXPECT_EQ(samples.front(), 5.0f);
    EXPECT_EQ(samples.back(), 14.0f);
}

TEST_F(DeviceIO, APartlyUsedFrameSurvivesStopAndStart) {
    ASSERT_EQ(device.startIO(), 0);
    writeStampedFrame(1.0f);
    EXPECT_EQ(readCycle(100).back(), 100.0f);
    ASSERT_EQ(device.stopIO(), 0);
    ASSERT_EQ(device.startIO(), 0);
    writeStampedFrame(1.0f + kFrame);
    const std::vector<float> samples = readCycle(kFrame);
    EXPECT_EQ(samples.front(), 101.0f);
    EXPECT_EQ(samples.back(), 580.0f);
    ASSERT_EQ(device.stopIO(), 0);
}

TEST_F(DeviceIO, StartAndStopPublishTheRunningClientCount) {
    EXPECT_EQ(deviceIsRunning(), 0u);
    ASSERT_EQ(device.startIO(1), 0);
    EXPECT_EQ(health().consumer_running_count, 1u);
    EXPECT_EQ(deviceIsRunning(), 1u);
    ASSERT_EQ(device.startIO(2), 0);
    EXPECT_EQ(health().consumer_running_count, 2u);
    ASSERT_EQ(device.stopIO(1), 0);
    EXPECT_EQ(health().consumer_running_count, 1u);
    EXPECT_EQ(deviceIsRunning(), 1u);
    ASSERT_EQ(device.stopIO(2), 0);
    EXPECT_EQ(health().consumer_running_count, 0u);
    EXPECT_EQ(deviceIsRunning(), 0u);
}

TEST_F(DeviceIO, StopWithNoClientRunningStaysAtZeroAndPublishesZero) {
    am_shared_ring_set_consumer_running_count(producer, 7);
    EXPECT_EQ(device.stopIO(), 0);
    EXPECT_EQ(health().consumer_running_count, 0u);
    EXPECT_EQ(deviceIsRunning(), 0u);
    ASSERT_EQ(device.startIO(), 0);
    EXPECT_EQ(health().consumer_running_count, 1u) << "the count did not go below zero";
    ASSERT_EQ(device.stopIO(), 0);
}

}  // namespace
