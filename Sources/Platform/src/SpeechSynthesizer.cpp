// espeak-ng rendering (22.05 kHz 16-bit), conversion to 48 kHz float, and playback on the system
// output, on a thread per utterance.
#include "platform/SpeechSynthesizer.h"

#include <espeak-ng/speak_lib.h>

#include <atomic>
#include <utility>

#include "platform/AudioConverter.h"
#include "platform/SystemOutput.h"

namespace platform {
namespace {

/// Guards every espeak-ng call: the library keeps one state per process.
std::mutex gEspeakMutex;
/// espeak-ng's output rate in Hz once initialised; 0 before, -1 when it cannot be.
int gEspeakRate = 0;

/// What one rendering collects, and whether it should give up.
struct Rendering {
    std::vector<std::int16_t> samples;
    const std::atomic<bool>* cancelled;
};

/// espeak-ng hands each rendered chunk here; returning 1 abandons the rendering.
int collect(short* wav, int count, espeak_EVENT* events) {
    if (events == nullptr || events->user_data == nullptr) {
        return 0;
    }
    auto* rendering = static_cast<Rendering*>(events->user_data);
    if (wav != nullptr && count > 0) {
        rendering->samples.insert(rendering->samples.end(), wav, wav + count);
    }
    const bool cancelled =
        rendering->cancelled != nullptr && rendering->cancelled->load(std::memory_order_acquire);
    return cancelled ? 1 : 0;
}

/// Initialises espeak-ng once (without letting it exit the process on failure); its rate or -1.
int espeakRate() {
    if (gEspeakRate == 0) {
        gEspeakRate =
            espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, 0, nullptr, espeakINITIALIZE_DONT_EXIT);
        if (gEspeakRate > 0) {
            espeak_SetSynthCallback(collect);
            if (espeak_SetVoiceByName("en") != EE_OK) {
                gEspeakRate = -1;
            }
        } else {
            gEspeakRate = -1;
        }
    }
    return gEspeakRate;
}

/// `text` as 16-bit samples at the returned rate; none on failure or cancellation.
std::optional<std::pair<std::vector<std::int16_t>, int>> renderPCM(
    const std::string& text, const std::atomic<bool>* cancelled) {
    std::lock_guard lock(gEspeakMutex);
    const int rate = espeakRate();
    if (rate <= 0) {
        return std::nullopt;
    }
    Rendering rendering{{}, cancelled};
    const espeak_ERROR status = espeak_Synth(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0,
                                             espeakCHARS_UTF8, nullptr, &rendering);
    if (status != EE_OK || espeak_Synchronize() != EE_OK || rendering.samples.empty()) {
        return std::nullopt;
    }
    return std::pair{std::move(rendering.samples), rate};
}

/// A buffer holding `pcm` as 16-bit mono at `rate` Hz; null when it cannot be made.
std::shared_ptr<PCMBuffer> pcmBuffer(const std::vector<std::int16_t>& pcm, int rate) {
    const auto format = AudioFormat::make(CommonFormat::pcmFormatInt16, rate, 1, true);
    const auto frames = static_cast<std::uint32_t>(pcm.size());
    auto buffer = format ? PCMBuffer::make(*format, frames) : nullptr;
    if (buffer) {
        std::copy(pcm.begin(), pcm.end(), buffer->int16ChannelData()[0]);
        buffer->setFrameLength(frames);
    }
    return buffer;
}

/// Everything `converter` makes of `input` followed by the end of the stream.
std::optional<std::vector<float>> convertAll(AudioConverter& converter, const PCMBuffer& input,
                                             PCMBuffer& output) {
    bool handedOver = false;
    auto block = [&](std::uint32_t, AudioConverterInputStatus& status) -> const PCMBuffer* {
        status = handedOver ? AudioConverterInputStatus::endOfStream
                            : AudioConverterInputStatus::haveData;
        return std::exchange(handedOver, true) ? nullptr : &input;
    };
    std::vector<float> samples;
    AudioConverterOutputStatus status = AudioConverterOutputStatus::haveData;
    while (status != AudioConverterOutputStatus::endOfStream) {
        status = converter.convert(output, block);
        if (status == AudioConverterOutputStatus::error) {
            return std::nullopt;
        }
        const float* converted = output.floatChannelData()[0];
        samples.insert(samples.end(), converted, converted + output.frameLength());
    }
    return samples;
}

/// 16-bit mono at `rate` Hz to 48 kHz mono float, including the resampler's tail.
std::optional<std::vector<float>> toOutputRate(const std::vector<std::int16_t>& pcm, int rate) {
    const auto to =
        AudioFormat::make(CommonFormat::pcmFormatFloat32, OutputSound::kSampleRate, 1, true);
    const auto input = pcmBuffer(pcm, rate);
    auto converter = input && to ? AudioConverter::make(input->format(), *to) : nullptr;
    auto output = to ? PCMBuffer::make(*to, 4096) : nullptr;
    if (!converter || !output) {
        return std::nullopt;
    }
    return convertAll(*converter, *input, *output);
}

}  // namespace

/// One utterance's state, shared by the synthesizer and its rendering thread.
struct SpeechSynthesizer::Utterance {
    std::atomic<bool> cancelled{false};
    std::atomic<bool> rendering{true};
    std::mutex mutex;  // guards playback
    std::shared_ptr<SystemOutputPlayback> playback;
};

SpeechSynthesizer::SpeechSynthesizer() = default;

SpeechSynthesizer::~SpeechSynthesizer() {
    stop();
    std::lock_guard lock(mutex_);
    if (worker_.joinable()) {
        worker_.join();
    }
}

std::optional<std::vector<float>> SpeechSynthesizer::render(const std::string& text) {
    const auto pcm = renderPCM(text, nullptr);
    return pcm ? toOutputRate(pcm->first, pcm->second) : std::nullopt;
}

void SpeechSynthesizer::speak(std::string text) {
    std::lock_guard lock(mutex_);
    finishPrevious();
    current_ = std::make_shared<Utterance>();
    worker_ = std::thread([utterance = current_, text = std::move(text)] { run(utterance, text); });
}

void SpeechSynthesizer::cancelCurrent() {
    if (current_) {
        current_->cancelled.store(true, std::memory_order_release);
        std::lock_guard playing(current_->mutex);
        if (current_->playback) {
            current_->playback->stop();
        }
    }
}

void SpeechSynthesizer::finishPrevious() {
    cancelCurrent();
    if (worker_.joinable()) {
        worker_.join();
    }
}

void SpeechSynthesizer::run(const std::shared_ptr<Utterance>& utterance, const std::string& text) {
    const auto pcm = renderPCM(text, &utterance->cancelled);
    auto samples = pcm ? toOutputRate(pcm->first, pcm->second) : std::nullopt;
    std::shared_ptr<SystemOutputPlayback> playback;
    const bool playing =
        samples && playOnSystemOutput({std::move(*samples), 1}, playback) == 0 && playback;
    std::lock_guard lock(utterance->mutex);
    if (playing && utterance->cancelled.load(std::memory_order_acquire)) {
        playback->stop();
    }
    utterance->playback = playing ? playback : nullptr;
    utterance->rendering.store(false, std::memory_order_release);
}

bool SpeechSynthesizer::isSpeaking() const {
    std::lock_guard lock(mutex_);
    if (!current_ || current_->cancelled.load(std::memory_order_acquire)) {
        return false;
    }
    if (current_->rendering.load(std::memory_order_acquire)) {
        return true;
    }
    std::lock_guard playing(current_->mutex);
    return current_->playback && current_->playback->isPlaying();
}

void SpeechSynthesizer::stop() {
    std::lock_guard lock(mutex_);
    cancelCurrent();
}

}  // namespace platform
