// How the helper's arguments choose its mode.
#ifndef AMBERLINHELPER_HELPERMODE_H
#define AMBERLINHELPER_HELPERMODE_H

#include <span>
#include <string>

namespace amberlin::helper {

/// The helper's three modes.
enum class HelperMode { report, diagnostics, run };

/// "--diagnostics" anywhere wins, else "--run" anywhere, else the report. Only membership counts:
/// order, repetition and other arguments are ignored; matching is exact and case-sensitive.
HelperMode helperMode(std::span<const std::string> arguments);

}  // namespace amberlin::helper

#endif
