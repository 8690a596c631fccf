#include "design.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "engine.h"
#include "params.h"

namespace {

constexpr double PI = 3.14159265358979323846;

// The band the grid spans: the settings' band, or one resolution to half the rate.
Band bandOf(const DesignSettings &s)
{
    return {s.bandLowHz > 0.0 ? s.bandLowHz : s.resolutionHz,
            s.bandHighHz > 0.0 ? s.bandHighHz : s.rateHz / 2.0};
}

// Every bin of the band on the linear grid, or only the odd ones.
std::vector<int> linearBins(int kLow, int kHigh, bool odd)
{
    std::vector<int> bins;
    for (int k = kLow; k <= kHigh; k++)
        if (!odd || k % 2 == 1) bins.push_back(k);
    return bins;
}

// About perOctave lines an octave from the band's low edge, each on the nearest (odd)
// multiple of the resolution inside kLow .. kHigh, none twice. The points are taken as
// powers of two of their distance in octaves, so that no band, however wide, overflows.
std::vector<int> logBins(const Band &band, double resolutionHz, int perOctave, int kLow, int kHigh, bool odd)
{
    std::vector<int> bins;
    const double first = std::log2(band.lowHz), octaves = std::log2(band.highHz) - first;
    const long long last = static_cast<long long>(std::floor(octaves * perOctave + 1e-9));
    for (long long i = 0; i <= last; i++) {
        const double f = std::exp2(first + static_cast<double>(i) / perOctave);
        long long k = odd ? 2 * static_cast<long long>(std::floor((f / resolutionHz - 1.0) / 2.0 + 0.5)) + 1
                          : std::llround(f / resolutionHz);
        k = std::clamp<long long>(k, kLow, kHigh);
        if (odd && k % 2 == 0) k += k < kHigh ? 1 : -1;
        if (k >= kLow && k <= kHigh && (bins.empty() || k > bins.back())) bins.push_back(static_cast<int>(k));
    }
    return bins;
}

bool excluded(const DesignSettings &s, double hz)
{
    for (const Band &b : s.excluded)
        if (hz >= b.lowHz && hz <= b.highHz) return true;
    return false;
}

// Of each run of 4 consecutive lines one, at random, is left out: its frequency then
// shows the odd-order distortion of the system under test. A last run of fewer than 4
// keeps all its lines.
void leaveOutRandomly(LineSet *lines, uint64_t *random)
{
    std::vector<int> kept;
    std::vector<double> keptAmp;
    for (size_t g = 0; g < lines->bins.size(); g += 4) {
        const size_t left = g + 4 <= lines->bins.size() ? g + nextRandom(random) % 4 : lines->bins.size();
        for (size_t i = g; i < g + 4 && i < lines->bins.size(); i++) {
            if (i == left) {
                lines->detection.push_back(lines->bins[i]);
                continue;
            }
            kept.push_back(lines->bins[i]);
            keptAmp.push_back(lines->amp[i]);
        }
    }
    lines->bins.swap(kept);
    lines->amp.swap(keptAmp);
}

// The lines of the grid in the band, with the spectrum's amplitudes, and the detection
// lines: on the linear grid, the bins from the lowest line to the highest that carry
// none and lie outside the excluded bands (the even ones, and those random-odd leaves
// out); on the log grid, those random-odd leaves out.
Result gridLines(const DesignSettings &s, int period, uint64_t *random, LineSet *lines)
{
    const Band band = bandOf(s);
    const int top = (period - 1) / 2;  // the highest bin below half the rate
    const int kLow = std::max(1, static_cast<int>(std::ceil(band.lowHz / s.resolutionHz - 1e-9)));
    const int kHigh = std::min(top, static_cast<int>(std::floor(band.highHz / s.resolutionHz + 1e-9)));
    const bool odd = s.lines != LINES_ALL;
    std::vector<int> grid = s.grid == GRID_LINEAR
                                ? linearBins(kLow, kHigh, odd)
                                : logBins(band, s.resolutionHz, s.perOctave, kLow, kHigh, odd);
    // The spectrum is set on the whole grid, so that lines left out or excluded change
    // no other line's amplitude.
    std::vector<double> amp = s.flat ? std::vector<double>(grid.size(), 1.0)
                                     : densityAmplitudes(grid, s.grid, s.densityDbPerOctave);
    for (size_t i = 0; i < grid.size(); i++) {
        if (excluded(s, frequencyOf(grid[i], s.rateHz, period))) continue;
        lines->bins.push_back(grid[i]);
        lines->amp.push_back(amp[i]);
    }
    const int first = lines->bins.empty() ? 1 : lines->bins.front();
    const int last = lines->bins.empty() ? 0 : lines->bins.back();
    if (s.lines == LINES_RANDOM_ODD) leaveOutRandomly(lines, random);
    if (odd && s.grid == GRID_LINEAR) {
        lines->detection.clear();
        size_t j = 0;
        for (int k = first; k <= last; k++) {
            if (j < lines->bins.size() && lines->bins[j] == k)
                j++;
            else if (!excluded(s, frequencyOf(k, s.rateHz, period)))
                lines->detection.push_back(k);
        }
    }
    if (lines->bins.empty())
        return failure(
            formatted("--band: no line at a multiple of %g Hz lies in %g:%g Hz outside the excluded bands.",
                      s.resolutionHz, band.lowHz, band.highHz));
    return Status::Ok;
}

// The lines of a file: each frequency a multiple of the resolution below half the rate,
// none twice; amplitudes as written, 1 where a line has none.
Result fileLines(const DesignSettings &s, int period, LineSet *lines)
{
    Table table;
    Result r = readTable(s.linesFile, false, &table);
    if (!r.ok()) return r;
    std::vector<std::pair<int, double>> found;
    for (size_t i = 0; i < table.freq.size(); i++) {
        const double bin = table.freq[i] / s.resolutionHz;
        const double whole = std::round(bin);
        if (std::fabs(bin - whole) > 1e-9 * whole || whole < 1.0 || whole > (period - 1) / 2)
            return failure(formatted("--lines: %s: %.17g Hz is no multiple of %g Hz between 0 and half the rate.",
                                     s.linesFile.c_str(), table.freq[i], s.resolutionHz));
        double amp = table.value[i];
        if (std::isnan(amp)) amp = 1.0;
        if (table.decibels && !std::isnan(table.value[i])) amp = std::pow(10.0, table.value[i] / 20.0);
        if (!excluded(s, frequencyOf(static_cast<int>(whole), s.rateHz, period)) && amp > 0.0)
            found.push_back({static_cast<int>(whole), amp});
    }
    std::sort(found.begin(), found.end());
    for (size_t i = 0; i < found.size(); i++) {
        if (i > 0 && found[i].first == found[i - 1].first)
            return failure(formatted("--lines: %s: %.17g Hz is listed twice.", s.linesFile.c_str(),
                                     frequencyOf(found[i].first, s.rateHz, period)));
        lines->bins.push_back(found[i].first);
        lines->amp.push_back(found[i].second);
    }
    if (lines->bins.empty())
        return failure(formatted("--lines: %s holds no line outside the excluded bands.", s.linesFile.c_str()));
    return Status::Ok;
}

}  // namespace

int periodOf(int rateHz, double resolutionHz)
{
    if (!(resolutionHz > 0.0) || rateHz <= 0) return 0;
    const double period = rateHz / resolutionHz;
    const double whole = std::round(period);
    // Within a millionth of a sample: rate / resolution is whole but for the rounding of
    // a decimal resolution (48000 / 0.1), and the lines land on their frequencies.
    if (whole < 2.0 || whole > MAX_PERIOD || std::fabs(period - whole) > 1e-6) return 0;
    return static_cast<int>(whole);
}

double frequencyOf(int bin, int rateHz, int period)
{
    return static_cast<double>(bin) * rateHz / period;
}

Result checkSettings(const DesignSettings &s)
{
    if (periodOf(s.rateHz, s.resolutionHz) == 0) {
        const double period = s.rateHz / s.resolutionHz;
        if (period > MAX_PERIOD)
            return failure(
                formatted("--resolution: a period of %s samples is longer than the %lld the designer takes.",
                          formatted(period < 1e12 ? "%.0f" : "%.6g", period).c_str(), MAX_PERIOD));
        return failure(formatted("--resolution: %g Hz does not divide %d Hz into a whole period of samples.",
                                 s.resolutionHz, s.rateHz));
    }
    const Band band = bandOf(s);
    if (!(band.lowHz < band.highHz) || band.highHz > s.rateHz / 2.0)
        return failure(formatted("--band: %g:%g Hz is no band with 0 < LOW < HIGH <= half the rate (%g Hz).",
                                 band.lowHz, band.highHz, s.rateHz / 2.0));
    int size = 0, taper = 0;
    Result r = signalSizes(s.rateHz, s.durationMs, s.taperMs, &size, &taper);
    if (!r.ok()) return r;
    if (!checkFades(size, taper).ok()) return failure("-T: the fades are longer than the signal.");
    // sonvel would find no sample between the fades to measure the power by.
    if (2LL * taper == size)
        return failure("-T: the fades fill the signal, and sonvel can set no level without samples between "
                       "them.");
    return Status::Ok;
}

Result designLines(const DesignSettings &s, uint64_t *random, LineSet *lines)
{
    *lines = LineSet();
    lines->period = periodOf(s.rateHz, s.resolutionHz);
    Result r = s.lines == LINES_FILE ? fileLines(s, lines->period, lines)
                                     : gridLines(s, lines->period, random, lines);
    if (!r.ok()) return r;
    if (!s.amplitudesFile.empty()) {
        Table table;
        r = readTable(s.amplitudesFile, true, &table);
        if (!r.ok()) return r;
        lines->amp = tableAmplitudes(table, lines->bins, s.rateHz, lines->period);
        // A line of amplitude 0 is no line.
        size_t kept = 0;
        for (size_t i = 0; i < lines->bins.size(); i++)
            if (lines->amp[i] > 0.0) {
                lines->bins[kept] = lines->bins[i];
                lines->amp[kept++] = lines->amp[i];
            }
        lines->bins.resize(kept);
        lines->amp.resize(kept);
        if (kept == 0)
            return failure(formatted("--amplitudes: %s gives every line amplitude 0.", s.amplitudesFile.c_str()));
    }
    if (lines->bins.size() > static_cast<size_t>(MAXSINES))
        return failure(formatted("%zu lines, and sonvel reads at most %d: narrow the band or widen the resolution.",
                                 lines->bins.size(), MAXSINES));
    if (lines->bins.back() > MAX_HIGHEST_BIN)
        return failure(
            formatted("the highest line is %d times the resolution, and the designer takes at most %lld.",
                      lines->bins.back(), MAX_HIGHEST_BIN));
    return Status::Ok;
}

std::vector<double> densityAmplitudes(const std::vector<int> &bins, GridKind grid, double densityDbPerOctave)
{
    // The density is k^e with e = densityDbPerOctave / (10 log10 2); a line's share of the
    // band is the resolution on the linear grid, and a fixed part of an octave, which
    // grows as k, on the log grid. Pink (e = -1) on the log grid is then k^0: exactly 1.
    const double exponent = densityDbPerOctave / (10.0 * std::log10(2.0)) + (grid == GRID_LOG ? 1.0 : 0.0);
    std::vector<double> power;
    for (int k : bins) power.push_back(std::pow(static_cast<double>(k), exponent));
    const double largest = *std::max_element(power.begin(), power.end());
    std::vector<double> amp;
    for (double p : power) amp.push_back(std::sqrt(p / largest));
    return amp;
}

std::vector<double> randomPhases(size_t count, uint64_t *random)
{
    std::vector<double> phase;
    for (size_t j = 0; j < count; j++) phase.push_back(wrapPhase(2.0 * PI * uniformRandom(random)));
    return phase;
}

std::vector<double> schroederPhases(const std::vector<int> &bins, const std::vector<double> &amp)
{
    // phi_j = -2 pi sum over i < j of (k_j - k_i) p_i, p_i the line's share of the power,
    // formed from running sums of p_i and k_i p_i.
    double total = 0.0;
    for (double a : amp) total += a * a;
    std::vector<double> phase;
    double share = 0.0, moment = 0.0;
    for (size_t j = 0; j < bins.size(); j++) {
        phase.push_back(wrapPhase(-2.0 * PI * (bins[j] * share - moment) + PI / 2));
        const double p = amp[j] * amp[j] / total;
        share += p;
        moment += bins[j] * p;
    }
    return phase;
}

std::vector<double> newmanPhases(size_t count)
{
    std::vector<double> phase;
    for (size_t j = 0; j < count; j++)
        phase.push_back(wrapPhase(PI * static_cast<double>(j * j) / count + PI / 2));
    return phase;
}

namespace {

// The level in dB of full scale's constant that a level in the query's reference
// stands for (context: the query), and one in its calibrated unit. -l takes negative
// levels only, whatever their reference: 0 and above stand for no level (0 dB).
double referenceToDc(double level, const void *context)
{
    const LevelQuery &q = *static_cast<const LevelQuery *>(context);
    if (level >= 0.0) return 0.0;
    double dc = 0.0;
    levelToDc(level, LevelUnit::FullScale, q.reference, q.calibration, &dc);
    return dc;
}

double unitToDc(double level, const void *context)
{
    const LevelQuery &q = *static_cast<const LevelQuery *>(context);
    double dc = 0.0;
    levelToDc(level, q.calibration.set ? q.calibration.unit : LevelUnit::FullScale, q.reference, q.calibration,
              &dc);
    return dc;
}

}  // namespace

Result highestLevel(const std::vector<double> &freq, const std::vector<double> &amp,
                    const std::vector<double> &phase, int rateHz, int durationMs, int taperMs,
                    const LevelQuery &query, int *wholeDb, double *level)
{
    int size = 0, taper = 0;
    Result r = signalSizes(rateHz, durationMs, taperMs, &size, &taper,
                           std::min<long long>(MAX_DATA_SIZE, maxWaveSamples(query.format)));
    if (r.ok()) r = checkFades(size, taper);
    if (!r.ok()) return r;
    SignalRequest req = signalRequest(size, taper, 0.0, freq.data(), amp.data(), phase.data(),
                                      static_cast<int>(freq.size()), rateHz);
    req.budgetBytes = 0;  // only the measurement is needed
    SignalPlan plan;
    SignalMeasure m;
    r = measureSignal(req, &plan, &m);
    if (!r.ok()) return r;
    const double components = componentPowerOf(req.amp, req.count);
    const LevelTarget target{0.0, query.format, query.quantizer};
    double whole = 0.0;
    r = highestAcceptedLevel(m, size, taper, target, components, referenceToDc, &query, false, -200.0, &whole);
    if (!r.ok()) return r;
    *wholeDb = static_cast<int>(whole);
    // In a calibrated unit the search starts from the unit's level of full scale.
    const double lowest = query.calibration.set ? referenceToUnit(-200.0, query.calibration) : -200.0;
    return highestAcceptedLevel(m, size, taper, target, components, unitToDc, &query, true, lowest, level);
}
