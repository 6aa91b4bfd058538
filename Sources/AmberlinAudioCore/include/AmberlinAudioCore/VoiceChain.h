// The production noise processor over the voice core's pipeline, and the factory that builds it
// from the user's settings.
//
// Threads: `process` runs on the one processing thread. The setters and `reset` may be called from
// any thread (they only post requests that the pipeline applies before its next frame);
// `pushReference` runs on the far-end capture thread; `metrics` and `echoMetrics` may be read
// from any thread.
#ifndef AMBERLINAUDIOCORE_VOICECHAIN_H
#define AMBERLINAUDIOCORE_VOICECHAIN_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "AmberlinAudioCore/AppSettings.h"
#include "AmberlinAudioCore/AudioFrame.h"

struct amr_pipeline;

namespace amberlin {

/// Noise suppression, echo cancellation and voice isolation by one voice-core pipeline, which
/// this object owns for its whole lifetime. It performs no format conversion.
class SharedCoreVoiceProcessor final : public NoiseProcessor, public EchoCancellingProcessor {
  public:
    /// Creates the pipeline with these settings; a pipeline that cannot be created stops the
    /// process.
    SharedCoreVoiceProcessor(SuppressionMode mode, bool echoCancellation,
                             VoiceIsolationLevel voiceIsolation);
    /// Destroys the pipeline.
    ~SharedCoreVoiceProcessor() override;
    SharedCoreVoiceProcessor(const SharedCoreVoiceProcessor&) = delete;
    SharedCoreVoiceProcessor& operator=(const SharedCoreVoiceProcessor&) = delete;

    using NoiseProcessor::prepare;

    /// Always rnnoise.
    NoiseProcessorType type() const override { return NoiseProcessorType::rnnoise; }
    /// The last mode set.
    SuppressionMode mode() const override;
    /// Stores the mode and posts it to the pipeline for its next frame.
    void setMode(SuppressionMode mode) override;
    /// The last voice-isolation level set.
    VoiceIsolationLevel voiceIsolation() const override;
    /// Stores the level and posts it to the pipeline for its next frame.
    void setVoiceIsolation(VoiceIsolationLevel level) override;
    /// The last echo-cancellation setting.
    bool echoCancellationEnabled() const override;
    /// Stores the setting and posts it; posting the current state keeps the canceller's
    /// adaptation, switching on starts a fresh canceller.
    void setEchoCancellationEnabled(bool enabled) override;
    /// "RNNoise (neural) · shared core" when the pipeline has a neural state, else
    /// "Spectral DSP · shared core".
    std::string engineName() const override;
    /// Levels of the last frame; voice is active when its probability exceeds 0.5.
    ProcessorMetrics metrics() const override;
    /// Echo canceller and voice gate figures of the last frame.
    EchoMetrics echoMetrics() const override;
    /// Accepts only 48000 Hz mono; the pipeline's geometry is fixed, so nothing else happens.
    void prepare(double sampleRate, std::int64_t channels) override;
    /// Processes a frame stamped with the current host time.
    AudioFrame process(const AudioFrame& frame) override;
    /// Processes a frame whose first sample was captured at `hostTimeNanos` (host clock, ns, the
    /// clock of `pushReference`); throws processingFailed when the pipeline refuses it.
    AudioFrame process(const AudioFrame& frame, std::uint64_t hostTimeNanos) override;
    /// Appends far-end samples (48 kHz mono) that played from `hostTimeNanos`; an empty buffer
    /// is ignored.
    void pushReference(std::span<const float> samples, std::uint64_t hostTimeNanos) override;
    /// Posts a reset of all adaptive state; it takes effect on the next frame.
    void reset() override;

  private:
    amr_pipeline* handle_;
    std::atomic<SuppressionMode> mode_;
    std::atomic<VoiceIsolationLevel> voiceIsolation_;
    std::atomic<bool> echoCancellationEnabled_;
};

/// Builds the program's noise processor; a namespace without instances.
struct NoiseProcessorFactory {
    NoiseProcessorFactory() = delete;

    /// Every processor the factory makes runs on the shared voice core.
    static constexpr bool usesSharedCore = true;
    /// What the factory's processors do, for reports.
    static constexpr std::string_view engineDescription =
        "RNNoise + echo cancellation (shared core)";

    /// A shared-core processor with the settings' suppression mode, echo cancellation and voice
    /// isolation (the stored processor type is not consulted).
    static std::shared_ptr<NoiseProcessor> make(const AppSettings& settings);
};

}  // namespace amberlin

#endif
