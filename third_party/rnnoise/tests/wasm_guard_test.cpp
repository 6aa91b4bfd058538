// Tests of guarded module calls: trap codes come back as values, a fault inside the running
// call's own memory becomes an out-of-bounds trap, and every other fault is left to whoever
// handled SIGSEGV before.
#include "wasm_guard.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>
#include <csignal>
#include <cstdint>

#include "wasm_test_support.h"

namespace rnnoise_test {
namespace {

void trapDivByZero(void*) {
    wasm_rt_trap(WASM_RT_TRAP_DIV_BY_ZERO);
}
void setFlag(void* flag) {
    *static_cast<bool*>(flag) = true;
}
// Reads the byte at `address` (a `volatile std::uint8_t*`), so that the read cannot be dropped.
void touch(void* address) {
    (void)*static_cast<volatile std::uint8_t*>(address);
}
// Writes the byte at `address`.
void poke(void* address) {
    *static_cast<volatile std::uint8_t*>(address) = 1;
}

/** One page of address space that faults on any access, outside every linear memory. */
struct ForeignPage {
    ForeignPage() : data(mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) {}
    ~ForeignPage() { munmap(data, 4096); }
    ForeignPage(const ForeignPage&) = delete;
    ForeignPage& operator=(const ForeignPage&) = delete;
    void* data;
};

class WasmGuard : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(rnnoise_wasm_guard_install()); }
};
using WasmGuardDeathTest = WasmGuard;

// A trapping call comes back as its trap code; a normal one as NONE; an inner guard catches its
// own trap and leaves the outer call running.
TEST_F(WasmGuard, ReturnsTrapCodes) {
    bool ran = false;
    EXPECT_EQ(rnnoise_wasm_guarded(nullptr, setFlag, &ran), WASM_RT_TRAP_NONE);
    EXPECT_TRUE(ran);
    EXPECT_EQ(rnnoise_wasm_guarded(nullptr, trapDivByZero, nullptr), WASM_RT_TRAP_DIV_BY_ZERO);

    auto nested = [](void* inner_result) {
        *static_cast<wasm_rt_trap_t*>(inner_result) =
            rnnoise_wasm_guarded(nullptr, trapDivByZero, nullptr);
    };
    wasm_rt_trap_t inner = WASM_RT_TRAP_NONE;
    EXPECT_EQ(rnnoise_wasm_guarded(nullptr, nested, &inner), WASM_RT_TRAP_NONE);
    EXPECT_EQ(inner, WASM_RT_TRAP_DIV_BY_ZERO);
    EXPECT_EQ(rnnoise_wasm_guarded(nullptr, trapDivByZero, nullptr), WASM_RT_TRAP_DIV_BY_ZERO);
}

// Reads and writes anywhere past the memory's size, up to the last byte a 32-bit access can
// reach, end the call with an out-of-bounds trap; the accessible part is not affected, and a
// page made accessible by growing no longer traps. Installing twice changes nothing.
TEST_F(WasmGuard, FaultsInsideTheCallsMemoryAreOutOfBoundsTraps) {
    ASSERT_TRUE(rnnoise_wasm_guard_install());
    Memory m(1, 2);
    const wasm_rt_memory_t* memory = &m.memory;
    std::uint8_t* data = m.memory.data;
    EXPECT_EQ(rnnoise_wasm_guarded(memory, touch, data + kPage - 1), WASM_RT_TRAP_NONE);
    EXPECT_EQ(rnnoise_wasm_guarded(memory, touch, data + kPage), WASM_RT_TRAP_OOB);
    EXPECT_EQ(rnnoise_wasm_guarded(memory, poke, data + 3 * kPage + 7), WASM_RT_TRAP_OOB);
    const std::uint64_t farthest = 2 * std::uint64_t{UINT32_MAX} + 7;  // base + offset + width - 1
    EXPECT_EQ(rnnoise_wasm_guarded(memory, touch, data + farthest), WASM_RT_TRAP_OOB);
    EXPECT_EQ(rnnoise_wasm_guarded(memory, touch, data + RNNOISE_WASM_RESERVED_BYTES - 1),
              WASM_RT_TRAP_OOB);

    ASSERT_EQ(wasm_rt_grow_memory(&m.memory, 1), 1u);
    EXPECT_EQ(rnnoise_wasm_guarded(memory, poke, data + kPage), WASM_RT_TRAP_NONE);
    EXPECT_EQ(data[kPage], 1);
    EXPECT_EQ(rnnoise_wasm_guarded(memory, touch, data + 2 * kPage), WASM_RT_TRAP_OOB);
}

// A fault the guard must not claim still ends the process (by SIGSEGV, or through a sanitizer's
// report): outside the running call's memory (elsewhere, or in another instance's memory), or in
// a memory but outside any call.
TEST_F(WasmGuardDeathTest, OtherFaultsStayFatal) {
    Memory mine(1, 1);
    Memory other(1, 1);
    ForeignPage foreign;
    ASSERT_NE(foreign.data, MAP_FAILED);
    EXPECT_DEATH(rnnoise_wasm_guarded(&mine.memory, touch, foreign.data), "");
    EXPECT_DEATH(rnnoise_wasm_guarded(&mine.memory, touch, other.memory.data + kPage), "");
    EXPECT_DEATH(touch(mine.memory.data + kPage), "");
}

constexpr int kForwarded = 3;  // exit status of the handler that was installed first

void exitForwarded(int, siginfo_t*, void*) {
    _exit(kForwarded);
}

// Faults the guard does not claim reach the handler that was installed before it, while faults
// in the running call's memory still become traps, also after one has been trapped.
TEST_F(WasmGuardDeathTest, UnclaimedFaultsReachThePreviousHandler) {
    auto child = [] {
        struct sigaction first = {};
        first.sa_sigaction = exitForwarded;
        first.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &first, nullptr);
        if (!rnnoise_wasm_guard_install()) {
            _exit(1);
        }
        Memory m(1, 1);
        ForeignPage foreign;
        if (rnnoise_wasm_guarded(&m.memory, touch, m.memory.data + kPage) != WASM_RT_TRAP_OOB) {
            _exit(2);
        }
        rnnoise_wasm_guarded(&m.memory, touch, foreign.data);
        _exit(0);
    };
    EXPECT_EXIT(child(), testing::ExitedWithCode(kForwarded), "");
}

// A trap with no guard on the thread is a bug: it names the trap and aborts.
TEST(WasmGuardTrapDeathTest, TrapOutsideGuardAborts) {
    EXPECT_DEATH(wasm_rt_trap(WASM_RT_TRAP_OOB), "outside a guarded call: Out-of-bounds");
}

}  // namespace
}  // namespace rnnoise_test
