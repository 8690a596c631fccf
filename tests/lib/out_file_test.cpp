// The output file's temporary file: every way out but a commit removes it, whether it
// has a visible name (where O_TMPFILE is not used) or none.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "out_file.h"
#include "run_program.h"

using NamedTemporary = TempDirTest;

TEST_F(NamedTemporary, OnlyACommitPutsTheFileInPlace)
{
    const std::string target = path("out.wav");
    writeFile(target, "old");
    OutputOptions named;
    named.allowUnnamed = false;
    OutputFile out;
    ASSERT_TRUE(openOutput(target.c_str(), &out, named));
    ASSERT_TRUE(beginOutput(&out));
    EXPECT_EQ(out.tempPath.rfind(dir + "/.out.wav.sonvel-", 0), 0u) << out.tempPath;
    std::fputs("new", out.stream);
    discardOutput(&out);
    EXPECT_EQ(listDir(dir), "out.wav\n");
    EXPECT_EQ(readFile(target), "old");

    ASSERT_TRUE(openOutput(target.c_str(), &out, named) && beginOutput(&out));
    std::fputs("new", out.stream);
    EXPECT_TRUE(commitOutput(&out));
    EXPECT_EQ(listDir(dir), "out.wav\n");
    EXPECT_EQ(readFile(target), "new");

    // A signal removes the temporary files, of every output still open, before the
    // program dies of it.
    pid_t pid = fork();
    if (pid == 0) {
        OutputFile child, second;
        if (!openOutput(target.c_str(), &child, named) || !beginOutput(&child)) _exit(2);
        if (!openOutput(path("second.wav").c_str(), &second, named)) _exit(2);
        std::fputs("partial", child.stream);
        std::fflush(child.stream);
        raise(SIGTERM);
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(listDir(dir), "out.wav\n");
    EXPECT_EQ(readFile(target), "new");
}

using UncommittedOutput = TempDirTest;

// An output dropped without a commit, as an early return or an exception drops it,
// leaves the directory as it was and keeps no descriptor open, with O_TMPFILE and
// without, for a new name and for an existing file.
TEST_F(UncommittedOutput, LeavesTheDirectoryAsItWas)
{
    const std::string target = path("out.wav");
    writeFile(target, "old");
    const std::string descriptors = listDir("/proc/self/fd");
    for (bool allowUnnamed : {true, false}) {
        for (const std::string &name : {target, path("new.wav")}) {
            OutputOptions options;
            options.allowUnnamed = allowUnnamed;
            {
                OutputFile out;
                ASSERT_TRUE(openOutput(name.c_str(), &out, options) && beginOutput(&out));
                std::fputs("new", out.stream);
            }
            EXPECT_EQ(listDir(dir), "out.wav\n") << name << " unnamed " << allowUnnamed;
            EXPECT_EQ(readFile(target), "old");
        }
    }
    EXPECT_EQ(listDir("/proc/self/fd"), descriptors);
}
