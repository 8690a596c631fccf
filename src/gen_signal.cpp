#include "gen_signal.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

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
    // Local running values: the samples could alias the measure's fields for all the
    // compiler knows, which would keep every one of them in memory.
    double sum = m->sum, maxAbs = m->maxAbs, maxAbsWindow = m->maxAbsWindow;
    bool hasNaN = m->hasNaN;
    const int windowEnd = size - taper;
    for (int n = begin; n < end; n++) {
        double v = x[n - begin];
        double a = std::fabs(v);
        hasNaN |= std::isnan(v);
        maxAbs = a > maxAbs ? a : maxAbs;
        if (n >= taper && n < windowEnd) {
            sum = sum + v * v;
            maxAbsWindow = a > maxAbsWindow ? a : maxAbsWindow;
        }
    }
    m->sum = sum;
    m->maxAbs = maxAbs;
    m->maxAbsWindow = maxAbsWindow;
    m->hasNaN = hasNaN;
}

LevelVerdict levelVerdict(const SignalMeasure *m, int size, int taper, int level,
                          double componentPower, double *gain, double *peak)
{
    const double mean = meanOf(m->sum, size, taper);
    const double p = decibels(mean);
    *gain = std::pow(10.0, (static_cast<double>(level) - p) / 20.0);
    // Rounding is monotonic, so the largest scaled magnitude is the largest magnitude
    // scaled: the same peak as scaling every sample and comparing.
    *peak = m->maxAbs * *gain;
    if (*peak > FULL_SCALE) return VERDICT_OVERFLOW;
    // An empty or silent measuring window, or parameters that are not finite, leave
    // no power to scale from; converting the resulting not-a-numbers would write a
    // full-scale constant.
    if (!std::isfinite(p)) return VERDICT_NOT_FINITE;
    // Below the smallest normal double the power has lost its precision: squares of
    // amplitudes such as 2e-157 measure -15.26 dB where -15 was asked.
    if (!std::isnormal(mean)) return VERDICT_TOO_SMALL;
    // Components that cancel leave rounding noise, which scaling would amplify.
    if (mean < componentPower * CANCEL_RATIO) return VERDICT_CANCEL;
    if (m->hasNaN) return VERDICT_NAN;
    // Truncation gives 0 for every magnitude below 1.
    if (m->maxAbsWindow * *gain < 1.0) return VERDICT_ALL_ZERO;
    return VERDICT_OK;
}

int decideGain(const SignalMeasure *m, int size, int taper, int level, double componentPower,
               double *gain)
{
    double peak = 0.0;
    const LevelVerdict verdict = levelVerdict(m, size, taper, level, componentPower, gain, &peak);
    if (verdict == VERDICT_OK) return 0;
    if (verdict == VERDICT_OVERFLOW) {
        std::fputs("ERROR: signal overflow. Decrease power level.\n", stderr);
        std::fprintf(stderr, "Maximal value before substitution to short (16-bit): %.1f (%f dB)\n",
                     peak, 20.0 * std::log10(peak / FULL_SCALE));
        return 1;
    }
    const char *why =
        verdict == VERDICT_NOT_FINITE ? "the signal power between the fades is not a finite number."
        : verdict == VERDICT_TOO_SMALL ? "the signal power between the fades is too small to measure."
        : verdict == VERDICT_CANCEL ? "the components cancel: the signal power between the fades is "
                                      "more than 100 dB below the sum of their squared amplitudes."
        : verdict == VERDICT_NAN ? "the scaled signal holds values that are not numbers."
                                 : "every 16-bit sample between the fades would be 0: the level is "
                                   "below what 16 bits can hold.";
    std::fprintf(stderr, "ERROR: makeSoundSignal(): cannot set the power level: %s\n", why);
    return 1;
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

void taperBlock(double *x, int begin, int end, int size, int taper)
{
    // Fade-in factors 0, 1/T, .., (T-1)/T; fade-out factors T/T, .., 1/T. The two fades
    // never overlap, so each sample takes at most one factor.
    for (int n = begin; n < end && n < taper; n++)
        x[n - begin] = (static_cast<double>(n) / static_cast<double>(taper)) * x[n - begin];
    for (int n = begin > size - taper ? begin : size - taper; n < end; n++)
        x[n - begin] = (static_cast<double>(size - n) / static_cast<double>(taper)) * x[n - begin];
}

void addTaper(double *x, int size, int taper)
{
    if (badSizes("addTaper", size, taper)) return;
    taperBlock(x, 0, size, size, taper);
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
    sumComponents(x.get(), size, freq, amp, phase, count, fs);
    int16_t *result = soundSignal(x.get(), BUF_DOUBLE, size, taper, level, out,
                                  componentPowerOf(amp, count));
    x.reset();
    if (!result) {
        std::fputs("ERROR: Fail to exec makeSoundSignal.\n", stderr);
        return nullptr;
    }
    return result;
}

namespace {

void reportProgress(const SignalRequest *req, long long done, long long total)
{
    if (req->progress) req->progress(req->progressContext, done, total);
}

// Samples begin .. end - 1 of the signal, summed and tapered, into x, whatever it held.
void makeBlock(const SignalRequest *req, double *x, int begin, int end)
{
    std::fill(x, x + (end - begin), 0.0);
    sumBlock(req->kernel, x, begin, end, req->freq, req->amp, req->phase, req->count,
             angularStep(req->fs));
    taperBlock(x, begin, end, req->size, req->taper);
}

}  // namespace

int measureSignal(const SignalRequest *req, SignalPlan *plan, SignalMeasure *measure)
{
    const int size = req->size;
    if (badSizes("generateComplexSine", size, req->taper)) return 1;
    // Within the budget the sum is kept, and made only once; beyond it, or when the
    // memory is not to be had, every block is made again in the second pass.
    if (8LL * size <= req->budgetBytes) plan->sum.reset(allocZeroed<double>(size));
    const long long total = plan->sum ? size : 2LL * size;
    SignalMeasure &m = *measure;
    double block[BLOCK_SAMPLES];
    for (int begin = 0, end = 0; begin < size; begin = end) {
        reportProgress(req, begin, total);
        end = blockEnd(begin, size);
        double *x = plan->sum ? plan->sum.get() + begin : block;
        makeBlock(req, x, begin, end);
        measureBlock(x, begin, end, size, req->taper, &m);
    }
    reportProgress(req, total, total);
    return 0;
}

int prepareSignal(const SignalRequest *req, SignalPlan *plan)
{
    const int size = req->size;
    SignalMeasure m;
    if (measureSignal(req, plan, &m)) return 1;
    if (decideGain(&m, size, req->taper, req->level, componentPowerOf(req->amp, req->count),
                   &plan->gain)) {
        std::fputs("ERROR: Fail to exec makeSoundSignal.\n", stderr);
        return 1;
    }
    if (req->keepSamples && !plan->sum) {
        plan->kept.reset(allocZeroed<int16_t>(size));
        if (!plan->kept) {
            std::fputs("error: makeSoundSignal(): cannot allocate iwave.\n", stderr);
            std::fputs("ERROR: Fail to exec makeSoundSignal.\n", stderr);
            return 1;
        }
    }
    return 0;
}

double emitSignal(const SignalRequest *req, SignalPlan *plan, SampleSink sink, void *context)
{
    const int size = req->size, taper = req->taper;
    // Where the whole 16-bit signal is kept: in a kept sum, the 16-bit samples take the
    // place of the doubles they come from (sample n's two bytes lie below double n's
    // eight, which has been read by then).
    int16_t *whole = !req->keepSamples ? nullptr
                     : plan->sum       ? reinterpret_cast<int16_t *>(plan->sum.get())
                                       : plan->kept.get();
    double sum16 = 0.0;
    double block[BLOCK_SAMPLES];
    int16_t out[BLOCK_SAMPLES];
    for (int begin = 0, end = 0; begin < size; begin = end) {
        end = blockEnd(begin, size);
        const double *x = block;
        if (plan->sum) {
            x = plan->sum.get() + begin;
        } else {
            reportProgress(req, size + static_cast<long long>(begin), 2LL * size);
            makeBlock(req, block, begin, end);
        }
        // Scaled as scale() scales, truncated toward zero; every value lies within
        // +-32767 here.
        for (int n = begin; n < end; n++) out[n - begin] = static_cast<int16_t>(x[n - begin] * plan->gain);
        // The level of the 16-bit samples, summed in index order as calcPower sums it.
        for (int n = begin > taper ? begin : taper; n < end && n < size - taper; n++) {
            double v = out[n - begin];
            sum16 = sum16 + v * v;
        }
        if (whole) std::memcpy(whole + begin, out, sizeof(int16_t) * static_cast<size_t>(end - begin));
        sink(out, end - begin, context);
    }
    if (!plan->sum) reportProgress(req, 2LL * size, 2LL * size);
    plan->samples = whole;
    return decibels(meanOf(sum16, size, taper));
}
