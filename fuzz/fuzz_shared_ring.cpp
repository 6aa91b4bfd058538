// The shared ring opened over an object that a second thread, standing in for a hostile process
// with its own mapping, rewrites with words from the input while this thread writes, reads and
// latest-reads. Whatever the header says: no access outside the mapping (the slack after the
// object in the last page is poisoned for AddressSanitizer), results are 0 or 1, a mismatched
// length touches nothing, the health figures stay within the geometry and, while the slots
// themselves are left alone, every frame read is one whole frame that was written.
#include <fcntl.h>
#include <sanitizer/asan_interface.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "FuzzSupport.h"
#include "RingScript.h"
#include "amberlin/am_shared_ring.h"
#include "shared_ring_layout.h"

namespace {

using corvessa::fuzz::check;
using corvessa::fuzz::RingOp;

const std::string& ringName() {
    static const std::string name = "/corvessa-fuzz-ring-" + std::to_string(getpid());
    return name;
}

/// The hostile side: its own mapping of the object, rewritten word by word.
void rewrite(std::span<const std::uint8_t> script, std::size_t objectBytes, bool headerOnly) {
    const int fd = shm_open(ringName().c_str(), O_RDWR, 0);
    check(fd >= 0, "hostile open");
    void* base = mmap(nullptr, objectBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    check(base != MAP_FAILED, "hostile mapping");
    auto* words = static_cast<std::uint32_t*>(base);
    const std::size_t wordCount =
        headerOnly ? sizeof(amberlin::ring::SharedHeader) / 4 : objectBytes / 4;
    corvessa::fuzz::InputReader in(script);
    while (!in.empty()) {
        const std::uint32_t index = in.take<std::uint32_t>() % wordCount;
        std::atomic_ref<std::uint32_t>(words[index])
            .store(in.take<std::uint32_t>(), std::memory_order_relaxed);
    }
    munmap(base, objectBytes);
}

/// Poisons (or unpoisons) the part of the last mapped page past the end of the object.
void guardSlack(am_shared_ring* ring, bool poison) {
    const auto pageSize = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::uint64_t end = ring->geometry.object_size;
    const std::uint64_t slack = (pageSize - end % pageSize) % pageSize;
    char* tail = static_cast<char*>(ring->base) + end;
    if (poison) {
        ASAN_POISON_MEMORY_REGION(tail, slack);
    } else {
        ASAN_UNPOISON_MEMORY_REGION(tail, slack);
    }
}

/// True when all samples equal the first and it is a stamp this run wrote (or the zero fill).
bool wholeFrame(const std::vector<float>& frame, float lastStamp) {
    for (const float sample : frame) {
        if (sample != frame[0]) {
            return false;
        }
    }
    return frame[0] >= 0.0f && frame[0] <= lastStamp;
}

/// Runs the operations; `stamp` numbers the frames written, across calls.
void drive(am_shared_ring* ring, std::span<const std::uint8_t> ops, bool slotsIntact,
           float& stamp) {
    const std::uint32_t length = ring->geometry.frame_length;
    const std::uint32_t capacity = ring->geometry.slot_count - 1;
    std::vector<float> frame(length + 1);
    for (const std::uint8_t byte : ops) {
        const auto op = static_cast<RingOp>((byte & 7u) % static_cast<unsigned>(RingOp::count));
        const auto signedLength = static_cast<std::int32_t>(length);
        std::int32_t result = 0;
        switch (op) {
            case RingOp::write:
            case RingOp::writeLatest:
                stamp += 1.0f;
                std::fill(frame.begin(), frame.end(), stamp);
                result = op == RingOp::write
                             ? am_shared_ring_write(ring, frame.data(), signedLength)
                             : am_shared_ring_write_latest(ring, frame.data(), signedLength);
                break;
            case RingOp::read:
            case RingOp::readLatest:
                frame.resize(length);
                result = op == RingOp::read ? am_shared_ring_read(ring, frame.data(), length)
                                            : am_shared_ring_read_latest(ring, frame.data(),
                                                                         signedLength, byte >> 3);
                check(!slotsIntact || wholeFrame(frame, stamp), "a whole written frame read");
                frame.resize(length + 1);
                break;
            case RingOp::clear:
                am_shared_ring_clear(ring);
                break;
            case RingOp::mismatch:
                frame.back() = -1.0f;
                check(am_shared_ring_read(ring, frame.data(), length + 1) == 0 &&
                          am_shared_ring_write(ring, frame.data(), signedLength + 1) == 0 &&
                          frame.back() == -1.0f,
                      "a mismatched length is refused untouched");
                break;
            default:
                break;
        }
        check(result == 0 || result == 1, "results are 0 or 1");
        const am_shared_ring_health_info health = am_shared_ring_health(ring);
        check(health.available_read_frames <= capacity &&
                  health.available_read_frames + health.available_write_frames == capacity,
              "health within the geometry");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    corvessa::fuzz::InputReader in({data, size});
    const std::uint32_t capacity = 1u + in.take<std::uint8_t>() % 8u;
    const std::uint32_t frameLength = 1u + in.take<std::uint8_t>() % 64u;
    const bool headerOnly = (in.take<std::uint8_t>() & corvessa::fuzz::kHeaderOnly) != 0;
    const auto ops = in.takeBytes(in.take<std::uint8_t>());
    const auto hostile = in.rest();

    shm_unlink(ringName().c_str());  // a fresh object of exactly this geometry
    am_shared_ring* ring = am_shared_ring_open(ringName().c_str(), true, capacity, frameLength);
    check(ring != nullptr, "ring opened");
    guardSlack(ring, true);
    std::thread other(rewrite, hostile, ring->geometry.object_size, headerOnly);
    float stamp = 0.0f;
    drive(ring, ops, headerOnly, stamp);
    other.join();
    drive(ring, ops, headerOnly, stamp);  // again over whatever the other side left behind
    guardSlack(ring, false);
    am_shared_ring_close(ring);
    shm_unlink(ringName().c_str());
    return 0;
}
