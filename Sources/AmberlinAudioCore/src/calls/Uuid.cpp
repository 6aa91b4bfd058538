// UUIDs over libuuid; the canonical text is upper case whatever libuuid's default is.
#include "AmberlinAudioCore/Uuid.h"

#include <uuid/uuid.h>

#include <algorithm>

namespace amberlin {
namespace {

// Length of the canonical text, without a terminating zero.
constexpr std::size_t kTextLength = 36;

// True for the 36 characters of canonical UUID text in either case.
bool isCanonicalText(std::string_view text) {
    if (text.size() != kTextLength) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool hyphenSlot = i == 8 || i == 13 || i == 18 || i == 23;
        const char c = text[i];
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (hyphenSlot ? c != '-' : !hex) {
            return false;
        }
    }
    return true;
}

}  // namespace

Uuid Uuid::random() {
    uuid_t raw;
    uuid_generate_random(raw);
    Uuid uuid;
    std::copy(std::begin(raw), std::end(raw), uuid.bytes.begin());
    return uuid;
}

std::optional<Uuid> Uuid::fromString(std::string_view text) {
    if (!isCanonicalText(text)) {
        return std::nullopt;
    }
    const std::string terminated(text);
    uuid_t raw;
    if (uuid_parse(terminated.c_str(), raw) != 0) {
        return std::nullopt;
    }
    Uuid uuid;
    std::copy(std::begin(raw), std::end(raw), uuid.bytes.begin());
    return uuid;
}

std::string Uuid::uuidString() const {
    uuid_t raw;
    std::copy(bytes.begin(), bytes.end(), std::begin(raw));
    char text[kTextLength + 1];
    uuid_unparse_upper(raw, text);
    return std::string(text, kTextLength);
}

}  // namespace amberlin
