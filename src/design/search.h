// Peaks of periodic multisines and the search for the phases that lower them.
//
// A design's signal over one period, t in [0, 1), is
//     x(t) = sum over j of amp_j sin(2 pi bins_j t + phase_j),
// so its peaks depend on the lines (bins, amplitudes, phases) and not on the sampling
// rate; only the peak on the samples depends on the period in samples.
#ifndef SONVEL_SEARCH_H
#define SONVEL_SEARCH_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "random.h"

// The phase within (-pi, pi].
double wrapPhase(double phase);

// What the low-crest search lowers: the continuous (true) peak, the peak on the
// period's samples (what sonvel's level test sees), or the product of the two.
enum PeakKind { PEAK_TRUE, PEAK_SAMPLES, PEAK_BOTH };

// The defaults of the search, written once for the settings and the help text.
constexpr int SEARCH_ITERATIONS = 200;
constexpr double SEARCH_SECONDS = 3.0;

// The largest transform the designer makes, in points: 2^24 points take 256 MiB with
// their spectrum, and every transform of a design together stays below 1 GiB.
constexpr long long MAX_TRANSFORM = 1LL << 24;
// Points a cycle of the highest line on the grid where peaks are looked for.
constexpr int POINTS_PER_CYCLE = 16;
// The highest line, in cycles a period, whose grid stays within MAX_TRANSFORM.
constexpr long long MAX_HIGHEST_BIN = MAX_TRANSFORM / POINTS_PER_CYCLE;

// Peak over RMS needs the RMS: sqrt(sum of amp^2 / 2).
double rmsOf(const std::vector<double> &amp);

// The continuous maximum of |x(t)|: the largest maxima on a grid of POINTS_PER_CYCLE
// points a cycle of the highest line, each refined by Newton's method on x'(t) = 0.
double truePeak(const std::vector<int> &bins, const std::vector<double> &amp,
                const std::vector<double> &phase);

// The largest |x(n / period)|, n = 0 .. period - 1: the peak of the period's samples.
double samplePeak(const std::vector<int> &bins, const std::vector<double> &amp,
                  const std::vector<double> &phase, int period);

struct SearchSettings {
    PeakKind peak = PEAK_TRUE;
    int period = 0;                      // samples a period, for the sample peak
    int iterations = SEARCH_ITERATIONS;  // the most steps of a start's last stages
    int starts = 0;                      // random starts; 0: as many as the time allows
    // Starts are made until their work reaches this many seconds, estimated from the
    // transforms and steps they take (counted, not measured: the same settings give the
    // same starts, and the same phases, on any machine and under any load).
    double seconds = SEARCH_SECONDS;
    uint64_t seed = 1;
    // Threads that make starts at once; 0: the processors this process may run on. The
    // result is the same with any number.
    int threads = 0;
};

struct SearchOutcome {
    std::vector<double> phase;  // the best phases found, each within (-pi, pi]
    int starts = 0;             // starts made
    int bestStart = 0;          // the start (from 1) that gave them
    double peak = 0.0;          // their peak by the search's measure (PeakKind)
};

// Phases of a low peak: from each random start, iterative clipping, then a descent of
// the Lp norm of the signal on the grid with p raised stage by stage. A start that ends
// these within 0.3 % of the best so far goes on to the last stages, which lower the same
// norm of the continuous maxima (PEAK_TRUE, or its part of PEAK_BOTH) with p = 2048 and
// 8192, for settings.iterations steps between them at most. Every point these stages
// evaluate is measured exactly, and the best point met wins. Start k's phases depend on
// the seed and k alone, and a stage ends when it stops gaining, not by the step count,
// so more starts or more iterations never give a higher peak. Later starts' clipping
// and Lp stages are made ahead on other threads (settings.threads) while a start's last
// stages run; the outcome is the same on any number.
SearchOutcome lowCrestPhases(const std::vector<int> &bins, const std::vector<double> &amp,
                             const SearchSettings &settings);

#endif
