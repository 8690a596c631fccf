// Realisations of a random-odd design, played periods made by the engine, through a
// system in periodic steady state with white noise, written as float WAVE files and
// analysed together; against a Monte Carlo truth made here without noise.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numeric>
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
constexpr int RATE = 48000, TAPER_MS = 20, DURATION_MS = 1400, LEVEL = -15;
constexpr long long LEAD = 300;  // samples of silence before the signal
constexpr int R = 8, PERIODS = 4, MONTE_CARLO = 400;

// A Wiener system: an FIR low-pass, then tanh(a x) / a (nothing for a = 0). output gives
// one period of its steady output for the input spectrum X (bins 0 .. P / 2).
struct Wiener {
    double a = 0.0;
    std::vector<double> output(std::vector<Complex> X, RealTransform *fft) const
    {
        const long long P = fft->size();
        for (long long k = 0; k <= P / 2; k++) {
            const Complex z = std::polar(1.0, -2 * PI * static_cast<double>(k) / static_cast<double>(P));
            const Complex y = X[k] * (0.4 + z * (0.3 + z * (0.2 + z * 0.1))) / static_cast<double>(P);
            fft->spectrum()[k][0] = y.real(), fft->spectrum()[k][1] = y.imag();
        }
        fft->toSignal();
        std::vector<double> y(fft->signal(), fft->signal() + P);
        for (double &v : y) v = a > 0 ? std::tanh(a * v) / a : v;
        return y;
    }
};

// The truth at the excited lines from many realisations of the same amplitudes without
// noise: the BLA, and the variance of one realisation's response about it.
void monteCarlo(const Wiener &system, const PlayedSignal &played, RealTransform *fft, std::vector<Complex> *bla,
                std::vector<double> *nonlinear)
{
    const size_t N = played.excited.size();
    std::vector<double> squares(N);
    bla->assign(N, 0.0);
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> phase(-PI, PI);
    for (int m = 0; m < MONTE_CARLO; m++) {
        std::vector<Complex> U(static_cast<size_t>(played.period / 2 + 1));
        for (long long k : played.excited) U[k] = std::polar(std::abs(played.spectrum[k]), phase(rng));
        const std::vector<double> y = system.output(U, fft);
        std::copy(y.begin(), y.end(), fft->signal());
        fft->toSpectrum();
        for (size_t i = 0; i < N; i++) {
            const Complex g = fft->bin(played.excited[i]) / U[played.excited[i]];
            (*bla)[i] += g / double(MONTE_CARLO);
            squares[i] += std::norm(g);
        }
    }
    nonlinear->clear();
    for (size_t i = 0; i < N; i++)
        nonlinear->push_back((squares[i] - MONTE_CARLO * std::norm((*bla)[i])) / (MONTE_CARLO - 1.0));
}

class Realisations : public TempDirTest {
protected:
    // Each played signal through the system, after LEAD samples of silence, under linear
    // fades, with noise 40 dB below the first output (its standard deviation in *noise),
    // recorded and analysed; the mean of the delays found beyond LEAD in *delay.
    void recordAndAnalyze(const Wiener &system, const std::vector<PlayedSignal> &played, RealTransform *fft,
                          std::vector<Analysis> *analyses, double *noise, double *delay)
    {
        const long long P = fft->size(), size = played[0].size, taper = played[0].taper;
        for (int r = 0; r < R; r++) {
            const std::vector<double> steady = system.output(played[r].spectrum, fft);
            if (r == 0) *noise = std::sqrt(std::inner_product(steady.begin(), steady.end(), steady.begin(), 0.0) / P);
            if (r == 0) *noise /= 100;
            std::mt19937_64 rng(7 + r);
            std::normal_distribution<double> gauss(0.0, *noise);
            std::vector<float> samples;
            for (long long n = 0; n < LEAD + size + P; n++) {
                const double t = static_cast<double>(n - LEAD);
                const double env = t < 0 || t >= size ? 0 : std::min({1.0, t / taper, (size - t) / taper});
                samples.push_back(static_cast<float>(env * steady[(n - LEAD + P) % P] + gauss(rng)));
            }
            SF_INFO info{0, RATE, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
            SNDFILE *f = sf_open(path("rec.wav").c_str(), SFM_WRITE, &info);
            ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
            sf_writef_float(f, samples.data(), static_cast<sf_count_t>(samples.size()));
            sf_close(f);
            Recording rec;
            ASSERT_TRUE(openRecording(path("rec.wav").c_str(), &rec).ok());
            AnalyzeSettings settings;
            settings.maxPeriods = PERIODS;
            const Result analysed = analyze(&rec, played[r], settings, &(*analyses)[r]);
            ASSERT_TRUE(analysed.ok()) << analysed.message();
            ASSERT_EQ((*analyses)[r].periodsUsed, PERIODS);
            *delay += ((*analyses)[r].delay - LEAD) / R;
        }
    }
};

}  // namespace

TEST_F(Realisations, AgainstMonteCarlo)
{
    // Random-odd lines on 5 Hz from 5 Hz to 20 kHz (period 9600 samples), equal
    // amplitudes, the phases of each realisation from a seed of its own.
    DesignSettings s;
    s.rateHz = RATE;
    s.resolutionHz = s.bandLowHz = 5;
    s.bandHighHz = 20000;
    s.lines = LINES_RANDOM_ODD;
    uint64_t random = 3;
    LineSet lines;
    ASSERT_EQ(designLines(s, &random, &lines).message(), "");
    PlayedList list;
    for (int k : lines.bins) list.freq.push_back(frequencyOf(k, RATE, lines.period)), list.amp.push_back(1.0);
    std::vector<PlayedSignal> played(R);
    for (int r = 0; r < R; r++) {
        uint64_t seed = 100 + r;
        list.phase = randomPhases(lines.bins.size(), &seed);
        const Result made = playedSignal(list, RATE, samplesOf(RATE, DURATION_MS), samplesOf(RATE, TAPER_MS),
                                         {LEVEL}, lines.period, &played[r]);
        ASSERT_TRUE(made.ok()) << made.message();
    }
    const long long P = lines.period;
    RealTransform fft;
    ASSERT_TRUE(fft.open(P));

    for (const Wiener system : {Wiener{3.0}, Wiener{0.0}}) {
        SCOPED_TRACE(system.a > 0 ? "Wiener system" : "linear system");
        std::vector<Complex> blaTruth;
        std::vector<double> nonlinearTruth;  // of one realisation
        monteCarlo(system, played[0], &fft, &blaTruth, &nonlinearTruth);
        std::vector<Analysis> analyses(R);
        double noise = 0.0, delay = 0.0;
        ASSERT_NO_FATAL_FAILURE(recordAndAnalyze(system, played, &fft, &analyses, &noise, &delay));
        BlaResult bla;
        combineRealisations(analyses, &bla);
        ASSERT_EQ(bla.lines.size(), played[0].excited.size());

        // The mean errors in dB, and on how many lines each 95 % interval holds the truth;
        // the noise's truth: one period's noise at a bin is P sigma^2.
        const double N = static_cast<double>(bla.lines.size());
        double noiseError = 0, nonlinearError = 0, detectionError = 0, noiseSum = 0, nonlinearSum = 0;
        int covered[4] = {0, 0, 0, 0}, significant = 0;
        for (size_t i = 0; i < bla.lines.size(); i++) {
            const BlaLine &l = bla.lines[i];
            double noiseTruth = 0.0;
            for (int r = 0; r < R; r++) noiseTruth += P * noise * noise / std::norm(played[r].spectrum[l.bin]);
            noiseTruth /= PERIODS * R * R;
            const double nonlinearBla = nonlinearTruth[i] / R, totalTruth = noiseTruth + nonlinearBla;
            const double w = 2 * PI * static_cast<double>(l.bin) / static_cast<double>(P);
            covered[0] += std::abs(l.bla - blaTruth[i] * std::polar(1.0, w * delay)) <= l.radius;
            covered[1] += l.noiseLow <= noiseTruth && noiseTruth <= l.noiseHigh;
            covered[2] += l.totalLow <= totalTruth && totalTruth <= l.totalHigh;
            covered[3] += l.nonlinearLow <= nonlinearBla && nonlinearBla <= l.nonlinearHigh;
            noiseError += 10 * std::log10(l.noise / noiseTruth) / N;
            nonlinearError += 10 * std::log10(l.nonlinear / nonlinearBla) / N;
            detectionError += 10 * std::log10(l.detection / nonlinearBla) / N;
            significant += l.significant;
            noiseSum += l.noise;
            nonlinearSum += l.nonlinear;
        }
        EXPECT_NEAR(noiseError, 0.0, 1.0);
        // Within about 3.5 standard deviations of a share of 95 % over 1500 lines; the
        // nonlinear interval, from the ratio of two estimates, is wider than it needs.
        const char *names[] = {"BLA", "noise", "total", "nonlinear"};
        for (int c = 0; c < 4; c++) {
            EXPECT_GE(covered[c] / N, 0.93) << names[c];
            EXPECT_LE(covered[c] / N, c == 3 ? 0.99 : 0.97) << names[c];
        }
        if (system.a > 0) {
            EXPECT_NEAR(nonlinearError, 0.0, 1.0);
            EXPECT_NEAR(detectionError, 0.0, 2.0);  // each recording's detection lines alone
            EXPECT_GE(significant / N, 0.9);
        } else {
            // Significant on about the 5 % of lines that chance gives a test at that level,
            // and far below the noise over all lines.
            EXPECT_LE(significant / N, 0.08);
            EXPECT_LE(10 * std::log10(std::max(nonlinearSum, 1e-300) / noiseSum), -10.0);
        }
    }
}

// Through the programs: the designer's realisations played by sonvel and analysed as
// pairs (a system of gain 1 without noise), and the runs refused.
TEST_F(Realisations, ThroughThePrograms)
{
    const RunResult designed = runProgram(SONVEL_DESIGN_BINARY,
                                          {"-s", "48000", "--resolution", "100", "--band", "100:12000", "--lines",
                                           "random-odd", "--phases", "random", "--realisations", "2", path("l")});
    ASSERT_EQ(designed.status, 0) << designed.err;
    for (const std::string r : {"1", "2"})
        ASSERT_EQ(runSonvel({"-s", "48000", "-l", "-20", "-f", path("l-" + r + ".txt"), path("r" + r + ".wav")}).status,
                  0);
    writeFile(path("other.txt"), "1000 1 0\n2000 1 0\n");
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
        {"--plot", {"--plot", path("p.png"), l1, r1, l2, r2}, "--plot"},
        {"lists of other lines", {l1, r1, path("other.txt"), r2}, "pairs 1 and 2"},
        {"a missing recording", {l1, r1, l2, path("none.wav")}, "pair 2"},
    };
    size_t tableRows = 0;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> args = {"-s", "48000", "-l", "-20"};
        args.insert(args.end(), row.operands.begin(), row.operands.end());
        const RunResult r = runProgram(SONVEL_ANALYZE_BINARY, args);
        EXPECT_EQ(r.status, row.error ? 1 : 0) << r.err;
        if (row.error) {
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
            EXPECT_NE(r.err.find(row.error), std::string::npos) << r.err;
        } else if (row.operands[0] == "--json") {
            size_t objects = 0;  // one a row of the table
            for (size_t at = 0; (at = r.out.find("{\"freq_hz\": ", at)) != std::string::npos; at++) objects++;
            EXPECT_EQ(objects, tableRows);
        } else {
            // The row of 17 names first, then the comments, then as many fields and a gain of 0 dB.
            std::istringstream lines(r.out);
            std::string line;
            std::getline(lines, line);
            EXPECT_EQ(line.rfind("freq_hz\tgain_db\t", 0), 0u) << line;
            EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 16) << line;
            while (std::getline(lines, line) && line[0] == '#') continue;
            for (; lines; std::getline(lines, line), tableRows++) {
                EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 16) << line;
                EXPECT_LT(std::fabs(std::stod(line.substr(line.find('\t')))), 1e-4) << line;
            }
            EXPECT_GT(tableRows, 40u);
        }
    }
}
