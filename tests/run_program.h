// Runs the built program in a child process and collects what it did.
#ifndef SONVEL_TESTS_RUN_PROGRAM_H
#define SONVEL_TESTS_RUN_PROGRAM_H

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

struct RunResult {
    int status = -1;  // exit status, or -1 when the child did not exit normally
    int signal = 0;   // the signal that ended the child, or 0
    std::string out;  // standard output
    std::string err;  // standard error
};

// What the child gets as standard input.
struct Input {
    Input(std::string text = "", std::vector<int> closed = {}, std::string outTo = "",
          int termAfterMs = 0)
        : text(std::move(text)), closed(std::move(closed)), outTo(std::move(outTo)),
          termAfterMs(termAfterMs) {}
    std::string text;         // fed through a file
    std::vector<int> closed;  // descriptors closed before the program starts (0: <&-)
    std::string outTo;        // standard output goes to this file instead of being kept
    int termAfterMs = 0;      // SIGTERM this many ms after the start (0: never)
};

// Runs the program with args (argv[1] onwards); env entries are added to the
// environment ("NAME=value").
RunResult runSonvel(const std::vector<std::string> &args, const Input &input = {},
                    const std::vector<std::string> &env = {});
// The same for any program.
RunResult runProgram(const std::string &program, const std::vector<std::string> &args,
                     const Input &input = {}, const std::vector<std::string> &env = {});

// A fresh, empty directory for one test, removed with its contents by the fixture.
std::string makeTempDir();
void removeTree(const std::string &path);

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &data);
bool fileExists(const std::string &path);

// A test with a fresh temporary directory of its own.
class TempDirTest : public testing::Test {
protected:
    void SetUp() override { dir = makeTempDir(); }
    void TearDown() override { removeTree(dir); }
    std::string path(const std::string &name) const { return dir + "/" + name; }
    // Runs the program with args and an output file in the test's folder, and expects
    // a refusal: status 1, exactly err on standard error, nothing on standard output
    // and no output file.
    void expectRefusal(std::vector<std::string> args, const std::string &input, const std::string &err)
    {
        args.push_back(path("refused.wav"));
        RunResult r = runSonvel(args, {input});
        EXPECT_EQ(r.status, 1) << err;
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fileExists(path("refused.wav"))) << err;
    }
    std::string dir;
};

// The names in a directory, hidden ones included, one a line.
std::string listDir(const std::string &dir);

#endif
