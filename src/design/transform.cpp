#include "transform.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>

namespace lowcrest {

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

// Throws std::bad_alloc where memory runs out, as any allocation of the search does.
TransformHandle openTransform(long long n)
{
    if (n < 2 || n > MAX_TRANSFORM) throw std::bad_alloc();
    TransformHandle t(new RealTransform);
    if (!t->open(n)) throw std::bad_alloc();
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

// t->signal() = x at i / n, i = 0 .. n - 1: a bin k holding (amp / 2) e^(i (phase - pi/2))
// gives amp cos(.. + phase - pi/2) = amp sin(.. + phase).
void synthesize(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
                const std::vector<double> &phase)
{
    std::fill(&t->spectrum()[0][0], &t->spectrum()[0][0] + 2 * (t->size() / 2 + 1), 0.0);
    for (size_t j = 0; j < bins.size(); j++) {
        t->spectrum()[bins[j]][0] = 0.5 * amp[j] * std::sin(phase[j]);
        t->spectrum()[bins[j]][1] = -0.5 * amp[j] * std::cos(phase[j]);
    }
    t->toSignal();
}

double peakOf(const Transform *t)
{
    double peak = 0.0;
    for (int i = 0; i < t->size(); i++) peak = std::max(peak, std::fabs(t->signal()[i]));
    return peak;
}

}  // namespace lowcrest
