// Multisine design: frequency grids of periodic multisines, their spectra and phases,
// crest factors measured on an oversampled period, and the highest level at which
// sonvel accepts a list.
#ifndef SONVEL_DESIGN_H
#define SONVEL_DESIGN_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "result.h"
#include "sizes.h"

enum GridKind { GRID_LINEAR, GRID_LOG };
enum LineSet { LINES_ALL, LINES_ODD, LINES_RANDOM_ODD };
enum PhaseRule { PHASES_ZERO, PHASES_RANDOM, PHASES_SCHROEDER, PHASES_NEWMAN, PHASES_LOW_CREST };

// The designer's own defaults, written once: the settings and the help text both use
// them. Rate, duration and taper are sonvel's (sizes.h).
constexpr double DESIGN_RESOLUTION_HZ = 10.0;
constexpr int DESIGN_PER_OCTAVE = 3;
constexpr int DESIGN_ITERATIONS = 100;

// The true peak is looked for on the period sampled this many times more densely.
constexpr int TRUE_PEAK_OVERSAMPLING = 16;

struct DesignSettings {
    int rateHz = DEFAULT_SAMPLING_HZ;
    double resolutionHz = DESIGN_RESOLUTION_HZ;  // the line spacing
    double bandLowHz = 0.0;   // 0: one resolution
    double bandHighHz = 0.0;  // 0: the highest line below half the rate
    GridKind grid = GRID_LINEAR;
    int perOctave = DESIGN_PER_OCTAVE;  // lines an octave on the log grid
    LineSet lines = LINES_ALL;
    double slopeDbPerOctave = 0.0;
    PhaseRule phases = PHASES_LOW_CREST;
    uint64_t seed = 1;
    int iterations = DESIGN_ITERATIONS;  // per stage of the low-crest optimiser
    int durationMs = DEFAULT_DURATION_MS;
    int taperMs = DEFAULT_TAPER_MS;
};

// Where the random choices come from: a SplitMix64 state, the same numbers on every
// machine for the same seed.
uint64_t nextRandom(uint64_t *state);
double uniformRandom(uint64_t *state);  // in [0, 1)

// The period in samples, rate / resolution, when it is a whole number of at least 2;
// else 0.
int periodOf(int rateHz, double resolutionHz);

// The lines of the design as multiples of the resolution (bins of one period), rising.
// Returns 0, or 1 after one "error: " line on standard error.
int designLines(const DesignSettings *s, uint64_t *random, std::vector<int> *bins);

// Amplitudes that fall or rise by slopeDbPerOctave, the largest 1.
std::vector<double> slopeAmplitudes(const std::vector<int> &bins, double slopeDbPerOctave);

// Phases in radians for sonvel's sines, each within (-pi, pi].
double wrapPhase(double phase);
std::vector<double> randomPhases(std::size_t count, uint64_t *random);
// Schroeder's phases for any amplitude spectrum, and Newman's for equal amplitudes:
// both are written for cosines and come out shifted by pi/2 for sines.
std::vector<double> schroederPhases(const std::vector<int> &bins, const std::vector<double> &amp);
std::vector<double> newmanPhases(std::size_t count);
// Phases that minimise the true peak: from several random starts, iterative clipping,
// then a descent of the Lp norm with p doubled stage by stage; the start whose result
// has the lowest true peak wins.
std::vector<double> lowCrestPhases(const std::vector<int> &bins, const std::vector<double> &amp,
                                   int period, int iterations, uint64_t *random);

// Peak over RMS of the periodic signal sum of amp sin(2 pi bin n / period + phase),
// looked for on the period sampled oversampling times per sample.
double crestFactor(const std::vector<int> &bins, const std::vector<double> &amp,
                   const std::vector<double> &phase, int period, int oversampling);

// The highest integer level below 0 dB at which sonvel accepts the list for a signal of
// durationMs with fades of taperMs at rateHz, found with sonvel's own synthesis, fades,
// measurement and level setting, in *level. Fails on sizes sonvel refuses, and with
// Status::Overflow (the peak at -200 dB) when no level from -1 to -200 dB is accepted.
Result highestLevel(const std::vector<double> &freq, const std::vector<double> &amp,
                    const std::vector<double> &phase, int rateHz, int durationMs, int taperMs,
                    int *level);

#endif
