// The frame of every program's main: the one place where a failure's message is
// printed and turned into the exit status, where texts meant for standard output are
// written and checked, and where a lack of memory ends the run with a message.
// Included by the programs' main files only: the library itself prints nothing.
#ifndef SONVEL_CLI_MAIN_H
#define SONVEL_CLI_MAIN_H

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <new>
#include <string>

#include "cli.h"
#include "result.h"

// Prints the message of a failed result on standard error; 1 for a failure, 0 for
// success.
inline int printFailure(const Result &r)
{
    if (r.ok()) return 0;
    std::fputs(r.message().c_str(), stderr);
    return 1;
}

// Writes text to standard output; 0, or 1 after "error: fail to write WHAT to standard
// output." when it did not take it all.
inline int printOutput(const std::string &text, const char *what)
{
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0 ||
        std::ferror(stdout)) {
        std::fprintf(stderr, "error: fail to write %s to standard output.\n", what);
        return 1;
    }
    return 0;
}

// What a parsed command line leaves to the program: RUN_CONTINUES when it runs, else
// the exit status after --help, --version or a refusal (printed here). The diagnostics
// of short options come first.
inline int answerCommandLine(const Program &program, const ParsedLine &line)
{
    std::fputs(line.diagnostics.c_str(), stderr);
    switch (line.end) {
    case ParseEnd::Help: return printOutput(helpText(program), "the help text");
    case ParseEnd::Version: return printOutput(versionText(program), "the version");
    case ParseEnd::Refused: return printFailure(line.failure);
    case ParseEnd::Run:
    case ParseEnd::Stopped: break;
    }
    return RUN_CONTINUES;
}

// Gives standard output and standard error a file where either is closed, so that no
// file the program opens later takes its place: standard output /dev/full, on which
// every write fails (a help text, a listing or results that cannot be written are a
// failure), standard error /dev/null. Returns which were closed (bit n for
// descriptor n).
inline unsigned guardStandardStreams()
{
    unsigned closed = 0;
    for (int fd = STDOUT_FILENO; fd <= STDERR_FILENO; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        closed |= 1u << fd;
        const int stand = open(fd == STDOUT_FILENO ? "/dev/full" : "/dev/null", O_WRONLY);
        if (stand >= 0 && stand != fd) {
            dup2(stand, fd);
            close(stand);
        }
    }
    return closed;
}

// main of every program: the run, and "error: out of memory." with status 1 where an
// allocation throws, never std::terminate. A reader that went away (SIGPIPE) or a
// file-size limit (SIGXFSZ) makes a write fail, which the run reports, instead of
// ending the program by a signal.
inline int runMain(int (*run)(int, char **), int argc, char **argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fputs("error: out of memory.\n", stderr);
        return 1;
    }
}

#endif
