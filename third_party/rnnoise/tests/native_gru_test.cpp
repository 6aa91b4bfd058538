// Tests of the native GRU kernel against the translated compute_gru it replaces, on synthetic
// layers of every shape and activation written into a real module instance: the whole linear
// memory and the stack pointer must come out bit for bit the same.
#include "native_gru.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "rnnoise_module.h"
#include "wasm_test_support.h"

namespace rnnoise_test {
namespace {

constexpr std::uint32_t kBase = 8u << 20;  // synthetic layers: 8 MiB, far above stack and heap

/** Shape of one synthetic layer. */
struct Shape {
    std::uint32_t neurons;
    std::int32_t inputs;  // non-positive: no inputs
    std::int32_t activation;
};

/** Where a synthetic layer and its operands were written. */
struct Placed {
    std::uint32_t layer, state, input;
};

class NativeGru : public testing::Test {
  protected:
    void SetUp() override {
        if (!rnnoise_module_has_native_gru) {
            GTEST_SKIP() << "this translation is not the one the native kernel was verified on";
        }
        ASSERT_TRUE(module_.ready);
    }

    std::uint8_t* memory() { return module_.host.memory->data; }
    std::uint32_t size() const { return module_.host.memory->size; }

    void putWord(std::uint32_t at, std::uint32_t value) { std::memcpy(memory() + at, &value, 4); }
    void putFloat(std::uint32_t at, float value) { std::memcpy(memory() + at, &value, 4); }

    /** Mostly moderate values, some large or tiny (subnormal), some signed zeros. */
    float value() {
        const float x = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng_);
        switch (std::uniform_int_distribution<int>(0, 9)(rng_)) {
            case 0:
                return x * 1e30f;
            case 1:
                return x * 1e-40f;
            case 2:
                return std::copysign(0.0f, x);
            default:
                return x * 4.0f;
        }
    }

    /** Writes a layer of `shape` with random weights, state and input at kBase. */
    Placed place(const Shape& shape) {
        const std::uint32_t n = shape.neurons;
        const std::uint32_t m = shape.inputs > 0 ? static_cast<std::uint32_t>(shape.inputs) : 0;
        const Placed placed{kBase, kBase + 64, kBase + 64 + 4 * n};
        const std::uint32_t bias = placed.input + 4 * m;
        const std::uint32_t input_weights = bias + 3 * n;
        const std::uint32_t recurrent_weights = input_weights + m * 3 * n;
        const std::uint32_t words[] = {bias,
                                       input_weights,
                                       recurrent_weights,
                                       static_cast<std::uint32_t>(shape.inputs),
                                       n,
                                       static_cast<std::uint32_t>(shape.activation)};
        for (std::uint32_t i = 0; i < 6; ++i) {
            putWord(placed.layer + 4 * i, words[i]);
        }
        std::uniform_int_distribution<int> byte(-128, 127);
        for (std::uint32_t at = bias; at < recurrent_weights + n * 3 * n; ++at) {
            memory()[at] = static_cast<std::uint8_t>(byte(rng_));
        }
        for (std::uint32_t i = 0; i < n; ++i) {
            putFloat(placed.state + 4 * i, value());
        }
        for (std::uint32_t i = 0; i < m; ++i) {
            putFloat(placed.input + 4 * i, value());
        }
        return placed;
    }

    std::uint32_t& stackPointer() { return *rnnoise_module_stack_pointer(&module_.instance); }

    /** Copies the whole linear memory into `saved`. */
    void save(std::vector<std::uint8_t>& saved) {
        saved.resize(size());
        std::memcpy(saved.data(), memory(), size());
    }
    bool memoryEquals(const std::vector<std::uint8_t>& saved) {
        return std::memcmp(saved.data(), memory(), size()) == 0;
    }

    /** Runs translated and native on the same memory; expects identical memory afterwards. */
    void expectSameUpdate(const Placed& p) {
        save(before_);
        const std::uint32_t stack_pointer = stackPointer();
        rnnoise_module_translated_gru(&module_.instance, p.layer, p.state, p.input);
        save(translated_);
        const std::uint32_t translated_stack_pointer = stackPointer();
        std::memcpy(memory(), before_.data(), size());
        stackPointer() = stack_pointer;
        ASSERT_TRUE(rnnoise_module_native_gru(&module_.instance, p.layer, p.state, p.input));
        EXPECT_EQ(stackPointer(), translated_stack_pointer);
        EXPECT_TRUE(memoryEquals(translated_)) << "linear memory differs";
        EXPECT_FALSE(memoryEquals(before_)) << "the update changed nothing";
    }

    /** Expects the native kernel to decline the call and leave memory untouched. */
    void expectDeclined(const Placed& p) {
        save(before_);
        EXPECT_FALSE(rnnoise_module_native_gru(&module_.instance, p.layer, p.state, p.input));
        EXPECT_TRUE(memoryEquals(before_)) << "a declined call changed memory";
    }

    Module module_;
    std::vector<std::uint8_t> before_, translated_;
    std::mt19937 rng_{2024};
};

// Every layer shape (sizes around the 16-neuron vector blocks up to the scratch limit of 128,
// with no, negative, one and many inputs) and every activation gives the same state, scratch
// frame and stack pointer as the translation, bit for bit.
TEST_F(NativeGru, MatchesTheTranslationBitForBit) {
    const std::uint32_t sizes[] = {1, 15, 16, 17, 24, 48, 96, 128};
    const std::int32_t input_counts[] = {-3, 0, 1, 42, 114};
    int activation = 0;
    for (std::uint32_t neurons : sizes) {
        for (std::int32_t inputs : input_counts) {
            const Shape shape{neurons, inputs, activation++ % 4 - 1};
            SCOPED_TRACE(testing::Message() << neurons << " neurons, " << inputs
                                            << " inputs, activation " << shape.activation);
            expectSameUpdate(place(shape));
        }
    }
}

// Calls whose equivalence the kernel cannot prove are declined without touching memory: no
// neurons, more than the scratch frame holds, a layer or its weights past the end of memory, and
// a state inside the scratch frame the update writes.
TEST_F(NativeGru, DeclinesWhatItCannotProve) {
    expectDeclined(place({0, 4, 0}));
    expectDeclined(place({129, 4, 0}));
    expectDeclined({size() - 8, kBase + 64, kBase + 64});
    Placed past_end = place({16, 4, 0});
    putWord(past_end.layer + 8, size() - 100);  // recurrent weights run past the end
    expectDeclined(past_end);
    const Placed layer = place({16, 4, 0});
    expectDeclined({layer.layer, stackPointer() - 64, layer.input});
}

}  // namespace
}  // namespace rnnoise_test
