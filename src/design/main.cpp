// sonvel-design: writes sonvel parameter lists for periodic multisines, with frequency
// grids, spectra and phases of the lowest crest factor, and the highest level at which
// sonvel plays them.
#include <getopt.h>

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

namespace {

void printHelp()
{
    std::printf(
        "usage:\tsonvel-design [options] > list.txt\n"
        "options:\n"
        "\t-s, --rate HZ\t\t: sampling frequency, %d by default\n"
        "\t--resolution HZ\t\t: line spacing, %g by default; rate / resolution must be whole\n"
        "\t--band LOW:HIGH\t\t: lines in this band, below half the rate\n"
        "\t--grid linear|log\t: every multiple of the resolution, or a log grid\n"
        "\t--per-octave K\t\t: lines an octave on the log grid, %d by default\n"
        "\t--lines all|odd|random-odd\t: all lines, odd multiples, or odd with one in 4 left out\n"
        "\t--spectrum flat|pink|SLOPE\t: amplitude slope in dB an octave (pink: -3)\n"
        "\t--phases zero|random|schroeder|newman|low-crest\t: low-crest by default\n"
        "\t--seed N\t\t: random seed, 1 by default\n"
        "\t--iterations N\t\t: steps a stage of the low-crest search, %d by default\n"
        "\t-t, --duration MS\t: signal duration for the highest level, %d by default\n"
        "\t-T, --taper MS\t\t: taper length for the highest level, %d by default\n"
        "\t-h, --help\t\t: print this message\n",
        DEFAULT_SAMPLING_HZ, DESIGN_RESOLUTION_HZ, DESIGN_PER_OCTAVE, DESIGN_ITERATIONS,
        DEFAULT_DURATION_MS, DEFAULT_TAPER_MS);
}

int refuse(const char *option, const char *value, const char *expected)
{
    std::fprintf(stderr, "error: %s: \"%s\" is not %s.\n", option, value, expected);
    return 1;
}

// Whole numbers and decimal numbers whose text is all number.
bool readInt(const char *text, long low, long high, int *value)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < low || v > high) return false;
    *value = static_cast<int>(v);
    return true;
}

bool readDouble(const char *text, double *value)
{
    char *end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

int choose(const char *option, const char *value, const char *const *names, int *choice)
{
    for (int i = 0; names[i]; i++) {
        if (std::strcmp(value, names[i]) == 0) {
            *choice = i;
            return 0;
        }
    }
    return refuse(option, value, "one of the choices in --help");
}

enum LongOnly { OPT_RESOLUTION = 256, OPT_BAND, OPT_GRID, OPT_PER_OCTAVE, OPT_LINES, OPT_SPECTRUM,
                OPT_PHASES, OPT_SEED, OPT_ITERATIONS };

// Reads the command line into s. Returns RUN_CONTINUES, or the exit status.
int parseDesignOptions(int argc, char **argv, DesignSettings *s)
{
    static const option LONG_OPTIONS[] = {
        {"rate", required_argument, nullptr, 's'},
        {"resolution", required_argument, nullptr, OPT_RESOLUTION},
        {"band", required_argument, nullptr, OPT_BAND},
        {"grid", required_argument, nullptr, OPT_GRID},
        {"per-octave", required_argument, nullptr, OPT_PER_OCTAVE},
        {"lines", required_argument, nullptr, OPT_LINES},
        {"spectrum", required_argument, nullptr, OPT_SPECTRUM},
        {"phases", required_argument, nullptr, OPT_PHASES},
        {"seed", required_argument, nullptr, OPT_SEED},
        {"iterations", required_argument, nullptr, OPT_ITERATIONS},
        {"duration", required_argument, nullptr, 't'},
        {"taper", required_argument, nullptr, 'T'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    static const char *const GRIDS[] = {"linear", "log", nullptr};
    static const char *const LINES[] = {"all", "odd", "random-odd", nullptr};
    static const char *const PHASES[] = {"zero", "random", "schroeder", "newman", "low-crest", nullptr};
    optind = 0;
    int c, choice = 0;
    while ((c = getopt_long(argc, argv, "s:t:T:h", LONG_OPTIONS, nullptr)) != -1) {
        switch (c) {
        case 's':
            if (!readInt(optarg, 1, INT_MAX, &s->rateHz)) return refuse("--rate", optarg, "a rate in Hz");
            break;
        case 't':
            if (!readInt(optarg, 1, INT_MAX, &s->durationMs))
                return refuse("--duration", optarg, "a duration in ms");
            break;
        case 'T':
            if (!readInt(optarg, 0, INT_MAX, &s->taperMs)) return refuse("--taper", optarg, "a length in ms");
            break;
        case OPT_RESOLUTION:
            if (!readDouble(optarg, &s->resolutionHz) || s->resolutionHz <= 0.0)
                return refuse("--resolution", optarg, "a spacing in Hz");
            break;
        case OPT_BAND: {
            std::string band(optarg);
            size_t colon = band.find(':');
            if (colon == std::string::npos ||
                !readDouble(band.substr(0, colon).c_str(), &s->bandLowHz) ||
                !readDouble(band.substr(colon + 1).c_str(), &s->bandHighHz) || s->bandLowHz <= 0.0)
                return refuse("--band", optarg, "LOW:HIGH in Hz");
            break;
        }
        case OPT_GRID:
            if (choose("--grid", optarg, GRIDS, &choice)) return 1;
            s->grid = static_cast<GridKind>(choice);
            break;
        case OPT_PER_OCTAVE:
            if (!readInt(optarg, 1, 1000, &s->perOctave))
                return refuse("--per-octave", optarg, "a count from 1 to 1000");
            break;
        case OPT_LINES:
            if (choose("--lines", optarg, LINES, &choice)) return 1;
            s->lines = static_cast<LineSet>(choice);
            break;
        case OPT_SPECTRUM:
            if (std::strcmp(optarg, "flat") == 0)
                s->slopeDbPerOctave = 0.0;
            else if (std::strcmp(optarg, "pink") == 0)
                s->slopeDbPerOctave = -3.0;
            else if (!readDouble(optarg, &s->slopeDbPerOctave) || std::fabs(s->slopeDbPerOctave) > 100.0)
                return refuse("--spectrum", optarg, "flat, pink or a slope in dB an octave");
            break;
        case OPT_PHASES:
            if (choose("--phases", optarg, PHASES, &choice)) return 1;
            s->phases = static_cast<PhaseRule>(choice);
            break;
        case OPT_SEED: {
            char *end = nullptr;
            errno = 0;
            unsigned long long seed = std::strtoull(optarg, &end, 10);
            if (end == optarg || *end != '\0' || errno != 0 || optarg[0] == '-')
                return refuse("--seed", optarg, "a whole number");
            s->seed = seed;
            break;
        }
        case OPT_ITERATIONS:
            if (!readInt(optarg, 1, 100000, &s->iterations))
                return refuse("--iterations", optarg, "a count from 1 to 100000");
            break;
        case 'h':
            printHelp();
            return 0;
        default:  // getopt_long has printed its diagnostic
            return 1;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "error: \"%s\": sonvel-design takes no operand; the list goes to standard output.\n",
                     argv[optind]);
        return 1;
    }
    return RUN_CONTINUES;
}

// Comment lines of at most 79 characters, so that sonvel reads each as one comment; a
// longer text goes on in lines of its own, each starting with "#".
void putComment(std::string *out, const std::string &text)
{
    const size_t WIDTH = 79;
    std::string line = "#";
    size_t at = 0;
    while (at < text.size()) {
        size_t room = WIDTH - line.size() - 1;
        size_t take = std::min(room, text.size() - at);
        if (at + take < text.size()) {
            size_t blank = text.rfind(' ', at + take);
            if (blank != std::string::npos && blank > at) take = blank - at;
        }
        *out += line + " " + text.substr(at, take) + "\n";
        at += take;
        while (at < text.size() && text[at] == ' ') at++;
        line = "#  ";
    }
}

// The run of the designer; main returns what this returns.
int designMain(int argc, char **argv)
{
    DesignSettings s;
    int status = parseDesignOptions(argc, argv, &s);
    if (status != RUN_CONTINUES) return status;

    uint64_t random = s.seed;
    std::vector<int> bins;
    if (designLines(&s, &random, &bins)) return 1;
    const int period = periodOf(s.rateHz, s.resolutionHz);
    std::vector<double> amp = slopeAmplitudes(bins, s.slopeDbPerOctave);
    std::vector<double> phase;
    switch (s.phases) {
    case PHASES_ZERO: phase.assign(bins.size(), 0.0); break;
    case PHASES_RANDOM: phase = randomPhases(bins.size(), &random); break;
    case PHASES_SCHROEDER: phase = schroederPhases(bins, amp); break;
    case PHASES_NEWMAN: phase = newmanPhases(bins.size()); break;
    case PHASES_LOW_CREST: phase = lowCrestPhases(bins, amp, period, s.iterations, &random); break;
    }
    std::vector<double> freq;
    for (int k : bins) freq.push_back(k * s.resolutionHz);

    int level = 0;
    Result r = highestLevel(freq, amp, phase, s.rateHz, s.durationMs, s.taperMs, &level);
    if (!r.ok()) {
        // No level at all: the refusal at -200 dB would only confuse.
        const bool levelRefused = r.status >= Status::Overflow && r.status <= Status::AllZero;
        std::fputs(levelRefused ? "error: sonvel accepts this list at no level from -1 to -200 dB.\n"
                       : r.message().c_str(),
                   stderr);
        return 1;
    }

    // Everything is known: the list is written in one piece, or not at all.
    std::string out;
    std::string command = "sonvel-design";
    for (int i = 1; i < argc; i++) command += std::string(" ") + argv[i];
    putComment(&out, "sonvel-design " SONVEL_VERSION ": " + command);
    char text[200];
    std::snprintf(text, sizeof text, "lines: %zu from %g to %g Hz, period %d samples at %d Hz",
                  bins.size(), freq.front(), freq.back(), period, s.rateHz);
    putComment(&out, text);
    std::snprintf(text, sizeof text, "crest factor: %.4f on the samples, %.4f true peak (%dx oversampled)",
                  crestFactor(bins, amp, phase, period, 1),
                  crestFactor(bins, amp, phase, period, TRUE_PEAK_OVERSAMPLING),
                  TRUE_PEAK_OVERSAMPLING);
    putComment(&out, text);
    std::snprintf(text, sizeof text, "highest level: %d dB for sonvel -s %d -t %d -T %d", level,
                  s.rateHz, s.durationMs, s.taperMs);
    putComment(&out, text);
    for (size_t j = 0; j < bins.size(); j++) {
        std::snprintf(text, sizeof text, "%.17g %.17g %.17g\n", freq[j], amp[j], phase[j]);
        out += text;
    }
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
        std::fputs("error: fail to write the list to standard output.\n", stderr);
        return 1;
    }
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
