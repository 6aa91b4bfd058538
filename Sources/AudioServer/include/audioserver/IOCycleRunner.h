// A real-time IO thread for one device: starts IO, then pulls read-input cycles of a fixed size,
// each one when the device's timeline (its zero time stamps on the host clock) says the cycle's
// last frame has been captured, and hands the samples to a callback.
//
// By default the runner is itself one IO client of the device (StartIO at start, StopIO at
// stop). A host that registers its clients with the device itself (one StartIO per recording
// application) uses `IOClients::external`: the runner then only pulls cycles.
//
// Threads: `start`/`stop` on a control thread. The callback runs on the IO thread (with
// SCHED_FIFO priority where the system grants it) and must be real-time safe: no allocation,
// no blocking. The IO thread itself allocates nothing once started.
#ifndef CORVESSA_AUDIOSERVER_IO_CYCLE_RUNNER_H
#define CORVESSA_AUDIOSERVER_IO_CYCLE_RUNNER_H

#include <atomic>
#include <functional>
#include <span>
#include <thread>
#include <vector>

#include "audioserver/HostedDevice.h"

namespace audioserver {

/// Drives IO cycles of one device on its own thread.
class IOCycleRunner {
  public:
    /// Receives one cycle's samples and the device sample time of its first frame.
    using Callback = std::function<void(std::span<const Float32> samples, Float64 sampleTime)>;

    /// Who calls StartIO / StopIO for the cycles the runner pulls.
    enum class IOClients {
        own,       ///< the runner: StartIO in `start`, StopIO in `stop`
        external,  ///< the caller, around `start` and `stop`
    };

    /// Cycles of `framesPerCycle` frames (> 0) at `sampleRate` Hz (the device's nominal rate).
    IOCycleRunner(HostedDevice device, UInt32 framesPerCycle, Float64 sampleRate, Callback callback,
                  IOClients clients = IOClients::own);
    ~IOCycleRunner();
    IOCycleRunner(const IOCycleRunner&) = delete;
    IOCycleRunner& operator=(const IOCycleRunner&) = delete;

    /// StartIO (own clients only), then the IO thread. Returns StartIO's status (no thread when
    /// it fails, and when already running it returns 'nope'). An IO thread that ended on its own
    /// (the device stopped answering for its clock) is joined and its IO stopped first.
    OSStatus start();
    /// Ends the IO thread after its current cycle, then StopIO (own clients only). Safe to call
    /// when stopped.
    void stop();
    /// Whether the IO thread runs.
    bool isRunning() const noexcept { return running_.load(std::memory_order_acquire); }
    /// Cycles completed since construction.
    UInt64 cycleCount() const noexcept { return cycles_.load(std::memory_order_acquire); }
    /// Cycles whose IO operation returned an error (their samples were not handed out).
    UInt64 failedCycleCount() const noexcept { return failures_.load(std::memory_order_acquire); }

  private:
    void run() noexcept;
    bool waitForCycleEnd() noexcept;
    bool refreshTimeline() noexcept;
    void performCycle() noexcept;

    HostedDevice device_;
    UInt32 framesPerCycle_;
    Float64 ticksPerFrame_;  // host ticks per frame, from the host timebase and the sample rate
    Callback callback_;
    IOClients clients_;
    std::vector<Float32> buffer_;
    ZeroTimeStamp timeline_{};
    Float64 nextSampleTime_ = 0.0;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopRequested_{false};
    std::atomic<UInt64> cycles_{0};
    std::atomic<UInt64> failures_{0};
    std::thread thread_;
};

}  // namespace audioserver

#endif
