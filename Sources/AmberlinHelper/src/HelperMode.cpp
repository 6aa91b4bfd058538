// Argument matching of the helper's two flags.
#include "AmberlinHelper/HelperMode.h"

#include <algorithm>
#include <string_view>

namespace amberlin::helper {
namespace {

bool contains(std::span<const std::string> arguments, std::string_view flag) {
    return std::find(arguments.begin(), arguments.end(), flag) != arguments.end();
}

}  // namespace

HelperMode helperMode(std::span<const std::string> arguments) {
    if (contains(arguments, "--diagnostics")) {
        return HelperMode::diagnostics;
    }
    if (contains(arguments, "--run")) {
        return HelperMode::run;
    }
    return HelperMode::report;
}

}  // namespace amberlin::helper
