// The run's signal made in blocks: kept whole within the memory budget, made twice
// beyond it, and in either way the same bytes and messages as generateComplexSine.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "gen_signal.h"

namespace {

struct Made {
    std::vector<int16_t> samples;
    std::string err;
    double level = 0.0;
    std::vector<int16_t> kept;
};

void collect(int16_t *s, int count, void *context)
{
    auto *out = static_cast<std::vector<int16_t> *>(context);
    out->insert(out->end(), s, s + count);
}

Made makeInBlocks(SignalRequest req, long long budgetBytes)
{
    Made m;
    req.budgetBytes = budgetBytes;
    req.keepSamples = true;
    SignalPlan plan;
    testing::internal::CaptureStderr();
    if (prepareSignal(&req, &plan) == 0) {
        m.level = emitSignal(&req, &plan, collect, &m.samples);
        m.kept.assign(plan.samples, plan.samples + req.size);
    }
    m.err = testing::internal::GetCapturedStderr();
    return m;
}

}  // namespace

TEST(SignalInBlocks, BothWaysGiveTheBytesOfTheWholeSignal)
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
    };
    for (const Case &c : cases) {
        SignalRequest req;
        req.size = c.size;
        req.taper = c.taper;
        req.level = c.level;
        req.freq = c.freq.data();
        req.amp = c.amp.data();
        req.phase = c.phase.data();
        req.count = static_cast<int>(c.freq.size());
        req.fs = 12000;
        req.kernel = chooseKernel();

        testing::internal::CaptureStderr();
        std::unique_ptr<int16_t[], FreeDeleter> whole(
            generateComplexSine(c.size, c.taper, c.level, req.freq, req.amp, req.phase,
                                req.count, req.fs, nullptr));
        const std::string err = testing::internal::GetCapturedStderr();

        for (long long budget : {SIGNAL_BUDGET_BYTES, 0LL}) {
            Made m = makeInBlocks(req, budget);
            EXPECT_EQ(m.err, err) << c.size << " budget " << budget;
            if (!whole) {
                EXPECT_TRUE(m.samples.empty());
                continue;
            }
            std::vector<int16_t> expected(whole.get(), whole.get() + c.size);
            EXPECT_EQ(m.samples, expected) << c.size << " budget " << budget;
            EXPECT_EQ(m.kept, expected) << c.size << " budget " << budget;
            EXPECT_EQ(m.level, calcPower(whole.get(), BUF_SHORT, c.size, c.taper));
        }
    }
}
