// One device of a hosted plug-in, driven through the driver interface as the audio server
// drives it: start and stop IO, read its zero time stamps, run input IO cycles.
//
// Threads: `startIO`/`stopIO` on a control thread; `zeroTimeStamp` and `readInput` on the one IO
// thread of the device. `readInput` allocates nothing.
#ifndef CORVESSA_AUDIOSERVER_HOSTED_DEVICE_H
#define CORVESSA_AUDIOSERVER_HOSTED_DEVICE_H

#include <expected>
#include <span>

#include "platform/AudioServerPlugIn.h"

namespace audioserver {

/// A device's zero time stamp: sample time, the host ticks it happened at, timeline seed.
struct ZeroTimeStamp {
    Float64 sampleTime;
    UInt64 hostTime;
    UInt64 seed;
    bool operator==(const ZeroTimeStamp&) const = default;
};

/// Handle on one device and its input stream inside a loaded plug-in (does not own them).
class HostedDevice {
  public:
    HostedDevice(AudioServerPlugInDriverRef driver, AudioObjectID device,
                 AudioObjectID inputStream) noexcept
        : driver_(driver), device_(device), inputStream_(inputStream) {}

    AudioObjectID id() const noexcept { return device_; }
    AudioObjectID inputStream() const noexcept { return inputStream_; }
    AudioServerPlugInDriverRef driver() const noexcept { return driver_; }

    /// StartIO for `clientID`.
    OSStatus startIO(UInt32 clientID = 0) const noexcept;
    /// StopIO for `clientID`.
    OSStatus stopIO(UInt32 clientID = 0) const noexcept;
    /// GetZeroTimeStamp.
    std::expected<ZeroTimeStamp, OSStatus> zeroTimeStamp(UInt32 clientID = 0) const noexcept;
    /// Whether the device performs the read-input operation (WillDoIOOperation).
    std::expected<bool, OSStatus> willReadInput(UInt32 clientID = 0) const noexcept;
    /// One read-input cycle of out.size() frames: Begin, Do and End IO operation.
    OSStatus readInput(std::span<Float32> out, const AudioServerPlugInIOCycleInfo& cycle,
                       UInt32 clientID = 0) const noexcept;
    /// One read-input cycle with a cycle description made up from the frame count.
    OSStatus readInput(std::span<Float32> out) const noexcept;

  private:
    AudioServerPlugInDriverRef driver_;
    AudioObjectID device_;
    AudioObjectID inputStream_;
};

}  // namespace audioserver

#endif
