// The soak in CI: one simulated minute through the whole producer path and the hosted plug-in.
// The claims are those of the hour-long program (SoakChecks.h): memory flat after warm-up,
// written = read + overruns + buffered, every delivered frame one whole written frame in order,
// underruns only where the clocks explain them, the reference lookback bounded.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "SoakChecks.h"
#include "SoakRun.h"

namespace corvessa::soak {
namespace {

SoakOptions options(double seconds) {
    SoakOptions o;
    o.pluginPath = HAL_PLUGIN_PATH;
    o.producerLock = std::filesystem::temp_directory_path() /
                     ("corvessa-soak-test-" + std::to_string(::getpid()) + ".lock");
    o.simulatedSeconds = seconds;
    o.sampleEverySeconds = 5.0;
    o.stallEverySeconds = 30.0;  // two stalls of 0.5 s: at 15 s and at 45 s
    return o;
}

void expectChecksHold(const SoakFigures& figures, const SoakOptions& o) {
    std::printf("%s", describe(figures).c_str());
    for (const SoakSample& s : figures.samples) {
        std::printf("  %4.0f s: rss %llu KiB, heap %llu KiB\n", s.simulatedSeconds,
                    static_cast<unsigned long long>(s.residentKiB),
                    static_cast<unsigned long long>(s.heapInUseKiB));
    }
    for (const std::string& failure : checkFigures(figures, o)) {
        ADD_FAILURE() << failure;
    }
    std::filesystem::remove(o.producerLock);
}

TEST(SoakTest, OneSimulatedMinuteKeepsEveryFrameWholeAndMemoryFlat) {
    const SoakOptions o = options(60.0);
    const SoakFigures figures = runSoak(o);
    expectChecksHold(figures, o);
    // The stalls (50 frames each against a ring of 32) made both sides drop frames, so the
    // counter identity was exercised with overruns from eviction and from latency trimming.
    EXPECT_GE(figures.overruns, 2u * (50 - 32));
    EXPECT_GT(figures.consumer.framesSkipped, 0u);
    EXPECT_EQ(figures.samples.size(), 12u);
}

TEST(SoakTest, ASlowMicrophoneClockAccountsForEveryUnderrun) {
    // 2000 ppm slow: the device reads one frame more than the microphone delivers every 500
    // frames, so about 4 of 2000 reads find the ring empty after the first second.
    SoakOptions o = options(20.0);
    o.driftPpm = -2000.0;
    o.stallSeconds = 0.0;
    const SoakFigures figures = runSoak(o);
    expectChecksHold(figures, o);
    EXPECT_GE(figures.consumer.emptyReads - figures.consumer.emptyReadsWarmUp, 3u);
}

}  // namespace
}  // namespace corvessa::soak
