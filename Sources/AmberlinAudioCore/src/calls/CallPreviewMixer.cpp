// Mixed preview: block-wise mix of two 16 kHz mono tracks, or a copy of the local track.
#include "CallPreviewMixer.h"

#include <algorithm>
#include <memory>
#include <system_error>

#include "platform/PCMBuffer.h"

namespace amberlin {
namespace {

namespace fs = std::filesystem;
using platform::AudioFile;
using platform::PCMBuffer;

// Size of a bare WAV header; a far-end file no larger holds no audio.
constexpr std::uintmax_t kBareWavHeaderBytes = 44;

// The far-end track's length in frames, when it exists, holds more than a header and opens.
std::optional<std::int64_t> farEndFrameCount(const std::optional<fs::path>& remote) {
    std::error_code error;
    if (!remote || !fs::exists(*remote, error)) {
        return std::nullopt;
    }
    const std::uintmax_t size = fs::file_size(*remote, error);
    if (error || size <= kBareWavHeaderBytes) {
        return std::nullopt;
    }
    try {
        return AudioFile::forReading(*remote)->length();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Replaces the preview with a byte copy of the local track.
void copyLocalTrack(const CallPreviewTracks& tracks) {
    std::error_code ignored;
    fs::remove(tracks.mixed, ignored);
    fs::copy_file(tracks.local, tracks.mixed);
}

// Sample `i` of a read block, or silence past the frames the read delivered.
float sampleOrSilence(const PCMBuffer* buffer, std::uint32_t i) {
    return buffer != nullptr && i < buffer->frameLength() ? buffer->floatChannelData()[0][i] : 0.0f;
}

// Reads, mixes and writes one block of `frames` frames.
void mixBlock(AudioFile& local, AudioFile* remote, AudioFile& mixed, PCMBuffer& localBlock,
              PCMBuffer* remoteBlock, PCMBuffer& output, std::uint32_t frames) {
    local.read(localBlock, frames);
    if (remote != nullptr && remoteBlock != nullptr) {
        remote->read(*remoteBlock, frames);
    }
    float* out = output.floatChannelData()[0];
    for (std::uint32_t i = 0; i < frames; ++i) {
        const float near = sampleOrSilence(&localBlock, i);
        const float far = remote != nullptr ? sampleOrSilence(remoteBlock, i) : 0.0f;
        const float sum = kPreviewTrackGain * far + kPreviewTrackGain * near;
        out[i] = std::clamp(sum, -kPreviewCeiling, kPreviewCeiling);
    }
    output.setFrameLength(frames);
    mixed.write(output);
}

// Mixes the whole length of the longer track into a new preview file.
void mixTracks(const CallPreviewTracks& tracks, AudioFile& local) {
    std::unique_ptr<AudioFile> remote;
    try {
        remote = AudioFile::forReading(*tracks.remote);
    } catch (const std::exception&) {
        remote.reset();  // mixed without the far end
    }
    auto mixed = AudioFile::forWriting(tracks.mixed, tracks.settings);
    const std::int64_t total = std::max(local.length(), remote ? remote->length() : 0);
    const auto capacity = static_cast<std::uint32_t>(
        std::min<std::int64_t>(kPreviewBlockFrames, std::max<std::int64_t>(total, 1)));
    const auto localBlock = PCMBuffer::make(local.processingFormat(), capacity);
    const auto output = PCMBuffer::make(mixed->processingFormat(), capacity);
    const auto remoteBlock = remote ? PCMBuffer::make(remote->processingFormat(), capacity)
                                    : std::shared_ptr<PCMBuffer>();
    if (localBlock == nullptr || output == nullptr) {
        return;
    }
    for (std::int64_t done = 0; done < total; done += capacity) {
        const auto frames =
            static_cast<std::uint32_t>(std::min<std::int64_t>(capacity, total - done));
        mixBlock(local, remote.get(), *mixed, *localBlock, remoteBlock.get(), *output, frames);
    }
}

}  // namespace

void buildCallPreview(const CallPreviewTracks& tracks) {
    std::error_code error;
    if (!fs::exists(tracks.local, error)) {
        return;
    }
    const std::optional<std::int64_t> farEndFrames = farEndFrameCount(tracks.remote);
    const auto local = AudioFile::forReading(tracks.local);
    if (!farEndFrames || *farEndFrames < 1 || local->length() < 1) {
        copyLocalTrack(tracks);
        return;
    }
    mixTracks(tracks, *local);
}

}  // namespace amberlin
