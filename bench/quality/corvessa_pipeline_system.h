// Corvessa's voice pipeline driven through its flat amr_pipeline_* interface, as the front end
// drives it: the far-end frame is pushed as reference with the same host time as the microphone
// frame it was played with.
#ifndef CORVESSA_BENCH_QUALITY_CORVESSA_PIPELINE_SYSTEM_H
#define CORVESSA_BENCH_QUALITY_CORVESSA_PIPELINE_SYSTEM_H

#include <cstdint>
#include <memory>

#include "system_under_test.h"

namespace corvessa::quality {

/// How the pipeline is built.
struct CorvessaSettings {
    bool neural = true;  ///< RNNoise path; false forces the spectral suppressor
    bool echoCancellation = false;
    std::uint32_t mode = 1;       ///< 0 light, 1 balanced, 2 max
    std::uint32_t isolation = 0;  ///< voice gate: 0 off ... 3 strong
};

/// A fresh pipeline with `settings`. Throws std::runtime_error when the neural path is asked for
/// but this build of the voice core has no RNNoise.
std::unique_ptr<SystemUnderTest> makeCorvessaPipeline(const CorvessaSettings& settings);

}  // namespace corvessa::quality

#endif
