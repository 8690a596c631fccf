// The FFTW wrapper on a signal whose spectrum is known by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "fft.h"

namespace {

constexpr double PI = 3.14159265358979323846;

// 1 + 2 cos(2 pi i / n) + sin(2 pi 3 i / n): bin 0 holds n, bin 1 n, bin 3 -i n / 2, and
// the inverse gives n times the signal back. Both an even and an odd size.
TEST(RealTransform, ForwardAndInverseOfKnownLines)
{
    for (int n : {8, 9}) {
        RealTransform t;
        ASSERT_TRUE(t.open(n));
        ASSERT_EQ(t.size(), n);
        auto x = [n](int i) { return 1.0 + 2.0 * std::cos(2 * PI * i / n) + std::sin(2 * PI * 3 * i / n); };
        for (int i = 0; i < n; i++) t.signal()[i] = x(i);
        t.toSpectrum();
        for (int k = 0; k <= n / 2; k++) {
            const std::complex<double> expected = k == 0 || k == 1 ? std::complex<double>(n, 0)
                                                  : k == 3         ? std::complex<double>(0, -n / 2.0)
                                                                   : 0.0;
            EXPECT_NEAR(std::abs(t.bin(k) - expected), 0.0, 1e-12) << n << " " << k;
        }
        t.toSignal();
        for (int i = 0; i < n; i++) EXPECT_NEAR(t.signal()[i], n * x(i), 1e-12) << n << " " << i;
    }
}

// A size FFTW cannot plan is refused, holding nothing; a moved transform leaves its
// source closed, and a closed one opens again.
TEST(RealTransform, RefusesSizesAndHandsOverItsBuffers)
{
    RealTransform t;
    EXPECT_FALSE(t.open(0));
    EXPECT_FALSE(t.open(1LL << 31));
    EXPECT_EQ(t.signal(), nullptr);
    ASSERT_TRUE(t.open(16, RealTransform::FORWARD));
    RealTransform u(std::move(t));
    EXPECT_EQ(t.size(), 0);
    EXPECT_EQ(t.spectrum(), nullptr);
    EXPECT_EQ(u.size(), 16);
    ASSERT_TRUE(t.open(4));
    EXPECT_NE(t.signal(), nullptr);
}

}  // namespace
