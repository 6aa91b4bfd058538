// Speech synthesis onto the system output: a sentence rendered by espeak-ng (its English voice at
// its default rate), converted to 48 kHz and played on the installed system's output
// (platform/SystemOutput.h).
//
// speak() returns at once; rendering runs on a thread of its own and playback starts when it is
// done. isSpeaking() is true from speak() until the sound has finished playing, and false at once
// when rendering or playback fails (no voice data, no system output). One utterance at a time: a
// new speak() stops the previous one.
//
// Threads: every method may be called from any control thread. espeak-ng keeps process-wide
// state, so renderings of every synthesizer in the process take turns.
#ifndef CORVESSA_PLATFORM_SPEECH_SYNTHESIZER_H
#define CORVESSA_PLATFORM_SPEECH_SYNTHESIZER_H

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform {

/// Speaks sentences on the system output.
class SpeechSynthesizer {
  public:
    SpeechSynthesizer();
    /// Stops speaking and waits for the rendering thread.
    ~SpeechSynthesizer();
    SpeechSynthesizer(const SpeechSynthesizer&) = delete;
    SpeechSynthesizer& operator=(const SpeechSynthesizer&) = delete;

    /// Starts speaking `text` (UTF-8), stopping any utterance in progress first.
    void speak(std::string text);
    /// True while the current utterance is being rendered or is playing.
    bool isSpeaking() const;
    /// Abandons rendering and silences playback; isSpeaking() is false from now on.
    void stop();

    /// `text` rendered as 48 kHz mono float samples; none when espeak-ng cannot render it.
    static std::optional<std::vector<float>> render(const std::string& text);

  private:
    struct Utterance;

    static void run(const std::shared_ptr<Utterance>& utterance, const std::string& text);
    void cancelCurrent();
    void finishPrevious();

    mutable std::mutex mutex_;  // guards current_ and worker_
    std::shared_ptr<Utterance> current_;
    std::thread worker_;
};

}  // namespace platform

#endif
