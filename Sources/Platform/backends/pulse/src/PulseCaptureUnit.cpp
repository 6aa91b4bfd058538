// PulseAudio capture unit: lifecycle, the hand-off from the mainloop thread, the IO thread.
#include "PulseCaptureUnit.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>

#include "PulseDeviceTable.h"
#include "platform/AudioFormat.h"
#include "platform/HostTime.h"
#include "platform/PulseAudioSystem.h"

namespace platform {
namespace {

/// The unit whose input callback runs on this thread right now; render() is valid only there.
thread_local const PulseCaptureUnit* tCyclingUnit = nullptr;

constexpr AudioUnitElement kInputElement = CaptureUnitSettings::kInputElement;
/// Audio the hand-off holds before it drops blocks, in seconds.
constexpr double kHandoffSeconds = 0.5;
/// Block records the hand-off holds.
constexpr std::size_t kHandoffBlocks = 512;
/// How often the IO thread looks at its stop flag while no audio arrives.
constexpr std::chrono::milliseconds kIdleWake{20};
/// Real-time priority asked for the IO thread (SCHED_FIFO); refused quietly where not allowed.
constexpr int kIOThreadPriority = 10;

}  // namespace

PulseCaptureUnit::PulseCaptureUnit(std::shared_ptr<PulseAudioSystem> system)
    : system_(std::move(system)),
      lookup_([this](AudioObjectID id) { return lookUp(id); }),
      settings_(system_->devices().defaultInput()) {}

PulseCaptureUnit::~PulseCaptureUnit() {
    stopIO();
}

std::optional<DeviceInputFormat> PulseCaptureUnit::lookUp(AudioObjectID id) const {
    const auto device = system_->devices().device(id);
    if (!device) {
        return std::nullopt;
    }
    return DeviceInputFormat{device->sampleRate, device->isSink ? 0 : device->channels};
}

OSStatus PulseCaptureUnit::setProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                       AudioUnitElement element, const void* data,
                                       UInt32 size) noexcept {
    try {
        return settings_.set(id, scope, element, data, size, initialized_, stream_ != nullptr,
                             lookup_);
    } catch (...) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
}

OSStatus PulseCaptureUnit::getProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                       AudioUnitElement element, void* data,
                                       UInt32& ioSize) noexcept {
    try {
        return settings_.get(id, scope, element, data, ioSize, lookup_);
    } catch (...) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
}

OSStatus PulseCaptureUnit::initialize() noexcept {
    if (initialized_) {
        return kAudioHardwareNoError;
    }
    try {
        const auto device = system_->devices().device(settings_.deviceID());
        if (!settings_.inputEnabled() || !device || device->isSink || device->channels == 0) {
            return kAudioUnitErr_FailedInitialization;  // a capture-only unit needs an input
        }
        const DeviceInputFormat input{device->sampleRate, device->channels};
        const AudioStreamBasicDescription client = settings_.clientFormat(input);
        if (client.mSampleRate != 0.0 && client.mSampleRate != input.sampleRate) {
            return kAudioUnitErr_FormatNotSupported;  // this unit converts layout, not rate
        }
        const UInt32 maximumFrames = settings_.maximumFrames();
        deviceBlock_.assign(static_cast<std::size_t>(maximumFrames) * input.channels, 0.0f);
        const auto handoffFrames = std::max<std::size_t>(
            static_cast<std::size_t>(input.sampleRate * kHandoffSeconds), 4 * maximumFrames);
        samples_ = std::make_unique<SpscRing<float>>(handoffFrames * input.channels);
        blocks_ = std::make_unique<SpscRing<Block>>(kHandoffBlocks);
        sourceName_ = device->name;
        channels_ = input.channels;
        sampleRate_ = input.sampleRate;
        const bool interleaved = (client.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
        layout_ = ClientLayout(input.channels, client.mChannelsPerFrame, interleaved);
        initialized_ = true;
        return kAudioHardwareNoError;
    } catch (...) {
        return kAudioUnitErr_FailedInitialization;
    }
}

OSStatus PulseCaptureUnit::uninitialize() noexcept {
    if (isIOThread()) {
        return kAudioUnitErr_CannotDoInCurrentContext;
    }
    stopIO();
    initialized_ = false;
    deviceBlock_ = {};
    samples_.reset();
    blocks_.reset();
    return kAudioHardwareNoError;
}

OSStatus PulseCaptureUnit::start() noexcept {
    if (!initialized_) {
        return kAudioUnitErr_Uninitialized;
    }
    if (stream_) {
        return kAudioHardwareNoError;
    }
    try {
        return startIO();
    } catch (...) {
        stopIO();
        return kAudioHardwareUnspecifiedError;
    }
}

OSStatus PulseCaptureUnit::startIO() {
    const auto device = system_->devices().device(settings_.deviceID());
    if (!device) {
        return kAudioHardwareBadDeviceError;  // gone since Initialize
    }
    PulseRecordConfig config;
    config.source = sourceName_;
    config.rate = static_cast<std::uint32_t>(sampleRate_);
    config.channels = channels_;
    config.fragmentFrames = device->bufferFrames;
    stopping_.store(false, std::memory_order_release);
    sampleTime_ = 0;
    ioThread_ = std::thread([this] { runIO(); });
    stream_ = PulseRecordStream::open(
        system_->connection(), config,
        [this](const float* samples, std::uint32_t frames, std::uint64_t hostNanos) {
            enqueue(samples, frames, hostNanos);
        },
        [this] { wake_.release(); });
    if (!stream_) {
        stopIO();
        return kAudioHardwareBadDeviceError;  // the source refused or vanished
    }
    system_->registerRunningUnit(this);
    return kAudioHardwareNoError;
}

OSStatus PulseCaptureUnit::stop() noexcept {
    if (isIOThread()) {
        return kAudioUnitErr_CannotDoInCurrentContext;  // joining itself would never return
    }
    stopIO();
    return kAudioHardwareNoError;
}

void PulseCaptureUnit::stopIO() noexcept {
    system_->unregisterRunningUnit(this);
    stream_.reset();  // no block is enqueued after this
    if (ioThread_.joinable()) {
        stopping_.store(true, std::memory_order_release);
        wake_.release();
        ioThread_.join();
    }
    // Blocks left over from this run must not be delivered by the next one.
    if (samples_ && blocks_) {
        Block block{};
        while (blocks_->pop(&block, 1)) {
        }
        while (samples_->readable() > 0) {
            float sample = 0.0f;
            samples_->pop(&sample, 1);
        }
    }
}

bool PulseCaptureUnit::isIOThread() const noexcept {
    return ioThread_.joinable() && ioThread_.get_id() == std::this_thread::get_id();
}

OSStatus PulseCaptureUnit::dispose() noexcept {
    if (isIOThread()) {
        return kAudioUnitErr_CannotDoInCurrentContext;
    }
    delete this;
    return kAudioHardwareNoError;
}

void PulseCaptureUnit::setFragmentFrames(UInt32 frames) {
    if (stream_) {
        stream_->setFragmentFrames(frames);
    }
}

void PulseCaptureUnit::enqueue(const float* samples, UInt32 frames, UInt64 hostNanos) noexcept {
    const std::size_t count = static_cast<std::size_t>(frames) * channels_;
    if (samples_->writable() < count || blocks_->writable() < 1) {
        return;  // the IO thread is far behind: this block is lost, as on an overrun
    }
    samples_->push(samples, count);
    const Block block{hostNanos, frames};
    blocks_->push(&block, 1);
    wake_.release();
}

void PulseCaptureUnit::runIO() noexcept {
    sched_param priority{};
    priority.sched_priority = kIOThreadPriority;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
    while (!stopping_.load(std::memory_order_acquire)) {
        wake_.try_acquire_for(kIdleWake);
        Block block{};
        while (!stopping_.load(std::memory_order_acquire) && blocks_->pop(&block, 1)) {
            deliver(block);
        }
    }
}

void PulseCaptureUnit::deliver(const Block& block) noexcept {
    const UInt32 maximumFrames = settings_.maximumFrames();
    const AURenderCallbackStruct& callback = settings_.callback();
    UInt32 done = 0;
    while (done < block.frames) {
        const UInt32 frames = std::min(block.frames - done, maximumFrames);
        samples_->pop(deviceBlock_.data(), static_cast<std::size_t>(frames) * channels_);
        AudioTimeStamp stamp{};
        stamp.mSampleTime = static_cast<Float64>(sampleTime_);
        stamp.mHostTime = AudioConvertNanosToHostTime(
            block.hostNanos + static_cast<UInt64>(done * 1e9 / sampleRate_));
        stamp.mRateScalar = 1.0;
        stamp.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid |
                       kAudioTimeStampRateScalarValid;
        if (callback.inputProc != nullptr) {
            cycleFrames_ = frames;
            tCyclingUnit = this;
            AudioUnitRenderActionFlags flags = 0;
            callback.inputProc(callback.inputProcRefCon, &flags, &stamp, kInputElement, frames,
                               nullptr);
            tCyclingUnit = nullptr;
            cycleFrames_ = 0;
        }
        sampleTime_ += frames;
        done += frames;
    }
}

OSStatus PulseCaptureUnit::render(AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32 bus,
                                  UInt32 frames, AudioBufferList* data) noexcept {
    if (tCyclingUnit != this) {
        return kAudioUnitErr_CannotDoInCurrentContext;
    }
    if (bus != kInputElement) {
        return kAudioUnitErr_InvalidElement;
    }
    if (frames > cycleFrames_) {
        return kAudioUnitErr_TooManyFramesToProcess;
    }
    if (!layout_.fits(*data, frames)) {
        return kAudio_ParamError;
    }
    layout_.copy(deviceBlock_.data(), *data, frames);
    return kAudioHardwareNoError;
}

}  // namespace platform
