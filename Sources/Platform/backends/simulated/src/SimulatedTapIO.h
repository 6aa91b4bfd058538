// IO procedures of the simulated system's aggregate devices: the registered block and, while
// started, the IO thread that runs its cycles.
//
// Threads: a TapIOCycle's cycle runs only on its own IO thread; constructing and destroying it
// happen on control threads (destruction stops and joins the thread).
#ifndef CORVESSA_PLATFORM_SIMULATED_TAP_IO_H
#define CORVESSA_PLATFORM_SIMULATED_TAP_IO_H

#include <memory>
#include <vector>

#include "platform/AudioDeviceProvider.h"
#include "platform/AudioFormat.h"
#include "platform/AudioTap.h"
#include "platform/PCMBuffer.h"
#include "platform/SerialQueue.h"

namespace platform {

class SimulatedAudioSystem;
class SimulatedIOThread;

/// The IO cycles of one started procedure: read the device, post the block with a new buffer.
class TapIOCycle {
  public:
    /// Starts cycles of `bufferFrames` frames of `stream` (in `format`) on a new IO thread timed
    /// by `system`'s IO clock, registered with `system` under `device` so that pumps reach it.
    TapIOCycle(SimulatedAudioSystem& system, AudioObjectID device, AudioFormat format,
               UInt32 bufferFrames, std::unique_ptr<DeviceInputStream> stream,
               std::shared_ptr<SerialQueue> queue, std::shared_ptr<const AudioDeviceIOBlock> block);
    /// Unregisters and stops the IO thread; no cycle runs after this returns.
    ~TapIOCycle();
    TapIOCycle(const TapIOCycle&) = delete;
    TapIOCycle& operator=(const TapIOCycle&) = delete;

  private:
    UInt32 runCycle(UInt32 frames) noexcept;
    AudioTimeStamp inputTimeStamp() const noexcept;
    void readInto(PCMBuffer& buffer, UInt32 frames, const AudioTimeStamp& stamp);

    SimulatedAudioSystem& system_;
    const AudioFormat format_;
    const UInt32 bufferFrames_;
    const std::unique_ptr<DeviceInputStream> stream_;
    const std::shared_ptr<SerialQueue> queue_;
    const std::shared_ptr<const AudioDeviceIOBlock> block_;
    UInt64 anchorHostTime_ = 0;   // host ticks at sample time 0
    double ticksPerFrame_ = 0.0;  // host ticks per frame
    UInt64 sampleTime_ = 0;       // frames delivered (IO thread)
    std::vector<float> scratch_;  // interleaved frames of a planar cycle (IO thread)
    std::shared_ptr<SimulatedIOThread> thread_;
};

}  // namespace platform

/// One registered IO procedure: its device, queue and block, and its cycles while started.
struct OpaqueAudioDeviceIOProc {
    AudioObjectID device;
    std::shared_ptr<platform::SerialQueue> queue;
    std::shared_ptr<const platform::AudioDeviceIOBlock> block;
    std::unique_ptr<platform::TapIOCycle> running;
};

#endif
