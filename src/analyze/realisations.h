// Several realisations of a multisine (the designer's lists of the same lines with other
// phases, each played and recorded) analysed together: the best linear approximation
// (BLA) of the system, the mean over the realisations of each one's mean response, with
// the variance of the noise (from the periods), the total variance (from the scatter
// between the realisations) and the stochastic nonlinear distortion (their difference).
// Also, for one recording of a random-odd design, that distortion estimated from the odd
// detection lines next to each excited line. Nothing here prints.
#ifndef SONVEL_REALISATIONS_H
#define SONVEL_REALISATIONS_H

#include <string>
#include <vector>

#include "analysis.h"
#include "result.h"
#include "session.h"

struct PeriodSums;

// A list and the recording of its playing.
struct RealisationPair {
    std::string list, recording;
};

// The operands of a run: one recording (pairs left empty), or pairs of list and
// recording, 2 pairs at least, which take no -f (listGiven). Refused with the refusal's
// sentence otherwise.
Result readOperands(const std::vector<const char *> &operands, bool listGiven, std::string *recording,
                    std::vector<RealisationPair> *pairs);

// One excited line over the realisations. The variances are those of the BLA (of the
// mean over the realisations, a realisation's own being R times as large), on the scale
// of |gain|^2, with 95 % intervals; the nonlinear one and its bounds may be negative.
struct BlaLine {
    long long bin = 0;
    double freqHz = 0.0;
    Complex bla;
    double radius = 0.0;  // of the circle around bla that holds the BLA with 95 %
    double noise = 0.0, noiseLow = 0.0, noiseHigh = 0.0;
    double total = 0.0, totalLow = 0.0, totalHigh = 0.0;
    double nonlinear = 0.0, nonlinearLow = 0.0, nonlinearHigh = 0.0;
    bool significant = false;  // the total variance above the noise's, at the 5 % level
    double detection = NAN;    // the recordings' detection-line estimate of nonlinear
};

struct BlaResult {
    int realisations = 0;
    double noiseDof = 0.0, totalDof = 0.0;  // the variances' degrees of freedom
    std::vector<BlaLine> lines;
    size_t significantLines = 0;
};

// Combines the analyses of R >= 2 realisations whose excited lines are the same.
void combineRealisations(const std::vector<Analysis> &analyses, BlaResult *bla);

struct RealisationsOutcome {
    std::vector<Analysis> analyses;  // one a pair, in their order
    BlaResult bla;
    std::string results;   // the table or the JSON
    std::string warnings;  // "warning: " lines for standard error
};

// What the results of several realisations tell, for their table and JSON.
struct RealisationsReport {
    const AnalysisRequest &request;
    const std::vector<RealisationPair> &pairs;
    const std::vector<Analysis> &analyses;
    const BlaResult &bla;
    const std::vector<std::string> &warnings;  // sentences, each naming its realisation
};

// One row a line under comment lines and a row of column names; or one JSON object.
std::string realisationsText(const RealisationsReport &report);
std::string realisationsJson(const RealisationsReport &report);

// Analyses every pair with the request's signal options as one recording is analysed,
// refuses lists that do not excite the same lines, and combines them.
Result analyzeRealisations(const AnalysisRequest &request, const std::vector<RealisationPair> &pairs,
                           RealisationsOutcome *outcome);

// For an analysis of odd lines with odd detection lines among the others: at each excited
// line, the nonlinear distortion's variance of the response estimated from the powers at
// the nearest odd detection lines above their noise floor, over the line's input power
// (LineResult::nonlinearDb).
void estimateDetectionDistortion(const PeriodSums &sums, const PlayedSignal &played, long long M,
                                 bool withReference, Analysis *out);

#endif
