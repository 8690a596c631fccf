// The synthesis kernels side by side: each vector kernel against the scalar sine over
// the whole argument range, and the 16-bit result of a multisine through each kernel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "gen_signal.h"

namespace {

// The 8 plain lanes run the AVX-512 kernel's code everywhere, so that a fault in its
// masks, remainders or interleave shows on processors without AVX-512 too.
const SynthKernel VECTOR_KERNELS[] = {KERNEL_AVX2, KERNEL_AVX512, KERNEL_LANES8};

const char *nameOf(SynthKernel k)
{
    return k == KERNEL_AVX512 ? "avx512"
           : k == KERNEL_AVX2 ? "avx2"
           : k == KERNEL_LANES8 ? "lanes8"
                                : "scalar";
}

// Distance in units in the last place of the scalar result.
double ulpDistance(double got, double want)
{
    if (got == want) return 0;
    double ulp = std::nextafter(std::fabs(want), INFINITY) - std::fabs(want);
    return std::fabs(got - want) / ulp;
}

// One component of amplitude 1 through the kernel: x[n] = sin((n * step) * f + p).
// Checks the samples against the scalar sine and that nothing past the end is written.
double worstUlp(SynthKernel kernel, int size, int fs, double f, double p)
{
    const double SENTINEL = 12345.0;
    std::vector<double> x(size + 8, 0.0);
    for (int n = size; n < size + 8; n++) x[n] = SENTINEL;
    sumComponentsWith(kernel, x.data(), size, &f, std::vector<double>{1.0}.data(), &p, 1, fs);
    const double step = TWO_PI / fs;
    double worst = 0;
    for (int n = 0; n < size; n++) {
        double want = std::sin((static_cast<double>(n) * step) * f + p);
        worst = std::max(worst, ulpDistance(x[n], want));
    }
    for (int n = size; n < size + 8; n++) EXPECT_EQ(x[n], SENTINEL) << "written past the end";
    return worst;
}

std::vector<int16_t> render(SynthKernel kernel, int size, int fs, const std::vector<double> &f,
                            const std::vector<double> &a, const std::vector<double> &p)
{
    std::vector<double> x(size, 0.0);
    sumComponentsWith(kernel, x.data(), size, f.data(), a.data(), p.data(),
                      static_cast<int>(f.size()), fs);
    std::vector<int16_t> out(size);
    EXPECT_EQ(makeSoundSignal(x.data(), BUF_DOUBLE, size, size / 10, -15, out.data()), out.data());
    return out;
}

}  // namespace

TEST(Kernels, ChoiceIsTheWidestSupported)
{
    SynthKernel chosen = chooseKernel();
    EXPECT_TRUE(kernelSupported(chosen));
    if (kernelSupported(KERNEL_AVX512)) {
        EXPECT_EQ(chosen, KERNEL_AVX512);
    }
    EXPECT_TRUE(kernelSupported(KERNEL_SCALAR));
}

TEST(Kernels, ScalarOrderIsBitIdenticalToReference)
{
    std::vector<double> f{0, 440, 1000.5, -300, 5999}, a{0.3, 1, 0.5, 2, 1e-3},
        p{0, 0.1, -2, 3e6, 1};
    for (int size : {1, 7, 1000}) {
        std::vector<double> ref(size, 0.0), alt(size, 0.0);
        sumComponentsWith(KERNEL_REFERENCE, ref.data(), size, f.data(), a.data(), p.data(), 5, 12000);
        sumComponentsWith(KERNEL_SCALAR, alt.data(), size, f.data(), a.data(), p.data(), 5, 12000);
        EXPECT_EQ(ref, alt);
    }
}

TEST(Kernels, VectorSineMatchesScalarSineOverTheWholeRange)
{
    std::mt19937_64 rng(20261208);
    for (SynthKernel k : VECTOR_KERNELS) {
        if (!kernelSupported(k)) {
            std::printf("%s kernel not supported here: not tested\n", nameOf(k));
            continue;
        }
        double worst = 0;
        // Arguments starting at each power of two up to 2^31 (both signs), so that
        // the direct path, the reduced path and the hand-over between them are covered.
        for (int e = -4; e <= 31; e++) {
            double start = std::ldexp(1.0, e);
            for (double sign : {1.0, -1.0}) {
                double f = std::uniform_real_distribution<double>(20, 20000)(rng);
                worst = std::max(worst, worstUlp(k, 1003, 48000, f, sign * start));
            }
        }
        // Arguments within rounding of a multiple of pi, where the sine is smallest.
        for (double m : {1.0, 3.0, 1e3, 123457.0, 2e6, 3e8, 6.8e8}) {
            double p = std::nearbyint(m) * M_PI;
            worst = std::max(worst, worstUlp(k, 64, 48000, 1e-9, p));
        }
        // Arguments that grow past 2^23 within one component, over several blocks.
        worst = std::max(worst, worstUlp(k, 50000, 48000, 23999.5, 0.7));
        worst = std::max(worst, worstUlp(k, 10001, 48000, 20000, VECTOR_SINE_LIMIT - 40000));
        std::printf("%s kernel: worst distance %.2f ulp\n", nameOf(k), worst);
        EXPECT_LE(worst, 4.0) << nameOf(k);
    }
}

TEST(Kernels, VectorSineOnItsOwn)
{
    // Arguments spread evenly in magnitude over 2^-30 .. 2^31 and both signs, and
    // arguments at the doubles nearest to multiples of pi/2, where the reduction loses
    // most and the result is smallest or must be exactly +-1.
    std::mt19937_64 rng(31);
    std::vector<double> args;
    for (int i = 0; i < 200000; i++) {
        double magnitude = std::ldexp(1.0, -30 + static_cast<int>(rng() % 61));
        double x = magnitude * std::uniform_real_distribution<double>(1.0, 2.0)(rng);
        args.push_back(x < VECTOR_SINE_LIMIT ? (i % 2 ? x : -x) : 1.0);
    }
    for (double m = 1; m < 1.3e9; m = m * 1.7 + 1) {
        double x = std::nearbyint(m) * (M_PI / 2);
        args.insert(args.end(), {x, std::nextafter(x, 0.0), std::nextafter(x, INFINITY), -x});
    }
    args.insert(args.end(), {0.0, -0.0, 1e-300, 5e-324});
    std::vector<double> got(args.size());
    for (SynthKernel k : VECTOR_KERNELS) {
        if (!kernelSupported(k)) continue;
        sineWith(k, args.data(), got.data(), static_cast<int>(args.size()));
        double worst = 0;
        for (size_t i = 0; i < args.size(); i++) {
            double d = ulpDistance(got[i], std::sin(args[i]));
            if (d > worst) worst = d;
            ASSERT_LE(d, 4.0) << nameOf(k) << " sin(" << args[i] << ")";
        }
        std::printf("%s sine alone: worst distance %.2f ulp over %zu arguments\n", nameOf(k),
                    worst, args.size());
    }
}

TEST(Kernels, BeyondTheVectorRangeTheScalarSineIsUsed)
{
    for (SynthKernel k : VECTOR_KERNELS) {
        if (!kernelSupported(k)) continue;
        EXPECT_EQ(worstUlp(k, 100, 48000, 440, 3e9), 0.0) << nameOf(k);
        EXPECT_EQ(worstUlp(k, 100, 48000, 440, -1e15), 0.0) << nameOf(k);
        std::vector<double> x(9, 0.0);
        double f = 440, a = 1, p = NAN;
        sumComponentsWith(k, x.data(), 9, &f, &a, &p, 1, 48000);
        for (double v : x) EXPECT_TRUE(std::isnan(v));
    }
}

TEST(Kernels, SixteenBitOutputAgreesWithTheReference)
{
    // A fixed 256-component multisine, one second at 48 kHz.
    std::mt19937_64 rng(42);
    std::vector<double> f, a, p;
    for (int j = 0; j < 256; j++) {
        f.push_back(std::uniform_real_distribution<double>(20, 24000)(rng));
        a.push_back(std::uniform_real_distribution<double>(0.1, 1)(rng));
        p.push_back(std::uniform_real_distribution<double>(-M_PI, M_PI)(rng));
    }
    f[7] = 0.0;  // and a constant offset
    const int size = 48000;
    std::vector<int16_t> ref = render(KERNEL_REFERENCE, size, 48000, f, a, p);
    for (SynthKernel k : {KERNEL_SCALAR, KERNEL_AVX2, KERNEL_AVX512}) {
        if (!kernelSupported(k)) continue;
        std::vector<int16_t> got = render(k, size, 48000, f, a, p);
        int differing = 0;
        for (int n = 0; n < size; n++) {
            ASSERT_LE(std::abs(got[n] - ref[n]), 1) << nameOf(k) << " sample " << n;
            differing += got[n] != ref[n];
        }
        EXPECT_LE(differing, size / 10000) << nameOf(k);
    }
}

TEST(Kernels, EveryRemainderOfTheVectorLoops)
{
    // Counts 1 .. 100: up to three interleaved passes of 4 vectors of 8 lanes and every
    // remainder after them, from pointers off any alignment, with 1 to 17 components,
    // and two blocks whose second is short; sentinels on both sides catch a write
    // outside.
    const double SENTINEL = 12345.0;
    const int GUARD = 9;
    std::vector<int> sizes;
    for (int size = 1; size <= 100; size++) sizes.push_back(size);
    sizes.push_back(BLOCK_SAMPLES + 13);
    std::mt19937_64 rng(8);
    std::uniform_real_distribution<double> uniform(0.1, 1.0);
    std::vector<double> f, a, p;
    for (int j = 0; j < 17; j++) {
        f.push_back(uniform(rng) * 20000);
        a.push_back(uniform(rng));
        p.push_back(uniform(rng) * 6 - 3);
    }
    for (SynthKernel k : VECTOR_KERNELS) {
        if (!kernelSupported(k)) continue;
        for (int size : sizes) {
            const int offset = size % 8;
            const int count = 1 + size % 17;
            std::vector<double> in(size), sine(size + 2 * GUARD, SENTINEL);
            for (int i = 0; i < size; i++) in[i] = (uniform(rng) - 0.55) * 1e4;
            sineWith(k, in.data(), sine.data() + GUARD, size);
            std::vector<double> got(size + 2 * GUARD, SENTINEL), want(size, 0.0);
            std::fill(got.begin() + offset, got.begin() + offset + size, 0.0);
            sumComponentsWith(k, got.data() + offset, size, f.data(), a.data(), p.data(), count,
                              44100);
            sumComponentsWith(KERNEL_SCALAR, want.data(), size, f.data(), a.data(), p.data(),
                              count, 44100);
            // Each sine may differ from the scalar one by 4 ulp, the bound of the tests
            // above; the product and the sum, rounded from these slightly different
            // values, by one ulp more each, at most count ulp of 1 for the sum.
            const double tolerance = count * (5 + count) * std::ldexp(1.0, -52);
            for (int i = 0; i < size; i++) {
                ASSERT_LE(ulpDistance(sine[GUARD + i], std::sin(in[i])), 4.0)
                    << nameOf(k) << " sine of " << size << ", argument " << i;
                ASSERT_NEAR(got[offset + i], want[i], tolerance)
                    << nameOf(k) << " " << size << " samples of " << count << ", sample " << i;
            }
            for (int i = 0; i < GUARD; i++) {
                ASSERT_EQ(sine[i], SENTINEL) << nameOf(k) << " sine written before " << size;
                ASSERT_EQ(sine[GUARD + size + i], SENTINEL) << nameOf(k) << " sine past " << size;
            }
            // Where AVX-512 runs, the plain lanes give its bits, or they test other code.
            if (k == KERNEL_LANES8 && kernelSupported(KERNEL_AVX512)) {
                std::vector<double> avx512(size, 0.0);
                sumComponentsWith(KERNEL_AVX512, avx512.data(), size, f.data(), a.data(),
                                  p.data(), count, 44100);
                ASSERT_TRUE(std::equal(avx512.begin(), avx512.end(), got.begin() + offset)) << size;
            }
            for (int i = 0; i < offset; i++) ASSERT_EQ(got[i], SENTINEL) << nameOf(k);
            for (int i = offset + size; i < size + 2 * GUARD; i++)
                ASSERT_EQ(got[i], SENTINEL) << nameOf(k) << " written past " << size;
        }
    }
}
