// Runs the built program in a child process and collects what it did.
#ifndef SONVEL_TESTS_RUN_PROGRAM_H
#define SONVEL_TESTS_RUN_PROGRAM_H

#include <string>
#include <vector>

struct RunResult {
    int status = -1;  // exit status, or -1 when the child did not exit normally
    std::string out;  // standard output
    std::string err;  // standard error
};

// What the child gets as standard input.
struct Input {
    std::string text;     // fed through a file
    bool closed = false;  // standard input closed (as with <&-)
};

// Runs the program with args (argv[1] onwards); env entries are added to the
// environment ("NAME=value").
RunResult runSonvel(const std::vector<std::string> &args, const Input &input = {},
                    const std::vector<std::string> &env = {});

// A fresh, empty directory for one test, removed with its contents by the fixture.
std::string makeTempDir();
void removeTree(const std::string &path);

std::string readFile(const std::string &path);
void writeFile(const std::string &path, const std::string &data);
bool fileExists(const std::string &path);

#endif
