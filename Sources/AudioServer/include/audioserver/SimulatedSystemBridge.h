// Presents the devices of a hosted plug-in to the simulated audio system, so that an application
// on that system lists "Corvessa Mic" with its UID and records from it as it would on a machine
// whose audio server loaded the plug-in.
//
// Property calls on the published id go unchanged to the plug-in's driver interface (with the
// plug-in's own device id). Each capture unit started on the device is one IO client: StartIO
// when it starts, one read-input IO operation per cycle, StopIO when it stops.
//
// Threads: property calls from any control thread. The plug-in's IO state belongs to one IO
// thread, so read-input cycles of several clients on the same device are serialised by one
// mutex per device (uncontended with a single client). The host must stay initialised and
// loaded while published; providers and streams keep it alive through their shared reference.
#ifndef CORVESSA_AUDIOSERVER_SIMULATED_SYSTEM_BRIDGE_H
#define CORVESSA_AUDIOSERVER_SIMULATED_SYSTEM_BRIDGE_H

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "audioserver/HostedDevice.h"
#include "audioserver/PluginHost.h"
#include "platform/AudioDeviceProvider.h"
#include "platform/SimulatedAudioSystem.h"

namespace audioserver {

/// One device of a hosted plug-in as a device provider of the simulated system.
class HostedDeviceProvider final : public platform::AudioDeviceProvider {
  public:
    /// Wraps `device` of the initialised `host`.
    HostedDeviceProvider(std::shared_ptr<PluginHost> host, HostedDevice device);

    bool hasProperty(const AudioObjectPropertyAddress& address) const noexcept override;
    OSStatus getPropertyDataSize(const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                                 const void* qualifier, UInt32& outSize) const noexcept override;
    OSStatus getPropertyData(const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                             const void* qualifier, UInt32& ioSize,
                             void* outData) const noexcept override;
    OSStatus setPropertyData(const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                             const void* qualifier, UInt32 size,
                             const void* data) noexcept override;
    /// Nominal rate ('nsrt') and input channels ('slay', input scope), read from the plug-in.
    platform::DeviceInputFormat inputFormat() const noexcept override;
    /// The plug-in's buffer frame size ('fsiz'), read once at construction.
    UInt32 ioBufferFrameSize() const noexcept override;
    /// StartIO for a new client id; the stream runs read-input cycles and StopIO when destroyed.
    std::expected<std::unique_ptr<platform::DeviceInputStream>, OSStatus> startInput() override;

  private:
    class InputStream;

    AudioServerPlugInDriverRef driver() const noexcept { return device_.driver(); }

    std::shared_ptr<PluginHost> host_;
    HostedDevice device_;
    UInt32 bufferFrameSize_;               // frames per IO cycle
    std::shared_ptr<std::mutex> ioMutex_;  // serialises IO operations of this device's clients
    std::atomic<UInt32> nextClientID_{1};
};

/// Adds every device of the initialised `host` to `system`, numbered from `firstID` up in the
/// plug-in's order; returns the ids given (a device whose id is taken is skipped).
std::vector<AudioObjectID> publishPluginDevices(platform::SimulatedAudioSystem& system,
                                                const std::shared_ptr<PluginHost>& host,
                                                AudioObjectID firstID);

}  // namespace audioserver

#endif
