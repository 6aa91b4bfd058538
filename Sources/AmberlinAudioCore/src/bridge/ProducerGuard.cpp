// Producer lock over flock on a file in the temporary directory.
#include "AmberlinAudioCore/ProducerGuard.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace amberlin {
namespace {

// The temporary directory as the platform reports it, ending in a separator.
std::string temporaryDirectory() {
    std::error_code error;
    std::string directory = std::filesystem::temp_directory_path(error).string();
    if (error || directory.empty()) {
        directory = "/tmp";
    }
    if (directory.back() != '/') {
        directory.push_back('/');
    }
    return directory;
}

}  // namespace

const std::string& ProducerGuard::defaultPath() {
    static const std::string path = temporaryDirectory() + "com.halvern.corvessa.producer.lock";
    return path;
}

std::unique_ptr<ProducerGuard> ProducerGuard::acquire(std::string_view path) {
    // Close-on-exec keeps a spawned program from inheriting, and so prolonging, the lock;
    // no-follow keeps a link planted in a shared temporary directory from redirecting it.
    const int fd =
        ::open(std::string(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return nullptr;
    }
    int locked = 0;
    do {
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<ProducerGuard>(new ProducerGuard(fd));
}

ProducerGuard::~ProducerGuard() {
    ::flock(descriptor_, LOCK_UN);
    ::close(descriptor_);
}

}  // namespace amberlin
