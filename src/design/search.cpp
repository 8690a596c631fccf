#include "search.h"

#include "worker.h"

#include <fftw3.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <new>

namespace {

constexpr double PI = 3.14159265358979323846;
// Steps of iterative clipping that open each start, and the most steps of each of the
// Lp stages that follow.
constexpr int CLIPPING_STEPS = 100;
constexpr int LP_STEPS = 100;

// The smallest n = 2^a 3^b 5^c at least want: FFTW is fastest on such sizes.
long long transformSize(long long want)
{
    long long best = 1;
    while (best < want) best *= 2;
    for (long long p5 = 1; p5 < best; p5 *= 5)
        for (long long p35 = p5; p35 < best; p35 *= 3) {
            long long n = p35;
            while (n < want) n *= 2;
            best = std::min(best, n);
        }
    return best;
}

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

// Throws std::bad_alloc where memory runs out. FFTW's planner ends the process when an
// allocation of its own fails, so the memory its tables take (at most about the size of
// the buffers) is asked for, and given back, before it plans.
TransformHandle openTransform(long long n)
{
    if (n < 2 || n > MAX_TRANSFORM) throw std::bad_alloc();
    const size_t bins = static_cast<size_t>(n / 2 + 1);
    TransformHandle t(new Transform);
    t->n = static_cast<int>(n);
    t->signal = fftw_alloc_real(static_cast<size_t>(n));
    t->spectrum = fftw_alloc_complex(bins);
    void *planning = std::malloc(bins * sizeof(fftw_complex) * 2);
    if (!t->signal || !t->spectrum || !planning) {
        std::free(planning);
        throw std::bad_alloc();
    }
    std::free(planning);
    t->toSignal = fftw_plan_dft_c2r_1d(t->n, t->spectrum, t->signal, FFTW_ESTIMATE);
    t->toSpectrum = fftw_plan_dft_r2c_1d(t->n, t->signal, t->spectrum, FFTW_ESTIMATE);
    if (!t->toSignal || !t->toSpectrum) throw std::bad_alloc();
    return t;
}

// The grid of the true peak: POINTS_PER_CYCLE points a cycle of the highest line (and
// room for every line below half its rate), whatever the period.
long long trueGridSize(const std::vector<int> &bins)
{
    const long long top = bins.empty() ? 1 : *std::max_element(bins.begin(), bins.end());
    return transformSize(std::max(2 * top + 2, POINTS_PER_CYCLE * top));
}

// The grid of the clipping and the Lp stages. How far a grid under-reads a peak
// depends on the curvature there, which grows with the square of the lines' RMS
// frequency, sqrt(sum of (amp k)^2 / sum of amp^2); flat lines have it 1 / sqrt(3) of
// the highest, so 16 sqrt(3) points a cycle of it give them the true-peak grid, and a
// spectrum falling toward its top (pink, brown, a log grid) a coarser grid, as close to
// its peaks, at a part of the cost. Never fewer points than the lines need.
long long normGridSize(const std::vector<int> &bins, const std::vector<double> &amp)
{
    double power = 0.0, slope = 0.0;
    for (size_t j = 0; j < bins.size(); j++) {
        power += amp[j] * amp[j];
        slope += amp[j] * amp[j] * bins[j] * static_cast<double>(bins[j]);
    }
    const long long top = bins.empty() ? 1 : *std::max_element(bins.begin(), bins.end());
    const double rmsBin = power > 0.0 ? std::sqrt(slope / power) : static_cast<double>(top);
    const long long want = static_cast<long long>(std::ceil(POINTS_PER_CYCLE * std::sqrt(3.0) * rmsBin));
    return std::min(trueGridSize(bins), transformSize(std::max(2 * top + 2, want)));
}

// t->signal = x at i / n, i = 0 .. n - 1: a bin k holding (amp / 2) e^(i (phase - pi/2))
// gives amp cos(.. + phase - pi/2) = amp sin(.. + phase).
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

// Between grid points the signal is its Taylor series about the nearest one: in grid
// steps, x(i + d) = sum over q of x^(q)(i) d^q / q!, and a line of bin k turns by at
// most 2 pi k / n < pi / 8 a step (n >= 16 k), so with |d| <= 1 the terms beyond q =
// TAYLOR_TERMS - 1 add less than (pi / 8)^12 / 12! of the sum of the amplitudes: 1e-13.
constexpr int TAYLOR_TERMS = 12;

// Whether sums over the lines at each of `points` points cost less than TAYLOR_TERMS
// transforms of the grid: a sine and a cosine take about as long as 2 log2 n points of
// a transform.
bool summedDirectly(size_t points, size_t lines, int n)
{
    return 2.0 * points * lines < static_cast<double>(TAYLOR_TERMS) * n;
}

// A maximum of |x|: where (in grid steps), its value, and the sign of x there.
struct Maximum {
    double at, value, sign;
};

// The maxima of |x| whose parabola through the three grid points around them reaches
// within `within` (relative) of the largest such parabola, each refined by Newton's
// method on the Taylor series about its grid point: the continuous maxima, to about
// 1e-13 of the sum of the amplitudes. Leaves t->signal holding x^(TAYLOR_TERMS + 1).
std::vector<Maximum> refinedMaxima(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
                                   const std::vector<double> &phase, double within)
{
    synthesize(t, bins, amp, phase);
    const double *x = t->signal;  // until the derivatives take its place
    const int n = t->n;
    std::vector<Maximum> maxima;
    std::vector<int> at;
    const double floor = (1.0 - within - 0.02) * peakOf(t);
    double best = 0.0;
    for (int i = 0; i < n; i++) {
        const double y0 = std::fabs(x[i]);
        if (y0 < floor) continue;
        const double ym = std::fabs(x[i == 0 ? n - 1 : i - 1]), yp = std::fabs(x[i + 1 == n ? 0 : i + 1]);
        if (y0 < ym || y0 <= yp) continue;
        // The vertex of the parabola through (-1, ym), (0, y0), (1, yp).
        const double bend = ym - 2.0 * y0 + yp;
        const double offset = bend < 0.0 ? 0.5 * (ym - yp) / bend : 0.0;
        const double estimate = y0 - 0.25 * (ym - yp) * offset;
        maxima.push_back({offset, estimate, x[i] < 0.0 ? -1.0 : 1.0});
        at.push_back(i);
        best = std::max(best, estimate);
    }
    size_t kept = 0;
    for (size_t m = 0; m < maxima.size(); m++)
        if (maxima[m].value >= (1.0 - within) * best) {
            maxima[kept] = maxima[m];
            at[kept++] = at[m];
        }
    maxima.resize(kept);
    at.resize(kept);
    // The derivatives at each maximum's grid point, in grid steps: x^(r) is the
    // transform of the spectrum of x times (i 2 pi k / n)^r, or, for few maxima, the sum
    // over the lines of amp (2 pi k / n)^r sin(2 pi k i / n + phase + r pi / 2).
    std::vector<double> terms(kept * (TAYLOR_TERMS + 2));
    if (summedDirectly(kept, bins.size(), n)) {
        for (size_t m = 0; m < kept; m++)
            for (size_t j = 0; j < bins.size(); j++) {
                // k i reduced modulo n in whole numbers, so the angle keeps every digit.
                const long long turns = static_cast<long long>(bins[j]) * at[m] % n;
                const double angle = 2.0 * PI * turns / n + phase[j];
                const double sine = std::sin(angle), cosine = std::cos(angle), w = 2.0 * PI * bins[j] / n;
                double size = amp[j];
                for (int r = 0; r < TAYLOR_TERMS + 2; r++, size *= w)
                    terms[m * (TAYLOR_TERMS + 2) + r] +=
                        size * (r % 2 ? cosine : sine) * (r % 4 < 2 ? 1.0 : -1.0);
            }
    }
    std::vector<double> re(bins.size()), im(bins.size());
    for (size_t j = 0; j < bins.size(); j++) {
        re[j] = 0.5 * amp[j] * std::sin(phase[j]);
        im[j] = -0.5 * amp[j] * std::cos(phase[j]);
    }
    for (int r = 0; r < TAYLOR_TERMS + 2 && !summedDirectly(kept, bins.size(), n); r++) {
        std::fill(&t->spectrum[0][0], &t->spectrum[0][0] + 2 * (n / 2 + 1), 0.0);
        for (size_t j = 0; j < bins.size(); j++) {
            t->spectrum[bins[j]][0] = re[j];
            t->spectrum[bins[j]][1] = im[j];
            const double w = 2.0 * PI * bins[j] / n, turned = re[j];
            re[j] = -w * im[j];
            im[j] = w * turned;
        }
        fftw_execute(t->toSignal);
        for (size_t m = 0; m < kept; m++) terms[m * (TAYLOR_TERMS + 2) + r] = t->signal[at[m]];
    }
    double fraction[TAYLOR_TERMS];  // 1 / (q + 1)
    for (int q = 0; q < TAYLOR_TERMS; q++) fraction[q] = 1.0 / (q + 1);
    for (size_t m = 0; m < kept; m++) {
        const double *dx = &terms[m * (TAYLOR_TERMS + 2)];
        double d = maxima[m].at, value = 0.0;
        for (int step = 0; step < 8; step++) {
            // x, x' and x'' at d by Horner's rule.
            double v0 = 0.0, v1 = 0.0, v2 = 0.0;
            for (int q = TAYLOR_TERMS - 1; q >= 0; q--) {
                const double f = d * fraction[q];
                v0 = v0 * f + dx[q];
                v1 = v1 * f + dx[q + 1];
                v2 = v2 * f + dx[q + 2];
            }
            value = maxima[m].sign * v0;
            const double move = maxima[m].sign * v2 < 0.0 ? -v1 / v2 : 0.0;
            const double next = std::clamp(d + move, -1.0, 1.0);
            if (std::fabs(next - d) < 1e-12) break;
            d = next;
        }
        maxima[m].at = at[m] + d;
        maxima[m].value = std::max(value, maxima[m].sign * dx[0]);
    }
    return maxima;
}

double truePeakOn(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
                  const std::vector<double> &phase)
{
    double peak = 0.0;
    for (const Maximum &m : refinedMaxima(t, bins, amp, phase, 0.01)) peak = std::max(peak, m.value);
    return peak;
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

// f = (1 / p) ln sum |x_i|^p, the log of the Lp norm of the signal on the grid, and its
// gradient by the phases, added to *gradient: with g_i = |x_i / M|^(p-1) sign x_i (M the
// peak) and G = FFT(g), df / dphase_k = amp_k Re(e^(i phase_k) conj(G_k)) / (M sum
// |x_i / M|^p). p is a power of 2, so the powers are repeated squares.
double lpNorm(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
              const std::vector<double> &phase, int p, std::vector<double> *gradient, double *gridPeak)
{
    synthesize(t, bins, amp, phase);
    const double peak = peakOf(t), scale = 1.0 / peak;
    *gridPeak = peak;
    // r^(p-1) = r r^2 r^4 ... r^(p/2), and r^p = r^(p-1) r: products, no division.
    double sum = 0.0;
    for (int i = 0; i < t->n; i++) {
        const double r = std::fabs(t->signal[i]) * scale;
        double square = r, power = r;
        for (int q = 2; q < p; q *= 2) {
            square *= square;
            power *= square;
        }
        sum += power * r;
        t->signal[i] = std::copysign(power, t->signal[i]);
    }
    fftw_execute(t->toSpectrum);
    for (size_t j = 0; j < bins.size(); j++) {
        const double re = t->spectrum[bins[j]][0], im = -t->spectrum[bins[j]][1];
        (*gradient)[j] += amp[j] * (std::cos(phase[j]) * re - std::sin(phase[j]) * im) / (peak * sum);
    }
    return std::log(peak) + std::log(sum) / p;
}

// The same norm over the continuous maxima of |x| alone: f = (1 / p) ln sum |x(t_m)|^p.
// At a maximum x'(t_m) = 0, so its value moves with the phases as x does at a fixed t:
// d|x(t_m)| / dphase_j = sign_m amp_j cos(2 pi bins_j t_m + phase_j) = sign_m amp_j
// Re(e^(i phase_j) e^(i 2 pi bins_j t_m)). With t_m = (i_m + d_m) / n, the sum over the
// maxima of c_m e^(i 2 pi k t_m) is sum over q of (i 2 pi k / n)^q / q! times the
// conjugate transform of c_m d_m^q placed at i_m. Maxima more than 16 / p below the
// peak weigh less than e^-16 and are left out.
double maximaNorm(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
                  const std::vector<double> &phase, int p, std::vector<double> *gradient, double *truePeak)
{
    const std::vector<Maximum> maxima = refinedMaxima(t, bins, amp, phase, std::min(0.05, 16.0 / p));
    double peak = 0.0, sum = 0.0;
    for (const Maximum &m : maxima) peak = std::max(peak, m.value);
    *truePeak = peak;
    std::vector<double> weight;
    for (const Maximum &m : maxima) {
        double r = m.value / peak;
        for (int q = 1; q < p; q *= 2) r *= r;
        weight.push_back(r);
        sum += r;
    }
    if (summedDirectly(maxima.size(), bins.size(), t->n)) {
        for (size_t m = 0; m < maxima.size(); m++) {
            if (weight[m] < 1e-12 * sum) continue;
            const double c = maxima[m].sign * weight[m] / (sum * maxima[m].value);
            const double whole = std::floor(maxima[m].at), part = maxima[m].at - whole;
            for (size_t j = 0; j < bins.size(); j++) {
                const long long turns =
                    static_cast<long long>(bins[j]) * (static_cast<long long>(whole) + t->n) % t->n;
                const double angle = 2.0 * PI * (turns + bins[j] * part) / t->n + phase[j];
                (*gradient)[j] += c * amp[j] * std::cos(angle);
            }
        }
        return std::log(peak) + std::log(sum) / p;
    }
    // (i w)^q for each line, w = 2 pi k / n, raised a power each term.
    std::vector<double> re(bins.size(), 0.0), im(bins.size(), 0.0), power(maxima.size(), 1.0);
    std::vector<double> turnRe(bins.size(), 1.0), turnIm(bins.size(), 0.0);
    for (int q = 0; q < TAYLOR_TERMS; q++) {
        std::fill(t->signal, t->signal + t->n, 0.0);
        for (size_t m = 0; m < maxima.size(); m++) {
            const double whole = std::round(maxima[m].at);  // from -1 to n
            t->signal[(static_cast<int>(whole) + t->n) % t->n] +=
                maxima[m].sign * weight[m] / (sum * maxima[m].value) * power[m];
            power[m] *= (maxima[m].at - whole) / (q + 1);
        }
        fftw_execute(t->toSpectrum);
        for (size_t j = 0; j < bins.size(); j++) {
            // (i w)^q times the conjugate of the transform at bin k.
            const double hr = t->spectrum[bins[j]][0], hi = -t->spectrum[bins[j]][1];
            re[j] += turnRe[j] * hr - turnIm[j] * hi;
            im[j] += turnRe[j] * hi + turnIm[j] * hr;
            const double w = 2.0 * PI * bins[j] / t->n, turned = turnRe[j];
            turnRe[j] = -w * turnIm[j];
            turnIm[j] = w * turned;
        }
    }
    for (size_t j = 0; j < bins.size(); j++)
        (*gradient)[j] += amp[j] * (std::cos(phase[j]) * re[j] - std::sin(phase[j]) * im[j]);
    return std::log(peak) + std::log(sum) / p;
}

double dot(const std::vector<double> &a, const std::vector<double> &b)
{
    double s = 0.0;
    for (size_t i = 0; i < a.size(); i++) s += a[i] * b[i];
    return s;
}

// The grids a search works on, and what it lowers on them.
struct SearchGrids {
    PeakKind peak;
    TransformHandle fine;     // the true peak
    TransformHandle coarse;   // a coarser grid for the clipping and the Lp stages, if any
    TransformHandle samples;  // the period's samples
    // The work done so far, in estimated seconds: counted, not measured, so that the
    // starts a time allows are the same on any machine and under any load.
    double work = 0.0;

    // The grid of the Lp stages, and of the clipping, which works on the grid whose
    // peak is lowered.
    Transform *norm() const { return coarse ? coarse.get() : fine.get(); }
    Transform *clipping() const { return peak == PEAK_SAMPLES ? samples.get() : norm(); }
};

// Estimated seconds of `transforms` transforms on a grid of n points with the loops
// around them, and of the rest of one evaluation (sines, gradient and steps over the
// lines): fitted to the user time of designs of 11 to 2048 lines on grids of 500 to
// 311040 points on the machine of docs/performance.md.
double transformSeconds(const Transform *t, int transforms)
{
    return t ? transforms * 0.4e-9 * t->n * std::log2(t->n) : 0.0;
}
double evaluationSeconds(size_t lines)
{
    return 2e-6 + 0.08e-6 * lines;
}

// Transforms of one evaluation: a norm on the grid takes 2; one on the maxima the signal,
// TAYLOR_TERMS + 2 derivatives and TAYLOR_TERMS back; a true peak the signal and the
// derivatives.
constexpr int NORM_TRANSFORMS = 2;
constexpr int MAXIMA_TRANSFORMS = 2 * TAYLOR_TERMS + 3;
constexpr int PEAK_TRANSFORMS = TAYLOR_TERMS + 3;

// An evaluation on the maxima, taken as about three maxima a line: by transforms, or
// the signal's transform and the scan of the grid, and sums over the lines at each
// maximum (60 ns a line).
double maximaSeconds(const Transform *t, size_t lines)
{
    if (!t) return 0.0;
    return summedDirectly(3 * lines, lines, t->n) ? transformSeconds(t, 3) + 180e-9 * lines * lines
                                                  : transformSeconds(t, MAXIMA_TRANSFORMS);
}

// The work of a start's last stages is counted as this many evaluations, whatever they
// take, so that more iterations never leave time for fewer starts.
constexpr int LAST_STAGES_EVALUATIONS = 200;

// The counted work of a start's last stages.
double lastStagesSeconds(const SearchGrids &g, size_t lines)
{
    return LAST_STAGES_EVALUATIONS * (maximaSeconds(g.fine.get(), lines) +
                                      transformSeconds(g.samples.get(), NORM_TRANSFORMS) + evaluationSeconds(lines));
}

// A whole start's work, foreseen: its clipping, the eight Lp stages of LP_STEPS steps
// (about one evaluation a step), and its last stages.
double startSeconds(const SearchGrids &g, size_t lines)
{
    return CLIPPING_STEPS * (transformSeconds(g.clipping(), 2) + evaluationSeconds(lines)) +
           8 * LP_STEPS * (transformSeconds(g.norm(), NORM_TRANSFORMS) +
                           transformSeconds(g.samples.get(), NORM_TRANSFORMS) + evaluationSeconds(lines)) +
           lastStagesSeconds(g, lines);
}

// The norm the descent lowers at stage p: on the true-peak grid, on the samples, or
// both added (the log of their product); with `maxima`, on the continuous maxima, and
// then *measure is the point's exact measure (the peak, or the product of both peaks).
double stageNorm(SearchGrids *g, const std::vector<int> &bins, const std::vector<double> &amp,
                 const std::vector<double> &phase, int p, bool maxima, std::vector<double> *gradient,
                 double *measure)
{
    if (!maxima)
        g->work += transformSeconds(g->norm(), NORM_TRANSFORMS) +
                   transformSeconds(g->samples.get(), NORM_TRANSFORMS) + evaluationSeconds(bins.size());
    std::fill(gradient->begin(), gradient->end(), 0.0);
    double f = 0.0, peak = 0.0;
    *measure = 1.0;
    if (g->peak != PEAK_SAMPLES) {
        f += maxima ? maximaNorm(g->fine.get(), bins, amp, phase, p, gradient, &peak)
                    : lpNorm(g->norm(), bins, amp, phase, p, gradient, &peak);
        *measure *= peak;
    }
    if (g->peak != PEAK_TRUE) {
        f += lpNorm(g->samples.get(), bins, amp, phase, p, gradient, &peak);
        *measure *= peak;
    }
    return f;
}

// The measure the starts are judged by: the peak, or the product of both peaks.
double measureOf(SearchGrids *g, const std::vector<int> &bins, const std::vector<double> &amp,
                 const std::vector<double> &phase)
{
    g->work += transformSeconds(g->fine.get(), PEAK_TRANSFORMS) + transformSeconds(g->samples.get(), 1) +
               evaluationSeconds(bins.size());
    double m = 1.0;
    if (g->peak != PEAK_SAMPLES) m *= truePeakOn(g->fine.get(), bins, amp, phase);
    if (g->peak != PEAK_TRUE) {
        synthesize(g->samples.get(), bins, amp, phase);
        m *= peakOf(g->samples.get());
    }
    return m;
}

// The lowest measure met so far, and where.
struct Best {
    double measure = INFINITY;
    std::vector<double> phase;
    int start = 0;
    void offer(double m, const std::vector<double> &at, int from)
    {
        if (m < measure) {
            measure = m;
            phase = at;
            start = from;
        }
    }
};

// Lowers stageNorm by limited-memory BFGS (eight pairs) with a backtracking line search,
// until a step gains less than a part in 10^12 or after `iterations` steps; returns the
// steps taken, plus one for the step that ended the stage. On the maxima, every point it
// evaluates is offered to *best.
int descend(SearchGrids *grids, const std::vector<int> &bins, const std::vector<double> &amp,
            std::vector<double> *phase, int p, bool maxima, int iterations, Best *best, int start)
{
    const size_t n = bins.size(), MEMORY = 8;
    std::vector<std::vector<double>> s, y;
    std::vector<double> rho, g(n), gNew(n), d(n), trial(n), alpha(MEMORY);
    double measure = 0.0;
    double f = stageNorm(grids, bins, amp, *phase, p, maxima, &g, &measure);
    if (maxima) best->offer(measure, *phase, start);
    int it = 0;
    for (; it < iterations; it++) {
        // Two-loop recursion: d = -H g.
        for (size_t i = 0; i < n; i++) d[i] = -g[i];
        for (size_t k = s.size(); k-- > 0;) {
            alpha[k] = rho[k] * dot(s[k], d);
            for (size_t i = 0; i < n; i++) d[i] -= alpha[k] * y[k][i];
        }
        const double gamma = s.empty() ? 0.1 / std::max(1e-300, std::sqrt(dot(g, g)))
                                       : dot(s.back(), y.back()) / dot(y.back(), y.back());
        for (size_t i = 0; i < n; i++) d[i] *= gamma;
        for (size_t k = 0; k < s.size(); k++) {
            const double beta = rho[k] * dot(y[k], d);
            for (size_t i = 0; i < n; i++) d[i] += (alpha[k] - beta) * s[k][i];
        }
        const double slope = dot(g, d);
        if (!(slope < 0.0)) break;
        double step = 1.0, fNew = f;
        bool found = false;
        for (int tries = 0; tries < 30 && !found; tries++, step *= 0.5) {
            for (size_t i = 0; i < n; i++) trial[i] = (*phase)[i] + step * d[i];
            fNew = stageNorm(grids, bins, amp, trial, p, maxima, &gNew, &measure);
            if (maxima) best->offer(measure, trial, start);
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
    return it + 1;
}

// Start k's state: the seed and k mixed, so that no start depends on how many there are.
uint64_t startState(uint64_t seed, int start)
{
    uint64_t state = seed ^ (0xd1b54a32d192ed03ULL * static_cast<uint64_t>(start + 1));
    nextRandom(&state);
    return state;
}

// The grids of one lane of the search: each start's clipping and Lp stages are made on
// a lane of their own, so that several starts can be made at once.
SearchGrids openGrids(const std::vector<int> &bins, const std::vector<double> &amp,
                      const SearchSettings &settings)
{
    SearchGrids grids;
    grids.peak = settings.peak;
    if (settings.peak != PEAK_SAMPLES) {
        grids.fine = openTransform(trueGridSize(bins));
        const long long n = normGridSize(bins, amp);
        if (n < grids.fine->n) grids.coarse = openTransform(n);
    }
    if (settings.peak != PEAK_TRUE) grids.samples = openTransform(settings.period);
    return grids;
}

// Bytes of a lane's transforms: a signal and a half spectrum each.
double laneBytes(const SearchGrids &g)
{
    double points = 0.0;
    for (const Transform *t : {g.fine.get(), g.coarse.get(), g.samples.get()})
        if (t) points += t->n;
    return 16.0 * points;
}

// Threads of the search: the processors asked for (or those the process may use) while
// a lane for each, and one more, take at most 256 MiB together; one where the first
// start alone will spend the time, and a start made ahead would be thrown away.
int searchThreads(const SearchSettings &settings, const SearchGrids &first, size_t lines)
{
    if (settings.starts == 0 && startSeconds(first, lines) >= settings.seconds) return 1;
    int threads = settings.threads > 0 ? settings.threads : usableProcessors();
    while (threads > 1 && (threads + 1) * laneBytes(first) > 256.0 * 1024 * 1024) threads--;
    return std::max(threads, 1);
}

// A start's clipping and Lp stages: where they ended, its measure there and their
// counted work. They depend on the seed and the start alone.
struct Lane {
    SearchGrids grids;
    std::vector<double> phase;
    double screen = 0.0, work = 0.0;
    bool outOfMemory = false;  // handed to the caller, as a worker thread cannot throw
};

struct StartMaker {
    const std::vector<int> *bins;
    const std::vector<double> *amp;
    const SearchSettings *settings;
    std::vector<Lane> *lanes;
    std::atomic<bool> done{false};  // no further start is wanted: stop between stages
};

void makeLpStages(StartMaker *m, int item, Lane &lane)
{
    const std::vector<int> &bins = *m->bins;
    const std::vector<double> &amp = *m->amp;
    SearchGrids *g = &lane.grids;
    g->work = 0.0;
    uint64_t state = startState(m->settings->seed, item);
    lane.phase.clear();
    for (size_t j = 0; j < bins.size(); j++) lane.phase.push_back(2.0 * PI * uniformRandom(&state));
    clipPhases(g->clipping(), bins, amp, &lane.phase, CLIPPING_STEPS);
    g->work += CLIPPING_STEPS * (transformSeconds(g->clipping(), 2) + evaluationSeconds(bins.size()));
    Best unused;  // the grid stages offer nothing
    for (int p = 4; p <= 512 && !m->done.load(std::memory_order_relaxed); p *= 2)
        descend(g, bins, amp, &lane.phase, p, false, LP_STEPS, &unused, item + 1);
    lane.screen = measureOf(g, bins, amp, lane.phase);
    lane.work = g->work;
}

void makeStart(void *context, int item, int slot)
{
    StartMaker *m = static_cast<StartMaker *>(context);
    Lane &lane = (*m->lanes)[static_cast<size_t>(slot)];
    try {
        lane.outOfMemory = false;
        makeLpStages(m, item, lane);
    } catch (const std::bad_alloc &) {
        lane.outOfMemory = true;
    }
}

}  // namespace


double wrapPhase(double phase)
{
    double r = std::fmod(phase + PI, 2.0 * PI);
    if (r <= 0.0) r += 2.0 * PI;
    return r - PI;
}

double rmsOf(const std::vector<double> &amp)
{
    double power = 0.0;
    for (double a : amp) power += 0.5 * a * a;
    return std::sqrt(power);
}

double truePeak(const std::vector<int> &bins, const std::vector<double> &amp,
                const std::vector<double> &phase)
{
    return truePeakOn(openTransform(trueGridSize(bins)).get(), bins, amp, phase);
}

double samplePeak(const std::vector<int> &bins, const std::vector<double> &amp,
                  const std::vector<double> &phase, int period)
{
    TransformHandle t = openTransform(period);
    synthesize(t.get(), bins, amp, phase);
    return peakOf(t.get());
}


SearchOutcome lowCrestPhases(const std::vector<int> &bins, const std::vector<double> &amp,
                             const SearchSettings &settings)
{
    std::vector<Lane> lanes(1);
    lanes[0].grids = openGrids(bins, amp, settings);
    const int threads = searchThreads(settings, lanes[0].grids, bins.size());
    // One lane more than threads: the caller keeps a start's lane through its last
    // stages while the others make the next starts.
    const int slots = threads > 1 ? threads + 1 : 1;
    lanes.resize(static_cast<size_t>(slots));
    for (size_t i = 1; i < lanes.size(); i++) lanes[i].grids = openGrids(bins, amp, settings);

    // Starts go on while the work so far is below the time, or up to settings.starts.
    // The starts' clipping and Lp stages are made ahead, on several threads; which start
    // goes on, what it costs and which point wins is decided here, start by start, so
    // that the result is that of one thread.
    double work = 0.0;
    auto another = [&](int start) {
        return settings.starts > 0 ? start <= settings.starts : start == 1 || work < settings.seconds;
    };
    StartMaker maker{&bins, &amp, &settings, &lanes};
    SearchOutcome out;
    Best best;
    double bestScreen = INFINITY;  // the best the Lp stages have reached
    {
        WorkPipeline pipeline(threads, settings.starts > 0 ? settings.starts : INT_MAX, slots, makeStart, &maker);
        for (int start = 1; another(start); start++) {
            Lane &lane = lanes[static_cast<size_t>(pipeline.take(start - 1))];
            if (lane.outOfMemory) {
                maker.done = true;
                throw std::bad_alloc();
            }
            out.starts = start;
            work += lane.work;
            best.offer(lane.screen, lane.phase, start);
            // A start that ends the Lp stages more than 0.3 % above the best so far
            // seldom ends the last ones below it, and they cost ten times as much: on 300
            // starts of 127 lines the peaks before and after them correlate at 0.95, and
            // the ten best after were among the thirty best before.
            const bool last = lane.screen <= 1.003 * bestScreen;
            if (last) {
                bestScreen = std::min(bestScreen, lane.screen);
                // The last stages share settings.iterations steps and pass to the next p
                // only once a stage has stopped gaining, so that a run of more steps
                // follows the same path further and its best point is never worse.
                work += lastStagesSeconds(lane.grids, bins.size());
            }
            // Once the work is spent, the starts being made ahead are not wanted: they
            // stop at their next stage rather than share the processors with this one.
            if (!another(start + 1)) maker.done = true;
            if (last) {
                int steps = settings.iterations;
                for (int p = 2048; p <= 8192 && steps > 0; p *= 4)
                    steps -= descend(&lane.grids, bins, amp, &lane.phase, p, true, steps, &best, start);
            }
            pipeline.release(start - 1);
        }
        maker.done = true;
    }
    out.phase = best.phase;
    out.peak = best.measure;
    out.bestStart = best.start;
    for (double &ph : out.phase) ph = wrapPhase(ph);
    return out;
}
