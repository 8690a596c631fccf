// The engine's run: the signal made in blocks, kept whole within the memory budget or
// made twice beyond it, on one thread or several, gives the bytes of the whole-buffer
// path (the sum of every component, then makeSoundSignal) and of the reference kernel,
// and a plan is emitted once.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "gen_signal.h"
#include "sizes.h"

namespace {

struct Made {
    std::vector<int16_t> samples;
    std::string message;
    double level = 0.0;
    std::vector<int16_t> kept;
};

bool collect(const unsigned char *bytes, int count, void *context)
{
    auto *out = static_cast<std::vector<int16_t> *>(context);
    for (int n = 0; n < count; n++) out->push_back(static_cast<int16_t>(sampleValue(bytes, SampleFormat::S16, n)));
    return true;
}

// The run of req within budgetBytes on `threads` threads, however short the signal.
Made makeInBlocks(SignalRequest req, long long budgetBytes, int threads = 1)
{
    Made m;
    req.budgetBytes = budgetBytes;
    req.threads = threads;
    req.threadMinWork = 0;
    req.keepSamples = true;
    SignalPlan plan;
    Result r = planSignal(req, &plan);
    if (r.ok()) r = emitSignal(&plan, collect, &m.samples, &m.level);
    for (int n = 0; r.ok() && n < req.size; n++)
        m.kept.push_back(static_cast<int16_t>(sampleValue(plan.samples, SampleFormat::S16, n)));
    m.message = r.message();
    return m;
}

SignalRequest requestOf(int size, int taper, int level, const std::vector<double> &freq,
                        const std::vector<double> &amp, const std::vector<double> &phase,
                        int fs = 12000)
{
    return signalRequest(size, taper, level, freq.data(), amp.data(), phase.data(),
                         static_cast<int>(freq.size()), fs);
}

}  // namespace

TEST(Engine, BlocksGiveTheBytesOfTheWholeBuffer)
{
    struct Case {
        int size, taper, level;
        std::vector<double> freq, amp, phase;
    } cases[] = {
        {5000, 0, -15, {1000}, {5000}, {0}},                       // a partial last block
        {4097, 2048, -20, {440, 0, 5999}, {1, 0.25, 0.5}, {0.1, 0, 2}},  // fades of half
        {10000, 1234, -6, {300, 1700}, {1, 1}, {0, 3}},
        {4096, 2048, -15, {1000}, {1}, {0}},                       // an empty window
        {6000, 600, -15, {NAN}, {1}, {0}},                         // not a number
        {6000, 0, -1, {1000}, {5000}, {0}},                        // overflow
        // Beating tones that peak only in the middle: overflow, with the peak of a
        // stretch of blocks that a worker made.
        {120000, 0, -6, {1000, 1000.1}, {1, 1}, {0, M_PI}},
    };
    for (const Case &c : cases) {
        const SignalRequest req = requestOf(c.size, c.taper, c.level, c.freq, c.amp, c.phase);
        std::vector<double> sum(static_cast<size_t>(c.size), 0.0);
        sumComponentsWith(req.kernel, sum.data(), c.size, req.freq, req.amp, req.phase, req.count,
                          req.fs);
        testing::internal::CaptureStderr();
        std::unique_ptr<int16_t[], FreeDeleter> whole(
            makeSoundSignal(sum.data(), BUF_DOUBLE, c.size, c.taper, c.level, nullptr));
        const std::string err = testing::internal::GetCapturedStderr();

        for (long long budget : {SIGNAL_BUDGET_BYTES, 0LL}) {
            for (int threads : {1, 2}) {
                Made m = makeInBlocks(req, budget, threads);
                SCOPED_TRACE(testing::Message() << c.size << " budget " << budget << " threads "
                                                << threads);
                EXPECT_EQ(m.message, err);
                if (!whole) {
                    EXPECT_TRUE(m.samples.empty());
                    continue;
                }
                std::vector<int16_t> expected(whole.get(), whole.get() + c.size);
                EXPECT_EQ(m.samples, expected);
                EXPECT_EQ(m.kept, expected);
                EXPECT_EQ(m.level, calcPower(whole.get(), BUF_SHORT, c.size, c.taper));
            }
        }
    }
}

TEST(Engine, EveryKernelOnAnyNumberOfThreadsGivesTheReferenceBytes)
{
    struct Case {
        int size, taper, level, fs;
        std::vector<double> freq, amp, phase;
    } cases[] = {
        // From a constant and 0.01 Hz to half the rate and beyond, a negative frequency,
        // amplitudes from 1e-3 to 2, phases up to 1e6.
        {100001, 4800, -20, 48000, {0, 0.01, 20, 23999.9, 30000, -440},
         {0.1, 1, 0.5, 1, 1e-3, 2}, {0, 1.5707963267948966, -3, 2, 0.5, 1e6}},
        // Arguments beyond the vector sine's reach, amplitudes 1e5 apart.
        {50001, 0, -6, 44100, {1000, 7}, {1e3, 1e-2}, {3e9, -1e15}},
        // Sample indices up to 3 million, arguments up to 9.4e6.
        {3000000, 480000, -10, 48000, {23999.5, 0.3}, {1, 0.7}, {0.1, -1}},
    };
    for (const Case &c : cases) {
        SignalRequest req = requestOf(c.size, c.taper, c.level, c.freq, c.amp, c.phase, c.fs);
        // The sum kept in memory, and the first budget too small for it: two passes.
        const long long kept = 8LL * c.size, twoPasses = kept - 1;
        req.kernel = KERNEL_REFERENCE;
        const Made ref = makeInBlocks(req, kept);
        ASSERT_EQ(ref.message, "") << c.size;
        for (SynthKernel kernel : {KERNEL_REFERENCE, KERNEL_SCALAR, KERNEL_AVX2, KERNEL_AVX512}) {
            if (!kernelSupported(kernel)) continue;
            req.kernel = kernel;
            for (long long budget : {kept, twoPasses}) {
                for (int threads : {1, 2, 3}) {
                    const Made m = makeInBlocks(req, budget, threads);
                    SCOPED_TRACE(testing::Message() << c.size << " kernel " << kernel << " budget "
                                                    << budget << " threads " << threads);
                    EXPECT_EQ(m.samples, ref.samples);
                    EXPECT_EQ(m.level, ref.level);
                }
            }
        }
    }
}

TEST(Engine, DitheredSamplesDoNotDependOnTheThreads)
{
    // The dither generator runs on from block to block in the order the blocks are
    // taken: 24-bit samples with dither, in stretches made on one thread or three.
    std::vector<double> freq{440, 23999}, amp{1, 0.1}, phase{0, 1};
    SignalRequest req = requestOf(300001, 4800, -20, freq, amp, phase, 48000);
    req.format = SampleFormat::S24;
    req.quantizer = Quantizer::Tpdf;
    req.threadMinWork = 0;
    std::vector<unsigned char> bytes[2];
    for (int run = 0; run < 2; run++) {
        req.threads = run == 0 ? 1 : 3;
        req.budgetBytes = run == 0 ? SIGNAL_BUDGET_BYTES : 0;
        SignalPlan plan;
        ASSERT_TRUE(planSignal(req, &plan).ok());
        auto keep = [](const unsigned char *b, int count, void *context) {
            auto *out = static_cast<std::vector<unsigned char> *>(context);
            out->insert(out->end(), b, b + 3 * count);
            return true;
        };
        double level = 0.0;
        ASSERT_TRUE(emitSignal(&plan, keep, &bytes[run], &level).ok());
    }
    EXPECT_EQ(bytes[0].size(), 3u * 300001);
    EXPECT_TRUE(bytes[0] == bytes[1]);
}

TEST(LongestSignal, IsMeasuredOnSeveralThreads)
{
    // Block starts just below 2^31, and a last stretch of blocks that the signal does
    // not fill: a constant, which costs no sine.
    std::vector<double> freq{0}, amp{1}, phase{0};
    SignalRequest req = requestOf(MAX_DATA_SIZE, 0, -15, freq, amp, phase);
    req.threads = 2;
    SignalPlan plan;
    ASSERT_TRUE(planSignal(req, &plan).ok());
    EXPECT_NEAR(plan.gain, 32767 * std::pow(10.0, -15.0 / 20), 1e-6);
}

TEST(Engine, SixteenBitPowerSumRoundsAsInIndexOrder)
{
    // Every 16-bit value from -32768 up in steps of 7, in a scrambled order.
    std::vector<int16_t> x;
    for (int v = -32768; v < 32768; v += 7) x.push_back(static_cast<int16_t>(v));
    for (size_t i = 0; i < x.size(); i += 2) std::swap(x[i], x[(i * 7919) % x.size()]);
    const int size = static_cast<int>(x.size()), taper = 100;
    // Sums that start at 0; at a half below 2^52, where the halves begin to round; just
    // below 2^53, where the total stays below it or passes it and the additions begin to
    // round; at 2^53 and far beyond.
    const double TWO_53 = 9007199254740992.0;
    for (double start : {0.0, TWO_53 / 2 - 1e12 + 0.5, TWO_53 - 3e12, TWO_53 - 1e12, TWO_53, 1e300}) {
        double expected = start;
        for (int n = taper; n < size - taper; n++) expected = expected + static_cast<double>(x[n]) * x[n];
        EXPECT_EQ(addSquares(x.data(), 0, size, size, taper, start), expected) << start;
        // The same samples in two blocks.
        const double half = addSquares(x.data(), 0, 4096, size, taper, start);
        EXPECT_EQ(addSquares(x.data() + 4096, 4096, size, size, taper, half), expected) << start;
    }
}

TEST(Engine, APlanOwnsItsRequestAndIsEmittedOnce)
{
    std::vector<double> freq{1000}, amp{5000}, phase{0};
    for (long long budget : {SIGNAL_BUDGET_BYTES, 0LL}) {
        SignalRequest req = requestOf(6000, 600, -15, freq, amp, phase);
        req.budgetBytes = budget;
        req.keepSamples = true;
        SignalPlan plan;
        ASSERT_TRUE(planSignal(req, &plan).ok());
        amp[0] = 1.0;  // the caller's columns change; the plan has its own
        std::vector<int16_t> first, second;
        double level = 0.0;
        ASSERT_TRUE(emitSignal(&plan, collect, &first, &level).ok());
        EXPECT_NEAR(level, -15.0, 0.01);
        EXPECT_EQ(emitSignal(&plan, collect, &second, &level).status, Status::PlanSpent);
        EXPECT_TRUE(second.empty());
        amp[0] = 5000;
    }
}

TEST(Engine, ASinkThatStopsEndsTheRun)
{
    std::vector<double> freq{1000}, amp{1}, phase{0};
    SignalRequest req = requestOf(100000, 0, -15, freq, amp, phase);
    req.budgetBytes = 0;
    for (int threads : {1, 2}) {
        // Workers that have made blocks ahead stop and are joined.
        req.threads = threads;
        req.threadMinWork = 0;
        SignalPlan plan;
        ASSERT_TRUE(planSignal(req, &plan).ok());
        int blocks = 0;
        auto stopAtTwo = [](const unsigned char *, int, void *context) { return ++*static_cast<int *>(context) < 2; };
        double level = 0.0;
        EXPECT_EQ(emitSignal(&plan, stopAtTwo, &blocks, &level).status, Status::Stopped);
        EXPECT_EQ(blocks, 2);
    }
}

TEST(Engine, HighestAcceptedLevelIsExactToTheStep)
{
    // Two tones, 24-bit rounding, levels against a full-scale sine (dc = L - 3.0103).
    std::vector<double> freq{1000, 2500}, amp{1, 0.7}, phase{0, 1};
    SignalRequest req = requestOf(6000, 600, 0, freq, amp, phase);
    SignalPlan plan;
    SignalMeasure m;
    ASSERT_TRUE(measureSignal(req, &plan, &m).ok());
    const LevelTarget target{0.0, SampleFormat::S24, Quantizer::Round};
    auto sine = [](double level, const void *) { return level + -3.0102999566398120; };
    for (bool hundredths : {true, false}) {
        const double step = hundredths ? 0.01 : 1.0;
        double level = 0.0, gain = 0.0, peak = 0.0;
        ASSERT_TRUE(highestAcceptedLevel(m, 6000, 600, target, 1.49, sine, nullptr, hundredths, -200, &level).ok());
        EXPECT_EQ(level * (hundredths ? 100 : 1), std::round(level * (hundredths ? 100 : 1)));
        LevelTarget at = target, above = target;
        at.level = sine(level, nullptr);
        above.level = sine(static_cast<double>(std::lround(level / step) + 1) * step, nullptr);
        EXPECT_TRUE(setLevel(m, 6000, 600, at, 1.49, &gain, &peak).ok()) << level;
        EXPECT_EQ(setLevel(m, 6000, 600, above, 1.49, &gain, &peak).status, Status::Overflow) << level;
    }
}

// The played period is what the whole run stores between the fades, for 3007 ms at
// 48 kHz: 290 periods of 480 samples between the fades and 336 samples of one more,
// whose squares the window's power takes in. The run adds its squares in index order,
// and synthesizes sample n + 480 apart from sample n, so a sample may round the other
// way: by one step of the format at most, and for the integer formats seldom (a float
// has fine steps near 0, where the synthesis' rounding shows).
TEST(PlayedPeriod, IsWhatTheRunStoresBetweenTheFades)
{
    const int size = 144336, taper = 2400;
    const long long period = 480;
    std::vector<double> freq, amp, phase;
    for (int k = 1; k < 60; k += 2) {
        freq.push_back(100.0 * k);
        amp.push_back(1.0);
        phase.push_back(-M_PI * k * (k - 1) / 60);  // Schroeder's, for a low crest factor
    }
    const struct {
        SampleFormat format;
        Quantizer quantizer;
        double step;       // of the samples as read; a float's below 1
        long long differ;  // samples at most
    } cases[] = {
        {SampleFormat::S16, Quantizer::Truncate, 1.0 / 32768, 139},
        {SampleFormat::S24, Quantizer::Round, 1.0 / 8388608, 139},
        {SampleFormat::F32, Quantizer::Truncate, 1.0 / 16777216, 139536},
    };
    for (const auto &c : cases) {
        SignalRequest req = requestOf(size, taper, -12, freq, amp, phase, 48000);
        req.format = c.format;
        req.quantizer = c.quantizer;
        req.keepSamples = true;
        std::vector<double> played;
        Result made = playedPeriod(req, period, &played);
        ASSERT_TRUE(made.ok()) << made.message();
        ASSERT_EQ(played.size(), static_cast<size_t>(period));
        SignalPlan plan;
        double level = 0.0;
        ASSERT_TRUE(planSignal(req, &plan).ok());
        ASSERT_TRUE(emitSignal(&plan, [](const unsigned char *, int, void *) { return true; }, nullptr, &level).ok());
        const double scale = isFloat(c.format) ? 1.0 : fullScaleOf(c.format) + 1.0;
        double worst = 0.0;
        long long differ = 0;
        for (long long n = taper; n < size - taper; n++) {
            const double d = std::fabs(sampleValue(plan.samples, c.format, n) / scale - played[n % period]);
            worst = std::max(worst, d);
            differ += d != 0.0;
        }
        EXPECT_LE(worst, c.step) << nameOf(c.format);
        EXPECT_LE(differ, c.differ) << nameOf(c.format);
    }
    // No whole period between fades of 2400 samples out of 5000.
    std::vector<double> played;
    Result r = playedPeriod(requestOf(5000, 2400, -12, freq, amp, phase, 48000), period, &played);
    EXPECT_EQ(r.message(), "error: the signal holds no whole period (480 samples) between its fades: "
                           "lengthen -t or shorten -T.\n");
}
