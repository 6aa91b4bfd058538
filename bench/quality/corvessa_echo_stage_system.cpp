#include "corvessa_echo_stage_system.h"

#include "aec.h"
#include "pipeline.h"

namespace corvessa::quality {
namespace {

constexpr std::size_t kEchoDelay = 512;  // documented output delay, samples

// The voice core's EchoCanceller driven directly with already aligned frames.
class CorvessaEchoStageSystem final : public SystemUnderTest {
  public:
    void process(FrameIn mic, FrameIn far, FrameOut out) override {
        canceller_.process(mic, far, out);
    }

    [[nodiscard]] std::optional<std::size_t> nominalDelay() const override { return kEchoDelay; }

  private:
    amberlin::core::EchoCanceller canceller_{amberlin::core::VoicePipeline::kSampleRate,
                                             amberlin::core::VoicePipeline::kEchoTailMs};
};

}  // namespace

std::unique_ptr<SystemUnderTest> makeCorvessaEchoStage() {
    return std::make_unique<CorvessaEchoStageSystem>();
}

}  // namespace corvessa::quality
