// Conversion of captured device blocks (f32 interleaved, any rate and channel count) to the
// 48 kHz mono frame format, keeping the resampler's state from block to block.
//
// The stream is never ended: each call hands over one block and then reports "no data now", so
// the converter carries its filter state and the samples still inside it into the next block.
// Channels are reduced to mono as the platform converter does by default (averaging).
//
// Memory: the input and output buffers are allocated by reserve(), so a conversion allocates
// nothing of its own. Threads: one thread at a time (the processing queue).
#ifndef AMBERLINAUDIOCORE_CAPTURECONVERTER_H
#define AMBERLINAUDIOCORE_CAPTURECONVERTER_H

#include <cstdint>
#include <memory>
#include <span>

#include "platform/AudioConverter.h"
#include "platform/AudioFormat.h"
#include "platform/PCMBuffer.h"

namespace amberlin {

/// Streaming converter from the capture format to the output format.
class CaptureConverter {
  public:
    /// A converter from `captureFormat` to `outputFormat`; null when the platform offers none.
    static std::unique_ptr<CaptureConverter> make(const platform::AudioFormat& captureFormat,
                                                  const platform::AudioFormat& outputFormat);

    /// Sizes the buffers for blocks of up to `maximumFrames` capture frames; false (and every
    /// later conversion empty) when they cannot be allocated.
    bool reserve(std::uint32_t maximumFrames);

    /// Converts one interleaved block; the result lives until the next call. Empty when the
    /// block holds fewer samples than channels, exceeds the reserved size or the conversion
    /// fails.
    std::span<const float> convert(std::span<const float> interleaved);

  private:
    CaptureConverter(std::unique_ptr<platform::AudioConverter> converter,
                     const platform::AudioFormat& captureFormat,
                     const platform::AudioFormat& outputFormat);

    bool fillInput(std::span<const float> interleaved);

    std::unique_ptr<platform::AudioConverter> converter_;
    platform::AudioFormat captureFormat_;
    platform::AudioFormat outputFormat_;
    std::shared_ptr<platform::PCMBuffer> input_;
    std::shared_ptr<platform::PCMBuffer> output_;
};

}  // namespace amberlin

#endif
