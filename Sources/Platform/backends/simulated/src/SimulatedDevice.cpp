// Scripted device: constant identity, settable rate and buffer size, per-client signal readers.
#include "platform/SimulatedDevice.h"

#include <algorithm>
#include <span>
#include <utility>

#include "PropertyData.h"
#include "platform/AudioHardware.h"

namespace platform {
namespace {

bool isSideScope(AudioObjectPropertyScope scope) {
    return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

std::vector<AudioValueRange> pointRanges(const SimulatedDeviceConfig& config) {
    std::vector<AudioValueRange> ranges;
    for (Float64 rate : config.availableSampleRates) {
        ranges.push_back({rate, rate});
    }
    if (ranges.empty()) {
        ranges.push_back({config.nominalSampleRate, config.nominalSampleRate});
    }
    return ranges;
}

}  // namespace

/// One client's IO: a reader of the device's signal and a share of the running count.
class SimulatedDevice::InputStream final : public DeviceInputStream {
  public:
    InputStream(std::unique_ptr<SignalReader> reader, UInt32 channels,
                std::shared_ptr<std::atomic<UInt32>> running)
        : reader_(std::move(reader)), channels_(channels), running_(std::move(running)) {
        running_->fetch_add(1, std::memory_order_acq_rel);
    }
    ~InputStream() override { running_->fetch_sub(1, std::memory_order_acq_rel); }

    void read(float* interleaved, UInt32 frames, const AudioTimeStamp&) noexcept override {
        reader_->read(std::span<float>(interleaved, static_cast<std::size_t>(frames) * channels_));
    }

  private:
    std::unique_ptr<SignalReader> reader_;
    UInt32 channels_;
    std::shared_ptr<std::atomic<UInt32>> running_;
};

DeviceInputStream::~DeviceInputStream() = default;

AudioDeviceProvider::~AudioDeviceProvider() = default;

SimulatedDevice::SimulatedDevice(SimulatedDeviceConfig config)
    : config_(std::move(config)),
      rateRanges_(pointRanges(config_)),
      nominalRate_(config_.nominalSampleRate),
      bufferFrameSize_(config_.bufferFrameSize),
      running_(std::make_shared<std::atomic<UInt32>>(0)),
      source_(config_.source) {}

void SimulatedDevice::setSource(std::shared_ptr<const SignalSource> source) {
    std::lock_guard lock(sourceMutex_);
    source_ = std::move(source);
}

UInt32 SimulatedDevice::runningClients() const noexcept {
    return running_->load(std::memory_order_acquire);
}

bool SimulatedDevice::hasProperty(const AudioObjectPropertyAddress& address) const noexcept {
    switch (address.mSelector) {
        case kAudioDevicePropertyDeviceUID:
            return config_.uid.has_value();
        case kAudioObjectPropertyName:
            return config_.name.has_value();
        case kAudioDevicePropertyStreamConfiguration:
            return isSideScope(address.mScope);
        case kAudioDevicePropertyNominalSampleRate:
        case kAudioDevicePropertyAvailableNominalSampleRates:
        case kAudioDevicePropertyBufferFrameSize:
        case kAudioDevicePropertyBufferFrameSizeRange:
        case kAudioDevicePropertyDeviceIsRunning:
        case kAudioDevicePropertyDeviceIsAlive:
            return true;
        default:
            return false;
    }
}

OSStatus SimulatedDevice::getPropertyDataSize(const AudioObjectPropertyAddress& address, UInt32,
                                              const void*, UInt32& outSize) const noexcept {
    if (!hasProperty(address)) {
        return kAudioHardwareUnknownPropertyError;
    }
    switch (address.mSelector) {
        case kAudioDevicePropertyDeviceUID:
        case kAudioObjectPropertyName:
            outSize = sizeof(CFStringRef);
            break;
        case kAudioDevicePropertyStreamConfiguration:
            outSize = sizeof(AudioBufferList);
            break;
        case kAudioDevicePropertyNominalSampleRate:
            outSize = sizeof(Float64);
            break;
        case kAudioDevicePropertyAvailableNominalSampleRates:
            outSize = static_cast<UInt32>(rateRanges_.size() * sizeof(AudioValueRange));
            break;
        case kAudioDevicePropertyBufferFrameSizeRange:
            outSize = sizeof(AudioValueRange);
            break;
        default:
            outSize = sizeof(UInt32);
            break;
    }
    return kAudioHardwareNoError;
}

OSStatus SimulatedDevice::getPropertyData(const AudioObjectPropertyAddress& address, UInt32,
                                          const void*, UInt32& ioSize,
                                          void* outData) const noexcept {
    using namespace property;
    if (!hasProperty(address)) {
        return kAudioHardwareUnknownPropertyError;
    }
    switch (address.mSelector) {
        case kAudioDevicePropertyDeviceUID:
            return copyOutString(*config_.uid, ioSize, outData);
        case kAudioObjectPropertyName:
            return copyOutString(*config_.name, ioSize, outData);
        case kAudioDevicePropertyStreamConfiguration:
            return copyOut(streamConfiguration(address.mScope), ioSize, outData);
        case kAudioDevicePropertyNominalSampleRate:
            return copyOut(nominalRate_.load(std::memory_order_acquire), ioSize, outData);
        case kAudioDevicePropertyAvailableNominalSampleRates:
            return copyOutList(std::span<const AudioValueRange>(rateRanges_), ioSize, outData);
        case kAudioDevicePropertyBufferFrameSize:
            return copyOut(bufferFrameSize_.load(std::memory_order_acquire), ioSize, outData);
        case kAudioDevicePropertyBufferFrameSizeRange:
            return copyOut(config_.bufferFrameSizeRange, ioSize, outData);
        case kAudioDevicePropertyDeviceIsRunning:
            return copyOut(UInt32{runningClients() > 0 ? 1u : 0u}, ioSize, outData);
        default:
            return copyOut(UInt32{1}, ioSize, outData);
    }
}

OSStatus SimulatedDevice::setPropertyData(const AudioObjectPropertyAddress& address, UInt32,
                                          const void*, UInt32 size, const void* data) noexcept {
    if (!hasProperty(address)) {
        return kAudioHardwareUnknownPropertyError;
    }
    switch (address.mSelector) {
        case kAudioDevicePropertyNominalSampleRate:
            return setNominalRate(size, data);
        case kAudioDevicePropertyBufferFrameSize:
            return setBufferFrameSize(size, data);
        default:
            return kAudioHardwareIllegalOperationError;
    }
}

DeviceInputFormat SimulatedDevice::inputFormat() const noexcept {
    return {nominalRate_.load(std::memory_order_acquire), config_.inputChannels};
}

UInt32 SimulatedDevice::ioBufferFrameSize() const noexcept {
    return bufferFrameSize_.load(std::memory_order_acquire);
}

std::expected<std::unique_ptr<DeviceInputStream>, OSStatus> SimulatedDevice::startInput() {
    if (config_.inputChannels == 0) {
        return std::unexpected(kAudioHardwareIllegalOperationError);
    }
    std::shared_ptr<const SignalSource> source;
    {
        std::lock_guard lock(sourceMutex_);
        source = source_ ? source_ : std::make_shared<SilenceSource>();
    }
    auto reader = source->openReader(inputFormat().sampleRate, config_.inputChannels);
    return std::make_unique<InputStream>(std::move(reader), config_.inputChannels, running_);
}

AudioBufferList SimulatedDevice::streamConfiguration(
    AudioObjectPropertyScope scope) const noexcept {
    const UInt32 channels =
        scope == kAudioObjectPropertyScopeInput ? config_.inputChannels : config_.outputChannels;
    return AudioBufferList{1, {AudioBuffer{channels, 0, nullptr}}};
}

OSStatus SimulatedDevice::setNominalRate(UInt32 size, const void* data) noexcept {
    const auto rate = property::readIn<Float64>(size, data);
    if (!rate) {
        return kAudioHardwareBadPropertySizeError;
    }
    const bool offered = std::any_of(rateRanges_.begin(), rateRanges_.end(), [&](auto range) {
        return *rate >= range.mMinimum && *rate <= range.mMaximum;
    });
    if (!offered) {
        return kAudioDeviceUnsupportedFormatError;
    }
    nominalRate_.store(*rate, std::memory_order_release);
    return kAudioHardwareNoError;
}

OSStatus SimulatedDevice::setBufferFrameSize(UInt32 size, const void* data) noexcept {
    const auto frames = property::readIn<UInt32>(size, data);
    if (!frames) {
        return kAudioHardwareBadPropertySizeError;
    }
    const AudioValueRange range = config_.bufferFrameSizeRange;
    if (*frames == 0 || *frames < range.mMinimum || *frames > range.mMaximum) {
        return kAudioHardwareIllegalOperationError;
    }
    bufferFrameSize_.store(*frames, std::memory_order_release);
    return kAudioHardwareNoError;
}

}  // namespace platform
