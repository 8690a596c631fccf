// The continuous maxima of a design's signal, found on a transform's grid and refined
// on the Taylor series about their grid points.
#ifndef SONVEL_DESIGN_PEAKS_H
#define SONVEL_DESIGN_PEAKS_H

#include <cstddef>
#include <vector>

#include "transform.h"

namespace lowcrest {

// Between grid points the signal is its Taylor series about the nearest one: in grid
// steps, x(i + d) = sum over q of x^(q)(i) d^q / q!, and a line of bin k turns by at
// most 2 pi k / n < pi / 8 a step (n >= 16 k), so with |d| <= 1 the terms beyond q =
// TAYLOR_TERMS - 1 add less than (pi / 8)^12 / 12! of the sum of the amplitudes: 1e-13.
constexpr int TAYLOR_TERMS = 12;

// Whether sums over the lines at each of `points` points cost less than TAYLOR_TERMS
// transforms of the grid: a sine and a cosine take about as long as 2 log2 n points of
// a transform.
inline bool summedDirectly(size_t points, size_t lines, int n)
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
// 1e-13 of the sum of the amplitudes. Leaves t->signal changed.
std::vector<Maximum> refinedMaxima(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
                                   const std::vector<double> &phase, double within);

// The continuous maximum of |x| on the grid of t.
double truePeakOn(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
                  const std::vector<double> &phase);

}  // namespace lowcrest

#endif
