// Generated signal sources and their readers.
#include "platform/SignalSource.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

namespace platform {
namespace {

/// Writes `value` to every channel of one frame.
void fillFrame(std::span<float> interleaved, std::size_t frame, UInt32 channels,
               float value) noexcept {
    std::fill_n(interleaved.begin() + static_cast<std::ptrdiff_t>(frame * channels), channels,
                value);
}

/// xorshift64*: a tiny, allocation-free generator whose sequence depends only on its seed.
class NoiseGenerator {
  public:
    explicit NoiseGenerator(std::uint64_t seed) noexcept : state_(seed == 0 ? 1 : seed) {}
    /// Uniform in [-1, 1).
    float next() noexcept {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        const std::uint64_t bits = (state_ * 0x2545F4914F6CDD1DULL) >> 40;  // 24 random bits
        return static_cast<float>(bits) * (2.0f / 16777216.0f) - 1.0f;
    }

  private:
    std::uint64_t state_;
};

class SilenceReader final : public SignalReader {
  public:
    void read(std::span<float> interleaved) noexcept override {
        std::fill(interleaved.begin(), interleaved.end(), 0.0f);
    }
};

class SineReader final : public SignalReader {
  public:
    SineReader(double frequency, float amplitude, Float64 sampleRate, UInt32 channels)
        : step_(2.0 * std::numbers::pi * frequency / sampleRate),
          amplitude_(amplitude),
          channels_(channels) {}

    void read(std::span<float> interleaved) noexcept override {
        const std::size_t frames = interleaved.size() / channels_;
        for (std::size_t i = 0; i < frames; ++i) {
            fillFrame(interleaved, i, channels_, amplitude_ * static_cast<float>(std::sin(phase_)));
            phase_ = std::fmod(phase_ + step_, 2.0 * std::numbers::pi);
        }
    }

  private:
    double step_;         // radians per frame
    double phase_ = 0.0;  // radians, kept in [0, 2π) so precision does not decay
    float amplitude_;
    UInt32 channels_;
};

class WhiteNoiseReader final : public SignalReader {
  public:
    WhiteNoiseReader(float amplitude, std::uint64_t seed, UInt32 channels)
        : generator_(seed), amplitude_(amplitude), channels_(channels) {}

    void read(std::span<float> interleaved) noexcept override {
        const std::size_t frames = interleaved.size() / channels_;
        for (std::size_t i = 0; i < frames; ++i) {
            fillFrame(interleaved, i, channels_, amplitude_ * generator_.next());
        }
    }

  private:
    NoiseGenerator generator_;
    float amplitude_;
    UInt32 channels_;
};

/// Paul Kellet's refined pink filter: seven one-pole sections whose sum falls at 3 dB per octave
/// within 0.05 dB above 9 Hz at 44.1 kHz (close enough at 48 kHz for test signals).
class PinkNoiseReader final : public SignalReader {
  public:
    PinkNoiseReader(float amplitude, std::uint64_t seed, UInt32 channels)
        : generator_(seed), amplitude_(amplitude * kScale), channels_(channels) {}

    void read(std::span<float> interleaved) noexcept override {
        const std::size_t frames = interleaved.size() / channels_;
        for (std::size_t i = 0; i < frames; ++i) {
            fillFrame(interleaved, i, channels_, amplitude_ * nextPink());
        }
    }

  private:
    /// Brings the filter's output (peaks near ±9 for white input in [-1, 1)) to about ±1.
    static constexpr float kScale = 0.11f;

    float nextPink() noexcept {
        const float white = generator_.next();
        b_[0] = 0.99886f * b_[0] + white * 0.0555179f;
        b_[1] = 0.99332f * b_[1] + white * 0.0750759f;
        b_[2] = 0.96900f * b_[2] + white * 0.1538520f;
        b_[3] = 0.86650f * b_[3] + white * 0.3104856f;
        b_[4] = 0.55000f * b_[4] + white * 0.5329522f;
        b_[5] = -0.7616f * b_[5] - white * 0.0168980f;
        const float pink = b_[0] + b_[1] + b_[2] + b_[3] + b_[4] + b_[5] + b_[6] + white * 0.5362f;
        b_[6] = white * 0.115926f;
        return pink;
    }

    NoiseGenerator generator_;
    float b_[7] = {};
    float amplitude_;
    UInt32 channels_;
};

class CallbackReader final : public SignalReader {
  public:
    CallbackReader(std::shared_ptr<const CallbackSource::Fill> fill, UInt32 channels)
        : fill_(std::move(fill)), channels_(channels) {}

    void read(std::span<float> interleaved) noexcept override {
        std::fill(interleaved.begin(), interleaved.end(), 0.0f);
        try {
            (*fill_)(interleaved, channels_, nextFrame_);
        } catch (...) {
            // A throwing callback leaves whatever it wrote; the IO thread must not unwind.
        }
        nextFrame_ += interleaved.size() / channels_;
    }

  private:
    std::shared_ptr<const CallbackSource::Fill> fill_;
    UInt32 channels_;
    std::uint64_t nextFrame_ = 0;
};

UInt32 atLeastOne(UInt32 channels) {
    return std::max<UInt32>(channels, 1);
}

}  // namespace

SignalReader::~SignalReader() = default;

SignalSource::~SignalSource() = default;

std::unique_ptr<SignalReader> SilenceSource::openReader(Float64, UInt32) const {
    return std::make_unique<SilenceReader>();
}

SineSource::SineSource(double frequency, float amplitude)
    : frequency_(frequency), amplitude_(amplitude) {}

std::unique_ptr<SignalReader> SineSource::openReader(Float64 sampleRate, UInt32 channels) const {
    return std::make_unique<SineReader>(frequency_, amplitude_, sampleRate, atLeastOne(channels));
}

WhiteNoiseSource::WhiteNoiseSource(float amplitude, std::uint64_t seed)
    : amplitude_(amplitude), seed_(seed) {}

std::unique_ptr<SignalReader> WhiteNoiseSource::openReader(Float64, UInt32 channels) const {
    return std::make_unique<WhiteNoiseReader>(amplitude_, seed_, atLeastOne(channels));
}

PinkNoiseSource::PinkNoiseSource(float amplitude, std::uint64_t seed)
    : amplitude_(amplitude), seed_(seed) {}

std::unique_ptr<SignalReader> PinkNoiseSource::openReader(Float64, UInt32 channels) const {
    return std::make_unique<PinkNoiseReader>(amplitude_, seed_, atLeastOne(channels));
}

CallbackSource::CallbackSource(Fill fill) : fill_(std::make_shared<const Fill>(std::move(fill))) {}

std::unique_ptr<SignalReader> CallbackSource::openReader(Float64, UInt32 channels) const {
    return std::make_unique<CallbackReader>(fill_, atLeastOne(channels));
}

}  // namespace platform
