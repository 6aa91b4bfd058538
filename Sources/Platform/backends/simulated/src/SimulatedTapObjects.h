// The objects behind the simulated system's taps: a tap, an aggregate device of taps, and the
// stream that reads a tap's stretch of the speaker bus.
//
// Threads: property calls run on control threads; both objects are immutable after creation
// except for the tap's alive flag. TapStream::read runs on an IO thread and is real-time safe.
#ifndef CORVESSA_PLATFORM_SIMULATED_TAP_OBJECTS_H
#define CORVESSA_PLATFORM_SIMULATED_TAP_OBJECTS_H

#include <atomic>
#include <memory>
#include <string>

#include "UpperCaseUUID.h"
#include "platform/AudioDeviceProvider.h"
#include "platform/AudioFormat.h"
#include "platform/AudioTap.h"
#include "platform/SimulatedSpeakerBus.h"

namespace platform {

/// One process tap: its description, UID and format; opens readers of the bus.
class SimulatedTap final : public AudioDeviceProvider {
  public:
    SimulatedTap(TapDescription description, AudioFormat format,
                 std::shared_ptr<const SimulatedSpeakerBus> bus);

    /// The description the tap was created with.
    const TapDescription& description() const noexcept { return description_; }
    /// The tap's UID.
    const std::string& uid() const noexcept { return uid_; }
    /// The format it delivers.
    const AudioFormat& format() const noexcept { return format_; }
    /// Silences every stream of this tap from now on (the tap was destroyed).
    void retire() noexcept { alive_->store(false, std::memory_order_release); }

    bool hasProperty(const AudioObjectPropertyAddress& address) const noexcept override;
    OSStatus getPropertyDataSize(const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                 const void* qualifier, UInt32& outSize) const noexcept override;
    OSStatus getPropertyData(const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                             const void* qualifier, UInt32& ioSize,
                             void* outData) const noexcept override;
    OSStatus setPropertyData(const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                             const void* qualifier, UInt32 size,
                             const void* data) noexcept override;
    DeviceInputFormat inputFormat() const noexcept override;
    UInt32 ioBufferFrameSize() const noexcept override;
    /// A reader of the bus in the tap's channel count (interleaved).
    std::expected<std::unique_ptr<DeviceInputStream>, OSStatus> startInput() override;

  private:
    const TapDescription description_;
    const std::string uid_;
    const AudioFormat format_;
    const std::shared_ptr<const SimulatedSpeakerBus> bus_;
    const std::shared_ptr<std::atomic<bool>> alive_;  // shared with the tap's streams
};

/// One aggregate device made of taps; it presents its first tap.
class SimulatedAggregateDevice final : public AudioDeviceProvider {
  public:
    SimulatedAggregateDevice(AggregateDeviceDescription description,
                             std::shared_ptr<SimulatedTap> tap, UInt32 bufferFrameSize);

    /// The description the device was created with.
    const AggregateDeviceDescription& description() const noexcept { return description_; }
    /// The format of the device's input (its tap's).
    const AudioFormat& format() const noexcept { return tap_->format(); }

    bool hasProperty(const AudioObjectPropertyAddress& address) const noexcept override;
    OSStatus getPropertyDataSize(const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                 const void* qualifier, UInt32& outSize) const noexcept override;
    OSStatus getPropertyData(const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                             const void* qualifier, UInt32& ioSize,
                             void* outData) const noexcept override;
    OSStatus setPropertyData(const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                             const void* qualifier, UInt32 size,
                             const void* data) noexcept override;
    DeviceInputFormat inputFormat() const noexcept override;
    UInt32 ioBufferFrameSize() const noexcept override { return bufferFrameSize_; }
    /// A reader of the tap (silent once the tap has been destroyed).
    std::expected<std::unique_ptr<DeviceInputStream>, OSStatus> startInput() override;

  private:
    const AggregateDeviceDescription description_;
    const std::shared_ptr<SimulatedTap> tap_;
    const UInt32 bufferFrameSize_;
};

}  // namespace platform

#endif
