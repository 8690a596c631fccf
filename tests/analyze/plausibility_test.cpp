// Recordings that can be analysed but are not what the analysis assumes, made from
// sonvel's own output, through the built programs: each draws its warning and fails
// with --strict, while good recordings, a noisy one included, draw none.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

using Channel = std::vector<double>;

class AnalyzePlausibility : public TempDirTest {
protected:
    // What sonvel plays for 3 s at -12 dB of a random-odd design on 50 Hz lines (period
    // 960 samples), as libsndfile reads it.
    Channel design(const std::string &name, const char *seed)
    {
        const RunResult d = runProgram(SONVEL_DESIGN_BINARY, {"-s", "48000", "--resolution", "50", "--band",
                                                              "50:20000", "--lines", "random-odd", "--seed", seed});
        writeFile(path(name + ".txt"), d.out);
        const std::string wav = path(name + ".wav");
        EXPECT_EQ(runSonvel({"-s", "48000", "-t", "3000", "-l", "-12", "-f", path(name + ".txt"), wav}).status, 0);
        SF_INFO info{};
        SNDFILE *f = sf_open(wav.c_str(), SFM_READ, &info);
        Channel x(f ? static_cast<size_t>(info.frames) : 0);
        if (f) sf_readf_double(f, x.data(), info.frames), sf_close(f);
        return x;
    }
    void write(const std::string &name, const std::vector<Channel> &channels)
    {
        SF_INFO info{0, 48000, static_cast<int>(channels.size()), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
        std::vector<double> frames;
        for (size_t n = 0; n < channels[0].size(); n++)
            for (const Channel &c : channels) frames.push_back(c[n]);
        SNDFILE *f = sf_open(path(name).c_str(), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr);
        sf_writef_double(f, frames.data(), static_cast<sf_count_t>(channels[0].size()));
        sf_close(f);
    }
};

Channel withNoise(Channel x, double sigma, unsigned seed)
{
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> gauss(0.0, sigma);
    for (double &v : x) v += gauss(rng);
    return x;
}

// A loudspeaker in a room, roughly: 30 samples late through a one-pole low-pass at
// 2 kHz, so that the lines fall by 20 dB across the band.
Channel system(const Channel &x)
{
    const double a = 1.0 - std::exp(-2.0 * 3.14159265358979 * 2000.0 / 48000.0);
    Channel y(x.size(), 0.0);
    double state = 0.0;
    for (size_t n = 30; n < x.size(); n++) y[n] = state += a * (x[n - 30] - state);
    return y;
}

}  // namespace

TEST_F(AnalyzePlausibility, WrongInputsWarnAndFailWhenStrict)
{
    const Channel played = design("a", "1"), response = system(played);
    // Noise 10 dB under the response over 480 bins, 300 of them excited lines: a total
    // SNR near 12 dB, the lines at the top of the band near -8 dB.
    double power = 0.0;
    for (double v : response) power += v * v / static_cast<double>(response.size());
    write("good.wav", {withNoise(played, 1e-4, 1)});
    write("noisy.wav", {withNoise(response, std::sqrt(power / 10), 3), played});
    write("other-seed.wav", {withNoise(design("b", "2"), 1e-4, 1)});
    write("noise.wav", {withNoise(Channel(played.size(), 0.0), 0.05, 2)});
    write("loopback-first.wav", {played, withNoise(response, 1e-4, 4)});
    const bool plots = runProgram(SONVEL_ANALYZE_BINARY, {"--help"}).out.find("not in this build") == std::string::npos;
    const struct {
        const char *file;
        std::vector<std::string> options;
        const char *warning;  // a part of the one warning; "" for none
    } rows[] = {
        {"good.wav", {}, ""},
        {"noisy.wav", {}, ""},
        {"noisy.wav", {"--reference", "2"}, ""},
        {"other-seed.wav", {}, "the recording does not match the list: "},
        {"noise.wav", {}, "no excited line stands above the noise"},
        {"loopback-first.wav", {}, "channel 1 looks like a loopback of the signal"},
        {"loopback-first.wav", {"--reference", "2"}, "are --channel and --reference swapped?"},
        {"good.wav", {"--periods", "4"}, "only 4 periods were averaged"},
    };
    for (const auto &row : rows) {
        const std::string what = row.file + (row.options.empty() ? "" : " " + row.options[0]);
        std::vector<std::string> args = {"-s", "48000", "-t", "3000", "-l", "-12", "-f", path("a.txt")};
        args.insert(args.end(), row.options.begin(), row.options.end());
        args.push_back(path(row.file));
        const RunResult r = runProgram(SONVEL_ANALYZE_BINARY, args);
        ASSERT_EQ(r.status, 0) << what << ": " << r.err;
        if (*row.warning) {
            // The warning among others (noise alone gives no clock either), each one line
            // on standard error and in the header.
            EXPECT_NE(r.err.find(row.warning), std::string::npos) << what << ": " << r.err;
            for (size_t at = 0, end; (end = r.err.find('\n', at)) != std::string::npos; at = end + 1) {
                const std::string line = r.err.substr(at, end + 1 - at);
                EXPECT_EQ(line.rfind("warning: ", 0), 0u) << what << ": " << r.err;
                EXPECT_NE(r.out.find("\n# " + line), std::string::npos) << what << ": " << line;
            }
        } else {
            EXPECT_EQ(r.err, "") << what;
        }
        // --strict: a warning fails the run with one line, no results and no plot.
        args.insert(args.begin(), "--strict");
        if (plots) args.insert(args.begin(), {"--plot", path("plot.png")});
        const RunResult strict = runProgram(SONVEL_ANALYZE_BINARY, args);
        EXPECT_EQ(strict.status, *row.warning ? 1 : 0) << what << ": " << strict.err;
        if (*row.warning) {
            EXPECT_EQ(strict.out, "") << what;
            EXPECT_EQ(strict.err.rfind("error: --strict: ", 0), 0u) << what << ": " << strict.err;
            EXPECT_EQ(strict.err.find('\n'), strict.err.size() - 1) << what << ": " << strict.err;
            EXPECT_FALSE(fileExists(path("plot.png"))) << what;
        }
        std::remove(path("plot.png").c_str());
    }
}
