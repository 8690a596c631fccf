// The analyser given the file sonvel wrote (--played) in place of sonvel's options, and
// given options that disagree with what was played: the table it gives, and the
// warnings that name the option.
#include <gtest/gtest.h>

#include <sndfile.h>

#include <cmath>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

// The excited lines of a table: frequency to gain and phase.
std::map<double, std::pair<double, double>> excitedLines(const std::string &table)
{
    std::map<double, std::pair<double, double>> lines;
    std::istringstream in(table);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        double freq = 0.0, gain = 0.0, phase = 0.0;
        if (fields >> freq >> gain >> phase) lines[freq] = {gain, phase};  // a kind fails as a number
    }
    return lines;
}

std::string lineStarting(const std::string &table, const std::string &start)
{
    const size_t at = table.find("\n" + start);
    return at == std::string::npos ? "" : table.substr(at + 1, table.find('\n', at + 1) - at - 1);
}

// A system of gain 0.5 and a latency of 1234 samples, with white noise, recorded from
// 1234 samples before the played file to 2000 after it.
void recordThrough(const std::string &played, const std::string &recorded)
{
    SF_INFO info{};
    SNDFILE *in = sf_open(played.c_str(), SFM_READ, &info);
    ASSERT_NE(in, nullptr) << sf_strerror(nullptr);
    std::vector<double> x(static_cast<size_t>(info.frames));
    sf_readf_double(in, x.data(), info.frames);
    sf_close(in);
    std::mt19937_64 rng(5);
    std::normal_distribution<double> noise(0.0, 1e-6);
    std::vector<double> y(1234 + x.size() + 2000);
    for (size_t n = 0; n < y.size(); n++)
        y[n] = (n >= 1234 && n - 1234 < x.size() ? 0.5 * x[n - 1234] : 0.0) + noise(rng);
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE *out = sf_open(recorded.c_str(), SFM_WRITE, &info);
    ASSERT_NE(out, nullptr) << sf_strerror(nullptr);
    sf_writef_double(out, y.data(), static_cast<sf_count_t>(y.size()));
    sf_close(out);
}

class PlayedFile : public TempDirTest {};

}  // namespace

TEST_F(PlayedFile, OptionsThatDisagree)
{
    // The designer's list for 48 kHz, on 100 Hz lines: its comment names the rate.
    const RunResult designed = runProgram(SONVEL_DESIGN_BINARY, {"-s", "48000", "--band", "100:8000", "--lines",
                                                                 "random-odd", "--resolution", "100", "--phases",
                                                                 "random"});
    ASSERT_EQ(designed.status, 0) << designed.err;
    writeFile(path("list"), designed.out);
    // Short fades and a level that is not the default; dither into 24 bits at another
    // rate; a low level in 16 bits truncated under long fades, where truncation's half
    // step weighs most on the fit of the fades.
    const std::vector<std::vector<std::string>> plays = {
        {"-s", "48000", "-t", "2000", "-T", "100", "-l", "-20"},
        {"-s", "44100", "-t", "3000", "-T", "800", "--level", "-45.5", "--sample-format", "s24", "--quantize", "tpdf"},
        {"-s", "48000", "-t", "3000", "-T", "900", "-l", "-50"},
    };
    const std::vector<std::string> played = {"--played", path("played0.wav")};
    auto with = [](std::vector<std::string> a, const std::vector<std::string> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    auto without = [](std::vector<std::string> a, const std::string &option) {
        for (size_t i = 0; i < a.size(); i++)
            if (a[i] == option) a.erase(a.begin() + static_cast<long>(i), a.begin() + static_cast<long>(i) + 2);
        return a;
    };
    const std::vector<std::string> &A = plays[0];
    const struct {
        const char *what;
        size_t play;
        std::vector<std::string> options;  // besides -f and the recording
        int status;
        std::vector<const char *> said;  // on standard error; none: nothing
        double gainOffsetDb;             // against every option repeated; NAN: not compared
    } rows[] = {
        {"--played", 0, played, 0, {}, 0.0},
        {"--played, dithered 24 bits", 1, {"--played", path("played1.wav")}, 0, {}, 0.0},
        {"--played, low level and long fades", 2, {"--played", path("played2.wav")}, 0, {}, 0.0},
        {"--played and a level that disagrees", 0, with(played, {"-l", "-14"}), 0, {"warning: -l -14 aims"}, 0.0},
        {"--played and fades that disagree", 0, with(played, {"-T", "50"}), 0, {"warning: -T 50 makes"}, 0.0},
        {"--played and -t and -s that disagree", 0, with(played, {"-t", "1000", "-s", "44100"}), 0,
         {"warning: -s 44100", "warning: -t 1000 makes"}, 0.0},
        {"--played and the same options", 0, with(played, A), 0, {}, 0.0},
        {"--played, a raw file", 0, {"--played", path("played.raw")}, 1, {"error: --played: "}, NAN},
        {"a forgotten level", 0, without(A, "-l"), 0, {}, -5.0},
        {"forgotten fades", 0, without(A, "-T"), 0, {"-T says 50 ms"}, NAN},
        {"a forgotten duration", 0, without(A, "-t"), 0, {"lasts about 2000 ms, and -t says 500 ms"}, NAN},
        {"a duration that leaves room for 1 period", 0, with(without(A, "-t"), {"-t", "220"}), 1,
         {"-t 220 and -T 100 leave room for 1 whole period of 480 samples"}, NAN},
        {"-s from the list's comment", 0, without(A, "-s"), 0, {}, 0.0},
        {"-s from the list's comment, played at another rate", 1, without(plays[1], "-s"), 1,
         {"the list's comment says 48000 Hz"}, NAN},
    };
    auto recording = [this](size_t play) { return path("rec" + std::to_string(play) + ".wav"); };
    std::vector<std::string> reference;
    for (size_t p = 0; p < plays.size(); p++) {
        const std::string file = path("played" + std::to_string(p) + ".wav");
        const RunResult r = runSonvel(with(plays[p], {"-f", path("list"), file}));
        ASSERT_EQ(r.status, 0) << r.err;
        recordThrough(file, recording(p));
        reference.push_back(runProgram(SONVEL_ANALYZE_BINARY, with(plays[p], {"-f", path("list"), recording(p)})).out);
        ASSERT_NE(lineStarting(reference[p], "# period:"), "");
    }
    writeFile(path("played.raw"), readFile(path("played0.wav")).substr(44));

    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        const RunResult r =
            runProgram(SONVEL_ANALYZE_BINARY, with(row.options, {"-f", path("list"), recording(row.play)}));
        EXPECT_EQ(r.status, row.status) << r.err;
        if (row.said.empty()) {
            EXPECT_EQ(r.err, "");
        }
        for (const char *said : row.said) EXPECT_NE(r.err.find(said), std::string::npos) << r.err;
        if (std::isnan(row.gainOffsetDb)) continue;
        // The same periods, and every line's gain and phase.
        if (row.gainOffsetDb == 0.0) {
            EXPECT_EQ(lineStarting(r.out, "# period:"), lineStarting(reference[row.play], "# period:"));
        }
        const auto lines = excitedLines(r.out), truth = excitedLines(reference[row.play]);
        ASSERT_EQ(lines.size(), truth.size());
        for (const auto &line : lines) {
            const auto &[gain, phase] = truth.at(line.first);
            // Another level quantizes the period made again otherwise, by about 1e-3 dB a line.
            EXPECT_NEAR(line.second.first - gain, row.gainOffsetDb, row.gainOffsetDb == 0.0 ? 0.001 : 0.01)
                << line.first << " Hz";
            EXPECT_NEAR(std::remainder(line.second.second - phase, 360.0), 0.0, 0.01) << line.first << " Hz";
        }
    }
}
