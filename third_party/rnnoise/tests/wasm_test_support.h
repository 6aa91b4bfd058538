// Linear memories and module instances owned by tests of the shim's internals.
#ifndef RNNOISE_WASM_TEST_SUPPORT_H
#define RNNOISE_WASM_TEST_SUPPORT_H

#include "wasm_rt_config.h"

#include <cstdint>
#include <mutex>

#include "wasm_guard.h"
#include "wasm_host.h"
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

/** One instance of the translated module, instantiated under a guard; `ready` when that worked. */
struct Module {
    Module() {
        static std::once_flag once;
        std::call_once(once, [] {
            wasm_rt_init();
            RNNOISE_WASM_INIT_MODULE();
        });
        ready = rnnoise_wasm_guard_install() &&
                rnnoise_wasm_guarded(nullptr, instantiate, this) == WASM_RT_TRAP_NONE;
    }
    ~Module() { RNNOISE_WASM_FREE(&instance); }
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    static void instantiate(void* self) {
        auto* m = static_cast<Module*>(self);
        RNNOISE_WASM_INSTANTIATE(&m->instance, &m->host);
        m->host.memory = RNNOISE_WASM_EXPORT_memory(&m->instance);
    }

    RNNOISE_WASM_INSTANCE instance{};
    RNNOISE_WASM_HOST_INSTANCE host{};
    bool ready = false;
};

}  // namespace rnnoise_test

#endif
