// The designer's line sets, spectra, peaks and search on cases with known answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <cstdio>
#include <string>
#include <vector>

#include "design.h"

namespace {

LineSet linesOf(const DesignSettings &s)
{
    uint64_t random = s.search.seed;
    LineSet lines;
    EXPECT_EQ(designLines(s, &random, &lines).message(), "");
    return lines;
}

DesignSettings settings48k(double resolutionHz, double lowHz, double highHz)
{
    DesignSettings s;
    s.rateHz = 48000;
    s.resolutionHz = resolutionHz;
    s.bandLowHz = lowHz;
    s.bandHighHz = highHz;
    return s;
}

// The power of the lines in each third-octave band from fromHz to 16 kHz, in dB
// relative to their mean.
std::vector<double> thirdOctaveLevels(const LineSet &lines, const DesignSettings &s, double fromHz)
{
    std::vector<double> levels;
    double mean = 0.0;
    for (int n = static_cast<int>(std::lround(3 * std::log2(fromHz / 1000))); n <= 12; n++) {
        const double centre = 1000.0 * std::pow(2.0, n / 3.0);
        double power = 0.0;
        for (size_t i = 0; i < lines.bins.size(); i++) {
            const double f = frequencyOf(lines.bins[i], s.rateHz, lines.period);
            if (f >= centre * std::pow(2.0, -1.0 / 6) && f < centre * std::pow(2.0, 1.0 / 6))
                power += lines.amp[i] * lines.amp[i];
        }
        levels.push_back(10.0 * std::log10(power));
        mean += levels.back();
    }
    for (double &level : levels) level -= mean / levels.size();
    return levels;
}

// |x(t)| found independently: the signal summed directly on a grid 64 times as dense
// as two points a cycle of the highest line, and golden-section search around the 50
// largest points.
double densePeak(const std::vector<int> &bins, const std::vector<double> &amp,
                 const std::vector<double> &phase)
{
    auto x = [&](double t) {
        double sum = 0.0;
        for (size_t j = 0; j < bins.size(); j++)
            sum += amp[j] * std::sin(2.0 * M_PI * bins[j] * t + phase[j]);
        return std::fabs(sum);
    };
    const int n = 128 * bins.back();
    std::vector<std::pair<double, int>> points;
    for (int i = 0; i < n; i++) points.push_back({x(static_cast<double>(i) / n), i});
    std::partial_sort(points.begin(), points.begin() + 50, points.end(), std::greater<>());
    double peak = 0.0;
    for (int c = 0; c < 50; c++) {
        double low = (points[c].second - 1.0) / n, high = (points[c].second + 1.0) / n;
        for (int it = 0; it < 80; it++) {
            const double a = low + 0.381966 * (high - low), b = high - 0.381966 * (high - low);
            (x(a) > x(b) ? high : low) = x(a) > x(b) ? b : a;
        }
        peak = std::max(peak, x(0.5 * (low + high)));
    }
    return peak;
}

}  // namespace

TEST(Design, LineSetsAndDetectionLines)
{
    DesignSettings s = settings48k(100, 100, 3200);
    EXPECT_EQ(linesOf(s).bins.size(), 32u);
    s.lines = LINES_ODD;
    LineSet odd = linesOf(s);
    ASSERT_EQ(odd.bins.size(), 16u);
    for (size_t i = 0; i < odd.bins.size(); i++) EXPECT_EQ(odd.bins[i], static_cast<int>(2 * i + 1));
    // Odd lines leave the even bins between them for even-order distortion.
    ASSERT_EQ(odd.detection.size(), 15u);
    EXPECT_EQ(odd.detection.front(), 2);
    EXPECT_EQ(odd.detection.back(), 30);

    // One of each run of 4 odd lines is left out and listed, the same ones for the same
    // seed; every bin from 1 to 31 is then a line or a detection line, once.
    s.lines = LINES_RANDOM_ODD;
    LineSet randomOdd = linesOf(s);
    ASSERT_EQ(randomOdd.bins.size(), 12u);
    std::vector<int> all = randomOdd.bins;
    all.insert(all.end(), randomOdd.detection.begin(), randomOdd.detection.end());
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), 31u);
    for (int k = 1; k <= 31; k++) EXPECT_EQ(all[k - 1], k);
    EXPECT_EQ(linesOf(s).bins, randomOdd.bins);
    s.search.seed = 2;
    EXPECT_NE(linesOf(s).bins, randomOdd.bins);

    // Excluded bands hold no line and no detection line.
    s.excluded = {{450, 650}, {2000, 2100}};
    for (const std::vector<int> &set : {linesOf(s).bins, linesOf(s).detection})
        for (int k : set) EXPECT_TRUE(k < 5 || (k > 6 && k < 20) || k > 21) << k;

    // 12 lines an octave from 20 Hz at 1 Hz spacing: each on the nearest multiple,
    // none twice (the low octaves would repeat 20, 21, 22 Hz otherwise).
    DesignSettings log = settings48k(1, 20, 20000);
    log.grid = GRID_LOG;
    log.perOctave = 12;
    std::vector<int> bins = linesOf(log).bins;
    EXPECT_EQ(bins.size(), 120u);
    for (size_t i = 1; i < bins.size(); i++) EXPECT_LT(bins[i - 1], bins[i]);
    EXPECT_EQ(bins.back(), std::lround(20 * std::pow(2.0, 119 / 12.0)));
    // A band of 1100 octaves does not overflow the grid.
    log.bandLowHz = std::ldexp(1.0, -1020);
    log.perOctave = 1;
    EXPECT_EQ(linesOf(log).bins.size(), 15u);
}

TEST(Design, RefusalsBeforeTheSearch)
{
    const struct {
        double resolutionHz, lowHz, highHz;
        int durationMs, taperMs;
        const char *start;
    } cases[] = {
        {7, 0, 0, 500, 50, "error: --resolution: 7 Hz does not divide"},
        {0.00048, 1000, 1000.001, 500, 50, "error: --resolution: a period of 100000000 samples"},
        {1e-300, 0, 0, 500, 50, "error: --resolution: a period of 4.8e+304 samples is longer"},
        // A period 0.01 sample off a whole number of samples.
        {0.0031999999979, 0, 0, 500, 50, "error: --resolution: 0.0032 Hz does not divide 48000 Hz"},
        {100, 100, 24001, 500, 50, "error: --band: 100:24001 Hz is no band"},
        {100, 200, 100, 500, 50, "error: --band: 200:100 Hz is no band"},
        {100, 0, 0, 100, 51, "error: -T: the fades are longer than the signal."},
        {100, 0, 0, 100, 50, "error: -T: the fades fill the signal"},
        {100, 0, 0, 2147483647, 50, "error: -t and -s: the signal must be"},
    };
    for (const auto &c : cases) {
        DesignSettings s = settings48k(c.resolutionHz, c.lowHz, c.highHz);
        s.durationMs = c.durationMs;
        s.taperMs = c.taperMs;
        EXPECT_EQ(checkSettings(s).message().rfind(c.start, 0), 0u) << checkSettings(s).message();
    }
    EXPECT_TRUE(checkSettings(settings48k(100, 100, 24000)).ok());
}

TEST(Design, SpectraMeanTheirNames)
{
    // A pink design's third-octave bands hold the same power within 0.5 dB: from 31.5 Hz
    // on the log grid, where pink means equal amplitudes, and on the linear grid of
    // 10 Hz from 250 Hz, where the bands hold 6 lines and more.
    DesignSettings s = settings48k(1, 20, 20000);
    s.flat = false;
    s.densityDbPerOctave = -10 * std::log10(2.0);
    s.grid = GRID_LOG;
    for (double level : thirdOctaveLevels(linesOf(s), s, 31.5)) EXPECT_NEAR(level, 0.0, 0.5);
    // Brown falls 3 dB an octave there.
    s.densityDbPerOctave = -20 * std::log10(2.0);
    const std::vector<double> brown = thirdOctaveLevels(linesOf(s), s, 31.5);
    EXPECT_NEAR(brown.front() - brown.back(), 27.0, 0.5);
    s = settings48k(10, 20, 20000);
    s.flat = false;
    s.densityDbPerOctave = -10 * std::log10(2.0);
    for (double level : thirdOctaveLevels(linesOf(s), s, 250)) EXPECT_NEAR(level, 0.0, 0.5);

    // Amplitudes from a file: as written on its frequencies, interpolated in dB on log
    // frequency between them, the end value beyond; levels in dB likewise.
    const std::string path = testing::TempDir() + "amplitudes.txt";
    for (const char *text :
         {"# f a\n200 0.5\n800 0.125  ignored\n\n1600 1\n", "200 -6.0206dB\n800 -18.0618 dB\n1600 0dB\n"}) {
        FILE *f = std::fopen(path.c_str(), "w");
        std::fputs(text, f);
        std::fclose(f);
        Table table;
        ASSERT_EQ(readTable(path, true, &table).message(), "");
        const std::vector<double> amp = tableAmplitudes(table, {1, 2, 4, 8, 16, 32}, 48000, 480);
        const double expected[] = {0.5, 0.5, 0.25, 0.125, 1.0, 1.0};
        for (int i = 0; i < 6; i++) EXPECT_NEAR(amp[i], expected[i], 1e-5) << i;
        if (!table.decibels) {
            EXPECT_EQ(amp[3], 0.125);
        }
    }
    Table table;
    FILE *f = std::fopen(path.c_str(), "w");
    std::fputs("200 0.5\n400 x\n", f);
    std::fclose(f);
    EXPECT_EQ(readTable(path, true, &table).message(), "error: " + path + ":2: no number after the frequency.\n");
}

TEST(Design, TruePeakIsTheContinuousMaximum)
{
    // N equal lines in phase as cosines (every sine phase pi/2) peak at N times the
    // amplitude.
    std::vector<int> bins;
    for (int k = 1; k <= 31; k++) bins.push_back(k);
    std::vector<double> amp(31, 1.0), inPhase(31, M_PI / 2);
    EXPECT_NEAR(truePeak(bins, amp, inPhase), 31.0, 1e-9);

    // 200 lines of random amplitudes and phases, and the same lines after the search,
    // whose maxima lie between grid points: within 0.02 % of an independent dense check.
    bins.clear();
    uint64_t random = 5;
    for (int k = 40; k < 240; k++) bins.push_back(k);
    amp.clear();
    for (size_t j = 0; j < bins.size(); j++) amp.push_back(0.2 + uniformRandom(&random));
    std::vector<double> phase = randomPhases(bins.size(), &random);
    EXPECT_NEAR(truePeak(bins, amp, phase) / densePeak(bins, amp, phase), 1.0, 2e-4);
    SearchSettings search;
    search.starts = 1;
    phase = lowCrestPhases(bins, amp, search).phase;
    EXPECT_NEAR(truePeak(bins, amp, phase) / densePeak(bins, amp, phase), 1.0, 2e-4);
    EXPECT_LE(samplePeak(bins, amp, phase, 481), truePeak(bins, amp, phase));
}

TEST(Design, SearchKeepsTheBestSoFar)
{
    std::vector<int> bins;
    for (int k = 1; k <= 31; k++) bins.push_back(k);
    const std::vector<double> amp(bins.size(), 1.0);
    const double rms = rmsOf(amp);
    SearchSettings search;
    double last = INFINITY;
    for (int starts : {1, 4, 16, 64}) {
        search.starts = starts;
        const SearchOutcome out = lowCrestPhases(bins, amp, search);
        EXPECT_LE(out.peak, last) << starts;
        EXPECT_NEAR(truePeak(bins, amp, out.phase), out.peak, 1e-12 * out.peak);
        last = out.peak;
    }
    // The best of 64 starts beats Schroeder's phases by more than 2 dB.
    EXPECT_GT(20 * std::log10(truePeak(bins, amp, schroederPhases(bins, amp)) / last), 2.0);
    EXPECT_LE(last / rms, 1.38);
    last = INFINITY;
    search.starts = 8;
    for (int iterations : {25, 50, 100, 200, 400}) {
        search.iterations = iterations;
        const double peak = lowCrestPhases(bins, amp, search).peak;
        EXPECT_LE(peak, last * (1.0 + 1e-12)) << iterations;
        last = peak;
    }
}

// Starts are made ahead on several threads; which start wins, and how many the time
// allows, must not depend on how many.
TEST(Design, SearchIsTheSameOnAnyNumberOfThreads)
{
    std::vector<int> bins;
    for (int k = 3; k <= 60; k += 3) bins.push_back(k);
    std::vector<double> amp;
    for (size_t j = 0; j < bins.size(); j++) amp.push_back(1.0 / (1.0 + 0.1 * j));
    SearchSettings search;
    search.seconds = 0.05;
    search.peak = PEAK_BOTH;
    search.period = 200;
    search.threads = 1;
    const SearchOutcome one = lowCrestPhases(bins, amp, search);
    EXPECT_GT(one.starts, 3);
    for (int threads : {2, 3}) {
        search.threads = threads;
        const SearchOutcome many = lowCrestPhases(bins, amp, search);
        EXPECT_EQ(many.starts, one.starts) << threads;
        EXPECT_EQ(many.bestStart, one.bestStart) << threads;
        EXPECT_EQ(many.phase, one.phase) << threads;
    }
}
