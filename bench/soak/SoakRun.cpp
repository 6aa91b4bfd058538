// The soak's world and its event loop on a hand-driven host clock.
#include "SoakRun.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "AmberlinAudioCore/AudioPipeline.h"
#include "AmberlinAudioCore/VoiceChain.h"
#include "FreshPlugin.h"
#include "SoakScene.h"
#include "audioserver/PluginHost.h"
#include "platform/HostClock.h"
#include "platform/SimulatedAudioSystem.h"

namespace corvessa::soak {
namespace {

constexpr AudioObjectID kMicrophone = 10;
constexpr std::uint32_t kMicCycleFrames = 512;  // not a multiple of the 480-sample frame
constexpr double kRate = 48000.0;               // Hz, microphone and device
constexpr double kNanosPerFrame = 1e9 / kRate;  // the clock below ticks in ns
constexpr std::uint64_t kStartTicks = 1'000'000'000;
constexpr std::chrono::seconds kDeliveryTimeout{20};

using RingHandle = std::unique_ptr<am_shared_ring, decltype(&am_shared_ring_close)>;

std::uint64_t heapInUseKiB() {
    const struct mallinfo2 info = mallinfo2();
    return (info.uordblks + info.hblkhd) / 1024;
}

/// Everything the run needs, built in order and torn down in reverse.
class SoakWorld {
  public:
    explicit SoakWorld(const SoakOptions& options)
        : options_(options),
          scene_(std::make_shared<const SoakScene>(SoakScene::build())),
          pluginCopy_(options.pluginPath) {
        addMicrophone();
        startConsumer();
        startProducer();
        baseline_ = am_shared_ring_health(ring_.get());
    }
    ~SoakWorld() {
        pipeline_->stop();
        device_->stopIO();
    }
    SoakWorld(const SoakWorld&) = delete;
    SoakWorld& operator=(const SoakWorld&) = delete;

    SoakFigures run(const std::function<void(const SoakSample&)>& onSample);

  private:
    void addMicrophone();
    void startConsumer();
    void startProducer();
    std::uint64_t microphoneDue(std::uint64_t cycle) const;
    std::uint64_t consumerDue();
    void microphoneCycle(std::uint64_t cycle);
    void consumerCycle(SoakFigures& figures);
    bool stalled(std::uint64_t ticks) const;
    SoakSample sample(double simulatedSeconds, double wallSeconds);

    SoakOptions options_;
    std::shared_ptr<const SoakScene> scene_;
    platform::ManualHostClock clock_{kStartTicks};
    platform::ScopedHostClock installedClock_{clock_};
    std::shared_ptr<platform::SimulatedAudioSystem> system_ =
        platform::SimulatedAudioSystem::create();
    platform::ScopedAudioSystem installedSystem_{system_};
    corvessa::testing::FreshPluginCopy
        pluginCopy_;  // a fresh load: the plug-in's globals start anew
    std::shared_ptr<audioserver::PluginHost> host_;
    std::optional<audioserver::HostedDevice> device_;
    RingHandle ring_{nullptr, &am_shared_ring_close};
    std::shared_ptr<amberlin::SharedCoreVoiceProcessor> processor_;
    std::shared_ptr<FrameLedger> ledger_;
    std::shared_ptr<amberlin::AudioPipeline> pipeline_;
    std::unique_ptr<SoakConsumer> consumer_;
    am_shared_ring_health_info baseline_{};
    audioserver::ZeroTimeStamp stamp_{};
    double consumerSampleTime_ = 0.0;  // device sample time of the next consumer cycle
    float lookbackSinceSample_ = 0.0f;
    double echoReductionSum_ = 0.0;  // dB, over microphone cycles with the far end active
    std::uint64_t echoReductionCount_ = 0;
};

void SoakWorld::addMicrophone() {
    auto source = std::make_shared<platform::CallbackSource>(
        [scene = scene_](std::span<float> block, UInt32, std::uint64_t first) {
            for (std::size_t i = 0; i < block.size(); ++i) {
                block[i] = scene->micSample(first + i);
            }
        });
    if (!system_->addDevice({.id = kMicrophone,
                             .uid = "soak-mic",
                             .name = "Soak Mic",
                             .bufferFrameSize = kMicCycleFrames,
                             .source = source})) {
        throw std::runtime_error("the simulated microphone could not be added");
    }
    system_->setDefaultInputDevice(kMicrophone);
}

void SoakWorld::startConsumer() {
    host_ = std::make_shared<audioserver::PluginHost>(pluginCopy_.path());
    if (host_->initialize() != 0) {
        throw std::runtime_error("the plug-in failed to initialise");
    }
    const auto devices = host_->devices();
    if (devices.empty() || devices.front().inputStream() == 0) {
        throw std::runtime_error("the plug-in offers no input device");
    }
    device_ = devices.front();
    if (device_->startIO() != 0) {
        throw std::runtime_error("the plug-in refused to start IO");
    }
    ring_.reset(am_shared_ring_open(am_shared_ring_default_name(), true, 32, 480));
    const auto stamp = device_->zeroTimeStamp();
    if (!ring_ || !stamp) {
        throw std::runtime_error("the ring or the device clock is unavailable");
    }
    stamp_ = *stamp;
    consumerSampleTime_ = stamp_.sampleTime;
}

void SoakWorld::startProducer() {
    processor_ = std::make_shared<amberlin::SharedCoreVoiceProcessor>(
        amberlin::SuppressionMode::balanced, true, amberlin::VoiceIsolationLevel::balanced);
    ledger_ = std::make_shared<FrameLedger>(std::make_shared<amberlin::SharedVirtualMicBridge>(
        amberlin::SharedVirtualMicBridge::defaultName(), true, 32));
    pipeline_ = amberlin::AudioPipeline::make(processor_, ledger_,
                                              std::make_shared<amberlin::DeviceManager>(),
                                              std::nullopt, options_.producerLock.string());
    pipeline_->start();
    consumer_ = std::make_unique<SoakConsumer>(*device_, *ledger_, ring_.get());
}

std::uint64_t SoakWorld::microphoneDue(std::uint64_t cycle) const {
    // A microphone running `driftPpm` fast delivers its cycles that much earlier in host time.
    const double frames = static_cast<double>((cycle + 1) * kMicCycleFrames);
    const double nanos = frames * kNanosPerFrame / (1.0 + options_.driftPpm * 1e-6);
    return kStartTicks + static_cast<std::uint64_t>(std::llround(nanos));
}

std::uint64_t SoakWorld::consumerDue() {
    // As an audio server does: the cycle is due once its last frame exists on the device's
    // timeline, extrapolated from the latest zero time stamp.
    const double cycleEnd = consumerSampleTime_ + SoakConsumer::kCycleFrames;
    const double due =
        static_cast<double>(stamp_.hostTime) + (cycleEnd - stamp_.sampleTime) * kNanosPerFrame;
    return static_cast<std::uint64_t>(std::ceil(due));
}

void SoakWorld::microphoneCycle(std::uint64_t cycle) {
    // The far end's audio reaches the reference queue one microphone cycle (10.7 ms) after it
    // played, as a tap delivers it late; stamped on the capture unit's timeline (first sample at
    // the start time, then 1/48000 s per frame). So the queue must look back about that far.
    if (cycle > 0) {
        std::array<float, kMicCycleFrames> far{};
        const std::uint64_t played = (cycle - 1) * kMicCycleFrames;
        scene_->farBlock(played, far);
        const double nanos = static_cast<double>(played) * kNanosPerFrame;
        processor_->pushReference(far,
                                  kStartTicks + static_cast<std::uint64_t>(std::llround(nanos)));
    }
    if (system_->pump({.cycles = 1, .frames = kMicCycleFrames, .device = kMicrophone}) != 1) {
        throw std::runtime_error("the microphone cycle did not run");
    }
    const std::uint64_t expected = (cycle + 1) * kMicCycleFrames / 480;
    if (!ledger_->waitForWritten(expected, kDeliveryTimeout)) {
        throw std::runtime_error("the pipeline stopped delivering at microphone cycle " +
                                 std::to_string(cycle));
    }
    const amberlin::EchoMetrics echo = processor_->echoMetrics();
    lookbackSinceSample_ = std::max(lookbackSinceSample_, echo.referenceLookbackMS);
    if (echo.farEndActive) {
        echoReductionSum_ += static_cast<double>(echo.echoReductionDB);
        ++echoReductionCount_;
    }
}

bool SoakWorld::stalled(std::uint64_t ticks) const {
    if (options_.stallSeconds <= 0.0 || options_.stallEverySeconds <= 0.0) {
        return false;
    }
    const double seconds = static_cast<double>(ticks - kStartTicks) / 1e9;
    const double into = std::fmod(seconds, options_.stallEverySeconds);
    const double from = options_.stallEverySeconds / 2.0;
    return into >= from && into < from + options_.stallSeconds;
}

void SoakWorld::consumerCycle(SoakFigures& figures) {
    if (stalled(clock_.now())) {
        ++figures.stalledCycles;  // the application did not read: the device skips the cycle
    } else {
        consumer_->cycle(consumerSampleTime_);
    }
    consumerSampleTime_ += SoakConsumer::kCycleFrames;
    if (const auto stamp = device_->zeroTimeStamp()) {
        stamp_ = *stamp;
    }
}

SoakSample SoakWorld::sample(double simulatedSeconds, double wallSeconds) {
    const am_shared_ring_health_info health = am_shared_ring_health(ring_.get());
    SoakSample s;
    s.simulatedSeconds = simulatedSeconds;
    s.wallSeconds = wallSeconds;
    s.residentKiB = residentKiB();
    s.heapInUseKiB = heapInUseKiB();
    s.framesWritten = ledger_->written();
    s.framesRead = consumer_->tally().framesRead;
    s.overruns = health.overrun_count - baseline_.overrun_count;
    s.underruns = health.underrun_count - baseline_.underrun_count;
    s.maxLookbackMs = lookbackSinceSample_;
    lookbackSinceSample_ = 0.0f;
    return s;
}

SoakFigures SoakWorld::run(const std::function<void(const SoakSample&)>& onSample) {
    SoakFigures figures;
    const auto wallStart = std::chrono::steady_clock::now();
    const auto wall = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    };
    const auto cycles =
        static_cast<std::uint64_t>(std::ceil(options_.simulatedSeconds * kRate / kMicCycleFrames));
    double nextSample = options_.sampleEverySeconds;
    // Sized up front, so that the run's own record does not show as heap growth.
    figures.samples.reserve(static_cast<std::size_t>(std::ceil(options_.simulatedSeconds /
                                                               options_.sampleEverySeconds)) +
                            1);
    for (std::uint64_t cycle = 0; cycle < cycles;) {
        const std::uint64_t micAt = microphoneDue(cycle);
        const std::uint64_t consumerAt = consumerDue();
        if (consumerAt < micAt) {
            clock_.set(consumerAt);
            consumerCycle(figures);
            continue;
        }
        clock_.set(micAt);
        microphoneCycle(cycle++);
        const double simulated = static_cast<double>(cycle * kMicCycleFrames) / kRate;
        if (simulated + 1e-9 >= nextSample) {
            figures.samples.push_back(sample(simulated, wall()));
            figures.maxLookbackMs =
                std::max(figures.maxLookbackMs, figures.samples.back().maxLookbackMs);
            if (onSample) {
                onSample(figures.samples.back());
            }
            nextSample += options_.sampleEverySeconds;
        }
    }
    const am_shared_ring_health_info health = am_shared_ring_health(ring_.get());
    figures.microphoneCycles = cycles;
    figures.framesWritten = ledger_->written();
    figures.nonFiniteFrames = ledger_->nonFinite();
    figures.overruns = health.overrun_count - baseline_.overrun_count;
    figures.underruns = health.underrun_count - baseline_.underrun_count;
    figures.bufferedAtEnd = health.available_read_frames;
    figures.maxLookbackMs = std::max(figures.maxLookbackMs, lookbackSinceSample_);
    figures.meanEchoReductionDb = echoReductionCount_ > 0
                                      ? echoReductionSum_ / static_cast<double>(echoReductionCount_)
                                      : 0.0;
    figures.wallSeconds = wall();
    figures.consumer = consumer_->tally();
    return figures;
}

}  // namespace

std::uint64_t residentKiB() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0;
    std::uint64_t resident = 0;
    if (!(statm >> pages >> resident)) {
        return 0;
    }
    return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE)) / 1024;
}

SoakFigures runSoak(const SoakOptions& options,
                    const std::function<void(const SoakSample&)>& onSample) {
    SoakWorld world(options);
    return world.run(onSample);
}

}  // namespace corvessa::soak
