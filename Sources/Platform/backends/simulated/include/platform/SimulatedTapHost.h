// Process taps and aggregate devices of the simulated audio system.
//
// A tap hears the system's speaker bus (platform/SimulatedSpeakerBus.h) and answers the tap
// properties 'tuid' (a fresh upper-case UUID string) and 'tfmt' (32-bit float at the configured
// rate and layout, 2 channels for a stereo tap, 1 for a mono one) plus 'lnam'. An aggregate device
// is built from taps only and presents its first tap; it answers 'uid ', 'lnam', 'nsrt', 'fsiz'
// and 'slay' (input scope). Its UID must be new among the host's aggregate devices and each tap
// entry must name an existing tap, otherwise creation fails with
// kAudioHardwareIllegalOperationError. Taps and aggregate devices get object ids from 0x7A000000
// upwards (never a listed device's id) and are not part of the system's device list.
//
// Each started IO procedure runs IO cycles on a thread of its own, pumped or paced like capture
// units (SimulatedAudioSystem::pump with the aggregate device's id reaches them). A cycle reads
// the tap's stretch of the bus at the cycle's host time, copies it into a new buffer and posts the
// IO block to the procedure's queue; the time stamps carry sample and host time, the host time
// marked valid as SimulatedAudioSystem::hostTimeValid says. Several procedures, on one or several
// aggregate devices, run at once. Every tap call can be made to fail through the system's fault
// table (AudioCall::createProcessTap and the rest; the object is the tap or device id).
//
// Threads: every method is thread-safe. Stop, destroy and a racing start are serialised: once a
// stop or destroy has returned, the procedures it covered run no cycle and a later start of a
// destroyed procedure fails, so nothing keeps running behind the caller's back.
#ifndef CORVESSA_PLATFORM_SIMULATED_TAP_HOST_H
#define CORVESSA_PLATFORM_SIMULATED_TAP_HOST_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/AudioDeviceProvider.h"
#include "platform/AudioTap.h"
#include "platform/SimulatedFaults.h"

namespace platform {

class SimulatedAudioSystem;
class SimulatedSpeakerBus;
class SimulatedTap;
class SimulatedAggregateDevice;

/// The format taps created from now on deliver.
struct SimulatedTapFormat {
    Float64 sampleRate = 48'000.0;  ///< Hz; the bus is read at this rate by interpolation
    UInt32 channels = 0;            ///< 0: as the description says (2 stereo, 1 mono)
    bool interleaved = true;        ///< false: one buffer per channel
};

/// The simulated system's taps, aggregate devices and IO procedures.
class SimulatedTapHost final : public ProcessTapBackend {
  public:
    /// IO cycle length of new aggregate devices by default, in frames.
    static constexpr UInt32 kDefaultBufferFrameSize = 512;

    /// Taps of `system`'s speaker bus `bus`; `system` owns this host and outlives it.
    SimulatedTapHost(SimulatedAudioSystem& system, std::shared_ptr<SimulatedSpeakerBus> bus);
    /// Stops every IO procedure.
    ~SimulatedTapHost() override;
    SimulatedTapHost(const SimulatedTapHost&) = delete;
    SimulatedTapHost& operator=(const SimulatedTapHost&) = delete;

    /// Whether the system offers taps at all (default true); false stands for an operating
    /// system too old for them.
    void setSupported(bool supported) noexcept;
    /// See setSupported.
    bool supported() const noexcept;
    /// Format of taps created from now on.
    void setTapFormat(SimulatedTapFormat format);
    /// IO cycle length, in frames, of aggregate devices created from now on (at least 1).
    void setBufferFrameSize(UInt32 frames);

    /// Taps that exist now.
    std::size_t tapCount() const;
    /// Aggregate devices that exist now.
    std::size_t aggregateDeviceCount() const;
    /// IO procedures registered now.
    std::size_t ioProcCount() const;
    /// IO procedures started now.
    std::size_t runningIOProcCount() const;
    /// The description a tap was created with.
    std::optional<TapDescription> tapDescription(AudioObjectID tapID) const;
    /// The description an aggregate device was created with.
    std::optional<AggregateDeviceDescription> aggregateDescription(AudioObjectID deviceID) const;
    /// The tap or aggregate device answering `id`'s properties, or null.
    std::shared_ptr<AudioDeviceProvider> object(AudioObjectID id) const;

    OSStatus createProcessTap(const TapDescription& description,
                              AudioObjectID& outTapID) noexcept override;
    OSStatus destroyProcessTap(AudioObjectID tapID) noexcept override;
    OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                   AudioObjectID& outDeviceID) noexcept override;
    OSStatus destroyAggregateDevice(AudioObjectID deviceID) noexcept override;
    OSStatus createIOProcID(AudioObjectID deviceID, std::shared_ptr<SerialQueue> queue,
                            AudioDeviceIOBlock block,
                            AudioDeviceIOProcID& outIOProcID) noexcept override;
    OSStatus destroyIOProcID(AudioObjectID deviceID, AudioDeviceIOProcID proc) noexcept override;
    OSStatus startDevice(AudioObjectID deviceID, AudioDeviceIOProcID proc) noexcept override;
    OSStatus stopDevice(AudioObjectID deviceID, AudioDeviceIOProcID proc) noexcept override;

  private:
    using ProcList = std::vector<std::unique_ptr<OpaqueAudioDeviceIOProc>>;

    std::optional<OSStatus> fault(AudioCall call, AudioObjectID object) const;
    AudioObjectID allocateID();
    OSStatus addTap(const TapDescription& description, AudioObjectID& outTapID);
    OSStatus addAggregate(const AggregateDeviceDescription& description,
                          AudioObjectID& outDeviceID);
    bool aggregateUIDTaken(const std::string& uid) const;
    ProcList::iterator findProc(AudioObjectID deviceID, AudioDeviceIOProcID proc);
    OSStatus startProc(OpaqueAudioDeviceIOProc& proc);
    ProcList takeProcs(AudioObjectID deviceID);

    SimulatedAudioSystem& system_;
    const std::shared_ptr<SimulatedSpeakerBus> bus_;
    std::atomic<bool> supported_{true};
    mutable std::mutex mutex_;  // guards everything below
    SimulatedTapFormat tapFormat_;
    UInt32 bufferFrameSize_ = kDefaultBufferFrameSize;
    AudioObjectID nextID_;
    std::map<AudioObjectID, std::shared_ptr<SimulatedTap>> taps_;
    std::map<AudioObjectID, std::shared_ptr<SimulatedAggregateDevice>> aggregates_;
    ProcList procs_;
};

}  // namespace platform

#endif
