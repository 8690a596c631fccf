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

// How one program writes a file: its binary and its arguments for an output path,
// which ends in "-1.txt" so that the designer's PREFIX-1.txt is that path.
struct Writer {
    const char *name;
    const char *program;
    std::function<std::vector<std::string>(const std::string &path)> args;
};

std::string quoted(const std::string &s) { return "'" + s + "'"; }

class Outputs : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);  // a user of the test may look in
        writeFile(path("list"), "1000 1\n");
        writeFile(path("list2"), "2000 1\n");
        const std::string tone = path("list"), recording = path("rec.wav");
        // 48044 bytes of WAVE.
        writers.push_back({"sonvel", SONVEL_BINARY, [tone](const std::string &p) {
                               return std::vector<std::string>{"-s", "48000", "-t", "500", "-T", "0", "-f", tone, p};
                           }});
#if defined(SONVEL_DESIGN_BINARY)
        // About 50 KB of list.
        writers.push_back({"sonvel-design", SONVEL_DESIGN_BINARY, [](const std::string &p) {
                               return std::vector<std::string>{"-s", "48000", "--resolution", "10", "--band",
                                                               "100:15000", "--phases", "random", "--realisations",
                                                               "1", p.substr(0, p.size() - 6)};
                           }});
#endif
#if defined(SONVEL_DESIGN_BINARY) && defined(SONVEL_ANALYZE_BINARY)
        const std::string multisine = path("multisine");
        RunResult design = runProgram(SONVEL_DESIGN_BINARY, {"-s", "48000", "-t", "1000", "--resolution", "50",
                                                             "--band", "100:15000", "--phases", "random"});
        writeFile(multisine, design.out);
        ASSERT_EQ(runSonvel({"-s", "48000", "-t", "1000", "-f", multisine, recording}).status, 0);
        // A PNG of some 30 KB.
        writers.push_back({"sonvel-analyze --plot", SONVEL_ANALYZE_BINARY, [=](const std::string &p) {
                               return std::vector<std::string>{"-s", "48000", "-t", "1000", "-f", multisine,
                                                               "--plot", p, recording};
                           }});
#endif
    }

    // Runs the writer on target in a shell, after setup (ulimit ...); the exit status.
    int sh(const Writer &w, const std::string &target, const std::string &setup)
    {
        std::string command = setup + "; exec " + quoted(w.program);
        for (const std::string &a : w.args(target)) command += " " + quoted(a);
        const std::string script = path("script");
        writeFile(script, command + " >" + quoted(path("out")) + " 2>" + quoted(path("err")) + "\n");
        const int status = std::system(("bash " + quoted(script)).c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::vector<Writer> writers;
};

// A tmpfs of 64 KiB mounted for the test, or a skipped test where that cannot be done.
class SmallDisk {
public:
    explicit SmallDisk(const std::string &at) : at_(at)
    {
        mkdir(at.c_str(), 0755);
        mounted_ = geteuid() == 0 && mount("tmpfs", at.c_str(), "tmpfs", 0, "size=64k") == 0;
    }
    ~SmallDisk()
    {
        if (mounted_) umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    // Fills the disk to the last block.
    void fill() const { std::system(("dd if=/dev/zero of=" + quoted(at_ + "/fill") + " bs=1k 2>/dev/null").c_str()); }

private:
    std::string at_;
    bool mounted_ = false;
};

bool hasFlag(const std::string &file, int flag)
{
    int flags = 0;
    const int fd = open(file.c_str(), O_RDONLY);
    const bool got = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (fd >= 0) close(fd);
    return got && (flags & flag);
}

}  // namespace

TEST_F(Outputs, AFullDiskOrAFileSizeLimitLeavesTheOldFile)
{
    SmallDisk disk(path("small"));
    if (!disk.mounted()) std::printf("not root or no tmpfs: the full disk is not tried\n");
    for (const Writer &w : writers) {
        for (bool linked : {false, true}) {
            // A file with a second name is written in place; a run that cannot write
            // it whole is refused before the truncation.
            const std::string target = path("limited-1.txt");
            writeFile(target, "old");
            if (linked) {
                ASSERT_EQ(link(target.c_str(), path("second").c_str()), 0);
            }
            EXPECT_EQ(sh(w, target, "ulimit -f 8"), 1) << w.name << " linked " << linked;
            EXPECT_TRUE(readFile(target) == "old") << w.name << " linked " << linked;
            unlink(path("second").c_str());
            if (!disk.mounted()) continue;
            const std::string full = path("small/full-1.txt");
            writeFile(full, "old");
            if (linked) {
                ASSERT_EQ(link(full.c_str(), path("small/second").c_str()), 0);
            }
            disk.fill();
            RunResult r = runProgram(w.program, w.args(full));
            EXPECT_EQ(r.status, 1) << w.name << " linked " << linked;
            EXPECT_TRUE(readFile(full) == "old") << w.name << " linked " << linked;
            // sonvel says "fail to save data." on standard output, as it always has.
            const bool sonvel = std::string(w.name) == "sonvel";
            EXPECT_NE((sonvel ? r.out + r.err : r.err).find("error: "), std::string::npos) << w.name;
            if (!sonvel) {
                EXPECT_TRUE(r.out.empty()) << w.name;  // no results of a failed analysis
            }
            std::system(("rm -f " + quoted(path("small")) + "/*").c_str());
        }
    }
}

TEST_F(Outputs, APlotThatCannotBeWrittenIsRefusedBeforeTheAnalysis)
{
    for (const Writer &w : writers) {
        if (std::string(w.name) != "sonvel-analyze --plot") continue;
        for (const char *plot : {"/nonexistent/p.png", "/dev/stdout"}) {
            RunResult r = runProgram(w.program, w.args(plot));
            EXPECT_EQ(r.status, 1) << plot;
            EXPECT_TRUE(r.out.empty()) << plot;
            EXPECT_EQ(r.err.rfind("error: --plot: ", 0), 0u) << r.err;
            EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        }
    }
}

TEST_F(Outputs, AReplacedFileKeepsItsGroupAclAndFlags)
{
    const bool root = geteuid() == 0;
    if (!root) std::printf("not root: the set-group-ID directory is not tried\n");
    ASSERT_EQ(mkdir(path("setgid").c_str(), 0775), 0);
    ASSERT_EQ(mkdir(path("acl").c_str(), 0775), 0);
    if (root) {
        ASSERT_EQ(chown(path("setgid").c_str(), 0, 65534), 0);
        ASSERT_EQ(chmod(path("setgid").c_str(), 02775), 0);
    }
    const bool acl = std::system(("setfacl -d -m u:65534:rw " + quoted(path("acl"))).c_str()) == 0;
    if (!acl) std::printf("setfacl is missing or unsupported here: the default ACL is not tried\n");
    for (const Writer &w : writers) {
        // The group the directory would give.
        if (root) {
            const std::string file = path("setgid/out-1.txt");
            writeFile(file, "old");
            ASSERT_EQ(chown(file.c_str(), 0, 0), 0);
            EXPECT_EQ(runProgram(w.program, w.args(file)).status, 0) << w.name;
            struct stat st;
            ASSERT_EQ(stat(file.c_str(), &st), 0);
            EXPECT_EQ(st.st_gid, 0u) << w.name;
            EXPECT_EQ(st.st_mode & 07777, 0644u) << w.name;
        }
        // The entries a default ACL would give a new file, on a file without an ACL.
        if (acl) {
            const std::string file = path("acl/out-1.txt");
            writeFile(file, "old");
            ASSERT_EQ(std::system(("setfacl -b " + quoted(file)).c_str()), 0);
            ASSERT_EQ(chmod(file.c_str(), 0660), 0);
            EXPECT_EQ(runProgram(w.program, w.args(file)).status, 0) << w.name;
            char value[256];
            EXPECT_EQ(getxattr(file.c_str(), "system.posix_acl_access", value, sizeof value), -1) << w.name;
            struct stat st;
            ASSERT_EQ(stat(file.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0660u) << w.name;
        }
        // chattr +d.
        const std::string file = path("flag-1.txt");
        writeFile(file, "old");
        int flags = 0;
        const int fd = open(file.c_str(), O_RDONLY);
        const bool flagged = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                             (flags |= FS_NODUMP_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
        close(fd);
        if (!flagged) continue;
        EXPECT_EQ(runProgram(w.program, w.args(file)).status, 0) << w.name;
        EXPECT_NE(readFile(file), "old");
        EXPECT_TRUE(hasFlag(file, FS_NODUMP_FL)) << w.name;
    }
}

TEST_F(Outputs, ALinkPlantedInASharedDirectoryIsNotFollowed)
{
    if (geteuid() != 0) GTEST_SKIP() << "not root: a link of another user cannot be planted";
    const std::string shared = path("shared"), secret = path("secret");
    ASSERT_EQ(mkdir(shared.c_str(), 0777) == 0 && chmod(shared.c_str(), 01777), 0);
    writeFile(secret, "root's");
    ASSERT_EQ(chmod(secret.c_str(), 0600), 0);
    // nobody plants a link to root's file and one to where root would create a file.
    const pid_t pid = fork();
    if (pid == 0) {
        const bool planted = setgid(65534) == 0 && setuid(65534) == 0 &&
                             symlink(secret.c_str(), (shared + "/out-1.txt").c_str()) == 0 &&
                             symlink(path("created-1.txt").c_str(), (shared + "/new-1.txt").c_str()) == 0;
        _exit(planted ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // root's own link in the same directory is followed.
    ASSERT_EQ(symlink(path("own-1.txt").c_str(), (shared + "/own-1.txt").c_str()), 0);
    for (const Writer &w : writers) {
        for (const char *name : {"out-1.txt", "new-1.txt"}) {
            RunResult r = runProgram(w.program, w.args(shared + "/" + name));
            EXPECT_EQ(r.status, 1) << w.name << " " << name;
            EXPECT_NE(r.err.find("error: "), std::string::npos) << w.name << " " << r.err;
            if (std::string(w.name) != "sonvel") {
                EXPECT_NE(r.err.find("is not followed"), std::string::npos) << w.name << " " << r.err;
            }
        }
        EXPECT_EQ(readFile(secret), "root's") << w.name;
        EXPECT_FALSE(fileExists(path("created-1.txt"))) << w.name;
        EXPECT_EQ(runProgram(w.program, w.args(shared + "/own-1.txt")).status, 0) << w.name;
        EXPECT_TRUE(fileExists(path("own-1.txt"))) << w.name;
        unlink(path("own-1.txt").c_str());
    }
}

TEST_F(Outputs, TwoRunsOnOneFileWriteOneAfterTheOther)
{
    // Two signals of 19 MB into a file with a second name, written in place: the first
    // run is stopped after its first megabyte while the second starts, then let go.
    const std::string target = path("shared.wav");
    auto run = [&](const char *list) {
        return quoted(SONVEL_BINARY) + " -s 48000 -t 200000 -T 0 -l -30 -f " + quoted(path(list)) + " " +
               quoted(target) + " 2>/dev/null";
    };
    writeFile(path("script"), run("list") + "\n");
    ASSERT_EQ(std::system(("bash " + quoted(path("script"))).c_str()), 0);
    const std::string first = readFile(target);
    writeFile(path("script"), run("list2") + "\n");
    ASSERT_EQ(std::system(("bash " + quoted(path("script"))).c_str()), 0);
    const std::string second = readFile(target);
    ASSERT_EQ(link(target.c_str(), path("second").c_str()), 0);
    writeFile(path("script"), ": > " + quoted(target) + "; " + run("list") + " & a=$!; while [ $(stat -c %s " +
                                  quoted(target) + ") -lt 1000000 ]; do :; done; kill -STOP $a; " +
                                  run("list2") + " & b=$!; sleep 0.5; kill -CONT $a; wait $a && wait $b\n");
    for (int tries = 0; tries < 3; tries++) {
        EXPECT_EQ(std::system(("bash " + quoted(path("script"))).c_str()), 0);
        const std::string got = readFile(target);
        EXPECT_TRUE(got == first || got == second) << "try " << tries;
    }
}

#if defined(SONVEL_DESIGN_BINARY)
TEST_F(Outputs, RealisationsAreWrittenAsASet)
{
    const std::string prefix = path("set");
    auto design = [&](const char *band, const std::string &time) {
        return quoted(SONVEL_DESIGN_BINARY) + " -s 48000 --resolution 50 --band " + band + " --time " + time +
               " --realisations 3 " + quoted(prefix);
    };
    // A third file that cannot be written is found before the first search, which
    // would take minutes.
    writeFile(prefix + "-1.txt", "old 1");
    writeFile(prefix + "-2.txt", "old 2");
    ASSERT_EQ(mkdir((prefix + "-3.txt").c_str(), 0755), 0);
    writeFile(path("script"), "timeout 20 " + design("100:2000", "1000") + " 2>" + quoted(path("err")) + "\n");
    EXPECT_EQ(WEXITSTATUS(std::system(("bash " + quoted(path("script"))).c_str())), 1);
    EXPECT_EQ(readFile(path("err")), "error: fail to open \"" + prefix + "-3.txt\".\n");
    EXPECT_EQ(readFile(prefix + "-1.txt") + readFile(prefix + "-2.txt"), "old 1old 2");
    rmdir((prefix + "-3.txt").c_str());

    // Two runs on one prefix: the set of the one or of the other, never mixed.
    std::string sets[2];
    for (int i = 0; i < 2; i++) {
        writeFile(path("script"), design(i ? "100:2000" : "100:4000", i ? "0.05" : "0.2") + "\n");
        ASSERT_EQ(std::system(("bash " + quoted(path("script"))).c_str()), 0);
        for (int n = 1; n <= 3; n++) sets[i] += readFile(prefix + "-" + std::to_string(n) + ".txt");
    }
    // The slower run first and the faster one while it searches, so that without a lock
    // the faster one's files come both before and after the slower one's.
    writeFile(path("script"), design("100:4000", "0.2") + " & p1=$!; sleep 0.5; " + design("100:2000", "0.05") +
                                  " & p2=$!; wait $p1 && wait $p2\n");
    for (int tries = 0; tries < 3; tries++) {
        EXPECT_EQ(std::system(("bash " + quoted(path("script"))).c_str()), 0);
        std::string got;
        for (int n = 1; n <= 3; n++) got += readFile(prefix + "-" + std::to_string(n) + ".txt");
        EXPECT_TRUE(got == sets[0] || got == sets[1]) << "try " << tries;
    }

    // A run stopped in its second search (about 2 s each) leaves the old set, and no
    // temporary file.
    std::string before;
    for (int n = 1; n <= 3; n++) before += readFile(prefix + "-" + std::to_string(n) + ".txt");
    const std::string names = listDir(dir);
    RunResult stopped = runProgram(SONVEL_DESIGN_BINARY, {"-s", "48000", "--resolution", "50", "--band", "100:2000",
                                                          "--time", "2", "--realisations", "3", prefix},
                                   Input("", {}, "", 3000));
    EXPECT_EQ(stopped.signal, SIGTERM);
    std::string after;
    for (int n = 1; n <= 3; n++) after += readFile(prefix + "-" + std::to_string(n) + ".txt");
    EXPECT_TRUE(after == before);
    EXPECT_EQ(listDir(dir), names);
}
#endif
