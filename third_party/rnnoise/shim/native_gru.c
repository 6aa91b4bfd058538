// The GRU layer update of the translated module, computed natively on its linear memory.
//
// Per neuron, the translated function computes (all in float, each operation rounded):
//   update: sum = bias; sum = w * input[j] + sum for every input; sum = w * state[j] + sum for
//           every neuron; z = sigmoid(sum * 1/256), stored at frame + 1024
//   reset:  the same with the next third of the weight columns; r stored at frame + 512
//   candidate: the same with the last third, the recurrent terms being (state[j] * w) * r[j];
//           a = activation(sum * 1/256); h = z * state + a * (1 - z), stored at frame
// and finally copies h over the state. Here each neuron goes through exactly these operations in
// exactly this order; only different neurons run side by side.
#include "native_gru.h"

#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

enum {
    kMaxNeurons = 128,   // the scratch frame holds three gates of at most 128 floats each
    kFrameBytes = 1536,  // scratch frame below the stack pointer: candidate, reset, update
    kResetOffset = 512,
    kUpdateOffset = 1024,
    kLayerBytes = 24,  // six 32-bit fields of the module's GRULayer
};

static const float kWeightScale = 0.00390625f;  // int8 weights count in units of 1/256

// The module's GRULayer, read from linear memory; a non-positive input count reads as none.
typedef struct {
    uint32_t bias;               // int8[3 * neurons]: update, reset and candidate columns
    uint32_t input_weights;      // int8[inputs][3 * neurons]
    uint32_t recurrent_weights;  // int8[neurons][3 * neurons]
    uint32_t inputs;
    uint32_t neurons;
    int32_t activation;  // 0 tansig, 1 sigmoid, otherwise rectifier
} Layer;

// A byte range [begin, end) of linear memory.
typedef struct {
    uint64_t begin;
    uint64_t end;
} Range;

// One gate's sums: which third of the weight columns, and the floats they multiply.
typedef struct {
    const uint8_t* memory;
    const Layer* layer;
    uint32_t column;  // 0 update, neurons reset, 2 * neurons candidate
    uint32_t input;
    uint32_t state;
    uint32_t reset;  // reset gate floats scaling the recurrent terms, when has_reset
    bool has_reset;
} Gate;

static uint32_t load_u32(const uint8_t* memory, uint64_t at) {
    uint32_t value;
    memcpy(&value, memory + at, sizeof value);
    return value;
}

static float load_float(const uint8_t* memory, uint64_t at) {
    float value;
    memcpy(&value, memory + at, sizeof value);
    return value;
}

static void store_float(uint8_t* memory, uint64_t at, float value) {
    memcpy(memory + at, &value, sizeof value);
}

// The int8 weight at `at`, as a float (exact).
static float weight(const uint8_t* memory, uint64_t at) {
    return (float)(int8_t)memory[at];
}

static bool inside(Range range, uint32_t size) {
    return range.begin <= range.end && range.end <= size;
}

static bool disjoint(Range a, Range b) {
    return a.begin == a.end || b.begin == b.end || a.end <= b.begin || b.end <= a.begin;
}

// Reads the layer at `at`; false when it lies outside memory.
static bool read_layer(const wasm_rt_memory_t* memory, uint32_t at, Layer* layer) {
    if (!inside((Range){at, (uint64_t)at + kLayerBytes}, memory->size)) {
        return false;
    }
    layer->bias = load_u32(memory->data, at);
    layer->input_weights = load_u32(memory->data, at + 4u);
    layer->recurrent_weights = load_u32(memory->data, at + 8u);
    int32_t inputs = (int32_t)load_u32(memory->data, at + 12u);
    layer->inputs = inputs > 0 ? (uint32_t)inputs : 0u;
    layer->neurons = load_u32(memory->data, at + 16u);
    layer->activation = (int32_t)load_u32(memory->data, at + 20u);
    return true;
}

// True when the update provably equals the translated one: the layer fits the scratch frame,
// everything lies inside memory, and the frame (the only thing written before the final copy)
// overlaps nothing that is read, so the order of reads and writes cannot matter.
static bool provable(const RnnoiseGruModule* module, const Layer* layer, uint32_t at,
                     uint32_t state, uint32_t input) {
    const uint64_t n = layer->neurons;
    const uint64_t row = 3u * n;
    const uint64_t sp = module->stack_pointer;
    if (n == 0 || n > kMaxNeurons || sp < kFrameBytes) {
        return false;
    }
    const Range frame = {sp - kFrameBytes, sp};
    const Range reads[] = {
        {at, (uint64_t)at + kLayerBytes},
        {layer->bias, layer->bias + row},
        {layer->input_weights, layer->input_weights + layer->inputs * row},
        {layer->recurrent_weights, layer->recurrent_weights + n * row},
        {input, input + 4u * (uint64_t)layer->inputs},
        {state, state + 4u * n},
    };
    bool ok = inside(frame, module->memory->size);
    for (size_t i = 0; i < sizeof reads / sizeof reads[0]; ++i) {
        ok = ok && inside(reads[i], module->memory->size) && disjoint(reads[i], frame);
    }
    return ok;
}

// Sum of neuron `neuron` of the gate, one term after another.
static float gate_sum(const Gate* gate, uint32_t neuron) {
    const uint8_t* memory = gate->memory;
    const Layer* layer = gate->layer;
    const uint64_t row = 3u * (uint64_t)layer->neurons;
    const uint64_t column = (uint64_t)gate->column + neuron;
    float sum = weight(memory, layer->bias + column);
    for (uint32_t j = 0; j < layer->inputs; ++j) {
        const float w = weight(memory, layer->input_weights + j * row + column);
        sum = w * load_float(memory, gate->input + 4u * (uint64_t)j) + sum;
    }
    for (uint32_t j = 0; j < layer->neurons; ++j) {
        const float s = load_float(memory, gate->state + 4u * (uint64_t)j);
        const float w = weight(memory, layer->recurrent_weights + j * row + column);
        sum = gate->has_reset ? (s * w) * load_float(memory, gate->reset + 4u * (uint64_t)j) + sum
                              : w * s + sum;
    }
    return sum;
}

#if defined(__SSE2__)

// Sixteen neurons' floats, four per vector.
typedef struct {
    __m128 v0, v1, v2, v3;
} Lanes;

// The 16 int8 weights at `at` as floats (exact): each byte moved to the top of a 32-bit lane,
// then shifted down arithmetically.
static inline Lanes weights16(const uint8_t* memory, uint64_t at) {
    const __m128i bytes = _mm_loadu_si128((const __m128i*)(const void*)(memory + at));
    const __m128i zero = _mm_setzero_si128();
    const __m128i low = _mm_unpacklo_epi8(zero, bytes);
    const __m128i high = _mm_unpackhi_epi8(zero, bytes);
    Lanes w;
    w.v0 = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(zero, low), 24));
    w.v1 = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(zero, low), 24));
    w.v2 = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(zero, high), 24));
    w.v3 = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(zero, high), 24));
    return w;
}

// x * w per lane.
static inline Lanes scaled(__m128 x, Lanes w) {
    w.v0 = _mm_mul_ps(x, w.v0);
    w.v1 = _mm_mul_ps(x, w.v1);
    w.v2 = _mm_mul_ps(x, w.v2);
    w.v3 = _mm_mul_ps(x, w.v3);
    return w;
}

// w * x + sum per lane: the product rounded, then the sum (never fused).
static inline Lanes add_products(Lanes sum, Lanes w, __m128 x) {
    sum.v0 = _mm_add_ps(_mm_mul_ps(w.v0, x), sum.v0);
    sum.v1 = _mm_add_ps(_mm_mul_ps(w.v1, x), sum.v1);
    sum.v2 = _mm_add_ps(_mm_mul_ps(w.v2, x), sum.v2);
    sum.v3 = _mm_add_ps(_mm_mul_ps(w.v3, x), sum.v3);
    return sum;
}

// gate_sum of neurons [first, first + 16), side by side.
static void gate_sums16(const Gate* gate, uint32_t first, float* sums) {
    const uint8_t* memory = gate->memory;
    const Layer* layer = gate->layer;
    const uint64_t row = 3u * (uint64_t)layer->neurons;
    const uint64_t column = (uint64_t)gate->column + first;
    Lanes sum = weights16(memory, layer->bias + column);
    for (uint32_t j = 0; j < layer->inputs; ++j) {
        const __m128 x = _mm_set1_ps(load_float(memory, gate->input + 4u * (uint64_t)j));
        sum = add_products(sum, weights16(memory, layer->input_weights + j * row + column), x);
    }
    for (uint32_t j = 0; j < layer->neurons; ++j) {
        const __m128 s = _mm_set1_ps(load_float(memory, gate->state + 4u * (uint64_t)j));
        const Lanes w = weights16(memory, layer->recurrent_weights + j * row + column);
        if (gate->has_reset) {
            const float r = load_float(memory, gate->reset + 4u * (uint64_t)j);
            sum = add_products(sum, scaled(s, w), _mm_set1_ps(r));
        } else {
            sum = add_products(sum, w, s);
        }
    }
    _mm_storeu_ps(sums, sum.v0);
    _mm_storeu_ps(sums + 4, sum.v1);
    _mm_storeu_ps(sums + 8, sum.v2);
    _mm_storeu_ps(sums + 12, sum.v3);
}

#endif

// Sums of every neuron of the gate.
static void gate_sums(const Gate* gate, float* sums) {
    uint32_t neuron = 0;
#if defined(__SSE2__)
    for (; neuron + 16 <= gate->layer->neurons; neuron += 16) {
        gate_sums16(gate, neuron, sums + neuron);
    }
#endif
    for (; neuron < gate->layer->neurons; ++neuron) {
        sums[neuron] = gate_sum(gate, neuron);
    }
}

// activation(sum * 1/256) of every neuron, stored as floats from `at`.
static void store_gate(const RnnoiseGruModule* module, rnnoise_gru_activation activation,
                       const float* sums, uint32_t neurons, uint64_t at) {
    for (uint32_t i = 0; i < neurons; ++i) {
        store_float(module->memory->data, at + 4u * i,
                    activation(module->instance, sums[i] * kWeightScale));
    }
}

// The candidate's activation function.
static rnnoise_gru_activation candidate_activation(const RnnoiseGruModule* module,
                                                   const Layer* layer) {
    switch (layer->activation) {
        case 0:
            return module->tansig;
        case 1:
            return module->sigmoid;
        default:
            return module->rectifier;
    }
}

// h = z * state + a * (1 - z) for every neuron, stored at `frame`, then copied over the state.
static void store_state(const RnnoiseGruModule* module, const Layer* layer, const float* sums,
                        uint64_t frame, uint32_t state) {
    uint8_t* memory = module->memory->data;
    const rnnoise_gru_activation activation = candidate_activation(module, layer);
    for (uint32_t i = 0; i < layer->neurons; ++i) {
        const float a = activation(module->instance, sums[i] * kWeightScale);
        const float z = load_float(memory, frame + kUpdateOffset + 4u * i);
        const float h = z * load_float(memory, state + 4u * (uint64_t)i) + a * (1.0f - z);
        store_float(memory, frame + 4u * i, h);
    }
    memmove(memory + state, memory + frame, 4u * (size_t)layer->neurons);
}

bool rnnoise_native_gru(const RnnoiseGruModule* module, uint32_t layer_at, uint32_t state,
                        uint32_t input) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    Layer layer;
    if (!read_layer(module->memory, layer_at, &layer) ||
        !provable(module, &layer, layer_at, state, input)) {
        return false;
    }
    const uint64_t frame = module->stack_pointer - (uint64_t)kFrameBytes;
    float sums[kMaxNeurons];
    Gate gate = {module->memory->data, &layer, 0, input, state, 0, false};
    gate_sums(&gate, sums);
    store_gate(module, module->sigmoid, sums, layer.neurons, frame + kUpdateOffset);
    gate.column = layer.neurons;
    gate_sums(&gate, sums);
    store_gate(module, module->sigmoid, sums, layer.neurons, frame + kResetOffset);
    gate.column = 2u * layer.neurons;
    gate.reset = (uint32_t)frame + kResetOffset;
    gate.has_reset = true;
    gate_sums(&gate, sums);
    store_state(module, &layer, sums, frame, state);
    return true;
#else
    (void)module, (void)layer_at, (void)state, (void)input;
    return false;
#endif
}
