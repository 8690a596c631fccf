// Power measurement, fades, level setting and synthesis on known signals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "gen_signal.h"

namespace {

struct Generated {
    std::unique_ptr<int16_t[], decltype(&std::free)> samples{nullptr, &std::free};
    std::string err;
};

Generated generate(int size, int taper, int level, std::vector<double> freq,
                   std::vector<double> amp, std::vector<double> phase, int fs = 12000)
{
    Generated g;
    testing::internal::CaptureStderr();
    g.samples.reset(generateComplexSine(size, taper, level, freq.data(), amp.data(),
                                        phase.data(), static_cast<int>(freq.size()), fs,
                                        nullptr));
    g.err = testing::internal::GetCapturedStderr();
    return g;
}

double rms(const int16_t *s, int size)
{
    double sum = 0;
    for (int n = 0; n < size; n++) sum += static_cast<double>(s[n]) * s[n];
    return std::sqrt(sum / size);
}

int peakOf(const int16_t *s, int size)
{
    int peak = 0;
    for (int n = 0; n < size; n++) peak = std::max(peak, std::abs(static_cast<int>(s[n])));
    return peak;
}

}  // namespace

TEST(CalcPower, KnownSignals)
{
    std::vector<int16_t> fullScale(100, 32767);
    EXPECT_EQ(calcPower(fullScale.data(), BUF_SHORT, 100, 0), 0.0);

    // A full-scale sine over whole periods: 10 log10(1/2).
    std::vector<double> sine(1200);
    for (int n = 0; n < 1200; n++) sine[n] = 32767.0 * std::sin(TWO_PI * n / 12.0);
    EXPECT_NEAR(calcPower(sine.data(), BUF_DOUBLE, 1200, 0), -3.0103, 1e-4);

    // Samples inside the fades never count: size 6000, taper 600 measures 600..5399.
    std::vector<double> x(6000, 1000.0);
    for (int n = 0; n < 600; n++) x[n] = x[5999 - n] = 1e9;
    EXPECT_NEAR(calcPower(x.data(), BUF_DOUBLE, 6000, 600), 20 * std::log10(1000.0 / 32767.0),
                1e-12);
    x[600] = 0.0;  // the window's first sample does count
    EXPECT_LT(calcPower(x.data(), BUF_DOUBLE, 6000, 600), 20 * std::log10(1000.0 / 32767.0));
}

TEST(CalcPower, EmptyAndSilentWindowsAreNotFinite)
{
    std::vector<double> x(10, 5.0);
    EXPECT_TRUE(std::isnan(calcPower(x.data(), BUF_DOUBLE, 10, 5)));
    std::vector<double> zeros(10, 0.0);
    EXPECT_EQ(calcPower(zeros.data(), BUF_DOUBLE, 10, 0), -INFINITY);
}

TEST(CalcPowerDeathTest, IllegalBufferTypeEndsTheProgram)
{
    std::vector<double> x(10, 1.0);
    EXPECT_EXIT(calcPower(x.data(), 2, 10, 0), testing::ExitedWithCode(1),
                "^Error: calcPower\\(\\): illegal buf_type\n$");
    EXPECT_EXIT(makeSoundSignal(x.data(), -1, 10, 0, -15, nullptr), testing::ExitedWithCode(1),
                "^Error: makeSoundSignal\\(\\): illegal buf_type\n$");
}

TEST(AddTaper, FactorsAtBothEnds)
{
    std::vector<double> x(10, 8.0);
    addTaper(x.data(), 10, 4);
    std::vector<double> expected{0, 2, 4, 6, 8, 8, 8, 6, 4, 2};
    EXPECT_EQ(x, expected);

    std::vector<double> y{3, 1, 4};
    addTaper(y.data(), 3, 0);
    EXPECT_EQ(y, (std::vector<double>{3, 1, 4}));
}

TEST(Scale, ReturnsPeakMagnitude)
{
    std::vector<double> x{1.0, -3.0, 2.0};
    EXPECT_EQ(scale(x.data(), 3, 2.0), 6.0);
    EXPECT_EQ(x, (std::vector<double>{2.0, -6.0, 4.0}));
    EXPECT_EQ(scale(x.data(), 0, 2.0), 0.0);
}

TEST(MakeSoundSignal, ConstantIsTruncatedTowardZero)
{
    // -15 dB of full scale is 5826.89..; truncation gives 5826 and -5826.
    for (double value : {7.0, -7.0}) {
        std::vector<double> x(100, value);
        testing::internal::CaptureStderr();
        std::unique_ptr<int16_t[], decltype(&std::free)> out(
            makeSoundSignal(x.data(), BUF_DOUBLE, 100, 0, -15, nullptr), &std::free);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        ASSERT_TRUE(out);
        for (int n = 0; n < 100; n++) ASSERT_EQ(out[n], value > 0 ? 5826 : -5826);
    }
}

TEST(MakeSoundSignal, ShortInputAndCallerBuffer)
{
    std::vector<int16_t> in(200);
    for (int n = 0; n < 200; n++) in[n] = static_cast<int16_t>(n % 2 ? 100 : -100);
    std::vector<int16_t> out(200, 1);
    testing::internal::CaptureStderr();
    int16_t *result = makeSoundSignal(in.data(), BUF_SHORT, 200, 20, -6, out.data());
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(result, out.data());
    EXPECT_EQ(in[0], -100);  // the input is not modified
    EXPECT_EQ(out[0], 0);    // the fade starts at zero
    EXPECT_NEAR(calcPower(out.data(), BUF_SHORT, 200, 20), -6.0, 0.01);
}

TEST(MakeSoundSignal, SamplesInTheFadesCountForThePeakAndTheNumbers)
{
    // A constant between the fades; one sample in a fade is not a number, or so large
    // that even after its fade factor it would overflow. Samples in each position of a
    // group of four, and in the last, odd one.
    const int size = 6003, taper = 600;
    for (int at : {100, 101, 5990, 5991, 6002}) {
        for (double odd : {std::nan(""), 1e9}) {
            std::vector<double> x(size, 1000.0);
            x[static_cast<size_t>(at)] = odd;
            testing::internal::CaptureStderr();
            std::unique_ptr<int16_t[], decltype(&std::free)> out(
                makeSoundSignal(x.data(), BUF_DOUBLE, size, taper, -15, nullptr), &std::free);
            const std::string err = testing::internal::GetCapturedStderr();
            EXPECT_FALSE(out) << at;
            const char *why = std::isnan(odd) ? "not numbers" : "signal overflow";
            EXPECT_NE(err.find(why), std::string::npos) << at << ": " << err;
        }
    }
}

TEST(GenerateComplexSine, LevelOfAToneAndOverflow)
{
    Generated g = generate(6000, 0, -15, {1000}, {5000}, {0});
    ASSERT_TRUE(g.samples) << g.err;
    EXPECT_EQ(g.err, "");
    EXPECT_NEAR(rms(g.samples.get(), 6000), 5827, 1.0);
    EXPECT_NEAR(peakOf(g.samples.get(), 6000), 8240, 1.0);

    g = generate(6000, 0, -4, {1000}, {5000}, {0});
    ASSERT_TRUE(g.samples) << g.err;
    EXPECT_NEAR(peakOf(g.samples.get(), 6000), 29238, 1.0);

    for (int level : {-1, -3}) {
        g = generate(6000, 0, level, {1000}, {5000}, {0});
        EXPECT_FALSE(g.samples);
        const std::string first = "ERROR: signal overflow. Decrease power level.\n";
        const std::string last = "ERROR: Fail to exec makeSoundSignal.\n";
        ASSERT_EQ(g.err.rfind(first, 0), 0u) << g.err;
        ASSERT_EQ(g.err.substr(g.err.size() - last.size()), last);
        std::string second = g.err.substr(first.size(), g.err.size() - first.size() - last.size());
        double peak = 0, db = 0;
        char tail = 0;
        ASSERT_EQ(std::sscanf(second.c_str(),
                              "Maximal value before substitution to short (16-bit): %lf (%lf dB%c",
                              &peak, &db, &tail), 3) << second;
        // One decimal for the peak, six for the dB figure, which is the peak over full scale.
        char expected[120];
        std::snprintf(expected, sizeof expected,
                      "Maximal value before substitution to short (16-bit): %.1f (%f dB)\n", peak, db);
        EXPECT_EQ(second, expected);
        EXPECT_NEAR(db, 20 * std::log10(peak / 32767.0), 1e-5);
        EXPECT_NEAR(peak, level == -1 ? 41300 : 32806, 1);
    }
}

TEST(GenerateComplexSine, ConstantComponentAndTaper)
{
    Generated g = generate(1000, 0, -15, {0}, {3}, {0});
    ASSERT_TRUE(g.samples);
    for (int n = 0; n < 1000; n++) ASSERT_EQ(g.samples[n], 5826);

    g = generate(6000, 600, -15, {0}, {3}, {0});
    ASSERT_TRUE(g.samples);
    EXPECT_EQ(g.samples[0], 0);
    EXPECT_EQ(g.samples[300], 5826 / 2);
    EXPECT_EQ(g.samples[3000], 5826);
}

TEST(SumComponents, SynthesisFacts)
{
    std::vector<double> x(24, 0.0);
    double f[] = {1000, 0}, a[] = {2.5, 0.75}, p[] = {M_PI / 2, 0};
    sumComponents(x.data(), 24, f, a, p, 1, 12000);
    EXPECT_EQ(x[0], 2.5);  // phase pi/2 starts at full amplitude

    std::fill(x.begin(), x.end(), 0.0);
    sumComponents(x.data(), 24, f, a, p + 1, 1, 12000);
    EXPECT_EQ(x[0], 0.0);  // phase 0 starts at exactly zero
    EXPECT_NEAR(x[3], 2.5, 1e-12);

    std::fill(x.begin(), x.end(), 0.0);
    sumComponents(x.data(), 24, f + 1, a + 1, p + 1, 1, 12000);
    for (double v : x) ASSERT_EQ(v, 0.75);  // 0 Hz adds its amplitude everywhere

    // Equal tones in opposite phase cancel to within rounding, not to exact zeros.
    double f2[] = {440, 440}, a2[] = {1, 1}, p2[] = {0.3, 0.3 + M_PI};
    std::vector<double> y(1000, 0.0);
    sumComponents(y.data(), 1000, f2, a2, p2, 2, 12000);
    double worst = 0;
    for (double v : y) worst = std::max(worst, std::abs(v));
    EXPECT_LT(worst, 1e-13);
    EXPECT_GT(worst, 0.0);
}

TEST(GenerateComplexSine, PowerThatIsNotFiniteIsRefused)
{
    const std::string refusal =
        "ERROR: makeSoundSignal(): cannot set the power level: the signal power between the "
        "fades is not a finite number.\nERROR: Fail to exec makeSoundSignal.\n";
    // An empty measuring window, a silent signal.
    EXPECT_EQ(generate(1200, 600, -15, {1000}, {5000}, {0}).err, refusal);
    EXPECT_EQ(generate(1200, 100, -15, {1000, 500}, {0, 0}, {0, 0}).err, refusal);
    // Parameters that are not finite numbers.
    EXPECT_EQ(generate(1200, 100, -15, {NAN}, {1}, {0}).err, refusal);
    EXPECT_EQ(generate(1200, 0, -15, {1000}, {1}, {INFINITY}).err, refusal);
    EXPECT_FALSE(generate(1200, 100, -15, {1000}, {NAN}, {0}).samples);
    // Amplitudes whose squares underflow measure minus infinity; the infinite gain
    // makes an infinite peak, and the overflow refusal comes first.
    Generated g = generate(1200, 100, -15, {1000}, {1e-200}, {0});
    EXPECT_FALSE(g.samples);
    EXPECT_EQ(g.err.rfind("ERROR: signal overflow. Decrease power level.\n"
                          "Maximal value before substitution to short (16-bit): inf (inf dB)\n", 0),
              0u) << g.err;
}

TEST(GenerateComplexSine, NothingMeaningfulToScaleIsRefused)
{
    const std::string prefix = "ERROR: makeSoundSignal(): cannot set the power level: ";
    const std::string tail = "ERROR: Fail to exec makeSoundSignal.\n";
    const std::string cancel = "the components cancel";
    struct Case {
        int level;
        std::vector<double> freq, amp, phase;
        std::string why;
    } cases[] = {
        {-15, {6000}, {1}, {0}, cancel},        // a tone at half the rate, phase 0
        {-15, {12000}, {1}, {0}, cancel},       // a tone at the rate itself
        {-15, {440, 440}, {1, 1}, {0.3, 0.3 + M_PI}, cancel},
        {-15, {1000}, {2e-157}, {0}, "the signal power between the fades is too small"},
        {-96, {1000}, {1}, {0}, "every 16-bit sample between the fades would be 0"},
    };
    for (const Case &c : cases) {
        Generated g = generate(6000, 600, c.level, c.freq, c.amp, c.phase);
        EXPECT_FALSE(g.samples) << c.why;
        EXPECT_EQ(g.err.rfind(prefix + c.why, 0), 0u) << g.err;
        EXPECT_EQ(g.err.substr(g.err.find('\n') + 1), tail) << g.err;
    }
    // -90 dB still makes a signal, at the level that truncation leaves.
    EXPECT_TRUE(generate(6000, 600, -90, {1000}, {1}, {0}).samples);
}

TEST(Contracts, FadesThatDoNotFitAreRefused)
{
    std::vector<double> x(10, 1.0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(makeSoundSignal(x.data(), BUF_DOUBLE, 10, 20, -15, nullptr), nullptr);
    EXPECT_TRUE(std::isnan(calcPower(x.data(), BUF_DOUBLE, 0, 0)));
    addTaper(x.data(), 10, -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ERROR: makeSoundSignal(): cannot use 10 samples with fades of 20 samples.\n"
              "ERROR: calcPower(): cannot use 0 samples with fades of 0 samples.\n"
              "ERROR: addTaper(): cannot use 10 samples with fades of -1 samples.\n");
    EXPECT_EQ(x, std::vector<double>(10, 1.0));
    EXPECT_EQ(generate(10, 6, -15, {1000}, {1}, {0}).err,
              "ERROR: generateComplexSine(): cannot use 10 samples with fades of 6 samples.\n");
}
