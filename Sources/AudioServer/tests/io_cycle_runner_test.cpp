// The real-time IO runner on the real plug-in and the real host clock: cycles follow the
// device timeline (contiguous sample times, never ahead of real time), samples a producer
// writes arrive in order, and stopping ends IO.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "FreshPlugin.h"
#include "amberlin/am_shared_ring.h"
#include "audioserver/IOCycleRunner.h"
#include "audioserver/PluginHost.h"
#include "platform/AudioObjectProperties.h"

namespace {

using audioserver::IOCycleRunner;
using namespace std::chrono_literals;

constexpr UInt32 kCycle = 512;
constexpr size_t kMaxCycles = 400;

/// What the IO thread saw, stored into buffers sized before the runner starts.
struct Recording {
    std::vector<Float64> sampleTimes = std::vector<Float64>(kMaxCycles);
    std::vector<Float32> samples = std::vector<Float32>(kMaxCycles * kCycle);
    std::atomic<size_t> cycles{0};

    IOCycleRunner::Callback callback() {
        return [this](std::span<const Float32> block, Float64 sampleTime) {
            const size_t index = cycles.load(std::memory_order_relaxed);
            if (index < kMaxCycles) {
                sampleTimes[index] = sampleTime;
                std::copy(block.begin(), block.end(), samples.begin() + index * kCycle);
                cycles.store(index + 1, std::memory_order_release);
            }
        };
    }
};

class IOCycleRunnerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        producer = am_shared_ring_open(am_shared_ring_default_name(), true, 32, 480);
        ASSERT_NE(producer, nullptr);
        am_shared_ring_clear(producer);
        ASSERT_EQ(host.initialize(), 0);
    }
    void TearDown() override { am_shared_ring_close(producer); }

    UInt32 deviceIsRunning() {
        return host.properties()
            .u32(2, audioserver::propertyAddress(kAudioDevicePropertyDeviceIsRunning))
            .value_or(99);
    }

    corvessa::testing::FreshPluginCopy copy{HAL_PLUGIN_PATH};
    audioserver::PluginHost host{copy.path()};
    am_shared_ring* producer = nullptr;
    Recording recording;
};

TEST_F(IOCycleRunnerTest, CyclesFollowTheDeviceTimelineAndStopEndsIO) {
    IOCycleRunner runner(host.devices().at(0), kCycle, 48'000.0, recording.callback());
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(runner.start(), 0);
    EXPECT_EQ(deviceIsRunning(), 1u);
    std::this_thread::sleep_for(300ms);
    runner.stop();
    const double elapsedFrames =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() *
        48'000.0;
    EXPECT_EQ(deviceIsRunning(), 0u);
    EXPECT_FALSE(runner.isRunning());

    const size_t cycles = recording.cycles.load(std::memory_order_acquire);
    EXPECT_EQ(cycles, runner.cycleCount());
    EXPECT_EQ(runner.failedCycleCount(), 0u);
    // A cycle is read only once its last frame is due, so delivery never runs ahead of time;
    // a loaded two-core machine may fall behind, hence only a loose lower bound.
    EXPECT_LE(static_cast<double>(cycles * kCycle), elapsedFrames);
    EXPECT_GE(cycles, 5u);
    for (size_t i = 0; i < cycles; ++i) {
        ASSERT_EQ(recording.sampleTimes[i], static_cast<Float64>(i * kCycle)) << "cycle " << i;
    }
    const auto end = recording.samples.begin() + static_cast<long>(cycles * kCycle);
    EXPECT_EQ(std::count(recording.samples.begin(), end, 0.0f), static_cast<long>(cycles * kCycle))
        << "no producer: silence";
}

TEST_F(IOCycleRunnerTest, FramesFromAProducerArriveInOrder) {
    std::atomic<bool> producing{true};
    std::thread producerThread([&] {
        std::vector<float> frame(480);
        float next = 1.0f;
        while (producing.load()) {
            for (float& sample : frame) {
                sample = next++;
            }
            am_shared_ring_write_latest(producer, frame.data(), 480);
            std::this_thread::sleep_for(10ms);
        }
    });
    IOCycleRunner runner(host.devices().at(0), kCycle, 48'000.0, recording.callback());
    ASSERT_EQ(runner.start(), 0);
    std::this_thread::sleep_for(300ms);
    runner.stop();
    producing.store(false);
    producerThread.join();

    const size_t count = recording.cycles.load(std::memory_order_acquire) * kCycle;
    float last = 0.0f;
    size_t delivered = 0;
    for (size_t i = 0; i < count; ++i) {
        const float sample = recording.samples[i];
        if (sample != 0.0f) {
            ASSERT_GT(sample, last) << "sample " << i << " went backwards or repeated";
            last = sample;
            ++delivered;
        }
    }
    EXPECT_GE(delivered, 480u * 5) << "the producer's frames reached the callback";
}

TEST_F(IOCycleRunnerTest, AFailedStartLeavesNoThread) {
    audioserver::HostedDevice wrongDevice(host.driver(), 7, 3);
    IOCycleRunner runner(wrongDevice, kCycle, 48'000.0, recording.callback());
    EXPECT_EQ(runner.start(), kAudioHardwareBadObjectError);
    EXPECT_FALSE(runner.isRunning());
    runner.stop();
    EXPECT_THROW(IOCycleRunner(wrongDevice, 0, 48'000.0, {}), std::invalid_argument);
}

}  // namespace
