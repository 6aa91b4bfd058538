// A signal source that plays a sound file (WAV or any format libsndfile reads).
//
// The file is decoded once when the source is loaded; each reader converts it to the device's
// rate (libsoxr, very-high quality) and channel count when it is opened, so reading on the IO
// thread is a plain copy. Channel mapping: output channel c takes file channel c; a mono file
// feeds every output channel; output channels beyond the file's other channels are silent.
#ifndef CORVESSA_PLATFORM_WAV_FILE_SOURCE_H
#define CORVESSA_PLATFORM_WAV_FILE_SOURCE_H

#include <memory>
#include <string>
#include <vector>

#include "platform/SignalSource.h"

namespace platform {

/// Plays a decoded sound file once (then silence) or in a loop.
class WavFileSource final : public SignalSource {
  public:
    /// Decodes `path`; null when the file cannot be opened or decoded or holds no frames.
    static std::shared_ptr<WavFileSource> load(const std::string& path, bool loop = false);

    /// The file's own rate in Hz.
    Float64 fileSampleRate() const noexcept { return sampleRate_; }
    /// Frames in the file at its own rate.
    std::size_t fileFrames() const noexcept { return samples_.size() / channels_; }

    std::unique_ptr<SignalReader> openReader(Float64 sampleRate, UInt32 channels) const override;

    /// Use load(); public only for std::make_shared.
    WavFileSource(std::vector<float> interleaved, Float64 sampleRate, UInt32 channels, bool loop);

  private:
    std::vector<float> samples_;  // interleaved, file rate
    Float64 sampleRate_;
    UInt32 channels_;
    bool loop_;
};

}  // namespace platform

#endif
