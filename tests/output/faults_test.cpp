// Every program's file outputs under faults: a full disk, a file-size limit, two runs
// at once, a set-group-ID or default-ACL directory, inode flags, and a link planted in
// a shared directory. A run that fails leaves each output as it was; one that succeeds
// leaves the whole new file with the old one's group, mode, ACL and flags.
#include <gtest/gtest.h>

#include <linux/fs.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "run_program.h"

namespace {

std::string quoted(const std::string &s) { return "'" + s + "'"; }

// How one program writes a file: its name, its shell command for an output path that
// ends in ending: "-1.txt", so that the designer's PREFIX-1.txt is that path, or
// "-1.png" for the plot, whose format its extension gives.
struct Writer {
    std::string name;
    std::function<std::string(const std::string &path)> command;
    std::string ending = "-1.txt";
};

class Outputs : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);  // nobody may look in
        writeFile(path("list"), "1000 1\n");
        writeFile(path("list2"), "2000 1\n");
        const std::string tone = quoted(path("list")), multisine = quoted(path("multisine"));
        // 48044 bytes of WAVE.
        writers.push_back({"sonvel", [=](const std::string &p) {
                               return quoted(SONVEL_BINARY) + " -s 48000 -t 500 -T 0 -f " + tone + " " + quoted(p);
                           }});
#if defined(SONVEL_DESIGN_BINARY)
        // About 50 KB of list.
        writers.push_back({"sonvel-design", [](const std::string &p) {
                               return quoted(SONVEL_DESIGN_BINARY) + " -s 48000 --resolution 10 --band 100:15000 "
                                      "--phases random --realisations 1 " + quoted(p.substr(0, p.size() - 6));
                           }});
#endif
#if defined(SONVEL_DESIGN_BINARY) && defined(SONVEL_ANALYZE_BINARY)
        const std::string recording = quoted(path("rec.wav")), signal = " -s 48000 -t 1000 ";
        ASSERT_EQ(bash(quoted(SONVEL_DESIGN_BINARY) + signal + "--resolution 50 --band 100:15000 --phases random >" +
                       multisine + " && " + quoted(SONVEL_BINARY) + signal + "-f " + multisine + " " + recording),
                  0);
        // A PNG of some 30 KB.
        writers.push_back({"sonvel-analyze --plot", [=](const std::string &p) {
                               return quoted(SONVEL_ANALYZE_BINARY) + signal + "-f " + multisine + " --plot " +
                                      quoted(p) + " " + recording;
                           }, "-1.png"});
#endif
    }

    // Runs command in bash, its standard output and error in the files out and err;
    // the exit status, or 128 + the signal that ended it.
    int bash(const std::string &command)
    {
        writeFile(path("script"), "{ " + command + "\n} >" + quoted(path("out")) + " 2>" + quoted(path("err")) + "\n");
        const int status = std::system(("bash " + quoted(path("script"))).c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // The files PREFIX-1.txt to PREFIX-3.txt, one after the other.
    std::string readSet(const std::string &prefix)
    {
        std::string set;
        for (int n = 1; n <= 3; n++) set += readFile(prefix + "-" + std::to_string(n) + ".txt");
        return set;
    }

    std::vector<Writer> writers;
};

// The inode flags of file, after adding those of add; -1 where there are none.
int inodeFlags(const std::string &file, int add = 0)
{
    int flags = 0;
    const int fd = open(file.c_str(), O_RDONLY);
    bool got = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (got && add) got = (flags |= add, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (fd >= 0) close(fd);
    return got ? flags : -1;
}

}  // namespace

TEST_F(Outputs, AFullDiskOrAFileSizeLimitLeavesTheOldFile)
{
    // A tmpfs of 64 KiB, filled to the last block.
    const std::string small = path("small");
    mkdir(small.c_str(), 0755);
    const bool mounted = geteuid() == 0 && mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") == 0;
    if (!mounted) std::printf("not root or no tmpfs: the full disk is not tried\n");
    for (const Writer &w : writers) {
        for (bool linked : {false, true}) {
            // A file with a second name is written in place; a run that cannot write
            // it whole is refused before the truncation.
            for (const std::string &at : {dir, small}) {
                if (at == small && !mounted) continue;
                const std::string target = at + "/old" + w.ending;
                writeFile(target, "old");
                if (linked) link(target.c_str(), (at + "/second").c_str());
                const std::string limit = at == dir ? "ulimit -f 8; " : "dd if=/dev/zero of=fill bs=1k 2>/dev/null; ";
                EXPECT_EQ(bash("cd " + quoted(at) + "; " + limit + w.command(target)), 1) << w.name << linked;
                EXPECT_TRUE(readFile(target) == "old") << w.name << " linked " << linked << " in " << at;
                // Every failure says so; sonvel's "fail to save data." goes to standard
                // output, as it always has, and no other program prints a result.
                const std::string out = readFile(path("out")), err = readFile(path("err"));
                EXPECT_NE((w.name == "sonvel" ? out + err : err).find("error: "), std::string::npos) << w.name;
                EXPECT_TRUE(w.name == "sonvel" || out.empty()) << w.name;
                unlink((at + "/second").c_str());
                unlink((at + "/fill").c_str());
            }
        }
        // A plot that cannot be written is refused before the analysis.
        if (w.name != "sonvel-analyze --plot") continue;
        for (const char *plot : {"/nonexistent/p.png", "/dev/stdout"}) {
            EXPECT_EQ(bash(w.command(plot)), 1) << plot;
            EXPECT_EQ(readFile(path("out")), "") << plot;
            const std::string err = readFile(path("err"));
            EXPECT_TRUE(err.rfind("error: --plot: ", 0) == 0 && err.find('\n') == err.size() - 1) << err;
        }
    }
    if (mounted) umount2(small.c_str(), MNT_DETACH);
}

TEST_F(Outputs, AReplacedFileKeepsItsGroupAclAndFlags)
{
    const bool root = geteuid() == 0;
    if (!root) std::printf("not root: the set-group-ID directory is not tried\n");
    ASSERT_EQ(mkdir(path("setgid").c_str(), 0775) | mkdir(path("acl").c_str(), 0775), 0);
    if (root) {
        ASSERT_EQ(chown(path("setgid").c_str(), 0, 65534) | chmod(path("setgid").c_str(), 02775), 0);
    }
    const bool acl = std::system(("setfacl -d -m u:65534:rw " + quoted(path("acl"))).c_str()) == 0;
    if (!acl) std::printf("setfacl is missing or unsupported here: the default ACL is not tried\n");
    for (const Writer &w : writers) {
        // The group that the directory would give, and the entries that a default ACL
        // would give a new file, on a file of mode 0660 without an ACL.
        for (const char *in : {"setgid", "acl"}) {
            if (!(in[0] == 's' ? root : acl)) continue;
            const std::string file = path(in) + "/out" + w.ending;
            writeFile(file, "old");
            ASSERT_EQ(std::system(("setfacl -b " + quoted(file) + " 2>/dev/null").c_str()), acl ? 0 : 256);
            ASSERT_EQ(chmod(file.c_str(), 0660), 0);
            if (root) {
                ASSERT_EQ(chown(file.c_str(), 0, 0), 0);
            }
            EXPECT_EQ(bash(w.command(file)), 0) << w.name;
            struct stat st;
            ASSERT_EQ(stat(file.c_str(), &st), 0);
            EXPECT_EQ(st.st_gid, root ? 0u : getegid()) << w.name << " in " << in;
            EXPECT_EQ(st.st_mode & 07777, 0660u) << w.name << " in " << in;
            char value[256];
            EXPECT_EQ(getxattr(file.c_str(), "system.posix_acl_access", value, sizeof value), -1) << w.name;
        }
        // chattr +d.
        const std::string file = path("flag" + w.ending);
        writeFile(file, "old");
        if (inodeFlags(file, FS_NODUMP_FL) < 0) continue;
        EXPECT_EQ(bash(w.command(file)), 0) << w.name;
        EXPECT_TRUE(readFile(file) != "old" && (inodeFlags(file) & FS_NODUMP_FL)) << w.name;
    }
}

TEST_F(Outputs, ALinkPlantedInASharedDirectoryIsNotFollowed)
{
    if (geteuid() != 0) GTEST_SKIP() << "not root: a link of another user cannot be planted";
    const std::string shared = path("shared"), secret = path("secret");
    ASSERT_EQ(mkdir(shared.c_str(), 0777) | chmod(shared.c_str(), 01777), 0);
    writeFile(secret, "root's");
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    // nobody plants a link to root's file, one to where root would create a file (for
    // each ending of the writers' names), and one to the test's directory, on the way to
    // root's file.
    const std::string endings[] = {"-1.txt", "-1.png"};
    const pid_t pid = fork();
    if (pid == 0) {
        bool planted = setgid(65534) == 0 && setuid(65534) == 0 && symlink(dir.c_str(), (shared + "/dir").c_str()) == 0;
        for (const std::string &e : endings)
            planted = planted && symlink(secret.c_str(), (shared + "/out" + e).c_str()) == 0 &&
                      symlink(path("created" + e).c_str(), (shared + "/new" + e).c_str()) == 0;
        _exit(planted ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // root's own link in the same directory is followed.
    for (const std::string &e : endings) ASSERT_EQ(symlink(path("own" + e).c_str(), (shared + "/own" + e).c_str()), 0);
    for (const Writer &w : writers) {
        writeFile(path("old" + w.ending), "root's");
        for (const char *name : {"out", "new", "dir/old"}) {
            EXPECT_EQ(bash(w.command(shared + "/" + name + w.ending)), 1) << w.name << " " << name;
            const std::string err = readFile(path("err"));
            EXPECT_NE(err.find(w.name == "sonvel" ? "error: " : "is not followed"), std::string::npos) << err;
        }
        EXPECT_EQ(readFile(secret) + readFile(path("old" + w.ending)), "root'sroot's") << w.name;
        EXPECT_FALSE(fileExists(path("created" + w.ending))) << w.name;
        EXPECT_EQ(bash(w.command(shared + "/own" + w.ending)), 0) << w.name;
        EXPECT_EQ(unlink(path("own" + w.ending).c_str()), 0) << w.name;
    }
}

TEST_F(Outputs, TwoRunsOnOneFileWriteOneAfterTheOther)
{
    // Two signals of 19 MB into a file with a second name, written in place: the first
    // run is stopped after its first megabyte while the second starts, then let go.
    const std::string target = quoted(path("shared.wav"));
    auto run = [&](const char *list) {
        return quoted(SONVEL_BINARY) + " -s 48000 -t 200000 -T 0 -l -30 -f " + quoted(path(list)) + " " + target;
    };
    ASSERT_EQ(bash(run("list")), 0);
    const std::string first = readFile(path("shared.wav"));
    ASSERT_EQ(bash(run("list2")), 0);
    const std::string second = readFile(path("shared.wav"));
    ASSERT_EQ(link(path("shared.wav").c_str(), path("second").c_str()), 0);
    for (int tries = 0; tries < 3; tries++) {
        EXPECT_EQ(bash(": > " + target + "; " + run("list") + " & a=$!; while [ $(stat -c %s " + target +
                       ") -lt 1000000 ]; do :; done; kill -STOP $a; " + run("list2") +
                       " & b=$!; sleep 0.5; kill -CONT $a; wait $a && wait $b"),
                  0);
        const std::string got = readFile(path("shared.wav"));
        EXPECT_TRUE(got == first || got == second) << "try " << tries;
    }
}

#if defined(SONVEL_DESIGN_BINARY)
TEST_F(Outputs, RealisationsAreWrittenAsASet)
{
    const std::string prefix = path("set");
    auto design = [&](const char *band, const char *time) {
        return quoted(SONVEL_DESIGN_BINARY) + " -s 48000 --resolution 50 --band " + band + " --time " + time +
               " --realisations 3 " + quoted(prefix);
    };
    // A third file that cannot be written is found before the first search, which
    // would take minutes.
    writeFile(prefix + "-1.txt", "old 1");
    writeFile(prefix + "-2.txt", "old 2");
    ASSERT_EQ(mkdir((prefix + "-3.txt").c_str(), 0755), 0);
    EXPECT_EQ(bash("timeout 20 " + design("100:2000", "1000")), 1);
    EXPECT_EQ(readFile(path("err")), "error: fail to open \"" + prefix + "-3.txt\".\n");
    EXPECT_EQ(readFile(prefix + "-1.txt") + readFile(prefix + "-2.txt"), "old 1old 2");
    rmdir((prefix + "-3.txt").c_str());

    // Two runs on one prefix, the faster one started while the slower one searches, so
    // that without a lock its files would come both before and after the other's: the
    // set of the one or of the other, never mixed.
    ASSERT_EQ(bash(design("100:4000", "0.2")), 0);
    const std::string slower = readSet(prefix);
    ASSERT_EQ(bash(design("100:2000", "0.05")), 0);
    const std::string faster = readSet(prefix);
    for (int tries = 0; tries < 3; tries++) {
        EXPECT_EQ(bash(design("100:4000", "0.2") + " & a=$!; sleep 0.5; " + design("100:2000", "0.05") +
                       " & b=$!; wait $a && wait $b"),
                  0);
        EXPECT_TRUE(readSet(prefix) == slower || readSet(prefix) == faster) << "try " << tries;
    }

    // A run stopped in its searches (each counted as 10 s of work, which takes longer
    // than the 3 s given on any machine we run on) leaves the old set, and no
    // temporary file.
    const std::string names = listDir(dir);
    EXPECT_EQ(bash("timeout 3 " + design("100:2000", "10")), 124);
    EXPECT_TRUE(readSet(prefix) == faster || readSet(prefix) == slower);
    EXPECT_EQ(listDir(dir), names);
}
#endif
