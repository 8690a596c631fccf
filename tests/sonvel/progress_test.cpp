// The progress line of a long synthesis: shown and erased on a terminal, absent anywhere
// else.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "gen_signal.h"
#include "run_program.h"

namespace {

using Progress = TempDirTest;

// What a terminal shows after receiving raw: carriage returns move back to the start
// of the line, later characters overwrite earlier ones.
std::vector<std::string> screenOf(const std::string &raw)
{
    std::vector<std::string> lines;
    std::string line;
    size_t column = 0;
    auto finish = [&] {
        line.erase(line.find_last_not_of(' ') + 1);
        lines.push_back(line);
        line.clear();
        column = 0;
    };
    for (char c : raw) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            finish();
        } else {
            if (column < line.size())
                line[column] = c;
            else
                line += c;
            column++;
        }
    }
    if (!line.empty()) finish();
    return lines;
}

// Arguments for a synthesis that the program expects to take about 1.5 seconds.
std::vector<std::string> longJob(const std::string &list, const std::string &out)
{
    std::string text;
    for (int j = 0; j < 2048; j++) text += std::to_string(100 + j) + " 1 " + std::to_string(j) + "\n";
    writeFile(list, text);
    double seconds = synthesisSeconds(chooseKernel(), 48000, 2048);  // per second of signal
    int ms = static_cast<int>(std::ceil(1.5 / seconds * 1000));
    return {"-s", "48000", "-l", "-40", "-t", std::to_string(ms), "-f", list, out};
}

}  // namespace

TEST_F(Progress, NothingChangesWithoutATerminal)
{
    RunResult r = runSonvel(longJob(path("list"), path("out.wav")));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos);
    EXPECT_EQ(r.err.find("synthesis"), std::string::npos);
}

TEST_F(Progress, ATerminalKeepsOnlyTheReport)
{
    if (std::system("command -v script >/dev/null") != 0) GTEST_SKIP() << "no script(1) here";
    std::vector<std::string> args = longJob(path("list"), path("tty.wav"));
    RunResult plain = runSonvel(args);
    ASSERT_EQ(plain.status, 0);

    std::string command = "'" SONVEL_BINARY "'";
    for (std::string &a : args) command += " '" + a + "'";
    std::string outer = "script -qec \"" + command + "\" /dev/null < /dev/null";
    FILE *pipe = popen(outer.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string raw;
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) raw.append(chunk, got);
    int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << raw;

    EXPECT_NE(raw.find("\rsynthesis:"), std::string::npos) << "no progress shown";
    EXPECT_EQ(screenOf(raw), screenOf(plain.err));
}
