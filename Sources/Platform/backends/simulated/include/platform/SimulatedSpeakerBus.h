// The simulated system's speaker bus: everything played to the system output, as the air in front
// of the speakers carries it.
//
// The bus is a stereo 48 kHz timeline on the host clock: bus position p (in frames, fractional) is
// the host time p / 48 000 s, so position = host nanoseconds × 48 000 / 10^9. A sound is placed
// on the timeline at a whole frame and plays in real time from there (mono sounds on both
// channels); overlapping sounds add. Readers (process taps, the echo path into a microphone) mix
// whatever plays over their own stretch of the timeline, at any rate, by linear interpolation;
// a reader whose position lies within 0.001 frame of a whole frame reads that frame exactly.
//
// Sounds are immutable once published and are kept until the bus is destroyed (at most
// kMaxSounds of them); stopping a sound only moves its end forward to the present.
//
// Threads: play and the playback methods run on control threads (serialised by a mutex).
// mixInto is lock-free and allocation-free and runs on real-time IO threads.
#ifndef CORVESSA_PLATFORM_SIMULATED_SPEAKER_BUS_H
#define CORVESSA_PLATFORM_SIMULATED_SPEAKER_BUS_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "platform/SignalSource.h"
#include "platform/SystemOutput.h"

namespace platform {

/// Everything the simulated system's output plays, placed on the host-time line.
class SimulatedSpeakerBus final : public SystemOutputBackend,
                                  public std::enable_shared_from_this<SimulatedSpeakerBus> {
  public:
    static constexpr double kSampleRate = 48'000.0;  ///< frames per second of the bus
    static constexpr UInt32 kChannels = 2;           ///< left and right
    static constexpr std::size_t kMaxSounds = 4096;  ///< sounds a bus can ever hold
    /// Delay from a play call to its first frame when no start is given, in ns: the output's
    /// latency, long enough for every reader to cover the start even while it runs a cycle.
    static constexpr UInt64 kOutputLatencyNanos = 50'000'000;

    /// An empty bus; create it with std::make_shared (playbacks keep it alive).
    SimulatedSpeakerBus();
    ~SimulatedSpeakerBus() override;
    SimulatedSpeakerBus(const SimulatedSpeakerBus&) = delete;
    SimulatedSpeakerBus& operator=(const SimulatedSpeakerBus&) = delete;

    /// Plays `sound` from `startHostNanos` (none: now + kOutputLatencyNanos), rounded to a whole
    /// frame; null for an empty sound, a channel count other than 1 or 2, or a full bus.
    std::shared_ptr<SystemOutputPlayback> play(OutputSound sound,
                                               std::optional<UInt64> startHostNanos = {});
    /// Renders `seconds` of `source` in stereo and plays it as above.
    std::shared_ptr<SystemOutputPlayback> play(const SignalSource& source, double seconds,
                                               std::optional<UInt64> startHostNanos = {});
    /// Adds gain × the bus at positions startFrame + j × step, for every frame j of `out`
    /// (`outChannels` interleaved: 1 averages left and right, 2 copies them, more repeats the
    /// pair). Real-time safe.
    void mixInto(std::span<float> out, UInt32 outChannels, double startFrame, double step,
                 float gain) const noexcept;
    /// Number of sounds played so far.
    std::size_t soundCount() const noexcept;

    /// Bus position, in frames, of a host time in ns.
    static double positionAt(UInt64 hostNanos) noexcept;

    OSStatus play(OutputSound sound,
                  std::shared_ptr<SystemOutputPlayback>& outPlayback) noexcept override;

  private:
    struct Sound;
    class Playback;

    void mixSound(const Sound& sound, std::span<float> out, UInt32 outChannels, double startFrame,
                  double step, float gain) const noexcept;

    std::mutex mutex_;  // serialises publishers; owned_ is touched only under it
    std::vector<std::unique_ptr<Sound>> owned_;
    std::array<std::atomic<const Sound*>, kMaxSounds> slots_{};
    std::atomic<std::size_t> published_{0};
};

}  // namespace platform

#endif
