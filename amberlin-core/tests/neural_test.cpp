// Verifies the RNNoise wrapper: creation matches the build, probabilities stay in range, states
// are deterministic and independent of each other, and moves transfer ownership.
#include "neural.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "signals.h"

namespace amberlin::core {
namespace {

using test::kFrame;

// Runs `input` (16-bit range) through `d`; returns outputs and the frames' probabilities.
std::vector<float> run(NeuralDenoiser& d, const std::vector<float>& input,
                       std::vector<float>* probabilities = nullptr) {
    std::vector<float> out(input.size());
    for (std::size_t at = 0; at + kFrame <= input.size(); at += kFrame) {
        const float p = d.process(std::span<float, kFrame>(out.data() + at, kFrame),
                                  std::span<const float, kFrame>(input.data() + at, kFrame));
        if (probabilities != nullptr) {
            probabilities->push_back(p);
        }
    }
    return out;
}

std::vector<float> scaled(std::vector<float> v) {
    for (float& x : v) {
        x *= NeuralDenoiser::kScale;
    }
    return v;
}

TEST(NeuralDenoiser, CreationMatchesTheBuild) {
    // A state exists exactly when RNNoise is built in.
    EXPECT_EQ(NeuralDenoiser::create().has_value(), NeuralDenoiser::available());
}

class NeuralDenoiserTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!NeuralDenoiser::available()) {
            GTEST_SKIP() << "built without RNNoise";
        }
    }
};

TEST_F(NeuralDenoiserTest, ProbabilitiesStayInRangeAndSeparateToneFromNoise) {
    // Every probability is within 0 ... 1, and speech scores clearly above white noise.
    std::optional<NeuralDenoiser> d = NeuralDenoiser::create();
    ASSERT_TRUE(d);
    const std::vector<float> noise = scaled(test::whiteNoise(200 * kFrame, 0.05F, 1));
    std::optional<std::vector<float>> speech = test::renderSpeech("hello there, how are you", 0.5F);
    if (!speech) {
        GTEST_SKIP() << "espeak-ng or sox is not available";
    }
    speech->resize(speech->size() / kFrame * kFrame);
    std::vector<float> noiseP;
    std::vector<float> speechP;
    run(*d, noise, &noiseP);
    run(*d, scaled(*speech), &speechP);
    auto mean = [](const std::vector<float>& v) {
        double s = 0.0;
        for (const float x : v) {
            EXPECT_GE(x, 0.0F);
            EXPECT_LE(x, 1.0F);
            s += double{x};
        }
        return s / static_cast<double>(v.size());
    };
    const double noiseMean = mean(std::vector<float>(noiseP.begin() + 50, noiseP.end()));
    const double speechMean = mean(speechP);
    EXPECT_LT(noiseMean, 0.5);
    EXPECT_GT(speechMean, noiseMean + 0.2);
}

TEST_F(NeuralDenoiserTest, StatesAreDeterministicAndIndependent) {
    // Two fresh states give bit-identical results, also when their frames are interleaved with
    // a third state's work: no state is shared between instances.
    const std::vector<float> input = scaled(test::whiteNoise(60 * kFrame, 0.1F, 2));
    const std::vector<float> other = scaled(test::sine(60 * kFrame, 300.0F, 0.5F));
    std::optional<NeuralDenoiser> a = NeuralDenoiser::create();
    std::optional<NeuralDenoiser> b = NeuralDenoiser::create();
    std::optional<NeuralDenoiser> c = NeuralDenoiser::create();
    ASSERT_TRUE(a && b && c);
    const std::vector<float> alone = run(*a, input);
    std::vector<float> interleaved(input.size());
    std::array<float, kFrame> scratch{};
    for (std::size_t at = 0; at < input.size(); at += kFrame) {
        b->process(std::span<float, kFrame>(interleaved.data() + at, kFrame),
                   std::span<const float, kFrame>(input.data() + at, kFrame));
        c->process(scratch, std::span<const float, kFrame>(other.data() + at, kFrame));
    }
    EXPECT_EQ(alone, interleaved);
}

}  // namespace
}  // namespace amberlin::core
