// Verifies the radix-2 FFT against the transform's defining identities at the length the voice
// core uses (512) and at small lengths where the exact DFT is cheap to compute.
#include "fft.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace amberlin::core {
namespace {

constexpr std::size_t kN = 512;

// Direct O(N^2) DFT in double precision, the reference the FFT must match.
void naiveDft(const std::vector<float>& re, const std::vector<float>& im,
              std::vector<double>& outRe, std::vector<double>& outIm) {
    const std::size_t n = re.size();
    outRe.assign(n, 0.0);
    outIm.assign(n, 0.0);
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t t = 0; t < n; ++t) {
            const double a =
                -2.0 * std::numbers::pi * static_cast<double>(k * t % n) / static_cast<double>(n);
            outRe[k] += double{re[t]} * std::cos(a) - double{im[t]} * std::sin(a);
            outIm[k] += double{re[t]} * std::sin(a) + double{im[t]} * std::cos(a);
        }
    }
}

TEST(Fft, UnitImpulseTransformsToAllOnes) {
    // A unit impulse at index 0 has a flat spectrum: every bin 1 + 0i, exactly.
    const Fft fft(kN);
    std::array<float, kN> re{};
    std::array<float, kN> im{};
    re[0] = 1.0F;
    fft.forward(re, im);
    for (std::size_t k = 0; k < kN; ++k) {
        ASSERT_EQ(re[k], 1.0F) << "bin " << k;
        ASSERT_EQ(im[k], 0.0F) << "bin " << k;
    }
}

TEST(Fft, CosineAtBinFiveConcentratesInItsTwoBins) {
    // cos(2 pi 5 n / N) has N/2 = 256 in bins 5 and N - 5, and nothing elsewhere.
    const Fft fft(kN);
    std::array<float, kN> re{};
    std::array<float, kN> im{};
    for (std::size_t n = 0; n < kN; ++n) {
        re[n] = static_cast<float>(std::cos(2.0 * std::numbers::pi * 5.0 * static_cast<double>(n) /
                                            static_cast<double>(kN)));
    }
    fft.forward(re, im);
    for (std::size_t k = 0; k < kN; ++k) {
        const float expected = (k == 5 || k == kN - 5) ? 256.0F : 0.0F;
        ASSERT_NEAR(re[k], expected, 2e-3F) << "bin " << k;
        ASSERT_NEAR(im[k], 0.0F, 2e-3F) << "bin " << k;
    }
}

TEST(Fft, ForwardThenInverseReproducesRandomSignal) {
    // Round trip of complex noise returns the input to within single-precision error (the
    // recurrence-generated twiddles add a few ulps per stage; 1e-5 is far below 1/32768).
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0F, 1.0F);
    for (std::size_t n : {2U, 4U, 64U, 512U, 1024U}) {
        SCOPED_TRACE(n);
        const Fft fft(n);
        std::vector<float> re(n);
        std::vector<float> im(n);
        for (std::size_t i = 0; i < n; ++i) {
            re[i] = dist(rng);
            im[i] = dist(rng);
        }
        const std::vector<float> re0 = re;
        const std::vector<float> im0 = im;
        fft.forward(re, im);
        fft.inverse(re, im);
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_NEAR(re[i], re0[i], 1e-5F);
            ASSERT_NEAR(im[i], im0[i], 1e-5F);
        }
    }
}

TEST(Fft, MatchesDirectDftAndItsConjugateForInverse) {
    // Forward equals the unscaled DFT; inverse equals the conjugate DFT divided by N.
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> dist(-1.0F, 1.0F);
    for (std::size_t n : {8U, 128U, 512U}) {
        SCOPED_TRACE(n);
        const Fft fft(n);
        std::vector<float> re(n);
        std::vector<float> im(n);
        for (std::size_t i = 0; i < n; ++i) {
            re[i] = dist(rng);
            im[i] = dist(rng);
        }
        std::vector<double> wantRe;
        std::vector<double> wantIm;
        naiveDft(re, im, wantRe, wantIm);
        std::vector<float> fre = re;
        std::vector<float> fim = im;
        fft.forward(fre, fim);
        // Inverse via conjugation: ifft(x) = conj(dft(conj(x))) / N.
        std::vector<float> conjIm(n);
        for (std::size_t i = 0; i < n; ++i) {
            conjIm[i] = -im[i];
        }
        std::vector<double> invRe;
        std::vector<double> invIm;
        naiveDft(re, conjIm, invRe, invIm);
        std::vector<float> ire = re;
        std::vector<float> iim = im;
        fft.inverse(ire, iim);
        const double tol = 1e-5 * static_cast<double>(n);
        for (std::size_t k = 0; k < n; ++k) {
            ASSERT_NEAR(fre[k], wantRe[k], tol);
            ASSERT_NEAR(fim[k], wantIm[k], tol);
            ASSERT_NEAR(ire[k], invRe[k] / static_cast<double>(n), tol / static_cast<double>(n));
            ASSERT_NEAR(iim[k], -invIm[k] / static_cast<double>(n), tol / static_cast<double>(n));
        }
    }
}

TEST(Fft, ConjugateCompletionYieldsRealInverse) {
    // Bins 0..N/2 of a real signal's spectrum, completed by symmetry, invert to that signal.
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> dist(-1.0F, 1.0F);
    const Fft fft(kN);
    std::array<float, kN> x{};
    for (float& v : x) {
        v = dist(rng);
    }
    std::array<float, kN> re{};
    std::array<float, kN> im{};
    fft.forwardReal(x, re, im);
    for (std::size_t k = kN / 2 + 1; k < kN; ++k) {
        re[k] = 1e6F;  // garbage that the completion must overwrite
        im[k] = -1e6F;
    }
    fft.completeConjugateSymmetry(re, im);
    fft.inverse(re, im);
    for (std::size_t i = 0; i < kN; ++i) {
        ASSERT_NEAR(re[i], x[i], 1e-5F);
        ASSERT_NEAR(im[i], 0.0F, 1e-5F);
    }
}

TEST(Fft, LengthsBelowTwoLeaveArraysUnchanged) {
    // N = 0 and N = 1 are identities, forward and inverse.
    const Fft one(1);
    std::array<float, 1> re{0.75F};
    std::array<float, 1> im{-0.25F};
    one.forward(re, im);
    one.inverse(re, im);
    EXPECT_EQ(re[0], 0.75F);
    EXPECT_EQ(im[0], -0.25F);
    const Fft zero(0);
    zero.forward(std::span<float>{}, std::span<float>{});
    EXPECT_EQ(zero.size(), 0U);
}

TEST(FftDeathTest, MismatchedLengthsAndBadSizesAreFatal) {
    // Indices outside either array can never be touched: a wrong length stops the process.
    const Fft fft(8);
    std::array<float, 8> re{};
    std::array<float, 4> shortIm{};
    EXPECT_DEATH(fft.forward(re, shortIm), "fft array length");
    EXPECT_DEATH(Fft{12}, "power of two");
}

}  // namespace
}  // namespace amberlin::core
