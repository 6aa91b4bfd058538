// Echo canceller: pass-through without far end, convergence on a synthetic echo path, double
// talk, echo-path change, reset and robustness. Signals are generated: white far-end noise, an
// echo path of a 40 ms direct path plus an exponentially decaying train of reflections, and a
// speech-like near-end talker (voiced harmonics under a syllable-rate envelope).
#include "aec.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

namespace amberlin::core {
namespace {

constexpr std::size_t kFrame = EchoCanceller::kFrameSamples;
constexpr std::size_t kDelay = 512;       // output latency in samples
constexpr std::size_t kEchoDelay = 1920;  // 40 ms direct path
constexpr double kRate = 48000.0;
using Frame = std::array<float, kFrame>;

// Deterministic uniform noise in [-1, 1) (xorshift, identical on every platform).
class Noise {
  public:
    explicit Noise(std::uint32_t seed) : state_(seed) {}
    float next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<float>(state_ >> 8) / 8388608.0f - 1.0f;
    }

  private:
    std::uint32_t state_;
};

double energy(const std::vector<float>& signal, std::size_t begin, std::size_t end) {
    double sum = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
        sum += static_cast<double>(signal[i]) * static_cast<double>(signal[i]);
    }
    return sum;
}

double db(double ratio) {
    return 10.0 * std::log10(ratio);
}

// Far end, echo and near end of one scene, sample by sample, plus the canceller's output.
struct Scene {
    std::vector<float> far;
    std::vector<float> echo;
    std::vector<float> near;  // near-end talker, without echo
    std::vector<float> output;

    float mic(std::size_t i) const { return echo[i] + near[i]; }
};

// Echo path: unit direct path at 40 ms, then reflections every 16 samples decaying with a 10 ms
// time constant, scaled so white far-end noise at -20 dBFS gives an echo of about -25 dBFS.
std::vector<float> echo_path() {
    Noise noise(7);
    std::vector<float> taps(kEchoDelay + 1600, 0.0f);
    taps[kEchoDelay] = 1.0f;
    for (std::size_t j = 16; j < 1600; j += 16) {
        taps[kEchoDelay + j] = 0.5f * std::exp(-static_cast<float>(j) / 480.0f) * noise.next();
    }
    double norm = 0.0;
    for (const float tap : taps) {
        norm += static_cast<double>(tap) * static_cast<double>(tap);
    }
    const auto scale = static_cast<float>(std::pow(10.0, -5.0 / 20.0) / std::sqrt(norm));
    for (float& tap : taps) {
        tap *= scale;
    }
    return taps;
}

Scene make_scene(std::size_t frames, std::uint32_t seed) {
    Scene scene;
    const std::size_t length = frames * kFrame;
    Noise noise(seed);
    scene.far.resize(length);
    for (float& sample : scene.far) {
        sample = 0.1f * std::sqrt(3.0f) * noise.next();  // RMS 0.1 = -20 dBFS
    }
    scene.echo.assign(length, 0.0f);
    const std::vector<float> taps = echo_path();
    for (std::size_t t = 0; t < taps.size(); ++t) {
        if (taps[t] == 0.0f) {
            continue;
        }
        for (std::size_t i = t; i < length; ++i) {
            scene.echo[i] += taps[t] * scene.far[i - t];
        }
    }
    scene.near.assign(length, 0.0f);
    return scene;
}

// Adds a talker at about -19 dBFS (6 dB above the echo) between samples `begin` and `end`.
void add_talker(Scene& scene, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double envelope = 0.5 * (1.0 - std::cos(2.0 * std::numbers::pi * 4.0 * t));
        double voiced = 0.0;
        for (int h = 1; h <= 12; ++h) {
            voiced += std::sin(2.0 * std::numbers::pi * 140.0 * h * t + h) / h;
        }
        scene.near[i] = static_cast<float>(0.2 * envelope * voiced);
    }
}

// Runs frames [first, last) of the scene through the canceller into scene.output.
void run(EchoCanceller& canceller, Scene& scene, std::size_t first, std::size_t last) {
    scene.output.resize(scene.far.size());
    Frame input;
    Frame reference;
    Frame output;
    for (std::size_t f = first; f < last; ++f) {
        for (std::size_t i = 0; i < kFrame; ++i) {
            input[i] = scene.mic(f * kFrame + i);
            reference[i] = scene.far[f * kFrame + i];
        }
        canceller.process(input, reference, output);
        std::copy(output.begin(), output.end(), scene.output.begin() + f * kFrame);
    }
}

// Energy of the echo left in the output over frames [first, last), relative to the echo, in dB;
// the near-end talker (delayed like the output) is taken out first.
double residual_echo_db(const Scene& scene, std::size_t first, std::size_t last) {
    double residual = 0.0;
    for (std::size_t i = first * kFrame; i < last * kFrame; ++i) {
        const double error = scene.output[i] - scene.near[i - kDelay];
        residual += error * error;
    }
    return db(residual / energy(scene.echo, first * kFrame - kDelay, last * kFrame - kDelay));
}

TEST(EchoCancellerTest, SilentReferencePassesMicrophoneDelayed) {
    // Without far-end signal the output is the input 512 samples later, the first 512 output
    // samples are zero, and no echo is reported.
    EchoCanceller canceller(kRate, 250.0);
    Noise noise(3);
    std::vector<float> input(100 * kFrame);
    for (float& sample : input) {
        sample = 0.8f * noise.next();
    }
    const Frame silence{};
    Frame output;
    float worst = 0.0f;
    for (std::size_t f = 0; f < 100; ++f) {
        canceller.process(std::span<const float, kFrame>(input.data() + f * kFrame, kFrame),
                          silence, output);
        for (std::size_t i = 0; i < kFrame; ++i) {
            const std::size_t n = f * kFrame + i;
            const float expected = n < kDelay ? 0.0f : input[n - kDelay];
            if (n < kDelay) {
                ASSERT_LT(std::abs(output[i]), 1e-6f) << "sample " << n;  // rounding only
            }
            worst = std::max(worst, std::abs(output[i] - expected));
        }
    }
    EXPECT_LT(worst, 1e-5f);  // transform rounding: about -100 dB re full scale
    EXPECT_FALSE(canceller.far_end_active());
    EXPECT_EQ(canceller.echo_reduction_db(), 0.0f);
    EXPECT_EQ(canceller.echo_delay_ms(), 0.0f);
}

TEST(EchoCancellerTest, ConvergesOnSyntheticEcho) {
    // A -25 dBFS echo with a 40 ms direct path and no noise: the delay estimate lands in the
    // partition that holds 40 ms (37.3 ms) or its neighbour, and within 10 s the echo reduction
    // climbs above 40 dB and the residual echo in the output falls below -50 dB (measured here:
    // 78 dB and -105 dB).
    Scene scene = make_scene(1000, 11);
    EchoCanceller canceller(kRate, 250.0);
    run(canceller, scene, 0, 200);
    const float early_reduction = canceller.echo_reduction_db();
    run(canceller, scene, 200, 1000);
    EXPECT_TRUE(canceller.far_end_active());
    EXPECT_NEAR(canceller.echo_delay_ms(), 40.0f, 256.0f / 48.0f);
    EXPECT_GT(canceller.echo_reduction_db(), 40.0f);
    EXPECT_GT(canceller.echo_reduction_db(), early_reduction);
    EXPECT_LT(residual_echo_db(scene, 900, 1000), -50.0);
}

TEST(EchoCancellerTest, DoubleTalkLeavesForegroundIntact) {
    // A louder near-end talker joins a converged canceller for 3 s. The background adapts on
    // the talker's error, but the foreground is neither replaced nor discarded: the delay
    // estimate never moves, and the echo is removed as soon as the talker stops (a foreground
    // taken from the disturbed background would need to reconverge first).
    Scene scene = make_scene(1000, 12);
    add_talker(scene, 600 * kFrame, 900 * kFrame);
    EchoCanceller canceller(kRate, 250.0);
    run(canceller, scene, 0, 600);
    const float delay = canceller.echo_delay_ms();
    ASSERT_LT(residual_echo_db(scene, 550, 600), -30.0);
    for (std::size_t f = 600; f < 1000; ++f) {
        run(canceller, scene, f, f + 1);
        ASSERT_EQ(canceller.echo_delay_ms(), delay) << "frame " << f;
    }
    EXPECT_LT(residual_echo_db(scene, 900, 910), -20.0);
    EXPECT_LT(residual_echo_db(scene, 950, 1000), -30.0);
}

TEST(EchoCancellerTest, InvertedEchoPathDiscardsForegroundAndReconverges) {
    // When the echo path flips sign the foreground adds echo instead of removing it; it is
    // zeroed (delay estimate 0) within a few frames, and the canceller adapts to the new path.
    Scene scene = make_scene(1400, 13);
    for (std::size_t i = 600 * kFrame; i < scene.echo.size(); ++i) {
        scene.echo[i] = -scene.echo[i];
    }
    EchoCanceller canceller(kRate, 250.0);
    run(canceller, scene, 0, 600);
    ASSERT_GT(canceller.echo_delay_ms(), 30.0f);
    bool zeroed = false;
    for (std::size_t f = 600; f < 605; ++f) {
        run(canceller, scene, f, f + 1);
        zeroed = zeroed || canceller.echo_delay_ms() == 0.0f;
    }
    EXPECT_TRUE(zeroed);
    run(canceller, scene, 605, 1400);
    EXPECT_NEAR(canceller.echo_delay_ms(), 40.0f, 256.0f / 48.0f);
    EXPECT_LT(residual_echo_db(scene, 1300, 1400), -30.0);
}

TEST(EchoCancellerTest, ResetRestartsFromScratch) {
    // After reset a converged canceller behaves exactly like a new one: bit-identical output
    // (starting with 512 samples of silence) and cleared metrics.
    Scene scene = make_scene(700, 14);
    EchoCanceller used(kRate, 250.0);
    run(used, scene, 0, 500);
    ASSERT_GT(used.echo_reduction_db(), 10.0f);
    used.reset();
    EXPECT_EQ(used.echo_reduction_db(), 0.0f);
    EXPECT_EQ(used.echo_delay_ms(), 0.0f);
    EXPECT_FALSE(used.far_end_active());
    Scene fresh_scene = scene;
    EchoCanceller fresh(kRate, 250.0);
    run(used, scene, 500, 700);
    run(fresh, fresh_scene, 500, 700);
    for (std::size_t i = 500 * kFrame; i < 700 * kFrame; ++i) {
        ASSERT_EQ(scene.output[i], fresh_scene.output[i]) << "sample " << i;
    }
    EXPECT_LT(std::abs(scene.output[500 * kFrame + kDelay - 1]), 1e-6f);
    EXPECT_EQ(used.echo_reduction_db(), fresh.echo_reduction_db());
}

TEST(EchoCancellerTest, NonFiniteAndAbsurdSamplesDoNotPoisonState) {
    // NaN and infinity in either input count as silence, and finite samples near the float
    // maximum (whose squares would overflow the block energies and spectra for good) are bounded:
    // the output stays finite and the canceller cancels the echo again within two seconds.
    Scene scene = make_scene(900, 15);
    EchoCanceller canceller(kRate, 250.0);
    run(canceller, scene, 0, 600);
    scene.echo[600 * kFrame + 10] = std::numeric_limits<float>::quiet_NaN();
    scene.far[600 * kFrame + 20] = std::numeric_limits<float>::infinity();
    scene.echo[600 * kFrame + 30] = 3e38f;
    scene.far[600 * kFrame + 40] = -3e38f;
    run(canceller, scene, 600, 900);
    for (std::size_t i = 600 * kFrame; i < 900 * kFrame; ++i) {
        ASSERT_TRUE(std::isfinite(scene.output[i])) << "sample " << i;
    }
    EXPECT_TRUE(std::isfinite(canceller.echo_reduction_db()));
    EXPECT_LT(residual_echo_db(scene, 800, 900), -30.0);
}

TEST(EchoCancellerTest, PartitionCountCoversTail) {
    // 250 ms at 48 kHz needs 47 partitions of 256 samples; degenerate lengths give one.
    EXPECT_EQ(EchoCanceller(kRate, 250.0).partitions(), 47u);
    EXPECT_EQ(EchoCanceller(16000.0, 250.0).partitions(), 16u);
    EXPECT_EQ(EchoCanceller(kRate, 0.0).partitions(), 1u);
    EXPECT_EQ(EchoCanceller(kRate, std::nan("")).partitions(), 1u);
    EXPECT_EQ(EchoCanceller(kRate, -5.0).partitions(), 1u);
}

}  // namespace
}  // namespace amberlin::core
