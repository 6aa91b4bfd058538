// A JSON printer for stored records: pretty-printed over several lines with sorted keys, and every
// forward slash inside a string escaped as "\/".
#ifndef AMBERLINAUDIOCORE_PRETTYJSON_H
#define AMBERLINAUDIOCORE_PRETTYJSON_H

#include <nlohmann/json.hpp>
#include <string>

namespace amberlin {

/// `value` as text: objects and arrays one member per line, indented by two spaces per level,
/// " : " between key and value; object keys in byte-wise ascending order. Throws
/// nlohmann::json::type_error when a string is not valid UTF-8.
std::string prettyJsonWithEscapedSlashes(const nlohmann::json& value);

}  // namespace amberlin

#endif
