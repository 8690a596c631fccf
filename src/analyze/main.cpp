// sonvel-analyze: from a recording of a multisine that sonvel played to the system's
// response per line, its noise and its odd and even nonlinear distortion.
#include <cstdio>
#include <string>
#include <vector>

#include "analysis.h"
#include "realisations.h"
#include "session.h"
#include "cli_main.h"
#include "report.h"
#include "result.h"

namespace {

// The analyzer's options: sonvel's, as they were given to it for the recording, and
// the analysis's own.
Program analyzeProgram(AnalysisRequest *request, const char **plotPath)
{
    OptionGroup signal = signalOptions(&request->signal, SIGNAL_ALL, "the list that was played, not standard input");
    signal.options.push_back(playedOption(request));
    for (Option &option : signal.options)
        if (option.letter == 's') option.byDefault = "the list's comment's rate or 12000";
    return {"sonvel-analyze",
            {"[options] <recording>", "[options] <list1> <recording1> <list2> <recording2> ..."},
            {signal, analysisOptions(request, plotPath)}};
}

// Reads the command line. Returns RUN_CONTINUES, or the exit status.
int parseAnalyzeOptions(int argc, char **argv, AnalysisRequest *request, const char **plotPath,
                        std::vector<RealisationPair> *pairs)
{
    const Program program = analyzeProgram(request, plotPath);
    const ParsedLine line = parseCommandLine(program, argc, argv);
    const int status = answerCommandLine(program, line);
    if (status != RUN_CONTINUES) return status;
    if (printFailure(readOperands(line.operands, request->signal.paramPath != nullptr, &request->recordingName, pairs)))
        return 1;
    if (!pairs->empty() && *plotPath)
        return printFailure(failure("--plot draws one recording, not several realisations."));
    request->command = "sonvel-analyze";
    for (int i = 1; i < argc; i++) request->command += std::string(" ") + argv[i];
    return RUN_CONTINUES;
}

// Several realisations: their table or JSON, and the warnings of each.
int analyzeRealisationsMain(const AnalysisRequest &request, const std::vector<RealisationPair> &pairs)
{
    RealisationsOutcome outcome;
    if (printFailure(analyzeRealisations(request, pairs, &outcome))) return 1;
    std::fputs(outcome.warnings.c_str(), stderr);
    return printOutput(outcome.results, "the results");
}

int analyzeMain(int argc, char **argv)
{
    guardStandardStreams();
    AnalysisRequest request;
    request.rateFromList = true;
    const char *plotPath = nullptr;
    std::vector<RealisationPair> pairs;
    int status = parseAnalyzeOptions(argc, argv, &request, &plotPath, &pairs);
    if (status != RUN_CONTINUES) return status;
    if (!pairs.empty()) return analyzeRealisationsMain(request, pairs);
    // The plot's file is claimed first, so that a path that cannot take it costs no
    // analysis; nothing reaches standard output before the plot is written in full.
    PlotOutput plot;
    if (plotPath && printFailure(claimPlot(plotPath, &plot))) return 1;
    PlayedSignal played;
    if (printFailure(preparePlayed(request, &played))) return 1;
    Recording rec;
    if (printFailure(openRecording(request.recordingName.c_str(), &rec))) return 1;
    AnalysisOutcome outcome;
    if (printFailure(analyzeRecording(request, played, &rec, &outcome))) return 1;
    std::fputs(outcome.warnings.c_str(), stderr);
    if (plotPath && printFailure(writePlot(outcome.analysis, &plot))) return 1;
    if (printOutput(outcome.results, "the results")) return 1;
    return plotPath ? printFailure(commitPlot(&plot)) : 0;
}

}  // namespace

int main(int argc, char **argv) { return runMain(analyzeMain, argc, argv); }
