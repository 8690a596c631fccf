// sonvel-analyze: from a recording of a multisine that sonvel played to the system's
// response per line, its noise and its odd and even nonlinear distortion.
#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "analysis.h"
#include "format.h"
#include "levels.h"
#include "report.h"
#include "result.h"
#include "sizes.h"

namespace {

struct Settings {
    int durationMs = DEFAULT_DURATION_MS;
    int rateHz = DEFAULT_SAMPLING_HZ;
    double levelDb = DEFAULT_LEVEL_DB;  // in the reference below
    LevelReference fullScale = LevelReference::Dc;
    LevelUnit levelUnit = LevelUnit::FullScale;  // of levelDb
    Calibration calibration;
    SampleFormat format = SampleFormat::S16;
    Quantizer quantizer = Quantizer::Truncate;
    int taperMs = DEFAULT_TAPER_MS;
    const char *listPath = nullptr;  // none: standard input
    const char *recording = nullptr;
    int settleMs = -1;               // -1: one period
    bool json = false;
    const char *plotPath = nullptr;
    AnalyzeSettings analyze;
};

void printHelp()
{
    std::printf(
        "usage:\tsonvel-analyze [options] <recording>\n"
        "options:\n"
        "\t-t <signal duration in msec>\t: %d by default\n"
        "\t-s <sampling frequency in Hz>\t: %d by default\n"
        "\t-l <power level in dB>\t: %d by default\n"
        "\t-T <taper length in msec>\t: %d by default\n"
        "\t-f <parameter-file>\t: the list that was played; standard input by default\n"
        "\t--level DB\t: the level with decimals, as -l\n"
        "\t--full-scale dc|sine\t: the level in dB of a full-scale constant or sine\n"
        "\t--calibrate DB=LEVEL\t: as sonvel's: --level may then be in dB SPL, dBu or dBV\n"
        "\t--sample-format s16|s24|s32|f32\t: the samples sonvel wrote\n"
        "\t--quantize truncate|round|tpdf\t: how sonvel made them integers\n"
        "\t--channel N\t: the channel of the response, 1 by default\n"
        "\t--reference N\t: a loopback channel of the signal as it left the converter\n"
        "\t--settle MS\t: settling time after the fade-in; one period by default\n"
        "\t--periods N\t: use at most N periods\n"
        "\t--max-freq HZ\t: lines not excited up to this frequency; half the rate by default\n"
        "\t--json\t: the results as JSON\n"
        "\t--plot FILE.png\t: draw response, noise and distortion%s\n"
        "\t-h, --help\t: print this message\n",
        DEFAULT_DURATION_MS, DEFAULT_SAMPLING_HZ, DEFAULT_LEVEL_DB, DEFAULT_TAPER_MS,
        plotSupported() ? "" : " (not in this build: no PLplot)");
}

int refuse(const char *option, const char *value, const char *expected)
{
    std::fprintf(stderr, "error: %s: \"%s\" is not %s.\n", option, value, expected);
    return 1;
}

bool readInt(const char *text, long low, long high, int *value)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < low || v > high) return false;
    *value = static_cast<int>(v);
    return true;
}

enum LongOnly { OPT_CHANNEL = 256, OPT_REFERENCE, OPT_SETTLE, OPT_PERIODS, OPT_MAX_FREQ, OPT_JSON, OPT_PLOT,
                OPT_LEVEL, OPT_FULL_SCALE, OPT_SAMPLE_FORMAT, OPT_QUANTIZE, OPT_CALIBRATE };

// Reads the command line into s. Returns RUN_CONTINUES, or the exit status.
int parseAnalyzeOptions(int argc, char **argv, Settings *s)
{
    static const option LONG_OPTIONS[] = {
        {"channel", required_argument, nullptr, OPT_CHANNEL},
        {"reference", required_argument, nullptr, OPT_REFERENCE},
        {"settle", required_argument, nullptr, OPT_SETTLE},
        {"periods", required_argument, nullptr, OPT_PERIODS},
        {"max-freq", required_argument, nullptr, OPT_MAX_FREQ},
        {"json", no_argument, nullptr, OPT_JSON},
        {"plot", required_argument, nullptr, OPT_PLOT},
        {"level", required_argument, nullptr, OPT_LEVEL},
        {"full-scale", required_argument, nullptr, OPT_FULL_SCALE},
        {"calibrate", required_argument, nullptr, OPT_CALIBRATE},
        {"sample-format", required_argument, nullptr, OPT_SAMPLE_FORMAT},
        {"quantize", required_argument, nullptr, OPT_QUANTIZE},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 0;
    int c, n = 0;
    while ((c = getopt_long(argc, argv, "t:s:l:T:f:h", LONG_OPTIONS, nullptr)) != -1) {
        switch (c) {
        case 't':
            if (!readInt(optarg, 1, INT_MAX, &s->durationMs)) return refuse("-t", optarg, "a duration in ms");
            break;
        case 's':
            if (!readInt(optarg, 1, INT_MAX, &s->rateHz)) return refuse("-s", optarg, "a rate in Hz");
            break;
        case 'l':
            if (!readInt(optarg, INT_MIN, -1, &n)) return refuse("-l", optarg, "a level below 0 dB");
            s->levelDb = n;
            s->levelUnit = LevelUnit::FullScale;
            break;
        case OPT_LEVEL:
            if (!parseLevelText(optarg, &s->levelDb, &s->levelUnit))
                return refuse("--level", optarg, "a level in dB, or with a unit of dB SPL, dBu or dBV");
            break;
        case OPT_CALIBRATE:
            if (!parseCalibration(optarg, &s->calibration))
                return refuse("--calibrate", optarg, "DB=LEVEL with LEVEL in dB SPL, dBu or dBV");
            break;
        case OPT_FULL_SCALE:
            if (!referenceNamed(optarg, &s->fullScale)) return refuse("--full-scale", optarg, "dc or sine");
            break;
        case OPT_SAMPLE_FORMAT:
            if (!sampleFormatNamed(optarg, &s->format))
                return refuse("--sample-format", optarg, "one of s16, s24, s32 and f32");
            break;
        case OPT_QUANTIZE:
            if (!quantizerNamed(optarg, &s->quantizer))
                return refuse("--quantize", optarg, "one of truncate, round and tpdf");
            break;
        case 'T':
            if (!readInt(optarg, 0, INT_MAX, &s->taperMs)) return refuse("-T", optarg, "a length in ms");
            break;
        case 'f': s->listPath = optarg; break;
        case OPT_CHANNEL:
            if (!readInt(optarg, 1, INT_MAX, &s->analyze.channel)) return refuse("--channel", optarg, "a channel from 1");
            break;
        case OPT_REFERENCE:
            if (!readInt(optarg, 1, INT_MAX, &s->analyze.reference))
                return refuse("--reference", optarg, "a channel from 1");
            break;
        case OPT_SETTLE:
            if (!readInt(optarg, 0, INT_MAX, &s->settleMs)) return refuse("--settle", optarg, "a time in ms");
            break;
        case OPT_PERIODS:
            if (!readInt(optarg, 2, INT_MAX, &n)) return refuse("--periods", optarg, "a count of 2 or more");
            s->analyze.maxPeriods = n;
            break;
        case OPT_MAX_FREQ: {
            char *end = nullptr;
            const double f = std::strtod(optarg, &end);
            if (end == optarg || *end != '\0' || !(f > 0.0) || !std::isfinite(f))
                return refuse("--max-freq", optarg, "a frequency in Hz");
            s->analyze.maxFreqHz = f;
            break;
        }
        case OPT_JSON: s->json = true; break;
        case OPT_PLOT: s->plotPath = optarg; break;
        case 'h': printHelp(); return 0;
        default:  // getopt_long has printed its diagnostic
            return 1;
        }
    }
    if (argc - optind != 1) {
        std::fputs(argc - optind == 0 ? "error: no recording given; see sonvel-analyze --help.\n"
                                      : "error: one recording at a time; see sonvel-analyze --help.\n",
                   stderr);
        return 1;
    }
    s->recording = argv[optind];
    return RUN_CONTINUES;
}

// Prints an error text as one line that starts with "error: ".
int fail(std::string text)
{
    while (!text.empty() && text.back() == '\n') text.pop_back();
    if (text.rfind("error: ", 0) != 0) text = "error: " + text;
    std::fprintf(stderr, "%s\n", text.c_str());
    return 1;
}

struct FileCloser {
    void operator()(FILE *fp) const
    {
        if (fp != stdin) std::fclose(fp);
    }
};

int analyzeMain(int argc, char **argv)
{
    Settings s;
    int status = parseAnalyzeOptions(argc, argv, &s);
    if (status != RUN_CONTINUES) return status;
    if (s.plotPath && !plotSupported()) return fail(drawPlot(s.plotPath, Analysis()).message());

    int size = 0, taper = 0;
    Result r = signalSizes(s.rateHz, s.durationMs, s.taperMs, &size, &taper);
    if (r.ok()) r = checkFades(size, taper);
    if (r.status == Status::FadesTooLong) return fail("-T: the two fades are longer than the signal.");
    if (!r.ok()) return fail(r.message());

    std::unique_ptr<FILE, FileCloser> listFile(s.listPath ? std::fopen(s.listPath, "r") : stdin);
    if (!listFile) return fail(std::string("fail to open \"") + s.listPath + "\".");
    PlayedList list;
    r = readList(listFile.get(), &list);
    if (!r.ok()) return fail(r.message());
    listFile.reset();

    long long period = 0;
    r = findPeriod(list, s.rateHz, &period);
    if (!r.ok()) return fail(r.message());
    PlayedSignal played;
    LevelTarget target;
    target.format = s.format;
    target.quantizer = s.quantizer;
    if (!levelToDc(s.levelDb, s.levelUnit, s.fullScale, s.calibration, &target.level))
        return fail(std::string("--level is in ") + unitName(s.levelUnit) + ", and no --calibrate gives " +
                    unitName(s.levelUnit) + ".");
    if (!(target.level < 0.0)) return fail("the level must be below full scale.");
    r = playedSignal(list, s.rateHz, size, taper, target, period, &played);
    if (!r.ok()) return fail(r.message());

    Recording rec;
    r = openRecording(s.recording, &rec);
    if (!r.ok()) return fail(r.message());
    s.analyze.settle = s.settleMs >= 0 ? samplesOf(s.rateHz, s.settleMs) : -1;
    Analysis a;
    r = analyze(&rec, played, s.analyze, &a);
    if (!r.ok()) return fail(r.message());

    ReportContext context;
    context.command = "sonvel-analyze";
    for (int i = 1; i < argc; i++) context.command += std::string(" ") + argv[i];
    context.recording = s.recording;
    context.rateHz = s.rateHz;
    context.channel = s.analyze.channel;
    context.reference = s.analyze.reference;
    context.fullScale = s.fullScale;
    if (a.fullScale)
        std::fprintf(stderr, "warning: \"%s\" reaches full scale (peak %.6f): it may be clipped.\n",
                     s.recording, a.peak);
    const std::string text = s.json ? jsonReport(context, a) : textReport(context, a);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
        return fail("fail to write the results to standard output.");
    if (s.plotPath && !(r = drawPlot(s.plotPath, a)).ok()) return fail(r.message());
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    // An allocation that fails ends the run with a message and status 1, as in sonvel.
    try {
        return analyzeMain(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fputs("error: out of memory.\n", stderr);
        return 1;
    }
}
