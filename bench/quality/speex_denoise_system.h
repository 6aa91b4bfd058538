// Peer: the SpeexDSP preprocessor's noise suppressor alone (its defaults, automatic gain control
// off), on 480-sample frames at 48 kHz.
#ifndef CORVESSA_BENCH_QUALITY_SPEEX_DENOISE_SYSTEM_H
#define CORVESSA_BENCH_QUALITY_SPEEX_DENOISE_SYSTEM_H

#include <memory>

#include "system_under_test.h"

namespace corvessa::quality {

/// A fresh SpeexDSP denoiser.
std::unique_ptr<SystemUnderTest> makeSpeexDenoise();

}  // namespace corvessa::quality

#endif
