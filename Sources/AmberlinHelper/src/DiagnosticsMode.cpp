// Diagnostics mode: fills one snapshot and prints it.
#include "DiagnosticsMode.h"

#include "AmberlinAudioCore/Diagnostics.h"
#include "AmberlinAudioCore/VirtualMicBridge.h"
#include "AmberlinAudioCore/VoiceChain.h"

namespace amberlin::helper {
namespace {

/// "name [uid]" for every listed device, the virtual one included, without a marker.
std::vector<std::string> deviceEntries(const std::vector<AudioInputDevice>& devices) {
    std::vector<std::string> entries;
    entries.reserve(devices.size());
    for (const AudioInputDevice& device : devices) {
        entries.push_back(device.name + " [" + device.uid + "]");
    }
    return entries;
}

}  // namespace

int runDiagnosticsMode(const HelperContext& context, const HelperEnvironment& environment,
                       std::ostream& out) {
    const auto processor = NoiseProcessorFactory::make(context.settings);
    prepareIgnoringErrors(*processor);
    const SharedVirtualMicBridge bridge(environment.ringName, true,
                                        SharedVirtualMicBridge::defaultFrameCapacity);
    const DiagnosticsSnapshot snapshot(environment.version, kVirtualDeviceName, context.settings,
                                       deviceEntries(context.devices), bridge.health(),
                                       processor->metrics());
    out << snapshot.jsonData() << '\n';
    return 0;
}

}  // namespace amberlin::helper
