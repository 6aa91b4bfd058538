// Process taps and aggregate devices: capture of what the system plays, in the shape of the
// platform calls that tap the system output, wrap the tap in a private aggregate device and run
// an IO block on that device.
//
// Steps: describe the tap (TapDescription) and create it with AudioHardwareCreateProcessTap; read
// its UID ('tuid', a new CFStringRef the caller releases) and its stream format ('tfmt', a 40-byte
// AudioStreamBasicDescription) with AudioObjectGetPropertyData (global scope, main element);
// describe an aggregate device that lists the tap by UID and create it; register an IO block on
// the aggregate device with AudioDeviceCreateIOProcIDWithBlock and start it with AudioDeviceStart.
// Once per IO cycle the block runs on the given serial queue with the cycle's input (the tapped
// audio in the tap's format) and the input time stamp. AudioDeviceStop,
// AudioDeviceDestroyIOProcID, AudioHardwareDestroyAggregateDevice and
// AudioHardwareDestroyProcessTap undo the steps; destroying an aggregate device also stops and
// destroys its IO procedures.
//
// Every call goes to the installed audio system (platform/AudioSystem.h); a system without taps
// answers kAudioHardwareUnsupportedOperationError. The calls take C++ values (descriptions, a
// std::function block, a shared queue), so they have C++ linkage. They are noexcept and null-safe
// (a null description or out-pointer gives kAudio_ParamError) and run on control threads.
// AudioDeviceStop returns once no IO cycle of that procedure runs any more; blocks already queued
// may still run on the queue afterwards, so a caller that must see no more blocks drains the
// queue after stopping.
#ifndef CORVESSA_PLATFORM_AUDIO_TAP_H
#define CORVESSA_PLATFORM_AUDIO_TAP_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/AudioHardware.h"
#include "platform/CoreAudioTypes.h"

namespace platform {

class SerialQueue;

/// What the tapped processes still play on the speakers while tapped.
enum class TapMuteBehavior {
    unmuted,          ///< the audio keeps playing
    muted,            ///< the audio is silenced on the output while the tap exists
    mutedWhenTapped,  ///< silenced only while an IO procedure reads the tap
};

/// A description of a process tap: which processes' output, mixed to how many channels.
struct TapDescription {
    std::string name;                      ///< shown in the system's tools
    std::vector<AudioObjectID> processes;  ///< process objects excluded (or included)
    bool isExclusive = true;               ///< true: every process except `processes`
    bool isMono = false;                   ///< mixed to one channel instead of two
    bool isPrivate = false;                ///< visible to this process only
    TapMuteBehavior muteBehavior = TapMuteBehavior::unmuted;

    /// A stereo tap of every process's output except `excluded`.
    static TapDescription stereoGlobalTapButExcludeProcesses(std::vector<AudioObjectID> excluded);
};

/// One tap of an aggregate device (the dictionary with keys "uid" and "drift").
struct AggregateTapEntry {
    std::string uid;                 ///< "uid": the tap's UID
    bool driftCompensation = false;  ///< "drift": resample the tap to the device clock
};

/// An aggregate device (the dictionary of aggregate-device keys, named after each field).
struct AggregateDeviceDescription {
    std::string name;                     ///< "name"
    std::string uid;                      ///< "uid": unique among the system's devices
    bool isPrivate = false;               ///< "private": visible to this process only
    bool isStacked = false;               ///< "stacked": sub-devices play the same channels
    bool tapAutoStart = false;            ///< "tapautostart": taps run with the device
    std::vector<AggregateTapEntry> taps;  ///< "taps"
};

/// The IO block: the cycle's current time, input buffers and input time stamp, output buffers
/// (empty for an input-only device) and output time stamp. Runs on the queue it was registered
/// with; the buffers are valid only during the call.
using AudioDeviceIOBlock =
    std::function<void(const AudioTimeStamp* inNow, const AudioBufferList* inInputData,
                       const AudioTimeStamp* inInputTime, AudioBufferList* outOutputData,
                       const AudioTimeStamp* inOutputTime)>;

}  // namespace platform

/// Opaque record of one registered IO procedure.
struct OpaqueAudioDeviceIOProc;
/// Names an IO procedure registered on a device; null names none.
using AudioDeviceIOProcID = OpaqueAudioDeviceIOProc*;

// Tap properties (global scope, main element).
inline constexpr AudioObjectPropertySelector kAudioTapPropertyUID = platform::fourCC("tuid");
inline constexpr AudioObjectPropertySelector kAudioTapPropertyFormat = platform::fourCC("tfmt");

/// True when the installed audio system offers process taps.
CORVESSA_PLATFORM_API bool AudioHardwareSupportsProcessTaps() noexcept;

/// Creates a tap as described and writes its object id to `outTapID`.
CORVESSA_PLATFORM_API OSStatus AudioHardwareCreateProcessTap(
    const platform::TapDescription* inDescription, AudioObjectID* outTapID) noexcept;

/// Destroys a tap; aggregate devices that list it deliver silence from then on.
CORVESSA_PLATFORM_API OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID) noexcept;

/// Creates an aggregate device as described and writes its object id to `outDeviceID`.
CORVESSA_PLATFORM_API OSStatus AudioHardwareCreateAggregateDevice(
    const platform::AggregateDeviceDescription* inDescription, AudioObjectID* outDeviceID) noexcept;

/// Stops and destroys the device's IO procedures, then the device.
CORVESSA_PLATFORM_API OSStatus
AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID) noexcept;

/// Registers `inIOBlock` to run on `inDispatchQueue` once per IO cycle of `inDevice` while the
/// procedure is started; writes the procedure's id to `outIOProcID`.
CORVESSA_PLATFORM_API OSStatus
AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID inDevice,
                                   std::shared_ptr<platform::SerialQueue> inDispatchQueue,
                                   platform::AudioDeviceIOBlock inIOBlock) noexcept;

/// Stops (if started) and unregisters an IO procedure.
CORVESSA_PLATFORM_API OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice,
                                                          AudioDeviceIOProcID inIOProcID) noexcept;

/// Starts IO cycles of the procedure on the device; starting a started procedure does nothing.
CORVESSA_PLATFORM_API OSStatus AudioDeviceStart(AudioObjectID inDevice,
                                                AudioDeviceIOProcID inIOProcID) noexcept;

/// Stops the procedure's IO cycles and returns once none runs; stopping a stopped one does
/// nothing.
CORVESSA_PLATFORM_API OSStatus AudioDeviceStop(AudioObjectID inDevice,
                                               AudioDeviceIOProcID inIOProcID) noexcept;

namespace platform {

/// The part of an audio system that offers process taps and aggregate devices; the calls above
/// forward to it unchanged.
class ProcessTapBackend {
  public:
    virtual ~ProcessTapBackend();

    /// See AudioHardwareCreateProcessTap.
    virtual OSStatus createProcessTap(const TapDescription& description,
                                      AudioObjectID& outTapID) noexcept = 0;
    /// See AudioHardwareDestroyProcessTap.
    virtual OSStatus destroyProcessTap(AudioObjectID tapID) noexcept = 0;
    /// See AudioHardwareCreateAggregateDevice.
    virtual OSStatus createAggregateDevice(const AggregateDeviceDescription& description,
                                           AudioObjectID& outDeviceID) noexcept = 0;
    /// See AudioHardwareDestroyAggregateDevice.
    virtual OSStatus destroyAggregateDevice(AudioObjectID deviceID) noexcept = 0;
    /// See AudioDeviceCreateIOProcIDWithBlock.
    virtual OSStatus createIOProcID(AudioObjectID deviceID, std::shared_ptr<SerialQueue> queue,
                                    AudioDeviceIOBlock block,
                                    AudioDeviceIOProcID& outIOProcID) noexcept = 0;
    /// See AudioDeviceDestroyIOProcID.
    virtual OSStatus destroyIOProcID(AudioObjectID deviceID, AudioDeviceIOProcID proc) noexcept = 0;
    /// See AudioDeviceStart.
    virtual OSStatus startDevice(AudioObjectID deviceID, AudioDeviceIOProcID proc) noexcept = 0;
    /// See AudioDeviceStop.
    virtual OSStatus stopDevice(AudioObjectID deviceID, AudioDeviceIOProcID proc) noexcept = 0;
};

}  // namespace platform

#endif
