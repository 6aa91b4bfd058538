// Tests of the host side of the translated module: trap guard, linear memory and the emscripten
// imports, on memories made here (the module itself never grows memory or traps in practice).
#include "wasm_rt_config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>

#include "wasm_host.h"

namespace {

constexpr std::uint32_t kPage = 65536;

struct Memory {
    Memory(std::uint32_t pages, std::uint32_t max_pages) {
        wasm_rt_allocate_memory(&memory, pages, max_pages);
    }
    ~Memory() { wasm_rt_free_memory(&memory); }
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;
    wasm_rt_memory_t memory{};
};

void trapDivByZero(void*) {
    wasm_rt_trap(WASM_RT_TRAP_DIV_BY_ZERO);
}
void setFlag(void* flag) {
    *static_cast<bool*>(flag) = true;
}

// A trapping call comes back as its trap code; a normal one as NONE; an inner guard catches its
// own trap and leaves the outer call running.
TEST(WasmHost, GuardReturnsTrapCodes) {
    bool ran = false;
    EXPECT_EQ(rnnoise_wasm_guarded(setFlag, &ran), WASM_RT_TRAP_NONE);
    EXPECT_TRUE(ran);
    EXPECT_EQ(rnnoise_wasm_guarded(trapDivByZero, nullptr), WASM_RT_TRAP_DIV_BY_ZERO);

    auto nested = [](void* inner_result) {
        *static_cast<wasm_rt_trap_t*>(inner_result) = rnnoise_wasm_guarded(trapDivByZero, nullptr);
    };
    wasm_rt_trap_t inner = WASM_RT_TRAP_NONE;
    EXPECT_EQ(rnnoise_wasm_guarded(nested, &inner), WASM_RT_TRAP_NONE);
    EXPECT_EQ(inner, WASM_RT_TRAP_DIV_BY_ZERO);
    EXPECT_EQ(rnnoise_wasm_guarded(trapDivByZero, nullptr), WASM_RT_TRAP_DIV_BY_ZERO);
}

// A trap with no guard on the thread is a bug: it names the trap and aborts.
TEST(WasmHostDeathTest, TrapOutsideGuardAborts) {
    EXPECT_DEATH(wasm_rt_trap(WASM_RT_TRAP_OOB), "outside a guarded call: Out-of-bounds");
}

// Memory starts zeroed at its initial size, grows page-wise keeping its contents with zeroed new
// pages, and refuses to pass its maximum.
TEST(WasmHost, LinearMemoryGrowsWithinItsMaximum) {
    Memory m(2, 4);
    ASSERT_NE(m.memory.data, nullptr);
    EXPECT_EQ(m.memory.size, 2 * kPage);
    EXPECT_EQ(std::accumulate(m.memory.data, m.memory.data + m.memory.size, 0u), 0u);
    m.memory.data[2 * kPage - 1] = 0x5a;

    EXPECT_EQ(wasm_rt_grow_memory(&m.memory, 1), 2u);
    EXPECT_EQ(m.memory.pages, 3u);
    EXPECT_EQ(m.memory.size, 3 * kPage);
    EXPECT_EQ(m.memory.data[2 * kPage - 1], 0x5a);
    EXPECT_EQ(std::accumulate(m.memory.data + 2 * kPage, m.memory.data + 3 * kPage, 0u), 0u);

    EXPECT_EQ(wasm_rt_grow_memory(&m.memory, 2), UINT32_MAX);
    EXPECT_EQ(m.memory.size, 3 * kPage);
    EXPECT_EQ(wasm_rt_grow_memory(&m.memory, 0), 3u);
}

// emscripten_resize_heap grows to the requested byte size rounded up to whole pages, accepts
// sizes already available and refuses sizes past the maximum.
TEST(WasmHost, ResizeHeapImport) {
    Memory m(1, 4);
    RNNOISE_WASM_HOST_INSTANCE host{&m.memory};
    EXPECT_EQ(RNNOISE_WASM_IMPORT_emscripten_resize_heap(&host, 100), 1u);
    EXPECT_EQ(m.memory.pages, 1u);
    EXPECT_EQ(RNNOISE_WASM_IMPORT_emscripten_resize_heap(&host, 2 * kPage + 1), 1u);
    EXPECT_EQ(m.memory.pages, 3u);
    EXPECT_EQ(RNNOISE_WASM_IMPORT_emscripten_resize_heap(&host, 4 * kPage + 1), 0u);
    EXPECT_EQ(m.memory.pages, 3u);
}

struct CopyCall {
    RNNOISE_WASM_HOST_INSTANCE* host;
    std::uint32_t dest, src, size;
};

void copyBig(void* context) {
    auto* c = static_cast<CopyCall*>(context);
    RNNOISE_WASM_IMPORT_emscripten_memcpy_big(c->host, c->dest, c->src, c->size);
}

// emscripten_memcpy_big copies overlapping ranges like memmove, and traps (out of bounds) rather
// than touching anything past the end of memory.
TEST(WasmHost, MemcpyBigImport) {
    Memory m(1, 1);
    RNNOISE_WASM_HOST_INSTANCE host{&m.memory};
    for (std::uint32_t i = 0; i < 1000; ++i) {
        m.memory.data[i] = static_cast<std::uint8_t>(i);
    }
    CopyCall overlap{&host, 10, 0, 990};
    EXPECT_EQ(rnnoise_wasm_guarded(copyBig, &overlap), WASM_RT_TRAP_NONE);
    EXPECT_EQ(m.memory.data[10], 0);
    EXPECT_EQ(m.memory.data[999], static_cast<std::uint8_t>(989));

    CopyCall past_end{&host, kPage - 10, 0, 11};
    EXPECT_EQ(rnnoise_wasm_guarded(copyBig, &past_end), WASM_RT_TRAP_OOB);
    CopyCall wrapping{&host, 0, 0xfffffff0u, 0x20};
    EXPECT_EQ(rnnoise_wasm_guarded(copyBig, &wrapping), WASM_RT_TRAP_OOB);
    EXPECT_EQ(m.memory.data[kPage - 10], 0);
}

}  // namespace
