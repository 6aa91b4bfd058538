// Tests of the capture pipeline against a simulated audio system: start-up and its rollback,
// framing and time stamps, conversion, ordering, bypass and stop; and of its two building blocks,
// the frame accumulator and the real-time block hand-off.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AmberlinAudioCore/AudioPipeline.h"
#include "AmberlinAudioCore/CaptureBlockQueue.h"
#include "AmberlinAudioCore/FrameAccumulator.h"
#include "CaptureTestDoubles.h"
#include "platform/HostClock.h"
#include "platform/SignalSource.h"

namespace {

// Heap allocations made by threads that switched counting on (see operator new below).
std::atomic<std::size_t> gCountedAllocations{0};
thread_local bool tCountAllocations = false;

}  // namespace

// Counts allocations on threads that asked for it; forwards everything to malloc. Not under
// AddressSanitizer, whose own operator delete must pair with its own operator new.
#if !defined(__SANITIZE_ADDRESS__)
void* operator new(std::size_t size) {
    if (tCountAllocations) {
        gCountedAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void* operator new[](std::size_t size) {
    return ::operator new(size);
}
#endif

namespace {

using amberlin::AudioFrame;
using amberlin::AudioPipeline;
using amberlin::AudioPipelineError;
using amberlin::CaptureBlockQueue;
using amberlin::DeviceManager;
using amberlin::FrameAccumulator;
using amberlin::ProducerGuard;
using capture_test::EventLog;
using capture_test::RecordingSink;
using capture_test::ScriptedProcessor;
using capture_test::SpyAudioSystem;
using platform::AudioCall;
using platform::Fault;

constexpr std::uint64_t kStartNanos = 1'000'000'000;  // the manual host clock's start (1 s)
constexpr std::uint64_t kFrameNanos = 10'000'000;
const std::string kVirtualUID(DeviceManager::virtualDeviceUID);

// Sample n of the test ramp; exact in f32 for every n the tests reach.
float ramp(std::uint64_t n) {
    return static_cast<float>(n) / 65536.0f;
}

// A source whose every channel carries ramp(frame index since the reader opened).
std::shared_ptr<platform::SignalSource> rampSource() {
    return std::make_shared<platform::CallbackSource>(
        [](std::span<float> block, UInt32 channels, std::uint64_t firstFrame) {
            for (std::size_t i = 0; i < block.size(); ++i) {
                block[i] = ramp(firstFrame + i / channels);
            }
        });
}

// The frames the ramp gives from sample `first` on, scaled by `gain`.
AudioFrame rampFrame(std::uint64_t first, float gain = 1.0f) {
    AudioFrame frame;
    for (std::size_t i = 0; i < frame.samples.size(); ++i) {
        frame.samples[i] = ramp(first + i) * gain;
    }
    return frame;
}

// Builds a simulated world behind a spy, with its own lock file and a manual host clock.
class AudioPipelineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clockScope_ = std::make_unique<platform::ScopedHostClock>(clock_);
        simulated_ = platform::SimulatedAudioSystem::create();
        spy_ = std::make_shared<SpyAudioSystem>(simulated_, log_);
        systemScope_ = std::make_unique<platform::ScopedAudioSystem>(spy_);
        static int counter = 0;
        lockPath_ = (std::filesystem::temp_directory_path() /
                     ("corvessa-pipeline-test-" + std::to_string(::getpid()) + "-" +
                      std::to_string(++counter) + ".lock"))
                        .string();
        sink_ = std::make_shared<RecordingSink>(log_);
        processor_ = std::make_shared<ScriptedProcessor>(log_);
    }

    void TearDown() override {
        pipeline_.reset();
        systemScope_.reset();
        clockScope_.reset();
        std::filesystem::remove(lockPath_);
    }

    std::shared_ptr<platform::SimulatedDevice> addDevice(
        AudioObjectID id, std::string uid, Float64 rate = 48'000.0, UInt32 channels = 1,
        std::shared_ptr<platform::SignalSource> source = rampSource()) {
        platform::SimulatedDeviceConfig config;
        config.id = id;
        config.uid = uid;
        config.name = "Device " + uid;
        config.inputChannels = channels;
        config.nominalSampleRate = rate;
        config.source = std::move(source);
        return simulated_->addDevice(config);
    }

    void makePipeline(std::optional<std::string> preferredUID = std::nullopt) {
        pipeline_ = AudioPipeline::make(processor_, sink_, std::make_shared<DeviceManager>(),
                                        std::move(preferredUID), lockPath_);
    }

    void startPipeline(std::optional<std::string> preferredUID = std::nullopt) {
        makePipeline(std::move(preferredUID));
        pipeline_->start();
    }

    // Runs `cycles` IO cycles of `frames` frames (0: the device's buffer size) on the unit.
    void pump(UInt32 cycles, UInt32 frames) {
        ASSERT_EQ(simulated_->pump({cycles, frames, std::nullopt}), 1u);
    }

    void expectStartError(const AudioPipelineError& expected) {
        try {
            pipeline_->start();
            ADD_FAILURE() << "start() succeeded";
        } catch (const AudioPipelineError& error) {
            EXPECT_EQ(error, expected) << error.what() << " " << error.status();
        }
    }

    // Idle: not running, no unit alive, the lock free, the sink not left attached.
    void expectIdle() {
        EXPECT_FALSE(pipeline_->isRunning());
        EXPECT_EQ(spy_->state().liveUnits.load(), 0);
        EXPECT_NE(ProducerGuard::acquire(lockPath_), nullptr) << "producer lock still held";
        EXPECT_EQ(log_.count("sink.attach"), log_.count("sink.detach"));
    }

    platform::ManualHostClock clock_{kStartNanos};
    std::unique_ptr<platform::ScopedHostClock> clockScope_;
    EventLog log_;
    std::shared_ptr<platform::SimulatedAudioSystem> simulated_;
    std::shared_ptr<SpyAudioSystem> spy_;
    std::unique_ptr<platform::ScopedAudioSystem> systemScope_;
    std::string lockPath_;
    std::shared_ptr<RecordingSink> sink_;
    std::shared_ptr<ScriptedProcessor> processor_;
    std::shared_ptr<AudioPipeline> pipeline_;
};

TEST_F(AudioPipelineTest, HeldProducerLockRefusesBeforeAnyDeviceIsLookedAt) {
    // Another holder of the lock makes start() fail first: no device query, no sink call.
    addDevice(10, "mic");
    auto holder = ProducerGuard::acquire(lockPath_);
    ASSERT_NE(holder, nullptr);
    makePipeline();
    const int callsBefore = spy_->state().propertyCalls.load();
    expectStartError(AudioPipelineError::producerAlreadyRunning());
    EXPECT_EQ(spy_->state().propertyCalls.load(), callsBefore);
    EXPECT_TRUE(log_.events().empty());
    holder.reset();
    EXPECT_NO_THROW(pipeline_->start());
    EXPECT_TRUE(pipeline_->isRunning());
}

TEST_F(AudioPipelineTest, CaptureUnitFailuresRollBackToIdle) {
    // Each failing platform call surfaces as captureUnitUnavailable with its status; the unit is
    // disposed, the sink cleared but never attached, and the lock released.
    struct Case {
        const char* label;
        Fault fault;
        OSStatus expected;
    };
    const std::vector<Case> cases{
        {"no component", {AudioCall::componentFindNext, 0, {}, {}, 1}, -10875},
        {"no instance", {AudioCall::componentInstanceNew, -501, {}, {}, 1}, -501},
        {"enable IO", {AudioCall::unitSetProperty, -502, {}, 2003u, 1}, -502},
        {"current device", {AudioCall::unitSetProperty, -503, {}, 2000u, 1}, -503},
        {"read device format", {AudioCall::unitGetProperty, -504, {}, 8u, 1}, -504},
        {"set client format", {AudioCall::unitSetProperty, -505, {}, 8u, 1}, -505},
        {"input callback", {AudioCall::unitSetProperty, -506, {}, 2005u, 1}, -506},
        {"initialize", {AudioCall::unitInitialize, -507, {}, {}, 1}, -507},
        {"start", {AudioCall::outputUnitStart, -508, {}, {}, 1}, -508},
    };
    addDevice(10, "mic");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        makePipeline();
        const std::size_t mark = log_.events().size();
        simulated_->injectFault(c.fault);
        expectStartError(AudioPipelineError::captureUnitUnavailable(c.expected));
        simulated_->clearFaults();
        expectIdle();
        const auto events = log_.since(mark);
        EXPECT_EQ(std::count(events.begin(), events.end(), "sink.clear"), 1);
        if (std::find(events.begin(), events.end(), "unit.new") != events.end()) {
            const std::vector<std::string> tail(events.end() - 3, events.end());
            EXPECT_EQ(tail,
                      (std::vector<std::string>{"unit.stop", "unit.uninitialize", "unit.dispose"}));
        }
    }
    makePipeline();
    EXPECT_NO_THROW(pipeline_->start()) << "a clean start after the failures";
}

TEST_F(AudioPipelineTest, UnreadableMaximumFramesFallsBackInsteadOfFailing) {
    // MaximumFramesPerSlice is optional: 4096 frames are assumed and start() succeeds.
    addDevice(10, "mic");
    simulated_->injectFault({AudioCall::unitGetProperty, -50, {}, 14u, 1});
    startPipeline();
    pump(1, 4096);
    EXPECT_TRUE(sink_->waitForFrames(8));
}

TEST_F(AudioPipelineTest, ChecksBeforeTheUnitFailWithoutTouchingTheSink) {
    // No physical device, only the virtual one, or a refusing processor: the error propagates
    // unchanged and the sink is not even cleared.
    makePipeline();
    expectStartError(AudioPipelineError::inputDeviceUnavailable());
    addDevice(20, kVirtualUID);
    expectStartError(AudioPipelineError::inputDeviceUnavailable());
    expectIdle();
    EXPECT_TRUE(log_.events().empty());

    addDevice(21, "mic");
    processor_->refusePrepare = true;
    EXPECT_THROW(pipeline_->start(), amberlin::NoiseProcessorError);
    EXPECT_EQ(log_.events(), (std::vector<std::string>{"processor.prepare"}));
    expectIdle();
}

TEST_F(AudioPipelineTest, UnrepresentableDeviceFormatFailsWithConverterUnavailable) {
    // A device with more channels than a format can carry cannot be converted; the unit built
    // so far is disposed.
    addDevice(30, "wide", 48'000.0, 65);
    makePipeline();
    expectStartError(AudioPipelineError::converterUnavailable());
    expectIdle();
    EXPECT_EQ(log_.count("unit.dispose"), 1u);
}

TEST_F(AudioPipelineTest, StartWhileRunningThrowsAndChangesNothing) {
    addDevice(10, "mic");
    startPipeline();
    const auto before = log_.events();
    expectStartError(AudioPipelineError::alreadyRunning());
    EXPECT_EQ(log_.events(), before);
    EXPECT_TRUE(pipeline_->isRunning());
    EXPECT_EQ(spy_->state().liveUnits.load(), 1);
}

TEST_F(AudioPipelineTest, Callbacks512FramesLongAreCutIntoExactFrames) {
    // At 48 kHz mono nothing is converted: fifteen 512-frame callbacks give sixteen frames that
    // together are the captured stream, sample for sample.
    addDevice(10, "mic");
    startPipeline();
    EXPECT_EQ(processor_->preparedRate.load(), 48'000.0);
    pump(15, 512);
    ASSERT_TRUE(sink_->waitForFrames(16));
    const auto frames = sink_->frames();
    ASSERT_EQ(frames.size(), 16u);
    for (std::size_t k = 0; k < frames.size(); ++k) {
        EXPECT_EQ(frames[k], rampFrame(k * 480)) << "frame " << k;
    }
}

TEST_F(AudioPipelineTest, FrameTimesFollowTheCaptureClock) {
    // Frames of one block are exactly 10 ms apart; across blocks they stay on the 10 ms grid of
    // the device clock (within 1 ns of rounding); without a valid stamp the current host time is
    // the capture time.
    addDevice(10, "mic");
    startPipeline();
    pump(1, 1440);
    ASSERT_TRUE(sink_->waitForFrames(3));
    auto times = processor_->times();
    EXPECT_EQ(times, (std::vector<std::uint64_t>{kStartNanos, kStartNanos + kFrameNanos,
                                                 kStartNanos + 2 * kFrameNanos}));
    pump(15, 512);
    ASSERT_TRUE(sink_->waitForFrames(19));
    times = processor_->times();
    for (std::size_t k = 0; k < times.size(); ++k) {
        const double expected = static_cast<double>(kStartNanos + k * kFrameNanos);
        EXPECT_NEAR(static_cast<double>(times[k]), expected, 1.0) << "frame " << k;
    }
    simulated_->setHostTimeValid(false);
    clock_.set(7'000'000'000);
    pump(1, 480);
    ASSERT_TRUE(sink_->waitForFrames(20));
    EXPECT_EQ(processor_->times().back(), 7'000'000'000u);
}

// Power of `samples` at `frequency` Hz (Goertzel), sample rate 48 kHz.
double powerAt(const std::vector<float>& samples, double frequency) {
    const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * frequency / 48'000.0);
    double previous = 0.0;
    double beforePrevious = 0.0;
    for (const float x : samples) {
        const double current = static_cast<double>(x) + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    return previous * previous + beforePrevious * beforePrevious -
           coefficient * previous * beforePrevious;
}

TEST_F(AudioPipelineTest, ConvertsA44kStereoDeviceKeepingToneFrequencyAndLevel) {
    // One second of a 1 kHz tone at 0.5 peak from a 44.1 kHz stereo device arrives as 48 kHz
    // mono frames: about 100 of them, the tone still at 1000 Hz and at 0.5/sqrt(2) RMS.
    addDevice(40, "usb", 44'100.0, 2, std::make_shared<platform::SineSource>(1000.0, 0.5f));
    processor_->gain = 1.0f;
    startPipeline();
    pump(100, 441);
    ASSERT_TRUE(sink_->waitForFrames(95));
    const auto frames = sink_->frames();
    EXPECT_LE(frames.size(), 101u);
    std::vector<float> steady;  // past the resampler's start-up, before its tail
    for (std::size_t k = 5; k < 95; ++k) {
        steady.insert(steady.end(), frames[k].samples.begin(), frames[k].samples.end());
    }
    double energy = 0.0;
    for (const float x : steady) {
        energy += static_cast<double>(x) * static_cast<double>(x);
    }
    const double rms = std::sqrt(energy / static_cast<double>(steady.size()));
    EXPECT_NEAR(20.0 * std::log10(rms / (0.5 / std::sqrt(2.0))), 0.0, 0.1) << "rms " << rms;
    double best = 0.0;
    double bestPower = -1.0;
    for (double f = 990.0; f <= 1010.0; f += 0.25) {
        if (const double p = powerAt(steady, f); p > bestPower) {
            bestPower = p;
            best = f;
        }
    }
    EXPECT_NEAR(best, 1000.0, 0.5);
}

TEST_F(AudioPipelineTest, FramesReachHandlersProcessorAndSinkInCaptureOrder) {
    // With the device at its low-latency 128-frame buffer, forty frames pass every stage in
    // capture order, stamped 10 ms apart; the processed handler sees what the sink gets.
    addDevice(10, "mic");
    processor_->gain = 0.5f;
    std::vector<AudioFrame> input;
    std::vector<AudioFrame> processed;
    makePipeline();
    pipeline_->setInputFrameHandler([&](const AudioFrame& f) { input.push_back(f); });
    pipeline_->setProcessedFrameHandler([&](const AudioFrame& f) { processed.push_back(f); });
    pipeline_->start();
    pump(150, 0);
    ASSERT_TRUE(sink_->waitForFrames(40));
    const auto delivered = sink_->frames();
    ASSERT_EQ(delivered.size(), 40u);
    ASSERT_EQ(input.size(), 40u);
    EXPECT_EQ(processor_->seen(), input);
    EXPECT_EQ(processed, delivered);
    const auto times = processor_->times();
    for (std::size_t k = 0; k < delivered.size(); ++k) {
        EXPECT_EQ(input[k], rampFrame(k * 480)) << "frame " << k;
        EXPECT_EQ(delivered[k], rampFrame(k * 480, 0.5f)) << "frame " << k;
        if (k > 0) {
            EXPECT_NEAR(static_cast<double>(times[k] - times[k - 1]), 1e7, 1.0);
        }
    }
}

TEST_F(AudioPipelineTest, RealTimeCallbackAllocatesNothing) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "allocations are not counted under AddressSanitizer";
#endif
    // The device's signal switches counting on for its IO thread, which then runs only the
    // pipeline's input callback: rendering and handing off 200 blocks allocates nothing.
    auto countingRamp = std::make_shared<platform::CallbackSource>(
        [](std::span<float> block, UInt32 channels, std::uint64_t firstFrame) {
            tCountAllocations = true;
            for (std::size_t i = 0; i < block.size(); ++i) {
                block[i] = ramp(firstFrame + i / channels);
            }
        });
    addDevice(10, "mic", 44'100.0, 2, countingRamp);
    startPipeline();
    gCountedAllocations = 0;
    pump(200, 0);
    ASSERT_TRUE(sink_->waitForFrames(50));
    EXPECT_EQ(gCountedAllocations.load(), 0u);
}

TEST_F(AudioPipelineTest, BypassSkipsTheProcessorFromTheNextFrame) {
    // Bypassed frames reach both handlers and the sink unprocessed; clearing bypass while
    // running brings the processor back for the following frames.
    addDevice(10, "mic");
    processor_->gain = 0.5f;
    std::vector<AudioFrame> input;
    std::vector<AudioFrame> processed;
    makePipeline();
    pipeline_->setInputFrameHandler([&](const AudioFrame& f) { input.push_back(f); });
    pipeline_->setProcessedFrameHandler([&](const AudioFrame& f) { processed.push_back(f); });
    pipeline_->setBypass(true);
    pipeline_->start();
    pump(2, 480);
    ASSERT_TRUE(sink_->waitForFrames(2));
    EXPECT_TRUE(processor_->seen().empty());
    pipeline_->setBypass(false);
    pump(2, 480);
    ASSERT_TRUE(sink_->waitForFrames(4));
    EXPECT_EQ(processor_->seen().size(), 2u);
    EXPECT_EQ((std::vector<AudioFrame>(processed.begin(), processed.begin() + 2)),
              (std::vector<AudioFrame>(input.begin(), input.begin() + 2)));
    EXPECT_EQ(processed[3], rampFrame(3 * 480, 0.5f));
}

TEST_F(AudioPipelineTest, RefusingProcessorAndFailedRendersNeverStopTheAudio) {
    // A processor that throws on every frame lets frames through unprocessed; a failed render
    // drops only its own block.
    addDevice(10, "mic");
    processor_->refuseFrames = true;
    processor_->gain = 0.5f;
    simulated_->injectFault({AudioCall::unitRender, -50, {}, {}, 1});
    startPipeline();
    pump(5, 480);
    ASSERT_TRUE(sink_->waitForFrames(4));
    const auto frames = sink_->frames();
    ASSERT_EQ(frames.size(), 4u);
    for (std::size_t k = 0; k < frames.size(); ++k) {
        EXPECT_EQ(frames[k], rampFrame((k + 1) * 480)) << "frame " << k;
    }
}

TEST_F(AudioPipelineTest, StopReleasesInOrderAndAllowsARestartOnAnotherDevice) {
    // Stop: unit stopped, uninitialised, disposed; sink detached then cleared; processor reset;
    // lock released. A second stop does nothing; a restart resolves the device afresh.
    addDevice(10, "first");
    addDevice(11, "second");
    simulated_->setDefaultInputDevice(10);
    startPipeline();
    EXPECT_EQ(spy_->state().boundDevice.load(), 10u);
    pump(2, 480);
    ASSERT_TRUE(sink_->waitForFrames(2));
    const std::size_t mark = log_.events().size();
    pipeline_->stop();
    EXPECT_EQ(log_.since(mark),
              (std::vector<std::string>{"unit.stop", "unit.uninitialize", "unit.dispose",
                                        "sink.detach", "sink.clear", "processor.reset"}));
    expectIdle();
    pipeline_->stop();
    EXPECT_EQ(log_.events().size(), mark + 6);

    simulated_->setDefaultInputDevice(11);
    pipeline_->start();
    EXPECT_EQ(spy_->state().boundDevice.load(), 11u);
    pump(1, 480);
    EXPECT_TRUE(sink_->waitForFrames(3));
}

TEST_F(AudioPipelineTest, StopWithoutStartAndDestructionWhileRunning) {
    // stop() on a never-started pipeline does nothing; releasing a running pipeline stops it.
    addDevice(10, "mic");
    makePipeline();
    pipeline_->stop();
    EXPECT_TRUE(log_.events().empty());
    pipeline_->start();
    pipeline_.reset();
    EXPECT_EQ(spy_->state().liveUnits.load(), 0);
    EXPECT_EQ(log_.count("sink.detach"), 1u);
    EXPECT_NE(ProducerGuard::acquire(lockPath_), nullptr);
}

TEST_F(AudioPipelineTest, PreferredVirtualUIDCountsAsNoPreference) {
    // The virtual microphone as stored choice and as default: the alphabetically first physical
    // device is bound; a physical stored choice is honoured.
    addDevice(70, kVirtualUID);
    addDevice(71, "b");
    addDevice(72, "a");
    simulated_->setDefaultInputDevice(70);
    startPipeline(kVirtualUID);
    EXPECT_EQ(spy_->state().boundDevice.load(), 72u);
    pipeline_->stop();
    startPipeline("b");
    EXPECT_EQ(spy_->state().boundDevice.load(), 71u);
}

TEST_F(AudioPipelineTest, AsksTheDeviceForA128FrameBufferWithinItsRange) {
    // 128 frames when the range allows, else the nearest end of the range.
    struct Case {
        AudioValueRange range;
        UInt32 expected;
    };
    const std::vector<Case> cases{{{16, 4096}, 128}, {{256, 4096}, 256}, {{16, 64}, 64}};
    AudioObjectID id = 80;
    for (const Case& c : cases) {
        platform::SimulatedDeviceConfig config;
        config.id = id;
        config.uid = "dev" + std::to_string(id);
        config.bufferFrameSizeRange = c.range;
        ASSERT_NE(simulated_->addDevice(config), nullptr);
        startPipeline(config.uid);
        UInt32 frames = 0;
        UInt32 size = sizeof(frames);
        const AudioObjectPropertyAddress where{kAudioDevicePropertyBufferFrameSize,
                                               kAudioObjectPropertyScopeGlobal, 0};
        ASSERT_EQ(AudioObjectGetPropertyData(id, &where, 0, nullptr, &size, &frames), 0);
        EXPECT_EQ(frames, c.expected) << "range " << c.range.mMinimum << "-" << c.range.mMaximum;
        pipeline_->stop();
        ++id;
    }
}

TEST_F(AudioPipelineTest, SettingAHandlerWhileRunningIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    addDevice(10, "mic");
    startPipeline();
    EXPECT_DEATH(pipeline_->setInputFrameHandler([](const AudioFrame&) {}), "stopped");
}

// ---- Frame accumulator ---------------------------------------------------------------------

TEST(FrameAccumulatorTest, CallbacksOf512SamplesLeave32PendingThenNone) {
    FrameAccumulator accumulator;
    const std::vector<float> block(512, 0.25f);
    AudioFrame frame;
    std::uint64_t time = 0;
    std::size_t frames = 0;
    for (int callback = 1; callback <= 15; ++callback) {
        accumulator.append(block, 0);
        while (accumulator.takeFrame(frame, time)) {
            ++frames;
        }
        if (callback == 1) {
            EXPECT_EQ(frames, 1u);
            EXPECT_EQ(accumulator.pendingSamples(), 32u);
        }
    }
    EXPECT_EQ(frames, 16u);
    EXPECT_EQ(accumulator.pendingSamples(), 0u);
}

TEST(FrameAccumulatorTest, BacklogBeyond12000DropsTheOldestAndAdvancesTheClock) {
    // 100 pending plus a 12 400-sample block: the oldest 500 go, the clock moves by their
    // duration, and exactly 25 frames come out, 10 ms apart.
    FrameAccumulator accumulator;
    accumulator.append(std::vector<float>(100, -1.0f), 0);
    std::vector<float> block(12'400);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<float>(i);
    }
    const std::uint64_t capture = 2'000'000'000;
    accumulator.append(block, capture);
    EXPECT_EQ(accumulator.pendingSamples(), 12'000u);
    const double nanosPerSample = 1e9 / 48'000.0;
    const double start = static_cast<double>(capture) - 100 * nanosPerSample + 500 * nanosPerSample;
    EXPECT_DOUBLE_EQ(accumulator.startNanos(), start);
    AudioFrame frame;
    std::uint64_t time = 0;
    for (std::size_t k = 0; k < 25; ++k) {
        ASSERT_TRUE(accumulator.takeFrame(frame, time));
        EXPECT_EQ(frame.samples[0], static_cast<float>(400 + k * 480));
        EXPECT_EQ(time, static_cast<std::uint64_t>(start + static_cast<double>(k) * 1e7));
    }
    EXPECT_FALSE(accumulator.takeFrame(frame, time));
    EXPECT_EQ(accumulator.pendingSamples(), 0u);
}

TEST(FrameAccumulatorTest, NegativeStartGivesTimeZeroAndEmptyBlocksOnlyReanchor) {
    FrameAccumulator accumulator;
    AudioFrame frame;
    std::uint64_t time = 99;
    accumulator.append(std::vector<float>(500, 0.0f), 0);
    ASSERT_TRUE(accumulator.takeFrame(frame, time));
    EXPECT_EQ(time, 0u);
    accumulator.append(std::vector<float>(480, 0.0f), 100);  // 20 pending: start is negative
    ASSERT_TRUE(accumulator.takeFrame(frame, time));
    EXPECT_EQ(time, 0u);
    const double start = 100.0 - 20 * (1e9 / 48'000.0) + 1e7;
    ASSERT_TRUE(accumulator.startNanos() > 0.0);
    EXPECT_DOUBLE_EQ(accumulator.startNanos(), start);
    accumulator.append({}, 5'000'000'000);
    EXPECT_EQ(accumulator.pendingSamples(), 20u);
    EXPECT_DOUBLE_EQ(accumulator.startNanos(), 5e9 - 20 * (1e9 / 48'000.0));
}

// ---- Real-time hand-off --------------------------------------------------------------------

TEST(CaptureBlockQueueTest, FullQueueDropsTheNewestBlockAndCountsIt) {
    CaptureBlockQueue queue(1000, 4);
    const std::vector<float> small(10, 1.0f);
    for (std::uint64_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(queue.push(small, i));
    }
    EXPECT_FALSE(queue.push(small, 4)) << "block slots exhausted";
    EXPECT_EQ(queue.droppedBlocks(), 1u);
    std::vector<float> out;
    EXPECT_EQ(queue.pop(out), 0u);
    EXPECT_TRUE(queue.push(small, 5));
    queue.clear();
    EXPECT_EQ(queue.pop(out), std::nullopt);
    EXPECT_TRUE(queue.push(std::vector<float>(600, 2.0f), 6));
    EXPECT_FALSE(queue.push(std::vector<float>(600, 3.0f), 7)) << "sample ring exhausted";
    EXPECT_EQ(queue.droppedBlocks(), 2u);
}

TEST(CaptureBlockQueueTest, TwoThreadsPassSequenceStampedBlocksInOrder) {
    // Blocks of 1 to 257 samples through a ring of 1000 samples and 8 slots: every block wraps
    // somewhere; the consumer sees one unbroken sample sequence and every stamp once, in order.
    constexpr std::uint64_t kBlocks = 5000;
    CaptureBlockQueue queue(1000, 8);
    std::thread producer([&] {
        std::uint64_t next = 0;
        std::vector<float> block;
        for (std::uint64_t b = 0; b < kBlocks; ++b) {
            block.resize(1 + b % 257);
            for (float& x : block) {
                x = static_cast<float>(next++);
            }
            while (!queue.push(block, b)) {
                std::this_thread::yield();
            }
        }
    });
    std::uint64_t expectedSample = 0;
    std::vector<float> out;
    out.reserve(257);
    // Once set, stays set: one broken block anywhere fails the test.
    std::optional<std::uint64_t> firstBrokenBlock;
    for (std::uint64_t b = 0; b < kBlocks;) {
        const auto stamp = queue.pop(out);
        if (!stamp) {
            std::this_thread::yield();
            continue;
        }
        bool blockIntact = *stamp == b && out.size() == 1 + b % 257;
        for (const float x : out) {
            blockIntact = blockIntact && x == static_cast<float>(expectedSample);
            ++expectedSample;
        }
        if (!blockIntact && !firstBrokenBlock) {
            firstBrokenBlock = b;
        }
        ++b;
    }
    producer.join();
    EXPECT_FALSE(firstBrokenBlock.has_value())
        << "first broken block " << firstBrokenBlock.value_or(0);
}

}  // namespace
