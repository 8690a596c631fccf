#include "design.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "engine.h"
#include "params.h"

namespace {

constexpr double PI = 3.14159265358979323846;

// A real signal of n points and its half spectrum of n / 2 + 1 bins, with FFTW's plans
// both ways. The plans are made with FFTW_ESTIMATE, which measures nothing, so the
// same design gives the same bytes on every run.
struct Transform {
    int n = 0;
    double *signal = nullptr;
    fftw_complex *spectrum = nullptr;
    fftw_plan toSignal = nullptr, toSpectrum = nullptr;
};

struct TransformCloser {
    void operator()(Transform *t) const
    {
        if (t->toSignal) fftw_destroy_plan(t->toSignal);
        if (t->toSpectrum) fftw_destroy_plan(t->toSpectrum);
        fftw_free(t->signal);
        fftw_free(t->spectrum);
        delete t;
    }
};
using TransformHandle = std::unique_ptr<Transform, TransformCloser>;

TransformHandle openTransform(int n)
{
    TransformHandle t(new Transform);
    t->n = n;
    t->signal = fftw_alloc_real(static_cast<size_t>(n));
    t->spectrum = fftw_alloc_complex(static_cast<size_t>(n / 2 + 1));
    t->toSignal = fftw_plan_dft_c2r_1d(n, t->spectrum, t->signal, FFTW_ESTIMATE);
    t->toSpectrum = fftw_plan_dft_r2c_1d(n, t->signal, t->spectrum, FFTW_ESTIMATE);
    return t;
}

// t->signal = sum of amp sin(2 pi bin i / n + phase), i = 0 .. n - 1: a bin k holding
// (amp / 2) e^(i (phase - pi/2)) gives amp cos(.. + phase - pi/2) = amp sin(.. + phase).
void synthesize(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
                const std::vector<double> &phase)
{
    std::fill(&t->spectrum[0][0], &t->spectrum[0][0] + 2 * (t->n / 2 + 1), 0.0);
    for (size_t j = 0; j < bins.size(); j++) {
        t->spectrum[bins[j]][0] = 0.5 * amp[j] * std::sin(phase[j]);
        t->spectrum[bins[j]][1] = -0.5 * amp[j] * std::cos(phase[j]);
    }
    fftw_execute(t->toSignal);
}

double peakOf(const Transform *t)
{
    double peak = 0.0;
    for (int i = 0; i < t->n; i++) peak = std::max(peak, std::fabs(t->signal[i]));
    return peak;
}

double rmsOf(const std::vector<double> &amp)
{
    double power = 0.0;
    for (double a : amp) power += 0.5 * a * a;
    return std::sqrt(power);
}

// Peak over RMS of the signal on the transform's grid.
double crestOn(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
               const std::vector<double> &phase)
{
    synthesize(t, bins, amp, phase);
    return peakOf(t) / rmsOf(amp);
}

// Iterative clipping: the signal is clipped at a fraction of its peak and the phases
// of the clipped signal's lines are kept, with the amplitudes restored.
void clipPhases(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
                std::vector<double> *phase, int iterations)
{
    for (int it = 0; it < iterations; it++) {
        synthesize(t, bins, amp, *phase);
        const double level = 0.9 * peakOf(t);
        for (int i = 0; i < t->n; i++) t->signal[i] = std::clamp(t->signal[i], -level, level);
        fftw_execute(t->toSpectrum);
        for (size_t j = 0; j < bins.size(); j++)
            (*phase)[j] = std::atan2(t->spectrum[bins[j]][1], t->spectrum[bins[j]][0]) + PI / 2;
    }
}

// f = (1 / p) ln sum |x_i|^p, the log of the Lp norm of the oversampled signal, and its
// gradient by the phases: with g_i = |x_i / M|^(p-1) sign x_i (M the peak) and
// G = FFT(g), df / dphase_k = amp_k Re(e^(i phase_k) conj(G_k)) / (M sum |x_i / M|^p).
// p is a power of 2, so the powers are repeated squares.
double lpNorm(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
              const std::vector<double> &phase, int p, std::vector<double> *gradient)
{
    synthesize(t, bins, amp, phase);
    const double peak = peakOf(t);
    double sum = 0.0;
    for (int i = 0; i < t->n; i++) {
        const double r = std::fabs(t->signal[i]) / peak;
        double rp = r * r;
        for (int q = 2; q < p; q *= 2) rp *= rp;
        sum += rp;
        t->signal[i] = r > 0.0 ? std::copysign(rp / r, t->signal[i]) : 0.0;
    }
    fftw_execute(t->toSpectrum);
    for (size_t j = 0; j < bins.size(); j++) {
        const double re = t->spectrum[bins[j]][0], im = -t->spectrum[bins[j]][1];
        (*gradient)[j] = amp[j] * (std::cos(phase[j]) * re - std::sin(phase[j]) * im) / (peak * sum);
    }
    return std::log(peak) + std::log(sum) / p;
}

double dot(const std::vector<double> &a, const std::vector<double> &b)
{
    double s = 0.0;
    for (size_t i = 0; i < a.size(); i++) s += a[i] * b[i];
    return s;
}

// Minimises the Lp norm by limited-memory BFGS (eight pairs) with a backtracking line
// search.
void descendLp(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
               std::vector<double> *phase, int p, int iterations)
{
    const size_t n = bins.size(), MEMORY = 8;
    std::vector<std::vector<double>> s, y;
    std::vector<double> rho, g(n), gNew(n), d(n), trial(n), alpha(MEMORY);
    double f = lpNorm(t, bins, amp, *phase, p, &g);
    for (int it = 0; it < iterations; it++) {
        // Two-loop recursion: d = -H g.
        for (size_t i = 0; i < n; i++) d[i] = -g[i];
        for (size_t k = s.size(); k-- > 0;) {
            alpha[k] = rho[k] * dot(s[k], d);
            for (size_t i = 0; i < n; i++) d[i] -= alpha[k] * y[k][i];
        }
        double gamma = s.empty() ? 0.1 / std::max(1e-300, std::sqrt(dot(g, g)))
                                 : dot(s.back(), y.back()) / dot(y.back(), y.back());
        for (size_t i = 0; i < n; i++) d[i] *= gamma;
        for (size_t k = 0; k < s.size(); k++) {
            const double beta = rho[k] * dot(y[k], d);
            for (size_t i = 0; i < n; i++) d[i] += (alpha[k] - beta) * s[k][i];
        }
        double slope = dot(g, d);
        if (!(slope < 0.0)) break;
        double step = 1.0, fNew = f;
        bool found = false;
        for (int tries = 0; tries < 30 && !found; tries++, step *= 0.5) {
            for (size_t i = 0; i < n; i++) trial[i] = (*phase)[i] + step * d[i];
            fNew = lpNorm(t, bins, amp, trial, p, &gNew);
            found = fNew <= f + 1e-4 * step * slope;
        }
        if (!found || f - fNew < 1e-12 * std::fabs(f)) break;
        std::vector<double> sk(n), yk(n);
        for (size_t i = 0; i < n; i++) {
            sk[i] = trial[i] - (*phase)[i];
            yk[i] = gNew[i] - g[i];
        }
        const double sy = dot(sk, yk);
        if (sy > 1e-300) {
            if (s.size() == MEMORY) {
                s.erase(s.begin());
                y.erase(y.begin());
                rho.erase(rho.begin());
            }
            s.push_back(sk);
            y.push_back(yk);
            rho.push_back(1.0 / sy);
        }
        *phase = trial;
        g = gNew;
        f = fNew;
    }
}

}  // namespace

uint64_t nextRandom(uint64_t *state)
{
    uint64_t z = (*state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

double uniformRandom(uint64_t *state) { return static_cast<double>(nextRandom(state) >> 11) * 0x1p-53; }

int periodOf(int rateHz, double resolutionHz)
{
    if (!(resolutionHz > 0.0) || rateHz <= 0) return 0;
    const double period = rateHz / resolutionHz;
    const double whole = std::round(period);
    if (whole < 2.0 || whole > 1e8 || std::fabs(period - whole) > 1e-9 * whole) return 0;
    return static_cast<int>(whole);
}

int designLines(const DesignSettings *s, uint64_t *random, std::vector<int> *bins)
{
    const int period = periodOf(s->rateHz, s->resolutionHz);
    if (period == 0) {
        std::fprintf(stderr, "error: --resolution: %g Hz does not divide %d Hz into a whole period of samples.\n",
                     s->resolutionHz, s->rateHz);
        return 1;
    }
    const double res = s->resolutionHz;
    const int top = (period - 1) / 2;  // the highest bin below half the rate
    const double low = s->bandLowHz > 0.0 ? s->bandLowHz : res;
    const double high = s->bandHighHz > 0.0 ? s->bandHighHz : top * res;
    if (!(low <= high) || !(high < s->rateHz / 2.0)) {
        std::fprintf(stderr, "error: --band: %g:%g Hz is no band below half the rate (%g Hz).\n", low,
                     high, s->rateHz / 2.0);
        return 1;
    }
    const int kLow = std::max(1, static_cast<int>(std::ceil(low / res - 1e-9)));
    const int kHigh = std::min(top, static_cast<int>(std::floor(high / res + 1e-9)));
    const bool odd = s->lines != LINES_ALL;
    bins->clear();
    if (s->grid == GRID_LINEAR) {
        for (int k = kLow; k <= kHigh; k++)
            if (!odd || k % 2 == 1) bins->push_back(k);
    } else {
        // About perOctave lines an octave, each on the nearest (odd) multiple of the
        // resolution inside the band, none twice.
        for (int i = 0;; i++) {
            const double f = low * std::pow(2.0, static_cast<double>(i) / s->perOctave);
            if (f > high * (1.0 + 1e-12)) break;
            int k = odd ? 2 * static_cast<int>(std::floor((f / res - 1.0) / 2.0 + 0.5)) + 1
                        : static_cast<int>(std::lround(f / res));
            while (k < kLow) k += odd ? 2 : 1;
            while (k > kHigh) k -= odd ? 2 : 1;
            if (k >= kLow && (bins->empty() || k > bins->back())) bins->push_back(k);
        }
    }
    if (s->lines == LINES_RANDOM_ODD) {
        // Of each run of 4 consecutive odd lines one, at random, is left out: its
        // frequency then shows the odd-order distortion of the system under test.
        std::vector<int> kept;
        for (size_t g = 0; g < bins->size(); g += 4) {
            const size_t left = g + 4 <= bins->size() ? g + nextRandom(random) % 4 : bins->size();
            for (size_t i = g; i < g + 4 && i < bins->size(); i++)
                if (i != left) kept.push_back((*bins)[i]);
        }
        bins->swap(kept);
    }
    if (bins->empty()) {
        std::fprintf(stderr, "error: --band: no line at a multiple of %g Hz lies in %g:%g Hz.\n", res, low,
                     high);
        return 1;
    }
    if (bins->size() > static_cast<size_t>(MAXSINES)) {
        std::fprintf(stderr, "error: %zu lines, and sonvel reads at most %d: narrow the band or widen the resolution.\n",
                     bins->size(), MAXSINES);
        return 1;
    }
    return 0;
}

std::vector<double> slopeAmplitudes(const std::vector<int> &bins, double slopeDbPerOctave)
{
    // The largest amplitude, 1, is at the lowest line of a falling spectrum and at the
    // highest of a rising one.
    const double top = slopeDbPerOctave <= 0.0 ? bins.front() : bins.back();
    std::vector<double> amp;
    for (int k : bins) amp.push_back(std::pow(10.0, slopeDbPerOctave / 20.0 * std::log2(k / top)));
    return amp;
}

double wrapPhase(double phase)
{
    double r = std::fmod(phase + PI, 2.0 * PI);
    if (r <= 0.0) r += 2.0 * PI;
    return r - PI;
}

std::vector<double> randomPhases(size_t count, uint64_t *random)
{
    std::vector<double> phase;
    for (size_t j = 0; j < count; j++) phase.push_back(wrapPhase(2.0 * PI * uniformRandom(random)));
    return phase;
}

std::vector<double> schroederPhases(const std::vector<int> &bins, const std::vector<double> &amp)
{
    // phi_j = -2 pi sum over i < j of (k_j - k_i) p_i, p_i the line's share of the power,
    // formed from running sums of p_i and k_i p_i.
    double total = 0.0;
    for (double a : amp) total += a * a;
    std::vector<double> phase;
    double share = 0.0, moment = 0.0;
    for (size_t j = 0; j < bins.size(); j++) {
        phase.push_back(wrapPhase(-2.0 * PI * (bins[j] * share - moment) + PI / 2));
        const double p = amp[j] * amp[j] / total;
        share += p;
        moment += bins[j] * p;
    }
    return phase;
}

std::vector<double> newmanPhases(size_t count)
{
    std::vector<double> phase;
    for (size_t j = 0; j < count; j++)
        phase.push_back(wrapPhase(PI * static_cast<double>(j * j) / count + PI / 2));
    return phase;
}

double crestFactor(const std::vector<int> &bins, const std::vector<double> &amp,
                   const std::vector<double> &phase, int period, int oversampling)
{
    return crestOn(openTransform(period * oversampling).get(), bins, amp, phase);
}

std::vector<double> lowCrestPhases(const std::vector<int> &bins, const std::vector<double> &amp,
                                   int period, int iterations, uint64_t *random)
{
    // Clipping runs on the period sampled 4 times per sample; the descent, which finishes
    // the job, on the 16 times denser grid of the true peak, since a line near half the
    // rate can peak 6 % above the nearest point of a 4 times grid. Long periods cost
    // more per step, so they get fewer starts: 8 up to 4800 samples, 1 from 38400.
    TransformHandle coarse = openTransform(4 * period);
    TransformHandle fine = openTransform(TRUE_PEAK_OVERSAMPLING * period);
    const int starts = std::clamp(38400 / period, 1, 8);
    std::vector<double> best;
    double bestCrest = INFINITY;
    for (int start = 0; start < starts; start++) {
        std::vector<double> phase = randomPhases(bins.size(), random);
        clipPhases(coarse.get(), bins, amp, &phase, iterations);
        for (int p = 4; p <= 512; p *= 2) descendLp(fine.get(), bins, amp, &phase, p, iterations);
        for (double &ph : phase) ph = wrapPhase(ph);
        const double crest = crestOn(fine.get(), bins, amp, phase);
        if (crest < bestCrest) {
            bestCrest = crest;
            best = phase;
        }
    }
    return best;
}

Result highestLevel(const std::vector<double> &freq, const std::vector<double> &amp,
                    const std::vector<double> &phase, int rateHz, int durationMs, int taperMs,
                    int *level)
{
    int size = 0, taper = 0;
    Result r = signalSizes(rateHz, durationMs, taperMs, &size, &taper);
    if (r.ok()) r = checkFades(size, taper);
    if (!r.ok()) return r;
    SignalRequest req;
    req.size = size;
    req.taper = taper;
    req.freq = freq.data();
    req.amp = amp.data();
    req.phase = phase.data();
    req.count = static_cast<int>(freq.size());
    req.fs = rateHz;
    req.kernel = chooseKernel();
    req.budgetBytes = 0;  // only the measurement is needed
    SignalPlan plan;
    SignalMeasure m;
    r = measureSignal(req, &plan, &m);
    if (!r.ok()) return r;
    const double components = componentPowerOf(req.amp, req.count);
    for (*level = -1; *level >= -200; --*level) {
        double gain = 0.0, peak = 0.0;
        r = setLevel(m, size, taper, LevelTarget{static_cast<double>(*level)}, components, &gain, &peak);
        if (r.ok()) return r;
    }
    return r;
}
