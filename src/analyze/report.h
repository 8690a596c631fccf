// The results as text: tab-separated columns under a comment header, or JSON; and the
// plot of the response, the noise and the distortion.
#ifndef SONVEL_REPORT_H
#define SONVEL_REPORT_H

#include <string>

#include "levels.h"

#include "analysis.h"
#include "out_file.h"
#include "result.h"

// What the header names besides the analysis.
struct ReportContext {
    std::string command;    // the command line
    std::string recording;  // its path
    int rateHz = 0;
    int channel = 1, reference = 0;
    LevelReference fullScale = LevelReference::Dc;  // what the recording's level is given against
};

// A recording's peak in full scale: six decimals, or six digits where it is a million
// or more (a float recording may hold any value).
std::string peakText(double peak);

std::string textReport(const ReportContext &c, const Analysis &a);
std::string jsonReport(const ReportContext &c, const Analysis &a);

// A JSON number: a finite value in fmt, an infinity as +-1e308 (which every parser
// reads as a double and no finite result comes near), and null for a value that is not
// a number (missing, or not defined for the line).
std::string jsonNumber(double v, const char *fmt = "%.10g");

// A JSON string, with quotes, backslashes and control characters escaped.
std::string jsonQuoted(const std::string &s);

// A table cell: a finite value in fmt, without the sign of one that prints as 0
// ("-0.000" reads as a direction that is not there); an infinity as inf or -inf and a
// value that is not a number as nan, the spellings Python's float() and the usual table
// readers take (printf would write "-nan" for some NaNs).
std::string tableCell(double v, const char *fmt);

// The name of a line's kind: excited, odd, even or out-of-band.
const char *kindName(LineKind kind);

// Whether this build draws plots.
bool plotSupported();

// The plot's file, claimed before the analysis and placed after the results, and
// PLplot's device for its format.
struct PlotOutput {
    OutputFile file;
    std::string device;
};

// Claims path for the plot, touching nothing that is there: a path that does not end
// in .png, .svg or .pdf, one that cannot be written, or standard output, which takes
// the results, is refused before the analysis.
Result claimPlot(const char *path, PlotOutput *plot);

// Draws the gain with its 95 % interval, the noise floor of the mean and the
// significant odd and even distortion over the phase, on log-frequency axes, into
// memory in the claimed file's format, and writes the whole file into it,
// every write checked; a file written in place is refused first when it cannot hold it.
Result writePlot(const Analysis &a, PlotOutput *plot);

// Puts the written plot in place, once the results are out.
Result commitPlot(PlotOutput *plot);

#endif
