// The client side of a capture unit's render: how many channels the caller wants and whether in
// one interleaved buffer or one buffer per channel, and the copy from a device block into it.
//
// Channel mapping: client channel c takes device channel c; a mono device feeds every client
// channel; client channels beyond the device's other channels are silent. Real-time safe.
#ifndef CORVESSA_PLATFORM_CLIENT_LAYOUT_H
#define CORVESSA_PLATFORM_CLIENT_LAYOUT_H

#include "platform/CoreAudioTypes.h"

namespace platform {

/// Copies interleaved device frames into a caller's buffer list in the client layout.
class ClientLayout {
  public:
    ClientLayout() = default;
    /// `deviceChannels` interleaved in, `clientChannels` out, interleaved or planar.
    ClientLayout(UInt32 deviceChannels, UInt32 clientChannels, bool interleaved) noexcept
        : deviceChannels_(deviceChannels),
          clientChannels_(clientChannels),
          interleaved_(interleaved) {}

    /// True when `list` has the buffers this layout writes, each with room for `frames` frames.
    bool fits(const AudioBufferList& list, UInt32 frames) const noexcept;
    /// Writes `frames` frames of `deviceBlock` into `list` (which fits) and sets each buffer's
    /// mDataByteSize to the bytes written.
    void copy(const float* deviceBlock, AudioBufferList& list, UInt32 frames) const noexcept;

  private:
    UInt32 buffers() const noexcept { return interleaved_ ? 1 : clientChannels_; }
    UInt32 channelsPerBuffer() const noexcept { return interleaved_ ? clientChannels_ : 1; }

    UInt32 deviceChannels_ = 0;
    UInt32 clientChannels_ = 0;
    bool interleaved_ = true;
};

}  // namespace platform

#endif
