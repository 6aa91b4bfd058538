// The helper's "--diagnostics" mode: one pretty-printed JSON health snapshot on standard output.
#ifndef AMBERLINHELPER_DIAGNOSTICSMODE_H
#define AMBERLINHELPER_DIAGNOSTICSMODE_H

#include <ostream>

#include "HelperContext.h"

namespace amberlin::helper {

/// Prepares the settings' processor, opens the shared ring (creating it, without attaching as
/// producer), and writes the snapshot's JSON followed by exactly one newline; returns 0. Throws
/// when the ring cannot be opened; nothing is written then.
int runDiagnosticsMode(const HelperContext& context, const HelperEnvironment& environment,
                       std::ostream& out);

}  // namespace amberlin::helper

#endif
