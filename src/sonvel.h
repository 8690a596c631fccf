// Command-line driver of sonvel: settings, the parameter list reader and the run.
#ifndef SONVEL_SONVEL_H
#define SONVEL_SONVEL_H

#include <cstdio>

// Largest number of sinusoidal components in one parameter list.
constexpr int MAXSINES = 2048;

// Built-in defaults, written once: the settings and the option summary both use them.
constexpr int DEFAULT_DURATION_MS = 500;
constexpr int DEFAULT_SAMPLING_HZ = 12000;
constexpr int DEFAULT_LEVEL_DB = -15;
constexpr int DEFAULT_TAPER_MS = 50;

// Largest data size in samples: a WAVE file's RIFF size, 2 bytes a sample plus the
// 36 bytes of header that follow the size field, must fit in 32 bits unsigned.
constexpr int MAX_DATA_SIZE = 2147483629;

// Returned by parseOptions when the run goes on.
constexpr int RUN_CONTINUES = -1;

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
    int dataSize = 0;   // samples
    int taperSize = 0;  // samples, at each end
    // The texts given to -t, -s, -T and -l (none: the default), kept so that digits
    // beyond the 32-bit range, which atoi cannot report, can be refused.
    const char *durationText = nullptr;
    const char *samplingText = nullptr;
    const char *taperText = nullptr;
    const char *levelText = nullptr;
};

// Three parallel columns of component values, filled from index 0, with their count.
struct ParamTable {
    double freq[MAXSINES];   // Hz
    double amp[MAXSINES];    // linear
    double phase[MAXSINES];  // radians
    int count;
};

// Opens /dev/null on standard output or standard error where either is closed, so that
// no file the program opens later takes its place and receives the report or the
// listing.
void guardStandardStreams();

// Prints the option summary on standard error.
void usage();

// Prints the build information that follows the summary for -h.
void printBuildInfo(const char *progName);

// Parses the options and the operand into settings. Returns RUN_CONTINUES, or the
// exit status when the run ends here (-h, a bad level, not exactly one operand).
int parseOptions(int argc, char **argv, RunSettings *settings);

// Whether text, read as atoi reads it (blanks, a sign, digits up to the first other
// character), holds a value within the range of a 32-bit int.
bool fitsInt(const char *text);

// Checks the numeric options and derives the data and taper sizes in samples.
// Returns 0, or 1 after a one-line message on standard error.
int deriveSizes(RunSettings *settings);

// Opens the -f file as text, or gives standard input. Null after a message.
FILE *openParamSource(const RunSettings *settings);

// Reads the parameter list from fp into the three columns. Returns the number of
// components (1 to MAXSINES), or 0 after a message on standard error.
int readpars(double *freq, double *amp, double *phase, FILE *fp);

// Reads one line piece of at most 79 characters into buf (80 bytes), keeping its line
// end if it fits; a CR LF pair reads as a lone LF. Returns the number of characters
// stored (NUL bytes included), or 0 at end of stream or on a read error.
int readLine(char *buf, FILE *fp);

// The second half of a run: report, output file, synthesis, header, samples, listing.
// Takes ownership of paramStream. Returns the exit status.
int runGeneration(const RunSettings *settings, const ParamTable *table, FILE *paramStream,
                  const char *progName);

// The whole program; main returns what this returns.
int sonvelMain(int argc, char **argv);

#endif
