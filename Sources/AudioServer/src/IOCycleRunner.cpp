// The IO thread: sleep until the cycle's frames exist on the device timeline, then read them.
#include "audioserver/IOCycleRunner.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <stdexcept>

#include "platform/HostClock.h"

namespace audioserver {
namespace {

/// Longest single sleep, so that `stop` is honoured within about this long (ns).
constexpr UInt64 kMaxSleepNanos = 2'000'000;
/// SCHED_FIFO priority requested for the IO thread; low, so other real-time work still wins.
constexpr int kRealtimePriority = 10;

Float64 hostTicksPerFrame(Float64 sampleRate) {
    mach_timebase_info_data_t timebase{1, 1};
    mach_timebase_info(&timebase);
    return 1e9 * static_cast<Float64>(timebase.denom) / static_cast<Float64>(timebase.numer) /
           sampleRate;
}

void sleepNanos(UInt64 nanos) noexcept {
    const timespec interval{static_cast<time_t>(nanos / 1'000'000'000ull),
                            static_cast<long>(nanos % 1'000'000'000ull)};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &interval, nullptr);
}

void requestRealtimePriority(std::thread& thread) noexcept {
    sched_param parameters{};
    parameters.sched_priority = kRealtimePriority;
    // Refusal (no privilege) leaves the thread at normal priority, which still works.
    pthread_setschedparam(thread.native_handle(), SCHED_FIFO, &parameters);
}

}  // namespace

IOCycleRunner::IOCycleRunner(HostedDevice device, UInt32 framesPerCycle, Float64 sampleRate,
                             Callback callback, IOClients clients)
    : device_(device),
      framesPerCycle_(framesPerCycle),
      ticksPerFrame_(sampleRate > 0.0 ? hostTicksPerFrame(sampleRate) : 0.0),
      callback_(std::move(callback)),
      clients_(clients),
      buffer_(framesPerCycle) {
    if (framesPerCycle == 0 || !(sampleRate > 0.0)) {
        throw std::invalid_argument("IOCycleRunner: frames per cycle and sample rate must be > 0");
    }
}

IOCycleRunner::~IOCycleRunner() {
    stop();
}

OSStatus IOCycleRunner::start() {
    if (isRunning()) {
        return kAudioHardwareUnsupportedOperationError;
    }
    stop();  // joins an IO thread that ended on its own and balances its StartIO
    const OSStatus status =
        clients_ == IOClients::own ? device_.startIO() : OSStatus{kAudioHardwareNoError};
    if (status != kAudioHardwareNoError) {
        return status;
    }
    stopRequested_.store(false, std::memory_order_release);
    running_.store(true, std::memory_order_release);
    thread_ = std::thread([this] { run(); });
    requestRealtimePriority(thread_);
    return kAudioHardwareNoError;
}

void IOCycleRunner::stop() {
    if (!thread_.joinable()) {
        return;
    }
    stopRequested_.store(true, std::memory_order_release);
    thread_.join();
    if (clients_ == IOClients::own) {
        device_.stopIO();
    }
}

void IOCycleRunner::run() noexcept {
    if (refreshTimeline()) {
        nextSampleTime_ = timeline_.sampleTime;
        while (waitForCycleEnd()) {
            performCycle();
        }
    }
    running_.store(false, std::memory_order_release);
}

bool IOCycleRunner::refreshTimeline() noexcept {
    const std::expected<ZeroTimeStamp, OSStatus> stamp = device_.zeroTimeStamp();
    if (!stamp) {
        return false;
    }
    if (stamp->seed != timeline_.seed) {
        nextSampleTime_ = stamp->sampleTime;  // the device restarted its timeline
    }
    timeline_ = *stamp;
    return true;
}

bool IOCycleRunner::waitForCycleEnd() noexcept {
    while (!stopRequested_.load(std::memory_order_acquire)) {
        const Float64 cycleEnd = nextSampleTime_ + framesPerCycle_;
        const Float64 due = static_cast<Float64>(timeline_.hostTime) +
                            (cycleEnd - timeline_.sampleTime) * ticksPerFrame_;
        const UInt64 now = mach_absolute_time();
        if (static_cast<Float64>(now) >= due) {
            const UInt64 seed = timeline_.seed;
            if (!refreshTimeline()) {
                return false;
            }
            if (timeline_.seed == seed) {
                return true;
            }
            continue;  // a restarted timeline moved the cycle: wait for its end on the new one
        }
        const auto ticks = static_cast<UInt64>(due - static_cast<Float64>(now)) + 1;
        sleepNanos(std::min(platform::hostTicksToNanos(ticks), kMaxSleepNanos));
    }
    return false;
}

void IOCycleRunner::performCycle() noexcept {
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mIOCycleCounter = cycles_.load(std::memory_order_relaxed);
    cycle.mNominalIOBufferFrameSize = framesPerCycle_;
    cycle.mInputTime.mSampleTime = nextSampleTime_;
    cycle.mDeviceHostTicksPerFrame = ticksPerFrame_;
    const Float64 sampleTime = nextSampleTime_;
    nextSampleTime_ += framesPerCycle_;
    if (device_.readInput(buffer_, cycle) != kAudioHardwareNoError) {
        failures_.fetch_add(1, std::memory_order_acq_rel);
        return;
    }
    if (callback_) {
        callback_(buffer_, sampleTime);
    }
    cycles_.fetch_add(1, std::memory_order_acq_rel);
}

}  // namespace audioserver
