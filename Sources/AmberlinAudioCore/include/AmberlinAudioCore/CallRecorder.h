// Records the audio of one call at a time: the local microphone track (from 48 kHz frames), the
// far-end track (system-audio buffers in any PCM format) and, at stop, a mixed preview of both.
// Every track is a 16 kHz mono 16-bit PCM WAV file.
//
// Threads: all file work runs on the recorder's serial queue "com.halvern.corvessa.call-recorder".
// `start`, `stop` and `didLoseRemoteAudio` block their caller until their work has run there.
// `recordLocalFrame` only queues the frame (call it from the capture pipeline's processing
// thread, never from a real-time callback, since queuing allocates). `recordRemoteBuffer`
// converts on the calling thread (the capture's queue) with a converter private to that call and
// queues the result. Queued work holds the recorder weakly (create it with std::make_shared) and
// does nothing once it is gone; frames and buffers are written in arrival order, and a `stop`
// issued after them writes them first.
#ifndef AMBERLINAUDIOCORE_CALLRECORDER_H
#define AMBERLINAUDIOCORE_CALLRECORDER_H

#include <exception>
#include <filesystem>
#include <memory>
#include <optional>

#include "AmberlinAudioCore/AudioFrame.h"
#include "AmberlinAudioCore/CallModels.h"
#include "platform/AudioConverter.h"
#include "platform/AudioFile.h"
#include "platform/AudioFormat.h"
#include "platform/PCMBuffer.h"
#include "platform/SerialQueue.h"

namespace amberlin {

/// The recorder's own failure: the session lacks the path of a track it must write.
class CallRecorderError : public std::exception {
  public:
    /// The session has no path for `role` (localMic or mixedPreview).
    static CallRecorderError missingAudioPath(AudioTrackRole role) noexcept;

    /// The track whose path is missing.
    AudioTrackRole role() const noexcept { return role_; }
    /// The case name, "missingAudioPath".
    const char* what() const noexcept override;
    /// Equal when the roles are equal.
    friend bool operator==(const CallRecorderError& a, const CallRecorderError& b) noexcept {
        return a.role_ == b.role_;
    }

  private:
    explicit CallRecorderError(AudioTrackRole role) noexcept : role_(role) {}

    AudioTrackRole role_;
};

/// Writes the local, far-end and mixed-preview tracks of one call at a time.
class CallRecorder : public std::enable_shared_from_this<CallRecorder> {
  public:
    /// Frames per second of every stored track.
    static constexpr double storageSampleRate = 16000.0;
    /// Output capacity, in frames, for one converted 480-sample local frame:
    /// ceil(16000 / 48000 x 480) + 16.
    static constexpr std::uint32_t localOutputCapacity = 176;

    /// The stored tracks' settings: linear PCM, 16 kHz, mono, 16-bit signed, little-endian,
    /// interleaved.
    static platform::AudioFileSettings fileSettings() noexcept;

    /// An idle recorder: no file open, not recording.
    CallRecorder();
    ~CallRecorder();
    CallRecorder(const CallRecorder&) = delete;
    CallRecorder& operator=(const CallRecorder&) = delete;

    /// Opens the session's local track and, when it has a far-end path, its far-end track
    /// (existing files are replaced), then records. Throws CallRecorderError when the local or
    /// mixed-preview path is missing, or platform::AudioFileError when a file cannot be created;
    /// the recorder then does not record. Closes any files of an earlier recording first,
    /// without building its preview.
    void start(const CallSession& session);
    /// Queues one 10 ms local frame; it is converted to 16 kHz and written while recording.
    /// A failed write stops the whole recording (both tracks) until the next start.
    void recordLocalFrame(const AudioFrame& frame);
    /// Converts one far-end buffer (any PCM format the converter takes) on this thread and queues
    /// the result; a buffer that cannot be converted (or null) marks the far end as lost. Once a
    /// far-end write has failed, the far-end track takes no more data in this recording.
    void recordRemoteBuffer(const std::shared_ptr<const platform::PCMBuffer>& buffer);
    /// Stops recording, closes both tracks (completing their headers) and builds the mixed
    /// preview; preview failures are not reported. `didLoseRemoteAudio` keeps its value.
    void stop();
    /// True once the far-end track of the current (or last) recording lost data.
    bool didLoseRemoteAudio();

  private:
    void closeAndForget() noexcept;
    void openTracks(const CallSession& session);
    void writeLocalFrame(const AudioFrame& frame);
    bool convertLocalFrame(const AudioFrame& frame);
    void writeRemoteBuffer(const std::shared_ptr<const platform::PCMBuffer>& converted);
    std::shared_ptr<const platform::PCMBuffer> convertRemote(
        const std::shared_ptr<const platform::PCMBuffer>& buffer) const;

    platform::SerialQueue queue_{"com.halvern.corvessa.call-recorder"};
    const platform::AudioFormat format_;              // 32-bit float, 16 kHz, mono, planar
    const platform::AudioFormat captureFrameFormat_;  // 32-bit float, 48 kHz, mono, planar
    const platform::AudioFileSettings fileSettings_;

    // Touched only on queue_.
    std::unique_ptr<platform::AudioConverter> localConverter_;  // one per recording
    std::shared_ptr<platform::PCMBuffer> localInput_;           // 480 frames at 48 kHz
    std::shared_ptr<platform::PCMBuffer> localOutput_;          // localOutputCapacity at 16 kHz
    std::unique_ptr<platform::AudioFile> localFile_;
    std::unique_ptr<platform::AudioFile> remoteFile_;
    bool isRecording_ = false;
    bool remoteWriteFailed_ = false;
    std::optional<std::filesystem::path> localURL_;
    std::optional<std::filesystem::path> remoteURL_;
    std::optional<std::filesystem::path> mixedURL_;
};

}  // namespace amberlin

#endif
