// The mixed-preview build over arbitrary files, once as the local track and once as the far-end
// track beside a valid one. The build either completes, leaving a readable preview as long as
// the local track (a copy) or as the longer track (a mix), or throws an audio-file or file-system
// error. Files are capped at 64 MiB, so a build that would write without end fails to write,
// which counts as a finding.
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>

#include "CallPreviewMixer.h"
#include "FuzzSupport.h"
#include "platform/AudioFile.h"

namespace {

namespace fs = std::filesystem;
using corvessa::fuzz::check;
using platform::AudioFile;

constexpr rlim_t kFileSizeLimit = 64u << 20;

/// Frames in a file as the reader sees it; 0 when it does not open.
std::int64_t framesIn(const fs::path& path) {
    try {
        return AudioFile::forReading(path)->length();
    } catch (const platform::AudioFileError&) {
        return 0;
    }
}

/// A valid one-second 16 kHz track of a quiet tone, written once.
const fs::path& validTrack() {
    static const fs::path path = [] {
        const fs::path file = corvessa::fuzz::scratchDirectory() / "valid.wav";
        const auto writer = AudioFile::forWriting(file, {});
        const auto block = platform::PCMBuffer::make(writer->processingFormat(), 16000);
        for (std::uint32_t i = 0; i < 16000; ++i) {
            block->floatChannelData()[0][i] = (i % 32 < 16) ? 0.25f : -0.25f;
        }
        block->setFrameLength(16000);
        writer->write(*block);
        return file;
    }();
    return path;
}

void build(const fs::path& local, const fs::path& remote) {
    const fs::path mixed = corvessa::fuzz::scratchDirectory() / "mixed.wav";
    fs::remove(mixed);
    try {
        amberlin::buildCallPreview({local, remote, mixed, {}});
    } catch (const platform::AudioFileError& error) {
        check(error.status() != EFBIG, "a preview within the file size limit");
        return;
    } catch (const fs::filesystem_error& error) {
        check(error.code() != std::errc::file_too_large, "a copy within the file size limit");
        return;
    }
    const std::int64_t length = framesIn(mixed);
    const std::int64_t localLength = framesIn(local);
    check(length == localLength || length == std::max(localLength, framesIn(remote)),
          "a preview as long as the local or the longer track");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    signal(SIGXFSZ, SIG_IGN);  // an oversized write fails with EFBIG instead of killing us
    const rlimit limit{kFileSizeLimit, kFileSizeLimit};
    setrlimit(RLIMIT_FSIZE, &limit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path input = corvessa::fuzz::scratchDirectory() / "input.wav";
    corvessa::fuzz::writeFile(input, {data, size});
    build(input, validTrack());
    build(validTrack(), input);
    return 0;
}
