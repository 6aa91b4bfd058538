// Delay from a frame written into "/amvmic" to the same audio in a recording application of
// "Corvessa Mic", through the real daemon and a private sound server.
//
// A producer writes 10 ms frames in real time, silent but for a one-sample click every 250 ms,
// and notes when each click frame was written. A recording client (128-frame fragments, as a
// low-latency application asks) notes when each click comes out of its read. Several recording
// sessions are measured, since where the ring's read position lands relative to the producer is
// decided anew each time IO starts.
//
//   build/<dir>/bench/daemon_latency [frames-per-cycle] [sessions] [seconds-per-session]
#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "amberlin/am_shared_ring.h"
#include "platform/testing/ChildProcess.h"
#include "platform/testing/PrivatePulseServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kFrame = 480;
constexpr int kClickEveryFrames = 25;
constexpr int kReadFrames = 128;

/// Writes silent frames with periodic clicks; remembers each click's write time.
class ClickProducer {
  public:
    ClickProducer() : ring_(am_shared_ring_open(am_shared_ring_default_name(), true, 32, kFrame)) {
        am_shared_ring_clear(ring_);
        am_shared_ring_set_producer_attached(ring_, 1);
        thread_ = std::thread([this] { run(); });
    }
    ~ClickProducer() {
        stop_.store(true);
        thread_.join();
        am_shared_ring_set_producer_attached(ring_, 0);
        am_shared_ring_close(ring_);
    }
    /// Empty-ring reads of the consumer so far (each one hands out 10 ms of silence).
    uint64_t underruns() const { return am_shared_ring_health(ring_).underrun_count; }
    /// The write time of the latest click written at or before `t`.
    std::optional<Clock::time_point> clickBefore(Clock::time_point t) {
        std::lock_guard lock(mutex_);
        auto after = std::upper_bound(clicks_.begin(), clicks_.end(), t);
        if (after == clicks_.begin()) {
            return std::nullopt;
        }
        return *std::prev(after);
    }

  private:
    void run() {
        std::vector<float> silence(kFrame, 0.0f);
        std::vector<float> click(kFrame, 0.0f);
        click[0] = 0.9f;
        auto due = Clock::now();
        for (long frame = 0; !stop_.load(); ++frame) {
            const bool isClick = frame % kClickEveryFrames == 0;
            am_shared_ring_write_latest(ring_, (isClick ? click : silence).data(), kFrame);
            if (isClick) {
                std::lock_guard lock(mutex_);
                clicks_.push_back(Clock::now());
            }
            due += 10ms;
            std::this_thread::sleep_until(due);
        }
    }

    am_shared_ring* ring_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Clock::time_point> clicks_;
    std::thread thread_;
};

/// One recording session: the delay of every click heard, in milliseconds.
std::vector<double> recordSession(const std::string& server, ClickProducer& producer,
                                  std::chrono::seconds length) {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, 48'000, 1};
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.fragsize = kReadFrames * sizeof(float);
    int error = 0;
    pa_simple* stream =
        pa_simple_new(server.c_str(), "daemon_latency", PA_STREAM_RECORD,
                      "com.halvern.corvessa.mic.device", "latency", &spec, nullptr, &attr, &error);
    std::vector<double> delays;
    if (stream == nullptr) {
        std::fprintf(stderr, "cannot record: %s\n", pa_strerror(error));
        return delays;
    }
    std::vector<float> block(kReadFrames);
    const auto end = Clock::now() + length;
    while (Clock::now() < end) {
        if (pa_simple_read(stream, block.data(), block.size() * sizeof(float), &error) < 0) {
            break;
        }
        const auto heard = Clock::now();
        if (std::any_of(block.begin(), block.end(), [](float s) { return s > 0.5f; })) {
            if (const auto written = producer.clickBefore(heard)) {
                delays.push_back(
                    std::chrono::duration<double, std::milli>(heard - *written).count());
            }
        }
    }
    pa_simple_free(stream);
    return delays;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * double(values.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cycle = argc > 1 ? argv[1] : "128";
    const int sessions = argc > 2 ? std::atoi(argv[2]) : 6;
    const auto seconds = std::chrono::seconds(argc > 3 ? std::atoi(argv[3]) : 5);
    auto started = platform::testing::PrivatePulseServer::start();
    if (!started) {
        std::fprintf(stderr, "no private sound server: %s\n", started.error().c_str());
        return 1;
    }
    auto& server = **started;
    ClickProducer producer;
    platform::testing::ChildProcess daemon(
        {DAEMON_PATH, "--frames-per-cycle", cycle, "--runtime-dir", server.folder() + "/corvessa"},
        server.clientEnvironment(), server.folder() + "/daemon.log");
    std::this_thread::sleep_for(1s);

    std::vector<double> all;
    for (int session = 0; session < sessions; ++session) {
        const uint64_t underrunsBefore = producer.underruns();
        const auto delays = recordSession(server.address(), producer, seconds);
        if (delays.empty()) {
            std::fprintf(stderr, "session %d heard no click\n%s", session, daemon.output().c_str());
            return 1;
        }
        std::printf("session %d: %zu clicks, median %.1f ms, max %.1f ms, %llu underruns\n",
                    session, delays.size(), percentile(delays, 0.5), percentile(delays, 1.0),
                    static_cast<unsigned long long>(producer.underruns() - underrunsBefore));
        all.insert(all.end(), delays.begin(), delays.end());
        std::this_thread::sleep_for(300ms);
    }
    std::printf("cycle %s frames: %zu clicks, median %.1f ms, p95 %.1f ms, max %.1f ms\n",
                cycle.c_str(), all.size(), percentile(all, 0.5), percentile(all, 0.95),
                percentile(all, 1.0));
    return 0;
}
