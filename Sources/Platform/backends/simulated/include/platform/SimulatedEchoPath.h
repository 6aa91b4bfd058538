// The acoustic echo path of the simulated system: a microphone that hears whatever the speaker
// bus plays, through a room, on top of its own source.
//
// The room is a pure delay and gain (the direct path), a tail of reflections at random delays
// after it whose amplitudes decay exponentially with their delay, and a noise floor of white
// noise. For every input frame the echo is read from the bus at the frame's own host time minus
// each reflection's delay, at the microphone's rate, so the echo lines up with what a process tap
// delivers for the same moment exactly as the room says.
//
// Threads: construction and property calls on control threads; the streams' read runs on the
// capture unit's IO thread and is real-time safe (no allocation, no lock).
#ifndef CORVESSA_PLATFORM_SIMULATED_ECHO_PATH_H
#define CORVESSA_PLATFORM_SIMULATED_ECHO_PATH_H

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/AudioDeviceProvider.h"
#include "platform/SimulatedDevice.h"
#include "platform/SimulatedSpeakerBus.h"

namespace platform {

class SimulatedAudioSystem;

/// The room between the speakers and the microphone.
struct RoomEcho {
    double delayMs = 30.0;           ///< direct path delay, ms
    float gain = 0.3f;               ///< direct path gain (linear)
    double tailMs = 120.0;           ///< the reflections lie up to this long after the direct path
    double tailDecayMs = 25.0;       ///< time constant of the tail's exponential decay, ms
    float tailLevel = 0.5f;          ///< tail amplitude at its start, relative to `gain`
    std::uint32_t reflections = 48;  ///< reflections making up the tail
    float noiseFloorRMS = 3e-4f;  ///< white noise added at the microphone (linear RMS, ~-70 dBFS)
    std::uint64_t seed = 1;       ///< makes the tail and the noise reproducible
};

/// One path from the speakers to the microphone.
struct Reflection {
    double delayFrames;  ///< delay in bus frames (48 kHz)
    float gain;          ///< linear
};

/// The room's paths: the direct path first, then the tail in the order drawn.
std::vector<Reflection> roomReflections(const RoomEcho& room);

/// A microphone that hears the bus through a room; every property is the wrapped device's.
class EchoingMicrophone final : public AudioDeviceProvider {
  public:
    /// `microphone` supplies the properties and the microphone's own signal.
    EchoingMicrophone(std::shared_ptr<AudioDeviceProvider> microphone,
                      std::shared_ptr<const SimulatedSpeakerBus> bus, const RoomEcho& room);

    /// The room's paths.
    const std::vector<Reflection>& reflections() const noexcept { return reflections_; }

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
    /// The wrapped device's stream with the echo and the noise floor added.
    std::expected<std::unique_ptr<DeviceInputStream>, OSStatus> startInput() override;

  private:
    const std::shared_ptr<AudioDeviceProvider> microphone_;
    const std::shared_ptr<const SimulatedSpeakerBus> bus_;
    const std::vector<Reflection> reflections_;
    const float noiseFloorRMS_;
    const std::uint64_t seed_;
};

/// Adds a microphone described by `config` to `system` that hears the system's speaker bus
/// through `room`; returns the underlying device (to change its own source), or null when the
/// id is taken or reserved.
std::shared_ptr<SimulatedDevice> addMicrophoneWithEcho(SimulatedAudioSystem& system,
                                                       SimulatedDeviceConfig config,
                                                       const RoomEcho& room);

}  // namespace platform

#endif
