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

constexpr AudioUnitElement kInputElement = CaptureUnitSettings::kInputElement;

/// Host ticks per frame at `rate` Hz under the installed timebase.
double hostTicksPerFrame(Float64 rate) {
    mach_timebase_info_data_t base{1, 1};
    mach_timebase_info(&base);
    const double nanosPerFrame = 1e9 / rate;
    return base.numer == 0 ? nanosPerFrame : nanosPerFrame * base.denom / base.numer;
}

}  // namespace

SimulatedCaptureUnit::SimulatedCaptureUnit(std::shared_ptr<SimulatedAudioSystem> system)
    : system_(std::move(system)),
      lookup_([this](AudioObjectID id) { return lookUp(id); }),
      settings_(system_->defaultInputDevice()) {}

SimulatedCaptureUnit::~SimulatedCaptureUnit() {
    stopIO();
}

std::optional<OSStatus> SimulatedCaptureUnit::fault(AudioCall call,
                                                    std::optional<UInt32> selector) {
    return system_->faults().check(call, kAudioObjectUnknown, selector);
}

std::optional<DeviceInputFormat> SimulatedCaptureUnit::lookUp(AudioObjectID id) const {
    const auto device = system_->device(id);
    return device ? std::optional(device->inputFormat()) : std::nullopt;
}

OSStatus SimulatedCaptureUnit::setProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                           AudioUnitElement element, const void* data,
                                           UInt32 size) noexcept {
    try {
        if (auto status = fault(AudioCall::unitSetProperty, id)) {
            return *status;
        }
        return settings_.set(id, scope, element, data, size, initialized_, ioThread_ != nullptr,
                             lookup_);
    } catch (...) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
}

OSStatus SimulatedCaptureUnit::getProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                           AudioUnitElement element, void* data,
                                           UInt32& ioSize) noexcept {
    try {
        if (auto status = fault(AudioCall::unitGetProperty, id)) {
            return *status;
        }
        return settings_.get(id, scope, element, data, ioSize, lookup_);
    } catch (...) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
}

OSStatus SimulatedCaptureUnit::initialize() noexcept {
    try {
        if (auto status = fault(AudioCall::unitInitialize)) {
            return *status;
        }
        if (initialized_) {
            return kAudioHardwareNoError;
        }
        auto device = system_->device(settings_.deviceID());
        if (!settings_.inputEnabled() || !device || device->inputFormat().channels == 0) {
            return kAudioUnitErr_FailedInitialization;  // a capture-only unit needs an input
        }
        const DeviceInputFormat input = device->inputFormat();
        const AudioStreamBasicDescription client = settings_.clientFormat(input);
        if (client.mSampleRate != 0.0 && client.mSampleRate != input.sampleRate) {
            return kAudioUnitErr_FormatNotSupported;  // this unit converts layout, not rate
        }
        deviceBlock_.assign(static_cast<std::size_t>(settings_.maximumFrames()) * input.channels,
                            0.0f);
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
    system_->registerRunningUnit(settings_.deviceID(), ioThread_);
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
    frames =
        std::min(frames == 0 ? device_->ioBufferFrameSize() : frames, settings_.maximumFrames());
    if (frames == 0) {
        return 0;
    }
    const AudioTimeStamp stamp = cycleTimeStamp();
    stream_->read(deviceBlock_.data(), frames, stamp);
    cycleFrames_ = frames;
    tCyclingUnit = this;
    if (const AURenderCallbackStruct& callback = settings_.callback(); callback.inputProc) {
        AudioUnitRenderActionFlags flags = 0;
        callback.inputProc(callback.inputProcRefCon, &flags, &stamp, kInputElement, frames,
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
