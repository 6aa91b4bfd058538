// Echo path: the wrapped microphone's signal plus the bus heard through the room's reflections
// and a white noise floor.
#include "platform/SimulatedEchoPath.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <span>

#include "platform/HostTime.h"
#include "platform/SimulatedAudioSystem.h"

namespace platform {
namespace {

constexpr double kBusFramesPerMs = SimulatedSpeakerBus::kSampleRate / 1000.0;

/// Frames of echo computed at a time; sizes the stream's scratch block.
constexpr std::size_t kChunkFrames = 256;

/// Uniform white noise from a 64-bit xorshift generator: real-time safe and reproducible.
class WhiteNoise {
  public:
    WhiteNoise(float rms, std::uint64_t seed)
        : peak_(rms * std::sqrt(3.0f)), state_(seed == 0 ? 0x9E3779B97F4A7C15u : seed) {}

    /// The next sample, uniform in [-peak, peak) with the RMS asked for.
    float next() noexcept {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        const double unit = static_cast<double>(state_ >> 11) * 0x1.0p-53;  // [0, 1)
        return peak_ * static_cast<float>(2.0 * unit - 1.0);
    }

  private:
    float peak_;
    std::uint64_t state_;
};

/// The wrapped stream plus the echo of the bus and the noise floor.
class EchoStream final : public DeviceInputStream {
  public:
    EchoStream(std::unique_ptr<DeviceInputStream> microphone, DeviceInputFormat format,
               std::shared_ptr<const SimulatedSpeakerBus> bus,
               const std::vector<Reflection>& reflections, float noiseRMS, std::uint64_t seed)
        : microphone_(std::move(microphone)),
          channels_(format.channels),
          step_(SimulatedSpeakerBus::kSampleRate / format.sampleRate),
          bus_(std::move(bus)),
          reflections_(reflections),
          noise_(noiseRMS, seed) {}

    void read(float* interleaved, UInt32 frames, const AudioTimeStamp& time) noexcept override {
        microphone_->read(interleaved, frames, time);
        const double start =
            SimulatedSpeakerBus::positionAt(AudioConvertHostTimeToNanos(time.mHostTime));
        for (UInt32 done = 0; done < frames;) {
            const auto count =
                static_cast<UInt32>(std::min<std::size_t>(kChunkFrames, frames - done));
            addEcho(interleaved + static_cast<std::size_t>(done) * channels_, count,
                    start + static_cast<double>(done) * step_);
            done += count;
        }
    }

  private:
    /// Adds `frames` frames of echo and noise, the first heard at bus position `position`.
    void addEcho(float* interleaved, UInt32 frames, double position) noexcept {
        const std::span<float> echo(echo_.data(), frames);
        std::fill(echo.begin(), echo.end(), 0.0f);
        for (const Reflection& path : reflections_) {
            bus_->mixInto(echo, 1, position - path.delayFrames, step_, path.gain);
        }
        for (UInt32 i = 0; i < frames; ++i) {
            const float heard = echo[i] + noise_.next();
            for (UInt32 c = 0; c < channels_; ++c) {
                interleaved[static_cast<std::size_t>(i) * channels_ + c] += heard;
            }
        }
    }

    std::unique_ptr<DeviceInputStream> microphone_;
    UInt32 channels_;
    double step_;  // bus frames per microphone frame
    std::shared_ptr<const SimulatedSpeakerBus> bus_;
    std::vector<Reflection> reflections_;
    WhiteNoise noise_;
    std::array<float, kChunkFrames> echo_{};
};

}  // namespace

std::vector<Reflection> roomReflections(const RoomEcho& room) {
    std::vector<Reflection> paths{{room.delayMs * kBusFramesPerMs, room.gain}};
    std::mt19937_64 random(room.seed);
    std::uniform_real_distribution<double> when(0.0, room.tailMs);
    std::uniform_real_distribution<float> size(0.25f, 1.0f);
    std::bernoulli_distribution negative(0.5);
    const double decay = std::max(room.tailDecayMs, 1e-3);
    for (std::uint32_t k = 0; k < room.reflections && room.tailMs > 0.0; ++k) {
        const double after = when(random);
        const auto envelope = static_cast<float>(std::exp(-after / decay));
        const float sign = negative(random) ? -1.0f : 1.0f;
        paths.push_back({(room.delayMs + after) * kBusFramesPerMs,
                         sign * room.gain * room.tailLevel * envelope * size(random)});
    }
    return paths;
}

EchoingMicrophone::EchoingMicrophone(std::shared_ptr<AudioDeviceProvider> microphone,
                                     std::shared_ptr<const SimulatedSpeakerBus> bus,
                                     const RoomEcho& room)
    : microphone_(std::move(microphone)),
      bus_(std::move(bus)),
      reflections_(roomReflections(room)),
      noiseFloorRMS_(room.noiseFloorRMS),
      seed_(room.seed) {}

bool EchoingMicrophone::hasProperty(const AudioObjectPropertyAddress& address) const noexcept {
    return microphone_->hasProperty(address);
}

OSStatus EchoingMicrophone::getPropertyDataSize(const AudioObjectPropertyAddress& address,
                                                UInt32 qualifierSize, const void* qualifier,
                                                UInt32& outSize) const noexcept {
    return microphone_->getPropertyDataSize(address, qualifierSize, qualifier, outSize);
}

OSStatus EchoingMicrophone::getPropertyData(const AudioObjectPropertyAddress& address,
                                            UInt32 qualifierSize, const void* qualifier,
                                            UInt32& ioSize, void* outData) const noexcept {
    return microphone_->getPropertyData(address, qualifierSize, qualifier, ioSize, outData);
}

OSStatus EchoingMicrophone::setPropertyData(const AudioObjectPropertyAddress& address,
                                            UInt32 qualifierSize, const void* qualifier,
                                            UInt32 size, const void* data) noexcept {
    return microphone_->setPropertyData(address, qualifierSize, qualifier, size, data);
}

DeviceInputFormat EchoingMicrophone::inputFormat() const noexcept {
    return microphone_->inputFormat();
}

UInt32 EchoingMicrophone::ioBufferFrameSize() const noexcept {
    return microphone_->ioBufferFrameSize();
}

std::expected<std::unique_ptr<DeviceInputStream>, OSStatus> EchoingMicrophone::startInput() {
    auto stream = microphone_->startInput();
    if (!stream) {
        return std::unexpected(stream.error());
    }
    return std::make_unique<EchoStream>(std::move(*stream), inputFormat(), bus_, reflections_,
                                        noiseFloorRMS_, seed_);
}

std::shared_ptr<SimulatedDevice> addMicrophoneWithEcho(SimulatedAudioSystem& system,
                                                       SimulatedDeviceConfig config,
                                                       const RoomEcho& room) {
    auto device = std::make_shared<SimulatedDevice>(std::move(config));
    auto heard = std::make_shared<EchoingMicrophone>(device, system.speakerBus(), room);
    return system.addDevice(device->id(), std::move(heard)) ? device : nullptr;
}

}  // namespace platform
