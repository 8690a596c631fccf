#include "session.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <memory>

#include "drift.h"
#include "report.h"
#include "sizes.h"

namespace {

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

struct FileCloser {
    void operator()(FILE *fp) const
    {
        if (fp != stdin) std::fclose(fp);
    }
};

}  // namespace

OptionGroup analysisOptions(AnalysisRequest *r, const char **plotPath)
{
    return {"analysis options",
            {countOption("channel", "N", "the channel of the response", "1", 1, "a channel from 1",
                         [r](int n) { r->analyze.channel = n; }),
             countOption("reference", "N", "a loopback channel of the signal as it left the converter", "", 1,
                         "a channel from 1", [r](int n) { r->analyze.reference = n; }),
             countOption("settle", "MS", "settling time after the fade-in", "one period", 0, "a time in ms",
                         [r](int n) { r->settleMs = n; }),
             countOption("periods", "N", "use at most N periods", "", 2, "a count of 2 or more",
                         [r](int n) { r->analyze.maxPeriods = n; }),
             {"max-freq", 0, "HZ", "lines not excited up to this frequency", "half the rate",
              [r](const char *v) {
                  double f = 0.0;
                  if (!readDecimal(v, false, &f) || !(f > 0.0)) return refusal("--max-freq", v, "a frequency in Hz");
                  r->analyze.maxFreqHz = f;
                  return Result();
              }},
             {"drift", 0, "PPM|off", "the recorder's clock drift to correct, or off to correct none",
              "measured", [r](const char *v) {
                  double ppm = 0.0;
                  if (std::strcmp(v, "off") == 0) {
                      r->analyze.drift = DriftMode::Off;
                  } else if (readDecimal(v, true, &ppm) && std::fabs(ppm) <= MAX_DRIFT_PPM) {
                      r->analyze.drift = DriftMode::Given;
                      r->analyze.driftPpm = ppm;
                  } else {
                      return refusal("--drift", v, "a drift in ppm from -1000 to 1000, or off");
                  }
                  return Result();
              }},
             {"json", 0, nullptr, "the results as JSON", "",
              [r](const char *) {
                  r->json = true;
                  return Result();
              }},
             {"plot", 0, "FILE.png",
              plotSupported() ? "draw response, noise and distortion" : "not in this build: it was built without PLplot",
              "", [plotPath](const char *v) {
                  *plotPath = v;
                  return Result();
              }}}};
}

Result preparePlayed(const AnalysisRequest &request, PlayedSignal *played)
{
    int size = 0, taper = 0;
    LevelTarget target;
    target.format = request.signal.sampleFormat;
    target.quantizer = request.signal.quantizer;
    Result r = resolveSignal(request.signal, MAX_DATA_SIZE, &size, &taper, &target.level);
    if (r.ok()) r = checkFades(size, taper);
    if (r.status == Status::FadesTooLong) return failure("-T: the two fades are longer than the signal.");
    if (!r.ok()) return r;

    const char *listPath = request.signal.paramPath;
    std::unique_ptr<FILE, FileCloser> listFile(listPath ? std::fopen(listPath, "r") : stdin);
    if (!listFile) return failure(std::string("fail to open \"") + listPath + "\".");
    PlayedList list;
    r = readList(listFile.get(), &list);
    if (!r.ok()) return r;
    listFile.reset();

    const int rateHz = request.signal.samplingHz;
    long long period = 0;
    r = findPeriod(list, rateHz, &period);
    if (!r.ok()) return r;
    return playedSignal(list, rateHz, size, taper, target, period, played);
}

Result analyzeRecording(const AnalysisRequest &request, const PlayedSignal &played, Recording *rec,
                        AnalysisOutcome *outcome)
{
    const int rateHz = request.signal.samplingHz;
    AnalyzeSettings settings = request.analyze;
    settings.settle = request.settleMs >= 0 ? samplesOf(rateHz, request.settleMs) : -1;
    Analysis &a = outcome->analysis;
    const Result r = analyze(rec, played, settings, &a);
    if (!r.ok()) return r;

    ReportContext context;
    context.command = request.command;
    context.recording = request.recordingName;
    context.rateHz = rateHz;
    context.channel = settings.channel;
    context.reference = settings.reference;
    context.fullScale = request.signal.reference;
    if (a.fullScale)
        outcome->warnings += formatted("warning: \"%s\" reaches full scale (peak %s): it may be clipped.\n",
                                       escaped(request.recordingName.c_str()).c_str(), peakText(a.peak).c_str());
    for (const std::string &w : a.warnings) outcome->warnings += "warning: " + w + "\n";
    outcome->results = request.json ? jsonReport(context, a) : textReport(context, a);
    return Result();
}
