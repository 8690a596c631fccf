#include "session.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <memory>

#include "played_file.h"
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

// --strict: the warnings ("warning: " lines) as one failure that names the first.
Result strictFailure(const std::string &warnings)
{
    const size_t count = static_cast<size_t>(std::count(warnings.begin(), warnings.end(), '\n'));
    const std::string first = warnings.substr(9, warnings.find('\n') - 9);
    return failure(count == 1 ? "--strict: " + first
                              : formatted("--strict: %zu warnings, the first: %s", count, first.c_str()));
}

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
             {"plot", 0, "FILE",
              plotSupported() ? "draw response and distortion (.png, .svg or .pdf)"
                              : "not in this build: it was built without PLplot",
              "", [plotPath](const char *v) {
                  *plotPath = v;
                  return Result();
              }},
             {"strict", 0, nullptr, "any warning fails the run, with no results", "",
              [r](const char *) {
                  r->strict = true;
                  return Result();
              }},
             {"cal", 0, "FILE", "remove a microphone's or device's response", "",
              [r](const char *v) { return readCalibration(v, &r->calibration); }}}};
}

Option playedOption(AnalysisRequest *r)
{
    return {"played", 0, "FILE",
            "the file sonvel wrote: its rate, length, fades and samples in place of the other signal options",
            "", [r](const char *v) {
                r->playedPath = v;
                return Result();
            }};
}

namespace {

// The sizes and the level that the options give, refused as sonvel refuses them; the
// fades are checked where the signal is made from the options.
Result resolvePlayed(const SignalOptions &options, bool withFades, long long *size, long long *taper,
                     LevelTarget *target)
{
    int dataSize = 0, taperSize = 0;
    target->format = options.sampleFormat;
    target->quantizer = options.quantizer;
    Result r = resolveSignal(options, MAX_DATA_SIZE, &dataSize, &taperSize, &target->level);
    if (r.ok() && withFades) r = checkFades(dataSize, taperSize);
    if (r.status == Status::FadesTooLong) return failure("-T: the two fades are longer than the signal.");
    *size = dataSize;
    *taper = taperSize;
    return r;
}

Result readListOf(const char *listPath, PlayedList *list)
{
    std::unique_ptr<FILE, FileCloser> listFile(listPath ? std::fopen(listPath, "r") : stdin);
    if (!listFile) return failure(std::string("fail to open \"") + listPath + "\".");
    return readList(listFile.get(), list);
}

// What the options leave room for, added to the refusal of a recording without whole
// periods enough, where the window between the fades that -t and -T give has room for
// fewer than 3 after the settling time: a part of a period more or less leaves fewer
// than 2, and the options are the likely cause. Empty otherwise, and for a played file.
std::string windowHint(const SignalOptions &options, const PlayedSignal &played, long long settle)
{
    const long long P = played.period;
    const long long room = (played.size - 2 * played.taper - (settle >= 0 ? settle : P)) / P;
    if (!played.file.empty() || room >= 3) return "";
    return formatted(" -t %d and -T %d leave room for %lld whole period%s of %lld samples after the fade-in and "
                     "settling: give -t and -T as sonvel was given them.",
                     options.durationMs, options.taperMs, std::max(room, 0LL), room == 1 ? "" : "s", P);
}

}  // namespace

Result preparePlayed(const AnalysisRequest &request, PlayedSignal *played)
{
    SignalOptions options = request.signal;
    long long size = 0, taper = 0;
    LevelTarget target;
    Result r = resolvePlayed(options, !request.playedPath, &size, &taper, &target);
    if (!r.ok()) return r;
    PlayedList list;
    r = readListOf(options.paramPath, &list);
    if (!r.ok()) return r;
    if (request.playedPath) return playedFromFile(request.playedPath, list, options, target.level, played);

    // The designer's comment names the rate the list was made for.
    const bool rateFromList = request.rateFromList && !options.samplingText && list.designerRate > 0 &&
                              list.designerRate <= INT_MAX;
    if (rateFromList && list.designerRate != options.samplingHz) {
        options.samplingHz = static_cast<int>(list.designerRate);
        r = resolvePlayed(options, true, &size, &taper, &target);
        if (!r.ok()) return r;
    }
    const int rateHz = options.samplingHz;
    long long period = 0;
    r = findPeriod(list, rateHz, &period);
    if (r.ok()) r = playedSignal(list, rateHz, size, taper, target, period, played);
    if (rateFromList) played->rateFrom = "the list's comment says";
    return r;
}

Result analyzeRecording(const AnalysisRequest &request, const PlayedSignal &played, Recording *rec,
                        AnalysisOutcome *outcome)
{
    const int rateHz = played.rateHz;
    AnalyzeSettings settings = request.analyze;
    if (!request.calibration.empty()) settings.calibration = &request.calibration;
    settings.settle = request.settleMs >= 0 ? samplesOf(rateHz, request.settleMs) : -1;
    settings.windowHint = windowHint(request.signal, played, settings.settle);
    Analysis &a = outcome->analysis;
    if (!played.rateFrom.empty() && rec->info.samplerate != rateHz)
        return failure(formatted("\"%s\" is recorded at %d Hz, and %s %d Hz.", rec->name.c_str(),
                                 rec->info.samplerate, played.rateFrom.c_str(), rateHz));
    a.warnings = played.warnings;
    const Result r = analyze(rec, played, settings, &a);
    if (!r.ok()) return r;
    checkEnvelope(rec, played, settings, &a);

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
    if (request.strict && !outcome->warnings.empty()) return strictFailure(outcome->warnings);
    outcome->results = request.json ? jsonReport(context, a) : textReport(context, a);
    return Result();
}
