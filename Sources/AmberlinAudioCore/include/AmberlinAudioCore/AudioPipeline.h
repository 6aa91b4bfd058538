// The capture pipeline: one physical microphone in, processed 10 ms frames out.
//
// It binds the hardware-abstraction capture unit in input-only mode to the resolved device,
// converts whatever the device delivers to 48 kHz mono f32, cuts the stream into 480-sample
// frames stamped with host time (ns), runs the noise processor on each frame unless bypassed, and
// hands every frame to a frame sink. A machine-wide producer lock keeps a second producer out.
//
// Threads:
// - start(), stop() and the handler setters run on the owner's thread, one call at a time.
// - The capture unit's real-time thread runs the input callback: it renders the device block and
//   hands it, with its host time, to a preallocated lock-free block queue, then wakes a relay
//   thread through a semaphore. It never allocates, locks or waits.
// - The relay thread posts one drain task at a time to the serial queue
//   "com.halvern.corvessa.audio-pipeline", which converts, frames, processes and delivers. Frames
//   therefore reach the handlers, the processor and the sink strictly in capture order.
// - setBypass() and isRunning() may be called from any thread.
#ifndef AMBERLINAUDIOCORE_AUDIOPIPELINE_H
#define AMBERLINAUDIOCORE_AUDIOPIPELINE_H

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "AmberlinAudioCore/AudioFrame.h"
#include "AmberlinAudioCore/DeviceManager.h"
#include "AmberlinAudioCore/FrameAccumulator.h"
#include "AmberlinAudioCore/ProducerGuard.h"
#include "AmberlinAudioCore/VirtualMicBridge.h"
#include "platform/AudioFormat.h"
#include "platform/AudioUnit.h"
#include "platform/SerialQueue.h"
#include "platform/UnfairLock.h"

namespace amberlin {

class CaptureUnit;
class CaptureConverter;
class CaptureBlockQueue;
class CaptureWakeRelay;

/// Why the pipeline could not start: a case with its payload, and no message text beyond the
/// case name.
class AudioPipelineError : public std::exception {
  public:
    /// The error's case, in declaration order.
    enum class Code {
        deviceBindingFailed,        ///< reserved; this pipeline never raises it
        captureUnitUnavailable,     ///< the capture unit could not be had, set up or started
        inputFormatUnavailable,     ///< reserved; this pipeline never raises it
        converterUnavailable,       ///< the capture format or its converter cannot be created
        alreadyRunning,             ///< start() while running
        inputDeviceUnavailable,     ///< no physical input device resolves
        wouldCaptureVirtualDevice,  ///< the resolved device is the virtual microphone
        producerAlreadyRunning,     ///< another producer holds the producer lock
    };

    /// Reserved case with a platform status.
    static AudioPipelineError deviceBindingFailed(std::int32_t status);
    /// The capture unit failed with the platform status `status`.
    static AudioPipelineError captureUnitUnavailable(std::int32_t status);
    /// Reserved case without payload.
    static AudioPipelineError inputFormatUnavailable();
    /// The capture format or its converter cannot be created.
    static AudioPipelineError converterUnavailable();
    /// start() was called while running.
    static AudioPipelineError alreadyRunning();
    /// No physical input device resolves.
    static AudioPipelineError inputDeviceUnavailable();
    /// The resolved device is the virtual microphone.
    static AudioPipelineError wouldCaptureVirtualDevice();
    /// The producer lock is held by another producer.
    static AudioPipelineError producerAlreadyRunning();

    /// The case.
    Code code() const noexcept { return code_; }
    /// Payload of deviceBindingFailed and captureUnitUnavailable; 0 for the other cases.
    std::int32_t status() const noexcept { return status_; }
    /// The case name, e.g. "captureUnitUnavailable".
    const char* what() const noexcept override;

    /// Equal when case and payload are equal.
    friend bool operator==(const AudioPipelineError& a, const AudioPipelineError& b) noexcept {
        return a.code_ == b.code_ && a.status_ == b.status_;
    }

  private:
    AudioPipelineError(Code code, std::int32_t status) noexcept : code_(code), status_(status) {}

    Code code_;
    std::int32_t status_;
};

/// Captures one physical microphone and feeds processed frames to a sink; one instance per
/// capture run, owned by a std::shared_ptr (see make). Stop it before releasing it; releasing a
/// running pipeline stops it first, on the releasing thread. Its queue's tasks never outlive it:
/// stopping waits until no task is pending or running, so it is never released from a handler.
class AudioPipeline {
    struct Token {
        explicit Token() = default;
    };

  public:
    /// Receives one frame on the processing queue.
    using FrameHandler = std::function<void(const AudioFrame&)>;

    /// Label of the serial processing queue.
    static constexpr const char* processingQueueLabel = "com.halvern.corvessa.audio-pipeline";

    /// A stopped pipeline over these collaborators; `preferredInputUID` is the user's device
    /// choice (none: the system default). `producerLockPath` is the machine-wide lock file; only
    /// tests pass another one. Creates the queue and the output format; does no device work.
    static std::shared_ptr<AudioPipeline> make(
        std::shared_ptr<NoiseProcessor> processor, std::shared_ptr<AudioFrameSink> bridge,
        std::shared_ptr<DeviceManager> deviceManager, std::optional<std::string> preferredInputUID,
        std::string producerLockPath = ProducerGuard::defaultPath());

    /// Use make(); the token keeps construction outside a std::shared_ptr impossible.
    AudioPipeline(Token, std::shared_ptr<NoiseProcessor> processor,
                  std::shared_ptr<AudioFrameSink> bridge,
                  std::shared_ptr<DeviceManager> deviceManager,
                  std::optional<std::string> preferredInputUID, std::string producerLockPath);
    /// Stops a pipeline that still runs, then frees the render scratch.
    ~AudioPipeline();
    AudioPipeline(const AudioPipeline&) = delete;
    AudioPipeline& operator=(const AudioPipeline&) = delete;

    /// True between a successful start() and stop(); readable from any thread.
    bool isRunning() const noexcept { return isRunning_.load(std::memory_order_acquire); }

    /// Sets the callback that receives every frame after processing (or unprocessed when
    /// bypassed or when processing failed), before the sink. Only while stopped: setting it
    /// while running is a fatal precondition failure.
    void setProcessedFrameHandler(FrameHandler handler);
    /// Sets the callback that receives every frame before processing. Only while stopped.
    void setInputFrameHandler(FrameHandler handler);

    /// When true, frames skip the processor from the next frame on; any thread, any time.
    void setBypass(bool bypass);

    /// Takes the producer lock, resolves the physical input, prepares the processor, clears the
    /// sink, builds and starts the capture unit, asks the device for a 128-frame buffer and
    /// attaches as producer. Throws AudioPipelineError or the processor's NoiseProcessorError; a
    /// failed start leaves the pipeline idle (unit disposed, sink detached, lock released).
    void start();

    /// Stops and disposes of the capture unit, detaches and clears the sink, drops pending audio,
    /// resets the processor and releases the producer lock. Does nothing when idle. Never call it
    /// from a frame handler (it waits on the processing queue).
    void stop();

  private:
    static OSStatus auhalInputCallback(void* context, AudioUnitRenderActionFlags* flags,
                                       const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames,
                                       AudioBufferList* data) noexcept;
    OSStatus captureInput(AudioUnitRenderActionFlags* flags, const AudioTimeStamp* timeStamp,
                          UInt32 frames) noexcept;

    void startCapture();
    void buildCaptureUnit(std::uint32_t deviceID);
    void createFormatAndConverter(double sampleRate);
    void allocateCaptureBuffers();
    void startCaptureUnit();
    void rollBackFailedStart();
    void tearDownCaptureUnit();
    void detachFromSink();
    void requireStopped(const char* what) const;

    void postDrain();
    void drainCapturedBlocks();
    void consume(std::span<const float> block, std::uint64_t captureNanos);
    void deliver(AudioFrame& frame, std::uint64_t hostTimeNanos);
    bool bypassed();

    std::atomic<bool> isRunning_{false};
    FrameHandler processedFrameHandler_;
    FrameHandler inputFrameHandler_;
    std::shared_ptr<NoiseProcessor> processor_;
    std::shared_ptr<AudioFrameSink> bridge_;
    std::shared_ptr<DeviceManager> deviceManager_;
    std::optional<std::string> preferredInputUID_;
    std::string producerLockPath_;
    platform::SerialQueue processingQueue_;
    // Capture state: written only while the unit is stopped, read by the real-time callback.
    std::unique_ptr<CaptureUnit> captureUnit_;
    std::unique_ptr<float[]> renderScratch_;
    std::size_t renderScratchCapacity_ = 0;  // samples
    std::optional<platform::AudioFormat> captureFormat_;
    std::uint32_t captureChannels_ = 1;
    std::unique_ptr<CaptureBlockQueue> capturedBlocks_;
    std::unique_ptr<CaptureWakeRelay> wakeRelay_;
    // Processing state: owned by the processing queue while running.
    platform::AudioFormat outputFormat_;
    std::unique_ptr<CaptureConverter> converter_;
    FrameAccumulator frameAccumulator_;
    std::vector<float> drainBlock_;  // one captured block, sized with the render scratch
    std::atomic<bool> drainPosted_{false};
    // Shared with any thread.
    platform::UnfairLock bypassLock_;
    bool bypass_ = false;  // guarded by bypassLock_
    // Producer state.
    std::unique_ptr<ProducerGuard> producerGuard_;
    bool didAttachProducer_ = false;
};

}  // namespace amberlin

#endif
