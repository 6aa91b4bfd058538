// The demonstration's outputs: the figures table, the WAV files and the spectrogram picture.
#ifndef CORVESSA_DEMO_DEMO_OUTPUT_H
#define CORVESSA_DEMO_DEMO_OUTPUT_H

#include <iosfwd>
#include <string>
#include <vector>

#include "platform/testing/VoiceScene.h"

namespace corvessa::demo {

/// Prints the before/after table of `figures` and the end-to-end `delayMs`.
void printFigures(const corvessa::testing::VoiceFigures& figures, double delayMs,
                  std::ostream& out);

/// Writes `samples` (48 kHz mono float) as a 16-bit WAV file; false on failure.
bool writeWav(const std::string& path, const std::vector<float>& samples);

/// Draws both files' spectrograms into one PNG picture (top: before, bottom: after) with sox;
/// false when sox is missing or failed.
bool drawSpectrogram(const std::string& before, const std::string& after,
                     const std::string& picture);

}  // namespace corvessa::demo

#endif
