// Machine-wide single-producer lock: only one process at a time may feed the virtual microphone.
//
// The guard holds an exclusive advisory lock (flock) on a lock file through its own open file
// description. The operating system drops the lock when the holder exits for any reason,
// including a crash or SIGKILL, so a lock file left behind never blocks the next producer; only a
// live holder does. The guard is cooperative: a process that does not take it can still write to
// the ring. The lock file is never deleted.
#ifndef AMBERLINAUDIOCORE_PRODUCERGUARD_H
#define AMBERLINAUDIOCORE_PRODUCERGUARD_H

#include <memory>
#include <string>
#include <string_view>

namespace amberlin {

/// Holds the producer lock for its lifetime.
class ProducerGuard {
  public:
    /// The lock file "com.halvern.corvessa.producer.lock" in the user's temporary directory.
    static const std::string& defaultPath();

    /// Takes the lock on `path` (created rw-r--r-- if needed) without blocking; null when the
    /// file cannot be opened or another open file description holds the lock.
    static std::unique_ptr<ProducerGuard> acquire(std::string_view path);

    /// Unlocks the file and closes the descriptor.
    ~ProducerGuard();
    ProducerGuard(const ProducerGuard&) = delete;
    ProducerGuard& operator=(const ProducerGuard&) = delete;

    /// The open descriptor of the lock file.
    int descriptor() const { return descriptor_; }

  private:
    explicit ProducerGuard(int descriptor) : descriptor_(descriptor) {}

    int descriptor_;
};

}  // namespace amberlin

#endif
