// Far-end reference queue: time alignment, adaptive lookback, read-position smoothing and
// concurrent push / read. Every pushed sample carries its absolute index + 1 as its value, so a
// read frame shows exactly which far-end samples it was given (0 = no reference).
#include "reference.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <thread>
#include <vector>

namespace amberlin::core {
namespace {

constexpr std::size_t kFrame = 480;
constexpr std::size_t kCapacity = 48000;
constexpr std::size_t kHistory = 300;
constexpr double kNanosPerSample = 1e9 / 48000.0;
constexpr std::uint64_t kStartNs = 1'000'000'000'000;  // an arbitrary host time
constexpr double kMs = 1e6;

using Frame = std::array<float, kFrame>;

// Pushes consecutive far-end samples whose values are their absolute index + 1 and whose
// timestamps follow the far-end clock exactly.
class FarEnd {
  public:
    explicit FarEnd(ReferenceQueue& queue) : queue_(queue) {}

    void push(std::size_t count) {
        std::vector<float> block(count);
        for (std::size_t i = 0; i < count; ++i) {
            block[i] = static_cast<float>(next_ + i + 1);
        }
        queue_.push(block, time_of(next_));
        next_ += count;
    }

    // Host time (ns) at which far-end sample `index` is played.
    static std::uint64_t time_of(double index) {
        return kStartNs + static_cast<std::uint64_t>(index * kNanosPerSample);
    }

  private:
    ReferenceQueue& queue_;
    std::uint64_t next_ = 0;
};

double lookback_ms(const ReferenceQueue& queue) {
    std::unique_lock lock(queue.mutex());
    return queue.lookback_ns(lock) / kMs;
}

// Absolute index of the far-end sample at the frame's first position, derived from its first
// non-empty position (-1 when the frame is all silence).
std::int64_t first_index(const Frame& frame) {
    for (std::size_t i = 0; i < kFrame; ++i) {
        if (frame[i] != 0.0f) {
            return static_cast<std::int64_t>(frame[i]) - 1 - static_cast<std::int64_t>(i);
        }
    }
    return -1;
}

// True when the frame holds consecutive far-end samples.
bool is_contiguous(const Frame& frame) {
    for (std::size_t i = 1; i < kFrame; ++i) {
        if (frame[i] != frame[0] + static_cast<float>(i)) {
            return false;
        }
    }
    return true;
}

// Host time of capture frame `n` on the far end's clock (frame 0 starts with far sample 0).
std::uint64_t frame_time(std::size_t n) {
    return kStartNs + static_cast<std::uint64_t>(static_cast<double>(n * kFrame) * kNanosPerSample);
}

// A queue fed so that, at each read, the newest reference sample is a chosen time behind the end
// of the capture frame.
class LateFeed {
  public:
    // Pushes up to `late_ms` before the end of the frame captured at `capture_ns`, then reads it.
    Frame read_with_lateness(std::uint64_t capture_ns, double late_ms) {
        const double capture_end = static_cast<double>(capture_ns) + kFrame * kNanosPerSample;
        const double wanted_end = capture_end - late_ms * kMs - static_cast<double>(kStartNs);
        const auto end_index = static_cast<std::size_t>(std::llround(wanted_end / kNanosPerSample));
        if (end_index > pushed_) {
            far_.push(end_index - pushed_);
            pushed_ = end_index;
        }
        Frame frame{};
        queue.read_at(frame, capture_ns);
        return frame;
    }

    ReferenceQueue queue{kCapacity, kHistory};

  private:
    FarEnd far_{queue};
    std::size_t pushed_ = 0;
};

class ReferenceQueueTest : public ::testing::Test {
  protected:
    Frame read_with_lateness(std::uint64_t capture_ns, double late_ms) {
        return feed_.read_with_lateness(capture_ns, late_ms);
    }

    LateFeed feed_;
    ReferenceQueue& queue_ = feed_.queue;
    FarEnd far_{queue_};
};

TEST_F(ReferenceQueueTest, SilentAndUnchangedBeforeAnyPush) {
    // Without far-end audio the reference is silence and nothing adapts.
    Frame frame;
    frame.fill(7.0f);
    EXPECT_FALSE(queue_.read_at(frame, kStartNs));
    for (const float sample : frame) {
        ASSERT_EQ(sample, 0.0f);
    }
    EXPECT_EQ(lookback_ms(queue_), 0.0);
}

TEST_F(ReferenceQueueTest, OverflowKeepsNewestSamples) {
    // A push larger than the buffer keeps only the newest 48 000 samples and counts the rest.
    far_.push(60000);
    std::unique_lock lock(queue_.mutex());
    EXPECT_EQ(queue_.buffered_samples(lock), kCapacity);
    EXPECT_EQ(queue_.oldest_index(lock), 12000u);
    lock.unlock();
    far_.push(1000);  // a further push drops as many old samples as it adds
    lock.lock();
    EXPECT_EQ(queue_.buffered_samples(lock), kCapacity);
    EXPECT_EQ(queue_.oldest_index(lock), 13000u);
}

TEST_F(ReferenceQueueTest, LookbackCoversSteadyLatenessAndAligns) {
    // Reference 5 ms late: lookback = 5 + 1.5 + 2 ms from the first read on, frames continue
    // exactly, and each frame starts 8.5 ms (408 samples) before its capture time.
    std::int64_t previous_end = -1;
    for (std::size_t n = 1; n < 400; ++n) {
        const Frame frame = read_with_lateness(frame_time(n), 5.0);
        ASSERT_NEAR(lookback_ms(queue_), 8.5, 1e-3) << "frame " << n;
        ASSERT_TRUE(is_contiguous(frame)) << "frame " << n;
        EXPECT_EQ(first_index(frame), static_cast<std::int64_t>(n * kFrame) - 408) << "frame " << n;
        if (previous_end >= 0) {
            EXPECT_EQ(first_index(frame), previous_end);
        }
        previous_end = first_index(frame) + static_cast<std::int64_t>(kFrame);
    }
}

TEST_F(ReferenceQueueTest, LookbackShrinksOnlyAfterFullHistoryAndHysteresis) {
    // After the lateness falls from 5 ms to 1 ms, the old maximum must leave the 300-entry
    // history before the lookback shrinks to 1 + 1.5 ms; a fall to 3 ms (target within 5 ms of
    // the lookback) never shrinks it.
    std::size_t n = 0;
    for (; n < 350; ++n) {
        read_with_lateness(frame_time(n), 5.0);
    }
    for (std::size_t i = 1; i < kHistory; ++i, ++n) {
        read_with_lateness(frame_time(n), 1.0);
        ASSERT_NEAR(lookback_ms(queue_), 8.5, 1e-3) << "read " << i;
    }
    read_with_lateness(frame_time(n++), 1.0);
    EXPECT_NEAR(lookback_ms(queue_), 2.5, 1e-3);

    queue_.clear();
    for (std::size_t i = 0; i < 700; ++i, ++n) {
        read_with_lateness(frame_time(n), i < 50 ? 5.0 : 3.0);
    }
    EXPECT_NEAR(lookback_ms(queue_), 8.5, 1e-3);
}

TEST_F(ReferenceQueueTest, LookbackNeverExceedsCeiling) {
    // A reference that falls ever further behind raises the lookback to 200 ms and no further.
    double late_ms = 0.0;
    for (std::size_t n = 0; n < 200; ++n, late_ms += 2.0) {
        read_with_lateness(frame_time(n), late_ms);
        ASSERT_LE(lookback_ms(queue_), 200.0);
    }
    EXPECT_EQ(lookback_ms(queue_), 200.0);
}

TEST_F(ReferenceQueueTest, AlternatingJitterCausesNoCorrection) {
    // Capture timestamps jittering by +-1 ms (+-48 samples) around the position the first frame
    // established leave the read position continuous.
    std::int64_t expected = -1;
    for (std::size_t n = 2; n < 600; ++n) {
        const double jitter = n == 2 ? 0.0 : (n % 2 == 0 ? 48.0 : -48.0) * kNanosPerSample;
        const auto capture =
            static_cast<std::uint64_t>(static_cast<double>(frame_time(n)) + jitter);
        const Frame frame = read_with_lateness(capture, 4.0);
        ASSERT_TRUE(is_contiguous(frame));
        if (expected >= 0) {
            ASSERT_EQ(first_index(frame), expected) << "frame " << n;
        }
        expected = first_index(frame) + static_cast<std::int64_t>(kFrame);
    }
}

TEST_F(ReferenceQueueTest, ClockDriftIsFollowedOneSampleAtATime) {
    // A capture clock 100 ppm slow against the far end (0.048 samples per frame, 96 samples over
    // 2000 frames) is followed by single-sample steps once the smoothed drift reaches 6 samples.
    std::int64_t expected = -1;
    int corrections = 0;
    std::size_t first_correction = 0;
    for (std::size_t n = 0; n < 2000; ++n) {
        far_.push(kFrame);
        const double capture = static_cast<double>(kStartNs) +
                               static_cast<double>(n * kFrame) * kNanosPerSample * (1.0 - 1e-4) +
                               5.0 * kMs;
        Frame frame{};
        queue_.read_at(frame, static_cast<std::uint64_t>(capture));
        if (expected >= 0 && first_index(frame) != expected) {
            ASSERT_EQ(first_index(frame), expected - 1) << "frame " << n;
            first_correction = corrections++ == 0 ? n : first_correction;
        }
        expected = first_index(frame) + static_cast<std::int64_t>(kFrame);
    }
    EXPECT_GT(first_correction, 100u);  // the drift must build up first
    EXPECT_GE(corrections, 85);
    EXPECT_LE(corrections, 96);
}

TEST_F(ReferenceQueueTest, TimestampStepAboveToleranceResynchronises) {
    // A capture-time step of 97 samples moves the next frame to the new position at once; a step
    // of 96 samples is absorbed by the smoothing.
    for (const int step : {96, 97}) {
        SCOPED_TRACE(step);
        LateFeed feed;
        std::int64_t previous_end = -1;
        double offset_ns = 0.0;
        for (std::size_t n = 1; n < 40; ++n) {
            if (n == 20) {
                offset_ns = step * kNanosPerSample;
            }
            const auto capture =
                static_cast<std::uint64_t>(static_cast<double>(frame_time(n)) + offset_ns);
            const Frame frame = feed.read_with_lateness(capture, 1.0);
            ASSERT_TRUE(is_contiguous(frame)) << "frame " << n;
            if (n == 20) {
                EXPECT_EQ(first_index(frame), previous_end + (step > 96 ? step : 0));
            }
            previous_end = first_index(frame) + static_cast<std::int64_t>(kFrame);
        }
    }
}

TEST_F(ReferenceQueueTest, ClearForgetsAudioButKeepsCounting) {
    // After clear the reference is silent until the next push, the lookback is 0, and absolute
    // indices continue where they were.
    for (std::size_t n = 0; n < 20; ++n) {
        read_with_lateness(frame_time(n), 5.0);
    }
    std::unique_lock lock(queue_.mutex());
    const std::uint64_t end = queue_.oldest_index(lock) + queue_.buffered_samples(lock);
    lock.unlock();
    queue_.clear();
    lock.lock();
    EXPECT_EQ(queue_.oldest_index(lock), end);
    EXPECT_EQ(queue_.buffered_samples(lock), 0u);
    EXPECT_EQ(queue_.lookback_ns(lock), 0.0);
    lock.unlock();
    Frame frame{};
    EXPECT_FALSE(queue_.read_at(frame, frame_time(20)));

    const Frame after = read_with_lateness(frame_time(30), 2.0);
    EXPECT_TRUE(is_contiguous(after));
    EXPECT_GT(first_index(after), static_cast<std::int64_t>(end) - 1);
}

TEST(ReferenceQueueConcurrency, PushAndReadOnTwoThreads) {
    // A far-end thread pushes sequence-stamped blocks of varying length while the processing
    // thread reads frames: every frame holds an unbroken run of far-end samples.
    ReferenceQueue queue(kCapacity, kHistory);
    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> pushed{0};
    std::atomic<std::size_t> attempts{0};
    std::thread far_thread([&] {
        std::vector<float> block(512);
        std::uint64_t next = 0;
        for (std::size_t round = 0; round < 4000; ++round) {
            // Far end and capture advance at the same sample rate, however the scheduler runs
            // the two threads: the far end stays at most ten frames ahead of the reads made.
            while (next > attempts.load(std::memory_order_acquire) * kFrame + 10 * kFrame) {
                std::this_thread::yield();
            }
            const std::size_t count = 64 + (round * 37) % 449;
            for (std::size_t i = 0; i < count; ++i) {
                block[i] = static_cast<float>(next + i + 1);
            }
            queue.push(std::span(block).first(count), FarEnd::time_of(static_cast<double>(next)));
            next += count;
            pushed.store(next, std::memory_order_release);
        }
        done.store(true, std::memory_order_release);
    });
    std::size_t frames_with_reference = 0;
    while (!done.load(std::memory_order_acquire)) {
        const double newest = static_cast<double>(pushed.load(std::memory_order_acquire));
        Frame frame{};
        // Read two frames behind the newest far-end sample, once there is that much.
        if (newest < 2.0 * kFrame) {
            continue;
        }
        if (queue.read_at(frame, FarEnd::time_of(newest - 2.0 * kFrame))) {
            ++frames_with_reference;
            for (std::size_t i = 1; i < kFrame; ++i) {
                if (frame[i] != 0.0f && frame[i - 1] != 0.0f) {
                    ASSERT_EQ(frame[i], frame[i - 1] + 1.0f);
                }
            }
        }
        (void)lookback_ms(queue);
        attempts.fetch_add(1, std::memory_order_release);
    }
    far_thread.join();
    EXPECT_GT(frames_with_reference, 0u);
}

}  // namespace
}  // namespace amberlin::core
