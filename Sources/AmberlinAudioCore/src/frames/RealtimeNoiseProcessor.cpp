// Fallback noise processor over the am_noise_processor engine.
#include "AmberlinAudioCore/RealtimeNoiseProcessor.h"

#include "amberlin/am_noise_processor.h"

namespace amberlin {
namespace {

constexpr auto kFrameLength = static_cast<std::uint32_t>(AudioFrame::frameLength);

// The engine's mode number: the suppression mode's declaration order.
AMNoiseMode engineMode(SuppressionMode mode) {
    return static_cast<AMNoiseMode>(mode);
}

}  // namespace

bool RealtimeNoiseProcessor::neuralModelAvailable() {
    return am_rnnoise_available() != 0;
}

RealtimeNoiseProcessor::RealtimeNoiseProcessor(NoiseProcessorType /*type*/, SuppressionMode mode)
    : mode_(mode) {}

RealtimeNoiseProcessor::~RealtimeNoiseProcessor() {
    am_noise_processor_destroy(engine_);
}

SuppressionMode RealtimeNoiseProcessor::mode() const {
    return mode_.load(std::memory_order_relaxed);
}

void RealtimeNoiseProcessor::setMode(SuppressionMode mode) {
    // Only the processing thread touches the engine (it may be replaced by `prepare`), so the
    // mode is handed over at the engine's next frame rather than from this thread.
    mode_.store(mode, std::memory_order_relaxed);
}

ProcessorMetrics RealtimeNoiseProcessor::metrics() const {
    return ProcessorMetrics{inputRMS_.load(std::memory_order_relaxed),
                            outputRMS_.load(std::memory_order_relaxed),
                            voiceActive_.load(std::memory_order_relaxed)};
}

void RealtimeNoiseProcessor::prepare(double sampleRate, std::int64_t channels) {
    if (sampleRate != AudioFrame::sampleRate) {
        throw NoiseProcessorError::unsupportedSampleRate(sampleRate);
    }
    if (channels != 1) {
        throw NoiseProcessorError::unsupportedChannelCount(channels);
    }
    am_noise_processor_destroy(engine_);
    engine_ = am_noise_processor_create(engineMode(mode()), 48000, kFrameLength);
    if (engine_ == nullptr) {
        throw NoiseProcessorError::allocationFailed();
    }
}

AudioFrame RealtimeNoiseProcessor::process(const AudioFrame& frame) {
    if (engine_ == nullptr) {
        throw NoiseProcessorError::processingFailed();
    }
    am_noise_processor_set_mode(engine_, engineMode(mode()));
    AudioFrame output;
    if (am_noise_processor_process(engine_, frame.samples.data(), output.samples.data(),
                                   kFrameLength) != 1) {
        return frame;
    }
    publishMetrics();
    return output;
}

void RealtimeNoiseProcessor::reset() {
    if (engine_ == nullptr) {
        return;
    }
    am_noise_processor_reset(engine_);
    inputRMS_.store(0.0f, std::memory_order_relaxed);
    outputRMS_.store(0.0f, std::memory_order_relaxed);
    voiceActive_.store(false, std::memory_order_relaxed);
}

// Copies the engine's per-frame levels and voice flag into the shared metrics.
void RealtimeNoiseProcessor::publishMetrics() {
    inputRMS_.store(am_noise_processor_last_input_rms(engine_), std::memory_order_relaxed);
    outputRMS_.store(am_noise_processor_last_output_rms(engine_), std::memory_order_relaxed);
    voiceActive_.store(am_noise_processor_last_voice_active(engine_), std::memory_order_relaxed);
}

}  // namespace amberlin
