// Cost of the three conversions the front end runs: a capture block from a 44.1 kHz stereo
// device to 48 kHz mono (converter kept across blocks), a 10 ms local frame to the 16 kHz track
// (kept across frames), and a far-end buffer to the track through a fresh converter flushed at
// end of stream.
#include <benchmark/benchmark.h>

#include <cmath>

#include "platform/AudioConverter.h"

namespace {

using platform::AudioConverter;
using platform::AudioFormat;
using platform::CommonFormat;
using platform::PCMBuffer;
using In = platform::AudioConverterInputStatus;

AudioFormat f32(double rate, std::uint32_t channels, bool interleaved) {
    return *AudioFormat::make(CommonFormat::pcmFormatFloat32, rate, channels, interleaved);
}

std::shared_ptr<PCMBuffer> tone(const AudioFormat& format, std::uint32_t frames) {
    auto buffer = PCMBuffer::make(format, frames);
    for (std::uint32_t c = 0; c < format.channelCount(); ++c) {
        for (std::uint32_t i = 0; i < frames; ++i) {
            buffer->floatChannelData()[c][i * buffer->stride()] =
                0.5f * std::sin(0.13f * static_cast<float>(i));
        }
    }
    buffer->setFrameLength(frames);
    return buffer;
}

/// Hands `input` over once per call, then `after`.
void convertOnce(AudioConverter& converter, PCMBuffer& output, const PCMBuffer& input, In after) {
    bool given = false;
    converter.convert(output, [&](std::uint32_t, In& status) -> const PCMBuffer* {
        status = given ? after : In::haveData;
        given = true;
        return status == In::haveData ? &input : nullptr;
    });
}

void BM_CaptureBlock44k1StereoTo48kMono(benchmark::State& state) {
    const AudioFormat from = f32(44100, 2, true);
    auto converter = AudioConverter::make(from, f32(48000, 1, true));
    auto input = tone(from, 441);
    auto output = PCMBuffer::make(converter->outputFormat(), 544);
    for (auto _ : state) {
        convertOnce(*converter, *output, *input, In::noDataNow);
        benchmark::DoNotOptimize(output->floatChannelData()[0][0]);
    }
}
BENCHMARK(BM_CaptureBlock44k1StereoTo48kMono);

void BM_LocalFrame48kTo16k(benchmark::State& state) {
    const AudioFormat from = f32(48000, 1, false);
    auto converter = AudioConverter::make(from, f32(16000, 1, false));
    auto input = tone(from, 480);
    auto output = PCMBuffer::make(converter->outputFormat(), 176);
    for (auto _ : state) {
        convertOnce(*converter, *output, *input, In::noDataNow);
        benchmark::DoNotOptimize(output->floatChannelData()[0][0]);
    }
}
BENCHMARK(BM_LocalFrame48kTo16k);

void BM_FarEndBufferFreshConverter48kStereoTo16k(benchmark::State& state) {
    const AudioFormat from = f32(48000, 2, false);
    const AudioFormat to = f32(16000, 1, false);
    auto input = tone(from, 480);
    auto output = PCMBuffer::make(to, 176);
    for (auto _ : state) {
        auto converter = AudioConverter::make(from, to);
        convertOnce(*converter, *output, *input, In::endOfStream);
        benchmark::DoNotOptimize(output->floatChannelData()[0][0]);
    }
}
BENCHMARK(BM_FarEndBufferFreshConverter48kStereoTo16k);

}  // namespace

BENCHMARK_MAIN();
