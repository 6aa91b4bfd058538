// Diagnostics snapshot coding.
#include "AmberlinAudioCore/Diagnostics.h"

#include <nlohmann/json.hpp>
#include <utility>

#include "JsonFields.h"

namespace amberlin {
namespace {

using Json = nlohmann::json;

/// Indent of one nesting level in the pretty-printed form, in spaces.
constexpr int kIndent = 2;

/// A JSON array whose every element is a string.
std::vector<std::string> toStrings(const Json& value) {
    if (!value.is_array()) {
        json_fields::fail(value, "an array of strings");
    }
    std::vector<std::string> strings;
    strings.reserve(value.size());
    for (const Json& element : value) {
        strings.push_back(json_fields::toString(element));
    }
    return strings;
}

}  // namespace

DiagnosticsSnapshot::DiagnosticsSnapshot(std::string appVersion_, std::string virtualDeviceName_,
                                         AppSettings settings_,
                                         std::vector<std::string> inputDevices_,
                                         BridgeHealth bridge_, ProcessorMetrics processor_)
    : appVersion(std::move(appVersion_)),
      virtualDeviceName(std::move(virtualDeviceName_)),
      settings(std::move(settings_)),
      inputDevices(std::move(inputDevices_)),
      bridge(bridge_),
      processor(processor_) {}

std::string DiagnosticsSnapshot::jsonData() const {
    // nlohmann's objects keep their keys in a sorted map, so every level comes out sorted and
    // the same value always prints the same bytes. Device names come from the audio system and
    // are not trusted to be valid UTF-8; a bad byte must not cost the whole report.
    return Json(*this).dump(kIndent, ' ', false, Json::error_handler_t::replace);
}

DiagnosticsSnapshot DiagnosticsSnapshot::fromJSONData(std::string_view json) {
    return Json::parse(json).get<DiagnosticsSnapshot>();
}

void to_json(Json& json, const DiagnosticsSnapshot& snapshot) {
    json = Json::object();
    json["appVersion"] = snapshot.appVersion;
    json["virtualDeviceName"] = snapshot.virtualDeviceName;
    json["settings"] = snapshot.settings;
    json["inputDevices"] = snapshot.inputDevices;
    json["bridge"] = snapshot.bridge;
    json["processor"] = snapshot.processor;
}

void from_json(const Json& json, DiagnosticsSnapshot& snapshot) {
    using namespace json_fields;
    snapshot = DiagnosticsSnapshot(
        toString(required(json, "appVersion")), toString(required(json, "virtualDeviceName")),
        required(json, "settings").get<AppSettings>(), toStrings(required(json, "inputDevices")),
        required(json, "bridge").get<BridgeHealth>(),
        required(json, "processor").get<ProcessorMetrics>());
}

}  // namespace amberlin
