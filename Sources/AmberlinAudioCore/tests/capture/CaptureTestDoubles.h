// Test doubles for the capture pipeline: one event log shared by a spying audio system (which
// wraps the simulated one and logs every capture-unit call), a recording frame sink and a
// scriptable noise processor, so a test can check the order of events across all three.
#ifndef AMBERLINAUDIOCORE_TESTS_CAPTURETESTDOUBLES_H
#define AMBERLINAUDIOCORE_TESTS_CAPTURETESTDOUBLES_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AmberlinAudioCore/AudioFrame.h"
#include "AmberlinAudioCore/VirtualMicBridge.h"
#include "platform/AudioSystem.h"
#include "platform/SimulatedAudioSystem.h"

namespace capture_test {

/// Events in the order they happened, from any thread.
class EventLog {
  public:
    void add(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::vector<std::string> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    /// The events logged since `start` (an earlier events().size()).
    std::vector<std::string> since(std::size_t start) const {
        std::lock_guard lock(mutex_);
        return {events_.begin() + static_cast<std::ptrdiff_t>(start), events_.end()};
    }
    std::size_t count(const std::string& event) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(std::count(events_.begin(), events_.end(), event));
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

/// What the spying system saw beyond the log.
struct SpyState {
    std::atomic<int> liveUnits{0};              // created and not yet disposed
    std::atomic<int> propertyCalls{0};          // AudioObject* calls of any kind
    std::atomic<AudioObjectID> boundDevice{0};  // last CurrentDevice written
};

/// Forwards every call to a simulated unit and logs the control calls.
class SpyUnit final : public platform::AudioUnitInstance {
  public:
    SpyUnit(AudioComponentInstance inner, EventLog& log, SpyState& state)
        : inner_(inner), log_(log), state_(state) {}

    OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void* data, UInt32 size) noexcept override {
        if (id == kAudioOutputUnitProperty_CurrentDevice && data != nullptr) {
            state_.boundDevice = *static_cast<const AudioObjectID*>(data);
        }
        return inner_->setProperty(id, scope, element, data, size);
    }
    OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* data, UInt32& ioSize) noexcept override {
        return inner_->getProperty(id, scope, element, data, ioSize);
    }
    OSStatus initialize() noexcept override {
        return logged("unit.initialize", inner_->initialize());
    }
    OSStatus uninitialize() noexcept override {
        return logged("unit.uninitialize", inner_->uninitialize());
    }
    OSStatus start() noexcept override { return logged("unit.start", inner_->start()); }
    OSStatus stop() noexcept override { return logged("unit.stop", inner_->stop()); }
    OSStatus render(AudioUnitRenderActionFlags* flags, const AudioTimeStamp* time, UInt32 bus,
                    UInt32 frames, AudioBufferList* data) noexcept override {
        return inner_->render(flags, time, bus, frames, data);
    }
    OSStatus dispose() noexcept override {
        const OSStatus status = logged("unit.dispose", inner_->dispose());
        if (status == 0) {
            --state_.liveUnits;
            delete this;
        }
        return status;
    }

  private:
    OSStatus logged(const char* event, OSStatus status) {
        log_.add(event);
        return status;
    }

    AudioComponentInstance inner_;
    EventLog& log_;
    SpyState& state_;
};

/// The simulated system behind a spy: units are wrapped, property calls counted.
class SpyAudioSystem final : public platform::AudioSystem {
  public:
    SpyAudioSystem(std::shared_ptr<platform::SimulatedAudioSystem> inner, EventLog& log)
        : inner_(std::move(inner)), log_(log) {}

    SpyState& state() noexcept { return state_; }

    bool hasProperty(AudioObjectID object,
                     const AudioObjectPropertyAddress& address) noexcept override {
        ++state_.propertyCalls;
        return inner_->hasProperty(object, address);
    }
    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 UInt32 qualifierSize, const void* qualifier,
                                 UInt32& outSize) noexcept override {
        ++state_.propertyCalls;
        return inner_->getPropertyDataSize(object, address, qualifierSize, qualifier, outSize);
    }
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             UInt32 qualifierSize, const void* qualifier, UInt32& ioSize,
                             void* outData) noexcept override {
        ++state_.propertyCalls;
        return inner_->getPropertyData(object, address, qualifierSize, qualifier, ioSize, outData);
    }
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             UInt32 qualifierSize, const void* qualifier, UInt32 size,
                             const void* data) noexcept override {
        ++state_.propertyCalls;
        return inner_->setPropertyData(object, address, qualifierSize, qualifier, size, data);
    }
    AudioComponent findNextComponent(
        AudioComponent after, const AudioComponentDescription& description) noexcept override {
        return inner_->findNextComponent(after, description);
    }
    OSStatus newInstance(AudioComponent component,
                         AudioComponentInstance& outInstance) noexcept override {
        const OSStatus status = inner_->newInstance(component, outInstance);
        if (status == 0 && outInstance != nullptr) {
            outInstance = new SpyUnit(outInstance, log_, state_);
            ++state_.liveUnits;
            log_.add("unit.new");
        }
        return status;
    }

  private:
    std::shared_ptr<platform::SimulatedAudioSystem> inner_;
    EventLog& log_;
    SpyState state_;
};

/// Keeps every frame written and logs attach, detach and clear.
class RecordingSink final : public amberlin::AudioFrameSink {
  public:
    explicit RecordingSink(EventLog& log) : log_(log) {}

    void attachProducer() override { log_.add("sink.attach"); }
    void detachProducer() override { log_.add("sink.detach"); }
    bool write(const amberlin::AudioFrame& frame) override { return writeLatest(frame); }
    bool writeLatest(const amberlin::AudioFrame& frame) override {
        std::lock_guard lock(mutex_);
        frames_.push_back(frame);
        arrived_.notify_all();
        return true;
    }
    void clear() override { log_.add("sink.clear"); }

    /// Waits up to 10 s until at least `count` frames have arrived.
    bool waitForFrames(std::size_t count) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return frames_.size() >= count; });
    }
    std::vector<amberlin::AudioFrame> frames() const {
        std::lock_guard lock(mutex_);
        return frames_;
    }

  private:
    EventLog& log_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<amberlin::AudioFrame> frames_;
};

/// Scales every frame by `gain`, records what it saw, and can be told to refuse.
class ScriptedProcessor final : public amberlin::NoiseProcessor {
  public:
    explicit ScriptedProcessor(EventLog& log) : log_(log) {}

    using NoiseProcessor::prepare;

    std::atomic<float> gain{1.0f};
    std::atomic<bool> refusePrepare{false};
    std::atomic<bool> refuseFrames{false};

    amberlin::NoiseProcessorType type() const override {
        return amberlin::NoiseProcessorType::rnnoise;
    }
    amberlin::SuppressionMode mode() const override { return amberlin::SuppressionMode::balanced; }
    void setMode(amberlin::SuppressionMode) override {}
    amberlin::ProcessorMetrics metrics() const override { return {}; }
    std::string engineName() const override { return "scripted"; }
    void prepare(double sampleRate, std::int64_t channels) override {
        log_.add("processor.prepare");
        if (refusePrepare) {
            throw amberlin::NoiseProcessorError::unsupportedChannelCount(channels + 1);
        }
        preparedRate = sampleRate;
    }
    amberlin::AudioFrame process(const amberlin::AudioFrame& frame) override {
        return process(frame, 0);
    }
    amberlin::AudioFrame process(const amberlin::AudioFrame& frame,
                                 std::uint64_t hostTimeNanos) override {
        {
            std::lock_guard lock(mutex_);
            times_.push_back(hostTimeNanos);
            seen_.push_back(frame);
        }
        if (refuseFrames) {
            throw amberlin::NoiseProcessorError::processingFailed();
        }
        amberlin::AudioFrame out = frame;
        for (float& sample : out.samples) {
            sample *= gain.load();
        }
        return out;
    }
    void reset() override { log_.add("processor.reset"); }

    std::vector<std::uint64_t> times() const {
        std::lock_guard lock(mutex_);
        return times_;
    }
    std::vector<amberlin::AudioFrame> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }

    std::atomic<double> preparedRate{0.0};

  private:
    EventLog& log_;
    mutable std::mutex mutex_;
    std::vector<std::uint64_t> times_;
    std::vector<amberlin::AudioFrame> seen_;
};

}  // namespace capture_test

#endif
