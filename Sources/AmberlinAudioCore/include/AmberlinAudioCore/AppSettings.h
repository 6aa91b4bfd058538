// The user's settings record and the store that keeps it as JSON in the user defaults.
//
// Threads: records are values and may be copied freely. The store holds no lock and no mutable
// state; each call reads or writes the defaults database, which is safe from any thread, and a
// record is replaced atomically, so a concurrent load sees the old or the new record whole.
#ifndef AMBERLINAUDIOCORE_APPSETTINGS_H
#define AMBERLINAUDIOCORE_APPSETTINGS_H

#include <cstdint>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "AmberlinAudioCore/SuppressionMode.h"

namespace platform {
class UserDefaults;
}

namespace amberlin {

/// The thirteen user settings the whole system shares. The member defaults are what loading
/// yields for a missing key or a missing or unusable record.
struct AppSettings {
    bool processingEnabled = false;                     ///< kept for the host application
    std::optional<std::string> selectedInputDeviceUID;  ///< preferred input device, if any
    SuppressionMode suppressionMode = SuppressionMode::balanced;
    bool launchAtLogin = false;  ///< kept for the host application
    bool bypassEnabled = false;  ///< kept for the host application
    NoiseProcessorType processorType = NoiseProcessorType::rnnoise;  ///< diagnostics only
    bool automaticCallRecordingEnabled = false;
    bool captureSystemAudioEnabled = true;
    bool localRecordingEnabled = true;
    bool echoCancellationEnabled = true;
    VoiceIsolationLevel voiceIsolation = VoiceIsolationLevel::balanced;
    bool recordingConsentAcknowledged = false;  ///< the user confirmed they may record calls
    std::int64_t acceptedTermsVersion = 0;      ///< number of the terms last accepted (0: none)

    /// The all-default record.
    AppSettings() = default;
    /// All thirteen fields in declaration order.
    AppSettings(bool processingEnabled, std::optional<std::string> selectedInputDeviceUID,
                SuppressionMode suppressionMode, bool launchAtLogin, bool bypassEnabled,
                NoiseProcessorType processorType, bool automaticCallRecordingEnabled,
                bool captureSystemAudioEnabled, bool localRecordingEnabled,
                bool echoCancellationEnabled, VoiceIsolationLevel voiceIsolation,
                bool recordingConsentAcknowledged, std::int64_t acceptedTermsVersion);

    friend bool operator==(const AppSettings&, const AppSettings&) = default;
};

/// JSON object keyed by field name; `selectedInputDeviceUID` only when it has a value.
void to_json(nlohmann::json& json, const AppSettings& settings);
/// Every key is optional (absent or null gives the default); a value of the wrong type or an
/// unknown raw value throws nlohmann::json::exception for the whole record. Extra keys are
/// ignored.
void from_json(const nlohmann::json& json, AppSettings& settings);

/// Keeps the settings record as UTF-8 JSON data under one key of a defaults database.
class SettingsStore {
  public:
    /// The record's key.
    static constexpr std::string_view defaultKey = "com.halvern.corvessa.settings.v1";
    /// Where an earlier release kept the record; read once, by migration.
    static constexpr std::string_view legacySuite = "com.amberlin.app";
    static constexpr std::string_view legacyKey = "com.amberlin.settings.v1";

    /// A store for `key` in `defaults`; no I/O.
    SettingsStore(std::string_view key, std::shared_ptr<platform::UserDefaults> defaults);

    /// The stored record; never fails. A store on the standard database first copies a legacy
    /// record over when it has none of its own. Missing or undecodable data gives the defaults.
    AppSettings load() const;
    /// Replaces the stored record; throws the encoder's error (nothing is written then).
    void save(const AppSettings& settings) const;

    /// The record's key.
    const std::string& key() const { return key_; }
    /// The database the record lives in.
    const std::shared_ptr<platform::UserDefaults>& defaults() const { return defaults_; }

  private:
    void migrateLegacyRecord() const;

    std::string key_;
    std::shared_ptr<platform::UserDefaults> defaults_;
};

}  // namespace amberlin

#endif
