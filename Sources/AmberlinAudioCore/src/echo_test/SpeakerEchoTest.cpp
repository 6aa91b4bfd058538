// The speaker echo test: speak through the speakers, record the raw and processed microphone
// with echo cancellation against the speakers' audio, and measure what the canceller removed.
#include "AmberlinAudioCore/SpeakerEchoTest.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "AmberlinAudioCore/AudioPipeline.h"
#include "AmberlinAudioCore/EchoReferenceFeed.h"
#include "AmberlinAudioCore/VirtualMicBridge.h"
#include "AmberlinAudioCore/VoiceChain.h"
#include "platform/SpeechSynthesizer.h"
#include "platform/UnfairLock.h"

namespace amberlin {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kSettleTime = 1s;
constexpr auto kFirstPollDelay = 300ms;
constexpr auto kSpeechTimeout = 25s;
constexpr auto kPollInterval = 100ms;
constexpr auto kEchoTail = 400ms;
constexpr std::size_t kConvergenceSamples = 120'000;  // 2.5 s left to the canceller to adapt
constexpr std::size_t kNoiseFloorSamples = 24'000;    // 0.5 s before the speech
constexpr float kSilenceDB = -120.0f;
constexpr double kPowerFloor = 1e-12;

/// A frame sink that discards frames and keeps the raw and processed microphone samples.
class Recorder final : public AudioFrameSink {
  public:
    void attachProducer() override {}
    void detachProducer() override {}
    bool write(const AudioFrame&) override { return true; }
    bool writeLatest(const AudioFrame&) override { return true; }
    void clear() override {}

    /// Appends a frame before processing (processing queue).
    void appendRaw(const AudioFrame& frame) { append(rawLock_, raw_, frame); }
    /// Appends a frame after processing (processing queue).
    void appendProcessed(const AudioFrame& frame) { append(processedLock_, processed_, frame); }
    /// Raw samples recorded so far.
    std::size_t rawCount() {
        return rawLock_.withLock([&] { return raw_.size(); });
    }
    /// Copies of both recordings.
    std::vector<float> raw() {
        return rawLock_.withLock([&] { return raw_; });
    }
    std::vector<float> processed() {
        return processedLock_.withLock([&] { return processed_; });
    }

  private:
    static void append(platform::UnfairLock& lock, std::vector<float>& samples,
                       const AudioFrame& frame) {
        lock.withLock(
            [&] { samples.insert(samples.end(), frame.samples.begin(), frame.samples.end()); });
    }

    platform::UnfairLock rawLock_;  // guards raw_
    std::vector<float> raw_;
    platform::UnfairLock processedLock_;  // guards processed_
    std::vector<float> processed_;
};

/// The verdict for a removal of `removedDB` dB.
const char* verdict(float removedDB) {
    if (removedDB >= 25.0f) {
        return "Excellent";
    }
    if (removedDB >= 15.0f) {
        return "Good";
    }
    return removedDB >= 8.0f ? "Partial" : "Not working";
}

/// Starts the reference feed; on failure stops it (releasing what its capture made) and throws
/// TestError::start.
void startFeed(EchoReferenceFeed& feed) {
    try {
        feed.start();
    } catch (const std::exception& error) {
        feed.stop();
        throw SpeakerEchoTest::TestError::start(error);
    }
}

/// Starts the pipeline; on failure stops the feed first and throws micBusy when another producer
/// holds the lock, TestError::start otherwise.
void startPipeline(AudioPipeline& pipeline, EchoReferenceFeed& feed) {
    try {
        pipeline.start();
    } catch (const AudioPipelineError& error) {
        feed.stop();
        if (error.code() == AudioPipelineError::Code::producerAlreadyRunning) {
            throw SpeakerEchoTest::TestError::micBusy();
        }
        throw SpeakerEchoTest::TestError::start(error);
    } catch (const std::exception& error) {
        feed.stop();
        throw SpeakerEchoTest::TestError::start(error);
    }
}

/// Speaks the sentence and returns once it has been spoken, or after the time-out.
void speakSentence(platform::SpeechSynthesizer& synthesizer) {
    synthesizer.speak(std::string(SpeakerEchoTest::sentence));
    std::this_thread::sleep_for(kFirstPollDelay);
    const auto deadline = Clock::now() + kSpeechTimeout;
    while (synthesizer.isSpeaking() && Clock::now() < deadline) {
        std::this_thread::sleep_for(kPollInterval);
    }
}

/// Settles, speaks the sentence, waits for its echo to fade, stops both captures and measures.
SpeakerEchoTest::Result measureSpeech(const SharedCoreVoiceProcessor& processor, Recorder& recorder,
                                      AudioPipeline& pipeline, EchoReferenceFeed& feed) {
    std::this_thread::sleep_for(kSettleTime);
    const std::size_t speechStart = recorder.rawCount();
    platform::SpeechSynthesizer synthesizer;
    speakSentence(synthesizer);
    std::this_thread::sleep_for(kEchoTail);
    const std::size_t end = recorder.rawCount();
    const EchoMetrics metrics = processor.echoMetrics();
    pipeline.stop();
    feed.stop();
    return SpeakerEchoTest::measure(recorder.raw(), recorder.processed(), speechStart, end,
                                    metrics);
}

}  // namespace

std::string SpeakerEchoTest::Result::summary() const {
    char text[512];
    if (!referenceArrived) {
        return "The speaker reference never arrived — allow Corvessa to record system audio "
               "(System Settings › Privacy & Security) and retry.";
    }
    if (echoAtMicDB - noiseFloorDB < 10.0f) {
        std::snprintf(text, sizeof(text),
                      "The mic barely heard the speakers (%.0f dBFS over a %.0f dBFS floor). "
                      "Headphones in use or volume too low — turn the volume up and retry.",
                      static_cast<double>(echoAtMicDB), static_cast<double>(noiseFloorDB));
        return text;
    }
    std::snprintf(text, sizeof(text),
                  "%s: removed %.0f dB of speaker echo (echo at mic %.0f dBFS, path %.0f ms, "
                  "reference read %.0f ms behind).",
                  verdict(removedDB), static_cast<double>(removedDB),
                  static_cast<double>(echoAtMicDB), static_cast<double>(echoDelayMS),
                  static_cast<double>(referenceLookbackMS));
    return text;
}

SpeakerEchoTest::TestError SpeakerEchoTest::TestError::start(const std::exception& cause) {
    return {Code::start, std::string("Couldn't start the test: ") + cause.what()};
}

SpeakerEchoTest::TestError SpeakerEchoTest::TestError::micBusy() {
    return {Code::micBusy, "End the call first — the test needs the mic to itself."};
}

float SpeakerEchoTest::level(std::span<const float> x, std::size_t from, std::size_t to) {
    to = std::min(to, x.size());
    if (to <= from) {
        return kSilenceDB;
    }
    double sum = 0.0;
    for (std::size_t i = from; i < to; ++i) {
        sum += static_cast<double>(x[i]) * static_cast<double>(x[i]);
    }
    const double power = std::max(sum / static_cast<double>(to - from), kPowerFloor);
    return static_cast<float>(10.0 * std::log10(power));
}

SpeakerEchoTest::Result SpeakerEchoTest::measure(std::span<const float> raw,
                                                 std::span<const float> processed,
                                                 std::size_t speechStart, std::size_t end,
                                                 const EchoMetrics& metrics) {
    const std::size_t window = std::min(end, speechStart + kConvergenceSamples);
    const std::size_t floorStart =
        speechStart > kNoiseFloorSamples ? speechStart - kNoiseFloorSamples : 0;
    Result result;
    result.echoAtMicDB = level(raw, window, std::min(raw.size(), end));
    const float processedDB = level(processed, window, std::min(processed.size(), end));
    result.noiseFloorDB =
        level(raw, std::min(raw.size(), floorStart), std::min(raw.size(), speechStart));
    result.removedDB = result.echoAtMicDB - processedDB;
    result.echoDelayMS = metrics.echoDelayMS;
    result.referenceLookbackMS = metrics.referenceLookbackMS;
    result.referenceArrived = metrics.referenceLookbackMS > 0.0f ||
                              metrics.echoReductionDB > 0.0f || metrics.farEndActive;
    return result;
}

SpeakerEchoTest::Result SpeakerEchoTest::run(std::optional<std::string> preferredInputUID,
                                             std::shared_ptr<DeviceManager> deviceManager,
                                             std::string producerLockPath) {
    const auto processor = std::make_shared<SharedCoreVoiceProcessor>(
        SuppressionMode::balanced, true, VoiceIsolationLevel::off);
    const auto recorder = std::make_shared<Recorder>();
    const auto pipeline =
        AudioPipeline::make(processor, recorder, std::move(deviceManager),
                            std::move(preferredInputUID), std::move(producerLockPath));
    pipeline->setInputFrameHandler([recorder](const AudioFrame& f) { recorder->appendRaw(f); });
    pipeline->setProcessedFrameHandler(
        [recorder](const AudioFrame& f) { recorder->appendProcessed(f); });
    const auto feed = EchoReferenceFeed::make(processor);
    startFeed(*feed);
    startPipeline(*pipeline, *feed);

    try {
        return measureSpeech(*processor, *recorder, *pipeline, *feed);
    } catch (...) {
        pipeline->stop();
        feed->stop();
        throw;
    }
}

}  // namespace amberlin
