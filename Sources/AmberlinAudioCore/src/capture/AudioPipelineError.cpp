// The capture pipeline's error cases and their names.
#include "AmberlinAudioCore/AudioPipeline.h"

namespace amberlin {

AudioPipelineError AudioPipelineError::deviceBindingFailed(std::int32_t status) {
    return {Code::deviceBindingFailed, status};
}

AudioPipelineError AudioPipelineError::captureUnitUnavailable(std::int32_t status) {
    return {Code::captureUnitUnavailable, status};
}

AudioPipelineError AudioPipelineError::inputFormatUnavailable() {
    return {Code::inputFormatUnavailable, 0};
}

AudioPipelineError AudioPipelineError::converterUnavailable() {
    return {Code::converterUnavailable, 0};
}

AudioPipelineError AudioPipelineError::alreadyRunning() {
    return {Code::alreadyRunning, 0};
}

AudioPipelineError AudioPipelineError::inputDeviceUnavailable() {
    return {Code::inputDeviceUnavailable, 0};
}

AudioPipelineError AudioPipelineError::wouldCaptureVirtualDevice() {
    return {Code::wouldCaptureVirtualDevice, 0};
}

AudioPipelineError AudioPipelineError::producerAlreadyRunning() {
    return {Code::producerAlreadyRunning, 0};
}

const char* AudioPipelineError::what() const noexcept {
    switch (code_) {
        case Code::deviceBindingFailed:
            return "deviceBindingFailed";
        case Code::captureUnitUnavailable:
            return "captureUnitUnavailable";
        case Code::inputFormatUnavailable:
            return "inputFormatUnavailable";
        case Code::converterUnavailable:
            return "converterUnavailable";
        case Code::alreadyRunning:
            return "alreadyRunning";
        case Code::inputDeviceUnavailable:
            return "inputDeviceUnavailable";
        case Code::wouldCaptureVirtualDevice:
            return "wouldCaptureVirtualDevice";
        case Code::producerAlreadyRunning:
            return "producerAlreadyRunning";
    }
    return "AudioPipelineError";
}

}  // namespace amberlin
