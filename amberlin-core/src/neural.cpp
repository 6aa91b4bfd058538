#include "neural.h"

#include <utility>

#include "fatal.h"

#if AMR_HAVE_RNNOISE
#include "rnnoise.h"
#endif

namespace amberlin::core {

#if AMR_HAVE_RNNOISE

namespace {

using State = decltype(rnnoise_create(nullptr));

State typed(void* state) {
    return static_cast<State>(state);
}

}  // namespace

std::optional<NeuralDenoiser> NeuralDenoiser::create() {
    void* state = rnnoise_create(nullptr);
    if (state == nullptr) {
        return std::nullopt;
    }
    return NeuralDenoiser(state);
}

bool NeuralDenoiser::available() {
    return true;
}

NeuralDenoiser::~NeuralDenoiser() {
    if (state_ != nullptr) {
        rnnoise_destroy(typed(state_));
    }
}

float NeuralDenoiser::process(std::span<float, kFrame> output,
                              std::span<const float, kFrame> input) {
    return rnnoise_process_frame(typed(state_), output.data(), input.data());
}

#else

std::optional<NeuralDenoiser> NeuralDenoiser::create() {
    return std::nullopt;
}

bool NeuralDenoiser::available() {
    return false;
}

NeuralDenoiser::~NeuralDenoiser() = default;

// Without RNNoise `create` never yields an object, so no call can reach this.
float NeuralDenoiser::process(std::span<float, kFrame> /*output*/,
                              std::span<const float, kFrame> /*input*/) {
    fatal("neural state used in a build without RNNoise");
}

#endif

NeuralDenoiser::NeuralDenoiser(NeuralDenoiser&& other) noexcept
    : state_(std::exchange(other.state_, nullptr)) {}

NeuralDenoiser& NeuralDenoiser::operator=(NeuralDenoiser&& other) noexcept {
    std::swap(state_, other.state_);
    return *this;
}

}  // namespace amberlin::core
