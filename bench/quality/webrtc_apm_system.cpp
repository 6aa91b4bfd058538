#include "webrtc_apm_system.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <array>
#include <stdexcept>

namespace corvessa::quality {
namespace {

// One WebRTC processing module: far frame as the reverse stream, then the microphone frame.
class WebrtcApmSystem final : public SystemUnderTest {
  public:
    explicit WebrtcApmSystem(const WebrtcSettings& settings)
        : settings_(settings), apm_(webrtc::AudioProcessing::Create()) {
        using Apm = webrtc::AudioProcessing;
        if (!apm_ || apm_->Initialize(kSampleRate, kSampleRate, kSampleRate, Apm::kMono, Apm::kMono,
                                      Apm::kMono) != Apm::kNoError) {
            throw std::runtime_error("WebRTC audio processing could not be initialised");
        }
        apm_->echo_cancellation()->Enable(settings.echoCancellation);
        apm_->noise_suppression()->set_level(webrtc::NoiseSuppression::kModerate);
        apm_->noise_suppression()->Enable(settings.noiseSuppression);
    }

    void process(FrameIn mic, FrameIn far, FrameOut out) override {
        const webrtc::StreamConfig config(kSampleRate, 1);
        const float* farChannel = far.data();
        float* farOut = farScratch_.data();
        const float* micChannel = mic.data();
        float* outChannel = out.data();
        bool ok = apm_->ProcessReverseStream(&farChannel, config, config, &farOut) == 0;
        if (settings_.echoCancellation) {
            ok = ok && apm_->set_stream_delay_ms(settings_.streamDelayMs) == 0;
        }
        ok = ok && apm_->ProcessStream(&micChannel, config, config, &outChannel) == 0;
        if (!ok) {
            throw std::runtime_error("WebRTC audio processing refused a frame");
        }
    }

    // The module documents no end-to-end delay.
    [[nodiscard]] std::optional<std::size_t> nominalDelay() const override { return std::nullopt; }

  private:
    WebrtcSettings settings_;
    std::unique_ptr<webrtc::AudioProcessing> apm_;
    std::array<float, kFrame> farScratch_{};  // the reverse stream's (unused) output
};

}  // namespace

std::unique_ptr<SystemUnderTest> makeWebrtcApm(const WebrtcSettings& settings) {
    return std::make_unique<WebrtcApmSystem>(settings);
}

}  // namespace corvessa::quality
