// The soak from one command: simulated minutes of speech in noise with a far end through the
// whole producer path and the hosted plug-in, faster than real time; prints resident memory and
// the ring's counters once a simulated minute, then the totals and the checks.
//
//   build/release/bench/soak [--minutes 60] [--drift-ppm 0] [--stall-seconds 0.5]
//
// Uses "/amvmic": do not run it while another producer or a test that uses the ring runs.
// Exit status 0 when every check holds (see SoakChecks.h), 1 otherwise.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>

#include "SoakChecks.h"
#include "SoakRun.h"

namespace {

using corvessa::soak::SoakFigures;
using corvessa::soak::SoakOptions;
using corvessa::soak::SoakSample;

SoakOptions parse(int argc, char** argv) {
    SoakOptions options;
    options.simulatedSeconds = 3600.0;
    if (argc % 2 == 0) {
        std::fprintf(stderr, "every option takes a value\n");
        std::exit(2);
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        const double value = std::strtod(argv[i + 1], nullptr);
        if (flag == "--minutes") {
            options.simulatedSeconds = value * 60.0;
        } else if (flag == "--drift-ppm") {
            options.driftPpm = value;
        } else if (flag == "--stall-seconds") {
            options.stallSeconds = value;
        } else {
            std::fprintf(stderr, "unknown option %s\n", flag.c_str());
            std::exit(2);
        }
    }
    return options;
}

void printSample(const SoakSample& s) {
    std::printf(
        "%7.0f s  wall %7.1f s  rss %7llu KiB  heap %7llu KiB  written %9llu  read %9llu  "
        "overruns %6llu  underruns %4llu  lookback max %5.2f ms\n",
        s.simulatedSeconds, s.wallSeconds, static_cast<unsigned long long>(s.residentKiB),
        static_cast<unsigned long long>(s.heapInUseKiB),
        static_cast<unsigned long long>(s.framesWritten),
        static_cast<unsigned long long>(s.framesRead), static_cast<unsigned long long>(s.overruns),
        static_cast<unsigned long long>(s.underruns), static_cast<double>(s.maxLookbackMs));
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    SoakOptions options = parse(argc, argv);
    options.pluginPath = HAL_PLUGIN_PATH;
    options.producerLock = std::filesystem::temp_directory_path() /
                           ("corvessa-soak-" + std::to_string(::getpid()) + ".lock");
    try {
        const SoakFigures figures = corvessa::soak::runSoak(options, printSample);
        std::filesystem::remove(options.producerLock);
        std::fputs(corvessa::soak::describe(figures).c_str(), stdout);
        const auto failures = corvessa::soak::checkFigures(figures, options);
        for (const std::string& failure : failures) {
            std::printf("FAILED: %s\n", failure.c_str());
        }
        std::printf("%s\n", failures.empty() ? "all checks hold" : "checks failed");
        return failures.empty() ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "soak: %s\n", error.what());
        return 1;
    }
}
