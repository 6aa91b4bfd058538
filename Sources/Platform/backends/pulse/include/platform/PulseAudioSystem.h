// The real audio system on Linux: a PulseAudio server (or PipeWire's pulse server) through
// libpulse.
//
// Devices: the server's sources except monitors (input devices) and its sinks (output devices).
// A device's UID is the server's name for it, its name the server's description, its channel
// count and nominal rate those of its sample spec. Object ids are handed out as devices are first
// seen and never reused for another device while the system lives. The device list and the
// defaults follow the server: every read of the system object asks the server afresh, and change
// events keep the per-device answers current in between. Writing the default input (output)
// device sets the server's default source (sink).
//
// Components: the capture unit (platform/AudioUnit.h) records the bound source; process taps and
// aggregate devices (platform/AudioTap.h) record the default sink's monitor; the system output
// (platform/SystemOutput.h) plays into the default sink.
//
// A server that goes away leaves an empty system: no devices, nothing delivered; no call waits
// longer than a bounded time for a server that has stopped answering.
//
// Threads: every call may come from any control thread.
#ifndef CORVESSA_PLATFORM_PULSE_AUDIO_SYSTEM_H
#define CORVESSA_PLATFORM_PULSE_AUDIO_SYSTEM_H

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/AudioSystem.h"

namespace platform {

class PulseConnection;
class PulseDeviceTable;
class PulseCaptureUnit;
class PulseTaps;
class PulseSystemOutput;

/// An audio system backed by a PulseAudio-compatible sound server.
class PulseAudioSystem final : public AudioSystem,
                               public std::enable_shared_from_this<PulseAudioSystem> {
  public:
    /// Connects to the server libpulse finds (PULSE_SERVER, the user's runtime folder, ...);
    /// null when none answers within `timeout`.
    static std::shared_ptr<PulseAudioSystem> connect(
        std::chrono::milliseconds timeout = std::chrono::milliseconds(1500));
    ~PulseAudioSystem() override;

    bool hasProperty(AudioObjectID object,
                     const AudioObjectPropertyAddress& address) noexcept override;
    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 UInt32 qualifierSize, const void* qualifier,
                                 UInt32& outSize) noexcept override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             UInt32 qualifierSize, const void* qualifier, UInt32& ioSize,
                             void* outData) noexcept override;
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             UInt32 qualifierSize, const void* qualifier, UInt32 size,
                             const void* data) noexcept override;
    AudioComponent findNextComponent(
        AudioComponent after, const AudioComponentDescription& description) noexcept override;
    OSStatus newInstance(AudioComponent component,
                         AudioComponentInstance& outInstance) noexcept override;
    ProcessTapBackend* processTaps() noexcept override;
    SystemOutputBackend* systemOutput() noexcept override;

    // For this backend's own components.
    /// The server connection.
    const std::shared_ptr<PulseConnection>& connection() const noexcept { return connection_; }
    /// The server's devices.
    PulseDeviceTable& devices() const noexcept { return *devices_; }
    /// Registers a started unit, so that buffer-size writes on its device reach it.
    void registerRunningUnit(PulseCaptureUnit* unit);
    /// Unregisters a unit; once this returns no buffer-size write reaches it.
    void unregisterRunningUnit(PulseCaptureUnit* unit);

    struct Token {};  // construction goes through connect()
    PulseAudioSystem(Token, std::shared_ptr<PulseConnection> connection);

  private:
    bool systemHasProperty(const AudioObjectPropertyAddress& address) const noexcept;
    OSStatus getSystemProperty(const AudioObjectPropertyAddress& address, UInt32& ioSize,
                               void* outData);
    OSStatus setDefaultDevice(const AudioObjectPropertyAddress& address, UInt32 size,
                              const void* data);
    OSStatus setBufferFrameSize(AudioObjectID device, UInt32 size, const void* data);

    const std::shared_ptr<PulseConnection> connection_;
    const std::unique_ptr<PulseDeviceTable> devices_;
    const std::unique_ptr<PulseTaps> taps_;
    const std::unique_ptr<PulseSystemOutput> output_;
    OpaqueAudioComponent captureComponent_;
    std::mutex unitsMutex_;  // guards runningUnits_
    std::vector<PulseCaptureUnit*> runningUnits_;
};

}  // namespace platform

#endif
