// The analyser through the built programs, on sonvel's own output as the recording (a
// system of gain 1): the window of whole periods and a part, --periods, --max-freq,
// the period the designer writes in its list, and the runs it refuses.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

// 15 lines from 100 to 1500 Hz, all cosines: the power gathers at the start of each
// period of 480 samples, so that the part of a period in the window counts.
std::string peakyList()
{
    std::string list;
    for (int k = 1; k <= 15; k++) list += std::to_string(100 * k) + " 1 1.5707963267948966\n";
    return list;
}

class AnalyzeProgram : public TempDirTest {
protected:
    // sonvel plays list at 48 kHz and -20 dB with the options; the analyser reads what
    // it wrote, with the same options and then its own.
    RunResult playAndAnalyze(const std::string &list, std::vector<std::string> options,
                             const std::vector<std::string> &analyzeOnly)
    {
        writeFile(path("list"), list);
        options.insert(options.begin(), {"-s", "48000", "-l", "-20", "-f", path("list")});
        std::vector<std::string> args = options;
        args.push_back(path("played.wav"));
        const RunResult played = runSonvel(args);
        EXPECT_EQ(played.status, 0) << played.err;
        options.insert(options.end(), analyzeOnly.begin(), analyzeOnly.end());
        options.push_back(path("played.wav"));
        return runProgram(SONVEL_ANALYZE_BINARY, options);
    }
};

}  // namespace

TEST_F(AnalyzeProgram, WindowsPeriodsAndLines)
{
    // The designer's list of 3 lines on a 100 Hz grid; the lines alone repeat every
    // 48 samples.
    writeFile(path("lines"), "1000 1\n2000 1\n3000 1\n");
    const RunResult designed = runProgram(
        SONVEL_DESIGN_BINARY,
        {"--rate", "48000", "--resolution", "100", "--phases", "zero", "--lines", path("lines")});
    ASSERT_EQ(designed.status, 0) << designed.err;
    const std::string comment = "period 480 samples at 48000 Hz";
    const size_t at = designed.out.find(comment);
    ASSERT_NE(at, std::string::npos) << designed.out;
    auto withComment = [&](const std::string &text) {
        return std::string(designed.out).replace(at, comment.size(), text);
    };
    const std::vector<std::string> window = {"-t", "3007", "-T", "45"};
    const std::vector<std::string> oneSecond = {"-t", "1000"};
    const struct {
        const char *what;
        std::string list;
        std::vector<std::string> options, analyzeOnly;
        const char *period;  // the start of the report's period line
        int highestHz;       // of the lines not excited
    } rows[] = {
        // 290.7 periods between the fades, from half a period past a multiple of one: a
        // level made from the whole periods alone, or from the part of a period taken
        // from the wrong place, gives gains 0.015 or 0.007 dB off.
        {"a window of whole periods and a part", peakyList(), window, {},
         "# period: 480 samples (100 Hz); 289 periods used from frame 2640\n", 23900},
        {"--periods", peakyList(), window, {"--periods", "5"},
         "# period: 480 samples (100 Hz); 5 periods used from frame 2640\n", 23900},
        {"--periods beyond the recording", peakyList(), window, {"--periods", "1000"},
         "# period: 480 samples (100 Hz); 289 periods", 23900},
        {"--max-freq", peakyList(), window, {"--max-freq", "9000"}, "# period: 480", 9000},
        {"--max-freq beyond half the rate", peakyList(), window, {"--max-freq", "30000"},
         "# period: 480", 23900},
        {"--max-freq beyond any bin", peakyList(), window, {"--max-freq", "1e25"}, "# period: 480", 23900},
        {"the designer's period", designed.out, oneSecond, {}, "# period: 480 samples (100 Hz)",
         23000},
        {"no comment", designed.out.substr(designed.out.find("\n1000 ")), oneSecond, {},
         "# period: 48 samples (1000 Hz)", 23000},
        {"a period the lines do not fit", withComment("period 500 samples at 48000 Hz"), oneSecond,
         {}, "# period: 48 samples", 23000},
        {"a period for another rate", withComment("period 960 samples at 44100 Hz"), oneSecond, {},
         "# period: 48 samples", 23000},
    };
    for (const auto &row : rows) {
        const RunResult r = playAndAnalyze(row.list, row.options, row.analyzeOnly);
        ASSERT_EQ(r.status, 0) << row.what << ": " << r.err;
        EXPECT_EQ(r.err, "") << row.what;
        EXPECT_NE(r.out.find("\n" + std::string(row.period)), std::string::npos)
            << row.what << "\n" << r.out;
        // The lines after the row of names: frequency, kind, then the gain of an excited one.
        std::istringstream lines(r.out.substr(r.out.find('\n') + 1));
        int excited = 0;
        double freqHz = 0.0;
        for (std::string line; std::getline(lines, line);) {
            if (line.empty() || line[0] == '#') continue;
            std::istringstream fields(line);
            std::string kind;
            double gainDb = 0.0;
            fields >> freqHz >> kind >> gainDb;
            if (kind != "excited") continue;
            excited++;
            EXPECT_LT(std::fabs(gainDb), 1e-4) << row.what << ": " << line;
        }
        EXPECT_GE(excited, 3) << row.what;
        EXPECT_EQ(freqHz, row.highestHz) << row.what;
    }
}

TEST_F(AnalyzeProgram, RefusedRuns)
{
    ASSERT_EQ(playAndAnalyze(peakyList(), {}, {}).status, 0);
    writeFile(path("huge"), std::string(17 << 20, '#'));
    // Where a check further on would refuse the run too, with a message beside the
    // point, the line must name what is wrong.
    const struct {
        const char *what;
        std::string list;  // in place of the one played
        std::vector<std::string> options;
        const char *names;  // in the error line; "" for the options' own refusals
    } rows[] = {
        {"no whole period between the fades", "10 1 0\n20 1 0\n", {"-t", "200"}, "4800 samples"},
        {"lines of amplitude 0", "1000 0 0\n", {}, "sonvel refuses"},
        {"fades longer than the signal", peakyList(), {"-t", "100", "-T", "60"}, "longer"},
        {"a level in dB SPL without a calibration", peakyList(), {"--level", "90spl"}, "calibrate"},
        {"a list that does not exist", peakyList(), {"-f", path("missing")}, "missing"},
        {"a list longer than 16 MiB", peakyList(), {"-f", path("huge")}, "16 MiB"},
        {"two recordings", peakyList(), {path("played.wav")}, ""},
        {"no recording", peakyList(), {}, ""},
    };
    for (const auto &row : rows) {
        writeFile(path("other"), row.list);
        std::vector<std::string> args = {"-s", "48000", "-l", "-20", "-f", path("other")};
        args.insert(args.end(), row.options.begin(), row.options.end());
        if (std::string(row.what) != "no recording") args.push_back(path("played.wav"));
        const RunResult r = runProgram(SONVEL_ANALYZE_BINARY, args);
        EXPECT_EQ(r.status, 1) << row.what;
        EXPECT_EQ(r.out, "") << row.what;
        EXPECT_EQ(r.err.rfind("error: ", 0), 0u) << row.what << ": " << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << row.what << ": " << r.err;
        EXPECT_NE(r.err.find(row.names), std::string::npos) << row.what << ": " << r.err;
    }
}

// A recording's name with a line end in it stays in its header line, escaped, so that
// every line of the table after the row of names is a comment or a row.
TEST_F(AnalyzeProgram, NamesAreEscapedInTheHeader)
{
    ASSERT_EQ(playAndAnalyze(peakyList(), {}, {}).status, 0);
    const std::string odd = path("a\n1000\t0.wav");
    ASSERT_EQ(std::rename(path("played.wav").c_str(), odd.c_str()), 0);
    const RunResult r =
        runProgram(SONVEL_ANALYZE_BINARY, {"-s", "48000", "-l", "-20", "-f", path("list"), odd});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("a\\n1000\\t0.wav"), std::string::npos) << r.out;
    std::istringstream lines(r.out.substr(r.out.find('\n') + 1));
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line[0] == '#' || std::isdigit(static_cast<unsigned char>(line[0]))) << line;
}
