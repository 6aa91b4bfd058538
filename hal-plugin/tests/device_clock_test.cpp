// The device clock on an injected host clock, for the nanosecond timebase (1/1) and a coarse one
// (125/3, one tick = 41.67 ns): zero time stamps catch up over elapsed periods, hold within a
// period, and restart on a new seed at every StartIO.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "InitializedPlugin.h"
#include "platform/HostClock.h"

namespace {

/// A timebase and the host ticks of one and two zero-time-stamp periods (16 384 frames at 48 kHz).
struct Timebase {
    uint32_t numer;
    uint32_t denom;
    uint64_t onePeriod;   // trunc(P)
    uint64_t twoPeriods;  // trunc(2 P)
};

constexpr uint64_t kStartTicks = 5'000'000;

class DeviceClock : public corvessa::testing::InitializedPlugin,
                    public ::testing::WithParamInterface<Timebase> {
  protected:
    audioserver::ZeroTimeStamp stamp() {
        const auto value = device.zeroTimeStamp();
        EXPECT_TRUE(value.has_value());
        return value.value_or(audioserver::ZeroTimeStamp{});
    }
    /// Period length in ticks, exactly as the timebase gives it.
    double period() const {
        return (double(GetParam().denom) / GetParam().numer) * 1e9 / 48'000.0 * 16'384.0;
    }

    platform::ManualHostClock clock{kStartTicks, GetParam().numer, GetParam().denom};
    platform::ScopedHostClock installed{clock};
};

TEST_P(DeviceClock, CatchesUpOverElapsedPeriodsAndHoldsWithinOne) {
    ASSERT_EQ(device.startIO(), 0);
    const audioserver::ZeroTimeStamp anchor = stamp();
    EXPECT_EQ(anchor, (audioserver::ZeroTimeStamp{0.0, kStartTicks, 3}))
        << "seed 1 at load, 2 after Initialize, 3 after StartIO";

    clock.advance(static_cast<uint64_t>(2.5 * period()));
    EXPECT_EQ(stamp(),
              (audioserver::ZeroTimeStamp{32'768.0, kStartTicks + GetParam().twoPeriods, 3}));
    clock.advance(static_cast<uint64_t>(0.4 * period()));
    EXPECT_EQ(stamp(),
              (audioserver::ZeroTimeStamp{32'768.0, kStartTicks + GetParam().twoPeriods, 3}));
    ASSERT_EQ(device.stopIO(), 0);
}

TEST_P(DeviceClock, APeriodBoundaryCountsFromItsFirstTick) {
    ASSERT_EQ(device.startIO(), 0);
    clock.set(kStartTicks + GetParam().onePeriod - 1);
    EXPECT_EQ(stamp().sampleTime, 0.0);
    clock.set(kStartTicks + GetParam().onePeriod);
    EXPECT_EQ(stamp(),
              (audioserver::ZeroTimeStamp{16'384.0, kStartTicks + GetParam().onePeriod, 3}));
    ASSERT_EQ(device.stopIO(), 0);
}

TEST_P(DeviceClock, ALongGapIsCaughtUpInOneCall) {
    ASSERT_EQ(device.startIO(), 0);
    clock.advance(static_cast<uint64_t>(100'000.5 * period()));
    const audioserver::ZeroTimeStamp late = stamp();
    EXPECT_EQ(late.sampleTime, 100'000.0 * 16'384.0);
    EXPECT_NEAR(static_cast<double>(late.hostTime - kStartTicks), std::trunc(100'000.0 * period()),
                1.0);
    clock.advance(static_cast<uint64_t>(period()));
    EXPECT_EQ(stamp().sampleTime, 100'001.0 * 16'384.0);
    ASSERT_EQ(device.stopIO(), 0);
}

TEST_P(DeviceClock, EveryStartIORestartsTheTimelineWithANewSeed) {
    ASSERT_EQ(device.startIO(1), 0);
    clock.advance(static_cast<uint64_t>(3.2 * period()));
    EXPECT_EQ(stamp().sampleTime, 3.0 * 16'384.0);
    const uint64_t secondStart = clock.now();
    ASSERT_EQ(device.startIO(2), 0);
    EXPECT_EQ(stamp(), (audioserver::ZeroTimeStamp{0.0, secondStart, 4}));
    ASSERT_EQ(device.stopIO(2), 0);
    clock.advance(static_cast<uint64_t>(1.5 * period()));
    EXPECT_EQ(stamp(),
              (audioserver::ZeroTimeStamp{16'384.0, secondStart + GetParam().onePeriod, 4}))
        << "StopIO leaves the clock alone";
    ASSERT_EQ(device.stopIO(1), 0);
}

TEST_P(DeviceClock, ResetsOnAControlThreadNeverTearTheIOThreadsTimeStamp) {
    // Reset i anchors at kStartTicks + i * step with seed 3 + i; every stamp the IO thread sees
    // must pair a seed with its own anchor and a whole number of periods after it.
    const uint64_t step = static_cast<uint64_t>(2.5 * period());
    constexpr int kResets = 2'000;
    ASSERT_EQ(device.startIO(), 0);
    std::atomic<bool> done{false};
    std::thread control([&] {
        for (int i = 1; i <= kResets; ++i) {
            clock.advance(step);
            device.startIO();
            device.stopIO();
        }
        done.store(true);
    });
    uint64_t lastSeed = 0;
    while (!done.load()) {
        const audioserver::ZeroTimeStamp now = stamp();
        ASSERT_GE(now.seed, std::max<uint64_t>(lastSeed, 3));
        const uint64_t anchor = kStartTicks + (now.seed - 3) * step;
        const double periods = now.sampleTime / 16'384.0;
        ASSERT_LE(periods, 2.0);
        ASSERT_EQ(now.hostTime, anchor + static_cast<uint64_t>(std::trunc(periods * period())));
        lastSeed = now.seed;
    }
    control.join();
    EXPECT_EQ(stamp().seed, 3u + kResets);
    ASSERT_EQ(device.stopIO(), 0);
}

INSTANTIATE_TEST_SUITE_P(Timebases, DeviceClock,
                         ::testing::Values(Timebase{1, 1, 341'333'333, 682'666'666},
                                           Timebase{125, 3, 8'192'000, 16'384'000}),
                         [](const auto& param) {
                             return param.param.numer == 1 ? std::string("Nanoseconds")
                                                           : std::string("Ticks125Over3");
                         });

}  // namespace
