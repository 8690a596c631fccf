// The results of several realisations: a table of one row a line, or JSON.
#include <cmath>
#include <string>
#include <vector>

#include "cli.h"
#include "realisations.h"
#include "report.h"
#include "steps.h"

namespace {

// A variance in dB, -inf where it is not positive (a difference of estimates may not be).
double varianceDb(double v) { return v > 0.0 ? db10(v) : std::isnan(v) ? NAN : -INFINITY; }

// The BLA's 95 % bounds: the magnitudes of the circle's nearest and farthest points, and
// the half angle it subtends (180 degrees where it holds 0).
struct GainBounds {
    double lowDb, highDb, halfDeg;
};

GainBounds boundsOf(const BlaLine &l)
{
    const double g = std::abs(l.bla);
    return {g > l.radius ? 20.0 * std::log10(g - l.radius) : -INFINITY, 20.0 * std::log10(g + l.radius),
            g > l.radius ? std::asin(l.radius / g) * 180.0 / PI : 180.0};
}

// The summary's variances over the BLA's power, summed over the lines.
struct Summary {
    double noiseDb, nonlinearDb;
};

Summary summaryOf(const BlaResult &bla)
{
    double power = 0.0, noise = 0.0, nonlinear = 0.0;
    for (const BlaLine &l : bla.lines) {
        power += std::norm(l.bla);
        noise += l.noise;
        nonlinear += l.nonlinear;
    }
    return {varianceDb(noise / power), varianceDb(nonlinear / power)};
}

// The table's columns, with the format of each value.
struct Column {
    const char *name, *format;
};
const Column COLUMNS[] = {
    {"freq_hz", "%.10g"},       {"gain_db", "%.4f"},          {"phase_deg", "%.3f"},
    {"gain_low_db", "%.4f"},    {"gain_high_db", "%.4f"},     {"phase_half_width_deg", "%.3f"},
    {"noise_db", "%.2f"},       {"noise_low_db", "%.2f"},     {"noise_high_db", "%.2f"},
    {"total_db", "%.2f"},       {"total_low_db", "%.2f"},     {"total_high_db", "%.2f"},
    {"nonlinear_db", "%.2f"},   {"nonlinear_low_db", "%.2f"}, {"nonlinear_high_db", "%.2f"},
    {"significant", "%.0f"},    {"detection_db", "%.2f"}};
constexpr size_t SIGNIFICANT = 15;

// A line's values in the columns' order, significant as 1 or 0.
std::vector<double> rowOf(const BlaLine &l)
{
    const GainBounds g = boundsOf(l);
    std::vector<double> row = {l.freqHz, 20.0 * std::log10(std::abs(l.bla)), std::arg(l.bla) * 180.0 / PI,
                               g.lowDb, g.highDb, g.halfDeg};
    for (double v : {l.noise, l.noiseLow, l.noiseHigh, l.total, l.totalLow, l.totalHigh, l.nonlinear,
                     l.nonlinearLow, l.nonlinearHigh})
        row.push_back(varianceDb(v));
    row.push_back(l.significant ? 1.0 : 0.0);
    row.push_back(varianceDb(l.detection));
    return row;
}

}  // namespace

std::string realisationsText(const RealisationsReport &report)
{
    const AnalysisRequest &q = report.request;
    const BlaResult &bla = report.bla;
    const Analysis &a1 = report.analyses.front();
    const int rateHz = q.signal.samplingHz;
    // The row of names comes first, as in the one-recording table, so that table readers
    // that take the names from the first line find them.
    std::string t;
    for (const Column &c : COLUMNS) t += std::string(&c == COLUMNS ? "" : "\t") + c.name;
    t += "\n# sonvel-analyze " SONVEL_VERSION ": " + escaped(q.command.c_str()) + "\n";
    t += formatted("# realisations: %d pairs of list and recording at %d Hz; response: channel %d", bla.realisations,
                   rateHz, q.analyze.channel);
    t += q.analyze.reference ? formatted("; reference: channel %d\n", q.analyze.reference) : "\n";
    t += formatted("# period: %lld samples (%.10g Hz); %zu excited lines\n", a1.period,
                   static_cast<double>(rateHz) / a1.period, bla.lines.size());
    for (size_t r = 0; r < report.pairs.size(); r++) {
        const Analysis &a = report.analyses[r];
        t += formatted("# realisation %zu: \"%s\", \"%s\": %lld periods used from frame %lld; delay %.3f samples\n",
                       r + 1, escaped(report.pairs[r].list.c_str()).c_str(),
                       escaped(report.pairs[r].recording.c_str()).c_str(), a.periodsUsed, a.firstFrame,
                       std::fabs(a.delay) < 0.0005 ? 0.0 : a.delay);
    }
    for (const std::string &w : report.warnings) t += "# warning: " + escaped(w.c_str()) + "\n";
    const Summary s = summaryOf(bla);
    t += formatted("# summary: re the BLA's power, noise %.2f dB and nonlinear distortion %.2f dB; the distortion "
                   "is significant at %zu of %zu lines\n",
                   s.noiseDb, s.nonlinearDb, bla.significantLines, bla.lines.size());
    t += "# the BLA (mean of the realisations' responses) with its 95 % bounds; its variances in dB like the\n";
    t += formatted("# gain with 95 %% bounds: noise from the periods (%.0f degrees of freedom), total from the\n",
                   bla.noiseDof);
    t += formatted("# realisations (%.0f), nonlinear their difference, significant (1) at the 5 %% level;\n",
                   bla.totalDof);
    t += "# detection: the nonlinear variance from the recordings' odd detection lines\n";
    for (const BlaLine &l : bla.lines) {
        const std::vector<double> row = rowOf(l);
        for (size_t c = 0; c < row.size(); c++) t += (c ? "\t" : "") + tableCell(row[c], COLUMNS[c].format);
        t += "\n";
    }
    return t;
}

std::string realisationsJson(const RealisationsReport &report)
{
    const AnalysisRequest &q = report.request;
    const BlaResult &bla = report.bla;
    std::string j = "{\n  \"program\": \"sonvel-analyze\",\n  \"version\": \"" SONVEL_VERSION "\",\n";
    j += "  \"command\": " + jsonQuoted(q.command) + ",\n";
    j += formatted("  \"rate_hz\": %d,\n  \"channel\": %d,\n  \"reference\": %d,\n  \"period_samples\": %lld,\n",
                   q.signal.samplingHz, q.analyze.channel, q.analyze.reference, report.analyses.front().period);
    j += "  \"realisations\": [";
    for (size_t r = 0; r < report.pairs.size(); r++) {
        const Analysis &a = report.analyses[r];
        j += std::string(r ? ",\n    " : "\n    ") + "{\"list\": " + jsonQuoted(report.pairs[r].list) +
             ", \"recording\": " + jsonQuoted(report.pairs[r].recording) +
             formatted(", \"periods_used\": %lld, \"first_frame\": %lld, \"delay_samples\": ", a.periodsUsed,
                       a.firstFrame) +
             jsonNumber(a.delay) + "}";
    }
    j += "\n  ],\n  \"warnings\": [";
    for (size_t i = 0; i < report.warnings.size(); i++) j += (i ? ", " : "") + jsonQuoted(report.warnings[i]);
    const Summary s = summaryOf(bla);
    j += "],\n" + formatted("  \"degrees_of_freedom\": {\"noise\": %.0f, \"total\": %.0f},\n", bla.noiseDof,
                            bla.totalDof);
    j += "  \"summary\": {\"noise_db\": " + jsonNumber(s.noiseDb) + ", \"nonlinear_db\": " + jsonNumber(s.nonlinearDb) +
         formatted(", \"significant_lines\": %zu, \"lines\": %zu},\n", bla.significantLines, bla.lines.size());
    j += "  \"lines\": [";
    for (size_t i = 0; i < bla.lines.size(); i++) {
        const std::vector<double> row = rowOf(bla.lines[i]);
        j += i ? ",\n    {" : "\n    {";
        for (size_t c = 0; c < row.size(); c++) {
            j += std::string(c ? ", " : "") + "\"" + COLUMNS[c].name + "\": ";
            j += c == SIGNIFICANT ? (row[c] != 0.0 ? "true" : "false") : jsonNumber(row[c]);
        }
        j += "}";
    }
    j += bla.lines.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return j;
}
