// Speaker bus: sounds published into lock-free slots and mixed by position on the host-time line.
#include "platform/SimulatedSpeakerBus.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/AudioHardware.h"
#include "platform/HostTime.h"

namespace platform {
namespace {

/// Positions this close to a whole frame read that frame exactly: host-time stamps are rounded
/// to whole ticks, which moves a position by far less than this.
constexpr double kSnapFrames = 1e-3;

constexpr double kNanosPerSecond = 1e9;

/// The bus position now, in frames.
double positionNow() noexcept {
    return SimulatedSpeakerBus::positionAt(AudioConvertHostTimeToNanos(AudioGetCurrentHostTime()));
}

/// `relative` moved onto a whole frame when it lies within kSnapFrames of one.
double snapped(double relative) noexcept {
    const double whole = std::round(relative);
    return std::abs(relative - whole) < kSnapFrames ? whole : relative;
}

/// Output frames [first, last) whose positions can fall in [begin, end), clamped to [0, count).
std::pair<std::size_t, std::size_t> overlap(double startFrame, double step, double begin,
                                            double end, std::size_t count) noexcept {
    const double total = static_cast<double>(count);
    const double first = std::clamp(std::floor((begin - startFrame) / step) - 1.0, 0.0, total);
    const double last = std::clamp(std::ceil((end - startFrame) / step) + 1.0, 0.0, total);
    return {static_cast<std::size_t>(first), static_cast<std::size_t>(last)};
}

}  // namespace

/// One published sound: immutable samples placed at a whole bus frame; only its end can move.
struct SimulatedSpeakerBus::Sound {
    std::vector<float> samples;  // frames × channels, interleaved
    UInt32 channels;
    std::int64_t start;             // bus frame of the first sample
    std::atomic<std::int64_t> end;  // bus frame after the last sample that plays

    /// Sample of `channel` (0 left, 1 right) at frame `index`; a mono sound answers both.
    float at(std::int64_t index, UInt32 channel) const noexcept {
        const auto i = static_cast<std::size_t>(index);
        return channels == 1 ? samples[i] : samples[i * 2 + channel];
    }
};

/// Watches one sound; keeps the bus alive so that the sound stays valid.
class SimulatedSpeakerBus::Playback final : public SystemOutputPlayback {
  public:
    Playback(std::shared_ptr<const SimulatedSpeakerBus> bus, Sound& sound)
        : bus_(std::move(bus)), sound_(sound) {}

    bool isPlaying() const noexcept override {
        return positionNow() < static_cast<double>(sound_.end.load(std::memory_order_acquire));
    }

    void stop() noexcept override {
        const auto now = static_cast<std::int64_t>(std::ceil(positionNow()));
        std::int64_t end = sound_.end.load(std::memory_order_acquire);
        const std::int64_t cut = std::max(now, sound_.start);
        while (cut < end &&
               !sound_.end.compare_exchange_weak(end, cut, std::memory_order_acq_rel)) {
        }
    }

  private:
    std::shared_ptr<const SimulatedSpeakerBus> bus_;
    Sound& sound_;
};

SimulatedSpeakerBus::SimulatedSpeakerBus() = default;

SimulatedSpeakerBus::~SimulatedSpeakerBus() = default;

double SimulatedSpeakerBus::positionAt(UInt64 hostNanos) noexcept {
    const auto seconds = static_cast<double>(hostNanos / 1'000'000'000u);
    const auto rest = static_cast<double>(hostNanos % 1'000'000'000u);
    return seconds * kSampleRate + rest * kSampleRate / kNanosPerSecond;
}

std::shared_ptr<SystemOutputPlayback> SimulatedSpeakerBus::play(
    OutputSound sound, std::optional<UInt64> startHostNanos) {
    if ((sound.channels != 1 && sound.channels != 2) || sound.samples.size() < sound.channels) {
        return nullptr;
    }
    const UInt64 startNanos = startHostNanos.value_or(
        AudioConvertHostTimeToNanos(AudioGetCurrentHostTime()) + kOutputLatencyNanos);
    auto entry = std::make_unique<Sound>();
    const auto frames = static_cast<std::int64_t>(sound.samples.size() / sound.channels);
    entry->channels = sound.channels;
    entry->samples = std::move(sound.samples);
    entry->start = static_cast<std::int64_t>(std::llround(positionAt(startNanos)));
    entry->end.store(entry->start + frames, std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    const std::size_t index = published_.load(std::memory_order_relaxed);
    if (index == kMaxSounds) {
        return nullptr;
    }
    Sound& published = *owned_.emplace_back(std::move(entry));
    slots_[index].store(&published, std::memory_order_release);
    published_.store(index + 1, std::memory_order_release);
    return std::make_shared<Playback>(shared_from_this(), published);
}

std::shared_ptr<SystemOutputPlayback> SimulatedSpeakerBus::play(
    const SignalSource& source, double seconds, std::optional<UInt64> startHostNanos) {
    const auto frames = static_cast<std::size_t>(std::max(0.0, std::round(seconds * kSampleRate)));
    OutputSound sound{std::vector<float>(frames * kChannels), kChannels};
    source.openReader(kSampleRate, kChannels)->read(sound.samples);
    return play(std::move(sound), startHostNanos);
}

OSStatus SimulatedSpeakerBus::play(OutputSound sound,
                                   std::shared_ptr<SystemOutputPlayback>& outPlayback) noexcept {
    if ((sound.channels != 1 && sound.channels != 2) || sound.samples.size() < sound.channels) {
        return kAudio_ParamError;
    }
    try {
        auto playback = play(std::move(sound));
        if (!playback) {
            return kAudioHardwareIllegalOperationError;  // the bus holds kMaxSounds already
        }
        outPlayback = std::move(playback);
        return kAudioHardwareNoError;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

std::size_t SimulatedSpeakerBus::soundCount() const noexcept {
    return published_.load(std::memory_order_acquire);
}

void SimulatedSpeakerBus::mixInto(std::span<float> out, UInt32 outChannels, double startFrame,
                                  double step, float gain) const noexcept {
    if (outChannels == 0 || !(step > 0.0) || !std::isfinite(startFrame) || !std::isfinite(step)) {
        return;
    }
    const std::size_t count = published_.load(std::memory_order_acquire);
    for (std::size_t k = 0; k < count; ++k) {
        mixSound(*slots_[k].load(std::memory_order_acquire), out, outChannels, startFrame, step,
                 gain);
    }
}

void SimulatedSpeakerBus::mixSound(const Sound& sound, std::span<float> out, UInt32 outChannels,
                                   double startFrame, double step, float gain) const noexcept {
    const std::int64_t length = sound.end.load(std::memory_order_acquire) - sound.start;
    const auto begin = static_cast<double>(sound.start);
    const auto [first, last] = overlap(startFrame, step, begin, begin + static_cast<double>(length),
                                       out.size() / outChannels);
    for (std::size_t j = first; j < last; ++j) {
        const double relative = snapped(startFrame + static_cast<double>(j) * step - begin);
        if (relative < 0.0 || relative >= static_cast<double>(length)) {
            continue;
        }
        const auto index = static_cast<std::int64_t>(relative);
        const auto frac = static_cast<float>(relative - static_cast<double>(index));
        const bool hasNext = index + 1 < length;
        float side[2];
        for (UInt32 c = 0; c < 2; ++c) {
            const float next = hasNext ? sound.at(index + 1, c) : 0.0f;
            side[c] = sound.at(index, c) + frac * (next - sound.at(index, c));
        }
        float* frame = out.data() + j * outChannels;
        if (outChannels == 1) {
            frame[0] += gain * 0.5f * (side[0] + side[1]);
            continue;
        }
        for (UInt32 c = 0; c < outChannels; ++c) {
            frame[c] += gain * side[c % 2];
        }
    }
}

}  // namespace platform
