// Peer: the SpeexDSP echo canceller (250 ms tail at 48 kHz, 480-sample frames), alone or followed
// by the SpeexDSP preprocessor's residual echo suppression.
#ifndef CORVESSA_BENCH_QUALITY_SPEEX_ECHO_SYSTEM_H
#define CORVESSA_BENCH_QUALITY_SPEEX_ECHO_SYSTEM_H

#include <memory>

#include "system_under_test.h"

namespace corvessa::quality {

/// A fresh SpeexDSP echo canceller; with `residualSuppression` its output also runs through the
/// preprocessor coupled to the canceller's state (the preprocessor's own denoiser stays on, since
/// the residual echo is suppressed by its gain rule; automatic gain control stays off).
std::unique_ptr<SystemUnderTest> makeSpeexEcho(bool residualSuppression);

}  // namespace corvessa::quality

#endif
