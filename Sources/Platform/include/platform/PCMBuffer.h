// A buffer of PCM audio in one format: a fixed capacity in frames and a frame length (the frames
// that hold valid audio), with per-channel sample pointers and a buffer-list view.
//
// Threads: a buffer is not synchronised; one thread uses it at a time (it may be handed to another
// thread through a queue or a lock).
#ifndef CORVESSA_PLATFORM_PCM_BUFFER_H
#define CORVESSA_PLATFORM_PCM_BUFFER_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/AudioFormat.h"
#include "platform/CoreAudioTypes.h"

namespace platform {

/// PCM samples in `format()`: zero-filled at creation, sized once, never reallocated.
class PCMBuffer {
  public:
    /// A buffer for `frameCapacity` frames with a frame length of 0; null when the capacity is 0
    /// or the memory cannot be had. Never throws.
    static std::shared_ptr<PCMBuffer> make(const AudioFormat& format,
                                           std::uint32_t frameCapacity) noexcept;

    PCMBuffer(const PCMBuffer&) = delete;
    PCMBuffer& operator=(const PCMBuffer&) = delete;
    ~PCMBuffer();

    /// The format of every sample in the buffer.
    const AudioFormat& format() const noexcept { return format_; }
    /// Frames the buffer can hold.
    std::uint32_t frameCapacity() const noexcept { return capacity_; }
    /// Frames that hold valid audio (at most the capacity).
    std::uint32_t frameLength() const noexcept { return length_; }
    /// Sets the valid frame count; refuses (false, unchanged) a length beyond the capacity.
    bool setFrameLength(std::uint32_t frames) noexcept;
    /// Samples between consecutive frames of one channel: the channel count when interleaved, 1
    /// when planar.
    std::uint32_t stride() const noexcept;

    /// Per-channel sample pointers for a float format, null otherwise: sample i of channel c is
    /// floatChannelData()[c][i * stride()]. When interleaved, entry 0 is the start of the
    /// interleaved samples.
    float* const* floatChannelData() noexcept;
    const float* const* floatChannelData() const noexcept;
    /// The same for a 16-bit integer format, null otherwise.
    std::int16_t* const* int16ChannelData() noexcept;
    const std::int16_t* const* int16ChannelData() const noexcept;

    /// Buffer-list view: one buffer when interleaved, one per channel when planar, each with
    /// mDataByteSize = frame length x bytes per frame of that buffer. Pointers and sizes are
    /// restored on every call, so the list may be filled in place (then set the frame length).
    AudioBufferList* mutableAudioBufferList() noexcept;
    /// Read-only buffer-list view, current as of the last setFrameLength.
    const AudioBufferList* audioBufferList() const noexcept;

  private:
    struct Storage;

    PCMBuffer(const AudioFormat& format, std::uint32_t capacity,
              std::unique_ptr<Storage> storage) noexcept;
    void refreshBufferList() noexcept;

    AudioFormat format_;
    std::uint32_t capacity_;
    std::uint32_t length_ = 0;
    std::unique_ptr<Storage> storage_;
};

}  // namespace platform

#endif
