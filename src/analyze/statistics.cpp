// Quantiles from the regularised incomplete beta function, the per-line uncertainty and
// tests, and the search for periods that stand out.
#include "statistics.h"

#include <algorithm>
#include <cmath>

#include "steps.h"

namespace {

// The continued fraction of the incomplete beta function, by the modified Lentz method;
// it converges in about sqrt(max(a, b)) steps where x < (a + 1) / (a + b + 2).
double betaFraction(double a, double b, double x)
{
    const double tiny = 1e-300;
    auto guarded = [tiny](double v) { return std::fabs(v) < tiny ? tiny : v; };
    double c = 1.0, d = 1.0 / guarded(1.0 - (a + b) * x / (a + 1.0)), h = d;
    for (int m = 1; m <= 100000; m++) {
        const double step = 2.0 * m;
        const double even = m * (b - m) * x / ((a - 1.0 + step) * (a + step));
        d = 1.0 / guarded(1.0 + even * d);
        c = guarded(1.0 + even / c);
        h *= d * c;
        const double odd = -(a + m) * (a + b + m) * x / ((a + step) * (a + 1.0 + step));
        d = 1.0 / guarded(1.0 + odd * d);
        c = guarded(1.0 + odd / c);
        h *= d * c;
        if (std::fabs(d * c - 1.0) < 1e-15) break;
    }
    return h;
}

// I_x(a, b): P(B <= x) for B of the beta law with parameters a and b.
double regularisedBeta(double a, double b, double x)
{
    if (x <= 0.0) return 0.0;
    if (x >= 1.0) return 1.0;
    const double front = std::exp(std::lgamma(a + b) - std::lgamma(a) - std::lgamma(b) + a * std::log(x) +
                                  b * std::log1p(-x));
    if (x < (a + 1.0) / (a + b + 2.0)) return front * betaFraction(a, b, x) / a;
    return 1.0 - front * betaFraction(b, a, 1.0 - x) / b;
}

// The middle value (the upper one of an even count).
double median(std::vector<double> v)
{
    std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

}  // namespace

double fQuantile(double alpha, double d1, double d2)
{
    d2 = std::min(d2, 1e6);
    const double a = d1 / 2.0, b = d2 / 2.0;
    // F = d2 w / (d1 (1 - w)) for w of the beta law (a, b): halve w's interval until
    // P(W <= w) = 1 - alpha to the precision of a double.
    double low = 0.0, high = 1.0;
    for (int i = 0; i < 200 && high - low > 1e-17 * high; i++) {
        const double w = 0.5 * (low + high);
        (regularisedBeta(a, b, w) < 1.0 - alpha ? low : high) = w;
    }
    const double w = 0.5 * (low + high);
    return d2 * w / (d1 * (1.0 - w));
}

double tQuantile(double alpha, double nu) { return std::sqrt(fQuantile(alpha, 1.0, nu)); }

double fQuantile2(double alpha, double d2) { return d2 / 2.0 * (std::pow(alpha, -2.0 / d2) - 1.0); }

void describeUncertainty(std::complex<double> response, double variance, long long M, double t, LineResult *line)
{
    const double magnitude = std::abs(response);
    // The standard uncertainty of each part of the mean, and relative to the magnitude:
    // the gain's (in dB) and the phase's (in radians) to first order.
    const double u = std::sqrt(variance / (2.0 * static_cast<double>(M)));
    const double relative = u / magnitude;
    line->gainUncDb = 20.0 / std::log(10.0) * relative;
    line->phaseUncDeg = relative * 180.0 / PI;
    // The 95 % intervals: t u along and across the mean response; a disc that holds 0
    // leaves the phase open and the lower gain at -inf.
    const double half = t * u;
    line->gainLowDb = half < magnitude ? 20.0 * std::log10(magnitude - half) : -INFINITY;
    line->gainHighDb = 20.0 * std::log10(magnitude + half);
    line->phaseHalfDeg = half < magnitude ? std::asin(half / magnitude) * 180.0 / PI : 180.0;
    // The coherence that M periods of a known input give: |mean|^2 over the mean of
    // |Y_m|^2, that is |mean|^2 / (|mean|^2 + (M - 1) / M variance).
    const double power = magnitude * magnitude;
    const double spread = static_cast<double>(M - 1) / static_cast<double>(M) * variance;
    line->coherence = power + spread > 0.0 ? power / (power + spread) : NAN;
}

void groupDelays(std::vector<LineResult> *lines)
{
    std::vector<LineResult> &l = *lines;
    for (size_t i = 0; i < l.size(); i++) {
        const size_t low = i > 0 ? i - 1 : i, high = i + 1 < l.size() ? i + 1 : i;
        if (low == high) continue;
        const double turn = std::remainder(l[high].phaseDeg - l[low].phaseDeg, 360.0);
        l[i].groupDelayMs = -turn / 360.0 / (l[high].freqHz - l[low].freqHz) * 1000.0;
    }
}

bool groupSignificant(const LineGroup &g, long long M)
{
    if (g.lines == 0) return false;
    if (!(g.floor > 0.0)) return g.power > 0.0;
    // Each line's floor carries 2 (M - 1) degrees of freedom and its power 2 over the
    // floor; lines of unequal noise count as fewer (Satterthwaite), the floors' squares
    // taken M / (M - 1) too large by their own scatter.
    const double M1 = static_cast<double>(M - 1);
    const double d1 = std::min(2.0 * g.floor * g.floor / (g.floorSquares * M1 / static_cast<double>(M)),
                               2.0 * static_cast<double>(g.lines));
    return g.power / g.floor > fQuantile(SUMMARY_TEST_LEVEL, d1, M1 * d1);
}

std::vector<long long> findOutliers(const std::vector<double> &changes, long long P, double periodEnergy,
                                    bool *unsteady)
{
    *unsteady = false;
    std::vector<long long> found;
    const long long M = static_cast<long long>(changes.size()) + 1;
    // Below 6 periods a click spoils too large a share of the differences to be found;
    // samples near the largest doubles leave no finite energy to compare.
    if (M < 6) return found;
    for (double c : changes)
        if (!std::isfinite(c)) return found;
    // Steady noise of variance s^2 gives each difference 2 s^2 chi^2(P): a relative
    // spread of sqrt(2 / P). The median and the median absolute deviation follow a
    // noise that changes slowly; 12 spreads above the median is never reached by
    // chance, and a change below -100 dB of a period's energy never counts (a
    // resampler's own error on a noise-free recording lies near -120 dB).
    const double middle = median(changes);
    std::vector<double> deviations;
    for (double c : changes) deviations.push_back(std::fabs(c - middle));
    const double spread = std::max(1.4826 * median(deviations), middle * std::sqrt(2.0 / static_cast<double>(P)));
    const double threshold = std::max(middle + 12.0 * spread, 1e-10 * periodEnergy);
    auto high = [&](long long m) { return changes[static_cast<size_t>(m - 1)] > threshold; };
    // A period that stands out differs from both its neighbours; the first and the last
    // have one, and their neighbour's other difference stays low.
    for (long long j = 0; j < M; j++) {
        const bool out = j == 0 ? high(1) && !high(2) : j == M - 1 ? high(M - 1) && !high(M - 2) : high(j) && high(j + 1);
        if (out) found.push_back(j);
    }
    if (static_cast<long long>(found.size()) * 4 > M) {
        *unsteady = true;
        found.clear();
    }
    return found;
}
