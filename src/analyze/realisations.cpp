#include "realisations.h"

#include <algorithm>
#include <cmath>

#include "statistics.h"
#include "steps.h"

namespace {

// The variances are sums of squared complex deviations, each complex value two real
// degrees of freedom: scaled chi-square variables, and their ratios F variables.

// The value of chi-square over its degrees of freedom that a share alpha exceeds: that
// of F(dof, infinity), which the F quantile takes as F(dof, 1e6), within 1e-5 of
// itself while dof stays below 1e6 (2R(M - 1) for R realisations of M periods).
double scaledChiSquare(double alpha, double dof) { return fQuantile(alpha, dof, 1e6); }

// The factors that turn the estimates into their bounds, the same for every line.
struct Bounds {
    double noiseLow, noiseHigh, totalLow, totalHigh;  // chi-square: dof / quantile
    double ratioLow, ratioHigh;  // F: 1 / quantile, for total / noise
    double significant;          // F: the 95 % quantile of total / noise without distortion
    double radius2;              // F(2, total dof): |bla - true|^2 / total
};

Bounds boundsFor(double noiseDof, double totalDof)
{
    Bounds b;
    b.noiseLow = 1.0 / scaledChiSquare(0.025, noiseDof);
    b.noiseHigh = 1.0 / scaledChiSquare(0.975, noiseDof);
    b.totalLow = 1.0 / scaledChiSquare(0.025, totalDof);
    b.totalHigh = 1.0 / scaledChiSquare(0.975, totalDof);
    b.ratioLow = 1.0 / fQuantile(0.025, totalDof, noiseDof);
    b.ratioHigh = 1.0 / fQuantile(0.975, totalDof, noiseDof);
    b.significant = fQuantile(0.05, totalDof, noiseDof);
    b.radius2 = fQuantile2(0.05, totalDof);
    return b;
}

}  // namespace

Result readOperands(const std::vector<const char *> &operands, bool listGiven, std::string *recording,
                    std::vector<RealisationPair> *pairs)
{
    pairs->clear();
    if (operands.empty()) return failure("no recording given; see sonvel-analyze --help.");
    if (operands.size() == 1) {
        *recording = operands[0];
        return Status::Ok;
    }
    if (listGiven) return failure("one recording at a time; see sonvel-analyze --help.");
    if (operands.size() % 2)
        return failure(formatted("realisations come in pairs of list and recording, and %zu operands make "
                                 "no pairs; see sonvel-analyze --help.", operands.size()));
    if (operands.size() == 2)
        return failure("one pair of list and recording: give the list with -f, or 2 pairs at least; see "
                       "sonvel-analyze --help.");
    for (size_t i = 0; i < operands.size(); i += 2) pairs->push_back({operands[i], operands[i + 1]});
    return Status::Ok;
}

void combineRealisations(const std::vector<Analysis> &analyses, BlaResult *bla)
{
    const size_t R = analyses.size();
    const double count = static_cast<double>(R);
    bla->realisations = static_cast<int>(R);
    bla->noiseDof = 0.0;
    for (const Analysis &a : analyses) bla->noiseDof += 2.0 * static_cast<double>(a.periodsUsed - 1);
    bla->totalDof = 2.0 * (count - 1.0);
    const Bounds b = boundsFor(bla->noiseDof, bla->totalDof);
    bla->lines.assign(analyses.front().excited.size(), BlaLine());
    bla->significantLines = 0;
    std::vector<Complex> G(R);
    for (size_t i = 0; i < bla->lines.size(); i++) {
        BlaLine &line = bla->lines[i];
        line.bin = analyses.front().excited[i].bin;
        line.freqHz = analyses.front().excited[i].freqHz;
        double noise = 0.0, detection = 0.0;
        for (size_t r = 0; r < R; r++) {
            const LineResult &l = analyses[r].excited[i];
            G[r] = std::polar(std::pow(10.0, l.gainOrLevelDb / 20.0), l.phaseDeg * PI / 180.0);
            line.bla += G[r];
            // The noise of one period over the periods: that of the realisation's mean.
            noise += std::pow(10.0, l.noiseDb / 10.0) / static_cast<double>(analyses[r].periodsUsed);
            detection += std::pow(10.0, l.nonlinearDb / 10.0);
        }
        line.bla /= count;
        double scatter = 0.0;
        for (const Complex &g : G) scatter += std::norm(g - line.bla);
        line.total = scatter / (count * (count - 1.0));
        line.noise = noise / (count * count);
        line.nonlinear = line.total - line.noise;
        line.noiseLow = line.noise * b.noiseLow;
        line.noiseHigh = line.noise * b.noiseHigh;
        line.totalLow = line.total * b.totalLow;
        line.totalHigh = line.total * b.totalHigh;
        line.nonlinearLow = line.total * b.ratioLow - line.noise;
        line.nonlinearHigh = line.total * b.ratioHigh - line.noise;
        // Below 1e-20 of the BLA's power (-200 dB) the scatter is the transforms' rounding.
        line.significant = line.total > b.significant * line.noise && line.total > 1e-20 * std::norm(line.bla);
        line.radius = std::sqrt(line.total * b.radius2);
        line.detection = detection / (count * count);
        if (line.significant) bla->significantLines++;
    }
}

namespace {

// The count bins of the rising list nearest to bin, list[*low .. *high - 1], widened from
// *low = *high = the first one above bin; the lower one of two as near.
void nearest(const std::vector<long long> &list, long long bin, size_t count, size_t *low, size_t *high)
{
    while (*high - *low < count && (*low > 0 || *high < list.size())) {
        if (*low > 0 && (*high == list.size() || bin - list[*low - 1] <= list[*high] - bin))
            --*low;
        else
            ++*high;
    }
}

}  // namespace

void estimateDetectionDistortion(const PeriodSums &sums, const PlayedSignal &played, long long M,
                                 bool withReference, Analysis *out)
{
    // Each excited line's estimate averages this many detection lines: the power at one
    // scatters as an exponential variable, so 4 bring it to within about +-2 dB.
    const size_t NEAREST = 4;
    std::vector<long long> odd;
    std::vector<double> power;
    const double floorScale = 1.0 / static_cast<double>(M * (M - 1));
    for (const LineResult &l : out->other) {
        if (l.kind != LINE_ODD) continue;
        const size_t i = static_cast<size_t>(l.bin);
        odd.push_back(l.bin);
        power.push_back(std::norm(sums.Y.mean(i)) - sums.Y.m2[i] * floorScale);
    }
    if (!out->oddLines || odd.empty()) return;
    size_t next = 0;  // the first detection line above the excited line
    for (LineResult &line : out->excited) {
        while (next < odd.size() && odd[next] < line.bin) next++;
        size_t low = next, high = next;
        nearest(odd, line.bin, NEAREST, &low, &high);
        double sum = 0.0;
        for (size_t j = low; j < high; j++) sum += power[j];
        const size_t i = static_cast<size_t>(line.bin);
        const double input = withReference ? std::norm(sums.U.mean(i)) : std::norm(played.spectrum[i]);
        line.nonlinearDb = db10(std::max(sum / static_cast<double>(high - low), 0.0) / input);
    }
}

namespace {

// A pair's failure as one line that names the pair.
Result pairFailure(size_t index, const RealisationPair &pair, const Result &r)
{
    std::string text = r.message();
    if (text.rfind("error: ", 0) == 0) text.erase(0, 7);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    std::replace(text.begin(), text.end(), '\n', ' ');
    return failure(formatted("pair %zu (\"%s\", \"%s\"): ", index + 1, pair.list.c_str(), pair.recording.c_str()) +
                   text);
}

// The warnings of one analysis, one sentence each, naming its realisation.
void addWarnings(size_t index, const std::string &lines, std::vector<std::string> *warnings)
{
    size_t at = 0;
    for (size_t end; (end = lines.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string w = lines.substr(at, end - at);
        if (w.rfind("warning: ", 0) == 0) w.erase(0, 9);
        warnings->push_back(formatted("realisation %zu: ", index + 1) + w);
    }
}

}  // namespace

Result analyzeRealisations(const AnalysisRequest &request, const std::vector<RealisationPair> &pairs,
                           RealisationsOutcome *outcome)
{
    outcome->analyses.assign(pairs.size(), Analysis());
    std::vector<std::string> warnings;
    PlayedSignal first;
    for (size_t i = 0; i < pairs.size(); i++) {
        AnalysisRequest one = request;
        one.signal.paramPath = pairs[i].list.c_str();
        one.recordingName = pairs[i].recording;
        PlayedSignal played;
        Result r = preparePlayed(one, &played);
        if (!r.ok()) return pairFailure(i, pairs[i], r);
        if (i == 0) {
            first = std::move(played);
        } else if (played.period != first.period || played.excited != first.excited) {
            return failure(formatted("the lists of pairs 1 and %zu (\"%s\", \"%s\") excite different lines: give "
                                     "the realisations of one design.",
                                     i + 1, pairs[0].list.c_str(), pairs[i].list.c_str()));
        }
        Recording rec;
        r = openRecording(pairs[i].recording.c_str(), &rec);
        AnalysisOutcome single;
        if (r.ok()) r = analyzeRecording(one, i == 0 ? first : played, &rec, &single);
        if (!r.ok()) return pairFailure(i, pairs[i], r);
        addWarnings(i, single.warnings, &warnings);
        // Only the excited lines are combined: the others (up to half the period's bins)
        // are let go, so that memory does not grow with them for every realisation.
        single.analysis.other = std::vector<LineResult>();
        outcome->analyses[i] = std::move(single.analysis);
    }
    combineRealisations(outcome->analyses, &outcome->bla);
    for (const std::string &w : warnings) outcome->warnings += "warning: " + w + "\n";
    RealisationsReport report{request, pairs, outcome->analyses, outcome->bla, warnings};
    outcome->results = request.json ? realisationsJson(report) : realisationsText(report);
    return Status::Ok;
}
