#include "speex_echo_system.h"

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include "pcm16.h"

namespace corvessa::quality {
namespace {

constexpr int kTailSamples = kSampleRate / 4;  // 250 ms

// SpeexDSP echo state (and optional preprocessor) on 16-bit copies of the frames.
class SpeexEchoSystem final : public SystemUnderTest {
  public:
    explicit SpeexEchoSystem(bool residualSuppression)
        : echo_(speex_echo_state_init(static_cast<int>(kFrame), kTailSamples)) {
        int rate = kSampleRate;
        speex_echo_ctl(echo_, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
        if (residualSuppression) {
            preprocess_ = speex_preprocess_state_init(static_cast<int>(kFrame), rate);
            int off = 0;
            speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_AGC, &off);
            speex_preprocess_ctl(preprocess_, SPEEX_PREPROCESS_SET_ECHO_STATE, echo_);
        }
    }

    ~SpeexEchoSystem() override {
        if (preprocess_ != nullptr) {
            speex_preprocess_state_destroy(preprocess_);
        }
        speex_echo_state_destroy(echo_);
    }

    SpeexEchoSystem(const SpeexEchoSystem&) = delete;
    SpeexEchoSystem& operator=(const SpeexEchoSystem&) = delete;

    void process(FrameIn mic, FrameIn far, FrameOut out) override {
        toPcm16(mic, mic_);
        toPcm16(far, far_);
        speex_echo_cancellation(echo_, mic_.data(), far_.data(), out_.data());
        if (preprocess_ != nullptr) {
            speex_preprocess_run(preprocess_, out_.data());
        }
        fromPcm16(out_, out);
    }

    // SpeexDSP documents no delay for either stage.
    [[nodiscard]] std::optional<std::size_t> nominalDelay() const override { return std::nullopt; }

  private:
    SpeexEchoState* echo_;
    SpeexPreprocessState* preprocess_ = nullptr;
    Pcm16Frame mic_{};
    Pcm16Frame far_{};
    Pcm16Frame out_{};
};

}  // namespace

std::unique_ptr<SystemUnderTest> makeSpeexEcho(bool residualSuppression) {
    return std::make_unique<SpeexEchoSystem>(residualSuppression);
}

}  // namespace corvessa::quality
