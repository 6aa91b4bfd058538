// Pretty printing on top of nlohmann's scalar serialisation.
#include "PrettyJson.h"

#include <string_view>

namespace amberlin {
namespace {

using Json = nlohmann::json;

// A serialised JSON scalar with every "/" escaped. nlohmann's escapes never contain a slash and
// no byte of a multi-byte UTF-8 sequence equals 0x2F, so each slash in the text is a slash of
// the string's content.
void appendScalar(std::string& out, const Json& value) {
    for (const char c : value.dump()) {
        if (c == '/') {
            out += '\\';
        }
        out += c;
    }
}

void appendValue(std::string& out, const Json& value, std::size_t depth);

// Starts a member's line at `depth` levels of two spaces.
void appendIndent(std::string& out, std::size_t depth) {
    out += '\n';
    out.append(depth * 2, ' ');
}

// An object or array with one member per line; an empty one stays on one line.
void appendContainer(std::string& out, const Json& value, std::size_t depth) {
    const bool isObject = value.is_object();
    out += isObject ? '{' : '[';
    bool first = true;
    for (auto member = value.begin(); member != value.end(); ++member) {
        out += first ? "" : ",";
        first = false;
        appendIndent(out, depth + 1);
        if (isObject) {
            appendScalar(out, Json(member.key()));
            out += " : ";
        }
        appendValue(out, member.value(), depth + 1);
    }
    if (!value.empty()) {
        appendIndent(out, depth);
    }
    out += isObject ? '}' : ']';
}

void appendValue(std::string& out, const Json& value, std::size_t depth) {
    if (value.is_structured()) {
        appendContainer(out, value, depth);
    } else {
        appendScalar(out, value);
    }
}

}  // namespace

std::string prettyJsonWithEscapedSlashes(const Json& value) {
    std::string out;
    appendValue(out, value, 0);
    return out;
}

}  // namespace amberlin
