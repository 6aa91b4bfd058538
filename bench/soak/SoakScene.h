// The soak's acoustic scene, defined for any sample index so that an hour needs no hour of
// memory: a near talker speaking sentences with pauses, pink background noise, and a far end
// talking on its own schedule whose sound reaches the microphone as echo over two delayed paths.
//
// The three loops have different lengths (the talkers' follow from their sentences and pauses,
// the noise loop is 37 s), so the mix of speech, double talk and pauses keeps changing over the
// hour. Everything is read-only after build(), so
// the microphone's IO thread and the driver may read it at the same time.
#ifndef CORVESSA_BENCH_SOAK_SOAK_SCENE_H
#define CORVESSA_BENCH_SOAK_SOAK_SCENE_H

#include <cstdint>
#include <span>
#include <vector>

namespace corvessa::soak {

/// Sample-indexed signals of one soak run, 48 kHz mono.
class SoakScene {
  public:
    /// Renders the speech with espeak-ng and generates the noise; throws std::runtime_error when
    /// the synthesiser is unavailable.
    static SoakScene build();

    /// What the microphone captures at sample `n`: near speech + noise + echo of the far end.
    float micSample(std::uint64_t n) const noexcept;
    /// What the speakers play at sample `n` (the echo canceller's reference).
    float farSample(std::uint64_t n) const noexcept;
    /// Fills `out` with far-end samples from index `first` on.
    void farBlock(std::uint64_t first, std::span<float> out) const noexcept;

  private:
    std::vector<float> near_;   // one period of the near talker
    std::vector<float> far_;    // one period of the far end
    std::vector<float> noise_;  // one period of the background noise
};

}  // namespace corvessa::soak

#endif
