// Signals that simulated devices deliver: silence, a sine, white or pink noise, or whatever a
// callback writes. WAV files are in platform/WavFileSource.h.
//
// A source is an immutable description shared by devices; every client that starts IO on a
// device opens a reader of its own, so two clients never share generator state.
//
// Threads: openReader runs on a control thread and may allocate. SignalReader::read runs on a
// real-time IO thread: it never allocates, locks or blocks (a callback source runs whatever its
// callback does).
#ifndef CORVESSA_PLATFORM_SIGNAL_SOURCE_H
#define CORVESSA_PLATFORM_SIGNAL_SOURCE_H

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "platform/CoreAudioTypes.h"

namespace platform {

/// One client's position in a signal.
class SignalReader {
  public:
    virtual ~SignalReader();
    /// Writes the next `interleaved.size() / channels` frames; every channel of a generated
    /// signal carries the same samples.
    virtual void read(std::span<float> interleaved) noexcept = 0;
};

/// A signal description from which readers are opened.
class SignalSource {
  public:
    virtual ~SignalSource();
    /// A reader producing the signal at `sampleRate` Hz in `channels` interleaved channels.
    virtual std::unique_ptr<SignalReader> openReader(Float64 sampleRate, UInt32 channels) const = 0;
};

/// All zeros.
class SilenceSource final : public SignalSource {
  public:
    std::unique_ptr<SignalReader> openReader(Float64 sampleRate, UInt32 channels) const override;
};

/// amplitude · sin(2π · frequency · t), starting at phase 0 for every reader.
class SineSource final : public SignalSource {
  public:
    /// `frequency` in Hz, `amplitude` as a linear peak (1.0 = full scale).
    SineSource(double frequency, float amplitude);
    std::unique_ptr<SignalReader> openReader(Float64 sampleRate, UInt32 channels) const override;

  private:
    double frequency_;
    float amplitude_;
};

/// Uniform white noise in [-amplitude, amplitude), reproducible from its seed.
class WhiteNoiseSource final : public SignalSource {
  public:
    /// `amplitude` is the linear peak; the RMS is amplitude / √3.
    explicit WhiteNoiseSource(float amplitude, std::uint64_t seed = 1);
    std::unique_ptr<SignalReader> openReader(Float64 sampleRate, UInt32 channels) const override;

  private:
    float amplitude_;
    std::uint64_t seed_;
};

/// Pink (1/f, −3 dB per octave) noise, reproducible from its seed.
class PinkNoiseSource final : public SignalSource {
  public:
    /// `amplitude` scales the filtered noise so that its peak stays near this linear value.
    explicit PinkNoiseSource(float amplitude, std::uint64_t seed = 1);
    std::unique_ptr<SignalReader> openReader(Float64 sampleRate, UInt32 channels) const override;

  private:
    float amplitude_;
    std::uint64_t seed_;
};

/// Whatever a function writes: it receives the interleaved block, the channel count and the
/// index of the block's first frame since the reader was opened.
class CallbackSource final : public SignalSource {
  public:
    /// Runs on the real-time IO thread; the function must be safe to call there.
    using Fill = std::function<void(std::span<float> interleaved, UInt32 channels,
                                    std::uint64_t firstFrame)>;
    explicit CallbackSource(Fill fill);
    std::unique_ptr<SignalReader> openReader(Float64 sampleRate, UInt32 channels) const override;

  private:
    std::shared_ptr<const Fill> fill_;
};

}  // namespace platform

#endif
