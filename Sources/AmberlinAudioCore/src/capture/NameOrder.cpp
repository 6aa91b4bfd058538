// Case-insensitive, locale-aware name comparison: decode UTF-8, fold case with the user locale's
// character classes, then collate with its collation rules.
#include "NameOrder.h"

#include <cstdint>
#include <locale>
#include <stdexcept>
#include <string>

namespace amberlin {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

/// The environment's locale, or the classic one when the environment names none installed.
std::locale makeUserLocale() {
    try {
        return std::locale("");
    } catch (const std::runtime_error&) {
        return std::locale::classic();
    }
}

const std::locale& userLocale() {
    static const std::locale locale = makeUserLocale();
    return locale;
}

/// Length of the UTF-8 sequence introduced by `lead` (0: not a lead byte).
std::size_t sequenceLength(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    return lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
}

/// Decodes the character at `text[i]` and advances `i`; malformed input yields U+FFFD.
char32_t decodeOne(std::string_view text, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = sequenceLength(lead);
    if (length == 0 || i + length > text.size()) {
        ++i;
        return kReplacement;
    }
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
            ++i;
            return kReplacement;
        }
        code = (code << 6) | (next & 0x3F);
    }
    i += length;
    return code;
}

/// The name decoded to wide characters, each folded to lower case under the user's locale.
std::wstring foldedName(std::string_view text) {
    const auto& ctype = std::use_facet<std::ctype<wchar_t>>(userLocale());
    std::wstring folded;
    folded.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        folded.push_back(ctype.tolower(static_cast<wchar_t>(decodeOne(text, i))));
    }
    return folded;
}

}  // namespace

int compareNamesIgnoringCase(std::string_view left, std::string_view right) {
    const std::wstring a = foldedName(left);
    const std::wstring b = foldedName(right);
    const auto& collate = std::use_facet<std::collate<wchar_t>>(userLocale());
    return collate.compare(a.data(), a.data() + a.size(), b.data(), b.data() + b.size());
}

}  // namespace amberlin
