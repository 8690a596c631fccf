// Multisine design: the lines of periodic multisines on a grid or from a file, their
// spectra and phases, and the highest level at which sonvel accepts a list. The
// functions print nothing: a refusal comes back as a Result, whose message() is its
// one "error: " line.
#ifndef SONVEL_DESIGN_H
#define SONVEL_DESIGN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "format.h"
#include "levels.h"
#include "result.h"
#include "search.h"
#include "sizes.h"

enum GridKind { GRID_LINEAR, GRID_LOG };
enum LineRule { LINES_ALL, LINES_ODD, LINES_RANDOM_ODD, LINES_FILE };
enum PhaseRule { PHASES_ZERO, PHASES_RANDOM, PHASES_SCHROEDER, PHASES_NEWMAN, PHASES_LOW_CREST };

// The designer's own defaults, written once: the settings and the help text both use
// them. Rate, duration and taper are sonvel's (sizes.h); the search's are in search.h.
constexpr double DESIGN_RESOLUTION_HZ = 10.0;
constexpr int DESIGN_PER_OCTAVE = 3;

// The longest period the designer takes, in samples: its transform is the largest it
// makes (MAX_TRANSFORM).
constexpr long long MAX_PERIOD = MAX_TRANSFORM;

struct Band {
    double lowHz, highHz;
};

// sonvel's sample format, quantizer, level reference and calibration, for which the
// highest level is found; given tells whether any was set on the command line.
struct LevelQuery {
    SampleFormat format = SampleFormat::S16;
    Quantizer quantizer = Quantizer::Truncate;
    LevelReference reference = LevelReference::Dc;
    Calibration calibration;
    bool given = false;
};

struct DesignSettings {
    int rateHz = DEFAULT_SAMPLING_HZ;
    double resolutionHz = DESIGN_RESOLUTION_HZ;  // the line spacing
    double bandLowHz = 0.0;                      // 0: one resolution
    double bandHighHz = 0.0;                     // 0: half the rate
    GridKind grid = GRID_LINEAR;
    int perOctave = DESIGN_PER_OCTAVE;  // lines an octave on the log grid
    LineRule lines = LINES_ALL;
    std::string linesFile;       // LINES_FILE: frequencies, and amplitudes, from here
    std::vector<Band> excluded;  // bands that get no line
    // The spectrum: equal amplitudes (flat), or a power density falling or rising by
    // densityDbPerOctave (white 0, pink -3, brown -6), or amplitudes from a file.
    bool flat = true;
    double densityDbPerOctave = 0.0;
    std::string amplitudesFile;
    PhaseRule phases = PHASES_LOW_CREST;
    SearchSettings search;  // its seed is the design's seed
    int realisations = 0;   // 0: one list on standard output; else files PREFIX-r.txt
    std::string prefix;
    int durationMs = DEFAULT_DURATION_MS;
    int taperMs = DEFAULT_TAPER_MS;
    LevelQuery level;  // sonvel's options that the highest level is found for
};

// The lines of a design as multiples of the resolution (bins of one period), rising,
// their amplitudes, and the bins left out as detection lines.
struct LineSet {
    int period = 0;  // samples
    std::vector<int> bins;
    std::vector<double> amp;
    std::vector<int> detection;
};

// The period in samples, rate / resolution, when it is a whole number from 2 to
// MAX_PERIOD; else 0.
int periodOf(int rateHz, double resolutionHz);

// The frequency of a bin: bin * rate / period, exact for every bin the designer makes
// (the product is a whole number below 2^53, and one division rounds it).
double frequencyOf(int bin, int rateHz, int period);

// Refuses, before any search, a period that is no whole number of samples or too long,
// a band outside (0, rate / 2], and the sizes sonvel would refuse for the duration and
// taper, including fades that leave nothing between them.
Result checkSettings(const DesignSettings &s);

// The lines of the settings (grid, line rule, file, excluded bands), with their
// amplitudes and detection lines, in *lines. Random-odd lines draw from *random.
Result designLines(const DesignSettings &s, uint64_t *random, LineSet *lines);

// Amplitudes for a power density of densityDbPerOctave: each line's power is the
// density at its frequency times its share of the band, the resolution on the linear
// grid and 1 / perOctave of an octave on the log grid, so that pink has equal
// amplitudes there. The largest amplitude is 1.
std::vector<double> densityAmplitudes(const std::vector<int> &bins, GridKind grid, double densityDbPerOctave);

// A two-column file: frequency in Hz and a value a line, '#' lines and empty lines
// skipped, text after the second number ignored; a value with the suffix "dB" is a
// level. A refusal names the file and line.
struct Table {
    std::vector<double> freq, value;
    bool decibels = false;
};
Result readTable(const std::string &path, bool valuesNeeded, Table *table);

// The table's amplitudes at the frequencies of bins: a table frequency equal to a
// line's gives its value as written; between two table frequencies the level in dB is
// interpolated on log frequency; beyond the ends the end's value holds.
std::vector<double> tableAmplitudes(const Table &table, const std::vector<int> &bins, int rateHz, int period);

// Phases in radians for sonvel's sines, each within (-pi, pi].
std::vector<double> randomPhases(std::size_t count, uint64_t *random);
// Schroeder's phases for any amplitude spectrum, and Newman's for equal amplitudes:
// both are written for cosines and come out shifted by pi/2 for sines.
std::vector<double> schroederPhases(const std::vector<int> &bins, const std::vector<double> &amp);
std::vector<double> newmanPhases(std::size_t count);

// The highest levels at which sonvel accepts the list for a signal of durationMs with
// fades of taperMs at rateHz, found with sonvel's own synthesis, fades, measurement and
// level setting, for the query's format, quantizer, reference and calibration: in whole
// decibels of the reference (for -l) in *wholeDb, and in hundredths of a decibel of the
// calibrated unit, or of the reference (for --level), in *level. Fails on sizes sonvel
// refuses, and with the refusal at -200 dB when no level down to it is accepted.
Result highestLevel(const std::vector<double> &freq, const std::vector<double> &amp,
                    const std::vector<double> &phase, int rateHz, int durationMs, int taperMs,
                    const LevelQuery &query, int *wholeDb, double *level);

#endif
