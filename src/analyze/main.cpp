// sonvel-analyze: from a recording of a multisine that sonvel played to the system's
// response per line, its noise and its odd and even nonlinear distortion.
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
#include "cli_main.h"
#include "format.h"
#include "levels.h"
#include "report.h"
#include "result.h"
#include "sizes.h"

namespace {

struct Settings {
    SignalOptions signal;  // the options sonvel was given
    const char *recording = nullptr;
    int settleMs = -1;     // -1: one period
    bool json = false;
    const char *plotPath = nullptr;
    AnalyzeSettings analyze;
};

// A count or channel of the analysis, refused when it is not a whole number in range.
Option countOption(const char *name, const char *arg, const char *help, std::string byDefault, int low,
                   const char *expected, std::function<void(int)> set)
{
    return {name, 0, arg, help, std::move(byDefault), [=](const char *v) {
                int n = 0;
                if (!readInt(v, low, INT_MAX, &n)) return refusal((std::string("--") + name).c_str(), v, expected);
                set(n);
                return Result();
            }};
}

// The analyzer's options: sonvel's, as they were given to it for the recording, and
// the analysis's own.
Program analyzeProgram(Settings *s)
{
    OptionGroup analysis{"analysis options",
        {countOption("channel", "N", "the channel of the response", "1", 1, "a channel from 1",
                     [s](int n) { s->analyze.channel = n; }),
         countOption("reference", "N", "a loopback channel of the signal as it left the converter", "", 1,
                     "a channel from 1", [s](int n) { s->analyze.reference = n; }),
         countOption("settle", "MS", "settling time after the fade-in", "one period", 0, "a time in ms",
                     [s](int n) { s->settleMs = n; }),
         countOption("periods", "N", "use at most N periods", "", 2, "a count of 2 or more",
                     [s](int n) { s->analyze.maxPeriods = n; }),
         {"max-freq", 0, "HZ", "lines not excited up to this frequency", "half the rate",
          [s](const char *v) {
              double f = 0.0;
              if (!readDecimal(v, false, &f) || !(f > 0.0)) return refusal("--max-freq", v, "a frequency in Hz");
              s->analyze.maxFreqHz = f;
              return Result();
          }},
         {"json", 0, nullptr, "the results as JSON", "", [s](const char *) {
              s->json = true;
              return Result();
          }},
         {"plot", 0, "FILE.png",
          plotSupported() ? "draw response, noise and distortion" : "not in this build: it was built without PLplot",
          "", [s](const char *v) {
              s->plotPath = v;
              return Result();
          }}}};
    return {"sonvel-analyze",
            {"[options] <recording>"},
            {signalOptions(&s->signal, SIGNAL_ALL, "the list that was played, not standard input"), analysis}};
}

// Reads the command line into s. Returns RUN_CONTINUES, or the exit status.
int parseAnalyzeOptions(int argc, char **argv, Settings *s)
{
    const Program program = analyzeProgram(s);
    const ParsedLine line = parseCommandLine(program, argc, argv);
    const int status = answerCommandLine(program, line);
    if (status != RUN_CONTINUES) return status;
    if (line.operands.size() != 1) {
        std::fputs(line.operands.empty() ? "error: no recording given; see sonvel-analyze --help.\n"
                                         : "error: one recording at a time; see sonvel-analyze --help.\n",
                   stderr);
        return 1;
    }
    s->recording = line.operands[0];
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
    if (s.plotPath && !plotSupported()) {
        std::string error;
        drawPlot(s.plotPath, Analysis(), &error);
        return fail(error);
    }

    int size = 0, taper = 0;
    LevelTarget target;
    target.format = s.signal.sampleFormat;
    target.quantizer = s.signal.quantizer;
    Result r = resolveSignal(s.signal, MAX_DATA_SIZE, &size, &taper, &target.level);
    if (r.ok()) r = checkFades(size, taper);
    if (r.status == Status::FadesTooLong) return fail("-T: the two fades are longer than the signal.");
    if (!r.ok()) return printFailure(r);

    const char *listPath = s.signal.paramPath;
    std::unique_ptr<FILE, FileCloser> listFile(listPath ? std::fopen(listPath, "r") : stdin);
    if (!listFile) return fail(std::string("fail to open \"") + listPath + "\".");
    PlayedList list;
    std::string error;
    if (!readList(listFile.get(), &list, &error)) return fail(error);
    listFile.reset();

    const int rateHz = s.signal.samplingHz;
    const long long period = findPeriod(list, rateHz, &error);
    if (period == 0) return fail(error);
    PlayedSignal played;
    if (!regenerate(list, rateHz, size, taper, target, period, &played, &error)) return fail(error);

    Recording rec;
    if (!openRecording(s.recording, &rec, &error)) return fail(error);
    s.analyze.settle = s.settleMs >= 0 ? samplesOf(rateHz, s.settleMs) : -1;
    Analysis a;
    if (!analyze(&rec, played, s.analyze, &a, &error)) return fail(error);

    ReportContext context;
    context.command = "sonvel-analyze";
    for (int i = 1; i < argc; i++) context.command += std::string(" ") + argv[i];
    context.recording = s.recording;
    context.rateHz = rateHz;
    context.channel = s.analyze.channel;
    context.reference = s.analyze.reference;
    context.fullScale = s.signal.reference;
    if (a.fullScale)
        std::fprintf(stderr, "warning: \"%s\" reaches full scale (peak %.6f): it may be clipped.\n",
                     s.recording, a.peak);
    const std::string text = s.json ? jsonReport(context, a) : textReport(context, a);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
        return fail("fail to write the results to standard output.");
    if (s.plotPath && !drawPlot(s.plotPath, a, &error)) return fail(error);
    return 0;
}

}  // namespace

int main(int argc, char **argv) { return runMain(analyzeMain, argc, argv); }
