// The echo reference feed: tap buffers averaged or converted to 48 kHz mono and pushed with
// their host time; the converter kept while the format stays and replaced when it changes; a
// released processor ignored; and the whole path from the speaker bus through the tap.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

#include "AmberlinAudioCore/EchoReferenceFeed.h"
#include "platform/HostClock.h"
#include "platform/SimulatedAudioSystem.h"

namespace {

using amberlin::EchoReferenceFeed;
using amberlin::SystemAudioCaptureError;
using namespace platform;

/// Every reference push a processor received.
struct PushLog {
    std::mutex mutex;
    std::vector<std::vector<float>> samples;
    std::vector<std::uint64_t> times;

    std::vector<float> joined() {
        std::lock_guard lock(mutex);
        std::vector<float> all;
        for (const auto& push : samples) {
            all.insert(all.end(), push.begin(), push.end());
        }
        return all;
    }
};

/// An echo-cancelling processor that only records the reference pushed into it.
class RecordingProcessor final : public amberlin::EchoCancellingProcessor {
  public:
    explicit RecordingProcessor(std::shared_ptr<PushLog> log) : log_(std::move(log)) {}
    amberlin::VoiceIsolationLevel voiceIsolation() const override {
        return amberlin::VoiceIsolationLevel::off;
    }
    void setVoiceIsolation(amberlin::VoiceIsolationLevel) override {}
    bool echoCancellationEnabled() const override { return true; }
    void setEchoCancellationEnabled(bool) override {}
    amberlin::EchoMetrics echoMetrics() const override { return {}; }
    void pushReference(std::span<const float> samples, std::uint64_t hostTimeNanos) override {
        std::lock_guard lock(log_->mutex);
        log_->samples.emplace_back(samples.begin(), samples.end());
        log_->times.push_back(hostTimeNanos);
    }

  private:
    std::shared_ptr<PushLog> log_;
};

/// A buffer of `frames` frames where channel c of frame i holds value(c, i).
template <class Value>
std::shared_ptr<PCMBuffer> makeBuffer(double rate, std::uint32_t channels, bool interleaved,
                                      std::uint32_t frames, Value value) {
    const auto format =
        AudioFormat::make(CommonFormat::pcmFormatFloat32, rate, channels, interleaved);
    auto buffer = PCMBuffer::make(*format, std::max(frames, 1u));
    buffer->setFrameLength(frames);
    for (std::uint32_t c = 0; c < channels; ++c) {
        for (std::uint32_t i = 0; i < frames; ++i) {
            buffer->floatChannelData()[c][i * buffer->stride()] = value(c, i);
        }
    }
    return buffer;
}

/// 0.5 · sin(2π · 1 kHz · t) for frame `index` at `rate` Hz.
float sine(double rate, std::uint64_t index) {
    return static_cast<float>(
        0.5 * std::sin(2.0 * std::numbers::pi * 1000.0 * static_cast<double>(index) / rate));
}

class EchoReferenceFeedTest : public ::testing::Test {
  protected:
    std::shared_ptr<PushLog> log = std::make_shared<PushLog>();
    std::shared_ptr<RecordingProcessor> processor = std::make_shared<RecordingProcessor>(log);
    std::shared_ptr<EchoReferenceFeed> feed = EchoReferenceFeed::make(processor);
};

TEST_F(EchoReferenceFeedTest, FortyEightKilohertzChannelsAreAveragedAndMonoPassesUnchanged) {
    // Left 1.0 and right 0.0 push 0.5 in either layout; a mono buffer is pushed as it is; the
    // host time is passed on untouched.
    for (bool interleaved : {true, false}) {
        feed->handle(
            *makeBuffer(48'000.0, 2, interleaved, 480,
                        [](std::uint32_t c, std::uint32_t) { return c == 0 ? 1.0f : 0.0f; }),
            123);
    }
    feed->handle(
        *makeBuffer(48'000.0, 1, true, 64,
                    [](std::uint32_t, std::uint32_t i) { return 0.01f * static_cast<float>(i); }),
        456);
    ASSERT_EQ(log->samples.size(), 3u);
    EXPECT_EQ(log->samples[0], std::vector<float>(480, 0.5f));
    EXPECT_EQ(log->samples[1], std::vector<float>(480, 0.5f));
    ASSERT_EQ(log->samples[2].size(), 64u);
    for (std::uint32_t i = 0; i < 64; ++i) {
        EXPECT_EQ(log->samples[2][i], 0.01f * static_cast<float>(i));
    }
    EXPECT_EQ(log->times, (std::vector<std::uint64_t>{123, 123, 456}));
}

TEST_F(EchoReferenceFeedTest, OtherRatesGoThroughOneConverterKeptAcrossBuffers) {
    // 441-frame buffers at 44.1 kHz come out as about 480 samples each, never more than the
    // 544-frame capacity, and continuously: after the converter's start-up delay the joined
    // pushes are the same 1 kHz sine at 48 kHz, which a converter rebuilt per buffer would break.
    for (std::uint64_t k = 0; k < 20; ++k) {
        feed->handle(*makeBuffer(44'100.0, 2, true, 441,
                                 [k](std::uint32_t, std::uint32_t i) {
                                     return sine(44'100.0, k * 441 + i);
                                 }),
                     k);
    }
    ASSERT_EQ(log->samples.size(), 20u);
    for (const auto& push : log->samples) {
        EXPECT_LE(push.size(), 544u);
    }
    const std::vector<float> joined = log->joined();
    EXPECT_GT(joined.size(), 19u * 480u);
    // The converter's delay is where the joined pushes match the ideal sine best.
    auto worstError = [&](std::ptrdiff_t delay) {
        double worst = 0.0;
        for (std::size_t i = 480; i < joined.size(); ++i) {
            const auto ideal =
                sine(48'000.0, static_cast<std::uint64_t>(static_cast<std::ptrdiff_t>(i) - delay));
            worst = std::max(worst, std::abs(static_cast<double>(joined[i] - ideal)));
        }
        return worst;
    };
    double worst = 1.0;
    for (std::ptrdiff_t delay = -480; delay <= 480; ++delay) {
        worst = std::min(worst, worstError(delay));
    }
    EXPECT_LT(worst, 0.02);
}

TEST_F(EchoReferenceFeedTest, AFormatChangeReplacesTheConverter) {
    // After a switch from 44.1 kHz to 32 kHz the feed keeps pushing, at the new ratio: a
    // converter still expecting the old format would refuse every new buffer.
    for (int k = 0; k < 3; ++k) {
        feed->handle(*makeBuffer(44'100.0, 2, true, 441, [](auto, auto) { return 0.1f; }), 0);
    }
    const std::size_t before = log->joined().size();
    for (int k = 0; k < 10; ++k) {
        feed->handle(*makeBuffer(32'000.0, 1, false, 320, [](auto, auto) { return 0.1f; }), 0);
    }
    const std::size_t added = log->joined().size() - before;
    EXPECT_GT(added, 9u * 480u);
    EXPECT_LE(added, 10u * 480u + 64u);
}

TEST_F(EchoReferenceFeedTest, EmptyBuffersAndAReleasedProcessorPushNothing) {
    // A buffer of 0 frames is ignored; once the processor is gone, buffers are dropped and the
    // feed carries on.
    feed->handle(*makeBuffer(48'000.0, 2, true, 0, [](auto, auto) { return 1.0f; }), 1);
    EXPECT_TRUE(log->samples.empty());
    processor.reset();
    feed->handle(*makeBuffer(48'000.0, 2, true, 480, [](auto, auto) { return 1.0f; }), 2);
    feed->handle(*makeBuffer(44'100.0, 2, true, 441, [](auto, auto) { return 1.0f; }), 3);
    EXPECT_TRUE(log->samples.empty());
}

TEST_F(EchoReferenceFeedTest, TheSpeakerBusReachesTheProcessorThroughTheTap) {
    // What plays on the simulated speakers arrives averaged to mono with each cycle's host time;
    // stop removes the handler and the device, so nothing more arrives.
    ManualHostClock clock(1'000'000'000);
    ScopedHostClock clockInstalled(clock);
    auto system = SimulatedAudioSystem::create();
    ScopedAudioSystem installed(system);
    std::vector<float> stereo(2 * 960);
    for (std::size_t i = 0; i < 960; ++i) {
        stereo[2 * i] = 0.4f;
        stereo[2 * i + 1] = 0.2f;
    }
    ASSERT_TRUE(system->speakerBus()->play({stereo, 2}, 1'000'000'000));
    feed->start();
    ASSERT_EQ(system->pump({2, 480, {}}), 1u);
    for (int i = 0; i < 1000 && log->joined().size() < 960; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the tap queue delivers
    }
    feed->stop();
    ASSERT_EQ(system->pump({1, 480, {}}), 0u);
    EXPECT_FALSE(static_cast<bool>(feed->capture()->onTimedAudioBuffer()));
    ASSERT_EQ(log->samples.size(), 2u);
    for (const auto& push : log->samples) {
        ASSERT_EQ(push.size(), 480u);
        for (float s : push) {
            ASSERT_NEAR(s, 0.3f, 1e-7f);
        }
    }
    EXPECT_EQ(log->times, (std::vector<std::uint64_t>{1'000'000'000, 1'010'000'000}));
    EXPECT_EQ(system->tapHost().tapCount(), 0u);
}

TEST_F(EchoReferenceFeedTest, ATapThatCannotStartReportsItsErrorUnchanged) {
    // The capture's error reaches the caller as it was and the handler stays installed until
    // stop.
    auto system = SimulatedAudioSystem::create();
    ScopedAudioSystem installed(system);
    system->injectFault({AudioCall::createAggregateDevice, -7});
    try {
        feed->start();
        ADD_FAILURE() << "start did not throw";
    } catch (const SystemAudioCaptureError& error) {
        EXPECT_EQ(error, SystemAudioCaptureError::aggregateCreationFailed(-7));
    }
    EXPECT_TRUE(static_cast<bool>(feed->capture()->onTimedAudioBuffer()));
    feed->stop();
    EXPECT_FALSE(static_cast<bool>(feed->capture()->onTimedAudioBuffer()));
    EXPECT_EQ(system->tapHost().tapCount(), 0u);
}

}  // namespace
