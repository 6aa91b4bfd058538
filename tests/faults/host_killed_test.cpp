// The plug-in's host (the audio server) killed with SIGKILL while the producer runs, then
// restarted: the producer carries on regardless, and the new host rejoins the live ring (same
// counters, not re-initialised), publishes its running client and hears the producer's audio.
#include <gtest/gtest.h>

#include <filesystem>

#include "FaultProcesses.h"
#include "FreshPlugin.h"

namespace corvessa::faults {
namespace {

using namespace std::chrono_literals;

/// What a host process heard in its first 50 cycles.
struct HostReport {
    int tone = 0;
    int silent = 0;
    int failed = 0;
    std::uint32_t runningCount = 0;  ///< the ring's consumer count right after StartIO
};

/// Child body: hosts the plug-in, reads 50 real-time cycles, reports, then keeps reading until
/// killed (`forever`) or exits.
int hostAndRead(const std::string& plugin, bool forever, int reportFd) {
    HostedReader reader(plugin);
    am_shared_ring* ring = am_shared_ring_open(am_shared_ring_default_name(), false, 32, kFrame);
    if (!reader.started() || ring == nullptr) {
        return 2;
    }
    HostReport report;
    report.runningCount = am_shared_ring_health(ring).consumer_running_count;
    auto next = std::chrono::steady_clock::now();
    for (int cycle = 0; forever || cycle < 50; ++cycle) {
        waitForNextCycle(next);
        std::array<float, kFrame> out{};
        report.failed += reader.cycle(out) == kAudioHardwareNoError ? 0 : 1;
        const Heard heard = classify(out);
        report.tone += heard == Heard::toneA ? 1 : 0;
        report.silent += heard == Heard::silence ? 1 : 0;
        if (cycle == 49) {
            ::write(reportFd, &report, sizeof(report));
        }
    }
    return 0;
}

TEST(HostKilledTest, ARestartedHostRejoinsTheLiveRingWhileTheProducerRuns) {
    const std::string lock = (std::filesystem::temp_directory_path() /
                              ("corvessa-fault-lock-" + std::to_string(::getpid())))
                                 .string();
    const corvessa::testing::FreshPluginCopy copy(HAL_PLUGIN_PATH);
    const std::string plugin = copy.path().string();
    Child producer = forkChild([&](int fd) { return runProducer(kToneA, lock, fd); });
    ASSERT_EQ(producer.report(10s), 'S');
    std::unique_ptr<am_shared_ring, decltype(&am_shared_ring_close)> ring(
        am_shared_ring_open(am_shared_ring_default_name(), false, 32, kFrame),
        &am_shared_ring_close);
    ASSERT_NE(ring, nullptr);

    Child first = forkChild([&](int fd) { return hostAndRead(plugin, true, fd); });
    const auto heardFirst = first.reportValue<HostReport>(10s);
    ASSERT_TRUE(heardFirst.has_value()) << "the first host did not read";
    EXPECT_EQ(heardFirst->runningCount, 1u);
    EXPECT_GE(heardFirst->tone, 45);
    first.kill();

    // Nobody reads now: the producer keeps writing, so the ring fills and drops its oldest.
    const am_shared_ring_health_info killed = am_shared_ring_health(ring.get());
    std::this_thread::sleep_for(500ms);
    const am_shared_ring_health_info orphaned = am_shared_ring_health(ring.get());
    EXPECT_TRUE(orphaned.producer_attached);
    EXPECT_EQ(orphaned.available_read_frames, 32u);
    EXPECT_GT(orphaned.overrun_count, killed.overrun_count);
    // The dead host never said its client stopped; the count stays until a host publishes anew.
    EXPECT_EQ(orphaned.consumer_running_count, 1u);

    Child second = forkChild([&](int fd) { return hostAndRead(plugin, false, fd); });
    const auto heardSecond = second.reportValue<HostReport>(10s);
    ASSERT_TRUE(heardSecond.has_value()) << "the restarted host did not read";
    const int status = second.wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(heardSecond->runningCount, 1u);
    EXPECT_EQ(heardSecond->failed, 0);
    EXPECT_GE(heardSecond->tone, 45) << heardSecond->silent << " silent cycles";
    // Joined, not re-initialised: the counters carried on from where they were.
    EXPECT_GE(am_shared_ring_health(ring.get()).overrun_count, orphaned.overrun_count);
    producer.kill();
    leaveRingIdle(ring.get());
    std::filesystem::remove(lock);
}

}  // namespace
}  // namespace corvessa::faults
