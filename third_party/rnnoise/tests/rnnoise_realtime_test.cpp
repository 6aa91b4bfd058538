// Tests that rnnoise_process_frame keeps the real-time rules once a state exists: no allocation
// (counted through replaced global allocators) and no system call (run under strict seccomp).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "rnnoise_test_support.h"

// Sanitizers replace the allocator and make system calls of their own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define RNNOISE_TEST_SANITIZED 1
#else
#define RNNOISE_TEST_SANITIZED 0
#endif

#if !RNNOISE_TEST_SANITIZED
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void __libc_free(void* pointer);
}

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

void noteAllocation() {
    if (g_counting.load(std::memory_order_relaxed)) {
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    }
}
}  // namespace

extern "C" void* malloc(std::size_t size) noexcept {
    noteAllocation();
    return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) noexcept {
    noteAllocation();
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, std::size_t size) noexcept {
    noteAllocation();
    return __libc_realloc(pointer, size);
}
extern "C" void free(void* pointer) noexcept {
    __libc_free(pointer);
}

void* operator new(std::size_t size) {
    noteAllocation();
    void* pointer = __libc_malloc(size == 0 ? 1 : size);
    if (pointer == nullptr) {
        throw std::bad_alloc();
    }
    return pointer;
}
void operator delete(void* pointer) noexcept {
    __libc_free(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
    __libc_free(pointer);
}
#endif

namespace rnnoise_test {
namespace {

// After a warm-up, hundreds of frames on two states allocate nothing, neither through malloc
// nor operator new; a strdup inside the counted window proves the counting is live.
TEST(RnnoiseRealtime, ProcessingDoesNotAllocate) {
#if RNNOISE_TEST_SANITIZED
    GTEST_SKIP() << "allocator replaced by the sanitizer";
#else
    const std::vector<float> noise = brownNoise(200, 1000.0f, 21);
    std::vector<float> out(noise.size());
    State a = makeState();
    State b = makeState();
    for (std::size_t at = 0; at < 10 * kFrame; at += kFrame) {
        rnnoise_process_frame(a.get(), out.data() + at, noise.data() + at);
        rnnoise_process_frame(b.get(), out.data() + at, noise.data() + at);
    }
    g_counting = true;
    for (std::size_t at = 10 * kFrame; at < noise.size(); at += kFrame) {
        rnnoise_process_frame(a.get(), out.data() + at, noise.data() + at);
        rnnoise_process_frame(b.get(), out.data() + at, noise.data() + at);
    }
    const long during_processing = g_allocations.exchange(0);
    char* probe = strdup("probe");
    g_counting = false;
    free(probe);
    EXPECT_EQ(during_processing, 0);
    EXPECT_EQ(g_allocations.load(), 1) << "allocation counting is not live";
#endif
}

constexpr int kNoSeccomp = 77;  // child's exit status when seccomp cannot be enabled

// A child process that enables strict seccomp (only read, write, exit and sigreturn allowed;
// anything else kills it) processes 100 frames and exits normally.
TEST(RnnoiseRealtime, ProcessingMakesNoSystemCall) {
#if RNNOISE_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizer runtime makes system calls of its own";
#else
    const std::vector<float> noise = brownNoise(100, 1000.0f, 22);
    std::vector<float> out(noise.size());
    State st = makeState();
    ASSERT_NE(st, nullptr);
    rnnoise_process_frame(st.get(), out.data(), noise.data());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_STRICT) != 0) {
            _exit(kNoSeccomp);
        }
        float sum = 0.0f;
        for (std::size_t at = 0; at < noise.size(); at += kFrame) {
            sum += rnnoise_process_frame(st.get(), out.data() + at, noise.data() + at);
        }
        syscall(SYS_exit, std::isfinite(sum) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status))
        << "killed by signal " << WTERMSIG(status) << " (a system call in rnnoise_process_frame)";
    if (WEXITSTATUS(status) == kNoSeccomp) {
        GTEST_SKIP() << "strict seccomp is not permitted here";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

}  // namespace
}  // namespace rnnoise_test
