#include "speex_denoise_system.h"

#include <speex/speex_preprocess.h>

#include "pcm16.h"

namespace corvessa::quality {
namespace {

// SpeexDSP preprocessor with only its denoiser on, run in place on a 16-bit copy.
class SpeexDenoiseSystem final : public SystemUnderTest {
  public:
    SpeexDenoiseSystem()
        : preprocess_(speex_preprocess_state_init(static_cast<int>(kFrame), kSampleRate)) {
        int on = 1;
        int off = 0;
        speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_DENOISE, &on);
        speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_AGC, &off);
    }

    ~SpeexDenoiseSystem() override { speex_preprocess_state_destroy(preprocess_); }

    SpeexDenoiseSystem(const SpeexDenoiseSystem&) = delete;
    SpeexDenoiseSystem& operator=(const SpeexDenoiseSystem&) = delete;

    void process(FrameIn mic, FrameIn /*far*/, FrameOut out) override {
        toPcm16(mic, frame_);
        speex_preprocess_run(preprocess_, frame_.data());
        fromPcm16(frame_, out);
    }

    // SpeexDSP documents no delay for its preprocessor.
    [[nodiscard]] std::optional<std::size_t> nominalDelay() const override { return std::nullopt; }

  private:
    SpeexPreprocessState* preprocess_;
    Pcm16Frame frame_{};
};

}  // namespace

std::unique_ptr<SystemUnderTest> makeSpeexDenoise() {
    return std::make_unique<SpeexDenoiseSystem>();
}

}  // namespace corvessa::quality
