// The helper's "--run" mode: the capture pipeline feeds the shared ring until the process ends.
#ifndef AMBERLINHELPER_RUNMODE_H
#define AMBERLINHELPER_RUNMODE_H

#include <optional>
#include <ostream>
#include <string_view>

#include "AmberlinAudioCore/AudioPipeline.h"
#include "HelperContext.h"

namespace amberlin::helper {

/// The line written to standard error when start() refuses for a reason the user can fix (no
/// physical input, the virtual device selected, another producer running); none otherwise.
std::optional<std::string_view> refusalMessage(AudioPipelineError::Code code);

/// Starts the pipeline on the settings' selected physical input and waits until the
/// environment's stop is requested (never, in the program); then stops it and returns 0. A
/// refused start writes its message to `err` and returns 1; other errors are thrown.
int runFeedingMode(const HelperContext& context, const HelperEnvironment& environment,
                   std::ostream& out, std::ostream& err);

}  // namespace amberlin::helper

#endif
