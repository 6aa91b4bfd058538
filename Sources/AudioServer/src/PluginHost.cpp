// Loading a plug-in and walking its object tree.
#include "audioserver/PluginHost.h"

#include <dlfcn.h>

#include "audioserver/BundleDescription.h"
#include "audioserver/HostCallbacks.h"
#include "audioserver/PluginLoadError.h"
#include "platform/AudioObjectProperties.h"

namespace audioserver {
namespace {

using Reason = PluginLoadError::Reason;

/// The loader's last error text, or `fallback` when it has none.
std::string loaderError(const std::string& fallback) {
    const char* text = dlerror();
    return text != nullptr ? std::string(text) : fallback;
}

/// The factory's IUnknown reference, queried for the driver interface; the IUnknown reference
/// is released once the driver reference is held.
AudioServerPlugInDriverRef queryDriverInterface(void* unknown) {
    auto* iunknown = static_cast<AudioServerPlugInDriverRef>(unknown);
    LPVOID driver = nullptr;
    const HRESULT result = (*iunknown)->QueryInterface(
        iunknown, CFUUIDGetUUIDBytes(kAudioServerPlugInDriverInterfaceUUID), &driver);
    if (result != 0 || driver == nullptr) {
        (*iunknown)->Release(iunknown);
        throw PluginLoadError(Reason::interfaceUnavailable, "QueryInterface", result);
    }
    (*iunknown)->Release(iunknown);
    return static_cast<AudioServerPlugInDriverRef>(driver);
}

AudioObjectID firstInputStream(const PropertyReader& reader, AudioObjectID device) {
    const auto streams = reader.objectList(
        device, propertyAddress(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput));
    return streams && !streams->empty() ? streams->front() : kAudioObjectUnknown;
}

}  // namespace

PluginHost::PluginHost(const std::filesystem::path& sharedObject,
                       const std::optional<std::filesystem::path>& infoPlist) {
    const std::string factoryName = infoPlist
                                        ? factoryNameForType(*infoPlist, kAudioServerPlugInTypeUUID)
                                        : std::string(kDefaultFactoryName);
    // NODELETE: like the audio server, never unmap a plug-in. What it created outlives the host
    // object: strings released later run its destroy functions, and its process-wide state (the
    // ring handle it never closes) stays reachable.
    library_ = dlopen(sharedObject.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (library_ == nullptr) {
        throw PluginLoadError(Reason::cannotOpen, loaderError(sharedObject.string()));
    }
    try {
        auto factory = reinterpret_cast<AudioServerPlugInFactoryFunction>(
            dlsym(library_, factoryName.c_str()));
        if (factory == nullptr) {
            throw PluginLoadError(Reason::factoryMissing, factoryName);
        }
        void* unknown = factory(kCFAllocatorDefault, kAudioServerPlugInTypeUUID);
        if (unknown == nullptr) {
            throw PluginLoadError(Reason::factoryRefused, factoryName);
        }
        driver_ = queryDriverInterface(unknown);
    } catch (...) {
        dlclose(library_);
        throw;
    }
}

PluginHost::~PluginHost() {
    (*driver_)->Release(driver_);
    dlclose(library_);
}

OSStatus PluginHost::initialize() const noexcept {
    return (*driver_)->Initialize(driver_, hostCallbacks());
}

std::vector<HostedDevice> PluginHost::devices() const {
    const PropertyReader reader = properties();
    const auto ids = reader.objectList(kAudioObjectPlugInObject,
                                       propertyAddress(kAudioPlugInPropertyDeviceList));
    std::vector<HostedDevice> found;
    for (AudioObjectID device : ids.value_or(std::vector<AudioObjectID>{})) {
        found.emplace_back(driver_, device, firstInputStream(reader, device));
    }
    return found;
}

std::optional<HostedDevice> PluginHost::deviceWithUID(const std::string& uid) const {
    const PropertyReader reader = properties();
    for (const HostedDevice& device : devices()) {
        if (reader.string(device.id(), propertyAddress(kAudioDevicePropertyDeviceUID)) == uid) {
            return device;
        }
    }
    return std::nullopt;
}

}  // namespace audioserver
