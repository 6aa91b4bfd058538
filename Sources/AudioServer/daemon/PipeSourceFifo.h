// The daemon's end of the FIFO that feeds the sound server's pipe source.
//
// The sound server's pipe-source module creates the FIFO itself (it refuses a path that already
// exists) and removes it when unloaded, so this class only prepares the private folder it lives
// in (owner-only, 0700), tightens the FIFO to 0600 once it exists, and holds the write end.
//
// Threads: `open`, `close` and `removeStale` on the control thread while no IO thread writes;
// `write` on the IO thread. `write` is one non-blocking write(2) of at most PIPE_BUF bytes, so it
// either stores the whole cycle or nothing (a full pipe drops the cycle and counts it); it never
// blocks, allocates or locks.
#ifndef CORVESSA_AUDIOSERVER_PIPE_SOURCE_FIFO_H
#define CORVESSA_AUDIOSERVER_PIPE_SOURCE_FIFO_H

#include <atomic>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>

namespace audioserver::daemon {

class PipeSourceFifo {
  public:
    /// Bytes the pipe may hold: about 85 ms of mono float at 48 kHz. A source that stops reading
    /// (suspended) can then hold back at most that much stale audio.
    static constexpr int kPipeCapacityBytes = 16 * 1024;

    /// The FIFO "mic.fifo" inside `folder`.
    explicit PipeSourceFifo(std::filesystem::path folder);
    ~PipeSourceFifo();
    PipeSourceFifo(const PipeSourceFifo&) = delete;
    PipeSourceFifo& operator=(const PipeSourceFifo&) = delete;

    const std::filesystem::path& path() const noexcept { return path_; }

    /// Creates the folder (0700) if missing and refuses one that is not a directory owned by
    /// this user or is reachable by others; the error says why.
    std::expected<void, std::string> prepareFolder() const;
    /// Removes a FIFO left at our path (by a server that went away); other file types are left
    /// alone and reported.
    std::expected<void, std::string> removeStale() const;
    /// Opens the write end without blocking (fails when no reader holds the FIFO open), sets it
    /// owner-only and shrinks the pipe to kPipeCapacityBytes.
    std::expected<void, std::string> open();
    /// Removes the private folder if nothing is left in it.
    void removeFolderIfEmpty() const noexcept;
    /// Closes the write end (the FIFO stays).
    void close() noexcept;
    bool isOpen() const noexcept { return fd_.load(std::memory_order_acquire) >= 0; }

    /// Writes one cycle of samples or drops it (see above). Returns whether it was written.
    bool write(std::span<const float> samples) noexcept;
    /// Cycles dropped because the pipe was full or its reader gone.
    std::uint64_t droppedCycles() const noexcept {
        return dropped_.load(std::memory_order_relaxed);
    }

  private:
    std::filesystem::path folder_;
    std::filesystem::path path_;
    std::atomic<int> fd_{-1};
    std::atomic<std::uint64_t> dropped_{0};
};

}  // namespace audioserver::daemon

#endif
