// The daemon as a real process against a private sound server: it publishes "Corvessa Mic" with
// the device's name and format, a recording application receives what a producer writes into
// "/amvmic", the ring's consumer count follows the recording applications, a daemon killed
// with SIGKILL is replaced by one that takes over the live source and its recording client, and
// SIGTERM takes everything away again.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <numbers>
#include <thread>
#include <vector>

#include "amberlin/am_shared_ring.h"
#include "platform/testing/ChildProcess.h"
#include "platform/testing/Eventually.h"
#include "platform/testing/PrivatePulseServer.h"

namespace {

using platform::testing::ChildProcess;
using platform::testing::PrivatePulseServer;
using platform::testing::PulseRecorder;
using namespace std::chrono_literals;

constexpr const char* kSource = "com.halvern.corvessa.mic.device";
constexpr int kRate = 48'000;
constexpr int kFrame = 480;
constexpr double kToneHz = 440.0;
constexpr double kToneAmplitude = 0.5;

using corvessa::testing::eventually;

/// Writes a sine into "/amvmic" in real time, one 10 ms frame at a time, as the helper does.
class SineProducer {
  public:
    SineProducer() : ring_(am_shared_ring_open(am_shared_ring_default_name(), true, 32, kFrame)) {
        am_shared_ring_clear(ring_);
        am_shared_ring_set_consumer_running_count(ring_, 0);  // whatever an earlier test left
        am_shared_ring_set_producer_attached(ring_, 1);
        thread_ = std::thread([this] { run(); });
    }
    ~SineProducer() {
        stop_.store(true);
        thread_.join();
        am_shared_ring_set_producer_attached(ring_, 0);
        am_shared_ring_close(ring_);
    }
    bool isOpen() const { return ring_ != nullptr; }
    uint32_t consumers() const { return am_shared_ring_health(ring_).consumer_running_count; }

  private:
    void run() {
        std::vector<float> frame(kFrame);
        long long n = 0;
        auto due = std::chrono::steady_clock::now();
        while (!stop_.load()) {
            for (float& sample : frame) {
                sample =
                    static_cast<float>(kToneAmplitude * std::sin(2.0 * std::numbers::pi * kToneHz *
                                                                 double(n++) / kRate));
            }
            am_shared_ring_write_latest(ring_, frame.data(), kFrame);
            due += 10ms;
            std::this_thread::sleep_until(due);
        }
    }

    am_shared_ring* ring_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

/// Level and frequency of the tone in the last `frames` samples: the median RMS of its 10 ms
/// pieces and the median period between upward zero crossings (interpolated), so that a frame
/// the producer missed on a loaded machine (a short gap of silence) does not bias either.
struct Tone {
    double rms = 0.0;
    double hz = 0.0;
};
double median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}
Tone lastTone(const std::vector<float>& samples, size_t frames) {
    Tone tone;
    if (samples.size() < frames) {
        return tone;
    }
    const size_t first = samples.size() - frames;
    std::vector<double> levels;
    for (size_t at = first; at + kFrame <= samples.size(); at += kFrame) {
        double energy = 0.0;
        for (size_t i = at; i < at + kFrame; ++i) {
            energy += double(samples[i]) * double(samples[i]);
        }
        levels.push_back(std::sqrt(energy / kFrame));
    }
    std::vector<double> periods;
    double lastCrossing = -1.0;
    for (size_t i = first + 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0.0f && samples[i] >= 0.0f) {
            const double before = samples[i - 1];
            const double at = double(i - 1) + before / (before - double(samples[i]));
            if (lastCrossing >= 0.0) {
                periods.push_back(at - lastCrossing);
            }
            lastCrossing = at;
        }
    }
    tone.rms = median(levels);
    const double period = median(periods);
    tone.hz = period > 0.0 ? kRate / period : 0.0;
    return tone;
}

void expectSine(const std::vector<float>& samples) {
    const Tone tone = lastTone(samples, kRate / 2);
    EXPECT_NEAR(tone.rms, kToneAmplitude / std::numbers::sqrt2, 0.02);
    EXPECT_NEAR(tone.hz, kToneHz, 5.0);
}

class DaemonTest : public ::testing::Test {
  protected:
    std::unique_ptr<ChildProcess> startDaemon(const PrivatePulseServer& server) {
        auto daemon = std::make_unique<ChildProcess>(
            std::vector<std::string>{DAEMON_PATH, "--runtime-dir", runtimeDir(server)},
            server.clientEnvironment(),
            server.folder() + "/daemon" + std::to_string(++daemons_) + ".log");
        EXPECT_TRUE(daemon->isRunning());
        return daemon;
    }
    int daemons_ = 0;
    static std::string runtimeDir(const PrivatePulseServer& server) {
        return server.folder() + "/corvessa";
    }
    static std::string sources(const PrivatePulseServer& server) {
        return server.pactl({"list", "sources"}).output;
    }
    static int countOf(const std::string& text, const std::string& needle) {
        int count = 0;
        for (size_t at = text.find(needle); at != std::string::npos;
             at = text.find(needle, at + 1)) {
            ++count;
        }
        return count;
    }
    static bool published(const PrivatePulseServer& server) {
        return sources(server).find(std::string("Name: ") + kSource) != std::string::npos;
    }
};

TEST_F(DaemonTest, PublishesTheDeviceAndSigtermTakesItAway) {
    CORVESSA_START_PULSE_SERVER_OR_SKIP(server);
    auto daemon = startDaemon(*server);
    ASSERT_TRUE(eventually([&] { return published(*server); })) << daemon->output();

    const std::string list = sources(*server);
    const size_t at = list.find(std::string("Name: ") + kSource);
    const std::string entry = list.substr(at, list.find("Properties:", at) - at);
    EXPECT_NE(entry.find("Description: Corvessa Mic\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("Sample Specification: float32le 1ch 48000Hz"), std::string::npos)
        << entry;
    EXPECT_EQ(countOf(list, "Name: com.halvern.corvessa"), 1);
    EXPECT_TRUE(std::filesystem::is_fifo(runtimeDir(*server) + "/mic.fifo"));
    EXPECT_EQ(
        std::filesystem::status(runtimeDir(*server)).permissions() & std::filesystem::perms::all,
        std::filesystem::perms::owner_all);

    EXPECT_EQ(daemon->terminate(SIGTERM), 0) << daemon->output();
    EXPECT_FALSE(published(*server));
    EXPECT_EQ(server->pactl({"list", "modules", "short"}).output.find("module-pipe-source"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(runtimeDir(*server) + "/mic.fifo"));
}

TEST_F(DaemonTest, RecordingClientReceivesTheProducersSineAndTheConsumerCountFollowsClients) {
    CORVESSA_START_PULSE_SERVER_OR_SKIP(server);
    SineProducer producer;
    ASSERT_TRUE(producer.isOpen());
    auto daemon = startDaemon(*server);
    ASSERT_TRUE(eventually([&] { return published(*server); })) << daemon->output();
    EXPECT_EQ(producer.consumers(), 0u);

    auto first = std::make_unique<PulseRecorder>(server->address(), kSource);
    ASSERT_TRUE(eventually([&] { return producer.consumers() == 1; })) << daemon->output();
    auto second = std::make_unique<PulseRecorder>(server->address(), kSource);
    ASSERT_TRUE(eventually([&] { return producer.consumers() == 2; })) << daemon->output();

    ASSERT_TRUE(first->waitForFrames(kRate * 3 / 2, 5'000));
    expectSine(first->stop());
    first.reset();
    EXPECT_TRUE(eventually([&] { return producer.consumers() == 1; })) << daemon->output();
    second.reset();
    EXPECT_TRUE(eventually([&] { return producer.consumers() == 0; })) << daemon->output();
}

TEST_F(DaemonTest, AudioWrittenBeforeAnyoneRecordedIsNotHandedToTheFirstClient) {
    CORVESSA_START_PULSE_SERVER_OR_SKIP(server);
    am_shared_ring* ring = am_shared_ring_open(am_shared_ring_default_name(), true, 32, kFrame);
    ASSERT_NE(ring, nullptr);
    am_shared_ring_clear(ring);
    auto daemon = startDaemon(*server);
    ASSERT_TRUE(eventually([&] { return published(*server); })) << daemon->output();
    const std::vector<float> stale(kFrame, 0.5f);
    for (int i = 0; i < 10; ++i) {
        am_shared_ring_write_latest(ring, stale.data(), kFrame);
    }

    PulseRecorder recorder(server->address(), kSource);
    ASSERT_TRUE(recorder.waitForFrames(kRate / 2, 5'000));
    const std::vector<float> heard = recorder.stop();
    EXPECT_EQ(std::count(heard.begin(), heard.end(), 0.5f), 0);
    am_shared_ring_close(ring);
}

TEST_F(DaemonTest, RestartAfterSigkillTakesOverTheLiveSourceAndItsRecordingClient) {
    CORVESSA_START_PULSE_SERVER_OR_SKIP(server);
    SineProducer producer;
    auto killed = startDaemon(*server);
    ASSERT_TRUE(eventually([&] { return published(*server); })) << killed->output();
    PulseRecorder recorder(server->address(), kSource);
    ASSERT_TRUE(eventually([&] { return producer.consumers() == 1; })) << killed->output();
    ASSERT_TRUE(recorder.waitForFrames(kRate / 2, 5'000));

    killed->terminate(SIGKILL);
    const size_t before = recorder.frameCount();
    auto restarted = startDaemon(*server);
    ASSERT_TRUE(eventually([&] {
        return restarted->output().find("rejoined") != std::string::npos;
    })) << restarted->output();
    EXPECT_EQ(countOf(sources(*server), "Name: com.halvern.corvessa"), 1);
    EXPECT_TRUE(recorder.isRecording());
    EXPECT_TRUE(eventually([&] { return producer.consumers() == 1; })) << restarted->output();

    // The client that kept its stream across the restart hears the producer again.
    ASSERT_TRUE(recorder.waitForFrames(before + kRate * 3 / 2, 5'000));
    expectSine(recorder.stop());
    EXPECT_TRUE(eventually([&] { return producer.consumers() == 0; })) << restarted->output();
    // Killed while a client records, restarted after it left: the count left behind is cleared.
    // (The client is a separate pacat: with no daemon feeding the source its reads never end.)
    ChildProcess pacat({"pacat", "--record", "--raw", "--device", kSource, "/dev/null"},
                       server->clientEnvironment(), server->folder() + "/pacat.log");
    EXPECT_TRUE(eventually([&] { return producer.consumers() == 1; })) << restarted->output();
    restarted->terminate(SIGKILL);
    pacat.terminate(SIGKILL);
    ASSERT_EQ(producer.consumers(), 1u);
    auto third = startDaemon(*server);
    EXPECT_TRUE(eventually([&] { return third->output().find("rejoined") != std::string::npos; }));
    EXPECT_TRUE(eventually([&] { return producer.consumers() == 0; })) << third->output();
}

}  // namespace
