// The host clock: CLOCK_MONOTONIC nanoseconds by default, an installed source and timebase
// replacing it until restored, and tick/nanosecond conversions without overflow.
#include <gtest/gtest.h>
#include <time.h>

#include "platform/HostClock.h"

namespace {

uint64_t monotonicNanos() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000ull +
           static_cast<uint64_t>(now.tv_nsec);
}

TEST(HostClock, DefaultsToMonotonicNanoseconds) {
    mach_timebase_info_data_t timebase{0, 0};
    ASSERT_EQ(mach_timebase_info(&timebase), KERN_SUCCESS);
    EXPECT_EQ(timebase.numer, 1u);
    EXPECT_EQ(timebase.denom, 1u);
    const uint64_t before = monotonicNanos();
    const uint64_t ticks = mach_absolute_time();
    const uint64_t after = monotonicNanos();
    EXPECT_GE(ticks, before);
    EXPECT_LE(ticks, after);
    EXPECT_EQ(mach_timebase_info(nullptr), KERN_INVALID_ARGUMENT);
}

TEST(HostClock, AnInstalledSourceReplacesTheClockUntilRestored) {
    platform::ManualHostClock outer(100, 125, 3);
    {
        platform::ScopedHostClock installOuter(outer);
        EXPECT_EQ(mach_absolute_time(), 100u);
        outer.advance(24);
        EXPECT_EQ(mach_absolute_time(), 124u);
        mach_timebase_info_data_t timebase{};
        mach_timebase_info(&timebase);
        EXPECT_EQ(timebase.numer, 125u);
        EXPECT_EQ(timebase.denom, 3u);
        {
            platform::ManualHostClock inner(7);
            platform::ScopedHostClock installInner(inner);
            EXPECT_EQ(mach_absolute_time(), 7u);
        }
        EXPECT_EQ(mach_absolute_time(), 124u) << "the outer source is back";
    }
    mach_timebase_info_data_t timebase{};
    mach_timebase_info(&timebase);
    EXPECT_EQ(timebase.numer, 1u);
    EXPECT_GT(mach_absolute_time(), 1'000'000u) << "the system clock is back";
}

TEST(HostClock, ConversionsFollowTheTimebaseWithoutOverflow) {
    platform::ManualHostClock coarse(0, 125, 3);
    platform::ScopedHostClock installed(coarse);
    EXPECT_EQ(platform::hostTicksToNanos(3), 125u);
    EXPECT_EQ(platform::hostTicksToNanos(24'000'000), 1'000'000'000u);
    EXPECT_EQ(platform::nanosToHostTicks(1'000'000'000), 24'000'000u);
    EXPECT_EQ(platform::nanosToHostTicks(124), 2u) << "rounded down";
    // 3 * 2^56 ticks * 125 overflows 64 bits in the product, not in the result.
    EXPECT_EQ(platform::hostTicksToNanos(3ull << 56), 125ull << 56);
    EXPECT_EQ(platform::nanosToHostTicks(125ull << 56), 3ull << 56);
}

}  // namespace
