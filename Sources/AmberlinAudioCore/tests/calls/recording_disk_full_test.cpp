// The disk fills up during a call recording: in a child process a file-size limit (with SIGXFSZ
// ignored, so a write past it fails with EFBIG as on a full file system) stops the local track
// part way. Nothing crashes, the session still completes in the store, and the local track keeps
// everything written before the failure as a WAV file whose header matches its data.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include "AmberlinAudioCore/CallSessionManager.h"
#include "PrivateDataEnvironment.h"
#include "platform/AudioFile.h"
#include "platform/PCMBuffer.h"

namespace {

using namespace amberlin;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr rlim_t kFileLimit = 64 * 1024;  // bytes any file of the child may reach
constexpr int kSeconds = 5;               // recorded: 160 000 bytes of 16 kHz 16-bit audio

/// A 440 Hz tone at half scale, 10 ms at a time.
AudioFrame toneFrame(int index) {
    AudioFrame frame;
    for (std::size_t i = 0; i < frame.samples.size(); ++i) {
        const double t = static_cast<double>(index * 480 + static_cast<int>(i)) / 48000.0;
        frame.samples[i] = static_cast<float>(0.5 * std::sin(2.0 * M_PI * 440.0 * t));
    }
    return frame;
}

/// Child body: records a manual session of kSeconds under the file-size limit; 0 when the
/// session was stopped and listed.
int recordUnderLimit(const CallDataPaths& paths) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{kFileLimit, kFileLimit};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
        return 2;
    }
    auto store = std::make_shared<CallMetadataStore>(paths);
    auto manager = std::make_shared<CallSessionManager>(store, std::make_shared<CallRecorder>(),
                                                        [] { return std::nullopt; });
    AppSettings settings;
    settings.recordingConsentAcknowledged = true;
    settings.captureSystemAudioEnabled = false;
    manager->startManualSession(settings);
    if (!manager->activeSession()) {
        return 3;
    }
    for (int i = 0; i < kSeconds * 100; ++i) {
        manager->recordLocalFrame(toneFrame(i));
    }
    manager->stopActiveSession();
    return manager->activeSession() ? 4 : 0;
}

/// A little-endian 32-bit field of `bytes` at `offset`.
std::uint32_t field32(const std::vector<char>& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

TEST(RecordingDiskFullTest, TheLocalTrackKeepsWhatWasWrittenAndTheSessionCompletes) {
    const CallDataPaths paths(PrivateDataEnvironment::root() / "full");
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(recordUnderLimit(paths));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the recording process crashed: " << status;
    ASSERT_EQ(WEXITSTATUS(status), 0);

    CallMetadataStore store(paths);
    const auto sessions = store.listSessions(true);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].status, CallSessionStatus::completed);
    EXPECT_TRUE(sessions[0].endedAt.has_value());

    // The header describes exactly the data on disk, which fills the file up to the limit.
    const fs::path local = *sessions[0].localMicAudioPath;
    std::ifstream in(local, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_GE(bytes.size(), 44u);
    ASSERT_EQ(std::memcmp(bytes.data(), "RIFF", 4), 0);
    EXPECT_EQ(field32(bytes, 4), bytes.size() - 8) << "RIFF size";
    ASSERT_EQ(std::memcmp(bytes.data() + 36, "data", 4), 0) << "not the plain 44-byte header";
    EXPECT_EQ(field32(bytes, 40), bytes.size() - 44) << "data chunk size";
    EXPECT_GE(bytes.size(), kFileLimit - 4096) << "data written before the failure was lost";

    const auto file = platform::AudioFile::forReading(local);
    ASSERT_NE(file, nullptr);
    const std::int64_t frames = file->length();
    EXPECT_EQ(static_cast<std::size_t>(frames) * 2, bytes.size() - 44);
    auto buffer =
        platform::PCMBuffer::make(file->processingFormat(), static_cast<std::uint32_t>(frames));
    ASSERT_NE(buffer, nullptr);
    file->read(*buffer);
    ASSERT_EQ(buffer->frameLength(), static_cast<std::uint32_t>(frames));
    std::printf("[  figures ] local track %zu bytes, %.2f s of the %d s recorded\n", bytes.size(),
                static_cast<double>(frames) / 16000.0, kSeconds);
    // The tone runs to the last sample kept: nothing was zeroed or cut out.
    double energy = 0.0;
    for (std::uint32_t i = buffer->frameLength() - 1600; i < buffer->frameLength(); ++i) {
        energy += std::pow(buffer->floatChannelData()[0][i], 2.0);
    }
    EXPECT_NEAR(std::sqrt(energy / 1600.0), 0.5 / std::sqrt(2.0), 0.02);
}

}  // namespace
