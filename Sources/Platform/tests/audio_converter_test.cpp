// The streaming converter keeps tone frequency and level across many small blocks, emits the
// same samples as a one-shot conversion, honours the output-capacity rule, flushes on end of
// stream, averages channels exactly and never loses output that did not fit.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <numbers>
#include <vector>

#include "platform/AudioConverter.h"
#include "platform/testing/SignalMeasures.h"

namespace {

using platform::AudioConverter;
using platform::AudioConverterError;
using platform::AudioFormat;
using platform::CommonFormat;
using platform::PCMBuffer;
using In = platform::AudioConverterInputStatus;
using Out = platform::AudioConverterOutputStatus;

// Counts operator new calls made by this thread while counting is on.
thread_local bool gCounting = false;
thread_local int gAllocations = 0;

AudioFormat f32(double rate, std::uint32_t channels, bool interleaved) {
    return *AudioFormat::make(CommonFormat::pcmFormatFloat32, rate, channels, interleaved);
}

/// A buffer in `format` holding `frames` frames where channel c of frame i is sample(c, i).
template <class Sample>
std::shared_ptr<PCMBuffer> filled(const AudioFormat& format, std::uint32_t frames, Sample sample) {
    auto buffer = PCMBuffer::make(format, frames);
    for (std::uint32_t c = 0; c < format.channelCount(); ++c) {
        for (std::uint32_t i = 0; i < frames; ++i) {
            buffer->floatChannelData()[c][i * buffer->stride()] = sample(c, i);
        }
    }
    buffer->setFrameLength(frames);
    return buffer;
}

/// One converter call that hands over `input` once and then reports `after`.
Out convertOnce(AudioConverter& converter, PCMBuffer& output, const PCMBuffer& input,
                In after = In::noDataNow, AudioConverterError* error = nullptr) {
    bool given = false;
    return converter.convert(
        output,
        [&](std::uint32_t, In& status) -> const PCMBuffer* {
            status = given ? after : In::haveData;
            const bool first = !given;
            given = true;
            return first ? &input : nullptr;
        },
        error);
}

/// Converts `signal` (stereo interleaved 44.1 kHz) to 48 kHz mono in blocks of `block` frames
/// with a capacity of n x 48000 / 44100 + 64 per block; returns every output sample.
std::vector<float> convertInBlocks(const std::vector<float>& signal, std::uint32_t block,
                                   std::vector<std::uint32_t>* perBlock = nullptr) {
    const AudioFormat from = f32(44100, 2, true);
    auto converter = AudioConverter::make(from, f32(48000, 1, true));
    std::vector<float> result;
    const auto frames = static_cast<std::uint32_t>(signal.size() / 2);
    for (std::uint32_t start = 0; start + block <= frames; start += block) {
        auto input = filled(from, block, [&](std::uint32_t c, std::uint32_t i) {
            return signal[(start + i) * 2 + c];
        });
        const auto capacity = static_cast<std::uint32_t>(block * 48000.0 / 44100.0) + 64;
        auto output = PCMBuffer::make(converter->outputFormat(), capacity);
        EXPECT_EQ(convertOnce(*converter, *output, *input), Out::inputRanDry);
        EXPECT_LT(output->frameLength(), capacity) << "output held back at block " << start;
        result.insert(result.end(), output->floatChannelData()[0],
                      output->floatChannelData()[0] + output->frameLength());
        if (perBlock != nullptr) {
            perBlock->push_back(output->frameLength());
        }
    }
    return result;
}

/// 1 kHz at 44.1 kHz, left at 0.6 and right at 0.4 of full scale: the mono average is 0.5.
std::vector<float> stereoTone(std::uint32_t frames) {
    std::vector<float> signal(frames * 2);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const double s = std::sin(2.0 * std::numbers::pi * 1000.0 * i / 44100.0);
        signal[i * 2] = static_cast<float>(0.6 * s);
        signal[i * 2 + 1] = static_cast<float>(0.4 * s);
    }
    return signal;
}

double rmsDb(const std::vector<float>& x, std::size_t from, std::size_t to, double reference) {
    return corvessa::testing::decibels(corvessa::testing::rmsOf(x, from, to), reference);
}

/// Frequency from the rising zero crossings between `from` and `to`, at `rate` Hz.
double zeroCrossingHz(const std::vector<float>& x, std::size_t from, std::size_t to, double rate) {
    double first = -1.0;
    double last = -1.0;
    int crossings = 0;
    for (std::size_t i = from + 1; i < to; ++i) {
        if (x[i - 1] < 0.0f && x[i] >= 0.0f) {
            const double before = x[i - 1];
            const double after = x[i];
            const double at = static_cast<double>(i - 1) + before / (before - after);
            first = first < 0.0 ? at : first;
            last = at;
            ++crossings;
        }
    }
    return (crossings - 1) * rate / (last - first);
}

TEST(AudioConverter, SmallBlocksKeepToneFrequencyLevelAndMatchOneShot) {
    const std::vector<float> signal = stereoTone(44100 * 2);
    const std::vector<float> oneShot = convertInBlocks(signal, 44100 * 2);
    for (const std::uint32_t block : {441u, 128u, 97u}) {
        SCOPED_TRACE(block);
        std::vector<std::uint32_t> perBlock;
        const std::vector<float> out = convertInBlocks(signal, block, &perBlock);
        // About 5 ms stay inside the filter; nothing else is missing.
        const double expected = (signal.size() / 2 / block) * block * 48000.0 / 44100.0;
        EXPECT_GT(static_cast<double>(out.size()), expected - 300.0);
        EXPECT_LE(static_cast<double>(out.size()), expected + 1.0);
        EXPECT_NEAR(zeroCrossingHz(out, 4800, out.size(), 48000.0), 1000.0, 0.5);
        EXPECT_NEAR(rmsDb(out, 4800, out.size(), 0.5 / std::numbers::sqrt2), 0.0, 0.5);
        // Block joins add nothing: the stream equals the one-shot conversion sample for sample.
        const std::size_t common = std::min(out.size(), oneShot.size());
        double worst = 0.0;
        for (std::size_t i = 0; i < common; ++i) {
            worst = std::max(
                worst, std::fabs(static_cast<double>(out[i]) - static_cast<double>(oneShot[i])));
        }
        EXPECT_LT(worst, 1e-4);
        // Steady output: once primed, every block yields its share of frames (+-1).
        const double share = block * 48000.0 / 44100.0;
        for (std::size_t b = 5; b < perBlock.size(); ++b) {
            ASSERT_NEAR(perBlock[b], share, 1.0) << "block " << b;
        }
    }
}

TEST(AudioConverter, EndOfStreamPerBufferFlushesTheWholeTail) {
    const AudioFormat from = f32(48000, 1, false);
    const AudioFormat to = f32(16000, 1, false);
    for (const std::uint32_t frames : {480u, 4800u, 1001u}) {
        SCOPED_TRACE(frames);
        auto converter = AudioConverter::make(from, to);  // fresh per buffer, no state carried
        auto input = filled(from, frames, [](std::uint32_t, std::uint32_t i) {
            return static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * 1000.0 * i / 48000));
        });
        const auto capacity = static_cast<std::uint32_t>(std::ceil(16000.0 / 48000 * frames)) + 16;
        auto output = PCMBuffer::make(to, capacity);
        EXPECT_EQ(convertOnce(*converter, *output, *input, In::endOfStream), Out::endOfStream);
        EXPECT_NEAR(output->frameLength(), frames / 3.0, 1.0);
        if (frames == 4800) {
            std::vector<float> out(output->floatChannelData()[0],
                                   output->floatChannelData()[0] + output->frameLength());
            EXPECT_NEAR(rmsDb(out, 200, 1400, 0.5 / std::numbers::sqrt2), 0.0, 0.5);
        }
        // An ended stream stays ended until reset, then converts afresh.
        EXPECT_EQ(convertOnce(*converter, *output, *input, In::endOfStream), Out::endOfStream);
        EXPECT_EQ(output->frameLength(), 0u);
        converter->reset();
        EXPECT_EQ(convertOnce(*converter, *output, *input, In::endOfStream), Out::endOfStream);
        EXPECT_NEAR(output->frameLength(), frames / 3.0, 1.0);
    }
}

TEST(AudioConverter, TailLongerThanTheOutputComesOutOverSeveralCalls) {
    const AudioFormat from = f32(48000, 1, false);
    auto converter = AudioConverter::make(from, f32(16000, 1, false));
    auto input = filled(from, 4800, [](std::uint32_t, std::uint32_t) { return 0.25f; });
    auto output = PCMBuffer::make(converter->outputFormat(), 500);
    bool given = false;  // one stream: the buffer once, then the end, across all calls
    auto block = [&](std::uint32_t, In& status) -> const PCMBuffer* {
        status = given ? In::endOfStream : In::haveData;
        given = true;
        return status == In::haveData ? input.get() : nullptr;
    };
    std::uint32_t total = 0;
    Out status = Out::haveData;
    int calls = 0;
    for (; status == Out::haveData && calls < 10; ++calls) {
        status = converter->convert(*output, block);
        total += output->frameLength();
    }
    EXPECT_EQ(status, Out::endOfStream);
    EXPECT_EQ(calls, 4);
    EXPECT_EQ(total, 1600u);
}

TEST(AudioConverter, EqualRatesAverageChannelsExactlyAndPassMonoThrough) {
    std::srand(7);
    auto noise = [](std::uint32_t, std::uint32_t) {
        return static_cast<float>(std::rand() % 20001 - 10000) / 10000.0f;
    };
    for (const bool interleaved : {true, false}) {
        SCOPED_TRACE(interleaved);
        const AudioFormat stereo = f32(48000, 2, interleaved);
        auto converter = AudioConverter::make(stereo, f32(48000, 1, interleaved));
        auto input = filled(stereo, 1000, noise);
        auto output = PCMBuffer::make(converter->outputFormat(), 1000 + 64);
        EXPECT_EQ(convertOnce(*converter, *output, *input), Out::inputRanDry);
        ASSERT_EQ(output->frameLength(), 1000u);
        const auto s = input->stride();
        for (std::uint32_t i = 0; i < 1000; ++i) {
            const float left = input->floatChannelData()[0][i * s];
            const float right = input->floatChannelData()[1][i * s];
            ASSERT_EQ(output->floatChannelData()[0][i], (left + right) * 0.5f) << i;
        }
    }
    const AudioFormat mono = f32(48000, 1, true);
    auto passthrough = AudioConverter::make(mono, mono);
    auto input = filled(mono, 512, noise);
    auto output = PCMBuffer::make(mono, 512 + 64);
    EXPECT_EQ(convertOnce(*passthrough, *output, *input), Out::inputRanDry);
    ASSERT_EQ(output->frameLength(), 512u);
    for (std::uint32_t i = 0; i < 512; ++i) {
        ASSERT_EQ(output->floatChannelData()[0][i], input->floatChannelData()[0][i]) << i;
    }
}

TEST(AudioConverter, SixteenBitInputIsScaledAtFullScale32768) {
    const AudioFormat from = *AudioFormat::make(CommonFormat::pcmFormatInt16, 16000, 2, true);
    auto converter = AudioConverter::make(from, f32(16000, 1, false));
    auto input = PCMBuffer::make(from, 3);
    const std::int16_t samples[] = {-32768, -32768, 16384, 0, 32767, 1};
    std::copy(std::begin(samples), std::end(samples), input->int16ChannelData()[0]);
    input->setFrameLength(3);
    auto output = PCMBuffer::make(converter->outputFormat(), 64);
    convertOnce(*converter, *output, *input);
    ASSERT_EQ(output->frameLength(), 3u);
    EXPECT_EQ(output->floatChannelData()[0][0], -1.0f);
    EXPECT_EQ(output->floatChannelData()[0][1], 0.25f);
    EXPECT_EQ(output->floatChannelData()[0][2], 0.5f);
}

TEST(AudioConverter, OutputThatDoesNotFitIsDeliveredByLaterCalls) {
    const AudioFormat mono = f32(48000, 1, false);
    auto converter = AudioConverter::make(mono, mono);
    auto input =
        filled(mono, 1000, [](std::uint32_t, std::uint32_t i) { return static_cast<float>(i); });
    auto output = PCMBuffer::make(mono, 300);
    EXPECT_EQ(convertOnce(*converter, *output, *input), Out::haveData);
    std::vector<float> all(output->floatChannelData()[0], output->floatChannelData()[0] + 300);
    auto none = [](std::uint32_t, In& status) -> const PCMBuffer* {
        status = In::noDataNow;
        return nullptr;
    };
    Out status = Out::haveData;
    while (status == Out::haveData) {
        status = converter->convert(*output, none);
        all.insert(all.end(), output->floatChannelData()[0],
                   output->floatChannelData()[0] + output->frameLength());
    }
    EXPECT_EQ(status, Out::inputRanDry);
    ASSERT_EQ(all.size(), 1000u);
    for (std::uint32_t i = 0; i < 1000; ++i) {
        ASSERT_EQ(all[i], static_cast<float>(i));
    }
}

TEST(AudioConverter, RefusesUnsupportedPairsAndReportsMisuse) {
    const AudioFormat stereo = f32(44100, 2, true);
    EXPECT_EQ(AudioConverter::make(stereo, f32(48000, 3, true)), nullptr);
    EXPECT_EQ(AudioConverter::make(
                  stereo, *AudioFormat::make(CommonFormat::pcmFormatInt16, 48000, 1, true)),
              nullptr);
    auto converter = AudioConverter::make(stereo, f32(48000, 1, true));
    ASSERT_NE(converter, nullptr);
    AudioConverterError error = AudioConverterError::none;
    auto wrongOutput = PCMBuffer::make(f32(16000, 1, true), 64);
    auto input = filled(stereo, 441, [](std::uint32_t, std::uint32_t) { return 0.1f; });
    EXPECT_EQ(convertOnce(*converter, *wrongOutput, *input, In::noDataNow, &error), Out::error);
    EXPECT_EQ(error, AudioConverterError::outputFormatMismatch);
    auto output = PCMBuffer::make(converter->outputFormat(), 544);
    auto monoInput =
        filled(f32(44100, 1, true), 441, [](std::uint32_t, std::uint32_t) { return 0.1f; });
    EXPECT_EQ(convertOnce(*converter, *output, *monoInput, In::noDataNow, &error), Out::error);
    EXPECT_EQ(error, AudioConverterError::inputFormatMismatch);
    auto nothing = [](std::uint32_t, In& status) -> const PCMBuffer* {
        status = In::haveData;
        return nullptr;
    };
    EXPECT_EQ(converter->convert(*output, nothing, &error), Out::error);
    EXPECT_EQ(error, AudioConverterError::missingInput);
    EXPECT_EQ(convertOnce(*converter, *output, *input, In::noDataNow, &error), Out::inputRanDry);
    EXPECT_EQ(error, AudioConverterError::none);
}

TEST(AudioConverter, ConvertingAllocatesNothingOnceWarmedUp) {
    const AudioFormat from = f32(44100, 2, false);
    auto converter = AudioConverter::make(from, f32(48000, 1, true));
    auto input = filled(from, 441, [](std::uint32_t, std::uint32_t i) {
        return static_cast<float>(std::sin(i * 0.1));
    });
    auto output = PCMBuffer::make(converter->outputFormat(), 544);
    for (int i = 0; i < 10; ++i) {
        convertOnce(*converter, *output, *input);
    }
    gAllocations = 0;
    gCounting = true;
    for (int i = 0; i < 100; ++i) {
        convertOnce(*converter, *output, *input);
    }
    gCounting = false;
    EXPECT_EQ(gAllocations, 0);
}

}  // namespace

// The replacements pair malloc with free; optimised builds inline them and GCC then reports a
// false new/free mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    if (gCounting) {
        ++gAllocations;
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
