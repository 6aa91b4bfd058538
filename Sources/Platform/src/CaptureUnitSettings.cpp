// Capture-unit property validation shared by the backends.
#include "CaptureUnitSettings.h"

#include "PropertyData.h"
#include "platform/AudioFormat.h"

namespace platform {
namespace {

/// True for 32-bit float linear PCM with consistent packet and frame sizes.
bool isSupportedClientFormat(const AudioStreamBasicDescription& f) {
    const bool interleaved = (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
    const UInt32 frameBytes = interleaved ? 4 * f.mChannelsPerFrame : 4;
    return f.mFormatID == kAudioFormatLinearPCM && (f.mFormatFlags & kAudioFormatFlagIsFloat) &&
           f.mBitsPerChannel == 32 && f.mChannelsPerFrame >= 1 && f.mFramesPerPacket == 1 &&
           f.mBytesPerFrame == frameBytes && f.mBytesPerPacket == frameBytes &&
           f.mSampleRate >= 0.0;
}

}  // namespace

AudioStreamBasicDescription floatStreamFormat(Float64 rate, UInt32 channels) {
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

AudioStreamBasicDescription CaptureUnitSettings::clientFormat(
    const DeviceInputFormat& device) const noexcept {
    return clientFormat_.value_or(floatStreamFormat(device.sampleRate, device.channels));
}

OSStatus CaptureUnitSettings::set(AudioUnitPropertyID id, AudioUnitScope scope,
                                  AudioUnitElement element, const void* data, UInt32 size,
                                  bool initialized, bool running,
                                  const CaptureDeviceLookup& lookup) {
    if (data == nullptr) {
        return kAudio_ParamError;
    }
    const bool global = scope == kAudioUnitScope_Global;
    switch (id) {
        case kAudioOutputUnitProperty_EnableIO:
            return setEnableIO(scope, element, data, size, initialized);
        case kAudioOutputUnitProperty_CurrentDevice:
            return global ? setCurrentDevice(data, size, initialized, lookup)
                          : kAudioUnitErr_InvalidScope;
        case kAudioUnitProperty_StreamFormat:
            return setClientFormat(scope, element, data, size, initialized);
        case kAudioUnitProperty_MaximumFramesPerSlice:
            return global ? setMaximumFrames(data, size, initialized) : kAudioUnitErr_InvalidScope;
        case kAudioOutputUnitProperty_SetInputCallback:
            return global ? setInputCallback(data, size, running) : kAudioUnitErr_InvalidScope;
        default:
            return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus CaptureUnitSettings::get(AudioUnitPropertyID id, AudioUnitScope scope,
                                  AudioUnitElement element, void* data, UInt32& ioSize,
                                  const CaptureDeviceLookup& lookup) const {
    using namespace property;
    const bool global = scope == kAudioUnitScope_Global;
    switch (id) {
        case kAudioOutputUnitProperty_EnableIO:
            return getEnableIO(scope, element, data, ioSize);
        case kAudioOutputUnitProperty_CurrentDevice:
            return global ? copyOut(deviceID_, ioSize, data) : kAudioUnitErr_InvalidScope;
        case kAudioUnitProperty_StreamFormat:
            return getStreamFormat(scope, element, data, ioSize, lookup);
        case kAudioUnitProperty_MaximumFramesPerSlice:
            return global ? copyOut(maximumFrames_, ioSize, data) : kAudioUnitErr_InvalidScope;
        default:
            return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus CaptureUnitSettings::setEnableIO(AudioUnitScope scope, AudioUnitElement element,
                                          const void* data, UInt32 size, bool initialized) {
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
    if (initialized) {
        return kAudioUnitErr_Initialized;
    }
    (input ? inputEnabled_ : outputEnabled_) = *enable == 1;
    return kAudioHardwareNoError;
}

OSStatus CaptureUnitSettings::getEnableIO(AudioUnitScope scope, AudioUnitElement element,
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

OSStatus CaptureUnitSettings::setCurrentDevice(const void* data, UInt32 size, bool initialized,
                                               const CaptureDeviceLookup& lookup) {
    const auto id = property::readIn<AudioObjectID>(size, data);
    if (!id || !lookup(*id)) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
    if (initialized) {
        return kAudioUnitErr_Initialized;
    }
    deviceID_ = *id;
    return kAudioHardwareNoError;
}

OSStatus CaptureUnitSettings::setClientFormat(AudioUnitScope scope, AudioUnitElement element,
                                              const void* data, UInt32 size, bool initialized) {
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
    if (initialized) {
        return kAudioUnitErr_Initialized;
    }
    clientFormat_ = *format;
    return kAudioHardwareNoError;
}

OSStatus CaptureUnitSettings::setMaximumFrames(const void* data, UInt32 size, bool initialized) {
    const auto frames = property::readIn<UInt32>(size, data);
    if (!frames || *frames == 0) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
    if (initialized) {
        return kAudioUnitErr_Initialized;
    }
    maximumFrames_ = *frames;
    return kAudioHardwareNoError;
}

OSStatus CaptureUnitSettings::setInputCallback(const void* data, UInt32 size, bool running) {
    const auto callback = property::readIn<AURenderCallbackStruct>(size, data);
    if (!callback) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
    if (running) {
        return kAudioUnitErr_CannotDoInCurrentContext;
    }
    callback_ = *callback;
    return kAudioHardwareNoError;
}

OSStatus CaptureUnitSettings::getStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                                              void* data, UInt32& ioSize,
                                              const CaptureDeviceLookup& lookup) const {
    if (element != kInputElement) {
        return kAudioUnitErr_InvalidElement;
    }
    if (scope != kAudioUnitScope_Input && scope != kAudioUnitScope_Output) {
        return kAudioUnitErr_InvalidScope;
    }
    if (scope == kAudioUnitScope_Output && clientFormat_) {
        return property::copyOut(*clientFormat_, ioSize, data);
    }
    const auto device = lookup(deviceID_);
    return device ? property::copyOut(floatStreamFormat(device->sampleRate, device->channels),
                                      ioSize, data)
                  : kAudioUnitErr_NoConnection;
}

}  // namespace platform
