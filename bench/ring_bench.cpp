// Cost of moving one 480-sample frame through the shared ring and the in-process ring buffer.
#include <benchmark/benchmark.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <string>

#include "amberlin/am_ring_buffer.h"
#include "amberlin/am_shared_ring.h"

namespace {

constexpr uint32_t kFrame = 480;

/// One write_latest plus one read_latest(3), the producer's and the plug-in's per-frame calls.
void BM_SharedRingWriteLatestReadLatest(benchmark::State& state) {
    const std::string name = "/amvmic-bench-" + std::to_string(getpid());
    am_shared_ring* ring = am_shared_ring_open(name.c_str(), true, 32, kFrame);
    std::array<float, kFrame> in{};
    std::array<float, kFrame> out{};
    in.fill(0.25f);
    for (auto _ : state) {
        am_shared_ring_write_latest(ring, in.data(), kFrame);
        am_shared_ring_read_latest(ring, out.data(), kFrame, 3);
        benchmark::DoNotOptimize(out.data());
    }
    am_shared_ring_close(ring);
    shm_unlink(name.c_str());
}
BENCHMARK(BM_SharedRingWriteLatestReadLatest);

/// The in-process bridge's write plus read.
void BM_RingBufferWriteRead(benchmark::State& state) {
    am_ring_buffer* buffer = am_ring_buffer_create(16, kFrame);
    std::array<float, kFrame> in{};
    std::array<float, kFrame> out{};
    for (auto _ : state) {
        am_ring_buffer_write(buffer, in.data(), kFrame);
        am_ring_buffer_read(buffer, out.data(), kFrame);
        benchmark::DoNotOptimize(out.data());
    }
    am_ring_buffer_destroy(buffer);
}
BENCHMARK(BM_RingBufferWriteRead);

}  // namespace

BENCHMARK_MAIN();
