// Playback streams into the default sink.
#include "PulseSystemOutput.h"

#include <atomic>
#include <cstring>

#include "platform/AudioHardware.h"

namespace platform {

/// One sound's playback stream.
class PulsePlayback final : public SystemOutputPlayback {
  public:
    PulsePlayback(std::shared_ptr<PulseConnection> connection, OutputSound sound)
        : connection_(std::move(connection)), sound_(std::move(sound)) {}
    ~PulsePlayback() override { stop(); }

    /// Connects the stream and waits (bounded) until the server takes it.
    bool start();
    bool isPlaying() const noexcept override { return playing_.load(std::memory_order_acquire); }
    void stop() noexcept override;

  private:
    void feed(std::size_t bytes);
    void finish() noexcept { playing_.store(false, std::memory_order_release); }
    static void stateChanged(pa_stream* stream, void* self) noexcept;
    static void writable(pa_stream*, std::size_t bytes, void* self) noexcept;
    static void drained(pa_stream*, int, void* self) noexcept;

    const std::shared_ptr<PulseConnection> connection_;
    const OutputSound sound_;
    pa_stream* stream_ = nullptr;    // under the mainloop lock
    pa_operation* drain_ = nullptr;  // under the mainloop lock
    std::size_t written_ = 0;        // bytes handed over (mainloop thread)
    PulseSignal settled_;            // ready or ended
    std::atomic<bool> playing_{true};
    std::atomic<bool> ready_{false};
};

bool PulsePlayback::start() {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, static_cast<std::uint32_t>(sound_.kSampleRate),
                              static_cast<std::uint8_t>(sound_.channels)};
    {
        PulseLock lock(connection_->mainloop());
        if (!connection_->isReady()) {
            return false;
        }
        stream_ = pa_stream_new(connection_->context(), "Corvessa sound", &spec, nullptr);
        if (stream_ == nullptr) {
            return false;
        }
        pa_stream_set_state_callback(stream_, &PulsePlayback::stateChanged, this);
        pa_stream_set_write_callback(stream_, &PulsePlayback::writable, this);
        if (pa_stream_connect_playback(stream_, nullptr, nullptr, PA_STREAM_NOFLAGS, nullptr,
                                       nullptr) < 0) {
            return false;
        }
    }
    settled_.waitFor(kPulseOperationTimeout);
    return ready_.load(std::memory_order_acquire) && isPlaying();
}

void PulsePlayback::stop() noexcept {
    finish();
    PulseLock lock(connection_->mainloop());
    if (stream_ == nullptr) {
        return;
    }
    if (drain_ != nullptr) {
        pa_operation_cancel(drain_);
        pa_operation_unref(drain_);
        drain_ = nullptr;
    }
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    if (pa_stream_get_state(stream_) == PA_STREAM_READY ||
        pa_stream_get_state(stream_) == PA_STREAM_CREATING) {
        pa_stream_disconnect(stream_);
    }
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

void PulsePlayback::stateChanged(pa_stream* stream, void* self) noexcept {
    auto& playback = *static_cast<PulsePlayback*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY) {
        playback.ready_.store(true, std::memory_order_release);
        playback.settled_.raise();
    } else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        playback.finish();
        playback.settled_.raise();
    }
}

void PulsePlayback::writable(pa_stream*, std::size_t bytes, void* self) noexcept {
    static_cast<PulsePlayback*>(self)->feed(bytes);
}

void PulsePlayback::feed(std::size_t bytes) {
    const std::size_t total = sound_.samples.size() * sizeof(float);
    const std::size_t count = std::min(bytes, total - written_);
    if (count > 0) {
        const auto* data = reinterpret_cast<const char*>(sound_.samples.data()) + written_;
        if (pa_stream_write(stream_, data, count, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            finish();
            return;
        }
        written_ += count;
    }
    if (written_ == total && drain_ == nullptr) {
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        drain_ = pa_stream_drain(stream_, &PulsePlayback::drained, this);
        if (drain_ == nullptr) {
            finish();
        }
    }
}

void PulsePlayback::drained(pa_stream*, int, void* self) noexcept {
    static_cast<PulsePlayback*>(self)->finish();
}

PulseSystemOutput::PulseSystemOutput(std::shared_ptr<PulseConnection> connection)
    : connection_(std::move(connection)) {}

PulseSystemOutput::~PulseSystemOutput() {
    std::lock_guard lock(mutex_);
    playing_.clear();
}

OSStatus PulseSystemOutput::play(OutputSound sound,
                                 std::shared_ptr<SystemOutputPlayback>& outPlayback) noexcept {
    if (sound.samples.empty() || (sound.channels != 1 && sound.channels != 2)) {
        return kAudio_ParamError;
    }
    try {
        // A trailing partial frame cannot be played; the server would refuse the whole write.
        sound.samples.resize(sound.samples.size() - sound.samples.size() % sound.channels);
        auto playback = std::make_shared<PulsePlayback>(connection_, std::move(sound));
        if (!playback->start()) {
            return kAudioHardwareUnspecifiedError;
        }
        std::lock_guard lock(mutex_);
        std::erase_if(playing_, [](const auto& item) { return !item->isPlaying(); });
        playing_.push_back(playback);
        outPlayback = std::move(playback);
        return kAudioHardwareNoError;
    } catch (...) {
        return kAudioHardwareUnspecifiedError;
    }
}

}  // namespace platform
