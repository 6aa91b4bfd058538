// Simulated taps and aggregate devices: identity, properties and bus readers.
#include "SimulatedTapObjects.h"

#include <algorithm>
#include <span>

#include "PropertyData.h"
#include "platform/HostTime.h"

namespace platform {
namespace {

/// Reads a tap's stretch of the bus: silence once the tap is gone.
class TapStream final : public DeviceInputStream {
  public:
    TapStream(std::shared_ptr<const SimulatedSpeakerBus> bus,
              std::shared_ptr<const std::atomic<bool>> alive, Float64 rate, UInt32 channels)
        : bus_(std::move(bus)), alive_(std::move(alive)), rate_(rate), channels_(channels) {}

    void read(float* interleaved, UInt32 frames, const AudioTimeStamp& time) noexcept override {
        const std::span<float> out(interleaved, static_cast<std::size_t>(frames) * channels_);
        std::fill(out.begin(), out.end(), 0.0f);
        if (!alive_->load(std::memory_order_acquire)) {
            return;
        }
        const double start =
            SimulatedSpeakerBus::positionAt(AudioConvertHostTimeToNanos(time.mHostTime));
        bus_->mixInto(out, channels_, start, SimulatedSpeakerBus::kSampleRate / rate_, 1.0f);
    }

  private:
    std::shared_ptr<const SimulatedSpeakerBus> bus_;
    std::shared_ptr<const std::atomic<bool>> alive_;
    Float64 rate_;  // Hz
    UInt32 channels_;
};

bool isGlobalMain(const AudioObjectPropertyAddress& address) {
    return address.mScope == kAudioObjectPropertyScopeGlobal &&
           address.mElement == kAudioObjectPropertyElementMain;
}

/// Size of a property value of the kinds these objects answer.
OSStatus valueSize(bool has, std::size_t size, UInt32& outSize) {
    if (!has) {
        return kAudioHardwareUnknownPropertyError;
    }
    outSize = static_cast<UInt32>(size);
    return kAudioHardwareNoError;
}

}  // namespace

SimulatedTap::SimulatedTap(TapDescription description, AudioFormat format,
                           std::shared_ptr<const SimulatedSpeakerBus> bus)
    : description_(std::move(description)),
      uid_(makeUpperCaseUUID()),
      format_(format),
      bus_(std::move(bus)),
      alive_(std::make_shared<std::atomic<bool>>(true)) {}

bool SimulatedTap::hasProperty(const AudioObjectPropertyAddress& address) const noexcept {
    const AudioObjectPropertySelector selector = address.mSelector;
    return isGlobalMain(address) &&
           (selector == kAudioTapPropertyUID || selector == kAudioTapPropertyFormat ||
            selector == kAudioObjectPropertyName);
}

OSStatus SimulatedTap::getPropertyDataSize(const AudioObjectPropertyAddress& address, UInt32,
                                           const void*, UInt32& outSize) const noexcept {
    const bool isFormat = address.mSelector == kAudioTapPropertyFormat;
    return valueSize(hasProperty(address),
                     isFormat ? sizeof(AudioStreamBasicDescription) : sizeof(CFStringRef), outSize);
}

OSStatus SimulatedTap::getPropertyData(const AudioObjectPropertyAddress& address, UInt32,
                                       const void*, UInt32& ioSize, void* outData) const noexcept {
    if (!hasProperty(address)) {
        return kAudioHardwareUnknownPropertyError;
    }
    switch (address.mSelector) {
        case kAudioTapPropertyUID:
            return property::copyOutString(uid_, ioSize, outData);
        case kAudioTapPropertyFormat:
            return property::copyOut(format_.streamDescription(), ioSize, outData);
        default:
            return property::copyOutString(description_.name, ioSize, outData);
    }
}

OSStatus SimulatedTap::setPropertyData(const AudioObjectPropertyAddress& address, UInt32,
                                       const void*, UInt32, const void*) noexcept {
    return hasProperty(address) ? kAudioHardwareIllegalOperationError
                                : kAudioHardwareUnknownPropertyError;
}

DeviceInputFormat SimulatedTap::inputFormat() const noexcept {
    return {format_.sampleRate(), format_.channelCount()};
}

UInt32 SimulatedTap::ioBufferFrameSize() const noexcept {
    return 0;  // a tap has no IO cycle of its own; its aggregate device sets the pace
}

std::expected<std::unique_ptr<DeviceInputStream>, OSStatus> SimulatedTap::startInput() {
    return std::make_unique<TapStream>(bus_, alive_, format_.sampleRate(), format_.channelCount());
}

SimulatedAggregateDevice::SimulatedAggregateDevice(AggregateDeviceDescription description,
                                                   std::shared_ptr<SimulatedTap> tap,
                                                   UInt32 bufferFrameSize)
    : description_(std::move(description)),
      tap_(std::move(tap)),
      bufferFrameSize_(bufferFrameSize) {}

bool SimulatedAggregateDevice::hasProperty(
    const AudioObjectPropertyAddress& address) const noexcept {
    switch (address.mSelector) {
        case kAudioDevicePropertyDeviceUID:
        case kAudioObjectPropertyName:
        case kAudioDevicePropertyNominalSampleRate:
        case kAudioDevicePropertyBufferFrameSize:
            return address.mElement == kAudioObjectPropertyElementMain;
        case kAudioDevicePropertyStreamConfiguration:
            return address.mScope == kAudioObjectPropertyScopeInput ||
                   address.mScope == kAudioObjectPropertyScopeOutput;
        default:
            return false;
    }
}

OSStatus SimulatedAggregateDevice::getPropertyDataSize(const AudioObjectPropertyAddress& address,
                                                       UInt32, const void*,
                                                       UInt32& outSize) const noexcept {
    std::size_t size = sizeof(CFStringRef);
    if (address.mSelector == kAudioDevicePropertyNominalSampleRate) {
        size = sizeof(Float64);
    } else if (address.mSelector == kAudioDevicePropertyBufferFrameSize) {
        size = sizeof(UInt32);
    } else if (address.mSelector == kAudioDevicePropertyStreamConfiguration) {
        size = sizeof(AudioBufferList);
    }
    return valueSize(hasProperty(address), size, outSize);
}

OSStatus SimulatedAggregateDevice::getPropertyData(const AudioObjectPropertyAddress& address,
                                                   UInt32, const void*, UInt32& ioSize,
                                                   void* outData) const noexcept {
    if (!hasProperty(address)) {
        return kAudioHardwareUnknownPropertyError;
    }
    switch (address.mSelector) {
        case kAudioDevicePropertyDeviceUID:
            return property::copyOutString(description_.uid, ioSize, outData);
        case kAudioObjectPropertyName:
            return property::copyOutString(description_.name, ioSize, outData);
        case kAudioDevicePropertyNominalSampleRate:
            return property::copyOut(format().sampleRate(), ioSize, outData);
        case kAudioDevicePropertyBufferFrameSize:
            return property::copyOut(bufferFrameSize_, ioSize, outData);
        default: {
            const bool input = address.mScope == kAudioObjectPropertyScopeInput;
            const AudioBufferList list{1, {{input ? format().channelCount() : 0, 0, nullptr}}};
            return property::copyOut(list, ioSize, outData);
        }
    }
}

OSStatus SimulatedAggregateDevice::setPropertyData(const AudioObjectPropertyAddress& address,
                                                   UInt32, const void*, UInt32,
                                                   const void*) noexcept {
    return hasProperty(address) ? kAudioHardwareIllegalOperationError
                                : kAudioHardwareUnknownPropertyError;
}

DeviceInputFormat SimulatedAggregateDevice::inputFormat() const noexcept {
    return tap_->inputFormat();
}

std::expected<std::unique_ptr<DeviceInputStream>, OSStatus> SimulatedAggregateDevice::startInput() {
    return tap_->startInput();
}

}  // namespace platform
