#include "fft.h"

#include <cmath>
#include <cstring>

#include "fatal.h"

namespace amberlin::core {

namespace {

// 2 pi rounded to single precision; the per-stage angle is derived from this exact value.
constexpr float kTwoPi = 6.2831855F;

bool isPowerOfTwo(std::size_t n) {
    return n != 0 && (n & (n - 1)) == 0;
}

// Four floats processed together (SSE on x86-64, NEON on ARM); every lane performs exactly the
// scalar operations, so both forms give identical results.
constexpr std::size_t kLanes = 4;
using Lanes = float __attribute__((vector_size(kLanes * sizeof(float))));

Lanes load(const float* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store(float* p, Lanes v) {
    std::memcpy(p, &v, sizeof v);
}

// Butterflies of one block: top = re/im[0, half), bottom = re/im[half, 2 half), twiddles wr/wi.
void blockScalar(float* re, float* im, std::size_t half, const float* wr, const float* wi) {
    for (std::size_t k = 0; k < half; ++k) {
        const float tr = wr[k] * re[half + k] - wi[k] * im[half + k];
        const float ti = wr[k] * im[half + k] + wi[k] * re[half + k];
        re[half + k] = re[k] - tr;
        im[half + k] = im[k] - ti;
        re[k] += tr;
        im[k] += ti;
    }
}

// The same butterflies, four at a time; `half` is a multiple of four.
void blockVector(float* re, float* im, std::size_t half, const float* wr, const float* wi) {
    for (std::size_t k = 0; k < half; k += kLanes) {
        const Lanes twr = load(wr + k);
        const Lanes twi = load(wi + k);
        const Lanes br = load(re + half + k);
        const Lanes bi = load(im + half + k);
        const Lanes tr = twr * br - twi * bi;
        const Lanes ti = twr * bi + twi * br;
        const Lanes ar = load(re + k);
        const Lanes ai = load(im + k);
        store(re + half + k, ar - tr);
        store(im + half + k, ai - ti);
        store(re + k, ar + tr);
        store(im + k, ai + ti);
    }
}

}  // namespace

Fft::Fft(std::size_t size) : size_(size) {
    if (size < 2) {
        return;
    }
    if (!isPowerOfTwo(size) || size > (std::size_t{1} << 30)) {
        fatal("fft length must be a power of two");
    }
    // Bit-reversal pairs, with the reversed index advanced incrementally from the top bit.
    std::size_t j = 0;
    for (std::size_t i = 1; i < size; ++i) {
        std::size_t bit = size >> 1;
        while ((j & bit) != 0) {
            j &= ~bit;
            bit >>= 1;
        }
        j |= bit;
        if (i < j) {
            swaps_.emplace_back(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j));
        }
    }
    // Forward twiddles: per stage, w starts at 1 and is rotated by e^(i theta) in single
    // precision, theta = -2 pi / s (the recurrence, not an exact table, defines the values).
    twiddleReal_.reserve(size - 1);
    twiddleImag_.reserve(size - 1);
    inverseTwiddleImag_.reserve(size - 1);
    for (std::size_t s = 2; s <= size; s <<= 1) {
        const float theta = -kTwoPi / static_cast<float>(s);
        const float sinTheta = std::sin(theta);
        const float cosTheta = std::cos(theta);
        float wr = 1.0F;
        float wi = 0.0F;
        for (std::size_t k = 0; k < s / 2; ++k) {
            twiddleReal_.push_back(wr);
            twiddleImag_.push_back(wi);
            inverseTwiddleImag_.push_back(-wi);
            const float nextReal = wr * cosTheta - wi * sinTheta;
            wi = wr * sinTheta + wi * cosTheta;
            wr = nextReal;
        }
    }
}

void Fft::forward(std::span<float> real, std::span<float> imag) const {
    transform(real, imag, false);
}

void Fft::inverse(std::span<float> real, std::span<float> imag) const {
    transform(real, imag, true);
}

void Fft::transform(std::span<float> real, std::span<float> imag, bool inverse_flag) const {
    checkLengths(real, imag);
    if (size_ < 2) {
        return;
    }
    permute(real, imag);
    butterflies(real, imag, inverse_flag);
    if (inverse_flag) {
        // 1/N is exact for a power of two, so multiplying equals dividing by N.
        const float scale = 1.0F / static_cast<float>(size_);
        for (std::size_t i = 0; i < size_; ++i) {
            real[i] *= scale;
            imag[i] *= scale;
        }
    }
}

void Fft::forwardReal(std::span<const float> input, std::span<float> real,
                      std::span<float> imag) const {
    checkLengths(real, imag);
    if (input.size() != size_) {
        fatal("fft input length differs from the transform length");
    }
    for (std::size_t i = 0; i < size_; ++i) {
        real[i] = input[i];
        imag[i] = 0.0F;
    }
    forward(real, imag);
}

void Fft::completeConjugateSymmetry(std::span<float> real, std::span<float> imag) const {
    checkLengths(real, imag);
    for (std::size_t k = 1; k < size_ / 2; ++k) {
        real[size_ - k] = real[k];
        imag[size_ - k] = -imag[k];
    }
}

void Fft::checkLengths(std::span<float> real, std::span<float> imag) const {
    if (real.size() != size_ || imag.size() != size_) {
        fatal("fft array length differs from the transform length");
    }
}

void Fft::permute(std::span<float> real, std::span<float> imag) const {
    for (const auto& [i, j] : swaps_) {
        std::swap(real[i], real[j]);
        std::swap(imag[i], imag[j]);
    }
}

void Fft::butterflies(std::span<float> real, std::span<float> imag, bool inverse_flag) const {
    float* re = real.data();
    float* im = imag.data();
    // Stage 2: the only twiddle is exactly 1, so the butterflies need no multiplication.
    for (std::size_t b = 0; b < size_; b += 2) {
        const float tr = re[b + 1];
        const float ti = im[b + 1];
        re[b + 1] = re[b] - tr;
        im[b + 1] = im[b] - ti;
        re[b] += tr;
        im[b] += ti;
    }
    const float* twiddleImag = inverse_flag ? inverseTwiddleImag_.data() : twiddleImag_.data();
    for (std::size_t s = 4; s <= size_; s <<= 1) {
        const std::size_t half = s / 2;
        const float* wr = twiddleReal_.data() + (half - 1);
        const float* wi = twiddleImag + (half - 1);
        for (std::size_t b = 0; b < size_; b += s) {
            if (half % kLanes == 0) {
                blockVector(re + b, im + b, half, wr, wi);
            } else {
                blockScalar(re + b, im + b, half, wr, wi);
            }
        }
    }
}

}  // namespace amberlin::core
