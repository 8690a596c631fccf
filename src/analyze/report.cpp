#include "report.h"

#include <cmath>
#include <cstdio>

#include "cli.h"
#include "result.h"

namespace {

// v as printed with the given decimals, without the sign of a value that prints as 0
// ("-0.000" reads as a direction that is not there).
double unsignedZero(double v, int decimals) { return std::fabs(v) < 0.5 * std::pow(10.0, -decimals) ? 0.0 : v; }

// A JSON number, or null for a value that is not finite.
std::string number(double v, const char *fmt = "%.10g") { return std::isfinite(v) ? formatted(fmt, v) : "null"; }

std::string quoted(const std::string &s)
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

std::string distortionText(double db) { return std::isfinite(db) ? formatted("%.2f dB", db) : "none"; }

}  // namespace

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
    std::string t = "# sonvel-analyze " SONVEL_VERSION ": " + escaped(c.command.c_str()) + "\n";
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
    if (a.groupPeriods > 1)
        t += formatted("# onset found to within %lld periods: as many more left out at each end\n", a.groupPeriods);
    t += formatted("# peak: %.2f dB re full scale (%s)\n", 20.0 * std::log10(a.peak), peakText(a.peak).c_str());
    if (a.fullScale) t += "# warning: the recording reaches full scale: it may be clipped\n";
    for (const std::string &w : a.warnings) t += "# warning: " + escaped(w.c_str()) + "\n";
    t += formatted("# level: %.2f dB re %s\n", dcToReference(a.levelDb, c.fullScale),
                   c.fullScale == LevelReference::Sine ? "full-scale sine" : "full scale");
    t += formatted("# summary: total SNR %.2f dB; odd distortion %s; even distortion %s (re the signal)%s\n",
                   a.snrDb, distortionText(a.oddDb).c_str(), distortionText(a.evenDb).c_str(),
                   a.oddLines ? "" : "; the excited lines are not all odd, so odd and even mix");
    t += "# excited lines: response with the delay removed; noise and SNR of one period\n";
    t += "# freq_hz\tgain_db\tphase_deg\tnoise_db\tsnr_db\n";
    for (const LineResult &l : a.excited)
        t += formatted("%.10g\t%.4f\t%.3f\t%.2f\t%.2f\n", l.freqHz, l.gainOrLevelDb, l.phaseDeg, l.noiseDb, l.snrDb);
    t += "# lines not excited: level and noise in dB re the mean excited line\n";
    t += "# freq_hz\tkind\tlevel_db\tnoise_db\n";
    for (const LineResult &l : a.other)
        t += formatted("%.10g\t%s\t%.2f\t%.2f\n", l.freqHz, kindName(l.kind), l.gainOrLevelDb, l.noiseDb);
    return t;
}

std::string jsonReport(const ReportContext &c, const Analysis &a)
{
    std::string j = "{\n";
    j += "  \"program\": \"sonvel-analyze\",\n  \"version\": \"" SONVEL_VERSION "\",\n";
    j += "  \"command\": " + quoted(c.command) + ",\n";
    j += "  \"recording\": {\"path\": " + quoted(c.recording) +
         formatted(", \"rate_hz\": %d, \"channels\": %d, \"frames\": %lld, \"channel\": %d, \"reference\": %d},\n",
                   c.rateHz, a.channels, a.frames, c.channel, c.reference);
    j += formatted("  \"period_samples\": %lld,\n  \"periods_used\": %lld,\n  \"first_frame\": %lld,\n",
                   a.period, a.periodsUsed, a.firstFrame);
    j += "  \"delay_samples\": " + number(a.delay) + ",\n  \"delay_ms\": " + number(a.delay * 1000.0 / c.rateHz) + ",\n";
    if (c.reference) j += "  \"reference_delay_samples\": " + number(a.referenceDelay) + ",\n";
    j += "  \"clock_ppm\": " + number(a.driftPpm) + ",\n  \"clock_given\": " + (a.driftGiven ? "true" : "false") +
         ",\n  \"clock_corrected\": " + (a.driftCorrected ? "true" : "false") + ",\n";
    j += formatted("  \"onset_resolution_periods\": %lld,\n", a.groupPeriods);
    j += "  \"peak\": " + number(a.peak) + ",\n  \"peak_db\": " + number(20.0 * std::log10(a.peak)) + ",\n";
    j += std::string("  \"full_scale\": ") + (a.fullScale ? "true" : "false") + ",\n";
    j += "  \"warnings\": [";
    for (size_t i = 0; i < a.warnings.size(); i++) j += (i ? ", " : "") + quoted(a.warnings[i]);
    j += "],\n";
    j += "  \"level_db\": " + number(dcToReference(a.levelDb, c.fullScale)) + ",\n";
    j += std::string("  \"level_reference\": \"") + (c.fullScale == LevelReference::Sine ? "sine" : "dc") + "\",\n";
    j += "  \"summary\": {\"snr_db\": " + number(a.snrDb) + ", \"odd_db\": " + number(a.oddDb) +
         ", \"even_db\": " + number(a.evenDb) + ", \"mean_gain_db\": " + number(a.meanGainDb) +
         ", \"odd_design\": " + (a.oddLines ? "true" : "false") + "},\n";
    j += "  \"excited\": [";
    for (size_t i = 0; i < a.excited.size(); i++) {
        const LineResult &l = a.excited[i];
        j += std::string(i ? ",\n    " : "\n    ") + "{\"freq_hz\": " + number(l.freqHz) +
             ", \"gain_db\": " + number(l.gainOrLevelDb) + ", \"phase_deg\": " + number(l.phaseDeg) +
             ", \"noise_db\": " + number(l.noiseDb) + ", \"snr_db\": " + number(l.snrDb) + "}";
    }
    j += "\n  ],\n  \"not_excited\": [";
    for (size_t i = 0; i < a.other.size(); i++) {
        const LineResult &l = a.other[i];
        j += std::string(i ? ",\n    " : "\n    ") + "{\"freq_hz\": " + number(l.freqHz) + ", \"kind\": \"" +
             kindName(l.kind) + "\", \"level_db\": " + number(l.gainOrLevelDb) + ", \"noise_db\": " +
             number(l.noiseDb) + "}";
    }
    j += a.other.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return j;
}
