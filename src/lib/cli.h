// The command-line layer every program shares: an option table from which both the
// parsing and the --help text come, the readers of numbers and names, and the group of
// signal options that sonvel, the designer and the analyzer read alike, so that the
// same words give the same values in every program. It prints nothing: a program
// prints the texts and failures it returns (cli_main.h).
#ifndef SONVEL_CLI_H
#define SONVEL_CLI_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "format.h"
#include "levels.h"
#include "result.h"

// One option: its names, its argument, its line in --help and what it does with its
// value. take returns a failure to refuse the command line (its message is printed,
// status 1); nullptr for --help and --version, which the layer answers itself.
struct Option {
    const char *name;   // long name without "--"; nullptr: the letter only
    char letter;        // 0: the long name only
    const char *arg;    // the argument as --help names it ("MS"); nullptr: none
    std::string help;   // what it does, without its default
    std::string byDefault;  // shown as ", DEFAULT by default"; empty: nothing
    std::function<Result(const char *value)> take;
    bool endsParsing = false;  // the options after it are not read (sonvel's -h)
};

// Options under one heading of --help.
struct OptionGroup {
    const char *title;  // "signal options"
    std::vector<Option> options;
};

struct Program {
    const char *name;                // as --help and --version name it
    std::vector<std::string> usage;  // the synopses, without the name
    std::vector<OptionGroup> groups;
    bool letterHForHelp = true;      // -h is --help (sonvel's -h is its own)
    // An unknown letter, or one without its value, draws getopt's diagnostic and the run
    // goes on, as sonvel has always done; other programs refuse it.
    bool letterMistakesGoOn = false;
};

enum class ParseEnd {
    Run,      // the options were read; the operands follow
    Help,     // --help: print helpText, status 0
    Version,  // --version: print versionText, status 0
    Stopped,  // an option that ends parsing was read (sonvel's -h)
    Refused,  // failure says why; status 1
};

struct ParsedLine {
    ParseEnd end = ParseEnd::Run;
    Result failure;
    // An unknown short option or one without its argument does not stop the run: these
    // lines say so, as getopt words them, to be printed before anything else.
    std::string diagnostics;
    std::vector<const char *> operands;
};

// Reads argv with getopt_long in the GNU convention (options and operands in any order,
// "--", POSIXLY_CORRECT). A misspelt, ambiguous or misused long option is refused, and
// so is a letter's mistake unless the program says it goes on.
ParsedLine parseCommandLine(const Program &program, int argc, char **argv);

// The --help text: the synopses and every group's options in one layout of at most 79
// columns.
std::string helpText(const Program &program);

// "NAME 3.2\n".
std::string versionText(const Program &program);

// Readers of option values; each is false for text it does not take whole.
// A decimal number as a person writes it: digits, a point, an exponent; a sign only
// where allowed; no blank, hexadecimal or "inf".
bool readDecimal(const char *text, bool signAllowed, double *value);
// A number at the start of a field of a text file (a table, a calibration file), as
// strtod reads it, finite and within range; *at moves past it. The caller says what
// may follow.
bool readNumberAt(const char **at, double *value);
// Digits only, at most high.
bool readWhole(const char *text, unsigned long long high, unsigned long long *value);
// Digits only, from low (0 or more) to high.
bool readInt(const char *text, int low, int high, int *value);
// One of names (ended by nullptr); *choice is its index.
bool readChoice(const char *text, const char *const *names, int *choice);

// The refusal of an option's value: error: OPTION: "VALUE" is not EXPECTED.
Result refusal(const char *option, const char *value, const char *expected);

// The text with control characters escaped (\n, \t, \xHH), so that a value quoted in a
// message or a comment stays on one line.
std::string escaped(const char *text);

// The signal as sonvel makes it, from its options: the short options are read as atoi
// reads them, and their texts kept so that values beyond 32 bits can be refused.
struct SignalOptions {
    int durationMs = 0;
    int samplingHz = 0;
    int levelDb = 0;
    int taperMs = 0;
    const char *durationText = nullptr;  // as given to -t; none: the default
    const char *samplingText = nullptr;
    const char *taperText = nullptr;
    const char *levelText = nullptr;
    const char *paramPath = nullptr;  // -f; none: standard input
    SampleFormat sampleFormat = SampleFormat::S16;
    Quantizer quantizer = Quantizer::Truncate;
    uint64_t seed = 1;
    const char *levelOption = nullptr;  // --level's text; none when -l came later
    LevelReference reference = LevelReference::Dc;
    Calibration calibration;
    // Whether any of --sample-format, --quantize, --seed, --level, --full-scale and
    // --calibrate was given.
    bool extended = false;
    SignalOptions();
};

// Which of the signal options a program takes.
enum SignalOptionSet : unsigned {
    SIGNAL_DURATION = 1u << 0,  // -t, --duration
    SIGNAL_RATE = 1u << 1,      // -s, --rate
    SIGNAL_LEVEL = 1u << 2,     // -l, --level
    SIGNAL_TAPER = 1u << 3,     // -T, --taper
    SIGNAL_LIST = 1u << 4,      // -f
    SIGNAL_FORMAT = 1u << 5,    // --sample-format, --quantize
    SIGNAL_SEED = 1u << 6,      // --seed, of the dither
    SIGNAL_SCALE = 1u << 7,     // --full-scale, --calibrate
    SIGNAL_ALL = 0xff,
};

// The rows of the signal options in `which`, reading into *s. listHelp is -f's line
// in --help.
OptionGroup signalOptions(SignalOptions *s, unsigned which, const char *listHelp);

// Refuses -t, -s, -T or -l text beyond the 32-bit range, then gives the data and taper
// sizes in samples (at most maxSamples) and the level aimed at in dB re a full-scale
// constant.
Result resolveSignal(const SignalOptions &s, long long maxSamples, int *dataSize, int *taperSize,
                     double *targetDb);

#endif
