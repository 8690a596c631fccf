// Sample formats, quantizers and levels beyond the 16-bit default, through the program:
// samples read back after the header here, levels measured here, and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

using Formats = TempDirTest;

uint32_t le(const std::string &b, size_t at, int bytes)
{
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; i--) v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
}

// The samples of a file, as values of the format (floats as they are).
std::vector<double> samplesOf(const std::string &bytes, size_t offset, int width, bool isFloat)
{
    std::vector<double> s;
    for (size_t at = offset; at + width <= bytes.size(); at += width) {
        uint32_t v = le(bytes, at, width);
        if (isFloat) {
            float f;
            std::memcpy(&f, &v, 4);
            s.push_back(f);
        } else {
            const int shift = 32 - 8 * width;
            s.push_back(static_cast<int32_t>(v << shift) >> shift);
        }
    }
    return s;
}

double levelOf(const std::vector<double> &s, int taper, double fullScale)
{
    double sum = 0;
    for (size_t n = taper; n < s.size() - taper; n++) sum += s[n] * s[n];
    return 10 * std::log10(sum / (s.size() - 2 * taper) / fullScale / fullScale);
}

// The worst of harmonics 2 to 10 of a tone at bin k of a Blackman-windowed DFT, in dB
// relative to the tone (Goertzel-style sums at the few bins that matter).
double worstHarmonicDb(const std::vector<double> &x, int k)
{
    const double pi = 3.14159265358979323846;
    const size_t n = x.size();
    auto magnitude = [&](int bin) {
        double re = 0, im = 0;
        for (size_t i = 0; i < n; i++) {
            const double w = 0.42 - 0.5 * std::cos(2 * pi * i / (n - 1)) + 0.08 * std::cos(4 * pi * i / (n - 1));
            re += w * x[i] * std::cos(2 * pi * bin * i / n);
            im -= w * x[i] * std::sin(2 * pi * bin * i / n);
        }
        return std::hypot(re, im);
    };
    const double tone = magnitude(k);
    double worst = 0;
    for (int h = 2; h <= 10; h++) worst = std::max(worst, magnitude(h * k));
    return 20 * std::log10(worst / tone);
}

}  // namespace

TEST_F(Formats, SamplesAndLevels)
{
    struct Case {
        std::string format, quantizer;
        int width;
        bool isFloat;
        int headerSize;
        double fullScale, tolerance;
    } cases[] = {
        {"s16", "round", 2, false, 44, 32767, 0.01},
        {"s24", "truncate", 3, false, 44, 8388607, 0.001},
        {"s24", "tpdf", 3, false, 44, 8388607, 0.001},
        {"s32", "round", 4, false, 44, 2147483647, 0.0001},
        {"f32", "truncate", 4, true, 58, 1.0, 0.0001},
    };
    for (const Case &c : cases) {
        const std::string out = path(c.format + c.quantizer + ".wav");
        RunResult r = runSonvel({"-s", "48000", "-t", "500", "--level", "-20.5", "--sample-format",
                                 c.format, "--quantize", c.quantizer, out},
                                {"1000 1\n"});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string b = readFile(out);
        const std::string what = c.format + " " + c.quantizer;
        // The header's fields are checked in wav_test.cpp; here its length and the samples.
        ASSERT_EQ(b.size(), static_cast<size_t>(c.headerSize + 24000 * c.width)) << what;
        const std::vector<double> s = samplesOf(b, c.headerSize, c.width, c.isFloat);
        EXPECT_EQ(s[0], 0.0) << what;  // the fade-in starts at zero, dither or not
        EXPECT_NEAR(levelOf(s, 2400, c.fullScale), -20.5, c.tolerance) << what;
        const size_t reported = r.err.find("power level of generated signal = ");
        ASSERT_NE(reported, std::string::npos) << r.err;
        EXPECT_NEAR(std::atof(r.err.c_str() + reported + 34), levelOf(s, 2400, c.fullScale), 1e-6) << what;
        // Raw output holds the same samples without the header, and the listing reads
        // back as the time and the value of each, two fields a line.
        RunResult raw = runSonvel({"-r", "-o", "-s", "48000", "-t", "500", "--level", "-20.5", "--sample-format",
                                   c.format, "--quantize", c.quantizer, path("raw")},
                                  {"1000 1\n"});
        EXPECT_EQ(readFile(path("raw")), b.substr(c.headerSize)) << what;
        std::istringstream listing(raw.out);
        std::string line;
        std::getline(listing, line);
        for (size_t n = 0; std::getline(listing, line); n++) {
            double ms = 0.0, value = 0.0;
            char more = 0;
            ASSERT_EQ(std::sscanf(line.c_str(), "%lf %lf %c", &ms, &value, &more), 2) << what << ": " << line;
            // A float is printed with the 9 digits that give it back.
            ASSERT_EQ(c.isFloat ? static_cast<float>(value) : value, s[n]) << what << ": " << line;
        }
    }
}

TEST_F(Formats, DitherRemovesTheHarmonicsOfTruncation)
{
    // A -60 dB tone at bin 10000 of 10 s at 48 kHz: truncated to 16 bits its harmonics
    // reach about -48 dBc; dithered, or in 24 bits, they fall below -80 dBc.
    auto worst = [&](const std::vector<std::string> &options) {
        std::vector<std::string> args{"-r", "-s", "48000", "-t", "10000", "-T", "0", "-l", "-60"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(path("tone.raw"));
        EXPECT_EQ(runSonvel(args, {"1000 1\n"}).status, 0);
        const int width = options.empty() || options[1] == "s16" ? 2 : 3;
        return worstHarmonicDb(samplesOf(readFile(path("tone.raw")), 0, width, false), 10000);
    };
    EXPECT_GT(worst({}), -50.0);
    EXPECT_LT(worst({"--sample-format", "s16", "--quantize", "tpdf"}), -80.0);
    EXPECT_LT(worst({"--sample-format", "s24"}), -80.0);
}

TEST_F(Formats, ReferencesAndCalibratedLevels)
{
    auto run = [&](const std::vector<std::string> &options, const std::string &name) {
        std::vector<std::string> args{"-s", "48000", "-t", "500", "--sample-format", "s24"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(path(name));
        RunResult r = runSonvel(args, {"1000 1\n"});
        EXPECT_EQ(r.status, 0) << r.err;
        return readFile(path(name));
    };
    // A sine at 0 dB of a full-scale sine is the dc level of a full-scale sine.
    const std::string sine = run({"--full-scale", "sine", "--level", "0"}, "a.wav");
    EXPECT_EQ(run({"--level", "-3.0102999566398120"}, "b.wav"), sine);
    // 80 dB SPL where -20 dB gives 94: -34 dB; -10 dBu where -20 dB gives 0 dBu: -30 dB.
    EXPECT_EQ(run({"--calibrate", "-20=94", "--level", "80spl"}, "c.wav"), run({"--level", "-34"}, "d.wav"));
    EXPECT_EQ(run({"--level", "-10dBu", "--calibrate", "-20=0dBu"}, "e.wav"), run({"-l", "-30"}, "f.wav"));
    // "dB" after a level is dB of full scale, as "dBFS" and nothing are.
    EXPECT_EQ(run({"--level", "-30dB"}, "h.wav"), run({"-l", "-30"}, "f.wav"));
    EXPECT_EQ(run({"--level", "-30 dbfs"}, "h.wav"), run({"-l", "-30"}, "f.wav"));
    // The later of -l and --level wins.
    EXPECT_EQ(run({"--level", "-3", "-l", "-30"}, "g.wav"), run({"-l", "-30"}, "f.wav"));
    // Given at their defaults, the new options change no byte of the 16-bit output.
    RunResult plain = runSonvel({path("p.wav")}, {"1000 5000\n"});
    RunResult spelled = runSonvel({"--sample-format", "s16", "--quantize", "truncate", "--full-scale", "dc",
                                   "--level", "-15", path("q.wav")},
                                  {"1000 5000\n"});
    EXPECT_EQ(readFile(path("p.wav")), readFile(path("q.wav")));
    EXPECT_EQ(plain.status, spelled.status);
}

TEST_F(Formats, BadValuesAreRefusedBeforeAnyFile)
{
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--sample-format", "s20"}, "error: --sample-format: \"s20\" is not s16, s24, s32 or f32.\n"},
        {{"--quantize", "dither"}, "error: --quantize: \"dither\" is not truncate, round or tpdf.\n"},
        {{"--calibrate", "x"}, "error: --calibrate: \"x\" is not DB=LEVEL with LEVEL in dB SPL, dBu or dBV.\n"},
        {{"--calibrate", "-20=94dBFS"}, "error: --calibrate: \"-20=94dBFS\" is not DB=LEVEL with LEVEL in dB SPL, dBu or dBV.\n"},
        {{"--level", "nan"}, "error: --level: \"nan\" is not a level in dB, or with a unit of dB SPL, dBu or dBV.\n"},
        {{"--level", "80phon"}, "error: --level: \"80phon\" is not a level in dB, or with a unit of dB SPL, dBu or dBV.\n"},
        {{"--level", "80spl"}, "error: --level: \"80spl\" is in dB SPL, and no --calibrate gives dB SPL.\n"},
        {{"--calibrate", "-20=0dBu", "--level", "80spl"}, "error: --level: \"80spl\" is in dB SPL, and no --calibrate gives dB SPL.\n"},
        {{"--level", "0.5"}, "error: power level must be less than zero.\n"},
        {{"--seed", "-1"}, "error: --seed: \"-1\" is not a whole number.\n"},
    };
    for (const Case &c : cases) expectRefusal(c.args, "1000 1\n", c.err);
    // A float level so low that every sample rounds to 0 is refused as the integer
    // formats refuse theirs, after the report; one just above it is played.
    for (const char *level : {"--level=-1000", "--level=-2e9", "--level=-800"}) {
        RunResult r = runSonvel({"--sample-format", "f32", level, path("low.wav")}, {"1000 1\n"});
        const bool played = std::string(level) == "--level=-800";
        EXPECT_EQ(r.status, played ? 0 : 1) << level;
        EXPECT_EQ(r.err.find("every f32 sample between the fades would be 0") == std::string::npos, played) << r.err;
        EXPECT_EQ(fileExists(path("low.wav")), played) << level;
    }
}
