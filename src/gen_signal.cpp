#include "gen_signal.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <sys/mman.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

using DoubleBuffer = std::unique_ptr<double[], FreeDeleter>;

// Asks for transparent huge pages on the 2 MiB-aligned interior of a large, still
// untouched buffer: a long signal then takes a few hundred page faults instead of
// hundreds of thousands, which on this kind of machine costs more than the synthesis.
// Where the system does not allow it, nothing changes. (SONVEL_NO_HUGE_PAGES builds a
// program without it, to measure what it brings.)
void adviseHugePages(void *p, size_t bytes)
{
#if defined(MADV_HUGEPAGE) && !defined(SONVEL_NO_HUGE_PAGES)
    const uintptr_t HUGE_PAGE = 2u << 20;
    if (bytes < 2 * HUGE_PAGE) return;
    uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(HUGE_PAGE - 1);
    if (end > begin) madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

// Zero-filled buffer of n elements, released with free; an empty request still gets a
// valid pointer.
template <typename T>
T *allocZeroed(int n)
{
    if (n < 0) return nullptr;
    size_t count = n > 0 ? static_cast<size_t>(n) : 1;
    T *p = static_cast<T *>(std::calloc(count, sizeof(T)));
    if (p) adviseHugePages(p, count * sizeof(T));
    return p;
}

// Refuses a signal size or a fade length that the window between the fades cannot
// hold: the size must be at least 1 and the two fades together no longer than it.
bool badSizes(const char *function, int size, int taper)
{
    if (size >= 1 && taper >= 0 && 2LL * taper <= size) return false;
    std::fprintf(stderr, "ERROR: %s(): cannot use %d samples with fades of %d samples.\n",
                 function, size, taper);
    return true;
}

// Sum of the squares of samples taper .. size - taper - 1 in index order, each
// addition rounded to double as it happens.
template <typename T>
double sumOfSquares(const T *s, int size, int taper)
{
    double sum = 0.0;
    for (int n = taper; n < size - taper; n++) {
        double v = s[n];
        sum = sum + v * v;
    }
    return sum;
}

double meanOf(double sum, int size, int taper)
{
    return sum / static_cast<double>(size - 2 * taper);
}

double decibels(double mean) { return 10.0 * std::log10(mean / FULL_SCALE / FULL_SCALE); }

}  // namespace

void measureBlock(const double *x, int begin, int end, int size, int taper, SignalMeasure *m)
{
    const int windowEnd = size - taper;
    for (int n = begin; n < end; n++) {
        double v = x[n - begin];
        double a = std::fabs(v);
        m->hasNaN |= std::isnan(v);
        m->maxAbs = a > m->maxAbs ? a : m->maxAbs;
        if (n >= taper && n < windowEnd) {
            m->sum = m->sum + v * v;
            m->maxAbsWindow = a > m->maxAbsWindow ? a : m->maxAbsWindow;
        }
    }
}

int decideGain(const SignalMeasure *m, int size, int taper, int level, double componentPower,
               double *gain)
{
    const char *const PREFIX = "ERROR: makeSoundSignal(): cannot set the power level: ";
    const double mean = meanOf(m->sum, size, taper);
    const double p = decibels(mean);
    *gain = std::pow(10.0, (static_cast<double>(level) - p) / 20.0);
    // Rounding is monotonic, so the largest scaled magnitude is the largest magnitude
    // scaled: the same peak as scaling every sample and comparing.
    const double peak = m->maxAbs * *gain;
    if (peak > FULL_SCALE) {
        std::fputs("ERROR: signal overflow. Decrease power level.\n", stderr);
        std::fprintf(stderr, "Maximal value before substitution to short (16-bit): %.1f (%f dB)\n",
                     peak, 20.0 * std::log10(peak / FULL_SCALE));
        return 1;
    }
    // An empty or silent measuring window, or parameters that are not finite, leave
    // no power to scale from; converting the resulting not-a-numbers would write a
    // full-scale constant.
    if (!std::isfinite(p)) {
        std::fprintf(stderr, "%sthe signal power between the fades is not a finite number.\n",
                     PREFIX);
        return 1;
    }
    // Below the smallest normal double the power has lost its precision: squares of
    // amplitudes such as 2e-157 measure -15.26 dB where -15 was asked.
    if (!std::isnormal(mean)) {
        std::fprintf(stderr, "%sthe signal power between the fades is too small to measure.\n",
                     PREFIX);
        return 1;
    }
    // Components that cancel leave rounding noise, which scaling would amplify.
    if (mean < componentPower * CANCEL_RATIO) {
        std::fprintf(stderr,
                     "%sthe components cancel: the signal power between the fades is more "
                     "than 100 dB below the sum of their squared amplitudes.\n",
                     PREFIX);
        return 1;
    }
    if (m->hasNaN) {
        std::fprintf(stderr, "%sthe scaled signal holds values that are not numbers.\n", PREFIX);
        return 1;
    }
    // Truncation gives 0 for every magnitude below 1.
    if (m->maxAbsWindow * *gain < 1.0) {
        std::fprintf(stderr,
                     "%severy 16-bit sample between the fades would be 0: the level is below "
                     "what 16 bits can hold.\n",
                     PREFIX);
        return 1;
    }
    return 0;
}

double componentPowerOf(const double *amp, int count)
{
    double sum = 0.0;
    for (int j = 0; j < count; j++) sum = sum + amp[j] * amp[j];
    return sum;
}

double calcPower(const void *signal, int bufType, int size, int taper)
{
    if (bufType != BUF_SHORT && bufType != BUF_DOUBLE) {
        std::fputs("Error: calcPower(): illegal buf_type\n", stderr);
        std::exit(1);
    }
    if (badSizes("calcPower", size, taper)) return NAN;
    double sum = bufType == BUF_SHORT
                     ? sumOfSquares(static_cast<const int16_t *>(signal), size, taper)
                     : sumOfSquares(static_cast<const double *>(signal), size, taper);
    return decibels(meanOf(sum, size, taper));
}

void addTaper(double *x, int size, int taper)
{
    if (badSizes("addTaper", size, taper)) return;
    // Fade-in factors 0, 1/T, .., (T-1)/T; fade-out factors T/T, .., 1/T.
    for (int n = 0; n < taper; n++)
        x[n] = (static_cast<double>(n) / static_cast<double>(taper)) * x[n];
    for (int n = size - taper; n < size; n++)
        x[n] = (static_cast<double>(size - n) / static_cast<double>(taper)) * x[n];
}

double scale(double *x, int size, double gain)
{
    // The largest magnitude does not depend on the order in which the samples are
    // compared, so four running peaks over interleaved samples give the same result
    // as one, without a chain of dependent comparisons. A not-a-number sample never
    // raises a peak.
    double peak[4] = {0.0, 0.0, 0.0, 0.0};
    int n = 0;
    for (; size - n >= 4; n += 4) {
        for (int k = 0; k < 4; k++) {
            double y = x[n + k] * gain;
            peak[k] = y > peak[k] ? y : peak[k];
            peak[k] = -y > peak[k] ? -y : peak[k];
            x[n + k] = y;
        }
    }
    for (; n < size; n++) {
        double y = x[n] * gain;
        peak[0] = y > peak[0] ? y : peak[0];
        peak[0] = -y > peak[0] ? -y : peak[0];
        x[n] = y;
    }
    double result = 0.0;
    for (double p : peak) result = p > result ? p : result;
    return result;
}

namespace {

int16_t *soundSignal(const void *signal, int bufType, int size, int taper, int level,
                     int16_t *out, double componentPower)
{
    if (badSizes("makeSoundSignal", size, taper)) return nullptr;
    DoubleBuffer work(allocZeroed<double>(size));
    if (!work) {
        std::fputs("ERROR: makeSoundSignal(): cannot allocate internal signal buffer.\n", stderr);
        return nullptr;
    }
    if (bufType == BUF_DOUBLE) {
        const double *s = static_cast<const double *>(signal);
        for (int n = 0; n < size; n++) work[n] = s[n];
    } else if (bufType == BUF_SHORT) {
        const int16_t *s = static_cast<const int16_t *>(signal);
        for (int n = 0; n < size; n++) work[n] = s[n];
    } else {
        std::fputs("Error: makeSoundSignal(): illegal buf_type\n", stderr);
        work.reset();
        std::exit(1);
    }

    addTaper(work.get(), size, taper);
    SignalMeasure m;
    measureBlock(work.get(), 0, size, size, taper, &m);
    double gain = 0.0;
    if (decideGain(&m, size, taper, level, componentPower, &gain)) return nullptr;
    scale(work.get(), size, gain);

    if (!out) {
        out = allocZeroed<int16_t>(size);
        if (!out) {
            std::fputs("error: makeSoundSignal(): cannot allocate iwave.\n", stderr);
            return nullptr;
        }
    }
    // Truncation toward zero; every value lies within +-32767 here.
    for (int n = 0; n < size; n++) out[n] = static_cast<int16_t>(work[n]);
    return out;
}

}  // namespace

int16_t *makeSoundSignal(const void *signal, int bufType, int size, int taper, int level,
                         int16_t *out)
{
    // Without the components there is no power of theirs to compare with.
    return soundSignal(signal, bufType, size, taper, level, out, 0.0);
}

namespace {

// Samples outer, components inner: the order in which the sum is defined.
void sumReference(double *x, int size, const double *freq, const double *amp,
                  const double *phase, int count, double step)
{
    for (int n = 0; n < size; n++) {
        for (int j = 0; j < count; j++) {
            if (freq[j] == 0.0)
                x[n] = x[n] + amp[j];
            else
                x[n] = std::sin((static_cast<double>(n) * step) * freq[j] + phase[j]) * amp[j] + x[n];
        }
    }
}

// One component of non-zero frequency added to samples begin .. end - 1 with the
// scalar sine.
void addSineScalar(double *x, int begin, int end, double step, double f, double a, double p)
{
    for (int n = begin; n < end; n++)
        x[n] = std::sin((static_cast<double>(n) * step) * f + p) * a + x[n];
}

// Whether every argument (n * step) * f + p for n below end lies within reach of the
// vector sine. The bound carries a small margin for the rounding of the argument.
bool vectorRange(int end, double step, double f, double p)
{
    double bound = (std::fabs((static_cast<double>(end) * step) * f) + std::fabs(p)) * 1.000001;
    return bound < VECTOR_SINE_LIMIT;  // false for a bound that is not a number
}

#if defined(__x86_64__)

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

// Every function of a vector namespace is compiled for its instruction set alone,
// so that nothing of a wider set leaks into the code for a narrower one.
namespace avx2 {
#define VTARGET __attribute__((target("avx2,fma")))
using vd = __m256d;
constexpr int WIDTH = 4;
VTARGET inline vd vset1(double v) { return _mm256_set1_pd(v); }
VTARGET inline vd vramp() { return _mm256_set_pd(3.0, 2.0, 1.0, 0.0); }
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
VTARGET inline vd vramp() { return _mm512_set_pd(7.0, 6.0, 5.0, 4.0, 3.0, 2.0, 1.0, 0.0); }
VTARGET inline vd vadd(vd a, vd b) { return _mm512_add_pd(a, b); }
VTARGET inline vd vsub(vd a, vd b) { return _mm512_sub_pd(a, b); }
VTARGET inline vd vmul(vd a, vd b) { return _mm512_mul_pd(a, b); }
VTARGET inline vd vfma(vd a, vd b, vd c) { return _mm512_fmadd_pd(a, b, c); }
VTARGET inline vd vfnma(vd a, vd b, vd c) { return _mm512_fnmadd_pd(a, b, c); }
VTARGET inline __mmask8 laneMask(int remaining)
{
    return static_cast<__mmask8>(remaining >= WIDTH ? 0xffu : (1u << remaining) - 1u);
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

// Samples per block: the block's share of the signal stays in the first-level cache
// while every component is added to it.
constexpr int BLOCK_SAMPLES = 2048;

// One component added to samples begin .. end - 1 by the kernel's sine.
void addComponent(SynthKernel kernel, double *x, int begin, int end, double step, double f,
                  double a, double p)
{
    if (f == 0.0) {
        for (int n = begin; n < end; n++) x[n] = x[n] + a;
        return;
    }
#if defined(__x86_64__)
    if (kernel == KERNEL_AVX512 && vectorRange(end, step, f, p))
        return avx512::addSine(x, begin, end, step, f, a, p);
    if (kernel == KERNEL_AVX2 && vectorRange(end, step, f, p))
        return avx2::addSine(x, begin, end, step, f, a, p);
#endif
    addSineScalar(x, begin, end, step, f, a, p);
}

// Blocks of samples outer, components in table order, samples of the block inner:
// every sample still takes the components in table order. With showProgress, a single line on standard error counts the percent done and is
// erased at the end, so that the terminal shows only what was there before.
void sumByComponent(SynthKernel kernel, double *x, int size, const double *freq,
                    const double *amp, const double *phase, int count, double step,
                    bool showProgress)
{
    int shown = -1;
    for (int begin = 0, end = 0; begin < size; begin = end) {
        if (showProgress) {
            int percent = static_cast<int>(100.0 * begin / size);
            if (percent != shown) std::fprintf(stderr, "\rsynthesis: %3d%%", percent);
            shown = percent;
        }
        end = size - begin > BLOCK_SAMPLES ? begin + BLOCK_SAMPLES : size;
        for (int j = 0; j < count; j++)
            addComponent(kernel, x, begin, end, step, freq[j], amp[j], phase[j]);
    }
    if (showProgress) std::fputs("\r               \r", stderr);
}

}  // namespace

bool kernelSupported(SynthKernel kernel)
{
    switch (kernel) {
    case KERNEL_REFERENCE:
    case KERNEL_SCALAR:
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

namespace {

void sumAll(SynthKernel kernel, double *x, int size, const double *freq, const double *amp,
            const double *phase, int count, int fs, bool showProgress)
{
    const double step = TWO_PI / static_cast<double>(fs);
    if (kernel == KERNEL_REFERENCE)
        sumReference(x, size, freq, amp, phase, count, step);
    else
        sumByComponent(kernel, x, size, freq, amp, phase, count, step, showProgress);
}

}  // namespace

void sumComponentsWith(SynthKernel kernel, double *x, int size, const double *freq,
                       const double *amp, const double *phase, int count, int fs)
{
    sumAll(kernel, x, size, freq, amp, phase, count, fs, false);
}

void sineWith(SynthKernel kernel, const double *in, double *out, int count)
{
#if defined(__x86_64__)
    if (kernel == KERNEL_AVX512) return avx512::sineArray(in, out, count);
    if (kernel == KERNEL_AVX2) return avx2::sineArray(in, out, count);
#endif
    (void)kernel;
    for (int i = 0; i < count; i++) out[i] = std::sin(in[i]);
}

double synthesisSeconds(SynthKernel kernel, int size, int count)
{
    // Seconds per term, rounded up from the kernel benchmarks on a current x86-64.
    double perTerm = kernel == KERNEL_AVX512 ? 0.7e-9
                     : kernel == KERNEL_AVX2 ? 1.4e-9
                     : kernel == KERNEL_SCALAR ? 11e-9
                                               : 21e-9;
    return perTerm * size * count;
}

void sumComponents(double *x, int size, const double *freq, const double *amp,
                   const double *phase, int count, int fs)
{
    sumComponentsWith(chooseKernel(), x, size, freq, amp, phase, count, fs);
}

int16_t *generateComplexSine(int size, int taper, int level, const double *freq,
                             const double *amp, const double *phase, int count, int fs,
                             int16_t *out)
{
    if (badSizes("generateComplexSine", size, taper)) return nullptr;
    DoubleBuffer x(allocZeroed<double>(size));
    if (!x) {
        std::fputs("ERROR: generateComplexSine(): cannot allocate enough space for signal.\n",
                   stderr);
        return nullptr;
    }
    // A long synthesis shows its progress, but only to a person at a terminal.
    const SynthKernel kernel = chooseKernel();
    sumAll(kernel, x.get(), size, freq, amp, phase, count, fs,
           isatty(STDERR_FILENO) && synthesisSeconds(kernel, size, count) > 1.0);
    int16_t *result = soundSignal(x.get(), BUF_DOUBLE, size, taper, level, out,
                                  componentPowerOf(amp, count));
    x.reset();
    if (!result) {
        std::fputs("ERROR: Fail to exec makeSoundSignal.\n", stderr);
        return nullptr;
    }
    return result;
}
