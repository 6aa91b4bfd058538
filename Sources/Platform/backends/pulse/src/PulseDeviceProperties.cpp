// Source and sink properties.
#include "PulseDeviceProperties.h"

#include "PropertyData.h"

namespace platform::pulse {
namespace {

bool isSideScope(AudioObjectPropertyScope scope) {
    return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

/// The device's channels on `scope`'s side: a source records, a sink plays.
UInt32 channelsOn(const PulseDevice& device, AudioObjectPropertyScope scope) {
    const bool input = scope == kAudioObjectPropertyScopeInput;
    return input != device.isSink ? device.channels : 0;
}

}  // namespace

bool hasProperty(const PulseDevice&, const AudioObjectPropertyAddress& address) noexcept {
    switch (address.mSelector) {
        case kAudioDevicePropertyStreamConfiguration:
            return isSideScope(address.mScope);
        case kAudioDevicePropertyDeviceUID:
        case kAudioObjectPropertyName:
        case kAudioDevicePropertyNominalSampleRate:
        case kAudioDevicePropertyAvailableNominalSampleRates:
        case kAudioDevicePropertyBufferFrameSize:
        case kAudioDevicePropertyBufferFrameSizeRange:
        case kAudioDevicePropertyDeviceIsAlive:
            return true;
        default:
            return false;
    }
}

OSStatus getPropertyDataSize(const PulseDevice& device, const AudioObjectPropertyAddress& address,
                             UInt32& outSize) noexcept {
    if (!hasProperty(device, address)) {
        return kAudioHardwareUnknownPropertyError;
    }
    switch (address.mSelector) {
        case kAudioDevicePropertyDeviceUID:
        case kAudioObjectPropertyName:
            outSize = sizeof(CFStringRef);
            break;
        case kAudioDevicePropertyStreamConfiguration:
            outSize = sizeof(AudioBufferList);
            break;
        case kAudioDevicePropertyNominalSampleRate:
            outSize = sizeof(Float64);
            break;
        case kAudioDevicePropertyAvailableNominalSampleRates:
        case kAudioDevicePropertyBufferFrameSizeRange:
            outSize = sizeof(AudioValueRange);
            break;
        default:
            outSize = sizeof(UInt32);
            break;
    }
    return kAudioHardwareNoError;
}

OSStatus getPropertyData(const PulseDevice& device, const AudioObjectPropertyAddress& address,
                         UInt32& ioSize, void* outData) noexcept {
    using namespace property;
    if (!hasProperty(device, address)) {
        return kAudioHardwareUnknownPropertyError;
    }
    switch (address.mSelector) {
        case kAudioDevicePropertyDeviceUID:
            return copyOutString(device.name, ioSize, outData);
        case kAudioObjectPropertyName:
            return copyOutString(device.description, ioSize, outData);
        case kAudioDevicePropertyStreamConfiguration: {
            const AudioBufferList list{1, {{channelsOn(device, address.mScope), 0, nullptr}}};
            return copyOut(list, ioSize, outData);
        }
        case kAudioDevicePropertyNominalSampleRate:
            return copyOut(device.sampleRate, ioSize, outData);
        case kAudioDevicePropertyAvailableNominalSampleRates:
            return copyOut(AudioValueRange{device.sampleRate, device.sampleRate}, ioSize, outData);
        case kAudioDevicePropertyBufferFrameSize:
            return copyOut(device.bufferFrames, ioSize, outData);
        case kAudioDevicePropertyBufferFrameSizeRange:
            return copyOut(kBufferFrameRange, ioSize, outData);
        default:
            return copyOut(UInt32{1}, ioSize, outData);
    }
}

}  // namespace platform::pulse
