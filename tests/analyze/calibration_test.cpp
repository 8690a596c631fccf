// --cal through the built program: files as microphones ship them, read and removed
// from sonvel's own output (gain 1, phase 0), and malformed files refused with the line
// at fault.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>

#include "run_program.h"

namespace {

using Lines = std::map<double, std::pair<double, double>>;  // Hz -> gain dB, phase deg

// Lines a factor 3 apart, so that each one between two lines of a file lies half-way
// between them in log frequency; 50 Hz and 15 kHz lie outside the files.
const char *const LIST = "50 1 0\n150 1 0\n450 1 0\n1350 1 0\n4050 1 0\n12150 1 0\n15000 1 0\n";

// The excited lines of the JSON.
Lines excitedLines(const std::string &json)
{
    Lines lines;
    double f = 0, g = 0, p = 0;
    for (size_t at = json.find("{\"freq_hz\": "); at != std::string::npos; at = json.find("{\"freq_hz\": ", at + 1))
        if (std::sscanf(json.c_str() + at,
                        "{\"freq_hz\": %lf, \"kind\": \"excited\", \"gain_or_level_db\": %lf, \"phase_deg\": %lf",
                        &f, &g, &p) == 3)
            lines[f] = {g, p};
    return lines;
}

class AnalyzeCalibration : public TempDirTest {};

}  // namespace

TEST_F(AnalyzeCalibration, FilesReadAndRemoved)
{
    writeFile(path("list"), LIST);
    ASSERT_EQ(runSonvel({"-s", "48000", "-t", "1000", "-l", "-12", "-f", path("list"), path("played.wav")}).status, 0);
    const struct {
        std::string file;
        Lines lines;          // expected; empty for a refusal
        const char *refusal;  // after the file's name
    } rows[] = {
        // The sensitivity -1.5 dB adds to every level, so 1.5 - dB is the gain left. The
        // phases are unwrapped along the file: 170 then -160 pass through 185 at 4050 Hz.
        {"\"Sens Factor =-1.5dB, SERNO: 7001234\"\r\n* made 2026\r\n# Hz dB deg\r\n\r\n150\t0\t0\r\n1350, 6, 170\r\n"
         "12150 ,-6,-160\r\n",
         {{50, {1.5, 0}}, {150, {1.5, 0}}, {450, {-1.5, -85}}, {1350, {-4.5, -170}}, {4050, {1.5, 175}},
          {12150, {7.5, 160}}, {15000, {7.5, 160}}}, ""},
        {"100 1\n200 abc\n", {}, ", line 2: \"abc\" is not a number."},
        {"# x\n100 1 2 3\n", {}, ", line 2: 4 fields;"},
        {"200 1\n100 1\n", {}, ", line 2: 100 Hz: the frequencies must be above 0 and rising."},
        {"0 1\n100 1\n", {}, ", line 1: 0 Hz"},
        {"100 1 0\n200 1\n", {}, ", line 2: no phase where line 1 gives one:"},
        {"100 1\n\"Sens Factor =1dB\"\n", {}, ", line 2: a quoted line"},
        {"\"Sens Factor = loud\"\n100 1\n", {}, ", line 1: the sensitivity"},
        {"* nothing\n", {}, " holds no line"},
    };
    for (const auto &row : rows) {
        writeFile(path("cal.txt"), row.file);
        const RunResult r = runProgram(SONVEL_ANALYZE_BINARY, {"-s", "48000", "-t", "1000", "-l", "-12", "-f",
                                                               path("list"), "--json", "--cal", path("cal.txt"),
                                                               path("played.wav")});
        if (row.lines.empty()) {
            EXPECT_EQ(r.status, 1) << row.file;
            EXPECT_EQ(r.out, "") << row.file;
            EXPECT_EQ(r.err.rfind("error: --cal: \"" + path("cal.txt") + "\"" + row.refusal, 0), 0u) << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
            continue;
        }
        ASSERT_EQ(r.status, 0) << row.file << ": " << r.err;
        const Lines lines = excitedLines(r.out);
        ASSERT_EQ(lines.size(), row.lines.size()) << r.out;
        for (const auto &line : row.lines) {
            EXPECT_NEAR(lines.at(line.first).first, line.second.first, 1e-6) << row.file << line.first;
            EXPECT_NEAR(lines.at(line.first).second, line.second.second, 1e-6) << row.file << line.first;
        }
    }
    const RunResult missing = runProgram(SONVEL_ANALYZE_BINARY, {"--cal", path("missing"), path("played.wav")});
    EXPECT_EQ(missing.err, "error: --cal: fail to open \"" + path("missing") + "\".\n");
}
