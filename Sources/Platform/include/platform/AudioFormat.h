// Audio formats of linear PCM: sample type, sample rate, channel count and channel layout.
//
// A format is an immutable value: two formats are equal when sample type, sample rate, channel
// count and interleaving all match. Creation validates its arguments and reports a format that
// cannot describe real PCM data as no format at all.
#ifndef CORVESSA_PLATFORM_AUDIO_FORMAT_H
#define CORVESSA_PLATFORM_AUDIO_FORMAT_H

#include <cstdint>
#include <optional>

#include "platform/CoreAudioTypes.h"

namespace platform {

// Stream-description flags beyond those every layer needs (bit values as in the platform's ABI).
inline constexpr AudioFormatFlags kAudioFormatFlagIsBigEndian = 1u << 1;
inline constexpr AudioFormatFlags kAudioFormatFlagIsSignedInteger = 1u << 2;
inline constexpr AudioFormatFlags kAudioFormatFlagIsNonInterleaved = 1u << 5;

/// The sample types a format can carry.
enum class CommonFormat {
    pcmFormatFloat32,  ///< 32-bit float, nominal range -1 to +1
    pcmFormatInt16,    ///< 16-bit signed integer, full scale 32768
};

/// Linear PCM format: sample type, rate in Hz, channel count, interleaved or planar.
class AudioFormat {
  public:
    /// Most channels a format may carry; bounds every per-channel table.
    static constexpr std::uint32_t kMaxChannels = 64;
    /// Highest sample rate accepted, in Hz.
    static constexpr double kMaxSampleRate = 1'000'000.0;

    /// A format of `type` at `sampleRate` Hz with `channels` channels; none when the rate is not
    /// finite and in (0, kMaxSampleRate] or the channel count is not in [1, kMaxChannels].
    static std::optional<AudioFormat> make(CommonFormat type, double sampleRate,
                                           std::uint32_t channels, bool interleaved) noexcept;
    /// The format a 40-byte stream description describes; none unless it is packed native-endian
    /// linear PCM of 32-bit float or 16-bit signed integer samples with consistent byte counts.
    static std::optional<AudioFormat> fromStreamDescription(
        const AudioStreamBasicDescription& description) noexcept;

    /// Sample type.
    CommonFormat commonFormat() const noexcept { return type_; }
    /// Frames per second.
    double sampleRate() const noexcept { return sampleRate_; }
    /// Channels per frame.
    std::uint32_t channelCount() const noexcept { return channels_; }
    /// True when the channels of a frame are adjacent in one buffer; false for one plane each.
    bool isInterleaved() const noexcept { return interleaved_; }
    /// Bytes of one sample of one channel (4 or 2).
    std::uint32_t bytesPerSample() const noexcept;
    /// The equivalent stream description (packed; non-interleaved flag for planar layouts).
    AudioStreamBasicDescription streamDescription() const noexcept;

    /// Equal when sample type, rate, channel count and interleaving all match.
    bool operator==(const AudioFormat&) const = default;

  private:
    AudioFormat(CommonFormat type, double sampleRate, std::uint32_t channels,
                bool interleaved) noexcept;

    CommonFormat type_;
    double sampleRate_;
    std::uint32_t channels_;
    bool interleaved_;
};

}  // namespace platform

#endif
