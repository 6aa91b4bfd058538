// System-audio capture through a private process tap and aggregate device, its stand-in for
// systems without taps, and the factory that chooses between them.
#include "AmberlinAudioCore/SystemAudioCapture.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/AudioHardware.h"
#include "platform/CoreFoundation.h"
#include "platform/HostTime.h"
#include "platform/SerialQueue.h"

namespace amberlin {
namespace {

constexpr const char* kQueueLabel = "com.halvern.corvessa.coreaudio-tap";
constexpr const char* kTapName = "Corvessa Call Tap";
constexpr const char* kAggregateName = "Corvessa Tap Device";

constexpr AudioObjectPropertyAddress tapProperty(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

/// A new random UUID in canonical upper-case text.
std::string newUUIDString() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    char text[37];
    uuid_unparse_upper(uuid, text);
    return text;
}

/// Stereo mix of every process's output, private to this process, still audible.
platform::TapDescription callTapDescription() {
    auto description = platform::TapDescription::stereoGlobalTapButExcludeProcesses({});
    description.name = kTapName;
    description.isPrivate = true;
    description.muteBehavior = platform::TapMuteBehavior::unmuted;
    return description;
}

/// A private aggregate device, under a fresh UID, made of the tap alone.
platform::AggregateDeviceDescription tapDeviceDescription(const std::string& tapUID) {
    platform::AggregateDeviceDescription description;
    description.name = kAggregateName;
    description.uid = newUUIDString();
    description.isPrivate = true;
    description.isStacked = false;
    description.tapAutoStart = true;
    description.taps = {{tapUID, true}};
    return description;
}

/// Host time, in ns, of the cycle's first frame: the stamp's when valid, else now.
std::uint64_t captureNanos(const AudioTimeStamp* time) {
    const bool valid = time != nullptr && (time->mFlags & kAudioTimeStampHostTimeValid) != 0;
    return AudioConvertHostTimeToNanos(valid ? time->mHostTime : AudioGetCurrentHostTime());
}

}  // namespace

SystemAudioCaptureError SystemAudioCaptureError::tapCreationFailed(OSStatus status) {
    return {Code::tapCreationFailed, status};
}

SystemAudioCaptureError SystemAudioCaptureError::aggregateCreationFailed(OSStatus status) {
    return {Code::aggregateCreationFailed, status};
}

SystemAudioCaptureError SystemAudioCaptureError::ioProcFailed(OSStatus status) {
    return {Code::ioProcFailed, status};
}

SystemAudioCaptureError SystemAudioCaptureError::unavailable() {
    return {Code::unavailable, 0};
}

SystemAudioCaptureError SystemAudioCaptureError::formatUnavailable() {
    return {Code::formatUnavailable, 0};
}

const char* SystemAudioCaptureError::what() const noexcept {
    switch (code_) {
        case Code::tapCreationFailed:
            return "tapCreationFailed";
        case Code::aggregateCreationFailed:
            return "aggregateCreationFailed";
        case Code::ioProcFailed:
            return "ioProcFailed";
        case Code::unavailable:
            return "unavailable";
        case Code::formatUnavailable:
            return "formatUnavailable";
    }
    return "SystemAudioCaptureError";
}

std::shared_ptr<CoreAudioTapCapture> CoreAudioTapCapture::make() {
    return std::make_shared<CoreAudioTapCapture>(Token{});
}

CoreAudioTapCapture::CoreAudioTapCapture(Token)
    : ioQueue_(std::make_shared<platform::SerialQueue>(kQueueLabel)) {}

CoreAudioTapCapture::~CoreAudioTapCapture() = default;

SystemAudioCapturing::BufferHandler CoreAudioTapCapture::onAudioBuffer() const {
    std::lock_guard lock(mutex_);
    return onAudioBuffer_;
}

void CoreAudioTapCapture::setOnAudioBuffer(BufferHandler handler) {
    std::lock_guard lock(mutex_);
    onAudioBuffer_ = std::move(handler);
}

CoreAudioTapCapture::TimedBufferHandler CoreAudioTapCapture::onTimedAudioBuffer() const {
    std::lock_guard lock(mutex_);
    return onTimedAudioBuffer_;
}

void CoreAudioTapCapture::setOnTimedAudioBuffer(TimedBufferHandler handler) {
    std::lock_guard lock(mutex_);
    onTimedAudioBuffer_ = std::move(handler);
}

AudioObjectID CoreAudioTapCapture::tapID() const {
    std::lock_guard lock(mutex_);
    return tapID_;
}

AudioObjectID CoreAudioTapCapture::aggregateID() const {
    std::lock_guard lock(mutex_);
    return aggregateID_;
}

bool CoreAudioTapCapture::hasIOProc() const {
    std::lock_guard lock(mutex_);
    return ioProcID_ != nullptr;
}

void CoreAudioTapCapture::start() {
    if (tapID() != 0) {
        stop();  // objects of an earlier start would otherwise be forgotten and never released
    }
    createTap();
    const std::string tapUID = readTapUID();
    readTapFormat();
    createAggregateDevice(tapUID);
    registerIOBlock();
    startDevice();
}

void CoreAudioTapCapture::createTap() {
    const platform::TapDescription description = callTapDescription();
    AudioObjectID tap = 0;
    const OSStatus status = AudioHardwareCreateProcessTap(&description, &tap);
    if (status != 0 || tap == 0) {
        throw SystemAudioCaptureError::tapCreationFailed(status);
    }
    std::lock_guard lock(mutex_);
    tapID_ = tap;
}

std::string CoreAudioTapCapture::readTapUID() const {
    const AudioObjectPropertyAddress address = tapProperty(kAudioTapPropertyUID);
    CFStringRef uid = nullptr;
    UInt32 size = sizeof(uid);
    const OSStatus status = AudioObjectGetPropertyData(tapID(), &address, 0, nullptr, &size, &uid);
    const char* text = CFStringGetCStringPtr(uid, kCFStringEncodingUTF8);
    std::string result = text != nullptr ? text : "";
    CFRelease(uid);
    if (status != 0 || size != sizeof(uid) || text == nullptr) {
        throw SystemAudioCaptureError::formatUnavailable();
    }
    return result;
}

void CoreAudioTapCapture::readTapFormat() {
    const AudioObjectPropertyAddress address = tapProperty(kAudioTapPropertyFormat);
    AudioStreamBasicDescription description{};
    UInt32 size = sizeof(description);
    const OSStatus status =
        AudioObjectGetPropertyData(tapID(), &address, 0, nullptr, &size, &description);
    const auto format = status == 0 && size == sizeof(description)
                            ? platform::AudioFormat::fromStreamDescription(description)
                            : std::nullopt;
    if (!format) {
        throw SystemAudioCaptureError::formatUnavailable();
    }
    std::lock_guard lock(mutex_);
    tapFormat_ = format;
}

void CoreAudioTapCapture::createAggregateDevice(const std::string& tapUID) {
    const platform::AggregateDeviceDescription description = tapDeviceDescription(tapUID);
    AudioObjectID device = 0;
    const OSStatus status = AudioHardwareCreateAggregateDevice(&description, &device);
    if (status != 0 || device == 0) {
        throw SystemAudioCaptureError::aggregateCreationFailed(status);
    }
    std::lock_guard lock(mutex_);
    aggregateID_ = device;
}

void CoreAudioTapCapture::registerIOBlock() {
    std::weak_ptr<CoreAudioTapCapture> weak = weak_from_this();
    auto block = [weak](const AudioTimeStamp*, const AudioBufferList* input,
                        const AudioTimeStamp* inputTime, AudioBufferList*, const AudioTimeStamp*) {
        if (const auto capture = weak.lock()) {
            capture->handleCycle(input, inputTime);
        }
    };
    AudioDeviceIOProcID proc = nullptr;
    const OSStatus status =
        AudioDeviceCreateIOProcIDWithBlock(&proc, aggregateID(), ioQueue_, std::move(block));
    if (status != 0 || proc == nullptr) {
        throw SystemAudioCaptureError::ioProcFailed(status);
    }
    std::lock_guard lock(mutex_);
    ioProcID_ = proc;
}

void CoreAudioTapCapture::startDevice() {
    AudioDeviceIOProcID proc = nullptr;
    AudioObjectID device = 0;
    {
        std::lock_guard lock(mutex_);
        proc = ioProcID_;
        device = aggregateID_;
    }
    const OSStatus status = AudioDeviceStart(device, proc);
    if (status != 0) {
        throw SystemAudioCaptureError::ioProcFailed(status);
    }
}

void CoreAudioTapCapture::stop() {
    std::unique_lock lock(mutex_);
    const AudioObjectID device = std::exchange(aggregateID_, 0);
    const AudioDeviceIOProcID proc = std::exchange(ioProcID_, nullptr);
    const AudioObjectID tap = std::exchange(tapID_, 0);
    lock.unlock();
    if (device != 0) {
        if (proc != nullptr) {
            AudioDeviceStop(device, proc);
            AudioDeviceDestroyIOProcID(device, proc);
        }
        AudioHardwareDestroyAggregateDevice(device);
    }
    if (tap != 0) {
        AudioHardwareDestroyProcessTap(tap);
    }
    ioQueue_->sync([] {});  // blocks queued before the device stopped run before stop returns
}

void CoreAudioTapCapture::handleCycle(const AudioBufferList* input,
                                      const AudioTimeStamp* inputTime) {
    std::unique_lock lock(mutex_);
    const std::optional<platform::AudioFormat> format = tapFormat_;
    const BufferHandler plain = onAudioBuffer_;
    const TimedBufferHandler timed = onTimedAudioBuffer_;
    lock.unlock();
    const auto buffer = format ? makeBuffer(input, *format) : nullptr;
    if (!buffer) {
        return;
    }
    if (plain) {
        plain(buffer);
    }
    if (timed) {
        timed(buffer, captureNanos(inputTime));
    }
}

std::shared_ptr<platform::PCMBuffer> CoreAudioTapCapture::makeBuffer(
    const AudioBufferList* input, const platform::AudioFormat& format) {
    if (input == nullptr || input->mNumberBuffers == 0) {
        return nullptr;
    }
    const AudioBuffer* sources = input->mBuffers;
    const UInt32 bytes = sources[0].mDataByteSize;
    const UInt32 bytesPerFrame = std::max<UInt32>(format.streamDescription().mBytesPerFrame, 1);
    if (bytes < bytesPerFrame) {
        return nullptr;
    }
    const UInt32 frames = bytes / bytesPerFrame;
    auto buffer = platform::PCMBuffer::make(format, frames);
    if (!buffer || !buffer->setFrameLength(frames)) {
        return nullptr;
    }
    AudioBufferList* targetList = buffer->mutableAudioBufferList();
    AudioBuffer* targets = targetList->mBuffers;
    const UInt32 count = std::min(input->mNumberBuffers, targetList->mNumberBuffers);
    for (UInt32 i = 0; i < count; ++i) {
        if (sources[i].mData != nullptr && targets[i].mData != nullptr) {
            const UInt32 size = std::min(sources[i].mDataByteSize, targets[i].mDataByteSize);
            std::memcpy(targets[i].mData, sources[i].mData, size);
        }
    }
    return buffer;
}

SystemAudioCapturing::BufferHandler UnavailableSystemAudioCapture::onAudioBuffer() const {
    std::lock_guard lock(mutex_);
    return onAudioBuffer_;
}

void UnavailableSystemAudioCapture::setOnAudioBuffer(BufferHandler handler) {
    std::lock_guard lock(mutex_);
    onAudioBuffer_ = std::move(handler);
}

void UnavailableSystemAudioCapture::start() {
    throw SystemAudioCaptureError::unavailable();
}

std::shared_ptr<SystemAudioCapturing> SystemAudioCaptureFactory::make() {
    if (AudioHardwareSupportsProcessTaps()) {
        return CoreAudioTapCapture::make();
    }
    return std::make_shared<UnavailableSystemAudioCapture>();
}

}  // namespace amberlin
