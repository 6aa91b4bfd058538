// Tests that the native translation computes exactly what the WebAssembly module computes: the
// same output bits as Node's WebAssembly engine, and as the plainly translated build recorded
// before any optimisation of the translation.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "rnnoise_test_support.h"

namespace rnnoise_test {
namespace {

#if defined(RNNOISE_TEST_WASM)
#define SKIP_UNLESS_WASM() (void)0
#else
#define SKIP_UNLESS_WASM() \
    GTEST_SKIP() << "built against a system rnnoise, not the WebAssembly module"
#endif

constexpr std::size_t kFrames = 800;  // every regime of regimeSignal once

/** FNV-1a (64 bit) over the little-endian bytes of the samples' and probabilities' bit patterns. */
std::uint64_t digest(const Processed& processed) {
    std::uint64_t hash = 14695981039346656037ull;
    auto add = [&hash](float value) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        for (int byte = 0; byte < 4; ++byte) {
            hash = (hash ^ ((bits >> (8 * byte)) & 0xffu)) * 1099511628211ull;
        }
    };
    for (float x : processed.output) {
        add(x);
    }
    for (float p : processed.probability) {
        add(p);
    }
    return hash;
}

// Output and probabilities of regimeSignal(800), bit for bit, equal those of the plain wasm2c
// translation (bounds check on every access, -O2, no native kernels), which matched Node's engine
// on the same input; recorded from that build.
TEST(RnnoiseExactness, MatchesRecordedTranslation) {
    SKIP_UNLESS_WASM();
    State st = makeState();
    const Processed out = processAll(st.get(), regimeSignal(kFrames));
    EXPECT_EQ(digest(out), 0x9703a84bb03bb474ull) << std::hex << digest(out);
}

#if defined(RNNOISE_TEST_WASM)
/** Writes `signal` to `path` as raw float32 and lets Node's engine process it into `result`. */
bool runReferenceEngine(const std::vector<float>& signal, const std::string& path,
                        std::vector<float>& result) {
    std::ofstream(path + ".in", std::ios::binary)
        .write(reinterpret_cast<const char*>(signal.data()),
               static_cast<std::streamsize>(signal.size() * sizeof(float)));
    const std::string command = std::string("node ") + RNNOISE_TEST_REFERENCE_SCRIPT + " " +
                                RNNOISE_TEST_WASM + " " + path + ".in " + path + ".out";
    const bool ran = std::system(command.c_str()) == 0;
    result.assign(signal.size() / kFrame * (kFrame + 1), 0.0f);
    std::ifstream(path + ".out", std::ios::binary)
        .read(reinterpret_cast<char*>(result.data()),
              static_cast<std::streamsize>(result.size() * sizeof(float)));
    std::remove((path + ".in").c_str());
    std::remove((path + ".out").c_str());
    return ran;
}
#endif

// Every regime of regimeSignal gives bit-identical samples and probabilities natively and in
// Node's WebAssembly engine, frame by frame.
TEST(RnnoiseExactness, MatchesWebAssemblyEngine) {
    SKIP_UNLESS_WASM();
#if defined(RNNOISE_TEST_WASM)
    if (std::system("command -v node >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "node is not installed";
    }
    const std::vector<float> signal = regimeSignal(kFrames);
    std::vector<float> reference;
    ASSERT_TRUE(runReferenceEngine(
        signal, testing::TempDir() + "rnnoise_ref_" + std::to_string(getpid()), reference));
    State st = makeState();
    const Processed native = processAll(st.get(), signal);
    for (std::size_t f = 0; f < kFrames; ++f) {
        const float* expected = reference.data() + f * (kFrame + 1);
        ASSERT_EQ(std::memcmp(expected, native.output.data() + f * kFrame, kFrame * 4), 0) << f;
        ASSERT_EQ(expected[kFrame], native.probability[f]) << f;
    }
#endif
}

}  // namespace
}  // namespace rnnoise_test
