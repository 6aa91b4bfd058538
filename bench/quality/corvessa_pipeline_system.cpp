#include "corvessa_pipeline_system.h"

#include <stdexcept>

#include "amberlin_core.h"
#include "pipeline.h"

namespace corvessa::quality {
namespace {

constexpr std::uint64_t kFrameNs = 10'000'000;          // 480 samples at 48 kHz
constexpr std::uint64_t kFirstFrameNs = 1'000'000'000;  // an arbitrary, non-zero start
constexpr std::size_t kEchoDelay = 512;                 // echo canceller's documented output delay
constexpr std::size_t kSpectralDelay = 736;  // spectral suppressor's documented output delay

// One amr_pipeline handle fed frame by frame with 10 ms host-time steps.
class CorvessaPipelineSystem final : public SystemUnderTest {
  public:
    explicit CorvessaPipelineSystem(const CorvessaSettings& settings)
        : settings_(settings),
          pipeline_(amberlin::core::createPipeline(
              settings.mode, settings.echoCancellation, settings.isolation,
              settings.neural ? amberlin::core::NeuralPolicy::whenAvailable
                              : amberlin::core::NeuralPolicy::spectralOnly)) {
        if (settings.neural && amr_pipeline_uses_neural(pipeline_.get()) != 1) {
            throw std::runtime_error("this voice core was built without RNNoise");
        }
    }

    void process(FrameIn mic, FrameIn far, FrameOut out) override {
        if (settings_.echoCancellation) {
            amr_pipeline_push_reference(pipeline_.get(), far.data(), kFrame, hostTimeNs_);
        }
        if (amr_pipeline_process(pipeline_.get(), mic.data(), out.data(), kFrame, hostTimeNs_) !=
            1) {
            throw std::runtime_error("amr_pipeline_process refused a 480-sample frame");
        }
        hostTimeNs_ += kFrameNs;
    }

    // The neural path's delay is RNNoise's own and the voice core does not state it.
    [[nodiscard]] std::optional<std::size_t> nominalDelay() const override {
        if (settings_.neural) {
            return std::nullopt;
        }
        return kSpectralDelay + (settings_.echoCancellation ? kEchoDelay : 0);
    }

  private:
    struct Destroy {
        void operator()(amr_pipeline* p) const { amr_pipeline_destroy(p); }
    };

    CorvessaSettings settings_;
    std::unique_ptr<amr_pipeline, Destroy> pipeline_;
    std::uint64_t hostTimeNs_ = kFirstFrameNs;
};

}  // namespace

std::unique_ptr<SystemUnderTest> makeCorvessaPipeline(const CorvessaSettings& settings) {
    return std::make_unique<CorvessaPipelineSystem>(settings);
}

}  // namespace corvessa::quality
