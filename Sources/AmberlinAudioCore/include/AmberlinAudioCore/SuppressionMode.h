// The string-backed enumerations that the settings store: processor type, suppression mode and
// voice-isolation level. Declaration order gives the numbers the voice core takes.
#ifndef AMBERLINAUDIOCORE_SUPPRESSIONMODE_H
#define AMBERLINAUDIOCORE_SUPPRESSIONMODE_H

#include <array>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string_view>

namespace amberlin {

/// The noise-processor engine family; the only case is RNNoise.
enum class NoiseProcessorType : std::uint32_t { rnnoise = 0 };

/// How hard noise is suppressed; the value is the voice core's mode number (0, 1, 2).
enum class SuppressionMode : std::uint32_t { light = 0, balanced = 1, max = 2 };

/// Strength of the voice gate; the value is the voice core's level number (0 to 3).
enum class VoiceIsolationLevel : std::uint32_t { off = 0, light = 1, balanced = 2, strong = 3 };

/// Every case of an enumeration, in declaration order.
template <class E>
inline constexpr std::array<E, 0> allCases{};
template <>
inline constexpr std::array<NoiseProcessorType, 1> allCases<NoiseProcessorType>{
    NoiseProcessorType::rnnoise};
template <>
inline constexpr std::array<SuppressionMode, 3> allCases<SuppressionMode>{
    SuppressionMode::light, SuppressionMode::balanced, SuppressionMode::max};
template <>
inline constexpr std::array<VoiceIsolationLevel, 4> allCases<VoiceIsolationLevel>{
    VoiceIsolationLevel::off, VoiceIsolationLevel::light, VoiceIsolationLevel::balanced,
    VoiceIsolationLevel::strong};

/// The stored string of a case ("rnnoise"; "light", "balanced", "max"; "off" ... "strong").
std::string_view rawValue(NoiseProcessorType type);
std::string_view rawValue(SuppressionMode mode);
std::string_view rawValue(VoiceIsolationLevel level);

/// The name shown to users ("RNNoise"; "Light", "Balanced", "Max"; "Off" ... "Strong").
std::string_view displayName(NoiseProcessorType type);
std::string_view displayName(SuppressionMode mode);
std::string_view displayName(VoiceIsolationLevel level);

/// The case whose raw value is exactly `raw`, or nothing.
template <class E>
std::optional<E> fromRawValue(std::string_view raw);
template <>
std::optional<NoiseProcessorType> fromRawValue<NoiseProcessorType>(std::string_view raw);
template <>
std::optional<SuppressionMode> fromRawValue<SuppressionMode>(std::string_view raw);
template <>
std::optional<VoiceIsolationLevel> fromRawValue<VoiceIsolationLevel>(std::string_view raw);

/// JSON: the raw value as a string.
void to_json(nlohmann::json& json, NoiseProcessorType type);
void to_json(nlohmann::json& json, SuppressionMode mode);
void to_json(nlohmann::json& json, VoiceIsolationLevel level);

/// Decodes any string as `rnnoise` (values of older configurations still load); a value that is
/// not a string throws nlohmann::json::type_error.
void from_json(const nlohmann::json& json, NoiseProcessorType& type);
/// Decodes exactly the raw values; anything else throws a nlohmann::json::exception.
void from_json(const nlohmann::json& json, SuppressionMode& mode);
/// Decodes exactly the raw values; anything else throws a nlohmann::json::exception.
void from_json(const nlohmann::json& json, VoiceIsolationLevel& level);

}  // namespace amberlin

#endif
