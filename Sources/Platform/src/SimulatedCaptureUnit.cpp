// Simulated capture unit: property validation, lifecycle and the IO cycle.
#include "SimulatedCaptureUnit.h"

#include <cmath>

#include "PropertyData.h"
#include "platform/AudioFormat.h"
#include "platform/HostClock.h"

namespace platform {
namespace {

/// The unit whose input callback runs on this thread right now; render() is valid only there.
thread_local const SimulatedCaptureUnit* tCyclingUnit = nullptr;

constexpr AudioUnitElement kInputElement = 1;
constexpr AudioUnitElement kOutputElement = 0;

/// 32-bit float interleaved linear PCM at `rate` Hz with `channels` channels.
AudioStreamBasicDescription floatFormat(Float64 rate, UInt32 channels) {
    return {rate,
            kAudioFormatLinearPCM,
            kAudioFormatFlagsNativeFloatPacked,
            4 * channels,
            1,
            4 * channels,
            channels,
            32,
            0};
}

/// True for 32-bit float linear PCM with consistent packet and frame sizes.
bool isSupportedClientFormat(const AudioStreamBasicDescription& f) {
    const bool interleaved = (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
    const UInt32 frameBytes = interleaved ? 4 * f.mChannelsPerFrame : 4;
    return f.mFormatID == kAudioFormatLinearPCM && (f.mFormatFlags & kAudioFormatFlagIsFloat) &&
           f.mBitsPerChannel == 32 && f.mChannelsPerFrame >= 1 && f.mFramesPerPacket == 1 &&
           f.mBytesPerFrame == frameBytes && f.mBytesPerPacket == frameBytes &&
           f.mSampleRate >= 0.0;
}

/// Host ticks per frame at `rate` Hz under the installed timebase.
double hostTicksPerFrame(Float64 rate) {
    mach_timebase_info_data_t base{1, 1};
    mach_timebase_info(&base);
    const double nanosPerFrame = 1e9 / rate;
    return base.numer == 0 ? nanosPerFrame : nanosPerFrame * base.denom / base.numer;
}

}  // namespace

SimulatedCaptureUnit::SimulatedCaptureUnit(std::shared_ptr<SimulatedAudioSystem> system)
    : system_(std::move(system)), deviceID_(system_->defaultInputDevice()) {}

SimulatedCaptureUnit::~SimulatedCaptureUnit() {
    stopIO();
}

std::optional<OSStatus> SimulatedCaptureUnit::fault(AudioCall call,
                                                    std::optional<UInt32> selector) {
    return system_->faults().check(call, kAudioObjectUnknown, selector);
}

OSStatus SimulatedCaptureUnit::setProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                           AudioUnitElement element, const void* data,
                                           UInt32 size) noexcept {
    try {
        if (auto status = fault(AudioCall::unitSetProperty, id)) {
            return *status;
        }
        if (data == nullptr) {
            return kAudio_ParamError;
        }
        const bool global = scope == kAudioUnitScope_Global;
        switch (id) {
            case kAudioOutputUnitProperty_EnableIO:
                return setEnableIO(scope, element, data, size);
            case kAudioOutputUnitProperty_CurrentDevice:
                return global ? setCurrentDevice(data, size) : kAudioUnitErr_InvalidScope;
            case kAudioUnitProperty_StreamFormat:
                return setClientFormat(scope, element, data, size);
            case kAudioUnitProperty_MaximumFramesPerSlice:
                return global ? setMaximumFrames(data, size) : kAudioUnitErr_InvalidScope;
            case kAudioOutputUnitProperty_SetInputCallback:
                return global ? setInputCallback(data, size) : kAudioUnitErr_InvalidScope;
            default:
                return kAudioUnitErr_InvalidProperty;
        }
    } catch (...) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
}

OSStatus SimulatedCaptureUnit::getProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                           AudioUnitElement element, void* data,
                                           UInt32& ioSize) noexcept {
    using namespace property;
    try {
        if (auto status = fault(AudioCall::unitGetProperty, id)) {
            return *status;
        }
        const bool global = scope == kAudioUnitScope_Global;
        switch (id) {
            case kAudioOutputUnitProperty_EnableIO:
                return getEnableIO(scope, element, data, ioSize);
            case kAudioOutputUnitProperty_CurrentDevice:
                return global ? copyOut(deviceID_, ioSize, data) : kAudioUnitErr_InvalidScope;
            case kAudioUnitProperty_StreamFormat:
                return getStreamFormat(scope, element, data, ioSize);
            case kAudioUnitProperty_MaximumFramesPerSlice:
                return global ? copyOut(maximumFrames_, ioSize, data) : kAudioUnitErr_InvalidScope;
            default:
                return kAudioUnitErr_InvalidProperty;
        }
    } catch (...) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
}

OSStatus SimulatedCaptureUnit::setEnableIO(AudioUnitScope scope, AudioUnitElement element,
                                           const void* data, UInt32 size) {
    const bool input = scope == kAudioUnitScope_Input;
    if (!input && scope != kAudioUnitScope_Output) {
        return kAudioUnitErr_InvalidScope;
    }
    if (element != (input ? kInputElement : kOutputElement)) {
        return kAudioUnitErr_InvalidElement;
    }
    const auto enable = property::readIn<UInt32>(size, data);
    if (!enable || *enable > 1) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
    if (initialized_) {
        return kAudioUnitErr_Initialized;
    }
    (input ? inputEnabled_ : outputEnabled_) = *enable == 1;
    return kAudioHardwareNoError;
}

OSStatus SimulatedCaptureUnit::getEnableIO(AudioUnitScope scope, AudioUnitElement element,
                                           void* data, UInt32& ioSize) const {
    const bool input = scope == kAudioUnitScope_Input;
    if (!input && scope != kAudioUnitScope_Output) {
        return kAudioUnitErr_InvalidScope;
    }
    if (element != (input ? kInputElement : kOutputElement)) {
        return kAudioUnitErr_InvalidElement;
    }
    const UInt32 enabled = (input ? inputEnabled_ : outputEnabled_) ? 1 : 0;
    return property::copyOut(enabled, ioSize, data);
}

OSStatus SimulatedCaptureUnit::setCurrentDevice(const void* data, UInt32 size) {
    const auto id = property::readIn<AudioObjectID>(size, data);
    if (!id || !system_->device(*id)) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
    if (initialized_) {
        return kAudioUnitErr_Initialized;
    }
    deviceID_ = *id;
    return kAudioHardwareNoError;
}

OSStatus SimulatedCaptureUnit::setClientFormat(AudioUnitScope scope, AudioUnitElement element,
                                               const void* data, UInt32 size) {
    if (element != kInputElement) {
        return kAudioUnitErr_InvalidElement;
    }
    if (scope != kAudioUnitScope_Output) {
        // The input scope of element 1 is the device's own format.
        return scope == kAudioUnitScope_Input ? kAudioUnitErr_PropertyNotWritable
                                              : kAudioUnitErr_InvalidScope;
    }
    const auto format = property::readIn<AudioStreamBasicDescription>(size, data);
    if (!format) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
    if (!isSupportedClientFormat(*format)) {
        return kAudioUnitErr_FormatNotSupported;
    }
    if (initialized_) {
        return kAudioUnitErr_Initialized;
    }
    clientFormat_ = *format;
    return kAudioHardwareNoError;
}

OSStatus SimulatedCaptureUnit::setMaximumFrames(const void* data, UInt32 size) {
    const auto frames = property::readIn<UInt32>(size, data);
    if (!frames || *frames == 0) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
    if (initialized_) {
        return kAudioUnitErr_Initialized;
    }
    maximumFrames_ = *frames;
    return kAudioHardwareNoError;
}

OSStatus SimulatedCaptureUnit::setInputCallback(const void* data, UInt32 size) {
    const auto callback = property::readIn<AURenderCallbackStruct>(size, data);
    if (!callback) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
    if (ioThread_) {
        return kAudioUnitErr_CannotDoInCurrentContext;
    }
    callback_ = *callback;
    return kAudioHardwareNoError;
}

OSStatus SimulatedCaptureUnit::getStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                                               void* data, UInt32& ioSize) const {
    if (element != kInputElement) {
        return kAudioUnitErr_InvalidElement;
    }
    if (scope != kAudioUnitScope_Input && scope != kAudioUnitScope_Output) {
        return kAudioUnitErr_InvalidScope;
    }
    const bool client = scope == kAudioUnitScope_Output && clientFormat_;
    const auto format = client ? clientFormat_ : deviceFormat();
    return format ? property::copyOut(*format, ioSize, data) : kAudioUnitErr_NoConnection;
}

std::optional<AudioStreamBasicDescription> SimulatedCaptureUnit::deviceFormat() const {
    const auto device = system_->device(deviceID_);
    if (!device) {
        return std::nullopt;
    }
    const DeviceInputFormat input = device->inputFormat();
    return floatFormat(input.sampleRate, input.channels);
}

OSStatus SimulatedCaptureUnit::initialize() noexcept {
    try {
        if (auto status = fault(AudioCall::unitInitialize)) {
            return *status;
        }
        if (initialized_) {
            return kAudioHardwareNoError;
        }
        auto device = system_->device(deviceID_);
        if (!inputEnabled_ || !device || device->inputFormat().channels == 0) {
            return kAudioUnitErr_FailedInitialization;  // a capture-only unit needs an input
        }
        const DeviceInputFormat input = device->inputFormat();
        const AudioStreamBasicDescription client =
            clientFormat_.value_or(floatFormat(input.sampleRate, input.channels));
        if (client.mSampleRate != 0.0 && client.mSampleRate != input.sampleRate) {
            return kAudioUnitErr_FormatNotSupported;  // this unit converts layout, not rate
        }
        deviceBlock_.assign(static_cast<std::size_t>(maximumFrames_) * input.channels, 0.0f);
        device_ = std::move(device);
        sampleRate_ = input.sampleRate;
        const bool interleaved = (client.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
        layout_ = ClientLayout(input.channels, client.mChannelsPerFrame, interleaved);
        initialized_ = true;
        return kAudioHardwareNoError;
    } catch (...) {
        return kAudioUnitErr_FailedInitialization;
    }
}

OSStatus SimulatedCaptureUnit::uninitialize() noexcept {
    try {
        if (auto status = fault(AudioCall::unitUninitialize)) {
            return *status;
        }
    } catch (...) {
        return kAudioUnitErr_CannotDoInCurrentContext;
    }
    if (ioThread_ && ioThread_->isCurrent()) {
        return kAudioUnitErr_CannotDoInCurrentContext;
    }
    stopIO();
    initialized_ = false;
    device_.reset();
    deviceBlock_ = {};
    return kAudioHardwareNoError;
}

OSStatus SimulatedCaptureUnit::start() noexcept {
    try {
        if (auto status = fault(AudioCall::outputUnitStart)) {
            return *status;
        }
        if (!initialized_) {
            return kAudioUnitErr_Uninitialized;
        }
        return ioThread_ ? kAudioHardwareNoError : startIO();
    } catch (...) {
        stopIO();
        return kAudioHardwareUnspecifiedError;
    }
}

OSStatus SimulatedCaptureUnit::startIO() {
    auto stream = device_->startInput();
    if (!stream) {
        return stream.error();
    }
    stream_ = std::move(*stream);
    anchorHostTime_ = mach_absolute_time();
    ticksPerFrame_ = hostTicksPerFrame(sampleRate_);
    sampleTime_ = 0;
    ioThread_ = std::make_shared<SimulatedIOThread>(
        system_->ioClock(), sampleRate_, [this](UInt32 frames) { return runCycle(frames); });
    system_->registerRunningUnit(deviceID_, ioThread_);
    return kAudioHardwareNoError;
}

OSStatus SimulatedCaptureUnit::stop() noexcept {
    try {
        if (auto status = fault(AudioCall::outputUnitStop)) {
            return *status;
        }
    } catch (...) {
        return kAudioUnitErr_CannotDoInCurrentContext;
    }
    if (ioThread_ && ioThread_->isCurrent()) {
        return kAudioUnitErr_CannotDoInCurrentContext;  // joining itself would never return
    }
    stopIO();
    return kAudioHardwareNoError;
}

void SimulatedCaptureUnit::stopIO() noexcept {
    if (!ioThread_) {
        return;
    }
    system_->unregisterRunningUnit(ioThread_.get());
    ioThread_->stop();
    ioThread_.reset();
    stream_.reset();
}

OSStatus SimulatedCaptureUnit::dispose() noexcept {
    try {
        if (auto status = fault(AudioCall::componentInstanceDispose)) {
            return *status;
        }
    } catch (...) {
        return kAudioUnitErr_CannotDoInCurrentContext;
    }
    if (ioThread_ && ioThread_->isCurrent()) {
        return kAudioUnitErr_CannotDoInCurrentContext;
    }
    delete this;
    return kAudioHardwareNoError;
}

UInt32 SimulatedCaptureUnit::runCycle(UInt32 frames) noexcept {
    frames = std::min(frames == 0 ? device_->ioBufferFrameSize() : frames, maximumFrames_);
    if (frames == 0) {
        return 0;
    }
    const AudioTimeStamp stamp = cycleTimeStamp();
    stream_->read(deviceBlock_.data(), frames, stamp);
    cycleFrames_ = frames;
    tCyclingUnit = this;
    if (callback_.inputProc != nullptr) {
        AudioUnitRenderActionFlags flags = 0;
        callback_.inputProc(callback_.inputProcRefCon, &flags, &stamp, kInputElement, frames,
                            nullptr);
    }
    tCyclingUnit = nullptr;
    cycleFrames_ = 0;
    sampleTime_ += frames;
    return frames;
}

AudioTimeStamp SimulatedCaptureUnit::cycleTimeStamp() const noexcept {
    const double offset = std::round(static_cast<double>(sampleTime_) * ticksPerFrame_);
    AudioTimeStamp stamp{};
    stamp.mSampleTime = static_cast<Float64>(sampleTime_);
    stamp.mHostTime = anchorHostTime_ + static_cast<UInt64>(offset);
    stamp.mRateScalar = 1.0;
    stamp.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampRateScalarValid;
    if (system_->hostTimeValid()) {
        stamp.mFlags |= kAudioTimeStampHostTimeValid;
    }
    return stamp;
}

OSStatus SimulatedCaptureUnit::render(AudioUnitRenderActionFlags*, const AudioTimeStamp*,
                                      UInt32 bus, UInt32 frames, AudioBufferList* data) noexcept {
    if (tCyclingUnit != this) {
        return kAudioUnitErr_CannotDoInCurrentContext;
    }
    if (auto status = system_->faults().checkRender()) {
        return *status;
    }
    if (bus != kInputElement) {
        return kAudioUnitErr_InvalidElement;
    }
    if (frames > cycleFrames_) {
        return kAudioUnitErr_TooManyFramesToProcess;
    }
    if (!layout_.fits(*data, frames)) {
        return kAudio_ParamError;
    }
    layout_.copy(deviceBlock_.data(), *data, frames);
    return kAudioHardwareNoError;
}

}  // namespace platform
