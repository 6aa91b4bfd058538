// Loads an audio-server plug-in from its shared object and brings it up as the audio server does:
// factory for the plug-in type, QueryInterface for the driver interface, Initialize with a host
// table, then the object tree (plug-in -> devices -> input streams).
//
// Ownership: the host holds one reference on the driver interface, released when the host is
// destroyed; devices must not be used after that. The shared object itself is never unmapped
// (as an audio server never unloads a plug-in), so objects the plug-in created stay valid.
#ifndef CORVESSA_AUDIOSERVER_PLUGIN_HOST_H
#define CORVESSA_AUDIOSERVER_PLUGIN_HOST_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "audioserver/HostedDevice.h"
#include "audioserver/PropertyReader.h"
#include "platform/AudioServerPlugIn.h"

namespace audioserver {

/// One loaded plug-in and its driver interface.
class PluginHost {
  public:
    /// Factory name used when no Info.plist is given.
    static constexpr const char* kDefaultFactoryName = "Corvessa_Create";

    /// Loads `sharedObject`; the factory comes from `infoPlist` when given. Throws
    /// PluginLoadError when the object cannot be loaded, the factory is missing or refuses the
    /// plug-in type, or the driver interface is not available.
    explicit PluginHost(const std::filesystem::path& sharedObject,
                        const std::optional<std::filesystem::path>& infoPlist = std::nullopt);
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    /// Initialize with this host's callback table.
    OSStatus initialize() const noexcept;

    /// The driver reference the plug-in handed out.
    AudioServerPlugInDriverRef driver() const noexcept { return driver_; }
    /// Property reads on this plug-in's objects.
    PropertyReader properties() const noexcept { return PropertyReader(driver_); }
    /// Devices listed by the plug-in object, each with its first input stream (0 when none).
    std::vector<HostedDevice> devices() const;
    /// The device whose UID property equals `uid`, if any.
    std::optional<HostedDevice> deviceWithUID(const std::string& uid) const;

  private:
    void* library_ = nullptr;
    AudioServerPlugInDriverRef driver_ = nullptr;
};

}  // namespace audioserver

#endif
