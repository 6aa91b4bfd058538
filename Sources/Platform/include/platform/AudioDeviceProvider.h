// The device-provider hook of the simulated audio system: an object that answers one device's
// properties and delivers its input, supplied by whoever adds the device.
//
// The simulated system lists a provider under the object id it was added with, forwards every
// property call on that id to it, and opens one input stream per started capture unit bound to
// it. SimulatedDevice is the built-in provider; an adapter can present any other device (a hosted
// plug-in device, for instance) the same way.
//
// Threads: property calls and startInput arrive on control threads, possibly concurrently.
// DeviceInputStream::read runs on the owning unit's real-time IO thread.
#ifndef CORVESSA_PLATFORM_AUDIO_DEVICE_PROVIDER_H
#define CORVESSA_PLATFORM_AUDIO_DEVICE_PROVIDER_H

#include <expected>
#include <memory>

#include "platform/CoreAudioTypes.h"

namespace platform {

/// The device side of a capture unit's stream: 32-bit float, interleaved.
struct DeviceInputFormat {
    Float64 sampleRate;  ///< frames per second
    UInt32 channels;     ///< channels per frame; 0 for a device without input
};

/// One client's input IO on a device; destroying it ends that client's IO.
class DeviceInputStream {
  public:
    virtual ~DeviceInputStream();
    /// Fills `frames` interleaved frames of the device's channel count into `interleaved`, the
    /// block that starts at `time`. Real-time safe; on failure the provider writes silence.
    virtual void read(float* interleaved, UInt32 frames, const AudioTimeStamp& time) noexcept = 0;
};

/// Answers one device's properties and opens its input streams.
class AudioDeviceProvider {
  public:
    virtual ~AudioDeviceProvider();

    /// True when the device has the property.
    virtual bool hasProperty(const AudioObjectPropertyAddress& address) const noexcept = 0;
    /// Size in bytes of the property's value.
    virtual OSStatus getPropertyDataSize(const AudioObjectPropertyAddress& address,
                                         UInt32 qualifierSize, const void* qualifier,
                                         UInt32& outSize) const noexcept = 0;
    /// Copies the property's value (`ioSize` bytes available in, bytes written out).
    virtual OSStatus getPropertyData(const AudioObjectPropertyAddress& address,
                                     UInt32 qualifierSize, const void* qualifier, UInt32& ioSize,
                                     void* outData) const noexcept = 0;
    /// Writes the property.
    virtual OSStatus setPropertyData(const AudioObjectPropertyAddress& address,
                                     UInt32 qualifierSize, const void* qualifier, UInt32 size,
                                     const void* data) noexcept = 0;

    /// The input side's format now.
    virtual DeviceInputFormat inputFormat() const noexcept = 0;
    /// Frames per IO cycle now (the device's buffer frame size); read every cycle, real-time safe.
    virtual UInt32 ioBufferFrameSize() const noexcept = 0;
    /// Starts IO for one client; the stream or the failing status.
    virtual std::expected<std::unique_ptr<DeviceInputStream>, OSStatus> startInput() = 0;
};

}  // namespace platform

#endif
