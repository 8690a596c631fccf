// The command-line driver of sonvel: options and settings, the run report, the order
// of a run, the output of the samples and the listing.
#include "sonvel.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

#include "engine.h"
#include "out_file.h"
#include "wav_io.h"

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

void printReport(const RunSettings *s, const ParamTable *table, const char *progName)
{
    std::fputs(RULE, stderr);
    std::fprintf(stderr, "command:\t%s " SONVEL_VERSION "\n", progName);
    std::fprintf(stderr, "output-file:\t\"%s\"", s->outputPath);
    std::fputs(s->format == FORMAT_WAVE ? " (WAVE format)\n" : " (raw PCM format)\n", stderr);
    std::fprintf(stderr, "sampling frq:\t%d Hz\n", s->samplingHz);
    std::fprintf(stderr, "datasize:\t%d pnt (%lld byte)\n", s->dataSize, 2LL * s->dataSize);
    std::fprintf(stderr, "total-length:\t%d ms\n", s->durationMs);
    std::fprintf(stderr, "taper-length:\t%d ms (%d pnt)\n", s->taperMs, s->taperSize);
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

// Writes samples as 16-bit little-endian values (a SampleSink); a failed write stops
// the run.
bool writeSamples(int16_t *samples, int count, void *context)
{
    FILE *stream = static_cast<FILE *>(context);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (int n = 0; n < count; n++) samples[n] = static_cast<int16_t>(__builtin_bswap16(samples[n]));
#endif
    return std::fwrite(samples, sizeof(int16_t), static_cast<size_t>(count), stream) ==
           static_cast<size_t>(count);
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
int printListing(const int16_t *samples, int count, int samplingHz)
{
    std::fputs("#time[ms] amplitude\n", stdout);
    for (int n = 0; n < count && !std::ferror(stdout); n++)
        std::printf("%7.2f%7d\n", (static_cast<double>(n) / samplingHz) * 1000.0, samples[n]);
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

void usage()
{
    std::fputs("usage:\tsonvel [options] <output-file>\n", stderr);
    std::fputs("options:\n", stderr);
    std::fprintf(stderr, "\t-t <signal duration in msec>\t: %d by default\n", DEFAULT_DURATION_MS);
    std::fprintf(stderr, "\t-s <sampling frequecy in Hz>\t: %d by default\n", DEFAULT_SAMPLING_HZ);
    std::fprintf(stderr, "\t-l <power level in dB>\t: %d by default\n", DEFAULT_LEVEL_DB);
    std::fprintf(stderr, "\t-T <taper length in msec>\t: %d by default\n", DEFAULT_TAPER_MS);
    std::fputs("\t-f <parameter-file>\t: read frequencies and amplitudes from file\n", stderr);
    std::fputs("\t-w\t: save output-file as Microsoft WAVE format (default)\n", stderr);
    std::fputs("\t-r\t: save output-file as raw PCM format\n", stderr);
    std::fputs("\t-o\t: put waveform to stdout\n", stderr);
    std::fputs("\t-h\t: print this message\n", stderr);
}

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
    optind = 0;  // full re-initialisation, so that the parser can run more than once
    int c;
    while ((c = getopt(argc, argv, "t:s:l:T:f:wroh")) != -1) {
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
            if (settings->levelDb >= 0) {
                std::fputs("error: power level must be less than zero.\n", stderr);
                return 1;
            }
            break;
        case 'h':
            usage();
            printBuildInfo(argv[0]);
            return 0;
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
                        &settings->dataSize, &settings->taperSize);
    return report(r);
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
    SignalRequest request;
    request.size = settings->dataSize;
    request.taper = settings->taperSize;
    request.level = settings->levelDb;
    request.freq = table->freq;
    request.amp = table->amp;
    request.phase = table->phase;
    request.count = table->count;
    request.fs = settings->samplingHz;
    request.kernel = chooseKernel();
    request.keepSamples = settings->listing;
    if (isatty(STDERR_FILENO) && synthesisSeconds(request.kernel, request.size, request.count) > 1.0) {
        request.progress = showProgress;
        request.progressContext = shown;
    }
    return request;
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
        writeWavHead(settings->samplingHz, 16, 1, settings->dataSize, out->stream)) {
        discardOutput(out);
        std::fprintf(stderr, "error: fail to write header to %s.\n", settings->outputPath);
        return 1;
    }
    // The samples go out as they are made; a failed write ends the synthesis at once.
    WriteSignals saved;
    ignoreWriteSignals(&saved);
    double level = 0.0;
    bool written = emitSignal(plan, writeSamples, out->stream, &level).ok();
    if (written) std::fprintf(stderr, "power level of generated signal = %f dB\n", level);
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
    options.expectedBytes = (settings->format == FORMAT_WAVE ? WAV_HEADER_SIZE : 0) +
                            2LL * settings->dataSize;
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
    if (settings->listing && printListing(plan.samples, settings->dataSize, settings->samplingHz))
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
