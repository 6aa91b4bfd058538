// Input device listing and resolution over the audio system's hardware objects.
#include "AmberlinAudioCore/DeviceManager.h"

#include <algorithm>
#include <string>

#include "HardwareProperties.h"
#include "NameOrder.h"

namespace amberlin {
namespace {

/// The listing entry of `id`, or none when it has no input channels or its configuration cannot
/// be read. A missing UID falls back to the decimal id, a missing name to "Input <id>".
std::optional<AudioInputDevice> describeInput(AudioObjectID id,
                                              std::optional<AudioObjectID> defaultInput) {
    const auto channels = hardware::inputChannelCount(id);
    if (!channels || *channels == 0) {
        return std::nullopt;
    }
    AudioInputDevice device;
    device.id = id;
    device.uid =
        hardware::stringProperty(id, kAudioDevicePropertyDeviceUID).value_or(std::to_string(id));
    device.name = hardware::stringProperty(id, kAudioObjectPropertyName)
                      .value_or("Input " + std::to_string(id));
    device.isDefault = defaultInput && *defaultInput == id;
    return device;
}

/// Default devices first; within each group ascending by name, ignoring case.
bool listsBefore(const AudioInputDevice& a, const AudioInputDevice& b) {
    if (a.isDefault != b.isDefault) {
        return a.isDefault;
    }
    return compareNamesIgnoringCase(a.name, b.name) < 0;
}

/// The device with `uid` if given and present; else the default; else the first; else none.
std::optional<AudioInputDevice> choose(const std::vector<AudioInputDevice>& devices,
                                       const std::optional<std::string>& uid) {
    const auto matches = [&](const AudioInputDevice& d) { return uid && d.uid == *uid; };
    auto found = std::find_if(devices.begin(), devices.end(), matches);
    if (found == devices.end()) {
        found = std::find_if(devices.begin(), devices.end(),
                             [](const AudioInputDevice& d) { return d.isDefault; });
    }
    if (found == devices.end()) {
        found = devices.begin();
    }
    return found == devices.end() ? std::nullopt : std::optional<AudioInputDevice>(*found);
}

bool isVirtual(const AudioInputDevice& device) {
    return device.uid == DeviceManager::virtualDeviceUID;
}

}  // namespace

std::vector<AudioInputDevice> DeviceManager::listInputDevices() const {
    const auto ids = hardware::deviceIDs();
    if (!ids) {
        return {};
    }
    const auto defaultInput = hardware::defaultInputDevice();
    std::vector<AudioInputDevice> devices;
    for (const AudioObjectID id : *ids) {
        if (auto device = describeInput(id, defaultInput)) {
            devices.push_back(std::move(*device));
        }
    }
    std::stable_sort(devices.begin(), devices.end(), listsBefore);
    return devices;
}

std::optional<AudioInputDevice> DeviceManager::resolveInputDevice(
    const std::optional<std::string>& uid) const {
    return choose(listInputDevices(), uid);
}

std::optional<AudioInputDevice> DeviceManager::resolvePhysicalInputDevice(
    const std::optional<std::string>& uid) const {
    std::vector<AudioInputDevice> physical = listInputDevices();
    std::erase_if(physical, isVirtual);
    const bool namesVirtual = uid && *uid == virtualDeviceUID;
    return choose(physical, namesVirtual ? std::nullopt : uid);
}

bool DeviceManager::isVirtualDeviceDefaultInput() const {
    const auto defaultInput = hardware::defaultInputDevice();
    if (!defaultInput) {
        return false;
    }
    const auto uid = hardware::stringProperty(*defaultInput, kAudioDevicePropertyDeviceUID);
    return uid && *uid == virtualDeviceUID;
}

bool DeviceManager::moveDefaultInputToPhysical(
    const std::optional<std::string>& preferredUID) const {
    const auto device = resolvePhysicalInputDevice(preferredUID);
    return device && hardware::setDefaultInputDevice(device->id);
}

}  // namespace amberlin
