// sonvel: sums sinusoidal components into a 16-bit mono test signal at a set power level
// and writes it as a WAVE or raw PCM file.
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

#include "gen_signal.h"
#include "out_file.h"
#include "wav_io.h"

namespace {

struct FileCloser {
    void operator()(FILE *fp) const { std::fclose(fp); }
};
using FileHandle = std::unique_ptr<FILE, FileCloser>;

const char RULE[] = "------------------------------------------------------------\n";

// Size in samples of `ms` milliseconds at `samplingHz`: floor(rate * ms / 1000) in
// exact integer arithmetic (a floating-point product can fall just below a whole
// number: 37800 Hz and 100 ms must give 3780). Both arguments are positive or zero
// here, and the 64-bit result lets a caller range-check it before converting.
long long samplesOf(int samplingHz, int ms)
{
    return static_cast<long long>(samplingHz) * ms / 1000;
}

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

// The output stream of a run and whether a write to it has failed; after a failure
// nothing more is written.
struct SampleWriter {
    FILE *stream;
    bool failed;
};

// Writes samples as 16-bit little-endian values (a SampleSink).
void writeSamples(int16_t *samples, int count, void *context)
{
    SampleWriter *w = static_cast<SampleWriter *>(context);
    if (w->failed) return;
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    for (int n = 0; n < count; n++) samples[n] = static_cast<int16_t>(__builtin_bswap16(samples[n]));
#endif
    w->failed = std::fwrite(samples, sizeof(int16_t), static_cast<size_t>(count), w->stream) <
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

void guardStandardStreams()
{
    for (int fd = STDOUT_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0 && null != fd) {
            dup2(null, fd);
            close(null);
        }
    }
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

bool fitsInt(const char *text)
{
    while (std::isspace(static_cast<unsigned char>(*text))) text++;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+') text++;
    const long long LIMIT = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
    long long value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)); text++) {
        value = value * 10 + (*text - '0');
        if (value > LIMIT) return false;
    }
    return true;
}

int deriveSizes(RunSettings *settings)
{
    const struct {
        const char *option, *text;
    } integers[] = {{"-t", settings->durationText},
                    {"-s", settings->samplingText},
                    {"-T", settings->taperText},
                    {"-l", settings->levelText}};
    for (const auto &i : integers) {
        if (i.text && !fitsInt(i.text)) {
            std::fprintf(stderr, "error: %s: %s does not fit in a 32-bit integer.\n", i.option,
                         i.text);
            return 1;
        }
    }
    if (settings->durationMs <= 0) {
        std::fputs("error: -t: signal duration must be greater than 0 ms.\n", stderr);
        return 1;
    }
    if (settings->samplingHz <= 0) {
        std::fputs("error: -s: sampling frequency must be greater than 0 Hz.\n", stderr);
        return 1;
    }
    if (settings->taperMs < 0) {
        std::fputs("error: -T: taper length must not be negative.\n", stderr);
        return 1;
    }
    long long dataSize = samplesOf(settings->samplingHz, settings->durationMs);
    if (dataSize < 1 || dataSize > MAX_DATA_SIZE) {
        std::fprintf(stderr,
                     "error: -t and -s: the signal must be 1 to %d samples long, not %lld.\n",
                     MAX_DATA_SIZE, dataSize);
        return 1;
    }
    long long taperSize = samplesOf(settings->samplingHz, settings->taperMs);
    if (taperSize > MAX_DATA_SIZE) {
        std::fprintf(stderr, "error: -T and -s: the taper must be at most %d samples long, not %lld.\n",
                     MAX_DATA_SIZE, taperSize);
        return 1;
    }
    settings->dataSize = static_cast<int>(dataSize);
    settings->taperSize = static_cast<int>(taperSize);
    return 0;
}

FILE *openParamSource(const RunSettings *settings)
{
    if (!settings->paramPath) return stdin;
    FILE *fp = std::fopen(settings->paramPath, "r");
    if (!fp) std::fprintf(stderr, "error: fail to open \"%s\".\n", settings->paramPath);
    return fp;
}

int readLine(char *buf, FILE *fp)
{
    const int LINE_MAX_CHARS = 79;  // an 80-byte buffer and its terminating NUL
    int len = 0;
    while (len < LINE_MAX_CHARS) {
        int c = std::getc(fp);
        if (c == EOF) break;
        if (c == '\r') {
            // CR LF is a line end and reads as LF alone; a lone CR is an ordinary character.
            int next = std::getc(fp);
            if (next == '\n')
                c = '\n';
            else if (next != EOF)
                std::ungetc(next, fp);
        }
        buf[len++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buf[len] = '\0';
    if (std::ferror(fp)) return 0;
    return len;
}

int readpars(double *freq, double *amp, double *phase, FILE *fp)
{
    char line[80];
    int n = 0;
    while (readLine(line, fp) > 0) {
        if (line[0] == '#' || line[0] == '\n') continue;
        if (n >= MAXSINES) {
            std::fputs("error: readpars(): too many lines\n", stderr);
            return 0;
        }
        switch (std::sscanf(line, "%lf %lf %lf", &freq[n], &amp[n], &phase[n])) {
        case 3:
            n++;
            break;
        case 2:
            phase[n] = 0.0;
            n++;
            break;
        case 1:
            // A frequency alone on the first component line is a whole list: one
            // component of amplitude 1, and the rest of the stream stays unread.
            if (n == 0) {
                amp[0] = 1.0;
                phase[0] = 0.0;
                return 1;
            }
            amp[n] = amp[n - 1];
            phase[n] = 0.0;
            n++;
            break;
        default:
            std::fputs("error: readpars(): illegal form of params\n", stderr);
            return 0;
        }
    }
    if (std::ferror(fp)) {
        std::fputs("error: readpars(): during reading parameters\n", stderr);
        return 0;
    }
    if (n == 0) {
        std::fputs("error: readpars(): no parameters given\n", stderr);
        return 0;
    }
    return n;
}

int runGeneration(const RunSettings *settings, const ParamTable *table, FILE *paramStream,
                  const char *progName)
{
    FileHandle params(paramStream);
    printReport(settings, table, progName);
    warnNyquist(settings, table);

    OutputFile out;
    if (openOutput(settings->outputPath, &out)) {
        std::fprintf(stderr, "error: fail to open \"%s\".\n", settings->outputPath);
        return 1;
    }
    // A bigger buffer than stdio's own: a long signal then takes fewer writes.
    std::setvbuf(out.stream, nullptr, _IOFBF, 1 << 20);

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
    // A long synthesis shows its progress, but only to a person at a terminal.
    int shown = -1;
    if (isatty(STDERR_FILENO) &&
        synthesisSeconds(request.kernel, request.size, request.count) > 1.0) {
        request.progress = showProgress;
        request.progressContext = &shown;
    }
    SignalPlan plan;
    if (prepareSignal(&request, &plan)) {
        discardOutput(&out);
        return 1;
    }
    // The samples go out as they are made; a failed header or write is reported after
    // the level of the 16-bit samples, which is known only at the end.
    const bool headerFailed = settings->format == FORMAT_WAVE &&
                              writeWavHead(settings->samplingHz, 16, 1, settings->dataSize, out.stream);
    SampleWriter writer{out.stream, headerFailed};
    double level = emitSignal(&request, &plan, writeSamples, &writer);
    std::fprintf(stderr, "power level of generated signal = %f dB\n", level);

    if (headerFailed) {
        std::fprintf(stderr, "error: fail to write header to %s.\n", settings->outputPath);
        discardOutput(&out);
        return 1;
    }
    if (writer.failed || commitOutput(&out)) {
        discardOutput(&out);
        std::fputs("error: fail to save data.\n", stdout);
        return 1;
    }
    params.reset();
    // The file is complete and in place; a listing that fails does not take it back.
    if (settings->listing && printListing(plan.samples, settings->dataSize, settings->samplingHz))
        return 1;
    return 0;
}

int sonvelMain(int argc, char **argv)
{
    guardStandardStreams();
    RunSettings settings;
    int status = parseOptions(argc, argv, &settings);
    if (status != RUN_CONTINUES) return status;
    if (deriveSizes(&settings)) return 1;

    FileHandle params(openParamSource(&settings));
    if (!params) return 1;
    std::unique_ptr<ParamTable> table(new (std::nothrow) ParamTable());
    if (!table) {
        std::fputs("error: cannot allocate the parameter table.\n", stderr);
        return 1;
    }
    table->count = readpars(table->freq, table->amp, table->phase, params.get());
    if (table->count <= 0) {
        std::fputs("Fail to read parameters\n", stderr);
        return 1;
    }
    if (2LL * settings.taperSize > settings.dataSize) {
        std::fputs("signal length is shorter than taper length ... exit\n", stderr);
        return 1;
    }
    return runGeneration(&settings, table.get(), params.release(), argv[0]);
}

#ifndef SONVEL_LIBRARY
int main(int argc, char **argv)
{
    // The few allocations that can throw (names of the output file) end the run like
    // any other failure, not in std::terminate.
    try {
        return sonvelMain(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fputs("error: out of memory.\n", stderr);
        return 1;
    }
}
#endif
