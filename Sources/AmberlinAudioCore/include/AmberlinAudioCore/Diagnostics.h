// The machine-readable health report: version, virtual device name, settings, the input devices
// the system sees, the shared ring as the producer sees it and the processor's last metrics.
//
// Threads: a snapshot is an immutable value once built and may cross threads freely.
#ifndef AMBERLINAUDIOCORE_DIAGNOSTICS_H
#define AMBERLINAUDIOCORE_DIAGNOSTICS_H

#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "AmberlinAudioCore/AppSettings.h"
#include "AmberlinAudioCore/AudioFrame.h"
#include "AmberlinAudioCore/VirtualMicBridge.h"

namespace amberlin {

/// One health report, reflecting the moment its parts were read.
struct DiagnosticsSnapshot {
    std::string appVersion;                 ///< the program's version text
    std::string virtualDeviceName;          ///< name of the virtual input device
    AppSettings settings;                   ///< the user's settings
    std::vector<std::string> inputDevices;  ///< "name [uid]" per listed input device
    BridgeHealth bridge;                    ///< the shared ring as the producer sees it
    ProcessorMetrics processor;             ///< the noise processor's last metrics

    /// An empty report with default settings and zero counters.
    DiagnosticsSnapshot() = default;
    /// All six fields in declaration order.
    DiagnosticsSnapshot(std::string appVersion, std::string virtualDeviceName, AppSettings settings,
                        std::vector<std::string> inputDevices, BridgeHealth bridge,
                        ProcessorMetrics processor);

    /// The report as pretty-printed UTF-8 JSON with the keys sorted at every level and no
    /// trailing newline; encoding the same snapshot always yields the same bytes. Text that is
    /// not valid UTF-8 is written with U+FFFD in place of each bad sequence.
    std::string jsonData() const;
    /// Decodes what jsonData() wrote; throws nlohmann::json::exception for malformed JSON, a
    /// missing key or a value of the wrong type.
    static DiagnosticsSnapshot fromJSONData(std::string_view json);

    friend bool operator==(const DiagnosticsSnapshot&, const DiagnosticsSnapshot&) = default;
};

/// JSON object with all six keys.
void to_json(nlohmann::json& json, const DiagnosticsSnapshot& snapshot);
/// Requires all six keys; the nested records decode by their own rules.
void from_json(const nlohmann::json& json, DiagnosticsSnapshot& snapshot);

}  // namespace amberlin

#endif
