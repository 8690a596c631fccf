#include "stages.h"

#include <algorithm>
#include <cmath>

namespace lowcrest {

namespace {

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
    for (int i = 0; i < t->size(); i++) {
        const double r = std::fabs(t->signal()[i]) * scale;
        double square = r, power = r;
        for (int q = 2; q < p; q *= 2) {
            square *= square;
            power *= square;
        }
        sum += power * r;
        t->signal()[i] = std::copysign(power, t->signal()[i]);
    }
    t->toSpectrum();
    for (size_t j = 0; j < bins.size(); j++) {
        const double re = t->spectrum()[bins[j]][0], im = -t->spectrum()[bins[j]][1];
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
    if (summedDirectly(maxima.size(), bins.size(), t->size())) {
        for (size_t m = 0; m < maxima.size(); m++) {
            if (weight[m] < 1e-12 * sum) continue;
            const double c = maxima[m].sign * weight[m] / (sum * maxima[m].value);
            const double whole = std::floor(maxima[m].at), part = maxima[m].at - whole;
            for (size_t j = 0; j < bins.size(); j++) {
                const long long turns =
                    static_cast<long long>(bins[j]) * (static_cast<long long>(whole) + t->size()) % t->size();
                const double angle = 2.0 * PI * (turns + bins[j] * part) / t->size() + phase[j];
                (*gradient)[j] += c * amp[j] * std::cos(angle);
            }
        }
        return std::log(peak) + std::log(sum) / p;
    }
    // (i w)^q for each line, w = 2 pi k / n, raised a power each term.
    std::vector<double> re(bins.size(), 0.0), im(bins.size(), 0.0), power(maxima.size(), 1.0);
    std::vector<double> turnRe(bins.size(), 1.0), turnIm(bins.size(), 0.0);
    for (int q = 0; q < TAYLOR_TERMS; q++) {
        std::fill(t->signal(), t->signal() + t->size(), 0.0);
        for (size_t m = 0; m < maxima.size(); m++) {
            const double whole = std::round(maxima[m].at);  // from -1 to n
            t->signal()[(static_cast<int>(whole) + t->size()) % t->size()] +=
                maxima[m].sign * weight[m] / (sum * maxima[m].value) * power[m];
            power[m] *= (maxima[m].at - whole) / (q + 1);
        }
        t->toSpectrum();
        for (size_t j = 0; j < bins.size(); j++) {
            // (i w)^q times the conjugate of the transform at bin k.
            const double hr = t->spectrum()[bins[j]][0], hi = -t->spectrum()[bins[j]][1];
            re[j] += turnRe[j] * hr - turnIm[j] * hi;
            im[j] += turnRe[j] * hi + turnIm[j] * hr;
            const double w = 2.0 * PI * bins[j] / t->size(), turned = turnRe[j];
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
    return summedDirectly(3 * lines, lines, t->size()) ? transformSeconds(t, 3) + 180e-9 * lines * lines
                                                  : transformSeconds(t, MAXIMA_TRANSFORMS);
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

// The memory of limited-memory BFGS: the last MEMORY steps s, the changes y of the
// gradient along them, and 1 / (s . y).
struct Lbfgs {
    static constexpr size_t MEMORY = 8;
    std::vector<std::vector<double>> s, y;
    std::vector<double> rho, alpha = std::vector<double>(MEMORY);

    // The two-loop recursion: d = -H g.
    void direction(const std::vector<double> &g, std::vector<double> *d)
    {
        std::vector<double> &dir = *d;
        const size_t n = g.size();
        for (size_t i = 0; i < n; i++) dir[i] = -g[i];
        for (size_t k = s.size(); k-- > 0;) {
            alpha[k] = rho[k] * dot(s[k], dir);
            for (size_t i = 0; i < n; i++) dir[i] -= alpha[k] * y[k][i];
        }
        const double gamma = s.empty() ? 0.1 / std::max(1e-300, std::sqrt(dot(g, g)))
                                       : dot(s.back(), y.back()) / dot(y.back(), y.back());
        for (size_t i = 0; i < n; i++) dir[i] *= gamma;
        for (size_t k = 0; k < s.size(); k++) {
            const double beta = rho[k] * dot(y[k], dir);
            for (size_t i = 0; i < n; i++) dir[i] += (alpha[k] - beta) * s[k][i];
        }
    }

    // Keeps the step from `from` to `to`, along which the gradient went from g to gNew,
    // in place of the oldest once MEMORY are kept; a step without curvature is left out.
    void remember(const std::vector<double> &from, const std::vector<double> &to, const std::vector<double> &g,
                  const std::vector<double> &gNew)
    {
        const size_t n = from.size();
        std::vector<double> sk(n), yk(n);
        for (size_t i = 0; i < n; i++) {
            sk[i] = to[i] - from[i];
            yk[i] = gNew[i] - g[i];
        }
        const double sy = dot(sk, yk);
        if (!(sy > 1e-300)) return;
        if (s.size() == MEMORY) {
            s.erase(s.begin());
            y.erase(y.begin());
            rho.erase(rho.begin());
        }
        s.push_back(sk);
        y.push_back(yk);
        rho.push_back(1.0 / sy);
    }
};

}  // namespace

// Iterative clipping: the signal is clipped at a fraction of its peak and the phases
// of the clipped signal's lines are kept, with the amplitudes restored.
void clipPhases(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
                std::vector<double> *phase, int iterations)
{
    for (int it = 0; it < iterations; it++) {
        synthesize(t, bins, amp, *phase);
        const double level = 0.9 * peakOf(t);
        for (int i = 0; i < t->size(); i++) t->signal()[i] = std::clamp(t->signal()[i], -level, level);
        t->toSpectrum();
        for (size_t j = 0; j < bins.size(); j++)
            (*phase)[j] = std::atan2(t->spectrum()[bins[j]][1], t->spectrum()[bins[j]][0]) + PI / 2;
    }
}

// Estimated seconds of `transforms` transforms on a grid of n points with the loops
// around them, and of the rest of one evaluation (sines, gradient and steps over the
// lines): fitted to the user time of designs of 11 to 2048 lines on grids of 500 to
// 311040 points on the machine of docs/performance.md.
double transformSeconds(const Transform *t, int transforms)
{
    return t ? transforms * 0.4e-9 * t->size() * std::log2(t->size()) : 0.0;
}
double evaluationSeconds(size_t lines)
{
    return 2e-6 + 0.08e-6 * lines;
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

int descend(SearchGrids *grids, const std::vector<int> &bins, const std::vector<double> &amp,
            std::vector<double> *phase, int p, bool maxima, int iterations, Best *best, int start)
{
    const size_t n = bins.size();
    Lbfgs memory;
    std::vector<double> g(n), gNew(n), d(n), trial(n);
    double measure = 0.0;
    double f = stageNorm(grids, bins, amp, *phase, p, maxima, &g, &measure);
    if (maxima) best->offer(measure, *phase, start);
    int it = 0;
    for (; it < iterations; it++) {
        memory.direction(g, &d);
        const double slope = dot(g, d);
        if (!(slope < 0.0)) break;
        // Backtracking: the step is halved until it gains a part of what the slope
        // promises.
        double step = 1.0, fNew = f;
        bool found = false;
        for (int tries = 0; tries < 30 && !found; tries++, step *= 0.5) {
            for (size_t i = 0; i < n; i++) trial[i] = (*phase)[i] + step * d[i];
            fNew = stageNorm(grids, bins, amp, trial, p, maxima, &gNew, &measure);
            if (maxima) best->offer(measure, trial, start);
            found = fNew <= f + 1e-4 * step * slope;
        }
        if (!found || f - fNew < 1e-12 * std::fabs(f)) break;
        memory.remember(*phase, trial, g, gNew);
        *phase = trial;
        g = gNew;
        f = fNew;
    }
    return it + 1;
}

}  // namespace lowcrest
