// The designer through the built program: lines read from a file, Newman's phases, and
// the lines and lists it refuses to design.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "run_program.h"

namespace {

struct Line {
    double freqHz, amp, phase;
};

// The lines of a list, its comments left out.
std::vector<Line> linesOf(const std::string &list)
{
    std::vector<Line> lines;
    std::istringstream in(list);
    for (std::string text; std::getline(in, text);) {
        if (text.empty() || text[0] == '#') continue;
        Line line{};
        std::istringstream(text) >> line.freqHz >> line.amp >> line.phase;
        lines.push_back(line);
    }
    return lines;
}

class DesignProgram : public TempDirTest {
protected:
    // At 48 kHz on 100 Hz lines with zero phases, unless args say otherwise (the last
    // value of an option counts).
    RunResult design(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--rate", "48000", "--resolution", "100", "--phases", "zero"});
        return runProgram(SONVEL_DESIGN_BINARY, args);
    }
};

}  // namespace

TEST_F(DesignProgram, LinesFromAFile)
{
    // Lines in any order, a comment, a line without amplitude (1), a note after the
    // amplitude, a line of amplitude 0 (no line); an excluded band; levels in dB.
    const std::string mixed = "# f a\n1000 0.5\n300\n2000 0.25 a note\n5000 0\n700 1\n";
    const struct {
        std::string file;
        std::vector<std::string> options;
        std::vector<std::pair<double, double>> expected;  // frequency and amplitude
    } rows[] = {
        {mixed, {}, {{300, 1}, {700, 1}, {1000, 0.5}, {2000, 0.25}}},
        {mixed, {"--exclude", "900:1100"}, {{300, 1}, {700, 1}, {2000, 0.25}}},
        {"1000 -6.0206 dB\n300 0dB\n", {}, {{300, 1}, {1000, 0.5}}},
    };
    for (const auto &row : rows) {
        writeFile(path("lines"), row.file);
        std::vector<std::string> args = {"--lines", path("lines")};
        args.insert(args.end(), row.options.begin(), row.options.end());
        RunResult r = design(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<Line> lines = linesOf(r.out);
        ASSERT_EQ(lines.size(), row.expected.size()) << r.out;
        for (size_t i = 0; i < lines.size(); i++) {
            EXPECT_EQ(lines[i].freqHz, row.expected[i].first) << r.out;
            EXPECT_NEAR(lines[i].amp, row.expected[i].second, 1e-6) << r.out;
        }
    }
}

TEST_F(DesignProgram, NewmanPhases)
{
    // Newman's phases of N equal lines, pi (k - 1)^2 / N for cosines: pi / 2 more for
    // sonvel's sines, and each written within (-pi, pi].
    RunResult r = design({"--band", "100:3200", "--phases", "newman"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<Line> lines = linesOf(r.out);
    ASSERT_EQ(lines.size(), 32u);
    for (size_t k = 0; k < lines.size(); k++) {
        const double newman = M_PI * static_cast<double>(k * k) / 32 + M_PI / 2;
        EXPECT_NEAR(std::remainder(lines[k].phase - newman, 2 * M_PI), 0.0, 1e-12) << k;
        EXPECT_TRUE(lines[k].phase > -M_PI && lines[k].phase <= M_PI) << lines[k].phase;
    }
}

TEST_F(DesignProgram, RefusedLinesAndLists)
{
    writeFile(path("lines"), "1000 1\n2000 0.5\n");
    writeFile(path("off-grid"), "1000 1\n1050 1\n");
    writeFile(path("half-rate"), "1000 1\n24000 1\n");
    writeFile(path("twice"), "1000 1\n1000.0 0.5\n");
    writeFile(path("no-frequency"), "1000 1\nabc 1\n");
    writeFile(path("zero"), "100 0\n20000 0\n");
    // Where another check further on would refuse the list too, with a message beside
    // the point or after a huge allocation, the line must name what is wrong.
    const struct {
        const char *what;
        std::vector<std::string> args;
        const char *names;  // in the error line; "" for the options' own refusals
    } rows[] = {
        {"a line off the grid", {"--lines", path("off-grid")}, "1050"},
        {"a line at half the rate", {"--lines", path("half-rate")}, "24000"},
        {"a line listed twice", {"--lines", path("twice")}, "1000"},
        {"no line outside the excluded band", {"--lines", path("lines"), "--exclude", "900:2100"},
         "excluded"},
        {"a line without a frequency", {"--lines", path("no-frequency")}, ":2:"},
        {"a file that does not exist", {"--lines", path("missing")}, "missing"},
        {"lines from a file and a spectrum", {"--lines", path("lines"), "--spectrum", "pink"}, ""},
        {"amplitudes that are all 0", {"--band", "100:3200", "--amplitudes", path("zero")},
         "--amplitudes"},
        {"no line in the band", {"--band", "110:190"}, "110:190"},
        {"more lines than sonvel reads", {"--resolution", "10", "--band", "10:20490"}, "2049"},
        {"a line beyond 2^20 times the resolution",
         {"--resolution", "0.01", "--band", "10500:10500.02"}, "1050002"},
        {"realisations of fixed phases", {"--realisations", "2", path("real")}, ""},
    };
    for (const auto &row : rows) {
        RunResult r = design(row.args);
        EXPECT_EQ(r.status, 1) << row.what;
        EXPECT_EQ(r.out, "") << row.what;
        EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << row.what << ": " << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << row.what << ": " << r.err;
        EXPECT_NE(r.err.find(row.names), std::string::npos) << row.what << ": " << r.err;
    }
    EXPECT_EQ(listDir(dir), "half-rate\nlines\nno-frequency\noff-grid\ntwice\nzero\n");
}
