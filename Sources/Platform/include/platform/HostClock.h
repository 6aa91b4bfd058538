// The host clock: monotonic ticks and the timebase that converts them to nanoseconds.
//
// By default one tick is one nanosecond of CLOCK_MONOTONIC (timebase 1/1). A test or a simulated
// audio system may install its own tick source and timebase; the installation is one atomic
// pointer inside the shared library libcorvessa_hostclock.so, so it reaches every image of the
// process that links it, including a plug-in loaded with dlopen.
//
// Threads: reading the clock and the timebase is lock-free and allocation-free and may run on a
// real-time thread. An installed source must outlive its installation.
#ifndef CORVESSA_PLATFORM_HOST_CLOCK_H
#define CORVESSA_PLATFORM_HOST_CLOCK_H

#include <atomic>
#include <cstdint>

#if defined(__GNUC__)
#define CORVESSA_HOSTCLOCK_API __attribute__((visibility("default")))
#else
#define CORVESSA_HOSTCLOCK_API
#endif

using kern_return_t = int;
inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;

/// Ratio that turns ticks into nanoseconds: ns = ticks * numer / denom.
struct mach_timebase_info_data_t {
    std::uint32_t numer;
    std::uint32_t denom;
};
using mach_timebase_info_t = mach_timebase_info_data_t*;

extern "C" {
/// Current host time in ticks of the installed source (CLOCK_MONOTONIC ns by default).
CORVESSA_HOSTCLOCK_API std::uint64_t mach_absolute_time(void) noexcept;
/// Writes the installed timebase; KERN_INVALID_ARGUMENT for null.
CORVESSA_HOSTCLOCK_API kern_return_t mach_timebase_info(mach_timebase_info_t info) noexcept;
}

namespace platform {

/// A replacement tick source with its timebase.
class CORVESSA_HOSTCLOCK_API HostClockSource {
  public:
    virtual ~HostClockSource();
    /// Current time in this source's ticks; called on real-time threads, so it must not block.
    virtual std::uint64_t now() const noexcept = 0;
    /// The ratio ticks -> nanoseconds of this source.
    virtual mach_timebase_info_data_t timebase() const noexcept = 0;
};

/// Installs `source` (null restores the system clock) and returns the previously installed one.
CORVESSA_HOSTCLOCK_API HostClockSource* installHostClockSource(HostClockSource* source) noexcept;

/// Converts ticks of the current timebase to nanoseconds (128-bit intermediate, no overflow for
/// any 64-bit result).
CORVESSA_HOSTCLOCK_API std::uint64_t hostTicksToNanos(std::uint64_t ticks) noexcept;
/// Converts nanoseconds to ticks of the current timebase (rounded down).
CORVESSA_HOSTCLOCK_API std::uint64_t nanosToHostTicks(std::uint64_t nanos) noexcept;

/// A hand-driven clock: time moves only when set or advanced. Thread-safe.
class CORVESSA_HOSTCLOCK_API ManualHostClock final : public HostClockSource {
  public:
    /// Starts at `startTicks` with the timebase numer/denom (e.g. 125/3: one tick is 41.67 ns).
    explicit ManualHostClock(std::uint64_t startTicks = 0, std::uint32_t numer = 1,
                             std::uint32_t denom = 1) noexcept;
    std::uint64_t now() const noexcept override;
    mach_timebase_info_data_t timebase() const noexcept override;
    /// Jumps to an absolute tick count.
    void set(std::uint64_t ticks) noexcept;
    /// Moves forward by `ticks`.
    void advance(std::uint64_t ticks) noexcept;

  private:
    std::atomic<std::uint64_t> ticks_;
    mach_timebase_info_data_t timebase_;
};

/// Installs a source for the lifetime of this object and restores the previous one after.
class CORVESSA_HOSTCLOCK_API ScopedHostClock {
  public:
    explicit ScopedHostClock(HostClockSource& source) noexcept;
    ~ScopedHostClock();
    ScopedHostClock(const ScopedHostClock&) = delete;
    ScopedHostClock& operator=(const ScopedHostClock&) = delete;

  private:
    HostClockSource* previous_;
};

}  // namespace platform

#endif
