#include "platform/AudioConverter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

namespace platform {

/// The libsoxr stream and the per-channel output pointers handed to it for planar output.
struct AudioConverter::Resampler {
    soxr_t handle = nullptr;
    std::vector<float*> planes;  // sized at creation: output channels when planar, else empty

    ~Resampler() { soxr_delete(handle); }
};

/// One `convert` call: the output buffer, the frames already in it and the reason for an error.
struct AudioConverter::Run {
    PCMBuffer& output;
    std::uint32_t produced = 0;
    AudioConverterError error = AudioConverterError::none;

    std::uint32_t space() const noexcept { return output.frameCapacity() - produced; }
};

namespace {

constexpr float kInt16FullScale = 1.0f / 32768.0f;

/// A libsoxr stream for the pair, or null. Rates that differ use the variable-rate engine: it
/// emits output steadily with every block (about n x ratio frames per n input frames) after a
/// latency of a few milliseconds, where the fixed-rate engine releases bursts of ~900 frames
/// every other 10 ms block and lags by 20-30 ms. Equal rates use the fixed-rate engine, which
/// then copies exactly.
soxr_t createStream(const AudioFormat& from, const AudioFormat& to, bool planarOut) noexcept {
    const soxr_io_spec_t io =
        soxr_io_spec(SOXR_FLOAT32_I, planarOut ? SOXR_FLOAT32_S : SOXR_FLOAT32_I);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    const bool sameRate = from.sampleRate() == to.sampleRate();
    for (const unsigned long flags : {sameRate ? 0ul : SOXR_VR, 0ul}) {
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, flags);
        soxr_error_t error = nullptr;
        soxr_t stream = soxr_create(from.sampleRate(), to.sampleRate(), to.channelCount(), &error,
                                    &io, &quality, &runtime);
        if (error == nullptr && stream != nullptr) {
            return stream;
        }
        soxr_delete(stream);
    }
    return nullptr;
}

/// Copies `count` frames from `start` into interleaved float `out` with `outChannels`
/// channels, scaling by `scale`; with one output channel the input channels are averaged.
template <class T>
void stageSamples(const T* const* channels, std::uint32_t stride, std::uint32_t inChannels,
                  std::uint32_t outChannels, float scale, std::uint32_t start, std::uint32_t count,
                  float* out) noexcept {
    if (outChannels == inChannels) {
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::size_t at = static_cast<std::size_t>(start + i) * stride;
            for (std::uint32_t c = 0; c < inChannels; ++c) {
                out[i * outChannels + c] = static_cast<float>(channels[c][at]) * scale;
            }
        }
        return;
    }
    const float gain = scale / static_cast<float>(inChannels);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t at = static_cast<std::size_t>(start + i) * stride;
        float sum = 0.0f;
        for (std::uint32_t c = 0; c < inChannels; ++c) {
            sum += static_cast<float>(channels[c][at]);
        }
        out[i] = sum * gain;
    }
}

/// Input frames needed for `outFrames` output frames at the pair's ratio (at least 1).
std::uint32_t inputFramesFor(std::uint32_t outFrames, const AudioFormat& from,
                             const AudioFormat& to) noexcept {
    const double frames = std::ceil(outFrames * from.sampleRate() / to.sampleRate());
    return static_cast<std::uint32_t>(std::clamp(frames, 1.0, 4294967295.0));
}

}  // namespace

std::unique_ptr<AudioConverter> AudioConverter::make(const AudioFormat& from,
                                                     const AudioFormat& to) noexcept {
    const bool channelsOk = to.channelCount() == from.channelCount() || to.channelCount() == 1;
    if (to.commonFormat() != CommonFormat::pcmFormatFloat32 || !channelsOk) {
        return nullptr;
    }
    try {
        const bool planarOut = !to.isInterleaved() && to.channelCount() > 1;
        auto resampler = std::make_unique<Resampler>();
        resampler->handle = createStream(from, to, planarOut);
        if (resampler->handle == nullptr) {
            return nullptr;
        }
        resampler->planes.resize(planarOut ? to.channelCount() : 0);
        std::vector<float> scratch(static_cast<std::size_t>(kChunkFrames) * to.channelCount());
        return std::unique_ptr<AudioConverter>(
            new AudioConverter(from, to, std::move(resampler), std::move(scratch)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

AudioConverter::AudioConverter(const AudioFormat& from, const AudioFormat& to,
                               std::unique_ptr<Resampler> resampler,
                               std::vector<float> scratch) noexcept
    : from_(from), to_(to), resampler_(std::move(resampler)), scratch_(std::move(scratch)) {}

AudioConverter::~AudioConverter() = default;

AudioConverterOutputStatus AudioConverter::convert(PCMBuffer& output,
                                                   AudioConverterInputBlock input,
                                                   AudioConverterError* error) {
    Run run{output};
    AudioConverterOutputStatus status = AudioConverterOutputStatus::error;
    if (output.format() == to_) {
        output.setFrameLength(0);
        status = pull(run, input);
    } else {
        run.error = AudioConverterError::outputFormatMismatch;
    }
    if (error != nullptr) {
        *error = run.error;
    }
    return status;
}

void AudioConverter::reset() noexcept {
    soxr_clear(resampler_->handle);
    inputEnded_ = false;
    tailDelivered_ = false;
}

// Alternates between emptying the resampler into the output and asking for more input, until
// the output is full, the input has nothing now, or the stream's tail has been delivered.
AudioConverterOutputStatus AudioConverter::pull(Run& run, AudioConverterInputBlock input) {
    using Out = AudioConverterOutputStatus;
    for (;;) {
        if (!tailDelivered_ && run.space() > 0 && !drain(run)) {
            return Out::error;
        }
        if (tailDelivered_) {
            return Out::endOfStream;
        }
        if (run.space() == 0) {
            return Out::haveData;
        }
        auto status = AudioConverterInputStatus::noDataNow;
        const PCMBuffer* buffer = input(inputFramesFor(run.space(), from_, to_), status);
        if (status == AudioConverterInputStatus::noDataNow) {
            return Out::inputRanDry;
        }
        if (status == AudioConverterInputStatus::endOfStream) {
            inputEnded_ = true;
            continue;
        }
        if (!accept(run, buffer)) {
            return Out::error;
        }
        if (buffer->frameLength() == 0) {
            return Out::inputRanDry;  // an empty buffer is no progress: never spin on it
        }
        if (!feed(run, *buffer)) {
            return Out::error;
        }
    }
}

// A buffer handed over with haveData must exist and be in the input format.
bool AudioConverter::accept(Run& run, const PCMBuffer* buffer) const noexcept {
    if (buffer == nullptr) {
        run.error = AudioConverterError::missingInput;
    } else if (!(buffer->format() == from_)) {
        run.error = AudioConverterError::inputFormatMismatch;
    }
    return run.error == AudioConverterError::none;
}

// Moves converted frames the resampler holds into the output: pending ones while the stream
// runs, the filter tail once it has ended (a short delivery means the tail is complete).
bool AudioConverter::drain(Run& run) noexcept {
    const float none = 0.0f;
    const std::uint32_t space = run.space();
    std::size_t done = 0;
    if (!process(run, inputEnded_ ? nullptr : &none, 0, done)) {
        return false;
    }
    tailDelivered_ = inputEnded_ && done < space;
    return true;
}

// Stages the buffer through the scratch block, kChunkFrames at a time, into the resampler,
// which delivers what fits into the output and keeps the rest for later calls.
bool AudioConverter::feed(Run& run, const PCMBuffer& buffer) noexcept {
    const std::uint32_t frames = buffer.frameLength();
    for (std::uint32_t start = 0; start < frames; start += kChunkFrames) {
        const std::uint32_t count = std::min(kChunkFrames, frames - start);
        stage(buffer, start, count);
        std::size_t done = 0;
        if (!process(run, scratch_.data(), count, done)) {
            return false;
        }
    }
    return true;
}

// One libsoxr call: `count` staged frames at `in` (a null `in` flushes the filter tail) in,
// converted frames out into the output's free space.
bool AudioConverter::process(Run& run, const float* in, std::uint32_t count,
                             std::size_t& done) noexcept {
    float* const* channels = run.output.floatChannelData();
    void* out = nullptr;
    if (resampler_->planes.empty()) {
        out = channels[0] + static_cast<std::size_t>(run.produced) * to_.channelCount();
    } else {
        for (std::size_t c = 0; c < resampler_->planes.size(); ++c) {
            resampler_->planes[c] = channels[c] + run.produced;
        }
        out = resampler_->planes.data();
    }
    if (soxr_process(resampler_->handle, in, count, nullptr, out, run.space(), &done) != nullptr) {
        run.error = AudioConverterError::resamplerFailed;
        return false;
    }
    run.produced += static_cast<std::uint32_t>(done);
    run.output.setFrameLength(run.produced);
    return true;
}

void AudioConverter::stage(const PCMBuffer& buffer, std::uint32_t start,
                           std::uint32_t count) noexcept {
    const std::uint32_t in = from_.channelCount();
    const std::uint32_t out = to_.channelCount();
    if (from_.commonFormat() == CommonFormat::pcmFormatFloat32) {
        stageSamples(buffer.floatChannelData(), buffer.stride(), in, out, 1.0f, start, count,
                     scratch_.data());
    } else {
        stageSamples(buffer.int16ChannelData(), buffer.stride(), in, out, kInt16FullScale, start,
                     count, scratch_.data());
    }
}

}  // namespace platform
