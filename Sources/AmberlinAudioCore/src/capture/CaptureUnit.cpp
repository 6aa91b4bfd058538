// Capture-unit configuration steps over the AudioComponent* / AudioUnit* calls.
#include "CaptureUnit.h"

#include <algorithm>

#include "AmberlinAudioCore/AudioPipeline.h"
#include "CaptureCallbackGate.h"

namespace amberlin {
namespace {

constexpr AudioUnitElement kInputElement = 1;   // the device side
constexpr AudioUnitElement kOutputElement = 0;  // the (unused) playback side
constexpr double kLowLatencyFrames = 128.0;     // requested IO buffer, frames

/// Throws captureUnitUnavailable(status) for a non-zero status.
void check(OSStatus status) {
    if (status != 0) {
        throw AudioPipelineError::captureUnitUnavailable(status);
    }
}

/// Sets a fixed-size unit property.
template <class T>
void setProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                 AudioUnitElement element, const T& value) {
    check(AudioUnitSetProperty(unit, id, scope, element, &value, sizeof(T)));
}

}  // namespace

std::unique_ptr<CaptureUnit> CaptureUnit::create() {
    const AudioComponentDescription description{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                                kAudioUnitManufacturer_Apple, 0, 0};
    AudioComponent component = AudioComponentFindNext(nullptr, &description);
    if (component == nullptr) {
        throw AudioPipelineError::captureUnitUnavailable(kAudioUnitErr_FailedInitialization);
    }
    AudioComponentInstance instance = nullptr;
    check(AudioComponentInstanceNew(component, &instance));
    if (instance == nullptr) {
        throw AudioPipelineError::captureUnitUnavailable(kAudioUnitErr_FailedInitialization);
    }
    return std::unique_ptr<CaptureUnit>(new CaptureUnit(instance));
}

CaptureUnit::~CaptureUnit() {
    tearDown();
}

void CaptureUnit::enableInputOnly() {
    setProperty<UInt32>(unit_, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input,
                        kInputElement, 1);
    setProperty<UInt32>(unit_, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output,
                        kOutputElement, 0);
}

void CaptureUnit::bindDevice(AudioObjectID device) {
    setProperty(unit_, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, device);
}

AudioStreamBasicDescription CaptureUnit::deviceFormat() {
    AudioStreamBasicDescription format{};
    UInt32 size = sizeof(format);
    check(AudioUnitGetProperty(unit_, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input,
                               kInputElement, &format, &size));
    return format;
}

void CaptureUnit::setClientFormat(double sampleRate, std::uint32_t channels) {
    const AudioStreamBasicDescription format{sampleRate,
                                             kAudioFormatLinearPCM,
                                             kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
                                             4 * channels,
                                             1,
                                             4 * channels,
                                             channels,
                                             32,
                                             0};
    setProperty(unit_, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, kInputElement,
                format);
}

std::uint32_t CaptureUnit::maximumFramesPerSlice() {
    UInt32 frames = fallbackMaximumFrames;
    UInt32 size = sizeof(frames);
    if (AudioUnitGetProperty(unit_, kAudioUnitProperty_MaximumFramesPerSlice,
                             kAudioUnitScope_Global, 0, &frames, &size) != 0) {
        return fallbackMaximumFrames;
    }
    return frames;
}

void CaptureUnit::setInputCallback(AURenderCallback callback, void* context) {
    auto gate = std::make_unique<CaptureCallbackGate>(callback, context);
    const AURenderCallbackStruct value{&CaptureCallbackGate::forward, gate.get()};
    setProperty(unit_, kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0, value);
    if (gate_ != nullptr) {  // the unit no longer calls the previous gate once it has returned
        gate_->close();
        delete gate_;
    }
    gate_ = gate.release();
}

void CaptureUnit::initialize() {
    check(AudioUnitInitialize(unit_));
}

void CaptureUnit::start() {
    check(AudioOutputUnitStart(unit_));
}

OSStatus CaptureUnit::render(AudioUnitRenderActionFlags* flags, const AudioTimeStamp* timeStamp,
                             std::uint32_t frames, AudioBufferList* buffers) const noexcept {
    return AudioUnitRender(unit_, flags, timeStamp, kInputElement, frames, buffers);
}

void CaptureUnit::tearDown() noexcept {
    if (unit_ == nullptr) {
        return;
    }
    if (gate_ != nullptr) {
        gate_->close();  // from here on the unit reaches nothing of its owner, whatever follows
    }
    AudioOutputUnitStop(unit_);
    AudioUnitUninitialize(unit_);
    const OSStatus disposed = AudioComponentInstanceDispose(unit_);
    unit_ = nullptr;
    if (disposed == 0) {
        delete gate_;
    }
    // Otherwise the unit lives on and may still call its gate: it stays allocated, closed.
    gate_ = nullptr;
}

void CaptureUnit::requestLowLatencyBuffer(AudioObjectID device) noexcept {
    const AudioObjectPropertyAddress range{kAudioDevicePropertyBufferFrameSizeRange,
                                           kAudioObjectPropertyScopeGlobal,
                                           kAudioObjectPropertyElementMain};
    AudioValueRange frames{0.0, 0.0};
    UInt32 size = sizeof(frames);
    double request = kLowLatencyFrames;
    if (AudioObjectGetPropertyData(device, &range, 0, nullptr, &size, &frames) == 0) {
        request = std::min(frames.mMaximum, std::max(frames.mMinimum, kLowLatencyFrames));
    }
    const AudioObjectPropertyAddress bufferSize{kAudioDevicePropertyBufferFrameSize,
                                                kAudioObjectPropertyScopeGlobal,
                                                kAudioObjectPropertyElementMain};
    // A range that is not a range of frame counts leaves the plain request standing.
    if (!(request >= 1.0 && request <= 4294967295.0)) {
        request = kLowLatencyFrames;
    }
    const auto value = static_cast<UInt32>(request);
    AudioObjectSetPropertyData(device, &bufferSize, 0, nullptr, sizeof(value), &value);
}

}  // namespace amberlin
