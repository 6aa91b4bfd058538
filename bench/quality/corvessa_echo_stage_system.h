// Corvessa's echo canceller on its own (the voice core's internal stage, without the noise
// processor and voice gate that the pipeline runs after it), fed time-aligned frames.
#ifndef CORVESSA_BENCH_QUALITY_CORVESSA_ECHO_STAGE_SYSTEM_H
#define CORVESSA_BENCH_QUALITY_CORVESSA_ECHO_STAGE_SYSTEM_H

#include <memory>

#include "system_under_test.h"

namespace corvessa::quality {

/// A fresh echo canceller with the pipeline's configuration (48 kHz, 250 ms tail).
std::unique_ptr<SystemUnderTest> makeCorvessaEchoStage();

}  // namespace corvessa::quality

#endif
