// Tests of the host side of the translated module: linear memory and the emscripten imports, on
// memories made here (the module itself never grows memory or traps in practice), and a stray
// access by the translated module itself.
#include "wasm_rt_config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>

#include "wasm_test_support.h"

namespace rnnoise_test {
namespace {

// Memory starts zeroed at its initial size, grows page-wise in place keeping its contents with
// zeroed new pages, and refuses to pass its maximum. Its reservation spans 8 GiB and no more.
TEST(WasmHost, LinearMemoryGrowsWithinItsMaximum) {
    Memory m(2, 4);
    ASSERT_NE(m.memory.data, nullptr);
    EXPECT_EQ(m.memory.size, 2 * kPage);
    EXPECT_EQ(std::accumulate(m.memory.data, m.memory.data + m.memory.size, 0u), 0u);
    m.memory.data[2 * kPage - 1] = 0x5a;

    std::uint8_t* const data = m.memory.data;
    EXPECT_EQ(wasm_rt_grow_memory(&m.memory, 1), 2u);
    EXPECT_EQ(m.memory.data, data);
    EXPECT_EQ(m.memory.pages, 3u);
    EXPECT_EQ(m.memory.size, 3 * kPage);
    EXPECT_EQ(m.memory.data[2 * kPage - 1], 0x5a);
    EXPECT_EQ(std::accumulate(m.memory.data + 2 * kPage, m.memory.data + 3 * kPage, 0u), 0u);

    EXPECT_EQ(wasm_rt_grow_memory(&m.memory, 2), UINT32_MAX);
    EXPECT_EQ(m.memory.size, 3 * kPage);
    EXPECT_EQ(wasm_rt_grow_memory(&m.memory, 0), 3u);

    EXPECT_TRUE(rnnoise_wasm_memory_contains(&m.memory, data + (std::uint64_t{1} << 33) + 7));
    EXPECT_FALSE(rnnoise_wasm_memory_contains(&m.memory, data + RNNOISE_WASM_RESERVED_BYTES));
    EXPECT_FALSE(rnnoise_wasm_memory_contains(&m.memory, data - 1));
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
    EXPECT_EQ(rnnoise_wasm_guarded(nullptr, copyBig, &overlap), WASM_RT_TRAP_NONE);
    EXPECT_EQ(m.memory.data[10], 0);
    EXPECT_EQ(m.memory.data[999], static_cast<std::uint8_t>(989));

    CopyCall past_end{&host, kPage - 10, 0, 11};
    EXPECT_EQ(rnnoise_wasm_guarded(nullptr, copyBig, &past_end), WASM_RT_TRAP_OOB);
    CopyCall wrapping{&host, 0, 0xfffffff0u, 0x20};
    EXPECT_EQ(rnnoise_wasm_guarded(nullptr, copyBig, &wrapping), WASM_RT_TRAP_OOB);
    EXPECT_EQ(m.memory.data[kPage - 10], 0);
}

// The translated module, given a state address just below 4 GiB (far past its memory), ends the
// call with an out-of-bounds trap instead of touching anything outside its memory.
TEST(WasmHost, StrayModuleAccessIsAnOutOfBoundsTrap) {
    Module m;
    ASSERT_TRUE(m.ready);
    auto process = [](void* instance) {
        auto* module = static_cast<RNNOISE_WASM_INSTANCE*>(instance);
        RNNOISE_WASM_EXPORT___wasm_call_ctors(module);
        RNNOISE_WASM_EXPORT_rnnoise_process_frame(module, 0xfffff000u, 1024u, 4096u);
    };
    EXPECT_EQ(rnnoise_wasm_guarded(m.host.memory, process, &m.instance), WASM_RT_TRAP_OOB);
}

}  // namespace
}  // namespace rnnoise_test
