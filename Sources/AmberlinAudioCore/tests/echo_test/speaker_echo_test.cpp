// The speaker echo test: its verdicts and levels, its refusals (microphone busy, reference or
// pipeline failing to start, with nothing left behind), and a whole run on the simulated system
// where the speakers reach the microphone through a room.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <vector>

#include "AmberlinAudioCore/SpeakerEchoTest.h"
#include "platform/HostClock.h"
#include "platform/HostTime.h"
#include "platform/SimulatedAudioSystem.h"
#include "platform/SimulatedEchoPath.h"
#include "platform/SpeechSynthesizer.h"

namespace {

using amberlin::EchoMetrics;
using amberlin::SpeakerEchoTest;
using Result = SpeakerEchoTest::Result;
using TestError = SpeakerEchoTest::TestError;

constexpr AudioObjectID kMic = 21;

/// Whether a sanitizer slows this build: the canceller then falls more than its one second of
/// buffered reference behind the audio, and the echo it removes says nothing about the code.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

/// Pace of the simulated world in the whole run, as a fraction of real time: slower than real
/// time so that the unoptimised canceller keeps up on a shared machine, yet fast enough for the
/// sentence (11 s) to end well within the run's 25 s speech time-out. Sanitized builds, whose
/// removal is not judged, run in real time so that slow speech rendering still fits.
constexpr double kPace = kSanitized ? 1.0 : 0.6;

/// The host clock slowed down to `factor` of real time: a slower world in which the simulated
/// devices, the speaker bus and the speech run consistently, so that a loaded machine still keeps
/// up with the audio.
class SlowHostClock final : public platform::HostClockSource {
  public:
    explicit SlowHostClock(double factor)
        : factor_(factor), origin_(std::chrono::steady_clock::now()), originTicks_(nowNanos()) {}
    std::uint64_t now() const noexcept override {
        const auto elapsed = std::chrono::steady_clock::now() - origin_;
        const auto nanos = std::chrono::duration<double, std::nano>(elapsed).count();
        return originTicks_ + static_cast<std::uint64_t>(nanos * factor_);
    }
    mach_timebase_info_data_t timebase() const noexcept override { return {1, 1}; }

  private:
    static std::uint64_t nowNanos() {
        return AudioConvertHostTimeToNanos(AudioGetCurrentHostTime());
    }
    double factor_;
    std::chrono::steady_clock::time_point origin_;
    std::uint64_t originTicks_;
};

/// Frames from the first to the last sound above -60 dBFS, and the energy of all samples.
struct Extent {
    double frames = 0.0;
    double energy = 0.0;
};
Extent extentOf(const std::vector<float>& samples) {
    Extent extent;
    std::optional<std::size_t> first;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto sample = static_cast<double>(samples[i]);
        extent.energy += sample * sample;
        if (std::abs(sample) > 1e-3) {
            first = first.value_or(i);
            extent.frames = static_cast<double>(i + 1 - *first);
        }
    }
    return extent;
}

Result withRemoved(float removedDB) {
    return {-20.0f, -60.0f, removedDB, 32.0f, 6.5f, true};
}

TEST(SpeakerEchoSummary, TheSentenceIsTheSystemsOwn) {
    // The spoken sentence is part of the test's user-facing text, character for character.
    EXPECT_EQ(SpeakerEchoTest::sentence,
              "This is the Corvessa speaker echo test. Please stay quiet for a few seconds while I "
              "play this sentence through your speakers. If you can hear me clearly, the test is "
              "working, and the echo should disappear from your microphone.");
}

TEST(SpeakerEchoSummary, NamesTheMissingReferenceTheQuietMicOrTheVerdict) {
    // The first matching rule speaks: no reference, then an echo under 10 dB above the floor,
    // then the verdict by the echo removed, with thresholds at 25, 15 and 8 dB.
    Result missing = withRemoved(40.0f);
    missing.referenceArrived = false;
    EXPECT_EQ(missing.summary(),
              "The speaker reference never arrived — allow Corvessa to record system audio "
              "(System Settings › Privacy & Security) and retry.");
    EXPECT_EQ((Result{-55.0f, -64.6f, 30.0f, 0.0f, 0.0f, true}).summary(),
              "The mic barely heard the speakers (-55 dBFS over a -65 dBFS floor). Headphones in "
              "use or volume too low — turn the volume up and retry.");
    EXPECT_EQ(withRemoved(25.0f).summary(),
              "Excellent: removed 25 dB of speaker echo (echo at mic -20 dBFS, path 32 ms, "
              "reference read 6 ms behind).");
    EXPECT_EQ(withRemoved(24.9f).summary().substr(0, 23), "Good: removed 25 dB of ");
    EXPECT_EQ(withRemoved(8.0f).summary().substr(0, 8), "Partial:");
    EXPECT_EQ(withRemoved(7.9f).summary().substr(0, 12), "Not working:");
}

TEST(SpeakerEchoLevels, EmptyOrSilentSpansReadMinus120AndSpansAreClamped) {
    // An empty span and a span of zeros both read -120 dB; a constant 0.1 reads -20 dB; spans
    // reaching past the recording are cut to it.
    const std::vector<float> zeros(100, 0.0f);
    const std::vector<float> tenth(100, 0.1f);
    EXPECT_EQ(SpeakerEchoTest::level(tenth, 50, 50), -120.0f);
    EXPECT_FLOAT_EQ(SpeakerEchoTest::level(zeros, 0, 100), -120.0f);
    EXPECT_NEAR(SpeakerEchoTest::level(tenth, 0, 1000), -20.0f, 1e-4f);
    EXPECT_EQ(SpeakerEchoTest::level(tenth, 200, 300), -120.0f);
}

TEST(SpeakerEchoLevels, SpeechShorterThanTheConvergenceTimeMeasuresNoEcho) {
    // When recording ends within 2.5 s of the speech, the echo span is empty: -120 dB at the
    // microphone, and with a reference present the quiet-microphone verdict.
    std::vector<float> raw(200'000, 0.01f);
    EchoMetrics metrics;
    metrics.referenceLookbackMS = 4.0f;
    metrics.echoDelayMS = 10.0f;
    const Result result = SpeakerEchoTest::measure(raw, raw, 48'000, 48'000 + 100'000, metrics);
    EXPECT_EQ(result.echoAtMicDB, -120.0f);
    EXPECT_NEAR(result.noiseFloorDB, -40.0f, 1e-3f);
    EXPECT_TRUE(result.referenceArrived);
    EXPECT_EQ(result.echoDelayMS, 10.0f);
    EXPECT_EQ(result.summary().substr(0, 30), "The mic barely heard the speak");

    std::vector<float> loud(raw);
    std::fill(loud.begin() + 168'000, loud.end(), 0.1f);
    const std::vector<float> shortProcessed(170'000, 0.001f);
    const Result measured = SpeakerEchoTest::measure(loud, shortProcessed, 48'000, 200'000, {});
    EXPECT_NEAR(measured.echoAtMicDB, -20.0f, 1e-3f);  // from S + 2.5 s on: all 0.1
    EXPECT_NEAR(measured.removedDB, 40.0f, 1e-3f);     // the 2000 processed samples read -60

    EXPECT_FALSE(measured.referenceArrived);
}

class SpeakerEchoRun : public ::testing::Test {
  protected:
    void SetUp() override {
        lockPath = (std::filesystem::temp_directory_path() /
                    ("speaker-echo-" + std::to_string(::getpid()) + ".lock"))
                       .string();
    }
    void TearDown() override { std::filesystem::remove(lockPath); }

    /// The error run() throws, or a failure when it throws none.
    TestError runError() {
        try {
            SpeakerEchoTest::run(std::nullopt, std::make_shared<amberlin::DeviceManager>(),
                                 lockPath);
        } catch (const TestError& error) {
            return error;
        }
        ADD_FAILURE() << "run did not throw";
        return TestError::micBusy();
    }
    void addMicrophone(const platform::RoomEcho& room) {
        platform::SimulatedDeviceConfig mic{.id = kMic, .uid = "room-mic", .name = "Room Mic"};
        ASSERT_TRUE(platform::addMicrophoneWithEcho(*system, mic, room));
        system->setDefaultInputDevice(kMic);
    }
    void expectNothingLeft() {
        EXPECT_EQ(system->tapHost().tapCount(), 0u);
        EXPECT_EQ(system->tapHost().aggregateDeviceCount(), 0u);
        EXPECT_EQ(system->runningUnitCount(), 0u);
    }

    std::string lockPath;
    std::shared_ptr<platform::SimulatedAudioSystem> system =
        platform::SimulatedAudioSystem::create();
    platform::ScopedAudioSystem installed{system};
};

TEST_F(SpeakerEchoRun, RefusesWhileAnotherProducerHoldsTheMicrophone) {
    // With the producer lock held elsewhere the run ends with micBusy and stops its reference.
    addMicrophone({});
    const auto holder = amberlin::ProducerGuard::acquire(lockPath);
    ASSERT_TRUE(holder);
    const TestError error = runError();
    EXPECT_EQ(error, TestError::micBusy());
    EXPECT_EQ(error.errorDescription(), "End the call first — the test needs the mic to itself.");
    expectNothingLeft();
}

TEST_F(SpeakerEchoRun, StartFailuresNameTheirCauseAndLeaveNothingBehind) {
    // A reference that cannot start and a missing microphone both end the run with the cause in
    // the description; neither leaves a tap, a device or a running unit.
    system->injectFault({platform::AudioCall::createAggregateDevice, -1, {}, {}, 1});
    EXPECT_EQ(runError().errorDescription(), "Couldn't start the test: aggregateCreationFailed");
    expectNothingLeft();
    EXPECT_EQ(runError().errorDescription(), "Couldn't start the test: inputDeviceUnavailable");
    expectNothingLeft();
}

TEST_F(SpeakerEchoRun, MeasuresTheEchoTheCancellerRemovesInASimulatedRoom) {
    // The sentence plays on the speaker bus, reaches the microphone through a 30 ms room and the
    // canceller through the tap; the run reports the reference, an echo well above the floor and
    // more than 8 dB of echo removed.
    SlowHostClock slow(kPace);
    platform::ScopedHostClock slowInstalled(slow);
    system->setIOClock({platform::SimulatedIOClock::Mode::paced, kPace});
    addMicrophone({.delayMs = 30.0, .gain = 0.3f, .noiseFloorRMS = 3e-4f});
    const UInt64 before = AudioConvertHostTimeToNanos(AudioGetCurrentHostTime());
    const Result result =
        SpeakerEchoTest::run(std::nullopt, std::make_shared<amberlin::DeviceManager>(), lockPath);
    std::cout << "echo at mic " << result.echoAtMicDB << " dBFS, floor " << result.noiseFloorDB
              << " dBFS, removed " << result.removedDB << " dB, delay " << result.echoDelayMS
              << " ms, lookback " << result.referenceLookbackMS << " ms\n"
              << result.summary() << "\n";

    EXPECT_TRUE(result.referenceArrived);
    EXPECT_GT(result.echoAtMicDB - result.noiseFloorDB, 20.0f);
    expectNothingLeft();

    // The sentence was spoken, whole: the bus holds one sound as long and as loud as a
    // rendering of the sentence (espeak-ng varies by a fraction of a percent between renderings).
    ASSERT_EQ(system->speakerBus()->soundCount(), 1u);
    std::vector<float> played(48'000 * 40);
    system->speakerBus()->mixInto(played, 1, platform::SimulatedSpeakerBus::positionAt(before), 1.0,
                                  1.0f);
    const auto spoken = platform::SpeechSynthesizer::render(std::string(SpeakerEchoTest::sentence));
    ASSERT_TRUE(spoken);
    const Extent heard = extentOf(played);
    const Extent rendered = extentOf(*spoken);
    EXPECT_NEAR(heard.frames, rendered.frames, 0.02 * rendered.frames);
    EXPECT_NEAR(heard.energy, rendered.energy, 0.03 * rendered.energy);

    if (kSanitized) {
        GTEST_SKIP() << "removed " << result.removedDB << " dB: not judged under a sanitizer, "
                     << "which slows the canceller below the simulated world's pace";
    }
    EXPECT_GT(result.removedDB, 8.0f);
}

}  // namespace
