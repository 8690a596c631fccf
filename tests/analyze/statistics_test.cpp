// The statistics of the analysis: the quantiles it rests on, and on recordings made
// here from the played period the engine gives (sonvel's own samples) through a gain,
// with white noise of fixed seeds, what its intervals cover, how often a line of noise
// alone passes for distortion, and a click in one period.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <vector>

#include "analysis.h"
#include "design.h"
#include "report.h"
#include "run_program.h"
#include "statistics.h"

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr int RATE = 48000;
constexpr long long TAPER = 960;  // 20 ms
constexpr long long LEAD = 300;   // samples of silence before the signal
constexpr double GAIN = 0.5;

// A random-odd design on 4 Hz lines up to 21830 Hz (period 12000 samples): about 2048
// excited lines, and odd and even detection lines between them.
PlayedList randomOdd2048()
{
    DesignSettings s;
    s.rateHz = RATE;
    s.resolutionHz = 4;
    s.bandLowHz = 4;
    s.bandHighHz = 21830;
    s.lines = LINES_RANDOM_ODD;
    uint64_t random = 5;
    LineSet lines;
    EXPECT_EQ(designLines(s, &random, &lines).message(), "");
    PlayedList list;
    list.phase = randomPhases(lines.bins.size(), &random);
    for (int k : lines.bins) {
        list.freq.push_back(4.0 * k);
        list.amp.push_back(1.0);
    }
    return list;
}

// The recording of gain times the played signal of M + 2 periods between its fades, LEAD
// samples late, with white noise of standard deviation sigma and a click (a full-scale
// sample) at frame click (none below 0).
std::vector<double> recording(const PlayedSignal &played, double gain, double sigma, uint64_t seed, long long click)
{
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::vector<double> x(static_cast<size_t>(LEAD + played.size + played.period));
    for (size_t n = 0; n < x.size(); n++) {
        const long long t = static_cast<long long>(n) - LEAD;
        const double env = t < 0 || t >= played.size ? 0.0
                           : t < TAPER              ? static_cast<double>(t) / TAPER
                           : t > played.size - TAPER ? static_cast<double>(played.size - t) / TAPER
                                                      : 1.0;
        const double signal = t < 0 ? 0.0 : played.samples[static_cast<size_t>(t % played.period)];
        x[n] = gain * env * signal + (sigma > 0.0 ? sigma * gauss(rng) : 0.0);
    }
    if (click >= 0) x[static_cast<size_t>(click)] += 1.0;
    return x;
}

class AnalyzeStatistics : public TempDirTest {
protected:
    // Writes the recording as float samples, with a reference channel where ref is not
    // empty, and analyses M periods of it.
    Analysis analyzed(const PlayedSignal &played, const std::vector<double> &x, long long M,
                      const std::vector<double> &ref = {})
    {
        SF_INFO info{};
        info.samplerate = RATE;
        info.channels = ref.empty() ? 1 : 2;
        std::vector<double> frames = x;
        if (!ref.empty()) {
            frames.clear();
            for (size_t n = 0; n < x.size(); n++) frames.push_back(x[n]), frames.push_back(ref[n]);
        }
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE *f = sf_open(path("rec.wav").c_str(), SFM_WRITE, &info);
        EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
        sf_writef_double(f, frames.data(), static_cast<sf_count_t>(x.size()));
        sf_close(f);
        Recording rec;
        Result r = openRecording(path("rec.wav").c_str(), &rec);
        EXPECT_TRUE(r.ok()) << r.message();
        AnalyzeSettings s;
        s.maxPeriods = M;
        s.reference = ref.empty() ? 0 : 2;
        Analysis a;
        r = analyze(&rec, played, s, &a);
        EXPECT_TRUE(r.ok()) << r.message();
        return a;
    }
};

}  // namespace

TEST(Statistics, Quantiles)
{
    // The closed form of F(2, d2) against the general inversion, and Student's t from
    // the tables (two-sided 5 %).
    for (double d2 : {2.0, 4.0, 18.0, 198.0, 20000.0}) {
        EXPECT_NEAR(fQuantile(0.05, 2, d2), fQuantile2(0.05, d2), 1e-9 * fQuantile2(0.05, d2)) << d2;
    }
    EXPECT_NEAR(tQuantile(0.05, 4), 2.776445, 1e-6);
    EXPECT_NEAR(tQuantile(0.05, 18), 2.100922, 1e-6);
    EXPECT_NEAR(tQuantile(0.05, 1e7), 1.959964, 1e-5);
    EXPECT_NEAR(fQuantile(0.05, 10, 20), 2.347878, 1e-6);
}

// One row: the periods analysed, the SNR of a line in one period, a click in one period
// (from 1, 0 for none), whether the detection lines are checked for false alarms, and
// whether a loopback of the played signal, with noise as large, is the reference.
struct StatisticsRow {
    long long periods;
    double snrDb;
    long long click;
    bool falseAlarms;
    bool reference = false;
};

TEST_F(AnalyzeStatistics, CoverageSignificanceAndOutliers)
{
    const PlayedList list = randomOdd2048();
    long long P = 0;
    ASSERT_TRUE(findPeriod(list, RATE, &P).ok());
    ASSERT_EQ(P, 12000);
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
        Result r = playedSignal(list, RATE, 2 * TAPER + (row.periods + 2) * P, TAPER, target, P, &played);
        ASSERT_TRUE(r.ok()) << r.message();
        ASSERT_NEAR(played.excited.size(), 2048.0, 30.0);
        double linePower = 0.0;
        for (long long k : played.excited) linePower += std::norm(played.spectrum[k]);
        linePower /= static_cast<double>(played.excited.size());
        // One period's noise at a line is P sigma^2 in the transform.
        const double sigma = GAIN * std::sqrt(linePower / static_cast<double>(P)) * std::pow(10.0, -row.snrDb / 20);
        const long long clickFrame = row.click ? LEAD + TAPER + P + (row.click - 1) * P + 777 : -1;
        const std::vector<double> ref = row.reference ? recording(played, 1.0, sigma, 22, -1) : std::vector<double>();
        const Analysis a = analyzed(played, recording(played, GAIN, sigma, 21, clickFrame), row.periods, ref);
        EXPECT_EQ(a.periodsUsed, row.periods - (row.click ? 1 : 0));
        EXPECT_EQ(a.warnings.empty(), row.periods >= 5 && !row.click);

        if (row.click) {
            // Named, and left out: the floors as without the click.
            EXPECT_EQ(a.outlierPeriods, std::vector<long long>{(clickFrame - a.firstFrame) / P + 1});
            const Analysis clean = analyzed(played, recording(played, GAIN, sigma, 21, -1), row.periods);
            EXPECT_TRUE(clean.outlierPeriods.empty());
            EXPECT_NEAR(a.evenFloorDb, clean.evenFloorDb, 0.5);
            EXPECT_NEAR(a.oddFloorDb, clean.oddFloorDb, 0.5);
            EXPECT_NEAR(a.snrDb, clean.snrDb, 0.5);
            continue;
        }
        EXPECT_TRUE(a.outlierPeriods.empty());
        if (!std::isfinite(row.snrDb)) {
            // The played signal's own rounding at the detection lines (about -94 dB re the
            // signal) is known and taken out: nothing is left to call distortion.
            double rounding = 0.0;
            for (const LineResult &l : a.other) {
                EXPECT_FALSE(l.significant) << l.freqHz;
                if (l.kind == LINE_ODD) rounding += std::pow(10.0, l.playedDb / 10);
            }
            EXPECT_NEAR(10 * std::log10(rounding / static_cast<double>(a.excited.size())), -94, 3);
            EXPECT_FALSE(a.oddSignificant);
            EXPECT_FALSE(a.evenSignificant);
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
        const double lines = static_cast<double>(a.excited.size());
        EXPECT_NEAR(gainIn / lines, 0.95, 0.02);
        EXPECT_NEAR(phaseIn / lines, 0.95, 0.02);

        if (row.falseAlarms) {
            // A linear system: about 5 % of the detection lines pass the test by chance,
            // and the summary puts the distortion below the floor.
            long long detection = 0, flagged = 0;
            for (const LineResult &l : a.other) {
                if (l.kind == LINE_OUT_OF_BAND) continue;
                detection++;
                flagged += l.significant;
            }
            EXPECT_NEAR(static_cast<double>(flagged) / static_cast<double>(detection), 0.05, 0.015);
            ReportContext c;
            c.rateHz = RATE;
            const std::string text = textReport(c, a);
            EXPECT_NE(text.find(formatted("odd distortion below the noise floor (%.2f dB); even distortion below "
                                          "the noise floor (%.2f dB)",
                                          a.oddFloorDb, a.evenFloorDb)),
                      std::string::npos)
                << text.substr(0, 1000);
        }
    }
}
