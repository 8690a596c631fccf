// Command-line driver of sonvel: options, settings, the report and the run.
#ifndef SONVEL_SONVEL_H
#define SONVEL_SONVEL_H

#include <cstdint>
#include <cstdio>

#include "format.h"
#include "levels.h"
#include "params.h"
#include "sizes.h"

enum OutputFormat { FORMAT_WAVE, FORMAT_RAW };

struct RunSettings {
    int durationMs = DEFAULT_DURATION_MS;
    int samplingHz = DEFAULT_SAMPLING_HZ;
    int levelDb = DEFAULT_LEVEL_DB;
    int taperMs = DEFAULT_TAPER_MS;
    const char *paramPath = nullptr;  // none: standard input
    const char *outputPath = nullptr;
    OutputFormat format = FORMAT_WAVE;
    bool listing = false;
    unsigned closedStreams = 0;  // standard descriptors closed at the start (bit n: fd n)
    // The long options: sample format, quantizer, dither seed, the --level text (none
    // when -l came later), the level's reference and calibration, and whether any of
    // them was given (the report then says what they made of the run).
    SampleFormat sampleFormat = SampleFormat::S16;
    Quantizer quantizer = Quantizer::Truncate;
    uint64_t seed = 1;
    const char *levelOption = nullptr;
    LevelReference reference = LevelReference::Dc;
    Calibration calibration;
    bool extended = false;
    double targetDb = 0.0;  // the level aimed at, in dB re the format's full-scale constant
    int dataSize = 0;   // samples
    int taperSize = 0;  // samples, at each end
    // The texts given to -t, -s, -T and -l (none: the default), kept so that digits
    // beyond the 32-bit range, which atoi cannot report, can be refused.
    const char *durationText = nullptr;
    const char *samplingText = nullptr;
    const char *taperText = nullptr;
    const char *levelText = nullptr;
};

// Opens /dev/null on standard output or standard error where either is closed, so that
// no file the program opens later takes its place and receives the report or the
// listing. Returns which were closed (bit n for descriptor n).
unsigned guardStandardStreams();

// Prints the option summary on standard error.
void usage();

// Prints the build information that follows the summary for -h.
void printBuildInfo(const char *progName);

// Parses the options and the operand into settings. Returns RUN_CONTINUES, or the
// exit status when the run ends here (-h, a bad level, not exactly one operand).
int parseOptions(int argc, char **argv, RunSettings *settings);

// Checks the numeric options, derives the data and taper sizes in samples and the
// level aimed at (resolveLevel). Returns 0, or 1 after a one-line message on standard
// error.
int deriveSizes(RunSettings *settings);

// The level aimed at, in dB relative to the format's full-scale constant, from -l or
// --level with its reference and unit. Returns 0, or 1 after a one-line message.
int resolveLevel(RunSettings *settings);

// readParams for the command line: returns the count (1 to MAXSINES), or 0 after the
// message on standard error.
int readpars(double *freq, double *amp, double *phase, FILE *fp);

// Opens the -f file as text, or gives standard input. Null after a message.
FILE *openParamSource(const RunSettings *settings);

// The second half of a run: report, output file, synthesis, header, samples, listing.
// Takes ownership of paramStream. Returns the exit status.
int runGeneration(const RunSettings *settings, const ParamTable *table, FILE *paramStream,
                  const char *progName);

// The whole program; main returns what this returns.
int sonvelMain(int argc, char **argv);

#endif
