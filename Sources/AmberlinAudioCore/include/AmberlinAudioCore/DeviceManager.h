// The front end's window on the system's audio devices: which devices can record, which one is
// the system default input, which one is the virtual microphone, and which device a stored choice
// resolves to.
//
// Nothing is cached: every call queries the installed audio system afresh, so two calls may see
// different device sets when devices come and go in between.
//
// Threads: the manager holds no state; every method may be called from any thread (never from a
// real-time thread: the hardware calls may block).
#ifndef AMBERLINAUDIOCORE_DEVICEMANAGER_H
#define AMBERLINAUDIOCORE_DEVICEMANAGER_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace amberlin {

/// One input device as the system lists it; `id` is also its identity.
struct AudioInputDevice {
    std::uint32_t id = 0;    ///< the system's audio object id of the device
    std::string uid;         ///< persistent UID, or the decimal text of `id` when there is none
    std::string name;        ///< display name, or "Input <id>" when there is none
    bool isDefault = false;  ///< the system default input at listing time

    friend bool operator==(const AudioInputDevice&, const AudioInputDevice&) = default;
};

/// Lists and resolves input devices; a reference type without stored state.
class DeviceManager {
  public:
    /// The UID under which the virtual microphone "Corvessa Mic" is published. The virtual
    /// device is recognised by exact, case-sensitive equality with this UID, never by name.
    static constexpr std::string_view virtualDeviceUID = "com.halvern.corvessa.mic.device";

    DeviceManager() = default;

    /// Every device with at least one input channel: the default input first, then by name
    /// (case-insensitive, the user's locale; equal names keep the system's order). Never fails:
    /// an unreadable list gives no devices and an unreadable device is left out.
    std::vector<AudioInputDevice> listInputDevices() const;

    /// The device whose UID is `uid`; without a UID or a match the default input, else the first
    /// listed device, else nothing. The virtual microphone is a candidate like any other.
    std::optional<AudioInputDevice> resolveInputDevice(const std::optional<std::string>& uid) const;

    /// As resolveInputDevice, among the devices other than the virtual microphone; a UID naming
    /// the virtual microphone counts as no choice. The capture pipeline binds only what this
    /// returns.
    std::optional<AudioInputDevice> resolvePhysicalInputDevice(
        const std::optional<std::string>& uid) const;

    /// True when the system default input is the virtual microphone (false when the default or
    /// its UID cannot be read).
    bool isVirtualDeviceDefaultInput() const;

    /// Makes the physical device resolved for `preferredUID` the system default input; true
    /// exactly when the default was written without error (false when no physical device exists).
    bool moveDefaultInputToPhysical(const std::optional<std::string>& preferredUID) const;
};

}  // namespace amberlin

#endif
