// Frames, metrics records, the processor error and the processors' default behaviour.
#include "AmberlinAudioCore/AudioFrame.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "settings/JsonFields.h"

namespace amberlin {

AudioFrame::AudioFrame(std::span<const float> frameSamples) {
    if (frameSamples.size() != samples.size()) {
        std::fprintf(stderr, "AudioFrame requires exactly %lld samples, got %zu\n",
                     static_cast<long long>(frameLength), frameSamples.size());
        std::abort();
    }
    std::copy(frameSamples.begin(), frameSamples.end(), samples.begin());
}

float AudioFrame::rms() const {
    float sum = 0.0f;
    for (const float x : samples) {
        sum += x * x;
    }
    return std::sqrt(sum / static_cast<float>(samples.size()));
}

void to_json(nlohmann::json& json, const ProcessorMetrics& metrics) {
    json = nlohmann::json::object();
    json["inputRMS"] = json_fields::fromFloat(metrics.inputRMS);
    json["outputRMS"] = json_fields::fromFloat(metrics.outputRMS);
    json["voiceActive"] = metrics.voiceActive;
}

void from_json(const nlohmann::json& json, ProcessorMetrics& metrics) {
    using namespace json_fields;
    metrics =
        ProcessorMetrics{toFloat(required(json, "inputRMS")), toFloat(required(json, "outputRMS")),
                         toBool(required(json, "voiceActive"))};
}

NoiseProcessorError NoiseProcessorError::unsupportedSampleRate(double rate) {
    return {Code::unsupportedSampleRate, rate, 0};
}

NoiseProcessorError NoiseProcessorError::unsupportedChannelCount(std::int64_t count) {
    return {Code::unsupportedChannelCount, 0.0, count};
}

NoiseProcessorError NoiseProcessorError::allocationFailed() {
    return {Code::allocationFailed, 0.0, 0};
}

NoiseProcessorError NoiseProcessorError::processingFailed() {
    return {Code::processingFailed, 0.0, 0};
}

const char* NoiseProcessorError::what() const noexcept {
    switch (code_) {
        case Code::unsupportedSampleRate:
            return "unsupportedSampleRate";
        case Code::unsupportedChannelCount:
            return "unsupportedChannelCount";
        case Code::allocationFailed:
            return "allocationFailed";
        case Code::processingFailed:
            return "processingFailed";
    }
    return "NoiseProcessorError";
}

AudioFrame NoiseProcessor::process(const AudioFrame& frame, std::uint64_t /*hostTimeNanos*/) {
    return process(frame);
}

}  // namespace amberlin
