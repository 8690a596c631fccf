#include "run_program.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <vector>

extern char **environ;

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream data;
    data << in.rdbuf();
    return data.str();
}

void writeFile(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

bool fileExists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string listDir(const std::string &dir)
{
    // Sorted as ls sorts in the C locale, so that tests can compare the whole text.
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string text;
    for (const std::string &name : names) text += name + "\n";
    return text;
}

std::string makeTempDir()
{
    char pattern[] = "/tmp/sonvel-test-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void removeTree(const std::string &path)
{
    if (path.rfind("/tmp/sonvel-test-", 0) != 0) return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

RunResult runSonvel(const std::vector<std::string> &args, const Input &input,
                    const std::vector<std::string> &env)
{
    return runProgram(SONVEL_BINARY, args, input, env);
}

RunResult runProgram(const std::string &program, const std::vector<std::string> &args,
                     const Input &input, const std::vector<std::string> &env)
{
    std::string dir = makeTempDir();
    std::string inPath = dir + "/stdin", outPath = dir + "/stdout", errPath = dir + "/stderr";
    writeFile(inPath, input.text);

    std::vector<std::string> envStrings;
    for (char **e = environ; *e; e++) envStrings.push_back(*e);
    for (const std::string &e : env) envStrings.push_back(e);
    std::vector<char *> envp;
    for (std::string &e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        int in = open(inPath.c_str(), O_RDONLY);
        const std::string &outFile = input.outTo.empty() ? outPath : input.outTo;
        int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        close(in);
        close(out);
        close(err);
        for (int fd : input.closed) close(fd);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    RunResult result;
    int wstatus = 0;
    if (pid > 0 && input.termAfterMs > 0) {
        usleep(static_cast<useconds_t>(input.termAfterMs) * 1000);
        kill(pid, SIGTERM);
    }
    if (pid > 0 && waitpid(pid, &wstatus, 0) == pid) {
        if (WIFEXITED(wstatus)) result.status = WEXITSTATUS(wstatus);
        if (WIFSIGNALED(wstatus)) result.signal = WTERMSIG(wstatus);
    }
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    removeTree(dir);
    return result;
}
