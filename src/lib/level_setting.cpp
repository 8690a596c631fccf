// The engine's work on one block of a signal and on the whole: the fades, the
// measures between them (squares and peaks), the level setting with its refusals, and
// the 16-bit conversion of the specified path.
#include "engine.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>

#include "sizes.h"

void taperBlock(double *x, int begin, int end, int size, int taper)
{
    // Fade-in factors 0, 1/T, .., (T-1)/T; fade-out factors T/T, .., 1/T. The two fades
    // never overlap, so each sample takes at most one factor.
    for (int n = begin; n < end && n < taper; n++)
        x[n - begin] = (static_cast<double>(n) / static_cast<double>(taper)) * x[n - begin];
    for (int n = begin > size - taper ? begin : size - taper; n < end; n++)
        x[n - begin] = (static_cast<double>(size - n) / static_cast<double>(taper)) * x[n - begin];
}

void measureBlock(const double *x, int begin, int end, int size, int taper, SignalMeasure *m)
{
    peakBlock(x, begin, end, size, taper, m);
    m->sum = addSquares(x, begin, end, size, taper, m->sum);
}

namespace {

// The largest magnitude of count samples (not-a-numbers aside, as a > max is false for
// them) and whether one is not a number. The largest does not depend on the order of
// comparison, so four running maxima are kept side by side.
double largestMagnitude(const double *x, int count, bool *hasNaN)
{
    double largest = 0.0;
    bool nan = false;
    int n = 0;
#if defined(__SSE2__)
    // _mm_max_pd(a, m) gives m where a is not a number, as a > m ? a : m does.
    const __m128d ABS = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    __m128d m0 = _mm_setzero_pd(), m1 = m0, unordered = m0;
    for (; n + 4 <= count; n += 4) {
        const __m128d a0 = _mm_and_pd(_mm_loadu_pd(x + n), ABS);
        const __m128d a1 = _mm_and_pd(_mm_loadu_pd(x + n + 2), ABS);
        unordered = _mm_or_pd(unordered, _mm_cmpunord_pd(a0, a1));
        m0 = _mm_max_pd(a0, m0);
        m1 = _mm_max_pd(a1, m1);
    }
    double lanes[2];
    _mm_storeu_pd(lanes, _mm_max_pd(m0, m1));
    largest = std::max(lanes[0], lanes[1]);
    nan = _mm_movemask_pd(unordered) != 0;
#endif
    for (; n < count; n++) {
        const double a = std::fabs(x[n]);
        nan |= std::isnan(a);
        largest = a > largest ? a : largest;
    }
    *hasNaN |= nan;
    return largest;
}

// Samples begin .. end - 1 of a block, as offsets lo .. hi - 1 of those between the
// fades (lo == hi when there are none).
void windowOf(int begin, int end, int size, int taper, int *lo, int *hi)
{
    *lo = std::min(std::max(taper - begin, 0), end - begin);
    *hi = std::max(std::min(size - taper, end) - begin, *lo);
}

}  // namespace

void peakBlock(const double *x, int begin, int end, int size, int taper, SignalMeasure *m)
{
    int lo = 0, hi = 0;
    windowOf(begin, end, size, taper, &lo, &hi);
    const double window = largestMagnitude(x + lo, hi - lo, &m->hasNaN);
    const double fades = std::max(largestMagnitude(x, lo, &m->hasNaN),
                                  largestMagnitude(x + hi, end - begin - hi, &m->hasNaN));
    m->maxAbsWindow = std::max(m->maxAbsWindow, window);
    m->maxAbs = std::max(m->maxAbs, std::max(window, fades));
}

double addSquares(const double *x, int begin, int end, int size, int taper, double sum)
{
    int lo = 0, hi = 0;
    windowOf(begin, end, size, taper, &lo, &hi);
    for (int i = lo; i < hi; i++) sum = sum + x[i] * x[i];
    return sum;
}

double levelOf(double sumOfSquares, int size, int taper, double fullScale)
{
    const double mean = sumOfSquares / static_cast<double>(size - 2 * taper);
    return 10.0 * std::log10(mean / fullScale / fullScale);
}

double addSquares(const int16_t *x, int begin, int end, int size, int taper, double sum)
{
    int lo = 0, hi = 0;
    windowOf(begin, end, size, taper, &lo, &hi);
    if (lo == hi) return sum;
    // The squares of 16-bit samples are integers up to 2^30, and a double holds every
    // integer up to 2^53. From a whole sum, as long as the total stays there no addition
    // rounds, so the integer total, added in any order, is the sum added in index
    // order. Beyond 2^53 (265 million samples at -15 dB, for instance) they are added
    // one by one.
    const double EXACT = 9007199254740992.0;  // 2^53
    if (sum >= 0.0 && sum <= EXACT && sum == std::floor(sum)) {
        uint64_t total = 0;
        for (int i = lo; i < hi; i++) total += static_cast<uint32_t>(x[i] * x[i]);
        if (static_cast<double>(total) <= EXACT - sum) return sum + static_cast<double>(total);
    }
    for (int i = lo; i < hi; i++) {
        double v = x[i];
        sum = sum + v * v;
    }
    return sum;
}

double componentPowerOf(const double *amp, int count)
{
    double sum = 0.0;
    for (int j = 0; j < count; j++) sum = sum + amp[j] * amp[j];
    return sum;
}

Result setLevel(const SignalMeasure &m, int size, int taper, const LevelTarget &target,
                double componentPower, double *gain, double *peak)
{
    const double fullScale = fullScaleOf(target.format);
    const double mean = m.sum / static_cast<double>(size - 2 * taper);
    const double p = levelOf(m.sum, size, taper, fullScale);
    *gain = std::pow(10.0, (target.level - p) / 20.0);
    // Rounding is monotonic, so the largest scaled magnitude is the largest magnitude
    // scaled: the same peak as scaling every sample and comparing.
    *peak = m.maxAbs * *gain;
    if (*peak > fullScale) {
        Result r(Status::Overflow);
        r.peak = *peak;
        r.scale = fullScale;
        r.subject = nameOf(target.format);
        return r;
    }
    // An empty or silent measuring window, or parameters that are not finite, leave
    // no power to scale from; converting the resulting not-a-numbers would write a
    // full-scale constant.
    if (!std::isfinite(p)) return Status::NotFinite;
    // Below the smallest normal double the power has lost its precision: squares of
    // amplitudes such as 2e-157 measure -15.26 dB where -15 was asked.
    if (!std::isnormal(mean)) return Status::TooSmall;
    // Components that cancel leave rounding noise, which scaling would amplify.
    if (mean < componentPower * CANCEL_RATIO) return Status::Cancel;
    if (m.hasNaN) return Status::NotANumber;
    // Truncation gives 0 for every magnitude below 1, rounding below one half, and a
    // float every magnitude that rounds to 0 in single precision (at most 2^-150);
    // dither keeps what is there.
    const double largest = m.maxAbsWindow * *gain;
    const bool allZero = isFloat(target.format)                ? static_cast<float>(largest) == 0.0f
                         : target.quantizer == Quantizer::Tpdf  ? false
                         : target.quantizer == Quantizer::Round ? largest < 0.5
                                                                : largest < 1.0;
    if (allZero) {
        Result r(Status::AllZero);
        r.subject = nameOf(target.format);
        return r;
    }
    return Status::Ok;
}

Result highestAcceptedLevel(const SignalMeasure &m, int size, int taper, LevelTarget target,
                            double componentPower, double (*toDc)(double, const void *),
                            const void *context, bool hundredths, double lowest, double *level)
{
    const double divisor = hundredths ? 100.0 : 1.0;
    // The overflow refusal bounds the level: the peak reaches full scale at
    // p + 20 log10(fullScale / maxAbs) dB. Start a little above the level that stands
    // for it, and step down to the first accepted one; rounding moves the boundary by
    // far less than a step.
    const double fullScale = fullScaleOf(target.format);
    const double bound = levelOf(m.sum, size, taper, fullScale) + 20.0 * std::log10(fullScale / m.maxAbs);
    const double offset = toDc(0.0, context);
    long long k = std::isfinite(bound) ? static_cast<long long>(std::ceil((bound - offset) * divisor)) + 1 : -1;
    const long long last = static_cast<long long>(std::floor(lowest * divisor));
    Result r(Status::Overflow);
    double gain = 0.0, peak = 0.0;
    for (; k >= last; k--) {
        *level = static_cast<double>(k) / divisor;
        target.level = toDc(*level, context);
        if (!(target.level < 0.0)) continue;
        r = setLevel(m, size, taper, target, componentPower, &gain, &peak);
        if (r.ok() || r.status != Status::Overflow) return r;
    }
    return r;
}

void convertBlock(const double *x, int count, double gain, int16_t *out)
{
    for (int n = 0; n < count; n++) out[n] = static_cast<int16_t>(x[n] * gain);
}
