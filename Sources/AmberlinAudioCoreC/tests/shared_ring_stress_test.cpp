// Producer and consumer racing on one ring, in two processes (fork) and in two threads (the
// ThreadSanitizer build checks the latter): every frame read is whole, frames arrive in order,
// and written = read + dropped + still buffered.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <thread>

#include "amberlin/am_shared_ring.h"
#include "ring_test_support.h"

namespace {

using amberlin::test::UniqueShmName;

constexpr uint32_t kFrame = 480;
constexpr uint32_t kFrames = 200000;  // sequence numbers stay exact in f32 (< 2^24)
using Frame = std::array<float, kFrame>;

/// Writes frames stamped 1..kFrames (every sample carries the stamp) as fast as it can.
void produce(const char* name) {
    am_shared_ring* ring = am_shared_ring_open(name, true, 32, kFrame);
    if (ring == nullptr) {
        return;
    }
    am_shared_ring_set_producer_attached(ring, 1);
    Frame frame{};
    for (uint32_t sequence = 1; sequence <= kFrames; ++sequence) {
        frame.fill(static_cast<float>(sequence));
        am_shared_ring_write_latest(ring, frame.data(), kFrame);
    }
    am_shared_ring_set_producer_attached(ring, 0);
    am_shared_ring_close(ring);
}

struct ConsumerTally {
    uint64_t frames_read = 0;
    uint64_t torn = 0;
    uint64_t out_of_order = 0;
};

/// Reads with a latency bound of 3 until the producer detached and the ring ran dry.
ConsumerTally consume(am_shared_ring* ring, const std::function<bool()>& producer_done) {
    ConsumerTally tally;
    Frame frame{};
    float last = 0.0f;
    for (;;) {
        if (am_shared_ring_read_latest(ring, frame.data(), kFrame, 3) == 1) {
            ++tally.frames_read;
            for (const float sample : frame) {
                tally.torn += sample != frame[0] ? 1 : 0;
            }
            tally.out_of_order += frame[0] <= last ? 1 : 0;
            last = frame[0];
        } else if (producer_done()) {
            if (am_shared_ring_health(ring).available_read_frames == 0) {
                break;
            }
        }
    }
    return tally;
}

void expect_consistent(am_shared_ring* ring, const ConsumerTally& tally) {
    EXPECT_EQ(tally.torn, 0u);
    EXPECT_EQ(tally.out_of_order, 0u);
    EXPECT_GT(tally.frames_read, 0u);
    const am_shared_ring_health_info health = am_shared_ring_health(ring);
    EXPECT_EQ(tally.frames_read + health.overrun_count + health.available_read_frames,
              uint64_t{kFrames});
}

TEST(SharedRingStress, ProducerProcessAndConsumerProcess) {
    UniqueShmName name;
    am_shared_ring* ring = am_shared_ring_open(name.c_str(), true, 32, kFrame);
    ASSERT_NE(ring, nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        produce(name.c_str());
        _exit(0);
    }
    int status = 0;
    bool exited = false;
    const ConsumerTally tally = consume(ring, [&] {
        exited = exited || waitpid(child, &status, WNOHANG) == child;
        return exited;
    });
    EXPECT_TRUE(WIFEXITED(status));
    expect_consistent(ring, tally);
    am_shared_ring_close(ring);
}

TEST(SharedRingStress, ProducerThreadAndConsumerThread) {
    UniqueShmName name;
    am_shared_ring* ring = am_shared_ring_open(name.c_str(), true, 32, kFrame);
    ASSERT_NE(ring, nullptr);
    std::atomic<bool> done{false};
    std::thread producer([&] {
        produce(name.c_str());
        done.store(true);
    });
    const ConsumerTally tally = consume(ring, [&] { return done.load(); });
    producer.join();
    expect_consistent(ring, tally);
    am_shared_ring_close(ring);
}

}  // namespace
