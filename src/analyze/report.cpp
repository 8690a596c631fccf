#include "report.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "cli.h"
#include "result.h"

namespace {

// v as printed with the given decimals, without the sign of a value that prints as 0
// ("-0.000" reads as a direction that is not there).
double unsignedZero(double v, int decimals) { return std::fabs(v) < 0.5 * std::pow(10.0, -decimals) ? 0.0 : v; }

// A column of the lines' table after freq_hz and kind, the same in the TSV and the
// JSON: its name, the printf format of a finite value, and the value of a line (NaN
// where the line has none). A yes/no column holds 1, 0 or NaN and is true, false or
// null in the JSON.
struct Column {
    const char *name;
    const char *format;
    double (*value)(const LineResult &l);
    bool yesNo;
};

bool excited(const LineResult &l) { return l.kind == LINE_EXCITED; }

// The significance of a line not excited, once its floor of the mean is known.
double significance(const LineResult &l)
{
    return excited(l) || std::isnan(l.floorDb) ? NAN : l.significant ? 1.0 : 0.0;
}

const Column COLUMNS[] = {
    {"gain_or_level_db", "%.4f", [](const LineResult &l) { return l.gainOrLevelDb; }, false},
    {"phase_deg", "%.3f", [](const LineResult &l) { return excited(l) ? l.phaseDeg : NAN; }, false},
    {"noise_db", "%.2f", [](const LineResult &l) { return l.noiseDb; }, false},
    {"snr_db", "%.2f", [](const LineResult &l) { return l.snrDb; }, false},
    {"gain_unc_db", "%.4f", [](const LineResult &l) { return l.gainUncDb; }, false},
    {"phase_unc_deg", "%.3f", [](const LineResult &l) { return l.phaseUncDeg; }, false},
    {"gain_low_db", "%.4f", [](const LineResult &l) { return l.gainLowDb; }, false},
    {"gain_high_db", "%.4f", [](const LineResult &l) { return l.gainHighDb; }, false},
    {"phase_half_width_deg", "%.3f", [](const LineResult &l) { return l.phaseHalfDeg; }, false},
    {"coherence", "%.6f", [](const LineResult &l) { return l.coherence; }, false},
    {"group_delay_ms", "%.4f", [](const LineResult &l) { return l.groupDelayMs; }, false},
    {"floor_db", "%.2f", [](const LineResult &l) { return l.floorDb; }, false},
    {"played_db", "%.2f", [](const LineResult &l) { return l.playedDb; }, false},
    {"significant", "%.0f", significance, true},
    {"nonlinear_db", "%.2f", [](const LineResult &l) { return l.nonlinearDb; }, false},
};

// Every line, excited or not, in frequency order: both lists rise by bin.
std::vector<const LineResult *> linesInOrder(const Analysis &a)
{
    std::vector<const LineResult *> lines;
    size_t i = 0, j = 0;
    while (i < a.excited.size() || j < a.other.size()) {
        const bool fromExcited = j == a.other.size() || (i < a.excited.size() && a.excited[i].bin < a.other[j].bin);
        lines.push_back(fromExcited ? &a.excited[i++] : &a.other[j++]);
    }
    return lines;
}

// The table's row of names, and one row a line: frequency, kind, then the columns.
std::string namesRow()
{
    std::string row = "freq_hz\tkind";
    for (const Column &column : COLUMNS) row += std::string("\t") + column.name;
    return row + "\n";
}

std::string tableRow(const LineResult &l)
{
    std::string row = formatted("%.10g\t", l.freqHz) + kindName(l.kind);
    for (const Column &column : COLUMNS) row += "\t" + tableCell(column.value(l), column.format);
    return row + "\n";
}

// The same line as a JSON object: a yes/no column as true or false.
std::string jsonLine(const LineResult &l)
{
    std::string object = "{\"freq_hz\": " + jsonNumber(l.freqHz) + ", \"kind\": \"" + kindName(l.kind) + "\"";
    for (const Column &column : COLUMNS) {
        const double v = column.value(l);
        object += std::string(", \"") + column.name + "\": " +
                  (column.yesNo && !std::isnan(v) ? (v != 0.0 ? "true" : "false") : jsonNumber(v));
    }
    return object + "}";
}


// The distortion of a kind of detection line: none where there is no such line, its level
// where it stands significantly above the noise floor of the mean, else that floor.
std::string distortionText(double db, double floorDb, bool significant)
{
    if (std::isnan(db)) return "none";
    return significant ? formatted("%.2f dB", db) : formatted("below the noise floor (%.2f dB)", floorDb);
}

// The periods left out, from 1 in the window, as "3, 57".
std::string periodList(const std::vector<long long> &periods)
{
    std::string t;
    for (size_t i = 0; i < periods.size(); i++) t += formatted("%s%lld", i ? ", " : "", periods[i]);
    return t;
}

// The recorder's clock against the player's, and what became of it.
std::string clockText(const Analysis &a)
{
    if (!std::isfinite(a.driftPpm)) return "not measured, not corrected";
    std::string t = formatted("%+.2f ppm", unsignedZero(a.driftPpm, 2));
    t += a.driftGiven ? " (given)" : " (recorder against player)";
    if (a.driftCorrected) return t + ", corrected";
    if (a.driftForbidden) return t + ", not corrected (--drift off)";
    if (a.driftUnsupported) return t + ", not corrected (this build cannot resample)";
    return t + (a.driftGiven ? ", nothing to correct" : ", not corrected: too small to matter");
}


}  // namespace

// The largest magnitude a JSON number stands for: +-1e308 for an infinity (a
// noise-free line's SNR, a silent line's level), which every parser reads as a double
// and no finite result comes near.
constexpr double JSON_INFINITY = 1e308;

std::string jsonNumber(double v, const char *fmt)
{
    if (std::isnan(v)) return "null";
    return formatted(fmt, std::isinf(v) ? std::copysign(JSON_INFINITY, v) : v);
}

std::string tableCell(double v, const char *fmt)
{
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    std::string text = formatted(fmt, v);
    if (text[0] == '-' && text.find_first_not_of("0.", 1) == std::string::npos) text.erase(0, 1);
    return text;
}

std::string jsonQuoted(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\')
            out += std::string("\\") + static_cast<char>(c);
        else if (c < 0x20)
            out += formatted("\\u%04x", c);
        else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

std::string peakText(double peak)
{
    return formatted(std::fabs(peak) < 1e6 ? "%.6f" : "%.6g", peak);
}

const char *kindName(LineKind kind)
{
    switch (kind) {
    case LINE_EXCITED: return "excited";
    case LINE_ODD: return "odd";
    case LINE_EVEN: return "even";
    case LINE_OUT_OF_BAND: return "out-of-band";
    }
    return "?";
}

std::string textReport(const ReportContext &c, const Analysis &a)
{
    // Control characters in the command or the name are escaped, as the JSON escapes
    // them, so that every header line stays one comment line.
    // The row of names comes first: numpy's genfromtxt(names=True) takes its names from
    // the first line even when it is a comment, and pandas' read_csv(comment="#") skips
    // the comment lines wherever they are.
    std::string t = namesRow();
    t += "# sonvel-analyze " SONVEL_VERSION ": " + escaped(c.command.c_str()) + "\n";
    t += formatted("# recording: \"%s\", %d Hz, %d channel%s, %lld frames; response: channel %d",
                   escaped(c.recording.c_str()).c_str(), c.rateHz, a.channels, a.channels == 1 ? "" : "s", a.frames, c.channel);
    t += c.reference ? formatted("; reference: channel %d\n", c.reference) : "\n";
    t += formatted("# period: %lld samples (%.10g Hz); %lld periods used from frame %lld\n", a.period,
                   static_cast<double>(c.rateHz) / a.period, a.periodsUsed, a.firstFrame);
    t += formatted("# delay: %.3f samples (%.4f ms)", unsignedZero(a.delay, 3),
                   unsignedZero(a.delay * 1000.0 / c.rateHz, 4));
    t += c.reference ? formatted("; reference delay: %.3f samples (%.4f ms)\n", unsignedZero(a.referenceDelay, 3),
                                 unsignedZero(a.referenceDelay * 1000.0 / c.rateHz, 4))
                     : "\n";
    t += "# clock: " + clockText(a) + "\n";
    if (a.onset != ONSET_FOUND)
        t += a.onset == ONSET_BEFORE_RECORDING
                 ? "# onset: before the recording's first frame: the delay is given modulo the period\n"
             : a.oddLines ? "# onset: neither fade is in the recording: the delay is known modulo half the period "
                            "(an odd design repeats inverted), the polarity not at all\n"
                          : "# onset: neither fade is in the recording: the delay is known modulo the period\n";
    if (a.inverted) t += "# polarity: inverted (the phases are those of the response inverted again)\n";
    if (a.settledPeriods > 0)
        t += formatted("# start transient: %lld periods left out after the settling time\n", a.settledPeriods);
    if (a.fadeOutPeriods > 0)
        t += formatted("# fade-out: %lld periods left out before it, which the response reaches\n",
                       a.fadeOutPeriods);
    if (a.groupPeriods > 1)
        t += formatted("# onset found to within %lld periods: as many more left out at each end\n", a.groupPeriods);
    if (!a.outlierPeriods.empty())
        t += formatted("# outlier periods left out: %zu (%s)\n", a.outlierPeriods.size(),
                       periodList(a.outlierPeriods).c_str());
    t += formatted("# peak: %.2f dB re full scale (%s)\n", 20.0 * std::log10(a.peak), peakText(a.peak).c_str());
    if (a.fullScale) t += "# warning: the recording reaches full scale: it may be clipped\n";
    for (const std::string &w : a.warnings) t += "# warning: " + escaped(w.c_str()) + "\n";
    t += formatted("# level: %.2f dB re %s\n", dcToReference(a.levelDb, c.fullScale),
                   c.fullScale == LevelReference::Sine ? "full-scale sine" : "full scale");
    t += formatted("# summary: total SNR %.2f dB; odd distortion %s; even distortion %s (re the signal)%s\n",
                   a.snrDb, distortionText(a.oddDb, a.oddFloorDb, a.oddSignificant).c_str(),
                   distortionText(a.evenDb, a.evenFloorDb, a.evenSignificant).c_str(),
                   a.oddLines ? "" : "; the excited lines are not all odd, so odd and even mix");
    t += "# lines in frequency order: the gain and phase of the excited ones with the delay removed, the level "
         "of the others in dB re the mean excited line; noise and SNR of one period\n";
    for (const LineResult *l : linesInOrder(a)) t += tableRow(*l);
    return t;
}

std::string jsonReport(const ReportContext &c, const Analysis &a)
{
    std::string j = "{\n";
    j += "  \"program\": \"sonvel-analyze\",\n  \"version\": \"" SONVEL_VERSION "\",\n";
    j += "  \"command\": " + jsonQuoted(c.command) + ",\n";
    j += "  \"recording\": {\"path\": " + jsonQuoted(c.recording) +
         formatted(", \"rate_hz\": %d, \"channels\": %d, \"frames\": %lld, \"channel\": %d, \"reference\": %d},\n",
                   c.rateHz, a.channels, a.frames, c.channel, c.reference);
    j += formatted("  \"period_samples\": %lld,\n  \"periods_used\": %lld,\n  \"first_frame\": %lld,\n",
                   a.period, a.periodsUsed, a.firstFrame);
    j += "  \"delay_samples\": " + jsonNumber(a.delay) + ",\n  \"delay_ms\": " + jsonNumber(a.delay * 1000.0 / c.rateHz) + ",\n";
    if (c.reference) j += "  \"reference_delay_samples\": " + jsonNumber(a.referenceDelay) + ",\n";
    j += "  \"clock_ppm\": " + jsonNumber(a.driftPpm) + ",\n  \"clock_given\": " + (a.driftGiven ? "true" : "false") +
         ",\n  \"clock_corrected\": " + (a.driftCorrected ? "true" : "false") + ",\n";
    j += formatted("  \"onset_resolution_periods\": %lld,\n", a.groupPeriods);
    j += "  \"outlier_periods\": [" + periodList(a.outlierPeriods) + "],\n";
    j += std::string("  \"onset\": \"") +
         (a.onset == ONSET_FOUND ? "found" : a.onset == ONSET_UNKNOWN ? "unknown" : "before_recording") + "\",\n";
    j += std::string("  \"polarity_inverted\": ") + (a.inverted ? "true" : "false") + ",\n";
    j += formatted("  \"settled_periods\": %lld,\n  \"fade_out_periods\": %lld,\n", a.settledPeriods,
                   a.fadeOutPeriods);
    j += "  \"peak\": " + jsonNumber(a.peak) + ",\n  \"peak_db\": " + jsonNumber(20.0 * std::log10(a.peak)) + ",\n";
    j += std::string("  \"full_scale\": ") + (a.fullScale ? "true" : "false") + ",\n";
    j += "  \"warnings\": [";
    for (size_t i = 0; i < a.warnings.size(); i++) j += (i ? ", " : "") + jsonQuoted(a.warnings[i]);
    j += "],\n";
    j += "  \"level_db\": " + jsonNumber(dcToReference(a.levelDb, c.fullScale)) + ",\n";
    j += std::string("  \"level_reference\": \"") + (c.fullScale == LevelReference::Sine ? "sine" : "dc") + "\",\n";
    j += "  \"summary\": {\"snr_db\": " + jsonNumber(a.snrDb) + ", \"odd_db\": " + jsonNumber(a.oddDb) +
         ", \"even_db\": " + jsonNumber(a.evenDb) + ", \"mean_gain_db\": " + jsonNumber(a.meanGainDb) +
         ", \"odd_design\": " + (a.oddLines ? "true" : "false") + "},\n";
    j += "  \"lines\": [";
    const std::vector<const LineResult *> lines = linesInOrder(a);
    for (size_t i = 0; i < lines.size(); i++) j += (i ? ",\n    " : "\n    ") + jsonLine(*lines[i]);
    j += lines.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return j;
}
