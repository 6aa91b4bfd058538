// Capture of what the computer plays (the far end of a call, the speaker signal the echo
// canceller needs) as a stream of PCM buffers.
//
// CoreAudioTapCapture creates a private, unmuted, stereo tap of the whole system's output, wraps
// it in a private aggregate device of its own and runs an IO block on that device; each IO
// cycle's input becomes one buffer handed to the callbacks. Where the system has no process taps,
// UnavailableSystemAudioCapture stands in and refuses to start. SystemAudioCaptureFactory picks
// the one the system supports. Each capture owns its own tap and aggregate device, so several can
// run at once.
//
// Threads: start() and stop() run on the owner's thread, one at a time per capture (they block
// until done). The callbacks run on the capture's queue "com.halvern.corvessa.coreaudio-tap", one
// IO cycle after another; they may be set from any thread, and a change applies from the next
// cycle. After stop() has returned no callback runs until the next start().
#ifndef AMBERLINAUDIOCORE_SYSTEMAUDIOCAPTURE_H
#define AMBERLINAUDIOCORE_SYSTEMAUDIOCAPTURE_H

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/AudioFormat.h"
#include "platform/AudioTap.h"
#include "platform/PCMBuffer.h"

namespace platform {
class SerialQueue;
}

namespace amberlin {

/// Why a system-audio capture could not start: a case and the operating system's status.
class SystemAudioCaptureError : public std::exception {
  public:
    /// The error's case.
    enum class Code {
        tapCreationFailed,        ///< creating the tap failed or gave no tap
        aggregateCreationFailed,  ///< creating the aggregate device failed or gave no device
        ioProcFailed,             ///< registering the IO block or starting the device failed
        unavailable,              ///< the system has no process taps
        formatUnavailable,        ///< the tap's UID or stream format could not be read or used
    };

    /// The tap could not be created; `status` 0 means the call returned no tap.
    static SystemAudioCaptureError tapCreationFailed(OSStatus status);
    /// The aggregate device could not be created; `status` 0 means it returned no device.
    static SystemAudioCaptureError aggregateCreationFailed(OSStatus status);
    /// The IO block could not be registered (0: no id came back) or the device not started.
    static SystemAudioCaptureError ioProcFailed(OSStatus status);
    /// The system offers no process taps.
    static SystemAudioCaptureError unavailable();
    /// The tap's UID or format could not be read or used.
    static SystemAudioCaptureError formatUnavailable();

    /// The case.
    Code code() const noexcept { return code_; }
    /// The operating system's status for the first three cases; 0 for the others.
    OSStatus status() const noexcept { return status_; }
    /// The case name, e.g. "tapCreationFailed".
    const char* what() const noexcept override;
    /// Equal when case and status are equal.
    friend bool operator==(const SystemAudioCaptureError& a,
                           const SystemAudioCaptureError& b) noexcept {
        return a.code_ == b.code_ && a.status_ == b.status_;
    }

  private:
    SystemAudioCaptureError(Code code, OSStatus status) noexcept : code_(code), status_(status) {}

    Code code_;
    OSStatus status_;
};

/// The capture contract: a buffer callback, start and stop.
class SystemAudioCapturing {
  public:
    /// Receives one buffer of system output (the tap's format), on the capture's queue.
    using BufferHandler = std::function<void(const std::shared_ptr<platform::PCMBuffer>&)>;

    virtual ~SystemAudioCapturing() = default;
    /// The buffer callback (empty: none).
    virtual BufferHandler onAudioBuffer() const = 0;
    /// Replaces the buffer callback (empty: none).
    virtual void setOnAudioBuffer(BufferHandler handler) = 0;
    /// Starts delivering buffers; throws SystemAudioCaptureError.
    virtual void start() = 0;
    /// Stops delivering buffers and releases what start() created; never fails.
    virtual void stop() = 0;

  protected:
    SystemAudioCapturing() = default;
    SystemAudioCapturing(const SystemAudioCapturing&) = default;
    SystemAudioCapturing& operator=(const SystemAudioCapturing&) = default;
};

/// System output captured through a private process tap and a private aggregate device.
class CoreAudioTapCapture final : public SystemAudioCapturing,
                                  public std::enable_shared_from_this<CoreAudioTapCapture> {
    struct Token {};

  public:
    /// Receives each buffer with the host time, in ns, of its first frame.
    using TimedBufferHandler =
        std::function<void(const std::shared_ptr<platform::PCMBuffer>&, std::uint64_t)>;

    /// A stopped capture with its IO queue; the IO block holds it weakly, so it is always owned
    /// by a std::shared_ptr.
    static std::shared_ptr<CoreAudioTapCapture> make();
    /// Use make().
    explicit CoreAudioTapCapture(Token);
    /// Releasing a running capture does not stop it: the owner calls stop() first.
    ~CoreAudioTapCapture() override;
    CoreAudioTapCapture(const CoreAudioTapCapture&) = delete;
    CoreAudioTapCapture& operator=(const CoreAudioTapCapture&) = delete;

    BufferHandler onAudioBuffer() const override;
    void setOnAudioBuffer(BufferHandler handler) override;
    /// The timed buffer callback (empty: none).
    TimedBufferHandler onTimedAudioBuffer() const;
    /// Replaces the timed buffer callback (empty: none).
    void setOnTimedAudioBuffer(TimedBufferHandler handler);

    /// Creates the tap, reads its UID and format, creates the aggregate device, registers the IO
    /// block and starts the device, each step only if the previous one succeeded. A failure
    /// throws SystemAudioCaptureError and leaves what was created for stop() to release. On a
    /// capture that still holds objects of an earlier start, releases them first.
    void start() override;
    /// Stops and destroys the IO block and the aggregate device, then destroys the tap, and
    /// waits for blocks already queued; the callbacks and the tap format are kept.
    void stop() override;

    /// The tap's object id (0: none).
    AudioObjectID tapID() const;
    /// The aggregate device's object id (0: none).
    AudioObjectID aggregateID() const;
    /// Whether an IO procedure is registered.
    bool hasIOProc() const;

    /// One IO cycle's input as a new buffer in `format`: nothing for an empty list or a first
    /// buffer shorter than one frame; otherwise frames = first buffer's bytes / bytes per frame,
    /// and each buffer is copied into the buffer of the same index, up to the smaller size.
    static std::shared_ptr<platform::PCMBuffer> makeBuffer(const AudioBufferList* input,
                                                           const platform::AudioFormat& format);

  private:
    void createTap();
    void readTapFormat();
    void createAggregateDevice(const std::string& tapUID);
    void registerIOBlock();
    void startDevice();
    std::string readTapUID() const;
    void handleCycle(const AudioBufferList* input, const AudioTimeStamp* inputTime);

    mutable std::mutex mutex_;  // guards everything below: the IO queue reads what start writes
    BufferHandler onAudioBuffer_;
    TimedBufferHandler onTimedAudioBuffer_;
    AudioObjectID tapID_ = 0;
    AudioObjectID aggregateID_ = 0;
    AudioDeviceIOProcID ioProcID_ = nullptr;
    std::optional<platform::AudioFormat> tapFormat_;
    std::shared_ptr<platform::SerialQueue> ioQueue_;
};

/// Stands in where the system has no process taps: never starts, never delivers.
class UnavailableSystemAudioCapture final : public SystemAudioCapturing {
  public:
    BufferHandler onAudioBuffer() const override;
    void setOnAudioBuffer(BufferHandler handler) override;
    /// Always throws SystemAudioCaptureError::unavailable().
    void start() override;
    /// Does nothing.
    void stop() override {}

  private:
    mutable std::mutex mutex_;  // guards onAudioBuffer_
    BufferHandler onAudioBuffer_;
};

/// Picks the capture the system supports; a namespace without instances.
struct SystemAudioCaptureFactory {
    SystemAudioCaptureFactory() = delete;
    /// A new CoreAudioTapCapture when the system offers process taps, else a new
    /// UnavailableSystemAudioCapture.
    static std::shared_ptr<SystemAudioCapturing> make();
};

}  // namespace amberlin

#endif
