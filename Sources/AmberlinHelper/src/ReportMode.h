// The helper's default mode: a plain-text report of the selected input, the processor, the input
// devices and whether the virtual device is installed.
#ifndef AMBERLINHELPER_REPORTMODE_H
#define AMBERLINHELPER_REPORTMODE_H

#include <ostream>
#include <string_view>

#include "HelperContext.h"

namespace amberlin::helper {

/// Writes the report lines to `out` (each ended by a newline); `engineName` names the engine the
/// settings' processor actually built.
void writeReport(std::ostream& out, const HelperContext& context, std::string_view version,
                 std::string_view engineName);

/// Builds the processor from the settings, prepares it and writes the report; returns 0.
int runReportMode(const HelperContext& context, const HelperEnvironment& environment,
                  std::ostream& out);

}  // namespace amberlin::helper

#endif
