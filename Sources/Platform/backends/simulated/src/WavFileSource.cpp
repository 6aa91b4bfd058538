// Sound-file source: decode with libsndfile, convert per reader with libsoxr, copy on the IO
// thread.
#include "platform/WavFileSource.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace platform {
namespace {

/// Resamples interleaved `input` from `fromRate` to `toRate` Hz; empty on failure.
std::vector<float> resample(const std::vector<float>& input, UInt32 channels, Float64 fromRate,
                            Float64 toRate) {
    const std::size_t inFrames = input.size() / channels;
    const auto outFrames = static_cast<std::size_t>(std::ceil(inFrames * toRate / fromRate));
    std::vector<float> output(outFrames * channels);
    std::size_t done = 0;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    const soxr_error_t error =
        soxr_oneshot(fromRate, toRate, channels, input.data(), inFrames, nullptr, output.data(),
                     outFrames, &done, nullptr, &quality, nullptr);
    if (error != nullptr) {
        return {};
    }
    output.resize(done * channels);
    return output;
}

/// Maps interleaved frames from `from` channels to `to` channels (see the header's rule).
std::vector<float> remapChannels(const std::vector<float>& input, UInt32 from, UInt32 to) {
    if (from == to) {
        return input;
    }
    const std::size_t frames = input.size() / from;
    std::vector<float> output(frames * to, 0.0f);
    for (std::size_t f = 0; f < frames; ++f) {
        for (UInt32 c = 0; c < to; ++c) {
            const bool mapped = c < from || from == 1;
            output[f * to + c] = mapped ? input[f * from + (c < from ? c : 0)] : 0.0f;
        }
    }
    return output;
}

/// Copies from a prepared buffer, looping or padding with silence.
class FileReader final : public SignalReader {
  public:
    FileReader(std::vector<float> samples, bool loop) : samples_(std::move(samples)), loop_(loop) {}

    void read(std::span<float> out) noexcept override {
        std::size_t written = 0;
        while (written < out.size()) {
            if (position_ >= samples_.size()) {
                if (!loop_ || samples_.empty()) {
                    std::fill(out.begin() + static_cast<std::ptrdiff_t>(written), out.end(), 0.0f);
                    return;
                }
                position_ = 0;
            }
            const std::size_t count = std::min(out.size() - written, samples_.size() - position_);
            std::copy_n(samples_.begin() + static_cast<std::ptrdiff_t>(position_), count,
                        out.begin() + static_cast<std::ptrdiff_t>(written));
            position_ += count;
            written += count;
        }
    }

  private:
    std::vector<float> samples_;  // interleaved in the reader's channel count and rate
    std::size_t position_ = 0;    // next sample (not frame) to copy
    bool loop_;
};

}  // namespace

WavFileSource::WavFileSource(std::vector<float> interleaved, Float64 sampleRate, UInt32 channels,
                             bool loop)
    : samples_(std::move(interleaved)), sampleRate_(sampleRate), channels_(channels), loop_(loop) {}

std::shared_ptr<WavFileSource> WavFileSource::load(const std::string& path, bool loop) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        return nullptr;
    }
    std::vector<float> samples;
    if (info.frames > 0 && info.channels > 0 && info.samplerate > 0) {
        samples.resize(static_cast<std::size_t>(info.frames) *
                       static_cast<std::size_t>(info.channels));
        const sf_count_t read = sf_readf_float(file, samples.data(), info.frames);
        samples.resize(static_cast<std::size_t>(std::max<sf_count_t>(read, 0)) *
                       static_cast<std::size_t>(info.channels));
    }
    sf_close(file);
    if (samples.empty()) {
        return nullptr;
    }
    return std::make_shared<WavFileSource>(std::move(samples), info.samplerate,
                                           static_cast<UInt32>(info.channels), loop);
}

std::unique_ptr<SignalReader> WavFileSource::openReader(Float64 sampleRate, UInt32 channels) const {
    std::vector<float> prepared = samples_;
    if (sampleRate > 0 && sampleRate != sampleRate_) {
        prepared = resample(prepared, channels_, sampleRate_, sampleRate);
    }
    prepared = remapChannels(prepared, channels_, std::max<UInt32>(channels, 1));
    return std::make_unique<FileReader>(std::move(prepared), loop_);
}

}  // namespace platform
