// The designer's transforms: FFTW's real transforms of the grids the low-crest search
// works on, the sizes of those grids, and a design's signal made on one.
#ifndef SONVEL_DESIGN_TRANSFORM_H
#define SONVEL_DESIGN_TRANSFORM_H

#include <memory>
#include <vector>

#include "fft.h"
#include "search.h"

namespace lowcrest {

constexpr double PI = 3.14159265358979323846;

// The grids' transforms, each with one owner.
using Transform = RealTransform;
using TransformHandle = std::unique_ptr<RealTransform>;

// A transform of n points, 2 to MAX_TRANSFORM. Throws std::bad_alloc where memory runs
// out.
TransformHandle openTransform(long long n);

// The smallest n = 2^a 3^b 5^c at least want.
long long transformSize(long long want);

// The grid of the true peak: POINTS_PER_CYCLE points a cycle of the highest line.
long long trueGridSize(const std::vector<int> &bins);

// The grid of the clipping and the Lp stages: as dense as the lines' RMS frequency
// needs, at most the true-peak grid.
long long normGridSize(const std::vector<int> &bins, const std::vector<double> &amp);

// t->signal = x at i / n, i = 0 .. n - 1.
void synthesize(Transform *t, const std::vector<int> &bins, const std::vector<double> &amp,
                const std::vector<double> &phase);

// The largest |t->signal[i]|.
double peakOf(const Transform *t);

}  // namespace lowcrest

#endif
