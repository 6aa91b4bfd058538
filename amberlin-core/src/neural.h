// Owner of one RNNoise state: recurrent-network noise suppression of 480-sample frames at 48 kHz.
//
// RNNoise expects samples in the 16-bit range (scale f32 audio by 32768 on the way in and by
// 1/32768 on the way out) and returns, with each denoised frame, the probability (0 ... 1) that it
// holds voice. When the library was built without RNNoise, or the state cannot be created,
// `create` yields nothing and the caller takes its spectral path instead.
//
// Threads: one processing thread per state; `process` does not allocate. Creation and destruction
// allocate and free the network state (never on the per-frame path, except a pipeline reset).
#ifndef AMBERLIN_CORE_NEURAL_H
#define AMBERLIN_CORE_NEURAL_H

#include <cstddef>
#include <optional>
#include <span>

namespace amberlin::core {

/// Move-only handle on an RNNoise state with the library's built-in model.
class NeuralDenoiser {
  public:
    static constexpr std::size_t kFrame = 480;  ///< samples per frame (10 ms at 48 kHz)
    static constexpr float kScale = 32768.0F;   ///< f32 full scale to RNNoise's 16-bit range

    /// A fresh state, or nothing when RNNoise is not built in or refuses to create one.
    static std::optional<NeuralDenoiser> create();
    /// Whether this build of the voice core contains RNNoise.
    static bool available();

    NeuralDenoiser(NeuralDenoiser&& other) noexcept;
    NeuralDenoiser& operator=(NeuralDenoiser&& other) noexcept;
    NeuralDenoiser(const NeuralDenoiser&) = delete;
    NeuralDenoiser& operator=(const NeuralDenoiser&) = delete;
    /// Frees the network state.
    ~NeuralDenoiser();

    /// Denoises one frame of 16-bit-range samples from `input` into `output` and returns the
    /// frame's voice probability (0 ... 1).
    float process(std::span<float, kFrame> output, std::span<const float, kFrame> input);

  private:
    explicit NeuralDenoiser(void* state) : state_(state) {}

    void* state_;  // the library's opaque state; never null in a live object
};

}  // namespace amberlin::core

#endif
