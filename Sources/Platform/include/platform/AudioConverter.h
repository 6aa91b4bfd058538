// Streaming conversion between PCM formats: sample-rate conversion (libsoxr), 16-bit to float,
// channel reduction to mono by averaging, interleaved or planar layouts.
//
// The converter pulls input through a block, in the manner of a pull-model converter:
//   - haveData hands over a buffer; its frames are copied in before the block is called again,
//     so the caller may reuse or release the buffer as soon as `convert` returns;
//   - noDataNow ends this call with what could be converted (inputRanDry); the resampler keeps
//     its filter state and the samples still inside it, and the next call carries on seamlessly;
//   - endOfStream flushes the resampler's tail into the output; after the tail has been
//     delivered every call reports endOfStream until `reset`.
// Output that does not fit into the output buffer is kept and delivered first by the next call,
// so no audio is lost when a caller's output buffer is too small.
//
// Output capacity: a call that hands over n input frames produces n x outRate / inRate frames
// (+-1) once the resampler is primed, steadily from block to block, so a buffer of that size plus
// 64 frames holds all of it. Latency depends on the ratio: about 5 ms from 44.1 to 48 kHz, 6 ms
// from 48 to 16 kHz, 30 ms from 8 to 48 kHz; the equal-rate path has none.
//
// Memory: input is staged through a scratch block of kChunkFrames frames allocated at creation;
// a call allocates nothing itself (libsoxr sizes its own queues on first use and when a caller
// leaves output undelivered).
//
// Threads: one thread at a time per converter. Exceptions thrown by the input block propagate.
#ifndef CORVESSA_PLATFORM_AUDIO_CONVERTER_H
#define CORVESSA_PLATFORM_AUDIO_CONVERTER_H

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <type_traits>
#include <vector>

#include "platform/AudioFormat.h"
#include "platform/PCMBuffer.h"

namespace platform {

/// What the input block reports with each request.
enum class AudioConverterInputStatus {
    haveData,     ///< the returned buffer holds input
    noDataNow,    ///< no input at the moment; more may come in a later call
    endOfStream,  ///< no input will ever come again
};

/// Outcome of one `convert` call.
enum class AudioConverterOutputStatus {
    haveData,     ///< the output buffer was filled to its capacity
    inputRanDry,  ///< the input block had no data now; the output holds what could be made
    endOfStream,  ///< the stream has ended and its tail has been delivered (possibly 0 frames)
    error,        ///< nothing reliable was produced; see AudioConverterError
};

/// Why a `convert` call reported an error.
enum class AudioConverterError {
    none,
    outputFormatMismatch,  ///< the output buffer's format is not the converter's output format
    inputFormatMismatch,   ///< the input block returned a buffer in another format
    missingInput,          ///< the input block reported haveData without a buffer
    resamplerFailed,       ///< libsoxr reported a failure
};

class AudioConverterInputBlock;

/// A callable that can serve as the input block (anything but an input block itself).
template <class F>
concept AudioConverterInputCallable =
    !std::same_as<std::remove_cvref_t<F>, AudioConverterInputBlock> &&
    std::is_invocable_r_v<const PCMBuffer*, F&, std::uint32_t, AudioConverterInputStatus&>;

/// Non-owning reference to the input block: (frames wanted, status out) -> buffer or null.
/// Calling through it allocates nothing, unlike a std::function holding a capturing lambda.
class AudioConverterInputBlock {
  public:
    /// Refers to `block`, which must outlive this object (pass a lambda directly to `convert`).
    /// Implicit, so that a lambda can be passed where an input block is expected.
    template <AudioConverterInputCallable F>
    AudioConverterInputBlock(F&& block) noexcept
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(block)))),
          call_(&invoke<std::remove_reference_t<F>>) {}

    /// Asks for about `frames` input frames; the block sets `status` and returns the buffer.
    const PCMBuffer* operator()(std::uint32_t frames, AudioConverterInputStatus& status) const {
        return call_(object_, frames, status);
    }

  private:
    template <class F>
    static const PCMBuffer* invoke(void* object, std::uint32_t frames,
                                   AudioConverterInputStatus& status) {
        return std::invoke(*static_cast<F*>(object), frames, status);
    }

    void* object_;
    const PCMBuffer* (*call_)(void*, std::uint32_t, AudioConverterInputStatus&);
};

/// Converts a stream from one PCM format to another, keeping filter state across calls.
class AudioConverter {
  public:
    /// Input frames staged per resampler call; sizes the scratch block.
    static constexpr std::uint32_t kChunkFrames = 1024;

    /// A converter from `from` to `to`; null when the pair is unsupported: the output must be
    /// float, and its channel count must equal the input's or be 1 (the input channels are then
    /// averaged). Never throws.
    static std::unique_ptr<AudioConverter> make(const AudioFormat& from,
                                                const AudioFormat& to) noexcept;

    AudioConverter(const AudioConverter&) = delete;
    AudioConverter& operator=(const AudioConverter&) = delete;
    ~AudioConverter();

    /// Format of the buffers the input block must return.
    const AudioFormat& inputFormat() const noexcept { return from_; }
    /// Format of the output buffers.
    const AudioFormat& outputFormat() const noexcept { return to_; }

    /// Fills `output` from its first frame (setting its frame length) with converted input
    /// pulled from `input` until the output is full or the block reports noDataNow or
    /// endOfStream. On error, `*error` (when given) says why; otherwise it is set to none.
    AudioConverterOutputStatus convert(PCMBuffer& output, AudioConverterInputBlock input,
                                       AudioConverterError* error = nullptr);

    /// Forgets all state and any undelivered output, ready for a new stream.
    void reset() noexcept;

  private:
    struct Resampler;
    struct Run;

    AudioConverter(const AudioFormat& from, const AudioFormat& to,
                   std::unique_ptr<Resampler> resampler, std::vector<float> scratch) noexcept;
    AudioConverterOutputStatus pull(Run& run, AudioConverterInputBlock input);
    bool drain(Run& run) noexcept;
    bool accept(Run& run, const PCMBuffer* buffer) const noexcept;
    bool feed(Run& run, const PCMBuffer& buffer) noexcept;
    bool process(Run& run, const float* in, std::uint32_t count, std::size_t& done) noexcept;
    void stage(const PCMBuffer& buffer, std::uint32_t start, std::uint32_t count) noexcept;

    AudioFormat from_;
    AudioFormat to_;
    std::unique_ptr<Resampler> resampler_;
    std::vector<float> scratch_;  // kChunkFrames x output channels, interleaved
    bool inputEnded_ = false;     // endOfStream seen: drain in flush mode
    bool tailDelivered_ = false;  // the flush has been emptied into an output
};

}  // namespace platform

#endif
