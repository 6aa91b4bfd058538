// The whole logic of the CorvessaHelper program: report mode, "--diagnostics" and "--run".
//
// Every mode loads the settings, lists the input devices once and resolves the selected input,
// then the arguments choose the mode. Report and diagnostics modes write to `out` and return 0.
// Run mode starts the capture pipeline feeding the shared ring and then waits until the process
// is interrupted (Control-C ends it by the default signal action; no handler is installed). A
// start refused because no physical input exists, because the virtual device would be captured
// or because another producer runs writes one line to `err` and returns 1; any other failure
// writes "CorvessaHelper: " and a description to `err` and returns 1 as well.
//
// Threads: runs entirely on the caller's thread; the pipeline captures and processes on its own.
#ifndef AMBERLINHELPER_HELPER_H
#define AMBERLINHELPER_HELPER_H

#include <memory>
#include <ostream>
#include <span>
#include <stop_token>
#include <string>

namespace platform {
class UserDefaults;
}

namespace amberlin::helper {

/// What the program takes from its surroundings; the program uses `system()`, tests substitute
/// private resources.
struct HelperEnvironment {
    std::shared_ptr<platform::UserDefaults> defaults;  ///< database holding the settings record
    std::string version;                               ///< version text for the report and JSON
    std::string ringName;                              ///< shared-memory name of the ring
    std::string producerLockPath;                      ///< machine-wide producer lock file
    /// Run mode stops its pipeline and returns 0 once a stop is requested here; the program's
    /// token is never requested, so the process runs until it is interrupted.
    std::stop_token stop;

    /// The standard user defaults, the program's version, "/amvmic", the default lock file and
    /// a token that is never requested.
    static HelperEnvironment system();
};

/// Runs the program with `arguments` (without the program path); returns the exit status.
int runHelper(std::span<const std::string> arguments, std::ostream& out, std::ostream& err,
              const HelperEnvironment& environment);

}  // namespace amberlin::helper

#endif
