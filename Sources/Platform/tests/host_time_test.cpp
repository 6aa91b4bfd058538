// Host time follows the installed host clock and converts between ticks and nanoseconds with
// its timebase, rounding down, in both directions.
#include <gtest/gtest.h>
#include <time.h>

#include <cstdint>

#include "platform/HostClock.h"
#include "platform/HostTime.h"

namespace {

using platform::ManualHostClock;
using platform::ScopedHostClock;

TEST(HostTime, SystemClockTicksAreMonotonicNanoseconds) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const UInt64 before =
        static_cast<UInt64>(now.tv_sec) * 1'000'000'000ull + static_cast<UInt64>(now.tv_nsec);
    const UInt64 ticks = AudioGetCurrentHostTime();
    clock_gettime(CLOCK_MONOTONIC, &now);
    const UInt64 after =
        static_cast<UInt64>(now.tv_sec) * 1'000'000'000ull + static_cast<UInt64>(now.tv_nsec);
    EXPECT_GE(ticks, before);
    EXPECT_LE(ticks, after);
    EXPECT_EQ(AudioConvertHostTimeToNanos(ticks), ticks);
    EXPECT_EQ(AudioConvertNanosToHostTime(ticks), ticks);
}

TEST(HostTime, InstalledClockAndTimebaseAreUsedAndRoundTripWithinOneTick) {
    ManualHostClock clock(3'000'000, 125, 3);  // one tick = 41.67 ns, as on 24 MHz hardware
    ScopedHostClock installed(clock);
    EXPECT_EQ(AudioGetCurrentHostTime(), 3'000'000u);
    clock.advance(24'000'000);
    EXPECT_EQ(AudioGetCurrentHostTime(), 27'000'000u);
    EXPECT_EQ(AudioConvertHostTimeToNanos(24'000'000), 1'000'000'000u);
    EXPECT_EQ(AudioConvertNanosToHostTime(1'000'000'000), 24'000'000u);
    EXPECT_EQ(AudioConvertHostTimeToNanos(1), 41u);  // rounded down
    for (UInt64 ticks : {0ull, 1ull, 2ull, 1'000'003ull, 0xFFFF'FFFF'FFull}) {
        SCOPED_TRACE(ticks);
        const UInt64 back = AudioConvertNanosToHostTime(AudioConvertHostTimeToNanos(ticks));
        EXPECT_LE(back, ticks);
        EXPECT_GE(back + 1, ticks);
    }
    // Nanoseconds of a day-long uptime survive a round trip within one tick (42 ns).
    const UInt64 nanos = 86'400'000'000'123ull;
    const UInt64 again = AudioConvertHostTimeToNanos(AudioConvertNanosToHostTime(nanos));
    EXPECT_LE(again, nanos);
    EXPECT_LT(nanos - again, 42u);
}

}  // namespace
