// Peer: WebRTC audio processing (the 0.3 interface of libwebrtc-audio-processing) with its echo
// canceller and/or noise suppressor, on 10 ms frames at 48 kHz mono.
#ifndef CORVESSA_BENCH_QUALITY_WEBRTC_APM_SYSTEM_H
#define CORVESSA_BENCH_QUALITY_WEBRTC_APM_SYSTEM_H

#include <memory>

#include "system_under_test.h"

namespace corvessa::quality {

/// Which components of the processing module run.
struct WebrtcSettings {
    bool echoCancellation = false;  ///< the full-band echo canceller (default suppression level)
    bool noiseSuppression = false;  ///< the noise suppressor at its moderate level
    int streamDelayMs = 40;         ///< render-to-capture delay reported with every frame
};

/// A fresh processing module with `settings`; throws std::runtime_error when it cannot be set up.
std::unique_ptr<SystemUnderTest> makeWebrtcApm(const WebrtcSettings& settings);

}  // namespace corvessa::quality

#endif
