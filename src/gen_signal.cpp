#include "gen_signal.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using DoubleBuffer = std::unique_ptr<double[], FreeDeleter>;

// Zero-filled buffer of n elements; an empty request still gets a valid pointer.
template <typename T>
T *allocZeroed(int n)
{
    if (n < 0) return nullptr;
    return static_cast<T *>(std::calloc(n > 0 ? static_cast<size_t>(n) : 1, sizeof(T)));
}

bool allNumbers(const double *x, int size)
{
    bool ok = true;
    for (int n = 0; n < size; n++) ok &= !std::isnan(x[n]);
    return ok;
}

}  // namespace

double calcPower(const void *signal, int bufType, int size, int taper)
{
    if (bufType != BUF_SHORT && bufType != BUF_DOUBLE) {
        std::fputs("Error: calcPower(): illegal buf_type\n", stderr);
        std::exit(1);
    }
    // The sum runs in index order: each addition is rounded to double as it happens.
    double sum = 0.0;
    if (bufType == BUF_SHORT) {
        const int16_t *s = static_cast<const int16_t *>(signal);
        for (int n = taper; n < size - taper; n++) {
            double v = s[n];
            sum = sum + v * v;
        }
    } else {
        const double *s = static_cast<const double *>(signal);
        for (int n = taper; n < size - taper; n++) sum = sum + s[n] * s[n];
    }
    double mean = sum / static_cast<double>(size - 2 * taper);
    return 10.0 * std::log10(mean / FULL_SCALE / FULL_SCALE);
}

void addTaper(double *x, int size, int taper)
{
    // Fade-in factors 0, 1/T, .., (T-1)/T; fade-out factors T/T, .., 1/T.
    for (int n = 0; n < taper; n++)
        x[n] = (static_cast<double>(n) / static_cast<double>(taper)) * x[n];
    for (int n = size - taper; n < size; n++)
        x[n] = (static_cast<double>(size - n) / static_cast<double>(taper)) * x[n];
}

double scale(double *x, int size, double gain)
{
    double peak = 0.0;
    for (int n = 0; n < size; n++) {
        double y = x[n] * gain;
        if (y > peak) peak = y;
        if (-y > peak) peak = -y;
        x[n] = y;
    }
    return peak;
}

int16_t *makeSoundSignal(const void *signal, int bufType, int size, int taper, int level,
                         int16_t *out)
{
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
    double p = calcPower(work.get(), BUF_DOUBLE, size, taper);
    double gain = std::pow(10.0, (static_cast<double>(level) - p) / 20.0);
    double peak = scale(work.get(), size, gain);

    if (peak > FULL_SCALE) {
        std::fputs("ERROR: signal overflow. Decrease power level.\n", stderr);
        std::fprintf(stderr, "Maximal value before substitution to short (16-bit): %.1f (%f dB)\n",
                     peak, 20.0 * std::log10(peak / FULL_SCALE));
        return nullptr;
    }
    // An empty or silent measuring window, or parameters that are not finite, leave
    // no power to scale from; converting the resulting not-a-numbers would write a
    // full-scale constant, so the signal is refused instead.
    if (!std::isfinite(p)) {
        std::fputs("ERROR: makeSoundSignal(): cannot set the power level: the signal power "
                   "between the fades is not a finite number.\n", stderr);
        return nullptr;
    }
    if (!allNumbers(work.get(), size)) {
        std::fputs("ERROR: makeSoundSignal(): cannot set the power level: the scaled signal "
                   "holds values that are not numbers.\n", stderr);
        return nullptr;
    }

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

void sumComponents(double *x, int size, const double *freq, const double *amp,
                   const double *phase, int count, int fs)
{
    const double step = TWO_PI / static_cast<double>(fs);
    for (int n = 0; n < size; n++) {
        for (int j = 0; j < count; j++) {
            if (freq[j] == 0.0)
                x[n] = x[n] + amp[j];
            else
                x[n] = std::sin((static_cast<double>(n) * step) * freq[j] + phase[j]) * amp[j] + x[n];
        }
    }
}

int16_t *generateComplexSine(int size, int taper, int level, const double *freq,
                             const double *amp, const double *phase, int count, int fs,
                             int16_t *out)
{
    DoubleBuffer x(allocZeroed<double>(size));
    if (!x) {
        std::fputs("ERROR: generateComplexSine(): cannot allocate enough space for signal.\n",
                   stderr);
        return nullptr;
    }
    sumComponents(x.get(), size, freq, amp, phase, count, fs);
    int16_t *result = makeSoundSignal(x.get(), BUF_DOUBLE, size, taper, level, out);
    x.reset();
    if (!result) {
        std::fputs("ERROR: Fail to exec makeSoundSignal.\n", stderr);
        return nullptr;
    }
    return result;
}
