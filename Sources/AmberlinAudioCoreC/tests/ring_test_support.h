// Helpers shared by the ring tests: unique shared-memory names and raw views of an object.
#ifndef AMBERLIN_RING_TEST_SUPPORT_H
#define AMBERLIN_RING_TEST_SUPPORT_H

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

namespace amberlin::test {

/// A shared-memory name no other test (or test process) uses; unlinked on destruction.
class UniqueShmName {
  public:
    UniqueShmName() {
        static std::atomic<int> counter{0};
        name_ = "/amvmic-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        shm_unlink(name_.c_str());
    }
    ~UniqueShmName() { shm_unlink(name_.c_str()); }
    UniqueShmName(const UniqueShmName&) = delete;
    UniqueShmName& operator=(const UniqueShmName&) = delete;
    const char* c_str() const { return name_.c_str(); }

  private:
    std::string name_;
};

/// A second, independent mapping of a shared object, as another process would see it.
class RawMapping {
  public:
    explicit RawMapping(const char* name) {
        fd_ = shm_open(name, O_RDWR, 0);
        struct stat info {};
        if (fd_ >= 0 && fstat(fd_, &info) == 0 && info.st_size > 0) {
            size_ = static_cast<size_t>(info.st_size);
            void* base = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
            base_ = base == MAP_FAILED ? nullptr : static_cast<unsigned char*>(base);
        }
    }
    ~RawMapping() {
        if (base_ != nullptr) {
            munmap(base_, size_);
        }
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    RawMapping(const RawMapping&) = delete;
    RawMapping& operator=(const RawMapping&) = delete;

    bool valid() const { return base_ != nullptr; }
    size_t size() const { return size_; }
    unsigned char* bytes() { return base_; }
    /// Atomic view of the 32-bit header word at `offset` (another process's store).
    std::atomic_ref<uint32_t> u32(size_t offset) {
        return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(base_ + offset));
    }
    std::atomic_ref<uint64_t> u64(size_t offset) {
        return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(base_ + offset));
    }

  private:
    int fd_ = -1;
    size_t size_ = 0;
    unsigned char* base_ = nullptr;
};

}  // namespace amberlin::test

#endif
