// The analysis on recordings made here from the engine's own output (the samples sonvel
// writes), passed through systems with a known answer and written as float WAVE files:
// FIR and IIR filters, a fractional latency, white noise and a static polynomial.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <complex>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "analysis.h"
#include "design.h"
#include "engine.h"
#include "report.h"
#include "run_program.h"

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr int RATE = 48000;
constexpr int TAPER_MS = 20;

LevelTarget at(double level)
{
    LevelTarget target;
    target.level = level;
    return target;
}

// A multisine of the designer's lines on a grid of resolutionHz (the period) in a band,
// random phases.
PlayedList designedList(LineRule rule, int resolutionHz, int lowHz, int highHz)
{
    DesignSettings s;
    s.rateHz = RATE;
    s.resolutionHz = resolutionHz;
    s.bandLowHz = lowHz;
    s.bandHighHz = highHz;
    s.lines = rule;
    uint64_t random = 7;
    LineSet lines;
    EXPECT_EQ(checkSettings(s).message(), "");
    EXPECT_EQ(designLines(s, &random, &lines).message(), "");
    PlayedList list;
    list.phase = randomPhases(lines.bins.size(), &random);
    for (int k : lines.bins) {
        list.freq.push_back(static_cast<double>(resolutionHz) * k);
        list.amp.push_back(1.0);
    }
    return list;
}

// A random-odd multisine on 100 Hz lines from 100 Hz to 12 kHz (period 480 samples).
PlayedList randomOddList() { return designedList(LINES_RANDOM_ODD, 100, 100, 12000); }

// The signal sonvel writes for the list, through the engine's own run: 16-bit samples
// (sonvelSamples), or as libsndfile reads samples of any format (sonvelValues).
std::vector<double> sonvelValues(const PlayedList &list, int ms, int level, SampleFormat format)
{
    SignalRequest req = signalRequest(static_cast<int>(samplesOf(RATE, ms)),
                                      static_cast<int>(samplesOf(RATE, TAPER_MS)), level, list.freq.data(),
                                      list.amp.data(), list.phase.data(), static_cast<int>(list.freq.size()), RATE);
    req.keepSamples = true;
    req.format = format;
    SignalPlan plan;
    EXPECT_TRUE(planSignal(req, &plan).ok());
    double level16 = 0.0;
    EXPECT_TRUE(emitSignal(&plan, [](const unsigned char *, int, void *) { return true; }, nullptr, &level16).ok());
    const double scale = format == SampleFormat::F32 ? 1.0 : 32768.0;
    std::vector<double> values;
    for (int n = 0; n < req.size; n++) values.push_back(sampleValue(plan.samples, format, n) / scale);
    return values;
}

std::vector<int16_t> sonvelSamples(const PlayedList &list, int ms, int level)
{
    std::vector<int16_t> samples;
    for (double v : sonvelValues(list, ms, level, SampleFormat::S16)) samples.push_back(static_cast<int16_t>(v * 32768.0));
    return samples;
}

// A system under test, applied in periodic steady state at the lines of the period.
struct System {
    std::vector<double> fir;                    // taps; empty: none
    std::vector<std::vector<double>> biquads;   // b0 b1 b2 a1 a2 each
    double latency = 0.0;                       // samples
    double gain = 1.0;
    std::complex<double> response(double w) const
    {
        std::complex<double> h = gain * std::polar(1.0, -w * latency);
        if (!fir.empty()) {
            std::complex<double> f;
            for (size_t m = 0; m < fir.size(); m++) f += fir[m] * std::polar(1.0, -w * static_cast<double>(m));
            h *= f;
        }
        for (const auto &q : biquads) {
            const std::complex<double> z1 = std::polar(1.0, -w), z2 = z1 * z1;
            h *= (q[0] + q[1] * z1 + q[2] * z2) / (1.0 + q[3] * z1 + q[4] * z2);
        }
        return h;
    }
};

// A band-pass biquad (RBJ, 0 dB at the centre).
std::vector<double> bandPass(double f0, double q)
{
    const double w0 = 2 * PI * f0 / RATE, alpha = std::sin(w0) / (2 * q), a0 = 1 + alpha;
    return {alpha / a0, 0.0, -alpha / a0, -2 * std::cos(w0) / a0, (1 - alpha) / a0};
}

// The DFT of one period and back, on the bins 0 .. n / 2 of a real signal.
std::vector<std::complex<double>> dft(const std::vector<double> &x)
{
    const size_t n = x.size();
    std::vector<std::complex<double>> X(n / 2 + 1);
    for (size_t k = 0; k <= n / 2; k++)
        for (size_t t = 0; t < n; t++) X[k] += x[t] * std::polar(1.0, -2 * PI * double(k * t % n) / double(n));
    return X;
}
std::vector<double> idft(const std::vector<std::complex<double>> &X, size_t n)
{
    std::vector<double> x(n);
    for (size_t t = 0; t < n; t++) {
        double v = X[0].real();
        for (size_t k = 1; 2 * k < n; k++) v += 2 * (X[k] * std::polar(1.0, 2 * PI * double(k * t % n) / double(n))).real();
        if (n % 2 == 0) v += X[n / 2].real() * ((t % 2) ? -1 : 1);
        x[t] = v / double(n);
    }
    return x;
}

void writeWave(const std::string &path, const std::vector<double> &frames, int channels, int format)
{
    SF_INFO info{};
    info.samplerate = RATE;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | format;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    if (format == SF_FORMAT_PCM_16) sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    sf_writef_double(f, frames.data(), static_cast<sf_count_t>(frames.size() / channels));
    sf_close(f);
}

// The played period (from a multiple of the period between the fades) and the
// recording of the system's response to the whole signal: the steady response,
// delayed by the latency, under the played signal's fades, after `lead` samples of
// silence; then the polynomial and the noise.
struct Recorded {
    std::vector<double> played;    // one period, as libsndfile reads the 16-bit samples
    std::vector<double> response;  // one period of the steady response
    std::vector<double> samples;   // the whole recording
};

Recorded record(const std::vector<int16_t> &signal, long long period, const System &system, double poly2,
                double poly3, double noise, uint64_t seed, long long lead = 0)
{
    const long long size = static_cast<long long>(signal.size()), taper = samplesOf(RATE, TAPER_MS);
    const long long first = (taper + period - 1) / period * period;
    Recorded r;
    for (long long n = 0; n < period; n++) r.played.push_back(signal[static_cast<size_t>(first + n)] / 32768.0);
    std::vector<std::complex<double>> X = dft(r.played);
    for (size_t k = 0; k < X.size(); k++) X[k] *= system.response(2 * PI * double(k) / double(period));
    r.response = idft(X, static_cast<size_t>(period));
    for (double &v : r.response) v = v + poly2 * v * v + poly3 * v * v * v;
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> gauss(0.0, noise);
    const long long total = lead + size + period;
    for (long long n = 0; n < total; n++) {
        const double t = static_cast<double>(n - lead) - system.latency;  // played time
        double env = t < 0 || t >= size ? 0.0 : t < taper ? t / taper : t > size - taper ? (size - t) / taper : 1.0;
        const long long at = (((n - lead - first) % period) + period) % period;
        r.samples.push_back(env * r.response[static_cast<size_t>(at)] + (noise > 0 ? gauss(rng) : 0.0));
    }
    return r;
}

// The recording of the whole signal through the system in the time domain, start and
// end transients and all: `lead` samples of silence, the FIR, the biquads, the gain and
// a latency of whole samples, and `tail` samples after the signal.
std::vector<double> filtered(const std::vector<double> &signal, const System &system, long long lead, long long tail)
{
    std::vector<double> x(static_cast<size_t>(lead + static_cast<long long>(system.latency)), 0.0);
    x.insert(x.end(), signal.begin(), signal.end());
    x.resize(x.size() + static_cast<size_t>(tail), 0.0);
    if (!system.fir.empty()) {
        std::vector<double> y(x.size(), 0.0);
        for (size_t n = 0; n < x.size(); n++)
            for (size_t m = 0; m < system.fir.size() && m <= n; m++) y[n] += system.fir[m] * x[n - m];
        x.swap(y);
    }
    for (const auto &q : system.biquads) {
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
        for (double &v : x) {
            const double y = q[0] * v + q[1] * x1 + q[2] * x2 - q[3] * y1 - q[4] * y2;
            x2 = x1, x1 = v, y2 = y1, y1 = y;
            v = y;
        }
    }
    for (double &v : x) v *= system.gain;
    return x;
}

// A resonance: the band-pass added to the signal, gain times the signal at f0.
std::vector<double> resonance(double f0, double q, double gain)
{
    const std::vector<double> b = bandPass(f0, q);
    const double g = gain - 1.0;
    return {1.0 + g * b[0], b[3] + g * b[1], b[4] + g * b[2], b[3], b[4]};
}

std::vector<double> interleave(const std::vector<double> &a, const std::vector<double> &b)
{
    std::vector<double> out;
    for (size_t i = 0; i < a.size(); i++) out.push_back(a[i]), out.push_back(b[i]);
    return out;
}

class AnalyzeSystems : public TempDirTest {};

}  // namespace

TEST(AnalyzePeriod, FromTheDesignerOrTheFrequencies)
{
    PlayedList list;
    list.freq = {1000, 1500, 2250};
    list.amp = {1, 1, 1};
    list.phase = {0, 0, 0};
    auto periodAt = [&list](int rateHz) {
        long long period = 0;
        return findPeriod(list, rateHz, &period).ok() ? period : 0;
    };
    EXPECT_EQ(periodAt(48000), 192);  // 1/48, 1/32 and 3/64 cycles a sample
    list.designerPeriod = 4800;
    list.designerRate = 48000;
    EXPECT_EQ(periodAt(48000), 4800);  // the designer's own grid
    EXPECT_EQ(periodAt(44100), 882);   // written for another rate: found
    list.freq = {1000 * std::sqrt(2.0), 1000 * std::sqrt(3.0)};
    list.amp = list.phase = {0, 0};
    long long period = 0;
    const std::string message = findPeriod(list, 48000, &period).message();
    EXPECT_EQ(message.rfind("error: no period of at most 100000000 samples", 0), 0u) << message;
}

// One row: a system, what it adds, and what the analysis must find.
struct Row {
    const char *name;
    System system;
    double poly2 = 0, poly3 = 0, noise = 0;
    int ms = 2000, level = -12;
    bool reference = false;     // a loopback channel of the played signal, halved and delayed
    double delayTruth = NAN;    // where the delay is known
    double referenceNoise = 0;  // white noise on the loopback channel
};

TEST_F(AnalyzeSystems, KnownAnswers)
{
    System latency;
    latency.latency = 123.4;
    System fir;
    fir.fir = {0.6, 0.25, -0.15, 0.05, 0.02};
    fir.latency = 123.4;
    System iir;
    iir.biquads = {bandPass(2000, 1.2), bandPass(2600, 1.2)};
    iir.latency = 123.4;
    System identity;
    const Row rows[] = {
        {"latency", latency, 0, 0, 0, 2000, -12, false, 123.4},
        {"FIR and latency", fir},
        {"IIR band-pass and latency", iir},
        {"white noise", identity, 0, 0, 2e-4, 10000},
        {"polynomial", identity, 0.01, 0.003},
        {"FIR through a loopback reference", fir, 0, 0, 0, 2000, -12, true},
        {"FIR through a noisy loopback reference", fir, 0, 0, 0, 2000, -12, true, NAN, 2e-4},
    };
    const PlayedList list = randomOddList();
    long long P = 0;
    ASSERT_TRUE(findPeriod(list, RATE, &P).ok());
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<int16_t> signal = sonvelSamples(list, row.ms, row.level);
        Recorded rec = record(signal, P, row.system, row.poly2, row.poly3, row.noise, 11, 300);
        if (row.reference) {
            System loop;
            loop.gain = 0.5;
            loop.latency = 40.25;
            Recorded ref = record(signal, P, loop, 0, 0, row.referenceNoise, 12, 300);
            writeWave(path("rec.wav"), interleave(rec.samples, ref.samples), 2, SF_FORMAT_FLOAT);
        } else {
            writeWave(path("rec.wav"), rec.samples, 1, SF_FORMAT_FLOAT);
        }
        PlayedSignal played;
        Result r = playedSignal(list, RATE, static_cast<long long>(signal.size()), samplesOf(RATE, TAPER_MS),
                                at(row.level), P, &played);
        ASSERT_TRUE(r.ok()) << r.message();
        Recording file;
        r = openRecording(path("rec.wav").c_str(), &file);
        ASSERT_TRUE(r.ok()) << r.message();
        AnalyzeSettings settings;
        settings.reference = row.reference ? 2 : 0;
        Analysis a;
        r = analyze(&file, played, settings, &a);
        ASSERT_TRUE(r.ok()) << r.message();
        EXPECT_GE(a.periodsUsed, row.ms / 10 - 10);

        // The delay: where it is known, to 0.01 sample (after the 300 samples of silence).
        if (!std::isnan(row.delayTruth)) {
            EXPECT_NEAR(a.delay, 300 + row.delayTruth, 0.01);
        }
        const double removed = row.reference ? a.delay - a.referenceDelay : a.delay - 300;
        const std::vector<std::complex<double>> U = dft(played.samples);
        double signalPower = 0.0, noisePower = 0.0;
        for (const LineResult &l : a.excited) {
            const double w = 2 * PI * static_cast<double>(l.bin) / static_cast<double>(P);
            std::complex<double> h = row.system.response(w) * std::polar(1.0, w * removed);
            if (row.reference) h *= 2.0 * std::polar(1.0, w * 40.25);
            if (row.poly2 != 0 || row.noise != 0) {
                // The linear part unchanged.
                EXPECT_NEAR(l.gainOrLevelDb, 0.0, 0.05) << l.freqHz;
            } else if (l.snrDb > 60) {
                EXPECT_NEAR(l.gainOrLevelDb, 20 * std::log10(std::abs(h)), 0.01) << l.freqHz;
                EXPECT_NEAR(std::remainder(l.phaseDeg - std::arg(h) * 180 / PI, 360.0), 0.0, 0.1) << l.freqHz;
            }
            if (row.noise != 0) {
                // One period's noise at the line: P sigma^2 in the transform.
                const double truth = 10 * std::log10(P * row.noise * row.noise / std::norm(U[l.bin]));
                EXPECT_NEAR(l.noiseDb, truth, 1.0) << l.freqHz;
                signalPower += std::norm(U[l.bin]);
                noisePower += P * row.noise * row.noise;
            }
        }
        if (row.noise != 0) {
            EXPECT_NEAR(a.snrDb, 10 * std::log10(signalPower / noisePower), 0.5);
        }
        if (row.referenceNoise != 0) {
            // The ratio's noise: |G|^2 P sigma^2 / |U|^2 at each line, G = 2 H, U = X / 2;
            // the total SNR weighs the lines by the input power, as without a reference.
            double output = 0.0, noise = 0.0;
            for (long long k : played.excited) {
                const double h2 = std::norm(row.system.response(2 * PI * double(k) / double(P)));
                output += h2 * std::norm(U[k]);
                noise += 4 * h2 * P * row.referenceNoise * row.referenceNoise;
            }
            EXPECT_NEAR(a.snrDb, 10 * std::log10(output / noise), 0.5);
        }

        if (row.poly2 != 0) {
            // The detection lines against the same polynomial on the played period, less
            // the played period's own content there through the polynomial's linear gain.
            const std::vector<std::complex<double>> Y = dft(rec.response);
            double excited = 0.0, input = 0.0, odd = 0.0, even = 0.0;
            std::complex<double> cross;
            for (long long k : played.excited) {
                excited += std::norm(Y[k]);
                input += std::norm(U[k]);
                cross += Y[k] * std::conj(U[k]);
            }
            const std::complex<double> linear = cross / input;
            for (const LineResult &l : a.other) {
                if (l.kind == LINE_OUT_OF_BAND) continue;
                const double power = std::norm(Y[l.bin] - linear * U[l.bin]);
                const double truth = 10 * std::log10(power / (excited / played.excited.size()));
                EXPECT_NEAR(l.gainOrLevelDb, truth, 1.0) << l.freqHz << " " << kindName(l.kind);
                (l.kind == LINE_ODD ? odd : even) += power;
            }
            EXPECT_NEAR(a.oddDb, 10 * std::log10(odd / excited), 1.0);
            EXPECT_NEAR(a.evenDb, 10 * std::log10(even / excited), 1.0);
            EXPECT_LT(a.evenDb, -30);  // distortion that shows, not the floor
            EXPECT_LT(a.oddDb, -30);
            EXPECT_GT(a.evenDb, -80);
            EXPECT_GT(a.oddDb, -80);
        }
    }
}

// Faults of a measuring rig, each through a noise-free system with a known answer: where
// the signal lies (the delay, the polarity, the onset) and the window of periods (the
// fade-in's and the fade-out's reach, the system's start transient).
struct RigFault {
    const char *name;
    const PlayedList *list;
    System system;
    // With the system's transients, at a latency of whole samples, on float samples (so
    // that no 16-bit truncation shows at the detection lines); else 16-bit, steady.
    bool timeDomain = false;
    int ms = 2000;
    long long cutFrom = 0, cutTo = 0;  // the part of the recording kept (0, 0: all)
    long long settle = -1;             // samples
    bool inverted = false;
    OnsetKind onset = ONSET_FOUND;
};

TEST_F(AnalyzeSystems, RigFaults)
{
    const PlayedList odd = randomOddList(), all = designedList(LINES_ALL, 100, 100, 12000);
    const PlayedList fine = designedList(LINES_RANDOM_ODD, 10, 10, 2000);  // 40 and 100 Hz detection lines
    System inverter;
    inverter.gain = -1.0;
    inverter.latency = 37.3;
    System latency;
    latency.latency = 37.3;
    System invertingFir = inverter;
    invertingFir.fir = {0.6, 0.25, -0.15, 0.05, 0.02};
    System longFir;  // its peak 1500 samples in: 3 periods of 480 reach into the fade-out
    std::mt19937_64 rng(3);
    std::normal_distribution<double> gauss(0.0, 0.01);
    for (int m = 0; m < 1500; m++) longFir.fir.push_back(gauss(rng));
    longFir.fir.push_back(1.0);
    longFir.latency = 37;
    System at40, at100;
    at40.biquads = {resonance(40, 50, 4)};
    at100.biquads = {resonance(100, 50, 4)};
    const long long half = samplesOf(RATE, 1000);
    const RigFault rows[] = {
        {"an inverter on an odd design, no settling", &odd, inverter, false, 2000, 0, 0, 0, true},
        {"an inverting FIR on an all design", &all, invertingFir, false, 2000, 0, 0, -1, true},
        {"neither fade in the recording", &odd, latency, false, 3000, half, 2 * half, -1, false, ONSET_UNKNOWN},
        {"the recording starts after the signal", &all, invertingFir, false, 2000, 3000, 0, -1, true,
         ONSET_BEFORE_RECORDING},
        {"a long FIR near the fade-out", &odd, longFir, true},
        {"a resonance at 40 Hz, Q 50", &fine, at40, true, 30000},
        {"a resonance at 100 Hz, Q 50", &fine, at100, true, 30000},
        {"a resonance at 100 Hz, Q 50, settling too short", &fine, at100, true, 30000, 0, 0, samplesOf(RATE, 200)},
    };
    const long long lead = 300;
    for (const RigFault &row : rows) {
        SCOPED_TRACE(row.name);
        long long P = 0;
        ASSERT_TRUE(findPeriod(*row.list, RATE, &P).ok());
        LevelTarget target = at(-12);
        target.format = row.timeDomain ? SampleFormat::F32 : SampleFormat::S16;
        std::vector<double> samples =
            row.timeDomain ? filtered(sonvelValues(*row.list, row.ms, -12, target.format), row.system, lead, P)
                           : record(sonvelSamples(*row.list, row.ms, -12), P, row.system, 0, 0, 0, 1, lead).samples;
        samples.erase(samples.begin() + (row.cutTo ? row.cutTo : samples.size()), samples.end());
        samples.erase(samples.begin(), samples.begin() + row.cutFrom);
        writeWave(path("rec.wav"), samples, 1, SF_FORMAT_FLOAT);
        PlayedSignal played;
        Result r = playedSignal(*row.list, RATE, samplesOf(RATE, row.ms), samplesOf(RATE, TAPER_MS), target, P,
                                &played);
        ASSERT_TRUE(r.ok()) << r.message();
        Recording file;
        ASSERT_TRUE(openRecording(path("rec.wav").c_str(), &file).ok());
        AnalyzeSettings settings;
        settings.settle = row.settle;
        Analysis a;
        r = analyze(&file, played, settings, &a);
        ASSERT_TRUE(r.ok()) << r.message();

        // The delay of a pure latency within 0.01 sample of the truth (modulo the period
        // where no fade places it), never negative; the polarity and onset as they are.
        const double truth = lead + row.system.latency - static_cast<double>(row.cutFrom);
        const double delayError = row.onset == ONSET_FOUND ? a.delay - truth : std::remainder(a.delay - truth, P);
        if (row.system.fir.empty() && row.system.biquads.empty()) {
            EXPECT_NEAR(delayError, 0.0, 0.01) << a.delay;
        }
        EXPECT_GE(a.delay, 0.0);
        EXPECT_EQ(a.inverted, row.inverted);
        EXPECT_EQ(a.onset, row.onset);
        EXPECT_EQ(textReport(ReportContext(), a).find("# polarity: inverted") != std::string::npos, row.inverted);
        // A transient left in with the settling time given: the warning names the
        // settling time that removes it, and that one does.
        // (The transient's periods may also be left out as outliers, with their own warning.)
        const auto settleWarnings = std::count_if(a.warnings.begin(), a.warnings.end(), [](const std::string &w) {
            return w.find("--settle ") != std::string::npos;
        });
        EXPECT_EQ(settleWarnings, row.settle > 0 ? 1 : 0);
        if (!a.warnings.empty()) {
            const size_t named = a.warnings[0].find("--settle ");
            ASSERT_NE(named, std::string::npos) << a.warnings[0];
            settings.settle = samplesOf(RATE, std::atoi(a.warnings[0].c_str() + named + 9));
            a = Analysis();
            ASSERT_TRUE(analyze(&file, played, settings, &a).ok());
            EXPECT_TRUE(a.warnings.empty()) << a.warnings[0];
        }
        // The response of the system as it is (not inverted) with the delay removed, and
        // nothing else: no fade, no transient, at any line.
        const std::string report = textReport(ReportContext(), a);
        EXPECT_GT(a.snrDb, 100.0) << report;
        const double sign = row.inverted ? -1.0 : 1.0;
        for (const LineResult &l : a.excited) {
            const double w = 2 * PI * static_cast<double>(l.bin) / static_cast<double>(P);
            const std::complex<double> h =
                sign * row.system.response(w) * std::polar(1.0, w * (a.delay - truth + row.system.latency));
            EXPECT_NEAR(l.gainOrLevelDb, 20 * std::log10(std::abs(h)), 0.01) << l.freqHz;
            EXPECT_NEAR(std::remainder(l.phaseDeg - std::arg(h) * 180 / PI, 360.0), 0.0, 0.1) << l.freqHz;
        }
        for (const LineResult &l : a.other)
            if (row.timeDomain && l.kind != LINE_OUT_OF_BAND) {
                EXPECT_LT(l.gainOrLevelDb, -100.0) << l.freqHz;
            }
    }
}
