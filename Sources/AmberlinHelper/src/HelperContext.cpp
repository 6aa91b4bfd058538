// The helper's common first steps.
#include "HelperContext.h"

#include <exception>

namespace amberlin::helper {

HelperContext loadHelperContext(const HelperEnvironment& environment) {
    HelperContext context;
    context.settings = SettingsStore(SettingsStore::defaultKey, environment.defaults).load();
    const DeviceManager deviceManager;
    context.devices = deviceManager.listInputDevices();
    context.resolvedInput =
        deviceManager.resolveInputDevice(context.settings.selectedInputDeviceUID);
    return context;
}

void prepareIgnoringErrors(NoiseProcessor& processor) {
    try {
        processor.prepare();
    } catch (const std::exception&) {
        // A processor that refuses the standard format still reports its name and metrics.
    }
}

}  // namespace amberlin::helper
