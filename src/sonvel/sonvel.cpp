// The command-line driver of sonvel: options and settings, the run report, the order
// of a run, the output of the samples and the listing.
#include "sonvel.h"

#include <fcntl.h>
#include <unistd.h>

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include "engine.h"
#include "format.h"
#include "levels.h"
#include "out_file.h"
#include "wav_io.h"
#include "worker.h"

namespace {

struct FileCloser {
    void operator()(FILE *fp) const { std::fclose(fp); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

// Prints the message of a failed result on standard error; returns 1 for a failure,
// else 0.
int report(const Result &r)
{
    if (r.ok()) return 0;
    std::fputs(r.message().c_str(), stderr);
    return 1;
}

const char RULE[] = "------------------------------------------------------------\n";

const char *referenceName(LevelReference reference)
{
    return reference == LevelReference::Sine ? "full-scale sine" : "full-scale constant";
}

// What the long options made of the run: sample format and quantizer, the level in
// its reference and unit and as the level setting aims at it.
void printExtendedSettings(const RunSettings *s)
{
    static const char *const DESCRIPTION[] = {"16-bit integer", "24-bit integer", "32-bit integer",
                                              "32-bit float"};
    std::fprintf(stderr, "sample format:\t%s (%s)", nameOf(s->sampleFormat),
                 DESCRIPTION[static_cast<int>(s->sampleFormat)]);
    if (!isFloat(s->sampleFormat)) {
        std::fprintf(stderr, ", %s", nameOf(s->quantizer));
        if (s->quantizer == Quantizer::Tpdf)
            std::fprintf(stderr, " (seed %llu)", static_cast<unsigned long long>(s->seed));
    }
    const double referenceDb = dcToReference(s->targetDb, s->reference);
    std::fprintf(stderr, "\nlevel:\t\t%f dB re %s", referenceDb, referenceName(s->reference));
    if (s->calibration.set)
        std::fprintf(stderr, " = %f %s (calibration: %g dB = %g %s)",
                     referenceToUnit(referenceDb, s->calibration), unitName(s->calibration.unit),
                     s->calibration.fullScaleDb, s->calibration.unitLevel, unitName(s->calibration.unit));
    std::fputc('\n', stderr);
}

void printReport(const RunSettings *s, const ParamTable *table, const char *progName)
{
    std::fputs(RULE, stderr);
    std::fprintf(stderr, "command:\t%s " SONVEL_VERSION "\n", progName);
    std::fprintf(stderr, "output-file:\t\"%s\"", s->outputPath);
    std::fputs(s->format == FORMAT_WAVE ? " (WAVE format)\n" : " (raw PCM format)\n", stderr);
    std::fprintf(stderr, "sampling frq:\t%d Hz\n", s->samplingHz);
    std::fprintf(stderr, "datasize:\t%d pnt (%lld byte)\n", s->dataSize,
                 static_cast<long long>(bytesPerSample(s->sampleFormat)) * s->dataSize);
    std::fprintf(stderr, "total-length:\t%d ms\n", s->durationMs);
    std::fprintf(stderr, "taper-length:\t%d ms (%d pnt)\n", s->taperMs, s->taperSize);
    if (s->extended) printExtendedSettings(s);
    if (s->paramPath) std::fprintf(stderr, "parameter file: \"%s\"\n", s->paramPath);
    std::fputs("sinusoidal parameters:\n  freq [Hz]  amp [linear]  phase [rad]\n", stderr);
    for (int i = 0; i < table->count; i++)
        std::fprintf(stderr, "  %9g  %12g  %10g\n", table->freq[i], table->amp[i],
                     table->phase[i]);
    std::fputs(RULE, stderr);
}

// Warns about components at or above half the sampling frequency (integer half).
// They are still synthesised.
void warnNyquist(const RunSettings *s, const ParamTable *table)
{
    int half = s->samplingHz / 2;
    for (int i = 0; i < table->count; i++)
        if (table->freq[i] >= half)
            std::fprintf(stderr, "WARNING: frequency of component %d exeeds Nyquist frequency.\n",
                         i);
}

// The samples as stored by the engine, little-endian (a SampleSink); a failed write
// stops the run.
struct SampleWriter {
    FILE *stream;
    int bytesPerSample;
};

bool writeSamples(const unsigned char *bytes, int count, void *context)
{
    const SampleWriter *w = static_cast<const SampleWriter *>(context);
    const size_t size = static_cast<size_t>(count) * static_cast<size_t>(w->bytesPerSample);
    return std::fwrite(bytes, 1, size, w->stream) == size;
}

// The progress line of a long synthesis on a terminal: the percent done, rewritten in
// place, and erased when the synthesis stops, so that the terminal shows only what was
// there before.
void showProgress(void *context, long long done, long long total)
{
    int *shown = static_cast<int *>(context);
    if (done >= total) {
        if (*shown >= 0) std::fputs("\r               \r", stderr);
        *shown = -1;
        return;
    }
    int percent = static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(total));
    if (percent != *shown) std::fprintf(stderr, "\rsynthesis: %3d%%", percent);
    *shown = percent;
}

// Waveform listing: time in ms and value of every sample. Returns 0, or 1 after a
// message when standard output did not take it all.
int printListing(const unsigned char *samples, SampleFormat format, int count, int samplingHz)
{
    std::fputs("#time[ms] amplitude\n", stdout);
    for (int n = 0; n < count && !std::ferror(stdout); n++) {
        const double ms = (static_cast<double>(n) / samplingHz) * 1000.0;
        const double value = sampleValue(samples, format, n);
        if (isFloat(format))
            std::printf("%7.2f %.9g\n", ms, value);
        else
            std::printf("%7.2f%7d\n", ms, static_cast<int>(value));
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("error: fail to write the waveform to standard output.\n", stderr);
        return 1;
    }
    return 0;
}

}  // namespace

unsigned guardStandardStreams()
{
    unsigned closed = 0;
    for (int fd = STDOUT_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        closed |= 1u << fd;
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
    return closed;
}

namespace {

void printSummary(FILE *stream)
{
    std::fputs("usage:\tsonvel [options] <output-file>\n", stream);
    std::fputs("options:\n", stream);
    std::fprintf(stream, "\t-t <signal duration in msec>\t: %d by default\n", DEFAULT_DURATION_MS);
    std::fprintf(stream, "\t-s <sampling frequecy in Hz>\t: %d by default\n", DEFAULT_SAMPLING_HZ);
    std::fprintf(stream, "\t-l <power level in dB>\t: %d by default\n", DEFAULT_LEVEL_DB);
    std::fprintf(stream, "\t-T <taper length in msec>\t: %d by default\n", DEFAULT_TAPER_MS);
    std::fputs("\t-f <parameter-file>\t: read frequencies and amplitudes from file\n", stream);
    std::fputs("\t-w\t: save output-file as Microsoft WAVE format (default)\n", stream);
    std::fputs("\t-r\t: save output-file as raw PCM format\n", stream);
    std::fputs("\t-o\t: put waveform to stdout\n", stream);
    std::fputs("\t-h\t: print this message\n", stream);
}

// --help: the summary and the long options, on standard output.
int printHelp()
{
    printSummary(stdout);
    std::fputs("long options:\n"
               "\t--sample-format s16|s24|s32|f32\t: 16-, 24-, 32-bit integer or 32-bit float samples (s16)\n"
               "\t--quantize truncate|round|tpdf\t: to integers toward zero, to the nearest, or with\n"
               "\t\t\t\t\t  triangular dither of +-1 LSB (truncate)\n"
               "\t--seed N\t\t\t: seed of the dither, 1 by default\n"
               "\t--level DB[UNIT]\t\t: power level with decimals, as -l; with --calibrate\n"
               "\t\t\t\t\t  also in dB SPL (80spl), dBu or dBV (-10dBu)\n"
               "\t--full-scale dc|sine\t\t: dB relative to a full-scale constant or sine (dc)\n"
               "\t--calibrate DB=LEVEL[UNIT]\t: the system gives LEVEL (dB SPL unless a unit\n"
               "\t\t\t\t\t  follows) at DB dB of full scale\n"
               "\t--help\t\t\t\t: print this message on standard output\n"
               "\t--version\t\t\t: print the version\n",
               stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

int refuseOption(const char *option, const char *value, const char *expected)
{
    std::fprintf(stderr, "error: %s: \"%s\" is not %s.\n", option, value, expected);
    return 1;
}

}  // namespace

void usage() { printSummary(stderr); }

void printBuildInfo(const char *progName)
{
    // __FILE_NAME__ has no directory, and __DATE__ and __TIME__ follow
    // SOURCE_DATE_EPOCH, so the text does not depend on where or when the tree was built.
    std::fprintf(stderr, "\n\"%s %s\" was made from \"%s\" ", progName, SONVEL_VERSION,
                 __FILE_NAME__);
    std::fprintf(stderr, "compiled at %s on %s.\n", __TIME__, __DATE__);
}

int parseOptions(int argc, char **argv, RunSettings *settings)
{
    enum LongOnly { OPT_SAMPLE_FORMAT = 256, OPT_QUANTIZE, OPT_SEED, OPT_LEVEL, OPT_FULL_SCALE,
                    OPT_CALIBRATE, OPT_HELP, OPT_VERSION };
    static const option LONG_OPTIONS[] = {
        {"sample-format", required_argument, nullptr, OPT_SAMPLE_FORMAT},
        {"quantize", required_argument, nullptr, OPT_QUANTIZE},
        {"seed", required_argument, nullptr, OPT_SEED},
        {"level", required_argument, nullptr, OPT_LEVEL},
        {"full-scale", required_argument, nullptr, OPT_FULL_SCALE},
        {"calibrate", required_argument, nullptr, OPT_CALIBRATE},
        {"help", no_argument, nullptr, OPT_HELP},
        {"version", no_argument, nullptr, OPT_VERSION},
        {nullptr, 0, nullptr, 0},
    };
    optind = 0;  // full re-initialisation, so that the parser can run more than once
    int c;
    while ((c = getopt_long(argc, argv, "t:s:l:T:f:wroh", LONG_OPTIONS, nullptr)) != -1) {
        if (c >= OPT_SAMPLE_FORMAT) settings->extended = true;
        switch (c) {
        case 't':
            settings->durationMs = std::atoi(optarg);
            settings->durationText = optarg;
            break;
        case 's':
            settings->samplingHz = std::atoi(optarg);
            settings->samplingText = optarg;
            break;
        case 'T':
            settings->taperMs = std::atoi(optarg);
            settings->taperText = optarg;
            break;
        case 'f': settings->paramPath = optarg; break;
        case 'w': settings->format = FORMAT_WAVE; break;
        case 'r': settings->format = FORMAT_RAW; break;
        case 'o': settings->listing = true; break;
        case 'l':
            settings->levelDb = std::atoi(optarg);
            settings->levelText = optarg;
            settings->levelOption = nullptr;  // the later of -l and --level wins
            if (settings->levelDb >= 0) {
                std::fputs("error: power level must be less than zero.\n", stderr);
                return 1;
            }
            break;
        case 'h':
            usage();
            printBuildInfo(argv[0]);
            return 0;
        case OPT_SAMPLE_FORMAT:
            if (!sampleFormatNamed(optarg, &settings->sampleFormat))
                return refuseOption("--sample-format", optarg, "s16, s24, s32 or f32");
            break;
        case OPT_QUANTIZE:
            if (!quantizerNamed(optarg, &settings->quantizer))
                return refuseOption("--quantize", optarg, "truncate, round or tpdf");
            break;
        case OPT_SEED: {
            char *end = nullptr;
            errno = 0;
            settings->seed = std::strtoull(optarg, &end, 10);
            if (!std::isdigit(static_cast<unsigned char>(optarg[0])) || *end || errno)
                return refuseOption("--seed", optarg, "a whole number");
            break;
        }
        case OPT_LEVEL: {
            double value = 0.0;
            LevelUnit unit;
            if (!parseLevelText(optarg, &value, &unit))
                return refuseOption("--level", optarg, "a level in dB, or with a unit of dB SPL, dBu or dBV");
            settings->levelOption = optarg;
            break;
        }
        case OPT_FULL_SCALE:
            if (!referenceNamed(optarg, &settings->reference))
                return refuseOption("--full-scale", optarg, "dc or sine");
            break;
        case OPT_CALIBRATE:
            if (!parseCalibration(optarg, &settings->calibration))
                return refuseOption("--calibrate", optarg, "DB=LEVEL with LEVEL in dB SPL, dBu or dBV");
            break;
        case OPT_HELP: return printHelp();
        case OPT_VERSION:
            std::fputs("sonvel " SONVEL_VERSION "\n", stdout);
            return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
        default:  // getopt has printed its diagnostic; parsing goes on
            break;
        }
    }
    if (argc - optind != 1) {
        usage();
        return 1;
    }
    settings->outputPath = argv[optind];
    return RUN_CONTINUES;
}

int resolveLevel(RunSettings *settings)
{
    double value = settings->levelDb;
    LevelUnit unit = LevelUnit::FullScale;
    if (settings->levelOption) parseLevelText(settings->levelOption, &value, &unit);
    if (!levelToDc(value, unit, settings->reference, settings->calibration, &settings->targetDb)) {
        std::fprintf(stderr, "error: --level: \"%s\" is in %s, and no --calibrate gives %s.\n",
                     settings->levelOption, unitName(unit), unitName(unit));
        return 1;
    }
    if (!(settings->targetDb < 0.0)) {
        std::fputs("error: power level must be less than zero.\n", stderr);
        return 1;
    }
    return 0;
}

int deriveSizes(RunSettings *settings)
{
    const struct {
        const char *option, *text;
    } integers[] = {{"-t", settings->durationText},
                    {"-s", settings->samplingText},
                    {"-T", settings->taperText},
                    {"-l", settings->levelText}};
    Result r;
    for (const auto &i : integers) {
        if (i.text && !fitsInt(i.text)) {
            r.status = Status::IntRange;
            r.subject = i.option;
            r.text = i.text;
            break;
        }
    }
    if (r.ok())
        r = signalSizes(settings->samplingHz, settings->durationMs, settings->taperMs,
                        &settings->dataSize, &settings->taperSize,
                        std::min<long long>(MAX_DATA_SIZE, maxWaveSamples(settings->sampleFormat)));
    if (report(r)) return 1;
    return resolveLevel(settings);
}

int readpars(double *freq, double *amp, double *phase, FILE *fp)
{
    int count = 0;
    report(readParams(freq, amp, phase, fp, &count));
    return count;
}

FILE *openParamSource(const RunSettings *settings)
{
    if (!settings->paramPath) return stdin;
    FILE *fp = std::fopen(settings->paramPath, "r");
    if (!fp) std::fprintf(stderr, "error: fail to open \"%s\".\n", settings->paramPath);
    return fp;
}

namespace {

// The request for the run's signal, with the progress line where a person watches a
// long synthesis.
SignalRequest requestFor(const RunSettings *settings, const ParamTable *table, int *shown)
{
    SignalRequest request =
        signalRequest(settings->dataSize, settings->taperSize, settings->targetDb, table->freq, table->amp,
                      table->phase, table->count, settings->samplingHz);
    request.format = settings->sampleFormat;
    request.quantizer = settings->quantizer;
    request.seed = settings->seed;
    request.threads = usableProcessors();
    request.keepSamples = settings->listing;
    if (isatty(STDERR_FILENO) && synthesisSeconds(request.kernel, request.size, request.count) > 1.0) {
        request.progress = showProgress;
        request.progressContext = shown;
    }
    return request;
}

// The level measured on the samples written, in the run's reference and unit.
void printLevel(const RunSettings *settings, double dcDb)
{
    const double referenceDb = dcToReference(dcDb, settings->reference);
    std::fprintf(stderr, "power level of generated signal = %f dB", referenceDb);
    if (settings->reference == LevelReference::Sine) std::fputs(" re full-scale sine", stderr);
    if (settings->calibration.set)
        std::fprintf(stderr, " = %f %s", referenceToUnit(referenceDb, settings->calibration),
                     unitName(settings->calibration.unit));
    std::fputc('\n', stderr);
}

// Header and samples into the opened output, and the level line once every sample is
// made. Returns 0, or 1 after the message; the output is then discarded.
int writeSignal(const RunSettings *settings, SignalPlan *plan, OutputFile *out)
{
    if (!beginOutput(out)) {
        discardOutput(out);
        std::fprintf(stderr, "error: fail to open \"%s\".\n", settings->outputPath);
        return 1;
    }
    // A bigger buffer than stdio's own: a long signal then takes fewer writes.
    std::setvbuf(out->stream, nullptr, _IOFBF, 1 << 20);
    if (settings->format == FORMAT_WAVE &&
        writeWaveHeader(settings->sampleFormat, settings->samplingHz, settings->dataSize, out->stream)) {
        discardOutput(out);
        std::fprintf(stderr, "error: fail to write header to %s.\n", settings->outputPath);
        return 1;
    }
    // The samples go out as they are made; a failed write ends the synthesis at once.
    WriteSignals saved;
    ignoreWriteSignals(&saved);
    double level = 0.0;
    SampleWriter writer{out->stream, bytesPerSample(settings->sampleFormat)};
    bool written = emitSignal(plan, writeSamples, &writer, &level).ok();
    if (written) printLevel(settings, level);
    written = written && commitOutput(out);
    restoreWriteSignals(saved);
    if (!written) {
        discardOutput(out);
        std::fputs("error: fail to save data.\n", stdout);
        return 1;
    }
    return 0;
}

}  // namespace

int runGeneration(const RunSettings *settings, const ParamTable *table, FILE *paramStream,
                  const char *progName)
{
    FileHandle params(paramStream);
    printReport(settings, table, progName);
    warnNyquist(settings, table);

    OutputFile out;
    OutputOptions options;
    options.expectedBytes = (settings->format == FORMAT_WAVE ? waveHeaderSize(settings->sampleFormat) : 0) +
                            static_cast<long long>(bytesPerSample(settings->sampleFormat)) * settings->dataSize;
    options.closedAtStart = settings->closedStreams;
    if (!openOutput(settings->outputPath, &out, options)) {
        std::fprintf(stderr, "error: fail to open \"%s\".\n", settings->outputPath);
        return 1;
    }
    int shown = -1;
    SignalPlan plan;
    if (report(planSignal(requestFor(settings, table, &shown), &plan))) {
        std::fputs("ERROR: Fail to exec makeSoundSignal.\n", stderr);
        discardOutput(&out);
        return 1;
    }
    if (writeSignal(settings, &plan, &out)) return 1;
    params.reset();
    // The file is complete and in place; a listing that fails does not take it back.
    if (settings->listing &&
        printListing(plan.samples, settings->sampleFormat, settings->dataSize, settings->samplingHz))
        return 1;
    return 0;
}

int sonvelMain(int argc, char **argv)
{
    RunSettings settings;
    settings.closedStreams = guardStandardStreams();
    int status = parseOptions(argc, argv, &settings);
    if (status != RUN_CONTINUES) return status;
    if (deriveSizes(&settings)) return 1;
    if (settings.listing && descriptorOfPath(settings.outputPath) == STDOUT_FILENO) {
        std::fputs("error: -o: the waveform listing and the signal cannot both go to standard output.\n",
                   stderr);
        return 1;
    }

    FileHandle params(openParamSource(&settings));
    if (!params) return 1;
    auto table = std::make_unique<ParamTable>();
    table->count = readpars(table->freq, table->amp, table->phase, params.get());
    if (table->count <= 0) {
        std::fputs("Fail to read parameters\n", stderr);
        return 1;
    }
    if (report(checkFades(settings.dataSize, settings.taperSize))) return 1;
    return runGeneration(&settings, table.get(), params.release(), argv[0]);
}
