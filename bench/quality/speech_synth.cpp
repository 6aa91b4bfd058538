#include "speech_synth.h"

#include <espeak-ng/speak_lib.h>
#include <soxr.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace corvessa::quality {
namespace {

// espeak-ng hands each rendered chunk to this callback; `user_data` is the target vector.
int collectSamples(short* wav, int count, espeak_EVENT* events) {
    if (wav == nullptr || count <= 0 || events == nullptr || events->user_data == nullptr) {
        return 0;
    }
    auto* out = static_cast<std::vector<short>*>(events->user_data);
    out->insert(out->end(), wav, wav + count);
    return 0;
}

void configureVoice(const Voice& voice) {
    if (espeak_SetVoiceByName(voice.name.c_str()) != EE_OK) {
        throw std::runtime_error("espeak-ng has no voice " + voice.name);
    }
    espeak_SetParameter(espeakPITCH, voice.pitch, 0);
    espeak_SetParameter(espeakRATE, voice.rate, 0);
}

Signal resample(const std::vector<short>& pcm, int fromRate) {
    std::vector<float> in(pcm.size());
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        in[i] = static_cast<float>(pcm[i]) / 32768.0F;
    }
    const double ratio = static_cast<double>(kSampleRate) / static_cast<double>(fromRate);
    Signal out(static_cast<std::size_t>(static_cast<double>(in.size()) * ratio) + 16);
    std::size_t produced = 0;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_error_t error =
        soxr_oneshot(fromRate, kSampleRate, 1, in.data(), in.size(), nullptr, out.data(),
                     out.size(), &produced, nullptr, &quality, nullptr);
    if (error != nullptr) {
        throw std::runtime_error(std::string("soxr resampling failed: ") + error);
    }
    out.resize(produced);
    return out;
}

}  // namespace

SpeechSynth::SpeechSynth()
    : nativeRate_(
          espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, espeakINITIALIZE_DONT_EXIT)) {
    if (nativeRate_ <= 0) {
        throw std::runtime_error("espeak-ng could not be initialised");
    }
    espeak_SetSynthCallback(collectSamples);
}

SpeechSynth::~SpeechSynth() {
    espeak_Terminate();
}

Signal SpeechSynth::render(const std::string& text, const Voice& voice) {
    configureVoice(voice);
    std::vector<short> pcm;
    const espeak_ERROR status = espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0,
                                             espeakCHARS_AUTO, nullptr, &pcm);
    if (status != EE_OK || espeak_Synchronize() != EE_OK || pcm.empty()) {
        throw std::runtime_error("espeak-ng could not render: " + text);
    }
    return resample(pcm, nativeRate_);
}

}  // namespace corvessa::quality
