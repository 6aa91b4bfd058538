// Signal sources deliver what they promise: a sine's frequency and level, noise levels and
// colour, a sound file's samples at the device's rate and channel count, a callback's blocks.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <vector>

#include "platform/SignalSource.h"
#include "platform/WavFileSource.h"
#include "platform/testing/SignalMeasures.h"

namespace {

using namespace platform;
using corvessa::testing::rmsOf;

/// Reads `frames` frames of `channels` channels from a new reader of `source`.
std::vector<float> render(const SignalSource& source, Float64 rate, UInt32 channels,
                          std::size_t frames, std::size_t blockFrames = 100) {
    auto reader = source.openReader(rate, channels);
    std::vector<float> out(frames * channels);
    for (std::size_t at = 0; at < frames; at += blockFrames) {
        const std::size_t n = std::min(blockFrames, frames - at);
        reader->read(std::span<float>(out.data() + at * channels, n * channels));
    }
    return out;
}

std::size_t risingZeroCrossings(const std::vector<float>& x) {
    std::size_t count = 0;
    for (std::size_t i = 1; i < x.size(); ++i) {
        count += (x[i - 1] < 0.0f && x[i] >= 0.0f) ? 1 : 0;
    }
    return count;
}

double lagOneCorrelation(const std::vector<float>& x) {
    double num = 0, den = 0;
    for (std::size_t i = 1; i < x.size(); ++i) {
        num += double(x[i]) * double(x[i - 1]);
        den += double(x[i]) * double(x[i]);
    }
    return num / den;
}

/// Writes a float WAV file and removes it at the end of the test.
class TempWav {
  public:
    TempWav(const std::vector<float>& interleaved, int rate, int channels)
        : path_(std::filesystem::temp_directory_path() /
                ("corvessa-source-" + std::to_string(getpid()) + ".wav")) {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* file = sf_open(path_.c_str(), SFM_WRITE, &info);
        EXPECT_NE(file, nullptr);
        sf_writef_float(file, interleaved.data(), sf_count_t(interleaved.size() / channels));
        sf_close(file);
    }
    ~TempWav() { std::filesystem::remove(path_); }
    std::string path() const { return path_.string(); }

  private:
    std::filesystem::path path_;
};

TEST(SignalSource, SineHasItsFrequencyAndLevelAtEveryRate) {
    // One second of a sine crosses zero upwards once per cycle and has RMS = amplitude / √2,
    // however the reads are blocked; every channel carries the same samples.
    for (Float64 rate : {44'100.0, 48'000.0}) {
        for (double hz : {440.0, 1000.0}) {
            SCOPED_TRACE(::testing::Message() << rate << " Hz rate, " << hz << " Hz tone");
            const SineSource sine(hz, 0.5f);
            const auto stereo = render(sine, rate, 2, std::size_t(rate), 77);
            std::vector<float> left;
            for (std::size_t i = 0; i < stereo.size(); i += 2) {
                ASSERT_EQ(stereo[i], stereo[i + 1]);
                left.push_back(stereo[i]);
            }
            EXPECT_NEAR(double(risingZeroCrossings(left)), hz, 1.0);
            EXPECT_NEAR(rmsOf(left), 0.5 / std::numbers::sqrt2, 1e-3);
            EXPECT_LE(*std::max_element(left.begin(), left.end()), 0.5f);
        }
    }
}

TEST(SignalSource, NoiseHasItsLevelColourAndSeed) {
    // White noise: RMS amplitude/√3, uncorrelated neighbours, same seed same samples. Pink noise:
    // strongly correlated neighbours (its energy sits at low frequencies) and bounded peaks.
    const auto white = render(WhiteNoiseSource(0.3f, 7), 48'000, 1, 48'000);
    EXPECT_NEAR(rmsOf(white), 0.3 / std::sqrt(3.0), 0.005);
    EXPECT_NEAR(lagOneCorrelation(white), 0.0, 0.02);
    EXPECT_EQ(white, render(WhiteNoiseSource(0.3f, 7), 48'000, 1, 48'000, 480));
    EXPECT_NE(white, render(WhiteNoiseSource(0.3f, 8), 48'000, 1, 48'000));

    const auto pink = render(PinkNoiseSource(0.5f, 7), 48'000, 1, 96'000);
    EXPECT_GT(lagOneCorrelation(pink), 0.5);
    const auto [low, high] = std::minmax_element(pink.begin(), pink.end());
    EXPECT_GT(*low, -1.0f);
    EXPECT_LT(*high, 1.0f);
    EXPECT_GT(rmsOf(pink), 0.02);
}

TEST(SignalSource, CallbackReceivesConsecutiveBlocks) {
    // The callback sees each block with its first frame index, so blocks join without gaps.
    const CallbackSource source([](std::span<float> block, UInt32 channels, std::uint64_t first) {
        for (std::size_t f = 0; f < block.size() / channels; ++f) {
            block[f * channels] = float(first + f);
        }
    });
    const auto out = render(source, 48'000, 2, 250, 64);
    for (std::size_t f = 0; f < 250; ++f) {
        ASSERT_EQ(out[2 * f], float(f));
        ASSERT_EQ(out[2 * f + 1], 0.0f);
    }
}

TEST(WavFileSource, PlaysTheFileAtTheDeviceRateAndChannelCount) {
    // A mono file at the device rate plays sample for sample on every channel, then silence or
    // from the start again; at another rate its tone keeps its frequency.
    std::vector<float> samples(1000);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = std::sin(2.0f * std::numbers::pi_v<float> * 1000.0f * float(i) / 16'000.0f);
    }
    const TempWav wav(samples, 16'000, 1);
    const auto once = WavFileSource::load(wav.path());
    ASSERT_NE(once, nullptr);
    EXPECT_EQ(once->fileSampleRate(), 16'000.0);
    EXPECT_EQ(once->fileFrames(), 1000u);
    const auto stereo = render(*once, 16'000, 2, 1200, 333);
    for (std::size_t f = 0; f < 1000; ++f) {
        ASSERT_EQ(stereo[2 * f], samples[f]);
        ASSERT_EQ(stereo[2 * f + 1], samples[f]);
    }
    EXPECT_EQ(stereo[2 * 1100], 0.0f);

    const auto looped = render(*WavFileSource::load(wav.path(), true), 16'000, 1, 2500);
    EXPECT_EQ(looped[1000], samples[0]);
    EXPECT_EQ(looped[2499], samples[499]);

    const auto resampled = render(*once, 48'000, 1, 3000);
    std::vector<float> middle(resampled.begin() + 300, resampled.begin() + 2700);
    EXPECT_NEAR(double(risingZeroCrossings(middle)), 1000.0 * 2400 / 48'000, 1.0);
    EXPECT_NEAR(rmsOf(middle), 1.0 / std::numbers::sqrt2, 0.02);
}

TEST(WavFileSource, UnreadableFilesLoadAsNothing) {
    // A missing file or one that is not audio gives no source rather than a silent one.
    EXPECT_EQ(WavFileSource::load("/nonexistent/corvessa.wav"), nullptr);
    const auto path = std::filesystem::temp_directory_path() /
                      ("corvessa-not-audio-" + std::to_string(getpid()) + ".wav");
    std::FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("not a sound file", file);
    std::fclose(file);
    EXPECT_EQ(WavFileSource::load(path.string()), nullptr);
    std::filesystem::remove(path);
}

}  // namespace
