#include "out_file.h"

#include "file_metadata.h"
#include "file_paths.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

namespace {

// The visible temporary names that a signal must remove before the program dies: one
// node for each output that has one at a time (a set of realisations has many), kept
// for reuse and never freed. A signal handler can reach nothing else, so this is the
// one piece of state of the program's own outside a function. A node's name is written
// only while it is not live, so the handler never reads a name half written.
struct PendingName {
    char name[PATH_MAX];
    std::atomic<bool> live{false};
    PendingName *next = nullptr;
};
std::atomic<PendingName *> pendingNames{nullptr};

void setPending(const std::string &name)
{
    if (name.size() >= PATH_MAX) return;
    PendingName *node = pendingNames.load();
    while (node && node->live.load()) node = node->next;
    if (!node) {
        node = new PendingName;
        node->next = pendingNames.load();
        pendingNames.store(node);
    }
    std::memcpy(node->name, name.c_str(), name.size() + 1);
    node->live.store(true);
}

void clearPending(const std::string &name)
{
    for (PendingName *node = pendingNames.load(); node; node = node->next)
        if (node->live.load() && name == node->name) node->live.store(false);
}

void removePendingAndDie(int sig)
{
    for (PendingName *node = pendingNames.load(); node; node = node->next)
        if (node->live.load()) unlink(node->name);
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
        const int error = errno;
        clearPending(name);
        if (error != EEXIST) break;
    }
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

// A temporary file that the old file's (open as old, st) owner, group, mode, attributes
// and flags were given; -1 when any of them could not be.
int createReplacement(OutputFile *out, int old, const struct stat &st, bool allowUnnamed)
{
    int fd = createTemporary(out, allowUnnamed);
    if (fd < 0) return -1;
    // Owner and group first (a change of owner clears the set-id bits; a set-group-ID
    // directory gives the new file its own group), then the mode, then the attributes:
    // removing the entries a default ACL gave keeps the mode, and the old file's ACL
    // sets the group bits to its mask, as on the old file. What the new file ends with
    // is checked, not assumed.
    struct stat now;
    bool kept = fstat(fd, &now) == 0 &&
                ((now.st_uid == st.st_uid && now.st_gid == st.st_gid) || fchown(fd, st.st_uid, st.st_gid) == 0);
    kept = kept && fchmod(fd, st.st_mode & 07777) == 0 && copyAttributes(old, fd) && copyFlags(old, fd);
    kept = kept && fstat(fd, &now) == 0 && now.st_uid == st.st_uid && now.st_gid == st.st_gid &&
           now.st_mode == st.st_mode;
    if (kept) return fd;
    close(fd);
    if (!out->tempPath.empty()) unlink(out->tempPath.c_str());
    clearPending(out->tempPath);
    out->tempPath.clear();
    out->unnamed = false;
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
// is, else written in place. The kernel opens the path as given, so that its own checks
// of links apply; a file that cannot be written is refused now, as a plain open would
// refuse it, and opening without O_TRUNC leaves it as it is.
bool claimExisting(OutputFile *out, const struct stat &st, const OutputOptions &options)
{
    int probe = open(out->path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (probe < 0) return false;
    struct stat opened;
    if (fstat(probe, &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
        close(probe);
        out->why = "the path changed while it was opened";
        return false;
    }
    struct stat dirSt;
    const bool replaceable = st.st_nlink == 1 && stat(dirOf(out->target).c_str(), &dirSt) == 0 &&
                             renameAllowed(out->target, dirSt) && roomForCopy(out->target, options.expectedBytes);
    out->fd = replaceable ? createReplacement(out, probe, st, options.allowUnnamed) : -1;
    if (out->fd >= 0) {
        close(probe);
        return true;
    }
    // Written in place: a second run on the same file waits here for the first to end,
    // so that their samples are never spliced.
    out->kind = OutputKind::InPlace;
    out->fd = probe;
    while (flock(probe, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        if (errno == ENOLCK || errno == EOPNOTSUPP) break;  // a file system without locks
        out->why = "the file cannot be locked against another run";
        return false;
    }
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
    path = std::move(other.path);
    target = std::move(other.target);
    why = std::move(other.why);
    finished = other.finished;
    expectedBytes = other.expectedBytes;
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
    out->path = path;
    out->expectedBytes = options.expectedBytes;
    int fd = -1;  // the descriptor the path names, if it names one
    out->target = followLinks(path, &fd);
    if (fd >= 0) return claimDescriptor(fd, out, options);
    if (out->target.empty()) {
        out->why = "a symbolic link in a shared sticky directory, of neither the caller nor the directory's owner, "
                   "is not followed";
        return false;
    }
    struct stat st;
    const bool exists = stat(out->target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) return false;
    if (exists && !S_ISREG(st.st_mode)) {
        // Directories are refused as a plain open refuses them; FIFOs, devices and
        // sockets are opened only in beginOutput.
        out->kind = OutputKind::Direct;
        return !S_ISDIR(st.st_mode) && access(out->path.c_str(), W_OK) == 0;
    }
    catchStopSignals();
    if (exists) return claimExisting(out, st, options);
    // A new name gets the bits of a plain create (0666 less the umask).
    out->fd = createTemporary(out, options.allowUnnamed);
    return out->fd >= 0;
}

bool roomForOutput(OutputFile *out)
{
    if (out->kind != OutputKind::InPlace || out->expectedBytes <= 0 || out->fd < 0) return true;
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<unsigned long long>(out->expectedBytes) > limit.rlim_cur) {
        out->why = "the file-size limit (ulimit -f) cannot hold the new file, which is written in place";
        return false;
    }
    // The blocks that the truncation frees count, and the new file takes whole blocks.
    struct stat st;
    struct statvfs vfs;
    if (fstat(out->fd, &st) != 0 || fstatvfs(out->fd, &vfs) != 0 || vfs.f_bsize == 0) return true;
    const long double blockBytes = vfs.f_bsize;
    const long double needed = std::ceil(out->expectedBytes / blockBytes) * blockBytes;
    const long double available = static_cast<long double>(vfs.f_bavail) * vfs.f_frsize + st.st_blocks * 512.0L;
    if (needed <= available) return true;
    out->why = "the disk has no room for the new file, which is written in place";
    return false;
}

bool beginOutput(OutputFile *out)
{
    if (out->kind == OutputKind::Direct) {
        // No O_TRUNC: a device or a FIFO has nothing to truncate.
        out->fd = open(out->path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    } else if (out->kind == OutputKind::InPlace && out->fd >= 0 &&
               (!roomForOutput(out) || ftruncate(out->fd, 0) != 0)) {
        return false;
    }
    if (out->fd < 0) return false;
    out->stream = fdopen(out->fd, "wb");
    if (!out->stream) return false;
    out->fd = -1;  // the stream owns it now
    return true;
}

bool finishOutput(OutputFile *out)
{
    if (out->finished) return true;
    if (!out->stream) return false;
    bool ok = std::fflush(out->stream) == 0 && !std::ferror(out->stream);
    if (ok && out->unnamed) ok = linkUnnamed(fileno(out->stream), out);
    ok = std::fclose(out->stream) == 0 && ok;
    out->stream = nullptr;
    out->finished = ok;
    if (!ok) discardOutput(out);
    return ok;
}

bool commitOutput(OutputFile *out)
{
    bool ok = finishOutput(out);
    if (out->kind == OutputKind::Replace && ok)
        ok = std::rename(out->tempPath.c_str(), out->target.c_str()) == 0;
    if (ok) {
        clearPending(out->tempPath);
        out->tempPath.clear();
        out->finished = false;
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
    out->finished = false;
    // The pending name is this file's only while it has a temporary name.
    if (out->tempPath.empty()) return;
    unlink(out->tempPath.c_str());
    clearPending(out->tempPath);
    out->tempPath.clear();
}
