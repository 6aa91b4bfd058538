// One block at a time through the platform converter, with an input block that hands the block
// over once and then reports that no more data is available now.
#include "CaptureConverter.h"

#include <algorithm>
#include <cstring>

namespace amberlin {
namespace {

/// Frames the output buffer holds beyond the nominal conversion of a block (resampler jitter).
constexpr std::uint32_t kOutputHeadroomFrames = 64;

/// The state of one conversion call's input block.
struct ConverterInputState {
    bool didProvideInput = false;
    const platform::PCMBuffer* buffer;
};

}  // namespace

std::unique_ptr<CaptureConverter> CaptureConverter::make(
    const platform::AudioFormat& captureFormat, const platform::AudioFormat& outputFormat) {
    auto converter = platform::AudioConverter::make(captureFormat, outputFormat);
    if (!converter) {
        return nullptr;
    }
    return std::unique_ptr<CaptureConverter>(
        new CaptureConverter(std::move(converter), captureFormat, outputFormat));
}

CaptureConverter::CaptureConverter(std::unique_ptr<platform::AudioConverter> converter,
                                   const platform::AudioFormat& captureFormat,
                                   const platform::AudioFormat& outputFormat)
    : converter_(std::move(converter)),
      captureFormat_(captureFormat),
      outputFormat_(outputFormat) {}

bool CaptureConverter::reserve(std::uint32_t maximumFrames) {
    const double ratio = outputFormat_.sampleRate() / captureFormat_.sampleRate();
    const auto outputFrames =
        static_cast<std::uint32_t>(ratio * maximumFrames) + kOutputHeadroomFrames;
    input_ = platform::PCMBuffer::make(captureFormat_, maximumFrames);
    output_ = platform::PCMBuffer::make(outputFormat_, outputFrames);
    return input_ && output_;
}

std::span<const float> CaptureConverter::convert(std::span<const float> interleaved) {
    // The output buffer is sized for the largest block, so it holds any block's conversion.
    if (!output_ || !fillInput(interleaved)) {
        return {};
    }
    ConverterInputState state{false, input_.get()};
    const auto provide = [&state](std::uint32_t, platform::AudioConverterInputStatus& status) {
        if (state.didProvideInput) {
            status = platform::AudioConverterInputStatus::noDataNow;
            return static_cast<const platform::PCMBuffer*>(nullptr);
        }
        state.didProvideInput = true;
        status = platform::AudioConverterInputStatus::haveData;
        return state.buffer;
    };
    const auto status = converter_->convert(*output_, provide);
    const float* const* channels = output_->floatChannelData();
    if (status == platform::AudioConverterOutputStatus::error || channels == nullptr ||
        channels[0] == nullptr || output_->frameLength() == 0) {
        return {};
    }
    return {channels[0], output_->frameLength()};
}

bool CaptureConverter::fillInput(std::span<const float> interleaved) {
    const std::uint32_t channels = captureFormat_.channelCount();
    const std::size_t frames = interleaved.size() / channels;
    if (!input_ || frames == 0 || frames > input_->frameCapacity()) {
        return false;
    }
    float* const* data = input_->floatChannelData();
    if (data == nullptr || !input_->setFrameLength(static_cast<std::uint32_t>(frames))) {
        return false;
    }
    std::memcpy(data[0], interleaved.data(), frames * channels * sizeof(float));
    return true;
}

}  // namespace amberlin
