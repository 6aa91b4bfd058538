// One 512-frame DoIOOperation('read') through the driver table, as the audio server calls it
// (Begin, Do, End), while the producer writes whole frames so the ring never runs dry. The
// producer's writes happen inside the timed loop (about 1.07 per cycle); BM_ProducerWriteLatest
// gives their own cost so the IO cycle alone can be told apart.
#include <benchmark/benchmark.h>

#include <vector>

#include "amberlin/am_shared_ring.h"
#include "audioserver/PluginHost.h"

namespace {

constexpr int kFrame = 480;
constexpr UInt32 kCycle = 512;

void BM_DoIOOperation512Fed(benchmark::State& state) {
    audioserver::PluginHost host(HAL_PLUGIN_PATH);
    if (host.initialize() != 0) {
        state.SkipWithError("Initialize failed");
        return;
    }
    const audioserver::HostedDevice device = host.devices().at(0);
    am_shared_ring* producer = am_shared_ring_open(am_shared_ring_default_name(), true, 32, kFrame);
    am_shared_ring_clear(producer);
    device.startIO();
    const std::vector<float> frame(kFrame, 0.25f);
    std::vector<float> output(kCycle);
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mNominalIOBufferFrameSize = kCycle;
    uint64_t produced = 0, consumed = 0;
    for (auto _ : state) {
        while (produced < consumed + kCycle + kFrame) {  // stay one frame ahead of the reads
            am_shared_ring_write_latest(producer, frame.data(), kFrame);
            produced += kFrame;
        }
        device.readInput(output, cycle);
        consumed += kCycle;
        benchmark::DoNotOptimize(output.data());
    }
    const am_shared_ring_health_info health = am_shared_ring_health(producer);
    state.counters["buffered_frames"] = health.available_read_frames;
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kCycle);
    device.stopIO();
    am_shared_ring_close(producer);
}
BENCHMARK(BM_DoIOOperation512Fed);

void BM_ProducerWriteLatest(benchmark::State& state) {
    am_shared_ring* producer = am_shared_ring_open(am_shared_ring_default_name(), true, 32, kFrame);
    const std::vector<float> frame(kFrame, 0.25f);
    for (auto _ : state) {
        benchmark::DoNotOptimize(am_shared_ring_write_latest(producer, frame.data(), kFrame));
    }
    am_shared_ring_clear(producer);
    am_shared_ring_close(producer);
}
BENCHMARK(BM_ProducerWriteLatest);

}  // namespace

BENCHMARK_MAIN();
