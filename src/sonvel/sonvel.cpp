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

#include "cli_main.h"
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
        // 16-bit values fit the seven columns after the time; wider ones are set off by a
        // blank, so that no digit of a value runs into the time.
        if (isFloat(format))
            std::printf("%7.2f %.9g\n", ms, value);
        else if (format == SampleFormat::S16)
            std::printf("%7.2f%7d\n", ms, static_cast<int>(value));
        else
            std::printf("%7.2f %11d\n", ms, static_cast<int>(value));
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fputs("error: fail to write the waveform to standard output.\n", stderr);
        return 1;
    }
    return 0;
}

}  // namespace

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

// sonvel's options: the signal's, then the output's. -h is the short summary of old on
// standard error, kept as it always was; --help is the layer's.
Program sonvelProgram(RunSettings *s)
{
    Program p{"sonvel", {"[options] <output-file>"}, {}, false, true};
    p.groups.push_back(signalOptions(s, SIGNAL_ALL, "read the parameter list from FILE, not standard input"));
    p.groups.push_back({"output options",
                        {{nullptr, 'w', nullptr, "write a WAVE file", "", [s](const char *) {
                              s->format = FORMAT_WAVE;
                              return Result();
                          }},
                         {nullptr, 'r', nullptr, "write raw samples without a header", "", [s](const char *) {
                              s->format = FORMAT_RAW;
                              return Result();
                          }},
                         {nullptr, 'o', nullptr, "list the waveform on standard output after the file is written",
                          "", [s](const char *) {
                              s->listing = true;
                              return Result();
                          }},
                         {nullptr, 'h', nullptr, "print the short option summary and how the program was built on "
                          "standard error", "", nullptr, true}}});
    return p;
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
    const Program program = sonvelProgram(settings);
    const ParsedLine line = parseCommandLine(program, argc, argv);
    const int status = answerCommandLine(program, line);
    if (status != RUN_CONTINUES) return status;
    if (line.end == ParseEnd::Stopped) {  // -h
        usage();
        printBuildInfo(argv[0]);
        return 0;
    }
    if (line.operands.size() != 1) {
        usage();
        return 1;
    }
    settings->outputPath = line.operands[0];
    return RUN_CONTINUES;
}

int deriveSizes(RunSettings *settings)
{
    const long long maxSamples = std::min<long long>(MAX_DATA_SIZE, maxWaveSamples(settings->sampleFormat));
    return printFailure(
        resolveSignal(*settings, maxSamples, &settings->dataSize, &settings->taperSize, &settings->targetDb));
}

int readpars(double *freq, double *amp, double *phase, FILE *fp)
{
    int count = 0;
    printFailure(readParams(freq, amp, phase, fp, &count));
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

// "error: fail to open" the output, with the reason where the output file gives one
// (a planted link, no room for a file written in place).
void printOpenFailure(const char *path, const OutputFile &out)
{
    std::fprintf(stderr, "error: fail to open \"%s\"%s.\n", path, out.why.empty() ? "" : (" (" + out.why + ")").c_str());
}

// Header and samples into the opened output, and the level line once every sample is
// made. Returns 0, or 1 after the message; the output is then discarded.
int writeSignal(const RunSettings *settings, SignalPlan *plan, OutputFile *out)
{
    if (!beginOutput(out)) {
        discardOutput(out);
        printOpenFailure(settings->outputPath, *out);
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
    // The samples go out as they are made; a failed write ends the synthesis at once
    // (SIGPIPE and SIGXFSZ are ignored for the whole run, so it is a failed write).
    double level = 0.0;
    SampleWriter writer{out->stream, bytesPerSample(settings->sampleFormat)};
    bool written = emitSignal(plan, writeSamples, &writer, &level).ok();
    if (written && settings->format == FORMAT_WAVE && waveDataPad(settings->sampleFormat, settings->dataSize))
        written = std::fputc(0, out->stream) != EOF;
    if (written) printLevel(settings, level);
    written = written && commitOutput(out);
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
    const long long dataBytes = static_cast<long long>(bytesPerSample(settings->sampleFormat)) * settings->dataSize;
    options.expectedBytes = settings->format == FORMAT_WAVE
                                ? waveHeaderSize(settings->sampleFormat) + dataBytes +
                                      waveDataPad(settings->sampleFormat, settings->dataSize)
                                : dataBytes;
    options.closedAtStart = settings->closedStreams;
    if (!openOutput(settings->outputPath, &out, options)) {
        printOpenFailure(settings->outputPath, out);
        return 1;
    }
    int shown = -1;
    SignalPlan plan;
    if (printFailure(planSignal(requestFor(settings, table, &shown), &plan))) {
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
    if (settings.listing && (settings.closedStreams >> STDOUT_FILENO & 1u)) {
        std::fputs("error: -o: standard output is closed: the waveform listing has nowhere to go.\n", stderr);
        return 1;
    }
    if (settings.format == FORMAT_WAVE && !waveByteRateFits(settings.sampleFormat, settings.samplingHz)) {
        std::fprintf(stderr, "error: -s: at %d Hz the byte rate of %s samples does not fit in a WAVE header.\n",
                     settings.samplingHz, nameOf(settings.sampleFormat));
        return 1;
    }
    if (descriptorOfPath(settings.outputPath) == STDERR_FILENO) {
        std::fputs("error: the report and the signal cannot both go to standard error.\n", stderr);
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
    if (printFailure(checkFades(settings.dataSize, settings.taperSize))) return 1;
    return runGeneration(&settings, table.get(), params.release(), argv[0]);
}
