// The clock of the recorder against the player's: sonvel's float output, as a recorder
// whose clock runs ppm fast holds it (resampled here by libsoxr at its very high
// quality), analysed against the same recording on the player's clock.
#include <gtest/gtest.h>

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "analysis.h"
#include "design.h"
#include "engine.h"
#include "report.h"
#include "run_program.h"

namespace {

constexpr int RATE = 48000, MS = 30000, TAPER_MS = 20, LEVEL = -12;
constexpr long long LEAD = 300, REFERENCE_LEAD = 40;  // frames of silence before the signal

// A random-odd multisine on 100 Hz lines from 100 Hz to 20 kHz (period 480 samples).
PlayedList designList()
{
    DesignSettings s;
    s.rateHz = RATE;
    s.resolutionHz = 100;
    s.bandLowHz = 100;
    s.bandHighHz = 20000;
    s.lines = LINES_RANDOM_ODD;
    uint64_t random = 5;
    LineSet lines;
    EXPECT_EQ(designLines(s, &random, &lines).message(), "");
    PlayedList list;
    list.phase = randomPhases(lines.bins.size(), &random);
    for (int k : lines.bins) {
        list.freq.push_back(100.0 * k);
        list.amp.push_back(1.0);
    }
    return list;
}

SignalRequest requestFor(const PlayedList &list)
{
    SignalRequest req = signalRequest(static_cast<int>(samplesOf(RATE, MS)), static_cast<int>(samplesOf(RATE, TAPER_MS)),
                                      LEVEL, list.freq.data(), list.amp.data(), list.phase.data(),
                                      static_cast<int>(list.freq.size()), RATE);
    req.format = SampleFormat::F32;
    req.keepSamples = true;
    return req;
}

// The float samples sonvel writes for the list, through the engine's own run.
std::vector<double> sonvelSamples(const PlayedList &list)
{
    SignalRequest req = requestFor(list);
    SignalPlan plan;
    EXPECT_TRUE(planSignal(req, &plan).ok());
    double level = 0.0;
    EXPECT_TRUE(emitSignal(&plan, [](const unsigned char *, int, void *) { return true; }, nullptr, &level).ok());
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(req.size));
    for (int n = 0; n < req.size; n++) samples.push_back(sampleValue(plan.samples, SampleFormat::F32, n));
    return samples;
}

// The recording, interleaved: the signal after LEAD frames of silence, and with a
// reference the signal halved after REFERENCE_LEAD frames; a period of silence after
// both; on a recorder whose clock runs ppm fast.
std::vector<double> recording(const std::vector<double> &signal, bool reference, double ppm)
{
    const size_t channels = reference ? 2 : 1, frames = signal.size() + LEAD + 480;
    std::vector<double> in(frames * channels, 0.0);
    for (size_t n = 0; n < signal.size(); n++) {
        in[(n + LEAD) * channels] = signal[n];
        if (reference) in[(n + REFERENCE_LEAD) * 2 + 1] = 0.5 * signal[n];
    }
    if (ppm == 0.0) return in;
    // Block by block, as a recorder's stream would be.
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    soxr_error_t error = nullptr;
    soxr_t soxr = soxr_create(1.0, 1.0 + ppm * 1e-6, static_cast<unsigned>(channels), &error, &io, &quality, nullptr);
    EXPECT_EQ(error, nullptr);
    const size_t BLOCK = 16384;
    std::vector<double> out, block(2 * BLOCK * channels);
    out.reserve(in.size() + in.size() / 1000 + 64);
    for (size_t at = 0;;) {
        const size_t n = std::min(BLOCK, frames - at);
        size_t made = 0;
        soxr_process(soxr, n > 0 ? in.data() + at * channels : nullptr, n, nullptr, block.data(), 2 * BLOCK, &made);
        out.insert(out.end(), block.begin(), block.begin() + static_cast<long>(made * channels));
        at += n;
        if (n == 0 && made == 0) break;
    }
    soxr_delete(soxr);
    return out;
}

class AnalyzeDrift : public TempDirTest {
protected:
    Analysis analyzed(const std::vector<double> &frames, int channels, const PlayedSignal &played,
                      AnalyzeSettings settings)
    {
        SF_INFO info{};
        info.samplerate = RATE;
        info.channels = channels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE *f = sf_open(path("rec.wav").c_str(), SFM_WRITE, &info);
        EXPECT_NE(f, nullptr);
        sf_writef_double(f, frames.data(), static_cast<sf_count_t>(frames.size() / channels));
        sf_close(f);
        Recording rec;
        EXPECT_EQ(openRecording(path("rec.wav").c_str(), &rec).message(), "");
        settings.reference = channels == 2 ? 2 : 0;
        Analysis a;
        EXPECT_EQ(analyze(&rec, played, settings, &a).message(), "");
        return a;
    }
};

// The table without its clock line.
std::string withoutClock(const Analysis &a)
{
    ReportContext c;
    c.rateHz = RATE;
    std::string t = textReport(c, a);
    const size_t at = t.find("# clock:");
    return at == std::string::npos ? t : t.erase(at, t.find('\n', at) + 1 - at);
}

struct DriftCase {
    double ppm;
    bool reference;
    DriftMode mode;
};

}  // namespace

TEST_F(AnalyzeDrift, MeasuredAndCorrected)
{
    const PlayedList list = designList();
    long long P = 0;
    ASSERT_TRUE(findPeriod(list, RATE, &P).ok());
    const std::vector<double> signal = sonvelSamples(list);
    LevelTarget target;
    target.level = LEVEL;
    target.format = SampleFormat::F32;
    PlayedSignal played;
    ASSERT_EQ(playedSignal(list, RATE, static_cast<long long>(signal.size()), samplesOf(RATE, TAPER_MS), target, P,
                           &played)
                  .message(),
              "");

    // On the player's clock: nothing to correct, and nothing changed by it.
    Analysis still[2];
    for (bool reference : {false, true}) {
        AnalyzeSettings settings;
        const std::vector<double> frames = recording(signal, reference, 0.0);
        still[reference] = analyzed(frames, reference ? 2 : 1, played, settings);
        settings.drift = DriftMode::Off;
        EXPECT_EQ(withoutClock(still[reference]), withoutClock(analyzed(frames, reference ? 2 : 1, played, settings)));
        EXPECT_NEAR(still[reference].driftPpm, 0.0, 0.02);
        EXPECT_FALSE(still[reference].driftCorrected);
    }

    const DriftCase cases[] = {
        {1, false, DriftMode::Auto},   {-1, false, DriftMode::Auto}, {10, false, DriftMode::Auto},
        {-10, true, DriftMode::Auto},  {100, true, DriftMode::Auto}, {-100, false, DriftMode::Auto},
        {20, false, DriftMode::Given}, {20, false, DriftMode::Off},
    };
    for (const DriftCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.ppm << " ppm" << (c.reference ? " with a reference" : "") << ", mode "
                                        << static_cast<int>(c.mode));
        AnalyzeSettings settings;
        settings.drift = c.mode;
        settings.driftPpm = c.ppm;
        const Analysis a = analyzed(recording(signal, c.reference, c.ppm), c.reference ? 2 : 1, played, settings);
        EXPECT_NEAR(a.driftPpm, c.ppm, 0.02);
        EXPECT_EQ(a.driftCorrected, c.mode != DriftMode::Off);
        if (!a.driftCorrected) continue;
        // Where played sample 0 lies in the recording's own frames.
        EXPECT_NEAR(a.delay, LEAD * (1.0 + c.ppm * 1e-6), 0.01);
        const Analysis &b = still[c.reference];
        ASSERT_EQ(a.excited.size(), b.excited.size());
        for (size_t i = 0; i < a.excited.size(); i++) {
            if (a.excited[i].freqHz > 20000) continue;
            EXPECT_NEAR(a.excited[i].gainOrLevelDb, b.excited[i].gainOrLevelDb, 0.02) << a.excited[i].freqHz;
            EXPECT_NEAR(std::remainder(a.excited[i].phaseDeg - b.excited[i].phaseDeg, 360.0), 0.0, 0.2)
                << a.excited[i].freqHz;
        }
        for (const LineResult &l : a.other) {
            if (l.kind == LINE_OUT_OF_BAND) continue;
            EXPECT_LT(l.gainOrLevelDb, -100.0) << l.freqHz << " " << kindName(l.kind);
        }
    }
}
