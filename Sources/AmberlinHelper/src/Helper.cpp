// The helper's entry: common first steps, mode choice and the report of unexpected failures.
#include "AmberlinHelper/Helper.h"

#include <exception>
#include <string>

#include "AmberlinAudioCore/AppVersion.h"
#include "AmberlinAudioCore/AudioPipeline.h"
#include "AmberlinAudioCore/ProducerGuard.h"
#include "AmberlinAudioCore/VirtualMicBridge.h"
#include "AmberlinHelper/HelperMode.h"
#include "DiagnosticsMode.h"
#include "HelperContext.h"
#include "ReportMode.h"
#include "RunMode.h"
#include "platform/UserDefaults.h"

namespace amberlin::helper {
namespace {

/// Exit status after any failure.
constexpr int kFailureStatus = 1;

/// A sentence for a failure the modes do not handle themselves.
std::string describeFailure(const std::exception& error) {
    if (const auto* pipeline = dynamic_cast<const AudioPipelineError*>(&error)) {
        return std::string("could not start capturing (") + pipeline->what() + ", status " +
               std::to_string(pipeline->status()) + ").";
    }
    if (const auto* processor = dynamic_cast<const NoiseProcessorError*>(&error);
        processor != nullptr && processor->code() == NoiseProcessorError::Code::allocationFailed) {
        return "could not open the shared audio ring of Corvessa Mic.";
    }
    return std::string("unexpected failure (") + error.what() + ").";
}

int runMode(HelperMode mode, const HelperContext& context, const HelperEnvironment& environment,
            std::ostream& out, std::ostream& err) {
    switch (mode) {
        case HelperMode::diagnostics:
            return runDiagnosticsMode(context, environment, out);
        case HelperMode::run:
            return runFeedingMode(context, environment, out, err);
        case HelperMode::report:
            break;
    }
    return runReportMode(context, environment, out);
}

}  // namespace

HelperEnvironment HelperEnvironment::system() {
    return HelperEnvironment{platform::UserDefaults::standard(), AppVersion::current(),
                             SharedVirtualMicBridge::defaultName(), ProducerGuard::defaultPath(),
                             std::stop_token()};
}

int runHelper(std::span<const std::string> arguments, std::ostream& out, std::ostream& err,
              const HelperEnvironment& environment) {
    try {
        const HelperContext context = loadHelperContext(environment);
        return runMode(helperMode(arguments), context, environment, out, err);
    } catch (const std::exception& error) {
        err << "CorvessaHelper: " << describeFailure(error) << std::endl;
        return kFailureStatus;
    }
}

}  // namespace amberlin::helper
