// The far-end reference for echo cancellation: what the computer plays, taken from a private
// system-audio tap, turned into 48 kHz mono float and pushed with the host time of its first
// sample into an echo-cancelling processor.
//
// 48 kHz float buffers are mixed down directly (the channels are averaged); any other format
// goes through a sample-rate converter that is kept while the format stays the same, so its
// filter state carries from buffer to buffer. The host time is the tap's, uncorrected for the
// converter's latency: lining the reference up with the microphone is the processor's job.
//
// The feed holds its processor weakly and never keeps it alive; once the processor is gone,
// buffers are ignored. Every per-buffer problem drops that buffer; only starting the tap reports
// errors.
//
// Threads: start() and stop() run on the owner's thread. handle() runs on the tap's queue, one
// buffer at a time, and is the only user of the converter and the scratch samples.
#ifndef AMBERLINAUDIOCORE_ECHOREFERENCEFEED_H
#define AMBERLINAUDIOCORE_ECHOREFERENCEFEED_H

#include <cstdint>
#include <memory>
#include <vector>

#include "AmberlinAudioCore/AudioFrame.h"
#include "AmberlinAudioCore/SystemAudioCapture.h"
#include "platform/AudioConverter.h"
#include "platform/AudioFormat.h"
#include "platform/PCMBuffer.h"

namespace amberlin {

/// Feeds system output audio to an echo canceller as its far-end reference.
class EchoReferenceFeed final : public std::enable_shared_from_this<EchoReferenceFeed> {
    struct Token {};

  public:
    /// A stopped feed for `target` with a capture of its own; the tap's handler holds the feed
    /// weakly, so it is always owned by a std::shared_ptr.
    static std::shared_ptr<EchoReferenceFeed> make(std::weak_ptr<EchoCancellingProcessor> target);
    /// Use make().
    EchoReferenceFeed(Token, std::weak_ptr<EchoCancellingProcessor> target);
    EchoReferenceFeed(const EchoReferenceFeed&) = delete;
    EchoReferenceFeed& operator=(const EchoReferenceFeed&) = delete;

    /// Installs the timed-buffer handler (replacing any), then starts the capture; the capture's
    /// SystemAudioCaptureError propagates unchanged and the handler stays installed.
    void start();
    /// Removes the handler, then stops the capture.
    void stop();
    /// The system-audio capture the feed listens to.
    const std::shared_ptr<CoreAudioTapCapture>& capture() const noexcept { return capture_; }

    /// Converts one tap buffer to 48 kHz mono and pushes it to the target with `hostTimeNanos`
    /// (the host time of its first frame, ns); the capture's handler calls it on the tap queue.
    void handle(const platform::PCMBuffer& buffer, std::uint64_t hostTimeNanos);

  private:
    bool canMixDirectly(const platform::PCMBuffer& buffer) const;
    void mixDown(const platform::PCMBuffer& buffer);
    void convertAndPush(EchoCancellingProcessor& target, const platform::PCMBuffer& buffer,
                        std::uint64_t hostTimeNanos);
    bool ensureConverter(const platform::AudioFormat& from);

    std::shared_ptr<CoreAudioTapCapture> capture_;
    std::weak_ptr<EchoCancellingProcessor> target_;
    platform::AudioFormat monoFormat_;
    std::unique_ptr<platform::AudioConverter> converter_;
    std::vector<float> mono_;  // mixed-down samples; grows to the longest buffer, never shrinks
};

}  // namespace amberlin

#endif
