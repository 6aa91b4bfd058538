// Record stream: connection, reading, capture times.
#include "PulseRecordStream.h"

#include <cmath>

#include "platform/HostTime.h"

namespace platform {
namespace {

/// Host time now, in ns.
double nowNanos() noexcept {
    return static_cast<double>(AudioConvertHostTimeToNanos(AudioGetCurrentHostTime()));
}

/// Buffer metrics asking for `fragmentBytes`-sized fragments and leaving the rest to the server.
pa_buffer_attr recordAttributes(std::uint32_t fragmentBytes) noexcept {
    constexpr auto kServerChoice = static_cast<std::uint32_t>(-1);
    return {kServerChoice, kServerChoice, kServerChoice, kServerChoice, fragmentBytes};
}

}  // namespace

std::uint64_t PulseCaptureClock::place(double boundNanos, double nowNanos,
                                       std::uint32_t frames) noexcept {
    const double candidate = boundNanos - framesSoFar_ * nanosPerFrame_;
    if (!started_) {
        origin_ = candidate;
        started_ = true;
    } else {
        origin_ = std::min(candidate, origin_ + kDriftAllowance * frames * nanosPerFrame_);
        const double excess = candidate - origin_;
        if (excess <= kLossNanos) {
            excessSince_ = -1.0;
        } else if (excessSince_ < 0.0) {
            excessSince_ = nowNanos;
            smallestExcess_ = excess;
        } else {
            smallestExcess_ = std::min(smallestExcess_, excess);
            if (nowNanos - excessSince_ >= kLossWindowNanos) {
                origin_ += smallestExcess_;  // audio was lost: the timeline moves on with it
                excessSince_ = -1.0;
            }
        }
    }
    const double start = std::max(origin_ + framesSoFar_ * nanosPerFrame_, last_ + 1.0);
    last_ = start;
    framesSoFar_ += frames;
    return static_cast<std::uint64_t>(std::max(start, 0.0));
}

PulseRecordStream::PulseRecordStream(std::shared_ptr<PulseConnection> connection,
                                     const PulseRecordConfig& config, BlockHandler onBlock,
                                     EndHandler onEnd)
    : connection_(std::move(connection)),
      config_(config),
      onBlock_(std::move(onBlock)),
      onEnd_(std::move(onEnd)),
      clock_(config.rate) {}

std::unique_ptr<PulseRecordStream> PulseRecordStream::open(
    std::shared_ptr<PulseConnection> connection, const PulseRecordConfig& config,
    BlockHandler onBlock, EndHandler onEnd) {
    std::unique_ptr<PulseRecordStream> stream(
        new PulseRecordStream(std::move(connection), config, std::move(onBlock), std::move(onEnd)));
    return stream->connect() ? std::move(stream) : nullptr;
}

bool PulseRecordStream::connect() {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, config_.rate,
                              static_cast<std::uint8_t>(config_.channels)};
    if (!pa_sample_spec_valid(&spec)) {
        return false;
    }
    {
        PulseLock lock(connection_->mainloop());
        if (!connection_->isReady()) {
            return false;
        }
        stream_ = pa_stream_new(connection_->context(), config_.name.c_str(), &spec, nullptr);
        if (stream_ == nullptr) {
            return false;
        }
        pa_stream_set_state_callback(stream_, &PulseRecordStream::stateChanged, this);
        pa_stream_set_read_callback(stream_, &PulseRecordStream::readable, this);
        const pa_buffer_attr attributes =
            recordAttributes(config_.fragmentFrames * config_.channels * sizeof(float));
        // Never moved: a capture bound to a device ends with it, as a hardware unit's does.
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE);
        if (pa_stream_connect_record(stream_, config_.source.c_str(), &attributes, flags) < 0) {
            return false;
        }
    }
    settled_.waitFor(kPulseOperationTimeout);
    return ready_.load(std::memory_order_acquire) && !ended();
}

PulseRecordStream::~PulseRecordStream() {
    if (stream_ == nullptr) {
        return;
    }
    PulseLock lock(connection_->mainloop());
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    if (pa_stream_get_state(stream_) == PA_STREAM_READY ||
        pa_stream_get_state(stream_) == PA_STREAM_CREATING) {
        pa_stream_disconnect(stream_);
    }
    pa_stream_unref(stream_);
}

void PulseRecordStream::setFragmentFrames(std::uint32_t frames) {
    PulseLock lock(connection_->mainloop());
    if (ended() || pa_stream_get_state(stream_) != PA_STREAM_READY) {
        return;
    }
    const pa_buffer_attr attributes = recordAttributes(frames * config_.channels * sizeof(float));
    if (pa_operation* operation =
            pa_stream_set_buffer_attr(stream_, &attributes, nullptr, nullptr)) {
        pa_operation_unref(operation);
    }
}

void PulseRecordStream::stateChanged(pa_stream* stream, void* self) noexcept {
    auto& record = *static_cast<PulseRecordStream*>(self);
    switch (pa_stream_get_state(stream)) {
        case PA_STREAM_READY:
            record.ready_.store(true, std::memory_order_release);
            record.settled_.raise();
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            if (!record.ended_.exchange(true, std::memory_order_acq_rel) && record.onEnd_) {
                record.onEnd_();
            }
            record.settled_.raise();
            break;
        default:
            break;
    }
}

void PulseRecordStream::readable(pa_stream*, std::size_t, void* self) noexcept {
    static_cast<PulseRecordStream*>(self)->readAvailable();
}

double PulseRecordStream::measuredStart(double now) const {
    // Everything waiting in our buffer, this block included, arrived by now; the newest frame had
    // spent the source's own latency in the source before it was sent.
    const double waiting = static_cast<double>(pa_stream_readable_size(stream_)) /
                           (config_.channels * sizeof(float)) * 1e9 / config_.rate;
    const pa_timing_info* timing = pa_stream_get_timing_info(stream_);
    const double sourceLatency = timing != nullptr ? timing->source_usec * 1e3 : 0.0;
    return now - waiting - sourceLatency;
}

void PulseRecordStream::readAvailable() {
    const std::size_t frameBytes = config_.channels * sizeof(float);
    while (pa_stream_readable_size(stream_) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream_, &data, &bytes) < 0 || bytes == 0) {
            return;
        }
        const auto frames = static_cast<std::uint32_t>(bytes / frameBytes);
        if (frames > 0) {
            // Measured before the drop, while the buffer still holds this block.
            const double now = nowNanos();
            const std::uint64_t start = clock_.place(measuredStart(now), now, frames);
            try {
                onBlock_(static_cast<const float*>(data), frames, start);
            } catch (...) {
                // A block the handler cannot take (out of memory) is lost, as an overrun would be.
            }
        }
        pa_stream_drop(stream_);
    }
}

}  // namespace platform
