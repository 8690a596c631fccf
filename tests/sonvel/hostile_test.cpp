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

// A closed standard error leaves the file as it would be; a closed standard output,
// which a listing, a help text or the version needs, is a failure before anything is
// written; and standard error is no place for the signal.
TEST_F(Hostile, ClosedOrSharedStandardStreams)
{
    RunResult normal = runSonvel({"-o", path("normal.wav")}, {"1000 1\n"});
    ASSERT_EQ(normal.status, 0);
    std::string list = path("list");
    writeFile(list, "1000 1\n");
    for (std::vector<int> closed : {std::vector<int>{2}, {0, 2}}) {
        RunResult r = runSonvel({"-o", "-f", list, path("closed.wav")}, {"", closed});
        EXPECT_EQ(r.status, 0) << closed.size();
        EXPECT_EQ(readFile(path("closed.wav")), readFile(path("normal.wav"))) << closed.size();
    }
    for (std::vector<int> closed : {std::vector<int>{1}, {1, 2}}) {
        RunResult r = runSonvel({"-o", "-f", list, path("listed.wav")}, {"", closed});
        EXPECT_EQ(r.status, 1) << closed.size();
        EXPECT_FALSE(fileExists(path("listed.wav")));
    }
    EXPECT_EQ(runSonvel({"-f", list, path("plain.wav")}, {"", {1}}).status, 0);
    for (const char *option : {"--help", "--version"}) {
        RunResult r = runSonvel({option}, {"", {1}});
        EXPECT_EQ(r.status, 1) << option;
        EXPECT_EQ(r.err.rfind("error: fail to write ", 0), 0u) << r.err;
    }
    RunResult mixed = runSonvel({"-f", list, "/dev/stderr"});
    EXPECT_EQ(mixed.status, 1);
    EXPECT_EQ(mixed.err, "error: the report and the signal cannot both go to standard error.\n");
}

// A reader that goes away and a file-size limit make writes fail, and the run ends with
// status 1 and a message, never by SIGPIPE or SIGXFSZ.
TEST_F(Hostile, BrokenPipesAndSizeLimitsAreFailures)
{
    const std::string list = path("list");
    writeFile(list, "1000 1\n");
    struct Case {
        std::string script;  // $0 is sonvel, $1 the list, $2 the test's folder
        std::string err;     // what standard error ends with
    } cases[] = {
        {"\"$0\" -o -f \"$1\" \"$2/x.wav\" 2>\"$2/err\" | true; echo ${PIPESTATUS[0]}",
         "error: fail to write the waveform to standard output.\n"},
        {"\"$0\" -t 20000 -f \"$1\" /dev/stdout 2>\"$2/err\" | head -c 100 >/dev/null; echo ${PIPESTATUS[0]}",
         ""},  // "error: fail to save data." goes to the dead standard output
        {"ulimit -f 8; \"$0\" -t 20000 -f \"$1\" \"$2/big.wav\" 2>\"$2/err\" >\"$2/out\"; echo $?", ""},
    };
    for (const Case &c : cases) {
        RunResult r = runProgram("/bin/bash", {"-c", c.script, SONVEL_BINARY, list, dir});
        EXPECT_EQ(r.out, "1\n") << c.script;
        const std::string err = readFile(path("err"));
        EXPECT_EQ(err.substr(err.size() - std::min(err.size(), c.err.size())), c.err) << err;
    }
    EXPECT_EQ(readFile(path("out")), "error: fail to save data.\n");
    EXPECT_FALSE(fileExists(path("big.wav")));
}
