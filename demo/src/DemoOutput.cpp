// Demonstration outputs: a fixed-width table, libsndfile WAV files, a sox spectrogram.
#include "DemoOutput.h"

#include <sndfile.h>

#include <cstdio>
#include <ostream>

#include "platform/testing/PrivatePulseServer.h"

namespace corvessa::demo {

void printFigures(const corvessa::testing::VoiceFigures& figures, double delayMs,
                  std::ostream& out) {
    char line[160];
    out << "                           before (test mic)   after (Corvessa Mic)\n";
    std::snprintf(line, sizeof(line),
                  "  noise in speech pauses   %8.1f dBFS        %8.1f dBFS      (%.1f dB less)\n",
                  figures.inputPauseNoise, figures.outputPauseNoise, figures.pauseAttenuation());
    out << line;
    std::snprintf(line, sizeof(line),
                  "  speech level             %8.1f dBFS        %8.1f dBFS      (clean voice "
                  "%.1f dBFS: %+.1f dB)\n",
                  figures.inputSpeech, figures.outputSpeech, figures.cleanSpeech,
                  figures.speechChange());
    out << line;
    std::snprintf(line, sizeof(line),
                  "  delay, test mic to Corvessa Mic: %.1f ms (%zu speech and %zu pause frames "
                  "measured)\n",
                  delayMs, figures.speechFrames, figures.pauseFrames);
    out << line;
}

bool writeWav(const std::string& path, const std::vector<float>& samples) {
    SF_INFO info{};
    info.samplerate = 48'000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        return false;
    }
    const auto count = static_cast<sf_count_t>(samples.size());
    const bool written = sf_writef_float(file, samples.data(), count) == count;
    return sf_close(file) == 0 && written;
}

bool drawSpectrogram(const std::string& before, const std::string& after,
                     const std::string& picture) {
    if (!platform::testing::programOnPath("sox")) {
        return false;
    }
    const auto result = platform::testing::runProgram(
        {"sox", "-M", before, after, "-n", "spectrogram", "-x", "1200", "-y", "257", "-z", "90",
         "-t", "Corvessa: test microphone (top) and Corvessa Mic (bottom)", "-o", picture});
    return result.exitStatus == 0;
}

}  // namespace corvessa::demo
