// The statistics of the analysis: the quantiles it rests on, and on recordings made
// here from the played period the engine gives (sonvel's own samples) through a gain,
// with white noise of fixed seeds: what its intervals cover, how often a line of noise
// alone passes for distortion, a click in one period.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include "analysis.h"
#include "report.h"
#include "run_program.h"
#include "statistics.h"

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr int RATE = 48000;
constexpr long long TAPER = 960;  // 20 ms
constexpr long long LEAD = 300;   // samples of silence before the signal
constexpr double GAIN = 0.5;

// Odd lines on a 4 Hz grid up to 21,836 Hz (period 12000 samples) but one in four,
// random phases: 2048 excited lines, and odd and even detection lines between them.
PlayedList oddList2048()
{
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> phase(-PI, PI);
    PlayedList list;
    for (int k = 1; k < 5460; k += 2) {
        if (k % 8 == 5) continue;
        list.freq.push_back(4.0 * k);
        list.amp.push_back(1.0);
        list.phase.push_back(phase(rng));
    }
    return list;
}

// Analyses M periods of a float WAVE recording of GAIN times the played signal between
// its fades, LEAD samples late, with white noise of standard deviation sigma and a
// click (a full-scale sample) at frame click (none below 0); with a reference, a second
// channel holds the played signal with noise as large.
Analysis analyzeNoisy(const std::string &path, const PlayedSignal &played, long long M, double sigma,
                      long long click, bool reference)
{
    std::mt19937_64 rng(21);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::vector<double> frames;
    for (long long n = 0; n < LEAD + played.size + played.period; n++) {
        const long long t = n - LEAD;
        const double env = t < 0 || t >= played.size ? 0.0 : std::min({1.0, double(t) / TAPER, double(played.size - t) / TAPER});
        const double signal = t < 0 ? 0.0 : env * played.samples[static_cast<size_t>(t % played.period)];
        frames.push_back(GAIN * signal + sigma * gauss(rng) + (n == click ? 1.0 : 0.0));
        if (reference) frames.push_back(signal + sigma * gauss(rng));
    }
    SF_INFO info{0, RATE, reference ? 2 : 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
    sf_writef_double(f, frames.data(), static_cast<sf_count_t>(frames.size()) / info.channels);
    sf_close(f);
    Recording rec;
    Result r = openRecording(path.c_str(), &rec);
    EXPECT_TRUE(r.ok()) << r.message();
    AnalyzeSettings s;
    s.maxPeriods = M;
    s.reference = reference ? 2 : 0;
    Analysis a;
    r = analyze(&rec, played, s, &a);
    EXPECT_TRUE(r.ok()) << r.message();
    return a;
}

class AnalyzeStatistics : public TempDirTest {};

}  // namespace

TEST(Statistics, QuantilesFromTheTables)
{
    EXPECT_NEAR(tQuantile(0.05, 4), 2.776445, 1e-6);  // two-sided
    EXPECT_NEAR(tQuantile(0.05, 18), 2.100922, 1e-6);
    EXPECT_NEAR(fQuantile(0.05, 10, 20), 2.347878, 1e-6);
}

// One row: the periods analysed, the SNR of a line in one period, a click in one period
// (from 1, 0 for none), whether the detection lines are checked for false alarms, and
// whether a noisy loopback is the reference.
struct StatisticsRow {
    long long periods;
    double snrDb;
    long long click;
    bool falseAlarms;
    bool reference = false;
};

TEST_F(AnalyzeStatistics, CoverageSignificanceAndOutliers)
{
    const PlayedList list = oddList2048();
    long long P = 0;
    ASSERT_TRUE(findPeriod(list, RATE, &P).ok());
    LevelTarget target;
    target.level = -12;
    const StatisticsRow rows[] = {
        {3, 20, 0, false},
        {10, 20, 0, false},
        {100, 27, 0, true},
        {100, 27, 0, true, true},
        {97, 60, 50, false},
        {20, INFINITY, 0, false},  // no noise: the played signal's 16-bit samples, halved
    };
    for (const StatisticsRow &row : rows) {
        SCOPED_TRACE(testing::Message() << row.periods << " periods, SNR " << row.snrDb << " dB");
        PlayedSignal played;
        Result r = playedSignal(list, RATE, 2 * TAPER + (row.periods + 3) * P, TAPER, target, P, &played);
        ASSERT_TRUE(r.ok()) << r.message();
        ASSERT_EQ(played.excited.size(), 2048u);
        double linePower = 0.0;
        for (long long k : played.excited) linePower += std::norm(played.spectrum[k]);
        // One period's noise at a line is P sigma^2 in the transform.
        const double sigma = GAIN * std::sqrt(linePower / static_cast<double>(played.excited.size() * P)) *
                             std::pow(10.0, -row.snrDb / 20);
        const long long click = row.click ? LEAD + TAPER + row.click * P + 777 : -1;
        const Analysis a = analyzeNoisy(path("rec.wav"), played, row.periods, sigma, click, row.reference);
        EXPECT_EQ(a.periodsUsed, row.periods - (row.click ? 1 : 0));
        EXPECT_EQ(a.warnings.empty(), row.periods >= 5 && !row.click);
        if (row.click) {
            // Named, and left out: the floors as without the click.
            EXPECT_EQ(a.outlierPeriods, std::vector<long long>{(click - a.firstFrame) / P + 1});
            const Analysis clean = analyzeNoisy(path("rec.wav"), played, row.periods, sigma, -1, false);
            EXPECT_TRUE(clean.outlierPeriods.empty());
            EXPECT_NEAR(a.evenFloorDb, clean.evenFloorDb, 0.5);
            EXPECT_NEAR(a.oddFloorDb, clean.oddFloorDb, 0.5);
            EXPECT_NEAR(a.snrDb, clean.snrDb, 0.5);
            continue;
        }
        EXPECT_TRUE(a.outlierPeriods.empty());
        long long detection = 0, flagged = 0;
        double rounding = 0.0;
        for (const LineResult &l : a.other) {
            if (l.kind == LINE_OUT_OF_BAND) continue;
            detection++;
            flagged += l.significant;
            rounding += std::pow(10.0, l.playedDb / 10);
        }
        // The played signal's own rounding at the detection lines (about -94 dB re the
        // signal) is known, and taken out: without noise nothing is left to flag. (Through
        // a reference, the reference's noise comes with it.)
        if (!row.reference) {
            EXPECT_NEAR(10 * std::log10(rounding / static_cast<double>(a.excited.size())), -94, 3);
        }
        if (!std::isfinite(row.snrDb)) {
            EXPECT_EQ(flagged, 0);
            EXPECT_FALSE(a.oddSignificant || a.evenSignificant);
            continue;
        }
        // The 95 % intervals hold the true gain and phase on 93 to 97 % of the lines.
        long long gainIn = 0, phaseIn = 0;
        for (const LineResult &l : a.excited) {
            const double w = 2 * PI * static_cast<double>(l.bin) / static_cast<double>(P);
            const double removed = row.reference ? a.delay - a.referenceDelay : a.delay - LEAD;
            const double gainDb = 20 * std::log10(GAIN), phaseDeg = w * removed * 180 / PI;
            gainIn += l.gainLowDb <= gainDb && gainDb <= l.gainHighDb;
            phaseIn += std::fabs(std::remainder(l.phaseDeg - phaseDeg, 360.0)) <= l.phaseHalfDeg;
        }
        EXPECT_NEAR(gainIn / static_cast<double>(a.excited.size()), 0.95, 0.02);
        EXPECT_NEAR(phaseIn / static_cast<double>(a.excited.size()), 0.95, 0.02);
        if (row.falseAlarms) {
            // A linear system: about 5 % of the detection lines pass the test by chance,
            // and the summary puts the distortion below the floor.
            EXPECT_NEAR(static_cast<double>(flagged) / static_cast<double>(detection), 0.05, 0.015);
            const std::string text = textReport(ReportContext(), a);
            EXPECT_NE(text.find(formatted("odd distortion below the noise floor (%.2f dB); even distortion below "
                                          "the noise floor (%.2f dB)", a.oddFloorDb, a.evenFloorDb)),
                      std::string::npos) << text.substr(0, 1000);
        }
    }
}
