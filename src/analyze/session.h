// One analysis from start to end, for every program that analyses a recording (the
// analyzer, the measurement program): the list read, the played period made, the
// recording analysed and the results written as text or JSON. Nothing here prints.
#ifndef SONVEL_SESSION_H
#define SONVEL_SESSION_H

#include <string>

#include "analysis.h"
#include "calibration.h"
#include "cli.h"
#include "recording.h"
#include "result.h"

struct AnalysisRequest {
    SignalOptions signal;    // the options sonvel was given; -f names the list
    AnalyzeSettings analyze;
    int settleMs = -1;       // -1: one period
    bool json = false;
    std::string command;     // the command line, for the results' header
    std::string recordingName;
    // The file sonvel wrote (--played), in place of its options; and whether the rate
    // may come from the list's comment when -s was not given.
    const char *playedPath = nullptr;
    bool rateFromList = false;
    bool strict = false;      // a warning fails the run
    DeviceCalibration calibration;  // --cal; empty for none
};

struct AnalysisOutcome {
    Analysis analysis;
    std::string results;     // the table or the JSON
    std::string warnings;    // "warning: " lines for standard error
};

// The analysis options every analysing program takes, reading into request.
OptionGroup analysisOptions(AnalysisRequest *request, const char **plotPath);

// --played, for the programs that analyse a recording of a file sonvel wrote.
Option playedOption(AnalysisRequest *request);

// The signal that was played, as the analysis needs it: the options checked, the list
// read (from -f, or standard input), its period found and the period made, or read
// from the played file. Without -s, the rate is the list's comment's where the request
// allows it.
Result preparePlayed(const AnalysisRequest &request, PlayedSignal *played);

// Analyses rec against the played signal and writes the results.
Result analyzeRecording(const AnalysisRequest &request, const PlayedSignal &played, Recording *rec,
                        AnalysisOutcome *outcome);

#endif
