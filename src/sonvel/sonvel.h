// Command-line driver of sonvel: options, settings, the report and the run.
#ifndef SONVEL_SONVEL_H
#define SONVEL_SONVEL_H

#include <cstdint>
#include <cstdio>

#include "cli.h"
#include "format.h"
#include "levels.h"
#include "params.h"
#include "sizes.h"

enum OutputFormat { FORMAT_WAVE, FORMAT_RAW };

// The signal's options (cli.h), and sonvel's own.
struct RunSettings : SignalOptions {
    const char *outputPath = nullptr;
    OutputFormat format = FORMAT_WAVE;
    bool listing = false;
    unsigned closedStreams = 0;  // standard descriptors closed at the start (bit n: fd n)
    double targetDb = 0.0;  // the level aimed at, in dB re the format's full-scale constant
    int dataSize = 0;   // samples
    int taperSize = 0;  // samples, at each end
};

// Prints the option summary on standard error.
void usage();

// Prints the build information that follows the summary for -h.
void printBuildInfo(const char *progName);

// Parses the options and the operand into settings, printing what getopt would and
// what ends the run. Returns RUN_CONTINUES, or the exit status when the run ends here
// (-h, --help, --version, a bad level or long option, not exactly one operand).
int parseOptions(int argc, char **argv, RunSettings *settings);

// Checks the numeric options, derives the data and taper sizes in samples and the
// level aimed at. Returns 0, or 1 after a one-line message on standard error.
int deriveSizes(RunSettings *settings);

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
