// Audio files over libsndfile: WAV files written from float buffers, and any file libsndfile
// reads, read into float buffers.
//
// On disk a written file is a RIFF/WAVE file of little-endian interleaved PCM as its settings say
// (16-bit signed integer or 32-bit float). In memory every file is handled in its processing
// format: 32-bit float, the file's rate and channel count, planar. 16-bit samples are full scale
// at 32768: writing scales by 32768, rounds to nearest and clips to [-32768, 32767] (NaN is
// written as 0); reading divides by 32768, so a written sample reads back within 1/65536 (within
// 1/32768 at the clipping edge +1.0).
//
// The header is completed when the object is destroyed. A failed write leaves the file valid,
// holding every whole frame that reached the disk.
//
// Errors are thrown as AudioFileError. Threads: one thread at a time per file.
#ifndef CORVESSA_PLATFORM_AUDIO_FILE_H
#define CORVESSA_PLATFORM_AUDIO_FILE_H

#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <vector>

#include "platform/AudioFormat.h"
#include "platform/CoreAudioTypes.h"
#include "platform/PCMBuffer.h"

namespace platform {

/// How samples are stored in a file.
struct AudioFileSettings {
    AudioFormatID formatID = kAudioFormatLinearPCM;
    double sampleRate = 16000.0;     ///< frames per second
    std::uint32_t channelCount = 1;  ///< channels per frame
    std::uint32_t bitDepth = 16;     ///< bits per sample; 0 for a non-PCM encoding
    bool isFloat = false;            ///< float samples rather than signed integers
    bool isBigEndian = false;        ///< byte order of the samples on disk
    bool isNonInterleaved = false;   ///< planar channels on disk

    bool operator==(const AudioFileSettings&) const = default;
};

/// A failure to open, read or write an audio file.
class AudioFileError : public std::exception {
  public:
    /// What went wrong.
    enum class Code {
        openFailed,           ///< the file could not be created or opened
        unsupportedSettings,  ///< the settings describe no WAV encoding this layer writes
        formatMismatch,       ///< a buffer is not float at the file's rate and channel count
        readFailed,           ///< reading failed, or the file was opened for writing
        writeFailed,          ///< writing failed (e.g. no space), or the file is read-only
    };

    /// `status` is the system's errno when known, else libsndfile's error number, else 0.
    AudioFileError(Code code, int status) noexcept : code_(code), status_(status) {}
    /// What went wrong.
    Code code() const noexcept { return code_; }
    /// errno, libsndfile's error number or 0, as given at construction.
    int status() const noexcept { return status_; }
    /// The case name, e.g. "writeFailed".
    const char* what() const noexcept override;
    /// Equal when code and status match.
    bool operator==(const AudioFileError& other) const noexcept {
        return code_ == other.code_ && status_ == other.status_;
    }

  private:
    Code code_;
    int status_;
};

/// An audio file open for writing (a new WAV file) or for reading.
class AudioFile {
  public:
    /// Frames moved through the staging buffers per libsndfile call.
    static constexpr std::uint32_t kChunkFrames = 4096;

    /// Creates (or replaces) a WAV file at `path` with `settings`: linear PCM, 16-bit integer
    /// or 32-bit float, little-endian, interleaved, 1 to AudioFormat::kMaxChannels channels.
    static std::unique_ptr<AudioFile> forWriting(const std::filesystem::path& path,
                                                 const AudioFileSettings& settings);
    /// Opens an existing audio file for reading from its first frame.
    static std::unique_ptr<AudioFile> forReading(const std::filesystem::path& path);

    AudioFile(const AudioFile&) = delete;
    AudioFile& operator=(const AudioFile&) = delete;
    /// Closes the file, completing the header of a written file.
    ~AudioFile();

    /// How the samples are stored on disk.
    const AudioFileSettings& fileSettings() const noexcept { return settings_; }
    /// Format of the buffers read and written: float, the file's rate and channels, planar.
    const AudioFormat& processingFormat() const noexcept { return processing_; }
    /// Frames in the file (for a file being written: frames written so far).
    std::int64_t length() const noexcept { return length_; }
    /// Frame the next read starts at (reading) or frames written (writing).
    std::int64_t framePosition() const noexcept { return position_; }

    /// Reads up to the buffer's capacity from the current position and sets its frame length
    /// to the frames delivered (0 at the end of the file, which is not an error).
    void read(PCMBuffer& buffer);
    /// Reads up to `frames` frames (at most the buffer's capacity), as above.
    void read(PCMBuffer& buffer, std::uint32_t frames);
    /// Appends the buffer's frame-length frames; throws writeFailed when fewer reach the disk.
    void write(const PCMBuffer& buffer);

  private:
    struct Handle;

    AudioFile(std::unique_ptr<Handle> handle, const AudioFileSettings& settings,
              const AudioFormat& processing, std::int64_t length, bool writable);
    void checkBuffer(const PCMBuffer& buffer) const;
    std::uint32_t readChunk(PCMBuffer& buffer, std::uint32_t at, std::uint32_t count);
    std::uint32_t writeChunk(const PCMBuffer& buffer, std::uint32_t start, std::uint32_t count);

    std::unique_ptr<Handle> handle_;
    AudioFileSettings settings_;
    AudioFormat processing_;
    std::int64_t length_;
    std::int64_t position_ = 0;
    bool writable_;
    std::vector<float> samples_;      // kChunkFrames x channels, interleaved
    std::vector<std::int16_t> ints_;  // the same as 16-bit integers, for 16-bit files
};

}  // namespace platform

#endif
