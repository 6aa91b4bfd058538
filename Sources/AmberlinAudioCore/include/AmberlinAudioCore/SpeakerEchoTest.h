// The speaker echo test: how well the echo canceller removes the computer's own speaker output
// from the microphone.
//
// A run speaks a fixed sentence through the speakers while a private capture pipeline, with echo
// cancellation on and the speakers' audio as its far-end reference, records the raw and the
// processed microphone. It reports the echo level at the microphone, the room's noise floor, the
// echo removed in dB, the echo path delay and how far behind the reference was read, with a
// one-line verdict for the user. The pipeline holds the producer lock, so the test cannot run
// while another producer feeds the virtual microphone.
//
// Threads: run() blocks its caller for the whole test (about 15 s, at most about 27 s); the
// pipeline's frame handlers record on its processing queue under the recorder's locks.
#ifndef AMBERLINAUDIOCORE_SPEAKERECHOTEST_H
#define AMBERLINAUDIOCORE_SPEAKERECHOTEST_H

#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "AmberlinAudioCore/AudioFrame.h"
#include "AmberlinAudioCore/DeviceManager.h"
#include "AmberlinAudioCore/ProducerGuard.h"

namespace amberlin {

/// Measures speaker echo cancellation on the user's speakers and microphone; a namespace
/// without instances.
struct SpeakerEchoTest {
    SpeakerEchoTest() = delete;

    /// The sentence spoken through the speakers.
    static constexpr std::string_view sentence =
        "This is the Corvessa speaker echo test. Please stay quiet for a few seconds while I play "
        "this sentence through your speakers. If you can hear me clearly, the test is working, "
        "and the echo should disappear from your microphone.";

    /// What one run measured.
    struct Result {
        float echoAtMicDB = 0.0f;          ///< raw microphone level during the speech, dBFS
        float noiseFloorDB = 0.0f;         ///< raw microphone level just before the speech, dBFS
        float removedDB = 0.0f;            ///< echoAtMicDB minus the processed level, dB
        float echoDelayMS = 0.0f;          ///< the canceller's estimated echo delay, ms
        float referenceLookbackMS = 0.0f;  ///< how far back the reference was read, ms
        bool referenceArrived = false;     ///< the far-end reference reached the canceller

        /// The verdict for the user: why the reference or the echo was missing, or how much
        /// echo was removed ("Excellent" from 25 dB, "Good" from 15, "Partial" from 8, else
        /// "Not working").
        std::string summary() const;

        friend bool operator==(const Result&, const Result&) = default;
    };

    /// Why a run could not measure; unlike the module's other errors it carries the words the
    /// user sees.
    class TestError : public std::exception {
      public:
        /// The error's case.
        enum class Code {
            start,    ///< the reference capture or the pipeline could not start
            micBusy,  ///< another producer holds the microphone
        };

        /// Starting failed with `cause`.
        static TestError start(const std::exception& cause);
        /// Another producer feeds the virtual microphone.
        static TestError micBusy();

        /// The case.
        Code code() const noexcept { return code_; }
        /// The text shown to the user.
        const std::string& errorDescription() const noexcept { return description_; }
        /// The same text.
        const char* what() const noexcept override { return description_.c_str(); }
        /// Equal when case and text are equal.
        friend bool operator==(const TestError& a, const TestError& b) {
            return a.code_ == b.code_ && a.description_ == b.description_;
        }

      private:
        TestError(Code code, std::string description)
            : code_(code), description_(std::move(description)) {}

        Code code_;
        std::string description_;
    };

    /// Runs the test with the microphone `preferredInputUID` (none: the default input) as
    /// `deviceManager` resolves it, holding the producer lock at `producerLockPath` (only tests
    /// pass another path). Throws TestError.
    static Result run(std::optional<std::string> preferredInputUID,
                      std::shared_ptr<DeviceManager> deviceManager,
                      std::string producerLockPath = ProducerGuard::defaultPath());

    /// The figures of a run from its recordings: `speechStart` (S) and `end` (E) are raw sample
    /// counts when the speech started and when recording ended; `metrics` are the canceller's
    /// after the speech. Spans are clamped to the recordings; an empty span counts as -120 dB.
    static Result measure(std::span<const float> raw, std::span<const float> processed,
                          std::size_t speechStart, std::size_t end, const EchoMetrics& metrics);

    /// Level of x[from, to) in dBFS: 10 · log10(max(mean square, 1e-12)), or -120 when the span
    /// (clamped to x) is empty.
    static float level(std::span<const float> x, std::size_t from, std::size_t to);
};

}  // namespace amberlin

#endif
