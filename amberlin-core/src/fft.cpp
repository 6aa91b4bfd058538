#include "fft.h"

#include <cmath>

#include "fatal.h"

namespace amberlin::core {

namespace {

// 2 pi rounded to single precision; the per-stage angle is derived from this exact value.
constexpr float kTwoPi = 6.2831855F;

bool isPowerOfTwo(std::size_t n) {
    return n != 0 && (n & (n - 1)) == 0;
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
    for (std::size_t s = 2; s <= size; s <<= 1) {
        const float theta = -kTwoPi / static_cast<float>(s);
        const float sinTheta = std::sin(theta);
        const float cosTheta = std::cos(theta);
        float wr = 1.0F;
        float wi = 0.0F;
        for (std::size_t k = 0; k < s / 2; ++k) {
            twiddleReal_.push_back(wr);
            twiddleImag_.push_back(wi);
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
        const float scale = static_cast<float>(size_);
        for (std::size_t i = 0; i < size_; ++i) {
            real[i] /= scale;
            imag[i] /= scale;
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
    const float sign = inverse_flag ? -1.0F : 1.0F;  // the inverse rotates the other way
    for (std::size_t s = 2; s <= size_; s <<= 1) {
        const std::size_t half = s / 2;
        const float* wr = twiddleReal_.data() + (half - 1);
        const float* wi = twiddleImag_.data() + (half - 1);
        for (std::size_t b = 0; b < size_; b += s) {
            for (std::size_t k = 0; k < half; ++k) {
                const std::size_t top = b + k;
                const std::size_t bottom = top + half;
                const float twr = wr[k];
                const float twi = sign * wi[k];
                const float tr = twr * real[bottom] - twi * imag[bottom];
                const float ti = twr * imag[bottom] + twi * real[bottom];
                real[bottom] = real[top] - tr;
                imag[bottom] = imag[top] - ti;
                real[top] += tr;
                imag[top] += ti;
            }
        }
    }
}

}  // namespace amberlin::core
