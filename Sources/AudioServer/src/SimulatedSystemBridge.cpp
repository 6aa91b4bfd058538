// Hosted plug-in devices behind the simulated system's device-provider hook.
#include "audioserver/SimulatedSystemBridge.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/AudioHardware.h"
#include "platform/AudioObjectProperties.h"

namespace audioserver {
namespace {

/// The process id the plug-in sees as its client's (this process records from the device).
pid_t clientProcess() noexcept {
    return getpid();
}

}  // namespace

/// One client's IO on the hosted device: StartIO at creation, StopIO at destruction.
class HostedDeviceProvider::InputStream final : public platform::DeviceInputStream {
  public:
    InputStream(std::shared_ptr<PluginHost> host, HostedDevice device, UInt32 clientID,
                UInt32 channels, std::shared_ptr<std::mutex> ioMutex)
        : host_(std::move(host)),
          device_(device),
          clientID_(clientID),
          channels_(channels),
          ioMutex_(std::move(ioMutex)) {}

    ~InputStream() override { device_.stopIO(clientID_); }

    void read(float* interleaved, UInt32 frames, const AudioTimeStamp& time) noexcept override {
        AudioServerPlugInIOCycleInfo cycle{};
        cycle.mIOCycleCounter = cycles_++;
        cycle.mNominalIOBufferFrameSize = frames;
        cycle.mInputTime = time;
        cycle.mCurrentTime = time;
        std::lock_guard lock(*ioMutex_);
        if (runReadInput(interleaved, frames, cycle) != kAudioHardwareNoError) {
            std::fill_n(interleaved, static_cast<std::size_t>(frames) * channels_, 0.0f);
        }
    }

  private:
    /// Begin, Do and End of one read-input operation, as the audio server brackets it.
    OSStatus runReadInput(float* out, UInt32 frames,
                          const AudioServerPlugInIOCycleInfo& cycle) noexcept {
        const AudioServerPlugInDriverRef driver = device_.driver();
        const UInt32 operation = kAudioServerPlugInIOOperationReadInput;
        OSStatus status =
            (*driver)->BeginIOOperation(driver, device_.id(), clientID_, operation, frames, &cycle);
        if (status != kAudioHardwareNoError) {
            return status;
        }
        status = (*driver)->DoIOOperation(driver, device_.id(), device_.inputStream(), clientID_,
                                          operation, frames, &cycle, out, nullptr);
        const OSStatus ended =
            (*driver)->EndIOOperation(driver, device_.id(), clientID_, operation, frames, &cycle);
        return status != kAudioHardwareNoError ? status : ended;
    }

    std::shared_ptr<PluginHost> host_;  // keeps the plug-in loaded while the client runs
    HostedDevice device_;
    UInt32 clientID_;
    UInt32 channels_;
    std::shared_ptr<std::mutex> ioMutex_;
    UInt64 cycles_ = 0;  // IO thread only
};

HostedDeviceProvider::HostedDeviceProvider(std::shared_ptr<PluginHost> host, HostedDevice device)
    : host_(std::move(host)),
      device_(device),
      bufferFrameSize_(host_->properties()
                           .u32(device_.id(), propertyAddress(kAudioDevicePropertyBufferFrameSize))
                           .value_or(512)),
      ioMutex_(std::make_shared<std::mutex>()) {}

bool HostedDeviceProvider::hasProperty(const AudioObjectPropertyAddress& address) const noexcept {
    return (*driver())->HasProperty(driver(), device_.id(), clientProcess(), &address) != 0;
}

OSStatus HostedDeviceProvider::getPropertyDataSize(const AudioObjectPropertyAddress& address,
                                                   UInt32 qualifierSize, const void* qualifier,
                                                   UInt32& outSize) const noexcept {
    return (*driver())->GetPropertyDataSize(driver(), device_.id(), clientProcess(), &address,
                                            qualifierSize, qualifier, &outSize);
}

OSStatus HostedDeviceProvider::getPropertyData(const AudioObjectPropertyAddress& address,
                                               UInt32 qualifierSize, const void* qualifier,
                                               UInt32& ioSize, void* outData) const noexcept {
    return (*driver())->GetPropertyData(driver(), device_.id(), clientProcess(), &address,
                                        qualifierSize, qualifier, ioSize, &ioSize, outData);
}

OSStatus HostedDeviceProvider::setPropertyData(const AudioObjectPropertyAddress& address,
                                               UInt32 qualifierSize, const void* qualifier,
                                               UInt32 size, const void* data) noexcept {
    return (*driver())->SetPropertyData(driver(), device_.id(), clientProcess(), &address,
                                        qualifierSize, qualifier, size, data);
}

platform::DeviceInputFormat HostedDeviceProvider::inputFormat() const noexcept {
    try {
        const PropertyReader reader = host_->properties();
        const Float64 rate =
            reader.f64(device_.id(), propertyAddress(kAudioDevicePropertyNominalSampleRate))
                .value_or(0.0);
        const auto layout =
            reader.bufferList(device_.id(), propertyAddress(kAudioDevicePropertyStreamConfiguration,
                                                            kAudioObjectPropertyScopeInput));
        const bool hasInput = layout && layout->mNumberBuffers > 0 && device_.inputStream() != 0;
        return {rate, hasInput ? layout->mBuffers[0].mNumberChannels : 0};
    } catch (...) {
        return {0.0, 0};
    }
}

UInt32 HostedDeviceProvider::ioBufferFrameSize() const noexcept {
    return bufferFrameSize_;
}

std::expected<std::unique_ptr<platform::DeviceInputStream>, OSStatus>
HostedDeviceProvider::startInput() {
    const UInt32 channels = inputFormat().channels;
    if (channels == 0) {
        return std::unexpected(kAudioHardwareIllegalOperationError);
    }
    const UInt32 clientID = nextClientID_.fetch_add(1, std::memory_order_relaxed);
    const OSStatus status = device_.startIO(clientID);
    if (status != kAudioHardwareNoError) {
        return std::unexpected(status);
    }
    return std::make_unique<InputStream>(host_, device_, clientID, channels, ioMutex_);
}

std::vector<AudioObjectID> publishPluginDevices(platform::SimulatedAudioSystem& system,
                                                const std::shared_ptr<PluginHost>& host,
                                                AudioObjectID firstID) {
    std::vector<AudioObjectID> published;
    AudioObjectID id = firstID;
    for (const HostedDevice& device : host->devices()) {
        auto provider = std::make_shared<HostedDeviceProvider>(host, device);
        if (system.addDevice(id, std::move(provider))) {
            published.push_back(id);
        }
        ++id;
    }
    return published;
}

}  // namespace audioserver
