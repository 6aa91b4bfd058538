// Raw values, display names and JSON coding of the stored enumerations.
#include "AmberlinAudioCore/SuppressionMode.h"

#include <nlohmann/json.hpp>

#include "settings/JsonFields.h"

namespace amberlin {
namespace {

// One case with its stored string and its user-facing name.
template <class E>
struct CaseNames {
    E value;
    std::string_view raw;
    std::string_view display;
};

constexpr std::array<CaseNames<NoiseProcessorType>, 1> kTypeNames{{
    {NoiseProcessorType::rnnoise, "rnnoise", "RNNoise"},
}};

constexpr std::array<CaseNames<SuppressionMode>, 3> kModeNames{{
    {SuppressionMode::light, "light", "Light"},
    {SuppressionMode::balanced, "balanced", "Balanced"},
    {SuppressionMode::max, "max", "Max"},
}};

constexpr std::array<CaseNames<VoiceIsolationLevel>, 4> kLevelNames{{
    {VoiceIsolationLevel::off, "off", "Off"},
    {VoiceIsolationLevel::light, "light", "Light"},
    {VoiceIsolationLevel::balanced, "balanced", "Balanced"},
    {VoiceIsolationLevel::strong, "strong", "Strong"},
}};

// The table entry of a case; the tables are indexed by the case's number.
template <class E, std::size_t N>
const CaseNames<E>& entry(const std::array<CaseNames<E>, N>& table, E value) {
    return table.at(static_cast<std::size_t>(value));
}

// The case whose raw value is exactly `raw`.
template <class E, std::size_t N>
std::optional<E> lookUp(const std::array<CaseNames<E>, N>& table, std::string_view raw) {
    for (const auto& names : table) {
        if (names.raw == raw) {
            return names.value;
        }
    }
    return std::nullopt;
}

// Decodes a string that must be one of the table's raw values.
template <class E, std::size_t N>
E decodeExact(const nlohmann::json& json, const std::array<CaseNames<E>, N>& table) {
    const std::optional<E> value = lookUp(table, json_fields::toString(json));
    if (!value) {
        json_fields::fail(json, "a known raw value");
    }
    return *value;
}

}  // namespace

std::string_view rawValue(NoiseProcessorType type) {
    return entry(kTypeNames, type).raw;
}
std::string_view rawValue(SuppressionMode mode) {
    return entry(kModeNames, mode).raw;
}
std::string_view rawValue(VoiceIsolationLevel level) {
    return entry(kLevelNames, level).raw;
}

std::string_view displayName(NoiseProcessorType type) {
    return entry(kTypeNames, type).display;
}
std::string_view displayName(SuppressionMode mode) {
    return entry(kModeNames, mode).display;
}
std::string_view displayName(VoiceIsolationLevel level) {
    return entry(kLevelNames, level).display;
}

template <>
std::optional<NoiseProcessorType> fromRawValue<NoiseProcessorType>(std::string_view raw) {
    return lookUp(kTypeNames, raw);
}
template <>
std::optional<SuppressionMode> fromRawValue<SuppressionMode>(std::string_view raw) {
    return lookUp(kModeNames, raw);
}
template <>
std::optional<VoiceIsolationLevel> fromRawValue<VoiceIsolationLevel>(std::string_view raw) {
    return lookUp(kLevelNames, raw);
}

void to_json(nlohmann::json& json, NoiseProcessorType type) {
    json = rawValue(type);
}
void to_json(nlohmann::json& json, SuppressionMode mode) {
    json = rawValue(mode);
}
void to_json(nlohmann::json& json, VoiceIsolationLevel level) {
    json = rawValue(level);
}

void from_json(const nlohmann::json& json, NoiseProcessorType& type) {
    json_fields::toString(json);
    type = NoiseProcessorType::rnnoise;
}

void from_json(const nlohmann::json& json, SuppressionMode& mode) {
    mode = decodeExact(json, kModeNames);
}

void from_json(const nlohmann::json& json, VoiceIsolationLevel& level) {
    level = decodeExact(json, kLevelNames);
}

}  // namespace amberlin
