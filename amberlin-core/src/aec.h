// Acoustic echo canceller: removes the sound of the computer's own speakers from the microphone.
//
// A block frequency-domain adaptive filter with partitioned taps (overlap-save, 256-sample blocks,
// 512-point FFT) run as a pair: a background filter adapts on every block and a foreground filter
// produces the output; the background replaces the foreground only once it has proved better. A
// coherence-based residual-echo suppressor then attenuates, bin by bin, what the linear filter
// leaves. The output trails the microphone by 512 samples (10.67 ms at 48 kHz).
//
// The far-end reference passed with each microphone frame must already be lined up in time with
// it (see ReferenceQueue). Non-finite input samples are treated as 0.0 and finite ones are bounded
// to +-1000 (60 dB above full scale), so that one bad sample cannot poison the adaptive state.
//
// Threads: every method runs on the processing thread; the object is not shared. `process` never
// allocates, locks or throws: every buffer is sized in the constructor.
#ifndef AMBERLIN_CORE_AEC_H
#define AMBERLIN_CORE_AEC_H

#include <cstddef>
#include <span>

#include "aec_far_history.h"
#include "aec_filter.h"
#include "aec_residual_suppressor.h"
#include "fft.h"
#include "fixed_ring.h"

namespace amberlin::core {

/// Frequency-domain echo canceller with foreground/background filters and residual suppression.
class EchoCanceller {
  public:
    /// Samples per `process` call: one 10 ms frame at 48 kHz.
    static constexpr std::size_t kFrameSamples = 480;

    /// Sizes every buffer for `tail_ms` of echo tail at `sample_rate` Hz (the pipeline uses
    /// 48 000 Hz and 250 ms: 47 partitions of 256 samples) and starts from the reset state.
    /// Non-finite or non-positive values give one partition; longer tails than 4096 partitions
    /// (about 21 s at 48 kHz) are capped there.
    EchoCanceller(double sample_rate, double tail_ms);

    /// Forgets all adaptation and buffered audio; the next 512 output samples are the output
    /// delay: zeros (up to transform rounding while the suppression gains are 1).
    void reset();

    /// Cancels the echo of `reference` (far end, time-aligned) from `input` (microphone) into
    /// `output`, which trails `input` by 512 samples. `output` may alias `input`.
    void process(std::span<const float, kFrameSamples> input,
                 std::span<const float, kFrameSamples> reference,
                 std::span<float, kFrameSamples> output);

    /// Smoothed echo reduction (microphone over foreground error energy) in dB; 0 until echo seen.
    [[nodiscard]] float echo_reduction_db() const noexcept { return echo_reduction_db_; }
    /// Estimated echo delay in ms: start of the foreground's strongest partition.
    [[nodiscard]] float echo_delay_ms() const noexcept { return echo_delay_ms_; }
    /// Whether the far end carried signal in the last processed block.
    [[nodiscard]] bool far_end_active() const noexcept { return far_end_active_; }
    /// Number of 256-sample filter partitions.
    [[nodiscard]] std::size_t partitions() const noexcept { return far_.partitions(); }

  private:
    /// Block energies of one 256-sample block.
    struct BlockSums {
        float near = 0.0f;        // sum d^2 (microphone)
        float estimate = 0.0f;    // sum y1^2 (foreground echo estimate)
        float foreground = 0.0f;  // sum e1^2 (foreground error)
        float background = 0.0f;  // sum e0^2 (background error)
        float far = 0.0f;         // sum x^2 (far end)
    };

    /// Exponentially smoothed block energies.
    struct SmoothedPowers {
        float foreground = 0.0f;  // Se1
        float background = 0.0f;  // Se0
        float near = 0.0f;        // Sd
        float far = 0.0f;         // Sx
    };

    static void enqueue(std::span<const float, kFrameSamples> samples, FixedRing<float>& queue);
    void process_block();
    void take_block();
    void estimate_echoes();
    void to_time_domain(aec::FftScratch& spectrum, aec::Block& estimate) const;
    BlockSums compute_errors();
    void adapt_background();
    void constrain_background();
    void update_smoothed_powers(const BlockSums& sums);
    bool select_filter();
    void update_echo_level(bool far_active);
    bool guard_foreground_divergence();
    void update_echo_reduction(const BlockSums& sums, bool far_active);
    void update_echo_delay();
    void deliver(std::span<float, kFrameSamples> output);

    double sample_rate_;
    Fft fft_;
    aec::FarHistory far_;
    aec::PartitionedFilter foreground_;
    aec::PartitionedFilter background_;
    aec::ResidualSuppressor suppressor_;
    FixedRing<float> near_queue_;       // microphone samples waiting for a whole block
    FixedRing<float> far_queue_;        // reference samples waiting for a whole block
    FixedRing<float> output_queue_;     // processed samples waiting to be delivered
    aec::Block near_{};                 // d: microphone block
    aec::Block far_block_{};            // x: reference block
    aec::Block foreground_estimate_{};  // y1
    aec::Block background_estimate_{};  // y0
    aec::Block foreground_error_{};     // e1
    aec::Block background_error_{};     // e0
    aec::Block output_block_{};
    aec::FftScratch scratch_{};             // foreground spectrum, then general scratch
    aec::FftScratch background_scratch_{};  // background spectrum
    aec::Bins gradient_real_{};             // step-scaled background error spectrum
    aec::Bins gradient_imag_{};
    std::size_t constraint_position_ = 0;  // next background partition to constrain
    SmoothedPowers smoothed_;
    float echo_level_ = 0.0f;  // decaying peak of Sd while the far end plays (block energy)
    unsigned selection_count_ = 0;
    float near_average_ = 0.0f;   // slow average of sum d^2 while echo dominates
    float error_average_ = 0.0f;  // slow average of sum e1^2 while echo dominates
    float echo_reduction_db_ = 0.0f;
    float echo_delay_ms_ = 0.0f;
    bool far_end_active_ = false;
};

}  // namespace amberlin::core

#endif
