// Paths as the output file meets them: the directory of a name, the names of the
// program's own descriptors, and links, followed as the kernel's rule for shared
// directories allows.
#include "file_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

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

// Whether the kernel's rule for links in shared directories forbids following the link
// st at path: in a sticky, world-writable directory (/tmp) only a link of the caller's
// or of the directory's owner is followed. The rule holds here whether or not
// fs.protected_symlinks is set, since a planted link could else send the output of
// another user's run, root's among them, to any file.
bool plantedLink(const std::string &path, const struct stat &st)
{
    if (st.st_uid == geteuid()) return false;
    struct stat dirSt;
    if (stat(dirOf(path).c_str(), &dirSt) != 0) return true;
    const bool shared = (dirSt.st_mode & S_ISVTX) && (dirSt.st_mode & S_IWOTH);
    return shared && dirSt.st_uid != st.st_uid;
}

// Whether a directory on the way to path's last name is reached through a link that
// plantedLink forbids (/tmp/planted/out.wav, with /tmp/planted a link of another user).
bool plantedOnTheWay(const std::string &path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        struct stat st;
        if (lstat(prefix.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && plantedLink(prefix, st)) return true;
    }
    return false;
}

// Follows symbolic links to the file a path names (a dangling link gives the name it
// points to), so that a link stays a link. Stops at a name of one of the program's
// descriptors and stores that descriptor in *fd; else *fd is -1. Returns an empty
// string, with *fd -1, for a link that plantedLink forbids.
std::string followLinks(std::string path, int *fd)
{
    for (int hop = 0; hop < 40; hop++) {
        *fd = descriptorNamed(path);
        if (*fd >= 0) return path;
        if (plantedOnTheWay(path)) return std::string();
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
        if (plantedLink(path, st)) return std::string();
        char link[PATH_MAX];
        ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
        if (n < 0) break;
        link[n] = '\0';
        path = link[0] == '/' ? std::string(link) : dirOf(path) + "/" + link;
    }
    return path;
}
