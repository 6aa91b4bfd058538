// What every helper mode starts from: the loaded settings, the device list taken once and the
// input those settings resolve to.
#ifndef AMBERLINHELPER_HELPERCONTEXT_H
#define AMBERLINHELPER_HELPERCONTEXT_H

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AmberlinAudioCore/AppSettings.h"
#include "AmberlinAudioCore/AudioFrame.h"
#include "AmberlinAudioCore/DeviceManager.h"
#include "AmberlinHelper/Helper.h"

namespace amberlin::helper {

/// The state the three common first steps produce.
struct HelperContext {
    AppSettings settings;                           ///< loaded (defaults when unusable)
    std::vector<AudioInputDevice> devices;          ///< listed once, default input first
    std::optional<AudioInputDevice> resolvedInput;  ///< the selected input, virtual included
};

/// Loads the settings from the environment's database, lists the input devices and resolves the
/// settings' selected device among all of them.
HelperContext loadHelperContext(const HelperEnvironment& environment);

/// Prepares `processor` for 48 kHz mono; a refusal is ignored (it is then used unprepared for
/// its name and metrics).
void prepareIgnoringErrors(NoiseProcessor& processor);

/// The name the virtual device is published under.
inline constexpr const char* kVirtualDeviceName = "Corvessa Mic";

}  // namespace amberlin::helper

#endif
