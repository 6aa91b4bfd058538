// Random UUIDs and their canonical text form, as call records and device descriptions use them.
#ifndef AMBERLINAUDIOCORE_UUID_H
#define AMBERLINAUDIOCORE_UUID_H

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace amberlin {

/// A 128-bit universally unique identifier; a value type, ordered byte-wise.
struct Uuid {
    std::array<std::uint8_t, 16> bytes{};  ///< in canonical text order

    /// A new random (version 4) UUID from the system's generator.
    static Uuid random();
    /// The UUID written as canonical text "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" in either case;
    /// nothing for any other text.
    static std::optional<Uuid> fromString(std::string_view text);
    /// Canonical text: upper-case hexadecimal, 8-4-4-4-12 groups joined by hyphens.
    std::string uuidString() const;

    friend auto operator<=>(const Uuid&, const Uuid&) = default;
};

}  // namespace amberlin

/// Hashing by the 16 bytes, so UUIDs can key unordered containers.
template <>
struct std::hash<amberlin::Uuid> {
    std::size_t operator()(const amberlin::Uuid& uuid) const noexcept {
        std::size_t value = 1469598103934665603ull;
        for (const std::uint8_t byte : uuid.bytes) {
            value = (value ^ byte) * 1099511628211ull;
        }
        return value;
    }
};

#endif
