// Device IO through the driver interface.
#include "audioserver/HostedDevice.h"

namespace audioserver {

OSStatus HostedDevice::startIO(UInt32 clientID) const noexcept {
    return (*driver_)->StartIO(driver_, device_, clientID);
}

OSStatus HostedDevice::stopIO(UInt32 clientID) const noexcept {
    return (*driver_)->StopIO(driver_, device_, clientID);
}

std::expected<ZeroTimeStamp, OSStatus> HostedDevice::zeroTimeStamp(UInt32 clientID) const noexcept {
    ZeroTimeStamp stamp{};
    const OSStatus status = (*driver_)->GetZeroTimeStamp(
        driver_, device_, clientID, &stamp.sampleTime, &stamp.hostTime, &stamp.seed);
    if (status != kAudioHardwareNoError) {
        return std::unexpected(status);
    }
    return stamp;
}

std::expected<bool, OSStatus> HostedDevice::willReadInput(UInt32 clientID) const noexcept {
    Boolean willDo = 0;
    Boolean inPlace = 0;
    const OSStatus status = (*driver_)->WillDoIOOperation(
        driver_, device_, clientID, kAudioServerPlugInIOOperationReadInput, &willDo, &inPlace);
    if (status != kAudioHardwareNoError) {
        return std::unexpected(status);
    }
    return willDo != 0;
}

OSStatus HostedDevice::readInput(std::span<Float32> out, const AudioServerPlugInIOCycleInfo& cycle,
                                 UInt32 clientID) const noexcept {
    const auto frames = static_cast<UInt32>(out.size());
    const UInt32 operation = kAudioServerPlugInIOOperationReadInput;
    OSStatus status =
        (*driver_)->BeginIOOperation(driver_, device_, clientID, operation, frames, &cycle);
    if (status != kAudioHardwareNoError) {
        return status;
    }
    status = (*driver_)->DoIOOperation(driver_, device_, inputStream_, clientID, operation, frames,
                                       &cycle, out.data(), nullptr);
    const OSStatus ended =
        (*driver_)->EndIOOperation(driver_, device_, clientID, operation, frames, &cycle);
    return status != kAudioHardwareNoError ? status : ended;
}

OSStatus HostedDevice::readInput(std::span<Float32> out) const noexcept {
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mNominalIOBufferFrameSize = static_cast<UInt32>(out.size());
    return readInput(out, cycle);
}

}  // namespace audioserver
