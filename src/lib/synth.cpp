#include "synth.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

// Samples outer, components inner: the order in which the sum is defined. x[0] is
// sample begin.
void sumReference(double *x, int begin, int end, const double *freq, const double *amp,
                  const double *phase, int count, double step)
{
    for (int n = begin; n < end; n++) {
        double &s = x[n - begin];
        for (int j = 0; j < count; j++) {
            if (freq[j] == 0.0)
                s = s + amp[j];
            else
                s = std::sin((static_cast<double>(n) * step) * freq[j] + phase[j]) * amp[j] + s;
        }
    }
}

// One component of non-zero frequency added to x[i] for i below count with the scalar
// sine; nStep[i] = n * step of sample n.
void addSineScalar(double *x, const double *nStep, int count, double f, double a, double p)
{
    for (int i = 0; i < count; i++) x[i] = std::sin(nStep[i] * f + p) * a + x[i];
}

// Whether every argument (n * step) * f + p for n below end lies within reach of the
// vector sine. The bound carries a small margin for the rounding of the argument.
bool vectorRange(int end, double step, double f, double p)
{
    double bound = (std::fabs((static_cast<double>(end) * step) * f) + std::fabs(p)) * 1.000001;
    return bound < VECTOR_SINE_LIMIT;  // false for a bound that is not a number
}

// pi in three parts for the reduction r = x - k pi with fused multiply-adds: for
// |x| < 2^31 the first step is exact, and r keeps a relative error of about one unit
// in the last place even next to a multiple of pi.
constexpr double PI_1 = 3.141592653589793116;
constexpr double PI_2 = 1.2246467991473532e-16;
constexpr double PI_3 = -2.9947698097183397e-33;
constexpr double INV_PI = 0.31830988618379067154;
// Adding 1.5 * 2^52 rounds to an integer and leaves its parity in the lowest bit of
// the representation.
constexpr double ROUND_MAGIC = 6755399441055744.0;
// The series of sin r: T(2i+1) = (-1)^i / (2i+1)!.
constexpr double T3 = -0.16666666666666666, T5 = 0.008333333333333333,
                 T7 = -0.0001984126984126984, T9 = 2.7557319223985893e-06,
                 T11 = -2.505210838544172e-08, T13 = 1.6059043836821613e-10,
                 T15 = -7.647163731819816e-13, T17 = 2.8114572543455206e-15,
                 T19 = -8.22063524662433e-18, T21 = 1.9572941063391263e-20;
// Horner's scheme in z = r^2 starts with T21 z + T19 and goes on with these.
constexpr double HORNER_REST[] = {T17, T15, T13, T11, T9, T7, T5, T3};

// The lanes of an 8-lane vector that hold samples when remaining are left: bit i for
// lane i, all eight when 8 or more remain.
constexpr unsigned lanes8Mask(int remaining)
{
    return remaining >= 8 ? 0xffu : (1u << remaining) - 1u;
}

// The 8-lane code of the AVX-512 kernel with plain arrays for its vectors: the same
// template, lane masks and operations (std::fma rounds once, as the fused instructions
// do), so the same bits on any processor. The tests run it everywhere, so that a fault
// in the 8-lane masks, remainders or interleave shows where AVX-512 is missing too. The
// program never chooses it: with a library call for each multiply-add it is about 40
// times slower than the AVX2 kernel.
namespace lanes8 {
#define VTARGET
constexpr int WIDTH = 8;
struct vd {
    double lane[WIDTH];
};
#define EACH_LANE(i) for (int i = 0; i < WIDTH; i++)
inline vd vset1(double v)
{
    vd r;
    EACH_LANE(i) r.lane[i] = v;
    return r;
}
inline vd vadd(vd a, vd b)
{
    EACH_LANE(i) a.lane[i] = a.lane[i] + b.lane[i];
    return a;
}
inline vd vsub(vd a, vd b)
{
    EACH_LANE(i) a.lane[i] = a.lane[i] - b.lane[i];
    return a;
}
inline vd vmul(vd a, vd b)
{
    EACH_LANE(i) a.lane[i] = a.lane[i] * b.lane[i];
    return a;
}
inline vd vfma(vd a, vd b, vd c)
{
    EACH_LANE(i) a.lane[i] = std::fma(a.lane[i], b.lane[i], c.lane[i]);
    return a;
}
inline vd vfnma(vd a, vd b, vd c)
{
    EACH_LANE(i) a.lane[i] = std::fma(-a.lane[i], b.lane[i], c.lane[i]);
    return a;
}
// As the AVX-512 masked load: the lanes past the end read nothing and hold 0.
inline vd vload(const double *p, int remaining)
{
    vd r;
    EACH_LANE(i) r.lane[i] = lanes8Mask(remaining) >> i & 1u ? p[i] : 0.0;
    return r;
}
inline void vstore(double *p, vd v, int remaining)
{
    EACH_LANE(i) if (lanes8Mask(remaining) >> i & 1u) p[i] = v.lane[i];
}
// Negates the lanes whose rounded k (in the lowest bit of shifted) is odd.
inline vd vflipOdd(vd v, vd shifted)
{
    EACH_LANE(i)
    {
        uint64_t bits, k;
        std::memcpy(&bits, &v.lane[i], sizeof bits);
        std::memcpy(&k, &shifted.lane[i], sizeof k);
        bits ^= k << 63;
        std::memcpy(&v.lane[i], &bits, sizeof bits);
    }
    return v;
}
#undef EACH_LANE
#include "vector_sine.inc"
#undef VTARGET
}  // namespace lanes8

#if defined(__x86_64__)

// Every function of a vector namespace is compiled for its instruction set alone,
// so that nothing of a wider set leaks into the code for a narrower one.
namespace avx2 {
#define VTARGET __attribute__((target("avx2,fma")))
using vd = __m256d;
constexpr int WIDTH = 4;
VTARGET inline vd vset1(double v) { return _mm256_set1_pd(v); }
VTARGET inline vd vadd(vd a, vd b) { return _mm256_add_pd(a, b); }
VTARGET inline vd vsub(vd a, vd b) { return _mm256_sub_pd(a, b); }
VTARGET inline vd vmul(vd a, vd b) { return _mm256_mul_pd(a, b); }
VTARGET inline vd vfma(vd a, vd b, vd c) { return _mm256_fmadd_pd(a, b, c); }
VTARGET inline vd vfnma(vd a, vd b, vd c) { return _mm256_fnmadd_pd(a, b, c); }
VTARGET inline __m256i laneMask(int remaining)
{
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(remaining), _mm256_set_epi64x(3, 2, 1, 0));
}
VTARGET inline vd vload(const double *p, int remaining)
{
    return remaining >= WIDTH ? _mm256_loadu_pd(p) : _mm256_maskload_pd(p, laneMask(remaining));
}
VTARGET inline void vstore(double *p, vd v, int remaining)
{
    if (remaining >= WIDTH)
        _mm256_storeu_pd(p, v);
    else
        _mm256_maskstore_pd(p, laneMask(remaining), v);
}
// Negates the lanes whose rounded k (in the lowest bit of shifted) is odd.
VTARGET inline vd vflipOdd(vd v, vd shifted)
{
    const __m256i sign = _mm256_slli_epi64(_mm256_castpd_si256(shifted), 63);
    return _mm256_xor_pd(v, _mm256_castsi256_pd(sign));
}
#include "vector_sine.inc"
#undef VTARGET
}  // namespace avx2

namespace avx512 {
#define VTARGET __attribute__((target("avx512f")))
using vd = __m512d;
constexpr int WIDTH = 8;
VTARGET inline vd vset1(double v) { return _mm512_set1_pd(v); }
VTARGET inline vd vadd(vd a, vd b) { return _mm512_add_pd(a, b); }
VTARGET inline vd vsub(vd a, vd b) { return _mm512_sub_pd(a, b); }
VTARGET inline vd vmul(vd a, vd b) { return _mm512_mul_pd(a, b); }
VTARGET inline vd vfma(vd a, vd b, vd c) { return _mm512_fmadd_pd(a, b, c); }
VTARGET inline vd vfnma(vd a, vd b, vd c) { return _mm512_fnmadd_pd(a, b, c); }
VTARGET inline __mmask8 laneMask(int remaining)
{
    return static_cast<__mmask8>(lanes8Mask(remaining));
}
VTARGET inline vd vload(const double *p, int remaining)
{
    return _mm512_maskz_loadu_pd(laneMask(remaining), p);
}
VTARGET inline void vstore(double *p, vd v, int remaining)
{
    _mm512_mask_storeu_pd(p, laneMask(remaining), v);
}
// Negates the lanes whose rounded k (in the lowest bit of shifted) is odd.
VTARGET inline vd vflipOdd(vd v, vd shifted)
{
    const __m512i sign = _mm512_maskz_slli_epi64(0xff, _mm512_castpd_si512(shifted), 63);
    return _mm512_castsi512_pd(_mm512_xor_si512(_mm512_castpd_si512(v), sign));
}
#include "vector_sine.inc"
#undef VTARGET
}  // namespace avx512

#endif  // __x86_64__

// One component added to samples begin .. end - 1 by the kernel's sine; x[0] is sample
// begin and nStep[i] = (begin + i) * step.
void addComponent(SynthKernel kernel, double *x, const double *nStep, int begin, int end,
                  double step, double f, double a, double p)
{
    const int count = end - begin;
    if (f == 0.0) {
        for (int i = 0; i < count; i++) x[i] = x[i] + a;
        return;
    }
#if defined(__x86_64__)
    if (kernel == KERNEL_AVX512 && vectorRange(end, step, f, p))
        return avx512::addSine(x, nStep, count, f, a, p);
    if (kernel == KERNEL_AVX2 && vectorRange(end, step, f, p))
        return avx2::addSine(x, nStep, count, f, a, p);
#endif
    if (kernel == KERNEL_LANES8 && vectorRange(end, step, f, p))
        return lanes8::addSine(x, nStep, count, f, a, p);
    addSineScalar(x, nStep, count, f, a, p);
}

}  // namespace

bool kernelSupported(SynthKernel kernel)
{
    switch (kernel) {
    case KERNEL_REFERENCE:
    case KERNEL_SCALAR:
    case KERNEL_LANES8:
        return true;
#if defined(__x86_64__)
    case KERNEL_AVX2:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    case KERNEL_AVX512:
        return __builtin_cpu_supports("avx512f");
#endif
    default:
        return false;
    }
}

SynthKernel chooseKernel()
{
#if defined(SONVEL_REFERENCE_KERNEL)
    return KERNEL_REFERENCE;  // benchmark build: the sum in its defining loop order
#else
    if (kernelSupported(KERNEL_AVX512)) return KERNEL_AVX512;
    if (kernelSupported(KERNEL_AVX2)) return KERNEL_AVX2;
    return KERNEL_SCALAR;
#endif
}

double angularStep(int fs) { return TWO_PI / static_cast<double>(fs); }

void sumBlock(SynthKernel kernel, double *x, int begin, int end, const double *freq,
              const double *amp, const double *phase, int count, double step)
{
    if (kernel == KERNEL_REFERENCE) return sumReference(x, begin, end, freq, amp, phase, count, step);
    // n * step is the same for every component: formed once here, it saves each term a
    // multiplication and gives the same bits as forming it in the term.
    double nStep[BLOCK_SAMPLES];
    for (int n = begin; n < end; n++) nStep[n - begin] = static_cast<double>(n) * step;
    for (int j = 0; j < count; j++)
        addComponent(kernel, x, nStep, begin, end, step, freq[j], amp[j], phase[j]);
}

void sumComponentsWith(SynthKernel kernel, double *x, int size, const double *freq,
                       const double *amp, const double *phase, int count, int fs)
{
    const double step = angularStep(fs);
    for (int begin = 0, end = 0; begin < size; begin = end) {
        end = blockEnd(begin, size);
        sumBlock(kernel, x + begin, begin, end, freq, amp, phase, count, step);
    }
}

void sineWith(SynthKernel kernel, const double *in, double *out, int count)
{
#if defined(__x86_64__)
    if (kernel == KERNEL_AVX512) return avx512::sineArray(in, out, count);
    if (kernel == KERNEL_AVX2) return avx2::sineArray(in, out, count);
#endif
    if (kernel == KERNEL_LANES8) return lanes8::sineArray(in, out, count);
    for (int i = 0; i < count; i++) out[i] = std::sin(in[i]);
}

double synthesisSeconds(SynthKernel kernel, long long size, int count)
{
    // Seconds per term, rounded up from the kernel benchmarks on a current x86-64.
    double perTerm = kernel == KERNEL_AVX512 ? 0.7e-9
                     : kernel == KERNEL_AVX2 ? 1.4e-9
                     : kernel == KERNEL_SCALAR ? 11e-9
                                               : 21e-9;
    return perTerm * static_cast<double>(size) * count;
}

void sumComponents(double *x, int size, const double *freq, const double *amp,
                   const double *phase, int count, int fs)
{
    sumComponentsWith(chooseKernel(), x, size, freq, amp, phase, count, fs);
}
