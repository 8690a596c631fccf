// sonvel-design: writes sonvel parameter lists for periodic multisines, with frequency
// grids, spectra and phases of the lowest crest factor, and the highest level at which
// sonvel plays them.
#include <fcntl.h>
#include <getopt.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "cli_main.h"
#include "design.h"
#include "list_text.h"
#include "out_file.h"

namespace {

// LOW:HIGH in Hz, both positive.
bool readBand(const char *text, Band *band)
{
    const char *colon = std::strchr(text, ':');
    if (!colon) return false;
    const std::string low(text, colon);
    return readDecimal(low.c_str(), false, &band->lowHz) && readDecimal(colon + 1, false, &band->highHz) &&
           band->lowHz > 0.0 && band->highHz > 0.0;
}

std::string number(double v) { return formatted("%g", v); }

// A designer's option: reads its value into s, or refuses it as not `expected`.
Option designOption(const char *name, const char *arg, const char *help, std::string byDefault,
                    const char *expected, DesignSettings *s, bool (*take)(const char *, DesignSettings *))
{
    return {name, 0, arg, help, std::move(byDefault), [=](const char *v) {
                return take(v, s) ? Result() : refusal((std::string("--") + name).c_str(), v, expected);
            }};
}

OptionGroup lineOptions(DesignSettings *s)
{
    static const char *const GRIDS[] = {"linear", "log", nullptr};
    static const char *const LINES[] = {"all", "odd", "random-odd", nullptr};
    return {"lines",
            {designOption("resolution", "HZ", "line spacing; rate / resolution must be whole",
                          number(DESIGN_RESOLUTION_HZ), "a spacing in Hz", s,
                          [](const char *v, DesignSettings *d) {
                              return readDecimal(v, false, &d->resolutionHz) && d->resolutionHz > 0.0;
                          }),
             designOption("band", "LOW:HIGH", "lines in this band, 0 < LOW < HIGH <= half the rate", "",
                          "LOW:HIGH in Hz", s,
                          [](const char *v, DesignSettings *d) {
                              Band b;
                              if (!readBand(v, &b)) return false;
                              d->bandLowHz = b.lowHz;
                              d->bandHighHz = b.highHz;
                              return true;
                          }),
             designOption("grid", "linear|log", "every multiple of the resolution, or a log grid", "linear",
                          "linear or log", s,
                          [](const char *v, DesignSettings *d) {
                              int c = 0;
                              return readChoice(v, GRIDS, &c) && (d->grid = static_cast<GridKind>(c), true);
                          }),
             designOption("per-octave", "K", "lines an octave on the log grid", number(DESIGN_PER_OCTAVE),
                          "a count from 1 to 1000", s,
                          [](const char *v, DesignSettings *d) { return readInt(v, 1, 1000, &d->perOctave); }),
             designOption("lines", "all|odd|random-odd|FILE",
                          "all lines, odd multiples, odd with one in 4 left out, or the lines of a file "
                          "(frequency and amplitude a line)",
                          "all", "all, odd, random-odd or a file", s,
                          [](const char *v, DesignSettings *d) {
                              int c = 0;
                              if (readChoice(v, LINES, &c)) {
                                  d->lines = static_cast<LineRule>(c);
                              } else {
                                  d->lines = LINES_FILE;
                                  d->linesFile = v;
                              }
                              return *v != '\0';
                          }),
             designOption("exclude", "LOW:HIGH", "no line from LOW to HIGH Hz; may be repeated", "",
                          "LOW:HIGH in Hz", s, [](const char *v, DesignSettings *d) {
                              Band b;
                              if (!readBand(v, &b) || b.lowHz > b.highHz) return false;
                              d->excluded.push_back(b);
                              return true;
                          })}};
}

OptionGroup amplitudeAndPhaseOptions(DesignSettings *s)
{
    static const char *const PHASES[] = {"zero", "random", "schroeder", "newman", "low-crest", nullptr};
    static const char *const PEAKS[] = {"true", "samples", "both", nullptr};
    return {"amplitudes and phases",
            {designOption("spectrum", "flat|white|pink|brown|SLOPE",
                          "equal amplitudes, or a power density of 0, -3.01, -6.02 or SLOPE dB an octave", "flat",
                          "flat, white, pink, brown or a slope in dB an octave", s,
                          [](const char *v, DesignSettings *d) {
                              static const char *const NAMES[] = {"flat", "white", "pink", "brown", nullptr};
                              // Pink is 1 / f and brown 1 / f^2: -3.01 and -6.02 dB an octave.
                              static const double SLOPES[] = {0.0, 0.0, -10.0 * std::log10(2.0),
                                                              -20.0 * std::log10(2.0)};
                              int c = 0;
                              d->flat = false;
                              if (readChoice(v, NAMES, &c)) {
                                  d->flat = c == 0;
                                  d->densityDbPerOctave = SLOPES[c];
                                  return true;
                              }
                              return readDecimal(v, true, &d->densityDbPerOctave) &&
                                     std::fabs(d->densityDbPerOctave) <= 100.0;
                          }),
             designOption("amplitudes", "FILE",
                          "amplitudes (or levels with \"dB\") by frequency, interpolated on the lines", "",
                          "a file", s,
                          [](const char *v, DesignSettings *d) { return *v != '\0' && (d->amplitudesFile = v, true); }),
             designOption("phases", "zero|random|schroeder|newman|low-crest", "the phases", "low-crest",
                          "one of the phase rules", s,
                          [](const char *v, DesignSettings *d) {
                              int c = 0;
                              return readChoice(v, PHASES, &c) && (d->phases = static_cast<PhaseRule>(c), true);
                          }),
             designOption("peak", "true|samples|both", "the peak the low-crest search lowers", "true",
                          "true, samples or both", s, [](const char *v, DesignSettings *d) {
                              int c = 0;
                              return readChoice(v, PEAKS, &c) && (d->search.peak = static_cast<PeakKind>(c), true);
                          })}};
}

OptionGroup searchOptions(DesignSettings *s)
{
    return {"search and output",
            {designOption("seed", "N", "random seed of the design", "1", "a whole number", s,
                          [](const char *v, DesignSettings *d) {
                              unsigned long long seed = 0;
                              return readWhole(v, ULLONG_MAX, &seed) && (d->search.seed = seed, true);
                          }),
             designOption("starts", "N", "random starts of the low-crest search, whatever --time says", "",
                          "a count from 1 to 1000000", s,
                          [](const char *v, DesignSettings *d) { return readInt(v, 1, 1000000, &d->search.starts); }),
             designOption("time", "S", "seconds of work the starts may take, counted from their steps, not clocked",
                          number(SEARCH_SECONDS), "a time in seconds from 0.001 to 1000000", s,
                          [](const char *v, DesignSettings *d) {
                              return readDecimal(v, false, &d->search.seconds) && d->search.seconds >= 0.001 &&
                                     d->search.seconds <= 1e6;
                          }),
             designOption("iterations", "N", "the most steps of each start's last stages, on the continuous peak",
                          number(SEARCH_ITERATIONS), "a count from 1 to 100000", s,
                          [](const char *v, DesignSettings *d) {
                              return readInt(v, 1, 100000, &d->search.iterations);
                          }),
             designOption("realisations", "R",
                          "write R designs with seeds N .. N+R-1 to PREFIX-1.txt ..; PREFIX is the operand", "",
                          "a count from 1 to 10000", s,
                          [](const char *v, DesignSettings *d) { return readInt(v, 1, 10000, &d->realisations); })}};
}

// The designer's options: sonvel's signal options that set the highest level, and its
// own. The signal's are read into signal.
Program designProgram(DesignSettings *s, SignalOptions *signal)
{
    OptionGroup level = signalOptions(signal, SIGNAL_RATE | SIGNAL_DURATION | SIGNAL_TAPER | SIGNAL_FORMAT | SIGNAL_SCALE,
                                      "");
    level.title = "sonvel's options, for the rate and the highest level";
    return {"sonvel-design",
            {"[options] > list.txt", "--realisations R [options] PREFIX"},
            {level, lineOptions(s), amplitudeAndPhaseOptions(s), searchOptions(s)}};
}

// Options that cannot go together, and the operand: PREFIX with --realisations, none
// without.
Result checkCombinations(const std::vector<const char *> &operands, DesignSettings *s)
{
    if (s->realisations > 0 && operands.size() != 1)
        return failure("--realisations: give one PREFIX for the files PREFIX-1.txt ...");
    if (s->realisations == 0 && !operands.empty())
        return failure(formatted("\"%s\": sonvel-design takes no operand; the list goes to standard output.",
                                 escaped(operands[0]).c_str()));
    if (s->realisations > 0) s->prefix = operands[0];
    if (s->lines == LINES_FILE && (!s->flat || s->densityDbPerOctave != 0.0 || !s->amplitudesFile.empty()))
        return failure("--lines FILE takes its amplitudes from the file, not from --spectrum or --amplitudes.");
    if (s->realisations > 0 && s->phases != PHASES_RANDOM && s->phases != PHASES_LOW_CREST)
        return failure("--realisations: the phases must be random or low-crest to differ.");
    return Result();
}

// Reads the command line into s. Returns RUN_CONTINUES, or the exit status.
int parseDesignOptions(int argc, char **argv, DesignSettings *s)
{
    SignalOptions signal;
    const Program program = designProgram(s, &signal);
    const ParsedLine line = parseCommandLine(program, argc, argv);
    const int status = answerCommandLine(program, line);
    if (status != RUN_CONTINUES) return status;
    int size = 0, taper = 0;
    double level = 0.0;
    if (printFailure(resolveSignal(signal, MAX_DATA_SIZE, &size, &taper, &level))) return 1;
    s->rateHz = signal.samplingHz;
    s->durationMs = signal.durationMs;
    s->taperMs = signal.taperMs;
    s->level.format = signal.sampleFormat;
    s->level.quantizer = signal.quantizer;
    s->level.reference = signal.reference;
    s->level.calibration = signal.calibration;
    s->level.given = signal.extended;
    return printFailure(checkCombinations(line.operands, s)) ? 1 : RUN_CONTINUES;
}

// The command line as the first comment shows it.
std::string echoedCommand(int argc, char **argv)
{
    std::string command = "sonvel-design";
    for (int i = 1; i < argc; i++) command += " " + escaped(argv[i]);
    return command;
}

// One line of failure about a realisation's file, with the reason where it is known.
int fileFailure(const char *what, const OutputFile &file)
{
    std::fprintf(stderr, "error: fail to %s \"%s\"%s.\n", what, escaped(file.path.c_str()).c_str(),
                 file.why.empty() ? "" : (" (" + file.why + ")").c_str());
    return 1;
}

// Room for one descriptor a file beside the standard ones, the soft limit raised up to
// the hard one where needed.
void allowDescriptors(int files)
{
    struct rlimit limit;
    const rlim_t wanted = static_cast<rlim_t>(files) + 64;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
}

// Holds an exclusive flock on the prefix's directory, so that two runs on one prefix
// write their sets one after the other (the second waits), never mixed.
class DirectoryLock {
public:
    explicit DirectoryLock(const std::string &prefix)
    {
        const size_t slash = prefix.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : prefix.substr(0, slash);
        fd_ = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~DirectoryLock()
    {
        if (fd_ >= 0) close(fd_);
    }
    DirectoryLock(const DirectoryLock &) = delete;
    DirectoryLock &operator=(const DirectoryLock &) = delete;

private:
    int fd_ = -1;
};

// SIGINT, SIGTERM and SIGHUP held back while the set is put in place, so that a stop
// comes before the first rename or after the last.
class HeldStops {
public:
    HeldStops()
    {
        sigset_t stops;
        sigemptyset(&stops);
        for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, sig);
        sigprocmask(SIG_BLOCK, &stops, &saved_);
    }
    ~HeldStops() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }
    HeldStops(const HeldStops &) = delete;
    HeldStops &operator=(const HeldStops &) = delete;

private:
    sigset_t saved_;
};

// Writes text into file and flushes it, every byte checked; false when one is lost.
bool writeWhole(OutputFile *file, const std::string &text)
{
    return beginOutput(file) && std::fwrite(text.data(), 1, text.size(), file->stream) == text.size() &&
           std::fflush(file->stream) == 0 && !std::ferror(file->stream);
}

// Every file of the set claimed, before any search. 1 after an "error: " line.
int claimRealisations(const DesignSettings &s, std::vector<OutputFile> *files)
{
    for (int r = 1; r <= s.realisations; r++) {
        const std::string path = s.prefix + "-" + std::to_string(r) + ".txt";
        OutputFile &file = (*files)[static_cast<size_t>(r - 1)];
        if (!openOutput(path.c_str(), &file)) {
            file.path = path;
            return fileFailure("open", file);
        }
    }
    return 0;
}

// The texts into the files: through their temporary files first, then, once the room
// for them all is known, into the files written in place. 1 after an "error: " line.
int writeRealisationTexts(std::vector<OutputFile> *files, const std::vector<std::string> &texts)
{
    for (size_t i = 0; i < files->size(); i++) {
        OutputFile &file = (*files)[i];
        file.expectedBytes = static_cast<long long>(texts[i].size());
        const bool done = file.kind == OutputKind::InPlace ? roomForOutput(&file) : writeWhole(&file, texts[i]);
        if (!done) return fileFailure("save", file);
    }
    for (size_t i = 0; i < files->size(); i++)
        if ((*files)[i].kind == OutputKind::InPlace && !writeWhole(&(*files)[i], texts[i]))
            return fileFailure("save", (*files)[i]);
    return 0;
}

// The set put in place with interrupts held back: every file finished, then every
// temporary one renamed. 1 after an "error: " line, every file discarded.
int placeRealisations(std::vector<OutputFile> *files)
{
    HeldStops held;
    for (int step = 0; step < 2; step++) {
        for (OutputFile &file : *files) {
            if (step == 0 ? finishOutput(&file) : commitOutput(&file)) continue;
            fileFailure("save", file);
            // The named temporary files go before a stop held back can end the program.
            for (OutputFile &other : *files) discardOutput(&other);
            return 1;
        }
    }
    return 0;
}

// The realisations r = 1 .. R in PREFIX-r.txt, written as a set: all of them or none.
// Every file is claimed before the first search, so that a path that cannot be written
// costs no search; the files written through temporary ones are written first, the
// ones written in place (other hard links) only once the disk and the file-size limit
// are known to hold them all, and the set is renamed into place last. Any way out
// before that, an exception among them, discards every file. 1 after an "error: " line.
int writeRealisations(const DesignSettings &s, const LineSet &lines, const std::string &command)
{
    DirectoryLock lock(s.prefix);
    allowDescriptors(s.realisations);
    std::vector<OutputFile> files(static_cast<size_t>(s.realisations));
    if (claimRealisations(s, &files)) return 1;
    std::vector<std::string> texts(files.size());
    for (int r = 1; r <= s.realisations; r++)
        if (designList(s, lines, s.search.seed + static_cast<uint64_t>(r - 1), r, command, &texts[r - 1]))
            return 1;
    return writeRealisationTexts(&files, texts) ? 1 : placeRealisations(&files);
}

// The run of the designer; main returns what this returns.
int designMain(int argc, char **argv)
{
    guardStandardStreams();
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
    return writeRealisations(s, lines, command);
}

}  // namespace

int main(int argc, char **argv) { return runMain(designMain, argc, argv); }
