// sonvel-design: writes sonvel parameter lists for periodic multisines, with frequency
// grids, spectra and phases of the lowest crest factor, and the highest level at which
// sonvel plays them.
#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "design.h"
#include "list_text.h"
#include "out_file.h"

namespace {

// Numbers as a person writes them, all text: digits, a decimal point and an exponent,
// a sign only where the value may be negative, no blank, no hexadecimal, no "inf".
bool readDecimal(const char *text, bool signAllowed, double *value)
{
    const char *at = text;
    if (signAllowed && (*at == '-' || *at == '+')) at++;
    if (!std::isdigit(static_cast<unsigned char>(*at)) && *at != '.') return false;
    for (const char *c = at; *c; c++) {
        const bool exponentSign = (*c == '-' || *c == '+') && (c[-1] == 'e' || c[-1] == 'E');
        if (!std::isdigit(static_cast<unsigned char>(*c)) && *c != '.' && *c != 'e' && *c != 'E' &&
            !exponentSign)
            return false;
    }
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

bool readWhole(const char *text, unsigned long long high, unsigned long long *value)
{
    for (const char *c = text; *c; c++)
        if (!std::isdigit(static_cast<unsigned char>(*c))) return false;
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || v > high) return false;
    *value = v;
    return true;
}

bool readInt(const char *text, int low, int high, int *value)
{
    unsigned long long v = 0;
    if (!readWhole(text, static_cast<unsigned long long>(high), &v) ||
        v < static_cast<unsigned long long>(low))
        return false;
    *value = static_cast<int>(v);
    return true;
}

// LOW:HIGH in Hz, both positive.
bool readBand(const char *text, Band *band)
{
    const char *colon = std::strchr(text, ':');
    if (!colon) return false;
    const std::string low(text, colon);
    return readDecimal(low.c_str(), false, &band->lowHz) && readDecimal(colon + 1, false, &band->highHz) &&
           band->lowHz > 0.0 && band->highHz > 0.0;
}

bool choose(const char *value, const char *const *names, int *choice)
{
    for (int i = 0; names[i]; i++) {
        if (std::strcmp(value, names[i]) == 0) {
            *choice = i;
            return true;
        }
    }
    return false;
}

// The text with control characters escaped (\n, \t, \xHH), so that it stays on one
// line: in the first comment no argument can end the comment and start a line that
// sonvel would read, and an error message stays one line.
std::string escaped(const char *text)
{
    std::string out;
    for (const char *c = text; *c; c++) {
        const unsigned char u = static_cast<unsigned char>(*c);
        if (u >= 0x20 && u != 0x7f) {
            out += *c;
        } else {
            char code[8];
            std::snprintf(code, sizeof code, u == '\n' ? "\\n" : u == '\t' ? "\\t" : "\\x%02x", u);
            out += code;
        }
    }
    return out;
}

// One option: its names, its argument and help text for the summary, the default the
// summary shows, and how its value is taken (false: refused, with `expected` saying
// what it should have been).
struct OptionSpec {
    const char *name;
    char letter;      // 0: a long name only
    const char *arg;  // nullptr: no argument
    const char *help;
    std::string byDefault;  // shown as ", D by default"; empty: nothing
    const char *expected;
    bool (*take)(const char *value, DesignSettings *s);
};

std::string number(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

const std::vector<OptionSpec> &optionTable()
{
    static const char *const GRIDS[] = {"linear", "log", nullptr};
    static const char *const LINES[] = {"all", "odd", "random-odd", nullptr};
    static const char *const PHASES[] = {"zero", "random", "schroeder", "newman", "low-crest", nullptr};
    static const char *const PEAKS[] = {"true", "samples", "both", nullptr};
    static const std::vector<OptionSpec> table = {
        {"rate", 's', "HZ", "sampling frequency", number(DEFAULT_SAMPLING_HZ), "a rate in Hz",
         [](const char *v, DesignSettings *s) { return readInt(v, 1, INT_MAX, &s->rateHz); }},
        {"resolution", 0, "HZ", "line spacing; rate / resolution must be whole", number(DESIGN_RESOLUTION_HZ),
         "a spacing in Hz",
         [](const char *v, DesignSettings *s) {
             return readDecimal(v, false, &s->resolutionHz) && s->resolutionHz > 0.0;
         }},
        {"band", 0, "LOW:HIGH", "lines in this band, 0 < LOW < HIGH <= half the rate", "", "LOW:HIGH in Hz",
         [](const char *v, DesignSettings *s) {
             Band b;
             if (!readBand(v, &b)) return false;
             s->bandLowHz = b.lowHz;
             s->bandHighHz = b.highHz;
             return true;
         }},
        {"grid", 0, "linear|log", "every multiple of the resolution, or a log grid", "linear",
         "linear or log",
         [](const char *v, DesignSettings *s) {
             int c = 0;
             return choose(v, GRIDS, &c) && (s->grid = static_cast<GridKind>(c), true);
         }},
        {"per-octave", 0, "K", "lines an octave on the log grid", number(DESIGN_PER_OCTAVE),
         "a count from 1 to 1000",
         [](const char *v, DesignSettings *s) { return readInt(v, 1, 1000, &s->perOctave); }},
        {"lines", 0, "all|odd|random-odd|FILE",
         "all lines, odd multiples, odd with one in 4 left out, or the lines of a file (frequency and "
         "amplitude a line)",
         "all", "all, odd, random-odd or a file",
         [](const char *v, DesignSettings *s) {
             int c = 0;
             if (choose(v, LINES, &c)) {
                 s->lines = static_cast<LineRule>(c);
             } else {
                 s->lines = LINES_FILE;
                 s->linesFile = v;
             }
             return *v != '\0';
         }},
        {"exclude", 0, "LOW:HIGH", "no line from LOW to HIGH Hz; may be repeated", "", "LOW:HIGH in Hz",
         [](const char *v, DesignSettings *s) {
             Band b;
             if (!readBand(v, &b) || b.lowHz > b.highHz) return false;
             s->excluded.push_back(b);
             return true;
         }},
        {"spectrum", 0, "flat|white|pink|brown|SLOPE",
         "equal amplitudes, or a power density of 0, -3.01, -6.02 or SLOPE dB an octave", "flat",
         "flat, white, pink, brown or a slope in dB an octave",
         [](const char *v, DesignSettings *s) {
             static const char *const NAMES[] = {"flat", "white", "pink", "brown", nullptr};
             // Pink is 1 / f and brown 1 / f^2: -3.01 and -6.02 dB an octave.
             static const double SLOPES[] = {0.0, 0.0, -10.0 * std::log10(2.0), -20.0 * std::log10(2.0)};
             int c = 0;
             s->flat = false;
             if (choose(v, NAMES, &c)) {
                 s->flat = c == 0;
                 s->densityDbPerOctave = SLOPES[c];
                 return true;
             }
             return readDecimal(v, true, &s->densityDbPerOctave) && std::fabs(s->densityDbPerOctave) <= 100.0;
         }},
        {"amplitudes", 0, "FILE",
         "amplitudes (or levels with \"dB\") by frequency, interpolated on the lines", "", "a file",
         [](const char *v, DesignSettings *s) { return *v != '\0' && (s->amplitudesFile = v, true); }},
        {"phases", 0, "zero|random|schroeder|newman|low-crest", "the phases", "low-crest",
         "one of the phase rules",
         [](const char *v, DesignSettings *s) {
             int c = 0;
             return choose(v, PHASES, &c) && (s->phases = static_cast<PhaseRule>(c), true);
         }},
        {"peak", 0, "true|samples|both", "the peak the low-crest search lowers", "true",
         "true, samples or both",
         [](const char *v, DesignSettings *s) {
             int c = 0;
             return choose(v, PEAKS, &c) && (s->search.peak = static_cast<PeakKind>(c), true);
         }},
        {"seed", 0, "N", "random seed", "1", "a whole number",
         [](const char *v, DesignSettings *s) {
             unsigned long long seed = 0;
             return readWhole(v, ULLONG_MAX, &seed) && (s->search.seed = seed, true);
         }},
        {"starts", 0, "N", "random starts of the low-crest search, whatever --time says", "",
         "a count from 1 to 1000000",
         [](const char *v, DesignSettings *s) { return readInt(v, 1, 1000000, &s->search.starts); }},
        {"time", 0, "S", "seconds of work the starts may take, counted from their steps, not clocked",
         number(SEARCH_SECONDS), "a time in seconds from 0.001 to 1000000",
         [](const char *v, DesignSettings *s) {
             return readDecimal(v, false, &s->search.seconds) && s->search.seconds >= 0.001 &&
                    s->search.seconds <= 1e6;
         }},
        {"iterations", 0, "N", "the most steps of each start's last stages, on the continuous peak",
         number(SEARCH_ITERATIONS), "a count from 1 to 100000",
         [](const char *v, DesignSettings *s) { return readInt(v, 1, 100000, &s->search.iterations); }},
        {"realisations", 0, "R",
         "write R designs with seeds N .. N+R-1 to PREFIX-1.txt ..; PREFIX is the operand", "",
         "a count from 1 to 10000",
         [](const char *v, DesignSettings *s) { return readInt(v, 1, 10000, &s->realisations); }},
        {"sample-format", 0, "s16|s24|s32|f32", "sonvel's sample format for the highest level", "s16",
         "s16, s24, s32 or f32",
         [](const char *v, DesignSettings *s) { return s->level.given = sampleFormatNamed(v, &s->level.format); }},
        {"quantize", 0, "truncate|round|tpdf", "sonvel's quantizer for the highest level", "truncate",
         "truncate, round or tpdf",
         [](const char *v, DesignSettings *s) { return s->level.given = quantizerNamed(v, &s->level.quantizer); }},
        {"full-scale", 0, "dc|sine", "the highest level in dB of a full-scale constant or sine", "dc",
         "dc or sine",
         [](const char *v, DesignSettings *s) { return s->level.given = referenceNamed(v, &s->level.reference); }},
        {"calibrate", 0, "DB=LEVEL", "the highest level also in dB SPL, dBu or dBV, as sonvel's", "",
         "DB=LEVEL with LEVEL in dB SPL, dBu or dBV",
         [](const char *v, DesignSettings *s) { return s->level.given = parseCalibration(v, &s->level.calibration); }},
        {"duration", 't', "MS", "signal duration for the highest level", number(DEFAULT_DURATION_MS),
         "a duration in ms",
         [](const char *v, DesignSettings *s) { return readInt(v, 1, INT_MAX, &s->durationMs); }},
        {"taper", 'T', "MS", "taper length for the highest level", number(DEFAULT_TAPER_MS), "a length in ms",
         [](const char *v, DesignSettings *s) { return readInt(v, 0, INT_MAX, &s->taperMs); }},
        {"help", 'h', nullptr, "print this message", "", "", nullptr},
    };
    return table;
}

// The option summary on standard output; 1 after an "error: " line when it could not
// be written.
int printHelp()
{
    std::string text =
        "usage:\tsonvel-design [options] > list.txt\n"
        "\tsonvel-design --realisations R [options] PREFIX\n"
        "options:\n";
    for (const OptionSpec &o : optionTable()) {
        std::string names =
            o.letter ? std::string("-") + o.letter + ", --" + o.name : std::string("    --") + o.name;
        if (o.arg) names += std::string(" ") + o.arg;
        names.resize(std::max<size_t>(names.size() + 1, 28), ' ');
        text +=
            "  " + names + o.help + (o.byDefault.empty() ? "" : ", " + o.byDefault + " by default") + "\n";
    }
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        std::fputs("error: fail to write the help text to standard output.\n", stderr);
        return 1;
    }
    return 0;
}

// Options that cannot go together, and the operand: PREFIX with --realisations, none
// without.
int checkCombinations(int argc, char **argv, DesignSettings *s)
{
    const int operands = argc - optind;
    if (s->realisations > 0 && operands != 1) {
        std::fputs("error: --realisations: give one PREFIX for the files PREFIX-1.txt ...\n", stderr);
        return 1;
    }
    if (s->realisations == 0 && operands > 0) {
        std::fprintf(stderr,
                     "error: \"%s\": sonvel-design takes no operand; the list goes to standard output.\n",
                     escaped(argv[optind]).c_str());
        return 1;
    }
    if (s->realisations > 0) s->prefix = argv[optind];
    if (s->lines == LINES_FILE && (!s->flat || s->densityDbPerOctave != 0.0 || !s->amplitudesFile.empty())) {
        std::fputs(
            "error: --lines FILE takes its amplitudes from the file, not from --spectrum or --amplitudes.\n",
            stderr);
        return 1;
    }
    if (s->realisations > 0 && s->phases != PHASES_RANDOM && s->phases != PHASES_LOW_CREST) {
        std::fputs("error: --realisations: the phases must be random or low-crest to differ.\n", stderr);
        return 1;
    }
    return RUN_CONTINUES;
}

// Reads the command line into s. Returns RUN_CONTINUES, or the exit status.
int parseDesignOptions(int argc, char **argv, DesignSettings *s)
{
    const std::vector<OptionSpec> &table = optionTable();
    std::vector<option> longOptions;
    std::string letters;
    for (size_t i = 0; i < table.size(); i++) {
        const int code = table[i].letter ? table[i].letter : 256 + static_cast<int>(i);
        longOptions.push_back({table[i].name, table[i].arg ? required_argument : no_argument, nullptr, code});
        if (table[i].letter) letters += std::string(1, table[i].letter) + (table[i].arg ? ":" : "");
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});
    optind = 0;
    for (int c; (c = getopt_long(argc, argv, letters.c_str(), longOptions.data(), nullptr)) != -1;) {
        const OptionSpec *o = nullptr;
        for (size_t i = 0; i < table.size(); i++)
            if (c == (table[i].letter ? table[i].letter : 256 + static_cast<int>(i))) o = &table[i];
        if (!o) return 1;  // getopt_long has printed its diagnostic
        if (!o->take) return printHelp();
        if (!o->take(optarg, s)) {
            std::fprintf(stderr, "error: --%s: \"%s\" is not %s.\n", o->name, escaped(optarg).c_str(),
                         o->expected);
            return 1;
        }
    }
    return checkCombinations(argc, argv, s);
}

// The command line as the first comment shows it.
std::string echoedCommand(int argc, char **argv)
{
    std::string command = "sonvel-design";
    for (int i = 1; i < argc; i++) command += " " + escaped(argv[i]);
    return command;
}

// Realisation r in PREFIX-r.txt, which appears whole or not at all; the file is claimed
// before the search, so that a path that cannot be written costs no search. Any way out
// but the commit, an exception among them, discards it. 1 after an "error: " line.
int writeRealisation(const DesignSettings &s, const LineSet &lines, int r, const std::string &command)
{
    const std::string path = s.prefix + "-" + std::to_string(r) + ".txt";
    OutputFile file;
    if (!openOutput(path.c_str(), &file)) {
        std::fprintf(stderr, "error: fail to open \"%s\".\n", escaped(path.c_str()).c_str());
        return 1;
    }
    std::string out;
    if (designList(s, lines, s.search.seed + static_cast<uint64_t>(r - 1), r, command, &out)) return 1;
    const bool written =
        beginOutput(&file) && std::fwrite(out.data(), 1, out.size(), file.stream) == out.size();
    if (!written || !commitOutput(&file)) {
        std::fprintf(stderr, "error: fail to save \"%s\".\n", escaped(path.c_str()).c_str());
        return 1;
    }
    return 0;
}

// The run of the designer; main returns what this returns.
int designMain(int argc, char **argv)
{
    DesignSettings s;
    int status = parseDesignOptions(argc, argv, &s);
    if (status != RUN_CONTINUES) return status;
    Result r = checkSettings(s);
    uint64_t random = s.search.seed;
    LineSet lines;
    if (r.ok()) r = designLines(s, &random, &lines);
    if (!r.ok()) {
        std::fputs(r.message().c_str(), stderr);
        return 1;
    }
    const std::string command = echoedCommand(argc, argv);
    if (s.realisations == 0) {
        // Everything is known: the list is written in one piece, or not at all.
        std::string out;
        if (designList(s, lines, s.search.seed, 0, command, &out)) return 1;
        if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
            std::fputs("error: fail to write the list to standard output.\n", stderr);
            return 1;
        }
        return 0;
    }
    for (int r = 1; r <= s.realisations; r++)
        if (writeRealisation(s, lines, r, command)) return 1;
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    // An allocation that fails ends the run with a message and status 1, as in sonvel.
    try {
        return designMain(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fputs("error: out of memory.\n", stderr);
        return 1;
    }
}
