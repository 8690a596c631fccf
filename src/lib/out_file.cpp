#include "out_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

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

// The descriptor that a path names by itself (/dev/stdout, /dev/stderr, /dev/stdin,
// /dev/fd/N, /proc/self/fd/N), or -1.
int descriptorNamed(const std::string &path)
{
    if (path == "/dev/stdin") return 0;
    if (path == "/dev/stdout") return 1;
    if (path == "/dev/stderr") return 2;
    for (const char *prefix : {"/dev/fd/", "/proc/self/fd/"}) {
        const size_t n = std::strlen(prefix);
        if (path.compare(0, n, prefix) != 0 || path.size() == n || path.size() > n + 9) continue;
        int fd = 0;
        for (size_t i = n; i < path.size(); i++) {
            if (path[i] < '0' || path[i] > '9') return -1;
            fd = fd * 10 + (path[i] - '0');
        }
        return fd;
    }
    return -1;
}

// Follows symbolic links to the file a path names (a dangling link gives the name it
// points to), so that a link stays a link. Stops at a name of one of the program's
// descriptors and stores that descriptor in *fd; else *fd is -1.
std::string followLinks(std::string path, int *fd)
{
    for (int hop = 0; hop < 40; hop++) {
        *fd = descriptorNamed(path);
        if (*fd >= 0) return path;
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

// A temporary name beside target that says where it comes from and that nobody can
// guess: ".NAME.sonvel-" and 16 random hexadecimal digits.
std::string tempNameFor(const std::string &target)
{
    size_t slash = target.rfind('/');
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    unsigned char bytes[8] = {};
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        // Without the kernel's generator: the time and the process, still with O_EXCL.
        const long long mix = static_cast<long long>(getpid()) * 1000003 + time(nullptr);
        std::memcpy(bytes, &mix, sizeof bytes);
    }
    static const char HEX[] = "0123456789abcdef";
    std::string suffix;
    for (unsigned char b : bytes) suffix += {HEX[b >> 4], HEX[b & 15]};
    return dirOf(target) + "/." + base.substr(0, 100) + ".sonvel-" + suffix;
}

// Takes a free temporary name: attempt(name) creates the file under it and fails with
// EEXIST while the name is taken. The name is pending from before the attempt, so that
// a signal in between still removes what the attempt created.
template <typename Attempt>
bool claimTempName(OutputFile *out, Attempt attempt)
{
    for (int tries = 0; tries < 16; tries++) {
        std::string name = tempNameFor(out->target);
        setPending(name);
        if (attempt(name.c_str())) {
            out->tempPath = name;
            return true;
        }
        if (errno != EEXIST) break;
    }
    clearPending();
    return false;
}

// Gives the unnamed file fd a free temporary name.
bool linkUnnamed(int fd, OutputFile *out)
{
    const std::string fdPath = "/proc/self/fd/" + std::to_string(fd);
    return claimTempName(out, [&](const char *name) {
        return linkat(AT_FDCWD, fdPath.c_str(), AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0;
    });
}

// A new file beside the target, unnamed where the system allows it; -1 when the
// directory takes no new file.
int createTemporary(OutputFile *out, bool allowUnnamed)
{
    int fd = -1;
    // An O_TMPFILE file has no name until commitOutput gives it one, so not even a
    // SIGKILL can leave it behind; linking it needs /proc.
    if (allowUnnamed && access("/proc/self/fd", X_OK) == 0) {
        fd = open(dirOf(out->target).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        out->unnamed = fd >= 0;
    }
    if (fd < 0) {
        claimTempName(out, [&](const char *name) {
            fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            return fd >= 0;
        });
    }
    return fd;
}

// Copies every extended attribute of path to fd: ACLs among them, which live in the
// system.posix_acl_* attributes. False when one cannot be read or set.
bool copyAttributes(const std::string &path, int fd)
{
    ssize_t size = listxattr(path.c_str(), nullptr, 0);
    if (size < 0) return errno == ENOTSUP;  // a file system without attributes has none
    std::vector<char> names(static_cast<size_t>(size) + 1);
    size = listxattr(path.c_str(), names.data(), names.size());
    if (size < 0) return false;
    for (ssize_t at = 0; at < size; at += static_cast<ssize_t>(std::strlen(&names[at])) + 1) {
        const char *name = &names[at];
        ssize_t length = getxattr(path.c_str(), name, nullptr, 0);
        if (length < 0) return false;
        std::vector<char> value(static_cast<size_t>(length) + 1);
        length = getxattr(path.c_str(), name, value.data(), value.size());
        if (length < 0 || fsetxattr(fd, name, value.data(), static_cast<size_t>(length), 0) != 0)
            return false;
    }
    return true;
}

// Whether the file of st in the directory dirSt can be replaced by a rename: the
// directory must take new names and renames, and the file must be no mount point.
bool renameAllowed(const std::string &target, const struct stat &dirSt)
{
    if (access(dirOf(target).c_str(), W_OK | X_OK) != 0) return false;
    struct stat st;
    if (stat(target.c_str(), &st) != 0) return false;
    // In a sticky directory only the owner of the file or of the directory may replace it.
    const uid_t me = geteuid();
    if ((dirSt.st_mode & S_ISVTX) && me != 0 && st.st_uid != me && dirSt.st_uid != me) return false;
    // A bind-mounted file cannot be renamed over (EBUSY).
    struct statx sx;
    if (statx(AT_FDCWD, target.c_str(), 0, STATX_BASIC_STATS, &sx) == 0 &&
        (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT))
        return false;
    return st.st_dev == dirSt.st_dev;
}

// Whether the target's file system has room for a second copy of expectedBytes.
bool roomForCopy(const std::string &target, long long expectedBytes)
{
    struct statvfs vfs;
    if (statvfs(dirOf(target).c_str(), &vfs) != 0) return true;  // unknown: try
    return static_cast<long double>(vfs.f_bavail) * vfs.f_frsize >= expectedBytes;
}

// A temporary file that the old file's owner, group, mode and attributes were given;
// -1 when any of them could not be.
int createReplacement(OutputFile *out, const struct stat &st, bool allowUnnamed)
{
    int fd = createTemporary(out, allowUnnamed);
    if (fd < 0) return -1;
    // Owner and group first (a change of owner clears the set-id bits), then the mode,
    // then the attributes: an ACL sets the group bits to its mask, as on the old file.
    bool kept = (st.st_uid == geteuid() && st.st_gid == getegid()) ||
                fchown(fd, st.st_uid, st.st_gid) == 0;
    kept = kept && fchmod(fd, st.st_mode & 07777) == 0 && copyAttributes(out->target, fd);
    if (kept) return fd;
    close(fd);
    if (!out->tempPath.empty()) unlink(out->tempPath.c_str());
    out->tempPath.clear();
    out->unnamed = false;
    clearPending();
    return -1;
}

// The program's own descriptor fd, used as handed over: one that was closed at the
// start (the program may have put /dev/null there) or that is not open for writing is
// refused.
bool claimDescriptor(int fd, OutputFile *out, const OutputOptions &options)
{
    out->kind = OutputKind::Inherited;
    if (fd < 3 && (options.closedAtStart >> fd & 1u)) return false;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return false;
    out->fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    return out->fd >= 0;
}

// An existing regular file (st): replaced by a temporary file where that keeps it as it
// is, else written in place. One that cannot be written is refused now, as a plain open
// would refuse it; opening without O_TRUNC leaves it as it is.
bool claimExisting(OutputFile *out, const struct stat &st, const OutputOptions &options)
{
    int probe = open(out->target.c_str(), O_WRONLY | O_CLOEXEC);
    if (probe < 0) return false;
    struct stat dirSt;
    const bool replaceable = st.st_nlink == 1 && stat(dirOf(out->target).c_str(), &dirSt) == 0 &&
                             renameAllowed(out->target, dirSt) && roomForCopy(out->target, options.expectedBytes);
    out->fd = replaceable ? createReplacement(out, st, options.allowUnnamed) : -1;
    if (out->fd >= 0) {
        close(probe);
        return true;
    }
    out->kind = OutputKind::InPlace;
    out->fd = probe;
    return true;
}

}  // namespace

OutputFile::OutputFile(OutputFile &&other) noexcept { *this = std::move(other); }

OutputFile &OutputFile::operator=(OutputFile &&other) noexcept
{
    if (this == &other) return *this;
    discardOutput(this);
    stream = other.stream;
    kind = other.kind;
    target = std::move(other.target);
    tempPath = std::move(other.tempPath);
    fd = other.fd;
    unnamed = other.unnamed;
    // The moved-from file holds nothing, so its destructor discards nothing.
    other.stream = nullptr;
    other.tempPath.clear();
    other.fd = -1;
    other.unnamed = false;
    return *this;
}

OutputFile::~OutputFile() { discardOutput(this); }

int descriptorOfPath(const char *path)
{
    int fd = -1;
    if (path && *path) followLinks(path, &fd);
    return fd;
}

bool openOutput(const char *path, OutputFile *out, const OutputOptions &options)
{
    *out = OutputFile();
    if (!path || !*path) return false;
    int fd = -1;  // the descriptor the path names, if it names one
    out->target = followLinks(path, &fd);
    if (fd >= 0) return claimDescriptor(fd, out, options);
    struct stat st;
    const bool exists = stat(out->target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) return false;
    if (exists && !S_ISREG(st.st_mode)) {
        // Directories are refused as a plain open refuses them; FIFOs, devices and
        // sockets are opened only in beginOutput.
        out->kind = OutputKind::Direct;
        return !S_ISDIR(st.st_mode) && access(out->target.c_str(), W_OK) == 0;
    }
    catchStopSignals();
    if (exists) return claimExisting(out, st, options);
    // A new name gets the bits of a plain create (0666 less the umask).
    out->fd = createTemporary(out, options.allowUnnamed);
    return out->fd >= 0;
}

bool beginOutput(OutputFile *out)
{
    if (out->kind == OutputKind::Direct) {
        // No O_TRUNC: a device or a FIFO has nothing to truncate.
        out->fd = open(out->target.c_str(), O_WRONLY | O_CLOEXEC);
    } else if (out->kind == OutputKind::InPlace && out->fd >= 0 && ftruncate(out->fd, 0) != 0) {
        return false;
    }
    if (out->fd < 0) return false;
    out->stream = fdopen(out->fd, "wb");
    if (!out->stream) return false;
    out->fd = -1;  // the stream owns it now
    return true;
}

bool commitOutput(OutputFile *out)
{
    if (!out->stream) return false;
    bool ok = std::fflush(out->stream) == 0 && !std::ferror(out->stream);
    if (ok && out->unnamed) ok = linkUnnamed(fileno(out->stream), out);
    ok = std::fclose(out->stream) == 0 && ok;
    out->stream = nullptr;
    if (out->kind == OutputKind::Replace && ok)
        ok = std::rename(out->tempPath.c_str(), out->target.c_str()) == 0;
    if (ok) {
        clearPending();
        out->tempPath.clear();
        return true;
    }
    discardOutput(out);
    return false;
}

void discardOutput(OutputFile *out)
{
    if (out->stream) std::fclose(out->stream);
    out->stream = nullptr;
    if (out->fd >= 0) close(out->fd);
    out->fd = -1;
    // The pending name is this file's only while it has a temporary name.
    if (out->tempPath.empty()) return;
    unlink(out->tempPath.c_str());
    out->tempPath.clear();
    clearPending();
}

void ignoreWriteSignals(WriteSignals *saved)
{
    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, &saved->fileSize);
    sigaction(SIGPIPE, &ignore, &saved->pipe);
}

void restoreWriteSignals(const WriteSignals &saved)
{
    sigaction(SIGXFSZ, &saved.fileSize, nullptr);
    sigaction(SIGPIPE, &saved.pipe, nullptr);
}
