#include "platform/AudioFile.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace platform {

/// The open libsndfile stream; closing it completes a written file's header.
struct AudioFile::Handle {
    SNDFILE* file = nullptr;

    ~Handle() { sf_close(file); }
};

const char* AudioFileError::what() const noexcept {
    switch (code_) {
        case Code::openFailed:
            return "openFailed";
        case Code::unsupportedSettings:
            return "unsupportedSettings";
        case Code::formatMismatch:
            return "formatMismatch";
        case Code::readFailed:
            return "readFailed";
        case Code::writeFailed:
            return "writeFailed";
    }
    return "unknown";
}

namespace {

constexpr float kInt16FullScale = 32768.0f;

/// The libsndfile sample encoding for `settings`, or 0 when this layer does not write it.
int encodingFor(const AudioFileSettings& settings) noexcept {
    if (settings.formatID != kAudioFormatLinearPCM || settings.isBigEndian ||
        settings.isNonInterleaved || settings.sampleRate != std::floor(settings.sampleRate)) {
        return 0;
    }
    if (settings.isFloat) {
        return settings.bitDepth == 32 ? SF_FORMAT_FLOAT : 0;
    }
    return settings.bitDepth == 16 ? SF_FORMAT_PCM_16 : 0;
}

/// The on-disk settings libsndfile reports for an opened file.
AudioFileSettings settingsOf(const SF_INFO& info) noexcept {
    AudioFileSettings settings;
    settings.sampleRate = info.samplerate;
    settings.channelCount = static_cast<std::uint32_t>(std::max(info.channels, 0));
    settings.isBigEndian = (info.format & SF_FORMAT_ENDMASK) == SF_ENDIAN_BIG;
    switch (info.format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
            settings.bitDepth = 8;
            break;
        case SF_FORMAT_PCM_16:
            settings.bitDepth = 16;
            break;
        case SF_FORMAT_PCM_24:
            settings.bitDepth = 24;
            break;
        case SF_FORMAT_PCM_32:
            settings.bitDepth = 32;
            break;
        case SF_FORMAT_FLOAT:
            settings.bitDepth = 32;
            settings.isFloat = true;
            break;
        case SF_FORMAT_DOUBLE:
            settings.bitDepth = 64;
            settings.isFloat = true;
            break;
        default:
            settings.bitDepth = 0;  // compressed or otherwise not linear PCM
    }
    return settings;
}

/// Full scale at 32768, rounded to nearest, clipped; NaN becomes silence.
std::int16_t toInt16(float sample) noexcept {
    if (std::isnan(sample)) {
        return 0;
    }
    const float scaled = std::nearbyint(sample * kInt16FullScale);
    return static_cast<std::int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
}

/// The error status to report: errno when the system set one, else libsndfile's error number.
int statusOf(SNDFILE* file) noexcept {
    return errno != 0 ? errno : sf_error(file);
}

}  // namespace

std::unique_ptr<AudioFile> AudioFile::forWriting(const std::filesystem::path& path,
                                                 const AudioFileSettings& settings) {
    const int encoding = encodingFor(settings);
    const std::optional<AudioFormat> processing = AudioFormat::make(
        CommonFormat::pcmFormatFloat32, settings.sampleRate, settings.channelCount, false);
    if (encoding == 0 || !processing) {
        throw AudioFileError(AudioFileError::Code::unsupportedSettings, 0);
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(settings.sampleRate);
    info.channels = static_cast<int>(settings.channelCount);
    info.format = SF_FORMAT_WAV | encoding;
    auto handle = std::make_unique<Handle>();
    errno = 0;
    handle->file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (handle->file == nullptr) {
        throw AudioFileError(AudioFileError::Code::openFailed, statusOf(nullptr));
    }
    return std::unique_ptr<AudioFile>(
        new AudioFile(std::move(handle), settings, *processing, 0, true));
}

std::unique_ptr<AudioFile> AudioFile::forReading(const std::filesystem::path& path) {
    SF_INFO info{};
    auto handle = std::make_unique<Handle>();
    errno = 0;
    handle->file = sf_open(path.c_str(), SFM_READ, &info);
    if (handle->file == nullptr) {
        throw AudioFileError(AudioFileError::Code::openFailed, statusOf(nullptr));
    }
    const AudioFileSettings settings = settingsOf(info);
    const std::optional<AudioFormat> processing = AudioFormat::make(
        CommonFormat::pcmFormatFloat32, settings.sampleRate, settings.channelCount, false);
    if (!processing) {
        throw AudioFileError(AudioFileError::Code::unsupportedSettings, 0);
    }
    return std::unique_ptr<AudioFile>(
        new AudioFile(std::move(handle), settings, *processing, info.frames, false));
}

AudioFile::AudioFile(std::unique_ptr<Handle> handle, const AudioFileSettings& settings,
                     const AudioFormat& processing, std::int64_t length, bool writable)
    : handle_(std::move(handle)),
      settings_(settings),
      processing_(processing),
      length_(length),
      writable_(writable),
      samples_(static_cast<std::size_t>(kChunkFrames) * processing.channelCount()),
      ints_(writable && !settings.isFloat ? samples_.size() : 0) {}

AudioFile::~AudioFile() = default;

void AudioFile::read(PCMBuffer& buffer) {
    read(buffer, buffer.frameCapacity());
}

void AudioFile::read(PCMBuffer& buffer, std::uint32_t frames) {
    if (writable_) {
        throw AudioFileError(AudioFileError::Code::readFailed, 0);
    }
    checkBuffer(buffer);
    frames = std::min(frames, buffer.frameCapacity());
    buffer.setFrameLength(0);
    std::uint32_t delivered = 0;
    while (delivered < frames) {
        const std::uint32_t wanted = std::min(kChunkFrames, frames - delivered);
        const std::uint32_t got = readChunk(buffer, delivered, wanted);
        delivered += got;
        position_ += got;
        buffer.setFrameLength(delivered);
        if (got < wanted) {
            break;  // end of file
        }
    }
}

void AudioFile::write(const PCMBuffer& buffer) {
    if (!writable_) {
        throw AudioFileError(AudioFileError::Code::writeFailed, 0);
    }
    checkBuffer(buffer);
    const std::uint32_t frames = buffer.frameLength();
    for (std::uint32_t start = 0; start < frames; start += kChunkFrames) {
        const std::uint32_t count = std::min(kChunkFrames, frames - start);
        errno = 0;
        const std::uint32_t written = writeChunk(buffer, start, count);
        position_ += written;
        length_ = position_;
        if (written < count) {
            throw AudioFileError(AudioFileError::Code::writeFailed, statusOf(handle_->file));
        }
    }
}

void AudioFile::checkBuffer(const PCMBuffer& buffer) const {
    const AudioFormat& format = buffer.format();
    if (format.commonFormat() != CommonFormat::pcmFormatFloat32 ||
        format.sampleRate() != processing_.sampleRate() ||
        format.channelCount() != processing_.channelCount()) {
        throw AudioFileError(AudioFileError::Code::formatMismatch, 0);
    }
}

// Reads up to `count` frames into the staging buffer and spreads them over the buffer's
// channels from frame `at`; returns the frames read (fewer only at the end of the file).
std::uint32_t AudioFile::readChunk(PCMBuffer& buffer, std::uint32_t at, std::uint32_t count) {
    const sf_count_t got = sf_readf_float(handle_->file, samples_.data(), count);
    if (sf_error(handle_->file) != SF_ERR_NO_ERROR) {
        throw AudioFileError(AudioFileError::Code::readFailed, sf_error(handle_->file));
    }
    const std::uint32_t channels = processing_.channelCount();
    const auto frames = static_cast<std::uint32_t>(std::max<sf_count_t>(got, 0));
    float* const* out = buffer.floatChannelData();
    for (std::uint32_t i = 0; i < frames; ++i) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            out[c][static_cast<std::size_t>(at + i) * buffer.stride()] =
                samples_[static_cast<std::size_t>(i) * channels + c];
        }
    }
    return frames;
}

// Interleaves `count` frames from `start` into the staging buffer (as 16-bit integers for a
// 16-bit file) and hands them to libsndfile; returns the frames it accepted.
std::uint32_t AudioFile::writeChunk(const PCMBuffer& buffer, std::uint32_t start,
                                    std::uint32_t count) {
    const std::uint32_t channels = processing_.channelCount();
    const float* const* in = buffer.floatChannelData();
    for (std::uint32_t i = 0; i < count; ++i) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            samples_[static_cast<std::size_t>(i) * channels + c] =
                in[c][static_cast<std::size_t>(start + i) * buffer.stride()];
        }
    }
    sf_count_t written = 0;
    if (ints_.empty()) {
        written = sf_writef_float(handle_->file, samples_.data(), count);
    } else {
        std::transform(samples_.begin(),
                       samples_.begin() + static_cast<std::ptrdiff_t>(count) * channels,
                       ints_.begin(), toInt16);
        written = sf_writef_short(handle_->file, ints_.data(), count);
    }
    return static_cast<std::uint32_t>(std::max<sf_count_t>(written, 0));
}

}  // namespace platform
