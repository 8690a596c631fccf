// The designer's line sets, spectra and crest factors on cases with known answers.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "design.h"

namespace {

std::vector<int> linesOf(DesignSettings s)
{
    uint64_t random = s.seed;
    std::vector<int> bins;
    EXPECT_EQ(designLines(&s, &random, &bins), 0);
    return bins;
}

}  // namespace

TEST(Design, LineSets)
{
    DesignSettings s;
    s.rateHz = 48000;
    s.resolutionHz = 100;
    s.bandLowHz = 100;
    s.bandHighHz = 3200;
    EXPECT_EQ(linesOf(s).size(), 32u);
    s.lines = LINES_ODD;
    std::vector<int> odd = linesOf(s);
    ASSERT_EQ(odd.size(), 16u);
    for (size_t i = 0; i < odd.size(); i++) EXPECT_EQ(odd[i], static_cast<int>(2 * i + 1));
    // One of each run of 4 odd lines is left out, the same ones for the same seed.
    s.lines = LINES_RANDOM_ODD;
    std::vector<int> randomOdd = linesOf(s);
    ASSERT_EQ(randomOdd.size(), 12u);
    for (size_t g = 0; g < 4; g++) EXPECT_LE(randomOdd[3 * g + 2], odd[4 * g + 3]);
    EXPECT_EQ(linesOf(s), randomOdd);
    s.seed = 2;
    EXPECT_NE(linesOf(s), randomOdd);

    // 12 lines an octave from 20 Hz at 1 Hz spacing: each on the nearest multiple,
    // none twice (the low octaves would repeat 20, 21, 22 Hz otherwise).
    DesignSettings log;
    log.rateHz = 48000;
    log.resolutionHz = 1;
    log.bandLowHz = 20;
    log.bandHighHz = 20000;
    log.grid = GRID_LOG;
    log.perOctave = 12;
    std::vector<int> bins = linesOf(log);
    EXPECT_EQ(bins.size(), 120u);
    for (size_t i = 1; i < bins.size(); i++) EXPECT_LT(bins[i - 1], bins[i]);
    EXPECT_EQ(bins.back(), std::lround(20 * std::pow(2.0, 119 / 12.0)));

    // A period that is no whole number of samples, and a band above half the rate.
    testing::internal::CaptureStderr();
    uint64_t random = 1;
    s.resolutionHz = 7;
    EXPECT_EQ(designLines(&s, &random, &bins), 1);
    s.resolutionHz = 100;
    s.bandHighHz = 24000;
    EXPECT_EQ(designLines(&s, &random, &bins), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr().substr(0, 27), "error: --resolution: 7 Hz d");
}

TEST(Design, SpectrumSlopes)
{
    std::vector<int> bins = {10, 20, 40, 80};
    std::vector<double> pink = slopeAmplitudes(bins, -3);
    std::vector<double> rising = slopeAmplitudes(bins, 6);
    for (size_t i = 0; i < bins.size(); i++) {
        EXPECT_NEAR(pink[i], std::pow(10.0, -3.0 * i / 20), 1e-12);
        EXPECT_NEAR(rising[i], std::pow(10.0, 6.0 * (i - 3.0) / 20), 1e-12);
    }
    EXPECT_EQ(pink[0], 1.0);
    EXPECT_EQ(rising[3], 1.0);
}

TEST(Design, CrestFactors)
{
    // N equal lines in phase as cosines (every sine phase pi/2) peak at N times the
    // amplitude, against an RMS of sqrt(N / 2): sqrt(2 N).
    std::vector<int> bins;
    for (int k = 1; k <= 31; k++) bins.push_back(k);
    std::vector<double> amp(31, 1.0), inPhase(31, M_PI / 2);
    EXPECT_NEAR(crestFactor(bins, amp, inPhase, 120, 16), std::sqrt(62.0), 1e-9);

    // The search beats Schroeder's phases, and the target, on 127 lines.
    bins.clear();
    for (int k = 1; k <= 127; k++) bins.push_back(k);
    amp.assign(127, 1.0);
    uint64_t random = 1;
    double low = crestFactor(bins, amp, lowCrestPhases(bins, amp, 480, 100, &random), 480, 16);
    double schroeder = crestFactor(bins, amp, schroederPhases(bins, amp), 480, 16);
    EXPECT_LE(low, 1.40);
    EXPECT_LT(schroeder, 1.8);
    EXPECT_LT(low, schroeder - 0.2);
    for (double phase : schroederPhases(bins, amp)) {
        EXPECT_GT(phase, -M_PI);
        EXPECT_LE(phase, M_PI);
    }
}
