// Builds a call's mixed preview from its closed local and far-end tracks.
#ifndef AMBERLINAUDIOCORE_CALLPREVIEWMIXER_H
#define AMBERLINAUDIOCORE_CALLPREVIEWMIXER_H

#include <cstdint>
#include <filesystem>
#include <optional>

#include "platform/AudioFile.h"

namespace amberlin {

/// The tracks of one preview build; the mix is written with `settings`.
struct CallPreviewTracks {
    std::filesystem::path local;
    std::optional<std::filesystem::path> remote;
    std::filesystem::path mixed;
    platform::AudioFileSettings settings;
};

/// Frames mixed per block; bounds the build's memory whatever the call's length.
inline constexpr std::uint32_t kPreviewBlockFrames = 4096;
/// Gain of each track in the mix (single precision 0x3F4CCCCD).
inline constexpr float kPreviewTrackGain = 0.8f;
/// The mix is clamped to +-this (single precision 0x3F7AE148).
inline constexpr float kPreviewCeiling = 0.98f;

/// Does nothing without a local file. With a far-end track of at least one frame (a file over
/// 44 bytes that opens) and a local track of at least one frame, writes 0.8 x far + 0.8 x local,
/// clamped to +-0.98, over the longer track's length (the shorter padded with silence);
/// otherwise the preview is a byte copy of the local track. Throws the file system's or
/// platform::AudioFileError on failure, leaving the preview missing or incomplete.
void buildCallPreview(const CallPreviewTracks& tracks);

}  // namespace amberlin

#endif
