// A scripted device of the simulated audio system: chosen id, UID, name, channel counts, rates
// and buffer sizes, and a signal source for its input.
//
// Properties it answers (main element; scopes as noted, global otherwise):
//   'uid ', 'lnam'   strings (new CFStringRef, caller releases); absent when configured as none
//   'slay'           input or output scope: a one-buffer AudioBufferList with that side's channels
//                    (0 channels on a side the device does not have)
//   'nsrt'           nominal rate in Hz (Float64), settable to one of 'nsr#'
//   'nsr#'           available nominal rates (AudioValueRange list, one point range per rate)
//   'fsiz'           IO buffer size in frames (UInt32), settable within 'fsz#'
//   'fsz#'           buffer size range in frames (AudioValueRange)
//   'goin'           1 while any client runs IO (UInt32)
//   'livn'           1 (UInt32)
//
// Threads: every method is thread-safe; the IO-cycle reads are lock-free.
#ifndef CORVESSA_PLATFORM_SIMULATED_DEVICE_H
#define CORVESSA_PLATFORM_SIMULATED_DEVICE_H

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/AudioDeviceProvider.h"
#include "platform/SignalSource.h"

namespace platform {

/// Everything chosen about a simulated device.
struct SimulatedDeviceConfig {
    AudioObjectID id = 0;             ///< object id; neither 0 nor the system object (1)
    std::optional<std::string> uid;   ///< none: the device has no UID property
    std::optional<std::string> name;  ///< none: the device has no name property
    UInt32 inputChannels = 1;         ///< 0 for an output-only device
    UInt32 outputChannels = 0;
    Float64 nominalSampleRate = 48'000.0;                ///< Hz
    std::vector<Float64> availableSampleRates{};         ///< Hz; empty: only the nominal rate
    UInt32 bufferFrameSize = 512;                        ///< frames per IO cycle
    AudioValueRange bufferFrameSizeRange{16.0, 4096.0};  ///< frames
    std::shared_ptr<const SignalSource> source{};        ///< input signal; null: silence
};

/// The built-in device provider.
class SimulatedDevice final : public AudioDeviceProvider {
  public:
    explicit SimulatedDevice(SimulatedDeviceConfig config);

    /// The device's object id.
    AudioObjectID id() const noexcept { return config_.id; }
    /// Replaces the input signal for clients that start IO from now on.
    void setSource(std::shared_ptr<const SignalSource> source);
    /// Number of clients running IO now.
    UInt32 runningClients() const noexcept;

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
    std::expected<std::unique_ptr<DeviceInputStream>, OSStatus> startInput() override;

  private:
    class InputStream;

    AudioBufferList streamConfiguration(AudioObjectPropertyScope scope) const noexcept;
    OSStatus setNominalRate(UInt32 size, const void* data) noexcept;
    OSStatus setBufferFrameSize(UInt32 size, const void* data) noexcept;

    const SimulatedDeviceConfig config_;  // source_ and the atomics below hold what changes
    const std::vector<AudioValueRange> rateRanges_;  // Hz, one point range per available rate
    std::atomic<Float64> nominalRate_;
    std::atomic<UInt32> bufferFrameSize_;
    std::shared_ptr<std::atomic<UInt32>> running_;  // shared with open streams
    mutable std::mutex sourceMutex_;                // guards source_
    std::shared_ptr<const SignalSource> source_;
};

}  // namespace platform

#endif
