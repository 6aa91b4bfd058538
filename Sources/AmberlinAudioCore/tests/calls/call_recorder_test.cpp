// Tests of the call recorder: stored WAV format, conversion of local frames and far-end buffers,
// the mixed preview (mix, padding, clamp, copy rule), and behaviour after write failures.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <vector>

#include "AmberlinAudioCore/CallRecorder.h"
#include "platform/AudioFile.h"
#include "platform/testing/SignalMeasures.h"
#include "platform/testing/TemporaryFolder.h"

namespace {

using namespace amberlin;
using corvessa::testing::rmsOf;
using platform::AudioFile;
using platform::AudioFormat;
using platform::CommonFormat;
using platform::PCMBuffer;
namespace fs = std::filesystem;

// One 16-bit step at full scale 32768.
constexpr float kLsb = 1.0f / 32768.0f;

// A stored track read back whole, with the format libsndfile reports.
struct Track {
    platform::AudioFileSettings settings;
    std::vector<float> samples;
};

Track readTrack(const fs::path& path) {
    const auto file = AudioFile::forReading(path);
    Track track{file->fileSettings(), {}};
    const auto buffer = PCMBuffer::make(file->processingFormat(), 4096);
    for (file->read(*buffer); buffer->frameLength() > 0; file->read(*buffer)) {
        const float* samples = buffer->floatChannelData()[0];
        track.samples.insert(track.samples.end(), samples, samples + buffer->frameLength());
    }
    return track;
}

std::vector<char> fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A 48 kHz far-end buffer: stereo interleaved float, both channels `value(frame)`.
template <class Value>
std::shared_ptr<const PCMBuffer> farEndBuffer(std::uint32_t frames, std::uint64_t firstFrame,
                                              Value value) {
    const auto format = *AudioFormat::make(CommonFormat::pcmFormatFloat32, 48000.0, 2, true);
    auto buffer = PCMBuffer::make(format, frames);
    float* samples = buffer->floatChannelData()[0];
    for (std::uint32_t i = 0; i < frames; ++i) {
        samples[2 * i] = samples[2 * i + 1] = value(firstFrame + i);
    }
    buffer->setFrameLength(frames);
    return buffer;
}

// A 1 kHz sine at `amplitude`, as a function of the 48 kHz frame index.
auto sine(float amplitude) {
    return [amplitude](std::uint64_t n) {
        return amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * 1000.0 *
                                                       static_cast<double>(n) / 48000.0));
    };
}
auto constant(float value) {
    return [value](std::uint64_t) { return value; };
}

// Each test records into its own directory.
class CallRecorderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = folder_.path();
        recorder_ = std::make_shared<CallRecorder>();
    }
    void TearDown() override { recorder_.reset(); }

    // A session whose tracks live in `dir_`; without a far-end path when `withRemote` is false.
    CallSession session(bool withRemote = true) const {
        CallSession s;
        s.id = Uuid::random();
        s.title = "test";
        s.localMicAudioPath = (dir_ / "local-mic.wav").string();
        if (withRemote) {
            s.remoteSystemAudioPath = (dir_ / "remote-system.wav").string();
        }
        s.mixedPreviewAudioPath = (dir_ / "mixed-preview.wav").string();
        return s;
    }
    // Queues `seconds` of local frames whose samples are `value(n)` at 48 kHz.
    template <class Value>
    void recordLocal(double seconds, Value value) {
        const auto frames = static_cast<std::uint64_t>(seconds * 100.0);
        for (std::uint64_t f = 0; f < frames; ++f) {
            AudioFrame frame;
            for (std::size_t i = 0; i < frame.samples.size(); ++i) {
                frame.samples[i] = value(f * 480 + i);
            }
            recorder_->recordLocalFrame(frame);
        }
    }
    // Delivers `seconds` of far-end audio in 100 ms buffers.
    template <class Value>
    void recordRemote(double seconds, Value value) {
        const auto buffers = static_cast<std::uint64_t>(seconds * 10.0);
        for (std::uint64_t b = 0; b < buffers; ++b) {
            recorder_->recordRemoteBuffer(farEndBuffer(4800, b * 4800, value));
        }
    }
    fs::path local() const { return dir_ / "local-mic.wav"; }
    fs::path remote() const { return dir_ / "remote-system.wav"; }
    fs::path mixed() const { return dir_ / "mixed-preview.wav"; }

    corvessa::testing::TemporaryFolder folder_{"call-recorder"};
    fs::path dir_;
    std::shared_ptr<CallRecorder> recorder_;
};

TEST_F(CallRecorderTest, TracksAreSixteenKilohertzMonoSixteenBitWithTheirDurations) {
    // One second of 48 kHz frames and one of 48 kHz stereo far end become 16 kHz mono 16-bit
    // WAV tracks of about one second that keep the signal's level.
    recorder_->start(session());
    recordLocal(1.0, sine(0.5f));
    recordRemote(1.0, sine(0.25f));
    recorder_->stop();
    for (const fs::path& path : {local(), remote(), mixed()}) {
        const Track track = readTrack(path);
        SCOPED_TRACE(path.filename().string());
        EXPECT_EQ(track.settings.sampleRate, 16000.0);
        EXPECT_EQ(track.settings.channelCount, 1u);
        EXPECT_EQ(track.settings.bitDepth, 16u);
        EXPECT_FALSE(track.settings.isFloat);
        EXPECT_FALSE(track.settings.isBigEndian);
    }
    const Track near = readTrack(local()), far = readTrack(remote());
    // The local converter keeps its state, so only its delay (12.5 ms here) is missing.
    EXPECT_GE(near.samples.size(), 16000u - 320u);
    EXPECT_LE(near.samples.size(), 16000u);
    EXPECT_NEAR(far.samples.size(), 16000.0, 10.0);
    EXPECT_NEAR(rmsOf(near.samples, 1600, 14400), 0.5 / std::sqrt(2.0), 0.01);
    EXPECT_NEAR(rmsOf(far.samples, 1600, 14400), 0.25 / std::sqrt(2.0), 0.01);
}

TEST_F(CallRecorderTest, PreviewPadsTheShorterTrackAndMixesAtPointEight) {
    // 2 s local and 3 s far end give a 3 s preview: 0.8 x (local + far) while both run, and
    // the far end alone at 0.8 in the last second.
    recorder_->start(session());
    recordLocal(2.0, sine(0.3f));
    recordRemote(3.0, [](std::uint64_t n) { return 0.4f * sine(1.0f)(n * 3 / 2); });
    recorder_->stop();
    const Track near = readTrack(local()), far = readTrack(remote()), mix = readTrack(mixed());
    ASSERT_EQ(mix.samples.size(), std::max(near.samples.size(), far.samples.size()));
    EXPECT_NEAR(mix.samples.size(), 48000.0, 10.0);
    for (std::size_t i = 0; i < mix.samples.size(); ++i) {
        const float l = i < near.samples.size() ? near.samples[i] : 0.0f;
        const float expected = 0.8f * far.samples[i] + 0.8f * l;
        ASSERT_NEAR(mix.samples[i], expected, 2 * kLsb) << "frame " << i;
    }
    EXPECT_NEAR(rmsOf(mix.samples, 33000, 47000), 0.8 * 0.4 / std::sqrt(2.0), 0.01);
}

TEST_F(CallRecorderTest, FullScaleTracksClampAtPointNineEight) {
    // Two full-scale tracks would sum to 1.6; the preview holds +-0.98 instead.
    for (const float level : {1.0f, -1.0f}) {
        SCOPED_TRACE(level);
        recorder_->start(session());
        recordLocal(1.0, constant(level));
        recordRemote(1.0, constant(level));
        recorder_->stop();
        const Track mix = readTrack(mixed());
        ASSERT_GT(mix.samples.size(), 15000u);
        for (const float sample : mix.samples) {
            ASSERT_LE(std::abs(sample), 0.98f + kLsb);
        }
        // Mid-buffer: each far-end buffer is converted on its own, so its edges ramp from silence.
        EXPECT_NEAR(mix.samples[8800], std::copysign(0.98f, level), kLsb);
    }
}

TEST_F(CallRecorderTest, PreviewIsAByteCopyWithoutFarEndAudio) {
    // No far-end path, or a far-end track holding nothing but its header, gives a copy of the
    // local track.
    for (const bool withRemote : {false, true}) {
        SCOPED_TRACE(withRemote);
        fs::remove(mixed());
        recorder_->start(session(withRemote));
        recordLocal(0.5, sine(0.5f));
        recorder_->stop();
        EXPECT_EQ(fs::exists(remote()), withRemote);
        if (withRemote) {
            EXPECT_LE(fs::file_size(remote()), 44u);
        }
        EXPECT_EQ(fileBytes(mixed()), fileBytes(local()));
        fs::remove(remote());
    }
}

TEST_F(CallRecorderTest, LostFarEndStopsItsTrackAndIsReportedUntilTheNextStart) {
    // A far-end buffer that cannot be converted marks the far end lost; later buffers are not
    // written, the mark survives stop and a new start clears it.
    recorder_->start(session());
    EXPECT_FALSE(recorder_->didLoseRemoteAudio());
    recordRemote(0.5, sine(0.5f));
    recorder_->recordRemoteBuffer(nullptr);
    recordRemote(0.5, sine(0.5f));
    EXPECT_TRUE(recorder_->didLoseRemoteAudio());
    recorder_->stop();
    EXPECT_TRUE(recorder_->didLoseRemoteAudio());
    EXPECT_NEAR(readTrack(remote()).samples.size(), 8000.0, 5.0);
    recorder_->start(session());
    EXPECT_FALSE(recorder_->didLoseRemoteAudio());
    recorder_->stop();
}

TEST_F(CallRecorderTest, FramesOutsideARecordingAreDropped) {
    // Frames after stop change nothing on disk.
    recorder_->start(session(false));
    recordLocal(0.2, sine(0.5f));
    recorder_->stop();
    const auto before = fileBytes(local());
    recordLocal(0.2, sine(0.5f));
    recorder_->didLoseRemoteAudio();  // waits until the queued frames have been handled
    EXPECT_EQ(fileBytes(local()), before);
}

TEST_F(CallRecorderTest, StartFailuresNameTheMissingTrackAndRecordNothing) {
    // A session without a local or preview path is refused by role; an uncreatable far-end file
    // is the file error, and frames queued afterwards are not written.
    CallSession noLocal = session();
    noLocal.localMicAudioPath.reset();
    EXPECT_THROW(
        try { recorder_->start(noLocal); } catch (const CallRecorderError& error) {
            EXPECT_EQ(error, CallRecorderError::missingAudioPath(AudioTrackRole::localMic));
            throw;
        },
        CallRecorderError);
    CallSession noMixed = session();
    noMixed.mixedPreviewAudioPath.reset();
    EXPECT_THROW(
        try { recorder_->start(noMixed); } catch (const CallRecorderError& error) {
            EXPECT_EQ(error, CallRecorderError::missingAudioPath(AudioTrackRole::mixedPreview));
            throw;
        },
        CallRecorderError);

    CallSession badRemote = session();
    badRemote.remoteSystemAudioPath = (dir_ / "missing" / "remote.wav").string();
    EXPECT_THROW(recorder_->start(badRemote), platform::AudioFileError);
    recordLocal(0.2, sine(0.5f));
    recorder_->stop();
    EXPECT_EQ(readTrack(local()).samples.size(), 0u);
}

TEST_F(CallRecorderTest, LocalWriteFailureStopsTheRecordingAndKeepsWhatWasWritten) {
    // In a child limited to 40 000-byte files, the local track fills up after about 1.2 s; the
    // failed write stops the recording, so frames sent after the limit is lifted are dropped,
    // and the track keeps a valid header and everything written before the failure.
    constexpr rlim_t kLimit = 40000;
    recorder_.reset();  // no worker thread may exist when forking
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        auto recorder = std::make_shared<CallRecorder>();
        recorder->start(session(false));
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit original = limit;
        limit.rlim_cur = kLimit;
        ::setrlimit(RLIMIT_FSIZE, &limit);
        for (int f = 0; f < 200; ++f) {
            recorder->recordLocalFrame(AudioFrame{});
        }
        recorder->didLoseRemoteAudio();
        ::setrlimit(RLIMIT_FSIZE, &original);
        for (int f = 0; f < 200; ++f) {
            recorder->recordLocalFrame(AudioFrame{});
        }
        recorder->stop();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const Track track = readTrack(local());
    EXPECT_LE(fs::file_size(local()), kLimit);
    EXPECT_GT(track.samples.size(), (kLimit - 4096) / 2 - 160);
    EXPECT_LE(track.samples.size(), kLimit / 2);
    EXPECT_EQ(fileBytes(mixed()), fileBytes(local()));
}

}  // namespace
