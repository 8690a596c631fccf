// The command line of every program as a user meets it: --help and --version, refused
// long-option mistakes, and the signal options read alike by every program.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

std::vector<std::string> programs()
{
    std::vector<std::string> p{SONVEL_BINARY};
#ifdef SONVEL_DESIGN_BINARY
    p.push_back(SONVEL_DESIGN_BINARY);
#endif
#ifdef SONVEL_ANALYZE_BINARY
    p.push_back(SONVEL_ANALYZE_BINARY);
#endif
    return p;
}

std::string nameOf(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// The output without the comment lines that echo the command ("# sonvel-...", and
// "#   " where it goes on), and the analyzer's row of names before them.
std::string afterCommand(const std::string &text)
{
    size_t at = text.compare(0, 8, "freq_hz\t") == 0 ? text.find('\n') + 1 : 0;
    while (text.compare(at, 9, "# sonvel-") == 0 || text.compare(at, 4, "#   ") == 0) at = text.find('\n', at) + 1;
    return text.substr(at);
}

}  // namespace

TEST_F(TempDirTest, EveryProgramHelpsAndRefusesAlike)
{
    for (const std::string &program : programs()) {
        const std::string name = nameOf(program);
        RunResult help = runProgram(program, {"--help"});
        EXPECT_EQ(help.status, 0) << name;
        EXPECT_EQ(help.err, "") << name;
        EXPECT_EQ(help.out.rfind("usage: " + name + " ", 0), 0u) << name;
        std::istringstream lines(help.out);
        for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 79u) << name << ": " << line;

        EXPECT_EQ(runProgram(program, {"--version"}).out, name + " " SONVEL_VERSION "\n");
        for (const char *option : {"--help", "--version"}) {
            RunResult full = runProgram(program, {option}, {"", {}, "/dev/full"});
            EXPECT_EQ(full.status, 1) << name << " " << option;
            EXPECT_EQ(full.err.rfind("error: fail to write ", 0), 0u) << full.err;
        }
        // A misspelt long option ends the run before anything is written.
        for (const char *mistake : {"--sample-fromat=s24", "--quantise=tpdf", "--sample-format"}) {
            RunResult r = runProgram(program, {mistake, "-f", "/dev/null", path("out")});
            EXPECT_EQ(r.status, 1) << name << " " << mistake;
            EXPECT_EQ(r.err.rfind("error: --", 0), 0u) << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
            EXPECT_EQ(r.out, "");
            EXPECT_FALSE(fileExists(path("out")));
        }
    }
}

#if defined(SONVEL_DESIGN_BINARY) && defined(SONVEL_ANALYZE_BINARY)
// Words that sonvel reads as atoi does give the same values to the designer and the
// analyzer: a command line can be pasted from one to the other.
TEST_F(TempDirTest, SignalOptionsMeanTheSameInEveryProgram)
{
    const std::vector<std::string> words{"-s", "8000Hz", "-t", "2000ms", "-T", "10 ms"}, plain{"-s", "8000", "-t",
                                                                                               "2000", "-T", "10"};
    std::vector<std::string> design{"--resolution", "100", "--band", "100:1000", "--phases", "schroeder"};
    RunResult list = runProgram(SONVEL_DESIGN_BINARY, [&] {
        auto a = design;
        a.insert(a.end(), words.begin(), words.end());
        return a;
    }());
    design.insert(design.end(), plain.begin(), plain.end());
    RunResult same = runProgram(SONVEL_DESIGN_BINARY, design);
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(afterCommand(list.out), afterCommand(same.out));

    writeFile(path("list.txt"), list.out);
    std::vector<std::string> play = plain;
    play.insert(play.end(), {"-l", "-20", "-f", path("list.txt"), path("played.wav")});
    ASSERT_EQ(runSonvel(play).status, 0);
    std::vector<std::string> pasted = words, typed = plain;
    for (auto *args : {&pasted, &typed}) args->insert(args->end(), {"-l", "-20dB", "-f", path("list.txt"),
                                                                    path("played.wav")});
    RunResult a = runProgram(SONVEL_ANALYZE_BINARY, pasted), b = runProgram(SONVEL_ANALYZE_BINARY, typed);
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(afterCommand(a.out), afterCommand(b.out));
}
#endif
