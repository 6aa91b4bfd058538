#include "noise.h"

#include <array>
#include <cmath>
#include <numbers>
#include <random>

#include "levels.h"

namespace corvessa::quality {
namespace {

// Box-Muller on the standard-specified mt19937, so the noise is the same with every library.
class Gaussian {
  public:
    explicit Gaussian(std::uint32_t seed) : engine_(seed) {}

    double next() {
        const double u1 = (static_cast<double>(engine_()) + 1.0) / 4294967297.0;
        const double u2 = static_cast<double>(engine_()) / 4294967296.0;
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
    }

  private:
    std::mt19937 engine_;
};

void normalise(Signal& s, double levelDbfs) {
    applyGainDb(s, levelDbfs - rmsDbfs(s));
}

}  // namespace

Signal whiteNoise(std::size_t n, double levelDbfs, std::uint32_t seed) {
    Gaussian gaussian(seed);
    Signal out(n);
    for (float& v : out) {
        v = static_cast<float>(gaussian.next());
    }
    normalise(out, levelDbfs);
    return out;
}

Signal pinkNoise(std::size_t n, double levelDbfs, std::uint32_t seed) {
    // Paul Kellet's refined pole set (designed at 44.1 kHz; at 48 kHz the slope stays close to
    // -3 dB/octave over the speech band).
    constexpr std::array<double, 6> kPole = {0.99886, 0.99332, 0.96900, 0.86650, 0.55000, -0.7616};
    constexpr std::array<double, 6> kGain = {0.0555179, 0.0750759, 0.1538520,
                                             0.3104856, 0.5329522, -0.0168980};
    Gaussian gaussian(seed);
    std::array<double, 6> state{};
    double previousWhite = 0.0;
    Signal out(n);
    for (float& v : out) {
        const double white = gaussian.next();
        double sum = 0.0;
        for (std::size_t k = 0; k < state.size(); ++k) {
            state[k] = kPole[k] * state[k] + kGain[k] * white;
            sum += state[k];
        }
        v = static_cast<float>(sum + 0.5362 * white + 0.115926 * previousWhite);
        previousWhite = white;
    }
    normalise(out, levelDbfs);
    return out;
}

Signal babble(std::span<const Signal> talkers, std::size_t n, double levelDbfs) {
    Signal out(n, 0.0F);
    for (std::size_t t = 0; t < talkers.size(); ++t) {
        const Signal& talker = talkers[t];
        if (talker.empty()) {
            continue;
        }
        // Offsets spread the talkers over their own length so their pauses do not line up.
        const std::size_t offset = talker.size() * t / talkers.size();
        const double gain = std::pow(10.0, (-26.0 - activeLevelDbfs(talker)) / 20.0);
        for (std::size_t i = 0; i < n; ++i) {
            out[i] += static_cast<float>(gain) * talker[(i + offset) % talker.size()];
        }
    }
    normalise(out, levelDbfs);
    return out;
}

}  // namespace corvessa::quality
