// The producer killed with SIGKILL in the middle of a run: the producer lock is free at once, a
// new producer starts, and the plug-in (hosted in this process, reading one 10 ms cycle at a
// time in real time) keeps delivering without a failed or missing cycle: the first producer's
// tone, then silence once the frames it left in the ring have played, then the new producer's.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "AmberlinAudioCore/ProducerGuard.h"
#include "FaultProcesses.h"
#include "FreshPlugin.h"

namespace corvessa::faults {
namespace {

using namespace std::chrono_literals;

class ProducerKilledTest : public ::testing::Test {
  protected:
    void TearDown() override {
        std::filesystem::remove(lock_);
        if (ring_) {
            leaveRingIdle(ring_.get());  // the producers were killed (the reader stops its IO)
        }
    }

    /// Runs cycles until `count` consecutive cycles heard `wanted` (true) or `limit` cycles ran.
    bool readUntil(Heard wanted, int count, int limit, const Child* starting = nullptr) {
        int run = 0;
        for (int i = 0; i < limit; ++i) {
            waitForNextCycle(next_);
            std::array<float, kFrame> out{};
            const auto begin = std::chrono::steady_clock::now();
            failed_ += reader_.cycle(out) == kAudioHardwareNoError ? 0 : 1;
            longest_ = std::max(longest_, std::chrono::steady_clock::now() - begin);
            heard_.push_back(classify(out));
            run = heard_.back() == wanted ? run + 1 : 0;
            if (starting != nullptr && !started_) {
                started_ = starting->report(0ms) == 'S';
            }
            if (run == count) {
                return true;
            }
        }
        return false;
    }
    /// How many cycles from `from` on heard `what`.
    long countFrom(std::size_t from, Heard what) const {
        return std::count(heard_.begin() + static_cast<long>(from), heard_.end(), what);
    }

    std::string lock_ = (std::filesystem::temp_directory_path() /
                         ("corvessa-fault-lock-" + std::to_string(::getpid())))
                            .string();
    corvessa::testing::FreshPluginCopy copy_{HAL_PLUGIN_PATH};
    HostedReader reader_{copy_.path().string()};
    std::unique_ptr<am_shared_ring, decltype(&am_shared_ring_close)> ring_{
        am_shared_ring_open(am_shared_ring_default_name(), true, 32, kFrame),
        &am_shared_ring_close};
    std::vector<Heard> heard_;
    int failed_ = 0;
    bool started_ = false;
    std::chrono::steady_clock::duration longest_{};
    std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now();
};

TEST_F(ProducerKilledTest, LockFreesAtOnceAndTheDeviceDeliversSilenceThenTheNewProducer) {
    ASSERT_TRUE(reader_.started());
    ASSERT_NE(ring_, nullptr);
    Child first = forkChild([&](int fd) { return runProducer(kToneA, lock_, fd); });
    ASSERT_EQ(first.report(10s), 'S');
    ASSERT_TRUE(readUntil(Heard::toneA, 20, 500)) << "the first producer's tone never arrived";

    // SIGKILL: no detach, no unlock, no clean-up of any kind.
    first.kill();
    const std::size_t killedAt = heard_.size();
    EXPECT_NE(amberlin::ProducerGuard::acquire(lock_), nullptr) << "the lock outlived its owner";
    // A producer that dies leaves the flag as it was; the next producer rewrites it.
    EXPECT_TRUE(am_shared_ring_health(ring_.get()).producer_attached);
    ASSERT_TRUE(readUntil(Heard::silence, 10, 100)) << "the device never fell silent";
    // At most the three frames the device keeps buffered, and the one it was playing, remain.
    EXPECT_LE(countFrom(killedAt, Heard::toneA), 4);

    const std::size_t restartedAt = heard_.size();
    Child second = forkChild([&](int fd) { return runProducer(kToneB, lock_, fd); });
    ASSERT_TRUE(readUntil(Heard::toneB, 20, 500, &second)) << "the new producer was not heard";
    EXPECT_TRUE(started_) << "the new producer did not report its start";
    EXPECT_EQ(countFrom(restartedAt, Heard::toneA), 0) << "the dead producer's audio came back";
    EXPECT_EQ(failed_, 0) << "an IO cycle failed";
    EXPECT_EQ(countFrom(0, Heard::other), 0) << "a cycle delivered neither a tone nor silence";
    std::printf("[  figures ] %zu cycles, %ld silent after the kill, longest cycle %.3f ms\n",
                heard_.size(), countFrom(killedAt, Heard::silence),
                std::chrono::duration<double, std::milli>(longest_).count());
}

}  // namespace
}  // namespace corvessa::faults
