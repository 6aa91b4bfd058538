// Settings record coding and the defaults-backed settings store with its legacy migration.
#include "AmberlinAudioCore/AppSettings.h"

#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "JsonFields.h"
#include "platform/UserDefaults.h"

namespace amberlin {
namespace {

using Json = nlohmann::json;

// Reads an optional boolean field into `field`, keeping the default when absent.
void readBool(const Json& json, const char* key, bool& field) {
    if (const Json* value = json_fields::optional(json, key)) {
        field = json_fields::toBool(*value);
    }
}

// Reads an optional enumeration (or other type with from_json) field, keeping the default.
template <class T>
void readValue(const Json& json, const char* key, T& field) {
    if (const Json* value = json_fields::optional(json, key)) {
        value->get_to(field);
    }
}

}  // namespace

AppSettings::AppSettings(bool processingEnabled_,
                         std::optional<std::string> selectedInputDeviceUID_,
                         SuppressionMode suppressionMode_, bool launchAtLogin_, bool bypassEnabled_,
                         NoiseProcessorType processorType_, bool automaticCallRecordingEnabled_,
                         bool captureSystemAudioEnabled_, bool localRecordingEnabled_,
                         bool echoCancellationEnabled_, VoiceIsolationLevel voiceIsolation_,
                         bool recordingConsentAcknowledged_, std::int64_t acceptedTermsVersion_)
    : processingEnabled(processingEnabled_),
      selectedInputDeviceUID(std::move(selectedInputDeviceUID_)),
      suppressionMode(suppressionMode_),
      launchAtLogin(launchAtLogin_),
      bypassEnabled(bypassEnabled_),
      processorType(processorType_),
      automaticCallRecordingEnabled(automaticCallRecordingEnabled_),
      captureSystemAudioEnabled(captureSystemAudioEnabled_),
      localRecordingEnabled(localRecordingEnabled_),
      echoCancellationEnabled(echoCancellationEnabled_),
      voiceIsolation(voiceIsolation_),
      recordingConsentAcknowledged(recordingConsentAcknowledged_),
      acceptedTermsVersion(acceptedTermsVersion_) {}

void to_json(Json& json, const AppSettings& s) {
    json = Json::object();
    json["processingEnabled"] = s.processingEnabled;
    if (s.selectedInputDeviceUID) {
        json["selectedInputDeviceUID"] = *s.selectedInputDeviceUID;
    }
    json["suppressionMode"] = s.suppressionMode;
    json["launchAtLogin"] = s.launchAtLogin;
    json["bypassEnabled"] = s.bypassEnabled;
    json["processorType"] = s.processorType;
    json["automaticCallRecordingEnabled"] = s.automaticCallRecordingEnabled;
    json["captureSystemAudioEnabled"] = s.captureSystemAudioEnabled;
    json["localRecordingEnabled"] = s.localRecordingEnabled;
    json["echoCancellationEnabled"] = s.echoCancellationEnabled;
    json["voiceIsolation"] = s.voiceIsolation;
    json["recordingConsentAcknowledged"] = s.recordingConsentAcknowledged;
    json["acceptedTermsVersion"] = s.acceptedTermsVersion;
}

void from_json(const Json& json, AppSettings& settings) {
    AppSettings s;
    readBool(json, "processingEnabled", s.processingEnabled);
    if (const Json* uid = json_fields::optional(json, "selectedInputDeviceUID")) {
        s.selectedInputDeviceUID = json_fields::toString(*uid);
    }
    readValue(json, "suppressionMode", s.suppressionMode);
    readBool(json, "launchAtLogin", s.launchAtLogin);
    readBool(json, "bypassEnabled", s.bypassEnabled);
    readValue(json, "processorType", s.processorType);
    readBool(json, "automaticCallRecordingEnabled", s.automaticCallRecordingEnabled);
    readBool(json, "captureSystemAudioEnabled", s.captureSystemAudioEnabled);
    readBool(json, "localRecordingEnabled", s.localRecordingEnabled);
    readBool(json, "echoCancellationEnabled", s.echoCancellationEnabled);
    readValue(json, "voiceIsolation", s.voiceIsolation);
    readBool(json, "recordingConsentAcknowledged", s.recordingConsentAcknowledged);
    if (const Json* version = json_fields::optional(json, "acceptedTermsVersion")) {
        s.acceptedTermsVersion = json_fields::toInt(*version);
    }
    settings = std::move(s);
}

SettingsStore::SettingsStore(std::string_view key, std::shared_ptr<platform::UserDefaults> defaults)
    : key_(key), defaults_(std::move(defaults)) {}

AppSettings SettingsStore::load() const {
    if (defaults_ == nullptr) {
        return AppSettings{};
    }
    if (!defaults_->data(key_)) {
        migrateLegacyRecord();
    }
    const auto data = defaults_->data(key_);
    if (!data) {
        return AppSettings{};
    }
    try {
        return Json::parse(data->begin(), data->end()).get<AppSettings>();
    } catch (const Json::exception&) {
        return AppSettings{};
    }
}

void SettingsStore::save(const AppSettings& settings) const {
    const std::string text = Json(settings).dump();
    if (defaults_ != nullptr) {
        defaults_->setData(key_, std::vector<std::uint8_t>(text.begin(), text.end()));
    }
}

// Copies the legacy record, unchanged, into the standard database; only a store on the standard
// database itself (by identity) migrates, and the legacy value stays where it was.
void SettingsStore::migrateLegacyRecord() const {
    if (defaults_ != platform::UserDefaults::standard()) {
        return;
    }
    const auto legacy = platform::UserDefaults::suite(legacySuite);
    if (legacy == nullptr) {
        return;
    }
    if (const auto data = legacy->data(legacyKey)) {
        defaults_->setData(key_, *data);
    }
}

}  // namespace amberlin
