// Several realisations of a random-odd design, played periods made by the engine,
// passed through a system in periodic steady state, with white noise, written as float
// WAVE files and analysed together; the results against a Monte Carlo truth of the same
// system made here from many realisations without noise.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "analysis.h"
#include "design.h"
#include "fft.h"
#include "realisations.h"
#include "run_program.h"

namespace {

constexpr double PI = 3.14159265358979323846;
constexpr int RATE = 48000, TAPER_MS = 20, DURATION_MS = 1200, LEVEL = -15;
constexpr long long LEAD = 300;  // samples of silence before the signal
constexpr int R = 8, PERIODS = 4, MONTE_CARLO = 400;
using Complex = std::complex<double>;

// A Wiener system: a low-pass biquad (RBJ, 6 kHz, Q 0.7), then tanh(a x) / a, or nothing
// for a = 0.
struct Wiener {
    double a = 0.0;
    Complex filter(long long k, long long P) const
    {
        const double w0 = 2 * PI * 6000 / RATE, alpha = std::sin(w0) / 1.4, c = std::cos(w0);
        const Complex z1 = std::polar(1.0, -2 * PI * static_cast<double>(k) / static_cast<double>(P));
        return (1 - c) / 2 * (1.0 + z1) * (1.0 + z1) / ((1 + alpha) - 2 * c * z1 + (1 - alpha) * z1 * z1);
    }
    // One period of the steady output for the input spectrum X (bins 0 .. P / 2).
    std::vector<double> output(std::vector<Complex> X, RealTransform *fft) const
    {
        const long long P = fft->size();
        for (long long k = 0; k <= P / 2; k++) fft->spectrum()[k][0] = (X[k] * filter(k, P)).real() / P,
                                              fft->spectrum()[k][1] = (X[k] * filter(k, P)).imag() / P;
        fft->toSignal();
        std::vector<double> y(fft->signal(), fft->signal() + P);
        if (a > 0) for (double &v : y) v = std::tanh(a * v) / a;
        return y;
    }
};

std::vector<Complex> spectrumOf(const std::vector<double> &x, RealTransform *fft)
{
    std::copy(x.begin(), x.end(), fft->signal());
    fft->toSpectrum();
    std::vector<Complex> X;
    for (long long k = 0; k <= fft->size() / 2; k++) X.push_back(fft->bin(k));
    return X;
}

// Random-odd lines on 5 Hz from 5 Hz to 20 kHz (period 9600 samples), equal amplitudes,
// the phases of realisation r drawn from seed r.
PlayedList realisation(const LineSet &lines, uint64_t seed)
{
    PlayedList list;
    list.phase = randomPhases(lines.bins.size(), &seed);
    for (int k : lines.bins) {
        list.freq.push_back(frequencyOf(k, RATE, lines.period));
        list.amp.push_back(1.0);
    }
    return list;
}

// The recording: the steady output under linear fades after LEAD samples of silence,
// and the noise.
void writeRecording(const std::string &path, const PlayedSignal &played, const std::vector<double> &steady,
                    double noise, uint64_t seed)
{
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> gauss(0.0, noise);
    const long long size = played.size, taper = played.taper, P = played.period;
    std::vector<float> samples;
    for (long long n = 0; n < LEAD + size + P; n++) {
        const double t = static_cast<double>(n - LEAD);
        const double env = t < 0 || t >= size ? 0 : t < taper ? t / taper : t > size - taper ? (size - t) / taper : 1;
        samples.push_back(static_cast<float>(env * steady[static_cast<size_t>((n - LEAD + P) % P)] + gauss(rng)));
    }
    SF_INFO info{};
    info.samplerate = RATE;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    sf_writef_float(f, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(f);
}

// The truth at the excited lines from many realisations of the same amplitudes without
// noise: the BLA, and the variance of one realisation's response about it.
struct Truth {
    std::vector<Complex> bla;
    std::vector<double> nonlinear;
};

Truth monteCarlo(const Wiener &system, const PlayedSignal &played, RealTransform *fft)
{
    const size_t N = played.excited.size();
    Truth t{std::vector<Complex>(N), std::vector<double>(N)};
    std::vector<std::vector<Complex>> G(MONTE_CARLO, std::vector<Complex>(N));
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> phase(-PI, PI);
    for (auto &g : G) {
        std::vector<Complex> U(static_cast<size_t>(played.period / 2 + 1));
        for (long long k : played.excited) U[k] = std::polar(std::abs(played.spectrum[k]), phase(rng));
        const std::vector<Complex> Y = spectrumOf(system.output(U, fft), fft);
        for (size_t i = 0; i < N; i++) g[i] = Y[played.excited[i]] / U[played.excited[i]];
    }
    for (size_t i = 0; i < N; i++) {
        for (const auto &g : G) t.bla[i] += g[i] / double(MONTE_CARLO);
        for (const auto &g : G) t.nonlinear[i] += std::norm(g[i] - t.bla[i]) / (MONTE_CARLO - 1.0);
    }
    return t;
}

class Realisations : public TempDirTest {};

}  // namespace

TEST_F(Realisations, AgainstMonteCarlo)
{
    DesignSettings s;
    s.rateHz = RATE;
    s.resolutionHz = 5;
    s.bandLowHz = 5;
    s.bandHighHz = 20000;
    s.lines = LINES_RANDOM_ODD;
    uint64_t random = 3;
    LineSet lines;
    ASSERT_EQ(designLines(s, &random, &lines).message(), "");
    std::vector<PlayedSignal> played(R);
    for (int r = 0; r < R; r++) {
        const Result made = playedSignal(realisation(lines, 100 + r), RATE, samplesOf(RATE, DURATION_MS),
                                         samplesOf(RATE, TAPER_MS), {LEVEL}, lines.period, &played[r]);
        ASSERT_TRUE(made.ok()) << made.message();
    }
    const long long P = lines.period;
    RealTransform fft;
    ASSERT_TRUE(fft.open(P));

    const struct {
        const char *name;
        Wiener system;
        bool nonlinear;
    } rows[] = {{"Wiener system", {3.0}, true}, {"linear system", {0.0}, false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const Truth truth = monteCarlo(row.system, played[0], &fft);
        std::vector<Analysis> analyses(R);
        double noise = 0.0, delay = 0.0;
        for (int r = 0; r < R; r++) {
            const std::vector<double> steady = row.system.output(played[r].spectrum, &fft);
            if (r == 0) {
                double power = 0.0;
                for (double v : steady) power += v * v / P;
                noise = std::sqrt(power) / 100;  // 40 dB below the signal
            }
            writeRecording(path("rec.wav"), played[r], steady, noise, 7 + r);
            Recording rec;
            ASSERT_TRUE(openRecording(path("rec.wav").c_str(), &rec).ok());
            AnalyzeSettings settings;
            settings.maxPeriods = PERIODS;
            const Result analysed = analyze(&rec, played[r], settings, &analyses[r]);
            ASSERT_TRUE(analysed.ok()) << analysed.message();
            ASSERT_EQ(analyses[r].periodsUsed, PERIODS);
            delay += (analyses[r].delay - LEAD) / R;
        }
        BlaResult bla;
        combineRealisations(analyses, &bla);
        ASSERT_EQ(bla.lines.size(), played[0].excited.size());

        // Per line: the truth of the noise variance of the BLA (one period's noise at a
        // bin is P sigma^2) and the errors of the estimates in dB.
        double noiseError = 0.0, nonlinearError = 0.0, detectionError = 0.0, noiseSum = 0.0, nonlinearSum = 0.0;
        int nonlinearCovered = 0, covered = 0, noiseCovered = 0, totalCovered = 0, significant = 0;
        const double N = static_cast<double>(bla.lines.size());
        for (size_t i = 0; i < bla.lines.size(); i++) {
            const BlaLine &l = bla.lines[i];
            double noiseTruth = 0.0;
            for (int r = 0; r < R; r++)
                noiseTruth += P * noise * noise / std::norm(played[r].spectrum[l.bin]) / PERIODS / (R * R);
            noiseError += 10 * std::log10(l.noise / noiseTruth) / N;
            noiseCovered += l.noiseLow <= noiseTruth && noiseTruth <= l.noiseHigh;
            const double totalTruth = noiseTruth + truth.nonlinear[i] / R;
            totalCovered += l.totalLow <= totalTruth && totalTruth <= l.totalHigh;
            nonlinearCovered += l.nonlinearLow <= truth.nonlinear[i] / R && truth.nonlinear[i] / R <= l.nonlinearHigh;
            const double w = 2 * PI * static_cast<double>(l.bin) / static_cast<double>(P);
            covered += std::abs(l.bla - truth.bla[i] * std::polar(1.0, w * delay)) <= l.radius;
            significant += l.significant;
            noiseSum += l.noise;
            nonlinearSum += l.nonlinear;
            if (row.nonlinear) {
                nonlinearError += 10 * std::log10(l.nonlinear / (truth.nonlinear[i] / R)) / N;
                detectionError += 10 * std::log10(l.detection / (truth.nonlinear[i] / R)) / N;
            }
        }
        EXPECT_NEAR(noiseError, 0.0, 1.0);
        // The 95 % intervals hold the truth on as many lines, within about 3.5 standard
        // deviations of a binomial share over 1500 lines; the nonlinear one, made from
        // the ratio of the two variances, is wider than it needs to be.
        const struct {
            const char *what;
            int count;
            double low, high;
        } shares[] = {{"BLA", covered, 0.93, 0.97},
                      {"noise", noiseCovered, 0.93, 0.97},
                      {"total", totalCovered, 0.93, 0.97},
                      {"nonlinear", nonlinearCovered, 0.93, 0.99}};
        for (const auto &share : shares) {
            EXPECT_GE(share.count / N, share.low) << share.what;
            EXPECT_LE(share.count / N, share.high) << share.what;
        }
        if (row.nonlinear) {
            EXPECT_NEAR(nonlinearError, 0.0, 1.0);
            // Each recording's own estimate from its detection lines.
            EXPECT_NEAR(detectionError, 0.0, 2.0);
            EXPECT_GE(significant / N, 0.9);
        } else {
            // Significant at about the 5 % of lines that a test at that level finds by
            // chance, and far below the noise over all lines.
            EXPECT_LE(significant / N, 0.08);
            EXPECT_LE(10 * std::log10(std::max(nonlinearSum, 1e-300) / noiseSum), -10.0);
        }
    }
}

// Through the built programs: the designer's realisations played by sonvel and analysed
// as pairs (a system of gain 1 without noise), and the runs refused.
TEST_F(Realisations, ThroughThePrograms)
{
    const RunResult designed = runProgram(SONVEL_DESIGN_BINARY,
                                          {"-s", "48000", "--resolution", "100", "--band", "100:12000", "--lines",
                                           "random-odd", "--phases", "random", "--realisations", "2", path("l")});
    ASSERT_EQ(designed.status, 0) << designed.err;
    for (const char *r : {"1", "2"}) {
        const RunResult played = runSonvel(
            {"-s", "48000", "-l", "-20", "-f", path("l-") + r + ".txt", path("r") + r + ".wav"});
        ASSERT_EQ(played.status, 0) << played.err;
    }
    writeFile(path("other.txt"), "1000 1 0\n2000 1 0\n");
    const std::vector<std::string> signal = {"-s", "48000", "-l", "-20"};
    const std::string l1 = path("l-1.txt"), l2 = path("l-2.txt"), r1 = path("r1.wav"), r2 = path("r2.wav");
    const struct {
        const char *what;
        std::vector<std::string> operands;
        const char *error;  // a part of the one error line; nullptr for a run that succeeds
    } rows[] = {
        {"two pairs", {l1, r1, l2, r2}, nullptr},
        {"two pairs as JSON", {"--json", l1, r1, l2, r2}, nullptr},
        {"three operands", {l1, r1, l2}, "3 operands make no pairs"},
        {"one pair", {l1, r1}, "give the list with -f"},
        {"-f with pairs", {"-f", l1, l1, r1, l2, r2}, "one recording at a time"},
        {"--plot", {"--plot", path("p.png"), l1, r1, l2, r2}, "--plot"},
        {"lists of other lines", {l1, r1, path("other.txt"), r2}, "pairs 1 and 2"},
        {"a missing recording", {l1, r1, l2, path("none.wav")}, "pair 2"},
    };
    size_t tableRows = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> args = signal;
        args.insert(args.end(), row.operands.begin(), row.operands.end());
        const RunResult r = runProgram(SONVEL_ANALYZE_BINARY, args);
        if (row.error) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
            EXPECT_NE(r.err.find(row.error), std::string::npos) << r.err;
            continue;
        }
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        if (row.operands[0] == "--json") {
            // An object a line of the table.
            size_t objects = 0;
            for (size_t at = 0; (at = r.out.find("{\"freq_hz\": ", at)) != std::string::npos; at++) objects++;
            EXPECT_EQ(objects, tableRows);
            continue;
        }
        // One row of names, then one row a line with as many fields and a gain of 0 dB.
        std::istringstream lines(r.out);
        size_t columns = 0;
        for (std::string line; std::getline(lines, line);) {
            if (line[0] == '#') continue;
            std::vector<std::string> fields;
            std::istringstream split(line);
            for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
            if (columns == 0) {
                EXPECT_EQ(fields[0], "freq_hz");
                columns = fields.size();
                continue;
            }
            EXPECT_EQ(fields.size(), columns) << line;
            EXPECT_LT(std::fabs(std::stod(fields[1])), 1e-4) << line;
            tableRows++;
        }
        EXPECT_EQ(columns, 17u);
        EXPECT_GT(tableRows, 40u);
    }
}
