// The echo reference feed: tap buffers mixed down or converted to 48 kHz mono and pushed to the
// echo canceller with their host time.
#include "AmberlinAudioCore/EchoReferenceFeed.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <span>
#include <utility>

namespace amberlin {
namespace {

/// Frames added to every converter output buffer beyond the rate ratio: room for the few frames
/// a streaming resampler delivers late or early.
constexpr double kConverterSlackFrames = 64.0;

/// 32-bit float, 48 kHz, one channel: what the echo canceller takes.
platform::AudioFormat makeMonoFormat() {
    auto format = platform::AudioFormat::make(platform::CommonFormat::pcmFormatFloat32,
                                              AudioFrame::sampleRate, 1, false);
    if (!format) {
        std::fprintf(stderr, "EchoReferenceFeed: the 48 kHz mono format cannot be created\n");
        std::abort();
    }
    return *format;
}

/// Output capacity for `frames` input frames at `rate` Hz; none when it does not fit in 32 bits.
std::optional<std::uint32_t> outputCapacity(std::uint32_t frames, double rate) {
    const double converted =
        std::floor(static_cast<double>(frames) * AudioFrame::sampleRate / rate);
    const double capacity = converted + kConverterSlackFrames;
    if (!(capacity <= static_cast<double>(std::numeric_limits<std::uint32_t>::max()))) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(capacity);
}

}  // namespace

std::shared_ptr<EchoReferenceFeed> EchoReferenceFeed::make(
    std::weak_ptr<EchoCancellingProcessor> target) {
    return std::make_shared<EchoReferenceFeed>(Token{}, std::move(target));
}

EchoReferenceFeed::EchoReferenceFeed(Token, std::weak_ptr<EchoCancellingProcessor> target)
    : capture_(CoreAudioTapCapture::make()),
      target_(std::move(target)),
      monoFormat_(makeMonoFormat()) {}

void EchoReferenceFeed::start() {
    std::weak_ptr<EchoReferenceFeed> weak = weak_from_this();
    capture_->setOnTimedAudioBuffer(
        [weak](const std::shared_ptr<platform::PCMBuffer>& buffer, std::uint64_t hostTimeNanos) {
            if (const auto feed = weak.lock()) {
                feed->handle(*buffer, hostTimeNanos);
            }
        });
    capture_->start();
}

void EchoReferenceFeed::stop() {
    capture_->setOnTimedAudioBuffer({});
    capture_->stop();
}

void EchoReferenceFeed::handle(const platform::PCMBuffer& buffer, std::uint64_t hostTimeNanos) {
    const auto target = target_.lock();
    const std::uint32_t frames = buffer.frameLength();
    if (!target || frames == 0) {
        return;
    }
    if (!canMixDirectly(buffer)) {
        convertAndPush(*target, buffer, hostTimeNanos);
        return;
    }
    mixDown(buffer);
    target->pushReference(std::span<const float>(mono_.data(), frames), hostTimeNanos);
}

bool EchoReferenceFeed::canMixDirectly(const platform::PCMBuffer& buffer) const {
    const platform::AudioFormat& format = buffer.format();
    return format.sampleRate() == AudioFrame::sampleRate &&
           format.commonFormat() == platform::CommonFormat::pcmFormatFloat32 &&
           buffer.floatChannelData() != nullptr;
}

void EchoReferenceFeed::mixDown(const platform::PCMBuffer& buffer) {
    const std::size_t frames = buffer.frameLength();
    if (mono_.size() < frames) {
        mono_.resize(frames, 0.0f);
    }
    const std::uint32_t channels = buffer.format().channelCount();
    const float scale = channels < 2 ? 1.0f : 1.0f / static_cast<float>(channels);
    const std::size_t stride = buffer.stride();
    const float* const* data = buffer.floatChannelData();
    for (std::size_t i = 0; i < frames; ++i) {
        float sum = 0.0f;
        for (std::uint32_t k = 0; k < channels; ++k) {
            sum += data[k][i * stride];
        }
        mono_[i] = scale * sum;
    }
}

void EchoReferenceFeed::convertAndPush(EchoCancellingProcessor& target,
                                       const platform::PCMBuffer& buffer,
                                       std::uint64_t hostTimeNanos) {
    const auto capacity = outputCapacity(buffer.frameLength(), buffer.format().sampleRate());
    if (!ensureConverter(buffer.format()) || !capacity) {
        return;
    }
    const auto output = platform::PCMBuffer::make(monoFormat_, *capacity);
    if (!output) {
        return;
    }
    bool handedOver = false;
    auto input = [&](std::uint32_t,
                     platform::AudioConverterInputStatus& status) -> const platform::PCMBuffer* {
        status = handedOver ? platform::AudioConverterInputStatus::noDataNow
                            : platform::AudioConverterInputStatus::haveData;
        return std::exchange(handedOver, true) ? nullptr : &buffer;
    };
    if (converter_->convert(*output, input) == platform::AudioConverterOutputStatus::error) {
        return;
    }
    const float* const* converted = output->floatChannelData();
    if (converted != nullptr && output->frameLength() > 0) {
        target.pushReference(std::span<const float>(converted[0], output->frameLength()),
                             hostTimeNanos);
    }
}

bool EchoReferenceFeed::ensureConverter(const platform::AudioFormat& from) {
    if (!converter_ || converter_->inputFormat() != from) {
        converter_ = platform::AudioConverter::make(from, monoFormat_);
    }
    return converter_ != nullptr;
}

}  // namespace amberlin
