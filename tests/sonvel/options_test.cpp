// Option parsing, the option summary and the derived sizes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "sonvel.h"

namespace {

struct Parsed {
    int status;
    RunSettings settings;  // its paths are cleared: they pointed into the arguments
    std::string paramPath;
    bool outputSet;
    std::string err;
};

Parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "sonvel");
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Parsed p;
    testing::internal::CaptureStderr();
    p.status = parseOptions(static_cast<int>(args.size()), argv.data(), &p.settings);
    p.err = testing::internal::GetCapturedStderr();
    p.paramPath = p.settings.paramPath ? p.settings.paramPath : "";
    p.outputSet = p.settings.outputPath != nullptr;
    p.settings.paramPath = p.settings.outputPath = nullptr;
    return p;
}

const char SUMMARY[] =
    "usage:\tsonvel [options] <output-file>\n"
    "options:\n"
    "\t-t <signal duration in msec>\t: 500 by default\n"
    "\t-s <sampling frequecy in Hz>\t: 12000 by default\n"
    "\t-l <power level in dB>\t: -15 by default\n"
    "\t-T <taper length in msec>\t: 50 by default\n"
    "\t-f <parameter-file>\t: read frequencies and amplitudes from file\n"
    "\t-w\t: save output-file as Microsoft WAVE format (default)\n"
    "\t-r\t: save output-file as raw PCM format\n"
    "\t-o\t: put waveform to stdout\n"
    "\t-h\t: print this message\n";

}  // namespace

TEST(Options, DefaultsAndValues)
{
    Parsed p = parse({"out.wav"});
    EXPECT_EQ(p.status, RUN_CONTINUES);
    EXPECT_EQ(p.settings.durationMs, 500);
    EXPECT_EQ(p.settings.samplingHz, 12000);
    EXPECT_EQ(p.settings.levelDb, -15);
    EXPECT_EQ(p.settings.taperMs, 50);
    EXPECT_EQ(p.paramPath, "");
    EXPECT_TRUE(p.outputSet);
    EXPECT_EQ(p.settings.format, FORMAT_WAVE);
    EXPECT_FALSE(p.settings.listing);

    // Permuted operand, later values win, atoi conversion.
    p = parse({"out.wav", "-t", "1000", "-t", " +250ms", "-s44100", "-l", "-20x", "-T", "abc",
               "-r", "-o", "-f", "list.txt"});
    EXPECT_EQ(p.status, RUN_CONTINUES);
    EXPECT_EQ(p.settings.durationMs, 250);
    EXPECT_EQ(p.settings.samplingHz, 44100);
    EXPECT_EQ(p.settings.levelDb, -20);
    EXPECT_EQ(p.settings.taperMs, 0);
    EXPECT_EQ(p.paramPath, "list.txt");
    EXPECT_EQ(p.settings.format, FORMAT_RAW);
    EXPECT_TRUE(p.settings.listing);

    EXPECT_EQ(parse({"-r", "-w", "x"}).settings.format, FORMAT_WAVE);
    EXPECT_EQ(parse({"-w", "-r", "x"}).settings.format, FORMAT_RAW);
}

TEST(Options, OperandCountAndDoubleDash)
{
    for (auto args : {std::vector<std::string>{}, {"a", "b"}, {"-t", "100"}}) {
        Parsed p = parse(args);
        EXPECT_EQ(p.status, 1);
        EXPECT_EQ(p.err, SUMMARY);
    }
    Parsed p = parse({"--", "-out.wav"});
    EXPECT_EQ(p.status, RUN_CONTINUES);
    EXPECT_EQ(parse({"-t", "100", "--", "a", "-t", "200"}).status, 1);
}

TEST(Options, PosixlyCorrectStopsAtFirstOperand)
{
    setenv("POSIXLY_CORRECT", "1", 1);
    Parsed stopped = parse({"out.wav", "-t", "1000"});
    unsetenv("POSIXLY_CORRECT");
    EXPECT_EQ(stopped.status, 1);  // "-t" and "1000" are operands now
    EXPECT_EQ(stopped.err, SUMMARY);
    Parsed permuted = parse({"out.wav", "-t", "1000"});
    EXPECT_EQ(permuted.status, RUN_CONTINUES);
    EXPECT_EQ(permuted.settings.durationMs, 1000);
}

TEST(Options, LevelAndHelpEndParsingAtOnce)
{
    for (const char *level : {"0", "3", "abc"}) {
        Parsed p = parse({"-l", level, "out.wav"});
        EXPECT_EQ(p.status, 1) << level;
        EXPECT_EQ(p.err, "error: power level must be less than zero.\n");
    }
    Parsed help = parse({"-h", "-l", "3"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err.rfind(SUMMARY, 0), 0u);
    Parsed level = parse({"-l", "3", "-h"});
    EXPECT_EQ(level.status, 1);
    EXPECT_EQ(level.err, "error: power level must be less than zero.\n");
}

TEST(Options, UnknownOptionIsDiagnosedAndIgnored)
{
    Parsed p = parse({"-x", "-t", "700", "out.wav", "-s"});
    EXPECT_EQ(p.status, RUN_CONTINUES);
    EXPECT_EQ(p.settings.durationMs, 700);
    EXPECT_NE(p.err.find("invalid option -- 'x'"), std::string::npos) << p.err;
    EXPECT_NE(p.err.find("option requires an argument -- 's'"), std::string::npos) << p.err;
}

TEST(Options, SummaryAndBuildInformation)
{
    testing::internal::CaptureStderr();
    usage();
    printBuildInfo("./sonvel");
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(err.rfind(SUMMARY, 0), 0u);
    std::string info = err.substr(sizeof(SUMMARY) - 1);
    // "\n"./sonvel VERSION" was made from "sonvel.cpp" compiled at hh:mm:ss on Mmm dd yyyy.\n"
    EXPECT_EQ(info.rfind("\n\"./sonvel " SONVEL_VERSION "\" was made from \"sonvel.cpp\" compiled at ", 0), 0u)
        << info;
    std::string when = info.substr(info.find(" at ") + 4);
    ASSERT_EQ(when.size(), std::string("hh:mm:ss on Mmm dd yyyy.\n").size()) << when;
    EXPECT_EQ(when[2], ':');
    EXPECT_EQ(when[5], ':');
    EXPECT_EQ(when.substr(8, 4), " on ");
    EXPECT_EQ(when.substr(when.size() - 2), ".\n");
}

TEST(Sizes, DerivedInSamplesByTruncation)
{
    struct Case {
        int hz, ms, taperMs, dataSize, taperSize;
    } cases[] = {
        {12000, 500, 50, 6000, 600},
        {44100, 1000, 0, 44100, 0},
        {11025, 360, 10, 3969, 110},  // 110.25 truncated
        {12000, 101, 50, 1212, 600},
        {1000, 1, 0, 1, 0},
        {37800, 100, 50, 3780, 1890},  // a floating-point product gives 3779 and 1889
        {2147483647, 1, 0, 2147483, 0},
    };
    for (const Case &c : cases) {
        RunSettings s;
        s.samplingHz = c.hz;
        s.durationMs = c.ms;
        s.taperMs = c.taperMs;
        ASSERT_EQ(deriveSizes(&s), 0);
        EXPECT_EQ(s.dataSize, c.dataSize);
        EXPECT_EQ(s.taperSize, c.taperSize);
    }
}

TEST(Sizes, RefusesValuesThatCannotMakeASignal)
{
    struct Case {
        int hz, ms, taperMs;
        const char *err;
    } cases[] = {
        {12000, 0, 50, "error: -t: signal duration must be greater than 0 ms.\n"},
        {12000, -5, 50, "error: -t: signal duration must be greater than 0 ms.\n"},
        {0, 500, 50, "error: -s: sampling frequency must be greater than 0 Hz.\n"},
        {-1, 500, 50, "error: -s: sampling frequency must be greater than 0 Hz.\n"},
        {12000, 500, -1, "error: -T: taper length must not be negative.\n"},
        {1, 999, 0, "error: -t and -s: the signal must be 1 to 2147483629 samples long, not 0.\n"},
        {48000, 2000000000, 0,
         "error: -t and -s: the signal must be 1 to 2147483629 samples long, not 96000000000.\n"},
        {12000, 500, 1215752191,
         "error: -T and -s: the taper must be at most 2147483629 samples long, not 14589026292.\n"},
    };
    for (const Case &c : cases) {
        RunSettings s;
        s.samplingHz = c.hz;
        s.durationMs = c.ms;
        s.taperMs = c.taperMs;
        testing::internal::CaptureStderr();
        EXPECT_EQ(deriveSizes(&s), 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    }
    // The largest signal a WAVE file can hold is accepted.
    RunSettings s;
    s.samplingHz = 1000;
    s.durationMs = MAX_DATA_SIZE;
    EXPECT_EQ(deriveSizes(&s), 0);
    EXPECT_EQ(s.dataSize, MAX_DATA_SIZE);
}
