// Bad input and failing systems: every case ends with a clear message and the right
// status, and leaves no file behind that looks like a result.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <random>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

using Hostile = TempDirTest;

const std::string READ_FAIL = "Fail to read parameters\n";
const std::string ILLEGAL = "error: readpars(): illegal form of params\n" + READ_FAIL;
const std::string NOT_FINITE =
    "ERROR: makeSoundSignal(): cannot set the power level: the signal power between the fades "
    "is not a finite number.\nERROR: Fail to exec makeSoundSignal.\n";

bool endsWith(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST_F(Hostile, ParameterFilesThatAreNoList)
{
    std::mt19937 rng(5);
    std::string garbage(4096, '\0');
    for (char &c : garbage) c = static_cast<char>(rng());
    garbage[0] = '\xff';  // not a digit, a blank, '#' or a line end
    std::string longComment = "#" + std::string(5000, 'x') + "\n440 1\n";
    std::string trailingBlanks = "440 1 0" + std::string(4000, ' ') + "\n";
    std::string tooMany;
    for (int i = 0; i < 2048; i++) tooMany += "100 1 0\n";
    struct Case {
        const char *what;
        std::string list;
        std::string err;
    } cases[] = {
        {"binary garbage", garbage, ILLEGAL},
        {"NUL bytes first", std::string("\0\0\0\n", 4), ILLEGAL},
        {"NUL bytes after a component", std::string("500 1\n\0# note\n", 15), ILLEGAL},
        {"a comment of 5000 characters", longComment, ILLEGAL},
        {"4000 trailing blanks", trailingBlanks, ILLEGAL},
        {"2049 components", tooMany + "# fine\n\n200 1 0\n", "error: readpars(): too many lines\n" + READ_FAIL},
        {"blank lines only", "\n\r\n\n", "error: readpars(): no parameters given\n" + READ_FAIL},
    };
    for (const Case &c : cases) {
        writeFile(path("list"), c.list);
        RunResult r = runSonvel({"-f", path("list"), path("out.wav")});
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
        EXPECT_FALSE(fileExists(path("out.wav"))) << c.what;
    }
}

TEST_F(Hostile, NulEndsTheTextOfALine)
{
    // The number before the NUL is a frequency alone: one component of amplitude 1.
    writeFile(path("list"), std::string("1000\0 5000\n", 11));
    RunResult r = runSonvel({"-f", path("list"), path("out.wav")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("       1000             1           0\n"), std::string::npos);
    EXPECT_EQ(readFile(path("out.wav")).size(), 12044u);
}

TEST_F(Hostile, NumbersThatAreNotFinite)
{
    for (const char *list : {"nan 1\n100 1\n", "100 inf\n", "1e309 1\n", "100 1 nan\n", "100 1 -inf\n"}) {
        RunResult r = runSonvel({path("out.wav")}, {list});
        EXPECT_EQ(r.status, 1) << list;
        EXPECT_TRUE(endsWith(r.err, NOT_FINITE)) << list << r.err;
        EXPECT_FALSE(fileExists(path("out.wav"))) << list;
    }
    // Hexadecimal floating point is a number like any other.
    RunResult r = runSonvel({path("hex.wav")}, {"0x1.f4p9 0x1p12 0x0p0\n"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("       1000          4096           0\n"), std::string::npos);
}

TEST_F(Hostile, OptionValuesAtAndBeyondThe32BitRange)
{
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-t", "2147483647"},
         "error: -t and -s: the signal must be 1 to 2147483629 samples long, not 25769803764.\n"},
        {{"-s", "2147483647", "-t", "1000"},
         "error: -t and -s: the signal must be 1 to 2147483629 samples long, not 2147483647.\n"},
        // Digits beyond the 32-bit range, which atoi would wrap, are refused.
        {{"-T", "99999999999"}, "error: -T: 99999999999 does not fit in a 32-bit integer.\n"},
        {{"-t", "4294967796"}, "error: -t: 4294967796 does not fit in a 32-bit integer.\n"},
        {{"-s", " +4294979296"}, "error: -s:  +4294979296 does not fit in a 32-bit integer.\n"},
        {{"-l", "-4294967306"}, "error: -l: -4294967306 does not fit in a 32-bit integer.\n"},
        {{"-t", "-2147483648"}, "error: -t: signal duration must be greater than 0 ms.\n"},
    };
    for (const Case &c : cases) expectRefusal(c.args, "1000 1\n", c.err);
}

TEST_F(Hostile, StandardInputClosed)
{
    RunResult closed = runSonvel({path("out.wav")}, {"1000 1\n", {0}});
    EXPECT_EQ(closed.status, 1);
    EXPECT_EQ(closed.err, "error: readpars(): during reading parameters\n" + READ_FAIL);
    EXPECT_FALSE(fileExists(path("out.wav")));
}

TEST_F(Hostile, DirectoriesWhereFilesBelong)
{
    RunResult list = runSonvel({"-f", dir, path("out.wav")});
    EXPECT_EQ(list.status, 1);
    EXPECT_EQ(list.err, "error: readpars(): during reading parameters\n" + READ_FAIL);
    EXPECT_FALSE(fileExists(path("out.wav")));

    RunResult out = runSonvel({dir}, {"1000 1\n"});
    EXPECT_EQ(out.status, 1);
    EXPECT_TRUE(endsWith(out.err, std::string(60, '-') + "\nerror: fail to open \"" + dir + "\".\n"));
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(Hostile, ARefusedRunLeavesAnExistingFileAlone)
{
    writeFile(path("old.wav"), "keep me");
    RunResult r = runSonvel({"-l", "0", path("old.wav")}, {"1000 1\n"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(readFile(path("old.wav")), "keep me");
}

TEST_F(Hostile, ClosedOutputStreamsDoNotReachTheFile)
{
    RunResult normal = runSonvel({"-o", path("normal.wav")}, {"1000 1\n"});
    ASSERT_EQ(normal.status, 0);
    for (std::vector<int> closed : {std::vector<int>{1}, {2}, {1, 2}, {0, 1, 2}}) {
        std::string list = path("list");
        writeFile(list, "1000 1\n");
        RunResult r = runSonvel({"-o", "-f", list, path("closed.wav")}, {"", closed});
        EXPECT_EQ(r.status, 0) << closed.size();
        EXPECT_EQ(readFile(path("closed.wav")), readFile(path("normal.wav"))) << closed.size();
    }
}
