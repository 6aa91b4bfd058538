// WAV tracks written from float buffers read back with their format, length and samples
// (within 1/32768); out-of-range samples clip; a write that runs out of room is reported and
// leaves a valid file holding what reached the disk.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <limits>
#include <vector>

#include "platform/AudioFile.h"

namespace {

namespace fs = std::filesystem;
using platform::AudioFile;
using platform::AudioFileError;
using platform::AudioFileSettings;
using platform::AudioFormat;
using platform::CommonFormat;
using platform::PCMBuffer;

/// The track format: 16 kHz, mono, 16-bit signed integer, little-endian, interleaved.
const AudioFileSettings kTrack{};

class AudioFileTest : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("corvessa-audiofile-" + std::to_string(::getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    /// A 16 kHz mono float buffer holding `samples`.
    static std::shared_ptr<PCMBuffer> monoBuffer(const std::vector<float>& samples) {
        const AudioFormat format =
            *AudioFormat::make(CommonFormat::pcmFormatFloat32, 16000, 1, false);
        auto buffer = PCMBuffer::make(format, static_cast<std::uint32_t>(samples.size()));
        std::copy(samples.begin(), samples.end(), buffer->floatChannelData()[0]);
        buffer->setFrameLength(static_cast<std::uint32_t>(samples.size()));
        return buffer;
    }

    /// Every sample of the file at `path`, read in blocks of `block` frames.
    static std::vector<float> readAll(const fs::path& path, std::uint32_t block = 4096) {
        auto file = AudioFile::forReading(path);
        auto buffer = PCMBuffer::make(file->processingFormat(), block);
        std::vector<float> samples;
        do {
            file->read(*buffer);
            samples.insert(samples.end(), buffer->floatChannelData()[0],
                           buffer->floatChannelData()[0] + buffer->frameLength());
        } while (buffer->frameLength() > 0);
        return samples;
    }

    fs::path dir_;
};

TEST_F(AudioFileTest, TrackRoundTripKeepsFormatLengthAndSamples) {
    std::vector<float> samples(16000 + 123);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<float>(0.9 * std::sin(static_cast<double>(i) * 0.01) *
                                        std::cos(static_cast<double>(i) * 0.0007));
    }
    samples[0] = -1.0f;
    samples[1] = 0.5f;
    samples[2] = 1.0f / 65536.0f;
    const fs::path path = dir_ / "local.wav";
    {
        auto file = AudioFile::forWriting(path, kTrack);
        // Uneven pieces cross the 4096-frame staging blocks.
        for (std::size_t start = 0; start < samples.size(); start += 5000) {
            const std::size_t end = std::min(samples.size(), start + 5000);
            file->write(*monoBuffer({samples.begin() + static_cast<std::ptrdiff_t>(start),
                                     samples.begin() + static_cast<std::ptrdiff_t>(end)}));
        }
        EXPECT_EQ(file->length(), static_cast<std::int64_t>(samples.size()));
    }
    EXPECT_EQ(fs::file_size(path), 44 + 2 * samples.size());  // bare 44-byte header
    auto file = AudioFile::forReading(path);
    EXPECT_EQ(file->fileSettings(), kTrack);
    EXPECT_EQ(file->length(), static_cast<std::int64_t>(samples.size()));
    EXPECT_EQ(file->processingFormat(),
              *AudioFormat::make(CommonFormat::pcmFormatFloat32, 16000, 1, false));
    const std::vector<float> back = readAll(path, 1000);
    ASSERT_EQ(back.size(), samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
        ASSERT_NEAR(back[i], samples[i], 1.0 / 32768.0) << i;
    }
    EXPECT_EQ(back[0], -1.0f);
    EXPECT_EQ(back[1], 0.5f);
}

TEST_F(AudioFileTest, OutOfRangeSamplesClipAndNaNIsWrittenAsSilence) {
    const float inf = std::numeric_limits<float>::infinity();
    const fs::path path = dir_ / "clip.wav";
    AudioFile::forWriting(path, kTrack)->write(*monoBuffer({1.5f, -1.5f, NAN, inf, -inf, 1.0f}));
    const std::vector<float> back = readAll(path);
    const float top = 32767.0f / 32768.0f;
    EXPECT_EQ(back, (std::vector<float>{top, -1.0f, 0.0f, top, -1.0f, top}));
}

TEST_F(AudioFileTest, ReadsPastTheEndDeliverNothingWithoutError) {
    const fs::path path = dir_ / "short.wav";
    AudioFile::forWriting(path, kTrack)->write(*monoBuffer(std::vector<float>(100, 0.25f)));
    auto file = AudioFile::forReading(path);
    auto buffer = PCMBuffer::make(file->processingFormat(), 4096);
    file->read(*buffer, 60);
    EXPECT_EQ(buffer->frameLength(), 60u);
    file->read(*buffer);
    EXPECT_EQ(buffer->frameLength(), 40u);
    EXPECT_EQ(buffer->floatChannelData()[0][39], 0.25f);
    file->read(*buffer);
    EXPECT_EQ(buffer->frameLength(), 0u);
    EXPECT_EQ(file->framePosition(), 100);
}

TEST_F(AudioFileTest, CreatingReplacesAnExistingFileAndEmptyTracksAreBareHeaders) {
    const fs::path path = dir_ / "again.wav";
    AudioFile::forWriting(path, kTrack)->write(*monoBuffer(std::vector<float>(1000, 0.1f)));
    { auto empty = AudioFile::forWriting(path, kTrack); }
    EXPECT_EQ(fs::file_size(path), 44u);
    EXPECT_EQ(AudioFile::forReading(path)->length(), 0);
}

TEST_F(AudioFileTest, ReportsBadSettingsMissingFilesAndMismatchedBuffers) {
    auto code = [](auto&& action) {
        try {
            action();
        } catch (const AudioFileError& error) {
            return error.code();
        }
        ADD_FAILURE() << "no AudioFileError";
        return AudioFileError::Code::openFailed;
    };
    AudioFileSettings bits24 = kTrack;
    bits24.bitDepth = 24;
    AudioFileSettings bigEndian = kTrack;
    bigEndian.isBigEndian = true;
    for (const AudioFileSettings& settings : {bits24, bigEndian}) {
        EXPECT_EQ(code([&] { AudioFile::forWriting(dir_ / "x.wav", settings); }),
                  AudioFileError::Code::unsupportedSettings);
    }
    EXPECT_EQ(code([&] { AudioFile::forWriting(dir_ / "no" / "x.wav", kTrack); }),
              AudioFileError::Code::openFailed);
    EXPECT_EQ(code([&] { AudioFile::forReading(dir_ / "missing.wav"); }),
              AudioFileError::Code::openFailed);
    auto file = AudioFile::forWriting(dir_ / "y.wav", kTrack);
    auto at48k =
        PCMBuffer::make(*AudioFormat::make(CommonFormat::pcmFormatFloat32, 48000, 1, false), 480);
    EXPECT_EQ(code([&] { file->write(*at48k); }), AudioFileError::Code::formatMismatch);
    EXPECT_EQ(code([&] { file->read(*monoBuffer({0.0f})); }), AudioFileError::Code::readFailed);
    EXPECT_STREQ(AudioFileError(AudioFileError::Code::writeFailed, 0).what(), "writeFailed");
}

// Child exit codes of the full-disk test.
constexpr int kChildReported = 0;
constexpr int kChildNotReported = 1;
constexpr int kChildWrongError = 2;

/// In a child limited to `limitBytes` of file size, writes 4 x 480 frames of a ramp until a
/// write fails; the exit code says whether the failure was reported as writeFailed/EFBIG.
int writeUntilFull(const fs::path& path, rlim_t limitBytes) {
    std::signal(SIGXFSZ, SIG_IGN);  // the write then fails with EFBIG instead of killing us
    const rlimit limit{limitBytes, limitBytes};
    setrlimit(RLIMIT_FSIZE, &limit);
    try {
        auto file = AudioFile::forWriting(path, kTrack);
        for (int block = 0; block < 4; ++block) {
            std::vector<float> ramp(480);
            for (std::size_t i = 0; i < ramp.size(); ++i) {
                ramp[i] = static_cast<float>(block * 480 + static_cast<int>(i)) / 4096.0f;
            }
            auto buffer = PCMBuffer::make(
                *AudioFormat::make(CommonFormat::pcmFormatFloat32, 16000, 1, false), 480);
            std::copy(ramp.begin(), ramp.end(), buffer->floatChannelData()[0]);
            buffer->setFrameLength(480);
            file->write(*buffer);
        }
    } catch (const AudioFileError& error) {
        const bool expected =
            error.code() == AudioFileError::Code::writeFailed && error.status() == EFBIG;
        return expected ? kChildReported : kChildWrongError;
    }
    return kChildNotReported;
}

TEST_F(AudioFileTest, AFullFileSystemIsReportedAndKeepsWhatWasWritten) {
    const fs::path path = dir_ / "full.wav";
    const rlim_t limit = 44 + 2 * 1000 + 1;  // room for 1000 frames and half a sample
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(writeUntilFull(path, limit));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kChildReported);
    auto file = AudioFile::forReading(path);
    EXPECT_EQ(file->length(), 1000);
    const std::vector<float> back = readAll(path);
    ASSERT_EQ(back.size(), 1000u);
    for (std::size_t i = 0; i < back.size(); ++i) {
        ASSERT_NEAR(back[i], static_cast<float>(i) / 4096.0f, 1.0 / 32768.0) << i;
    }
}

}  // namespace
