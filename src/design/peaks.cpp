#include "peaks.h"

#include <algorithm>
#include <cmath>

namespace lowcrest {

namespace {

// The maxima of |x| on the grid (t->signal()) whose parabola through the three points
// around them reaches within `within` (relative) of the largest such parabola: each
// with the vertex's offset from its grid point (in *at), its value and the sign of x.
std::vector<Maximum> gridMaxima(const Transform *t, double within, std::vector<int> *at)
{
    const double *x = t->signal();
    const int n = t->size();
    std::vector<Maximum> maxima;
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
        at->push_back(i);
        best = std::max(best, estimate);
    }
    size_t kept = 0;
    for (size_t m = 0; m < maxima.size(); m++)
        if (maxima[m].value >= (1.0 - within) * best) {
            maxima[kept] = maxima[m];
            (*at)[kept++] = (*at)[m];
        }
    maxima.resize(kept);
    at->resize(kept);
    return maxima;
}

// The derivatives x^(r), r = 0 .. TAYLOR_TERMS + 1, in grid steps at each grid point of
// `at`, TAYLOR_TERMS + 2 a point: x^(r) is the transform of the spectrum of x times
// (i 2 pi k / n)^r, or, for few points, the sum over the lines of
// amp (2 pi k / n)^r sin(2 pi k i / n + phase + r pi / 2).
std::vector<double> derivativesAt(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
                                  const std::vector<double> &phase, const std::vector<int> &at)
{
    const int n = t->size();
    std::vector<double> terms(at.size() * (TAYLOR_TERMS + 2));
    if (summedDirectly(at.size(), bins.size(), n)) {
        for (size_t m = 0; m < at.size(); m++)
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
        return terms;
    }
    std::vector<double> re(bins.size()), im(bins.size());
    for (size_t j = 0; j < bins.size(); j++) {
        re[j] = 0.5 * amp[j] * std::sin(phase[j]);
        im[j] = -0.5 * amp[j] * std::cos(phase[j]);
    }
    for (int r = 0; r < TAYLOR_TERMS + 2; r++) {
        std::fill(&t->spectrum()[0][0], &t->spectrum()[0][0] + 2 * (n / 2 + 1), 0.0);
        for (size_t j = 0; j < bins.size(); j++) {
            t->spectrum()[bins[j]][0] = re[j];
            t->spectrum()[bins[j]][1] = im[j];
            const double w = 2.0 * PI * bins[j] / n, turned = re[j];
            re[j] = -w * im[j];
            im[j] = w * turned;
        }
        t->toSignal();
        for (size_t m = 0; m < at.size(); m++) terms[m * (TAYLOR_TERMS + 2) + r] = t->signal()[at[m]];
    }
    return terms;
}

// Newton's method on x' = 0 along the Taylor series dx (x and its derivatives at grid
// point at), from the parabola's vertex and within one grid step of the point: the
// maximum's place and value. fraction[q] is 1 / (q + 1).
void refineMaximum(const double *dx, const double *fraction, int at, Maximum *maximum)
{
    double d = maximum->at, value = 0.0;
    for (int step = 0; step < 8; step++) {
        // x, x' and x'' at d by Horner's rule.
        double v0 = 0.0, v1 = 0.0, v2 = 0.0;
        for (int q = TAYLOR_TERMS - 1; q >= 0; q--) {
            const double f = d * fraction[q];
            v0 = v0 * f + dx[q];
            v1 = v1 * f + dx[q + 1];
            v2 = v2 * f + dx[q + 2];
        }
        value = maximum->sign * v0;
        const double move = maximum->sign * v2 < 0.0 ? -v1 / v2 : 0.0;
        const double next = std::clamp(d + move, -1.0, 1.0);
        if (std::fabs(next - d) < 1e-12) break;
        d = next;
    }
    maximum->at = at + d;
    maximum->value = std::max(value, maximum->sign * dx[0]);
}

}  // namespace

std::vector<Maximum> refinedMaxima(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
                                   const std::vector<double> &phase, double within)
{
    synthesize(t, bins, amp, phase);
    std::vector<int> at;
    std::vector<Maximum> maxima = gridMaxima(t, within, &at);
    const std::vector<double> terms = derivativesAt(t, bins, amp, phase, at);
    double fraction[TAYLOR_TERMS];
    for (int q = 0; q < TAYLOR_TERMS; q++) fraction[q] = 1.0 / (q + 1);
    for (size_t m = 0; m < maxima.size(); m++)
        refineMaximum(&terms[m * (TAYLOR_TERMS + 2)], fraction, at[m], &maxima[m]);
    return maxima;
}

double truePeakOn(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
                  const std::vector<double> &phase)
{
    double peak = 0.0;
    for (const Maximum &m : refinedMaxima(t, bins, amp, phase, 0.01)) peak = std::max(peak, m.value);
    return peak;
}

}  // namespace lowcrest

using namespace lowcrest;

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
