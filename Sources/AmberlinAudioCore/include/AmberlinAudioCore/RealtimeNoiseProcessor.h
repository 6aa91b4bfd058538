// Noise processor over the ring library's fallback spectral engine; no echo cancellation.
//
// Threads: prepare, process and reset run on the one processing thread. `setMode`, `mode` and
// `metrics` may be used from any thread: the mode is posted atomically and handed to the engine
// at its next frame, and the metrics are published field by field as atomics.
#ifndef AMBERLINAUDIOCORE_REALTIMENOISEPROCESSOR_H
#define AMBERLINAUDIOCORE_REALTIMENOISEPROCESSOR_H

#include <atomic>
#include <cstdint>
#include <string>

#include "AmberlinAudioCore/AudioFrame.h"

struct AMNoiseProcessor;

namespace amberlin {

/// The fallback processor: the spectral engine adapted to frames, modes, metrics and errors.
class RealtimeNoiseProcessor final : public NoiseProcessor {
  public:
    /// Whether the ring library offers a neural model; it never does.
    static bool neuralModelAvailable();

    /// Stores the mode; the engine is created by `prepare`. The type is always rnnoise.
    RealtimeNoiseProcessor(NoiseProcessorType type, SuppressionMode mode);
    /// Destroys the engine.
    ~RealtimeNoiseProcessor() override;
    RealtimeNoiseProcessor(const RealtimeNoiseProcessor&) = delete;
    RealtimeNoiseProcessor& operator=(const RealtimeNoiseProcessor&) = delete;

    using NoiseProcessor::prepare;
    using NoiseProcessor::process;

    /// Always rnnoise, the enumeration's only case.
    NoiseProcessorType type() const override { return NoiseProcessorType::rnnoise; }
    /// The last mode set.
    SuppressionMode mode() const override;
    /// Posts a mode; the engine applies it from its next frame.
    void setMode(SuppressionMode mode) override;
    /// Levels and voice decision of the last frame the engine accepted.
    ProcessorMetrics metrics() const override;
    /// "Spectral DSP".
    std::string engineName() const override { return "Spectral DSP"; }
    /// Accepts only 48000 Hz mono, then replaces any engine with a fresh one.
    void prepare(double sampleRate, std::int64_t channels) override;
    /// Suppresses noise in one frame; throws processingFailed before `prepare`. A frame the
    /// engine refuses comes back unchanged with the metrics untouched.
    AudioFrame process(const AudioFrame& frame) override;
    /// Clears the engine's state and the metrics; without an engine nothing happens.
    void reset() override;

  private:
    void publishMetrics();

    std::atomic<SuppressionMode> mode_;
    std::atomic<float> inputRMS_{0.0f};
    std::atomic<float> outputRMS_{0.0f};
    std::atomic<bool> voiceActive_{false};
    AMNoiseProcessor* engine_ = nullptr;
};

}  // namespace amberlin

#endif
