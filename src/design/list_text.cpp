#include "list_text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// Comment lines of at most 79 characters, so that sonvel reads each as one comment; a
// longer text goes on in lines of its own, each starting with "#".
void putComment(std::string *out, const std::string &text)
{
    const size_t WIDTH = 79;
    std::string line = "#";
    size_t at = 0;
    while (at < text.size()) {
        size_t room = WIDTH - line.size() - 1;
        size_t take = std::min(room, text.size() - at);
        if (at + take < text.size()) {
            size_t blank = text.rfind(' ', at + take);
            if (blank != std::string::npos && blank > at) take = blank - at;
        }
        *out += line + " " + text.substr(at, take) + "\n";
        at += take;
        while (at < text.size() && text[at] == ' ') at++;
        line = "#  ";
    }
}

// The shortest text that reads back as the same double.
std::string exactNumber(double v)
{
    char text[40];
    for (int digits = 6; digits <= 17; digits++) {
        std::snprintf(text, sizeof text, "%.*g", digits, v);
        if (std::strtod(text, nullptr) == v) break;
    }
    return text;
}

// "# detection lines: F1 F2 ...", as many such lines of at most 79 characters as the
// frequencies need.
void putDetectionLines(std::string *out, const std::vector<double> &freq)
{
    const std::string head = "# detection lines:";
    std::string line = head;
    for (double f : freq) {
        const std::string next = " " + exactNumber(f);
        if (line.size() + next.size() > 79 && line != head) {
            *out += line + "\n";
            line = head;
        }
        line += next;
    }
    if (line != head) *out += line + "\n";
}

std::vector<double> phasesOf(const DesignSettings &s, const LineSet &lines, uint64_t seed,
                             SearchOutcome *outcome)
{
    // Random phases draw from a stream of their own, apart from the random-odd lines.
    uint64_t random = seed ^ 0x5851f42d4c957f2dULL;
    switch (s.phases) {
    case PHASES_ZERO: return std::vector<double>(lines.bins.size(), 0.0);
    case PHASES_RANDOM: return randomPhases(lines.bins.size(), &random);
    case PHASES_SCHROEDER: return schroederPhases(lines.bins, lines.amp);
    case PHASES_NEWMAN: return newmanPhases(lines.bins.size());
    case PHASES_LOW_CREST: break;
    }
    SearchSettings search = s.search;
    search.seed = seed;
    search.period = lines.period;
    *outcome = lowCrestPhases(lines.bins, lines.amp, search);
    return outcome->phase;
}

// sonvel's options for the format, quantizer and reference that differ from its
// defaults, as they are written on its command line (with a leading blank).
std::string levelOptions(const LevelQuery &q)
{
    std::string text;
    if (q.format != SampleFormat::S16) text += std::string(" --sample-format ") + nameOf(q.format);
    if (q.quantizer != Quantizer::Truncate) text += std::string(" --quantize ") + nameOf(q.quantizer);
    if (q.reference == LevelReference::Sine) text += " --full-scale sine";
    return text;
}

// A level's unit as sonvel's --level takes it after the number.
const char *unitSuffix(LevelUnit unit)
{
    return unit == LevelUnit::Spl ? "spl" : unit == LevelUnit::Dbu ? "dBu" : unit == LevelUnit::Dbv ? "dBV" : "";
}

std::string calibrationText(const Calibration &cal)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.17g=%.17g%s", cal.fullScaleDb, cal.unitLevel, unitSuffix(cal.unit));
    return text;
}

}  // namespace

int designList(const DesignSettings &s, const LineSet &lines, uint64_t seed, int realisation,
               const std::string &command, std::string *out)
{
    SearchOutcome search;
    const std::vector<double> phase = phasesOf(s, lines, seed, &search);
    std::vector<double> freq;
    for (int k : lines.bins) freq.push_back(frequencyOf(k, s.rateHz, lines.period));
    int level = 0;
    double exact = 0.0;
    Result r = highestLevel(freq, lines.amp, phase, s.rateHz, s.durationMs, s.taperMs, s.level, &level, &exact);
    if (!r.ok()) {
        // No level at all: the refusal at -200 dB would only confuse.
        const bool levelRefused = r.status >= Status::Overflow && r.status <= Status::AllZero;
        std::fputs(levelRefused ? "error: sonvel accepts this list at no level from -1 to -200 dB.\n"
                                : r.message().c_str(),
                   stderr);
        return 1;
    }

    static const char *const PEAK_NAMES[] = {"true peak", "peak on the samples", "product of both peaks"};
    putComment(out, "sonvel-design " SONVEL_VERSION ": " + command);
    if (realisation > 0)
        putComment(out, formatted("realisation %d of %d: seed %llu (the lines from seed %llu)", realisation,
                                  s.realisations, static_cast<unsigned long long>(seed),
                                  static_cast<unsigned long long>(s.search.seed)));
    putComment(out, formatted("lines: %zu from %g to %g Hz, period %d samples at %d Hz", freq.size(),
                              freq.front(), freq.back(), lines.period, s.rateHz));
    if (s.phases == PHASES_LOW_CREST)
        putComment(out, formatted("search: the %s lowered from %d starts, the best start %d",
                                  PEAK_NAMES[s.search.peak], search.starts, search.bestStart));
    const double rms = rmsOf(lines.amp);
    putComment(out, formatted("crest factor: %.4f on the samples, %.4f true peak (continuous)",
                              samplePeak(lines.bins, lines.amp, phase, lines.period) / rms,
                              truePeak(lines.bins, lines.amp, phase) / rms));
    // For -l in whole decibels, and for --level in hundredths (of the calibrated unit),
    // each with the options that give it that meaning.
    const std::string options = levelOptions(s.level);
    putComment(out, formatted("highest level: %d dB for sonvel -s %d -t %d -T %d%s", level, s.rateHz,
                              s.durationMs, s.taperMs, options.c_str()));
    const Calibration &cal = s.level.calibration;
    putComment(out, formatted("highest --level: %.2f%s for sonvel -s %d -t %d -T %d%s%s%s", exact,
                              cal.set ? unitSuffix(cal.unit) : "", s.rateHz, s.durationMs, s.taperMs,
                              options.c_str(), cal.set ? " --calibrate " : "",
                              cal.set ? calibrationText(cal).c_str() : ""));
    std::vector<double> detection;
    for (int k : lines.detection) detection.push_back(frequencyOf(k, s.rateHz, lines.period));
    putDetectionLines(out, detection);
    for (size_t j = 0; j < freq.size(); j++) {
        char text[80];
        std::snprintf(text, sizeof text, "%.17g %.17g %.17g\n", freq[j], lines.amp[j], phase[j]);
        *out += text;
    }
    return 0;
}
