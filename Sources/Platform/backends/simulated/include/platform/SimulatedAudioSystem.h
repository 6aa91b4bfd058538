// The simulated audio system: an in-process, deterministic, scriptable backend.
//
// It lists the devices a test adds (built-in SimulatedDevices or any AudioDeviceProvider) in the
// order they were added, keeps the default input and output, offers one capture-unit component
// (type 'auou', subtype 'ahal', manufacturer 'appl') and runs each started unit's input callback on
// a thread of its own, pumped by the test or paced in real time (platform/SimulatedIOClock.h).
// Every platform call can be made to fail (platform/SimulatedFaults.h). Time stamps come from the
// host clock of platform/HostClock.h, so an installed ManualHostClock makes them reproducible.
//
// System object properties (main element, global scope):
//   'dev#'  every device id (UInt32 list), in the order added
//   'dIn '  default input device id (UInt32), settable to a device with input channels
//   'dOut'  default output device id (UInt32), settable to a device with output channels
// No default is 0 (kAudioObjectUnknown), read without error.
//
// Threads: every method is thread-safe. pump() blocks until the cycles have run on the units'
// own threads; it is never called from an input callback.
#ifndef CORVESSA_PLATFORM_SIMULATED_AUDIO_SYSTEM_H
#define CORVESSA_PLATFORM_SIMULATED_AUDIO_SYSTEM_H

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/AudioDeviceProvider.h"
#include "platform/AudioSystem.h"
#include "platform/SimulatedDevice.h"
#include "platform/SimulatedFaults.h"
#include "platform/SimulatedIOClock.h"
#include "platform/SimulatedSpeakerBus.h"
#include "platform/SimulatedTapHost.h"

namespace platform {

class SimulatedIOThread;

/// In-process audio system with scripted devices, IO timing and faults.
class SimulatedAudioSystem final : public AudioSystem,
                                   public std::enable_shared_from_this<SimulatedAudioSystem> {
  public:
    /// A new system with no devices, no defaults, pump-mode IO and no faults.
    static std::shared_ptr<SimulatedAudioSystem> create();

    /// Adds a built-in device; null when its id is 0, 1 or already taken.
    std::shared_ptr<SimulatedDevice> addDevice(SimulatedDeviceConfig config);
    /// Adds a device answered by `provider` under `id`; false when the id is 0, 1 or taken.
    bool addDevice(AudioObjectID id, std::shared_ptr<AudioDeviceProvider> provider);
    /// Removes a device (clearing a default that named it); running units keep their stream.
    bool removeDevice(AudioObjectID id);
    /// The provider listed under `id`, or null.
    std::shared_ptr<AudioDeviceProvider> device(AudioObjectID id) const;

    /// Sets the default input without checks (0: none; a stale id is allowed for tests).
    void setDefaultInputDevice(AudioObjectID id);
    /// Sets the default output without checks (0: none).
    void setDefaultOutputDevice(AudioObjectID id);
    /// The current default input (0: none).
    AudioObjectID defaultInputDevice() const;

    /// Arms a fault (see FaultTable).
    void injectFault(const Fault& fault);
    /// Disarms every fault.
    void clearFaults();
    /// The armed faults; units consult them on every call.
    FaultTable& faults() noexcept { return faults_; }

    /// Whether input time stamps carry the host-time-valid flag (default true).
    void setHostTimeValid(bool valid) noexcept;
    /// See setHostTimeValid.
    bool hostTimeValid() const noexcept;
    /// Timing for units started from now on.
    void setIOClock(SimulatedIOClock clock);
    /// The timing units started now get.
    SimulatedIOClock ioClock() const;

    /// Pump mode: runs the requested cycles on every matching started unit, one unit after the
    /// other in start order; returns the number of units that ran all of them.
    UInt32 pump(const PumpRequest& request);
    /// Number of started units (optionally only those bound to `device`).
    UInt32 runningUnitCount(std::optional<AudioObjectID> device = std::nullopt) const;

    /// Everything this system's output plays; the speech output and tests play into it.
    const std::shared_ptr<SimulatedSpeakerBus>& speakerBus() const noexcept { return speakerBus_; }
    /// This system's process taps and aggregate devices, for tests to configure and inspect.
    SimulatedTapHost& tapHost() noexcept { return *taps_; }

    /// Called by a unit when its IO thread starts and stops.
    void registerRunningUnit(AudioObjectID device, std::shared_ptr<SimulatedIOThread> thread);
    /// See registerRunningUnit.
    void unregisterRunningUnit(const SimulatedIOThread* thread);

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
    /// The tap host, or null while it is set unsupported.
    ProcessTapBackend* processTaps() noexcept override;
    /// The speaker bus.
    SystemOutputBackend* systemOutput() noexcept override;

    /// Use create(); public only for std::make_shared.
    SimulatedAudioSystem();

  private:
    struct RunningUnit {
        AudioObjectID device;
        std::shared_ptr<SimulatedIOThread> thread;
    };

    bool systemHasProperty(const AudioObjectPropertyAddress& address) const noexcept;
    OSStatus getSystemProperty(const AudioObjectPropertyAddress& address, UInt32& ioSize,
                               void* outData) const noexcept;
    OSStatus setDefaultDevice(const AudioObjectPropertyAddress& address, UInt32 size,
                              const void* data) noexcept;
    std::vector<AudioObjectID> deviceIDs() const;
    std::shared_ptr<AudioDeviceProvider> anyObject(AudioObjectID id) const;
    std::vector<std::shared_ptr<SimulatedIOThread>> unitsToPump(const PumpRequest& request) const;

    OpaqueAudioComponent captureComponent_;
    FaultTable faults_;
    std::atomic<bool> hostTimeValid_{true};
    mutable std::mutex mutex_;  // guards everything below
    std::vector<std::pair<AudioObjectID, std::shared_ptr<AudioDeviceProvider>>> devices_;
    AudioObjectID defaultInput_ = kAudioObjectUnknown;
    AudioObjectID defaultOutput_ = kAudioObjectUnknown;
    SimulatedIOClock ioClock_;
    std::vector<RunningUnit> running_;
    // Declared last: the tap host stops its IO threads, which unregister from running_, first.
    std::shared_ptr<SimulatedSpeakerBus> speakerBus_ = std::make_shared<SimulatedSpeakerBus>();
    std::unique_ptr<SimulatedTapHost> taps_ =
        std::make_unique<SimulatedTapHost>(*this, speakerBus_);
};

}  // namespace platform

#endif
