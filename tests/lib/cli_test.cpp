// The command-line layer: how a table of options reads argv, refuses long-option
// mistakes, words short-option diagnostics as getopt does, and lays out --help.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli.h"

namespace {

struct Read {
    std::vector<std::string> args;  // the operands point into them
    ParsedLine line;
    std::string rate, level, format;
    bool flag = false;
};

Read parse(std::vector<std::string> args)
{
    static Read read;
    read = Read();
    Program program{"prog", {"[options] FILE"}, {}, false, true};
    program.groups.push_back(
        {"options",
         {{"rate", 's', "HZ", "rate", "1", [](const char *v) { return read.rate = v, Result(); }},
          {"level", 0, "DB", "level", "", [](const char *v) { return read.level = v, Result(); }},
          {"sample-format", 0, "F", "format", "", [](const char *v) { return read.format = v, Result(); }},
          {"seed", 0, "N", "seed", "", [](const char *v) {
               return std::string(v) == "bad" ? refusal("--seed", v, "a whole number") : Result();
           }},
          {nullptr, 'x', nullptr, "flag", "", [](const char *) { return read.flag = true, Result(); }},
          {nullptr, 'h', nullptr, "stop", "", nullptr, true}}});
    read.args = std::move(args);
    read.args.insert(read.args.begin(), "prog");
    std::vector<char *> argv;
    for (std::string &a : read.args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    read.line = parseCommandLine(program, static_cast<int>(read.args.size()), argv.data());
    return read;
}

}  // namespace

TEST(CommandLine, LongOptionMistakesAreRefused)
{
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--sample-fromat=s24", "f"}, "error: --sample-fromat: no such option; see prog --help.\n"},
        {{"--s=s24", "f"}, "error: --s is ambiguous: it may be --sample-format, --seed.\n"},
        {{"f", "--seed"}, "error: --seed needs a value.\n"},
        {{"--rate"}, "error: --rate needs a value.\n"},
        {{"--help=3"}, "error: --help takes no value.\n"},
        {{"--seed", "bad"}, "error: --seed: \"bad\" is not a whole number.\n"},
        {{"--bo\ngus"}, "error: --bo\\ngus: no such option; see prog --help.\n"},
    };
    for (const Case &c : cases) {
        Read r = parse(c.args);
        EXPECT_EQ(r.line.end, ParseEnd::Refused) << c.message;
        EXPECT_EQ(r.line.failure.message(), c.message);
        EXPECT_EQ(r.line.diagnostics, "");
    }
}

TEST(CommandLine, ShortOptionMistakesAreDiagnosedAndParsingGoesOn)
{
    // A letter refused inside a group that follows a long option is still a letter's.
    Read r = parse({"--level=-3", "-qx", "f", "-s"});
    EXPECT_EQ(r.line.end, ParseEnd::Run);
    EXPECT_EQ(r.line.diagnostics, "prog: invalid option -- 'q'\nprog: option requires an argument -- 's'\n");
    EXPECT_TRUE(r.flag);
    EXPECT_EQ(r.level, "-3");
    ASSERT_EQ(r.line.operands.size(), 1u);
    EXPECT_EQ(std::string(r.line.operands[0]), "f");
}

TEST(CommandLine, LetterMistakesAreRefusedWhereTheProgramSaysSo)
{
    SignalOptions s;
    Program program{"prog", {""}, {signalOptions(&s, SIGNAL_RATE, "")}, true, false};
    for (auto args : {std::vector<std::string>{"prog", "-q"}, {"prog", "-s"}}) {
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(&a[0]);
        ParsedLine line = parseCommandLine(program, static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(line.end, ParseEnd::Refused);
        EXPECT_EQ(line.failure.message(), args[1] == "-q" ? "error: -q: no such option; see prog --help.\n"
                                                          : "error: -s needs a value.\n");
    }
}

TEST(CommandLine, ValuesPrefixesAndTheEnd)
{
    Read r = parse({"f1", "--sample=s24", "-s8k", "--", "-x"});
    EXPECT_EQ(r.line.end, ParseEnd::Run);
    EXPECT_EQ(r.format, "s24");  // a unique prefix is the option
    EXPECT_EQ(r.rate, "8k");
    EXPECT_FALSE(r.flag);
    ASSERT_EQ(r.line.operands.size(), 2u);
    EXPECT_EQ(std::string(r.line.operands[1]), "-x");
    EXPECT_EQ(parse({"-h", "--bogus"}).line.end, ParseEnd::Stopped);
    EXPECT_EQ(parse({"--bogus", "-h"}).line.end, ParseEnd::Refused);
    EXPECT_EQ(parse({"--vers"}).line.end, ParseEnd::Version);
    EXPECT_EQ(parse({"x", "--help"}).line.end, ParseEnd::Help);
}

TEST(CommandLine, HelpLayout)
{
    Program program{"prog", {"[options] FILE", "--other"}, {}, true};
    program.groups.push_back(
        {"signal", {{"duration", 't', "MS", "a text long enough to be wrapped at the right margin of the help "
                                            "text, which is at column seventy-nine",
                     "500", nullptr},
                    {"a-name-too-long-for-its-column", 0, "VALUE", "text", "", nullptr}}});
    EXPECT_EQ(helpText(program),
              "usage: prog [options] FILE\n"
              "       prog --other\n"
              "\n"
              "signal:\n"
              "  -t, --duration MS           a text long enough to be wrapped at the right\n"
              "                              margin of the help text, which is at column\n"
              "                              seventy-nine, 500 by default\n"
              "      --a-name-too-long-for-its-column VALUE\n"
              "                              text\n"
              "  -h, --help                  print this help on standard output\n"
              "      --version               print the program's name and version\n");
    EXPECT_EQ(versionText(program), "prog " SONVEL_VERSION "\n");
}

TEST(CommandLine, SignalOptionsReadAsSonvelDoes)
{
    SignalOptions s;
    Program program{"prog", {""}, {signalOptions(&s, SIGNAL_ALL, "list")}, true};
    std::vector<std::string> args{"prog", "-t", " +250ms", "-s", "8k", "-T", "x", "--level", "-20.5", "-l", "-12"};
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(&a[0]);
    ASSERT_EQ(parseCommandLine(program, static_cast<int>(argv.size()), argv.data()).end, ParseEnd::Run);
    EXPECT_EQ(s.durationMs, 250);
    EXPECT_EQ(s.samplingHz, 8);
    EXPECT_EQ(s.taperMs, 0);
    EXPECT_EQ(s.levelDb, -12);
    EXPECT_EQ(s.levelOption, nullptr);  // -l came later
    EXPECT_TRUE(s.extended);
    int size = 0, taper = 0;
    double target = 0.0;
    s.samplingText = "99999999999";
    EXPECT_EQ(resolveSignal(s, 1000000, &size, &taper, &target).message(),
              "error: -s: 99999999999 does not fit in a 32-bit integer.\n");
}
