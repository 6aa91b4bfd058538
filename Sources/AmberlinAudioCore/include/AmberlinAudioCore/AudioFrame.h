// The frame every component of the voice path exchanges, and the processor contracts: metrics
// records, the processor error and the two processor interfaces.
#ifndef AMBERLINAUDIOCORE_AUDIOFRAME_H
#define AMBERLINAUDIOCORE_AUDIOFRAME_H

#include <array>
#include <cstdint>
#include <exception>
#include <nlohmann/json_fwd.hpp>
#include <span>
#include <string>

#include "AmberlinAudioCore/SuppressionMode.h"

namespace amberlin {

/// Exactly 10 ms of mono audio: 480 f32 samples at 48 000 Hz, nominally in [-1, 1]. The length
/// is part of the type, so a frame can never hold another count and copying one never allocates.
struct AudioFrame {
    static constexpr double sampleRate = 48000.0;     ///< Hz
    static constexpr std::int64_t frameLength = 480;  ///< samples (10 ms)
    using Samples = std::array<float, static_cast<std::size_t>(frameLength)>;

    Samples samples{};

    /// A frame of silence.
    AudioFrame() = default;
    /// A frame holding `samples`.
    explicit AudioFrame(const Samples& frameSamples) : samples(frameSamples) {}
    /// A frame copied from `frameSamples`, which must hold exactly 480 samples: any other count
    /// is a fatal precondition failure that stops the process.
    explicit AudioFrame(std::span<const float> frameSamples);

    /// Root mean square of the samples, accumulated in single precision.
    float rms() const;

    friend bool operator==(const AudioFrame&, const AudioFrame&) = default;
};

/// Levels and voice decision of the last frame a processor handled.
struct ProcessorMetrics {
    float inputRMS = 0.0f;     ///< level entering noise suppression (linear RMS)
    float outputRMS = 0.0f;    ///< level of the suppressed frame (linear RMS)
    bool voiceActive = false;  ///< the processor's voice decision

    friend bool operator==(const ProcessorMetrics&, const ProcessorMetrics&) = default;
};

/// JSON object with exactly the keys "inputRMS", "outputRMS", "voiceActive".
void to_json(nlohmann::json& json, const ProcessorMetrics& metrics);
/// Requires all three keys with a number, a number and a boolean.
void from_json(const nlohmann::json& json, ProcessorMetrics& metrics);

/// State of the echo canceller and voice gate after the last frame.
struct EchoMetrics {
    float echoReductionDB = 0.0f;      ///< smoothed echo reduction, dB
    float echoDelayMS = 0.0f;          ///< estimated echo-path delay, ms
    float referenceLookbackMS = 0.0f;  ///< how far back the far-end reference is read, ms
    float voiceGateGain = 1.0f;        ///< voice gate gain, 0...1
    bool farEndActive = false;         ///< the far end was judged active in the last frame

    friend bool operator==(const EchoMetrics&, const EchoMetrics&) = default;
};

/// The processors' error: a case with its payload, and no message text beyond the case name.
class NoiseProcessorError : public std::exception {
  public:
    /// The error's case.
    enum class Code {
        unsupportedSampleRate,
        unsupportedChannelCount,
        allocationFailed,
        processingFailed
    };

    /// `prepare` was offered a rate (Hz) other than 48000.
    static NoiseProcessorError unsupportedSampleRate(double rate);
    /// `prepare` was offered the right rate and a channel count other than 1.
    static NoiseProcessorError unsupportedChannelCount(std::int64_t count);
    /// A ring or engine could not be created.
    static NoiseProcessorError allocationFailed();
    /// The engine refused a frame.
    static NoiseProcessorError processingFailed();

    /// The case.
    Code code() const noexcept { return code_; }
    /// Payload of `unsupportedSampleRate` (Hz); 0 for the other cases.
    double sampleRate() const noexcept { return sampleRate_; }
    /// Payload of `unsupportedChannelCount`; 0 for the other cases.
    std::int64_t channelCount() const noexcept { return channelCount_; }
    /// The case name, e.g. "unsupportedSampleRate".
    const char* what() const noexcept override;

    /// Equal when case and payload are equal.
    friend bool operator==(const NoiseProcessorError& a, const NoiseProcessorError& b) noexcept {
        return a.code_ == b.code_ && a.sampleRate_ == b.sampleRate_ &&
               a.channelCount_ == b.channelCount_;
    }

  private:
    NoiseProcessorError(Code code, double rate, std::int64_t count) noexcept
        : code_(code), sampleRate_(rate), channelCount_(count) {}

    Code code_;
    double sampleRate_;
    std::int64_t channelCount_;
};

/// A noise processor; implementations are shared by reference (std::shared_ptr). `process` is
/// called from one processing thread; `setMode` may come from any thread.
class NoiseProcessor {
  public:
    virtual ~NoiseProcessor() = default;

    /// The engine family.
    virtual NoiseProcessorType type() const = 0;
    /// The current suppression mode.
    virtual SuppressionMode mode() const = 0;
    /// Sets the mode; it takes effect on a following frame.
    virtual void setMode(SuppressionMode mode) = 0;
    /// Levels and voice decision of the last processed frame.
    virtual ProcessorMetrics metrics() const = 0;
    /// Human-readable name of the engine actually in use.
    virtual std::string engineName() const = 0;
    /// Declares the format the caller will deliver; only 48000 Hz mono is accepted, otherwise
    /// throws NoiseProcessorError (the rate is examined first).
    virtual void prepare(double sampleRate, std::int64_t channels) = 0;
    /// Declares the standard format: 48000 Hz, one channel.
    void prepare() { prepare(AudioFrame::sampleRate, 1); }
    /// Processes one frame; throws NoiseProcessorError.
    virtual AudioFrame process(const AudioFrame& frame) = 0;
    /// Processes one frame whose first sample was captured at `hostTimeNanos` (host clock, ns).
    /// By default the time is ignored.
    virtual AudioFrame process(const AudioFrame& frame, std::uint64_t hostTimeNanos);
    /// Clears the processor's adaptive state.
    virtual void reset() = 0;

  protected:
    NoiseProcessor() = default;
    NoiseProcessor(const NoiseProcessor&) = default;
    NoiseProcessor& operator=(const NoiseProcessor&) = default;
};

/// A processor that can cancel speaker echo against a far-end reference.
class EchoCancellingProcessor {
  public:
    virtual ~EchoCancellingProcessor() = default;

    /// The voice gate's level.
    virtual VoiceIsolationLevel voiceIsolation() const = 0;
    /// Sets the voice gate's level; it takes effect on a following frame.
    virtual void setVoiceIsolation(VoiceIsolationLevel level) = 0;
    /// Whether echo cancellation is on.
    virtual bool echoCancellationEnabled() const = 0;
    /// Turns echo cancellation on or off; it takes effect on a following frame.
    virtual void setEchoCancellationEnabled(bool enabled) = 0;
    /// Echo canceller and voice gate state after the last frame.
    virtual EchoMetrics echoMetrics() const = 0;
    /// Appends far-end audio (48 kHz mono f32) whose first sample played at `hostTimeNanos`.
    /// Callable from the far-end capture thread while frames are processed on another.
    virtual void pushReference(std::span<const float> samples, std::uint64_t hostTimeNanos) = 0;

  protected:
    EchoCancellingProcessor() = default;
    EchoCancellingProcessor(const EchoCancellingProcessor&) = default;
    EchoCancellingProcessor& operator=(const EchoCancellingProcessor&) = default;
};

}  // namespace amberlin

#endif
