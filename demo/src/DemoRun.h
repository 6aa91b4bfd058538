// The demonstration run: everything it starts, in order, and the figures it measures.
#ifndef CORVESSA_DEMO_DEMO_RUN_H
#define CORVESSA_DEMO_DEMO_RUN_H

#include <iosfwd>
#include <string>

namespace corvessa::demo {

/// Where the programs are and where the results go.
struct DemoOptions {
    std::string helper;        ///< the CorvessaHelper program
    std::string daemon;        ///< the audio-server daemon program
    std::string plugin;        ///< libAmberlinHALPlugin.so
    std::string outputFolder;  ///< before.wav, after.wav, spectrogram.png
    double snrDb = 10.0;       ///< active speech over the pink noise
};

/// Runs the demonstration, printing its progress and figures to `out`; 0 when cleaned voice
/// arrived at "Corvessa Mic", 1 otherwise (the reason printed to `err`). Stops everything it
/// started, whatever happens.
int runDemo(const DemoOptions& options, std::ostream& out, std::ostream& err);

}  // namespace corvessa::demo

#endif
