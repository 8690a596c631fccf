// Where the samples go: standard output as the shell handed it over, FIFOs and devices
// opened only for a run that succeeds, replaced files that keep who may use them, and
// a file-size limit that is a failure like any other.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "run_program.h"

namespace {

class Output : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        writeFile(path("list"), "1000 1\n");
        ASSERT_EQ(runSonvel({"-r", "-t", "10", "-T", "0", "-f", path("list"), path("one.pcm")}).status, 0);
        one = readFile(path("one.pcm"));
    }
    // Runs a shell command in the test's folder, with $S the program and its usual
    // arguments for a 10 ms raw signal; returns the exit status.
    int sh(const std::string &command)
    {
        const std::string script = "cd '" + dir + "' && S='" SONVEL_BINARY " -r -t 10 -T 0 -f list' && { " +
                                   command + "; } 2>err";
        const int status = std::system(("bash -c \"" + script + "\"").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string one;  // the bytes of one run
};

}  // namespace

TEST_F(Output, StandardOutputIsUsedAsHandedOver)
{
    writeFile(path("log"), "BBBB");
    EXPECT_EQ(sh("\\$S /dev/stdout >> log"), 0);
    EXPECT_EQ(readFile(path("log")), "BBBB" + one);
    EXPECT_EQ(sh("for i in 1 2 3; do \\$S /dev/fd/1 || exit; done > three"), 0);
    EXPECT_EQ(readFile(path("three")), one + one + one);
    EXPECT_EQ(sh("(printf BBBB; \\$S /proc/self/fd/1; printf CCCC) > mix"), 0);
    EXPECT_EQ(readFile(path("mix")), "BBBB" + one + "CCCC");

    // A refusal leaves what the file held; a closed standard output is no output.
    writeFile(path("log"), "BBBB");
    EXPECT_EQ(sh("\\$S -l -1 /dev/stdout >> log"), 1);
    EXPECT_EQ(readFile(path("log")), "BBBB");
    EXPECT_EQ(sh("\\$S /dev/stdout >&-"), 1);
    const std::string err = readFile(path("err"));
    EXPECT_EQ(err.substr(err.size() - 36), "\nerror: fail to open \"/dev/stdout\".\n");
    EXPECT_EQ(err.find("power level"), std::string::npos);
}

TEST_F(Output, RefusedBeforeTheSignalIsMade)
{
    // A listing on the stream that takes the signal, and an empty path.
    RunResult r = runSonvel({"-o", "-f", path("list"), "/dev/stdout"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: -o: the waveform listing and the signal cannot both go to standard output.\n");
    EXPECT_EQ(r.out, "");
    r = runSonvel({"-s", "48000", "-t", "600000", "-f", path("list"), ""});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.substr(r.err.size() - 61 - 24), std::string(60, '-') + "\nerror: fail to open \"\".\n");

    // A FIFO without a reader is not opened by a refused run, which would wait for one.
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    EXPECT_EQ(sh("timeout 20 \\$S -l -1 fifo"), 1);
}

TEST_F(Output, RegularFilesAreReplacedWhereverTheyAre)
{
    // Under a /dev-like path, a regular file is still written through a temporary one.
    const std::string viaDev = "/dev/.." + dir + "/k.pcm";
    writeFile(path("k.pcm"), "keep");
    EXPECT_EQ(runSonvel({"-r", "-l", "-1", "-T", "0", "-f", path("list"), viaDev}).status, 1);
    EXPECT_EQ(readFile(path("k.pcm")), "keep");
    EXPECT_EQ(runSonvel({"-r", "-t", "10", "-T", "0", "-f", path("list"), viaDev}).status, 0);
    EXPECT_EQ(readFile(path("k.pcm")), one);
    EXPECT_EQ(listDir(dir), "k.pcm\nlist\none.pcm\n");
}

TEST_F(Output, AReplacedFileKeepsItsAccessAndLinks)
{
    const std::string file = path("shared.pcm");
    writeFile(file, "old");
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
    }
    const bool haveAcl = sh("command -v setfacl && setfacl -m u:65534:rw shared.pcm") == 0;
    if (!haveAcl) std::printf("setfacl is missing or unsupported here: the ACL is not checked\n");
    ASSERT_EQ(setxattr(file.c_str(), "user.note", "kept", 4, 0), 0);
    char acl[256] = {}, note[16] = {};
    const ssize_t aclSize = getxattr(file.c_str(), "system.posix_acl_access", acl, sizeof acl);
    struct stat before;
    ASSERT_EQ(stat(file.c_str(), &before), 0);

    ASSERT_EQ(runSonvel({"-r", "-t", "10", "-T", "0", "-f", path("list"), file}).status, 0);
    EXPECT_EQ(readFile(file), one);
    struct stat after;
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(getxattr(file.c_str(), "user.note", note, sizeof note), 4);
    EXPECT_STREQ(note, "kept");
    if (haveAcl) {
        char got[256] = {};
        ASSERT_EQ(getxattr(file.c_str(), "system.posix_acl_access", got, sizeof got), aclSize);
        EXPECT_EQ(std::string(got, static_cast<size_t>(aclSize)), std::string(acl, static_cast<size_t>(aclSize)));
    }

    // A file with a second name is written in place: both names see the new bytes.
    ASSERT_EQ(link(file.c_str(), path("other.pcm").c_str()), 0);
    ASSERT_EQ(runSonvel({"-r", "-t", "20", "-T", "0", "-f", path("list"), file}).status, 0);
    EXPECT_EQ(readFile(path("other.pcm")), readFile(file));
    EXPECT_EQ(readFile(file).size(), 2 * one.size());
}

TEST_F(Output, AFileSizeLimitIsAFailedWrite)
{
    // 960044 bytes against a limit of 100 KiB: the run stops at the failed write.
    EXPECT_EQ(sh("ulimit -f 100; '" SONVEL_BINARY "' -s 48000 -t 10000 -f list big.wav > out"), 1);
    EXPECT_EQ(readFile(path("out")), "error: fail to save data.\n");
    EXPECT_EQ(readFile(path("err")).find("power level"), std::string::npos);
    EXPECT_EQ(listDir(dir), "err\nlist\none.pcm\nout\n");
}
