// The built program run as a user runs it: arguments, standard input and files in;
// exit status, messages and file bytes out.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

const std::string RULE(60, '-');

using EndToEnd = TempDirTest;

std::vector<int16_t> samplesOf(const std::string &bytes, size_t offset)
{
    std::vector<int16_t> s;
    for (size_t i = offset; i + 1 < bytes.size(); i += 2)
        s.push_back(static_cast<int16_t>(static_cast<unsigned char>(bytes[i]) |
                                         static_cast<unsigned char>(bytes[i + 1]) << 8));
    return s;
}

uint32_t le32(const std::string &b, int at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--) v = v << 8 | static_cast<unsigned char>(b[at + i]);
    return v;
}

// Level in dB of full scale between the fades, worked out here from the file's samples.
double levelOf(const std::vector<int16_t> &s, int taper)
{
    double sum = 0;
    for (size_t n = taper; n < s.size() - taper; n++) sum += static_cast<double>(s[n]) * s[n];
    return 10 * std::log10(sum / (s.size() - 2 * taper) / (32767.0 * 32767.0));
}

std::string reportFor(const std::string &out, const char *format, const std::string &middle,
                      const std::string &components)
{
    return RULE + "\ncommand:\t" SONVEL_BINARY " " SONVEL_VERSION "\noutput-file:\t\"" + out + "\" (" + format +
           " format)\n" + middle + "sinusoidal parameters:\n  freq [Hz]  amp [linear]  phase [rad]\n" +
           components + RULE + "\n";
}

const char DEFAULT_SIZES[] =
    "sampling frq:\t12000 Hz\ndatasize:\t6000 pnt (12000 byte)\ntotal-length:\t500 ms\n"
    "taper-length:\t50 ms (600 pnt)\n";

}  // namespace

TEST_F(EndToEnd, TypicalRun)
{
    std::string out = path("tone.wav");
    RunResult r = runSonvel({out}, {"1000 5000\n"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::string report = reportFor(out, "WAVE", DEFAULT_SIZES,
                                   "       1000          5000           0\n");
    ASSERT_EQ(r.err.substr(0, report.size()), report);

    std::string bytes = readFile(out);
    ASSERT_EQ(bytes.size(), 12044u);
    EXPECT_EQ(bytes.substr(0, 4), "RIFF");
    EXPECT_EQ(le32(bytes, 4), 12036u);
    EXPECT_EQ(le32(bytes, 24), 12000u);
    EXPECT_EQ(le32(bytes, 40), 12000u);
    std::vector<int16_t> s = samplesOf(bytes, 44);
    EXPECT_EQ(s[0], 0);  // the fade-in starts at zero
    char levelLine[80];
    std::snprintf(levelLine, sizeof levelLine, "power level of generated signal = %f dB\n",
                  levelOf(s, 600));
    EXPECT_EQ(r.err.substr(report.size()), levelLine);
    EXPECT_NEAR(levelOf(s, 600), -15.0, 0.01);
}

TEST_F(EndToEnd, ParameterFileAndOptionsInAnyOrder)
{
    writeFile(path("list.txt"), "# chord\n440 1 0\n550 0.5 1.5\r\n660\n");
    std::string out = path("chord.pcm");
    RunResult r = runSonvel({out, "-s", "44100", "-t", "1000", "-r", "-T", "0", "-l", "-20",
                             "-f", path("list.txt")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string report = reportFor(
        out, "raw PCM",
        "sampling frq:\t44100 Hz\ndatasize:\t44100 pnt (88200 byte)\ntotal-length:\t1000 ms\n"
        "taper-length:\t0 ms (0 pnt)\nparameter file: \"" + path("list.txt") + "\"\n",
        "        440             1           0\n        550           0.5         1.5\n"
        "        660           0.5           0\n");
    EXPECT_EQ(r.err.substr(0, report.size()), report);
    std::string bytes = readFile(out);
    ASSERT_EQ(bytes.size(), 88200u);
    EXPECT_NEAR(levelOf(samplesOf(bytes, 0), 0), -20.0, 0.01);
}

TEST_F(EndToEnd, ExistingOutputIsTruncated)
{
    writeFile(path("old.wav"), std::string(100000, 'x'));
    RunResult r = runSonvel({"-t", "10", "-T", "0", path("old.wav")}, {"1000 1\n"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(readFile(path("old.wav")).size(), 44u + 240u);
}

TEST_F(EndToEnd, Listing)
{
    RunResult r = runSonvel({"-o", path("x.wav")}, {"1000 5000\n"});
    ASSERT_EQ(r.status, 0);
    std::vector<int16_t> s = samplesOf(readFile(path("x.wav")), 44);
    std::string expected = "#time[ms] amplitude\n";
    char line[40];
    for (size_t n = 0; n < s.size(); n++) {
        std::snprintf(line, sizeof line, "%7.2f%7d\n", n / 12000.0 * 1000.0, s[n]);
        expected += line;
    }
    EXPECT_EQ(r.out.substr(0, 42), "#time[ms] amplitude\n   0.00      0\n   0.08");
    EXPECT_EQ(r.out, expected);
}

TEST_F(EndToEnd, NyquistWarnings)
{
    RunResult r = runSonvel({"-T", "0", path("n.wav")}, {"100 1\n6000 1\n5999.9 1\n7000 1\n"});
    EXPECT_NE(r.err.find(RULE + "\nWARNING: frequency of component 1 exeeds Nyquist frequency.\n"
                                "WARNING: frequency of component 3 exeeds Nyquist frequency.\n"
                                "power level"),
              std::string::npos)
        << r.err;
    // A frequency that is not a number is never at or above anything.
    r = runSonvel({path("n.wav")}, {"100 1\nnan 1\n"});
    EXPECT_EQ(r.err.find("WARNING"), std::string::npos);
    // 12001 Hz halves to 6000 in integer arithmetic.
    r = runSonvel({"-s", "12001", path("n.wav")}, {"100 1\n6000 1\n"});
    EXPECT_NE(r.err.find("WARNING: frequency of component 1 exeeds"), std::string::npos);
    EXPECT_EQ(r.status, 0);
}

TEST_F(EndToEnd, RefusalsLeaveNoFile)
{
    const std::string readFail = "Fail to read parameters\n";
    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::string err;
    } cases[] = {
        // One refusal of each step before the output is opened; the options tests hold
        // the rest of each table.
        {{"-l", "0"}, "1000 1\n", "error: power level must be less than zero.\n"},
        {{"-t", "0"}, "", "error: -t: signal duration must be greater than 0 ms.\n"},
        {{"-f", "/nonexistent/list"}, "", "error: fail to open \"/nonexistent/list\".\n"},
        {{}, "1000 1\nhello\n", "error: readpars(): illegal form of params\n" + readFail},
        {{"-t", "99", "-T", "50"}, "1000 1\n",
         "signal length is shorter than taper length ... exit\n"},
    };
    for (const Case &c : cases) expectRefusal(c.args, c.input, c.err);
}

TEST_F(EndToEnd, HelpNamesTheProgramAsInvokedAndWritesNothing)
{
    RunResult help = runSonvel({"-h", "-l", "3", path("h.wav")});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err.rfind("usage:\tsonvel [options] <output-file>\noptions:\n", 0), 0u);
    EXPECT_NE(help.err.find("\n\n\"" SONVEL_BINARY " " SONVEL_VERSION "\" was made from \"sonvel.cpp\" compiled at "),
              std::string::npos);
    EXPECT_FALSE(fileExists(path("h.wav")));
}

TEST_F(EndToEnd, FailuresAfterTheReport)
{
    // The measuring window is empty: refused after the output was opened, and no file
    // appears.
    RunResult r = runSonvel({"-t", "100", "-T", "50", path("empty.wav")}, {"1000 1\n"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(RULE + "\nERROR: makeSoundSignal(): cannot set the power level"),
              std::string::npos);
    EXPECT_EQ(r.err.substr(r.err.size() - 38), "\nERROR: Fail to exec makeSoundSignal.\n");
    EXPECT_FALSE(fileExists(path("empty.wav")));

    r = runSonvel({"-l", "-1", "-T", "0", path("loud.wav")}, {"1000 5000\n"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ERROR: signal overflow. Decrease power level.\n"), std::string::npos);

    std::string missing = path("no/such/dir/x.wav");
    r = runSonvel({missing}, {"1000 1\n"});
    EXPECT_EQ(r.status, 1);
    std::string tail = RULE + "\nerror: fail to open \"" + missing + "\".\n";
    ASSERT_GT(r.err.size(), tail.size());
    EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
}

TEST_F(EndToEnd, FullDiskIsAFailure)
{
    // A short signal fits the stream's buffer and fails only at the flush, after the
    // level line; a long one fails in a write, which ends the synthesis before its
    // level is known. Either way nothing is listed and the status is 1.
    for (const char *ms : {"10", "20000"}) {
        for (const char *format : {"-w", "-r"}) {
            RunResult r = runSonvel({"-o", format, "-t", ms, "-T", "1", "/dev/full"}, {"1000 1\n"});
            EXPECT_EQ(r.status, 1) << ms;
            EXPECT_EQ(r.out, "error: fail to save data.\n") << ms;
            EXPECT_EQ(r.err.find("power level of generated signal") != std::string::npos,
                      std::string(ms) == "10");
        }
    }
}

TEST_F(EndToEnd, AnExistingFileSurvivesLateRefusalsAndSignals)
{
    const std::string out = path("good.wav");
    ASSERT_EQ(runSonvel({"-l", "-20", out}, {"1000 5000\n"}).status, 0);
    ASSERT_EQ(chmod(out.c_str(), 0640), 0);
    const std::string good = readFile(out);
    const std::string multisine = SONVEL_SOURCE_DIR "/examples/multisine.txt";
    struct Case {
        std::vector<std::string> args;
        Input input;
    } cases[] = {
        {{"-l", "-1", "-T", "0"}, {"1000 5000\n"}},  // overflow
        {{}, {"1000 nan\n"}},                        // a power that is not finite
        {{}, {"1000 0\n500 0\n"}},                   // silence
        {{"-t", "100", "-T", "50"}, {"1000 1\n"}},    // fades as long as the signal
        {{"-s", "48000", "-t", "600000", "-f", multisine}, {"", {}, "", 400}},  // SIGTERM
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = c.args;
        args.push_back(out);
        RunResult r = runSonvel(args, c.input);
        EXPECT_TRUE(r.status == 1 || r.signal == SIGTERM) << r.err;
        EXPECT_EQ(readFile(out), good) << r.err;
        EXPECT_EQ(listDir(dir), "good.wav\n");  // and no temporary file
    }
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // A successful run replaces the file and keeps its permission bits; through a
    // symbolic link the link stays a link.
    ASSERT_EQ(symlink("good.wav", path("link.wav").c_str()), 0);
    ASSERT_EQ(runSonvel({"-t", "10", "-T", "0", path("link.wav")}, {"1000 1\n"}).status, 0);
    ASSERT_EQ(lstat(path("link.wav").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_size, 44 + 240);
}

TEST_F(EndToEnd, PipesAndDevicesAreWrittenDirectly)
{
    writeFile(path("list"), "1000 1\n");
    ASSERT_EQ(runSonvel({"-r", "-f", path("list"), path("file.pcm")}).status, 0);
    const std::string expected = readFile(path("file.pcm"));
    RunResult r = runSonvel({"-r", "-f", path("list"), "/dev/stdout"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, expected);
    const std::string script = "cd '" + dir + "' && mkfifo p && { cat p > got & } && '" +
                               SONVEL_BINARY + "' -r -f list p 2>/dev/null && wait";
    ASSERT_EQ(std::system(script.c_str()), 0);
    EXPECT_EQ(readFile(path("got")), expected);

    // A listing that standard output cannot take is a failure; the file stays.
    r = runSonvel({"-o", "-f", path("list"), path("x.wav")}, {"", {}, "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.substr(r.err.find("dB\n") + 3),
              "error: fail to write the waveform to standard output.\n");
    EXPECT_EQ(readFile(path("x.wav")).size(), 12044u);
}
