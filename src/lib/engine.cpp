#include "engine.h"

#include "sizes.h"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

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

template <typename T>
T *allocZeroed(int n)
{
    if (n < 0) return nullptr;
    size_t count = n > 0 ? static_cast<size_t>(n) : 1;
    T *p = static_cast<T *>(std::calloc(count, sizeof(T)));
    if (p) adviseHugePages(p, count * sizeof(T));
    return p;
}

void reportProgress(const SignalRequest &req, long long done, long long total)
{
    if (req.progress) req.progress(req.progressContext, done, total);
}

// Samples begin .. end - 1 of the signal, summed and tapered, into x, whatever it held.
void makeBlock(const SignalRequest &req, double *x, int begin, int end)
{
    std::fill(x, x + (end - begin), 0.0);
    sumBlock(req.kernel, x, begin, end, req.freq, req.amp, req.phase, req.count, angularStep(req.fs));
    taperBlock(x, begin, end, req.size, req.taper);
}

}  // namespace

double *allocDoubles(int n) { return allocZeroed<double>(n); }
int16_t *allocSamples(int n) { return allocZeroed<int16_t>(n); }

Result checkSizes(const char *function, int size, int taper)
{
    if (size >= 1 && taper >= 0 && checkFades(size, taper).ok()) return Status::Ok;
    Result r(Status::BadSizes);
    r.subject = function;
    r.value = size;
    r.limit = taper;
    return r;
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

double levelOf(double sumOfSquares, int size, int taper, double fullScale)
{
    const double mean = sumOfSquares / static_cast<double>(size - 2 * taper);
    return 10.0 * std::log10(mean / fullScale / fullScale);
}

double addSquares(const int16_t *x, int begin, int end, int size, int taper, double sum)
{
    for (int n = begin > taper ? begin : taper; n < end && n < size - taper; n++) {
        double v = x[n - begin];
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
    // Truncation gives 0 for every magnitude below 1, rounding below one half; dither
    // and float keep what is there.
    const double zeroBelow = isFloat(target.format) || target.quantizer == Quantizer::Tpdf ? 0.0
                             : target.quantizer == Quantizer::Round                         ? 0.5
                                                                                            : 1.0;
    if (m.maxAbsWindow * *gain < zeroBelow) {
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

Result measureSignal(const SignalRequest &req, SignalPlan *plan, SignalMeasure *measure)
{
    const int size = req.size;
    Result sizes = checkSizes("generateComplexSine", size, req.taper);
    if (!sizes.ok()) return sizes;
    // Within the budget the sum is kept, and made only once; beyond it, or when the
    // memory is not to be had, every block is made again in the second pass.
    plan->sum.reset(8LL * size <= req.budgetBytes ? allocDoubles(size) : nullptr);
    const long long total = plan->sum ? size : 2LL * size;
    double block[BLOCK_SAMPLES];
    for (int begin = 0, end = 0; begin < size; begin = end) {
        reportProgress(req, begin, total);
        end = blockEnd(begin, size);
        double *x = plan->sum ? plan->sum.get() + begin : block;
        makeBlock(req, x, begin, end);
        measureBlock(x, begin, end, size, req.taper, measure);
    }
    reportProgress(req, total, total);
    return Status::Ok;
}

Result planSignal(const SignalRequest &req, SignalPlan *plan)
{
    // The plan keeps its own request, pointing at its own copy of the components.
    plan->request = req;
    plan->freq.assign(req.freq, req.freq + std::max(req.count, 0));
    plan->amp.assign(req.amp, req.amp + std::max(req.count, 0));
    plan->phase.assign(req.phase, req.phase + std::max(req.count, 0));
    plan->request.freq = plan->freq.data();
    plan->request.amp = plan->amp.data();
    plan->request.phase = plan->phase.data();
    plan->spent = false;
    plan->samples = nullptr;
    const SignalRequest &r = plan->request;

    SignalMeasure m;
    Result measured = measureSignal(r, plan, &m);
    if (!measured.ok()) return measured;
    double peak = 0.0;
    Result level = setLevel(m, r.size, r.taper, LevelTarget{r.level, r.format, r.quantizer},
                            componentPowerOf(r.amp, r.count), &plan->gain, &peak);
    if (!level.ok()) return level;
    if (r.keepSamples && !plan->sum) {
        plan->kept.reset(static_cast<unsigned char *>(
            std::calloc(static_cast<size_t>(r.size) + 1, static_cast<size_t>(bytesPerSample(r.format)))));
        if (!plan->kept) return Status::NoSampleMemory;
    }
    return Status::Ok;
}

Result emitSignal(SignalPlan *plan, SampleSink sink, void *context, double *levelDb)
{
    if (plan->spent) return Status::PlanSpent;
    plan->spent = true;
    const SignalRequest &req = plan->request;
    const int size = req.size, taper = req.taper, bytes = bytesPerSample(req.format);
    // 16-bit samples truncated, the spec's format, take the direct path.
    const bool plain16 = req.format == SampleFormat::S16 && req.quantizer == Quantizer::Truncate;
    // Where the whole converted signal is kept: in a kept sum, the stored samples take
    // the place of the doubles they come from (sample n's bytes lie below double n's
    // eight, which has been read by then).
    unsigned char *whole = !req.keepSamples ? nullptr
                           : plan->sum      ? reinterpret_cast<unsigned char *>(plan->sum.get())
                                            : plan->kept.get();
    Quantizing quantizing{req.format, req.quantizer, req.seed};
    double sumSquares = 0.0;
    double block[BLOCK_SAMPLES];
    int16_t out16[BLOCK_SAMPLES];
    unsigned char out[4 * BLOCK_SAMPLES];
    for (int begin = 0, end = 0; begin < size; begin = end) {
        end = blockEnd(begin, size);
        const double *x = block;
        if (plan->sum) {
            x = plan->sum.get() + begin;
        } else {
            reportProgress(req, size + static_cast<long long>(begin), 2LL * size);
            makeBlock(req, block, begin, end);
        }
        const int count = end - begin;
        if (plain16) {
            convertBlock(x, count, plan->gain, out16);
            // The level of the 16-bit samples, summed in index order as calcPower sums it.
            sumSquares = addSquares(out16, begin, end, size, taper, sumSquares);
            for (int n = 0; n < count; n++) {
                out[2 * n] = static_cast<unsigned char>(out16[n] & 0xff);
                out[2 * n + 1] = static_cast<unsigned char>((out16[n] >> 8) & 0xff);
            }
        } else {
            storeBlock(x, begin, end, size, taper, plan->gain, &quantizing, out, &sumSquares);
        }
        const size_t blockBytes = static_cast<size_t>(count) * static_cast<size_t>(bytes);
        if (whole) std::memcpy(whole + static_cast<size_t>(begin) * static_cast<size_t>(bytes), out, blockBytes);
        if (!sink(out, count, context)) {
            if (!plan->sum) reportProgress(req, 2LL * size, 2LL * size);
            return Status::Stopped;
        }
    }
    if (!plan->sum) reportProgress(req, 2LL * size, 2LL * size);
    plan->samples = whole;
    *levelDb = levelOf(sumSquares, size, taper, fullScaleOf(req.format));
    return Status::Ok;
}
