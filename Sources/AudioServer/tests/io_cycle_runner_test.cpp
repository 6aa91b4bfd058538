// The real-time IO runner on the real plug-in and the real host clock: cycles follow the
// device timeline (contiguous sample times, never ahead of real time), samples a producer
// writes arrive in order, and stopping ends IO.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "FreshPlugin.h"
#include "amberlin/am_shared_ring.h"
#include "audioserver/IOCycleRunner.h"
#include "audioserver/PluginHost.h"
#include "platform/AudioObjectProperties.h"
#include "platform/HostClock.h"
#include "platform/testing/Eventually.h"

namespace {

using audioserver::IOCycleRunner;
using namespace std::chrono_literals;

constexpr UInt32 kCycle = 512;
constexpr size_t kMaxCycles = 400;

using corvessa::testing::eventually;

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

TEST_F(IOCycleRunnerTest, AfterTheDeviceRestartsItsTimelineTheNextCycleWaitsForItsEnd) {
    // A second client's StartIO re-anchors the device clock. The runner must not read the new
    // timeline's first cycle before its last frame is due on the (hand-driven) host clock.
    platform::ManualHostClock clock{5'000'000};
    platform::ScopedHostClock installed{clock};
    const double ticksPerFrame = 1e9 / 48'000.0;
    const auto frames = [&](double count) { return static_cast<uint64_t>(count * ticksPerFrame); };
    const auto cycles = [&] { return recording.cycles.load(std::memory_order_acquire); };
    audioserver::HostedDevice device = host.devices().at(0);
    IOCycleRunner runner(device, kCycle, 48'000.0, recording.callback());
    ASSERT_EQ(runner.start(), 0);
    clock.advance(frames(1'000));
    ASSERT_TRUE(eventually([&] { return cycles() == 1; }));

    ASSERT_EQ(device.startIO(7), 0);  // the new timeline starts 1 000 frames in
    clock.advance(frames(100));       // past the old cycle's end, not the new one's
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(cycles(), 1u) << "a cycle was read before its frames were due";
    clock.advance(frames(500));
    EXPECT_TRUE(eventually([&] { return cycles() == 2; }));
    runner.stop();
    ASSERT_EQ(device.stopIO(7), 0);
    EXPECT_EQ(recording.sampleTimes[1], 0.0) << "the new timeline's first cycle";
}

TEST_F(IOCycleRunnerTest, AFailedStartLeavesNoThread) {
    audioserver::HostedDevice wrongDevice(host.driver(), 7, 3);
    IOCycleRunner runner(wrongDevice, kCycle, 48'000.0, recording.callback());
    EXPECT_EQ(runner.start(), kAudioHardwareBadObjectError);
    EXPECT_FALSE(runner.isRunning());
    runner.stop();
    EXPECT_THROW(IOCycleRunner(wrongDevice, 0, 48'000.0, {}), std::invalid_argument);
}

/// A stand-in device that starts IO but never answers for its clock, so the IO thread ends on
/// its own; StartIO and StopIO calls are counted.
struct ClocklessDevice {
    static inline std::atomic<int> starts{0};
    static inline std::atomic<int> stops{0};
    static AudioServerPlugInDriverInterface table() {
        AudioServerPlugInDriverInterface entries{};
        entries.StartIO = [](AudioServerPlugInDriverRef, AudioObjectID, UInt32) -> OSStatus {
            ++starts;
            return 0;
        };
        entries.StopIO = [](AudioServerPlugInDriverRef, AudioObjectID, UInt32) -> OSStatus {
            ++stops;
            return 0;
        };
        entries.GetZeroTimeStamp = [](AudioServerPlugInDriverRef, AudioObjectID, UInt32, Float64*,
                                      UInt64*, UInt64*) -> OSStatus {
            return kAudioHardwareUnsupportedOperationError;
        };
        return entries;
    }
};

TEST(IOCycleRunnerRestart, AnIOThreadThatEndedOnItsOwnCanBeStartedAgain) {
    // The first IO thread gives up at once; starting again must join it and balance its StartIO
    // with a StopIO rather than overwrite a joinable thread.
    AudioServerPlugInDriverInterface table = ClocklessDevice::table();
    AudioServerPlugInDriverInterface* reference = &table;
    IOCycleRunner runner(audioserver::HostedDevice(&reference, 2, 3), kCycle, 48'000.0, {});
    ASSERT_EQ(runner.start(), 0);
    ASSERT_TRUE(eventually([&] { return !runner.isRunning(); }));
    ASSERT_EQ(runner.start(), 0);
    EXPECT_EQ(ClocklessDevice::starts.load(), 2);
    EXPECT_EQ(ClocklessDevice::stops.load(), 1);
    ASSERT_TRUE(eventually([&] { return !runner.isRunning(); }));
    runner.stop();
    EXPECT_EQ(ClocklessDevice::stops.load(), 2);
    EXPECT_EQ(runner.cycleCount(), 0u);
}

}  // namespace
