// Device block to client buffers.
#include "ClientLayout.h"

namespace platform {

bool ClientLayout::fits(const AudioBufferList& list, UInt32 frames) const noexcept {
    if (list.mNumberBuffers < buffers()) {
        return false;
    }
    const AudioBuffer* buffer = list.mBuffers;
    const std::size_t needed =
        static_cast<std::size_t>(frames) * channelsPerBuffer() * sizeof(float);
    for (UInt32 b = 0; b < buffers(); ++b) {
        if (buffer[b].mData == nullptr || buffer[b].mNumberChannels != channelsPerBuffer() ||
            buffer[b].mDataByteSize < needed) {
            return false;
        }
    }
    return true;
}

void ClientLayout::copy(const float* deviceBlock, AudioBufferList& list,
                        UInt32 frames) const noexcept {
    AudioBuffer* buffer = list.mBuffers;
    const std::size_t stride = channelsPerBuffer();
    for (UInt32 c = 0; c < clientChannels_; ++c) {
        const bool mapped = c < deviceChannels_ || deviceChannels_ == 1;
        const UInt32 source = c < deviceChannels_ ? c : 0;
        float* out =
            static_cast<float*>(buffer[interleaved_ ? 0 : c].mData) + (interleaved_ ? c : 0);
        for (std::size_t f = 0; f < frames; ++f) {
            out[f * stride] = mapped ? deviceBlock[f * deviceChannels_ + source] : 0.0f;
        }
    }
    for (UInt32 b = 0; b < buffers(); ++b) {
        buffer[b].mDataByteSize = static_cast<UInt32>(frames * stride * sizeof(float));
    }
}

}  // namespace platform
