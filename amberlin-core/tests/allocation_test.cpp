// Proves that processing frames allocates nothing. Every heap allocation is counted, and counting
// is switched on only around the frame loop on the processing thread. Plain builds replace every
// heap entry point (operator new and the C allocation functions) by a counting version that
// forwards to glibc; under AddressSanitizer or ThreadSanitizer, which own the heap, the count comes
// from the sanitizer's allocation hook instead.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

#include "amberlin_core.h"
#include "pipeline.h"
#include "signals.h"

namespace {

std::atomic<long> gAllocations{0};
thread_local bool tCounting = false;

void note() {
    if (tCounting) {
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)

extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void* pointer, std::size_t size),
    void (*free_hook)(const volatile void* pointer));

namespace {

void onAllocation(const volatile void* /*pointer*/, std::size_t /*size*/) {
    note();
}

void onRelease(const volatile void* /*pointer*/) {}

const bool gHooksInstalled = __sanitizer_install_malloc_and_free_hooks(onAllocation, onRelease);

// Whether allocations can be counted at all in this build.
bool countingInstalled() {
    return gHooksInstalled;
}

}  // namespace

#else

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

namespace {

// Frees what the replacements below allocated, through glibc's own entry point (which the
// compiler does not pair with malloc, so optimised builds see no mismatched new / free).
void release(void* p) {
    __libc_free(p);
}

// Whether allocations can be counted at all in this build.
bool countingInstalled() {
    return true;
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) {
    note();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
    note();
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) {
    note();
    return __libc_realloc(pointer, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
    note();
    return __libc_memalign(alignment, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
    note();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    note();
    *out = __libc_memalign(alignment, size);
    return *out == nullptr ? ENOMEM : 0;
}
}

void* operator new(std::size_t size) {
    void* p = malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    void* p = aligned_alloc(static_cast<std::size_t>(alignment), size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return operator new(size, alignment);
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    release(p);
}

#endif

namespace amberlin::core {
namespace {

using test::kFrame;

// Allocations made by `work` on this thread.
template <typename Work>
long allocationsDuring(Work&& work) {
    const long before = gAllocations.load();
    tCounting = true;
    work();
    tCounting = false;
    return gAllocations.load() - before;
}

// Runs a second of frames with reference pushes, setting changes that need no new stage, and
// metric reads, as the processing and far-end threads would.
void runFrames(amr_pipeline* p, const std::vector<float>& mic, const std::vector<float>& far,
               std::span<float> out, std::uint64_t firstFrame) {
    for (std::uint64_t f = firstFrame; f < firstFrame + 100; ++f) {
        const std::uint64_t t = 1'000'000'000 + f * 10'000'000;
        amr_pipeline_push_reference(p, far.data() + (f % 100) * kFrame, kFrame, t - 2'000'000);
        amr_pipeline_set_mode(p, static_cast<std::uint32_t>(f % 3));
        amr_pipeline_set_voice_isolation(p, static_cast<std::uint32_t>(f % 4));
        amr_pipeline_set_echo_cancellation(p, 1);
        ASSERT_EQ(amr_pipeline_process(p, mic.data() + (f % 100) * kFrame, out.data(), kFrame, t),
                  1);
        const PipelineMetrics m = amr_pipeline_metrics(p);
        ASSERT_GE(m.voice_gate_gain, 0.0F);
    }
}

TEST(Allocation, CounterSeesHeapUse) {
    // The counter does see the heap: a vector's buffer is one allocation.
    ASSERT_TRUE(countingInstalled());
    const long n = allocationsDuring([] {
        std::vector<float> v(100);
        v[0] = 1.0F;
        EXPECT_EQ(v[0], 1.0F);
    });
    EXPECT_EQ(n, 1);
}

TEST(Allocation, FramesWithEchoCancellationAllocateNothingOnEitherPath) {
    // With echo cancellation on, neither the spectral nor (when built in) the neural path
    // allocates while frames, pushes, setting changes and metric reads run.
    const std::vector<float> mic = test::whiteNoise(100 * kFrame, 0.1F, 1);
    const std::vector<float> far = test::whiteNoise(100 * kFrame, 0.1F, 2);
    for (NeuralPolicy policy : {NeuralPolicy::spectralOnly, NeuralPolicy::whenAvailable}) {
        SCOPED_TRACE(static_cast<int>(policy));
        amr_pipeline* p = createPipeline(1, true, 2, policy);
        EXPECT_EQ(amr_pipeline_uses_neural(p),
                  policy == NeuralPolicy::whenAvailable && NeuralDenoiser::available() ? 1 : 0);
        std::vector<float> out(kFrame);
        // From the very first frame: every buffer was sized when the pipeline was created.
        EXPECT_EQ(allocationsDuring([&] { runFrames(p, mic, far, out, 0); }), 0);
        EXPECT_EQ(allocationsDuring([&] { runFrames(p, mic, far, out, 100); }), 0);
        amr_pipeline_destroy(p);
    }
}

TEST(Allocation, OnlySwitchingEchoOnAllocates) {
    // Switching echo cancellation off frees, and switching it on builds a canceller: the one
    // documented allocation on the processing thread besides a reset of the neural state.
    const std::vector<float> mic = test::whiteNoise(100 * kFrame, 0.1F, 3);
    amr_pipeline* p = createPipeline(1, false, 0, NeuralPolicy::spectralOnly);
    std::vector<float> out(kFrame);
    ASSERT_EQ(amr_pipeline_process(p, mic.data(), out.data(), kFrame, 0), 1);
    EXPECT_EQ(allocationsDuring([&] {
                  amr_pipeline_set_echo_cancellation(p, 0);
                  amr_pipeline_reset(p);
                  amr_pipeline_process(p, mic.data(), out.data(), kFrame, 0);
              }),
              0);
    EXPECT_GT(allocationsDuring([&] {
                  amr_pipeline_set_echo_cancellation(p, 1);
                  amr_pipeline_process(p, mic.data(), out.data(), kFrame, 0);
              }),
              0);
    amr_pipeline_destroy(p);
}

}  // namespace
}  // namespace amberlin::core
