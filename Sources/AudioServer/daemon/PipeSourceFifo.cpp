// Private folder, FIFO permissions and the non-blocking write end.
#include "PipeSourceFifo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace audioserver::daemon {
namespace {

std::string systemError(const std::string& what, const std::filesystem::path& path) {
    return what + " " + path.string() + ": " + std::strerror(errno);
}

}  // namespace

PipeSourceFifo::PipeSourceFifo(std::filesystem::path folder)
    : folder_(std::move(folder)), path_(folder_ / "mic.fifo") {}

PipeSourceFifo::~PipeSourceFifo() {
    close();
}

std::expected<void, std::string> PipeSourceFifo::prepareFolder() const {
    if (::mkdir(folder_.c_str(), 0700) != 0 && errno != EEXIST) {
        return std::unexpected(systemError("cannot create", folder_));
    }
    struct stat info {};
    if (::lstat(folder_.c_str(), &info) != 0) {
        return std::unexpected(systemError("cannot inspect", folder_));
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid()) {
        return std::unexpected(folder_.string() + " is not a directory owned by this user");
    }
    if ((info.st_mode & 077) != 0 && ::chmod(folder_.c_str(), 0700) != 0) {
        return std::unexpected(systemError("cannot make private", folder_));
    }
    return {};
}

std::expected<void, std::string> PipeSourceFifo::removeStale() const {
    struct stat info {};
    if (::lstat(path_.c_str(), &info) != 0) {
        return {};  // nothing there
    }
    if (!S_ISFIFO(info.st_mode)) {
        return std::unexpected(path_.string() + " exists and is not a FIFO");
    }
    if (::unlink(path_.c_str()) != 0) {
        return std::unexpected(systemError("cannot remove", path_));
    }
    return {};
}

std::expected<void, std::string> PipeSourceFifo::open() {
    close();
    const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return std::unexpected(systemError("cannot open", path_));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode)) {
        ::close(fd);
        return std::unexpected(path_.string() + " is not a FIFO");
    }
    // The server creates it world-writable; only this user may feed the microphone. A FIFO the
    // server made as another user cannot be changed, but the private folder still guards it.
    ::fchmod(fd, 0600);
    // Best effort: an unprivileged process may not be able to shrink below the default either.
    ::fcntl(fd, F_SETPIPE_SZ, kPipeCapacityBytes);
    fd_.store(fd, std::memory_order_release);
    return {};
}

void PipeSourceFifo::removeFolderIfEmpty() const noexcept {
    ::rmdir(folder_.c_str());  // fails, harmlessly, while anything is inside
}

void PipeSourceFifo::close() noexcept {
    const int fd = fd_.exchange(-1, std::memory_order_acq_rel);
    if (fd >= 0) {
        ::close(fd);
    }
}

bool PipeSourceFifo::write(std::span<const float> samples) noexcept {
    const int fd = fd_.load(std::memory_order_acquire);
    const std::size_t bytes = samples.size_bytes();
    if (fd < 0 || ::write(fd, samples.data(), bytes) != static_cast<ssize_t>(bytes)) {
        dropped_.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    return true;
}

}  // namespace audioserver::daemon
