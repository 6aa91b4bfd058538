// The configuration half of a capture unit, common to every backend: the properties a caller sets
// before Initialize (EnableIO, CurrentDevice, StreamFormat, MaximumFramesPerSlice,
// SetInputCallback), their validation and status codes, and their reads.
//
// A backend owns one of these per unit and tells it, per call, whether the unit is initialized or
// running and how to look a device up; the setters refuse with kAudioUnitErr_Initialized (the
// callback: kAudioUnitErr_CannotDoInCurrentContext while running) when the value is fixed.
//
// Threads: one control thread at a time, as the unit's configuration calls.
#ifndef CORVESSA_PLATFORM_CAPTURE_UNIT_SETTINGS_H
#define CORVESSA_PLATFORM_CAPTURE_UNIT_SETTINGS_H

#include <functional>
#include <optional>

#include "platform/AudioDeviceProvider.h"
#include "platform/AudioUnit.h"

namespace platform {

/// The device side of a capture unit's stream for `id`: none when no such device exists.
using CaptureDeviceLookup = std::function<std::optional<DeviceInputFormat>(AudioObjectID)>;

/// 32-bit float interleaved linear PCM at `rate` Hz with `channels` channels.
AudioStreamBasicDescription floatStreamFormat(Float64 rate, UInt32 channels);

/// The settable properties of one capture unit.
class CaptureUnitSettings {
  public:
    /// Default MaximumFramesPerSlice, in frames.
    static constexpr UInt32 kDefaultMaximumFrames = 4096;
    /// Element 1 is the input (device) side, element 0 the output side.
    static constexpr AudioUnitElement kInputElement = 1;
    static constexpr AudioUnitElement kOutputElement = 0;

    /// Settings bound to `device` until CurrentDevice is set.
    explicit CaptureUnitSettings(AudioObjectID device) noexcept : deviceID_(device) {}

    /// See AudioUnitSetProperty. `initialized` and `running` describe the unit now.
    OSStatus set(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                 const void* data, UInt32 size, bool initialized, bool running,
                 const CaptureDeviceLookup& lookup);
    /// See AudioUnitGetProperty.
    OSStatus get(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, void* data,
                 UInt32& ioSize, const CaptureDeviceLookup& lookup) const;

    bool inputEnabled() const noexcept { return inputEnabled_; }
    AudioObjectID deviceID() const noexcept { return deviceID_; }
    UInt32 maximumFrames() const noexcept { return maximumFrames_; }
    const AURenderCallbackStruct& callback() const noexcept { return callback_; }
    /// The client format, or the device's own (32-bit float) when none was set.
    AudioStreamBasicDescription clientFormat(const DeviceInputFormat& device) const noexcept;

  private:
    OSStatus setEnableIO(AudioUnitScope scope, AudioUnitElement element, const void* data,
                         UInt32 size, bool initialized);
    OSStatus setCurrentDevice(const void* data, UInt32 size, bool initialized,
                              const CaptureDeviceLookup& lookup);
    OSStatus setClientFormat(AudioUnitScope scope, AudioUnitElement element, const void* data,
                             UInt32 size, bool initialized);
    OSStatus setMaximumFrames(const void* data, UInt32 size, bool initialized);
    OSStatus setInputCallback(const void* data, UInt32 size, bool running);
    OSStatus getEnableIO(AudioUnitScope scope, AudioUnitElement element, void* data,
                         UInt32& ioSize) const;
    OSStatus getStreamFormat(AudioUnitScope scope, AudioUnitElement element, void* data,
                             UInt32& ioSize, const CaptureDeviceLookup& lookup) const;

    bool inputEnabled_ = false;
    bool outputEnabled_ = true;
    AudioObjectID deviceID_;
    std::optional<AudioStreamBasicDescription> clientFormat_;
    UInt32 maximumFrames_ = kDefaultMaximumFrames;
    AURenderCallbackStruct callback_{nullptr, nullptr};
};

}  // namespace platform

#endif
