// Fault injection for the simulated audio system: make chosen platform calls return a chosen
// status, once, a few times or always.
//
// Threads: add, clear and check may be called from any thread. Render faults are kept apart in
// one lock-free slot because AudioUnitRender runs on real-time IO threads.
#ifndef CORVESSA_PLATFORM_SIMULATED_FAULTS_H
#define CORVESSA_PLATFORM_SIMULATED_FAULTS_H

#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/CoreAudioTypes.h"

namespace platform {

/// The platform calls a fault can target.
enum class AudioCall {
    objectGetPropertyDataSize,
    objectGetPropertyData,
    objectSetPropertyData,
    componentFindNext,  ///< a match makes the search find nothing; the status is unused
    componentInstanceNew,
    componentInstanceDispose,
    unitSetProperty,
    unitGetProperty,
    unitInitialize,
    unitUninitialize,
    outputUnitStart,
    outputUnitStop,
    unitRender,
    createProcessTap,  ///< a status of 0 makes the call succeed without creating a tap
    destroyProcessTap,
    createAggregateDevice,  ///< a status of 0 makes the call succeed without creating a device
    destroyAggregateDevice,
    deviceCreateIOProcID,  ///< a status of 0 makes the call succeed without registering
    deviceDestroyIOProcID,
    deviceStart,
    deviceStop,
};

/// One injected fault: the next `count` matching calls return `status` and do nothing else.
struct Fault {
    /// `count` value meaning "every matching call from now on".
    static constexpr UInt32 kEveryCall = std::numeric_limits<UInt32>::max();

    AudioCall call;
    OSStatus status = -50;
    /// AudioObject* and tap calls only: the object (tap or device) that fails (none: any object).
    std::optional<AudioObjectID> object{};
    /// The property selector (AudioObject* calls) or unit property id (AudioUnit*Property) that
    /// fails (none: any).
    std::optional<UInt32> selector{};
    UInt32 count = kEveryCall;
};

/// The armed faults of one simulated system.
class FaultTable {
  public:
    /// Arms a fault; a render fault replaces any armed render fault.
    void add(const Fault& fault);
    /// Disarms every fault.
    void clear();
    /// Consumes one use of the first armed fault matching the call, returning its status.
    std::optional<OSStatus> check(AudioCall call, AudioObjectID object = 0,
                                  std::optional<UInt32> selector = std::nullopt);
    /// check() for AudioUnitRender: lock-free and allocation-free.
    std::optional<OSStatus> checkRender() noexcept;

  private:
    std::mutex mutex_;  // guards faults_
    std::vector<Fault> faults_;
    /// Render fault packed as (remaining uses << 32) | status; 0 uses = disarmed.
    std::atomic<std::uint64_t> render_{0};
};

}  // namespace platform

#endif
