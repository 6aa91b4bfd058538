// Strictly typed JSON field access shared by the module's records.
//
// nlohmann's own conversions are lenient (a boolean converts to a number, a float truncates to an
// integer); a stored record must instead fail to decode when a value has the wrong type, so every
// record reads its fields through these helpers. All failures throw nlohmann::json::exception.
#ifndef AMBERLINAUDIOCORE_JSONFIELDS_H
#define AMBERLINAUDIOCORE_JSONFIELDS_H

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace amberlin::json_fields {

using Json = nlohmann::json;

/// Throws the decoding error for a value of the wrong type or content.
[[noreturn]] inline void fail(const Json& value, std::string_view expected) {
    throw Json::type_error::create(302, "expected " + std::string(expected), &value);
}

/// The object itself, or a decoding error when the value is not an object.
inline const Json& object(const Json& value) {
    if (!value.is_object()) {
        fail(value, "an object");
    }
    return value;
}

/// The value under `key`; a missing key is a decoding error.
inline const Json& required(const Json& record, const char* key) {
    return object(record).at(key);
}

/// The value under `key`, or null when the key is absent (absent and null read alike).
inline const Json* optional(const Json& record, const char* key) {
    const auto found = object(record).find(key);
    return (found == record.end() || found->is_null()) ? nullptr : &*found;
}

/// A JSON boolean.
inline bool toBool(const Json& value) {
    if (!value.is_boolean()) {
        fail(value, "a boolean");
    }
    return value.get<bool>();
}

/// Any JSON number within single precision's range, rounded to single precision. A larger
/// magnitude would become infinite, which JSON cannot write back, so it fails instead.
inline float toFloat(const Json& value) {
    if (!value.is_number()) {
        fail(value, "a number");
    }
    const float number = value.get<float>();
    if (!std::isfinite(number)) {
        fail(value, "a number within single precision");
    }
    return number;
}

/// A number with an integral value in [low, high] (written as 3, 3.0 or 3e0 alike), as a double.
inline double integralValue(const Json& value, double low, double high, std::string_view expected) {
    const double number = value.is_number() ? value.get<double>() : 0.5;
    if (!value.is_number() || std::trunc(number) != number || number < low || number > high) {
        fail(value, expected);
    }
    return number;
}

/// A JSON integer that fits a signed 64-bit value.
inline std::int64_t toInt(const Json& value) {
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
            fail(value, "a signed 64-bit integer");
        }
        return value.get<std::int64_t>();
    }
    // 2^63 itself is out of range; every smaller integral double converts exactly.
    constexpr double kLimit = 9223372036854775808.0;
    return static_cast<std::int64_t>(
        integralValue(value, -kLimit, std::nextafter(kLimit, 0.0), "a signed 64-bit integer"));
}

/// A non-negative JSON integer that fits an unsigned 64-bit value.
inline std::uint64_t toUInt64(const Json& value) {
    if (value.is_number_unsigned()) {
        return value.get<std::uint64_t>();
    }
    if (value.is_number_integer()) {
        fail(value, "a non-negative integer");
    }
    constexpr double kLimit = 18446744073709551616.0;
    return static_cast<std::uint64_t>(
        integralValue(value, 0.0, std::nextafter(kLimit, 0.0), "a non-negative integer"));
}

/// A JSON string.
inline std::string toString(const Json& value) {
    if (!value.is_string()) {
        fail(value, "a string");
    }
    return value.get<std::string>();
}

/// A float as the JSON number with its shortest decimal form (0.1f is written 0.1, not
/// 0.100000001490116). Non-finite values become null, as JSON has no spelling for them.
inline Json fromFloat(float value) {
    if (!std::isfinite(value)) {
        return nullptr;
    }
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, value);
    double widened = 0.0;
    std::from_chars(text, written.ptr, widened);
    return widened;
}

}  // namespace amberlin::json_fields

#endif
