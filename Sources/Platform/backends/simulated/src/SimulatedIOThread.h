// The real-time thread of one started simulated capture unit, pumped or paced.
//
// Threads: the cycle function runs only on this object's thread. pump() and stop() may be called
// from any other thread; pump() from the IO thread itself returns 0 instead of deadlocking.
#ifndef CORVESSA_PLATFORM_SIMULATED_IO_THREAD_H
#define CORVESSA_PLATFORM_SIMULATED_IO_THREAD_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/SimulatedIOClock.h"

namespace platform {

/// Runs IO cycles on a thread of its own until stopped.
class SimulatedIOThread {
  public:
    /// Runs one cycle of `frames` frames (0: the device's size) and returns the frames delivered.
    using Cycle = std::function<UInt32(UInt32 frames)>;

    /// Starts the thread; `sampleRate` (Hz) converts frames to wall time in paced mode.
    SimulatedIOThread(SimulatedIOClock clock, Float64 sampleRate, Cycle cycle);
    /// Stops and joins.
    ~SimulatedIOThread();
    SimulatedIOThread(const SimulatedIOThread&) = delete;
    SimulatedIOThread& operator=(const SimulatedIOThread&) = delete;

    /// Pump mode: runs `cycles` cycles of `frames` frames on the IO thread and waits for them;
    /// returns how many ran (fewer when stopped meanwhile; 0 in paced mode).
    UInt32 pump(UInt32 cycles, UInt32 frames);
    /// Ends the loop after the current cycle and joins the thread; idempotent.
    void stop();
    /// True on this object's IO thread.
    bool isCurrent() const noexcept;

  private:
    struct Request {
        UInt32 cycles;
        UInt32 frames;
    };

    void run();
    void runPumped();
    void runPaced();

    const SimulatedIOClock clock_;
    const Float64 sampleRate_;
    const Cycle cycle_;
    std::mutex mutex_;  // guards everything below except thread_
    std::condition_variable changed_;
    std::deque<Request> requests_;
    std::uint64_t requested_ = 0;  // cycles ever requested
    std::uint64_t completed_ = 0;  // cycles ever completed
    bool stopping_ = false;
    std::atomic<std::thread::id> id_{};  // the IO thread's id, set by the thread itself
    std::mutex joinMutex_;               // guards thread_ (joined by the first stop() caller)
    std::thread thread_;
};

}  // namespace platform

#endif
