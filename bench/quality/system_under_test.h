// The common face of every system the quality harness compares: one 10 ms frame of microphone
// audio, with the far-end frame the speaker played over the same 10 ms, in; one frame out.
#ifndef CORVESSA_BENCH_QUALITY_SYSTEM_UNDER_TEST_H
#define CORVESSA_BENCH_QUALITY_SYSTEM_UNDER_TEST_H

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace corvessa::quality {

inline constexpr std::size_t kFrame = 480;  ///< samples per frame (10 ms)
inline constexpr int kSampleRate = 48000;   ///< Hz, mono f32 everywhere in the harness
using Signal = std::vector<float>;          ///< mono f32 samples at kSampleRate
using FrameIn = std::span<const float, kFrame>;
using FrameOut = std::span<float, kFrame>;

/// One noise suppressor or echo canceller (or a chain of both) under test, freshly initialised.
class SystemUnderTest {
  public:
    virtual ~SystemUnderTest() = default;

    /// Processes microphone frame `mic` into `out`; `far` is what the speaker played during the
    /// same 10 ms (all zeros in the noise scenarios). Called once per frame, in order.
    virtual void process(FrameIn mic, FrameIn far, FrameOut out) = 0;

    /// Delay of the output behind the microphone that the system documents, in samples; nothing
    /// when it documents none. The harness measures the real delay and prints both.
    [[nodiscard]] virtual std::optional<std::size_t> nominalDelay() const = 0;
};

/// A named way of building a fresh system; every scenario starts from a new instance.
struct SystemEntry {
    std::string name;  ///< row label in the tables
    std::function<std::unique_ptr<SystemUnderTest>()> make;
};

}  // namespace corvessa::quality

#endif
