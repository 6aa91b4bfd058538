#include "platform/AudioFormat.h"

#include <cmath>

namespace platform {

namespace {

bool validRate(double rate) noexcept {
    return std::isfinite(rate) && rate > 0.0 && rate <= AudioFormat::kMaxSampleRate;
}

bool validChannels(std::uint32_t channels) noexcept {
    return channels >= 1 && channels <= AudioFormat::kMaxChannels;
}

/// The sample type a description's flags and bit depth name, if it is one we carry.
std::optional<CommonFormat> sampleType(const AudioStreamBasicDescription& d) noexcept {
    if (d.mFormatID != kAudioFormatLinearPCM || (d.mFormatFlags & kAudioFormatFlagIsBigEndian)) {
        return std::nullopt;
    }
    if ((d.mFormatFlags & kAudioFormatFlagIsFloat) && d.mBitsPerChannel == 32) {
        return CommonFormat::pcmFormatFloat32;
    }
    if (!(d.mFormatFlags & kAudioFormatFlagIsFloat) &&
        (d.mFormatFlags & kAudioFormatFlagIsSignedInteger) && d.mBitsPerChannel == 16) {
        return CommonFormat::pcmFormatInt16;
    }
    return std::nullopt;
}

}  // namespace

AudioFormat::AudioFormat(CommonFormat type, double sampleRate, std::uint32_t channels,
                         bool interleaved) noexcept
    : type_(type), sampleRate_(sampleRate), channels_(channels), interleaved_(interleaved) {}

std::optional<AudioFormat> AudioFormat::make(CommonFormat type, double sampleRate,
                                             std::uint32_t channels, bool interleaved) noexcept {
    if (!validRate(sampleRate) || !validChannels(channels)) {
        return std::nullopt;
    }
    return AudioFormat(type, sampleRate, channels, interleaved);
}

std::optional<AudioFormat> AudioFormat::fromStreamDescription(
    const AudioStreamBasicDescription& d) noexcept {
    const std::optional<CommonFormat> type = sampleType(d);
    const bool interleaved = (d.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
    if (!type || !validChannels(d.mChannelsPerFrame)) {
        return std::nullopt;
    }
    const std::uint32_t sampleBytes = d.mBitsPerChannel / 8;
    // Byte counts decide where every sample lies; a description that disagrees with itself would
    // make us read the wrong bytes, so it is refused rather than guessed at.
    const std::uint32_t frameBytes = interleaved ? sampleBytes * d.mChannelsPerFrame : sampleBytes;
    if (d.mFramesPerPacket != 1 || d.mBytesPerFrame != frameBytes ||
        d.mBytesPerPacket != frameBytes) {
        return std::nullopt;
    }
    return make(*type, d.mSampleRate, d.mChannelsPerFrame, interleaved);
}

std::uint32_t AudioFormat::bytesPerSample() const noexcept {
    return type_ == CommonFormat::pcmFormatFloat32 ? 4 : 2;
}

AudioStreamBasicDescription AudioFormat::streamDescription() const noexcept {
    AudioFormatFlags flags = kAudioFormatFlagIsPacked;
    flags |= type_ == CommonFormat::pcmFormatFloat32 ? kAudioFormatFlagIsFloat
                                                     : kAudioFormatFlagIsSignedInteger;
    if (!interleaved_) {
        flags |= kAudioFormatFlagIsNonInterleaved;
    }
    const std::uint32_t frameBytes = interleaved_ ? bytesPerSample() * channels_ : bytesPerSample();
    return AudioStreamBasicDescription{
        sampleRate_, kAudioFormatLinearPCM, flags, frameBytes, 1, frameBytes,
        channels_,   bytesPerSample() * 8,  0};
}

}  // namespace platform
