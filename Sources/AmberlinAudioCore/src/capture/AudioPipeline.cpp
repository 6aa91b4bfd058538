// Capture pipeline: start-up with rollback, the real-time input callback, the processing queue's
// consume step, and stop.
#include "AmberlinAudioCore/AudioPipeline.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "AmberlinAudioCore/CaptureBlockQueue.h"
#include "CaptureConverter.h"
#include "CaptureUnit.h"
#include "CaptureWakeRelay.h"
#include "platform/HostTime.h"

namespace amberlin {
namespace {

constexpr double kOutputRate = AudioFrame::sampleRate;  // Hz
constexpr std::uint32_t kMinimumScratchFrames = 512;    // frames per render, at least
// The hand-off between the real-time thread and the queue holds this much capture audio
// (seconds) in at most this many blocks before it drops the newest block.
constexpr double kHandoffSeconds = 2.0;
constexpr std::size_t kHandoffBlocks = 2048;

[[noreturn]] void preconditionFailure(const char* message) {
    std::fprintf(stderr, "AudioPipeline: %s\n", message);
    std::abort();
}

template <class T>
std::shared_ptr<T> required(std::shared_ptr<T> collaborator, const char* message) {
    if (!collaborator) {
        preconditionFailure(message);
    }
    return collaborator;
}

/// Host time of a captured block in ns: the stamp's host time when valid, else the current time.
std::uint64_t captureNanos(const AudioTimeStamp* timeStamp) noexcept {
    const bool valid =
        timeStamp != nullptr && (timeStamp->mFlags & kAudioTimeStampHostTimeValid) != 0;
    return AudioConvertHostTimeToNanos(valid ? timeStamp->mHostTime : AudioGetCurrentHostTime());
}

}  // namespace

std::shared_ptr<AudioPipeline> AudioPipeline::make(std::shared_ptr<NoiseProcessor> processor,
                                                   std::shared_ptr<AudioFrameSink> bridge,
                                                   std::shared_ptr<DeviceManager> deviceManager,
                                                   std::optional<std::string> preferredInputUID,
                                                   std::string producerLockPath) {
    return std::make_shared<AudioPipeline>(Token{}, std::move(processor), std::move(bridge),
                                           std::move(deviceManager), std::move(preferredInputUID),
                                           std::move(producerLockPath));
}

AudioPipeline::AudioPipeline(Token, std::shared_ptr<NoiseProcessor> processor,
                             std::shared_ptr<AudioFrameSink> bridge,
                             std::shared_ptr<DeviceManager> deviceManager,
                             std::optional<std::string> preferredInputUID,
                             std::string producerLockPath)
    : processor_(required(std::move(processor), "a processor is required")),
      bridge_(required(std::move(bridge), "a frame sink is required")),
      deviceManager_(required(std::move(deviceManager), "a device manager is required")),
      preferredInputUID_(std::move(preferredInputUID)),
      producerLockPath_(std::move(producerLockPath)),
      processingQueue_(processingQueueLabel),
      outputFormat_(*platform::AudioFormat::make(platform::CommonFormat::pcmFormatFloat32,
                                                 kOutputRate, 1, true)) {}

AudioPipeline::~AudioPipeline() {
    stop();
}

void AudioPipeline::setProcessedFrameHandler(FrameHandler handler) {
    requireStopped("frame handlers are set only while the pipeline is stopped");
    processedFrameHandler_ = std::move(handler);
}

void AudioPipeline::setInputFrameHandler(FrameHandler handler) {
    requireStopped("frame handlers are set only while the pipeline is stopped");
    inputFrameHandler_ = std::move(handler);
}

void AudioPipeline::requireStopped(const char* what) const {
    if (isRunning()) {
        preconditionFailure(what);
    }
}

void AudioPipeline::setBypass(bool bypass) {
    bypassLock_.withLock([&] { bypass_ = bypass; });
}

bool AudioPipeline::bypassed() {
    return bypassLock_.withLock([&] { return bypass_; });
}

// ---- Start -------------------------------------------------------------------------------------

void AudioPipeline::start() {
    if (isRunning()) {
        throw AudioPipelineError::alreadyRunning();
    }
    producerGuard_ = ProducerGuard::acquire(producerLockPath_);
    if (!producerGuard_) {
        throw AudioPipelineError::producerAlreadyRunning();
    }
    try {
        startCapture();
    } catch (...) {
        rollBackFailedStart();
        throw;
    }
    isRunning_.store(true, std::memory_order_release);
}

void AudioPipeline::startCapture() {
    const auto device = deviceManager_->resolvePhysicalInputDevice(preferredInputUID_);
    if (!device) {
        throw AudioPipelineError::inputDeviceUnavailable();
    }
    if (device->uid == DeviceManager::virtualDeviceUID) {
        throw AudioPipelineError::wouldCaptureVirtualDevice();
    }
    processor_->prepare(kOutputRate, 1);
    bridge_->clear();
    buildCaptureUnit(device->id);
    startCaptureUnit();
    CaptureUnit::requestLowLatencyBuffer(device->id);
    bridge_->attachProducer();
    didAttachProducer_ = true;
}

void AudioPipeline::buildCaptureUnit(std::uint32_t deviceID) {
    captureUnit_ = CaptureUnit::create();  // kept at once, so a later failure disposes of it
    captureUnit_->enableInputOnly();
    captureUnit_->bindDevice(deviceID);
    const AudioStreamBasicDescription device = captureUnit_->deviceFormat();
    const double rate = device.mSampleRate > 0.0 ? device.mSampleRate : kOutputRate;
    captureChannels_ = std::max<std::uint32_t>(device.mChannelsPerFrame, 1);
    captureUnit_->setClientFormat(rate, captureChannels_);
    createFormatAndConverter(rate);
    allocateCaptureBuffers();
    captureUnit_->setInputCallback(&AudioPipeline::auhalInputCallback, this);
    captureUnit_->initialize();
}

void AudioPipeline::createFormatAndConverter(double sampleRate) {
    captureFormat_ = platform::AudioFormat::make(platform::CommonFormat::pcmFormatFloat32,
                                                 sampleRate, captureChannels_, true);
    if (!captureFormat_) {
        throw AudioPipelineError::converterUnavailable();
    }
    converter_.reset();
    if (captureChannels_ > 1 || sampleRate != kOutputRate) {
        converter_ = CaptureConverter::make(*captureFormat_, outputFormat_);
        if (!converter_) {
            throw AudioPipelineError::converterUnavailable();
        }
    }
}

void AudioPipeline::allocateCaptureBuffers() {
    const std::uint32_t maximumFrames =
        std::max(captureUnit_->maximumFramesPerSlice(), kMinimumScratchFrames);
    renderScratchCapacity_ = std::size_t{captureChannels_} * maximumFrames;
    renderScratch_ = std::make_unique<float[]>(renderScratchCapacity_);
    drainBlock_.reserve(renderScratchCapacity_);
    const auto handoffSamples = static_cast<std::size_t>(
        std::ceil(captureFormat_->sampleRate() * kHandoffSeconds) * captureChannels_);
    capturedBlocks_ = std::make_unique<CaptureBlockQueue>(
        std::max(handoffSamples, 4 * renderScratchCapacity_), kHandoffBlocks);
    // A converter whose buffers cannot be had yields empty blocks, as a failed conversion does.
    if (converter_) {
        converter_->reserve(maximumFrames);
    }
}

void AudioPipeline::startCaptureUnit() {
    if (!captureUnit_) {
        throw AudioPipelineError::captureUnitUnavailable(kAudioUnitErr_Uninitialized);
    }
    wakeRelay_ = std::make_unique<CaptureWakeRelay>([this] { postDrain(); });
    captureUnit_->start();
}

void AudioPipeline::rollBackFailedStart() {
    tearDownCaptureUnit();
    if (didAttachProducer_) {
        detachFromSink();
    }
    producerGuard_.reset();
}

// ---- Stop --------------------------------------------------------------------------------------

void AudioPipeline::stop() {
    if (!isRunning() && !didAttachProducer_ && !producerGuard_) {
        return;
    }
    tearDownCaptureUnit();
    if (didAttachProducer_) {
        detachFromSink();
    }
    processingQueue_.sync([this] { frameAccumulator_.clear(); });
    processor_->reset();
    producerGuard_.reset();
    isRunning_.store(false, std::memory_order_release);
}

void AudioPipeline::tearDownCaptureUnit() {
    if (captureUnit_) {
        captureUnit_->tearDown();
        captureUnit_.reset();
    }
    wakeRelay_.reset();
    // Blocks captured but not yet consumed are dropped here, so that nothing reaches the sink
    // after it has been detached and cleared; a drain already running finishes first.
    processingQueue_.sync([this] {
        if (capturedBlocks_) {
            capturedBlocks_->clear();
        }
    });
}

void AudioPipeline::detachFromSink() {
    bridge_->detachProducer();
    bridge_->clear();
    didAttachProducer_ = false;
}

// ---- Real-time thread --------------------------------------------------------------------------

OSStatus AudioPipeline::auhalInputCallback(void* context, AudioUnitRenderActionFlags* flags,
                                           const AudioTimeStamp* timeStamp, UInt32, UInt32 frames,
                                           AudioBufferList*) noexcept {
    return static_cast<AudioPipeline*>(context)->captureInput(flags, timeStamp, frames);
}

OSStatus AudioPipeline::captureInput(AudioUnitRenderActionFlags* flags,
                                     const AudioTimeStamp* timeStamp, UInt32 frames) noexcept {
    if (!captureUnit_ || !renderScratch_ || !capturedBlocks_ || !wakeRelay_) {
        return 0;
    }
    const std::size_t samples = std::size_t{frames} * captureChannels_;
    if (samples > renderScratchCapacity_) {
        return 0;  // larger than any block the unit announced: skipped
    }
    AudioBufferList buffers{};
    buffers.mNumberBuffers = 1;
    buffers.mBuffers[0] = {captureChannels_, static_cast<UInt32>(samples * sizeof(float)),
                           renderScratch_.get()};
    const OSStatus status = captureUnit_->render(flags, timeStamp, frames, &buffers);
    if (status != 0) {
        return status;  // the block is dropped
    }
    if (capturedBlocks_->push({renderScratch_.get(), samples}, captureNanos(timeStamp))) {
        wakeRelay_->notify();
    }
    return 0;
}

// ---- Processing queue --------------------------------------------------------------------------

void AudioPipeline::postDrain() {
    // One drain at a time: a drain clears the flag before it looks for blocks, so a block pushed
    // after that is either seen by it or posts the next drain.
    if (drainPosted_.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    // The task may refer to the pipeline directly: stopping (and so destruction) waits on the
    // queue after the relay has been joined, so no task is left behind to outlive it.
    processingQueue_.async([this] { drainCapturedBlocks(); });
}

void AudioPipeline::drainCapturedBlocks() {
    drainPosted_.exchange(false, std::memory_order_acq_rel);
    if (!capturedBlocks_) {
        return;
    }
    while (const auto nanos = capturedBlocks_->pop(drainBlock_)) {
        consume(drainBlock_, *nanos);
    }
}

void AudioPipeline::consume(std::span<const float> block, std::uint64_t captureTimeNanos) {
    const std::span<const float> converted = converter_ ? converter_->convert(block) : block;
    frameAccumulator_.append(converted, captureTimeNanos);
    AudioFrame frame;
    std::uint64_t hostTimeNanos = 0;
    while (frameAccumulator_.takeFrame(frame, hostTimeNanos)) {
        deliver(frame, hostTimeNanos);
    }
}

void AudioPipeline::deliver(AudioFrame& frame, std::uint64_t hostTimeNanos) {
    if (inputFrameHandler_) {
        inputFrameHandler_(frame);
    }
    if (!bypassed()) {
        try {
            frame = processor_->process(frame, hostTimeNanos);
        } catch (...) {
            // A refusing processor lets the unprocessed frame through.
        }
    }
    if (processedFrameHandler_) {
        processedFrameHandler_(frame);
    }
    bridge_->writeLatest(frame);
}

}  // namespace amberlin
