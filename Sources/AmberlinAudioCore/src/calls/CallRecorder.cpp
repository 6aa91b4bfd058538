// The call recorder: converts local frames and far-end buffers to 16 kHz mono and writes them on
// its queue; builds the mixed preview at stop.
#include "AmberlinAudioCore/CallRecorder.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "CallPreviewMixer.h"
#include "QueueSync.h"

namespace amberlin {
namespace {

using platform::AudioConverter;
using platform::AudioConverterInputStatus;
using platform::AudioConverterOutputStatus;
using platform::AudioFormat;
using platform::CommonFormat;
using platform::PCMBuffer;

// Planar 32-bit float mono at `rate` Hz; the rates used here are always valid.
AudioFormat monoFloatFormat(double rate) {
    return *AudioFormat::make(CommonFormat::pcmFormatFloat32, rate, 1, false);
}

// Runs `converter` once over `input`: the buffer on the first request, then `afterwards`.
AudioConverterOutputStatus convertOnce(AudioConverter& converter, const PCMBuffer& input,
                                       PCMBuffer& output, AudioConverterInputStatus afterwards) {
    bool handedOver = false;
    return converter.convert(
        output, [&](std::uint32_t, AudioConverterInputStatus& status) -> const PCMBuffer* {
            if (handedOver) {
                status = afterwards;
                return nullptr;
            }
            handedOver = true;
            status = AudioConverterInputStatus::haveData;
            return &input;
        });
}

// Output capacity for `frames` frames at `rate` Hz converted to the storage rate.
std::uint32_t remoteOutputCapacity(double rate, std::uint32_t frames) {
    const double exact = CallRecorder::storageSampleRate / rate * static_cast<double>(frames);
    return static_cast<std::uint32_t>(std::ceil(exact)) + 16;
}

}  // namespace

CallRecorderError CallRecorderError::missingAudioPath(AudioTrackRole role) noexcept {
    return CallRecorderError(role);
}

const char* CallRecorderError::what() const noexcept {
    return "missingAudioPath";
}

platform::AudioFileSettings CallRecorder::fileSettings() noexcept {
    platform::AudioFileSettings settings;
    settings.formatID = kAudioFormatLinearPCM;
    settings.sampleRate = storageSampleRate;
    settings.channelCount = 1;
    settings.bitDepth = 16;
    settings.isFloat = false;
    settings.isBigEndian = false;
    settings.isNonInterleaved = false;
    return settings;
}

CallRecorder::CallRecorder()
    : format_(monoFloatFormat(storageSampleRate)),
      captureFrameFormat_(monoFloatFormat(AudioFrame::sampleRate)),
      fileSettings_(fileSettings()),
      localInput_(PCMBuffer::make(captureFrameFormat_, AudioFrame::frameLength)),
      localOutput_(PCMBuffer::make(format_, localOutputCapacity)) {}

CallRecorder::~CallRecorder() = default;

void CallRecorder::start(const CallSession& session) {
    syncOnQueue(queue_, [&] {
        isRecording_ = false;
        closeAndForget();
        openTracks(session);
        isRecording_ = true;
        remoteWriteFailed_ = false;
    });
}

// Drops both writers (completing their headers) and forgets the tracks and the converter.
void CallRecorder::closeAndForget() noexcept {
    localFile_.reset();
    remoteFile_.reset();
    localURL_.reset();
    remoteURL_.reset();
    mixedURL_.reset();
    localConverter_.reset();
}

// Checks the session's paths and creates the local and (when named) far-end track files.
void CallRecorder::openTracks(const CallSession& session) {
    if (!session.localMicAudioPath) {
        throw CallRecorderError::missingAudioPath(AudioTrackRole::localMic);
    }
    if (!session.mixedPreviewAudioPath) {
        throw CallRecorderError::missingAudioPath(AudioTrackRole::mixedPreview);
    }
    localURL_ = *session.localMicAudioPath;
    mixedURL_ = *session.mixedPreviewAudioPath;
    localFile_ = platform::AudioFile::forWriting(*localURL_, fileSettings_);
    if (session.remoteSystemAudioPath) {
        remoteURL_ = *session.remoteSystemAudioPath;
        remoteFile_ = platform::AudioFile::forWriting(*remoteURL_, fileSettings_);
    }
}

void CallRecorder::recordLocalFrame(const AudioFrame& frame) {
    queue_.async([weak = weak_from_this(), frame] {
        if (const auto self = weak.lock()) {
            self->writeLocalFrame(frame);
        }
    });
}

// Converts and appends one local frame; a failed write ends the recording's data.
void CallRecorder::writeLocalFrame(const AudioFrame& frame) {
    if (!isRecording_ || !convertLocalFrame(frame) || localFile_ == nullptr) {
        return;
    }
    try {
        localFile_->write(*localOutput_);
    } catch (const platform::AudioFileError&) {
        isRecording_ = false;
    }
}

// Converts the frame into localOutput_ with the recording's converter, which keeps its filter
// state across frames (the input block answers "no data now" after handing the frame over).
bool CallRecorder::convertLocalFrame(const AudioFrame& frame) {
    if (localInput_ == nullptr || localOutput_ == nullptr) {
        return false;
    }
    std::copy(frame.samples.begin(), frame.samples.end(), localInput_->floatChannelData()[0]);
    localInput_->setFrameLength(AudioFrame::frameLength);
    if (localConverter_ == nullptr) {
        localConverter_ = AudioConverter::make(captureFrameFormat_, format_);
        if (localConverter_ == nullptr) {
            return false;
        }
    }
    return convertOnce(*localConverter_, *localInput_, *localOutput_,
                       AudioConverterInputStatus::noDataNow) != AudioConverterOutputStatus::error;
}

void CallRecorder::recordRemoteBuffer(const std::shared_ptr<const PCMBuffer>& buffer) {
    queue_.async([weak = weak_from_this(), converted = convertRemote(buffer)] {
        if (const auto self = weak.lock()) {
            self->writeRemoteBuffer(converted);
        }
    });
}

// The buffer in the storage format: itself when it already is, else converted as one whole
// stream by a fresh converter; null when it cannot be converted.
std::shared_ptr<const PCMBuffer> CallRecorder::convertRemote(
    const std::shared_ptr<const PCMBuffer>& buffer) const {
    if (buffer == nullptr || buffer->format() == format_) {
        return buffer;
    }
    const auto converter = AudioConverter::make(buffer->format(), format_);
    const auto output = PCMBuffer::make(
        format_, remoteOutputCapacity(buffer->format().sampleRate(), buffer->frameLength()));
    if (converter == nullptr || output == nullptr ||
        convertOnce(*converter, *buffer, *output, AudioConverterInputStatus::endOfStream) ==
            AudioConverterOutputStatus::error) {
        return nullptr;
    }
    return output;
}

// Appends a converted far-end buffer; a missing conversion or a failed write marks the far end
// as lost, after which the far-end track takes nothing more.
void CallRecorder::writeRemoteBuffer(const std::shared_ptr<const PCMBuffer>& converted) {
    if (converted == nullptr) {
        remoteWriteFailed_ = true;
        return;
    }
    if (!isRecording_ || remoteWriteFailed_ || remoteFile_ == nullptr) {
        return;
    }
    try {
        remoteFile_->write(*converted);
    } catch (const platform::AudioFileError&) {
        remoteWriteFailed_ = true;
    }
}

void CallRecorder::stop() {
    queue_.sync([this] {
        isRecording_ = false;
        localFile_.reset();
        remoteFile_.reset();
        if (localURL_ && mixedURL_) {
            try {
                buildCallPreview({*localURL_, remoteURL_, *mixedURL_, fileSettings_});
            } catch (const std::exception&) {
                // The preview stays missing or incomplete; the tracks themselves are complete.
            }
        }
        closeAndForget();
    });
}

bool CallRecorder::didLoseRemoteAudio() {
    bool lost = false;
    queue_.sync([&] { lost = remoteWriteFailed_; });
    return lost;
}

}  // namespace amberlin
