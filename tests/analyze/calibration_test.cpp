// --cal through the built program: files as microphones ship them, read and removed
// from sonvel's own output (a system of gain 1 and phase 0), and malformed files
// refused with the line at fault.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

#include "run_program.h"

namespace {

// Lines a factor 3 apart, so that each one between two lines of the files below lies
// half-way between them in log frequency; 50 Hz and 15 kHz lie outside the files.
const char *const LIST = "50 1 0\n150 1 0\n450 1 0\n1350 1 0\n4050 1 0\n12150 1 0\n15000 1 0\n";

// freq_hz -> {gain_db, phase_deg} of the excited lines in the JSON.
std::map<double, std::pair<double, double>> excitedLines(const std::string &json)
{
    std::map<double, std::pair<double, double>> lines;
    for (size_t at = json.find("{\"freq_hz\": "); at != std::string::npos; at = json.find("{\"freq_hz\": ", at + 1)) {
        double f = 0, g = 0, p = 0;
        if (std::sscanf(json.c_str() + at, "{\"freq_hz\": %lf, \"gain_db\": %lf, \"phase_deg\": %lf", &f, &g, &p) == 3)
            lines[f] = {g, p};
    }
    return lines;
}

class AnalyzeCalibration : public TempDirTest {};

}  // namespace

TEST_F(AnalyzeCalibration, FilesReadAndRemoved)
{
    writeFile(path("list"), LIST);
    ASSERT_EQ(runSonvel({"-s", "48000", "-t", "1000", "-l", "-12", "-f", path("list"), path("played.wav")}).status, 0);
    // The sensitivity -1.5 dB adds to every level: 1.5 - dB is the gain left. Phases are
    // unwrapped along the file: 170 then -160 degrees pass through 185 at 4050 Hz.
    const std::map<double, std::pair<double, double>> microphone = {
        {50, {1.5, 0}}, {150, {1.5, 0}}, {450, {-1.5, -85}}, {1350, {-4.5, -170}},
        {4050, {1.5, 175}}, {12150, {7.5, 160}}, {15000, {7.5, 160}}};
    const std::map<double, std::pair<double, double>> flat = {
        {50, {-3, 0}}, {150, {-3, 0}}, {450, {-3, 0}}, {1350, {-3, 0}},
        {4050, {-3, 0}}, {12150, {-3, 0}}, {15000, {-3, 0}}};
    const struct {
        const char *what;
        std::string file;
        std::map<double, std::pair<double, double>> lines;  // expected; empty for a refusal
        const char *refusal;  // after "error: --cal: "
    } rows[] = {
        {"a microphone's file with CRLF, comments, tabs and commas",
         "\"Sens Factor =-1.5dB, SERNO: 7001234\"\r\n* made 2026\r\n# Hz dB deg\r\n\r\n150\t0\t0\r\n1350, 6, 170\r\n"
         "12150 ,-6,-160\r\n",
         microphone, ""},
        {"one line, no phase", "1000 3", flat, ""},
        {"a quoted first line without a sensitivity", "\"UMIK test\"\n1000 3\n", flat, ""},
        {"a word", "100 1\n200 abc\n", {}, "line 2: \"abc\" is not a number."},
        {"four fields", "# x\n100 1 2 3\n", {}, "line 2: 4 fields"},
        {"one field", "100\n", {}, "line 1: 1 field;"},
        {"falling", "200 1\n100 1\n", {}, "line 2: 100 Hz: the frequencies must be above 0 and rising."},
        {"0 Hz", "0 1\n100 1\n", {}, "line 1: 0 Hz"},
        {"a phase missing", "100 1 0\n200 1\n", {}, "line 2: no phase where line 1 gives one:"},
        {"a late quoted line", "100 1\n\"Sens Factor =1dB\"\n", {}, "line 2: a quoted line"},
        {"a sensitivity that is not a number", "\"Sens Factor = loud\"\n100 1\n", {}, "line 1: the sensitivity"},
        {"comments alone", "* nothing\n", {}, "holds no line"},
    };
    for (const auto &row : rows) {
        writeFile(path("cal.txt"), row.file);
        const RunResult r = runProgram(SONVEL_ANALYZE_BINARY, {"-s", "48000", "-t", "1000", "-l", "-12", "-f",
                                                               path("list"), "--json", "--cal", path("cal.txt"),
                                                               path("played.wav")});
        if (row.lines.empty()) {
            EXPECT_EQ(r.status, 1) << row.what;
            EXPECT_EQ(r.out, "") << row.what;
            const std::string start = "error: --cal: \"" + path("cal.txt") + "\"";
            EXPECT_EQ(r.err.rfind(start, 0), 0u) << row.what << ": " << r.err;
            EXPECT_NE(r.err.find(row.refusal), std::string::npos) << row.what << ": " << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << row.what << ": " << r.err;
            continue;
        }
        ASSERT_EQ(r.status, 0) << row.what << ": " << r.err;
        const auto lines = excitedLines(r.out);
        ASSERT_EQ(lines.size(), row.lines.size()) << row.what << "\n" << r.out;
        for (const auto &line : row.lines) {
            const auto found = lines.find(line.first);
            ASSERT_NE(found, lines.end()) << row.what << ": " << line.first;
            EXPECT_NEAR(found->second.first, line.second.first, 1e-6) << row.what << ": " << line.first;
            EXPECT_NEAR(found->second.second, line.second.second, 1e-6) << row.what << ": " << line.first;
        }
    }
    const RunResult missing = runProgram(SONVEL_ANALYZE_BINARY, {"--cal", path("missing"), path("played.wav")});
    EXPECT_EQ(missing.err, "error: --cal: fail to open \"" + path("missing") + "\".\n");
}
