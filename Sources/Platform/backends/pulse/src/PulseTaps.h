// Process taps and aggregate devices of the PulseAudio system.
//
// The server mixes every application's output into the default sink, whose monitor source
// carries that mix: a tap stands for that monitor. A tap answers 'tuid' (a fresh upper-case UUID
// string), 'tfmt' (32-bit float interleaved at the default sink's rate, 2 channels for a stereo
// tap, 1 for a mono one) and 'lnam'. An aggregate device names existing taps by UID under a UID
// of its own that no other aggregate device has (else kAudioHardwareIllegalOperationError) and
// presents its first tap; it answers 'uid ', 'lnam', 'nsrt', 'fsiz' and 'slay'. Taps and
// aggregate devices get object ids from 0x7A000000 upwards and are not in the device list.
//
// Starting an IO procedure opens a record stream on the default sink's monitor as it is then;
// each block recorded becomes one IO cycle: a new PCM buffer in the tap's format, handed with its
// capture time stamp (host time valid) to the procedure's queue. When the monitor's sink goes
// away or the server does, the cycles stop.
//
// Threads: every method is thread-safe; IO blocks run on their procedures' queues.
#ifndef CORVESSA_PLATFORM_PULSE_TAPS_H
#define CORVESSA_PLATFORM_PULSE_TAPS_H

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PulseRecordStream.h"
#include "platform/AudioFormat.h"
#include "platform/AudioTap.h"

namespace platform {

class PulseDeviceTable;

/// The PulseAudio system's taps, aggregate devices and IO procedures.
class PulseTaps final : public ProcessTapBackend {
  public:
    /// IO cycle length asked of the server, in frames.
    static constexpr UInt32 kBufferFrameSize = 480;

    PulseTaps(std::shared_ptr<PulseConnection> connection, PulseDeviceTable& devices);
    /// Stops every IO procedure.
    ~PulseTaps() override;

    /// True when `id` is a tap or an aggregate device of this system.
    bool owns(AudioObjectID id) const;
    bool hasProperty(AudioObjectID id, const AudioObjectPropertyAddress& address) const;
    OSStatus getPropertyDataSize(AudioObjectID id, const AudioObjectPropertyAddress& address,
                                 UInt32& outSize) const;
    OSStatus getPropertyData(AudioObjectID id, const AudioObjectPropertyAddress& address,
                             UInt32& ioSize, void* outData) const;

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
    struct Tap {
        TapDescription description;
        std::string uid;
        AudioFormat format;
    };
    struct Aggregate {
        AggregateDeviceDescription description;
        AudioObjectID tap;
        AudioFormat format;
    };
    struct Proc {
        AudioObjectID device;
        std::shared_ptr<SerialQueue> queue;
        std::shared_ptr<const AudioDeviceIOBlock> block;
        std::unique_ptr<PulseRecordStream> running;
    };
    using ProcList = std::vector<std::unique_ptr<Proc>>;

    AudioObjectID allocateID();
    OSStatus addAggregate(const AggregateDeviceDescription& description,
                          AudioObjectID& outDeviceID);
    ProcList::iterator findProc(AudioObjectID deviceID, AudioDeviceIOProcID proc);
    OSStatus missingProc(AudioObjectID deviceID) const;
    OSStatus startProc(Proc& proc, const Aggregate& aggregate);
    static void post(const Proc& proc, const AudioFormat& format, const float* samples,
                     UInt32 frames, UInt64 hostNanos, UInt64 sampleTime);

    const std::shared_ptr<PulseConnection> connection_;
    PulseDeviceTable& devices_;
    mutable std::mutex mutex_;  // guards everything below
    AudioObjectID nextID_;
    std::map<AudioObjectID, Tap> taps_;
    std::map<AudioObjectID, Aggregate> aggregates_;
    ProcList procs_;
};

}  // namespace platform

#endif
