// Speech rendered in process by espeak-ng and resampled by libsoxr to 48 kHz mono f32.
//
// espeak-ng keeps one global synthesiser per process, so at most one SpeechSynth may exist at a
// time and it must be used from one thread. Rendering is deterministic: the same text and voice
// always give the same samples.
#ifndef CORVESSA_BENCH_QUALITY_SPEECH_SYNTH_H
#define CORVESSA_BENCH_QUALITY_SPEECH_SYNTH_H

#include <string>

#include "system_under_test.h"

namespace corvessa::quality {

/// How a talker sounds: an espeak-ng voice name (with an optional "+variant"), pitch and speed.
struct Voice {
    std::string name = "en";
    int pitch = 50;  ///< espeak-ng base pitch, 0 ... 100 (50 normal)
    int rate = 165;  ///< words per minute
};

/// Owner of the process's espeak-ng synthesiser.
class SpeechSynth {
  public:
    /// Initialises espeak-ng for synchronous synthesis; throws std::runtime_error if it cannot.
    SpeechSynth();
    /// Releases espeak-ng.
    ~SpeechSynth();
    SpeechSynth(const SpeechSynth&) = delete;
    SpeechSynth& operator=(const SpeechSynth&) = delete;

    /// `text` spoken by `voice`, at 48 kHz, as espeak-ng scales it (peaks near -6 dBFS). Throws
    /// std::runtime_error if the voice is unknown or synthesis or resampling fails.
    Signal render(const std::string& text, const Voice& voice);

  private:
    int nativeRate_;  // Hz of espeak-ng's output (22 050 for its standard voices)
};

}  // namespace corvessa::quality

#endif
