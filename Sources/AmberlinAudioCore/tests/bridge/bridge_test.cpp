// Tests of the frame sinks over both rings, their health record and the producer guard.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "AmberlinAudioCore/ProducerGuard.h"
#include "AmberlinAudioCore/VirtualMicBridge.h"

namespace {

using amberlin::AudioFrame;
using amberlin::BridgeHealth;
using amberlin::NoiseProcessorError;
using amberlin::ProducerGuard;
using amberlin::SharedVirtualMicBridge;
using amberlin::VirtualMicBridge;
using nlohmann::json;

// A frame whose samples all carry `tag`, so its origin can be recognised after a read.
AudioFrame taggedFrame(float tag) {
    AudioFrame frame;
    frame.samples.fill(tag);
    return frame;
}

bool allEqual(const AudioFrame::Samples& samples, float value) {
    return std::all_of(samples.begin(), samples.end(), [&](float x) { return x == value; });
}

// Expects the constructor to throw allocationFailed.
template <class Make>
void expectAllocationFailed(Make make) {
    try {
        make();
        ADD_FAILURE() << "no error thrown";
    } catch (const NoiseProcessorError& error) {
        EXPECT_EQ(error, NoiseProcessorError::allocationFailed());
    }
}

// Gives each test a unique shared-memory name and lock path and removes both afterwards.
class SharedBridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static int counter = 0;
        const std::string suffix = std::to_string(::getpid()) + "-" + std::to_string(++counter);
        name_ = "/amvmic-test-" + suffix;
        lockPath_ =
            (std::filesystem::temp_directory_path() / ("producer-lock-test-" + suffix)).string();
    }
    void TearDown() override {
        ::shm_unlink(name_.c_str());
        std::filesystem::remove(lockPath_);
    }
    std::string name_;
    std::string lockPath_;
};

}  // namespace

// Seventeen drop-oldest writes into 16 slots all succeed, evict exactly the first frame and
// count one overrun.
TEST(VirtualMicBridgeTest, WriteLatestEvictsOldest) {
    VirtualMicBridge bridge(16);
    for (int i = 1; i <= 17; ++i) {
        EXPECT_TRUE(bridge.writeLatest(taggedFrame(static_cast<float>(i))));
    }
    BridgeHealth health = bridge.health();
    EXPECT_EQ(health.overrunCount, 1u);
    EXPECT_EQ(health.availableReadFrames, 16);
    EXPECT_EQ(health.availableWriteFrames, 0);
    EXPECT_EQ(health.underrunCount, 0u);
    EXPECT_TRUE(allEqual(bridge.readOrSilence(), 2.0f));
    EXPECT_TRUE(allEqual(bridge.readOrSilence(), 3.0f));
}

// A strict write to a full buffer is refused and counted; an empty read gives silence and counts
// an underrun; attach, detach and clear show in the health.
TEST(VirtualMicBridgeTest, FullEmptyAndFlags) {
    VirtualMicBridge bridge(2);
    EXPECT_TRUE(bridge.write(taggedFrame(1.0f)));
    EXPECT_TRUE(bridge.write(taggedFrame(2.0f)));
    EXPECT_FALSE(bridge.write(taggedFrame(3.0f)));
    EXPECT_EQ(bridge.health().overrunCount, 1u);
    bridge.attachProducer();
    EXPECT_TRUE(bridge.health().producerAttached);
    bridge.clear();
    EXPECT_EQ(bridge.health().availableReadFrames, 0);
    const AudioFrame::Samples silence = bridge.readOrSilence();
    EXPECT_TRUE(allEqual(silence, 0.0f));
    bridge.detachProducer();
    EXPECT_EQ(bridge.health(), (BridgeHealth{0, 2, 1, 1, false, 0}));
    EXPECT_EQ(VirtualMicBridge::defaultFrameCapacity, 16);
}

// Capacities the ring cannot take are refused with allocationFailed.
TEST(VirtualMicBridgeTest, InvalidCapacities) {
    expectAllocationFailed([] { VirtualMicBridge bridge(0); });
    expectAllocationFailed([] { VirtualMicBridge bridge(-1); });
    expectAllocationFailed([] {
        VirtualMicBridge bridge(std::int64_t{std::numeric_limits<std::uint32_t>::max()} + 1);
    });
}

// Health may be read from another thread while the producer writes: counters only grow and the
// fill levels of one snapshot always add up to the capacity.
TEST(VirtualMicBridgeTest, HealthReadableWhileWriting) {
    VirtualMicBridge bridge(4);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::uint64_t lastOverruns = 0;
        while (!done.load()) {
            const BridgeHealth health = bridge.health();
            EXPECT_GE(health.overrunCount, lastOverruns);
            EXPECT_EQ(health.availableReadFrames + health.availableWriteFrames, 4);
            lastOverruns = health.overrunCount;
        }
    });
    for (int i = 0; i < 2000; ++i) {
        bridge.writeLatest(taggedFrame(static_cast<float>(i)));
    }
    done = true;
    reader.join();
    EXPECT_EQ(bridge.health().overrunCount, 2000u - 4u);
}

// A fresh shared ring reports an empty ring of 32 frames with no producer and zero counters.
TEST_F(SharedBridgeTest, FreshRingHealth) {
    SharedVirtualMicBridge bridge(name_, true, SharedVirtualMicBridge::defaultFrameCapacity);
    EXPECT_EQ(bridge.health(), (BridgeHealth{0, 32, 0, 0, false, 0}));
    EXPECT_EQ(SharedVirtualMicBridge::defaultName(), "/amvmic");
}

// Frames written by the producer bridge reach a second handle on the same ring, in order; full
// and empty rings count overruns and underruns; the attach flag is shared.
TEST_F(SharedBridgeTest, ProducerAndConsumerShareTheRing) {
    SharedVirtualMicBridge producer(name_, true, 32);
    SharedVirtualMicBridge consumer(name_, false, 32);
    producer.attachProducer();
    EXPECT_TRUE(consumer.health().producerAttached);
    for (int i = 1; i <= 32; ++i) {
        ASSERT_TRUE(producer.write(taggedFrame(static_cast<float>(i))));
    }
    EXPECT_FALSE(producer.write(taggedFrame(33.0f)));
    EXPECT_TRUE(producer.writeLatest(taggedFrame(34.0f)));
    EXPECT_EQ(consumer.health().overrunCount, 2u);
    EXPECT_TRUE(allEqual(consumer.readOrSilence(), 2.0f));
    producer.clear();
    EXPECT_TRUE(allEqual(consumer.readOrSilence(), 0.0f));
    producer.detachProducer();
    EXPECT_EQ(consumer.health(), (BridgeHealth{0, 32, 1, 2, false, 0}));
}

// A ring that cannot be opened is reported as allocationFailed.
TEST_F(SharedBridgeTest, OpenFailures) {
    expectAllocationFailed([&] { SharedVirtualMicBridge bridge(name_, false, 32); });
    expectAllocationFailed([&] { SharedVirtualMicBridge bridge(name_, true, 0); });
}

// The health record encodes exactly the six keys and needs every one of them to decode.
TEST(BridgeHealthJson, SixKeysRequired) {
    const BridgeHealth health{3, 29, 7, 18446744073709551615u, true, 2};
    const json encoded = health;
    EXPECT_EQ(encoded, json::parse(R"({"availableReadFrames":3,"availableWriteFrames":29,
        "underrunCount":7,"overrunCount":18446744073709551615,"producerAttached":true,
        "consumerRunningCount":2})"));
    EXPECT_EQ(encoded.get<BridgeHealth>(), health);
    for (const auto& [key, value] : encoded.items()) {
        SCOPED_TRACE(key);
        json missing = encoded;
        missing.erase(key);
        EXPECT_THROW(missing.get<BridgeHealth>(), json::exception);
    }
    json negative = encoded;
    negative["underrunCount"] = -1;
    EXPECT_THROW(negative.get<BridgeHealth>(), json::exception);
    json fractional = encoded;
    fractional["availableReadFrames"] = 1.5;
    EXPECT_THROW(fractional.get<BridgeHealth>(), json::exception);
    fractional["availableReadFrames"] = 3.0;
    EXPECT_EQ(fractional.get<BridgeHealth>(), health);
    json wrongType = encoded;
    wrongType["producerAttached"] = 1;
    EXPECT_THROW(wrongType.get<BridgeHealth>(), json::exception);
}

// Within one process a second guard on the same path fails until the first is released.
TEST_F(SharedBridgeTest, GuardExcludesSecondHolder) {
    auto first = ProducerGuard::acquire(lockPath_);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ProducerGuard::acquire(lockPath_), nullptr);
    first.reset();
    EXPECT_NE(ProducerGuard::acquire(lockPath_), nullptr);
    EXPECT_EQ(ProducerGuard::acquire("/nonexistent-dir/lock"), nullptr);
    EXPECT_TRUE(ProducerGuard::defaultPath().ends_with("/com.halvern.corvessa.producer.lock"));
}

// Another process holding the guard excludes this one; once that process is killed the lock
// file is still there but no longer blocks a new guard.
TEST_F(SharedBridgeTest, GuardAcrossProcessesSurvivesKilledHolder) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto guard = ProducerGuard::acquire(lockPath_);
        const char status = guard != nullptr ? '1' : '0';
        if (::write(ready[1], &status, 1) != 1) {
            ::_exit(1);
        }
        for (;;) {
            ::pause();
        }
    }
    ::close(ready[1]);
    char status = 0;
    ASSERT_EQ(::read(ready[0], &status, 1), 1);
    ::close(ready[0]);
    EXPECT_EQ(status, '1');
    EXPECT_EQ(ProducerGuard::acquire(lockPath_), nullptr);
    ::kill(child, SIGKILL);
    int exitStatus = 0;
    ASSERT_EQ(::waitpid(child, &exitStatus, 0), child);
    EXPECT_TRUE(std::filesystem::exists(lockPath_));
    EXPECT_NE(ProducerGuard::acquire(lockPath_), nullptr);
}
