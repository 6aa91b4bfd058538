// Device clock: anchor published by reset through a seqlock, period catch-up on the IO thread.
#include "DeviceClock.h"

#include <atomic>
#include <cmath>
#include <mutex>

#include "PluginObjects.h"
#include "platform/HostClock.h"

namespace corvessa::hal {
namespace {

// Anchor, written by resets: even sequence = stable, odd = a reset is writing.
std::atomic<UInt64> gAnchorSequence{0};
std::atomic<UInt64> gZeroHostTime{0};          // host ticks of sample time 0
std::atomic<Float64> gHostTicksPerFrame{0.0};  // host ticks per frame at 48 kHz
std::atomic<UInt64> gZeroSeed{1};
std::mutex gResetMutex;  // serialises resets; never taken on the IO thread

// Progress along the anchored timeline, touched only by the IO thread's time stamp reads.
// Atomic (relaxed) only so that a host misusing two IO threads cannot cause undefined behaviour.
std::atomic<UInt64> gZeroTimeStampCount{0};    // whole periods since the anchor
std::atomic<Float64> gPreviousZeroTicks{0.0};  // host ticks from the anchor to the latest boundary
std::atomic<UInt64> gProgressSeed{1};          // the anchor seed the progress belongs to

/// Periods the catch-up walks one by one; larger gaps are first jumped over arithmetically.
constexpr Float64 kWalkedPeriods = 2.0;

struct Anchor {
    UInt64 zeroHostTime;
    Float64 ticksPerFrame;
    UInt64 seed;
};

/// A consistent copy of the anchor. The field loads are acquire so the closing sequence load
/// cannot move before them; a sequence that is odd or changed means a reset overlapped: retry.
Anchor readAnchor() noexcept {
    for (;;) {
        const UInt64 before = gAnchorSequence.load(std::memory_order_acquire);
        const Anchor anchor{gZeroHostTime.load(std::memory_order_acquire),
                            gHostTicksPerFrame.load(std::memory_order_acquire),
                            gZeroSeed.load(std::memory_order_acquire)};
        if (before % 2 == 0 && gAnchorSequence.load(std::memory_order_relaxed) == before) {
            return anchor;
        }
    }
}

Float64 ticksPerFrameFromTimebase() noexcept {
    mach_timebase_info_data_t timebase{1, 1};
    mach_timebase_info(&timebase);
    if (timebase.numer == 0 || timebase.denom == 0) {
        timebase = {1, 1};
    }
    return (static_cast<Float64>(timebase.denom) / static_cast<Float64>(timebase.numer)) *
           1'000'000'000.0 / kSampleRate;
}

/// Walks `count`/`previous` forward over every period boundary at or before `now`.
void catchUp(const Anchor& anchor, UInt64 now, UInt64& count, Float64& previous) noexcept {
    const Float64 period = anchor.ticksPerFrame * kZeroTimeStampPeriod;
    if (!(period > 0.0) || now < anchor.zeroHostTime) {
        return;
    }
    const Float64 ahead = static_cast<Float64>(now - anchor.zeroHostTime) - previous;
    const Float64 whole = std::floor(ahead / period);
    if (whole > kWalkedPeriods) {
        previous += (whole - kWalkedPeriods) * period;
        count += static_cast<UInt64>(whole - kWalkedPeriods);
    }
    for (Float64 next = previous + period;
         anchor.zeroHostTime + static_cast<UInt64>(std::trunc(next)) <= now; next += period) {
        previous = next;
        ++count;
    }
}

}  // namespace

void reset_zero_time_stamp() noexcept {
    const UInt64 now = mach_absolute_time();
    const Float64 ticksPerFrame = ticksPerFrameFromTimebase();
    const std::lock_guard<std::mutex> lock(gResetMutex);
    const UInt64 sequence = gAnchorSequence.load(std::memory_order_relaxed);
    // Release stores keep the odd sequence ahead of every field a reader may see.
    gAnchorSequence.store(sequence + 1, std::memory_order_relaxed);
    gZeroHostTime.store(now, std::memory_order_release);
    gHostTicksPerFrame.store(ticksPerFrame, std::memory_order_release);
    gZeroSeed.store(gZeroSeed.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    gAnchorSequence.store(sequence + 2, std::memory_order_release);
}

ZeroTimeStamp currentZeroTimeStamp() noexcept {
    const UInt64 now = mach_absolute_time();
    const Anchor anchor = readAnchor();
    UInt64 count = gZeroTimeStampCount.load(std::memory_order_relaxed);
    Float64 previous = gPreviousZeroTicks.load(std::memory_order_relaxed);
    if (gProgressSeed.load(std::memory_order_relaxed) != anchor.seed) {
        count = 0;  // a reset happened since the last read: start the new timeline
        previous = 0.0;
        gProgressSeed.store(anchor.seed, std::memory_order_relaxed);
    }
    catchUp(anchor, now, count, previous);
    gZeroTimeStampCount.store(count, std::memory_order_relaxed);
    gPreviousZeroTicks.store(previous, std::memory_order_relaxed);
    return ZeroTimeStamp{static_cast<Float64>(count * kZeroTimeStampPeriod),
                         anchor.zeroHostTime + static_cast<UInt64>(std::trunc(previous)),
                         anchor.seed};
}

}  // namespace corvessa::hal
