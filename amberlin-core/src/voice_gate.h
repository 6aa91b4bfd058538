// Voice gate ("voice isolation"): the last stage of the voice pipeline.
//
// Learns the level at which the user speaks from frames the noise processor judges voiced
// (probability >= 0.6) and attenuates frames that fall well below that level and carry no recent
// voice: background talkers, keyboard noise, residual noise. Voiced frames renew a 24-frame
// (240 ms) hold; an unvoiced frame as loud as the user's speech keeps the gate open without
// renewing it. Until the learned speech level exceeds -50 dBFS the gate never closes. The gain
// moves towards its target quickly when opening (80 % per frame) and slowly when closing (15 %),
// and is ramped linearly across each frame so consecutive frames join without a step.
//
// Threads: one processing thread; `process` allocates nothing, takes no lock and never throws.
#ifndef AMBERLIN_CORE_VOICE_GATE_H
#define AMBERLIN_CORE_VOICE_GATE_H

#include <cstdint>
#include <span>

namespace amberlin::core {

/// Level-tracking gate steered by the noise processor's voice probability.
class VoiceGate {
  public:
    static constexpr float kInitialSpeechLevelDb = -60.0F;
    static constexpr std::uint32_t kHoldFrames = 24;  ///< 240 ms of 10 ms frames

    /// Creates an open gate at `level`: 0 off, 1 light, 2 balanced, 3 (or more) strong.
    explicit VoiceGate(std::uint32_t level) : level_(level) {}

    /// Gates `samples` in place given the frame's voice probability `voice_probability` (0 ... 1).
    void process(std::span<float> samples, float voice_probability);

    /// Restores speech level -60 dB, gain 1.0 and hold 0; the level setting stays.
    void reset();

    /// Isolation level (0 off, 1 light, 2 balanced, 3+ strong).
    [[nodiscard]] std::uint32_t level() const { return level_; }
    /// Changes the isolation level between frames; the learned state is kept.
    void setLevel(std::uint32_t level) { level_ = level; }
    /// Gain at the end of the last frame (1.0 while off).
    [[nodiscard]] float gain() const { return gain_; }
    /// Learned level of the user's voiced frames, dBFS.
    [[nodiscard]] float speechLevelDb() const { return speechLevelDb_; }
    /// Frames the gate stays open without renewed voice.
    [[nodiscard]] std::uint32_t hold() const { return hold_; }

  private:
    float targetForVoiced(float level_db, float window_db, float floor);
    float targetForUnvoiced(float level_db, float window_db, float floor);
    void ramp(std::span<float> samples, float from, float to) const;

    std::uint32_t level_;
    float speechLevelDb_ = kInitialSpeechLevelDb;
    float gain_ = 1.0F;
    std::uint32_t hold_ = 0;
};

}  // namespace amberlin::core

#endif
