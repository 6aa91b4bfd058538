// Fallback spectral-subtraction noise suppressor behind the flat am_noise_processor_ interface.
#include "amberlin/am_noise_processor.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <numbers>
#include <vector>

namespace {

constexpr std::size_t kFftSize = 512;
constexpr std::size_t kHop = 256;
constexpr std::size_t kBins = kFftSize / 2 + 1;
constexpr float kDcCoefficient = 0.98708f;     // DC-blocking pole, about 100 Hz at 48 kHz
constexpr std::uint32_t kLearningBlocks = 15;  // 80 ms of unconditional noise learning
constexpr double kSpeechPowerRatio = 3.0;      // block power over noise power that counts as speech
constexpr float kDivisionGuard = 1e-9f;
constexpr float kLimiterCeiling = 0.98f;

using Spectrum = std::array<float, kBins>;
using Block = std::array<float, kFftSize>;

// Gain floor and subtraction factor of one mode.
struct ModeParameters {
    float floor;
    float factor;
};

ModeParameters parametersFor(AMNoiseMode mode) {
    if (mode == AM_NOISE_MODE_LIGHT) {
        return {0.3f, 1.0f};
    }
    if (mode == AM_NOISE_MODE_MAX) {
        return {0.05f, 2.4f};
    }
    return {0.14f, 1.6f};
}

// Reorders the arrays into bit-reversed index order (first step of the iterative FFT).
void bitReverse(Block& re, Block& im) {
    for (std::size_t i = 1, j = 0; i < kFftSize; ++i) {
        std::size_t bit = kFftSize >> 1;
        for (; (j & bit) != 0; bit >>= 1) {
            j ^= bit;
        }
        j |= bit;
        if (i < j) {
            std::swap(re[i], re[j]);
            std::swap(im[i], im[j]);
        }
    }
}

// Runs all butterflies of one stage; twiddles follow a rotation recurrence from 1 in double.
void butterflyStage(Block& re, Block& im, std::size_t length, bool inverse) {
    const double angle = (inverse ? 2.0 : -2.0) * std::numbers::pi / static_cast<double>(length);
    const double stepRe = std::cos(angle);
    const double stepIm = std::sin(angle);
    const std::size_t half = length / 2;
    for (std::size_t start = 0; start < kFftSize; start += length) {
        double wRe = 1.0;
        double wIm = 0.0;
        for (std::size_t k = 0; k < half; ++k) {
            const std::size_t a = start + k;
            const std::size_t b = a + half;
            const auto twRe = static_cast<float>(wRe);
            const auto twIm = static_cast<float>(wIm);
            const float tRe = twRe * re[b] - twIm * im[b];
            const float tIm = twRe * im[b] + twIm * re[b];
            re[b] = re[a] - tRe;
            im[b] = im[a] - tIm;
            re[a] += tRe;
            im[a] += tIm;
            const double nextRe = wRe * stepRe - wIm * stepIm;
            wIm = wRe * stepIm + wIm * stepRe;
            wRe = nextRe;
        }
    }
}

// In-place radix-2 complex FFT of 512 points; the inverse is scaled by 1/512.
void fft(Block& re, Block& im, bool inverse) {
    bitReverse(re, im);
    for (std::size_t length = 2; length <= kFftSize; length *= 2) {
        butterflyStage(re, im, length, inverse);
    }
    if (inverse) {
        constexpr float scale = 1.0f / static_cast<float>(kFftSize);
        for (std::size_t i = 0; i < kFftSize; ++i) {
            re[i] *= scale;
            im[i] *= scale;
        }
    }
}

// Periodic square-root Hann window; its square sums to 1 at 50 % overlap.
Block makeWindow() {
    Block window{};
    for (std::size_t i = 0; i < kFftSize; ++i) {
        const double phase = 2.0 * std::numbers::pi * static_cast<double>(i) / kFftSize;
        window[i] = static_cast<float>(std::sqrt(0.5 * (1.0 - std::cos(phase))));
    }
    return window;
}

// Removes the first `count` samples of a queue by moving the remainder (no reallocation).
void dropFront(std::vector<float>& queue, std::size_t count) {
    std::copy(queue.begin() + static_cast<std::ptrdiff_t>(count), queue.end(), queue.begin());
    queue.resize(queue.size() - count);
}

}  // namespace

// Engine state; every buffer is sized at creation.
struct AMNoiseProcessor {
    AMNoiseProcessor(AMNoiseMode initialMode, std::uint32_t rate, std::uint32_t size)
        : mode(initialMode), sampleRate(rate), frameSize(size), window(makeWindow()) {
        // The input queue never exceeds one frame plus one hop, the output queue one frame plus
        // the blocks one call can produce; reserving both keeps processing allocation-free.
        inputQueue.reserve(frameSize + kHop);
        outputQueue.reserve(2 * static_cast<std::size_t>(frameSize) + 3 * kHop);
        smoothedGains.fill(1.0f);
    }

    std::atomic<AMNoiseMode> mode;
    std::uint32_t sampleRate;
    std::uint32_t frameSize;
    std::vector<float> inputQueue;
    std::vector<float> outputQueue;
    Block analysis{};
    Block accumulator{};
    Block window;
    Spectrum noise{};
    Spectrum smoothedGains{};
    Block re{};
    Block im{};
    std::uint32_t blockCount = 0;
    float dcPreviousInput = 0.0f;
    float dcPreviousOutput = 0.0f;
    float lastInputRms = 0.0f;
    float lastOutputRms = 0.0f;
    bool lastVoiceActive = false;
};

namespace {

// DC-blocks the frame (non-finite samples count as 0) and appends it to the input queue.
void enqueueFiltered(AMNoiseProcessor& p, const float* input, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        const float x = std::isfinite(input[i]) ? input[i] : 0.0f;
        const float y = kDcCoefficient * (p.dcPreviousOutput + x - p.dcPreviousInput);
        p.dcPreviousInput = x;
        p.dcPreviousOutput = y;
        p.inputQueue.push_back(y);
    }
}

// Shifts one hop of queued input into the analysis buffer and transforms it windowed.
void analyse(AMNoiseProcessor& p) {
    std::copy(p.analysis.begin() + kHop, p.analysis.end(), p.analysis.begin());
    std::copy_n(p.inputQueue.begin(), kHop, p.analysis.begin() + kHop);
    dropFront(p.inputQueue, kHop);
    for (std::size_t i = 0; i < kFftSize; ++i) {
        p.re[i] = p.analysis[i] * p.window[i];
        p.im[i] = 0.0f;
    }
    fft(p.re, p.im, false);
}

// Block power over noise power, with the noise estimate from before this block.
double powerRatio(const AMNoiseProcessor& p, const Spectrum& magnitude) {
    double signalPower = 0.0;
    double noisePower = 0.0;
    for (std::size_t j = 0; j < kBins; ++j) {
        const double m = static_cast<double>(magnitude[j]);
        const double n = static_cast<double>(p.noise[j]);
        signalPower += m * m;
        noisePower += n * n;
    }
    return signalPower / (noisePower + 1e-9);
}

// Spectral-subtraction gain of one bin, clamped to [floor, 1]; a non-number becomes 1.
float binGain(float noise, float magnitude, ModeParameters params) {
    const float gain = 1.0f - params.factor * noise / (magnitude + kDivisionGuard);
    if (std::isnan(gain)) {
        return 1.0f;
    }
    return std::clamp(gain, params.floor, 1.0f);
}

// Updates the noise estimate and applies the smoothed gain to every bin and its mirror.
void suppress(AMNoiseProcessor& p, const Spectrum& magnitude, double ratio, ModeParameters params) {
    const bool learning = p.blockCount < kLearningBlocks;
    for (std::size_t j = 0; j < kBins; ++j) {
        if (learning) {
            p.noise[j] = 0.9f * p.noise[j] + 0.1f * magnitude[j];
        } else if (ratio <= kSpeechPowerRatio) {
            p.noise[j] = 0.95f * p.noise[j] + 0.05f * magnitude[j];
        }
        const float gain = binGain(p.noise[j], magnitude[j], params);
        p.smoothedGains[j] = 0.6f * p.smoothedGains[j] + 0.4f * gain;
        p.re[j] *= p.smoothedGains[j];
        p.im[j] *= p.smoothedGains[j];
        if (j >= 1 && j < kBins - 1) {
            p.re[kFftSize - j] *= p.smoothedGains[j];
            p.im[kFftSize - j] *= p.smoothedGains[j];
        }
    }
}

// Inverse-transforms the block, overlap-adds it and queues one finished hop of output.
void synthesise(AMNoiseProcessor& p) {
    fft(p.re, p.im, true);
    for (std::size_t i = 0; i < kFftSize; ++i) {
        p.accumulator[i] += p.re[i] * p.window[i];
    }
    p.outputQueue.insert(p.outputQueue.end(), p.accumulator.begin(), p.accumulator.begin() + kHop);
    std::copy(p.accumulator.begin() + kHop, p.accumulator.end(), p.accumulator.begin());
    std::fill(p.accumulator.begin() + kHop, p.accumulator.end(), 0.0f);
}

// Runs one analysis block; returns whether it counted as speech.
bool processBlock(AMNoiseProcessor& p, ModeParameters params) {
    analyse(p);
    Spectrum magnitude{};
    for (std::size_t j = 0; j < kBins; ++j) {
        magnitude[j] = std::hypot(p.re[j], p.im[j]);
    }
    const double ratio = powerRatio(p, magnitude);
    suppress(p, magnitude, ratio, params);
    synthesise(p);
    const bool speech = ratio > kSpeechPowerRatio && p.blockCount >= kLearningBlocks;
    if (p.blockCount < std::numeric_limits<std::uint32_t>::max()) {
        ++p.blockCount;
    }
    return speech;
}

// Moves one frame of output out of the queue, or silence while the start-up delay lasts.
void dequeueOutput(AMNoiseProcessor& p, float* output) {
    if (p.outputQueue.size() < p.frameSize) {
        std::fill_n(output, p.frameSize, 0.0f);
        return;
    }
    std::copy_n(p.outputQueue.begin(), p.frameSize, output);
    dropFront(p.outputQueue, p.frameSize);
}

}  // namespace

AM_EXTERN_C_BEGIN

AMNoiseProcessor* am_noise_processor_create(AMNoiseMode mode, uint32_t sample_rate,
                                            uint32_t frame_size) AM_NOEXCEPT {
    if (sample_rate == 0 || frame_size == 0) {
        return nullptr;
    }
    try {
        return new AMNoiseProcessor(mode, sample_rate, frame_size);
    } catch (...) {
        return nullptr;
    }
}

void am_noise_processor_destroy(AMNoiseProcessor* processor) AM_NOEXCEPT {
    delete processor;
}

void am_noise_processor_reset(AMNoiseProcessor* processor) AM_NOEXCEPT {
    if (processor == nullptr) {
        return;
    }
    AMNoiseProcessor& p = *processor;
    p.analysis.fill(0.0f);
    p.accumulator.fill(0.0f);
    p.noise.fill(0.0f);
    p.smoothedGains.fill(1.0f);
    p.inputQueue.clear();
    p.outputQueue.clear();
    p.blockCount = 0;
    p.dcPreviousInput = 0.0f;
    p.dcPreviousOutput = 0.0f;
    p.lastInputRms = 0.0f;
    p.lastOutputRms = 0.0f;
    p.lastVoiceActive = false;
}

void am_noise_processor_set_mode(AMNoiseProcessor* processor, AMNoiseMode mode) AM_NOEXCEPT {
    if (processor != nullptr) {
        processor->mode.store(mode, std::memory_order_relaxed);
    }
}

int32_t am_noise_processor_process(AMNoiseProcessor* processor, const float* input, float* output,
                                   uint32_t sample_count) AM_NOEXCEPT {
    if (processor == nullptr || input == nullptr || output == nullptr ||
        sample_count != processor->frameSize) {
        return 0;
    }
    AMNoiseProcessor& p = *processor;
    p.lastInputRms = am_frame_rms(input, sample_count);
    enqueueFiltered(p, input, sample_count);
    const ModeParameters params = parametersFor(p.mode.load(std::memory_order_relaxed));
    bool voice = false;
    while (p.inputQueue.size() >= kHop) {
        voice = processBlock(p, params) || voice;
    }
    dequeueOutput(p, output);
    am_limiter_process(output, sample_count, kLimiterCeiling);
    p.lastOutputRms = am_frame_rms(output, sample_count);
    p.lastVoiceActive = voice;
    return 1;
}

float am_noise_processor_last_input_rms(const AMNoiseProcessor* processor) AM_NOEXCEPT {
    return processor == nullptr ? 0.0f : processor->lastInputRms;
}

float am_noise_processor_last_output_rms(const AMNoiseProcessor* processor) AM_NOEXCEPT {
    return processor == nullptr ? 0.0f : processor->lastOutputRms;
}

bool am_noise_processor_last_voice_active(const AMNoiseProcessor* processor) AM_NOEXCEPT {
    return processor != nullptr && processor->lastVoiceActive;
}

int32_t am_noise_processor_uses_neural(void) AM_NOEXCEPT {
    return 0;
}

int32_t am_rnnoise_available(void) AM_NOEXCEPT {
    return 0;
}

float am_frame_rms(const float* samples, uint32_t count) AM_NOEXCEPT {
    if (samples == nullptr || count == 0) {
        return 0.0f;
    }
    double sum = 0.0;
    for (uint32_t i = 0; i < count; ++i) {
        const double x = static_cast<double>(samples[i]);
        sum += x * x;
    }
    return static_cast<float>(std::sqrt(sum / count));
}

void am_limiter_process(float* samples, uint32_t count, float ceiling) AM_NOEXCEPT {
    if (samples == nullptr || count == 0 || !(ceiling > 0.0f)) {
        return;
    }
    float peak = 0.0f;
    for (uint32_t i = 0; i < count; ++i) {
        peak = std::max(peak, std::fabs(samples[i]));
    }
    if (!(peak > ceiling)) {
        return;
    }
    // Scaling in double makes the peak sample land exactly on the ceiling.
    const double scale = static_cast<double>(ceiling) / static_cast<double>(peak);
    for (uint32_t i = 0; i < count; ++i) {
        samples[i] = static_cast<float>(static_cast<double>(samples[i]) * scale);
    }
}

AM_EXTERN_C_END
