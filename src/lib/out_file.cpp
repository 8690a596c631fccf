#include "out_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

namespace {

// The visible temporary name that a signal must remove before the program dies. A
// signal handler can reach nothing else, so this is the one piece of state of the
// program's own outside a function; it holds at most one name at a time.
char pendingName[PATH_MAX];
volatile sig_atomic_t pendingSet = 0;

void setPending(const std::string &name)
{
    pendingSet = 0;
    if (name.size() >= sizeof pendingName) return;
    std::memcpy(pendingName, name.c_str(), name.size() + 1);
    pendingSet = 1;
}

void clearPending() { pendingSet = 0; }

void removePendingAndDie(int sig)
{
    if (pendingSet) unlink(pendingName);
    std::signal(sig, SIG_DFL);
    raise(sig);
}

// SIGINT, SIGTERM and SIGHUP remove the temporary file and then end the program as they
// would have; a signal that the caller ignores (nohup) stays ignored.
void catchStopSignals()
{
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction act;
        std::memset(&act, 0, sizeof act);
        act.sa_handler = removePendingAndDie;
        sigemptyset(&act.sa_mask);
        sigaction(sig, &act, nullptr);
    }
}

std::string dirOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a path names, with every symbolic link followed (a dangling link gives the
// name it points to), so that the link itself stays a link.
std::string followLinks(std::string path)
{
    for (int hop = 0; hop < 40; hop++) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        char link[PATH_MAX];
        ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
        if (n < 0) break;
        link[n] = '\0';
        path = link[0] == '/' ? std::string(link) : dirOf(path) + "/" + link;
    }
    return path;
}

// A temporary name beside target that says where it comes from:
// ".NAME.sonvel-PID-K" in the target's directory.
std::string tempNameFor(const std::string &target, int k)
{
    size_t slash = target.rfind('/');
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    return dirOf(target) + "/." + base.substr(0, 100) + ".sonvel-" +
           std::to_string(static_cast<long>(getpid())) + "-" + std::to_string(k);
}

// Takes the first free temporary name: attempt(name) creates the file under it and
// fails with EEXIST while the name is taken. The name is pending from before the
// attempt, so that a signal in between still removes what the attempt created.
template <typename Attempt>
int claimTempName(OutputFile *out, Attempt attempt)
{
    for (int k = 0; k < 100; k++) {
        std::string name = tempNameFor(out->target, k);
        setPending(name);
        if (attempt(name.c_str())) {
            out->tempPath = name;
            return 0;
        }
        if (errno != EEXIST) break;
    }
    clearPending();
    return 1;
}

// Gives the unnamed file fd a free temporary name. Returns 0, or 1.
int linkUnnamed(int fd, OutputFile *out)
{
    const std::string fdPath = "/proc/self/fd/" + std::to_string(fd);
    return claimTempName(out, [&](const char *name) {
        return linkat(AT_FDCWD, fdPath.c_str(), AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0;
    });
}

// Creates a new file with a visible temporary name beside the target; returns its
// descriptor, or -1.
int createNamed(OutputFile *out)
{
    int fd = -1;
    claimTempName(out, [&](const char *name) {
        fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        return fd >= 0;
    });
    return fd;
}

}  // namespace

int openOutput(const char *path, OutputFile *out, bool allowUnnamed)
{
    *out = OutputFile();
    struct stat st;
    bool exists = stat(path, &st) == 0;
    // Devices, FIFOs, /dev/stdout and whatever cannot be looked at are written in place.
    bool special = std::strncmp(path, "/dev/", 5) == 0 || std::strncmp(path, "/proc/", 6) == 0;
    if (special || (exists && !S_ISREG(st.st_mode)) || (!exists && errno != ENOENT)) {
        out->direct = true;
        out->target = path;
        out->stream = std::fopen(path, "wb");
        return out->stream ? 0 : 1;
    }
    out->target = followLinks(path);
    if (exists) {
        // An existing file that cannot be written is refused now, as a plain open
        // would refuse it; opening without O_TRUNC leaves it as it is.
        int probe = open(out->target.c_str(), O_WRONLY | O_CLOEXEC);
        if (probe < 0) return 1;
        close(probe);
    }
    catchStopSignals();
    int fd = -1;
    // An O_TMPFILE file has no name until commitOutput gives it one, so not even a
    // SIGKILL can leave it behind; linking it needs /proc.
    if (allowUnnamed && access("/proc/self/fd", X_OK) == 0) {
        fd = open(dirOf(out->target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        out->unnamed = fd >= 0;
    }
    if (fd < 0) fd = createNamed(out);
    if (fd < 0) return 1;
    if (exists) {
        // The new file takes the old one's owner and permission bits; a new name gets
        // the bits of a plain create (0666 less the umask).
        if (fchown(fd, st.st_uid, st.st_gid) != 0) { /* not ours to give: keep ours */ }
        fchmod(fd, st.st_mode & 07777);
    }
    out->stream = fdopen(fd, "wb");
    if (!out->stream) {
        close(fd);
        discardOutput(out);
        return 1;
    }
    return 0;
}

int commitOutput(OutputFile *out)
{
    if (!out->stream) return 1;
    bool ok = std::fflush(out->stream) == 0 && !std::ferror(out->stream);
    if (ok && out->unnamed) ok = linkUnnamed(fileno(out->stream), out) == 0;
    ok = std::fclose(out->stream) == 0 && ok;
    out->stream = nullptr;
    if (!out->direct && ok) ok = std::rename(out->tempPath.c_str(), out->target.c_str()) == 0;
    if (ok) {
        clearPending();
        out->tempPath.clear();
        return 0;
    }
    discardOutput(out);
    return 1;
}

void discardOutput(OutputFile *out)
{
    if (out->stream) std::fclose(out->stream);
    out->stream = nullptr;
    if (!out->tempPath.empty()) unlink(out->tempPath.c_str());
    out->tempPath.clear();
    clearPending();
}
