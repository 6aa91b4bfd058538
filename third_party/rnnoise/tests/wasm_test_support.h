// A linear memory owned by a test, made by the shim's own allocator.
#ifndef RNNOISE_WASM_TEST_MEMORY_H
#define RNNOISE_WASM_TEST_MEMORY_H

#include "wasm_rt_config.h"

#include <cstdint>

#include "wasm_memory.h"

namespace rnnoise_test {

inline constexpr std::uint32_t kPage = 65536;  // bytes per WebAssembly page

/** Allocates `pages` of at most `max_pages` on construction, frees on destruction. */
struct Memory {
    Memory(std::uint32_t pages, std::uint32_t max_pages) {
        wasm_rt_allocate_memory(&memory, pages, max_pages);
    }
    ~Memory() { wasm_rt_free_memory(&memory); }
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;
    wasm_rt_memory_t memory{};
};

}  // namespace rnnoise_test

#endif
