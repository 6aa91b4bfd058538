// Host clock: CLOCK_MONOTONIC nanoseconds unless a source has been installed.
#include "platform/HostClock.h"

#include <time.h>

namespace platform {
namespace {

__extension__ using Wide = unsigned __int128;  // products of 64-bit ticks and 32-bit ratios

/// The installed source; null means the system clock. Acquire/release pairs the pointer with the
/// source object's construction.
std::atomic<HostClockSource*> gInstalledSource{nullptr};

std::uint64_t monotonicNanos() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000ull +
           static_cast<std::uint64_t>(now.tv_nsec);
}

mach_timebase_info_data_t currentTimebase() noexcept {
    const HostClockSource* source = gInstalledSource.load(std::memory_order_acquire);
    return source ? source->timebase() : mach_timebase_info_data_t{1, 1};
}

}  // namespace

HostClockSource::~HostClockSource() = default;

HostClockSource* installHostClockSource(HostClockSource* source) noexcept {
    return gInstalledSource.exchange(source, std::memory_order_acq_rel);
}

std::uint64_t hostTicksToNanos(std::uint64_t ticks) noexcept {
    const mach_timebase_info_data_t base = currentTimebase();
    if (base.denom == 0) {
        return ticks;
    }
    return static_cast<std::uint64_t>(static_cast<Wide>(ticks) * base.numer / base.denom);
}

std::uint64_t nanosToHostTicks(std::uint64_t nanos) noexcept {
    const mach_timebase_info_data_t base = currentTimebase();
    if (base.numer == 0) {
        return nanos;
    }
    return static_cast<std::uint64_t>(static_cast<Wide>(nanos) * base.denom / base.numer);
}

ManualHostClock::ManualHostClock(std::uint64_t startTicks, std::uint32_t numer,
                                 std::uint32_t denom) noexcept
    : ticks_(startTicks), timebase_{numer, denom} {}

std::uint64_t ManualHostClock::now() const noexcept {
    return ticks_.load(std::memory_order_acquire);
}

mach_timebase_info_data_t ManualHostClock::timebase() const noexcept {
    return timebase_;
}

void ManualHostClock::set(std::uint64_t ticks) noexcept {
    ticks_.store(ticks, std::memory_order_release);
}

void ManualHostClock::advance(std::uint64_t ticks) noexcept {
    ticks_.fetch_add(ticks, std::memory_order_acq_rel);
}

ScopedHostClock::ScopedHostClock(HostClockSource& source) noexcept
    : previous_(installHostClockSource(&source)) {}

ScopedHostClock::~ScopedHostClock() {
    installHostClockSource(previous_);
}

}  // namespace platform

extern "C" std::uint64_t mach_absolute_time(void) noexcept {
    const platform::HostClockSource* source =
        platform::gInstalledSource.load(std::memory_order_acquire);
    return source ? source->now() : platform::monotonicNanos();
}

extern "C" kern_return_t mach_timebase_info(mach_timebase_info_t info) noexcept {
    if (info == nullptr) {
        return KERN_INVALID_ARGUMENT;
    }
    *info = platform::currentTimebase();
    return KERN_SUCCESS;
}
